"""The tool's own work on a compound call, and the same call over HTTPS.

A configuration file refers to another that yields 200 site names, so tarvenox_api
posts show_site 200 times: with the two logins and the listing, 203 posts a call.
The comparison is a plain Python loop that makes the same posts and takes each
reply's json(), with no configuration file and no filtering.

1. The tool's own work: `requests` is a stand-in whose post returns at once a reply
   built in advance, so the time is the tool's alone (reading the two files, the
   form data, the walk, the filtering); the plain loop runs with it beside it.
2. Over HTTPS against the simulated controller (a process of its own, so that its
   threads do not compete for the interpreter lock), the tool and the plain loop in
   turn: the ratio of the medians and the range of the ratios of the turns.

Goal: the tool's own work (median of 1.) at most 5 % of the plain loop's median over
HTTPS (2.); exit status 1, naming the figures, when it is missed.

    .venv/bin/python bench/bench_call.py [--elements 200] [--runs 5] [--instant-runs 100]
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import sys
import tempfile
import time
from pathlib import Path

import requests
import urllib3

import korvalinden.korvalinden as kv
from korvalinden.simulated_controller import DEFAULT_PASSWORD, DEFAULT_USERNAME, SimulatedController

GOAL_PERCENT = 5.0
FILES = {
    "names.cfg": "[default]\nfilters = results, name\n[tarvenox]\naction = list_sites\n",
    "details.cfg": "[default]\nfilters = results, state & links & uptime_hours\n"
                   "[tarvenox]\naction = show_site\nsite_name = output(names.cfg)\n",
}
LOGIN = {"action": "login", "username": DEFAULT_USERNAME, "password": DEFAULT_PASSWORD}


def sites(count: int) -> list[dict]:
    return [{"name": f"site-{index:04}", "zone": "vellmark", "tier": "stennel"} for index in range(count)]


def serve(count: int, addresses, stop) -> None:
    with SimulatedController(sites=sites(count)) as controller:
        addresses.put(controller.address)
        stop.wait()


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
                                                               ("site_name", site["name"])])) for site in controller.sites}

    def post(self, url, data=None, verify=True):
        if data["action"] == "show_site":
            return self.details[data["site_name"]]
        return self.login if data["action"] == "login" else self.listing


def take_turns(runs: int, first, second) -> tuple[list[float], list[float]]:
    """Wall-clock seconds of `runs` calls of each, in turn, so that drift hits both alike."""
    times = ([], [])
    for _ in range(runs):
        for (function, *args), kept in zip((first, second), times):
            start = time.perf_counter()
            function(*args)
            kept.append(time.perf_counter() - start)
    return times


def row(label: str, times: list[float], digits: int, note: str = "") -> str:
    return f"  {label:28}" + "".join(f"{value * 1e3:10.{digits}f}" for value in
                                     (min(times), statistics.median(times), max(times))) + note


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elements", type=int, default=200)
    parser.add_argument("--runs", type=int, default=5, help="runs of each over HTTPS")
    parser.add_argument("--instant-runs", type=int, default=100, help="runs of each with posts that return at once")
    options = parser.parse_args()
    urllib3.disable_warnings()

    instant, addresses, stop = InstantRequests(options.elements), multiprocessing.Queue(), multiprocessing.Event()
    server = multiprocessing.Process(target=serve, args=(options.elements, addresses, stop), daemon=True)
    server.start()
    try:
        address = addresses.get(timeout=30)
        with tempfile.TemporaryDirectory() as config_dir:
            for name, text in FILES.items():
                Path(config_dir, name).write_text(text)
            # Every path once, all four giving the same details.
            tool_outcomes = [run_tool(address, config_dir)]
            plain_outcomes = [run_plain(address, requests.post), run_plain(address, instant.post)]
            kv.requests = instant
            try:
                tool_outcomes.append(run_tool(address, config_dir))
                tool_instant, plain_instant = take_turns(options.instant_runs, (run_tool, address, config_dir),
                                                         (run_plain, address, instant.post))
            finally:
                kv.requests = requests
            kept = ("state", "links", "uptime_hours")
            details = [[item["results"] for item in outcome] for outcome in tool_outcomes]
            details += [[{key: reply["results"][key] for key in kept} for reply in outcome] for outcome in plain_outcomes]
            assert all(found == details[0] and len(found) == options.elements for found in details)
            tool_https, plain_https = take_turns(options.runs, (run_tool, address, config_dir),
                                                 (run_plain, address, requests.post))
    finally:
        stop.set()
        server.join(timeout=10)

    posts, own, baseline = options.elements + 3, statistics.median(tool_instant), statistics.median(plain_https)
    ratios = [tool / plain for tool, plain in zip(tool_https, plain_https)]
    print(f"compound call of {options.elements} elements: {posts} posts a call; ms: {'min':>18}{'median':>10}{'max':>10}")
    print(f"the tool's own work, posts that return at once, {options.instant_runs} runs each")
    print(row("korvalinden tarvenox_api", tool_instant, 2, f"   ({own / posts * 1e6:.1f} us per post)"))
    print(row("plain Python loop", plain_instant, 2))
    print(f"over HTTPS against the simulated controller, {options.runs} runs each in turn")
    print(row("korvalinden tarvenox_api", tool_https, 0))
    print(row("plain requests.post loop", plain_https, 0))
    print(f"  ratio korvalinden / plain   {statistics.median(tool_https) / baseline:.3f} "
          f"(runs in turn: {min(ratios):.3f} to {max(ratios):.3f})")
    share = own / baseline * 100.0
    print(f"goal: the tool's own work at most {GOAL_PERCENT:g} % of the plain loop over HTTPS: "
          f"{own * 1e3:.2f} ms of {baseline * 1e3:.0f} ms = {share:.2f} %, {'met' if share <= GOAL_PERCENT else 'MISSED'}")
    return 0 if share <= GOAL_PERCENT else 1


if __name__ == "__main__":
    sys.exit(main())
