"""Benchmark of filter_results: the extension module against the pure-Python model
of the same steps (tests/filter_model.py), on replies of 100,000 records.

Run: .venv/bin/python bench/bench_filter.py [--records N] [--runs N]

For each case it reports the median CPU time of the process over several calls of
each (CPU time rather than wall time: on a shared machine the wall time also counts
the moments the process waits for a core), the ratio model time / module time, and
the peak memory that tracemalloc sees during one call of each (measured apart from
the timed calls, since tracing slows everything). The result of each call is
released outside the measurement.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import sys
import time
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import filter_model  # noqa: E402
import korvalinden.korvalinden as kv  # noqa: E402

GOAL_SPEEDUP = 3.0


def record(i: int) -> dict:
    value = {
        "name": f"gw{i}",
        "size": ("small", "medium", "large")[i % 3],
        "cloud_type": 1,
        "account_name": f"account-{i % 17}",
        "vpc_reg": "us-east-1",
        "tags": {"env": "prod" if i % 2 else "test"},
        "enabled": True,
    }
    if i % 2 == 0:  # half the records have no vpc_id
        value["vpc_id"] = f"vpc-{i:08x}"
    return value


def decoded(value):
    # Replies reach the filter from the JSON decoder: its strings are not interned
    # and its objects lie in the heap in parse order, which the lookups feel.
    return json.loads(json.dumps(value))


def cases(records: int):
    flat = decoded([record(i) for i in range(records)])
    nested = decoded({"return": True, "results": [{"gateway": record(i), "index": i} for i in range(records)]})
    return [
        ("single step on a list", flat, ["name"]),
        ("compound step, 3 keys, 1 missing in half", flat, ["name & size & vpc_id"]),
        ("dict -> list -> compound (3 steps)", nested, ["results", "gateway", "name & size & vpc_id"]),
    ]


def median_time(function, results, filters, runs: int) -> float:
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.process_time()
        out = function(results, filters)
        times.append(time.process_time() - start)
        del out
    return statistics.median(times)


def peak_memory(function, results, filters) -> int:
    """Bytes above the starting point at the highest moment of one call."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        out = function(results, filters)
        peak = tracemalloc.get_traced_memory()[1] - base
        del out
    finally:
        tracemalloc.stop()
    return peak


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=11)
    options = parser.parse_args()

    print(f"CPython {sys.version.split()[0]}, {options.records:,} records, median CPU time of {options.runs} runs\n")
    header = f"{'case':<42} {'model ms':>9} {'module ms':>10} {'speed-up':>9} {'model peak':>11} {'module peak':>12}"
    print(header)
    print("-" * len(header))
    missed = []
    for name, results, filters in cases(options.records):
        assert kv.filter_results(results, filters) == filter_model.filter_results(results, filters)
        model_time = median_time(filter_model.filter_results, results, filters, options.runs)
        module_time = median_time(kv.filter_results, results, filters, options.runs)
        model_peak = peak_memory(filter_model.filter_results, results, filters)
        module_peak = peak_memory(kv.filter_results, results, filters)
        speedup = model_time / module_time
        print(f"{name:<42} {model_time * 1e3:9.1f} {module_time * 1e3:10.1f} {speedup:8.1f}x "
              f"{model_peak / 2**20:9.1f}MB {module_peak / 2**20:10.1f}MB")
        if speedup < GOAL_SPEEDUP or module_peak > model_peak:
            missed.append(name)
    print()
    if missed:
        print(f"goal (>= {GOAL_SPEEDUP:g}x, no more peak memory) missed by: " + "; ".join(missed))
        return 1
    print(f"goal met on every case: >= {GOAL_SPEEDUP:g}x faster, no more peak memory")
    return 0


if __name__ == "__main__":
    sys.exit(main())
