# Types of the public API of orvex.tall.  Blocks are anything orvex.utils
# validates; lstsq also takes an iterable of (A_i, b_i) pairs or a dask
# array (typed as Any: Dask is optional and ships no stubs of its own here).
from collections.abc import Iterable
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt
from scipy.sparse import csc_array, sparray, spmatrix

from orvex.rank import LstsqResult, RankOptions

__all__ = ["RFactor", "lstsq", "column_order"]

_Sparse: TypeAlias = sparray[Any, Any] | spmatrix[Any]
_MatrixLike: TypeAlias = _Sparse | npt.ArrayLike
_Values: TypeAlias = np.float64 | np.complex128
_Dense: TypeAlias = npt.NDArray[_Values]
_Seed: TypeAlias = int | np.random.Generator | None
_Order: TypeAlias = Literal[
    "default", "natural", "fixed", "colamd", "amd", "metis", "best", "cholmod", "bestamd"
]
_LstsqMethod: TypeAlias = Literal["cod", "pinv", "basic"]
_Block: TypeAlias = tuple[_MatrixLike, npt.ArrayLike]

class RFactor:
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    @classmethod
    def from_rows(
        cls,
        A: _MatrixLike,
        b: _Sparse | npt.ArrayLike | None = None,
        *,
        order: _Order = "default",
        perm: npt.ArrayLike | None = None,
    ) -> RFactor: ...
    def add_rows(self, A_new: _MatrixLike, b_new: _Sparse | npt.ArrayLike | None = None) -> RFactor: ...
    def merge(self, other: RFactor) -> RFactor: ...
    @property
    def perm(self) -> npt.NDArray[np.int64]: ...
    @property
    def nrows(self) -> int: ...
    @property
    def shape(self) -> tuple[int, int]: ...
    @property
    def nrhs(self) -> int: ...
    @property
    def dtype(self) -> np.dtype[_Values]: ...
    @property
    def itype(self) -> np.dtype[np.int32 | np.int64]: ...
    @property
    def R(self) -> csc_array[Any]: ...
    @property
    def c(self) -> _Dense | None: ...
    @property
    def residual_norm(self) -> float | npt.NDArray[np.float64] | None: ...
    @property
    def nbytes(self) -> int: ...
    def solve(
        self,
        tol: float | None = None,
        *,
        rtol: float | None = None,
        method: _LstsqMethod = "cod",
        options: RankOptions | None = None,
        rng: _Seed = 0,
    ) -> LstsqResult: ...
    def csne_solve(self, A: _MatrixLike, b: _Sparse | npt.ArrayLike) -> _Dense: ...

def column_order(
    blocks: _Sparse | Iterable[_MatrixLike | _Block], order: _Order = "default"
) -> npt.NDArray[np.int64]: ...
def lstsq(
    A: _MatrixLike | Iterable[_Block] | Any,
    b: _Sparse | npt.ArrayLike | Any | None = None,
    *,
    order: _Order = "default",
    perm: npt.ArrayLike | None = None,
    tol: float | None = None,
    rtol: float | None = None,
    method: _LstsqMethod = "cod",
    block_rows: int | None = None,
    split_every: int | None = None,
    options: RankOptions | None = None,
    rng: _Seed = 0,
) -> LstsqResult: ...
