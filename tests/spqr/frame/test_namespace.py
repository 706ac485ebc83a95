"""Namespace, docstrings, defaults and error classes of orvex.spqr."""
import builtins
import inspect
import operator
import warnings

import numpy as np
import pytest

import orvex.spqr as mod
from orvex._ext import _check_status
from conftest import make_matrix

ALL = ["SPQRError", "SPQRNotInstalledError", "SPQROutOfMemoryError", "SPQROverflowError",
       "SPQRInvalidInputError", "SPQRGpuProblemError", "SPQRFactor", "spqr_factor", "spqr_solve"]
UNKNOWN = "An unknown SPQR error occurred."


def test_public_namespace():
    assert mod.__all__ == ALL
    ns = {}
    exec("from orvex.spqr import *", ns)
    assert sorted(set(ns) - {"__builtins__"}) == sorted(ALL)
    for name in ("spqr", "spqr_qmult", "SPQRInfo", "SPQRHouseholder", "SPQRWarning",
                 "SPQRRankDeficiencyWarning"):
        assert hasattr(mod, name) and name not in ns
    for name in ("_ERROR_MAP", "_ORDERING_MAP", "_ORDERING_NAMES"):
        assert not hasattr(mod, name)


@pytest.mark.parametrize("name, bases, doc", [
    ("SPQRWarning", "Warning", "Base class for SPQR warnings."),
    ("SPQRRankDeficiencyWarning", "SPQRWarning", "Raised when SPQR detects a rank-deficient matrix."),
    ("SPQRError", "Exception", "Base class for SPQR exceptions."),
    ("SPQRNotInstalledError", "SPQRError", "Raised when the SPQR library is not installed."),
    ("SPQROutOfMemoryError", "MemoryError SPQRError", "Raised when SPQR runs out of memory."),
    ("SPQROverflowError", "SPQRError", "Raised when SPQR encounters an integer overflow."),
    ("SPQRInvalidInputError", "SPQRError", "Raised when SPQR receives invalid input."),
    ("SPQRGpuProblemError", "SPQRError", "Raised when SPQR encounters a problem with CUDA.")])
def test_error_and_warning_classes(name, bases, doc):
    cls = getattr(mod, name)
    assert cls.__bases__ == tuple(getattr(mod, b, None) or getattr(builtins, b) for b in bases.split())
    assert cls.__doc__ == doc and cls.__module__ == "orvex.spqr"
    assert set(vars(cls)) <= {"__module__", "__doc__", "__dict__", "__weakref__",
                              "__firstlineno__", "__static_attributes__"}
    if name == "SPQROutOfMemoryError":
        assert cls.__mro__ == (cls, MemoryError, mod.SPQRError, Exception, BaseException, object)


@pytest.mark.parametrize("status, cls, text", [
    (-1, "SPQRNotInstalledError", "SPQR library is not installed or not found."),
    (-2, "SPQROutOfMemoryError", "SPQR ran out of memory."),
    (-3, "SPQROverflowError", "SPQR encountered an integer overflow."),
    (-4, "SPQRInvalidInputError", "SPQR received invalid input."),
    (-5, "SPQRGpuProblemError", "SPQR encountered a problem with CUDA."),
    (1, "SPQRError", UNKNOWN), (2, "SPQRError", UNKNOWN), (-6, "SPQRError", UNKNOWN)])
def test_status_raises_mapped_error(status, cls, text):
    with pytest.raises(mod.SPQRError) as exc:
        _check_status(status)
    assert type(exc.value) is getattr(mod, cls)
    assert exc.value.args == (f"{text} (code {status})",)


def test_status_ok_and_lookups(monkeypatch):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert _check_status(0) == 0
    with pytest.raises(MemoryError):
        _check_status(-2)
    with pytest.raises(RuntimeError):  # the status table is bound once, by the module body
        mod._native._bind_namespace(vars(mod), {-2: (UserWarning, "replaced")})
    with pytest.raises(MemoryError):
        _check_status(-2)
    custom = type("Custom", (Exception,), {})  # the fallback class is looked up by name
    monkeypatch.setattr(mod, "SPQRError", custom)
    with pytest.raises(custom, match=r"\(code 7\)$"):
        _check_status(7)


def test_householder_tuple():
    H = mod.SPQRHouseholder
    assert H._fields == ("H", "tau", "perm") and H._field_defaults == {}
    h = H(1, 2, 3)
    a, b, c = h
    assert h == (1, 2, 3) and isinstance(h, tuple) and (a, b, c) == (h.H, h.tau, h.perm)
    with pytest.raises(TypeError):
        H(1, 2)
    assert H.__module__ == "orvex.spqr"
    assert H.__doc__.startswith("A class to hold the Householder representation of Q.")
    for text in ("~numpy.ndarray of float", "~numpy.ndarray of int", "The Householder coefficients.",
                 "The Householder vectors stored in a sparse matrix.", "The column permutation vector."):
        assert text in H.__doc__
    assert H.__annotations__ == {"H": "~scipy.sparse.csc_array", "tau": "~numpy.ndarray",
                                 "perm": "~numpy.ndarray"}
    assert str(inspect.signature(H)) == ("(H: '~scipy.sparse.csc_array', tau: '~numpy.ndarray', "
                                         "perm: '~numpy.ndarray')")


