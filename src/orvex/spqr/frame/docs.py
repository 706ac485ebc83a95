"""Documentation strings of the public API of :mod:`orvex.spqr`.

The solve and multiply-by-Q templates are format strings: they are filled
with the fragments defined here (or with empty strings) before they are
attached to the functions and methods that share them.
"""

import textwrap as _textwrap


# ---------------------------------------------------------------------------
# Fill-reducing orderings.  One table feeds the parameter lists of `spqr`
# and `spqr_factor` and the table in the notes of `SPQRFactor`.
# ---------------------------------------------------------------------------

ORDERINGS = (
    ("default", "COLAMD of `S`."),
    ("fixed", "Identity permutation; no singletons are removed."),
    ("natural", "Singletons are removed, but no fill-reducing ordering is applied."),
    ("colamd", "COLAMD of `S`."),
    ("amd", "AMD of :math:`S^T S`."),
    ("metis", "METIS of :math:`S^T S`."),
    ("best", "Tries 'amd', 'colamd' and 'metis' and keeps the best."),
    ("cholmod", "Same as 'best'."),
    ("bestamd", "Tries 'amd' and 'colamd' and keeps the best."),
)


def _in_sentence(text):
    """``text`` as it reads after a colon: capitalised words lowered, acronyms kept."""
    word = text.split()[0]
    return text if word.isupper() else text[0].lower() + text[1:]


def _bullets(rows):
    return "\n".join(
        _textwrap.fill(f"'{name}': {_in_sentence(text)}", width=70,
                       initial_indent="    * ", subsequent_indent="      ")
        for name, text in rows) + "\n"


def _table(rows, key="Ordering", value="Description", key_width=11, width=58):
    rule = "=" * key_width + "  " + "=" * width
    lines = [rule, f"{key:<{key_width}}  {value}", rule]
    for name, text in rows:
        label = f"'{name}'"
        lines.append(_textwrap.fill(
            text, width=key_width + 2 + width,
            initial_indent=f"{label:<{key_width}}  ",
            subsequent_indent=" " * (key_width + 2)))
    return "\n".join(lines + [rule]) + "\n"


ORDER_DOC = """\
order : str, optional
    The fill-reducing ordering method. If None (default), SPQR's default
    ordering is used. With `S` denoting `A` with its singleton rows and
    columns removed, the options are:

""" + _bullets(ORDERINGS)

ORDERING_TABLE = _table(ORDERINGS)

MODULE_DOC = """\
===========================================
Sparse QR Decomposition (:mod:`orvex.spqr`)
===========================================

.. currentmodule:: orvex.spqr

.. versionadded:: 0.1.0

This module provides an interface to the SuiteSparse SPQR package, which
computes the QR factorization of sparse, possibly non-square,
non-symmetric and indefinite matrices, and uses it to solve systems of
equations with such matrices.

Function Interface
==================

.. autosummary::
   :toctree: generated/

   spqr - Compute the SPQR factorization of a sparse matrix.
   spqr_qmult - Multiply by Q from the SPQR factorization.
   spqr_solve - Solve a linear system using the SPQR factorization.
   SPQRHouseholder - A class representing the Householder vectors.

Object Interface
================

.. autosummary::
   :toctree: generated/

   spqr_factor - Compute the QR factorization of a sparse matrix.
   SPQRFactor - An object-oriented interface to SPQR.
   SPQRInfo - A dataclass to return SPQR info.

Warnings and Exceptions
=======================

.. autosummary::
   :toctree: generated/

   SPQRWarning
   SPQRRankDeficiencyWarning
   SPQRError
   SPQRNotInstalledError
   SPQROutOfMemoryError
   SPQROverflowError
   SPQRInvalidInputError
   SPQRGpuProblemError

References
==========

* SuiteSparse home page:
  https://people.engr.tamu.edu/davis/suitesparse.html
* SPQR package:
  https://github.com/DrTimothyAldenDavis/SuiteSparse/tree/dev/SPQR
"""


# ---------------------------------------------------------------------------
# Shared templates and fragments.  Literal braces of the math markup are
# doubled, placeholders use single braces; every placeholder stands alone
# on its line so that an empty fragment leaves an empty line behind.
# ---------------------------------------------------------------------------

