"""How a request's form fields are shown, in the rehearsal's plan and in the
summary of a run that stopped part-way: in the order sent, the password and
the session ids masked, a value that would not read unambiguously on a line
of name=value pairs quoted, and no control character written as it is."""

from __future__ import annotations

import json
import re
from collections.abc import Iterable, Iterator, Mapping

# Matched in any letter case.
MASKED_FIELDS = ("cid", "password")
HIDDEN = "<hidden>"
NOT_A_SESSION = "<not-a-session>"
# C0, DEL and C1. json.dumps escapes C0 alone of them where it keeps other
# characters as they are.
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")

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
    return " ".join(f"{quoted(name)}={quoted(value)}" for name, value in fields)


def quoted(value: str) -> str:
    """A value as it reads unambiguously on a line of name=value pairs."""
    if value and not CONTROL.search(value) and not any(character.isspace() or character == '"' for character in value):
        return value
    return json_text(value)


def json_text(value: object) -> str:
    """JSON with the texts as they read, but every control character escaped,
    so that none reaches a terminal or a file as it is."""
    return CONTROL.sub(lambda found: f"\\u{ord(found[0]):04x}", json.dumps(value, ensure_ascii=False))
