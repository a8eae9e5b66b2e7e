"""The tool as a user runs it: the console script and `python -m korvalinden`
in real processes, with real standard input, against the simulated controller
over HTTPS."""

import contextlib
import itertools
import json
import math
import os
import pty
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import requests

from helpers import (IP_PROMPT, PASSWORD_PROMPT, PagesController, answer_to, ending_connections, printed,
                     tls_connection, write_files)
from korvalinden.rehearsal.controller import SimulatedController
from korvalinden.rehearsal.plan import PlannedRequest, plan_text
from korvalinden.rehearsal.replies import SITES, site_details
from korvalinden.rehearsal.serving import HANDSHAKE_TIMEOUT_SECONDS, MAX_BODY_BYTES, Limits

ENTRY_POINTS = {
    "console-script": [str(Path(sys.executable).with_name("korvalinden"))],
    "python-m": [sys.executable, "-m", "korvalinden"],
}


def run_tool(command, *args, stdin="", env=None, cwd=None):
    # A new session has no controlling terminal, so getpass cannot open
    # /dev/tty and reads the password from standard input, as in a pipeline.
    return subprocess.run([*command, *args], input=stdin, capture_output=True, text=True, timeout=60,
                          start_new_session=True, env={**os.environ, **(env or {})}, cwd=cwd)


