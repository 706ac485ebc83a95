"""Conversions between NumPy/SciPy objects and CHOLMOD records.

The conversions that hand SPQR's results to NumPy and SciPy are native code
linked into the extension; this module exposes the one entry point that
Python code calls: filling a ``cholmod_sparse`` record that describes a CSC
matrix's arrays in place.
"""

from orvex._ext import _cholmod_sparse_from_csc

__all__ = ["_cholmod_sparse_from_csc"]