SOLVE_DOC_TEMPLATE = """
Solve a linear system using the SPQR factorization.

Solve for `x` given the right-hand side `b`, which is either a vector or
a matrix whose columns are several right-hand sides. The system solved is

.. math:: A x = b

if ``transpose=False``, or the transposed system

.. math:: A^{{T}} x = b

if ``transpose=True``. For complex data the transposed system is the
conjugate-transposed system :math:`A^{{H}} x = b`.

Parameters
----------
{A_doc}
b : (M,) or (M, K) numpy.ndarray
    The right-hand side (a SciPy sparse array or matrix is accepted too). `M` is the number of rows of `A`, or its number
    of columns if ``transpose=True``. Each of the `K` columns is one
    right-hand side. Values are cast to the data type of the
    factorization when this is safe.
transpose : bool, optional
    If True, solve the transposed system instead of ``A x = b``.
    Default is False.
{min2norm}
rhs_batch_size : int, optional
    For a two-dimensional sparse `b`, the number of columns that are
    converted to a dense array and solved at a time. Larger values use
    more memory and may be faster. Ignored for a dense `b`. Default is
    100.

Returns
-------
x : (N,) or (N, K) numpy.ndarray or sparse array
    The solution. It is one-dimensional if `b` is one-dimensional, has
    `K` columns for `K` right-hand sides, and is a sparse array if `b`
    is sparse. `N` is the number of columns of `A`, or its number of
    rows if ``transpose=True``.

See Also
--------
SPQRFactor, spqr_factor, spqr, spqr_qmult

Notes
-----
Part of an interface to the SuiteSparse SPQR library [#spqr_url]_.

.. versionadded:: 0.1.0

References
----------
.. [#spqr_url] SPQR package:
   https://github.com/DrTimothyAldenDavis/SuiteSparse/tree/dev/SPQR
{examples}
"""

QMULT_DOC_TEMPLATE = """
Multiply by `Q` using the Householder representation.

Parameters
----------
{house_doc}
X : (M, N) numpy.ndarray or sparse array
    The matrix to multiply. It must have a shape compatible with `Q`:
    its number of rows must equal the order of `Q` for 'QX' and 'QTX',
    its number of columns for 'XQ' and 'XQT'.
method : str , optional
    The product to compute. One of:

    * 'QX' : :math:`Q X`
    * 'QTX' : :math:`Q^T X`
    * 'XQ' : :math:`X Q`
    * 'XQT' : :math:`X Q^T`

    For complex data, :math:`Q^T` denotes the conjugate transpose of `Q`.
    Default is 'QX'.

Returns
-------
Y : (M, N) numpy.ndarray or sparse array
    The product. It is a sparse array if `X` is sparse, and
    one-dimensional if `X` is one-dimensional.

See Also
--------
SPQRFactor, spqr_factor, spqr, spqr_solve{see_also}

Notes
-----
This function is part of an interface to the SuiteSparse SPQR library [#spqr_url]_.

.. versionadded:: 0.1.0

References
----------
.. [#spqr_url] SPQR package:
   https://github.com/DrTimothyAldenDavis/SuiteSparse/tree/dev/SPQR
{examples}
"""

A_DOC = """\
A : (M, N) array_like or sparse array
    An array convertible to a sparse matrix."""

MIN2NORM_DOC = """\
min2norm : bool, optional
    If True, compute the minimum 2-norm solution when `A` is
    underdetermined (has fewer rows than columns); `transpose` is ignored
    in that case. If False, the solution of an underdetermined system is
    not guaranteed to be the minimum 2-norm solution. Default is True."""

QMULT_HOUSE_DOC = """\
house : SPQRHouseholder or tuple
    A tuple ``(H, tau, v)`` of the Householder vectors `H`, the
    Householder coefficients `tau` and the column permutation vector `v`,
    typically created by ``Ht, R, p = spqr(A, mode='householder')``."""


_EXAMPLE_MATRIX = """\
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> A = csc_array(np.array([[1.0, 0.0, 2.0],
...                         [0.0, 3.0, 0.0],
...                         [4.0, 0.0, 5.0],
...                         [0.0, 6.0, 7.0]]))
>>> b = np.array([1.0, 2.0, 3.0, 4.0])
"""

