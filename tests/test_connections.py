"""Kept-alive connections as a script gets them (korvalinden.connections):
connections left idle, a post that fails on a reused connection, a caller's
own `requests`."""

import time

import pytest
import requests

from korvalinden.connections import IDLE_LIMIT_SECONDS, kept_alive
from korvalinden.rehearsal.controller import SimulatedController

CONTROLLER_IDLE_TIMEOUT = 0.3


@pytest.mark.certificates
@pytest.mark.parametrize("wait, idle_limit, connections, fails", [
    (0.05, 0.2, 1, False),  # reused
    (0.5, 0.2, 2, False),  # idle past the limit: a new connection, where the controller's timeout would bite
    (0.5, IDLE_LIMIT_SECONDS, 1, True),  # reused past the controller's timeout: reset, and not sent again
])
def test_a_connection_idle_past_the_limit_is_not_reused(kv, wait, idle_limit, connections, fails):
    failure = None
    with SimulatedController(idle_timeout=CONTROLLER_IDLE_TIMEOUT) as controller:
        try:
            with kept_alive(kv, idle_limit):
                kv.get_tarvenox_cid(controller.address, controller.username, controller.password)
                time.sleep(wait)
                kv.get_tarvenox_cid(controller.address, controller.username, controller.password)
        except requests.ConnectionError as error:
            failure = error
    assert kv.requests is requests
    assert (controller.connections, len(controller.received)) == (connections, 2)
    assert (failure is not None) == fails, failure
    # A reset or an end without a reply, by the interpreter's ssl module: either way after the request was sent.
    assert not fails or "Connection aborted" in str(failure)


def test_a_requests_that_a_caller_put_in_place_stays(kv, fake_requests):
    with kept_alive(kv):
        kv.get_tarvenox_cid("10.20.0.5", "admin", "secret")
    assert kv.requests is fake_requests and len(fake_requests.posts) == 1


@pytest.mark.certificates
def test_a_connection_the_controller_has_closed_is_replaced_before_the_post(kv):
    with SimulatedController() as controller, kept_alive(kv):
        kv.get_tarvenox_cid(controller.address, controller.username, controller.password)
        controller.stop()  # closes the kept connection too
        controller.start()  # on the same port
        kv.get_tarvenox_cid(controller.address, controller.username, controller.password)
    assert (controller.connections, len(controller.received)) == (2, 2)


@pytest.mark.certificates
def test_the_transport_stands_in_for_requests_and_its_connections_end_with_the_block(kv):
    with SimulatedController() as controller:
        with kept_alive():  # the tool's module by default
            transport = kv.requests
            kv.get_tarvenox_cid(controller.address, controller.username, controller.password)
        # closed as the block ended: a later post needs a connection of its own
        transport.post(f"https://{controller.address}/v1/api", data={"action": "login"}, verify=False)
    assert controller.connections == 2
    assert set(dir(transport)) == set(dir(requests)) | {"post", "close", "idle_limit"}
    assert transport.codes is requests.codes
