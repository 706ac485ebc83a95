"""orvex.rank's interface: inputs, errors, results, pickling, NullSpace."""
import gzip
import pickle
import warnings

import numpy as np
import pytest
import scipy.io
import scipy.linalg
import scipy.sparse as sp
from scipy.sparse.linalg import LinearOperator, aslinearoperator

from conftest import DATA_DIR, make_matrix, variants
import orvex.rank as rk

SOLVERS = [rk.basic_solve, rk.pinv_solve, rk.cod_solve]


@pytest.fixture(scope="module")
def deficient():
    return make_matrix(30, 20, rank=8, seed=11)


# ---- bad input --------------------------------------------------------------------------

@pytest.mark.parametrize("f", SOLVERS + [rk.lstsq])
def test_bad_right_hand_sides(f, deficient):
    A = deficient
    with pytest.raises(ValueError, match="rows"):
        f(A, np.ones(29))
    with pytest.raises(ValueError, match="dimensional"):
        f(A, np.ones((30, 2, 2)))
    with pytest.raises(ValueError, match="NaN or infinite"):
        f(A, np.full(30, np.nan))
    with pytest.raises(TypeError, match="numeric"):
        f(A, np.array(["a"] * 30))
    with pytest.raises(TypeError):
        f(A, None)


@pytest.mark.parametrize("f", [rk.rank_estimate, rk.null_space, rk.matrix_rank])
def test_bad_matrices_and_arguments(f, deficient):
    with pytest.raises(ValueError, match="2D"):
        f(np.ones(3))
    with pytest.raises(ValueError, match="NaN"):
        f(np.array([[1.0, np.nan]]))
    with pytest.raises(TypeError):
        f(np.array([["a", "b"]]))
    with pytest.raises(ValueError, match="not both"):
        f(deficient, 1e-3, rtol=1e-3)
    with pytest.raises(TypeError):
        f(deficient, "1e-3")
    with pytest.raises(TypeError):
        f(deficient, 1j)
    with pytest.raises(ValueError, match="finite"):
        f(deficient, np.inf)
    with pytest.raises(ValueError, match="non-negative"):
        f(deficient, rtol=-1.0)
    with pytest.raises(TypeError, match="rng"):
        f(deficient, rng="seed")
    with pytest.raises(TypeError, match="RankOptions"):
        f(deficient, options={"k": 2})


def test_bad_methods_and_options(deficient):
    with pytest.raises(ValueError, match="method"):
        rk.rank_estimate(deficient, method="svd")
    with pytest.raises(ValueError, match="method"):
        rk.lstsq(deficient, np.ones(30), method="qr")
    with pytest.raises(ValueError, match="Unknown ordering"):
        rk.rank_estimate(deficient, options=rk.RankOptions(order="nope"))
    for bad in (dict(nsvals_large=0), dict(ssi_max_iters=0), dict(k=0), dict(ssi_min_block=1.5),
                dict(ssi_convergence_factor=1.0), dict(ssp_convergence_factor=0), dict(tol_norm_type=3),
                dict(ssi_tol=-1.0), dict(order=7), dict(ssi_min_iters=True),
                dict(ssi_min_block=12, ssi_max_block=10)):
        with pytest.raises((ValueError, TypeError)):
            rk.RankOptions(**bad)


@variants
def test_inputs_never_modified(dtype, itype):
    A = make_matrix(25, 18, dtype, itype, rank=7, seed=2)
    arrays = [A.data.copy(), A.indices.copy(), A.indptr.copy()]
    b = np.asfortranarray(np.arange(50.0).reshape(25, 2)).astype(dtype)
    b0 = b.copy()
    for f in SOLVERS:
        f(A, b, null_spaces=True) if f is not rk.basic_solve else f(A, b, left_null_space=True)
    rk.null_space(A)
    rk.rank_estimate(A, method="pinv")
    assert np.array_equal(b, b0)
    for a, a0 in zip((A.data, A.indices, A.indptr), arrays):
        assert np.array_equal(a, a0)
    assert A.indices.dtype == itype


