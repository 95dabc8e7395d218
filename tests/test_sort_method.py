"""The tolerant sort method: ordering, grouping and renumbering as seen from Python."""
import itertools
import threading

import numpy as np
import pytest

import rilo

FLOAT_TYPES = [np.float32, np.float64]
INF = float("inf")
NAN = float("nan")


def unique_rows(rows, tolerance, sorted_index, dtype=np.float64):
    return rilo.unique_rows(np.array(rows, dtype=dtype), tolerance, sorted_index, "")


def assert_result(result, unique, representatives, inverse, dtype):
    np.testing.assert_array_equal(result[0], np.array(unique, dtype=dtype).reshape(len(representatives), -1))
    np.testing.assert_array_equal(result[1], representatives)
    np.testing.assert_array_equal(result[2], inverse)


def assert_invariants(query, tolerance, sorted_index, result):
    """The properties every result of the sort method has, whatever the ordering did."""
    unique, representatives, inverse = result
    groups = len(representatives)
    assert len(set(representatives.tolist())) == groups
    assert np.all((0 <= representatives) & (representatives < len(query)))
    assert np.all((0 <= inverse) & (inverse < groups))
    np.testing.assert_array_equal(inverse[representatives], np.arange(groups))
    np.testing.assert_array_equal(unique, query[representatives])
    differences = np.abs(query - query[representatives[inverse]])
    assert np.all(differences <= query.dtype.type(tolerance))
    if sorted_index:
        assert np.all(np.diff(representatives) > 0)


WORKED_ROWS = [[1.0, 2.0], [0.0, 5.0], [1.05, 2.02], [0.02, 4.95], [1.0, 3.0]]


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize(
    "sorted_index, unique, representatives, inverse",
    [
        (False, [[0.0, 5.0], [1.0, 2.0], [1.0, 3.0]], [1, 0, 4], [1, 0, 1, 0, 2]),
        (True, [[1.0, 2.0], [0.0, 5.0], [1.0, 3.0]], [0, 1, 4], [0, 1, 0, 1, 2]),
    ],
)
def test_worked_example(sorted_index, unique, representatives, inverse, dtype):
    result = unique_rows(WORKED_ROWS, 0.1, sorted_index, dtype)
    assert_result(result, unique, representatives, inverse, dtype)


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize(
    "rows, tolerance, sorted_index, unique, representatives, inverse",
    [
        # Each row is compared with its group's first row, not with its neighbour.
        ([[0.0], [0.8], [1.6]], 1.0, False, [[0.0], [1.6]], [0, 2], [0, 0, 1]),
        ([[0.0], [0.8], [1.6]], 1.0, True, [[0.0], [1.6]], [0, 2], [0, 0, 1]),
        # A difference equal to the tolerance matches.
        ([[0.0], [0.5]], 0.5, False, [[0.0]], [0], [0, 0]),
        ([[0.0], [0.5]], 0.5, True, [[0.0]], [0], [0, 0]),
        # The ordering puts row 1 first; only sorted_index renumbers.
        ([[1.0], [0.0]], 0.1, False, [[0.0], [1.0]], [1, 0], [1, 0]),
        ([[1.0], [0.0]], 0.1, True, [[1.0], [0.0]], [0, 1], [0, 1]),
        # Exact duplicates merge at tolerance zero even when their first columns tie with others.
        ([[0.0, 1.0], [0.0, 2.0], [0.0, 1.0]], 0.0, True, [[0.0, 1.0], [0.0, 2.0]], [0, 1], [0, 1, 0]),
        ([[0.0, 1.0], [0.0, 2.0], [0.0, 1.0]], -0.0, True, [[0.0, 1.0], [0.0, 2.0]], [0, 1], [0, 1, 0]),
        # +0.0 and -0.0 are equal.
        ([[0.0, 1.0], [-0.0, 1.0]], 0.0, True, [[0.0, 1.0]], [0], [0, 0]),
        # A negative tolerance matches no finite values, not even equal ones.
        ([[3.0, 1.0], [1.0, 2.0], [2.0, 0.0], [1.0, 1.0]], -1.0, False,
         [[1.0, 1.0], [1.0, 2.0], [2.0, 0.0], [3.0, 1.0]], [3, 1, 2, 0], [3, 1, 2, 0]),
        ([[3.0, 1.0], [1.0, 2.0], [2.0, 0.0], [1.0, 1.0]], -1.0, True,
         [[3.0, 1.0], [1.0, 2.0], [2.0, 0.0], [1.0, 1.0]], [0, 1, 2, 3], [0, 1, 2, 3]),
        ([[2.0], [2.0], [1.0]], -0.5, True, [[2.0], [2.0], [1.0]], [0, 1, 2], [0, 1, 2]),
        # ... but two NaNs and two equal infinities still match.
        ([[NAN, -INF], [NAN, -INF]], -1.0, True, [[NAN, -INF]], [0], [0, 0]),
        # An infinite tolerance merges all finite rows, and infinities with them.
        ([[1e30, -5.0], [-1e30, 7.0], [0.0, INF]], INF, True, [[1e30, -5.0]], [0], [0, 0, 0]),
        ([[4.0, -5.0], [-3.0, 7.0], [0.0, 0.0]], INF, False, None, None, [0, 0, 0]),
        # No columns: every row matches.
        ([[], [], []], 0.1, True, [[]], [0], [0, 0, 0]),
        # One row.
        ([[2.5, -1.0]], 0.1, False, [[2.5, -1.0]], [0], [0]),
        ([[2.5, -1.0]], -1.0, True, [[2.5, -1.0]], [0], [0]),
    ],
)
def test_small_examples(rows, tolerance, sorted_index, unique, representatives, inverse, dtype):
    result = unique_rows(rows, tolerance, sorted_index, dtype)
    if representatives is None:
        # Which row the unstable ordering puts first is not fixed.
        representatives = result[1]
        assert len(representatives) == 1
        unique = np.array(rows, dtype=dtype)[representatives]
    assert_result(result, unique, representatives, inverse, dtype)


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
def test_no_columns_give_one_group(dtype, sorted_index):
    unique, representatives, inverse = unique_rows(np.zeros((5, 0)), 0.1, sorted_index, dtype)
    assert unique.shape == (1, 0) and len(representatives) == 1 and 0 <= representatives[0] < 5
    np.testing.assert_array_equal(inverse, np.zeros(5))


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize("columns", [0, 1, 4])
def test_no_rows_give_empty_results(columns, dtype, sorted_index):
    unique, representatives, inverse = unique_rows(np.zeros((0, columns)), 0.1, sorted_index, dtype)
    assert unique.shape == (0, columns) and unique.dtype == dtype
    assert representatives.shape == inverse.shape == (0,)


