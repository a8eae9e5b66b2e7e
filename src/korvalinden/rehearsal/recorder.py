"""The recorder: stands between the tool and a real controller, forwards each
request, passes the reply back and keeps both in the recording directory."""

from __future__ import annotations

from collections.abc import Callable, Iterable

from korvalinden.rehearsal.forwarding import Forwarder, ForwardingError
from korvalinden.rehearsal.plan import BUILT_IN, FORWARDED, NOT_RECORDED
from korvalinden.rehearsal.recording import Entry, RecordingDirectory, RecordingError, is_login, request_key
from korvalinden.rehearsal.redaction import Secrets
from korvalinden.rehearsal.replies import PASSED_BACK, RawReply, json_reply, tool_reading

Fields = Iterable[tuple[str, str]]


class Recorder:
    """Forwards each request, passes the reply back and keeps both. Says each
    kind of trouble once, through `say`; counts the requests not recorded."""

    def __init__(self, directory: RecordingDirectory, forwarder: Forwarder, say: Callable[[str], None]):
        self.directory = directory
        self.forwarder = forwarder
        self.say = say
        self.secrets = Secrets()
        self.not_recorded = 0
        self._said: set[str] = set()

    def answer(self, fields: list[tuple[str, str]], headers: Fields, body: bytes,
               new_session: Callable[[str], str]) -> tuple[RawReply, str, str]:
        """The reply for the tool, where it came from, and what the plan says
        of it; `new_session` names a session that a login gave."""
        self.secrets.learn_request(fields)
        key = request_key(self.secrets.fields(fields))
        try:
            response = self.forwarder.forward(headers, body)
        except ForwardingError as error:
            reason = f"no reply from {self.forwarder.address}: {error}"
            self._say_once("reply", f"{reason}; the tool is answered 502, and nothing is recorded")
            self.not_recorded += 1
            return json_reply({"return": False, "reason": f"korvalinden-rehearse: {reason}"}, 502), BUILT_IN, \
                f"{NOT_RECORDED}: {reason}"
        reply = RawReply.of(response.data, response.status,
                            tuple((name, response.headers[name]) for name in PASSED_BACK if name in response.headers))
        reading = tool_reading(response.status, response.headers, response.data)
        value = reading[1]
        session = value.get("CID") if isinstance(value, dict) else None
        self.secrets.learn_session(session)
        if is_login(fields):
            entry = Entry(key, login=isinstance(value, dict) and "CID" in value)
        else:
            entry = Entry.of_reply(key, response.status, response.headers, response.data, reading, self.secrets)
        try:
            self.directory.keep(entry)
        except RecordingError as error:
            self._say_once("keep", f"{error}; replies are passed on to the tool, and not recorded")
            self.not_recorded += 1
            return reply, FORWARDED, f"{NOT_RECORDED}: {error}"
        text = entry.answer_text()
        if entry.login:
            text += f": {new_session(str(session))}"
        elif entry.login is False:
            text += ": login failed"
        return reply, FORWARDED, text

    def _say_once(self, kind: str, line: str) -> None:
        if kind not in self._said:
            self._said.add(kind)
            self.say(line)
