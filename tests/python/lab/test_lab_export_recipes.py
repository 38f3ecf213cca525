"""The README's export recipes (PyTorch, flax), run as written, each when its framework is
installed: the file they write loads as a Network that computes the framework's own heads."""
import pathlib
import re

import numpy as np
import pytest

from lab_support import random_line
from nonagame_lab import Network
from nonagame_lab.envs import legal_mask, position_planes

README = pathlib.Path(__file__).resolve().parents[3] / "README.md"


def recipe(lead):
    """The first Python block after the README line that begins with lead."""
    text = README.read_text(encoding="utf-8")
    return re.search(r"```python\n(.*?)```", text[text.index("\n" + lead):], re.S).group(1)


def check_export(path, forward):
    """forward: flat float32 planes (B, 243) -> (logits (B, 81), values (B,)) of the framework."""
    positions = [random_line(seed, seed % 70)[1] for seed in range(300)]
    planes = np.stack([position_planes(p) for p in positions])
    legal = np.stack([legal_mask(p) for p in positions]).astype(bool)
    logits, values = Network.load(path).evaluate_planes(planes, legal)
    want_logits, want_values = forward(planes.reshape(len(planes), 243).astype(np.float32))
    np.testing.assert_allclose(logits, want_logits, rtol=1e-4, atol=1e-5)
    np.testing.assert_allclose(values, want_values, rtol=1e-4, atol=1e-5)


def test_pytorch_recipe(tmp_path, monkeypatch):
    torch = pytest.importorskip("torch")
    nn = torch.nn

    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.hidden = nn.Sequential(nn.Linear(243, 48), nn.Linear(48, 24))
            self.policy = nn.Linear(24, 81)
            self.value = nn.Linear(24, 1)

        def forward(self, x):
            for layer in self.hidden:
                x = torch.relu(layer(x))
            return self.policy(x), torch.tanh(self.value(x))[:, 0]

    torch.manual_seed(0)
    net = Net()
    monkeypatch.chdir(tmp_path)
    exec(recipe("PyTorch (`net` a module"), {"net": net})

    def forward(x):
        with torch.no_grad():
            logits, values = net(torch.from_numpy(x))
        return logits.numpy(), values.numpy()

    check_export(tmp_path / "net.npz", forward)


def test_flax_recipe(tmp_path, monkeypatch):
    jax = pytest.importorskip("jax")
    flax_nn = pytest.importorskip("flax.linen")

    class MLP(flax_nn.Module):
        @flax_nn.compact
        def __call__(self, x):
            for i, width in enumerate((48, 24)):
                x = flax_nn.relu(flax_nn.Dense(width, name=f"hidden_{i}")(x))
            return flax_nn.Dense(81, name="policy")(x), jax.numpy.tanh(flax_nn.Dense(1, name="value")(x))[:, 0]

    model = MLP()
    params = model.init(jax.random.key(0), np.zeros((1, 243), np.float32))
    monkeypatch.chdir(tmp_path)
    exec(recipe("flax (`params` of `nn.Dense`"), {"params": params})

    def forward(x):
        logits, values = model.apply(params, x)
        return np.asarray(logits), np.asarray(values)

    check_export(tmp_path / "net.npz", forward)
