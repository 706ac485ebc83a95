"""Public tools of orvex.rank."""

import dataclasses
import warnings

import numpy as np
import scipy.sparse as sp

from orvex import _ext

from ._core import (_QHX, _QX, _Core, _EmptyCore, _LazyAdjoint, _basic_core, _check, _identity_basis,
                    _NO_RHS, _null_X, _out, _rescale, _residuals, _result, _setup, _source, _ssp,
                    _warn_overflow, _warn_uncertain)
from ._nullspace import NullSpace
from ._results import LstsqResult, RankError, RankOverflowWarning, RankResult, RankWarning

__all__ = ["basic_solve", "null_space", "pinv_solve", "cod_solve", "lstsq", "matrix_rank",
           "rank_estimate"]

_COMMON = """
    tol : float, optional
        Absolute rank tolerance: the rank is ``#{i : sigma_i > tol}``.  None
        (or negative): ``max(m, n) * numpy.spacing(normest(A))``, about
        ``max(m, n) eps ||A||_2``.
    rtol : float, optional
        Relative tolerance instead: ``tol = rtol * normest(A)`` (or
        ``rtol * ||A||_1`` with ``RankOptions(tol_norm_type=1)``).
    options : RankOptions, optional
        Iteration parameters.
    rng : int, numpy.random.Generator or None
        Seed or generator of the random starting blocks.  The default 0
        makes results repeat; None draws fresh entropy.
    check : bool
        Raise RankError unless the rank is certain (flag 0).  Without it,
        an uncertain result (flag 2 or 3) comes with a RankWarning."""


def _attach(res, **bases):
    rank_only = RankResult(**res._rank_fields())
    for name, basis in bases.items():
        if basis is not None:
            object.__setattr__(res, name, basis._with_result(rank_only))
    return res


def _empty(A, B, one, t, method, N=False, NT=False):
    m, n = A.shape
    x = None if B is None else np.zeros((n, B.shape[1]), dtype=A.dtype)
    more = {}
    if B is not None:
        more = dict(x=_out(x, one), residuals=_residuals(A, x, B))
    res = _result(LstsqResult, _EmptyCore(t), method, t, norm_AN=0.0 if N else None,
                  norm_AtNT=0.0 if NT else None, **more)
    return _attach(res, N=_identity_basis(n, A.dtype) if N else None,
                   NT=_identity_basis(m, A.dtype) if NT else None)


# ---- basic ----------------------------------------------------------------------------------

def _basic_solve(A, b, tol=None, *, rtol=None, left_null_space=False, options=None, rng=0, check=False,
                 name="basic_solve"):
    A, itype, B, one, opts, gen, t, sc = _setup(A, b, tol, rtol, options, rng)
    if 0 in A.shape:
        return _check(_rescale(_empty(A, B, one, t, "basic", NT=left_null_space), sc), check)
    AH = _LazyAdjoint(A, itype)
    core, x, NT, norm = _basic_core(A, AH, B, t, opts, gen, True if left_null_space else "auto")
    if core.overflow:
        _warn_overflow(name, 4)
        return _check(_rescale(_result(LstsqResult, core, "basic", t), sc), check)
    res = _rescale(_result(LstsqResult, core, "basic", t, norm_AtNT=norm, x=_out(x, one),
                           residuals=_residuals(A, x, B)), sc)
    if not check:
        _warn_uncertain(name, res, 4)
    return _check(_attach(res, NT=NT), check)


def basic_solve(A, b, tol=None, *, rtol=None, left_null_space=False, options=None, rng=0, check=False):
    return _basic_solve(A, b, tol, rtol=rtol, left_null_space=left_null_space, options=options, rng=rng, check=check)


basic_solve.__doc__ = """Basic solution of ``min ||b - A x||_2`` for a rank-deficient A.

    Factors A with SPQR at the tolerance, finds the numerical rank k by
    inverse subspace iteration on the live block R11 of R, and solves with
    R11 deflated of its smallest singular values.  x has at most
    ``rank_spqr`` nonzeros per column and a residual close to the optimum of
    the rank-k problem; it is not the minimum-norm solution (see
    :func:`pinv_solve`, :func:`cod_solve`).  One sparse QR.

    Parameters
    ----------
    A : sparse matrix or array_like, m-by-n
    b : array_like or sparse, shape (m,) or (m, p)
        Sparse right-hand sides are densified; x is always dense.""" + _COMMON + """
    left_null_space : bool
        Also return ``NT``, an orthonormal basis of the null space of A^H.

    Returns
    -------
    LstsqResult
        ``x`` (shape of b's columns: 1-D in, 1-D out; None for flag 4),
        ``residuals``, ``NT`` when asked, the rank, flag and bounds.

    See Also
    --------
    pinv_solve, cod_solve : the minimum-norm solution.

    Examples
    --------
    The third column of A is the sum of the first two: A has rank 3.

    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> A = csc_array([[1., 0., 1., 2.],
    ...                [0., 1., 1., 0.],
    ...                [1., 1., 2., 2.],
    ...                [0., 0., 0., 1.],
    ...                [2., 0., 2., 0.]])
    >>> b = np.array([1., 2., 3., 4., 5.])
    >>> res = rk.basic_solve(A, b)
    >>> res.rank, res.flag
    (3, 0)
    >>> np.round(res.x, 6)              # one zero: rank_spqr nonzeros at most
    array([ 0.      , -0.661017,  2.016949,  0.135593])
    >>> np.round(res.residuals, 6)      # ||b - A x||^2, the least-squares optimum
    array([18.355932])

    The null space of A^H comes with it on request, and a sparse b gives
    a dense x:

    >>> from scipy.sparse import eye_array
    >>> res = rk.basic_solve(A, eye_array(5, 2, format="csc"), left_null_space=True)
    >>> res.x.shape, res.NT.shape
    ((4, 2), (5, 2))
    >>> bool(np.linalg.norm(A.T @ res.NT.toarray()) <= res.tol)
    True
    """


