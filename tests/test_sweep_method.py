"""`unique_rows` with the projection sweep method (a `method` beginning with "A" or "a")."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import rilo
import sweep_reference

DTYPES = [np.float32, np.float64]
MODES = [False, True]


def sweep(rows, tolerance, sorted_index, dtype=None, method="A"):
    """Runs the sweep on `rows` (converted to `dtype` when given)."""
    query = np.asarray(rows, dtype=dtype)
    return rilo.unique_rows(query, tolerance, sorted_index, method)


def assert_result(result, rows, index, inverse):
    """Asserts the result tuple is (rows[index], index, inverse) in every bit, with the right
    element types and shapes."""
    unique, got_index, got_inverse = result
    rows = np.asarray(rows)
    assert got_index.dtype == np.int32 and got_inverse.dtype == np.int32
    assert unique.dtype == rows.dtype
    assert got_index.tolist() == list(index)
    assert got_inverse.tolist() == list(inverse)
    expected = rows[np.asarray(index, dtype=np.intp)]
    assert unique.shape == expected.shape
    assert unique.tobytes() == expected.tobytes()


# --- shape checks --------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize(
    "query_shape, message",
    [((), "invalid axis: 0 (ndim = 0)"), ((3,), "invalid axis: 1 (ndim = 1)"), ((0,), "invalid axis: 1 (ndim = 1)")],
)
def test_fewer_than_two_dimensions_raise_index_error(dtype, sorted_index, query_shape, message):
    with pytest.raises(IndexError) as error:
        sweep(np.zeros(query_shape), 1.0, sorted_index, dtype)
    assert str(error.value) == message


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("query_shape", [(2, 3, 1), (2, 3, 0), (2, 0, 3), (0, 2, 2), (1, 1, 1, 1)])
def test_more_than_two_dimensions_are_refused(dtype, query_shape):
    with pytest.raises(RuntimeError, match="^input array must be 2D$"):
        sweep(np.ones(query_shape), 1.0, True, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
def test_nan_tolerance_is_refused(dtype):
    with pytest.raises(ValueError, match="^tolerance must not be NaN$"):
        sweep([[0.0], [1.0]], float("nan"), False, dtype)


@pytest.mark.parametrize("query_shape", [(2**31, 1), (1, 2**31), (2**16, 2**15)])
def test_too_large_input_is_refused_before_reading_it(query_shape):
    query = np.lib.stride_tricks.as_strided(np.zeros(1), shape=query_shape, strides=(0, 0))
    with pytest.raises(ValueError, match="^input too large"):
        sweep(query, 1.0, False)


@pytest.mark.address_space
@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_empty_input_with_the_most_columns_allocates_nothing_per_column(dtype):
    # Run apart, under a 3 GiB address-space cap that an m-sized scratch vector would exceed.
    code = textwrap.dedent(f"""
        import resource
        import numpy as np
        import rilo
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        unique, index, inverse = rilo.unique_rows(np.empty((0, 2**31 - 1), "{dtype}"), 1.0, True, "A")
        print(unique.shape, index.shape, inverse.shape)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "(0, 2147483647) (0,) (0,)"


# --- worked examples -----------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize("m", [0, 1, 3])
def test_no_rows(dtype, sorted_index, m):
    assert_result(sweep(np.zeros((0, m)), 1.0, sorted_index, dtype), np.zeros((0, m), dtype), [], [])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize("tolerance", [0.0, 1.0])
def test_one_row(dtype, sorted_index, tolerance):
    rows = np.array([[1.5, -0.0, 7.0]], dtype)
    assert_result(sweep(rows, tolerance, sorted_index), rows, [0], [0])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
def test_claimed_row_opens_nothing_and_groups_are_not_transitive(dtype, sorted_index):
    # 0.6 is claimed by 0.0; 1.2 lies within the tolerance of 0.6 but opens its own group.
    rows = np.array([[0.0], [0.6], [1.2]], dtype)
    assert_result(sweep(rows, 1.0, sorted_index), rows, [0, 2], [0, 0, 1])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
