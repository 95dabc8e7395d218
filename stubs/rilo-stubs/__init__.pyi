# Type information for the `rilo` extension module, installed as the stub-only package
# `rilo-stubs` next to it, where type checkers look for stubs of a single-file module.
from typing import Final, SupportsFloat, SupportsIndex, TypeVar

import numpy as np
import numpy.typing as npt

__version__: Final[str]

_Float = TypeVar("_Float", np.float32, np.float64)

def unique_rows(
    query: npt.NDArray[_Float],
    tolerance: SupportsFloat | SupportsIndex,
    sorted_index: bool | np.bool_,
    method: str | bytes | bytearray,
) -> tuple[npt.NDArray[_Float], npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """Find the unique rows of a float array, where rows within a tolerance count as one.

    Parameters
    ----------
    query : ndarray of float32 or float64, shape (n, m)
        The rows. Any memory layout or byte order; it is read, never written, and copied only
        when it is not C-contiguous in native byte order.
    tolerance : float
        How close two rows must be to count as one, in `query`'s precision (a float32
        `query` uses the float32 rounding of it). The sort method merges rows that differ by
        at most `tolerance` in every column; the sweep method merges rows whose Euclidean
        distance is below it. Zero merges only exact copies (sort) or nothing (sweep).
    sorted_index : bool
        True gives the groups in ascending order of their representative row. False leaves
        them in the order the method meets them (the tolerant row order for the sort method,
        ascending row sum for the sweep method), which is a little faster.
    method : str
        Starting with "a" or "A" (say "all"): the projection sweep, Euclidean tolerance.
        Anything else (say "sort"): the tolerant sort, per-column tolerance.

    Returns
    -------
    unique : ndarray, shape (k, m), same dtype as `query`
        One row per group: a copy of its representative row.
    index : ndarray of int32, shape (k,)
        The row of `query` that represents each group: ``unique == query[index]``.
    inverse : ndarray of int32, shape (n,)
        For each row of `query`, the position in `unique` of the group it was merged into.
        With the sort method every row lies within `tolerance` per column of its group's
        representative; with the sweep, closer than `tolerance` to the row that opened its
        group (the representative itself when `sorted_index` is false).

    Raises
    ------
    RuntimeError
        If `query`'s dtype is not float32 or float64 (use ``np.unique(query, axis=0)`` for
        integers), or if `query` is not two-dimensional (the sweep: more than two dimensions).
    IndexError
        If `query` has fewer than two dimensions and `method` selects the sweep.
    ValueError
        If `tolerance` is NaN, or `query` has 2**31 or more rows, columns or elements.
    TypeError
        If an argument is missing or of the wrong type (a list instead of an array).
    MemoryError
        If the working memory cannot be had; nothing is returned then.
    KeyboardInterrupt
        If Ctrl-C (SIGINT) comes while the call computes on the main thread (or whatever
        another signal handler raises); the call's memory is freed and nothing is returned.

    Notes
    -----
    The call releases the GIL while it computes, so other Python threads run meanwhile and
    calls from several threads run at once, with the results of calls made one after another.
    Rows that another thread writes into `query` during the call are grouped in an unspecified
    way.

    Examples
    --------
    >>> import numpy as np, rilo
    >>> points = np.array([[0.0, 0.0], [1.0, 1.0], [0.0, 1e-9], [1.0, 1.0 + 1e-9]])
    >>> unique, index, inverse = rilo.unique_rows(points, 1e-6, True, "sort")
    >>> unique
    array([[0., 0.],
           [1., 1.]])
    >>> index
    array([0, 1], dtype=int32)
    >>> inverse
    array([0, 1, 0, 1], dtype=int32)
    """

def sweep_in_order(
    rows: npt.NDArray[_Float],
    tolerance: SupportsFloat | SupportsIndex,
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """Sweep rows handed over already in sweep order, as the projection sweep would.

    The building block of `rilo_dask`, which orders each partition of a large array itself:
    the rows are not sorted again.

    Parameters
    ----------
    rows : ndarray of float32 or float64, shape (n, m)
        The rows in sweep order: their row sums (added from column 0 upward in the rows'
        dtype, -0 as +0) ascend, NaN sums last; rows with equal sums in any order.
    tolerance : float
        As for `unique_rows` with the sweep: rows closer than it (Euclidean) count as one.

    Returns
    -------
    openings : ndarray of int32, shape (k,)
        The rows that open a group, ascending: ``rows[openings]`` are the unique rows.
    groups : ndarray of int32, shape (n,)
        For each row, the position of its group among the openings.

    Together they equal ``unique_rows(rows, tolerance, False, "a")[1:]``.

    Raises
    ------
    ValueError
        If the rows are not in sweep order, `tolerance` is NaN, or `rows` has 2**31 or more
        rows, columns or elements.
    RuntimeError, IndexError, TypeError, MemoryError, KeyboardInterrupt
        As `unique_rows` raises them.

    Examples
    --------
    >>> import numpy as np, rilo
    >>> rows = np.array([[0.0, 1.0], [0.5, 0.5], [1.0, 1.0], [1.0, 1.05]])
    >>> openings, groups = rilo.sweep_in_order(rows, 0.1)
    >>> openings
    array([0, 1, 2], dtype=int32)
    >>> groups
    array([0, 1, 2, 2], dtype=int32)
    """
