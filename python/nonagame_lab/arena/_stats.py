"""Match statistics over colour-swapped game pairs (the pentanomial model).

A pair is two games from one opening, each player taking each colour once. Its score for the
first-named player is 0, 0.5, 1, 1.5 or 2; the five counts are the pentanomial sample. Pairs,
not games, are the independent units: the two games of a pair share an opening, so their
results are correlated, and treating them as independent games overstates the variance.

- score: the mean per-game score, the pair score halved and averaged over the pairs;
- Elo: the logistic curve, ``-400 log10(1 / score - 1)``;
- the 95% interval: score +- 1.96 standard errors (the per-pair variance over the pair
  count), each end mapped through the logistic curve;
- the likelihood of superiority: the normal probability that the true score exceeds 0.5;
- the log-likelihood ratio of the sequential test between Elo ``elo0`` and ``elo1`` (logistic
  Elo), in the generalised SPRT's normal approximation,
  ``N (s1 - s0) (2 s - s0 - s1) / (2 var)``, with empty counts set to 0.001 (so that a sample
  without spread still gives a finite ratio), against the bounds ``log(beta / (1 - alpha))``
  and ``log((1 - beta) / alpha)``. A test decides no earlier than after ``min_pairs`` pairs
  (10 by default): from fewer, the variance estimate is too rough for the normal
  approximation (one won pair has no spread at all, and would pass any bound).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

PAIR_SCORES = (0.0, 0.25, 0.5, 0.75, 1.0)  # the per-game score of each pentanomial outcome
Z95 = 1.959963984540054  # the two-sided 95% quantile of the normal distribution
EMPTY_COUNT = 1e-3


def elo_from_score(score: float) -> float:
    """The logistic Elo difference of a per-game score in [0, 1] (infinite at 0 and 1)."""
    if score <= 0.0:
        return -math.inf
    if score >= 1.0:
        return math.inf
    return -400.0 * math.log10(1.0 / score - 1.0)


def score_from_elo(elo: float) -> float:
    """The per-game score the logistic curve expects at an Elo difference."""
    return 1.0 / (1.0 + math.pow(10.0, -elo / 400.0))


def _check(pentanomial: Sequence[float]) -> list[float]:
    counts = [float(c) for c in pentanomial]
    if len(counts) != 5 or any(c < 0 or not math.isfinite(c) for c in counts):
        raise ValueError(f"pentanomial: expected five counts >= 0 (pair scores 0, 0.5, 1, 1.5, 2), got {pentanomial!r}")
    return counts


def mean_and_variance(pentanomial: Sequence[float]) -> tuple[float, float, float]:
    """The pair count, the mean per-game score and the per-pair variance of that score."""
    counts = _check(pentanomial)
    pairs = sum(counts)
    if pairs == 0:
        return 0.0, 0.5, 0.0
    mean = sum(c * s for c, s in zip(counts, PAIR_SCORES)) / pairs
    variance = sum(c * (s - mean) ** 2 for c, s in zip(counts, PAIR_SCORES)) / pairs
    return pairs, mean, variance


def elo_interval(pentanomial: Sequence[float], z: float = Z95) -> tuple[float, float, float]:
    """The Elo difference and the ends of its interval at ``z`` standard errors."""
    pairs, mean, variance = mean_and_variance(pentanomial)
    if pairs == 0:
        return 0.0, -math.inf, math.inf
    error = z * math.sqrt(variance / pairs)
    return elo_from_score(mean), elo_from_score(mean - error), elo_from_score(mean + error)


def likelihood_of_superiority(pentanomial: Sequence[float]) -> float:
    """The normal approximation of the probability that the first player is the stronger."""
    pairs, mean, variance = mean_and_variance(pentanomial)
    if pairs == 0:
        return 0.5
    if variance == 0.0:
        return 1.0 if mean > 0.5 else 0.0 if mean < 0.5 else 0.5
    return 0.5 * (1.0 + math.erf((mean - 0.5) / math.sqrt(2.0 * variance / pairs)))


def log_likelihood_ratio(pentanomial: Sequence[float], elo0: float, elo1: float) -> float:
    """The GSPRT's log-likelihood ratio of Elo ``elo1`` against ``elo0`` for this sample."""
    counts = _check(pentanomial)
    if sum(counts) == 0:
        return 0.0
    pairs, mean, variance = mean_and_variance([c if c > 0 else EMPTY_COUNT for c in counts])
    s0, s1 = score_from_elo(elo0), score_from_elo(elo1)
    return pairs * (s1 - s0) * (2.0 * mean - s0 - s1) / (2.0 * variance)


@dataclass(frozen=True)
class Sprt:
    """A sequential test: H0 ``elo <= elo0`` against H1 ``elo >= elo1``."""

    elo0: float
    elo1: float
    alpha: float = 0.05
    beta: float = 0.05
    min_pairs: int = 10

    @classmethod
    def of(cls, value: object) -> Sprt:
        if isinstance(value, Sprt):
            return value
        if not isinstance(value, (tuple, list)) or len(value) != 4:
            raise TypeError(f"sprt: expected (elo0, elo1, alpha, beta), got {value!r}")
        elo0, elo1, alpha, beta = (float(v) for v in value)
        if not elo0 < elo1:
            raise ValueError(f"sprt: expected elo0 < elo1, got {elo0} and {elo1}")
        if not (0 < alpha < 0.5 and 0 < beta < 0.5):
            raise ValueError(f"sprt: expected alpha and beta in (0, 0.5), got {alpha} and {beta}")
        return cls(elo0, elo1, alpha, beta)

    @property
    def bounds(self) -> tuple[float, float]:
        """The (lower, upper) log-likelihood ratios that accept H0 and H1."""
        return math.log(self.beta / (1 - self.alpha)), math.log((1 - self.beta) / self.alpha)

    def verdict(self, llr: float, pairs: float = math.inf) -> str | None:
        """"H1" (elo1 or better), "H0" (elo0 or worse), or None while undecided (or while
        fewer than ``min_pairs`` pairs are in)."""
        if pairs < self.min_pairs:
            return None
        lower, upper = self.bounds
        if llr >= upper:
            return "H1"
        if llr <= lower:
            return "H0"
        return None
