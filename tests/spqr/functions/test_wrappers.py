import numpy as np
import pytest
import scipy.sparse as sp

from conftest import make_matrix, variants
from orvex.spqr import SPQRFactor, spqr_factor, spqr_solve

RTOL = dict(rtol=1e-9, atol=1e-11)


def rand(n, dtype, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n)
    return x + 1j * rng.standard_normal(n) if np.dtype(dtype).kind == "c" else x


@pytest.mark.parametrize("use_singletons", [False, True, 1])
def test_spqr_factor(use_singletons):
    A = make_matrix(5, 4, seed=1)
    A.data[A.indptr[3]:A.indptr[4]] *= 1e-3  # a column that only a large tol drops
    f = spqr_factor(A, use_singletons=use_singletons)
    assert type(f) is SPQRFactor and f.is_numeric and f.rank == 4
    f = spqr_factor(A, use_singletons=use_singletons, order="amd", tol=0.5)
    assert f.is_numeric and f.rank == 3
    assert f.info.ordering == "amd" and f.info.tol == 0.5
    with pytest.raises(ValueError, match="^Unknown ordering method: bogus. Must be one of {"):
        spqr_factor(A, use_singletons=use_singletons, order="bogus")


@variants
def test_underdetermined(dtype, itype):
    A = make_matrix(2, 3, dtype, itype, density=1.0, seed=2)
    b = rand(2, dtype)
    x = spqr_solve(A, b)
    assert x.shape == (3,) and x.dtype == dtype
    np.testing.assert_allclose(x, np.linalg.pinv(A.toarray()) @ b, **RTOL)
    np.testing.assert_allclose(spqr_solve(A, b, transpose=True), x, **RTOL)
    with pytest.raises(ValueError):
        spqr_solve(A, rand(3, dtype), transpose=True)
    basic = spqr_solve(A, b, min2norm=False)  # a basic solution of A x = b
    np.testing.assert_allclose(A @ basic, b, **RTOL)
    assert np.linalg.norm(basic) >= np.linalg.norm(x) * (1 - 1e-12)
    c = rand(2, dtype, seed=1)  # A^H x = A^H c has the unique solution c
    np.testing.assert_allclose(spqr_solve(A, A.conj().T @ c, min2norm=False, transpose=True),
                               c, **RTOL)


@variants
def test_overdetermined_and_square(dtype, itype):
    A = make_matrix(4, 3, dtype, itype, density=1.0, seed=3)
    b, c = rand(4, dtype), rand(3, dtype)
    for min2norm in (True, False):
        np.testing.assert_allclose(spqr_solve(A, b, min2norm=min2norm),
                                   np.linalg.lstsq(A.toarray(), b)[0], **RTOL)
        x = spqr_solve(A, c, transpose=True, min2norm=min2norm)
        assert x.shape == (4,)
        np.testing.assert_allclose(x, np.linalg.pinv(A.toarray().conj().T) @ c, **RTOL)
    S = make_matrix(5, 5, dtype, itype, seed=4)
    b = rand(5, dtype)
    for min2norm in (True, False):
        np.testing.assert_allclose(spqr_solve(S, b, min2norm=min2norm),
                                   np.linalg.solve(S.toarray(), b), **RTOL)
        np.testing.assert_allclose(spqr_solve(S, b, transpose=True, min2norm=min2norm),
                                   np.linalg.solve(S.toarray().conj().T, b), **RTOL)


@variants
@pytest.mark.parametrize("m, n", [(30, 20), (20, 30)], ids=["tall", "wide"])
def test_sparse_right_hand_side(dtype, itype, m, n):
    A = make_matrix(m, n, dtype, itype, seed=5)
    B = sp.random_array((m, 250), density=0.03, format="csr", dtype=dtype, rng=6)
    X = spqr_solve(A, B, rhs_batch_size=100)
    assert isinstance(X, sp.csc_array) and X.shape == (n, 250)
    assert X.indptr.dtype == itype and X.indices.dtype == itype
    np.testing.assert_allclose(X.toarray(), spqr_solve(A, B.toarray()), rtol=1e-12,
                               atol=1e-14)


def test_argument_binding():
    A, b = make_matrix(4, 3), np.ones(4)
    with pytest.raises(TypeError):
        spqr_solve(np.ones((2, 2, 2)), b, rhs_batch_size=2.5)
    with pytest.raises(OverflowError):  # out of machine range: also before A is looked at
        spqr_solve(np.ones((2, 2, 2)), b, rhs_batch_size=2**63)
    with pytest.raises(ValueError):  # the same A fails validation otherwise
        spqr_solve(np.ones((2, 2, 2)), b, rhs_batch_size=-2**63)
    for call in (lambda: spqr_solve(A), lambda: spqr_solve(A, b, False),
                 lambda: spqr_solve(A, b, min2Norm=True), lambda: spqr_factor(A, True),
                 lambda: spqr_factor(A, tolerance=0.1), lambda: spqr_factor()):
        with pytest.raises(TypeError):
            call()
    np.testing.assert_allclose(spqr_solve(A=A, b=b), spqr_solve(A, b), rtol=0)
    assert spqr_factor(A=A).is_numeric
