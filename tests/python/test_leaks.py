"""Every entry point, on success and on each of its error paths, called over and over: the
memory in use (traced Python allocations and the resident set of the process) stays flat,
and the reference counts of the classes, of None, True and False, of small ints and
strings, of the exception types and of each case's own objects come back to where they were.

Each case runs CALLS times after a warm-up: 72 cases, 180,000 calls. Under the sanitizers
(NONAGAME_SANITIZED) each case runs 100 times and only the reference counts are
judged: the memory figures would measure the sanitizer's allocator."""
import array
import contextlib
import ctypes
import gc
import os
import sys
import tracemalloc

import pytest

from nonagame import Checkpoint, Game, Player, State, play_game, play_multiple_games

SANITIZED = bool(os.environ.get("NONAGAME_SANITIZED"))
# Every call of a case takes the same path, so a wrong reference moves a count by the number
# of calls: 100 calls show it as surely as 2,500, and under ASan each call costs far more.
CALLS = 100 if SANITIZED else 2500
WARM_UP = 20 if SANITIZED else 100
# Allowed growth over the CALLS calls of one case, measured after the warm-up. Measured
# with 2,500 and 10,000 calls per case, the growth did not depend on the number of calls:
# traced 1-3 KiB (up to 15 KiB when released snapshots refill their free list of 500),
# C heap 1-38 KiB (tracemalloc's own tables included), resident set 0-4 KiB. A leak of 13
# bytes per call (traced), 26 bytes (C heap) or 210 bytes (resident set) exceeds them.
TRACED_BOUND = 32 * 1024
HEAP_BOUND = 64 * 1024
RSS_BOUND = 512 * 1024

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
PREFIX = "ERROR: Invalid move error - "
try:
    Game(0).make_move(81, 1)
except BaseException as exc:  # noqa: BLE001 - the type is what we are after
    PanicException = type(exc)


class Sub(Player):
    pass


class Index:
    def __init__(self, action=None, value=40):
        self.action, self.value = action, value

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value


CAUSE = KeyError("the cause")


def type_error_with_cause():
    error = TypeError("no index here")
    error.__cause__ = CAUSE
    raise error


def value_error():
    raise ValueError("not now")


def finished_game():
    game = Game(0)
    play_game(Player(1), Player(2), game)
    return game


def opened(*cells):
    game = Game(0)
    for i, cell in enumerate(cells):
        game.make_move(cell, 1 + i % 2)
    return game


class Lowest(Player):
    def make_move(self, game):
        game.make_move(min(game.get_available_moves()), game.make_state().player_id)


class Raising(Player):
    def make_move(self, game):
        raise ValueError("no move from me")


class Panicking(Player):
    def make_move(self, game):
        game.make_move(81, 1)


class NoMethod(Player):
    def __getattribute__(self, name):
        if name == "make_move":
            raise AttributeError("hidden")
        return super().__getattribute__(name)


class Idle(Player):
    def make_move(self, game):
        pass


def failing_hook(*info):
    raise SystemExit("the hook fails")


CASES = {}


def case(name, error=None, text=None, hook=None):
    """Registers a case: setup() returns the callable to repeat; error is the exception
    type every call must raise (None: every call returns) and text the start of its
    message; hook, when given, replaces sys.excepthook during the case."""
    def register(setup):
        CASES[name] = setup, error, text, hook
        return setup
    return register


# Game construction
case("Game(id)")(lambda: lambda: Game(7))
case("Game(id=__index__)")(lambda: (lambda i: lambda: Game(id=i))(Index(value=7)))
case("Game() missing", TypeError, "Game.__new__() missing 1 required")(lambda: lambda: Game())
case("Game(1, 2) too many", TypeError, "Game.__new__() takes 1 positional")(lambda: lambda: Game(1, 2))
case("Game(1, id=2) twice", TypeError, "Game.__new__() got multiple values")(lambda: lambda: Game(1, id=2))
case("Game(ident=1) unknown", TypeError, "Game.__new__() got an unexpected")(lambda: lambda: Game(ident=1))
case("Game(-1)", OverflowError, "can't convert negative")(lambda: lambda: Game(-1))
case("Game(2**32)", OverflowError, "out of range")(lambda: lambda: Game(2**32))
case("Game('7')", TypeError, "argument 'id': 'str' object")(lambda: lambda: Game("7"))
case("Game(__index__ TypeError with cause)", TypeError, "argument 'id': no index here")(
    lambda: (lambda i: lambda: Game(i))(Index(type_error_with_cause)))

# Game.make_move
case("make_move accepted")(lambda: lambda: Game(0).make_move(40, 1))
case("make_move by keyword")(lambda: lambda: Game(0).make_move(player_id_authentication=1, input=40))
case("make_move wrong player", ValueError, PREFIX + "Expected player: 1")(
    lambda: (lambda g: lambda: g.make_move(0, 2))(Game(0)))
