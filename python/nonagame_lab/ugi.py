"""A Universal Game Interface (UGI) engine over standard input and output.

Tournament managers start an engine as a child process and talk to it one line at a time.
``main`` (the ``nonagame-ugi`` command) serves the native search; ``serve(player_factory)``
serves any ``nonagame.Player`` subclass. Positions use the notation of ``Position`` and
moves the algebraic cell names of ``cell_name``.

The search runs on a thread of its own while the command loop goes on reading: ``isready``
and ``query`` are answered at once and ``stop`` ends a search with its ``bestmove``. A
command that changes what the engine searches (``position``, ``go``, ``uginewgame``,
``setoption``) stops a running search first: its ``bestmove`` comes out, then the command is
carried out. Bad input never ends the engine: it is answered with an ``info string`` line and
the previous position is kept. Input is read as bytes and each line decoded on its own, so a
line that is not UTF-8 is just bad input. End of input ends the engine as ``quit`` does, and
so does a closed output, quietly.

``go`` limits: ``movetime`` (ms) searches for that long; ``p1time``/``p2time`` with
``p1inc``/``p2inc`` (ms) take a share of the mover's clock (a 30th of the remaining time
plus most of the increment, never more than half the remaining time); ``nodes N`` runs N
simulations; ``depth D`` runs D * 1,000 simulations (a playout search has no fixed depth,
so depth is read as a simulation budget that grows with it); ``infinite`` searches until
``stop``. With no limit the engine searches for one second. Numbers are ASCII digits, at
most ``MAX_LIMIT_VALUE``.
"""

from __future__ import annotations

import os
import sys
import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import IO

import nonagame
from nonagame_lab._core import (
    DEFAULT_EXPLORATION,
    DEFAULT_POOL_NODES,
    MAX_THREADS,
    MIN_POOL_NODES,
    Position,
    Searcher,
    SearchResult,
    cell_index,
    cell_name,
)

MAX_POOL_NODES = 2**32 - 1  # the most nodes a Searcher's pool takes: node indices are 32 bits

ENGINE_NAME = "nonagame-lab MCTS"
# The search is guided by this network unless `setoption name network value none|<path>` says
# otherwise: "baseline" is the network shipped with the package.
DEFAULT_NETWORK = "baseline"
ENGINE_AUTHOR = "The nonagame developers"
SIMULATIONS_PER_DEPTH = 1000
DEFAULT_MOVETIME_MS = 1000
INFO_INTERVAL_S = 0.5
SLICE_S = 0.05  # a search runs in slices this long, so that stop is seen between them too
SLICE_SIMULATIONS = 20000  # the same for a simulation budget
MIN_SIMULATIONS = 100  # a search stopped before it began still plays from this many, not the first cell
FALLBACK_POOL_NODES = 1 << 16  # the small fresh search that picks a move after a failure
FALLBACK_SIMULATIONS = 2000

# The clock rule: a share of the mover's remaining time for this move.
CLOCK_MOVES_TO_GO = 30  # the remaining time is shared over this many moves unless movestogo says
CLOCK_INCREMENT_SHARE = 0.8  # of the increment, spent on this move as well
CLOCK_MAX_SHARE = 0.5  # never more than this share of the remaining time
CLOCK_MARGIN_MS = 10  # kept back for the answer to reach the manager
MIN_MOVETIME_MS = 1

MAX_LIMIT_VALUE = 2**53 - 1  # the largest go number; exact as a float, so clock arithmetic cannot fail
ECHO_LIMIT = 80  # characters of the input shown back in an info string
INFO_LIMIT = 240  # characters of an info string's text
GO_KEYS = ("movetime", "p1time", "p2time", "p1inc", "p2inc", "nodes", "depth", "movestogo")


@dataclass
class Limits:
    """The budget of one ``go``: a time in seconds, a simulation count, or neither (infinite)."""

    seconds: float | None = None
    simulations: int | None = None
    infinite: bool = False


def _quoted(text: str) -> str:
    """Input shown back in an answer: quoted, in ASCII, cut to ECHO_LIMIT characters."""
    if len(text) > ECHO_LIMIT:
        text = text[:ECHO_LIMIT] + "..."
    return ascii(text)


