"""The tool's own work on a compound call, and the same call over HTTPS.

A configuration file refers to another that yields 200 site names, so tarvenox_api
posts show_site 200 times: with the two logins and the listing, 203 posts a call.
The comparison is a plain Python loop that makes the same posts and takes each
reply's json(), with no configuration file and no filtering.

1. The tool's own work: `requests` is a stand-in whose post returns at once a reply
   built in advance, so the time is the tool's alone (reading the two files, the
   form data, the walk, the filtering); the plain loop runs with it beside it.
2. Over HTTPS against the simulated controller, the tool and the plain loop in turn:
   the ratio of the medians and the range of the ratios of the turns.

Goal: the tool's own work (median of 1.) at most 5 % of the plain loop's over HTTPS (2.).

    .venv/bin/python bench/bench_call.py [--elements 200] [--runs 5] [--instant-runs 100]
"""

import statistics
import sys

import requests
import urllib3

import korvalinden.korvalinden as kv
from common import (SPREAD_HEADER, ControllerProcess, config_directory, goal, parse_options, sites, spread,
                    take_turns, timed)
from korvalinden.rehearsal.controller import DEFAULT_PASSWORD, DEFAULT_USERNAME, SimulatedController

GOAL_PERCENT = 5.0
FILES = {"names.cfg": "[default]\nfilters = results, name\n[tarvenox]\naction = list_sites\n",
         "details.cfg": "[default]\nfilters = results, state & links & uptime_hours\n"
                        "[tarvenox]\naction = show_site\nsite_name = output(names.cfg)\n"}
LOGIN = {"action": "login", "username": DEFAULT_USERNAME, "password": DEFAULT_PASSWORD}


def run_tool(address: str, config_dir: str) -> list:
    return kv.tarvenox_api(address, DEFAULT_USERNAME, DEFAULT_PASSWORD, config_dir, f"{config_dir}/details.cfg")


def run_plain(address: str, post) -> list:
    url = "https://" + address + "/v1/api"
    cid = post(url, data=LOGIN, verify=False).json()["CID"]
    inner_cid = post(url, data=LOGIN, verify=False).json()["CID"]
    listing = post(url, data={"CID": inner_cid, "action": "list_sites"}, verify=False).json()
    data = {"CID": cid, "action": "show_site", "site_name": None}
    replies = []
    for site in listing["results"]:
        data["site_name"] = site["name"]
        replies.append(post(url, data=data, verify=False).json())
    return replies


def turns(runs: int, address: str, config_dir: str, post) -> dict[str, list[float]]:
    """Seconds of `runs` calls of the tool (which posts with kv.requests) and of the plain loop, in turn."""
    return take_turns({"tool": lambda: timed(run_tool, address, config_dir),
                       "plain": lambda: timed(run_plain, address, post)}, runs)


class Ready:
    def __init__(self, document):
        self.document = document

    def json(self):
        return self.document


class InstantRequests:
    """Stands in for `requests`: every post returns at once the reply the simulated controller gives."""

    def __init__(self, count: int):
        controller = SimulatedController(sites=sites(count))
        cid = controller.answer(list(LOGIN.items()))["CID"]
        self.login = Ready({"return": True, "CID": cid})
        self.listing = Ready(controller.answer([("CID", cid), ("action", "list_sites")]))
        self.details = {site["name"]: Ready(controller.answer([("CID", cid), ("action", "show_site"),
                                                               ("site_name", site["name"])]))
                        for site in controller.sites}

    def post(self, url, data=None, verify=True):
        if data["action"] == "show_site":
            return self.details[data["site_name"]]
        return self.login if data["action"] == "login" else self.listing


def main() -> int:
    options = parse_options(__doc__, elements=200, runs=5, instant_runs=100)
    urllib3.disable_warnings()

    instant = InstantRequests(options.elements)
    with ControllerProcess(options.elements) as controller, config_directory(FILES) as config_dir:
        address = controller.address
        # Every path once, all four giving the same details.
        tool_outcomes = [run_tool(address, config_dir)]
        plain_outcomes = [run_plain(address, requests.post), run_plain(address, instant.post)]
        kv.requests = instant
        try:
            tool_outcomes.append(run_tool(address, config_dir))
            at_once = turns(options.instant_runs, address, config_dir, instant.post)
        finally:
            kv.requests = requests
        kept = ("state", "links", "uptime_hours")
        details = [[item["results"] for item in outcome] for outcome in tool_outcomes]
        details += [[{key: reply["results"][key] for key in kept} for reply in outcome] for outcome in plain_outcomes]
        assert all(found == details[0] and len(found) == options.elements for found in details)
        https = turns(options.runs, address, config_dir, requests.post)

    posts, own, baseline = options.elements + 3, statistics.median(at_once["tool"]), statistics.median(https["plain"])
    ratios = [tool / plain for tool, plain in zip(https["tool"], https["plain"])]
    print(f"compound call of {options.elements} elements: {posts} posts a call, in ms\n{SPREAD_HEADER}")
    print(f"the tool's own work, posts that return at once, {options.instant_runs} runs each")
    print(spread("korvalinden tarvenox_api", at_once["tool"], ".2f", 1e3) + f"   ({own / posts * 1e6:.1f} us per post)")
    print(spread("plain Python loop", at_once["plain"], ".2f", 1e3))
    print(f"over HTTPS against the simulated controller, {options.runs} runs each in turn")
    print(spread("korvalinden tarvenox_api", https["tool"], ".0f", 1e3))
    print(spread("plain requests.post loop", https["plain"], ".0f", 1e3))
    print(f"  ratio korvalinden / plain   {statistics.median(https['tool']) / baseline:.3f} "
          f"(runs in turn: {min(ratios):.3f} to {max(ratios):.3f})")
    share, missed = own / baseline * 100.0, []
    goal(missed, share <= GOAL_PERCENT, f"the tool's own work at most {GOAL_PERCENT:g} % of the plain loop over HTTPS: "
                                        f"{own * 1e3:.2f} ms of {baseline * 1e3:.0f} ms = {share:.2f} %")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
