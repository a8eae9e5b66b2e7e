"""Recording a controller's replies for the rehearsal, and answering from them.

`korvalinden-rehearse --record DIR --controller ADDRESS` stands between the
tool and a real controller: every request that comes to it on /v1/api goes to
https://ADDRESS/v1/api, the target fixed at start from ADDRESS alone, and the
controller's reply goes back to the tool. What chose each reply and the reply
itself are kept in DIR; `korvalinden-rehearse --replies DIR` then answers
the same requests offline.

A recording directory holds plain files:

- one JSON file per request, named after its action and a digest of the
  fields that chose the reply, e.g. `show_site-3f9a2c1b7d04.json`: those
  fields in order (never the session field nor the password; for a login not
  the user name either), the status, and the reply as the tool reads it;
  of a login only whether it succeeded;
- `index.json`: the controller the recording came from, and the requests of
  its files. The files themselves are what a replay answers from; the index
  lists them for a reader and is written when a recording starts and ends.

Nothing secret is written: the recorder knows every password it forwarded
and every session id it saw, in a request or in a reply, and writes the
placeholders HIDDEN and SESSION_PLACEHOLDER wherever one appears in what it
keeps. A replay puts the session of the request it answers in place of
SESSION_PLACEHOLDER.
"""

from __future__ import annotations

import base64
import binascii
import contextlib
import hashlib
import io
import json
import os
import re
import tempfile
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

import requests
import urllib3

from korvalinden._fields import HIDDEN, MASKED_FIELDS, fields_text
from korvalinden._launcher import exception_chain, exception_text
from korvalinden._run_observer import FILE_HEADER
from korvalinden.connections import IDLE_LIMIT_SECONDS

INDEX_NAME = "index.json"
SESSION_PLACEHOLDER = "<session>"
# Where a plan line's answer came from.
BUILT_IN, SAVED, RECORDED, NOT_RECORDED, FORWARDED = (
    "built-in reply", "saved reply", "recorded", "not recorded", "forwarded")
LOGIN_RESULTS = {"succeeded": True, "failed": False}
JSON_HEADERS = (("Content-Type", "application/json"),)
# Headers of one connection, not of the request: the recorder's connection
# to the controller has its own. Host names the recorder; the controller's is
# made from ADDRESS. Content-Length is counted again, from the same body.
# FILE_HEADER is for the rehearsal only.
NOT_FORWARDED = frozenset({"connection", "keep-alive", "proxy-connection", "proxy-authenticate",
                           "proxy-authorization", "te", "trailer", "trailers", "transfer-encoding", "upgrade",
                           "host", "content-length", FILE_HEADER.lower()})
# Of the controller's reply headers, those that tell the tool how to read the
# body. Not Set-Cookie: the tool sends no cookie back with a later post.
# Not Location: a redirect would take the tool past the recording, to the
# controller or to a path the recording does not serve.
PASSED_BACK = ("Content-Type", "Content-Encoding")

Fields = Iterable[tuple[str, str]]
Key = tuple[tuple[str, str], ...]


class RecordingError(Exception):
    """A recording directory that cannot be used, said in one line."""


class ForwardingError(Exception):
    """The controller gave no reply; the message says why."""


class RawReply(bytes):
    """A reply body that goes out exactly as it is, with its status and the
    headers that tell how to read it."""

    status: int = 200
    headers: tuple[tuple[str, str], ...] = JSON_HEADERS

    @classmethod
    def of(cls, body: bytes, status: int = 200, headers: tuple[tuple[str, str], ...] = JSON_HEADERS) -> RawReply:
        reply = cls(body)
        reply.status, reply.headers = status, headers
        return reply


def json_reply(document: object, status: int = 200) -> RawReply:
    return RawReply.of(json.dumps(document).encode(), status)


def is_login(fields: Fields) -> bool:
    return dict(fields).get("action") == "login"


def request_key(fields: Fields) -> Key:
    """The fields that chose the reply, in order: all but the session and the
    password (any letter case), and for a login the user name too."""
    fields = list(fields)
    dropped = MASKED_FIELDS + (("username",) if is_login(fields) else ())
    return tuple((name, value) for name, value in fields if name.lower() not in dropped)


