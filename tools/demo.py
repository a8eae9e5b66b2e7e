"""Runs the korvalinden console script against the simulated controller.

Starts the simulated Tarvenox Controller on a free loopback port, runs the
tool from this virtual environment with its default configuration directory,
lets its output through, stops the controller and exits with the tool's exit
status; last it shows the command that does the same again on its own. Run it
with the venv's interpreter: `make demo`.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from korvalinden.rehearsal.controller import SimulatedController


def main() -> int:
    # The console script sits next to the interpreter of the venv.
    tool = Path(sys.executable).with_name("korvalinden")
    if not tool.exists():
        print(f"demo: {tool} not found; run `make build` first", file=sys.stderr)
        return 2
    with SimulatedController() as controller:
        command = [str(tool), "--controller_ip", controller.address, "--password", controller.password]
        # The simulated controller's password is no secret: show the command as it runs.
        print(f"demo: simulated controller on {controller.address} "
              f"(user {controller.username}, password {controller.password})", flush=True)
        print(f"demo: {tool.name} --controller_ip {controller.address} --password {controller.password}", flush=True)
        print(flush=True)
        status = subprocess.run(command).returncode
    print(f"demo: {tool.name} exited with status {status}, after {len(controller.requests)} posts over "
          f"{controller.connections} connection(s)", flush=True)
    # The controller above is gone now; the rehearsal starts one of its own for the same run.
    print("demo: to run it again, with every request it makes shown after its output:", flush=True)
    print(f"  {shown_path(tool.with_name('korvalinden-rehearse'))} --run", flush=True)
    return status


def shown_path(path: Path) -> str:
    """The path as it can be typed here: relative when it lies below the current directory."""
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


if __name__ == "__main__":
    sys.exit(main())
