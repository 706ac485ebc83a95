"""Numeric factorization over SPQR's task tree: the thread knob and
threadpoolctl, factors independent of the thread count, several Python
threads at once, allocation failures inside the parallel path."""
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import scipy.sparse as sp
from threadpoolctl import threadpool_info, threadpool_limits

import orvex
from orvex import _ext
from orvex.spqr import SPQRFactor, spqr, spqr_factor, spqr_solve
from conftest import TEST_HOOKS, as_csc, needs_test_hooks, variants

parallel = pytest.mark.skipif(not orvex.parallel_factorization_available(),
                              reason="SuiteSparse without orvex's task-tree scheduler: "
                                     "factorizations run sequentially")
CPUS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
ORDERINGS = ["default", "fixed", "natural", "colamd", "cholmod", "amd", "metis", "best", "bestamd"]


def grid_gradient(nx, dtype=np.float64, itype=np.int32, seed=0):
    """Forward differences on an nx x nx grid, with random weights: a frontal
    tree of many independent subtrees."""
    d = sp.diags_array([-np.ones(nx), np.ones(nx - 1)], offsets=[0, 1], shape=(nx, nx))  # zero beyond
    eye = sp.eye_array(nx)
    G = sp.vstack([sp.kron(eye, d), sp.kron(d, eye)])
    rng = np.random.default_rng(seed)
    W = sp.diags_array(rng.uniform(0.5, 2, G.shape[0]))
    A = (W @ G).astype(dtype)
    if np.dtype(dtype).kind == "c":
        A = A + 1j * (sp.diags_array(rng.uniform(0.1, 1, G.shape[0])) @ G)
    return as_csc(A, dtype, itype)


@pytest.fixture
def threads():
    """Restores the thread count; analyses split even small trees (where the
    build has the test entry points: a wheel's analyses keep their grain)."""
    before = orvex.get_num_threads()
    grain = _ext._task_grain(4, 0) if TEST_HOOKS else None
    yield
    if grain:
        _ext._task_grain(*grain)
    orvex.set_num_threads(before)


def tree_was_split():
    return not TEST_HOOKS or _ext._last_tree_profile()[0] > 1


def tree_factor(A, order="default", threads=2):
    orvex.set_num_threads(threads)
    return SPQRFactor(A, order=order)


# ---- the knob ----------------------------------------------------------------------

def run_python(code, **env):
    environ = {k: v for k, v in os.environ.items() if k != "ORVEX_NUM_THREADS"}
    environ.update(env)
    out = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code], env=environ,
                         capture_output=True, text=True)
    return out.returncode, out.stdout.strip(), out.stderr


def test_default_is_the_cpus_of_this_process():
    assert run_python("import orvex; print(orvex.get_num_threads())")[1] == str(CPUS)


@pytest.mark.parametrize("value, expected, warns", [("3", "3", False), (" 1 ", "1", False),
                                                     ("0", None, True), ("two", None, True), ("", None, False)])
def test_environment_variable(value, expected, warns):
    code = "import orvex; print(orvex.get_num_threads())"
    rc, out, err = run_python(code, ORVEX_NUM_THREADS=value)
    if warns:
        assert rc != 0 and "ORVEX_NUM_THREADS" in err
        return
    assert rc == 0, err
    assert out == (expected or str(CPUS))


def test_set_num_threads(threads):
    orvex.set_num_threads(3)
    assert orvex.get_num_threads() == 3
    orvex.set_num_threads(np.int64(1))
    assert orvex.get_num_threads() == 1
    for bad, error in [(0, ValueError), (-2, ValueError), (1.5, TypeError), ("2", TypeError)]:
        with pytest.raises(error):
            orvex.set_num_threads(bad)
    assert orvex.get_num_threads() == 1


def bundles_suitesparse():
    """True for a build that carries its own SuiteSparse (the wheels), which
    scripts/suitesparse.sh always builds with the scheduler patch."""
    from importlib.metadata import PackageNotFoundError, files
    try:
        return any(f.name == "SPQR-License.txt" for f in files("orvex") or ())
    except PackageNotFoundError:
        return False


@pytest.mark.skipif(not bundles_suitesparse(), reason="a build against an outside SuiteSparse (not a wheel)")
def test_wheel_carries_the_scheduler():
    assert orvex.parallel_factorization_available()


