"""Benchmark of filter_results as a user meets it: the extension module against the
pure-Python model of the same steps (tests/model.py), on JSON replies of
100,000 records decoded by json.loads, as the tool decodes them.

    .venv/bin/python bench/bench_filter.py [--records N] [--runs N] [--fresh-runs N]
                                           [--profile-runs N] [--peers] [--all-versions [VERSION ...]]

How it measures, and why:

- The collector stays as a user has it: no gc.collect(), no gc.disable(), no warm-up
  call. A call that builds 10^5 containers pays for the collections they cause, and
  on nested replies that cost, not the lookups, decides what the user waits for.
- The collection a call leaves due is charged to the call. A collection is due when
  the youngest generation's count is above its threshold. CPython 3.10 and 3.11 run
  it at the allocation that crosses the threshold; 3.12 and later at the
  interpreter's next check point, which for a call of a C function is its return. A
  function that pauses the collector, or that returns with the count above the
  threshold, leaves the collection to whatever the caller does next. So the clock
  stops only after run_due_collection(), which, while a collection is due, allocates
  and passes check points the way the caller's next statements would, until the
  interpreter has run it. The interpreter picks the generation itself, which
  gc.collect(0) would not: the collection that comes due after 10^5 new dicts is
  at times one of an older generation, and that is the expensive one. A collection not
  yet due (at most threshold young objects) is left to the caller's later work, for
  both implementations alike.
- Each case decodes its reply anew and drops it afterwards, so that only one reply
  is alive for the collector to walk, as in the tool.
- Time is the process's CPU time (time.process_time): on a shared machine the wall
  time also counts the moments the process waits for a core.
- Turns: each turn runs the model and the module once, the order swapped each turn
  so that neither always follows the other's garbage; the figure the goals judge is
  the median of --runs turns. The mean is printed beside it: a full collection that
  falls on one call in three moves the mean and not the median. Each result is
  released outside the timed region.
- Fresh process: for each implementation and case a new interpreter imports the
  module and the model, decodes the reply from its JSON text, and times one call
  with the same charging (median of --fresh-runs processes). That is a user's one
  call, where the decoded reply is still young and a full collection is near.
- Peak memory: tracemalloc over one call of each, apart from the timed runs (tracing
  slows allocation). It sees only Python's allocators, so the fresh process also
  reports how far the call raises the peak resident set (Linux VmHWM, reset before
  the call), which sees every allocation but moves in pages; that one is shown, not
  judged.
- Collections: one more round of turns (--profile-runs) with a gc.callbacks hook
  counts the collections inside the timed region per generation and their CPU
  time. It is kept apart from the timed turns because the hook costs time at every
  collection and the model makes dozens to hundreds of them per call.
- Goals: speed-up (model time / module time in turns) of at least 3x for (a) and
  (b2), 2x for (b), 2.5x for (c), and no more tracemalloc peak than the model. The
  peak comparison allows the module 4 KiB per call: the goal is about memory that
  grows with the reply (one byte per record is 100 KB here), while the few objects
  of one call and the interpreter's free lists move a single measurement by some
  hundred bytes either way. A miss exits with status 1, naming the case and the
  figure; a module result that differs from the model's, or a fresh process that
  fails (a crash included), exits with status 2.
- --peers adds jmespath, glom and jq (the `jq` package) with the nearest expression
  for each case; install them into the venv only (`.venv/bin/python -m pip install
  jmespath glom jq`). Each peer is timed after the model and the module, in turns
  of its own, so that its garbage does not move the figures the goals judge. Their
  results are compared with the model's where the semantics agree, and each peer's
  differences are printed under the table.
- --all-versions [VERSION ...] runs this script with the interpreter of each
  .venv-VERSION named (every .venv-3.* there is when none is named) and ends with a
  table of the speed-ups per version; a version without the module counts as a
  failure, since its goals were not measured.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path
from typing import Callable, Optional

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from environments import interpreter_command, version_environments  # noqa: E402
from model import NOT_FOUND, filter_results as model_filter_results  # noqa: E402

MARKER = NOT_FOUND
MEMORY_ALLOWANCE = 4096  # bytes per call; see the docstring


# ---- the replies -------------------------------------------------------------------

ZONES = ("north", "south", "east", "west")
TIERS = ("bronze", "silver", "gold")


def record(i: int) -> dict:
    value = {"name": f"edge-{i:06d}", "zone": ZONES[i % 4], "tier": TIERS[i % 3]}
    if i % 2 == 0:  # half the records have no site_id
        value["site_id"] = f"site-{i // 2:05x}"
    value["tags"] = {"team": f"team-{i % 13}", "stage": "live" if i % 2 else "trial"}
    value["state"] = "up" if i % 7 else "down"
    value["ports"] = 8 + i % 41
    value["enabled"] = i % 5 != 0
    value["load"] = round((i % 100) / 100, 2)
    return value


def reply_text(nested: bool, records: int) -> str:
    """The reply as the controller sends it: JSON text, decoded later by json.loads,
    whose strings are not interned and whose objects lie in the heap in parse order."""
    if nested:
        body = {"total": records, "results": [{"node": record(i), "seen": i} for i in range(records)]}
    else:
        body = [record(i) for i in range(records)]
    return json.dumps(body)


@dataclasses.dataclass(frozen=True)
class Case:
    key: str
    title: str
    filters: list
    nested: bool
    goal: float
    aim: Optional[float] = None


CASES = [
    Case("a", "single step on a list", ["name"], False, 3.0, 5.0),
    Case("b", "compound, 3 keys, one missing in half", ["name & zone & site_id"], False, 2.0),
    Case("b2", "compound where one value is a dict", ["name & tags & site_id"], False, 3.0, 10.0),
    Case("c", "dict -> list -> compound", ["results", "node", "name & zone & site_id"], True, 2.5),
]
CASES_BY_KEY = {case.key: case for case in CASES}


# ---- the implementations -------------------------------------------------------------


@dataclasses.dataclass
class Implementation:
    name: str
    # Given a case, returns the one-argument call to time (expressions are compiled
    # here, outside the timing).
    prepare: Callable[[Case], Callable[[object], object]]
    # What a missing key becomes: the marker, as in the model, or None.
    missing: Optional[str] = MARKER
    note: str = ""


def core_implementations() -> list[Implementation]:
    import korvalinden.korvalinden as kv

    return [
        Implementation("model", lambda case: lambda results: model_filter_results(results, case.filters)),
        Implementation("module", lambda case: lambda results: kv.filter_results(results, case.filters)),
    ]


def jmespath_peer() -> Implementation:
    import jmespath

    expressions = {
        "a": "[*].name",
        "b": "[*].{name: name, zone: zone, site_id: site_id}",
        "b2": "[*].{name: name, tags: tags, site_id: site_id}",
        "c": "results[*].node.{name: name, zone: zone, site_id: site_id}",
    }
    return Implementation(
        "jmespath",
        lambda case: jmespath.compile(expressions[case.key]).search,
        missing=None,
        note="a missing key gives null (None), not the marker; a projection such as [*].name "
        "drops the elements whose value is missing or null where the model's single step "
        "fails with KeyError; values are the reply's own objects.",
    )


def glom_peer() -> Implementation:
    from glom import Coalesce, glom

    def keys(*names):
        # Coalesce with a default is glom's way to give the marker for a missing key;
        # a plain path would raise PathAccessError.
        return {name: Coalesce(name, default=MARKER) for name in names}

    specs = {
        "a": ["name"],
        "b": [keys("name", "zone", "site_id")],
        "b2": [keys("name", "tags", "site_id")],
        "c": ("results", [("node", keys("name", "zone", "site_id"))]),
    }
    return Implementation(
        "glom",
        lambda case: lambda results: glom(results, specs[case.key]),
        note="with Coalesce(key, default=marker) per key it gives the marker as the model "
        "does (a plain key path raises PathAccessError, a KeyError subclass), but it also gives "
        "the marker for a record that is no mapping, where the model raises TypeError; (c) is one "
        "spec, not three steps; values are the reply's own objects.",
    )


def jq_peer() -> Implementation:
    import jq

    expressions = {
        "a": "[.[].name]",
        "b": "[.[] | {name, zone, site_id}]",
        "b2": "[.[] | {name, tags, site_id}]",
        "c": "[.results[].node | {name, zone, site_id}]",
    }

    def prepare(case):
        program = jq.compile(expressions[case.key])
        return lambda results: program.input_value(results).first()

    return Implementation(
        "jq",
        prepare,
        missing=None,
        note="each call serialises the reply to JSON text and parses the result back, so every "
        "value is a copy; a missing key gives null, and .name on a record without it gives "
        "null where the model's single step fails with KeyError; jq's own heap is not seen "
        "by tracemalloc.",
    )


PEERS = {"jmespath": jmespath_peer, "glom": glom_peer, "jq": jq_peer}


def load_peers() -> tuple[list[Implementation], list[str]]:
    peers, unavailable = [], []
    for name, make in PEERS.items():
        try:
            peers.append(make())
        except ImportError as error:
            unavailable.append(f"{name}: not available ({error}); install it with "
                               f"{sys.executable} -m pip install {name}")
    return peers, unavailable


def implementation_named(name: str) -> Implementation:
    for implementation in core_implementations():
        if implementation.name == name:
            return implementation
    return PEERS[name]()


# ---- one timed call ------------------------------------------------------------------


class _Container:
    """An object that the collector tracks and that comes from no free list (small
    tuples, lists and dicts may be reused without counting as new allocations)."""


def run_due_collection() -> None:
    """Runs the collection that the last call left due, the way the caller's next
    statements would: by allocating containers and passing the interpreter's check
    points (a call, a loop's jump back), until the youngest generation's count is
    back under its threshold."""
    for _ in range(100):
        threshold = gc.get_threshold()[0]
        if not gc.isenabled() or threshold == 0 or gc.get_count()[0] <= threshold:
            return
        _Container()
    raise RuntimeError("a due collection did not run")


def timed_call(call, results) -> tuple[float, object]:
    start = time.process_time()
    out = call(results)
    run_due_collection()
    return time.process_time() - start, out


def rotations(items: list, turns: int):
    for turn in range(turns):
        shift = turn % len(items)
        yield items[shift:] + items[:shift]


@dataclasses.dataclass
class Times:
    median: float
    mean: float


def turn_times(calls: dict, results, runs: int) -> dict[str, Times]:
    times = {name: [] for name in calls}
    for order in rotations(list(calls), runs):
        for name in order:
            elapsed, out = timed_call(calls[name], results)
            del out
            times[name].append(elapsed)
    return {name: Times(statistics.median(values), statistics.mean(values)) for name, values in times.items()}


@dataclasses.dataclass
class Collections:
    per_generation: list
    seconds: float

    def __str__(self) -> str:
        counts = " ".join(f"g{generation} {count:g}" for generation, count in enumerate(self.per_generation))
        return f"{counts}: {self.seconds * 1e3:.1f} ms"


def profiled_call(call, results) -> tuple[list, float]:
    counts, spent, started = [0, 0, 0], [0.0], [0.0]

    def on_collection(phase, info):
        if phase == "start":
            started[0] = time.process_time()
        else:
            spent[0] += time.process_time() - started[0]
            counts[info["generation"]] += 1

    gc.callbacks.append(on_collection)
    try:
        _, out = timed_call(call, results)
    finally:
        gc.callbacks.remove(on_collection)
    del out
    return counts, spent[0]


def mean_collections(calls: dict, results, runs: int) -> dict[str, Collections]:
    samples = {name: [] for name in calls}
    for order in rotations(list(calls), runs):
        for name in order:
            samples[name].append(profiled_call(calls[name], results))
    return {
        name: Collections([round(statistics.mean(c[g] for c, _ in values), 1) for g in range(3)],
                          statistics.mean(s for _, s in values))
        for name, values in samples.items()
    }


def traced_peak(call, results) -> int:
    """Bytes above the starting point at the highest moment of one call. The result is
    released before the next implementation's call, so that each finds the
    interpreter's free lists of dicts and lists in the same state (objects taken from
    them were allocated before tracing began and are not counted)."""
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        out = call(results)
        run_due_collection()
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    del out
    return peak


# ---- checks against the model ----------------------------------------------------------


def with_missing_as(value, missing):
    """The model's result with the marker written the way a peer writes a missing key."""
    if isinstance(value, list):
        return [with_missing_as(item, missing) for item in value]
    if isinstance(value, dict):
        return {key: with_missing_as(item, missing) for key, item in value.items()}
    return missing if value == MARKER else value


