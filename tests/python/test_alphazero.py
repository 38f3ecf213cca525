"""examples/alphazero.py at a size that runs in seconds."""
import importlib.util
import pathlib
import pickle
import sys

import numpy as np
import pytest

pytestmark = pytest.mark.programs

for extra in ("jax", "flax", "optax", "pyarrow", "matplotlib", "tqdm"):
    pytest.importorskip(extra)

from nonagame_lab import Network, Position  # noqa: E402
from nonagame_lab.arena import match  # noqa: E402
from nonagame_lab.envs import position_planes  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
QUICK = ["--hidden", "64", "--bootstrap-positions", "3000", "--bootstrap-simulations", "100", "--shard-games", "10",
         "--bootstrap-steps", "800", "--steps", "50", "--batch", "128", "--games", "6", "--simulations", "16",
         "--eval-games", "4", "--eval-simulations", "16", "--reference", "uct:30", "--quiet", "--seed", "3"]


@pytest.fixture(scope="module")
def alphazero():
    sys.path.insert(0, str(EXAMPLES))
    spec = importlib.util.spec_from_file_location("alphazero", EXAMPLES / "alphazero.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["alphazero"] = module  # dataclasses look their module up while the class is made
    spec.loader.exec_module(module)
    return module


def random_positions(count, seed):
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < count:
        position = Position()
        for _ in range(int(rng.integers(0, 40))):
            if position.is_over:
                break
            position = position.play(int(rng.choice(position.legal_moves)))
        if not position.is_over:
            out.append(position)
    return out


def test_a_quick_run_writes_generations_that_load_resume_and_beat_random_play(alphazero, tmp_path):
    out = tmp_path / "run"
    alphazero.main(["--out", str(out), "--generations", "1", *QUICK])
    network = Network.load(out / "generations" / "gen-0001.npz")

    # The exported file computes what flax computes, on planes built the lab's way.
    with open(out / "checkpoint.pkl", "rb") as file:
        params = pickle.load(file)["state"]["params"]
    positions = random_positions(64, seed=5)
    planes = np.stack([position_planes(p) for p in positions])
    legal = planes[..., 2].reshape(len(positions), 81).astype(bool)
    native_logits, native_values = network.evaluate_planes(planes, legal)
    boards = np.stack([p.board for p in positions])
    movers = np.array([p.to_move for p in positions])
    masks = np.zeros((len(positions), 81), bool)
    for row, p in enumerate(positions):
        masks[row, p.legal_moves] = True
    ours = np.asarray(alphazero.planes_from_cells(boards, movers, masks))
    np.testing.assert_array_equal(ours, planes.reshape(len(positions), 243))
    logits, values = alphazero.MLP((64,)).apply(params, ours)
    np.testing.assert_allclose(native_values, values, atol=1e-4)
    np.testing.assert_allclose(native_logits, logits, atol=1e-3)

    # Search guided by the generation at 16 simulations a move against random play: about
    # 0.8 here, where the untrained network scores about 0.67.
    result = match(alphazero.guided(network, 16), "random", games=100, seed=1, progress=False)
    assert result.score >= 0.75, result.table()

    # A second session goes on from the checkpoint: one more generation, its self-play shard
    # labelled with it, and the history and curve of both.
    alphazero.main(["--out", str(out), "--generations", "2", "--resume", *QUICK])
    with open(out / "checkpoint.pkl", "rb") as file:
        state = pickle.load(file)["state"]
    assert [h["generation"] for h in state["history"]] == [1, 2]
    assert (out / "curve.png").stat().st_size > 0
    import pyarrow.parquet as pq

    shard = pq.read_table(out / "selfplay" / "gen-0002.parquet")
    assert set(shard.column("generation").to_pylist()) == {2}
    assert len(set(shard.column("game").to_pylist())) == 6
    # Each game its own: one seed for all would make the six games one game six times.
    sequences: dict[int, list[tuple[int, ...]]] = {}
    for game, board in zip(shard.column("game").to_pylist(), shard.column("board").to_pylist()):
        sequences.setdefault(game, []).append(tuple(board))
    assert len({tuple(s) for s in sequences.values()}) == 6
    root = shard.column("root_value").to_numpy()
    assert np.all(np.abs(root) <= 1) and np.unique(root).size > 1


def test_local_processes_play_each_share_as_one_process_would(alphazero):
    import concurrent.futures
    import multiprocessing

    arrays = Network.from_arrays(alphazero.export(alphazero.MLP((16,)).init(
        alphazero.jax.random.key(0), np.zeros((1, 243), np.float32)))).arrays()
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        done = []
        table = alphazero.local_self_play(pool, 2, arrays, 5, 8, 1, 4, 3, 100, 1, progress=done.append)
    assert sorted(done) == [2, 3]
    alone = [alphazero.play_share(arrays, count, 8, seed, 4, 3, start)
             for count, seed, start in alphazero.shares(5, 2, 1, 100)]
    assert table.to_pydict() == alphazero.pa.concat_tables(alone).to_pydict()
    assert sorted(set(table.column("game").to_pylist())) == [100, 101, 102, 103, 104]


def test_self_play_over_ray_actors_numbers_the_games_of_all_workers(alphazero, tmp_path):
    ray = pytest.importorskip("ray")
    arrays = Network.from_arrays(alphazero.export(alphazero.MLP((16,)).init(
        alphazero.jax.random.key(0), np.zeros((1, 243), np.float32)))).arrays()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        table = alphazero.ray_self_play("unused: already connected", 2, arrays, 5, 8, 1, 4, 3, 100)
    finally:
        ray.shutdown()
    assert sorted(set(table.column("game").to_pylist())) == [100, 101, 102, 103, 104]
    assert set(table.column("generation").to_pylist()) == {3}
