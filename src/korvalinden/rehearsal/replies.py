"""What the stage answers from, and how the tool reads a reply: the built-in
sites, replies saved one JSON file per action, and raw replies that go out
exactly as they are."""

from __future__ import annotations

import io
import json
import os

import requests
import urllib3

JSON_HEADERS = (("Content-Type", "application/json"),)
# Of a controller's reply headers, those that tell the tool how to read the
# body. Not Set-Cookie: the tool sends no cookie back with a later post.
# Not Location: a redirect would take the tool past the recording, to the
# controller or to a path the recording does not serve.
PASSED_BACK = ("Content-Type", "Content-Encoding")

# A site sits in a zone and runs at a tier; tags are optional.
SITES = [
    {"name": "site-alder", "zone": "vellmark", "tier": "stennel", "tags": {"env": "prod"}},
    {"name": "site-brenna", "zone": "osterwick", "tier": "quorrin"},
    {"name": "site-cobble", "zone": "nordhal", "tier": "brakko", "tags": {"env": "lab"}},
]


def site_details(sites: list[dict], index: int) -> dict:
    """The detail record that show_site answers for sites[index]."""
    name = sites[index]["name"]
    return {
        "name": name,
        "state": "up",
        "links": 2 + index,
        "uptime_hours": 100 * (index + 1),
        "peers": [other["name"] for other in sites if other["name"] != name],
    }


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


def json_problem(document: bytes) -> str | None:
    """Why a saved reply is no JSON document (the decoder's message), or None."""
    try:
        json.loads(document)
    except (ValueError, RecursionError) as error:
        return str(error)
    return None


class SavedReplies:
    """A directory of saved replies: an action X is answered with the file
    X.json there, read at each request so that it can be edited while the
    stage serves. login is always the stage's own."""

    def __init__(self, path: str | os.PathLike):
        self.path = path

    def actions(self) -> list[str]:
        return sorted(name[:-len(".json")] for name in os.listdir(self.path)
                      if name.endswith(".json") and name != "login.json"
                      and os.path.isfile(os.path.join(self.path, name)))

    def problems(self) -> list[str]:
        """One line for every saved reply that is not JSON: its path and the decoder's message."""
        problems = []
        for action in self.actions():
            problem = json_problem(self._read(action))
            if problem is not None:
                problems.append(f"{self._path(action)} is not JSON: {problem}")
        return problems

    def find(self, action: str | None) -> RawReply | None:
        # Only a file of the directory itself: an action is a name, never a
        # path that leads elsewhere.
        if action is None or action not in self.actions():
            return None
        return self._read(action)

    def _path(self, action: str) -> str:
        return os.path.join(self.path, action + ".json")

    def _read(self, action: str) -> RawReply:
        with open(self._path(action), "rb") as saved:
            return RawReply(saved.read())


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
