"""The result filter: the worked examples, error paths with their traceback
entries, edge cases and the recursion through the module global, each value
checked on the module and on the model (model.py). The property test against
the model is with the other random input, in test_fuzz.py."""

import builtins
import collections
import gc
import json
import resource
import sys
import threading

import pytest

import model
from helpers import (FAILED_ALLOCATIONS_CRASH, FREE_THREADED, MODULE_NAME, Colliding, DefaultingDict, Lookup, MissingKey,
                     Rekeying, Unhashable, assert_same, canon, containers, lines_out_of_memory, main_stack, module_entries,
                     proc_can_be_hidden, run_python)

ENTRY = f"{MODULE_NAME}.filter_results"
NF = "FILTER_NOT_FOUND"


@pytest.fixture(params=["module", "model"])
def filter_results(request, kv):
    """Value-level behaviour is checked on both, which also keeps the model honest
    as the oracle of the property test."""
    return kv.filter_results if request.param == "module" else model.filter_results


def reply():
    tags = {"env": "prod"}
    a = {"name": "site1", "tier": "stennel", "tags": tags}
    b = {"name": "site2", "tier": "quorrin"}
    return {"total": 2, "results": [a, b]}


# -- the worked examples ------------------------------------------------------------

# steps, then the expected value as a function of the reply (the reply's own objects
# in it must come back as the very objects, everything else as new containers), or
# the exception with the traceback entries
EXAMPLES = [
    ([], lambda r: r),
    (["results"], lambda r: r["results"]),
    (["results", "name"], lambda r: ["site1", "site2"]),
    (["results", "name & tier"],
     lambda r: [{"name": "site1", "tier": "stennel"}, {"name": "site2", "tier": "quorrin"}]),
    (["results", "name&tags"],
     lambda r: [{"name": "site1", "tags": r["results"][0]["tags"]}, {"name": "site2", "tags": NF}]),
    (["results", "name&tags", "tags"], lambda r: [r["results"][0]["tags"], NF]),
    (["results", "tags"], (KeyError, [66, 50])),
    (["total&results&missing"], lambda r: {"total": 2, "results": r["results"], "missing": NF}),
    (["missing"], lambda r: NF),
    (["missing", "name"], lambda r: None),
    (["total", "name"], lambda r: None),
    (["results", "name", "tier"], (TypeError, [66, 51, 50])),
]


@pytest.mark.parametrize("steps, expected", EXAMPLES, ids=[",".join(e[0]) or "none" for e in EXAMPLES])
def test_worked_examples(filter_results, kv, steps, expected):
    r = reply()
    before = canon(r)
    if isinstance(expected, tuple):
        error, lines = expected
        with pytest.raises(error) as caught:
            filter_results(r, steps)
        if filter_results is kv.filter_results:
            assert module_entries(caught.value) == [(ENTRY, line) for line in lines]
    else:
        assert_same(filter_results(r, steps), expected(r), containers(r))
    assert canon(r) == before


# -- errors and their traceback entries -----------------------------------------------

ERRORS = [
    # results, filters, exception, entries, message (None: the model's message)
    ({}, None, TypeError, [32], "object of type 'NoneType' has no len()"),
    ({}, 7, TypeError, [32], "object of type 'int' has no len()"),
    ({}, {"a": 1}, KeyError, [33], None),
    ({}, {"a"}, TypeError, [33], None),
    ({}, collections.deque(["a"]), TypeError, [34], "'collections.deque' object is unsliceable"),
    ({}, [1], AttributeError, [35], None),
    (reply(), ["results", None], AttributeError, [66, 35], None),
    ({"a": 1}, ["a&b", 5], AttributeError, [60, 35], None),
    ({"x": [{"a": 1}, "text"]}, ["x", "a"], TypeError, [66, 50], None),
    ({"x": [{"a": 1}, 3]}, ["x", "a&b"], TypeError, [66, 43], None),
    ({"x": [{"a": 1}, ["a"]]}, ["x", "a"], TypeError, [66, 50], None),
    ({"x": [{"a": 1}, None]}, ["x", "a&b"], TypeError, [66, 43], None),
    ([{"a": 1}, {"b": 2}], ["a"], KeyError, [50], "'a'"),
    (reply(), ["results", "name&tags", "tags", "env"], TypeError, [66, 47, 51, 50], None),
    # a string is a path of one-character steps
    ({"a": [{"x": 1}]}, "ab", KeyError, [66, 50], "'b'"),
]


