"""Benchmark of the kernels behind products with Q: orvex's sparse
Householder kernel (one reflector at a time) against SPQR's blocked kernel,
both through orvex on the same factorization, and against pyspqr's own
kernel.  Writes benchmarks/results/qkernel.md (and .json).

    python benchmarks/qkernel.py            all cases, best of several runs
    python benchmarks/qkernel.py --quick    small cases, one run (no claims)

For each case: Q^H X with both representations of Q (the factorization's
fronts, `SPQRFactor.qmult`, and the Householder triple, `spqr_qmult`) at
1, 2, 4, 8, 16, 32 and 100 columns; Q x for one column; a single right-hand
side `solve` (a transposed one for the minimum-norm case); pyspqr's
`Q.T @ b` and `Q @ b`.  SPQR's kernel is forced with orvex's private switch
`_ext._qkernel("spqr")`: orvex runs SPQR's call sequences at the speed of a
native C++ program (benchmarks/results/latest.md), so this is the native
SPQR sequence.  All factorizations use the AMD ordering, as pyspqr's do; pyspqr's one-column
products take turns with orvex's run by run.  Rates count 4 nnz(H) flops per column (real arithmetic;
a complex flop is counted as one).  The crossover of each case and
representation is the first width at which SPQR's kernel wins.
"""

import argparse
import contextlib
import datetime
import json
import os
import platform
import sys
import time
from pathlib import Path

# One BLAS thread, as in the measurements the kernel answers (SPQR's kernel
# gets its best single-column figures so, see latest.md's BLAS table).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from cases import banded_random, grid_gradient, load_mtx  # noqa: E402
from orvex import _ext  # noqa: E402
from orvex.spqr import spqr, spqr_factor  # noqa: E402

WIDTHS = [1, 2, 4, 8, 16, 32, 100]
TABLE_WIDTHS = [1, 4, 16, 100]
# pyspqr factors with AMD (its R has the nonzeros of SPQR's R under AMD on
# these cases): the same ordering here, so that the three kernels apply
# Householder vectors of the same count.
ORDER = "amd"
TOL = 1e-13


def cases(quick):
    """(name, family, matrix to factor, minimum-norm).  The minimum-norm case
    factors A^H, as spqr_solve does for a wide A."""
    out = [(n, "collection", load_mtx(n), False) for n in ("ash219", "west0067", "lp_e226_transposed", "young1c")]
    if quick:
        out += [("grid2d", "large", grid_gradient(8, 8), False),
                ("randls", "large", banded_random(400, 100, 8, 5, 1, np.int64), False),
                ("wide", "large", adjoint(banded_random(60, 180, 8, 15, 2, np.int32)), True)]
    else:
        out += [("grid2d", "large", grid_gradient(387, 387), False),
                ("randls", "large", banded_random(200_000, 50_000, 8, 25, 1, np.int64), False),
                ("wide", "large", adjoint(banded_random(60_000, 180_000, 8, 60, 2, np.int32)), True)]
    return out


def adjoint(A):
    """A^H with A's index type."""
    B = sp.csc_array(A.conj().T)
    B.indptr, B.indices = B.indptr.astype(A.indptr.dtype), B.indices.astype(A.indptr.dtype)
    return B


def best(fn, repeats, budget=0.25):
    """Best of `repeats` runs, more for fast operations (up to `budget` s)."""
    times = []
    start = time.perf_counter()
    while len(times) < repeats or (repeats > 1 and time.perf_counter() - start < budget and len(times) < 500):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def best_of_kernels(fn, kernels, repeats, budget=0.5, others=None):
    """Best time of `fn` under each kernel, the kernels (and the callables
    of `others`, a peer's) taking turns run by run, so that a busy spell of
    the machine hits them alike."""
    others = others or {}
    times = {k: [] for k in (*kernels, *others)}
    start = time.perf_counter()
    rounds = 0
    while rounds < repeats or (repeats > 1 and time.perf_counter() - start < budget and rounds < 300):
        for k in kernels:
            before = _ext._qkernel(k)
            try:
                t0 = time.perf_counter()
                fn()
                times[k].append(time.perf_counter() - t0)
            finally:
                _ext._qkernel(before)
        for k, other in others.items():
            t0 = time.perf_counter()
            other()
            times[k].append(time.perf_counter() - t0)
        rounds += 1
    return {k: min(v) for k, v in times.items()}


