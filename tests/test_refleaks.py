"""Repetition: every module function, called many times on its success paths
and on each kind of error path, leaves the reference counts of its arguments
and results where they were, keeps no file open and does not grow the
interpreter's memory."""

import collections
import configparser
import gc
import io
import os
import pprint
import subprocess
import sys
import tracemalloc
import types

import pytest

from helpers import (FREE_THREADED, Colliding, Lookup, MissingKey, MissRaisingDict, Unhashable, clear_internal_caches,
                     write_files)

ROUNDS = 150
WARM_UP = 20
WINDOWS = 3
# Memory is counted in allocated blocks over a few windows of calls: pymalloc's
# count, or when pymalloc is off (as under the sanitizers) the blocks that
# tracemalloc saw allocated and not freed. Caches make single windows noisy by
# a bounded amount; a leak of one object per call grows every window by at
# least one block per call.
PER_CALL_LIMIT = 0.5
PYMALLOC = sys.getallocatedblocks() > 0


def open_fds():
    return len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else 0


def measure(watched):
    """What a leak changes, taken the same way at every mark: the memory in
    use, the reference counts of `watched` and the open files. Only their
    changes between marks mean anything: the counts include references that
    the measuring code holds itself, and how many depends on the version."""
    clear_internal_caches()
    gc.collect()
    if FREE_THREADED:
        gc.collect()  # there some memory a collection lets go is freed only by the next one
    memory = sys.getallocatedblocks() if PYMALLOC else len(tracemalloc.take_snapshot().traces)
    return memory, [sys.getrefcount(obj) for obj in watched], open_fds()


def assert_no_leaks(call, watched, rounds=ROUNDS):
    """Runs `call` `rounds` times in windows after a warm-up; from one window
    to the next the reference counts of `watched` and the open files must stay
    exactly where they were, and the memory in use must not grow every time."""
    # Shared singletons count references from everywhere in the process.
    watched = [obj for obj in watched if obj is not None and not isinstance(obj, (bool, int))]
    for _ in range(WARM_UP):
        call()
    window = max(rounds // WINDOWS, 1)
    if not PYMALLOC:
        tracemalloc.start()
    try:
        marks = []
        for calls in [0] + [window] * WINDOWS:
            for _ in range(calls):
                call()
            marks.append(measure(watched))
    finally:
        if not PYMALLOC:
            tracemalloc.stop()
    memory, counts, fds = zip(*marks)
    moved = [(repr(obj)[:60], [after - before for before, after in zip(trail, trail[1:])])
             for obj, trail in zip(watched, zip(*counts)) if len(set(trail)) > 1]
    assert not moved, f"reference counts moved by window of {window} calls: {moved}"
    assert len(set(fds)) == 1, f"open files by window: {fds}"
    growth = [after - before for before, after in zip(memory, memory[1:])]
    assert min(growth) <= PER_CALL_LIMIT * window, f"memory grew in every window: {growth}"


@pytest.mark.parametrize("leak", ["object", "reference"])
def test_the_check_sees_a_leak(leak):
    # The check itself must fail on one leaked object or reference per call,
    # in both ways of counting memory.
    kept, watched = [], object()
    with pytest.raises(AssertionError):
        assert_no_leaks(lambda: kept.append(object() if leak == "object" else watched), [watched])


LEAKY_TESTS = """
kept = []

def test_leaks_an_object():
    kept.append(object())

def test_leaks_a_reference():
    kept.append(kept)

def test_keeps_nothing(tmp_path):
    (tmp_path / "x").write_text("x")
"""


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="the leak hunt needs a debug build of CPython")
def test_the_hunt_sees_a_leak(tmp_path):
    # The hunt of a debug build (conftest.py) fails the two tests that leak and
    # passes the one whose fixture leaves files and pytest's own records.
    (tmp_path / "test_leaky.py").write_text(LEAKY_TESTS)
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "conftest", "-p", "no:cacheprovider", "--hunt-leaks=2:3", "."],
        cwd=tmp_path, env={**os.environ, "PYTHONPATH": os.path.dirname(__file__)}, capture_output=True, text=True)
    assert "2 failed, 1 passed" in run.stdout, run.stdout + run.stderr
    assert "FAILED test_leaky.py::test_leaks_an_object" in run.stdout
    assert "FAILED test_leaky.py::test_leaks_a_reference" in run.stdout


def fresh(text):
    """A string object of our own, not shared with any constant."""
    return "".join(list(text))


