"""The benchmark suite in miniature (``benchmarks/run.py --quick``): every
case and operation runs on both sides, the native program and orvex must
agree, and the report is written.  No timing is judged here."""
import json
import subprocess
import sys

import pytest

from conftest import ROOT, SANITIZED, needs_source_tree


@pytest.mark.skipif(SANITIZED, reason="timings of a sanitized build mean nothing")
@needs_source_tree("benchmarks/native")
def test_quick_suite_runs_and_agrees(tmp_path):
    out = tmp_path / "results"
    p = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "run.py"), "--quick",
                        "--out", str(out)], capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, p.stderr[-4000:]
    results = json.loads((out / "latest.json").read_text())
    assert results["quick"] and not results["problems"]
    names = {c["name"] for c in results["cases"]}
    assert {"tiny", "tiny-z64", "grid2d", "randls", "wide"} <= names
    for case in results["cases"]:
        for op in case["meta"]["ops"]:
            assert case["native"][op]["median"] > 0 and case["orvex"][op]["median"] > 0, (case["name"], op)
    assert "| case | operation |" in (out / "latest.md").read_text()


@pytest.mark.skipif(SANITIZED, reason="timings of a sanitized build mean nothing")
@needs_source_tree("benchmarks/qkernel.py")
def test_quick_kernel_benchmark_runs_and_agrees(tmp_path):
    """benchmarks/qkernel.py in miniature: both kernels on every case, their
    results within 1e-13 (the script fails otherwise), the report written."""
    out = tmp_path / "qkernel.md"
    p = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "qkernel.py"), "--quick", "--output", str(out)],
                       capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, p.stderr[-4000:]
    rows = json.loads(out.with_suffix(".json").read_text())["rows"]
    assert {r["name"] for r in rows} >= {"grid2d", "randls", "wide", "ash219", "young1c"}
    for r in rows:
        assert r["errors"]["worst_relative_difference"] <= 1e-13, r["name"]
    text = out.read_text()
    assert "## Crossover" in text and "| target | met | measured |" in text
