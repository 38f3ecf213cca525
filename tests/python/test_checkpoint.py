"""Checkpoints: saving and loading positions, and rebuilding positions from snapshots."""
import ast
import random

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import nonagame
from nonagame import Checkpoint, Game

from reference import Model

PREFIX = "ERROR: Invalid move error - "
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
OPEN9 = [-1] * 9


def play(game, cells):
    for cell in cells:
        game.make_move(cell, game.make_state().player_id)
    return game


def fields(checkpoint):
    """The record fields printed under the grid of a checkpoint's text."""
    lines = str(checkpoint).split("\n")[-4:]
    assert [line.split(": ")[0] for line in lines] == ["next player", "next roster", "rosters", "odds"]
    player, roster, rosters, odds = (line.split(": ", 1)[1] for line in lines)
    return int(player), int(roster), ast.literal_eval(rosters), ast.literal_eval(odds)


def fault_text(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


def position(game):
    return str(game), game.get_available_moves(), game.get_winner(), game.make_state().player_id


def loaded(checkpoint):
    game = Game(7)
    assert game.load_checkpoint(checkpoint) is None
    return game


# --- the class and its registration --------------------------------------------------------


def test_class_surface_and_docstrings():
    assert nonagame.Checkpoint is Checkpoint and Checkpoint.__module__ == "builtins"
    assert Checkpoint.__doc__ is None
    for args in [(), (1,), (Game(0),)]:
        with pytest.raises(TypeError, match="^No constructor defined for Checkpoint$"):
            Checkpoint(*args)
    with pytest.raises(TypeError):
        type("Sub", (Checkpoint,), {})
    assert Checkpoint.get_odds.__text_signature__ == "($self)" and Checkpoint.get_odds.__doc__ is None
    with pytest.raises(TypeError):
        Checkpoint.get_odds(Game(0))
    assert [m for m in vars(Game) if not m.startswith("_")] == [
        "get_available_moves", "make_move", "get_winner", "make_checkpoint", "load_checkpoint", "make_state"]
    assert Game.make_checkpoint.__doc__ == (
        "Create a checkpoint. This can be saved somewhere and loaded in at a later point in time.")
    assert Game.load_checkpoint.__text_signature__ == "($self, checkpoint)"
    assert Game.load_checkpoint.__doc__ == (
        "Load in a checkpoint from a PyCheckpoint object.\n\n## Args\n* `checkpoint` - checkpoint to load in.")
    assert nonagame.State.to_checkpoint.__text_signature__ == "($self)"
    assert nonagame.State.to_checkpoint.__doc__ == (
        "Coerces a pystate into a checkpoint. \n\nThis can be used to load in a checkpoint. \n"
        "Method is rather expensive.\n\nNote:\nThe reason why checkpoints and states are not the same "
        "is a design choice. \nWe wanted the state to be as minimal as possible.")


@pytest.mark.parametrize("make", [lambda: Game(0).make_checkpoint(), lambda: Game(0).make_state().to_checkpoint()])
def test_get_odds_returns_a_new_list_each_time(make):
    checkpoint = make()
    first = checkpoint.get_odds()
    assert first == [-1.0, -1.0, -1.0] and all(type(v) is float for v in first)
    first.append(3.0)
    first[0] = 0.5
    second = checkpoint.get_odds()
    assert second == [-1.0, -1.0, -1.0] and second is not first
    assert fields(checkpoint)[3] == [-1.0, -1.0, -1.0]


def test_text_of_a_new_games_checkpoint():
    game = Game(3)
    assert str(game.make_checkpoint()) == str(game) + (
        "\nnext player: 1\nnext roster: 10\nrosters: [-1, -1, -1, -1, -1, -1, -1, -1, -1]\n"
        "odds: [-1.0, -1.0, -1.0]")
    assert str(game.make_state().to_checkpoint()) == str(game) + (
        "\nnext player: 1\nnext roster: -1\nrosters: [-1, -1, -1, -1, -1, -1, -1, -1, -1]\n"
        "odds: [-1.0, -1.0, -1.0]")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda g: g.load_checkpoint(g.make_state()),
         "argument 'checkpoint': 'State' object cannot be converted to 'Checkpoint'"),
        (lambda g: g.load_checkpoint(5), "argument 'checkpoint': 'int' object cannot be converted to 'Checkpoint'"),
        (lambda g: g.load_checkpoint(checkpoint=g), "argument 'checkpoint': 'Game' object cannot be converted to 'Checkpoint'"),
        (lambda g: g.load_checkpoint(), "Game.load_checkpoint() missing 1 required positional argument: 'checkpoint'"),
        (lambda g: g.load_checkpoint(1, 2), "Game.load_checkpoint() takes 1 positional arguments but 2 were given"),
        (lambda g: g.load_checkpoint(cp=1), "Game.load_checkpoint() got an unexpected keyword argument 'cp'"),
        (lambda g: g.make_checkpoint(1), None),
    ],
)
def test_load_checkpoint_argument_errors_leave_the_game_alone(call, error):
    game = play(Game(0), [40, 36])
    before = position(game)
    with pytest.raises(TypeError) as info:
        call(game)
    if error is not None:
        assert str(info.value) == error
    assert position(game) == before
    game.load_checkpoint(checkpoint=Game(0).make_checkpoint())  # borrow given back; keyword accepted
    assert sorted(game.get_available_moves()) == list(range(81))