def first_record(case: Case, results) -> dict:
    return results["results"][0]["node"] if case.nested else results[0]


def shares_values(case: Case, results, out) -> bool:
    """Whether the result holds the reply's own objects rather than copies."""
    value = out[0] if len(case.filters[-1].split("&")) == 1 else out[0]["name"]
    return value is first_record(case, results)["name"]


def check_against_model(implementations, calls, case: Case, results) -> dict[str, str]:
    """Runs after the measurements, so that these calls warm nothing up."""
    model_out = calls["model"](results)
    checks = {"model": ""}
    for implementation in implementations[1:]:
        out = calls[implementation.name](results)
        checks[implementation.name] = agreement(implementation, case, results, out, model_out)
        del out
    return checks


def agreement(implementation: Implementation, case: Case, results, out, model_out) -> str:
    expected = model_out if implementation.missing == MARKER else with_missing_as(model_out, implementation.missing)
    if out != expected:
        return "DIFFERS from the model"
    shared = "shares the reply's values" if shares_values(case, results, out) else "copies the values"
    return f"agrees with the model{'' if implementation.missing == MARKER else ' (missing as null)'}; {shared}"


# ---- fresh processes -------------------------------------------------------------------


def resident_kib(field: str) -> Optional[int]:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def reset_peak_resident() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def child_main(options) -> int:
    """One call in this fresh process; prints its CPU time and peak resident growth."""
    core_implementations()  # a user's process has the module imported, whichever runs
    case = CASES_BY_KEY[options.case]
    call = implementation_named(options.child).prepare(case)
    text = Path(options.reply).read_text()
    results = json.loads(text)
    del text
    peak_known = reset_peak_resident()
    before = resident_kib("VmRSS")
    elapsed, out = timed_call(call, results)
    growth = resident_kib("VmHWM") - before if peak_known and before is not None else None
    del out
    print(json.dumps({"seconds": elapsed, "resident_growth_kib": growth}))
    return 0


