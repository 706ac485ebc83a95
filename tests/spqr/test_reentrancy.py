"""Python code that runs during a call: hooks, conversions, subclasses and
rebound module attributes that mutate, resize or drop the arrays just handed
over, or re-enter the factor in use.  Each ends in a Python exception or a
correct result, and never changes what SPQR reads behind its back."""
import warnings

import numpy as np
import pytest
import scipy.sparse as sp

import orvex.spqr as spqr_mod
from orvex.spqr import SPQRFactor, SPQRRankDeficiencyWarning, spqr, spqr_factor, spqr_qmult
from conftest import make_matrix, variants

BUSY = "SPQRFactor is in use"


def lstsq(A, b):
    return np.linalg.lstsq(A.toarray(), b, rcond=None)[0]


@pytest.fixture
def rebind(monkeypatch):
    """Rebind a name of orvex.spqr's namespace for one test."""
    return lambda name, value: monkeypatch.setattr(spqr_mod, name, value)


def hook_warnings(monkeypatch, action):
    """Run `action` from the warnings display (showwarning) of every warning."""
    def show(*args, **kwargs):
        action()
    monkeypatch.setattr(warnings, "showwarning", show)
    warnings.simplefilter("always")


# ---- re-entering the factor in use ---------------------------------------------------

@variants
def test_reinit_from_tolerance_warning_is_refused(dtype, itype, monkeypatch):
    A, other = make_matrix(12, 8, dtype, itype), make_matrix(20, 5, dtype, itype, seed=4)
    f = spqr_factor(A)
    with warnings.catch_warnings():
        hook_warnings(monkeypatch, lambda: f.__init__(other))
        with pytest.raises(RuntimeError, match=BUSY):
            f.factorize(A, tol=0.25)
    b = np.ones(12, dtype)
    np.testing.assert_allclose(f.solve(b), lstsq(A, b), atol=1e-10)
    assert f.shape == (12, 8)


@variants
def test_reinit_from_rank_warning_is_refused_and_use_is_allowed(dtype, itype, monkeypatch):
    A = make_matrix(10, 6, dtype, itype, rank=3)
    f = spqr_factor(A)
    b = np.arange(10, dtype=dtype)
    expected = f.solve(b)
    inner = []

    def use():
        if not inner:   # the inner solve warns too
            inner.append(None)
            inner.append((f.solve(b), f.qmult(b, "QTX"), f.rank, f.info.rank_A_estimate))

    with warnings.catch_warnings():
        # Using the factor from the hook is fine; changing it is refused.
        hook_warnings(monkeypatch, use)
        np.testing.assert_array_equal(f.solve(b), expected)
        x, y, rank, estimate = inner[1]
        np.testing.assert_array_equal(x, expected)
        assert rank == estimate == f.rank == 3
        hook_warnings(monkeypatch, lambda: f.__init__(make_matrix(3, 3, dtype, itype)))
        with pytest.raises(RuntimeError, match=BUSY):
            f.solve(b)
        hook_warnings(monkeypatch, lambda: f.factorize(A))
        with pytest.raises(RuntimeError, match=BUSY):
            f.solve(b)
    assert f.shape == (10, 6) and f.is_numeric


class ReinitOnAstype(np.ndarray):
    """astype re-initialises the factor (set as `factor` on the class)."""
    factor = None
    matrix = None

    def astype(self, *args, **kwargs):
        type(self).factor.__init__(type(self).matrix)
        return np.asarray(self).astype(*args, **kwargs)


@variants
def test_astype_reinitialising_the_factor(dtype, itype):
    A = make_matrix(8, 5, dtype, itype)
    f = spqr_factor(A)
    ReinitOnAstype.factor = f
    ReinitOnAstype.matrix = sp.csc_array((3, 3), dtype=dtype)   # SPQR would reject nothing here
    b = np.ones(8, np.int8).view(ReinitOnAstype)
    with pytest.raises(RuntimeError, match=BUSY):
        f.solve(b)
    np.testing.assert_allclose(f.solve(np.ones(8, dtype)), lstsq(A, np.ones(8)), atol=1e-10)


