"""The recorder: stands between the tool and a real controller, forwards each
request, passes the reply back and keeps both in the recording directory.

The tool sees session stand-ins, never the controller's real session ids
(korvalinden.rehearsal.redaction). A reply that failed (a refused login, a
status other than 2xx, a body that is not JSON) never takes the place of a
good one recorded before, unless the operator asks for it: it is passed on to
the tool as it is, and said once per kind."""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable

from korvalinden._fields import json_text, quoted
from korvalinden.rehearsal.forwarding import Forwarder, ForwardingError
from korvalinden.rehearsal.plan import BUILT_IN, FORWARDED, NOT_RECORDED
from korvalinden.rehearsal.recording import (ERROR_STATUS, FAILED_LOGIN, NOT_JSON_BODY, Entry, RecordingDirectory,
                                             RecordingError, is_login, own_session_of, request_key)
from korvalinden.rehearsal.redaction import SEARCHED_LENGTH, Redaction, StandIns, carried_sessions
from korvalinden.rehearsal.replies import JSON_HEADERS, NOT_JSON, PASSED_BACK, RawReply, json_reply, tool_reading

Fields = Iterable[tuple[str, str]]

EXCERPT_LENGTH = 60
NO_REPLY = "no reply from {address}: {error}"
NO_REPLY_SAID = "{reason}; the tool is answered 502, and nothing is recorded"
NOT_WRITTEN_SAID = "{error}; replies are passed on to the tool, and not recorded"
SHORT_SECRET_SAID = ("the value of {name} has fewer than {length} characters: it is held back where it is a whole "
                     "value (a form field, a JSON string, a reply), but not searched for inside longer texts, "
                     "where it could be part of another word")
REFUSED_LOGIN_SAID = "the controller refused a login: status {status}, reason: {reason}"
RECORDED_AS_FAILED = "; it is recorded as failed in {entry}"
FAILED_REPLY_SAID = {
    ERROR_STATUS: "a reply with status {status} to {action}",
    NOT_JSON_BODY: "a reply that is not JSON (status {status}) to {action}",
}
KEPT_OUT_SAID = ("{failure}; it is not recorded: {entry} keeps the {good} recorded before (--record-failures "
                 "records such replies); the reply began {excerpt}")
GOOD = {FAILED_LOGIN: "successful login", ERROR_STATUS: "good reply", NOT_JSON_BODY: "good reply"}
KEPT_OUT_PLAN = "{failure}, {entry} keeps the {good} recorded before"
TOO_DEEP = "a reply nested too deeply to be searched for secrets"


