"""Argument handling shared by the lab's callables: optional and keyword-only parameters,
keywords matched whatever string object spells them, one text for cells off the board,
and the limits that _core exports."""
from __future__ import annotations

import pytest

from nonagame_lab import Position, VectorGames, cell_name, playouts, transform_cells
from nonagame_lab._core import CELL_COUNT, MAX_THREADS, MIN_POOL_NODES, Searcher
from nonagame_lab.ugi import SearchThinker


def fresh(name: str) -> str:
    """A str equal to name but not the interned object that Python source uses."""
    built = "".join(list(name))
    assert built == name and (built is not name or len(name) < 2)
    return built


# (call, keyword arguments it takes, how many of them may be positional)
CALLS = [
    (lambda *a, **k: playouts(Position(), 20, *a, **k), {"seed": 3, "threads": 2}, 0),
    (lambda *a, **k: list(VectorGames(2, *a, **k).boards.ravel()), {"seed": 3, "threads": 1}, 0),
    (lambda *a, **k: Position(*a, **k).key, {"notation": Position().play(40).notation}, 1),
    (lambda *a, **k: str(Position().play(40).to_game(*a, **k)), {"game_id": 7}, 1),
    (lambda *a, **k: Searcher(*a, **k).pool_capacity, {"pool_nodes": 1000, "threads": 1}, 0),
]


@pytest.mark.parametrize("call, keywords, positional", CALLS)
def test_keywords_optional_and_keyword_only_parameters(call, keywords, positional):
    expected = call(**keywords)
    assert call(**{fresh(name): value for name, value in keywords.items()}) == expected
    assert call(*list(keywords.values())[:positional], **dict(list(keywords.items())[positional:])) == expected
    call()  # every keyword is optional
    first = next(iter(keywords))
    with pytest.raises(TypeError, match="positional argument"):
        call(*keywords.values(), None)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'sede'$"):
        call(sede=1)
    if positional:
        with pytest.raises(TypeError, match=f"got multiple values for argument '{first}'"):
            call(keywords[first], **{first: keywords[first]})


@pytest.mark.parametrize("cell", [CELL_COUNT, -1, 2**70, -(2**70)])
@pytest.mark.parametrize("call, prefix", [
    (lambda c: Position().play(c), ""),
    (cell_name, ""),
    (lambda c: transform_cells(0, [c]), "argument 'cells': "),
    (lambda c: Position.from_moves([c]), "move 0 \\(cell -?\\d+\\): "),
])
def test_cells_off_the_board_are_refused_with_one_text(call, prefix, cell):
    with pytest.raises(ValueError, match=f"^{prefix}cell must be 0\\.\\.80, got {cell}$"):
        call(cell)


@pytest.mark.parametrize("cell", [CELL_COUNT, -1, 2**70])
def test_the_searcher_refuses_cells_with_the_same_text(cell):
    searcher = Searcher(pool_nodes=MIN_POOL_NODES)
    searcher.set_position(Position())
    with pytest.raises(ValueError, match=f"^cell must be 0\\.\\.80, got {cell}$"):
        searcher.advance(cell)


def test_exported_limits_are_the_ones_enforced():
    assert CELL_COUNT == len(Position().board) == 81
    Searcher(pool_nodes=MIN_POOL_NODES, threads=MAX_THREADS)
    with pytest.raises(ValueError, match="pool_nodes"):
        Searcher(pool_nodes=MIN_POOL_NODES - 1)
    for call in (Searcher, lambda **k: VectorGames(1, **k), lambda **k: playouts(Position(), 1, **k)):
        with pytest.raises(ValueError, match=f"1..{MAX_THREADS}"):
            call(threads=MAX_THREADS + 1)
    thinker = SearchThinker()
    assert thinker.set_option("threads", str(MAX_THREADS)) is None
    assert thinker.set_option("threads", str(MAX_THREADS + 1)) is not None
    assert thinker.set_option("pool_nodes", str(MIN_POOL_NODES - 1)) is not None