@pytest.mark.parametrize("results, filters, error, lines, message", ERRORS)
def test_errors_propagate_with_an_entry_per_level(kv, results, filters, error, lines, message):
    with pytest.raises(error) as caught:
        kv.filter_results(results, filters)
    assert module_entries(caught.value) == [(ENTRY, line) for line in lines]
    # a missing key caught on the way leaves no trace on a later error
    assert caught.value.__context__ is None
    if message is None:
        with pytest.raises(error) as model_caught:
            model.filter_results(results, filters)
        message = str(model_caught.value)
    assert str(caught.value) == message


def colliding(error):
    return {Colliding("a", error): 1}


def clear(keys, key):
    keys.clear()


def clear_at_last(keys, key):
    if keys[-1] is key:
        keys.clear()


# results, step, what comes back: a value, or (exception, module lines, its __context__ and that one's line)
LOOKUP_ODDITIES = [
    # a KeyError from a mapping's lookup or from a key's comparison is a miss ...
    (Lookup(MissingKey), "a&b", {"a": NF, "b": NF}),
    (Lookup(MissingKey), "a", NF),
    ([Lookup(MissingKey)], "a&b", [{"a": NF, "b": NF}]),
    (colliding(KeyError), "a&b", {"a": NF, "b": NF}),
    (colliding(KeyError), "a", NF),
    ([colliding(KeyError)], "a&b", [{"a": NF, "b": NF}]),
    ([{"a": 1}, colliding(KeyError)], "a&b", [{"a": 1, "b": NF}, {"a": NF, "b": NF}]),  # after a plain record
    # ... any other error is not
    (Lookup(IndexError), "a&b", (IndexError, [57], None, None)),
    (Lookup(IndexError), "a", (IndexError, [63], None, None)),
    ([Lookup(IndexError)], "a&b", (IndexError, [43], None, None)),
    (colliding(IndexError), "a&b", (IndexError, [57], None, None)),
    (colliding(IndexError), "a", (IndexError, [63], None, None)),
    ([colliding(IndexError)], "a&b", (IndexError, [43], None, None)),
    ([{"a": 1}, colliding(IndexError)], "a", (IndexError, [50], None, None)),
    # a key whose hash raises KeyError misses, then fails again storing the marker,
    # with the miss as the context of that failure
    ({}, Unhashable("a&b"), (KeyError, [59], KeyError, 57)),
    ({}, Unhashable("a"), (KeyError, [65], KeyError, 63)),
    ([{}], Unhashable("a&b"), (KeyError, [45], KeyError, 43)),
    # a lookup's code can reach the step's key list and change it: it is read as a for loop reads it
    ([Rekeying(clear), {"alpha_key": 1}], "alpha_key & beta_key", [{"alpha_key": NF}, {}]),
    (Rekeying(clear), "alpha_key & beta_key", {"alpha_key": NF}),
    ([Rekeying(clear_at_last, alpha_key=1, beta_key=2)], "alpha_key & beta_key", [{"alpha_key": 1, "beta_key": 2}]),
    (Rekeying(clear_at_last, alpha_key=1, beta_key=2), "alpha_key & beta_key", {"alpha_key": 1, "beta_key": 2}),
    ([Rekeying(clear, alpha_key=1), {"alpha_key": 2}], " alpha_key", (IndexError, [50], None, None)),
]


@pytest.mark.parametrize("results, step, expected", LOOKUP_ODDITIES)
def test_a_lookup_is_an_ordinary_subscription(filter_results, kv, results, step, expected):
    if not isinstance(expected, tuple):
        assert canon(filter_results(results, [step])) == canon(expected)
        return
    error, lines, context, context_line = expected
    with pytest.raises(error) as caught:
        filter_results(results, [step])
    assert type(caught.value.__context__) is (type(None) if context is None else context)
    if filter_results is kv.filter_results:
        assert module_entries(caught.value) == [(ENTRY, line) for line in lines]
        if context is not None:  # the miss got its entry when it was caught
            assert module_entries(caught.value.__context__) == [(ENTRY, context_line)]


def comparisons(filter_results, step, place):
    """What a key of the same hash that comes before the record's own is compared with
    while `step` walks two records, the one at `place` holding that key."""
    records = json.loads('[{"name": 1, "tier": 2}, {"name": 3, "tier": 4}]')
    record_key = next(iter(records[0]))  # one object for every record's "name": the decoder's
    colliding = Colliding("name")
    records[place] = {colliding: 0, **records[place]}
    colliding.compared.clear()
    filter_results(records, [step])
    return ["step" if other is step else "record's key" if other is record_key else repr(other)
            for other in colliding.compared]


