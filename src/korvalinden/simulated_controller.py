"""A simulated Tarvenox Controller: for the tests and the demo, and by hand as
a rehearsal stage for configuration files.

It serves HTTPS on 127.0.0.1 with a certificate made at start, takes
form-encoded POSTs on /v1/api and answers in JSON; the form field "action"
names the operation (see ACTIONS_HELP, which --help shows). Every operation
but login needs the field "CID" holding a session that this controller
issued; anything it cannot do is answered {"return": false, "reason": ...}
with status 200, as a controller's API reports errors in the body.

With a recording directory (korvalinden.recording) it answers from the
replies recorded there; as a recorder it forwards every request to a real
controller and keeps the replies.

It keeps the plan of what it was asked, every request in order with its
form fields as it got them (the password and the session ids masked), what
it answered and where the answer came from, and, when the tool names it (the
header FILE_HEADER), the configuration file that sent it. As the console
command it either serves until interrupted, logging that plan as it goes,
or, with --run, runs the tool once against itself and prints the tool's
output and then the plan:

    korvalinden-rehearse --help
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import secrets
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import NamedTuple
from urllib.parse import parse_qsl, unquote

from korvalinden._fields import fields_text, masked, quoted
from korvalinden._launcher import NAME_FILES_VARIABLE, PASSWORD_FROM_STDIN_VARIABLE, discard_output
from korvalinden._run_observer import FILE_HEADER
from korvalinden.recording import (BUILT_IN, NOT_RECORDED, RECORDED, SAVED, Forwarder, RawReply, Recorder,
                                   RecordingDirectory, RecordingError, Secrets, request_key)


API_PATH = "/v1/api"
DEFAULT_USERNAME = "admin"
DEFAULT_PASSWORD = "tarvenox-demo"
# A client that does not complete its TLS handshake within this time is
# given up; it holds up nothing but its own connection meanwhile.
HANDSHAKE_TIMEOUT_SECONDS = 10.0
# The largest request body taken; a form post of the tool is far smaller.
MAX_BODY_BYTES = 8 * 1024 * 1024
INVALID_SESSION_REASON = "CID is invalid or expired."

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
plan. A recording never keeps a password or a session.

examples:
  korvalinden-rehearse --record rec --controller 10.20.0.5 --config_dir my-calls
  korvalinden-rehearse --replies rec --config_dir my-calls
  korvalinden-rehearse --replies rehearsal/replies --config_dir rehearsal/config
  korvalinden-rehearse --port 8443 --plan plan.jsonl     (and in another terminal:)
  KORVALINDEN_NAME_FILES=1 korvalinden --controller_ip 127.0.0.1:8443
      (the variable makes the tool name each request's configuration file,
      which the plan shows; --run sets it itself)
"""

# A site sits in a zone and runs at a tier; tags are optional.
SITES = [
    {"name": "site-alder", "zone": "vellmark", "tier": "stennel", "tags": {"env": "prod"}},
    {"name": "site-brenna", "zone": "osterwick", "tier": "quorrin"},
    {"name": "site-cobble", "zone": "nordhal", "tier": "brakko", "tags": {"env": "lab"}},
]


def site_details(sites: list[dict], index: int) -> dict:
    """The detail record that show_site answers for sites[index]."""
    name = sites[index]["name"]
    return {
        "name": name,
        "state": "up",
        "links": 2 + index,
        "uptime_hours": 100 * (index + 1),
        "peers": [other["name"] for other in sites if other["name"] != name],
    }


def json_problem(document: bytes) -> str | None:
    """Why a saved reply is no JSON document (the decoder's message), or None."""
    try:
        json.loads(document)
    except (ValueError, RecursionError) as error:
        return str(error)
    return None


