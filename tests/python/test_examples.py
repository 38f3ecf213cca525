"""The example programs, run with small sizes."""
import importlib.util
import json
import pathlib
import subprocess
import textwrap
import sys

import numpy as np
import pytest

pytestmark = pytest.mark.programs

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
    out = run("tournament", "--games", "30", "--seed", "2", "--search-games", "4")
    assert "games per second" in out and "One finished game" in out
    assert "network (baseline, guided MCTS)" in out


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
    pytest.importorskip("pyarrow", reason="the workers write Parquet: pyarrow is in the distributed extra")
    selfplay = load("distributed_selfplay")
    result = selfplay.run(workers=2, games_per_worker=3, address=None)
    assert len(result["winners"]) == 6
    assert sum(result["wins"]) == int((result["winners"] != 0).sum())
    assert result["boards"].shape[1] == 81 and len(result["boards"]) == len(result["player_to_move"])


def dataset_rows_match_their_positions(boards, legal, policy, ply, keys, notations):
    from nonagame_lab import Position

    for i, text in enumerate(notations):
        position = Position(str(text))
        np.testing.assert_array_equal(boards[i], position.board)
        mask = np.zeros(81, dtype=bool)
        mask[position.legal_moves] = True
        np.testing.assert_array_equal(legal[i], mask)
        assert keys[i] == position.key and ply[i] == (position.board != 0).sum()
        assert not policy[i][~mask].any()
        assert abs(policy[i].sum() - 1) < 1e-5 if mask.any() else position.is_over


def test_dataset_search_games_follow_the_search_and_replay_with_a_seed():
    dataset = load("dataset")
    import nonagame_lab

    data = dataset.search_games(2, 40, seed=8, sample_plies=4)
    again = dataset.search_games(2, 40, seed=8, sample_plies=4)
    for name in dataset.COLUMNS:
        np.testing.assert_array_equal(data[name], again[name])
    first_seed = int(np.random.default_rng(8).integers(2**63))
    expected = nonagame_lab.search(nonagame_lab.Position(), simulations=40, seed=first_seed).policy
    np.testing.assert_allclose(data["policy"][0], expected, rtol=1e-6)
    dataset_rows_match_their_positions(data["boards"], data["legal_mask"], data["policy"], data["ply"],
                                       data["key"], data["notation"])
    for g in (0, 1):
        rows = np.flatnonzero(data["game"] == g)
        positions = [nonagame_lab.Position(str(t)) for t in data["notation"][rows]]
        # One row per move of the game: each position follows the previous by one legal move,
        # and a legal move from the last one ends the game with the recorded winner.
        assert list(data["ply"][rows]) == list(range(len(rows)))
        for before, after in zip(positions, positions[1:]):
            assert any(before.play(c) == after for c in before.legal_moves)
        winner = int(data["winner"][rows[0]])
        last = positions[-1]
        assert any(last.play(c).is_over and last.play(c).winner == winner for c in last.legal_moves)
        assert (data["winner"][rows] == winner).all()
    expected_value = np.where(data["winner"] == 0, 0, np.where(data["winner"] == data["player_to_move"], 1, -1))
    np.testing.assert_array_equal(data["value"], expected_value)