case("make_move occupied cell", ValueError, PREFIX + "THIS CELL")(
    lambda: (lambda g: lambda: g.make_move(40, 2))(opened(40)))
case("make_move wrong roster", ValueError, PREFIX + "Wrong roster!")(
    lambda: (lambda g: lambda: g.make_move(0, 2))(opened(40)))
case("make_move after the end", ValueError, PREFIX + "THIS GAME IS ALREADY OVER")(
    lambda: (lambda g: lambda: g.make_move(0, g.make_state().player_id))(finished_game()))
case("make_move 128", OverflowError, "out of range")(lambda: (lambda g: lambda: g.make_move(128, 1))(Game(0)))
case("make_move 2**70", OverflowError, "Python int too large")(
    lambda: (lambda g: lambda: g.make_move(2**70, 1))(Game(0)))
case("make_move 'a'", TypeError, "argument 'input': 'str' object")(
    lambda: (lambda g: lambda: g.make_move("a", 1))(Game(0)))
case("make_move __index__ TypeError with cause", TypeError, "argument 'player_id_authentication': no index")(
    lambda: (lambda g, i: lambda: g.make_move(0, i))(Game(0), Index(type_error_with_cause)))
case("make_move __index__ ValueError", ValueError, "not now")(
    lambda: (lambda g, i: lambda: g.make_move(i, 1))(Game(0), Index(value_error)))
case("make_move cell 81", PanicException, "index out of bounds")(
    lambda: (lambda g: lambda: g.make_move(81, 1))(Game(0)))
case("make_move missing", TypeError, "Game.make_move() missing 2")(lambda: (lambda g: lambda: g.make_move())(Game(0)))
case("make_move too many", TypeError, "Game.make_move() takes 2 positional")(
    lambda: (lambda g: lambda: g.make_move(0, 1, 2))(Game(0)))
case("make_move unknown keyword", TypeError, "Game.make_move() got an unexpected keyword argument 'cell'")(
    lambda: (lambda g: lambda: g.make_move(0, 1, cell=2))(Game(0)))
case("make_move twice", TypeError, "Game.make_move() got multiple")(
    lambda: (lambda g: lambda: g.make_move(0, input=1))(Game(0)))
case("make_move __index__ reads the held game", RuntimeError, "Already mutably borrowed")(
    lambda: (lambda g: lambda: g.make_move(Index(g.get_winner), 1))(Game(0)))
case("make_move __index__ default move on the held game", PanicException, "Already borrowed")(
    lambda: (lambda g, p: lambda: g.make_move(Index(lambda: p.make_move(g)), 1))(Game(0), Player(1)))
case("make_move __index__ runs a match on the held game", PanicException, UNWRAP + "Already borrowed")(
    lambda: (lambda g, p, q: lambda: g.make_move(Index(lambda: play_game(p, q, g)), 1))(
        Game(0), Player(1), Player(2)))

# Game queries, checkpoints and snapshots
case("get_available_moves")(lambda: (lambda g: lambda: g.get_available_moves())(Game(0)))
case("get_winner")(lambda: (lambda g: lambda: g.get_winner())(finished_game()))
case("get_winner(1)", TypeError, "Game.get_winner() takes no arguments")(
    lambda: (lambda g: lambda: g.get_winner(1))(Game(0)))
case("str(game)")(lambda: (lambda g: lambda: str(g))(opened(40, 36, 4)))
case("make_state")(lambda: (lambda g: lambda: g.make_state())(opened(40, 36)))
case("make_checkpoint")(lambda: (lambda g: lambda: g.make_checkpoint())(opened(40)))
case("load_checkpoint")(lambda: (lambda g, c: lambda: g.load_checkpoint(checkpoint=c))(
    Game(0), opened(40, 36).make_checkpoint()))
case("load_checkpoint(state)", TypeError, "argument 'checkpoint': 'State' object")(
    lambda: (lambda g, s: lambda: g.load_checkpoint(s))(Game(0), Game(0).make_state()))
case("state attributes")(lambda: (lambda s: lambda: (s.board, s.player_id, s.possible_moves))(Game(0).make_state()))
case("str(state)")(lambda: (lambda s: lambda: str(s))(opened(40).make_state()))
case("to_checkpoint")(lambda: (lambda s: lambda: s.to_checkpoint())(opened(40, 36).make_state()))


def reshaped():
    state = Game(0).make_state()
    state.board.shape = (9, 9)
    return state


def marked_beyond_the_board():
    state = Game(0).make_state()
    state.board.resize((100,), refcheck=False)
    state.board[90] = 1
    return state