def test_check_input_matrix_override_reentering(dtype=np.float64):
    A = make_matrix(9, 4)

    class Sub(SPQRFactor):
        def _check_input_matrix(self, M, itype):
            self.seen = self.shape, self.rank       # reading is fine
            self.__init__(make_matrix(3, 2))        # changing is refused

    f = Sub(A)
    with pytest.raises(RuntimeError, match=BUSY):
        f.factorize(A)
    assert f.seen == ((9, 4), None) and not f.is_numeric
    f.__init__(A)   # nothing is in use now
    assert f.shape == (9, 4)


# ---- arguments whose conversions change the matrix after it was checked -----------------

class Mutating:
    """A number or name whose conversion (or hash and comparison) runs `act`."""
    def __init__(self, act, value):
        self.act, self.value = act, value

    def __float__(self):
        self.act()
        return float(self.value)

    def __hash__(self):
        self.act()
        return hash(self.value)

    def __eq__(self, other):
        self.act()
        return self.value == other


def corrupters(A):
    def out_of_range():
        A.indices[0] = A.shape[0] + 7

    def nan():
        A.data[0] = np.nan

    def pattern():
        A.indices[[0, 1]] = A.indices[[1, 0]] if A.indptr[1] > 1 else A.indices[[0, 1]]
        A.indptr[1] -= 1

    return {"out of range": out_of_range, "nan": nan, "pattern": pattern}


@variants
@pytest.mark.parametrize("kind", ["out of range", "nan", "pattern"])
def test_tol_conversion_corrupting_A(dtype, itype, kind):
    # Another pattern is only wrong for a refactorization.
    for call in ("factorize",) if kind == "pattern" else ("init", "factorize", "spqr"):
        A = make_matrix(10, 6, dtype, itype, density=0.5)
        f = SPQRFactor(A.copy()) if call == "factorize" else None
        if call == "factorize":
            f.factorize(A)
        original = A.copy()
        tol = Mutating(corrupters(A)[kind], 0.0)
        if call == "factorize" and kind != "nan":
            # A refactorization takes its own copy of the structure before
            # the tolerance is converted: it factorizes the matrix as given.
            f.factorize(A, tol=tol)
            b = np.arange(1.0, 11.0)
            np.testing.assert_allclose(f.solve(b), SPQRFactor(original, tol=0.0).factorize(original).solve(b),
                                       rtol=1e-10, atol=1e-12)
            continue
        with pytest.raises(ValueError):
            if call == "init":
                SPQRFactor(A, tol=tol)
            elif call == "factorize":
                f.factorize(A, tol=tol)
            else:
                spqr(A, tol=tol)


@variants
def test_order_and_mode_writing_nan(dtype, itype):
    A = make_matrix(10, 6, dtype, itype)
    for call, name in ((lambda o: SPQRFactor(A, order=o), "amd"), (lambda o: spqr(A, order=o), "amd"),
                       (lambda o: spqr(A, mode=o), "economic")):
        A = make_matrix(10, 6, dtype, itype)
        with pytest.raises(ValueError, match="NaN"):
            call(Mutating(corrupters(A)["nan"], name))


# ---- subclasses whose array properties hand out temporaries ---------------------------

def fresh_copy(name):
    """A property whose every read returns a new copy of the stored array."""
    return property(lambda self: getattr(self, "_" + name).copy(),
                    lambda self, v: setattr(self, "_" + name, v))


class FreshArrays(sp.csc_array):
    """indptr, indices and data return a new copy on every access."""
    indices = fresh_copy("indices")
    indptr = fresh_copy("indptr")
    data = fresh_copy("data")


def fresh(A):
    F = FreshArrays(A.shape, dtype=A.dtype)
    F.indptr, F.indices, F.data = A.indptr.copy(), A.indices.copy(), A.data.copy()
    return F


