"""What the benchmarks share: their options, the simulated controller in a process of
its own, configuration files, turns, rows of min/median/max and goal lines."""

import argparse
import contextlib
import multiprocessing
import statistics
import tempfile
import time
from pathlib import Path

SPREAD_HEADER = f"  {'':28}{'min':>10}{'median':>10}{'max':>10}"


def parse_options(doc: str, **defaults) -> argparse.Namespace:
    """--NAME for each keyword (underscores as dashes), of its default's type; the first paragraph of `doc` as help."""
    parser = argparse.ArgumentParser(description=" ".join(doc.split("\n\n", 1)[0].split()))
    for name, default in defaults.items():
        parser.add_argument("--" + name.replace("_", "-"), type=type(default), default=default,
                            help=f"default: {default}")
    return parser.parse_args()


def sites(count: int) -> list[dict]:
    return [{"name": f"site-{index:04}", "zone": "vellmark", "tier": "stennel"} for index in range(count)]


def serve(count: int, channel) -> None:
    """The controller: sends its address, then (connections, posts) so far for each "count" asked, until "stop"."""
    from korvalinden.rehearsal.controller import SimulatedController  # in this process alone

    with SimulatedController(sites=sites(count)) as controller:
        channel.send(controller.address)
        while channel.recv() == "count":
            channel.send((controller.connections, len(controller.requests)))


class ControllerProcess:
    """The simulated controller with `count` sites, in a process of its own so that
    its threads do not compete with the benchmark for the interpreter lock."""

    def __init__(self, count: int):
        self.channel, theirs = multiprocessing.Pipe()
        self.process = multiprocessing.Process(target=serve, args=(count, theirs), daemon=True)

    def __enter__(self) -> "ControllerProcess":
        self.process.start()
        if not self.channel.poll(60):
            raise SystemExit("the simulated controller did not start")
        self.address = self.channel.recv()
        return self

    def counts(self) -> tuple[int, int]:
        """The connections accepted and the posts answered so far."""
        self.channel.send("count")
        return self.channel.recv()

    def __exit__(self, *exc_info) -> None:
        self.channel.send("stop")
        self.process.join(timeout=30)


@contextlib.contextmanager
def config_directory(files: dict[str, str]):
    """A temporary directory holding the configuration files given as {name: text}."""
    with tempfile.TemporaryDirectory() as directory:
        for name, text in files.items():
            Path(directory, name).write_text(text)
        yield directory


def take_turns(calls: dict, runs: int) -> dict[str, list]:
    """What `runs` calls of each of `calls` (name: function of no arguments) return,
    made in turn, each round starting one further on, so that drift hits all alike."""
    results, names = {name: [] for name in calls}, list(calls)
    for turn in range(runs):
        for name in names[turn % len(names):] + names[:turn % len(names)]:
            results[name].append(calls[name]())
    return results


def timed(function, *args, clock=time.perf_counter) -> float:
    """The time function(*args) takes, the release of what it returns included."""
    start = clock()
    function(*args)
    return clock() - start


def spread(label: str, values: list[float], form: str, scale: float = 1.0) -> str:
    """A row under SPREAD_HEADER: the least, the median and the greatest value, times `scale`."""
    middle = statistics.median(values)
    return f"  {label:28}" + "".join(f"{value * scale:10{form}}" for value in (min(values), middle, max(values)))


def goal(missed: list[str], met: bool, text: str) -> None:
    """Prints the goal as met or MISSED; a missed one is added to `missed`, which makes the exit status 1."""
    print(f"goal: {text}, {'met' if met else 'MISSED'}")
    if not met:
        missed.append(text)