# ---- inputs accepted --------------------------------------------------------------------

def test_matrix_formats_and_dense(deficient):
    ref = rk.cod_solve(deficient, np.ones(30)).x
    for A in (deficient.toarray(), sp.csr_matrix(deficient), sp.coo_array(deficient), deficient.toarray().tolist()):
        res = rk.cod_solve(A, np.ones(30))
        assert res.rank == 8
        assert np.allclose(res.x, ref, rtol=1e-6)
    # float32 values are rounded: rank 8 up to their precision.
    assert rk.rank_estimate(deficient.astype(np.float32), rtol=1e-5).rank == 8
    # Integer and boolean matrices are read as float64.
    B = sp.csc_array(np.array([[1, 1, 0], [1, 1, 0], [0, 0, 3]]))
    assert rk.rank_estimate(B).rank == 2
    assert rk.rank_estimate(B.astype(bool)).rank == 2


def test_normest():
    A = make_matrix(40, 30, seed=1)
    s1 = np.linalg.norm(A.toarray(), 2)
    assert 0.9 * s1 <= rk.normest(A, 0.01) <= s1 * (1 + 1e-12)
    assert abs(rk.normest(A) - s1) <= 1e-5 * s1
    assert rk.normest(sp.csc_array((3, 4))) == 0.0
    assert rk.normest(sp.csc_array((0, 4))) == 0.0
    opts1 = rk.RankOptions(tol_norm_type=1)
    assert rk.rank_estimate(A, options=opts1).tol == pytest.approx(
        40 * np.spacing(np.abs(A.toarray()).sum(axis=0).max()))


# ---- results --------------------------------------------------------------------------

def test_results_are_frozen_documented_and_pickle(deficient):
    res = rk.pinv_solve(deficient, np.ones(30), null_spaces=True)
    with pytest.raises(AttributeError):
        res.rank = 3
    assert res.certain and res.flag_meaning.startswith("certain")
    assert "rank=8" in repr(res)
    assert res.details["flag_basic"] == res.details["flag_null"] == 0
    back = pickle.loads(pickle.dumps(res))
    assert isinstance(back, rk.LstsqResult) and back.rank == 8 and back.flag == 0
    assert np.array_equal(back.x, res.x) and np.array_equal(back.sval_upper_bounds, res.sval_upper_bounds)
    assert np.allclose(back.N.toarray(), res.N.toarray(), rtol=0, atol=1e-15)
    assert np.allclose(back.NT.toarray(), res.NT.toarray(), rtol=0, atol=1e-15)
    assert back.N.result.rank == 8
    r = rk.rank_estimate(deficient)
    assert isinstance(r, rk.RankResult) and pickle.loads(pickle.dumps(r)).sval_indices.tolist() == [7, 8]


def test_matrix_rank_and_lstsq_like_numpy():
    rng = np.random.default_rng(4)
    for m, n, k in ((12, 8, 5), (8, 12, 3), (10, 10, 10)):
        D = rng.standard_normal((m, k)) @ rng.standard_normal((k, n))
        assert rk.matrix_rank(D) == np.linalg.matrix_rank(D) == k
        b = rng.standard_normal(m)
        x, res, rank, _ = np.linalg.lstsq(D, b, rcond=None)
        out = rk.lstsq(sp.csc_array(D), b)
        assert out.rank == rank
        assert np.allclose(out.x, x, rtol=1e-8, atol=1e-10)
        if res.size:
            assert np.allclose(out.residuals, res)
        assert np.allclose(rk.lstsq(D, b, method="pinv").x, x, rtol=1e-8, atol=1e-10)
        assert rk.lstsq(D, b, method="basic").rank == rank


