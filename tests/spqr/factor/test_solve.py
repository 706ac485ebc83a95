import re

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import load_mtx, make_matrix, variants
from orvex.spqr import SPQRFactor, SPQRRankDeficiencyWarning, spqr_solve

RTOL = dict(rtol=1e-9, atol=1e-11)


def rand(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(shape)
    return x + 1j * rng.standard_normal(shape) if np.dtype(dtype).kind == "c" else x


@pytest.fixture
def f43():
    return SPQRFactor(make_matrix(4, 3), use_singletons=True)


@variants
@pytest.mark.parametrize("bshape", [(30,), (30, 3)], ids=["1d", "2d"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_least_squares(dtype, itype, bshape, order):
    A = make_matrix(30, 12, dtype, itype, seed=3)
    b = np.asarray(rand(bshape, dtype), order=order)
    b_before = b.copy()
    x = SPQRFactor(A, use_singletons=True).solve(b)
    assert x.shape == (12,) + bshape[1:] and x.dtype == dtype
    np.testing.assert_allclose(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0], **RTOL)
    np.testing.assert_allclose(A.conj().T @ (b - A @ x), 0, atol=1e-10)  # A^H r = 0
    np.testing.assert_array_equal(b, b_before)


@variants
@pytest.mark.parametrize("m, n", [(30, 12), (12, 30)], ids=["tall", "wide"])
@pytest.mark.parametrize("k", [None, 2])
def test_transposed_minimum_norm(dtype, itype, m, n, k):
    """solve(c, transpose=True) solves A^H x = c with the least 2-norm."""
    A = make_matrix(m, n, dtype, itype, seed=4)
    AH = A.toarray().conj().T
    c = AH @ rand((m,) if k is None else (m, k), dtype, seed=5)
    x = SPQRFactor(A, use_singletons=True).solve(c, transpose=True)
    assert x.shape == ((m,) if k is None else (m, k)) and x.dtype == dtype
    np.testing.assert_allclose(x, np.linalg.pinv(AH) @ c, **RTOL)


@pytest.mark.parametrize("itype", [np.int32, np.int64])
def test_collection_matrices(itype):
    A, b = load_mtx("ash219", itype=itype), rand(219, np.float64)
    x = SPQRFactor(A, use_singletons=True).solve(b)
    np.testing.assert_allclose(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0], **RTOL)
    A, b = load_mtx("lp_e226", itype=itype), rand(223, np.float64)
    x = spqr_solve(A, b)  # underdetermined: minimum 2-norm solution
    np.testing.assert_allclose(x, np.linalg.pinv(A.toarray()) @ b, rtol=1e-7, atol=1e-8)
    A, b = load_mtx("young1c", itype=itype), rand(841, np.complex128)
    x = SPQRFactor(A, use_singletons=True).solve(b)
    np.testing.assert_allclose(x, np.linalg.solve(A.toarray(), b), rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize("name, rank", [("GD01_b", 17), ("Tina_AskCal", 9)])
def test_rank_deficient_warns_and_solves(name, rank):
    A = load_mtx(name)
    b = np.arange(1.0, A.shape[0] + 1)
    f = SPQRFactor(A, use_singletons=True)
    assert f.rank == rank
    message = (f"Matrix is rank deficient: rank={rank}, A.shape={A.shape}. "
               "The solution may not be unique.")
    for _ in range(2):  # every call warns
        with pytest.warns(SPQRRankDeficiencyWarning, match=f"^{re.escape(message)}$"):
            x = f.solve(b)
        np.testing.assert_allclose(A.T @ (b - A @ x), 0, atol=1e-10)  # least squares


def test_warnings_point_at_the_callers_line():
    A = load_mtx("GD01_b")
    b = np.ones(A.shape[0])
    f = SPQRFactor(A, use_singletons=False).factorize(A)
    for call in (lambda: f.solve(b), lambda: spqr_solve(A, b), lambda: f.factorize(A, tol=0.5)):
        with pytest.warns(Warning) as record:
            call()
        assert [w.filename for w in record] == [__file__] * len(record)


def test_casting_read_only_and_state():
    A = make_matrix(6, 4, seed=2)
    b = np.arange(6)
    f = SPQRFactor(A, use_singletons=True)
    x = f.solve(b.astype(np.float64))
    np.testing.assert_allclose(f.solve(b), x, rtol=0)
    xz = SPQRFactor(A.astype(np.complex128), use_singletons=True).solve(b * 1.0)
    assert xz.dtype == np.complex128
    np.testing.assert_allclose(xz, x, **RTOL)
    with pytest.raises(TypeError, match=re.escape(
            "Cannot safely cast b.dtype=dtype('complex128') to self.dtype=dtype('float64').")):
        f.solve(b.astype(np.complex128))
    B = np.asfortranarray(rand((6, 2), np.float64))
    expected = f.solve(B)
    B.flags.writeable = False
    np.testing.assert_array_equal(f.solve(B), expected)
    np.testing.assert_array_equal(f.solve(B[:, 1]), expected[:, 1])
    with pytest.raises(AssertionError):
        SPQRFactor(A).solve(b)


def shape_error(bshape, transpose):
    return ("Right-hand side b must have compatible shape with A. Got "
            f"b.shape={bshape}, but A.shape=(4, 3) (transpose={transpose}).")


@pytest.mark.parametrize("b, transpose, message", [
    (np.ones(5), False, shape_error((5,), False)),
    (np.ones(5, dtype=np.complex128), False, shape_error((5,), False)),
    (np.ones((4, 2)), True, shape_error((4, 2), True)),
    (sp.csc_array((3, 2)), False, shape_error((3, 2), False)),
    ([1.0, 2.0, 3.0, 4.0], False, "b must be an ndarray or sparse matrix."),
    (np.ones((4, 1, 1)), False, "b must be a 1D or 2D array."),
])
def test_bad_right_hand_side(f43, b, transpose, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        f43.solve(b, transpose=transpose)


@variants
@pytest.mark.parametrize("transpose", [False, True])
def test_sparse_batches(dtype, itype, transpose):
    A = make_matrix(40, 25, dtype, itype, seed=6)
    M, N = (25, 40) if transpose else (40, 25)
    B = sp.random_array((M, 250), density=0.02, format="csc", dtype=dtype, rng=7)
    B_before = B.copy()
    f = SPQRFactor(A, use_singletons=True)
    dense = f.solve(B.toarray(), transpose=transpose)
    results = [f.solve(B, transpose=transpose, rhs_batch_size=s) for s in (1, 100, 1000)]
    for X in results:
        assert isinstance(X, sp.csc_array) and X.shape == (N, 250) and X.dtype == dtype
        assert X.indptr.dtype == itype and X.indices.dtype == itype
        assert np.all(X.data != 0)
        assert all(np.all(np.diff(X.indices[a:b]) > 0)
                   for a, b in zip(X.indptr[:-1], X.indptr[1:]))
        np.testing.assert_allclose(X.toarray(), dense, rtol=1e-12, atol=1e-14)
    assert np.diff(results[0].indptr).min() == 0  # empty columns of B stay empty
    assert (B != B_before).nnz == 0


def test_sparse_shapes_and_formats(f43):
    for fmt in ("coo", "csr", "lil", "dok"):  # single columns in any format
        B = sp.random_array((4, 1), density=1.0, format=fmt, rng=1)
        for b in (B, sp.csr_matrix(B)):
            X = f43.solve(b)
            assert isinstance(X, sp.csc_array) and X.shape == (3, 1)
            np.testing.assert_allclose(X.toarray(), f43.solve(B.toarray()), **RTOL)
    b = sp.coo_array(np.array([1.0, 0.0, 2.0, -1.0]))
    x = f43.solve(b)  # 1-D in, column 0 of the CSC result out
    assert type(x) is type(sp.csc_array((3, 1))[:, 0]) and x.shape == (3,)
    np.testing.assert_allclose(x.toarray(), f43.solve(b.toarray()), **RTOL)
    X = f43.solve(sp.csc_array((4, 0)))
    assert isinstance(X, sp.csc_array) and X.shape == (3, 0)


def test_batch_size(f43):
    B = sp.csc_array(np.ones((4, 3)))
    for s in (0, -1):
        with pytest.raises(ValueError):
            f43.solve(B, rhs_batch_size=s)
        f43.solve(np.ones((4, 3)), rhs_batch_size=s)  # ignored for dense b
    for s in (2.5, "3", None):
        with pytest.raises(TypeError):
            f43.solve(B, rhs_batch_size=s)
    np.testing.assert_allclose(f43.solve(B, rhs_batch_size=np.int64(2)).toarray(),
                               f43.solve(B.toarray()), **RTOL)


def test_solve_dense_direct():
    A = make_matrix(4, 3, np.complex128)
    f, fz = SPQRFactor(A.real, use_singletons=True), SPQRFactor(A, use_singletons=True)
    b = np.asfortranarray(rand((4, 2), np.float64))
    np.testing.assert_allclose(f._solve_dense(b, False), f.solve(b), rtol=0)
    for factor, bad in [(f, np.ones((3, 2), order="F")), (f, np.ones((4, 2), order="C")),
                        (fz, b), (f, b.astype(np.complex128))]:
        with pytest.raises(ValueError):
            factor._solve_dense(bad, False)
    for bad in (b.astype(np.float32), b.astype(np.int64), b[:, 0], None):
        with pytest.raises(TypeError, match="^No matching signature found$"):
            f._solve_dense(bad, False)
