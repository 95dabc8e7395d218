"""The result contract of `rilo.unique_rows`, checked on any input, and a decoder of raw bytes
into a call, shared by the property tests and the fuzz harness.

Every distance is recomputed here in the input's own dtype, one NumPy operation at a time in the
order the extension uses, so the checks hold bit for bit for float32 as well as float64.
"""
import struct

import numpy as np

import rilo
from sweep_reference import distance_below, squared_distance


class ContractError(AssertionError):
    """A result of `unique_rows` breaks its contract."""


def _require(condition, message):
    """Raises ContractError with `message` unless `condition` holds."""
    if not condition:
        raise ContractError(message)


def is_sweep(method):
    """True when `method` (str or bytes) selects the projection sweep: it starts with A or a."""
    first = method[:1]
    return first in ("A", "a", b"A", b"a")


def rows_match(row_a, row_b, tolerance):
    """The sort method's grouping test: every column differs by at most `tolerance`; a NaN
    difference matches only between two NaNs or two equal infinities."""
    difference = row_a - row_b
    within = ~(np.abs(difference) > tolerance)
    nan_ok = ~np.isnan(difference) | (row_a == row_b) | (np.isnan(row_a) & np.isnan(row_b))
    return bool(np.all(within & nan_ok))


def _check_shapes(query, result):
    """Checks the tuple's types, dtypes, shapes and ownership; returns (unique, rep, inverse)."""
    _require(type(result) is tuple and len(result) == 3, "result is not a 3-tuple")
    unique, rep, inverse = result
    n, m = query.shape
    k = len(rep)
    dtypes = [array.dtype for array in result]
    _require(dtypes == [query.dtype.newbyteorder("="), np.dtype(np.int32), np.dtype(np.int32)],
             f"dtypes {dtypes}")
    shapes = [array.shape for array in result]
    _require(shapes == [(k, m), (k,), (n,)], f"shapes {shapes} for input {query.shape}")
    for array in result:
        _require(type(array) is np.ndarray and array.flags.c_contiguous and array.flags.owndata,
                 "a result array is not a fresh C-contiguous ndarray")
    return unique, rep, inverse


def _check_indices(n, rep, inverse):
    """Checks rep (distinct rows in range), inverse (groups in range) and inverse[rep[g]] = g."""
    k = len(rep)
    _require(0 <= k <= n and (k > 0 or n == 0), f"{k} groups for {n} rows")
    _require(np.all((rep >= 0) & (rep < n)), "representative out of range")
    _require(len(np.unique(rep)) == k, "representatives not distinct")
    _require(np.all((inverse >= 0) & (inverse < k)), "inverse entry out of range")
    _require(np.array_equal(inverse[rep], np.arange(k)), "inverse[rep[g]] != g")


def _check_sort_groups(rows, tolerance, rep, inverse):
    """Checks that every row matches its group's representative under the grouping test."""
    for row in range(len(rows)):
        representative = rep[inverse[row]]
        if row != representative:
            _require(rows_match(rows[representative], rows[row], tolerance),
                     f"row {row} does not match its representative {representative}")


def _check_sweep_groups(rows, tolerance, rep, inverse):
    """Checks that every row lies strictly inside the tolerance of its group's opening row."""
    for row in range(len(rows)):
        opening = rep[inverse[row]]
        if row != opening:
            _require(distance_below(rows[opening], rows[row], tolerance),
                     f"row {row} at squared distance {squared_distance(rows[opening], rows[row])} "
                     f"from opening row {opening}, not within tolerance {tolerance}")


def partition(inverse):
    """The groups of an inverse as a set of frozensets of row indices."""
    groups = {}
    for row, group in enumerate(inverse.tolist()):
        groups.setdefault(group, set()).add(row)
    return {frozenset(members) for members in groups.values()}


def _check_lowest_representatives(rep, inverse):
    """Checks that rep ascends and each group's representative is its lowest member row."""
    _require(np.all(np.diff(rep) > 0), "representatives not ascending")
    lowest = np.full(len(rep), len(inverse), dtype=np.int64)
    np.minimum.at(lowest, inverse, np.arange(len(inverse)))
    _require(np.array_equal(lowest, rep), "a representative is not its group's lowest row")


def check_structure(query, sorted_index, result):
    """Asserts the clauses of the contract that hold whatever values the rows held during the
    call: types, shapes, index ranges, inverse[rep[g]] = g, and ascending representatives when
    `sorted_index`. Raises ContractError naming the first broken clause."""
    _, rep, inverse = _check_shapes(query, result)
    _check_indices(query.shape[0], rep, inverse)
    if sorted_index:
        _require(np.all(np.diff(rep) > 0), "representatives not ascending")


