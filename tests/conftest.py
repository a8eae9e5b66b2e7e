"""Shared fixtures: the module, a recording fake of `requests`, a configuration
directory and the simulated controller over real HTTPS."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from helpers import FakeRequests  # noqa: E402
from korvalinden.simulated_controller import SimulatedController  # noqa: E402


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
    with SimulatedController() as running:
        yield running
