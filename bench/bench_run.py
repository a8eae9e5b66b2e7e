"""A directory run end to end: kept-alive connections against a new connection for
every post.

20 configuration files: a listing of 200 sites, 18 files that each show one site and
a compound call that shows every listed site, 242 posts a run with the logins, served
by the simulated controller in a process of its own. Each run is a real process,
timed from start to end: kept alive, the console command `korvalinden`, whose posts
share one connection; per post, `main` called directly, which opens a connection
and makes a TLS handshake for every post. Both run on the loopback and through a
proxy of its own that holds every chunk for half a round trip each way, and the
first bytes of a connection a round trip more, as TCP's handshake would. The ways
take turns; the figures are min, median and max, posts per second and the ratio.

Goals: kept alive at least 10 times as fast as per post on the loopback, and 2.5
times at a 20 ms round trip.

    .venv/bin/python bench/bench_run.py [--runs 3] [--round-trip-ms 20]
"""

import functools
import os
import queue
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

from common import SPREAD_HEADER, ControllerProcess, config_directory, goal, parse_options, spread, take_turns
from korvalinden.rehearsal.controller import DEFAULT_PASSWORD

SITES = 200
SINGLE_SITE_FILES = 18
GOALS = (10.0, 2.5)  # least ratio of per-post time to kept-alive time: on the loopback, through the proxy
LISTING_FILE = "[default]\ndescription = Site names\nfilters = results, name\n[tarvenox]\naction = list_sites\n"
SITE_FILE = ("[default]\ndescription = Site {index}\nfilters = results, state & links & uptime_hours\n"
             "[tarvenox]\naction = show_site\nsite_name = site-{index:04}\n")
COMPOUND_FILE = ("[default]\ndescription = Every site's status\nfilters = results, state & links\n"
                 "[tarvenox]\naction = show_site\nsite_name = output(01_sites.cfg)\n")
FILES = {"01_sites.cfg": LISTING_FILE, f"{SINGLE_SITE_FILES + 2:02}_every_site.cfg": COMPOUND_FILE,
         **{f"{index + 2:02}_site.cfg": SITE_FILE.format(index=index * 11) for index in range(SINGLE_SITE_FILES)}}


class DelayingProxy:
    """Forwards TCP connections from a loopback port to `target`, holding
    every chunk for half a round trip; the first chunk from the client waits
    one round trip more, the time TCP's handshake would take."""

    def __init__(self, target: str, round_trip: float):
        host, port = target.rsplit(":", 1)
        self.target, self.round_trip = (host, int(port)), round_trip
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed
            not_before = time.monotonic() + self.round_trip
            server = socket.create_connection(self.target)
            both_ended = threading.Barrier(2)  # then each direction closes the socket it wrote to
            for source, sink, earliest in ((client, server, not_before), (server, client, 0.0)):
                source.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                self._pump(source, sink, earliest, both_ended)

    def _pump(self, source: socket.socket, sink: socket.socket, not_before: float, both_ended) -> None:
        chunks: queue.SimpleQueue = queue.SimpleQueue()

        def read() -> None:
            data = b"-"
            while data:
                try:
                    data = source.recv(65536)
                except OSError:
                    data = b""
                chunks.put((time.monotonic() + self.round_trip / 2, data))

        def write() -> None:
            earliest, data = not_before + self.round_trip / 2, b"-"
            while data:
                due, data = chunks.get()
                time.sleep(max(0.0, max(due, earliest) - time.monotonic()))
                try:
                    sink.sendall(data) if data else sink.shutdown(socket.SHUT_WR)
                except OSError:
                    data = b""
            both_ended.wait()
            sink.close()

        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=write, daemon=True).start()


def run_once(controller: ControllerProcess, command: list[str], address: str, config_dir: str) -> tuple:
    """One run as a process: its seconds from start to end, the (posts, connections) it made, its output."""
    connections_before, posts_before = controller.counts()
    start = time.perf_counter()
    result = subprocess.run([*command, "--controller_ip", address, "--password", DEFAULT_PASSWORD,
                             "--config_dir", config_dir], capture_output=True, text=True, timeout=600)
    seconds = time.perf_counter() - start
    connections, posts = controller.counts()
    if result.returncode:
        raise SystemExit(f"bench_run: {command[0]} failed with status {result.returncode}:\n{result.stderr}")
    return seconds, (posts - posts_before, connections - connections_before), result.stdout


def main() -> int:
    options = parse_options(__doc__, runs=3, round_trip_ms=20.0)

    ways = {"kept alive": [str(Path(sys.executable).with_name("korvalinden"))],
            "per post": [sys.executable, "-c", "import korvalinden.korvalinden as kv; kv.main()"]}
    load_before, runs = os.getloadavg(), {}
    with ControllerProcess(SITES) as controller, config_directory(FILES) as config_dir:
        proxy = DelayingProxy(controller.address, options.round_trip_ms / 1000)
        paths = {"loopback": controller.address,
                 f"through a proxy of {options.round_trip_ms:g} ms round trip": proxy.address}
        for path, address in paths.items():
            runs[path] = take_turns({way: functools.partial(run_once, controller, command, address, config_dir)
                                     for way, command in ways.items()}, options.runs)
        proxy.listener.close()
    load_after = os.getloadavg()

    # Every run printed the same, and every run of a way made the same posts over as many connections.
    every_way = [done for by_way in runs.values() for done in by_way.values()]
    assert len({output for done in every_way for _, _, output in done}) == 1, "the runs printed different output"
    assert all(len({counts for _, counts, _ in done}) == 1 for done in every_way), "a way's runs made different posts"

    _, (posts, _), _ = runs["loopback"]["per post"][0]
    print(f"a directory of {len(FILES)} files, one a compound call over {SITES} elements: {posts} posts a run; "
          f"{options.runs} runs of each way in turn, in seconds; load average {load_before[0]:.1f} at the start, "
          f"{load_after[0]:.1f} at the end, on {os.cpu_count()} cores")
    missed = []
    for (path, by_way), least in zip(runs.items(), GOALS):
        print(f"\n{path}\n{SPREAD_HEADER}{'posts/s':>11}{'connections':>13}")
        medians = {}
        for way, done in by_way.items():
            seconds = [run[0] for run in done]
            _, (way_posts, connections), _ = done[0]
            medians[way] = statistics.median(seconds)
            print(spread(way, seconds, ".2f") + f"{way_posts / medians[way]:11.0f}{connections:13}")
        ratio = medians["per post"] / medians["kept alive"]
        goal(missed, ratio >= least, f"{path}: kept alive {ratio:.1f} times as fast as per post, goal {least:g}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
