"""benchmarks/rank.py in miniature: it runs and writes its report.  No timing is judged."""
import subprocess
import sys

import pytest

from conftest import ROOT, SANITIZED, needs_source_tree


@pytest.mark.skipif(SANITIZED, reason="timings of a sanitized build mean nothing")
@needs_source_tree("benchmarks/rank.py")
def test_quick_benchmark_runs(tmp_path):
    out = tmp_path / "rank.md"
    p = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "rank.py"), "--quick", "--output", str(out)],
                       capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, p.stderr[-4000:]
    text = out.read_text()
    assert "quick mode" in text and "| dwt_209 | 209x209 |" in text
    # dwt_209 has a clean gap: certain rank 208 and the SVD's rank agree.
    assert "| dwt_209 | 7.29e+12 | 208 | 208 (0) |" in text and "[0]" in text
