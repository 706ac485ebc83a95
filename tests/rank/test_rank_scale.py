"""The rank tools do not depend on the scale of A: ranks, null spaces and
solutions of c A for c from 1e-300 to 1e300 and for powers of 2 across the
float64 range, against those of A and NumPy's."""
import warnings

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import make_matrix, variants
import orvex.rank as rk

POWERS = [-1000, -700, -300, -65, -64, -1, 1, 64, 65, 300, 700, 1000]
DECIMAL = [1e-300, 1e-200, 1e-90, 1e-40, 1e40, 1e80, 1e200, 1e300]


def scaled(A, c):
    S = A.copy()
    S.data = S.data * c
    return S


def projector(N):
    Z = N.toarray()
    return Z @ Z.conj().T


@pytest.fixture(scope="module")
def small():
    # Rank 3: the third column is the sum of the first two.
    return sp.csc_array([[1., 0., 1., 2.], [0., 1., 1., 0.], [1., 1., 2., 2.], [0., 0., 0., 1.], [2., 0., 2., 0.]])


@pytest.mark.parametrize("c", DECIMAL + [2.0 ** k for k in POWERS])
def test_small_matrix_at_every_scale(small, c):
    A = scaled(small, c)
    assert np.linalg.matrix_rank(A.toarray()) == 3
    b = np.arange(1.0, 6.0)
    x0 = np.linalg.lstsq(small.toarray(), b, rcond=None)[0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # certain: no RankWarning, no overflow, no ComplexWarning
        assert rk.matrix_rank(A) == 3
        res = rk.rank_estimate(A)
        N = rk.null_space(A)
        sols = [rk.pinv_solve(A, b), rk.cod_solve(A, b), rk.cod_solve(A, b, transpose_first=True)]
        basic = rk.basic_solve(A, b)
    assert (res.rank, res.flag) == (3, 0)
    # The default tolerance follows ||c A||: max(m, n) spacing(normest).
    assert res.tol == pytest.approx(5 * np.spacing(rk.normest(A, 0.01)), rel=1e-12)
    assert rk.normest(A) == pytest.approx(c * rk.normest(small), rel=1e-10)
    assert (N.shape, N.result.flag) == ((4, 1), 0)
    assert np.allclose(projector(N), projector(rk.null_space(small)), atol=1e-12)
    for s in sols + [basic]:
        assert (s.rank, s.flag) == (3, 0)
        assert np.all(s.sval_lower_bounds[:1] > s.tol) and np.all(s.sval_upper_bounds[1:] <= s.tol)
    for s in sols:
        assert np.allclose(s.x * c, x0, rtol=1e-10, atol=1e-12)
    assert np.allclose(basic.x * c, rk.basic_solve(small, b).x, rtol=1e-10, atol=1e-12)


@variants
def test_powers_of_two_change_nothing(dtype, itype):
    A = make_matrix(30, 24, dtype, itype, rank=9, seed=3)
    b = np.ones(30)
    ref = rk.pinv_solve(A, b, null_spaces=True)
    cod = rk.cod_solve(A, b, null_spaces=True)
    P, PT = projector(ref.N), projector(ref.NT)
    assert (ref.rank, ref.flag, cod.flag) == (9, 0, 0)
    for k in POWERS:
        c = 2.0 ** k
        Ak = scaled(A, c)
        res = rk.pinv_solve(Ak, b, null_spaces=True)
        assert (res.rank, res.flag, res.rank_spqr) == (9, 0, ref.rank_spqr), k
        # tol and the bounds scale exactly with A; x inversely.
        assert res.tol == ref.tol * c, k
        assert np.allclose(res.sval_lower_bounds, ref.sval_lower_bounds * c, rtol=1e-12, atol=0), k
        assert np.allclose(res.sval_upper_bounds, ref.sval_upper_bounds * c, rtol=1e-6, atol=0), k
        assert np.allclose(res.x * c, ref.x, rtol=1e-12, atol=1e-14), k
        assert np.allclose(projector(res.N), P, atol=1e-13) and np.allclose(projector(res.NT), PT, atol=1e-13)
        got = rk.cod_solve(Ak, b)
        assert (got.rank, got.flag) == (9, 0) and np.allclose(got.x * c, cod.x, rtol=1e-12, atol=1e-14), k
        # An explicit tolerance, scaled with A, gives the same.
        assert rk.rank_estimate(Ak, ref.tol * c * 1e3).rank == 9


def test_explicit_tolerances_beyond_the_scaled_range():
    A = make_matrix(12, 10, rank=4, seed=1)
    for c in (1e-300, 1e300):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            # Far above every singular value (beyond the float64 range once
            # scaled): rank 0; 1e-10 of the norm: the rank.
            assert rk.rank_estimate(scaled(A, c), 1e7 if c < 1 else 1e308).rank == 0
            assert rk.rank_estimate(scaled(A, c), 1e-10 * c).rank == 4


def test_normest_scales():
    A = make_matrix(40, 30, seed=1)
    s = rk.normest(A)
    for k in POWERS:
        assert rk.normest(scaled(A, 2.0 ** k)) == s * 2.0 ** k
    for c in DECIMAL:
        assert rk.normest(scaled(A, c)) == pytest.approx(s * c, rel=1e-12)
    # Entries at the ends of the range: the largest finite, subnormals.
    assert rk.normest(sp.csc_array([[np.finfo(float).max, 0.0], [0.0, 1.0]])) == np.finfo(float).max
    assert rk.normest(sp.csc_array([[5e-324, 0.0], [0.0, 1e-323]])) == 1e-323
