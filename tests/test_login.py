"""Login: the exact request, the CID of the reply, and the failed-login path."""

import pytest

from helpers import (FAILED_ALLOCATIONS_CRASH, FREE_THREADED, MODULE_NAME,
                     BrokenConsole, DefaultingDict, lines_out_of_memory, module_entries, run_python)

ENTRY = f"{MODULE_NAME}.get_tarvenox_cid"


def test_request_is_exactly_the_login_form(kv, fake_requests):
    kv.get_tarvenox_cid(" 10.0.0.1:8443 ", "operator", "s3cret&=%")
    assert fake_requests.posts == [{
        "args": ("https:// 10.0.0.1:8443 /v1/api",),
        "keywords": ["data", "verify"],
        "data": [("action", "login"), ("username", "operator"), ("password", "s3cret&=%")],
        "verify": False,
    }]


@pytest.mark.parametrize("reply", [{"CID": "abc", "return": False}, {"CID": None}, {"x": 1, "CID": [1, 2]}])
def test_cid_is_returned_unchanged(kv, fake_requests, reply):
    fake_requests.replies["login"] = reply
    assert kv.get_tarvenox_cid("h", "u", "p") is reply["CID"]


def test_reply_that_is_not_a_plain_dict_is_subscripted_normally(kv, fake_requests):
    fake_requests.replies["login"] = DefaultingDict()
    assert kv.get_tarvenox_cid("h", "u", "p") == "default CID"


@pytest.mark.parametrize(
    "reply, cause",
    [({"return": False}, KeyError), (ValueError("Expecting value"), ValueError), (["CID"], TypeError),
     ("CID", TypeError), (None, TypeError)],
    ids=["no-CID", "not-JSON", "array", "string", "null"],
)
def test_failed_login_prints_and_exits_with_status_1(kv, fake_requests, capsys, reply, cause):
    fake_requests.replies["login"] = reply
    with pytest.raises(SystemExit) as caught:
        kv.get_tarvenox_cid("h", "u", "p")
    assert caught.value.code == 1
    assert capsys.readouterr().out == "Login failed\n"
    assert module_entries(caught.value) == [(ENTRY, 27)]
    context = caught.value.__context__
    assert isinstance(context, cause)
    assert module_entries(context) == [(ENTRY, 24)]


def test_failure_to_print_the_failed_login_passes_through(kv, fake_requests, monkeypatch):
    import sys

    fake_requests.replies["login"] = {}
    monkeypatch.setattr(sys, "stdout", BrokenConsole())
    with pytest.raises(OSError) as caught:
        kv.get_tarvenox_cid("h", "u", "p")
    assert module_entries(caught.value) == [(ENTRY, 26)]
    assert isinstance(caught.value.__context__, KeyError)


@pytest.mark.skipif(FREE_THREADED, reason=FAILED_ALLOCATIONS_CRASH)
def test_each_allocation_that_fails_names_its_statement():
    # The reply's decoding fails inside the handler for Exception, as the login then does.
    setup = """
        class Reply:
            def json(self):
                return {"CID": "cid"}

        kv.requests = type("Requests", (), {"post": lambda self, url, data, verify: Reply()})()
    """
    assert lines_out_of_memory('kv.get_tarvenox_cid("h", "u", "p")', setup) == [17, 20, 18, 24]


def test_exception_being_handled_is_restored_after_the_handler(kv, fake_requests, monkeypatch):
    import sys

    fake_requests.replies["login"] = {}
    monkeypatch.setattr(kv, "sys", type("FakeSys", (), {"exit": staticmethod(lambda code: None)}))
    try:
        raise LookupError("outer")
    except LookupError as outer:
        with pytest.raises(UnboundLocalError) as caught:
            kv.get_tarvenox_cid("h", "u", "p")
        assert sys.exc_info()[1] is outer
    assert str(caught.value) == unbound_local_message("CID")
    assert module_entries(caught.value) == [(ENTRY, 28)]


def unbound_local_message(name):
    """The running interpreter's own words for reading an unbound local variable."""
    namespace = {}
    exec(f"def read():\n    {name}\n    {name} = None", namespace)
    with pytest.raises(UnboundLocalError) as caught:
        namespace["read"]()
    return str(caught.value)


def test_exceptions_outside_exception_pass_through(kv, fake_requests, capsys):
    fake_requests.replies["login"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as caught:
        kv.get_tarvenox_cid("h", "u", "p")
    assert capsys.readouterr().out == ""
    assert module_entries(caught.value) == [(ENTRY, 24)]


@pytest.mark.parametrize(
    "break_it, error, line",
    [
        (lambda kv, fake: setattr(fake, "post_error", ConnectionError("refused")), ConnectionError, 18),
        (lambda kv, fake: setattr(kv, "requests", object()), AttributeError, 18),
    ],
    ids=["post-raises", "no-post"],
)
def test_failures_before_the_reply_pass_through_silently(kv, fake_requests, capsys, break_it, error, line):
    break_it(kv, fake_requests)
    with pytest.raises(error) as caught:
        kv.get_tarvenox_cid("h", "u", "p")
    assert capsys.readouterr().out == ""
    assert module_entries(caught.value) == [(ENTRY, line)]


def test_address_that_is_not_a_string(kv, fake_requests):
    with pytest.raises(TypeError) as caught:
        kv.get_tarvenox_cid(None, "u", "p")
    assert module_entries(caught.value) == [(ENTRY, 17)]
    assert fake_requests.posts == []


# -- against the simulated controller over real HTTPS ---------------------------------


def test_login_over_https(kv, controller):
    cid = kv.get_tarvenox_cid(controller.address, controller.username, controller.password)
    assert cid in controller.sessions
    assert controller.requests[-1] == [
        ("action", "login"), ("username", controller.username), ("password", controller.password)]


def test_wrong_password_over_https(kv, controller, capsys):
    with pytest.raises(SystemExit) as caught:
        kv.get_tarvenox_cid(controller.address, controller.username, "wrong")
    assert caught.value.code == 1
    assert capsys.readouterr().out == "Login failed\n"


def test_unreachable_controller_raises_the_requests_error(kv, capsys):
    import requests

    with pytest.raises(requests.exceptions.ConnectionError):
        kv.get_tarvenox_cid("127.0.0.1:9", "u", "p")
    assert capsys.readouterr().out == ""


def test_failed_login_exit_status_seen_from_a_process(controller):
    result = run_python(
        """
        import sys
        import korvalinden.korvalinden as kv
        kv.get_tarvenox_cid(sys.argv[1], "admin", "wrong")
        print("not reached")
        """,
        controller.address,
    )
    assert (result.returncode, result.stdout) == (1, "Login failed\n")
    assert "InsecureRequestWarning" not in result.stderr
