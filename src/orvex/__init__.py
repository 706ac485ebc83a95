"""orvex: sparse QR factorization for NumPy/SciPy through SuiteSparse SPQR.

The factorization lives in :mod:`orvex.spqr`; the threads it uses are set
with :func:`set_num_threads` (see :mod:`orvex.parallel`).
"""

__version__ = "0.1.0"

from orvex.parallel import get_num_threads, set_num_threads, parallel_factorization_available
