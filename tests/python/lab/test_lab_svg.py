"""The SVG picture of a position, drawn by a real browser: headless Chromium screenshots it
and the pixels are checked cell by cell (marks, legal cells, won and drawn rosters)."""
from __future__ import annotations

import os
import struct
import subprocess
import xml.etree.ElementTree as ElementTree
import zlib

import numpy as np
import pytest

from lab_support import grid_square, random_line, roster_statuses
from nonagame_lab import Position, _svg

Pixel = tuple[int, int, int]


def decode_png(data: bytes) -> tuple[int, int, list[bytes]]:
    """Width, height and RGB rows of an 8-bit RGB or RGBA, non-interlaced PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, at = {}, 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        chunks.setdefault(kind, []).append(data[at + 8:at + 8 + length])
        at += 12 + length
    width, height, depth, color, _, _, interlace = struct.unpack(">IIBBBBB", chunks[b"IHDR"][0])
    assert depth == 8 and color in (2, 6) and interlace == 0, (depth, color, interlace)
    bpp = 3 if color == 2 else 4
    raw = zlib.decompress(b"".join(chunks[b"IDAT"]))
    stride = width * bpp
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - bpp] if i >= bpp else 0
            up, corner = previous[i], previous[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                guess = left + up - corner
                pa, pb, pc = abs(guess - left), abs(guess - up), abs(guess - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF
        previous = line
        rows.append(bytes(line) if bpp == 3 else bytes(b for i, b in enumerate(line) if i % 4 != 3))
    return width, height, rows


def rgb(color: str) -> Pixel:
    return int(color[1:3], 16), int(color[3:5], 16), int(color[5:7], 16)


def near(pixel: Pixel, color: Pixel, tolerance: int = 24) -> bool:
    return max(abs(a - b) for a, b in zip(pixel, color)) <= tolerance


def blend_of(pixel: Pixel, over: Pixel, under: Pixel) -> float | None:
    """The opacity at which `over` painted on `under` gives pixel, or None when it is not
    such a blend."""
    channel = max(range(3), key=lambda c: abs(over[c] - under[c]))
    alpha = (pixel[channel] - under[channel]) / (over[channel] - under[channel])
    mixed = tuple(round(alpha * o + (1 - alpha) * u) for o, u in zip(over, under))
    return alpha if near(pixel, mixed, 8) else None


def showcase() -> Position:
    """A running game with a roster won by each player, a drawn roster, and a choice of
    several legal cells."""
    for seed in range(10_000):
        moves, final = random_line(seed)
        for plies in range(len(moves) - 1, 0, -1):
            p = Position.from_moves(moves[:plies])
            statuses = roster_statuses(p.board.tolist())
            if {0, 1, 2} <= set(statuses) and len(p.legal_moves) >= 4:
                return p
    raise AssertionError("no position with won and drawn rosters found")


def shoot(chromium: str, svg: str, folder):
    """Chromium's screenshot of svg: a function from picture coordinates to the pixel, and
    the rows."""
    root = ElementTree.fromstring(svg)  # well-formed XML
    width, height = int(float(root.get("width"))), int(float(root.get("height")))
    (folder / "position.svg").write_text(svg)
    command = [chromium, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars",
               "--force-device-scale-factor=1", f"--user-data-dir={folder / 'profile'}",
               f"--screenshot={folder / 'shot.png'}", f"--window-size={width},{height}",
               (folder / "position.svg").as_uri()]
    # The browser is not ours: it runs without a sanitizer runtime that a sanitized test run
    # preloads into this process.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(command, capture_output=True, timeout=180, check=True, env=env)
    shot_width, shot_height, rows = decode_png((folder / "shot.png").read_bytes())
    assert (shot_width, shot_height) == (width, height)

    def pixel(x: float, y: float) -> Pixel:
        at = 3 * int(x)
        return tuple(rows[int(y)][at:at + 3])

    return pixel, rows


@pytest.fixture(scope="module")
def screenshot(chromium, tmp_path_factory):
    p = showcase()
    svg = p.to_svg()
    assert svg == p._repr_svg_()
    pixel, rows = shoot(chromium, svg, tmp_path_factory.mktemp("svg"))
    return p, pixel, rows


def cell_box(cell: int) -> tuple[float, float]:
    """Top-left corner of a cell in the picture."""
    assert _svg._grid_square(cell) == grid_square(cell)
    return _svg.cell_origin(cell)


def test_the_picture_is_not_blank(screenshot):
    _, _, rows = screenshot
    pixels = {row[i:i + 3] for row in rows for i in range(0, len(row), 3)}
    assert len(pixels) > 20
    white = sum(row.count(b"\xff\xff\xff") for row in rows)
    assert 0.2 < white / (len(rows) * len(rows[0]) / 3) < 0.95


def test_marks_are_drawn_in_their_cells(screenshot):
    p, pixel, _ = screenshot
    x_color, o_color = rgb(_svg.COLORS["x"]), rgb(_svg.COLORS["o"])
    half = _svg.CELL / 2
    for cell, value in enumerate(p.board.tolist()):
        left, top = cell_box(cell)
        centre = pixel(left + half, top + half)
        ring = [pixel(left + half + d, top + half) for d in range(int(half))]
        if value == 1:
            assert near(centre, x_color), (cell, centre)
        elif value == 2:
            assert not near(centre, o_color) and any(near(q, o_color) for q in ring), (cell, centre)
        else:
            assert not any(near(q, x_color) or near(q, o_color) for q in ring), cell


def test_legal_cells_won_and_drawn_rosters_are_shaded(screenshot):
    p, pixel, _ = screenshot
    background = rgb(_svg.COLORS["background"])
    shades = {1: rgb(_svg.COLORS["x_won"]), 2: rgb(_svg.COLORS["o_won"]), 0: rgb(_svg.COLORS["drawn"])}
    legal_color = rgb(_svg.COLORS["legal"])
    statuses = roster_statuses(p.board.tolist())
    legal = set(p.legal_moves)
    for cell in range(81):
        left, top = cell_box(cell)
        status = statuses[cell // 9]
        inside = pixel(left + 5, top + 5)  # clear of the grid lines and of the marks
        if status >= 0:
            assert near(inside, shades[status], 6), (cell, status, inside)
        elif cell in legal:
            alpha = blend_of(inside, legal_color, background)
            assert alpha is not None and alpha > 0.2, (cell, inside)
        else:
            assert near(inside, background, 6), (cell, inside)


def test_policy_heat_map_and_last_move(chromium, tmp_path):
    """The heat map's opacity follows the policy, cells it gives nothing stay clear, and the
    last move is framed."""
    p = showcase()
    legal = p.legal_moves
    policy = np.zeros(81)
    policy[legal] = np.linspace(1.0, 0.1, len(legal))
    last = int(np.flatnonzero(p.board)[0])
    pixel, _ = shoot(chromium, p.to_svg(policy=policy, last_move=last), tmp_path)
    heat, background = rgb(_svg.HEAT), rgb(_svg.COLORS["background"])
    statuses = roster_statuses(p.board.tolist())
    for cell in legal:
        left, top = cell_box(cell)
        alpha = blend_of(pixel(left + 8, top + 8), heat, background)
        assert alpha is not None and abs(alpha - 0.85 * policy[cell]) < 0.05, (cell, alpha)
    clear = [c for c in range(81) if c not in legal and p.board[c] == 0 and statuses[c // 9] < 0]
    for cell in clear:
        left, top = cell_box(cell)
        assert near(pixel(left + 8, top + 8), background, 6), cell
    left, top = cell_box(last)
    assert near(pixel(left + 2.5, top + CELL_MIDDLE), rgb(_svg.COLORS["frame"]), 40)


CELL_MIDDLE = _svg.CELL / 2


def test_a_won_game_draws_its_winning_line_and_result():
    for seed in range(200):
        moves, final = random_line(seed)
        if final.winner:
            break
    svg = final.to_svg()
    root = ElementTree.fromstring(svg)
    ns = "{http://www.w3.org/2000/svg}"
    (line,) = [e for e in root.iter(f"{ns}line") if e.get("class") == "winning-line"]
    statuses = roster_statuses(final.board.tolist())
    ends = []
    for x, y in ((line.get("x1"), line.get("y1")), (line.get("x2"), line.get("y2"))):
        # The line ends at the centres of won rosters: the centre cell of each.
        cell = next(c for c in range(81) if c % 9 == 4 and abs(_svg.cell_origin(c)[0] + CELL_MIDDLE - float(x)) < 1
                    and abs(_svg.cell_origin(c)[1] + CELL_MIDDLE - float(y)) < 1)
        ends.append(cell // 9)
    assert all(statuses[r] == final.winner for r in ends) and ends[0] != ends[1]
    captions = [e.text for e in root.iter(f"{ns}text") if e.get("class") == "caption"]
    assert captions == [f"{'x' if final.winner == 1 else 'o'} wins"]
    files = [e.text for e in root.iter(f"{ns}text") if e.get("class") == "file"]
    assert files == list("abcdefghi") and "file" not in final.to_svg(coordinates=False)


@pytest.mark.parametrize("kwargs, text", [
    ({"policy": np.ones(80)}, "argument 'policy': expected 81 numbers"),
    ({"policy": -np.ones(81)}, "argument 'policy': expected numbers >= 0"),
    ({"values": [float("nan")] * 81}, "argument 'values': expected finite numbers"),
    ({"last_move": 81}, "argument 'last_move': expected a cell in 0..80"),
    ({"last_move": True}, "argument 'last_move': expected a cell in 0..80"),
])
def test_bad_picture_arguments_are_refused(kwargs, text):
    with pytest.raises(ValueError, match=text):
        Position().to_svg(**kwargs)
