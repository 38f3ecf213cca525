"""Graded opponents: a fixed ladder of players, from random play up to the strongest search,
to measure a learning agent against.

Level 0 plays uniformly at random; the levels above it run the native rollout search at a
growing number of simulations a move (``LEVEL_SIMULATIONS``), on one thread, keeping the tree
between their turns. The budgets were chosen so that neighbouring levels are roughly 100 to
300 Elo apart, as measured with ``nonagame_lab.arena`` (the README gives the figures).
"""

from __future__ import annotations

import random

import nonagame
from nonagame_lab._core import Position
from nonagame_lab._search import MCTSPlayer, search

#: Simulations a move of each level; level 0 (no search) plays at random.
LEVEL_SIMULATIONS: tuple[int, ...] = (0, 5, 15, 35, 80, 200, 500, 1200, 3000, 8000)
LEVELS = range(len(LEVEL_SIMULATIONS))


def check_level(level: object) -> int:
    if isinstance(level, bool) or not isinstance(level, int) or level not in LEVELS:
        raise ValueError(f"level: expected an int from 0 to {LEVELS[-1]}, got {level!r}")
    return level


class RandomPlayer(nonagame.Player):
    """Uniformly random legal moves from a generator of its own, so that a seed replays them."""

    def __new__(cls, id: int, seed: int | None = None) -> RandomPlayer:
        player = super().__new__(cls, id)
        player._id = id
        player._rng = random.Random(seed)
        return player

    _id: int
    _rng: random.Random

    @property
    def id(self) -> int:
        """The player id, 1 or 2."""
        return self._id

    def make_move(self, game: nonagame.Game) -> None:
        moves = game.get_available_moves()
        game.make_move(moves[self._rng.randrange(len(moves))], self._id)


def baseline_player(level: int, id: int, *, seed: int | None = None) -> nonagame.Player:
    """A ``nonagame.Player`` for player ``id`` at one of the graded levels (0 = random play)."""
    simulations = LEVEL_SIMULATIONS[check_level(level)]
    if simulations == 0:
        return RandomPlayer(id, seed)
    return MCTSPlayer(id, simulations=simulations, seed=seed)


def baseline_move(level: int, position: Position, *, seed: int | None = None) -> int:
    """The cell a player at ``level`` chooses in ``position`` (a fresh search, no kept tree),
    for loops that hold positions rather than games, such as a PettingZoo agent loop."""
    simulations = LEVEL_SIMULATIONS[check_level(level)]
    moves = position.legal_moves
    if not moves:
        raise ValueError(f"the position is already over: there is no move to choose in {position.notation!r}")
    if simulations == 0:
        return moves[random.Random(seed).randrange(len(moves))]
    return search(position, simulations=simulations, seed=seed).best_move
