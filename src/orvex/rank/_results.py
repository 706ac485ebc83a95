"""Result records, options, warnings and exceptions of orvex.rank."""

from dataclasses import dataclass, field, fields
from typing import Any, Optional

import numpy as np

__all__ = ["RankOptions", "RankResult", "LstsqResult", "RankError", "RankWarning",
           "RankOverflowWarning"]


class RankError(ValueError):
    """The rank could not be determined reliably (``check=True``), or the
    two factorizations of a tool disagree."""


class RankWarning(UserWarning):
    """A rank that the bounds do not confirm (flag other than 0)."""


class RankOverflowWarning(RankWarning, RuntimeWarning):
    """The inverse iteration overflowed (flag 4): R11 is too ill-conditioned
    for the tolerance; no solution or basis is returned."""


# Block sizes and iteration counts are 64-bit integers in the native
# iteration, where a block grows by sums of them: 2^31 - 1 keeps every sum
# exact (and is far beyond any useful value).
_INT_MAX = 2 ** 31 - 1


def _positive_int(name, value, minimum=1):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if not minimum <= value <= _INT_MAX:
        raise ValueError(f"{name} must lie between {minimum} and {_INT_MAX}, got {value}")


def _factor(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    if not 0 < value < 1:
        raise ValueError(f"{name} must lie strictly between 0 and 1, got {value}")


@dataclass(frozen=True)
class RankOptions:
    """Parameters of the rank-revealing iterations.

    Attributes
    ----------
    tol_norm_type : {2, 1}
        How the default tolerance measures A: 2 uses a power-iteration
        estimate of ``||A||_2`` (to 1 %), 1 uses ``||A||_1``.  The default
        tolerance is ``max(m, n) * numpy.spacing(norm)``.
    nsvals_large, nsvals_small : int
        How many singular values just above and just below the tolerance
        get bounds.
    order : str or None
        SPQR's fill-reducing ordering (as for :func:`orvex.spqr.spqr`).
    ssi_tol : float or None
        Tolerance of the inverse subspace iteration (None: the rank
        tolerance).
    ssi_min_block, ssi_max_block : int
        Initial and largest block of the inverse subspace iteration; the
        largest block bounds the rank overestimate of SPQR's column dropping
        that can be corrected.
    ssi_min_iters, ssi_max_iters, ssi_nblock_increment : int
        Sweeps before convergence is tested, sweeps at most, and block
        growth when no singular value above the tolerance was seen.
    ssi_convergence_factor : float
        Relative accuracy asked of the estimates next to the tolerance.
    k : int
        Block size of the power iteration that bounds ``||A N||``.
    ssp_min_iters, ssp_max_iters : int
        Sweeps of that power iteration before testing / at most.
    ssp_convergence_factor : float
        Relative accuracy asked of the largest value it estimates.

    Integer options lie between 1 (0 for the minimum sweeps) and
    ``2**31 - 1``; anything else is a ValueError (a TypeError for a
    non-integer).

    Examples
    --------
    >>> import numpy as np
    >>> import orvex.rank as rk
    >>> opts = rk.RankOptions(order="amd", nsvals_small=2)
    >>> A = np.array([[1., 0., 1.], [0., 1., 1.], [1., 1., 2.], [2., 0., 2.]])
    >>> res = rk.rank_estimate(A, options=opts)
    >>> res.rank, res.sval_indices          # two values below the gap get bounds
    (2, array([1, 2]))
    >>> rk.RankOptions(ssi_min_block=12)
    Traceback (most recent call last):
        ...
    ValueError: ssi_min_block (12) exceeds ssi_max_block (10)
    """

    tol_norm_type: int = 2
    nsvals_large: int = 1
    nsvals_small: int = 1
    order: Optional[str] = None
    ssi_tol: Optional[float] = None
    ssi_min_block: int = 3
    ssi_max_block: int = 10
    ssi_min_iters: int = 3
    ssi_max_iters: int = 100
    ssi_nblock_increment: int = 5
    ssi_convergence_factor: float = 0.1
    k: int = 1
    ssp_min_iters: int = 4
    ssp_max_iters: int = 10
    ssp_convergence_factor: float = 0.1

    def __post_init__(self):
        if self.tol_norm_type not in (1, 2) or isinstance(self.tol_norm_type, bool):
            raise ValueError(f"tol_norm_type must be 1 or 2, got {self.tol_norm_type!r}")
        for name in ("nsvals_large", "nsvals_small", "ssi_min_block", "ssi_max_block",
                     "ssi_max_iters", "ssi_nblock_increment", "k", "ssp_max_iters"):
            _positive_int(name, getattr(self, name))
        for name in ("ssi_min_iters", "ssp_min_iters"):
            _positive_int(name, getattr(self, name), minimum=0)
        if self.ssi_min_block > self.ssi_max_block:
            raise ValueError(f"ssi_min_block ({self.ssi_min_block}) exceeds ssi_max_block ({self.ssi_max_block})")
        for name in ("ssi_convergence_factor", "ssp_convergence_factor"):
            _factor(name, getattr(self, name))
        if self.ssi_tol is not None:
            t = float(self.ssi_tol)
            if not t >= 0 or not np.isfinite(t):
                raise ValueError(f"ssi_tol must be a finite non-negative number, got {self.ssi_tol!r}")
        if self.order is not None and not isinstance(self.order, str):
            raise TypeError(f"order must be a str or None, got {type(self.order).__name__}")


_FLAG_MEANING = {
    0: "certain: the estimated bounds place the gap at the tolerance",
    1: "certain at tol_alt: the bounds place a gap above the tolerance",
    2: "uncertain: the bounds are too loose to decide",
    3: "uncertain: probably too high (the rank of R11 only bounds it)",
    4: "overflow in the inverse iteration: no solution or basis",
}


@dataclass(frozen=True, eq=False)
class RankResult:
    """Numerical rank of A at a tolerance, with the evidence for it.

    Attributes
    ----------
    flag : int
        0: the rank is right if the estimated singular-value bounds hold
        (they do on every test problem); 1: no gap at ``tol``, but the
        bounds put one above it, between ``tol_alt`` (> ``tol``) and the
        lower bound of sigma_rank, so ``rank`` is the rank at any
        tolerance from ``tol_alt`` up to that bound; 2: the bounds are too
        loose to decide; 3: the rank is probably too high; 4: overflow,
        nothing returned.
    rank : int
        The numerical rank estimate ``#{i : sigma_i > tol}`` (for flag 1,
        at ``tol_alt``).
    rank_spqr : int
        SPQR's own estimate from column dropping at the same tolerance.
    tol : float
        The absolute tolerance used.
    tol_alt : float or None
        For flag 1, the tolerance at which ``rank`` is certain.
    sval_indices : ndarray of int
        0-based positions (descending order) of the singular values that
        the bounds below refer to: ``rank - nsvals_large .. rank +
        nsvals_small - 1`` where they exist.
    sval_lower_bounds, sval_upper_bounds : ndarray of float
        Estimated bounds on those singular values.
    norm_AN_estimate, norm_AtNT_estimate : float or None
        Estimates of ``||A N||_2`` and ``||A^H NT||_2`` when the tool formed
        the basis (a lower bound on the true norm, from a power iteration).
    method : str
        The tool that produced the result ("basic", "null", "pinv", "cod").
    details : dict
        Plain statistics: SPQR's ``norm_E_fro``, iteration counts and block
        sizes, flags of the parts.

    Examples
    --------
    >>> import numpy as np
    >>> import orvex.rank as rk
    >>> A = np.array([[1., 0., 1.], [0., 1., 1.], [1., 1., 2.], [2., 0., 2.]])
    >>> res = rk.rank_estimate(A)
    >>> res
    RankResult(rank=2, flag=0, rank_spqr=2, tol=1.78e-15, method='basic')
    >>> res.sval_indices                    # sigma_2 and sigma_3, 0-based
    array([1, 2])
    >>> bool(res.sval_lower_bounds[0] > res.tol >= res.sval_upper_bounds[1])
    True
    >>> np.linalg.svd(A, compute_uv=False).round(6)
    array([3.991015, 1.439374, 0.      ])
    """

    flag: int
    rank: int
    rank_spqr: int
    tol: float
    tol_alt: Optional[float]
    sval_indices: np.ndarray
    sval_lower_bounds: np.ndarray
    sval_upper_bounds: np.ndarray
    norm_AN_estimate: Optional[float]
    norm_AtNT_estimate: Optional[float]
    method: str
    details: dict = field(default_factory=dict)

    @property
    def certain(self):
        """True when flag is 0.

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> rk.rank_estimate(np.array([[1., 2.], [2., 4.]])).certain
        True
        """
        return self.flag == 0

    @property
    def flag_meaning(self):
        """A one-line description of the flag.

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> rk.rank_estimate(np.array([[1., 2.], [2., 4.]])).flag_meaning
        'certain: the estimated bounds place the gap at the tolerance'
        """
        return _FLAG_MEANING.get(self.flag, "unknown")

    def _rank_fields(self):
        return {f.name: getattr(self, f.name) for f in fields(RankResult)}

    def __repr__(self):
        return (f"{type(self).__name__}(rank={self.rank}, flag={self.flag}, "
                f"rank_spqr={self.rank_spqr}, tol={self.tol:.3g}, method={self.method!r})")


@dataclass(frozen=True, eq=False, repr=False)
class LstsqResult(RankResult):
    """A least-squares solution of a rank-deficient problem, with its rank.

    Attributes
    ----------
    x : ndarray or None
        The solution, n-by-p (one-dimensional for a one-dimensional b);
        None for flag 4.
    residuals : ndarray or None
        ``||b - A x||_2^2`` for each column of b (shape ``(p,)``).
    N, NT : NullSpace or None
        Orthonormal bases of the numerical null spaces of A and A^H when
        requested (or None).

    Examples
    --------
    >>> import numpy as np
    >>> import orvex.rank as rk
    >>> A = np.array([[1., 0., 1.], [0., 1., 1.], [1., 1., 2.], [2., 0., 2.]])
    >>> res = rk.pinv_solve(A, np.ones(4), null_spaces=True)
    >>> res
    LstsqResult(rank=2, flag=0, rank_spqr=2, tol=1.78e-15, method='pinv')
    >>> np.round(res.x, 6), np.round(res.residuals, 6)
    (array([0.121212, 0.30303 , 0.424242]), array([0.363636]))
    >>> res.N, res.NT
    (<NullSpace 3x1 float64>, <NullSpace 4x2 float64>)
    >>> import dataclasses
    >>> dataclasses.replace(res, rank=1)
    LstsqResult(rank=1, flag=0, rank_spqr=2, tol=1.78e-15, method='pinv')
    """

    x: Any = None
    residuals: Any = None
    N: Any = None
    NT: Any = None