def start_tool(command, *args):
    """The tool running, its three streams pipes of ours, in a session of its own, with SIGINT at its
    default as from a terminal, also when this test run ignores it (started in the background): a
    handled signal goes back to its default in a new program, an ignored one stays ignored."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        return subprocess.Popen([*command, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)
    finally:
        signal.signal(signal.SIGINT, previous)


def wait_until_asleep(process):
    """Waits until the process sleeps in a blocking read. A SIGINT that comes
    while it is still on its way there only marks the signal, and the read
    then waits on."""
    stat = Path(f"/proc/{process.pid}/stat")
    deadline = time.monotonic() + 30
    while stat.read_text().rsplit(")", 1)[1].split()[0] != "S":
        assert time.monotonic() < deadline, "the tool never went to sleep"
        time.sleep(0.01)


@pytest.fixture(scope="module")
def default_dir(kv):
    return kv.get_default_config_dir()


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_help_names_the_four_options(entry):
    result = run_tool(ENTRY_POINTS[entry], "--help", env={"COLUMNS": "200"})
    assert (result.returncode, result.stderr) == (0, "")
    text = " ".join(result.stdout.split())
    program = "korvalinden" if entry == "console-script" else "python -m korvalinden"
    assert text.startswith(f"usage: {program} [-h] [--controller_ip CONTROLLER_IP] [--username USERNAME] "
                           "[--password PASSWORD] [--config_dir CONFIG_DIR] Korvalinden Automation ")
    for option, help_text in [
        ("--controller_ip CONTROLLER_IP",
         "Tarvenox Controller IP. User will be prompted to enter the IP if not specified."),
        ("--username USERNAME", 'Tarvenox Controller Username. Defaults to "admin" if not specified.'),
        ("--password PASSWORD",
         "Tarvenox Controller Password. User will be prompted to enter the password if not specfied."),
        ("--config_dir CONFIG_DIR", 'Configuration Directory. Defaults to "config" if not specified.'),
    ]:
        assert f" {option} {help_text}" in text


@pytest.mark.parametrize("local_config", [False, True], ids=["no-local-config", "local-config-not-read"])
def test_default_configuration_end_to_end(controller, default_dir, tmp_path, local_config):
    names = [site["name"] for site in SITES]
    status_keys = ("state", "links", "uptime_hours")
    expected = {
        "01_sites.cfg": printed("Site names", names),
        "02_site_status.cfg": printed("Site status", [
            {"object": name, "results": {key: site_details(SITES, index)[key] for key in status_keys}}
            for index, name in enumerate(names)]),
        "03_site_placement.cfg": printed("Site placement (zone, tier, tags)", [
            {"name": site["name"], "zone": site["zone"], "tier": site["tier"],
             "tags": site.get("tags", "FILTER_NOT_FOUND")}
            for site in SITES]),
    }
    # The tool runs the files in the order the directory lists them.
    order = [name for name in os.listdir(default_dir) if name.endswith(".cfg")]
    assert sorted(order) == sorted(expected)

    if local_config:
        (tmp_path / "config").mkdir()
        (tmp_path / "config" / "01_status.cfg").write_text("[tarvenox]\naction = not_to_be_sent\n")
    result = run_tool(ENTRY_POINTS["console-script"], "--controller_ip", controller.address,
                      "--password", controller.password, cwd=tmp_path)
    # Standard error names the directory that ran, and a ./config that did not.
    notice = f"korvalinden: running the examples in {default_dir} (no --config_dir given)"
    if local_config:
        notice += "; ./config is not read: run it with --config_dir config"
    assert (result.returncode, result.stderr) == (0, notice + "\n")
    assert result.stdout == "".join(expected[name] for name in order)


@pytest.mark.parametrize("names, skipped", [([], ""), (["x.CFG", "x.cfg.txt"], "korvalinden: not run, as only names "
                                                    "ending in .cfg in lower case run: {tmp_path}/x.CFG\n")],
                         ids=["empty", "no-exact-suffix"])
def test_a_directory_where_nothing_matches_says_so(controller, tmp_path, names, skipped):
    write_files(tmp_path, {name: "[tarvenox]\naction = list_sites\n" for name in names})
    result = run_tool(ENTRY_POINTS["console-script"], "--controller_ip", controller.address,
                      "--password", controller.password, "--config_dir", str(tmp_path))
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "", skipped.format(tmp_path=tmp_path)
        + f"korvalinden: no configuration file ran: no name in {tmp_path} matches *.cfg (lower case only)\n")


def test_prompts_read_real_standard_input(controller, tmp_path, default_dir):
    shutil.copy(os.path.join(default_dir, "01_sites.cfg"), tmp_path)
    result = run_tool(ENTRY_POINTS["python-m"], "--config_dir", str(tmp_path),
                      stdin=f"{controller.address}\n{controller.password}\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout == IP_PROMPT + printed("Site names", [site["name"] for site in SITES])
    # Without a terminal getpass warns that the answer may be echoed and
    # prompts on standard error.
    assert PASSWORD_PROMPT in result.stderr


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_failed_login_exits_with_status_1(controller, entry):
    before = len(controller.requests)
    result = run_tool(ENTRY_POINTS[entry], "--controller_ip", controller.address, "--password", "wrong")
    assert (result.returncode, result.stdout) == (1, "Login failed\n")
    assert [dict(fields)["action"] for fields in controller.requests[before:]] == ["login"]


SITE_STATUS_FILES = {
    "sites.inc": "[default]\nfilters = results, name\n[tarvenox]\naction = list_sites\n",
    "status.cfg": "[default]\nfilters = results, state\n[tarvenox]\naction = show_site\n"
                  "site_name = output(sites.inc)\n",
}


SUMMARY_HINT = "  (KORVALINDEN_TRACEBACK=1 shows the full traceback)\n"
LOGIN_ANSWERED = "korvalinden: the login was answered {status} by https://{{address}}/v1/api"
LOGIN_WITHOUT_SESSION = ('  reply: JSON without the session member "CID": '
                         '{{{{"return": false, "reason": "{reason}"}}}}\n')
# A server's error page that shows the request it failed on: the password in it is masked.
ERROR_PAGE = ("<html><body><h1>500 Internal Server Error</h1>\n"
              "<pre>action=login&username=admin&password=tarvenox-demo</pre>\n<p>" + "z" * 300)
ERROR_PAGE_SHOWN = ("<html><body><h1>500 Internal Server Error</h1> "
                    "<pre>action=login&username=admin&password=<hidden></pre> <p>")
NOT_UTF_8 = b"[default]\ndescription = Caf\xe9\n[tarvenox]\naction = list_sites\n"
# The entries of a directory that main will run, each with what is said of it before the first post.
SURPRISING_ENTRIES = {
    "good.cfg": ("[tarvenox]\naction = list_sites\n", None),
    ".old.cfg": ("[tarvenox]\naction = list_sites\n", "{path} will run, though hidden (its name begins with a dot)"),
    # An editor's lock file: a link to where no file is.
    ".#good.cfg": (Path("ops@tarn.4242:1700000000"),
                   "{path} will fail: it is a link to ops@tarn.4242:1700000000, which does not exist"),
    "old.cfg": (None, "{path} will fail: it is a directory"),
    "bom.cfg": (b"\xef\xbb\xbf[tarvenox]\naction = list_sites\n",
                "{path} will fail: it begins with a byte-order mark; save it as UTF-8 without one"),
    "latin.cfg": (NOT_UTF_8, "{path} will fail: it is not UTF-8 text (invalid continuation byte at byte %d)"
                  % NOT_UTF_8.index(b"\xe9")),
    "x.CFG": ("[tarvenox]\naction = list_sites\n", None),
    "y.Cfg": ("[tarvenox]\naction = list_sites\n", None),
}
RESET_SUMMARY = ("korvalinden: ConnectionResetError: [Errno 104] Connection reset by peer\n"
                 "  url:   https://{address}/v1/api\n  where: get_tarvenox_cid, line 18\n" + SUMMARY_HINT)


def entry_notices(directory):
    """What is said of SURPRISING_ENTRIES, in the order in which main lists them."""
    names = os.listdir(directory)
    lines = [SURPRISING_ENTRIES[name][1].format(path=directory / name) for name in names
             if SURPRISING_ENTRIES[name][1] is not None]
    skipped = ", ".join(str(directory / name) for name in names if name in ("x.CFG", "y.Cfg"))
    lines.append(f"not run, as only names ending in .cfg in lower case run: {skipped}")
    return "".join(f"korvalinden: {line}\n" for line in lines)


@contextlib.contextmanager
def serving(kind, pages):
    """(address, password) of a controller of the kind: the simulated one answering `pages` with pages of their
    own, or one that resets or closes every connection."""
    if kind == "controller":
        with PagesController(pages) as controller:
            yield controller.address, controller.password
    else:
        with ending_connections(reset=kind == "reset") as address:
            yield address, "secret"


# What standard error says when the controller cannot be used, or the directory or the address would surprise.
@pytest.mark.certificates
@pytest.mark.parametrize("kind, pages, typed, files, stdout, stderr", [
    ("controller", {}, "{address}/v1/api", {}, "Login failed\n",
     'korvalinden: the controller address "{address}/v1/api" is not an address alone: the tool posts to '
     "https://{address}/v1/api/v1/api; give {address}\n"
     + LOGIN_ANSWERED.format(status="HTTP 404 Not Found") + "/v1/api\n"
     + LOGIN_WITHOUT_SESSION.format(reason="No such path: /v1/api/v1/api")),
    ("controller", {"login": (500, "text/html", ERROR_PAGE)}, "{address}", {}, "Login failed\n",
     LOGIN_ANSWERED.format(status="HTTP 500 Internal Server Error") + "\n  reply: text/html, not JSON: "
     + ERROR_PAGE_SHOWN + "z" * (200 - len(ERROR_PAGE_SHOWN)) + "...\n"),
    ("controller", {"login": (200, "text/plain; charset=utf-8", "Down for maintenance\x07 until 18:00\n")},
     "{address}", {}, "Login failed\n",
     LOGIN_ANSWERED.format(status="HTTP 200 OK") + "\n"
     "  reply: text/plain; charset=utf-8, not JSON: Down for maintenance\\x07 until 18:00\n"),
    ("controller", {"show_site": (502, "text/html", "<h1>502 Bad Gateway</h1>\n")}, "{address}",
     SITE_STATUS_FILES, "",
     "korvalinden: requests.exceptions.JSONDecodeError: Expecting value: line 1 column 1 (char 0)\n"
     "  reply: HTTP 502 Bad Gateway, text/html, not JSON: <h1>502 Bad Gateway</h1>\n"
     "  where: tarvenox_api, line 104\n  file:  {dir}/status.cfg\n  done:  1 of 3 posts answered\n"
     "  last:  CID=<session-2> action=show_site site_name=site-alder\n" + SUMMARY_HINT),
    ("controller", {"list_sites": (200, "application/json", "")}, "{address}",
     {"sites.cfg": "[default]\ndescription = Sites\n[tarvenox]\naction = list_sites\n"}, "Sites\n",
     "korvalinden: requests.exceptions.JSONDecodeError: Expecting value: line 1 column 1 (char 0)\n"
     "  reply: HTTP 200 OK, application/json, not JSON: (empty)\n"
     "  where: tarvenox_api, line 114\n  file:  {dir}/sites.cfg\n" + SUMMARY_HINT),
    ("reset", {}, "{address}", {}, "", RESET_SUMMARY),
    ("closed", {}, "{address}", {}, "",
     "korvalinden: the connection was closed: ssl.SSLEOFError: [SSL: UNEXPECTED_EOF_WHILE_READING] EOF occurred "
     "in violation of protocol (_ssl.c)\n  url:   https://{address}/v1/api\n  where: get_tarvenox_cid, line 18\n"
     + SUMMARY_HINT),
    # said before the first post: the controller resets the first connection
    ("reset", {}, "{address}", {name: content for name, (content, _) in SURPRISING_ENTRIES.items()}, "",
     "{entry_notices}" + RESET_SUMMARY),
    ("controller", {}, "{address}", {"sites.cfg": "[Tarvenox]\naction = list_sites\n"}, "",
     "korvalinden: configparser.NoSectionError: No section: 'tarvenox'\n  where: tarvenox_api, line 83\n"
     "  file:  {dir}/sites.cfg\n"
     "  note:  section names are case-sensitive: the file has [Tarvenox], the tool reads [tarvenox]\n"
     + SUMMARY_HINT),
], ids=["address-with-a-path", "login-error-page", "login-not-json", "repeated-reply-not-json",
        "reply-empty", "reset", "closed", "surprising-entries", "section-letter-case"])
def test_standard_error_says_why(tmp_path, kind, pages, typed, files, stdout, stderr):
    config_dir = tmp_path / "config"
    write_files(config_dir, files)
    with serving(kind, pages) as (address, password):
        result = run_tool(ENTRY_POINTS["console-script"], "--controller_ip", typed.format(address=address),
                          "--password", password, "--config_dir", str(config_dir))
    shown = re.sub(r"\(_ssl\.c:\d+\)", "(_ssl.c)", result.stderr)  # where in CPython's source TLS failed
    notices = entry_notices(config_dir) if files.keys() == SURPRISING_ENTRIES.keys() else ""
    assert (result.returncode, result.stdout, shown) == (
        1, stdout, stderr.format(address=address, dir=config_dir, entry_notices=notices))


def test_missing_default_directory_is_reported_before_any_login(kv, tmp_path):
    # A package holding only the module, without its "config" directory.
    package = tmp_path / "korvalinden"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(kv.__file__, package)
    code = "import sys; sys.path.insert(0, sys.argv.pop(1)); import korvalinden.korvalinden as kv; kv.main()"
    # 127.0.0.1:9 refuses connections: a login attempt would fail differently.
    result = run_tool([sys.executable, "-c", code, str(tmp_path)], stdin="127.0.0.1:9\nsecret\n")
    assert (result.returncode, result.stdout) == (1, IP_PROMPT)
    assert result.stderr.splitlines()[-1] == (
        f"FileNotFoundError: Default config directory not found: {package / 'config'}")
    assert 'File "src\\korvalinden\\korvalinden.py", line 162, in korvalinden.korvalinden.main' in result.stderr


@pytest.mark.parametrize("entry, waiting_for", [("python-m", "the address prompt"),
                                                ("console-script", "a controller that never answers")])
def test_ctrl_c_ends_the_run_with_one_line_and_status_130(entry, waiting_for, tmp_path):
    with socket.socket() as silent, contextlib.ExitStack() as connections:
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        silent.settimeout(30)
        if waiting_for == "the address prompt":
            tool = start_tool(ENTRY_POINTS[entry], "--config_dir", str(tmp_path))
            assert tool.stdout.read(len(IP_PROMPT)) == IP_PROMPT
        else:
            address = "127.0.0.1:%d" % silent.getsockname()[1]
            tool = start_tool(ENTRY_POINTS[entry], "--controller_ip", address, "--password", "secret",
                              "--config_dir", str(tmp_path))
            connection = connections.enter_context(silent.accept()[0])
            assert connection.recv(1)  # the start of the TLS handshake, which is never answered
        wait_until_asleep(tool)
        tool.send_signal(signal.SIGINT)
        tool.wait(timeout=30)
    # Standard input stays open until the tool has ended: at its end the prompt would fail on its own.
    stdout, stderr = tool.communicate()
    assert (tool.returncode, stdout, stderr) == (130, "", "korvalinden: interrupted\n")


@pytest.mark.certificates
def test_ctrl_c_in_a_repeating_file_says_how_many_of_its_posts_were_answered(tmp_path):
    sites = [{"name": f"site-{index:04}", "zone": "vellmark", "tier": "stennel"} for index in range(1000)]
    write_files(tmp_path, SITE_STATUS_FILES)
    statuses, tenth = itertools.count(1), threading.Event()
    with SimulatedController(sites=sites) as controller:
        controller.listeners.append(
            lambda planned: planned.action == "show_site" and next(statuses) == 10 and tenth.set())
        tool = start_tool(ENTRY_POINTS["console-script"], "--controller_ip", controller.address,
                          "--password", controller.password, "--config_dir", str(tmp_path))
        assert tenth.wait(60)
        tool.send_signal(signal.SIGINT)
        stderr = tool.communicate(timeout=60)[1]
        received = sum(dict(fields)["action"] == "show_site" for fields in controller.requests)
    answered = int(re.search(r"done:  (\d+) of", stderr)[1])
    # The post under way when the signal came may have reached the controller, its reply not the tool.
    assert received - 1 <= answered <= received
    assert (tool.returncode, stderr) == (130, "korvalinden: interrupted\n"
                                              f"  file:  {tmp_path / 'status.cfg'}\n"
                                              f"  done:  {answered} of 1000 posts answered\n"
                                              f"  last:  CID=<session-2> action=show_site "
                                              f"site_name={sites[answered - 1]['name']}\n")


def test_ctrl_d_at_a_prompt_ends_with_its_message_on_a_line_of_its_own(tmp_path):
    controlling, terminal = pty.openpty()
    with os.fdopen(controlling, "r+b", buffering=0) as screen:
        tool = subprocess.Popen([*ENTRY_POINTS["console-script"], "--config_dir", str(tmp_path)], stdin=terminal,
                                stdout=terminal, stderr=terminal, start_new_session=True)
        os.close(terminal)
        shown = b""
        while not shown.endswith(IP_PROMPT.encode()):
            assert select.select([screen], [], [], 30)[0], shown
            shown += screen.read(1024)
        screen.write(b"\x04")  # Ctrl-D
        assert tool.wait(timeout=30) == 1
        with contextlib.suppress(OSError):  # the terminal's other end closed
            while select.select([screen], [], [], 1)[0] and (more := screen.read(1024)):
                shown += more
    assert shown == f"{IP_PROMPT}\r\nkorvalinden: end of input\r\n".encode()



@pytest.mark.parametrize("args, merged, stdout, stderr", [
    ([], False, IP_PROMPT, "korvalinden: end of input\n"),
    ([], True, f"{IP_PROMPT}\nkorvalinden: end of input\n", None),
    # getpass finds no terminal: it warns, then prompts on standard error
    (["--controller_ip", "127.0.0.1:9"], False, "", f"{PASSWORD_PROMPT}\nkorvalinden: end of input\n"),
], ids=["ip-prompt", "ip-prompt-2>&1", "password-prompt"])
def test_end_of_input_without_a_terminal_breaks_the_line_only_after_a_prompt_left_open(tmp_path, args, merged,
                                                                                       stdout, stderr):
    result = subprocess.run([*ENTRY_POINTS["console-script"], "--config_dir", str(tmp_path), *args], input="",
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT if merged else subprocess.PIPE,
                            text=True, timeout=60, start_new_session=True)
    assert result.returncode == 1
    assert (result.stdout, result.stderr and result.stderr.rpartition("may be echoed.\n")[2]) == (stdout, stderr)


@pytest.mark.certificates
def test_reader_closing_the_pipe_ends_the_run_quietly_with_status_141(tmp_path):
    # Far more output than a pipe holds: the tool is still writing when its reader goes.
    sites = [{"name": f"site-{index:05}", "zone": "vellmark", "tier": "stennel"} for index in range(5000)]
    (tmp_path / "sites.cfg").write_text(
        "[default]\ndescription = Every site\nfilters = results\n[tarvenox]\naction = list_sites\n")
    with SimulatedController(sites=sites) as controller:
        tool = start_tool(ENTRY_POINTS["console-script"], "--controller_ip", controller.address,
                          "--password", controller.password, "--config_dir", str(tmp_path))
        assert tool.stdout.readline() == "Every site\n"
        tool.stdout.close()
        stderr = tool.communicate(timeout=60)[1]
    assert (tool.returncode, stderr) == (141, "")


# The README's rehearsal: replies saved from a controller, configuration files
# written against them.
SAVED_REPLIES = {
    "list_links.json": '{"return": true, "results": [{"name": "link-ash", "site": "site-alder", "state": "up"},\n'
                       '                             {"name": "link-elm", "site": "site-brenna", "state": "down"}]}\n',
    "show_link.json": '{"return": true, "results": {"name": "link-ash", "state": "up", "latency_ms": 12, '
                      '"loss_percent": 0.5}}\n',
}
REHEARSED_FILES = {
    "01_links.cfg": "[default]\ndescription = Link names\nfilters = results, name\n\n"
                    "[tarvenox]\naction = list_links\n",
    "02_link_latency.cfg": "[default]\ndescription = Link latency\nfilters = results, latency_ms & loss_percent\n\n"
                           "[tarvenox]\naction = show_link\nlink_name = output(01_links.cfg)\n",
}


REHEARSE = str(Path(sys.executable).with_name("korvalinden-rehearse"))


@pytest.mark.certificates
def test_rehearsal_serves_saved_replies_and_shows_each_request(tmp_path):
    write_files(tmp_path / "replies", SAVED_REPLIES)
    write_files(tmp_path / "config", REHEARSED_FILES)
    stage = subprocess.Popen([REHEARSE, "--replies", str(tmp_path / "replies"),
                              "--address-file", str(tmp_path / "address")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        # The first line comes once the address is written.
        assert "listening on" in stage.stderr.readline()
        address = (tmp_path / "address").read_text()
        result = run_tool(ENTRY_POINTS["console-script"], "--controller_ip", address, "--password", "tarvenox-demo",
                          "--config_dir", str(tmp_path / "config"))
        without_login = requests.post(f"https://{address}/v1/api", data={"action": "list_links"}, verify=False)
    finally:
        stage.terminate()
        shown = stage.communicate(timeout=30)[0]

    names = ["link-ash", "link-elm"]
    expected = {
        "01_links.cfg": printed("Link names", names),
        "02_link_latency.cfg": printed("Link latency", [
            {"object": name, "results": {"latency_ms": 12, "loss_percent": 0.5}} for name in names]),
    }
    order = os.listdir(tmp_path / "config")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "".join(expected[name] for name in order)
    assert without_login.json() == {"return": False, "reason": "CID is invalid or expired."}
    # every request as it came: the run's eight, then the one without a session
    assert shown.splitlines()[0] == "  1 login username=admin password=<hidden>  -> built-in reply: session 1"
    assert shown.splitlines()[8:] == ["  9 list_links  -> built-in reply: refused: CID is invalid or expired."]


# The referenced file's name sorts before "..": still shown relative to the directory.
RECORDS_REFERENCED = {
    "latency.cfg": "[tarvenox]\naction = show_link\nlink_name = output(+links.inc)\n",
    "+links.inc": "[default]\nfilters = results\n[tarvenox]\naction = list_links\n",  # `, name` forgotten
}


# The plan names the file that sent each request: the referenced file's own
# posts and the repeats too; the login that tests the credentials has none.
@pytest.mark.certificates
@pytest.mark.parametrize("files, status, expected, logins, posted", [
    (REHEARSED_FILES, 0, {
        "01_links.cfg": printed("Link names", ["link-ash", "link-elm"]),
        "02_link_latency.cfg": printed("Link latency", [
            {"object": name, "results": {"latency_ms": 12, "loss_percent": 0.5}} for name in ["link-ash", "link-elm"]]),
    }, [None, "01_links.cfg", "01_links.cfg", "02_link_latency.cfg"],
        [("01_links.cfg", "list_links", []), ("01_links.cfg", "list_links", []),
         ("02_link_latency.cfg", "show_link", [["link_name", "link-ash"]]),
         ("02_link_latency.cfg", "show_link", [["link_name", "link-elm"]])]),
    (RECORDS_REFERENCED, 1, {}, [None, "+links.inc", "latency.cfg"], [("+links.inc", "list_links", [])]),
], ids=["readme", "records-refused"])
def test_one_shot_rehearsal_prints_the_output_then_the_plan(tmp_path, files, status, expected, logins, posted):
    write_files(tmp_path / "replies", SAVED_REPLIES)
    write_files(tmp_path / "config", files)
    result = subprocess.run([REHEARSE, "--replies", str(tmp_path / "replies"), "--config_dir", str(tmp_path / "config"),
                             "--plan", str(tmp_path / "plan.jsonl")],
                            capture_output=True, text=True, timeout=120, start_new_session=True)
    assert result.returncode == status, result.stderr
    assert ("korvalinden: ValueError: output reference" in result.stderr) == (status == 1), result.stderr
    output, heading, shown = result.stdout.partition("request plan: ")
    assert output == "".join(expected[name] for name in os.listdir(tmp_path / "config") if name in expected)
    plan = [json.loads(line) for line in (tmp_path / "plan.jsonl").read_text().splitlines()]
    assert heading + shown == plan_text([PlannedRequest(entry["request"], tuple(map(tuple, entry["fields"])),
                                                        entry["answer"], entry["file"]) for entry in plan],
                                         connections=1)
    assert shown.startswith(f"{len(plan)} requests over 1 connection\n")
    made = [entry for entry in plan if entry["action"] == "login"]
    assert [entry["fields"] for entry in made] == [[["action", "login"], ["username", "admin"],
                                                    ["password", "<hidden>"]]] * len(made)
    assert [entry["answer"] for entry in made] == [f"built-in reply: session {number}"
                                                   for number in range(1, len(made) + 1)]
    assert all(entry["answer"].startswith(entry["source"]) for entry in plan)
    assert made[0]["file"] is None and sorted(entry["file"] for entry in made[1:]) == logins[1:]
    sent = sorted((entry["file"], entry["action"], entry["fields"][2:]) for entry in plan if entry not in made)
    assert sent == posted
    assert all(re.fullmatch(r"<session-\d+>", entry["fields"][0][1]) for entry in plan if entry not in made)


def child_holding(parent, path):
    """The command line and the environment of the child of `parent`, once it holds `path` open."""
    children = Path(f"/proc/{parent.pid}/task/{parent.pid}/children")
    deadline = time.monotonic() + 30
    while True:
        for pid in children.read_text().split():
            with contextlib.suppress(OSError):  # ended meanwhile
                if any(os.readlink(held) == str(path) for held in Path(f"/proc/{pid}/fd").iterdir()):
                    return [Path(f"/proc/{pid}/{name}").read_bytes().split(b"\0")[:-1]
                            for name in ("cmdline", "environ")]
        assert time.monotonic() < deadline and parent.poll() is None, f"no child of the rehearsal opened {path}"
        time.sleep(0.01)


@pytest.mark.certificates
def test_rehearsal_puts_no_password_on_a_command_line_and_no_proxy_before_itself(tmp_path):
    write_files(tmp_path / "config", {"top.cfg": "[tarvenox]\naction = show_site\nsite_name = output(names.inc)\n"})
    # The referenced file is a FIFO whose end does not come while the test holds it open: the tool
    # reads its text and waits there, in the referenced file's call, for the test to look at it.
    fifo = tmp_path / "config" / "names.inc"
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)
    os.write(writer, b"[default]\nfilters = results, name\n[tarvenox]\naction = list_sites\n")
    proxies = {name: "http://127.0.0.1:9" for name in ("HTTPS_PROXY", "https_proxy", "ALL_PROXY")}
    stage = subprocess.Popen([REHEARSE, "--config_dir", str(tmp_path / "config")], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True, env={**os.environ, **proxies})
    try:
        try:
            command, environment = child_holding(stage, fifo)
        finally:
            os.close(writer)
        stdout, stderr = stage.communicate(timeout=60)
    finally:
        if stage.poll() is None:  # a failed look leaves no stage behind
            os.killpg(stage.pid, signal.SIGKILL)
            stage.wait()
    assert (stage.returncode, stderr) == (0, ""), stdout
    assert command[1:] == [b"-m", b"korvalinden", b"--controller_ip", command[4], b"--username", b"admin",
                           b"--config_dir", str(tmp_path / "config").encode()]
    assert not [entry for entry in environment if entry.split(b"=")[0].lower().endswith(b"_proxy")]
    assert "  4 names.inc: list_sites CID=<session-3>  -> built-in reply\n" in stdout


@pytest.mark.certificates
@pytest.mark.parametrize("client", [b"", b"\x16\x03\x01\x02\x00\x01"], ids=["idle-tcp", "half-a-handshake"])
def test_a_client_that_never_completes_its_handshake_holds_up_nothing(client):
    with SimulatedController() as controller, socket.create_connection(("127.0.0.1", controller.port)) as stalled:
        stalled.sendall(client)
        started = time.monotonic()
        # Well within the handshake's time limit, which would free a controller stalled by it.
        reply = requests.post(f"https://{controller.address}/v1/api", data={"action": "login"}, verify=False,
                              timeout=HANDSHAKE_TIMEOUT_SECONDS / 2)
        controller.stop()
        stopped = time.monotonic() - started
        stalled.settimeout(HANDSHAKE_TIMEOUT_SECONDS / 2)
        ended = stalled.recv(1)  # stop() ends the stalled connection too: no thread is left waiting on it
    assert ended == b""
    assert reply.json() == {"return": False, "reason": "Invalid username or password."}
    assert stopped < HANDSHAKE_TIMEOUT_SECONDS / 2


# A client holds a connection for a request at most this long, and this many connections are served at once.
QUICK = Limits(connections=2, idle_seconds=30, request_seconds=0.3)


def ended(connection, wait=1.0):
    """Whether the controller ends the connection within `wait` seconds: its end, or a close without TLS's own."""
    connection.settimeout(wait)
    try:
        return connection.recv(1) == b""
    except TimeoutError:
        return False
    except (ssl.SSLError, ConnectionResetError):
        return True