def test_dataset_parquet_with_augmentation(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow is the data extra")
    from nonagame_lab import Position, transform_policy

    out_file = tmp_path / "data.parquet"
    run("dataset", "--games", "2", "--simulations", "30", "--augment", "--seed", "5", "--out", str(out_file))
    table = pq.read_table(out_file)
    assert table.column_names == ["notation", "board", "player_to_move", "legal_mask", "policy", "value", "winner",
                                  "game", "ply", "key", "symmetry"]
    columns = table.to_pydict()
    n = table.num_rows
    assert n % 8 == 0 and columns["symmetry"] == list(range(8)) * (n // 8)
    boards = np.array(columns["board"], dtype=np.int8)
    legal = np.array(columns["legal_mask"], dtype=bool)
    policy = np.array(columns["policy"], dtype=np.float32)
    dataset_rows_match_their_positions(boards, legal, policy, columns["ply"], columns["key"], columns["notation"])
    for start in range(0, n, 8):
        original = Position(columns["notation"][start])
        for k in range(8):
            assert Position(columns["notation"][start + k]) == original.transform(k)
            np.testing.assert_allclose(policy[start + k], transform_policy(k, policy[start]))
            assert columns["value"][start + k] == columns["value"][start]
            assert columns["game"][start + k] == columns["game"][start]


def test_dataset_npz_keeps_its_arrays_and_adds_the_new_ones(tmp_path):
    out_file = tmp_path / "data.npz"
    run("dataset", "--games", "3", "--augment", "--out", str(out_file))
    data = np.load(out_file)
    assert set(data.files) == {"boards", "player_to_move", "legal_mask", "winner", "value", "game", "policy", "ply",
                               "key", "notation", "symmetry"}
    identity = data["symmetry"] == 0
    dataset_rows_match_their_positions(data["boards"][identity], data["legal_mask"][identity], data["policy"][identity],
                                       data["ply"][identity], data["key"][identity], data["notation"][identity])
    # The random players' policy target is uniform over the legal cells.
    counts = data["legal_mask"].sum(axis=1)
    moving = counts > 0
    np.testing.assert_allclose(data["policy"][moving].max(axis=1), 1 / counts[moving], rtol=1e-6)
    with pytest.raises(subprocess.CalledProcessError):
        run("dataset", "--games", "1", "--out", str(tmp_path / "data.csv"))


def test_distributed_selfplay_writes_one_parquet_dataset(tmp_path):
    pytest.importorskip("ray", reason="ray is an optional extra; the test script installs it")
    pytest.importorskip("pyarrow", reason="the workers write Parquet: pyarrow is in the distributed extra")
    import pyarrow.dataset as ds

    out = tmp_path / "shards"
    # An existing cluster, as --address finds one: a head node started apart from the driver.
    # The driver runs in a process of its own, so that no thread of Ray's outlives the test in
    # this one (the leak test measures this process's memory).
    driver = textwrap.dedent(
        f"""
        import importlib.util, json
        import numpy as np
        from ray.cluster_utils import Cluster
        # Loaded from its file, as the tests load every example: Ray then ships its code to
        # the workers with the tasks.
        spec = importlib.util.spec_from_file_location("selfplay", {str(EXAMPLES / "distributed_selfplay.py")!r})
        selfplay = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(selfplay)
        cluster = Cluster(initialize_head=True, head_node_args={{"num_cpus": 2, "include_dashboard": False}})
        try:
            result = selfplay.run(workers=2, games_per_worker=3, address=cluster.address, out={str(out)!r},
                                  simulations=30, shard_games=2, seed=4)
        finally:
            cluster.shutdown()
        result["winners"] = np.asarray(result["winners"]).tolist()
        print(json.dumps(result, default=lambda o: o.tolist() if hasattr(o, "tolist") else str(o)))
        """
    )
    done = subprocess.run([sys.executable, "-c", driver], check=True, capture_output=True, text=True, timeout=600)
    result = json.loads(done.stdout.strip().splitlines()[-1])
    result["winners"] = np.asarray(result["winners"])
    assert sorted(p.name for p in out.iterdir()) == [f"worker-{w:03d}-shard-{s:04d}.parquet"
                                                    for w in range(2) for s in range(2)]
    table = ds.dataset(out, format="parquet").to_table()
    assert result["positions"] == table.num_rows == sum(r["positions"] for r in result["workers"])
    assert sorted(set(table.column("game").to_pylist())) == list(range(6))  # ids unique over workers
    columns = table.to_pydict()
    dataset_rows_match_their_positions(np.array(columns["board"]), np.array(columns["legal_mask"]),
                                       np.array(columns["policy"]), columns["ply"], columns["key"],
                                       columns["notation"])
    assert len(result["winners"]) == 6 and sum(result["wins"]) == int((result["winners"] != 0).sum())
    # The command line refuses to mix a new run into an earlier one.
    with pytest.raises(subprocess.CalledProcessError) as refused:
        run("distributed_selfplay", "--out", str(out))
    assert "--overwrite" in refused.value.stderr


def test_train_agent_smoke_run_learns_against_the_random_player():
    # JAX needs NumPy 2: the test command runs this in its NumPy 2.x environment only.
    for name in ("jax", "flax", "optax", "gymnasium"):
        pytest.importorskip(name, reason="the train extra (JAX, flax, optax, gymnasium) is not installed")
    spec = importlib.util.spec_from_file_location("train_agent", EXAMPLES / "train_agent.py")
    train_agent = importlib.util.module_from_spec(spec)
    sys.modules["train_agent"] = train_agent  # flax's dataclasses look their module up
    try:
        spec.loader.exec_module(train_agent)
        trainer = train_agent.Trainer(train_agent.Config(seed=0, num_envs=128, rollout=32, updates=30))
        # 1000 games each: the standard error of a win rate is under 1.6 points, so a rise of
        # 8 points is no coin flip.
        before = trainer.evaluate("random", 1000, seed=1)
        history = trainer.train()
        after = trainer.evaluate("random", 1000, seed=2)
    finally:
        del sys.modules["train_agent"]
    assert len(history.losses) == 30 and all(np.isfinite(history.losses))
    assert after.win_rate >= before.win_rate + 0.08, (before, after)
    # The value head's error against the games' results falls as it learns.
    assert after.value_loss < before.value_loss, (before, after)
    assert before.games == after.games == 1000


def test_rllib_selfplay_trains_and_evaluates_briefly(tmp_path):
    for name in ("ray.rllib", "torch", "pettingzoo"):
        pytest.importorskip(name, reason="the RLlib example needs ray[rllib] and torch, which the test does not install")
    report = tmp_path / "figures.json"
    out = run("rllib_selfplay", "--iterations", "1", "--batch", "400", "--eval-games", "4", "--json", str(report))
    figures = json.loads(report.read_text())
    assert figures["iterations"] == 1 and "1 iterations in" in out
    for opponent in ("random", "level:1"):
        assert sum(figures[opponent].values()) == 4
