"""Repetition: every module function, called many times on its success paths
and on each kind of error path, leaves the reference counts of its arguments
and results where they were, keeps no file open and does not grow the
interpreter's memory."""

import collections
import gc
import os
import sys
import tracemalloc

import pytest

ROUNDS = 300
WARM_UP = 20
# pymalloc blocks (or, when pymalloc is off as under the sanitizers, traced
# bytes) that a run may still hold afterwards: free lists and caches settle
# during warm-up, so a real leak of even one object per call exceeds this.
BLOCK_SLACK = 30
BYTE_SLACK = 4096
PYMALLOC = sys.getallocatedblocks() > 0


def open_fds():
    try:
        return len(os.listdir("/proc/self/fd"))
    except FileNotFoundError:
        return 0


def assert_no_leaks(call, watched, rounds=ROUNDS):
    """Runs `call` `rounds` times after a warm-up; the reference counts of
    `watched`, the open files and the allocated memory must come back."""
    for _ in range(WARM_UP):
        call()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    fds = open_fds()
    if PYMALLOC:
        start = sys.getallocatedblocks()
    else:
        tracemalloc.start()
    try:
        for _ in range(rounds):
            call()
        gc.collect()
        grown = sys.getallocatedblocks() - start if PYMALLOC else tracemalloc.get_traced_memory()[0]
    finally:
        if not PYMALLOC:
            tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert open_fds() == fds
    assert grown <= (BLOCK_SLACK if PYMALLOC else BYTE_SLACK), f"memory grew by {grown}"


def raising(error, function, *args, keywords=None):
    keywords = keywords or {}

    def call():
        try:
            function(*args, **keywords)
        except error:
            return
        raise AssertionError(f"{function.__name__} did not raise {error.__name__}")

    return call


def fresh(text):
    """A string object of our own, not shared with any constant."""
    return "".join(list(text))


@pytest.fixture
def quiet(monkeypatch):
    # The failed-login message is printed on every round; send it nowhere
    # rather than into a capture buffer that grows.
    with open(os.devnull, "w") as sink:
        monkeypatch.setattr(sys, "stdout", sink)
        yield


@pytest.fixture
def fake(fake_requests, quiet):
    """The recording fake, emptied before each call so that its own records
    do not count as growth."""
    return fake_requests


def with_fresh_fake(fake, call, post_error=None):
    def run():
        fake.posts.clear()
        fake.logins = 0
        if post_error is not None:
            fake.post_error = post_error()  # a raised instance keeps its traceback
        call()

    return run


# -- get_tarvenox_cid -------------------------------------------------------------


class DictWithMissing(dict):
    def __missing__(self, key):
        raise KeyError(key)


LOGIN_FAILURES = [
    # reply to the login (made anew per call), expected exception
    (lambda cid: {"return": False}, SystemExit),
    (lambda cid: ValueError("Expecting value"), SystemExit),
    (lambda cid: [cid], SystemExit),
    (lambda cid: None, SystemExit),
    (lambda cid: DictWithMissing(other=cid), SystemExit),
    (lambda cid: KeyboardInterrupt(), KeyboardInterrupt),
]


def test_login_success(kv, fake):
    cid, host, user, password = object(), fresh("10.0.0.1"), fresh("admin"), fresh("pw")
    fake.replies["login"] = lambda data: {"CID": cid, "other": [cid]}

    def call():
        fake.posts.clear()
        assert kv.get_tarvenox_cid(host, user, password) is cid

    assert_no_leaks(call, [cid, host, user, password])


@pytest.mark.parametrize("reply, error", LOGIN_FAILURES, ids=["no-CID", "not-JSON", "array", "null", "missing",
                                                              "interrupt"])
def test_failed_login(kv, fake, reply, error):
    cid, host, user, password = object(), fresh("h"), fresh("u"), fresh("p")
    fake.replies["login"] = lambda data: reply(cid)
    call = with_fresh_fake(fake, raising(error, kv.get_tarvenox_cid, host, user, password))
    assert_no_leaks(call, [cid, host, user, password])


@pytest.mark.parametrize(
    "break_it, error",
    [
        (lambda kv, fake, mp: None, ConnectionError),
        (lambda kv, fake, mp: mp.delattr(kv, "requests"), NameError),
        (lambda kv, fake, mp: mp.setattr(kv, "requests", object()), AttributeError),
        (lambda kv, fake, mp: mp.setattr(kv, "sys", type("Sys", (), {"exit": staticmethod(lambda code: code)})),
         UnboundLocalError),
    ],
    ids=["post-raises", "no-requests", "no-post", "exit-returns"],
)
def test_login_errors_before_and_after_the_reply(kv, fake, monkeypatch, break_it, error):
    host, user, password = fresh("h"), fresh("u"), fresh("p")
    break_it(kv, fake, monkeypatch)
    if error is UnboundLocalError:
        fake.replies["login"] = lambda data: {}
    post_error = (lambda: ConnectionError("refused")) if error is ConnectionError else None
    call = with_fresh_fake(fake, raising(error, kv.get_tarvenox_cid, host, user, password), post_error)
    assert_no_leaks(call, [host, user, password])


