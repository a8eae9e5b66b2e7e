"""The project's environments, .venv-<version>, for the benchmarks that run on
every version: which there are, and how to start each one's interpreter."""

from __future__ import annotations

from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def version_environments(requested: list[str]) -> list[tuple[str, Path]]:
    """The environments .venv-<version> that the Makefile builds: those named, or
    every one there is."""
    if requested:
        return [(version, ROOT / f".venv-{version}" / "bin" / "python") for version in requested]
    found = {path.parent.parent.name.removeprefix(".venv-"): path for path in ROOT.glob(".venv-3.*/bin/python")}
    numbered = [version for version in found if version.replace(".", "").isdigit()]
    return [(version, found[version]) for version in sorted(numbered, key=lambda v: tuple(map(int, v.split("."))))]


def interpreter_command(python: Path) -> list[str]:
    """How to run an environment's interpreter: itself, or through tools/in-root
    for one made inside the root of newer CPythons (its link leads nowhere
    outside); none when the environment is missing."""
    if python.exists():
        return [str(python)]
    if python.is_symlink():
        return [str(ROOT / "tools" / "in-root"), str(python)]
    return []
