"""Proves a built wheel the way an operator meets it.

Makes a fresh virtual environment from the given interpreter, installs
korvalinden into it from binary wheels on disk only (no index, no source
builds, no pip configuration of this machine), and runs the installed console
command against the simulated controller with the default configuration
directory. Run it with an interpreter of the project's development
environment (the simulated controller needs its packages):

    .venv-3.12/bin/python tools/prove_wheel.py --python /path/to/python3.12 \
        --find-links wheelhouse --find-links build/wheel-deps
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

from korvalinden.simulated_controller import SimulatedController


def install(python: str, venv: Path, find_links: list[str]) -> None:
    subprocess.run([python, "-m", "venv", str(venv)], check=True)
    links = [argument for link in find_links for argument in ("--find-links", str(Path(link).resolve()))]
    subprocess.run(
        [str(venv / "bin" / "python"), "-m", "pip", "install", "--isolated", "--disable-pip-version-check", "-q",
         "--no-index", "--only-binary", ":all:", *links, "korvalinden"],
        check=True,
    )


def run_tool(venv: Path, workdir: Path) -> subprocess.CompletedProcess:
    with SimulatedController() as controller:
        command = [str(venv / "bin" / "korvalinden"), "--controller_ip", controller.address,
                   "--password", controller.password]
        return subprocess.run(command, cwd=workdir, capture_output=True, text=True, timeout=120)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", required=True, help="the interpreter to make the fresh environment from")
    parser.add_argument("--find-links", action="append", required=True, help="a directory of wheels")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="korvalinden-wheel-") as scratch:
        venv = Path(scratch) / "venv"
        install(options.python, venv, options.find_links)
        # Run from an empty directory so that nothing of the source tree can be imported.
        result = run_tool(venv, Path(scratch))
        module = subprocess.run(
            [str(venv / "bin" / "python"), "-c", "import korvalinden.korvalinden as kv; print(kv.__file__)"],
            cwd=scratch, capture_output=True, text=True, check=True).stdout.strip()

    version = subprocess.run([options.python, "-c", "import sys; print(sys.version.split()[0])"],
                             capture_output=True, text=True, check=True).stdout.strip()
    sys.stdout.write(result.stdout)
    sys.stderr.write(result.stderr)
    installed = module.startswith(str(venv))
    if result.returncode != 0 or result.stderr or not result.stdout.strip() or not installed:
        print(f"prove_wheel: CPython {version}: the installed tool failed (status {result.returncode}, "
              f"module at {module})", file=sys.stderr)
        return 1
    print(f"prove_wheel: CPython {version}: installed from wheels only and ran against the simulated controller")
    return 0


if __name__ == "__main__":
    sys.exit(main())
