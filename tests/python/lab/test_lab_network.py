"""nonagame_lab.Network against an independent float64 NumPy forward pass, its file format and
its refusals, and evaluation from two threads at once."""
from __future__ import annotations

import pickle
import threading
import zipfile

import numpy as np
import pytest

from lab_support import random_line
from nonagame_lab import Network, Position
from nonagame_lab.envs import position_planes


def random_arrays(seed: int, widths: tuple[int, ...] = (64, 32)) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    arrays: dict[str, np.ndarray] = {"format": np.array("nonagame-mlp-1")}

    def layer(name: str, n_in: int, n_out: int) -> None:
        arrays[f"{name}.weight"] = (rng.standard_normal((n_out, n_in)) / np.sqrt(n_in)).astype(np.float32)
        arrays[f"{name}.bias"] = (0.1 * rng.standard_normal(n_out)).astype(np.float32)

    n_in = 243
    for i, width in enumerate(widths):
        layer(f"hidden.{i}", n_in, width)
        n_in = width
    layer("policy", n_in, 81)
    layer("value", n_in, 1)
    return arrays


def reference(arrays: dict[str, np.ndarray], positions: list[Position]) -> tuple[np.ndarray, np.ndarray]:
    """Policy and value in float64, straight from the format's definition."""
    x = np.stack([position_planes(p, p.to_move).reshape(243) for p in positions]).astype(np.float64)
    i = 0
    while f"hidden.{i}.weight" in arrays:
        x = np.maximum(x @ arrays[f"hidden.{i}.weight"].T.astype(np.float64) + arrays[f"hidden.{i}.bias"], 0.0)
        i += 1
    logits = x @ arrays["policy.weight"].T.astype(np.float64) + arrays["policy.bias"]
    value = np.tanh(x @ arrays["value.weight"].T.astype(np.float64) + arrays["value.bias"])[:, 0]
    legal = np.zeros((len(positions), 81), dtype=bool)
    for row, p in enumerate(positions):
        legal[row, p.legal_moves] = True
    masked = np.where(legal, logits, -np.inf)
    top = np.where(legal.any(axis=1), masked.max(axis=1), 0.0)
    e = np.where(legal, np.exp(masked - top[:, None]), 0.0)
    total = e.sum(axis=1, keepdims=True)
    return np.divide(e, total, out=np.zeros_like(e), where=total > 0), value


def played_positions(count: int, seed: int = 0) -> list[Position]:
    """Positions from random games, early, late and finished."""
    rng = np.random.default_rng(seed)
    return [random_line(int(rng.integers(2**31)), int(rng.integers(0, 82)))[1] for _ in range(count)]


