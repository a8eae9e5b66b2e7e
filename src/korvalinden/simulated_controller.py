"""A simulated Tarvenox Controller: for the tests and the demo, and by hand as
a rehearsal stage for configuration files.

It serves HTTPS on 127.0.0.1 with a certificate made at start, takes
form-encoded POSTs on /v1/api and answers in JSON; the form field "action"
names the operation (see ACTIONS_HELP, which --help shows). Every operation
but login needs the field "CID" holding a session that this controller
issued; anything it cannot do is answered {"return": false, "reason": ...}
with status 200, as a controller's API reports errors in the body.

Run as a script it serves until interrupted:

    korvalinden-rehearse --help
"""

from __future__ import annotations

import argparse
import json
import os
import secrets
import socket
import ssl
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import NamedTuple
from urllib.parse import parse_qsl


API_PATH = "/v1/api"
DEFAULT_USERNAME = "admin"
DEFAULT_PASSWORD = "tarvenox-demo"

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

example:
  korvalinden-rehearse --port 8443 &
  .venv/bin/korvalinden --controller_ip 127.0.0.1:8443 --password tarvenox-demo
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


class SavedReply(bytes):
    """A reply that goes out exactly as it was saved, not encoded again."""


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
    edited while the controller runs.

    It speaks HTTP/1.1 and keeps connections open between requests. Three
    options make it behave as servers in front of a controller may:
    `close_after` N requests it closes a connection, saying so in the last
    reply (Connection: close); a connection idle for more than `idle_timeout`
    seconds is given up, and a request that comes on it later is read but
    answered with a reset, as when a load balancer closes an idle connection
    just as a request crosses on the wire; `cookie` is set by every reply."""

    def __init__(self, username: str = DEFAULT_USERNAME, password: str = DEFAULT_PASSWORD,
                 sites: list[dict] | None = None, port: int = 0, replies: str | os.PathLike | None = None,
                 close_after: int | None = None, idle_timeout: float | None = None, cookie: str | None = None):
        self.username = username
        self.password = password
        self.sites = list(SITES if sites is None else sites)
        self.port = port
        self.replies = replies
        self.sessions: set[str] = set()
        self.requests: list[list[tuple[str, str]]] = []  # the form fields of every POST, in order
        self.close_after = close_after
        self.idle_timeout = idle_timeout
        self.cookie = cookie
        self.connections = 0  # connections accepted
        self.received: list[Received] = []  # every POST as it arrived, answered or not
        self._open: set[socket.socket] = set()
        self._lock = threading.Lock()
        self._server: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    @property
    def address(self) -> str:
        """The controller address as the tool takes it: host:port."""
        return f"127.0.0.1:{self.port}"

    # -- operations -------------------------------------------------------

    def answer(self, fields: list[tuple[str, str]]) -> dict | SavedReply:
        form = dict(fields)
        with self._lock:
            self.requests.append(fields)
        action = form.get("action")
        if action == "login":
            return self._login(form)
        if form.get("CID") not in self.sessions:
            return {"return": False, "reason": "CID is invalid or expired."}
        saved = self._saved_reply(action)
        if saved is not None:
            return saved
        if action == "list_sites":
            return {"return": True, "results": self.sites}
        if action == "show_site":
            return self._show_site(form)
        return {"return": False, "reason": f"Unknown action: {action}"}

    def _login(self, form: dict) -> dict:
        if form.get("username") != self.username or form.get("password") != self.password:
            return {"return": False, "reason": "Invalid username or password."}
        cid = secrets.token_hex(12)
        with self._lock:
            self.sessions.add(cid)
        return {"return": True, "CID": cid}

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

    def _saved_reply(self, action: str | None) -> SavedReply | None:
        # Only a file of the directory itself: an action is a name, never a
        # path that leads elsewhere.
        if action is None or action not in self.saved_actions():
            return None
        with open(os.path.join(self.replies, action + ".json"), "rb") as saved:
            return SavedReply(saved.read())

    # -- connections ------------------------------------------------------

    def _accepted(self, connection: socket.socket) -> int:
        """Counts a new connection; returns its number."""
        with self._lock:
            self.connections += 1
            self._open.add(connection)
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

        server = ThreadingHTTPServer(("127.0.0.1", self.port), _handler_for(self))
        server.daemon_threads = True
        server.socket = context.wrap_socket(server.socket, server_side=True)
        self.port = server.server_address[1]
        self._server = server
        self._thread = threading.Thread(target=server.serve_forever, name="simulated-controller", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
            # A stopped controller answers nothing more, also on connections
            # kept open: their handlers read the end and finish.
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
            self.number = controller._accepted(self.connection)
            self.answered = 0
            self.idle_since: float | None = None

        def finish(self) -> None:
            try:
                super().finish()
            finally:
                controller._ended(self.connection)

        def do_POST(self) -> None:  # noqa: N802 (the http.server naming)
            # The whole body is read first, whatever the answer: the next
            # request on the connection starts after it.
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length)
            controller._receive(Received(self.number, list(self.headers.items()), body))
            if self._given_up():
                self._reset()
            elif self.path != API_PATH:
                self._reply(404, {"return": False, "reason": f"No such path: {self.path}"})
            else:
                fields = parse_qsl(body.decode("utf-8", errors="replace"), keep_blank_values=True)
                self._reply(200, controller.answer(fields))

        def _given_up(self) -> bool:
            return (controller.idle_timeout is not None and self.idle_since is not None
                    and time.monotonic() - self.idle_since > controller.idle_timeout)

        def _reset(self) -> None:
            # A zero linger time makes the close a reset, not an orderly end.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.rfile.close()
            self.connection.close()

        def _reply(self, status: int, document: dict | SavedReply) -> None:
            payload = bytes(document) if isinstance(document, SavedReply) else json.dumps(document).encode()
            self.answered += 1
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(payload)))
            if controller.cookie is not None:
                self.send_header("Set-Cookie", controller.cookie)
            if controller.close_after is not None and self.answered >= controller.close_after:
                self.send_header("Connection", "close")  # http.server closes after this reply
            self.end_headers()
            self.wfile.write(payload)
            self.idle_since = time.monotonic()

        def log_message(self, format: str, *args) -> None:  # noqa: A002
            pass  # keep test and demo output clean

    return Handler


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(
        description="Serves a simulated Tarvenox Controller over HTTPS at https://127.0.0.1:PORT/v1/api\n"
                    "(loopback only) until interrupted; the tool takes it as --controller_ip 127.0.0.1:PORT.",
        epilog=ACTIONS_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="the port to listen on (default: a free one, "
                        "printed at start)")
    parser.add_argument("--address-file", metavar="FILE", help="write the address, 127.0.0.1:PORT, to FILE "
                        "once listening")
    parser.add_argument("--username", default=DEFAULT_USERNAME, help="the user name it accepts "
                        "(default: %(default)s)")
    parser.add_argument("--password", default=DEFAULT_PASSWORD, help="the password it accepts "
                        "(default: %(default)s)")
    parser.add_argument("--replies", metavar="DIR", help="also answer any action X with the JSON saved in "
                        "DIR/X.json")
    options = parser.parse_args(argv)
    if options.replies is not None and not os.path.isdir(options.replies):
        parser.error(f"--replies: no such directory: {options.replies}")
    controller = SimulatedController(options.username, options.password, port=options.port,
                                     replies=options.replies).start()
    if options.address_file:
        with open(options.address_file, "w", encoding="utf-8") as handle:
            handle.write(controller.address)
    print(f"simulated Tarvenox Controller listening on {controller.address} "
          f"(user {controller.username}, password {controller.password})", file=sys.stderr)
    if options.replies is not None:
        print(f"saved replies in {options.replies}: {', '.join(controller.saved_actions()) or 'none yet'}",
              file=sys.stderr)
    sys.stderr.flush()
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
