"""The eight symmetries of the square: their numbering, the group laws, and that they carry
the rules along (legal moves, winner, side to move, moves played) for positions, cells and
per-cell values."""
from __future__ import annotations

import itertools

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from lab_support import PROPERTY, cell_at, grid_square, positions
from nonagame_lab import (SYMMETRY_NAMES, Position, compose_symmetries, inverse_symmetry,
                          transform_cells, transform_policy)

K = range(8)
# What each documented symmetry does to a square (row, col) of the 9 x 9 grid.
SQUARE_MAPS = {
    "identity": lambda r, c: (r, c),
    "rot90": lambda r, c: (c, 8 - r),
    "rot180": lambda r, c: (8 - r, 8 - c),
    "rot270": lambda r, c: (8 - c, r),
    "flip_h": lambda r, c: (r, 8 - c),
    "flip_v": lambda r, c: (8 - r, c),
    "transpose": lambda r, c: (c, r),
    "anti_transpose": lambda r, c: (8 - c, 8 - r),
}


def image(k: int, cell: int) -> int:
    return transform_cells(k, [cell])[0]


@pytest.mark.parametrize("k", K)
def test_symmetries_move_grid_squares_as_named(k):
    assert SYMMETRY_NAMES[k] in SQUARE_MAPS and len(set(SYMMETRY_NAMES)) == 8
    square_map = SQUARE_MAPS[SYMMETRY_NAMES[k]]
    assert transform_cells(k, range(81)) == [cell_at(*square_map(*grid_square(c))) for c in range(81)]


def test_the_symmetries_form_the_group_of_the_square():
    table = [[compose_symmetries(a, b) for b in K] for a in K]
    assert all(sorted(row) == list(K) for row in table)  # closed, a Latin square
    assert all(table[0][k] == k == table[k][0] for k in K)  # identity
    for k in K:
        inverse = inverse_symmetry(k)
        assert table[k][inverse] == 0 == table[inverse][k]
    for a, b, c in itertools.product(K, repeat=3):
        assert table[table[a][b]][c] == table[a][table[b][c]]  # associative
    assert any(table[a][b] != table[b][a] for a, b in itertools.product(K, repeat=2))
    # first, then second: composing agrees with mapping the cells twice.
    cells = list(range(81))
    for a, b in itertools.product(K, repeat=2):
        assert transform_cells(table[a][b], cells) == transform_cells(b, transform_cells(a, cells))
    maps = {tuple(transform_cells(k, cells)) for k in K}
    assert len(maps) == 8 and all(sorted(m) == cells for m in maps)


@PROPERTY
@given(positions)
def test_legal_moves_commute_with_every_transform(p):
    images = p.symmetries()
    assert len(images) == 8 and images[0] == p
    for k in K:
        q = p.transform(k)
        assert images[k] == q
        assert q.legal_moves == sorted(transform_cells(k, p.legal_moves))
        assert q.winner == p.winner and q.to_move == p.to_move and q.is_over == p.is_over
        assert np.array_equal(q.board, transform_policy(k, p.board))
        forced = p.forced_roster
        assert q.forced_roster == (None if forced is None else image(k, 9 * forced) // 9)
        assert q.transform(inverse_symmetry(k)) == p
        assert Position.parse(q.notation) == q


@PROPERTY
@given(positions, st.integers(0, 7), st.integers(0, 7))
def test_transforms_compose_and_commute_with_play(p, a, b):
    assert p.transform(a).transform(b) == p.transform(compose_symmetries(a, b))
    for cell in p.legal_moves[:5]:
        assert p.play(cell).transform(a) == p.transform(a).play(image(a, cell))


def test_symmetric_positions_share_no_key_by_accident():
    """A position with no symmetry has eight distinct images with eight distinct keys;
    the opening is fixed by all eight."""
    p = Position.from_moves([0, 1, 9, 2])
    assert len({q.key for q in p.symmetries()}) == 8 and len(set(p.symmetries())) == 8
    assert set(Position().symmetries()) == {Position()}


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int8, np.int64, np.bool_])
@pytest.mark.parametrize("k", K)
def test_transform_policy_agrees_with_transform_cells(k, dtype):
    rng = np.random.default_rng(k)
    values = (rng.random(81) * 100).astype(dtype)
    out = transform_policy(k, values)
    assert out.dtype == values.dtype and out.shape == (81,)
    assert all(out[image(k, c)] == values[c] for c in range(81))
    assert np.array_equal(transform_policy(inverse_symmetry(k), out), values)
    # A batch of policies on the last axis; the input is left alone.
    batch = rng.random((3, 2, 81)).astype(dtype)
    kept = batch.copy()
    mapped = transform_policy(k, batch)
    assert mapped.shape == batch.shape and np.array_equal(batch, kept)
    assert all(np.array_equal(mapped[i, j], transform_policy(k, batch[i, j])) for i in range(3) for j in range(2))
    assert np.array_equal(transform_policy(k, list(values)), out)


@pytest.mark.parametrize("call, error", [
    (lambda: transform_policy(8, np.zeros(81)), ValueError),
    (lambda: transform_policy(-1, np.zeros(81)), ValueError),
    (lambda: transform_policy(True, np.zeros(81)), TypeError),
    (lambda: transform_policy(1.0, np.zeros(81)), TypeError),
    (lambda: transform_policy(0, np.zeros(80)), ValueError),
    (lambda: transform_policy(0, np.zeros((81, 2))), ValueError),
    (lambda: transform_policy(0, 1.0), ValueError),
    (lambda: transform_cells(8, [0]), ValueError),
    (lambda: transform_cells(0, [81]), ValueError),
    (lambda: transform_cells(0, [-1]), ValueError),
    (lambda: transform_cells(0, ["a9"]), TypeError),
    (lambda: transform_cells(0, 5), TypeError),
    (lambda: transform_cells(0), TypeError),
    (lambda: inverse_symmetry(8), ValueError),
    (lambda: inverse_symmetry(2**64), ValueError),
    (lambda: inverse_symmetry("1"), TypeError),
    (lambda: compose_symmetries(0, 8), ValueError),
    (lambda: compose_symmetries(0, None), TypeError),
    (lambda: compose_symmetries(0), TypeError),
    (lambda: Position().transform(8), ValueError),
    (lambda: Position().transform(-1), ValueError),
])
def test_bad_symmetry_arguments(call, error):
    with pytest.raises(error):
        call()


def test_symmetry_arguments_accept_integer_types():
    assert transform_cells(np.int64(1), np.arange(3)) == transform_cells(1, [0, 1, 2])
    assert inverse_symmetry(np.uint8(1)) == 3 and compose_symmetries(np.int16(1), 1) == 2
    assert transform_cells(3, ()) == []