@variants
def test_temporaries_from_array_properties(dtype, itype):
    A = make_matrix(14, 9, dtype, itype)
    Af = fresh(A)
    f = SPQRFactor(Af)
    f.factorize(Af)
    b = np.linspace(1, 2, 14).astype(dtype)
    np.testing.assert_allclose(f.solve(b), lstsq(A, b), atol=1e-10)
    B = fresh(make_matrix(14, 3, dtype, itype, seed=5))
    np.testing.assert_allclose(f.solve(B).toarray(), lstsq(A, B.toarray()), atol=1e-10)
    np.testing.assert_allclose(f.qmult(B, "QTX").toarray(), f.qmult(B.toarray(), "QTX"), atol=1e-12)
    Q, R, E = spqr(Af, mode="economic")
    np.testing.assert_allclose((Q @ R).toarray(), A.toarray()[:, E], atol=1e-10)


# ---- values returned by Python calls are checked before native code uses them -----------

class Lying(np.ndarray):
    """astype returns whatever `result` says."""
    result = None

    def astype(self, *args, **kwargs):
        return type(self).result(np.asarray(self))  # noqa


@variants
@pytest.mark.parametrize("result, exc", [
    (lambda a, dt: 7, TypeError),
    (lambda a, dt: a.astype(np.float32), TypeError),
    (lambda a, dt: a.astype(np.complex64), TypeError),
    (lambda a, dt: a.astype(dt)[:-1], ValueError),
    (lambda a, dt: a.astype(dt).reshape(1, -1), TypeError),
    (lambda a, dt: np.zeros((a.shape[0], 3), dt), TypeError),
])
def test_astype_returning_the_wrong_thing(dtype, itype, result, exc):
    f = spqr_factor(make_matrix(6, 4, dtype, itype))
    Lying.result = staticmethod(lambda a: result(a, dtype))
    b = np.ones(6, np.int16).view(Lying)
    with pytest.raises(exc):
        f.solve(b)


class ClaimsFloat64(np.ndarray):
    @property
    def dtype(self):
        return np.dtype(np.float64)


def test_dtype_property_lying_to_qmult():
    f = spqr_factor(make_matrix(6, 4))
    X = np.ones((6, 2), np.float32, order="F").view(ClaimsFloat64)
    with pytest.raises(TypeError):
        f.qmult(X)


class ClaimsShape(np.ndarray):
    @property
    def shape(self):
        return (6, 2)

    @property
    def ndim(self):
        return 2


@variants
def test_shape_property_lying_to_qmult(dtype, itype):
    f = spqr_factor(make_matrix(6, 4, dtype, itype))
    X = np.ones((3, 2), dtype, order="F").view(ClaimsShape)
    with pytest.raises(ValueError):
        f.qmult(X)


@variants
def test_rebound_numpy_returning_garbage(dtype, itype, rebind):
    f = spqr_factor(make_matrix(6, 4, dtype, itype))
    b = np.ones((6, 2), dtype)   # C-ordered: asfortranarray is called

    class FakeNumpy:
        can_cast = staticmethod(np.can_cast)

        @staticmethod
        def asfortranarray(a):
            return np.ones(3, np.int8)

    rebind("np", FakeNumpy)
    with pytest.raises(TypeError):
        f.solve(b)
    with pytest.raises(TypeError):
        f.qmult(b)


# ---- rebound converters --------------------------------------------------------------

@variants
def test_rebound_converter(dtype, itype, rebind):
    A = make_matrix(9, 5, dtype, itype)
    native = spqr_mod._cholmod_sparse_from_csc
    b = np.ones(9, dtype)

    rebind("_cholmod_sparse_from_csc", lambda *args: None)          # leaves the header empty
    with pytest.raises(ValueError):
        SPQRFactor(A)

    def copies(shape, p, i, x, stype, address):                    # arrays that die on return
        native(shape, p.copy(), i.copy(), x.copy(), stype, address)
    rebind("_cholmod_sparse_from_csc", copies)
    f = spqr_factor(A)
    np.testing.assert_allclose(f.solve(b), lstsq(A, b), atol=1e-10)

    def then_corrupts(shape, p, i, x, stype, address):             # writes after filling
        native(shape, p, i, x, stype, address)
        i[0] = shape[0] + 3
    rebind("_cholmod_sparse_from_csc", then_corrupts)
    with pytest.raises(ValueError):
        SPQRFactor(A.copy())
    with pytest.raises(ValueError):
        f.factorize(A.copy())
    np.testing.assert_allclose(f.solve(b), lstsq(A, b), atol=1e-10)


