"""Forwarding to the recorded controller: every request goes to the one
target fixed at start, https://ADDRESS/v1/api, from ADDRESS alone, over one
kept-alive connection."""

from __future__ import annotations

import time
from collections.abc import Iterable

import urllib3

from korvalinden._launcher import exception_chain, exception_text
from korvalinden._run_observer import FILE_HEADER
from korvalinden.connections import IDLE_LIMIT_SECONDS
from korvalinden.rehearsal.recording import RecordingError

# Headers of one connection, not of the request: the recorder's connection
# to the controller has its own. Host names the recorder; the controller's is
# made from ADDRESS. Content-Length is counted again, from the same body.
# FILE_HEADER is for the rehearsal only.
NOT_FORWARDED = frozenset({"connection", "keep-alive", "proxy-connection", "proxy-authenticate",
                           "proxy-authorization", "te", "trailer", "trailers", "transfer-encoding", "upgrade",
                           "host", "content-length", FILE_HEADER.lower()})

Fields = Iterable[tuple[str, str]]


class ForwardingError(Exception):
    """The controller gave no reply; the message says why."""


class Forwarder:
    """Posts to the one target fixed at start, https://ADDRESS + path, over one
    kept-alive connection, certificates not verified, as the tool does. A
    connection that the controller has closed is found so before a request
    is written, and replaced; one idle for more than IDLE_LIMIT_SECONDS is
    not used again; a request that may have been written is never sent
    again. No proxy of the environment stands in between."""

    def __init__(self, address: str, path: str, idle_limit: float = IDLE_LIMIT_SECONDS):
        self.address = address
        self.url = f"https://{address}{path}"
        try:
            parts = urllib3.util.parse_url(self.url)
        except urllib3.exceptions.LocationParseError:
            parts = None
        if parts is None or not parts.host or parts.auth or parts.path != path or parts.query is not None \
                or parts.fragment is not None:
            raise RecordingError(f"--controller must be a host name or address, optionally with :port, "
                                 f"not {address!r}")
        self._host, self._port, self._path = parts.host, parts.port or 443, path
        self.idle_limit = idle_limit
        self._pool = self._new_pool()
        self._last_used: float | None = None
        urllib3.disable_warnings(urllib3.exceptions.InsecureRequestWarning)

    def _new_pool(self) -> urllib3.HTTPSConnectionPool:
        return urllib3.HTTPSConnectionPool(self._host, self._port, maxsize=1, retries=False, cert_reqs="CERT_NONE",
                                           assert_hostname=False)

    def forward(self, headers: Fields, body: bytes):
        """The controller's response, its body read and not decoded."""
        if self._last_used is not None and time.monotonic() - self._last_used > self.idle_limit:
            self.close()
        try:
            return self._pool.urlopen("POST", self._path, body=body, headers=forwarded_headers(headers),
                                      retries=False, redirect=False, preload_content=True, decode_content=False)
        except (urllib3.exceptions.HTTPError, OSError) as error:
            self.close()
            raise ForwardingError(exception_text(os_error_behind(error))) from error
        finally:
            self._last_used = time.monotonic()

    def close(self) -> None:
        self._pool.close()
        self._pool = self._new_pool()


def forwarded_headers(headers: Fields) -> dict[str, str]:
    """The request's own headers, in order: without those of the connection
    (and those that Connection names), Host, Content-Length and FILE_HEADER."""
    headers = list(headers)
    named = {token.strip().lower() for name, value in headers if name.lower() == "connection"
             for token in value.split(",")}
    forwarded: dict[str, str] = {}
    for name, value in headers:
        if name.lower() not in NOT_FORWARDED and name.lower() not in named:
            forwarded[name] = f"{forwarded[name]}, {value}" if name in forwarded else value
    return forwarded


def os_error_behind(error: BaseException) -> BaseException:
    """The operating system's or TLS's own report behind urllib3's error, when
    there is one: the chain's first OSError, urllib3's own errors being none.
    What lies below it the socket layer met and handled on the way (ssl's
    probe of a connection the peer has already reset fails ENOTCONN)."""
    return next((cause for cause in exception_chain(error) if isinstance(cause, OSError)), error)
