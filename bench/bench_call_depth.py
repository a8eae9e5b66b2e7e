"""What one call of filter_results costs as a function of how deep the caller's
Python stack is: the call itself must cost the same at the bottom of a script and
from deep inside a recursion.

    .venv/bin/python bench/bench_call_depth.py [--depths 0 100 1000 3000] [--calls N] [--runs N]
                                               [--all-versions [VERSION ...]]

How it measures: a plain Python recursion reaches each depth, and there a loop
makes --calls calls of filter_results({"name": "x"}, ["name"]) (one step on a
dict, which calls filter_results once more for the empty rest of the path: two
module calls, no garbage). The figure is the best of --runs such loops, in
nanoseconds per call, by time.process_time_ns: the CPU time of the process, so
that moments of waiting for a core on a shared machine do not count. The loop's
own cost is measured the same way with a Python function of the same signature
and subtracted.

Goal: at every depth the call costs at most 1.25 times what it costs at depth 0
(the first depth given). A miss exits with status 1, naming the depth.

--all-versions [VERSION ...] runs this script with the interpreter of each
.venv-VERSION named (every .venv-3.* there is when none is named), one after the
other, and fails when one of them fails.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import time
from environments import interpreter_command, version_environments

GOAL = 1.25


def per_call_ns(function, calls: int, runs: int) -> float:
    record, path = {"name": "x"}, ["name"]
    best = float("inf")
    for _ in range(runs):
        start = time.process_time_ns()
        for _ in range(calls):
            function(record, path)
        best = min(best, time.process_time_ns() - start)
    return best / calls


def at_depth(depth: int, measure):
    """measure() run with `depth` Python frames of a recursion beneath it."""
    if depth <= 0:
        return measure()
    return at_depth(depth - 1, measure)


def measure_this_interpreter(depths: list[int], calls: int, runs: int) -> int:
    import korvalinden.korvalinden as kv

    def empty(results, filters):
        return None

    sys.setrecursionlimit(max(depths) + 1000)
    print(f"CPython {sys.version.split()[0]}: ns per call of filter_results, by the caller's stack depth")
    costs = {}
    for depth in depths:
        loop = at_depth(depth, lambda: per_call_ns(empty, calls, runs))
        costs[depth] = at_depth(depth, lambda: per_call_ns(kv.filter_results, calls, runs)) - loop
        print(f"  depth {depth:>6}: {costs[depth]:8.0f} ns")
    base = costs[depths[0]]
    missed = [depth for depth in depths if costs[depth] > GOAL * base]
    for depth in missed:
        print(f"  goal missed: depth {depth} costs {costs[depth] / base:.2f}x depth {depths[0]} (goal {GOAL}x)")
    return 1 if missed else 0


def run_all_versions(versions: list[str], arguments: list[str]) -> int:
    status = 0
    for version, python in version_environments(versions):
        interpreter = interpreter_command(python)
        if not interpreter:
            print(f".venv-{version}: not measured, no such environment (make build-{version})")
            status = 1
            continue
        done = subprocess.run([*interpreter, __file__, *arguments], check=False)
        status = status or (1 if done.returncode else 0)
    return status


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[0, 100, 1000, 3000])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--all-versions", nargs="*", metavar="VERSION")
    options = parser.parse_args()
    if options.all_versions is not None:
        arguments = ["--depths", *map(str, options.depths), "--calls", str(options.calls), "--runs", str(options.runs)]
        return run_all_versions(options.all_versions, arguments)
    return measure_this_interpreter(options.depths, options.calls, options.runs)


if __name__ == "__main__":
    sys.exit(main())
