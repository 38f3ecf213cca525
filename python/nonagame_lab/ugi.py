"""A Universal Game Interface (UGI) engine over standard input and output.

Tournament managers start an engine as a child process and talk to it one line at a time.
``main`` (the ``nonagame-ugi`` command) serves the native search; ``serve(player_factory)``
serves any ``nonagame.Player`` subclass. Positions use the notation of ``Position`` and
moves the algebraic cell names of ``cell_name``.

The search runs on a thread of its own, so the command loop stays responsive: ``isready``
is answered at once and ``stop`` ends a search with its ``bestmove``. Bad input never
ends the engine: it is answered with an ``info string`` line and the previous position is
kept. End of input ends the engine as ``quit`` does.

``go`` limits: ``movetime`` (ms) searches for that long; ``p1time``/``p2time`` with
``p1inc``/``p2inc`` (ms) take a share of the mover's clock (a 30th of the remaining time
plus most of the increment, never more than half the remaining time); ``nodes N`` runs N
simulations; ``depth D`` runs D * 1,000 simulations (a playout search has no fixed depth,
so depth is read as a simulation budget that grows with it); ``infinite`` searches until
``stop``. With no limit the engine searches for one second.
"""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import IO, Protocol

import nonagame
from nonagame_lab._core import MAX_THREADS, MIN_POOL_NODES, Position, Searcher, cell_index, cell_name
from nonagame_lab._search import DEFAULT_EXPLORATION, DEFAULT_POOL_NODES

ENGINE_NAME = "nonagame-lab MCTS"
ENGINE_AUTHOR = "The nonagame developers"
SIMULATIONS_PER_DEPTH = 1000
DEFAULT_MOVETIME_MS = 1000
INFO_INTERVAL_S = 0.5
SLICE_S = 0.05  # a search runs in slices this long, so that stop is seen between them too


@dataclass
class Limits:
    """The budget of one ``go``: a time in seconds, a simulation count, or neither (infinite)."""

    seconds: float | None = None
    simulations: int | None = None
    infinite: bool = False


class Thinker(Protocol):
    """What the engine asks of a move chooser."""

    def new_game(self) -> None: ...

    def think(self, position: Position, limits: Limits, stop: threading.Event, info: Callable[[str], None]) -> int: ...


class SearchThinker:
    """The native search, with its tree kept between moves of one game."""

    def __init__(self) -> None:
        self.threads = 1
        self.pool_nodes = DEFAULT_POOL_NODES
        self.exploration = DEFAULT_EXPLORATION
        self._searcher: Searcher | None = None

    def options(self) -> list[str]:
        return [
            f"option name threads type spin default 1 min 1 max {MAX_THREADS}",
            f"option name pool_nodes type spin default {DEFAULT_POOL_NODES} min {MIN_POOL_NODES} max 4294967295",
            f"option name exploration type string default {DEFAULT_EXPLORATION}",
        ]

    def set_option(self, name: str, value: str) -> str | None:
        """Applies an option; returns an error text for a bad one."""
        try:
            if name == "threads":
                threads = int(value)
                if not 1 <= threads <= MAX_THREADS:
                    return f"threads must be 1..{MAX_THREADS}"
                self.threads = threads
            elif name == "pool_nodes":
                nodes = int(value)
                if not MIN_POOL_NODES <= nodes <= 4294967295:
                    return f"pool_nodes must be {MIN_POOL_NODES}..4294967295"
                self.pool_nodes = nodes
            elif name == "exploration":
                exploration = float(value)
                if not exploration >= 0 or exploration == float("inf"):
                    return "exploration must be a finite number >= 0"
                self.exploration = exploration
            else:
                return f"unknown option {name!r}"
        except ValueError:
            return f"bad value {value!r} for option {name}"
        self._searcher = None  # made again with the new settings
        return None

    def new_game(self) -> None:
        self._searcher = None

    def _get(self) -> Searcher:
        if self._searcher is None:
            self._searcher = Searcher(exploration=self.exploration, pool_nodes=self.pool_nodes, threads=self.threads)
        return self._searcher

    def think(self, position: Position, limits: Limits, stop: threading.Event, info: Callable[[str], None]) -> int:
        searcher = self._get()
        searcher.set_position(position)
        start = time.monotonic()
        last_info = start
        done = 0
        raw = searcher.result()
        while not stop.is_set():
            elapsed = time.monotonic() - start
            if limits.seconds is not None:
                left = limits.seconds - elapsed
                if left <= 0:
                    break
                raw = searcher.run(seconds=min(SLICE_S, left))
            elif limits.simulations is not None:
                left_sims = limits.simulations - done
                if left_sims <= 0:
                    break
                raw = searcher.run(simulations=min(left_sims, 20000))
            else:
                raw = searcher.run(seconds=SLICE_S)
            done += int(raw[6])
            if raw[5] is not None and not limits.infinite:
                break  # the root is solved: nothing more to learn
            now = time.monotonic()
            if now - last_info >= INFO_INTERVAL_S:
                info(_info_line(raw, done, now - start))
                last_info = now
        info(_info_line(raw, done, time.monotonic() - start))
        best = int(raw[3])
        if best < 0:  # stopped before any simulation: any legal move
            best = position.legal_moves[0]
        searcher.advance(best)
        return best


