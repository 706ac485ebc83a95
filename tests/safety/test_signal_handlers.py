"""The process's signal handlers belong to the program: an analysis in one
thread (METIS's error handling above all) must not install handlers of its
own for the process, even for a moment."""
import ctypes
import signal
import threading
import time

import pytest

from orvex import _ext
from orvex.spqr import SPQRFactor
from parallel.test_parallel import grid_gradient

pytestmark = pytest.mark.skipif(not _ext._interruptible_orderings,
                                reason="SuiteSparse without orvex's patches to its orderings")

libc = ctypes.CDLL(None, use_errno=True)


def c_handler(signum):
    """The handler of `signum` at the C level (sa_handler, the first field of
    struct sigaction)."""
    buf = ctypes.create_string_buffer(512)
    assert libc.sigaction(signum, None, buf) == 0, ctypes.get_errno()
    return ctypes.c_void_p.from_buffer(buf).value


@pytest.mark.thread_unsafe(reason="samples process-wide state while another thread orders")
def test_orderings_leave_the_process_handlers_alone():
    A = grid_gradient(250)
    watched = (signal.SIGTERM, signal.SIGABRT)
    before = {(s, c_handler(s)) for s in watched}
    done = threading.Event()

    def analyse():
        try:
            for order in ("metis", "best", "amd"):
                SPQRFactor(A, order=order)
        finally:
            done.set()

    worker = threading.Thread(target=analyse)
    worker.start()
    seen, samples = set(), 0
    while not done.is_set():
        seen.update((s, c_handler(s)) for s in watched)
        samples += 1
        time.sleep(0.0002)
    worker.join()
    assert samples > 10
    assert seen == before
