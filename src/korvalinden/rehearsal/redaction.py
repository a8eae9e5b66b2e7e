"""The secrets kept out of a recording: every password forwarded and every
session id seen, replaced in what is kept by the placeholders HIDDEN and
SESSION_PLACEHOLDER."""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable

from korvalinden._fields import HIDDEN

SESSION_PLACEHOLDER = "<session>"

Fields = Iterable[tuple[str, str]]


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
        return texts_mapped(value, self.text)

    def data(self, data: bytes) -> bytes:
        for secret in sorted(self._placeholders, key=len, reverse=True):
            data = data.replace(secret.encode("utf-8", "surrogatepass"), self._placeholders[secret].encode())
        return data

    def fields(self, fields: Fields) -> list[tuple[str, str]]:
        return [(self.text(name), self.text(value)) for name, value in fields]


def texts_mapped(value: object, change: Callable[[str], str]) -> object:
    """A decoded JSON value with `change` applied to every text, keys included."""
    if isinstance(value, str):
        return change(value)
    if isinstance(value, dict):
        return {change(key): texts_mapped(item, change) for key, item in value.items()}
    if isinstance(value, list):
        return [texts_mapped(item, change) for item in value]
    return value
