"""Nine-board tic-tac-toe as a two-player PettingZoo AEC environment.

| Import             | ``from nonagame_lab.envs import nineboard_v0``        |
|--------------------|-------------------------------------------------------|
| Agents             | ``player_1`` (moves first, X) and ``player_2`` (O)    |
| Actions            | ``Discrete(81)``: the cell to play, 0..80             |
| Observation        | dict: ``observation`` (9, 9, 3) int8, ``action_mask`` (81,) int8 |
| Rewards            | +1 to the winner, -1 to the loser, 0 to both for a draw |
| Render modes       | ``"ansi"`` (the board as text), ``"human"`` (prints it), ``"rgb_array"`` (a (396, 396, 3) uint8 picture) |

**Observation.** ``observation`` holds three planes on the 9 x 9 grid, from the point of view
of the agent observing: channel 0 its own marks, channel 1 its opponent's marks, channel 2 the
cells it may play (all 0 unless it is that agent's turn). Grid square (row, col) shows cell
``9 * roster + p`` with ``row = 3 * (roster // 3) + p // 3`` and
``col = 3 * (roster % 3) + p % 3`` (``nonagame_lab.envs.GRID_TO_CELL``). ``action_mask`` is in
cell order: 1 for each cell the agent may play, all 0 for the agent whose turn it is not.

**Illegal actions.** As in PettingZoo's classic board games, ``env()`` wraps the environment
in ``TerminateIllegalWrapper(illegal_reward=-1)``: a cell that is not legal (occupied, outside
the roster the player was sent to, or in a closed roster) ends the game at once; the agent
that played it gets -1, the other 0, every agent is marked both terminated and truncated, and
PettingZoo logs a warning. The bare ``raw_env`` raises ValueError for such a cell instead.
An action that is not a cell at all (not an integer, not a scalar, or outside 0..80) raises
TypeError or ValueError naming what was expected, and nothing changes; ``None`` is the action of
an agent that is already done.

**Length.** ``max_cycles`` (default: none) truncates both agents after that many cycles, a
cycle being each player moving once. ``parallel_env()`` is the turn-based parallel view
(PettingZoo's ``turn_based_aec_to_parallel``): each parallel step is one move of the player to
move, and there ``max_cycles`` counts those steps. The side that is not to move gets an
observation with an all-zero ``action_mask`` at every step and its action is ignored; a
learner that samples both sides should drop those transitions, or use the AEC ``env()``,
where each agent acts only on its turn.
"""

from __future__ import annotations

from typing import Any

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from gymnasium.utils import EzPickle, seeding
# PettingZoo ships no type information.
from pettingzoo import AECEnv, ParallelEnv  # type: ignore[import-untyped, unused-ignore]
from pettingzoo.utils import AgentSelector, wrappers  # type: ignore[import-untyped, unused-ignore]
from pettingzoo.utils.conversions import turn_based_aec_to_parallel_wrapper  # type: ignore[import-untyped, unused-ignore]

from nonagame_lab import Position
from nonagame_lab.envs._actions import check_cell
from nonagame_lab.envs._frames import check_render_mode, render_frame
from nonagame_lab.envs._planes import OBSERVATION_SHAPE, legal_mask, move_name, position_planes, render_text

AGENTS = ("player_1", "player_2")


def env(**kwargs: Any) -> AECEnv:
    """The environment as PettingZoo's classic board games are made: illegal moves end the
    game (``TerminateIllegalWrapper``), actions outside the action space raise, and calls out
    of order are caught (``OrderEnforcingWrapper``)."""
    wrapped = raw_env(**kwargs)
    wrapped = wrappers.TerminateIllegalWrapper(wrapped, illegal_reward=-1)
    wrapped = CheckedActionWrapper(wrapped)
    wrapped = wrappers.OrderEnforcingWrapper(wrapped)
    return wrapped


def parallel_env(**kwargs: Any) -> ParallelEnv:
    """The turn-based parallel view of ``env()``: only the player to move acts in each step
    (the other's action is ignored, and its observation has an all-zero ``action_mask``);
    ``max_cycles`` counts these steps."""
    max_cycles = kwargs.pop("max_cycles", None)
    aec = env(**kwargs)
    aec.unwrapped.max_plies = _check_max_cycles(max_cycles)
    return _TurnBasedParallel(aec)


class _TurnBasedParallel(turn_based_aec_to_parallel_wrapper):  # type: ignore[misc]
    """PettingZoo's turn-based parallel view, refusing a step whose actions leave out the agent
    to move with a KeyError that names it."""

    def step(self, actions: dict[str, Any]) -> Any:
        agent = self.aec_env.agent_selection
        if self.agents and agent not in actions:
            raise KeyError(
                f"parallel_env.step(): the actions have no entry for {agent!r}, the agent to move "
                f"(got {sorted(actions)!r}); only its action is played"
            )
        return super().step(actions)


def _check_max_cycles(max_cycles: object) -> int | None:
    if max_cycles is None:
        return None
    if isinstance(max_cycles, bool) or not isinstance(max_cycles, int) or max_cycles < 1:
        raise ValueError(f"max_cycles: expected None or a positive int, got {max_cycles!r}")
    return max_cycles


