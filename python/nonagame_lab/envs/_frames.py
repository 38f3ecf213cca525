"""The board as an RGB picture (an (H, W, 3) uint8 array), for ``render_mode="rgb_array"``.

Drawn with NumPy in the style of ``Position.svg`` (the same cell size, gaps, colours and
layers, without the caption and the coordinates): won and drawn rosters shaded, legal cells
highlighted, thin lines between cells and thick ones around rosters, X and O marks, the last
move framed and, once a player has won, the winning line. Every pixel's coverage by each
shape is computed from distances, so edges are smooth.

The layers that do not depend on the position (the lines, the shapes of the marks) are
computed once; a frame is then a handful of whole-picture NumPy operations.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from nonagame_lab import Position
from nonagame_lab._svg import BOARD, CELL, COLORS, MARGIN, ROSTER_LINES, _origin
from nonagame_lab.envs._planes import CELL_TO_GRID

FRAME_SIZE = BOARD + 2 * MARGIN  # 396: the board and a margin around it
FloatImage = npt.NDArray[np.float32]


def _rgb(color: str) -> FloatImage:
    return np.array([int(color[i : i + 2], 16) for i in (1, 3, 5)], dtype=np.float32)


_PALETTE = {name: _rgb(value) for name, value in COLORS.items()}
_STROKE = 4.0  # the marks' stroke width
_PAD = CELL * 0.22  # the marks' distance from the cell's edges

# Pixel centres, and for each pixel the cell it lies in (-1 outside every cell) and its
# coordinates inside that cell.
_CENTRES = np.arange(FRAME_SIZE, dtype=np.float32) + 0.5
_CELL_STARTS = np.array([MARGIN + _origin(i) for i in range(9)], dtype=np.float32)


def _axis_cells() -> tuple[npt.NDArray[np.intp], FloatImage]:
    """Per pixel along one axis: the grid index (-1 between cells) and the offset inside."""
    index = np.full(FRAME_SIZE, -1, dtype=np.intp)
    offset = np.zeros(FRAME_SIZE, dtype=np.float32)
    for i, start in enumerate(_CELL_STARTS):
        inside = (_CENTRES >= start) & (_CENTRES < start + CELL)
        index[inside] = i
        offset[inside] = _CENTRES[inside] - start
    return index, offset


_AXIS_INDEX, _AXIS_OFFSET = _axis_cells()
_ROW, _COL = _AXIS_INDEX[:, None], _AXIS_INDEX[None, :]
_INSIDE = (_ROW >= 0) & (_COL >= 0)
# The cell number at each pixel (0 where there is none; _INSIDE tells them apart).
_GRID_CELL = np.argsort(CELL_TO_GRID)
_PIXEL_CELL = np.where(_INSIDE, _GRID_CELL[np.clip(9 * _ROW + _COL, 0, 80)], 0)
_U = np.broadcast_to(_AXIS_OFFSET[None, :], (FRAME_SIZE, FRAME_SIZE))  # x inside the cell
_V = np.broadcast_to(_AXIS_OFFSET[:, None], (FRAME_SIZE, FRAME_SIZE))  # y inside the cell


def _float(values: npt.ArrayLike) -> FloatImage:
    return np.asarray(values, dtype=np.float32)


def _coverage(distance: FloatImage, half_width: float) -> FloatImage:
    """How much of a pixel a stroke of the given half width covers, from the distance of the
    pixel's centre to the stroke's middle (a one-pixel ramp at the edge)."""
    return _float(np.clip(half_width + 0.5 - distance, 0.0, 1.0))


def _segment_distance(x: FloatImage, y: FloatImage, a: tuple[float, float], b: tuple[float, float]) -> FloatImage:
    ax, ay = a
    dx, dy = b[0] - ax, b[1] - ay
    t = np.clip(((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy), 0.0, 1.0)
    return _float(np.hypot(x - ax - t * dx, y - ay - t * dy))


def _box_distance(x: FloatImage, y: FloatImage, x0: float, y0: float, x1: float, y1: float) -> FloatImage:
    """Distance to the outline of the axis-aligned box [x0, x1] x [y0, y1]."""
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2, (y1 - y0) / 2
    qx, qy = np.abs(x - cx) - hx, np.abs(y - cy) - hy
    outside = np.hypot(np.maximum(qx, 0), np.maximum(qy, 0))
    return _float(np.abs(outside + np.minimum(np.maximum(qx, qy), 0)))


def _rounded_box_fill(x: FloatImage, y: FloatImage, x0: float, y0: float, x1: float, y1: float, r: float) -> FloatImage:
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    qx, qy = np.abs(x - cx) - (x1 - x0) / 2 + r, np.abs(y - cy) - (y1 - y0) / 2 + r
    signed = np.hypot(np.maximum(qx, 0), np.maximum(qy, 0)) + np.minimum(np.maximum(qx, qy), 0) - r
    return _float(np.clip(0.5 - signed, 0.0, 1.0))


def _lines(starts: list[tuple[float, tuple[float, float]]], half_width: float) -> FloatImage:
    """Coverage of a picture by axis-aligned lines of the given half width: vertical lines at
    the x of each of starts spanning the rows of the blocks, and horizontal ones alike; the
    blocks are [start, start + span] on both axes, starts given as (position, span) pairs."""
    positions = np.array([p for p, _ in starts], dtype=np.float32)
    distance = np.abs(_CENTRES[:, None] - positions[None, :]).min(axis=1)
    across = _coverage(distance, half_width)  # per pixel along an axis: on a line
    along = np.zeros(FRAME_SIZE, dtype=np.float32)  # per pixel along the other axis: inside a block
    for _, (low, high) in starts:
        along = np.maximum(along, _coverage(np.maximum(low - _CENTRES, _CENTRES - high).clip(0), half_width) *
                           ((_CENTRES > low - half_width - 1) & (_CENTRES < high + half_width + 1)))
    return _float(np.maximum(across[None, :] * along[:, None], across[:, None] * along[None, :]))


def _static_layers() -> dict[str, FloatImage]:
    u, v = _U, _V
    inside = _INSIDE.astype(np.float32)
    x_mark = np.maximum(
        _coverage(_segment_distance(u, v, (_PAD, _PAD), (CELL - _PAD, CELL - _PAD)), _STROKE / 2),
        _coverage(_segment_distance(u, v, (CELL - _PAD, _PAD), (_PAD, CELL - _PAD)), _STROKE / 2),
    )
    ring = np.abs(np.hypot(u - CELL / 2, v - CELL / 2) - (CELL / 2 - _PAD)).astype(np.float32)
    rosters = [float(_CELL_STARTS[3 * k]) for k in range(3)]
    spans = [(start, start + 3 * CELL) for start in rosters]
    cell_lines = [(start + k * CELL, span) for start, span in zip(rosters, spans) for k in range(4)]
    roster_lines = [(edge, span) for span in spans for edge in span]
    return {
        "x": x_mark * inside,
        "o": _coverage(ring, _STROKE / 2) * inside,
        "legal": _rounded_box_fill(u, v, 2, 2, CELL - 2, CELL - 2, 4) * inside * 0.55,
        "last": _coverage(_box_distance(u, v, 1.5, 1.5, CELL - 1.5, CELL - 1.5), 1.5) * inside,
        "grid": _lines(cell_lines, 0.5),
        "frame": _lines(roster_lines, 1.25),
    }


class _Layer:
    """A layer's pixels of nonzero coverage: flat pixel indices, their coverage and the cell
    each lies in, so that a frame paints only those."""

    def __init__(self, alpha: FloatImage) -> None:
        flat = alpha.reshape(-1)
        self.pixels = np.flatnonzero(flat > 0)
        self.alpha = flat[self.pixels][:, None]
        self.cells = _PIXEL_CELL.reshape(-1)[self.pixels]

    def paint(self, image: FloatImage, color: FloatImage, cells: npt.NDArray[np.bool_] | None = None) -> None:
        """Paints color over the flat (pixels, 3) image, only in the given cells if any."""
        pixels, alpha = self.pixels, self.alpha
        if cells is not None:
            chosen = cells[self.cells]
            pixels, alpha = pixels[chosen], alpha[chosen]
        image[pixels] = image[pixels] * (1.0 - alpha) + alpha * color


_LAYERS: dict[str, _Layer] = {}


def _layers() -> dict[str, _Layer]:
    """The layers that do not depend on the position, computed on the first frame."""
    if not _LAYERS:
        _LAYERS.update((name, _Layer(alpha)) for name, alpha in _static_layers().items())
    return _LAYERS


def _roster_statuses(board: npt.NDArray[np.int8]) -> npt.NDArray[np.int8]:
    """Per roster: 1 or 2 when won, 0 when drawn (full without a line), -1 while open."""
    cells = board.reshape(9, 9)
    lines = cells[:, np.array(ROSTER_LINES)]  # (roster, line, 3)
    status = np.full(9, -1, dtype=np.int8)
    for player in (2, 1):
        status[(lines == player).all(axis=2).any(axis=1)] = player
    status[(status == -1) & (cells != 0).all(axis=1)] = 0
    return status


_SHADES = np.stack([_PALETTE["background"], _PALETTE["x_won"], _PALETTE["o_won"], _PALETTE["drawn"]])
_FLAT_CELL = np.where(_INSIDE, _PIXEL_CELL, 81).reshape(-1)  # 81: outside every cell


def render_frame(position: Position, last_move: int | None = None, *, show_legal: bool = True) -> npt.NDArray[np.uint8]:
    """The position as a (396, 396, 3) uint8 picture, in the style of ``Position.svg``.

    last_move: a cell to frame (the move just played), or None. show_legal: highlight the
    cells the side to move may play."""
    board = np.asarray(position.board, dtype=np.int8)
    statuses = _roster_statuses(board)
    # Per cell, its roster's shade (0 background, 1 won by X, 2 won by O, 3 drawn); one more
    # entry, the background, for the pixels outside every cell.
    cell_shade = np.zeros(82, dtype=np.intp)
    cell_shade[:81] = np.select([statuses == 1, statuses == 2, statuses == 0], [1, 2, 3], 0)[np.arange(81) // 9]
    image = np.take(_SHADES, np.take(cell_shade, _FLAT_CELL), axis=0)
    layers = _layers()
    if show_legal and not position.is_over:
        legal = np.zeros(81, dtype=np.bool_)
        legal[position.legal_moves] = True
        layers["legal"].paint(image, _PALETTE["legal"], legal)
    layers["grid"].paint(image, _PALETTE["grid"])
    layers["x"].paint(image, _PALETTE["x"], board == 1)
    layers["o"].paint(image, _PALETTE["o"], board == 2)
    layers["frame"].paint(image, _PALETTE["frame"])
    if last_move is not None and 0 <= last_move <= 80:
        layers["last"].paint(image, _PALETTE["frame"], np.arange(81) == last_move)
    picture = image.reshape(FRAME_SIZE, FRAME_SIZE, 3)
    winner = position.winner if position.is_over else 0
    if winner:
        line = next(line for line in ROSTER_LINES if all(statuses[r] == winner for r in line))
        ends = []
        for roster in (line[0], line[2]):
            row, col = divmod(int(CELL_TO_GRID[9 * roster]), 9)
            ends.append((float(_CELL_STARTS[col]) + 1.5 * CELL, float(_CELL_STARTS[row]) + 1.5 * CELL))
        x, y = np.meshgrid(_CENTRES, _CENTRES)
        alpha = _coverage(_segment_distance(x, y, ends[0], ends[1]), 4.0) * 0.8
        picture[:] = picture * (1.0 - alpha[:, :, None]) + alpha[:, :, None] * _PALETTE["x" if winner == 1 else "o"]
    picture += 0.5  # rounds to nearest on the truncating conversion (every value is >= 0)
    return picture.astype(np.uint8)


def check_render_mode(render_mode: object, known: list[str]) -> None:
    """Refuses a render mode the environment does not draw (the environment's duty: Gymnasium's
    ``make`` only warns about one), naming those it does."""
    if render_mode is not None and render_mode not in known:
        raise ValueError(f"render_mode: expected None or one of {known}, got {render_mode!r}")


def cell_centre(cell: int) -> tuple[int, int]:
    """The (row, column) pixel at the centre of a cell in a frame."""
    row, col = divmod(int(CELL_TO_GRID[cell]), 9)
    return int(_CELL_STARTS[row] + CELL // 2), int(_CELL_STARTS[col] + CELL // 2)
