"""NumPy helpers on rows that every stage shares: row sums in the sweep's own arithmetic, rows
moved as opaque records, and the sizes Dask counts for the stages' dataclasses."""
import math
from dataclasses import fields

import numpy as np
from dask.sizeof import sizeof


def row_sums(values):
    """Row sums of a 2-D block in its own dtype, added from column 0 upward, -0 read as +0;
    zeros when the block has no columns."""
    sums = np.zeros(len(values), dtype=values.dtype)
    with np.errstate(invalid="ignore", over="ignore"):  # inf - inf is NaN, as in the sweep
        for column in range(values.shape[1]):
            sums += values[:, column]
    return sums + values.dtype.type(0)


def as_records(values):
    """A C-contiguous 2-D array viewed as 1-D, one opaque item per row, which NumPy gathers and
    scatters by position up to several times faster than rows of numbers; 1-D arrays and empty
    rows as they are."""
    row_bytes = values.dtype.itemsize * math.prod(values.shape[1:])
    if values.ndim == 1 or row_bytes == 0:
        return values
    return values.view(np.dtype((np.void, row_bytes))).reshape(len(values))


def rows_at(values, positions):
    """The rows of a 2-D block at integer `positions`, gathered as records (see as_records) into
    an array of their own."""
    if values.shape[1] == 0:
        return np.take(values, positions, axis=0)
    gathered = np.take(as_records(np.ascontiguousarray(values)), positions)
    return gathered.view(values.dtype).reshape(len(gathered), values.shape[1])


def same_sums(sums_a, sums_b):
    """Whether row sums are equal in the sweep's order: as numbers, or both NaN."""
    return (sums_a == sums_b) | (np.isnan(sums_a) & np.isnan(sums_b))


def gaps_below(later_sums, opening_sum, tolerance):
    """Whether each of `later_sums` lies within the window of an opening row with row sum
    `opening_sum`: the gap, subtracted in the dtype, is below `tolerance` (false for NaN)."""
    with np.errstate(invalid="ignore", over="ignore"):
        return (later_sums - opening_sum) < tolerance


def narrowest_index_type(count):
    """The narrower of int32 and int64 that holds the integers 0 .. count."""
    return np.int32 if count <= np.iinfo(np.int32).max else np.int64


def sized(cls):
    """Registers the size of a dataclass of arrays with Dask as the sum of its fields' sizes. Dask
    otherwise reads it as an empty object, so its scheduler would move such values between
    workers as if free and its workers would not count their memory before spilling."""
    sizeof.register(cls)(lambda value: sum(sizeof(getattr(value, field.name)) for field in fields(value)))
    return cls
