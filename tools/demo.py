"""Runs the korvalinden console script against the simulated controller.

Starts the simulated Tarvenox Controller on a free loopback port, runs the
tool from this virtual environment with its default configuration directory,
lets its output through, stops the controller and exits with the tool's exit
status. Run it with the venv's interpreter: `make demo`.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from korvalinden.simulated_controller import SimulatedController


def main() -> int:
    # The console script sits next to the interpreter of the venv.
    tool = Path(sys.executable).with_name("korvalinden")
    if not tool.exists():
        print(f"demo: {tool} not found; run `make build` first", file=sys.stderr)
        return 2
    with SimulatedController() as controller:
        command = [str(tool), "--controller_ip", controller.address, "--password", controller.password]
        # The simulated controller's password is no secret: show the command as it runs, so that it can be
        # typed again against `korvalinden-rehearse`.
        print(f"demo: simulated controller on {controller.address} "
              f"(user {controller.username}, password {controller.password})", flush=True)
        print(f"demo: {tool.name} --controller_ip {controller.address} --password {controller.password}", flush=True)
        print(flush=True)
        status = subprocess.run(command).returncode
    print(f"demo: {tool.name} exited with status {status}, after {len(controller.requests)} posts over "
          f"{controller.connections} connection(s)", flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
