"""Starts the command-line tool: the console command `korvalinden` and
`python -m korvalinden` both come here.

`main` does the work and is called as it is, inside `kept_alive`: the run's
posts share one keep-alive connection (see korvalinden.connections). Around
it the launcher says what the run does and settles how it ends:

- Without --config_dir, one line on standard error names the directory that
  runs, the examples beside the module, and says when a ./config that is not
  read lies in the current directory. A run in which no file matched says so
  in one line. Standard output and the exit status stay as `main` left them.
- Before the run's first post, a line on standard error for each entry of
  the directory that will run but fail or surprise, for the entries skipped
  only for their letter case, and for an address typed as a URL
  (korvalinden._notices); the run goes on as it would without them.
- A failed login: "Login failed" and the status stay as `main` left them;
  standard error adds the reply's HTTP status and why the tool could not
  take a session from it.
- A failure: a few lines on standard error in place of the traceback: what
  failed (the proxy, when it was the proxy's), where in the module, which
  configuration file was running, with the files that referenced it, and for
  a file that posts once per element of another's result how many of its
  posts were answered and what the last one sent; a reply that is not JSON
  with its status, content type and first characters; status 1. The module says
  nothing of files, so the launcher learns them through stand-ins for the
  module attributes that the module looks up at every use
  (korvalinden._run_observer). With KORVALINDEN_TRACEBACK set (to anything
  but 0) the module is left as it is and a failure ends with Python's full
  traceback.
- End of input at a prompt (Ctrl-D): one line, on a line of its own, status 1.
- Ctrl-C (SIGINT): a line on standard error instead of a traceback (and the
  file, and the posts done, as for a failure), and the shell's usual status
  for an interrupted command, 128 + SIGINT.
- A reader that stops reading (`korvalinden ... | head -1`): nothing more is
  written and nothing is said, and the status is the one a command killed by
  SIGPIPE has, 128 + SIGPIPE. Python ignores SIGPIPE, so the closed pipe
  arrives as BrokenPipeError; after it, standard output is pointed at
  /dev/null so that the interpreter's own flush at exit cannot fail again.

argparse's help and its usage errors and a failed login leave as `main`
raised them.

Two switches serve the rehearsal (korvalinden-rehearse --run), which sets
them for the tool it starts: NAME_FILES_VARIABLE makes each post name its
configuration file to the rehearsal's controller, and
PASSWORD_FROM_STDIN_VARIABLE makes the hidden prompt take its answer from
standard input, so that the password is on no command line.
"""

from __future__ import annotations

import configparser
import contextlib
import os
import signal
import ssl
import sys
import traceback
from types import ModuleType
from urllib.parse import urlsplit

from korvalinden import _notices
from korvalinden._fields import HIDDEN
from korvalinden._run_observer import RunningCall, RunObserver, StandIn, standing_in

PROGRAM = "korvalinden"
INTERRUPTED_MESSAGE = f"{PROGRAM}: interrupted"
INTERRUPTED_STATUS = 128 + signal.SIGINT
CLOSED_OUTPUT_STATUS = 128 + signal.SIGPIPE
END_OF_INPUT_MESSAGE = f"{PROGRAM}: end of input"
FAILED_STATUS = 1
FULL_TRACEBACK_VARIABLE = "KORVALINDEN_TRACEBACK"
FULL_TRACEBACK_HINT = f"  ({FULL_TRACEBACK_VARIABLE}=1 shows the full traceback)"
NAME_FILES_VARIABLE = "KORVALINDEN_NAME_FILES"
PASSWORD_FROM_STDIN_VARIABLE = "KORVALINDEN_PASSWORD_FROM_STDIN"
# The file name that the module's traceback entries carry.
MODULE_SOURCE = "src\\korvalinden\\korvalinden.py"
# What runs: main's test of a directory entry, and the directory that --help calls "config".
EXAMPLES_MESSAGE = PROGRAM + ": running the examples in {directory} (no --config_dir given)"
LOCAL_CONFIG_NOT_READ = "; ./config is not read: run it with --config_dir config"
NOTHING_RAN_MESSAGE = PROGRAM + ": no configuration file ran: no name in {directory} matches *.cfg (lower case only)"
# The line of main's statement that asks for the password.
PASSWORD_PROMPT_LINE = 157
# Where a failed login leaves the module, and where a reply is decoded.
LOGIN_FAILED_EXIT = ("get_tarvenox_cid", 27)
REPLY_DECODED = {("tarvenox_api", 104), ("tarvenox_api", 114)}
LOGIN_ANSWERED = PROGRAM + ": the login was answered {status} by {url}"
LOGIN_NOT_JSON = "  reply: {content_type}, not JSON: {body}"
LOGIN_WITHOUT_SESSION = '  reply: JSON without the session member "CID": {body}'
REPLY_NOT_JSON = "  reply: {status}, {content_type}, not JSON: {body}"
SECTION_NOTE = "  note:  {note}"
# How a connection's end reads where the library's words for it do not say so.
CLOSED_CONNECTION = "the connection was closed"


