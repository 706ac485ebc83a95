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


class NullSpace:
    """An orthonormal basis N (n-by-d) of a numerical null space.

    N is kept as ``P Q X``: Q an orthogonal matrix held as Householder
    vectors (from SPQR), X sparse with d columns (dense only in a block of
    size rank-deficiency times the SPQR rank deficiency) and P an optional
    row permutation.  Products never form N: ``N @ Y``, ``Y @ N``,
    :meth:`matmat`, :meth:`rmatmat` (``N^H Y``), :meth:`rmatmat_left`
    (``Y N^H``), :meth:`project_out`; :meth:`aslinearoperator` gives a
    SciPy LinearOperator; :meth:`toarray` and :meth:`tocsc` give N
    explicitly.  There is no ``__array__``, so nothing densifies N
    silently.  Null spaces pickle (as plain arrays).

    Attributes
    ----------
    shape : tuple
        ``(n, d)``.
    dtype : numpy.dtype
        float64 or complex128.
    result : RankResult or None
        The rank result of the tool that produced the basis.
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
        return _ext._qmult(code, H, np.asfortranarray(tau.reshape(1, -1)), v, Y)

    def _house_arrays(self):
        if self._house is None and self._qr is not None:
            self._house = self._qr.householder()
        return self._house

    # ---- products ------------------------------------------------------------------

    def matmat(self, Y):
        """``N @ Y`` for Y of shape ``(d,)`` or ``(d, p)``."""
        Y, _ = _dense_operand(Y, self.dtype, "Y")
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
        """``N^H @ Y`` for Y of shape ``(n,)`` or ``(n, p)``."""
        Y, _ = _dense_operand(Y, self.dtype, "Y")
        one = Y.ndim == 1
        Y2 = Y[:, None] if one else Y
        if Y2.shape[0] != self.shape[0]:
            raise ValueError(f"Y has {Y2.shape[0]} rows; the basis has {self.shape[0]} rows")
        Y2 = Y2.astype(self.dtype, copy=False)
        if self._perm is not None:
            Y2 = Y2[self._perm]
        if self._XH is None:
            self._XH = self._X.conj().T.tocsr()
        Z = self._XH @ self._q(_QHX, Y2)
        Z = np.asarray(Z)
        return Z[:, 0] if one else Z

    def lmatmat(self, Y):
        """``Y @ N`` for Y of shape ``(n,)`` or ``(p, n)``."""
        Y, _ = _dense_operand(Y, self.dtype, "Y")
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
        """``Y @ N^H`` for Y of shape ``(d,)`` or ``(p, d)``."""
        Y, _ = _dense_operand(Y, self.dtype, "Y")
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
        """``x - N (N^H x)``: x without its component in the null space."""
        x, _ = _dense_operand(x, self.dtype, "x")
        return x - self.matmat(self.rmatmat(x))

    def aslinearoperator(self):
        """N as a :class:`scipy.sparse.linalg.LinearOperator`."""
        return LinearOperator(self.shape, dtype=self.dtype, matvec=self.matmat,
                              rmatvec=self.rmatmat, matmat=self.matmat,
                              rmatmat=self.rmatmat)

    # ---- explicit forms -----------------------------------------------------------------

    def toarray(self):
        """N as a dense n-by-d array (the orthonormal columns themselves)."""
        Z = self._q(_QX, self._X.toarray())
        if self._perm is not None:
            out = np.empty_like(Z)
            out[self._perm] = Z
            Z = out
        return np.asarray(Z)

    def tocsc(self):
        """N as a scipy.sparse.csc_array (Q applied to the sparse X)."""
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


def _restore(house, X, perm, dtype, result):
    return NullSpace(None, house, X, perm, np.dtype(dtype), result)
