"""The ``SPQRInfo`` statistics record and its pickle support.

``SPQRInfo`` is an immutable value type that behaves like a frozen dataclass.
It is written by hand rather than with ``@dataclass`` because its attribute
conversion, equality, pickle layout and error messages are fixed by the
native module that re-exports it as ``orvex.spqr.SPQRInfo``.  The native side
fills a record by creating ``SPQRInfo()`` and storing each field with
``object.__setattr__``.
"""

import dataclasses
import inspect
import operator
import pickle
import sys

# (name, kind) in declaration order.  The order governs the constructor's
# positional parameters, repr, equality, hashing and the dataclass field table.
_FIELD_TABLE = (
    ("nnzR_upper_bound", "int"), ("nnzH_upper_bound", "int"), ("nf", "int"),
    ("rank_A_estimate", "int"), ("n1cols", "int"), ("n1rows", "int"),
    ("ordering", "str"), ("memory", "int"), ("flops_upper_bound", "int"),
    ("tol", "float"), ("norm_E_fro", "float"), ("analyze_time", "float"),
    ("factorize_time", "float"), ("solve_time", "float"),
    ("total_time", "float"), ("flops", "int"),
)

_FIELD_NAMES = tuple(name for name, _ in _FIELD_TABLE)
_FIELD_KINDS = dict(_FIELD_TABLE)

# The pickled state lists the fields alphabetically (by code point).
_STATE_NAMES = tuple(sorted(_FIELD_NAMES))

_PICKLE_CHECKSUM = 0x4FE1628
_ACCEPTED_CHECKSUMS = (0x4FE1628, 0x7E9E7B5, 0xD5B19E3)

_UNPICKLE_NAME = "__pyx_unpickle_SPQRInfo"
_PUBLIC_MODULE = "orvex.spqr"

_Py_TPFLAGS_HEAPTYPE = 1 << 9


def _tp_name(tp):
    """Name of the type ``tp`` as the C API reports it (``tp_name``).

    Types defined in C carry their module in that name ("numpy.ndarray"),
    except built-ins; classes created at run time carry only their own name.
    """
    if not tp.__flags__ & _Py_TPFLAGS_HEAPTYPE and tp.__module__ != "builtins":
        return f"{tp.__module__}.{tp.__name__}"
    return tp.__name__


def _type_name(obj):
    return _tp_name(type(obj))


def _is_numeric(value):
    tp = type(value)
    return (hasattr(tp, "__index__") or hasattr(tp, "__int__")
            or hasattr(tp, "__float__") or isinstance(value, complex))


def _to_int(value):
    if value is None or type(value) is int:
        return value
    if _is_numeric(value):
        return int(value)
    raise TypeError("Expected %.200s, got %.200s" % ("int", _type_name(value)))


def _to_float(value):
    if value is None or type(value) is float:
        return value
    if type(value) is int or _is_numeric(value):
        return float(value)
    raise TypeError("Expected %.200s, got %.200s" % ("float", _type_name(value)))


def _to_str(value):
    if value is None or type(value) is str:
        return value
    raise TypeError("Expected %s, got %.200s" % ("str", _type_name(value)))


_CONVERTERS = {"int": _to_int, "float": _to_float, "str": _to_str}


def _store(record, name, value):
    object.__setattr__(record, name, _CONVERTERS[_FIELD_KINDS[name]](value))


def _apply_state(record, state):
    # Fields are stored one by one, so a short tuple leaves the earlier
    # fields updated when the IndexError for the first missing one is raised.
    for index, name in enumerate(_STATE_NAMES):
        _store(record, name, state[index])
    if len(state) > len(_STATE_NAMES) and state[len(_STATE_NAMES)]:
        record.__dict__.update(state[len(_STATE_NAMES)])


def _incorrect_type(argument, value):
    return TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (argument, "tuple", _type_name(value)))


