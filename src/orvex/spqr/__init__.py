# The module body of orvex.spqr.  Its docstring is set from the shared
# documentation below; everything that touches SuiteSparse memory is native
# code in orvex._ext, which looks names up in this namespace at call time.

import numpy as _numpy

if tuple(int(p) for p in _numpy.__version__.split(".")[:2]) < (1, 23):
    raise ImportError(f"orvex.spqr needs NumPy 1.23 or newer, found {_numpy.__version__}")

from orvex import _ext as _native
from .frame import docs as _docs
from .factor import methods as _methods
from .info import record as _record

__doc__ = _docs.MODULE_DOC

SPQRInfo = _record.SPQRInfo
SPQRFactor = _native.SPQRFactor

import numpy as np
from scipy.sparse import csc_array, issparse, hstack
from typing import NamedTuple
import warnings
from orvex.cholmod import _cholmod_sparse_from_csc
from ..utils import validate_csc_input

__all__ = [
    "SPQRError",
    "SPQRNotInstalledError",
    "SPQROutOfMemoryError",
    "SPQROverflowError",
    "SPQRInvalidInputError",
    "SPQRGpuProblemError",
    "SPQRFactor",
    "spqr_factor",
    "spqr_solve",
]


class SPQRWarning(Warning):
    """Base class for SPQR warnings."""


class SPQRRankDeficiencyWarning(SPQRWarning):
    """Raised when SPQR detects a rank-deficient matrix."""


class SPQRError(Exception):
    """Base class for SPQR exceptions."""


class SPQRNotInstalledError(SPQRError):
    """Raised when the SPQR library is not installed."""


class SPQROutOfMemoryError(MemoryError, SPQRError):
    """Raised when SPQR runs out of memory."""


class SPQROverflowError(SPQRError):
    """Raised when SPQR encounters an integer overflow."""


class SPQRInvalidInputError(SPQRError):
    """Raised when SPQR receives invalid input."""


class SPQRGpuProblemError(SPQRError):
    """Raised when SPQR encounters a problem with CUDA."""


# The status table stays private to the native side: it is not a module
# attribute.
_native._bind_namespace(globals(), {
    -1: (SPQRNotInstalledError, "SPQR library is not installed or not found."),
    -2: (SPQROutOfMemoryError, "SPQR ran out of memory."),
    -3: (SPQROverflowError, "SPQR encountered an integer overflow."),
    -4: (SPQRInvalidInputError, "SPQR received invalid input."),
    -5: (SPQRGpuProblemError, "SPQR encountered a problem with CUDA."),
})

_record._attach_dataclass_metadata(SPQRInfo)
_methods.install(SPQRFactor, _docs)


def spqr_factor(A, *, use_singletons=False, order=None, tol=None):
    if use_singletons:
        return SPQRFactor(A, use_singletons=True, order=order, tol=tol)
    return SPQRFactor(A, use_singletons=False, order=order, tol=tol).factorize(A)


def spqr_solve(A, b, *, transpose=False, min2norm=True, rhs_batch_size=100):
    rhs_batch_size = _ssize(rhs_batch_size)
    A, _, _ = validate_csc_input(A)
    M, N = A.shape
    if M < N and min2norm:
        # Factor A^H: the transposed solve with it gives the minimum 2-norm
        # solution of A x = b (for complex A too).
        A = A.conj().T.tocsc()
        transpose = True
    factor = SPQRFactor(A, use_singletons=True)
    return factor.solve(b, transpose=transpose, rhs_batch_size=rhs_batch_size)


class SPQRHouseholder(NamedTuple):
    H: "~scipy.sparse.csc_array"
    tau: "~numpy.ndarray"
    perm: "~numpy.ndarray"


SPQRHouseholder.__doc__ = _docs.SPQRHOUSEHOLDER_DOC
# typing turns string annotations into ForwardRefs; keep the plain strings.
SPQRHouseholder.__annotations__ = {
    "H": "~scipy.sparse.csc_array",
    "tau": "~numpy.ndarray",
    "perm": "~numpy.ndarray",
}
SPQRHouseholder.__new__.__annotations__ = dict(SPQRHouseholder.__annotations__)


def spqr(A, *, mode="full", order=None, tol=None):
    return _native.spqr(A, mode, order, tol)


