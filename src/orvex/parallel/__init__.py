"""Threads of orvex's numeric factorizations.

SPQR's analysis splits the frontal tree into tasks; orvex runs them on one
pool of threads shared by the whole process (many Python threads that
factorize at once share it too).  The number of threads a factorization uses
is one setting:

- ``get_num_threads()`` / ``set_num_threads(n)``;
- the environment variable ``ORVEX_NUM_THREADS``, read at import;
- by default, the number of CPUs this process may run on
  (``os.sched_getaffinity``);
- threadpoolctl: ``threadpool_limits(1)`` limits orvex as it limits the
  BLAS, and ``threadpool_info()`` lists orvex (``user_api`` ``"orvex"``).

An analysis (``SPQRFactor(A)``, and every one-call function) splits the tree
for the thread count of that moment; a later numeric factorization of the same
analysis may use any thread count and gives bitwise the same factors.  With
one thread, the tree is not split at all.

While a factorization runs its tasks on more than one thread, the BLAS
(OpenBLAS, when the process has it) is set to one thread, and given its own
thread count back for a task that runs alone (the root fronts); its setting is
restored afterwards.

Against a SuiteSparse without orvex's scheduler patch, factorizations run
sequentially and ``parallel_factorization_available()`` is False.
"""

import operator as _operator
import os as _os
import warnings as _warnings

from orvex import _ext

__all__ = ["get_num_threads", "set_num_threads", "parallel_factorization_available"]


def get_num_threads():
    """Number of threads a numeric factorization may use."""
    return _ext.get_num_threads()


def set_num_threads(n):
    """Set the number of threads numeric factorizations may use (``n >= 1``)."""
    n = _operator.index(n)
    if n < 1:
        raise ValueError(f"the number of threads must be at least 1, got {n}")
    _ext.set_num_threads(min(n, 2**31 - 1))


def parallel_factorization_available():
    """True when numeric factorizations can run on several threads.

    False when orvex was built against a SuiteSparse without its task-tree
    scheduler (every factorization then runs on one thread).
    """
    return _ext.parallel_factorization_available()


def _from_environment():
    value = _os.environ.get("ORVEX_NUM_THREADS", "").strip()
    if not value:
        return
    try:
        n = int(value)
        if n < 1:
            raise ValueError
    except ValueError:
        _warnings.warn(f"ORVEX_NUM_THREADS={value!r} is not a positive integer; ignored",
                       RuntimeWarning, stacklevel=3)
        return
    set_num_threads(n)


def _register_threadpoolctl():
    # threadpoolctl is optional at run time: without it there is nothing to register.
    try:
        import threadpoolctl
    except ImportError:
        return

    class OrvexController(threadpoolctl.LibController):
        """threadpoolctl's view of orvex's factorization threads."""

        user_api = "orvex"
        internal_api = "orvex"
        filename_prefixes = ("_ext",)
        check_symbols = ("orvex_get_num_threads", "orvex_set_num_threads")

        def get_num_threads(self):
            get = getattr(self.dynlib, "orvex_get_num_threads", None)
            return None if get is None else get()

        def set_num_threads(self, num_threads):
            set_ = getattr(self.dynlib, "orvex_set_num_threads", None)
            if set_ is not None:
                set_(max(1, int(num_threads)))

        def get_version(self):
            from orvex import __version__
            return __version__

        def set_additional_attributes(self):
            self.parallel = _ext.parallel_factorization_available()

    threadpoolctl.register(OrvexController)


_from_environment()
_register_threadpoolctl()
