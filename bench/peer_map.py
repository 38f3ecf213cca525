"""Moves and positions between nonagame and the peer's ultimate_tic_tac_toe (OpenSpiel).

The peer numbers its nine local boards and the cells inside each row by row (board
3 * meta_row + meta_col, cell 3 * local_row + local_col), like nonagame's rosters and their
positions, so our cell c is the peer's cell c % 9 of board c // 9. A move of the peer is one
action (the cell) when its local board is forced, and two actions (the board, then the cell)
when the mover chooses the board: after a move into a position whose board is won or full,
even when only one board is left open. Its player 0 is our player 1 (x).

tests/python/test_bench_peer_map.py replays random games in both and checks that boards,
legal moves, side to move and results agree at every move.
"""
from __future__ import annotations

_FREE = "Forced board: any"
_FORCED = "Forced board: "


def cell_of(board: int, cell: int) -> int:
    return 9 * board + cell


def split(cell: int) -> tuple[int, int]:
    """Our cell as the peer's (board, cell)."""
    return divmod(cell, 9)


def _text(state) -> str:
    return str(state)


def chooses_board(state) -> bool:
    """True when the peer's next action picks a local board (a free choice)."""
    return not state.is_terminal() and _text(state).rstrip().endswith(_FREE)


def forced_board(state) -> int | None:
    """The peer's current local board, or None when the mover picks one (or the game is over)."""
    if state.is_terminal():
        return None
    tail = _text(state).rstrip().rsplit("\n", 1)[-1]
    if tail == _FREE or not tail.startswith(_FORCED):
        return None
    return int(tail[len(_FORCED):])


def actions_for(state, cell: int) -> list[int]:
    """The peer's actions that play our cell from a state at the start of a move."""
    board, inner = split(cell)
    if chooses_board(state):
        return [board, inner]
    forced = forced_board(state)
    if forced != board:
        raise ValueError(f"cell {cell} is on board {board}, but the peer is forced to board {forced}")
    return [inner]


def play(state, cell: int) -> None:
    """Plays our cell on the peer's state (one or two actions)."""
    for action in actions_for(state, cell):
        state.apply_action(action)


def state_after(game, cells) -> object:
    """A new peer state after our cells, played from the opening."""
    state = game.new_initial_state()
    for cell in cells:
        play(state, cell)
    return state


def legal_cells(state) -> list[int]:
    """Our legal cells for the peer's state at the start of a move, ascending."""
    if state.is_terminal():
        return []
    if chooses_board(state):
        cells = []
        for board in state.legal_actions():
            child = state.clone()
            child.apply_action(board)
            cells += [cell_of(board, inner) for inner in child.legal_actions()]
        return sorted(cells)
    board = forced_board(state)
    return sorted(cell_of(board, inner) for inner in state.legal_actions())


def grid_marks(state) -> list[int]:
    """The 81 cells of the peer's board in our cell order: 0 empty, 1 x, 2 o."""
    rows = [line for line in _text(state).split("\n\n" + "Current player")[0].splitlines() if line.strip()]
    if len(rows) != 9:
        raise ValueError(f"unexpected board text from the peer: {rows!r}")
    marks = [0] * 81
    for r, line in enumerate(rows):
        cells = line.replace(" ", "")
        for c, char in enumerate(cells):
            board = (r // 3) * 3 + c // 3
            inner = (r % 3) * 3 + c % 3
            marks[cell_of(board, inner)] = {"x": 1, "o": 2}.get(char, 0)
    return marks


def to_move(state) -> int:
    """Our player id (1 or 2) of the peer's player to move."""
    return state.current_player() + 1


def winner(state) -> int:
    """Our winner of a finished peer game: 1, 2 or 0 for a draw."""
    returns = state.returns()
    if returns[0] > 0:
        return 1
    if returns[1] > 0:
        return 2
    return 0
