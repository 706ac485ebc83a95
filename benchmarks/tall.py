"""orvex.tall on a tall scattered-data-fitting problem: spqr_solve on the whole
matrix against lstsq streamed from block files and on a Dask LocalCluster
(1 and 2 worker processes, loopback only), with time, peak memory over
time and the bytes the reduction moves; then a taller problem that
spqr_solve cannot hold, run under an address-space limit, solved streamed.

    python benchmarks/tall.py            the full run (a few minutes)
    python benchmarks/tall.py --quick    a small problem, no claims

Each measurement runs in a child process of its own; this process samples
the resident memory of the child and of its descendants (the Dask workers)
every 50 ms.  Writes benchmarks/results/tall.md, tall.json and tall.png.

Targets: streamed peak memory at most 25% of spqr_solve's, at no more than
1.5x its time; 2 workers at least 1.6x faster than 1.
"""

import argparse
import datetime
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
import scipy.sparse as sp

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
GIB = 2 ** 30
MIB = 2 ** 20

# ---- the problem: bilinear fit of scattered values on a grid, with smoothing rows --------------


def observation_block(grid, rows, seed):
    """`rows` observations at random points: each row couples the 4 nodes around its point."""
    rng = np.random.default_rng(seed)
    g = grid
    pts = rng.uniform(0, g - 1, (rows, 2))
    i0 = np.minimum(pts.astype(np.int64), g - 2)
    t = pts - i0
    w = np.column_stack([(1 - t[:, 0]) * (1 - t[:, 1]), t[:, 0] * (1 - t[:, 1]),
                         (1 - t[:, 0]) * t[:, 1], t[:, 0] * t[:, 1]])
    base = i0[:, 0] * g + i0[:, 1]
    nodes = np.column_stack([base, base + g, base + 1, base + g + 1])
    order = np.argsort(nodes, axis=1)
    indices = np.take_along_axis(nodes, order, axis=1).ravel().astype(np.int32)
    data = np.take_along_axis(w, order, axis=1).ravel()
    A = sp.csr_array((data, indices, np.arange(0, 4 * rows + 1, 4)), shape=(rows, g * g))
    b = np.sin(pts[:, 0] / 15) * np.cos(pts[:, 1] / 20) + 0.01 * rng.standard_normal(rows)
    return A, b


def smoothing_block(grid, weight=1e-2):
    """Differences of neighbouring nodes: the fit is defined where no point falls."""
    g = grid
    idx = np.arange(g * g).reshape(g, g)
    a = np.concatenate([idx[:-1, :].ravel(), idx[:, :-1].ravel()])
    c = np.concatenate([idx[1:, :].ravel(), idx[:, 1:].ravel()])
    k = a.size
    A = sp.csr_array((np.concatenate([np.full(k, weight), np.full(k, -weight)]),
                      (np.tile(np.arange(k), 2), np.concatenate([a, c]))), shape=(k, g * g))
    return A, np.zeros(k)


def write_blocks(directory, grid, nobs, block_rows, seed=0):
    """The problem as .npz block files (CSR arrays and b); returns the paths and the rows."""
    paths, m = [], 0
    directory.mkdir(parents=True, exist_ok=True)
    for k, s in enumerate(range(0, nobs, block_rows)):
        A, b = observation_block(grid, min(block_rows, nobs - s), seed * 100003 + k)
        paths.append(save_block(directory / f"block{k:04d}.npz", A, b))
        m += A.shape[0]
    A, b = smoothing_block(grid)
    paths.append(save_block(directory / "smoothing.npz", A, b))
    return [str(p) for p in paths], m + A.shape[0]


def save_block(path, A, b):
    A = sp.csr_array(A)
    np.savez(path, data=A.data, indices=A.indices, indptr=A.indptr, shape=np.array(A.shape), b=b)
    return path


def load_block(path):
    with np.load(path) as z:
        A = sp.csr_array((z["data"], z["indices"], z["indptr"]), shape=tuple(z["shape"]))
        return A, z["b"]


class FileBlocks:
    """The blocks, read from their files again on each pass (out of core)."""

    def __init__(self, paths):
        self.paths = paths

    def __iter__(self):
        for p in self.paths:
            yield load_block(p)


# ---- children ---------------------------------------------------------------------------------

def status(field, pid="self"):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        return 0
    return 0


def mark(events, name):
    events.append((name, time.time(), status("VmRSS")))


