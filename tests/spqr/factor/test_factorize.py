import re
import resource
import warnings

import numpy as np
import pytest

import orvex
from conftest import SANITIZED, make_matrix, variants
from orvex.spqr import SPQRFactor
from orvex.utils import validate_csc_input

TOL_CHANGED = ("The tolerance has been changed from the one used during a previous "
               "numeric factorization. This may lead to inconsistent rank determination.")
MISMATCH = ("The {} of the input matrix does not match the one used for symbolic "
            "factorization. Expected {}, got {}.")


def lstsq(A, b):
    return np.linalg.lstsq(A.toarray(), b, rcond=None)[0]


@variants
def test_refactorize_same_pattern(dtype, itype):
    A = make_matrix(9, 6, dtype, itype, seed=1)
    b = np.arange(1.0, 10.0)
    f = SPQRFactor(A)
    assert not f.is_numeric and f.rank is None
    assert f.factorize(A) is f and f.is_numeric and f.rank == 6
    np.testing.assert_allclose(f.solve(b), lstsq(A, b), rtol=1e-10, atol=1e-12)
    B = A.copy()
    B.data = B.data * np.random.default_rng(2).uniform(0.5, 2.0, B.nnz)
    assert f.factorize(B) is f and f.rank == 6
    np.testing.assert_allclose(f.solve(b), lstsq(B, b), rtol=1e-10, atol=1e-12)
    B.data[B.indptr[3]:B.indptr[4]] = 0  # rank follows the values
    assert f.factorize(B).rank == 5
    assert f.factorize(A).rank == 6
    assert (f.shape, f.dtype, f.itype) == ((9, 6), dtype, itype)


@pytest.mark.parametrize("m, dtype, itype, message", [
    (5, np.float64, np.int32, MISMATCH.format("shape", "(4, 3)", "(5, 3)")),
    (4, np.float64, np.int64, MISMATCH.format("integer size", "'int32'", "'int64'")),
    (4, np.complex128, np.int32, MISMATCH.format("data type", "'float64'", "'complex128'")),
    (5, np.complex128, np.int64, MISMATCH.format("shape", "(4, 3)", "(5, 3)")),
], ids=["shape", "itype", "dtype", "all"])
@pytest.mark.parametrize("numeric", [False, True])
def test_mismatch_rejected(m, dtype, itype, message, numeric):
    f = SPQRFactor(make_matrix(4, 3), use_singletons=numeric)
    B = make_matrix(m, 3, dtype, itype)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        f.factorize(B)
    assert f.is_numeric is numeric
    B, _, B_itype = validate_csc_input(B)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        f._check_input_matrix(B, B_itype)


@variants
def test_pattern_mismatch(dtype, itype):
    A = make_matrix(8, 5, dtype, itype, seed=0)
    dropped = A.copy()  # first stored entry removed
    dropped.data, dropped.indices = dropped.data[1:], dropped.indices[1:]
    dropped.indptr = np.maximum(dropped.indptr - 1, 0).astype(itype)
    f = SPQRFactor(A).factorize(A)
    expected = f.solve(np.ones(8))
    for B in (make_matrix(8, 5, dtype, itype, seed=5), dropped):
        with pytest.raises(ValueError, match="sparsity pattern.*does not match the one "
                                             "used for symbolic factorization"):
            f.factorize(B)
    np.testing.assert_array_equal(f.solve(np.ones(8)), expected)


def test_tolerance_change_warns_once_per_change():
    A = make_matrix(6, 4)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        f = SPQRFactor(A).factorize(A, tol=0.25)  # symbolic object: no warning
        assert caught == [] and f.info.tol == 0.25
        f.factorize(A, tol=0.5)
        assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, TOL_CHANGED)]
        f.factorize(A, tol=0.5)
        f.factorize(A)
        assert len(caught) == 1 and f.info.tol == 0.5
        for tol in (0, float("nan"), float("nan")):  # NaN never equals itself
            f.factorize(A, tol=tol)
        assert len(caught) == 4


def test_tolerance_errors_leave_tolerance_unchanged():
    A = make_matrix(6, 4)
    A.data[A.indptr[3]:A.indptr[4]] *= 1e-3  # counts as zero only under a large tol
    f = SPQRFactor(A).factorize(A)
    assert f.rank == 4
    with pytest.raises(TypeError):
        f.factorize(A, tol="a")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=re.escape(TOL_CHANGED)):
            f.factorize(A, tol=0.5)
    assert f.factorize(A).rank == 4
    with pytest.warns(UserWarning):
        assert f.factorize(A, tol=0.5).rank == 3


def test_argument_binding():
    A = make_matrix(4, 3)
    f = SPQRFactor(A)
    for args, kwargs in [((), {}), ((A, 0.5), {}), ((A,), {"tolerance": 0.5})]:
        with pytest.raises(TypeError):
            f.factorize(*args, **kwargs)
    assert f.factorize(A=A) is f


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's realloc copies every block")
@pytest.mark.thread_unsafe(reason="counts the process's page faults")
def test_refactorization_keeps_the_memory_of_the_previous_one():
    # A refactorization takes over its predecessor's R and H: their pages
    # (here some 45 MiB, beyond what the C library keeps between two
    # allocations) are not mapped and cleared again.
    from parallel.test_parallel import grid_gradient
    A = grid_gradient(250)
    before = orvex.get_num_threads()
    orvex.set_num_threads(1)
    try:
        f = SPQRFactor(A).factorize(A)
        x = f.solve(np.ones(A.shape[0]))
        info = f.info
        pages = (info.nnzR_upper_bound + info.nnzH_upper_bound) * 8 // 4096
        # this thread's faults only (one thread factorizes: no task tree),
        # the fewer of two refactorizations
        who = getattr(resource, "RUSAGE_THREAD", resource.RUSAGE_SELF)
        faults = np.inf
        for _ in range(2):
            start = resource.getrusage(who).ru_minflt
            f.factorize(A)
            faults = min(faults, resource.getrusage(who).ru_minflt - start)
    finally:
        orvex.set_num_threads(before)
    assert faults < pages // 4, (faults, pages)
    np.testing.assert_array_equal(f.solve(np.ones(A.shape[0])), x)
