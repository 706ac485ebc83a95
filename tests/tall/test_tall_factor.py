"""RFactor against spqr_solve and orvex.rank on the whole matrix."""
import pickle

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import make_matrix, variants
from tall_problems import blocks_of, conditioned, scattered_fit
import orvex.rank as rk
from orvex.spqr import spqr_solve
from orvex.tall import RFactor, column_order


def factor_of(blocks, **kw):
    f = RFactor.from_rows(*blocks[0], **kw)
    for A_i, b_i in blocks[1:]:
        f.add_rows(A_i, b_i)
    return f


def rel(x, y):
    return np.linalg.norm(x - y) / np.linalg.norm(y)


# ---- well-conditioned problems: the x of spqr_solve ---------------------------------------------

@variants
def test_blocks_give_the_whole_solution(dtype, itype):
    A, b = scattered_fit(12, 900, dtype, itype, seed=1)
    m, n = A.shape
    f = factor_of(blocks_of(A, b, [300, 1, 0, 50, m - 351]), perm=column_order(A))
    assert (f.nrows, f.shape, f.nrhs, f.dtype, f.itype) == (m, (m, n), 1, dtype, itype)
    x_ref = spqr_solve(A, b)
    res = f.solve()
    assert (res.rank, res.flag) == (n, 0) and res.x.shape == (n,) and res.x.dtype == dtype
    assert rel(res.x, x_ref) < 1e-10
    r = np.linalg.norm(b - A @ x_ref)
    assert f.residual_norm == pytest.approx(r, rel=1e-10)
    assert res.residuals[0] == pytest.approx(r ** 2, rel=1e-10)
    # R and c are those of A P: R^H R = P^T A^H A P, R^H c = P^T A^H b
    P = f.perm
    R, c = f.R, f.c
    assert sp.issparse(R) and R.format == "csc" and R.shape == (n, n) and R.indices.dtype == itype
    assert sp.tril(R, -1).nnz == 0
    AP = A[:, P].toarray()
    G = AP.conj().T @ AP
    assert np.abs((R.conj().T @ R).toarray() - G).max() < 1e-12 * np.abs(G).max()
    assert rel(R.conj().T @ c, AP.conj().T @ b) < 1e-12


@variants
def test_several_right_hand_sides_and_merge_trees(dtype, itype):
    A, b = scattered_fit(8, 500, dtype, itype, seed=2)
    B = np.column_stack([b, np.arange(A.shape[0], dtype=dtype), -2 * b])
    P = column_order(A)
    parts = blocks_of(A, B, [100, 100, 100, 100, A.shape[0] - 400])
    leaves = [RFactor.from_rows(A_i, B_i, perm=P) for A_i, B_i in parts]
    chain = leaves[0]
    for g in leaves[1:]:
        chain = chain.merge(g)
    tree = leaves[0].merge(leaves[1]).merge(leaves[2].merge(leaves[3]).merge(leaves[4]))
    assert leaves[0].nrows == 100  # merge leaves its operands alone
    x_ref = spqr_solve(A, B)
    for f in (chain, tree, factor_of(parts, perm=P)):
        assert f.nrhs == 3 and f.c.shape == (A.shape[1], 3) and f.residual_norm.shape == (3,)
        x = f.solve().x
        assert x.shape == (A.shape[1], 3)
        assert rel(x, x_ref) < 1e-10
        assert np.allclose(f.residual_norm, np.linalg.norm(B - A @ x_ref, axis=0), rtol=1e-10)


def test_merge_of_several_factors_and_empty_ones():
    A, b = scattered_fit(6, 200, seed=3)
    P = column_order(A)
    empty = RFactor.from_rows(A[:0], b[:0], perm=P)
    assert empty.nrows == 0 and np.all(empty.c == 0) and empty.residual_norm == 0
    halves = [RFactor.from_rows(A[:120], b[:120], perm=P), RFactor.from_rows(A[120:], b[120:], perm=P)]
    f = empty.merge(halves[0]).merge(empty).merge(halves[1])
    assert rel(f.solve().x, spqr_solve(A, b)) < 1e-10
    assert empty.merge(empty).nrows == 0