# ---- null space ------------------------------------------------------------------------------

def _null(A, AH, t, opts, gen, start_block=0):
    core, _, N, norm = _basic_core(AH.get(), A, None, t, opts, gen, True, start_block)
    return core, N, norm


def _null_tool(A, AH, t, opts, gen):
    """null_space's work: (core, N, norm_AN, source); N is None on overflow.

    The QR of A^H first.  When its rank is not certain (and its estimates
    do not show the spectrum flat at the tolerance): the QR of A, whose
    certain rank aims a second inverse iteration on A^H's R11; then the
    complete orthogonal decomposition on that QR of A (its N serves as
    well).  source names what decided (None: A^H's QR alone).
    """
    core, N, norm = _null(A, AH, t, opts, gen)
    if not core.overflow and (_flag(core) == 0 or _gapless(core)):
        return core, N, norm, None
    found = [] if core.overflow else [(core, N, norm, None)]
    cb = _basic_core(A, AH, None, t, opts, gen, "auto")[0]
    known = [(cb.k, "basic")] if not cb.overflow and _flag(cb) == 0 else []
    if known and not core.overflow:
        c3, _, N3, n3 = _basic_core(AH.get(), A, None, t, opts, gen, True, qr=core.qr, target=cb.k)
        if not c3.overflow:
            found.append((c3, N3, n3, "basic"))
            if _flag(c3) == 0:
                return found[-1]
    if known or cb.overflow or not _gapless(cb):
        c2, _, N2, _, n2, _ = _cod(A, AH, None, t, opts, gen, True, False, qr1=cb.qr, known=known, other=False,
                                   first_done=True)
        if not c2.overflow:
            found.append((c2, N2, n2, "cod"))
            if _flag(c2) == 0:
                return found[-1]
    if not found:
        return core, None, None, None
    return min(found, key=lambda f: _flag(f[0]))


def null_space(A, tol=None, *, rtol=None, options=None, rng=0, check=False):
    A, itype, _, _, opts, gen, t, sc = _setup(A, _NO_RHS, tol, rtol, options, rng)
    if 0 in A.shape:
        res = _check(_result(RankResult, _EmptyCore(t), "null", t, norm_AN=0.0), check)
        return _identity_basis(A.shape[1], A.dtype)._with_result(_rescale(res, sc))
    core, N, norm, source = _null_tool(A, _LazyAdjoint(A, itype), t, opts, gen)
    if N is None:
        _warn_overflow("null_space")
        _check(_result(RankResult, core, "null", t), check)
        return None
    res = _rescale(_result(RankResult, core, "null", t, norm_AN=norm, extra=_source(source)), sc)
    if not check:
        _warn_uncertain("null_space", res, 3)
    return N._with_result(_check(res, check))


null_space.__doc__ = """Orthonormal basis of the numerical null space of A.

    Factors A^H with SPQR at the tolerance, finds the rank by inverse
    subspace iteration, and returns N (n-by-(n - rank)) in factored form:
    SPQR's Householder vectors times a sparse matrix.  When the rank of
    A^H's QR is not certain, the QR of A decides: its certain rank aims a
    second inverse iteration, or its complete orthogonal decomposition
    gives the basis (``result.details["rank_from"]`` says which).  When the
    rank is certain, ``||A N||_2 <= tol``.  ``N.toarray()`` is what
    :func:`scipy.linalg.null_space` gives, up to a rotation of the columns.

    Parameters
    ----------
    A : sparse matrix or array_like, m-by-n""" + _COMMON + """

    Returns
    -------
    NullSpace or None
        The basis; its ``result`` attribute holds the rank, flag, bounds and
        ``norm_AN_estimate``.  None (with a RankOverflowWarning) when the
        inverse iteration overflowed; with ``check=True`` a RankError
        instead.

    See Also
    --------
    NullSpace : products with the basis, its explicit forms.
    scipy.linalg.null_space : the dense equivalent.

    Examples
    --------
    The third column of A is the sum of the first two.

    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> A = csc_array([[1., 0., 1., 2.],
    ...                [0., 1., 1., 0.],
    ...                [1., 1., 2., 2.],
    ...                [0., 0., 0., 1.],
    ...                [2., 0., 2., 0.]])
    >>> N = rk.null_space(A)
    >>> N
    <NullSpace 4x1 float64>
    >>> N.result
    RankResult(rank=3, flag=0, rank_spqr=3, tol=4.44e-15, method='null')
    >>> np.round(N.toarray().ravel(), 6)
    array([ 0.57735,  0.57735, -0.57735,  0.     ])
    >>> bool(np.linalg.norm(A @ N.toarray()) <= N.result.tol)
    True
    """


# ---- pseudoinverse -------------------------------------------------------------------------

def _worse(res_a, res_b):
    """The result with the larger flag (both 1: the larger tol_alt)."""
    if res_a.flag != res_b.flag:
        return res_a if res_a.flag > res_b.flag else res_b
    if res_a.flag == 1 and res_b.tol_alt > res_a.tol_alt:
        return res_b
    return res_a


