"""The binary matrix files that the native benchmark program reads.

sparse: b"ORVXSP01", int64 nrow, ncol, nnz, int32 index bytes (4 or 8),
        int32 complex (0 or 1), indptr[ncol+1], indices[nnz], values[nnz]
dense:  b"ORVXDN01", int64 nrow, ncol, int32 complex, int32 0, values in
        column-major order

All little-endian; values are float64 or complex128 (interleaved).
"""

import struct

import numpy as np
from scipy import sparse

SPARSE_MAGIC = b"ORVXSP01"
DENSE_MAGIC = b"ORVXDN01"


def _values(x):
    return np.ascontiguousarray(x, dtype=np.complex128 if np.iscomplexobj(x) else np.float64)


def write_sparse(path, A):
    """Write a canonical CSC matrix (int32 or int64 indices) to `path`."""
    A = sparse.csc_array(A)
    itype = A.indptr.dtype
    if itype not in (np.int32, np.int64) or A.indices.dtype != itype:
        raise ValueError("index arrays must both be int32 or both be int64")
    data = _values(A.data)
    with open(path, "wb") as f:
        f.write(SPARSE_MAGIC)
        f.write(struct.pack("<qqqii", A.shape[0], A.shape[1], A.nnz, itype.itemsize,
                            int(np.iscomplexobj(data))))
        f.write(np.ascontiguousarray(A.indptr, dtype=itype.newbyteorder("<")).tobytes())
        f.write(np.ascontiguousarray(A.indices[:A.nnz], dtype=itype.newbyteorder("<")).tobytes())
        f.write(data[:A.nnz].tobytes())


def read_sparse(path):
    with open(path, "rb") as f:
        if f.read(8) != SPARSE_MAGIC:
            raise ValueError(f"{path}: not a sparse matrix file")
        m, n, nnz, ib, cplx = struct.unpack("<qqqii", f.read(32))
        itype = np.dtype(f"<i{ib}")
        vtype = np.dtype("<c16" if cplx else "<f8")
        indptr = np.frombuffer(f.read((n + 1) * ib), dtype=itype).astype(itype.newbyteorder("="))
        indices = np.frombuffer(f.read(nnz * ib), dtype=itype).astype(itype.newbyteorder("="))
        data = np.frombuffer(f.read(nnz * vtype.itemsize), dtype=vtype).astype(vtype.newbyteorder("="))
    A = sparse.csc_array((m, n), dtype=data.dtype)
    A.indptr, A.indices, A.data = indptr, indices, data
    return A


def write_dense(path, B):
    B = np.asarray(B)
    if B.ndim == 1:
        B = B[:, None]
    data = np.asfortranarray(_values(B))
    with open(path, "wb") as f:
        f.write(DENSE_MAGIC)
        f.write(struct.pack("<qqii", B.shape[0], B.shape[1], int(np.iscomplexobj(data)), 0))
        f.write(data.tobytes(order="F"))


def read_dense(path):
    with open(path, "rb") as f:
        if f.read(8) != DENSE_MAGIC:
            raise ValueError(f"{path}: not a dense matrix file")
        m, n, cplx, _ = struct.unpack("<qqii", f.read(24))
        vtype = np.dtype("<c16" if cplx else "<f8")
        data = np.frombuffer(f.read(m * n * vtype.itemsize), dtype=vtype)
    return np.asfortranarray(data.reshape((m, n), order="F").astype(vtype.newbyteorder("=")))
