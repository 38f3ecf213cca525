"""A plain, slow model of the rules, written independently of the engine, that the
tests compare the module against."""

LINES = [(0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6)]
ANY = 10


class Model:
    def __init__(self):
        self.board = [0] * 81
        self.rosters = [-1] * 9
        self.available = set(range(81))
        self.next_player = 1
        self.next_roster = ANY
        self.winner = 0

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
        return bool(self.available)
