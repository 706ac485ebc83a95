import dataclasses
import gc
import os
import warnings

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import needs_test_hooks, as_csc, load_mtx, make_matrix, rss_measuring, variants
from orvex.spqr import SPQRFactor, SPQRRankDeficiencyWarning


def rand(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(shape)
    return x + 1j * rng.standard_normal(shape) if np.dtype(dtype).kind == "c" else x


def results(F):
    """What a factorization answers: solves both ways (dense and sparse) and the four Q products."""
    m, n = F.shape
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SPQRRankDeficiencyWarning)
        out = [F.solve(rand((m, 2), F.dtype, 1)), F.solve(rand(n, F.dtype, 2), transpose=True),
               F.solve(sp.csc_array(rand((m, 3), F.dtype, 3))).toarray()]
    return out + [F.qmult(rand((m, 2) if method[0] == "Q" else (2, m), F.dtype, 4), method)
                  for method in ("QX", "QTX", "XQ", "XQT")]


def assert_same_results(F, expected):
    for x, y in zip(results(F), expected, strict=True):
        np.testing.assert_allclose(x, y, rtol=1e-13, atol=1e-14 * max(1.0, np.abs(y).max(initial=0)))


def numeric(A, use_singletons):
    return SPQRFactor(A, use_singletons=True) if use_singletons else SPQRFactor(A).factorize(A)


def checked_copy(F):
    copy = F.copy()
    assert type(copy) is SPQRFactor and copy is not F
    assert (copy.is_numeric, copy.shape, copy.rank) == (F.is_numeric, F.shape, F.rank)
    assert copy.itype is F.itype and copy.dtype is F.dtype
    np.testing.assert_array_equal(copy.perm, F.perm)
    # Statistics travel with the workspace; only the memory peak is the copy's own.
    assert dataclasses.replace(copy.info, memory=0) == dataclasses.replace(F.info, memory=0)
    return copy


SHAPES = {"tall": (30, 12, None), "wide": (12, 30, None), "rank-deficient": (25, 15, 6)}


@variants
@pytest.mark.parametrize("use_singletons", [True, False], ids=["singletons", "factorized"])
@pytest.mark.parametrize("shape", SHAPES)
def test_numeric_copy_answers_like_source(dtype, itype, use_singletons, shape):
    m, n, rank = SHAPES[shape]
    F = numeric(make_matrix(m, n, dtype, itype, seed=7, rank=rank), use_singletons)
    copy = checked_copy(F)
    assert copy.rank == (rank or min(m, n))
    expected = results(F)
    assert_same_results(copy, expected)
    del F  # the copy owns its memory
    gc.collect()
    assert_same_results(copy, expected)


def all_zero(itype):
    """Stored zeros only: every block of R is empty and sits at the end of its stack."""
    return as_csc(sp.csc_array((np.zeros(5), (np.arange(5), np.arange(5))), shape=(6, 5)), itype=itype)


@pytest.mark.parametrize("itype", [np.int32, np.int64])
@pytest.mark.parametrize("name", ["ash219", "west0067", "GD01_b", "Tina_AskCal", "Ragusa16", "lp_e226",
                                  "lpi_itest6", "young1c", "c32", "r2", "s32", "a0", "a01", "a04", "a10", "zero"])
def test_collection_matrices(name, itype):
    A = all_zero(itype) if name == "zero" else load_mtx(name, itype=itype)
    for use_singletons in (True, False):
        F = numeric(A, use_singletons)
        assert_same_results(checked_copy(F), results(F))


@variants
def test_refactorizing_one_leaves_the_other(dtype, itype):
    A = make_matrix(40, 25, dtype, itype, seed=11)
    A2 = A.copy()
    A2.data = A2.data * rand(A2.nnz, dtype, 12)
    F = SPQRFactor(A, use_singletons=True)
    copy = F.copy()
    before = results(copy)
    F.factorize(A2)
    np.testing.assert_allclose(F.solve(A2 @ np.ones(25)), np.ones(25), rtol=1e-9)
    assert_same_results(copy, before)
    after = results(F)
    copy.factorize(A2)
    F.factorize(A)
    assert_same_results(copy, after)
    assert_same_results(F, before)


@variants
def test_symbolic_copy(dtype, itype):
    A = make_matrix(30, 20, dtype, itype, seed=13)
    S = SPQRFactor(A, order="amd")
    copy = checked_copy(S)
    assert copy.rank is None
    second = checked_copy(copy)
    second.factorize(A)
    assert second.is_numeric and not copy.is_numeric and not S.is_numeric
    assert_same_results(second, results(SPQRFactor(A, order="amd").factorize(A)))
    with pytest.raises(ValueError, match="sparsity pattern"):  # the analysed pattern came along
        second.factorize(make_matrix(30, 20, dtype, itype, seed=14))


@needs_test_hooks
@variants
def test_workspace_counters_stay_sane(dtype, itype):
    """The copied blocks are counted in the copy's workspace, which later frees them."""
    A = make_matrix(60, 40, dtype, itype, seed=15)
    copy = SPQRFactor(A, use_singletons=True).copy().copy()
    for _ in range(3):
        copy.factorize(A)  # releases the copied numeric part
        results(copy)
    reference = SPQRFactor(A, use_singletons=True)
    results(reference)
    assert 0 < copy.info.memory <= 4 * reference.info.memory


@rss_measuring
def test_repeated_copies_do_not_leak():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    F = SPQRFactor(load_mtx("young1c"), use_singletons=True)  # about 1 MB of factors
    for _ in range(20):
        F.copy()
    start = rss()
    for k in range(400):
        copy = F.copy()
        if k % 2:  # half of the time the source dies first
            F, copy = copy, F
        del copy
    gc.collect()
    assert rss() - start < 50 * 2**20


def test_refusals_and_subclasses():
    class Tagged(SPQRFactor):
        pass

    F = Tagged(make_matrix(6, 4), use_singletons=True)
    assert type(F.copy()) is SPQRFactor
    assert repr(F.copy()) == repr(F).replace("<Tagged", "<SPQRFactor")
    with pytest.raises(TypeError):
        F.copy(1)
    with pytest.raises(TypeError):
        F.copy(deep=True)
    with pytest.raises(ValueError, match="^cannot copy an SPQRFactor that holds no factorization$"):
        SPQRFactor.__new__(SPQRFactor).copy()
