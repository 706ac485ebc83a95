"""Reliable numerical rank, null spaces and rank-deficient least squares.

Built on SPQR's rank-revealing sparse QR (column dropping at a tolerance),
checked and corrected by subspace iteration on the inverse of the live
triangular block (Foster and Davis, ACM TOMS 40(1), 2013, Algorithm 933):

- :func:`rank_estimate` / :func:`matrix_rank`: numerical rank
  ``#{i : sigma_i > tol}`` with a certainty flag and bounds on the singular
  values on both sides of the gap;
- :func:`null_space`: an orthonormal basis N of the numerical null space
  (``||A N|| <= tol``), kept in Householder form (:class:`NullSpace`);
- :func:`basic_solve`: a basic (sparse) least-squares solution;
- :func:`pinv_solve`, :func:`cod_solve`, :func:`lstsq`: the minimum-norm
  least-squares solution of the rank-k problem (the truncated-SVD one when
  A has a gap at the tolerance).

Flags (``result.flag``): 0 the rank is certain (if the estimated bounds
hold, which they do on every test problem); 1 certain at ``tol_alt``; 2 the
bounds are too loose; 3 the rank is probably too high; 4 the inverse
iteration overflowed (a RankOverflowWarning, no solution or basis).

Results are frozen dataclasses and null spaces pickle.  Random starting
blocks come from ``rng`` (default seed 0, so results repeat).
"""

import orvex.spqr  # noqa: F401  (SPQR's exceptions and status table)

from ._core import normest
from ._nullspace import NullSpace
from ._results import (LstsqResult, RankError, RankOptions, RankOverflowWarning, RankResult,
                       RankWarning)
from ._tools import (basic_solve, cod_solve, lstsq, matrix_rank, null_space, pinv_solve,
                     rank_estimate)

__all__ = [
    "rank_estimate", "matrix_rank", "null_space", "basic_solve", "pinv_solve", "cod_solve",
    "lstsq", "normest", "NullSpace", "RankOptions", "RankResult", "LstsqResult", "RankError",
    "RankWarning", "RankOverflowWarning",
]
