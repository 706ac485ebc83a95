"""Several threads using one factor, and threads with factors of their own."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from orvex.spqr import SPQRFactor, spqr_factor
from conftest import make_matrix, variants


def work(f, A, b):
    x = f.solve(b)
    y = f.qmult(f.qmult(b, "QTX"), "QX")
    c = f.copy().solve(b)
    return x, y, c, f.info.rank_A_estimate


@variants
def test_threads_share_one_factor(dtype, itype):
    A = make_matrix(40, 25, dtype, itype, seed=3)
    f = spqr_factor(A)
    b = np.arange(40, dtype=dtype)
    ref = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: work(f, A, b), range(32)))
    for x, y, c, rank in results:
        np.testing.assert_allclose(x, ref, rtol=1e-10, atol=1e-12)
        np.testing.assert_allclose(y, b, rtol=1e-12, atol=1e-12)
        np.testing.assert_array_equal(c, x)
        assert rank == 25


@variants
def test_threads_with_own_factors(dtype, itype):
    def own(seed):
        A = make_matrix(30, 20, dtype, itype, seed=seed)
        b = np.ones(30, dtype=dtype)
        x = SPQRFactor(A, use_singletons=True).solve(b)
        return np.linalg.norm(x - np.linalg.lstsq(A.toarray(), b, rcond=None)[0])

    with ThreadPoolExecutor(4) as pool:
        assert max(pool.map(own, range(16))) < 1e-10
