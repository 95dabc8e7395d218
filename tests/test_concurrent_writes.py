"""A call runs without the GIL, so another thread may write into `query` while the call reads
it. The grouping of the rows written is then unspecified, but the call must return a result
whose shapes and indices keep the contract, and never crash, hang or touch memory outside its
buffers (this suite also runs under AddressSanitizer and UndefinedBehaviorSanitizer in
`make check`). Sizes lie on both sides of every size at which the methods change their way."""
import threading

import numpy as np
import pytest

import rilo
from rilo_contract import check_structure

# Row counts on both sides of the sizes at which the methods switch: the sorts' insertion
# threshold (16 elements), the sweep's radix sort (from 1,024 keys), and the helper threads
# (ranges of 32,768 elements: a quicksort side, two merge-sort parts from 65,536 per half).
ROW_COUNTS = [16, 17, 1023, 1024, 32767, 32768, 131071, 131072]
COLUMNS = 3
# Tolerances for rows drawn from [0, 1): the small one keeps the sweep's windows short and the
# sort's records deciding most comparisons; the large one makes windows of hundreds of rows,
# which the sweep searches through its grid (from 512 values per window), and many ties.
TOLERANCES = [1e-3, 0.3]
# Values the writer sets per step: few, so that it steps often while a call runs.
WRITES_PER_STEP = 64
# How the rows lie: scattered in [0, 1), or on the simplex, sharing their row sum, so that every
# window of the sweep holds every row and large calls cut the rows across space into slabs.
LAYOUTS = ["scattered", "shared sums"]


def special_values(dtype):
    """What the writer puts into rows of `dtype`: NaN, infinities, the largest values (whose
    squares and sums overflow), the smallest normal and subnormal ones, zeros and a plain one."""
    info = np.finfo(dtype)
    return np.array([np.nan, np.inf, -np.inf, info.max, -info.max, info.tiny,
                     info.smallest_subnormal, 0.0, -0.0, 0.5], dtype=dtype)


class Writer:
    """A thread that keeps writing random special and ordinary values at random places of
    `query` until stopped."""

    def __init__(self, query, seed):
        self.query = query
        self.random = np.random.default_rng(seed)
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        flat = self.query.reshape(-1)
        palette = special_values(self.query.dtype)
        while not self.done.is_set():
            places = self.random.integers(0, flat.size, WRITES_PER_STEP)
            values = np.where(self.random.random(WRITES_PER_STEP) < 0.5,
                              self.random.choice(palette, WRITES_PER_STEP),
                              self.random.random(WRITES_PER_STEP).astype(self.query.dtype))
            flat[places] = values

    def __enter__(self):
        self.thread.start()

    def __exit__(self, *exc_info):
        self.done.set()
        self.thread.join()


def rows_of(layout, n, dtype, random):
    """n rows of COLUMNS values laid out as `layout` says (see LAYOUTS)."""
    if layout == "shared sums":
        return random.dirichlet(np.ones(COLUMNS), n).astype(dtype)
    return random.random((n, COLUMNS)).astype(dtype)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("sorted_index", [False, True])
@pytest.mark.parametrize("method", ["sort", "a"])
def test_calls_on_rows_written_meanwhile_keep_the_contract(method, sorted_index, dtype, layout):
    random = np.random.default_rng(7)
    for n in ROW_COUNTS:
        query = rows_of(layout, n, dtype, random)
        query[1::2] = query[::2][: n // 2] + dtype(1e-6)  # near-duplicates, so that groups form
        for tolerance in TOLERANCES:
            with Writer(query, seed=n):
                result = rilo.unique_rows(query, tolerance, sorted_index, method)
            check_structure(query, sorted_index, result)
