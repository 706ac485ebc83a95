"""The binary wheel against the development build and native SPQR, same run.

Three processes serve the same case files (benchmarks/cases.py): the native
program (benchmarks/native, SuiteSparse of .deps on the system OpenBLAS),
orvex as `make build` installs it (.venv: the same SuiteSparse and BLAS),
and orvex from the wheel in dist/ (its own static SuiteSparse, whose
BLAS/LAPACK calls go through SciPy's cython_blas/cython_lapack to the
OpenBLAS that SciPy's wheel ships), installed in a virtual environment of
its own (build/wheel-bench-venv: the pinned numpy and scipy, threadpoolctl).
Samples alternate between the three, one by one, in a rotating order, with
a pause that lets OpenBLAS's idle threads stop spinning; the figure is the
ratio of medians.  The BLAS each side ran is recorded (threadpoolctl).

    python benchmarks/wheel.py [--cases grid2d,randls] [--rounds 9] [--out benchmarks/results/wheel.md]
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
import cases as case_mod  # noqa: E402
from run import PAUSE, WORKER, Server, build_native, native_server  # noqa: E402
from timing import Params  # noqa: E402

OPS = ["factor", "numeric", "solve1", "solve100", "qmult", "spqr_solve"]
LABELS = {"factor": "`spqr_factor(A)`", "numeric": "refactorization `f.factorize(A)`",
          "solve1": "`f.solve(b)`, 1 column", "solve100": "`f.solve(B)`, 100 columns",
          "qmult": "`f.qmult(X, \"QTX\")`, 100 columns", "spqr_solve": "`spqr_solve(A, b)`"}

BLAS_PROBE = r"""
import json, os, threadpoolctl
import numpy, scipy.linalg
import orvex.spqr
ext = os.path.dirname(orvex.spqr.__file__)
print(json.dumps({"orvex": os.path.dirname(os.path.dirname(ext)),
                  "pools": [{k: d.get(k) for k in ("filepath", "version", "num_threads", "threading_layer",
                                                   "architecture", "internal_api")}
                            for d in threadpoolctl.threadpool_info()]}))
