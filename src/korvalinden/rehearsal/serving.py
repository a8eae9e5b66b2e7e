"""The stage's HTTPS server: 127.0.0.1 only, a certificate made at start,
HTTP/1.1 with connections kept open between requests, each connection on a
thread of its own. What a request is answered with is its subclass's
business (`respond`).

What a client can hold of it is bounded (Limits): a fixed number of
connections are served at once; past it a new connection takes the place of
the one idle the longest, or, when none is idle, waits to be accepted. A
connection must complete its handshake, then each request, head and body,
within a time limit, however slowly it trickles in; it is closed after a
while without a request. A request's head and body have a largest size,
checked before the body is read.
"""

from __future__ import annotations

import io
import json
import re
import socket
import ssl
import struct
import sys
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import NamedTuple

from korvalinden.rehearsal.replies import RawReply

# A client that does not complete its TLS handshake within this time is
# given up; it holds up nothing but its own connection meanwhile.
HANDSHAKE_TIMEOUT_SECONDS = 10.0
# The largest request body taken; a form post of the tool is far smaller.
MAX_BODY_BYTES = 256 * 1024
NO_TRUSTME = ("korvalinden-rehearse: the simulated controller needs the package trustme: "
              "pip install 'korvalinden[rehearse]'")


@dataclass(frozen=True)
class Limits:
    """What one client can hold of the stage. The tool uses one connection
    at a time, idle for a second at most (korvalinden.connections), and posts
    form fields of a few kilobytes."""

    connections: int = 32  # served at once, each on a thread of its own
    handshake_seconds: float = HANDSHAKE_TIMEOUT_SECONDS
    idle_seconds: float = 30.0  # without a request under way
    request_seconds: float = 10.0  # from a request's first byte to its last, and for its reply to go out
    head_bytes: int = 64 * 1024
    body_bytes: int = MAX_BODY_BYTES


class Received(NamedTuple):
    """A POST as it arrived: the number of its connection (1 for the first
    this controller accepted), its headers in order, its body."""

    connection: int
    headers: list[tuple[str, str]]
    body: bytes


