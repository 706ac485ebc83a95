"""RFactor: the Q-less triangular factor of a growing set of rows.

The state is one sparse upper triangular matrix, the R of the rows seen so
far with their right-hand sides appended as extra columns,

    [A P, B] = Q [[R, C], [0, T]],

so that R is the R of A P, C = Q^H B (the first n rows) and the columns of
T hold the residual norms of the least-squares problems.  New rows, or the
state of another factor, are stacked under it and the stack factored again
by SPQR in the fixed column order with no column dropping: only R-sized
matrices are ever factored together with one block of rows, and SPQR's
Householder vectors die with each step.
"""

import dataclasses

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

from orvex.spqr import SPQRFactor, spqr
from orvex.utils import validate_csc_input

__all__ = ["RFactor"]

# SPQR drops no column at a negative tolerance, not even one of exact
# zeros: every column keeps its row of R, so R stays n x n triangular.
_NO_DROP = -1.0
_INT32_MAX = np.iinfo(np.int32).max
_ORDERS = ("default", "natural", "fixed", "colamd", "amd", "metis", "best", "cholmod", "bestamd")


# ---- inputs --------------------------------------------------------------------------------

def _block(A, n=None, what="A"):
    """A block of rows as a canonical csc_array (NaN/Inf refused), and its width checked."""
    A, _, itype = validate_csc_input(A)
    if n is not None and A.shape[1] != n:
        raise ValueError(f"{what} has {A.shape[1]} columns; the factor has {n}")
    return A, itype


def _rhs(b, m, p=None, one=None, what="b"):
    """b as a dense m x p array (None stays None), whether it was 1-D."""
    if b is None:
        if p:
            raise ValueError(f"this factor tracks {p} right-hand side{'s' * (p > 1)}: {what} is required")
        return None, one
    B = b.toarray() if sp.issparse(b) else np.asarray(b)
    if B.dtype.kind not in "biufc" or (B.dtype.kind == "f" and B.dtype.itemsize > 8) or \
            (B.dtype.kind == "c" and B.dtype.itemsize > 16):
        raise TypeError(f"{what} has unsupported dtype {B.dtype}")
    if B.ndim not in (1, 2):
        raise ValueError(f"{what} must be one- or two-dimensional, got {B.ndim} dimensions")
    if B.shape[0] != m:
        raise ValueError(f"{what} has {B.shape[0]} rows; the block of A has {m}")
    is_one = B.ndim == 1
    B = B[:, None] if is_one else B
    if p is not None:
        if p == 0:
            raise ValueError(f"this factor tracks no right-hand side: {what} must be None")
        if B.shape[1] != p or is_one != one:
            raise ValueError(f"{what} has shape {np.shape(b)}; this factor tracks "
                             f"{'a 1-D right-hand side' if one else f'{p} columns'}")
    if B.size and not np.isfinite(B).all():
        raise ValueError(f"{what} contains NaN or infinite values")
    return B.astype(np.complex128 if B.dtype.kind == "c" else np.float64, copy=False), is_one


def _permutation(perm, n):
    """perm as an int64 array, checked to be a permutation of range(n)."""
    if isinstance(perm, (str, bytes)) or np.ndim(perm) != 1:
        raise ValueError("perm must be a one-dimensional sequence of column indices")
    p = np.asarray(perm)
    if p.size and p.dtype.kind not in "iu":
        raise TypeError(f"perm must hold integers, got dtype {p.dtype}")
    p = p.astype(np.int64)
    if p.size != n:
        raise ValueError(f"perm has length {p.size}; A has {n} columns")
    seen = np.zeros(n, dtype=bool)
    if n and (p.min() < 0 or p.max() >= n):
        raise ValueError("perm is not a permutation of the columns")
    seen[p] = True
    if not seen.all():
        raise ValueError("perm is not a permutation of the columns")
    return p


def _order_name(order):
    if not isinstance(order, str) or order not in _ORDERS:
        raise ValueError(f"order must be one of {list(_ORDERS)}, got {order!r}")
    return order


# ---- the column order ------------------------------------------------------------------------

def _gram_pattern(A):
    """The pattern of A^H A (n x n, int8 ones): what one block adds to the union."""
    A = sp.csc_array(A)
    S = sp.csc_array((np.ones(A.nnz, dtype=np.float32), A.indices, A.indptr), shape=A.shape)
    G = (S.T @ S).tocsc()
    G.data = np.ones(G.nnz, dtype=np.int8)
    return G


