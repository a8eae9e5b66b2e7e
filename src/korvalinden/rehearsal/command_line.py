"""korvalinden-rehearse: the simulated controller as a command. It either
serves until interrupted, printing each request of the plan as it comes, or,
with --run, runs the tool once against itself and prints the tool's output and
then the plan; with --record it forwards to a real controller and keeps its
replies, which --replies then answers from.

    korvalinden-rehearse --help
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import threading

from korvalinden._launcher import NAME_FILES_VARIABLE, PASSWORD_FROM_STDIN_VARIABLE, discard_output
from korvalinden.rehearsal.controller import API_PATH, DEFAULT_PASSWORD, DEFAULT_USERNAME, SimulatedController
from korvalinden.rehearsal.forwarding import Forwarder
from korvalinden.rehearsal.plan import counted, plan_text
from korvalinden.rehearsal.recorder import Recorder
from korvalinden.rehearsal.recording import RecordingDirectory, RecordingError
from korvalinden.rehearsal.redaction import SECRET_NAME_PARTS

ACTIONS_HELP = """\
actions (the form field "action"):
  login        username, password -> {"return": true, "CID": "<new session>"}
  list_sites   -> {"return": true, "results": [<site>, ...]}, three sites
               with name, zone, tier and (two of them) tags
  show_site    site_name -> {"return": true, "results": <details>}, with name,
               state, links, uptime_hours and peers
  X            with --replies DIR: the file DIR/X.json, sent as it is saved,
               whatever the request's other fields; it takes the place of a
               built-in action of the same name (login excepted)

Every action but login needs the field CID from a login of this controller.
Anything else is answered {"return": false, "reason": "..."}, as the
controller reports its errors.

With --replies DIR made by --record, every request is answered with the reply
recorded for the same fields (a login: a new session when the recorded one
succeeded), and the built-in actions are off; a request never recorded is
answered {"return": false, "reason": "Not recorded: X"} and marked so in the
plan.

""" + textwrap.fill(
    "A recording keeps no password, no session id, and no value of a field whose name says secret ("
    + ", ".join(SECRET_NAME_PARTS) + ", or a name that holds one of them) unless --keep-field names it; the tool "
    "sees session stand-ins, which a replay hands out in the same order. A failed reply (a refused login, a status "
    "other than 2xx, a body that is not JSON) never takes the place of a good one recorded before, unless "
    "--record-failures is given.", 78, break_on_hyphens=False) + """

examples:
  korvalinden-rehearse --record rec --controller 10.20.0.5 --config_dir my-calls
  korvalinden-rehearse --replies rec --config_dir my-calls
  korvalinden-rehearse --replies rehearsal/replies --config_dir rehearsal/config
  korvalinden-rehearse --port 8443 --plan plan.jsonl     (and in another terminal:)
  KORVALINDEN_NAME_FILES=1 korvalinden --controller_ip 127.0.0.1:8443
      (the variable makes the tool name each request's configuration file,
      which the plan shows; --run sets it itself)