def _pinv_tool(A, AH, B, t, opts, gen, null_spaces):
    """pinv_solve's work: (core, x, N, NT, norm_AN, norm_AtNT, extra); x is
    None on overflow.

    The basic solution (QR of A) minus its component in the null space (QR
    of A^H).  Unless both ranks are certain and equal: the complete
    orthogonal decomposition on the QR of A, aimed at a certain rank of
    either; then either QR again, aimed at the other's certain rank.
    """
    want = True if null_spaces else "auto"
    core_b, xb, NT, norm_nt = _basic_core(A, AH, B, t, opts, gen, want)
    core_n = N = norm_n = None
    if not core_b.overflow:
        start = min(max(2, core_b.r - core_b.k + 1), opts.ssi_max_block)
        core_n, N, norm_n = _null(A, AH, t, opts, gen, start)
    ok_b = not core_b.overflow
    ok_n = core_n is not None and not core_n.overflow
    fb = _flag(core_b) if ok_b else 4
    fn = _flag(core_n) if ok_n else 4
    extra = {"flag_basic": fb, "flag_null": fn, "rank_basic": int(core_b.k),
             "rank_null": None if core_n is None else int(core_n.k)}

    def project(cb, xb, Nb):
        return xb - Nb.matmat(Nb.rmatmat(xb)) if xb is not None and xb.shape[1] else xb

    found = []
    if ok_b and ok_n:
        rb, rn = (_result(RankResult, c, "pinv", t) for c in (core_b, core_n))
        worse = core_b if _worse(rb, rn) is rb else core_n
        flag = _flag(worse)
        if fb == 0 and fn == 0 and core_b.k == core_n.k:
            return worse, project(core_b, xb, N), N, NT, norm_n, norm_nt, extra
        if fb == 0 and fn == 0:
            flag = 2  # two confident estimates that disagree: neither can be trusted
        found.append((flag, (worse, project(core_b, xb, N), N, NT, norm_n, norm_nt, dict(extra)), flag == 2))
    known = [(c.k, name) for c, f, name in ((core_b, fb, "basic"), (core_n, fn, "null")) if f == 0]
    flat = any(c is not None and not c.overflow and _gapless(c) for c in (core_b, core_n))
    if not (flat and not known):
        # The other QR's inverse iteration aimed at a certain rank; then the
        # complete orthogonal decompositions on the QRs made: of A, of A^H.
        if ok_b and ok_n and fb == 0 and fn != 0:
            c3, _, N3, n3 = _basic_core(AH.get(), A, None, t, opts, gen, True, qr=core_n.qr, target=core_b.k)
            if not c3.overflow and _flag(c3) == 0:
                return c3, project(core_b, xb, N3), N3, NT, n3, norm_nt, dict(extra, rank_from="basic")
        if ok_b and ok_n and fn == 0 and fb != 0:
            c3, x3, NT3, n3 = _basic_core(A, AH, B, t, opts, gen, want, qr=core_b.qr, target=core_n.k)
            if not c3.overflow and _flag(c3) == 0:
                return (c3, project(c3, x3, N), N, NT3 if null_spaces else None, norm_n, n3,
                        dict(extra, rank_from="null"))
        for transposed, core in ((False, core_b), (True, core_n)):
            if core is None or flat:  # flat at the tolerance: no decomposition would be certain
                continue
            c, x, Nc, NTc, nN, nNT = _cod(A, AH, B, t, opts, gen, null_spaces, null_spaces, transposed,
                                          qr1=core.qr, known=known, other=False, first_done=True)
            if not c.overflow:
                found.append((_flag(c), (c, x, Nc, NTc, nN, nNT, dict(extra, rank_from="cod")), False))
                if _flag(c) == 0:
                    return found[-1][1]
    if not found:
        return core_b if core_b.overflow else core_n, None, None, None, None, None, extra
    flag, out, disagree = min(found, key=lambda f: f[0])
    if disagree:
        out[6]["disagree"] = True
    return out


def _pinv_solve(A, b, tol=None, *, rtol=None, null_spaces=False, options=None, rng=0, check=False,
                name="pinv_solve"):
    A, itype, B, one, opts, gen, t, sc = _setup(A, b, tol, rtol, options, rng)
    if 0 in A.shape:
        return _check(_rescale(_empty(A, B, one, t, "pinv", N=null_spaces, NT=null_spaces), sc), check)
    core, x, N, NT, norm_n, norm_nt, extra = _pinv_tool(A, _LazyAdjoint(A, itype), B, t, opts, gen, null_spaces)
    if x is None:
        _warn_overflow(name, 4)
        return _check(_rescale(_result(LstsqResult, core, "pinv", t, extra=extra), sc), check)
    res = _result(LstsqResult, core, "pinv", t, norm_AN=norm_n, norm_AtNT=norm_nt, extra=extra,
                  x=_out(x, one), residuals=_residuals(A, x, B))
    if extra.get("disagree"):
        res = dataclasses.replace(res, flag=2, tol_alt=None)
    res = _rescale(res, sc)
    if not check:
        _warn_uncertain(name, res, 4)
    return _check(_attach(res, N=N if null_spaces else None, NT=NT if null_spaces else None), check)


def pinv_solve(A, b, tol=None, *, rtol=None, null_spaces=False, options=None, rng=0, check=False):
    return _pinv_solve(A, b, tol, rtol=rtol, null_spaces=null_spaces, options=options, rng=rng, check=check)


