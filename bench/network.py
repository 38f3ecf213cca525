"""The measurements of nonagame_lab.Network: evaluate() against a NumPy forward pass of the same
weights, at batch 1 and at batch 256.

The reference network is 243 -> 256 -> 256 -> (81 + 1) with random weights. The NumPy pass
does what evaluate() returns: ReLU layers, the policy softmax over the legal cells and the
tanh value, on float32 planes made beforehand (so it does not pay for building its input,
which evaluate() does from the positions). bench/run.py sets OPENBLAS_NUM_THREADS=1 before
NumPy loads, so that both sides use one thread. Every batch returns ``(nanoseconds, rows)``.
"""
from __future__ import annotations

import random

import numpy as np

import cases
from nonagame_lab import Network, Position
from nonagame_lab.envs import position_planes

WIDTHS = (256, 256)


def reference_arrays(seed: int = 0) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    arrays: dict[str, np.ndarray] = {"format": np.array("nonagame-mlp-1")}
    n_in = 243
    names = [f"hidden.{i}" for i in range(len(WIDTHS))] + ["policy", "value"]
    for name, n_out in zip(names, (*WIDTHS, 81, 1)):
        arrays[f"{name}.weight"] = (rng.standard_normal((n_out, n_in)) / np.sqrt(n_in)).astype(np.float32)
        arrays[f"{name}.bias"] = (0.1 * rng.standard_normal(n_out)).astype(np.float32)
        n_in = n_out if name.startswith("hidden") else n_in
    return arrays


class NumpyForward:
    """The forward pass in NumPy float32, weights transposed once beforehand."""

    def __init__(self, arrays: dict[str, np.ndarray]) -> None:
        self.hidden = [(arrays[f"hidden.{i}.weight"].T.copy(), arrays[f"hidden.{i}.bias"]) for i in range(len(WIDTHS))]
        self.policy = (arrays["policy.weight"].T.copy(), arrays["policy.bias"])
        self.value = (arrays["value.weight"].T.copy(), arrays["value.bias"])

    def __call__(self, x: np.ndarray, legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        for weight, bias in self.hidden:
            x = np.maximum(x @ weight + bias, 0)
        logits = x @ self.policy[0] + self.policy[1]
        value = np.tanh(x @ self.value[0] + self.value[1])[:, 0]
        masked = np.where(legal, logits, -np.inf)
        e = np.exp(masked - masked.max(axis=1, keepdims=True))
        return e / e.sum(axis=1, keepdims=True), value


def positions(count: int, rng: random.Random) -> list[Position]:
    """Positions of random play, none finished (so that every row has a legal cell)."""
    out = []
    while len(out) < count:
        position = Position()
        for _ in range(rng.randrange(0, 50)):
            if position.is_over:
                break
            position = position.play(rng.choice(position.legal_moves))
        if not position.is_over:
            out.append(position)
    return out


def numpy_inputs(batch: list[Position]) -> tuple[np.ndarray, np.ndarray]:
    planes = np.stack([position_planes(p, p.to_move).reshape(243) for p in batch]).astype(np.float32)
    legal = np.zeros((len(batch), 81), dtype=bool)
    for row, p in enumerate(batch):
        legal[row, p.legal_moves] = True
    return planes, legal


def _evaluate_all(network, batches) -> None:
    for batch in batches:
        network.evaluate(batch)


def _numpy_all(forward, inputs) -> None:
    for planes, legal in inputs:
        forward(planes, legal)


def evaluate_batch(network: Network, batches: list[list[Position]]) -> tuple[int, int]:
    return cases._timed(_evaluate_all, network, batches), sum(len(b) for b in batches)


def numpy_batch(forward: NumpyForward, inputs: list[tuple[np.ndarray, np.ndarray]]) -> tuple[int, int]:
    return cases._timed(_numpy_all, forward, inputs), sum(len(p) for p, _ in inputs)


def setup(calls_b1: int, calls_b256: int, rng: random.Random):
    """The network, the NumPy pass and the inputs of both batch sizes."""
    arrays = reference_arrays(rng.getrandbits(31))
    network = Network.from_arrays(arrays)
    forward = NumpyForward(arrays)
    singles = [[p] for p in positions(calls_b1, rng)]
    wide = [positions(256, rng) for _ in range(calls_b256)]
    # The two passes agree before either is timed.
    got = network.evaluate(wide[0])
    want = forward(*numpy_inputs(wide[0]))
    np.testing.assert_allclose(got[0], want[0], rtol=1e-3, atol=1e-5)
    np.testing.assert_allclose(got[1], want[1], rtol=1e-3, atol=1e-5)
    return network, forward, (singles, [numpy_inputs(b) for b in singles]), (wide, [numpy_inputs(b) for b in wide])
