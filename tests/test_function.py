"""The function type: attributes, argument binding with its messages,
traceback entries, global lookup and the built-ins fixed at import."""

import builtins
import json
import sys
from pathlib import Path

import pytest

import model
from helpers import (MODULE_NAME, UNDER_SANITIZERS, MissRaisingDict, Text, Unhashable, last_entry, module_entries,
                     run_python)

TESTS = Path(__file__).resolve().parent

NAMES = ["get_tarvenox_cid", "filter_results", "tarvenox_api", "get_default_config_dir", "main"]


@pytest.mark.parametrize("name", NAMES)
def test_attributes(kv, name):
    function = getattr(kv, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == MODULE_NAME
    assert function.__doc__ is None
    assert function.__defaults__ is None and function.__kwdefaults__ is None and function.__closure__ is None
    assert function.__globals__ is vars(kv)
    assert name in repr(function) and hex(id(function))[2:] in repr(function).lower()


def test_function_type_cannot_be_instantiated(kv):
    with pytest.raises(TypeError):
        type(kv.main)()


def test_a_module_function_deleted_by_its_caller_is_freed():
    # Nothing but the module holds a function, so deleting the attribute frees
    # it. A debug build of the interpreter warns of an object freed while the
    # collector still tracks it.
    code = """
import gc, sys
import korvalinden.korvalinden as kv
function = kv.filter_results
del kv.filter_results
print(sys.getrefcount(function))
del function
gc.collect()
"""
    result = run_python(code, options=("-W", "error::ResourceWarning"))
    assert (result.returncode, result.stdout, result.stderr) == (0, "2\n", "")


BINDING_ERRORS = [
    # function, positional, keywords (None: a call with no keyword dict at all), message, traceback line (None: no
    # entry)
    ("get_tarvenox_cid", (1, 2), None, "get_tarvenox_cid() takes exactly 3 positional arguments (2 given)", 16),
    ("get_tarvenox_cid", (1, 2, 3, 4), None, "get_tarvenox_cid() takes exactly 3 positional arguments (4 given)", 16),
    ("filter_results", (), None, "filter_results() takes exactly 2 positional arguments (0 given)", 31),
    ("main", (1,), None, "main() takes no arguments (1 given)", None),
    ("get_tarvenox_cid", (1, 2), {}, "get_tarvenox_cid() takes exactly 3 positional arguments (2 given)", 16),
    ("get_tarvenox_cid", (1, 2, 3, 4), {}, "get_tarvenox_cid() takes exactly 3 positional arguments (4 given)", 16),
    ("filter_results", (), {}, "filter_results() takes exactly 2 positional arguments (0 given)", 31),
    ("tarvenox_api", (1, 2, 3, 4, 5, 6), {}, "tarvenox_api() takes exactly 5 positional arguments (6 given)", 71),
    ("get_tarvenox_cid", (1,), {"username": "u"},
     "get_tarvenox_cid() takes exactly 3 positional arguments (2 given)", 16),
    ("get_tarvenox_cid", (1,), {"password": "p"},
     "get_tarvenox_cid() takes exactly 3 positional arguments (1 given)", 16),
    ("get_tarvenox_cid", (), {"username": "u", "password": "p"},
     "get_tarvenox_cid() takes exactly 3 positional arguments (0 given)", 16),
    ("get_tarvenox_cid", (1, 2, 3, 4), {"username": "u"},
     "get_tarvenox_cid() takes exactly 3 positional arguments (4 given)", 16),
    ("get_tarvenox_cid", (1, 2, 3), {"username": "u"},
     "get_tarvenox_cid() got multiple values for keyword argument 'username'", 16),
    ("get_tarvenox_cid", (1, 2, 3), {"verify": False},
     "get_tarvenox_cid() got an unexpected keyword argument 'verify'", 16),
    # a missing parameter wins over an unexpected keyword
    ("get_tarvenox_cid", (1, 2), {"verify": False},
     "get_tarvenox_cid() takes exactly 3 positional arguments (2 given)", 16),
    # the first surplus key in the mapping's order decides
    ("get_tarvenox_cid", (1, 2), {"verify": 0, "password": "p", "controller_ip": 1},
     "get_tarvenox_cid() got an unexpected keyword argument 'verify'", 16),
    ("get_tarvenox_cid", (1, 2), {"controller_ip": 1, "password": "p", "verify": 0},
     "get_tarvenox_cid() got multiple values for keyword argument 'controller_ip'", 16),
    ("get_tarvenox_cid", (1, 2, 3), {1: 2}, "get_tarvenox_cid() keywords must be strings", 16),
    ("main", (1,), {}, "main() takes no arguments (1 given)", None),
    ("get_default_config_dir", (1, 2), {}, "get_default_config_dir() takes no arguments (2 given)", None),
    ("main", (), {"x": 1}, "main() takes no keyword arguments", None),
    ("main", (1,), {"x": 1}, "main() takes no keyword arguments", None),
]


@pytest.mark.parametrize("name, positional, keywords, message, line", BINDING_ERRORS)
def test_binding_errors(kv, fake_requests, name, positional, keywords, message, line):
    with pytest.raises(TypeError) as caught:
        if keywords is None:
            getattr(kv, name)(*positional)
        else:
            getattr(kv, name)(*positional, **keywords)
    assert str(caught.value) == message
    if line is None:
        assert module_entries(caught.value) == []
    else:
        assert module_entries(caught.value) == [(f"{MODULE_NAME}.{name}", line)]
    assert fake_requests.posts == []  # the body never ran


class Twin(str):
    """Equal only to itself, so that a dict keeps it beside the str of the same text."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return self is other


def test_keywords_that_bind_one_parameter_twice_are_refused(kv, fake_requests):
    # Both keys bind password by name, so no key is left over to name in the
    # error, and yet the dict holds one more than the parameters bound.
    with pytest.raises(SystemError, match="surplus keyword argument not found"):
        kv.get_tarvenox_cid("h", "u", **{"password": "p", Twin("password"): "q"})
    assert fake_requests.posts == []


def test_keywords_bind_in_any_order(kv, fake_requests):
    cid = kv.get_tarvenox_cid(password="p", username="u", controller_ip="host", **{})
    assert cid == "cid-1"
    assert fake_requests.posts[0]["data"] == [("action", "login"), ("username", "u"), ("password", "p")]


def test_empty_keyword_mapping_is_accepted(kv, fake_requests):
    assert kv.get_tarvenox_cid(*("h", "u", "p"), **{}) == "cid-1"


def test_replaced_module_attribute_is_used_at_next_call(kv, monkeypatch):
    with pytest.raises(NameError) as caught:
        monkeypatch.delattr(kv, "requests")
        kv.get_tarvenox_cid("h", "u", "p")
    assert str(caught.value) == "name 'requests' is not defined"
    assert last_entry(caught.value) == (f"{MODULE_NAME}.get_tarvenox_cid", 18)


def test_global_falls_back_to_builtins(kv, monkeypatch, fake_requests):
    monkeypatch.delattr(kv, "requests")
    monkeypatch.setattr(builtins, "requests", fake_requests, raising=False)
    assert kv.get_tarvenox_cid("h", "u", "p") == "cid-1"


def test_builtins_are_fixed_at_import(kv, fake_requests, monkeypatch, capsys):
    printed = []
    fake_requests.replies["login"] = {"no": "CID"}
    monkeypatch.setattr(kv, "print", printed.append, raising=False)
    monkeypatch.setattr(builtins, "print", printed.append)
    with pytest.raises(SystemExit):
        kv.get_tarvenox_cid("h", "u", "p")
    monkeypatch.undo()
    assert printed == []
    assert capsys.readouterr().out == "Login failed\n"


class Outer(Exception):
    """The exception the caller of a generator is handling."""


def handled_after(call):
    """Runs `call` in a generator that handles nothing itself, started inside
    the caller's handler of Outer: what the generator then sees as handled,
    resumed inside that handler (Outer itself, or not) and after it (None)."""

    def generator():
        try:
            call()
        except Exception:  # noqa: BLE001 (the state afterwards is what counts)
            pass
        yield sys.exc_info()[1]
        yield sys.exc_info()[1]

    try:
        raise Outer
    except Outer as caught:
        outer, running = caught, generator()
        inside = next(running) is outer
    return inside, next(running)


def handled_when_shared(call):
    """Runs `call` in the handler of a generator that was thrown the very
    exception its caller is handling: whether the generator, resumed after the
    caller's handler, still handles it, and whether a bare raise raises it."""

    def generator():
        try:
            yield
        except Outer:
            try:
                call()
            except Exception:  # noqa: BLE001 (the state afterwards is what counts)
                pass
            yield
            yield sys.exc_info()[1]
            raise

    try:
        raise Outer
    except Outer as caught:
        outer, running = caught, generator()
        next(running)
        running.throw(caught)
    still_handled = next(running) is outer
    with pytest.raises(Outer) as reraised:
        next(running)
    return still_handled, reraised.value is outer


# What each harness gives where the frames keep their own exception, as Python's do.
HARNESSES = {"caller's handler": (handled_after, (True, None)), "shared with the caller": (handled_when_shared, (True, True))}

CALLS_THAT_HANDLE = {
    "filter: the marker after a raised miss": lambda kv, config: kv.filter_results(MissRaisingDict(), ["a&b"]),
    "filter: the marker under a key of a str subclass": lambda kv, config: kv.filter_results({}, [Text("a&b")]),
    "filter: a failure inside the handler": lambda kv, config: kv.filter_results({}, [Unhashable("a")]),
    "api call: no filters in the file": lambda kv, config: kv.tarvenox_api("h", "u", "p", config.parent, config),
    "login: failed": lambda kv, config: kv.get_tarvenox_cid("h", "u", "p"),
    "python: the model's filter": lambda kv, config: model.filter_results({}, [Text("a&b")]),
}


@pytest.mark.parametrize("harness", HARNESSES)
@pytest.mark.parametrize("name", CALLS_THAT_HANDLE)
def test_each_frame_keeps_its_own_handled_exception(kv, fake_requests, monkeypatch, capsys, config_dir, name, harness):
    exiting = []
    if name.startswith("login"):
        fake_requests.replies["login"] = {}  # no CID: the login fails, and then reads CID unbound
        monkeypatch.setattr(kv, "sys", type("FakeSys", (), {"exit": lambda code: exiting.append(sys.exc_info()[0])}))
    config = config_dir / "plain.cfg"
    config.write_text("[tarvenox]\naction = list\n")
    run, expected = HARNESSES[harness]
    assert run(lambda: CALLS_THAT_HANDLE[name](kv, config)) == expected
    assert exiting == ([KeyError] if name.startswith("login") else [])  # code in a handler sees what it caught


def test_calls_honour_the_recursion_limit(kv, monkeypatch):
    import sys

    class Recurse:
        def __getattr__(self, name):
            return lambda *args, **kwargs: kv.get_tarvenox_cid("h", "u", "p")

    monkeypatch.setattr(kv, "requests", Recurse())
    with pytest.raises(RecursionError) as caught:
        kv.get_tarvenox_cid("h", "u", "p")
    assert str(caught.value).startswith("maximum recursion depth exceeded")
    assert len(module_entries(caught.value)) > sys.getrecursionlimit() // 4


DEPTH = """
import json, os, sys, tempfile, threading
import korvalinden.korvalinden as kv
import model
from helpers import FakeRequests, Repeated, deepest

def at_depth(depth, measure):
    return measure() if depth <= 0 else at_depth(depth - 1, measure)

def through_dict(filter_results):
    # A path of one key over a dict that holds itself under that key.
    loop = {}
    loop["a"] = loop
    try:
        filter_results(loop, Repeated("a", 2 * sys.getrecursionlimit()))
    except RecursionError as error:
        return deepest(filter_results), str(error)

def levels_until_refused(filter_results, results, filters, counted):
    try:
        filter_results(results, filters)
    except RecursionError as error:
        return len(counted), str(error)

def through_getitem(filter_results):
    # A dict subclass whose __getitem__ filters the dict again.
    counted = []
    class Record(dict):
        def __getitem__(self, key):
            counted.append(key)
            return filter_results(self, ["a"])
    return levels_until_refused(filter_results, Record(), ["a"], counted)

def through_eq(filter_results):
    # A step whose comparison with the stored key filters the dict again.
    counted = []
    class Step(str):
        def __hash__(self):
            return hash("a")
        def __eq__(self, other):
            counted.append(other)
            filter_results(record, [Step("a")])
            return True
    record = {"a": 1}
    return levels_until_refused(filter_results, record, [Step("a")], counted)

def chain_runs(length):
    with tempfile.TemporaryDirectory() as config_dir:
        for index in range(length):
            reference = f"item = output({index - 1}.cfg)\\n" if index else ""
            with open(os.path.join(config_dir, f"{index}.cfg"), "w") as file:
                file.write(f"[tarvenox]\\naction = step\\n{reference}")
        try:
            kv.tarvenox_api("ctl", "u", "p", config_dir, os.path.join(config_dir, f"{length - 1}.cfg"))
            return True
        except RecursionError:
            return False

def measure():
    limit = sys.getrecursionlimit()
    depths = {}
    for recursion_limit in map(int, sys.argv[1:]):
        sys.setrecursionlimit(recursion_limit)
        for caller in (0, 900):
            for kind in (through_dict, through_getitem, through_eq):
                depths[f"{kind.__name__} at limit {recursion_limit}, caller {caller}"] = [
                    at_depth(caller, lambda: kind(function)) for function in (kv.filter_results, model.filter_results)]
    sys.setrecursionlimit(limit)
    print(json.dumps(depths))
    print(chain_runs(limit * 9 // 10), chain_runs(limit + 10))

kv.requests = FakeRequests()
# Nothing to post above the first file: a compound result of records could not be referenced.
kv.requests.replies["step"] = []
# A stack that holds the deepest of these in Python too, on every version;
# AddressSanitizer takes no stack above 64 MiB.
threading.stack_size(int(os.environ.get("STACK_MIB", 1024)) << 20)
worker = threading.Thread(target=measure)
worker.start()
worker.join()
"""


def test_each_level_costs_what_one_python_call_costs():
    # At limits from 1,000 to 30,000 and from a caller 0 and 900 frames deep,
    # the filter stops where the same function in Python stops, with the same
    # message, also where it recurses through Python code: no budget of the
    # host's is spent that a call of a Python function does not spend. A chain
    # of output references reaches nine tenths of the limit.
    # The sanitizers' larger frames fill the stack they allow long before 30,000 levels.
    limits = ["1000", "3000", "8000"] + ([] if UNDER_SANITIZERS else ["30000"])
    result = run_python(DEPTH, *limits, timeout=600,
                        env={"PYTHONPATH": str(TESTS), "STACK_MIB": "60" if UNDER_SANITIZERS else "1024"})
    assert result.returncode == 0, result.stderr
    depths, chains = result.stdout.splitlines()
    for (module_levels, module_message), (python_levels, python_message) in json.loads(depths).values():
        assert abs(module_levels - python_levels) <= 3 and module_message == python_message, depths
    assert chains == "True False"