pinv_solve.__doc__ = """Pseudoinverse (minimum-norm least-squares) solution ``x = pinv(A_k) b``.

    The basic solution (QR of A) minus its component in the numerical null
    space of A (QR of A^H): the minimum-norm solution of the rank-k
    problem, close to the truncated-SVD solution when A has a gap at the
    tolerance.  Two sparse QRs; when either rank is not certain, the
    other's certain rank aims a second inverse iteration, or the complete
    orthogonal decomposition of A or A^H gives the solution.

    Parameters
    ----------
    A : sparse matrix or array_like, m-by-n
    b : array_like or sparse, shape (m,) or (m, p)""" + _COMMON + """
    null_spaces : bool
        Also return ``N`` and ``NT``, bases of the null spaces of A and A^H.

    Returns
    -------
    LstsqResult
        The flag and bounds are those of the less certain of the two rank
        determinations; ``details`` holds both flags and ranks.  When both
        are certain but disagree, the flag is 2.

    See Also
    --------
    cod_solve : the same solution from one QR of A and one of R1^H.
    basic_solve : one QR, a sparse solution.

    Examples
    --------
    The third column of A is the sum of the first two; the solution is
    NumPy's (dense, SVD-based) one.

    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> A = csc_array([[1., 0., 1., 2.],
    ...                [0., 1., 1., 0.],
    ...                [1., 1., 2., 2.],
    ...                [0., 0., 0., 1.],
    ...                [2., 0., 2., 0.]])
    >>> b = np.array([1., 2., 3., 4., 5.])
    >>> res = rk.pinv_solve(A, b)
    >>> res.rank, res.flag, res.details["flag_basic"], res.details["flag_null"]
    (3, 0, 0, 0)
    >>> np.round(res.x, 6)
    array([0.892655, 0.231638, 1.124294, 0.135593])
    >>> bool(np.allclose(res.x, np.linalg.lstsq(A.toarray(), b)[0]))
    True
    >>> res = rk.pinv_solve(A, b, null_spaces=True)
    >>> res.N.shape, res.NT.shape
    ((4, 1), (5, 2))
    >>> bool(abs(res.N.rmatmat(res.x)[0]) < 1e-14)    # x is orthogonal to the null space
    True
    """


# ---- complete orthogonal decomposition ---------------------------------------------------

def _cod_rank(A, AH, M, qr1, qr2, t, opts, gen, want_NT, transpose_first, target=None):
    """Rank, bounds and null-space bases of the decomposition (qr1, qr2).

    Returns a dict: core, Us, Vs, N, NT (when wanted or needed by the
    bounds), norm_N, norm_NT.
    """
    m, n = A.shape
    dtype = A.dtype
    mm, nq = M.shape  # the spaces of Q1 and of Q2
    r = qr1.rank
    if qr2 is None:
        core = _Core(qr1, t, opts, gen)
        Us = Vs = np.zeros((0, 0))
    else:
        core = _Core(qr2, t, opts, gen, cod=True, first=qr1, target=target)
        if core.overflow:
            return dict(core=core)
        Us, Vs = core.small()
    # The basis built from Q2 (null space of M) and the one built from Q1
    # (null space of M^H): N and NT for M = A, NT and N for M = A^H.
    if qr2 is None:
        from_q2 = NullSpace(None, None, sp.eye_array(nq, format="csc", dtype=dtype), qr1.perm, dtype)
    else:
        from_q2 = NullSpace(qr2, None, _null_X(Us, nq, r, dtype), qr1.perm, dtype)
    rows = None if qr2 is None else qr2.perm
    make_q1 = lambda: NullSpace(qr1, None, _null_X(Vs, mm, r, dtype, rows=rows), None, dtype)  # noqa: E731
    if transpose_first:
        N = make_q1()
        make_NT = lambda: from_q2  # noqa: E731
    else:
        N = from_q2
        make_NT = make_q1
    q = max(opts.nsvals_small, opts.k)
    norm_N = norm_NT = 0.0
    if N.shape[1] > 0:
        s, e, f, its = _ssp(lambda V: A @ N.matmat(V), lambda U: N.rmatmat(AH @ U), (m, N.shape[1]),
                            q, opts, gen, dtype, enough=0.1 * t)
        core.refine(s, e)
        norm_N = float(s[0])
        core.details.update(ssp_flag=f, ssp_iterations=its)
    NT = None
    if want_NT or core.needs_check():
        NT = make_NT()
        if NT.shape[1] > 0:
            s, e, f, its = _ssp(lambda V: AH @ NT.matmat(V), lambda U: NT.rmatmat(A @ U), (n, NT.shape[1]),
                                q, opts, gen, dtype, enough=0.1 * t)
            core.refine(s, e)
            norm_NT = float(s[0])
            core.details.update(ssp_flag_NT=f, ssp_iterations_NT=its)
        if not want_NT:
            NT = None
    else:
        norm_NT = None
    return dict(core=core, Us=Us, Vs=Vs, N=N, NT=NT, norm_N=norm_N, norm_NT=norm_NT)


def _flag(core):
    return core.flag()[0]


def _gapless(core):
    """The inverse iteration's estimates on both sides of the tolerance lie
    within a factor 10: no clear gap there, and another factorization would
    not find one either (flat spectra such as Kahan's); no fallback then."""
    if core.overflow or not 0 < core.nsl <= len(getattr(core, "s", ())):
        return False
    # Below the tolerance: the next estimate, else the upper bound there.
    if core.nsl < len(core.s):
        below = core.s[core.nsl]
    elif core.nss > 0:
        below = core.ub[core.nsl]
    else:
        return False
    return core.s[core.nsl - 1] < 10 * below


