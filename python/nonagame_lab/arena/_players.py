"""The contestants of a match: player factories, spec strings, and external UGI engines.

A spec string names a player:
- ``"random"``: uniformly random legal moves;
- ``"uct:N"``: the native rollout search at N simulations a move; ``"uct:0.1s"``: 0.1 seconds;
- ``"level:K"``: the graded opponent ``baseline_player(K, id)``;
- ``"net:NAME:N"``: search guided by the network NAME (``"baseline"`` or a file) at N
  simulations a move, where the installed package has network support; ``"net:NAME:0.1s"``:
  0.1 seconds a move;
- ``"policy:NAME"``: the network NAME alone, playing its most likely legal move (no search);
- ``"ugi:COMMAND"``: an external engine started with COMMAND and spoken to over UGI, asked
  for each move with ``go movetime 100`` (``UGIEngine`` sets another limit or options).
"""

from __future__ import annotations

import queue
import shlex
import subprocess
import threading
import time
from collections.abc import Callable
from typing import Any, Union

import nonagame
import nonagame_lab
from nonagame_lab._core import Position, cell_index, cell_name
from nonagame_lab._levels import RandomPlayer, baseline_player, check_level
from nonagame_lab._search import MCTSPlayer

Factory = Callable[[int], nonagame.Player]
PlayerSpec = Union[str, Factory]

SPEC_FORMS = (
    "'random', 'uct:N', 'uct:Xs', 'level:K', 'net:NAME:N', 'net:NAME:Xs', 'policy:NAME', 'ugi:COMMAND' "
    "or a callable id -> nonagame.Player"
)


class Contestant:
    """One side of a match: makes a fresh player for each game, seeded for that game."""

    def __init__(self, name: str, make: Callable[[int, int], nonagame.Player], close: Callable[[], None] | None = None):
        self.name = name
        self._make = make
        self._close = close

    def player(self, id: int, seed: int) -> nonagame.Player:
        return self._make(id, seed)

    def close(self) -> None:
        if self._close is not None:
            self._close()


def _positive(text: str, spec: str, kind: type) -> Any:
    try:
        value = kind(text)
    except ValueError:
        value = None
    if value is None or not value > 0 or value == float("inf"):
        raise ValueError(f"player {spec!r}: expected a positive {kind.__name__} after the colon, got {text!r}")
    return value


def _uct(spec: str, budget: str) -> Contestant:
    if budget.endswith("s"):
        seconds = _positive(budget[:-1], spec, float)
        return Contestant(spec, lambda id, seed: MCTSPlayer(id, seconds=seconds, seed=seed))
    simulations = _positive(budget, spec, int)
    return Contestant(spec, lambda id, seed: MCTSPlayer(id, simulations=simulations, seed=seed))


def _network(spec: str, name: str) -> Any:
    if not hasattr(nonagame_lab, "Network"):
        raise ValueError(
            f"player {spec!r}: this installation of nonagame_lab has no network support "
            "(nonagame_lab.Network is missing), so network players cannot be made"
        )
    from nonagame_lab._network import network_from_name

    try:  # read once for the whole match, and refused before any game
        network = network_from_name(name)
    except (OSError, ValueError) as error:
        raise ValueError(f"player {spec!r}: {error}") from None
    if network is None:
        raise ValueError(f"player {spec!r}: expected a network, got {name!r}")
    return network


def _net(spec: str, rest: str) -> Contestant:
    name, _, budget = rest.rpartition(":")
    if not name:
        raise ValueError(f"player {spec!r}: expected 'net:NAME:SIMULATIONS', for example 'net:baseline:1000'")
    limit: dict[str, Any]
    if budget.endswith("s"):
        limit = {"seconds": _positive(budget[:-1], spec, float)}
    else:
        limit = {"simulations": _positive(budget, spec, int)}
    network = _network(spec, name)

    def make(id: int, seed: int) -> nonagame.Player:
        return MCTSPlayer(id, seed=seed, network=network, **limit)

    return Contestant(spec, make)


class PolicyPlayer(nonagame.Player):
    """A network alone: the legal cell its policy rates highest, no search."""

    def __new__(cls, id: int, network: Any) -> PolicyPlayer:
        player = super().__new__(cls, id)
        player._id = id
        player._network = network
        return player

    _id: int
    _network: Any

    def make_move(self, game: nonagame.Game) -> None:
        position = Position.from_game(game)
        policy, _ = self._network.evaluate(position)
        legal = position.legal_moves
        game.make_move(max(legal, key=lambda cell: policy[cell]), self._id)


