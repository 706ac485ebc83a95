"""Threads stress: every operation of orvex.spqr and orvex.rank from many
threads at once, on factors all threads share and on factors each call makes
for itself, every result compared with the one computed single-threaded.

Meant for the free-threaded interpreter (make ft-test), where the first phase
of every call (binding, checks, casts) runs truly in parallel with other
calls on the same factor; it runs on the default interpreter too.

Before the threads start, each operation runs once per value/index variant in
this thread: that is its reference.  Then THREADS threads run the operations
in shuffled orders until SECONDS have passed, and compare each result with
the reference exactly (bit for bit: the same matrices and operands must give
the same numbers whoever computes them).  Shared objects: per variant, one
numeric factor (solved, multiplied, copied, refactorized with the same
values and read by every thread), one Householder triple, one null-space
basis (whose lazily computed parts the threads race to make).

    python tests/stress_ft.py [--threads 8] [--seconds 60]

prints the calls per operation and exits non-zero on any mismatch, any
exception, a thread that does not finish, an operation that never ran, or,
on a free-threaded interpreter, the GIL having been switched on by orvex.
"""
import argparse
import dataclasses
import pickle
import random
import sys
import sysconfig
import threading
import time
import warnings
from collections import Counter

import numpy as np
import scipy.sparse as sp

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

import orvex.rank as rk  # noqa: E402
from orvex.spqr import (SPQRFactor, spqr, spqr_factor, spqr_qmult,  # noqa: E402
                        spqr_solve)

VARIANTS = [(np.dtype(v), np.dtype(i))
            for v in (np.float64, np.complex128) for i in (np.int32, np.int64)]
METHODS = ("QX", "QTX", "XQ", "XQT")
# SPQRInfo fields that depend on when the call ran or on what the shared
# factor served before (its workspace's peak memory, the flops of the solves
# since its factorization): not part of a result.
INFO_SKIP = {"analyze_time", "factorize_time", "solve_time", "total_time", "memory", "flops"}


def canonical(A, itype):
    A = sp.csc_array(A)
    A.sum_duplicates()
    A.indices, A.indptr = A.indices.astype(itype), A.indptr.astype(itype)
    return A


class Case:
    """Operands and shared objects of one variant."""

    def __init__(self, dtype, itype, seed):
        rng = np.random.default_rng(seed)
        self.name = f"{dtype.name}-{itype.name}"

        def sample(size):
            x = rng.uniform(-1, 1, size)
            return x + 1j * rng.uniform(-1, 1, size) if dtype.kind == "c" else x

        def matrix(m, n, density=0.3):
            R = sp.random_array((m, n), density=density, rng=rng, data_sampler=sample, dtype=dtype)
            return canonical(R + 2 * sp.eye_array(m, n, dtype=dtype), itype)

        m, n = 30, 20
        self.A = matrix(m, n)
        self.W = matrix(n, m)
        self.D = canonical(matrix(m, 12) @ matrix(12, n), itype)   # rank 12
        self.b = sample(m).astype(dtype)
        self.B = sample((m, 3)).astype(dtype)
        self.c = sample(n).astype(dtype)
        self.Bs = matrix(m, 5, density=0.2)
        self.X = {k: np.asfortranarray(sample((m, 4) if k in ("QX", "QTX") else (4, m)).astype(dtype))
                  for k in METHODS}
        self.Xs = matrix(m, 4, density=0.3)
        self.Y = sample((n - 12, 2)).astype(dtype)
        self.Z = sample((n, 2)).astype(dtype)
        self.shared = SPQRFactor(self.A, use_singletons=True)
        self.house = spqr(self.A, mode="householder")[0]
        self.N = None   # made after the references, so that its lazy parts are made in the threads


def info_fields(info):
    return tuple((f, getattr(info, f)) for f in sorted(type(info).__slots__) if f not in INFO_SKIP)


def rank_fields(res):
    """A RankResult / LstsqResult as plain values (null spaces as arrays)."""
    out = []
    for f in dataclasses.fields(res):
        v = getattr(res, f.name)
        if isinstance(v, rk.NullSpace):
            v = v.toarray()
        out.append((f.name, v))
    return tuple(out)


# ---- the operations: name -> function of a Case, giving a comparable result -------------

def op_factor_symbolic(c):
    f = SPQRFactor(c.A, order="colamd")
    f.factorize(c.A)
    return f.solve(c.b), f.perm, f.rank


def op_factor_singletons(c):
    f = SPQRFactor(c.A, use_singletons=True, tol=1e-12)
    return f.solve(c.B), f.qmult(c.X["QTX"], "QTX"), info_fields(f.info)


def op_factor_reinit(c):
    f = SPQRFactor(c.W)
    f.__init__(c.A, use_singletons=True)
    return f.solve(c.b), f.shape


def op_spqr_factor(c):
    f = spqr_factor(c.A, order="amd")
    return f.solve(c.Bs), f.qmult(c.Xs, "QX")


def op_spqr_solve(c):
    return spqr_solve(c.A, c.b), spqr_solve(c.W, c.c[:20]), spqr_solve(c.A, c.Bs)


def op_spqr_modes(c):
    return tuple(spqr(c.A, mode=mode) for mode in ("full", "economic", "r", "householder"))


def op_spqr_qmult(c):
    return tuple(spqr_qmult(c.house, c.X[k], k) for k in METHODS) + (spqr_qmult(c.house, c.Xs, "QTX"),)


