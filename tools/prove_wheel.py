"""Proves a built wheel the way an operator meets it.

Makes a fresh virtual environment from the given interpreter and installs
korvalinden into it from binary wheels on disk only (no index, no source
builds, no pip configuration of this machine). Then, from an empty directory:

1. the installed console command runs against the simulated controller of
   this environment with the default configuration directory;
2. the installed rehearsal, still without its extra, refuses to start and
   says what to install;
3. with korvalinden[rehearse] installed too, a one-shot rehearsal runs the
   tool against a controller of the installed package's own and prints the
   plan after the tool's output.

Run it with an interpreter of the project's development environment (the
simulated controller of step 1 needs its packages):

    .venv-3.12/bin/python tools/prove_wheel.py --python /path/to/python3.12 \
        --find-links wheelhouse --find-links build/wheel-deps
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

from korvalinden.rehearsal.controller import SimulatedController


def install(venv: Path, find_links: list[str], requirement: str) -> None:
    links = [argument for link in find_links for argument in ("--find-links", str(Path(link).resolve()))]
    subprocess.run(
        [str(venv / "bin" / "python"), "-m", "pip", "install", "--isolated", "--disable-pip-version-check", "-q",
         "--no-index", "--only-binary", ":all:", *links, requirement],
        check=True,
    )


def run_tool(venv: Path, workdir: Path) -> subprocess.CompletedProcess:
    with SimulatedController() as controller:
        command = [str(venv / "bin" / "korvalinden"), "--controller_ip", controller.address,
                   "--password", controller.password]
        return subprocess.run(command, cwd=workdir, capture_output=True, text=True, timeout=120)


def rehearse(venv: Path, workdir: Path) -> subprocess.CompletedProcess:
    return subprocess.run([str(venv / "bin" / "korvalinden-rehearse"), "--run"], cwd=workdir, capture_output=True,
                          text=True, timeout=120)


def plan_after_output(stdout: str) -> bool:
    output, heading, plan = stdout.partition("request plan: ")
    return bool(output.strip() and heading and " login " in plan)


def ran_the_installed_examples(stderr: str) -> bool:
    """Standard error holds the one line that names the default directory: the installed package's."""
    return re.fullmatch(r"korvalinden: running the examples in \S+/site-packages/korvalinden/config "
                        r"\(no --config_dir given\)\n", stderr) is not None


# What each step must give.
EXPECTED = {
    "tool": lambda result: (result.returncode == 0 and ran_the_installed_examples(result.stderr)
                            and result.stdout.strip()),
    "rehearsal without its extra": lambda result: (
        result.returncode == 1 and "pip install 'korvalinden[rehearse]'" in result.stderr),
    "rehearsal": lambda result: (result.returncode == 0 and ran_the_installed_examples(result.stderr)
                                 and plan_after_output(result.stdout)),
}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", required=True, help="the interpreter to make the fresh environment from")
    parser.add_argument("--find-links", action="append", required=True, help="a directory of wheels")
    parser.add_argument("--without-extra", action="store_true",
                        help="leave out the steps with korvalinden[rehearse], whose dependencies have no wheel for "
                             "the interpreter (a free-threaded one)")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="korvalinden-wheel-") as scratch:
        venv = Path(scratch) / "venv"
        subprocess.run([options.python, "-m", "venv", str(venv)], check=True)
        install(venv, options.find_links, "korvalinden")
        # Run from an empty directory so that nothing of the source tree can be imported.
        results = {"tool": run_tool(venv, Path(scratch)),
                   "rehearsal without its extra": rehearse(venv, Path(scratch))}
        if not options.without_extra:
            install(venv, options.find_links, "korvalinden[rehearse]")
            results["rehearsal"] = rehearse(venv, Path(scratch))
        module = subprocess.run(
            [str(venv / "bin" / "python"), "-c", "import korvalinden.korvalinden as kv; print(kv.__file__)"],
            cwd=scratch, capture_output=True, text=True, check=True).stdout.strip()

    version = subprocess.run([options.python, "-c", "import sys; print(sys.version.split()[0])"],
                             capture_output=True, text=True, check=True).stdout.strip()
    sys.stdout.write(results["tool"].stdout)
    failures = [name for name, result in results.items() if not EXPECTED[name](result)]
    for name in failures:
        if name != "tool":  # shown above
            sys.stdout.write(results[name].stdout)
        sys.stderr.write(results[name].stderr)
        print(f"prove_wheel: the installed {name}: status {results[name].returncode}", file=sys.stderr)
    if not module.startswith(str(venv)):
        print(f"prove_wheel: the module imported is not the installed one: {module}", file=sys.stderr)
        failures.append("module")
    if failures:
        print(f"prove_wheel: CPython {version}: failed: {', '.join(failures)}", file=sys.stderr)
        return 1
    print(f"prove_wheel: CPython {version}: installed from wheels only; the tool ran against the simulated "
          "controller, and " + ("the rehearsal without its extra refused to start" if options.without_extra
                                else "with korvalinden[rehearse] a one-shot rehearsal ran"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
