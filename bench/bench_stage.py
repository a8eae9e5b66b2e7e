"""What clients that hold connections cost the rehearsal's server.

The rehearsal serves as the operator starts it, `korvalinden-rehearse`, in a
process of its own. Against it, in turn:
`idle` connections that complete their TLS handshake and say nothing more;
as many that connect and never start a handshake; and `bodies` clients that
each post a body of the largest size taken, all at once. After each, a login
on a new connection is timed from connect to reply (the median of 5), and the
server's peak resident memory (VmHWM) and its threads are read from /proc.

Goals: each login answered within a second, and the server's peak resident
memory under 100 MiB.

    .venv/bin/python bench/bench_stage.py [--idle 500] [--bodies 40]
"""

import contextlib
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import requests
import urllib3

from common import goal, parse_options
from korvalinden.rehearsal.controller import DEFAULT_PASSWORD, DEFAULT_USERNAME
from korvalinden.rehearsal.serving import MAX_BODY_BYTES

LOGINS = 5
LOGIN_GOAL_SECONDS = 1.0
MEMORY_GOAL_MIB = 100
UNVERIFIED = ssl.create_default_context()
urllib3.disable_warnings(urllib3.exceptions.InsecureRequestWarning)
UNVERIFIED.check_hostname, UNVERIFIED.verify_mode = False, ssl.CERT_NONE


@contextlib.contextmanager
def serving_rehearsal():
    """The rehearsal's command, serving: its process and its address."""
    with tempfile.TemporaryDirectory() as scratch:
        address_file = Path(scratch, "address")
        stage = subprocess.Popen([str(Path(sys.executable).with_name("korvalinden-rehearse")), "--address-file",
                                  str(address_file)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while not (address_file.exists() and address_file.read_text()):
                if time.monotonic() > deadline or stage.poll() is not None:
                    raise SystemExit("bench_stage: the rehearsal did not start")
                time.sleep(0.05)
            yield stage, address_file.read_text()
        finally:
            stage.terminate()
            stage.wait(timeout=30)


def server_status(pid: int) -> dict[str, str]:
    lines = Path(f"/proc/{pid}/status").read_text().splitlines()
    return dict(line.split(":", 1) for line in lines if ":" in line)


def login_seconds(address: str) -> float:
    """A login on a connection of its own, from connect to reply."""
    start = time.perf_counter()
    with requests.Session() as session:
        reply = session.post(f"https://{address}/v1/api", verify=False, timeout=30,
                             data={"action": "login", "username": DEFAULT_USERNAME, "password": DEFAULT_PASSWORD})
    assert "CID" in reply.json(), reply.text
    return time.perf_counter() - start


def idle_tls(address: str, count: int, held: contextlib.ExitStack) -> None:
    host, port = address.rsplit(":", 1)
    for _ in range(count):
        plain = socket.create_connection((host, int(port)), timeout=30)
        with contextlib.suppress(OSError):  # the server may end it as soon as it is made
            held.enter_context(UNVERIFIED.wrap_socket(plain))
            continue
        held.enter_context(plain)


def idle_tcp(address: str, count: int, held: contextlib.ExitStack) -> None:
    host, port = address.rsplit(":", 1)
    for _ in range(count):
        held.enter_context(socket.create_connection((host, int(port)), timeout=30))


def largest_bodies(address: str, count: int, held: contextlib.ExitStack) -> None:
    """`count` posts of the largest body, sent at once, each on its own thread; waits for them all."""
    body = b"action=login&note=" + b"x" * (MAX_BODY_BYTES - len(b"action=login&note="))

    def post():
        with contextlib.suppress(requests.RequestException):
            requests.post(f"https://{address}/v1/api", data=body, verify=False, timeout=60)

    threads = [threading.Thread(target=post) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def main() -> int:
    options = parse_options(__doc__, idle=500, bodies=40)
    cases = {f"{options.idle} idle TLS connections": (idle_tls, options.idle),
             f"{options.idle} connections that never start a handshake": (idle_tcp, options.idle),
             f"{options.bodies} posts of {MAX_BODY_BYTES // 1024} KiB at once": (largest_bodies, options.bodies)}
    missed = []
    with serving_rehearsal() as (stage, address):
        pid = stage.pid
        print(f"the server at rest: {server_status(pid)['VmRSS'].strip()} resident, "
              f"{server_status(pid)['Threads'].strip()} threads")
        for case, (make, count) in cases.items():
            with contextlib.ExitStack() as held:
                started = time.perf_counter()
                make(address, count, held)
                made = time.perf_counter() - started
                logins = [login_seconds(address) for _ in range(LOGINS)]
                status = server_status(pid)
                print(f"\n{case}, made in {made:.1f} s: the server holds {status['Threads'].strip()} threads, "
                      f"{status['VmRSS'].strip()} resident (peak so far {status['VmHWM'].strip()}); a login took "
                      f"{min(logins) * 1000:.0f} / {statistics.median(logins) * 1000:.0f} / "
                      f"{max(logins) * 1000:.0f} ms (min / median / max of {LOGINS})")
                goal(missed, max(logins) < LOGIN_GOAL_SECONDS,
                     f"{case}: every login within {LOGIN_GOAL_SECONDS:g} s, the slowest {max(logins):.2f} s")
        peak = int(server_status(pid)["VmHWM"].split()[0]) / 1024
    goal(missed, peak < MEMORY_GOAL_MIB, f"the server's peak resident memory {peak:.0f} MiB, under "
                                         f"{MEMORY_GOAL_MIB} MiB")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
