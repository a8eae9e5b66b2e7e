"""What the console command tells the operator beyond the module's own output.

Before the run's first post: the entries of the configuration directory that
will run but fail or surprise, the names skipped only for the letter case of
their suffix, and a controller address typed as a URL. The run goes on as it
would without them, in the same order.

After a failure: what the controller's reply was, when the tool could not use
it, and a section missing only by its letter case.

Each text here comes without the program's name, which the launcher puts in
front of a line of its own.
"""

from __future__ import annotations

import codecs
import configparser
import io
import json
import os
import stat
from collections.abc import Callable
from urllib.parse import urlsplit

# main's test of an entry: the name ends in exactly this.
SUFFIX = ".cfg"
HIDDEN_ENTRY = "{path} will run, though hidden (its name begins with a dot)"
DANGLING_LINK = "{path} will fail: it is a link to {target}, which does not exist"
DIRECTORY_ENTRY = "{path} will fail: it is a directory"
BYTE_ORDER_MARK = "{path} will fail: it begins with a byte-order mark; save it as UTF-8 without one"
NOT_TEXT = "{path} will fail: it is not {encoding} text ({reason} at byte {position})"
LETTER_CASE_SKIPPED = "not run, as only names ending in {suffix} in lower case run: {paths}"
ADDRESS_AS_URL = 'the controller address {typed} is not an address alone: the tool posts to {url}'
ADDRESS_ALONE = "; give {address}"
SECTION_LETTER_CASE = "section names are case-sensitive: the file has [{found}], the tool reads [{wanted}]"

# How the tool forms its endpoint from the address.
URL_PREFIX, URL_SUFFIX = "https://", "/v1/api"

# How much of a reply's body a line shows.
SHOWN_REPLY_CHARACTERS = 200
REPLY_CUT = "..."
EMPTY_REPLY = "(empty)"
NO_CONTENT_TYPE = "no Content-Type"


# -- before the first post ------------------------------------------------------


def entry_notices(config_dir: object) -> list[str]:
    """One line for each entry that main will run but that will fail or
    surprise, in the order of the listing, then one naming the entries that
    only the letter case of their suffix keeps from running."""
    try:
        names = os.listdir(config_dir)  # type: ignore[arg-type]
    except (OSError, TypeError, ValueError):
        return []  # main fails at its own listing, and says so
    notices = [notice for name in names if name.endswith(SUFFIX)
               if (notice := _entry_notice(os.path.join(config_dir, name), name)) is not None]
    other_case = [os.path.join(config_dir, name) for name in names
                  if name.lower().endswith(SUFFIX) and not name.endswith(SUFFIX)]
    if other_case:
        notices.append(LETTER_CASE_SKIPPED.format(suffix=SUFFIX, paths=", ".join(other_case)))
    return notices


def _entry_notice(path: str, name: str) -> str | None:
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        try:
            return DANGLING_LINK.format(path=path, target=os.readlink(path))
        except OSError:  # no link: the entry went since the listing
            return None
    except OSError:
        return None
    if stat.S_ISDIR(mode):
        return DIRECTORY_ENTRY.format(path=path)
    # A pipe or a device is not opened here: reading it could wait or take what main should read.
    problem = _text_problem(path) if stat.S_ISREG(mode) else None
    if problem is None and name.startswith("."):
        return HIDDEN_ENTRY.format(path=path)
    return problem


def _text_problem(path: str) -> str | None:
    """Why main cannot take the file as text, read as main reads it (the
    platform's default encoding), if it cannot."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError:
        return None  # main meets the same error, and it is named then
    if data.startswith(codecs.BOM_UTF8):
        return BYTE_ORDER_MARK.format(path=path)
    as_main_reads = io.TextIOWrapper(io.BytesIO(data))
    try:
        as_main_reads.read()
    except UnicodeDecodeError as error:
        return NOT_TEXT.format(path=path, encoding=codecs.lookup(as_main_reads.encoding).name.upper(),
                               reason=error.reason, position=error.start)
    return None


def address_notice(url: object) -> str | None:
    """When the address in the url of the tool's post is a URL or holds a
    path: what was typed and what the tool posts to."""
    if not isinstance(url, str) or not (url.startswith(URL_PREFIX) and url.endswith(URL_SUFFIX)):
        return None
    typed = url[len(URL_PREFIX):len(url) - len(URL_SUFFIX)]
    if "/" not in typed:
        return None
    line = ADDRESS_AS_URL.format(typed=json.dumps(typed, ensure_ascii=False), url=url)
    address = urlsplit(typed if "://" in typed else "//" + typed).netloc
    return line + ADDRESS_ALONE.format(address=address) if address else line


# -- after a failure ---------------------------------------------------------------


def section_letter_case(file: object, section: str) -> str | None:
    """When the file lacks the section but has one of the same name in
    another letter case: says so."""
    parser = configparser.ConfigParser()
    try:
        with open(file) as opened:  # type: ignore[call-overload]
            parser.read_file(opened)
    except (OSError, TypeError, ValueError, configparser.Error):
        return None
    found = [name for name in parser.sections() if name != section and name.lower() == section.lower()]
    return SECTION_LETTER_CASE.format(found=found[0], wanted=section) if found else None


def status_text(response) -> str:
    """`HTTP 404 Not Found`"""
    return f"HTTP {response.status_code} {response.reason or ''}".rstrip()


def content_type(response) -> str:
    return response.headers.get("Content-Type") or NO_CONTENT_TYPE


def body_text(response, mask: Callable[[str], str]) -> str:
    """The start of the reply's body on one line: the secrets that `mask`
    knows replaced, white space run together, anything unprintable escaped,
    cut at SHOWN_REPLY_CHARACTERS."""
    text = " ".join(_escaped(mask(_decoded(response))).split())
    if not text:
        return EMPTY_REPLY
    if len(text) <= SHOWN_REPLY_CHARACTERS:
        return text
    return text[:SHOWN_REPLY_CHARACTERS] + REPLY_CUT


def _decoded(response) -> str:
    """The body in the charset that its Content-Type names, else as UTF-8."""
    named = "charset" in content_type(response).lower() and response.encoding
    try:
        return (response.content or b"").decode(named or "utf-8", errors="replace")
    except LookupError:  # a charset Python does not know
        return (response.content or b"").decode("utf-8", errors="replace")


def _escaped(text: str) -> str:
    """Every character that does not print shown as its escape; white space
    kept, for the caller to run together."""
    return "".join(character if character.isprintable() or character.isspace()
                   else character.encode("unicode_escape").decode("ascii") for character in text)
