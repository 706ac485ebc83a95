"""Shared test helpers.

``VARIANTS``: the four (value dtype, index dtype) pairs, one per SPQR variant;
decorate a test with ``@variants`` to get them as ``dtype, itype``, or use the
``variant`` fixture.  ``make_matrix`` builds random matrices, ``load_mtx``
reads ``tests/data``.
"""
import importlib.util
import os
import pathlib

import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp

DATA_DIR = pathlib.Path(__file__).parent / "data"
VARIANTS = [(np.dtype(v), np.dtype(i))
            for v in (np.float64, np.complex128) for i in (np.int32, np.int64)]
VARIANT_IDS = [f"{v.name}-{i.name}" for v, i in VARIANTS]
variants = pytest.mark.parametrize("dtype, itype", VARIANTS, ids=VARIANT_IDS)

# Under AddressSanitizer (scripts/asan.sh) freed memory sits in a quarantine
# and every block carries redzones: resident memory says nothing about leaks.
SANITIZED = os.environ.get("ORVEX_SANITIZED") == "1"
# make wheel-check runs a copy of tests/ against an installed wheel: parts of
# the source tree (benchmarks, examples) and the development tools are absent.
ROOT = pathlib.Path(__file__).resolve().parents[1]


def needs_source_tree(relative):
    return pytest.mark.skipif(not (ROOT / relative).exists(),
                              reason=f"needs {relative} of the source tree (absent where a copy of tests/ "
                                     "runs against an installed wheel)")


def needs_module(name):
    return pytest.mark.skipif(importlib.util.find_spec(name) is None, reason=f"{name} is not installed")


# The private entry points of a development build (allocation failures on
# demand, workspace counters, the kernel switch); the wheel has none.
TEST_HOOKS = hasattr(importlib.import_module("orvex._ext"), "_fault_injection")
needs_test_hooks = pytest.mark.skipif(not TEST_HOOKS, reason="needs the test entry points of a development "
                                                             "build (ORVEX_TEST_HOOKS), which the wheel leaves out")

rss_measuring = pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/statm"),
                                   reason="resident memory is not measured here")


@pytest.fixture(params=VARIANTS, ids=VARIANT_IDS)
def variant(request):
    return request.param


def as_csc(A, dtype=None, itype=np.int32):
    """A new canonical csc_array of ``A`` with ``dtype`` values and ``itype`` indices."""
    A = sp.csc_array(A, dtype=dtype)
    A.sum_duplicates()
    A.indices, A.indptr = A.indices.astype(itype), A.indptr.astype(itype)
    return A


def make_matrix(m, n, dtype=np.float64, itype=np.int32, density=0.3, seed=0, rank=None):
    """Random m x n matrix of rank min(m, n), or exactly ``rank`` when given.

    Entries uniform in [-1, 1) (also the imaginary parts) plus 2 on the
    diagonal; a rank-``r`` matrix is an (m x r) times (r x n) product of such.
    """
    rng = np.random.default_rng(seed)

    def sample(size):
        x = rng.uniform(-1, 1, size)
        return x + 1j * rng.uniform(-1, 1, size) if np.dtype(dtype).kind == "c" else x

    def part(p, q):
        R = sp.random_array((p, q), density=density, rng=rng, data_sampler=sample, dtype=dtype)
        return R + 2 * sp.eye_array(p, q)

    return as_csc(part(m, n) if rank is None else part(m, rank) @ part(rank, n), dtype, itype)


def load_mtx(name, dtype=None, itype=np.int32):
    """``tests/data/<name>.mtx`` as a canonical csc_array (pattern entries 1.0).

    ``dtype`` defaults to complex128 for complex files, else float64.  Files
    of SPQR's test set that number from 0 (c2, c32, r2, s32) are read here.
    """
    path = DATA_DIR / f"{name}.mtx"
    try:
        A = scipy.io.mmread(path)
    except ValueError:  # zero-based indices
        with open(path) as f:
            field = f.readline().split()[3]
            rows = [l.split() for l in f if l.strip() and not l.startswith("%")]
        e = np.array(rows[1:], dtype=float).reshape(len(rows) - 1, -1)
        vals = {"complex": lambda: e[:, 2] + 1j * e[:, 3],
                "pattern": lambda: np.ones(len(e))}.get(field, lambda: e[:, 2])()
        A = sp.coo_array((vals, (e[:, 0].astype(int), e[:, 1].astype(int))),
                         shape=tuple(map(int, rows[0][:2])))
    if dtype is None:
        dtype = np.complex128 if A.dtype.kind == "c" else np.float64
    return as_csc(A, dtype, itype)