# Up to this many columns dropped by the first QR, cod_solve forms the null
# space of R1 = [R11 R12] directly when R11's rank is certain and full.
_FEW_DROPPED = 32


def _cod_few_dropped(A, AH, B, t, opts, gen, qr1, want_N, want_NT):
    """The complete orthogonal decomposition without a second QR when SPQR
    dropped only d <= _FEW_DROPPED columns and the inverse iteration finds
    R11 certainly of full rank r: then null(R1) is spanned by
    ``[-R11^-1 R12; I]`` (n-by-d, orthonormalised here), ``N = E1`` times it,
    and x is the basic solution minus its component in N.  Returns the
    tuple of _cod; else (None, the basic core) when R11 is not certainly of
    full rank or the basis fails the power iteration's check
    ``||A N|| <= tol / 2``.
    """
    n = A.shape[1]
    dtype = A.dtype
    r = qr1.rank
    core, xb, NT, norm_nt = _basic_core(A, AH, B, t, opts, gen, True if want_NT else "auto", qr=qr1)
    if core.overflow or _flag(core) != 0 or core.k != r:
        return None, core
    d = n - r
    if d == 0:
        Z = np.zeros((n, 0), dtype=dtype)
    else:
        # R12: the columns past r of R1 (in live-first order), read from its
        # arrays directly.
        R1 = qr1.r_factor()
        lo, hi = int(R1.indptr[r]), int(R1.indptr[n])
        R12 = np.zeros((r, d), dtype=dtype, order="F")
        R12[R1.indices[lo:hi], np.repeat(np.arange(d), np.diff(R1.indptr[r:]))] = R1.data[lo:hi]
        W, ok = qr1.solve(R12, False)
        if not ok:
            return None, core
        Z = np.linalg.qr(np.vstack([-W, np.eye(d, dtype=dtype)]))[0]
    N = NullSpace(None, None, sp.csc_array(Z), qr1.perm, dtype)
    norm_N = 0.0
    if d > 0:
        s, e, f, its = _ssp(lambda V: A @ N.matmat(V), lambda U: N.rmatmat(AH @ U), (A.shape[0], d),
                            opts.nsvals_small, opts, gen, dtype, enough=0.1 * t)
        norm_N = float(s[0])
        if not s[0] + e[0] <= 0.5 * t:
            return None, core
        core.refine(s, e)
        core.details.update(ssp_flag=f, ssp_iterations=its)
    core.details["null_space_of_R1"] = True
    x = None
    if xb is not None:
        x = xb - N.matmat(N.rmatmat(xb)) if d and xb.shape[1] else xb
    return core, x, (N if want_N else None), (NT if want_NT else None), norm_N, norm_nt


def _cod(A, AH, B, t, opts, gen, want_N, want_NT, transpose_first=False, fallback=True, qr1=None,
         known=(), other=True, other_qr=None, first_done=False):
    """Returns (core, x, N, NT, norm_AN, norm_AtNT).

    M E1 = Q1 [R1; 0] + F and R1^H E2 = Q2 [T; 0], with M = A (then
    A ~ Q1 E2 T^H [I 0] Q2^H E1^T) or, transpose_first, M = A^H (then
    A ~ E1 Q2 [I; 0] T E2^T Q1^H); the rank from inverse iteration on T.
    When that rank is not certain (and `fallback`), a certain rank of A
    found elsewhere (`known`, then the basic core of Q1 R1, then the QR of
    the other of A, A^H) sets the block of a second inverse iteration on T.
    qr1, other_qr: the factorizations of M and of the other one when the
    caller has them; other=False skips the other one, first_done=True the
    basic core of qr1 (the caller has it already).  The core returned
    records the certain ranks met (`known`) and the factorizations made
    (`qr1`, `other_qr`).
    """
    n = A.shape[1]
    dtype = A.dtype
    M = AH.get() if transpose_first else A
    MH = A if transpose_first else AH
    if qr1 is None:
        qr1 = _ext._rank_qr(M, opts.order, t)
    r = qr1.rank
    if not transpose_first and not first_done and A.shape[1] - r <= _FEW_DROPPED:
        few = _cod_few_dropped(A, AH, B, t, opts, gen, qr1, want_N, want_NT)
        if few[0] is not None:
            few[0].known, few[0].qr1, few[0].other_qr = list(known), qr1, other_qr
            return few
        first_done = True  # its basic core is known: the fallback need not compute it again
        if not few[1].overflow and _flag(few[1]) == 0:
            known = list(known) + [(few[1].k, "basic")]
    qr2 = None
    if r > 0:
        # R11^H alone is triangular in R1's rows last to first (the fixed
        # ordering of the second QR): no fill at all when nothing was dropped.
        qr2 = qr1.transpose_factor("fixed" if r == A.shape[1] else opts.order, 0.0)
        if qr2.rank != r:
            raise RankError(f"inconsistent rank estimates: R1 has rank {r}, its transpose {qr2.rank}")
    st = _cod_rank(A, AH, M, qr1, qr2, t, opts, gen, want_NT, transpose_first)
    found = list(known)
    made = {"other_qr": other_qr}
    core = st["core"]
    if fallback and qr2 is not None and not core.overflow and _flag(core) != 0 and not _gapless(core):
        def certain_ranks():
            yield from known
            if not first_done:
                c = _basic_core(M, MH, None, t, opts, gen, "auto", qr=qr1)[0]
                if _flag(c) == 0:
                    found.append((c.k, "basic" if not transpose_first else "null"))
                    yield found[-1]
            if not other:
                return
            M2 = AH.get() if not transpose_first else A
            c = _basic_core(M2, M, None, t, opts, gen, "auto", qr=made["other_qr"])[0]
            made["other_qr"] = c.qr
            if _flag(c) == 0:
                found.append((c.k, "null" if not transpose_first else "basic"))
                yield found[-1]
        tried = set()
        for k, source in certain_ranks():
            if k in tried:
                continue
            tried.add(k)
            again = _cod_rank(A, AH, M, qr1, qr2, t, opts, gen, want_NT, transpose_first, target=k)
            if not again["core"].overflow and _flag(again["core"]) < _flag(st["core"]):
                again["core"].details["rank_from"] = source
                st = again
            if _flag(st["core"]) == 0:
                break
    core = st["core"]
    core.known, core.qr1, core.other_qr = found, qr1, made["other_qr"]
    if core.overflow:
        return core, None, None, None, None, None
    Us, Vs = st["Us"], st["Vs"]
    x = None
    if B is not None:
        p = B.shape[1]
        x = np.zeros((n, p), dtype=dtype)
        if r > 0 and p > 0:
            k = core.k
            if transpose_first:
                # x = Q1 [E2 T^-1 (Q2^H E1^T b)(1:r); 0]
                c = qr2.qmult(_QHX, np.asfortranarray(B[qr1.perm]))[:r]
                if k < r:
                    c = c - Us @ (Us.conj().T @ c)
                w, ok = qr2.solve(np.asfortranarray(c), False)
                if ok and k < r:
                    w = w - Vs @ (Vs.conj().T @ w)
                if ok:
                    y = np.zeros((n, p), dtype=dtype, order="F")
                    y[qr2.perm] = w
                    x = qr1.qmult(_QX, y)
            else:
                # x = E1 Q2 [T^-H E2^T (Q1^H b)(1:r); 0]
                c = qr1.qmult(_QHX, B)[:r][qr2.perm]
                if k < r:
                    c = c - Vs @ (Vs.conj().T @ c)
                w, ok = qr2.solve(np.asfortranarray(c), True)
                if ok and k < r:
                    w = w - Us @ (Us.conj().T @ w)
                if ok:
                    x[qr1.perm] = qr2.qmult(_QX, np.asfortranarray(np.vstack([w, np.zeros((n - r, p), dtype=dtype)])))
            if not ok:
                core.overflow = True
                return core, None, None, None, None, None
    return core, x, (st["N"] if want_N else None), st["NT"], st["norm_N"], st["norm_NT"]


