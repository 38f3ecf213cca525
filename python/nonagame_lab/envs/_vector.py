"""A Gymnasium vector environment over ``VectorGames``: many games against one opponent,
stepped with a few NumPy and native calls per batch."""

from __future__ import annotations

import operator
import signal
import threading
from types import FrameType
from typing import Any, Callable

import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from nonagame_lab import Position, VectorGames
from nonagame_lab.envs._actions import check_cells
from nonagame_lab.envs._frames import check_render_mode, render_frame
from nonagame_lab.envs._opponents import (
    AGENT_PLAYS,
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
# The keys of the single environment's info, as the vector one gives them.
INFO_KEYS = ("action_mask", "illegal_action", "agent_player", "opponent_move")
_AUTORESET_MODES = {mode.value: mode for mode in AutoresetMode}
try:
    # The signal module's own functions without its wrappers, which turn every handler and
    # number into an enum member: those cost more than the rest of a step's bookkeeping.
    import _signal as _signals  # type: ignore[import-not-found, unused-ignore]
except ImportError:  # pragma: no cover - an interpreter without the C module
    _signals = signal
_SIGINT = int(signal.SIGINT)
_MAIN_THREAD_ID = threading.main_thread().ident
_get_ident = threading.get_ident


def masked_logits(logits: npt.ArrayLike, mask: npt.ArrayLike, fill: float = -1e9) -> npt.NDArray[np.float32]:
    """``logits`` with the cells that ``mask`` does not allow set to ``fill``: a large negative
    number rather than ``-inf``, so that a softmax over a row whose mask is all zero (the
    terminal observation of next-step autoreset) stays finite (uniform) instead of NaN.

    Works on NumPy arrays of any leading shape; with JAX or PyTorch, write the same
    ``where(mask, logits, fill)`` with their own ``where``."""
    values = np.asarray(logits, dtype=np.float32)
    return np.where(np.asarray(mask) != 0, values, np.float32(fill)).astype(np.float32, copy=False)


class _HeldInterrupt:
    """Holds Ctrl-C back while a step writes its changes (a few native calls, microseconds),
    so that a step cannot stop half done; a Ctrl-C that came meanwhile is raised at the start
    of the environment's next step() or reset(), before anything changes. Signal handlers
    belong to the main thread, so other threads run without it. Each environment makes one
    and enters it once per step (not nested), so that a step makes no new objects for it; it
    keeps no reference to the environment, so that the two make no cycle."""

    def __init__(self) -> None:
        self.handler: Callable[[int, FrameType | None], Any] | None = None
        # The handler of a Ctrl-C that came while held, for the next step or reset to call.
        self.pending: Callable[[int, FrameType | None], Any] | None = None
        self.hold = self._hold  # bound once: the handler installed during each step

    def __enter__(self) -> None:
        if _get_ident() == _MAIN_THREAD_ID:
            handler = _signals.getsignal(_SIGINT)
            if callable(handler):
                self.handler = handler
                _signals.signal(_SIGINT, self.hold)

    def _hold(self, signum: int, frame: FrameType | None) -> None:
        self.pending = self.handler

    def __exit__(self, *exc: object) -> None:
        handler, self.handler = self.handler, None
        if handler is not None:
            _signals.signal(_SIGINT, handler)


def _keep_rows(info: dict[str, Any], rows: npt.NDArray[np.bool_]) -> None:
    """Zeroes an info's entries outside rows and sets their masks to rows, as Gymnasium's
    vector environments leave the entries of the games an info does not cover."""
    for key in INFO_KEYS:
        info[key][~rows] = 0
        info[f"_{key}"] = rows.copy()


def _check_num_envs(num_envs: object) -> int:
    if isinstance(num_envs, (bool, np.bool_)):
        raise ValueError(f"num_envs: expected a positive int, got {num_envs!r}")
    try:
        n = operator.index(num_envs)  # type: ignore[arg-type]
    except TypeError:
        raise ValueError(f"num_envs: expected a positive int, got {num_envs!r}") from None
    if n < 1:
        raise ValueError(f"num_envs: expected a positive int, got {num_envs!r}")
    return n


def _check_autoreset_mode(mode: object) -> AutoresetMode:
    if isinstance(mode, AutoresetMode):
        return mode
    if isinstance(mode, str) and mode in _AUTORESET_MODES:
        return _AUTORESET_MODES[mode]
    raise ValueError(
        f"autoreset_mode: expected a gymnasium.vector.AutoresetMode or one of {sorted(_AUTORESET_MODES)}, got {mode!r}"
    )


class NineBoardVectorEnv(VectorEnv[npt.NDArray[np.int8], npt.NDArray[np.intp], npt.NDArray[Any]]):
    """``num_envs`` games of nine-board tic-tac-toe, the agent against one opponent in each.

    Observations (num_envs, 9, 9, 3) int8, actions (num_envs,) cells, rewards and illegal
    actions are those of ``NineBoardEnv`` row by row, and so is ``info``: ``action_mask``
    ((num_envs, 81) int8), ``illegal_action`` (bool), ``agent_player`` and ``opponent_move``
    (int64), each with Gymnasium's ``_key`` mask, after ``reset`` and after every ``step``.

    ``autoreset_mode`` (also in ``metadata``) is Gymnasium's:
    - ``"NextStep"`` (the default): an episode that ends is reset on the next step, which
      ignores its action and returns its first observation with reward 0;
    - ``"SameStep"``: it is reset in the step where it ends, whose observation is already the
      next episode's; the final observation and info are in ``info["final_obs"]`` (an object
      array) and ``info["final_info"]``, with their ``_final_obs`` / ``_final_info`` masks;
    - ``"Disabled"``: ended episodes stay ended until ``reset(options={"reset_mask": mask})``;
      a step while any is ended raises RuntimeError.

    A step is all or nothing: when it raises (bad actions, an opponent that raises, Ctrl-C
    during a reply) every game, side and generator is as it was before the call.

    Against ``opponent="random"`` the agent's moves and the replies are native batch calls
    (``VectorGames.step`` and ``VectorGames.step_random``); other opponents are asked one
    game at a time, before any game changes. ``threads`` is passed to ``VectorGames``;
    ``seed`` seeds the native games (``reset(seed=...)`` reseeds them). ``render_mode=
    "rgb_array"`` makes ``render()`` return a tuple of (396, 396, 3) uint8 frames, one per
    game (Gymnasium's convention for vector environments).
    """

    metadata: dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": ["rgb_array"],
                                "render_fps": 4}

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
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        render_mode: str | None = None,
    ) -> None:
        self.num_envs = num_envs = _check_num_envs(num_envs)
        self.autoreset_mode = _check_autoreset_mode(autoreset_mode)
        self.metadata = {**type(self).metadata, "autoreset_mode": self.autoreset_mode}
        check_render_mode(render_mode, self.metadata["render_modes"])
        self.render_mode = render_mode
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
        # Next-step: the rows whose episode ended in the last step. Disabled: the rows ended
        # and not reset since.
        self._autoreset = np.zeros(num_envs, dtype=np.bool_)
        # The last cell played in each game, for render(). Against a Python opponent the
        # games' openings and restored positions are loads, which clear VectorGames.last_move,
        # so the environment keeps its own; the native step plays every move in the batch,
        # whose last_move is then the one source.
        self._last_move = np.full(num_envs, -1, dtype=np.int16)
        self._mask = np.zeros((num_envs, 81), dtype=np.int8)
        self._has_reset = False
        self._holding = _HeldInterrupt()
        self._opponent_moves = np.full(num_envs, -1, dtype=np.int64)
        # The planes of the last observation, kept up to date move by move: the agent's and
        # the opponent's new marks are set, the legal channel is recomputed.
        self._planes = np.zeros((num_envs, *OBSERVATION_SHAPE), dtype=np.int8)
        if self._native_replies:
            # Against the random opponent the whole step is one native call, which keeps the
            # marks, rewards and sides in these arrays (read-only views); the legal cells
            # are the games' own (see _native_planes and _current_mask).
            views = self._games._env_start(AGENT_PLAYS.index(self.agent_plays))
            self._planes = views[0].reshape(num_envs, *OBSERVATION_SHAPE)
            # The agent's mask is not kept: it is the games' legal cells while an episode
            # runs (see _current_mask).
            self._rewards, self._terminated, self._illegal, self._opponent_moves, self._agent = views[1:6]
            self._last_move = self._games.last_move

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
        """Starts every game again, or with ``options={"reset_mask": mask}`` (a (num_envs,)
        bool array) those where mask is True; the observation and info cover every game."""
        self._raise_held_interrupt()
        rows = self._rows
        partial = options is not None and "reset_mask" in options
        if partial:
            rows = self._reset_rows(options["reset_mask"])  # type: ignore[index]
            if not self._has_reset:
                raise RuntimeError("the environment has not been reset yet; call reset() without a reset_mask first")
        super().reset(seed=seed)
        if self._native_replies:
            return self._native_reset(rows if partial else None, seed, options)
        with self._holding:
            self._games.reset(rows if partial else None, seed=seed)
            if seed is not None or not self._has_reset:
                # Under "alternate", even-numbered games start with the agent moving first.
                self._episodes[rows] = rows % 2 if self.agent_plays == "alternate" else 0
            self._has_reset = True
            self._assign_sides(rows)
            openings = self._draw_openings(rows)
            self._start(rows, openings)
            self._autoreset[rows] = False
            info = self._info(np.zeros(self.num_envs, dtype=np.bool_), self._opponent_moves)
            if partial:
                # As Gymnasium's own vector environments give it: the info of the games reset.
                _keep_rows(info, options["reset_mask"])  # type: ignore[index]
            return self._planes.copy(), info

    def _native_reset(
        self, rows: npt.NDArray[np.intp] | None, seed: int | None, options: dict[str, Any] | None
    ) -> tuple[npt.NDArray[np.int8], dict[str, Any]]:
        with self._holding:
            if seed is not None:
                self._games.reset(rows, seed=seed)  # restarts the games' random streams
            self._games._env_begin(rows, seed is not None or not self._has_reset)
            self._has_reset = True
            self._autoreset[self._rows if rows is None else rows] = False
            info = self._native_info()
            observations = self._native_planes(info["action_mask"])
            if rows is not None:
                _keep_rows(info, options["reset_mask"])  # type: ignore[index]
            return observations, info

    def _native_step(
        self, cells: npt.NDArray[np.integer[Any]]
    ) -> tuple[
        npt.NDArray[np.int8], npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_], dict[str, Any]
    ]:
        """One native call moves every game (the agent's cell, then a random reply, or a new
        episode where the last one ended), updates the state's arrays and returns new arrays
        holding the step's results; same-step autoreset then starts the ended episodes."""
        with self._holding:
            (obs, rewards, terminated, truncated, mask, illegal, agent, opponent, has_mask, has_illegal,
             has_agent, has_opponent) = self._games._env_step(cells, self.autoreset_mode is AutoresetMode.NEXT_STEP)
            info: dict[str, Any] = {
                "action_mask": mask, "illegal_action": illegal, "agent_player": agent, "opponent_move": opponent,
                "_action_mask": has_mask, "_illegal_action": has_illegal, "_agent_player": has_agent,
                "_opponent_move": has_opponent,
            }
            if self.autoreset_mode == AutoresetMode.SAME_STEP and terminated.any():
                final_info = {key: value.copy() for key, value in info.items()}
                _keep_rows(final_info, terminated)
                rows = np.flatnonzero(terminated)
                final_obs = np.full(self.num_envs, None, dtype=object)
                for i in rows.tolist():
                    final_obs[i] = obs[i].copy()
                self._games._env_begin(rows, False)
                # The rows of the episodes started now are the next episodes' first ones.
                mask[rows] = self._games.legal[rows]  # episodes just started, the agent to move
                obs[rows] = self._native_planes(mask[rows], rows)
                illegal[rows] = self._illegal[rows]
                agent[rows] = self._agent[rows]
                opponent[rows] = self._opponent_moves[rows]
                info.update({"final_obs": final_obs, "_final_obs": terminated.copy(),
                             "final_info": final_info, "_final_info": terminated.copy()})
            elif self.autoreset_mode == AutoresetMode.DISABLED:
                self._autoreset = terminated.copy()
            return obs, rewards, terminated, truncated, info

    def _native_info(self) -> dict[str, Any]:
        info: dict[str, Any] = {
            "action_mask": self._current_mask(),
            "illegal_action": self._illegal.copy(),
            "agent_player": self._agent.astype(np.int64),
            "opponent_move": self._opponent_moves.copy(),
        }
        ones = np.ones(self.num_envs, dtype=np.bool_)
        for key in INFO_KEYS:
            info[f"_{key}"] = ones.copy()
        return info

    def _reset_rows(self, mask: object) -> npt.NDArray[np.intp]:
        if not isinstance(mask, np.ndarray) or mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
            raise ValueError(f"options['reset_mask']: expected a bool array of shape ({self.num_envs},), got {mask!r}")
        return np.flatnonzero(mask)

    def step(
        self, actions: npt.ArrayLike
    ) -> tuple[
        npt.NDArray[np.int8], npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_], dict[str, Any]
    ]:
        if self._holding.pending is not None:
            self._raise_held_interrupt()
        if isinstance(actions, (list, tuple)) and any(isinstance(a, (bool, np.bool_)) for a in actions):
            raise TypeError("actions: expected integer cells 0..80, got a bool")
        cells = check_cells(actions, self.num_envs, check_range=not self._native_replies)
        if not self._has_reset:
            raise RuntimeError("the environment has not been reset yet; call reset() first")
        disabled = self.autoreset_mode == AutoresetMode.DISABLED
        if disabled and self._autoreset.any():
            ended = np.flatnonzero(self._autoreset)
            raise RuntimeError(
                f"autoreset is disabled and the episodes of environments {ended[:8].tolist()}"
                f"{' ...' if len(ended) > 8 else ''} have ended; reset them first with "
                "reset(options={'reset_mask': mask})"
            )
        if self._native_replies:
            return self._native_step(cells)
        return self._python_step(cells.astype(np.intp, copy=False))  # already a new intp array

    def _python_step(
        self, cells: npt.NDArray[np.intp]
    ) -> tuple[
        npt.NDArray[np.int8], npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_], dict[str, Any]
    ]:
        """A step against an opponent asked in Python, one game at a time."""
        restart = self._autoreset if self.autoreset_mode == AutoresetMode.NEXT_STEP else np.zeros_like(self._autoreset)
        # Every running game whose episode goes on has the agent to move.
        played = self._games.legal[self._rows, cells] & ~restart
        illegal = ~played & ~restart
        replies, openings = self._ask_opponent(cells, played, illegal, restart)
        with self._holding:
            return self._commit(cells, played, illegal, restart, replies, openings)

    def _ask_opponent(
        self,
        cells: npt.NDArray[np.intp],
        played: npt.NDArray[np.bool_],
        illegal: npt.NDArray[np.bool_],
        restart: npt.NDArray[np.bool_],
    ) -> tuple[npt.NDArray[np.intp], dict[int, int]]:
        """The opponent's replies (-1 where none) and its first moves in the games that start
        again in this step, asked before any game changes; when the opponent raises (or Ctrl-C
        comes), the generator is put back and the error goes on."""
        state = self.np_random.bit_generator.state
        try:
            replies = np.full(self.num_envs, -1, dtype=np.intp)
            ends = illegal.copy()
            for i in np.flatnonzero(played).tolist():
                after = self._games.position(i).play(int(cells[i]))
                if not after.is_over:
                    replies[i] = self.opponent.reply(after, self.np_random)
                    after = after.play(int(replies[i]))
                ends[i] = after.is_over
            starting = np.flatnonzero(ends if self.autoreset_mode == AutoresetMode.SAME_STEP else restart)
            openings = {}
            for i in starting[self._next_sides(starting) == 2].tolist():
                openings[i] = self.opponent.reply(Position(), self.np_random)
            return replies, openings
        except BaseException:
            self.np_random.bit_generator.state = state
            raise

    def _commit(
        self,
        cells: npt.NDArray[np.intp],
        played: npt.NDArray[np.bool_],
        illegal: npt.NDArray[np.bool_],
        restart: npt.NDArray[np.bool_],
        replies: npt.NDArray[np.intp],
        openings: dict[int, int],
    ) -> tuple[
        npt.NDArray[np.int8], npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_], dict[str, Any]
    ]:
        games = self._games
        n = self.num_envs
        over_before = games.done.copy()
        kept = None
        if illegal.any():
            # The episode ends with the position as it was: keep it and its planes.
            rows = np.flatnonzero(illegal)
            kept = rows, [games.position(i) for i in rows.tolist()], self._planes[rows]
        # VectorGames moves every running game at once; a game whose episode is ending (or
        # that restarts now) gets some legal cell, and is put back or reset below.
        self._fill(cells, ~played & ~over_before)
        cells[over_before] = -1
        games.step(cells)
        marks = self._planes.reshape(n, 81, 3)
        rows = np.flatnonzero(played)
        marks[rows, CELL_TO_GRID[cells[rows]], 0] = 1
        running = ~games.done
        replied = np.flatnonzero(running)
        self._fill(replies, running & ~played)
        replies[~running] = -1
        games.step(replies)
        reply_cells = replies[replied]
        marks[replied, CELL_TO_GRID[reply_cells], 1] = 1
        opponent_moves = np.full(n, -1, dtype=np.int64)
        opponent_moves[replied] = reply_cells
        opponent_moves[~played] = -1
        self._last_move[rows] = cells[rows]
        answered = replied[played[replied]]
        self._last_move[answered] = opponent_moves[answered]
        ended = played & games.done
        winner = games.winner
        rewards = np.zeros(n, dtype=np.float64)
        rewards[ended & (winner == self._agent)] = 1.0
        rewards[ended & (winner == 3 - self._agent)] = -1.0
        rewards[illegal] = -1.0
        terminated = ended | illegal
        marks[:, :, 2] = np.take(games.legal.view(np.int8), GRID_TO_CELL, axis=1)
        np.copyto(self._mask, games.legal.view(np.int8))
        if kept is not None:
            rows, positions, planes = kept
            for i, position in zip(rows.tolist(), positions):
                games.load(i, position)
            planes[..., 2] = 0
            self._planes[rows] = planes
            self._mask[rows] = 0
        self._opponent_moves = opponent_moves
        info = None
        if self.autoreset_mode == AutoresetMode.SAME_STEP:
            starting = np.flatnonzero(terminated)
            if starting.size:
                info = self._final(terminated, illegal, opponent_moves)
        else:
            starting = np.flatnonzero(restart)
        if starting.size:
            games.reset(starting)
            self._assign_sides(starting)
            self._start(starting, openings)
            illegal = illegal & ~terminated if self.autoreset_mode == AutoresetMode.SAME_STEP else illegal
        self._autoreset = terminated.copy() if self.autoreset_mode != AutoresetMode.SAME_STEP else self._autoreset
        truncated = np.zeros(n, dtype=np.bool_)
        out = self._info(illegal, self._opponent_moves)
        if info is not None:
            out.update(info)
        return self._planes.copy(), rewards, terminated, truncated, out

    def _final(
        self, terminated: npt.NDArray[np.bool_], illegal: npt.NDArray[np.bool_], opponent_moves: npt.NDArray[np.int64]
    ) -> dict[str, Any]:
        """Same-step autoreset: the final observations and infos of the episodes ending now."""
        final_obs = np.full(self.num_envs, None, dtype=object)
        for i in np.flatnonzero(terminated).tolist():
            final_obs[i] = self._planes[i].copy()
        final_info = self._info(illegal, opponent_moves)
        _keep_rows(final_info, terminated)
        return {"final_obs": final_obs, "_final_obs": terminated.copy(),
                "final_info": final_info, "_final_info": terminated.copy()}

    def render(self) -> Any:  # a frame, text or None; Gymnasium types it with an unbound type variable
        """With ``render_mode="rgb_array"``, a (396, 396, 3) uint8 frame of each game."""
        if self.render_mode is None:
            return None
        if not self._has_reset:
            raise RuntimeError("the environment has not been reset yet; call reset() first")
        mask = self._current_mask()
        return tuple(
            render_frame(self._games.position(i), int(self._last_move[i]), show_legal=bool(mask[i].any()))
            for i in range(self.num_envs)
        )

    def _native_planes(
        self, mask: npt.NDArray[np.int8], rows: npt.NDArray[np.intp] | None = None
    ) -> npt.NDArray[np.int8]:
        """The observations of every game or of rows (a new array) against the random
        opponent: the native state's marks with the legal channel of mask, those games'
        masks as _current_mask gives them."""
        planes = self._planes.copy() if rows is None else self._planes[rows]
        planes.reshape(len(planes), 81, 3)[:, :, 2] = np.take(mask, GRID_TO_CELL, axis=1)
        return planes

    def _current_mask(self) -> npt.NDArray[np.int8]:
        """The agent's legal cells in each game (a new array), none where its episode has
        ended."""
        if not self._native_replies:
            return self._mask.copy()
        mask = self._games.legal.view(np.int8).copy()
        mask[self._terminated] = 0
        return mask

    def _raise_held_interrupt(self) -> None:
        handler, self._holding.pending = self._holding.pending, None
        if handler is not None:
            handler(signal.SIGINT, None)

    def _start(self, rows: npt.NDArray[np.intp], openings: dict[int, int]) -> None:
        """Games just reset: the opponent's first move where it moves first, then their
        planes, masks and last moves."""
        for i, cell in openings.items():
            self._games.load(i, _OPENINGS[cell])
        self._opponent_moves[rows] = -1
        self._last_move[rows] = -1
        if openings:
            second = np.fromiter(openings.keys(), dtype=np.intp, count=len(openings))
            moves = np.fromiter(openings.values(), dtype=np.int64, count=len(openings))
            self._opponent_moves[second] = moves
            self._last_move[second] = moves
        first = rows[self._agent[rows] == 1]
        self._planes[first] = _OPENING_PLANES
        second_rows = rows[self._agent[rows] == 2]
        if len(second_rows):
            games = self._games
            self._planes[second_rows] = batch_planes(
                games.boards[second_rows], self._agent[second_rows], games.legal[second_rows]
            )
        self._mask[rows] = self._games.legal[rows].view(np.int8)

    def _info(self, illegal: npt.NDArray[np.bool_], opponent_moves: npt.NDArray[np.int64]) -> dict[str, Any]:
        n = self.num_envs
        info: dict[str, Any] = {
            "action_mask": self._mask.copy(),
            "illegal_action": illegal.copy(),
            "agent_player": self._agent.astype(np.int64),
            "opponent_move": opponent_moves.copy(),
        }
        for key in INFO_KEYS:
            info[f"_{key}"] = np.ones(n, dtype=np.bool_)
        return info

    def _fill(self, cells: npt.NDArray[np.intp], rows_mask: npt.NDArray[np.bool_]) -> None:
        """Puts the first legal cell of each selected running game into ``cells``."""
        if rows_mask.any():
            rows = np.flatnonzero(rows_mask)
            cells[rows] = np.argmax(self._games.legal[rows], axis=1)

    def _next_sides(self, rows: npt.NDArray[np.intp]) -> npt.NDArray[np.int8]:
        """The sides the agent gets in the next episodes of rows (changing nothing)."""
        if self.agent_plays == "first":
            return np.ones(len(rows), dtype=np.int8)
        if self.agent_plays == "second":
            return np.full(len(rows), 2, dtype=np.int8)
        return (1 + self._episodes[rows] % 2).astype(np.int8)

    def _assign_sides(self, rows: npt.NDArray[np.intp]) -> None:
        self._agent[rows] = self._next_sides(rows)
        if self.agent_plays == "alternate":
            self._episodes[rows] += 1

    def _draw_openings(self, rows: npt.NDArray[np.intp]) -> dict[int, int]:
        """The opponent's first move in the (fresh) games of ``rows`` where it moves first."""
        second = rows[self._agent[rows] == 2]
        if len(second) == 0:
            return {}
        return {i: self.opponent.reply(Position(), self.np_random) for i in second.tolist()}