class CheckedActionWrapper(wrappers.AssertOutOfBoundsWrapper):  # type: ignore[misc]
    """PettingZoo's out-of-bounds check, with exceptions that name what was expected
    (TypeError or ValueError rather than a bare AssertionError)."""

    def step(self, action: Any) -> None:
        agent = self.agent_selection
        if not (action is None and (self.terminations[agent] or self.truncations[agent])):
            check_cell(action)
        super().step(action)


class raw_env(AECEnv, EzPickle):  # type: ignore[misc]
    """The bare environment; use ``env()`` for the wrapped one."""

    metadata: dict[str, Any] = {
        "render_modes": ["ansi", "human", "rgb_array"],
        "name": "nineboard_v0",
        "is_parallelizable": False,
        "render_fps": 1,
    }

    def __init__(self, render_mode: str | None = None, max_cycles: int | None = None) -> None:
        EzPickle.__init__(self, render_mode, max_cycles)
        super().__init__()
        check_render_mode(render_mode, self.metadata["render_modes"])
        cycles = _check_max_cycles(max_cycles)
        # A cycle is both players moving once.
        self.max_plies: int | None = None if cycles is None else 2 * cycles
        self.render_mode = render_mode
        self.agents = list(AGENTS)
        self.possible_agents = list(AGENTS)
        self.action_spaces: dict[str, spaces.Space[Any]] = {agent: spaces.Discrete(81) for agent in AGENTS}
        self.observation_spaces = {
            agent: spaces.Dict(
                {
                    "observation": spaces.Box(low=0, high=1, shape=OBSERVATION_SHAPE, dtype=np.int8),
                    "action_mask": spaces.Box(low=0, high=1, shape=(81,), dtype=np.int8),
                }
            )
            for agent in AGENTS
        }
        self.position = Position()
        self.plies = 0
        self.last_move = -1
        self.rewards = dict.fromkeys(self.agents, 0)
        self._cumulative_rewards = dict.fromkeys(self.agents, 0)
        self.terminations = dict.fromkeys(self.agents, False)
        self.truncations = dict.fromkeys(self.agents, False)
        self.infos: dict[str, dict[str, Any]] = {agent: {} for agent in self.agents}
        self._agent_selector = AgentSelector(self.agents)
        self.agent_selection = self._agent_selector.reset()

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
        return self.action_spaces[agent]

    def observe(self, agent: str) -> dict[str, npt.NDArray[np.int8]]:
        player = AGENTS.index(agent) + 1
        on_turn = agent == self.agent_selection and not self.position.is_over
        planes = position_planes(self.position, player)
        if not on_turn:
            planes[:, :, 2] = 0
        mask = legal_mask(self.position, player) if on_turn else np.zeros(81, dtype=np.int8)
        return {"observation": planes, "action_mask": mask}

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        # The game has no chance, but a seed is checked as Gymnasium checks one (a
        # non-negative int, else gymnasium.error.Error), so that the same seeds work everywhere.
        self.np_random, _ = seeding.np_random(seed)
        self.position = Position()
        self.plies = 0
        self.last_move = -1
        self.agents = list(self.possible_agents)
        self.rewards = dict.fromkeys(self.agents, 0)
        self._cumulative_rewards = dict.fromkeys(self.agents, 0)
        self.terminations = dict.fromkeys(self.agents, False)
        self.truncations = dict.fromkeys(self.agents, False)
        self.infos = {agent: {} for agent in self.agents}
        self._agent_selector.reinit(self.agents)
        self.agent_selection = self._agent_selector.reset()
        if self.render_mode == "human":
            self.render()

    def step(self, action: Any) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        cell = check_cell(action)
        if cell not in self.position.legal_moves:
            raise ValueError(
                f"{agent} played {move_name(cell)}, which is not legal in {self.position.notation!r}; "
                f"legal cells: {self.position.legal_moves}"
            )
        self.position = self.position.play(cell)
        self.plies += 1
        self.last_move = cell
        # Rewards are those of this step alone; the last one accumulates them.
        self._clear_rewards()
        if self.position.is_over:
            winner = self.position.winner
            if winner:
                self.rewards[AGENTS[winner - 1]] = 1
                self.rewards[AGENTS[2 - winner]] = -1
            self.terminations = dict.fromkeys(self.agents, True)
        elif self.max_plies is not None and self.plies >= self.max_plies:
            self.truncations = dict.fromkeys(self.agents, True)
        self._cumulative_rewards[agent] = 0
        self._accumulate_rewards()
        self.agent_selection = self._agent_selector.next()
        if self.render_mode == "human":
            self.render()

    def render(self) -> str | npt.NDArray[np.uint8] | None:
        if self.render_mode is None:
            gymnasium.logger.warn(
                "render() called without a render_mode; pass render_mode='ansi', 'human' or 'rgb_array'"
            )
            return None
        if self.render_mode == "rgb_array":
            return render_frame(self.position, self.last_move)
        text = render_text(self.position)
        if self.render_mode == "ansi":
            return text
        print(text)
        return None

    def close(self) -> None:
        pass
