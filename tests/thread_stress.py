"""Threads that filter shared records while other threads change them.

For SECONDS (default 2), 8 threads filter a shared reply and single records
while 3 threads insert and delete the records' keys (enough to make their
tables grow), put new but equal objects in place of members, append, pop,
sort and clear the reply's list of records, and change the filter path. Every
result is checked against what some order of those operations could give:

- "name" is in every record throughout, so it never comes back as the
  marker, and a single step on it never fails; "flag" comes and goes, so
  either its value or the marker is right;
- a record's values are its own: a flag that is not its name's is torn;
- the path is always "results" and one of the tails ("name & flag"),
  ("name"), ("name & flag", "name"), so that a listing is all names or all
  name-and-flag dicts, never a mix.

The first wrong results are printed and the status is 1; otherwise the last
line counts what was seen, as JSON. Run by tests/test_threads.py, and under
ThreadSanitizer by make tsan; on a free-threaded build with -X gil=0:

    python -X gil=0 tests/thread_stress.py 10
"""

import json
import random
import sys
import threading
import time
from collections import Counter

import korvalinden.korvalinden as kv

FILTERING, MUTATING = 8, 3
MARK = "FILTER_NOT_FOUND"
NAMES = [f"site-{index:02}" for index in range(48)]
KNOWN = set(NAMES)
JUNK = [f"junk-{index}" for index in range(12)]
RECORD_STEPS = ["name & flag", "flag", "name"]


def fresh(text):
    """An equal string that is a new object, so that the one it replaces is
    freed at once unless someone holds a reference to it."""
    return text[:1] + text[1:]


def flag_of(name):
    return name + "/flag"


records = [{"name": fresh(name), "tier": index} for index, name in enumerate(NAMES)]
reply = {"results": records[:24], "total": 24}
path = [fresh("results"), fresh("name & flag")]
path_lock = threading.Lock()  # the mutators' own: each change starts from a known tail
failures = []


def fail(what, result):
    if len(failures) < 5:
        failures.append(f"{what}: {result!r:.300}")


# -- what the mutators do -----------------------------------------------------


def change_record(rng):
    index = rng.randrange(len(records))
    record, name = records[index], NAMES[index]
    choice = rng.randrange(4)
    if choice == 0:
        record["flag"] = flag_of(name)
    elif choice == 1:
        record.pop("flag", None)
    elif choice == 2:
        record["name"] = fresh(name)
    else:
        for key in JUNK:
            record[key] = key
        for key in JUNK:
            record.pop(key, None)  # another mutator may have taken it


def change_listing(rng):
    listing = reply["results"]
    choice = rng.randrange(6)
    if choice == 0:
        listing.append(rng.choice(records))
    elif choice == 1:
        try:
            listing.pop(rng.choice((0, -1)))
        except IndexError:  # another mutator emptied it first
            pass
    elif choice == 2:
        try:
            listing.sort(key=lambda _: rng.random())
        except ValueError:  # "list modified during sort", by another mutator
            pass
    elif choice == 3:
        if len(listing) > 32 or rng.random() < 0.1:
            listing.clear()
        listing.extend(rng.sample(records, 4))
    elif choice == 4:
        reply["results"] = list(listing)
    else:
        for key in JUNK:
            reply[key] = key
        for key in JUNK:
            reply.pop(key, None)


def change_path(rng):
    with path_lock:
        if len(path) == 3:
            path.pop()
        elif path[1] == "name":
            path[1] = fresh("name & flag")
        elif rng.random() < 0.5:
            path.append(fresh("name"))
        else:
            path[1] = fresh("name")
        path[0] = fresh("results")


def mutating(rng, deadline, _tally):
    changes = (change_record, change_listing, change_path)
    while time.monotonic() < deadline:
        rng.choice(changes)(rng)


# -- what the filtering threads check ----------------------------------------


def check_pair(pair, name, tally):
    if type(pair) is not dict or list(pair) != ["name", "flag"] or pair["name"] != name:
        fail(f"record {name} as a pair", pair)
    elif pair["flag"] == MARK:
        tally["flags missing"] += 1
    elif pair["flag"] == flag_of(name):
        tally["flags present"] += 1
    else:
        fail(f"flag of {name}", pair)


def check_listing(listing, tally):
    if type(listing) is not list:
        fail("listing", listing)
    elif not listing:
        tally["empty listings"] += 1
    elif all(type(item) is str for item in listing):
        tally["listings of names"] += 1
        if not KNOWN.issuperset(listing):
            fail("names", listing)
    elif all(type(item) is dict for item in listing):
        tally["listings of pairs"] += 1
        for pair in listing:
            check_pair(pair, pair.get("name"), tally)
            if pair.get("name") not in KNOWN:
                fail("pair's name", pair)
    else:
        fail("listing of mixed steps", listing)


def check_record(name, step, result, tally):
    if step == "name & flag":
        check_pair(result, name, tally)
    elif step == "flag":
        tally["flags missing" if result == MARK else "flags present"] += 1
        if result not in (MARK, flag_of(name)):
            fail(f"flag of {name}", result)
    elif result != name:
        fail(f"name of {name}", result)


def filtering(rng, deadline, tally):
    while time.monotonic() < deadline:
        check_listing(kv.filter_results(reply, path), tally)
        index = rng.randrange(len(records))
        step = rng.choice(RECORD_STEPS)
        check_record(NAMES[index], step, kv.filter_results(records[index], [step]), tally)
        tally["calls"] += 2


def main(seconds):
    tallies = [Counter() for _ in range(FILTERING + MUTATING)]
    roles = [filtering] * FILTERING + [mutating] * MUTATING
    start = threading.Barrier(len(roles))
    deadline = time.monotonic() + seconds + 1  # the threads' start included

    def run(role, index):
        start.wait()
        try:
            role(random.Random(index), deadline, tallies[index])
        except Exception as error:  # noqa: BLE001 (every exception is a wrong result here)
            fail(f"{role.__name__} raised", error)

    threads = [threading.Thread(target=run, args=(role, index)) for index, role in enumerate(roles)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(seconds + 60)
        if thread.is_alive():
            print("a thread hung", file=sys.stderr)
            return 2
    for failure in failures:
        print(failure)
    print(json.dumps(sum(tallies, Counter()), sort_keys=True))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 2))
