# Types of the public API of orvex.spqr.  A dense right-hand side or operand
# gives an ndarray, a sparse one a csc_array; `mode` selects the shape of the
# result tuple of `spqr`, and order="fixed" gives no permutation.
from dataclasses import Field
from inspect import Signature
from typing import Any, ClassVar, Literal, NamedTuple, SupportsIndex, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from scipy.sparse import csc_array, sparray, spmatrix
from typing_extensions import Self, disjoint_base

__all__ = [
    "SPQRError",
    "SPQRNotInstalledError",
    "SPQROutOfMemoryError",
    "SPQROverflowError",
    "SPQRInvalidInputError",
    "SPQRGpuProblemError",
    "SPQRFactor",
    "spqr_factor",
    "spqr_solve",
]

_Sparse: TypeAlias = sparray[Any, Any] | spmatrix[Any]
_MatrixLike: TypeAlias = _Sparse | npt.ArrayLike
_Values: TypeAlias = np.float64 | np.complex128
_Dense: TypeAlias = npt.NDArray[_Values]
_Perm: TypeAlias = npt.NDArray[np.int32 | np.int64]
_Factor: TypeAlias = csc_array[Any]

_FillReducing: TypeAlias = Literal[
    "default", "natural", "colamd", "amd", "metis", "best", "cholmod", "bestamd"
]
_OrderName: TypeAlias = Literal["fixed"] | _FillReducing
_Method: TypeAlias = Literal["QX", "QTX", "XQ", "XQT"]
_QMode: TypeAlias = Literal["full", "economic"]

class SPQRWarning(Warning): ...
class SPQRRankDeficiencyWarning(SPQRWarning): ...
class SPQRError(Exception): ...
class SPQRNotInstalledError(SPQRError): ...
class SPQROutOfMemoryError(MemoryError, SPQRError): ...
class SPQROverflowError(SPQRError): ...
class SPQRInvalidInputError(SPQRError): ...
class SPQRGpuProblemError(SPQRError): ...

# Behaves as a frozen dataclass (dataclasses.fields, replace and asdict
# accept it); every field is None in a record made without values.
class SPQRInfo:
    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __signature__: ClassVar[Signature]
    __match_args__ = ("nnzR_upper_bound", "nnzH_upper_bound", "nf", "rank_A_estimate", "n1cols", "n1rows", "ordering", "memory", "flops_upper_bound", "tol", "norm_E_fro", "analyze_time", "factorize_time", "solve_time", "total_time", "flops")
    def __new__(cls, *args: Any, **kwargs: Any) -> Self: ...
    def __init__(
        self,
        nnzR_upper_bound: int | None = None,
        nnzH_upper_bound: int | None = None,
        nf: int | None = None,
        rank_A_estimate: int | None = None,
        n1cols: int | None = None,
        n1rows: int | None = None,
        ordering: str | None = None,
        memory: int | None = None,
        flops_upper_bound: int | None = None,
        tol: float | None = None,
        norm_E_fro: float | None = None,
        analyze_time: float | None = None,
        factorize_time: float | None = None,
        solve_time: float | None = None,
        total_time: float | None = None,
        flops: int | None = None,
    ) -> None: ...
    @property
    def nnzR_upper_bound(self) -> int | None: ...
    @property
    def nnzH_upper_bound(self) -> int | None: ...
    @property
    def nf(self) -> int | None: ...
    @property
    def rank_A_estimate(self) -> int | None: ...
    @property
    def n1cols(self) -> int | None: ...
    @property
    def n1rows(self) -> int | None: ...
    @property
    def ordering(self) -> str | None: ...
    @property
    def memory(self) -> int | None: ...
    @property
    def flops_upper_bound(self) -> int | None: ...
    @property
    def tol(self) -> float | None: ...
    @property
    def norm_E_fro(self) -> float | None: ...
    @property
    def analyze_time(self) -> float | None: ...
    @property
    def factorize_time(self) -> float | None: ...
    @property
    def solve_time(self) -> float | None: ...
    @property
    def total_time(self) -> float | None: ...
    @property
    def flops(self) -> int | None: ...