def _describe(error: BaseException) -> str:
    """An error as one short line, named by its type when it has no message."""
    message = str(error)
    return f"{type(error).__name__}: {message}" if message else type(error).__name__


def _whole_number(name: str, text: str, maximum: int) -> int:
    """text as a count written in ASCII digits, at most maximum."""
    if not (text.isascii() and text.isdigit()):
        raise ValueError(f"{name} needs a whole number in ASCII digits, got {_quoted(text)}")
    digits = text.lstrip("0") or "0"
    if len(digits) > len(str(maximum)) or int(digits) > maximum:
        raise ValueError(f"{name} must be at most {maximum}")
    return int(digits)


def _finite_number(name: str, text: str) -> float:
    """text as a finite number >= 0 written in ASCII."""
    try:
        number = float(text) if text.isascii() else float("nan")
    except ValueError:
        number = float("nan")
    if not 0 <= number < float("inf"):
        raise ValueError(f"{name} must be a finite number >= 0, got {_quoted(text)}")
    return number


class SearchThinker:
    """The native search, with its tree kept between moves of one game."""

    def __init__(self) -> None:
        self.threads = 1
        self.pool_nodes = DEFAULT_POOL_NODES
        self.exploration = DEFAULT_EXPLORATION
        self.network = DEFAULT_NETWORK
        self._searcher: Searcher | None = None

    def options(self) -> list[str]:
        return [
            f"option name threads type spin default 1 min 1 max {MAX_THREADS}",
            f"option name pool_nodes type spin default {DEFAULT_POOL_NODES} min {MIN_POOL_NODES} max {MAX_POOL_NODES}",
            f"option name exploration type string default {DEFAULT_EXPLORATION}",
            f"option name network type string default {DEFAULT_NETWORK}",
        ]

    def set_option(self, name: str, value: str) -> str | None:
        """Applies an option and builds the search it asks for; returns an error text for a
        bad one, in which case the previous settings and search are kept."""
        threads, pool_nodes, exploration, network = self.threads, self.pool_nodes, self.exploration, self.network
        try:
            if name == "threads":
                threads = _whole_number(name, value, MAX_THREADS)
                if threads < 1:
                    return f"threads must be 1..{MAX_THREADS}"
            elif name == "pool_nodes":
                pool_nodes = _whole_number(name, value, MAX_POOL_NODES)
                if pool_nodes < MIN_POOL_NODES:
                    return f"pool_nodes must be {MIN_POOL_NODES}..{MAX_POOL_NODES}"
            elif name == "exploration":
                exploration = _finite_number(name, value)
            elif name == "network":
                network = value
            else:
                return f"unknown option {_quoted(name)}"
        except ValueError as error:
            return str(error)
        try:
            searcher = Searcher(exploration=exploration, pool_nodes=pool_nodes, threads=threads, network=network)
        except (MemoryError, ValueError, OverflowError, OSError, RuntimeError) as error:
            reason = _describe(error)
            return f"{name} {value} refused: no search can be made with it ({reason}); the previous settings are kept"
        self.threads, self.pool_nodes, self.exploration, self.network = threads, pool_nodes, exploration, network
        self._searcher = searcher
        return None

    def new_game(self) -> None:
        self._searcher = None

    def interrupt(self) -> None:
        """Asks a running slice to end now; safe from another thread."""
        searcher = self._searcher
        if searcher is not None:
            searcher.stop()

    def _get(self) -> Searcher:
        if self._searcher is None:
            self._searcher = Searcher(exploration=self.exploration, pool_nodes=self.pool_nodes, threads=self.threads,
                                      network=self.network)
        return self._searcher

    def think(self, position: Position, limits: Limits, stop: threading.Event, info: Callable[[str], None]) -> int:
        searcher = self._get()
        searcher.set_position(position)
        start = time.monotonic()
        last_info = start
        done = 0
        reported = -1  # simulations of the last info line
        found: SearchResult | None = None
        while not stop.is_set():
            elapsed = time.monotonic() - start
            if limits.seconds is not None:
                left = limits.seconds - elapsed
                if left <= 0:
                    break
                found = searcher.run(seconds=min(SLICE_S, left))
            elif limits.simulations is not None:
                left_simulations = limits.simulations - done
                if left_simulations <= 0:
                    break
                found = searcher.run(simulations=min(left_simulations, SLICE_SIMULATIONS))
            else:
                found = searcher.run(seconds=SLICE_S)
            done += found.simulations
            if found.proven is not None and not limits.infinite:
                break  # the root is solved: nothing more to learn
            now = time.monotonic()
            if now - last_info >= INFO_INTERVAL_S:
                info(_info_line(found, done, now - start))
                last_info, reported = now, done
        if done == 0:  # stopped or out of time before any simulation
            found = searcher.run(simulations=MIN_SIMULATIONS)
            done = found.simulations
        assert found is not None
        if done != reported:  # the last periodic line already says it all otherwise
            info(_info_line(found, done, time.monotonic() - start))
        searcher.advance(found.best_move)
        return found.best_move


