"""Allocation failures: every allocation an operation makes through
SuiteSparse (CHOLMOD, SPQR, orvex's own SuiteSparse blocks) is made to fail in
turn, and so is every NumPy data allocation.  Each run ends in success or in
MemoryError (SPQROutOfMemoryError is one), leaks nothing (live SuiteSparse
blocks and the factor's CHOLMOD counters back to their values after a
successful run), and leaves the factor usable: the same operation then gives
the same result.

`make test` sweeps every failure point of every operation in the four
variants; the counts are printed with `pytest -s`.
"""
import gc

import numpy as np
import pytest
import scipy.sparse as sp

import orvex
import orvex.rank as rk
from orvex import _ext
from orvex.spqr import SPQRFactor, spqr, spqr_factor, spqr_qmult, spqr_solve
from conftest import make_matrix, needs_test_hooks, variants

pytestmark = needs_test_hooks

TALL, WIDE = (14, 9), (7, 12)


def counters(f):
    return _ext._workspace_counters(f)[:2] if f is not None else None


def same(a, b, rtol=0.0):
    """`a` equals `b` (to `rtol`: a run that recovered from a failure may have
    taken another blocking)."""
    if isinstance(a, tuple):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same(x, y, rtol)
    elif sp.issparse(a):
        assert sp.issparse(b) and a.shape == b.shape
        np.testing.assert_allclose(a.toarray(), b.toarray(), rtol=rtol, atol=rtol)
    elif isinstance(a, SPQRFactor):
        assert a.shape == b.shape and a.is_numeric == b.is_numeric and a.rank == b.rank
        if a.is_numeric:
            same(a.solve(np.ones(a.shape[0], a.dtype)), b.solve(np.ones(b.shape[0], b.dtype)), rtol)
    elif hasattr(a, "_fields"):                      # SPQRHouseholder
        same(tuple(a), tuple(b), rtol)
    elif a is None or isinstance(a, (int, float)):
        assert a == b
    elif hasattr(a, "rank_A_estimate"):              # SPQRInfo: times differ
        assert (a.rank_A_estimate, a.nnzR_upper_bound, a.flops) == (b.rank_A_estimate, b.nnzR_upper_bound, b.flops)
    else:
        np.testing.assert_allclose(np.asarray(a), np.asarray(b), rtol=rtol, atol=rtol)


