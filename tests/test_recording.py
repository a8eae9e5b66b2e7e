"""Recording a controller's replies and replaying them: korvalinden-rehearse
--record between the tool and a second simulated controller that stands in for
the operator's own, then --replies with that controller gone."""

import base64
import contextlib
import gzip
import json
import re
import socket
import struct
import subprocess
import sys
import threading
from pathlib import Path
from urllib.parse import quote, quote_plus

import pytest
import requests

from helpers import answer_to, write_files
from korvalinden._fields import fields_text
from korvalinden.rehearsal.command_line import _recording_ended
from korvalinden.rehearsal.controller import API_PATH, SimulatedController
from korvalinden.rehearsal.plan import plan_text
from korvalinden.rehearsal.forwarding import Forwarder
from korvalinden.rehearsal.recorder import Recorder
from korvalinden.rehearsal.recording import RecordingDirectory, RecordingError
from korvalinden.rehearsal.redaction import Replacements
from korvalinden.rehearsal.replies import RawReply

REHEARSE = str(Path(sys.executable).with_name("korvalinden-rehearse"))
USERNAME, PASSWORD = "ops-velm", "pw-Qz81!x"


OTHER_OPERATORS_SESSION = "9f8e7d6c5b4a39281706"


class EchoingController(SimulatedController):
    """A controller whose replies repeat what they should not, as a real one's may: "whoami" the session, the
    password, the run's other sessions and another operator's; "echo" every field and the password in every
    form they travel in; "page", no JSON, the password and the session in a link."""

    def _reply_to(self, fields):
        form = dict(fields)
        action, session = form.get("action"), form.get("CID")
        if session not in self.sessions or action not in ("whoami", "echo", "page"):
            return super()._reply_to(fields)
        if action == "page":
            page = f"<a href='/retry?password={quote(self.password)}&cid={session}'>again</a>".encode()
            return RawReply.of(page, 200, (("Content-Type", "text/html"),)), "built-in reply", "built-in reply"
        echo = {"kind": "operator", "session": session, "note": f"{session} signed in with {self.password}",
                "peers": sorted(self.sessions - {session}),
                "others": [{"user": "ops-hald", "CID": OTHER_OPERATORS_SESSION}]}
        if action == "echo":
            echo = {"fields": form, "password": self.password, "inner": json.dumps({"pass": form.get("pass")}),
                    "psk": [quote(form.get("psk", "")), base64.b64encode(form.get("psk", "").encode()).decode()],
                    "link": f"/retry?password={quote(self.password)}&token={quote_plus(form.get('token', ''))}",
                    "basic": base64.b64encode(f"{USERNAME}:{self.password}".encode()).decode(), "others": echo["others"]}
        return {"return": True, "results": echo}, "built-in reply", "built-in reply"


# What it prints holds every kind of session a reply can carry.
WHOAMI = "[default]\ndescription = Who\nfilters = results, session & peers & others\n[tarvenox]\naction = whoami\n"