def test_login_address_that_is_not_a_string(kv, fake):
    address, user = [1], fresh("u")
    assert_no_leaks(with_fresh_fake(fake, raising(TypeError, kv.get_tarvenox_cid, address, user, user)),
                    [address, user])


# -- argument binding ----------------------------------------------------------------

NOT_A_STRING = object()

BINDING = [
    ("get_tarvenox_cid", 2, {}),
    ("get_tarvenox_cid", 1, {"username": 0}),
    ("get_tarvenox_cid", 3, {"username": 0}),
    ("get_tarvenox_cid", 3, {"verify": 0}),
    ("get_tarvenox_cid", 3, {NOT_A_STRING: 0}),
    ("filter_results", 0, {}),
    ("filter_results", 1, {"results": 0, "filters": 0}),
    ("tarvenox_api", 6, {}),
    ("tarvenox_api", 4, {"config_dir": 0}),
    ("main", 1, {}),
    ("main", 0, {"x": 0}),
    ("get_default_config_dir", 2, {"x": 0}),
]


@pytest.mark.parametrize("name, positional, keywords", BINDING)
def test_binding_errors(kv, fake, name, positional, keywords):
    args = [object() for _ in range(positional)]
    values = {key: object() for key in keywords}
    function = getattr(kv, name)
    keys = list(values)
    assert_no_leaks(raising(TypeError, function, *args, keywords=values), [*args, *values.values(), *keys])


# -- filter_results --------------------------------------------------------------------


def reply():
    a = {"name": "gw1", "size": "small", "tags": {"env": "prod"}}
    b = {"name": "gw2", "size": "large"}
    return {"total": 2, "results": [a, b]}


FILTER_PATHS = [
    [],
    ["results"],
    ["results", "name"],
    ["results", "name & size"],
    ["results", "name&tags", "tags"],
    ["total&results&missing"],
    ["missing"],
    ["missing", "name"],
    ("results", " name &size&"),
    "total",
    collections.UserList(["results", "name"]),
]


@pytest.mark.parametrize("filters", FILTER_PATHS, ids=repr)
def test_filter_success(kv, filters):
    r = reply()
    watched = [r, filters, *r.values(), *r["results"], *r["results"][0].values(), *r["results"][1].values()]

    def call():
        result = kv.filter_results(r, filters)
        if isinstance(result, (list, dict)) and not any(result is obj for obj in watched):
            # a value built by the filter is referenced by this frame and by
            # getrefcount's argument only
            assert sys.getrefcount(result) == 2

    assert_no_leaks(call, watched)


class KeyErrorSubclass(KeyError):
    pass


class Sparse(dict):
    """Every lookup misses with a KeyError subclass, through Python code."""

    def __getitem__(self, key):
        raise KeyErrorSubclass(key)


@pytest.mark.parametrize(
    "results, filters, error",
    [
        ({"a": 1}, None, TypeError),
        ({"a": 1}, 5, TypeError),
        ({"a": 1}, collections.deque(["a", "b"]), TypeError),
        ({"a": 1}, [1], AttributeError),
        ([{"a": 1}, {}], ["a"], KeyError),
        ([{"a": 1}, "text"], ["a&b"], TypeError),
        ([{"a": "text"}], ["a", "b"], TypeError),
        ([Sparse(a=1)], ["a"], KeyErrorSubclass),
    ],
    ids=["no-length", "number", "unsliceable", "step-not-string", "single-key-missing", "element-not-mapping",
         "string-subscripted", "lookup-in-python"],
)
def test_filter_errors(kv, results, filters, error):
    assert_no_leaks(raising(error, kv.filter_results, results, filters), [results, filters])


def test_filter_misses_through_python_lookups(kv):
    results, filters = [Sparse(a=1), Sparse()], ["a & b"]

    def call():
        assert kv.filter_results(results, filters) == [{"a": "FILTER_NOT_FOUND", "b": "FILTER_NOT_FOUND"}] * 2

    assert_no_leaks(call, [results, filters, *results])


def test_filter_deeper_than_the_recursion_limit(kv):
    endless = {}
    endless["a"] = endless
    filters = ["a"] * (2 * sys.getrecursionlimit())
    assert_no_leaks(raising(RecursionError, kv.filter_results, endless, filters), [endless, filters], rounds=30)
    del endless["a"]