def retyped():
    state = Game(0).make_state()
    state.board.resize((81 * 3,), refcheck=False)
    state.board.dtype = "S3"
    return state


case("to_checkpoint of a reshaped board", PanicException, "called `Option::unwrap()`")(
    lambda: (lambda s: lambda: s.to_checkpoint())(reshaped()))
case("to_checkpoint with a mark beyond the board", PanicException, "index out of bounds")(
    lambda: (lambda s: lambda: s.to_checkpoint())(marked_beyond_the_board()))
case("str(state) of a re-typed board", PanicException, "called `Option::unwrap()`")(
    lambda: (lambda s: lambda: str(s))(retyped()))
case("State()", TypeError, "No constructor defined for State")(lambda: lambda: State())
case("Checkpoint(1)", TypeError, "No constructor defined for Checkpoint")(lambda: lambda: Checkpoint(1))
case("checkpoint get_odds and str")(lambda: (lambda c: lambda: (c.get_odds(), str(c)))(opened(40).make_checkpoint()))

# Player
case("Player(1)")(lambda: lambda: Player(1))
case("subclass Sub(2)")(lambda: lambda: Sub(2))
case("Player(0)", PanicException, "ID SHOULD BE EQUAL TO 1 OR 2")(lambda: lambda: Player(0))
case("Player(128)", OverflowError, "out of range")(lambda: lambda: Player(128))
case("Player('1')", TypeError, "argument 'id': 'str' object")(lambda: lambda: Player("1"))
case("default move")(lambda: (lambda p: lambda: p.make_move(Game(0)))(Player(1)))
case("default move refused and printed")(lambda: (lambda p: lambda: p.make_move(game=Game(0)))(Player(2)))
case("default move on a finished game", PanicException, "first attempt")(
    lambda: (lambda p, g: lambda: p.make_move(g))(Player(1), finished_game()))
case("Player.make_move(5)", TypeError, "argument 'game': 'int' object")(
    lambda: (lambda p: lambda: p.make_move(5))(Player(1)))
case("increment_wins and get_wins")(lambda: (lambda p: lambda: (p.increment_wins(), p.get_wins()))(Sub(1)))

# The match runner
case("play_game")(lambda: (lambda p, q: lambda: play_game(p, q, Game(0)))(Player(1), Player(2)))
case("play_game with overrides")(lambda: (lambda p, q: lambda: play_game(p, q, Game(0)))(Lowest(1), Lowest(2)))
case("play_game on a finished game")(
    lambda: (lambda p, q, g: lambda: play_game(p, q, g))(Player(1), Player(2), finished_game()))
case("play_game override raising ValueError", PanicException, UNWRAP + "ValueError: no move from me")(
    lambda: (lambda p, q: lambda: play_game(p, q, Game(0)))(Raising(1), Player(2)))
case("play_game override raising PanicException", PanicException, "index out of bounds")(
    lambda: (lambda p, q: lambda: play_game(p, q, Game(0)))(Panicking(1), Player(2)))
case("play_game override raising PanicException, failing excepthook", PanicException, "index out of bounds",
     hook=failing_hook)(lambda: (lambda p, q: lambda: play_game(p, q, Game(0)))(Panicking(1), Player(2)))
case("play_game override not found", PanicException, UNWRAP + "AttributeError: hidden")(
    lambda: (lambda p, q: lambda: play_game(p, q, Game(0)))(NoMethod(1), Player(2)))
case("play_game stalled by overrides", RuntimeError, "no move was accepted")(
    lambda: (lambda p, q: lambda: play_game(p, q, Game(0)))(Idle(1), Idle(2)))
case("play_game stalled by ids", RuntimeError, "no move was accepted")(
    lambda: (lambda p, q: lambda: play_game(p, q, Game(0)))(Player(2), Player(2)))
case("play_game(1, 2, 3)", TypeError, "argument 'player1': 'int' object")(lambda: lambda: play_game(1, 2, 3))
case("play_multiple_games")(lambda: (lambda p, q: lambda: play_multiple_games(p, q, 1))(Player(1), Player(2)))
case("play_multiple_games(2.0)", TypeError, "argument 'number_of_games': 'float'")(
    lambda: (lambda p, q: lambda: play_multiple_games(p, q, 2.0))(Player(1), Player(2)))
case("play_multiple_games(-1)", PanicException, "OverflowError: can't convert negative")(
    lambda: (lambda p, q: lambda: play_multiple_games(p, q, -1))(Player(1), Player(2)))
case("play_multiple_games(2**32)", PanicException, "OverflowError: out of range")(
    lambda: (lambda p, q: lambda: play_multiple_games(p, q, 2**32))(Player(1), Player(2)))