@dataclass(frozen=True)
class PlannedRequest:
    """One request as the controller got it: its form fields in order,
    repeated names included, the password and the session ids masked; what it
    answered, in a few words that start with where the answer came from
    (`source`: RECORDED, SAVED, BUILT_IN, NOT_RECORDED, or when recording,
    FORWARDED); and the configuration file that sent it, when the tool said."""

    number: int
    fields: tuple[tuple[str, str], ...]
    answer: str
    file: str | None = None
    source: str | None = None

    @property
    def action(self) -> str | None:
        return next((value for name, value in self.fields if name == "action"), None)

    def line(self) -> str:
        """`  3 02_status.cfg: show_site CID=<session-2> site_name=site-alder  -> built-in reply`"""
        others = list(self.fields)
        if self.action is not None:
            others.remove(("action", self.action))
        sender = [f"{quoted(self.file)}:"] if self.file is not None else []
        head = [f"{self.number:>3}", *sender, self.action or "(no action)", fields_text(others)]
        return " ".join(part for part in head if part) + f"  -> {self.answer}"

    def json_line(self) -> str:
        fields = [list(field) for field in self.fields]
        return json.dumps({"request": self.number, "file": self.file, "action": self.action, "fields": fields,
                           "source": self.source, "answer": self.answer}, ensure_ascii=False)


def plan_text(plan: list[PlannedRequest], connections: int | None = None) -> str:
    """The plan as it reads; with the number of connections the requests came
    over, when known, to show whether the tool kept its connection."""
    count = _counted(len(plan), "request")
    if connections is not None:
        count += f" over {_counted(connections, 'connection')}"
    return "\n".join([f"request plan: {count}", *(request.line() for request in plan)]) + "\n"