@pytest.mark.parametrize("path, positional, kwdefaults", [
    ("spqr_solve", "A b", {"transpose": False, "min2norm": True, "rhs_batch_size": 100}),
    ("spqr_factor", "A", {"use_singletons": False, "order": None, "tol": None}),
    ("spqr", "A", {"mode": "full", "order": None, "tol": None}),
    ("spqr_qmult", "house X method", None),
    ("SPQRFactor.__init__", "self A", {"use_singletons": False, "order": None, "tol": None}),
    ("SPQRFactor.factorize", "self A", {"tol": None}),
    ("SPQRFactor.qmult", "self X method", None),
    ("SPQRFactor.solve", "self b", {"transpose": False, "rhs_batch_size": 100}),
    ("SPQRFactor.copy", "self", None)])
def test_signatures_and_defaults(path, positional, kwdefaults):
    func = operator.attrgetter(path)(mod)
    code, kw = func.__code__, list(kwdefaults or ())
    names = code.co_varnames[:code.co_argcount + code.co_kwonlyargcount]
    assert (names, code.co_argcount) == (tuple(positional.split() + kw), len(positional.split()))
    defaults = ("QX",) if "method" in positional else None
    assert (func.__defaults__, func.__kwdefaults__) == (defaults, kwdefaults)


def test_docstrings():
    f_solve, m_solve = mod.spqr_solve.__doc__, mod.SPQRFactor.solve.__doc__
    f_qmult, m_qmult = mod.spqr_qmult.__doc__, mod.SPQRFactor.qmult.__doc__
    assert "A : (M, N) array_like or sparse array\n    An array convertible to a sparse matrix." in f_solve
    assert "min2norm : bool" in f_solve and "A : (M, N)" not in m_solve and "min2norm" not in m_solve
    assert "house : SPQRHouseholder or tuple" in f_qmult and "house :" not in m_qmult
    see_also = "SPQRFactor, spqr_factor, spqr, spqr_solve"
    assert see_also in f_qmult.splitlines() and see_also + ", spqr_qmult" in m_qmult.splitlines()
    for doc in (f_solve, m_solve):
        assert doc.startswith("\nSolve a linear system using the SPQR factorization.")
        assert "SPQRFactor, spqr_factor, spqr, spqr_qmult" in doc.splitlines() and "^{" in doc
    for doc in (f_qmult, m_qmult):
        assert doc.startswith("\nMultiply by `Q` using the Householder representation.")
    for doc in (f_solve, m_solve, f_qmult, m_qmult):
        assert not any(s in doc for s in ("{{", "}}", "{A_doc}", "{min2norm}", "{house_doc}", "{see_also}"))
    assert mod.SPQRFactor.__doc__.startswith(
        "The main object used for creating and manipulating SPQR factorizations.")
    assert mod.SPQRFactor.__init__.__doc__ == (
        "Initialize the SPQRFactor object and perform symbolic analysis.")


def test_module_docstring():
    doc = mod.__doc__
    lines = doc.strip("\n").splitlines()
    assert lines[1] == "Sparse QR Decomposition (:mod:`orvex.spqr`)" and set(lines[0] + lines[2]) == {"="}
    entries = [".. currentmodule:: orvex.spqr", "versionadded", "Function Interface", "spqr - ",
               "spqr_qmult - ", "spqr_solve - ", "SPQRHouseholder - ", "Object Interface",
               "spqr_factor - ", "SPQRFactor - ", "SPQRInfo - ", "Warnings and Exceptions",
               *(f"   {name}\n" for name in ["SPQRWarning", "SPQRRankDeficiencyWarning"] + ALL[:6]),
               "References"]
    positions = [doc.find(e) for e in entries]
    assert -1 not in positions and positions == sorted(positions)


def test_validation_looked_up_at_call_time(monkeypatch):
    seen, real = [], mod.validate_csc_input

    def first_two_columns(A):
        seen.append(A)
        return real(A[:, :2])

    monkeypatch.setattr(mod, "validate_csc_input", first_two_columns)
    A = make_matrix(5, 3)
    assert mod.SPQRFactor(A).shape == (5, 2) and seen == [A]
    assert mod.spqr_solve(A, np.ones(5)).shape == (2,) and len(seen) == 3 and seen[1] is A
