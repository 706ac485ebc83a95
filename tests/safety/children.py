"""Programs that the safety tests run in child processes: each may crash or
hang the interpreter if orvex does something wrong, so it runs alone.

    python children.py race OPERATION ITERATIONS
    python children.py fork KIND
    python children.py exit OPERATION

A race program calls one operation many times while a second thread keeps
writing into (or swapping) the index arrays the operation reads; every call
must end in a Python exception or in the result of the unchanged operands.
It prints "ok <calls> <exceptions>" and exits 0.
"""
import os
import sys
import threading
import time

import numpy as np
import scipy.sparse as sp

import orvex.rank as rk
from orvex.spqr import SPQRError, SPQRFactor, spqr, spqr_qmult, spqr_solve


def matrix(m=1500, n=400, density=0.01, seed=1, itype=np.int32):
    rng = np.random.default_rng(seed)
    A = sp.random_array((m, n), density=density, format="csc", rng=rng) + sp.eye_array(m, n, format="csc")
    A = sp.csc_array(A)
    A.sum_duplicates()
    A.indices = A.indices.astype(itype)
    A.indptr = A.indptr.astype(itype)
    return A


class Writer(threading.Thread):
    """Writes `bad` into `array` and puts `good` back, over and over."""

    def __init__(self, array, bad, good=None):
        super().__init__(daemon=True)
        self.array, self.bad = array, bad
        self.good = array.copy() if good is None else good
        self.stop = False

    def run(self):
        while not self.stop:
            self.array[:] = self.bad
            time.sleep(0)
            self.array[:] = self.good
            time.sleep(0)


def out_of_range(indices, bound):
    bad = indices.copy()
    bad[::3] = bound + 5
    return bad


def same(x, y):
    if sp.issparse(x):
        x, y = x.toarray(), y.toarray()
    return np.allclose(x, y, rtol=1e-9, atol=1e-12)


def race(operation, iterations):
    A = matrix()
    m, n = A.shape
    b = np.ones(m)
    target, bad = A.indices, out_of_range(A.indices, m)
    if operation == "factorize":
        f = SPQRFactor(A.copy())
        call = lambda: f.factorize(A).solve(b)
    elif operation == "factorize-other-pattern":
        f = SPQRFactor(A.copy())
        # Another valid pattern: every index moved to the next row.
        bad = (A.indices + 1) % m
        call = lambda: f.factorize(A).solve(b)
    elif operation == "init":
        call = lambda: SPQRFactor(A).factorize(A).solve(b)
    elif operation == "init-singletons":
        call = lambda: SPQRFactor(A, use_singletons=True).solve(b)
    elif operation == "householder":
        call = lambda: spqr_qmult(spqr(A, mode="householder")[0], b, "QTX")
    elif operation == "spqr_solve":
        call = lambda: spqr_solve(A, b)
    elif operation == "rank":
        call = lambda: rk.rank_estimate(A).rank
    elif operation in ("qmult-sparse", "solve-sparse"):
        f = SPQRFactor(A, use_singletons=True)
        X = sp.csc_array(sp.random_array((m, 40), density=0.2, format="csc", rng=3))
        X.indices = X.indices.astype(np.int32)
        X.indptr = X.indptr.astype(np.int32)
        target, bad = X.indices, out_of_range(X.indices, m)
        call = (lambda: f.qmult(X, "QTX")) if operation == "qmult-sparse" else (lambda: f.solve(X))
    elif operation.startswith("triple"):
        # triple-perm-4, triple-H-64, ...: the permutation or H's row indices
        # of a Householder triple, with a dense operand of 4 or 64 columns.
        _, part, width = operation.split("-")
        house = spqr(A, mode="householder")[0]
        house = type(house)(house.H.copy(), house.tau.copy(), house.perm.copy())
        X = np.asfortranarray(np.random.default_rng(2).standard_normal((m, int(width))))
        if part == "perm":
            target = house.perm
            bad = house.perm.copy()
            bad[::2] = m + 3
        else:
            target, bad = house.H.indices, out_of_range(house.H.indices, m)
        call = lambda: spqr_qmult(house, X, "QTX")
    elif operation == "resize":
        # The right-hand side grows and shrinks back (NumPy frees its memory
        # each time) while solves read it.
        f = SPQRFactor(A, use_singletons=True)
        B = np.arange(1.0, m + 1.0)
        expected = f.solve(B)
        stop = threading.Event()

        def resizer():
            while not stop.is_set():
                for size in (m + 1, m):
                    try:
                        B.resize(size, refcheck=False)
                    except ValueError:
                        pass
                    time.sleep(0)

        t = threading.Thread(target=resizer, daemon=True)
        t.start()
        errors = 0
        for _ in range(iterations):
            try:
                assert same(f.solve(B), expected)
            except ValueError:  # b of the wrong length at that moment
                errors += 1
        stop.set()
        t.join()
        print("ok", iterations, errors)
        return
    else:
        raise SystemExit(f"unknown operation {operation}")

    expected = call()
    writer = Writer(target, bad)
    writer.start()
    errors = 0
    for _ in range(iterations):
        try:
            result = call()
        except (ValueError, SPQRError):
            errors += 1
            continue
        assert same(result, expected), operation
    writer.stop = True
    writer.join()
    print("ok", iterations, errors)


