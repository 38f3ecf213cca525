"""The Player class: construction, win counter, default move, the refused-move line and
Python subclasses."""
import gc
import subprocess
import sys
import weakref

import numpy as np
import pytest

import nonagame
from nonagame import Game, Player

REFUSED_BY_2 = "ERROR: Invalid move error - Expected player: 1, but got player 2\n"
ID_FAULT = "ID SHOULD BE EQUAL TO 1 OR 2"
RANGE = "out of range integral type conversion attempted"


def panic_type():
    try:
        Game(0).make_move(81, 1)
    except BaseException as exc:  # noqa: BLE001 - the type is what we are after
        return type(exc)


PanicException = panic_type()


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((0,), PanicException, ID_FAULT), ((3,), PanicException, ID_FAULT),
        ((-1,), PanicException, ID_FAULT), ((127,), PanicException, ID_FAULT),
        ((128,), OverflowError, RANGE), ((-129,), OverflowError, RANGE),
        (("1",), TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        ((), TypeError, "Player.__new__() missing 1 required positional argument: 'id'"),
        ((1, 2), TypeError, "Player.__new__() takes 1 positional arguments but 2 were given"),
    ],
)
def test_constructor_errors(args, error, text):
    with pytest.raises(error) as info:
        Player(*args)
    assert info.value.args == (text,)


@pytest.mark.parametrize(
    "make, moved",
    [(lambda: Player(1), True), (lambda: Player(id=1), True), (lambda: Player(True), True),
     (lambda: Player(2), False)],
)
def test_default_move_on_a_new_game(make, moved, capsys):
    game = Game(0)
    assert make().make_move(game=game) is None
    state = game.make_state()
    assert (np.count_nonzero(state.board), state.player_id) == ((1, 2) if moved else (0, 1))
    assert capsys.readouterr().out == ("" if moved else REFUSED_BY_2)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda p, g: p.make_move(), "Player.make_move() missing 1 required positional argument: 'game'"),
        (lambda p, g: p.make_move(5), "argument 'game': 'int' object cannot be converted to 'Game'"),
        (lambda p, g: p.make_move(g.make_state()), "argument 'game': 'State' object cannot be converted to 'Game'"),
    ],
)
def test_make_move_argument_errors(call, text):
    game = Game(0)
    with pytest.raises(TypeError) as info:
        call(Player(1), game)
    assert info.value.args == (text,)
    assert len(game.get_available_moves()) == 81


def test_win_counter_and_class_surface():
    player = Player(2)
    assert player.get_wins() == 0
    assert [player.increment_wins() for _ in range(3)] == [None] * 3
    assert player.get_wins() == 3 and Player(2).get_wins() == 0
    with pytest.raises(TypeError):
        player.get_wins(1)
    assert Player.__text_signature__ == "(id)" and not Player.__doc__
    assert [name for name in vars(Player) if not name.startswith("__")] == ["make_move", "increment_wins", "get_wins"]
    assert Player.make_move.__text_signature__ == "($self, game)"
    with pytest.raises(AttributeError):
        player.name = "x"
    with pytest.raises(TypeError):
        weakref.ref(player)


def test_faults_leave_the_game_unchanged():
    game = Game(0)
    nonagame.play_game(Player(1), Player(2), game)
    before = str(game), game.get_winner()
    with pytest.raises(PanicException) as info:
        Player(1).make_move(game)
    assert info.value.args == ("first attempt",) and (str(game), game.get_winner()) == before

    # A game already borrowed (here by its own make_move converting an argument) is a fault.
    game, player, errors = Game(0), Player(2), []

    class Reenter:
        def __index__(self):
            try:
                player.make_move(game)
            except BaseException as exc:  # noqa: BLE001
                errors.append(exc)
            return 40

    assert game.make_move(Reenter(), 1) is True
    assert [(type(e), e.args) for e in errors] == [(PanicException, ("Already borrowed",))]
    player.make_move(game)  # every borrow was given back
    assert np.count_nonzero(game.make_state().board) == 2


