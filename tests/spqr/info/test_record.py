import copy
import dataclasses
import datetime
import inspect
import math
import pickle
import weakref
from decimal import Decimal

import numpy as np
import pytest

from orvex.spqr import SPQRInfo, __pyx_unpickle_SPQRInfo as unpickle

FIELDS = ("nnzR_upper_bound", "nnzH_upper_bound", "nf", "rank_A_estimate",
          "n1cols", "n1rows", "ordering", "memory", "flops_upper_bound", "tol",
          "norm_E_fro", "analyze_time", "factorize_time", "solve_time",
          "total_time", "flops")
VALUES = (10, 12, 3, 4, 1, 0, "colamd", 4096, 2**70, 1e-12, 0.5, 0.1, 0.2,
          0.3, 0.6, 2**65)
# Pickled state: fields in alphabetical order.
STATE = (0.1, 0.2, 2**65, 2**70, 4096, 1, 0, 3, 12, 10, 0.5, "colamd", 4, 0.3,
         1e-12, 0.6)


class Tagged(SPQRInfo):
    pass


def filled(cls=SPQRInfo, **changes):
    return cls(**{**dict(zip(FIELDS, VALUES)), **changes})


def test_construction_and_repr():
    assert SPQRInfo(*VALUES) == filled()
    assert tuple(getattr(filled(), f) for f in FIELDS) == VALUES
    assert repr(SPQRInfo()) == "SPQRInfo(%s)" % ", ".join(f"{f}=None" for f in FIELDS)
    assert repr(filled(Tagged)) == "Tagged(%s)" % ", ".join(
        f"{f}={v!r}" for f, v in zip(FIELDS, VALUES))
    params = inspect.signature(SPQRInfo).parameters
    assert tuple(params) == FIELDS and all(p.default is None for p in params.values())


@pytest.mark.parametrize("field, value, expected", [
    ("nf", 3.9, 3), ("nf", True, 1), ("memory", np.int64(7), 7),
    ("flops", Decimal("12.7"), 12), ("tol", 1, 1.0), ("tol", np.float32(0.5), 0.5),
    ("solve_time", True, 1.0),
    ("n1rows", type("I", (), {"__index__": lambda s: 5})(), 5)])
def test_numeric_conversion(field, value, expected):
    stored = getattr(SPQRInfo(**{field: value}), field)
    assert stored == expected and type(stored) is type(expected)


@pytest.mark.parametrize("field, value, exc, message", [
    ("ordering", 5, TypeError, "Expected str, got int"),
    ("ordering", type("S", (str,), {})("x"), TypeError, "Expected str, got S"),
    ("nf", "3", TypeError, "Expected int, got str"),
    ("flops", datetime.date(2000, 1, 1), TypeError, "Expected int, got datetime.date"),
    ("tol", [1.0], TypeError, "Expected float, got list"),
    ("nf", math.nan, ValueError, None), ("memory", 1j, TypeError, None),
    ("tol", 10**400, OverflowError, None)])
def test_conversion_errors(field, value, exc, message):
    with pytest.raises(exc) as info:
        SPQRInfo(**{field: value})
    assert message is None or str(info.value) == message


def test_reinit_stores_in_order_until_failure():
    rec = filled()
    with pytest.raises(TypeError):
        rec.__init__(nf=5, ordering=5)
    assert (rec.nnzR_upper_bound, rec.nf, rec.n1rows, rec.ordering, rec.memory) == (
        None, 5, None, "colamd", 4096)


