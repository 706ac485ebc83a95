"""lstsq on row blocks: a sparse matrix, an iterable of blocks, or a Dask array."""

import numbers

import numpy as np
import scipy.sparse as sp

from ._factor import (RFactor, _block, _column_order, _gram_pattern, _order_name, _pattern_union,
                      _permutation, _rhs)

__all__ = ["lstsq", "column_order"]

# Rows per block for a matrix given whole: about this many entries each,
# and at least n rows (so that a block weighs at least R's diagonal).
_BLOCK_NNZ = 1 << 20


def _is_dask(A):
    return type(A).__module__.split(".")[0] == "dask" and hasattr(A, "chunks")


def _default_block_rows(A):
    m, n = A.shape
    per_row = max(A.nnz / m, 1.0) if m else 1.0
    return max(int(_BLOCK_NNZ / per_row), n, 1)


def _check_block_rows(block_rows):
    if block_rows is None:
        return None
    if isinstance(block_rows, (bool, np.bool_)) or not isinstance(block_rows, numbers.Integral):
        raise TypeError(f"block_rows must be an integer or None, got {type(block_rows).__name__}")
    if block_rows < 1:
        raise ValueError(f"block_rows must be positive, got {block_rows}")
    return int(block_rows)


def _matrix_blocks(A, b, block_rows):
    """(A_i, b_i) row blocks of a matrix given whole (CSR slices: no copy of A beyond one CSR)."""
    if sp.issparse(A):
        if A.ndim != 2:
            raise ValueError(f"A must be a 2D matrix, got {A.ndim} dimensions.")
        A = sp.csr_array(A) if A.format == "csr" else sp.csr_array(A.tocsr())
    else:
        A = sp.csr_array(_block(A)[0])
    m = A.shape[0]
    B, one = _rhs(b, m)
    B = B[:, 0] if one else B
    rows = block_rows or _default_block_rows(A)
    starts = range(0, max(m, 1), rows)
    return A.shape[1], [(A, B, s, min(s + rows, m)) for s in starts]


class _Sliced:
    """Blocks of a matrix given whole, re-iterable."""

    def __init__(self, parts):
        self._parts = parts

    def __iter__(self):
        for A, B, s, e in self._parts:
            yield A[s:e], (None if B is None else B[s:e])


def _pairs(blocks):
    for item in blocks:
        if not isinstance(item, tuple) or len(item) != 2:
            raise TypeError("each block must be a pair (A_i, b_i)")
        yield item


def column_order(blocks, order="default"):
    """The column order of a least-squares problem given in row blocks.

    The union of the patterns of ``A_i^H A_i`` over the blocks (that of
    ``A^H A``), ordered by CHOLMOD through SPQR's analysis.  Use it to
    give several :class:`RFactor` objects that will be merged one order.

    Parameters
    ----------
    blocks : sparse matrix, or iterable of sparse matrices or of (A_i, b_i) pairs
    order : str
        As for :meth:`RFactor.from_rows`.

    Returns
    -------
    ndarray of int64
        A permutation of ``range(n)``.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.sparse import csr_array
    >>> from orvex.tall import column_order
    >>> A1 = csr_array([[1., 1., 0., 0.], [0., 0., 1., 0.]])
    >>> A2 = csr_array([[0., 0., 1., 1.]])
    >>> p = column_order([A1, A2])
    >>> sorted(p.tolist())
    [0, 1, 2, 3]
    """
    _order_name(order)
    if sp.issparse(blocks):
        return _column_order(_gram_pattern(_block(blocks)[0]), order)
    G, n = None, None
    for item in blocks:
        A = item[0] if isinstance(item, tuple) else item
        A, _ = _block(A, n, "a block of A")
        n = A.shape[1]
        g = _gram_pattern(A)
        G = g if G is None else _pattern_union(G, g)
    if G is None:
        raise ValueError("no blocks: the number of columns is unknown")
    return _column_order(G, order)


