"""The PettingZoo environment with observations as RLlib's action-masking module reads them.

RLlib's masking module (``ActionMaskingTorchRLModule`` among its examples) expects each
observation to be a dict ``{"observations": ..., "action_mask": ...}``, and its default models
read only flat vectors (its catalogue has no network for a (9, 9, 3) image). This wrapper
renames PettingZoo's ``observation`` to ``observations`` and flattens the planes to 243
float32 values in (row, column, channel) order (the default networks' input type); the mask
stays (81,) int8, as ``Discrete.sample(mask=...)`` wants it. Nothing else changes: rewards, turns and illegal moves are
those of ``nineboard_v0.env()``. Ray itself is not imported here.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from pettingzoo.utils import BaseWrapper  # type: ignore[import-untyped, unused-ignore]

from nonagame_lab.envs import nineboard_v0
from nonagame_lab.envs._planes import OBSERVATION_SHAPE

FLAT_SIZE = int(np.prod(OBSERVATION_SHAPE))  # 243

RLLIB_OBSERVATION_SPACE = spaces.Dict(
    {
        "observations": spaces.Box(low=0.0, high=1.0, shape=(FLAT_SIZE,), dtype=np.float32),
        "action_mask": spaces.Box(low=0, high=1, shape=(81,), dtype=np.int8),
    }
)


class RLlibObservations(BaseWrapper):  # type: ignore[misc]
    """Wraps a ``nineboard_v0`` AEC environment so that ``observe`` and ``last`` give
    ``{"observations": (243,) float32, "action_mask": (81,) int8}``.

    Give the result to ``ray.rllib.env.wrappers.pettingzoo_env.PettingZooEnv``; see
    ``examples/rllib_selfplay.py``."""

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        return RLLIB_OBSERVATION_SPACE

    def observe(self, agent: str) -> dict[str, npt.NDArray[Any]]:
        return flatten_observation(super().observe(agent))


def flatten_observation(observation: dict[str, npt.NDArray[np.int8]]) -> dict[str, npt.NDArray[Any]]:
    """A ``nineboard_v0`` observation in the form ``RLlibObservations`` gives."""
    return {
        "observations": observation["observation"].reshape(FLAT_SIZE).astype(np.float32),
        "action_mask": observation["action_mask"].copy(),
    }


def rllib_env(**kwargs: Any) -> RLlibObservations:
    """``nineboard_v0.env(**kwargs)`` with RLlib's observation layout."""
    return RLlibObservations(nineboard_v0.env(**kwargs))
