"""The command-line driver in-process: options and prompts, the configuration
directory, the loop over its files, what is printed and where a failure ends
the run. Login and API calls are recorded fakes installed as module
attributes, which main looks up at each call."""

import ast
import builtins
import inspect
import io
import os
import pprint
import sys
import traceback
from pathlib import Path
from types import SimpleNamespace

import pytest

from helpers import (FAILED_ALLOCATIONS_CRASH, FREE_THREADED, IP_PROMPT, MODULE_NAME, PASSWORD_PROMPT, SOURCE_FILE,
                     BrokenConsole, lines_out_of_memory, module_entries, printed)

MAIN = f"{MODULE_NAME}.main"
DEFAULT_DIR = f"{MODULE_NAME}.get_default_config_dir"
PLAIN_FILE = "[tarvenox]\naction = list_sites\n"


class CurrentStdout:
    def write(self, text):
        return sys.stdout.write(text)


class Driver:
    """Runs main with a given command line and standard input, recording the
    calls it makes to the login, the API call and getpass, in order."""

    def __init__(self, kv, monkeypatch, tmp_path):
        self.kv = kv
        self.monkeypatch = monkeypatch
        self.calls = []
        self.results = {}  # entry name -> value to return, or exception to raise
        self.typed_password = "typed-secret"
        self.password_error = None
        self.real_login = kv.get_tarvenox_cid
        # A package directory of our own whose "config" is the default directory.
        self.package_dir = tmp_path / "package"
        self.default_dir = self.package_dir / "config"
        self.default_dir.mkdir(parents=True)
        monkeypatch.setattr(kv, "__file__", str(self.package_dir / Path(kv.__file__).name))
        monkeypatch.setattr(kv, "get_tarvenox_cid", self.login)
        monkeypatch.setattr(kv, "tarvenox_api", self.api)
        monkeypatch.setattr(kv, "getpass", SimpleNamespace(getpass=self.getpass))
        # The module's printer keeps the stdout of import time; this one
        # writes to whatever sys.stdout is when it prints.
        monkeypatch.setattr(kv, "pp", pprint.PrettyPrinter(width=200, stream=CurrentStdout()))

    def login(self, *args, **kwargs):
        self.calls.append(("login", args, kwargs))
        return "cid-of-the-test"

    def api(self, *args, **kwargs):
        self.calls.append(("api", args, kwargs))
        outcome = self.results.get(os.path.basename(args[4]), {"ran": os.path.basename(args[4])})
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    def getpass(self, *args, **kwargs):
        self.calls.append(("getpass", args, kwargs))
        if self.password_error is not None:
            raise self.password_error
        print("<getpass>", end="")
        return self.typed_password

    def api_files(self):
        return [os.path.basename(args[4]) for kind, args, _ in self.calls if kind == "api"]

    def listing(self, names):
        """Makes os.listdir answer `names` in this order."""
        self.monkeypatch.setattr(os, "listdir", lambda path: list(names))

    def run_in(self, config_dir):
        return self.run("--controller_ip", "h", "--password", "p", "--config_dir", str(config_dir))

    def run(self, *argv, stdin=""):
        self.monkeypatch.setattr(sys, "argv", ["korvalinden", *argv])
        self.monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        return self.kv.main()


@pytest.fixture
def driver(kv, monkeypatch, tmp_path):
    return Driver(kv, monkeypatch, tmp_path)


def write(directory, name, text):
    (directory / name).write_text(text)


# -- the default configuration directory ---------------------------------------------


