"""Inputs with more rows, columns or elements than 32-bit indices can count are refused from
their shape alone: shown on memory-mapped sparse files of many gigabytes that hold no data, so
that any read or copy of the values would show up as resident memory."""
import os

import numpy as np
import pytest

import rilo

# Reading the mapped data would bring at least hundreds of MiB of zero pages into memory;
# bookkeeping and allocator noise stay far below this.
RSS_GROWTH_LIMIT = 16 * 1024 * 1024
LIMIT = 2**31 - 1


def resident_bytes():
    """The process's resident set size, from /proc."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sparse_map(directory, dtype, shape):
    """A read-only memory map of `shape` over a sparse file of the right size, which holds no
    data blocks."""
    path = directory / "sparse.bin"
    with open(path, "wb") as file:
        file.truncate(int(np.prod(shape, dtype=np.int64)) * np.dtype(dtype).itemsize)
    return np.memmap(path, dtype=dtype, mode="r", shape=shape)


# (shape of the mapped file, view taken of it)
CASES = {
    "rows": ((LIMIT + 1, 1), lambda array: array),
    "columns": ((1, LIMIT + 1), lambda array: array),
    "elements": ((2**16, 2**15 + 1), lambda array: array),
    "transposed elements": ((2**15 + 1, 2**16), lambda array: array.T),
    "reversed rows": ((LIMIT + 1, 1), lambda array: array[::-1]),
    "one-dimensional": ((LIMIT + 1,), lambda array: array),
}


@pytest.mark.parametrize("method", ["", "a"])
@pytest.mark.parametrize("dtype", [np.float32, "<f8", ">f4"])
@pytest.mark.parametrize("case", list(CASES))
def test_oversized_input_is_refused_without_reading_it(tmp_path, case, dtype, method):
    shape, view_of = CASES[case]
    query = view_of(sparse_map(tmp_path, dtype, shape))
    before = resident_bytes()
    with pytest.raises(ValueError, match=r"^input too large: .*got shape \(\d+(, \d+)?,?\)$"):
        rilo.unique_rows(query, 0.1, True, method)
    growth = resident_bytes() - before
    assert growth < RSS_GROWTH_LIMIT, f"resident memory grew by {growth} bytes"
    del query