def test_close_rows_whose_sums_differ_by_the_tolerance_stay_apart(dtype, sorted_index):
    rows = np.array([[0.0, 0.0], [0.6, 0.6]], dtype)
    assert_result(sweep(rows, 1.0, sorted_index), rows, [0, 1], [0, 1])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "sorted_index, index, inverse", [(False, [2, 0], [1, 0, 0]), (True, [0, 1], [0, 1, 1])]
)
def test_order_of_groups_and_representatives(dtype, sorted_index, index, inverse):
    rows = np.array([[2.0], [0.5], [0.0]], dtype)
    assert_result(sweep(rows, 1.0, sorted_index), rows, index, inverse)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "sorted_index, index, inverse", [(False, [1, 2], [1, 0, 1]), (True, [0, 1], [0, 1, 0])]
)
def test_takeover_of_a_representative(dtype, sorted_index, index, inverse):
    # Row 1 opens group 0 and claims row 0; row 2 opens group 1 and takes row 0 over. With
    # sorted_index the group of rows 0 and 2 is represented by row 0, the lowest of them.
    rows = np.array([[0.6, -0.3], [0.0, 0.0], [1.0, -0.8]], dtype)
    assert_result(sweep(rows, 1.0, sorted_index), rows, index, inverse)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
def test_representative_is_the_lowest_row_not_the_opening_row(dtype, sorted_index):
    # Row 2 has the lowest sum and opens the one group; rows 0 and 1 join it.
    rows = np.array([[0.25, 0.0], [0.5, 0.0], [0.0, 0.0]], dtype)
    index = [0] if sorted_index else [2]
    assert_result(sweep(rows, 1.0, sorted_index), rows, index, [0, 0, 0])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
def test_distance_exactly_the_tolerance_does_not_merge(dtype, sorted_index):
    # Squared distance 0.75**2 + 1 = 1.25**2 exactly; the sum gap is only 0.25.
    rows = np.array([[0.0, 0.0], [0.75, -1.0]], dtype)
    first = [0, 1] if sorted_index else [1, 0]
    assert_result(sweep(rows, 1.25, sorted_index), rows, first, [0, 1] if sorted_index else [1, 0])
    just_above = float(np.nextafter(dtype(1.25), dtype(2)))
    assert_result(sweep(rows, just_above, sorted_index), rows, [0] if sorted_index else [1], [0, 0])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
def test_sum_gap_exactly_the_tolerance_ends_the_scan(dtype, sorted_index):
    # Distance about 0.71 < 1, but the sums differ by exactly 1.
    rows = np.array([[0.0, 0.0], [0.5, 0.5]], dtype)
    assert_result(sweep(rows, 1.0, sorted_index), rows, [0, 1], [0, 1])
    assert_result(sweep(rows, 1.0 + 1e-6, sorted_index), rows, [0], [0, 0])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
def test_row_too_far_inside_the_window_does_not_end_the_scan(dtype, sorted_index):
    # Row 1 (sum 0.5) is 1.58 away from row 0; row 2 (sum 0.75) is close to row 0 again.
    rows = np.array([[0.0, 0.0], [1.5, -1.0], [0.5, 0.25]], dtype)
    assert_result(sweep(rows, 1.0, sorted_index), rows, [0, 1], [0, 1, 0])


# --- tolerances that merge nothing or everything -------------------------------------------

ROWS_WITH_DUPLICATES = [[1.0, 2.0], [0.0, 0.0], [1.0, 2.0], [-1.0, 0.5], [0.0, -0.0]]
# Stable order of the row sums 3, 0, 3, -0.5, 0 and its inverse permutation.
ASCENDING_SUMS = [3, 1, 4, 0, 2]
POSITION_IN_ASCENDING_SUMS = [3, 1, 4, 0, 2]

MERGE_NOTHING = [
    (np.float32, 0.0),
    (np.float64, 0.0),
    (np.float32, -0.0),
    (np.float64, -1.0),
    (np.float32, -1.0),
    (np.float64, float("-inf")),
    (np.float32, 1e-200),  # rounds to float32 zero
]
# Positive tolerances so small that their squares underflow to 0 (the last two): distances
# are then compared after scaling, and exact duplicates still merge.
TINY_TOLERANCES = [(np.float32, 1e-19), (np.float64, 1e-150), (np.float32, 1e-23), (np.float64, 1e-200)]


@pytest.mark.parametrize("dtype, tolerance", MERGE_NOTHING)
def test_tolerance_without_a_positive_square_merges_nothing(dtype, tolerance):
    rows = np.array(ROWS_WITH_DUPLICATES, dtype)
    every_row = list(range(len(rows)))
    assert_result(sweep(rows, tolerance, True), rows, every_row, every_row)
    assert_result(sweep(rows, tolerance, False), rows, ASCENDING_SUMS, POSITION_IN_ASCENDING_SUMS)


@pytest.mark.parametrize("dtype, tolerance", TINY_TOLERANCES)
def test_tiny_tolerance_merges_duplicates(dtype, tolerance):
    rows = np.array(ROWS_WITH_DUPLICATES, dtype)
    assert_result(sweep(rows, tolerance, True), rows, [0, 1, 3], [0, 1, 0, 2, 1])
    assert_result(sweep(rows, tolerance, False), rows, [3, 1, 0], [2, 1, 2, 0, 1])


