"""Benchmark of orvex.rank: each tool against one SPQR factorization of the same
matrix, and against the dense references (NumPy's SVD null space and lstsq),
with the accuracy each reaches.  Writes benchmarks/results/rank.md.

    python benchmarks/rank.py            all cases, best of several runs
    python benchmarks/rank.py --quick    three small cases, one run (no claims)

Targets: rank, null space and basic solution within 3x one factorization;
pinv and cod within 5x, on matrices whose factorization takes at least 2 ms
(below that, fixed costs of a few passes over R decide the ratio).
"""

import argparse
import datetime
import gzip
import json
import os
import platform
import sys
import time
import warnings
from pathlib import Path

# The dense work of the tools is on blocks of a few columns: BLAS threads only
# add synchronisation (and, on a loaded machine, long waits).  The dense
# references run single-threaded too.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import scipy  # noqa: E402
import scipy.io  # noqa: E402
import scipy.sparse as sp  # noqa: E402

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DATA = ROOT / "tests" / "data" / "rank"

import orvex.rank as rk  # noqa: E402
from orvex.spqr import spqr  # noqa: E402

TARGETS = {"rank": 3, "null": 3, "basic": 3, "pinv": 5, "cod": 5}
TARGET_MIN_QR = 2e-3  # the targets hold for factorizations of at least 2 ms
DENSE_LIMIT = 1500  # dense references only up to this dimension


def sjsu(name):
    with gzip.open(DATA / f"{name}.mtx.gz", "rt") as f:
        A = sp.csc_array(scipy.io.mmread(f))
    ref = json.loads((DATA / f"{name}.json").read_text())
    return A, ref["ranks"]["spqr_rank_default"]["tol"]


def kahan(n):
    c, s = np.cos(1.2), np.sin(1.2)
    return sp.csc_array(np.diag(s ** np.arange(n)) @ (np.eye(n) - c * np.triu(np.ones((n, n)), 1))), None


def neumann_laplacian(k):
    """The 2-D Laplacian with Neumann boundaries on a k x k grid: rank k^2 - 1."""
    T = sp.diags_array([-np.ones(k - 1), np.r_[1, 2 * np.ones(k - 2), 1], -np.ones(k - 1)], offsets=[-1, 0, 1])
    I = sp.eye_array(k)
    return sp.csc_array(sp.kron(T, I) + sp.kron(I, T)), None


def grid_gradient(k):
    """Forward differences on a k x k grid (edges x nodes): 2k(k-1) x k^2, rank k^2 - 1."""
    D = sp.diags_array([-np.ones(k), np.ones(k - 1)], offsets=[0, 1], shape=(k - 1, k))
    I = sp.eye_array(k)
    return sp.csc_array(sp.vstack([sp.kron(I, D), sp.kron(D, I)])), None


def low_rank(m, n, r, density, seed=0):
    """A sparse m x n product of rank r (a sparse m x r times r x n)."""
    rng = np.random.default_rng(seed)
    L = sp.random_array((m, r), density=density, rng=rng) + sp.eye_array(m, r)
    R = sp.random_array((r, n), density=density, rng=rng) + sp.eye_array(r, n)
    return sp.csc_array(L @ R), None


CASES = {
    "Erdos971": lambda: sjsu("Erdos971"),
    "oscil_dcop_24": lambda: sjsu("oscil_dcop_24"),
    "dwt_209": lambda: sjsu("dwt_209"),
    "heat_200": lambda: sjsu("heat_200"),
    "shaw_200": lambda: sjsu("shaw_200"),
    "parallax_200": lambda: sjsu("parallax_200"),
    "kahan_400": lambda: kahan(400),
    "kahan_500": lambda: kahan(500),
    "neumann_70x70": lambda: neumann_laplacian(70),
    "grid_gradient_150": lambda: grid_gradient(150),
    "lowrank_3000x2000": lambda: low_rank(3000, 2000, 1200, 0.002),
}
QUICK = ["dwt_209", "parallax_200", "kahan_500"]


def best(f, repeats):
    t = np.inf
    out = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = f()
        t = min(t, time.perf_counter() - t0)
    return t, out


def tsvd(D, svd, k, b):
    U, s, Vh = svd
    return Vh[:k].conj().T @ ((U[:, :k].conj().T @ b) / s[:k])