@pytest.mark.parametrize("step", ["name", "name & tier"])
@pytest.mark.parametrize("place", [0, 1], ids=["first-record", "later-record"])
def test_a_lookup_makes_the_comparisons_of_a_subscription(kv, step, place):
    # once per lookup, with the step's own key
    assert comparisons(kv.filter_results, step, place) == comparisons(model.filter_results, step, place)


def test_single_step_on_a_list_lets_even_a_key_error_subclass_out(filter_results):
    with pytest.raises(MissingKey):
        filter_results([Lookup(MissingKey)], ["a"])


def swapping_in(witness):
    """A dict whose first lookup swaps `witness` in as the step's second key: the
    step began with exact str keys only."""
    def change(keys, key):
        if len(keys) > 1 and type(keys[1]) is str:
            keys[1] = witness(keys[1])
    return Rekeying(change)


@pytest.mark.parametrize("step_input, lines", [
    (lambda witness: ({}, [witness("a")]), (65, 63)),
    (lambda witness: (swapping_in(witness), ["first_key & second_key"]), (59, 57)),
], ids=["single-step", "key-swapped-in-by-a-lookup"])
def test_the_marker_under_a_key_that_runs_code_is_stored_inside_the_handler(filter_results, kv, step_input, lines):
    # Even where an exact dict misses: storing under the step as given hashes it again.
    seen = []

    class Witness(str):
        """A key whose hash records the exception being handled, and fails the second time."""

        def __hash__(self):
            seen.append(sys.exc_info()[0])
            if len(seen) == 2:
                raise ValueError("hashed")
            return str.__hash__(self)

    with pytest.raises(ValueError) as caught:
        filter_results(*step_input(Witness))
    assert seen == [None, KeyError]
    assert type(caught.value.__context__) is KeyError
    if filter_results is kv.filter_results:
        assert module_entries(caught.value) == [(ENTRY, lines[0])]
        assert module_entries(caught.value.__context__) == [(ENTRY, lines[1])]


# -- edge cases -----------------------------------------------------------------------

@pytest.mark.parametrize("value", [None, "text", 3, [], {}, (1,), reply()])
@pytest.mark.parametrize("filters", [[], (), ""], ids=["list", "tuple", "str"])
def test_no_steps_return_the_input_itself(filter_results, value, filters):
    assert filter_results(value, filters) is value


@pytest.mark.parametrize("value", ["text", NF, 3, 2.5, True, None, ({"a": 1},), b"a", {"a"}])
def test_steps_on_anything_but_lists_and_dicts_give_none(filter_results, value):
    assert filter_results(value, ["a"]) is None


def with_a_deleted_member():
    record = {"x": 0, "y": 1}
    del record["y"]
    record["a"] = 7  # where the first record below holds "a", this one has a gap
    return record