def relerr(a, b):
    return float(np.linalg.norm(a - b) / max(np.linalg.norm(b), 1e-300))


@contextlib.contextmanager
def silenced():
    """pyspqr's CHOLMOD prints on the process's own descriptors."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, null):
            os.close(fd)


def with_kernel(which, fn):
    before = _ext._qkernel(which)
    try:
        return fn()
    finally:
        _ext._qkernel(before)


def pyspqr_factor(M):
    """pyspqr's Q of M (its own factorization), or None."""
    try:
        import pyspqr
    except ImportError:
        return None
    if M.dtype.kind == "c":
        print("qkernel: pyspqr takes real matrices only", file=sys.stderr)
        return None
    A = sp.csc_matrix(M)
    A.indptr, A.indices = A.indptr.astype(np.int32), A.indices.astype(np.int32)
    with silenced():
        Q, R, E = pyspqr.qr(A)
    return Q


def pyspqr_matrix_times(Q, b, repeats):
    """Q.T @ X for a matrix operand, where pyspqr's operator takes one."""
    out = {}
    for w in TABLE_WIDTHS[1:]:
        X = np.asfortranarray(np.tile(b[:, None], (1, w)))
        try:
            ok = np.shape(Q.T @ X) == X.shape
        except Exception:
            ok = False
        out[f"QTX{w}"] = best(lambda: Q.T @ X, repeats) if ok else None
    return out


