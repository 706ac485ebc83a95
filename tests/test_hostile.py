"""Hostile arguments to every entry point: each is refused with a clear Python
exception of the expected class, never a crash (or, where the input is valid
but awkward, the right result)."""
import ctypes
import os
import pickle
import resource
import warnings
from contextlib import contextmanager
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.sparse as sp

import orvex.spqr as S
from orvex import _ext
from orvex.cholmod import _cholmod_sparse_from_csc
from orvex.spqr import SPQRError, SPQRFactor, SPQRInfo, spqr, spqr_factor, spqr_qmult, spqr_solve
from orvex.utils import validate_csc_input
from conftest import TEST_HOOKS, make_matrix, operand, relerr

unpickle = S.__pyx_unpickle_SPQRInfo
CHECKSUM = 0x4FE1628
INT32 = np.dtype(np.int32)

# ---- shared objects -----------------------------------------------------------------

A = make_matrix(5, 3, seed=1, density=0.6)                    # float64, int32
AZ = make_matrix(5, 3, np.complex128, np.int64, seed=2, density=0.6)
F = SPQRFactor(A, use_singletons=True)
FZ = SPQRFactor(AZ, use_singletons=True)
RAW = SPQRFactor.__new__(SPQRFactor)                          # constructor never ran
H, TAU, V = spqr(A, mode="householder")[0]
TAU2 = np.asfortranarray(TAU.reshape(1, -1))
B5 = operand((5, 3), np.float64)                              # dense right-hand sides
XF = np.asfortranarray(B5)
BS = sp.csc_array(B5)
ADDR = ctypes.create_string_buffer(200)                       # room for one cholmod_sparse


def ok_close(got, want, tol=1e-12):
    got = got.toarray() if sp.issparse(got) else got
    assert got.shape == want.shape and relerr(got, want) < tol
    return True


def readonly(a):
    a = np.array(a, order="K")
    a.setflags(write=False)
    return a


def corrupt(M, fault=None, itype=np.int32):
    """A CSC copy of ``M`` with ``itype`` indices, broken after construction
    (past SciPy's checks) by ``fault``."""
    M = sp.csc_array(M)
    ip, ix = M.indptr.astype(itype), M.indices.astype(itype)
    if fault == "row too large":
        ix[-1] = M.shape[0]
    elif fault == "row negative":
        ix[0] = -1
    elif fault == "indptr decreasing":
        ip[1], ip[2] = ip[2], ip[1]
    elif fault == "indptr start":
        ip[0] = 1
    elif fault == "indptr end":
        ip[-1] += 7
    elif fault == "indptr short":
        ip = ip[:-1]
    M.indptr, M.indices = ip, ix
    return M


def with_dtype(D, dtype):
    if np.dtype(dtype).kind == "M":
        return np.arange(D.size).astype("datetime64[s]").reshape(D.shape)
    return D.astype(dtype)


