"""Recording a controller's replies and replaying them: korvalinden-rehearse
--record between the tool and a second simulated controller that stands in for
the operator's own, then --replies with that controller gone."""

import contextlib
import gzip
import json
import subprocess
import sys
from pathlib import Path

import pytest
import requests

from helpers import answer_to, write_files
from korvalinden._fields import fields_text
from korvalinden.recording import Entry, Forwarder, Recorder, RecordingDirectory, Secrets, request_key, tool_reading
from korvalinden.simulated_controller import API_PATH, SimulatedController

REHEARSE = str(Path(sys.executable).with_name("korvalinden-rehearse"))
USERNAME, PASSWORD = "ops-velm", "pw-Qz81!x"


class EchoingController(SimulatedController):
    """A controller whose reply to "whoami" repeats the session and the password, as a real one's may."""

    def _reply_to(self, fields):
        form = dict(fields)
        if form.get("action") == "whoami" and form.get("CID") in self.sessions:
            echo = {"kind": "operator", "session": form["CID"], "note": f"{form['CID']} signed in with {self.password}"}
            return {"return": True, "results": echo}, "built-in reply", "built-in reply"
        return super()._reply_to(fields)


WHOAMI = "[default]\ndescription = Who\nfilters = results, kind\n[tarvenox]\naction = whoami\n"



@pytest.mark.parametrize("value, shown", [
    ("site-alder", "site-alder"), ("a!b", "a!b"), ("\x01", "\x01"), ("élan", "élan"),
    ("", '""'), ("site alder", '"site alder"'), ("a\tb", '"a\\tb"'), ('a"b', '"a\\"b"'), ("élan vert", '"élan vert"'),
])
def test_a_field_value_is_quoted_only_where_a_line_of_pairs_would_not_read_unambiguously(value, shown):
    assert fields_text([("site_name", value), ("action", "show")]) == f"site_name={shown} action=show"


def rehearse(*options, stdin=None):
    return subprocess.run([REHEARSE, *map(str, options)], input=stdin, capture_output=True, text=True, timeout=120,
                          start_new_session=True)


def plan_of(path):
    """The plan written with --plan, where each answer came from set apart."""
    plan = [json.loads(line) for line in Path(path).read_text().splitlines()]
    return [{**entry, "source": None} for entry in plan], {entry["source"] for entry in plan}


def test_a_recording_replays_offline_as_the_controller_answered(kv, tmp_path):
    config = Path(kv.get_default_config_dir())
    write_files(tmp_path / "config", {**{path.name: path.read_text() for path in config.glob("*.cfg")},
                                      "whoami.cfg": WHOAMI})
    rec = tmp_path / "rec"
    with EchoingController(USERNAME, PASSWORD) as real:
        recorded = rehearse("--record", rec, "--controller", real.address, "--username", USERNAME,
                            "--config_dir", tmp_path / "config", "--plan", tmp_path / "recorded.jsonl",
                            stdin=PASSWORD + "\n")
        sessions = set(real.sessions)
    assert recorded.returncode == 0, recorded.stderr
    assert recorded.stderr.count(f"are forwarded to https://{real.address}/v1/api and act there as in a real "
                                 f"run; their replies are kept in {rec}\n") == 1
    # The controller is gone: the replay is offline.
    replayed = rehearse("--replies", rec, "--username", USERNAME, "--config_dir", tmp_path / "config",
                        "--plan", tmp_path / "replayed.jsonl")
    assert replayed.returncode == 0, replayed.stderr
    assert replayed.stdout == recorded.stdout
    assert "Site status\n" in replayed.stdout and replayed.stdout.endswith("\nnot recorded: 0 of 13 requests\n")
    (recorded_plan, recorded_sources), (replayed_plan, replayed_sources) = map(
        plan_of, [tmp_path / "recorded.jsonl", tmp_path / "replayed.jsonl"])
    assert recorded_plan == replayed_plan
    assert (recorded_sources, replayed_sources) == ({"forwarded"}, {"recorded"})

    # No secret in any byte of the recording; the echoes hold placeholders.
    kept = b"".join(path.read_bytes() for path in rec.iterdir())
    for secret in [PASSWORD, USERNAME, *sessions]:
        assert secret.encode() not in kept
    whoami = json.loads(next(rec.glob("whoami-*.json")).read_text())["reply"]["results"]
    assert whoami == {"kind": "operator", "session": "<session>", "note": "<session> signed in with <hidden>"}
    # A replay gives the echo the session of the request it answers.
    with SimulatedController(replies=rec) as replay:
        url = f"https://{replay.address}/v1/api"
        cid = requests.post(url, data={"action": "login", "username": "anyone", "password": "any"}, verify=False,
                            timeout=30).json()["CID"]
        echo = requests.post(url, data={"CID": cid, "action": "whoami"}, verify=False, timeout=30).json()["results"]
    assert echo["session"] == cid and echo["note"] == f"{cid} signed in with <hidden>"

    # A request the recording never saw is answered as an unknown one, marked and counted.
    write_files(tmp_path / "new", {"delta.cfg": "[tarvenox]\naction = show_site\nsite_name = site-delta\n"})
    unseen = rehearse("--replies", rec, "--config_dir", tmp_path / "new")
    assert unseen.stdout.startswith("{'reason': 'Not recorded: show_site', 'return': False}\n")
    assert unseen.stdout.endswith("  3 delta.cfg: show_site CID=<session-2> site_name=site-delta  -> not recorded\n"
                                  "not recorded: 1 of 3 requests\n")