# However slowly a request trickles in, head or body, the connection is closed at the time limit.
@pytest.mark.parametrize("sent, trickled", [
    (b"", b""),
    (b"", b"POST /v1/api HTTP/1.1\r\nHost: 127.0.0.1\r\n" * 3),
    (b"POST /v1/api HTTP/1.1\r\nContent-Length: 90\r\n\r\n", b"a" * 90),
], ids=["idle", "trickling-head", "trickling-body"])
@pytest.mark.certificates
def test_a_connection_without_a_whole_request_in_time_is_closed(sent, trickled):
    limits = Limits(idle_seconds=0.3, request_seconds=0.3)
    with SimulatedController(limits=limits) as controller, tls_connection(controller) as connection:
        connection.sendall(sent)
        started = time.monotonic()
        with contextlib.suppress(OSError):  # a byte that meets the close
            while time.monotonic() - started < 4 * limits.request_seconds:
                connection.send(trickled[:1] or b"")
                trickled = trickled[1:]
                time.sleep(0.02)
        # while it still trickled in: a limit renewed by every byte would not have ended it yet
        assert ended(connection, wait=0.1)


# Past its connections, a new one takes the place of the one idle the longest; when none is idle, it waits.
@pytest.mark.certificates
@pytest.mark.parametrize("others", ["idle", "busy"])
def test_past_its_connections_a_new_one_takes_an_idle_ones_place_or_waits(others):
    with SimulatedController(limits=QUICK) as controller, tls_connection(controller) as first, \
            tls_connection(controller) as second:
        started = time.monotonic()
        if others == "busy":
            first.sendall(b"P")
            second.sendall(b"P")
        time.sleep(0.1)  # for the controller to see them
        reply = requests.post(f"https://{controller.address}/v1/api", data={"action": "login"}, verify=False,
                              timeout=30)
        waited = time.monotonic() - started
        assert reply.json() == {"return": False, "reason": "Invalid username or password."}
        if others == "idle":  # not for the idle ones' time limit
            assert waited < QUICK.idle_seconds / 6 and ended(first) and not ended(second, wait=0.2)
        else:  # until a request's time limit ended it
            assert QUICK.request_seconds <= waited < QUICK.request_seconds + 2


