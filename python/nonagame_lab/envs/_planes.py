"""Observation planes and text pictures shared by the environments.

The observation of a position is an int8 array of shape (9, 9, 3), laid out like the board a
person sees (height, width, channels) rather than in cell order:

- channel 0: the marks of the player the observation is for (1 where they have a mark);
- channel 1: the marks of their opponent;
- channel 2: the cells that player may play now (all 0 when it is not their turn or the game
  is over).

Grid square (row, col) holds cell ``9 * roster + p`` with ``row = 3 * (roster // 3) + p // 3``
and ``col = 3 * (roster % 3) + p % 3``: roster 0 is the top-left 3 x 3 block, cell 0 its
top-left square, cell 80 the bottom-right square of the board. The layout comes from the
engine (``_core.CELL_SQUARES``). Action masks and actions stay in cell order (0..80).
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from nonagame_lab import Position, cell_name
from nonagame_lab._core import CELL_SQUARES


CELL_TO_GRID: npt.NDArray[np.intp] = np.array(CELL_SQUARES, dtype=np.intp)
"""Cell -> its grid square ``9 * row + col``."""
GRID_TO_CELL: npt.NDArray[np.intp] = np.argsort(CELL_TO_GRID).astype(np.intp)
"""Grid square ``9 * row + col`` -> the cell shown there."""
GRID_TO_CELL.setflags(write=False)
CELL_TO_GRID.setflags(write=False)

OBSERVATION_SHAPE = (9, 9, 3)


def legal_mask(position: Position, player: int | None = None) -> npt.NDArray[np.int8]:
    """The (81,) int8 mask of the cells ``player`` may play (the side to move by default)."""
    mask = np.zeros(81, dtype=np.int8)
    if player is None or player == position.to_move:
        mask[position.legal_moves] = 1
    return mask


def position_planes(position: Position, player: int | None = None) -> npt.NDArray[np.int8]:
    """The (9, 9, 3) int8 planes of a position for ``player`` (the side to move by default)."""
    me = position.to_move if player is None else player
    board = position.board[GRID_TO_CELL]
    out = np.empty((81, 3), dtype=np.int8)
    out[:, 0] = board == me
    out[:, 1] = board == 3 - me
    out[:, 2] = legal_mask(position, me)[GRID_TO_CELL]
    return out.reshape(OBSERVATION_SHAPE)


def batch_planes(
    boards: npt.NDArray[np.int8],
    players: npt.NDArray[np.int8],
    legal: npt.NDArray[np.bool_],
) -> npt.NDArray[np.int8]:
    """Planes for a batch: boards (n, 81), the player each row is for (n,), and the legal
    cells (n, 81) of rows where that player is to move (all False elsewhere)."""
    n = boards.shape[0]
    grid = np.take(boards, GRID_TO_CELL, axis=1)
    me = players.reshape(n, 1)
    out = np.empty((n, 81, 3), dtype=np.int8)
    np.equal(grid, me, out=out[:, :, 0].view(np.bool_))
    # An occupied square that is not mine is the opponent's.
    theirs = out[:, :, 1].view(np.bool_)
    np.not_equal(grid, 0, out=theirs)
    theirs ^= out[:, :, 0].view(np.bool_)
    out[:, :, 2] = np.take(legal, GRID_TO_CELL, axis=1)
    return out.reshape((n, *OBSERVATION_SHAPE))


_MARKS = {0: ".", 1: "X", 2: "O"}


def render_text(position: Position, *, show_legal: bool = True) -> str:
    """The board as nine text rows (X for player 1, O for player 2, ``*`` for a legal cell when
    ``show_legal``), with file letters a..i and rank numbers 9..1, and a status line."""
    board = position.board
    legal = set(position.legal_moves) if show_legal else set()
    lines = ["    a b c   d e f   g h i"]
    for row in range(9):
        if row in (3, 6):
            lines.append("   -------+-------+-------")
        parts = []
        for col in range(9):
            cell = int(GRID_TO_CELL[9 * row + col])
            mark = _MARKS[int(board[cell])]
            if mark == "." and cell in legal:
                mark = "*"
            parts.append(mark)
            if col in (2, 5):
                parts.append("|")
        lines.append(f"{9 - row}   " + " ".join(parts))
    if position.is_over:
        winner = position.winner
        status = f"player {winner} ({_MARKS[winner]}) wins" if winner else "draw"
    else:
        side = position.to_move
        forced = position.forced_roster
        where = "any open roster" if forced is None else f"roster {forced}"
        status = f"player {side} ({_MARKS[side]}) to move in {where}"
    lines.append(status)
    return "\n".join(lines) + "\n"


def move_name(cell: int) -> str:
    """``cell 40 (e5)``: a cell's number and its algebraic name, for messages."""
    return f"cell {cell} ({cell_name(cell)})"