class Sink:
    """Output dropped at once: a capture buffer or a file's pending text would
    count as growth."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


CONFIGS = {
    "list.cfg": "[default]\ndescription = list\nfilters = results, name\n[tarvenox]\naction = list\n",
    "show.cfg": "[default]\nfilters = results\n[tarvenox]\naction = show\nsite = output(list.cfg)\n",
    "keys.cfg": "[default]\nfilters = results&x\n[tarvenox]\naction = keys\n",
    "by_key.cfg": "[tarvenox]\naction = show\nsite = output(keys.cfg)\n",
    "none.cfg": "[default]\nfilters = missing, name\n[tarvenox]\naction = list\n",
    "over_none.cfg": "[tarvenox]\naction = show\nsite = output(none.cfg)\n",
    "records.cfg": "[default]\nfilters = results\n[tarvenox]\naction = list\n",
    "over_records.cfg": "[tarvenox]\naction = show\nsite = output(records.cfg)\n",
    "empty.cfg": "[default]\nfilters = results, name\n[tarvenox]\naction = empty\n",
    "over_empty.cfg": "[tarvenox]\naction = show\nsite = output(empty.cfg)\n",
    "unfiltered.cfg": "[default]\nfilters = 100%\n[tarvenox]\naction = list\nnote = 50%% off\n",
    "no_header.cfg": "action = list\n",
    "twice.cfg": "[tarvenox]\naction = a\naction = b\n",
    "no_tarvenox.cfg": "[default]\ndescription = x\n",
    "bad_percent.cfg": "[tarvenox]\naction = 100%\n",
    "dangling.cfg": "[tarvenox]\naction = show\nsite = output(nowhere.cfg)\n",
    "bad_filter.cfg": "[default]\nfilters = results, tags\n[tarvenox]\naction = list\n",
    "not_json.cfg": "[tarvenox]\naction = garbage\n",
    "loop_a.cfg": "[tarvenox]\naction = a\nx = output(loop_b.cfg)\n",
    "loop_b.cfg": "[tarvenox]\naction = b\nx = output(loop_a.cfg)\n",
    "self.cfg": "[tarvenox]\naction = a\nx = output(self.cfg)\n",
}


@pytest.fixture
def env(kv, fake_requests, tmp_path, monkeypatch):
    """The module with the recording fake, a configuration directory, and
    output sent nowhere. Replies are made anew per post around `payload`,
    objects that persist so that they can be watched."""
    write_files(tmp_path, {**CONFIGS, "undecodable.cfg": b"[tarvenox]\naction = \xff\xfe\n"})
    run_dir = tmp_path / "run"
    write_files(run_dir, {"list.cfg": CONFIGS["list.cfg"], "show.cfg": CONFIGS["show.cfg"],
                          "notes.txt": "not a configuration file"})

    payload = [fresh("site1"), fresh("site2")]
    fake_requests.replies.update({
        "list": lambda data: {"results": [{"name": payload[0]}, {"name": payload[1]}]},
        "keys": lambda data: {"results": payload[0], "x": payload[1]},
        "empty": lambda data: {"results": []},
        "show": lambda data: {"results": {"site": data["site"], "payload": payload}},
        "garbage": lambda data: ValueError("Expecting value: line 1 column 1 (char 0)"),
    })
    monkeypatch.setattr(sys, "stdout", Sink())
    monkeypatch.setattr(sys, "stderr", Sink())  # argparse's usage message
    monkeypatch.setattr(kv, "pp", pprint.PrettyPrinter(width=200, stream=sys.stdout))
    return types.SimpleNamespace(kv=kv, fake=fake_requests, dir=tmp_path, run_dir=run_dir, payload=payload,
                                 patch=monkeypatch, before_call=[])


def argv(env, *extra, directory=None):
    env.patch.setattr(sys, "argv", ["korvalinden", "--controller_ip", "h", "--username", "u", "--password", "p",
                                    "--config_dir", str(directory or env.run_dir), *extra])


def fake_sys(env):
    env.patch.setattr(env.kv, "sys", types.SimpleNamespace(exit=lambda code: None))
    env.fake.replies["login"] = lambda data: {}


def fresh_post_error(env):
    # a raised exception object keeps its traceback: raise a new one each time
    env.before_call.append(lambda: setattr(env.fake, "post_error", ConnectionError("refused")))


def stdin(text):
    return lambda env: env.before_call.append(lambda: setattr(sys, "stdin", io.StringIO(text)))


def login_reply(make):
    return lambda env: env.fake.replies.update(login=lambda data: make())


H = ("10.0.0.1", "admin", "pw")
CLIENT_CASES = [
    # id, function, arguments ("@name": a file of the configuration directory), expected error, setup
    ("login", "get_tarvenox_cid", H, None, None),
    ("login-no-CID", "get_tarvenox_cid", H, SystemExit, login_reply(lambda: {"return": False})),
    ("login-not-JSON", "get_tarvenox_cid", H, SystemExit, login_reply(lambda: ValueError("Expecting value"))),
    ("login-array", "get_tarvenox_cid", H, SystemExit, login_reply(lambda: ["CID"])),
    ("login-missing", "get_tarvenox_cid", H, SystemExit, login_reply(MissRaisingDict)),
    ("login-interrupt", "get_tarvenox_cid", H, KeyboardInterrupt, login_reply(KeyboardInterrupt)),
    ("login-post-raises", "get_tarvenox_cid", H, ConnectionError, fresh_post_error),
    ("login-no-requests", "get_tarvenox_cid", H, NameError, lambda env: env.patch.delattr(env.kv, "requests")),
    ("login-exit-returns", "get_tarvenox_cid", H, UnboundLocalError, fake_sys),
    ("login-address", "get_tarvenox_cid", ([1], "u", "p"), TypeError, None),
    *[(f"api-{name}", "tarvenox_api", ("h", "u", "p", "@", f"@{name}"), None, None)
      for name in ("list.cfg", "show.cfg", "by_key.cfg", "over_empty.cfg", "unfiltered.cfg")],
    *[(f"api-{name or 'directory'}", "tarvenox_api", ("h", "u", "p", "@", f"@{name}"), error, None)
      for name, error in [
          ("missing.cfg", FileNotFoundError), ("no_header.cfg", configparser.MissingSectionHeaderError),
          ("twice.cfg", configparser.DuplicateOptionError), ("undecodable.cfg", UnicodeDecodeError),
          ("no_tarvenox.cfg", configparser.NoSectionError), ("bad_percent.cfg", configparser.InterpolationSyntaxError),
          ("dangling.cfg", FileNotFoundError), ("over_none.cfg", ValueError),
          ("over_records.cfg", ValueError), ("bad_filter.cfg", KeyError),
          ("not_json.cfg", ValueError), ("loop_a.cfg", ValueError), ("self.cfg", ValueError),
          ("", IsADirectoryError)]],
    ("api-failed-login", "tarvenox_api", ("h", "u", "p", "@", "@show.cfg"), SystemExit, login_reply(dict)),
    ("api-post-raises", "tarvenox_api", ("h", "u", "p", "@", "@show.cfg"), ConnectionError, fresh_post_error),
    ("api-address", "tarvenox_api", ([1], "u", "p", "@", "@list.cfg"), TypeError, None),
    ("main", "main", (), None, argv),
    ("main-prompts", "main", (), None, lambda env: (
        argv(env), env.patch.setattr(sys, "argv", sys.argv[:1] + sys.argv[-2:]), stdin("h\n")(env),
        env.patch.setattr(env.kv, "getpass", types.SimpleNamespace(getpass=lambda prompt: "p")))),
    ("main-no-default-directory", "main", (), FileNotFoundError, lambda env: (
        argv(env), env.patch.setattr(sys, "argv", sys.argv[:-2]),
        env.patch.setattr(env.kv, "__file__", str(env.dir / "nowhere" / "module.so")))),
    ("main-bad-option", "main", (), SystemExit, lambda env: argv(env, "--verbose")),
    ("main-end-of-input", "main", (), EOFError, lambda env: (
        env.patch.setattr(sys, "argv", ["korvalinden"]), stdin("")(env))),
    ("main-failed-login", "main", (), SystemExit, lambda env: (argv(env), login_reply(dict)(env))),
    ("main-missing-directory", "main", (), FileNotFoundError, lambda env: argv(env, directory=env.dir / "missing")),
    ("main-directory-entry", "main", (), IsADirectoryError, lambda env: (
        argv(env), (env.run_dir / "sub.cfg").mkdir())),
    ("main-unparsable", "main", (), configparser.MissingSectionHeaderError, lambda env: (
        argv(env), (env.run_dir / "zz.cfg").write_text("no header\n"))),
    ("main-failing-call", "main", (), KeyError, lambda env: (
        argv(env), (env.run_dir / "zz.cfg").write_text(CONFIGS["bad_filter.cfg"]))),
    ("default-directory", "get_default_config_dir", (), None, lambda env: (
        env.patch.setattr(env.kv, "__file__", fresh(str(env.dir / "module.so"))), (env.dir / "config").mkdir())),
    ("default-directory-missing", "get_default_config_dir", (), FileNotFoundError, lambda env: (
        env.patch.setattr(env.kv, "__file__", fresh(str(env.dir / "nowhere" / "module.so"))))),
]


@pytest.mark.parametrize("name, arguments, error, setup", [case[1:] for case in CLIENT_CASES],
                         ids=[case[0] for case in CLIENT_CASES])
def test_client_and_driver(env, name, arguments, error, setup):
    if setup is not None:
        setup(env)
    arguments = [fresh(str(env.dir / arg[1:])) if isinstance(arg, str) and arg.startswith("@")
                 else fresh(arg) if isinstance(arg, str) else arg for arg in arguments]
    function = getattr(env.kv, name)

    def call():
        env.fake.posts.clear()
        env.fake.logins = 0
        for prepare in env.before_call:
            prepare()
        try:
            result = function(*arguments)
        except BaseException as caught:  # noqa: BLE001 (compared below)
            assert error is not None and isinstance(caught, error), caught
            return
        assert error is None, f"{name} did not raise {error}"
        if isinstance(result, (list, dict)):
            # a value the call built is referenced only here, as its copy is
            control = result.copy()
            counts = sys.getrefcount(result), sys.getrefcount(control)  # outside the assert: not rewritten
            assert counts[0] == counts[1]

    watched = [*arguments, *env.payload, sys.argv, getattr(env.kv, "__file__")]
    assert_no_leaks(call, watched)


# -- argument binding ----------------------------------------------------------------

NOT_A_STRING = object()
BINDING = [
    ("get_tarvenox_cid", 2, {}), ("get_tarvenox_cid", 1, {"username": 0}), ("get_tarvenox_cid", 3, {"username": 0}),
    ("get_tarvenox_cid", 3, {"verify": 0}), ("get_tarvenox_cid", 3, {NOT_A_STRING: 0}),
    ("filter_results", 0, {}), ("filter_results", 1, {"results": 0, "filters": 0}),
    ("tarvenox_api", 6, {}), ("tarvenox_api", 4, {"config_dir": 0}),
    ("main", 1, {}), ("main", 0, {"x": 0}), ("get_default_config_dir", 2, {"x": 0}),
]


@pytest.mark.parametrize("name, positional, keywords", BINDING)
def test_binding_errors(kv, fake_requests, name, positional, keywords):
    args = [object() for _ in range(positional)]
    values = {key: object() for key in keywords}
    function = getattr(kv, name)

    def call():
        with pytest.raises(TypeError):
            function(*args, **values)

    assert_no_leaks(call, [*args, *values.values(), *values])


# -- filter_results --------------------------------------------------------------------


def reply():
    # values of our own only: a shared small int or interned string would
    # count every other reference in the process
    a = {"name": fresh("site1"), "tier": fresh("stennel"), "tags": {"env": fresh("prod")}}
    b = {"name": fresh("site2"), "tier": fresh("quorrin")}
    return {"total": int("123456789012"), "results": [a, b]}


def endless():
    looped = {}
    looped["a"] = looped
    return looped


FILTER_CASES = [
    # results, filters, expected error
    *[(reply, filters, None) for filters in [
        [], ["results"], ["results", "name"], ["results", "name & tier"], ["results", "name&tags", "tags"],
        ["total&results&missing"], ["missing"], ["missing", "name"], ("results", " name &tier&"), "total",
        collections.UserList(["results", "name"])]],
    (lambda: [Lookup(MissingKey, a=1), Lookup(MissingKey)], ["a & b"], None),
    (lambda: [{Colliding("a", KeyError): 1}], ["a & b"], None),
    (lambda: [{}], [Unhashable("a & b")], KeyError),
    (lambda: {"a": 1}, None, TypeError),
    (lambda: {"a": 1}, 5, TypeError),
    (lambda: {"a": 1}, collections.deque(["a", "b"]), TypeError),
    (lambda: {"a": 1}, [1], AttributeError),
    (lambda: [{"a": 1}, {}], ["a"], KeyError),
    (lambda: [{"a": 1}, "text"], ["a&b"], TypeError),
    (lambda: [{"a": "text"}], ["a", "b"], TypeError),
    (lambda: [Lookup(MissingKey, a=1)], ["a"], MissingKey),
    (endless, ["a"] * (2 * sys.getrecursionlimit()), RecursionError),
]


@pytest.mark.parametrize("make, filters, error", FILTER_CASES, ids=[repr(case[1])[:40] for case in FILTER_CASES])
def test_filter(kv, make, filters, error):
    results = make()
    members = [*results.values(), *results.get("results", [])] if isinstance(results, dict) else list(results)
    watched = [results, filters, *members]

    def call():
        if error is not None:
            with pytest.raises(error):
                kv.filter_results(results, filters)
            return
        result = kv.filter_results(results, filters)
        # (not `any(result is obj ...)`: a generator would hold `result` in a cell,
        # which the versions count unlike a plain local such as `control`)
        if isinstance(result, (list, dict)) and id(result) not in [id(obj) for obj in watched]:
            control = result.copy()
            counts = sys.getrefcount(result), sys.getrefcount(control)
            assert counts[0] == counts[1]

    assert_no_leaks(call, watched, rounds=30 if error is RecursionError else ROUNDS)
    if error is RecursionError:
        results.clear()
