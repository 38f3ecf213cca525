"""The arena: matches between two players over a suite of openings, with Elo and a sequential test.

``match(a, b)`` plays every opening twice, each player taking each colour once, and reports
the result from the first player's side: wins, draws, losses, the score, the Elo difference
with its 95% interval under the pentanomial model over game pairs, the likelihood of
superiority and, given ``sprt=(elo0, elo1, alpha, beta)``, the sequential test's
log-likelihood ratio and verdict (the match stops once there is one). Players are
``nonagame.Player`` factories (callables id -> Player) or spec strings (``"random"``,
``"uct:1000"``, ``"uct:0.1s"``, ``"level:3"``, ``"net:baseline:1000"``, ``"ugi:COMMAND"``).

``python3 -m nonagame_lab.arena uct:1000 random --games 100`` prints the same as a table.
"""

from __future__ import annotations

import math
import multiprocessing
import multiprocessing.util
import os
import secrets
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import IO, Union

import numpy as np

import nonagame
from nonagame_lab._core import Position
from nonagame_lab.arena._players import Contestant, PlayerSpec, UGIEngine, UGIPlayer, contestant
from nonagame_lab.arena._stats import (
    Z95,
    Sprt,
    elo_from_score,
    elo_interval,
    likelihood_of_superiority,
    log_likelihood_ratio,
    mean_and_variance,
    score_from_elo,
)

__all__ = [
    "MatchResult",
    "Sprt",
    "UGIEngine",
    "Z95",
    "UGIPlayer",
    "elo_from_score",
    "elo_interval",
    "likelihood_of_superiority",
    "load_openings",
    "log_likelihood_ratio",
    "match",
    "play_game",
    "score_from_elo",
]

PROGRESS_INTERVAL_S = 0.25  # the progress line is redrawn at most this often
OpeningsLike = Union[str, "os.PathLike[str]", Iterable[Union[str, Position]], None]


def load_openings(source: OpeningsLike = None) -> list[Position]:
    """The openings of a match: the built-in suite (None), a file of notations (a path; one
    a line, ``#`` starts a comment), or an iterable of notations and Positions."""
    if source is None:
        text = resources.files("nonagame_lab").joinpath("openings.txt").read_text()
        return _parse_lines(text.splitlines(), "the built-in openings")
    if isinstance(source, (str, os.PathLike)):
        with open(source) as file:
            return _parse_lines(file.read().splitlines(), os.fspath(source))
    openings = []
    for index, item in enumerate(source):
        if isinstance(item, Position):
            openings.append(item)
        elif isinstance(item, str):
            openings.append(_parse(item, f"opening {index}"))
        else:
            raise TypeError(f"opening {index}: expected a notation or a Position, got {type(item).__name__}")
    return _check_openings(openings)


def _parse_lines(lines: list[str], where: str) -> list[Position]:
    openings = []
    for number, line in enumerate(lines, 1):
        text = line.split("#", 1)[0].strip()
        if text:
            openings.append(_parse(text, f"{where}, line {number}"))
    return _check_openings(openings)


def _parse(text: str, where: str) -> Position:
    try:
        return Position.parse(text)
    except ValueError as error:
        raise ValueError(f"{where}: {error}") from None


def _check_openings(openings: list[Position]) -> list[Position]:
    if not openings:
        raise ValueError("openings: expected at least one opening")
    for position in openings:
        if position.is_over:
            raise ValueError(f"openings: {position.notation!r} is already over")
    return openings


def play_game(opening: Position, player1: nonagame.Player, player2: nonagame.Player) -> int:
    """Plays a game from ``opening`` to its end and returns the winner (0 for a draw). Each
    player must make exactly one move for its own side when asked."""
    game = opening.to_game()
    position = opening
    players = (None, player1, player2)
    while not position.is_over:
        mover = position.to_move
        players[mover].make_move(game)  # type: ignore[union-attr]
        after = Position.from_game(game)
        changed = after.board != position.board
        if np.count_nonzero(changed) != 1 or after.board[changed.argmax()] != mover:
            raise RuntimeError(
                f"{players[mover]!r} did not make exactly one move for player {mover} in {position.notation!r}"
            )
        position = after
    return position.winner


# The match a worker process plays pairs of: both contestants, the openings, the base seed.
_job: tuple[Contestant, Contestant, list[Position], int] | None = None


def _start_job(a: PlayerSpec, b: PlayerSpec, openings: list[str], seed: int) -> None:
    global _job
    _job = (contestant(a), contestant(b), [Position.parse(n) for n in openings], seed)


def _start_worker(a: PlayerSpec, b: PlayerSpec, openings: list[str], seed: int) -> None:
    _start_job(a, b, openings, seed)
    multiprocessing.util.Finalize(None, _finish_job, exitpriority=10)


def _finish_job() -> None:
    global _job
    if _job is not None:
        _job[0].close()
        _job[1].close()
        _job = None


