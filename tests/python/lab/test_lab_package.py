"""How the lab package sits beside the core module: the private capsule it reads nonagame
objects through, one PanicException class for both modules, the version both carry, and the
native part's exports."""

from __future__ import annotations

import importlib.metadata
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import nonagame
import nonagame_lab
from nonagame_lab import _core

CORE_ALL = ["Game", "Player", "Checkpoint", "State", "play_game", "play_multiple_games"]


def test_capsule_is_private() -> None:
    assert nonagame.__all__ == CORE_ALL
    capsule = nonagame._core_api
    assert type(capsule).__name__ == "PyCapsule"
    assert "nonagame._core_api" in repr(capsule)
    namespace: dict[str, object] = {}
    exec("from nonagame import *", namespace)
    assert "_core_api" not in namespace


def test_both_packages_carry_the_distribution_version() -> None:
    try:
        expected = importlib.metadata.version("nonagame")
    except importlib.metadata.PackageNotFoundError:  # a development tree: the version it is built from
        pyproject = (pathlib.Path(__file__).resolve().parents[3] / "pyproject.toml").read_text(encoding="utf-8")
        match = re.search(r'^version = "([^"]+)"$', pyproject, re.MULTILINE)
        assert match is not None
        expected = match.group(1)
    assert nonagame.__version__ == nonagame_lab.__version__ == expected
    assert "__version__" not in nonagame.__all__ + nonagame_lab.__all__


def test_records_cross_the_capsule_both_ways() -> None:
    game = nonagame.Game(5)
    for cell, player in ((40, 1), (36, 2), (4, 1)):
        game.make_move(cell, player)
    position = nonagame_lab.Position.from_game(game)
    assert position == nonagame_lab.Position.from_state(game.make_state())
    back = position.to_game(game_id=9)
    assert isinstance(back, nonagame.Game)
    assert back.get_available_moves() == game.get_available_moves()
    assert back.make_state().player_id == game.make_state().player_id
    assert str(back) == str(game)


def test_one_panic_class_for_both_modules() -> None:
    game = nonagame.Game(0)
    game.make_move(40, 1)
    state = game.make_state()
    state.board.shape = (9, 9)  # no longer a snapshot's shape: reading it is an internal fault
    with pytest.raises(BaseException) as from_core:
        state.to_checkpoint()
    with pytest.raises(BaseException) as from_lab:
        nonagame_lab.Position.from_state(state)
    assert type(from_core.value).__name__ == "PanicException"
    assert type(from_lab.value) is type(from_core.value)
    assert str(from_lab.value) == str(from_core.value)


def test_only_the_init_function_is_exported() -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", _core.__file__], check=True, capture_output=True, text=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.split()[-2] in "TDBRVW"]
    assert symbols == ["PyInit__core"]


def test_importing_the_lab_loads_no_optional_dependency() -> None:
    code = (
        "import sys, nonagame_lab\n"
        "print(sorted(m for m in ('gymnasium', 'pettingzoo', 'ray', 'pyarrow', 'jax') if m in sys.modules))"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    assert out.stdout.strip() == "[]"
