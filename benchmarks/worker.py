"""Child process of the benchmark suite: orvex and its peers on one case.

    python worker.py time  CASE_DIR --ops a,b,... [--params JSON]
    python worker.py serve CASE_DIR [--params JSON]   (commands on stdin)
    python worker.py mem   CASE_DIR --ops one-operation
    python worker.py peers CASE_DIR --peers p,q,... [--params JSON]
    python worker.py facts

Prints one JSON object per line.  Every operation is the Python call a user
makes; benchmarks/native/spqr_bench.cpp makes the SPQR/CHOLMOD calls orvex
makes for it, on the same files.
"""

import argparse
import ctypes
import json
import os
import sys
from pathlib import Path

import numpy as np
from scipy import sparse

sys.path.insert(0, str(Path(__file__).resolve().parent))
from matfile import read_dense, read_sparse  # noqa: E402
from timing import Params, maxrss_kb, measure, quiet_gc, reset_peak, sample, status_kb, summary, warm  # noqa: E402

START_MAXRSS_KB = maxrss_kb()
START_HWM_KB = status_kb("VmHWM:")

from orvex.spqr import SPQRFactor, spqr, spqr_factor, spqr_solve  # noqa: E402


def emit(obj):
    print(json.dumps(obj), flush=True)


class Inputs:
    def __init__(self, case_dir):
        d = Path(case_dir)
        self.meta = json.loads((d / "case.json").read_text())
        self.minnorm = self.meta["kind"] == "minnorm"
        self.A = read_sparse(d / "A.bin")
        # The factored matrix: A, or A^H for a minimum-norm problem.
        if self.minnorm:
            F = self.A.conj().T.tocsc()
            F.indptr = F.indptr.astype(self.A.indptr.dtype)
            F.indices = F.indices.astype(self.A.indptr.dtype)
            self.F = F
        else:
            self.F = self.A
        self.B = read_dense(d / "B.bin")
        self.b1 = np.ascontiguousarray(self.B[:, 0])
        self.C = read_dense(d / "C.bin") if (d / "C.bin").exists() else self.B
        self.S = read_sparse(d / "S.bin") if (d / "S.bin").exists() else None
        self.factor = None

    def numeric_factor(self):
        if self.factor is None or not self.factor.is_numeric:
            self.factor = spqr_factor(self.F)
        return self.factor

    def symbolic_factor(self):
        if self.factor is None:
            self.factor = SPQRFactor(self.F)
        return self.factor


def reference_solve(factor, b, transpose=False, batch=100):
    """The SciPy-batched reference: densify a batch of columns into one
    reused column-major buffer, solve, sparsify, then stack the pieces."""
    M, K = b.shape
    buf = np.empty((M, min(K, batch)), dtype=factor.dtype, order="F")
    pieces = []
    for i in range(0, K, batch):
        j = min(i + batch, K)
        view = buf[:, :j - i]
        b[:, i:j].toarray(out=view)
        x = factor._solve_dense(view, transpose)
        pieces.append(sparse.csc_array(x, dtype=b.dtype))
    X = sparse.hstack(pieces, format="csc")
    X.indptr = X.indptr.astype(factor.itype)
    X.indices = X.indices.astype(factor.itype)
    return X


def _norm(x):
    return float(np.linalg.norm(x))


def orvex_call(inp, op):
    """(call, check) for one orvex operation: check(result) gives the number
    the native program reports for the same operation."""
    F, A, t = inp.F, inp.A, inp.minnorm
    if op == "symbolic":
        return lambda: SPQRFactor(F), lambda f: float(f.info.nf)
    if op == "factor":
        return lambda: spqr_factor(F), lambda f: float(f.rank)
    if op == "numeric":
        f = inp.symbolic_factor()
        return lambda: f.factorize(F), lambda f: float(f.rank)
    f = None
    if op in ("solve1", "solve100", "solve_sparse", "qmult", "copy"):
        f = inp.numeric_factor()
    if op == "solve1":
        b = inp.b1
        return lambda: f.solve(b, transpose=t), _norm
    if op == "solve100":
        B = inp.B
        return lambda: f.solve(B, transpose=t), _norm
    if op == "solve_sparse":
        S = inp.S
        return lambda: f.solve(S, transpose=t), lambda X: _norm(X.data)
    if op == "qmult":
        C = inp.C
        return lambda: f.qmult(C, "QTX"), _norm
    if op in ("spqr_full", "spqr_economic", "spqr_householder"):
        mode = op.split("_", 1)[1]
        return lambda: spqr(A, mode=mode), lambda r: float(r[1].nnz)
    if op == "spqr_solve":
        b = inp.b1
        return lambda: spqr_solve(A, b), _norm
    if op == "copy":
        return lambda: f.copy(), lambda g: float(g.rank)
    raise ValueError(f"unknown operation {op}")


