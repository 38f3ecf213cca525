"""A Gymnasium vector environment over ``VectorGames``: many games against one opponent,
stepped with a few NumPy and native calls per batch."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from nonagame_lab import Position, VectorGames
from nonagame_lab.envs._actions import check_cells
from nonagame_lab.envs._opponents import (
    AgentPlays,
    Opponent,
    OpponentSpec,
    RandomOpponent,
    check_agent_plays,
    make_opponent,
)
from nonagame_lab.envs._planes import CELL_TO_GRID, GRID_TO_CELL, OBSERVATION_SHAPE, batch_planes, position_planes

# The position after each possible first move, loaded into games whose agent plays second.
_OPENINGS = tuple(Position().play(cell) for cell in range(81))
# The planes of the empty board for the player to move: no marks, every cell legal.
_OPENING_PLANES = position_planes(Position())


class NineBoardVectorEnv(VectorEnv[npt.NDArray[np.int8], npt.NDArray[np.intp], npt.NDArray[Any]]):
    """``num_envs`` games of nine-board tic-tac-toe, the agent against one opponent in each.

    Observations (num_envs, 9, 9, 3) int8, actions (num_envs,) cells, rewards, illegal
    actions and ``info["action_mask"]`` ((num_envs, 81) int8, after ``reset`` and after every
    ``step``) are those of ``NineBoardEnv`` row by row. Episodes that end are reset on the next
    step (Gymnasium's next-step autoreset): that step ignores their action and returns their
    first observation with reward 0.

    Against ``opponent="random"`` the agent's moves and the replies are native batch calls
    (``VectorGames.step`` and ``VectorGames.step_random``); other opponents are asked one
    game at a time. ``threads`` is passed to ``VectorGames``; ``seed`` seeds the native games
    (``reset(seed=...)`` reseeds them).
    """

    metadata: dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": []}

    def __init__(
        self,
        num_envs: int,
        opponent: OpponentSpec = "random",
        *,
        agent_plays: AgentPlays = "first",
        simulations: int = 100,
        search_threads: int = 1,
        threads: int = 1,
        seed: int | None = None,
    ) -> None:
        if isinstance(num_envs, bool) or not isinstance(num_envs, int) or num_envs < 1:
            raise ValueError(f"num_envs: expected a positive int, got {num_envs!r}")
        self.num_envs = num_envs
        self.opponent: Opponent = make_opponent(opponent, simulations=simulations, threads=search_threads)
        self.agent_plays: AgentPlays = check_agent_plays(agent_plays)
        self._native_replies = isinstance(self.opponent, RandomOpponent)
        self.single_observation_space = spaces.Box(low=0, high=1, shape=OBSERVATION_SHAPE, dtype=np.int8)
        self.single_action_space = spaces.Discrete(81)
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._games = VectorGames(num_envs, seed=seed, threads=threads)
        self._rows = np.arange(num_envs)
        self._agent = np.ones(num_envs, dtype=np.int8)
        self._episodes = np.zeros(num_envs, dtype=np.int64)
        self._autoreset = np.zeros(num_envs, dtype=np.bool_)
        self._has_reset = False
        # The planes of the last observation, kept up to date move by move: the agent's and
        # the opponent's new marks are set, the legal channel is recomputed.
        self._planes = np.zeros((num_envs, *OBSERVATION_SHAPE), dtype=np.int8)

    @property
    def agent_player(self) -> npt.NDArray[np.int8]:
        """The side the agent plays in each game this episode, 1 or 2 (a copy)."""
        return self._agent.copy()

    def position(self, i: int) -> Position:
        """The current position of game i."""
        return self._games.position(i)

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[npt.NDArray[np.int8], dict[str, Any]]:
        super().reset(seed=seed)
        self._games.reset(seed=seed)
        if seed is not None or not self._has_reset:
            # Under "alternate", even-numbered games start with the agent moving first.
            self._episodes[:] = self._rows % 2 if self.agent_plays == "alternate" else 0
        self._has_reset = True
        self._assign_sides(self._rows)
        self._play_openings(self._rows)
        self._autoreset[:] = False
        return self._observe(), self._info(self._games.legal.view(np.int8).copy())

    def step(
        self, actions: npt.ArrayLike
    ) -> tuple[
        npt.NDArray[np.int8], npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_], dict[str, Any]
    ]:
        cells = check_cells(actions, self.num_envs)
        if not self._has_reset:
            raise RuntimeError("the environment has not been reset yet; call reset() first")
        games = self._games
        restart = self._autoreset
        legal = games.legal
        # Every running game whose episode goes on has the agent to move.
        played = legal[self._rows, cells] & ~restart
        illegal = ~played & ~restart
        over_before = games.done.copy()
        saved = None
        if illegal.any():
            # The episode ends with the position as it was: keep its planes for the result.
            rows = np.flatnonzero(illegal)
            saved = rows, self._planes[rows]
        # VectorGames moves every running game at once; a game whose episode is ending (or
        # that restarts now) gets some legal cell, and is reset below.
        self._fill(cells, ~played & ~over_before)
        cells[over_before] = -1
        games.step(cells)
        marks = self._planes.reshape(self.num_envs, 81, 3)
        rows = np.flatnonzero(played)
        marks[rows, CELL_TO_GRID[cells[rows]], 0] = 1
        before_reply = games.boards.copy()
        replied = np.flatnonzero(~games.done)
        if self._native_replies:
            games.step_random()
        else:
            self._reply(played)
        # The opponent's marks: the cell that changed in each game that was still running.
        changed = np.argmax(games.boards != before_reply, axis=1)[replied]
        marks[replied, CELL_TO_GRID[changed], 1] = 1
        ended = played & games.done
        winner = games.winner
        rewards = np.zeros(self.num_envs, dtype=np.float64)
        rewards[ended & (winner == self._agent)] = 1.0
        rewards[ended & (winner == 3 - self._agent)] = -1.0
        rewards[illegal] = -1.0
        terminated = ended | illegal
        if restart.any():
            rows = np.flatnonzero(restart)
            games.reset(rows.tolist())
            self._assign_sides(rows)
            self._play_openings(rows)
            self._restart_planes(rows)
        marks[:, :, 2] = np.take(games.legal.view(np.int8), GRID_TO_CELL, axis=1)
        observations = self._planes.copy()
        mask = games.legal.view(np.int8).copy()
        if saved is not None:
            rows, planes = saved
            planes[..., 2] = 0
            observations[rows] = planes
            mask[rows] = 0
        self._autoreset = terminated.copy()
        truncated = np.zeros(self.num_envs, dtype=np.bool_)
        return observations, rewards, terminated, truncated, self._info(mask)

    def _observe(self) -> npt.NDArray[np.int8]:
        self._planes = batch_planes(self._games.boards, self._agent, self._games.legal)
        return self._planes.copy()

    def _restart_planes(self, rows: npt.NDArray[np.intp]) -> None:
        """Planes of games just reset: the empty board where the agent moves first."""
        first = self._agent[rows] == 1
        self._planes[rows[first]] = _OPENING_PLANES
        second = rows[~first]
        if len(second):
            games = self._games
            self._planes[second] = batch_planes(games.boards[second], self._agent[second], games.legal[second])

    def _info(self, mask: npt.NDArray[np.int8]) -> dict[str, Any]:
        return {"action_mask": mask, "_action_mask": np.ones(self.num_envs, dtype=np.bool_)}

    def _fill(self, cells: npt.NDArray[np.intp], rows_mask: npt.NDArray[np.bool_]) -> None:
        """Puts the first legal cell of each selected running game into ``cells``."""
        if rows_mask.any():
            rows = np.flatnonzero(rows_mask)
            cells[rows] = np.argmax(self._games.legal[rows], axis=1)

    def _reply(self, played: npt.NDArray[np.bool_]) -> None:
        """The opponent's replies, one game at a time, where the agent has just moved."""
        games = self._games
        running = ~games.done
        cells = np.full(self.num_envs, -1, dtype=np.intp)
        self._fill(cells, running & ~played)
        for i in np.flatnonzero(running & played).tolist():
            cells[i] = self.opponent.reply(games.position(i), self.np_random)
        if running.any():
            games.step(cells)

    def _assign_sides(self, rows: npt.NDArray[np.intp]) -> None:
        if self.agent_plays == "first":
            self._agent[rows] = 1
        elif self.agent_plays == "second":
            self._agent[rows] = 2
        else:
            self._agent[rows] = 1 + self._episodes[rows] % 2
            self._episodes[rows] += 1

    def _play_openings(self, rows: npt.NDArray[np.intp]) -> None:
        """The opponent's first move in the (fresh) games of ``rows`` where it moves first."""
        second = rows[self._agent[rows] == 2]
        if len(second) == 0:
            return
        if self._native_replies and len(second) == self.num_envs:
            self._games.step_random()
            return
        if self._native_replies:
            openings = self.np_random.integers(81, size=len(second))
            for i, cell in zip(second.tolist(), openings.tolist()):
                self._games.load(i, _OPENINGS[cell])
            return
        for i in second.tolist():
            self._games.load(i, _OPENINGS[self.opponent.reply(Position(), self.np_random)])