@pytest.mark.parametrize("length", ["abc", str(10 ** 12), str(MAX_BODY_BYTES + 1), "-1", None],
                         ids=["not-a-number", "too-large", "past-the-largest", "negative", "missing"])
def test_a_bad_content_length_is_answered_400_and_the_controller_goes_on(controller, capsys, length):
    head = "POST /v1/api HTTP/1.1\r\nHost: 127.0.0.1\r\n" + (f"Content-Length: {length}\r\n" if length else "")
    status, _, body = answer_to(controller, head).partition("\r\n\r\n")
    assert status.startswith("HTTP/1.1 400 ") and "\r\nConnection: close" in status
    assert json.loads(body)["reason"].endswith(f", not {length or 'none'}")
    reply = requests.post(f"https://{controller.address}/v1/api", data={"action": "login"}, verify=False, timeout=30)
    assert reply.json()["return"] is False
    assert capsys.readouterr().err == ""  # no traceback


def decoder_message(text):
    try:
        json.loads(text)
    except ValueError as error:
        return str(error)


@pytest.mark.parametrize("problem", ["reply-not-json", pytest.param("port-in-use", marks=pytest.mark.certificates),
                                     "recorded-from-another-controller", "recording-not-writable",
                                     "recorded-keeping-other-fields", "no-trustme"])
