"""orvex.utils.validate_csc_input: conversion and checking of input matrices."""
import numpy as np
import pytest
import scipy.sparse as sp
from numpy.testing import assert_array_equal

from orvex.utils import validate_csc_input
from conftest import make_matrix, variants

DENSE = np.array([[1.0, 0, 2], [0, 3, 0], [4, 0, 5], [0, 6, 1]])


def validated(A, dtype=np.float64, itype=np.int32):
    """Validate ``A``; check the result's types and canonical form."""
    B, _, it = validate_csc_input(A)
    assert type(B) is sp.csc_array and B.dtype == dtype and it == np.dtype(itype)
    assert B.indices.dtype == B.indptr.dtype == it and B.has_canonical_format
    return B


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("make", [
    *(getattr(sp, f"{f}_{k}") for f in ("csc", "csr", "coo", "lil", "dok", "dia", "bsr")
      for k in ("array", "matrix")),
    np.asarray, np.asfortranarray, np.matrix, lambda D: D.tolist(),
    lambda D: tuple(map(tuple, D)), lambda D: np.repeat(D, 2, axis=1)[:, ::2]])
def test_accepted_inputs(make):
    assert_array_equal(validated(make(DENSE)).toarray(), DENSE)


@pytest.mark.parametrize("dtype", [bool, np.int8, np.uint16, np.int64, np.uint64, np.float16,
                                   np.float32, np.float64, np.complex64, np.complex128])
def test_value_dtypes(dtype):
    D = (DENSE * (1 - 2j) if np.dtype(dtype).kind == "c" else DENSE).astype(dtype)
    expected = np.complex128 if D.dtype.kind == "c" else np.float64
    for A in [D] if dtype == np.float16 else [D, sp.csc_array(D), sp.coo_array(D)]:
        assert_array_equal(validated(A, expected).toarray(), D.astype(expected))


@pytest.mark.parametrize("A", [DENSE.astype(object), DENSE.astype(str), DENSE.astype(np.longdouble),
                               DENSE.astype(np.clongdouble), sp.csc_array(DENSE.astype(np.longdouble))])
def test_unsupported_dtypes(A):
    if A.dtype.kind == "f" and A.dtype.itemsize == 8:
        pytest.skip("long double is double here")
    with pytest.raises(TypeError):
        validate_csc_input(A)


@pytest.mark.parametrize("ptr, idx, expected", [
    (np.int32, np.int32, np.int32), (np.int64, np.int64, np.int64), (np.int16, np.int16, np.int64),
    (np.uint32, np.uint32, np.int64), (np.int32, np.int64, np.int64)])
def test_index_dtypes(ptr, idx, expected):
    A = sp.csc_array(DENSE)
    A.indptr, A.indices = A.indptr.astype(ptr), A.indices.astype(idx)
    assert_array_equal(validated(A, itype=expected).toarray(), DENSE)


@variants
def test_canonical_input_is_returned_as_is(dtype, itype):
    A = make_matrix(6, 4, dtype, itype)
    arrays = (A.data, A.indices, A.indptr)
    assert validated(A, dtype, itype) is A
    assert all(x is y for x, y in zip(arrays, (A.data, A.indices, A.indptr)))


@variants
def test_noncanonical_input_is_canonicalised_in_a_copy(dtype, itype):
    # column 0: rows 2, 0, 0 (unsorted, with a duplicate); column 1: row 1
    data = np.array([1, 2, 3, 4], dtype) * (1 + 1j if dtype.kind == "c" else 1)
    A = sp.csc_array((data, [2, 0, 0, 1], [0, 3, 4]), shape=(3, 2))
    A.indices, A.indptr = np.array([2, 0, 0, 1], itype), np.array([0, 3, 4], itype)
    before = [x.copy() for x in (A.data, A.indices, A.indptr)]
    expected = np.zeros((3, 2), dtype)
    expected[2, 0], expected[0, 0], expected[1, 1] = data[0], data[1] + data[2], data[3]
    B = validated(A, dtype, itype)
    assert B is not A and B.nnz == 3
    assert_array_equal(B.toarray(), expected)
    for old, now in zip(before, (A.data, A.indices, A.indptr)):
        assert old.dtype == now.dtype and old.tobytes() == now.tobytes()


