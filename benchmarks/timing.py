"""Timing and peak-memory rules shared by the Python side of the suite.

The rules are those of the native program (benchmarks/native/spqr_bench.cpp):
one warm-up call (`warm`); an operation whose warm-up took less than 0.1 s
gets a second call and, if faster than `batch_target`, is timed in loops of
`inner` calls (refined on one such loop); then samples (`sample`) of `inner`
calls: at least `min_reps`, more while their total stays under `min_time`
(at most `max_reps`); the median per-call time is the figure.  Each timed
call includes releasing its result.  `measure` does all of it in one
process; benchmarks/run.py also drives a native and an orvex process sample
by sample (the `serve` commands), so that both sides see the same machine.

Peak memory: a child process resets its peak-RSS mark just before the
measured operation (``/proc/self/clear_refs``) and reads
``resource.getrusage(RUSAGE_SELF).ru_maxrss`` after it.  Children are
started through a forking shell (`clean_command`): a child created with
vfork/posix_spawn and then exec'ed inherits its parent's peak RSS in
ru_maxrss, which would report the harness's own memory.
"""

import gc
import math
import resource
import time
from dataclasses import asdict, dataclass


# Operations whose warm-up took less than this get a second, calibrating call.
CALIBRATE_BELOW = 0.1


@dataclass
class Params:
    min_reps: int = 5
    max_reps: int = 200
    min_time: float = 0.25
    batch_target: float = 0.002

    def native_args(self):
        return ["--min-reps", str(self.min_reps), "--max-reps", str(self.max_reps),
                "--min-time", repr(self.min_time), "--batch-target", repr(self.batch_target)]

    def as_dict(self):
        return asdict(self)


def median(samples):
    s = sorted(samples)
    n = len(s)
    return s[n // 2] if n % 2 else 0.5 * (s[n // 2 - 1] + s[n // 2])


def warm(call, params=Params(), first_result=None):
    """The warm-up (and calibrating) calls: returns (first call's time, inner).

    `first_result`, if given, receives the warm-up call's result (outside
    any timing), so that checks need no extra call."""
    clock = time.perf_counter
    t0 = clock()
    result = call()
    first = clock() - t0
    if first_result is not None:
        first_result(result)
    del result
    inner = 1
    if first < CALIBRATE_BELOW:
        t0 = clock()
        call()
        per = max(min(first, clock() - t0), 1e-9)
        if per < params.batch_target:
            inner = max(1, min(1_000_000, math.ceil(params.batch_target / per)))
            # Refine on one loop of that length (cold first calls mislead).
            t0 = clock()
            for _ in range(inner):
                call()
            per = max((clock() - t0) / inner, 1e-9)
            inner = max(1, min(1_000_000, math.ceil(params.batch_target / per)))
    return first, inner


def sample(call, inner):
    """One sample: the total time of `inner` calls."""
    clock = time.perf_counter
    loop = range(inner)
    t0 = clock()
    for _ in loop:
        call()
    return clock() - t0


class quiet_gc:
    """No cyclic garbage collection inside the measurements (as timeit)."""

    def __enter__(self):
        self.enabled = gc.isenabled()
        gc.collect()
        gc.disable()

    def __exit__(self, *exc):
        if self.enabled:
            gc.enable()


def summary(samples, first, inner):
    return {"median": median(samples), "min": min(samples), "first": first,
            "reps": len(samples), "inner": inner}


def measure(call, params=Params(), first_result=None):
    """Time `call()` (its result is dropped inside the timed region)."""
    with quiet_gc():
        first, inner = warm(call, params, first_result)
        samples, total = [], 0.0
        while len(samples) < params.min_reps or (total < params.min_time and len(samples) < params.max_reps):
            dt = sample(call, inner)
            samples.append(dt / inner)
            total += dt
    return summary(samples, first, inner)


def maxrss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def reset_peak():
    """Make the peak-RSS mark equal the current RSS (Linux >= 4.0)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def status_kb(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return -1


def clean_command(argv):
    """`argv` run by a shell that forks it: the child starts with a clean peak RSS."""
    return ["/bin/sh", "-c", '"$@"; exit $?', "sh", *map(str, argv)]
