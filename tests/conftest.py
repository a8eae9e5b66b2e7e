"""Shared fixtures: the module, a recording fake of `requests`, a configuration
directory and the simulated controller over real HTTPS; the seed of a failing
fuzzed test in its report; the leak hunt on a debug build of CPython."""

from __future__ import annotations

import gc
import sys
from pathlib import Path

import pytest
from _pytest.runner import runtestprotocol

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from helpers import NO_CERTIFICATES, FakeRequests, clear_internal_caches  # noqa: E402
from korvalinden.rehearsal.controller import SimulatedController  # noqa: E402


@pytest.fixture(scope="session")
def kv():
    import korvalinden.korvalinden as module

    return module


@pytest.fixture
def fake_requests(kv, monkeypatch):
    fake = FakeRequests()
    monkeypatch.setattr(kv, "requests", fake)
    return fake


@pytest.fixture
def config_dir(tmp_path):
    """An empty configuration directory. A test module whose tests share some
    files overrides it with one that writes them."""
    path = tmp_path / "config"
    path.mkdir()
    return path


@pytest.fixture(scope="session")
def controller():
    if NO_CERTIFICATES:
        pytest.skip(NO_CERTIFICATES)
    with SimulatedController() as running:
        yield running


def pytest_runtest_setup(item):
    if NO_CERTIFICATES and item.get_closest_marker("certificates"):
        pytest.skip(NO_CERTIFICATES)


# -- what a failing fuzzed test was drawn from --------------------------------------


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    report = yield
    seed = getattr(item.module, "FUZZ_SEED", None)
    if report.failed and seed is not None:
        report.sections.append(("fuzz seed", f"drawn from FUZZ_SEED={seed} with FUZZ_EXAMPLES={item.module.EXAMPLES}"))
    return report


# -- the leak hunt on a debug build of CPython ---------------------------------------


def pytest_addoption(parser):
    parser.addoption("--hunt-leaks", metavar="WARM-UPS:RUNS",
                     help="run every test WARM-UPS+RUNS times more on a debug build of CPython and fail it when the "
                          "interpreter's reference total or its allocated blocks grew after each of the last RUNS")


def pytest_configure(config):
    config.addinivalue_line("markers", "certificates: serves HTTPS with a certificate that trustme makes")
    option = config.getoption("hunt_leaks")
    if option:
        if not hasattr(sys, "gettotalrefcount"):
            raise pytest.UsageError("--hunt-leaks needs a debug build of CPython (sys.gettotalrefcount)")
        warm_ups, runs = (int(part) for part in option.split(":"))
        config.pluginmanager.register(LeakHunt(warm_ups, runs), "leak-hunt")


class LeakHunt:
    """The way CPython hunts leaks in its own tests (regrtest -R): after the
    warm-ups have filled the caches, a test that leaks leaves the interpreter's
    reference total (sys.gettotalrefcount) or its allocated blocks higher after
    every run; noise moves them now and then, a leak every time. Setting up and
    tearing down a test's fixtures also moves them (pytest keeps some of it per
    run), so each run of the test is compared with a run of the same fixtures
    around an empty body. Each test then runs once more as usual, and that run
    is the one reported."""

    def __init__(self, warm_ups, runs):
        self.warm_ups, self.runs = warm_ups, runs
        self.hunted, self.leaking = 0, []

    @staticmethod
    def totals():
        clear_internal_caches()
        gc.collect()
        return sys.gettotalrefcount(), sys.getallocatedblocks()

    @staticmethod
    def passes(item, body):
        item.obj = body
        reports = runtestprotocol(item, nextitem=Sibling(item), log=False)
        item._report_sections.clear()  # captured output, kept per run
        return not any(report.failed for report in reports)

    def growth(self, item):
        """Per run, how far the test moved the totals beyond its fixtures alone.
        The marks go into a list made beforehand, so that every stretch between
        two marks holds the same bookkeeping: one mark made and stored."""
        body, rounds = item.obj, self.warm_ups + self.runs
        marks = [None] * (2 * rounds + 1)
        try:
            marks[0] = self.totals()
            for mark in range(1, 2 * rounds + 1):
                if not self.passes(item, body if mark % 2 == 0 else empty_body):
                    return []
                marks[mark] = self.totals()
        finally:
            item.obj = body
        return [[(after - between) - (between - before) for before, between, after in zip(*marks[mark - 2:mark + 1])]
                for mark in range(2, 2 * rounds + 1, 2)]

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        growth = self.growth(item)
        leaks = {}
        if len(growth) == self.warm_ups + self.runs:
            self.hunted += 1
            for name, deltas in zip(("references", "memory blocks"), zip(*growth[self.warm_ups:])):
                if all(delta > 0 for delta in deltas):
                    leaks[name] = list(deltas)
        for report in runtestprotocol(item, nextitem=nextitem, log=False):
            if report.when == "call" and leaks and report.passed:
                report.outcome = "failed"
                report.longrepr = "leaked " + ", ".join(f"{name} {deltas} per run" for name, deltas in leaks.items())
                self.leaking.append(item.nodeid)
            item.ihook.pytest_runtest_logreport(report=report)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.write_line(
            f"leak hunt ({self.warm_ups} warm-ups, {self.runs} runs): {self.hunted} tests hunted, "
            f"{len(self.leaking)} leaking" + "".join(f"\n  {nodeid}" for nodeid in self.leaking))


def empty_body(**fixtures):
    """What a test's fixtures run around in the hunt's comparison run: one
    function for all, as making one per run would count in the totals."""


class Sibling:
    """Stands for a next test beside the one hunted, so that a run tears down
    that test's own fixtures and keeps the wider ones up, as for the next test
    of its module."""

    def __init__(self, item):
        self.chain = item.listchain()[:-1]

    def listchain(self):
        return self.chain
