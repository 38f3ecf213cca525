"""Search and learning tools for nine-board tic-tac-toe, on the nonagame engine.

- ``Position``: an immutable position value (equality, hashing, pickling, notation,
  symmetries, pictures).
- ``playouts`` and ``VectorGames``: random games and batches of games at native speed.
- ``search``, ``Searcher`` and ``MCTSPlayer``: native Monte Carlo tree search;
  ``search_batch``: many trees guided by the caller's network, evaluated in rounds.
- ``Network``: a policy-value network evaluated natively, read from and written to ``.npz``.
- ``baseline_player`` and ``baseline_move``: graded opponents, from random play up to the
  strongest search; ``nonagame_lab.arena`` measures players against each other.
"""

from importlib.metadata import PackageNotFoundError, version

import nonagame
from nonagame_lab._core import (
    PlayoutResult,
    Position,
    Searcher,
    VectorGames,
    cell_index,
    cell_name,
    compose_symmetries,
    inverse_symmetry,
    playouts,
    transform_cells,
)
from nonagame_lab._network import Network
from nonagame_lab._search import (
    DEFAULT_C_PUCT,
    DEFAULT_EXPLORATION,
    DEFAULT_POOL_NODES,
    MCTSPlayer,
    SearchResult,
    SearchSettings,
    search,
    search_batch,
)
from nonagame_lab._levels import LEVEL_SIMULATIONS, baseline_move, baseline_player
from nonagame_lab._symmetry import SYMMETRY_NAMES, transform_policy

try:
    __version__: str = version("nonagame")  # the distribution both packages come in
except PackageNotFoundError:  # a development tree, not installed: the version it was built as
    __version__ = nonagame.__version__
del version, PackageNotFoundError

__all__ = [
    "DEFAULT_C_PUCT",
    "DEFAULT_EXPLORATION",
    "DEFAULT_POOL_NODES",
    "LEVEL_SIMULATIONS",
    "MCTSPlayer",
    "Network",
    "SearchResult",
    "SearchSettings",
    "Searcher",
    "search",
    "search_batch",
    "PlayoutResult",
    "Position",
    "SYMMETRY_NAMES",
    "VectorGames",
    "baseline_move",
    "baseline_player",
    "cell_index",
    "cell_name",
    "compose_symmetries",
    "inverse_symmetry",
    "playouts",
    "transform_cells",
    "transform_policy",
]
