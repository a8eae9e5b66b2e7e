"""Shared fixtures: the module, a recording fake of `requests` and the
simulated controller over real HTTPS."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tests"))

from helpers import FakeRequests  # noqa: E402
from simulated_controller import SimulatedController  # noqa: E402


@pytest.fixture(scope="session")
def kv():
    import korvalinden.korvalinden as module

    return module


@pytest.fixture
def fake_requests(kv, monkeypatch):
    fake = FakeRequests()
    monkeypatch.setattr(kv, "requests", fake)
    return fake


@pytest.fixture(scope="session")
def controller():
    with SimulatedController() as running:
        yield running
