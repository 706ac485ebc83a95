"""SPQRFactor construction, symbolic analysis, state and text forms."""
import copy
import gc
import pickle

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from orvex.spqr import SPQRFactor
from conftest import load_mtx, make_matrix, variants

ORDERINGS = ["default", "fixed", "natural", "colamd", "amd", "metis", "best", "cholmod", "bestamd"]
NO_PICKLE = ("self._cm,self._common,self._factor_di,self._factor_dl,self._factor_zi,"
             "self._factor_zl cannot be converted to a Python object for pickling")


def assert_perm(f, n, itype):
    p = f.perm
    assert p.dtype == itype and f.perm is not p
    assert_array_equal(np.sort(p), np.arange(n))


@variants
@pytest.mark.parametrize("shape, rank", [((7, 4), None), ((4, 7), None), ((8, 6), 3)])
def test_symbolic_then_numeric(shape, rank, dtype, itype):
    A = make_matrix(*shape, dtype, itype, rank=rank)
    f = SPQRFactor(A)
    assert (f.is_numeric, f.rank, f.shape, f.itype, f.dtype) == (False, None, shape, itype, dtype)
    assert all(type(d) is int for d in f.shape) and isinstance(f.dtype, np.dtype)
    assert_perm(f, shape[1], itype)
    g = SPQRFactor(A, use_singletons=True)
    assert g.is_numeric is True and type(g.rank) is int
    assert g.rank == np.linalg.matrix_rank(A.toarray()) == (rank or min(shape))
    assert_perm(g, shape[1], itype)


@variants
@pytest.mark.parametrize("name, rank", [("GD01_b", 17), ("Tina_AskCal", 9)])
def test_rank_deficient_matrices(name, rank, dtype, itype):
    A = load_mtx(name, dtype, itype)
    assert np.linalg.matrix_rank(A.toarray()) == rank == SPQRFactor(A, use_singletons=True).rank


@pytest.mark.parametrize("flag", [1, "yes", [0], 0, "", None])
def test_use_singletons_truth_value(flag):
    assert SPQRFactor(make_matrix(6, 4), use_singletons=flag).is_numeric is bool(flag)


@pytest.mark.parametrize("order", ORDERINGS)
def test_every_ordering(order, variant):
    A = make_matrix(30, 20, *variant, density=0.1)
    assert_perm(SPQRFactor(A, order=order), 20, variant[1])
    f = SPQRFactor(A, order=order, use_singletons=True)
    assert f.rank == 20
    assert_perm(f, 20, variant[1])
    if order in ("fixed", "colamd", "amd", "metis"):  # used, not replaced by another
        assert f.info.ordering == order
    if order in ("fixed", "default"):
        assert_array_equal(f.perm, np.arange(20) if order == "fixed" else
                           SPQRFactor(A, use_singletons=True).perm)


def test_unknown_ordering():
    prefix = "Unknown ordering method: bogus. Must be one of {"
    with pytest.raises(ValueError) as exc:
        SPQRFactor(make_matrix(4, 3), order="bogus")
    msg = str(exc.value)
    assert msg.startswith(prefix) and msg.endswith("}.")
    assert eval(msg[len(prefix) - 1:-1]) == set(ORDERINGS)
    assert isinstance(exc.value.__context__, KeyError)
    for order in ("AMD", 5):
        with pytest.raises(ValueError, match=f"^Unknown ordering method: {order}\\. "):
            SPQRFactor(make_matrix(4, 3), order=order)


@pytest.mark.parametrize("tol, rank", [(None, 4), (0, 4), (1e10, 0), (np.float32(1e10), 0),
                                       (type("F", (), {"__float__": lambda s: 1e10})(), 0)])
def test_tolerance(tol, rank):
    assert SPQRFactor(make_matrix(6, 4), tol=tol, use_singletons=True).rank == rank


@pytest.mark.parametrize("args, kwargs", [
    ((1, 1), {}), ((1,), {"ordering": "amd"}), ((), {}), ((1,), {"order": ["amd"]}),
    ((1,), {"tol": "x"}), ((1,), {"tol": [1.0]})])
def test_bad_arguments(args, kwargs):
    A = make_matrix(4, 3)
    with pytest.raises(TypeError):
        SPQRFactor(*(A for _ in args), **kwargs)


@variants
def test_text_forms(dtype, itype):
    A = make_matrix(4, 3, dtype, itype)
    text = "<{} {} factor of dtype '%s' with '%s' indices\n    A: shape=(4, 3), rank={}>" % (dtype, itype)
    f = SPQRFactor(A)
    assert repr(f) == str(f) == text.format("SPQRFactor", "symbolic", None)
    assert repr(f.factorize(A)) == str(f) == text.format("SPQRFactor", "numeric", 3)
    assert repr(SPQRFactor(A=A, use_singletons=True)) == text.format("SPQRFactor", "numeric", 3)

    class Hidden(SPQRFactor):  # rank and the text forms read the instance's attributes
        is_numeric = False

        def __repr__(self):
            return "hidden: " + super().__repr__()

    h = Hidden(A, use_singletons=True)
    assert h.rank is None and str(h) == "hidden: " + text.format("Hidden", "symbolic", None)
    h.tag = 1  # subclass instances have an attribute dictionary


@pytest.mark.parametrize("refuse", [pickle.dumps, copy.copy, lambda f: f.__reduce__(),
                                    lambda f: f.__setstate__(None)])
def test_refuses_pickling(refuse):
    with pytest.raises(TypeError) as exc:
        refuse(SPQRFactor(make_matrix(4, 3), use_singletons=True))
    assert str(exc.value) == NO_PICKLE


@pytest.mark.parametrize("name", ["is_numeric", "shape", "rank", "perm", "itype", "dtype", "info", "other"])
def test_no_assignment(name):
    f = SPQRFactor(make_matrix(4, 3))
    assert not hasattr(f, "__dict__")
    with pytest.raises(AttributeError):
        setattr(f, name, None)


def test_allocated_only():
    f = SPQRFactor.__new__(SPQRFactor)
    assert (f.shape, f.rank, f.is_numeric, f.itype, f.dtype) == ((0, 0), None, False, None, None)
    with pytest.raises(AssertionError) as exc:
        f.perm
    assert exc.value.args == ()
    with pytest.raises(ValueError):  # fails before the workspace is started
        f.__init__(make_matrix(4, 3), order="bogus")
    assert (f.shape, f.itype, f.dtype, f.is_numeric) == ((0, 0), None, None, False)
    del f
    gc.collect()


def test_constructor_called_again():
    f = SPQRFactor(make_matrix(5, 3))
    B = make_matrix(3, 6, np.complex128, np.int64, seed=1)
    f.__init__(B, use_singletons=True)
    assert (f.shape, f.dtype, f.itype, f.is_numeric, f.rank) == ((3, 6), np.complex128, np.int64, True, 3)
    assert_perm(f, 6, np.int64)
    assert_allclose(B @ f.solve(np.arange(1.0, 4.0)), np.arange(1.0, 4.0), atol=1e-12)
    del f
    gc.collect()


@variants
@pytest.mark.parametrize("name, shape", [("a0", (0, 0)), ("a01", (0, 1)), ("a04", (0, 4)), ("a10", (1, 0))])
def test_empty_matrices(name, shape, dtype, itype):
    A = load_mtx(name, dtype, itype)
    f, g = SPQRFactor(A), SPQRFactor(A, use_singletons=True)
    assert (f.shape, f.is_numeric, f.dtype, g.is_numeric, g.rank) == (shape, False, dtype, True, 0)
    assert_perm(f, shape[1], itype)
    assert_perm(g, shape[1], itype)