def run_case(name, repeats):
    A, tol = CASES[name]()
    m, n = A.shape
    if tol is None:
        tol = rk.rank_estimate(A).tol
    b = np.random.default_rng(1).standard_normal(m)
    t_qr, _ = best(lambda: spqr(A, mode="householder", tol=tol), repeats)
    repeats = max(1, min(repeats, int(2.0 / t_qr)))  # large cases: fewer runs
    quiet = warnings.catch_warnings()
    with quiet:
        warnings.simplefilter("ignore")
        tools = {
            "rank": lambda: rk.rank_estimate(A, tol),
            "null": lambda: rk.null_space(A, tol),
            "basic": lambda: rk.basic_solve(A, b, tol),
            "pinv": lambda: rk.pinv_solve(A, b, tol),
            "cod": lambda: rk.cod_solve(A, b, tol),
        }
        timed = {k: best(f, repeats) for k, f in tools.items()}
    row = {"name": name, "shape": (m, n), "nnz": int(A.nnz), "tol": tol, "t_qr": t_qr, "tools": {}}
    dense = max(m, n) <= DENSE_LIMIT
    if dense:
        D = A.toarray()
        t_svd, svd = best(lambda: np.linalg.svd(D), 1 if max(m, n) > 600 else repeats)
        s = svd[1]
        k_svd = int(np.sum(s > tol))
        Ns = svd[2][k_svd:].conj().T
        t_lstsq, lst = best(lambda: np.linalg.lstsq(D, b, rcond=tol / s[0]), repeats)
        xt = tsvd(D, svd, k_svd, b)
        gap = s[k_svd - 1] / s[k_svd] if 0 < k_svd < len(s) and s[k_svd] > 0 else np.inf
        row.update(k_svd=k_svd, gap=gap, t_svd=t_svd, t_lstsq=t_lstsq,
                   svd_AN=float(np.linalg.norm(D @ Ns, 2)) if Ns.shape[1] else 0.0,
                   lstsq_err=float(np.linalg.norm(lst[0] - xt) / max(np.linalg.norm(xt), 1e-300)))
    for key, (t, res) in timed.items():
        result = res.result if key == "null" and res is not None else res
        info = {"t": t, "ratio": t / t_qr}
        if result is None:
            info.update(flag=4, rank=None)
        else:
            info.update(flag=result.flag, rank=result.rank)
        if dense and result is not None and result.flag != 4:
            if key == "null":
                Z = res.toarray()
                info["acc"] = float(np.linalg.norm(D @ Z, 2)) / tol if Z.shape[1] else 0.0
            elif key in ("pinv", "cod"):
                info["acc"] = float(np.linalg.norm(res.x - xt) / max(np.linalg.norm(xt), 1e-300))
            elif key == "basic":
                opt = np.linalg.norm(b - D @ xt)
                info["acc"] = float(np.linalg.norm(b - D @ res.x) / opt) if opt > 0 else 1.0
        row["tools"][key] = info
    return row


def fmt_t(t):
    return f"{t * 1e3:.2f} ms" if t < 1 else f"{t:.2f} s"


