"""Reinforcement-learning environments for nine-board tic-tac-toe (needs the ``rl`` extra).

- ``nonagame_lab.envs.nineboard_v0``: the two-player PettingZoo AEC environment, in the shape
  of PettingZoo's classic board games (``env()``, ``raw_env``, ``parallel_env()``).
- ``NineBoardEnv``: the single-agent Gymnasium environment against a fixed opponent,
  registered on import as ``"nonagame_lab/NineBoard-v0"``
  (``gymnasium.make("nonagame_lab/NineBoard-v0", opponent="random")``).
- ``NineBoardVectorEnv``: a Gymnasium vector environment over ``VectorGames`` (next-step,
  same-step or no autoreset), also reachable as ``gymnasium.make_vec("nonagame_lab/NineBoard-v0", num_envs=n,
  vectorization_mode="vector_entry_point")``.

- ``rllib_env()`` / ``RLlibObservations``: the PettingZoo environment with observations as
  RLlib's action-masking module reads them (``observations`` flat, ``action_mask``).

Observations are (9, 9, 3) int8 planes on the 9 x 9 grid (see ``position_planes``); actions
and action masks are in cell order 0..80.
"""

from __future__ import annotations

import gymnasium

from nonagame_lab.envs._opponents import AgentPlays, OpponentSpec
from nonagame_lab.envs._planes import CELL_TO_GRID, GRID_TO_CELL, batch_planes, legal_mask, position_planes, render_text
from nonagame_lab.envs._single import NineBoardEnv
from nonagame_lab.envs._frames import render_frame
from nonagame_lab.envs._vector import NineBoardVectorEnv, masked_logits
from nonagame_lab.envs._rllib import RLlibObservations, rllib_env

ENV_ID = "nonagame_lab/NineBoard-v0"

if ENV_ID not in gymnasium.registry:
    gymnasium.register(
        id=ENV_ID,
        entry_point="nonagame_lab.envs._single:NineBoardEnv",
        vector_entry_point="nonagame_lab.envs._vector:NineBoardVectorEnv",
        # A game lasts at most 81 plies, so the agent moves at most 41 times.
        max_episode_steps=None,
    )

__all__ = [
    "AgentPlays",
    "CELL_TO_GRID",
    "ENV_ID",
    "GRID_TO_CELL",
    "NineBoardEnv",
    "NineBoardVectorEnv",
    "OpponentSpec",
    "RLlibObservations",
    "batch_planes",
    "legal_mask",
    "masked_logits",
    "position_planes",
    "render_frame",
    "render_text",
    "rllib_env",
]