class SPQRInfo:
    """A dataclass to hold SPQR info statistics.

    Attributes
    ----------
    nnzR_upper_bound : int
        bound on the number of nonzeros in R
    nnzH_upper_bound : int
        bound on the number of nonzeros in H
    nf : int
        number of frontal matrices
    rank_A_estimate : int
        estimated rank of A
    n1cols : int
        number of singleton columns
    n1rows : int
        number of singleton rows
    ordering : str
        ordering method used
    memory : int
        memory usage in bytes
    flops_upper_bound : int
        upper bound on the flop count, excluding the backsolve
    tol : float
        column-norm tolerance used
    norm_E_fro : float
        norm of the dropped diagonal of R
    analyze_time : float
        seconds taken by the symbolic analysis
    factorize_time : float
        seconds taken by the numeric factorization, including applying the transpose of Q
    solve_time : float
        seconds taken by the backsolve with R only
    total_time : float
        total seconds
    flops : int
        actual flops of the factorization and solve, including the backsolve

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
    >>> info = spqr_factor(A).info
    >>> info.rank_A_estimate, info.ordering
    (3, 'colamd')
    >>> info.nnzR_upper_bound >= 6 and info.memory > 0
    True

    Records are immutable values that compare by their fields:

    >>> import dataclasses
    >>> dataclasses.replace(info, flops=0) == info
    False
    >>> info.rank_A_estimate = 2
    Traceback (most recent call last):
        ...
    AttributeError: attribute 'rank_A_estimate' of 'SPQRInfo' objects is not writable
    """

    __module__ = _PUBLIC_MODULE
    __slots__ = _FIELD_NAMES

    def __new__(cls, *args, **kwargs):
        # Every field starts as None, also for records made by the unpickler,
        # which bypasses __init__.
        if not isinstance(cls, type):
            raise TypeError("SPQRInfo.__new__(X): X is not a type object (%s)"
                            % _type_name(cls))
        if not issubclass(cls, SPQRInfo):
            raise TypeError("SPQRInfo.__new__(%s): %s is not a subtype of "
                            "SPQRInfo" % (_tp_name(cls), cls.__name__))
        record = object.__new__(cls)
        for name in _FIELD_NAMES:
            object.__setattr__(record, name, None)
        return record

    def __init__(self, nnzR_upper_bound=None, nnzH_upper_bound=None, nf=None,
                 rank_A_estimate=None, n1cols=None, n1rows=None, ordering=None,
                 memory=None, flops_upper_bound=None, tol=None, norm_E_fro=None,
                 analyze_time=None, factorize_time=None, solve_time=None,
                 total_time=None, flops=None):
        values = (nnzR_upper_bound, nnzH_upper_bound, nf, rank_A_estimate,
                  n1cols, n1rows, ordering, memory, flops_upper_bound, tol,
                  norm_E_fro, analyze_time, factorize_time, solve_time,
                  total_time, flops)
        for name, value in zip(_FIELD_NAMES, values):
            _store(self, name, value)

    def __setattr__(self, name, value):
        if name in _FIELD_KINDS:
            raise AttributeError("attribute '%s' of '%s' objects is not writable"
                                 % (name, type(self).__name__))
        # Only subclasses have an instance dictionary to receive other names.
        object.__setattr__(self, name, value)

    def __delattr__(self, name):
        if name in _FIELD_KINDS:
            raise AttributeError("attribute '%s' of '%s' objects is not writable"
                                 % (name, type(self).__name__))
        object.__delattr__(self, name)

    def __repr__(self):
        cls = type(self)
        cls_name = getattr(cls, "__qualname__", None) or cls.__name__
        body = ", ".join(f"{name}={getattr(self, name)!r}"
                         for name in _FIELD_NAMES)
        return f"{cls_name}({body})"

    def __eq__(self, other):
        if other.__class__ is not self.__class__:
            return NotImplemented
        for name in _FIELD_NAMES:
            if getattr(self, name) != getattr(other, name):
                return False
        return True

    def __ne__(self, other):
        result = self.__eq__(other)
        if result is NotImplemented:
            return result
        return not result

    def __hash__(self):
        return hash(tuple(getattr(self, name) for name in _FIELD_NAMES))

    def __reduce__(self):
        state = tuple(getattr(self, name) for name in _STATE_NAMES)
        instance_dict = getattr(self, "__dict__", None)
        if instance_dict:
            state += (instance_dict,)
            three_item = True
        else:
            three_item = any(value is not None for value in state)
        # Resolved at call time so pickles name whatever the public module
        # binds; falls back to ours when that module is not loaded.
        public = sys.modules.get(_PUBLIC_MODULE)
        unpickle = (getattr(public, _UNPICKLE_NAME) if public is not None
                    else globals()[_UNPICKLE_NAME])
        if three_item:
            return unpickle, (type(self), _PICKLE_CHECKSUM, None), state
        return unpickle, (type(self), _PICKLE_CHECKSUM, state)

    def __setstate__(self, state):
        if type(state) is not tuple:
            raise _incorrect_type("state", state)
        _apply_state(self, state)


def __pyx_unpickle_SPQRInfo(__pyx_type, __pyx_checksum, __pyx_state):
    """Rebuild an ``SPQRInfo`` (or subclass) record from its pickled state."""
    checksum = operator.index(__pyx_checksum)
    if not -(1 << 63) <= checksum < (1 << 63):
        raise OverflowError("Python int too large to convert to C long")
    if __pyx_state is not None and type(__pyx_state) is not tuple:
        raise _incorrect_type("__pyx_state", __pyx_state)
    if checksum not in _ACCEPTED_CHECKSUMS:
        raise pickle.PickleError(
            "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))"
            % ((checksum,) + _ACCEPTED_CHECKSUMS + (", ".join(_STATE_NAMES),)))
    record = SPQRInfo.__new__(__pyx_type)
    if __pyx_state is not None:
        _apply_state(record, __pyx_state)
    return record


__pyx_unpickle_SPQRInfo.__module__ = _PUBLIC_MODULE

_ANNOTATIONS = {"int": "int | None", "float": "float | None",
                "str": "str | None"}


def _attach_dataclass_metadata(cls):
    """Describe ``cls`` to the ``dataclasses`` module as a frozen dataclass.

    The behaviour itself is implemented by the class; this only lets
    ``fields``, ``asdict``, ``astuple``, ``replace`` and ``is_dataclass``
    recognise it.
    """
    wanted = dict(init=True, repr=True, eq=True, order=False,
                  unsafe_hash=False, frozen=True, match_args=True,
                  kw_only=False, slots=False, weakref_slot=False)
    accepted = inspect.signature(dataclasses._DataclassParams).parameters
    cls.__dataclass_params__ = dataclasses._DataclassParams(
        **{key: value for key, value in wanted.items() if key in accepted})

    fields = {}
    for name, kind in _FIELD_TABLE:
        field = dataclasses.field(repr=True, hash=None, init=True, compare=True,
                                  metadata=None, default=None)
        field.name = name
        field.type = _ANNOTATIONS[kind]
        field._field_type = dataclasses._FIELD
        fields[name] = field
    cls.__dataclass_fields__ = fields
    cls.__match_args__ = _FIELD_NAMES
    # The catch-all __new__ would otherwise hide the constructor's parameters.
    init = inspect.signature(cls.__init__)
    cls.__signature__ = init.replace(parameters=list(init.parameters.values())[1:])
