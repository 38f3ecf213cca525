"""State snapshots: NumPy arrays, the text form and arrays changed by Python code."""
import re
import subprocess
import sys

import numpy as np
import pytest

import nonagame
from nonagame import Game, State

LIGHT_RULE = "───┼───┼───┃───┼───┼───┃───┼───┼───"
HEAVY_RULE = "━━━━━━━━━━━╋━━━━━━━━━━━╋━━━━━━━━━━━"
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def expected_text(board, player, moves_text):
    rows = []
    for r in range(9):
        parts = []
        for c in range(9):
            cell = 27 * (r // 3) + 9 * (c // 3) + 3 * (r % 3) + c % 3
            if c:
                parts.append("┃" if c % 3 == 0 else "│")
            parts.append(f" {board[cell]} ")
        rows.append("".join(parts))
    lines = []
    for r, row in enumerate(rows):
        lines.append(row)
        if r < 8:
            lines.append(HEAVY_RULE if r % 3 == 2 else LIGHT_RULE)
    return "Board:\n" + "\n".join(lines) + f"\n\nNext Player: {player}\n\nPossible Moves: {moves_text}\n"


def played(*cells):
    game = Game(0)
    for i, cell in enumerate(cells):
        game.make_move(cell, 1 + i % 2)
    return game


def test_snapshot_of_a_new_game():
    state = Game(0).make_state()
    assert state.player_id == 1
    assert state.board.dtype == np.int8 and state.board.shape == (81,)
    assert not state.board.any()
    assert state.possible_moves.dtype == np.int8
    assert sorted(state.possible_moves.tolist()) == list(range(81))
    text = str(state)
    assert text == expected_text([0] * 81, 1, str(state.possible_moves))
    assert text.startswith("Board:\n") and text.endswith("\n")


@pytest.mark.parametrize("cells", [(40,), (40, 36), (1, 9, 2, 18, 0)])
def test_snapshot_matches_the_game(cells):
    game = played(*cells)
    state = game.make_state()
    board = [0] * 81
    for i, cell in enumerate(cells):
        board[cell] = 1 + i % 2
    assert state.board.tolist() == board
    assert state.possible_moves.tolist() == game.get_available_moves()
    assert state.player_id == 1 + len(cells) % 2
    assert str(state) == expected_text(board, state.player_id, str(state.possible_moves))


def test_snapshot_is_independent_of_the_game():
    game = played(40)
    state = game.make_state()
    assert state.board is state.board and state.possible_moves is state.possible_moves
    state.board[0] = 2
    assert str(state).startswith("Board:\n 2 │")
    assert game.make_state().board[0] == 0
    game.make_move(36, 2)
    assert state.board[36] == 0 and state.player_id == 2
    assert not np.shares_memory(state.board, game.make_state().board)


@pytest.mark.parametrize("value, shown", [(5, " 5 "), (-1, " -1 "), (127, " 127 "), (-128, " -128 ")])
def test_any_byte_value_is_shown_as_a_signed_number(value, shown):
    state = Game(0).make_state()
    state.board[0] = value
    first_row = str(state).split("\n")[1]
    assert first_row.startswith(shown + "│")
    assert len(first_row) == 35 + len(shown) - 3


@pytest.mark.parametrize(
    "change",
    [
        lambda a: a.resize((9, 9), refcheck=False),
        lambda a: a.resize((80,), refcheck=False),
        lambda a: a.resize((0,), refcheck=False),
        lambda a: setattr(a, "shape", (3, 27)),
        lambda a: setattr(a, "dtype", "S3"),
        lambda a: setattr(a, "dtype", np.float64) if a.size % 8 == 0 else a.resize((80,), refcheck=False),
        # No buffer format exists for datetimes: read like any other non-integer type.
        lambda a: (a.resize((88 * 8,), refcheck=False), setattr(a, "dtype", "M8[s]")),
    ],
)
def test_board_reshaped_by_python_is_a_fault_not_a_crash(change):
    state = Game(0).make_state()
    change(state.board)
    with pytest.raises(BaseException) as info:
        str(state)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == UNWRAP_NONE


@pytest.mark.parametrize("dtype", [np.int16, np.uint8, ">i4", "<i8", np.bool_])
def test_board_retyped_to_integers_is_read_by_value(dtype):
    state = Game(0).make_state()
    state.board.resize((81 * np.dtype(dtype).itemsize,), refcheck=False)
    state.board.dtype = dtype
    state.board[:81] = 1
    first_row = str(state).split("\n")[1]
    assert first_row == " 1 │ 1 │ 1 ┃ 1 │ 1 │ 1 ┃ 1 │ 1 │ 1 "


def test_board_larger_and_strided_views_read_the_right_cells():
    state = Game(0).make_state()
    state.board.resize((162,), refcheck=False)
    state.board[:] = np.arange(162) % 3
    text = str(state)
    assert text.split("\n")[1].startswith(" 0 │ 1 │ 2 ┃ 0 │ 1 │ 2")


def test_unprintable_possible_moves_go_to_the_unraisable_hook(monkeypatch):
    state = Game(0).make_state()
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info))

    def broken(_value):
        raise RuntimeError("no text")

    np.set_printoptions(formatter={"int": broken})
    try:
        text = str(state)
    finally:
        np.set_printoptions(formatter=None)
    assert text.endswith("\nPossible Moves: <unprintable ndarray object>\n")
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)
    assert seen[0].object is state.possible_moves


