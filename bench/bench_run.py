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
times at a 20 ms round trip; exit status 1, naming the figures, when one is missed.

    .venv/bin/python bench/bench_run.py [--runs 3] [--round-trip-ms 20]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import queue
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from korvalinden.simulated_controller import DEFAULT_PASSWORD, SimulatedController

SITES = 200
SINGLE_SITE_FILES = 18
GOALS = {"loopback": 10.0, "delayed": 2.5}  # least ratio of per-post time to kept-alive time

LISTING_FILE = "[default]\ndescription = Site names\nfilters = results, name\n[tarvenox]\naction = list_sites\n"
SITE_FILE = ("[default]\ndescription = Site {index}\nfilters = results, state & links & uptime_hours\n"
             "[tarvenox]\naction = show_site\nsite_name = site-{index:04}\n")
COMPOUND_FILE = ("[default]\ndescription = Every site's status\nfilters = results, state & links\n"
                 "[tarvenox]\naction = show_site\nsite_name = output(01_sites.cfg)\n")
CALL_MAIN = "import korvalinden.korvalinden as kv; kv.main()"


def write_directory(directory: Path) -> None:
    (directory / "01_sites.cfg").write_text(LISTING_FILE)
    for index in range(SINGLE_SITE_FILES):
        (directory / f"{index + 2:02}_site.cfg").write_text(SITE_FILE.format(index=index * 11))
    (directory / f"{SINGLE_SITE_FILES + 2:02}_every_site.cfg").write_text(COMPOUND_FILE)


def serve(channel) -> None:
    """The controller, in a process of its own: sends its address, then
    (connections, posts) so far for every "count" asked, until "stop"."""
    sites = [{"name": f"site-{index:04}", "zone": "vellmark", "tier": "stennel"} for index in range(SITES)]
    with SimulatedController(sites=sites) as controller:
        channel.send(controller.address)
        while channel.recv() == "count":
            channel.send((controller.connections, len(controller.requests)))


class DelayingProxy:
    """Forwards TCP connections from a loopback port to `target`, holding
    every chunk for half a round trip; the first chunk from the client waits
    one round trip more, the time TCP's handshake would take."""

    def __init__(self, target: str, round_trip: float):
        host, port = target.rsplit(":", 1)
        self.target = (host, int(port))
        self.delay = round_trip / 2
        self.round_trip = round_trip
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed
            opened = time.monotonic()
            server = socket.create_connection(self.target)
            for end in (client, server):
                end.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            ends = _Ends(client, server)
            self._pump(client, server, ends, not_before=opened + self.round_trip)
            self._pump(server, client, ends, not_before=0.0)

    def _pump(self, source: socket.socket, sink: socket.socket, ends: _Ends, not_before: float) -> None:
        chunks: queue.SimpleQueue = queue.SimpleQueue()

        def read() -> None:
            data = b"-"
            while data:
                try:
                    data = source.recv(65536)
                except OSError:
                    data = b""
                chunks.put((time.monotonic() + self.delay, data))

        def write() -> None:
            earliest, data = not_before + self.delay, b"-"
            while data:
                due, data = chunks.get()
                time.sleep(max(0.0, max(due, earliest) - time.monotonic()))
                try:
                    sink.sendall(data) if data else sink.shutdown(socket.SHUT_WR)
                except OSError:
                    data = b""
            ends.one_done()

        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=write, daemon=True).start()


class _Ends:
    """A proxied connection's two sockets, closed once both directions end."""

    def __init__(self, *sockets: socket.socket):
        self.sockets, self.left, self.lock = sockets, 2, threading.Lock()

    def one_done(self) -> None:
        with self.lock:
            self.left -= 1
        if not self.left:
            for end in self.sockets:
                end.close()


def timed_run(command: list[str], address: str, config_dir: Path) -> tuple[float, str]:
    start = time.perf_counter()
    result = subprocess.run([*command, "--controller_ip", address, "--password", DEFAULT_PASSWORD, "--config_dir",
                             str(config_dir)], capture_output=True, text=True, timeout=600)
    elapsed = time.perf_counter() - start
    if result.returncode:
        raise SystemExit(f"bench_run: {command[0]} failed with status {result.returncode}:\n{result.stderr}")
    return elapsed, result.stdout


def spread_row(label: str, times: list[float], posts: int, connections: int) -> str:
    low, middle, high = (f"{value:9.2f}" for value in (min(times), statistics.median(times), max(times)))
    return f"  {label:14}{low}{middle}{high}{posts / statistics.median(times):11.0f}{connections:13}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of each way on each path (default: 3)")
    parser.add_argument("--round-trip-ms", type=float, default=20.0, help="the proxy's round trip (default: 20)")
    options = parser.parse_args()

    ways = {"kept alive": [str(Path(sys.executable).with_name("korvalinden"))],
            "per post": [sys.executable, "-c", CALL_MAIN]}
    load_before = os.getloadavg()
    ours, theirs = multiprocessing.Pipe()
    server = multiprocessing.Process(target=serve, args=(theirs,), daemon=True)
    server.start()
    results = {}
    try:
        if not ours.poll(60):
            raise SystemExit("bench_run: the simulated controller did not start")
        address = ours.recv()
        proxy = DelayingProxy(address, options.round_trip_ms / 1000)
        paths = {"loopback": address, "delayed": proxy.address}
        with tempfile.TemporaryDirectory() as config_dir:
            write_directory(Path(config_dir))
            outputs = set()
            for path, path_address in paths.items():
                times, counts = {way: [] for way in ways}, {way: set() for way in ways}
                for way, command in [*ways.items()] * options.runs:  # in turn
                    ours.send("count")
                    connections_before, posts_before = ours.recv()
                    elapsed, output = timed_run(command, path_address, Path(config_dir))
                    ours.send("count")
                    connections_after, posts_after = ours.recv()
                    times[way].append(elapsed)
                    counts[way].add((posts_after - posts_before, connections_after - connections_before))
                    outputs.add(output)
                results[path] = times, counts
        proxy.listener.close()
    finally:
        ours.send("stop")
        server.join(timeout=30)
    load_after = os.getloadavg()

    # Every run printed the same, and every run of a way made the same posts over as many connections.
    assert len(outputs) == 1, "the runs printed different output"
    assert all(len(found) == 1 for _, counts in results.values() for found in counts.values()), results

    posts = next(iter(results["loopback"][1]["per post"]))[0]
    print(f"a directory of {SINGLE_SITE_FILES + 2} files, one a compound call over {SITES} elements: {posts} posts "
          f"a run; {options.runs} runs of each way in turn, in seconds; load average {load_before[0]:.1f} at the "
          f"start, {load_after[0]:.1f} at the end, on {os.cpu_count()} cores")
    verdicts = []
    for path, (times, counts) in results.items():
        title = "loopback" if path == "loopback" else f"through a proxy of {options.round_trip_ms:g} ms round trip"
        print(f"\n{title}\n  {'':14}{'min':>9}{'median':>9}{'max':>9}{'posts/s':>11}{'connections':>13}")
        for way in ways:
            (way_posts, connections), = counts[way]
            print(spread_row(way, times[way], way_posts, connections))
        ratio = statistics.median(times["per post"]) / statistics.median(times["kept alive"])
        verdicts.append((ratio >= GOALS[path], f"{title}: kept alive {ratio:.1f} times as fast as per post, "
                                               f"goal {GOALS[path]:g}"))
    for met, verdict in verdicts:
        print(f"goal: {verdict}, {'met' if met else 'MISSED'}")
    return 0 if all(met for met, _ in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())
