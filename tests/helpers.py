"""Test helpers: the interpreter's caches, traceback inspection, what the tool prompts and prints, a
recording fake of `requests`, comparing the module with the model, lookups that
run code of their own, the deepest filter path, writing files, allocations that fail, a raw HTTPS exchange,
controllers that answer wrongly, and running Python in a subprocess, /proc hidden from it if need be."""

from __future__ import annotations

import contextlib
import copy
import gc
import importlib.util
import io
import os
import pprint
import resource
import socket
import ssl
import struct
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
import traceback
from pathlib import Path

from korvalinden.rehearsal.controller import SimulatedController
from korvalinden.rehearsal.replies import RawReply

SOURCE_FILE = "src\\korvalinden\\korvalinden.py"
MODULE_NAME = "korvalinden.korvalinden"


# -- the interpreter's caches ---------------------------------------------------

# Emptied before memory or references are counted: the method cache keeps the
# attribute names of recent lookups alive (argparse makes new ones for every
# parser). From 3.13 one call empties every cache, and 3.14 deprecates the
# older call.
clear_internal_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


# -- traceback entries ----------------------------------------------------------


def module_entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function name, line) of the module's traceback entries, in call order."""
    return [
        (entry.name, entry.lineno)
        for entry in traceback.extract_tb(exc.__traceback__)
        if entry.filename == SOURCE_FILE
    ]


def last_entry(exc: BaseException) -> tuple[str, int]:
    entries = module_entries(exc)
    assert entries, f"no traceback entry of the module in {exc!r}"
    return entries[-1]


# -- what the tool prompts and prints ----------------------------------------------

IP_PROMPT = "Enter Tarvenox Controller IP: "
PASSWORD_PROMPT = "Enter Tarvenox Controller Password: "


def printed(description, value):
    """What main prints for one file: its description line, if it has one, then
    the result 200 columns wide and two empty lines."""
    return (f"{description}\n" if description is not None else "") + pprint.pformat(value, width=200) + "\n\n\n"


# -- a recording fake of `requests` ------------------------------------------------


class BrokenConsole(io.StringIO):
    """Standard output that fails every write, as a console gone away does."""

    def write(self, text):
        raise OSError("console gone")


class FakeResponse:
    def __init__(self, reply):
        self._reply = reply

    def json(self):
        if isinstance(self._reply, BaseException):
            raise self._reply
        return self._reply


class FakeRequests:
    """Stands in for the `requests` module: records every post exactly (the data
    copied at call time) and answers from `replies`, keyed by the form field
    "action". A reply may be a value, an exception to raise from json(), or a
    callable taking the posted data. Logins answer a fresh CID by default.

    For the thread tests, `yielding` lets other threads run before and after
    every post, as they do while a real request waits for the controller, and
    a post whose action `hold` names waits at that barrier before it is
    recorded."""

    class exceptions:  # noqa: N801 (mirrors the module's namespace)
        ConnectionError = ConnectionError

    def __init__(self):
        self.posts: list[dict] = []
        self.replies: dict = {}
        self.post_error: BaseException | None = None
        self.logins = 0
        self.yielding = False
        self.hold: dict = {}

    def post(self, *args, **kwargs):
        data = kwargs.get("data")
        action = data.get("action") if isinstance(data, dict) else None
        if self.yielding:
            time.sleep(0)
        if action in self.hold:
            self.hold[action].wait()
        self.posts.append(
            {
                "args": args,
                "keywords": list(kwargs),
                "data": list(data.items()) if isinstance(data, dict) else copy.copy(data),
                "verify": kwargs.get("verify", "<missing>"),
            }
        )
        if self.post_error is not None:
            raise self.post_error
        response = FakeResponse(self.reply(action, data))
        if self.yielding:
            time.sleep(0)
        return response

    def reply(self, action, data):
        if action == "login" and "login" not in self.replies:
            self.logins += 1
            return {"CID": f"cid-{self.logins}"}
        reply = self.replies.get(action, {"echo": dict(data) if isinstance(data, dict) else data})
        if callable(reply) and not isinstance(reply, BaseException):
            reply = reply(dict(data))
        return reply

    def action_posts(self) -> list[dict]:
        return [post for post in self.posts if dict(post["data"]).get("action") != "login"]