@pytest.mark.parametrize("name", ["board", "player_id", "possible_moves"])
def test_attributes_are_read_only(name):
    state = Game(0).make_state()
    with pytest.raises(AttributeError):
        setattr(state, name, 1)
    with pytest.raises(AttributeError):
        delattr(state, name)


def test_class_cannot_be_made_or_extended():
    for args in [(), (1,), (1, 2, 3)]:
        with pytest.raises(TypeError, match="^No constructor defined for State$"):
            State(*args)
    with pytest.raises(TypeError):
        type("Sub", (State,), {})
    assert State.__module__ == "builtins"
    doc = State.__doc__
    assert doc.startswith("Represent a Pythonlike state.") and doc.endswith("```")
    assert Game.make_state.__text_signature__ == "($self)"
    assert Game.make_state.__doc__ == (
        "Create a `PyState`-object.\nThis object is a simple representation of the current game."
    )


def test_layout_drawn_in_the_docstring_is_where_str_shows_each_cell():
    # The class docstring draws which index of `board` lies where (test_stub.py checks its
    # text against the stub); str(state) draws the board. Both must put every cell in the
    # same place: a board holding its own indexes prints the docstring's drawing.
    layout = State.__doc__.split("Layout:\n", 1)[1].split("```", 1)[0]
    documented = [[int(v) for v in line.split()] for line in layout.splitlines() if line.strip()]
    state = Game(0).make_state()
    state.board[:] = np.arange(81, dtype=np.int8)
    drawn = str(state).split("Board:\n", 1)[1].split("\n\nNext Player", 1)[0]
    shown = [[int(v) for v in re.findall(r"-?\d+", line)] for line in drawn.splitlines()]
    assert documented == [row for row in shown if row]
    assert sorted(sum(documented, [])) == list(range(81))


def test_recycled_states_start_clean():
    game = played(40)
    states = [game.make_state() for _ in range(600)]
    ids = {id(s) for s in states}
    del states
    again = [Game(0).make_state() for _ in range(600)]
    assert ids & {id(s) for s in again}, "released snapshots are reused"
    assert all(s.player_id == 1 and not s.board.any() and len(s.possible_moves) == 81 for s in again)


NO_NUMPY = """
import builtins, sys
real_import = builtins.__import__
def fake_import(name, *args, **kwargs):
    if name == "numpy" or name.startswith("numpy."):
        raise ImportError("numpy is hidden for this test")
    return real_import(name, *args, **kwargs)
builtins.__import__ = fake_import
import nonagame
game = nonagame.Game(0)
for attempt in range(2):
    try:
        game.make_state()
    except BaseException as exc:
        print(type(exc).__name__, "|", exc)
builtins.__import__ = real_import
print("after:", game.make_move(40, 1), game.make_state().player_id)
"""


def test_without_numpy_the_import_works_and_snapshots_fault_until_it_is_back():
    out = subprocess.run([sys.executable, "-c", NO_NUMPY], check=True, capture_output=True, text=True).stdout
    lines = out.splitlines()
    assert len(lines) == 3
    for line in lines[:2]:
        kind, text = line.split(" | ")
        assert kind == "PanicException"
        assert text.startswith("Failed to access NumPy array API capsule: ")
        assert "ImportError" in text
    assert lines[2] == "after: True 2"


def test_numpy_is_not_imported_with_the_module():
    code = "import sys, nonagame; print('numpy' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout.strip() == "False"
