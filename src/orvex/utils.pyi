# Types of orvex.utils.
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt
from scipy.sparse import csc_array, sparray, spmatrix

__all__ = ["validate_csc_input"]

_MatrixLike: TypeAlias = sparray[Any, Any] | spmatrix[Any] | npt.ArrayLike

def validate_csc_input(
    A: _MatrixLike,
) -> tuple[csc_array[np.float64 | np.complex128], None, np.dtype[np.int32 | np.int64]]: ...
