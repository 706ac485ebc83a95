"""The reduction of a dask array of sparse row blocks, as one Dask graph.

Per block, where the block is: the pattern of A_i^H A_i; then a tree of
pattern unions, the column order at its root, one RFactor per block in
that order, and a tree of merges (``split_every`` factors per step).  Only
patterns, the order and R-sized factors travel; the rank is decided on the
caller's side, once, from the root factor.
"""

import numbers

import numpy as np

from ._factor import _column_order, _from_block, _gram_pattern, _merge, _pattern_union, _permutation

_SPLIT_EVERY = 4


def _tree(items, combine, split_every):
    """Reduce delayed items in groups of split_every, as a tree of delayed calls."""
    from dask import delayed

    while len(items) > 1:
        items = [delayed(combine, pure=True)(*items[i:i + split_every])
                 for i in range(0, len(items), split_every)]
    return items[0]


def _split_every(split_every):
    if split_every is None:
        return _SPLIT_EVERY
    if isinstance(split_every, (bool, np.bool_)) or not isinstance(split_every, numbers.Integral):
        raise TypeError(f"split_every must be an integer or None, got {type(split_every).__name__}")
    if split_every < 2:
        raise ValueError(f"split_every must be at least 2, got {split_every}")
    return int(split_every)


def _order_of(G, order):
    return _column_order(G, order)


def _checked_block(A, n):
    """A chunk of the dask array: a SciPy sparse 2-D block of n columns."""
    import scipy.sparse as sp

    if not sp.issparse(A) and not isinstance(A, np.ndarray):
        raise TypeError(f"the chunks of A must be SciPy sparse arrays, got {type(A).__name__}")
    if A.ndim != 2 or A.shape[1] != n:
        raise ValueError(f"a chunk of A has shape {A.shape}; A has {n} columns")
    return A


def _block_pattern(A, n):
    return _gram_pattern(_checked_block(A, n))


def _block_factor(A, b, perm, n):
    return _from_block(_checked_block(A, n), b, perm)


def dask_graph(A, b, *, order="default", perm=None, split_every=None):
    """The delayed root RFactor of a dask array A (one column of blocks) and b."""
    import dask.array as da

    split_every = _split_every(split_every)
    if A.ndim != 2:
        raise ValueError(f"A must be two-dimensional, got {A.ndim} dimensions")
    if len(A.chunks[1]) != 1:
        raise ValueError(f"A must have one column of blocks (chunks=(rows, {A.shape[1]})), "
                         f"got {len(A.chunks[1])} column blocks")
    m, n = A.shape
    if any(np.isnan(c) for c in A.chunks[0]):
        raise ValueError("A has chunks of unknown size: call A.compute_chunk_sizes() first")
    if b is None:
        raise TypeError("b is required when A is a dask array")
    if not isinstance(b, da.Array):
        b = np.asarray(b)
    if b.ndim not in (1, 2):
        raise ValueError(f"b must be one- or two-dimensional, got {b.ndim} dimensions")
    if b.shape[0] != m:
        raise ValueError(f"b has {b.shape[0]} rows; A has {m}")
    if not isinstance(b, da.Array):
        b = da.from_array(b, chunks=(A.chunks[0],) + ((b.shape[1],) if b.ndim == 2 else ()))
    b = b.rechunk((A.chunks[0],) + ((b.shape[1],) if b.ndim == 2 else ()))
    blocks_A = list(A.to_delayed().ravel())
    blocks_b = list(b.to_delayed().ravel())
    from dask import delayed

    if perm is None:
        patterns = [delayed(_block_pattern, pure=True)(a, n) for a in blocks_A]
        G = _tree(patterns, _pattern_union, split_every)
        perm = delayed(_order_of, pure=True)(G, order)
    else:
        perm = _permutation(perm, n)
    factors = [delayed(_block_factor, pure=True)(a, bb, perm, n) for a, bb in zip(blocks_A, blocks_b)]
    return _tree(factors, _merge, split_every)


def dask_factor(A, b, *, order="default", perm=None, split_every=None):
    """The root RFactor, computed on the active Dask scheduler."""
    import dask

    return dask.compute(dask_graph(A, b, order=order, perm=perm, split_every=split_every))[0]
