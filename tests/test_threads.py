"""Threads and greenlets: several threads calling the filter and the API call at
once get their own correct results, one thread's chain of output references
never affects another's, and calls that greenlets interleave leave the
recursion count where it was."""

import json
import os
import random
import resource
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import model
from helpers import (FREE_THREADED, GREENLETS_UNDER_SANITIZERS, UNDER_SANITIZERS, FakeRequests, deepest, main_stack,
                     run_python, write_files)

THREADS = 8
MARK = "FILTER_NOT_FOUND"


def run_threads(target, count=THREADS, timeout=60):
    """Runs target(index) on `count` threads started together; returns what
    each returned, re-raising the first failure in this thread."""
    start = threading.Barrier(count)
    outcomes = [None] * count

    def runner(index):
        start.wait()
        try:
            outcomes[index] = ("ok", target(index))
        except BaseException as error:  # noqa: BLE001 (reported below)
            outcomes[index] = ("error", error)

    threads = [threading.Thread(target=runner, args=(index,), daemon=True) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout)
        assert not thread.is_alive(), "a thread hung"
    for kind, value in outcomes:
        if kind == "error":
            raise value
    return [value for _, value in outcomes]


class Yielding(dict):
    """A record whose every lookup lets the other threads run, so that they
    interleave inside the filter's loops rather than between calls."""

    def __getitem__(self, key):
        time.sleep(0)
        return super().__getitem__(key)


def records(tag):
    return [Yielding(name=f"{tag}-{i}", tier=i, **({"tags": {"env": tag}} if i % 2 else {})) for i in range(20)]


# -- filter_results -------------------------------------------------------------------


def test_threads_filtering_at_once_get_their_own_results(kv):
    shared = {"results": records("shared")}

    def work(index):
        own = {"results": records(f"t{index}"), "total": index}
        for _ in range(30):
            assert kv.filter_results(own, ["results", "name"]) == [f"t{index}-{i}" for i in range(20)]
            assert kv.filter_results(own, ["total&missing"]) == {"total": index, "missing": MARK}
            pairs = kv.filter_results(shared, ["results", "name & tags"])
            assert [pair["name"] for pair in pairs] == [f"shared-{i}" for i in range(20)]
            assert [pair["tags"] for pair in pairs] == [{"env": "shared"} if i % 2 else MARK for i in range(20)]
            assert kv.filter_results(own, []) is own
        return index

    assert run_threads(work) == list(range(THREADS))


class Shrinking(dict):
    """A record whose lookup empties or refills the list being filtered."""

    def __init__(self, victim, **members):
        super().__init__(**members)
        self.victim = victim

    def __getitem__(self, key):
        time.sleep(0)
        if len(self.victim) > 3:
            self.victim.clear()
        else:
            self.victim.extend(Shrinking(self.victim, name="again") for _ in range(5))
        return super().__getitem__(key)


@pytest.mark.parametrize("step", ["name", "name&tier"])
def test_list_changed_while_it_is_filtered(kv, step):
    # Other threads and the lookups themselves change the list under the
    # filter's feet: whatever comes back is made of the list's own records.
    victim = []
    victim.extend(Shrinking(victim, name=f"r{i}", tier=i) for i in range(10))

    def work(index):
        seen = []
        for _ in range(20):
            result = kv.filter_results(victim, [step])
            assert isinstance(result, list)
            seen.extend(result)
        return seen

    for seen in run_threads(work, count=4):
        for value in seen:
            if step == "name":
                assert value == "again" or value.startswith("r")
            else:
                assert set(value) == {"name", "tier"}