def _info_line(found: SearchResult, simulations: int, seconds: float) -> str:
    pv = " ".join(cell_name(c) for c in found.principal_variation)
    ms = int(seconds * 1000)
    nps = int(simulations / seconds) if seconds > 0 else 0
    line = f"info simulations {simulations} nodes {simulations} time {ms} nps {nps} value {found.value:.3f}"
    line += f" score cp {int(round(found.value * 100))}"
    return line + (f" pv {pv}" if pv else "")


def _fallback_move(position: Position) -> tuple[int, str]:
    """A move chosen without the failed player: a small fresh search, else the first legal
    cell. Returns it with the words that say how it was chosen."""
    try:
        searcher = Searcher(pool_nodes=FALLBACK_POOL_NODES, threads=1)
        searcher.set_position(position)
        found = searcher.run(simulations=FALLBACK_SIMULATIONS)
        return found.best_move, f"a fallback search of {FALLBACK_SIMULATIONS} simulations"
    except Exception as error:  # the fallback must not fail: the manager waits for a bestmove
        return position.legal_moves[0], f"the first legal cell (the fallback search failed too: {_describe(error)})"


class PlayerThinker:
    """Any nonagame.Player: the move it makes on a game in the position is the engine's move."""

    def __init__(self, factory: Callable[[int], nonagame.Player]) -> None:
        self.factory = factory

    def options(self) -> list[str]:
        return []

    def set_option(self, name: str, value: str) -> str | None:
        return f"unknown option {_quoted(name)}"

    def new_game(self) -> None:
        pass

    def interrupt(self) -> None:
        pass  # a player's move cannot be cut short: stop waits for it

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
        self.closed = False  # the output is gone: the engine ends
        self._lock = threading.Lock()
        self._search: threading.Thread | None = None
        self._stop = threading.Event()

    def send(self, line: str) -> None:
        with self._lock:
            if self.closed:
                return
            try:
                self.output.write(line + "\n")
                self.output.flush()
            except OSError:  # nobody reads the answers any more (BrokenPipeError)
                self.closed = True
                self._stop.set()

    def tell(self, text: str) -> None:
        """An ``info string`` line: ASCII, at most INFO_LIMIT characters of text."""
        if len(text) > INFO_LIMIT:
            text = text[:INFO_LIMIT] + "..."
        self.send("info string " + text.encode("ascii", "backslashreplace").decode("ascii"))

    def run(self, lines: Iterable[str | bytes]) -> None:
        """Carries out the commands of lines (bytes are decoded as UTF-8, each line on its own
        and leniently) until quit, the end of lines or a closed output. A running search is
        stopped and joined on the way out, even when reading fails, so that no search thread
        is left inside the native search at exit."""
        try:
            for raw in lines:
                line = raw.decode("utf-8", "replace") if isinstance(raw, bytes) else raw
                try:
                    if not self.handle(line.strip()):
                        break
                except Exception as error:  # bad input must never end the engine
                    self.tell(f"error: {_describe(error)}")
                if self.closed:
                    break
        finally:
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
            for option in self.thinker.options():
                self.send(option)
            self.send("ugiok")
        elif command == "stop":
            self.finish_search()
        elif command == "query":
            self.query(args)
        elif command == "uginewgame":
            self.finish_search()
            self.thinker.new_game()
            self.position = Position()
        elif command == "setoption":
            self.finish_search()
            self.set_option(args)
        elif command == "position":
            self.finish_search()
            self.set_position(args)
        elif command == "go":
            self.finish_search()
            self.go(args)
        else:
            self.tell(f"unknown command {_quoted(command)}")
        return True

    def finish_search(self) -> None:
        """Stops a running search and waits for its bestmove (at most a slice)."""
        if self._search is not None:
            self._stop.set()
            self.thinker.interrupt()
            self._search.join()
            self._search = None

    def set_option(self, args: list[str]) -> None:
        if len(args) < 4 or args[0] != "name" or "value" not in args:
            self.tell("setoption: expected 'setoption name NAME value VALUE'")
            return
        split = args.index("value")
        name, value = " ".join(args[1:split]), " ".join(args[split + 1 :])
        error = self.thinker.set_option(name, value)
        if error:
            self.tell(f"setoption: {error}")

    def set_position(self, args: list[str]) -> None:
        if not args:
            self.tell("position: expected 'startpos' or 'fen NOTATION', then optionally 'moves ...'")
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
                    raise ValueError(f"move {index} ({_quoted(name)}): {error}") from None
        except ValueError as error:
            self.tell(f"position: {error}; the position is unchanged")
            return
        self.position = position

    def go(self, args: list[str]) -> None:
        if self.position.is_over:
            self.tell("go: the game is over")
            return
        try:
            limits = self.limits(args)
        except ValueError as error:
            self.tell(f"go: {error}")
            return
        self._stop = threading.Event()
        position, stop = self.position, self._stop

        def work() -> None:
            try:
                cell = self.thinker.think(position, limits, stop, self.send)
            except Exception as error:  # the engine answers even when its player fails
                cell, how = _fallback_move(position)
                self.tell(f"search failed ({_describe(error)}); bestmove {cell_name(cell)} is from {how}")
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
            if key not in GO_KEYS:
                raise ValueError(f"unknown limit {_quoted(key)}")
            if i + 1 >= len(args):
                raise ValueError(f"{key} needs a number")
            values[key] = _whole_number(key, args[i + 1], MAX_LIMIT_VALUE)
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
            moves_to_go = values.get("movestogo") or CLOCK_MOVES_TO_GO
            share = min(clock / moves_to_go + CLOCK_INCREMENT_SHARE * increment, clock * CLOCK_MAX_SHARE)
            return Limits(seconds=max(share - CLOCK_MARGIN_MS, MIN_MOVETIME_MS) / 1000)
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
            self.tell("query: expected 'gameover', 'p1turn' or 'result'")


