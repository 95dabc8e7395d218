"""The projection sweep agrees bit for bit with the plain-Python model in sweep_reference."""
import numpy as np
import pytest

import rilo
import sweep_reference

CASES_PER_DTYPE = 1500
MAX_ROWS = 60
MAX_COLUMNS = 4


def grid_rows(rng, count, m, tolerance):
    """Rows on a coarse grid: many exact duplicates, exact distances and signed zeros."""
    step = tolerance * rng.choice([0.25, 0.5, 0.6, 1.0])
    values = rng.integers(-2, 3, size=(count, m)) * step
    return np.copysign(values, rng.choice([-1.0, 1.0], size=(count, m)))


def chain_rows(rng, count, m, tolerance):
    """Rows strung along a line at steps a little below the tolerance, so groups overlap."""
    direction = rng.normal(size=m)
    direction /= max(np.linalg.norm(direction), 1e-300)
    steps = np.arange(count)[:, None] * tolerance * rng.uniform(0.3, 0.9)
    return rng.normal(size=m) + steps * direction + rng.normal(scale=tolerance * 0.05, size=(count, m))


def cluster_rows(rng, count, m, tolerance):
    """Rows scattered around a few centres within about the tolerance: takeovers happen here."""
    centres = rng.normal(scale=2 * tolerance, size=(rng.integers(1, 4), m))
    picks = rng.integers(0, len(centres), size=count)
    return centres[picks] + rng.uniform(-0.7, 0.7, size=(count, m)) * tolerance


def near_tolerance_rows(rng, count, m, tolerance, dtype):
    """Pairs of rows one tolerance apart along one column, give or take a few ulps."""
    rows = []
    for _ in range(max(count // 2, 1)):
        base = rng.normal(size=m).astype(dtype)
        partner = base.copy()
        if m:
            column = rng.integers(m)
            offset = dtype(tolerance)
            for _ in range(rng.integers(-2, 3)):
                offset = np.nextafter(offset, dtype(np.inf))
            partner[column] = base[column] + offset
        rows += [base, partner]
    return np.array(rows, dtype=dtype).reshape(len(rows), m)[:count]


def random_case(rng, dtype):
    """A random NaN-free input and tolerance built from a mix of the row kinds above."""
    m = int(rng.choice([0, 1, 1, 2, 2, 2, 3, 3, 4]))
    tolerance = float(rng.choice([0.1, 0.5, 1.0, 1.7]))
    pieces = []
    for _ in range(rng.integers(1, 4)):
        count = int(rng.integers(0, MAX_ROWS // 3 + 1))
        kind = rng.integers(4)
        if kind == 0:
            pieces.append(grid_rows(rng, count, m, tolerance))
        elif kind == 1:
            pieces.append(chain_rows(rng, count, m, tolerance))
        elif kind == 2:
            pieces.append(cluster_rows(rng, count, m, tolerance))
        else:
            pieces.append(near_tolerance_rows(rng, count, m, tolerance, dtype))
    rows = np.concatenate(pieces).astype(dtype)
    if len(rows) and rng.random() < 0.5:
        rows = np.concatenate([rows, rows[rng.integers(0, len(rows), size=len(rows) // 3)]])
    rows = rows[rng.permutation(len(rows))]
    if len(rows) > 1 and rng.random() < 0.3:
        # A tolerance equal to the distance between two rows puts d2 == t2 on the boundary.
        with np.errstate(all="ignore"):
            d2 = sweep_reference.squared_distance(rows[0], rows[1])
        tolerance = float(np.sqrt(d2))
    return np.ascontiguousarray(rows), tolerance


def bits(array):
    """The array's bytes as unsigned integers, so that -0.0 and 0.0 differ."""
    return array.view(np.dtype(f"u{array.dtype.itemsize}"))


def assert_same_result(result, expected, dtype):
    """Asserts two result tuples are identical in dtype, shape and every bit."""
    for got, want, kind in zip(result, expected, (dtype, np.int32, np.int32)):
        assert got.dtype == kind
        assert got.shape == want.shape
        np.testing.assert_array_equal(bits(got), bits(want.astype(kind)))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_module_matches_reference_on_random_inputs(dtype):
    rng = np.random.default_rng(20261208 + np.dtype(dtype).itemsize)
    cases_with_takeover_of_a_representative = 0
    cases_with_merges = 0
    for _ in range(CASES_PER_DTYPE):
        rows, tolerance = random_case(rng, dtype)
        for sorted_index in (False, True):
            result = rilo.unique_rows(rows, tolerance, sorted_index, "A")
            assert_same_result(result, sweep_reference.unique_rows(rows, tolerance, sorted_index), dtype)
        with np.errstate(all="ignore"):
            openings, group_of, flagged = sweep_reference.sweep(rows, dtype(tolerance))
        from_flags = sweep_reference.by_flags(rows, group_of, flagged, len(openings))
        if from_flags is None:
            cases_with_takeover_of_a_representative += 1
        else:
            # Wherever the representative flags are well defined they give the same result
            # as numbering groups by their lowest member row.
            assert_same_result(from_flags, sweep_reference.by_lowest_row(rows, group_of), dtype)
        cases_with_merges += len(openings) < len(rows)
    assert cases_with_takeover_of_a_representative >= 3
    assert cases_with_merges >= CASES_PER_DTYPE // 2
