"""Products with a triple that spqr made: applied through the panels spqr
arranged for it (a private copy of its structure), they give bit
for bit what the same triple gives as a hand-made copy, checked and applied
reflector by reflector; H's values are read as they are now, and a NaN or
infinity among them is refused."""
import numpy as np
import pytest
import scipy.sparse as sp

from orvex import _ext
from orvex.spqr import spqr, spqr_qmult
from conftest import METHODS, make_matrix, needs_test_hooks, operand, relerr, variants
from test_qkernel import dense_q, kernel, x_for

pytestmark = needs_test_hooks

# (m, n, density): tall, wide, with panels of listed rows, with fronts
# beyond a panel's row limit, and with singleton rows and columns.
SHAPES = [(60, 25, 0.3), (25, 60, 0.3), (400, 300, 0.01), (5000, 12, 0.3), (40, 30, 0.03)]


def copy_of(house):
    return type(house)(house.H.copy(), house.tau.copy(), house.perm.copy())


@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: "x".join(map(str, s)))
@variants
def test_made_triple_equals_its_checked_copy(shape, dtype, itype):
    m, n, density = shape
    A = make_matrix(m, n, dtype, itype, density=density, seed=m)
    house = spqr(A, mode="householder")[0]
    copied = copy_of(house)
    assert _ext._known_triple(house.H) and not _ext._known_triple(copied.H)
    assert _ext._triple_stats(house.H) is not None and _ext._triple_stats(copied.H) is None
    Q = dense_q(house) if m <= 400 else None
    for method in METHODS:
        for w in (1, 2, 5, 8, 33):
            X = x_for(method, m, w, dtype, seed=w)
            for which in ("auto", "orvex"):
                with kernel(which):
                    mine, theirs = spqr_qmult(house, X, method), spqr_qmult(copied, X, method)
                np.testing.assert_array_equal(mine, theirs, err_msg=f"{method} {w} {which}")
            if Q is not None:
                Qm = Q.conj().T if method in ("QTX", "XQT") else Q
                ref = Qm @ X if method in ("QX", "QTX") else X @ Qm
                assert relerr(mine, ref) <= 1e-12, (method, w)
    assert spqr_qmult(house, operand(m, dtype)).shape == (m,)


def test_panels_cover_listed_rows_and_the_row_limit():
    """The shapes above reach every part of the panel structure."""
    stats = [_ext._triple_stats(spqr(make_matrix(m, n, density=d, seed=m), mode="householder")[0].H)
             for m, n, d in SHAPES]
    assert any(s["listed"] > 0 for s in stats)
    assert any(s["panels"] > 1 and s["max_rows"] > 4096 for s in stats)
    assert all(s["bytes"] > 0 for s in stats)


@variants
def test_empty_and_singleton_triples(dtype, itype):
    # H without columns (A = 0; A = I, all singletons), and with a few.
    single = np.eye(6, 4, dtype=dtype)
    single[5, :] = 1
    for D in (np.zeros((6, 4), dtype), np.eye(5, dtype=dtype), single):
        A = sp.csc_array(D)
        A.indptr, A.indices = A.indptr.astype(itype), A.indices.astype(itype)
        house = spqr(A, mode="householder")[0]
        assert house.H.indices.dtype == itype
        m = house.H.shape[0]
        for method in METHODS:
            X = x_for(method, m, 3, dtype)
            np.testing.assert_array_equal(spqr_qmult(house, X, method), spqr_qmult(copy_of(house), X, method))


@variants
def test_values_are_read_as_they_are_now(dtype, itype):
    A = make_matrix(120, 40, dtype, itype, density=0.1, seed=2)
    house = spqr(A, mode="householder")[0]
    house.H.data[:] *= 0.5
    house.tau[:] *= 1.5
    for method in METHODS:
        for w in (1, 4, 12):
            X = x_for(method, 120, w, dtype)
            np.testing.assert_array_equal(spqr_qmult(house, X, method), spqr_qmult(copy_of(house), X, method))
    # v and H's pointers are compared with spqr's: an equal copy still counts
    # as made, another v takes the checked path.
    house.H.indptr = house.H.indptr.copy()
    assert _ext._known_triple(house.H)
    perm = house.perm.copy()
    house.perm[[0, 1]] = house.perm[[1, 0]]
    X = x_for("QTX", 120, 2, dtype)
    np.testing.assert_array_equal(spqr_qmult(house, X, "QTX"), spqr_qmult(copy_of(house), X, "QTX"))
    house.perm[:] = perm
    # A structure replaced by another array is no longer spqr's.
    house.H.indices = house.H.indices.copy()
    assert not _ext._known_triple(house.H)
    np.testing.assert_array_equal(spqr_qmult(house, X, "QTX"), spqr_qmult(copy_of(house), X, "QTX"))


@pytest.mark.parametrize("where", ["vector", "unit entry", "skipped vector"])
@variants
def test_non_finite_values_are_refused(where, dtype, itype):
    A = make_matrix(80, 30, dtype, itype, density=0.2, seed=4)
    house = spqr(A, mode="householder")[0]
    H = house.H
    k = 7
    p = H.indptr[k] + (0 if where == "unit entry" else 1)
    if where == "skipped vector":
        house.tau[k] = 0
    for bad in (np.nan, np.inf):
        H.data[p] = bad
        for method in ("QTX", "QX"):
            for w in (1, 33):   # orvex's kernel, then SPQR's
                with pytest.raises(ValueError, match="H contains NaN or infinite values"):
                    spqr_qmult(house, x_for(method, 80, w, dtype), method)
        # and so with another v (the checked path)
        v = house.perm.copy()
        house.perm[[0, 1]] = house.perm[[1, 0]]
        with pytest.raises(ValueError, match="H contains NaN or infinite values"):
            spqr_qmult(house, x_for("QTX", 80, 1, dtype), "QTX")
        house.perm[:] = v
    # a finite product beyond the range is returned, not refused
    H.data[p] = 1.0
    X = x_for("QTX", 80, 1, dtype)
    X[:] = 1e308
    Y = spqr_qmult(house, X, "QTX")
    assert not np.all(np.isfinite(Y))
