"""The inputs the benchmark's nonagame_lab rows are built from, and the strength match: each
comparison must time like with like, and the prepared work must be valid (no timing here)."""
import json
import random
import sys
from pathlib import Path

import numpy as np
import pytest

nonagame_lab = pytest.importorskip("nonagame_lab")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import cases  # noqa: E402
import lab  # noqa: E402

pytestmark = pytest.mark.programs


@pytest.fixture(scope="module")
def positions():
    return lab.positions_from(cases.random_move_lists(6, random.Random(3)))


def test_equality_pairs_follow_the_same_pattern_for_positions_and_ints(positions):
    position_pairs, int_pairs = lab.equality_pairs(positions)
    assert len(position_pairs) == len(int_pairs) == len(positions)
    outcomes = [a == b for a, b in position_pairs]
    assert outcomes == [a == b for a, b in int_pairs]
    assert outcomes == [i % 2 == 0 for i in range(len(positions))]
    # The equal pairs are distinct objects, as two equal values usually are.
    assert all(a is not b for a, b in position_pairs[::2] + int_pairs[::2])


def test_the_step_schedule_is_legal_and_moves_every_game():
    cells = lab.vector_schedule(16, 120, seed=5)  # long enough for every game to end and restart
    assert cells.shape == (120, 16) and (cells >= 0).all()
    games = nonagame_lab.VectorGames(16, seed=0)
    restarts = 0
    for row in cells:
        assert games.legal[np.arange(16), row].all()
        games.step(row)
        done = np.flatnonzero(games.done).tolist()
        restarts += len(done)
        if done:
            games.reset(done)
    assert restarts >= 16


@pytest.mark.parametrize("plies", [(10, 20, 30), (50,)])
def test_search_positions_are_the_opening_then_unfinished_midgames(plies):
    lines = lab.search_positions(plies, random.Random(7))
    assert lines[0] == [] and len(lines) == len(plies) + 1
    for cells, count in zip(lines[1:], plies):
        position = nonagame_lab.Position.from_moves(cells)
        assert len(cells) == count and not position.is_over


def test_a_short_strength_match_plays_whole_games_in_both(tmp_path):
    pytest.importorskip("pyspiel")
    import strength

    report = tmp_path / "strength.json"
    assert strength.main(["--games", "2", "--ms", "2", "--json", str(report)]) == 0
    result = json.loads(report.read_text())
    summary, games = result["summary"], result["games"]
    assert summary["wins"] + summary["draws"] + summary["losses"] == summary["games"] == 2
    assert [g["ours_first"] for g in games] == [True, False]  # who opens alternates
    assert all(17 <= g["plies"] <= 81 for g in games)
