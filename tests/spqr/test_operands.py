"""Operands at the edges: matrices whose norms SPQR cannot square, non-finite
and one-dimensional operands of products with Q, non-native byte orders."""
import numpy as np
import pytest
import scipy.sparse as sp

from orvex.spqr import SPQRFactor, spqr, spqr_qmult, spqr_solve
from orvex.spqr import _native, _qmult
from conftest import make_matrix, operand, relerr, variants

SCALES = [2.0 ** 1000, 1e300, 1e200, 1e-200, 1e-300, 2.0 ** -1000]


@variants
@pytest.mark.parametrize("scale", SCALES, ids=lambda s: f"{s:.0e}")
def test_scaled_matrices_give_scaled_results(dtype, itype, scale):
    # Scaling A by c scales R by c and x by 1/c, and changes nothing else;
    # NumPy's lstsq is the reference.
    A = make_matrix(12, 5, dtype, itype, seed=3)
    b = operand((12,), dtype, seed=4)
    As = (A * scale).tocsc()
    As.indices, As.indptr = As.indices.astype(itype), As.indptr.astype(itype)
    # (Compared after undoing the scale: norms of the results themselves
    # may not be representable.)
    x = spqr_solve(As, b)
    ref = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
    assert np.all(np.isfinite(x)) and relerr(x * scale, ref) < 1e-12
    f = SPQRFactor(As).factorize(As)
    assert f.rank == 5
    assert relerr(f.solve(b) * scale, ref) < 1e-12
    bt = operand((5,), dtype, seed=5)
    xt = f.solve(bt, transpose=True)
    assert relerr(xt * scale, np.linalg.lstsq(A.toarray().conj().T, bt, rcond=None)[0]) < 1e-12
    Q, R, E = spqr(As, mode="economic")
    R0 = spqr(A, mode="economic")[1]
    assert np.all(np.isfinite(R.toarray()))
    assert relerr(np.abs(R.toarray() / scale), np.abs(R0.toarray())) < 1e-12
    assert relerr(f.info.tol / scale, SPQRFactor(A).factorize(A).info.tol) < 1e-12


def test_column_norms_beyond_float64():
    # A column of norm above the largest double: the solution exists in
    # float64, R does not.
    A = sp.csc_array(np.array([[1.6e308, 1.0], [1.0e308, 2.0e307], [1.2e308, 1.0], [0.0, 1.5e308]]))
    b = np.array([1.0, 2.0, 3.0, 4.0])
    x = spqr_solve(A, b)
    ref = np.linalg.lstsq(A.toarray() / 1e308, b, rcond=None)[0]
    assert relerr(x * 1e308, ref) < 1e-12
    with pytest.raises(OverflowError, match="R has entries beyond the float64 range"):
        spqr(A, mode="economic")
    # Squares overflow, norms do not: R is finite.
    A[0, 0], A[1, 0], A[2, 0] = 0.9e308, 0.5e308, -0.7e308
    _, R, E = spqr(A, mode="economic")
    R = R.toarray()
    assert np.all(np.isfinite(R))
    assert relerr(np.abs(R / 1e308), np.abs(np.linalg.qr(A.toarray()[:, E] / 1e308)[1])) < 1e-12


def test_scale_follows_each_refactorization():
    A = make_matrix(10, 4, seed=6)
    b = np.arange(1.0, 11.0)
    f = SPQRFactor(A)
    ref = f.factorize(A).solve(b)
    for scale in (1e250, 1.0, 1e-250):
        assert relerr(f.factorize(A * scale).solve(b) * scale, ref) < 1e-12
        assert relerr(f.copy().solve(b) * scale, ref) < 1e-12


@variants
@pytest.mark.parametrize("method", ["XQ", "XQT"])
def test_one_dimensional_operand_is_a_row(dtype, itype, method):
    A = make_matrix(9, 4, dtype, itype, seed=7)
    f = SPQRFactor(A, use_singletons=True)
    house = spqr(A, mode="householder")[0]
    x = operand((9,), dtype, seed=8)
    want = f.qmult(x[None, :].copy(), method)[0]
    for got in (f.qmult(x, method), spqr_qmult(house, x, method)):
        assert got.shape == (9,) and relerr(got, want) < 1e-12
    xs = sp.csc_array(x[None, :])
    got = f.qmult(sp.coo_array(x), method)
    assert got.shape == (9,) and relerr(got.toarray(), want) < 1e-12
    assert relerr(f.qmult(xs, method).toarray()[0], want) < 1e-12


@variants
def test_non_native_byte_order_is_converted(dtype, itype):
    A = make_matrix(8, 5, dtype, itype, seed=9)
    house = spqr(A, mode="householder")[0]
    X = np.asfortranarray(operand((8, 3), dtype, seed=10))
    want = spqr_qmult(house, X, "QTX")
    swapped = type(house)(house.H, house.tau.astype(house.tau.dtype.newbyteorder(">")),
                          house.perm.astype(house.perm.dtype.newbyteorder(">")))
    got = spqr_qmult(swapped, X.astype(X.dtype.newbyteorder(">")), "QTX")
    assert relerr(got, want) < 1e-14