CASES = [
    # results, filters, expected
    ([], ["a", "a&b", "", "x"], []),
    ({}, ["a"], NF),
    ({}, ["a", "b"], None),
    ({"": 1, "a": 2}, [""], 1),
    ([{"": 1}], [""], [1]),
    # keys of a compound step and of a single step on a list are stripped ...
    ({"name": 1, "tier": 2, " name": 3}, [" name & tier "], {"name": 1, "tier": 2}),
    ([{"name": 1, " name": 3}], [" name"], [1]),
    ({"a": 1, "b": 2}, ["\ta\n&b\r"], {"a": 1, "b": 2}),
    # ... the key of a single step on a dict is taken as given
    ({"name": 1, " name": 3}, [" name"], 3),
    ({"name": 1}, [" name"], NF),
    # an empty piece is a key too
    ({"a": 1, "": 2}, ["a&"], {"a": 1, "": 2}),
    ({"a": 1}, ["&"], {"": NF}),
    # repeated keys give one entry; the step's order wins over the input's
    ([{"name": 1, "tier": 2}], ["name&name"], [{"name": 1}]),
    ([{"name": 1, "tier": 2}, {}], ["tier & name"], [{"tier": 2, "name": 1}, {"tier": NF, "name": NF}]),
    ({"name": 1, "tier": 2}, ["tier&missing&name"], {"tier": 2, "missing": NF, "name": 1}),
    # as many keys as the walk learns the places of, over records enough for it to look ahead to the end
    # of a list with no room past it (a slice's): a look past the end shows under the sanitizers
    ([dict.fromkeys("abcdefghi", n) for n in range(64)][:], ["h&g&f&e&d&c&b&a&z"],
     [{**dict.fromkeys("hgfedcba", n), "z": NF} for n in range(64)]),
    # records shaped unlike the first
    ([{"x": 0, "a": 1}, {"a": 2}, with_a_deleted_member()], ["a"], [1, 2, 7]),
    ([{"x": 0, "a": 1}, {"a": 2}, with_a_deleted_member()], ["a&x"], [{"a": 1, "x": 0}, {"a": 2, "x": NF},
                                                                     {"a": 7, "x": 0}]),
    # subclasses are walked; their own lookup rules apply; results are plain containers
    (DefaultingDict(a=1), ["b"], "default b"),
    (DefaultingDict(a=1), ["a&b"], {"a": 1, "b": "default b"}),
    ([DefaultingDict(), collections.Counter(a=2)], ["a"], ["default a", 2]),
    (collections.UserList([{"a": 1}]), ["a"], None),
    (type("Items", (list,), {})([{"a": 1}, {"a": 2}]), ["a"], [1, 2]),
    # ... and their own iteration
    (type("Backwards", (list,), {"__iter__": lambda self: iter(self[::-1])})([{"a": 1}, {"a": 2}]), ["a"], [2, 1]),
    (collections.OrderedDict(a=[{"b": 1}]), ["a", "b&c"], [{"b": 1, "c": NF}]),
    # a string as the whole path: each character is a step, "&" included
    ({"a": {"b": 5}}, "ab", 5),
    ({"a": {"": 5}}, "a&", {"": 5}),
    ({"a": {"b": 5}}, ("a", "b"), 5),
]


@pytest.mark.parametrize("results, filters, expected", CASES)
def test_edge_cases(filter_results, results, filters, expected):
    before = canon(results)
    assert_same(filter_results(results, filters), expected, containers(results))
    assert canon(results) == before



class FoundOnce(dict):
    """A record that finds a key at one of its lookups only: the first, or the second."""

    def __init__(self, found_at):
        super().__init__()
        self.found_at, self.lookups = found_at, 0

    def __getitem__(self, key):
        self.lookups += 1
        if self.lookups != self.found_at:
            raise KeyError(key)
        return [key]


@pytest.mark.parametrize("found_at, expected", [(1, NF), (2, ["a"])], ids=["found-then-missed", "missed-then-found"])
def test_a_repeated_key_keeps_what_its_last_lookup_gave(filter_results, found_at, expected):
    # many records: where the stored object lies in memory cannot matter
    assert filter_results([FoundOnce(found_at) for _ in range(50)], ["a&a"]) == [{"a": expected}] * 50


class Watching:
    """A mapping whose lookups run `during` first: Python code inside the walk."""

    def __init__(self, during):
        self.during = during

    def __getitem__(self, key):
        self.during()
        return key


def hand_over_to_another_thread(seen):
    """Lets another thread run in the middle of a lookup; it notes the collector's state."""
    handed, done = threading.Event(), threading.Event()

    def other():
        handed.wait()
        seen.append(gc.isenabled())
        done.set()

    threading.Thread(target=other).start()
    handed.set()
    done.wait()


@pytest.mark.parametrize(
    "during, enabled_after",
    [
        (lambda seen: seen.append(gc.isenabled()), True),
        (lambda seen: seen.append(gc.isenabled()) or gc.disable(), False),  # the caller's code decides
        (hand_over_to_another_thread, True),
        (lambda seen: seen.append(gc.isenabled()) or 1 / 0, True),
    ],
    ids=["lookup", "lookup-disables", "other-thread", "lookup-fails"],
)
def test_code_that_runs_during_a_walk_sees_the_collector_as_the_caller_left_it(kv, during, enabled_after):
    # Plain records around the Python lookups: the walk holds the collector off for those.
    seen = []
    results = [{"a": 1}] * 3 + [Watching(lambda: during(seen))] + [{"a": 2}] * 3
    assert gc.isenabled()
    try:
        kv.filter_results(results, ["a & b"])
    except ZeroDivisionError:
        pass
    finally:
        enabled, _ = gc.isenabled(), gc.enable()
    assert seen[:1] == [True] and enabled is enabled_after


class Changing:
    """A record whose lookup changes the walked list: `change(results)`."""

    def __init__(self, change):
        self.change = change

    def __getitem__(self, key):
        self.change(Changing.results)
        return key


