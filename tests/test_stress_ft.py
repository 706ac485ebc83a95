"""The threads stress test, short version (tests/stress_ft.py; make ft-test
runs it for a minute on the free-threaded interpreter): every operation
from 4 threads for 3 seconds, each result the single-threaded one."""
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def test_short_stress_matches_serial_results():
    p = subprocess.run([sys.executable, str(HERE / "stress_ft.py"), "--threads", "4", "--seconds", "3"],
                       capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stdout[-3000:] + p.stderr[-3000:]
    assert ", 0 mismatches, 0 exceptions, 0 threads still running" in p.stdout