def _cod_tool(A, AH, B, t, opts, gen, want_N, want_NT, transpose_first):
    """cod_solve's work: _cod, and when its rank stays uncertain, _cod of
    the other orientation (reusing the factorizations already made)."""
    out = _cod(A, AH, B, t, opts, gen, want_N, want_NT, transpose_first)
    core = out[0]
    if not core.overflow and (_flag(core) == 0 or _gapless(core)):
        return out
    alt = _cod(A, AH, B, t, opts, gen, want_N, want_NT, not transpose_first,
               qr1=getattr(core, "other_qr", None), other_qr=getattr(core, "qr1", None),
               known=getattr(core, "known", ()))
    if not alt[0].overflow and (core.overflow or _flag(alt[0]) < _flag(core)):
        alt[0].details["rank_from"] = "cod of A^H" if not transpose_first else "cod of A"
        return alt
    return out


def _cod_solve(A, b, tol=None, *, rtol=None, transpose_first=False, null_spaces=False, options=None, rng=0,
               check=False, name="cod_solve"):
    A, itype, B, one, opts, gen, t, sc = _setup(A, b, tol, rtol, options, rng)
    if 0 in A.shape:
        return _check(_rescale(_empty(A, B, one, t, "cod", N=null_spaces, NT=null_spaces), sc), check)
    AH = _LazyAdjoint(A, itype)
    core, x, N, NT, norm_N, norm_NT = _cod_tool(A, AH, B, t, opts, gen, null_spaces, null_spaces,
                                                bool(transpose_first))
    if core.overflow:
        _warn_overflow(name, 4)
        return _check(_rescale(_result(LstsqResult, core, "cod", t), sc), check)
    res = _rescale(_result(LstsqResult, core, "cod", t, norm_AN=norm_N, norm_AtNT=norm_NT, x=_out(x, one),
                           residuals=_residuals(A, x, B)), sc)
    if not check:
        _warn_uncertain(name, res, 4)
    return _check(_attach(res, N=N, NT=NT), check)


def cod_solve(A, b, tol=None, *, rtol=None, transpose_first=False, null_spaces=False, options=None, rng=0,
              check=False):
    return _cod_solve(A, b, tol, rtol=rtol, transpose_first=transpose_first, null_spaces=null_spaces,
                      options=options, rng=rng, check=check)


