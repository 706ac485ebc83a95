"""spqr_qmult: products with Q given by its Householder representation."""
import numpy as np
import pytest
import scipy.sparse as sp

from orvex.spqr import _qmult, spqr, spqr_qmult
from conftest import METHODS, UNDO, VARIANT_IDS, VARIANTS, as_csc, load_mtx, make_matrix, operand, relerr, variants

SHAPES = [(9, 5), (5, 9), (7, 7)]
TOL = 1e-12


def reflections(house):
    """Q from the reflections themselves: rows of H_1 ... H_k taken in perm order."""
    H, tau, perm = house
    Hd, tau = H.toarray(), np.atleast_1d(tau)
    Q = np.eye(H.shape[0], dtype=H.dtype)
    for j in range(H.shape[1]):
        Q = Q - tau[j] * (Q @ Hd[:, [j]]) @ Hd[:, [j]].conj().T
    return Q[perm]


def householder(m, n, dtype=np.float64, itype=np.int32, **kw):
    return spqr(make_matrix(m, n, dtype, itype, **kw), mode="householder")[0]


@pytest.fixture(params=[(v, s) for v in VARIANTS for s in SHAPES],
                ids=[f"{i}-{m}x{n}" for i in VARIANT_IDS for m, n in SHAPES])
def case(request):
    (dtype, itype), (m, n) = request.param
    A = make_matrix(m, n, dtype, itype, seed=m * n)
    house, R, E = spqr(A, mode="householder")
    return house, spqr_qmult(house, np.eye(m, dtype=dtype)), R, A.toarray()[:, E]


def test_q_is_unitary_and_factors_a(case):
    house, Q, R, AE = case
    assert Q.dtype == AE.dtype and relerr(Q.conj().T @ Q, np.eye(Q.shape[0])) < TOL
    assert relerr(Q @ R.toarray(), AE) < TOL
    assert relerr(Q, reflections(house)) < TOL


@variants
@pytest.mark.parametrize("shape, rank", [((9, 5), None), ((7, 7), 4), ((5, 9), None)])
def test_relation_to_explicit_q(dtype, itype, shape, rank):
    # The first r = rank columns of both Q agree up to unimodular factors,
    # mirrored in the rows of R; the rest are two bases of the complement.
    A = make_matrix(*shape, dtype, itype, seed=11, rank=rank)
    Qf, Rf, Ef = spqr(A)
    house, Rh, Eh = spqr(A, mode="householder")
    np.testing.assert_array_equal(Eh, Ef)
    Rf = Rf.toarray()
    r = np.count_nonzero(np.abs(Rf).sum(axis=1))
    assert r == (rank or min(shape)) and not Rf[r:].any()
    G = spqr_qmult(house, Qf.toarray(), "QTX")
    d = np.diag(G)[:r]
    np.testing.assert_allclose(np.abs(d), 1, atol=TOL)
    np.testing.assert_allclose(G[:r, :r], np.diag(d), atol=TOL)
    assert np.abs(G[:r, r:]).max(initial=0) < TOL and np.abs(G[r:, :r]).max(initial=0) < TOL
    assert relerr(Rh.toarray()[:r], d[:, None] * Rf[:r]) < TOL


@pytest.mark.parametrize("method", METHODS)
def test_methods_match_dense_q(case, method):
    house, Q = case[:2]
    m = Q.shape[0]
    X = operand((m, 3) if method in ("QX", "QTX") else (3, m), Q.dtype)
    Y = spqr_qmult(house, X, method)
    Qm = Q.conj().T if method in ("QTX", "XQT") else Q
    assert type(Y) is np.ndarray and Y.shape == X.shape and Y.dtype == Q.dtype
    assert relerr(Y, Qm @ X if method in ("QX", "QTX") else X @ Qm) < TOL
    assert relerr(spqr_qmult(house, Y, method=UNDO[method]), X) < TOL
    np.testing.assert_array_equal(spqr_qmult(house, np.ascontiguousarray(X), method), Y)
    if method in ("QX", "QTX"):  # a vector operand gives a vector
        y = spqr_qmult(house, X[:, 0], method)
        assert y.shape == (m,) and relerr(y, Y[:, 0]) < TOL
    else:  # ... and a row for the right-hand products
        y = spqr_qmult(house, X[0], method)
        assert y.shape == (m,) and relerr(y, Y[0]) < TOL


