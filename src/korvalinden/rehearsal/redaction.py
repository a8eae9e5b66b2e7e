"""What a recording keeps out of what it writes, and the session stand-ins
that let a replay answer byte for byte.

Secrets are known by value and by name. By value: every password the
operator typed, every session id a reply carried (a login's, and any member
CID of a reply, at any depth) and the value of every secret field; each is
replaced wherever it appears in what is kept, in every form it travels in:
as typed, percent- or form-encoded, JSON-escaped, inside base64. By name: the
value of every form field whose name says secret (SECRET_NAME_PARTS, in any
letter case, also within a longer name), unless the operator keeps it.

A secret replaces whole values or whole words, never part of a longer word:
one of SEARCHED_LENGTH characters or more is searched for inside texts, where
no word character (a letter, a digit, _) may touch it; a shorter one is
replaced only where it is a whole value (a form field's value, a JSON
string), as inside texts it would be found in words that merely hold it.

The tool never sees a controller's real session id while recording: the
recorder hands it stand-ins, `rehearsal-session-N` for the session of the
run's N-th login and `rehearsal-other-session-M` for any other session a
reply carried, and translates them on the way to the controller and back.
What is kept holds placeholders in their place: SESSION_PLACEHOLDER for the
session of the request that a reply answers, `<session-N>` and
`<other-session-M>` for the others. A replay hands out the same stand-ins in
the same order and puts them back where the placeholders stand.
"""

from __future__ import annotations

import base64
import binascii
import re
from collections.abc import Callable, Iterable, Iterator
from urllib.parse import quote_plus

from korvalinden._fields import HIDDEN

SECRET_NAME_PARTS = ("password", "pass", "passwd", "secret", "token", "key", "apikey", "psk", "community")
SEARCHED_LENGTH = 8
SESSION_PLACEHOLDER = "<session>"
STAND_IN = "rehearsal-session-{}"
OTHER_STAND_IN = "rehearsal-other-session-{}"
_STAND_IN = re.compile(r"(?<![\w-])rehearsal-(other-)?session-([0-9]+)(?![0-9])")
_PLACEHOLDER = re.compile(r"<session>|<session-([0-9]+)>|<other-session-([0-9]+)>")
# A word that may be base64, standard or URL-safe, long enough to hold a searched secret.
_BASE64_WORD = re.compile(r"(?<![\w+/=-])[\w+/-]{11,}={0,2}(?![\w+/=-])", re.ASCII)
# Where a secret that starts with a word character may start: after no word
# character, or right after an escape that ends in one.
_WORD_START = r"(?:(?<!\w)|(?<=%[0-9A-Fa-f]{2})|(?<=\\u[0-9A-Fa-f]{4})|(?<=\\[bfnrt]))"
_JSON_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r",
                 "\t": "\\t"}

Fields = Iterable[tuple[str, str]]


def says_secret(name: str) -> bool:
    lowered = name.lower()
    return any(part in lowered for part in SECRET_NAME_PARTS)


def texts_mapped(value: object, change: Callable[[str], str]) -> object:
    """A decoded JSON value with `change` applied to every text, keys included."""
    if isinstance(value, str):
        return change(value)
    if isinstance(value, dict):
        return {change(key): texts_mapped(item, change) for key, item in value.items()}
    if isinstance(value, list):
        return [texts_mapped(item, change) for item in value]
    return value


def carried_sessions(value: object) -> Iterator[str]:
    """The session ids a decoded reply carries: the text of every member CID (any letter case), at any depth."""
    if isinstance(value, dict):
        for key, item in value.items():
            if isinstance(key, str) and key.lower() == "cid" and isinstance(item, str):
                yield item
            else:
                yield from carried_sessions(item)
    elif isinstance(value, list):
        for item in value:
            yield from carried_sessions(item)


# -- finding a text in every form it travels in -----------------------------------


def _character_forms(character: str, raw_forms: Iterable[str]) -> str:
    """A pattern for one character of a secret, as typed or escaped. A letter
    or digit of ASCII stands as it is: no encoder escapes it."""
    if character.isascii() and character.isalnum():
        return character
    forms = [re.escape(form) for form in raw_forms]
    forms.append("".join(f"%(?i:{byte:02x})" for byte in character.encode("utf-8", "surrogatepass")))
    units = character.encode("utf-16-be", "surrogatepass")
    forms.append("".join(rf"\\u(?i:{units[index:index + 2].hex()})" for index in range(0, len(units), 2)))
    if character in _JSON_ESCAPES:
        forms.append(re.escape(_JSON_ESCAPES[character]))
    if character == " ":
        forms.append(r"\+")
    return "(?:" + "|".join(forms) + ")"


