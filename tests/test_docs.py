"""The documentation tells the truth: docstring examples run, and what the
docstrings say about orderings, tolerances and permutations holds for every
variant."""
import doctest
import operator
import re

import numpy as np
import pytest
import scipy.sparse as sp

import orvex.rank as rk
import orvex.spqr as mod
import orvex.utils
from orvex.spqr.frame import docs
from conftest import as_csc, make_matrix, variants

# Every public callable (functions and methods) and the documented classes.
CALLABLES = ["spqr", "spqr_factor", "spqr_solve", "spqr_qmult", "SPQRFactor.factorize",
             "SPQRFactor.solve", "SPQRFactor.qmult", "SPQRFactor.copy"]
CLASSES = ["SPQRFactor", "SPQRInfo", "SPQRHouseholder"]


def _doctest(obj, name):
    test = doctest.DocTestParser().get_doctest(obj.__doc__, {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    return runner.summarize(verbose=False), "".join(failures)


@pytest.mark.parametrize("name", CALLABLES + CLASSES + ["validate_csc_input"])
def test_docstring_examples_run(name):
    obj = (orvex.utils.validate_csc_input if name == "validate_csc_input"
           else operator.attrgetter(name)(mod))
    assert "\nExamples\n" in obj.__doc__ or "\n    Examples\n" in obj.__doc__
    (failed, attempted), report = _doctest(obj, name)
    assert attempted >= 5 and failed == 0, report


def _rank_documented():
    """Every public function, class, method and property of orvex.rank but
    the exceptions and warnings."""
    names = []
    for name in rk.__all__:
        obj = getattr(rk, name)
        if isinstance(obj, type) and issubclass(obj, Exception):
            continue
        names.append(name)
        if isinstance(obj, type):
            names += [f"{name}.{attr}" for attr, value in vars(obj).items()
                      if not attr.startswith("_") and (callable(value) or isinstance(value, property))]
    return names


@pytest.mark.parametrize("name", _rank_documented())
def test_rank_docstring_examples_run(name):
    obj = operator.attrgetter(name)(rk)
    assert "\nExamples\n" in obj.__doc__ or "    Examples\n" in obj.__doc__
    (failed, attempted), report = _doctest(obj, name)
    assert attempted >= 3 and failed == 0, report


def test_ordering_names_are_the_accepted_ones():
    with pytest.raises(ValueError) as exc:
        mod.SPQRFactor(make_matrix(3, 3), order="no such ordering")
    accepted = set(re.findall(r"'(\w+)'", str(exc.value).split("Must be one of")[1]))
    names = [name for name, _ in docs.ORDERINGS]
    assert set(names) == accepted and len(names) == len(accepted)
    for doc in (mod.spqr.__doc__, mod.spqr_factor.__doc__):
        assert docs.ORDER_DOC in doc
        listed = re.findall(r"^    \* '(\w+)':", doc.split("order : ")[1].split("tol : ")[0], re.M)
        assert listed == names
    table = [row.split()[0].strip("'") for row in docs.ORDERING_TABLE.splitlines()[3:-1]
             if row.startswith("'")]
    assert table == names and docs.ORDERING_TABLE in mod.SPQRFactor.__doc__


@variants
def test_fixed_ordering_returns_no_permutation(dtype, itype):
    A = make_matrix(7, 4, dtype, itype)
    for mode in ("full", "economic", "r", "householder"):
        result = mod.spqr(A, mode=mode, order="fixed")
        assert result[-1] is None
        R = result[-2]
        if mode != "householder" and mode != "r":
            # E is the identity: Q R reproduces A in its own column order.
            np.testing.assert_allclose((result[0] @ R).toarray(), A.toarray(), atol=1e-12)
    np.testing.assert_array_equal(mod.SPQRFactor(A, order="fixed").perm, np.arange(4))


@variants
def test_zero_tolerance_still_drops_exactly_zero_columns(dtype, itype):
    A = make_matrix(6, 4, dtype, itype).toarray()
    A[:, 2] = 0
    Z = as_csc(A, dtype, itype)
    assert np.linalg.matrix_rank(A) == 3
    assert mod.spqr_factor(Z, tol=0).rank == 3
    assert mod.SPQRFactor(Z, use_singletons=True, tol=0).rank == 3
    R, P = mod.spqr(Z, mode="r", tol=0)
    assert sp.linalg.norm(R[3:, :]) == 0 and P[-1] == 2
    # A column that is tiny but not zero is kept at tol=0, dropped by default.
    A[1, 2] = 1e-200
    T = as_csc(A, dtype, itype)
    assert mod.spqr_factor(T, tol=0).rank == 4
    assert mod.spqr_factor(T).rank == 3


DEPENDENT = np.array([[-2.0, 0.0, -1.0, -2.0], [1.0, 1.0, -1.0, 2.0], [2.0, 1.0, 1.0, 3.0],
                      [0.0, 0.0, 1.0, 0.0], [0.0, -1.0, 0.0, -1.0]])


@variants
@pytest.mark.parametrize("seed", [None, 3, 4])
def test_rank_deficient_permutations(dtype, itype, seed):
    if seed is None:
        A = as_csc(DEPENDENT, dtype, itype)
    else:
        A = make_matrix(9, 6, dtype, itype, density=0.5, seed=seed, rank=4)
    N = A.shape[1]
    f = mod.SPQRFactor(A).factorize(A)
    r = f.rank
    assert r == np.linalg.matrix_rank(A.toarray()) < N
    Q, R, P = mod.spqr(A)
    R = R.toarray()
    # spqr's permutation: R upper trapezoidal, its leading r x r block
    # nonsingular, the dependent columns last.
    np.testing.assert_allclose(Q @ R, A[:, P].toarray(), atol=1e-12)
    assert np.all(np.abs(np.diag(R[:r, :r])) > 1e-8)
    np.testing.assert_allclose(np.tril(R, -1), 0, atol=1e-13)
    np.testing.assert_allclose(R[r:], 0, atol=1e-13)
    assert sorted(P.tolist()) == sorted(f.perm.tolist()) == list(range(N))
    # The factor's own permutation goes with its own Q: Q^H A[:, perm] is
    # upper triangular.
    T = f.qmult(A[:, f.perm].toarray(), "QTX")
    np.testing.assert_allclose(np.tril(T, -1), 0, atol=1e-12)
    if seed is None:
        assert f.perm.tolist() == [1, 3, 0, 2] and P.tolist() == [1, 3, 2, 0]
