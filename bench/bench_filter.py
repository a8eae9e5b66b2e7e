"""Benchmark of filter_results as a user meets it: the extension module against its
exact floor and against the pure-Python model of the same steps (tests/model.py).

    .venv/bin/python bench/bench_filter.py [--records N] [--runs N] [--all-versions [VERSION ...]]

The floor (bench/floor.cpp, compiled here for each interpreter) takes the module's steps
with the same lookups, allocations and prefetching, without line markers, recursion or
exception bookkeeping: what the module costs above it is what its exactness costs.

- Replies of 100,000 records decoded by json.loads. CPU time per call (process_time),
  charged with the collection the call leaves due (3.12+ runs it at the next check
  point, after the call), the collector as a user has it; module, floor and model in
  rotating turns, the median of --runs. Goal: module / floor at most 1.10 in each case.
- Wide step: one compound step of 8 to 256 keys over a record holding one of them, ns
  per key. Goals: at 256 keys at most 1.25 times the cost per key at 8, and no slower
  than the model.
- Call depth: one call from Python stacks 0 to 3,000 frames deep, less an empty Python
  call. Goal: at most 1.25 times depth 0.
- First call on a new thread with 3,000 more memory mappings: median of 50 threads.
  Goal: at most 10 us.

A result that differs from the model's exits 2, a missed goal 1. --all-versions runs it
with each .venv-VERSION named (every one there is when none is) and ends with a table.
"""

from __future__ import annotations

import argparse
import gc
import json
import mmap
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from model import filter_results as model_filter_results  # noqa: E402

FLOOR_GOAL, WIDE_GOAL, DEPTH_GOAL, FIRST_CALL_GOAL_US = 1.10, 1.25, 1.25, 10.0
CASES = {  # key: (title, filters, nested)
    "a": ("single step on a list", ["name"], False),
    "b": ("compound, 3 keys, one missing in half", ["name & zone & site_id"], False),
    "b2": ("compound where one value is a dict", ["name & tags & site_id"], False),
    "c": ("dict -> list -> compound", ["results", "node", "name & zone & site_id"], True),
}


def record(i: int) -> dict:
    value = {"name": f"edge-{i:06d}", "zone": ("north", "south", "east", "west")[i % 4], "tier": i % 3}
    if i % 2 == 0:
        value["site_id"] = f"site-{i // 2:05x}"
    value.update(tags={"team": f"team-{i % 13}", "live": i % 2 == 1}, state="up" if i % 7 else "down", ports=8 + i % 41)
    return value


def reply_text(nested: bool, records: int) -> str:
    if nested:
        return json.dumps({"total": records, "results": [{"node": record(i), "seen": i} for i in range(records)]})
    return json.dumps([record(i) for i in range(records)])