def test_threadpoolctl_sees_and_limits_orvex(threads):
    orvex.set_num_threads(2)
    mine = [i for i in threadpool_info() if i["user_api"] == "orvex"]
    assert len(mine) == 1 and mine[0]["num_threads"] == 2
    assert mine[0]["parallel"] == orvex.parallel_factorization_available()
    with threadpool_limits(1):
        assert orvex.get_num_threads() == 1
    assert orvex.get_num_threads() == 2
    with threadpool_limits(1, user_api="blas"):
        assert orvex.get_num_threads() == 2
    with threadpool_limits({"orvex": 1}):
        assert orvex.get_num_threads() == 1


# ---- determinism --------------------------------------------------------------------------

def factors(f, A):
    """What a factor's R and H determine: solutions and products with Q."""
    b = np.linspace(1, 2, A.shape[0]).astype(A.dtype)
    X = np.asfortranarray(np.random.default_rng(3).standard_normal((A.shape[0], 3)).astype(A.dtype))
    return f.rank, f.solve(b), f.qmult(X, "QTX")


def assert_bitwise(a, b):
    for x, y in zip(a, b):
        assert np.array_equal(x, y)


@parallel
@variants
@pytest.mark.parametrize("order", ORDERINGS)
def test_one_analysis_gives_the_same_factors_at_every_thread_count(dtype, itype, order, threads):
    # two independent blocks: a tree of several tasks even in natural order
    A = as_csc(sp.block_diag([grid_gradient(12, dtype, itype), grid_gradient(9, dtype, itype, seed=1)]),
               dtype, itype)
    f = tree_factor(A, order)
    results = []
    for t in (1, 2, 3, 1):
        orvex.set_num_threads(t)
        f.factorize(A)
        results.append(factors(f, A))
        if t > 1:
            assert tree_was_split()
    for r in results[1:]:
        assert_bitwise(results[0], r)


@parallel
@variants
@pytest.mark.parametrize("order", ["default", "amd", "metis", "colamd"])
def test_task_tree_gives_the_sequential_factors(dtype, itype, order, threads):
    # With one BLAS thread, the fronts are factorized as by the sequential
    # kernel: bitwise equal, in every output mode of spqr.
    A = grid_gradient(13, dtype, itype, seed=4)
    with threadpool_limits(1, user_api="blas"):
        orvex.set_num_threads(1)
        seq = [spqr(A, mode=m, order=order) for m in ("r", "householder")]
        f1 = spqr_factor(A, order=order)
        orvex.set_num_threads(2)
        par = [spqr(A, mode=m, order=order) for m in ("r", "householder")]
        f2 = spqr_factor(A, order=order)
        assert_bitwise(factors(f1, A), factors(f2, A))
    (R1, E1, *_), (R2, E2, *_) = seq[0], par[0]
    assert np.array_equal(R1.toarray(), R2.toarray()) and np.array_equal(E1, E2)
    H1, H2 = seq[1][0], par[1][0]
    for x, y in zip(H1, H2):
        x, y = (x.toarray(), y.toarray()) if sp.issparse(x) else (x, y)
        assert np.array_equal(np.asarray(x), np.asarray(y))