SOLVE_METHOD_EXAMPLES = """
Examples
--------
The least-squares solution of a tall system agrees with NumPy's dense
solver:

""" + _EXAMPLE_MATRIX + """\
>>> from orvex.spqr import spqr_factor
>>> f = spqr_factor(A)
>>> x = f.solve(b)
>>> np.allclose(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0])
True

Several right-hand sides are solved at once, and the transposed system
:math:`A^T y = c` with the same factorization:

>>> f.solve(np.column_stack([b, 2.0 * b])).shape
(3, 2)
>>> c = np.array([1.0, 2.0, 3.0])
>>> y = f.solve(c, transpose=True)
>>> np.allclose(A.T @ y, c)
True

A sparse right-hand side gives a sparse solution, computed
`rhs_batch_size` columns at a time:

>>> from scipy.sparse import eye_array
>>> X = f.solve(eye_array(4, format="csc"), rhs_batch_size=2)
>>> type(X).__name__, X.shape
('csc_array', (3, 4))
>>> np.allclose(X.toarray(), np.linalg.pinv(A.toarray()))
True
"""

SOLVE_FUNCTION_EXAMPLES = """
Examples
--------
The least-squares solution of a tall system agrees with NumPy's dense
solver:

""" + _EXAMPLE_MATRIX + """\
>>> from orvex.spqr import spqr_solve
>>> x = spqr_solve(A, b)
>>> np.allclose(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0])
True

For a wide matrix the minimum 2-norm solution is returned:

>>> W = csc_array(A.T)
>>> c = np.array([1.0, 2.0, 3.0])
>>> z = spqr_solve(W, c)
>>> np.allclose(W @ z, c), np.allclose(z, np.linalg.pinv(W.toarray()) @ c)
(True, True)
"""

QMULT_METHOD_EXAMPLES = """
Examples
--------
""" + _EXAMPLE_MATRIX + """\
>>> from orvex.spqr import spqr_factor
>>> f = spqr_factor(A)
>>> c = f.qmult(b, "QTX")
>>> np.allclose(f.qmult(c, "QX"), b)
True

Applied to the identity, the product forms `Q`, which is orthogonal, and
:math:`Q^T A E` is the upper triangular `R`:

>>> Q = f.qmult(np.eye(4))
>>> np.allclose(Q.T @ Q, np.eye(4))
True
>>> R = f.qmult(A[:, f.perm].toarray(), "QTX")
>>> np.allclose(np.tril(R, -1), 0.0)
True
>>> type(f.qmult(csc_array(np.eye(4)), "XQ")).__name__
'csc_array'
"""

QMULT_FUNCTION_EXAMPLES = """
Examples
--------
""" + _EXAMPLE_MATRIX + """\
>>> from orvex.spqr import spqr, spqr_qmult
>>> house, R, P = spqr(A, mode="householder")
>>> QR = spqr_qmult(house, R.toarray())
>>> np.allclose(QR, A[:, P].toarray())
True
>>> c = spqr_qmult(house, b, method="QTX")
>>> bool(np.isclose(np.linalg.norm(c), np.linalg.norm(b)))
True

A sparse `X` gives a sparse product:

>>> Y = spqr_qmult(house, csc_array(np.eye(4)), method="XQT")
>>> type(Y).__name__, Y.shape
('csc_array', (4, 4))
"""


# ---------------------------------------------------------------------------
# Classes
# ---------------------------------------------------------------------------

SPQRHOUSEHOLDER_DOC = """\
A class to hold the Householder representation of Q.

Attributes
----------
H : ~scipy.sparse.csc_array
    The Householder vectors stored in a sparse matrix.
tau : ~numpy.ndarray of float
    The Householder coefficients.
perm : ~numpy.ndarray of int
    The column permutation vector.

Notes
-----
The first item returned by ``spqr(A, mode='householder')`` is an instance
of this class; `spqr_qmult` accepts it to multiply by `Q`.

.. versionadded:: 0.1.0

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from orvex.spqr import spqr, spqr_qmult
>>> A = csc_array(np.array([[1.0, 0.0, 2.0],
...                         [0.0, 3.0, 0.0],
...                         [4.0, 0.0, 5.0],
...                         [0.0, 6.0, 7.0]]))
>>> house, R, P = spqr(A, mode="householder")
>>> H, tau, perm = house
>>> H.shape, tau.shape, perm.shape
((4, 3), (3,), (4,))
>>> Q = spqr_qmult(house, np.eye(4))
>>> np.allclose(Q.T @ Q, np.eye(4)), np.allclose(Q @ R.toarray(), A[:, P].toarray())
(True, True)
"""