GROWN = {"a": 9, "b": 8}


@pytest.mark.parametrize(
    "change, tail, expected_compound, expected_single",
    [
        (list.clear, 0, [{"a": "a", "b": "b"}], ["a"]),
        # each lookup adds a record, which the walk reaches in turn
        (lambda results: results.append(GROWN), 0, [{"a": "a", "b": "b"}] * 2 + [{"a": 1, "b": NF}] + [GROWN] * 4,
         ["a", "a", 1, 9, 9]),
        # longer than the walk looks ahead (up to 48 records): the records it would look at are freed
        (lambda results: results.__delitem__(slice(3, None)), 60, [{"a": "a", "b": "b"}] * 2 + [{"a": 1, "b": NF}],
         ["a", "a", 1]),
    ],
    ids=["shrunk", "grown", "shrunk-long"],
)
def test_list_changed_during_the_step(filter_results, change, tail, expected_compound, expected_single):
    # The list is walked as it stands at each element, like a for loop over it.
    def walk(step):
        Changing.results = [Changing(change), Changing(change), {"a": 1}] + [{"a": 2} for _ in range(tail)]
        return filter_results(Changing.results, [step])

    assert walk("a&b") == expected_compound
    assert walk("a") == expected_single


# -- recursion through the module global ---------------------------------------------

@pytest.fixture
def calls(kv, monkeypatch):
    original = kv.filter_results
    recorded = []

    def counting(*args, **kwargs):
        recorded.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(kv, "filter_results", counting)
    return original, recorded


@pytest.mark.parametrize(
    "filters, remaining",
    [(["results", "name&tags", "tags"], [["name&tags", "tags"], ["tags"], []]),
     (("results", "name"), [("name",), ()]),
     ("ab", ["b", ""]),
     (["total", "x", "y"], [["x", "y"]]),   # 2 is not walked: no further call
     ([], [])],
)
def test_each_step_calls_the_module_global_once(calls, filters, remaining):
    original, recorded = calls
    data = {"results": reply()["results"], "total": 2, "a": {"b": 1}}
    original(data, filters)
    assert [kwargs for _, kwargs in recorded] == [{}] * len(remaining)
    assert [args[1] for args, _ in recorded] == remaining
    assert [type(args[1]) for args, _ in recorded] == [type(filters)] * len(remaining)


def test_every_step_on_an_empty_list_makes_a_new_list(calls):
    original, recorded = calls
    empty = []
    assert original(empty, ["a", "b&c", "d"]) == []
    lists = [empty] + [args[0] for args, _ in recorded]
    assert len(lists) == 4 and len({id(each) for each in lists}) == 4


def test_the_global_decides_what_a_step_returns(kv, monkeypatch):
    original = kv.filter_results
    monkeypatch.setattr(kv, "filter_results", lambda results, filters: ("replaced", results, filters))
    r = reply()
    assert original(r, ["results"]) == ("replaced", r["results"], [])


@pytest.mark.parametrize(
    "results, step, line", [([{"a": 1}], "a&b", 47), ([{"a": 1}], "a", 51), ({"a": 1}, "a&b", 60), ({"a": 1}, "a", 66)])
def test_missing_global_raises_name_error_at_the_call(kv, monkeypatch, results, step, line):
    original = kv.filter_results
    monkeypatch.delattr(kv, "filter_results")
    assert original(results, []) is results
    with pytest.raises(NameError) as caught:
        original(results, [step])
    assert str(caught.value) == "name 'filter_results' is not defined"
    assert module_entries(caught.value) == [(ENTRY, line)]
    monkeypatch.setattr(builtins, "filter_results", lambda results, filters: "from builtins", raising=False)
    assert original(results, [step]) == "from builtins"



@pytest.mark.skipif(FREE_THREADED, reason=FAILED_ALLOCATIONS_CRASH)
@pytest.mark.parametrize(
    "call, lines",
    [('Records([{"a": 1, "b": 2}, {"a": 3}]), ["a&b", "b"]', [34, 35, 37, 39, 40, 43, 46, 47, 51]),
     ('Records([{"a": 1}, {"a": 2}]), ["a"]', [34, 35, 37, 49, 50, 51]),
     ('{"a": 1, "b": 2}, ["a&c"]', [34, 35, 53, 57, 60]),
     ('{"a": {"b": 1}}, ["a", "b"]', [34, 35, 53, 63, 66])],
    ids=["compound-step", "single-step", "members", "descent"],
)
def test_each_allocation_that_fails_names_its_statement(call, lines):
    # A list subclass is walked by its iterator into a list that grows by appends.
    assert set(lines_out_of_memory(f"kv.filter_results({call})", "class Records(list): pass")) == set(lines)