@pytest.mark.parametrize("width", [1, 3, 20, 64])
@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_operands_are_refused_at_every_width(width, bad):
    A = make_matrix(70, 30, seed=11)
    f = SPQRFactor(A, use_singletons=True)
    house = spqr(A, mode="householder")[0]
    X = np.ones((70, width), order="F")
    X[5, 0] = bad
    for method in ("QX", "QTX"):
        with pytest.raises(ValueError, match="X contains NaN or infinite values"):
            f.qmult(X, method)
        with pytest.raises(ValueError, match="X contains NaN or infinite values"):
            spqr_qmult(house, X, method)
    tau = house.tau.copy()
    tau[0] = bad
    with pytest.raises(ValueError, match="tau contains NaN or infinite values"):
        spqr_qmult((house.H, tau, house.perm), np.ones(70))


@variants
def test_triple_changed_after_spqr_is_checked_again(dtype, itype):
    # spqr remembers the structure of the triples it makes; a triple changed
    # since must get the full checks (and the product of what it now holds),
    # with orvex's kernel (2 columns) and SPQR's (40).
    A = make_matrix(30, 10, dtype, itype, seed=12)
    house = spqr(A, mode="householder")[0]
    X = np.asfortranarray(operand((30, 2), dtype, seed=13))
    want = spqr_qmult(house, X, "QTX")
    original = house.H.indices.copy()
    house.H.indices[1] = 10 ** 6
    with pytest.raises(ValueError):
        spqr_qmult(house, X, "QTX")
    house.H.indices[:] = original
    assert np.array_equal(spqr_qmult(house, X, "QTX"), want)
    # Another valid (and canonical) structure, written in place: the last
    # row of a vector moved to row 29, which it does not hold.
    H = house.H
    j = next(j for j in range(H.shape[1])
             if H.indptr[j + 1] - H.indptr[j] >= 2 and H.indices[H.indptr[j + 1] - 1] < 29)
    H.indices[H.indptr[j + 1] - 1] = 29
    for width in (2, 40):
        Xw = np.asfortranarray(operand((30, width), dtype, seed=14))
        copied = type(house)(H.copy(), house.tau.copy(), house.perm.copy())
        got = spqr_qmult(house, Xw, "QTX")
        assert np.array_equal(got, spqr_qmult(copied, Xw, "QTX"))
        assert relerr(got, spqr_qmult(spqr(A, mode="householder")[0], Xw, "QTX")) > 1e-8
    H.indices[:] = original
    house.perm[[0, 1]] = house.perm[[1, 0]]   # still a permutation, another Q
    copied = type(house)(house.H.copy(), house.tau.copy(), house.perm.copy())
    assert np.array_equal(spqr_qmult(house, X, "QTX"), spqr_qmult(copied, X, "QTX"))
    house.perm[0] = house.perm[1]
    with pytest.raises(ValueError):
        spqr_qmult(house, X, "QTX")


def misaligned(a):
    """A copy of `a` (column-major) at an odd address: a view one byte into a
    buffer, as np.frombuffer or a structured array's field can give."""
    a = np.asfortranarray(a)
    raw = np.zeros(a.nbytes + 1, np.uint8)
    v = raw[1:].view(a.dtype).reshape(a.shape, order="F")
    v[...] = a
    assert not v.flags.aligned
    return v


@variants
def test_misaligned_operands_are_read_or_refused(dtype, itype):
    # Every dense operand of every entry point: read correctly (copied), or
    # refused with a ValueError where the low-level kernel asks for an
    # aligned buffer; never read at an address SPQR's kernels do not expect.
    A = make_matrix(12, 5, dtype, itype, seed=14)
    b, B = operand((12,), dtype, seed=15), operand((12, 3), dtype, seed=16)
    f = SPQRFactor(A).factorize(A)
    ref = np.linalg.lstsq(A.toarray(), B, rcond=None)[0]
    assert relerr(f.solve(misaligned(B)), f.solve(B)) < 1e-15
    assert relerr(f.solve(misaligned(B)), ref) < 1e-12
    assert relerr(f.solve(misaligned(b)), f.solve(b)) < 1e-15
    assert relerr(spqr_solve(A, misaligned(b)), spqr_solve(A, b)) < 1e-15
    for method in ("QX", "QTX"):
        assert relerr(f.qmult(misaligned(B), method), f.qmult(B, method)) < 1e-15
    house = spqr(A, mode="householder")[0]
    want = spqr_qmult(house, B, "QTX")
    assert relerr(spqr_qmult(house, misaligned(B), "QTX"), want) < 1e-15
    tau = misaligned(house.tau.reshape(1, -1))
    assert relerr(spqr_qmult((house.H, tau, house.perm), B, "QTX"), want) < 1e-15
    with pytest.raises(ValueError, match="not aligned"):   # the kernel itself
        _qmult(_native.qmult_code("QTX"), house.H, tau, house.perm, np.asfortranarray(B))
    # orvex.rank's least squares and null-space products take their blocks
    # through the same capture.
    import orvex.rank as rk
    x = rk.lstsq(A, misaligned(b)).x
    assert relerr(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0]) < 1e-10