def entry_name(key: Key) -> str:
    """`show_site-3f9a2c1b7d04.json`: the action, as a file name can hold it,
    and the first 12 hex digits of the SHA-256 of the fields."""
    action = dict(key).get("action")
    stem = re.sub(r"[^A-Za-z0-9_-]+", "_", action)[:40].strip("_") if action else ""
    digest = hashlib.sha256(json.dumps(key, ensure_ascii=False).encode("utf-8", "surrogatepass")).hexdigest()
    return f"{stem or 'request'}-{digest[:12]}.json"


# -- secrets ------------------------------------------------------------------


class Secrets:
    """The passwords and session ids seen, and the placeholder that stands in
    for each in what is kept. A secret is replaced wherever it appears in a
    text, the longest first; the empty text is no secret."""

    def __init__(self):
        self._placeholders: dict[str, str] = {}
        self._pattern: re.Pattern | None = None

    def learn_request(self, fields: Fields) -> None:
        for name, value in fields:
            if name.lower() == "password":
                self._learn(value, HIDDEN)
            elif name.lower() == "cid":
                self._learn(value, SESSION_PLACEHOLDER)

    def learn_session(self, session: object) -> None:
        if isinstance(session, str):
            self._learn(session, SESSION_PLACEHOLDER)

    def _learn(self, secret: str, placeholder: str) -> None:
        if secret and secret not in self._placeholders:
            self._placeholders[secret] = placeholder
            self._pattern = None

    def text(self, text: str) -> str:
        if not self._placeholders:
            return text
        if self._pattern is None:
            longest_first = sorted(self._placeholders, key=len, reverse=True)
            self._pattern = re.compile("|".join(map(re.escape, longest_first)))
        return self._pattern.sub(lambda found: self._placeholders[found[0]], text)

    def value(self, value: object) -> object:
        """A decoded JSON value with the secrets replaced in every text, keys included."""
        return _texts_mapped(value, self.text)

    def data(self, data: bytes) -> bytes:
        for secret in sorted(self._placeholders, key=len, reverse=True):
            data = data.replace(secret.encode("utf-8", "surrogatepass"), self._placeholders[secret].encode())
        return data

    def fields(self, fields: Fields) -> list[tuple[str, str]]:
        return [(self.text(name), self.text(value)) for name, value in fields]


def _texts_mapped(value: object, change: Callable[[str], str]) -> object:
    if isinstance(value, str):
        return change(value)
    if isinstance(value, dict):
        return {change(key): _texts_mapped(item, change) for key, item in value.items()}
    if isinstance(value, list):
        return [_texts_mapped(item, change) for item in value]
    return value


# -- what the tool reads of a reply -------------------------------------------

NOT_JSON = object()


def tool_reading(status: int, headers, body: bytes) -> tuple[bytes | None, object]:
    """The reply as the tool's `requests` reads it: the body content-decoded
    (None when it cannot be), and the value that its json() gives (NOT_JSON
    when it raises)."""
    raw = urllib3.HTTPResponse(body=io.BytesIO(body), headers=dict(headers), status=status, preload_content=False)
    response = requests.adapters.HTTPAdapter().build_response(requests.PreparedRequest(), raw)
    try:
        content = response.content
    except requests.exceptions.RequestException:
        return None, NOT_JSON
    try:
        return content, response.json()
    except (ValueError, RecursionError):
        return content, NOT_JSON


# -- one recorded request -----------------------------------------------------