def residual_accuracy(A, b, x):
    """||A^H r||, ||r|| (r = b - A x) and ||x||."""
    x = np.asarray(x).reshape(-1)
    r = b - A @ x
    return {"AHr": float(np.linalg.norm(A.conj().T @ r)), "r": float(np.linalg.norm(r)),
            "x": float(np.linalg.norm(x))}


def same_csc(X, R):
    return bool(X.shape == R.shape and X.indptr.dtype == R.indptr.dtype
                and X.indices.dtype == R.indices.dtype and X.data.dtype == R.data.dtype
                and np.array_equal(X.indptr, R.indptr) and np.array_equal(X.indices, R.indices)
                and np.array_equal(X.data, R.data))


class Session:
    """The orvex side of one case: operations set up once, then warmed up,
    sampled or measured on command."""

    def __init__(self, inp, params):
        self.inp, self.params, self.ops = inp, params, {}

    def setup(self, op):
        if op not in self.ops:
            self.ops[op] = orvex_call(self.inp, op)
        return self.ops[op]

    def _first(self, op, out):
        _, check = self.setup(op)
        inp = self.inp

        def first(result):
            out["check"] = check(result)
            if op == "spqr_solve":
                out["accuracy"] = residual_accuracy(inp.A, inp.b1, result)
            if op == "solve_sparse":
                out["nnz"] = int(result.nnz)
                # The reference must give identical results.
                out["identical"] = same_csc(result, reference_solve(inp.factor, inp.S, inp.minnorm))
        return first

    def warm(self, op):
        call, _ = self.setup(op)
        out = {"op": op}
        with quiet_gc():
            out["first"], out["inner"] = warm(call, self.params, self._first(op, out))
        return out

    def rep(self, op, inner):
        call, _ = self.setup(op)
        with quiet_gc():
            dt = sample(call, inner)
        return {"op": op, "dt": dt, "inner": inner}

    def measure(self, op):
        call, _ = self.setup(op)
        out = {}
        res = measure(call, self.params, self._first(op, out))
        res.update(op=op, **out)
        return res


def cmd_time(inp, ops, params):
    s = Session(inp, params)
    for op in ops:
        emit(s.measure(op))


def cmd_serve(inp, params):
    """Commands on stdin (setup OP, warm OP, rep OP INNER, measure OP, quit),
    one JSON reply each, as the native program's serve mode."""
    s = Session(inp, params)
    emit({"ready": True, "blas_binding": blas_binding()})
    for line in sys.stdin:
        words = line.split()
        if not words or words[0] == "quit":
            break
        cmd, op = words[0], words[1]
        if cmd == "setup":
            s.setup(op)
            emit({"op": op, "ok": True})
        elif cmd == "warm":
            emit(s.warm(op))
        elif cmd == "rep":
            emit(s.rep(op, int(words[2])))
        elif cmd == "measure":
            emit(s.measure(op))
        else:
            raise SystemExit(f"unknown command {cmd}")


def cmd_mem(inp, op):
    call, _ = orvex_call(inp, op)
    import gc
    gc.collect()
    reset = reset_peak()
    before = maxrss_kb()
    call()
    peak = maxrss_kb()
    emit({"op": op, "base_kb": before, "peak_kb": peak, "reset": reset,
          "start_maxrss_kb": START_MAXRSS_KB, "start_hwm_kb": START_HWM_KB})


# ---- peers ---------------------------------------------------------------------------------