SPQRFACTOR_DOC = r"""The main object used for creating and manipulating SPQR factorizations.

The factorization of an (M, N) sparse matrix `A` has the form

.. math:: Q R = A E

where :math:`E` is a fill-reducing column permutation, :math:`Q` is
orthogonal (unitary for complex data) and :math:`R` is upper triangular.

The numeric factorization can be obtained in two ways:

* Pass ``use_singletons=True`` to the constructor, which performs the
  symbolic analysis and the numeric factorization in one step. This is
  useful when one matrix is solved with many right-hand sides.
* Construct the object with the default ``use_singletons=False``, which
  performs the symbolic analysis only, and then call `factorize`. The
  analysis is reused by every call of `factorize`, which is useful when
  many matrices with the same sparsity pattern are factorized.

Parameters
----------
A : (M, N) array_like or sparse array
    An array convertible to a sparse matrix. Its values are stored as
    float64 or complex128, its indices as int32 or int64.
use_singletons : bool, optional
    If True, compute the numeric factorization at once, exploiting
    singleton rows and columns. If False, perform the symbolic analysis
    only, so that the object can be refactorized cheaply with `factorize`
    for many matrices of the same pattern. Default is False.
order : str, optional
    The fill-reducing ordering method, one of the names listed below.
    If None (default), SPQR's default ordering is used.
tol : float, optional
    Columns whose 2-norm is below `tol` are treated as zero, which
    determines the rank estimate. If 0, no column is treated as zero.
    If None (default), SPQR's default tolerance
    :math:`20 \epsilon (M + N) \sqrt{\max(\operatorname{diag}(A^T A))}`
    is used, where :math:`\epsilon` is the machine precision.
    Even with ``tol=0``, SPQR treats a column whose entries are all exactly
    zero as zero, so the rank estimate can still be below N.

Attributes
----------
is_numeric : bool
    True if the numeric factorization has been computed.
shape : tuple of int
    The shape ``(M, N)`` of the factorized matrix.
itype : numpy.dtype
    The index type of the factorization, int32 or int64.
dtype : numpy.dtype
    The value type of the factorization, float64 or complex128.
rank : int or None
    SPQR's estimate of the rank of `A`, or None if the numeric
    factorization has not been computed.
perm : (N,) numpy.ndarray of int
    The column permutation vector, such that ``A[:, perm]`` is the
    permuted matrix :math:`A E`. Its integer type is `itype`.
    When the rank estimate is below N, it can differ from the
    permutation returned by `spqr` for the same matrix and ordering:
    `spqr` moves the columns it finds dependent to the end, so that its
    `R` is upper trapezoidal, while `perm` keeps the column order of the
    factorization. Use `perm` with the results of this object only.
info : SPQRInfo
    Statistics of the factorization; a new record on each access.

See Also
--------
spqr_factor, spqr_solve, spqr, spqr_qmult

Notes
-----
In the description of the orderings, `S` denotes `A` with its singleton
rows and columns removed.

""" + ORDERING_TABLE + r"""
.. versionadded:: 0.1.0

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from orvex.spqr import SPQRFactor
>>> A = csc_array(np.array([[1.0, 0.0, 2.0],
...                         [0.0, 3.0, 0.0],
...                         [4.0, 0.0, 5.0],
...                         [0.0, 6.0, 7.0]]))
>>> f = SPQRFactor(A)
>>> f.is_numeric
False
>>> f.factorize(A).is_numeric
True
>>> f.shape
(4, 3)
>>> f.rank
3
>>> x = f.solve(np.ones(4))
>>> x.shape
(3,)

The permutation of a rank-deficient matrix (the last column is the sum of
the first two) differs from the one `spqr` returns, which moves the
dependent column to the end:

>>> from orvex.spqr import spqr
>>> D = csc_array(np.array([[-2.0,  0.0, -1.0, -2.0],
...                         [ 1.0,  1.0, -1.0,  2.0],
...                         [ 2.0,  1.0,  1.0,  3.0],
...                         [ 0.0,  0.0,  1.0,  0.0],
...                         [ 0.0, -1.0,  0.0, -1.0]]))
>>> g = SPQRFactor(D).factorize(D)
>>> g.rank, g.perm.tolist(), spqr(D, mode="r")[1].tolist()
(3, [1, 3, 0, 2], [1, 3, 2, 0])
"""

SPQRFACTOR_INIT_DOC = (
    "Initialize the SPQRFactor object and perform symbolic analysis."
)


# ---------------------------------------------------------------------------
# Methods of SPQRFactor
# ---------------------------------------------------------------------------