def _game_seeds(seed: int, pair: int, game: int) -> tuple[int, int]:
    state = np.random.SeedSequence([seed, pair, game]).generate_state(2, np.uint64)
    return int(state[0]) >> 1, int(state[1]) >> 1


def _play_pair(pair: int) -> tuple[int, int]:
    """Both games of one pair: the winners with the first contestant as player 1, then as 2."""
    assert _job is not None
    a, b, openings, seed = _job
    opening = openings[pair % len(openings)]
    seed_a, seed_b = _game_seeds(seed, pair, 0)
    first = play_game(opening, a.player(1, seed_a), b.player(2, seed_b))
    seed_a, seed_b = _game_seeds(seed, pair, 1)
    second = play_game(opening, b.player(1, seed_b), a.player(2, seed_a))
    return first, second


def _score(winner: int, seat: int) -> float:
    return 0.5 if winner == 0 else 1.0 if winner == seat else 0.0


@dataclass(frozen=True)
class MatchResult:
    """A match's outcome, from the side of the first player (``player_a``)."""

    player_a: str
    player_b: str
    wins: int
    draws: int
    losses: int
    #: Pairs scoring 0, 0.5, 1, 1.5 and 2 for player_a.
    pentanomial: tuple[int, int, int, int, int]
    #: player_a's (wins, draws, losses) as player 1, who moves first.
    as_first: tuple[int, int, int]
    openings: int
    seed: int
    seconds: float
    sprt: Sprt | None = None

    @property
    def games(self) -> int:
        return self.wins + self.draws + self.losses

    @property
    def pairs(self) -> int:
        return sum(self.pentanomial)

    @property
    def score(self) -> float:
        """player_a's mean score a game (a draw counts half)."""
        return mean_and_variance(self.pentanomial)[1]

    @property
    def elo(self) -> float:
        return elo_interval(self.pentanomial)[0]

    @property
    def elo_interval(self) -> tuple[float, float]:
        """The 95% interval of the Elo difference (pentanomial model)."""
        _, low, high = elo_interval(self.pentanomial)
        return low, high

    @property
    def los(self) -> float:
        """The likelihood of superiority: the probability that player_a is the stronger."""
        return likelihood_of_superiority(self.pentanomial)

    @property
    def llr(self) -> float | None:
        if self.sprt is None:
            return None
        return log_likelihood_ratio(self.pentanomial, self.sprt.elo0, self.sprt.elo1)

    @property
    def verdict(self) -> str | None:
        """"H1" (player_a is elo1 or more stronger), "H0" (elo0 or less), None if undecided."""
        llr = self.llr
        return None if llr is None or self.sprt is None else self.sprt.verdict(llr, self.pairs)

    @property
    def games_per_second(self) -> float:
        return self.games / self.seconds if self.seconds > 0 else 0.0

    def table(self) -> str:
        low, high = self.elo_interval
        as_second = (self.wins - self.as_first[0], self.draws - self.as_first[1], self.losses - self.as_first[2])
        width = max(len(self.player_a), 14) + 2
        lines = [
            f"{self.player_a} against {self.player_b}: {self.games} games ({self.pairs} pairs) over "
            f"{self.openings} openings, seed {self.seed}, {self.seconds:.1f} s ({self.games_per_second:.2f} games/s)",
            f"{'':<{width}}{'wins':>6}{'draws':>7}{'losses':>8}{'score':>8}",
            f"{self.player_a:<{width}}{self.wins:>6}{self.draws:>7}{self.losses:>8}{self.score:>8.1%}",
            f"{'  as player 1':<{width}}{self.as_first[0]:>6}{self.as_first[1]:>7}{self.as_first[2]:>8}",
            f"{'  as player 2':<{width}}{as_second[0]:>6}{as_second[1]:>7}{as_second[2]:>8}",
            f"Elo {_elo(self.elo)} [{_elo(low)}, {_elo(high)}] (95%, pentanomial)   LOS {self.los:.1%}   "
            f"draws {self.draws / max(self.games, 1):.1%}",
            "pairs scoring 0, 0.5, 1, 1.5, 2: " + " ".join(str(n) for n in self.pentanomial),
        ]
        if self.sprt is not None:
            lower, upper = self.sprt.bounds
            s = self.sprt
            lines.append(
                f"SPRT elo0 {s.elo0:g} elo1 {s.elo1:g} alpha {s.alpha:g} beta {s.beta:g}: LLR {self.llr:.2f} "
                f"({lower:.2f}, {upper:.2f}) {self.verdict or 'undecided'}"
            )
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()


def _elo(value: float) -> str:
    return f"{value:+.1f}" if math.isfinite(value) else ("+inf" if value > 0 else "-inf")


class _Tally:
    def __init__(self) -> None:
        self.wdl = [0, 0, 0]
        self.first = [0, 0, 0]
        self.pentanomial = [0, 0, 0, 0, 0]

    def add(self, first: int, second: int) -> None:
        a_first, a_second = _score(first, 1), _score(second, 2)
        for score, seat in ((a_first, self.first), (a_second, None)):
            slot = 0 if score == 1.0 else 1 if score == 0.5 else 2
            self.wdl[slot] += 1
            if seat is not None:
                seat[slot] += 1
        self.pentanomial[int(round(2 * (a_first + a_second)))] += 1