# ---- rank deficiency: the rank and the minimum-norm solution of orvex.rank ----------------------

@variants
@pytest.mark.parametrize("method", ["cod", "pinv"])
def test_rank_deficient_problem_matches_orvex_rank(dtype, itype, method):
    A = make_matrix(120, 25, dtype, itype, density=0.3, seed=4, rank=9)
    rng = np.random.default_rng(5)
    b = rng.standard_normal(120).astype(dtype)
    # blocks shorter than n, and each rank-deficient
    f = factor_of(blocks_of(A, b, [7, 20, 0, 13, 80]), order="amd")
    ref = rk.lstsq(A, b, method=method)
    res = f.solve(method=method)
    assert (res.rank, res.flag) == (ref.rank, ref.flag) == (9, 0)
    assert res.method == method and res.details["nrows"] == 120
    assert res.tol == pytest.approx(ref.tol, rel=0.05)
    assert rel(res.x, ref.x) < 1e-9
    assert res.residuals == pytest.approx(ref.residuals, rel=1e-9)


@variants
def test_basic_solution_is_basic_with_the_optimal_residual(dtype, itype):
    A = make_matrix(90, 20, dtype, itype, density=0.3, seed=6, rank=12)
    b = np.random.default_rng(7).standard_normal(90).astype(dtype)
    res = factor_of(blocks_of(A, b, [30, 30, 30])).solve(method="basic")
    ref = rk.lstsq(A, b, method="basic")
    assert res.rank == ref.rank == 12
    assert np.count_nonzero(res.x) <= res.rank_spqr
    assert res.residuals == pytest.approx(ref.residuals, rel=1e-9)
    assert res.residuals[0] == pytest.approx(np.linalg.norm(b - A @ res.x) ** 2, rel=1e-9)


@variants
def test_zero_columns_and_blocks_that_miss_columns(dtype, itype):
    # column 3 has no entry anywhere; columns 5..9 appear only in the second block
    A = make_matrix(60, 10, dtype, itype, density=0.4, seed=8).tolil()
    A[:, 3] = 0
    A[:30, 5:] = 0
    A = sp.csr_array(A)
    A.eliminate_zeros()
    b = np.random.default_rng(9).standard_normal(60).astype(dtype)
    f = factor_of(blocks_of(A, b, [30, 30]), perm=column_order(A))
    assert f.R.shape == (10, 10) and sp.tril(f.R, -1).nnz == 0
    res = f.solve()
    ref = rk.lstsq(A, b)
    assert res.rank == ref.rank == 9
    assert rel(res.x, ref.x) < 1e-10 and res.x[3] == 0
    # the order computed from the first block alone still covers every column
    g = factor_of(blocks_of(A, b, [30, 30]))
    assert sorted(g.perm) == list(range(10))
    assert rel(g.solve().x, ref.x) < 1e-10


def test_no_columns():
    f = RFactor.from_rows(sp.csr_array((5, 0)), np.ones(5))
    f.add_rows(sp.csr_array((3, 0)), np.ones(3))
    res = f.solve()
    assert f.R.shape == (0, 0) and res.x.shape == (0,) and res.rank == 0
    assert f.residual_norm == pytest.approx(np.sqrt(8)) and res.residuals[0] == pytest.approx(8)


def test_complex_right_hand_side_promotes_a_real_factor():
    A, b = scattered_fit(6, 150, seed=10)
    bz = b + 1j * np.arange(b.size)
    f = RFactor.from_rows(A[:100], bz[:100])
    f.add_rows(A[100:], bz[100:])
    assert f.dtype == np.complex128
    assert rel(f.solve().x, spqr_solve(A.astype(complex), bz)) < 1e-10