cod_solve.__doc__ = """Minimum-norm least-squares solution by a complete orthogonal decomposition.

    SPQR factors A at the tolerance, ``A E1 = Q1 [R1; 0] + F``, and then
    ``R1^H E2 = Q2 [T; 0]``, so that ``A ~ Q1 E2 T^H [I 0] Q2^H E1^T``.
    The rank comes from inverse subspace iteration on T, which carries all
    of R1 (it does not suffer from an ill-conditioned R11 as the basic
    solution can); x solves the deflated triangular system and is
    the minimum-norm solution of the rank-k problem.  One sparse QR of A
    plus one of the r-by-n R1^H; when SPQR dropped at most 32 columns and
    R11 is certainly of full rank, the null space of R1 comes from
    ``R11^-1 R12`` instead (no second QR).  When the rank of T is not
    certain, the basic rank of the same QR (or that of A^H) aims a second
    inverse iteration on T, then A^H is decomposed instead.

    Parameters
    ----------
    A : sparse matrix or array_like, m-by-n
    b : array_like or sparse, shape (m,) or (m, p)""" + _COMMON + """
    transpose_first : bool
        Factor A^H first instead (cheaper when A^H's R is sparser, often
        for wide A).
    null_spaces : bool
        Also return ``N`` and ``NT``, bases of the null spaces of A and A^H.

    Returns
    -------
    LstsqResult
        ``x`` (1-D for a 1-D b; None for flag 4), ``residuals``, ``N`` and
        ``NT`` when asked, the rank, flag and bounds.

    See Also
    --------
    pinv_solve, lstsq

    Examples
    --------
    The third column of A is the sum of the first two.

    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> A = csc_array([[1., 0., 1., 2.],
    ...                [0., 1., 1., 0.],
    ...                [1., 1., 2., 2.],
    ...                [0., 0., 0., 1.],
    ...                [2., 0., 2., 0.]])
    >>> b = np.array([1., 2., 3., 4., 5.])
    >>> res = rk.cod_solve(A, b)
    >>> res
    LstsqResult(rank=3, flag=0, rank_spqr=3, tol=4.44e-15, method='cod')
    >>> np.round(res.x, 6)
    array([0.892655, 0.231638, 1.124294, 0.135593])
    >>> x_t = rk.cod_solve(A, b, transpose_first=True).x
    >>> bool(np.allclose(x_t, res.x))
    True
    >>> B = np.column_stack([b, np.ones(5)])
    >>> rk.cod_solve(A, B, null_spaces=True).x.shape
    (4, 2)
    """


# ---- NumPy-like front ends ---------------------------------------------------------------

_SOLVERS = {"cod": _cod_solve, "pinv": _pinv_solve, "basic": _basic_solve}


def lstsq(A, b, tol=None, *, rtol=None, method="cod", options=None, rng=0):
    """Least-squares solution of a possibly rank-deficient sparse system.

    Like :func:`numpy.linalg.lstsq` (minimum-norm solution, with the rank)
    for sparse A: ``method`` "cod" (default, :func:`cod_solve`) or "pinv"
    (:func:`pinv_solve`) give the minimum-norm solution of the rank-k
    problem, "basic" (:func:`basic_solve`) a solution with at most
    ``rank_spqr`` nonzeros.  Unlike NumPy, ``residuals`` is given for every
    column whatever the rank, and instead of all singular values the result
    carries bounds on those next to the gap.  ``tol`` is absolute, ``rtol``
    relative to ``||A||_2``.

    Parameters
    ----------
    A : sparse matrix or array_like, m-by-n
    b : array_like or sparse, shape (m,) or (m, p)
    tol, rtol, options, rng
        As for :func:`rank_estimate`.
    method : {"cod", "pinv", "basic"}

    Returns
    -------
    LstsqResult

    Examples
    --------
    The third column of A is the sum of the first two.

    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> A = csc_array([[1., 0., 1., 2.],
    ...                [0., 1., 1., 0.],
    ...                [1., 1., 2., 2.],
    ...                [0., 0., 0., 1.],
    ...                [2., 0., 2., 0.]])
    >>> b = np.array([1., 2., 3., 4., 5.])
    >>> res = rk.lstsq(A, b)
    >>> res.rank, np.round(res.x, 6), np.round(res.residuals, 6)
    (3, array([0.892655, 0.231638, 1.124294, 0.135593]), array([18.355932]))
    >>> x, residuals, rank, sv = np.linalg.lstsq(A.toarray(), b)
    >>> int(rank), residuals                # NumPy gives no residual when rank < n
    (3, array([], dtype=float64))
    >>> bool(np.allclose(res.x, x))
    True
    >>> rk.lstsq(A, b, method="basic").x.nonzero()[0]
    array([1, 2, 3])
    """
    if not isinstance(method, str) or method not in _SOLVERS:
        raise ValueError(f"method must be one of {sorted(_SOLVERS)}, got {method!r}")
    return _SOLVERS[method](A, b, tol, rtol=rtol, options=options, rng=rng, name="lstsq")


_METHODS = ("auto", "basic", "null", "cod", "pinv")


def _rank_once(A, itype, t, opts, gen, method, tool=True):
    """The rank as `method` finds it: as its tool does (tool=True, with the
    fallbacks of null_space, pinv_solve and cod_solve), or from its own
    factorization alone."""
    AH = _LazyAdjoint(A, itype)
    if method == "basic":
        core, _, _, norm = _basic_core(A, AH, None, t, opts, gen, "auto")
        return _result(RankResult, core, "basic", t, norm_AtNT=norm)
    if method == "null":
        if tool:
            core, N, norm, source = _null_tool(A, AH, t, opts, gen)
            return _result(RankResult, core, "null", t, norm_AN=norm, extra=_source(source))
        core, _, norm = _null(A, AH, t, opts, gen)
        return _result(RankResult, core, "null", t, norm_AN=norm)
    if method == "cod":
        if tool:
            core, _, _, _, norm_N, norm_NT = _cod_tool(A, AH, None, t, opts, gen, False, False, False)
        else:
            core, _, _, _, norm_N, norm_NT = _cod(A, AH, None, t, opts, gen, False, False, fallback=False)
        return _result(RankResult, core, "cod", t, norm_AN=norm_N, norm_AtNT=norm_NT)
    core, _, _, _, norm_n, norm_nt, extra = _pinv_tool(A, AH, None, t, opts, gen, False)
    res = _result(RankResult, core, "pinv", t, norm_AN=norm_n, norm_AtNT=norm_nt, extra=extra)
    if extra.get("disagree"):
        res = dataclasses.replace(res, flag=2, tol_alt=None)
    return res


