"""The tool as a user runs it: the console script and `python -m korvalinden`
in real processes, with real standard input, against the simulated controller
over HTTPS."""

import os
import pprint
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from simulated_controller import SITES, site_details

IP_PROMPT = "Enter Tarvenox Controller IP: "
PASSWORD_PROMPT = "Enter Tarvenox Controller Password: "
ENTRY_POINTS = {
    "console-script": [str(Path(sys.executable).with_name("korvalinden"))],
    "python-m": [sys.executable, "-m", "korvalinden"],
}


def run_tool(command, *args, stdin="", env=None):
    # A new session has no controlling terminal, so getpass cannot open
    # /dev/tty and reads the password from standard input, as in a pipeline.
    return subprocess.run([*command, *args], input=stdin, capture_output=True, text=True, timeout=60,
                          start_new_session=True, env={**os.environ, **(env or {})})


def printed(description, value):
    return f"{description}\n" + pprint.pformat(value, width=200) + "\n\n\n"


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


def test_default_configuration_end_to_end(controller, default_dir):
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

    result = run_tool(ENTRY_POINTS["console-script"], "--controller_ip", controller.address,
                      "--password", controller.password)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "".join(expected[name] for name in order)


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
