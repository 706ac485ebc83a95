"""The installed type stubs: present in the package, in agreement with the
runtime (mypy.stubtest), precise enough for `mypy --strict` on a program that
uses the whole API, and strict enough to flag misspelt names."""
import ast
import os
import pathlib
import runpy
import shutil
import subprocess
import sys

import numpy as np
import pytest

import orvex
import orvex.spqr as mod
from orvex.spqr.frame import docs
from conftest import ROOT, SANITIZED, make_matrix, needs_module, needs_source_tree, variants
PACKAGE = pathlib.Path(orvex.__file__).parent
STUBS = ["__init__.pyi", "utils.pyi", "spqr/__init__.pyi", "rank/__init__.pyi", "tall/__init__.pyi",
         "parallel/__init__.pyi"]
ALLOWLIST = ROOT / "tests" / "typing" / "stubtest-allowlist.txt"
EXAMPLE = ROOT / "examples" / "typed_usage.py"

# The sanitized run's package tree carries no stubs, and the checkers are
# not worth running under the sanitizers.
needs_stubs = pytest.mark.skipif(SANITIZED or not (PACKAGE / "py.typed").exists(),
                                 reason="the installed package is checked")

# Each line must be flagged, with the error code given.
MISTAKES = """\
import numpy as np
from scipy.sparse import csc_array
from orvex.spqr import SPQRFactor, spqr, spqr_qmult, spqr_solve
A = csc_array(np.eye(3))
f = SPQRFactor(A)
f.qmult(np.ones(3), "QY")  # call-overload
SPQRFactor(A, order="colmad")  # arg-type
spqr(A, mode="raw")  # call-overload
x: csc_array = f.solve(np.ones(3))  # assignment
P: np.ndarray = spqr(A, order="fixed")[2]  # assignment
f.rank = 2  # misc
spqr_solve(A, np.ones(3), tranpose=True)  # call-overload
import orvex.rank as rk
rk.lstsq(A, np.ones(3), method="svd")  # arg-type
rk.rank_estimate(A, method="qr")  # arg-type
rk.RankOptions(order="colmad")  # arg-type
rk.null_space(A).toarray()  # union-attr
res = rk.rank_estimate(A)
res.rank = 3  # misc
assert res.flag != 5  # comparison-overlap
rk.cod_solve(A, np.ones(3), transposed_first=True)  # call-arg
rk.matrix_rank(A, 1e-3, 1e-3)  # call-arg
import orvex.tall as tl
tl.lstsq(A, np.ones(3), order="colmad")  # arg-type
tl.RFactor.from_rows(A, np.ones(3)).solve(method="svd")  # arg-type
"""


def _run(*args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)


@needs_stubs
def test_stubs_are_installed():
    for name in STUBS + ["py.typed"]:
        assert (PACKAGE / name).is_file(), name


@needs_stubs
@needs_module("mypy")
def test_stubtest_agrees_with_runtime(tmp_path):
    # The installed stubs, on their own: the implementation modules next to
    # them are plain Python that stubtest would otherwise read as stubs.
    for name in STUBS:
        (tmp_path / "stubs" / "orvex" / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(PACKAGE / name, tmp_path / "stubs" / "orvex" / name)
    env_cmd = ["mypy.stubtest", "orvex", "--allowlist", str(ALLOWLIST),
               "--mypy-config-file", str(tmp_path / "none.ini")]
    (tmp_path / "none.ini").write_text("[mypy]\n")
    result = subprocess.run([sys.executable, "-m", *env_cmd], cwd=tmp_path,
                            env={**os.environ, "MYPYPATH": str(tmp_path / "stubs")},
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_stubs
@needs_module("mypy")
@needs_source_tree("examples/typed_usage.py")
def test_mypy_strict_example_and_mistakes(tmp_path):
    bad = tmp_path / "mistakes.py"
    bad.write_text(MISTAKES)
    result = _run("mypy", "--strict", "--no-error-summary", "--cache-dir",
                  str(tmp_path / "cache"), str(EXAMPLE), str(bad), cwd=tmp_path)
    errors = [l for l in result.stdout.splitlines() if ": error:" in l]
    assert not [l for l in errors if "typed_usage.py" in l], result.stdout
    flagged = {}
    for line in errors:
        number = int(line.split(":")[1])
        flagged.setdefault(number, set()).add(line.rsplit("[", 1)[-1].rstrip("]"))
    expected = {n: {l.split("# ")[1]} for n, l in enumerate(MISTAKES.splitlines(), 1) if "# " in l}
    assert flagged == expected, result.stdout


def _literals(alias, stub="spqr"):
    """The values of a Literal type alias of the orvex.spqr (or orvex.rank) stub."""
    path = PACKAGE / stub / "__init__.pyi"   # the sanitized run's tree has none: the source's
    tree = ast.parse((path if path.exists() else ROOT / "src" / "orvex" / stub / "__init__.pyi").read_text())
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and node.target.id == alias:
            return [c.value for c in ast.walk(node.value)
                    if isinstance(c, ast.Constant) and isinstance(c.value, (str, int))]
    raise KeyError(alias)


@variants
def test_literal_names_are_the_accepted_ones(dtype, itype):
    A = make_matrix(5, 3, dtype, itype)
    orders = _literals("_OrderName") + _literals("_FillReducing")
    assert sorted(set(orders)) == sorted(name for name, _ in docs.ORDERINGS)
    for order in set(orders):
        assert mod.SPQRFactor(A, order=order).shape == (5, 3)
    f = mod.spqr_factor(A)
    for method in _literals("_Method"):
        X = np.eye(5, dtype=dtype) if method in ("QX", "QTX") else np.eye(5, dtype=dtype)[:2]
        assert f.qmult(X, method).shape == X.shape
    with pytest.raises(ValueError):
        f.qmult(np.eye(5, dtype=dtype), "QY")
    modes = _literals("_QMode") + ["r", "householder"]
    assert [len(mod.spqr(A, mode=m)) for m in modes] == [3, 3, 2, 3]


@variants
def test_rank_literal_names_are_the_accepted_ones(dtype, itype):
    import orvex.rank as rk
    A = make_matrix(12, 9, dtype, itype, rank=4, seed=5)
    methods = _literals("_RankMethod", "rank")
    tools = set()
    for method in methods:
        res = rk.rank_estimate(A, method=method)
        assert res.rank == 4 and res.flag in _literals("_Flag", "rank")
        tools.add(res.method)
    assert tools <= set(_literals("_Tool", "rank")) and "auto" not in tools
    with pytest.raises(ValueError, match="method"):
        rk.rank_estimate(A, method="svd")
    for method in _literals("_LstsqMethod", "rank"):
        assert rk.lstsq(A, np.ones(12, dtype=dtype), method=method).rank == 4
    with pytest.raises(ValueError, match="method"):
        rk.lstsq(A, np.ones(12), method="auto")
    # Every ordering of orvex.spqr serves the rank tools too.
    for order in _literals("_OrderName") + _literals("_FillReducing"):
        assert rk.rank_estimate(A, options=rk.RankOptions(order=order)).rank == 4
    for norm_type in (1, 2):
        assert rk.RankOptions(tol_norm_type=norm_type).tol_norm_type == norm_type


@needs_stubs
@needs_source_tree("examples/typed_usage.py")
def test_typed_example_runs(capsys):
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    out = capsys.readouterr().out
    assert "rank 12 of (40, 12)" in out
    assert "rank 6 of (30, 20) (flag 0), null space (20, 14)" in out