@pytest.mark.parametrize("itype", [np.int32, np.int64])
def test_canonical_form_detected_per_column(itype):
    # Empty columns, descents at column boundaries, a single descent or
    # duplicate inside a column: copied exactly when some column is not
    # strictly increasing.
    rng = np.random.default_rng(3)
    for _ in range(300):
        n = int(rng.integers(1, 7))
        counts = rng.integers(0, 4, n) * (rng.random(n) < 0.7)
        indptr = np.concatenate([[0], np.cumsum(counts)]).astype(itype)
        cols = [np.sort(rng.choice(8, c, replace=False)) for c in counts]
        if indptr[-1] and rng.random() < 0.5:  # spoil one column
            j = int(rng.choice(np.flatnonzero(counts)))
            cols[j] = cols[j][::-1].copy() if counts[j] > 1 else cols[j]
            if counts[j] > 1 and rng.random() < 0.5:
                cols[j][0] = cols[j][1]
        indices = np.concatenate(cols + [np.zeros(0, int)]).astype(itype)
        canonical = all(np.all(np.diff(c) > 0) for c in cols)
        A = sp.csc_array((np.ones(indices.size), indices, indptr), shape=(8, n))
        A.indices, A.indptr = indices, indptr
        assert (validate_csc_input(A)[0] is A) == canonical, (indptr, indices)


@pytest.mark.parametrize("A", [np.ones(3), np.ones((2, 2, 2)), np.float64(1.0), [1.0, 2.0],
                               sp.coo_array(np.ones(3))])
def test_not_two_dimensional(A):
    with pytest.raises(ValueError):
        validate_csc_input(A)


@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize("bad, word", [(np.nan, "nan"), (np.inf, "inf"), (-np.inf, "inf"),
                                       (complex(1, np.nan), "nan"), (complex(np.inf, 0), "inf")])
def test_non_finite_values(bad, word, sparse):
    D = DENSE.astype(type(bad) if isinstance(bad, complex) else float)
    D[2, 2] = bad
    with pytest.raises(ValueError, match=f"(?i){word}"):
        validate_csc_input(sp.csc_array(D) if sparse else D)


@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0)])
def test_empty_shapes(shape):
    for A in (np.zeros(shape), sp.csc_array(shape), sp.coo_array(shape)):
        B = validated(A)
        assert B.shape == shape and B.nnz == 0 and len(B.indptr) == shape[1] + 1


BREAK = {"index too large": lambda i, p: i.__setitem__(-1, 99),
         "negative index": lambda i, p: i.__setitem__(0, -1),
         "decreasing indptr": lambda i, p: p.__setitem__([1, 2], p[[2, 1]]),
         "indptr start": lambda i, p: p.__setitem__(0, 1),
         "indptr end": lambda i, p: p.__setitem__(-1, p[-1] + 5)}


@pytest.mark.parametrize("itype", [np.int32, np.int64])
@pytest.mark.parametrize("fmt", ["csc", "csr"])
@pytest.mark.parametrize("fault", [*BREAK, "short indptr"])
def test_corrupt_structure(fault, fmt, itype):
    A = getattr(sp, f"{fmt}_array")(DENSE)  # built with SciPy's checks, then broken
    idx, ptr = A.indices.astype(itype), A.indptr.astype(itype)
    BREAK.get(fault, lambda i, p: None)(idx, ptr)
    A.indices, A.indptr = idx, ptr if fault != "short indptr" else ptr[:-1]
    with pytest.raises(ValueError):
        validate_csc_input(A)
