"""A recording directory: what `korvalinden-rehearse --record DIR` keeps,
and what `--replies DIR` answers from.

It holds plain files:

- one JSON file per request, named after its action and a digest of the
  fields that chose the reply, e.g. `show_site-3f9a2c1b7d04.json`: those
  fields in order (never the session field nor the password; for a login not
  the user name either), the status, and the reply as the tool reads it;
  of a login only whether it succeeded;
- `index.json`: the controller the recording came from, the fields whose
  values it keeps although their names say secret, and the requests of its
  files. The files themselves are what a replay answers from; the index
  lists them for a reader and is written when a recording starts and ends.

What it holds of secrets and sessions is the redaction's business
(korvalinden.rehearsal.redaction).

Every file is written whole or not at all, readable by its owner only.
"""

from __future__ import annotations

import base64
import binascii
import contextlib
import hashlib
import json
import os
import re
import tempfile
from collections.abc import Iterable
from dataclasses import dataclass

from korvalinden._fields import MASKED_FIELDS, fields_text
from korvalinden.rehearsal.plan import RECORDED
from korvalinden.rehearsal.redaction import Redaction, in_bytes, restored, texts_mapped
from korvalinden.rehearsal.replies import NOT_JSON, PASSED_BACK, RawReply

INDEX_NAME = "index.json"
LOGIN_RESULTS = {"succeeded": True, "failed": False}
# What makes an entry a failed one, which never takes a good one's place.
FAILED_LOGIN, ERROR_STATUS, NOT_JSON_BODY = "login failed", "status", "not JSON"

Fields = Iterable[tuple[str, str]]
Key = tuple[tuple[str, str], ...]


class RecordingError(Exception):
    """A recording directory that cannot be used, said in one line."""


def is_login(fields: Fields) -> bool:
    return dict(fields).get("action") == "login"


def request_key(fields: Fields, redaction: Redaction) -> Key:
    """The fields that chose the reply, in order, as kept: all but the session
    and the password (any letter case), and for a login the user name too;
    the secrets in them held back, the session stand-ins as placeholders."""
    fields = list(fields)
    own_session = own_session_of(fields)
    dropped = MASKED_FIELDS + (("username",) if is_login(fields) else ())
    return tuple(redaction.field(name, value, own_session) for name, value in fields if name.lower() not in dropped)


def own_session_of(fields: Fields) -> str | None:
    """The session a request was sent with: its field CID, in any letter case."""
    return next((value for name, value in fields if name.lower() == "cid"), None)


def entry_name(key: Key) -> str:
    """`show_site-3f9a2c1b7d04.json`: the action, as a file name can hold it,
    and the first 12 hex digits of the SHA-256 of the fields."""
    action = dict(key).get("action")
    stem = re.sub(r"[^A-Za-z0-9_-]+", "_", action)[:40].strip("_") if action else ""
    digest = hashlib.sha256(json.dumps(key, ensure_ascii=False).encode("utf-8", "surrogatepass")).hexdigest()
    return f"{stem or 'request'}-{digest[:12]}.json"


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
                 redaction: Redaction, own_session: str | None) -> Entry:
        """The entry of a reply, given what the tool reads of it (tool_reading),
        held back as `redaction` says for a request sent with `own_session`."""
        content, value = reading
        if value is not NOT_JSON:
            return cls(key, status=status, reply=redaction.value(value, own_session))
        # Content-Encoding stays only with a body kept still encoded.
        passed = [name for name in PASSED_BACK if content is None or name != "Content-Encoding"]
        kept_headers = tuple((name, redaction.text(headers[name], own_session)) for name in passed if name in headers)
        return cls(key, status=status, body=redaction.data(body if content is None else content, own_session),
                   headers=kept_headers)

    def failure(self) -> str | None:
        """FAILED_LOGIN, ERROR_STATUS (not 2xx) or NOT_JSON_BODY; None for a
        successful login or a 2xx JSON reply."""
        if self.login is not None:
            return None if self.login else FAILED_LOGIN
        if not 200 <= self.status <= 299:
            return ERROR_STATUS
        return NOT_JSON_BODY if self.reply is NOT_JSON else None

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
        """The reply as a replay sends it: the session of the request it
        answers, and the replay's stand-ins, where the placeholders stand."""
        if self.reply is not NOT_JSON:
            value = texts_mapped(self.reply, lambda text: restored(text, session))
            return RawReply.of(json.dumps(value).encode(), self.status)
        return RawReply.of(in_bytes(lambda text: restored(text, session))(self.body), self.status, self.headers)

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
    """A recording on disk: the controller it came from, the fields it keeps
    although their names say secret, and its entries, by the fields that
    chose each reply."""

    def __init__(self, path: str, controller: str, entries: list[Entry], kept_fields: Iterable[str] = ()):
        self.path = path
        self.controller = controller
        self.kept_fields = sorted({name.lower() for name in kept_fields})
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
        return cls(path, index["controller"], _read_entries(path), index["kept_fields"])

    @classmethod
    def for_recording(cls, path: str, controller: str, replace_controller: bool = False,
                      kept_fields: Iterable[str] = ()) -> RecordingDirectory:
        """The directory, made if need be, ready to record from `controller`;
        the index is written at once, which proves that it can be."""
        kept_fields = sorted({name.lower() for name in kept_fields})
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
        elif index["kept_fields"] != kept_fields:
            # Its entries would answer no request of this recording's, nor this one's of its.
            raise RecordingError(f"{path} was recorded keeping the fields {', '.join(index['kept_fields']) or 'none'}"
                                 f", not {', '.join(kept_fields) or 'none'}: record with the same --keep-field, or "
                                 "into another directory")
        else:
            entries = _read_entries(path)
        directory = cls(path, controller, entries, kept_fields)
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
        _write_json(self._file(INDEX_NAME), {"controller": self.controller, "kept_fields": self.kept_fields,
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
    kept = index.get("kept_fields", [])  # none in a recording older than the option
    if not (isinstance(kept, list) and all(isinstance(name, str) for name in kept)):
        raise RecordingError(f'{index_path}: "kept_fields" must be a list of field names')
    index["kept_fields"] = sorted({name.lower() for name in kept})
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
