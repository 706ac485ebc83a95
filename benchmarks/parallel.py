"""Parallel factorization over SPQR's task tree (`make bench` runs it;
`--quick` for a smoke run).

For each large case and ordering (default, AMD, METIS), in one run:

- numeric factorization (a fresh copy of the analysed factor), refactorization
  and `spqr_solve` (which takes no ordering: with the default one only), at
  T = 1 and T = 2 orvex threads, taking turns, best of N;
- T = 1 in two configurations: the analysis for one thread (no task tree,
  SPQR's sequential kernel, which runs at native SPQR's speed) with one BLAS
  thread and with the BLAS's own threads; the best of these is "best T = 1";
- T = 2 with orvex's BLAS policy (one BLAS thread in tasks, the BLAS's own
  threads for the trunk of the tree) and with one BLAS thread throughout;
- the available parallelism of the tree: the tasks' total time over the
  longest chain of dependent tasks (work / span, timed at T = 1), the bound
  on the speed-up with any number of cores at this grain;
- the frontal tree's own parallelism, in flops (SPQR's count, on the
  staircase of each front): total over the heaviest chain of fronts, the bound for any scheduler of whole fronts at any grain (a pure
  chain of fronts, as COLAMD gives a banded matrix, is 1.00: only parallelism
  inside fronts could help there);
- GFlop/s (SPQR's flop count) next to this machine's dense-product rate.

Small collection matrices: T = 2 / T = 1 for a numeric factorization (below
the flop threshold the analysis makes no tree, so it should be 1.0).

Writes benchmarks/results/parallel.md (and .json) and prints the table.
"""

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np
from scipy import sparse
from threadpoolctl import threadpool_info, threadpool_limits

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from cases import as_canonical, banded_random, grid_gradient, load_mtx  # noqa: E402

import orvex  # noqa: E402
from orvex import _ext  # noqa: E402
from orvex.spqr import SPQRFactor, spqr_solve  # noqa: E402


def grid3d_gradient(n, itype=np.int32):
    """Forward differences on an n x n x n grid (zero beyond the last node)."""
    d = sparse.diags_array([-np.ones(n), np.ones(n - 1)], offsets=[0, 1], shape=(n, n))
    eye = sparse.eye_array(n)
    A = sparse.vstack([sparse.kron(sparse.kron(eye, eye), d), sparse.kron(sparse.kron(eye, d), eye),
                       sparse.kron(sparse.kron(d, eye), eye)])
    return as_canonical(A, np.float64, itype)


def large_cases(quick):
    if quick:
        return [("grid2d", grid_gradient(60, 60)), ("grid3d", grid3d_gradient(12))]
    return [("grid2d 299,538 x 149,769", grid_gradient(387, 387)),
            ("grid3d 65,856 x 21,952", grid3d_gradient(28)),
            ("randls 200,000 x 50,000", banded_random(200_000, 50_000, 8, 25, 1, np.int64)),
            ("wide 60,000 x 180,000 (min. norm)", banded_random(60_000, 180_000, 8, 60, 2, np.int32)),
            ("young1c 841 x 841 (largest collection)", load_mtx("young1c"))]


def small_cases():
    return [(name, load_mtx(name)) for name in ("ash219", "west0067", "lp_e226_transposed", "young1c")]


def blas_threads():
    return max((i["num_threads"] for i in threadpool_info() if i["user_api"] == "blas"), default=1)


def best_of(fn, repeats):
    best = np.inf
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def dense_rate(n=3000):
    """GFlop/s of a dense n x n product, one BLAS thread and all of them."""
    rng = np.random.default_rng(0)
    X, Y = rng.standard_normal((n, n)), rng.standard_normal((n, n))
    out = {}
    for label, limit in (("1 thread", 1), ("all threads", None)):
        with threadpool_limits(limit, user_api="blas"):
            X @ Y
            out[label] = 2 * n ** 3 / best_of(lambda: X @ Y, 3) / 1e9
    return out


def configurations(nblas):
    # (label, orvex threads of the analysis, of the numeric phase, BLAS threads)
    return [("T=1, no tree, 1 BLAS", 1, 1, 1),
            (f"T=1, no tree, {nblas} BLAS", 1, 1, nblas),
            ("T=2, tree, 1 BLAS", 2, 2, 1),
            ("T=2, tree, policy", 2, 2, nblas)]


