"""Monte Carlo tree search from Python: one-off searches and a player that keeps its tree."""

from __future__ import annotations

import dataclasses
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

import nonagame
# DEFAULT_POOL_NODES: nodes of the pool when none is given, 4,194,304 nodes of 20 bytes
# (80 MiB of address space, touched only as the tree grows), shared by the threads.
# DEFAULT_EXPLORATION: the UCT exploration constant on the [-1, 1] value scale.
# DEFAULT_C_PUCT: c_puct of a search guided by an evaluator (PUCT).
# All are re-exported for the callers of search() and MCTSPlayer.
from nonagame_lab._core import Position, SearchBatch, SearchResult, Searcher
from nonagame_lab._core import DEFAULT_C_PUCT as DEFAULT_C_PUCT
from nonagame_lab._core import DEFAULT_EXPLORATION as DEFAULT_EXPLORATION
from nonagame_lab._core import DEFAULT_POOL_NODES as DEFAULT_POOL_NODES
from nonagame_lab._core import MIN_POOL_NODES

__all__ = [
    "DEFAULT_C_PUCT",
    "DEFAULT_EXPLORATION",
    "DEFAULT_POOL_NODES",
    "Evaluator",
    "MCTSPlayer",
    "SearchResult",
    "SearchSettings",
    "search",
    "search_batch",
]

PositionLike = Position | nonagame.Game | nonagame.State
#: evaluator(planes (L, 9, 9, 3) int8, legal (L, 81) bool) -> (logits (L, 81), values (L,))
Evaluator = Callable[[npt.NDArray[np.int8], npt.NDArray[np.bool_]], tuple[Any, Any]]


@dataclass(frozen=True)
class SearchSettings:
    """How a search runs, in one place for ``search``, ``search_batch`` and ``MCTSPlayer``.

    ``exploration`` is UCT's constant (playout search); ``c_puct`` weighs the priors of a
    guided search. Root noise (``dirichlet_alpha``, ``dirichlet_fraction``) and the
    ``temperature`` of the move draw are for self-play and off by default. ``pool_nodes``
    bounds the memory (20 bytes a node, 36 when guided), shared by ``threads``; ``seed``
    makes a one-thread search reproducible (None: from the operating system).
    """

    exploration: float = DEFAULT_EXPLORATION
    c_puct: float = DEFAULT_C_PUCT
    dirichlet_alpha: float = 0.3
    dirichlet_fraction: float = 0.0
    temperature: float = 0.0
    pool_nodes: int = DEFAULT_POOL_NODES
    threads: int = 1
    seed: int | None = None

    def replace(self, **changes: Any) -> SearchSettings:
        """A copy with the given fields changed; an unknown name is a TypeError."""
        return dataclasses.replace(self, **changes)


def _settings(settings: SearchSettings | None, changes: dict[str, Any]) -> SearchSettings:
    if settings is not None and not isinstance(settings, SearchSettings):
        raise TypeError(f"argument 'settings': expected a SearchSettings, got {type(settings).__name__!r}")
    base = settings if settings is not None else SearchSettings()
    given = {name: value for name, value in changes.items() if value is not None}
    return base.replace(**given) if given else base


def _position(position: PositionLike) -> Position:
    if isinstance(position, Position):
        return position
    if isinstance(position, nonagame.Game):
        return Position.from_game(position)
    if isinstance(position, nonagame.State):
        return Position.from_state(position)
    raise TypeError(
        f"argument 'position': expected a Position, nonagame.Game or nonagame.State, got {type(position).__name__!r}"
    )


