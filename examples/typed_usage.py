"""The whole public API of orvex.spqr and orvex.rank under a type checker.

`mypy --strict examples/typed_usage.py` passes, and every `assert_type`
states the type the stubs give; `python examples/typed_usage.py` runs it.
"""

import dataclasses
import pickle
import warnings
from typing import Any, Literal, assert_type

import numpy as np
import numpy.typing as npt
from scipy.sparse import csc_array, eye_array, random_array
from scipy.sparse.linalg import LinearOperator

import orvex.rank as rk

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


def rank_deficient() -> None:
    # A 30 x 20 matrix of rank 6: the product of two random sparse factors.
    left = csc_array(random_array((30, 6), density=0.5, format="csc", rng=1))
    right = csc_array(random_array((6, 20), density=0.5, format="csc", rng=2))
    A = csc_array((left + eye_array(30, 6, format="csc")) @ (right + eye_array(6, 20, format="csc")))
    b = np.ones(30)
    S = eye_array(30, 2, format="csc")

    # Rank with its evidence; the flag and the deciding tool are Literals.
    res = rk.rank_estimate(A, method="auto", rng=np.random.default_rng(3))
    assert_type(res, rk.RankResult)
    assert_type(res.flag, Literal[0, 1, 2, 3, 4])
    assert_type(res.method, Literal["basic", "null", "pinv", "cod"])
    assert_type(res.tol_alt, float | None)
    assert_type(res.sval_indices, npt.NDArray[np.int64])
    assert_type(res.sval_upper_bounds, npt.NDArray[np.float64])
    assert_type(res.details, dict[str, Any])
    assert_type(res.certain, bool)
    assert_type(res.flag_meaning, str)
    assert_type(rk.matrix_rank(A, rtol=1e-12, method="cod"), int)
    assert_type(rk.normest(A, 0.01), float)
    opts = rk.RankOptions(order="amd", tol_norm_type=1, ssi_max_block=12)
    assert_type(dataclasses.replace(opts, k=2), rk.RankOptions)
    assert_type(opts.order, Literal["fixed", "default", "natural", "colamd", "amd", "metis",
                                    "best", "cholmod", "bestamd"] | None)

    # Null spaces: None only where the iteration overflowed, never with check=True.
    maybe = rk.null_space(A, options=opts)
    assert_type(maybe, rk.NullSpace | None)
    N = rk.null_space(A, 1e-10, check=True)
    assert_type(N, rk.NullSpace)
    assert_type(N.shape, tuple[int, int])
    assert_type(N.result, rk.RankResult | None)
    Y = np.ones((N.shape[1], 2))
    assert_type(N @ Y, Dense)
    assert_type(np.ones((3, 20)) @ N, Dense)
    assert_type(N.rmatmat(np.ones(20)), Dense)
    assert_type(N.rmatmat_left(Y.T), Dense)
    assert_type(N.project_out(np.ones(20)), Dense)
    assert_type(N.toarray(), Dense)
    assert_type(N.tocsc(), csc_array[Any])
    assert isinstance(N.aslinearoperator(), LinearOperator)

    # Solutions: dense whatever b is; residuals per column; bases on request.
    sol = rk.lstsq(A, b, method="pinv")
    assert_type(sol, rk.LstsqResult)
    assert_type(sol.x, Dense | None)
    assert_type(sol.residuals, npt.NDArray[np.float64] | None)
    assert_type(rk.basic_solve(A, S, left_null_space=True).NT, rk.NullSpace | None)
    cod = rk.cod_solve(A, b, transpose_first=True, null_spaces=True, check=True)
    assert_type(cod.N, rk.NullSpace | None)
    pinv = rk.pinv_solve(A, S, 1e-10, null_spaces=True)
    assert cod.x is not None and pinv.x is not None and pinv.N is not None
    assert np.linalg.norm(pinv.N.rmatmat(pinv.x)) < 1e-8  # orthogonal to the null space
    assert isinstance(pickle.loads(pickle.dumps(pinv)), rk.LstsqResult)
    try:
        rk.rank_estimate(A, tol=1e-300, check=True)
    except rk.RankError:
        pass
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", rk.RankWarning)
        assert issubclass(rk.RankOverflowWarning, rk.RankWarning)
    print(f"rank {res.rank} of {A.shape} (flag {res.flag}), null space {N.shape}, "
          f"|A N| = {np.linalg.norm(A.toarray() @ N.toarray()):.1e}")


if __name__ == "__main__":
    main()
    rank_deficient()
