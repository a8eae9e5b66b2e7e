"""The tool's own cost on a compound call, against plain requests.

A configuration file refers to another that yields 200 site names, so
tarvenox_api posts show_site 200 times. The baseline is a plain Python loop
making the same HTTPS requests with requests.post (the two logins, the listing
and the 200 posts) and decoding each reply, with no configuration file and no
filtering. The overhead is the difference of the medians, in per cent of the
baseline.

Over HTTPS every post opens a new connection (requests.post keeps no
session), and each new connection's TLS set-up dominates, so the measured
difference is small against a noisy total. A second measurement therefore
repeats both paths with an in-memory stand-in for requests that answers the
same replies without any network: what remains is the tool's own work, which
is then set against the HTTPS baseline.

The simulated controller runs in a process of its own, so that its threads do
not compete with the measured code for the interpreter lock.

    .venv/bin/python bench/bench_call.py [--elements 200] [--runs 5] [--offline-runs 30]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))

import requests  # noqa: E402
import urllib3  # noqa: E402

import korvalinden.korvalinden as kv  # noqa: E402
from simulated_controller import DEFAULT_PASSWORD, DEFAULT_USERNAME, SimulatedController  # noqa: E402

GOAL_PERCENT = 5.0  # the tool's own work, against the plain loop over HTTPS

NAMES_FILE = """\
[default]
filters = results, name

[tarvenox]
action = list_sites
"""

DETAILS_FILE = """\
[default]
filters = results, state & links & uptime_hours

[tarvenox]
action = show_site
site_name = output(names.cfg)
"""


def make_sites(count: int) -> list[dict]:
    return [{"name": f"site-{index:04}", "zone": "vellmark", "tier": "stennel"} for index in range(count)]


def serve(count: int, addresses, stop) -> None:
    with SimulatedController(sites=make_sites(count)) as controller:
        addresses.put(controller.address)
        stop.wait()


def run_tool(address: str, config_dir: str) -> list:
    return kv.tarvenox_api(address, DEFAULT_USERNAME, DEFAULT_PASSWORD, config_dir,
                           str(Path(config_dir) / "details.cfg"))


def run_plain(address: str, post=None) -> list:
    post = post or requests.post
    url = "https://" + address + "/v1/api"
    login = {"action": "login", "username": DEFAULT_USERNAME, "password": DEFAULT_PASSWORD}
    cid = post(url, data=login, verify=False).json()["CID"]
    inner_cid = post(url, data=login, verify=False).json()["CID"]
    listing = post(url, data={"CID": inner_cid, "action": "list_sites"}, verify=False).json()
    replies = []
    data = {"CID": cid, "action": "show_site", "site_name": None}
    for site in listing["results"]:
        data["site_name"] = site["name"]
        replies.append(post(url, data=data, verify=False).json())
    return replies


class OfflineReply:
    def __init__(self, body: str):
        self.body = body

    def json(self):
        return json.loads(self.body)


class OfflineRequests:
    """Answers posts as the controller would, from memory: the reply is
    serialised and decoded again, as a response's json() would."""

    def __init__(self, count: int):
        self.controller = SimulatedController(sites=make_sites(count))

    def post(self, url, data=None, verify=True):
        fields = [(key, str(value)) for key, value in data.items()]
        return OfflineReply(json.dumps(self.controller.answer(fields)))


def measure(runs: int, first, second) -> tuple[list[tuple[float, float]], list[tuple[float, float]]]:
    """(wall, cpu) seconds of `runs` calls of each, alternating so that drift hits both alike."""
    first_times, second_times = [], []
    for _ in range(runs):
        first_times.append(timed(*first)[:2])
        second_times.append(timed(*second)[:2])
    return first_times, second_times


def median(times, which: int) -> float:
    return statistics.median(t[which] for t in times)


def overhead(tool, plain, which: int) -> float:
    return (median(tool, which) / median(plain, which) - 1.0) * 100.0


def timed(function, *args) -> tuple[float, float, object]:
    """Wall-clock and CPU seconds of this process for one call, and its value."""
    start, start_cpu = time.perf_counter(), time.process_time()
    value = function(*args)
    return time.perf_counter() - start, time.process_time() - start_cpu, value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elements", type=int, default=200)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--offline-runs", type=int, default=30)
    options = parser.parse_args()

    urllib3.disable_warnings()
    warnings.simplefilter("ignore", urllib3.exceptions.InsecureRequestWarning)

    addresses = multiprocessing.Queue()
    stop = multiprocessing.Event()
    server = multiprocessing.Process(target=serve, args=(options.elements, addresses, stop), daemon=True)
    server.start()
    try:
        address = addresses.get(timeout=30)
        with tempfile.TemporaryDirectory() as config_dir:
            Path(config_dir, "names.cfg").write_text(NAMES_FILE)
            Path(config_dir, "details.cfg").write_text(DETAILS_FILE)

            # Warm up both paths and check that they did the same work.
            tool_result = run_tool(address, config_dir)
            plain_result = run_plain(address)
            assert len(tool_result) == len(plain_result) == options.elements, (len(tool_result), len(plain_result))
            assert all(item["results"]["state"] == reply["results"]["state"]
                       for item, reply in zip(tool_result, plain_result))

            tool_times, plain_times = measure(options.runs, (run_tool, address, config_dir),
                                              (run_plain, address))

            offline = OfflineRequests(options.elements)
            kv.requests = offline
            try:
                offline_tool, offline_plain = measure(options.offline_runs, (run_tool, address, config_dir),
                                                      (run_plain, address, offline.post))
            finally:
                kv.requests = requests
    finally:
        stop.set()
        server.join(timeout=10)

    posts = options.elements + 3
    print(f"compound call of {options.elements} elements ({posts} HTTPS posts per run), {options.runs} runs each")
    print("                               wall median      cpu median   (this process; wall runs in ms)")
    for label, times in (("korvalinden tarvenox_api", tool_times), ("plain requests.post loop", plain_times)):
        print(f"  {label:26} {median(times, 0) * 1000:9.1f} ms  {median(times, 1) * 1000:11.1f} ms   "
              f"{', '.join(f'{t[0] * 1000:.0f}' for t in times)}")
    print(f"  overhead                   {overhead(tool_times, plain_times, 0):+8.1f} %   "
          f"{overhead(tool_times, plain_times, 1):+10.1f} %")

    own = median(offline_tool, 0) - median(offline_plain, 0)
    own_percent = own / median(plain_times, 0) * 100.0
    print(f"without network, {options.offline_runs} runs each")
    print(f"  korvalinden tarvenox_api   {median(offline_tool, 0) * 1000:9.2f} ms")
    print(f"  plain loop                 {median(offline_plain, 0) * 1000:9.2f} ms")
    print(f"  the tool's own work: {own * 1000:+.2f} ms per call ({own / options.elements * 1e6:+.1f} us per "
          f"element) = {own_percent:+.2f} % of the HTTPS baseline's wall median (goal: within {GOAL_PERCENT:.0f} %)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
