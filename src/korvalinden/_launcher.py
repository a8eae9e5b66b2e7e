"""Starts the command-line tool: the console command `korvalinden` and
`python -m korvalinden` both come here.

`main` does the work and is called as it is, inside `kept_alive`: the run's
posts share one keep-alive connection (see korvalinden.connections). Around
it the launcher settles the two ways a run ends that are the operator's doing
rather than a failure:

- Ctrl-C (SIGINT): one line on standard error instead of a traceback, and
  the shell's usual status for an interrupted command, 128 + SIGINT.
- A reader that stops reading (`korvalinden ... | head -1`): nothing more is
  written and nothing is said, and the status is the one a command killed by
  SIGPIPE has, 128 + SIGPIPE. Python ignores SIGPIPE, so the closed pipe
  arrives as BrokenPipeError; after it, standard output is pointed at
  /dev/null so that the interpreter's own flush at exit cannot fail again.

Everything else leaves as `main` raised it: argparse's help and its usage
errors, a failed login, and every other failure with its traceback.
"""

from __future__ import annotations

import os
import signal
import sys

INTERRUPTED_MESSAGE = "korvalinden: interrupted"
INTERRUPTED_STATUS = 128 + signal.SIGINT
CLOSED_OUTPUT_STATUS = 128 + signal.SIGPIPE


def run() -> None:
    try:
        from korvalinden.connections import kept_alive
        from korvalinden.korvalinden import main

        try:
            with kept_alive():
                main()
        except Exception:
            # A failure: what was printed before it goes out ahead of its
            # traceback, and a reader that has gone does not hide it.
            _flush_output()
            raise
        except SystemExit:
            # Help, usage errors and "Login failed": their output counts as
            # the run's output.
            sys.stdout.flush()
            raise
        # Output still in the buffer goes out here, where a closed pipe is
        # caught, and not during the interpreter's shutdown, where it is not.
        sys.stdout.flush()
    except BrokenPipeError:
        _discard_output()
        sys.exit(CLOSED_OUTPUT_STATUS)
    except KeyboardInterrupt:
        _flush_output()
        print(INTERRUPTED_MESSAGE, file=sys.stderr, flush=True)
        sys.exit(INTERRUPTED_STATUS)


def _flush_output() -> None:
    """Flushes standard output, unless its reader has gone; then what is left
    is dropped."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _discard_output()


def _discard_output() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