def search(
    position: PositionLike,
    *,
    simulations: int | None = None,
    seconds: float | None = None,
    seed: int | None = None,
    threads: int | None = None,
    exploration: float | None = None,
    pool_nodes: int | None = None,
    settings: SearchSettings | None = None,
    network: Any = None,
) -> SearchResult:
    """Searches position with UCT and random playouts, within exactly one budget.

    ``settings`` (a SearchSettings) holds how the search runs; ``seed``, ``threads``,
    ``exploration`` and ``pool_nodes`` given here override its fields. With ``network`` (a
    ``nonagame_lab.Network``) the search is PUCT over the network's priors, backing up its
    values natively instead of playing out, with the same budgets, threads, seeds, proofs
    and Ctrl-C; the result then carries the root's ``priors``.

    Proven wins and losses propagate up the tree, so a forced win is played as one. The
    interpreter lock is released while searching; with ``threads`` > 1 each thread grows its
    own tree (root parallelism) and their root statistics are merged; with a network, thread t
    sees the positions under symmetry t % 8, so that the trees differ. At ``threads=1`` a seed
    makes the result reproducible. ``pool_nodes`` bounds the memory: when the pool is full the
    tree stops growing and the search goes on with what it has. Ctrl-C ends a long search with
    KeyboardInterrupt. A position that is already over raises ValueError, and so does a
    budget of zero simulations (a search that looked at nothing has no move to give); a bool
    for either budget is a TypeError.
    """
    if (simulations is None) == (seconds is None):
        raise ValueError("give exactly one budget: simulations or seconds")
    root = _position(position)
    if root.is_over:
        raise ValueError("the position is already over: there is nothing to search")
    chosen = _settings(settings, {"seed": seed, "threads": threads, "exploration": exploration, "pool_nodes": pool_nodes})
    if simulations is not None:
        chosen = dataclasses.replace(chosen, pool_nodes=_pool_for(chosen, simulations))
    searcher = _searcher(chosen, network)
    searcher.set_position(root)
    if simulations is not None:
        return searcher.run(simulations=simulations)
    return searcher.run(seconds=seconds)


