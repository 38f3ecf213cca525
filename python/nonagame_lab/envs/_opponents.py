"""The fixed opponents of the single-agent environments.

An opponent is given as
- ``"random"``: a uniformly random legal move, drawn from the environment's generator;
- ``"mcts"``: ``nonagame_lab.search`` with a budget of ``simulations`` per move, seeded from
  the environment's generator (so a seeded reset replays the same games);
- ``"level:K"``: the graded opponent of ``nonagame_lab.baseline_player(K, ...)``, seeded from
  the environment's generator (a fresh search each move);
- a ``nonagame.Player``: its ``make_move`` is called on a ``nonagame.Game`` in the position
  (a Player moves only for the side of its id, and the built-in Player's random moves come
  from its own generator, which ``reset(seed=...)`` does not seed);
- any callable taking a ``Position`` and returning the cell to play.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Literal, Protocol, Union

import numpy as np

import nonagame
from nonagame_lab import Position, search
from nonagame_lab._levels import baseline_move, check_level
from nonagame_lab.envs._actions import check_cell
from nonagame_lab.envs._planes import move_name

OpponentSpec = Union[str, nonagame.Player, Callable[[Position], int]]
"""What the ``opponent`` argument of the environments accepts."""

# Spelled as a union so that the alias is one at run time too.
AgentPlays = Union[Literal["first"], Literal["second"], Literal["alternate"]]
AGENT_PLAYS: tuple[str, ...] = ("first", "second", "alternate")


class Opponent(Protocol):
    """Chooses the opponent's move in a position where it is to move."""

    name: str

    def reply(self, position: Position, rng: np.random.Generator) -> int: ...


class RandomOpponent:
    name = "random"

    def reply(self, position: Position, rng: np.random.Generator) -> int:
        moves = position.legal_moves
        return moves[int(rng.integers(len(moves)))]


class SearchOpponent:
    name = "mcts"

    def __init__(self, simulations: int, threads: int = 1) -> None:
        self.simulations = simulations
        self.threads = threads

    def reply(self, position: Position, rng: np.random.Generator) -> int:
        seed = int(rng.integers(2**63))
        return search(position, simulations=self.simulations, seed=seed, threads=self.threads).best_move


class LevelOpponent:
    def __init__(self, level: int) -> None:
        self.level = level
        self.name = f"level:{level}"

    def reply(self, position: Position, rng: np.random.Generator) -> int:
        return baseline_move(self.level, position, seed=int(rng.integers(2**63)))


class PlayerOpponent:
    name = "player"

    def __init__(self, player: nonagame.Player) -> None:
        self.player = player

    def reply(self, position: Position, rng: np.random.Generator) -> int:
        game = position.to_game()
        self.player.make_move(game)
        after = Position.from_game(game)
        changed = np.flatnonzero(after.board != position.board)
        if len(changed) != 1 or after.board[changed[0]] != position.to_move:
            raise RuntimeError(
                f"the opponent {self.player!r} did not make exactly one move for player {position.to_move} in "
                f"{position.notation!r} (a nonagame.Player moves only for the side of its id)"
            )
        return int(changed[0])


class CallableOpponent:
    name = "callable"

    def __init__(self, choose: Callable[[Position], int]) -> None:
        self.choose = choose

    def reply(self, position: Position, rng: np.random.Generator) -> int:
        cell = check_cell(self.choose(position), "the opponent's move")
        if cell not in position.legal_moves:
            raise ValueError(
                f"the opponent chose {move_name(cell)}, which is not legal in {position.notation!r}; "
                f"legal cells: {position.legal_moves}"
            )
        return cell


def make_opponent(spec: OpponentSpec, *, simulations: int, threads: int = 1) -> Opponent:
    """The opponent an ``opponent`` argument describes, or TypeError / ValueError."""
    if isinstance(spec, str):
        if spec == "random":
            return RandomOpponent()
        if spec == "mcts":
            if isinstance(simulations, bool) or not isinstance(simulations, int) or simulations < 1:
                raise ValueError(f"simulations: expected a positive int budget for the 'mcts' opponent, got {simulations!r}")
            return SearchOpponent(simulations, threads)
        if spec.startswith("level:"):
            try:
                return LevelOpponent(check_level(int(spec[6:])))
            except ValueError as error:
                raise ValueError(f"opponent {spec!r}: {error}") from None
        raise ValueError(
            f"opponent: expected 'random', 'mcts', 'level:K', a nonagame.Player or a callable, got {spec!r}"
        )
    if isinstance(spec, nonagame.Player):
        return PlayerOpponent(spec)
    if callable(spec):
        return CallableOpponent(spec)
    raise TypeError(
        f"opponent: expected 'random', 'mcts', a nonagame.Player or a callable, got {type(spec).__name__}"
    )


def check_agent_plays(agent_plays: object) -> AgentPlays:
    if agent_plays not in AGENT_PLAYS:
        raise ValueError(f"agent_plays: expected one of {AGENT_PLAYS}, got {agent_plays!r}")
    return agent_plays  # type: ignore[return-value]
