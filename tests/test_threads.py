"""Threads: several threads calling the filter and the API call at once get
their own correct results, and one thread's chain of output references never
affects another's."""

import threading
import time

import pytest

from helpers import FakeRequests

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
    return [Yielding(name=f"{tag}-{i}", size=i, **({"tags": {"env": tag}} if i % 2 else {})) for i in range(20)]


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


@pytest.mark.parametrize("step", ["name", "name&size"])
def test_list_changed_while_it_is_filtered(kv, step):
    # Other threads and the lookups themselves change the list under the
    # filter's feet: whatever comes back is made of the list's own records.
    victim = []
    victim.extend(Shrinking(victim, name=f"r{i}", size=i) for i in range(10))

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
                assert set(value) == {"name", "size"}
