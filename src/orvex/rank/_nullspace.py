"""Orthonormal null-space bases kept in factored form: N = P Q X."""

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import LinearOperator

from orvex import _ext

__all__ = ["NullSpace"]

# SPQR's codes for Q^H X, Q X, X Q^H, X Q.
_QHX, _QX, _XQH, _XQ = 0, 1, 2, 3


def _dense_operand(Y, dtype, what):
    if sp.issparse(Y):
        Y = Y.toarray()
    Y = np.asarray(Y)
    if Y.dtype.kind not in "biufc":
        raise TypeError(f"{what} must be numeric, got dtype {Y.dtype}")
    if Y.ndim not in (1, 2):
        raise ValueError(f"{what} must be one- or two-dimensional, got {Y.ndim} dimensions")
    return Y, np.result_type(Y.dtype, dtype, np.float64)


def _split(N, Y):
    """True when a real basis meets a complex operand: the product is then
    taken on the real and imaginary parts (Q and X are real)."""
    return N.dtype.kind == "f" and Y.dtype.kind == "c"


class NullSpace:
    """An orthonormal basis N (n-by-d) of a numerical null space.

    N is kept as ``P Q X``: Q an orthogonal matrix held as Householder
    vectors (from SPQR), X sparse with d columns, ``[[U, 0], [0, I]]``
    (the identity takes the columns of Q past the r that SPQR's column
    dropping kept; U, dense r-by-(r - rank), combines those of the first r
    that the inverse iteration found numerically dependent) and P an
    optional row permutation.  Products
    never form N: ``N @ Y``, ``Y @ N``, :meth:`matmat`, :meth:`rmatmat`
    (``N^H Y``), :meth:`rmatmat_left` (``Y N^H``), :meth:`project_out`;
    :meth:`aslinearoperator` gives a SciPy LinearOperator; :meth:`toarray`
    and :meth:`tocsc` give N explicitly.  There is no ``__array__``, so
    nothing densifies N silently.  Operands may be dense or sparse,
    read-only, and complex with a real basis (the product is then complex).
    Null spaces pickle (as plain arrays; the unpickler checks the
    permutation, the shapes and the Householder form, and refuses anything
    else with a ValueError).
    The tools (:func:`null_space`, and the solvers on request) make them;
    the constructor is not meant to be called directly.

    Attributes
    ----------
    shape : tuple
        ``(n, d)``.
    dtype : numpy.dtype
        float64 or complex128.
    result : RankResult or None
        The rank result of the tool that produced the basis.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> import orvex.rank as rk
    >>> A = csc_array([[1., 0., 1., 2., 0.],
    ...                [0., 1., 1., 0., 2.],
    ...                [1., 1., 2., 2., 2.]])    # rank 2: the third row is the sum
    >>> N = rk.null_space(A)
    >>> N, N.shape, N.result.rank
    (<NullSpace 5x3 float64>, (5, 3), 2)
    >>> Z = N.toarray()                          # orthonormal columns
    >>> bool(np.allclose(Z.T @ Z, np.eye(3)))
    True
    >>> y = N @ np.array([1., 2., 3.])           # a vector of the null space
    >>> bool(np.linalg.norm(A @ y) < 1e-14)
    True
    >>> import pickle
    >>> bool(np.allclose(pickle.loads(pickle.dumps(N)).toarray(), Z))
    True
    """

    __slots__ = ("_qr", "_house", "_X", "_XH", "_perm", "shape", "dtype", "result")
    # NumPy defers ``array @ N`` to __rmatmul__ instead of converting N.
    __array_ufunc__ = None

    def __init__(self, qr, house, X, perm, dtype, result=None):
        self._qr = qr          # a native factorization, or None
        self._house = house    # (H, tau, v) arrays, or None for Q = I when qr is None
        self._X = sp.csc_array(X)
        self._XH = None
        self._perm = None if perm is None else np.asarray(perm, dtype=np.int64)
        self.shape = (int(self._X.shape[0]), int(self._X.shape[1]))
        self.dtype = np.dtype(dtype)
        self.result = result

    def _with_result(self, result):
        return NullSpace(self._qr, self._house, self._X, self._perm, self.dtype, result)

    # ---- Q in Householder form -------------------------------------------------

    def _q(self, code, Y):
        Y = np.asfortranarray(Y, dtype=self.dtype)
        if Y.size == 0:
            return np.zeros(Y.shape, dtype=self.dtype, order="F")
        if self._qr is not None:
            return self._qr.qmult(code, Y)
        if self._house is None:
            return Y.copy(order="F")
        H, tau, v = self._house
        if not Y.flags.writeable:  # the Householder kernel takes writable operands only
            Y = Y.copy(order="F")
        return _ext._qmult(code, H, np.asfortranarray(tau.reshape(1, -1)), v, Y)

    def _house_arrays(self):
        house = self._house
        if house is None and self._qr is not None:
            # As _XH: the same (H, tau, v) whichever thread makes it.
            house = self._house = self._qr.householder()
        return house

    # ---- products ------------------------------------------------------------------

    def matmat(self, Y):
        """``N @ Y`` for Y of shape ``(d,)`` or ``(d, p)``.

        Y may be sparse (it is densified); the result is a dense array,
        one-dimensional for a one-dimensional Y.  ``matvec`` is the same
        method, and ``N @ Y`` calls it.

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> A = np.array([[1., 0., 1., 2., 0.],
        ...               [0., 1., 1., 0., 2.],
        ...               [1., 1., 2., 2., 2.]])    # rank 2
        >>> N = rk.null_space(A)
        >>> Z = N.toarray()
        >>> Y = np.arange(6.0).reshape(3, 2)
        >>> bool(np.allclose(N.matmat(Y), Z @ Y)), (N @ Y[:, 0]).shape
        (True, (5,))
        >>> bool(np.linalg.norm(A @ (N @ Y)) < 1e-13)
        True
        """
        Y, _ = _dense_operand(Y, self.dtype, "Y")
        if _split(self, Y):
            return self.matmat(Y.real) + 1j * self.matmat(Y.imag)
        one = Y.ndim == 1
        Y2 = Y[:, None] if one else Y
        if Y2.shape[0] != self.shape[1]:
            raise ValueError(f"Y has {Y2.shape[0]} rows; the basis has {self.shape[1]} columns")
        Z = self._q(_QX, self._X @ Y2.astype(self.dtype, copy=False))
        if self._perm is not None:
            out = np.empty_like(Z)
            out[self._perm] = Z
            Z = out
        return Z[:, 0] if one else Z

    def rmatmat(self, Y):
        """``N^H @ Y`` for Y of shape ``(n,)`` or ``(n, p)``.

        The coordinates of Y's component in the null space; ``rmatvec`` is
        the same method.

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> A = np.array([[1., 0., 1., 2., 0.],
        ...               [0., 1., 1., 0., 2.],
        ...               [1., 1., 2., 2., 2.]])    # rank 2
        >>> N = rk.null_space(A)
        >>> Z = N.toarray()
        >>> x = np.array([1., 2., 3., 4., 5.])
        >>> bool(np.allclose(N.rmatmat(x), Z.T @ x)), N.rmatmat(x).shape
        (True, (3,))
        >>> bool(np.allclose(N.rmatmat(A.T @ np.ones(3)), 0))   # range of A^T: no component
        True
        """
        Y, _ = _dense_operand(Y, self.dtype, "Y")
        if _split(self, Y):
            return self.rmatmat(Y.real) + 1j * self.rmatmat(Y.imag)
        one = Y.ndim == 1
        Y2 = Y[:, None] if one else Y
        if Y2.shape[0] != self.shape[0]:
            raise ValueError(f"Y has {Y2.shape[0]} rows; the basis has {self.shape[0]} rows")
        Y2 = Y2.astype(self.dtype, copy=False)
        if self._perm is not None:
            Y2 = Y2[self._perm]
        XH = self._XH
        if XH is None:
            # Computed on first use and published whole: threads that race
            # here each compute the same matrix, and keep whichever they made.
            XH = self._XH = self._X.conj().T.tocsr()
        Z = XH @ self._q(_QHX, Y2)
        Z = np.asarray(Z)
        return Z[:, 0] if one else Z

    def lmatmat(self, Y):
        """``Y @ N`` for Y of shape ``(n,)`` or ``(p, n)``.

        ``Y @ N`` with a NumPy array Y calls it (NumPy defers to N).

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> A = np.array([[1., 0., 1., 2., 0.],
        ...               [0., 1., 1., 0., 2.],
        ...               [1., 1., 2., 2., 2.]])    # rank 2
        >>> N = rk.null_space(A)
        >>> Z = N.toarray()
        >>> Y = np.ones((2, 5))
        >>> bool(np.allclose(N.lmatmat(Y), Y @ Z)), (Y @ N).shape
        (True, (2, 3))
        """
        Y, _ = _dense_operand(Y, self.dtype, "Y")
        if _split(self, Y):
            return self.lmatmat(Y.real) + 1j * self.lmatmat(Y.imag)
        one = Y.ndim == 1
        Y2 = Y[None, :] if one else Y
        if Y2.shape[1] != self.shape[0]:
            raise ValueError(f"Y has {Y2.shape[1]} columns; the basis has {self.shape[0]} rows")
        Y2 = Y2.astype(self.dtype, copy=False)
        if self._perm is not None:
            Y2 = Y2[:, self._perm]
        Z = np.asarray((self._X.T @ self._q(_XQ, Y2).T).T)
        return Z[0] if one else Z

    def rmatmat_left(self, Y):
        """``Y @ N^H`` for Y of shape ``(d,)`` or ``(p, d)``.

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> A = np.array([[1., 0., 1., 2., 0.],
        ...               [0., 1., 1., 0., 2.],
        ...               [1., 1., 2., 2., 2.]])    # rank 2
        >>> N = rk.null_space(A)
        >>> Z = N.toarray()
        >>> Y = np.array([[1., 0., 0.], [0., 1., 1.]])
        >>> bool(np.allclose(N.rmatmat_left(Y), Y @ Z.T)), N.rmatmat_left(Y[0]).shape
        (True, (5,))
        """
        Y, _ = _dense_operand(Y, self.dtype, "Y")
        if _split(self, Y):
            return self.rmatmat_left(Y.real) + 1j * self.rmatmat_left(Y.imag)
        one = Y.ndim == 1
        Y2 = Y[None, :] if one else Y
        if Y2.shape[1] != self.shape[1]:
            raise ValueError(f"Y has {Y2.shape[1]} columns; the basis has {self.shape[1]} columns")
        YX = np.asarray((self._X.conj() @ Y2.astype(self.dtype, copy=False).T).T)
        Z = self._q(_XQH, YX)
        if self._perm is not None:
            out = np.empty_like(Z)
            out[:, self._perm] = Z
            Z = out
        return Z[0] if one else Z

    matvec = matmat
    rmatvec = rmatmat

    def __matmul__(self, Y):
        return self.matmat(Y)

    def __rmatmul__(self, Y):
        return self.lmatmat(Y)

    def project_out(self, x):
        """``x - N (N^H x)``: x without its component in the null space.

        x of shape ``(n,)`` or ``(n, p)``; the result lies in the range of
        A^H (to the accuracy of the basis).

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> A = np.array([[1., 0., 1., 2., 0.],
        ...               [0., 1., 1., 0., 2.],
        ...               [1., 1., 2., 2., 2.]])    # rank 2
        >>> N = rk.null_space(A)
        >>> Z = N.toarray()
        >>> x = np.array([1., 2., 3., 4., 5.])
        >>> p = N.project_out(x)
        >>> bool(np.allclose(N.rmatmat(p), 0)), bool(np.allclose(A @ p, A @ x))
        (True, True)
        """
        x, _ = _dense_operand(x, self.dtype, "x")
        if _split(self, x):
            return self.project_out(x.real) + 1j * self.project_out(x.imag)
        return x - self.matmat(self.rmatmat(x))

    def aslinearoperator(self):
        """N as a :class:`scipy.sparse.linalg.LinearOperator`.

        Its ``matvec``/``matmat`` are :meth:`matmat`, its adjoint's are
        :meth:`rmatmat`: nothing is formed.

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> A = np.array([[1., 0., 1., 2., 0.],
        ...               [0., 1., 1., 0., 2.],
        ...               [1., 1., 2., 2., 2.]])    # rank 2
        >>> N = rk.null_space(A)
        >>> Z = N.toarray()
        >>> L = N.aslinearoperator()
        >>> L.shape, bool(np.allclose(L.H @ np.ones(5), Z.T @ np.ones(5)))
        ((5, 3), True)
        >>> bool(np.allclose(L @ np.eye(3), Z))
        True
        """
        return LinearOperator(self.shape, dtype=self.dtype, matvec=self.matmat,
                              rmatvec=self.rmatmat, matmat=self.matmat,
                              rmatmat=self.rmatmat)

    # ---- explicit forms -----------------------------------------------------------------

    def toarray(self):
        """N as a dense n-by-d array (the orthonormal columns themselves).

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> A = np.array([[1., 0., 1., 2., 0.],
        ...               [0., 1., 1., 0., 2.],
        ...               [1., 1., 2., 2., 2.]])    # rank 2
        >>> N = rk.null_space(A)
        >>> Z = N.toarray()
        >>> Z.shape, Z.dtype
        ((5, 3), dtype('float64'))
        >>> bool(np.allclose(Z.T @ Z, np.eye(3))), bool(np.linalg.norm(A @ Z) < 1e-14)
        (True, True)
        """
        Z = self._q(_QX, self._X.toarray())
        if self._perm is not None:
            out = np.empty_like(Z)
            out[self._perm] = Z
            Z = out
        return np.asarray(Z)

    def tocsc(self):
        """N as a scipy.sparse.csc_array (Q applied to the sparse X).

        Sparse where SPQR's Householder vectors and X are.

        Examples
        --------
        >>> import numpy as np
        >>> import orvex.rank as rk
        >>> A = np.array([[1., 0., 1., 2., 0.],
        ...               [0., 1., 1., 0., 2.],
        ...               [1., 1., 2., 2., 2.]])    # rank 2
        >>> N = rk.null_space(A)
        >>> Z = N.toarray()
        >>> S = N.tocsc()
        >>> S.format, S.shape, bool(np.allclose(S.toarray(), Z))
        ('csc', (5, 3), True)
        """
        house = self._house_arrays()
        X = self._X.astype(self.dtype)
        if house is None or X.shape[1] == 0:
            Z = sp.csc_array(X)
        else:
            H, tau, v = house
            Z = sp.csc_array(_ext._qmult(_QX, H, np.asfortranarray(tau.reshape(1, -1)), v, X))
        if self._perm is not None:
            Z = sp.csc_array(Z[np.argsort(self._perm)])
        return Z

    # ---- pickling ----------------------------------------------------------------------

    def __reduce__(self):
        return (_restore, (self._house_arrays(), self._X, self._perm, self.dtype.str, self.result))

    def __repr__(self):
        return f"<NullSpace {self.shape[0]}x{self.shape[1]} {self.dtype}>"