def child_whole(args, events):
    from orvex.spqr import spqr_solve

    parts = [load_block(p) for p in args["paths"]]
    A = sp.csc_array(sp.vstack([a for a, _ in parts], format="csc"))
    b = np.concatenate([bb for _, bb in parts])
    del parts
    if args.get("limit_gib"):
        lim = int(args["limit_gib"] * GIB)
        resource.setrlimit(resource.RLIMIT_AS, (lim, lim))
    mark(events, "start")
    t = time.perf_counter()
    try:
        x = spqr_solve(A, b)
        out = {"ok": True, "residual": float(np.linalg.norm(b - A @ x))}
    except MemoryError as exc:
        out = {"ok": False, "error": f"{type(exc).__name__}: {exc}"}
    out["time"] = time.perf_counter() - t
    mark(events, "end")
    if args.get("analysis"):
        from orvex.spqr import SPQRFactor

        info = SPQRFactor(A).info   # SPQR's own bounds on the sizes of H and R
        out["nnzH_upper_bound"], out["nnzR_upper_bound"] = info.nnzH_upper_bound, info.nnzR_upper_bound
    return out


def child_stream(args, events):
    from orvex.tall import lstsq

    blocks = FileBlocks(args["paths"])
    mark(events, "start")
    t = time.perf_counter()
    res = lstsq(blocks)
    out = {"ok": True, "time": time.perf_counter() - t, "rank": int(res.rank), "flag": int(res.flag),
           "residual": float(np.sqrt(res.residuals[0]))}
    mark(events, "end")
    np.save(args["x_out"], res.x)
    return out


def child_dask(args, events):
    import dask
    import dask.array as da
    from distributed import Client, LocalCluster

    from orvex.tall import lstsq
    from orvex.tall._dask import dask_graph

    nw = args["workers"]
    os.environ["OPENBLAS_NUM_THREADS"] = "1"   # one core per worker process
    with LocalCluster(n_workers=nw, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=50) as cluster, Client(cluster) as client:
        paths = args["paths"]
        shapes = [tuple(np.load(p)["shape"]) for p in paths]
        n = shapes[0][1]
        load = dask.delayed(load_block, nout=2, pure=True)
        pairs = [load(p) for p in paths]
        A = da.concatenate([da.from_delayed(a, shape=s, dtype=np.float64, meta=sp.csr_array((0, n)))
                            for (a, _), s in zip(pairs, shapes)])
        b = da.concatenate([da.from_delayed(bb, shape=(s[0],), dtype=np.float64) for (_, bb), s in zip(pairs, shapes)])
        client.run(lambda: None)
        mark(events, "start")
        times, cpu = [], []
        for turn in range(args.get("turns", 1)):
            before = client.run(_cpu_seconds)
            t = time.perf_counter()
            res = lstsq(A, b, split_every=args["split_every"])
            times.append(time.perf_counter() - t)
            after = client.run(_cpu_seconds)
            cpu.append(sorted(after[w] - before[w] for w in after if w in before))
            if turn == 0:
                mark(events, "end")
                incoming = client.run(_incoming_bytes)
        elapsed = min(times)
        peaks = client.run(lambda: status("VmHWM"))
        # the sizes of what the reduction passes on: every factor but the root
        root = dask.compute(dask_graph(A, b, split_every=args["split_every"]), scheduler="sync")[0] \
            if args.get("sizes") else None
    out = {"ok": True, "time": elapsed, "times": times, "cpu": cpu, "rank": int(res.rank), "flag": int(res.flag),
           "residual": float(np.sqrt(res.residuals[0])), "transfer_bytes": int(sum(incoming.values())),
           "worker_peaks": sorted(int(v) for v in peaks.values()), "blocks": len(paths)}
    if root is not None:
        out["root_nbytes"] = int(root.nbytes)
        out["nnzR"] = int(root.R.nnz)
    np.save(args["x_out"], res.x)
    return out