def run() -> None:
    observer = None
    try:
        import korvalinden.korvalinden as module
        from korvalinden.connections import kept_alive

        full_traceback = _switched_on(FULL_TRACEBACK_VARIABLE)
        observer = RunObserver(module, name_files=_switched_on(NAME_FILES_VARIABLE),
                               on_default_directory=say_default_directory, before_first_post=say_before_the_run)
        try:
            # The run itself.
            with kept_alive(module), _password_prompt(module), \
                    (contextlib.nullcontext() if full_traceback else observer.observed()):
                module.main()
        except BrokenPipeError:
            raise  # standard output closed by its reader: below
        except EOFError as end:
            _flush_output()
            print(_on_a_line_of_its_own(end) + END_OF_INPUT_MESSAGE, file=sys.stderr, flush=True)
            sys.exit(FAILED_STATUS)
        except Exception as failure:
            # A failure: what was printed before it goes out ahead of the
            # report, and a reader that has gone does not hide it.
            _flush_output()
            if full_traceback:
                raise
            print(failure_summary(failure, observer.calls_at(failure), observer), file=sys.stderr, flush=True)
            sys.exit(FAILED_STATUS)
        except SystemExit as end:
            # Help, usage errors and "Login failed": their output counts as
            # the run's output.
            sys.stdout.flush()
            if not full_traceback and innermost_module_entry(end) == LOGIN_FAILED_EXIT:
                say_why_the_login_failed(observer)
            raise
        # Output still in the buffer goes out here, where a closed pipe is
        # caught, and not during the interpreter's shutdown, where it is not.
        sys.stdout.flush()
        if observer.listed is not None and observer.files_run == 0:
            print(NOTHING_RAN_MESSAGE.format(directory=observer.listed), file=sys.stderr, flush=True)
    except BrokenPipeError:
        discard_output()
        sys.exit(CLOSED_OUTPUT_STATUS)
    except KeyboardInterrupt as interrupt:
        # An interrupt that lands inside the making of an object (a reply
        # being read, its socket's file) leaves it half made, and its
        # finalizer then fails when the object goes, at the latest during
        # the interpreter's shutdown. That says nothing to the operator.
        sys.unraisablehook = _ignore_unraisable
        _flush_output()
        calls = observer.calls_at(interrupt) if observer is not None else ()
        lines = [INTERRUPTED_MESSAGE, *progress_lines(calls, observer)]
        print("\n".join(lines), file=sys.stderr, flush=True)
        sys.exit(INTERRUPTED_STATUS)


def _ignore_unraisable(unraisable) -> None:
    pass


def say_default_directory(directory: str) -> None:
    """One line on standard error: the directory that runs when none was
    named, and a ./config that the operator may have meant."""
    line = EXAMPLES_MESSAGE.format(directory=directory)
    if os.path.isdir("config") and not _same_directory("config", directory):
        line += LOCAL_CONFIG_NOT_READ
    print(line, file=sys.stderr, flush=True)


def say_before_the_run(url: object, config_dir: object) -> None:
    """The notices that the run's first post waits for: the directory's
    entries that will fail or surprise, and an address typed as a URL."""
    notices = _notices.entry_notices(config_dir) if config_dir is not None else []
    address = _notices.address_notice(url)
    for notice in notices + ([address] if address else []):
        print(f"{PROGRAM}: {notice}", file=sys.stderr, flush=True)