def report(rows, quick):
    lines = [
        "# orvex.rank benchmark",
        "",
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}, {platform.machine()}, "
        f"Python {platform.python_version()}, NumPy {np.__version__}, SciPy {scipy.__version__}"
        + (" — quick mode: miniature run, no timing claims." if quick else "."),
        "",
        "Time of each tool as a multiple of one SPQR factorization of the same matrix at the same",
        "tolerance (`orvex.spqr.spqr(A, mode='householder', tol=tol)`), best of several runs.",
        "Targets: rank, null, basic within 3x; pinv, cod within 5x, where the factorization takes at",
        "least 2 ms (rows marked `—` below that: no target). OpenBLAS runs single-threaded",
        f"(OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS')}). On a machine shared with",
        "other jobs the figures are indicative only.",
        "",
        "| matrix | shape | nnz | SPQR QR | rank | null | basic | pinv | cod |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    misses = []
    for r in rows:
        cells = []
        judged = r["t_qr"] >= TARGET_MIN_QR
        for k in ("rank", "null", "basic", "pinv", "cod"):
            i = r["tools"][k]
            mark = ""
            if judged and i["ratio"] > TARGETS[k]:
                mark = " (!)"
                misses.append((r["name"], k, i["ratio"], i["flag"]))
            cells.append(f"{i['ratio']:.1f}x{mark}")
        qr = fmt_t(r["t_qr"]) + ("" if judged else " —")
        lines.append(f"| {r['name']} | {r['shape'][0]}x{r['shape'][1]} | {r['nnz']} | {qr} | "
                     + " | ".join(cells) + " |")
    lines += [
        "",
        "(!) : above the target; — : factorization under 2 ms, no target.",
        "",
        "Misses: " + (", ".join(f"{n} {k} {x:.1f}x (flag {f})" for n, k, x, f in misses) if misses else "none") + ".",
        "",
        "Where the time goes. Every tool makes one sparse QR (cod: and, unless few columns were dropped",
        "and R11 is certainly of full rank, a second one of R1^H, which fills: the second QR alone takes",
        "11-45x the first on the grid gradient and the Neumann Laplacian with SPQR's orderings; with one",
        "column dropped the null space of R1 is now formed from R11^-1 R12 instead). Beyond the QRs the",
        "subspace iteration costs about 2 b passes over R11 per sweep (b = block, 3 to 10) and one power",
        "iteration 2 products with A and N per sweep. On the Kahan matrices R is dense (80-125 k entries)",
        "and upper triangular from the start, so SPQR's factorization is little more than one pass over",
        "it (about 1 ms): one sweep with a block of 10 costs about as much as the whole factorization.",
        "There the spectrum is flat at the tolerance (gap 1.07), no factorization can be certain, and the",
        "tools stop at the first estimates that show it flat; the ratio is the cost of the iterations",
        "themselves, measured against an unusually cheap QR. An uncertain result (flag 2 or 3) whose",
        "estimates do not show the spectrum flat sends null, pinv and cod on to the other",
        "factorizations in search of a certain rank (lowrank_3000x2000, shaw_200, parallax_200: flag 3,",
        "nothing above the tolerance in the iteration's block, so nothing tells whether a gap is near):",
        "that search is the price of a certain answer wherever one exists.",
        "",
        "## Against the dense references",
        "",
        "Rank and flag of each tool against the SVD rank at the tolerance; `null`: `||A N||_2 / tol`",
        "(dense; the SVD's own `||A Ns||_2` beside it); `pinv`, `cod`: relative distance to the",
        "truncated-SVD solution (NumPy `lstsq` with `rcond = tol / sigma_1`: the same, beside it);",
        "`basic`: residual over the truncated-SVD residual; each tool's flag in brackets.",
        "",
        "| matrix | gap | SVD rank | rank (flag) | null: time, ||AN||/tol | numpy svd: time, ||A Ns|| "
        "| basic: time, res. ratio | pinv: time, error | cod: time, error | numpy lstsq: time, error |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        T = r["tools"]
        if "k_svd" not in r:
            fl = {k: T[k]["flag"] for k in T}
            lines.append(f"| {r['name']} | — | — | {T['rank']['rank']} ({fl['rank']}) | "
                         f"{fmt_t(T['null']['t'])}, — [{fl['null']}] | (too large) | "
                         f"{fmt_t(T['basic']['t'])}, — [{fl['basic']}] | {fmt_t(T['pinv']['t'])}, — [{fl['pinv']}] | "
                         f"{fmt_t(T['cod']['t'])}, — [{fl['cod']}] | (too large) |")
            continue

        def acc(k, f="{:.1e}"):
            a = T[k].get("acc")
            return ("—" if a is None else f.format(a)) + f" [{T[k]['flag']}]"
        lines.append(
            f"| {r['name']} | {r['gap']:.3g} | {r['k_svd']} | {T['rank']['rank']} ({T['rank']['flag']}) | "
            f"{fmt_t(T['null']['t'])}, {acc('null', '{:.2f}')} | {fmt_t(r['t_svd'])}, {r['svd_AN']:.1e} | "
            f"{fmt_t(T['basic']['t'])}, {acc('basic', '{:.6g}')} | {fmt_t(T['pinv']['t'])}, {acc('pinv')} | "
            f"{fmt_t(T['cod']['t'])}, {acc('cod')} | {fmt_t(r['t_lstsq'])}, {r['lstsq_err']:.1e} |")
    lines += [
        "",
        "Flags: 0 certain, 1 certain at an alternate tolerance, 2 bounds too loose, 3 probably too",
        "high, 4 overflow (no basis or solution). Gapless matrices (gap near 1) legitimately differ",
        "from the truncated-SVD solution.",
        "",
    ]
    return "\n".join(lines)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="three small cases, one run")
    p.add_argument("--output", default=str(HERE / "results" / "rank.md"))
    args = p.parse_args(argv)
    names = QUICK if args.quick else list(CASES)
    repeats = 1 if args.quick else 5
    rows = []
    for name in names:
        t0 = time.perf_counter()
        rows.append(run_case(name, repeats))
        print(f"rank bench: {name} ({time.perf_counter() - t0:.1f} s)", file=sys.stderr, flush=True)
    text = report(rows, args.quick)
    out = Path(args.output)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