@pytest.mark.parametrize("widths", [(256, 256), (40,), (), (17, 100, 33)])
def test_evaluate_matches_a_float64_forward(widths):
    arrays = random_arrays(len(widths), widths)
    network = Network.from_arrays(arrays)
    positions = played_positions(300, seed=len(widths))
    assert any(p.is_over for p in positions)
    policy, value = network.evaluate(positions)
    want_policy, want_value = reference(arrays, positions)
    assert policy.dtype == value.dtype == np.float32
    assert policy.shape == (300, 81) and value.shape == (300,)
    np.testing.assert_allclose(policy, want_policy, rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(value, want_value, rtol=1e-4, atol=1e-6)
    # One position alone: (81,) and a float, the same numbers.
    alone_policy, alone_value = network.evaluate(positions[7])
    assert alone_policy.shape == (81,) and isinstance(alone_value, float)
    np.testing.assert_array_equal(alone_policy, policy[7])
    assert alone_value == value[7]


def test_native_planes_agree_with_position_planes():
    """evaluate() builds its input planes natively; evaluate_planes() is given
    envs.position_planes. With random weights any difference in a plane shows in the heads."""
    arrays = random_arrays(5, (48,))
    network = Network.from_arrays(arrays)
    positions = played_positions(400, seed=5)
    planes = np.stack([position_planes(p, p.to_move) for p in positions])
    legal = np.zeros((len(positions), 81), dtype=bool)
    for row, p in enumerate(positions):
        legal[row, p.legal_moves] = True
    logits, values = network.evaluate_planes(planes, legal)
    policy, value = network.evaluate(positions)
    np.testing.assert_array_equal(value, values)
    masked = np.where(legal, logits.astype(np.float64), -np.inf)
    e = np.exp(masked - masked.max(axis=1, keepdims=True, initial=-1e300, where=legal))
    e = np.where(legal, e, 0.0)
    want = np.divide(e, e.sum(axis=1, keepdims=True), out=np.zeros_like(e), where=legal.any(axis=1, keepdims=True))
    np.testing.assert_allclose(policy, want, rtol=1e-5, atol=1e-7)


def test_files_and_arrays_round_trip(tmp_path):
    arrays = random_arrays(3)
    network = Network.from_arrays(arrays)
    network.save(tmp_path / "net.npz")
    loaded = Network.load(tmp_path / "net.npz")
    again = pickle.loads(pickle.dumps(loaded))
    for copy in (loaded, again):
        out = copy.arrays()
        assert out.keys() == arrays.keys() and str(out["format"]) == "nonagame-mlp-1"
        for key, value in arrays.items():
            np.testing.assert_array_equal(out[key], value)
    assert loaded.hidden_sizes == (64, 32)
    assert loaded.parameters == sum(v.size for k, v in arrays.items() if k != "format")
    positions = played_positions(20)
    np.testing.assert_array_equal(network.evaluate(positions)[0], again.evaluate(positions)[0])


def spoiled(change):
    arrays = random_arrays(1)
    change(arrays)
    return arrays


BAD_ARRAYS = [
    (lambda a: a.pop("hidden.1.bias"), "missing key 'hidden.1.bias': expected a float32 array of shape (32,)"),
    (lambda a: a.pop("format"), "missing key 'format'"),
    (lambda a: a.update(extra=np.zeros(3, np.float32)), "unexpected key 'extra'"),
    (lambda a: a.update({"hidden.01.weight": a["hidden.0.weight"]}), "unexpected key 'hidden.01.weight'"),
    (lambda a: a.update(format=np.array("nonagame-mlp-2")), "format: expected 'nonagame-mlp-1'"),
    (lambda a: a.update({"hidden.0.weight": a["hidden.0.weight"].T.copy()}),
     "hidden.0.weight: expected shape (out, 243) (the 243 input planes), got (243, 64)"),
    (lambda a: a.update({"hidden.1.weight": np.zeros((32, 63), np.float32)}),
     "hidden.1.weight: expected shape (out, 64) (hidden.0 has 64 outputs), got (32, 63)"),
    (lambda a: a.update({"policy.weight": np.zeros((80, 32), np.float32)}), "policy.weight: expected shape (81, 32)"),
    (lambda a: a.update({"value.bias": np.zeros((1, 1), np.float32)}), "value.bias: expected shape (1,), got (1, 1)"),
    (lambda a: a.update({"hidden.0.bias": a["hidden.0.bias"].astype(np.float64)}),
     "hidden.0.bias: expected a float32 array of shape (64,), got float64"),
    (lambda a: a.update({"policy.bias": list(range(81))}), "policy.bias: expected a float32 array of shape (81,), got list"),
    (lambda a: a["value.weight"].__setitem__((0, 3), np.inf), "value.weight: expected finite values, found inf at (0, 3)"),
    (lambda a: a["hidden.1.bias"].__setitem__(5, np.nan), "hidden.1.bias: expected finite values, found nan at (5,)"),
    (lambda a: a.update({"hidden.2.weight": np.zeros((8, 32), np.float32), "hidden.2.bias": np.zeros(8, np.float32)}),
     "policy.weight: expected shape (81, 8) (hidden.2 has 8 outputs), got (81, 32)"),
]


@pytest.mark.parametrize("change, message", BAD_ARRAYS)
def test_bad_arrays_are_refused_and_left_unchanged(change, message, tmp_path):
    arrays = spoiled(change)
    before = {k: np.array(v, copy=True) for k, v in arrays.items()}
    with pytest.raises(ValueError) as refused:
        Network.from_arrays(arrays)
    assert message in str(refused.value)
    assert arrays.keys() == before.keys()
    for key, value in before.items():
        np.testing.assert_array_equal(np.asarray(arrays[key]), value)
    # The same arrays as a file are refused the same way.
    if all(isinstance(v, np.ndarray) for v in arrays.values()):
        np.savez(tmp_path / "bad.npz", **arrays)
        with pytest.raises(ValueError) as from_file:
            Network.load(tmp_path / "bad.npz")
        assert message in str(from_file.value)


def test_bad_files_are_refused(tmp_path):
    big = tmp_path / "big.npz"
    with open(big, "wb") as f:
        f.truncate((64 << 20) + 1)
    not_zip = tmp_path / "text.npz"
    not_zip.write_text("not an archive")
    bomb = tmp_path / "bomb.npz"
    with zipfile.ZipFile(bomb, "w", compression=zipfile.ZIP_DEFLATED) as z:
        z.writestr("hidden.0.weight.npy", b"\0" * ((64 << 20) + 16))
    pickled = tmp_path / "pickled.npz"
    np.savez(pickled, **dict(random_arrays(0), format=np.array([object()], dtype=object)))
    for path, message in [(big, "at most 64 MiB"), (not_zip, "expected an .npz archive"),
                          (bomb, "at most 64 MiB of arrays once unpacked"), (pickled, "pickle")]:
        with pytest.raises(ValueError, match=message):
            Network.load(path)
    with pytest.raises(FileNotFoundError):
        Network.load(tmp_path / "missing.npz")


def test_bad_evaluation_inputs():
    network = Network.from_arrays(random_arrays(2))
    planes = np.zeros((4, 9, 9, 3), np.int8)
    legal = np.zeros((4, 81), bool)
    for bad_planes, bad_legal, error, message in [
        (planes.astype(np.float32), legal, TypeError, "expected an int8 array"),
        (planes.reshape(4, 243), legal, ValueError, r"expected shape \(B, 9, 9, 3\), got \(4, 243\)"),
        (planes, legal[:3], ValueError, r"expected shape \(4, 81\) to match the planes"),
        (planes, legal.astype(np.int8), TypeError, "expected a bool array"),
        ([0] * 243, legal, TypeError, "expected an int8 array"),
    ]:
        with pytest.raises(error, match=message):
            network.evaluate_planes(bad_planes, bad_legal)
    with pytest.raises(TypeError, match="argument 'positions'"):
        network.evaluate([Position(), 3])
    # Strided planes are read as they are.
    wide = np.zeros((4, 9, 9, 6), np.int8)
    wide[..., ::2] = np.stack([position_planes(p, p.to_move) for p in played_positions(4)])
    np.testing.assert_array_equal(network.evaluate_planes(wide[..., ::2], legal)[1],
                                  network.evaluate_planes(np.ascontiguousarray(wide[..., ::2]), legal)[1])
    empty = network.evaluate([])
    assert empty[0].shape == (0, 81) and empty[1].shape == (0,)


@pytest.mark.threads
def test_two_threads_evaluate_at_once():
    network = Network.from_arrays(random_arrays(4, (256, 256)))
    positions = played_positions(600, seed=4)
    want = network.evaluate(positions)
    results: list[tuple[np.ndarray, np.ndarray]] = []
    barrier = threading.Barrier(2)

    def work() -> None:
        barrier.wait()
        for _ in range(5):
            results.append(network.evaluate(positions))

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 10
    for policy, value in results:
        np.testing.assert_array_equal(policy, want[0])
        np.testing.assert_array_equal(value, want[1])
