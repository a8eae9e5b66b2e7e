"""The plan of a rehearsal: every request the stage got, in order, with its
form fields as it got them (the password and the session ids masked), where
its answer came from and what it was, and the configuration file that sent
it when the tool said."""

from __future__ import annotations

from dataclasses import dataclass

from korvalinden._fields import fields_text, json_text, quoted

# Where a plan line's answer came from.
BUILT_IN, SAVED, RECORDED, NOT_RECORDED, FORWARDED = (
    "built-in reply", "saved reply", "recorded", "not recorded", "forwarded")


@dataclass(frozen=True)
class PlannedRequest:
    """One request as the controller got it: its form fields in order,
    repeated names included, the password and the session ids masked; what it
    answered, in a few words that start with where the answer came from
    (`source`: RECORDED, SAVED, BUILT_IN, NOT_RECORDED, or when recording,
    FORWARDED); and the configuration file that sent it, when the tool said."""

    number: int
    fields: tuple[tuple[str, str], ...]
    answer: str
    file: str | None = None
    source: str | None = None

    @property
    def action(self) -> str | None:
        return next((value for name, value in self.fields if name == "action"), None)

    def line(self) -> str:
        """`  3 02_status.cfg: show_site CID=<session-2> site_name=site-alder  -> built-in reply`"""
        others = list(self.fields)
        if self.action is not None:
            others.remove(("action", self.action))
        sender = [f"{quoted(self.file)}:"] if self.file is not None else []
        action = quoted(self.action) if self.action is not None else "(no action)"
        head = [f"{self.number:>3}", *sender, action, fields_text(others)]
        return " ".join(part for part in head if part) + f"  -> {self.answer}"

    def json_line(self) -> str:
        fields = [list(field) for field in self.fields]
        return json_text({"request": self.number, "file": self.file, "action": self.action, "fields": fields,
                          "source": self.source, "answer": self.answer})


def plan_text(plan: list[PlannedRequest], connections: int | None = None) -> str:
    """The plan as it reads; with the number of connections the requests came
    over, when known, to show whether the tool kept its connection."""
    count = counted(len(plan), "request")
    if connections is not None:
        count += f" over {counted(connections, 'connection')}"
    return "\n".join([f"request plan: {count}", *(request.line() for request in plan)]) + "\n"


def counted(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")
