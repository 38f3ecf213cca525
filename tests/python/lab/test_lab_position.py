"""Position as a value: notation, keys, equality and hashing, the round trips through
nonagame's Game and State, refusals with the engine's texts, pickling, copying, repr, str,
the board array and the algebraic cell names."""
from __future__ import annotations

import copy
import gc
import os
import pickle
import random
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import nonagame
from lab_support import (PROPERTY, board_of, drawn_fillings, engine_refusal, game_view, grid_square, lines,
                         positions, random_line, replay, write_notation)
from nonagame_lab import Position, cell_index, cell_name, transform_cells

OPENING = "9/9/9/9/9/9/9/9/9 x -"


# Notation.

@PROPERTY
@given(positions)
def test_parse_reads_back_the_notation(p):
    q = Position.parse(p.notation)
    assert q == p and q.key == p.key and q.notation == p.notation
    assert Position(p.notation) == p


@PROPERTY
@given(positions)
def test_notation_follows_the_documented_grammar(p):
    forced = p.forced_roster
    assert p.notation == write_notation(p.board.tolist(), p.to_move, forced)
    # The forced roster is read off the legal cells: one roster holds them all, or none.
    rosters = {cell // 9 for cell in p.legal_moves}
    assert forced == (rosters.pop() if len(rosters) == 1 else None)


def test_opening():
    p = Position()
    assert p.notation == OPENING and p == Position.parse(OPENING) == Position.from_moves([])
    assert p.legal_moves == list(range(81)) and p.to_move == 1 and p.winner == 0
    assert not p.is_over and p.forced_roster is None and not p.board.any()


# Keys and equality.

def test_keys_are_equal_exactly_when_positions_are():
    """Several hundred thousand distinct positions from random games: no two share a key,
    and a position reached again (by another order of moves) has the same key and value."""
    rng = random.Random(20240611)
    seen: dict[str, Position] = {}
    revisits = 0
    while len(seen) < 300_000:
        p = Position()
        while not p.is_over:
            p = p.play(rng.choice(p.legal_moves))
            first = seen.setdefault(p.notation, p)
            if first is not p:
                revisits += 1
                assert first == p and first.key == p.key and hash(first) == hash(p)
    assert revisits > 0
    keys = {p.key for p in seen.values()}
    assert len(keys) == len(seen)
    assert all(0 <= key < 2**64 for key in keys)


def test_keys_are_the_same_in_every_process():
    lines_ = [random_line(seed, plies)[0] for seed, plies in [(1, 0), (2, 7), (3, 30), (4, None)]]
    code = ("import sys\nfrom nonagame_lab import Position\n"
            f"for moves in {lines_!r}:\n    print(Position.from_moves(moves).key)\n")
    env = dict(os.environ, PYTHONHASHSEED="12345")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout.split()
    assert [int(key) for key in out] == [Position.from_moves(moves).key for moves in lines_]


@PROPERTY
@given(positions, positions)
def test_equality_and_hash_follow_the_position(p, q):
    assert (p == q) == (p.notation == q.notation) == (p.key == q.key)
    assert (p != q) == (not p == q)
    if p == q:
        assert hash(p) == hash(q)
    table = {p: "p"}
    table[q] = "q"
    assert len(table) == (1 if p == q else 2) and table[Position.parse(p.notation)] == ("q" if p == q else "p")
    assert Position.parse(q.notation) in {p, q}


@pytest.mark.parametrize("other", [None, 0, OPENING, nonagame.Game(0), (OPENING,)])
def test_positions_differ_from_other_objects(other):
    p = Position()
    assert p != other and not p == other
    with pytest.raises(TypeError):
        p < p  # noqa: B015 - only equality is defined


# Round trips through nonagame.

@PROPERTY
@given(lines())
def test_from_moves_agrees_with_game_replays(line):
    moves, p = line
    game = replay(moves)
    assert Position.from_moves(moves) == p
    assert Position.from_moves(iter(moves)) == p and Position.from_moves(np.array(moves, dtype=np.int64)) == p
    available, player, winner, board = game_view(game)
    assert p.legal_moves == sorted(available) and p.to_move == player and p.winner == winner
    assert p.board.tolist() == board and p.is_over == (not available)


@PROPERTY
@given(lines(), st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1))
def test_to_game_is_a_game_in_exactly_this_position(line, game_id, seed):
    moves, p = line
    made, replayed = p.to_game(game_id), replay(moves)
    assert isinstance(made, nonagame.Game)
    assert game_view(made) == game_view(replayed)
    assert Position.from_game(made) == p == Position.from_game(replayed)
    assert str(made) == str(replayed)
    # Both games go on alike, and the made game's checkpoints bring it back.
    checkpoint = made.make_checkpoint()
    rng = random.Random(seed)
    while made.get_available_moves():
        cell = rng.choice(made.get_available_moves())
        player = made.make_state().player_id
        assert made.make_move(cell, player) == replayed.make_move(cell, player)
        assert game_view(made) == game_view(replayed)
    made.load_checkpoint(checkpoint)
    assert Position.from_game(made) == p and game_view(made)[:3] == game_view(p.to_game())[:3]
    fresh = nonagame.Game(5)
    fresh.load_checkpoint(checkpoint)
    assert Position.from_game(fresh) == p


