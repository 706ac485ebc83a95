"""orvex: sparse QR factorization for NumPy/SciPy through SuiteSparse SPQR.

The factorization lives in :mod:`orvex.spqr`.
"""

__version__ = "0.1.0"