def _progress(stream: IO[str], tally: _Tally, done: int, total: int, started: float, sprt: Sprt | None) -> None:
    width = 30
    filled = width * done // max(total, 1)
    elapsed = max(time.perf_counter() - started, 1e-9)
    games = 2 * done
    text = f"\r[{'#' * filled}{'.' * (width - filled)}] {games}/{2 * total} games"
    if done:
        elo, low, high = elo_interval(tally.pentanomial)
        score = mean_and_variance(tally.pentanomial)[1]
        text += f"  score {score:.1%}  Elo {_elo(elo)} [{_elo(low)}, {_elo(high)}]"
        if sprt is not None:
            text += f"  LLR {log_likelihood_ratio(tally.pentanomial, sprt.elo0, sprt.elo1):.2f}"
    text += f"  {games / elapsed:.1f} games/s "
    stream.write(text)
    stream.flush()


def _count(value: object, name: str, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ValueError(f"{name}: expected an int >= {minimum}, got {value!r}")
    return value


def match(
    player_a: PlayerSpec,
    player_b: PlayerSpec,
    *,
    openings: OpeningsLike = None,
    games: int | None = None,
    seed: int | None = None,
    processes: int = 1,
    sprt: Sprt | Sequence[float] | None = None,
    progress: bool = True,
    stream: IO[str] | None = None,
) -> MatchResult:
    """Plays ``player_a`` against ``player_b`` and returns the result from player_a's side.

    Each opening is played twice with the colours swapped. ``games`` (even) plays that many
    games, taking the openings in order and starting again from the first when they run out;
    by default every opening is played once each way. The games of pair ``i`` are seeded from
    ``(seed, i)``, so a seed replays a match of seedable players for any ``processes``
    (``seed=None`` draws one, reported in the result). ``processes`` > 1 plays pairs in that
    many worker processes. With ``sprt`` the match stops after the first pair at which the
    test reaches a verdict, counting pairs in order. ``progress`` writes a progress line to
    ``stream`` (standard error by default).
    """
    suite = load_openings(openings)
    test = None if sprt is None else Sprt.of(sprt)
    processes = _count(processes, "processes", 1)
    if games is None:
        pairs = len(suite)
    else:
        games = _count(games, "games", 2)
        if games % 2:
            raise ValueError(f"games: expected an even number (each opening is played with both colours), got {games}")
        pairs = games // 2
    if seed is None:
        seed = secrets.randbits(63)
    elif isinstance(seed, bool) or not isinstance(seed, int) or seed < 0:
        raise ValueError(f"seed: expected an int >= 0 or None, got {seed!r}")
    stream = stream or sys.stderr
    notations = [p.notation for p in suite]
    a, b = contestant(player_a), contestant(player_b)  # refuses a bad spec before any game
    tally = _Tally()
    started = time.perf_counter()
    shown = 0.0
    done = 0
    try:
        for first, second in _pairs(player_a, player_b, notations, seed, pairs, processes):
            tally.add(first, second)
            done += 1
            llr = 0.0 if test is None else log_likelihood_ratio(tally.pentanomial, test.elo0, test.elo1)
            stop = test is not None and test.verdict(llr, done) is not None
            if progress and (stop or done == pairs or time.perf_counter() - shown >= PROGRESS_INTERVAL_S):
                _progress(stream, tally, done, pairs, started, test)
                shown = time.perf_counter()
            if stop:
                break
    finally:
        if progress:
            stream.write("\n")
            stream.flush()
        a.close()
        b.close()
    return MatchResult(
        player_a=a.name,
        player_b=b.name,
        wins=tally.wdl[0],
        draws=tally.wdl[1],
        losses=tally.wdl[2],
        pentanomial=tuple(tally.pentanomial),  # type: ignore[arg-type]
        as_first=tuple(tally.first),  # type: ignore[arg-type]
        openings=min(len(suite), pairs),
        seed=seed,
        seconds=time.perf_counter() - started,
        sprt=test,
    )


def _pairs(
    a: PlayerSpec, b: PlayerSpec, openings: list[str], seed: int, pairs: int, processes: int
) -> Iterator[tuple[int, int]]:
    """The results of pairs 0, 1, ... in order, played here or in worker processes."""
    if processes == 1:
        _start_job(a, b, openings, seed)
        try:
            for pair in range(pairs):
                yield _play_pair(pair)
        finally:
            _finish_job()
        return
    # Forked workers inherit the player factories, so lambdas and closures work as players.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    pool = context.Pool(processes, initializer=_start_worker, initargs=(a, b, openings, seed))
    finished = False
    try:
        yield from pool.imap(_play_pair, range(pairs))
        finished = True
    finally:
        if finished:
            pool.close()  # the workers exit normally and quit their engines
        else:
            pool.terminate()  # stopped early: an engine sees its input close and ends
        pool.join()