def _owned(a, what, dtype=None, ndim=1):
    """A writable, contiguous copy of a restored array, or a ValueError."""
    if not isinstance(a, np.ndarray) or a.ndim != ndim or (dtype is not None and a.dtype != dtype):
        raise ValueError(f"corrupt NullSpace pickle: {what} is not a {ndim}-D {dtype or ''} array")
    return np.array(a, order="C", copy=True)


def _permutation(v, n, what):
    if v.dtype.kind != "i" or v.shape != (n,) or not np.array_equal(np.sort(v), np.arange(n)):
        raise ValueError(f"corrupt NullSpace pickle: {what} is not a permutation of 0..{n - 1}")


def _sparse(M, dtype, what):
    if not (sp.issparse(M) and M.format == "csc" and M.ndim == 2):
        raise ValueError(f"corrupt NullSpace pickle: {what} is not a CSC matrix")
    M = sp.csc_array((_owned(M.data, what + " values", dtype), _owned(M.indices, what + " indices"),
                      _owned(M.indptr, what + " pointers")), shape=M.shape)
    try:
        M.check_format(full_check=True)
    except ValueError as exc:
        raise ValueError(f"corrupt NullSpace pickle: {what}: {exc}") from None
    if M.indices.dtype != M.indptr.dtype or M.indices.dtype not in (np.int32, np.int64):
        raise ValueError(f"corrupt NullSpace pickle: {what} has indices of another type than int32/int64")
    if not M.has_canonical_format:
        raise ValueError(f"corrupt NullSpace pickle: {what} has unsorted or repeated row indices")
    if not np.isfinite(M.data).all():
        raise ValueError(f"corrupt NullSpace pickle: {what} holds NaN or infinite values")
    return M