# ---- tolerance ---------------------------------------------------------------------------------

def test_tolerances_follow_orvex_rank():
    A = make_matrix(80, 15, density=0.3, seed=11, rank=6)
    b = np.ones(80)
    f = factor_of(blocks_of(A, b, [40, 40]))
    ref = rk.lstsq(A, b, options=rk.RankOptions(tol_norm_type=1))
    res = f.solve(options=rk.RankOptions(tol_norm_type=1))
    assert res.tol == pytest.approx(ref.tol, rel=1e-12)  # ||A||_1 kept from the blocks' column sums
    assert f.solve(tol=1e-3).tol == 1e-3
    assert f.solve(rtol=1e-6).tol == pytest.approx(rk.lstsq(A, b, rtol=1e-6).tol, rel=0.05)
    # a tolerance in a gap of the singular values changes the rank as on the whole matrix
    C = conditioned(60, 8, None, svals=[3, 2, 1, 1e-4, 1e-4, 1e-9, 1e-9, 1e-9], seed=19)
    g = factor_of(blocks_of(C, np.ones(60), [25, 35]))
    for t, rank in ((1e-6, 5), (1e-2, 3), (None, 8), (1e-12, 8)):
        res, ref = g.solve(tol=t), rk.lstsq(C, np.ones(60), tol=t)
        assert (res.rank, res.flag) == (ref.rank, ref.flag) == (rank, 0)
        assert rel(res.x, ref.x) < 1e-6
    with pytest.raises(ValueError, match="not both"):
        f.solve(1e-3, rtol=1e-3)
    with pytest.raises(TypeError, match="RankOptions"):
        f.solve(options={"k": 1})
    with pytest.raises(ValueError, match="method"):
        f.solve(method="svd")


# ---- pickling and size ----------------------------------------------------------------------

@variants
def test_pickle_round_trip(dtype, itype):
    dtype, itype = np.dtype(dtype), np.dtype(itype)
    A, b = scattered_fit(7, 300, dtype, itype, seed=12)
    f = factor_of(blocks_of(A, b, [150, 150 + A.shape[0] - 300]))
    data = pickle.dumps(f)
    g = pickle.loads(data)
    assert (g.nrows, g.nrhs, g.dtype, g.itype) == (f.nrows, f.nrhs, f.dtype, f.itype)
    assert np.array_equal(g.perm, f.perm) and (g.R != f.R).nnz == 0
    assert np.array_equal(g.c, f.c) and g.residual_norm == f.residual_norm
    # compact: the arrays of R, c and the order, little else
    assert len(data) < f.nbytes + 600
    n, per_entry = A.shape[1], dtype.itemsize + itype.itemsize
    assert f.nbytes <= per_entry * (f.R.nnz + n + 1) + itype.itemsize * (n + 2) + 16 * n
    g.add_rows(A[:10], b[:10])
    assert g.nrows == f.nrows + 10 and f.nrows == A.shape[0]


# ---- corrected semi-normal equations ---------------------------------------------------------

@variants
def test_csne_on_a_factor_without_right_hand_sides(dtype, itype):
    A, b = scattered_fit(9, 600, dtype, itype, seed=13)
    f = RFactor.from_rows(A[:300])
    f.add_rows(A[300:])
    assert f.c is None and f.residual_norm is None and f.nrhs == 0
    B = np.column_stack([b, b[::-1]])
    assert rel(f.csne_solve(A, b), spqr_solve(A, b)) < 1e-10
    assert rel(f.csne_solve(A, B), spqr_solve(A, B)) < 1e-10
    with pytest.raises(ValueError, match="tracks no right-hand side"):
        f.solve()


