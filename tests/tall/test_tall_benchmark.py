"""benchmarks/tall.py in miniature: every run finishes, agrees with spqr_solve, and the report
is written.  No timing or memory figure is judged."""
import json
import subprocess
import sys

import pytest

from conftest import ROOT, SANITIZED, needs_module, needs_source_tree


@pytest.mark.skipif(SANITIZED, reason="timings of a sanitized build mean nothing")
@needs_source_tree("benchmarks/tall.py")
@needs_module("distributed")
def test_quick_benchmark_runs_and_agrees(tmp_path):
    p = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "tall.py"), "--quick", "--out", str(tmp_path)],
                       capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stderr[-4000:]
    res = json.loads((tmp_path / "tall-quick.json").read_text())
    runs = res["runs"]
    for name in ("whole", "stream", "dask2", "big_stream"):
        assert runs[name]["ok"], (name, runs[name].get("error"))
    for name in ("stream", "dask2"):
        assert runs[name]["rel_diff"] < 1e-10, name
    assert not runs["big_whole"]["ok"] and "MemoryError" in runs["big_whole"]["error"]
    text = (tmp_path / "tall-quick.md").read_text()
    assert "| target | met | measured |" in text and "## The reduction" in text
