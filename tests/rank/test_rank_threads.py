"""The rank tools from several threads at once: the native kernels run without
the GIL on data each call or factorization owns, so results are those of a
serial run."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from conftest import make_matrix
import orvex.rank as rk


def test_concurrent_calls_match_serial():
    A = make_matrix(120, 90, np.complex128, np.int64, rank=40, seed=13)
    b = np.ones(120)

    def work(i):
        res = rk.pinv_solve(A, b, null_spaces=True, rng=i % 3)
        return res.rank, res.x, res.N.toarray()

    serial = [work(i) for i in range(6)]
    with ThreadPoolExecutor(4) as pool:
        parallel = list(pool.map(work, range(6)))
    for (k1, x1, N1), (k2, x2, N2) in zip(serial, parallel):
        assert k1 == k2 == 40
        assert np.array_equal(x1, x2) and np.array_equal(N1, N2)


def test_one_basis_shared_by_threads():
    A = make_matrix(80, 100, rank=30, seed=14)
    N = rk.null_space(A)
    Y = np.random.default_rng(0).standard_normal((N.shape[1], 2))
    ref = N @ Y
    with ThreadPoolExecutor(4) as pool:
        outs = list(pool.map(lambda _: N @ Y, range(16)))
    assert all(np.array_equal(o, ref) for o in outs)
