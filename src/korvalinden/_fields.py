"""How a request's form fields are shown, in the rehearsal's plan and in the
summary of a run that stopped part-way: in the order sent, the password and
the session ids masked, a value that would not read unambiguously on a line
of name=value pairs quoted."""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator, Mapping

# Matched in any letter case.
MASKED_FIELDS = ("cid", "password")
HIDDEN = "<hidden>"
NOT_A_SESSION = "<not-a-session>"

Fields = Iterable[tuple[str, str]]


def masked(fields: Fields, session_numbers: Mapping[str, int]) -> Iterator[tuple[str, str]]:
    """The fields with the password hidden and each session id replaced by
    the number of the login that issued it, `<session-N>`."""
    for name, value in fields:
        if name.lower() not in MASKED_FIELDS:
            yield name, value
        elif name.lower() == "password":
            yield name, HIDDEN
        elif value in session_numbers:
            yield name, f"<session-{session_numbers[value]}>"
        else:
            yield name, NOT_A_SESSION


def fields_text(fields: Fields) -> str:
    """`CID=<session-2> site_name="site alder"`"""
    return " ".join(f"{name}={quoted(value)}" for name, value in fields)


def quoted(value: str) -> str:
    """A value as it reads unambiguously on a line of name=value pairs."""
    if value and not any(character.isspace() or character == '"' for character in value):
        return value
    return json.dumps(value, ensure_ascii=False)