@pytest.mark.parametrize("fmt", ["csc", "csr", "coo", "csc_matrix", "other-index"])
@variants
def test_sparse_operand(dtype, itype, fmt):
    house = householder(8, 5, dtype, itype, seed=2)
    other = np.int64 if itype == np.int32 else np.int32
    Xs = make_matrix(8, 3, dtype, other if fmt == "other-index" else itype, seed=3)
    X = Xs.toarray()
    if fmt != "other-index":
        Xs = sp.csc_matrix(X) if fmt == "csc_matrix" else Xs.asformat(fmt)
    for method, Z in (("QX", X), ("XQT", X.T)):
        Y = spqr_qmult(house, Xs if method == "QX" else Xs.T, method)
        assert isinstance(Y, sp.csc_array) and Y.shape == Z.shape and Y.dtype == dtype
        assert relerr(Y.toarray(), spqr_qmult(house, Z, method)) < TOL


@variants
def test_plain_triple_and_scalar_tau(dtype, itype):
    house = householder(3, 1, dtype, itype, density=1.0, seed=5)
    assert house.tau.ndim == 0
    X = operand((3, 2), dtype)
    Y = spqr_qmult(house, X)
    np.testing.assert_array_equal(spqr_qmult(list(house), X), Y)
    assert relerr(Y, reflections(house) @ X) < TOL


@pytest.mark.parametrize("change, context", [
    ("tau short", "tau shape mismatch"), ("tau complex", "tau dtype mismatch"),
    ("perm int64", "v dtype mismatch"), ("perm short", "v shape mismatch"),
    ("two items", None), ("H rows", None), ("none", None)])
def test_invalid_house(change, context):
    H, tau, perm = householder(6, 4, seed=1)
    if change == "H rows":  # an out-of-range row index, past SciPy's own checks
        H = H.copy()
        H.indices[-1] = 9
    bad = {"tau short": (H, tau[:-1], perm), "tau complex": (H, tau.astype(complex), perm),
           "perm int64": (H, tau, perm.astype(np.int64)), "perm short": (H, tau, perm[:-1]),
           "two items": (H, tau), "H rows": (H, tau, perm), "none": None}[change]
    with pytest.raises(ValueError) as info:
        spqr_qmult(bad, np.ones((6, 2)))
    assert str(info.value) == ("house must be a tuple of (H, tau, v) representing the "
                               f"Householder vectors, coefficients, and permutation. Got {bad}.")
    if context is not None:
        assert type(info.value.__context__) is TypeError
        assert str(info.value.__context__) == context


@pytest.mark.parametrize("dtype, X, method, exc, message", [
    (np.complex128, np.ones((6, 2)), "QX", ValueError, ""),
    (np.float64, np.ones((6, 2), np.int64), "QX", ValueError, ""),
    (np.float64, np.ones((6, 2), np.complex128), "QX", ValueError, ""),
    (np.float64, 1.0, "QX", ValueError, "X must be a 1D or 2D array."),
    (np.float64, np.ones((6, 2, 1)), "QX", ValueError, "X must be a 1D or 2D array."),
    (np.float64, [[1.0], [1.0, 2.0]], "QX", ValueError, "X must be an ndarray or sparse matrix."),
    (np.float64, np.ones((6, 2)), "qx", ValueError, "Invalid method 'qx'. Expected one of ["),
    (np.float64, np.ones((6, 2)), 1, TypeError, "Expected str, got int"),
    (np.float64, np.ones((6, 5)), "XQ", ValueError, "Input X must have compatible shape with "
     "Q. Expected 6, got 5."),
])
def test_invalid_operands(dtype, X, method, exc, message):
    house = householder(6, 4, dtype, seed=1)
    with pytest.raises(exc) as info:
        spqr_qmult(house, X, method)
    assert str(info.value).startswith(message)


