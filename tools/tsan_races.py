"""Counts ThreadSanitizer's reports in the log files given (make tsan): all of
them, and those with a frame of the module among the top frames of either
access's stack, with the module's functions named there. Fails when there is
one of those.

    python tools/tsan_races.py build/tsan/report.*
"""

from __future__ import annotations

import re
import sys
from collections import Counter

TOP_FRAMES = 5
MODULE = "korvalinden.cpython-"
# An access's stack starts "  Read of size 8 at ... by thread T3:", or
# "  Previous atomic write of size ...", and its frames follow.
ACCESS = re.compile(r"^  (Previous )?(atomic )?(read|write) of size", re.IGNORECASE)
# "    #2 function file:line (object+0x1f2)"; C++ names hold blanks.
FRAME = re.compile(r"^    #(\d+) (.+) (\S+) \((\S+)\)$")


def reports(text: str) -> list[list[str]]:
    """The lines of each report, from its WARNING line to its SUMMARY line."""
    found, current = [], None
    for line in text.splitlines():
        if line.startswith("WARNING: ThreadSanitizer:"):
            current = [line]
        elif current is not None:
            current.append(line)
            if line.startswith("SUMMARY: ThreadSanitizer:"):
                found.append(current)
                current = None
    return found


def short_name(function: str) -> str:
    """for_each_element of "korvalinden::(anonymous namespace)::for_each_element<...>(...)"."""
    plain = re.sub(r"\(anonymous namespace\)::", "", function)
    return re.split(r"[<(]", plain, maxsplit=1)[0].rsplit("::", 1)[-1] or function


def module_frames(report: list[str]) -> list[str]:
    """'function file:line' of the module's frames among the top frames of
    each access."""
    frames, in_access = [], False
    for line in report:
        if ACCESS.match(line):
            in_access = True
        elif not line.startswith("    "):
            in_access = False
        elif in_access and (frame := FRAME.match(line)) and int(frame[1]) < TOP_FRAMES and MODULE in frame[4]:
            frames.append(f"{short_name(frame[2])} {frame[3].rsplit('/', 1)[-1]}")
    return frames


def main(paths: list[str]) -> int:
    found = [report for path in paths for report in reports(open(path, errors="replace").read())]
    kinds = Counter(report[0].split(":", 2)[2].split("(")[0].strip() for report in found)
    named = Counter()
    with_module = 0
    for report in found:
        frames = module_frames(report)
        with_module += bool(frames)
        named.update(set(frames))
    print(f"tsan: {len(found)} reports ({', '.join(f'{count} {kind}' for kind, count in kinds.most_common()) or 'none'}); "
          f"{with_module} with a frame of the module among the top {TOP_FRAMES} of either access")
    for frame, count in named.most_common():
        print(f"  {count:5} {frame}")
    return 1 if with_module else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
