"""nonagame_lab.Network: the native network runtime with its file format.

A network file is an uncompressed or compressed ``.npz`` archive of float32 arrays named as a
PyTorch ``nn.Sequential`` state dict names them, plus a ``format`` string (see the README):

- ``format`` = ``"nonagame-mlp-1"``;
- ``hidden.{i}.weight`` (out, in) and ``hidden.{i}.bias`` (out,), each followed by ReLU;
- ``policy.weight`` (81, H) and ``policy.bias`` (81,): one logit per cell, in cell order;
- ``value.weight`` (1, H) and ``value.bias`` (1,), followed by tanh.

The input is ``envs.position_planes(position, position.to_move)`` flattened in (row, column,
channel) order: 243 values.

``Network.baseline()`` is the network shipped in the package (``baseline.npz``, trained by
``examples/alphazero.py``; the README gives its command and strength). Wherever the search
takes a network, the name ``"baseline"``, ``"none"`` (no network: playouts) or the path of a
network file may stand for one.
"""

from __future__ import annotations

import os
import zipfile
from importlib import resources
from typing import Any

import numpy as np

from nonagame_lab import _core

FORMAT = "nonagame-mlp-1"
BASELINE_FILE = "baseline.npz"
MAX_FILE_BYTES = 64 << 20
"""The largest network file read, and the most its arrays may hold once unpacked."""


def _read_npz(path: str | os.PathLike[str]) -> dict[str, Any]:
    size = os.path.getsize(path)
    if size > MAX_FILE_BYTES:
        raise ValueError(f"{os.fspath(path)!r}: expected a network file of at most 64 MiB, got {size} bytes")
    try:
        with zipfile.ZipFile(path) as archive:
            unpacked = sum(info.file_size for info in archive.infolist())
            if unpacked > MAX_FILE_BYTES:
                raise ValueError(
                    f"{os.fspath(path)!r}: expected at most 64 MiB of arrays once unpacked, got {unpacked} bytes"
                )
            names = [info.filename for info in archive.infolist()]
        odd = [name for name in names if not name.endswith(".npy")]
        if odd:
            raise ValueError(f"{os.fspath(path)!r}: unexpected member {odd[0]!r}: expected only .npy arrays")
        with np.load(path, allow_pickle=False) as archive:
            return {name: archive[name] for name in archive.files}
    except zipfile.BadZipFile as error:
        raise ValueError(f"{os.fspath(path)!r}: expected an .npz archive of arrays ({error})") from None
    except ValueError as error:
        if str(error).startswith(repr(os.fspath(path))):
            raise
        # numpy refuses object arrays (which need pickle) and damaged array headers.
        raise ValueError(f"{os.fspath(path)!r}: {error}") from None


class Network(_core.Network):
    """A policy-value network evaluated natively (see the module docstring for its format).

    ``Network.load(path)`` or ``Network.from_arrays(mapping)`` makes one; it never changes
    afterwards, and any number of threads may evaluate it at once.
    """

    __slots__ = ()
    __module__ = "nonagame_lab"

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Network:
        """The network of an ``.npz`` file. A file over 64 MiB, one that is not an archive of
        arrays, and missing, extra or misshaped arrays raise ValueError; nothing is loaded."""
        return cls.from_arrays(_read_npz(path))

    @classmethod
    def baseline(cls) -> Network:
        """The network shipped with the package, loaded once and shared (it never changes)."""
        network = _baseline()
        return network if cls is Network else cls.from_arrays(network.arrays())

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the network as an uncompressed ``.npz`` (numpy adds ``.npz`` to a name without it)."""
        arrays: dict[str, Any] = self.arrays()  # any value: numpy types allow_pickle among the keywords
        np.savez(path, **arrays)

    def __reduce__(self) -> tuple[Any, tuple[dict[str, Any]]]:
        return (type(self).from_arrays, (self.arrays(),))


_loaded_baseline: list[Network] = []


def _baseline() -> Network:
    # Loaded on first use and kept (a plain holder rather than functools' cache, whose wrapper
    # the stub checker cannot match). Two threads that race here load it twice; both copies
    # are the same weights and one is kept.
    if not _loaded_baseline:
        with resources.as_file(resources.files("nonagame_lab").joinpath(BASELINE_FILE)) as path:
            _loaded_baseline.append(Network.load(path))
    return _loaded_baseline[0]


def network_from_name(name: str | os.PathLike[str], argument: str = "network") -> Network | None:
    """The network a name stands for: ``"baseline"`` the shipped one, ``"none"`` no network
    (None), anything else the path of a network file (OSError or ValueError when it cannot be
    read as one)."""
    if isinstance(name, str) and name == "baseline":
        return _baseline()
    if isinstance(name, str) and name == "none":
        return None
    if isinstance(name, str) and not name:
        raise ValueError(f"argument '{argument}': expected 'baseline', 'none' or the path of a network file, got ''")
    return Network.load(name)