@contextlib.contextmanager
def recording(directory, address):
    said = []
    recorder = Recorder(RecordingDirectory.for_recording(str(directory), address), Forwarder(address, API_PATH),
                        said.append)
    with SimulatedController(recorder=recorder) as proxy:
        yield proxy, said


LOGIN = b"action=login&username=admin&password=tarvenox-demo"


# Whatever a request names, it goes to the recorded controller or nowhere.
@pytest.mark.parametrize("target, host, forwarded", [
    ("/v1/api", "{decoy}", True),
    ("https://{decoy}/v1/api", "{decoy}", False),
    ("/v1/other", "127.0.0.1", False),
], ids=["forged-host", "absolute-uri", "other-path"])
def test_only_the_recorded_controller_is_ever_reached(tmp_path, target, host, forwarded):
    with SimulatedController() as real, SimulatedController() as decoy, recording(tmp_path, real.address) as (proxy, _):
        head = (f"POST {target} HTTP/1.1\r\nHost: {host}\r\nKorvalinden-File: a.cfg\r\nConnection: close\r\n"
                f"Content-Length: {len(LOGIN)}\r\n").format(decoy=decoy.address)
        status = answer_to(proxy, head, LOGIN).split("\r\n", 1)[0]
    assert decoy.received == []
    assert status == ("HTTP/1.1 200 OK" if forwarded else "HTTP/1.1 404 Not Found")
    assert [request.body for request in real.received] == ([LOGIN] if forwarded else [])
    if forwarded:
        headers = {name.lower(): value for name, value in real.received[0].headers}
        assert headers["host"] == real.address and "korvalinden-file" not in headers


def test_a_controller_out_of_reach_gets_502_and_is_said_once(tmp_path):
    with SimulatedController() as gone:
        address = gone.address
    with recording(tmp_path, address) as (proxy, said):
        replies = [requests.post(f"https://{proxy.address}/v1/api", data=LOGIN, verify=False, timeout=30)
                   for _ in range(2)]
    assert [reply.status_code for reply in replies] == [502, 502]
    assert replies[0].json()["reason"].startswith(f"korvalinden-rehearse: no reply from {address}: "
                                                  "ConnectionRefusedError: [Errno 111]")
    assert len(said) == 1 and [path.name for path in tmp_path.iterdir()] == ["index.json"]


# A reply is kept as the tool reads it, the secrets replaced; a replay gives back what the tool read,
# with its own session.
@pytest.mark.parametrize("headers, body, replayed", [
    ({"Content-Type": "application/json"}, b'{"CID": "c1d2", "note": "pw \\u00e9 c1d2"}',
     b'{"CID": "n3w", "note": "<hidden> n3w"}'),
    ({"Content-Type": "application/json", "Content-Encoding": "gzip"}, gzip.compress(b'["c1d2", 1.50, "x"]'),
     b'["n3w", 1.5, "x"]'),
    ({"Content-Type": "text/html; charset=latin-1"}, b"<p>session c1d2 \xe9</p>", b"<p>session n3w \xe9</p>"),
], ids=["json", "gzip", "not-json"])
def test_a_kept_reply_reads_as_the_controller_sent_it(tmp_path, headers, body, replayed):
    secrets = Secrets()
    secrets.learn_request([("CID", "c1d2"), ("password", "pw \u00e9")])
    directory = RecordingDirectory.for_recording(str(tmp_path), "10.20.0.5")
    directory.keep(Entry.of_reply(request_key([("action", "show")]), 200, headers, body,
                                  tool_reading(200, headers, body), secrets))
    assert not any(secret in path.read_bytes() for path in tmp_path.iterdir()
                   for secret in (b"c1d2", "pw \u00e9".encode(), b"pw \\u00e9"))
    reply = RecordingDirectory.for_replay(str(tmp_path)).find((("action", "show"),)).reply_for("n3w")
    plain = {name: value for name, value in headers.items() if name != "Content-Encoding"}
    assert tool_reading(200, dict(reply.headers), reply) == tool_reading(200, plain, replayed)
