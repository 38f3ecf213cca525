"""Conventions shared by every entry point: argument parsing, conversions, borrows,
internal faults and module initialisation."""
import inspect
import subprocess
import sys
import shutil
import weakref

import pytest

import nonagame
from nonagame import Game


def panic_type():
    try:
        Game(0).make_move(81, 1)
    except BaseException as exc:  # noqa: BLE001 - the type is what we are after
        return type(exc)
    raise AssertionError("no fault raised")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda g: Game(), "Game.__new__() missing 1 required positional argument: 'id'"),
        (lambda g: Game(1, 2), "Game.__new__() takes 1 positional arguments but 2 were given"),
        (lambda g: Game(1, id=2), "Game.__new__() got multiple values for argument 'id'"),
        (lambda g: Game(ident=2), "Game.__new__() got an unexpected keyword argument 'ident'"),
        (
            lambda g: g.make_move(),
            "Game.make_move() missing 2 required positional arguments: 'input' and "
            "'player_id_authentication'",
        ),
        (
            lambda g: g.make_move(1),
            "Game.make_move() missing 1 required positional argument: 'player_id_authentication'",
        ),
        (lambda g: g.make_move(1, 2, 3), "Game.make_move() takes 2 positional arguments but 3 were given"),
        (lambda g: g.make_move(0, input=1), "Game.make_move() got multiple values for argument 'input'"),
        (lambda g: g.make_move(0, 1, foo=1), "Game.make_move() got an unexpected keyword argument 'foo'"),
        # Keywords are examined in the order given: the first offending one is reported.
        (lambda g: g.make_move(0, foo=1, input=1), "Game.make_move() got an unexpected keyword argument 'foo'"),
        (lambda g: g.make_move(0, input=1, foo=1), "Game.make_move() got multiple values for argument 'input'"),
        # Too many positional arguments is tested before any keyword.
        (lambda g: g.make_move(1, 2, 3, foo=1), "Game.make_move() takes 2 positional arguments but 3 were given"),
        (lambda g: g.get_winner(1), None),
        (lambda g: g.get_available_moves(x=1), None),
    ],
)
def test_argument_parsing_errors(call, message):
    game = Game(0)
    with pytest.raises(TypeError) as info:
        call(game)
    if message is not None:
        assert str(info.value) == message
    # Nothing was played.
    assert len(game.get_available_moves()) == 81


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize(
    "value, accepted",
    [(-129, False), (-128, True), (127, True), (128, False), (300, False), (2**70, None), (Index(128), False)],
)
def test_signed_byte_range(value, accepted):
    game = Game(0)
    if accepted:
        # In range: the engine sees it and reports the out-of-board cell as a fault.
        with pytest.raises(panic_type()) as info:
            game.make_move(value, 1)
        assert str(info.value).startswith("index out of bounds: the len is 81 but the index is ")
    else:
        with pytest.raises(OverflowError) as info:
            game.make_move(value, 1)
        if accepted is False:
            assert str(info.value) == "out of range integral type conversion attempted"
        else:  # beyond a C long: the interpreter's own message
            assert "out of range integral type conversion attempted" not in str(info.value)
    assert len(game.get_available_moves()) == 81


@pytest.mark.parametrize(
    "value, expected",
    [
        (-1, (OverflowError, "can't convert negative int to unsigned")),
        (2**32, (OverflowError, "out of range integral type conversion attempted")),
        (2**64, (OverflowError, None)),
        (1.5, (TypeError, "argument 'id': 'float' object cannot be interpreted as an integer")),
        ("7", (TypeError, "argument 'id': 'str' object cannot be interpreted as an integer")),
        (None, (TypeError, "argument 'id': 'NoneType' object cannot be interpreted as an integer")),
        (2**32 - 1, None),
        (True, None),
        (Index(7), None),
    ],
)
def test_unsigned_id_conversion(value, expected):
    if expected is None:
        assert isinstance(Game(value), Game)
        assert isinstance(Game(id=value), Game)
        return
    exc_type, message = expected
    with pytest.raises(exc_type) as info:
        Game(value)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message


def test_type_error_is_rewrapped_with_its_cause():
    cause = KeyError("root")
    inner = TypeError("no index here")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        Game(0).make_move(RaisingIndex(inner), 1)
    assert str(info.value) == "argument 'input': no index here"
    assert info.value is not inner
    assert info.value.__cause__ is cause


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("exc", [TypeErrorSubclass("sub"), ValueError("val"), ZeroDivisionError("zero")])
def test_other_conversion_errors_propagate_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        Game(0).make_move(0, RaisingIndex(exc))
    assert info.value is exc


