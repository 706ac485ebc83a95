"""Leak soak: every public operation of orvex.spqr, its error paths included,
repeated many times after a warm-up.

Each iteration runs, for one of the four value/index variants in turn (all
four every four iterations): SPQRFactor construction (symbolic and with
singletons), refactorization (same pattern, new values, a new tolerance),
solves with dense and sparse right-hand sides (plain and transposed, several
sparse batch sizes), products with Q (dense and sparse, every method), spqr
in its four modes, spqr_qmult (dense and sparse), info and its pickling,
copy, spqr_factor, spqr_solve (least squares, minimum norm, sparse), and
error paths: bad shapes, dtypes, methods, modes, orderings and batch sizes,
pattern mismatches, forged Householder triples, corrupt and non-finite
matrices, refused pickling, empty factors and forged SPQRInfo states.

Two figures judge it:
- resident memory (``/proc/self/statm``) after the run against after the
  warm-up: it must grow by less than 1 MiB;
- the CHOLMOD workspace counters (malloc_count, memory_inuse) of the
  long-lived factors, checked after every iteration: they must stay at their
  values after the warm-up.

    python tests/soak.py [--iterations N] [--warmup W]

exits non-zero when a figure is out of bounds.  tests/test_soak.py runs a
short soak; ``make soak`` the full one.
"""
import argparse
import gc
import os
import pickle
import sys
import time
import warnings

import numpy as np
import scipy.sparse as sp

from orvex import _ext
from orvex.spqr import (SPQRFactor, SPQRInfo, __pyx_unpickle_SPQRInfo, spqr, spqr_factor,
                        spqr_qmult, spqr_solve)

VARIANTS = [(np.dtype(v), np.dtype(i))
            for v in (np.float64, np.complex128) for i in (np.int32, np.int64)]
METHODS = ("QX", "QTX", "XQ", "XQT")
RSS_LIMIT = 2**20  # bytes
TOL = 1e-9


def rss():
    """Resident set size of this process in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def counters(factor):
    """(malloc_count, memory_inuse) of a factor's CHOLMOD workspace."""
    return tuple(_ext._workspace_counters(factor)[:2])


def relerr(a, b):
    a = a.toarray() if sp.issparse(a) else a
    b = b.toarray() if sp.issparse(b) else b
    return np.linalg.norm(a - b) / max(np.linalg.norm(b), 1.0)


