"""Other threads writing into a caller's arrays, fork and interpreter exit
while native work runs: each case in a child process (tests/safety/children.py),
which must exit normally."""
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import SANITIZED

CHILDREN = pathlib.Path(__file__).with_name("children.py")
# Enough calls for the writer to hit the native phase many times over.
ITERATIONS = 60 if SANITIZED else 250


def run_child(*args, timeout=240):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONFAULTHANDLER="1")
    proc = subprocess.run([sys.executable, str(CHILDREN), *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr[-3000:]}"
    return proc


RACES = ["factorize", "factorize-other-pattern", "init", "init-singletons", "householder", "spqr_solve", "rank",
         "qmult-sparse", "solve-sparse", "triple-perm-4", "triple-perm-64", "triple-H-4", "triple-H-64", "resize"]


@pytest.mark.parametrize("operation", RACES)
def test_writer_thread_never_reaches_native_code(operation):
    out = run_child("race", operation, ITERATIONS).stdout.split()
    assert out[0] == "ok"


@pytest.mark.parametrize("kind", ["os.fork", "pool"])
def test_fork_while_a_factor_is_busy(kind):
    run_child("fork", kind, timeout=120)


EXIT_OPERATIONS = ["init", "factorize", "spqr", "householder", "spqr_solve", "solve", "qmult", "rank"]


@pytest.mark.parametrize("operation", EXIT_OPERATIONS)
def test_exit_with_a_daemon_thread_in_native_code(operation):
    # make exit-check repeats each case 100 times.
    runs = int(os.environ.get("ORVEX_EXIT_RUNS", "1"))
    for _ in range(runs):
        proc = run_child("exit", operation, timeout=120)
        assert "terminate called" not in proc.stderr


def test_stress_short():
    # make stress runs it for 30 s.
    proc = subprocess.run([sys.executable, str(CHILDREN.with_name("stress.py")), "2" if SANITIZED else "4"],
                          capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    assert proc.returncode == 0, proc.stdout + proc.stderr[-3000:]
    assert " 0 mismatches" in proc.stdout
