"""Threads calling every operation while others write into, swap and drop
the arrays those calls read.

    python tests/safety/stress.py [SECONDS]

Callers use shared operands (and shared factors); vandals write out-of-range
indices into the shared index arrays and put them back, swap index arrays
for broken copies and back, and drop attributes' arrays for fresh copies.
Every call must end in a Python exception or in exactly the result it gives
single-threaded on the unchanged operands.  Prints a summary line and exits
non-zero on any mismatch (a crash ends the process with a signal).
"""
import sys
import threading
import time

import numpy as np
import scipy.sparse as sp

import orvex.rank as rk
from orvex.spqr import SPQRError, SPQRFactor, spqr, spqr_qmult, spqr_solve

CALLERS, VANDALS = 5, 3


def matrix(m, n, seed):
    rng = np.random.default_rng(seed)
    A = sp.csc_array(sp.random_array((m, n), density=0.02, rng=rng) + sp.eye_array(m, n))
    A.sum_duplicates()
    A.indices, A.indptr = A.indices.astype(np.int32), A.indptr.astype(np.int32)
    return A


def same(x, y):
    if isinstance(x, tuple):
        return all(same(a, b) for a, b in zip(x, y))
    if sp.issparse(x):
        x, y = x.toarray(), y.toarray()
    return np.array_equal(np.asarray(x), np.asarray(y))


def main(seconds):
    A = matrix(600, 200, 1)
    X = matrix(600, 30, 2)
    b = np.linspace(-1, 1, 600)
    B = np.asfortranarray(np.random.default_rng(3).standard_normal((600, 12)))
    shared = SPQRFactor(A.copy(), use_singletons=True)
    house = spqr(A, mode="householder")[0]
    house = type(house)(house.H.copy(), house.tau.copy(), house.perm.copy())
    operations = {
        "init": lambda: SPQRFactor(A).factorize(A).solve(b),
        "init-singletons": lambda: SPQRFactor(A, use_singletons=True).solve(b),
        "shared-solve": lambda: shared.solve(B),
        "shared-qmult": lambda: shared.qmult(B, "QTX"),
        "shared-sparse-solve": lambda: shared.solve(X),
        "shared-sparse-qmult": lambda: shared.qmult(X, "QX"),
        "private-refactorize": lambda: SPQRFactor(A.copy()).factorize(A).qmult(b, "QTX"),
        "spqr-r": lambda: spqr(A, mode="r")[0],
        "spqr-householder": lambda: spqr_qmult(spqr(A, mode="householder")[0], b),
        "spqr_qmult": lambda: spqr_qmult(house, B, "QTX"),
        "spqr_solve": lambda: spqr_solve(A, b),
        "rank": lambda: rk.rank_estimate(A, method="basic").rank,
        "copy": lambda: shared.copy().solve(b),
    }
    expected = {name: op() for name, op in operations.items()}
    targets = [A.indices, X.indices, house.H.indices, house.perm, A.indptr]
    broken = []
    for t in targets:
        bad = t.copy()
        bad[1::4] = 10 ** 6
        broken.append(bad)
    stop = time.monotonic() + seconds
    counts = {"calls": 0, "errors": 0, "mismatches": 0}
    lock = threading.Lock()
    failures = []

    def caller(k):
        names = list(operations)
        rng = np.random.default_rng(k)
        while time.monotonic() < stop:
            name = names[rng.integers(len(names))]
            try:
                result = operations[name]()
                ok = same(result, expected[name])
                with lock:
                    counts["calls"] += 1
                    if not ok:
                        counts["mismatches"] += 1
                        failures.append(name)
            except (ValueError, SPQRError, RuntimeError):
                with lock:
                    counts["calls"] += 1
                    counts["errors"] += 1

    def vandal(k):
        rng = np.random.default_rng(100 + k)
        good = [t.copy() for t in targets]
        while time.monotonic() < stop:
            j = rng.integers(len(targets))
            kind = rng.integers(3)
            if kind == 0:  # write, then put back
                targets[j][:] = broken[j]
                time.sleep(0)
                targets[j][:] = good[j]
            elif kind == 1:  # swap the index array of A for a broken copy, then back
                original = A.indices
                A.indices = broken[0].copy()
                time.sleep(0)
                A.indices = original
            else:  # drop A's values for a fresh copy of themselves
                A.data = A.data.copy()
            time.sleep(0)

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(CALLERS)]
    threads += [threading.Thread(target=vandal, args=(k,)) for k in range(VANDALS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(f"stress: {seconds} s, {CALLERS} callers and {VANDALS} vandals: {counts['calls']} calls, "
          f"{counts['errors']} exceptions, {counts['mismatches']} mismatches {sorted(set(failures))}")
    return 1 if counts["mismatches"] else 0


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 30.0))
