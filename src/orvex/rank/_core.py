"""The rank-revealing tools: basic, null, pinv and cod, and what they share."""

import dataclasses
import numbers
import warnings

import numpy as np
import scipy.sparse as sp

from orvex import _ext
from orvex.utils import validate_csc_input

from ._nullspace import NullSpace
from ._results import (LstsqResult, RankError, RankOptions, RankOverflowWarning,
                       RankResult, RankWarning)

_SQRT2 = np.sqrt(2.0)
_QHX, _QX = 0, 1  # SPQR's codes for Q^H X and Q X


# ---- inputs ------------------------------------------------------------------------------

def _options(options):
    if options is None:
        return RankOptions()
    if not isinstance(options, RankOptions):
        raise TypeError(f"options must be a RankOptions, got {type(options).__name__}")
    return options


def _generator(rng):
    if isinstance(rng, np.random.Generator):
        return rng
    if isinstance(rng, (bool, np.bool_)):
        raise TypeError("rng must be an int seed, a numpy.random.Generator or None")
    try:
        return np.random.default_rng(rng)
    except (TypeError, ValueError) as exc:
        raise TypeError("rng must be an int seed, a numpy.random.Generator or None") from exc


def _matrix(A, complex_=False):
    A, _, itype = validate_csc_input(A)
    # The tools run SciPy and native code on A many times over: they work on
    # their own copy of its structure (checked again once copied), so that
    # no other thread writing into the caller's index arrays meanwhile can
    # make them read out of bounds.  The values are shared.
    M, N = A.shape
    B = sp.csc_array((M, N), dtype=A.dtype)
    B.indptr, B.indices, B.data = A.indptr.copy(), A.indices.copy(), A.data
    if _ext._csc_check(B.indptr, B.indices, B.data, M, N) != 0:
        B.sum_duplicates()
    A = B
    if complex_ and A.dtype != np.complex128:
        A = _typed(A.astype(np.complex128), itype)
    return A, itype


def _typed(A, itype):
    """A canonical csc_array with index arrays of `itype`."""
    A = sp.csc_array(A)
    A.sum_duplicates()
    A.indices = A.indices.astype(itype, copy=False)
    A.indptr = A.indptr.astype(itype, copy=False)
    return A


def _ctranspose(A, itype):
    return _typed(A.conj().T.tocsc(), itype)


class _LazyAdjoint:
    """A^H, formed on first use (many calls never need it)."""

    def __init__(self, A, itype):
        self._A, self._itype, self._AH = A, itype, None

    def get(self):
        if self._AH is None:
            self._AH = _ctranspose(self._A, self._itype)
        return self._AH

    def __matmul__(self, Y):
        return self.get() @ Y


def _rhs(b, m):
    """b as an m-by-p array (a copy when b is sparse), and whether it was 1-D."""
    if b is None:
        raise TypeError("b must be an array or a sparse matrix, not None")
    if sp.issparse(b):
        if b.ndim not in (1, 2):
            raise ValueError(f"b must be one- or two-dimensional, got {b.ndim} dimensions")
        B = b.toarray()
    else:
        B = np.asarray(b)
    if B.dtype.kind not in "biufc":
        raise TypeError(f"b must be numeric, got dtype {B.dtype}")
    if B.dtype.kind == "c" and B.dtype.itemsize > 16 or B.dtype.kind == "f" and B.dtype.itemsize > 8:
        raise TypeError(f"b has unsupported dtype {B.dtype}")
    if B.ndim not in (1, 2):
        raise ValueError(f"b must be one- or two-dimensional, got {B.ndim} dimensions")
    if B.shape[0] != m:
        raise ValueError(f"b has {B.shape[0]} rows; A has {m}")
    one = B.ndim == 1
    B = B[:, None] if one else B
    if B.size and not np.isfinite(B).all():
        raise ValueError("b contains NaN or infinite values")
    return B, one


# Matrices whose largest entry lies outside [2^-_SAFE, 2^_SAFE] are worked on
# scaled by a power of 2 (exact): the inverse iterations, squared norms and
# products by inv(R11) then neither underflow nor overflow, and the results
# are scaled back.
_SAFE = 64
_HUGE = np.finfo(np.float64).max


def _exponent(A):
    """e with 2^(e-1) <= max |a_ij| < 2^e when that lies outside the safe
    range, else 0."""
    if A.nnz == 0:
        return 0
    d = A.data
    amax = float(max(np.abs(d.real).max(), np.abs(d.imag).max()) if d.dtype.kind == "c" else np.abs(d).max())
    if amax == 0:
        return 0
    e = int(np.frexp(amax)[1])
    return e if abs(e) > _SAFE else 0