def check_contract(query, tolerance, sorted_index, method, result):
    """Asserts the contract of `result = rilo.unique_rows(query, tolerance, sorted_index, method)`
    for a 2-D float32/float64 `query`; raises ContractError naming the first broken clause."""
    rows = np.ascontiguousarray(query).astype(query.dtype.newbyteorder("="))
    unique, rep, inverse = _check_shapes(query, result)
    _check_indices(len(rows), rep, inverse)
    _require(unique.tobytes() == rows[rep].tobytes(), "unique rows differ from their representatives")
    tolerance_in_t = rows.dtype.type(tolerance)
    if not is_sweep(method):
        _check_sort_groups(rows, tolerance_in_t, rep, inverse)
        if sorted_index:
            _require(np.all(np.diff(rep) > 0), "representatives not ascending")
    elif not sorted_index:
        _check_sweep_groups(rows, tolerance_in_t, rep, inverse)
    else:
        _check_lowest_representatives(rep, inverse)
        unsorted = rilo.unique_rows(query, tolerance, False, method)
        _require(partition(inverse) == partition(unsorted[2]),
                 "sorted and unsorted sweeps group the rows differently")


# Values that the decoder draws most often: steps around a tolerance of 1, signed zeros,
# the float extremes, infinities and NaN.
PALETTE = (0.0, -0.0, 0.25, 0.5, 0.75, 1.0, -1.0, 1.5, 2.0, 0.3, 0.6, 0.9, 1e-45, 5e-324,
           3.4028234663852886e38, 1.7976931348623157e308, float("inf"), float("-inf"), float("nan"),
           1.0000001, 0.9999999, 100.0, -100.0, 1e20)
TOLERANCES = (1.0, 0.5, 0.0, -0.0, -1.0, 1e-30, float("inf"), 1e39, 0.1, 2.0, 1e-200, 3.0,
              float("nan"))
METHODS = ("", "a", "A", "sort", "Any", b"a", b"x", "\u00e4")
LAYOUTS = ("c", "fortran", "transposed", "reversed", "sliced", "byteswapped")


class ByteReader:
    """Reads small integers and floats from a byte string, yielding zeros once it runs out."""

    def __init__(self, data):
        self.data = data
        self.position = 0

    def take(self, count):
        """The next `count` bytes, padded with zeros past the end."""
        chunk = self.data[self.position:self.position + count]
        self.position += count
        return chunk + bytes(count - len(chunk))

    def byte(self):
        """The next byte as an int in [0, 256)."""
        return self.take(1)[0]

    def pick(self, options):
        """One of `options`, chosen by the next byte."""
        return options[self.byte() % len(options)]

    def value(self):
        """A float: from the palette for most byte values, else eight raw bytes as a double."""
        selector = self.byte()
        if selector < 224:
            return PALETTE[selector % len(PALETTE)] * (1 + (selector // len(PALETTE)) % 3)
        return struct.unpack("<d", self.take(8))[0]


def lay_out(rows, layout):
    """`rows` (C-contiguous) as an array of the same values in another memory layout."""
    if layout == "fortran":
        return np.asfortranarray(rows)
    if layout == "transposed":
        return np.ascontiguousarray(rows.T).T
    if layout == "reversed":
        return np.ascontiguousarray(rows[::-1])[::-1]
    if layout == "sliced":
        padded = np.zeros((rows.shape[0], 2 * rows.shape[1] + 1), dtype=rows.dtype)
        padded[:, 1::2] = rows
        return padded[:, 1::2]
    if layout == "byteswapped":
        return rows.astype(rows.dtype.newbyteorder(">"))
    return rows


def decode(data):
    """Turns bytes into the arguments (query, tolerance, sorted_index, method) of a call."""
    reader = ByteReader(data)
    flags = reader.byte()
    dtype = np.float32 if flags & 1 else np.float64
    sorted_index = bool(flags & 2)
    n = reader.byte() % 48
    m = reader.byte() % 6
    tolerance = reader.pick(TOLERANCES)
    method = reader.pick(METHODS)
    layout = reader.pick(LAYOUTS)
    with np.errstate(over="ignore"):
        rows = np.array([reader.value() for _ in range(n * m)], dtype=dtype).reshape(n, m)
    return lay_out(rows, layout), tolerance, sorted_index, method


def run_bytes(data):
    """Decodes `data`, calls `unique_rows` on it and checks the contract of the result."""
    query, tolerance, sorted_index, method = decode(data)
    before = query.copy()
    if np.isnan(tolerance):
        try:
            rilo.unique_rows(query, tolerance, sorted_index, method)
        except ValueError as error:
            _require(str(error) == "tolerance must not be NaN", f"wrong message: {error}")
            return
        raise ContractError("a NaN tolerance was accepted")
    result = rilo.unique_rows(query, tolerance, sorted_index, method)
    _require(np.array_equal(query, before, equal_nan=True), "the query was modified")
    with np.errstate(all="ignore"):
        check_contract(query, tolerance, sorted_index, method, result)