def op_shared_solve(c):
    f = c.shared
    return (f.solve(c.b), f.solve(c.B), f.solve(c.c, transpose=True), f.solve(c.Bs),
            f.solve(c.Bs, rhs_batch_size=2))


def op_shared_qmult(c):
    f = c.shared
    return tuple(f.qmult(c.X[k], k) for k in METHODS) + (f.qmult(c.Xs, "QX"), f.qmult(c.b, "QTX"))


def op_shared_copy(c):
    g = c.shared.copy()
    return g.solve(c.b), g.qmult(c.B, "QTX")


def op_shared_read(c):
    f = c.shared
    return f.rank, f.perm, f.shape, f.is_numeric, f.dtype, f.itype, info_fields(f.info)


def op_shared_refactorize(c):
    # The same values: the factor every other thread uses stays the same.
    return c.shared.factorize(c.A).solve(c.b)


def op_rank_estimate(c):
    return rank_fields(rk.rank_estimate(c.D, rng=1)), rk.matrix_rank(c.D, method="basic")


def op_null_space(c):
    N = rk.null_space(c.D)
    return N.toarray(), N @ c.Y, rank_fields(N.result)


def op_rank_solves(c):
    return (rank_fields(rk.basic_solve(c.D, c.b)), rank_fields(rk.pinv_solve(c.D, c.b, null_spaces=True)),
            rank_fields(rk.cod_solve(c.D, c.b)), rank_fields(rk.lstsq(c.D, c.b, method="pinv")))


def op_normest(c):
    return rk.normest(c.D, rng=2)


def op_shared_null_space(c):
    N = c.N
    return (N @ c.Y, N.rmatmat(c.Z), N.project_out(c.Z[:, 0]), N.tocsc(),
            pickle.loads(pickle.dumps(N)).toarray())


OPERATIONS = {name[3:]: fn for name, fn in globals().items() if name.startswith("op_")}


# ---- comparison ---------------------------------------------------------------------

def same(a, b):
    """Whether two results are identical (arrays bit for bit, NaN equal to NaN)."""
    if sp.issparse(a) or sp.issparse(b):
        if not (sp.issparse(a) and sp.issparse(b)) or a.shape != b.shape or a.format != b.format:
            return False
        return all(same(getattr(a, k), getattr(b, k)) for k in ("indptr", "indices", "data"))
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        a, b = np.asarray(a), np.asarray(b)
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (a != a and b != b)
    return type(a) is type(b) and a == b


# ---- the run ------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=8)
    ap.add_argument("--seconds", type=float, default=60.0)
    args = ap.parse_args(argv)

    # Warnings (rank deficiency, mostly) are process state: shown by no thread.
    warnings.simplefilter("ignore")
    cases = [Case(dtype, itype, seed) for seed, (dtype, itype) in enumerate(VARIANTS)]
    jobs = [(c, name) for c in cases for name in OPERATIONS]
    reference = {}
    for c, name in jobs:
        if name == "shared_null_space":
            continue
        reference[c.name, name] = OPERATIONS[name](c)
    for c in cases:
        # The shared basis's reference comes from a basis of its own, so that
        # the shared one reaches the threads with nothing computed yet.
        c.N = rk.null_space(c.D)
        ref_basis = rk.null_space(c.D)
        reference[c.name, "shared_null_space"] = op_shared_null_space(
            type("Ref", (), {"N": ref_basis, "Y": c.Y, "Z": c.Z})())

    calls, mismatches, failures = Counter(), Counter(), []
    lock = threading.Lock()
    stop = time.monotonic() + args.seconds
    start = threading.Barrier(args.threads)

    def worker(k):
        order = list(jobs)
        random.Random(k).shuffle(order)
        local_calls, local_bad = Counter(), Counter()
        start.wait()
        try:
            while time.monotonic() < stop:
                for c, name in order:
                    result = OPERATIONS[name](c)
                    local_calls[name] += 1
                    if not same(result, reference[c.name, name]):
                        local_bad[c.name, name] += 1
                    if time.monotonic() >= stop:
                        break
        except BaseException as e:  # noqa: BLE001  (reported, and fails the run)
            with lock:
                failures.append(f"thread {k}: {type(e).__name__}: {e}")
        with lock:
            calls.update(local_calls)
            mismatches.update(local_bad)

    threads = [threading.Thread(target=worker, args=(k,), daemon=True) for k in range(args.threads)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, stop - time.monotonic()) + 120)
    elapsed = time.perf_counter() - t0
    hung = sum(t.is_alive() for t in threads)

    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"stress: {args.threads} threads, {elapsed:.1f} s, {sys.version.split()[0]}"
          f"{' free-threaded' if FREE_THREADED else ''}, GIL {'enabled' if gil else 'disabled'}")
    width = max(map(len, OPERATIONS))
    for name in OPERATIONS:
        print(f"  {name:<{width}} {calls[name]:8d} calls")
    total = sum(calls.values())
    print(f"  {'total':<{width}} {total:8d} calls, {sum(mismatches.values())} mismatches, "
          f"{len(failures)} exceptions, {hung} threads still running")
    for (case, name), count in sorted(mismatches.items()):
        print(f"  MISMATCH {name} [{case}]: {count}")
    for f in failures:
        print(f"  FAILED {f}")
    never = [name for name in OPERATIONS if not calls[name]]
    if never:
        print(f"  never ran: {', '.join(never)}")
    bad = mismatches or failures or hung or never or (FREE_THREADED and gil)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
