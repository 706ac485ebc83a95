"""Products with Q through orvex's sparse Householder kernel: the same results
as SPQR's blocked kernel (to rounding) on every test matrix, in the four
variants, for both representations of Q and all four methods; the width
rule picks the kernels as documented; hand-made triples whose entries SPQR's
panels would hide keep SPQR's result."""
import contextlib

import numpy as np
import pytest
import scipy.sparse as sp

from orvex import _ext
from orvex.spqr import SPQRFactor, spqr, spqr_qmult
from conftest import DATA_DIR, METHODS, VARIANTS, VARIANT_IDS, load_mtx, make_matrix, needs_test_hooks, operand, relerr, variants

pytestmark = needs_test_hooks

TOL = 1e-13
MATRICES = sorted(p.stem for p in DATA_DIR.glob("*.mtx"))
WIDTHS = (1, 3)
# The width rule of src/orvex/spqr/qkernel/qkernel.hpp.
FACTOR_MAX, TRIPLE_MAX = 16, 16


@contextlib.contextmanager
def kernel(which):
    before = _ext._qkernel(which)
    try:
        yield
    finally:
        _ext._qkernel(before)


def both(call):
    """`call()` with orvex's kernel, then with SPQR's."""
    with kernel("orvex"):
        mine = call()
    with kernel("spqr"):
        theirs = call()
    return mine, theirs


def x_for(method, m, w, dtype, seed=1):
    shape = (m, w) if method in ("QX", "QTX") else (w, m)
    return np.asfortranarray(operand(shape, dtype, seed))


def matrix(name, dtype, itype):
    A = load_mtx(name, None, itype)
    if A.dtype.kind == "c" and np.dtype(dtype).kind == "f":
        pytest.skip("complex matrix")
    return A.astype(dtype)


def dense_q(house):
    """Q = P^T H_0 H_1 ... H_{k-1} of a triple, in NumPy (each vector's first
    entry taken as 1; row i of X moves to row perm[i])."""
    H, tau, perm = house
    m = H.shape[0]
    Q = np.eye(m, dtype=H.dtype)
    for k in range(H.shape[1] - 1, -1, -1):
        h = H[:, [k]].toarray()[:, 0]
        h[H.indices[H.indptr[k]]] = 1
        Q -= tau[k] * np.outer(h, h.conj() @ Q)
    return Q[perm]


@pytest.mark.parametrize("name", MATRICES)
@variants
def test_kernels_agree_on_every_matrix(name, dtype, itype):
    A = matrix(name, dtype, itype)
    m = A.shape[0]
    house = spqr(A, mode="householder")[0]
    Q = dense_q(house) if m <= 300 else None
    for singletons in (False, True):
        f = SPQRFactor(A, use_singletons=singletons)
        if not f.is_numeric:
            f.factorize(A)
        for method in METHODS:
            for w in WIDTHS:
                X = x_for(method, m, w, dtype, seed=w)
                for label, call in (("factor", lambda: f.qmult(X, method)),
                                    ("triple", lambda: spqr_qmult(house, X, method))):
                    mine, theirs = both(call)
                    assert type(mine) is type(theirs) and mine.dtype == theirs.dtype and mine.shape == X.shape
                    assert mine.flags.owndata == theirs.flags.owndata
                    assert relerr(mine, theirs) <= TOL, (singletons, method, w, label)
                    if Q is not None and label == "triple":   # the explicit Q of the same ordering
                        Qm = Q.conj().T if method in ("QTX", "XQT") else Q
                        ref = Qm @ X if method in ("QX", "QTX") else X @ Qm
                        assert relerr(mine, ref) <= 1e-12


@variants
def test_solves_agree(dtype, itype):
    A = make_matrix(60, 25, dtype, itype, seed=5)
    W = make_matrix(20, 50, dtype, itype, seed=6)
    f, fw = SPQRFactor(A, use_singletons=True), SPQRFactor(W.conj().T.tocsc(), use_singletons=True)
    b = operand(60, dtype, 2)
    B = sp.csc_array(make_matrix(60, 7, dtype, itype, seed=7))
    calls = {"solve": lambda: f.solve(b), "solve 3 columns": lambda: f.solve(operand((60, 3), dtype, 3)),
             "transposed": lambda: fw.solve(operand(20, dtype, 4), transpose=True),
             "sparse": lambda: f.solve(B, rhs_batch_size=2).toarray()}
    for name, call in calls.items():
        mine, theirs = both(call)
        assert relerr(mine, theirs) <= TOL, name
    x = f.solve(b)  # and it is the least-squares solution
    ref = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
    assert relerr(x, ref) <= 1e-10


