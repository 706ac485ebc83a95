"""What the private structure of a call costs, and products with a triple.

    python benchmarks/capture.py [--quick]

1. Every native call copies the index arrays of its sparse operands into
   memory of its own and checks the copy.  For the large cases of the suite
   this measures that capture alone (through the converter's own check, which
   runs exactly it) against the operation that pays it: the numeric
   factorization (refactorization) and the analysis.
2. `spqr_qmult` with a triple that `spqr` made and nobody changed (applied
   through the panels spqr arranged for it), with a copy of that triple (the
   O(nnz) checks), `SPQRFactor.qmult` and pyspqr's `Q.T @ b` / `Q @ b`, one
   column, both directions.  Also what spqr's structure for products costs.

Writes benchmarks/results/capture.md.  One BLAS thread; best of several runs,
the operations taking turns.
"""
import argparse
import datetime
import os
import pathlib
import platform
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from cases import banded_random, grid_gradient  # noqa: E402

from orvex import _ext  # noqa: E402
from orvex.spqr import SPQRFactor, spqr, spqr_qmult  # noqa: E402


def best(fns, turns):
    """Best time of each function in `fns`, run in turns."""
    times = [float("inf")] * len(fns)
    for _ in range(turns):
        for k, fn in enumerate(fns):
            t = time.perf_counter()
            fn()
            times[k] = min(times[k], time.perf_counter() - t)
    return times


def capture_only(A):
    """The snapshot and checks of one call, alone: the converter copies and
    checks A's structure before it refuses the address 1."""
    def run():
        try:
            _ext._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data, 0, 1)
        except ValueError:
            pass
    return run


def pyspqr_q(A):
    try:
        import pyspqr
    except ImportError:
        return None
    import scipy.sparse as sp
    M = sp.csc_matrix(A)
    M.indptr, M.indices = M.indptr.astype(np.int32), M.indices.astype(np.int32)
    return pyspqr.qr(M)[0]


def fmt(t):
    return "-" if t is None else (f"{t * 1e3:.2f} ms" if t < 1 else f"{t:.2f} s")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--quick", action="store_true")
    p.add_argument("--output", default=str(HERE / "results" / "capture.md"))
    args = p.parse_args()
    turns = 2 if args.quick else 5
    if args.quick:
        cases = [("grid2d-small", grid_gradient(60, 60))]
    else:
        cases = [("grid2d", grid_gradient(387, 387)),
                 ("randls", banded_random(200_000, 50_000, 8, 25, 1, np.int64)),
                 ("wide (A^H)", banded_random(60_000, 180_000, 8, 60, 2, np.int32).conj().T.tocsc())]
    rows1, rows2, shape_bytes = [], [], []
    for name, A in cases:
        print(f"capture: {name}", file=sys.stderr, flush=True)
        f = SPQRFactor(A)
        f.factorize(A)
        t_cap, t_num, t_sym = best([capture_only(A), lambda: f.factorize(A), lambda: SPQRFactor(A)], turns)
        rows1.append((name, A.shape, A.nnz, t_cap, t_num, t_sym))
        house = spqr(A, mode="householder", order="amd")[0]
        copied = type(house)(house.H.copy(), house.tau.copy(), house.perm.copy())
        g = SPQRFactor(A, order="amd").factorize(A)
        b = np.random.default_rng(0).standard_normal(A.shape[0])
        Q = pyspqr_q(A) if A.dtype.kind == "f" else None
        for method, op in (("QTX", lambda Q: Q.T @ b), ("QX", lambda Q: Q @ b)):
            fns = [lambda: g.qmult(b, method), lambda: spqr_qmult(house, b, method),
                   lambda: spqr_qmult(copied, b, method)]
            if Q is not None:
                fns.append(lambda: op(Q))
            times = best(fns, turns)
            rows2.append((name, method, house.H.nnz, *times, *([None] if Q is None else [])))
        shape_bytes.append((name, house.H.nnz, house.H.shape[1], _ext._triple_stats(house.H)["bytes"]))
        del house, copied, g, f
    today = datetime.date.today().isoformat()
    L = ["# The call's own structure: its cost, and products with an unchanged triple", "",
         f"Measured by `benchmarks/capture.py{' --quick' if args.quick else ''}` on {platform.processor() or platform.machine()} "
         f"({os.cpu_count()} cores), {today}, one BLAS thread, best of {turns} turns "
         f"(load average at the end: {' / '.join(f'{x:.2f}' for x in os.getloadavg())}).", "",
         "## Copying and checking the index arrays (every call)", "",
         "| case | shape | nnz | capture | refactorization | share | analysis | share |",
         "|---|---|---:|---:|---:|---:|---:|---:|"]
    for name, shape, nnz, c, num, sym in rows1:
        L.append(f"| {name} | {shape[0]:,} x {shape[1]:,} | {nnz:,} | {fmt(c)} | {fmt(num)} | {100 * c / num:.2f}% "
                 f"| {fmt(sym)} | {100 * c / sym:.2f}% |")
    L += ["", "The capture is part of both operations' times; its share bounds what it adds to orvex / native.", "",
          "## One column with the Householder triple (AMD ordering)", "",
          "| case | nnz(H) | product | `SPQRFactor.qmult` | `spqr_qmult`, triple as `spqr` made it | ratio | "
          "`spqr_qmult`, a copy (checked) | pyspqr | triple / pyspqr |",
          "|---|---:|---|---:|---:|---:|---:|---:|---:|"]
    for name, method, nnzh, tf, tm, tc, tp in rows2:
        prod = "Q^T b" if method == "QTX" else "Q b"
        vs = "-" if tp is None else f"{tm / tp:.2f}"
        L.append(f"| {name} | {nnzh:,} | {prod} | {fmt(tf)} | {fmt(tm)} | {tm / tf:.2f} | {fmt(tc)} | {fmt(tp)} "
                 f"| {vs} |")
    L += ["", "ratio: the triple's time over the factorization's; pyspqr: `Q.T @ b`, `Q @ b` with its own Q "
          "(real cases).  A triple `spqr` made has its structure kept private to orvex, "
          "arranged for products (the caller's row indices are compared with it once per product): runs of reflectors whose rows overlap (a front's), with the union of "
          "their rows; a product gathers those rows of b once per run, applies the run there and "
          "scatters them back, and reads H's values where the caller holds them.  A copy of the triple "
          "is checked in O(nnz(H)) first and applied reflector by reflector through H's row indices.", "",
          "## What the structure for products costs", "",
          "| case | nnz(H) | reflectors | bytes | bytes per nnz(H) |", "|---|---:|---:|---:|---:|"]
    for name, nnzh, nh, nbytes in shape_bytes:
        L.append(f"| {name} | {nnzh:,} | {nh:,} | {nbytes / 2**20:.1f} MiB | {nbytes / nnzh:.2f} |")
    L += ["", "Kept by `spqr` for as long as H's row index array lives: H's column pointers, v, each run's "
          "rows, where each reflector starts in its run's rows, and the rows of the few reflectors whose "
          "rows are not consecutive there.", ""]
    pathlib.Path(args.output).write_text("\n".join(L))
    print("\n".join(L))


if __name__ == "__main__":
    main()
