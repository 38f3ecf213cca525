"""Fixtures of the lab tests. The hypothesis strategies and helpers they share live in
lab_support.py (an importable module: test modules cannot import a conftest reliably
once other directories have their own)."""
from __future__ import annotations

import shutil

import pytest

from lab_support import random_line
from nonagame_lab import Position


@pytest.fixture(scope="session")
def finished_by_outcome() -> dict[int, tuple[list[int], Position]]:
    """A finished random game for each outcome: winner 1, winner 2 and a draw (0)."""
    found: dict[int, tuple[list[int], Position]] = {}
    seed = 0
    while len(found) < 3:
        moves, position = random_line(seed)
        found.setdefault(position.winner, (moves, position))
        seed += 1
    return found


@pytest.fixture(scope="session")
def chromium() -> str:
    """The headless browser, or a skip when it is not installed."""
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    pytest.skip("Chromium is not installed")