def operations(dtype, itype):
    A = make_matrix(*TALL, dtype, itype, rank=7, seed=1)
    W = make_matrix(*WIDE, dtype, itype, seed=2)
    b = np.linspace(1, 2, TALL[0]).astype(dtype)
    B = sp.csc_array(make_matrix(TALL[0], 4, dtype, itype, seed=3))
    X = np.asfortranarray(np.ones((TALL[0], 3), dtype))
    house = spqr(A, mode="householder")[0]
    ops = {  # name: (factor made before the sweep or None, operation)
        "SPQRFactor": (None, lambda f: SPQRFactor(A)),
        "SPQRFactor singletons": (None, lambda f: SPQRFactor(A, use_singletons=True)),
        "__init__ again": ("numeric", lambda f: f.__init__(A, use_singletons=True)),
        "factorize": ("symbolic", lambda f: f.factorize(A)),
        "refactorize": ("numeric", lambda f: f.factorize(A)),
        "solve": ("numeric", lambda f: f.solve(b)),
        "solve transpose": ("numeric", lambda f: f.solve(b[:TALL[1]], transpose=True)),
        "solve matrix": ("numeric", lambda f: f.solve(X)),
        "solve sparse": ("numeric", lambda f: f.solve(B, rhs_batch_size=3)),
        "qmult sparse": ("numeric", lambda f: f.qmult(B, "QTX")),
        "copy": ("numeric", lambda f: f.copy()),
        "copy symbolic": ("symbolic", lambda f: f.copy()),
        "info": ("numeric", lambda f: f.info),
        "spqr_factor": (None, lambda f: spqr_factor(A)),
        "spqr_solve": (None, lambda f: spqr_solve(A, b)),
        "spqr_solve min2norm": (None, lambda f: spqr_solve(W, b[:WIDE[0]])),
        "spqr_qmult": (None, lambda f: spqr_qmult(house, X, "QTX")),
        "spqr_qmult sparse": (None, lambda f: spqr_qmult(house, B, "QX")),
    }
    ops.update({  # orvex.rank: results as arrays, to compare
        "rank_estimate": (None, lambda f: rk.rank_estimate(A).rank),
        "null_space": (None, lambda f: rk.null_space(A).toarray()),
        "basic_solve": (None, lambda f: rk.basic_solve(A, b).x),
        "pinv_solve": (None, lambda f: rk.pinv_solve(A, b).x),
        "cod_solve": (None, lambda f: rk.cod_solve(A, b).x),
    })
    X20 = np.asfortranarray(np.linspace(0, 1, TALL[0] * 20).reshape(TALL[0], 20).astype(dtype))
    for method in ("QX", "QTX", "XQ", "XQT"):
        Xm = X if method in ("QX", "QTX") else np.asfortranarray(X.T)
        ops[f"qmult {method}"] = ("numeric", lambda f, m=method, Xm=Xm: f.qmult(Xm, m))
        ops[f"spqr_qmult {method}"] = (None, lambda f, m=method, Xm=Xm: spqr_qmult(house, Xm, m))
    # Wide operands: SPQR's blocked kernel (narrow ones take orvex's own).
    ops["qmult QTX 20 columns"] = ("numeric", lambda f: f.qmult(X20, "QTX"))
    ops["spqr_qmult QX 20 columns"] = (None, lambda f: spqr_qmult(house, X20, "QX"))
    for mode in ("full", "economic", "r", "householder"):
        ops[f"spqr {mode}"] = (None, lambda f, mode=mode: spqr(A, mode=mode))
    return A, ops


def make_factor(A, kind):
    if kind is None:
        return None
    return spqr_factor(A) if kind == "numeric" else SPQRFactor(A)


def run_sweep(inject, counts, dtype, itype, name, operations=operations):
    A, ops = operations(dtype, itype)
    kind, op = ops[name]
    f = make_factor(A, kind)
    inject(0)
    # Objects of earlier tests that a collection would free meanwhile would
    # change the count of live blocks.
    gc.collect()
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        reference = op(f)
        live = counts()[1] if inject is _ext._fault_injection else None
        ws = counters(f)
        inject(0)
        op(f)
        total = counts()[0]
        outcomes = {"ok": 0, "MemoryError": 0}
        for k in range(1, total + 1):
            inject(k)
            try:
                result = op(f)
                outcomes["ok"] += 1
                inject(0)
                same(result, reference, 1e-12)         # a recovered run is right too
            except MemoryError:
                outcomes["MemoryError"] += 1
            result = None
            inject(0)
            result = op(f)                     # still usable, same result
            same(result, reference)
            result = None
            if live is not None:
                assert counts()[1] == live, f"{name}: failure {k} of {total} leaked"
            assert counters(f) == ws, f"{name}: failure {k} of {total} unbalanced the workspace"
    finally:
        inject(0)
        if gc_was_enabled:
            gc.enable()
    return total, outcomes


NAMES = list(operations(np.dtype(np.float64), np.dtype(np.int32))[1])


@variants
@pytest.mark.parametrize("name", NAMES)
def test_suitesparse_allocation_failures(dtype, itype, name, request):
    total, outcomes = run_sweep(_ext._fault_injection, _ext._fault_counts, dtype, itype, name)
    assert total > 0 or name == "info"
    assert outcomes["MemoryError"] + outcomes["ok"] == total
    if request.config.getoption("capture") == "no":   # make faults
        print(f"\n  {name} [{dtype.name}-{itype.name}]: {total} failure points, "
              f"{outcomes['MemoryError']} MemoryError, {outcomes['ok']} succeeded", end="")


