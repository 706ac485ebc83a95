"""Type names in "Expected str, got X" messages are CPython's own (tp_name,
at most 200 characters), in every build of the extension, the stable-ABI
one included, where tp_name is out of reach and is recovered otherwise.

The reference for a non-integer object is CPython's message for
``operator.index(obj)``, which prints the same tp_name with the same
"%.200s"; integer-like objects have their names written out."""
import array
import collections
import decimal
import fractions
import operator
import re

import numpy as np
import pytest
import scipy.sparse as sp

from orvex.spqr import SPQRFactor, spqr, spqr_qmult
from conftest import make_matrix, variants


class Plain:
    pass


class Outer:
    class Inner:
        pass


class TextLike(str):
    pass


def _long(name):
    return type(name, (), {})()


NON_INTEGERS = [
    1.5, b"QX", ["QX"], ("QX",), {"QX": 1}, 2j, np.float64(1.0), np.str_("QX"), np.bytes_(b"QX"),
    Plain(), Outer.Inner(), TextLike("QX"), collections.deque(),
    collections.OrderedDict(), array.array("d"), decimal.Decimal(1), fractions.Fraction(1, 2),
    sp.csc_array(np.eye(2)), sp.csr_matrix(np.eye(2)), Plain, int, np.float64, lambda: 0, print,
    _long("L" * 99), _long("M" * 100), _long("N" * 150), _long("P" * 250),
]
# Objects with __index__ (whose operator.index message differs).
INTEGERS = [(np.ones(2), "numpy.ndarray"), (1, "int"), (True, "bool"), (np.int32(1), "numpy.int32"), (np.int64(1), "numpy.int64"),
            (np.uint8(1), "numpy.uint8")]


def _tp_name(obj):
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    m = re.fullmatch(r"'(.*)' object cannot be interpreted as an integer", str(info.value), re.S)
    assert m, str(info.value)
    return m.group(1)


def _cases():
    return [pytest.param(o, _tp_name(o), id=f"{type(o).__name__[:12]}-{k}") for k, o in enumerate(NON_INTEGERS)] + \
           [pytest.param(o, name, id=name) for o, name in INTEGERS]


def test_reference_names():
    # The reference itself: module-qualified C types, bare class names, the
    # 200-character cut.
    assert _tp_name(np.float64(1.0)) == "numpy.float64"
    assert _tp_name(collections.deque()) == "collections.deque"
    assert _tp_name(Outer.Inner()) == "Inner"
    assert _tp_name(_long("P" * 250)) == "P" * 200


@pytest.mark.parametrize("obj, name", _cases())
def test_factor_qmult_method_type(obj, name):
    f = SPQRFactor(make_matrix(4, 3, seed=1), use_singletons=True)
    with pytest.raises(TypeError) as info:
        f.qmult(np.ones((4, 2)), obj)
    assert str(info.value) == f"Expected str, got {name}"


@variants
@pytest.mark.parametrize("obj, name", [(np.float64(1.0), "numpy.float64"), (Plain(), "Plain"),
                                       (collections.deque(), "collections.deque"), (np.int64(1), "numpy.int64")])
def test_qmult_method_type_in_every_variant(dtype, itype, obj, name):
    A = make_matrix(5, 3, dtype, itype, seed=2)
    f = SPQRFactor(A)
    f.factorize(A)
    house = spqr(A, mode="householder")[0]
    for call in (lambda: f.qmult(np.ones((5, 2), dtype), obj), lambda: spqr_qmult(house, np.ones((5, 2), dtype), obj)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"Expected str, got {name}"


def test_pending_exception_is_kept():
    # Recovering the name raises and clears an exception internally; an
    # exception that was already being handled stays as it was.
    f = SPQRFactor(make_matrix(4, 3, seed=1), use_singletons=True)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(TypeError, match="^Expected str, got float$") as info:
            f.qmult(np.ones((4, 2)), 1.5)
        assert info.value.__context__ is outer