# -- comparing the module with the model -------------------------------------------


def outcome(function, *args):
    """("value", what the call returned) or ("error", the exception it raised)."""
    try:
        return "value", function(*args)
    except (Exception, SystemExit) as error:  # compared by the caller
        return "error", error


def containers(value, found=None):
    """The lists and dicts within `value`, itself included, by id."""
    found = {} if found is None else found
    if isinstance(value, (list, dict)) and id(value) not in found:
        found[id(value)] = value
        for item in value.values() if isinstance(value, dict) else value:
            containers(item, found)
    return found


def assert_same(got, want, inputs):
    """Input containers (`inputs`, from containers()) must come back as the very
    objects; new ones must match in type, order and content."""
    if id(want) in inputs:
        assert got is want
        return
    assert id(got) not in inputs
    if isinstance(want, dict):
        # tracked where Python's is: a cycle through an untracked one would never be freed
        assert type(got) is dict and list(got) == list(want) and gc.is_tracked(got) >= gc.is_tracked(want)
        for key in want:
            assert_same(got[key], want[key], inputs)
    elif isinstance(want, list):
        # tracked by the collector, as every list is, or a cycle through it would never be freed
        assert type(got) is list and len(got) == len(want) and gc.is_tracked(got)
        for got_item, want_item in zip(got, want):
            assert_same(got_item, want_item, inputs)
    else:
        assert type(got) is type(want) and got == want


def canon(value):
    """Comparable form that also sees dict key order and exact container types."""
    if isinstance(value, dict):
        return (type(value).__name__, [(key, canon(item)) for key, item in value.items()])
    if isinstance(value, list):
        return (type(value).__name__, [canon(item) for item in value])
    return (type(value).__name__, value)


# -- lookups that run code of their own --------------------------------------------


class DefaultingDict(dict):
    """A dict whose missing keys answer "default <key>" through __missing__."""

    def __missing__(self, key):
        return f"default {key}"


class MissRaisingDict(dict):
    """A dict whose __missing__ raises the KeyError itself, from Python code."""

    def __missing__(self, key):
        raise KeyError(key)


class Lookup(dict):
    """A dict whose every lookup raises a new `error(key)` from Python code,
    whatever members it holds."""

    def __init__(self, error, **members):
        super().__init__(**members)
        self.error = error

    def __getitem__(self, key):
        raise self.error(key)


class MissingKey(KeyError):
    """A KeyError subclass: a miss all the same where a KeyError is one."""


class Colliding:
    """A dict key that hashes like `text`; it keeps what it is compared with in
    `compared`, and each comparison raises `error`, or answers "unequal" while
    `error` is None."""

    def __init__(self, text, error=None):
        self.text, self.error, self.compared = text, error, []

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        self.compared.append(other)
        if self.error is None:
            return False
        raise self.error("compared")


class Rekeying(dict):
    """A dict whose every lookup first runs `change(keys, key)` on each list that
    holds the very key object, found as any code can find it, among the key's
    referrers: for a filter step, its key list."""

    def __init__(self, change, **members):
        super().__init__(**members)
        self.change = change

    def __getitem__(self, key):
        for referrer in gc.get_referrers(key):
            if type(referrer) is list and any(item is key for item in referrer):
                self.change(referrer, key)
        return super().__getitem__(key)


class Text(str):
    """A step of a str subclass whose splitting and stripping keep the subclass,
    so that its keys are no exact str."""

    def split(self, separator):
        return [type(self)(piece) for piece in str.split(self, separator)]

    def strip(self):
        return self


class Unhashable(Text):
    """A step or key whose hash raises KeyError; splitting and stripping keep it."""

    def __hash__(self):
        raise KeyError("hashed")


# -- recursion -----------------------------------------------------------------------


class Repeated:
    """A filter path of one step `count` times over, whose slice from index 1 is
    made at once, where slicing a list takes time in its length."""

    def __init__(self, step, count):
        self.step, self.count = step, count

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        return self.step if index == 0 else Repeated(self.step, self.count - 1)


