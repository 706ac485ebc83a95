"""spqr: explicit QR factors in full, economic, R-only and Householder modes."""
import numpy as np
import pytest
import scipy.sparse as sp

from orvex.spqr import SPQRHouseholder, spqr
from conftest import VARIANTS, VARIANT_IDS, load_mtx, make_matrix, relerr, variants

MODES = ["full", "economic", "r", "householder"]
SHAPES = [(8, 5), (5, 8), (6, 6)]
TOL = 1e-12


def assert_upper(R):
    R = R.toarray()
    assert np.linalg.norm(np.tril(R, -1)) <= TOL * max(np.linalg.norm(R), 1.0)


@pytest.fixture(params=[(v, s, r) for v in VARIANTS for s in SHAPES for r in (None, 3)],
                ids=[f"{i}-{m}x{n}-rank{r or 'full'}" for i in VARIANT_IDS
                     for m, n in SHAPES for r in (None, 3)])
def matrix(request):
    (dtype, itype), (m, n), rank = request.param
    return make_matrix(m, n, dtype, itype, seed=m + n, rank=rank)


@pytest.mark.parametrize("mode", ["full", "economic"])
def test_q_times_r_is_permuted_a(matrix, mode):
    A = matrix
    (M, N), K = A.shape, min(A.shape)
    Q, R, E = spqr(A, mode=mode)
    assert isinstance(Q, sp.csc_array) and isinstance(R, sp.csc_array)
    assert Q.dtype == R.dtype == A.dtype and E.dtype == A.indices.dtype
    assert (Q.shape, R.shape) == (((M, M), (M, N)) if mode == "full" else ((M, K), (K, N)))
    np.testing.assert_array_equal(np.sort(E), np.arange(N))
    Qd = Q.toarray()
    assert relerr(Qd.conj().T @ Qd, np.eye(Q.shape[1])) < TOL
    assert relerr(Qd @ R.toarray(), A.toarray()[:, E]) < TOL
    assert_upper(R)


def test_r_and_householder_modes(matrix):
    A = matrix
    M, N = A.shape
    Q, R, E = spqr(A)
    Rr, Er = spqr(A, mode="r")
    house, Rh, Eh = spqr(A, mode="householder")
    # Same ordering in every mode; R agrees up to the signs of its rows.
    np.testing.assert_array_equal(Er, E)
    np.testing.assert_array_equal(Eh, E)
    assert isinstance(Rr, sp.csc_array) and Rr.shape == (M, N)
    np.testing.assert_allclose(abs(Rr).toarray(), abs(R).toarray(), atol=TOL * abs(R).max())
    assert relerr(Rh.toarray(), Rr.toarray()) < TOL
    assert_upper(Rr)

    assert type(house) is SPQRHouseholder and house._fields == ("H", "tau", "perm")
    H, tau, perm = house
    k = H.shape[1]
    assert isinstance(H, sp.csc_array) and H.shape[0] == M and H.dtype == A.dtype
    assert H.indices.dtype == H.indptr.dtype == perm.dtype == A.indices.dtype
    assert tau.dtype == A.dtype and tau.shape == ((k,) if k != 1 else ())
    np.testing.assert_array_equal(np.sort(perm), np.arange(M))


@variants
@pytest.mark.parametrize("shape", [(8, 5), (6, 6)])
def test_r_diagonal_matches_dense_qr(dtype, itype, shape):
    A = make_matrix(*shape, dtype, itype, seed=7)
    for mode in MODES:
        R, E = spqr(A, mode=mode)[-2:]
        Rn = np.linalg.qr(A.toarray()[:, E], mode="r")
        np.testing.assert_allclose(np.abs(R.diagonal()), np.abs(np.diag(Rn)), rtol=TOL)


@variants
def test_single_householder_vector(dtype, itype):
    A = make_matrix(3, 1, dtype, itype, density=1.0, seed=2)
    (H, tau, perm), R, E = spqr(A, mode="householder")
    assert H.shape == (3, 1) and tau.shape == () and tau.dtype == dtype
    # Q = P^T (I - tau h h^H), P the row permutation, satisfies Q R = A E.
    h = H.toarray()
    Q = (np.eye(3) - tau * (h @ h.conj().T))[perm]
    assert relerr(Q @ R.toarray(), A.toarray()[:, E]) < TOL


@pytest.mark.parametrize("shape", [(6, 4), (4, 6)])
def test_options(shape):
    A = make_matrix(*shape, seed=4)
    for mode in MODES:  # the fixed ordering leaves the columns in place
        assert spqr(A, mode=mode, order="fixed")[-1] is None
    Q, R, E = spqr(A, order="fixed")
    assert relerr(Q.toarray() @ R.toarray(), A.toarray()) < TOL
    Q, R, E = spqr(A, tol=0)
    assert relerr(Q.toarray() @ R.toarray(), A.toarray()[:, E]) < TOL
    R0, E0 = spqr(A, mode="r", order="default")
    R1, E1 = spqr(A, mode="r")
    np.testing.assert_array_equal(E0, E1)
    np.testing.assert_array_equal(R0.toarray(), R1.toarray())
    with pytest.raises(TypeError):
        spqr(A, "full")


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"mode": "econ"}, ValueError,
     "Invalid mode 'econ'. Expected one of ('full', 'economic', 'r', 'householder')."),
    ({"mode": "R"}, ValueError,
     "Invalid mode 'R'. Expected one of ('full', 'economic', 'r', 'householder')."),
    ({"order": "given"}, ValueError, "Unknown ordering method: given. Must be one of {"),
    ({"order": []}, TypeError, "unhashable type"),
    ({"tol": "small"}, TypeError, ""),
])
def test_invalid_options(kwargs, exc, message):
    with pytest.raises(exc) as info:
        spqr(make_matrix(4, 3), **kwargs)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("name", ["a0", "a01", "a04", "a10"])
def test_empty_matrices(name):
    A = load_mtx(name)
    (M, N), K = A.shape, min(A.shape)
    Q, R, E = spqr(A)
    assert (Q.shape, R.shape, E.dtype) == ((M, M), (M, N), np.int32)
    np.testing.assert_array_equal(Q.toarray(), np.eye(M))
    np.testing.assert_array_equal(E, np.arange(N))
    Q, R, E = spqr(A, mode="economic")
    assert (Q.shape, R.shape) == ((M, K), (K, N))
    R, E = spqr(A, mode="r")
    assert R.shape == (M, N) and R.nnz == 0
    (H, tau, perm), R, E = spqr(A, mode="householder")
    assert H.shape == (M, 0) and tau.shape == (0,) and tau.dtype == np.float64
    np.testing.assert_array_equal(perm, np.arange(M))
