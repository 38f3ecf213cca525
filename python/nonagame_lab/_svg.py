"""The board as an SVG picture, for notebooks and documents."""

from __future__ import annotations

from typing import TYPE_CHECKING

from nonagame_lab._core import CELL_SQUARES

if TYPE_CHECKING:
    from nonagame_lab import Position

CELL = 40  # pixels per cell
GAP = 6  # extra space between rosters
MARGIN = 12
COLORS = {
    "background": "#ffffff",
    "grid": "#b0b7c3",
    "frame": "#2d3748",
    "x": "#d1495b",
    "o": "#00798c",
    "x_won": "#f6d5da",
    "o_won": "#cce6ea",
    "drawn": "#e2e8f0",
    "legal": "#f2c14e",
}


def _origin(index: int) -> float:
    """Left (or top) edge of grid column (or row) index, gaps between rosters included."""
    return MARGIN + index * CELL + (index // 3) * GAP


def _roster_statuses(board: list[int]) -> list[int]:
    """Per roster: 1 or 2 when won, 0 when drawn (full, no line), -1 while open."""
    lines = [(0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6)]
    statuses = []
    for roster in range(9):
        cells = board[9 * roster : 9 * roster + 9]
        status = -1
        for player in (1, 2):
            if any(all(cells[i] == player for i in line) for line in lines):
                status = player
                break
        if status == -1 and all(cells):
            status = 0
        statuses.append(status)
    return statuses


def position_svg(position: Position) -> str:
    """The position as a standalone SVG document: marks, won and drawn rosters shaded,
    legal cells highlighted, thin lines between cells and thick ones between rosters."""
    board = [int(v) for v in position.board]
    legal = set(position.legal_moves)
    size = 2 * MARGIN + 9 * CELL + 2 * GAP
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
        f'viewBox="0 0 {size} {size}">',
        f'<rect width="{size}" height="{size}" fill="{COLORS["background"]}"/>',
    ]
    statuses = _roster_statuses(board)
    for roster, status in enumerate(statuses):
        if status < 0:
            continue
        fill = {1: COLORS["x_won"], 2: COLORS["o_won"], 0: COLORS["drawn"]}[status]
        x, y = _origin(3 * (roster % 3)), _origin(3 * (roster // 3))
        parts.append(
            f'<rect class="roster-{"x" if status == 1 else "o" if status == 2 else "drawn"}" '
            f'x="{x}" y="{y}" width="{3 * CELL}" height="{3 * CELL}" fill="{fill}"/>'
        )
    for cell in range(81):
        row, col = divmod(CELL_SQUARES[cell], 9)
        x, y = _origin(col), _origin(row)
        if cell in legal:
            parts.append(
                f'<rect class="legal" x="{x + 2}" y="{y + 2}" width="{CELL - 4}" height="{CELL - 4}" '
                f'rx="4" fill="{COLORS["legal"]}" fill-opacity="0.55"/>'
            )
        parts.append(
            f'<rect x="{x}" y="{y}" width="{CELL}" height="{CELL}" fill="none" '
            f'stroke="{COLORS["grid"]}" stroke-width="1"/>'
        )
        pad = CELL * 0.22
        if board[cell] == 1:
            parts.append(
                f'<path class="x" d="M{x + pad},{y + pad} L{x + CELL - pad},{y + CELL - pad} '
                f'M{x + CELL - pad},{y + pad} L{x + pad},{y + CELL - pad}" '
                f'stroke="{COLORS["x"]}" stroke-width="4" stroke-linecap="round"/>'
            )
        elif board[cell] == 2:
            parts.append(
                f'<circle class="o" cx="{x + CELL / 2}" cy="{y + CELL / 2}" r="{CELL / 2 - pad}" '
                f'fill="none" stroke="{COLORS["o"]}" stroke-width="4"/>'
            )
    for roster in range(9):
        x, y = _origin(3 * (roster % 3)), _origin(3 * (roster // 3))
        parts.append(
            f'<rect x="{x}" y="{y}" width="{3 * CELL}" height="{3 * CELL}" fill="none" '
            f'stroke="{COLORS["frame"]}" stroke-width="2.5"/>'
        )
    parts.append("</svg>")
    return "\n".join(parts)