class SPQRHouseholder(NamedTuple):
    H: csc_array[Any]
    tau: _Dense
    perm: _Perm

@disjoint_base
class SPQRFactor:
    def __init__(
        self,
        A: _MatrixLike,
        *,
        use_singletons: bool = False,
        order: _OrderName | None = None,
        tol: float | None = None,
    ) -> None: ...
    @property
    def is_numeric(self) -> bool: ...
    @property
    def shape(self) -> tuple[int, int]: ...
    @property
    def rank(self) -> int | None: ...
    @property
    def perm(self) -> _Perm: ...
    @property
    def info(self) -> SPQRInfo: ...
    @property
    def itype(self) -> np.dtype[np.int32 | np.int64]: ...
    @property
    def dtype(self) -> np.dtype[_Values]: ...
    def copy(self) -> Self: ...
    def factorize(self, A: _MatrixLike, *, tol: float | None = None) -> Self: ...
    @overload
    def solve(
        self, b: _Sparse, *, transpose: bool = False, rhs_batch_size: SupportsIndex = 100
    ) -> csc_array[Any]: ...
    @overload
    def solve(
        self, b: npt.ArrayLike, *, transpose: bool = False, rhs_batch_size: SupportsIndex = 100
    ) -> _Dense: ...
    @overload
    def qmult(self, X: _Sparse, method: _Method = "QX") -> csc_array[Any]: ...
    @overload
    def qmult(self, X: npt.ArrayLike, method: _Method = "QX") -> _Dense: ...

def spqr_factor(
    A: _MatrixLike,
    *,
    use_singletons: bool = False,
    order: _OrderName | None = None,
    tol: float | None = None,
) -> SPQRFactor: ...
@overload
def spqr_solve(
    A: _MatrixLike,
    b: _Sparse,
    *,
    transpose: bool = False,
    min2norm: bool = True,
    rhs_batch_size: SupportsIndex = 100,
) -> csc_array[Any]: ...
@overload
def spqr_solve(
    A: _MatrixLike,
    b: npt.ArrayLike,
    *,
    transpose: bool = False,
    min2norm: bool = True,
    rhs_batch_size: SupportsIndex = 100,
) -> _Dense: ...

# spqr: one pair of overloads per result tuple; the second of each pair is
# order="fixed", which returns None in place of the permutation.
@overload
def spqr(
    A: _MatrixLike,
    *,
    mode: _QMode = "full",
    order: _FillReducing | None = None,
    tol: float | None = None,
) -> tuple[_Factor, _Factor, _Perm]: ...
@overload
def spqr(
    A: _MatrixLike, *, mode: _QMode = "full", order: Literal["fixed"], tol: float | None = None
) -> tuple[_Factor, _Factor, None]: ...
@overload
def spqr(
    A: _MatrixLike,
    *,
    mode: Literal["r"],
    order: _FillReducing | None = None,
    tol: float | None = None,
) -> tuple[_Factor, _Perm]: ...
@overload
def spqr(
    A: _MatrixLike, *, mode: Literal["r"], order: Literal["fixed"], tol: float | None = None
) -> tuple[_Factor, None]: ...
@overload
def spqr(
    A: _MatrixLike,
    *,
    mode: Literal["householder"],
    order: _FillReducing | None = None,
    tol: float | None = None,
) -> tuple[SPQRHouseholder, _Factor, _Perm]: ...
@overload
def spqr(
    A: _MatrixLike,
    *,
    mode: Literal["householder"],
    order: Literal["fixed"],
    tol: float | None = None,
) -> tuple[SPQRHouseholder, _Factor, None]: ...
@overload
def spqr_qmult(
    house: SPQRHouseholder | tuple[Any, Any, Any], X: _Sparse, method: _Method = "QX"
) -> csc_array[Any]: ...
@overload
def spqr_qmult(
    house: SPQRHouseholder | tuple[Any, Any, Any], X: npt.ArrayLike, method: _Method = "QX"
) -> _Dense: ...
