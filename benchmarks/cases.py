"""The benchmark cases, made reproducibly (fixed seeds) and written to disk.

Every case is a matrix A with its operands:

- B: a dense right-hand side of 100 columns (solve1 uses its first column);
- C: the dense operand of qmult (rows of the factored matrix);
- S: a sparse right-hand side (2000 columns in the full suite).

A least-squares case ("ls") factors A; a minimum-norm case ("minnorm", A
wide) factors A^H and solves transposed, as spqr_solve does.  The files are
the ones the native program reads (see matfile.py), and the Python side
reads the same files, so both sides see identical bits.
"""

import json
from dataclasses import asdict, dataclass, field
from pathlib import Path

import numpy as np
import scipy.io
from scipy import sparse

from matfile import write_dense, write_sparse

DATA = Path(__file__).resolve().parents[1] / "tests" / "data"  # the test suite's copies

# Bump when a generator changes, so cached case files are rewritten.
GENERATOR_VERSION = 3

SMALL_OPS = ["symbolic", "factor", "numeric", "solve1", "solve100", "solve_sparse", "qmult",
             "spqr_full", "spqr_economic", "spqr_householder", "spqr_solve", "copy"]
LARGE_LS_OPS = ["symbolic", "factor", "numeric", "solve1", "solve100", "qmult",
                "spqr_householder", "spqr_solve", "copy"]
LARGE_MINNORM_OPS = ["symbolic", "factor", "numeric", "solve1", "solve100", "qmult", "spqr_solve", "copy"]
SMALL_MEM_OPS = ["factor", "solve100", "spqr_full", "spqr_solve"]


@dataclass
class Case:
    name: str
    description: str
    kind: str                      # "ls" or "minnorm"
    ops: list
    mem_ops: list
    peers: list
    large: bool = False
    rhs_columns: int = 2000
    lsqr_iter_lim: int = 0         # 0: SciPy's default
    source: str = ""
    params: dict = field(default_factory=dict)


# ---- matrices -------------------------------------------------------------------------------

def as_canonical(A, dtype, itype):
    A = sparse.csc_array(A, dtype=dtype)
    A.sum_duplicates()
    A.eliminate_zeros()
    A.indptr = A.indptr.astype(itype)
    A.indices = A.indices.astype(itype)
    return A


def tiny(dtype, itype, seed=4):
    """A 4 x 3 full-rank matrix with one zero."""
    rng = np.random.default_rng(seed)
    M = rng.uniform(-1, 1, (4, 3)) + 2 * np.eye(4, 3)
    if np.dtype(dtype).kind == "c":
        M = M + 1j * rng.uniform(-1, 1, (4, 3))
    M[3, 0] = 0
    return as_canonical(M, dtype, itype)


def grid_gradient(nx, ny, itype=np.int32):
    """Forward differences on an nx x ny grid with a zero boundary beyond the
    last node, both directions stacked: (2 nx ny) x (nx ny), full column rank."""
    def d(n):
        return sparse.diags_array([-np.ones(n), np.ones(n - 1)], offsets=[0, 1], shape=(n, n))
    A = sparse.vstack([sparse.kron(sparse.eye_array(ny), d(nx)),
                       sparse.kron(d(ny), sparse.eye_array(nx))])
    return as_canonical(A, np.float64, itype)


def banded_random(m, n, per_row, band, seed, itype):
    """m x n with `per_row` entries per row: one of weight 4 at the row's
    position on the diagonal (column i n / m), the others N(0, 1) at uniformly
    random columns within +-band of it.  Full rank (the diagonal entries hit
    distinct columns/rows), well conditioned.  The band keeps SPQR's fill
    bounded: with column positions drawn over all n columns, R would be
    nearly dense."""
    rng = np.random.default_rng(seed)
    rows = np.repeat(np.arange(m, dtype=np.int64), per_row)
    center = (np.arange(m, dtype=np.int64) * n) // m
    offsets = rng.integers(-band, band + 1, size=(m, per_row))
    offsets[:, 0] = 0
    cols = np.clip(center[:, None] + offsets, 0, n - 1).ravel()
    vals = rng.standard_normal((m, per_row))
    vals[:, 0] = 4.0
    A = sparse.coo_array((vals.ravel(), (rows, cols)), shape=(m, n))
    return as_canonical(A, np.float64, itype)


def load_mtx(name):
    A = scipy.io.mmread(DATA / f"{name}.mtx")
    dtype = np.complex128 if np.iscomplexobj(A.data) else np.float64
    return as_canonical(A, dtype, np.int32)


# ---- the suite ------------------------------------------------------------------------------

def dense_fits(shape, dtype, limit=200e6):
    """numpy's dense lstsq/qr only where A and a complete Q fit comfortably."""
    m, n = shape
    return m * max(m, n) * np.dtype(dtype).itemsize < limit


def peers_for(A, kind, ops):
    real = A.dtype == np.float64
    peers = []
    if real:
        peers += ["sparseqr.solve", "sparseqr.qr_factorize"]
        if "qmult" in ops:
            peers.append("sparseqr.qmult")
        if "spqr_full" in ops:
            peers.append("sparseqr.qr")
        if "spqr_economic" in ops:
            peers.append("sparseqr.qr_economy")
    peers += ["scipy.lsqr", "scipy.lsmr"]
    if A.shape[0] == A.shape[1]:
        peers.append("scipy.spsolve")
    if dense_fits(A.shape, A.dtype):
        peers.append("numpy.lstsq")
        if "spqr_full" in ops:
            peers.append("numpy.qr_complete")
        if "spqr_economic" in ops:
            peers.append("numpy.qr_reduced")
    if "solve_sparse" in ops:
        peers.append("reference")
    return peers


