"""Random and hostile input: replies, filter paths and configuration files
produce the expected value or a Python exception, never a crash, a hang or a
corrupted result."""

import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

MARK = "FILTER_NOT_FOUND"

# Examples per fuzzed test; reproducible in CI, varied on a developer's machine.
EXAMPLES = 150
fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=bool(os.environ.get("CI")),
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)


# -- a plain rendering of the filter, as the expectation -------------------------------


def expected_filter(results, filters):
    if len(filters) < 1:
        return results
    step, rest = filters[0], filters[1:]
    keys = [piece.strip() for piece in step.split("&")]
    if isinstance(results, list):
        if len(keys) > 1:
            new = []
            for element in results:
                record = {}
                for key in keys:
                    try:
                        record[key] = element[key]
                    except KeyError:
                        record[key] = MARK
                new.append(record)
        else:
            new = [element[keys[0]] for element in results]
        return expected_filter(new, rest)
    if isinstance(results, dict):
        if len(keys) > 1:
            new = {}
            for key in keys:
                try:
                    new[key] = results[key]
                except KeyError:
                    new[key] = MARK
            return expected_filter(new, rest)
        try:
            member = results[step]
        except KeyError:
            member = MARK
        return expected_filter(member, rest)
    return None


def outcome(function, *args):
    try:
        return "value", function(*args)
    except Exception as error:  # noqa: BLE001 (the kind is compared)
        return "error", type(error)


def same_objects(got, want):
    """Equal, and built from the very objects of the input wherever the
    expectation took one over (identity of the leaves that are containers)."""
    if isinstance(want, list) and isinstance(got, list):
        return len(got) == len(want) and all(same_objects(g, w) for g, w in zip(got, want))
    if isinstance(want, dict) and isinstance(got, dict):
        return list(got) == list(want) and all(same_objects(got[k], want[k]) for k in want)
    return got is want or (type(got) is type(want) and got == want)


# -- strategies -------------------------------------------------------------------------

KEYS = st.sampled_from(["name", "size", "tags", "", " name", "name ", "a&b", "results"])
SCALARS = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=8)
JSON = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(KEYS | st.text(max_size=4), inner, max_size=5),
    max_leaves=30,
)
STEP = st.lists(KEYS | st.text(max_size=4), min_size=1, max_size=3).map(lambda keys: "&".join(keys)) | KEYS
FILTERS = st.lists(STEP, max_size=5) | st.tuples(STEP, STEP) | STEP


@fuzz
@given(reply=JSON, filters=FILTERS)
def test_filter_matches_the_plain_rendering(kv, reply, filters):
    kind, got = outcome(kv.filter_results, reply, filters)
    want_kind, want = outcome(expected_filter, reply, filters)
    assert kind == want_kind, (got, want)
    if kind == "value":
        assert same_objects(got, want)
    else:
        assert got is want


@fuzz
@given(reply=JSON, filters=st.lists(STEP, max_size=5))
def test_filter_leaves_its_input_alone(kv, reply, filters):
    import copy

    before = copy.deepcopy(reply)
    outcome(kv.filter_results, reply, filters)
    assert reply == before


# -- very large and very deep replies --------------------------------------------------


def nested(depth, make):
    value = {"name": "bottom"}
    for _ in range(depth):
        value = make(value)
    return value


def walk(value, keys):
    for key in keys:
        value = value[key]
    return value


def test_deep_reply_is_walked_only_as_far_as_the_path(kv):
    reply = nested(100_000, lambda inner: {"a": inner})
    assert kv.filter_results(reply, []) is reply
    assert kv.filter_results(reply, ["a"] * 50) is walk(reply, ["a"] * 50)
    pair = kv.filter_results(reply, ["a&b"] * 3)
    assert pair == {"a": reply["a"], "b": MARK} and pair["a"] is reply["a"]


def test_deep_lists_fail_cleanly(kv):
    reply = nested(100_000, lambda inner: [inner])
    assert kv.filter_results(reply, []) is reply
    import pytest

    with pytest.raises(TypeError):
        kv.filter_results(reply, ["name"])


def test_path_deeper_than_the_recursion_limit(kv):
    import sys

    import pytest

    reply = nested(10 * sys.getrecursionlimit(), lambda inner: {"a": inner})
    with pytest.raises(RecursionError):
        kv.filter_results(reply, ["a"] * (5 * sys.getrecursionlimit()))


def test_large_reply(kv):
    records = [{"name": f"gw{i}", "size": i} for i in range(200_000)]
    reply = {"results": records}
    names = kv.filter_results(reply, ["results", "name"])
    assert len(names) == len(records) and names[-1] == "gw199999" and names[0] is records[0]["name"]
    pairs = kv.filter_results(reply, ["results", "size&missing"])
    assert pairs[123] == {"size": 123, "missing": MARK}


def test_huge_step(kv):
    step = "&" * 1_000_000
    assert kv.filter_results({"": 1}, [step]) == {"": 1}
    assert kv.filter_results([{}, {"": 2}], [step]) == [{"": MARK}, {"": 2}]