def contestant(spec: PlayerSpec) -> Contestant:
    """The contestant a player argument describes, or TypeError / ValueError."""
    if isinstance(spec, str):
        kind, _, rest = spec.partition(":")
        if spec == "random":
            return Contestant(spec, lambda id, seed: RandomPlayer(id, seed))
        if kind == "uct" and rest:
            return _uct(spec, rest)
        if kind == "level" and rest:
            try:
                level = check_level(int(rest))
            except ValueError as error:
                raise ValueError(f"player {spec!r}: {error}") from None
            return Contestant(spec, lambda id, seed: baseline_player(level, id, seed=seed))
        if kind == "net":
            return _net(spec, rest)
        if kind == "policy" and rest:
            network = _network(spec, rest)
            return Contestant(spec, lambda id, seed: PolicyPlayer(id, network))
        if kind == "ugi" and rest.strip():
            engine = UGIEngine(rest)
            return Contestant(spec, lambda id, seed: engine(id), engine.close)
        raise ValueError(f"player: expected {SPEC_FORMS}, got {spec!r}")
    if callable(spec):
        name = getattr(spec, "name", None) or getattr(spec, "__name__", None) or repr(spec)
        close = getattr(spec, "close", None)
        return Contestant(str(name), lambda id, seed: _checked(spec(id), id, spec), close)
    raise TypeError(f"player: expected {SPEC_FORMS}, got {type(spec).__name__}")


def _checked(player: object, id: int, factory: object) -> nonagame.Player:
    if not isinstance(player, nonagame.Player):
        raise TypeError(f"the player factory {factory!r} returned {type(player).__name__}, expected a nonagame.Player")
    return player


class UGIEngine:
    """An external engine over UGI, and a factory of ``nonagame.Player`` objects that ask it
    for their moves: ``UGIEngine("nonagame-ugi", go="nodes 1000", options={"threads": "1"})``.

    The engine is started at the first move and kept for the whole match; each game begins
    with ``uginewgame``, each move sends the position's notation and ``go`` with the limit.
    A move the engine does not answer within ``timeout`` seconds, or answers with an illegal
    cell, raises RuntimeError naming the engine.
    """

    def __init__(
        self, command: str | list[str], *, go: str = "movetime 100", options: dict[str, str] | None = None,
        timeout: float = 60.0,
    ) -> None:
        self.argv = shlex.split(command) if isinstance(command, str) else list(command)
        if not self.argv:
            raise ValueError("UGIEngine: expected a command to start the engine")
        self.name = "ugi:" + (command if isinstance(command, str) else shlex.join(command))
        self.go = go
        self.options = dict(options or {})
        self.timeout = timeout
        self._process: subprocess.Popen[str] | None = None
        self._lines: queue.Queue[str | None] = queue.Queue()

    def __call__(self, id: int) -> nonagame.Player:
        return UGIPlayer(id, self)

    @staticmethod
    def _read(stdout: Any, lines: queue.Queue[str | None]) -> None:
        for line in stdout:
            lines.put(line.rstrip("\n"))
        lines.put(None)

    def _start(self) -> None:
        self._lines = queue.Queue()  # nothing left over from an engine closed before
        try:
            self._process = subprocess.Popen(
                self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1
            )
        except OSError as error:
            raise RuntimeError(f"{self.name}: could not start the engine: {error}") from None
        threading.Thread(target=self._read, args=(self._process.stdout, self._lines), daemon=True).start()
        self.send("ugi")
        self.expect("ugiok")
        for name, value in self.options.items():
            self.send(f"setoption name {name} value {value}")
        self.send("isready")
        self.expect("readyok")

    def send(self, line: str) -> None:
        if self._process is None:
            self._start()
        assert self._process is not None and self._process.stdin is not None
        try:
            self._process.stdin.write(line + "\n")
            self._process.stdin.flush()
        except OSError:
            raise RuntimeError(f"{self.name}: the engine has exited") from None

    def expect(self, word: str) -> str:
        """The next line whose first word is ``word`` (earlier lines are skipped)."""
        deadline = time.monotonic() + self.timeout
        while True:
            try:
                line = self._lines.get(timeout=max(deadline - time.monotonic(), 0.0))
            except queue.Empty:
                raise RuntimeError(f"{self.name}: no {word!r} within {self.timeout} s") from None
            if line is None:
                raise RuntimeError(f"{self.name}: the engine exited while {word!r} was awaited")
            if line.split()[:1] == [word]:
                return line

    def new_game(self) -> None:
        self.send("uginewgame")

    def move(self, position: Position) -> int:
        self.send(f"position fen {position.notation}")
        self.send(f"go {self.go}")
        words = self.expect("bestmove").split()
        try:
            cell = cell_index(words[1])
        except (IndexError, ValueError):
            raise RuntimeError(f"{self.name}: expected 'bestmove CELL', got {' '.join(words)!r}") from None
        if cell not in position.legal_moves:
            raise RuntimeError(f"{self.name}: played {cell_name(cell)}, which is illegal in {position.notation!r}")
        return cell

    def close(self) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        try:
            assert process.stdin is not None
            process.stdin.write("quit\n")
            process.stdin.close()
            process.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            process.kill()
            process.wait()


class UGIPlayer(nonagame.Player):
    """A ``nonagame.Player`` whose moves come from a ``UGIEngine``."""

    def __new__(cls, id: int, engine: UGIEngine) -> UGIPlayer:
        player = super().__new__(cls, id)
        player._id, player._engine, player._fresh = id, engine, True
        return player

    _id: int
    _engine: UGIEngine
    _fresh: bool

    def make_move(self, game: nonagame.Game) -> None:
        if self._fresh:
            self._engine.new_game()
            self._fresh = False
        game.make_move(self._engine.move(Position.from_game(game)), self._id)