def load_floor():
    """The floor, compiled for this interpreter when its source is newer."""
    source, directory = ROOT / "bench" / "floor.cpp", ROOT / "build" / "bench-floor" / sys.implementation.cache_tag
    target = directory / ("korvalinden_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        directory.mkdir(parents=True, exist_ok=True)
        includes = {sysconfig.get_path("include"), sysconfig.get_config_var("CONFINCLUDEPY")} - {None}
        subprocess.run(["g++", "-O3", "-DNDEBUG", "-std=c++20", "-shared", "-fPIC", *(f"-I{path}" for path in includes),
                        str(source), "-o", str(target)], check=True)
    sys.path.insert(0, str(directory))
    import korvalinden_floor

    return korvalinden_floor.filter_results


class Container:
    """An object the collector tracks, from no free list."""


def run_due_collection() -> None:
    """Runs the collection that the last call left due, as the caller's next
    statements would: allocating and passing check points until the youngest
    generation's count is back under its threshold."""
    for _ in range(100):
        threshold = gc.get_threshold()[0]
        if not gc.isenabled() or threshold == 0 or gc.get_count()[0] <= threshold:
            return
        Container()
    raise RuntimeError("a due collection did not run")


def turns(calls: dict, argument, runs: int) -> dict[str, float]:
    """Median CPU seconds of each call, in rotating order, each with the collection it leaves due."""
    times = {name: [] for name in calls}
    names = list(calls)
    for turn in range(runs):
        for name in names[turn % len(names):] + names[:turn % len(names)]:
            start = time.process_time()
            out = calls[name](argument)
            run_due_collection()
            times[name].append(time.process_time() - start)
            del out
    return {name: statistics.median(values) for name, values in times.items()}


def replies(implementations: dict, records: int, runs: int) -> tuple[dict, list, list]:
    ratios, misses, mismatches = {}, [], []
    print(f"{'case':<44}{'module ms':>10}{'floor ms':>10}{'model ms':>10}{'module/floor':>14}{'module/model':>14}")
    for key, (title, filters, nested) in CASES.items():
        results = json.loads(reply_text(nested, records))
        calls = {name: (lambda function: lambda value: function(value, filters))(function)
                 for name, function in implementations.items()}
        expected = calls["model"](results)
        mismatches += [f"({key}) {name}" for name in ("module", "floor") if calls[name](results) != expected]
        del expected
        seconds = turns(calls, results, runs)
        ratios[key] = seconds["module"] / seconds["floor"]
        print(f"({key}) {title:<39}" + "".join(f"{seconds[name] * 1e3:10.1f}" for name in ("module", "floor", "model"))
              + f"{ratios[key]:14.2f}{seconds['module'] / seconds['model']:14.2f}")
        if ratios[key] > FLOOR_GOAL:
            misses.append(f"({key}) module/floor {ratios[key]:.2f} > {FLOOR_GOAL}")
    return ratios, misses, mismatches


def best_ns(function, argument, filters, calls: int, runs: int = 7) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.process_time_ns()
        for _ in range(calls):
            function(argument, filters)
        best = min(best, time.process_time_ns() - start)
    return best / calls


def wide_step(module) -> list:
    print(f"\nwide step over a record holding 1 of N keys, ns per key:\n{'N':>6}{'module':>10}{'model':>10}")
    costs = {}
    for width in (8, 32, 64, 128, 256):
        step = ["&".join(f"key{index}" for index in range(width))]
        costs[width] = [best_ns(function, {"key0": 1}, step, 20000 // width) / width
                        for function in (module, model_filter_results)]
        print(f"{width:>6}" + "".join(f"{cost:10.1f}" for cost in costs[width]))
    misses = [f"wide step: {costs[256][0] / costs[8][0]:.2f}x the cost per key at 8"] * (
        costs[256][0] > WIDE_GOAL * costs[8][0])
    return misses + [f"wide step: module slower than the model at 256 keys"] * (costs[256][0] > costs[256][1])


def at_depth(depth: int, measure):
    return measure() if depth <= 0 else at_depth(depth - 1, measure)


def call_depth(module) -> list:
    sys.setrecursionlimit(4000)
    print("\nns per call of filter_results, by the caller's stack depth:")
    costs = {}
    for depth in (0, 100, 1000, 3000):
        def measure():
            return best_ns(module, {"name": "x"}, ["name"], 20000) - best_ns(lambda r, f: None, {}, [], 20000)
        costs[depth] = at_depth(depth, measure)
        print(f"  depth {depth:>5}: {costs[depth]:6.0f}")
    return [f"depth {depth}: {cost / costs[0]:.2f}x depth 0" for depth, cost in costs.items() if cost > DEPTH_GOAL * costs[0]]


def first_call_on_new_thread(module) -> list:
    kept = [mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | (index % 2) * mmap.PROT_WRITE) for index in range(3000)]
    try:
        with open("/proc/self/maps") as maps:
            mappings = str(sum(1 for _ in maps))
    except OSError:
        mappings = "unknown"
    times = []

    def first_call():
        start = time.perf_counter_ns()
        module({"name": "x"}, ["name"])
        times.append(time.perf_counter_ns() - start)

    for _ in range(50):
        thread = threading.Thread(target=first_call)
        thread.start()
        thread.join()
    del kept
    median = statistics.median(times) / 1e3
    print(f"\nfirst call on a new thread, {mappings} mappings: median {median:.1f} us, most {max(times) / 1e3:.1f} us")
    return [f"first call on a new thread {median:.1f} us"] * (median > FIRST_CALL_GOAL_US)


def run_here(options) -> int:
    import korvalinden.korvalinden as kv

    implementations = {"module": kv.filter_results, "floor": load_floor(), "model": model_filter_results}
    print(f"CPython {sys.version.split()[0]}, {options.records:,} records, median of {options.runs} turns; "
          f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    ratios, misses, mismatches = replies(implementations, options.records, options.runs)
    misses += wide_step(kv.filter_results) + call_depth(kv.filter_results) + first_call_on_new_thread(kv.filter_results)
    if options.summary:
        Path(options.summary).write_text(json.dumps({"python": sys.version.split()[0], "ratios": ratios,
                                                     "misses": misses + mismatches}))
    for line in mismatches:
        print(f"DIFFERS from the model: {line}")
    for line in misses:
        print(f"goal missed: {line}")
    if not misses + mismatches:
        print("every goal met")
    return 2 if mismatches else 1 if misses else 0


def run_all_versions(options) -> int:
    found = {path.parent.parent.name[6:] for path in ROOT.glob(".venv-3.*/bin/python")}
    versions = options.all_versions or sorted(found, key=lambda version: [int(part) for part in version.split(".")
                                                                          if part.isdigit()])
    rows, worst = [], 0
    with tempfile.TemporaryDirectory() as directory:
        for version in versions:
            python = ROOT / f".venv-{version}" / "bin" / "python"
            # An environment of the root's interpreters is reached through tools/in-root.
            command = [str(python)] if python.exists() else [str(ROOT / "tools" / "in-root"), str(python)]
            summary = Path(directory) / f"{version}.json"
            print(f"\n===== .venv-{version}", flush=True)
            code = subprocess.run([*command, __file__, "--records", str(options.records), "--runs", str(options.runs),
                                   "--summary", str(summary)], check=False).returncode
            figures = json.loads(summary.read_text()) if summary.exists() else None
            rows.append(f"{version:<33}" + ("".join(f"{figures['ratios'][key]:8.2f}" for key in CASES) + "  " +
                                            ("; ".join(figures["misses"]) or "goals met") if figures else
                                            f"not measured (exit {code})"))
            worst = max(worst, code if figures else 2)
    print("\n===== module / floor, per version" + "".join(f"{'(' + key + ')':>8}" for key in CASES) + "  result")
    print("\n".join(rows))
    return worst


def main() -> int:
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n", 1)[0].split()))
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=11, help="turns per case, of which the median counts")
    parser.add_argument("--all-versions", nargs="*", metavar="VERSION")
    parser.add_argument("--summary", help=argparse.SUPPRESS)
    options = parser.parse_args()
    return run_here(options) if options.all_versions is None else run_all_versions(options)


if __name__ == "__main__":
    sys.exit(main())
