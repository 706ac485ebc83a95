"""Least squares of any height: a Q-less sparse QR that grows by rows.

For ``A = [A_1; ...; A_k]`` in one fixed column order P, the R of the
stacked R factors of the blocks ``A_i P`` is the R of ``A P`` (up to the
signs of its rows), and ``c = Q^H b`` reduces the same way: a least-squares
problem of any height reduces to (R, c), of size n, without ever holding Q.

- :class:`RFactor`: R, c and the residual norm of a growing set of rows;
  :meth:`~RFactor.add_rows`, :meth:`~RFactor.merge` (the reduction step),
  :meth:`~RFactor.solve` (rank decided by :mod:`orvex.rank`),
  :meth:`~RFactor.csne_solve` (right-hand sides not tracked); picklable;
- :func:`lstsq`: the whole solve for a sparse matrix taken in row blocks,
  an iterable of ``(A_i, b_i)`` blocks (out of core) or a dask array of
  sparse chunks (a tree reduction on any Dask scheduler);
- :func:`column_order`: the order of the union of the blocks' patterns.

Dask is optional (``pip install orvex[dask]``); it is imported only when a
dask array comes in.
"""

from ._factor import RFactor
from ._lstsq import column_order, lstsq

__all__ = ["RFactor", "lstsq", "column_order"]