@contextmanager
def address_space(extra=3 << 30):
    """Cap the address space (to current use + ``extra``) so that a huge
    allocation fails fast instead of exhausting the machine."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
    limit = vm + extra if hard == resource.RLIM_INFINITY else min(vm + extra, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def huge():
    """A (2**31, 1) empty matrix with int64 indices."""
    M = sp.csc_array((2**31, 1))
    assert M.indptr.dtype == np.int64
    return M


def huge32():
    M = huge()
    M.indptr, M.indices = M.indptr.astype(np.int32), M.indices.astype(np.int32)
    return M


class Boom(Exception):
    pass


class Explosive:
    def __bool__(self):
        raise Boom


class Sub(SPQRFactor):
    pass


class Liar(SPQRFactor):
    """A subclass that claims a numeric factorization it may not have."""

    is_numeric = property(lambda self: True)


class LaxFactor(SPQRFactor):
    """A subclass whose input check lets everything through."""

    def _check_input_matrix(self, A, itype):
        return None


# ---- bad matrices, given to every entry point that takes a matrix -----------------

D = A.toarray()
nan_D, inf_D = D.copy(), D.copy()
nan_D[0, 0], inf_D[1, 1] = np.nan, -np.inf
BAD_MATRICES = {
    **{f"dtype {t}": (with_dtype(D, t), TypeError)
       for t in ("object", "U8", "datetime64[s]", "longdouble", "clongdouble")
       if not (t == "longdouble" and np.dtype(t).itemsize == 8)},
    "sparse longdouble": (sp.csc_array(D.astype(np.longdouble)), TypeError),
    "0-D": (np.float64(1.0), ValueError),
    "3-D": (np.ones((5, 3, 1)), ValueError),
    "1-D": (np.ones(5), ValueError),
    "nan dense": (nan_D, ValueError),
    "inf dense": (inf_D, ValueError),
    "nan sparse": (sp.csc_array(nan_D), ValueError),
    "inf coo": (sp.coo_array(inf_D), ValueError),
    **{f"csc {f} {np.dtype(t).name}": (corrupt(A, f, t), ValueError)
       for f in ("row too large", "row negative", "indptr decreasing", "indptr start",
                 "indptr end", "indptr short") for t in (np.int32, np.int64)},
    "csr row too large": (sp.csr_array(corrupt(A, "row too large").T), ValueError),
    "coo column out of range": (None, ValueError),  # filled below
    "bsr indices out of range": (None, ValueError),
}
_coo = sp.coo_array(D)
_coo.col = _coo.col.copy()
_coo.col[0] = 3
BAD_MATRICES["coo column out of range"] = (_coo, ValueError)
_bsr = sp.bsr_array(D[:4, :2], blocksize=(2, 2))
_bsr.indices = _bsr.indices.copy()
_bsr.indices[0] = 5
BAD_MATRICES["bsr indices out of range"] = (_bsr, ValueError)
# Structures SciPy's own conversions read without checking: the matrix must be
# refused before they run (these rows run in a child process).
UNSAFE = {}
for fmt in ("csc", "csr", "bsr"):
    _M = sp.csc_array(D).asformat(fmt)
    _M.data = _M.data[:1].copy()             # fewer values than indptr[-1] says
    UNSAFE[f"{fmt} data shorter than nnz"] = (_M, ValueError)
_lil = sp.lil_array(D)
_lil.rows[0] = [7]                           # a column index beyond the 3 columns
UNSAFE["lil column out of range"] = (_lil, ValueError)
BAD_MATRICES.update(UNSAFE)

MATRIX_ENTRIES = {
    "validate_csc_input": validate_csc_input,
    "SPQRFactor": SPQRFactor,
    "SPQRFactor singletons": lambda M: SPQRFactor(M, use_singletons=True),
    "factorize": lambda M: SPQRFactor(A).factorize(M),
    "spqr": spqr,
    "spqr householder": lambda M: spqr(M, mode="householder"),
    "spqr_factor": spqr_factor,
    "spqr_solve": lambda M: spqr_solve(M, np.ones(5)),
    "spqr_qmult H": lambda M: spqr_qmult((M, TAU, V), XF),  # every failure is wrapped
}
SPARSE_OPERAND_ENTRIES = {  # the bad matrix as a sparse right-hand side or operand
    "solve": lambda M: F.solve(M),
    "qmult": lambda M: F.qmult(M),
    "spqr_qmult X": lambda M: spqr_qmult((H, TAU, V), M),
    "_qmult X": lambda M: S._qmult(1, H, TAU2, V, M),
}

CASES = []


def case(id_, call, expected, isolate=False):
    CASES.append((id_, call, expected, isolate))


for bad, (M, exc) in BAD_MATRICES.items():
    for entry, call in MATRIX_ENTRIES.items():
        case(f"{entry}: {bad}", lambda call=call, M=M: call(M),
             ValueError if entry == "spqr_qmult H" else exc, bad in UNSAFE)
    if sp.issparse(M) and M.shape == (5, 3) and M.dtype != np.longdouble:
        for entry, call in SPARSE_OPERAND_ENTRIES.items():
            case(f"{entry}: {bad}", lambda call=call, M=M: call(M), ValueError, bad in UNSAFE)


# ---- right-hand sides and operands of hostile dtypes and dimensions ----------------

for t in ("object", "U8", "datetime64[s]", "longdouble"):
    b = with_dtype(B5, t)
    case(f"solve b {t}", lambda b=b: F.solve(b), TypeError)
    case(f"solve b {t} 1-D", lambda b=b: F.solve(b[:, 0]), TypeError)
    case(f"spqr_solve b {t}", lambda b=b: spqr_solve(A, b), TypeError)
    case(f"qmult X {t}", lambda b=b: F.qmult(b), ValueError)
    case(f"spqr_qmult X {t}", lambda b=b: spqr_qmult((H, TAU, V), b), ValueError)
    case(f"_qmult X {t}", lambda b=b: S._qmult(1, H, TAU2, V, np.asfortranarray(b)), ValueError)
    case(f"_solve_dense b {t}", lambda b=b: F._solve_dense(np.asfortranarray(b), False), TypeError)
    case(f"_qmult_dense X {t}", lambda b=b: F._qmult_dense(1, np.asfortranarray(b)), TypeError)
case("solve sparse longdouble b", lambda: F.solve(sp.csc_array(B5.astype(np.longdouble))), TypeError)
case("solve complex b on real factor", lambda: F.solve(B5 * 1j), TypeError)
for name, b in {"0-D": np.float64(1.0), "3-D": np.ones((5, 3, 1))}.items():
    case(f"solve b {name}", lambda b=b: F.solve(b), ValueError)
    case(f"spqr_solve b {name}", lambda b=b: spqr_solve(A, b), ValueError)
    case(f"qmult X {name}", lambda b=b: F.qmult(b), ValueError)
    case(f"spqr_qmult X {name}", lambda b=b: spqr_qmult((H, TAU, V), b), ValueError)
    case(f"_qmult X {name}", lambda b=b: S._qmult(1, H, TAU2, V, b), ValueError)
    case(f"_solve_dense b {name}", lambda b=b: F._solve_dense(b, False), TypeError)
    case(f"_qmult_dense X {name}", lambda b=b: F._qmult_dense(1, b), TypeError)
COO3 = sp.coo_array(np.ones((5, 3, 2)))          # SciPy's n-D COO
for name, call in {"SPQRFactor": SPQRFactor, "spqr": spqr, "solve": F.solve, "qmult": F.qmult,
                   "spqr_qmult": lambda M: spqr_qmult((H, TAU, V), M),
                   "spqr_solve": lambda M: spqr_solve(A, M)}.items():
    case(f"{name} sparse 3-D", lambda call=call: call(COO3), ValueError)
case("solve b memoryview", lambda: F.solve(memoryview(B5)), ValueError)
case("qmult X memoryview", lambda: F.qmult(memoryview(B5)), ValueError)
case("solve b np.matrix", lambda: ok_close(F.solve(np.matrix(B5)), F.solve(B5)), "ok")
case("qmult X np.matrix", lambda: ok_close(F.qmult(np.matrix(B5), "QTX"), F.qmult(B5, "QTX")), "ok")
for name, call, want in (
        ("solve b without columns", lambda: F.solve(np.ones((5, 0))), (3, 0)),
        ("solve sparse b without columns", lambda: F.solve(sp.csc_array((5, 0))), (3, 0)),
        ("qmult X without columns", lambda: F.qmult(np.ones((5, 0))), (5, 0)),
        ("qmult XQ X without rows", lambda: F.qmult(np.ones((0, 5)), "XQ"), (0, 5)),
        ("spqr_qmult X without columns", lambda: spqr_qmult((H, TAU, V), np.ones((5, 0))), (5, 0)),
        ("_qmult X without columns", lambda: S._qmult(1, H, TAU2, V, np.ones((5, 0), order="F")), (5, 0)),
        ("0x0 factor solve", lambda: SPQRFactor(np.zeros((0, 0)), use_singletons=True).solve(np.ones(0)), (0,)),
        ("0x3 factor solve", lambda: SPQRFactor(np.zeros((0, 3)), use_singletons=True).solve(np.ones(0)), (3,)),
        ("3x0 factor qmult", lambda: SPQRFactor(np.zeros((3, 0)), use_singletons=True).qmult(np.ones((3, 2))),
         (3, 2))):
    case(name, lambda call=call, want=want: call().shape == want, "ok")
case("qmult X list", lambda: F.qmult([[1.0]] * 5), ValueError)
case("spqr_qmult ragged X", lambda: spqr_qmult((H, TAU, V), [[1.0], [1.0, 2.0]]), ValueError)
case("solve b with NaN", lambda: np.isnan(F.solve(np.full(5, np.nan))).all(), "ok")

# ---- mismatched shapes -------------------------------------------------------------

case("spqr_solve b rows", lambda: spqr_solve(A, np.ones(3)), ValueError)
case("spqr_solve wide b rows", lambda: spqr_solve(A.T, np.ones(5)), ValueError)
case("qmult sparse X rows", lambda: F.qmult(sp.csc_array(np.ones((4, 2)))), ValueError)
case("spqr_qmult X rows", lambda: spqr_qmult((H, TAU, V), np.ones((4, 2))), ValueError)
for what, M in {"shape": make_matrix(6, 3), "value type": A.astype(complex),
                "index type": corrupt(A, itype=np.int64), "pattern": make_matrix(5, 3, seed=9)}.items():
    case(f"lax subclass factorize other {what}", lambda M=M: LaxFactor(A).factorize(M), ValueError)
case("_solve_dense transposed b rows", lambda: F._solve_dense(XF, True), ValueError)
case("_qmult_dense XQ columns", lambda: F._qmult_dense(3, np.ones((2, 4), order="F")), ValueError)
case("_qmult sparse X rows", lambda: S._qmult(1, H, TAU2, V, sp.csc_array((4, 2))), ValueError)

# ---- dimensions of 2**31 and more --------------------------------------------------

for name, call in {"SPQRFactor": SPQRFactor, "singletons": lambda M: SPQRFactor(M, use_singletons=True),
                   "spqr_factor": spqr_factor, "spqr_solve": lambda M: spqr_solve(M, np.ones(1)),
                   "factorize": lambda M: SPQRFactor(A).factorize(M)}.items():
    case(f"2**31 rows {name}", lambda call=call: call(huge()), (OverflowError, ValueError))


def spqr_huge(mode):
    with address_space():
        spqr(huge(), mode=mode)


for mode in ("full", "economic", "r", "householder"):
    case(f"2**31 rows spqr {mode}", lambda mode=mode: spqr_huge(mode),
         (OverflowError, ValueError, MemoryError), True)
case("validate_csc_input int32 2**31 rows", lambda: validate_csc_input(huge32())[2] == INT32, "ok")
for name, call in {"SPQRFactor": SPQRFactor, "spqr": spqr, "spqr_solve": lambda M: spqr_solve(M, np.ones(1)),
                   "spqr_qmult H": lambda M: spqr_qmult((M, np.ones(1), np.arange(1, dtype=np.int32)), XF)
                   }.items():
    case(f"2**31 rows int32 {name}", lambda call=call: call(huge32()), ValueError)
case("2**31 rows int32 header", lambda: _cholmod_sparse_from_csc(
    (2**31, 1), np.zeros(2, np.int32), np.zeros(0, np.int32), np.zeros(0), 0, ctypes.addressof(ADDR)),
    ValueError)

# ---- batch sizes -------------------------------------------------------------------

for s, exc in ((0, ValueError), (-1, ValueError), (-(2**62), ValueError), (2**63, OverflowError),
               (2.5, TypeError), ("3", TypeError), (None, TypeError)):
    case(f"spqr_solve batch {s!r}", lambda s=s: spqr_solve(A, BS, rhs_batch_size=s), exc)
    if s in (-(2**62), 2**63):
        case(f"solve batch {s!r}", lambda s=s: F.solve(BS, rhs_batch_size=s), exc)
for s in (0, -1):
    case(f"solve batch {s} no columns", lambda s=s: F.solve(sp.csc_array((5, 0)), rhs_batch_size=s),
         ValueError)
    case(f"solve batch {s} dense b", lambda s=s: ok_close(F.solve(B5, rhs_batch_size=s), F.solve(B5)),
         "ok")
case("solve transpose truth fails", lambda: F.solve(B5, transpose=Explosive()), Boom)
case("spqr_solve min2norm truth fails", lambda: spqr_solve(A.T, B5[:3], min2norm=Explosive()), Boom)

# ---- awkward but valid dense layouts: correct results ------------------------------

B10 = operand((10, 6), np.float64, seed=3)
Z10 = operand((10, 6), np.complex128, seed=4)
LAYOUTS = {  # (awkward array, the same values as a fresh array)
    "strided 2-D": lambda M: M[::2, ::2],
    "negative strides 2-D": lambda M: M[-2::-2, ::-2],
    "strided 1-D": lambda M: M[::2, 0],
    "negative stride 1-D": lambda M: M[::-2, 1],
    "C-ordered": lambda M: np.ascontiguousarray(M[::2, :3]),
    "read-only F": lambda M: readonly(np.asfortranarray(M[::2, :3])),
    "read-only 1-D": lambda M: readonly(M[::2, 2]),
}
for name, view in LAYOUTS.items():
    for fac, M in ((F, B10), (FZ, Z10)):
        tag = f"{name} {M.dtype}"
        b = view(M)
        case(f"solve {tag}", lambda fac=fac, b=b: ok_close(fac.solve(b), fac.solve(b.copy())), "ok")
        case(f"qmult {tag}", lambda fac=fac, b=b: ok_close(fac.qmult(b), fac.qmult(b.copy())), "ok")
        if b.ndim == 2:
            case(f"qmult XQ {tag}", lambda fac=fac, b=b: ok_close(fac.qmult(b.T, "XQ"),
                                                                    fac.qmult(b.T.copy(), "XQ")), "ok")
    b = view(B10)
    case(f"spqr_solve {name}", lambda b=b: ok_close(spqr_solve(A, b), spqr_solve(A, b.copy())), "ok")
    ro_f = name.startswith("read-only")  # a read-only column-major X reaches the kernel as it is
    case(f"spqr_qmult {name}", lambda b=b: ok_close(spqr_qmult((H, TAU, V), b), spqr_qmult((H, TAU, V), b.copy())),
         ValueError if ro_f else "ok")
case("_solve_dense read-only", lambda: ok_close(F._solve_dense(readonly(XF), False), F.solve(XF)), "ok")
case("_qmult_dense read-only", lambda: ok_close(F._qmult_dense(1, readonly(XF)), F.qmult(XF)), "ok")
case("spqr_qmult read-only tau", lambda: spqr_qmult((H, readonly(TAU), V), XF), ValueError)
case("spqr_qmult read-only perm", lambda: spqr_qmult((H, TAU, readonly(V)), XF), ValueError)

# ---- forged Householder triples ----------------------------------------------------

m = H.shape[0]
HZ, TAUZ, VZ = spqr(AZ, mode="householder")[0]   # complex128, int64
FORGED = {  # triples that spqr_qmult must refuse
    "perm negative": (H, TAU, np.where(V == 0, -1, V).astype(V.dtype)),
    "perm huge int64": (HZ, TAUZ, np.where(VZ == 0, 2**40, VZ)),
    "perm float": (H, TAU, V.astype(float)),
    "perm 2-D": (H, TAU, V[None, :]),
    "perm too long": (H, TAU, np.append(V, m).astype(V.dtype)),
    "perm None": (H, TAU, None),
    "tau too long": (H, np.append(TAU, 1.0), V),
    "tau int": (H, TAU.astype(int), V),
    "tau complex for real H": (H, TAU.astype(complex), V),
    "tau None": (H, None, V),
    "tau strings": (H, TAU.astype(str), V),
    "H None": (None, TAU, V),
    "H 1-D": (np.ones(m), TAU, V),
    "H NaN": (sp.csc_array(np.where(H.toarray() != 0, np.nan, 0)), TAU, V),
    "H indptr decreasing": (corrupt(H, "indptr decreasing"), TAU, V),
    "H indptr end": (corrupt(H, "indptr end"), TAU, V),
    "H row negative": (corrupt(H, "row negative"), TAU, V),
    "H too few columns": (H[:, :-1], TAU, V),
    "four items": (H, TAU, V, V),
    "string": "abc",
}
for name, house in FORGED.items():
    case(f"spqr_qmult forged {name}", lambda house=house: spqr_qmult(house, XF), ValueError)
case("spqr_qmult forged list triple", lambda: ok_close(spqr_qmult([H, TAU, V], XF), spqr_qmult((H, TAU, V), XF)),
     "ok")
_rand_H = sp.random_array((5, 3), density=0.6, rng=0, format="csc")
case("spqr_qmult non-Householder H", lambda: np.isfinite(spqr_qmult((_rand_H, np.ones(3), V), XF)).all(),
     "ok")
_unsorted = H.copy()
for j in range(H.shape[1]):
    a, b = _unsorted.indptr[j:j + 2]
    _unsorted.indices[a:b], _unsorted.data[a:b] = _unsorted.indices[a:b][::-1], _unsorted.data[a:b][::-1]
case("_qmult H with unsorted rows", lambda: S._qmult(1, _unsorted, TAU2, V, XF).shape == (5, 3), "ok")

KERNEL = {  # orvex.spqr._qmult(method, H, tau, v, X) with one argument replaced
    "method str": ({"method": "QX"}, TypeError),
    "method None": ({"method": None}, TypeError),
    "method float": ({"method": 1.0}, TypeError),
    "method 2**40": ({"method": 2**40}, OverflowError),
    "method 7": ({"method": 7}, SPQRError),
    "method -1": ({"method": -1}, SPQRError),
    "method 7 sparse X": ({"method": 7, "X": BS}, SPQRError),
    "H None": ({"H": None}, (AttributeError, TypeError)),
    "H dense": ({"H": H.toarray()}, (AttributeError, TypeError)),
    "H csr": ({"H": sp.csr_array(H)}, ValueError),
    "H int16 indices": ({"H": corrupt(H, itype=np.int16)}, TypeError),
    "H float32 data": ({"H": H.astype(np.float32)}, TypeError),
    "H complex for real tau": ({"H": H.astype(complex)}, ValueError),
    "H int64 for int32 v": ({"H": corrupt(H, itype=np.int64)}, ValueError),
    "H indptr end": ({"H": corrupt(H, "indptr end")}, ValueError),
    "H indptr decreasing": ({"H": corrupt(H, "indptr decreasing")}, ValueError),
    "H indptr short": ({"H": corrupt(H, "indptr short")}, ValueError),
    "H row too large": ({"H": corrupt(H, "row too large")}, ValueError),
    "H row negative": ({"H": corrupt(H, "row negative")}, ValueError),
    "tau None": ({"tau": None}, TypeError),
    "tau list": ({"tau": [[1.0, 1.0, 1.0]]}, TypeError),
    "tau 1-D": ({"tau": TAU.copy()}, TypeError),
    "tau int": ({"tau": np.ones((1, 3), int, order="F")}, TypeError),
    "tau float32": ({"tau": TAU2.astype(np.float32)}, TypeError),
    "tau not contiguous": ({"tau": np.repeat(TAU2, 2, axis=1)[:, ::2]}, ValueError),
    "tau complex for real H": ({"tau": TAU2.astype(complex)}, ValueError),
    "v None": ({"v": None}, TypeError),
    "v float": ({"v": V.astype(float)}, TypeError),
    "v 2-D": ({"v": V[None, :].copy()}, TypeError),
    "v uint64": ({"v": V.astype(np.uint64)}, TypeError),
    "v not contiguous": ({"v": np.repeat(V, 2)[::2]}, ValueError),
    "v empty": ({"v": V[:0].copy()}, IndexError),
    "v negative": ({"v": np.where(V == 0, -5, V).astype(V.dtype)}, ValueError),
    "v int64 for int32 H": ({"v": V.astype(np.int64)}, ValueError),
    "X None": ({"X": None}, (ValueError, TypeError)),
    "X list": ({"X": [[1.0] * 3] * 5}, (ValueError, TypeError)),
    "X 1-D": ({"X": XF[:, 0].copy()}, ValueError),
    "X C-ordered": ({"X": np.ascontiguousarray(XF)}, ValueError),
    "X int": ({"X": np.ones((5, 2), int, order="F")}, ValueError),
    "X complex": ({"X": XF.astype(complex)}, ValueError),
    "X sparse complex": ({"X": BS.astype(complex)}, ValueError),
    "X sparse corrupt": ({"X": corrupt(BS, "row too large")}, ValueError),
}
for name, (change, exc) in KERNEL.items():
    args = {"method": 1, "H": H, "tau": TAU2, "v": V, "X": XF, **change}
    case(f"_qmult {name}", lambda args=args: S._qmult(**args), exc)
case("_qmult sparse X int64 with int32 H",
     lambda: ok_close(S._qmult(1, H, TAU2, V, corrupt(BS, itype=np.int64)), S._qmult(1, H, TAU2, V, XF)), "ok")
case("_qmult v longer than H", lambda: ok_close(S._qmult(1, H, TAU2, np.append(V, 99).astype(V.dtype), XF),
                                                S._qmult(1, H, TAU2, V, XF)), "ok")
case("_qmult H with a float shape", lambda: S._qmult(1, SimpleNamespace(
    shape=(5.0, 3), indptr=H.indptr, indices=H.indices, data=H.data), TAU2, V, XF), TypeError, True)
case("_qmult four arguments", lambda: S._qmult(1, H, TAU2, V), TypeError)

# ---- orvex's Householder kernel on awkward triples and operands: SPQR's results ----


def same_as_spqr(call):
    """`call()` gives with orvex's kernel what it gives with SPQR's (where the
    kernel switch of a development build exists; otherwise it only runs)."""
    if not TEST_HOOKS:
        return call() is not None
    before = _ext._qkernel("orvex")
    try:
        mine = call()
        _ext._qkernel("spqr")
        theirs = call()
    finally:
        _ext._qkernel(before)
    return mine.shape == theirs.shape and relerr(mine, theirs) < 1e-13


_zero_tau = np.zeros_like(TAU2)
for code in range(4):
    Xc = XF if code < 2 else np.asfortranarray(XF.T)
    case(f"_qmult {code} unsorted rows, both kernels",
         lambda code=code, Xc=Xc: same_as_spqr(lambda: S._qmult(code, _unsorted, TAU2, V, Xc)), "ok")
    case(f"_qmult {code} non-Householder H, both kernels",
         lambda code=code, Xc=Xc: same_as_spqr(lambda: S._qmult(code, _rand_H, np.ones((1, 3), order="F"), V, Xc)),
         "ok")
    case(f"_qmult {code} tau zero, both kernels",
         lambda code=code, Xc=Xc: same_as_spqr(lambda: S._qmult(code, H, _zero_tau, V, Xc)), "ok")
# Products with Q refuse non-finite operands, whatever the width (and so the
# kernel) and the representation of Q.
for width in (1, 40):
    _nan_X = np.asfortranarray(np.where(np.arange(5 * width).reshape(5, width) % 7 == 3, np.nan, 1.0))
    _inf_X = np.asfortranarray(np.where(_nan_X == 1.0, 1.0, np.inf))
    case(f"qmult NaN operand, {width} columns", lambda X=_nan_X: F.qmult(X, "QTX"), ValueError)
    case(f"qmult infinite operand, {width} columns", lambda X=_inf_X: F.qmult(X, "QX"), ValueError)
    case(f"spqr_qmult NaN operand, {width} columns", lambda X=_nan_X: S.spqr_qmult((H, TAU, V), X, "QTX"), ValueError)
case("qmult NaN operand, one row", lambda: F.qmult(np.array([np.nan, 1, 1, 1, 1.0]), "XQ"), ValueError)
case("spqr_qmult NaN tau", lambda: S.spqr_qmult((H, np.where(np.arange(TAU.size) == 0, np.nan, TAU), V), np.ones(5)), ValueError)
case("qmult XQ one row, both kernels", lambda: same_as_spqr(lambda: FZ.qmult(Z10[:1, :5].copy(), "XQ")), "ok")
case("solve one column, both kernels", lambda: same_as_spqr(lambda: FZ.solve(Z10[:5, 0].copy())), "ok")
if TEST_HOOKS:
    case("_qkernel bad name", lambda: _ext._qkernel("blas"), ValueError)
    case("_qkernel int", lambda: _ext._qkernel(1), ValueError)

# ---- forged SPQRInfo states ---------------------------------------------------------

STATE = SPQRInfo(1, 2, 3, 4, 5, 6, "colamd", 7, 8, 1e-3, 0.0, 0.1, 0.2, 0.3, 0.6, 9).__reduce__()[2]


def forged(index, value):
    return STATE[:index] + (value,) + STATE[index + 1:]


STATES = {  # index 2 flops (int), 11 ordering (str), 14 tol (float)
    "dict": (dict(enumerate(STATE)), TypeError),
    "empty tuple": ((), IndexError),
    "int field str": (forged(2, "9"), TypeError),
    "int field bytes": (forged(2, b"9"), TypeError),
    "int field NaN": (forged(2, float("nan")), ValueError),
    "int field inf": (forged(2, float("inf")), OverflowError),
    "str field str subclass": (forged(11, type("Name", (str,), {})("amd")), TypeError),
    "float field str": (forged(14, "0.5"), TypeError),
    "float field huge int": (forged(14, 10**400), OverflowError),
    "float field list": (forged(14, [0.5]), TypeError),
    "non-dict item on base class": (STATE + (5,), AttributeError),
    "empty dict item": (STATE + ({},), "ok"),
    "extra items": (STATE + (None, "ignored", 1), "ok"),
}
for name, (state, exc) in STATES.items():
    case(f"unpickle state {name}", lambda state=state: unpickle(SPQRInfo, CHECKSUM, state), exc)
    if not isinstance(state, tuple) or type(state) is not tuple:
        exc = TypeError
    case(f"__setstate__ {name}", lambda state=state: SPQRInfo().__setstate__(state), exc)
case("__setstate__ None", lambda: SPQRInfo().__setstate__(None), TypeError)
for name, args, exc in (("checksum str", (SPQRInfo, "0x4fe1628", None), TypeError),
                        ("checksum 2**64", (SPQRInfo, 2**64, None), OverflowError),
                        ("checksum unknown", (SPQRInfo, 1, STATE), pickle.PickleError),
                        ("type None", (None, CHECKSUM, None), TypeError),
                        ("type instance", (SPQRInfo(), CHECKSUM, None), TypeError),
                        ("type factor", (SPQRFactor, CHECKSUM, None), TypeError),
                        ("two arguments", (SPQRInfo, CHECKSUM), TypeError)):
    case(f"unpickle {name}", lambda args=args: unpickle(*args), exc)

# ---- private kernels of SPQRFactor called directly -----------------------------------

for name, (b, exc) in {"list": ([[1.0] * 3] * 5, TypeError), "bool": (XF > 0, TypeError),
                       "complex64": (XF.astype(np.complex64), TypeError),
                       "1-D": (XF[:, 0].copy(), TypeError), "int64": (XF.astype(np.int64), TypeError),
                       "C-ordered": (np.ascontiguousarray(XF), ValueError)}.items():
    if name in ("list", "bool", "complex64"):
        case(f"_solve_dense {name}", lambda b=b: F._solve_dense(b, False), exc)
    case(f"_qmult_dense {name}", lambda b=b: F._qmult_dense(1, b), exc)
case("_qmult_dense real on complex factor", lambda: FZ._qmult_dense(0, XF), ValueError)
case("_solve_dense transpose truth fails", lambda: F._solve_dense(XF, Explosive()), Boom)
for code, exc in (("QX", TypeError), (None, TypeError), (1.5, TypeError), (2**40, OverflowError),
                  (-(2**40), OverflowError), (7, SPQRError), (-1, SPQRError)):
    case(f"_qmult_dense method {code!r}", lambda code=code: F._qmult_dense(code, XF), exc)
case("_check_input_matrix matching", lambda: F._check_input_matrix(A, INT32), "ok")
case("_check_input_matrix None", lambda: F._check_input_matrix(None, INT32), AttributeError)
case("_check_input_matrix shape", lambda: F._check_input_matrix(A.T, INT32), ValueError)
case("_check_input_matrix itype", lambda: F._check_input_matrix(A, np.dtype(np.int64)), ValueError)
case("_check_input_matrix itype str", lambda: F._check_input_matrix(A, "int16"), ValueError)
case("_check_input_matrix dtype", lambda: F._check_input_matrix(AZ, INT32), ValueError)
case("_check_input_matrix one argument", lambda: F._check_input_matrix(A), TypeError)
case("SPQRFactor unhashable order", lambda: SPQRFactor(A, order=["amd"]), TypeError)
case("SPQRFactor tol str", lambda: SPQRFactor(A, tol="0.1"), TypeError)
case("SPQRFactor tol complex", lambda: SPQRFactor(A, tol=1j), TypeError)
case("SPQRFactor use_singletons truth fails", lambda: SPQRFactor(A, use_singletons=Explosive()), Boom)
for tol in (float("nan"), float("inf"), -1.0, 1e300):
    case(f"SPQRFactor tol {tol}", lambda tol=tol: 0 <= SPQRFactor(A, use_singletons=True, tol=tol).rank <= 3,
         "ok")
case("spqr mode None", lambda: spqr(A, mode=None), ValueError)
case("spqr unhashable order", lambda: spqr(A, order={}), TypeError)
case("spqr tol str", lambda: spqr(A, tol="x"), TypeError)

# ---- the converter with hostile arguments ---------------------------------------------

_p, _i, _x = A.indptr, A.indices, A.data
CONVERTER = {  # (shape, indptr, indices, data, stype, address)
    # Valid arrays, but an address no native call is filling: refused.
    "valid arrays, foreign address": (((5, 3), _p, _i, _x, 0, ctypes.addressof(ADDR)), ValueError),
    "valid arrays, address 4096": (((5, 3), _p, _i, _x, 0, 4096), ValueError),
    "address 0": (((5, 3), _p, _i, _x, 0, 0), ValueError),
    "address negative": (((5, 3), _p, _i, _x, 0, -1), OverflowError),
    "address str": (((5, 3), _p, _i, _x, 0, "0"), TypeError),
    "address float": (((5, 3), _p, _i, _x, 0, float(ctypes.addressof(ADDR))), TypeError),
    "stype str": (((5, 3), _p, _i, _x, "0", ctypes.addressof(ADDR)), TypeError),
    "shape list": (([5, 3], _p, _i, _x, 0, ctypes.addressof(ADDR)), (ValueError, TypeError)),
    "shape 1-tuple": (((5,), _p, _i, _x, 0, ctypes.addressof(ADDR)), ValueError),
    "shape negative": (((-5, 3), _p, _i, _x, 0, ctypes.addressof(ADDR)), ValueError),
    "shape float": (((5.0, 3), _p, _i, _x, 0, ctypes.addressof(ADDR)), TypeError),
    "shape None": (((5, None), _p, _i, _x, 0, ctypes.addressof(ADDR)), TypeError),
    "shape 2**64": (((2**64, 3), _p, _i, _x, 0, ctypes.addressof(ADDR)), (OverflowError, ValueError)),
    "too few rows": (((2, 3), _p, _i, _x, 0, ctypes.addressof(ADDR)), ValueError),
    "indptr long": (((5, 2), _p, _i, _x, 0, ctypes.addressof(ADDR)), ValueError),
    "indptr None": (((5, 3), None, _i, _x, 0, ctypes.addressof(ADDR)), TypeError),
    "indptr float": (((5, 3), _p.astype(float), _i, _x, 0, ctypes.addressof(ADDR)), TypeError),
    "indptr 2-D": (((5, 3), _p[None, :], _i, _x, 0, ctypes.addressof(ADDR)), ValueError),
    "indptr strided": (((5, 3), np.repeat(_p, 2)[::2], _i, _x, 0, ctypes.addressof(ADDR)), ValueError),
    "indices int64": (((5, 3), _p, _i.astype(np.int64), _x, 0, ctypes.addressof(ADDR)), TypeError),
    "indices short": (((5, 3), _p, _i[:-1], _x, 0, ctypes.addressof(ADDR)), ValueError),
    "indices out of range": (((5, 3), _p, np.where(_i == 0, 9, _i).astype(_i.dtype), _x, 0,
                              ctypes.addressof(ADDR)), ValueError),
    "data short": (((5, 3), _p, _i, _x[:-1], 0, ctypes.addressof(ADDR)), ValueError),
    "data float32": (((5, 3), _p, _i, _x.astype(np.float32), 0, ctypes.addressof(ADDR)), TypeError),
    "data int": (((5, 3), _p, _i, _x.astype(int), 0, ctypes.addressof(ADDR)), TypeError),
    "data bytes": (((5, 3), _p, _i, b"\0" * 8 * len(_x), 0, ctypes.addressof(ADDR)), TypeError),
    "data list": (((5, 3), _p, _i, list(_x), 0, ctypes.addressof(ADDR)), TypeError),
    "decreasing indptr": (((5, 3), corrupt(A, "indptr decreasing").indptr, _i, _x, 0,
                           ctypes.addressof(ADDR)), ValueError),
    "five arguments": (((5, 3), _p, _i, _x, 0), TypeError),
}
for name, (args, exc) in CONVERTER.items():
    case(f"_cholmod_sparse_from_csc {name}", lambda args=args: _cholmod_sparse_from_csc(*args), exc, True)

# ---- the native methods with something that is not an SPQRFactor ----------------------

NOT_A_FACTOR = (object(), None, 1, SPQRInfo())
NATIVE = {
    "factor_init": lambda s: _ext.factor_init(s, A, False, None, None),
    "factor_copy": lambda s: _ext.factor_copy(s),
    "factor_factorize": lambda s: _ext.factor_factorize(s, A, None),
    "factor_check_input_matrix": lambda s: _ext.factor_check_input_matrix(s, A, INT32),
    "factor_qmult": lambda s: _ext.factor_qmult(s, XF, "QX"),
    "factor_qmult_dense": lambda s: _ext.factor_qmult_dense(s, 1, XF),
    "factor_solve": lambda s: _ext.factor_solve(s, XF, False, 100),
    "factor_solve_dense": lambda s: _ext.factor_solve_dense(s, XF, False),
    **({"_workspace_counters": lambda s: _ext._workspace_counters(s)} if TEST_HOOKS else {}),
    "SPQRFactor.solve": lambda s: SPQRFactor.solve(s, XF),
    "SPQRFactor.copy": lambda s: SPQRFactor.copy(s),
    **{f"SPQRFactor.{p}": (lambda s, p=p: getattr(SPQRFactor, p).__get__(s))
       for p in ("is_numeric", "shape", "rank", "perm", "info", "itype", "dtype")},
}
for name, call in NATIVE.items():
    for k, s in enumerate(NOT_A_FACTOR):
        case(f"{name} non-factor {k}", lambda call=call, s=s: call(s), TypeError)

# ---- an SPQRFactor whose constructor never ran, given to every method ------------------

RAW_CALLS = {
    "solve": (lambda f: f.solve(B5), AssertionError),
    "solve sparse": (lambda f: f.solve(BS), AssertionError),
    "solve empty": (lambda f: f.solve(np.ones(0)), AssertionError),
    "qmult": (lambda f: f.qmult(B5), AssertionError),
    "qmult empty": (lambda f: f.qmult(np.ones((0, 2))), AssertionError),
    "qmult sparse": (lambda f: f.qmult(BS, "QTX"), AssertionError),
    "_solve_dense": (lambda f: f._solve_dense(XF, False), AssertionError),
    "_solve_dense empty": (lambda f: f._solve_dense(np.ones((0, 1), order="F"), True), AssertionError),
    "_qmult_dense": (lambda f: f._qmult_dense(1, XF), AssertionError),
    "_qmult_dense empty": (lambda f: f._qmult_dense(1, np.ones((0, 0), order="F")), AssertionError),
    "factorize": (lambda f: f.factorize(A), ValueError),
    "factorize empty": (lambda f: f.factorize(np.zeros((0, 0))), ValueError),
    "_check_input_matrix": (lambda f: f._check_input_matrix(A, INT32), ValueError),
    "copy": (lambda f: f.copy(), (ValueError, AssertionError)),
    "info": (lambda f: f.info, AssertionError),
    "repr": (lambda f: "symbolic" in repr(f), "ok"),
    "pickle": (lambda f: pickle.dumps(f), TypeError),
}
for name, (call, exc) in RAW_CALLS.items():
    case(f"unconstructed {name}", lambda call=call: call(RAW), exc)
    case(f"unconstructed subclass {name}", lambda call=call: call(Sub.__new__(Sub)), exc)
case("unconstructed lax subclass factorize", lambda: LaxFactor.__new__(LaxFactor).factorize(A),
     (AssertionError, ValueError))
case("symbolic factor _solve_dense", lambda: SPQRFactor(A)._solve_dense(XF, False), AssertionError)
case("lying subclass rank when symbolic", lambda: Liar(A).rank in (None, 0, 1, 2, 3), "ok")
case("lying subclass rank when unconstructed", lambda: Liar.__new__(Liar).rank in (None, 0), "ok")
case("lying subclass solve when symbolic", lambda: Liar(A).solve(B5), AssertionError)
case("lying subclass qmult when unconstructed", lambda: Liar.__new__(Liar).qmult(B5), AssertionError)
case("failed constructor then solve", lambda: failed_then(lambda f: f.solve(B5)), AssertionError)
case("failed constructor then copy", lambda: failed_then(lambda f: f.copy()), (ValueError, AssertionError))


def failed_then(use):
    f = SPQRFactor.__new__(SPQRFactor)
    with pytest.raises(ValueError):
        f.__init__(nan_D)
    return use(f)


# ---- the test ---------------------------------------------------------------------------

assert len({c[0] for c in CASES}) == len(CASES), "case ids must be unique"


def check(call, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if expected == "ok":
            result = call()
            assert result is None or bool(result)
        else:
            with pytest.raises(expected):
                call()


def check_in_child(call, expected):
    """``check`` in a forked child: a crash fails this row, not the session."""
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads
        pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            check(call, expected)
            report = ""
        except BaseException as e:
            report = f"{type(e).__name__}: {e}"
        os.write(write, report.encode()[:65536])
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        report = f.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, (
        f"crashed (signal {os.WTERMSIG(status) if os.WIFSIGNALED(status) else '-'})")
    assert report == "", report


@pytest.mark.parametrize("call, expected, isolate", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hostile(call, expected, isolate):
    (check_in_child if isolate else check)(call, expected)
