"""The example programs, run with small sizes."""
import importlib.util
import pathlib
import subprocess
import sys

import numpy as np
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run(name, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *args], check=True,
                          capture_output=True, text=True, timeout=300).stdout


def test_random_game_prints_a_finished_board():
    out = run("random_game", "--seed", "3")
    assert out.rstrip().endswith(("wins", "draw"))
    assert out.count("━━━━━━━━━━━╋━━━━━━━━━━━╋━━━━━━━━━━━") == 2


def test_tournament_table_adds_up_and_the_heuristic_beats_random():
    tournament = load("tournament")
    results = tournament.run(200, chunk=40, seed=1)
    assert results["heuristic"] + results["random"] + results["draws"] == 200
    assert results["heuristic"] > 2 * results["random"]
    out = run("tournament", "--games", "30", "--seed", "2")
    assert "games per second" in out and "One finished game" in out


def test_heuristic_takes_a_winning_cell_and_blocks():
    tournament = load("tournament")
    import nonagame

    game = nonagame.Game(0)
    for i, cell in enumerate([1, 9, 2, 18]):  # player 1 holds cells 1 and 2 of roster 0
        game.make_move(cell, 1 + i % 2)
    state = game.make_state()  # player 1 to move, sent to roster 0
    assert tournament.HeuristicPlayer(1, seed=0).choose(state) == 0
    assert tournament.completes_line(state.board, 0, 1) and not tournament.completes_line(state.board, 3, 1)


def test_mcts_beats_the_random_player():
    mcts = load("mcts")
    wins, losses, draws = mcts.play_series(games=6, iterations=150, seed=11)
    assert wins + losses + draws == 6
    assert wins >= 4


def test_dataset_file_is_consistent(tmp_path):
    out_file = tmp_path / "data.npz"
    run("dataset", "--games", "5", "--out", str(out_file))
    data = np.load(out_file)
    n = len(data["boards"])
    assert data["boards"].shape == (n, 81) and data["boards"].dtype == np.int8
    assert data["legal_mask"].shape == (n, 81)
    assert set(np.unique(data["game"])) == set(range(5))
    occupied = (data["boards"] != 0).sum(axis=1)
    for g in range(5):
        rows = np.flatnonzero(data["game"] == g)
        assert occupied[rows[0]] == 1 and not data["legal_mask"][rows[-1]].any()
        assert len(set(data["winner"][rows])) == 1
    # Legal cells are always empty, and the player to move alternates within a game.
    assert not (data["legal_mask"] & (data["boards"] != 0)).any()
    expected_value = np.where(data["winner"] == 0, 0, np.where(data["winner"] == data["player_to_move"], 1, -1))
    assert (data["value"] == expected_value).all()


def test_distributed_selfplay_on_a_local_cluster():
    pytest.importorskip("ray", reason="ray is an optional extra; the test script installs it")
    selfplay = load("distributed_selfplay")
    result = selfplay.run(workers=2, games_per_worker=3, address=None)
    assert len(result["winners"]) == 6
    assert sum(result["wins"]) == int((result["winners"] != 0).sum())
    assert result["boards"].shape[1] == 81 and len(result["boards"]) == len(result["player_to_move"])
