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

COPY_DOC = "Return a deep copy of the SPQRFactor object."


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
P : (N,) numpy.ndarray of int
    The permutation vector, such that ``A[:, P]`` is :math:`A E`. Its
    integer type matches the index type of `A`.

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
"""