def _pattern_union(*patterns):
    """The union of several patterns of the same shape."""
    G = patterns[0].astype(np.float32)
    for other in patterns[1:]:
        G = G + other.astype(np.float32)
    G = sp.csc_array(G)
    G.data = np.ones(G.nnz, dtype=np.int8)
    return G


def _column_order(G, order="default"):
    """CHOLMOD's fill-reducing order of the symmetric pattern G, through SPQR's analysis.

    M has one row per edge (i, j) of G and one per column, so that the
    pattern of M^T M is G: the orderings SPQR computes on M (COLAMD on M,
    AMD or METIS on M^T M) are those of G.
    """
    n = G.shape[0]
    if order in ("natural", "fixed") or n <= 1:
        return np.arange(n, dtype=np.int64)
    U = sp.triu(G, k=1, format="coo")
    e = U.nnz
    rows = np.concatenate([np.repeat(np.arange(e, dtype=np.int64), 2), e + np.arange(n, dtype=np.int64)])
    cols = np.concatenate([np.column_stack([U.row, U.col]).ravel().astype(np.int64), np.arange(n, dtype=np.int64)])
    M = sp.csc_array((np.ones(rows.size), (rows, cols)), shape=(e + n, n))
    return np.asarray(SPQRFactor(M, order=order).perm, dtype=np.int64)


# ---- one reduction step ----------------------------------------------------------------------

def _augmented(A, B, perm):
    """[A P, B] as one csc_array."""
    Ap = A[:, perm] if A.shape[1] else A
    if B is None:
        return sp.csc_array(Ap)
    return sp.hstack([Ap, sp.csc_array(B)], format="csc")


def _index_type(itype, nnz):
    return np.dtype(np.int64) if itype == np.int64 or nnz > _INT32_MAX else np.dtype(np.int32)


def _stack_r(parts, width, itype):
    """The R of the rows of `parts` (width columns each): width x width upper triangular.

    A zero diagonal (explicit entries) goes under the parts, so that every
    column has a structural pivot row: without it SPQR squeezes the rows of
    R past a column with no entries.
    """
    diag = np.arange(width)
    Z = sp.csc_array((np.zeros(width), (diag, diag)), shape=(width, width))
    S = sp.vstack(list(parts) + [Z], format="csc")
    it = _index_type(itype, S.nnz)
    S.indices = S.indices.astype(it, copy=False)
    S.indptr = S.indptr.astype(it, copy=False)
    R = spqr(S, mode="r", order="fixed", tol=_NO_DROP)[0]
    R = sp.csc_array(R[:width])
    R.indices = R.indices.astype(it, copy=False)
    R.indptr = R.indptr.astype(it, copy=False)
    return R, it


# ---- the factor -------------------------------------------------------------------------------