KIB, MIB = 1 << 10, 1 << 20

# recursion limit (None: the default), the main thread's stack when the
# interpreter starts (RLIMIT_STACK), the limit set after the first call, the
# stack sizes of threads that run the paths (none: the main thread runs them)
STACKS = {
    "default limit": (None, 2 * MIB, None, []),
    "limit raised": (200_000, 2 * MIB, None, []),
    "threads of 64 KiB, 256 KiB and 1 MiB": (200_000, 2 * MIB, None, [64 * KIB, 256 * KIB, MIB]),
    "main stack of 256 KiB": (200_000, 256 * KIB, None, []),
    "main stack unlimited": (200_000, resource.RLIM_INFINITY, None, []),
    "main stack lowered after the first call": (200_000, 8 * MIB, 256 * KIB, []),
    # the kernel keeps its mappings far enough below the stack for a raised limit to be followed
    "main stack raised after the first call": (200_000, 256 * KIB, 64 * MIB, []),
}

DEEP_PATHS = """
import resource, sys, threading
import korvalinden.korvalinden as kv
limit, lowered, *threads = map(int, sys.argv[1:])
sys.setrecursionlimit(limit or sys.getrecursionlimit())
loop = {}
loop["a"] = loop

def run():
    kv.filter_results(loop, ["a"])
    if lowered:
        resource.setrlimit(resource.RLIMIT_STACK, (lowered, resource.getrlimit(resource.RLIMIT_STACK)[1]))
    for results, step in ((loop, "a"), (loop, "a&b"), ([], "a"), ([{"a": 1}], "a&b")):
        try:
            kv.filter_results(results, [step] * 5000)
            print("returned")
        except RecursionError:
            print("RecursionError")
    print(kv.filter_results(loop, ["a", "b"]))

for size in threads:
    threading.stack_size(size)
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
if not threads:
    run()
"""


def host_stack_crash(name, hide_proc):
    """Why the interpreter itself would crash this run, pure Python as well, or
    "". From 3.14 the module's calls take the interpreter's own check, whose
    bounds of the main stack are fixed at start: a limit lowered later is not
    followed, and without /proc it takes 4 MB below its start, more than a
    smaller stack holds."""
    _, main, lowered, threads = STACKS[name]
    if sys.version_info < (3, 14):
        return ""
    if lowered and lowered < main:
        return "from 3.14 the interpreter's own stack check ignores a limit lowered after start"
    if hide_proc and not threads and 0 <= main < 4 * MIB and name != "default limit":
        return "from 3.14, without /proc, the interpreter's own stack check takes 4 MB for the main stack"
    return ""


@pytest.mark.parametrize("proc", ["/proc", "no /proc"])
@pytest.mark.parametrize("name", STACKS)
def test_paths_deeper_than_the_recursion_limit_or_the_stack_raise_recursion_error(kv, name, proc):
    # A module level takes more C stack than a Python frame: with the limit
    # raised, or on a small stack, the stack would run out first. Its bounds
    # hold with /proc hidden, and follow a limit lowered after the first call.
    hide_proc = proc == "no /proc"
    if reason := (hide_proc and proc_can_be_hidden()) or host_stack_crash(name, hide_proc):
        pytest.skip(reason)
    loop = {}
    loop["a"] = loop
    assert kv.filter_results(loop, ["a"] * 200) is loop
    limit, main, lowered, threads = STACKS[name]
    result = run_python(DEEP_PATHS, str(limit or 0), str(lowered or 0), *map(str, threads),
                        preexec_fn=main_stack(main), hide_proc=hide_proc)
    assert result.returncode == 0, result.stderr
    runs = result.stdout.split("FILTER_NOT_FOUND\n")
    assert runs[-1] == "" and len(runs) == max(1, len(threads)) + 1, result.stdout
    # A stack unlimited, or raised to 64 MiB, may hold the paths; it needs no RecursionError.
    large = main == resource.RLIM_INFINITY or (lowered or 0) >= 64 * MIB
    allowed = {"RecursionError", "returned"} if large else {"RecursionError"}
    assert all(set(run.split()) <= allowed and len(run.split()) == 4 for run in runs[:-1]), result.stdout