def _ldexp(X, e):
    """X * 2^e (exact while nothing underflows), complex X too."""
    if X.dtype.kind == "c":
        return np.ldexp(X.real, e) + 1j * np.ldexp(X.imag, e)
    return np.ldexp(X, e)


def _scaled(A, e):
    """A new csc_array 2^-e A sharing A's index arrays (never A's values)."""
    S = sp.csc_array((_ldexp(A.data, -e), A.indices, A.indptr), shape=A.shape)
    S.has_canonical_format = A.has_canonical_format
    return S


def _check_tolerances(tol, rtol):
    """At most one of tol and rtol, each a finite real number or None."""
    if tol is not None and rtol is not None:
        raise ValueError("give tol or rtol, not both")
    for name, v in (("tol", tol), ("rtol", rtol)):
        if v is not None:
            if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Real):
                raise TypeError(f"{name} must be a real number or None, got {type(v).__name__}")
            if not np.isfinite(float(v)):
                raise ValueError(f"{name} must be finite, got {v}")


def _tolerance(A, tol, rtol, opts, rng, e=0):
    """The absolute tolerance for A scaled by 2^-e, and the one to report."""
    _check_tolerances(tol, rtol)
    if tol is not None and float(tol) >= 0:
        with np.errstate(over="ignore"):
            return min(float(np.ldexp(float(tol), -e)), _HUGE), float(tol)
    if opts.tol_norm_type == 1:
        norm = float(abs(A).sum(axis=0).max()) if A.nnz else 0.0
    else:
        norm = normest(A, 0.01, rng)
    if rtol is not None:
        if float(rtol) < 0:
            raise ValueError(f"rtol must be non-negative, got {rtol}")
        t = float(rtol) * norm
    else:
        t = max(A.shape) * float(np.spacing(norm)) if norm > 0 else 0.0
    return t, float(np.ldexp(t, e))


def normest(A, rtol=1e-6, rng=0, maxiter=100):
    """Estimate ``||A||_2`` by power iteration on ``A^H A``.

    Starts from the column sums of ``|A|`` and stops when two successive
    estimates agree to ``rtol`` (relative) or after `maxiter` steps; the
    estimate is a lower bound.  A may be any SciPy sparse matrix or array.
    Nothing is squared: each step normalises ``A x`` before multiplying by
    ``A^H``, and a matrix with entries beyond ``2^±64`` is iterated on
    scaled by a power of 2, so that the estimate neither underflows nor
    overflows anywhere in the float64 range, and ``normest(2^k A)`` is
    ``2^k normest(A)``.

    Parameters
    ----------
    A : sparse matrix or array_like
    rtol : float
        Relative change between two steps at which the iteration stops.
    rng : int, numpy.random.Generator or None
        Source of a random restart when A maps the start to zero.
    maxiter : int
        Steps at most.

    Returns
    -------
    float
        The estimate, 0 for a matrix without nonzeros.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> A = csc_array([[1., 0., 1., 2.],
    ...                [0., 1., 1., 0.],
    ...                [1., 1., 2., 2.],
    ...                [0., 0., 0., 1.],
    ...                [2., 0., 2., 0.]])
    >>> round(rk.normest(A), 6), round(float(np.linalg.norm(A.toarray(), 2)), 6)
    (4.549434, 4.549434)
    >>> bool(rk.normest(A, 0.01) <= np.linalg.norm(A.toarray(), 2))
    True
    >>> rk.normest(A * 2.0 ** -1000) == rk.normest(A) * 2.0 ** -1000
    True
    """
    A = sp.csc_array(A)
    if A.nnz == 0 or 0 in A.shape:
        return 0.0
    scale = _exponent(A)
    if scale:
        A = _scaled(A, scale)
    x = np.asarray(abs(A).sum(axis=0)).ravel().astype(A.dtype)
    e = np.linalg.norm(x)
    if e == 0:
        return 0.0
    x /= e
    e0 = 0.0
    gen = None
    AH = A.conj().T
    for _ in range(maxiter):
        if abs(e - e0) <= rtol * e:
            break
        e0 = e
        y = A @ x
        ny = np.linalg.norm(y)
        if ny == 0:
            gen = gen or _generator(rng)
            y = gen.random(A.shape[0])
            ny = np.linalg.norm(y)
        x = AH @ (y / ny)
        e = np.linalg.norm(x)
        if e == 0:
            return 0.0
        x /= e
    return float(np.ldexp(e, scale))


# ---- pieces shared by the tools -----------------------------------------------------------