def _serve_stdio(engine: Engine) -> None:
    """Runs engine on the process's standard streams until the end, Ctrl-C included."""
    try:
        engine.run(getattr(sys.stdin, "buffer", sys.stdin))  # bytes, unless stdin was replaced by text
    except KeyboardInterrupt:
        pass  # Ctrl-C ends the engine as quit does; run has stopped the search
    if engine.closed and engine.output is sys.stdout:
        # The answers left in stdout's buffer would fail again when Python flushes it at exit
        # and turn a quiet end into an error: they go to the null device instead.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def serve(
    player_factory: Callable[[int], nonagame.Player],
    commands: Iterable[str | bytes] | None = None,
    answers: IO[str] | None = None,
) -> None:
    """Runs a UGI engine whose moves are those of ``player_factory(player_id)``, a
    ``nonagame.Player`` (subclass) made for the player to move, until ``quit`` or the end of
    the commands (standard input by default; answers go to standard output by default)."""
    engine = Engine(PlayerThinker(player_factory), answers or sys.stdout)
    if commands is None:
        _serve_stdio(engine)
    else:
        engine.run(commands)


def main(argv: list[str] | None = None) -> int:
    """The ``nonagame-ugi`` command: the native search as a UGI engine."""
    _serve_stdio(Engine(SearchThinker(), sys.stdout))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
