"""search_batch: trees guided by a Python evaluator in rounds. Independence from batch
companions, priors steering visits, proofs under any network, refused answers that change
nothing, re-entry, threads and Ctrl-C."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
from typing import Any

import numpy as np
import pytest

from nonagame_lab import Position, search_batch
from nonagame_lab._core import SearchBatch


def random_position(seed: int, plies: int) -> Position:
    rng = np.random.default_rng(seed)
    position = Position()
    for _ in range(plies):
        if position.is_over:
            break
        position = position.play(int(rng.choice(position.legal_moves)))
    return position


class NumpyNet:
    """A small random multilayer perceptron over the planes, evaluated in float64."""

    def __init__(self, seed: int, scale: float = 1.0) -> None:
        rng = np.random.default_rng(seed)
        self.w1 = rng.standard_normal((243, 32)) * scale / 8
        self.w2 = rng.standard_normal((32, 82)) * scale / 4
        self.calls: list[int] = []

    def __call__(self, planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        assert planes.dtype == np.int8 and planes.shape[1:] == (9, 9, 3)
        assert legal.dtype == np.bool_ and legal.shape == (len(planes), 81)
        self.calls.append(len(planes))
        hidden = np.maximum(planes.reshape(len(planes), 243) @ self.w1, 0)
        out = hidden @ self.w2
        return out[:, :81], np.tanh(out[:, 81])


def positions(count: int) -> list[Position]:
    return [random_position(seed, 6 + seed % 9) for seed in range(count)]


def test_a_tree_does_not_depend_on_its_companions() -> None:
    roots = positions(6)
    together = search_batch(roots, NumpyNet(1), simulations=150, seed=3)
    for root, result in zip(roots, together):
        alone = search_batch([root], NumpyNet(1), simulations=150, seed=3)[0]
        assert (alone.visits == result.visits).all() and alone.best_move == result.best_move
        assert result.simulations == 150 == result.visits.sum()
        assert result.priors is not None and result.priors.sum() == pytest.approx(1.0)
    # Shuffled companions give each position the same result again.
    shuffled = search_batch(roots[::-1], NumpyNet(1), simulations=150, seed=3)
    assert all((a.visits == b.visits).all() for a, b in zip(together, shuffled[::-1]))


def test_seeds_give_each_tree_its_own_stream() -> None:
    # Self-play starts many trees from one position: under one seed they all draw the same
    # noise and moves; seeds=, or no seed at all, gives each tree its own.
    root, noisy = Position(), {"dirichlet_fraction": 0.25, "temperature": 1.0}
    shared = search_batch([root] * 4, NumpyNet(1), simulations=60, seed=3, **noisy)
    assert len({tuple(r.visits) for r in shared}) == 1
    own = search_batch([root] * 4, NumpyNet(1), simulations=60, seeds=[5, 6, 7, 8], **noisy)
    assert len({tuple(r.visits) for r in own}) == 4
    for seed, result in zip([5, 6, 7, 8], own):
        alone = search_batch([root], NumpyNet(1), simulations=60, seed=seed, **noisy)[0]
        assert (alone.visits == result.visits).all() and alone.best_move == result.best_move
    unseeded = search_batch([root] * 4, NumpyNet(1), simulations=60, **noisy)
    assert len({tuple(r.visits) for r in unseeded}) == 4
    with pytest.raises(ValueError, match="one seed a position"):
        search_batch([root] * 4, NumpyNet(1), simulations=60, seeds=[1, 2])


@pytest.mark.parametrize("per_tree", [1, 4])
def test_a_round_gathers_the_leaves_asked_for(per_tree: int) -> None:
    net = NumpyNet(2)
    results = search_batch(positions(5), net, simulations=40, seed=1, leaves_per_tree=per_tree)
    assert net.calls[0] == 5  # the roots first
    assert max(net.calls) == 5 * per_tree and len(net.calls) <= 1 + 40 // per_tree + 1
    assert all(r.simulations == 40 == r.visits.sum() for r in results)


def test_priors_steer_visits() -> None:
    def favour(cell: int) -> Any:
        def evaluate(planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
            logits = np.zeros((len(planes), 81), np.float16)  # any float dtype
            logits[:, cell] = 4.0
            return logits, np.zeros(len(planes), np.float64)

        return evaluate

    for cell in (4, 40, 80):
        result = search_batch([Position()], favour(cell), simulations=200, seed=0)[0]
        assert result.best_move == cell and int(np.argmax(result.visits)) == cell


@pytest.mark.parametrize("layout", ["wide_slice", "big_endian", "float64", "column_values", "reversed_rows"])
def test_answer_layouts_read_alike(layout: str) -> None:
    """The answer is read by value whatever its memory layout: a strided slice of a wider
    output, another byte order or dtype, values as a column, rows through a negative stride."""
    net = NumpyNet(8)

    def shaped(planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        logits, values = (np.asarray(a, np.float32) for a in net(planes, legal))
        if layout == "wide_slice":
            return np.concatenate([logits, values[:, None]], axis=1)[:, :81], values
        if layout == "big_endian":
            return logits.astype(">f4"), values.astype(">f4")
        if layout == "float64":
            return logits.astype(np.float64), values.astype(np.float64)
        if layout == "column_values":
            return logits, values[:, None]
        return logits[::-1].copy()[::-1], values[::-1].copy()[::-1]

    def plain(planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        logits, values = net(planes, legal)
        return np.ascontiguousarray(logits, np.float32), np.ascontiguousarray(values, np.float32)

    roots = positions(4)
    want = search_batch(roots, plain, simulations=60, seed=2)
    got = search_batch(roots, shaped, simulations=60, seed=2)
    assert [r.visits.tolist() for r in got] == [r.visits.tolist() for r in want]


@pytest.mark.parametrize("network", ["zero", "misleading"])
def test_proven_wins_under_any_network(network: str) -> None:
    roots, wins = [], []
    for seed in range(400):
        position = random_position(seed, 30)
        if position.is_over:
            continue
        winning = [c for c in position.legal_moves if position.play(c).winner == position.to_move]
        if len(winning) == 1 and len(position.legal_moves) >= 4:
            roots.append(position)
            wins.append(winning[0])
        if len(roots) == 4:
            break

    def evaluate(planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        if network == "zero":
            return np.zeros((len(planes), 81), np.float32), np.zeros(len(planes), np.float32)
        # Sharp priors on arbitrary cells, and every position looks lost for its mover.
        sharp = 10.0 * np.random.default_rng(len(planes)).standard_normal((len(planes), 81))
        return sharp, -np.ones(len(planes), np.float32)

    for result, cell in zip(search_batch(roots, evaluate, simulations=300, seed=2), wins):
        assert result.best_move == cell and result.proven == "win"


def _bad(kind: str) -> Any:
    def evaluate(planes: np.ndarray, legal: np.ndarray) -> Any:
        n = len(planes)
        logits, values = np.zeros((n, 81), np.float32), np.zeros(n, np.float32)
        if kind == "raises":
            raise ZeroDivisionError("from the evaluator")
        if kind == "shape":
            return logits[:, :80], values
        if kind == "rows":
            return logits, values[:-1]
        if kind == "nan":
            values[0] = np.nan
        if kind == "inf_logit":
            logits[0, np.nonzero(legal[0])[0][0]] = np.inf
        if kind == "int":
            return logits.astype(np.int32), values
        if kind == "not_tuple":
            return [logits, values]
        return logits, values

    return evaluate


@pytest.mark.parametrize(
    "kind, error",
    [
        ("raises", ZeroDivisionError),
        ("shape", ValueError),
        ("rows", ValueError),
        ("nan", ValueError),
        ("inf_logit", ValueError),
        ("int", TypeError),
        ("not_tuple", TypeError),
    ],
)
@pytest.mark.parametrize("per_tree", [1, 4])
def test_bad_answers_change_nothing(kind: str, error: type[Exception], per_tree: int) -> None:
    roots = positions(3)
    net = NumpyNet(4)
    expected = search_batch(roots, net, simulations=60, seed=5, leaves_per_tree=per_tree)
    batch = SearchBatch(roots, simulations=60, seed=5, leaves_per_tree=per_tree)
    calls = 0

    def sometimes_bad(planes: np.ndarray, legal: np.ndarray) -> Any:
        nonlocal calls
        calls += 1
        return (_bad(kind) if calls == 5 else net)(planes, legal)

    with pytest.raises(error):
        batch.run(sometimes_bad)
    assert batch.check_trees() == ""
    # Run again, the batch goes on from the round that was refused, to the same result.
    raws = batch.run(net)
    assert [r.visits.tolist() for r in raws] == [r.visits.tolist() for r in expected]


def test_an_evaluator_reentering_its_batch_is_refused() -> None:
    batch = SearchBatch([Position()], simulations=10, seed=1)
    errors: list[BaseException] = []

    def evaluate(planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        try:
            batch.run(evaluate)
        except RuntimeError as error:
            errors.append(error)
        return np.zeros((len(planes), 81)), np.zeros(len(planes))

    batch.run(evaluate)
    assert errors and all("borrow" in str(e).lower() for e in errors)


@pytest.mark.threads
def test_tree_work_on_threads_gives_the_same_results() -> None:
    roots = positions(8)
    one = search_batch(roots, NumpyNet(6), simulations=120, seed=9, threads=1)
    two = search_batch(roots, NumpyNet(6), simulations=120, seed=9, threads=2)
    assert all((a.visits == b.visits).all() for a, b in zip(one, two))


def test_ctrl_c_stops_between_rounds() -> None:
    program = textwrap.dedent(
        """
        import os, signal, threading, time
        signal.signal(signal.SIGINT, signal.default_int_handler)  # a runner may have started us with SIGINT ignored
        import numpy as np
        from nonagame_lab import Position, search_batch
        def slow(planes, legal):
            time.sleep(0.01)
            return np.zeros((len(planes), 81)), np.zeros(len(planes))
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            search_batch([Position()], slow, simulations=100000)
        except KeyboardInterrupt:
            print("interrupted", round(time.monotonic() - start, 2))
        """
    )
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60, env=os.environ)
    assert out.stdout.startswith("interrupted"), out.stderr
    assert float(out.stdout.split()[1]) < 2.0


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"simulations": 0}, ValueError),
        ({"simulations": True}, TypeError),
        ({"simulations": 10, "c_puct": -1.0}, ValueError),
        ({"simulations": 10, "dirichlet_fraction": 1.5}, ValueError),
        ({"simulations": 10, "temperature": float("nan")}, ValueError),
    ],
)
def test_bad_settings(kwargs: dict[str, Any], error: type[Exception]) -> None:
    with pytest.raises(error):
        search_batch([Position()], NumpyNet(0), **kwargs)


class ArraysNet:
    """Weights by name, as nonagame_lab.Network.arrays() gives them, and a float64 forward."""

    def __init__(self, seed: int, zero: bool = False) -> None:
        rng = np.random.default_rng(seed)
        shapes = {"hidden.0": (64, 243), "policy": (81, 64), "value": (1, 64)}
        self.a: dict[str, np.ndarray] = {}
        for name, (out, inputs) in shapes.items():
            scale = 0.0 if zero else 1.0 / np.sqrt(inputs)
            self.a[f"{name}.weight"] = (rng.standard_normal((out, inputs)) * scale).astype(np.float32)
            self.a[f"{name}.bias"] = np.zeros(out, np.float32)

    def arrays(self) -> dict[str, np.ndarray]:
        return dict(self.a)

    def evaluate_planes(self, planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        x = planes.reshape(len(planes), 243).astype(np.float64)
        x = np.maximum(x @ self.a["hidden.0.weight"].T.astype(np.float64), 0)
        value = np.tanh(x @ self.a["value.weight"].T.astype(np.float64))[:, 0]
        return x @ self.a["policy.weight"].T.astype(np.float64), value


def _network(seed: int, zero: bool = False) -> Any:
    from nonagame_lab import Network

    return Network.from_arrays({**ArraysNet(seed, zero).arrays(), "format": np.array("nonagame-mlp-1")})


def test_batch_matches_search_with_the_network() -> None:
    from nonagame_lab import search

    net = _network(3)
    for root in positions(3):
        alone = search(root, simulations=300, seed=4, network=net)
        batched = search_batch([root], net.evaluate_planes, simulations=300, seed=4)[0]
        assert (alone.visits == batched.visits).all() and alone.best_move == batched.best_move
        assert alone.priors is not None and np.allclose(alone.priors, batched.priors, atol=1e-6)


@pytest.mark.threads
def test_network_search_on_threads_and_with_reuse() -> None:
    from nonagame_lab import MCTSPlayer, Searcher

    import nonagame

    net = _network(5)
    searcher = Searcher(network=net, threads=2, seed=1, dirichlet_fraction=0.25)
    searcher.set_position(Position())
    searcher.run(simulations=400)
    assert searcher.check_tree() == ""
    player = MCTSPlayer(1, simulations=200, seed=2, network=net)
    game = nonagame.Game(0)
    player.make_move(game)
    assert player.last_result is not None and player.last_result.priors is not None


def test_network_search_proves_wins_with_zero_weights() -> None:
    from nonagame_lab import search

    net = _network(0, zero=True)
    for seed in range(300):
        position = random_position(seed, 30)
        if position.is_over:
            continue
        winning = [c for c in position.legal_moves if position.play(c).winner == position.to_move]
        if len(winning) == 1 and len(position.legal_moves) >= 4:
            result = search(position, simulations=300, seed=1, network=net)
            assert result.best_move == winning[0] and result.proven == "win"
            return
    raise AssertionError("no position with one winning move found")
