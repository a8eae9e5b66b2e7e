"""What the console command learns of a run while `main` runs it.

The module says nothing of the files it runs, but it looks up its globals at
every use (`tarvenox_api`, `get_default_config_dir`, `configparser`, `os`,
`requests`). For the length of a run the launcher puts stand-ins there that
call the originals with the same arguments and return what they return, and
note on the way:

- which configuration files' calls are under way, outermost first, and those
  that were when a failure left a call (`tarvenox_api`);
- which file `main` is reading for its description (`configparser`: the
  parser that main makes while no call is under way), so that a failure to
  open, decode or parse it names the file;
- for a file that posts once per element of its referenced file's result,
  how many elements there are, how many of its posts were answered and what
  the last answered one sent (`requests`);
- the sessions the logins gave, to show a session id as the plan does;
- which directory `main` listed and how many files it ran (`os.listdir`,
  `tarvenox_api`), and when it took the default directory
  (`get_default_config_dir`);
- which directory `main` will run, as given (`argparse`) or the default, and
  the run's first post before it is sent, so that the launcher can say what
  it sees before anything reaches the controller;
- the last reply and the last login's, to show why the tool could not use
  them, and the passwords sent, to keep them out of what is shown.

Asked to (`name_files`), each post of a file's call carries the file's name
in the header FILE_HEADER, for the rehearsal's plan; relative to the
configuration directory when it lies there.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from types import ModuleType
from urllib.parse import parse_qsl, quote, urlencode

from korvalinden._fields import HIDDEN, fields_text, masked

# Read by the rehearsal's controller only; see NAME_FILES_VARIABLE in the launcher.
FILE_HEADER = "Korvalinden-File"


class StandIn:
    """Stands in for a module or object: the attributes given, and every
    other one looked up in the original at each use."""

    def __init__(self, original, **attributes):
        self._original = original
        self.__dict__.update(attributes)

    def __getattr__(self, name: str):
        return getattr(self._original, name)

    def __repr__(self) -> str:
        return f"<{self._original!r}, observed by the console command>"


@contextlib.contextmanager
def standing_in(module: ModuleType, stand_ins: dict[str, object]) -> Iterator[None]:
    """Puts the stand-ins in place of the module's attributes of the same
    names for the block, and the originals back after it, however it ends."""
    originals = {name: getattr(module, name) for name in stand_ins}
    for name, stand_in in stand_ins.items():
        setattr(module, name, stand_in)
    try:
        yield
    finally:
        for name, original in originals.items():
            setattr(module, name, original)


@dataclass(eq=False)
class RunningCall:
    """One `tarvenox_api` call under way. Once its referenced file has run,
    its posts are one per element of that file's result."""

    file: object
    config_dir: object
    repeating: bool = False
    elements: int | None = None  # None: a result without a length
    posted: int = 0
    answered: int = 0
    last_answered: str | None = None  # the form body of the last answered post

    def referenced_file_ran(self, result: object) -> None:
        self.repeating = True
        try:
            self.elements = len(result)  # type: ignore[arg-type]
        except Exception:  # noqa: BLE001 (no length: the count stays unknown)
            self.elements = None

    def shown_name(self) -> str:
        """The file relative to the configuration directory when it lies
        there (`02_sites.cfg`, as an output reference names it), else as given."""
        try:
            relative = os.path.relpath(self.file, self.config_dir)  # type: ignore[arg-type]
        except (TypeError, ValueError):
            return str(self.file)
        return str(self.file) if relative == os.pardir or relative.startswith(os.pardir + os.sep) else relative


# What main reads for a description before it opens the file: the parser is
# made, the file's name not yet known.
_OPENING = object()