def test_filtering_while_other_threads_change_the_records_the_list_and_the_path():
    # tests/thread_stress.py, in a process of its own, so that a crash fails
    # this test alone; a free-threaded build runs it without the GIL, whatever
    # the module declares.
    stress = Path(__file__).with_name("thread_stress.py").read_text()
    result = run_python(stress, "2", env={"PYTHON_GIL": "0", "PYTHONFAULTHANDLER": "1"} if FREE_THREADED else None,
                        timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    seen = json.loads(result.stdout.splitlines()[-1])
    # the filter met every state the checks tell apart
    kinds = ["listings of names", "listings of pairs", "flags present", "flags missing"]
    assert all(seen.get(kind) for kind in kinds), seen


# -- tarvenox_api ---------------------------------------------------------------------


@pytest.fixture
def requests(fake_requests):
    """The recording fake, letting other threads run around every post. A
    login's CID names the user, and a listing answers five items under it."""
    fake_requests.yielding = True
    fake_requests.replies["login"] = lambda data: {"CID": "cid-" + data["username"]}
    fake_requests.replies["list"] = lambda data: {"results": [f"{data['CID']}-{k}" for k in range(5)]}
    return fake_requests


FILES = {
    "list.cfg": "[default]\nfilters = results\n[tarvenox]\naction = list\n",
    "show.cfg": "[default]\nfilters = echo\n[tarvenox]\naction = show\nsite = output(list.cfg)\n",
    "a.cfg": "[tarvenox]\naction = a\nitem = output(b.cfg)\n",
    "b.cfg": "[tarvenox]\naction = b\nitem = output(c.cfg)\n",
    "c.cfg": "[tarvenox]\naction = c\n",
    "pair.cfg": "[tarvenox]\naction = pair\nitem = output(c.cfg)\n",
    "loop_a.cfg": "[tarvenox]\naction = a\nitem = output(loop_b.cfg)\n",
    "loop_b.cfg": "[tarvenox]\naction = b\nitem = output(loop_a.cfg)\n",
}


@pytest.fixture
def config_dir(config_dir):
    write_files(config_dir, FILES)
    return str(config_dir)


def alone(requests, config_dir, user, name):
    """What the call gives on one thread alone: the model's, against a fake of
    its own that answers as `requests` does."""
    own = FakeRequests()
    own.replies = dict(requests.replies)
    return model.tarvenox_api(own, "h", user, "p", config_dir, f"{config_dir}/{name}")


# After process ids wrap, a thread may get an id below the process's own: it is
# still no main thread, and its stack is its own.
LOW_THREAD_ID = """
import threading
import korvalinden.korvalinden as kv
with open("/proc/sys/kernel/ns_last_pid", "w") as last:
    last.write("100")
def run():
    print(threading.get_native_id(), kv.filter_results({"results": [{"name": "x"}]}, ["results", "name"]))
worker = threading.Thread(target=run)
worker.start()
worker.join()
"""


def test_a_thread_whose_id_is_below_the_process_id_filters_on_its_own_stack():
    if os.geteuid() != 0:
        pytest.skip("choosing the next process id takes root (a PID namespace of its own)")
    result = subprocess.run(["unshare", "--pid", "--fork", "sh", "-c", 'echo 5000 > /proc/sys/kernel/ns_last_pid '
                             '&& "$0" "$@"', sys.executable, "-c", LOW_THREAD_ID], capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stdout) == (0, "101 ['x']\n"), result.stderr


# Stacks a thread's first call has not met before. Each script prints "ok"
# once every call in it worked as it does in Python.
CALLS = """
import os, sys
import korvalinden.korvalinden as kv
loop = {}
loop["a"] = loop
def calls(_=None, levels=300):
    return kv.filter_results({"a": 1}, ["a"]) == 1 and kv.filter_results(loop, ["a"] * levels) is loop
"""
FIRST_CALLS = {
    # The child runs on the forking thread's stack, not on the main one's.
    "a child forked from a thread": """
import threading
def fork():
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if calls() else 2
        finally:
            os._exit(code)
    print("ok" if os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0 else "failed")
worker = threading.Thread(target=fork)
worker.start()
worker.join()
""",
    "a process pool forked from a thread": """
import concurrent.futures as futures, multiprocessing
def in_pool():
    with futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork")) as pool:
        return all(pool.map(calls, range(4)))
with futures.ThreadPoolExecutor(1) as threads:
    print("ok" if threads.submit(in_pool).result() else "failed")
""",
    # Up to 3.10 each Python frame takes C stack: far more than 8 MiB here.
    "an unlimited stack, first called 30,000 frames deep": """
sys.setrecursionlimit(40_000)
def at_depth(depth):
    return calls() if depth == 0 else at_depth(depth - 1)
print("ok" if at_depth(30_000) and calls() else "failed")
""",
    # A call that found no room leaves no trace: the next, at the top, works.
    # The limit is lowered halfway down a stack grown deeper before, whose
    # pages the call and the lookup of the stack's bounds then use.
    "a limit lowered below the stack in use": """
import resource
def deep(depth, at_bottom):
    # each level passes through C, so the C stack grows on every version
    return list(map(deep, [depth - 1], [at_bottom]))[0] if depth > 0 else at_bottom()
def lowered_and_called():
    resource.setrlimit(resource.RLIMIT_STACK, (128 << 10, resource.getrlimit(resource.RLIMIT_STACK)[1]))
    try:
        return calls()
    except RecursionError:
        return "refused"
deep(600, lambda: None)
print("ok" if deep(300, lowered_and_called) == "refused" and calls(levels=20) else "failed")
""",
}
FIRST_CALL_STACKS = {"an unlimited stack, first called 30,000 frames deep": resource.RLIM_INFINITY,
                     "a limit lowered below the stack in use": 8 << 20}


@pytest.mark.parametrize("name", FIRST_CALLS)
def test_a_first_call_on_a_stack_of_its_own_kind(name):
    stack = FIRST_CALL_STACKS.get(name)
    if stack == resource.RLIM_INFINITY and resource.getrlimit(resource.RLIMIT_STACK)[1] != stack:
        pytest.skip("an unlimited stack takes an unlimited hard limit")
    if name.startswith("a limit lowered") and sys.version_info >= (3, 14):
        pytest.skip("from 3.14 the interpreter's own stack check ignores a limit lowered after start")
    result = run_python(CALLS + FIRST_CALLS[name], preexec_fn=stack and main_stack(stack), timeout=120)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr[-2000:]


def test_threads_calling_the_api_at_once_get_their_own_results(kv, requests, config_dir):
    def work(index):
        user = f"user{index}"
        shown = alone(requests, config_dir, user, "show.cfg")
        for _ in range(10):
            assert kv.tarvenox_api("h", user, "p", config_dir, f"{config_dir}/list.cfg") == [
                f"cid-{user}-{k}" for k in range(5)]
            assert kv.tarvenox_api("h", user, "p", config_dir, f"{config_dir}/show.cfg") == shown
        return user

    assert run_threads(work) == [f"user{index}" for index in range(THREADS)]
    # list.cfg: login, post; show.cfg: login, list.cfg's two, one post per element
    assert len(requests.posts) == THREADS * 10 * (2 + 3 + 5)


@pytest.mark.parametrize("top", ["pair.cfg", "a.cfg"])
def test_same_chain_on_two_threads_at_once(kv, requests, config_dir, top):
    # Both threads wait in the post of the chain's last file until the other
    # one is there too, so that each has the whole chain above it at once.
    requests.hold["c"] = threading.Barrier(2, timeout=10)
    requests.replies["c"] = ["x"]

    def refusal_or_result(call):
        # a.cfg gets b.cfg's records, and is refused once the whole chain has run
        try:
            return call()
        except ValueError as refusal:
            return str(refusal)

    def work(index):
        return refusal_or_result(lambda: kv.tarvenox_api("h", f"user{index}", "p", config_dir, f"{config_dir}/{top}"))

    assert run_threads(work, count=2) == [
        refusal_or_result(lambda: alone(requests, config_dir, f"user{index}", top)) for index in range(2)]


def test_a_cycle_on_one_thread_leaves_the_others_alone(kv, requests, config_dir):
    def work(index):
        user = f"user{index}"
        shown = alone(requests, config_dir, user, "show.cfg")
        for _ in range(10):
            if index % 2:
                with pytest.raises(ValueError, match="^output reference cycle: "):
                    kv.tarvenox_api("h", user, "p", config_dir, f"{config_dir}/loop_a.cfg")
            assert kv.tarvenox_api("h", user, "p", config_dir, f"{config_dir}/show.cfg") == shown
        return index

    assert run_threads(work) == list(range(THREADS))


# -- greenlets --------------------------------------------------------------------------


def test_interleaved_greenlets_leave_the_recursion_count_where_it_was(kv, fake_requests):
    # Three logins at a time, each switching away in its post, as under gevent,
    # and ending in another order than they began.
    if UNDER_SANITIZERS:
        pytest.skip(GREENLETS_UNDER_SANITIZERS)
    greenlet = pytest.importorskip("greenlet")
    post = fake_requests.post

    def switching_post(*args, **kwargs):
        greenlet.getcurrent().parent.switch()
        return post(*args, **kwargs)

    fake_requests.post = switching_post
    before, order = deepest(kv.filter_results), random.Random(0)
    for _ in range(1000):
        logins = [greenlet.greenlet(lambda: kv.get_tarvenox_cid("h", "u", "p")) for _ in range(3)]
        for login in logins:
            login.switch()
        order.shuffle(logins)
        for login in logins:
            login.switch()
        assert all(login.dead for login in logins)
    assert abs(deepest(kv.filter_results) - before) <= 1


GEVENT_LOGINS = """
from gevent import monkey
monkey.patch_all()
import sys, types
import gevent.pool, requests
import korvalinden.korvalinden as kv
from helpers import deepest

address, username, password, count = sys.argv[1:]
kv.requests = types.SimpleNamespace(post=requests.Session().post)  # keep-alive: thousands of logins in seconds
before = deepest(kv.filter_results)
cids = gevent.pool.Pool(3).map(lambda _: kv.get_tarvenox_cid(address, username, password), range(int(count)))
print(len(set(cids)), before, deepest(kv.filter_results))
"""


def test_gevent_logins_over_https(controller):
    # gevent's requests switches greenlets while each login waits for its reply.
    if UNDER_SANITIZERS:
        pytest.skip(GREENLETS_UNDER_SANITIZERS)
    pytest.importorskip("gevent")
    count = 3000
    result = run_python(GEVENT_LOGINS, controller.address, controller.username, controller.password, str(count),
                        env={"PYTHONPATH": str(Path(__file__).parent)})
    assert result.returncode == 0, result.stderr
    logins, before, after = map(int, result.stdout.split())
    assert logins == count and abs(after - before) <= 1
