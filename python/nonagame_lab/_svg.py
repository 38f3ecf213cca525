"""The board as an SVG picture, for notebooks and documents."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

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


# Bands around the board: file letters below it and rank numbers to its left when
# coordinates are drawn, and a caption above it (the side to move, or the result).
LABEL = 18
CAPTION = 26
HEAT = "#6b46c1"  # policy heat map
GOOD, BAD = "#2f855a", "#c53030"  # values: good and bad for the player to move
ROSTER_LINES = [(0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6)]


def _origin(index: int) -> float:
    """Offset of grid column (or row) index from the board's top-left corner, gaps between
    rosters included."""
    return index * CELL + (index // 3) * GAP


BOARD = 9 * CELL + 2 * GAP  # the board's width and height


def _grid_square(cell: int) -> tuple[int, int]:
    """The (row, column) where a person sees cell: roster 0 top left, its place 0 top left."""
    roster, place = divmod(cell, 9)
    return 3 * (roster // 3) + place // 3, 3 * (roster % 3) + place % 3


def _board_origin(coordinates: bool) -> tuple[float, float]:
    return MARGIN + (LABEL if coordinates else 0), MARGIN + CAPTION


def cell_origin(cell: int, coordinates: bool = True) -> tuple[float, float]:
    """The top-left corner of cell in the picture."""
    left, top = _board_origin(coordinates)
    row, col = _grid_square(cell)
    return left + _origin(col), top + _origin(row)


def picture_size(coordinates: bool = True) -> tuple[int, int]:
    """Width and height of the picture."""
    label = LABEL if coordinates else 0
    return 2 * MARGIN + label + BOARD, 2 * MARGIN + CAPTION + BOARD + label


def _roster_statuses(board: list[int]) -> list[int]:
    """Per roster: 1 or 2 when won, 0 when drawn (full, no line), -1 while open."""
    statuses = []
    for roster in range(9):
        cells = board[9 * roster : 9 * roster + 9]
        status = -1
        for player in (1, 2):
            if any(all(cells[i] == player for i in line) for line in ROSTER_LINES):
                status = player
                break
        if status == -1 and all(cells):
            status = 0
        statuses.append(status)
    return statuses


def _per_cell(name: str, values: Any) -> list[float] | None:
    """81 finite numbers from an array-like, or None; refuses anything else with ValueError."""
    if values is None:
        return None
    array = np.asarray(values, dtype=np.float64) if not isinstance(values, (str, bytes)) else None
    if array is None or array.shape != (81,):
        shape = "a string" if array is None else f"shape {array.shape}"
        raise ValueError(f"argument '{name}': expected 81 numbers, one per cell, got {shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"argument '{name}': expected finite numbers, got {array[~np.isfinite(array)][0]}")
    return [float(v) for v in array]


def _opacity(fraction: float) -> str:
    return f"{0.85 * min(max(fraction, 0.0), 1.0):.3f}"


def position_svg(
    position: Position,
    policy: Any = None,
    values: Any = None,
    last_move: int | None = None,
    coordinates: bool = True,
) -> str:
    """The position as a standalone SVG document: marks, won and drawn rosters shaded, legal
    cells highlighted, thin lines between cells and thick ones between rosters, the side to
    move (or the result, with the winning line) above the board.

    policy: 81 non-negative numbers (a move distribution, say) drawn as a heat map over the
    cells, with each share of at least 1% written in its cell. values: 81 numbers in [-1, 1]
    for the player to move, drawn green (good) to red (bad) when no policy is given, else
    written in the cells. last_move: a cell to mark. coordinates: files a-i below the board
    and ranks 1-9 to its left, as in the notation."""
    heat = _per_cell("policy", policy)
    if heat is not None and min(heat) < 0:
        raise ValueError(f"argument 'policy': expected numbers >= 0, got {min(heat)}")
    shade = _per_cell("values", values)
    if last_move is not None and (isinstance(last_move, bool) or not isinstance(last_move, (int, np.integer))
                                  or not 0 <= last_move <= 80):
        raise ValueError(f"argument 'last_move': expected a cell in 0..80 or None, got {last_move!r}")
    board = [int(v) for v in position.board]
    legal = set(position.legal_moves)
    width, height = picture_size(coordinates)
    left, top = _board_origin(coordinates)
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif">',
        f'<rect width="{width}" height="{height}" fill="{COLORS["background"]}"/>',
    ]
    statuses = _roster_statuses(board)
    for roster, status in enumerate(statuses):
        if status < 0:
            continue
        fill = {1: COLORS["x_won"], 2: COLORS["o_won"], 0: COLORS["drawn"]}[status]
        x, y = left + _origin(3 * (roster % 3)), top + _origin(3 * (roster // 3))
        parts.append(
            f'<rect class="roster-{"x" if status == 1 else "o" if status == 2 else "drawn"}" '
            f'x="{x}" y="{y}" width="{3 * CELL}" height="{3 * CELL}" fill="{fill}"/>'
        )
    peak = max(heat) if heat is not None and max(heat) > 0 else 1.0
    for cell in range(81):
        x, y = cell_origin(cell, coordinates)
        if heat is not None:
            if heat[cell] > 0:
                parts.append(
                    f'<rect class="policy" x="{x}" y="{y}" width="{CELL}" height="{CELL}" '
                    f'fill="{HEAT}" fill-opacity="{_opacity(heat[cell] / peak)}"/>'
                )
        elif shade is not None and board[cell] == 0:
            parts.append(
                f'<rect class="value" x="{x}" y="{y}" width="{CELL}" height="{CELL}" '
                f'fill="{GOOD if shade[cell] >= 0 else BAD}" fill-opacity="{_opacity(abs(shade[cell]))}"/>'
            )
        if cell in legal:
            if heat is None and shade is None:
                parts.append(
                    f'<rect class="legal" x="{x + 2}" y="{y + 2}" width="{CELL - 4}" height="{CELL - 4}" '
                    f'rx="4" fill="{COLORS["legal"]}" fill-opacity="0.55"/>'
                )
            else:
                parts.append(
                    f'<rect class="legal" x="{x + 2}" y="{y + 2}" width="{CELL - 4}" height="{CELL - 4}" '
                    f'rx="4" fill="none" stroke="{COLORS["legal"]}" stroke-width="2"/>'
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
        else:
            label = None
            if heat is not None and heat[cell] / (sum(heat) or 1) >= 0.01:
                label = f"{100 * heat[cell] / sum(heat):.0f}%"
            if shade is not None and heat is not None and cell in legal:
                label = f"{shade[cell]:+.2f}"
            if label is not None:
                dark = heat is not None and heat[cell] / peak > 0.55  # white on the deep shades
                parts.append(
                    f'<text class="cell-label" x="{x + CELL / 2}" y="{y + CELL / 2 + 4}" font-size="11" '
                    f'text-anchor="middle" fill="{"#ffffff" if dark else COLORS["frame"]}">{label}</text>'
                )
    for roster in range(9):
        x, y = left + _origin(3 * (roster % 3)), top + _origin(3 * (roster // 3))
        parts.append(
            f'<rect x="{x}" y="{y}" width="{3 * CELL}" height="{3 * CELL}" fill="none" '
            f'stroke="{COLORS["frame"]}" stroke-width="2.5"/>'
        )
    if last_move is not None:
        x, y = cell_origin(int(last_move), coordinates)
        parts.append(
            f'<rect class="last-move" x="{x + 1.5}" y="{y + 1.5}" width="{CELL - 3}" height="{CELL - 3}" '
            f'fill="none" stroke="{COLORS["frame"]}" stroke-width="3"/>'
        )
    winner = position.winner if position.is_over else 0
    if winner:
        line = next(line for line in ROSTER_LINES if all(statuses[r] == winner for r in line))
        ends = [(left + _origin(3 * (r % 3)) + 1.5 * CELL, top + _origin(3 * (r // 3)) + 1.5 * CELL)
                for r in (line[0], line[2])]
        parts.append(
            f'<line class="winning-line" x1="{ends[0][0]}" y1="{ends[0][1]}" x2="{ends[1][0]}" y2="{ends[1][1]}" '
            f'stroke="{COLORS["x" if winner == 1 else "o"]}" stroke-width="8" stroke-linecap="round" '
            f'stroke-opacity="0.8"/>'
        )
    if position.is_over:
        caption = f'{"x" if winner == 1 else "o"} wins' if winner else "draw"
    else:
        caption = f'{"x" if position.to_move == 1 else "o"} to move'
    parts.append(
        f'<text class="caption" x="{left + BOARD / 2}" y="{MARGIN + CAPTION - 8}" font-size="16" '
        f'text-anchor="middle" fill="{COLORS["frame"]}">{caption}</text>'
    )
    if coordinates:
        for index in range(9):
            centre = _origin(index) + CELL / 2
            parts.append(
                f'<text class="file" x="{left + centre}" y="{top + BOARD + LABEL - 4}" font-size="12" '
                f'text-anchor="middle" fill="{COLORS["frame"]}">{"abcdefghi"[index]}</text>'
            )
            parts.append(
                f'<text class="rank" x="{left - LABEL / 2}" y="{top + centre + 4}" font-size="12" '
                f'text-anchor="middle" fill="{COLORS["frame"]}">{9 - index}</text>'
            )
    parts.append("</svg>")
    return "\n".join(parts)