def test_uncertain_ranks_warn():
    # mcca: singular values without a gap at the tolerance.
    with gzip.open(DATA_DIR / "rank" / "mcca.mtx.gz", "rt") as f:
        A = sp.csc_array(scipy.io.mmread(f))
    b = np.ones(A.shape[0])
    with pytest.warns(rk.RankWarning, match="not certain"):
        rk.matrix_rank(A)
    with pytest.raises(rk.RankError, match="not certain"):
        rk.rank_estimate(A, check=True)
    # Every tool that returns an uncertain result (flag 2 or 3) says so, with
    # the meaning of the flag, pointing at the caller's line.
    calls = {"basic_solve": lambda: rk.basic_solve(A, b), "pinv_solve": lambda: rk.pinv_solve(A, b),
             "cod_solve": lambda: rk.cod_solve(A, b), "lstsq": lambda: rk.lstsq(A, b, method="basic"),
             "rank_estimate": lambda: rk.rank_estimate(A, method="basic")}
    for name, call in calls.items():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            res = call()
        assert res.flag in (2, 3), name
        assert len(caught) == 1 and caught[0].category is rk.RankWarning, name
        message = str(caught[0].message)
        assert message.startswith(f"{name}: rank {res.rank} is not certain") and res.flag_meaning in message
        assert caught[0].filename == __file__, name
    # check=True raises instead of warning.
    with warnings.catch_warnings():
        warnings.simplefilter("error", rk.RankWarning)
        for call in (lambda: rk.basic_solve(A, b, check=True), lambda: rk.cod_solve(A, b, check=True),
                     lambda: rk.rank_estimate(A, method="basic", check=True)):
            with pytest.raises(rk.RankError):
                call()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert rk.matrix_rank(make_matrix(20, 15, rank=4)) == 4
        for f in SOLVERS:
            assert f(make_matrix(20, 15, rank=4), np.ones(20)).flag == 0
        assert rk.null_space(make_matrix(20, 15, rank=4)).result.flag == 0


# ---- NullSpace -------------------------------------------------------------------------

@variants
@pytest.mark.parametrize("source", ["null", "cod N", "cod NT", "codT N", "codT NT", "basic NT"])
def test_null_space_products(dtype, itype, source):
    A = make_matrix(24, 30, dtype, itype, rank=9, seed=8)
    b = np.ones(24)
    N = {"null": lambda: rk.null_space(A),
         "cod N": lambda: rk.cod_solve(A, b, null_spaces=True).N,
         "cod NT": lambda: rk.cod_solve(A, b, null_spaces=True).NT,
         "codT N": lambda: rk.cod_solve(A, b, null_spaces=True, transpose_first=True).N,
         "codT NT": lambda: rk.cod_solve(A, b, null_spaces=True, transpose_first=True).NT,
         "basic NT": lambda: rk.basic_solve(A, b, left_null_space=True).NT}[source]()
    Z = N.toarray()
    n, d = N.shape
    assert Z.shape == (n, d) and N.dtype == np.dtype(dtype) and d == n - 9
    assert np.allclose(Z.conj().T @ Z, np.eye(d), atol=1e-13)
    rng = np.random.default_rng(0)
    cast = (lambda X: X + 1j * rng.standard_normal(X.shape)) if np.dtype(dtype).kind == "c" else (lambda X: X)
    Yd, Yn = cast(rng.standard_normal((d, 3))), cast(rng.standard_normal((n, 3)))
    tol = dict(rtol=1e-12, atol=1e-12)
    assert np.allclose(N @ Yd, Z @ Yd, **tol)
    assert np.allclose(N.matmat(Yd[:, 0]), Z @ Yd[:, 0], **tol)
    assert np.allclose(N.rmatmat(Yn), Z.conj().T @ Yn, **tol)
    assert np.allclose(N.rmatvec(Yn[:, 1]), Z.conj().T @ Yn[:, 1], **tol)
    assert np.allclose(Yn.T @ N, Yn.T @ Z, **tol)
    assert np.allclose(N.lmatmat(Yn[:, 0]), Yn[:, 0] @ Z, **tol)
    assert np.allclose(N.rmatmat_left(Yd.T), Yd.T @ Z.conj().T, **tol)
    assert np.allclose(N.rmatmat_left(Yd[:, 0]), Yd[:, 0] @ Z.conj().T, **tol)
    x = Yn[:, 0]
    assert np.allclose(N.project_out(x), x - Z @ (Z.conj().T @ x), **tol)
    assert np.allclose(N.tocsc().toarray(), Z, **tol)
    assert np.allclose(N @ sp.csc_array(Yd), Z @ Yd, **tol)
    L = N.aslinearoperator()
    assert isinstance(L, LinearOperator) and L.shape == (n, d)
    assert np.allclose(L @ Yd, Z @ Yd, **tol) and np.allclose(L.H @ Yn, Z.conj().T @ Yn, **tol)
    assert np.allclose(aslinearoperator(L).rmatvec(x), Z.conj().T @ x, **tol)
    back = pickle.loads(pickle.dumps(N))
    assert np.allclose(back @ Yd, Z @ Yd, **tol) and np.allclose(back.rmatmat(Yn), Z.conj().T @ Yn, **tol)
    assert np.allclose(back.tocsc().toarray(), Z, **tol)
    assert not hasattr(N, "__array__")
    with pytest.raises(ValueError, match="rows"):
        N @ np.ones(d + 1)
    with pytest.raises(ValueError, match="rows"):
        N.rmatmat(np.ones(n + 1))
    with pytest.raises(ValueError, match="columns"):
        np.ones((2, n + 1)) @ N
    with pytest.raises(TypeError):
        N @ np.array(["a"] * d)


