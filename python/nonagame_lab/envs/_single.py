"""The single-agent Gymnasium environment: the agent against a fixed opponent."""

from __future__ import annotations

from typing import Any, SupportsFloat

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces

from nonagame_lab import Position
from nonagame_lab.envs._actions import check_cell
from nonagame_lab.envs._frames import check_render_mode, render_frame
from nonagame_lab.envs._opponents import AgentPlays, Opponent, OpponentSpec, check_agent_plays, make_opponent
from nonagame_lab.envs._planes import OBSERVATION_SHAPE, legal_mask, position_planes, render_text

ILLEGAL_ACTION_REWARD = -1.0


class NineBoardEnv(gymnasium.Env[npt.NDArray[np.int8], np.int64]):
    """Nine-board tic-tac-toe for one agent against a fixed opponent.

    - Observation: (9, 9, 3) int8 planes from the agent's point of view (its marks, the
      opponent's marks, its legal cells), in the grid layout of ``nonagame_lab.envs``.
    - Action: ``Discrete(81)``, the cell to play.
    - Reward: +1 when the agent wins, -1 when it loses, 0 for a draw and on every other step.
    - An illegal action (a cell that is not legal now) ends the episode (terminated) with
      reward -1 and the position unchanged, as PettingZoo's board games do; ``info`` then has
      ``illegal_action`` True.
    - ``info["action_mask"]`` is the (81,) int8 mask of legal cells; ``action_masks()`` gives
      the same as bool, for maskable policies.

    ``opponent`` is ``"random"``, ``"mcts"`` (``simulations`` per move), a ``nonagame.Player``
    or a callable ``(Position) -> cell``. ``agent_plays`` is ``"first"``, ``"second"`` or
    ``"alternate"`` (first on the first episode after a seeded reset, then turn about).
    """

    metadata: dict[str, Any] = {"render_modes": ["ansi", "human", "rgb_array"], "render_fps": 4}

    def __init__(
        self,
        opponent: OpponentSpec = "random",
        *,
        agent_plays: AgentPlays = "first",
        simulations: int = 100,
        search_threads: int = 1,
        render_mode: str | None = None,
    ) -> None:
        check_render_mode(render_mode, self.metadata["render_modes"])
        self.opponent: Opponent = make_opponent(opponent, simulations=simulations, threads=search_threads)
        self.agent_plays: AgentPlays = check_agent_plays(agent_plays)
        self.render_mode = render_mode
        self.observation_space = spaces.Box(low=0, high=1, shape=OBSERVATION_SHAPE, dtype=np.int8)
        self.action_space = spaces.Discrete(81)
        self._position: Position | None = None
        self._agent = 1
        self._episodes = 0
        self._over = False
        self._last_move = -1

    @property
    def position(self) -> Position:
        """The current position (after the opponent's reply)."""
        if self._position is None:
            raise RuntimeError("the environment has not been reset yet; call reset() first")
        return self._position

    @property
    def agent_player(self) -> int:
        """The side the agent plays this episode: 1 (moves first) or 2."""
        return self._agent

    def action_masks(self) -> npt.NDArray[np.bool_]:
        """The legal cells now, as an (81,) bool array (all False once the episode is over)."""
        return legal_mask(self.position, self._agent).astype(np.bool_) if not self._over else np.zeros(81, np.bool_)

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[npt.NDArray[np.int8], dict[str, Any]]:
        super().reset(seed=seed)
        if seed is not None:
            self._episodes = 0
        if self.agent_plays == "alternate":
            self._agent = 1 if self._episodes % 2 == 0 else 2
        else:
            self._agent = 1 if self.agent_plays == "first" else 2
        self._episodes += 1
        self._over = False
        position = Position()
        opponent_move = -1
        if self._agent == 2:
            opponent_move = self.opponent.reply(position, self.np_random)
            position = position.play(opponent_move)
        self._position = position
        self._last_move = opponent_move
        if self.render_mode == "human":
            self.render()
        return self._observation(), self._info(opponent_move)

    def step(
        self, action: np.int64 | int
    ) -> tuple[npt.NDArray[np.int8], SupportsFloat, bool, bool, dict[str, Any]]:
        cell = check_cell(action)
        position = self.position
        if self._over:
            raise RuntimeError("the episode is over; call reset() before stepping again")
        if cell not in position.legal_moves:
            self._over = True
            info = self._info(-1)
            info["illegal_action"] = True
            return self._observation(), ILLEGAL_ACTION_REWARD, True, False, info
        position = position.play(cell)
        opponent_move = -1
        if not position.is_over:
            opponent_move = self.opponent.reply(position, self.np_random)
            position = position.play(opponent_move)
        self._position = position
        self._last_move = cell if opponent_move < 0 else opponent_move
        reward = 0.0
        if position.is_over:
            self._over = True
            if position.winner:
                reward = 1.0 if position.winner == self._agent else -1.0
        if self.render_mode == "human":
            self.render()
        return self._observation(), reward, self._over, False, self._info(opponent_move)

    def render(self) -> Any:  # a frame, text or None; Gymnasium types it with an unbound type variable
        if self.render_mode is None:
            gymnasium.logger.warn(
                "render() called without a render_mode; pass render_mode='ansi', 'human' or 'rgb_array'"
            )
            return None
        if self.render_mode == "rgb_array":
            return render_frame(self.position, self._last_move, show_legal=not self._over)
        text = render_text(self.position, show_legal=not self._over)
        if self.render_mode == "ansi":
            return text
        print(text)
        return None

    def _observation(self) -> npt.NDArray[np.int8]:
        planes = position_planes(self.position, self._agent)
        if self._over:
            planes[:, :, 2] = 0
        return planes

    def _info(self, opponent_move: int) -> dict[str, Any]:
        mask = np.zeros(81, np.int8) if self._over else legal_mask(self.position, self._agent)
        return {
            "action_mask": mask,
            "agent_player": self._agent,
            "opponent_move": opponent_move,
            "illegal_action": False,
        }
