"""The match runner: play_game and play_multiple_games with plain players and Python
subclasses, faults coming back from Python code, re-entrant use and stalled games."""
import subprocess
import sys

import numpy as np
import pytest

import nonagame
from nonagame import Game, Player, play_game, play_multiple_games

from reference import Model

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
TOO_MANY = ("\nCannot simulate more games than what a u32 allows. You definitely do not need to "
            "run more games than that.")
STALLED = "no move was accepted in 100 consecutive turns"
try:
    Game(0).make_move(81, 1)
except BaseException as exc:  # noqa: BLE001 - the type is what we are after
    PanicException = type(exc)


def occupied(state):
    return int(np.count_nonzero(state.board))


def replay(states, model=None):
    """Checks every snapshot (the position after one turn: one new mark, or none) against
    the reference model, move by move; returns the model."""
    model = model or Model()
    for state in states:
        board = state.board.tolist()
        new = [c for c in range(81) if board[c] != model.board[c]]
        assert len(new) <= 1 and not (new and model.refusal(new[0], board[new[0]]))
        if new:
            model.play(new[0], board[new[0]])
        assert state.player_id == model.next_player
        assert sorted(state.possible_moves.tolist()) == model.legal()
    return model


def check_game(game, model):
    """The game agrees with the model and holds no borrow."""
    assert game.get_winner() == model.winner and str(game)
    assert sorted(game.get_available_moves()) == model.legal()
    assert game.make_state().board.tolist() == model.board


def credited(model):
    return (model.winner == 1, model.winner == 2)


class Configured(Player):
    """A subclass whose constructor takes more than the id."""

    def __new__(cls, id, *args):
        return super().__new__(cls, id)

    def __init__(self, id, *args):
        self.id, self.args, self.calls, self.games = id, args, 0, []


class Raising(Configured):
    """Plays `after` random moves, then raises error(text)."""

    def make_move(self, game):
        error, text, after = self.args
        self.calls += 1
        if self.calls > after:
            raise error(text)
        Player.make_move(self, game)


class Index:
    def __index__(self):
        return 2


P1, P2 = Player(1), Player(2)


@pytest.mark.parametrize("call, error, text", [
    (lambda g: play_game(), TypeError,
     "play_game() missing 3 required positional arguments: 'player1', 'player2', and 'game'"),
    (lambda g: play_game(1, 2, 3), TypeError, "argument 'player1': 'int' object cannot be converted to 'Player'"),
    (lambda g: play_game(P1, g, 3), TypeError, "argument 'player2': 'Game' object cannot be converted to 'Player'"),
    (lambda g: play_game(P1, P2, P1), TypeError, "argument 'game': 'Player' object cannot be converted to 'Game'"),
    (lambda g: play_multiple_games(P1, P2, 2.0), TypeError,
     "argument 'number_of_games': 'float' object cannot be converted to 'PyInt'"),
    (lambda g: play_multiple_games(P1, P2, Index()), TypeError,
     "argument 'number_of_games': 'Index' object cannot be converted to 'PyInt'"),
    (lambda g: play_multiple_games(P1, P2, -1), PanicException,
     "OverflowError: can't convert negative int to unsigned" + TOO_MANY),
    (lambda g: play_multiple_games(P1, P2, 2**32), PanicException,
     "OverflowError: out of range integral type conversion attempted" + TOO_MANY),
])
def test_argument_errors_play_nothing(call, error, text):
    game = Game(0)
    with pytest.raises(error) as info:
        call(game)
    assert info.value.args == (text,)
    assert len(game.get_available_moves()) == 81 and P1.get_wins() == P2.get_wins() == 0


def test_functions_surface():
    assert play_game.__module__ == play_multiple_games.__module__ == "nonagame"
    assert play_game.__self__ is nonagame
    assert play_game.__text_signature__ == "(player1, player2, game)"
    assert play_game.__doc__ == ("Play one game between two player objects.\nDelegates to overridden "
                                 "make_move method if it exists.\n\nTodo: add caching for speeding up perhaps?")
    assert play_multiple_games.__text_signature__ == "(player1, player2, number_of_games)"
    assert play_multiple_games.__doc__ == "Play multiple games in a single-threaded environment"