def test_null_space_matches_scipy(deficient):
    D = deficient.toarray()
    N = rk.null_space(deficient).toarray()
    Ns = scipy.linalg.null_space(D)
    assert N.shape == Ns.shape
    assert np.allclose(N @ N.T, Ns @ Ns.T, atol=1e-10)


def test_private_kernels_check_their_arguments(deficient):
    from orvex import _ext
    qr = _ext._rank_qr(deficient, None, 1e-10)
    r = qr.rank
    assert (qr.shape, r, qr.rank_spqr) == ((30, 20), 8, 8)
    with pytest.raises(TypeError):
        qr.solve(np.ones((r, 2), dtype=np.complex128, order="F"), False)
    with pytest.raises(ValueError, match="rows"):
        qr.solve(np.ones((r + 1, 2), order="F"), False)
    with pytest.raises(ValueError, match="Fortran"):
        qr.rmul(np.ones((r, 2)), 0)
    with pytest.raises(ValueError, match="product code"):
        qr.rmul(np.ones((r, 1), order="F"), 5)
    with pytest.raises(ValueError, match="dimension of Q"):
        qr.qmult(0, np.ones((29, 1), order="F"))
    with pytest.raises(ValueError, match="code"):
        qr.qmult(7, np.ones((30, 1), order="F"))
    with pytest.raises(ValueError, match="column"):
        qr.ssi(1e-10, np.ones((r, 1), order="F"), 1, 3, 10, 3, 100, 5, 0.1, 0)
    with pytest.raises(ValueError, match="tol"):
        qr.ssi(-1.0, np.ones((r, 8), order="F"), 1, 3, 10, 3, 100, 5, 0.1, 0)
    with pytest.raises(TypeError):
        _ext._rank_qr(None, None, 0.0)
    # A first block larger than the largest is cut to it: G is never read past its columns.
    G = np.asfortranarray(np.ones((r, 8)) + np.eye(r, 8))
    U, s, V, e, st = qr.ssi(1e-10, G, 1, 50, 3, 3, 100, 5, 0.1, 0)
    assert st["block"] <= st["max_block"] == 3


