"""SPQRFactor.qmult: products with the orthogonal factor of a numeric factorization."""
import numpy as np
import pytest
import scipy.sparse as sp

from orvex.spqr import SPQRFactor
from conftest import METHODS, UNDO, VARIANT_IDS, VARIANTS, load_mtx, make_matrix, operand, relerr, variants

SHAPES = [(7, 4), (4, 7), (6, 6)]
TOL = 1e-12


def reference(Q, X, method):
    Q = Q.conj().T if method in ("QTX", "XQT") else Q
    return Q @ X if method in ("QX", "QTX") else X @ Q


def check_factor(A, f):
    """Q is unitary and, for A of full rank, Q^H A E is upper trapezoidal."""
    m = A.shape[0]
    Q = f.qmult(np.eye(m, dtype=A.dtype))
    assert Q.shape == (m, m) and Q.dtype == A.dtype
    assert relerr(Q.conj().T @ Q, np.eye(m)) < TOL
    assert f.rank == min(A.shape)
    R = Q.conj().T @ A.toarray()[:, f.perm]
    assert np.linalg.norm(np.tril(R, -1)) <= TOL * np.linalg.norm(R)
    return Q


@pytest.fixture(params=[(v, s) for v in VARIANTS for s in SHAPES],
                ids=[f"{i}-{m}x{n}" for i in VARIANT_IDS for m, n in SHAPES])
def case(request):
    (dtype, itype), (m, n) = request.param
    A = make_matrix(m, n, dtype, itype, seed=m * n)
    f = SPQRFactor(A, use_singletons=True)
    return A, f, check_factor(A, f)


@pytest.mark.parametrize("method", METHODS)
def test_methods_match_dense_q(case, method):
    A, f, Q = case
    m = A.shape[0]
    X = operand((m, 3) if method in ("QX", "QTX") else (3, m), A.dtype)
    Y = f.qmult(X, method)
    assert type(Y) is np.ndarray and Y.dtype == A.dtype and Y.shape == X.shape
    assert relerr(Y, reference(Q, X, method)) < TOL
    assert relerr(f.qmult(Y, UNDO[method]), X) < TOL
    # Memory layout does not matter, and the operand is left alone.
    Xc = np.ascontiguousarray(X)
    np.testing.assert_array_equal(f.qmult(Xc, method), f.qmult(np.asfortranarray(X), method))
    np.testing.assert_array_equal(Xc, X)


def test_vector_operand(case):
    A, f, Q = case
    x = operand(A.shape[0], A.dtype)
    for method in ("QX", "QTX", "XQ", "XQT"):  # a row for the right-hand products
        y = f.qmult(x, method=method)
        want = reference(Q, x if method in ("QX", "QTX") else x[None, :], method)
        assert y.shape == x.shape and relerr(y, want.reshape(-1)) < TOL


@pytest.mark.parametrize("fmt", ["csc", "csr", "coo", "lil", "dok", "bsr", "csc_matrix",
                                 "other-index"])
@variants
def test_sparse_operand(dtype, itype, fmt):
    f = SPQRFactor(make_matrix(6, 4, dtype, itype, seed=3), use_singletons=True)
    other = np.int64 if itype == np.int32 else np.int32
    Xs = make_matrix(6, 3, dtype, other if fmt == "other-index" else itype, seed=5)
    X = Xs.toarray()
    if fmt != "other-index":
        Xs = sp.csc_matrix(X) if fmt == "csc_matrix" else Xs.asformat(fmt)
    for method, Z in (("QTX", X), ("XQ", X.T)):
        Y = f.qmult(Xs if method == "QTX" else Xs.T, method)
        assert isinstance(Y, sp.csc_array) and Y.shape == Z.shape and Y.dtype == dtype
        assert relerr(Y.toarray(), f.qmult(Z, method)) < TOL


DTYPE = "Input and factor dtypes do not match. self.dtype=dtype('float64') and X.dtype=dtype('{}')"
METHOD = "Invalid method '{}'. Expected one of ['QX', 'QTX', 'XQ', 'XQT']."
SHAPE = "Input X must have compatible shape with Q. Expected 4, got 5."


@pytest.mark.parametrize("X, method, exc, message", [
    (np.ones((4, 2), np.float32), "QX", ValueError, DTYPE.format("float32")),
    (np.ones((4, 2), np.int64), "QX", ValueError, DTYPE.format("int64")),
    (np.ones((4, 2, 1), np.float32), "qx", ValueError, DTYPE.format("float32")),
    ([[1.0, 2.0]] * 4, "QX", ValueError, "X must be an ndarray or sparse matrix."),
    (np.ones((4, 2, 1)), "QX", ValueError, "X must be a 1D or 2D array."),
    (np.array(1.0), "QX", ValueError, "X must be a 1D or 2D array."),
    (np.ones((4, 2)), "qx", ValueError, METHOD.format("qx")),
    (np.ones((4, 2)), None, ValueError, METHOD.format("None")),
    (np.ones((4, 2)), "Q\ud800", ValueError, METHOD.format("Q\ud800")),
    (np.ones((4, 2)), 1, TypeError, "Expected str, got int"),
    (np.ones((5, 4)), "QX", ValueError, SHAPE),
    (np.ones((4, 5)), "XQT", ValueError, SHAPE),
])
def test_invalid_arguments(X, method, exc, message):
    f = SPQRFactor(make_matrix(4, 3, seed=1), use_singletons=True)
    with pytest.raises(exc) as info:
        f.qmult(X, method)
    assert str(info.value) == message


def test_symbolic_factor_refuses():
    with pytest.raises(AssertionError):
        SPQRFactor(make_matrix(4, 3)).qmult(np.ones((4, 2)))


@pytest.mark.parametrize("X, exc, message", [
    (np.ones((4, 2), np.complex128, order="F"), ValueError, None),
    (np.ones((5, 2), order="F"), ValueError, "Expected 4, got 5"),
    (np.ones((4, 2), np.float32, order="F"), TypeError, "No matching signature found"),
    (None, TypeError, "No matching signature found"),
])
def test_qmult_dense_rejects_mismatched_operands(X, exc, message):
    f = SPQRFactor(make_matrix(4, 3, seed=1), use_singletons=True)
    with pytest.raises(exc, match=message):
        f._qmult_dense(1, X)


@pytest.mark.parametrize("name, itype", [("west0067", np.int32), ("ash219", np.int64),
                                         ("young1c", np.int32)])
def test_collection_matrices(name, itype):
    A = load_mtx(name, itype=itype)
    f = SPQRFactor(A, use_singletons=True)
    Q = check_factor(A, f)
    X = operand((3, A.shape[0]), A.dtype)
    assert relerr(f.qmult(X, "XQT"), X @ Q.conj().T) < TOL