@dataclass
class Entry:
    """One recorded request: the fields that chose its reply, and either
    whether a login succeeded or the reply. A reply is kept as the value the
    tool read when it read one, else as the body's bytes with the headers
    that tell how to read them."""

    key: Key
    login: bool | None = None
    status: int = 200
    reply: object = NOT_JSON
    body: bytes | None = None
    headers: tuple[tuple[str, str], ...] = ()
    name: str | None = None

    @classmethod
    def of_reply(cls, key: Key, status: int, headers, body: bytes, reading: tuple[bytes | None, object],
                 secrets: Secrets) -> Entry:
        """The entry of a reply, given what the tool reads of it (tool_reading)."""
        content, value = reading
        if value is not NOT_JSON:
            return cls(key, status=status, reply=secrets.value(value))
        # Content-Encoding stays only with a body kept still encoded.
        passed = [name for name in PASSED_BACK if content is None or name != "Content-Encoding"]
        kept_headers = tuple((name, headers[name]) for name in passed if name in headers)
        return cls(key, status=status, body=secrets.data(body if content is None else content), headers=kept_headers)

    def document(self) -> dict:
        document: dict = {"fields": [list(field) for field in self.key]}
        if self.login is not None:
            document["login"] = "succeeded" if self.login else "failed"
            return document
        document["status"] = self.status
        if self.reply is not NOT_JSON:
            document["reply"] = self.reply
        else:
            document["reply_base64"] = base64.b64encode(self.body).decode("ascii")
            document.update({_member(name): value for name, value in self.headers})
        return document

    @classmethod
    def from_document(cls, document: object) -> Entry:
        """Raises ValueError naming what is wrong."""
        if not isinstance(document, dict):
            raise ValueError("not a JSON object")
        fields = document.get("fields")
        if not (isinstance(fields, list) and all(isinstance(field, list) and len(field) == 2
                                                 and all(isinstance(part, str) for part in field)
                                                 for field in fields)):
            raise ValueError('"fields" must be a list of [name, value] pairs of texts')
        key = tuple(tuple(field) for field in fields)
        if "login" in document:
            if document["login"] not in LOGIN_RESULTS:
                raise ValueError('"login" must be "succeeded" or "failed"')
            return cls(key, login=LOGIN_RESULTS[document["login"]])
        status = document.get("status")
        if not (type(status) is int and 100 <= status <= 599):
            raise ValueError('"status" must be an HTTP status, 100 to 599')
        if "reply" in document:
            return cls(key, status=status, reply=document["reply"])
        try:
            body = base64.b64decode(document["reply_base64"], validate=True)
        except (KeyError, TypeError, binascii.Error):
            raise ValueError('needs "reply", or "reply_base64" holding base64') from None
        headers = tuple((name, document[_member(name)]) for name in PASSED_BACK
                        if isinstance(document.get(_member(name)), str))
        return cls(key, status=status, body=body, headers=headers)

    def reply_for(self, session: str) -> RawReply:
        """The reply as a replay sends it, with the session of the request it
        answers in place of the placeholder."""
        if self.reply is not NOT_JSON:
            value = _texts_mapped(self.reply, lambda text: text.replace(SESSION_PLACEHOLDER, session))
            return RawReply.of(json.dumps(value).encode(), self.status)
        body = self.body.replace(SESSION_PLACEHOLDER.encode(), session.encode("utf-8", "surrogatepass"))
        return RawReply.of(body, self.status, self.headers)

    def answer_text(self) -> str:
        """What the plan says of it, recording or replaying: `recorded
        show_site-3f9a2c1b7d04.json`, with a status other than 200."""
        status = "" if self.login is not None or self.status == 200 else f", status {self.status}"
        return f"{RECORDED} {self.name}{status}"


def _member(header: str) -> str:
    """The member of an entry that keeps a header: `content_type`."""
    return header.lower().replace("-", "_")


# -- the directory --------------------------------------------------------------


class RecordingDirectory:
    """A recording on disk: the controller it came from and its entries, by
    the fields that chose each reply."""

    def __init__(self, path: str, controller: str, entries: list[Entry]):
        self.path = path
        self.controller = controller
        self.entries: dict[Key, Entry] = {}
        for entry in entries:
            if entry.key in self.entries:
                raise RecordingError(f"recorded replies {self._file(self.entries[entry.key].name)} and "
                                     f"{self._file(entry.name)} answer the same request")
            self.entries[entry.key] = entry

    @classmethod
    def for_replay(cls, path: str) -> RecordingDirectory | None:
        """The recording in `path`, or None when it holds no recording's index."""
        index = _read_index(path)
        if index is None:
            return None
        return cls(path, index["controller"], _read_entries(path))

    @classmethod
    def for_recording(cls, path: str, controller: str, replace_controller: bool = False) -> RecordingDirectory:
        """The directory, made if need be, ready to record from `controller`;
        the index is written at once, which proves that it can be."""
        try:
            os.makedirs(path, exist_ok=True)
        except OSError as error:
            raise RecordingError(f"cannot record into {path}: {_reason(error)}") from None
        index = _read_index(path, strict=True)
        if index is None:
            strays = _json_names(path)
            if strays:
                raise RecordingError(f"cannot record into {path}: it holds JSON files but no {INDEX_NAME} "
                                     f"(saved replies?): {', '.join(strays)}")
            entries = []
        elif index["controller"] != controller and not replace_controller:
            raise RecordingError(f"{path} holds a recording of {index['controller']}, not of {controller}: record "
                                 "into another directory, or add --replace-controller to drop it and record anew")
        elif index["controller"] != controller:
            entries = []
            for name in _json_names(path):
                if name != INDEX_NAME:
                    try:
                        _remove(os.path.join(path, name))
                    except OSError as error:
                        raise RecordingError(f"cannot remove {os.path.join(path, name)}: {_reason(error)}") from None
        else:
            entries = _read_entries(path)
        directory = cls(path, controller, entries)
        directory.write_index()
        return directory

    def find(self, key: Key) -> Entry | None:
        return self.entries.get(key)

    def keep(self, entry: Entry) -> str:
        """Writes the entry, in place of the one for the same request if there
        is one; returns its file name."""
        known = self.entries.get(entry.key)
        entry.name = known.name if known is not None else entry_name(entry.key)
        _write_json(self._file(entry.name), entry.document())
        self.entries[entry.key] = entry
        return entry.name

    def write_index(self) -> None:
        entries = sorted(self.entries.values(), key=lambda entry: entry.name)
        _write_json(self._file(INDEX_NAME), {"controller": self.controller,
                                             "entries": {entry.name: fields_text(entry.key) for entry in entries}})

    def _file(self, name: str) -> str:
        return os.path.join(self.path, name)


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