class Recorder:
    """Forwards each request, passes the reply back and keeps both. Says each
    kind of trouble once, through `say`; counts the requests not recorded,
    and of them the failed replies kept out in favour of good ones."""

    def __init__(self, directory: RecordingDirectory, forwarder: Forwarder, say: Callable[[str], None],
                 record_failures: bool = False):
        self.directory = directory
        self.forwarder = forwarder
        self.say = say
        self.record_failures = record_failures
        self.redaction = Redaction(directory.kept_fields)
        self.stand_ins = StandIns()
        self.not_recorded = 0
        self.kept_out = 0
        self._said: set[str] = set()

    def answer(self, fields: list[tuple[str, str]], headers: Fields, body: bytes,
               session_named: Callable[[str], str]) -> tuple[RawReply, str, str]:
        """The reply for the tool, where it came from, and what the plan says
        of it; `session_named` names a session (a stand-in) that a login gave."""
        for name in self.redaction.learn(fields):
            self._say_once(f"short {name.lower()}", SHORT_SECRET_SAID.format(name=name, length=SEARCHED_LENGTH))
        own_session = own_session_of(fields)
        if own_session is not None:
            self.stand_ins.carried(own_session)
        key = request_key(fields, self.redaction)
        try:
            response = self.forwarder.forward(headers, self.stand_ins.to_controller(body))
        except ForwardingError as error:
            reason = NO_REPLY.format(address=self.forwarder.address, error=error)
            self._say_once("reply", NO_REPLY_SAID.format(reason=reason))
            self.not_recorded += 1
            return json_reply({"return": False, "reason": f"korvalinden-rehearse: {reason}"}, 502), BUILT_IN, \
                f"{NOT_RECORDED}: {reason}"
        try:
            return self._recorded(fields, key, response, session_named)
        except RecursionError:
            self._say_once("deep", f"{TOO_DEEP}; such replies are passed on to the tool as they came, and not recorded")
            self.not_recorded += 1
            return _as_it_came(response), FORWARDED, f"{NOT_RECORDED}: {TOO_DEEP}"

    def _recorded(self, fields, key, response, session_named: Callable[[str], str]) -> tuple[RawReply, str, str]:
        """The reply for the tool, a stand-in for every session, and what the plan says of it once it is kept."""
        own_session = own_session_of(fields)
        content, value = tool_reading(response.status, response.headers, response.data)
        login = is_login(fields)
        session = value.get("CID") if login and isinstance(value, dict) else None
        stand_in = self.stand_ins.login(session) if isinstance(session, str) else None
        for carried in carried_sessions(value):
            self.stand_ins.carried(carried)
        reply, seen = self._for_tool(response, content, value)
        if login:
            entry = Entry(key, login=isinstance(value, dict) and "CID" in value)
        else:
            entry = Entry.of_reply(key, response.status, response.headers, response.data, seen, self.redaction,
                                   own_session)
        text = self._kept(entry, fields, response, seen)
        if entry.login and stand_in is not None:
            text += f": {session_named(stand_in)}"
        return reply, FORWARDED, text

    def _for_tool(self, response, content: bytes | None, value: object) -> tuple[RawReply, tuple]:
        """The reply as the tool gets it, a stand-in in place of every session
        id, and what the tool reads of it (as tool_reading gives it); a reply
        that holds none goes as it came."""
        as_it_came = _as_it_came(response)
        if value is not NOT_JSON:
            seen = self.stand_ins.for_tool.value(value)
            if seen == value:
                return as_it_came, (content, value)
            return RawReply.of(json.dumps(seen).encode(), response.status, JSON_HEADERS), (content, seen)
        seen = self.stand_ins.for_tool.data(content) if content is not None else None
        if seen == content:
            return as_it_came, (content, NOT_JSON)
        # The body as decoded, without the Content-Encoding it no longer has.
        decoded = tuple(header for header in as_it_came.headers if header[0] != "Content-Encoding")
        return RawReply.of(seen, response.status, decoded), (seen, NOT_JSON)

    def _kept(self, entry: Entry, fields, response, seen: tuple) -> str:
        """Keeps the entry unless it failed where a good one was recorded;
        returns what the plan says of it."""
        failure, known = entry.failure(), self.directory.find(entry.key)
        if failure is not None and known is not None and known.failure() is None and not self.record_failures:
            self.not_recorded += 1
            self.kept_out += 1
            self._say_once(failure, KEPT_OUT_SAID.format(
                failure=self._failure_said(failure, fields, response, seen), entry=self._path(known),
                good=GOOD[failure], excerpt=self._excerpt(seen, fields)))
            failed = f"status {entry.status}" if failure == ERROR_STATUS else failure
            return f"{NOT_RECORDED}: " + KEPT_OUT_PLAN.format(failure=failed, entry=known.name, good=GOOD[failure])
        try:
            self.directory.keep(entry)
        except RecordingError as error:
            self._say_once("keep", NOT_WRITTEN_SAID.format(error=error))
            self.not_recorded += 1
            return f"{NOT_RECORDED}: {error}"
        if failure == FAILED_LOGIN:
            self._say_once(failure, self._failure_said(failure, fields, response, seen)
                           + RECORDED_AS_FAILED.format(entry=self._path(entry)))
            return f"{entry.answer_text()}: login failed"
        return entry.answer_text()

    def _failure_said(self, failure: str, fields, response, seen: tuple) -> str:
        if failure == FAILED_LOGIN:
            reason = seen[1].get("reason") if isinstance(seen[1], dict) else None
            shown = self._held_back(reason, fields) if isinstance(reason, str) else self._excerpt(seen, fields)
            return REFUSED_LOGIN_SAID.format(status=_status(response), reason=shown)
        return FAILED_REPLY_SAID[failure].format(status=_status(response), action=quoted(dict(fields).get("action", "")))

    def _excerpt(self, seen: tuple, fields) -> str:
        """The first characters of the reply as the tool read it."""
        content, value = seen
        text = json.dumps(value, ensure_ascii=False) if value is not NOT_JSON else \
            (content or b"").decode("utf-8", "replace")
        return self._held_back(text, fields)

    def _held_back(self, text: str, fields) -> str:
        """A text of a reply as stderr shows it: its secrets held back, as a JSON string."""
        return json_text(self.redaction.text(text[:4 * EXCERPT_LENGTH], own_session_of(fields))[:EXCERPT_LENGTH])

    def _path(self, entry: Entry) -> str:
        return f"{self.directory.path}/{entry.name}"

    def _say_once(self, kind: str, line: str) -> None:
        if kind not in self._said:
            self._said.add(kind)
            self.say(line)


def _as_it_came(response) -> RawReply:
    return RawReply.of(response.data, response.status,
                       tuple((name, response.headers[name]) for name in PASSED_BACK if name in response.headers))


def _status(response) -> str:
    """`500 Internal Server Error`: the status and the controller's own reason phrase, its control characters
    escaped."""
    return f"{response.status} {json_text(response.reason)[1:-1]}" if response.reason else str(response.status)