def _forms(secret: str, in_bytes: bool) -> str:
    """A pattern for the secret in every form, as text; `in_bytes`: as a body's
    bytes read one character a byte (Latin-1), in UTF-8 or in Latin-1."""
    if not in_bytes:
        return "".join(_character_forms(character, [character]) for character in secret)
    parts = []
    for character in secret:
        as_utf8 = character.encode("utf-8", "surrogatepass").decode("latin-1")
        parts.append(_character_forms(character, {as_utf8, character} if ord(character) < 256 else {as_utf8}))
    return "".join(parts)


def _bounded(secret: str, forms: str) -> str:
    """The forms, where no word character touches them."""
    start = _WORD_START if re.match(r"\w", secret[0]) else ""
    end = r"(?!\w)" if re.match(r"\w", secret[-1]) else ""
    return start + forms + end


def _base64_decoded(word: str) -> bytes | None:
    alphabet = b"-_" if ("-" in word or "_" in word) else None
    word = word.rstrip("=")
    try:
        return base64.b64decode(word + "=" * (-len(word) % 4), altchars=alphabet, validate=True)
    except (binascii.Error, ValueError):
        return None


class Replacements:
    """Texts that must not pass, each with what takes its place, found in
    every form and replaced whole (see the module's description)."""

    def __init__(self):
        self._replacement: dict[str, str] = {}
        self._compiled: _Compiled | None = None

    def add(self, secret: str, replacement: str) -> bool:
        """False for the empty text and for one known already."""
        if not secret or secret in self._replacement:
            return False
        self._replacement[secret] = replacement
        self._compiled = None
        return True

    def text(self, text: str) -> str:
        """The text with every secret replaced: a whole value that is one, in any
        form; each searched secret wherever it stands as a whole word."""
        if not self._replacement:
            return text
        whole = self._whole(text)
        return whole if whole is not None else self._searched(text, in_bytes=False)

    def value(self, value: object) -> object:
        """A decoded JSON value with the secrets replaced in every text, keys included."""
        return texts_mapped(value, self.text) if self._replacement else value

    def data(self, data: bytes) -> bytes:
        """Bytes of a body with the secrets replaced, in UTF-8 or in Latin-1."""
        if not self._replacement:
            return data
        try:
            whole = self._whole(data.decode("utf-8"))
        except UnicodeDecodeError:
            whole = None
        if whole is not None:
            return whole.encode("utf-8")
        return in_bytes(lambda text: self._searched(text, in_bytes=True))(data)

    def _whole(self, text: str) -> str | None:
        compiled = self._compile()
        if text in self._replacement:
            return self._replacement[text]
        if len(text) >= 4 and (decoded := _base64_decoded(text)) in compiled.by_bytes:
            return compiled.by_bytes[decoded]
        found = compiled.whole.fullmatch(text)
        return compiled.replacement(found) if found else None

    def _searched(self, text: str, in_bytes: bool) -> str:
        compiled = self._compile()
        if not compiled.searched:
            return text
        pattern = compiled.in_bytes if in_bytes else compiled.in_text
        if any(needle in text for needle in compiled.needles):
            text = pattern.sub(compiled.replacement, text)
        return _BASE64_WORD.sub(lambda word: self._in_base64(word[0], compiled), text)

    @staticmethod
    def _in_base64(word: str, compiled: _Compiled) -> str:
        decoded = _base64_decoded(word)
        found = compiled.in_bytes.search(decoded.decode("latin-1")) if decoded else None
        return compiled.replacement(found) if found else word

    def _compile(self) -> _Compiled:
        if self._compiled is None:
            self._compiled = _Compiled(self._replacement)
        return self._compiled


class _Compiled:
    """The patterns of a set of secrets: each secret its own group `sN`, the
    longest first, so that a secret holding another is replaced whole."""

    def __init__(self, replacement: dict[str, str]):
        self.secrets = sorted(replacement, key=len, reverse=True)
        self.replacements = [replacement[secret] for secret in self.secrets]
        self.searched = [index for index, secret in enumerate(self.secrets) if len(secret) >= SEARCHED_LENGTH]
        self.whole = self._alternatives(range(len(self.secrets)), lambda secret: _forms(secret, False))
        self.in_text = self._alternatives(self.searched, lambda secret: _bounded(secret, _forms(secret, False)))
        self.in_bytes = self._alternatives(self.searched, lambda secret: _bounded(secret, _forms(secret, True)))
        self.by_bytes = {secret.encode("utf-8", "surrogatepass"): replacement[secret] for secret in self.secrets}
        # What a text must hold to hold a searched secret in any of its forms:
        # its longest run of ASCII letters and digits, which no encoder escapes.
        self.needles = [max(re.findall("[A-Za-z0-9]*", self.secrets[index]), key=len) for index in self.searched]

    def _alternatives(self, indexes, forms: Callable[[str], str]) -> re.Pattern:
        return re.compile("|".join(f"(?P<s{index}>{forms(self.secrets[index])})" for index in indexes) or "(?!)")

    def replacement(self, found: re.Match) -> str:
        return self.replacements[int(found.lastgroup[1:])]