@dataclasses.dataclass
class Fresh:
    seconds: Optional[float] = None
    resident_growth_kib: Optional[float] = None
    error: str = ""


def fresh_runs(name: str, case: Case, reply: Path, runs: int) -> Fresh:
    samples = []
    for _ in range(runs):
        command = [sys.executable, __file__, "--child", name, "--case", case.key, "--reply", str(reply)]
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            last_line = (done.stderr.strip().splitlines() or ["no output"])[-1]
            return Fresh(error=f"exit status {done.returncode}: {last_line}")
        samples.append(json.loads(done.stdout.strip().splitlines()[-1]))
    growths = [s["resident_growth_kib"] for s in samples if s["resident_growth_kib"] is not None]
    return Fresh(statistics.median(s["seconds"] for s in samples), statistics.median(growths) if growths else None)


# ---- one case --------------------------------------------------------------------------


@dataclasses.dataclass
class Row:
    name: str
    seconds: float  # median of the turns
    mean_seconds: float
    collections: Collections
    peak: int
    check: str
    fresh: Fresh = dataclasses.field(default_factory=Fresh)


def measure_case(case: Case, implementations: list, text: str, reply: Path, options) -> dict[str, Row]:
    calls = {implementation.name: implementation.prepare(case) for implementation in implementations}
    results = json.loads(text)
    # The model and the module take turns with each other only; each peer comes
    # after them in turns of its own, so that a peer's garbage (glom causes
    # thousands of collections per call) cannot move the figures the goals judge.
    groups = [["model", "module"]] + [[implementation.name] for implementation in implementations[2:]]
    times, collections = {}, {}
    for group in groups:
        group_calls = {name: calls[name] for name in group}
        times.update(turn_times(group_calls, results, options.runs))
        collections.update(mean_collections(group_calls, results, options.profile_runs))
    peaks = {name: traced_peak(call, results) for name, call in calls.items()}
    checks = check_against_model(implementations, calls, case, results)
    del results
    rows = {name: Row(name, times[name].median, times[name].mean, collections[name], peaks[name], checks[name])
            for name in calls}
    for name, row in rows.items():
        row.fresh = fresh_runs(name, case, reply, options.fresh_runs)
    return rows