def _only_open_roster_games(count: int) -> list[list[int]]:
    """Move lists after which one roster is open while the last move named a closed one:
    the game's choice is free, but every legal cell lies in that roster."""
    found, seed = [], 0
    while len(found) < count:
        moves, _ = random_line(seed)
        seed += 1
        p = Position()
        for i, cell in enumerate(moves):
            p = p.play(cell)
            rosters = {c // 9 for c in p.legal_moves}
            if len(rosters) == 1 and cell % 9 not in rosters:
                found.append(moves[: i + 1])
                break
    return found


@pytest.mark.parametrize("moves", _only_open_roster_games(12) + [random_line(s)[0] for s in range(8)]
                         + [random_line(s, 25)[0] for s in range(4)])
def test_from_game_and_from_state_agree(moves):
    """Also when the forced roster is the only roster left open, and for finished games."""
    game = replay(moves)
    a, b = Position.from_game(game), Position.from_state(game.make_state())
    assert a == b and a.key == b.key and a.notation == b.notation
    assert a == Position.from_moves(moves)
    rosters = {c // 9 for c in game.get_available_moves()}
    assert a.forced_roster == (rosters.pop() if len(rosters) == 1 else None)


# Refusals with the engine's texts.

def _illegal_cells(p: Position) -> list[int]:
    legal = set(p.legal_moves)
    return [c for c in range(81) if c not in legal]


@PROPERTY
@given(lines(), st.randoms(use_true_random=False))
def test_play_refuses_with_the_texts_of_make_move(line, rng):
    moves, p = line
    illegal = _illegal_cells(p)
    assume(illegal)
    cell = rng.choice(illegal)
    with pytest.raises(ValueError) as refused:
        p.play(cell)
    assert str(refused.value) == engine_refusal(moves, cell)
    assert Position.from_moves(moves) == p  # nothing changed


@PROPERTY
@given(lines(), st.randoms(use_true_random=False), st.lists(st.integers(0, 80), max_size=3))
def test_from_moves_refusal_names_the_index_and_the_engine_text(line, rng, tail):
    moves, p = line
    illegal = _illegal_cells(p)
    assume(illegal)
    cell = rng.choice(illegal)
    with pytest.raises(ValueError) as refused:
        Position.from_moves(moves + [cell] + tail)
    assert str(refused.value) == f"move {len(moves)} (cell {cell}): {engine_refusal(moves, cell)}"


@pytest.mark.parametrize("cell", [81, -1, 200, -2**63, 2**63, 2**70, -2**70])
def test_cells_off_the_board_are_named(cell):
    with pytest.raises(ValueError, match=rf"^cell must be 0\.\.80, got {cell}$"):
        Position().play(cell)
    with pytest.raises(ValueError, match=rf"^move 1 \(cell {cell}\): cell must be 0\.\.80, got {cell}$"):
        Position.from_moves([40, cell])


def test_a_finished_game_refuses_any_cell_first(finished_by_outcome):
    moves, p = finished_by_outcome[1]
    text = engine_refusal(moves, 0)
    for cell in (0, 80, 81, 2**70):
        with pytest.raises(ValueError) as refused:
            p.play(cell)
        assert str(refused.value) == text


# Pickling, copying, repr and str.

@PROPERTY
@given(positions, st.integers(2, 5))
def test_pickle_round_trips_and_is_small(p, protocol):
    data = pickle.dumps(p, protocol=protocol)
    assert len(data) < 200
    q = pickle.loads(data)
    assert type(q) is Position and q == p and q.key == p.key and q.notation == p.notation
    assert pickle.loads(pickle.dumps([p, {p: 1}], protocol=protocol)) == [p, {p: 1}]


@PROPERTY
@given(positions)
def test_copy_repr_and_str(p):
    assert copy.copy(p) == p and copy.deepcopy(p) == p
    assert copy.deepcopy({"a": [p]}) == {"a": [p]}
    text = repr(p)
    assert text.startswith("Position(") and eval(text, {"Position": Position}) == p
    # The core module's grid with the lab's letters: X for player 1, O for player 2.
    assert str(p) == str(p.to_game()).translate(str.maketrans("OX", "XO")) and str(p.to_game()) == str(p.to_game(3))


# The board array.

@PROPERTY
@given(positions)
def test_the_board_is_a_read_only_int8_array(p):
    board = p.board
    assert board.dtype == np.int8 and board.shape == (81,) and not board.flags.writeable
    before = board.copy()
    with pytest.raises(ValueError):
        board[0] = 1
    with pytest.raises(ValueError):
        board.setflags(write=True)
    with pytest.raises(ValueError):
        np.copyto(board, 2)
    if p.legal_moves:
        p.play(p.legal_moves[0])
    assert np.array_equal(p.board, before) and set(np.unique(before)) <= {0, 1, 2}


def test_the_board_outlives_its_position():
    moves, p = random_line(3, 30)
    board, expected = p.board, p.board.copy()
    del p
    gc.collect()
    others = [Position.from_moves(random_line(seed, 30)[0]).board for seed in range(20)]
    assert np.array_equal(board, expected) and len(others) == 20
    assert board.tolist() == replay(moves).make_state().board.tolist()


# The parser.

def _two_lines_roster():
    return write_notation(board_of({0: "xxx...ooo"}), 1, None)


def _both_won():
    board = board_of({0: "xxx......", 1: "xxx......", 2: "xxx......",
                      3: "ooo......", 4: "ooo......", 5: "ooo......"})
    return write_notation(board, 1, None)


def _won_by_who_is_to_move():
    board = board_of({0: "xxx......", 1: "xxx......", 2: "xxx......",
                      3: "oo...o...", 4: "oo...o...", 5: "oo...o..."})
    return write_notation(board, 1, None)


def _finished_with_forced_roster():
    board = board_of({0: "xxx......", 1: "xxx......", 2: "xxx......",
                      3: "oo...o...", 4: "oo...o...", 5: "oo......."})
    return write_notation(board, 2, 4)


def _drawn_with(x_marks: int) -> str:
    return next(f for f in drawn_fillings() if f.count("x") == x_marks)


def _balanced_drawn(last_mover_absent_at: int | None = None) -> list[int]:
    """Rosters 0..7 full without lines, 36 x and 36 o, roster 8 empty. With a position,
    o has no mark at that position of any roster."""
    fillings = drawn_fillings()
    if last_mover_absent_at is not None:
        fillings = [f for f in fillings if f[last_mover_absent_at] == "x"]
    fives = [f for f in fillings if f.count("x") == 5]
    fours = [f for f in fillings if f.count("x") == 4]
    return board_of({r: (fives if r % 2 else fours)[0] for r in range(8)})


REFUSED = {
    "x to move, counts": (write_notation(board_of({0: "x"}), 1, None), "x to move needs as many x marks as o"),
    "o to move, counts": ("9/9/9/9/9/9/9/9/9 o -", "o to move needs one x mark more than o marks"),
    "roster with both lines": (_two_lines_roster(), "roster 0 holds a line of x and a line of o"),
    "both players won": (_both_won(), "x and o both hold a line of won rosters"),
    "winner to move": (_won_by_who_is_to_move(), "x holds a line of won rosters"),
    "finished, forced roster": (_finished_with_forced_roster(), "the game is over, so the forced roster"),
    "forced roster won": (write_notation(board_of({0: "xxx", 1: "oo.o"}), 1, 0), "forced roster 0 is won by x"),
    "forced roster full": (write_notation(board_of({0: _drawn_with(5), 8: "o"}), 1, 0), "forced roster 0 is full"),
    "forced roster not named": (write_notation(board_of({0: "x", 1: ".o"}), 1, 3),
                                "forced roster 3 needs a mark of o, who moved last, at position 3"),
    "one open roster, free": (write_notation(_balanced_drawn(), 1, None), "only roster 8 is open"),
    "free choice after a move to an open roster": ("9/9/9/9/4x4/9/9/9/9 o -",
                                                    "a free choice '-' needs a mark of x, who moved last"),
}


@pytest.mark.parametrize("text, message", REFUSED.values(), ids=REFUSED.keys())
def test_unreachable_positions_are_refused(text, message):
    with pytest.raises(ValueError, match="^" + message):
        Position.parse(text)
    with pytest.raises(ValueError, match="^" + message):
        Position(text)


def test_each_unreachable_refusal_has_its_own_message():
    messages = set()
    for text, _ in REFUSED.values():
        with pytest.raises(ValueError) as refused:
            Position.parse(text)
        messages.add(str(refused.value).split(";")[0])
    assert len(messages) == len(REFUSED)


@pytest.mark.parametrize("text", [
    write_notation(board_of({0: "x", 1: ".o"}), 1, 1),  # o's last mark at position 1 named roster 1
    write_notation(_balanced_drawn(), 1, 8),
    # The only open roster is forced even when no mark of o stands at its position.
    write_notation(_balanced_drawn(last_mover_absent_at=8), 1, 8),
])
def test_reachable_looking_positions_are_accepted(text):
    p = Position.parse(text)
    assert p.notation == text
    assert {c // 9 for c in p.legal_moves} == {p.forced_roster}


@PROPERTY
@given(positions, st.data())
def test_grammar_errors_name_the_offset(p, data):
    text = p.notation
    offset = data.draw(st.integers(0, len(text)), label="offset")
    broken = [
        text[:offset] + "#" + text[offset + 1:],  # a character that the grammar never has
        text[:offset],  # cut short
    ]
    if offset == len(text):
        broken = [text + "#", text + " "]
    for bad in broken:
        with pytest.raises(ValueError, match=rf"^offset {offset}: "):
            Position.parse(bad)


@pytest.mark.parametrize("text, offset, what", [
    ("", 0, "expected a digit 1-9, 'x' or 'o', got the end of the text"),
    ("9/9/9/9/9/9/9/9/9", 17, "expected ' ' after the last row, got the end of the text"),
    ("9/9/9/9/9/9/9/9/9 ", 18, "expected the side to move"),
    ("9/9/9/9/9/9/9/9/9 X -", 18, "expected the side to move, 'x' or 'o', got 'X'"),
    ("9/9/9/9/9/9/9/9/9 x", 19, "expected ' ' after the side to move"),
    ("9/9/9/9/9/9/9/9/9 x 9", 20, "expected the forced roster, a digit 0-8 or '-', got '9'"),
    ("9/9/9/9/9/9/9/9/9 x - ", 21, "expected the end of the text"),
    ("9/9/9/9/9/9/9/9/9/9 x -", 17, "the board has more than 9 rows"),
    ("9x/9/9/9/9/9/9/9/9 x -", 1, "row 1 from the top has more than 9 cells"),
    ("8/9/9/9/9/9/9/9/9 x -", 1, "row 1 from the top has 8 cells; a row has 9"),
    ("45/9/9/9/9/9/9/9/9 x -", 1, "a run of empty cells is written as one digit"),
    ("x9/9/9/9/9/9/9/9/9 x -", 1, "a run of 9 empty cells does not fit"),
    ("9/9/0/9/9/9/9/9/9 x -", 4, "expected a digit 1-9, 'x' or 'o', got '0'"),
    ("9/9/9/9/9/9/9/9/9\tx -", 17, "got byte 0x09"),
    ("9/9/\x009/9/9/9/9/9/9 x -", 4, "got byte 0x00"),
    ("9/9/9/9/9/9/9/9/9 x \u00e9", 20, "got byte 0xc3"),
])
def test_grammar_errors_say_what_was_expected(text, offset, what):
    with pytest.raises(ValueError) as refused:
        Position.parse(text)
    message = str(refused.value)
    assert message.startswith(f"offset {offset}: ") and what in message


@PROPERTY
@given(st.one_of(st.text(), st.text(alphabet="xo0123456789/ -"),
                 positions.flatmap(lambda p: st.just(p.notation) | st.text(alphabet="xo9/ -", max_size=3).map(
                     lambda s: p.notation[: len(p.notation) // 2] + s + p.notation[len(p.notation) // 2:]))))
def test_arbitrary_text_is_read_or_refused(text):
    try:
        p = Position.parse(text)
    except ValueError as error:
        assert str(error)
    else:
        assert p.notation == text  # only the canonical text of a position is accepted


@pytest.mark.parametrize("text", ["\ud800", "9/9/9/9/9/9/9/9/9 x -\udcff"])
def test_text_that_is_not_utf8_is_refused(text):
    with pytest.raises(ValueError):
        Position.parse(text)


class ClearsItsList:
    """A cell whose __index__ empties the list that holds it."""

    def __init__(self, cells: list, value: int):
        self.cells, self.value = cells, value

    def __index__(self) -> int:
        self.cells.clear()
        return self.value


def test_cells_read_from_a_list_that_changes_meanwhile():
    cells: list = [0, 36, 0]
    cells[0] = ClearsItsList(cells, 40)
    cells.extend(object() for _ in range(100))
    with pytest.raises(TypeError):  # the items as they were when the call began
        Position.from_moves(cells)
    cells[:] = [None, 36, 0]
    cells[0] = ClearsItsList(cells, 40)
    assert Position.from_moves(cells) == Position.from_moves([40, 36, 0])
    cells[:] = [None, 1, 2]
    cells[0] = ClearsItsList(cells, 40)
    assert transform_cells(1, cells) == transform_cells(1, [40, 1, 2])


# Wrong types.

@pytest.mark.parametrize("call", [
    lambda: Position(5), lambda: Position(notation=b"9/9"), lambda: Position.parse(None),
    lambda: Position.parse(b"9/9/9/9/9/9/9/9/9 x -"), lambda: Position.from_game(Position()),
    lambda: Position.from_game(nonagame.Game(0).make_state()), lambda: Position.from_state(nonagame.Game(0)),
    lambda: Position.from_moves(5), lambda: Position.from_moves(["a9"]), lambda: Position.from_moves([1.0]),
    lambda: Position.from_moves([True]), lambda: Position().play("40"), lambda: Position().play(40.0),
    lambda: Position().play(None), lambda: Position().play(True), lambda: Position().to_game("1"),
    lambda: Position().transform("1"), lambda: Position().transform(1.0),
    lambda: cell_name("a9"), lambda: cell_name(1.0), lambda: cell_index(0), lambda: cell_index(None),
])
def test_wrong_types_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


# Cell names.

@pytest.mark.parametrize("cell, name", [(0, "a9"), (80, "i1"), (8, "c7"), (72, "g3"), (40, "e5"), (20, "i9")])
def test_cell_names(cell, name):
    assert cell_name(cell) == name and cell_index(name) == cell
    assert cell_name(np.int16(cell)) == name


def test_cell_names_round_trip_over_the_board():
    names = [cell_name(c) for c in range(81)]
    assert len(set(names)) == 81 and [cell_index(n) for n in names] == list(range(81))
    # Columns a-i left to right, rows 1-9 bottom to top of the 9 x 9 grid.
    for cell, name in enumerate(names):
        row, col = grid_square(cell)
        assert name == "abcdefghi"[col] + str(9 - row)


@pytest.mark.parametrize("name", ["", "a", "a0", "j1", "A9", "a10", "e5 ", " e5", "5e", "é5", "e\x005"])
def test_bad_cell_names(name):
    with pytest.raises(ValueError, match="a cell name is a column a-i and a row 1-9"):
        cell_index(name)


@pytest.mark.parametrize("cell", [-1, 81, 2**64])
def test_bad_cells_have_no_name(cell):
    with pytest.raises(ValueError):
        cell_name(cell)