def readonly(Y):
    Y = np.array(Y)
    Y.flags.writeable = False
    return Y


@pytest.mark.parametrize("itype", [np.int32, np.int64])
@pytest.mark.parametrize("source", ["null", "cod N", "cod NT"])
def test_real_bases_with_complex_and_read_only_operands(itype, source):
    """A real basis times a complex operand is the complex product, in every
    product method and the LinearOperator, before and after pickling; read-only
    operands are accepted everywhere."""
    A = make_matrix(24, 30, np.float64, itype, rank=9, seed=8)
    res = rk.cod_solve(A, np.ones(24), null_spaces=True)
    N0 = {"null": rk.null_space(A), "cod N": res.N, "cod NT": res.NT}[source]
    Z = N0.toarray()
    n, d = Z.shape
    rng = np.random.default_rng(1)
    Yd = readonly(rng.standard_normal((d, 2)) + 1j * rng.standard_normal((d, 2)))
    Yn = readonly(rng.standard_normal((n, 2)) + 1j * rng.standard_normal((n, 2)))
    tol = dict(rtol=1e-12, atol=1e-12)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no ComplexWarning: nothing is dropped
        for N in (N0, pickle.loads(pickle.dumps(N0))):
            L = N.aslinearoperator()
            for Y, got, want in [
                    (Yd, N @ Yd, Z @ Yd), (Yd, N.matvec(Yd[:, 0]), Z @ Yd[:, 0]),
                    (Yn, N.rmatmat(Yn), Z.T @ Yn), (Yn, Yn.T @ N, Yn.T @ Z), (Yn, N.lmatmat(Yn[:, 1]), Yn[:, 1] @ Z),
                    (Yd, N.rmatmat_left(Yd.T), Yd.T @ Z.T), (Yn, N.project_out(Yn), Yn - Z @ (Z.T @ Yn)),
                    (Yd, L @ Yd[:, 0], Z @ Yd[:, 0]), (Yd, L.matmat(Yd), Z @ Yd), (Yn, L.H @ Yn, Z.T @ Yn),
                    (Yn, L.rmatvec(Yn[:, 0]), Z.T @ Yn[:, 0])]:
                assert got.dtype == np.complex128 and np.allclose(got, want, **tol)
            # Read-only real operands, and N @ [1j] on a one-column basis.
            x = readonly(Yn.real)
            assert np.allclose(N.rmatmat(x), Z.T @ x, **tol) and np.allclose(N.lmatmat(x.T), x.T @ Z, **tol)
            assert np.allclose(N.project_out(x), x - Z @ (Z.T @ x), **tol)
            assert np.allclose(N.rmatmat_left(readonly(Yd.real.T)), Yd.real.T @ Z.T, **tol)
    one = rk.null_space(sp.csc_array([[1.0, 1.0], [2.0, 2.0]]))
    assert one.shape == (2, 1) and np.allclose(one @ np.array([1j]), 1j * one.toarray()[:, 0])


class Forged:
    """A pickle whose reconstruction call is NullSpace's own, with altered arguments."""

    def __init__(self, restore, args):
        self.restore, self.args = restore, args

    def __reduce__(self):
        return self.restore, self.args