# -- sessions -----------------------------------------------------------------------


def placeholders(text: str, own_session: str | None) -> str:
    """The stand-ins in a text as kept: the request's own session, the others by number."""
    def placeholder(found: re.Match) -> str:
        if found[0] == own_session:
            return SESSION_PLACEHOLDER
        return f"<other-session-{found[2]}>" if found[1] else f"<session-{found[2]}>"
    return _STAND_IN.sub(placeholder, text)


def restored(text: str, own_session: str) -> str:
    """The placeholders in a kept text as a replay hands the stand-ins out."""
    def stand_in(found: re.Match) -> str:
        if found[1] is not None:
            return STAND_IN.format(found[1])
        return OTHER_STAND_IN.format(found[2]) if found[2] is not None else own_session
    return _PLACEHOLDER.sub(stand_in, text)


def in_bytes(change: Callable[[str], str]) -> Callable[[bytes], bytes]:
    """A change of ASCII texts made to bytes, whatever else they hold."""
    return lambda data: change(data.decode("latin-1")).encode("latin-1", "replace")


class StandIns:
    """The sessions of a recording: the stand-in the tool sees in place of
    each real session id, and the way back."""

    def __init__(self):
        self.for_tool = Replacements()  # real -> stand-in
        self._real: dict[str, str] = {}  # stand-in -> real
        self._logins = self._others = 0

    def login(self, real: str) -> str:
        """The stand-in for the session of a login."""
        if real not in self._real.values():
            self._logins += 1
            self._map(real, STAND_IN.format(self._logins))
        return next(stand_in for stand_in, known in self._real.items() if known == real)

    def carried(self, real: str) -> None:
        """Gives a session that a reply or a request carried a stand-in, if it has none."""
        if real not in self._real.values() and not _STAND_IN.fullmatch(real):
            self._others += 1
            self._map(real, OTHER_STAND_IN.format(self._others))

    def _map(self, real: str, stand_in: str) -> None:
        self._real[stand_in] = real
        self.for_tool.add(real, stand_in)

    def to_controller(self, body: bytes) -> bytes:
        """A form-encoded request body with the real sessions in place of the stand-ins."""
        return in_bytes(lambda text: _STAND_IN.sub(
            lambda found: quote_plus(self._real[found[0]]) if found[0] in self._real else found[0], text))(body)


# -- a recording's redaction ---------------------------------------------------------


class Redaction:
    """What a recording and its replay hold back: the values of the fields
    that it hides by name (the password always; others whose names say secret
    unless in `kept_fields`), every secret learned, replaced by HIDDEN, and
    the session stand-ins, replaced by placeholders."""

    def __init__(self, kept_fields: Iterable[str] = ()):
        self.kept_fields = frozenset(name.lower() for name in kept_fields)
        self.secrets = Replacements()

    def hides_field(self, name: str) -> bool:
        lowered = name.lower()
        return lowered == "password" or (says_secret(lowered) and lowered not in self.kept_fields)

    def learn(self, fields: Fields) -> list[str]:
        """Learns the values of the fields it hides; returns the names of the
        new ones too short to be searched for inside texts."""
        return [name for name, value in fields
                if self.hides_field(name) and self.secrets.add(value, HIDDEN) and len(value) < SEARCHED_LENGTH]

    def field(self, name: str, value: str, own_session: str | None) -> tuple[str, str]:
        return self.text(name, own_session), HIDDEN if self.hides_field(name) else self.text(value, own_session)

    def text(self, text: str, own_session: str | None) -> str:
        return placeholders(self.secrets.text(text), own_session)

    def value(self, value: object, own_session: str | None) -> object:
        return texts_mapped(value, lambda text: self.text(text, own_session))

    def data(self, data: bytes, own_session: str | None) -> bytes:
        return in_bytes(lambda text: placeholders(text, own_session))(self.secrets.data(data))