def test_converter_refuses_foreign_addresses():
    import ctypes
    A = make_matrix(5, 3)
    buf = ctypes.create_string_buffer(256)
    for address in (4096, ctypes.addressof(buf)):
        with pytest.raises(ValueError, match="orvex is filling"):
            spqr_mod._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data, 0, address)
    assert buf.raw == b"\0" * 256


@variants
def test_rebound_validation_reentering(dtype, itype, rebind):
    A = make_matrix(8, 5, dtype, itype)
    f = spqr_factor(A)
    real = spqr_mod.validate_csc_input
    b = np.ones(8, dtype)

    def validating_and_solving(M):
        f.solve(b)                       # using the factor: allowed
        return real(M)
    rebind("validate_csc_input", validating_and_solving)
    f.factorize(A)
    np.testing.assert_allclose(f.solve(b), lstsq(A, b), atol=1e-10)

    def validating_and_reinit(M):
        f.__init__(A)
        return real(M)
    rebind("validate_csc_input", validating_and_reinit)
    with pytest.raises(RuntimeError, match=BUSY):
        f.factorize(A)
    with pytest.raises(RuntimeError, match=BUSY):
        f.__init__(A)


@variants
def test_rebound_issparse_and_hstack(dtype, itype, rebind):
    A = make_matrix(8, 5, dtype, itype)
    f = spqr_factor(A)
    B = sp.csc_array(make_matrix(8, 2, dtype, itype, seed=3))

    def issparse(x):
        f.info, f.perm               # reading while qmult is in progress
        return sp.issparse(x)
    rebind("issparse", issparse)
    np.testing.assert_allclose(f.qmult(B, "QTX").toarray(), f.qmult(B.toarray(), "QTX"), atol=1e-12)
    rebind("hstack", None)           # not consulted by the native paths
    np.testing.assert_allclose(f.solve(B).toarray(), lstsq(A, B.toarray()), atol=1e-10)


def test_rebound_info_class_returning_a_class(rebind):
    f = spqr_factor(make_matrix(6, 4))

    class Record:
        pass
    rebind("SPQRInfo", lambda: Record)
    info = f.info
    assert info is Record and Record.rank_A_estimate == 4 and Record().rank_A_estimate == 4


# ---- forged Householder forms ------------------------------------------------------------

def forged(H, dtype=np.float64, itype=np.int32):
    H = sp.csc_array(H, dtype=dtype)
    H.indices, H.indptr = H.indices.astype(itype), H.indptr.astype(itype)
    return H, np.ones(H.shape[1], dtype), np.arange(H.shape[0], dtype=itype)


@variants
def test_forged_householder_forms(dtype, itype):
    X = np.ones((5, 2), dtype, order="F")
    zero = forged(sp.csc_array((5, 3)), dtype, itype)
    H = sp.csc_array(np.tril(np.ones((5, 3))))
    H[:, [1]] = 0
    H.eliminate_zeros()
    empty_column = forged(H, dtype, itype)
    dup = forged(np.tril(np.ones((5, 3))), dtype, itype)
    dup[0].indices[1] = dup[0].indices[0]            # column 0 holds row 0 twice
    for house in (zero, empty_column, dup):
        if house is not dup:   # validation sums duplicates before the native kernel sees them
            with pytest.raises(ValueError, match="empty column"):
                spqr_qmult(house, X)
        H, tau, v = house
        with pytest.raises(ValueError):
            spqr_mod._qmult(0, H, tau.reshape(1, -1), v, X.copy(order="F"))
