"""The simulated Tarvenox Controller: for the tests and the demo, and by hand
as a rehearsal stage for configuration files.

It takes form-encoded POSTs on /v1/api and answers in JSON; the form field
"action" names the operation (see korvalinden-rehearse --help). Every
operation but login needs the field "CID" holding a session that this
controller issued; anything it cannot do is answered {"return": false,
"reason": ...} with status 200, as a controller's API reports errors in the
body. With a recording directory it answers from the replies recorded there;
with a recorder it forwards every request to a real controller instead.

It keeps the plan of what it was asked, every request in order with its form
fields as it got them (the password and the session ids masked), what it
answered and where the answer came from, and, when the tool names it (the
header FILE_HEADER), the configuration file that sent it.
"""

from __future__ import annotations

import os
import secrets
import threading
from collections.abc import Callable
from urllib.parse import parse_qsl, unquote

from korvalinden._fields import HIDDEN, masked
from korvalinden._run_observer import FILE_HEADER
from korvalinden.rehearsal.plan import BUILT_IN, NOT_RECORDED, RECORDED, SAVED, PlannedRequest, counted
from korvalinden.rehearsal.recorder import Recorder
from korvalinden.rehearsal.recording import RecordingDirectory, own_session_of, request_key
from korvalinden.rehearsal.redaction import STAND_IN, Redaction
from korvalinden.rehearsal.replies import SITES, RawReply, SavedReplies, json_problem, site_details
from korvalinden.rehearsal.serving import Limits, Received, Stage

API_PATH = "/v1/api"
DEFAULT_USERNAME = "admin"
DEFAULT_PASSWORD = "tarvenox-demo"
INVALID_SESSION_REASON = "CID is invalid or expired."
KEPT_OUT_COUNTED = " ({} of them failed, the good replies recorded before kept)"


class SimulatedController(Stage):
    """An in-process controller; use as a context manager or call start()/stop().

    `replies` names a directory of saved replies (SavedReplies), or one that
    holds a recording, read once, at start: each request is then answered
    with the reply recorded for the same fields, or as an unknown one. With a
    `recorder`, every request is forwarded to the controller it records
    instead, and answered as that controller answers. The other options are
    the server's (Stage)."""

    def __init__(self, username: str = DEFAULT_USERNAME, password: str = DEFAULT_PASSWORD,
                 sites: list[dict] | None = None, port: int = 0, replies: str | os.PathLike | None = None,
                 close_after: int | None = None, idle_timeout: float | None = None, cookie: str | None = None,
                 recorder: Recorder | None = None, limits: Limits = Limits()):
        super().__init__(port, close_after, idle_timeout, cookie, limits)
        self.username = username
        self.password = password
        self.sites = list(SITES if sites is None else sites)
        # Raises RecordingError for a recording that cannot be read.
        self.recording = RecordingDirectory.for_replay(os.fspath(replies)) if replies is not None else None
        self.replies = SavedReplies(replies) if replies is not None and self.recording is None else None
        self.recorder = recorder
        # What a recording and its replay hold back, in what they keep and in the plan.
        self.redaction = recorder.redaction if recorder is not None else \
            Redaction(self.recording.kept_fields) if self.recording is not None else None
        self.sessions: set[str] = set()
        self.requests: list[list[tuple[str, str]]] = []  # the form fields of every POST, in order
        self.plan: list[PlannedRequest] = []  # the same requests, masked, with what they were answered
        # Called with each PlannedRequest as it is made, in order.
        self.listeners: list[Callable[[PlannedRequest], None]] = []
        self._session_numbers: dict[str, int] = {}
        # One request answered at a time, so that the plan's order is the order of arrival.
        self._answering = threading.Lock()

    def respond(self, path: str, request: Received) -> tuple[int, dict | RawReply]:
        if path != API_PATH:
            return 404, {"return": False, "reason": f"No such path: {path}"}
        fields = parse_qsl(request.body.decode("utf-8", errors="replace"), keep_blank_values=True)
        file = next((value for name, value in request.headers if name.lower() == FILE_HEADER.lower()), None)
        file = unquote(file) if file is not None else None
        if self.recorder is not None:
            return 200, self.forward(request, fields, file)
        return 200, self.answer(fields, file)

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
            planned = PlannedRequest(len(self.requests), self._plan_fields(fields), answered, file, source)
            self.plan.append(planned)
            for listener in self.listeners:
                listener(planned)
        return reply

    def _plan_fields(self, fields: list[tuple[str, str]]) -> tuple[tuple[str, str], ...]:
        """The fields as the plan shows them: the password and the sessions
        masked; for a recording and its replay, what they hold back hidden too."""
        shown = masked(fields, self._session_numbers)
        if self.redaction is None:
            return tuple(shown)
        return tuple((self.redaction.secrets.text(name), HIDDEN if self.redaction.hides_field(name)
                      else self.redaction.secrets.text(value)) for name, value in shown)

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
        if self.replies is not None and (saved := self.replies.find(action)) is not None:
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
        self.redaction.learn(fields)
        recorded = self.recording.find(request_key(fields, self.redaction))
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
        return recorded.reply_for(own_session_of(fields)), RECORDED, recorded.answer_text()

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
        """A new session: of a replay, the stand-in that the recording's login in the same place had."""
        cid = STAND_IN.format(len(self.sessions) + 1) if self.recording is not None else secrets.token_hex(12)
        self.sessions.add(cid)
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

    def not_recorded_line(self) -> str | None:
        """For a recording or its replay, how many of the requests were not recorded."""
        line = f"{NOT_RECORDED}: {{}} of {counted(len(self.plan), 'request')}"
        if self.recorder is not None:
            kept_out = self.recorder.kept_out
            return line.format(self.recorder.not_recorded) + (KEPT_OUT_COUNTED.format(kept_out) if kept_out else "")
        if self.recording is not None:
            return line.format(sum(planned.source == NOT_RECORDED for planned in self.plan))
        return None