# ---- the report ------------------------------------------------------------------------


def megabytes(count: Optional[float], unit: int = 2**20) -> str:
    return "-" if count is None else f"{count / unit:.1f}"


def print_case(case: Case, rows: dict[str, Row]) -> None:
    print(f"\n({case.key}) {case.title}: filters {case.filters}")
    print(f"  {'':<9} {'median ms':>9} {'mean ms':>8} {'fresh ms':>9} {'speed-up':>9} {'x module':>9} "
          f"{'peak MB':>8} {'fresh RSS+ MB':>14}  collections per call (mean): CPU time")
    model, module = rows["model"].seconds, rows["module"].seconds
    for row in rows.values():
        fresh = "-" if row.fresh.seconds is None else f"{row.fresh.seconds * 1e3:.1f}"
        print(f"  {row.name:<9} {row.seconds * 1e3:9.1f} {row.mean_seconds * 1e3:8.1f} {fresh:>9} "
              f"{model / row.seconds:8.2f}x "
              f"{row.seconds / module:8.2f}x {megabytes(row.peak):>8} "
              f"{megabytes(row.fresh.resident_growth_kib, 1024):>14}  {row.collections}")
    fresh_model, fresh_module = rows["model"].fresh.seconds, rows["module"].fresh.seconds
    if fresh_model and fresh_module:
        print(f"  fresh process: module {fresh_model / fresh_module:.2f}x faster than the model (one call each)")
    for row in rows.values():
        if row.fresh.error:
            print(f"  {row.name}: fresh process failed: {row.fresh.error}")
        if row.check:
            print(f"  {row.name}: {row.check}")


