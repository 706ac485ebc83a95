"""Does the BLAS orvex runs on return under an address-space limit?

Some OpenBLAS builds (Debian 12's 0.3.21 among them) retry a failing
allocation of their buffer pool forever, so a factorization under
`ulimit -v` (RLIMIT_AS) in a band of limits never returns instead of raising
SPQROutOfMemoryError.  This runs a factorization and a solve in child
processes under a range of limits and reports, per limit, success,
MemoryError or a hang (no answer within the time-out), with the BLAS
threadpoolctl sees when it is installed.

    python scripts/blas_rlimit.py [--timeout SECONDS]
"""
import argparse
import subprocess
import sys

CHILD = r"""
import resource, sys
import numpy as np
from scipy import sparse
from orvex.spqr import spqr_factor
n = 300
D = sparse.diags_array([-np.ones(n - 1), np.ones(n - 1)], offsets=[0, 1], shape=(n - 1, n))
I = sparse.eye_array(n)
A = sparse.vstack([sparse.kron(I, D), sparse.kron(D, I)]).tocsc()
limit = int(sys.argv[1]) * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    spqr_factor(A).solve(np.ones(A.shape[0]))
    print("ok")
except MemoryError:
    print("MemoryError")
"""


def blas():
    try:
        from threadpoolctl import threadpool_info
        import orvex.spqr  # noqa: F401  (loads SuiteSparse's BLAS)
        return "; ".join(f"{i.get('internal_api')} {i.get('version')} {i.get('filepath')}"
                         for i in threadpool_info() if i.get("user_api") == "blas")
    except ImportError:
        return "unknown (threadpoolctl not installed)"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--timeout", type=float, default=30)
    args = ap.parse_args()
    print("BLAS:", blas())
    hangs = []
    for mb in range(300, 1100, 50):
        try:
            out = subprocess.run([sys.executable, "-c", CHILD, str(mb)], capture_output=True, text=True,
                                 timeout=args.timeout).stdout.split()
            result = out[-1] if out else "crashed"
        except subprocess.TimeoutExpired:
            result = f"no answer within {args.timeout:g} s"
            hangs.append(mb)
        print(f"RLIMIT_AS {mb:5d} MiB: {result}", flush=True)
    print("hangs at", hangs if hangs else "no limit")
    return 1 if hangs else 0


if __name__ == "__main__":
    sys.exit(main())
