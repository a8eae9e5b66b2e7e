# Type stub of the extension module korvalinden.korvalinden, for editors and
# type checkers. Every parameter can be passed by position or by keyword; none
# has a default.

import os
import pprint
from typing import Any, Sequence, Union

_StrPath = Union[str, os.PathLike[str]]

# A decoded JSON reply of the controller: dicts, lists, strings, numbers,
# booleans and None, nested.
_Json = Any

# The module's pretty printer (width 200) that main prints results with.
pp: pprint.PrettyPrinter

def get_tarvenox_cid(controller_ip: str, username: str, password: str) -> Any:
    """Logs in and returns the session identifier (the reply's "CID" member).

    On a reply without one, prints "Login failed" and raises SystemExit.
    """

def filter_results(results: _Json, filters: Sequence[str]) -> _Json:
    """Reduces a decoded reply by a filter path: one step per entry, each a
    key or several keys joined by "&". A missing key becomes
    "FILTER_NOT_FOUND" where a step allows it."""

def tarvenox_api(
    controller_ip: str, username: str, password: str, config_dir: _StrPath, config_file: _StrPath
) -> _Json:
    """Runs the API call that one configuration file describes and returns the
    filtered reply; for an output reference, a list of
    {"object": element, "results": filtered reply}, one per element."""

def get_default_config_dir() -> str:
    """The directory "config" beside the module file; FileNotFoundError when
    it does not exist."""

def main() -> None:
    """The command-line tool: parses sys.argv, prompts for what is missing,
    logs in and runs every ".cfg" file of the configuration directory."""