@variants
@pytest.mark.parametrize("name", NAMES)
def test_numpy_allocation_failures(dtype, itype, name):
    total, outcomes = run_sweep(_ext._numpy_fault_injection, _ext._numpy_fault_counts, dtype, itype, name)
    assert outcomes["MemoryError"] + outcomes["ok"] == total


def tree_operations(dtype, itype):
    """Factorizations whose analysis splits the frontal tree into tasks, run
    on two threads: a failure in any allocation of the parallel path (the
    stacks and workspace of every task's stack, the schedule) fails the
    whole factorization cleanly, or SPQR falls back to one stack."""
    from parallel.test_parallel import banded, grid_gradient
    A = grid_gradient(9, dtype, itype)
    W = banded(300, 900, 30, dtype, itype)     # a path of fronts with side subtrees
    b = np.linspace(1, 2, A.shape[0]).astype(dtype)
    ops = {
        "SPQRFactor singletons": (None, lambda f: SPQRFactor(A, use_singletons=True)),
        "path of fronts": (None, lambda f: SPQRFactor(W).factorize(W)),
        "factorize": ("symbolic", lambda f: f.factorize(A)),
        "refactorize": ("numeric", lambda f: f.factorize(A)),
        "copy": ("numeric", lambda f: f.copy()),
        "spqr_solve": (None, lambda f: spqr_solve(A, b)),
        "spqr householder": (None, lambda f: spqr(A, mode="householder")),
        "rank_estimate": (None, lambda f: rk.rank_estimate(A).rank),
    }
    return A, ops


TREE_NAMES = list(tree_operations(np.dtype(np.float64), np.dtype(np.int32))[1])


@pytest.mark.skipif(not orvex.parallel_factorization_available(), reason="no task-tree scheduler in this SuiteSparse")
@variants
@pytest.mark.parametrize("name", TREE_NAMES)
def test_allocation_failures_in_parallel_factorizations(dtype, itype, name):
    threads, grain = orvex.get_num_threads(), _ext._task_grain(4, 0)
    orvex.set_num_threads(2)
    try:
        total, outcomes = run_sweep(_ext._fault_injection, _ext._fault_counts, dtype, itype, name, tree_operations)
        if name not in ("copy", "rank_estimate"):
            assert _ext._last_tree_profile()[0] > 1
    finally:
        _ext._task_grain(*grain)
        orvex.set_num_threads(threads)
    assert total > 0 and outcomes["MemoryError"] + outcomes["ok"] == total


@pytest.mark.parametrize("itype", [np.int32, np.int64])
def test_out_of_memory_is_reported_as_such(itype):
    # Every failure inside SPQR's own code paths comes back as out of memory,
    # never as invalid input, in 32-bit workspaces too.
    from orvex.spqr import SPQRInvalidInputError
    A = make_matrix(*TALL, itype=itype, rank=7)
    for op in (lambda: SPQRFactor(A, use_singletons=True), lambda: spqr(A, mode="householder"),
               lambda: spqr(A, mode="full")):
        _ext._fault_injection(0)
        op()
        total = _ext._fault_counts()[0]
        for k in range(1, total + 1):
            _ext._fault_injection(k)
            try:
                op()
            except SPQRInvalidInputError:
                pytest.fail(f"failure {k} of {total} reported as invalid input")
            except MemoryError:
                pass
            finally:
                _ext._fault_injection(0)


@variants
def test_failures_print_nothing(dtype, itype, capfd):
    # SuiteSparse's own messages are off: the exception carries the message.
    A, _ = operations(dtype, itype)
    for k in (1, 2, 5):
        _ext._fault_injection(k)
        try:
            with pytest.raises(MemoryError):
                spqr(A, mode="householder")
        finally:
            _ext._fault_injection(0)
    out, err = capfd.readouterr()
    assert "CHOLMOD" not in out + err and "SPQR" not in out + err
