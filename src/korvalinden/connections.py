"""Keep-alive connections for a run: one connection to the controller for all
of a run's posts, instead of a new connection and TLS handshake for each.

The module looks up `requests` in its namespace at every post. For a run,
`kept_alive` puts `KeptAliveRequests` there: its `post` sends through a
`requests.Session` of the calling thread, which keeps the connection open
between posts; every other attribute is the real `requests`' own. The real
`requests` is back in place when the run ends, however it ends. The console
command and `python -m korvalinden` run `main` inside `kept_alive`; a script
gets the same with

    import korvalinden.korvalinden as kv
    from korvalinden.connections import kept_alive

    with kept_alive(kv):
        kv.main()

Each post still sends what `requests.post(url, data=..., verify=False)`
sends: a new session's headers, the proxies and .netrc of the environment at
the time of the post, the caller's arguments as they are. What a session
would add is taken away again:

- Cookies: the session's jar is emptied before each post, so a post starts
  without cookies, as a post of its own does; within one post, a redirect
  carries the cookies that the replies before it set, as before.
- Retries: none, as with `requests.post`. A pooled connection that the server
  has closed is found so before the request is written, and replaced by a new
  one; a connection that fails once the request may have been written fails
  the post, which is never sent again.
- Idle connections: a server or a load balancer in between closes
  connections that stay idle for a while. When the close crosses a request
  on the wire, the request meets a reset and the post fails. Connections that
  have been idle for more than IDLE_LIMIT_SECONDS are therefore closed rather
  than reused: well below the shortest idle timeouts met in practice (a few
  seconds), and far above the gap between two posts of a run.
"""

from __future__ import annotations

import contextlib
import threading
import time
from collections.abc import Iterator
from types import ModuleType
from urllib.parse import urlsplit

import requests

IDLE_LIMIT_SECONDS = 1.0


class KeptAliveRequests:
    """Stands in for the `requests` module: `post` sends through one
    keep-alive session per thread (a session's cookie jar is no place to
    share between threads); every other attribute is looked up in `requests`
    at each use."""

    def __init__(self, idle_limit: float = IDLE_LIMIT_SECONDS):
        self.idle_limit = idle_limit
        self._local = threading.local()
        self._sessions: list[_ThreadSession] = []
        self._lock = threading.Lock()

    def post(self, url, data=None, json=None, **kwargs) -> requests.Response:
        return self._session().post(url, data, json, kwargs, self.idle_limit)

    def close(self) -> None:
        """Closes every connection kept; a later post opens a new one."""
        with self._lock:
            sessions = list(self._sessions)
        for session in sessions:
            session.drop_connections()

    def __getattr__(self, name: str):
        return getattr(requests, name)

    def __dir__(self) -> list[str]:
        return sorted(set(dir(requests)) | {"post", "close", "idle_limit"})

    def __repr__(self) -> str:
        return f"<requests with kept-alive connections, idle limit {self.idle_limit:g} s>"

    def _session(self) -> _ThreadSession:
        session = getattr(self._local, "session", None)
        if session is None:
            session = self._local.session = _ThreadSession()
            with self._lock:
                self._sessions.append(session)
        return session


class _ThreadSession:
    """One thread's session, and when the connections of its pools were last
    used, by the origin (scheme, host and port) that a post reached."""

    def __init__(self):
        self.session = requests.Session()
        self.last_used: dict[tuple, float] = {}

    def post(self, url, data, json, kwargs: dict, idle_limit: float) -> requests.Response:
        now = time.monotonic()
        # Origins share pools (through a proxy, for one), so one connection
        # idle too long drops them all; within a run that is the one connection.
        if any(now - used > idle_limit for used in self.last_used.values()):
            self.drop_connections()
        self.session.cookies.clear()
        try:
            response = self.session.request("POST", url, data=data, json=json, **kwargs)
        except BaseException:
            # A connection may be left half-used; the next post starts afresh.
            self.drop_connections()
            raise
        # Stamped once the reply is read: the pools have their connections back.
        done = time.monotonic()
        for reply in (*response.history, response):
            self.last_used[_origin(reply.url)] = done
        return response

    def drop_connections(self) -> None:
        self.session.close()  # the pools close their connections and open new ones on demand
        self.last_used.clear()


def _origin(url: str) -> tuple:
    parts = urlsplit(url)
    return parts.scheme, parts.hostname, parts.port


@contextlib.contextmanager
def kept_alive(module: ModuleType | None = None, idle_limit: float = IDLE_LIMIT_SECONDS) -> Iterator[None]:
    """Within the block, `module` (by default the tool's module) posts through
    kept-alive connections; afterwards its `requests` is the real one again
    and the connections are closed. A module whose `requests` a caller has
    replaced keeps the replacement, which then decides how posts are sent."""
    if module is None:
        import korvalinden.korvalinden as module
    if module.requests is not requests:
        yield
        return
    transport = KeptAliveRequests(idle_limit)
    module.requests = transport
    try:
        yield
    finally:
        if module.requests is transport:
            module.requests = requests
        transport.close()
