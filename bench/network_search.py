#!/usr/bin/env python3
"""Searches guided by a network, side by side with the network's own evaluation rates.

    OPENBLAS_NUM_THREADS=1 python3 bench/network_search.py   (bench/run.py prints the same rows)

- search(network=net) on one thread: simulations/s over Network.evaluate_planes calls/s at
  batch 1 (the tree should cost at most what evaluation costs).
- the same against OpenSpiel's Python MCTSBot running the same weights in NumPy through its
  Evaluator interface, from the same positions at the same number of simulations.
- search_batch over 256 positions with a NumPy evaluator: leaves evaluated per second over
  that evaluator's own rows per second on batches of the sizes the search asked for.
- search(network=net) with two threads over one, wall clock, on long searches.

Reference network: 243 -> 256 -> 256 -> (81 + 1), random weights (network.reference_arrays).
Batches return ``(nanoseconds, units)`` like those of cases.py; native calls are timed with
the CPU time of the process (with threads > 1 it runs on more threads than the caller's), the thread rows with
the wall clock.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import cases  # noqa: E402
import lab  # noqa: E402
import network  # noqa: E402
import peer_map  # noqa: E402
from nonagame_lab import Network, Position, search, search_batch  # noqa: E402


class NumpyNet:
    """The reference network's raw heads in NumPy float32: the evaluator of search_batch."""

    def __init__(self, arrays: dict[str, np.ndarray]) -> None:
        depth = sum(1 for name in arrays if name.startswith("hidden.") and name.endswith(".weight"))
        self.layers = [(arrays[f"hidden.{i}.weight"].T.copy(), arrays[f"hidden.{i}.bias"]) for i in range(depth)]
        self.head = np.concatenate([arrays["policy.weight"], arrays["value.weight"]]).T.copy()
        self.head_bias = np.concatenate([arrays["policy.bias"], arrays["value.bias"]])
        self.sizes: list[int] = []

    def forward(self, x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        for weight, bias in self.layers:
            x = np.maximum(x @ weight + bias, 0)
        out = x @ self.head + self.head_bias
        return out[:, :81], np.tanh(out[:, 81])

    def __call__(self, planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        self.sizes.append(len(planes))
        return self.forward(planes.reshape(len(planes), 243).astype(np.float32))


def peer_evaluator(net: NumpyNet):
    """An OpenSpiel Evaluator running net on the peer's observation (its three 81-cell planes,
    243 values, the size of our input), one state at a time as MCTSBot asks. A state is
    evaluated once: the forward pass is kept by the state's history for its prior() call."""
    from open_spiel.python.algorithms import mcts

    class NumpyEvaluator(mcts.Evaluator):
        def __init__(self) -> None:
            self.cache: dict[str, tuple[np.ndarray, float]] = {}

        def _heads(self, state) -> tuple[np.ndarray, float]:
            key = state.history_str()
            found = self.cache.get(key)
            if found is None:
                x = np.asarray(state.observation_tensor()[:243], np.float32).reshape(1, 243)
                logits, value = net.forward(x)
                found = self.cache[key] = (logits[0], float(value[0]))
            return found

        def evaluate(self, state) -> np.ndarray:
            value = self._heads(state)[1]
            return np.array([value, -value] if state.current_player() == 0 else [-value, value])

        def prior(self, state) -> list[tuple[int, float]]:
            logits = self._heads(state)[0]
            actions = state.legal_actions()
            chosen = logits[actions]  # the peer's actions are 0..8: the logits of the first cells
            e = np.exp(chosen - chosen.max())
            return list(zip(actions, e / e.sum()))

    return NumpyEvaluator()


def roots(count: int, seed: int) -> list[Position]:
    """Positions of up to 20 random plies, none finished."""
    rng = np.random.default_rng(seed)
    found = []
    while len(found) < count:
        position = Position()
        for _ in range(int(rng.integers(0, 20))):
            if position.is_over:
                break
            position = position.play(int(rng.choice(position.legal_moves)))
        if not position.is_over:
            found.append(position)
    return found


def _guided(net: Network, positions, simulations: int, seed: int, threads: int, done: list[int]) -> None:
    for position in positions:
        done.append(search(position, simulations=simulations, seed=seed, threads=threads, network=net).simulations)


def guided_search_batch(net: Network, lines, simulations: int, seed: int) -> tuple[int, int]:
    """search(network=net) on one thread from each position: (process CPU ns, simulations)."""
    positions = [Position.from_moves(cells) for cells in lines]
    done: list[int] = []
    return lab._timed_with(lab.native_clock, _guided, net, positions, simulations, seed, 1, done), sum(done)


def guided_search_wall(net: Network, lines, simulations: int, seed: int, threads: int) -> tuple[int, int, int]:
    """The same in wall-clock time with threads: (wall ns, simulations, process CPU ns)."""
    positions = [Position.from_moves(cells) for cells in lines]
    done: list[int] = []
    wall, cpu = lab._timed_cpu_and_wall(_guided, net, positions, simulations, seed, threads, done)
    return wall, sum(done), cpu


def _planes_calls(net: Network, calls: int) -> None:
    planes = np.zeros((1, 9, 9, 3), np.int8)
    legal = np.ones((1, 81), bool)
    evaluate = net.evaluate_planes
    for _ in range(calls):
        evaluate(planes, legal)


def planes_b1_batch(net: Network, calls: int) -> tuple[int, int]:
    """Network.evaluate_planes at batch 1 from Python: (process CPU ns, calls)."""
    return lab._timed_with(lab.native_clock, _planes_calls, net, calls), calls


def _peer_searches(bot, states, done: list[int]) -> None:
    for state in states:
        done.append(bot.mcts_search(state).explore_count)


def peer_guided_batch(game, net: NumpyNet, lines, simulations: int, seed: int) -> tuple[int, int]:
    """OpenSpiel's Python MCTSBot with net through its Evaluator from the same positions:
    (process CPU ns, simulations as the roots' visit counts)."""
    from open_spiel.python.algorithms import mcts

    states = [peer_map.state_after(game, cells) for cells in lines]
    bot = mcts.MCTSBot(game, 2.5, simulations, peer_evaluator(net), solve=True,
                       random_state=np.random.RandomState(seed))
    done: list[int] = []
    return lab._timed_with(lab.native_clock, _peer_searches, bot, states, done), sum(done)


def search_batch_round(net: NumpyNet, positions: list[Position], simulations: int, seed: int) -> tuple[int, int, int]:
    """search_batch over positions with net, then net alone on batches of the sizes it was
    called with: (search ns, the evaluator's own ns, rows), process CPU time."""
    net.sizes.clear()
    search_ns = lab._timed_with(lab.native_clock, search_batch, positions, net, simulations=simulations, seed=seed)
    sizes = list(net.sizes)
    rng = np.random.default_rng(seed)
    planes = {n: (rng.random((n, 9, 9, 3)) < 0.2).astype(np.int8) for n in set(sizes)}
    legal = {n: np.ones((n, 81), bool) for n in set(sizes)}

    def alone() -> None:
        for n in sizes:
            net(planes[n], legal[n])

    return search_ns, lab._timed_with(lab.native_clock, alone), sum(sizes)


def setup(seed: int):
    """The native network and the NumPy one of the same reference weights."""
    arrays = network.reference_arrays(seed)
    return Network.from_arrays(arrays), NumpyNet(arrays)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    sizes = cases.Sizes()
    net, numpy_net = setup(1)
    game = cases.peer_game() if cases.pyspiel is not None else None
    lines = lab.search_positions(sizes.search_plies, np.random.default_rng(3))
    lines = [[int(c) for c in line] for line in lines]
    batch_roots = roots(256, 2)
    ratios: dict[str, list[float]] = {"b1": [], "peer": [], "batch": [], "threads": []}
    for _ in range(args.rounds):
        ns, sims = guided_search_batch(net, lines, sizes.network_search_simulations, 1)
        evals_ns, calls = planes_b1_batch(net, sizes.network_calls_b1)
        ratios["b1"].append((sims / ns) / (calls / evals_ns))
        if game is not None:
            few = lines[: sizes.peer_guided_positions]
            ours_ns, ours = guided_search_batch(net, few, sizes.peer_guided_simulations, 1)
            peer_ns, theirs = peer_guided_batch(game, numpy_net, few, sizes.peer_guided_simulations, 1)
            ratios["peer"].append((ours / ours_ns) / (theirs / peer_ns))
        search_ns, alone_ns, _ = search_batch_round(numpy_net, batch_roots, sizes.network_batch_simulations, 1)
        ratios["batch"].append(alone_ns / search_ns)
        one = guided_search_wall(net, lines[:1], sizes.network_scaling_simulations, 1, 1)
        two = guided_search_wall(net, lines[:1], sizes.network_scaling_simulations, 1, 2)
        ratios["threads"].append((two[1] / two[0]) / (one[1] / one[0]))
    for key, label in (("b1", "search(network=) over evaluate_planes batch 1 (>= 0.5x)"),
                       ("peer", "search(network=) over the Python MCTSBot with the NumPy net (>= 20x)"),
                       ("batch", "search_batch over 256 positions over its evaluator's rows/s (>= 0.7x)"),
                       ("threads", "search(network=) threads=2 over threads=1, wall (>= 1.8x)")):
        if ratios[key]:
            print(f"{label}: {statistics.median(ratios[key]):.2f}x "
                  f"(rounds {', '.join(f'{r:.2f}' for r in ratios[key])})")


if __name__ == "__main__":
    main()
