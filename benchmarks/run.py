"""orvex's benchmark suite (`make bench`).

Builds the native program (benchmarks/native, incrementally, in
build/bench-native), writes the cases (build/bench-cases), then for every
case and operation times the native SPQR/CHOLMOD call sequence and the
orvex call, measures both sides' peak memory in child processes, runs the
peers on the same matrices, repeats the largest case with other BLAS
configurations, and writes benchmarks/results/latest.{md,png,json}.

    python benchmarks/run.py            the full suite
    python benchmarks/run.py --quick    miniature cases, no timing claims
                                        (what tests/test_benchmarks.py runs)
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import cases as case_mod  # noqa: E402
import report  # noqa: E402
from timing import Params, clean_command, summary  # noqa: E402

PYTHON = sys.executable
WORKER = HERE / "worker.py"
REFERENCE_BLAS = ("/usr/lib/x86_64-linux-gnu/blas/libblas.so.3",
                  "/usr/lib/x86_64-linux-gnu/lapack/liblapack.so.3")
# glibc returns large blocks to the system as soon as they are freed, so that
# a peak measured after set-up is not hidden by memory the set-up left behind.
MEM_ENV = {"MALLOC_MMAP_THRESHOLD_": "131072"}

T0 = time.monotonic()


def log(msg):
    print(f"[{time.monotonic() - T0:7.1f}s] {msg}", file=sys.stderr, flush=True)


def suitesparse_prefix():
    f = ROOT / ".deps" / "suitesparse.prefix"
    return f.read_text().strip() if f.exists() else "/usr"


# ---- the native program ----------------------------------------------------------------------

def build_native(build_dir):
    """Configure once, then build incrementally; returns the executable."""
    build_dir = Path(build_dir)
    prefix = suitesparse_prefix()
    cache = build_dir / "CMakeCache.txt"
    if not cache.exists() or f"CMAKE_PREFIX_PATH:UNINITIALIZED={prefix}\n" not in cache.read_text():
        gen = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", str(HERE / "native"), "-B", str(build_dir), *gen,
                        "-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_PREFIX_PATH={prefix}"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir)], check=True, stdout=subprocess.DEVNULL)
    return build_dir / "spqr_bench"


def json_lines(text):
    out = []
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("{"):
            out.append(json.loads(line))
    return out


def run_json(argv, env=None, clean=False, timeout=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    cmd = clean_command(argv) if clean else [str(a) for a in argv]
    p = subprocess.run(cmd, capture_output=True, text=True, env=full_env, timeout=timeout)
    if p.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, argv))} failed ({p.returncode}):\n{p.stderr[-3000:]}")
    return json_lines(p.stdout)


def native_args(exe, case_dir, meta):
    d = Path(case_dir)
    args = [exe, "--matrix", d / "A.bin", "--dense", d / "B.bin",
            "--qdense", d / ("C.bin" if (d / "C.bin").exists() else "B.bin")]
    if (d / "S.bin").exists():
        args += ["--sparse", d / "S.bin"]
    if meta["kind"] == "minnorm":
        args.append("--minnorm")
    return args


class Server:
    """A native or orvex process in `serve` mode: one command, one JSON reply."""

    def __init__(self, argv, env=None, log_name="server"):
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.err_path = ROOT / "build" / f"bench-{log_name}.stderr"
        self.err = open(self.err_path, "w")
        self.argv = [str(x) for x in argv]
        self.p = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=self.err, text=True, bufsize=1, env=full_env)
        self.hello = self._read()

    def _read(self):
        while True:
            line = self.p.stdout.readline()
            if not line:
                self.err.flush()
                raise RuntimeError(f"{' '.join(self.argv)} stopped:\n"
                                   f"{self.err_path.read_text()[-3000:]}")
            if line.startswith("{"):
                return json.loads(line)

    def ask(self, command):
        self.p.stdin.write(command + "\n")
        self.p.stdin.flush()
        return self._read()

    def close(self):
        try:
            self.p.stdin.write("quit\n")
            self.p.stdin.close()
        except (BrokenPipeError, ValueError):
            pass
        self.p.wait()
        self.err.close()


def native_server(exe, case_dir, meta, params, env=None):
    argv = native_args(exe, case_dir, meta)
    argv[1:1] = ["serve"]
    return Server([*argv, *params.native_args()], env, "native")


def orvex_server(case_dir, params, env=None):
    return Server([PYTHON, WORKER, "serve", case_dir, "--params", json.dumps(params.as_dict())], env, "orvex")


# OpenBLAS's idle threads keep spinning for about 2^28 cycles (~0.12 s here)
# after a call: each sample waits that long, so that the previous sample's
# process (the other side) no longer competes for the cores.
PAUSE = 0.15


def paired_time(nat, orx, ops, params, pause=PAUSE):
    """Time `ops` on both sides.  Slow operations (no inner loop on either
    side) alternate native and orvex samples one by one; fast ones are
    measured in one block per side, one side after the other."""
    out_n, out_o = {}, {}
    for k, op in enumerate(ops):
        nat.ask(f"setup {op}")
        orx.ask(f"setup {op}")
        time.sleep(pause)
        wn = nat.ask(f"warm {op}")
        time.sleep(pause)
        wo = orx.ask(f"warm {op}")
        if wn["inner"] == 1 and wo["inner"] == 1:
            samples = {id(nat): [], id(orx): []}

            def need(side):
                got = samples[id(side)]
                return len(got) < params.min_reps or (sum(got) < params.min_time and len(got) < params.max_reps)
            i = 0
            while need(nat) or need(orx):
                for side in ((nat, orx) if i % 2 == 0 else (orx, nat)):
                    time.sleep(pause)
                    samples[id(side)].append(side.ask(f"rep {op} 1")["dt"])
                i += 1
            for side, w, out in ((nat, wn, out_n), (orx, wo, out_o)):
                res = summary(samples[id(side)], w["first"], 1)
                res.update({key: v for key, v in w.items() if key not in ("first", "inner")}, paired=True)
                out[op] = res
        else:
            order = ((nat, out_n), (orx, out_o)) if k % 2 == 0 else ((orx, out_o), (nat, out_n))
            for side, out in order:
                time.sleep(pause)
                out[op] = side.ask(f"measure {op}")
    return out_n, out_o


def time_case(exe, case_dir, meta, ops, params, env=None, pause=PAUSE):
    nat = native_server(exe, case_dir, meta, params, env)
    orx = orvex_server(case_dir, params, env)
    try:
        out_n, out_o = paired_time(nat, orx, ops, params, pause)
    finally:
        nat.close()
        orx.close()
    return out_n, out_o, orx.hello.get("blas_binding")


def memory(exe, case_dir, meta, op):
    argv = native_args(exe, case_dir, meta)
    argv[1:1] = ["mem"]
    nat = run_json([*argv, "--ops", op], MEM_ENV, clean=True)[0]
    orx = run_json([PYTHON, WORKER, "mem", case_dir, "--ops", op], MEM_ENV, clean=True)[0]
    return {"native": nat, "orvex": orx}


def peers(case_dir, names, params):
    if not names:
        return {}
    rows = run_json([PYTHON, WORKER, "peers", case_dir, "--peers", ",".join(names),
                     "--params", json.dumps(params.as_dict())])
    return {r["peer"]: r for r in rows}


def check_agreement(case, ops, nat, orx):
    """The native program and orvex must have computed the same thing."""
    problems = []
    for op in ops:
        a, b = nat.get(op, {}).get("check"), orx.get(op, {}).get("check")
        if a is None or b is None:
            continue
        if abs(a - b) > 1e-8 * max(1.0, abs(a), abs(b)):
            problems.append(f"{case}/{op}: native {a!r} vs orvex {b!r}")
    return problems


# ---- machine facts ------------------------------------------------------------------------------

def machine_facts(exe):
    facts = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds")}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                facts["cpu"] = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    facts["cores"] = os.cpu_count()
    try:
        facts["cores_available"] = len(os.sched_getaffinity(0))
    except AttributeError:
        pass
    facts["kernel"] = platform.release()
    facts["platform"] = platform.platform()
    try:
        facts["memory_gb"] = round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1)
    except (ValueError, OSError):
        pass
    cxx = shutil.which("c++") or shutil.which("g++")
    if cxx:
        facts["compiler"] = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    try:
        facts["git"] = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                                      capture_output=True, text=True).stdout.strip()
    except OSError:
        pass
    facts["native"] = run_json([exe, "info"])[0]
    facts["python_side"] = run_json([PYTHON, WORKER, "facts"])[0]
    facts["suitesparse_prefix"] = suitesparse_prefix()
    log_file = ROOT / "build" / "bench-sparseqr.log"
    if log_file.exists():
        facts["sparseqr_build_error"] = log_file.read_text()[-2000:]
    return facts


def ld_debug_bindings(argv, env):
    """Which files the BLAS/LAPACK calls of SPQR actually bound to, from the
    dynamic linker's own trace (LD_DEBUG=bindings) of a short run."""
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        e = dict(env)
        e.update(LD_DEBUG="bindings", LD_DEBUG_OUTPUT=str(Path(tmp) / "trace"))
        run_json(argv, e)
        targets = {}
        for f in Path(tmp).iterdir():
            for line in f.read_text(errors="replace").splitlines():
                if "binding file" not in line or "libspqr" not in line.split("binding file", 1)[1].split(" to ")[0]:
                    continue
                sym = line.rsplit("`", 1)[-1].rstrip("'")
                if sym in ("dgemm_", "dlarfb_", "dlarft_", "dlarfg_", "dlarf_", "dnrm2_", "zlarfb_", "zgemm_"):
                    target = line.split(" to ", 1)[1].split(" [")[0].split(":")[0].strip()
                    targets[sym] = target
        return targets