def test_rehearsal_refuses_to_start_in_one_line(tmp_path, problem):
    broken = '{"return": true, "results": [1, 2,]}'
    write_files(tmp_path, {"list_links.json": SAVED_REPLIES["list_links.json"], "show_link.json": broken})
    write_files(tmp_path / "rec", {"index.json": '{"controller": "10.20.0.5", "entries": {}}'})
    write_files(tmp_path / "kept", {"index.json": '{"controller": "10.20.0.5", "kept_fields": ["sort_key"]}'})
    # A package trustme that cannot be imported, found before the installed one.
    write_files(tmp_path / "hidden" / "trustme", {"__init__.py": "raise ModuleNotFoundError('No module named "
                                                                   "trustme', name='trustme')\n"})
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        options, message = {
            "reply-not-json": (["--replies", str(tmp_path)],
                               f"saved reply {tmp_path}/show_link.json is not JSON: {decoder_message(broken)}"),
            "port-in-use": (["--port", str(port)], f"cannot listen on 127.0.0.1:{port}: Address already in use"),
            "recorded-from-another-controller": (
                ["--record", str(tmp_path / "rec"), "--controller", "10.20.0.6"],
                f"{tmp_path / 'rec'} holds a recording of 10.20.0.5, not of 10.20.0.6: record into another "
                "directory, or add --replace-controller to drop it and record anew"),
            "recording-not-writable": (
                ["--record", str(tmp_path / "show_link.json" / "rec"), "--controller", "10.20.0.6"],
                f"cannot record into {tmp_path / 'show_link.json' / 'rec'}: Not a directory"),
            "recorded-keeping-other-fields": (
                ["--record", str(tmp_path / "kept"), "--controller", "10.20.0.5", "--keep-field", "Site_Key"],
                f"{tmp_path / 'kept'} was recorded keeping the fields sort_key, not site_key: record with the same "
                "--keep-field, or into another directory"),
            "no-trustme": ([], "the simulated controller needs the package trustme: pip install "
                               "'korvalinden[rehearse]'"),
        }[problem]
        hidden = {"PYTHONPATH": str(tmp_path / "hidden")} if problem == "no-trustme" else {}
        result = subprocess.run([REHEARSE, *options, "--run"], capture_output=True, text=True, timeout=60,
                                env={**os.environ, **hidden})
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"korvalinden-rehearse: {message}\n")