class Stage:
    """An HTTPS server on 127.0.0.1; use as a context manager or call
    start()/stop(). Each POST is answered with what `respond` gives.

    Three options make it behave as servers in front of a controller may:
    `close_after` N requests it closes a connection, saying so in the last
    reply (Connection: close); a connection idle for more than `idle_timeout`
    seconds is given up, and a request that comes on it later is read but
    answered with a reset, as when a load balancer closes an idle connection
    just as a request crosses on the wire; `cookie` is set by every reply."""

    def __init__(self, port: int = 0, close_after: int | None = None, idle_timeout: float | None = None,
                 cookie: str | None = None, limits: Limits = Limits()):
        self.port = port
        self.close_after = close_after
        self.idle_timeout = idle_timeout
        self.cookie = cookie
        self.limits = limits
        self.connections = 0  # connections accepted
        self.received: list[Received] = []  # every POST as it arrived, answered or not
        # The connections served, by their socket: the TCP one until the TLS one wraps it.
        self._open: dict[socket.socket, _Connection] = {}
        self._lock = threading.Lock()
        self._room = threading.Condition(self._lock)  # notified when a connection ends
        self._server: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    @property
    def address(self) -> str:
        """The controller address as the tool takes it: host:port."""
        return f"127.0.0.1:{self.port}"

    def respond(self, path: str, request: Received) -> tuple[int, dict | RawReply]:
        """The status and the reply to a POST: a document sent as JSON, or a raw reply as it is."""
        raise NotImplementedError

    # -- connections ------------------------------------------------------

    def _admitted(self, accepted: socket.socket) -> bool:
        """Waits for a connection to be served, in place of the one idle the
        longest when all are taken; False once stopped."""
        with self._room:
            while self._server is not None:
                if len(self._open) < self.limits.connections:
                    self._open[accepted] = _Connection(accepted)
                    return True
                if not any(connection.evicted for connection in self._open.values()):
                    idle = [connection for connection in self._open.values() if connection.idle_since is not None]
                    if idle:
                        min(idle, key=lambda connection: connection.idle_since).evict()
                # Until a connection ends; now and then, to see a stop.
                self._room.wait(0.5)
            return False

    def _wrapped(self, accepted: socket.socket, connection: socket.socket) -> bool:
        """Notes the TLS socket of an accepted connection; False once stopped or given up."""
        with self._lock:
            served = self._open.pop(accepted, None)
            if served is None or served.evicted or self._server is None:
                return False
            served.socket = connection
            self._open[connection] = served
            return True

    def _accepted(self) -> int:
        """Counts a connection that completed its handshake; returns its number."""
        with self._lock:
            self.connections += 1
            return self.connections

    def _busy(self, connection: socket.socket) -> None:
        """A request is under way on the connection: it is not given up for another."""
        with self._lock:
            if connection in self._open:
                self._open[connection].idle_since = None

    def _idle(self, connection: socket.socket) -> None:
        with self._lock:
            if connection in self._open:
                self._open[connection].idle_since = time.monotonic()

    def _ended(self, *sockets: socket.socket) -> None:
        with self._room:
            for ended in sockets:
                self._open.pop(ended, None)
            self._room.notify_all()

    def _receive(self, request: Received) -> None:
        with self._lock:
            self.received.append(request)

    # -- serving ----------------------------------------------------------

    def start(self):
        authority = _certificate_authority()
        certificate = authority.issue_cert("127.0.0.1", "localhost")
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        certificate.configure_cert(context)

        server = _Server(("127.0.0.1", self.port), _handler_for(self), context, self)
        self.port = server.server_address[1]
        with self._lock:
            self._server = server
        # The serving loop looks for a stop this often: stop() waits for it.
        self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="simulated-controller", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        with self._room:
            server, self._server = self._server, None
            self._room.notify_all()
        if server is not None:
            server.shutdown()
            server.server_close()
            # A stopped controller answers nothing more, also on connections
            # kept open or still in their handshake: their threads read the
            # end and finish.
            with self._lock:
                still_open = list(self._open.values())
            for connection in still_open:
                connection.end()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()


class _Connection:
    """A connection served: its socket, since when it has been idle (waiting
    for its handshake or a request; None while a request is under way), and
    whether it was given up for another."""

    def __init__(self, accepted: socket.socket):
        self.socket = accepted
        self.idle_since: float | None = time.monotonic()
        self.evicted = False

    def evict(self) -> None:
        self.evicted = True
        self.idle_since = None
        self.end()

    def end(self) -> None:
        """Ends the connection; its thread reads the end and finishes."""
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # closed meanwhile, or not yet wrapped: _wrapped sees it evicted


class _Server(ThreadingHTTPServer):
    """Accepts on the serving thread and does nothing else there but wait for
    room (Stage._admitted): each connection's TLS handshake runs on the
    connection's own thread, within the handshake's time limit, so that a
    client that never completes one (a port scanner, a half-open connection)
    holds up no other request and not stop()."""

    daemon_threads = True
    request_queue_size = 128  # connections that wait for room wait here, accepted by the kernel

    def __init__(self, address, handler, context: ssl.SSLContext, stage: Stage):
        super().__init__(address, handler)
        self.context = context
        self.stage = stage

    def process_request(self, request, client_address) -> None:
        if self.stage._admitted(request):
            super().process_request(request, client_address)
        else:
            self.shutdown_request(request)

    def finish_request(self, request, client_address) -> None:
        connection = self.context.wrap_socket(request, server_side=True, do_handshake_on_connect=False)
        try:
            if not self.stage._wrapped(request, connection):
                return
            connection.settimeout(self.stage.limits.handshake_seconds)
            connection.do_handshake()
            super().finish_request(connection, client_address)
        finally:
            self.stage._ended(request, connection)
            connection.close()

    def handle_error(self, request, client_address) -> None:
        # A client's doing (a reset, a handshake that failed or never came)
        # ends its own connection, and is no news.
        if isinstance(sys.exc_info()[1], OSError):
            return
        super().handle_error(request, client_address)


