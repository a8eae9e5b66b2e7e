"""tarvenox_api against the simulated controller over real HTTPS: a file whose
request depends on another file's result."""

import textwrap

import pytest


@pytest.fixture
def pair(tmp_path):
    """Writes a listing file and a detail file that refers to it."""

    def write(list_name, list_filters, detail_filters):
        (tmp_path / list_name).write_text(textwrap.dedent(f"""
            [default]
            description = Sites
            filters = {list_filters}
            [tarvenox]
            action = list_sites
            """))
        (tmp_path / "details.cfg").write_text(textwrap.dedent(f"""
            [default]
            description = Site details
            filters = {detail_filters}
            [tarvenox]
            action = show_site
            site_name = output({list_name})
            """))
        return str(tmp_path), str(tmp_path / "details.cfg")

    return write


def call(kv, controller, config_dir, config_file):
    return kv.tarvenox_api(controller.address, controller.username, controller.password, config_dir, config_file)


def test_details_of_every_listed_site(kv, controller, pair):
    config_dir, details = pair("sites.cfg", "results, name", "results, name & state & peers")
    seen_before = len(controller.requests)
    result = call(kv, controller, config_dir, details)
    names = ["site-alder", "site-brenna", "site-cobble"]
    assert result == [{"object": name, "results": {"name": name, "state": "up",
                                                   "peers": [peer for peer in names if peer != name]}}
                      for name in names]

    requests = controller.requests[seen_before:]
    login = [("action", "login"), ("username", controller.username), ("password", controller.password)]
    assert requests[:2] == [login, login]
    # each file runs under a session of its own
    list_cid, details_cid = requests[2][0][1], requests[3][0][1]
    assert {details_cid, list_cid} <= controller.sessions and details_cid != list_cid
    assert requests[2:] == [[("CID", list_cid), ("action", "list_sites")]] + [
        [("CID", details_cid), ("action", "show_site"), ("site_name", name)] for name in names]


def test_failure_replies_are_filtered_like_any_other(kv, controller, pair):
    # zones are no site names: the controller refuses each request in its reply
    config_dir, details = pair("zones.list", "results, zone", "return & reason")
    result = call(kv, controller, config_dir, details)
    assert result == [
        {"object": zone, "results": {"return": False, "reason": f"Unknown site: {zone}"}}
        for zone in ["vellmark", "osterwick", "nordhal"]]