def _null_X(Us, mq, r, dtype, rows=None):
    """X = [[Us, 0], [0, I]] (mq-by-(mq - k)); `rows` maps Us's rows (a permutation)."""
    nc = Us.shape[1]
    nI = mq - r
    indptr = np.concatenate([np.arange(nc + 1, dtype=np.int64) * r, r * nc + np.arange(1, nI + 1, dtype=np.int64)])
    top = np.arange(r, dtype=np.int64) if rows is None else np.asarray(rows, dtype=np.int64)
    indices = np.concatenate([np.tile(top, nc), np.arange(r, mq, dtype=np.int64)])
    data = np.concatenate([np.asarray(Us, dtype=dtype).ravel(order="F"), np.ones(nI, dtype=dtype)])
    X = sp.csc_array((data, indices, indptr), shape=(mq, nc + nI))
    if rows is not None:
        X.sort_indices()
    return X


def _left_vectors(Y):
    """Orthonormal left singular vectors of Y (a normalisation for one column)."""
    if Y.shape[1] == 1:
        ny = np.linalg.norm(Y)
        if ny > 0:
            return Y / ny
    return np.linalg.svd(Y, full_matrices=False)[0]


def _ssp(apply, apply_h, shape, q, opts, rng, dtype, enough=None):
    """Block power iteration for the q largest singular values of B.

    Returns (s, e, flag, iterations): s lower bounds, s + e estimated upper
    bounds, flag 0 when converged: the q-th value to the relative accuracy
    asked, or (after the minimum number of sweeps) every estimated upper
    bound below `enough`, which answers all the caller asks.
    """
    mB, nB = shape
    q = min(q, mB, nB)
    if q <= 0:
        return np.zeros(1), np.zeros(1), 0, 0
    U = np.linalg.qr(rng.standard_normal((mB, q)).astype(dtype))[0]
    BHU = apply_h(U)
    flag, it = 1, 0
    for it in range(1, opts.ssp_max_iters + 1):
        V = _left_vectors(BHU)
        BV = apply(V)
        if q == 1:
            s = np.array([np.linalg.norm(BV)])
            U = BV / s[0] if s[0] > 0 else U
            VX = V
        else:
            U, s, Xh = np.linalg.svd(BV, full_matrices=False)
            VX = V @ Xh.conj().T
        BHU = apply_h(U)  # also the start of the next sweep
        e = np.linalg.norm(BHU - VX * s, axis=0) / _SQRT2
        if it >= opts.ssp_min_iters and (e[q - 1] <= opts.ssp_convergence_factor * s[q - 1]
                                         or (enough is not None and np.all(s + e <= enough))):
            flag = 0
            break
    return s, e, flag, it