class RunObserver:
    def __init__(self, module: ModuleType, name_files: bool = False,
                 on_default_directory: Callable[[str], None] | None = None,
                 before_first_post: Callable[[object, object], None] | None = None):
        self._module = module
        self._name_files = name_files
        self._on_default_directory = on_default_directory
        self._before_first_post = before_first_post  # called with the post's url and the directory main runs
        self._stack: list[RunningCall] = []
        self._at_failure: tuple[BaseException, tuple[RunningCall, ...]] | None = None
        self._reading: object = None  # the file main is reading, _OPENING, or None
        self.sessions: dict[str, int] = {}  # session id -> number of the login that gave it
        self.listed: object = None  # the directory main listed
        self.files_run = 0  # the files main called tarvenox_api for
        self.config_dir: object = None  # the directory main runs, once known
        self._posts = 0
        self.last_reply = None  # the response to the last post
        self.last_login_reply = None
        self._passwords: set[str] = set()

    @contextlib.contextmanager
    def observed(self) -> Iterator[None]:
        module = self._module
        with standing_in(module, {
            "argparse": StandIn(module.argparse, ArgumentParser=self._argument_parser(module.argparse)),
            "tarvenox_api": self._tarvenox_api(module.tarvenox_api),
            "get_default_config_dir": self._get_default_config_dir(module.get_default_config_dir),
            "configparser": StandIn(module.configparser, ConfigParser=self._config_parser(module.configparser)),
            "os": StandIn(module.os, listdir=self._listdir(module.os.listdir)),
            "requests": StandIn(module.requests, post=self._post(module.requests.post)),
        }):
            yield

    def calls_at(self, failure: BaseException) -> tuple[RunningCall, ...]:
        """The calls under way when the failure left the innermost one,
        outermost first; or the file main was reading when it failed."""
        if self._at_failure is not None and self._at_failure[0] is failure:
            return self._at_failure[1]
        reading = self._reading
        if reading is _OPENING:
            reading = getattr(failure, "filename", None)  # the open failed: OSError names its path
        return () if reading is None else (RunningCall(reading, None),)

    def fields_text(self, body: str) -> str:
        """A post's form body as the plan shows its fields."""
        return fields_text(masked(parse_qsl(body, keep_blank_values=True), self.sessions))

    def masked_text(self, text: str) -> str:
        """The text with every password sent and every session given masked, as in a post's fields."""
        secrets = [(password, HIDDEN) for password in self._passwords]
        secrets += [(session, f"<session-{number}>") for session, number in self.sessions.items()]
        for secret, mask in sorted(secrets, key=lambda pair: -len(pair[0])):
            if secret:
                text = text.replace(secret, mask)
        return text

    # -- the stand-ins ----------------------------------------------------

    def _tarvenox_api(self, original):
        def tarvenox_api(*args, **kwargs):
            caller = self._stack[-1] if self._stack else None
            call = RunningCall(_argument(args, kwargs, 4, "config_file"), _argument(args, kwargs, 3, "config_dir"))
            self.files_run += caller is None
            self._stack.append(call)
            try:
                result = original(*args, **kwargs)
            except BaseException as failure:
                # The innermost call sees it first; the calls around it pass it on.
                if self._at_failure is None or self._at_failure[0] is not failure:
                    self._at_failure = (failure, tuple(self._stack))
                raise
            finally:
                self._stack.pop()
            if caller is not None:
                caller.referenced_file_ran(result)
            return result

        return tarvenox_api

    def _argument_parser(self, argparse_module):
        def argument_parser(*args, **kwargs):
            parser = argparse_module.ArgumentParser(*args, **kwargs)
            parse_args = parser.parse_args

            def parsed(*args, **kwargs):
                options = parse_args(*args, **kwargs)
                # Empty, main takes the default: get_default_config_dir says which.
                self.config_dir = getattr(options, "config_dir", None) or None
                return options

            parser.parse_args = parsed
            return parser

        return argument_parser

    def _get_default_config_dir(self, original):
        def get_default_config_dir(*args, **kwargs):
            directory = original(*args, **kwargs)
            self.config_dir = directory
            if self._on_default_directory is not None:
                self._on_default_directory(directory)
            return directory

        return get_default_config_dir

    def _config_parser(self, configparser_module):
        def config_parser(*args, **kwargs):
            parser = configparser_module.ConfigParser(*args, **kwargs)
            if not self._stack:
                # main's own, for a description: the file is opened next.
                self._reading = _OPENING
                parser.read_file = self._read_file(parser.read_file)
            return parser

        return config_parser

    def _read_file(self, original):
        def read_file(file, *args, **kwargs):
            self._reading = getattr(file, "name", None)
            original(file, *args, **kwargs)
            self._reading = None

        return read_file

    def _listdir(self, original):
        def listdir(*args, **kwargs):
            if not self._stack:
                self.listed = _argument(args, kwargs, 0, "path")
            return original(*args, **kwargs)

        return listdir

    def _post(self, original):
        def post(*args, **kwargs):
            call = self._stack[-1] if self._stack else None
            if self._name_files and call is not None:
                kwargs["headers"] = {**(kwargs.get("headers") or {}), FILE_HEADER: quote(call.shown_name())}
            repeating = call if call is not None and call.repeating else None
            self._posts += 1
            if self._posts == 1 and self._before_first_post is not None:
                self._before_first_post(_argument(args, kwargs, 0, "url"), self.config_dir)
            if repeating:
                repeating.posted += 1
            data = kwargs.get("data")
            login = isinstance(data, dict) and data.get("action") == "login"
            if login and isinstance(data.get("password"), str):
                self._passwords.add(data["password"])
            response = original(*args, **kwargs)
            self.last_reply = response
            if repeating:
                repeating.answered += 1
                repeating.last_answered = _sent_body(response, data)
            if login:
                self.last_login_reply = response
                self._note_session(response)
            return response

        return post

    def _note_session(self, response) -> None:
        try:
            session = str(response.json()["CID"])
        except Exception:  # noqa: BLE001 (no session in it: the login fails in the module as it would)
            return
        self.sessions.setdefault(session, len(self.sessions) + 1)


def _argument(args: tuple, kwargs: dict, index: int, name: str) -> object:
    return args[index] if len(args) > index else kwargs.get(name)


def _sent_body(response, data) -> str:
    """The form body as it went out: the prepared request's own, or, for a
    response without one, the data encoded as a form."""
    body = getattr(getattr(response, "request", None), "body", None)
    if isinstance(body, bytes):
        return body.decode("utf-8", errors="replace")
    if isinstance(body, str):
        return body
    return urlencode(data, doseq=True) if isinstance(data, dict) else ""