# --- saving and loading -------------------------------------------------------------------


def test_checkpoint_loaded_into_two_games_and_loaded_again():
    source = play(Game(1), [40, 36, 4, 44, 76])
    saved = position(source)
    checkpoint = source.make_checkpoint()
    text = str(checkpoint)
    play(source, source.get_available_moves()[:1])
    first, second = loaded(checkpoint), play(Game(2), [0, 1])
    second.load_checkpoint(checkpoint)
    assert position(first) == position(second) == saved
    source.load_checkpoint(checkpoint)
    source.load_checkpoint(checkpoint)
    assert position(source) == saved and str(checkpoint) == text


def finished_game():
    rng = random.Random(5)
    game = Game(0)
    while game.get_available_moves():
        play(game, [rng.choice(game.get_available_moves())])
    return game


def test_finished_games_checkpoint_ends_a_fresh_game_and_a_midgame_one_revives_it():
    done = finished_game()
    for checkpoint in (done.make_checkpoint(), done.make_state().to_checkpoint()):
        game = loaded(checkpoint)
        assert game.get_available_moves() == [] and game.get_winner() == done.get_winner()
        player = game.make_state().player_id
        with pytest.raises(ValueError, match="^" + PREFIX + "THIS GAME IS ALREADY OVER$"):
            game.make_move(0, player)
    for checkpoint in (play(Game(0), [40]).make_checkpoint(), play(Game(0), [40]).make_state().to_checkpoint()):
        game = finished_game()
        game.load_checkpoint(checkpoint)
        assert game.get_winner() == 0 and game.get_available_moves() == [36, 37, 38, 39, 41, 42, 43, 44]
        assert game.make_move(36, 2) is True


# --- rebuilding a position from a snapshot --------------------------------------------------


def test_player_and_roster_come_from_the_snapshot():
    state = play(Game(0), [80, 72]).make_state()
    assert state.player_id == 1
    checkpoint = state.to_checkpoint()
    assert fields(checkpoint)[:3] == (1, 0, OPEN9)
    assert checkpoint.get_odds() == [-1.0, -1.0, -1.0]
    game = loaded(checkpoint)
    assert game.get_available_moves() == list(range(9)) and game.make_move(4, 1) is True


def marks(**cells):
    """A snapshot of a new game whose board array holds the given cells (c0=1, c5=2, ...)."""
    state = Game(0).make_state()
    for name, value in cells.items():
        state.board[int(name[1:])] = value
    return state


ROW = {f"c{c}": 1 for c in (0, 1, 2)}
FULL_WITH_LINE = {f"c{18 + p}": v for p, v in enumerate([2, 2, 2, 1, 1, 2, 1, 2, 1])}
FULL_NO_LINE = {f"c{18 + p}": v for p, v in enumerate([1, 2, 1, 1, 2, 2, 2, 1, 1])}
THREE_ROSTERS = {f"c{9 * r + p}": 2 for r in (2, 4, 6) for p in (0, 4, 8)}