class _Core:
    """Rank and bounds from one factorization M E = Q R + F (M = A or A^H)."""

    def __init__(self, qr, tol, opts, rng, start_block=0, cod=False, first=None, target=None):
        # first: the factorization of A when qr is the second one of the
        # complete orthogonal decomposition (of R1^H).  target: a rank that
        # another factorization found certain; the inverse iteration then
        # starts with a block wide enough to reach the gap there (the
        # nullity of R11 plus the values above the gap that get bounds).
        self.qr = qr
        self.r = r = qr.rank
        base = qr if first is None else first
        self.rank_spqr = base.rank_spqr
        self.norm_E_fro = normE = base.norm_E_fro
        self.tol = tol
        self.overflow = False
        mn = min(base.shape)
        details = {"rank_spqr": base.rank_spqr, "norm_E_fro": normE}
        self.target = target
        if r > 0:
            ssi_tol = tol if opts.ssi_tol is None else float(opts.ssi_tol)
            max_block = opts.ssi_max_block
            if target is not None and 0 <= target < r:
                need = min(r, r - target + opts.nsvals_large)
                max_block = max(max_block, need)
                start_block = max(start_block, need)
            maxb = min(max(max_block, min(opts.nsvals_large, r)), r)
            G = np.asfortranarray(rng.standard_normal((r, maxb)))
            U, s, V, e, st = qr.ssi(ssi_tol, G, opts.nsvals_large, opts.ssi_min_block, max_block,
                                    opts.ssi_min_iters, opts.ssi_max_iters, opts.ssi_nblock_increment,
                                    opts.ssi_convergence_factor, start_block)
            details.update(ssi_flag=st["flag"], ssi_iterations=st["iterations"], ssi_block=st["block"],
                           ssi_max_block=st["max_block"])
            self.ssi_flag = st["flag"]
            if st["flag"] == 4:
                self.overflow = True
                self.k, self.nsl, self.nss = r, 0, 0
                self.details = details
                return
            k, nsl = st["rank"], st["nsl"]
        else:
            U = V = np.zeros((0, 0))
            s = e = np.zeros(0)
            k = nsl = 0
            self.ssi_flag = 0
        K = len(s)
        nss = min(opts.nsvals_small, mn - k)
        first = k - nsl  # 0-based number of s[0]; the estimates end at number r - 1
        idx = np.arange(k - nsl, k + nss, dtype=np.int64)
        lb = np.zeros(len(idx))
        ub = np.full(len(idx), normE)
        if K:
            if cod:
                # T has the singular values of R1, within ||F|| of A's.
                lo, hi = np.maximum(s - e - normE, 0), s + e + normE
            else:
                # R11 is made of columns of A E: its singular values bound A's
                # from below; those of U^H R1 bound R's from above.
                lo = np.maximum(s - e, 0)
                t = np.linalg.svd(qr.rmul(U, 2), compute_uv=False)
                hi = t + normE
            inside = idx < r
            lb[inside] = lo[idx[inside] - first]
            ub[inside] = hi[idx[inside] - first]
        self.k, self.nsl, self.nss = k, nsl, nss
        self.U, self.V, self.s, self.e = U, V, s, e
        self.idx, self.lb, self.ub = idx, lb, ub
        self.details = details

    def refine(self, s_ssp, e_ssp):
        """Sharpen the upper bounds below the gap with a power iteration's."""
        j = min(self.nss, len(s_ssp))
        self.ub[self.nsl:self.nsl + j] = np.minimum(self.ub[self.nsl:self.nsl + j], (s_ssp + e_ssp)[:j])

    def needs_check(self):
        return self.nss > 0 and self.ub[self.nsl] > self.tol

    def flag(self):
        """The flag of the bounds and the alternate tolerance (flag 1)."""
        if self.overflow:
            return 4, None
        nsl, nss, tol = self.nsl, self.nss, self.tol
        low = self.lb[nsl - 1] if nsl > 0 else None
        up = self.ub[nsl] if nss > 0 else None
        if (nss == 0 or up <= tol) and ((nsl > 0 and low > tol) or self.k == 0):
            return 0, None
        if nss > 0 and nsl > 0 and low > up > tol:
            return 1, float(up)
        if self.ssi_flag == 3:
            return 3, None
        return 2, None

    def small(self):
        """The small-value singular vectors Us, Vs (columns past nsl)."""
        return self.U[:, self.nsl:], self.V[:, self.nsl:]


def _result(cls, core, method, tol, norm_AN=None, norm_AtNT=None, extra=None, **more):
    flag, tol_alt = core.flag()
    details = dict(core.details)
    if extra:
        details.update(extra)
    if flag == 4:
        empty = np.zeros(0)
        return cls(flag=4, rank=int(core.k), rank_spqr=int(core.rank_spqr), tol=tol,
                   tol_alt=None, sval_indices=np.zeros(0, dtype=np.int64), sval_lower_bounds=empty,
                   sval_upper_bounds=empty.copy(), norm_AN_estimate=None, norm_AtNT_estimate=None,
                   method=method, details=details, **more)
    return cls(flag=flag, rank=int(core.k), rank_spqr=int(core.rank_spqr), tol=tol,
               tol_alt=tol_alt, sval_indices=core.idx.copy(), sval_lower_bounds=core.lb.copy(),
               sval_upper_bounds=core.ub.copy(), norm_AN_estimate=norm_AN, norm_AtNT_estimate=norm_AtNT,
               method=method, details=details, **more)


def _warn_overflow(method, stacklevel=3):
    warnings.warn(f"{method}: the inverse iteration on R11 overflowed (flag 4); R11 is too "
                  "ill-conditioned at this tolerance: no solution or basis is returned",
                  RankOverflowWarning, stacklevel=stacklevel)


def _check(result, check):
    if check and result.flag != 0:
        raise RankError(f"the rank {result.rank} is not certain (flag {result.flag}: {result.flag_meaning})")
    return result


def _out(x, one):
    return x[:, 0] if one else x


def _residuals(A, x, B):
    if x is None:
        return None
    R = B - A @ x
    return np.sum(np.abs(R) ** 2, axis=0)


class _EmptyCore:
    """The rank of a matrix with no rows or no columns: 0, certainly."""

    def __init__(self, tol):
        self.k = self.nsl = self.nss = 0
        self.r = 0
        self.qr = None
        self.rank_spqr = 0
        self.overflow = False
        self.idx = np.zeros(0, dtype=np.int64)
        self.lb = np.zeros(0)
        self.ub = np.zeros(0)
        self.details = {"rank_spqr": 0, "norm_E_fro": 0.0}
        self.tol = tol

    def flag(self):
        return 0, None


