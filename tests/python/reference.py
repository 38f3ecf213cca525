"""A plain, slow model of the rules, written independently of the engine, that the
tests compare the module against: moves, saved positions, positions rebuilt from a
snapshot's arrays, and the text forms of games, checkpoints and snapshots."""
from dataclasses import dataclass

LINES = [(0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6)]
ANY = 10


def has_line(values, player):
    return any(all(values[p] == player for p in line) for line in LINES)


def winner_of_rosters(rosters):
    """The player owning three rosters in a line, player 1 looked at first; else 0."""
    return next((p for p in (1, 2) if has_line(rosters, p)), 0)


@dataclass
class Saved:
    """A saved position: what a checkpoint holds."""
    board: list
    rosters: list
    available: set
    next_player: int
    next_roster: int

    def text(self):
        rosters = ", ".join(str(s) for s in self.rosters)
        return (render_board(self.board, self.rosters) + f"\nnext player: {self.next_player}"
                f"\nnext roster: {self.next_roster}\nrosters: [{rosters}]\nodds: [-1.0, -1.0, -1.0]")


class Model:
    def __init__(self):
        self.board = [0] * 81
        self.rosters = [-1] * 9
        self.available = set(range(81))
        self.next_player = 1
        self.next_roster = ANY
        self.winner = 0
        self.finished = False

    def save(self):
        return Saved(list(self.board), list(self.rosters), set(self.available), self.next_player,
                     self.next_roster)

    def load(self, saved):
        """Loading keeps nothing of the game's position; finished and winner follow the
        loaded position."""
        self.board, self.rosters = list(saved.board), list(saved.rosters)
        self.available = set(saved.available)
        self.next_player, self.next_roster = saved.next_player, saved.next_roster
        self.finished = not self.available
        self.winner = winner_of_rosters(self.rosters)

    def render(self):
        return render_board(self.board, self.rosters)

    def outcome(self, cell, player):
        """What make_move(cell, player) does, for byte values: ("refuse", message),
        ("fault", text) or ("play", None)."""
        if player != self.next_player or not self.available:
            return "refuse", self.refusal(0, player)
        index = cell & 0xFF
        if index >= 81:
            return "fault", f"index out of bounds: the len is 81 but the index is {index}"
        message = self.refusal(index, player)
        return ("refuse", message) if message else ("play", None)

    def legal(self):
        r = self.next_roster
        if 0 <= r <= 8 and self.rosters[r] == -1:
            return sorted(c for c in self.available if c // 9 == r)
        return sorted(self.available)

    def refusal(self, cell, player):
        """The engine's message for a refused move, or None when the move is allowed."""
        if player != self.next_player:
            return f"Expected player: {self.next_player}, but got player {player}"
        if not self.available:
            return "THIS GAME IS ALREADY OVER"
        if self.next_roster == ANY and not any(self.board):
            return None
        if self.board[cell] > 0:
            return "THIS CELL ALREADY CONTAINS INPUT"
        if self.rosters[cell // 9] > 0:
            return "THIS ROSTER IS ALREADY COMPLETE"
        r = self.next_roster
        if 0 <= r <= 8 and cell // 9 != r and self.rosters[r] == -1:
            return f"Wrong roster! You have to play in roster {r + 1}"
        return None

    def play(self, cell, player):
        """Applies an allowed move; returns whether cells remain."""
        opening = self.next_roster == ANY and not any(self.board)
        self.board[cell] = player
        self.available.discard(cell)
        self.next_player = 3 - player
        self.next_roster = cell % 9
        if not opening:
            r = cell // 9
            cells = self.board[9 * r: 9 * r + 9]
            if any(all(cells[p] == player for p in line) for line in LINES):
                self.rosters[r] = player
                self.available -= set(range(9 * r, 9 * r + 9))
            elif not any(9 * r <= c < 9 * r + 9 for c in self.available):
                self.rosters[r] = 0
            if any(all(self.rosters[q] == player for q in line) for line in LINES):
                self.winner = player
                self.available.clear()
        self.finished = self.finished or not self.available
        return bool(self.available)


def from_position(values, next_player, next_roster):
    """The position State.to_checkpoint rebuilds from board values (1 and 2 are marks,
    anything else an empty cell), the snapshot's player and the forced roster."""
    board = [v if v in (1, 2) else 0 for v in values]
    available = {c for c in range(81) if board[c] == 0}
    rosters = []
    for r in range(9):
        cells = set(range(9 * r, 9 * r + 9))
        status = next((p for p in (1, 2) if has_line(board[9 * r: 9 * r + 9], p)), -1)
        if status > 0:
            available -= cells
        elif not available & cells:
            status = 0
        rosters.append(status)
    if winner_of_rosters(rosters):
        available = set()
    return Saved(board, rosters, available, next_player, next_roster)


MARKS = {0: "   ", 1: " O ", 2: " X "}
LIGHT_RULE = "┃".join(["───┼───┼───"] * 3)
HEAVY_RULE = "╋".join(["━" * 11] * 3)


def render_board(board, rosters):
    """str(game): the box-drawing grid; a won roster is drawn filled with its owner's mark."""
    lines = []
    for band in range(3):
        for row in range(3):
            pieces = []
            for r in range(3 * band, 3 * band + 3):
                cells = [board[9 * r + 3 * row + p] if rosters[r] <= 0 else rosters[r] for p in range(3)]
                pieces.append("│".join(MARKS[v] for v in cells))
            lines.append("┃".join(pieces))
            if row < 2:
                lines.append(LIGHT_RULE)
            elif band < 2:
                lines.append(HEAVY_RULE)
    return "\n".join(lines)


def state_text(values, player, moves_text):
    """str(state) for board values in cell order, with NumPy's text of possible_moves."""
    lines = []
    for row in range(9):
        cells = [27 * (row // 3) + 9 * (c // 3) + 3 * (row % 3) + c % 3 for c in range(9)]
        lines.append("".join(("┃" if c % 3 == 0 else "│") * (c > 0) + f" {values[cell]} "
                             for c, cell in enumerate(cells)))
        if row < 8:
            lines.append(HEAVY_RULE if row % 3 == 2 else LIGHT_RULE)
    return "Board:\n" + "\n".join(lines) + f"\n\nNext Player: {player}\n\nPossible Moves: {moves_text}\n"