# A control character is never written as it is: it could move a terminal's cursor or clear its screen.
@pytest.mark.parametrize("value, shown", [
    ("site-alder", "site-alder"), ("a!b", "a!b"), ("\x01", '"\\u0001"'), ("\x9b2J", '"\\u009b2J"'), ("élan", "élan"),
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
    # byte for byte, the sessions repeated included: the tool saw stand-ins while recording, and the replay hands
    # out the same in the same order
    assert replayed.stdout == recorded.stdout
    assert "rehearsal-other-session-1" in recorded.stdout
    assert not [session for session in [*sessions, OTHER_OPERATORS_SESSION] if session in recorded.stdout]
    assert "Site status\n" in replayed.stdout and replayed.stdout.endswith("\nnot recorded: 0 of 13 requests\n")
    (recorded_plan, recorded_sources), (replayed_plan, replayed_sources) = map(
        plan_of, [tmp_path / "recorded.jsonl", tmp_path / "replayed.jsonl"])
    assert recorded_plan == replayed_plan
    assert (recorded_sources, replayed_sources) == ({"forwarded"}, {"recorded"})

    # No secret in any byte of the recording; the echoes hold placeholders.
    kept = b"".join(path.read_bytes() for path in rec.iterdir())
    for secret in [PASSWORD, USERNAME, OTHER_OPERATORS_SESSION, *sessions]:
        assert secret.encode() not in kept
    whoami = json.loads(next(rec.glob("whoami-*.json")).read_text())["reply"]["results"]
    assert {**whoami, "peers": None} == {"kind": "operator", "session": "<session>", "peers": None,
                                         "note": "<session> signed in with <hidden>",
                                         "others": [{"user": "ops-hald", "CID": "<other-session-1>"}]}
    assert whoami["peers"] and all(re.fullmatch("<session-[0-9]+>", peer) for peer in whoami["peers"])
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


def b64(text):
    return base64.b64encode(text.encode()).decode()


# A secret long enough to be searched for takes a whole word's place in any form it travels in, a shorter one
# a whole value's; never a fragment of a longer word. In a text, and in a body in UTF-8 or in Latin-1.
@pytest.mark.parametrize("secret, text, kept", [
    ("pw-Qz81 é", "signed in with pw-Qz81 é.", "signed in with <hidden>."),
    ("pw-Qz81!x", "xpw-Qz81!x pw-Qz81!x_2", "xpw-Qz81!x pw-Qz81!x_2"),
    ("pw-Qz81 é", "/retry?p=pw-Qz81+%C3%A9&next=%2Fpw-Qz81%20%c3%a9", "/retry?p=<hidden>&next=%2F<hidden>"),
    ('pw "Qz81" é', json.dumps({"p": 'pw "Qz81" é'}), '{"p": "<hidden>"}'),
    ("pw-Qz81!x", "Basic " + b64("ops:pw-Qz81!x"), "Basic <hidden>"),
    ("admin", "admin", "<hidden>"),
    ("admin", "admin-site-2", "admin-site-2"),
    ("adm!n", "adm%21n", "<hidden>"),
    ("adm!n", b64("adm!n"), "<hidden>"),
], ids=["word", "fragments", "percent-encoded", "json-escaped", "base64", "short-whole", "short-in-a-word",
        "short-encoded", "short-base64"])
def test_a_secret_takes_a_whole_values_or_words_place_in_any_form(secret, text, kept):
    replacements = Replacements()
    replacements.add(secret, "<hidden>")
    assert replacements.text(text) == kept
    for encoding in ("utf-8", "latin-1"):
        assert replacements.data(text.encode(encoding)) == kept.encode(encoding)


SECRET_FIELDS = {"pass": "Pass-7781-zeta", "token": "tok-88a9f1c2e4", "apikey": "ak-55c3e1d9b0",
                 "new_password": "Npw-3311-delta", "psk": "ps!k9", "community": "comm-4a4b4c4d"}


# Whatever a request or a reply carries, no password, session or secret field is written, in any form it
# travels in; a password too short to be searched for is held back where it is a whole value, and said so.
@pytest.mark.certificates
@pytest.mark.parametrize("password", [PASSWORD, "admin"], ids=["password", "short-password"])
def test_no_secret_is_written_in_any_form(tmp_path, password):
    said, url = [], "https://{}/v1/api"
    fields = {"action": "echo", **SECRET_FIELDS, "site_name": "admin-site-2"}
    with EchoingController(USERNAME, password) as real, recording(tmp_path / "rec", real.address, said) as (proxy, _):
        cid = requests.post(url.format(proxy.address), data={"action": "login", "username": USERNAME,
                                                              "password": password}, verify=False).json()["CID"]
        for action in [fields, {"action": "page"}]:
            requests.post(url.format(proxy.address), data={"CID": cid, **action}, verify=False, timeout=30)
        sessions = real.sessions
    written = "".join([*(path.read_text() for path in (tmp_path / "rec").iterdir()), plan_text(proxy.plan), *said,
                       *(planned.json_line() for planned in proxy.plan)])
    forms = [(secret, form) for secret in [*SECRET_FIELDS.values(), *sessions, OTHER_OPERATORS_SESSION, password]
             for form in (secret, quote(secret), base64.b64encode(secret.encode()).decode())]
    # one too short to be searched for, as a whole value: a JSON string
    assert [form for secret, form in forms if (form if len(secret) >= 8 else f'"{form}"') in written] == []
    assert "site_name=admin-site-2" in written  # never part of a longer word
    short = [line.partition(" has fewer than 8 characters: ")[0] for line in said if "fewer than" in line]
    assert short == (["the value of password"] if len(password) < 8 else []) + ["the value of psk"]
    # The replay's key holds no secret either: it matches whatever password is typed there.
    with SimulatedController(replies=tmp_path / "rec") as replay:
        cid = requests.post(url.format(replay.address), data={"action": "login", "username": USERNAME,
                                                               "password": "other"}, verify=False).json()["CID"]
        requests.post(url.format(replay.address), data={"CID": cid, **fields}, verify=False, timeout=30)
    assert [planned.source for planned in replay.plan] == ["recorded", "recorded"]


@contextlib.contextmanager
def recording(directory, address, said=None, record_failures=False):
    recorder = Recorder(RecordingDirectory.for_recording(str(directory), address), Forwarder(address, API_PATH),
                        (said if said is not None else []).append, record_failures)
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


class ScriptedController(SimulatedController):
    """A controller whose reply to "show" is made by `script` from the request's session: status, headers, body."""

    def __init__(self, script):
        super().__init__(USERNAME, PASSWORD)
        self.script = script

    def _reply_to(self, fields):
        form = dict(fields)
        if form.get("action") == "show" and form.get("CID") in self.sessions:
            status, headers, body = self.script(form["CID"].encode())
            return RawReply.of(body, status, tuple(headers.items())), "built-in reply", "built-in reply"
        return super()._reply_to(fields)


def shown_to_the_tool(controller, password=PASSWORD):
    """Logs in and asks for "show": the status and what the tool reads of the reply, its value or its bytes;
    of a login that failed, its reply."""
    url = f"https://{controller.address}/v1/api"
    login = requests.post(url, data={"action": "login", "username": USERNAME, "password": password}, verify=False,
                          timeout=30)
    if "CID" not in login.json():
        return login.status_code, login.json()
    reply = requests.post(url, data={"CID": login.json()["CID"], "action": "show"}, verify=False, timeout=30)
    try:
        return reply.status_code, reply.json()
    except ValueError:
        return reply.status_code, reply.content


# A reply is kept as the tool reads it, the secrets held back; the tool sees a stand-in for the session
# while recording, and a replay gives it back the same.
@pytest.mark.parametrize("status, headers, body", [
    (200, {"Content-Type": "application/json"}, lambda cid: b'{"CID": "%s", "note": "%s \\u00e9 %s"}' % (
        cid, PASSWORD.encode(), cid)),
    (200, {"Content-Type": "application/json", "Content-Encoding": "gzip"},
     lambda cid: gzip.compress(b'["%s", 1.50, "x"]' % cid)),
    (503, {"Content-Type": "text/html; charset=latin-1"},
     lambda cid: b"<p>session %s \xe9 <a href='?p=%s'></p>" % (cid, quote(PASSWORD).encode())),
], ids=["json", "gzip", "not-json"])
@pytest.mark.certificates
def test_a_kept_reply_reads_as_the_controller_sent_it(tmp_path, status, headers, body):
    with ScriptedController(lambda cid: (status, headers, body(cid))) as real, \
            recording(tmp_path, real.address) as (proxy, _):
        recorded = shown_to_the_tool(proxy)
        sessions = [session.encode() for session in real.sessions]
    kept = b"".join(path.read_bytes() for path in tmp_path.iterdir())
    assert not [secret for secret in [*sessions, PASSWORD.encode(), quote(PASSWORD).encode()] if secret in kept]
    assert not [session for session in sessions if session in repr(recorded).encode()]
    with SimulatedController(replies=tmp_path) as replay:
        replayed = shown_to_the_tool(replay)
    # the same, but for the password, which the tool sent itself
    assert repr(replayed) == repr(recorded).replace(PASSWORD, "<hidden>").replace(quote(PASSWORD), "<hidden>")
    name = next(tmp_path.glob("show-*.json")).name
    assert replay.plan[-1].answer == f"recorded {name}" + (", status 503" if status != 200 else "")


# A reply nested about as deep as the interpreter reads JSON reaches the tool as it came, whether it could be
# searched for secrets and recorded or not (said, and counted). Which of the two depths is past that search
# depends on the version.
@pytest.mark.certificates
@pytest.mark.parametrize("depth", [sys.getrecursionlimit() * 3 // 4, sys.getrecursionlimit() + 50])
def test_a_deeply_nested_reply_reaches_the_tool_as_it_came(tmp_path, depth):
    body = b"[" * depth + b"1" + b"]" * depth
    said, url = [], "https://{}/v1/api"
    with ScriptedController(lambda cid: (200, {"Content-Type": "application/json"}, body)) as real, \
            recording(tmp_path, real.address, said) as (proxy, recorder):
        cid = requests.post(url.format(proxy.address), data={"action": "login", "username": USERNAME,
                                                              "password": PASSWORD}, verify=False).json()["CID"]
        reply = requests.post(url.format(proxy.address), data={"CID": cid, "action": "show"}, verify=False, timeout=30)
    assert (reply.status_code, reply.content) == (200, body)
    assert said == [] or said == ["a reply nested too deeply to be searched for secrets; such replies are passed on "
                                  "to the tool as they came, and not recorded"] and recorder.not_recorded == 1


GOOD_SHOW = (200, {"Content-Type": "application/json"}, b'{"return": true, "results": [1]}')
ERROR_PAGE = (500, {"Content-Type": "text/html"}, b"<html>Internal error</html>")
MAINTENANCE_PAGE = (200, {"Content-Type": "text/html"}, b"<html>maintenance</html>")
REFUSED = 'the controller refused a login: status 200 OK, reason: "Invalid username or password."'
LOGIN_ENTRY, SHOW_ENTRY = "login-645f0d8eb2a9.json", "show-4b3d2283ebc4.json"
KEPT_OUT = "; it is not recorded: {rec}/%s keeps the %s recorded before (--record-failures records such replies)"


# A failed reply never takes the place of a good one recorded before, unless asked to: the tool gets it as it
# came, standard error says so once per kind, and the count says so. A failed login is said in any case.
@pytest.mark.parametrize("recorded_before, password, show, record_failures, said, planned, changed", [
    (True, "wrong-password", None, False, REFUSED + KEPT_OUT % (LOGIN_ENTRY, "successful login"),
     [f"not recorded: login failed, {LOGIN_ENTRY} keeps the successful login recorded before"], []),
    (False, "wrong-password", None, False, REFUSED + f"; it is recorded as failed in {{rec}}/{LOGIN_ENTRY}",
     [f"recorded {LOGIN_ENTRY}: login failed"], [LOGIN_ENTRY]),
    (True, PASSWORD, ERROR_PAGE, False, "a reply with status 500 Internal Server Error to show" +
     KEPT_OUT % (SHOW_ENTRY, "good reply"), [f"not recorded: status 500, {SHOW_ENTRY} keeps the good reply recorded "
                                             "before"], []),
    (True, PASSWORD, MAINTENANCE_PAGE, False, "a reply that is not JSON (status 200 OK) to show" +
     KEPT_OUT % (SHOW_ENTRY, "good reply"), [f"not recorded: not JSON, {SHOW_ENTRY} keeps the good reply recorded "
                                             "before"], []),
    (True, PASSWORD, ERROR_PAGE, True, None, [f"recorded {SHOW_ENTRY}, status 500"], [SHOW_ENTRY]),
], ids=["refused-login", "refused-login-first", "error-page", "not-json", "recording-failures"])
@pytest.mark.certificates
def test_a_failed_reply_never_takes_a_good_ones_place_unless_asked(tmp_path, recorded_before, password, show,
                                                                 record_failures, said, planned, changed):
    replies = {"show": GOOD_SHOW}
    with ScriptedController(lambda cid: replies["show"]) as real:
        if recorded_before:
            with recording(tmp_path, real.address) as (proxy, _):
                shown_to_the_tool(proxy)
        before = {path.name: path.read_bytes() for path in tmp_path.glob("*-*.json")}
        replies["show"], heard = show or GOOD_SHOW, []
        with recording(tmp_path, real.address, heard, record_failures) as (proxy, recorder):
            got = shown_to_the_tool(proxy, password)
    after = {path.name: path.read_bytes() for path in tmp_path.glob("*-*.json")}
    assert sorted(name for name in after if after[name] != before.get(name)) == changed
    assert [request.answer for request in proxy.plan][-1:] == planned
    assert got == ((show[0], show[2]) if show else (200, {"return": False, "reason": "Invalid username or password."}))
    said = said and said.format(rec=tmp_path)
    assert [line[:len(said)] for line in heard] == ([said] if said else [])
    kept_out = said is not None and "it is not recorded" in said
    assert proxy.not_recorded_line().endswith(" (1 of them failed, the good replies recorded before kept)") == kept_out


# Recording anew over another controller's recording leaves none of its entries, whatever their names.
def test_replacing_a_controllers_recording_leaves_none_of_its_entries(tmp_path):
    write_files(tmp_path, {"index.json": '{"controller": "10.20.0.5"}', "add_site-1a.json": "{}",
                           "show_site-2b.json": "{}", "notes.txt": "the operator's"})
    RecordingDirectory.for_recording(str(tmp_path), "10.20.0.6", replace_controller=True)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["index.json", "notes.txt"]


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