@pytest.mark.parametrize("shape", [(), (0,), (3,), (2, 2, 2), (0, 2, 2), (1, 1, 1)], ids=str)
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
def test_only_two_dimensional_input_is_accepted(shape, dtype):
    with pytest.raises(RuntimeError, match="^input array must be 2D$"):
        rilo.unique_rows(np.zeros(shape, dtype=dtype), 0.1, True, "")


def separate_groups(result, count):
    unique, representatives, inverse = result
    assert sorted(representatives.tolist()) == list(range(count))
    np.testing.assert_array_equal(representatives[inverse], np.arange(count))


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize("tolerance", [0.0, 0.1, 10.0, INF])
@pytest.mark.parametrize(
    "rows",
    [
        [[5.0, 0.0], [NAN, 0.0]],
        [[NAN, 0.0], [5.0, 0.0]],
        [[5.0, 0.0], [5.0, NAN]],
        [[5.0, NAN], [5.0, 0.0]],
        [[1.0, 1.0], [NAN, NAN]],
        [[INF, 0.0], [NAN, 0.0]],
    ],
    ids=str,
)
def test_nan_neither_absorbs_nor_is_absorbed(rows, tolerance, dtype, sorted_index):
    separate_groups(unique_rows(rows, tolerance, sorted_index, dtype), len(rows))


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize("tolerance", [0.0, 0.1, INF])
@pytest.mark.parametrize(
    "rows",
    [[[NAN, 0.0], [NAN, 0.0]], [[1.0, NAN], [1.0, NAN]], [[INF, 1.0], [INF, 1.0]], [[2.0, -INF], [2.0, -INF]]],
    ids=str,
)
def test_two_nans_or_equal_infinities_match(rows, tolerance, dtype, sorted_index):
    _, representatives, inverse = unique_rows(rows, tolerance, sorted_index, dtype)
    assert len(representatives) == 1
    np.testing.assert_array_equal(inverse, [0, 0])


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize(
    "rows, tolerance, groups",
    [
        ([[INF], [-INF]], 1e30, 2),
        ([[INF], [-INF]], INF, 1),
        ([[INF], [1e30]], 1e30, 2),
        ([[INF], [1e30]], INF, 1),
        ([[-INF, 0.0], [-1.0, 0.0]], INF, 1),
    ],
)
def test_infinity_against_other_values(rows, tolerance, groups, dtype):
    assert len(unique_rows(rows, tolerance, True, dtype)[1]) == groups