def _restore(house, X, perm, dtype, result):
    """The unpickler: every part is checked before the basis is rebuilt, so
    that a forged or damaged pickle gives a ValueError, never a basis that
    reads outside its arrays or is not orthonormal."""
    from ._results import RankResult
    try:
        dtype = np.dtype(dtype)
    except TypeError:
        raise ValueError(f"corrupt NullSpace pickle: dtype {dtype!r}") from None
    if dtype not in (np.float64, np.complex128):
        raise ValueError(f"corrupt NullSpace pickle: dtype {dtype} is not float64 or complex128")
    if result is not None and not isinstance(result, RankResult):
        raise ValueError("corrupt NullSpace pickle: result is not a RankResult")
    X = _sparse(X, dtype, "X")
    rows = X.shape[0]
    if house is not None:
        if not (isinstance(house, tuple) and len(house) == 3):
            raise ValueError("corrupt NullSpace pickle: the Householder data is not (H, tau, v)")
        H, tau, v = house
        H = _sparse(H, dtype, "H")
        tau = _owned(tau, "tau", dtype)
        v = _owned(v, "v")
        m, k = H.shape
        if m != rows:
            raise ValueError(f"corrupt NullSpace pickle: X has {rows} rows, Q has {m}")
        if tau.shape != (k,) or not np.isfinite(tau).all():
            raise ValueError(f"corrupt NullSpace pickle: tau must hold {k} finite coefficients")
        _permutation(v, m, "v")
        if v.dtype != H.indices.dtype:
            raise ValueError("corrupt NullSpace pickle: v and the indices of H differ in type")
        # SPQR's reflectors: I - tau h h^H with h's first entry 1, first rows
        # increasing, each one unitary (2 Re tau = |tau|^2 ||h||^2).
        counts = np.diff(H.indptr)
        if k and (counts.min() == 0 or np.any(H.data[H.indptr[:-1]] != 1)
                  or np.any(np.diff(H.indices[H.indptr[:-1]]) <= 0)):
            raise ValueError("corrupt NullSpace pickle: H is not in SPQR's Householder form")
        hh = np.add.reduceat(np.abs(H.data) ** 2, H.indptr[:-1]) if k else np.zeros(0)
        t2 = np.abs(tau) ** 2 * hh
        if np.any(np.abs(2 * tau.real - t2) > 1e-8 * np.maximum(1.0, t2)):
            raise ValueError("corrupt NullSpace pickle: a Householder reflector is not unitary")
        house = (H, tau, v)
    if perm is not None:
        perm = _owned(perm, "perm")
        _permutation(perm, rows, "perm")
    # N = P Q X is orthonormal exactly when X is.
    G = (X.conj().T @ X).tocoo()
    d = X.shape[1]
    if G.nnz and np.abs(G.data - (G.row == G.col)).max() > 1e-8 or np.count_nonzero(G.diagonal()) != d:
        raise ValueError("corrupt NullSpace pickle: the columns of X are not orthonormal")
    return NullSpace(None, house, X, perm, dtype, result)