def peer_call(inp, name):
    """(call, accuracy) for a peer; accuracy(result) returns a dict, or is None."""
    A, F, b = inp.A, inp.F, inp.b1
    m, n = A.shape
    lim = inp.meta.get("lsqr_iter_lim") or None
    if name.startswith("sparseqr."):
        import sparseqr
        # sparseqr's documented fastest input format, prepared outside the timing.
        Acoo = sparse.coo_matrix(A)
        what = name.split(".", 1)[1]
        if what == "solve":
            return lambda: sparseqr.solve(Acoo, b), lambda x: residual_accuracy(A, b, x)
        if what == "qr":
            return lambda: sparseqr.qr(Acoo), None
        if what == "qr_economy":
            return lambda: sparseqr.qr(Acoo, economy=True), None
        if what == "qr_factorize":
            Fcoo = sparse.coo_matrix(F)
            return lambda: sparseqr.qr_factorize(Fcoo), None
        if what == "qmult":
            QR = sparseqr.qr_factorize(sparse.coo_matrix(F))
            C = inp.C
            return lambda: sparseqr.qmult(QR, C, 0), None
    if name in ("scipy.lsqr", "scipy.lsmr"):
        from scipy.sparse.linalg import lsmr, lsqr
        if name == "scipy.lsqr":
            def solve():
                return lsqr(A, b, atol=1e-12, btol=1e-12, conlim=1e12, iter_lim=lim)
        else:
            def solve():
                return lsmr(A, b, atol=1e-12, btol=1e-12, conlim=1e12, maxiter=lim)

        def acc(out):
            d = residual_accuracy(A, b, out[0])
            d["iterations"] = int(out[2])
            return d
        return solve, acc
    if name == "scipy.spsolve":
        from scipy.sparse.linalg import spsolve
        return lambda: spsolve(A, b), lambda x: residual_accuracy(A, b, x)
    if name.startswith("numpy."):
        D = A.toarray()
        if name == "numpy.lstsq":
            return (lambda: np.linalg.lstsq(D, b, rcond=None),
                    lambda out: residual_accuracy(A, b, out[0]))
        if name == "numpy.qr_complete":
            return lambda: np.linalg.qr(D, mode="complete"), None
        if name == "numpy.qr_reduced":
            return lambda: np.linalg.qr(D, mode="reduced"), None
    if name == "reference":
        f = inp.numeric_factor()
        S, t = inp.S, inp.minnorm
        return lambda: reference_solve(f, S, t), None
    raise ValueError(f"unknown peer {name}")


def cmd_peers(inp, names, params):
    for name in names:
        try:
            call, acc = peer_call(inp, name)
            out = {}
            res = measure(call, params, None if acc is None else lambda r: out.update(accuracy=acc(r)))
            res.update(peer=name, **out)
        except Exception as e:  # a peer that cannot run is reported, not fatal
            res = {"peer": name, "error": f"{type(e).__name__}: {e}"}
        emit(res)


# ---- machine facts ---------------------------------------------------------------------------

def blas_binding():
    """The libraries SPQR's dgemm_/dlarfb_ calls bind to: a definition in the
    global scope (the program or a preloaded library) wins; otherwise SPQR's
    own dependency (OpenBLAS) provides it."""
    class DlInfo(ctypes.Structure):
        _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                    ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]
    libc = ctypes.CDLL(None)
    libc.dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    libc.dlopen.restype = ctypes.c_void_p
    libc.dlopen.argtypes = [ctypes.c_char_p, ctypes.c_int]
    libc.dlsym.restype = ctypes.c_void_p
    libc.dlsym.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    RTLD_LAZY, RTLD_NOLOAD, RTLD_DEFAULT = 0x1, 0x4, None
    spqr = libc.dlopen(b"libspqr.so.4", RTLD_LAZY | RTLD_NOLOAD)
    out = {}
    for sym in (b"dgemm_", b"dlarfb_"):
        addr = libc.dlsym(RTLD_DEFAULT, sym) or (libc.dlsym(spqr, sym) if spqr else None)
        info = DlInfo()
        ok = addr and libc.dladdr(addr, ctypes.byref(info))
        out[sym.decode().rstrip("_")] = info.dli_fname.decode() if ok and info.dli_fname else ""
    return out


def cmd_facts():
    import platform
    import scipy
    import orvex
    facts = {"python": platform.python_version(), "numpy": np.__version__, "scipy": scipy.__version__,
             "orvex": orvex.__version__, "blas_binding": blas_binding()}
    for mod in ("sparseqr", "matplotlib", "threadpoolctl"):
        try:
            from importlib.metadata import version
            facts[mod] = version(mod)
        except Exception:
            facts[mod] = None
    try:
        import threadpoolctl
        facts["threadpools"] = threadpoolctl.threadpool_info()
    except ImportError:
        facts["threadpools"] = None
    emit(facts)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["time", "serve", "mem", "peers", "facts"])
    p.add_argument("case", nargs="?")
    p.add_argument("--ops", default="")
    p.add_argument("--peers", default="")
    p.add_argument("--params", default="{}")
    a = p.parse_args()
    if a.mode == "facts":
        cmd_facts()
        return
    params = Params(**json.loads(a.params))
    inp = Inputs(a.case)
    if a.mode == "time":
        emit({"blas_binding": blas_binding(), "pid": os.getpid()})
        cmd_time(inp, [o for o in a.ops.split(",") if o], params)
    elif a.mode == "serve":
        cmd_serve(inp, params)
    elif a.mode == "mem":
        ops = [o for o in a.ops.split(",") if o]
        if len(ops) != 1:
            raise SystemExit("mem measures exactly one operation")
        cmd_mem(inp, ops[0])
    else:
        cmd_peers(inp, [x for x in a.peers.split(",") if x], params)


if __name__ == "__main__":
    main()