class _Reader(io.RawIOBase):
    """A connection as its handler reads it: a request must start within the
    idle limit and be whole within the request limit of its first byte,
    however slowly it trickles in, and may not bring more bytes than its head
    and the body it announced are allowed; past that the connection reads as
    ended, and a late one times out (TimeoutError, on which http.server
    closes it)."""

    def __init__(self, stage: Stage, connection: socket.socket):
        self.stage, self.connection, self.limits = stage, connection, stage.limits
        self.deadline, self.allowance, self.started = 0.0, 0, False

    def next_request(self) -> None:
        self.deadline = time.monotonic() + self.limits.idle_seconds
        self.allowance, self.started = self.limits.head_bytes, False

    def allow(self, body_bytes: int) -> None:
        self.allowance += body_bytes

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self.allowance <= 0:
            return 0
        remaining = self.deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("the client took too long")
        self.connection.settimeout(remaining)
        count = self.connection.recv_into(memoryview(buffer)[:self.allowance])
        self.allowance -= count
        if count and not self.started:
            self.started = True
            self.deadline = time.monotonic() + self.limits.request_seconds
            self.stage._busy(self.connection)
        return count


def _certificate_authority():
    try:
        import trustme
    except ImportError:
        raise SystemExit(NO_TRUSTME) from None
    return trustme.CA()


def _handler_for(stage: Stage) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        # Keep-alive: a connection serves requests until the client closes it.
        protocol_version = "HTTP/1.1"
        # A reply goes out in two writes, head and body; with Nagle's
        # algorithm the body would wait for the client's delayed
        # acknowledgement of the head.
        disable_nagle_algorithm = True

        def setup(self) -> None:
            super().setup()
            self.rfile.close()  # the plain file of the socket, read through the reader instead
            self.reader = _Reader(stage, self.connection)
            self.rfile = io.BufferedReader(self.reader)
            self.number = stage._accepted()
            self.answered = 0
            self.idle_since: float | None = None

        def handle_one_request(self) -> None:
            self.reader.next_request()
            super().handle_one_request()

        def parse_request(self) -> bool:
            # A request read ahead with the one before starts here.
            stage._busy(self.connection)
            return super().parse_request()

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
            stage._receive(received)
            if self._given_up():
                self._reset()
            else:
                self._reply(*stage.respond(self.path, received))

        def _body_length(self) -> int | None:
            """The body's length as Content-Length gives it; a request without
            one that can be taken is answered 400 and its connection closed,
            as where its body ends is not known."""
            given = self.headers.get_all("Content-Length") or []
            if len(given) == 1 and re.fullmatch(r"[0-9]{1,20}", given[0].strip()):
                length = int(given[0])
                if length <= stage.limits.body_bytes:
                    self.reader.allow(length)
                    return length
            reason = (f"Content-Length must be one number of bytes from 0 to {stage.limits.body_bytes}, "
                      f"not {', '.join(given) or 'none'}")
            self._reply(400, {"return": False, "reason": reason}, closing=True)
            return None

        def _given_up(self) -> bool:
            return (stage.idle_timeout is not None and self.idle_since is not None
                    and time.monotonic() - self.idle_since > stage.idle_timeout)

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
            # A client that does not take its reply is given up as one that does not send its request.
            self.connection.settimeout(stage.limits.request_seconds)
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(payload)))
            if stage.cookie is not None:
                self.send_header("Set-Cookie", stage.cookie)
            if closing or (stage.close_after is not None and self.answered >= stage.close_after):
                self.send_header("Connection", "close")  # http.server closes after this reply
            self.end_headers()
            self.wfile.write(payload)
            self.idle_since = time.monotonic()
            stage._idle(self.connection)

        def log_message(self, format: str, *args) -> None:  # noqa: A002
            pass  # keep test and demo output clean

    return Handler