"""


def log(msg):
    print(f"[wheel-bench] {msg}", file=sys.stderr, flush=True)


def wheel_venv(wheel):
    """build/wheel-bench-venv with the pinned numpy/scipy, threadpoolctl and the wheel."""
    venv = ROOT / "build" / "wheel-bench-venv"
    py = venv / "bin" / "python"
    pins = [l.strip() for l in (ROOT / "requirements-dev.txt").read_text().splitlines()
            if l.startswith(("numpy==", "scipy=="))]
    pins += [l.strip() for l in (HERE / "requirements.txt").read_text().splitlines() if l.startswith("threadpoolctl==")]
    if not py.exists():
        base = os.path.realpath(ROOT / ".venv" / "bin" / "python")
        subprocess.run([base, "-m", "venv", str(venv)], check=True)
    subprocess.run([str(py), "-m", "pip", "install", "-q", "--disable-pip-version-check", *pins], check=True)
    subprocess.run([str(py), "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-deps",
                    "--force-reinstall", str(wheel)], check=True)
    return py


def dev_python():
    py = ROOT / ".venv" / "bin" / "python"
    pin = [l.strip() for l in (HERE / "requirements.txt").read_text().splitlines() if l.startswith("threadpoolctl==")]
    subprocess.run([str(py), "-m", "pip", "install", "-q", "--disable-pip-version-check", *pin], check=True)
    return py


def blas_of(py):
    out = subprocess.run([str(py), "-c", BLAS_PROBE], capture_output=True, text=True, check=True, cwd="/")
    return json.loads(out.stdout)


def orvex_server(py, case_dir, params, name):
    return Server([py, WORKER, "serve", case_dir, "--params", json.dumps(params.as_dict())], None, name)


def time_three(servers, ops, rounds):
    """{side: {op: [seconds per call, ...]}}: one sample per side per round."""
    names = list(servers)
    out = {n: {} for n in names}
    for op in ops:
        inner = 1
        for n in names:
            servers[n].ask(f"setup {op}")
        for n in names:
            time.sleep(PAUSE)
            inner = max(inner, servers[n].ask(f"warm {op}")["inner"])
        for n in names:
            out[n][op] = []
        for r in range(rounds):
            order = names[r % len(names):] + names[:r % len(names)]
            for n in order:
                time.sleep(PAUSE)
                out[n][op].append(servers[n].ask(f"rep {op} {inner}")["dt"] / inner)
        log(f"  {op}: " + ", ".join(f"{n} {statistics.median(out[n][op]) * 1e3:.1f} ms" for n in names))
    return out


def fmt(t):
    return f"{t * 1e3:.2f} ms" if t < 1 else f"{t:.3f} s"


def pool_line(pools):
    return "; ".join(f"{Path(p['filepath']).name} {p['version']} ({p['internal_api']}, {p['threading_layer']}, "
                     f"{p['num_threads']} threads, {p['architecture']})" for p in pools)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cases", default="grid2d,randls")
    ap.add_argument("--ops", default=",".join(OPS))
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--wheel", default="")
    ap.add_argument("--out", default=str(HERE / "results" / "wheel.md"))
    a = ap.parse_args()

    wheels = [Path(a.wheel)] if a.wheel else sorted((ROOT / "dist").glob("orvex-*-cp312-abi3-manylinux*.whl"))
    if len(wheels) != 1:
        sys.exit("benchmarks/wheel.py: one wheel expected in dist/ (make wheel), or --wheel")
    wheel = wheels[0]
    log(f"installing {wheel.name} into build/wheel-bench-venv")
    py_wheel, py_dev = wheel_venv(wheel), dev_python()
    blas = {"dev": blas_of(py_dev), "wheel": blas_of(py_wheel)}
    exe = build_native(ROOT / "build" / "bench-native")

    params = Params(min_reps=a.rounds, max_reps=a.rounds, min_time=0.0)
    ops = a.ops.split(",")
    selected = set(a.cases.split(","))
    cases_root = ROOT / "build" / "bench-cases"
    results = []
    for case, A in case_mod.suite():
        if case.name not in selected:
            continue
        log(f"case {case.name}: {case.description}")
        case_dir = case_mod.write_case(case, A, cases_root)
        meta = json.loads((Path(case_dir) / "case.json").read_text())
        servers = {"native": native_server(exe, case_dir, meta, params),
                   "dev": orvex_server(py_dev, case_dir, params, "orvex-dev"),
                   "wheel": orvex_server(py_wheel, case_dir, params, "orvex-wheel")}
        try:
            samples = time_three(servers, [op for op in ops if op in case.ops], a.rounds)
        finally:
            for s in servers.values():
                s.close()
        results.append((case, samples))

    lines = [
        "# The binary wheel against the development build",
        "",
        f"`python benchmarks/wheel.py --cases {a.cases} --rounds {a.rounds}` on {platform.node() and 'this machine'} "
        f"({os.cpu_count()} cores), {time.strftime('%Y-%m-%d')}: {wheel.name}.",
        "Samples alternate between the three processes one by one (rotating order, "
        f"{PAUSE:.2f} s pause before each); medians of {a.rounds} samples.",
        "",
        "- native: benchmarks/native on the SuiteSparse of `.deps` and Debian's OpenBLAS;",
        f"- development build (`make build`): {pool_line(blas['dev']['pools'])};",
        f"- wheel: {pool_line(blas['wheel']['pools'])}. SuiteSparse's BLAS/LAPACK calls go through "
        "scipy.linalg.cython_blas/cython_lapack, that is to SciPy's OpenBLAS (libscipy_openblas).",
        "",
        "| case | operation | native | development build | wheel | wheel / development | wheel / native |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    worst = (0.0, "")
    for case, samples in results:
        for op, dev in samples["dev"].items():
            n, d, w = (statistics.median(samples[s][op]) for s in ("native", "dev", "wheel"))
            lines.append(f"| {case.name} | {LABELS.get(op, op)} | {fmt(n)} | {fmt(d)} | {fmt(w)} | "
                         f"{w / d:.3f} | {w / n:.3f} |")
            worst = max(worst, (w / d, f"{case.name}/{op}"))
    lines += ["", f"Worst wheel / development ratio: {worst[0]:.3f} ({worst[1]}); target <= 1.03."]
    Path(a.out).write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