FACTORIZE_DOC = """\
Compute the numeric factorization of the matrix.

The symbolic analysis computed by the constructor is reused, so only the
numeric phase of SPQR runs. The object can thus be refactorized for a
sequence of matrices that share one sparsity pattern.

Parameters
----------
A : (M, N) array_like or sparse array
    The matrix to factorize. It must have the same sparsity pattern as
    the matrix used in the constructor (and therefore the same shape,
    index type and value type); only its values may differ.
tol : float, optional
    Columns whose 2-norm is below `tol` are treated as zero, as described
    for `SPQRFactor`. If None (default), the tolerance in use is kept.

Returns
-------
self : SPQRFactor
    The current object with the numeric factorization computed.

Raises
------
ValueError
    If the shape, index type or value type of `A` differs from the one
    used for the symbolic analysis.

Warns
-----
UserWarning
    If `tol` changes the tolerance of an object that already holds a
    numeric factorization, since the rank may then be determined
    inconsistently.

See Also
--------
SPQRFactor, spqr_factor

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from orvex.spqr import SPQRFactor
>>> A = csc_array(np.array([[1.0, 0.0, 2.0],
...                         [0.0, 3.0, 0.0],
...                         [4.0, 0.0, 5.0],
...                         [0.0, 6.0, 7.0]]))
>>> f = SPQRFactor(A)
>>> f.factorize(A) is f
True
>>> B = A.copy()
>>> B.data *= 2.0
>>> f.factorize(B).is_numeric
True
"""

CHECK_INPUT_MATRIX_DOC = (
    "Check that the input matrix matches the existing factorization."
)

COPY_DOC = """\
Return a deep copy of the SPQRFactor object.

The copy holds its own symbolic analysis and numeric factorization, so
refactorizing one object leaves the other unchanged.

Returns
-------
factor : SPQRFactor
    A new object of the same class, shape, types and state.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from orvex.spqr import spqr_factor
>>> A = csc_array(np.array([[1.0, 0.0, 2.0],
...                         [0.0, 3.0, 0.0],
...                         [4.0, 0.0, 5.0],
...                         [0.0, 6.0, 7.0]]))
>>> f = spqr_factor(A)
>>> g = f.copy()
>>> g is f, g.shape, g.rank
(False, (4, 3), 3)
>>> B = A.copy()
>>> B.data *= 2.0
>>> x = f.factorize(B).solve(np.ones(4))
>>> np.allclose(g.solve(np.ones(4)), 2.0 * x)
True
"""


# ---------------------------------------------------------------------------
# Module functions
# ---------------------------------------------------------------------------