def _cpu_seconds():
    """CPU time of this worker process so far."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def _incoming_bytes(dask_worker):
    """Bytes this worker received from other workers (task data transfers)."""
    log = getattr(dask_worker, "transfer_incoming_log", None) or getattr(dask_worker, "incoming_transfer_log", [])
    return int(sum(int(entry.get("total", 0)) for entry in log))


CHILDREN = {"whole": child_whole, "stream": child_stream, "dask": child_dask}


def child_main(job_path):
    args = json.loads(Path(job_path).read_text())
    events = []
    mark(events, "ready")
    out = CHILDREN[args["kind"]](args, events)
    out["events"] = events
    out["hwm"] = status("VmHWM")
    out["baseline"] = events[0][2]
    Path(args["out"]).write_text(json.dumps(out))


# ---- the parent: run a child, sample its memory ------------------------------------------------

def descendants(pid):
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        try:
            for tid in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{tid}/children") as f:
                    todo.extend(int(c) for c in f.read().split())
        except OSError:
            pass
    return out


def run_child(kind, work, timeout, **args):
    job = work / f"{kind}-{len(list(work.glob('*.job')))}.job"
    out = job.with_suffix(".json")
    args.update(kind=kind, out=str(out), x_out=str(job.with_suffix(".npy")))
    job.write_text(json.dumps(args))
    env = dict(os.environ)
    proc = subprocess.Popen([sys.executable, __file__, "--child", str(job)], env=env)
    samples, t0 = [], time.time()
    stop = threading.Event()

    def sample():
        while not stop.is_set():
            pids = descendants(proc.pid)
            samples.append((time.time(), sum(status("VmRSS", p) for p in pids), len(pids)))
            stop.wait(0.05)

    th = threading.Thread(target=sample, daemon=True)
    th.start()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        for p in reversed(descendants(proc.pid)):
            try:
                os.kill(p, 9)
            except OSError:
                pass
        proc.wait()
        stop.set()
        th.join()
        return {"ok": False, "error": f"no answer within {timeout} s (killed)", "time": None,
                "samples": samples, "t0": t0}
    stop.set()
    th.join()
    if proc.returncode != 0 or not out.exists():
        return {"ok": False, "error": f"child exited with status {proc.returncode}", "time": None,
                "samples": samples, "t0": t0}
    res = json.loads(out.read_text())
    res["samples"] = samples
    res["t0"] = t0
    res["peak_total"] = max((s[1] for s in samples), default=0)
    if job.with_suffix(".npy").exists():
        res["x_path"] = str(job.with_suffix(".npy"))
    return res


# ---- report ------------------------------------------------------------------------------------

def fmt_bytes(b):
    return f"{b / GIB:.2f} GiB" if b >= GIB else f"{b / MIB:.0f} MiB"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--child")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--limit-gib", type=float, default=10.0, help="address-space limit of the taller spqr_solve")
    ap.add_argument("--out", default=str(RESULTS))
    ap.add_argument("--report-only", action="store_true", help="rewrite the report from tall.json")
    a = ap.parse_args()
    if a.child:
        return child_main(a.child)
    if a.report_only:
        out = Path(a.out)
        stem = "tall-quick" if a.quick else "tall"
        results = json.loads((out / f"{stem}.json").read_text())
        png = out / f"{stem}.png"
        (out / f"{stem}.md").write_text(report(results, results["runs"], png if png.exists() else None))
        return None

    quick = a.quick
    grid, nobs, block_rows = (40, 60_000, 10_000) if quick else (150, 1_200_000, 100_000)
    big_nobs = 150_000 if quick else 10_000_000
    big_block = 25_000 if quick else 250_000
    limit = 0.5 if quick else a.limit_gib
    results = {"date": datetime.date.today().isoformat(), "machine": platform.processor() or platform.machine(),
               "cpus": os.cpu_count(), "grid": grid, "nobs": nobs, "block_rows": block_rows, "quick": quick}
    with tempfile.TemporaryDirectory(prefix="orvex-tall-") as tmp:
        work = Path(tmp)
        t = time.perf_counter()
        paths, m = write_blocks(work / "main", grid, nobs, block_rows)
        print(f"tall: {m} x {grid * grid} problem in {len(paths)} block files ({time.perf_counter() - t:.1f} s)",
              flush=True)
        results["m"], results["n"], results["blocks"] = m, grid * grid, len(paths)
        runs = {}
        # Single runs vary a lot on a shared machine: the streamed solve twice
        # and each Dask cluster twice (two solves each), alternating; the best
        # time of each is reported, the memory of its first run.
        plan = [("whole", "whole", {"analysis": True}), ("stream", "stream", {}),
                ("dask1", "dask", {"workers": 1, "split_every": 2, "sizes": True, "turns": 2}),
                ("dask2", "dask", {"workers": 2, "split_every": 2, "turns": 2}),
                ("stream", "stream", {}),
                ("dask1", "dask", {"workers": 1, "split_every": 2, "turns": 2}),
                ("dask2", "dask", {"workers": 2, "split_every": 2, "turns": 2})]
        # (quick: one cluster, of 2 workers, one solve)
        for name, kind, extra in [plan[0], plan[1], ("dask2", "dask", {"workers": 2, "split_every": 2, "sizes": True})] if quick else plan:
            r = run_child(kind, work, 900, paths=paths, **extra)
            print(f"tall: {name}: {'ok' if r['ok'] else r.get('error')} "
                  f"time {r['time'] and round(r['time'], 2)} s, peak {fmt_bytes(r.get('peak_total', 0))}", flush=True)
            if name not in runs:
                r["all_times"] = [] if r["time"] is None else list(r.get("times", [r["time"]]))
                r["all_cpu"] = list(r.get("cpu", []))
                runs[name] = r
            elif r["ok"]:
                runs[name]["all_times"] += r.get("times", [r["time"]])
                runs[name]["all_cpu"] += r.get("cpu", [])
                runs[name]["time"] = min(runs[name]["all_times"])
        results["loadavg"] = os.getloadavg()
        x_whole = None
        xs = {k: np.load(r["x_path"]) for k, r in runs.items() if r.get("x_path")}
        # the whole-matrix solution, for the agreement column
        if runs["whole"]["ok"]:
            from orvex.spqr import spqr_solve
            parts = [load_block(p) for p in paths]
            A = sp.vstack([p[0] for p in parts], format="csc")
            b = np.concatenate([p[1] for p in parts])
            x_whole = spqr_solve(A, b)
            del A, b, parts
        for k, x in xs.items():
            runs[k]["rel_diff"] = float(np.linalg.norm(x - x_whole) / np.linalg.norm(x_whole)) \
                if x_whole is not None else None

        # the taller problem
        t = time.perf_counter()
        big_paths, big_m = write_blocks(work / "big", grid, big_nobs, big_block, seed=1)
        print(f"tall: taller problem {big_m} x {grid * grid} ({time.perf_counter() - t:.1f} s)", flush=True)
        results["big_m"], results["limit_gib"] = big_m, limit
        runs["big_whole"] = run_child("whole", work, 600 if not quick else 120, paths=big_paths, limit_gib=limit)
        print(f"tall: big_whole: {runs['big_whole'].get('error') or 'ok'}", flush=True)
        runs["big_stream"] = run_child("stream", work, 900, paths=big_paths)
        print(f"tall: big_stream: time {runs['big_stream']['time']:.1f} s, "
              f"peak {fmt_bytes(runs['big_stream'].get('peak_total', 0))}", flush=True)

    for r in runs.values():
        ev = {name: (tt, rss) for name, tt, rss in r.get("events", [])}
        if "start" in ev:
            base = ev["start"][1]
            r["base"] = base
    results["runs"] = {k: {kk: vv for kk, vv in r.items() if kk not in ("samples",)} for k, r in runs.items()}
    out = Path(a.out)
    out.mkdir(parents=True, exist_ok=True)
    stem = "tall-quick" if quick else "tall"
    (out / f"{stem}.json").write_text(json.dumps(results, indent=1, default=str))
    png = plot(runs, out / f"{stem}.png")
    (out / f"{stem}.md").write_text(report(results, runs, png))
    print(f"tall: wrote {out / (stem + '.md')}", flush=True)


def series(r):
    return [(s[0] - r["t0"], s[1]) for s in r.get("samples", [])]


def plot(runs, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    fig, ax = plt.subplots(figsize=(8, 4.2))
    for key, label in (("whole", "spqr_solve, whole matrix"), ("stream", "orvex.tall.lstsq, streamed"),
                       ("dask2", "orvex.tall.lstsq, Dask, 2 workers (client + workers)")):
        r = runs.get(key)
        if not r or not r.get("samples"):
            continue
        ev = {name: t for name, t, _ in r.get("events", [])}
        t0, t1 = ev.get("start", r["t0"]), ev.get("end", float("inf"))
        pts = [(t - t0, rss / MIB) for t, rss, *_ in r["samples"] if t0 - 3 <= t <= t1 + 0.5]
        ax.plot([p[0] for p in pts], [p[1] for p in pts], label=label)
    ax.axvline(0, color="grey", lw=0.6, ls=":")
    ax.set_xlabel("seconds from the start of the solve (inputs loaded before 0)")
    ax.set_ylabel("resident memory, MiB")
    ax.set_title("Memory over time: a 1.2-million-row least-squares fit" if len(runs) else "")
    ax.legend(loc="upper right", fontsize=8)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def report(res, runs, png):
    def peak(r):
        return r.get("peak_total", 0)

    def added(r):
        return peak(r) - r.get("base", 0)

    missing = {"ok": False, "error": "not run", "time": None}
    w, s, d1, d2 = runs["whole"], runs["stream"], runs.get("dask1", missing), runs.get("dask2", missing)
    lines = [f"# orvex.tall: tall least squares{' (quick run, no claims)' if res['quick'] else ''}", "",
             f"Measured by `benchmarks/tall.py` on {res['machine']} ({res['cpus']} cores), {res['date']}. "
             f"Problem: bilinear fit of {res['nobs']:,} scattered observations on a {res['grid']} x {res['grid']} "
             f"grid plus smoothing rows: {res['m']:,} x {res['n']:,}, 4 entries per observation row, stored as "
             f"{res['blocks']} block files of {res['block_rows']:,} rows (.npz). Load average of the shared "
             f"machine at the end of these runs: {res['loadavg'][0]:.1f} (1 min), {res['loadavg'][2]:.1f} (15 min). "
             "Times: the best of the runs listed in tall.json (spqr_solve once, the streamed solve twice, each "
             "cluster four times). Each run is a child process; "
             "memory is the resident memory of the child and its descendants (the Dask workers), sampled every "
             "50 ms. Peak: the largest sample during the run; added: peak minus the resident memory when the "
             "solve started (for spqr_solve, the matrix was loaded by then).", "",
             "| run | time | peak memory | added by the solve | rel. difference of x to spqr_solve |",
             "|---|---:|---:|---:|---:|"]
    for key, label in (("whole", "`spqr_solve(A, b)`, whole matrix in memory"),
                       ("stream", "`lstsq(blocks)`, streamed from the files"),
                       ("dask1", "`lstsq(dask array)`, LocalCluster, 1 worker"),
                       ("dask2", "`lstsq(dask array)`, LocalCluster, 2 workers")):
        r = runs.get(key, missing)
        if not r["ok"]:
            lines.append(f"| {label} | {r.get('error')} | | | |")
            continue
        rd = r.get("rel_diff")
        lines.append(f"| {label} | {r['time']:.2f} s | {fmt_bytes(peak(r))} | {fmt_bytes(max(added(r), 0))} | "
                     f"{'–' if rd is None else f'{rd:.1e}'} |")
    lines.append("")
    targets = []
    if w["ok"] and s["ok"]:
        mem = peak(s) / peak(w)
        tim = s["time"] / w["time"]
        targets.append(("streamed peak memory ≤ 25% of spqr_solve's", mem <= 0.25,
                        f"{100 * mem:.1f}% ({fmt_bytes(peak(s))} vs {fmt_bytes(peak(w))}; memory added by the "
                        f"solve {fmt_bytes(max(added(s), 0))} vs {fmt_bytes(added(w))})"))
        targets.append(("streamed time ≤ 1.5x spqr_solve's", tim <= 1.5, f"{tim:.2f}x ({s['time']:.2f} s vs "
                                                                      f"{w['time']:.2f} s)"))
    if d1["ok"] and d2["ok"]:
        sp_ = d1["time"] / d2["time"]

        def busy(r):
            # the workers' CPU seconds in the fastest solve, over its wall time
            i = r["all_times"].index(r["time"])
            c = r["all_cpu"][i] if i < len(r["all_cpu"]) else []
            return " + ".join(f"{v:.1f}" for v in c) + f" CPU s in {r['time']:.2f} s"

        def busiest(r):
            i = r["all_times"].index(r["time"])
            return max(r["all_cpu"][i]) if i < len(r["all_cpu"]) and r["all_cpu"][i] else float("nan")

        cpu_ratio = busiest(d1) / busiest(d2)
        targets.append(("2 workers ≥ 1.6x faster than 1", sp_ >= 1.6,
                        f"{sp_:.2f}x in wall time, {cpu_ratio:.2f}x in the busiest worker's CPU time "
                        f"({d1['time']:.2f} s vs {d2['time']:.2f} s; worker CPU time: 1 worker "
                        f"{busy(d1)}, 2 workers {busy(d2)}; all times: 1 worker "
                        f"{', '.join(f'{t:.1f}' for t in d1['all_times'])} s, 2 workers "
                        f"{', '.join(f'{t:.1f}' for t in d2['all_times'])} s)"))
    bw, bs = runs["big_whole"], runs["big_stream"]
    if bs["ok"]:
        held = "raised " + bw["error"].split(":")[0] if not bw["ok"] and bw.get("error", "").startswith(
            ("SPQROutOfMemoryError", "MemoryError")) else (bw.get("error") or "succeeded")
        targets.append((f"a problem spqr_solve cannot hold, solved streamed", not bw["ok"],
                        f"{res['big_m']:,} rows: spqr_solve under a {res['limit_gib']:g} GiB address-space "
                        f"limit {held}; streamed {bs['time']:.1f} s, peak {fmt_bytes(peak(bs))}"))
    lines += ["## Targets", "", "| target | met | measured |", "|---|:---:|---|"]
    lines += [f"| {t} | {'yes' if ok else 'no'} | {m} |" for t, ok, m in targets]
    lines.append("")
    sized = d1 if d1.get("root_nbytes") else d2
    if sized["ok"]:
        root = sized.get("root_nbytes")
        nb = sized["blocks"]
        lines += ["## The reduction", "",
                  f"R has {sized.get('nnzR', 0):,} entries; the root factor (R, c, order) is {fmt_bytes(root or 0)} "
                  f"({root or 0:,} bytes) pickled. With {nb} blocks and `split_every=2` the tree passes "
                  f"{nb - 1} factors to merges, at most {fmt_bytes((nb - 1) * (root or 0))} in all (a factor of "
                  "fewer rows is no larger than the root). Measured transfers between workers (Dask's "
                  f"incoming-transfer logs): 1 worker {fmt_bytes(d1.get('transfer_bytes', 0))}, 2 workers "
                  f"{fmt_bytes(d2.get('transfer_bytes', 0))} (factors, patterns and the few blocks of b "
                  "that Dask placed apart from their rows of A).", "",
                  "On paper, for more machines: each worker reduces its own blocks to one factor locally, so "
                  "a binary tree over W workers moves W - 1 factors of at most the root's size and log2(W) of "
                  f"them in sequence: for W = 8, 7 x {fmt_bytes(root or 0)} = {fmt_bytes(7 * (root or 0))} "
                  f"in 3 rounds; for W = 64, 63 x {fmt_bytes(root or 0)} = {fmt_bytes(63 * (root or 0))} in 6 "
                  "rounds, which a 10 Gbit/s network carries in well under a second per round. The block "
                  "work divides by W; the merges on the critical path (log2(W) of them, each an SPQR "
                  "factorization of two stacked R factors) do not, and bound the speed-up once the blocks "
                  "per worker are few.", ""]
    if bs["ok"]:
        after = "" if bw.get("time") is None else f" after {bw['time']:.1f} s"
        hb = w.get("nnzH_upper_bound")
        scale = res["big_m"] / res["m"] if hb else 0
        lines += ["## A problem spqr_solve cannot hold", "",
                  f"The same fit with {res['big_m']:,} rows. spqr_solve, in a child process under a "
                  f"{res['limit_gib']:g} GiB address-space limit (RLIMIT_AS) and a wall-clock time-out: "
                  f"{bw.get('error') or 'succeeded'}{after}: it needs more than {res['limit_gib']:g} GiB."
                  + (f" On the main case SPQR's analysis bounds nnz(H) by {hb:,} entries (R: "
                     f"{w.get('nnzR_upper_bound'):,}); H grows with the rows, so here it is about "
                     f"{hb * scale:,.0f} entries, {fmt_bytes(hb * scale * 16)} at 16 bytes per entry (value and "
                     "row index), beyond this machine's 24 GB with the stacks SPQR needs beside it"
                     if hb and hb * scale * 16 > 24e9 else
                     f" On the main case SPQR's analysis bounds nnz(H) by {hb:,} entries; H grows with the "
                     f"rows, so here it is about {hb * scale:,.0f} entries, {fmt_bytes(hb * scale * 16)} at 16 "
                     "bytes per entry" if hb else "")
                  + f". Streamed: {bs['time']:.1f} s, peak {fmt_bytes(peak(bs))}, rank {bs.get('rank')} "
                    f"(flag {bs.get('flag')}).", ""]
    if png:
        lines += [f"![memory over time]({Path(png).name})", ""]
    return "\n".join(lines)


if __name__ == "__main__":
    main()