def lstsq(A, b=None, *, order="default", perm=None, tol=None, rtol=None, method="cod",
          block_rows=None, split_every=None, options=None, rng=0):
    """Least squares of any height, through a Q-less sparse QR reduced in row blocks.

    The rows are factored block by block into an :class:`RFactor`
    (R, c = Q^H b and the residual norm), and the rank is decided once, at
    the end, by :mod:`orvex.rank` on (R, c): the result is that of
    :func:`orvex.rank.lstsq` on the whole matrix, while memory stays
    near that of R plus one block.  SPQR's Householder vectors, which
    dominate the memory of :func:`orvex.spqr.spqr_solve` on tall
    problems, are never kept.

    Parameters
    ----------
    A : sparse matrix, iterable of (A_i, b_i) pairs, or dask array
        - a SciPy sparse matrix or array (or a dense array), m x n:
          processed in blocks of `block_rows` rows;
        - an iterable of ``(A_i, b_i)`` row blocks, for example read from
          files: out of core.  It is read twice (for the column order,
          then the factor), so it must be re-iterable (a list, or an
          object whose ``__iter__`` opens the files again) unless `perm`
          is given;
        - a dask array whose chunks are SciPy sparse arrays, in one column
          of blocks (``A.numblocks[1] == 1``), with b a dask or NumPy
          array: the blocks are factored where they are and reduced as a
          tree (`split_every`) on the active Dask scheduler (threads,
          processes or a ``dask.distributed`` cluster).  Needs Dask
          (``pip install orvex[dask]``).
    b : array_like, shape (m,) or (m, p)
        The right-hand sides (None for an iterable of blocks, which brings
        them).
    order : str
        Fill-reducing order of the union of the blocks' column patterns
        (see :meth:`RFactor.from_rows`).
    perm : array_like of int, optional
        A column order to use instead.
    tol, rtol, method, options, rng
        As for :func:`orvex.rank.lstsq`; the default tolerance counts all m
        rows.
    block_rows : int, optional
        Rows per block for a matrix given whole (default: about 10^6
        entries per block, and at least n rows).
    split_every : int, optional
        Factors merged per reduction step with Dask (default 4).

    Returns
    -------
    orvex.rank.LstsqResult

    Raises
    ------
    ValueError
        Blocks of different widths, b of the wrong length, NaN or Inf,
        a perm of the wrong length, an empty iterable.
    TypeError
        A one-shot iterator without `perm`, blocks that are not pairs.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.sparse import random_array
    >>> import orvex.rank as rk
    >>> from orvex.tall import lstsq
    >>> A = random_array((5000, 60), density=0.05, format="csr", rng=0)
    >>> b = np.ones(5000)
    >>> res = lstsq(A, b, block_rows=1000)           # five blocks
    >>> res.rank, res.flag
    (60, 0)
    >>> bool(np.allclose(res.x, rk.lstsq(A, b).x, rtol=1e-10, atol=0))
    True

    Blocks from anywhere, for example files, in a re-iterable:

    >>> blocks = [(A[i:i + 1000], b[i:i + 1000]) for i in range(0, 5000, 1000)]
    >>> bool(np.allclose(lstsq(blocks).x, res.x, rtol=1e-12, atol=0))
    True
    """
    _order_name(order)
    block_rows = _check_block_rows(block_rows)
    solve = dict(tol=tol, rtol=rtol, method=method, options=options, rng=rng)
    if _is_dask(A):
        from ._dask import dask_factor

        return dask_factor(A, b, order=order, perm=perm, split_every=split_every).solve(**solve)
    if sp.issparse(A) or isinstance(A, np.ndarray):
        if b is None:
            raise TypeError("b is required when A is a matrix")
        n, parts = _matrix_blocks(A, b, block_rows)
        blocks = _Sliced(parts)
    else:
        if b is not None:
            raise TypeError("b must be None when A is an iterable of (A_i, b_i) blocks")
        try:
            iter(A)
        except TypeError:
            raise TypeError(f"A must be a sparse matrix, an iterable of (A_i, b_i) blocks or a dask "
                            f"array, got {type(A).__name__}") from None
        blocks = A
    return _stream(blocks, order, perm).solve(**solve)


def _stream(blocks, order, perm):
    """The RFactor of the blocks, one after the other."""
    if perm is None:
        if iter(blocks) is blocks:
            raise TypeError("the blocks are read twice (column order, then factor): give a re-iterable "
                            "(a list, or an object whose __iter__ starts again), or give perm")
        perm = column_order(_pairs(blocks), order)
    f = None
    for A_i, b_i in _pairs(blocks):
        if f is None:
            A_i, _ = _block(A_i)
            f = RFactor.from_rows(A_i, b_i, perm=_permutation(perm, A_i.shape[1]))
        else:
            f.add_rows(A_i, b_i)
    if f is None:
        raise ValueError("no blocks: nothing to solve")
    return f

