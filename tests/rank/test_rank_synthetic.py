"""The rank tools on constructed matrices, in the four value/index variants.

Kahan matrices (SPQR keeps every column although sigma_min is 1e-17), exact
low rank, zero, full rank, empty shapes, tall and wide, forced overflow:
against dense SVD references.
"""
import warnings

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import as_csc, make_matrix, variants
import orvex.rank as rk

EPS = np.finfo(float).eps


def cod_transposed(A, b, *args, **kw):
    return rk.cod_solve(A, b, *args, transpose_first=True, **kw)


SOLVERS = [rk.basic_solve, rk.pinv_solve, rk.cod_solve, cod_transposed]
MIN_NORM = [rk.pinv_solve, rk.cod_solve, cod_transposed]


def kahan(n, dtype=np.float64, itype=np.int32):
    c, s = np.cos(1.2), np.sin(1.2)
    K = np.diag(s ** np.arange(n)) @ (np.eye(n) - c * np.triu(np.ones((n, n)), 1))
    if np.dtype(dtype).kind == "c":
        # Unit-modulus column scaling keeps the singular values.
        K = K * np.exp(1j * np.linspace(0, 2, n))
    return as_csc(K, dtype, itype)


def rhs(m, dtype, p=None, seed=3):
    rng = np.random.default_rng(seed)
    shape = (m,) if p is None else (m, p)
    b = rng.standard_normal(shape)
    return b + 1j * rng.standard_normal(shape) if np.dtype(dtype).kind == "c" else b


def tsvd(D, k, b):
    U, s, Vh = np.linalg.svd(D)
    return Vh[:k].conj().T @ ((U[:, :k].conj().T @ b) / s[:k].reshape((-1,) + (1,) * (b.ndim - 1)))


@variants
def test_kahan_rank_99_certain_from_every_tool(dtype, itype):
    A = kahan(100, dtype, itype)
    D = A.toarray()
    s = np.linalg.svd(D, compute_uv=False)
    assert s[-1] < 1e-16 and s[-2] > 1e-4
    b = rhs(100, dtype)
    for f in SOLVERS:
        res = f(A, b)
        assert (res.rank, res.flag, res.rank_spqr) == (99, 0, 100), f.__name__
        # sigma_99 and sigma_100 are bracketed by the bounds.
        assert list(res.sval_indices) == [98, 99]
        assert np.all(res.sval_lower_bounds <= s[98:] * (1 + 1e-12))
        assert np.all(s[98:] <= res.sval_upper_bounds * (1 + 1e-12))
    xt = tsvd(D, 99, b)
    for f in MIN_NORM:
        x = f(A, b).x
        assert np.linalg.norm(x - xt) <= 1e-8 * np.linalg.norm(xt), f.__name__
    N = rk.null_space(A)
    assert N.result.flag == 0 and N.shape == (100, 1)
    assert np.linalg.norm(D @ N.toarray()) <= N.result.tol
    for method in ("auto", "basic", "null", "cod", "pinv"):
        res = rk.rank_estimate(A, method=method)
        assert (res.rank, res.flag) == (99, 0), method
    for method in ("cod", "pinv", "basic"):
        res = rk.lstsq(A, b, method=method)
        assert (res.rank, res.flag) == (99, 0), method
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a certain rank: no RankWarning
        assert rk.matrix_rank(A) == 99 == np.linalg.matrix_rank(D)


def heat(n, dtype=np.float64, itype=np.int32):
    """Regularization Tools' heat(n) (kappa = 1): lower triangular Toeplitz,
    singular values from 1e-1 down to 1e-40 with a clear gap at the default
    tolerance."""
    h = 1.0 / n
    t = (np.arange(n) + 0.5) * h
    k = h / (2 * np.sqrt(np.pi)) * t ** -1.5 * np.exp(-1 / (4 * t))
    i, j = np.tril_indices(n)
    K = np.zeros((n, n))
    K[i, j] = k[i - j]
    if np.dtype(dtype).kind == "c":
        K = K * np.exp(1j * np.linspace(0, 2, n))
    return as_csc(K, dtype, itype)