_qmult = _native._qmult


def _native_order(a):
    """`a` with its values in the machine's byte order and at an aligned
    address (converted if not)."""
    if not a.dtype.isnative:
        a = a.astype(a.dtype.newbyteorder("="))
    return a if a.flags.aligned else np.require(a, requirements="FA")


def spqr_qmult(house, X, method="QX"):
    try:
        H, tau, v = house
        if _native._known_triple(H):
            # H as spqr made it: a canonical CSC array (the product compares
            # its row indices with those spqr made, and checks its values).
            itype = H.indices.dtype
        else:
            H, _, itype = validate_csc_input(H)
        tau = _native_order(np.asfortranarray(tau)).reshape((1, -1))
        if tau.shape != (1, H.shape[1]):
            raise TypeError("tau shape mismatch")
        if tau.dtype != H.dtype:
            raise TypeError("tau dtype mismatch")
        v = _native_order(np.asfortranarray(v))
        if v.shape != (H.shape[0],):
            raise TypeError("v shape mismatch")
        if v.dtype != itype:
            raise TypeError("v dtype mismatch")
    except Exception:
        raise ValueError(
            "house must be a tuple of (H, tau, v) representing the Householder "
            f"vectors, coefficients, and permutation. Got {house}."
        )
    if not issparse(X):
        try:
            X = np.asarray(X)
            ndim = X.ndim
            X = _native_order(np.asfortranarray(X))
        except Exception:
            raise ValueError("X must be an ndarray or sparse matrix.")
    else:
        ndim = X.ndim
    if ndim not in (1, 2):
        raise ValueError("X must be a 1D or 2D array.")
    c_method = _native.qmult_code(method)
    left = method == "QTX" or method == "QX"
    # A one-dimensional X is a column for Q X and Q^T X, a row for X Q and X Q^T.
    M = X.shape[0] if left else X.shape[-1]
    if H.shape[0] != M:
        raise ValueError(
            f"Input X must have compatible shape with Q. Expected {H.shape[0]}, got {M}."
        )
    return_1D = X.ndim == 1
    if return_1D:
        X = X.reshape((-1, 1) if left else (1, -1))
    Y = _qmult(c_method, H, tau, v, X)
    if return_1D:
        Y = Y[:, 0] if left else Y[0, :]
    return Y


_SOLVE_DOC_TEMPLATE = _docs.SOLVE_DOC_TEMPLATE
_A_doc = _docs.A_DOC
_min2norm_doc = _docs.MIN2NORM_DOC
SPQRFactor.solve.__doc__ = _SOLVE_DOC_TEMPLATE.format(A_doc="", min2norm="",
                                                      examples=_docs.SOLVE_METHOD_EXAMPLES)
spqr_solve.__doc__ = _SOLVE_DOC_TEMPLATE.format(A_doc=_A_doc, min2norm=_min2norm_doc,
                                                examples=_docs.SOLVE_FUNCTION_EXAMPLES)
_QMULT_DOC_TEMPLATE = _docs.QMULT_DOC_TEMPLATE
_qmult_house_doc = _docs.QMULT_HOUSE_DOC
SPQRFactor.qmult.__doc__ = _QMULT_DOC_TEMPLATE.format(house_doc="", see_also=", spqr_qmult",
                                                      examples=_docs.QMULT_METHOD_EXAMPLES)
spqr_qmult.__doc__ = _QMULT_DOC_TEMPLATE.format(house_doc=_qmult_house_doc, see_also="",
                                                examples=_docs.QMULT_FUNCTION_EXAMPLES)
spqr.__doc__ = _docs.SPQR_DOC
spqr_factor.__doc__ = _docs.SPQR_FACTOR_DOC

__pyx_unpickle_SPQRInfo = _record.__pyx_unpickle_SPQRInfo

from operator import index as _index  # noqa: E402
from sys import maxsize as _maxsize  # noqa: E402


def _ssize(n):
    """``n`` through the index protocol, as a machine-size signed integer."""
    n = _index(n)
    if not -_maxsize - 1 <= n <= _maxsize:
        raise OverflowError("cannot fit 'int' into an index-sized integer")
    return n

del frame, factor, info, _docs, _methods, _record, _numpy