@variants
def test_forged_pickles_are_refused(dtype, itype):
    A = make_matrix(24, 30, dtype, itype, rank=9, seed=8)
    cod = rk.cod_solve(A, np.ones(24), null_spaces=True, transpose_first=True)
    restore, (house, X, perm, dt, result) = cod.NT.__reduce__()  # Householder form and a permutation
    assert perm is not None and house is not None
    H, tau, v = house
    back = pickle.loads(pickle.dumps(Forged(restore, (house, X, perm, dt, result))))
    assert np.allclose(back.toarray(), cod.NT.toarray(), rtol=0, atol=1e-14)
    assert np.allclose(back.tocsc().toarray(), back.toarray(), rtol=0, atol=1e-14)

    def with_csc(M, **change):
        parts = dict(data=M.data, indices=M.indices, indptr=M.indptr, shape=M.shape) | change
        return sp.csc_array((parts["data"], parts["indices"], parts["indptr"]), shape=parts["shape"])

    bad_perm = perm.copy()
    bad_perm[0] = bad_perm[1]
    hdata = H.data.copy()
    hdata[H.indptr[1]] = 2.0  # the leading entry of a reflector
    xdata = X.data.copy()
    xdata[0] = np.nan
    forgeries = {
        "perm": (house, X, bad_perm, dt, result),
        "perm length": (house, X, perm[:-1], dt, result),
        "perm type": (house, X, perm.astype(float), dt, result),
        "X rows": (house, with_csc(X, shape=(X.shape[0] + 1, X.shape[1])), np.r_[perm, len(perm)], dt, result),
        "X values": (house, with_csc(X, data=xdata), perm, dt, result),
        "X not orthonormal": (house, with_csc(X, data=2 * X.data), perm, dt, result),
        "X indices": (house, with_csc(X, indices=X.indices + X.shape[0]), perm, dt, result),
        "X dtype": (house, X.astype(np.complex128) if X.dtype == np.float64 else X.real, perm, dt, result),
        "tau length": ((H, tau[:-1], v), X, perm, dt, result),
        "tau value": ((H, np.r_[tau[:-1], np.inf].astype(tau.dtype), v), X, perm, dt, result),
        "tau not unitary": ((H, 3 * tau, v), X, perm, dt, result),
        "v": ((H, tau, np.zeros_like(v)), X, perm, dt, result),
        "v type": ((H, tau, v.astype(np.int64 if v.dtype == np.int32 else np.int32)), X, perm, dt, result),
        "H leading entries": ((with_csc(H, data=hdata), tau, v), X, perm, dt, result),
        "H empty column": ((with_csc(H, indptr=np.r_[H.indptr[:1], H.indptr[:-1]]), tau, v), X, perm, dt, result),
        "house": ((H, tau), X, perm, dt, result),
        "dtype": (house, X, perm, "<f4", result),
        "result": (house, X, perm, dt, "rank 9"),
    }
    for what, args in forgeries.items():
        with pytest.raises(ValueError, match="corrupt NullSpace pickle"):
            pickle.loads(pickle.dumps(Forged(restore, args)))


def test_integer_options_in_the_native_range(deficient):
    names = ("nsvals_large", "nsvals_small", "ssi_min_block", "ssi_max_block", "ssi_min_iters", "ssi_max_iters",
             "ssi_nblock_increment", "k", "ssp_min_iters", "ssp_max_iters")
    for name in names:
        for bad in (2 ** 31, 2 ** 63, -1, np.int64(2 ** 40)):
            with pytest.raises(ValueError, match=f"{name} must lie between"):
                rk.RankOptions(**{name: bad, "ssi_max_block": 2 ** 31 - 1} if name == "ssi_min_block" else {name: bad})
    # The largest values run, and the counts reported are the sweeps made.
    # (a power iteration asked for 2^31 sweeps on values at rounding level
    # would make them all: the test keeps its sweeps at the default)
    big = rk.RankOptions(ssi_max_iters=np.int64(2 ** 31 - 1), ssi_max_block=2 ** 31 - 1,
                         ssi_nblock_increment=2 ** 31 - 1, nsvals_large=2 ** 31 - 1)
    res = rk.rank_estimate(deficient, options=big, method="cod")
    assert res.rank == 8 and res.flag == 0
    assert 3 <= res.details["ssi_iterations"] < 100 and 4 <= res.details["ssp_iterations"] < 100
    for sweeps in (3, 7, 12):
        res = rk.rank_estimate(deficient, options=rk.RankOptions(ssi_min_iters=sweeps, ssi_max_iters=sweeps),
                               method="basic")
        assert res.details["ssi_iterations"] == sweeps
