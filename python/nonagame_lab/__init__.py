"""Search and learning tools for nine-board tic-tac-toe, on the nonagame engine.

Positions as immutable values, batched simulation, native search, and environments for
the usual reinforcement-learning interfaces.
"""

from nonagame_lab import _core

__all__: list[str] = []