def expect(exc, call, *args, **kwargs):
    """Run a call that must fail with ``exc``."""
    try:
        call(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{getattr(call, '__name__', call)} did not raise {exc.__name__}")


class Variant:
    """Matrices, operands, references and long-lived factors of one variant."""

    def __init__(self, dtype, itype, seed):
        self.dtype, self.itype = dtype, itype
        rng = np.random.default_rng(seed)

        def sample(size):
            x = rng.uniform(-1, 1, size)
            return x + 1j * rng.uniform(-1, 1, size) if dtype.kind == "c" else x

        def matrix(m, n, density=0.25):
            A = sp.random_array((m, n), density=density, rng=rng, data_sampler=sample,
                                dtype=dtype) + 2 * sp.eye_array(m, n, dtype=dtype)
            return self.canonical(A)

        m, n = 24, 16
        self.A = matrix(m, n)                       # tall, full rank
        self.A2 = self.A.copy()                     # same pattern, new values
        self.A2.data = self.A2.data * 1.5 + 0.25
        self.W = matrix(n, m)                       # wide
        self.b = sample(m).astype(dtype)
        self.B = sample((m, 3)).astype(dtype)
        self.c = sample(n).astype(dtype)            # right-hand side of A^H x = c
        self.Bs = matrix(m, 7, density=0.2)         # sparse right-hand sides
        self.Cs = matrix(n, 5, density=0.3)
        self.X = {meth: sample((m, 4) if meth in ("QX", "QTX") else (4, m)).astype(dtype)
                  for meth in METHODS}
        self.Xs = matrix(m, 4, density=0.3)

        # Invalid versions of A: SciPy's checks bypassed after construction.
        self.bad_index = self.A.copy()
        self.bad_index.indices = self.bad_index.indices.copy()
        self.bad_index.indices[-1] = m + 5
        self.bad_indptr = self.A.copy()
        ptr = self.bad_indptr.indptr.copy()
        ptr[[1, 2]] = ptr[[2, 1]]
        self.bad_indptr.indptr = ptr
        self.nan = self.A.copy()
        self.nan.data = self.nan.data.copy()
        self.nan.data[0] = np.nan
        self.other_pattern = matrix(m, n)
        self.other_dtype = self.canonical(
            self.A.real if dtype.kind == "c" else self.A.astype(np.complex128))

        # Long-lived factors: one numeric from the start, one symbolic that
        # is factorized (and refactorized) in every iteration.
        self.numeric = SPQRFactor(self.A, use_singletons=True)
        self.symbolic = SPQRFactor(self.A)
        self.symbolic.factorize(self.A)
        self.house, self.R, self.E = spqr(self.A, mode="householder")

        # References for a few results, to notice silent corruption.
        self.ref_x = self.numeric.solve(self.b)
        self.ref_qx = self.numeric.qmult(self.X["QX"], "QX")
        self.ref_house = spqr_qmult(self.house, self.X["QTX"], "QTX")

    def canonical(self, A, itype=None):
        A = sp.csc_array(A)
        A.sum_duplicates()
        itype = itype or self.itype
        A.indices, A.indptr = A.indices.astype(itype), A.indptr.astype(itype)
        return A

    def long_lived(self):
        return (self.numeric, self.symbolic)


def operations(v):
    """One pass over every public operation for variant ``v``."""
    A, m, n = v.A, *v.A.shape

    # -- SPQRFactor: construction in both modes, options, re-initialization.
    f = SPQRFactor(A)
    assert not f.is_numeric
    expect(AssertionError, f.solve, v.b)              # symbolic only
    f.factorize(A)
    g = SPQRFactor(A, use_singletons=True, order="colamd", tol=1e-12)
    assert g.is_numeric and g.rank == n
    SPQRFactor(v.W, use_singletons=False, order="amd")
    h = SPQRFactor(v.W)
    h.__init__(A, use_singletons=True)               # a second __init__ replaces the factor
    assert h.shape == (m, n)
    repr(f), str(g), f.shape, f.rank, f.perm, f.dtype, f.itype

    # -- factorize: new values, new tolerance, mismatches.
    v.symbolic.factorize(v.A2)
    v.symbolic.factorize(A)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f.factorize(A, tol=1e-3)                     # warns: tolerance changed
    expect(ValueError, v.symbolic.factorize, v.other_pattern)
    expect(ValueError, v.symbolic.factorize, v.other_dtype)
    expect(ValueError, v.symbolic.factorize, v.W)
    expect(ValueError, v.symbolic.factorize, v.nan)
    expect(ValueError, v.symbolic.factorize, v.bad_index)

    # -- solve: dense and sparse, plain and transposed, and bad operands.
    for F in v.long_lived():
        x = F.solve(v.b)
        assert relerr(x, v.ref_x) < TOL
        F.solve(v.B)
        F.solve(np.ascontiguousarray(v.B))
        F.solve(v.c, transpose=True)
        F.solve(v.Bs)
        F.solve(v.Bs, rhs_batch_size=2)
        F.solve(v.Bs.tocsr())
        F.solve(v.Cs, transpose=True, rhs_batch_size=1)
    F = v.numeric
    expect(ValueError, F.solve, np.ones(m + 1, v.dtype))
    expect(ValueError, F.solve, v.b, transpose=True)
    expect(ValueError, F.solve, np.ones((m, 2, 1), v.dtype))
    expect(ValueError, F.solve, list(v.b))
    expect(ValueError, F.solve, v.Cs)
    expect(ValueError, F.solve, v.Bs, rhs_batch_size=0)
    expect(TypeError, F.solve, v.Bs, rhs_batch_size=2.5)
    if v.dtype.kind == "f":
        expect(TypeError, F.solve, v.b.astype(np.complex128))

    # -- qmult: every method, dense and sparse operands, and bad operands.
    for F in v.long_lived():
        for meth in METHODS:
            F.qmult(v.X[meth], meth)
        assert relerr(F.qmult(v.X["QX"], "QX"), v.ref_qx) < TOL
        F.qmult(v.b, "QTX")
        F.qmult(v.Xs, "QX")
        F.qmult(v.Xs.T.tocsc(), "XQT")
    expect(ValueError, v.numeric.qmult, v.X["QX"], "qx")
    expect(ValueError, v.numeric.qmult, v.X["QX"], "XQ")
    expect(ValueError, v.numeric.qmult, np.ones((m, 2, 2), v.dtype))
    expect(AssertionError, SPQRFactor(A).qmult, v.X["QX"])

    # -- spqr: the four modes, options and refusals.
    Q, R, E = spqr(A)
    spqr(A, mode="economic")
    spqr(A, mode="r")
    house, R, E = spqr(A, mode="householder", order="fixed", tol=0)
    spqr(v.W, mode="economic")
    expect(ValueError, spqr, A, mode="econ")
    expect(ValueError, spqr, A, order="given")
    expect(ValueError, spqr, v.bad_indptr)
    expect(ValueError, spqr, v.nan, mode="householder")

    # -- spqr_qmult: every method, dense and sparse, forged triples.
    for meth in METHODS:
        spqr_qmult(v.house, v.X[meth], meth)
    assert relerr(spqr_qmult(v.house, v.X["QTX"], "QTX"), v.ref_house) < TOL
    spqr_qmult(house, v.b)
    spqr_qmult(v.house, v.Xs, "QX")
    spqr_qmult(v.house, v.Xs.T.tocsc(), "XQT")
    H, tau, perm = v.house
    forged = [(H, tau, np.where(perm == m - 1, m, perm).astype(v.itype)),   # out of range
              (H, tau, np.where(perm == m - 1, 0, perm).astype(v.itype)),   # repeated
              (H, tau[:-1], perm), (H, tau, perm[:-1]), (H, tau)]
    Hbad = H.copy()
    Hbad.indices = Hbad.indices.copy()
    Hbad.indices[-1] = m + 3
    forged.append((Hbad, tau, perm))
    for triple in forged:
        expect(ValueError, spqr_qmult, triple, v.X["QX"])
    expect(ValueError, spqr_qmult, forged[0], v.Xs)
    expect(ValueError, spqr_qmult, v.house, v.X["QX"], "qx")
    expect(ValueError, spqr_qmult, v.house, v.X["XQ"], "QX")

    # -- info and SPQRInfo pickling.
    info = v.numeric.info
    assert info.rank_A_estimate == n and f.info is not None
    clone = pickle.loads(pickle.dumps(info))
    assert clone == info and hash(clone) == hash(info)
    repr(info)
    expect(pickle.PickleError, __pyx_unpickle_SPQRInfo, SPQRInfo, 0x1234, None)
    expect(TypeError, __pyx_unpickle_SPQRInfo, SPQRInfo, 0x4FE1628, [1])
    expect(IndexError, SPQRInfo().__setstate__, (1, 2))
    expect(AttributeError, setattr, info, "nf", 3)

    # -- copy: of both long-lived factors; copies live on and die in turn.
    for F in v.long_lived():
        C = F.copy()
        before = counters(C)            # the copy's own workspace balances too
        assert relerr(C.solve(v.b), v.ref_x) < TOL
        C.qmult(v.X["XQ"], "XQ")
        C.solve(v.Bs, rhs_batch_size=4)
        expect(ValueError, C.solve, v.Cs)
        assert counters(C) == before, (before, counters(C))
        C.factorize(v.A2)
        C.qmult(v.Xs, "QTX")
        C.copy().copy()
    SPQRFactor(A).copy()
    expect(ValueError, SPQRFactor.__new__(SPQRFactor).copy)
    expect(TypeError, pickle.dumps, v.numeric)

    # -- spqr_factor, spqr_solve.
    spqr_factor(A)
    spqr_factor(A, use_singletons=True, order="amd", tol=0.1)
    expect(ValueError, spqr_factor, A, order="bogus")
    spqr_solve(A, v.b)
    spqr_solve(v.W, v.c)                             # minimum 2-norm
    spqr_solve(v.W, v.c, min2norm=False)
    spqr_solve(A, v.c, transpose=True)
    spqr_solve(A, v.Bs, rhs_batch_size=3)
    expect(ValueError, spqr_solve, A, v.c)
    expect(ValueError, spqr_solve, v.bad_index, v.b)
    expect(ValueError, spqr_solve, v.bad_indptr, v.b)
    expect(ValueError, spqr_solve, np.ones((2, 2, 2)), v.b)

    # -- construction refusals.
    expect(ValueError, SPQRFactor, A, order="bogus")
    expect(ValueError, SPQRFactor, v.nan, use_singletons=True)
    expect(ValueError, SPQRFactor, v.bad_index)
    expect(ValueError, SPQRFactor, v.bad_indptr)
    expect(TypeError, SPQRFactor, np.array([["a"]]))


def soak(iterations, warmup=None, report=None):
    """Run the soak; return its figures as a dict (``ok`` tells the verdict)."""
    if warmup is None:  # the allocators need a few hundred passes to settle
        warmup = max(200, iterations // 10)
    variants = [Variant(d, i, seed) for seed, (d, i) in enumerate(VARIANTS)]
    long_lived = [F for v in variants for F in v.long_lived()]

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # rank-deficiency and tolerance warnings
        for k in range(warmup):
            operations(variants[k % len(variants)])
        gc.collect()
        baseline = [counters(F) for F in long_lived]
        rss0 = rss()
        t0 = time.perf_counter()
        drift = 0
        first_drift = None
        for k in range(iterations):
            operations(variants[k % len(variants)])
            now = [counters(F) for F in long_lived]
            if now != baseline:
                drift += 1
                if first_drift is None:
                    first_drift = (k, baseline, now)
            if report and (k + 1) % max(1, iterations // 10) == 0:
                report(f"  {k + 1:>6} iterations, RSS {rss() - rss0:+,} bytes")
        elapsed = time.perf_counter() - t0
        gc.collect()
        rss1 = rss()
    end = [counters(F) for F in long_lived]
    figures = {
        "iterations": iterations,
        "warmup": warmup,
        "seconds": elapsed,
        "rss_after_warmup": rss0,
        "rss_growth": rss1 - rss0,
        "counter_baseline": baseline,
        "counter_end": end,
        "iterations_with_counter_drift": drift,
        "first_counter_drift": first_drift,
    }
    figures["ok"] = figures["rss_growth"] < RSS_LIMIT and drift == 0 and end == baseline
    return figures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=10_000)
    parser.add_argument("--warmup", type=int, default=None)
    parser.add_argument("--no-rss", action="store_true",
                        help="judge by the workspace counters only (sanitizers, valgrind)")
    args = parser.parse_args(argv)
    print(f"soak: {args.iterations} iterations over the four variants "
          f"(each iteration: every public operation and its error paths)", flush=True)
    r = soak(args.iterations, args.warmup, report=lambda s: print(s, flush=True))
    counters_ok = r["iterations_with_counter_drift"] == 0 and r["counter_end"] == r["counter_baseline"]
    print(f"soak: {r['iterations']} iterations after {r['warmup']} of warm-up, "
          f"{r['seconds']:.1f} s")
    limit = "not judged" if args.no_rss else f"limit {RSS_LIMIT:,}"
    print(f"soak: RSS after warm-up {r['rss_after_warmup'] / 2**20:.1f} MiB, "
          f"growth {r['rss_growth']:+,} bytes ({limit})")
    print(f"soak: workspace counters (malloc_count, memory_inuse) of {len(r['counter_end'])} "
          f"long-lived factors: baseline {r['counter_baseline']}, end {r['counter_end']}, "
          f"iterations with drift: {r['iterations_with_counter_drift']}")
    if r["first_counter_drift"]:
        print(f"soak: first drift at iteration {r['first_counter_drift'][0]}: "
              f"{r['first_counter_drift'][2]}")
    ok = counters_ok if args.no_rss else r["ok"]
    print("soak: PASS" if ok else "soak: FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