def banded(m, n, band, dtype=np.float64, itype=np.int32, seed=0, per_row=8):
    """Random entries in each row within +-band of the diagonal's slope.  Wide,
    a long path of big fronts with small side subtrees; tall under COLAMD,
    (nearly) one chain of fronts."""
    rng = np.random.default_rng(seed)
    rows = np.repeat(np.arange(m), per_row)
    cols = np.clip(rows * n // m + rng.integers(-band, band + 1, rows.size), 0, n - 1)
    vals = rng.standard_normal(rows.size)
    if np.dtype(dtype).kind == "c":
        vals = vals + 1j * rng.standard_normal(rows.size)
    return as_csc(sp.coo_array((vals, (rows, cols)), shape=(m, n)), dtype, itype)


@parallel
@needs_test_hooks   # (the tests' grain splits a tree this small)
@variants
@pytest.mark.parametrize("order", ["default", "amd"])
def test_a_path_of_fronts_with_side_subtrees(dtype, itype, order, threads):
    # Front by front, such a tree is more tasks than an analysis allows (4 x
    # its grain: 32 at two threads and the tests' grain), each with a stack
    # of its own.  It runs as segments of the path beside tasks of side
    # subtrees: a few tasks, with the sequential factors (one BLAS thread) at
    # every thread count, in little more memory.
    A = banded(300, 900, 30, dtype, itype)
    with threadpool_limits(1, user_api="blas"):
        orvex.set_num_threads(1)
        seq = spqr_factor(A, order=order)
        f = tree_factor(A, order)
        ref = factors(seq, A)
        for t in (2, 3, 1):
            orvex.set_num_threads(t)
            f.factorize(A)
            assert_bitwise(ref, factors(f, A))
            if t > 1:
                assert 4 < _ext._last_tree_profile()[0] <= 32
    assert seq.info.memory < f.info.memory <= 2 * seq.info.memory


@parallel
def test_flops_are_counted_in_parallel(threads):
    A = grid_gradient(20)
    orvex.set_num_threads(1)
    one = spqr_factor(A).info.flops
    orvex.set_num_threads(2)
    two = spqr_factor(A).info
    assert tree_was_split()
    assert two.flops == one > 0 and two.memory > 0


@needs_test_hooks
def test_front_tree_parallelism():
    # A banded matrix under COLAMD is (nearly) one chain of fronts: no
    # scheduler of whole fronts can run two at once.  A grid under METIS
    # branches.
    A = banded(2400, 600, 6, seed=3, per_row=4)
    fronts, total, chain = _ext._front_tree_flops(SPQRFactor(A, order="default").factorize(A))
    assert fronts > 10 and 0 < total < 1.001 * chain
    B = grid_gradient(40)
    f = SPQRFactor(B, order="metis").factorize(B)
    fronts, total, chain = _ext._front_tree_flops(f)
    assert total / chain > 2
    assert total == pytest.approx(f.info.flops, rel=0.25)    # SPQR's own count
    with pytest.raises(ValueError, match="numeric"):
        _ext._front_tree_flops(SPQRFactor(B))
    with pytest.raises(AssertionError):           # (no analysis: as every method)
        _ext._front_tree_flops(SPQRFactor.__new__(SPQRFactor))


@parallel
def test_rank_deficient_and_wide(threads):
    rng = np.random.default_rng(5)
    G = grid_gradient(12)
    A = as_csc(sp.hstack([G, G[:, :40] @ sp.random_array((40, 30), density=0.2, rng=rng)]))
    orvex.set_num_threads(1)
    r1 = spqr_factor(A).rank
    x1 = spqr_solve(A.T.tocsc(), np.ones(A.shape[1]))
    orvex.set_num_threads(2)
    f = spqr_factor(A)
    assert f.rank == r1 < A.shape[1]
    x2 = spqr_solve(A.T.tocsc(), np.ones(A.shape[1]))
    np.testing.assert_allclose(x2, x1, rtol=1e-10, atol=1e-12)


# ---- several Python threads --------------------------------------------------------------

@parallel
@needs_test_hooks
def test_concurrent_factorizations_share_one_pool(threads):
    A = grid_gradient(16, np.complex128, np.int64)
    f = tree_factor(A)
    workers = _ext._pool_workers()

    def work(i):
        g = f.copy()
        for _ in range(3):
            g.factorize(A)
        return factors(g, A)

    with threadpool_limits(1, user_api="blas"), ThreadPoolExecutor(6) as ex:
        ref = factors(f.factorize(A), A)
        results = list(ex.map(work, range(12)))
    for r in results:
        assert_bitwise(ref, r)
    # twelve calls from six threads at two threads each: the pool needs one
    # worker, and grew to no more than that (or than earlier calls asked for)
    assert 1 <= _ext._pool_workers() <= max(workers, 1)


@parallel
def test_one_factor_from_many_threads(threads):
    A = grid_gradient(15)
    f = tree_factor(A)
    b = np.ones(A.shape[0])
    f.factorize(A)
    ref = f.solve(b)

    def work(i):
        if i % 2:
            f.factorize(A)
        return f.solve(b)

    with ThreadPoolExecutor(4) as ex:
        for x in ex.map(work, range(16)):
            np.testing.assert_allclose(x, ref, rtol=1e-12)


@parallel
@needs_test_hooks   # (a tree this small is split only at the tests' grain)
def test_stacks_of_the_tasks_stay_bounded(threads):
    # Each chain of tasks has its own stack: the peak grows with the number
    # of tasks (and SPQRInfo.memory shows it), but stays within twice the
    # sequential peak even at 8 threads with the smallest tasks.
    A = grid_gradient(30)
    peak = {}
    for t in (1, 2, 8):
        orvex.set_num_threads(t)
        peak[t] = spqr_factor(A).info.memory
    assert peak[1] < peak[2] < peak[8]
    assert peak[2] <= 1.6 * peak[1] and peak[8] <= 2.0 * peak[1]
