"""orvex.tall.lstsq on dask arrays: local schedulers and a real LocalCluster (loopback only)."""
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import SANITIZED, make_matrix, needs_module, variants
from tall_problems import scattered_fit
import orvex.rank as rk
from orvex.spqr import spqr_solve
from orvex.tall import lstsq

pytestmark = [needs_module("dask"), needs_module("distributed")]


def rel(x, y):
    return np.linalg.norm(x - y) / np.linalg.norm(y)


def slow_block(A, seconds):
    time.sleep(seconds)
    return A


def dask_rows(A, rows, delay=0.0):
    """A as a dask array of CSR chunks of `rows` rows (each made by a task that takes `delay`)."""
    import dask
    import dask.array as da

    m, n = A.shape
    meta = sp.csr_array((0, n), dtype=A.dtype)
    parts = []
    for s in range(0, m, rows):
        blk = A[s:s + rows]
        task = dask.delayed(slow_block, pure=True)(blk, delay) if delay else dask.delayed(blk)
        parts.append(da.from_delayed(task, shape=blk.shape, dtype=A.dtype, meta=meta))
    return da.concatenate(parts, axis=0)


@variants
def test_threads_and_sync_schedulers(dtype, itype):
    import dask
    import dask.array as da

    A, b = scattered_fit(9, 600, dtype, itype, seed=30)
    x_ref = spqr_solve(A, b)
    Ad = dask_rows(A, 90)
    bd = da.from_array(b, chunks=200)  # rechunked to A's rows
    for scheduler in ("sync", "threads"):
        with dask.config.set(scheduler=scheduler):
            for split_every in (2, 3, None):
                res = lstsq(Ad, bd, split_every=split_every)
                assert (res.rank, res.flag) == (A.shape[1], 0)
                assert rel(res.x, x_ref) < 1e-10
    with dask.config.set(scheduler="sync"):
        B = np.column_stack([b, -b])
        assert rel(lstsq(Ad, B).x, spqr_solve(A, B)) < 1e-10   # a NumPy b


def test_rank_deficient_dask_matches_orvex_rank():
    import dask

    A = sp.csr_array(make_matrix(200, 30, density=0.25, seed=31, rank=12))
    b = np.random.default_rng(32).standard_normal(200)
    with dask.config.set(scheduler="sync"):
        res = lstsq(dask_rows(A, 23), b, method="pinv")
    ref = rk.lstsq(A, b, method="pinv")
    assert (res.rank, res.flag) == (ref.rank, ref.flag) == (12, 0)
    assert rel(res.x, ref.x) < 1e-9


def test_bad_dask_input():
    import dask
    import dask.array as da

    A, b = scattered_fit(5, 100, seed=33)
    Ad = dask_rows(A, 50)
    with dask.config.set(scheduler="sync"):
        with pytest.raises(ValueError, match="one column of blocks"):
            lstsq(da.from_array(A.toarray(), chunks=(50, 10)), b)
        with pytest.raises(ValueError, match="rows"):
            lstsq(Ad, b[:-1])
        with pytest.raises(TypeError, match="b is required"):
            lstsq(Ad)
        with pytest.raises(ValueError, match="split_every"):
            lstsq(Ad, b, split_every=1)
        with pytest.raises(ValueError, match="length"):
            lstsq(Ad, b, perm=np.arange(3))
        bad = A.toarray()
        bad[60, 0] = np.inf
        with pytest.raises(ValueError, match="infinite"):
            lstsq(dask_rows(sp.csr_array(bad), 50), b)


@pytest.mark.skipif(SANITIZED, reason="worker processes do not load the sanitizer runtime")
def test_local_cluster_survives_a_killed_worker():
    import cloudpickle
    import dask
    from distributed import Client, LocalCluster

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    A, b = scattered_fit(10, 1500, seed=34)
    x_ref = spqr_solve(A, b)
    with dask.config.set(scheduler="sync"):
        local = lstsq(dask_rows(A, 150), b, split_every=2).x
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=50) as cluster, Client(cluster) as client:
        assert all(addr.startswith("tcp://127.0.0.1:") for addr in client.scheduler_info()["workers"])
        res = lstsq(dask_rows(A, 150, delay=0.05), b, split_every=2)
        assert rel(res.x, local) < 1e-13

        # again, and kill the worker that holds the first block factors, mid-reduction
        out = {}
        Ad = dask_rows(A, 150, delay=0.25)
        thread = threading.Thread(target=lambda: out.update(res=lstsq(Ad, b, split_every=2)), daemon=True)
        thread.start()
        pids = client.run(os.getpid)
        victim, deadline = None, time.monotonic() + 60
        while victim is None and time.monotonic() < deadline and thread.is_alive():
            for addr, keys in client.has_what().items():
                if any(str(k).startswith("('_block_factor") or str(k).startswith("_block_factor") for k in keys):
                    victim = addr
                    break
            time.sleep(0.02)
        assert victim is not None, "no block factor was seen before the reduction ended"
        assert thread.is_alive()  # the reduction is still under way
        os.kill(pids[victim], signal.SIGKILL)
        thread.join(timeout=120)
        assert not thread.is_alive(), "the reduction did not finish after the worker was killed"
        assert victim not in client.scheduler_info()["workers"]

        def runs(dask_scheduler):
            count = {}
            for key, start, finish, *_ in dask_scheduler.transition_log:
                if finish == "processing":
                    count[str(key)] = count.get(str(key), 0) + 1
            return count

        # Dask ran again what the killed worker held or was running
        assert max(client.run_on_scheduler(runs).values()) >= 2
        assert rel(out["res"].x, local) < 1e-13
        assert rel(out["res"].x, x_ref) < 1e-10