@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
@pytest.mark.parametrize("kappa", [1e2, 1e5, 1e7])
def test_csne_accuracy_up_to_one_over_sqrt_eps(dtype, kappa):
    # up to kappa ~ 1/sqrt(eps) = 6.7e7, one refinement step gives the accuracy of a Q-based solve
    A = conditioned(400, 30, kappa, dtype, seed=14)
    rng = np.random.default_rng(15)
    x_true = rng.standard_normal(30)
    b = A @ x_true + 1e-3 * rng.standard_normal(400)
    x_ref = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
    f = RFactor.from_rows(A[:200])
    f.add_rows(A[200:])
    err_csne = rel(f.csne_solve(A, b), x_ref)
    err_qr = rel(spqr_solve(sp.csc_array(A), b), x_ref)
    eps = np.finfo(float).eps
    assert err_csne <= max(10 * err_qr, 10 * kappa * eps)


def test_csne_refuses_rank_deficient_factors():
    A = make_matrix(40, 10, density=0.4, seed=16, rank=6)
    f = RFactor.from_rows(A)
    with pytest.raises(np.linalg.LinAlgError, match="singular"):
        f.csne_solve(A, np.ones(40))


# ---- refused input leaves the factor as it was -----------------------------------------------

def test_bad_blocks_are_refused_and_nothing_is_lost():
    A, b = scattered_fit(6, 200, seed=17)
    n = A.shape[1]
    f = RFactor.from_rows(A[:100], b[:100])
    before = pickle.dumps(f)
    bad = A[100:110].toarray()
    bad[0, 0] = np.nan
    cases = [
        ((A[100:110, :n - 1], b[100:110]), ValueError, "columns"),
        ((A[100:110], b[100:109]), ValueError, "rows"),
        ((A[100:110], None), ValueError, "required"),
        ((A[100:110], np.column_stack([b[100:110]] * 2)), ValueError, "tracks"),
        ((bad, b[100:110]), ValueError, "NaN"),
        ((A[100:110], np.full(10, np.inf)), ValueError, "NaN or infinite"),
        ((A[100:110], np.array(["x"] * 10)), TypeError, "dtype"),
        ((np.ones((2, 2, n)), np.ones(2)), ValueError, "2D"),
    ]
    for args, exc, msg in cases:
        with pytest.raises(exc, match=msg):
            f.add_rows(*args)
        assert pickle.dumps(f) == before
    other = RFactor.from_rows(A[100:], b[100:], perm=f.perm[::-1])
    with pytest.raises(ValueError, match="column orders"):
        f.merge(other)
    with pytest.raises(ValueError, match="right-hand sides"):
        f.merge(RFactor.from_rows(A[100:], perm=f.perm))
    with pytest.raises(ValueError, match="columns"):
        f.merge(RFactor.from_rows(A[100:, :5], b[100:]))
    with pytest.raises(TypeError, match="RFactor"):
        f.merge(A)
    assert pickle.dumps(f) == before
    f.add_rows(A[100:], b[100:])
    assert rel(f.solve().x, spqr_solve(A, b)) < 1e-10


def test_bad_orders_and_construction():
    A, b = scattered_fit(5, 80, seed=18)
    n = A.shape[1]
    with pytest.raises(ValueError, match="length"):
        RFactor.from_rows(A, b, perm=np.arange(n - 1))
    with pytest.raises(ValueError, match="permutation"):
        RFactor.from_rows(A, b, perm=np.zeros(n, dtype=int))
    with pytest.raises(ValueError, match="permutation"):
        RFactor.from_rows(A, b, perm=np.arange(1, n + 1))
    with pytest.raises(TypeError, match="integers"):
        RFactor.from_rows(A, b, perm=np.arange(n) + 0.5)
    with pytest.raises(ValueError, match="order"):
        RFactor.from_rows(A, b, order="svd")
    with pytest.raises(TypeError, match="from_rows"):
        RFactor(A, b)
    f = RFactor.from_rows(A[:40], perm=np.arange(n))
    with pytest.raises(ValueError, match="must be None"):
        f.add_rows(A[40:], b[40:])
    assert "RFactor 40x25 float64" in repr(f)