def _info_line(raw: tuple[object, ...], simulations: int, seconds: float) -> str:
    value = float(raw[4])  # type: ignore[arg-type]
    pv = " ".join(cell_name(c) for c in raw[8])  # type: ignore[attr-defined]
    ms = int(seconds * 1000)
    nps = int(simulations / seconds) if seconds > 0 else 0
    line = f"info simulations {simulations} nodes {simulations} time {ms} nps {nps} value {value:.3f}"
    line += f" score cp {int(round(value * 100))}"
    return line + (f" pv {pv}" if pv else "")


class PlayerThinker:
    """Any nonagame.Player: the move it makes on a game in the position is the engine's move."""

    def __init__(self, factory: Callable[[int], nonagame.Player]) -> None:
        self.factory = factory

    def options(self) -> list[str]:
        return []

    def set_option(self, name: str, value: str) -> str | None:
        return f"unknown option {name!r}"

    def new_game(self) -> None:
        pass

    def think(self, position: Position, limits: Limits, stop: threading.Event, info: Callable[[str], None]) -> int:
        game = position.to_game()
        before = set(position.legal_moves)
        player = self.factory(position.to_move)
        player.make_move(game)
        after = Position.from_game(game)
        played = [c for c in before if after.board[c] != 0]
        if len(played) != 1:
            raise RuntimeError("the player did not make exactly one move")
        return played[0]