# The tool with today's per-post connections: `main` called directly.
CALL_MAIN = [sys.executable, "-c", "import korvalinden.korvalinden as kv; kv.main()"]


def as_sent(received):
    """Headers and bodies of the posts, the session ids left out: they are new at every login."""
    return [(request.headers, re.sub(rb"CID=\w+", b"CID=", request.body)) for request in received]


@pytest.mark.certificates
@pytest.mark.parametrize("behaviour, connections_for", [
    ({}, lambda posts: 1),
    ({"close_after": 4}, lambda posts: math.ceil(posts / 4)),
    ({"cookie": "stage=rehearsal; Path=/"}, lambda posts: 1),
], ids=["keeps-alive", "closes-after-4", "sets-a-cookie"])
def test_console_command_keeps_the_connection_and_sends_what_per_post_calls_send(behaviour, connections_for,
                                                                                 default_dir):
    runs = {}
    with SimulatedController(**behaviour) as controller:
        for way, command in [("kept alive", ENTRY_POINTS["console-script"]), ("per post", CALL_MAIN)]:
            connections, received = controller.connections, len(controller.received)
            result = run_tool(command, "--controller_ip", controller.address, "--password", controller.password,
                              "--config_dir", default_dir)
            assert (result.returncode, result.stderr) == (0, ""), way
            runs[way] = result.stdout, controller.connections - connections, controller.received[received:]

    (kept_output, kept_connections, kept), (own_output, own_connections, own) = runs["kept alive"], runs["per post"]
    assert kept_output == own_output
    assert as_sent(kept) == as_sent(own)
    assert (kept_connections, own_connections) == (connections_for(len(own)), len(own))
    assert not [request for request in kept if any(name.lower() == "cookie" for name, _ in request.headers)]