class RFactor:
    """Q-less sparse QR factor of a growing set of rows, in one fixed column order.

    For the rows A seen so far (in blocks, in any order) and the right-hand
    sides b tracked with them, keeps ``A P = Q R`` without Q: R (n x n,
    upper triangular), ``c = Q^H b`` (first n entries) and the residual
    norm ``||b - A x||_2`` of the least-squares solution.  Its size is that
    of R whatever the number of rows, and two factors of disjoint rows
    combine into the factor of their union (:meth:`merge`): a least-squares
    problem of any height reduces to (R, c), block by block or as a tree.

    Create it with :meth:`from_rows`; the column order P is fixed then.

    Attributes
    ----------
    R : scipy.sparse.csc_array
        n x n upper triangular, for the columns in the order `perm`
        (``A[:, perm] = Q R``); unique up to the signs of its rows.
    perm : ndarray of int64
        The column order.
    c : ndarray or None
        ``Q^H b``, shape (n,) or (n, p) like b; None when no right-hand
        side is tracked.
    residual_norm : float, ndarray or None
        ``min_x ||b - A x||_2`` for each tracked right-hand side (a float
        for a 1-D b).
    nrows : int
        Rows seen.
    shape : tuple of int
        ``(nrows, n)``.
    nrhs : int
        Right-hand sides tracked.
    dtype, itype : numpy.dtype
        Values (float64, or complex128 once a complex block or right-hand
        side came in) and indices of R.
    nbytes : int
        Bytes of the arrays the factor holds (what travels when it is
        pickled).

    Notes
    -----
    Each update stacks R (with C) on the new rows and factors the stack
    with SPQR in the fixed order and without column dropping: cost and
    memory are those of a factorization of an R-sized matrix plus one
    block.  A refused block or factor (wrong width, right-hand sides of the
    wrong shape, NaN or Inf, another column order) raises before anything
    changes; the factor stays as it was.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.sparse import random_array, vstack
    >>> from orvex.tall import RFactor
    >>> from orvex.spqr import spqr_solve
    >>> A1 = random_array((300, 40), density=0.1, format="csr", rng=1)
    >>> A2 = random_array((500, 40), density=0.1, format="csr", rng=2)
    >>> b1, b2 = np.ones(300), np.arange(500.0)
    >>> f = RFactor.from_rows(A1, b1, perm=np.arange(40))
    >>> f.add_rows(A2, b2)
    <RFactor 800x40 float64 (int32 indices), 1 right-hand side, nnz(R)=820>
    >>> x = f.solve().x
    >>> x_ref = spqr_solve(vstack([A1, A2]), np.concatenate([b1, b2]))
    >>> bool(np.allclose(x, x_ref, rtol=1e-10, atol=0))
    True
    >>> resid = np.linalg.norm(np.concatenate([b1, b2]) - vstack([A1, A2]) @ x)
    >>> bool(np.isclose(f.residual_norm, resid))
    True
    """

    __slots__ = ("_n", "_perm", "_Rb", "_itype", "_nrows", "_p", "_one", "_colabs")

    # ---- construction ----

    def __init__(self, *args, **kwargs):
        raise TypeError("make an RFactor with RFactor.from_rows(A, b, order=..., perm=...)")

    @classmethod
    def _new(cls, n, perm, Rb, itype, nrows, p, one, colabs):
        self = object.__new__(cls)
        self._n, self._perm, self._Rb, self._itype = n, perm, Rb, itype
        self._nrows, self._p, self._one, self._colabs = nrows, p, one, colabs
        return self

    @classmethod
    def from_rows(cls, A, b=None, *, order="default", perm=None):
        """Factor a first block of rows.

        Parameters
        ----------
        A : sparse matrix or array_like, m x n
            The rows (m may be 0, or smaller than n).
        b : array_like or sparse, shape (m,) or (m, p), optional
            Right-hand sides to track: every later block must bring its
            rows of them.  None: track none (:meth:`csne_solve` then
            solves for right-hand sides given later, with A).
        order : str
            The fill-reducing order computed from A's pattern (that of
            ``A^H A``) when `perm` is not given: "default" (SPQR's,
            COLAMD), "amd", "metis", "colamd", "best", "cholmod",
            "bestamd", or "natural" (the given column order).
        perm : array_like of int, optional
            The column order to use, a permutation of ``range(n)``: give
            it when later blocks have columns that A leaves empty (the
            order from A alone does not know them), or to share one order
            among factors that will be merged (see :func:`column_order`).

        Returns
        -------
        RFactor
        """
        order = _order_name(order)
        A, itype = _block(A)
        n = A.shape[1]
        if perm is None:
            perm = _column_order(_gram_pattern(A), order)
        else:
            perm = _permutation(perm, n)
        B, one = _rhs(b, A.shape[0])
        p = 0 if B is None else B.shape[1]
        Rb, it = _stack_r([_augmented(A, B, perm)], n + p, itype)
        return cls._new(n, perm, Rb, it, A.shape[0], p, bool(one), _column_abs(A))

    # ---- updates ----

    def add_rows(self, A_new, b_new=None):
        """Add rows (and their right-hand-side entries); returns self.

        Parameters
        ----------
        A_new : sparse matrix or array_like, k x n
        b_new : array_like, shape (k,) or (k, p)
            Required exactly when the factor tracks right-hand sides, with
            their shape.

        Returns
        -------
        RFactor
            This factor, updated.  Nothing changes when the block is
            refused (ValueError, TypeError) or SPQR fails.
        """
        A, itype = _block(A_new, self._n, "A_new")
        B, _ = _rhs(b_new, A.shape[0], self._p, self._one, "b_new")
        if A.shape[0] == 0:
            return self
        width = self._n + self._p
        Rb, it = _stack_r([self._Rb, _augmented(A, B, self._perm)], width, _wider(self._itype, itype))
        self._Rb, self._itype = Rb, it
        self._nrows += A.shape[0]
        self._colabs = self._colabs + _column_abs(A)
        return self

    def merge(self, other):
        """The factor of the rows of both factors (disjoint row sets, one order).

        Parameters
        ----------
        other : RFactor
            A factor with the same columns, column order and tracked
            right-hand sides.

        Returns
        -------
        RFactor
            A new factor; neither operand changes.

        Examples
        --------
        >>> import numpy as np
        >>> from scipy.sparse import random_array, eye_array, vstack
        >>> from orvex.tall import RFactor, column_order
        >>> A1 = random_array((200, 30), density=0.1, format="csr", rng=1) + eye_array(200, 30)
        >>> A2 = random_array((300, 30), density=0.1, format="csr", rng=2)
        >>> p = column_order([A1, A2])                  # one order for both
        >>> f = RFactor.from_rows(A1, np.ones(200), perm=p)
        >>> g = RFactor.from_rows(A2, np.zeros(300), perm=p)
        >>> h = f.merge(g)
        >>> h.nrows, f.nrows, g.nrows
        (500, 200, 300)
        >>> x = h.solve().x
        >>> whole = RFactor.from_rows(vstack([A1, A2]), np.r_[np.ones(200), np.zeros(300)], perm=p)
        >>> bool(np.allclose(x, whole.solve().x, rtol=1e-12, atol=0))
        True
        """
        return _merge(self, other)

    # ---- properties ----

    @property
    def perm(self):
        """The column order: ``A[:, perm] = Q R``."""
        return self._perm.copy()

    @property
    def nrows(self):
        """Rows seen."""
        return self._nrows

    @property
    def shape(self):
        """``(nrows, n)``: the shape of the A factored so far."""
        return (self._nrows, self._n)

    @property
    def nrhs(self):
        """Right-hand sides tracked (0: none)."""
        return self._p

    @property
    def dtype(self):
        """The value type of R and c."""
        return self._Rb.dtype

    @property
    def itype(self):
        """The index type of R."""
        return self._itype

    @property
    def R(self):
        """R, n x n upper triangular (a new csc_array), columns in the order `perm`."""
        n = self._n
        R = sp.csc_array(self._Rb[:n, :n]) if self._p else self._Rb.copy()
        R.indices = R.indices.astype(self._itype, copy=False)
        R.indptr = R.indptr.astype(self._itype, copy=False)
        return R

    @property
    def c(self):
        """``Q^H b`` (first n entries), shape (n,) or (n, p); None without right-hand sides."""
        if not self._p:
            return None
        C = self._Rb[:self._n, self._n:].toarray()
        return C[:, 0] if self._one else C

    @property
    def residual_norm(self):
        """``min_x ||b - A x||_2`` per right-hand side (a float for a 1-D b), or None."""
        if not self._p:
            return None
        T = self._Rb[self._n:, self._n:].toarray()
        r = np.linalg.norm(T, axis=0)
        return float(r[0]) if self._one else r

    @property
    def nbytes(self):
        """Bytes of the arrays held: what a pickle of the factor carries."""
        Rb = self._Rb
        return int(Rb.data.nbytes + Rb.indices.nbytes + Rb.indptr.nbytes + self._perm.nbytes
                   + self._colabs.nbytes)

    def __sizeof__(self):
        # what sys.getsizeof, and so Dask's memory accounting, sees
        return object.__sizeof__(self) + self.nbytes

    def __repr__(self):
        rhs = f"{self._p} right-hand side{'s' * (self._p != 1)}"
        return (f"<RFactor {self._nrows}x{self._n} {self.dtype} ({self._itype} indices), {rhs}, "
                f"nnz(R)={self.R.nnz}>")

    # ---- pickling: the arrays only ----

    def __reduce__(self):
        Rb = self._Rb
        return (_rebuild, (self._n, self._perm, Rb.data, Rb.indices, Rb.indptr, str(self._itype),
                           self._nrows, self._p, self._one, self._colabs))

    # ---- solutions ----

    def solve(self, tol=None, *, rtol=None, method="cod", options=None, rng=0):
        """Least-squares solution for the tracked right-hand sides, from (R, c).

        The rank is decided here, once, by :mod:`orvex.rank` on R (whose
        singular values are those of A), at the tolerance that
        :func:`orvex.rank.lstsq` would use on the whole matrix: the same
        rank, and the same minimum-norm (or a basic) solution.

        Parameters
        ----------
        tol : float, optional
            Absolute rank tolerance; None: ``max(m, n) * spacing(||A||_2)``
            with m the rows seen.
        rtol : float, optional
            ``tol = rtol * ||A||_2`` instead.
        method : {"cod", "pinv", "basic"}
            As for :func:`orvex.rank.lstsq`.
        options : orvex.rank.RankOptions, optional
        rng : int, numpy.random.Generator or None

        Returns
        -------
        orvex.rank.LstsqResult
            ``x`` in the original column order (1-D for a 1-D b) and
            ``residuals`` ``||b - A x||_2^2`` over all rows; ``details``
            also holds ``nrows``.

        Examples
        --------
        The third column is the sum of the first two; rows come in two blocks.

        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> from orvex.tall import RFactor
        >>> A = np.array([[1., 0., 1., 2.], [0., 1., 1., 0.], [1., 1., 2., 2.],
        ...               [0., 0., 0., 1.], [2., 0., 2., 0.]])
        >>> b = np.array([1., 2., 3., 4., 5.])
        >>> f = RFactor.from_rows(A[:2], b[:2]).add_rows(A[2:], b[2:])
        >>> res = f.solve()
        >>> res
        LstsqResult(rank=3, flag=0, rank_spqr=3, tol=4.44e-15, method='cod')
        >>> np.round(res.x, 6)                      # the minimum-norm solution
        array([0.892655, 0.231638, 1.124294, 0.135593])
        >>> bool(np.allclose(res.x, rk.lstsq(A, b).x))
        True
        >>> np.round(res.residuals, 6)
        array([18.355932])
        """
        import orvex.rank as rk

        if not self._p:
            raise ValueError("this factor tracks no right-hand side: use csne_solve(A, b)")
        if options is not None and not isinstance(options, rk.RankOptions):
            raise TypeError(f"options must be a RankOptions, got {type(options).__name__}")
        R = self.R
        gen = rk._core._generator(rng)
        t = self._tolerance(R, tol, rtol, options or rk.RankOptions(), gen)
        c = self.c
        res = rk.lstsq(R, c, t, method=method, options=options, rng=gen)
        x = res.x
        if x is not None:
            y = x
            x = np.empty_like(y)
            x[self._perm] = y
        residuals = res.residuals
        if residuals is not None:
            residuals = residuals + np.atleast_1d(self.residual_norm) ** 2
        details = dict(res.details, nrows=self._nrows)
        return dataclasses.replace(res, x=x, residuals=residuals, details=details)

    def _tolerance(self, R, tol, rtol, opts, gen):
        """orvex.rank's tolerance for the whole A: its norms from R (2-norm) or the column sums."""
        from orvex.rank._core import _check_tolerances, normest

        _check_tolerances(tol, rtol)
        if tol is not None and float(tol) >= 0:
            return float(tol)
        if opts.tol_norm_type == 1:
            norm = float(self._colabs.max()) if self._colabs.size else 0.0
        else:
            norm = normest(R, 0.01, gen)
        if rtol is not None:
            if float(rtol) < 0:
                raise ValueError(f"rtol must be non-negative, got {rtol}")
            return float(rtol) * norm
        return max(self._nrows, self._n) * float(np.spacing(norm)) if norm > 0 else 0.0

    def csne_solve(self, A, b):
        """Least squares for a right-hand side not tracked: corrected semi-normal equations.

        x solves ``R^H R P^T x = P^T A^H b``, then one step of refinement
        with the residual ``b - A x`` corrects it.  Needs all of A again,
        but not Q.

        Accuracy: that of a Q-based solve while ``kappa(A)`` is below
        about ``1 / sqrt(eps)`` (1e8, Björck's analysis of the corrected
        semi-normal equations); past that the refinement step is not
        guaranteed to contract.  Use tracked right-hand sides
        (:meth:`solve`) for such problems, and for rank-deficient A,
        which this refuses.

        Parameters
        ----------
        A : sparse matrix or array_like, m x n
            All the rows, in the order of b.
        b : array_like, shape (m,) or (m, p)

        Returns
        -------
        ndarray
            x, shape (n,) or (n, p) like b.

        Raises
        ------
        numpy.linalg.LinAlgError
            A diagonal entry of R is below ``max(m, n) eps max|r_jj|``: A is
            (numerically) rank-deficient.

        Examples
        --------
        >>> import numpy as np
        >>> from scipy.sparse import random_array, eye_array
        >>> from orvex.tall import RFactor
        >>> from orvex.spqr import spqr_solve
        >>> A = random_array((600, 50), density=0.05, format="csr", rng=3) + eye_array(600, 50)
        >>> f = RFactor.from_rows(A[:300]).add_rows(A[300:])    # no right-hand side tracked
        >>> b = np.linspace(0.0, 1.0, 600)
        >>> x = f.csne_solve(A, b)
        >>> bool(np.allclose(x, spqr_solve(A, b), rtol=1e-10, atol=0))
        True
        """
        A, _ = _block(A, self._n)
        B, one = _rhs(b, A.shape[0])
        n = self._n
        dtype = np.result_type(self.dtype, A.dtype, B.dtype)
        if n == 0:
            x = np.zeros((0, B.shape[1]), dtype=dtype)
            return x[:, 0] if one else x
        R = self.R.astype(dtype)
        d = np.abs(R.diagonal())
        if d.min() <= max(A.shape) * np.finfo(float).eps * d.max():
            raise np.linalg.LinAlgError("R is singular (A is rank-deficient): csne_solve needs full "
                                        "column rank; track b and use solve()")
        Rc = R.tocsr()
        RH = R.conj().T.tocsr()
        AH = A.conj().T.tocsr()

        def normal(V):
            z = (AH @ V)[self._perm]
            w = spla.spsolve_triangular(RH, z, lower=True)
            y = spla.spsolve_triangular(Rc, w, lower=False)
            x = np.empty_like(y)
            x[self._perm] = y
            return x

        B = B.astype(dtype, copy=False)
        x = normal(B)
        x = x + normal(B - A @ x)
        return x[:, 0] if one else x