@pytest.mark.parametrize("name", ["nf", "ordering", "tol", "other"])
def test_read_only(name):
    for action in (lambda r: setattr(r, name, 1), lambda r: delattr(r, name)):
        with pytest.raises(AttributeError):
            action(filled())
    if name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(Tagged(), name, 1)
    else:
        setattr(Tagged(), name, 1)  # subclasses keep an instance dict
    assert not hasattr(filled(), "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(filled())


@pytest.mark.parametrize("field", FIELDS)
def test_equality_and_hash(field):
    assert filled() == filled() and not filled() != filled()
    assert hash(filled()) == hash(filled()) == hash(VALUES)
    changed = filled(**{field: "x" if field == "ordering" else 999})
    assert changed != filled() and not changed == filled()


def test_equality_across_classes_nan_and_ordering():
    assert filled().__eq__(filled(Tagged)) is NotImplemented
    assert filled() != filled(Tagged) and filled() != VALUES
    nan = SPQRInfo(tol=math.nan)
    assert nan != nan and not nan == nan
    with pytest.raises(TypeError):
        filled() < filled()


@pytest.mark.parametrize("rec", [SPQRInfo(), SPQRInfo(nf=1), filled(Tagged)])
@pytest.mark.parametrize("proto", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_copy_round_trip(rec, proto):
    for clone in (pickle.loads(pickle.dumps(rec, proto)), copy.copy(rec),
                  copy.deepcopy(rec)):
        assert clone == rec and type(clone) is type(rec) and clone is not rec


def test_reduce_forms_and_subclass_dict():
    assert filled().__reduce__() == (unpickle, (SPQRInfo, 83760680, None), STATE)
    assert SPQRInfo(flops=0).__reduce__()[1] == (SPQRInfo, 83760680, None)
    assert Tagged().__reduce__() == (unpickle, (Tagged, 83760680, (None,) * 16))
    tagged = Tagged()
    tagged.label = "x"
    assert tagged.__reduce__()[2] == (None,) * 16 + ({"label": "x"},)
    clone = copy.deepcopy(tagged)
    assert clone == tagged and clone.label == "x"


@pytest.mark.parametrize("checksum", [0x4FE1628, 0x7E9E7B5, 0xD5B19E3])
def test_accepted_checksums(checksum):
    assert unpickle(SPQRInfo, checksum, None) == SPQRInfo()
    assert unpickle(__pyx_type=Tagged, __pyx_checksum=checksum,
                    __pyx_state=STATE + ({"a": 1},)).a == 1


@pytest.mark.parametrize("args, exc, match", [
    ((SPQRInfo, 0x1234, None), pickle.PickleError,
     r"^Incompatible checksums \(0x1234 vs \(0x4fe1628, 0x7e9e7b5, 0xd5b19e3\) "
     r"= \(analyze_time, factorize_time, flops, .*, tol, total_time\)\)$"),
    ((SPQRInfo, 0x1234, []), TypeError,
     r"^Argument '__pyx_state' has incorrect type \(expected tuple, got list\)$"),
    ((SPQRInfo, 0x4FE1628, type("T", (tuple,), {})(STATE)), TypeError, "got T"),
    ((SPQRInfo, 0x4FE1628, (None,) * 11 + (5,)), TypeError, "^Expected str, got int$"),
    ((SPQRInfo, 1.0, None), TypeError, None),
    ((SPQRInfo, 2**63, None), OverflowError, None),
    ((SPQRInfo, 0x4FE1628, STATE[:15]), IndexError, None),
    ((SPQRInfo, 0x4FE1628, STATE + ({"a": 1},)), AttributeError, None),
    ((int, 0x4FE1628, None), TypeError, None),
    ((type("P", (), {}), 0x4FE1628, None), TypeError, None)])
def test_unpickle_rejects(args, exc, match):
    with pytest.raises(exc, match=match):
        unpickle(*args)


def test_setstate():
    rec = filled()
    for bad in (None, list(STATE), type("T", (tuple,), {})(STATE)):
        with pytest.raises(TypeError):
            rec.__setstate__(bad)
    with pytest.raises(IndexError):
        rec.__setstate__((1.5, 2, None))
    assert (rec.analyze_time, rec.factorize_time, rec.flops, rec.flops_upper_bound) == (
        1.5, 2.0, None, 2**70)
    rec.__setstate__(STATE + ({}, "ignored"))
    assert rec == filled()


def test_dataclass_functions():
    rec = filled()
    assert dataclasses.is_dataclass(SPQRInfo) and dataclasses.is_dataclass(rec)
    assert [(f.name, f.type) for f in dataclasses.fields(rec)][6:10] == [
        ("ordering", "str | None"), ("memory", "int | None"),
        ("flops_upper_bound", "int | None"), ("tol", "float | None")]
    assert dataclasses.asdict(rec) == dict(zip(FIELDS, VALUES))
    assert dataclasses.astuple(rec) == VALUES
    new = dataclasses.replace(rec, nf=7)
    assert new == filled(nf=7) and rec.nf == 3 and type(new) is SPQRInfo
    match rec:
        case SPQRInfo(10, 12, nf, ordering="colamd"):
            assert nf == 3
        case _:
            pytest.fail("positional pattern did not match")
