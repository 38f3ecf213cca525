"""The Game class: legal cells, moves, refusals and faults."""
import inspect
import os
import random

import pytest

from nonagame import Game

from reference import Model

PREFIX = "ERROR: Invalid move error - "


def play(game, cells):
    """Plays cells alternately, starting with player 1; returns the last result."""
    result = None
    for i, cell in enumerate(cells):
        result = game.make_move(cell, 1 + i % 2)
    return result


def snapshot(game):
    return str(game), game.get_available_moves(), game.get_winner()


def test_new_game_lists_every_cell():
    game = Game(0)
    assert sorted(game.get_available_moves()) == list(range(81))
    assert game.get_winner() == 0


@pytest.mark.parametrize("opening", [0, 40, 80])
def test_opening_move_may_take_any_cell_and_forces_the_roster(opening):
    game = Game(0)
    assert game.make_move(opening, 1) is True
    roster = opening % 9
    assert game.get_available_moves() == [c for c in range(9 * roster, 9 * roster + 9) if c != opening]
    with pytest.raises(ValueError, match="^" + PREFIX + "Expected player: 2, but got player 1$"):
        game.make_move(9 * roster, 1)


@pytest.mark.parametrize(
    "moves, cell, player, message",
    [
        ([], 0, 2, "Expected player: 1, but got player 2"),
        ([], 0, 0, "Expected player: 1, but got player 0"),
        ([], 0, -3, "Expected player: 1, but got player -3"),
        # Occupancy is tested before the roster.
        ([3], 3, 2, "THIS CELL ALREADY CONTAINS INPUT"),
        ([3], 0, 2, "Wrong roster! You have to play in roster 4"),
        ([1, 9, 2, 18, 0], 4, 2, "THIS ROSTER IS ALREADY COMPLETE"),
        # The player check comes before the cell's range.
        ([], 81, 2, "Expected player: 1, but got player 2"),
    ],
)
def test_refused_moves_change_nothing(moves, cell, player, message):
    game = Game(0)
    play(game, moves)
    before = snapshot(game)
    with pytest.raises(ValueError) as info:
        game.make_move(cell, player)
    assert str(info.value) == PREFIX + message
    assert snapshot(game) == before


@pytest.mark.parametrize("moves", [[], [40]])
@pytest.mark.parametrize("cell, index", [(81, 81), (127, 127), (-1, 255), (-128, 128)])
def test_cells_off_the_board_are_faults_and_the_game_stays_usable(moves, cell, index):
    game = Game(0)
    play(game, moves)
    before = snapshot(game)
    player = 1 + len(moves) % 2
    with pytest.raises(BaseException) as info:
        game.make_move(cell, player)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == f"index out of bounds: the len is 81 but the index is {index}"
    assert snapshot(game) == before
    assert game.make_move(game.get_available_moves()[0], player) is True


@pytest.mark.parametrize("args", [(128, 1), (0, 300), (-129, 1)])
def test_out_of_range_integers_overflow_and_change_nothing(args):
    game = Game(0)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        game.make_move(*args)
    assert len(game.get_available_moves()) == 81


def test_keywords_behave_like_positions():
    by_keyword, by_position = Game(id=7), Game(7)
    assert by_keyword.make_move(player_id_authentication=1, input=4) is True
    assert by_position.make_move(4, 1) is True
    assert snapshot(by_keyword) == snapshot(by_position)


def test_won_roster_leaves_play():
    game = Game(0)
    play(game, [1, 9, 2, 18, 0])  # player 1 completes the top row of roster 0
    moves = game.get_available_moves()
    assert not any(c < 9 for c in moves)
    assert len(moves) == 81 - 5 - 6  # five played, six empty cells of roster 0 dropped


def keywords(function, *values):
    """values passed by the parameter names that the function's signature shows."""
    names = [name for name in inspect.signature(function).parameters if name != "self"]
    assert len(names) == len(values)
    return dict(zip(names, values))


def test_signatures_name_the_keywords_that_the_methods_take():
    # help() and editors show the text signatures of the method tables; the argument
    # parser has its own list of names. A call by the shown names must be the same call.
    by_keyword, by_position = Game(**keywords(Game, 7)), Game(7)
    assert by_keyword.make_move(**keywords(Game.make_move, 4, 1)) is by_position.make_move(4, 1)
    assert snapshot(by_keyword) == snapshot(by_position)
    by_position.make_move(36, 2)
    checkpoint = by_position.make_checkpoint()
    assert by_keyword.load_checkpoint(**keywords(Game.load_checkpoint, checkpoint)) is None
    assert snapshot(by_keyword) == snapshot(by_position)
    for method in (Game.get_available_moves, Game.get_winner, Game.make_state, Game.make_checkpoint):
        assert keywords(method) == {}


@pytest.mark.parametrize("seed", range(40))
def test_random_games_match_the_reference_model(seed, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    rng = random.Random(seed)
    game, model = Game(seed), Model()
    while True:
        legal = game.get_available_moves()
        assert legal == model.legal() or (model.next_roster == 10 and sorted(legal) == model.legal())
        assert game.get_winner() == model.winner
        if not legal:
            break
        # Now and then try a refused move first and check the message.
        cell = rng.randrange(81)
        player = model.next_player if rng.random() < 0.8 else 3 - model.next_player
        refusal = model.refusal(cell, player)
        if refusal is not None:
            before = snapshot(game)
            with pytest.raises(ValueError) as info:
                game.make_move(cell, player)
            assert str(info.value) == PREFIX + refusal
            assert snapshot(game) == before
            continue
        assert cell in legal
        assert game.make_move(cell, player) is model.play(cell, player)
    for cell in range(81):
        with pytest.raises(ValueError, match="THIS GAME IS ALREADY OVER"):
            game.make_move(cell, model.next_player)
    assert not os.path.exists("games"), "a Game made from Python must not write a move log"
