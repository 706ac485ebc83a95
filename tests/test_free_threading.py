"""What must hold without a GIL (and holds with one): the GIL stays off on a
free-threaded interpreter, a call's Python phase is covered by the factor's
lock, the header registry only serves the thread filling a header, and the
first calls of a fresh process may race."""
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import numpy as np
import pytest

import orvex.spqr as spqr_mod
from orvex.spqr import SPQRFactor, spqr_factor
from conftest import make_matrix, variants

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code, timeout=120):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_gil_stays_disabled_after_import():
    out = run_python("""
        import sys
        import orvex.spqr, orvex.rank
        print(sys._is_gil_enabled())
    """)
    assert out.split() == ["False"]


def test_first_calls_of_a_fresh_process_race():
    # Every object the extension caches is made at import: threads whose
    # first calls (warnings included) start together neither deadlock nor
    # see half-made state.
    out = run_python("""
        import threading, warnings
        import numpy as np
        import scipy.sparse as sp
        from orvex.spqr import spqr_factor, spqr_solve, spqr
        import orvex.rank as rk

        warnings.simplefilter("ignore")
        A = sp.csc_array(np.array([[1., 2, 0], [0, 1, 3], [4, 0, 1], [1, 1, 1], [2, 4, 0]]))
        D = sp.csc_array(np.array([[1., 2, 3], [2, 4, 6], [1, 0, 1], [0, 1, 1]]))   # rank 2
        barrier = threading.Barrier(8)
        results = [None] * 8

        def first(k):
            barrier.wait()
            f = spqr_factor(A, order=["amd", "colamd", "default", None][k % 4])
            x = f.factorize(A, tol=1e-3 * (k % 2)).solve(np.ones(5))    # warns: tolerance changed
            results[k] = (x, spqr_solve(D, np.ones(4)), spqr(A, mode="r")[0].toarray(), rk.matrix_rank(D))

        threads = [threading.Thread(target=first, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not any(t.is_alive() for t in threads)
        for r in results:
            assert all(np.allclose(a, b) for a, b in zip(r[:3], results[0][:3])) and r[3] == 2
        print("ok")
    """)
    assert out.split() == ["ok"]


@pytest.mark.thread_unsafe(reason="rebinds a name of orvex.spqr's namespace for the process")
@variants
def test_python_phase_holds_the_factor(dtype, itype, monkeypatch):
    # factorize's validation runs Python code; while it does, another
    # thread's __init__ of the same factor waits (its own validation, which
    # runs once it holds the factor, comes after), and factorize works on
    # the analysis it checked.
    A, other = make_matrix(20, 12, dtype, itype, seed=1), make_matrix(9, 9, dtype, itype, seed=2)
    f = SPQRFactor(A)
    real = spqr_mod.validate_csc_input
    inside, events = threading.Event(), []

    def slow_validation(M):
        name = threading.current_thread().name
        if name == "refactorize":
            inside.set()
            time.sleep(0.2)
        events.append(name)
        return real(M)
    monkeypatch.setattr(spqr_mod, "validate_csc_input", slow_validation)

    def reinit():
        inside.wait(10)
        f.__init__(other)

    def refactorize():
        try:
            f.factorize(A)
        except Exception as e:  # noqa: BLE001
            events.append(e)

    threads = [threading.Thread(target=refactorize, name="refactorize"),
               threading.Thread(target=reinit, name="reinit")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert events == ["refactorize", "reinit"]
    assert f.shape == (9, 9)
    f.__init__(A)
    f.factorize(A)
    b = np.ones(20, dtype)
    np.testing.assert_allclose(f.solve(b), np.linalg.lstsq(A.toarray(), b, rcond=None)[0], atol=1e-10)


@pytest.mark.thread_unsafe(reason="rebinds a name of orvex.spqr's namespace for the process")
@variants
def test_header_is_filled_only_by_its_own_thread(dtype, itype, monkeypatch):
    A = make_matrix(10, 6, dtype, itype, seed=3)
    native = spqr_mod._cholmod_sparse_from_csc
    seen = []

    def hands_address_to_another_thread(shape, p, i, x, stype, address):
        def fill():
            try:
                native(shape, p, i, x, stype, address)
            except ValueError as e:
                seen.append(str(e))
        t = threading.Thread(target=fill)
        t.start()
        t.join()
        native(shape, p, i, x, stype, address)   # the owner may
    monkeypatch.setattr(spqr_mod, "_cholmod_sparse_from_csc", hands_address_to_another_thread)
    f = spqr_factor(A)
    assert len(seen) == 2 and all("orvex is filling" in s for s in seen)
    b = np.ones(10, dtype)
    np.testing.assert_allclose(f.solve(b), np.linalg.lstsq(A.toarray(), b, rcond=None)[0], atol=1e-10)


@pytest.mark.thread_unsafe(reason="replaces warnings.showwarning for the process")
def test_reentry_from_a_warning_while_other_threads_wait(monkeypatch):
    # The documented RuntimeError in the thread whose hook re-enters, never a
    # deadlock, while other threads wait for the same factor.
    import warnings
    A = make_matrix(20, 12, seed=4)
    f = spqr_factor(A)
    b = np.ones(20)
    ref = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
    refused, solutions = [], []

    def show(message, *args, **kwargs):
        try:
            f.__init__(A)
        except RuntimeError as e:
            refused.append(str(e))
    monkeypatch.setattr(warnings, "showwarning", show)
    stop = time.monotonic() + 0.5

    def use():
        while time.monotonic() < stop:
            solutions.append(f.solve(b))

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        users = [threading.Thread(target=use) for _ in range(3)]
        for t in users:
            t.start()
        for k in range(10):
            f.factorize(A, tol=1e-6 * (k + 1))    # warns: tolerance changed
        for t in users:
            t.join(30)
    assert not any(t.is_alive() for t in users)
    assert len(refused) == 10 and all("SPQRFactor is in use" in r for r in refused)
    assert solutions
    for x in solutions:
        np.testing.assert_allclose(x, ref, atol=1e-10)
