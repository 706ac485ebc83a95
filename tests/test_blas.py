"""Importing orvex.spqr leaves the BLAS thread settings of the process as they
were, and so does SPQR's work; the BLAS that orvex uses (SciPy's, in the
wheel) computes what NumPy computes for every BLAS/LAPACK path SPQR takes.

The thread counts are read with threadpoolctl where it is installed, else
directly from the OpenBLAS libraries mapped into the process."""
import json
import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import make_matrix, variants
from orvex.spqr import SPQRFactor, spqr, spqr_solve

PROBE = r"""
import ctypes, json, os, sys
import numpy, scipy.sparse, scipy.linalg

def threads():
    try:
        import threadpoolctl
    except ImportError:
        seen = {}
        with open("/proc/self/maps") as f:
            paths = sorted({l.split()[-1] for l in f if "openblas" in l.split()[-1].lower()})
        for path in paths:
            lib = ctypes.CDLL(path)
            for name in ("scipy_openblas_get_num_threads64_", "scipy_openblas_get_num_threads",
                         "openblas_get_num_threads64_", "openblas_get_num_threads"):
                fn = getattr(lib, name, None)
                if fn is not None:
                    seen[os.path.basename(path)] = fn()
                    break
        return seen
    return {os.path.basename(d["filepath"]): d["num_threads"] for d in threadpoolctl.threadpool_info()}

before = threads()
import orvex.spqr as m
after_import = threads()
A = scipy.sparse.random_array((400, 200), density=0.05, format="csc", rng=1) + scipy.sparse.eye_array(400, 200)
f = m.SPQRFactor(scipy.sparse.csc_array(A)); f.factorize(scipy.sparse.csc_array(A)); f.solve(numpy.ones(400))
print(json.dumps([before, after_import, threads()]))
"""


@pytest.mark.parametrize("env", [{}, {"OPENBLAS_NUM_THREADS": "1"}], ids=["default", "one-thread"])
def test_import_and_work_keep_blas_threads(env):
    import os
    environ = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS")}
    p = subprocess.run([sys.executable, "-c", PROBE], env={**environ, **env}, capture_output=True, text=True,
                       timeout=300)
    assert p.returncode == 0, p.stderr[-3000:]
    before, after_import, after_work = json.loads(p.stdout)
    # The BLAS libraries loaded before orvex keep their settings (a
    # development build brings its own, linked BLAS besides; the wheel none).
    assert before
    assert {k: after_import.get(k) for k in before} == before
    assert {k: after_work.get(k) for k in before} == before
    if env:
        assert all(n == 1 for n in before.values()), before


@variants
@pytest.mark.parametrize("shape", [(120, 40), (40, 120)])
def test_blas_paths_agree_with_numpy(dtype, itype, shape):
    # Dense enough for SPQR's frontal matrices to go through the BLAS/LAPACK
    # routines (Householder blocks, gemm), in every variant.
    m, n = shape
    A = make_matrix(m, n, dtype, itype, density=0.4, seed=7)
    rng = np.random.default_rng(3)
    b = rng.standard_normal((m, 3)).astype(dtype)
    D = A.toarray()
    if m >= n:
        x = spqr_solve(A, b)
        ref = np.linalg.lstsq(D, b, rcond=None)[0]
    else:
        x = spqr_solve(A, b)          # minimum-norm solution
        ref = np.linalg.pinv(D) @ b
    np.testing.assert_allclose(x, ref, rtol=1e-9, atol=1e-10)
    Q, R, E = spqr(A, mode="economic")
    Qd = Q.toarray() if sp.issparse(Q) else Q
    Rd = R.toarray() if sp.issparse(R) else R
    np.testing.assert_allclose(Qd @ Rd, D[:, E], atol=1e-10)
    f = SPQRFactor(A)
    f.factorize(A)
    np.testing.assert_allclose(f.qmult(f.qmult(b, "QTX"), "QX"), b, atol=1e-10)