def goal_misses(case: Case, rows: dict[str, Row]) -> list[str]:
    model, module = rows["model"], rows["module"]
    speedup = model.seconds / module.seconds
    misses = []
    if speedup < case.goal:
        misses.append(f"({case.key}) {case.title}: speed-up {speedup:.2f}x, goal {case.goal:g}x")
    if module.peak > model.peak + MEMORY_ALLOWANCE:
        misses.append(f"({case.key}) {case.title}: module peak {module.peak:,} bytes > model peak "
                      f"{model.peak:,} bytes + {MEMORY_ALLOWANCE:,}")
    return misses


def goal_line(case: Case, rows: dict[str, Row]) -> str:
    speedup = rows["model"].seconds / rows["module"].seconds
    aim = f", aim {case.aim:g}x" if case.aim else ""
    verdict = "met" if speedup >= case.goal else "MISSED"
    extra = rows["module"].peak - rows["model"].peak
    memory = "met" if extra <= MEMORY_ALLOWANCE else "MISSED"
    label = f"({case.key})"
    return (f"  {label:<4} speed-up {speedup:5.2f}x  goal {case.goal:g}x{aim}: {verdict};  "
            f"peak: module - model = {extra:+,} bytes (allowed {MEMORY_ALLOWANCE:,}): {memory}")


def run_here(options) -> int:
    implementations = core_implementations()
    unavailable = []
    if options.peers:
        peers, unavailable = load_peers()
        implementations += peers
    print(f"CPython {sys.version.split()[0]} ({sys.executable}), {options.records:,} records")
    print(f"load average at start: {' '.join(f'{load:.2f}' for load in os.getloadavg())} "
          f"on {os.cpu_count()} cores")
    print(f"CPU time per call, including the collection it leaves due; median and mean of {options.runs} turns "
          f"(model and module in rotating order); fresh: median of {options.fresh_runs} new processes, one call "
          f"each; speed-up = model median / this median")
    summary, goals, misses, mismatches, failures = {}, [], [], [], []
    with tempfile.TemporaryDirectory(prefix="bench-filter-") as directory:
        texts = {nested: reply_text(nested, options.records) for nested in (False, True)}
        replies = {nested: Path(directory) / f"reply-{int(nested)}.json" for nested in texts}
        for nested, path in replies.items():
            path.write_text(texts[nested])
        for case in CASES:
            rows = measure_case(case, implementations, texts[case.nested], replies[case.nested], options)
            print_case(case, rows)
            goals.append(goal_line(case, rows))
            misses += goal_misses(case, rows)
            mismatches += [f"({case.key}) {row.name}" for row in rows.values() if "DIFFERS" in row.check]
            failures += [f"({case.key}) {row.name}: fresh process failed, {row.fresh.error}"
                         for row in rows.values() if row.fresh.error]
            summary[case.key] = {"speedup": rows["model"].seconds / rows["module"].seconds,
                                 "model_ms": rows["model"].seconds * 1e3, "module_ms": rows["module"].seconds * 1e3,
                                 "model_peak": rows["model"].peak, "module_peak": rows["module"].peak}
    print("\ngoals (turns; peak memory by tracemalloc):")
    print("\n".join(goals))
    if options.peers:
        print("\npeers (expressions compiled once, outside the timing):")
        for implementation in implementations[2:]:
            print(f"  {implementation.name}: {implementation.note}")
        for line in unavailable:
            print(f"  {line}")
    print(f"\nload average at end: {' '.join(f'{load:.2f}' for load in os.getloadavg())}")
    if options.summary:
        Path(options.summary).write_text(json.dumps({"python": sys.version.split()[0], "cases": summary,
                                                     "misses": misses, "mismatches": mismatches,
                                                     "failures": failures}))
    if mismatches:
        print("results differ from the model: " + "; ".join(mismatches))
    if failures:
        print("failed:\n  " + "\n  ".join(failures))
    if misses:
        print("goal missed:\n  " + "\n  ".join(misses))
    if mismatches or failures:
        return 2
    if misses:
        return 1
    print("every goal met")
    return 0


