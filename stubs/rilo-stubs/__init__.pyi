# Type information for the `rilo` extension module, installed as the stub-only package
# `rilo-stubs` next to it, where type checkers look for stubs of a single-file module.
from typing import Final, SupportsFloat, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

__version__: Final[str]

# A float32 array can never be a float64 one, although mypy cannot prove that for NumPy's
# generic scalar types; NumPy's own stubs silence the same report.
@overload
def unique_rows(  # type: ignore[overload-overlap]
    query: npt.NDArray[np.float32],
    tolerance: SupportsFloat | SupportsIndex,
    sorted_index: bool | np.bool_,
    method: str | bytes | bytearray,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """Unique rows of a float32 array: (unique rows, representative indices, inverse)."""

@overload
def unique_rows(
    query: npt.NDArray[np.float64],
    tolerance: SupportsFloat | SupportsIndex,
    sorted_index: bool | np.bool_,
    method: str | bytes | bytearray,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """Unique rows of a float64 array: (unique rows, representative indices, inverse)."""