@variants
@pytest.mark.parametrize("shape", [(0, 0), (0, 4)])
def test_matrix_without_rows(dtype, itype, shape):
    # Q of a matrix without rows is 0 x 0: every product is empty.
    house = spqr(as_csc(np.zeros(shape), dtype, itype), mode="householder")[0]
    for method, X in (("QX", np.ones((0, 3))), ("QTX", np.ones((0, 3))), ("XQ", np.ones((2, 0))),
                      ("XQT", np.ones((2, 0))), ("QX", np.ones(0))):
        Y = spqr_qmult(house, X.astype(dtype), method)
        assert type(Y) is np.ndarray and Y.shape == X.shape and Y.dtype == dtype
    Y = spqr_qmult(house, sp.csc_array((0, 3), dtype=dtype), "QTX")
    assert sp.issparse(Y) and Y.shape == (0, 3)


def readonly(a):
    a = a.copy(order="F")
    a.setflags(write=False)
    return a


@pytest.mark.parametrize("change", ["v short", "tau short", "X rows", "X cols", "X sparse",
                                    "v out of range", "v repeated", "H rows",
                                    "tau read-only", "v read-only", "X read-only"])
@variants
def test_kernel_rejects_inconsistent_arguments(dtype, itype, change):
    H, tau, v = householder(6, 4, dtype, itype, seed=1)
    args = {"method": 1, "H": H, "tau": np.asfortranarray(tau.reshape(1, -1)), "v": v,
            "X": np.asfortranarray(operand((6, 2), dtype))}
    assert relerr(_qmult(**args), spqr_qmult((H, tau, v), args["X"])) < TOL
    Hbad = H.copy()
    Hbad.indices[0] = 6  # unchecked by the kernel's callers
    bad = {"v short": {"v": v[:-1].copy()}, "H rows": {"H": Hbad},
           "tau short": {"tau": np.asfortranarray(args["tau"][:, :-1])},
           "X rows": {"X": np.asfortranarray(operand((5, 2), dtype))},
           "X cols": {"method": 3, "X": np.asfortranarray(operand((2, 5), dtype))},
           "X sparse": {"X": sp.csc_array(operand((5, 2), dtype))},
           "v out of range": {"v": np.where(v == 5, 6, v).astype(itype)},
           "v repeated": {"v": np.where(v == 5, 0, v).astype(itype)},
           "tau read-only": {"tau": readonly(args["tau"])},
           "v read-only": {"v": readonly(v)},
           "X read-only": {"X": readonly(args["X"])}}[change]
    with pytest.raises(ValueError):
        _qmult(**{**args, **bad})
    if change in ("v out of range", "v repeated"):  # forged triples, dense or sparse X
        for X in (args["X"], sp.csc_array(args["X"])):
            with pytest.raises(ValueError):
                spqr_qmult((H, tau, bad["v"]), X)


MATRICES = sorted(p.stem for p in __import__("conftest").DATA_DIR.glob("*.mtx"))


@pytest.mark.parametrize("name", MATRICES)
@pytest.mark.parametrize("order", [None, "fixed", "amd"])
def test_every_returned_form_is_accepted(name, order):
    # The checks made on a Householder form accept every form spqr returns.
    for itype in (np.int32, np.int64):
        A = load_mtx(name, itype=itype)
        house, R, E = spqr(A, mode="householder", order=order)
        m = A.shape[0]
        X = operand((m, 2), A.dtype)
        Y = spqr_qmult(house, spqr_qmult(house, X, "QTX"), "QX")
        assert relerr(Y, X) < 1e-10
        H, tau, perm = house
        np.testing.assert_array_equal(
            _qmult(0, H, np.asfortranarray(np.atleast_1d(tau).reshape(1, -1)), perm, np.asfortranarray(X)),  # Q^H X
            spqr_qmult(house, X, "QTX"))
