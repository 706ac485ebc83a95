"""Threads: what releasing the GIL during SPQR work buys, and what the
per-factor lock costs (`make bench` runs it; `--quick` for a smoke run).

(a) Throughput: T = 1 and 2 threads, each factorizing and solving a large
    matrix of its own, with one BLAS thread each (threadpoolctl).  Target:
    2 threads reach at least 1.8x the work per second of one on 2 cores.
(b) Responsiveness: a pure-Python counting thread keeps at least 90% of its
    solo rate while another thread runs a factorization of about a second.
(c) The cost of the lock and the release on one thread: the main report's
    tiny `f.solve(b)` overhead over native and its large-case ratios carry
    it; here the uncontended lock alone is timed through the getter
    `f.shape` (lock, tuple, unlock) beside a tiny `f.solve(b)`.

Writes benchmarks/results/threads.md (and .json) and prints the table.
"""

import argparse
import json
import sys
import threading
import time
from pathlib import Path

import numpy as np
from scipy import sparse

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from cases import grid_gradient  # noqa: E402

from orvex.spqr import SPQRFactor, spqr_factor  # noqa: E402


def blas_one_thread():
    """One BLAS thread, and one orvex thread per factorization: (a) and (b)
    measure what releasing the GIL buys to Python threads."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return None
    return threadpool_limits(limits={"blas": 1, "orvex": 1})


def factor_and_solve(A, b):
    f = SPQRFactor(A)
    f.factorize(A)
    return f.solve(b)


def throughput(n, rounds, repeats=3):
    """Jobs per second of `rounds` factor+solve jobs per thread, T = 1 and 2.

    The two thread counts take turns `repeats` times and the best rate of
    each is kept: on a shared virtual machine single runs vary by tens of
    percent."""
    mats = [grid_gradient(n, n + k) for k in range(2)]
    rhs = [np.ones(A.shape[0]) for A in mats]
    factor_and_solve(mats[0], rhs[0])             # warm-up
    out = {1: {"seconds": np.inf, "jobs_per_second": 0.0}, 2: {"seconds": np.inf, "jobs_per_second": 0.0}}
    for _ in range(repeats):
        for T in (1, 2):
            def work(k):
                for _ in range(rounds):
                    factor_and_solve(mats[k], rhs[k])
            threads = [threading.Thread(target=work, args=(k,)) for k in range(T)]
            start = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            elapsed = time.perf_counter() - start
            if elapsed < out[T]["seconds"]:
                out[T] = {"seconds": elapsed, "jobs_per_second": T * rounds / elapsed}
    return out, mats[0].shape


def count_for(seconds):
    count, stop = 0, time.perf_counter() + seconds
    while time.perf_counter() < stop:
        count += 1
    return count


def responsiveness(n):
    A = grid_gradient(n, n)
    f = spqr_factor(A)
    start = time.perf_counter()
    f.factorize(A)
    t_factor = time.perf_counter() - start
    solo = count_for(t_factor) / t_factor
    done = threading.Event()
    counted = [0]

    def counter():
        c = 0
        while not done.is_set():
            c += 1
        counted[0] = c

    t = threading.Thread(target=counter)
    t.start()
    start = time.perf_counter()
    f.factorize(A)
    busy = time.perf_counter() - start
    done.set()
    t.join()
    # The counter also ran a little before and after the factorization.
    return {"factorize_seconds": busy, "solo_rate": solo, "rate_during": counted[0] / busy,
            "fraction": counted[0] / busy / solo, "shape": A.shape}


def lock_cost():
    A = sparse.csc_array(np.array([[1.0, 2, 0], [0, 1, 3], [4, 0, 1], [1, 1, 1]]))
    f = spqr_factor(A)
    b = np.ones(4)
    reps = 200000
    for call, name in ((lambda: f.shape, "f.shape"), (lambda: f.solve(b), "f.solve(b)")):
        call()
    res = {}
    for call, name in ((lambda: f.shape, "f.shape"), (lambda: f.solve(b), "f.solve(b)")):
        n = reps if name == "f.shape" else reps // 10
        best = float("inf")
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(n):
                call()
            best = min(best, (time.perf_counter() - start) / n)
        res[name] = best
    return res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    n, rounds = (60, 2) if args.quick else (400, 3)
    limit = blas_one_thread()
    try:
        tp, shape = throughput(n, rounds, 1 if args.quick else 5)
        resp = responsiveness(60 if args.quick else 420)
    finally:
        if limit is not None:
            limit.restore_original_limits()
    lock = lock_cost()
    speedup = tp[2]["jobs_per_second"] / tp[1]["jobs_per_second"]
    rows = [
        ("(a) throughput, 2 threads / 1 thread (one BLAS thread each)", ">= 1.8",
         f"{speedup:.2f}x ({tp[1]['jobs_per_second']:.2f} vs {tp[2]['jobs_per_second']:.2f} jobs/s, "
         f"grid gradient {shape[0]} x {shape[1]}, factorize + solve)", speedup >= 1.8),
        ("(b) counting thread's rate during a factorization", ">= 90% of solo",
         f"{100 * resp['fraction']:.1f}% during a {resp['factorize_seconds']:.2f} s factorization "
         f"of {resp['shape'][0]} x {resp['shape'][1]}", resp["fraction"] >= 0.9),
        ("(c) uncontended lock and release, tiny case", "(the `make bench` tiny target: <= 5 us over native)",
         f"f.shape {1e6 * lock['f.shape']:.2f} us, f.solve(b) {1e6 * lock['f.solve(b)']:.2f} us", True),
    ]
    lines = ["# Threads", "", f"Measured {time.strftime('%Y-%m-%d %H:%M')} "
             f"({'quick run, no timing claims' if args.quick else 'full run'}).", "",
             "(a) is the best of 5 turns of T = 1 and T = 2 each: single turns on this shared "
             "virtual machine vary by tens of percent.", "",
             "| figure | target | measured | met |", "|---|---|---|:---:|"]
    lines += [f"| {a} | {b} | {c} | {'yes' if ok else 'no'} |" for a, b, c, ok in rows]
    text = "\n".join(lines) + "\n"
    print(text)
    if not args.quick:
        out = HERE / "results"
        (out / "threads.md").write_text(text)
        (out / "threads.json").write_text(json.dumps({"throughput": tp, "responsiveness": resp, "lock": lock},
                                                     indent=1, default=str))


if __name__ == "__main__":
    main()