def _counted(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")


class Received(NamedTuple):
    """A POST as it arrived: the number of its connection (1 for the first
    this controller accepted), its headers in order, its body."""

    connection: int
    headers: list[tuple[str, str]]
    body: bytes


class SimulatedController:
    """An in-process controller; use as a context manager or call start()/stop().

    `replies` names a directory of saved replies: an action X is answered
    with the file X.json there, read at each request so that it can be
    edited while the controller runs. A directory that holds a recording
    (korvalinden.recording) is read once, at start: each request is answered
    with the reply recorded for the same fields, or as an unknown one.
    With a `recorder`, every request is forwarded to the controller it
    records instead, and answered as that controller answers.

    It speaks HTTP/1.1 and keeps connections open between requests. Three
    options make it behave as servers in front of a controller may:
    `close_after` N requests it closes a connection, saying so in the last
    reply (Connection: close); a connection idle for more than `idle_timeout`
    seconds is given up, and a request that comes on it later is read but
    answered with a reset, as when a load balancer closes an idle connection
    just as a request crosses on the wire; `cookie` is set by every reply."""

    def __init__(self, username: str = DEFAULT_USERNAME, password: str = DEFAULT_PASSWORD,
                 sites: list[dict] | None = None, port: int = 0, replies: str | os.PathLike | None = None,
                 close_after: int | None = None, idle_timeout: float | None = None, cookie: str | None = None,
                 recorder: Recorder | None = None):
        self.username = username
        self.password = password
        self.sites = list(SITES if sites is None else sites)
        self.port = port
        # Raises RecordingError for a recording that cannot be read.
        self.recording = RecordingDirectory.for_replay(os.fspath(replies)) if replies is not None else None
        self.replies = replies if self.recording is None else None  # saved replies, one per action
        self.recorder = recorder
        self._secrets = Secrets()  # of a replay: what must match a recording's placeholders
        self.sessions: set[str] = set()
        self.requests: list[list[tuple[str, str]]] = []  # the form fields of every POST, in order
        self.plan: list[PlannedRequest] = []  # the same requests, masked, with what they were answered
        # Called with each PlannedRequest as it is made, in order.
        self.listeners: list[Callable[[PlannedRequest], None]] = []
        self._session_numbers: dict[str, int] = {}
        self.close_after = close_after
        self.idle_timeout = idle_timeout
        self.cookie = cookie
        self.connections = 0  # connections accepted
        self.received: list[Received] = []  # every POST as it arrived, answered or not
        self._open: set[socket.socket] = set()
        self._lock = threading.Lock()
        # One request answered at a time, so that the plan's order is the order
        # of arrival; apart from _lock, which a forwarded request may hold long.
        self._answering = threading.Lock()
        self._server: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    @property
    def address(self) -> str:
        """The controller address as the tool takes it: host:port."""
        return f"127.0.0.1:{self.port}"

    # -- operations -------------------------------------------------------

    def answer(self, fields: list[tuple[str, str]], file: str | None = None) -> dict | RawReply:
        """The reply to a request's form fields; `file` is the configuration
        file that the tool says sent it."""
        return self._planned(fields, file, lambda: self._reply_to(fields))

    def forward(self, request: Received, fields: list[tuple[str, str]], file: str | None = None) -> RawReply:
        """The reply of the recorded controller to the request, which the recorder keeps."""
        return self._planned(fields, file, lambda: self.recorder.answer(fields, request.headers, request.body,
                                                                         self._session_named))

    def _planned(self, fields, file, reply_to: Callable[[], tuple[dict | RawReply, str, str]]) -> dict | RawReply:
        with self._answering:
            self.requests.append(fields)
            reply, source, answered = reply_to()
            planned = PlannedRequest(len(self.requests), tuple(masked(fields, self._session_numbers)), answered, file,
                                     source)
            self.plan.append(planned)
            for listener in self.listeners:
                listener(planned)
        return reply

    def _reply_to(self, fields: list[tuple[str, str]]) -> tuple[dict | RawReply, str, str]:
        """The reply, where it came from, and what it was in a few words for the plan."""
        form = dict(fields)
        if self.recording is not None:
            return self._replayed(fields, form)
        action = form.get("action")
        if action == "login":
            return self._built_in(self._login(form))
        if form.get("CID") not in self.sessions:
            return self._built_in({"return": False, "reason": INVALID_SESSION_REASON})
        if (saved := self._saved_reply(action)) is not None:
            problem = json_problem(saved)
            return saved, SAVED, f"saved reply {action}.json" + (f", which is not JSON: {problem}" if problem else "")
        if action == "list_sites":
            return self._built_in({"return": True, "results": self.sites})
        if action == "show_site":
            return self._built_in(self._show_site(form))
        return self._built_in({"return": False, "reason": f"Unknown action: {action}"})

    def _replayed(self, fields: list[tuple[str, str]], form: dict) -> tuple[dict | RawReply, str, str]:
        """The reply recorded for the same fields. A login without one is
        this controller's own; any other request needs a session of it."""
        self._secrets.learn_request(fields)
        recorded = self.recording.find(request_key(self._secrets.fields(fields)))
        if form.get("action") == "login":
            if recorded is None:
                return self._built_in(self._login(form))
            if not recorded.login:
                return {"return": False, "reason": "The recorded login failed."}, RECORDED, \
                    f"{recorded.answer_text()}: login failed"
            reply = self._new_session()
            return reply, RECORDED, f"{recorded.answer_text()}: {self._session_named(reply['CID'])}"
        if form.get("CID") not in self.sessions:
            return self._built_in({"return": False, "reason": INVALID_SESSION_REASON})
        if recorded is None:
            return {"return": False, "reason": f"Not recorded: {form.get('action')}"}, NOT_RECORDED, NOT_RECORDED
        return recorded.reply_for(form["CID"]), RECORDED, recorded.answer_text()

    def _built_in(self, reply: dict) -> tuple[dict, str, str]:
        if reply.get("return") is False:
            return reply, BUILT_IN, f"{BUILT_IN}: refused: {reply.get('reason')}"
        if "CID" in reply:
            return reply, BUILT_IN, f"{BUILT_IN}: {self._session_named(reply['CID'])}"
        return reply, BUILT_IN, BUILT_IN

    def _login(self, form: dict) -> dict:
        if form.get("username") != self.username or form.get("password") != self.password:
            return {"return": False, "reason": "Invalid username or password."}
        return self._new_session()

    def _new_session(self) -> dict:
        cid = secrets.token_hex(12)
        self.sessions.add(cid)
        self._secrets.learn_session(cid)
        return {"return": True, "CID": cid}

    def _session_named(self, cid: str) -> str:
        """`session 2`: the number of the login that gave the session."""
        number = self._session_numbers.setdefault(cid, len(self._session_numbers) + 1)
        return f"session {number}"

    def _show_site(self, form: dict) -> dict:
        name = form.get("site_name")
        for index, site in enumerate(self.sites):
            if site["name"] == name:
                return {"return": True, "results": site_details(self.sites, index)}
        return {"return": False, "reason": f"Unknown site: {name}"}

    def saved_actions(self) -> list[str]:
        """The actions that the replies directory answers (login is always this controller's own)."""
        if self.replies is None:
            return []
        return sorted(name[:-len(".json")] for name in os.listdir(self.replies)
                      if name.endswith(".json") and name != "login.json"
                      and os.path.isfile(os.path.join(self.replies, name)))

    def saved_reply_problems(self) -> list[str]:
        """One line for every saved reply that is not JSON: its path and the decoder's message."""
        problems = []
        for action in self.saved_actions():
            problem = json_problem(self._read_saved(action))
            if problem is not None:
                problems.append(f"{self._saved_path(action)} is not JSON: {problem}")
        return problems

    def not_recorded_line(self) -> str | None:
        """For a recording or its replay, how many of the requests were not recorded."""
        if self.recorder is not None:
            count = self.recorder.not_recorded
        elif self.recording is not None:
            count = sum(planned.source == NOT_RECORDED for planned in self.plan)
        else:
            return None
        return f"{NOT_RECORDED}: {count} of {_counted(len(self.plan), 'request')}"

    def _saved_reply(self, action: str | None) -> RawReply | None:
        # Only a file of the directory itself: an action is a name, never a
        # path that leads elsewhere.
        if action is None or action not in self.saved_actions():
            return None
        return self._read_saved(action)

    def _saved_path(self, action: str) -> str:
        return os.path.join(self.replies, action + ".json")

    def _read_saved(self, action: str) -> RawReply:
        with open(self._saved_path(action), "rb") as saved:
            return RawReply(saved.read())

    # -- connections ------------------------------------------------------

    def _opened(self, connection: socket.socket) -> bool:
        """Notes a connection that stop() must end; False once stopped."""
        with self._lock:
            if self._server is None:
                return False
            self._open.add(connection)
            return True

    def _accepted(self) -> int:
        """Counts a connection that completed its handshake; returns its number."""
        with self._lock:
            self.connections += 1
            return self.connections

    def _ended(self, connection: socket.socket) -> None:
        with self._lock:
            self._open.discard(connection)

    def _receive(self, request: Received) -> None:
        with self._lock:
            self.received.append(request)

    # -- serving ----------------------------------------------------------

    def start(self) -> "SimulatedController":
        authority = _certificate_authority()
        certificate = authority.issue_cert("127.0.0.1", "localhost")
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        certificate.configure_cert(context)

        server = _Server(("127.0.0.1", self.port), _handler_for(self), context, self)
        self.port = server.server_address[1]
        with self._lock:
            self._server = server
        self._thread = threading.Thread(target=server.serve_forever, name="simulated-controller", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        with self._lock:
            server, self._server = self._server, None
        if server is not None:
            server.shutdown()
            server.server_close()
            # A stopped controller answers nothing more, also on connections
            # kept open or still in their handshake: their threads read the
            # end and finish.
            with self._lock:
                still_open = list(self._open)
            for connection in still_open:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass  # closed meanwhile

    def __enter__(self) -> "SimulatedController":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()


class _Server(ThreadingHTTPServer):
    """Accepts on the serving thread and does nothing else there: each
    connection's TLS handshake runs on the connection's own thread, within
    HANDSHAKE_TIMEOUT_SECONDS, so that a client that never completes one (a
    port scanner, a half-open connection) holds up no other request and not
    stop()."""

    daemon_threads = True

    def __init__(self, address, handler, context: ssl.SSLContext, controller: SimulatedController):
        super().__init__(address, handler)
        self.context = context
        self.controller = controller

    def finish_request(self, request, client_address) -> None:
        connection = self.context.wrap_socket(request, server_side=True, do_handshake_on_connect=False)
        try:
            if not self.controller._opened(connection):
                return
            connection.settimeout(HANDSHAKE_TIMEOUT_SECONDS)
            connection.do_handshake()
            connection.settimeout(None)
            super().finish_request(connection, client_address)
        finally:
            self.controller._ended(connection)
            connection.close()

    def handle_error(self, request, client_address) -> None:
        # A client's doing (a reset, a handshake that failed or never came)
        # ends its own connection, and is no news.
        if isinstance(sys.exc_info()[1], OSError):
            return
        super().handle_error(request, client_address)


def _certificate_authority():
    try:
        import trustme
    except ImportError:
        raise SystemExit("korvalinden-rehearse: the simulated controller needs the package trustme: "
                         "pip install 'korvalinden[rehearse]'") from None
    return trustme.CA()


def _handler_for(controller: SimulatedController) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        # Keep-alive: a connection serves requests until the client closes it.
        protocol_version = "HTTP/1.1"
        # A reply goes out in two writes, head and body; with Nagle's
        # algorithm the body would wait for the client's delayed
        # acknowledgement of the head.
        disable_nagle_algorithm = True

        def setup(self) -> None:
            super().setup()
            self.number = controller._accepted()
            self.answered = 0
            self.idle_since: float | None = None

        def do_POST(self) -> None:  # noqa: N802 (the http.server naming)
            # The whole body is read first, whatever the answer: the next
            # request on the connection starts after it.
            length = self._body_length()
            if length is None:
                return
            body = self.rfile.read(length)
            if len(body) < length:
                # The client went before its request was whole: nothing to answer.
                self.close_connection = True
                return
            received = Received(self.number, list(self.headers.items()), body)
            controller._receive(received)
            if self._given_up():
                self._reset()
            elif self.path != API_PATH:
                self._reply(404, {"return": False, "reason": f"No such path: {self.path}"})
            else:
                fields = parse_qsl(body.decode("utf-8", errors="replace"), keep_blank_values=True)
                file = self.headers.get(FILE_HEADER)
                file = unquote(file) if file is not None else None
                if controller.recorder is not None:
                    self._reply(200, controller.forward(received, fields, file))
                else:
                    self._reply(200, controller.answer(fields, file))

        def _body_length(self) -> int | None:
            """The body's length as Content-Length gives it; a request without
            one that can be taken is answered 400 and its connection closed,
            as where its body ends is not known."""
            given = self.headers.get_all("Content-Length") or []
            if len(given) == 1 and re.fullmatch(r"[0-9]{1,20}", given[0].strip()):
                length = int(given[0])
                if length <= MAX_BODY_BYTES:
                    return length
            reason = (f"Content-Length must be one number of bytes from 0 to {MAX_BODY_BYTES}, "
                      f"not {', '.join(given) or 'none'}")
            self._reply(400, {"return": False, "reason": reason}, closing=True)
            return None

        def _given_up(self) -> bool:
            return (controller.idle_timeout is not None and self.idle_since is not None
                    and time.monotonic() - self.idle_since > controller.idle_timeout)

        def _reset(self) -> None:
            # A zero linger time makes the close a reset, not an orderly end.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.rfile.close()
            self.connection.close()

        def _reply(self, status: int, document: dict | RawReply, closing: bool = False) -> None:
            """Sends the document as JSON; a raw reply as it is, with its own status and headers."""
            if isinstance(document, RawReply):
                status, payload, headers = document.status, bytes(document), document.headers
            else:
                payload, headers = json.dumps(document).encode(), (("Content-Type", "application/json"),)
            self.answered += 1
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(payload)))
            if controller.cookie is not None:
                self.send_header("Set-Cookie", controller.cookie)
            if closing or (controller.close_after is not None and self.answered >= controller.close_after):
                self.send_header("Connection", "close")  # http.server closes after this reply
            self.end_headers()
            self.wfile.write(payload)
            self.idle_since = time.monotonic()

        def log_message(self, format: str, *args) -> None:  # noqa: A002
            pass  # keep test and demo output clean

    return Handler


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
    return parser


def main(argv: list[str] | None = None) -> None:
    parser = _parser()
    options = parser.parse_args(argv)
    _check_combination(parser, options)
    try:
        controller = _controller_for(options)
    except RecordingError as error:
        sys.exit(f"{PROGRAM}: {error}")
    problems = controller.saved_reply_problems()
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
                                                                      "--replace-controller")):
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
    directory = RecordingDirectory.for_recording(options.record, options.controller, options.replace_controller)
    recorder = Recorder(directory, forwarder, lambda line: print(f"{PROGRAM}: {line}", file=sys.stderr, flush=True))
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
        print(f"recorded replies in {options.replies}: {_counted(len(controller.recording.entries), 'request')} "
              f"recorded from {controller.recording.controller}", file=sys.stderr)
    elif options.replies is not None:
        print(f"saved replies in {options.replies}: {', '.join(controller.saved_actions()) or 'none yet'}",
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


if __name__ == "__main__":
    main()