def deepest(filter_results):
    """The longest filter path that `filter_results` follows, through a dict that
    holds itself, before the recursion limit or the C stack stops it."""
    loop = {}
    loop["a"] = loop
    low, high = 0, 2 * sys.getrecursionlimit()
    while low < high:
        middle = (low + high + 1) // 2
        try:
            filter_results(loop, Repeated("a", middle))
            low = middle
        except RecursionError:
            high = middle - 1
    return low


# -- files ----------------------------------------------------------------------------


def write_files(directory, files):
    """Writes {name: content} into `directory`, made if need be: a text, bytes,
    None for a subdirectory, or a Path for a symbolic link to it."""
    Path(directory).mkdir(parents=True, exist_ok=True)
    for name, content in files.items():
        path = Path(directory) / name
        if content is None:
            path.mkdir()
        elif isinstance(content, Path):
            path.symlink_to(content)
        elif isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content)


# -- running out of memory ------------------------------------------------------


OUT_OF_MEMORY = """
import sys
sys.path.insert(0, {tests!r})
import korvalinden.korvalinden as kv
from helpers import memory_failure_lines
{setup}
print(*memory_failure_lines(lambda: {call}, {runs_alike}))
"""


def lines_out_of_memory(call: str, setup: str = "", runs_alike: int = 5) -> list[int]:
    """memory_failure_lines of the call `call` (Python source, `kv` the module)
    after `setup`, in a fresh interpreter: no other thread takes the failures."""
    code = OUT_OF_MEMORY.format(tests=str(Path(__file__).parent), setup=textwrap.dedent(setup), call=call,
                                runs_alike=runs_alike)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return [int(line) for line in result.stdout.splitlines()[-1].split()]


def memory_failure_lines(call, runs_alike=5):
    """Runs `call` again and again, each time with one more of its allocations
    let through before the next one fails (_testcapi.set_nomemory), until
    `runs_alike` runs in a row end as a run without failures does (more for a
    call that absorbs some failures, as opening a file does). Returns the
    lines that the out-of-memory errors name (the innermost entry of the
    module's, of an error raised or of the context of one), each once, in the
    order met."""
    import _testcapi

    def run(failing=None):
        gc.collect()  # empties the free lists, so that what the call makes is allocated
        if failing is not None:
            _testcapi.set_nomemory(failing, failing + 1)
        try:
            call()
        except BaseException as caught:
            return caught
        finally:
            _testcapi.remove_mem_hooks()
        return None

    def ending(outcome):
        return None if outcome is None else (type(outcome), module_entries(outcome))

    unhindered, lines, alike, failing = ending(run()), [], 0, 0
    while alike < runs_alike:
        outcome = run(failing)
        alike = alike + 1 if ending(outcome) == unhindered else 0
        for error in (outcome, outcome and outcome.__context__):
            entries = module_entries(error) if isinstance(error, MemoryError) else []
            if entries and entries[-1][1] not in lines:
                lines.append(entries[-1][1])
        failing += 1
    return lines


# -- raw HTTPS -------------------------------------------------------------------------


def tls_connection(controller):
    """A TLS connection to the controller, its handshake done, the certificate not verified."""
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    return context.wrap_socket(socket.create_connection(("127.0.0.1", controller.port), timeout=30))


def answer_to(controller, head, body=b"action=login&username=admin"):
    """The controller's whole answer to a request head and a body, read until it closes the connection."""
    with tls_connection(controller) as connection:
        connection.sendall(head.encode() + b"\r\n" + body)
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    return answer.decode()


# -- controllers that answer wrongly ------------------------------------------------


class PagesController(SimulatedController):
    """The simulated controller, with the actions of `pages` answered by a
    page of their own, (status, content type, body), as a broken controller
    or a web server in front of one answers."""

    def __init__(self, pages: dict[str, tuple[int, str, str]], **options):
        super().__init__(**options)
        self.pages = pages

    def answer(self, fields, file=None):
        page = self.pages.get(dict(fields).get("action"))
        if page is None:
            return super().answer(fields, file)
        status, content_type, body = page
        return RawReply.of(body.encode(), status, (("Content-Type", content_type),))


