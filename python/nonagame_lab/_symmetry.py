"""Symmetry helpers on per-cell values (policies, value maps, boards)."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from nonagame_lab._core import symmetry_cell_map

# The symmetries in the order of Position.symmetries(): symmetry k maps grid square
# (row, col) of the 9 x 9 grid (n = 8) as named here.
SYMMETRY_NAMES: tuple[str, ...] = (
    "identity",  # (row, col)
    "rot90",  # (col, n - row): a quarter turn clockwise
    "rot180",  # (n - row, n - col)
    "rot270",  # (n - col, row): a quarter turn anticlockwise
    "flip_h",  # (row, n - col): left and right swap
    "flip_v",  # (n - row, col): top and bottom swap
    "transpose",  # (col, row)
    "anti_transpose",  # (n - col, n - row)
)

_MAPS = [symmetry_cell_map(k).astype(np.intp) for k in range(8)]


def transform_policy(k: int, values: npt.ArrayLike) -> npt.NDArray[np.generic]:
    """Moves per-cell values along symmetry k: ``out[m[c]] = values[c]``.

    ``values`` has 81 entries on its last axis (one position, or a batch of shape (B, 81));
    the result is a new array of the same shape and dtype. Values computed on a transformed
    position come back with ``transform_policy(inverse_symmetry(k), values)``.
    """
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)):
        raise TypeError(f"argument 'k': expected an int, got {type(k).__name__!r}")
    if not 0 <= k < 8:
        raise ValueError(f"argument 'k': a symmetry is 0..7, got {k}")
    array = np.asarray(values)
    if array.ndim == 0 or array.shape[-1] != 81:
        raise ValueError(f"argument 'values': expected shape (81,) or (..., 81), got shape {array.shape}")
    out = np.empty_like(array)
    out[..., _MAPS[k]] = array
    return out