# Chi-square critical values for p = 1e-6: a fair generator fails once in a million runs.
@pytest.mark.parametrize("opening, mover, cells, critical", [
    ((), 1, range(81), 155.08),
    ((40,), 2, [36, 37, 38, 39, 41, 42, 43, 44], 40.52),
])
def test_default_move_is_uniform(opening, mover, cells, critical):
    player, draws = Player(mover), 300 * len(cells)
    counts = dict.fromkeys(cells, 0)
    for _ in range(draws):
        game = Game(0)
        for cell in opening:
            game.make_move(cell, 1)
        player.make_move(game)
        counts[int(np.flatnonzero(game.make_state().board == mover)[-1])] += 1
    assert sum(counts.values()) == draws
    expected = draws / len(counts)
    assert sum((n - expected) ** 2 / expected for n in counts.values()) < critical


def test_refused_line_keeps_its_place_in_sys_stdout(capsys):
    print("before", end="|")
    Player(2).make_move(Game(0))
    print("after")
    assert capsys.readouterr().out == "before|" + REFUSED_BY_2 + "after\n"


def test_refused_line_with_descriptor_capture(capfd):
    print("before")
    Player(2).make_move(Game(0))
    print("after")
    assert capfd.readouterr().out == "before\n" + REFUSED_BY_2 + "after\n"


@pytest.mark.parametrize("setup", ["", "sys.stdout = None", "del sys.stdout"])
def test_refused_line_in_a_child_process(setup):
    script = (
        "import os, sys\nfrom nonagame import Game, Player\nstream = sys.stdout\n"
        f"{setup}\n"
        "def say(text):\n"
        "    if getattr(sys, 'stdout', None) is stream:\n"
        "        print(text)\n"  # block-buffered: the pipe is not a terminal
        "    else:\n"
        "        os.write(1, (text + '\\n').encode())\n"
        "say('start')\nPlayer(2).make_move(Game(0))\nsay('end')\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert (result.stdout, result.stderr) == ("start\n" + REFUSED_BY_2 + "end\n", "")


def test_stream_runs_with_the_game_and_player_free(monkeypatch):
    game, player, seen = Game(0), Player(2), []

    class Stream:
        def write(self, text):
            seen.append((text, game.make_move(40, 1), player.get_wins()))

        def flush(self):
            seen.append("flush")

    monkeypatch.setattr(sys, "stdout", Stream())
    player.make_move(game)
    assert seen == [(REFUSED_BY_2, True, 0), "flush"]


class Bot(Player):
    pass


def test_subclass_inherits_and_has_attributes():
    bot, game = Bot(1), Game(0)
    bot.make_move(game)
    bot.increment_wins()
    bot.name = "bot"
    assert isinstance(bot, Player) and bot.get_wins() == 1 and bot.__dict__ == {"name": "bot"}
    assert np.count_nonzero(game.make_state().board) == 1 and weakref.ref(bot)() is bot


def test_instances_are_freed_with_their_class_reference():
    class Finalised(Player):
        def __del__(self):
            finalised.append(self.get_wins())

    class Slotted(Player):
        __slots__ = ("peer", "__weakref__")

    finalised, refs, classes = [], [], (Bot, Finalised, Slotted, Player)
    gc.collect()
    counts = [sys.getrefcount(cls) for cls in classes]
    for _ in range(500):
        a, b, c, d = Bot(1), Finalised(2), Slotted(1), Player(2)
        a.peer, b.peer, c.peer, a.me, a.log = b, c, a, a, [a, b, {"c": c, "d": d}]
        b.increment_wins()
        refs += [weakref.ref(a), weakref.ref(b), weakref.ref(c)]
    del a, b, c, d
    gc.collect()
    assert all(ref() is None for ref in refs) and finalised == [1] * 500
    assert [sys.getrefcount(cls) for cls in classes] == counts
