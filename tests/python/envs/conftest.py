"""Helpers shared by the environment tests: a reference for the observation planes built from
the cells' algebraic names (file a..i left to right, rank 9..1 top to bottom), independent of
the grid tables the environments use."""
import numpy as np

import nonagame_lab


def grid_square(cell):
    name = nonagame_lab.cell_name(cell)
    return 9 - int(name[1]), "abcdefghi".index(name[0])


def reference_planes(position, player, legal=True):
    planes = np.zeros((9, 9, 3), dtype=np.int8)
    for cell in range(81):
        row, col = grid_square(cell)
        mark = int(position.board[cell])
        if mark:
            planes[row, col, 0 if mark == player else 1] = 1
    if legal and position.to_move == player and not position.is_over:
        for cell in position.legal_moves:
            planes[(*grid_square(cell), 2)] = 1
    return planes


def reference_mask(position, player=None):
    mask = np.zeros(81, dtype=np.int8)
    if not position.is_over and (player is None or position.to_move == player):
        mask[position.legal_moves] = 1
    return mask


def random_game_moves(seed, length=None):
    """The cells of a random game (or of its first ``length`` moves)."""
    rng = np.random.default_rng(seed)
    position = nonagame_lab.Position()
    moves = []
    while not position.is_over and (length is None or len(moves) < length):
        cell = int(rng.choice(position.legal_moves))
        moves.append(cell)
        position = position.play(cell)
    return moves


def illegal_cell(position):
    """A cell on the board that is not legal in the position (occupied or in the wrong roster)."""
    legal = set(position.legal_moves)
    return next(cell for cell in range(81) if cell not in legal)
