"""Random and hostile input: replies, filter paths and configuration files
produce the expected value or a Python exception, never a crash, a hang or a
corrupted result."""

import _thread
import contextlib
import copy
import faulthandler
import hashlib
import io
import json
import os
import pprint
import re
import secrets
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from hypothesis import HealthCheck, event, given, seed, settings
from hypothesis import strategies as st
from hypothesis.errors import InvalidArgument

import model
from helpers import (FakeRequests, PagesController, assert_same, canon, containers, module_entries, outcome, printed,
                     write_files)
from korvalinden.rehearsal.replies import SITES

MARK = "FILTER_NOT_FOUND"

# Examples per fuzzed test (FUZZ_EXAMPLES=5000 makes a longer hunt), drawn from
# FUZZ_SEED: CI gives the commit, so that what a run drew comes back from the
# commit alone; without it each run draws anew. A failing test names its seed
# (conftest.py).
EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "150"))
FUZZ_SEED = os.environ.get("FUZZ_SEED") or secrets.token_hex(8)
# How long one example may take before it counts as hanging.
HANG_SECONDS = 60

fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)
# A number, so that the draw does not depend on the interpreter's string hashing.
seeded = seed(int.from_bytes(hashlib.sha256(FUZZ_SEED.encode()).digest()[:8], "big"))


# -- strategies -------------------------------------------------------------------------

KEYS = st.sampled_from(["name", "tier", "tags", "", " name", "name ", "a&b", "results"])
SCALARS = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=8)
JSON = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(KEYS | st.text(max_size=4), inner, max_size=5),
    max_leaves=30,
)


class Pieces:
    """A filter step that is no string: its split gives the pieces drawn,
    possibly none at all."""

    def __init__(self, pieces):
        self.pieces = pieces

    def split(self, separator):
        return list(self.pieces)

    def __repr__(self):
        return f"Pieces({self.pieces!r})"


STEP = st.lists(KEYS | st.text(max_size=4), min_size=1, max_size=3).map(lambda keys: "&".join(keys)) | KEYS
FILTERS = (st.lists(STEP | st.lists(KEYS, max_size=2).map(Pieces), max_size=5)
           | st.tuples(STEP, STEP) | STEP)


# Replies over a few keys that differ only by blanks, so that lookups hit and
# miss about equally and stripping decides, with paths of such steps as lists,
# tuples, one text, or with steps that are no strings.
NEAR_KEYS = ["a", "b", " a", "a ", ""]
NEAR_PIECES = NEAR_KEYS + [" b ", "\ta", "c"]
NEAR_LEAVES = st.one_of(st.none(), st.booleans(), st.integers(-2, 2), st.sampled_from(NEAR_KEYS + [MARK, "x"]))


def near_dicts(inner):
    # Pairs over the small key set: cheaper to draw than unique keys, and
    # repeats are common.
    return st.lists(st.tuples(st.sampled_from(NEAR_KEYS), inner), max_size=3).map(dict)


NEAR_REPLIES = st.recursive(
    NEAR_LEAVES,
    lambda inner: st.one_of(st.lists(inner, max_size=4), near_dicts(inner), st.lists(near_dicts(inner), max_size=4)),
    max_leaves=10,
)
NEAR_STEP = st.one_of(
    st.sampled_from(NEAR_PIECES),
    st.lists(st.sampled_from(NEAR_PIECES), min_size=2, max_size=3).map("&".join),
    st.sampled_from(["&", "a&", "&a", " "]),
)
NEAR_PATHS = st.one_of(
    st.lists(NEAR_STEP, min_size=1, max_size=4),
    st.lists(NEAR_STEP, min_size=1, max_size=4).map(tuple),
    st.text(alphabet="ab& ", min_size=1, max_size=4),
    st.lists(st.one_of(NEAR_STEP, st.sampled_from([None, 1, b"a"])), min_size=1, max_size=3),
)


# Each kind of input with its own number of examples: the near keys need many
# to reach their corners, and are cheap; any JSON takes the fuzzing budget.
@pytest.mark.parametrize("replies, paths, examples", [(NEAR_REPLIES, NEAR_PATHS, 2000), (JSON, FILTERS, EXAMPLES)],
                         ids=["near-keys", "any-json"])