def _rank_estimate(A, tol, rtol, method, options, rng):
    if not isinstance(method, str) or method not in _METHODS:
        raise ValueError(f"method must be one of {list(_METHODS)}, got {method!r}")
    A, itype, _, _, opts, gen, t, sc = _setup(A, _NO_RHS, tol, rtol, options, rng)
    if 0 in A.shape:
        return _rescale(_result(RankResult, _EmptyCore(t), "basic" if method == "auto" else method, t), sc)
    if method != "auto":
        res = _rank_once(A, itype, t, opts, gen, method)
    else:
        # One QR when the rank is clear; each next method only when the
        # previous ones were not certain.
        AH = _LazyAdjoint(A, itype)
        core, _, _, norm = _basic_core(A, AH, None, t, opts, gen, "auto")
        res = _result(RankResult, core, "basic", t, norm_AtNT=norm)
        if res.flag != 0 and (core.overflow or not _gapless(core)):
            core, _, _, _, norm_N, norm_NT = _cod(A, AH, None, t, opts, gen, False, False, fallback=False,
                                                  qr1=core.qr, first_done=True)
            r = _result(RankResult, core, "cod", t, norm_AN=norm_N, norm_AtNT=norm_NT)
            res = r if r.flag < res.flag else res
            if res.flag != 0 and (core.overflow or not _gapless(core)):
                core, _, norm = _null(A, AH, t, opts, gen)
                r = _result(RankResult, core, "null", t, norm_AN=norm)
                res = r if r.flag < res.flag else res
    if res.flag == 4:
        _warn_overflow("rank_estimate", 4)
    return _rescale(res, sc)


def rank_estimate(A, tol=None, *, rtol=None, method="auto", options=None, rng=0, check=False):
    res = _rank_estimate(A, tol, rtol, method, options, rng)
    if not check:
        _warn_uncertain("rank_estimate", res, 3)
    return _check(res, check)


rank_estimate.__doc__ = """Numerical rank of A with a certainty flag and singular-value bounds.

    Parameters
    ----------
    A : sparse matrix or array_like, m-by-n""" + _COMMON + """
    method : {"auto", "basic", "null", "cod", "pinv"}
        Which factorization decides: "basic" SPQR's QR of A, "null" that of
        A^H, "cod" the complete orthogonal decomposition, "pinv" both QRs.
        "auto" tries basic, then cod, then null, and stops at the first
        certain answer, or at estimates that show the spectrum flat at the
        tolerance (else keeps the best flag): one QR when the rank is
        clear.  The others give the rank as the tool of that name does
        (with its fallbacks: ``details["rank_from"]``).

    Returns
    -------
    RankResult

    See Also
    --------
    matrix_rank : the rank alone, like NumPy's.

    Examples
    --------
    The Kahan matrix: SPQR keeps all of its 100 columns, but its smallest
    singular value is about 1e-17.

    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> n, c, s = 100, np.cos(1.2), np.sin(1.2)
    >>> K = csc_array(np.diag(s ** np.arange(n)) @ (np.eye(n) - c * np.triu(np.ones((n, n)), 1)))
    >>> res = rk.rank_estimate(K)
    >>> res
    RankResult(rank=99, flag=0, rank_spqr=100, tol=1.78e-13, method='basic')
    >>> res.certain, res.sval_indices
    (True, array([98, 99]))

    The bounds place sigma_99 above the tolerance and sigma_100 below it:

    >>> bool(res.sval_lower_bounds[0] > res.tol > res.sval_upper_bounds[1])
    True
    >>> float(np.round(res.sval_lower_bounds[0], 6))
    0.001109
    >>> rk.rank_estimate(K, method="cod").rank
    99
    """


def matrix_rank(A, tol=None, *, rtol=None, method="auto", options=None, rng=0):
    """Numerical rank of a sparse matrix, like :func:`numpy.linalg.matrix_rank`.

    ``tol`` is absolute and ``rtol`` relative to ``||A||_2`` (estimated), as
    in NumPy; the default tolerance is ``max(m, n) * spacing(||A||_2)``
    (with ``RankOptions(tol_norm_type=1)``, ``||A||_1`` in both places).
    Issues a RankWarning when the rank is not certain at that tolerance
    (flag other than 0; see :func:`rank_estimate` for the details and the
    parameters).

    Returns
    -------
    int

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> rng = np.random.default_rng(0)
    >>> D = rng.standard_normal((30, 5)) @ rng.standard_normal((5, 20))
    >>> rk.matrix_rank(csc_array(D)), int(np.linalg.matrix_rank(D))
    (5, 5)
    >>> A = csc_array(np.diag([3., 2., 1e-8, 0.]))
    >>> rk.matrix_rank(A), rk.matrix_rank(A, tol=1e-6), rk.matrix_rank(A, rtol=0.5)
    (3, 2, 2)
    """
    res = _rank_estimate(A, tol, rtol, method, options, rng)
    if res.flag not in (0, 4):
        warnings.warn(f"matrix_rank: rank {res.rank} is not certain at tol={res.tol:.3g} "
                      f"(flag {res.flag}: {res.flag_meaning})", RankWarning, stacklevel=2)
    return int(res.rank)