@variants
@pytest.mark.parametrize("n, rank", [(100, 97), (150, 146)])
def test_heat_every_tool_certain(dtype, itype, n, rank):
    """The QR of A^H gives an R11 whose rank the inverse iteration cannot
    settle (n = 100: flag 3, rank 89) or that overflows it (n = 150, like
    heat_200): null_space and pinv_solve take the certain rank of the other
    factorization instead of giving up."""
    A = heat(n, dtype, itype)
    D = A.toarray()
    b = rhs(n, dtype)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # certain everywhere: no warning
        N = rk.null_space(A)
        results = [N.result] + [f(A, b) for f in MIN_NORM] + [rk.basic_solve(A, b)]
        results += [rk.rank_estimate(A, method=m) for m in ("auto", "basic", "null", "cod", "pinv")]
    for res in results:
        assert (res.rank, res.flag) == (rank, 0), res
    assert N.shape == (n, n - rank)
    assert np.linalg.norm(D @ N.toarray(), 2) <= N.result.tol
    xt = tsvd(D, rank, b)
    for res in results[1:4]:
        assert np.linalg.norm(res.x - xt) <= 1e-6 * np.linalg.norm(xt)


@variants
@pytest.mark.parametrize("shape, rank", [((40, 30), 7), ((30, 45), 12), ((25, 25), 24)],
                         ids=["tall", "wide", "square"])
def test_exact_low_rank(dtype, itype, shape, rank):
    m, n = shape
    A = make_matrix(m, n, dtype, itype, rank=rank, seed=5)
    D = A.toarray()
    b = rhs(m, dtype, 3)
    # Well above rounding (at max(m, n) eps ||A|| SPQR's dropped part can
    # exceed the tolerance: flag 1, certain at tol_alt).
    tol = 1e-10 * np.linalg.norm(D, 2)
    for f in SOLVERS:
        res = f(A, b)
        assert res.rank == rank and res.flag in (0, 1), f.__name__
        res = f(A, b, tol)
        assert res.rank == rank and res.flag == 0, f.__name__
        assert res.x.shape == (n, 3) and res.x.dtype == np.dtype(dtype)
    xt = tsvd(D, rank, b)
    for f in MIN_NORM:
        res = f(A, b, tol, null_spaces=True)
        assert np.allclose(res.x, xt, rtol=1e-8, atol=1e-10), f.__name__
        # Minimum norm: no component in the null space.
        assert np.linalg.norm(res.N.rmatmat(res.x)) <= 1e-10 * np.linalg.norm(res.x)
        for basis, M in ((res.N, D), (res.NT, D.conj().T)):
            Z = basis.toarray()
            assert Z.shape == (M.shape[1], M.shape[1] - rank)
            assert np.linalg.norm(M @ Z, 2) <= res.tol
            assert np.allclose(Z.conj().T @ Z, np.eye(Z.shape[1]), atol=1e-12)
    lst = np.linalg.lstsq(D, b, rcond=None)
    assert np.allclose(rk.lstsq(A, b).x, lst[0], rtol=1e-8, atol=1e-10)
    assert rk.matrix_rank(A) == np.linalg.matrix_rank(D) == rank


@variants
@pytest.mark.parametrize("shape", [(30, 20), (20, 30)], ids=["tall", "wide"])
def test_full_rank(dtype, itype, shape):
    m, n = shape
    A = make_matrix(m, n, dtype, itype, seed=2)
    D = A.toarray()
    b = rhs(m, dtype)
    ref = np.linalg.lstsq(D, b, rcond=None)[0]
    for f in MIN_NORM:
        res = f(A, b, null_spaces=True)
        assert res.rank == min(m, n) and res.flag == 0
        assert res.x.shape == (n,)
        assert np.allclose(res.x, ref, rtol=1e-9, atol=1e-11)
        assert res.N.shape == (n, n - min(m, n)) and res.NT.shape == (m, m - min(m, n))
    if m > n:  # the basic solution is the least-squares one
        assert np.allclose(rk.basic_solve(A, b).x, ref, rtol=1e-9, atol=1e-11)