@pytest.mark.parametrize(
    "dtype, tolerance", [(np.float32, float("inf")), (np.float64, float("inf")), (np.float32, 1e39)]
)
def test_infinite_tolerance_merges_every_row_with_finite_sums(dtype, tolerance):
    rows = np.array([[5.0, 1.0], [-3.0, 2.0], [1e3, -7.0], [0.0, -4.0]], dtype)
    assert_result(sweep(rows, tolerance, True), rows, [0], [0, 0, 0, 0])
    assert_result(sweep(rows, tolerance, False), rows, [3], [0, 0, 0, 0])


@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize(
    "dtype, tolerance, groups",
    [(np.float32, 1.0, 1), (np.float64, 1.0, 1)]
    + [(dtype, tolerance, 1) for dtype, tolerance in TINY_TOLERANCES]
    + [(dtype, tolerance, 4) for dtype, tolerance in MERGE_NOTHING],
)
def test_rows_without_columns(dtype, sorted_index, tolerance, groups):
    rows = np.zeros((4, 0), dtype)
    inverse = [0] * 4 if groups == 1 else list(range(4))
    assert_result(sweep(rows, tolerance, sorted_index), rows, list(range(groups)), inverse)


# --- the returned arrays -------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize("tolerance, k", [(1.0, 2), (0.0, 5)])
def test_results_are_trimmed_fresh_arrays(dtype, sorted_index, tolerance, k):
    query = np.array([[0.0, 0.0], [0.1, 0.0], [3.0, 3.0], [3.0, 3.1], [0.0, 0.2]], dtype)
    original = query.copy()
    unique, index, inverse = sweep(query, tolerance, sorted_index)
    assert (unique.shape, index.shape, inverse.shape) == ((k, 2), (k,), (5,))
    for array in (unique, index, inverse):
        assert array.flags.owndata and array.flags.writeable and array.flags.c_contiguous
        assert array.base is None
        assert not np.shares_memory(array, query)
        array[...] = 7
    np.testing.assert_array_equal(query, original)


# --- method selection ----------------------------------------------------------------------


def test_only_a_leading_a_or_capital_a_selects_the_sweep():
    # The sort method merges these rows (each column within 1); the sweep keeps them apart.
    query = np.array([[0.0, 0.0], [0.6, 0.6]])
    for first in range(256):
        for rest in (b"", b"uff", b"\x00"):
            method = bytes([first]) + rest
            groups = len(rilo.unique_rows(query, 1.0, True, method)[1])
            assert groups == (2 if first in b"Aa" else 1), method


@pytest.mark.parametrize("method", ["A", "a", "auto", "Anything", "a sort", "A\u00e9", bytearray(b"ab")])
def test_method_strings_that_select_the_sweep(method):
    query = np.array([[0.0, 0.0], [0.6, 0.6]])
    assert len(rilo.unique_rows(query, 1.0, True, method)[1]) == 2


@pytest.mark.parametrize("method", ["", " a", "b", "sort", "\u00c4", "\u00e1", "0A"])
def test_method_strings_that_select_the_sort(method):
    query = np.array([[0.0, 0.0], [0.6, 0.6]])
    assert len(rilo.unique_rows(query, 1.0, True, method)[1]) == 1


# --- the result contract on hostile input --------------------------------------------------


def hostile_rows(rng, dtype):
    """Small random rows sprinkled with NaN, infinities, signed zeros and huge values."""
    n = int(rng.integers(0, 25))
    m = int(rng.integers(0, 4))
    unusual_values = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e38, -1e38, 0.5])
    rows = rng.integers(-2, 3, size=(n, m)) * 0.5
    mask = rng.random((n, m)) < 0.2
    rows[mask] = rng.choice(unusual_values, size=int(mask.sum()))
    return rows.astype(dtype)


def check_contract(query, result):
    """Asserts what every result must satisfy, whatever the values."""
    unique, index, inverse = result
    n, m = query.shape
    k = len(index)
    assert unique.shape == (k, m) and inverse.shape == (n,)
    assert (n == 0) == (k == 0)
    assert len(set(index.tolist())) == k and all(0 <= row < n for row in index)
    assert all(0 <= group < k for group in inverse)
    np.testing.assert_array_equal(inverse[index], np.arange(k))
    assert unique.tobytes() == query[index].tobytes()
    for row in range(n):
        if not np.all(np.isfinite(query[row])):
            assert np.count_nonzero(inverse == inverse[row]) == 1, "non-finite row shares a group"


