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


# ---- the GIL is released during SPQR work; one factor serialises its calls ------------

import threading
import time
import warnings

import pytest
import scipy.sparse as sp

from orvex.spqr import spqr, spqr_qmult, spqr_solve


def grid(n, dtype=np.float64, itype=np.int32):
    """The gradient of an n x n grid: large enough for a factorization of some 100 ms."""
    D = sp.diags_array([-np.ones(n - 1), np.ones(n - 1)], offsets=[0, 1], shape=(n - 1, n))
    I = sp.eye_array(n)
    A = sp.vstack([sp.kron(I, D), sp.kron(D, I)]).tocsc().astype(dtype)
    A.indices, A.indptr = A.indices.astype(itype), A.indptr.astype(itype)
    return A


def progress_during(work, seconds=0.3):
    """How often a pure-Python loop ran while `work` ran in another thread
    (repeated for at least `seconds`: on a busy machine a single short call
    may be over before this thread is scheduled at all)."""
    count, done = 0, threading.Event()

    def repeat():
        stop = time.perf_counter() + seconds
        while True:
            work()
            if time.perf_counter() >= stop:
                break
        done.set()
    t = threading.Thread(target=repeat)
    t.start()
    while not done.is_set():
        count += 1
    t.join()
    return count


@pytest.mark.parametrize("operation", ["factorize", "solve", "spqr"])
def test_other_threads_run_during_spqr_work(operation):
    A = grid(100)
    f = spqr_factor(A)
    b = np.ones(A.shape[0])
    work = {"factorize": lambda: f.factorize(A), "solve": lambda: [f.solve(b) for _ in range(2)],
            "spqr": lambda: spqr(A, mode="householder")}[operation]
    start = time.perf_counter()
    count = progress_during(work)
    elapsed = time.perf_counter() - start
    # With the GIL held by SPQR the loop would stall for the whole call.
    assert count > 1000 * elapsed, (count, elapsed)


def test_init_racing_refactorization_with_changing_tolerance():
    A = make_matrix(60, 40, seed=1)
    other = make_matrix(50, 50, seed=2)
    f = spqr_factor(A)
    stop = time.monotonic() + 1.0
    errors = []

    def refactorize():
        k = 0
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            while time.monotonic() < stop:
                k += 1
                try:
                    f.factorize(A, tol=1e-12 * (k % 7))
                except ValueError as e:      # the other thread's analysis is in place
                    errors.append(str(e))

    def reinit():
        k = 0
        while time.monotonic() < stop:
            k += 1
            f.__init__(other if k % 2 else A)

    threads = [threading.Thread(target=refactorize), threading.Thread(target=reinit)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert all("does not match" in e for e in errors)
    f.__init__(A)
    f.factorize(A)
    b = np.ones(60)
    np.testing.assert_allclose(f.solve(b), np.linalg.lstsq(A.toarray(), b, rcond=None)[0], atol=1e-10)


@variants
def test_mixed_calls_on_one_factor(dtype, itype):
    A = make_matrix(40, 25, dtype, itype, seed=3)
    B = sp.csc_array(make_matrix(40, 6, dtype, itype, seed=4))
    b = np.arange(40, dtype=dtype)
    f = spqr_factor(A)
    x_ref = f.solve(b)
    qb_ref = f.qmult(b, "QTX")
    xs_ref = f.solve(B).toarray()

    def worker(k):
        kind = k % 6
        if kind == 0:
            np.testing.assert_array_equal(f.solve(b), x_ref)
        elif kind == 1:
            np.testing.assert_array_equal(f.qmult(b, "QTX"), qb_ref)
        elif kind == 2:
            f.factorize(A)                   # same values: same factorization
        elif kind == 3:
            np.testing.assert_array_equal(f.copy().solve(b), x_ref)
        elif kind == 4:
            assert f.info.rank_A_estimate == 25 and f.rank == 25 and f.shape == (40, 25)
        else:
            np.testing.assert_allclose(f.solve(B).toarray(), xs_ref, atol=1e-12)
        return k

    with ThreadPoolExecutor(6) as pool:
        assert sorted(pool.map(worker, range(120))) == list(range(120))


def test_factors_dropped_in_other_threads():
    A = make_matrix(30, 20, seed=5)
    factors = [spqr_factor(A) for _ in range(16)]
    b = np.ones(30)
    x = factors[0].solve(b)

    def use_and_drop(f):
        y = f.solve(b)
        del f
        return y

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(use_and_drop, [factors.pop() for _ in range(16)]))
    for y in results:
        np.testing.assert_array_equal(y, x)


@variants
def test_one_call_functions_in_threads(dtype, itype):
    A = make_matrix(30, 18, dtype, itype, seed=6)
    b = np.ones(30, dtype)
    x = spqr_solve(A, b)
    house = spqr(A, mode="householder")[0]
    y = spqr_qmult(house, b, "QTX")

    def work(_):
        return spqr_solve(A, b), spqr_qmult(house, b, "QTX")

    with ThreadPoolExecutor(4) as pool:
        for xs, ys in pool.map(work, range(24)):
            np.testing.assert_array_equal(xs, x)
            np.testing.assert_array_equal(ys, y)