# ---- the suite ----------------------------------------------------------------------------------

def blas_configs(quick):
    configs = [("reference", "Reference BLAS/LAPACK 3.11 (Debian libblas3/liblapack3, 1 thread)",
                {"LD_PRELOAD": " ".join(REFERENCE_BLAS)})]
    if not quick:
        configs.append(("openblas-1thread", "OpenBLAS 0.3.21, 1 thread", {"OPENBLAS_NUM_THREADS": "1"}))
        # Forcing SkylakeX kernels stops the process with an illegal
        # instruction on a processor without AVX-512.
        if "avx512f" in Path("/proc/cpuinfo").read_text(errors="replace").split():
            configs.append(("openblas-skylakex", "OpenBLAS 0.3.21, core type forced to SkylakeX",
                            {"OPENBLAS_CORETYPE": "SkylakeX"}))
    return configs


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="miniature cases (tests)")
    ap.add_argument("--out", default=str(HERE / "results"), help="directory of latest.md/.png/.json")
    ap.add_argument("--cases", default="", help="comma-separated subset of case names")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--no-blas", action="store_true", help="skip the BLAS comparison")
    ap.add_argument("--readme", action="store_true", help="refresh README.md's Performance section")
    a = ap.parse_args()

    out = Path(a.out)
    out.mkdir(parents=True, exist_ok=True)
    log("building the native program")
    exe = build_native(ROOT / "build" / "bench-native")
    facts = machine_facts(exe)
    log(f"machine: {facts.get('cpu')} x{facts.get('cores')}, SPQR BLAS {facts['native'].get('dgemm')}")

    params = Params() if not a.quick else Params(min_reps=5, max_reps=20, min_time=0.0, batch_target=0.0005)
    peer_params = params
    large_params = Params(min_reps=7, max_reps=params.max_reps, min_time=1.0, batch_target=params.batch_target)
    pause = 0.0 if a.quick else PAUSE
    slow_peer_params = Params(min_reps=3, max_reps=3, min_time=0.0, batch_target=params.batch_target)

    cases_root = ROOT / "build" / ("bench-cases-quick" if a.quick else "bench-cases")
    selected = {c for c in a.cases.split(",") if c}
    suite = [(c, A) for c, A in case_mod.suite(quick=a.quick) if not selected or c.name in selected]
    results = {"facts": facts, "params": params.as_dict(), "large_params": large_params.as_dict(), "quick": a.quick, "cases": [], "blas": [],
               "problems": []}

    for case, A in suite:
        log(f"case {case.name}: {A.shape[0]} x {A.shape[1]}, nnz {A.nnz}, {A.dtype}/{A.indptr.dtype}")
        d = case_mod.write_case(case, A, cases_root)
        meta = json.loads((d / "case.json").read_text())
        entry = {"name": case.name, "meta": meta, "native": {}, "orvex": {}, "memory": {}, "peers": {}}
        # The targets are judged on the large cases: more samples there, so
        # that run-to-run noise (a few per cent on a shared machine) moves
        # their medians less.
        cp = large_params if case.large and not a.quick else params
        entry["native"], entry["orvex"], entry["orvex_blas"] = time_case(exe, d, meta, case.ops, cp, pause=pause)
        log(f"  timing done")
        results["problems"] += check_agreement(case.name, case.ops, entry["native"], entry["orvex"])
        if not a.no_memory:
            for op in case.mem_ops:
                entry["memory"][op] = memory(exe, d, meta, op)
            log(f"  memory done ({len(case.mem_ops)} operations)")
        if not a.no_peers:
            pp = slow_peer_params if case.large and not a.quick else peer_params
            entry["peers"] = peers(d, case.peers, pp)
            log(f"  peers done")
        results["cases"].append(entry)

    # The largest case with other BLAS configurations.
    if not a.no_blas and results["cases"]:
        big = max(results["cases"], key=lambda e: e["meta"]["shape"][0] * e["meta"]["shape"][1]
                  if e["meta"]["large"] else -1)
        d = cases_root / big["name"]
        ops = [op for op in ("numeric", "solve1") if op in big["meta"]["ops"]]
        tiny_case = cases_root / "tiny"
        for key, label, env in blas_configs(a.quick):
            if "LD_PRELOAD" in env and not all(Path(p).exists() for p in REFERENCE_BLAS):
                results["blas"].append({"config": key, "label": label, "error": "reference BLAS not installed"})
                continue
            log(f"BLAS {key}: {big['name']} {','.join(ops)}")
            try:
                nat, orx, binding = time_case(exe, d, big["meta"], ops, params, env, pause=pause)
            except RuntimeError as e:  # a variant that cannot run here costs its row, not the run
                results["blas"].append({"config": key, "label": label, "error": str(e).splitlines()[0]})
                continue
            entry = {"config": key, "label": label, "env": env, "case": big["name"], "native": nat,
                     "orvex": orx, "orvex_blas": binding,
                     "native_blas": run_json([exe, "info"], {**os.environ, **env})[0]}
            if "LD_PRELOAD" in env and tiny_case.exists():
                tmeta = json.loads((tiny_case / "case.json").read_text())
                targv = native_args(exe, tiny_case, tmeta)
                targv[1:1] = ["time"]
                entry["trace_native"] = ld_debug_bindings(
                    [*targv, "--ops", "numeric,solve1", "--min-reps", "1", "--min-time", "0"], {**os.environ, **env})
                entry["trace_orvex"] = ld_debug_bindings(
                    [PYTHON, WORKER, "time", tiny_case, "--ops", "numeric,solve1", "--params",
                     json.dumps(Params(min_reps=1, max_reps=1, min_time=0.0).as_dict())], {**os.environ, **env})
            results["problems"] += check_agreement(f"{big['name']}[{key}]", ops, nat, orx)
            results["blas"].append(entry)

    results["elapsed_s"] = time.monotonic() - T0
    (out / "latest.json").write_text(json.dumps(results, indent=1))
    md = report.markdown(results)
    (out / "latest.md").write_text(md)
    png = report.chart(results, out / "latest.png")
    if a.readme:
        report.update_readme(ROOT / "README.md", results, out)
    log(f"wrote {out / 'latest.md'}" + (f" and {png}" if png else " (no chart: matplotlib missing)"))
    for p in results["problems"]:
        log(f"PROBLEM: {p}")
    print(report.targets_text(results))
    return 1 if results["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