@pytest.mark.parametrize("kind", [Player, type("Plain", (Player,), {})])
def test_whole_game_then_no_second_credit(kind):
    p1, p2, game = kind(1), kind(2), Game(0)
    states = play_game(p1, p2, game=game)
    assert [occupied(s) for s in states] == list(range(1, len(states) + 1))
    model = replay(states)
    check_game(game, model)
    assert not model.legal() and 17 <= len(states) <= 81
    assert (p1.get_wins(), p2.get_wins()) == credited(model)
    # The finished game plays no turn and nobody is credited again.
    assert play_game(p1, p2, game) == [] and (p1.get_wins(), p2.get_wins()) == credited(model)


def test_player_to_move_starts_the_run(capsys):
    game = Game(0)
    game.make_move(40, 1)
    states = play_game(Player(1), Player(2), game)
    assert capsys.readouterr().out == "" and states[0].board.tolist().count(2) == 1
    model = Model()
    model.play(40, 1)
    check_game(game, replay(states, model))


def test_override_gets_the_game_its_result_is_ignored_and_credit_skips_it():
    class Lowest(Configured):
        def make_move(self, game):
            self.games.append(game)
            game.make_move(min(game.get_available_moves()), self.id)
            return [42, "x", None][len(self.games) % 3]

        def increment_wins(self):
            raise AssertionError("the runner called the override")

    for _ in range(10):
        game, first, second = Game(0), Lowest(1), Lowest(2)
        model = replay(play_game(first, second, game))
        assert all(g is game for g in first.games + second.games)
        assert (first.get_wins(), second.get_wins()) == credited(model)


def test_credit_goes_by_position_not_by_id(capsys):
    """Ids swapped against positions: after one refused turn the marker and the game agree
    again, and winner 1 is credited to the first position, whose id is 2."""
    for _ in range(10):
        game, first, second = Game(0), Player(2), Player(1)
        model = replay(play_game(first, second, game))
        assert capsys.readouterr().out.count("\n") == 1
        assert (first.get_wins(), second.get_wins()) == credited(model)


class Lookup(Player):
    def __getattribute__(self, name):
        if name == "make_move":
            raise AttributeError("no make_move here")
        return super().__getattribute__(name)


class Cheater(Player):
    def make_move(self, game):
        game.make_move(40, 2)


@pytest.mark.parametrize("first, text", [
    (Raising(1, ValueError, "bad move", 3), "ValueError: bad move (traceback: <traceback object at 0x"),
    (Cheater(1), "ValueError: ERROR: Invalid move error - Expected player: 1, but got player 2 (traceback: <"),
    (Lookup(1), "AttributeError: no make_move here (traceback: <traceback object at 0x"),
    # Raised by the interpreter itself: no Python frame, so no traceback.
    (type("NotCallable", (Player,), {"make_move": None})(1),
     "TypeError: 'NoneType' object is not callable (traceback: None)"),
])
def test_override_errors_become_faults(first, text):
    game, second = Game(0), Player(2)
    with pytest.raises(BaseException) as info:
        try:
            play_game(first, second, game)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("the fault was caught as an Exception")
    assert type(info.value) is PanicException and info.value.args[0].startswith(UNWRAP + text)
    # Moves made so far stay, nobody is credited, and the game plays on.
    assert occupied(game.make_state()) == (6 if isinstance(first, Raising) else 0)
    assert first.get_wins() == second.get_wins() == 0
    assert play_game(Player(1), Player(2), game) and not game.get_available_moves()


