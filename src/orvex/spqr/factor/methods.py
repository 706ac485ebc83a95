"""Python-level methods of SPQRFactor.

The factorization object itself is native; these functions give its methods
their exact signatures, defaults and docstrings, and hand the work to the
native code, which looks up everything else in the namespace of
:mod:`orvex.spqr` at the moment of use.
"""

from orvex import _ext

_PICKLE_MESSAGE = (
    "self._cm,self._common,self._factor_di,self._factor_dl,self._factor_zi,"
    "self._factor_zl cannot be converted to a Python object for pickling"
)


def __init__(self, A, *, use_singletons=False, order=None, tol=None):
    _ext.factor_init(self, A, use_singletons, order, tol)


def copy(self):
    return _ext.factor_copy(self)


def factorize(self, A, *, tol=None):
    return _ext.factor_factorize(self, A, tol)


def qmult(self, X, method="QX"):
    return _ext.factor_qmult(self, X, method)


def _qmult_dense(self, method, X):
    return _ext.factor_qmult_dense(self, method, X)


def solve(self, b, *, transpose=False, rhs_batch_size=100):
    return _ext.factor_solve(self, b, transpose, rhs_batch_size)


def _solve_dense(self, b, transpose):
    return _ext.factor_solve_dense(self, b, transpose)


def _check_input_matrix(self, A, itype):
    return _ext.factor_check_input_matrix(self, A, itype)


def __repr__(self):
    state = "numeric" if self.is_numeric else "symbolic"
    return (
        f"<{type(self).__name__} {state} factor of dtype '{self.dtype}' "
        f"with '{self.itype}' indices\n"
        f"    A: shape={self.shape}, rank={self.rank}>"
    )


def __str__(self):
    return self.__repr__()


def __reduce__(self):
    raise TypeError(_PICKLE_MESSAGE)


def __setstate__(self, state):
    raise TypeError(_PICKLE_MESSAGE)


def install(cls, docs):
    """Attach the methods to the native class (module body, once)."""
    methods = {
        "copy": (copy, docs.COPY_DOC),
        "factorize": (factorize, docs.FACTORIZE_DOC),
        "qmult": (qmult, None),
        "_qmult_dense": (_qmult_dense, "Multiply a column-major array by Q (method is SPQR's code)."),
        "solve": (solve, None),
        "_solve_dense": (_solve_dense, "Solve for a column-major dense right-hand side."),
        "_check_input_matrix": (_check_input_matrix, docs.CHECK_INPUT_MATRIX_DOC),
        "__init__": (__init__, docs.SPQRFACTOR_INIT_DOC),
        "__repr__": (__repr__, None),
        "__str__": (__str__, None),
        "__reduce__": (__reduce__, None),
        "__setstate__": (__setstate__, None),
    }
    for name, (function, doc) in methods.items():
        function.__module__ = cls.__module__
        function.__qualname__ = f"{cls.__qualname__}.{name}"
        if doc is not None:
            function.__doc__ = doc
        setattr(cls, name, function)
    cls.__doc__ = docs.SPQRFACTOR_DOC