def _json_names(path: str) -> list[str]:
    try:
        names = os.listdir(path)
    except OSError as error:
        raise RecordingError(f"cannot read {path}: {_reason(error)}") from None
    return sorted(name for name in names if name.endswith(".json") and not name.startswith("."))


def _read_json(path: str) -> object:
    try:
        with open(path, "rb") as file:
            return json.loads(file.read())
    except OSError as error:
        raise RecordingError(f"cannot read {path}: {_reason(error)}") from None
    except (ValueError, RecursionError) as error:
        raise RecordingError(f"{path} is not JSON: {error}") from None


def _read_index(path: str, strict: bool = False) -> dict | None:
    """The index, or None when there is none. Unless `strict`, also None for
    an `index.json` that is no recording's index, as a saved reply of an
    action "index" is (the saved replies' own check then reads it)."""
    index_path = os.path.join(path, INDEX_NAME)
    if not os.path.lexists(index_path) or not (strict or os.path.isfile(index_path)):
        return None
    try:
        index = _read_json(index_path)
    except RecordingError:
        if not strict and os.access(index_path, os.R_OK):
            return None
        raise
    if not (isinstance(index, dict) and isinstance(index.get("controller"), str)):
        if not strict:
            return None
        raise RecordingError(f'{index_path} is not a recording\'s index: it names no "controller"')
    return index


def _read_entries(path: str) -> list[Entry]:
    entries = []
    for name in _json_names(path):
        if name == INDEX_NAME:
            continue
        file = os.path.join(path, name)
        try:
            entry = Entry.from_document(_read_json(file))
        except ValueError as problem:
            raise RecordingError(f"recorded reply {file}: {problem}") from None
        entry.name = name
        entries.append(entry)
    return entries


def _write_json(path: str, document: dict) -> None:
    """Writes the document whole or not at all: into a file of its own first,
    then renamed over `path`, so that an interruption leaves no half-written
    file. Fields and a reply's members are one to a line, to read and diff."""
    parts = []
    for name, value in document.items():
        indent = None if name == "fields" else 2
        parts.append(f"  {json.dumps(name)}: " + _json_text(value, indent).replace("\n", "\n  "))
    text = "{\n" + ",\n".join(parts) + "\n}\n"
    try:
        descriptor, temporary = tempfile.mkstemp(dir=os.path.dirname(path) or ".",
                                                 prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    except OSError as error:
        raise RecordingError(f"cannot write {path}: {_reason(error)}") from None
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(text.encode("utf-8"))
        os.replace(temporary, path)
    except BaseException as error:
        _remove(temporary)
        if isinstance(error, OSError):
            raise RecordingError(f"cannot write {path}: {_reason(error)}") from None
        raise


def _json_text(value: object, indent: int | None) -> str:
    """JSON with the texts as they read; a text that UTF-8 cannot hold (a lone
    surrogate) is written escaped."""
    text = json.dumps(value, ensure_ascii=False, indent=indent)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return json.dumps(value, indent=indent)
    return text


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


# -- forwarding ---------------------------------------------------------------


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


# -- recording ------------------------------------------------------------------


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