def _identity_basis(n, dtype):
    return NullSpace(None, None, sp.eye_array(n, format="csc", dtype=dtype), None, dtype)


# ---- basic and null ----------------------------------------------------------------------

def _basic_core(M, MH, B, tol, opts, rng, nt, start_block=0, qr=None, target=None):
    """Factor M (unless `qr` is its factorization), find its rank; the
    basic solution of M x = B; NT of M.

    nt: True (form the left null-space basis), "auto" (form it when its
    power iteration is needed to confirm the rank) or False.  target: a
    certain rank from elsewhere that the inverse iteration aims at.
    Returns (core, x or None, NT or None, norm_MhNT or None).
    """
    if qr is None:
        qr = _ext._rank_qr(M, opts.order, tol)
    core = _Core(qr, tol, opts, rng, start_block, target=target)
    if core.overflow:
        return core, None, None, None
    m, n = M.shape
    NT, norm = None, None
    if nt is True or (nt == "auto" and core.needs_check()):
        Us, _ = core.small()
        X = _null_X(Us, m, core.r, M.dtype)
        NT = NullSpace(qr, None, X, None, M.dtype)
        if NT.shape[1] > 0:
            s, e, f, its = _ssp(lambda V: MH @ NT.matmat(V), lambda U: NT.rmatmat(M @ U),
                                (n, NT.shape[1]), max(opts.nsvals_small, opts.k), opts, rng, M.dtype,
                                enough=0.1 * tol)
            core.refine(s, e)
            norm = float(s[0])
            core.details.update(ssp_flag=f, ssp_iterations=its)
        else:
            norm = 0.0
        if nt == "auto":
            NT = None
    x = None
    if B is not None:
        r, k = core.r, core.k
        x = np.zeros((n, B.shape[1]), dtype=np.result_type(M.dtype, B.dtype))
        if r > 0 and B.shape[1] > 0:
            C = qr.qmult(_QHX, np.asfortranarray(B, dtype=M.dtype))[:r]
            Us, Vs = core.small()
            if k < r:
                C = C - Us @ (Us.conj().T @ C)
            w, ok = qr.solve(np.asfortranarray(C), False)
            if not ok:
                core.overflow = True
                return core, None, None, None
            if k < r:
                w = w - Vs @ (Vs.conj().T @ w)
            x[qr.perm[:r]] = w
    return core, x, NT, norm


_NO_RHS = object()


def _setup(A, b, tol, rtol, options, rng):
    """Checked inputs; b is _NO_RHS for the tools without a right-hand side."""
    opts = _options(options)
    gen = _generator(rng)
    if b is None:
        raise TypeError("b must be an array or a sparse matrix, not None")
    if b is _NO_RHS:
        b = None
    complex_b = False
    if b is not None:
        bb = b.toarray() if sp.issparse(b) else np.asarray(b)
        complex_b = bb.dtype.kind == "c"
    A, itype = _matrix(A, complex_b)
    B, one = (None, False) if b is None else _rhs(b, A.shape[0])
    if B is not None:
        B = np.asfortranarray(B, dtype=A.dtype)
    e = _exponent(A)
    if e:
        A = _scaled(A, e)
    t, reported = _tolerance(A, tol, rtol, opts, gen, e)
    return A, itype, B, one, opts, gen, t, (e, reported)


def _rescale(res, sc):
    """A result of the tools on 2^-e A as one on A (sc = (e, reported tol))."""
    e, tol = sc
    if e == 0:
        return res

    def up(v):
        return None if v is None else float(np.ldexp(v, e))
    details = dict(res.details)
    if "norm_E_fro" in details:
        details["norm_E_fro"] = up(details["norm_E_fro"])
    changes = dict(tol=tol, tol_alt=up(res.tol_alt), sval_lower_bounds=np.ldexp(res.sval_lower_bounds, e),
                   sval_upper_bounds=np.ldexp(res.sval_upper_bounds, e), norm_AN_estimate=up(res.norm_AN_estimate),
                   norm_AtNT_estimate=up(res.norm_AtNT_estimate), details=details)
    if isinstance(res, LstsqResult) and res.x is not None:
        changes["x"] = _ldexp(res.x, -e)
    return dataclasses.replace(res, **changes)


def _source(source):
    return {} if source is None else {"rank_from": source}


def _warn_uncertain(tool, res, stacklevel):
    if res.flag in (2, 3):
        warnings.warn(f"{tool}: rank {res.rank} is not certain at tol={res.tol:.3g} "
                      f"(flag {res.flag}: {res.flag_meaning})", RankWarning, stacklevel=stacklevel)


