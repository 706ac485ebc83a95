"""The singular matrices of tests/data/rank with their reference files.

Each ``<name>.json`` goes with ``<name>.mtx.gz``, except for the matrices
built here from the formula that defines them: ``wing_500`` (Hansen's
Regularization Tools, ``wing(500)``; 7 MB as Matrix Market text) is
``A[i, j] = h t_j exp(-t_i t_j^2)`` with ``t = ((1:n) - 1/2) h``, ``h = 1/n``,
which reproduces the collection's matrix to within 4e-19 per entry (1 ulp
of its largest entries).  The documentation's tables use this module too.
"""
import functools
import gzip
import json
import pathlib

import numpy as np
import scipy.io
import scipy.sparse as sp

RANK_DIR = pathlib.Path(__file__).resolve().parents[1] / "data" / "rank"
NAMES = sorted(p.name[:-5] for p in RANK_DIR.glob("*.json"))


def wing(n):
    """Regularization Tools' ``wing(n)`` (t1 = 1/3, t2 = 2/3 only shape b and x)."""
    h = 1.0 / n
    t = (np.arange(1, n + 1) - 0.5) * h
    return h * t[None, :] * np.exp(-t[:, None] * t[None, :] ** 2)


GENERATED = {"wing_500": lambda: wing(500)}


@functools.lru_cache(maxsize=None)
def load(name):
    """(A as a float64 csc_array, the parsed reference file)."""
    ref = json.loads((RANK_DIR / f"{name}.json").read_text())
    if name in GENERATED:
        A = sp.csc_array(GENERATED[name]())
    else:
        with gzip.open(RANK_DIR / f"{name}.mtx.gz", "rt") as f:
            A = sp.csc_array(scipy.io.mmread(f))
    assert list(A.shape) == ref["shape"], name
    return A, ref