@variants
def test_width_rule(dtype, itype):
    """Up to the crossover orvex's kernel runs, beyond it SPQR's: `auto`
    gives bit for bit the result of the kernel the rule names."""
    A = make_matrix(120, 40, dtype, itype, seed=8, density=0.1)
    f = SPQRFactor(A)
    f.factorize(A)
    house = spqr(A, mode="householder")[0]
    for label, limit, call in (("factor", FACTOR_MAX, lambda X, mth: f.qmult(X, mth)),
                               ("triple", TRIPLE_MAX, lambda X, mth: spqr_qmult(house, X, mth))):
        for method in ("QTX", "XQ"):
            for w in (1, limit, limit + 1):
                X = x_for(method, 120, w, dtype)
                with kernel("auto"):
                    auto = call(X, method)
                with kernel("orvex" if w <= limit else "spqr"):
                    named = call(X, method)
                np.testing.assert_array_equal(auto, named, err_msg=f"{label} {method} {w}")


CODES = {"QTX": 0, "QX": 1, "XQT": 2, "XQ": 3}


def hidden_entry_triple(dtype, itype, first=1.0, hide=True):
    """A triple of SPQR's form except that (with `hide`) the second vector
    holds, last, the first row of the first: SPQR's forward panel takes that
    entry as zero.  Rows unsorted, so it is given to the kernel directly."""
    indptr = np.array([0, 3, 7 if hide else 6, 9 if hide else 8], dtype=itype)
    rows = [0, 1, 2, 1, 2, 3] + ([0] if hide else []) + [2, 3]
    vals = [first, 0.5, 0.25, first, -0.4, 0.3] + ([0.7] if hide else []) + [first, 0.6]
    H = sp.csc_array((np.array(vals, dtype=dtype), np.array(rows, dtype=itype), indptr), shape=(4, 3))
    tau = np.asfortranarray(np.array([[1.2, 0.8, 1.5]], dtype=dtype))
    return H, tau, np.array([2, 0, 3, 1], dtype=itype)


@variants
def test_hand_made_triples_keep_spqr_results(dtype, itype):
    for first in (1.0, 3.0):       # the first entry of each vector is taken as 1 by both kernels
        for hide in (True, False):
            H, tau, v = hidden_entry_triple(dtype, itype, first, hide)
            for method, code in CODES.items():
                X = x_for(method, 4, 2, dtype)
                mine, theirs = both(lambda: _ext._qmult(code, H, tau, v, X))
                assert relerr(mine, theirs) <= TOL, (first, hide, method)
    # The hidden entry matters: applied as stored, the product differs.
    H, tau, v = hidden_entry_triple(dtype, itype)
    Hs = H.toarray()
    Hs[[0, 1, 2], [0, 1, 2]] = 1
    Q = np.eye(4, dtype=dtype)
    for k in range(3):
        Q = Q @ (np.eye(4) - tau[0, k] * np.outer(Hs[:, k], Hs[:, k].conj()))
    X = x_for("QTX", 4, 1, dtype)
    with kernel("auto"):
        got = _ext._qmult(0, H, tau, v, X)
    Xp = np.empty_like(X)
    Xp[v] = X
    assert relerr(got, Q.conj().T @ Xp) > 1e-3


def test_kernel_switch():
    before = _ext._qkernel()
    assert before == "auto"
    assert _ext._qkernel("spqr") == "auto" and _ext._qkernel(None) == "spqr"
    assert _ext._qkernel("auto") == "spqr"
    with pytest.raises(ValueError, match="'auto', 'orvex' or 'spqr'"):
        _ext._qkernel("fast")
    assert _ext._qkernel() == "auto"