def _pool_for(settings: SearchSettings, simulations: Any) -> Any:
    """The pool of a one-off search of that many simulations: no more than its trees can fill
    (a simulation adds at most one block of 81 children to its thread's tree, as the native
    search sizes its pool), so the result is the one of the full pool. A pool of a few
    megabytes comes from memory the allocator already holds, where the default 150 MiB of a
    guided search is mapped afresh and its touched pages faulted in and unmapped every call.
    Values a Searcher refuses are passed on unchanged for it to refuse."""
    threads, pool = settings.threads, settings.pool_nodes
    if not all(type(v) is int for v in (simulations, threads, pool)) or simulations < 1 or threads < 1:
        return pool
    return min(pool, (MIN_POOL_NODES + (simulations // threads + 1) * 81) * threads)


def _searcher(settings: SearchSettings, network: Any = None) -> Searcher:
    return Searcher(
        exploration=settings.exploration,
        pool_nodes=settings.pool_nodes,
        threads=settings.threads,
        seed=settings.seed,
        network=network,
        c_puct=settings.c_puct,
        dirichlet_alpha=settings.dirichlet_alpha,
        dirichlet_fraction=settings.dirichlet_fraction,
        temperature=settings.temperature,
    )


def search_batch(
    positions: Sequence[PositionLike],
    evaluator: Evaluator,
    *,
    simulations: int,
    settings: SearchSettings | None = None,
    leaves_per_tree: int = 1,
    seeds: Sequence[int] | None = None,
    **changes: Any,
) -> list[SearchResult]:
    """Searches many positions at once, guided by a network that the caller evaluates.

    Each position gets its own tree (PUCT over the priors, values backed up, proofs kept).
    Once a round, on the calling thread and with the interpreter lock held, ``evaluator``
    is called with the leaves of all trees: ``evaluator(planes, legal)`` with planes the
    (L, 9, 9, 3) int8 observations of each leaf for its player to move (as
    ``envs.position_planes``) and legal its (L, 81) bool mask, and returns ``(logits,
    values)``: (L, 81) policy logits (illegal cells ignored) and (L,) values for the player
    to move, any float dtype. The softmax over the legal cells is done natively. Between
    calls the tree work runs without the lock on ``settings.threads`` threads.

    Each tree gives one leaf a round, so a tree's result does not depend on the other
    positions of the batch, and with ``evaluator=net.evaluate_planes`` it equals
    ``search(position, network=net)`` at the same budget and seed. With ``leaves_per_tree``
    > 1 a tree gives that many leaves a round under virtual loss (each pending descent
    counts on its path as a lost visit, turning the next ones to other moves, and is taken
    back when its evaluation arrives): fewer, larger rounds, at some cost in precision. The roots' own
    evaluations come first and are not counted as simulations. An answer of the wrong type
    (TypeError) or shape, or with a non-finite value (ValueError), and any exception of the
    evaluator, end the call with every tree as it was before that round. Ctrl-C stops
    between rounds. ``changes`` override fields of ``settings`` (e.g. ``seed=1``).

    Every tree draws from ``settings.seed``, so equal positions give equal results under one
    seed (noise, temperature and all). ``seeds``, one int a position, gives tree ``i`` the
    seed ``seeds[i]`` instead (as ``search(positions[i], seed=seeds[i])``): self-play that
    starts many games from one position needs it, or they all play the same game. With
    neither seed nor ``seeds``, each tree gets a seed of its own from the operating system.
    """
    roots = [_position(p) for p in positions]
    chosen = _settings(settings, changes)
    batch = SearchBatch(
        roots,
        simulations=simulations,
        threads=chosen.threads,
        seed=chosen.seed,
        c_puct=chosen.c_puct,
        dirichlet_alpha=chosen.dirichlet_alpha,
        dirichlet_fraction=chosen.dirichlet_fraction,
        temperature=chosen.temperature,
        pool_nodes=chosen.pool_nodes,
        leaves_per_tree=leaves_per_tree,
        seeds=seeds,
    )
    return batch.run(evaluator)


class MCTSPlayer(nonagame.Player):
    """A nonagame.Player that chooses its moves by ``search`` (guided by ``network`` if given).

    It keeps its tree between turns: when the game continues from the position it expects
    (its own move, then any reply), the subtree below that position is searched further
    instead of starting afresh. Usable with play_game, play_multiple_games and tournaments.
    """

    def __new__(
        cls,
        id: int,
        *,
        simulations: int | None = None,
        seconds: float | None = None,
        seed: int | None = None,
        threads: int | None = None,
        exploration: float | None = None,
        pool_nodes: int | None = None,
        settings: SearchSettings | None = None,
        network: Any = None,
    ) -> MCTSPlayer:
        # The lab checks its own arguments: the core module would panic on a bad id.
        if isinstance(id, bool) or not isinstance(id, int):
            raise TypeError(f"argument 'id': expected 1 or 2, got {type(id).__name__!r}")
        if id not in (1, 2):
            raise ValueError(f"argument 'id': expected 1 or 2, got {id!r}")
        if simulations is None and seconds is None:
            simulations = 1000
        if simulations is not None and seconds is not None:
            raise ValueError("give at most one budget: simulations or seconds")
        for name, value in (("simulations", simulations), ("seconds", seconds)):
            if isinstance(value, bool):
                raise TypeError(f"argument '{name}': expected a number, got 'bool'")
        if simulations is not None and simulations == 0:
            raise ValueError("argument 'simulations': expected a count >= 1, got 0")
        player = super().__new__(cls, id)
        player._id = id
        player._lock = threading.Lock()
        player._budget = {"simulations": simulations} if simulations is not None else {"seconds": seconds}
        chosen = _settings(settings, {"seed": seed, "threads": threads, "exploration": exploration, "pool_nodes": pool_nodes})
        player._searcher = _searcher(chosen, network)
        player.last_result = None
        return player

    _id: int
    _lock: threading.Lock
    _budget: dict[str, Any]
    _searcher: Searcher
    #: The result of the search behind the last move, for inspection.
    last_result: SearchResult | None

    @property
    def id(self) -> int:
        """The player id, 1 or 2."""
        return self._id

    def _claim(self) -> None:
        # set_position, run and advance make one step: a second thread is refused whole
        # rather than slipping between them and finding the tree on another root.
        if not self._lock.acquire(blocking=False):
            raise RuntimeError("this MCTSPlayer is in use by another thread")

    def _search(self, position: Position) -> SearchResult:
        self._searcher.set_position(position)
        result = self._searcher.run(**self._budget)
        self.last_result = result
        return result

    def choose(self, position: Position) -> SearchResult:
        """Searches position (reusing the tree where it can) and returns the result.

        The player serves one thread at a time: a call while another thread is in
        choose or make_move raises RuntimeError.
        """
        self._claim()
        try:
            return self._search(position)
        finally:
            self._lock.release()

    def make_move(self, game: nonagame.Game) -> None:
        """Searches the game's position within the player's budget and plays the best move.

        The tree is kept: the subtree of the move played is the start of the next search
        when the game goes on from there. A call while another thread is in choose or
        make_move raises RuntimeError.
        """
        self._claim()
        try:
            result = self._search(Position.from_game(game))
            game.make_move(result.best_move, self._id)
            self._searcher.advance(result.best_move)
        finally:
            self._lock.release()