@pytest.mark.parametrize(
    "cells, rosters, free, winner",
    [
        # A line wins the roster even with the other player's mark in it; its empty cells close.
        ({**ROW, "c5": 2}, [1] + [-1] * 8, 72, 0),
        # A full roster holding a line is won, not drawn; a full one without a line is drawn.
        (FULL_WITH_LINE, [-1, -1, 2] + [-1] * 6, 72, 0),
        (FULL_NO_LINE, [-1, -1, 0] + [-1] * 6, 72, 0),
        # Both players with a line in one roster: player 1 takes it.
        ({**ROW, "c3": 2, "c4": 2, "c5": 2}, [1] + [-1] * 8, 72, 0),
        # Three rosters in a line end the game: nothing is free.
        (THREE_ROSTERS, [-1, -1, 2, -1, 2, -1, 2, -1, -1], 0, 2),
        # Values other than 1 and 2 are empty cells.
        ({"c0": 3, "c1": -1, "c2": 127, "c80": -128}, OPEN9, 81, 0),
    ],
)
def test_rosters_are_settled_by_the_rules(cells, rosters, free, winner):
    state = marks(**cells)
    checkpoint = state.to_checkpoint()
    assert fields(checkpoint)[:3] == (1, -1, rosters)
    game = loaded(checkpoint)
    board = [v if v in (1, 2) else 0 for v in state.board.tolist()]
    assert len(game.get_available_moves()) == free and game.get_winner() == winner
    assert all(board[c] == 0 and rosters[c // 9] == -1 for c in game.get_available_moves())
    assert game.make_state().board.tolist() == board


@pytest.mark.parametrize(
    "moves, roster",
    [
        (list(range(72, 81)), 8),
        ([3], 0),
        (list(range(90, 99)), -1),       # not cells: no forced roster
        ([-9, -8, -7], -1),
        ([-1, 3], -1),                   # a negative entry is no cell of roster 0
        ([0, 1, 9], -1),                 # two rosters
        ([81], -1),
        (list(range(10)), -1),           # more than nine entries
    ],
)
def test_forced_roster_only_from_cells_of_one_roster(moves, roster):
    state = play(Game(0), [80, 72]).make_state()
    state.possible_moves.resize((len(moves),), refcheck=False)
    state.possible_moves[:] = moves
    assert fields(state.to_checkpoint())[1] == roster


@pytest.mark.parametrize(
    "change, roster",
    [
        (lambda a: a.resize((0, 3), refcheck=False), -1),   # no moves: any shape converts
        (lambda a: a.resize((0,), refcheck=False), -1),
        (lambda a: a.resize((5, 4), refcheck=False), -1),   # more than nine: shape not read
        (lambda a: setattr(a, "shape", (3, 3)), None),
        (lambda a: a.resize((1, 1), refcheck=False), None),
        (lambda a: setattr(a, "dtype", "S3"), None),  # three non-integer entries
        (lambda a: (a.resize((72,), refcheck=False), setattr(a, "dtype", "m8[D]")), None),
        (lambda a: (a.resize((80,), refcheck=False), setattr(a, "dtype", "m8[D]")), -1),
    ],
)
def test_possible_moves_changed_by_python(change, roster):
    state = play(Game(0), [80, 72]).make_state()
    change(state.possible_moves)
    if roster is None:
        assert fault_text(state.to_checkpoint) == UNWRAP_NONE
    else:
        assert fields(state.to_checkpoint())[1] == roster


@pytest.mark.parametrize(
    "change, error",
    [
        (lambda a: a.resize((9, 9), refcheck=False), UNWRAP_NONE),
        (lambda a: setattr(a, "shape", (3, 27)), UNWRAP_NONE),
        (lambda a: setattr(a, "dtype", "S3"), UNWRAP_NONE),
        (lambda a: (a.resize((88,), refcheck=False), setattr(a, "dtype", np.float64)), UNWRAP_NONE),
        (lambda a: (a.resize((0,), refcheck=False), setattr(a, "dtype", np.float64)), UNWRAP_NONE),
        (lambda a: (a.resize((88,), refcheck=False), setattr(a, "dtype", "M8[s]")), UNWRAP_NONE),
        (lambda a: (a.resize((200,), refcheck=False), a.__setitem__(150, 2)),
         "index out of bounds: the len is 81 but the index is 150"),
    ],
)
def test_board_changed_by_python_is_a_fault(change, error):
    state = play(Game(0), [40]).make_state()
    change(state.board)
    assert fault_text(state.to_checkpoint) == error


@pytest.mark.parametrize(
    "dtype, size, writes, marked",
    [
        (np.int16, 81, {0: 2, 1: 257, 2: 1}, {0: 2, 2: 1}),    # 257 is not a mark
        (">i4", 81, {80: 1}, {80: 1}),
        (np.int8, 200, {100: 3, 5: 1}, {5: 1}),                 # beyond 81 only non-marks
        (np.int8, 40, {39: 2}, {39: 2}),                        # shorter board
    ],
)
def test_board_read_as_it_is_now(dtype, size, writes, marked):
    state = Game(0).make_state()
    itemsize = np.dtype(dtype).itemsize
    state.board.resize((size * itemsize,), refcheck=False)
    state.board.dtype = dtype
    state.board[:] = 0
    for cell, value in writes.items():
        state.board[cell] = value
    board = loaded(state.to_checkpoint()).make_state().board.tolist()
    assert board == [marked.get(c, 0) for c in range(81)]


def test_snapshot_edits_show_in_a_later_checkpoint_only():
    state = Game(0).make_state()
    before = state.to_checkpoint()
    state.board[0] = 2
    after = state.to_checkpoint()
    assert loaded(before).make_state().board[0] == 0
    assert loaded(after).make_state().board[0] == 2
    assert state.board[0] == 2 and state.player_id == 1


# --- properties over positions reached in play ---------------------------------------------


def random_position(rng, length):
    game, model = Game(0), Model()
    for _ in range(length):
        legal = game.get_available_moves()
        if not legal:
            break
        cell = rng.choice(legal)
        player = model.next_player
        game.make_move(cell, player)
        model.play(cell, player)
    return game, model


def continue_both(rng, first, second):
    """Plays the same random moves on both games, which must agree throughout."""
    while True:
        assert position(first) == position(second)
        legal = first.get_available_moves()
        if not legal:
            return
        cell, player = rng.choice(legal), first.make_state().player_id
        assert first.make_move(cell, player) is second.make_move(cell, player)


@settings(max_examples=300, deadline=None)
@given(rng=st.randoms(use_true_random=False), length=st.integers(0, 81))
def test_snapshot_checkpoint_reproduces_the_position(rng, length):
    game, model = random_position(rng, length)
    state = game.make_state()
    restored = loaded(state.to_checkpoint())
    again = restored.make_state()
    assert again.board.tolist() == state.board.tolist()
    assert again.player_id == state.player_id
    assert set(restored.get_available_moves()) == set(game.get_available_moves())
    if 0 <= model.next_roster <= 8 and model.rosters[model.next_roster] == -1:
        assert restored.get_available_moves() == game.get_available_moves()
    assert restored.get_winner() == game.get_winner() == model.winner
    continue_both(rng, game, restored)


@settings(max_examples=150, deadline=None)
@given(rng=st.randoms(use_true_random=False), length=st.integers(0, 81), later=st.integers(0, 81))
def test_game_checkpoint_round_trip(rng, length, later):
    game, _ = random_position(rng, length)
    saved = position(game)
    checkpoint = game.make_checkpoint()
    text = str(checkpoint)
    for _ in range(later):
        legal = game.get_available_moves()
        if not legal:
            break
        game.make_move(rng.choice(legal), game.make_state().player_id)
    game.load_checkpoint(checkpoint)
    fresh = loaded(checkpoint)
    assert position(game) == position(fresh) == saved
    assert str(checkpoint) == text
    continue_both(rng, game, fresh)