class Engine:
    """The command loop: reads commands from input, writes answers to output."""

    def __init__(self, thinker: SearchThinker | PlayerThinker, output: IO[str]) -> None:
        self.thinker = thinker
        self.output = output
        self.position = Position()
        self._lock = threading.Lock()
        self._search: threading.Thread | None = None
        self._stop = threading.Event()
        self._infinite = False

    def send(self, line: str) -> None:
        with self._lock:
            self.output.write(line + "\n")
            self.output.flush()

    def run(self, lines: Iterable[str]) -> None:
        for raw in lines:
            try:
                if not self.handle(raw.strip()):
                    break
            except Exception as error:  # bad input must never end the engine
                self.send(f"info string error: {error}")
        self.finish_search()

    def handle(self, line: str) -> bool:
        """Carries out one command; False for quit."""
        words = line.split()
        if not words:
            return True
        command, args = words[0], words[1:]
        if command == "quit":
            return False
        if command == "isready":
            self.send("readyok")
        elif command == "ugi":
            self.send(f"id name {ENGINE_NAME}")
            self.send(f"id author {ENGINE_AUTHOR}")
            for option in getattr(self.thinker, "options", lambda: [])():
                self.send(option)
            self.send("ugiok")
        elif command == "stop":
            self.finish_search()
        elif command == "query":
            self.query(args)
        elif self.searching() and self._infinite:
            self.send(f"info string {command}: not during 'go infinite' (send stop first)")
        elif command == "uginewgame":
            self.wait_search()
            self.thinker.new_game()
            self.position = Position()
        elif command == "setoption":
            self.wait_search()
            self.set_option(args)
        elif command == "position":
            self.wait_search()
            self.set_position(args)
        elif command == "go":
            self.wait_search()
            self.go(args)
        else:
            self.send(f"info string unknown command {command!r}")
        return True

    def searching(self) -> bool:
        return self._search is not None and self._search.is_alive()

    def wait_search(self) -> None:
        """Lets a search with a limit end by itself (commands are taken in order)."""
        if self._search is not None:
            self._search.join()
            self._search = None

    def finish_search(self) -> None:
        if self._search is not None:
            self._stop.set()
            self._search.join()
            self._search = None

    def set_option(self, args: list[str]) -> None:
        if len(args) < 4 or args[0] != "name" or "value" not in args:
            self.send("info string setoption: expected 'setoption name NAME value VALUE'")
            return
        split = args.index("value")
        name, value = " ".join(args[1:split]), " ".join(args[split + 1 :])
        error = self.thinker.set_option(name, value)
        if error:
            self.send(f"info string setoption: {error}")

    def set_position(self, args: list[str]) -> None:
        if not args:
            self.send("info string position: expected 'startpos' or 'fen NOTATION', then optionally 'moves ...'")
            return
        moves_at = args.index("moves") if "moves" in args else len(args)
        head, moves = args[:moves_at], args[moves_at + 1 :]
        try:
            if head == ["startpos"]:
                position = Position()
            elif head[0] == "fen" and len(head) > 1:
                position = Position.parse(" ".join(head[1:]))
            else:
                raise ValueError("expected 'startpos' or 'fen NOTATION'")
            for index, name in enumerate(moves):
                try:
                    position = position.play(cell_index(name))
                except ValueError as error:
                    raise ValueError(f"move {index} ({name}): {error}") from None
        except ValueError as error:
            self.send(f"info string position: {error}; the position is unchanged")
            return
        self.position = position

    def go(self, args: list[str]) -> None:
        if self.position.is_over:
            self.send("info string go: the game is over")
            return
        try:
            limits = self.limits(args)
        except ValueError as error:
            self.send(f"info string go: {error}")
            return
        self._stop = threading.Event()
        self._infinite = limits.infinite
        position, stop = self.position, self._stop

        def work() -> None:
            try:
                cell = self.thinker.think(position, limits, stop, self.send)
            except Exception as error:  # the engine answers even when its player fails
                self.send(f"info string search failed: {error}")
                cell = position.legal_moves[0]
            self.send(f"bestmove {cell_name(cell)}")

        self._search = threading.Thread(target=work, name="ugi-search", daemon=True)
        self._search.start()

    def limits(self, args: list[str]) -> Limits:
        values: dict[str, int] = {}
        infinite = False
        i = 0
        while i < len(args):
            key = args[i]
            if key == "infinite":
                infinite = True
                i += 1
                continue
            if key not in ("movetime", "p1time", "p2time", "p1inc", "p2inc", "nodes", "depth", "movestogo"):
                raise ValueError(f"unknown limit {key!r}")
            if i + 1 >= len(args):
                raise ValueError(f"{key} needs a number")
            try:
                values[key] = int(args[i + 1])
            except ValueError:
                raise ValueError(f"{key} needs a number, got {args[i + 1]!r}") from None
            if values[key] < 0:
                raise ValueError(f"{key} must not be negative")
            i += 2
        if infinite:
            return Limits(infinite=True)
        if "nodes" in values:
            return Limits(simulations=max(1, values["nodes"]))
        if "depth" in values:
            return Limits(simulations=max(1, values["depth"]) * SIMULATIONS_PER_DEPTH)
        if "movetime" in values:
            return Limits(seconds=values["movetime"] / 1000)
        mover = self.position.to_move
        clock = values.get(f"p{mover}time")
        if clock is not None:
            increment = values.get(f"p{mover}inc", 0)
            moves_to_go = values.get("movestogo", 30) or 30
            share = clock / moves_to_go + 0.8 * increment
            share = min(share, clock * 0.5)
            return Limits(seconds=max(share - 10, 1) / 1000)
        return Limits(seconds=DEFAULT_MOVETIME_MS / 1000)

    def query(self, args: list[str]) -> None:
        position = self.position
        if args == ["gameover"]:
            self.send(f"response {'true' if position.is_over else 'false'}")
        elif args == ["p1turn"]:
            self.send(f"response {'true' if position.to_move == 1 else 'false'}")
        elif args == ["result"]:
            if not position.is_over:
                self.send("response none")
            else:
                self.send(f"response {['draw', 'p1win', 'p2win'][position.winner]}")
        else:
            self.send("info string query: expected 'gameover', 'p1turn' or 'result'")


def serve(
    player_factory: Callable[[int], nonagame.Player],
    input: IO[str] | None = None,
    output: IO[str] | None = None,
) -> None:
    """Runs a UGI engine whose moves are those of ``player_factory(player_id)``, a
    ``nonagame.Player`` (subclass) made for the player to move, until ``quit`` or the end of
    input."""
    engine = Engine(PlayerThinker(player_factory), output or sys.stdout)
    engine.run(input or sys.stdin)


def main(argv: list[str] | None = None) -> int:
    """The ``nonagame-ugi`` command: the native search as a UGI engine."""
    engine = Engine(SearchThinker(), sys.stdout)
    try:
        engine.run(sys.stdin)
    except KeyboardInterrupt:
        engine.finish_search()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