def say_why_the_login_failed(observer: RunObserver) -> None:
    """The failed login's reply: its status, and its start when it is not
    JSON or holds no session."""
    reply = observer.last_login_reply
    if not _is_a_reply(reply):
        return
    lines = [LOGIN_ANSWERED.format(status=_notices.status_text(reply), url=reply.url)]
    body = _notices.body_text(reply, observer.masked_text)
    try:
        reply.json()
    except ValueError:
        lines.append(LOGIN_NOT_JSON.format(content_type=_notices.content_type(reply), body=body))
    else:
        lines.append(LOGIN_WITHOUT_SESSION.format(body=body))
    print("\n".join(lines), file=sys.stderr, flush=True)


def _is_a_reply(reply: object) -> bool:
    """Whether a post's answer is a response that can tell its status."""
    return isinstance(getattr(reply, "status_code", None), int)


def _same_directory(one: str, other: str) -> bool:
    try:
        return os.path.samefile(one, other)
    except OSError:
        return False


def _switched_on(variable: str) -> bool:
    return os.environ.get(variable, "") not in ("", "0")


def _password_prompt(module: ModuleType):
    """With PASSWORD_FROM_STDIN_VARIABLE set, the hidden prompt takes the
    first line of standard input as its answer, terminal or not, and shows
    no prompt; main looks up `getpass` at each use."""
    if not _switched_on(PASSWORD_FROM_STDIN_VARIABLE):
        return contextlib.nullcontext()
    return standing_in(module, {"getpass": StandIn(module.getpass, getpass=_password_from_stdin)})


def _password_from_stdin(prompt: str = "", stream=None) -> str:
    line = sys.stdin.readline()
    if not line:
        raise EOFError
    return line[:-1] if line.endswith("\n") else line


def _on_a_line_of_its_own(end: EOFError) -> str:
    """A line break when the prompt that input ended at left its line open
    where the message goes: on a terminal; on standard output when it is
    standard error's file too (2>&1); and on standard error itself for the
    password prompt when there is no terminal to prompt on."""
    if sys.stderr.isatty():
        return "\n"
    if innermost_module_entry(end) == ("main", PASSWORD_PROMPT_LINE):
        return "" if _has_terminal() else "\n"
    try:
        return "\n" if os.path.sameopenfile(sys.stdout.fileno(), sys.stderr.fileno()) else ""
    except (OSError, ValueError):
        return ""


def _has_terminal() -> bool:
    """Whether the process has a terminal to prompt on, as getpass looks for one."""
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        return False
    return True


def failure_summary(failure: BaseException, calls: tuple[RunningCall, ...] = (),
                    observer: RunObserver | None = None) -> str:
    """What failed (the proxy, when it was the proxy's), the address of the
    request when one was being made, where in the module, the configuration
    file that was running with those that referenced it, innermost first, and
    what a file that repeats its post had done."""
    proxy = proxy_error(failure)
    telling = telling_exception(failure)
    shown = exception_text(telling)
    if isinstance(telling, ssl.SSLEOFError):
        shown = f"{CLOSED_CONNECTION}: {shown}"
    lines = [f"{PROGRAM}: ProxyError: {proxy.args[0] if proxy.args else proxy}: {shown}" if proxy else
             f"{PROGRAM}: {shown}"]
    if observer is not None:
        lines.extend(reply_lines(failure, observer))
    url = request_url(failure)
    named = proxy_named(url) if proxy is not None and url is not None else None
    if named is not None:
        lines.append(f"  proxy: {named}")
    if url is not None:
        lines.append(f"  url:   {url}")
    where = innermost_module_entry(failure)
    if where is not None:
        lines.append(f"  where: {where[0]}, line {where[1]}")
    lines.extend(progress_lines(calls, observer))
    lines.extend(section_note(failure, calls))
    lines.append(FULL_TRACEBACK_HINT)
    return "\n".join(lines)


def reply_lines(failure: BaseException, observer: RunObserver) -> list[str]:
    """For a reply that the module could not decode as JSON: its status,
    content type and first characters."""
    reply = observer.last_reply
    if not (isinstance(failure, ValueError) and innermost_module_entry(failure) in REPLY_DECODED
            and _is_a_reply(reply)):
        return []
    return [REPLY_NOT_JSON.format(status=_notices.status_text(reply), content_type=_notices.content_type(reply),
                                  body=_notices.body_text(reply, observer.masked_text))]


def section_note(failure: BaseException, calls: tuple[RunningCall, ...]) -> list[str]:
    """For a section missing from the running file that it holds in another letter case: says so."""
    if not isinstance(failure, configparser.NoSectionError) or not calls:
        return []
    note = _notices.section_letter_case(calls[-1].file, failure.section)
    return [SECTION_NOTE.format(note=note)] if note else []


