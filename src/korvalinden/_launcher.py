"""Starts the command-line tool: the console command `korvalinden` and
`python -m korvalinden` both come here.

`main` does the work and is called as it is, inside `kept_alive`: the run's
posts share one keep-alive connection (see korvalinden.connections). Around
it the launcher settles how a run ends:

- A failure: a few lines on standard error in place of the traceback: what
  failed, where in the module, and which configuration file was running
  (with the files that referenced it); status 1. The module says nothing of
  the file, so the launcher learns it by standing in for the module
  attribute `tarvenox_api`, which the module looks up at every call, main's
  and a referring file's own, for the length of the run. With
  KORVALINDEN_TRACEBACK set (to anything but 0) the module is left as it is
  and a failure ends with Python's full traceback.
- End of input at a prompt (Ctrl-D): one line, status 1.
- Ctrl-C (SIGINT): one line on standard error instead of a traceback, and
  the shell's usual status for an interrupted command, 128 + SIGINT.
- A reader that stops reading (`korvalinden ... | head -1`): nothing more is
  written and nothing is said, and the status is the one a command killed by
  SIGPIPE has, 128 + SIGPIPE. Python ignores SIGPIPE, so the closed pipe
  arrives as BrokenPipeError; after it, standard output is pointed at
  /dev/null so that the interpreter's own flush at exit cannot fail again.

argparse's help and its usage errors and a failed login leave as `main`
raised them.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import traceback

PROGRAM = "korvalinden"
INTERRUPTED_MESSAGE = f"{PROGRAM}: interrupted"
INTERRUPTED_STATUS = 128 + signal.SIGINT
CLOSED_OUTPUT_STATUS = 128 + signal.SIGPIPE
END_OF_INPUT_MESSAGE = f"{PROGRAM}: end of input"
FAILED_STATUS = 1
FULL_TRACEBACK_VARIABLE = "KORVALINDEN_TRACEBACK"
FULL_TRACEBACK_HINT = f"  ({FULL_TRACEBACK_VARIABLE}=1 shows the full traceback)"
# The file name that the module's traceback entries carry.
MODULE_SOURCE = "src\\korvalinden\\korvalinden.py"


def run() -> None:
    try:
        import korvalinden.korvalinden as module
        from korvalinden.connections import kept_alive

        full_traceback = os.environ.get(FULL_TRACEBACK_VARIABLE, "") not in ("", "0")
        running = RunningFiles(module, observe=not full_traceback)
        try:
            # The run itself.
            with running.observed(), kept_alive(module):
                module.main()
        except BrokenPipeError:
            raise  # standard output closed by its reader: below
        except EOFError:
            _flush_output()
            print(END_OF_INPUT_MESSAGE, file=sys.stderr, flush=True)
            sys.exit(FAILED_STATUS)
        except Exception as failure:
            # A failure: what was printed before it goes out ahead of the
            # report, and a reader that has gone does not hide it.
            _flush_output()
            if full_traceback:
                raise
            print(failure_summary(failure, running.files_at(failure)), file=sys.stderr, flush=True)
            sys.exit(FAILED_STATUS)
        except SystemExit:
            # Help, usage errors and "Login failed": their output counts as
            # the run's output.
            sys.stdout.flush()
            raise
        # Output still in the buffer goes out here, where a closed pipe is
        # caught, and not during the interpreter's shutdown, where it is not.
        sys.stdout.flush()
    except BrokenPipeError:
        discard_output()
        sys.exit(CLOSED_OUTPUT_STATUS)
    except KeyboardInterrupt:
        _flush_output()
        print(INTERRUPTED_MESSAGE, file=sys.stderr, flush=True)
        sys.exit(INTERRUPTED_STATUS)


class RunningFiles:
    """The configuration files whose `tarvenox_api` calls are under way,
    outermost first, and those that were when a failure left a call."""

    def __init__(self, module, observe: bool = True):
        self._module = module
        self._observe = observe
        self._stack: list[object] = []
        self._at_failure: tuple[BaseException, tuple[object, ...]] | None = None

    @contextlib.contextmanager
    def observed(self):
        if not self._observe:
            yield
            return
        original = self._module.tarvenox_api

        def tarvenox_api(*args, **kwargs):
            self._stack.append(args[4] if len(args) > 4 else kwargs.get("config_file"))
            try:
                return original(*args, **kwargs)
            except BaseException as failure:
                # The innermost call sees it first; the calls around it pass it on.
                if self._at_failure is None or self._at_failure[0] is not failure:
                    self._at_failure = (failure, tuple(self._stack))
                raise
            finally:
                self._stack.pop()

        self._module.tarvenox_api = tarvenox_api
        try:
            yield
        finally:
            self._module.tarvenox_api = original

    def files_at(self, failure: BaseException) -> tuple[object, ...]:
        if self._at_failure is None or self._at_failure[0] is not failure:
            return ()
        return self._at_failure[1]


def failure_summary(failure: BaseException, files: tuple[object, ...] = ()) -> str:
    """What failed, the address of the request when one was being made, where
    in the module, and the configuration file that was running with those
    that referenced it, innermost first."""
    shown = telling_exception(failure)
    lines = [f"{PROGRAM}: {exception_text(shown)}"]
    url = request_url(failure)
    if url is not None:
        lines.append(f"  url:   {url}")
    where = innermost_module_entry(failure)
    if where is not None:
        lines.append(f"  where: {where[0]}, line {where[1]}")
    shown_files = [str(file) for file in reversed(files) if file is not None]
    if shown_files:
        lines.append("  file:  " + ", referenced by ".join(shown_files))
    lines.append(FULL_TRACEBACK_HINT)
    return "\n".join(lines)


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
    refused connection; the innermost OSError of the chain is the operating
    system's or TLS's own report. Any other failure is told by itself."""
    if not isinstance(failure, OSError):
        return failure
    return [error for error in exception_chain(failure) if isinstance(error, OSError)][-1]


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
