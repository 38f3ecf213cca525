"""Checks of the actions handed to the environments, before anything changes.

An action is a cell 0..80 (an int, a NumPy integer or a 0-d integer array). A batch is an
array-like of integers of shape (num_envs,). Anything else raises TypeError (wrong type) or
ValueError (wrong shape or a cell off the board), naming what was expected.
"""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np
import numpy.typing as npt


def check_cell(action: object, what: str = "action") -> int:
    """The cell an action names, or TypeError / ValueError."""
    if isinstance(action, np.ndarray):
        if action.shape != ():
            raise ValueError(f"{what}: expected a single cell 0..80 (a scalar), got an array of shape {action.shape}")
        if action.dtype.kind not in "iu":
            raise TypeError(f"{what}: expected an integer cell 0..80, got an array of dtype {action.dtype}")
        cell = int(action.item())
    elif isinstance(action, (bool, np.bool_)) or not isinstance(action, numbers.Integral):
        raise TypeError(f"{what}: expected an integer cell 0..80, got {type(action).__name__} {action!r}")
    else:
        cell = int(action)
    if not 0 <= cell <= 80:
        raise ValueError(f"{what}: expected a cell 0..80, got {cell}")
    return cell


def check_cells(
    actions: object, n: int, what: str = "actions", *, check_range: bool = True
) -> npt.NDArray[np.integer[Any]]:
    """A batch of n cells as an intp array (a new array), or TypeError / ValueError. Without
    check_range, the array as given once its type and shape are right (for a native reader
    that refuses cells off the board itself)."""
    if isinstance(actions, (str, bytes)) or actions is None:
        raise TypeError(f"{what}: expected an integer array of shape ({n},) of cells 0..80, got {type(actions).__name__}")
    array = np.asarray(actions)
    if array.dtype.kind not in "iu":
        raise TypeError(
            f"{what}: expected an integer array of shape ({n},) of cells 0..80, got dtype {array.dtype}"
        )
    if array.shape != (n,):
        raise ValueError(f"{what}: expected shape ({n},), one cell 0..80 per environment, got shape {array.shape}")
    if not check_range:
        return array
    if n and (array.min() < 0 or array.max() > 80):
        env = int(np.argmax((array < 0) | (array > 80)))
        raise ValueError(f"{what}: expected cells 0..80, got {int(array[env])} for environment {env}")
    return array.astype(np.intp, copy=True)