# ---- every version ---------------------------------------------------------------------


def run_all_versions(options) -> int:
    forwarded = ["--records", str(options.records), "--runs", str(options.runs),
                 "--fresh-runs", str(options.fresh_runs), "--profile-runs", str(options.profile_runs)]
    if options.peers:
        forwarded.append("--peers")
    outcomes = []
    environments = version_environments(options.all_versions)
    print("versions: " + (" ".join(version for version, _ in environments) or "none"))
    with tempfile.TemporaryDirectory(prefix="bench-filter-versions-") as directory:
        for version, python in environments:
            label = f".venv-{version}"
            interpreter = interpreter_command(python)
            probe = subprocess.run([*interpreter, "-c", "import korvalinden.korvalinden"], capture_output=True,
                                   check=False) if interpreter else None
            if probe is None or probe.returncode != 0:
                outcomes.append((label, None, f"not measured: no module in {label} (make build-{version})"))
                continue
            print(f"\n===== {label}", flush=True)
            summary = Path(directory) / f"{label}.json"
            command = [*interpreter, __file__, *forwarded, "--summary", str(summary)]
            code = subprocess.run(command, check=False).returncode
            outcomes.append((label, json.loads(summary.read_text()) if summary.exists() else None, code))
    return print_version_summary(outcomes)


def short_misses(summary: dict) -> list[str]:
    misses = []
    for case in CASES:
        figures = summary["cases"][case.key]
        if figures["speedup"] < case.goal:
            misses.append(f"({case.key}) {figures['speedup']:.2f}x < {case.goal:g}x")
        if figures["module_peak"] > figures["model_peak"] + MEMORY_ALLOWANCE:
            misses.append(f"({case.key}) peak {figures['module_peak'] - figures['model_peak']:+,} bytes")
    return misses + [f"{mismatch} differs from the model" for mismatch in summary["mismatches"]] + summary["failures"]


def print_version_summary(outcomes) -> int:
    print("\n===== speed-up of the module over the model, per version (turns)")
    print(f"{'version':<10}" + "".join(f"{'(' + case.key + ')':>8}" for case in CASES) + "  result")
    worst = 0
    for label, summary, code in outcomes:
        if summary is None:
            print(f"{label:<10}  {code if isinstance(code, str) else f'no result (exit {code})'}")
            worst = max(worst, 2)  # a version not measured is not a goal met
            continue
        ratios = "".join(f"{summary['cases'][case.key]['speedup']:7.2f}x" for case in CASES)
        result = "goals met" if code == 0 else f"exit {code}: " + "; ".join(short_misses(summary))
        print(f"{summary['python']:<10}{ratios}  {result}")
        worst = max(worst, code)
    if not outcomes:
        print("no .venv-3.* environment found: run make build-<version> first")
        return 2
    return worst


def positive_count(text: str) -> int:
    """A count of at least 1: a median, a mean or a reply of nothing is no figure."""
    count = int(text)
    if count < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {count}")
    return count


def main() -> int:
    # The docstring's first paragraph, which is one sentence; how the figures are
    # made is the rest of it, too long for --help.
    summary = " ".join(__doc__.split("\n\n", 1)[0].split())
    parser = argparse.ArgumentParser(description=summary, epilog="How it measures, and why: the docstring at the "
                                     "head of this script.")
    parser.add_argument("--records", type=positive_count, default=100_000, help="records per reply (default: %(default)s)")
    parser.add_argument("--runs", type=positive_count, default=21, help="turns timed per case, of which the median counts "
                        "(default: %(default)s)")
    parser.add_argument("--fresh-runs", type=positive_count, default=3, help="fresh processes per implementation and case "
                        "(default: %(default)s)")
    parser.add_argument("--profile-runs", type=positive_count, default=3, help="turns with the collections counted "
                        "(default: %(default)s)")
    parser.add_argument("--peers", action="store_true", help="add jmespath, glom and jq (not for CI)")
    parser.add_argument("--all-versions", nargs="*", metavar="VERSION",
                        help="run with the .venv-VERSION interpreters named, or with every .venv-3.* there is")
    parser.add_argument("--summary", help=argparse.SUPPRESS)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--reply", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        return child_main(options)
    if options.all_versions is not None:
        return run_all_versions(options)
    return run_here(options)


if __name__ == "__main__":
    sys.exit(main())