def suite(quick=False):
    """(Case, matrix) pairs.  `quick`: miniature versions, for the test suite."""
    out = []

    def add(case, A):
        case.peers = peers_for(A, case.kind, case.ops)
        out.append((case, A))

    rhs = 200 if quick else 2000
    add(Case("tiny", "4 x 3, float64, int32", "ls", SMALL_OPS, SMALL_OPS, [], rhs_columns=rhs),
        tiny(np.float64, np.int32))
    add(Case("tiny-z64", "4 x 3, complex128, int64", "ls", SMALL_OPS, ["solve100", "spqr_solve"], [],
             rhs_columns=rhs), tiny(np.complex128, np.int64))
    if quick:
        add(Case("ash219", "219 x 85 least squares (SuiteSparse collection)", "ls",
                 ["factor", "solve1", "solve_sparse", "spqr_economic", "spqr_solve", "copy"],
                 ["spqr_solve"], [], rhs_columns=rhs, source="ash219"), load_mtx("ash219"))
        add(Case("grid2d", "grid gradient 8 x 8", "ls", LARGE_LS_OPS, ["numeric", "solve1"], [],
                 large=True, rhs_columns=rhs, lsqr_iter_lim=2000, params={"nx": 8}),
            grid_gradient(8, 8))
        add(Case("randls", "banded random 400 x 100, int64", "ls", LARGE_LS_OPS, ["factor"], [],
                 large=True, rhs_columns=rhs, params={"m": 400, "n": 100}),
            banded_random(400, 100, 8, 5, 1, np.int64))
        add(Case("wide", "banded random 60 x 180, minimum norm", "minnorm", LARGE_MINNORM_OPS,
                 ["spqr_solve"], [], large=True, rhs_columns=rhs, params={"m": 60, "n": 180}),
            banded_random(60, 180, 8, 15, 2, np.int32))
        return out

    for name, desc in [("ash219", "219 x 85 least squares, pattern (SuiteSparse collection)"),
                       ("west0067", "67 x 67 square, real (SuiteSparse collection)"),
                       ("lp_e226_transposed", "472 x 223 tall LP matrix (SuiteSparse collection)"),
                       ("young1c", "841 x 841 square, complex128 (SuiteSparse collection)")]:
        add(Case(name, desc, "ls", SMALL_OPS, SMALL_MEM_OPS, [], source=name), load_mtx(name))

    # Medium: where a sparse right-hand side's bookkeeping meets real solves.
    add(Case("grid2d-20k", "grid gradient 100 x 100: 19,800 x 10,000, int32", "ls",
             ["numeric", "solve100", "solve_sparse"], ["solve_sparse"], [],
             params={"nx": 100}), grid_gradient(100, 100))

    nx = 387
    add(Case("grid2d", f"2-D grid gradient {nx} x {nx}: 299,538 x 149,769, int32", "ls",
             LARGE_LS_OPS, LARGE_LS_OPS, [], large=True, lsqr_iter_lim=1000, params={"nx": nx}),
        grid_gradient(nx, nx))
    add(Case("randls", "banded random least squares 200,000 x 50,000, 8 per row (band +-25), int64",
             "ls", LARGE_LS_OPS, LARGE_LS_OPS, [], large=True, lsqr_iter_lim=1000,
             params={"m": 200_000, "n": 50_000, "band": 25}),
        banded_random(200_000, 50_000, 8, 25, 1, np.int64))
    add(Case("wide", "wide full row rank 60,000 x 180,000, 8 per row (band +-60), minimum norm, int32",
             "minnorm", LARGE_MINNORM_OPS, LARGE_MINNORM_OPS, [], large=True, lsqr_iter_lim=1000,
             params={"m": 60_000, "n": 180_000, "band": 60}),
        banded_random(60_000, 180_000, 8, 60, 2, np.int32))
    return out


def operands(case, A, seed=7):
    """B (solve, 100 columns), C (qmult) and S (sparse right-hand side)."""
    rng = np.random.default_rng(seed)
    complex_ = A.dtype.kind == "c"
    m = A.shape[0]
    q_rows = A.shape[0] if case.kind == "ls" else A.shape[1]

    def normal(shape):
        x = rng.standard_normal(shape)
        return x + 1j * rng.standard_normal(shape) if complex_ else x

    B = np.asfortranarray(normal((m, 100)))
    C = B if q_rows == m else np.asfortranarray(normal((q_rows, 100)))
    S = None
    if "solve_sparse" in case.ops:
        K = case.rhs_columns
        density = min(1.0, 3.0 / m)
        S = sparse.random_array((m, K), density=density, format="csc", rng=rng,
                                dtype=A.dtype, data_sampler=lambda size: normal(size))
        S = as_canonical(S, A.dtype, A.indptr.dtype)
    return B, C, S


def write_case(case, A, root):
    """Write the case's files under root/<name>/ (skipped when up to date)."""
    d = Path(root) / case.name
    meta = asdict(case)
    meta.update(shape=list(A.shape), nnz=int(A.nnz), dtype=str(A.dtype), itype=str(A.indptr.dtype),
                generator=GENERATOR_VERSION)
    meta_path = d / "case.json"
    if meta_path.exists():
        try:
            if json.loads(meta_path.read_text()) == meta:
                return d
        except ValueError:
            pass
    d.mkdir(parents=True, exist_ok=True)
    B, C, S = operands(case, A)
    write_sparse(d / "A.bin", A)
    write_dense(d / "B.bin", B)
    if C is not B:
        write_dense(d / "C.bin", C)
    elif (d / "C.bin").exists():
        (d / "C.bin").unlink()
    if S is not None:
        write_sparse(d / "S.bin", S)
    meta_path.write_text(json.dumps(meta, indent=1))
    return d
