"""Validation of input matrices for orvex."""

import numpy as np
from scipy import sparse

from orvex._ext import _csc_check

__all__ = ["validate_csc_input"]

_FLOAT64 = np.dtype(np.float64)
_COMPLEX128 = np.dtype(np.complex128)
_INT32 = np.dtype(np.int32)
_INT64 = np.dtype(np.int64)


def _value_dtype(dtype):
    """The dtype SPQR works in for values of `dtype`, or TypeError."""
    kind, size = dtype.kind, dtype.itemsize
    if kind in "biu" or (kind == "f" and size <= 8):
        return _FLOAT64
    if kind == "c" and size <= 16:
        return _COMPLEX128
    raise TypeError(
        f"A has unsupported dtype {dtype}: values must be boolean, integer, "
        "float (up to float64) or complex (up to complex128)."
    )


def _index_dtype(*dtypes):
    """int32 when all index arrays are int32, else int64."""
    return _INT32 if all(d == _INT32 for d in dtypes) else _INT64


def _to_array(data, dtype):
    return np.ascontiguousarray(data, dtype=dtype)


def _check_coo(A):
    """COO coordinates in range, before SciPy converts them."""
    M, N = A.shape
    for coords, bound, what in ((A.row, M, "row"), (A.col, N, "column")):
        if coords.shape != A.data.shape:
            raise ValueError(f"A's {what} coordinates and values have different lengths.")
        if coords.size and (coords.min() < 0 or coords.max() >= bound):
            raise ValueError(f"A has a {what} index out of range.")


def _check_compressed(A, nmajor, nminor, nblocks=None):
    """CSR/BSR structure and data length, before SciPy converts them."""
    ip, ix = _to_array(A.indptr, _INT64), _to_array(A.indices, _INT64)
    _csc_check(ip, ix, None, nminor, nmajor)
    if A.data.shape[0] < ip[-1] or (nblocks is not None and A.data.shape[1:] != nblocks):
        raise ValueError("A's data array is shorter than its index pointers say.")


def _check_lil(A):
    """LIL rows: as many values as column indices, all in range."""
    N = A.shape[1]
    if len(A.rows) != A.shape[0] or len(A.data) != A.shape[0]:
        raise ValueError("A's rows do not match its shape.")
    for cols, vals in zip(A.rows, A.data):
        if len(cols) != len(vals):
            raise ValueError("A has a row with different numbers of indices and values.")
        if cols and (min(cols) < 0 or max(cols) >= N):
            raise ValueError("A has a column index out of range.")


def _to_csc(A):
    """Any 2-D SciPy sparse object as CSC arrays (possibly A's own)."""
    fmt = A.format
    if fmt == "csc":
        return A
    if fmt == "csr":
        # Same layout with rows and columns swapped.
        _check_compressed(A, A.shape[0], A.shape[1])
    elif fmt == "bsr":
        R, C = A.blocksize
        _check_compressed(A, A.shape[0] // R, A.shape[1] // C, (R, C))
    elif fmt == "lil":
        _check_lil(A)
    elif fmt == "dok":
        A = A.tocoo()  # SciPy checks the coordinates of a new COO array
    if A.format == "coo":
        _check_coo(A)
    return A.tocsc()


def validate_csc_input(A):
    """Validate a matrix for SPQR and return it as a canonical CSC array.

    Parameters
    ----------
    A : array_like or sparse array or matrix
        A two-dimensional matrix: any SciPy sparse format, or anything that
        :func:`numpy.asarray` turns into a two-dimensional numeric array.

    Returns
    -------
    A : scipy.sparse.csc_array
        The matrix with float64 or complex128 values, int32 or int64 index
        arrays, sorted row indices and no duplicates.  A canonical CSC array
        of those types is returned as the very object given.
    format : None
        Unused.
    itype : numpy.dtype
        The dtype of the index arrays.

    Raises
    ------
    TypeError
        If the values are not numeric (or wider than float64/complex128).
    ValueError
        If the input is not two-dimensional, holds NaN or infinite values,
        or its index arrays do not describe a valid matrix.

    Notes
    -----
    The caller's object and arrays are never modified: whatever needs
    converting or canonicalising is copied first.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.sparse import coo_array, csc_array
    >>> from orvex.utils import validate_csc_input
    >>> A, _, itype = validate_csc_input(np.array([[1, 0], [0, 2]]))
    >>> type(A).__name__, A.dtype, itype
    ('csc_array', dtype('float64'), dtype('int32'))

    Duplicates are summed in a copy, and a canonical array comes back as is:

    >>> D = coo_array(([1.0, 2.0], ([0, 0], [1, 1])), shape=(2, 2))
    >>> validate_csc_input(D)[0].toarray()
    array([[0., 3.],
           [0., 0.]])
    >>> C = csc_array(np.eye(2))
    >>> validate_csc_input(C)[0] is C
    True
    >>> validate_csc_input(np.array([[np.nan]]))
    Traceback (most recent call last):
        ...
    ValueError: A contains NaN values.
    """
    if sparse.issparse(A):
        if A.ndim != 2:
            raise ValueError(f"A must be a 2D matrix, got {A.ndim} dimensions.")
        B = _to_csc(A)
    else:
        arr = np.asarray(A)
        if arr.ndim != 2:
            raise ValueError(f"A must be a 2D matrix, got {arr.ndim} dimensions.")
        vdtype = _value_dtype(arr.dtype)
        B = sparse.csc_array(arr.astype(vdtype, copy=False))

    vdtype = _value_dtype(B.dtype)
    itype = _index_dtype(B.indptr.dtype, B.indices.dtype)
    data = B.data
    indptr, indices = B.indptr, B.indices
    typed = (
        isinstance(B, sparse.csc_array)
        and data.dtype == vdtype and data.dtype.isnative and data.ndim == 1
        and indptr.dtype == itype and indices.dtype == itype
        and indptr.flags.c_contiguous and indices.flags.c_contiguous
        and data.flags.c_contiguous
    )
    if not typed:
        data = _to_array(data, vdtype)
        indptr, indices = _to_array(indptr, itype), _to_array(indices, itype)
    M, N = B.shape
    canonical = _csc_check(indptr, indices, data, M, N) == 0
    if typed and canonical:
        return B, None, itype

    C = sparse.csc_array((M, N), dtype=vdtype)
    if canonical:
        C.indptr, C.indices, C.data = indptr, indices, data
    else:
        # Canonicalise a private copy, never the caller's arrays.
        C.indptr, C.indices, C.data = indptr.copy(), indices.copy(), data.copy()
        C.sum_duplicates()
        C.indptr = C.indptr.astype(itype, copy=False)
        C.indices = C.indices.astype(itype, copy=False)
    return C, None, itype