SPQR_DOC = r"""Compute the QR factorization.

Compute the sparse QR factorization

.. math:: Q R = A E

where :math:`Q` is orthogonal (unitary for complex data), :math:`R` is
upper triangular and :math:`E` is a fill-reducing column permutation.

Parameters
----------
A : (M, N) array_like or sparse array
    An array convertible to a sparse matrix.
mode : {'full', 'economic', 'r', 'householder'}, optional
    Determines what is computed and returned, with ``K = min(M, N)``:

    * 'full' (default): `Q` is (M, M) and `R` is (M, N).
    * 'economic': `Q` is (M, K) and `R` is (K, N).
    * 'r': only `R` and the permutation are returned.
    * 'householder': instead of `Q`, the Householder vectors and
      coefficients used to build `Q` are returned as an
      `SPQRHouseholder`, similar to ``mode='raw'`` of
      `scipy.linalg.qr`. It can be applied with `spqr_qmult`.

""" + ORDER_DOC + r"""
tol : float, optional
    Columns whose 2-norm is below `tol` are treated as zero. If 0, no
    column is treated as zero. If None (default), SPQR's default
    tolerance
    :math:`20 \epsilon (M + N) \sqrt{\max(\operatorname{diag}(A^T A))}`
    is used, where :math:`\epsilon` is the machine precision.
    Even with ``tol=0``, SPQR treats a column whose entries are all exactly
    zero as zero, so the rank estimate can still be below N.

Returns
-------
Q : sparse array or SPQRHouseholder
    The orthogonal factor as a `~scipy.sparse.csc_array`, (M, M) for
    ``mode='full'`` and (M, K) for ``mode='economic'``. For
    ``mode='householder'``, the Householder representation of `Q`. Not
    returned for ``mode='r'``.
R : (M, N) or (K, N) sparse array
    The upper triangular factor as a `~scipy.sparse.csc_array`; (K, N)
    for ``mode='economic'``.
P : (N,) numpy.ndarray of int or None
    The permutation vector, such that ``A[:, P]`` is :math:`A E`. Its
    integer type matches the index type of `A`.
    It is None for ``order='fixed'``, where :math:`E` is the identity.
    When the rank estimate is below N, the columns SPQR finds dependent
    are moved to the end of `P`, so that `R` is upper trapezoidal; `P`
    then can differ from `SPQRFactor.perm` for the same matrix.

See Also
--------
SPQRFactor, spqr_factor, spqr_qmult, spqr_solve

Notes
-----
This function is part of an interface to the SuiteSparse SPQR library [#spqr_url]_.

.. versionadded:: 0.1.0

References
----------
.. [#spqr_url] SPQR package:
   https://github.com/DrTimothyAldenDavis/SuiteSparse/tree/dev/SPQR

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from orvex.spqr import spqr
>>> A = csc_array(np.array([[1.0, 0.0, 2.0],
...                         [0.0, 3.0, 0.0],
...                         [4.0, 0.0, 5.0],
...                         [0.0, 6.0, 7.0]]))
>>> Q, R, P = spqr(A)
>>> Q.shape, R.shape, P.shape
((4, 4), (4, 3), (3,))
>>> np.allclose((Q @ R).toarray(), A[:, P].toarray())
True
>>> Q, R, P = spqr(A, mode="economic")
>>> Q.shape, R.shape
((4, 3), (3, 3))
>>> R, P = spqr(A, mode="r")
>>> house, R, P = spqr(A, mode="householder")
>>> house.H.shape[0]
4

With ``order='fixed'`` there is no permutation to return:

>>> Q, R, P = spqr(A, order="fixed")
>>> P is None
True

When the rank is below N, the dependent columns come last in `P` and the
rows of `R` below the rank are zero:

>>> D = csc_array(np.array([[1.0, 1.0, 0.0],
...                         [2.0, 2.0, 1.0],
...                         [0.0, 0.0, 3.0],
...                         [1.0, 1.0, 1.0]]))
>>> R, P = spqr(D, mode="r")
>>> int(P[-1]) in (0, 1), int(R[2:, :].count_nonzero())
(True, 0)
"""

SPQR_FACTOR_DOC = r"""Compute the SPQR factorization of a sparse matrix.

Return an `SPQRFactor` object that holds the numeric factorization

.. math:: Q R = A E

of `A`, ready to solve linear systems and to multiply by `Q`.

Parameters
----------
A : (M, N) array_like or sparse array
    An array convertible to a sparse matrix.
use_singletons : bool, optional
    If True, the symbolic analysis and the numeric factorization are
    performed in one step, exploiting singleton rows and columns. If
    False, the symbolic analysis is performed first and then the numeric
    factorization, so that the returned object can be refactorized with
    `SPQRFactor.factorize` for matrices with the same sparsity pattern.
    Default is False.
""" + ORDER_DOC + r"""
tol : float, optional
    Columns whose 2-norm is below `tol` are treated as zero, which
    determines the rank estimate. If 0, no column is treated as zero.
    If None (default), SPQR's default tolerance
    :math:`20 \epsilon (M + N) \sqrt{\max(\operatorname{diag}(A^T A))}`
    is used, where :math:`\epsilon` is the machine precision.
    Even with ``tol=0``, SPQR treats a column whose entries are all exactly
    zero as zero, so the rank estimate can still be below N.

Returns
-------
factor : SPQRFactor
    The factorization object, holding the numeric factorization of `A`.

See Also
--------
SPQRFactor, spqr, spqr_qmult, spqr_solve

Notes
-----
.. versionadded:: 0.1.0

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from orvex.spqr import spqr_factor
>>> A = csc_array(np.array([[1.0, 0.0, 2.0],
...                         [0.0, 3.0, 0.0],
...                         [4.0, 0.0, 5.0],
...                         [0.0, 6.0, 7.0]]))
>>> f = spqr_factor(A)
>>> f.is_numeric
True
>>> x = f.solve(np.ones(4))
>>> x.shape
(3,)

A column of exact zeros counts as zero even with ``tol=0``, while a tiny
nonzero column does not:

>>> Z = A.toarray()
>>> Z[:, 1] = 0.0
>>> spqr_factor(csc_array(Z), tol=0).rank
2
>>> Z[1, 1] = 1e-300
>>> spqr_factor(csc_array(Z), tol=0).rank
3
"""