"""


PROGRAM = "korvalinden-rehearse"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="A simulated Tarvenox Controller over HTTPS on 127.0.0.1 (loopback only), the stage for\n"
                    "rehearsing configuration files. It shows every request it is sent, in order, with its\n"
                    "form fields and what it answered (the password and the session ids masked).\n\n"
                    "Without --run it serves at https://127.0.0.1:PORT/v1/api until interrupted, printing\n"
                    "each request as it comes; the tool takes it as --controller_ip 127.0.0.1:PORT.\n"
                    "With --run it runs the tool once against itself, prints the tool's output and then\n"
                    "the plan of the run's requests, and ends with the tool's exit status.\n\n"
                    "With --record DIR --controller ADDRESS it forwards every request to that controller,\n"
                    "where it acts as in a real run, and keeps the replies in DIR; --replies DIR then\n"
                    "answers the same requests from DIR, offline.",
        epilog=ACTIONS_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="the port to listen on (default: a free one, "
                        "printed at start)")
    parser.add_argument("--address-file", metavar="FILE", help="write the address, 127.0.0.1:PORT, to FILE "
                        "once listening")
    parser.add_argument("--username", default=DEFAULT_USERNAME, help="the user name it accepts, and with "
                        "--run the one the tool logs in with (default: %(default)s)")
    parser.add_argument("--password", help="the password it accepts, and with --run the one the tool logs in "
                        f"with (default: {DEFAULT_PASSWORD}; when recording, the tool asks for it)")
    parser.add_argument("--replies", metavar="DIR", help="also answer any action X with the JSON saved in "
                        "DIR/X.json, every such file JSON at start; or, for a DIR made by --record, answer "
                        "every request with the reply recorded for it")
    parser.add_argument("--plan", metavar="FILE", help="also write every request to FILE as it is answered, "
                        "one JSON object a line")
    once = parser.add_argument_group("one run of the tool")
    once.add_argument("--run", action="store_true", help="run the tool (korvalinden) once against this "
                      "controller, then print the plan")
    once.add_argument("--config_dir", metavar="DIR", help="the tool's configuration directory; implies --run "
                      "(default: the tool's own, beside its module)")
    record = parser.add_argument_group("recording a controller's replies")
    record.add_argument("--record", metavar="DIR", help="forward every request to the controller of "
                        "--controller, where it acts as in a real run, and keep its replies in DIR")
    record.add_argument("--controller", metavar="ADDRESS", help="the controller to record, as the tool takes "
                        "it: a host name or address, optionally with :port")
    record.add_argument("--replace-controller", action="store_true", help="record into a DIR that holds a "
                        "recording of another controller, dropping that recording")
    record.add_argument("--keep-field", metavar="NAME", action="append", default=[], help="keep the values of "
                        "the form field NAME although its name says secret (any letter case; once per field)")
    record.add_argument("--record-failures", action="store_true", help="record a refused login, a status other "
                        "than 2xx or a reply that is not JSON also in place of a good one recorded before")
    return parser


def main(argv: list[str] | None = None) -> None:
    parser = _parser()
    options = parser.parse_args(argv)
    _check_combination(parser, options)
    try:
        controller = _controller_for(options)
    except RecordingError as error:
        sys.exit(f"{PROGRAM}: {error}")
    problems = controller.replies.problems() if controller.replies is not None else []
    if problems:
        sys.exit("\n".join(f"{PROGRAM}: saved reply {problem}" for problem in problems))
    with contextlib.ExitStack() as cleanup:
        if options.plan is not None:
            plan_file = cleanup.enter_context(_opened_or_exit(options.plan))
            controller.listeners.append(lambda planned: print(planned.json_line(), file=plan_file, flush=True))
        try:
            controller.start()
        except OSError as error:
            sys.exit(f"{PROGRAM}: cannot listen on 127.0.0.1:{options.port}: {error.strerror or error}")
        cleanup.callback(controller.stop)
        if options.run or options.config_dir is not None:
            _say_recording(controller)
            sys.exit(_recording_ended(controller, _run_tool_once(controller, options.config_dir)))
        _serve(controller, options)
        sys.exit(_recording_ended(controller, 0))


def _check_combination(parser: argparse.ArgumentParser, options: argparse.Namespace) -> None:
    if options.record is None:
        for given, option in ((options.controller, "--controller"), (options.replace_controller,
                                                                      "--replace-controller"),
                              (options.keep_field, "--keep-field"), (options.record_failures, "--record-failures")):
            if given:
                parser.error(f"{option} goes with --record DIR")
    elif options.controller is None:
        parser.error("--record needs --controller ADDRESS, the controller to record")
    elif options.replies is not None:
        parser.error("--record and --replies do not go together: a recording is replayed with --replies alone")
    if options.replies is not None and not os.path.isdir(options.replies):
        parser.error(f"--replies: no such directory: {options.replies}")


def _controller_for(options: argparse.Namespace) -> SimulatedController:
    """The controller the options ask for; raises RecordingError for a
    recording directory that cannot be used."""
    if options.record is None:
        return SimulatedController(options.username, options.password or DEFAULT_PASSWORD, port=options.port,
                                   replies=options.replies)
    # The address is checked before the directory is made.
    forwarder = Forwarder(options.controller, API_PATH)
    directory = RecordingDirectory.for_recording(options.record, options.controller, options.replace_controller,
                                                 options.keep_field)
    recorder = Recorder(directory, forwarder, lambda line: print(f"{PROGRAM}: {line}", file=sys.stderr, flush=True),
                        options.record_failures)
    # Without --password the tool asks for it, as in a real run.
    return SimulatedController(options.username, options.password, port=options.port, recorder=recorder)


def _say_recording(controller: SimulatedController) -> None:
    """The one line that a recording starts with."""
    recorder = controller.recorder
    if recorder is not None:
        print(f"{PROGRAM}: requests to {controller.address} are forwarded to {recorder.forwarder.url} and act there "
              f"as in a real run; their replies are kept in {recorder.directory.path}", file=sys.stderr, flush=True)


def _recording_ended(controller: SimulatedController, status: int) -> int:
    """The exit status, once the index of a recording lists what it kept: 1
    for a run that went well but was not all recorded."""
    recorder = controller.recorder
    if recorder is None:
        return status
    try:
        recorder.directory.write_index()
    except RecordingError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr, flush=True)
        return status or 1
    return status or (1 if recorder.not_recorded else 0)


def _opened_or_exit(path: str):
    try:
        return open(path, "w", encoding="utf-8")
    except OSError as error:
        sys.exit(f"{PROGRAM}: cannot write the plan to {path}: {error.strerror or error}")


def _serve(controller: SimulatedController, options: argparse.Namespace) -> None:
    if options.address_file:
        with open(options.address_file, "w", encoding="utf-8") as handle:
            handle.write(controller.address)
    if controller.recorder is not None:
        _say_recording(controller)
    else:
        print(f"simulated Tarvenox Controller listening on {controller.address} "
              f"(user {controller.username}, password {controller.password})", file=sys.stderr)
    if controller.recording is not None:
        print(f"recorded replies in {options.replies}: {counted(len(controller.recording.entries), 'request')} "
              f"recorded from {controller.recording.controller}", file=sys.stderr)
    elif options.replies is not None:
        print(f"saved replies in {options.replies}: {', '.join(controller.replies.actions()) or 'none yet'}",
              file=sys.stderr)
    sys.stderr.flush()
    controller.listeners.append(lambda planned: print(planned.line(), flush=True))
    if controller.recorder is not None:
        # Stopped by a signal as by Ctrl-C, so that the index lists what was kept.
        signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass


def _run_tool_once(controller: SimulatedController, config_dir: str | None) -> int:
    """Runs the tool against the controller with the output streams of this
    process; then prints the plan, and for a recording or its replay how
    many requests were not recorded. Returns the tool's exit status.

    The password goes to the tool's hidden prompt through its standard
    input, never on a command line, where any user of the machine reads it.
    When recording without one, the tool asks for it on its own prompt."""
    command = [sys.executable, "-m", "korvalinden", "--controller_ip", controller.address,
               "--username", controller.username]
    if config_dir is not None:
        command += ["--config_dir", config_dir]
    password = controller.password
    tool = subprocess.Popen(command, stdin=subprocess.PIPE if password is not None else None, text=True,
                            env=_tool_environment(password_from_stdin=password is not None))
    if password is not None:
        with contextlib.suppress(BrokenPipeError):  # a tool that ended at once
            tool.stdin.write(password + "\n")
            tool.stdin.close()
    try:
        status = tool.wait()
    except KeyboardInterrupt:
        # Ctrl-C reached the tool too, in the same process group: it ends on its own.
        status = tool.wait()
    count = controller.not_recorded_line()
    try:
        sys.stdout.write(plan_text(controller.plan, controller.connections) + (f"{count}\n" if count else ""))
        sys.stdout.flush()
    except BrokenPipeError:
        discard_output()  # the reader has gone; nothing more is said
    # A tool killed by a signal reports it as the shell does.
    return status if status >= 0 else 128 - status


def _tool_environment(password_from_stdin: bool = True) -> dict[str, str]:
    """This process's environment for the tool it rehearses: each post names
    its configuration file, the hidden prompt reads standard input (when
    asked), and no proxy is set. The tool's one destination is this controller on the
    loopback, where a proxy of the machine would only stand in the way; with
    every *_proxy variable gone (in any letter case, as requests reads
    them), it connects directly, whatever NO_PROXY would have said."""
    environment = {name: value for name, value in os.environ.items() if not name.lower().endswith("_proxy")}
    environment[NAME_FILES_VARIABLE] = "1"
    if password_from_stdin:
        environment[PASSWORD_FROM_STDIN_VARIABLE] = "1"
    return environment
