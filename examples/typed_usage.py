"""The whole public API of orvex.spqr under a type checker.

`mypy --strict examples/typed_usage.py` passes, and every `assert_type`
states the type the stubs give; `python examples/typed_usage.py` runs it.
"""

import dataclasses
import warnings
from typing import Any, assert_type

import numpy as np
import numpy.typing as npt
from scipy.sparse import csc_array, eye_array, random_array

from orvex.spqr import (
    SPQRError,
    SPQRFactor,
    SPQRHouseholder,
    SPQRInfo,
    SPQRRankDeficiencyWarning,
    SPQRWarning,
    spqr,
    spqr_factor,
    spqr_qmult,
    spqr_solve,
)
from orvex.utils import validate_csc_input

Dense = npt.NDArray[np.float64 | np.complex128]
Perm = npt.NDArray[np.int32 | np.int64]


def main() -> None:
    noise = csc_array(random_array((40, 12), density=0.2, format="csc", rng=0))
    A = csc_array(noise + eye_array(40, 12, format="csc"))
    b = np.arange(40.0)
    S = eye_array(40, 3, format="csc")

    # Factor objects: analysis, refactorization, properties.
    f = SPQRFactor(A, order="colamd")
    assert_type(f.factorize(A, tol=1e-12), SPQRFactor)
    assert_type(f.is_numeric, bool)
    assert_type(f.shape, tuple[int, int])
    assert_type(f.rank, int | None)
    assert_type(f.perm, Perm)
    assert_type(f.itype, np.dtype[np.int32 | np.int64])
    assert_type(f.dtype, np.dtype[np.float64 | np.complex128])
    assert_type(f.copy(), SPQRFactor)
    g = spqr_factor(A, use_singletons=True, order="best", tol=None)
    assert_type(g, SPQRFactor)

    # Dense operands give ndarrays, sparse ones csc_arrays.
    x = f.solve(b)
    assert_type(x, Dense)
    assert_type(f.solve(b[:12], transpose=True), Dense)
    assert_type(f.solve(S, rhs_batch_size=2), csc_array[Any])
    assert_type(f.qmult(b, "QTX"), Dense)
    assert_type(f.qmult(S.T, method="XQ"), csc_array[Any])
    assert_type(spqr_solve(A, b), Dense)
    assert_type(spqr_solve(A, S, min2norm=False), csc_array[Any])
    assert_type(spqr_solve(A.T, b[:12]), Dense)

    # The mode picks the result tuple; order="fixed" gives no permutation.
    Q, R, P = spqr(A)
    assert_type(Q, csc_array[Any])
    assert_type(P, Perm)
    assert_type(spqr(A, mode="economic", tol=0.0), tuple[csc_array[Any], csc_array[Any], Perm])
    assert_type(spqr(A, mode="r"), tuple[csc_array[Any], Perm])
    assert_type(spqr(A, mode="r", order="fixed"), tuple[csc_array[Any], None])
    assert_type(spqr(A, order="fixed"), tuple[csc_array[Any], csc_array[Any], None])
    house, R2, P2 = spqr(A, mode="householder", order="amd")
    assert_type(house, SPQRHouseholder)
    assert_type(house.tau, Dense)
    assert_type(house.perm, Perm)
    assert_type(spqr_qmult(house, b, "QTX"), Dense)
    assert_type(spqr_qmult((house.H, house.tau, house.perm), S), csc_array[Any])

    # Statistics.
    info = f.info
    assert_type(info, SPQRInfo)
    assert_type(info.rank_A_estimate, int | None)
    assert_type(info.ordering, str | None)
    assert_type(info.analyze_time, float | None)
    assert_type(dataclasses.replace(info, flops=0), SPQRInfo)
    fields = [field.name for field in dataclasses.fields(info)]
    assert fields[0] == "nnzR_upper_bound" and len(fields) == 16

    # Validation, warnings and errors.
    C, fmt, itype = validate_csc_input(A)
    assert_type(C, csc_array[np.float64 | np.complex128])
    assert fmt is None and itype == np.int32
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SPQRRankDeficiencyWarning)
        assert issubclass(SPQRRankDeficiencyWarning, SPQRWarning)
    try:
        SPQRFactor(A, order="fixed").factorize(A[:, :3])
    except (ValueError, SPQRError):
        pass

    residual = A.T @ (A @ x - b)
    assert np.linalg.norm(residual) < 1e-8 * np.linalg.norm(b)
    print(f"rank {f.rank} of {f.shape}, ordering {info.ordering}, |A^T r| = "
          f"{np.linalg.norm(residual):.1e}")


if __name__ == "__main__":
    main()
