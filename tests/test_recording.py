"""Recording a controller's replies and replaying them: korvalinden-rehearse
--record between the tool and a second simulated controller that stands in for
the operator's own, then --replies with that controller gone."""

import contextlib
import gzip
import json
import socket
import struct
import subprocess
import sys
import threading
from pathlib import Path

import pytest
import requests

from helpers import answer_to, write_files
from korvalinden._fields import fields_text
from korvalinden.recording import (Entry, Forwarder, Recorder, RecordingDirectory, RecordingError, Secrets,
                                   request_key, tool_reading)
from korvalinden.simulated_controller import API_PATH, SimulatedController, _recording_ended

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


@pytest.mark.certificates
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
def recording(directory, address, said=None):
    recorder = Recorder(RecordingDirectory.for_recording(str(directory), address), Forwarder(address, API_PATH),
                        (said if said is not None else []).append)
    with SimulatedController(recorder=recorder) as proxy:
        yield proxy, recorder


LOGIN = b"action=login&username=admin&password=tarvenox-demo"


# Whatever a request names, it goes to the recorded controller or nowhere.
@pytest.mark.certificates
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


@contextlib.contextmanager
def resetting_listener():
    """The address of a listener that resets every connection it accepts."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        def reset_each():
            with contextlib.suppress(OSError):  # the listener shut down
                while True:
                    connection = listener.accept()[0]
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    connection.close()
        threading.Thread(target=reset_each, daemon=True).start()
        yield "127.0.0.1:%d" % listener.getsockname()[1]
        listener.shutdown(socket.SHUT_RDWR)


# The reason is the operating system's own report, not what the socket layer met on its way to it.
@pytest.mark.certificates
@pytest.mark.parametrize("trouble, reason", [
    ("controller-out-of-reach", "ConnectionRefusedError: [Errno 111]"),
    ("controller-resets", "ConnectionResetError: [Errno 104]"),
    ("directory-gone", None),
])
def test_trouble_is_said_once_and_every_request_it_hit_is_counted_not_recorded(tmp_path, trouble, reason):
    directory, said = tmp_path / "rec", []
    with contextlib.ExitStack() as stack:
        controller = stack.enter_context(SimulatedController())
        address = controller.address
        if trouble == "controller-out-of-reach":
            controller.stop()
        elif trouble == "controller-resets":
            address = stack.enter_context(resetting_listener())
        proxy, recorder = stack.enter_context(recording(directory, address, said))
        if trouble == "directory-gone":
            (directory / "index.json").unlink()
            directory.rmdir()
        replies = [requests.post(f"https://{proxy.address}/v1/api", data=LOGIN, verify=False, timeout=30)
                   for _ in range(2)]
    assert (len(said), recorder.not_recorded) == (1, 2), said
    # a run that went well ends the rehearsal with status 1 all the same: its recording is not whole
    assert _recording_ended(proxy, 0) == 1
    if trouble == "directory-gone":
        # the tool is answered all the same
        assert [reply.json()["CID"] is not None for reply in replies] == [True, True]
        assert said[0].startswith(f"cannot write {directory}/login-") and not directory.exists()
        return
    assert [reply.status_code for reply in replies] == [502, 502]
    assert replies[0].json()["reason"].startswith(f"korvalinden-rehearse: no reply from {address}: {reason}")
    assert [path.name for path in directory.iterdir()] == ["index.json"]


# A reply is kept as the tool reads it, the secrets replaced; a replay gives back what the tool read,
# with its own session.
@pytest.mark.parametrize("status, headers, body, replayed", [
    (200, {"Content-Type": "application/json"}, b'{"CID": "c1d2", "note": "pw \\u00e9 c1d2"}',
     b'{"CID": "n3w", "note": "<hidden> n3w"}'),
    (200, {"Content-Type": "application/json", "Content-Encoding": "gzip"}, gzip.compress(b'["c1d2", 1.50, "x"]'),
     b'["n3w", 1.5, "x"]'),
    (503, {"Content-Type": "text/html; charset=latin-1"}, b"<p>session c1d2 \xe9</p>", b"<p>session n3w \xe9</p>"),
], ids=["json", "gzip", "not-json"])
def test_a_kept_reply_reads_as_the_controller_sent_it(tmp_path, status, headers, body, replayed):
    secrets = Secrets()
    secrets.learn_request([("CID", "c1d2"), ("password", "pw \u00e9")])
    directory = RecordingDirectory.for_recording(str(tmp_path), "10.20.0.5")
    name = directory.keep(Entry.of_reply(request_key([("action", "show")]), status, headers, body,
                                         tool_reading(status, headers, body), secrets))
    assert not any(secret in path.read_bytes() for path in tmp_path.iterdir()
                   for secret in (b"c1d2", "pw \u00e9".encode(), b"pw \\u00e9"))
    entry = RecordingDirectory.for_replay(str(tmp_path)).find((("action", "show"),))
    assert entry.answer_text() == f"recorded {name}" + (", status 503" if status != 200 else "")
    reply = entry.reply_for("n3w")
    plain = {name: value for name, value in headers.items() if name != "Content-Encoding"}
    assert tool_reading(status, dict(reply.headers), reply) == tool_reading(status, plain, replayed)


SHOW = '"fields": [["action", "show"]]'


# A recording read for a replay: every way an entry can be wrong is named, with its file.
@pytest.mark.parametrize("entries, problem", [
    ({"a.json": "[]"}, "recorded reply {a}: not a JSON object"),
    ({"a.json": '{"fields": [["action"]]}'}, 'recorded reply {a}: "fields" must be a list of [name, value] pairs of texts'),
    ({"a.json": '{"fields": ["ab"]}'}, 'recorded reply {a}: "fields" must be a list of [name, value] pairs of texts'),
    ({"a.json": '{"fields": [], "login": "maybe"}'}, 'recorded reply {a}: "login" must be "succeeded" or "failed"'),
    ({"a.json": '{"fields": [], "status": "200"}'}, 'recorded reply {a}: "status" must be an HTTP status, 100 to 599'),
    ({"a.json": '{"fields": [], "status": 200}'}, 'recorded reply {a}: needs "reply", or "reply_base64" holding base64'),
    ({"a.json": "[" * 100_000}, "{a} is not JSON: "),
    ({"a.json": "{%s, %s}" % (SHOW, '"status": 200, "reply": 1'), "b.json": "{%s, %s}" % (SHOW, '"login": "failed"')},
     "recorded replies {a} and {b} answer the same request"),
], ids=["no-object", "short-field", "field-no-list", "login", "status", "no-reply", "too-deep", "same-request"])
def test_a_recording_that_cannot_be_replayed_is_refused_naming_its_file(tmp_path, entries, problem):
    write_files(tmp_path, {"index.json": '{"controller": "10.20.0.5", "entries": {}}', **entries})
    with pytest.raises(RecordingError) as refused:
        RecordingDirectory.for_replay(str(tmp_path))
    expected, message = problem.format(a=tmp_path / "a.json", b=tmp_path / "b.json"), str(refused.value)
    assert message == expected or expected.endswith(": ") and message.startswith(expected)  # the decoder's words
