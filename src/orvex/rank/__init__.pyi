# Types of the public API of orvex.rank.  Solutions are always dense
# (a sparse right-hand side is densified), so the tools return one record
# type whatever b is; `check=True` turns the no-basis case of null_space
# into a RankError, so that overload never gives None.
from dataclasses import dataclass
from typing import Any, ClassVar, Literal, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from scipy.sparse import csc_array, sparray, spmatrix
from scipy.sparse.linalg import LinearOperator

from orvex.spqr import _OrderName

__all__ = [
    "rank_estimate",
    "matrix_rank",
    "null_space",
    "basic_solve",
    "pinv_solve",
    "cod_solve",
    "lstsq",
    "normest",
    "NullSpace",
    "RankOptions",
    "RankResult",
    "LstsqResult",
    "RankError",
    "RankWarning",
    "RankOverflowWarning",
]

_Sparse: TypeAlias = sparray[Any, Any] | spmatrix[Any]
_MatrixLike: TypeAlias = _Sparse | npt.ArrayLike
_Values: TypeAlias = np.float64 | np.complex128
_Dense: TypeAlias = npt.NDArray[_Values]
_Seed: TypeAlias = int | np.random.Generator | None

# 0 certain, 1 certain at tol_alt, 2 bounds too loose, 3 probably too high,
# 4 overflow (no solution or basis).
_Flag: TypeAlias = Literal[0, 1, 2, 3, 4]
# The factorization that decided a result.
_Tool: TypeAlias = Literal["basic", "null", "pinv", "cod"]
_RankMethod: TypeAlias = Literal["auto", "basic", "null", "cod", "pinv"]
_LstsqMethod: TypeAlias = Literal["cod", "pinv", "basic"]

class RankError(ValueError): ...
class RankWarning(UserWarning): ...
class RankOverflowWarning(RankWarning, RuntimeWarning): ...

@dataclass(frozen=True)
class RankOptions:
    tol_norm_type: Literal[1, 2] = 2
    nsvals_large: int = 1
    nsvals_small: int = 1
    order: _OrderName | None = None
    ssi_tol: float | None = None
    ssi_min_block: int = 3
    ssi_max_block: int = 10
    ssi_min_iters: int = 3
    ssi_max_iters: int = 100
    ssi_nblock_increment: int = 5
    ssi_convergence_factor: float = 0.1
    k: int = 1
    ssp_min_iters: int = 4
    ssp_max_iters: int = 10
    ssp_convergence_factor: float = 0.1
    def __post_init__(self) -> None: ...

@dataclass(frozen=True, eq=False)
class RankResult:
    flag: _Flag
    rank: int
    rank_spqr: int
    tol: float
    tol_alt: float | None
    sval_indices: npt.NDArray[np.int64]
    sval_lower_bounds: npt.NDArray[np.float64]
    sval_upper_bounds: npt.NDArray[np.float64]
    norm_AN_estimate: float | None
    norm_AtNT_estimate: float | None
    method: _Tool
    details: dict[str, Any] = ...
    @property
    def certain(self) -> bool: ...
    @property
    def flag_meaning(self) -> str: ...

@dataclass(frozen=True, eq=False, repr=False)
class LstsqResult(RankResult):
    x: _Dense | None = None
    residuals: npt.NDArray[np.float64] | None = None
    N: NullSpace | None = None
    NT: NullSpace | None = None

class NullSpace:
    # NumPy defers `array @ N` to __rmatmul__.
    __array_ufunc__: ClassVar[None]
    shape: tuple[int, int]
    dtype: np.dtype[_Values]
    result: RankResult | None
    def __init__(
        self,
        qr: Any,
        house: tuple[Any, Any, Any] | None,
        X: _Sparse | npt.ArrayLike,
        perm: npt.ArrayLike | None,
        dtype: npt.DTypeLike,
        result: RankResult | None = None,
    ) -> None: ...
    def matmat(self, Y: _Sparse | npt.ArrayLike) -> _Dense: ...
    def matvec(self, Y: _Sparse | npt.ArrayLike) -> _Dense: ...
    def rmatmat(self, Y: _Sparse | npt.ArrayLike) -> _Dense: ...
    def rmatvec(self, Y: _Sparse | npt.ArrayLike) -> _Dense: ...
    def lmatmat(self, Y: _Sparse | npt.ArrayLike) -> _Dense: ...
    def rmatmat_left(self, Y: _Sparse | npt.ArrayLike) -> _Dense: ...
    def __matmul__(self, Y: _Sparse | npt.ArrayLike) -> _Dense: ...
    def __rmatmul__(self, Y: _Sparse | npt.ArrayLike) -> _Dense: ...
    def project_out(self, x: _Sparse | npt.ArrayLike) -> _Dense: ...
    def aslinearoperator(self) -> LinearOperator[Any]: ...
    def toarray(self) -> _Dense: ...
    def tocsc(self) -> csc_array[Any]: ...

def normest(
    A: _MatrixLike, rtol: float = 1e-06, rng: _Seed = 0, maxiter: int = 100
) -> float: ...
def rank_estimate(
    A: _MatrixLike,
    tol: float | None = None,
    *,
    rtol: float | None = None,
    method: _RankMethod = "auto",
    options: RankOptions | None = None,
    rng: _Seed = 0,
    check: bool = False,
) -> RankResult: ...
def matrix_rank(
    A: _MatrixLike,
    tol: float | None = None,
    *,
    rtol: float | None = None,
    method: _RankMethod = "auto",
    options: RankOptions | None = None,
    rng: _Seed = 0,
) -> int: ...
@overload
def null_space(
    A: _MatrixLike,
    tol: float | None = None,
    *,
    rtol: float | None = None,
    options: RankOptions | None = None,
    rng: _Seed = 0,
    check: Literal[True],
) -> NullSpace: ...
@overload
def null_space(
    A: _MatrixLike,
    tol: float | None = None,
    *,
    rtol: float | None = None,
    options: RankOptions | None = None,
    rng: _Seed = 0,
    check: bool = False,
) -> NullSpace | None: ...
def basic_solve(
    A: _MatrixLike,
    b: _Sparse | npt.ArrayLike,
    tol: float | None = None,
    *,
    rtol: float | None = None,
    left_null_space: bool = False,
    options: RankOptions | None = None,
    rng: _Seed = 0,
    check: bool = False,
) -> LstsqResult: ...
def pinv_solve(
    A: _MatrixLike,
    b: _Sparse | npt.ArrayLike,
    tol: float | None = None,
    *,
    rtol: float | None = None,
    null_spaces: bool = False,
    options: RankOptions | None = None,
    rng: _Seed = 0,
    check: bool = False,
) -> LstsqResult: ...
def cod_solve(
    A: _MatrixLike,
    b: _Sparse | npt.ArrayLike,
    tol: float | None = None,
    *,
    rtol: float | None = None,
    transpose_first: bool = False,
    null_spaces: bool = False,
    options: RankOptions | None = None,
    rng: _Seed = 0,
    check: bool = False,
) -> LstsqResult: ...
def lstsq(
    A: _MatrixLike,
    b: _Sparse | npt.ArrayLike,
    tol: float | None = None,
    *,
    rtol: float | None = None,
    method: _LstsqMethod = "cod",
    options: RankOptions | None = None,
    rng: _Seed = 0,
) -> LstsqResult: ...