def test_filter_agrees_with_the_model(kv, replies, paths, examples):
    @seeded
    @settings(fuzz, max_examples=examples)
    @given(reply=replies, filters=paths)
    def agrees(reply, filters):
        before = copy.deepcopy(reply)
        inputs = containers(reply)
        kind, got = outcome(kv.filter_results, reply, filters)
        want_kind, want = outcome(model.filter_results, reply, filters)
        assert kind == want_kind, (got, want)
        if kind == "value":
            assert_same(got, want, inputs)
        else:
            assert (type(got), str(got)) == (type(want), str(want))
        assert canon(reply) == canon(before)  # the input is left as it was

    # One watchdog for the whole run: a filter call takes well under a
    # millisecond, and a watchdog per call would double the run's time.
    with watchdog(HANG_SECONDS + examples // 10):
        agrees()


@contextlib.contextmanager
def watchdog(seconds=HANG_SECONDS):
    """A call that hangs is interrupted, and pytest shows where; one that
    cannot be interrupted (stuck without letting Python run) ends the process
    with every thread's stack."""
    timer = threading.Timer(seconds, _thread.interrupt_main)
    timer.daemon = True
    timer.start()
    faulthandler.dump_traceback_later(seconds + 30, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        timer.cancel()


# -- the tool against the model, on the same fake controller -----------------------------


def run_both(fake, tool, expectation):
    """Runs the tool and the expectation against the same fake controller:
    the same outcome (an equal value, or an exception of the same class) and
    the same posts. Returns the tool's outcome."""
    fake.posts.clear()
    fake.logins = 0
    with watchdog():
        kind, got = outcome(tool)
    tool_posts = list(fake.posts)
    fake.posts.clear()
    fake.logins = 0
    want_kind, want = outcome(expectation)
    assert kind == want_kind, (got, want)
    if kind == "error":
        assert type(got) is type(want), (got, want)
    else:
        assert got == want
    assert tool_posts == fake.posts
    with contextlib.suppress(InvalidArgument):  # outside a fuzzed test there are no statistics
        event(type(got).__name__ if kind == "error" else f"value after {len(tool_posts)} posts")
    return kind, got


# -- configuration files -----------------------------------------------------------------

TEXT = st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00")
POOL = {
    # files that fuzzed files may refer to
    "list.inc": "[default]\nfilters = echo\n[tarvenox]\naction = list\n",
    "pair.inc": "[default]\nfilters = echo & x\n[tarvenox]\naction = pair\nitem = output(list.inc)\n",
    "loop.inc": "[tarvenox]\naction = loop\nitem = output(f.cfg)\n",
    "broken.inc": "no header\n",
}
REFERENCED = st.sampled_from(["list.inc", "pair.inc", "loop.inc", "broken.inc", "f.cfg", "missing.cfg", "", "/"])
VALUE_PIECE = st.sampled_from(["%", "%%", "%(action)s", "%(nowhere)s", "output(", ")", "&", ",", " ", "echo",
                               "action", "x", "CID"]) | st.text(TEXT, max_size=5)
VALUE = (st.lists(VALUE_PIECE, max_size=6).map("".join)
         | REFERENCED.map(lambda name: f"output({name})")
         | st.sampled_from(["echo, action", "echo, CID & action", "echo,x", ""]))
KEY = st.sampled_from(["action", "filters", "description", "item", "CID", "cid", "Action", "x"]) | st.from_regex(
    r"[a-z_]{1,6}", fullmatch=True)
SECTION = st.sampled_from(["default", "tarvenox", "DEFAULT", "Tarvenox", "other"])
SEPARATOR = st.sampled_from([" = ", "=", ": ", " :"])
LINE = st.one_of(
    SECTION.map(lambda name: f"[{name}]"),
    st.tuples(KEY, SEPARATOR, VALUE).map("".join),
    st.sampled_from(["# a comment", "; another", "", "[", "=x"]),
    st.text(TEXT, max_size=10),  # anything at all
)


@st.composite
def config_texts(draw):
    """Mostly well-formed files, so that most calls get as far as a post, with
    now and then a line of anything anywhere."""
    sections = draw(st.lists(SECTION, unique=True, max_size=4))
    if "tarvenox" not in sections and draw(st.integers(0, 4)):
        sections.insert(draw(st.integers(0, len(sections))), "tarvenox")
    lines = []
    for name in sections:
        lines.append(f"[{name}]")
        seen = set()
        for key, value in draw(st.lists(st.tuples(KEY, VALUE), max_size=4)):
            if key.lower() not in seen:
                seen.add(key.lower())
                lines.append(f"{key}{draw(SEPARATOR)}{value}")
                if not draw(st.integers(0, 6)):
                    lines.append("  " + draw(VALUE))  # a continuation line
    if not draw(st.integers(0, 5)):
        for line in draw(st.lists(LINE, min_size=1, max_size=3)):
            lines.insert(draw(st.integers(0, len(lines))), line)
    return "\n".join(lines)


CONFIG_TEXT = config_texts()


@pytest.fixture
def config_dir(config_dir):
    write_files(config_dir, POOL)
    return config_dir


def write(path, text):
    with open(path, "w", encoding=None, errors="surrogateescape") as handle:
        handle.write(text)


@seeded
@fuzz
@given(text=CONFIG_TEXT)
def test_configuration_files(kv, fake_requests, config_dir, text):
    path = str(config_dir / "f.cfg")
    write(path, text)
    kind, result = run_both(
        fake_requests,
        lambda: kv.tarvenox_api("h", "u", "p", str(config_dir), path),
        lambda: model.tarvenox_api(fake_requests, "h", "u", "p", str(config_dir), path),
    )
    if kind == "error":
        assert module_entries(result), "a failure without the module's traceback entry"
    # Whatever happened, this thread's chain of references is empty again.
    assert kv.tarvenox_api("h", "u", "p", str(config_dir), str(config_dir / "pair.inc"))


class Body:
    """A reply body as it came over the wire: decoded by json() like requests does."""

    def __init__(self, text):
        self.text = text

    def __call__(self, data):
        try:
            return json.loads(self.text)
        except (ValueError, RecursionError) as error:
            return error  # raised by the fake response's json()

    def __repr__(self):
        return f"Body({self.text[:40]!r})"


REPLY = JSON | st.text(TEXT, max_size=20).map(lambda body: Body(body)) | st.sampled_from(
    [Body(""), Body("<html>502 Bad Gateway</html>"), Body("{\"a\": 1"), Body("[" * 100_000)])


@seeded
@fuzz
@given(reply=REPLY, filters=st.lists(STEP, max_size=4).map(", ".join))
def test_controller_replies(kv, fake_requests, config_dir, reply, filters):
    path = str(config_dir / "f.cfg")
    write(path, f"[default]\nfilters = {filters.replace('%', '%%')}\n[tarvenox]\naction = reply\n")
    write(str(config_dir / "g.cfg"), "[default]\nfilters = \n[tarvenox]\naction = each\nitem = output(f.cfg)\n")
    fake_requests.replies["reply"] = reply
    for file in ("f.cfg", "g.cfg"):
        run_both(
            fake_requests,
            lambda: kv.tarvenox_api("h", "u", "p", str(config_dir), str(config_dir / file)),
            lambda: model.tarvenox_api(fake_requests, "h", "u", "p", str(config_dir), str(config_dir / file)),
        )


@pytest.mark.parametrize("results, expected", [([], []), ({"a": 1}, MARK), ([{"a": 1}], IndexError)])
def test_step_that_splits_into_nothing(kv, results, expected):
    # Its key list is empty: a list that has elements has no key to look them up by.
    if expected is IndexError:
        with pytest.raises(IndexError) as raised:
            kv.filter_results(results, [Pieces([])])
        assert module_entries(raised.value) == [("korvalinden.korvalinden.filter_results", 50)]
    else:
        assert kv.filter_results(results, [Pieces([])]) == expected


def nested(depth, make):
    value = {"name": "bottom"}
    for _ in range(depth):
        value = make(value)
    return value


LIMIT = sys.getrecursionlimit()
LARGE = [
    # reply, filter steps, what the result must be (an exception class: what must be raised)
    (lambda: nested(100_000, lambda inner: {"a": inner}), [], lambda reply, result: result is reply),
    (lambda: nested(100_000, lambda inner: {"a": inner}), ["a"] * 50 + ["a&b"] * 2,
     lambda reply, result: result["a"] is nested_member(reply, 51) and result["b"] == MARK),
    (lambda: nested(100_000, lambda inner: [inner]), ["name"], TypeError),
    (lambda: nested(10 * LIMIT, lambda inner: {"a": inner}), ["a"] * (5 * LIMIT), RecursionError),
    (lambda: {"r": [{"n": i} for i in range(200_000)]}, ["r", "n"],
     lambda reply, result: result == list(range(200_000))),
    (lambda: {"r": [{"n": i} for i in range(200_000)]}, ["r", "n&m"],
     lambda reply, result: result[123] == {"n": 123, "m": MARK} and len(result) == 200_000),
    (lambda: {"r": "x" * 10_000_000}, ["r"], lambda reply, result: result is reply["r"]),
    (lambda: [{}, {"": 2}], ["&" * 1_000_000], lambda reply, result: result == [{"": MARK}, {"": 2}]),
]


def nested_member(value, depth):
    for _ in range(depth):
        value = value["a"]
    return value


@pytest.mark.parametrize("make, filters, check", LARGE,
                         ids=["deep-unfiltered", "deep", "deep-lists", "deeper-than-the-limit", "long",
                              "long-compound", "wide", "huge-step"])
def test_very_large_and_deep_replies(kv, fake_requests, config_dir, make, filters, check):
    reply = make()
    fake_requests.replies["reply"] = reply
    write(str(config_dir / "f.cfg"), "[default]\nfilters = {}\n[tarvenox]\naction = reply\n".format(", ".join(filters))
          if filters else "[tarvenox]\naction = reply\n")
    for call in (lambda: kv.filter_results(reply, filters),
                 lambda: kv.tarvenox_api("h", "u", "p", str(config_dir), str(config_dir / "f.cfg"))):
        if isinstance(check, type):
            with watchdog(), pytest.raises(check):
                call()
        else:
            with watchdog():
                result = call()
            assert check(reply, result)


class Hostile(FakeRequests):
    """A `requests` whose post does what no library should: empties the form
    data it was given, changes the list the posts are made for, or calls the
    module again while the call is under way."""

    def __init__(self, kv, mischief):
        super().__init__()
        self.kv, self.mischief, self.depth = kv, mischief, 0
        self.shared = ["a", "b", "c"]
        self.replies["list"] = lambda data: self.shared

    def post(self, *args, **kwargs):
        response = super().post(*args, **kwargs)
        if kwargs["data"].get("action") == "show" or self.mischief == "clear":
            if self.mischief == "clear":
                kwargs["data"].clear()
            elif self.mischief == "shrink":
                self.shared.clear() if len(self.shared) > 1 else self.shared.extend("xyz")
            elif self.depth < 2:
                self.depth += 1
                self.kv.tarvenox_api("h", "u", "p", self.config_dir, self.config_dir + "/show.cfg")
                self.depth -= 1
        return response


@pytest.mark.parametrize("mischief", ["clear", "shrink", "reenter"])
def test_hostile_requests(kv, config_dir, monkeypatch, mischief):
    (config_dir / "show.cfg").write_text("[default]\nfilters = echo\n[tarvenox]\naction = show\ng = output(list.inc)\n")
    (config_dir / "list.inc").write_text("[tarvenox]\naction = list\n")
    hostile = Hostile(kv, mischief)
    hostile.config_dir = str(config_dir)
    monkeypatch.setattr(kv, "requests", hostile)

    def fresh_shared(run):
        hostile.shared[:] = ["a", "b", "c"]
        return run()

    kind, _ = run_both(
        hostile,
        lambda: fresh_shared(lambda: kv.tarvenox_api("h", "u", "p", str(config_dir), str(config_dir / "show.cfg"))),
        lambda: fresh_shared(lambda: model.tarvenox_api(hostile, "h", "u", "p", str(config_dir),
                                                  str(config_dir / "show.cfg"))))
    assert kind == "value"


# -- main on a directory of such files --------------------------------------------------

NAMES = st.sampled_from(["a.cfg", "b.cfg", "c.cfg", "d.CFG", "e.cfg.bak", "f.cfg"])


@seeded
@settings(fuzz, max_examples=EXAMPLES // 2)  # each example runs a directory of files
@given(files=st.dictionaries(NAMES, CONFIG_TEXT, max_size=4))
def test_main_on_a_directory(kv, fake_requests, config_dir, monkeypatch, files):
    run_dir = config_dir / "run"
    run_dir.mkdir(exist_ok=True)
    for old in run_dir.iterdir():
        old.unlink()
    for name, text in files.items():
        write(str(run_dir / name), text.replace("f.cfg", name))
    write_files(run_dir, POOL)
    monkeypatch.setattr(sys, "argv", ["korvalinden", "--controller_ip", "h", "--username", "u", "--password", "p",
                                      "--config_dir", str(run_dir)])
    out, expected = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(kv, "pp", pprint.PrettyPrinter(width=200, stream=out))
    kind, result = run_both(fake_requests, kv.main,
                            lambda: model.main(fake_requests, "h", "u", "p", str(run_dir), expected))
    assert out.getvalue() == expected.getvalue()
    if kind == "error":
        # a clear exception: one that says where in the module it came from
        assert module_entries(result)[0][0] == "korvalinden.korvalinden.main"
    else:
        assert result is None


# -- the table of bad input in the README, each row run as a command ---------------------

ROOT = Path(__file__).resolve().parents[1]
KORVALINDEN = str(Path(sys.executable).with_name("korvalinden"))
PASSWORD = "tarvenox-demo"


def readme_rows():
    """The rows of the README's bad-input table: first column -> (the texts
    quoted in the message column, the exit status)."""
    section = (ROOT / "README.md").read_text(encoding="utf-8").split("\n## Bad input\n", 1)[1]
    section = section.split("\n## ", 1)[0]
    rows = {}
    for line in section.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split(" | ")]
        if len(cells) == 3 and cells[2].isdigit():
            rows[cells[0]] = (re.findall(r"`([^`]+)`", cells[1]), int(cells[2]))
    return rows


def full_reply():
    return printed(None, {"return": True, "results": SITES})


LIST = "[tarvenox]\naction = list_sites\n"
# README row -> (files of its configuration directory, how the command is made from
# (address, directory, closed port), a further check of the finished process)
BAD_INPUT = {
    "An unknown option, such as `--verbose`": ({}, lambda a, d, p: tool(a, d, "--verbose"), None),
    "An option without its value, such as a trailing `--config_dir`": (
        {}, lambda a, d, p: tool(a, d)[:-1], None),
    "Standard input ends at the address prompt": ({}, lambda a, d, p: [KORVALINDEN], None),
    "A controller address that is no host name, such as `bad host`": (
        {}, lambda a, d, p: tool("bad host", d), None),
    "A controller address with a path, such as `127.0.0.1:8443/v1/api`": (
        {}, lambda a, d, p: tool(f"{a}/v1/api", d),
        lambda run, p: f"the tool posts to https://{run.args[2]}/v1/api; give " in run.stderr),
    "A controller that does not answer (nothing listening there)": (
        {}, lambda a, d, p: tool(f"127.0.0.1:{p}", d), lambda run, p: f"https://127.0.0.1:{p}/v1/api" in run.stderr),
    "A proxy that does not answer (`HTTPS_PROXY` naming a closed port)": (
        # the proxy for http urls is not named: another value
        {}, lambda a, d, p: ["env", f"HTTPS_PROXY=http://127.0.0.1:{p}", "HTTP_PROXY=http://127.0.0.2:9", *tool(a, d)],
        lambda run, p: f"\n  proxy: http://127.0.0.1:{p} (HTTPS_PROXY)\n" in run.stderr),
    "A wrong user name or password": (
        {"a.cfg": LIST}, lambda a, d, p: tool(a, d, "--password", "wrong"),
        lambda run, p: run.stdout == "Login failed\n"),
    "A configuration directory that does not exist": ({}, lambda a, d, p: tool(a, f"{d}/missing"), None),
    "No `--config_dir` and no default directory beside the module": (
        {}, lambda a, d, p: [sys.executable, "-c", "import sys, korvalinden.korvalinden as kv; "
                             f"kv.__file__ = {d!r} + '/nowhere/module.so'; "
                             f"sys.argv = ['korvalinden', '--controller_ip', {a!r}, '--password', 'x']; kv.main()"],
        lambda run, p: "/nowhere/config" in run.stderr),
    "A subdirectory whose name ends in `.cfg`": (
        {"sub.cfg/": None}, lambda a, d, p: tool(a, d), lambda run, p: names_the_file(run, "sub.cfg")),
    "A configuration file without a section header": (
        {"a.cfg": "action = list_sites\n"}, lambda a, d, p: tool(a, d), lambda run, p: names_the_file(run, "a.cfg")),
    "A section written twice in one file": (
        {"a.cfg": LIST + "[tarvenox]\n"}, lambda a, d, p: tool(a, d), None),
    "A key written twice in one section": (
        {"a.cfg": LIST + "action = show_site\n"}, lambda a, d, p: tool(a, d), None),
    "Bytes that are no text in the locale's encoding": (
        {"a.cfg": b"[tarvenox]\naction = \xff\xfe\n"}, lambda a, d, p: tool(a, d),
        lambda run, p: names_the_file(run, "a.cfg")),
    "A configuration file saved with a byte-order mark": (
        {"a.cfg": b"\xef\xbb\xbf" + LIST.encode()}, lambda a, d, p: tool(a, d),
        lambda run, p: "a.cfg will fail: it begins with a byte-order mark" in run.stderr
        and names_the_file(run, "a.cfg")),
    "No section `[tarvenox]` (`[Tarvenox]` is another section)": (
        {"a.cfg": "[default]\ndescription = Described\n[Tarvenox]\naction = list_sites\n"},
        lambda a, d, p: tool(a, d), lambda run, p: run.stdout == "Described\n"),
    "A lone `%` in a value of `[tarvenox]`": (
        {"a.cfg": "[tarvenox]\naction = list_sites\nlimit = 100%\n"}, lambda a, d, p: tool(a, d), None),
    "A lone `%` in `description`": (
        {"a.cfg": "[default]\ndescription = 100%\n" + LIST}, lambda a, d, p: tool(a, d),
        lambda run, p: run.stdout == full_reply()),
    "A lone `%` in `filters`": (
        {"a.cfg": "[default]\nfilters = results%, name\n" + LIST}, lambda a, d, p: tool(a, d),
        lambda run, p: run.stdout == full_reply()),
    "An output reference to a file that does not exist": (
        {"a.cfg": "[tarvenox]\naction = show_site\nsite_name = output(nowhere.cfg)\n"},
        lambda a, d, p: tool(a, d), lambda run, p: "/nowhere.cfg, referenced by " in run.stderr),
    "`output()`, naming no file": (
        {"a.cfg": "[tarvenox]\naction = show_site\nsite_name = output()\n"},
        lambda a, d, p: tool(a, d), None),
    "Output references that go round in a circle": (
        {"a.inc": "[tarvenox]\naction = circle_a\nx = output(b.inc)\n",
         "b.inc": "[tarvenox]\naction = circle_b\nx = output(a.inc)\n",
         "top.cfg": "[tarvenox]\naction = circle_top\nx = output(a.inc)\n"},
        lambda a, d, p: tool(a, d), lambda run, p: "a.inc -> " in run.stderr and "b.inc -> " in run.stderr),
    "An output reference to a file whose filters give `None` (a typo such as `filters = result, name`)": (
        {"a.cfg": "[tarvenox]\naction = per_nothing\nsite_name = output(b.inc)\n",
         "b.inc": "[default]\nfilters = result, name\n" + LIST}, lambda a, d, p: tool(a, d),
        lambda run, p: "/b.inc gave None" in run.stderr),
    "An output reference to a file whose filters give a text (a typo such as `filters = result` gives the marker)": (
        {"a.cfg": "[tarvenox]\naction = per_character\nsite_name = output(b.inc)\n",
         "b.inc": "[default]\nfilters = result\n" + LIST}, lambda a, d, p: tool(a, d), None),
    "An output reference to a file whose filters give records (a forgotten `, name` after `results`)": (
        {"a.cfg": "[tarvenox]\naction = per_key\nsite_name = output(b.inc)\n",
         "b.inc": "[default]\nfilters = results\n" + LIST}, lambda a, d, p: tool(a, d), None),
    "A reply that is not JSON": ({"a.cfg": "[tarvenox]\naction = broken\n"}, lambda a, d, p: tool(a, d), None),
    "A one-key filter step over records of which one lacks the key": (
        {"a.cfg": "[default]\nfilters = results, tags\n" + LIST}, lambda a, d, p: tool(a, d), None),
    "A filter step over values that are no JSON objects": (
        {"a.cfg": "[default]\nfilters = results, name, x\n" + LIST}, lambda a, d, p: tool(a, d), None),
}


def error_message(stderr):
    """The tool's own report of how the run ended (a failure's summary,
    argparse's complaint): from its last line that names the tool on."""
    lines = stderr.strip().splitlines() or [""]
    named = [i for i, line in enumerate(lines) if line.startswith("korvalinden: ")]
    return "\n".join(lines[named[-1]:] if named else lines[-1:])


def names_the_file(run, name):
    """The summary's `file:` line names the configuration file the failure came from."""
    return re.search(rf"\n  file:  \S+/{re.escape(name)}\n", run.stderr) is not None


def tool(address, config_dir, *extra):
    return [KORVALINDEN, "--controller_ip", address, "--password", PASSWORD, *extra, "--config_dir", str(config_dir)]


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def bad_input_runs(tmp_path_factory):
    """Runs every row's command at once, in processes of their own, against
    a controller that answers one action with a page that is not JSON."""
    with PagesController({"broken": (502, "text/html", "<html>502 Bad Gateway</html>")}) as controller:
        port = closed_port()
        started = {}
        for row, (files, command, _) in BAD_INPUT.items():
            directory = tmp_path_factory.mktemp("bad")
            write_files(directory, files)
            started[row] = subprocess.Popen(
                command(controller.address, str(directory), port), stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
        runs = {}
        for row, process in started.items():
            stdout, stderr = process.communicate(timeout=120)
            runs[row] = subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)
        yield runs, controller.requests, port


def test_every_row_of_the_table_has_its_check():
    assert list(readme_rows()) == list(BAD_INPUT)


@pytest.mark.certificates
@pytest.mark.parametrize("row", list(BAD_INPUT))
def test_bad_input(bad_input_runs, row):
    runs, requests_made, port = bad_input_runs
    run = runs[row]
    messages, status = readme_rows()[row]
    assert run.returncode == status, run.stderr
    for message in messages:
        assert message in error_message(run.stderr) or message in run.stdout, (message, run.stdout, run.stderr)
    if status == 0:
        assert run.stderr == ""
    else:
        assert "AddressSanitizer" not in run.stderr and "runtime error" not in run.stderr
    if run.args[0] == KORVALINDEN and status == 1 and "Error" in messages[0]:
        # the command sums a failure up in place of the traceback, saying where in the module it left
        assert "Traceback" not in run.stderr
        assert re.search(r"\n  where: [a-z_]+, line \d+\n", error_message(run.stderr)), run.stderr
    check = BAD_INPUT[row][2]
    assert check is None or check(run, port), (run.stdout, run.stderr)
    # a circle, or a text or records in place of values, is refused before anything of it is posted
    assert not any(("action", action) in request for request in requests_made
                   for action in ("circle_a", "circle_b", "circle_top", "per_character", "per_key", "per_nothing"))
