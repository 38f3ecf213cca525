"""Python code run by the module that uses the module again: make_move overrides that re-enter
the runner on their own game, load checkpoints into it, call the base move or raise at
chosen points; __index__ methods that call into the game being moved; sys.excepthook while a
fault from Python is reported; and Python threads playing at once, each on its own games or
sharing players and games."""
import gc
import json
import random
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from nonagame import Game, Player, play_game, play_multiple_games

from reference import Model, from_position

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
try:
    Game(0).make_move(81, 1)
except BaseException as exc:  # noqa: BLE001 - the type is what we are after
    PanicException = type(exc)


def forced_roster(moves):
    rosters = {c // 9 for c in moves}
    return rosters.pop() if 0 < len(moves) <= 9 and len(rosters) == 1 else -1


def saved_position(game):
    """The game's position as the reference model saves it."""
    state = game.make_state()
    return from_position(state.board.tolist(), state.player_id, forced_roster(state.possible_moves.tolist()))


def follow(states, model=None, loads=None):
    """Checks that every snapshot is the position before it plus at most one legal move;
    at the snapshot indexes in loads, Python code loaded that saved position first.
    Returns the model of the last position."""
    model, loads = model or Model(), loads or {}
    for i, state in enumerate(states):
        if i in loads:
            model = Model()
            model.load(loads[i])
        board = state.board.tolist()
        new = [c for c in range(81) if board[c] != model.board[c]]
        assert len(new) <= 1, f"snapshot {i} is not one move on"
        if new:
            (cell,) = new
            assert model.refusal(cell, board[cell]) is None and cell in model.legal()
            model.play(cell, board[cell])
        assert state.player_id == model.next_player and sorted(state.possible_moves.tolist()) == model.legal()
    return model


def check_usable(games, players):
    """No borrow is left held: every method of every game and player works, and a move is
    either played or refused with ValueError."""
    for game in games:
        assert str(game) and game.get_winner() in (0, 1, 2) and game.make_state() is not None
        game.load_checkpoint(game.make_checkpoint())
        legal = game.get_available_moves()
        player = game.make_state().player_id
        try:
            game.make_move(legal[0] if legal else 0, player)
        except ValueError:
            assert not legal
    for player, ident in players:
        before = player.get_wins()
        player.increment_wins()
        assert player.get_wins() == before + 1
        game = Game(0)
        if ident == 2:
            game.make_move(40, 1)
        Player.make_move(player, game)
        assert np.count_nonzero(game.make_state().board) == ident


def credited(game):
    winner = game.get_winner()
    return winner == 1, winner == 2


class Lowest(Player):
    """Plays the lowest legal cell when its id is the player to move, else passes; counts
    its calls, remembers the games it played in (safe across threads) and lets other
    threads run before it moves."""

    def __new__(cls, ident, *args):
        return super().__new__(cls, ident)

    def __init__(self, ident, *args):
        self.ident, self.calls, self.games = ident, 0, {}

    def play(self, game):
        state = game.make_state()
        if state.player_id == self.ident and state.possible_moves.size:
            game.make_move(int(state.possible_moves.min()), self.ident)

    def make_move(self, game):
        self.calls += 1
        self.games[id(game)] = game
        TURNS.append(threading.get_ident())
        time.sleep(0)  # lets other threads run in the middle of the match
        self.play(game)


TURNS = []  # the threads that made the overrides' turns, in order


# --- overrides that re-enter the runner on their own game ----------------------------------


class Nesting(Lowest):
    """On call `at`, runs a whole nested play_game on the game it was given, before or after
    its own move, with the same or with new players."""

    def __init__(self, ident, at, when, same):
        super().__init__(ident)
        self.at, self.when, self.same, self.nested = at, when, same, None

    def make_move(self, game):
        self.calls += 1
        if self.calls != self.at or self.nested is not None:
            self.play(game)
            return
        if self.when == "after":
            self.play(game)
        self.nested = {"position": saved_position(game)}
        players = (self, self.opponent) if self.same else (Player(1), Player(2))
        self.nested.update(players=players, states=play_game(*players, game))
        if self.when == "before":
            self.play(game)  # the game is over: this changes nothing


@pytest.mark.parametrize("same", [True, False], ids=["same players", "new players"])
@pytest.mark.parametrize("when", ["before", "after"])
@pytest.mark.parametrize("at", [1, 4])
def test_override_runs_a_nested_match_on_its_own_game(at, when, same):
    first = Nesting(1, at, when, same)
    second = first.opponent = Player(2)
    game = Game(0)
    outer = play_game(first, second, game)
    nested = first.nested
    assert nested is not None and not game.get_available_moves()
    # Outer turns up to the nested run, the nested run from where it began, then the outer
    # snapshot of the turn that nested: the finished game.
    turn = 2 * (at - 1)
    follow(outer[:turn])
    start = Model()
    start.load(nested["position"])
    model = follow(nested["states"], start)
    assert len(outer) == turn + 1 and outer[-1].board.tolist() == model.board == game.make_state().board.tolist()
    # Both runs credit the winner by position; with the same players that is twice.
    assert (first.get_wins(), second.get_wins()) == tuple(w * (1 + same) for w in credited(game))
    if not same:
        assert tuple(p.get_wins() for p in nested["players"]) == credited(game)
    check_usable([game], [(first, 1), (second, 2)])


def test_unbounded_nesting_ends_in_a_fault(capfd):
    """Each override starts another match: the recursion limit stops it, every level turns
    the error into its fault, and the process goes on."""
    class Deep(Player):
        def make_move(self, game):
            play_game(self, Player(2), Game(0))

    with pytest.raises(PanicException) as info:
        play_game(Deep(1), Player(2), Game(0))
    assert info.value.args[0].startswith(UNWRAP + "RecursionError: maximum recursion depth exceeded")
    assert "Python stack trace below:" in capfd.readouterr().err
    check_usable([Game(0)], [(Deep(1), 1)])


def test_override_runs_a_series_inside_a_run():
    class Series(Lowest):
        def make_move(self, game):
            super().make_move(game)
            if self.calls == 2:
                self.series = play_multiple_games(Player(1), Lowest(2), 2)

    first, second, game = Series(1), Player(2), Game(0)
    follow(play_game(first, second, game))
    assert credited(game) == (first.get_wins(), second.get_wins())
    assert len(first.series) >= 34 and np.count_nonzero(first.series[0].board) == 1


# --- overrides that load checkpoints into the game being played ----------------------------


def drawn_checkpoint():
    """Every roster full without a line: nobody wins and no cell is left."""
    state = Game(0).make_state()
    state.board[:] = [1, 2, 1, 1, 2, 2, 2, 1, 1] * 9
    return state.to_checkpoint()


def won_checkpoint(winner):
    state = Game(0).make_state()
    for roster in (2, 4, 6):
        state.board[9 * roster: 9 * roster + 9] = [winner, 0, 0, 0, winner, 0, 0, 0, winner]
    return state.to_checkpoint()


class Loader(Lowest):
    """Saves a checkpoint of its game (and the reference position) on its first call; on
    the calls in `loads` it loads that checkpoint, or the fixed one given, then moves
    (move=False: it passes on those calls)."""

    def __init__(self, ident, loads, fixed=None, move=True):
        super().__init__(ident)
        self.loads, self.fixed, self.move, self.loaded = loads, fixed, move, {}

    def make_move(self, game):
        self.calls += 1
        if self.calls == 1:
            self.saved = game.make_checkpoint(), saved_position(game)
        if self.calls in self.loads:
            checkpoint = self.fixed if self.fixed is not None else self.saved[0]
            game.load_checkpoint(checkpoint)
            self.loaded[2 * (self.calls - 1)] = saved_position(game)  # the turn's snapshot index
            if not self.move:
                return
        if self.move == "base":
            Player.make_move(self, game)
        else:
            self.play(game)


@pytest.mark.parametrize("loads, fixed, move", [
    ({4}, None, True),                 # back to the first position once
    ({3, 4, 5, 6, 7}, None, True),     # five times in a row
    ({6}, None, "base"),               # the base class's random move after loading
    ({3}, "new", True),                # a new game's position in the middle of a run
    ({3}, "new", False),               # ... without moving: the runner's turn marker drifts
    ({2}, "won by 2", True),           # a finished position ends the run; its winner is credited
    ({2}, "won by 1", True),
    ({2}, "drawn", True),
])
def test_override_loads_checkpoints_into_its_own_game(loads, fixed, move, capsys):
    fixed = {None: None, "new": Game(0).make_checkpoint(), "won by 1": won_checkpoint(1),
             "won by 2": won_checkpoint(2), "drawn": drawn_checkpoint()}[fixed]
    first, second, game = Loader(1, loads, fixed, move), Player(2), Game(0)
    states = play_game(first, second, game)
    model = follow(states, loads=first.loaded)
    assert len(first.loaded) == len(loads) and model.finished and not game.get_available_moves()
    assert (first.get_wins(), second.get_wins()) == credited(game) == (model.winner == 1, model.winner == 2)
    # Turns in which the game expected the other player print the default move's refusal.
    refused = capsys.readouterr().out.count("ERROR: Invalid move error - Expected player: 1, but got player 2")
    assert refused == (1 if move is False else 0)
    check_usable([game], [(first, 1), (second, 2)])


# --- overrides that raise at different points ----------------------------------------------


class Failing(Lowest):
    """Raises on call `at`, before or after its own move (the base class's random move)."""

    def __init__(self, ident, at, when, error):
        super().__init__(ident)
        self.at, self.when, self.error = at, when, error

    def make_move(self, game):
        self.calls += 1
        if self.calls == self.at and self.when == "before":
            self.error()
        Player.make_move(self, game)
        if self.calls == self.at and self.when == "after":
            self.error()


def panic():
    Game(0).make_move(81, 1)


def raising(make):
    def error():
        raise make()
    return error


ERRORS = {
    "ValueError": (raising(lambda: ValueError("bad")), UNWRAP + "ValueError: bad (traceback: <"),
    "KeyboardInterrupt": (raising(lambda: KeyboardInterrupt("ctrl-c")),
                          UNWRAP + "KeyboardInterrupt: ctrl-c (traceback: <"),
    "SystemExit": (lambda: sys.exit("leave"), UNWRAP + "SystemExit: leave (traceback: <"),
    "PanicException": (panic, "index out of bounds: the len is 81 but the index is 81"),
}


@pytest.mark.parametrize("error", sorted(ERRORS))
@pytest.mark.parametrize("position", [1, 2])
@pytest.mark.parametrize("at, when", [(1, "before"), (1, "after"), (2, "after"), (8, "before"), (8, "after")])
def test_override_raising_stops_the_run_keeps_its_moves_and_credits_nobody(error, position, at, when, capfd):
    raise_it, text = ERRORS[error]
    failing = Failing(position, at, when, raise_it)
    first, second = (failing, Player(2)) if position == 1 else (Player(1), failing)
    game = Game(0)
    with pytest.raises(BaseException) as info:
        play_game(first, second, game)
    assert type(info.value) is PanicException and info.value.args[0].startswith(text)
    # Moves of both players up to the failing call, and its own move when it raised after it.
    moves = 2 * (at - 1) + (position == 2) + (when == "after")
    assert np.count_nonzero(game.make_state().board) == moves
    assert first.get_wins() == second.get_wins() == 0
    err = capfd.readouterr().err
    assert ("Python stack trace below:" in err) == (error == "PanicException")
    # The game plays on from where it stopped.
    model = Model()
    model.load(saved_position(game))
    assert follow(play_game(Player(1), Player(2), game), model).finished and not game.get_available_moves()
    check_usable([game], [(first, 1), (second, 2)])


# --- __index__ calling into the game that converts it ---------------------------------------


class Probe:
    def __init__(self, action, cell):
        self.action, self.cell, self.result = action, cell, None

    def __index__(self):
        try:
            self.result = self.action()
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            self.result = exc
        return self.cell


@pytest.mark.parametrize("action, error", [
    (lambda g: g.make_state(), (RuntimeError, "Already mutably borrowed")),
    (lambda g: g.make_checkpoint(), (RuntimeError, "Already mutably borrowed")),
    (lambda g: g.load_checkpoint(Game(0).make_checkpoint()), (RuntimeError, "Already borrowed")),
    (lambda g: play_game(Lowest(1), Lowest(2), g), (PanicException, UNWRAP + "Already borrowed")),
    # Other games are free.
    (lambda g: play_multiple_games(Player(1), Player(2), 1), None),
    (lambda g: Game(0).make_move(40, 1), None),
])
def test_index_calls_into_the_game_it_is_converted_for(action, error):
    game = Game(0)
    probe = Probe(lambda: action(game), 40)
    assert game.make_move(probe, 1) is True
    if error is None:
        assert not isinstance(probe.result, BaseException)
    else:
        assert (type(probe.result), probe.result.args) == (error[0], error[1:])
    assert game.get_available_moves() == [36, 37, 38, 39, 41, 42, 43, 44]
    check_usable([game], [])


# --- sys.excepthook while a PanicException from Python code is reported --------------------


def test_a_panic_from_an_override_is_shown_through_sys_excepthook(monkeypatch, capfd):
    seen = []
    monkeypatch.setattr(sys, "excepthook", lambda *info: seen.append(info))

    class Bot(Player):
        def make_move(self, game):
            panic()

    with pytest.raises(PanicException):
        play_game(Bot(1), Player(2), Game(0))
    assert len(seen) == 1 and seen[0][0] is PanicException and seen[0][2] is not None
    assert seen[0][1].args == ("index out of bounds: the len is 81 but the index is 81",)
    assert capfd.readouterr().err.splitlines()[-1] == "Python stack trace below:"


@pytest.mark.parametrize("hook, shown", [
    ("def hook(*info):\n    raise SystemExit(3)\nsys.excepthook = hook", "Error in sys.excepthook:"),
    ("def hook(*info):\n    raise ValueError('hook failed')\nsys.excepthook = hook", "ValueError: hook failed"),
    ("del sys.excepthook", "sys.excepthook is missing"),
])
def test_a_failing_excepthook_does_not_end_the_process(hook, shown):
    script = (
        "import sys\nfrom nonagame import Game, Player, play_game\n" + hook + "\n"
        "class Bot(Player):\n    def make_move(self, game):\n        Game(0).make_move(81, 1)\n"
        "try:\n    play_game(Bot(1), Player(2), Game(0))\n"
        "except BaseException as exc:\n    print(type(exc).__name__, exc.args)\n"
        "print('still running')\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("PanicException ('index out of bounds: the len is 81 but the index is 81',)\n"
                             "still running\n")
    # The original exception is shown in every case, after the hook's own failure.
    assert shown in result.stderr and result.stderr.rstrip().endswith(
        "PanicException: index out of bounds: the len is 81 but the index is 81")


# --- threads ---------------------------------------------------------------------------------


@pytest.fixture
def switch_often():
    """Threads take turns every microsecond: Python overrides let the others run mid-match."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(*targets, interleaved=True):
    """Runs the targets in threads started together; checks that none failed and (when
    they all play) that their overrides' turns interleaved."""
    errors, barrier = [], threading.Barrier(len(targets))
    TURNS.clear()

    def guarded(target):
        try:
            barrier.wait()
            target()
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(t.is_alive() for t in threads) and errors == []
    switches = sum(a != b for a, b in zip(TURNS, TURNS[1:]))
    assert switches >= 10 or not interleaved, f"the threads barely interleaved ({switches} switches)"


def wins_of(games, position):
    return sum(g.get_winner() == position for g in games)


def test_threads_play_their_own_games_at_once(switch_often):
    rounds, results = 6, []

    def work(seed):
        rng = random.Random(seed)
        p1, p2, q1, q2, r1, r2 = Lowest(1), Player(2), Player(1), Lowest(2), Lowest(1), Lowest(2)
        by_p, by_q = [Game(0) for _ in range(rounds)], [Game(0) for _ in range(rounds)]
        for game in by_p:
            follow(play_game(p1, p2, game))
        for game in by_q:
            follow(play_game(q1, q2, game))
        series = play_multiple_games(r1, r2, rounds)
        # Moves made one by one, checked against the model as they go.
        game, model = Game(0), Model()
        while model.legal():
            cell = rng.choice(model.legal())
            assert game.make_move(cell, model.next_player) is model.play(cell, model.next_player)
        results.append((p1, p2, q1, q2, r1, r2, by_p, by_q, series, game))

    run_threads(*(lambda s=s: work(s) for s in range(4)))
    assert len(results) == 4
    for p1, p2, q1, q2, r1, r2, by_p, by_q, series, game in results:
        assert (p1.get_wins(), p2.get_wins()) == (wins_of(by_p, 1), wins_of(by_p, 2))
        assert (q1.get_wins(), q2.get_wins()) == (wins_of(by_q, 1), wins_of(by_q, 2))
        played = list(r1.games.values())
        assert len(played) == rounds and len(series) >= 17 * rounds
        assert (r1.get_wins(), r2.get_wins()) == (wins_of(played, 1), wins_of(played, 2))
        check_usable(by_p + by_q + played + [game], [(p1, 1), (p2, 2), (q1, 1), (q2, 2), (r1, 1), (r2, 2)])


def test_threads_share_players(switch_often):
    plain, python, increments = Player(1), Lowest(2), 2000
    singles = []

    def work():
        games = [Game(0) for _ in range(5)]
        for game in games:
            play_game(plain, python, game)
        singles.extend(games)
        play_multiple_games(plain, python, 5)
        for _ in range(increments):
            python.increment_wins()

    run_threads(*[work] * 4)
    played = list(python.games.values())  # every game of every thread, series included
    assert len(played) == 40 and all(g in played for g in singles)
    assert plain.get_wins() == wins_of(played, 1)
    assert python.get_wins() == wins_of(played, 2) + 4 * increments
    check_usable(played, [(plain, 1), (python, 2)])


class Tolerant(Lowest):
    """Another thread may move between its look at the game and its move."""

    def play(self, game):
        try:
            super().play(game)
        except ValueError:
            pass


def test_threads_read_and_move_a_game_that_another_thread_runs(switch_often):
    """The runner holds no borrow while Python code runs: other threads may read the game
    and even move in it; they meet refusals (ValueError), never a borrow conflict."""
    games, done, seen = [], threading.Event(), {"reads": 0, "moves": 0, "refusals": 0}

    def runner():
        try:
            for _ in range(20):
                games.append(Game(0))
                play_game(Tolerant(1), Tolerant(2), games[-1])
        finally:
            done.set()

    def reader():
        while not done.is_set():
            if games:
                game = games[-1]
                game.get_winner(), str(game), game.make_state().to_checkpoint(), game.get_available_moves()
                seen["reads"] += 1

    def mover():
        while not done.is_set():
            if games:
                game = games[-1]
                state = game.make_state()
                try:
                    game.make_move(int(state.possible_moves.max()) if state.possible_moves.size else 0,
                                   state.player_id)
                    seen["moves"] += 1
                except ValueError:
                    seen["refusals"] += 1

    run_threads(runner, reader, reader, mover, interleaved=False)
    # Moves accepted from the other thread went into games that the runner was playing.
    assert seen["reads"] > 0 and seen["moves"] > 0
    assert len(games) == 20 and not any(g.get_available_moves() for g in games)
    check_usable(games, [])


def list_moves(game):
    gc.set_threshold(1)  # the list the call makes starts a collection
    return game.get_available_moves()


def refuse_while_handling(game):
    """A refused move raised while another exception is handled: the refusal is chained to
    it, which makes the exception object at once (Python 3.11 collects on that allocation)."""
    try:
        raise KeyError("being handled")
    except KeyError:
        gc.set_threshold(1)
        try:
            game.make_move(0, 2)
        except ValueError as exc:
            return exc


@pytest.mark.parametrize("call", [list_moves, refuse_while_handling])
def test_finalizers_run_by_a_collection_inside_a_call_may_change_the_game(call):
    """A collection started by an object that a call makes runs finalizers, which are Python
    code: the call gives its borrow back before it makes any object, so they may use the game."""
    game = Game(0)
    outcome = []

    class Cycle:
        def __del__(self):
            try:
                outcome.append(game.make_move(40, 1))
            except RuntimeError as exc:  # the game was still borrowed
                outcome.append(exc)

    gc.collect()
    cycle = Cycle()
    cycle.self = cycle
    del cycle
    threshold = gc.get_threshold()
    try:
        result = call(game)  # sets a threshold at which the object it makes starts a collection
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    assert outcome == [True]
    assert result is not None


SHARED_GAME = """
import gc, json, random, sys, threading, time
import nonagame

gc.set_threshold(20, 5, 5)  # a collection every few allocations of tracked objects
sys.setswitchinterval(1e-6)


class Finalized:
    # Cyclic garbage whose finalizer is Python code: every collection runs some, and while
    # it runs another thread may take the interpreter.
    def __del__(self):
        self.gone = True


game = nonagame.Game(0)
start = game.make_checkpoint()
stop = time.monotonic() + float(sys.argv[1])
conflicts, calls = [], []


def worker(seed):
    rng, done = random.Random(seed), 0
    while time.monotonic() < stop:
        junk = Finalized()
        junk.cycle = junk
        del junk
        try:
            moves = game.get_available_moves()
            if not moves:
                game.load_checkpoint(start)
                continue
            state = game.make_state()
            try:
                game.make_move(rng.choice(moves), state.player_id)
            except ValueError:
                # Another thread moved first. Retried from the handler, a refusal is
                # raised while the first one is being handled.
                game.make_move(rng.choice(moves), 3 - state.player_id)
            if rng.random() < 0.2:
                game.load_checkpoint(game.make_checkpoint())
            game.get_winner(), str(game)
        except ValueError:
            pass
        except RuntimeError as exc:
            conflicts.append(str(exc))
        done += 1
    calls.append(done)


threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(6)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(json.dumps({"conflicts": len(conflicts), "kinds": sorted(set(conflicts)), "fewest_calls": min(calls)}))
"""


def test_threads_sharing_a_game_meet_no_borrow_conflict():
    """Six threads call one game's own methods while collections run Python finalizers and
    the interpreter switches threads as often as it can. The game lends its record only
    around work that runs no Python code and makes no Python object, so no thread ever finds
    it borrowed: they meet refused moves (ValueError), never RuntimeError. A fresh process,
    so that the first snapshot also locates NumPy (an import that runs Python code)."""
    result = subprocess.run([sys.executable, "-c", SHARED_GAME, "1.5"], check=True,
                            capture_output=True, text=True, timeout=120)
    seen = json.loads(result.stdout)
    assert (seen["conflicts"], seen["kinds"]) == (0, [])
    assert seen["fewest_calls"] > 100, "a thread barely ran"