@pytest.mark.parametrize("dtype", DTYPES)
def test_result_contract_on_hostile_input(dtype):
    rng = np.random.default_rng(7 + np.dtype(dtype).itemsize)
    tolerances = [0.0, -0.0, -1.0, 0.4, 1.0, 3.0, 1e-23, 1e-200, 1e39, float("inf"), float("-inf")]
    for _ in range(300):
        query = hostile_rows(rng, dtype)
        tolerance = float(rng.choice(tolerances))
        by_opening = sweep(query, tolerance, False)
        by_lowest = sweep(query, tolerance, True)
        check_contract(query, by_opening)
        check_contract(query, by_lowest)
        # Both modes group the rows alike; the lowest row of each group represents it.
        same_group = by_opening[1][by_opening[2]]
        np.testing.assert_array_equal(by_lowest[1][by_lowest[2]], [
            np.flatnonzero(same_group == same_group[row]).min() for row in range(len(query))
        ])
        assert np.all(np.diff(by_lowest[1]) > 0)
        # Every row lies within the tolerance of the opening row that represents its group.
        with np.errstate(all="ignore"):
            for row, group in enumerate(by_opening[2]):
                opening = by_opening[1][group]
                if opening != row:
                    assert sweep_reference.distance_below(query[row], query[opening], dtype(tolerance))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize("nan_rows", [
    [[np.nan, 0.0, 0.0]],
    [[0.0, 0.0, np.nan], [np.nan, np.nan, np.nan]],
    [[np.nan, 1.0, 2.0]] * 3,
])
def test_nan_rows_do_not_split_other_groups(dtype, sorted_index, nan_rows):
    # Every NaN row is a group of its own; it must not cut into the sweep of the other rows.
    rng = np.random.default_rng(3)
    centres = rng.permutation(2000)[:1000, None] * np.array([1.0, 0.5, 0.25])
    pairs = np.concatenate([centres, centres + rng.uniform(-1e-4, 1e-4, centres.shape)])
    query = np.concatenate([pairs, nan_rows]).astype(dtype)[rng.permutation(2000 + len(nan_rows))]
    unique, index, inverse = sweep(query, 0.01, sorted_index)
    assert len(unique) == 1000 + len(nan_rows)
    nan_members = np.flatnonzero(np.isnan(query).any(axis=1))
    assert sorted(inverse[nan_members]) == sorted(set(inverse[nan_members]))


# --- magnitudes and shared row sums --------------------------------------------------------

# Per dtype: a tolerance whose square overflows, and one whose square underflows to 0.
HUGE = {np.float32: 3e19, np.float64: 3e154}
TINY = {np.float32: 1e-23, np.float64: 1e-170}
LARGEST = {np.float32: 3e38, np.float64: 1e308}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize("scale, first, second, merged", [
    (HUGE, [0.0, 0.0], [0.0, 2 / 3], True),
    (HUGE, [0.0, 0.0], [0.7, -0.7], True),  # distance 0.99 t
    (HUGE, [0.0, 0.0], [0.72, -0.72], False),  # distance 1.02 t
    (TINY, [0.0, 0.0], [0.7, -0.7], True),
    (TINY, [0.0, 0.0], [0.72, -0.72], False),
])
def test_squared_tolerance_out_of_range_still_decides(dtype, sorted_index, scale, first, second, merged):
    # Rows given in units of the tolerance; exact duplicates under tiny tolerances are tested
    # with the other tiny tolerances above.
    tolerance = scale[dtype]
    rows = np.array([first, second], dtype) * dtype(tolerance)
    assert_result(sweep(rows, tolerance, sorted_index), rows, [0] if merged else [0, 1], [0, 0] if merged else [0, 1])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
def test_infinite_tolerance_merges_rows_whose_distance_overflows(dtype, sorted_index):
    big = LARGEST[dtype]
    rows = np.array([[big, -big], [-big, big], [1.0, 2.0]], dtype)
    assert_result(sweep(rows, float("inf"), sorted_index), rows, [0], [0, 0, 0])


@pytest.mark.parametrize("dtype", DTYPES)
def test_finite_rows_whose_sum_overflows_stay_apart(dtype):
    # Their row sum is infinite, so they open no window and join none.
    big = LARGEST[dtype]
    rows = np.array([[big, big], [big, big]], dtype)
    assert_result(sweep(rows, float("inf"), True), rows, [0, 1], [0, 1])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