# ---- products with Q --------------------------------------------------------

METHODS = ["QX", "QTX", "XQ", "XQT"]
UNDO = {"QX": "QTX", "QTX": "QX", "XQ": "XQT", "XQT": "XQ"}


def relerr(a, b):
    """Relative error of `a` against the reference `b`."""
    return np.linalg.norm(a - b) / max(np.linalg.norm(b), 1.0)


def operand(shape, dtype, seed=1):
    """A random dense operand (complex parts for complex dtypes)."""
    rng = np.random.default_rng(seed)
    X = rng.standard_normal(shape)
    return (X + 1j * rng.standard_normal(shape) if np.dtype(dtype).kind == "c" else X).astype(dtype)


# ---- many threads per test (make ft-test: pytest-run-parallel) -------------------
#
# Tests that change or measure state of the whole process run in one thread
# only; every other test runs in all of them at once.  Tests that use
# monkeypatch, catch_warnings or pytest.warns are recognised by the plugin
# itself.  (nodeid prefix, reason); "[" prefixes match parameter ids.

KERNEL_SWITCH = "switches the Householder kernel, a process-wide setting"
THREAD_UNSAFE = [
    ("test_faults.py::", "replaces SuiteSparse's and NumPy's allocators for the whole process"),
    ("spqr/qkernel/test_qkernel.py::", KERNEL_SWITCH),
    ("spqr/qkernel/test_panels.py::test_made_triple_equals_its_checked_copy", KERNEL_SWITCH),
    ("test_hostile.py::test_hostile[", KERNEL_SWITCH, "both kernels"),
    ("test_soak.py::", "measures the resident memory of the process"),
    ("parallel/test_interrupt.py::", "sends SIGINT to the process, whose handler runs in the main thread only"),
    ("test_docs.py::test_docstring_examples_run", "doctest replaces sys.stdout, a process-wide stream"),
    ("test_docs.py::test_rank_docstring_examples_run", "doctest replaces sys.stdout, a process-wide stream"),
    ("tall/test_tall_docs.py::test_docstring_examples_run", "doctest replaces sys.stdout, a process-wide stream"),
    ("spqr/factor/test_copy.py::test_repeated_copies_do_not_leak", "measures the resident memory of the process"),
    ("spqr/factor/test_threads.py::test_other_threads_run_during_spqr_work",
     "times another thread's progress against the wall clock"),
]


# Tests whose work runs in child processes: one copy at a time (8 copies of a
# subprocess test nothing more of this process, and cost 8 times as much).
CHILD_PROCESS = [
    "test_benchmarks.py::",
    "rank/test_rank_benchmark.py::",
    "test_typing.py::",
    "test_blas.py::test_import_and_work_keep_blas_threads",
    "test_free_threading.py::test_gil_stays_disabled_after_import",
    "test_free_threading.py::test_first_calls_of_a_fresh_process_race",
    "test_stress_ft.py::",
    "safety/test_races.py::",
]


def _thread_unsafe_reason(item):
    nodeid = item.nodeid.split("tests/", 1)[-1]
    for prefix, reason, *needle in THREAD_UNSAFE:
        if nodeid.startswith(prefix) and (not needle or needle[0] in nodeid):
            return reason
    if "threads" in getattr(item, "fixturenames", ()) and nodeid.startswith("parallel/"):
        return "sets orvex's thread count and task grain, settings of the whole process"
    callspec = getattr(item, "callspec", None)
    if callspec is not None and callspec.params.get("isolate") is True:
        return "forks a child process, which copies whatever locks other threads hold"
    return None


def pytest_collection_modifyitems(config, items):
    if not config.pluginmanager.has_plugin("run-parallel"):
        return
    for item in items:
        reason = _thread_unsafe_reason(item)
        if reason:
            item.add_marker(pytest.mark.thread_unsafe(reason=reason))
        elif any(item.nodeid.split("tests/", 1)[-1].startswith(p) for p in CHILD_PROCESS):
            item.add_marker(pytest.mark.parallel_threads_limit(1))