def test_panic_exception_type():
    panic = panic_type()
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__
    assert panic_type() is panic  # created once
    assert not hasattr(nonagame, "PanicException")
    with pytest.raises(BaseException) as info:
        try:
            Game(0).make_move(-1, 1)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert info.value.args == ("index out of bounds: the len is 81 but the index is 255",)


class Reenter:
    """An __index__ that calls back into the game whose make_move is converting it."""

    def __init__(self, game, action):
        self.game, self.action, self.error = game, action, None

    def __index__(self):
        try:
            self.action(self.game)
        except RuntimeError as exc:
            self.error = str(exc)
        return 40


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda g: g.get_available_moves(), "Already mutably borrowed"),
        (lambda g: g.get_winner(), "Already mutably borrowed"),
        (lambda g: str(g), "Already mutably borrowed"),
        (lambda g: g.make_move(0, 1), "Already borrowed"),
    ],
)
def test_borrow_conflicts_during_a_call_and_release_after(action, message):
    game = Game(0)
    probe = Reenter(game, action)
    assert game.make_move(probe, 1) is True
    assert probe.error == message
    # The borrow was given back: every method works again.
    assert game.get_available_moves() == [36, 37, 38, 39, 41, 42, 43, 44]
    assert game.make_move(36, 2) is True


def test_borrow_released_when_conversion_fails():
    game = Game(0)
    for bad in ("x", 1000, RaisingIndex(ValueError("v"))):
        with pytest.raises((TypeError, OverflowError, ValueError)):
            game.make_move(0, bad)
    assert game.make_move(0, 1) is True


def test_star_import_binds_exactly_the_exports_under_their_own_names():
    # test_stub.py checks __all__ against the stub; here, what it names is what it gets.
    namespace = {}
    exec("from nonagame import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(nonagame.__all__)
    for name, value in namespace.items():
        assert value is getattr(nonagame, name) and value.__name__ == name
        if isinstance(value, type):
            assert value.__module__ == "builtins"
        else:
            assert value.__module__ == "nonagame" and value.__self__ is nonagame


def listed(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


ENTRY_POINTS = [
    ("Game.__new__", Game, Game),
    ("Game.make_move", Game.make_move, lambda *a: Game(0).make_move(*a)),
    ("Game.load_checkpoint", Game.load_checkpoint, lambda *a: Game(0).load_checkpoint(*a)),
    ("Player.__new__", nonagame.Player, nonagame.Player),
    ("Player.make_move", nonagame.Player.make_move, lambda *a: nonagame.Player(1).make_move(*a)),
    ("play_game", nonagame.play_game, nonagame.play_game),
    ("play_multiple_games", nonagame.play_multiple_games, nonagame.play_multiple_games),
]


@pytest.mark.parametrize("name, shown, call", ENTRY_POINTS, ids=[e[0] for e in ENTRY_POINTS])
def test_argument_errors_name_the_parameters_that_the_signature_shows(name, shown, call):
    # The text signature (help(), editors) and the parser's own list of names and full name
    # are written separately; the parser's errors must agree with what the signature shows.
    names = [p for p in inspect.signature(shown).parameters if p != "self"]
    plural = "argument" if len(names) == 1 else "arguments"
    with pytest.raises(TypeError) as missing:
        call()
    assert str(missing.value) == f"{name}() missing {len(names)} required positional {plural}: {listed(names)}"
    with pytest.raises(TypeError) as too_many:
        call(*range(len(names) + 1))
    assert str(too_many.value) == (
        f"{name}() takes {len(names)} positional arguments but {len(names) + 1} were given"
    )


def test_classes_are_closed_heap_types():
    assert Game.__module__ == "builtins"
    assert Game.__name__ == Game.__qualname__ == "Game"
    with pytest.raises(TypeError):
        type("Sub", (Game,), {})
    game = Game(0)
    with pytest.raises(AttributeError):
        game.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(game)


def test_reimport_returns_the_identical_module():
    script = (
        "import sys, nonagame\n"
        "first, game = nonagame, nonagame.Game\n"
        "del sys.modules['nonagame']\n"
        "import nonagame\n"
        "assert nonagame is first and nonagame.Game is game, 'new module'\n"
        "assert nonagame.__all__ == first.__all__\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True)


def test_subinterpreter_import_is_refused():
    script = (
        "import nonagame, _xxsubinterpreters as interpreters\n"
        "interp = interpreters.create()\n"
        "try:\n"
        "    interpreters.run_string(interp, 'import nonagame')\n"
        "except interpreters.RunFailedError as exc:\n"
        "    print(exc)\n"
        "else:\n"
        "    print('imported')\n"
        "import nonagame as again\n"
        "assert again.Game(0).make_move(0, 1) is True\n"
    )
    result = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    assert "ImportError" in result.stdout
    assert "subinterpreters" in result.stdout


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", nonagame.__file__], check=True,
                         capture_output=True, text=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit_nonagame"]