def measure(A, order, turns, nblas):
    """Best times of every configuration, taking turns."""
    b = np.ones(A.shape[0])
    confs = configurations(nblas)
    analysed = {}
    for label, ta, _, _ in confs:
        if ta not in analysed:
            orvex.set_num_threads(ta)
            analysed[ta] = SPQRFactor(A, order=order)
    best = {label: {"numeric": np.inf, "refactorize": np.inf, "spqr_solve": np.inf} for label, *_ in confs}
    flops = {}
    profile = None
    for _ in range(turns):
        for label, ta, tn, nb in confs:
            with threadpool_limits(nb, user_api="blas"):
                orvex.set_num_threads(tn)
                f = analysed[ta].copy()
                t = time.perf_counter()
                f.factorize(A)
                best[label]["numeric"] = min(best[label]["numeric"], time.perf_counter() - t)
                t = time.perf_counter()
                f.factorize(A)
                best[label]["refactorize"] = min(best[label]["refactorize"], time.perf_counter() - t)
                flops[label] = f.info.flops
                if order == "default":
                    # one call (which takes no ordering: SPQR's default), its
                    # own analysis at the configuration's threads
                    orvex.set_num_threads(ta)
                    t = time.perf_counter()
                    spqr_solve(A, b)
                    best[label]["spqr_solve"] = min(best[label]["spqr_solve"], time.perf_counter() - t)
    # the tree's shape, timed at one thread with one BLAS thread
    with threadpool_limits(1, user_api="blas"):
        orvex.set_num_threads(1)
        f = analysed[2].copy()
        f.factorize(A)
        profile = _ext._last_tree_profile()
    fronts = _ext._front_tree_flops(f)
    return best, flops, profile, fronts


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--turns", type=int, default=2)
    args = ap.parse_args()
    turns = 1 if args.quick else args.turns
    before = orvex.get_num_threads()
    nblas = blas_threads()
    rates = dense_rate(500 if args.quick else 3000)
    rows = []
    try:
        for name, A in large_cases(args.quick):
            for order in ("default", "amd", "metis"):
                best, flops, profile, fronts = measure(A, order, turns, nblas)
                rows.append({"case": name, "order": order, "best": best, "flops": flops,
                             "tasks": profile[0], "work": profile[1], "span": profile[2], "trunk": profile[3],
                             "fronts": fronts[0], "front_parallelism": fronts[1] / fronts[2] if fronts[2] else 1.0})
                print(name, order, json.dumps(best), flush=True)
        small = []
        for name, A in small_cases():
            orvex.set_num_threads(1)
            f1 = SPQRFactor(A)
            orvex.set_num_threads(2)
            f2 = SPQRFactor(A)
            t1 = t2 = np.inf
            for _ in range(5):
                orvex.set_num_threads(1)
                t1 = min(t1, best_of(lambda: f1.factorize(A), 20))
                orvex.set_num_threads(2)
                t2 = min(t2, best_of(lambda: f2.factorize(A), 20))
            small.append({"case": name, "t1": t1, "t2": t2})
    finally:
        orvex.set_num_threads(before)
    write(rows, small, rates, nblas, turns, args.quick)


def write(rows, small, rates, nblas, turns, quick):
    out = HERE / "results"
    out.mkdir(exist_ok=True)
    (out / "parallel.json").write_text(json.dumps({"rows": rows, "small": small, "dense": rates,
                                                  "blas_threads": nblas}, indent=1, default=float))
    confs = [c[0] for c in configurations(nblas)]
    L = ["# Parallel factorization", "",
         f"Measured {time.strftime('%Y-%m-%d %H:%M')} ({'quick' if quick else 'full'} run), "
         f"{len(__import__('os').sched_getaffinity(0))} cores shared with other work: every figure is the best "
         f"of {turns} turns, the configurations of a case taking turns.", "",
         f"Dense product (BLAS): {rates['1 thread']:.1f} GFlop/s on one thread, "
         f"{rates['all threads']:.1f} GFlop/s on {nblas}.", "",
         "T=1 'no tree': the analysis for one thread (SPQR's sequential kernel, native SPQR's speed); "
         "'tree': the analysis for two threads (the tree split into tasks).  'policy': one BLAS thread "
         "inside tasks, the BLAS's own threads for the trunk.  Speed-up: best T = 2 over best T = 1.  "
         "Parallelism: work / span of the tree at this grain (timed at one thread), the bound for any "
         "number of cores.  Fronts: the frontal tree's flops over those of its heaviest chain of fronts, "
         "the bound for any scheduler of whole fronts at any grain (1.00: a chain).", ""]
    for op in ("numeric", "refactorize", "spqr_solve"):
        L += [f"## {op}", "",
              "| case | order | " + " | ".join(confs) + " | speed-up | GFlop/s (best) | tasks | parallelism | trunk "
              "| fronts | front-tree parallelism |",
              "|---|---|" + "---:|" * (len(confs) + 7)]
        if op == "spqr_solve":
            L[-2:-2] = ["`spqr_solve` takes no ordering: SPQR's default, whose rows are shown.", ""]
        for r in rows:
            if op == "spqr_solve" and r["order"] != "default":
                continue
            b = r["best"]
            t1 = min(b[c][op] for c in confs[:2])
            t2 = min(b[c][op] for c in confs[2:])
            fl = max(r["flops"].values())
            shape = (f"{r['work'] / r['span']:.2f} | {r['trunk'] / r['work']:.0%}" if r["span"] > 0
                     else "1 | -")
            L.append(f"| {r['case']} | {r['order']} | " + " | ".join(f"{b[c][op]:.3f}" for c in confs) +
                     f" | {t1 / t2:.2f}x | {fl / min(t1, t2) / 1e9:.1f} | {max(r['tasks'], 1)} | {shape} "
                     f"| {r['fronts']:,} | {r['front_parallelism']:.2f} |")
        L.append("")
    L += ["## Small collection matrices (numeric factorization)", "",
          "| case | T=1 (ms) | T=2 (ms) | T=2 / T=1 |", "|---|---:|---:|---:|"]
    for s in small:
        L.append(f"| {s['case']} | {s['t1'] * 1e3:.3f} | {s['t2'] * 1e3:.3f} | {s['t2'] / s['t1']:.2f} |")
    text = "\n".join(L) + "\n"
    (out / "parallel.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