def test_rows_sharing_their_sum_match_the_model(dtype, sorted_index):
    # Points of a coarse simplex lattice (sum 1.2), some copied, all jittered: every row is in
    # every window, so the sweep searches the windows through its grid.
    rng = np.random.default_rng(11)
    counts = rng.multinomial(12, [1 / 3] * 3, size=200)
    rows = counts * 0.1 + rng.uniform(-0.02, 0.02, size=(200, 3))
    rows = np.concatenate([rows, rows[rng.integers(0, 200, 100)]]).astype(dtype)[rng.permutation(300)]
    result = sweep(rows, 0.15, sorted_index)
    unique, index, inverse = sweep_reference.unique_rows(rows, 0.15, sorted_index)
    assert_result(result, rows, index.tolist(), inverse.tolist())
    assert len(index) < len(rows)


# --- several cores -------------------------------------------------------------------------


def rows_crowding_the_range_joins(n, dtype, seed):
    """Rows whose sums crowd within a few tolerances (t = 0.01) of each other: a shuffled chain
    of steps of 0.6 t (every other row opens, and a range of the sweep order swept alone from the
    wrong row opens on the wrong rows all along), copies within and just beyond the tolerance,
    rows sharing one sum, and NaN, ±inf and huge values."""
    rng = np.random.default_rng(seed)
    quarter = n // 4
    chain = np.zeros((quarter, 3))
    chain[:, 0] = np.arange(quarter) * 0.006
    shared = rng.integers(-40, 40, (quarter, 3)) * 0.005
    shared[:, 2] = -shared[:, 0] - shared[:, 1]
    scattered = rng.random((n - 3 * quarter, 3)) * n * 0.01 / 8
    copies = scattered[rng.integers(0, len(scattered), quarter)]
    copies += rng.choice([0.0, 0.003, 0.00577, 0.00578], (quarter, 1))
    rows = np.concatenate([chain, shared, scattered, copies])
    specials = rng.integers(0, n, n // 200)
    rows[specials, rng.integers(0, 3, len(specials))] = rng.choice([np.nan, np.inf, -np.inf, 1e300], len(specials))
    with np.errstate(over="ignore"):  # 1e300 is an infinity in float32
        return rows[rng.permutation(n)].astype(dtype)


def rows_sharing_one_sum(n, dtype, seed):
    """Rows whose sums all lie within rounding of 0 (t = 0.01), so that every window spans all
    rows and several cores sweep slabs across space: a chain of steps of 0.6 t in sweep order
    (every other row opens, and which ones depends on the chain's start), a lattice of steps of
    t / 2, copies within and just beyond the tolerance, and NaN, ±inf and huge values."""
    rng = np.random.default_rng(seed)
    quarter = n // 4
    chain = np.zeros((quarter, 3))
    chain[:, 0] = np.arange(quarter) * 0.006 / np.sqrt(2)
    chain[:, 1] = -chain[:, 0]
    lattice = rng.integers(-40, 40, (quarter, 3)) * 0.005
    scattered = rng.random((n - 3 * quarter, 3)) * n * 0.01 / 8
    copies = scattered[rng.integers(0, len(scattered), quarter)]
    copies += rng.choice([0.0, 0.003, 0.00577, 0.00578], (quarter, 1))
    others = np.concatenate([lattice, scattered, copies])
    others[:, 2] = -others[:, 0] - others[:, 1]
    specials = rng.integers(0, len(others), n // 200)
    others[specials, rng.integers(0, 3, len(specials))] = rng.choice([np.nan, np.inf, -np.inf, 1e300], len(specials))
    places = rng.permutation(n)
    rows = np.empty((n, 3))
    rows[np.sort(places[:quarter])] = chain
    rows[places[quarter:]] = others
    with np.errstate(over="ignore"):  # 1e300 is an infinity in float32
        return rows.astype(dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize("n", [2**16 - 1, 2**16 + 64, 200_003])
@pytest.mark.parametrize("make_rows", [rows_crowding_the_range_joins, rows_sharing_one_sum])
def test_several_cores_give_the_one_core_result(dtype, sorted_index, n, make_rows):
    rows = make_rows(n, dtype, seed=n)
    usable = os.sched_getaffinity(0)
    if len(usable) < 2:
        pytest.skip("one usable CPU")
    expected = sweep(rows, 0.01, sorted_index)
    os.sched_setaffinity(0, {min(usable)})
    try:
        one_core = sweep(rows, 0.01, sorted_index)
    finally:
        os.sched_setaffinity(0, usable)
    for got, want in zip(one_core, expected):
        assert got.tobytes() == want.tobytes()
