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


def platform_tag(wheel):
    return wheel.name.split("-")[-1].removesuffix(".whl")


def wheel_venv(wheel):
    """build/wheel-bench-venv-TAG with the pinned numpy/scipy, threadpoolctl and the wheel."""
    venv = ROOT / "build" / f"wheel-bench-venv-{platform_tag(wheel)}"
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


def orvex_server(py, case_dir, params, name, env=None):
    return Server([py, WORKER, "serve", case_dir, "--params", json.dumps(params.as_dict())], env, name)


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
    ap.add_argument("--wheel", action="append", default=[],
                    help="wheel file (repeatable; default: the one in dist/)")
    ap.add_argument("--threads", default="", help="OPENBLAS_NUM_THREADS for every side (default: OpenBLAS's)")
    ap.add_argument("--out", default=str(HERE / "results" / "wheel.md"))
    a = ap.parse_args()

    wheels = [Path(w) for w in a.wheel] or sorted((ROOT / "dist").glob("orvex-*-cp312-abi3-manylinux*.whl"))
    if not wheels:
        sys.exit("benchmarks/wheel.py: no wheel in dist/ (make wheel), nor --wheel")
    pythons = {"dev": dev_python()}
    for wheel in wheels:
        log(f"installing {wheel.name} into build/wheel-bench-venv-{platform_tag(wheel)}")
        pythons[platform_tag(wheel)] = wheel_venv(wheel)
    blas = {side: blas_of(py) for side, py in pythons.items()}
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
        env = {"OPENBLAS_NUM_THREADS": a.threads} if a.threads else None
        servers = {"native": native_server(exe, case_dir, meta, params, env)}
        servers.update({side: orvex_server(py, case_dir, params, f"orvex-{side}", env) for side, py in pythons.items()})
        try:
            samples = time_three(servers, [op for op in ops if op in case.ops], a.rounds)
        finally:
            for s in servers.values():
                s.close()
        results.append((case, samples))

    tags = [platform_tag(w) for w in wheels]
    lines = [
        "# The binary wheel against the development build",
        "",
        f"`python benchmarks/wheel.py --cases {a.cases} --rounds {a.rounds}"
        f"{' --threads ' + a.threads if a.threads else ''}` ({os.cpu_count()} cores, load average "
        f"{os.getloadavg()[0]:.1f} at the end), "
        f"{time.strftime('%Y-%m-%d')}: {', '.join(w.name for w in wheels)}.",
        f"Samples alternate between the {2 + len(wheels)} processes one by one (rotating order, "
        f"{PAUSE:.2f} s pause before each); medians of {a.rounds} samples.",
        "",
        "- native: benchmarks/native on the SuiteSparse of `.deps` and Debian's OpenBLAS;",
        f"- development build (`make build`, same SuiteSparse and BLAS): {pool_line(blas['dev']['pools'])};",
    ]
    for tag in tags:
        lines.append(f"- wheel {tag}: {pool_line(blas[tag]['pools'])}; SuiteSparse's BLAS/LAPACK calls go "
                     "through scipy.linalg.cython_blas/cython_lapack to SciPy's OpenBLAS (libscipy_openblas).")
    lines += ["", "| case | operation | native | development build | "
              + " | ".join(f"wheel {t} | / development | / native" for t in tags) + " |",
              "|---|---|---:|---:|" + "---:|---:|---:|" * len(tags)]
    worst = {t: (0.0, "") for t in tags}
    for case, samples in results:
        for op in samples["dev"]:
            n, d = statistics.median(samples["native"][op]), statistics.median(samples["dev"][op])
            cells = []
            for t in tags:
                w = statistics.median(samples[t][op])
                cells.append(f"{fmt(w)} | {w / d:.3f} | {w / n:.3f}")
                worst[t] = max(worst[t], (w / d, f"{case.name}/{op}"))
            lines.append(f"| {case.name} | {LABELS.get(op, op)} | {fmt(n)} | {fmt(d)} | " + " | ".join(cells) + " |")
    lines.append("")
    for t in tags:
        lines.append(f"Worst wheel {t} / development build: {worst[t][0]:.3f} ({worst[t][1]}); target <= 1.03.")
    Path(a.out).write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
