"""Repetition: every module function, called many times on its success paths
and on each kind of error path, leaves the reference counts of its arguments
and results where they were, keeps no file open and does not grow the
interpreter's memory."""

import collections
import configparser
import gc
import os
import pprint
import sys
import tracemalloc

import pytest

ROUNDS = 150
WARM_UP = 20
WINDOWS = 3
# Memory is measured in allocated blocks over a few windows of calls: pymalloc's
# count, or when pymalloc is off (as under the sanitizers) the blocks that
# tracemalloc saw allocated and not freed. Caches make single windows noisy by
# a bounded amount, while a leak of one object per call grows every window by
# at least one block per call.
PER_CALL_LIMIT = 0.5
PYMALLOC = sys.getallocatedblocks() > 0


def open_fds():
    try:
        return len(os.listdir("/proc/self/fd"))
    except FileNotFoundError:
        return 0


def memory_in_use():
    # The interpreter's method cache keeps the attribute names of recent
    # lookups alive (argparse makes new ones per parser); empty it first.
    sys._clear_type_cache()
    gc.collect()
    return sys.getallocatedblocks() if PYMALLOC else len(tracemalloc.take_snapshot().traces)


def assert_no_leaks(call, watched, rounds=ROUNDS):
    """Runs `call` `rounds` times after a warm-up; the reference counts of
    `watched` and the open files must come back exactly, and the memory in use
    must not grow in every window."""
    # Shared singletons count references from everywhere in the process.
    watched = [obj for obj in watched if obj is not None and not isinstance(obj, (bool, int))]
    for _ in range(WARM_UP):
        call()
    window = max(rounds // WINDOWS, 1)
    if not PYMALLOC:
        tracemalloc.start()
    try:
        marks = [memory_in_use()]
        counts = [sys.getrefcount(obj) for obj in watched]
        fds = open_fds()
        for _ in range(WINDOWS):
            for _ in range(window):
                call()
            marks.append(memory_in_use())
    finally:
        if not PYMALLOC:
            tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert open_fds() == fds
    growth = [after - before for before, after in zip(marks, marks[1:])]
    assert min(growth) <= PER_CALL_LIMIT * window, f"memory grew in every window: {growth}"


@pytest.mark.parametrize("leak", ["object", "reference"])
def test_the_check_sees_a_leak(leak):
    # The check itself must fail on one leaked object or reference per call,
    # in both ways of counting memory.
    kept, watched = [], object()

    def call():
        kept.append(object() if leak == "object" else watched)

    with pytest.raises(AssertionError):
        assert_no_leaks(call, [watched] if leak == "reference" else [])


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


class Sink:
    """Output that is dropped at once: a capture buffer or a file's pending
    text would count as growth."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture
def quiet(kv, monkeypatch):
    monkeypatch.setattr(sys, "stdout", Sink())
    monkeypatch.setattr(sys, "stderr", Sink())  # argparse's usage message
    monkeypatch.setattr(kv, "pp", pprint.PrettyPrinter(width=200, stream=sys.stdout))


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
    # Values of our own only: a shared small int or interned string would
    # count every other reference in the process.
    a = {"name": fresh("gw1"), "size": fresh("small"), "tags": {"env": fresh("prod")}}
    b = {"name": fresh("gw2"), "size": fresh("large")}
    return {"total": int("123456789012"), "results": [a, b]}


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


# -- tarvenox_api ----------------------------------------------------------------------

CONFIGS = {
    "list.cfg": "[default]\ndescription = list\nfilters = results, name\n[tarvenox]\naction = list\n",
    "show.cfg": "[default]\nfilters = results\n[tarvenox]\naction = show\ngateway = output(list.cfg)\n",
    "keys.cfg": "[default]\nfilters = results&x\n[tarvenox]\naction = keys\n",
    "by_key.cfg": "[tarvenox]\naction = show\ngateway = output(keys.cfg)\n",
    "none.cfg": "[default]\nfilters = missing, name\n[tarvenox]\naction = list\n",
    "over_none.cfg": "[tarvenox]\naction = show\ngateway = output(none.cfg)\n",
    "empty.cfg": "[default]\nfilters = results, name\n[tarvenox]\naction = empty\n",
    "over_empty.cfg": "[tarvenox]\naction = show\ngateway = output(empty.cfg)\n",
    "unfiltered.cfg": "[default]\nfilters = 100%\n[tarvenox]\naction = list\nnote = 50%% off\n",
    "no_header.cfg": "action = list\n",
    "twice.cfg": "[tarvenox]\naction = a\naction = b\n",
    "no_tarvenox.cfg": "[default]\ndescription = x\n",
    "bad_percent.cfg": "[tarvenox]\naction = 100%\n",
    "dangling.cfg": "[tarvenox]\naction = show\ngateway = output(nowhere.cfg)\n",
    "bad_filter.cfg": "[default]\nfilters = results, tags\n[tarvenox]\naction = list\n",
    "not_json.cfg": "[tarvenox]\naction = garbage\n",
    "loop_a.cfg": "[tarvenox]\naction = a\nx = output(loop_b.cfg)\n",
    "loop_b.cfg": "[tarvenox]\naction = b\nx = output(loop_a.cfg)\n",
    "self.cfg": "[tarvenox]\naction = a\nx = output(self.cfg)\n",
}


@pytest.fixture
def config_dir(tmp_path):
    for name, text in CONFIGS.items():
        (tmp_path / name).write_text(text)
    (tmp_path / "undecodable.cfg").write_bytes(b"[tarvenox]\naction = \xff\xfe\n")
    return tmp_path


@pytest.fixture
def controller_fake(fake):
    """Replies made anew per post around objects that persist, so that the
    persistent ones can be watched."""
    payload = [fresh("gw1"), fresh("gw2")]
    fake.payload = payload
    fake.replies.update({
        "list": lambda data: {"results": [{"name": payload[0]}, {"name": payload[1]}]},
        "keys": lambda data: {"results": payload[0], "x": payload[1]},
        "empty": lambda data: {"results": []},
        "show": lambda data: {"results": {"gateway": data["gateway"], "payload": payload}},
        "garbage": lambda data: ValueError("Expecting value: line 1 column 1 (char 0)"),
    })
    return fake


API_SUCCESS = [
    ("list.cfg", lambda p: p),
    ("show.cfg", lambda p: [{"object": p[0], "results": {"gateway": p[0], "payload": p}},
                            {"object": p[1], "results": {"gateway": p[1], "payload": p}}]),
    ("by_key.cfg", lambda p: [{"object": "results", "results": {"results": {"gateway": "results", "payload": p}}},
                              {"object": "x", "results": {"results": {"gateway": "x", "payload": p}}}]),
    ("over_empty.cfg", lambda p: []),
    ("unfiltered.cfg", lambda p: {"results": [{"name": p[0]}, {"name": p[1]}]}),
]


@pytest.mark.parametrize("file, expected", API_SUCCESS, ids=[file for file, _ in API_SUCCESS])
def test_api_success(kv, controller_fake, config_dir, file, expected):
    host, user, password, directory = fresh("h"), fresh("u"), fresh("p"), fresh(str(config_dir))
    path = fresh(str(config_dir / file))
    payload = controller_fake.payload

    def call():
        controller_fake.posts.clear()
        result = kv.tarvenox_api(host, user, password, directory, path)
        assert result == expected(payload)
        assert sys.getrefcount(result) == 2

    assert_no_leaks(call, [host, user, password, directory, path, *payload])


API_ERRORS = [
    ("missing.cfg", FileNotFoundError),
    ("no_header.cfg", configparser.MissingSectionHeaderError),
    ("twice.cfg", configparser.DuplicateOptionError),
    ("undecodable.cfg", UnicodeDecodeError),
    ("no_tarvenox.cfg", configparser.NoSectionError),
    ("bad_percent.cfg", configparser.InterpolationSyntaxError),
    ("dangling.cfg", FileNotFoundError),
    ("over_none.cfg", TypeError),
    ("bad_filter.cfg", KeyError),
    ("not_json.cfg", ValueError),
    ("loop_a.cfg", ValueError),
    ("self.cfg", ValueError),
    ("", IsADirectoryError),
]


@pytest.mark.parametrize("file, error", API_ERRORS, ids=[file or "directory" for file, _ in API_ERRORS])
def test_api_errors(kv, controller_fake, config_dir, file, error):
    host, user, password, directory = fresh("h"), fresh("u"), fresh("p"), fresh(str(config_dir))
    path = fresh(str(config_dir / file))
    call = with_fresh_fake(controller_fake, raising(error, kv.tarvenox_api, host, user, password, directory, path))
    assert_no_leaks(call, [host, user, password, directory, path, *controller_fake.payload])


@pytest.mark.parametrize(
    "break_it, error",
    [
        (lambda fake: fake.replies.update(login=lambda data: {}), SystemExit),
        (lambda fake: None, ConnectionError),
    ],
    ids=["failed-login", "post-raises"],
)
def test_api_failures_of_the_controller(kv, controller_fake, config_dir, break_it, error):
    host, user, password, directory = fresh("h"), fresh("u"), fresh("p"), fresh(str(config_dir))
    path = fresh(str(config_dir / "show.cfg"))
    break_it(controller_fake)
    post_error = (lambda: ConnectionError("refused")) if error is ConnectionError else None
    call = with_fresh_fake(controller_fake, raising(error, kv.tarvenox_api, host, user, password, directory, path),
                           post_error)
    assert_no_leaks(call, [host, user, password, directory, path])


def test_api_address_that_is_not_a_string(kv, controller_fake, config_dir):
    address, path = [1], fresh(str(config_dir / "list.cfg"))
    assert_no_leaks(with_fresh_fake(controller_fake, raising(TypeError, kv.tarvenox_api, address, 1, 2, 3, path)),
                    [address, path])


# -- main and get_default_config_dir ---------------------------------------------------


@pytest.fixture
def run_dir(tmp_path):
    directory = tmp_path / "run"
    directory.mkdir()
    (directory / "list.cfg").write_text(CONFIGS["list.cfg"])
    (directory / "show.cfg").write_text(CONFIGS["show.cfg"])
    (directory / "notes.txt").write_text("not a configuration file")
    return directory


def command_line(directory, *extra):
    return ["korvalinden", "--controller_ip", "h", "--username", "u", "--password", "p",
            "--config_dir", str(directory), *extra]


def test_main_runs_a_directory(kv, controller_fake, run_dir, monkeypatch):
    monkeypatch.setattr(sys, "argv", command_line(run_dir))

    def call():
        controller_fake.posts.clear()
        assert kv.main() is None
        # the test login; list.cfg: login, post; show.cfg: login, list.cfg's two, a post per gateway
        assert len(controller_fake.posts) == 8

    assert_no_leaks(call, [*controller_fake.payload, sys.argv])


def test_main_prompts(kv, controller_fake, run_dir, monkeypatch):
    import io

    monkeypatch.setattr(sys, "argv", ["korvalinden", "--config_dir", str(run_dir)])
    monkeypatch.setattr(kv, "getpass", type("Getpass", (), {"getpass": staticmethod(lambda prompt: "p")}))

    def call():
        controller_fake.posts.clear()
        sys.stdin = io.StringIO("h\n")
        kv.main()

    with monkeypatch.context() as patch:
        patch.setattr(sys, "stdin", sys.stdin)
        assert_no_leaks(call, [*controller_fake.payload])


def break_main(kind, kv, fake, run_dir, tmp_path, monkeypatch):
    if kind == "no-default-directory":
        monkeypatch.setattr(sys, "argv", command_line(run_dir)[:-2])
        monkeypatch.setattr(kv, "__file__", str(tmp_path / "nowhere" / "korvalinden.so"))
    elif kind == "bad-option":
        monkeypatch.setattr(sys, "argv", command_line(run_dir, "--verbose"))
    elif kind == "eof-at-prompt":
        import io

        monkeypatch.setattr(sys, "argv", ["korvalinden"])
        monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    elif kind == "failed-login":
        monkeypatch.setattr(sys, "argv", command_line(run_dir))
        fake.replies["login"] = lambda data: {}
    elif kind == "missing-directory":
        monkeypatch.setattr(sys, "argv", command_line(tmp_path / "missing"))
    elif kind == "directory-entry":
        (run_dir / "sub.cfg").mkdir()
        monkeypatch.setattr(sys, "argv", command_line(run_dir))
    elif kind == "unparsable":
        (run_dir / "zz.cfg").write_text("no header\n")
        monkeypatch.setattr(sys, "argv", command_line(run_dir))
    elif kind == "failing-call":
        (run_dir / "zz.cfg").write_text(CONFIGS["bad_filter.cfg"])
        monkeypatch.setattr(sys, "argv", command_line(run_dir))


MAIN_ERRORS = [
    ("no-default-directory", FileNotFoundError),
    ("bad-option", SystemExit),
    ("eof-at-prompt", EOFError),
    ("failed-login", SystemExit),
    ("missing-directory", FileNotFoundError),
    ("directory-entry", IsADirectoryError),
    ("unparsable", configparser.MissingSectionHeaderError),
    ("failing-call", KeyError),
]


@pytest.mark.parametrize("kind, error", MAIN_ERRORS, ids=[kind for kind, _ in MAIN_ERRORS])
def test_main_errors(kv, controller_fake, run_dir, tmp_path, monkeypatch, kind, error):
    break_main(kind, kv, controller_fake, run_dir, tmp_path, monkeypatch)
    call = with_fresh_fake(controller_fake, raising(error, kv.main))
    assert_no_leaks(call, [*controller_fake.payload])


def test_default_directory(kv, tmp_path, monkeypatch):
    module_file = fresh(str(tmp_path / "korvalinden.so"))
    monkeypatch.setattr(kv, "__file__", module_file)
    assert_no_leaks(raising(FileNotFoundError, kv.get_default_config_dir), [module_file])
    (tmp_path / "config").mkdir()

    def call():
        assert kv.get_default_config_dir() == str(tmp_path / "config")

    assert_no_leaks(call, [module_file])