def run_case(name, family, M, minnorm, repeats):
    rng = np.random.default_rng(7)
    complex_ = M.dtype.kind == "c"

    def normal(shape):
        x = rng.standard_normal(shape)
        return x + 1j * rng.standard_normal(shape) if complex_ else x

    t0 = time.perf_counter()
    f = spqr_factor(M, order=ORDER)
    house, R = spqr(M, mode="householder", order=ORDER)[:2]
    H, tau, v = house
    T = np.asfortranarray(tau.reshape(1, -1))
    nnzH = int(H.nnz)
    row = {"name": name, "family": family, "shape": list(M.shape), "dtype": str(M.dtype),
           "itype": str(M.indptr.dtype), "nnzH": nnzH, "nnzR": int(R.nnz), "minnorm": minnorm, "factor": {}, "triple": {},
           "errors": {}, "setup": time.perf_counter() - t0}
    m = M.shape[0]
    Xall = np.asfortranarray(normal((m, max(WIDTHS))))
    b = np.ascontiguousarray(Xall[:, 0])
    Qpy = pyspqr_factor(M)
    py = {"QTX": [], "QX": []}
    worst = 0.0
    for w in WIDTHS:
        X = np.asfortranarray(Xall[:, :w])
        for rep, fn in (("factor", lambda: f.qmult(X, "QTX")),
                        ("triple", lambda: _ext._qmult(0, H, T, v, X))):
            ys = {k: with_kernel(k, fn) for k in ("orvex", "spqr")}
            worst = max(worst, relerr(ys["orvex"], ys["spqr"]))
            r = max(1, repeats if w <= 16 else repeats // 2)
            others = {"pyspqr": lambda: Qpy.T @ b} if w == 1 and Qpy is not None else None
            row[rep][w] = best_of_kernels(fn, ("orvex", "spqr", "auto"), r, others=others)
            if others:
                py["QTX"].append(row[rep][w].pop("pyspqr"))
    B1 = np.asfortranarray(b[:, None])  # the operand _qmult takes, made once
    for rep, fn in (("factor", lambda: f.qmult(b, "QX")),
                    ("triple", lambda: _ext._qmult(1, H, T, v, B1))):
        worst = max(worst, relerr(with_kernel("orvex", fn), with_kernel("spqr", fn)))
        others = {"pyspqr": lambda: Qpy @ b} if Qpy is not None else None
        row[rep]["QX1"] = best_of_kernels(fn, ("orvex", "spqr"), repeats, others=others)
        if others:
            py["QX"].append(row[rep]["QX1"].pop("pyspqr"))
    # What a hand-made triple (a copy of spqr's) costs before any kernel
    # runs: the checks of H, tau and v (an operand without columns).
    X0 = np.asfortranarray(Xall[:, :0])
    Hc = H.copy()
    row["triple_checks"] = best(lambda: _ext._qmult(0, Hc, T, v, X0), repeats)
    # A single right-hand side: Q^H b then R \ ..., or for the minimum-norm
    # case R^H \ ... then Q y.
    rhs = normal(M.shape[1]) if minnorm else b
    solve = lambda: f.solve(rhs, transpose=minnorm)  # noqa: E731
    worst = max(worst, relerr(with_kernel("orvex", solve), with_kernel("spqr", solve)))
    row["solve"] = best_of_kernels(solve, ("orvex", "spqr"), repeats)
    row["errors"]["worst_relative_difference"] = worst
    row["pyspqr"] = None
    if Qpy is not None:
        row["pyspqr"] = {"QTX": min(py["QTX"]), "QX": min(py["QX"]), **pyspqr_matrix_times(Qpy, b, repeats)}
    return row


def fmt_t(t):
    if t is None:
        return "-"
    return f"{t * 1e3:.2f} ms" if t < 1 else f"{t:.2f} s"


def crossover(entry):
    """First width at which SPQR's kernel is faster, or None."""
    for w in WIDTHS:
        if entry[w]["spqr"] < entry[w]["orvex"]:
            return w
    return None


def rate(nnzH, w, t):
    return 4 * nnzH * w / t / 1e9


def report(rows, quick, machine):
    L = ["# Products with Q: orvex's sparse Householder kernel against SPQR's and pyspqr's", ""]
    L.append(f"Measured by `benchmarks/qkernel.py{' --quick' if quick else ''}` on {machine['cpu']} "
             f"({machine['cores']} cores), {machine['date']}, `OPENBLAS_NUM_THREADS={os.environ['OPENBLAS_NUM_THREADS']}`; "
             f"pyspqr {machine['pyspqr'] or 'not installed'}.  Best of {machine['repeats']} runs.")
    if quick:
        L += ["", "**Quick run: miniature cases, one run each; no claims are made from these figures.**"]
    L += ["", f"Load average when the run ended: {machine['load']}; figures taken while other jobs share the "
          "cores are noisy (the kernels and pyspqr take turns, so their ratios less so)."]
    L += ["", "SPQR's kernel is run through orvex (`_ext._qkernel(\"spqr\")`), which times as the native "
          "SPQR sequence (0.98-1.01, `latest.md`).  AMD ordering throughout (as pyspqr's).  Rates: 4 nnz(H) flops per column; for complex data "
          "a complex multiply-add counts as one flop.  *auto* is what orvex runs by default (the width rule).  "
          "The kernels take turns run by run; the best time of each is shown.  *triple*: the triple `spqr` made "
          "(through `_ext._qmult`), applied through the structure `spqr` arranged for products.  *checks "
          "alone*: `spqr_qmult`'s O(nnz(H)) checks of a hand-made triple (a copy of it: H's structure, tau, "
          "the permutation) with an operand of no columns; neither a triple spqr made nor a factorization's "
          "Householder vectors need them.",
          ""]

    L += ["## One column, Q^H b", "",
          "| case | nnz(H) | factor: SPQR kernel | factor: orvex | speed-up | GFlop/s | triple: SPQR kernel "
          "| triple: orvex | speed-up | triple: checks alone | pyspqr `Q.T @ b` | orvex (factor) vs pyspqr "
          "| orvex (triple) vs pyspqr | triple / factor (orvex) |",
          "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        fa, tr, py = r["factor"][1], r["triple"][1], r["pyspqr"]
        pyt = py["QTX"] if py else None
        L.append(f"| {r['name']} | {r['nnzH']:,} | {fmt_t(fa['spqr'])} | {fmt_t(fa['orvex'])} | "
                 f"{fa['spqr'] / fa['orvex']:.2f}x | {rate(r['nnzH'], 1, fa['orvex']):.2f} | {fmt_t(tr['spqr'])} | "
                 f"{fmt_t(tr['orvex'])} | {tr['spqr'] / tr['orvex']:.2f}x | {fmt_t(r['triple_checks'])} | {fmt_t(pyt)} | "
                 f"{(pyt / fa['orvex']) if pyt else float('nan'):.2f}x | "
                 f"{(pyt / tr['orvex']) if pyt else float('nan'):.2f}x | {tr['orvex'] / fa['orvex']:.2f} |")
    L += ["", "## One column, Q b", "",
          "| case | factor: SPQR kernel | factor: orvex | speed-up | triple: SPQR kernel | triple: orvex | speed-up "
          "| pyspqr `Q @ b` | orvex (factor) vs pyspqr | orvex (triple) vs pyspqr | triple / factor (orvex) |",
          "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        fa, tr, py = r["factor"]["QX1"], r["triple"]["QX1"], r["pyspqr"]
        pyt = py["QX"] if py else None
        L.append(f"| {r['name']} | {fmt_t(fa['spqr'])} | {fmt_t(fa['orvex'])} | {fa['spqr'] / fa['orvex']:.2f}x | "
                 f"{fmt_t(tr['spqr'])} | {fmt_t(tr['orvex'])} | {tr['spqr'] / tr['orvex']:.2f}x | "
                 f"{fmt_t(pyt)} | {(pyt / fa['orvex']) if pyt else float('nan'):.2f}x | "
                 f"{(pyt / tr['orvex']) if pyt else float('nan'):.2f}x | {tr['orvex'] / fa['orvex']:.2f} |")

    L += ["", "## Q^H X by width (time; in brackets orvex's rate in GFlop/s)", ""]
    for rep, title in (("factor", "`SPQRFactor.qmult` (the factorization's fronts)"),
                       ("triple", "`spqr_qmult` (the Householder triple)")):
        L += [f"### {title}", "",
              "| case | kernel | " + " | ".join(f"{w}" for w in WIDTHS) + " | crossover |",
              "|---|---|" + "---:|" * len(WIDTHS) + "---:|"]
        for r in rows:
            e = r[rep]
            c = crossover(e)
            for k in ("spqr", "orvex", "auto"):
                cells = []
                for w in WIDTHS:
                    t = e[w][k]
                    cells.append(fmt_t(t) + (f" ({rate(r['nnzH'], w, t):.2f})" if k == "orvex" else ""))
                tail = ("none up to 100" if c is None else f"{c}") if k == "spqr" else ""
                L.append(f"| {r['name'] if k == 'spqr' else ''} | {k} | " + " | ".join(cells) + f" | {tail} |")
        L.append("")
    L += ["### pyspqr, Q^T X", "", "| case | " + " | ".join(str(w) for w in TABLE_WIDTHS) + " |",
          "|---|" + "---:|" * len(TABLE_WIDTHS)]
    for r in rows:
        py = r["pyspqr"]
        cells = [fmt_t(py["QTX"]) if py else "-"] + [fmt_t(py.get(f"QTX{w}")) if py else "-" for w in TABLE_WIDTHS[1:]]
        L.append(f"| {r['name']} | " + " | ".join(cells) + " |")
    L += ["", "`-`: pyspqr's operator does not multiply a matrix (or is not installed).", ""]

    L += ["## Single right-hand side solve", "",
          "| case | solve | SPQR kernel (native sequence) | orvex | speed-up |", "|---|---|---:|---:|---:|"]
    for r in rows:
        s = r["solve"]
        what = "`f.solve(b, transpose=True)` (minimum norm)" if r["minnorm"] else "`f.solve(b)`"
        L.append(f"| {r['name']} | {what} | {fmt_t(s['spqr'])} | {fmt_t(s['orvex'])} | {s['spqr'] / s['orvex']:.2f}x |")

    L += ["", "## Agreement", "",
          "Largest relative difference (2-norm) between the two kernels' results over every product and solve "
          "above, per case (limit 1e-13):", ""]
    L.append(", ".join(f"{r['name']} {r['errors']['worst_relative_difference']:.1e}" for r in rows))

    L += ["", "## Targets", "", "| target | met | measured |", "|---|:---:|---|"]
    large = [r for r in rows if r["family"] == "large"]

    def line(name, ok, text):
        L.append(f"| {name} | {'yes' if ok else 'no'} | {text} |")

    for rep in ("factor", "triple"):
        sp_ = {r["name"]: r[rep][1]["spqr"] / r[rep][1]["orvex"] for r in large}
        line(f"large cases: one-column Q^H b ({rep}) >= 2x faster than SPQR's kernel",
             all(v >= 2 for v in sp_.values()), ", ".join(f"{k} {v:.2f}x" for k, v in sp_.items()))
    with_py = [r for r in rows if r["pyspqr"]]
    if with_py:
        vs = {r["name"]: r["pyspqr"]["QTX"] / r["factor"][1]["orvex"] for r in with_py}
        line("one-column Q^H b (factor) never slower than pyspqr", all(v >= 1 for v in vs.values()),
             ", ".join(f"{k} {v:.2f}x" for k, v in vs.items()))
        vs = {r["name"]: r["pyspqr"]["QTX"] / r["triple"][1]["orvex"] for r in with_py}
        ok = all(v >= 1 for v in vs.values())
        text = ", ".join(f"{k} {v:.2f}x" for k, v in vs.items())
        line("one-column Q^H b (triple) never slower than pyspqr", ok, text)
    else:
        line("one-column products never slower than pyspqr", False, "pyspqr not installed")
    if with_py:
        vs = {r["name"]: r["pyspqr"]["QX"] / r["factor"]["QX1"]["orvex"] for r in with_py}
        line("one-column Q b (factor) never slower than pyspqr", all(v >= 1 for v in vs.values()),
             ", ".join(f"{k} {v:.2f}x" for k, v in vs.items()))
        vs = {r["name"]: r["pyspqr"]["QX"] / r["triple"]["QX1"]["orvex"] for r in with_py}
        line("one-column Q b (triple) never slower than pyspqr", all(v >= 1 for v in vs.values()),
             ", ".join(f"{k} {v:.2f}x" for k, v in vs.items()))
    # A triple spqr made against the factorization, orvex's kernel, every
    # width the rule gives it, and one column of Q b.
    rule = machine["rule"]["triple"]
    tf = {}
    for r in rows:
        for w in WIDTHS:
            if w <= rule:
                tf[f"{r['name']}/Q^H X {w}"] = r["triple"][w]["orvex"] / r["factor"][w]["orvex"]
        tf[f"{r['name']}/Q b"] = r["triple"]["QX1"]["orvex"] / r["factor"]["QX1"]["orvex"]
    worst = max(tf, key=tf.get)
    over = sorted(k for k, v in tf.items() if v > 1.2)
    line(f"triple as spqr made it within 1.2x of the factorization (orvex's kernel, up to {rule} columns, "
         "and Q b)", not over,
         f"worst {worst} {tf[worst]:.2f}; one column: " +
         ", ".join(f"{r['name']} {r['triple'][1]['orvex'] / r['factor'][1]['orvex']:.2f} / "
                   f"{r['triple']['QX1']['orvex'] / r['factor']['QX1']['orvex']:.2f}" for r in large) +
         " (Q^H b / Q b)" + (f"; over 1.2: {', '.join(over)} (products of a few microseconds: the "
                             "difference is the call's fixed cost, H's four arrays and tau and v taken "
                             "as buffers and a workspace started, not the kernel)" if over else ""))
    sv = {r["name"]: r["solve"]["spqr"] / r["solve"]["orvex"] for r in large}
    line("large cases: single right-hand side solve >= 1.5x faster than the native SPQR sequence",
         all(v >= 1.5 for v in sv.values()), ", ".join(f"{k} {v:.2f}x" for k, v in sv.items()))
    kept = {}
    for r in rows:
        for rep in ("factor", "triple"):
            e = r[rep][100]
            kept[f"{r['name']}/{rep}"] = e["auto"] / e["spqr"]
    worst_kept = max(kept, key=kept.get)
    line("100 columns (SPQR's kernel kept): auto / SPQR's kernel <= 1.05", all(v <= 1.05 for v in kept.values()),
         f"worst {worst_kept} {kept[worst_kept]:.3f}")

    slower = [r for r in with_py if r["pyspqr"]["QTX"] < r["factor"][1]["orvex"] or
              r["pyspqr"]["QX"] < r["factor"]["QX1"]["orvex"]]
    if slower:
        L += ["", "### Where pyspqr is faster", "",
              "A factorization keeps each front's columns of R and of H interleaved in one block, and orvex "
              "reads the Householder vectors there, in place (no second copy of H): a product streams the "
              "whole block, nnz(R) + nnz(H) values, and the one-column kernel is bound by that stream (a "
              "profile puts most of its time on the loads of the block).  A triple `spqr` made streams "
              "nnz(H) values and its row indices once (its structure is arranged for products once), which is "
              "why it is the faster of the two where R is large (grid2d).  Q b goes through the vectors "
              "last to first; reading each vector from its last entry down makes the values one "
              "descending stream, which the hardware prefetchers follow (read upward, each vector "
              "restarted the stream, and Q b took 1.5-3 times as long as Q^H b).", "",
              "| case | nnz(R) | nnz(H) | block bytes read by orvex | H's values (a triple) | orvex factor Q^H b | "
              "pyspqr Q^T b | orvex factor Q b | pyspqr Q b |", "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for r in slower:
            L.append(f"| {r['name']} | {r['nnzR']:,} | {r['nnzH']:,} | {8 * (r['nnzR'] + r['nnzH']) / 1e6:.0f} MB | "
                     f"{(16 if r['dtype'].startswith('complex') else 8) * r['nnzH'] / 1e6:.0f} MB | "
                     f"{fmt_t(r['factor'][1]['orvex'])} | "
                     f"{fmt_t(r['pyspqr']['QTX'])} | {fmt_t(r['factor']['QX1']['orvex'])} | "
                     f"{fmt_t(r['pyspqr']['QX'])} |")

    L += ["", "## Crossover", "",
          "First width (columns of X for Q X, Q^H X; rows for X Q, X Q^H) at which SPQR's kernel is faster:", "",
          "| case | family | factor | triple |", "|---|---|---:|---:|"]
    for r in rows:
        cf, ct = crossover(r["factor"]), crossover(r["triple"])
        L.append(f"| {r['name']} | {r['family']} | {cf or '> 100'} | {ct or '> 100'} |")
    L += ["", f"Rule in force (src/orvex/spqr/qkernel/qkernel.hpp): orvex's kernel up to "
          f"{machine['rule']['factor']} columns with a factorization, up to {machine['rule']['triple']} with a "
          "triple; SPQR's beyond.", ""]
    return "\n".join(L) + "\n"


def rule_in_force():
    src = (HERE.parent / "src" / "orvex" / "spqr" / "qkernel" / "qkernel.hpp").read_text()
    out = {}
    for key in ("factor", "triple"):
        tag = f"constexpr int64_t {key}_max_width = "
        out[key] = int(src.split(tag, 1)[1].split(";", 1)[0])
    return out


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="small cases, one run")
    p.add_argument("--output", default=str(HERE / "results" / "qkernel.md"))
    p.add_argument("--repeats", type=int, default=5)
    args = p.parse_args(argv)
    repeats = 1 if args.quick else args.repeats
    rows = []
    for name, family, M, minnorm in cases(args.quick):
        print(f"qkernel: {name}", file=sys.stderr, flush=True)
        rows.append(run_case(name, family, M, minnorm, repeats))
    try:
        import pyspqr
        pyv = getattr(pyspqr, "__version__", None)
        if pyv is None:
            from importlib.metadata import version
            pyv = version("pyspqr")
    except ImportError:
        pyv = None
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")),
               platform.processor()) if os.path.exists("/proc/cpuinfo") else platform.processor()
    load = " / ".join(f"{x:.2f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "?"
    machine = {"cpu": cpu, "cores": os.cpu_count(), "date": datetime.date.today().isoformat(), "load": load,
               "pyspqr": pyv, "repeats": repeats, "rule": rule_in_force()}
    out = Path(args.output)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(report(rows, args.quick, machine))
    out.with_suffix(".json").write_text(json.dumps({"machine": machine, "quick": args.quick, "rows": rows},
                                                   indent=1, default=str))
    bad = [r["name"] for r in rows if r["errors"]["worst_relative_difference"] > TOL]
    if bad:
        print(f"qkernel: the kernels disagree on {bad}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
