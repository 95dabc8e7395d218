"""Inputs large enough to take the fast paths (radix argsort of projections, sorting row
records, bitmap renumbering) through the module: the sweep agrees bit for bit with the
plain-Python model, and both methods keep the result contract with NaN and infinities present."""
import numpy as np
import pytest

import rilo
import rilo_contract
import sweep_reference

# Above the row count from which the projections are radix-sorted.
LARGE_ROWS = 1500


def bits(array):
    """The array's bytes as unsigned integers, so that -0.0 and 0.0 differ."""
    return array.view(np.dtype(f"u{array.dtype.itemsize}"))


def chain_with_duplicates(rng, n, m, tolerance, dtype):
    """Rows strung along a line at steps just under the tolerance (overlapping windows), a third
    of them repeated with noise far below it or exactly, shuffled."""
    direction = rng.normal(size=m)
    direction /= np.linalg.norm(direction)
    base = np.arange(n - n // 3)[:, None] * tolerance * rng.uniform(0.4, 0.95) * direction
    copies = base[rng.integers(0, len(base), n // 3)] + rng.normal(scale=tolerance * 1e-3, size=(n // 3, m))
    rows = np.concatenate([base, copies])[rng.permutation(n)]
    return np.ascontiguousarray(rows.astype(dtype))


def grid_with_signed_zeros(rng, n, m, tolerance, dtype):
    """Rows on a grid of steps a little over half the tolerance, with signed zeros: many exact
    duplicates and ties between projections."""
    values = rng.integers(-3, 4, size=(n, m)) * tolerance * 0.55
    return np.ascontiguousarray(np.copysign(values, rng.choice([-1.0, 1.0], size=(n, m))).astype(dtype))


def with_specials(rng, rows):
    """A copy of `rows` with about 2% of the values replaced by NaN or an infinity."""
    rows = rows.copy()
    picks = rng.random(rows.shape)
    rows[picks < 0.01] = np.nan
    rows[(picks >= 0.01) & (picks < 0.02)] = np.inf
    return rows


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("make_rows", [chain_with_duplicates, grid_with_signed_zeros])
@pytest.mark.parametrize("m", [1, 3, 5])
def test_sweep_matches_plain_model_above_radix_threshold(dtype, make_rows, m):
    rng = np.random.default_rng(5 + m)
    tolerance = 0.5
    rows = make_rows(rng, LARGE_ROWS, m, tolerance, dtype)
    for sorted_index in (False, True):
        result = rilo.unique_rows(rows, tolerance, sorted_index, "A")
        expected = sweep_reference.unique_rows(rows, tolerance, sorted_index)
        for got, want in zip(result, expected):
            assert got.shape == want.shape
            np.testing.assert_array_equal(bits(got), bits(want.astype(got.dtype)))
        assert len(result[1]) < LARGE_ROWS  # the input did merge


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("method", ["A", "sort"])
@pytest.mark.parametrize("sorted_index", [False, True])
@pytest.mark.parametrize("m", [1, 2, 3, 4])
def test_large_inputs_with_nan_and_infinity_keep_the_contract(dtype, method, sorted_index, m):
    rng = np.random.default_rng(17 + m)
    rows = with_specials(rng, chain_with_duplicates(rng, LARGE_ROWS, m, 0.5, dtype))
    result = rilo.unique_rows(rows, 0.5, sorted_index, method)
    with np.errstate(invalid="ignore"):
        rilo_contract.check_contract(rows, 0.5, sorted_index, method, result)
    assert len(result[1]) < LARGE_ROWS


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_sort_method_does_not_depend_on_leftover_memory(dtype):
    # The record and index buffers are not zero-filled; reading one unwritten entry would show
    # up as two calls on equal input disagreeing.
    rng = np.random.default_rng(3)
    rows = grid_with_signed_zeros(rng, 4 * LARGE_ROWS, 3, 0.5, dtype)
    for sorted_index in (False, True):
        first = rilo.unique_rows(rows, 0.5, sorted_index, "sort")
        again = rilo.unique_rows(rows.copy(), 0.5, sorted_index, "sort")
        for got, want in zip(first, again):
            np.testing.assert_array_equal(bits(got), bits(want))
