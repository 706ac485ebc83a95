"""Property-based checks of every public function against dense NumPy references.

Matrices of 0..40 rows and columns in all four variants reach the package in
every SciPy format (sparse arrays and spmatrix) or as dense input, with explicit
zeros, duplicate and unsorted entries, empty rows and columns and rank
deficiency.  Results are compared with dense references, with tolerances scaled
by conditioning; where the reference is ill-conditioned only the structural
properties are checked.  The caller's arrays must stay byte-identical.
"""
import pickle
import warnings
from dataclasses import dataclass

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import HealthCheck, event, given, settings, strategies as st

from orvex.spqr import (SPQRFactor, SPQRRankDeficiencyWarning, spqr, spqr_factor, spqr_qmult,
                        spqr_solve)
from orvex.utils import validate_csc_input
from conftest import METHODS, VARIANTS, relerr

COND_MAX = 1e8          # beyond this the numeric comparisons are skipped
FORMATS = ["csc", "csr", "coo", "lil", "dok", "dia", "bsr"]
ORDERS = [None, "default", "fixed", "natural", "colamd", "amd", "metis", "best", "cholmod", "bestamd"]


def profile(n):
    return settings(max_examples=n, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# ---- the caller's data ------------------------------------------------------------------

def snapshot(obj):
    """Bytes of every array the caller holds in ``obj``."""
    if obj is None or np.isscalar(obj):
        return obj
    if isinstance(obj, list):
        return pickle.dumps(obj)
    if isinstance(obj, np.ndarray):
        base = obj.base if isinstance(obj.base, np.ndarray) else obj
        return obj.dtype.str, obj.shape, obj.strides, obj.tobytes(), base.tobytes()
    if obj.format in ("lil", "dok"):
        return pickle.dumps((obj.rows, obj.data) if obj.format == "lil" else sorted(obj.items()))
    arrays = {k: v for k, v in vars(obj).items() if isinstance(v, np.ndarray)}
    arrays.update({f"coords{i}": c for i, c in enumerate(getattr(obj, "coords", ()))})
    return {k: (v.dtype.str, v.shape, v.tobytes()) for k, v in sorted(arrays.items())}


@dataclass
class Problem:
    D: np.ndarray        # dense reference
    A: object            # what the caller passes
    dtype: np.dtype
    itype: np.dtype      # index type the caller chose (meaningful for "csc")
    fmt: str

    @property
    def shape(self):
        return self.D.shape


def sampler(rng, dtype, ints):
    def sample(*shape):
        part = (lambda: rng.integers(-2, 3, shape).astype(float)) if ints else (lambda: rng.uniform(-1, 1, shape))
        return part() + 1j * part() if dtype.kind == "c" else part()
    return sample


def dense_reference(draw, m, n, dtype, rng):
    sample = sampler(rng, dtype, draw(st.booleans()))
    density = draw(st.sampled_from([0.05, 0.2, 0.5, 1.0]))
    mask = lambda p, q: rng.random((p, q)) < density
    kind = draw(st.sampled_from(["diagonal plus random", "random", "low rank", "zero"]))
    event(f"matrix: {kind}")
    if kind == "low rank":
        r = draw(st.integers(0, max(0, min(m, n) - 1)))
        D = (sample(m, r) * mask(m, r)) @ (sample(r, n) * mask(r, n)) if r else np.zeros((m, n))
    elif kind == "zero":
        D = np.zeros((m, n))
    else:
        D = sample(m, n) * mask(m, n)
        if kind == "diagonal plus random":
            D += 3 * np.eye(m, n)
    D = D.astype(dtype)
    if n > 1 and draw(st.booleans()):           # duplicated columns
        src, dst = rng.integers(0, n, (2, draw(st.integers(1, 3))))
        D[:, dst] = D[:, src]
        event("duplicated columns")
    if n and draw(st.booleans()):                # zero columns
        D[:, rng.integers(0, n, draw(st.integers(1, 3)))] = 0
        event("zero columns")
    if m and draw(st.booleans()):                # empty rows
        D[rng.integers(0, m, draw(st.integers(1, 3))), :] = 0
        event("empty rows")
    return D


def caller_input(draw, D, itype, rng):
    """``D`` in a drawn format, with drawn irregularities; the values stay exact."""
    m, n = D.shape
    fmt = draw(st.sampled_from(FORMATS + ["dense"]))
    if fmt == "dense":
        layout = draw(st.sampled_from(["C", "F", "strided"] + ["list"] * (m > 0)))  # [] is 1-D
        event(f"input: dense {layout}")
        if layout == "strided":
            W = np.zeros((m, 2 * n), D.dtype)
            W[:, ::2] = D
            return fmt, W[:, ::2]
        return fmt, D.tolist() if layout == "list" else np.array(D, order=layout)
    kind = draw(st.sampled_from(["array", "matrix"]))
    event(f"input: {fmt}_{kind}")
    r, c = np.nonzero(D)
    v = D[r, c]
    if m and n and draw(st.booleans()):          # explicit zeros
        k = int(rng.integers(1, 6))
        r, c = np.append(r, rng.integers(0, m, k)), np.append(c, rng.integers(0, n, k))
        v = np.append(v, np.zeros(k, D.dtype))
    if len(v) and draw(st.booleans()):           # duplicates: v -> v, -v, v (an exact sum)
        pick = rng.random(len(v)) < 0.3
        r, c = np.concatenate([r, r[pick], r[pick]]), np.concatenate([c, c[pick], c[pick]])
        v = np.concatenate([v, -v[pick], v[pick]])
    unsorted = draw(st.booleans())
    if unsorted:
        p = rng.permutation(len(v))
        r, c, v = r[p], c[p], v[p]
    if fmt in ("csc", "csr"):
        major, minor, count = (c, r, n) if fmt == "csc" else (r, c, m)
        order = np.argsort(major, kind="stable") if unsorted else np.lexsort((minor, major))
        indptr = np.concatenate([[0], np.cumsum(np.bincount(major, minlength=count))])
        M = getattr(sp, f"{fmt}_{kind}")((v[order], minor[order], indptr), shape=(m, n))
        M.indices, M.indptr = minor[order].astype(itype), indptr.astype(itype)
        return fmt, M
    M = getattr(sp, f"coo_{kind}")((v, (r.astype(itype), c.astype(itype))), shape=(m, n))
    if fmt == "bsr":
        R = draw(st.sampled_from([b for b in (1, 2, 3) if m % b == 0]))
        C = draw(st.sampled_from([b for b in (1, 2, 3) if n % b == 0]))
        M = M.tobsr(blocksize=(R, C))
        M.indices, M.indptr = M.indices.astype(itype), M.indptr.astype(itype)
        return fmt, M
    return fmt, M.asformat(fmt)


@st.composite
def problems(draw, max_side=40):
    dtype, itype = draw(st.sampled_from(VARIANTS))
    m, n = draw(st.integers(0, max_side)), draw(st.integers(0, max_side))
    event(f"largest side: {(max(m, n) + 9) // 10 * 10 if max(m, n) else 0}")
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    D = dense_reference(draw, m, n, dtype, rng)
    fmt, A = caller_input(draw, D, itype, rng)
    return Problem(D, A, dtype, itype, fmt)


def operands(draw, shape, dtype, seed):
    """A dense operand of ``shape`` in a drawn memory layout."""
    rng = np.random.default_rng(seed)
    X = rng.standard_normal(shape) + (1j * rng.standard_normal(shape) if dtype.kind == "c" else 0)
    X = X.astype(dtype)
    layout = draw(st.sampled_from(["C", "F", "strided", "reversed"]))
    if layout == "strided":
        W = np.zeros(shape[:-1] + (2 * shape[-1],), dtype)
        W[..., ::2] = X
        return W[..., ::2]
    if layout == "reversed":
        return np.ascontiguousarray(X[::-1])[::-1]
    return np.array(X, order=layout)


def sparse_operand(draw, X):
    """``X`` with some entries dropped, in a drawn sparse format."""
    X = X * (np.random.default_rng(X.size).random(X.shape) < 0.5)
    fmt = draw(st.sampled_from(["csc", "csr", "coo", "lil", "dok", "csc_matrix"]))
    S = sp.csc_matrix(X) if fmt == "csc_matrix" else sp.csc_array(X).asformat(fmt)
    return S, X


# ---- dense references ---------------------------------------------------------------------

def conditioning(D):
    """Condition number of ``D`` once zero rows, zero columns and repeated
    columns (which SPQR's rank detection removes exactly) are dropped, and the
    rank that then remains."""
    if D.size == 0:
        return 1.0, 0
    R = D[np.abs(D).sum(axis=1) > 0]
    R = R[:, np.abs(R).sum(axis=0) > 0] if R.size else R
    if R.size:
        R = np.unique(R, axis=1)
    if R.size == 0:
        return 1.0, 0
    s = np.linalg.svd(R, compute_uv=False)
    cond = s[0] / s[-1] if s[-1] > 0 else np.inf
    return cond, min(R.shape)


def lstsq(D, b):
    if D.size == 0:
        return np.zeros((D.shape[1],) + b.shape[1:], np.result_type(D, b))
    return np.linalg.lstsq(D, b, rcond=None)[0]


def norm(x):
    return np.linalg.norm(x.toarray() if sp.issparse(x) else x)


def check_least_squares(D, b, x, cond):
    """``x`` minimises ||D x - b|| as well as the dense reference does."""
    nA, nx, nb = norm(D), norm(x), norm(b)
    scale = nA * nx + nb
    r = b - D @ x
    assert norm(D.conj().T @ r) <= 1e-12 * max(D.shape) * nA * scale + 1e-300
    r_ref = norm(b - D @ lstsq(D, b))
    assert norm(r) <= r_ref + 1e-13 * max(D.shape) * cond * scale + 1e-300


def check_min_norm(D, c, x, cond):
    """``x`` is the minimum 2-norm solution of the consistent system D x = c."""
    ref = np.linalg.pinv(D) @ c if D.size else np.zeros((D.shape[1],) + c.shape[1:])
    assert relerr(x, ref) <= 1e-13 * max(D.shape) * cond


def check_unitary(Q):
    assert relerr(Q.conj().T @ Q, np.eye(Q.shape[1])) <= 1e-13 * max(Q.shape[0], 1)


def qr_bound(D):
    """What SPQR may drop (columns below its default tolerance) plus rounding."""
    m, n = D.shape
    return 1e-13 * (m + n + 1) * (np.sqrt(n) + 2) * max(norm(D), 1e-300)


def apply_dense(Q, X, method):
    Qm = Q.conj().T if method in ("QTX", "XQT") else Q
    return Qm @ X if method in ("QX", "QTX") else X @ Qm


def operand_shape(method, m, k):
    return (m, k) if method in ("QX", "QTX") else (k, m)


def recorded(call):
    """Call, and return the result with the categories of the warnings issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, {w.category for w in caught}


# ---- properties ------------------------------------------------------------------------------

@given(problems())
@profile(1200)
def test_validate_matches_dense(p):
    before = snapshot(p.A)
    B, _, itype = validate_csc_input(p.A)
    assert type(B) is sp.csc_array and B.shape == p.shape and B.dtype == p.dtype
    assert itype in (np.int32, np.int64) and B.indptr.dtype == B.indices.dtype == itype
    if p.fmt == "csc":
        assert itype == p.itype
    assert all(np.all(np.diff(B.indices[a:b]) > 0) for a, b in zip(B.indptr[:-1], B.indptr[1:]))
    np.testing.assert_array_equal(B.toarray(), p.D)
    assert snapshot(p.A) == before


@given(problems(), st.data())
@profile(1200)
def test_factor_solve(p, data):
    m, n = p.shape
    draw = data.draw
    build = draw(st.sampled_from(["singletons", "factorize", "refactorize", "spqr_factor",
                                  "spqr_factor singletons"]))
    order = draw(st.sampled_from(ORDERS))
    before = snapshot(p.A)
    if build == "singletons":
        f = SPQRFactor(p.A, use_singletons=True, order=order)
    elif build.endswith("factorize"):
        f = SPQRFactor(p.A, order=order)
        assert (f.is_numeric, f.rank) == (False, None)
        assert f.factorize(p.A) is f
    else:
        f = spqr_factor(p.A, use_singletons=build.endswith("singletons"), order=order)
    assert f.is_numeric and f.shape == (m, n) and f.dtype == p.dtype
    assert f.itype == validate_csc_input(p.A)[2] and (p.fmt != "csc" or f.itype == p.itype)
    assert f.perm.dtype == f.itype and sorted(f.perm) == list(range(n))
    D = p.D
    if build == "refactorize":                   # new values in the analysed pattern
        B = validate_csc_input(p.A)[0].copy()
        B.data = operands(draw, B.data.shape, p.dtype, draw(st.integers(0, 99))) + 2
        D, B_before = B.toarray(), snapshot(B)
        with warnings.catch_warnings():
            warnings.simplefilter("error")       # the tolerance stays: no warning
            assert f.factorize(B) is f and f.is_numeric
        assert snapshot(B) == B_before
    cond, rank = conditioning(D)
    reliable = cond <= COND_MAX
    assert 0 <= f.rank <= min(m, n) and f.info.rank_A_estimate == f.rank
    if reliable:
        assert f.rank == rank
    deficient = f.rank < min(m, n)
    event(f"rank deficient: {deficient}, reliable reference: {reliable}")

    k = draw(st.sampled_from([None, 1, 3]))
    b = operands(draw, (m,) if k is None else (m, k), p.dtype, draw(st.integers(0, 99)))
    b_before = snapshot(b)
    x, warned = recorded(lambda: f.solve(b))
    assert (SPQRRankDeficiencyWarning in warned) == deficient
    assert x.shape == (n,) + b.shape[1:] and x.dtype == p.dtype
    if reliable:
        check_least_squares(D, b, x, cond)

    y = operands(draw, (m,) if k is None else (m, k), p.dtype, draw(st.integers(0, 99)))
    c = D.conj().T @ y                         # a consistent transposed system
    xt, _ = recorded(lambda: f.solve(c, transpose=True))
    assert xt.shape == (m,) + c.shape[1:] and xt.dtype == p.dtype
    if reliable and not deficient:
        check_min_norm(D.conj().T, c, xt, cond)

    transpose = draw(st.booleans())
    Bs, Bd = sparse_operand(draw, operands(draw, ((n if transpose else m), draw(st.integers(0, 6))),
                                           p.dtype, 7))
    Xs, _ = recorded(lambda: f.solve(Bs, transpose=transpose, rhs_batch_size=draw(st.integers(1, 4))))
    assert isinstance(Xs, sp.csc_array) and Xs.shape == ((m if transpose else n), Bd.shape[1])
    assert Xs.dtype == p.dtype and Xs.indptr.dtype == Xs.indices.dtype == f.itype
    Xd, _ = recorded(lambda: f.solve(Bd, transpose=transpose))
    if reliable:
        assert relerr(Xs.toarray(), Xd) <= 1e-13 * max(m, n, 1) * cond

    g = f.copy()
    assert (g.rank, g.shape, g.itype, g.dtype) == (f.rank, f.shape, f.itype, f.dtype)
    np.testing.assert_array_equal(g.perm, f.perm)
    np.testing.assert_array_equal(recorded(lambda: g.solve(b))[0], x)
    del f
    np.testing.assert_array_equal(recorded(lambda: g.solve(c, transpose=True))[0], xt)
    assert snapshot(p.A) == before and snapshot(b) == b_before


@given(problems(), st.data())
@profile(800)
def test_factor_qmult(p, data):
    m, n = p.shape
    draw = data.draw
    singletons = draw(st.booleans())
    before = snapshot(p.A)
    f = SPQRFactor(p.A, use_singletons=singletons, order=draw(st.sampled_from(ORDERS)))
    if not singletons:
        f.factorize(p.A)
    Q = f.qmult(np.eye(m, dtype=p.dtype))
    assert Q.shape == (m, m) and Q.dtype == p.dtype
    check_unitary(Q)
    R = Q.conj().T @ p.D[:, f.perm]              # Q^H A E is upper trapezoidal
    assert norm(np.tril(R, -1)) <= f.info.norm_E_fro + qr_bound(p.D)

    for method in METHODS:
        k = draw(st.integers(0, 4))
        X = operands(draw, operand_shape(method, m, k), p.dtype, draw(st.integers(0, 99)))
        X_before = snapshot(X)
        Y = f.qmult(X, method)
        assert type(Y) is np.ndarray and Y.shape == X.shape and Y.dtype == p.dtype
        assert relerr(Y, apply_dense(Q, X, method)) <= 1e-13 * max(m, 1)
        Xs, Xd = sparse_operand(draw, X)
        Ys = f.qmult(Xs, method)
        assert isinstance(Ys, sp.csc_array) and Ys.shape == X.shape and Ys.dtype == p.dtype
        assert relerr(Ys.toarray(), apply_dense(Q, Xd, method)) <= 1e-13 * max(m, 1)
        if k and method in ("QX", "QTX"):       # a vector operand gives a vector
            assert relerr(f.qmult(X[:, 0], method), apply_dense(Q, X[:, 0], method)) <= 1e-13 * max(m, 1)
        elif k:                                  # ... and a row for X Q, X Q^H
            assert relerr(f.qmult(X[0], method), apply_dense(Q, X[:1], method)[0]) <= 1e-13 * max(m, 1)
        assert snapshot(X) == X_before
    assert snapshot(p.A) == before


@given(problems(), st.data())
@profile(800)
def test_spqr_modes(p, data):
    m, n = p.shape
    draw = data.draw
    order = draw(st.sampled_from(ORDERS))
    before = snapshot(p.A)
    bound = qr_bound(p.D)
    AtA = p.D.conj().T @ p.D

    def check_factors(Q, R, E, rows):
        R = R.toarray()
        assert R.shape == (rows, n) and R.dtype == p.dtype and not np.tril(R, -1).any()
        assert E.dtype == validate_csc_input(p.A)[2] and sorted(E) == list(range(n))
        AE = p.D[:, E]
        assert norm(R.conj().T @ R - AtA[np.ix_(E, E)]) <= 2 * bound * max(norm(p.D), 1e-300)
        if Q is not None:
            Q = Q.toarray() if sp.issparse(Q) else Q
            assert Q.shape == (m, rows) and Q.dtype == p.dtype
            check_unitary(Q)
            assert norm(Q @ R - AE) <= bound

    def identity_if_none(E):                     # SPQR returns none for order="fixed"
        assert (E is None) == (order == "fixed")
        return np.arange(n, dtype=validate_csc_input(p.A)[2]) if E is None else E

    Q, R, E = spqr(p.A, order=order)
    check_factors(Q, R, identity_if_none(E), m)
    Q, R, E = spqr(p.A, mode="economic", order=order)
    check_factors(Q, R, identity_if_none(E), min(m, n))
    R, E = spqr(p.A, mode="r", order=order)
    check_factors(None, R, identity_if_none(E), m)

    house, R, E = spqr(p.A, mode="householder", order=order)
    E = identity_if_none(E)
    H, tau, perm = house
    assert isinstance(H, sp.csc_array) and H.shape[0] == m and H.dtype == p.dtype
    assert np.shape(tau) in ((H.shape[1],), ()) and perm.dtype == E.dtype and sorted(perm) == list(range(m))
    Qh = spqr_qmult(house, np.eye(m, dtype=p.dtype))
    check_factors(Qh, R, E, m)
    for method in METHODS:
        k = draw(st.integers(0, 4))
        X = operands(draw, operand_shape(method, m, k), p.dtype, draw(st.integers(0, 99)))
        X_before = snapshot(X)
        Y = spqr_qmult(house, X, method)
        assert type(Y) is np.ndarray and Y.shape == X.shape
        assert relerr(Y, apply_dense(Qh, X, method)) <= 1e-13 * m
        Xs, Xd = sparse_operand(draw, X)
        Ys = spqr_qmult(list(house), Xs, method)
        assert isinstance(Ys, sp.csc_array) and Ys.shape == X.shape
        assert relerr(Ys.toarray(), apply_dense(Qh, Xd, method)) <= 1e-13 * m
        if method in ("QX", "QTX") and k:
            assert relerr(spqr_qmult(house, X[:, 0], method), Y[:, 0]) <= 1e-13 * m
        assert snapshot(X) == X_before
    assert snapshot(p.A) == before


@given(problems(), st.data())
@profile(1500)
def test_spqr_solve(p, data):
    m, n = p.shape
    draw = data.draw
    min2norm, transpose = draw(st.booleans()), draw(st.booleans())
    before = snapshot(p.A)
    cond, rank = conditioning(p.D)
    full = cond <= COND_MAX and rank == min(m, n)
    event(f"full rank and well conditioned: {full}")
    k = draw(st.sampled_from([None, 2]))
    shape = lambda rows: (rows,) if k is None else (rows, k)
    wide = m < n
    if wide and min2norm or not transpose:       # A x = b
        system, rhs_rows, x_rows = p.D, m, n
    else:                                        # A^H x = b
        system, rhs_rows, x_rows = p.D.conj().T, n, m
    if system.shape[0] > system.shape[1] or draw(st.booleans()):   # b in the range of the system
        b = system @ operands(draw, shape(system.shape[1]), p.dtype, draw(st.integers(0, 99)))
    else:
        b = operands(draw, shape(rhs_rows), p.dtype, draw(st.integers(0, 99)))
    b_before = snapshot(b)
    x, _ = recorded(lambda: spqr_solve(p.A, b, min2norm=min2norm, transpose=transpose))
    assert x.shape == shape(x_rows) and x.dtype == p.dtype
    if full and system is p.D and not (wide and min2norm):
        check_least_squares(system, b, x, cond)     # least squares, or the basic solution
    elif full:
        check_min_norm(system, b, x, cond)          # the minimum 2-norm solution
    if k and draw(st.booleans()):                # the same system with a sparse b
        bs, bd = sparse_operand(draw, b)
        xs, _ = recorded(lambda: spqr_solve(p.A, bs, min2norm=min2norm, transpose=transpose,
                                            rhs_batch_size=draw(st.integers(1, 3))))
        assert isinstance(xs, sp.csc_array) and xs.shape == x.shape and xs.dtype == p.dtype
        xd, _ = recorded(lambda: spqr_solve(p.A, bd, min2norm=min2norm, transpose=transpose))
        if full:
            assert relerr(xs.toarray(), xd) <= 1e-13 * max(m, n, 1) * cond
    assert snapshot(p.A) == before and snapshot(b) == b_before