def near_duplicate_pairs(count, seed):
    """`count` distinct rows at least 0.5 apart in some column (the first column repeats exactly,
    so later columns decide), each twice with noise far below a tolerance of 0.01."""
    index = np.arange(count)
    points = np.stack([index % 37, index // 37, (index * 7919 % count) * 0.5], axis=1).astype(float)
    noise = np.random.default_rng(seed).uniform(-1e-4, 1e-4, size=(2 * count, 3))
    return np.concatenate([points, points]) + noise, np.concatenate([index, index])


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize(
    "nan_rows, nan_groups",
    [
        ([[NAN, 5.0, 5.0]], 1),
        ([[3.0, NAN, 7.0]], 1),
        ([[NAN, NAN, NAN]], 1),
        ([[NAN, 5.0, 5.0], [3.0, NAN, 7.0], [2.0, 4.0, NAN], [NAN, NAN, NAN], [NAN, NAN, NAN]], 4),
    ],
    ids=str,
)
def test_nan_rows_leave_the_grouping_of_other_rows_alone(nan_rows, nan_groups, dtype, sorted_index):
    pairs, point_of_row = near_duplicate_pairs(1000, seed=len(nan_rows))
    order = np.random.default_rng(5).permutation(len(pairs) + len(nan_rows))
    rows = np.concatenate([pairs, nan_rows])[order].astype(dtype)
    _, representatives, inverse = rilo.unique_rows(rows, 0.01, sorted_index, "")
    assert len(representatives) == 1000 + nan_groups
    is_pair_row = order < len(pairs)
    groups_of_points = {}
    for group, point in zip(inverse[is_pair_row].tolist(), point_of_row[order[is_pair_row]].tolist()):
        groups_of_points.setdefault(point, set()).add(group)
    assert all(len(groups) == 1 for groups in groups_of_points.values())
    assert not set(inverse[is_pair_row].tolist()) & set(inverse[~is_pair_row].tolist())


def random_rows(seed, count, columns, dtype, levels):
    """`count` rows of integers below `levels`, so exact duplicates are common."""
    generator = np.random.default_rng(seed)
    return generator.integers(0, levels, size=(count, columns)).astype(dtype)


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize("tolerance", [0.0, -0.0, 0.5, 0.999])
@pytest.mark.parametrize("columns", [1, 3, 6])
def test_rows_an_integer_apart_group_exactly_like_np_unique(columns, tolerance, dtype, sorted_index):
    # Below a tolerance of 1 the ordering on integer rows is the plain lexicographic one, so every
    # set of exact duplicates ends up adjacent and forms one group.
    query = random_rows(columns, 400, columns, dtype, levels=3)
    result = rilo.unique_rows(query, tolerance, sorted_index, "")
    assert_invariants(query, max(tolerance, 0.0), sorted_index, result)
    distinct = np.unique(query, axis=0)
    assert len(result[1]) == len(distinct)
    if not sorted_index:
        np.testing.assert_array_equal(result[0], distinct)


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize("tolerance", [1e-6, 0.05, 0.3, 1.0, 4.0])
@pytest.mark.parametrize("shape", [(1, 3), (2, 1), (50, 2), (700, 3), (300, 8)], ids=str)
def test_results_keep_their_invariants_on_noisy_rows(shape, tolerance, dtype, sorted_index):
    generator = np.random.default_rng(shape[0] * 31 + shape[1])
    centres = generator.uniform(-5.0, 5.0, size=(max(shape[0] // 5, 1), shape[1]))
    noise = generator.uniform(-0.02, 0.02, size=shape)
    query = (centres[generator.integers(0, len(centres), size=shape[0])] + noise).astype(dtype)
    assert_invariants(query, tolerance, sorted_index, rilo.unique_rows(query, tolerance, sorted_index, ""))


def test_stable_ordering_makes_the_earliest_of_equal_rows_representative():
    # Every row is one of four patterns; with the stable order the first occurrence of each
    # pattern leads its group.
    query = random_rows(7, 300, 2, np.float64, levels=2)
    _, representatives, inverse = rilo.unique_rows(query, 0.0, True, "")
    _, first_occurrence, first_inverse = np.unique(query, axis=0, return_index=True, return_inverse=True)
    np.testing.assert_array_equal(representatives, np.sort(first_occurrence))
    np.testing.assert_array_equal(first_occurrence[first_inverse.ravel()], representatives[inverse])


def test_calls_from_several_threads_match_sequential_calls():
    generator = np.random.default_rng(3)
    calls = [
        (generator.uniform(0, 1, size=(2000, 3)).astype(dtype), tolerance, sorted_index)
        for dtype, tolerance, sorted_index in itertools.product(FLOAT_TYPES, [0.01, 0.2], [True, False])
    ]
    expected = [rilo.unique_rows(query, tolerance, sorted_index, "") for query, tolerance, sorted_index in calls]
    results = {}

    def run(thread_number):
        for repeat in range(5):
            for call_number, (query, tolerance, sorted_index) in enumerate(calls):
                results[thread_number, repeat, call_number] = rilo.unique_rows(query, tolerance, sorted_index, "")

    threads = [threading.Thread(target=run, args=(number,)) for number in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 6 * 5 * len(calls)
    for (_, _, call_number), result in results.items():
        for got, want in zip(result, expected[call_number]):
            np.testing.assert_array_equal(got, want)
