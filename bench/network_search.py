#!/usr/bin/env python3
"""Searches guided by a network, side by side with the network's own evaluation rates.

    OPENBLAS_NUM_THREADS=1 python3 bench/network_search.py

- search_batch over 256 positions with a NumPy evaluator: leaves evaluated per second over
  the evaluator's own rows per second on batches of the sizes the search asked for.
- search(network=...) on one thread: simulations per second over the network's own
  forward passes per second at batch 1 (Network.evaluate_planes, when the package has it).

Reference network: 243 -> 256 -> 256 -> (81 + 1), random weights. Each ratio is taken
within one round, the rounds alternating the two sides; the median over rounds is printed.
Times are the CPU time of the process (the machines are shared), so use threads=1 only.
"""
from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import nonagame_lab
from nonagame_lab import Position, search, search_batch


def reference_arrays(seed: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    arrays: dict[str, np.ndarray] = {}
    previous = 243
    for i, width in enumerate((256, 256)):
        arrays[f"hidden.{i}.weight"] = (rng.standard_normal((width, previous)) / np.sqrt(previous)).astype(np.float32)
        arrays[f"hidden.{i}.bias"] = np.zeros(width, np.float32)
        previous = width
    arrays["policy.weight"] = (rng.standard_normal((81, previous)) / np.sqrt(previous)).astype(np.float32)
    arrays["policy.bias"] = np.zeros(81, np.float32)
    arrays["value.weight"] = (rng.standard_normal((1, previous)) / np.sqrt(previous)).astype(np.float32)
    arrays["value.bias"] = np.zeros(1, np.float32)
    return arrays


class NumpyNet:
    """The reference network's forward pass in NumPy (float32), and its weights by name."""

    def __init__(self, arrays: dict[str, np.ndarray]) -> None:
        self._arrays = arrays
        self.layers = [(arrays[f"hidden.{i}.weight"].T.copy(), arrays[f"hidden.{i}.bias"]) for i in range(2)]
        self.head = np.concatenate([arrays["policy.weight"], arrays["value.weight"]]).T.copy()
        self.head_bias = np.concatenate([arrays["policy.bias"], arrays["value.bias"]])
        self.sizes: list[int] = []

    def arrays(self) -> dict[str, np.ndarray]:
        return dict(self._arrays)

    def __call__(self, planes: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        self.sizes.append(len(planes))
        x = planes.reshape(len(planes), 243).astype(np.float32)
        for weight, bias in self.layers:
            x = np.maximum(x @ weight + bias, 0)
        out = x @ self.head + self.head_bias
        return out[:, :81], np.tanh(out[:, 81])


def positions(count: int, seed: int) -> list[Position]:
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


def batch_round(net: NumpyNet, roots: list[Position], simulations: int) -> float:
    net.sizes.clear()
    start = time.process_time()
    search_batch(roots, net, simulations=simulations, seed=1)
    seconds = time.process_time() - start
    sizes = list(net.sizes)
    rows = sum(sizes)
    # The evaluator alone, on batches of the same sizes and the same kind of input.
    rng = np.random.default_rng(0)
    planes = {n: (rng.random((n, 9, 9, 3)) < 0.2).astype(np.int8) for n in set(sizes)}
    legal = {n: np.ones((n, 81), bool) for n in set(sizes)}
    start = time.process_time()
    for n in sizes:
        net(planes[n], legal[n])
    alone = time.process_time() - start
    return (rows / seconds) / (rows / alone)


def network_round(net, arrays_net: NumpyNet, simulations: int) -> tuple[float, float, float]:
    root = positions(1, 5)[0]
    start = time.process_time()
    result = search(root, simulations=simulations, seed=1, network=net)
    rate = result.simulations / (time.process_time() - start)
    planes = np.zeros((1, 9, 9, 3), np.int8)
    legal = np.ones((1, 81), bool)
    evaluate = net.evaluate_planes if hasattr(net, "evaluate_planes") else arrays_net
    calls = 2000
    start = time.process_time()
    for _ in range(calls):
        evaluate(planes, legal)
    evals = calls / (time.process_time() - start)
    return rate, evals, rate / evals


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--simulations", type=int, default=200)
    args = parser.parse_args()
    arrays = reference_arrays(1)
    numpy_net = NumpyNet(arrays)
    native = getattr(nonagame_lab, "Network", None)
    net = native.from_arrays(arrays) if native is not None else numpy_net
    roots = positions(256, 2)
    batch = [batch_round(numpy_net, roots, args.simulations) for _ in range(args.rounds)]
    print(f"search_batch, 256 positions, NumPy evaluator: leaves/s over the evaluator's rows/s = "
          f"{statistics.median(batch):.2f}x (rounds {', '.join(f'{r:.2f}' for r in batch)}; target >= 0.7x)")
    rows = [network_round(net, numpy_net, 20000) for _ in range(args.rounds)]
    which = "Network.evaluate_planes" if native is not None else "the NumPy forward (no Network type)"
    print(f"search(network=...) one thread: {statistics.median(r[0] for r in rows):.0f} simulations/s, "
          f"{which} at batch 1: {statistics.median(r[1] for r in rows):.0f}/s, "
          f"ratio {statistics.median(r[2] for r in rows):.2f}x (target >= 0.5x against the native network)")


if __name__ == "__main__":
    main()