def banded(m, n, per_row=6, band=40, seed=4):
    """A large matrix whose factorization fills little (a band of columns)."""
    rng = np.random.default_rng(seed)
    rows = np.repeat(np.arange(m), per_row)
    center = (np.arange(m) * n) // m
    offsets = rng.integers(-band, band + 1, size=(m, per_row))
    offsets[:, 0] = 0
    cols = np.clip(center[:, None] + offsets, 0, n - 1).ravel()
    vals = rng.standard_normal((m, per_row))
    vals[:, 0] = 4.0
    A = sp.csc_array(sp.coo_array((vals.ravel(), (rows, cols)), shape=(m, n)))
    A.sum_duplicates()
    return A


def busy_factor():
    """A factor held by another thread (a long factorization) right now."""
    A = banded(100000, 30000)
    f = SPQRFactor(A)
    started = threading.Event()

    def work():
        started.set()
        for _ in range(20):
            f.factorize(A)

    t = threading.Thread(target=work, daemon=True)
    t.start()
    started.wait()
    time.sleep(0.2)
    return f


def fork(kind):
    f = busy_factor()
    small = matrix(30, 10, density=0.3)
    if kind == "os.fork":
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                try:
                    f.rank
                except RuntimeError as e:
                    code = 0 if "forked" in str(e) else 2
                g = SPQRFactor(small).factorize(small)
                g.solve(np.ones(30))
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    else:
        import multiprocessing as mp

        with mp.get_context("fork").Pool(2) as pool:
            ranks = pool.map(child_rank, [small] * 4, chunksize=1)
        assert ranks == [10] * 4, ranks
    print("ok")


def child_rank(A):
    return SPQRFactor(A).factorize(A).rank


def exit_during(operation):
    """Start `operation` in a daemon thread, then leave the interpreter."""
    A = banded(30000, 9000, seed=5)
    b = np.ones(A.shape[0])
    if operation in ("solve", "qmult"):
        f = SPQRFactor(A, use_singletons=True)
    calls = {
        "init": lambda: SPQRFactor(A),
        "factorize": lambda: SPQRFactor(A).factorize(A),
        "spqr": lambda: spqr(A, mode="r"),
        "householder": lambda: spqr(A, mode="householder"),
        "spqr_solve": lambda: spqr_solve(A, b),
        "solve": lambda: f.solve(np.ones((A.shape[0], 40), order="F")),
        "qmult": lambda: f.qmult(np.ones((A.shape[0], 40), order="F"), "QTX"),
        "rank": lambda: rk.rank_estimate(A, method="basic"),
    }
    call = calls[operation]
    started = threading.Event()

    def loop():
        started.set()
        while True:
            call()

    threading.Thread(target=loop, daemon=True).start()
    started.wait()
    time.sleep(0.05)
    sys.exit(0)


if __name__ == "__main__":
    what = sys.argv[1]
    if what == "race":
        race(sys.argv[2], int(sys.argv[3]))
    elif what == "fork":
        fork(sys.argv[2])
    elif what == "exit":
        exit_during(sys.argv[2])