@contextlib.contextmanager
def ending_connections(reset: bool):
    """The address of a listener on 127.0.0.1 that ends every connection as
    soon as it comes, before any TLS: with a reset, or closed."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()

        def end_each():
            with contextlib.suppress(OSError):  # the listener closed: the test is over
                while True:
                    connection = listener.accept()[0]
                    if reset:  # a zero linger time makes the close a reset
                        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    else:
                        # Closed for writing, and what the client still sends read to its end: a close of
                        # the whole socket would answer that with a reset.
                        connection.shutdown(socket.SHUT_WR)
                        while connection.recv(65536):
                            pass
                    connection.close()

        ending = threading.Thread(target=end_each, daemon=True)
        ending.start()
        yield "127.0.0.1:%d" % listener.getsockname()[1]
        listener.shutdown(socket.SHUT_RDWR)
    ending.join(30)


# -- subprocesses ------------------------------------------------------------------


# A free-threaded build (3.13t): without the GIL unless a module asks for it.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Why the tests that fail allocations on purpose skip on a free-threaded build:
# there even pure Python code crashes once an allocation fails.
FAILED_ALLOCATIONS_CRASH = "_testcapi.set_nomemory crashes a free-threaded build's own allocator (mimalloc)"

# Why the tests that serve HTTPS skip where trustme, which makes the simulated
# controller's certificate, is missing: a free-threaded build's environment
# (see the Makefile). "" where it is there.
NO_CERTIFICATES = "" if importlib.util.find_spec("trustme") else (
    "trustme makes the simulated controller's certificate, and its cryptography has no free-threaded wheel")

# The sanitizer runtimes are loaded (tools/run-sanitized).
UNDER_SANITIZERS = "libasan" in os.environ.get("LD_PRELOAD", "")
# Why a test of greenlets does not run under them.
GREENLETS_UNDER_SANITIZERS = ("greenlet copies the C stack to the heap and back, the sanitizer's poisoned bytes "
                              "of the module's frames included, which AddressSanitizer reports in that copy")

# A mount namespace of its own where a tmpfs hides /proc. Inside the root of
# tools/in-root mounts are private already, and its / is no mount point whose
# propagation could be changed.
HIDE_PROC = ["unshare", "--mount", *(["--propagation", "unchanged"] if os.environ.get("KORVALINDEN_IN_ROOT") else []),
             "sh", "-c", 'mount -t tmpfs none /proc && exec "$0" "$@"']


def proc_can_be_hidden() -> str:
    """Why /proc cannot be hidden from a child here, or "" when it can."""
    if os.geteuid() != 0:
        return "hiding /proc takes root (a mount namespace of its own)"
    if UNDER_SANITIZERS:
        return "the sanitizer runtimes read their options and the process's threads from /proc"
    done = subprocess.run([*HIDE_PROC, "test", "!", "-e", "/proc/self/maps"], capture_output=True, text=True)
    return "" if done.returncode == 0 else f"no mount namespace with /proc hidden: {done.stderr.strip()}"


def main_stack(size):
    """A preexec_fn that sets the main thread's stack before the interpreter
    starts, as a shell's `ulimit -s` does: from 3.14 the interpreter learns its
    stack's bounds then. Never above the hard limit."""

    def set_limit():
        _, hard = resource.getrlimit(resource.RLIMIT_STACK)
        resource.setrlimit(resource.RLIMIT_STACK, (size if hard == resource.RLIM_INFINITY else min(size, hard), hard))

    return set_limit


def run_python(code: str, *args: str, cwd=None, input: str | None = None, env=None, timeout=60, preexec_fn=None,
               hide_proc=False, options=()):
    """Runs `code` in a fresh interpreter of this venv, started with the
    interpreter's `options`; returns the CompletedProcess. `preexec_fn` runs in
    the child before the interpreter starts; with `hide_proc` the interpreter
    finds no /proc."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [*(HIDE_PROC if hide_proc else []), sys.executable, *options, "-c", textwrap.dedent(code), *args],
        cwd=cwd,
        input=input,
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
        preexec_fn=preexec_fn,
    )