def _rebuild(n, perm, data, indices, indptr, itype, nrows, p, one, colabs):
    width = n + p
    Rb = sp.csc_array((data, indices, indptr), shape=(width, width))
    return RFactor._new(n, np.asarray(perm, dtype=np.int64), Rb, np.dtype(itype), nrows, p, one,
                        np.asarray(colabs, dtype=np.float64))


def _wider(a, b):
    return np.dtype(np.int64) if np.int64 in (a, b) else np.dtype(np.int32)


def _column_abs(A):
    return np.asarray(abs(A).sum(axis=0)).ravel().astype(np.float64) if A.shape[1] else np.zeros(0)


def _merge(*factors):
    """The factor of the union of the rows of several factors (one reduction step)."""
    first = factors[0]
    for f in factors:
        if not isinstance(f, RFactor):
            raise TypeError(f"can only merge RFactor objects, got {type(f).__name__}")
        if f._n != first._n:
            raise ValueError(f"cannot merge factors of {first._n} and {f._n} columns")
        if not np.array_equal(f._perm, first._perm):
            raise ValueError("cannot merge factors with different column orders (perm)")
        if f._p != first._p or f._one != first._one:
            raise ValueError(f"cannot merge factors tracking {first._p} and {f._p} right-hand sides")
    live = [f for f in factors if f._nrows]
    if len(live) <= 1:
        src = live[0] if live else first
        return RFactor._new(src._n, src._perm.copy(), src._Rb.copy(), src._itype, src._nrows, src._p,
                            src._one, src._colabs.copy())
    itype = first._itype
    for f in live:
        itype = _wider(itype, f._itype)
    Rb, it = _stack_r([f._Rb for f in live], first._n + first._p, itype)
    return RFactor._new(first._n, first._perm.copy(), Rb, it, sum(f._nrows for f in live), first._p,
                        first._one, sum(f._colabs for f in live))


def _from_block(A, b, perm):
    """The factor of one block in a given order (a task of the distributed reduction)."""
    return RFactor.from_rows(A, b, perm=perm)