case("play_multiple_games(2**70)", PanicException, "OverflowError: int too big")(
    lambda: (lambda p, q: lambda: play_multiple_games(p, q, 2**70))(Player(1), Player(2)))
case("play_multiple_games stalled", RuntimeError, "no move was accepted")(
    lambda: (lambda p, q: lambda: play_multiple_games(p, q, 1))(Idle(1), Player(2)))


# Objects whose reference counts must come back: the classes, singletons, small ints and
# strings that the module hands out or receives (keyword names), the exception types it
# raises and the cause it carries over. Names of attributes are left out: the interpreter's
# method cache holds references to the names it has looked up, more or fewer from one
# moment to the next.
WATCHED = (Game, Player, Checkpoint, State, Sub, Lowest, None, True, False, 0, 1, 2, 40, 81, -1,
           "input", "player_id_authentication", "checkpoint", "game", "id",
           TypeError, ValueError, OverflowError, RuntimeError, KeyError, AttributeError, PanicException, CAUSE)


class Sink:
    """Standard output and error while a case runs: refused moves and fault notices are
    printed on every call."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def repeat(call, error, times):
    """Calls call `times` times; each call must raise error (or return, for None)."""
    raised = 0
    for _ in range(times):
        try:
            call()
        except BaseException as exc:  # noqa: BLE001 - the type is checked
            if error is None or type(exc) is not error:
                raise
            raised += 1
    assert raised == (times if error else 0)


def reference_counts(objects):
    # Kept as raw numbers: a list of ints would hold references to small ints.
    return array.array("q", (sys.getrefcount(o) for o in objects))


def resident():
    """The resident set in small pages. Where transparent huge pages are always on, the heap
    grows by whole 2 MiB pages at the moment one is touched, whatever the calls allocate; those
    pages are left out (the C heap figure above still counts what lives in them)."""
    fields = {}
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            name, _, rest = line.partition(":")
            if rest.strip().endswith("kB"):
                fields[name] = int(rest.split()[0]) * 1024
    return fields["Rss"] - fields.get("AnonHugePages", 0)


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


MALLINFO2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if MALLINFO2 is not None:
    MALLINFO2.restype = MallInfo2


def heap_in_use():
    """Bytes that the C allocator has handed out and not taken back (glibc's mallinfo2):
    catches native allocations that tracemalloc does not see, long before they show in the
    resident set. None where the C library does not offer it."""
    return MALLINFO2().uordblks if MALLINFO2 is not None else None


@pytest.mark.parametrize("name", list(CASES))
def test_calls_leave_nothing_behind(name, monkeypatch):
    setup, error, text, hook = CASES[name]
    call = setup()
    if hook is not None:
        monkeypatch.setattr(sys, "excepthook", hook)
    own = tuple(cell.cell_contents for cell in call.__closure__ or ())
    arrays = tuple(a for o in own if isinstance(o, State) for a in (o.board, o.possible_moves))
    watched = WATCHED + own + arrays
    sink = Sink()
    with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        try:
            call()
        except BaseException as exc:  # noqa: BLE001 - checked below
            assert type(exc) is error and str(exc).startswith(text), repr(exc)
            if "cause" in name:
                assert exc.__cause__ is CAUSE
        else:
            assert error is None
        # Two rounds: the interpreter settles some caches of its own (exception printing
        # among them) only after the first full collection that follows their first use.
        for _ in range(2):
            repeat(call, error, WARM_UP)
            gc.collect()
        tracemalloc.start()
        rss, heap = resident(), heap_in_use()
        counts = reference_counts(watched)
        repeat(call, error, CALLS)
        gc.collect()
        after = reference_counts(watched)
        traced = tracemalloc.get_traced_memory()[0]
        grown, heap_grown = resident() - rss, heap and heap_in_use() - heap
        tracemalloc.stop()
    # Every call of a case takes the same path, so a reference the module takes or drops
    # wrongly moves a count by at least CALLS. A move of one or two is the interpreter
    # releasing a cache of its own once (seen with an interned name under a failing hook).
    changed = {repr(o)[:60]: b - a for o, a, b in zip(watched, counts, after) if abs(b - a) > 2}
    assert not changed, f"reference counts changed over {CALLS} calls: {changed}"
    if SANITIZED:
        # ASan's quarantine keeps freed memory and the interpreter's own allocator is off, so
        # the figures below would measure the sanitizer, not the module. The plain runs check
        # them.
        return
    assert traced < TRACED_BOUND, f"{traced} bytes still allocated after {CALLS} calls"
    assert heap_grown is None or heap_grown < HEAP_BOUND, f"C heap grew by {heap_grown} bytes over {CALLS} calls"
    assert grown < RSS_BOUND, f"resident set grew by {grown} bytes over {CALLS} calls"