def progress_lines(calls: tuple[RunningCall, ...], observer: RunObserver | None) -> list[str]:
    """`file:`, the running file and those that referenced it, innermost
    first; for a file that stopped part-way through its posts, one per
    element, how many were answered (`done:`) and what the last one sent
    (`last:`)."""
    shown_files = [str(call.file) for call in reversed(calls) if call.file is not None]
    lines = ["  file:  " + ", referenced by ".join(shown_files)] if shown_files else []
    innermost = calls[-1] if calls else None
    if innermost is None or not innermost.repeating or innermost.posted == 0:
        return lines
    out_of = f" of {innermost.elements}" if innermost.elements is not None else ""
    lines.append(f"  done:  {innermost.answered}{out_of} posts answered")
    if innermost.last_answered is not None and observer is not None:
        lines.append(f"  last:  {observer.fields_text(innermost.last_answered)}")
    return lines


def exception_chain(failure: BaseException) -> list[BaseException]:
    """The exception and those behind it, outermost first, as Python's
    traceback shows them."""
    chain: list[BaseException] = []
    current: BaseException | None = failure
    while current is not None and all(current is not seen for seen in chain):
        chain.append(current)
        current = current.__cause__ or (None if current.__suppress_context__ else current.__context__)
    return chain


def telling_exception(failure: BaseException) -> BaseException:
    """The exception whose own message says most. A failed request arrives as
    an OSError of requests wrapping the library's own errors, three deep for a
    refused connection; the first OSError behind requests' own is the
    operating system's or TLS's report. What lies behind that one the socket
    layer met and handled on the way: ssl's probe of a connection that the
    controller has already reset fails ENOTCONN. Any other failure is told by
    itself."""
    if not isinstance(failure, OSError):
        return failure
    from requests import RequestException

    return next((error for error in exception_chain(failure)
                 if isinstance(error, OSError) and not isinstance(error, RequestException)), failure)


def exception_text(error: BaseException) -> str:
    kind = type(error)
    name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    try:
        message = str(error)
    except Exception:  # noqa: BLE001 (a message that cannot be shown is no reason to fail here)
        message = "<the message cannot be shown>"
    # Continuation lines (a parser's file and line) stay under the first.
    message = message.replace("\n", "\n    ")
    return f"{name}: {message}" if message else name


def request_url(failure: BaseException) -> str | None:
    """The address that a request of requests was made to, when one failed."""
    for error in exception_chain(failure):
        url = getattr(getattr(error, "request", None), "url", None)
        if isinstance(url, str):
            return url
    return None


def proxy_error(failure: BaseException) -> BaseException | None:
    """urllib3's report of a request that failed at the proxy, when one did."""
    from urllib3.exceptions import ProxyError

    return next((error for error in exception_chain(failure) if isinstance(error, ProxyError)), None)


def proxy_named(url: str) -> str | None:
    """The proxy that requests takes from the environment for the url, its
    password hidden, with the variables that name it."""
    import requests.utils

    proxy = requests.utils.select_proxy(url, requests.utils.get_environ_proxies(url))
    if not proxy:
        return None
    variables = sorted(name for name, value in os.environ.items()
                       if name.lower().endswith("_proxy") and name.lower() != "no_proxy" and value == proxy)
    password = urlsplit(proxy if "://" in proxy else f"http://{proxy}").password
    shown = proxy.replace(f":{password}@", f":{HIDDEN}@", 1) if password else proxy
    return f"{shown} ({', '.join(variables)})" if variables else shown


def innermost_module_entry(failure: BaseException) -> tuple[str, int] | None:
    """(function, line) of the innermost traceback entry of the module."""
    entries = [entry for entry in traceback.extract_tb(failure.__traceback__) if entry.filename == MODULE_SOURCE]
    if not entries:
        return None
    # The entries carry the qualified name, korvalinden.korvalinden.<function>.
    return entries[-1].name.rpartition(".")[2], entries[-1].lineno


def _flush_output() -> None:
    """Flushes standard output, unless its reader has gone; then what is left
    is dropped."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        discard_output()


def discard_output() -> None:
    """Points standard output at /dev/null, its reader having gone, so that no
    later write or flush (the interpreter's own at exit included) fails again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