@variants
def test_zero_matrix(dtype, itype):
    A = as_csc(sp.csc_array((6, 4)), dtype, itype)
    for f in SOLVERS:
        res = f(A, rhs(6, dtype))
        assert (res.rank, res.flag) == (0, 0)
        assert np.array_equal(res.x, np.zeros(4))
    N = rk.null_space(A)
    assert N.shape == (4, 4) and np.allclose(N.toarray().T @ N.toarray(), np.eye(4))
    assert rk.matrix_rank(A) == 0


@variants
@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (4, 0)])
def test_empty_shapes(dtype, itype, shape):
    m, n = shape
    A = as_csc(sp.csc_array(shape), dtype, itype)
    for f in SOLVERS:
        for b in (np.zeros(m), np.zeros((m, 2))):
            res = f(A, b)
            assert (res.rank, res.flag) == (0, 0)
            assert res.x.shape == (n,) + b.shape[1:]
    N = rk.null_space(A)
    assert N.shape == (n, n) and np.array_equal(N.toarray(), np.eye(n))
    assert rk.cod_solve(A, np.zeros(m), null_spaces=True).NT.shape == (m, m)
    assert rk.matrix_rank(A) == 0


@variants
def test_one_by_one(dtype, itype):
    for v, rank in ((2.0, 1), (0.0, 0)):
        A = as_csc(sp.csc_array([[v]]), dtype, itype)
        for f in SOLVERS:
            res = f(A, [4.0])
            assert res.rank == rank and res.flag == 0
            assert np.allclose(res.x, [2.0 if v else 0.0])


def spectrum_matrix(m, n, sv, dtype, itype, seed=0):
    """A dense m-by-n matrix with singular values sv (then zeros)."""
    rng = np.random.default_rng(seed)

    def unitary(k):
        Z = rng.standard_normal((k, k))
        if np.dtype(dtype).kind == "c":
            Z = Z + 1j * rng.standard_normal((k, k))
        return np.linalg.qr(Z)[0]

    S = np.zeros((m, n))
    S[np.arange(len(sv)), np.arange(len(sv))] = sv
    return as_csc(unitary(m) @ S @ unitary(n).conj().T, dtype, itype)


@variants
def test_tolerances(dtype, itype):
    """A tolerance in a gap gives the rank below it; a huge tol gives rank 0;
    rtol is relative to the norm; the default is about max(m, n) eps ||A||."""
    sv = np.array([100.0, 50, 20, 1e-2, 5e-3, 1e-6, 1e-7])
    A = spectrum_matrix(20, 15, sv, dtype, itype)
    for tol, rank in ((1.0, 3), (1e-4, 5), (1e-9, 7), (1e3, 0)):
        for method in ("basic", "null", "cod", "pinv"):
            res = rk.rank_estimate(A, tol, method=method)
            assert (res.rank, res.flag) == (rank, 0), (tol, method)
        assert rk.matrix_rank(A, tol) == rank
    res = rk.cod_solve(A, np.ones(20), 1e3)
    assert res.rank == 0 and not np.any(res.x)
    assert rk.matrix_rank(A, rtol=1e-5) == np.linalg.matrix_rank(A.toarray(), rtol=1e-5) == 5
    assert 0.5 * 20 * EPS * 100 <= rk.rank_estimate(A).tol <= 20 * EPS * 100 * 1.01


