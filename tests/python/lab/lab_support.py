"""Shared helpers of the lab tests: random reachable positions (as hypothesis strategies
and as plain seeded generators), replays of move lists on nonagame.Game, and a writer of
the notation built from the board layout that the README documents."""
from __future__ import annotations

import itertools
import random

from hypothesis import settings
from hypothesis import strategies as st

import nonagame
from nonagame_lab import Position

# Hypothesis settings for the lab's property tests: no deadline (the machine is shared),
# enough examples to reach finished games and late positions.
PROPERTY = settings(deadline=None, max_examples=150)

LINES = [(0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6)]


def random_line(seed: int, plies: int | None = None) -> tuple[list[int], Position]:
    """The moves of a uniformly random game from the opening and the position they reach:
    `plies` moves, or fewer when the game ends first (None: play to the end)."""
    rng = random.Random(seed)
    position = Position()
    moves: list[int] = []
    while not position.is_over and (plies is None or len(moves) < plies):
        cell = rng.choice(position.legal_moves)
        moves.append(cell)
        position = position.play(cell)
    return moves, position


@st.composite
def lines(draw: st.DrawFn) -> tuple[list[int], Position]:
    """A random game prefix (moves, position): early, late and finished positions alike."""
    seed = draw(st.integers(0, 2**32 - 1))
    plies = draw(st.one_of(st.none(), st.integers(0, 81)))
    return random_line(seed, plies)


positions = lines().map(lambda line: line[1])


def replay(moves: list[int], game_id: int = 0) -> nonagame.Game:
    """A nonagame.Game that has played these moves, each by the player to move."""
    game = nonagame.Game(game_id)
    for cell in moves:
        game.make_move(cell, game.make_state().player_id)
    return game


def engine_refusal(moves: list[int], cell: int) -> str:
    """The text of the ValueError that Game.make_move raises for cell after moves."""
    game = replay(moves)
    player = game.make_state().player_id
    try:
        game.make_move(cell, player)
    except ValueError as error:
        return str(error)
    raise AssertionError(f"the engine accepted cell {cell} after {moves}")


def game_view(game: nonagame.Game) -> tuple[list[int], int, int, list[int]]:
    """What a caller sees of a game: available moves (in the engine's order), the player
    to move, the winner and the board."""
    state = game.make_state()
    return game.get_available_moves(), state.player_id, game.get_winner(), state.board.tolist()


def grid_square(cell: int) -> tuple[int, int]:
    """(row, column) of a cell on the 9 x 9 grid: roster cell // 9, position cell % 9."""
    roster, place = divmod(cell, 9)
    return 3 * (roster // 3) + place // 3, 3 * (roster % 3) + place % 3


def cell_at(row: int, col: int) -> int:
    return 9 * (3 * (row // 3) + col // 3) + 3 * (row % 3) + col % 3


def write_notation(board: list[int], to_move: int, forced: int | None) -> str:
    """The notation of the README, written from scratch: nine grid rows top to bottom
    joined by '/', x and o for marks, digits for runs of empty cells, then the side to
    move and the forced roster or '-'."""
    rows = []
    for row in range(9):
        text, run = "", 0
        for col in range(9):
            value = board[cell_at(row, col)]
            if value == 0:
                run += 1
                continue
            text += (str(run) if run else "") + "xo"[value - 1]
            run = 0
        rows.append(text + (str(run) if run else ""))
    return "/".join(rows) + f" {'xo'[to_move - 1]} " + ("-" if forced is None else str(forced))


def board_of(rosters: dict[int, str]) -> list[int]:
    """An 81-cell board from per-roster fillings: roster -> 9 characters of '.', 'x', 'o'
    for positions 0..8."""
    board = [0] * 81
    for roster, filling in rosters.items():
        for place, char in enumerate(filling):
            board[9 * roster + place] = ".xo".index(char)
    return board


def drawn_fillings() -> list[str]:
    """Every full roster with no line of either player, as 9 characters."""
    out = []
    for filling in itertools.product("xo", repeat=9):
        if not any(all(filling[i] == p for i in line) for p in "xo" for line in LINES):
            out.append("".join(filling))
    return out


def roster_statuses(board: list[int]) -> list[int]:
    """Per roster: 1 or 2 when won, 0 when full with no line, -1 while open."""
    statuses = []
    for roster in range(9):
        cells = board[9 * roster: 9 * roster + 9]
        won = [p for p in (1, 2) if any(all(cells[i] == p for i in line) for line in LINES)]
        statuses.append(won[0] if won else 0 if all(cells) else -1)
    return statuses