@pytest.mark.parametrize("body, text", [
    ("game.make_move(81, 1)", "index out of bounds: the len is 81 but the index is 81"),
    ("raise Sub('custom text')", "custom text"),
    ("raise Mute('hidden')", "Unwrapped panic from Python code"),
])
def test_panic_from_an_override_is_resumed(body, text, capfd):
    class Sub(PanicException):
        pass

    class Mute(PanicException):
        def __str__(self):
            raise ValueError("no text")

    class Bot(Player):
        def make_move(self, game):
            exec(body, {"Sub": Sub, "Mute": Mute, "game": game})

    with pytest.raises(PanicException) as info:
        play_game(Bot(1), Player(2), Game(0))
    assert type(info.value) is PanicException and info.value.args == (text,)
    lines = capfd.readouterr().err.splitlines()
    assert lines[:3] == ["A PanicException raised by Python code is resumed as a fault of the native code.",
                         "Python stack trace below:", "Traceback (most recent call last):"]
    assert any(line.endswith(", in make_move") for line in lines)


def test_panic_that_is_also_system_exit_does_not_end_the_process():
    script = (
        "from nonagame import Game, Player, play_game\n"
        "try:\n    Game(0).make_move(81, 1)\nexcept BaseException as exc:\n    Panic = type(exc)\n"
        "class Exit(Panic, SystemExit):\n    pass\n"
        "class Bot(Player):\n    def make_move(self, game):\n        raise Exit('leaving')\n"
        "try:\n    play_game(Bot(1), Player(2), Game(0))\n"
        "except BaseException as exc:\n    print(type(exc).__name__, exc.args)\n"
        "print('still running')\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "PanicException ('leaving',)\nstill running\n")
    assert "Python stack trace below:" in result.stderr


# Re-entrant calls from an override: the runner holds no borrow while Python code runs;
# calls into a game that its own make_move holds fail with the borrow errors.


class Busy(Configured):
    """Moves through game.make_move with an argument whose conversion runs the action."""

    def make_move(self, game):
        action, errors = self.args
        me, cell = self, min(game.get_available_moves())

        class Probe:
            def __index__(self):
                try:
                    action(me, game)
                except BaseException as exc:  # noqa: BLE001 - PanicException included
                    errors.append((type(exc), exc.args))
                return cell

        game.make_move(Probe(), self.id)
        self.increment_wins()


@pytest.mark.parametrize("action, error", [
    (lambda me, g: Player.make_move(me, g), (PanicException, ("Already borrowed",))),
    (lambda me, g: play_game(Player(1), Player(2), g), (PanicException, (UNWRAP + "Already borrowed",))),
    (lambda me, g: g.make_move(0, me.id), (RuntimeError, ("Already borrowed",))),
    (lambda me, g: g.get_available_moves(), (RuntimeError, ("Already mutably borrowed",))),
])
def test_calls_into_a_held_game_fail_and_leave_it_intact(action, error):
    errors = []
    game, first, second = Game(0), Busy(1, action, errors), Player(2)
    model = replay(play_game(first, second, game))
    check_game(game, model)
    assert errors == [error] * len(errors) and errors
    # The override's own increments count, on top of the runner's credit.
    assert (first.get_wins(), second.get_wins()) == (len(errors) + (model.winner == 1), model.winner == 2)


def test_nested_run_on_the_same_game():
    inner = {}

    class Delegate(Player):
        def make_move(self, game):
            Player.make_move(self, game)  # the base class's random move, then the rest
            inner["players"] = Player(1), Player(2)
            inner["states"] = play_game(*inner["players"], game)

    game, first, second = Game(0), Delegate(1), Player(2)
    states = play_game(first, second, game)
    model = Model()
    model.play(np.flatnonzero(inner["states"][0].board == 1)[0], 1)
    check_game(game, replay(inner["states"], model))
    # The outer run played one turn, which ended the game: both runs credit the winner.
    assert len(states) == 1 and states[0].board.tolist() == model.board
    assert (first.get_wins(), second.get_wins()) == credited(model)
    assert tuple(p.get_wins() for p in inner["players"]) == credited(model)


@pytest.mark.parametrize("fail", ["raise", "stall", "none"])
def test_runner_releases_its_references(fail, monkeypatch):
    first = {"raise": Raising(1, KeyError, "k", 2), "stall": Player(2), "none": Player(1)}[fail]
    second, game = Player(2), Game(0)
    monkeypatch.setattr(sys, "stdout", Guard(game))
    before = [sys.getrefcount(x) for x in (first, second, game)]
    try:
        play_game(first, second, game)
    except BaseException:  # noqa: BLE001
        pass
    assert [sys.getrefcount(x) for x in (first, second, game)] == before


# Games that cannot go on stop with RuntimeError. The guards below turn a run that would
# never end into a failure instead of a hang.


class Idle(Configured):
    def make_move(self, game):
        self.calls += 1
        assert self.calls < 1000, "the stalled run was not stopped"


class Guard:
    """A stdout that also checks that the game is free while the runner prints."""

    def __init__(self, game):
        self.game, self.lines = game, []

    def write(self, text):
        self.lines.append(text)
        self.game.get_available_moves()
        assert len(self.lines) < 1000, "the stalled run was not stopped"

    def flush(self):
        pass


@pytest.mark.parametrize("players, moves, lines", [
    (lambda: (Player(1), Player(1)), 1, 100),
    (lambda: (Player(2), Player(2)), 0, 100),
    (lambda: (Idle(1), Idle(2)), 0, 0),
    (lambda: (Player(1), Idle(2)), 1, 50),
])
def test_stalled_run_stops(players, moves, lines, monkeypatch):
    game, (first, second) = Game(0), players()
    guard = Guard(game)
    monkeypatch.setattr(sys, "stdout", guard)
    with pytest.raises(RuntimeError) as info:
        play_game(first, second, game)
    assert info.value.args[0].startswith(STALLED) and len(guard.lines) == lines
    assert occupied(game.make_state()) == moves and first.get_wins() == second.get_wins() == 0
    monkeypatch.undo()
    model = Model()
    if moves:
        model.play(game.make_state().board.tolist().index(1), 1)
    check_game(game, replay(play_game(Player(1), Player(2), game), model))


def test_a_turn_without_a_move_is_not_a_stall(capsys):
    class Late(Configured):
        def make_move(self, game):
            self.calls += 1
            if self.calls > 1:
                Player.make_move(self, game)

    game = Game(0)
    states = play_game(Late(1), Player(2), game)
    # Turn 1 skipped, turn 2 refused (player 2 while player 1 is to move), then normal play.
    assert [occupied(s) for s in states[:3]] == [0, 0, 1]
    assert capsys.readouterr().out == "ERROR: Invalid move error - Expected player: 1, but got player 2\n"
    check_game(game, replay(states))


def test_series_keeps_the_wins_of_games_before_a_stall(monkeypatch):
    class Quits(Configured):
        """Plays at random in the first game, not at all in the second."""

        def make_move(self, game):
            if not self.games or self.games[-1] is not game:
                self.games.append(game)
            if len(self.games) == 1:
                Player.make_move(self, game)

    first, second = Quits(1), Player(2)
    monkeypatch.setattr(sys, "stdout", Guard(Game(0)))
    with pytest.raises(RuntimeError, match=STALLED):
        play_multiple_games(first, second, 3)
    assert len(first.games) == 2 and first.games[1].get_available_moves()
    winner = first.games[0].get_winner()
    assert (first.get_wins(), second.get_wins()) == (winner == 1, winner == 2)


def test_series_of_games():
    p1, p2 = Player(1), Player(2)
    p1.increment_wins()
    assert play_multiple_games(p1, p2, 0) == [] and (p1.get_wins(), p2.get_wins()) == (1, 0)
    games = []
    for state in play_multiple_games(p1, p2, 3):
        if occupied(state) == 1:  # the first snapshot of each game
            games.append([])
        games[-1].append(state)
    models = [replay(g) for g in games]
    assert len(games) == 3 and not any(m.legal() for m in models)
    winners = [m.winner for m in models]
    assert (p1.get_wins(), p2.get_wins()) == (1 + winners.count(1), winners.count(2))
    assert occupied(play_multiple_games(player1=p1, player2=p2, number_of_games=True)[0]) == 1
    # The limit itself is accepted: the first turn's fault shows that the series began.
    with pytest.raises(PanicException, match="ValueError: stop"):
        play_multiple_games(Raising(1, ValueError, "stop", 0), p2, 4294967295)