def test_default_directory_is_beside_the_module_whatever_the_working_directory(kv, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    path = kv.get_default_config_dir()
    assert path == os.path.join(os.path.dirname(kv.__file__), "config")
    # The installed package carries the example configuration.
    assert sorted(name for name in os.listdir(path) if name.endswith(".cfg")) == [
        "01_sites.cfg", "02_site_status.cfg", "03_site_placement.cfg"]


@pytest.mark.parametrize("make_config", [lambda path: None, lambda path: path.write_text("not a directory")],
                         ids=["missing", "a-file"])
def test_default_directory_not_found(kv, monkeypatch, tmp_path, make_config):
    make_config(tmp_path / "config")
    monkeypatch.setattr(kv, "__file__", str(tmp_path / "korvalinden.so"))
    with pytest.raises(FileNotFoundError) as caught:
        kv.get_default_config_dir()
    assert str(caught.value) == "Default config directory not found: " + os.path.join(str(tmp_path), "config")
    assert module_entries(caught.value) == [(DEFAULT_DIR, 120)]


@pytest.mark.skipif(FREE_THREADED, reason=FAILED_ALLOCATIONS_CRASH)
def test_each_allocation_that_fails_names_its_statement_of_the_default_directory():
    assert lines_out_of_memory("kv.get_default_config_dir()", 'kv.__file__ = "/nowhere/korvalinden.so"') == [
        118, 119, 120]


class CollidingName(str):
    """A key of the module's dict that hashes as FileNotFoundError and, once told, fails every comparison."""

    raising = False

    def __hash__(self):
        return hash("FileNotFoundError")

    def __eq__(self, other):
        if self.raising:
            raise LookupError("compared")
        return str.__eq__(self, other)


def collide_in_the_module(kv, monkeypatch):
    name = CollidingName("another")
    monkeypatch.setitem(vars(kv), name, None)
    monkeypatch.setattr(name, "raising", True)  # undone first, before the key goes


def fail_in_builtins(kv, monkeypatch):
    def missing(name):
        raise LookupError(name)

    monkeypatch.delattr(builtins, "FileNotFoundError")
    monkeypatch.setattr(builtins, "__getattr__", missing, raising=False)


@pytest.mark.parametrize("break_lookup", [collide_in_the_module, fail_in_builtins], ids=["module-dict", "builtins"])
def test_a_failing_lookup_of_a_global_passes_through(kv, monkeypatch, tmp_path, break_lookup):
    monkeypatch.setattr(kv, "__file__", str(tmp_path / "korvalinden.so"))
    break_lookup(kv, monkeypatch)
    with pytest.raises(LookupError) as caught:
        kv.get_default_config_dir()
    monkeypatch.undo()
    assert module_entries(caught.value) == [(DEFAULT_DIR, 120)]


class NoInstance(Exception):
    def __new__(cls):
        return "no instance"


RAISED = [
    # what the replaced FileNotFoundError returns, the exception raised, its message
    (LookupError, LookupError, ""),
    (ValueError("given"), ValueError, "given"),
    (NoInstance, TypeError, f"calling {NoInstance!r} should have returned an instance of BaseException, not "
                            "<class 'str'>"),
    (int, TypeError, "raise: exception class must be a subclass of BaseException"),
    ("text", TypeError, "raise: exception class must be a subclass of BaseException"),
]


@pytest.mark.parametrize("returned, error, message", RAISED, ids=["class", "instance", "class-without-instance",
                                                                  "other-class", "no-exception"])
def test_what_the_missing_directory_raises_is_raised_as_a_raise_statement_would(kv, monkeypatch, tmp_path,
                                                                                 returned, error, message):
    monkeypatch.setattr(kv, "__file__", str(tmp_path / "korvalinden.so"))
    monkeypatch.setattr(kv, "FileNotFoundError", lambda text: returned, raising=False)
    with pytest.raises(error) as caught:
        kv.get_default_config_dir()
    assert type(caught.value) is error and str(caught.value) == message
    assert module_entries(caught.value) == [(DEFAULT_DIR, 120)]


def test_missing_default_directory_ends_the_run_after_both_prompts_and_before_login(driver, capsys):
    driver.default_dir.rmdir()
    with pytest.raises(FileNotFoundError) as caught:
        driver.run(stdin="10.0.0.1\n")
    assert str(caught.value) == f"Default config directory not found: {driver.default_dir}"
    assert module_entries(caught.value) == [(MAIN, 162), (DEFAULT_DIR, 120)]
    assert capsys.readouterr().out == IP_PROMPT + "<getpass>"
    assert [kind for kind, _, _ in driver.calls] == ["getpass"]


# -- options and prompts --------------------------------------------------------------

ALL_OPTIONS = ["--controller_ip", "10.1.1.1:8443", "--username", "ops", "--password", "given-secret"]
EMPTY_OPTIONS = ["--controller_ip=", "--username=", "--password=", "--config_dir="]


@pytest.mark.parametrize(
    "argv, stdin, prompted, login, directory",
    [
        (ALL_OPTIONS + ["--config_dir", "GIVEN"], "", False, ("10.1.1.1:8443", "ops", "given-secret"), "given"),
        ([], " 10.0.0.9 \n", True, (" 10.0.0.9 ", "admin", "typed-secret"), "default"),
        (EMPTY_OPTIONS, "10.0.0.9\n", True, ("10.0.0.9", "admin", "typed-secret"), "default"),
        (ALL_OPTIONS[2:] + ["--controller_ip="], "10.0.0.9\n", "ip", ("10.0.0.9", "ops", "given-secret"), "default"),
        (ALL_OPTIONS[:2] + ["--password", ""], "", "password", ("10.1.1.1:8443", "admin", "typed-secret"), "default"),
    ],
    ids=["all-given", "none-given", "all-empty", "empty-address", "empty-password"],
)
def test_options_prompts_and_defaults(driver, config_dir, capsys, argv, stdin, prompted, login, directory):
    write(config_dir, "probe.cfg", PLAIN_FILE)
    write(driver.default_dir, "probe.cfg", PLAIN_FILE)
    argv = [str(config_dir) if arg == "GIVEN" else arg for arg in argv]
    assert driver.run(*argv, stdin=stdin) is None

    prompts = {True: IP_PROMPT + "<getpass>", "ip": IP_PROMPT, "password": "<getpass>", False: ""}[prompted]
    assert capsys.readouterr().out == prompts + printed(None, {"ran": "probe.cfg"})
    expected_dir = str(config_dir) if directory == "given" else os.path.join(str(driver.package_dir), "config")
    expected_calls = [("login", login, {}),
                      ("api", (*login, expected_dir, os.path.join(expected_dir, "probe.cfg")), {})]
    if prompted in (True, "password"):
        expected_calls.insert(0, ("getpass", (), {"prompt": PASSWORD_PROMPT}))
    assert driver.calls == expected_calls


class FailingCommandLine:
    """Stands for argparse, its parser and the options parsed, each given, and
    fails at one step: "ArgumentParser", the add_argument of an option
    ("--username"), "parse_args", or the first or second read of an option
    ("username#2")."""

    def __init__(self, failing):
        self.failing, self.reads = failing, {}

    def fail_at(self, step):
        if step == self.failing:
            raise LookupError(step)
        return self

    def ArgumentParser(self, **keywords):  # noqa: N802 (argparse's name)
        return self.fail_at("ArgumentParser")

    def add_argument(self, option, **keywords):
        self.fail_at(option)

    def parse_args(self):
        return self.fail_at("parse_args")

    def __getattr__(self, name):
        self.reads[name] = self.reads.get(name, 0) + 1
        self.fail_at(f"{name}#{self.reads[name]}")
        return "given"


@pytest.mark.parametrize("failing, line", [
    ("ArgumentParser", 125), ("--controller_ip", 126), ("--username", 130), ("--password", 134), ("--config_dir", 138),
    ("parse_args", 142), ("controller_ip#1", 144), ("controller_ip#2", 145), ("username#1", 149), ("username#2", 150),
    ("password#1", 154), ("password#2", 155), ("config_dir#1", 159), ("config_dir#2", 160)])
def test_a_failing_step_of_the_command_line_names_its_line(driver, failing, line):
    driver.monkeypatch.setattr(driver.kv, "argparse", FailingCommandLine(failing))
    with pytest.raises(LookupError) as caught:
        driver.run()
    assert module_entries(caught.value) == [(MAIN, line)]
    assert driver.calls == []


@pytest.mark.parametrize("at_prompt, line", [("ip", 147), ("password", 157)])
def test_end_of_input_at_a_prompt_passes_through(driver, at_prompt, line):
    argv = ["--password", "p"] if at_prompt == "ip" else ["--controller_ip", "h"]
    driver.password_error = EOFError()
    with pytest.raises(EOFError) as caught:
        driver.run(*argv, stdin="")
    assert module_entries(caught.value) == [(MAIN, line)]
    assert "login" not in [kind for kind, _, _ in driver.calls]


def test_command_line_error_passes_through(driver, capsys):
    with pytest.raises(SystemExit) as caught:
        driver.run("--controller_ip", "h", "--bogus")
    assert caught.value.code == 2
    assert module_entries(caught.value) == [(MAIN, 142)]
    assert "unrecognized arguments: --bogus" in capsys.readouterr().err
    assert driver.calls == []


# -- the directory and its entries ----------------------------------------------------


@pytest.mark.parametrize("exists", [True, False], ids=["no-cfg-entry", "no-directory"])
def test_login_comes_before_the_listing(driver, config_dir, capsys, exists):
    write(config_dir, "notes.txt", PLAIN_FILE)
    if exists:
        assert driver.run_in(config_dir) is None
        assert capsys.readouterr().out == ""
    else:
        with pytest.raises(FileNotFoundError) as caught:
            driver.run_in(config_dir / "absent")
        assert module_entries(caught.value) == [(MAIN, 168)]
    assert driver.calls == [("login", ("h", "admin", "p"), {})]


class NameWithoutSuffix(str):
    def endswith(self, suffix):
        raise LookupError("no suffix")


class NameThatCannotBeJoined(str):
    def startswith(self, prefix):  # os.path.join asks whether the name is absolute
        raise LookupError("not joined")


def listing_broken_after(name):
    yield name
    raise LookupError("listing broken")


@pytest.mark.parametrize("listing, line, files_run", [
    (lambda: [NameWithoutSuffix("a.cfg")], 169, []),
    (lambda: [NameThatCannotBeJoined("a.cfg")], 170, []),
    (lambda: listing_broken_after("notes.txt"), 168, []),
    (lambda: listing_broken_after("a.cfg"), 168, ["a.cfg"])], ids=["suffix-test", "path-join", "next-entry", "entry-after-a-file"])
def test_a_failing_entry_of_the_listing_names_its_line(driver, config_dir, capsys, listing, line, files_run):
    write(config_dir, "a.cfg", PLAIN_FILE)
    driver.monkeypatch.setattr(os, "listdir", lambda path: listing())
    with pytest.raises(LookupError) as caught:
        driver.run_in(config_dir)
    assert module_entries(caught.value) == [(MAIN, line)]
    assert driver.api_files() == files_run


@pytest.mark.parametrize("relative", [False, True], ids=["absolute", "relative"])
def test_entries_run_in_listing_order_and_only_with_the_exact_suffix(driver, config_dir, monkeypatch, relative):
    names = ["b.cfg", "c.CFG", "a.cfg", "d.cfg.bak", "e.txt", "cfg", "f.Cfg", "g.cfg"]
    for name in names:
        write(config_dir, name, PLAIN_FILE)
    driver.listing(names)
    given = str(config_dir)
    if relative:
        monkeypatch.chdir(config_dir.parent)
        given = config_dir.name
    driver.run("--controller_ip", "h", "--password", "p", "--config_dir", given)
    api_args = [args for kind, args, _ in driver.calls if kind == "api"]
    assert [args[3] for args in api_args] == [given] * 3
    assert [args[4] for args in api_args] == [os.path.join(given, name) for name in ("b.cfg", "a.cfg", "g.cfg")]


# -- what is printed per file ---------------------------------------------------------

DESCRIPTIONS = [
    ("[default]\ndescription = Site names\n", "Site names"),
    ("[default]\nDESCRIPTION = Key in capitals\n", "Key in capitals"),
    ("[default]\ndescription = 100%% up\n", "100% up"),
    ("[default]\nname = site\ndescription = about %(name)s\n", "about site"),
    ("[default]\ndescription = first line\n  second line\n", "first line\nsecond line"),
    ("[default]\ndescription =\n", ""),
    ("[DEFAULT]\ndescription = from the parser's defaults\n[default]\n", "from the parser's defaults"),
    # nothing printed, and the file still runs:
    ("[default]\ndescription = 100% up\n", None),
    ("[default]\ndescription = about %(missing)s\n", None),
    ("[default]\nfilters = results\n", None),
    ("[Default]\ndescription = wrong section\n", None),
    ("[DEFAULT]\ndescription = no section default\n", None),
    ("", None),
]


@pytest.mark.parametrize("head, description", DESCRIPTIONS)
def test_description(driver, config_dir, capsys, head, description):
    write(config_dir, "one.cfg", head + PLAIN_FILE)
    driver.run_in(config_dir)
    assert capsys.readouterr().out == printed(description, {"ran": "one.cfg"})
    assert driver.api_files() == ["one.cfg"]


@pytest.mark.parametrize("columns", [150, 300])
def test_result_is_pretty_printed_200_wide_then_two_line_breaks(driver, config_dir, capsys, columns):
    value = [{"name": f"site-{index:02}", "state": "up"} for index in range(columns // 30)]
    driver.results["one.cfg"] = value
    write(config_dir, "one.cfg", "[default]\ndescription = D\n" + PLAIN_FILE)
    driver.run_in(config_dir)
    assert capsys.readouterr().out == "D\n" + pprint.pformat(value, width=200) + "\n\n\n"


class FailingParser:
    """A parser that reads the file but fails to fetch any option."""

    def __init__(self, error):
        self.error = error

    def read_file(self, handle):
        handle.read()

    def get(self, section, option):
        raise self.error


@pytest.mark.parametrize("error", [ValueError("broken"), KeyboardInterrupt()], ids=["Exception", "BaseException"])
def test_only_exceptions_of_class_exception_are_absorbed_around_the_description(driver, config_dir, capsys,
                                                                               error):
    write(config_dir, "one.cfg", PLAIN_FILE)
    driver.monkeypatch.setattr(driver.kv, "configparser", SimpleNamespace(ConfigParser=lambda: FailingParser(error)))
    if isinstance(error, Exception):
        driver.run_in(config_dir)
        assert capsys.readouterr().out == printed(None, {"ran": "one.cfg"})
    else:
        with pytest.raises(KeyboardInterrupt) as caught:
            driver.run_in(config_dir)
        assert module_entries(caught.value) == [(MAIN, 174)]
        assert driver.api_files() == []


class ConsoleGoneAtTheBlankLine(io.StringIO):
    """Standard output that fails the write of a line break right after another."""

    def write(self, text):
        if text == "\n" and self.getvalue().endswith("\n"):
            raise OSError("console gone")
        return super().write(text)


@pytest.mark.parametrize("breakage, line", [("console", 177), ("printer", 177), ("blank-line", 180)])
def test_result_printing_fails_at_its_line(driver, config_dir, monkeypatch, breakage, line):
    write(config_dir, "one.cfg", "[default]\ndescription = D\n" + PLAIN_FILE)
    if breakage == "console":
        # The description's print fails too, and that one is absorbed.
        monkeypatch.setattr(sys, "stdout", BrokenConsole())
    elif breakage == "blank-line":
        monkeypatch.setattr(sys, "stdout", ConsoleGoneAtTheBlankLine())
    else:
        monkeypatch.setattr(driver.kv, "pp", object())
    with pytest.raises((OSError, AttributeError)) as caught:
        driver.run_in(config_dir)
    assert module_entries(caught.value) == [(MAIN, line)]
    # The printer's method is fetched before the API call is made.
    assert driver.api_files() == ([] if breakage == "printer" else ["one.cfg"])


# -- where a failure ends the run -------------------------------------------------------

UNREADABLE = [
    (lambda path: path.mkdir(), IsADirectoryError),
    (lambda path: path.write_text("description = no section header\n"), "MissingSectionHeaderError"),
    (lambda path: path.write_text("[default]\n[default]\n"), "DuplicateSectionError"),
    (lambda path: path.write_text("[tarvenox]\naction = a\nAction = b\n"), "DuplicateOptionError"),
    (lambda path: path.write_bytes(b"[default]\ndescription = \xff\xfe\n"), UnicodeDecodeError),
]


@pytest.mark.parametrize("make_bad, error", UNREADABLE,
                         ids=["directory", "no-header", "twice-section", "twice-option", "undecodable"])
def test_unreadable_entry_ends_the_run_at_line_172(driver, config_dir, capsys, make_bad, error):
    write(config_dir, "good.cfg", "[default]\ndescription = Good\n" + PLAIN_FILE)
    make_bad(config_dir / "bad.cfg")
    write(config_dir, "later.cfg", PLAIN_FILE)
    driver.listing(["good.cfg", "bad.cfg", "later.cfg"])
    with pytest.raises(Exception) as caught:
        driver.run_in(config_dir)
    if isinstance(error, str):
        assert type(caught.value).__name__ == error
    else:
        assert isinstance(caught.value, error)
    assert module_entries(caught.value) == [(MAIN, 172)]
    assert capsys.readouterr().out == printed("Good", {"ran": "good.cfg"})
    assert driver.api_files() == ["good.cfg"]


def test_failure_in_the_second_of_three_files_keeps_the_first_files_output(driver, config_dir, capsys):
    for number in (1, 2, 3):
        write(config_dir, f"{number}.cfg", f"[default]\ndescription = File {number}\n" + PLAIN_FILE)
    driver.listing(["1.cfg", "2.cfg", "3.cfg"])
    driver.results["2.cfg"] = RuntimeError("controller went away")
    with pytest.raises(RuntimeError) as caught:
        driver.run_in(config_dir)
    assert module_entries(caught.value) == [(MAIN, 178)]
    assert capsys.readouterr().out == printed("File 1", {"ran": "1.cfg"}) + "File 2\n"
    assert driver.api_files() == ["1.cfg", "2.cfg"]


def test_failed_login_prints_and_exits_with_status_1_before_any_file(kv, fake_requests, driver, config_dir,
                                                                     capsys, monkeypatch):
    monkeypatch.setattr(kv, "get_tarvenox_cid", driver.real_login)
    fake_requests.replies["login"] = {"return": False, "reason": "Invalid username or password."}
    write(config_dir, "one.cfg", "[default]\ndescription = D\n" + PLAIN_FILE)
    with pytest.raises(SystemExit) as caught:
        driver.run("--controller_ip", "h", "--password", "wrong", "--config_dir", str(config_dir))
    assert caught.value.code == 1
    assert capsys.readouterr().out == "Login failed\n"
    assert module_entries(caught.value) == [(MAIN, 167), (f"{MODULE_NAME}.get_tarvenox_cid", 27)]
    assert [post["data"] for post in fake_requests.posts] == [
        [("action", "login"), ("username", "admin"), ("password", "wrong")]]
    assert driver.api_files() == []


# -- the launcher's summary of a failure ------------------------------------------------------


NAMES = {"results": [{"name": "a"}, {"name": "b"}, {"name": "c"}]}


@pytest.mark.parametrize("full_traceback, names, show, summary", [
    ("", {"results": [{"name": "a"}, {"zone": "b"}]}, None,
     "korvalinden: KeyError: 'name'\n"
     "  where: filter_results, line 50\n"
     "  file:  {dir}/names.inc, referenced by {dir}/top.cfg\n"),
    ("1", {"results": [{"name": "a"}, {"zone": "b"}]}, None, None),
    # the second post answered with no JSON: two of three done, the last one's fields as sent, session masked
    ("", NAMES, lambda data: ValueError("Expecting value") if data["site"] == "b" else {},
     "korvalinden: ValueError: Expecting value\n"
     "  where: tarvenox_api, line 104\n"
     "  file:  {dir}/top.cfg\n"
     "  done:  2 of 3 posts answered\n"
     "  last:  CID=<session-2> action=show site=b\n"),
    # the referenced file repeats too, and stops part-way: its own count, not its referrer's
    ("", lambda data: ValueError("Expecting value") if data["zone"] == "z2" else NAMES, None,
     "korvalinden: ValueError: Expecting value\n"
     "  where: tarvenox_api, line 104\n"
     "  file:  {dir}/names.inc, referenced by {dir}/top.cfg\n"
     "  done:  2 of 2 posts answered\n"
     "  last:  CID=<session-3> action=list zone=z2\n"),
    # refused before its first post: no count of posts
    ("", {"results": [{"name": {"k": 1}}]}, None,
     "korvalinden: ValueError: output reference {dir}/names.inc gave a record, not a value: {{'k': 1}}\n"
     "  where: tarvenox_api, line 95\n"
     "  file:  {dir}/top.cfg\n"),
], ids=["summary", "traceback", "repeats-stopped-part-way", "referenced-repeats-stopped", "refused-before-any-post"])
def test_launcher_names_the_running_file_and_restores_the_module(kv, fake_requests, config_dir, capsys, monkeypatch,
                                                                 full_traceback, names, show, summary):
    from korvalinden import _launcher

    write(config_dir, "top.cfg", "[tarvenox]\naction = show\nsite = output(names.inc)\n")
    # names.inc repeats its post over zones.inc only in the row whose reply depends on what was posted
    by_zone = "zone = output(zones.inc)\n" if callable(names) else ""
    write(config_dir, "names.inc", "[default]\nfilters = results, name\n[tarvenox]\naction = list\n" + by_zone)
    write(config_dir, "zones.inc", "[default]\nfilters = results, name\n[tarvenox]\naction = zones\n")
    fake_requests.replies.update(list=names, show=show or {}, zones={"results": [{"name": "z1"}, {"name": "z2"}]})
    monkeypatch.setattr(sys, "argv", ["korvalinden", "--controller_ip", "h", "--password", "p",
                                      "--config_dir", str(config_dir)])
    monkeypatch.setenv("KORVALINDEN_TRACEBACK", full_traceback)
    stood_in = ["argparse", "tarvenox_api", "get_default_config_dir", "configparser", "os", "requests", "getpass"]
    originals = [getattr(kv, name) for name in stood_in]
    with pytest.raises(SystemExit if not full_traceback else KeyError) as caught:
        _launcher.run()
    assert [getattr(kv, name) for name in stood_in] == originals
    if full_traceback:
        # as main raised it: the module left as it was, no entry of the launcher's between the module's
        entries = traceback.extract_tb(caught.value.__traceback__)
        first = next(index for index, entry in enumerate(entries) if entry.filename == SOURCE_FILE)
        assert [entry.filename for entry in entries[first:]] == [SOURCE_FILE] * 5
        return
    assert caught.value.code == 1
    hint = "  (KORVALINDEN_TRACEBACK=1 shows the full traceback)\n"
    assert capsys.readouterr().err == summary.format(dir=config_dir) + hint


# -- the type stub --------------------------------------------------------------------------


def test_stub_matches_the_module_functions(kv):
    stub = ast.parse((Path(kv.__file__).parent / "korvalinden.pyi").read_text())
    stubbed = {node.name: tuple(arg.arg for arg in node.args.args)
               for node in stub.body if isinstance(node, ast.FunctionDef)}
    names = ["get_tarvenox_cid", "filter_results", "tarvenox_api", "get_default_config_dir", "main"]
    assert stubbed == {name: tuple(inspect.signature(getattr(kv, name)).parameters) for name in names}
    assert (Path(kv.__file__).parent / "py.typed").is_file()