def test_tol_zero():
    """tol=0: SPQR drops only exactly zero columns, whose singular values are 0."""
    D = make_matrix(12, 9, seed=8).toarray()
    D[:, 4] = 0
    A = sp.csc_array(D)
    for f in SOLVERS:
        res = f(A, np.ones(12), 0.0)
        assert (res.rank, res.flag, res.tol) == (8, 0, 0.0)
        assert res.x[4] == 0


@pytest.mark.parametrize("order", ["fixed", "natural", "colamd", "amd"])
def test_orderings(order):
    """The fixed ordering leaves dead columns in place: R11 is found anyway."""
    A = make_matrix(30, 25, rank=11, seed=4)
    opts = rk.RankOptions(order=order)
    for f in SOLVERS:
        res = f(A, np.ones(30), options=opts)
        assert res.rank == 11 and res.flag == 0, (order, f.__name__)
    N = rk.null_space(A, options=opts)
    assert np.linalg.norm(A @ N.toarray()) <= N.result.tol


@variants
def test_forced_overflow(dtype, itype):
    """R11^-1 has an entry -1e400: flag 4 and a warning from every tool, no crash."""
    A = as_csc(np.array([[1e-200, 1], [0, 1e-200]]), dtype, itype)
    for f in SOLVERS:
        with pytest.warns(rk.RankOverflowWarning):
            res = f(A, [1.0, 1.0], 0.0)
        assert res.flag == 4 and res.x is None and res.N is None
        with pytest.raises(rk.RankError):
            with pytest.warns(rk.RankOverflowWarning):
                f(A, [1.0, 1.0], 0.0, check=True)
    with pytest.warns(rk.RankOverflowWarning):
        assert rk.null_space(A, 0.0) is None
    with pytest.warns(rk.RankOverflowWarning):
        assert rk.rank_estimate(A, 0.0, method="basic").flag == 4
    with warnings.catch_warnings():
        warnings.simplefilter("error", rk.RankOverflowWarning)
        with pytest.raises(rk.RankOverflowWarning):
            rk.basic_solve(A, [1.0, 1.0], 0.0)


@variants
def test_right_hand_sides(dtype, itype):
    """1-D in, 1-D out; several columns; none; sparse; complex b with real A."""
    A = make_matrix(25, 18, dtype, itype, rank=9, seed=6)
    D = A.toarray()
    B = rhs(25, dtype, 4)
    for f in SOLVERS:
        full = f(A, B).x
        assert full.shape == (18, 4)
        one = f(A, B[:, 1]).x
        assert one.shape == (18,) and np.allclose(one, full[:, 1], rtol=1e-10, atol=1e-12)
        assert f(A, np.zeros((25, 0), dtype)).x.shape == (18, 0)
        assert np.allclose(f(A, sp.csc_array(B)).x, full, rtol=1e-10, atol=1e-12)
        assert np.allclose(f(A, B.tolist()).x, full, rtol=1e-10, atol=1e-12)
    if np.dtype(dtype).kind == "f":
        bc = B[:, 0] + 1j * B[:, 1]
        x = rk.cod_solve(A, bc).x
        assert x.dtype == np.complex128
        assert np.allclose(x, tsvd(D, 9, bc), rtol=1e-8, atol=1e-10)


def test_repeatable():
    A = sp.csc_array(kahan(60).toarray()[:, :50])
    a = rk.pinv_solve(A, np.ones(60), null_spaces=True)
    b = rk.pinv_solve(A, np.ones(60), null_spaces=True)
    assert np.array_equal(a.x, b.x) and np.array_equal(a.sval_upper_bounds, b.sval_upper_bounds)
    assert np.array_equal(a.N.toarray(), b.N.toarray())
    c = rk.pinv_solve(A, np.ones(60), rng=12345)
    d = rk.pinv_solve(A, np.ones(60), rng=np.random.default_rng(99))
    e = rk.pinv_solve(A, np.ones(60), rng=None)
    assert a.rank == c.rank == d.rank == e.rank
    assert np.allclose(a.x, c.x, rtol=1e-8)
