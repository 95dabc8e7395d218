"""`rilo.sweep_in_order`: rows handed over in sweep order are swept as `unique_rows` sweeps
them, without sorting them again."""
import threading

import numpy as np
import pytest

import rilo
from test_concurrent_writes import TOLERANCES, Writer

DTYPES = [np.float32, np.float64]


def in_sweep_order(rows, rng):
    """`rows` ordered by their row sums (added from column 0 upward in their dtype), NaN sums
    last, and equal sums in a random order: any order of ties is a sweep order."""
    sums = np.zeros(len(rows), rows.dtype)
    with np.errstate(all="ignore"):
        for column in range(rows.shape[1]):
            sums += rows[:, column]
    shuffled = rng.permutation(len(rows))
    return rows[shuffled[np.argsort(sums[shuffled] + rows.dtype.type(0), kind="stable")]]


def hostile_rows(kind, n, dtype, rng):
    """n rows of a kind that stresses the sweep at tolerance 0.1."""
    if kind == "near-duplicates":
        rows = rng.random((n // 2 + 1, 3))
        rows = np.concatenate([rows, rows + rng.normal(0, 0.03, rows.shape)])[:n]
    elif kind == "chains":  # consecutive rows just inside or outside the tolerance
        rows = np.cumsum(rng.choice([0.0999, 0.1, 0.1001, 0.0], (n, 2)), axis=0)
    elif kind == "shared sums":  # every sum 1 up to rounding: one window over all rows
        rows = rng.dirichlet(np.ones(3), n)
    else:  # "special values": NaN, infinities, the largest values, signed zeros
        big = np.finfo(dtype).max
        rows = rng.choice([0.0, -0.0, 0.05, 0.3, np.nan, np.inf, -np.inf, big, -big], (n, 2))
    return rows.astype(dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", ["near-duplicates", "chains", "shared sums", "special values"])
@pytest.mark.parametrize("n", [0, 1, 1023, 1024, 65535, 65600, 200003])
def test_gives_what_unique_rows_gives_after_the_unique_rows(kind, n, dtype):
    # Sizes on both sides of the radix sort and of the ranges that threads sweep apart.
    rng = np.random.default_rng(n + len(kind))
    rows = in_sweep_order(hostile_rows(kind, n, dtype, rng), rng)
    _, expected_openings, expected_groups = rilo.unique_rows(rows, 0.1, False, "a")
    openings, groups = rilo.sweep_in_order(rows, 0.1)
    assert openings.dtype == groups.dtype == np.int32
    assert np.array_equal(openings, expected_openings) and np.array_equal(groups, expected_groups)
    assert np.all(np.diff(openings) > 0)


@pytest.mark.parametrize("tolerance", [0.0, -1.0, np.inf, 1e-300, 3e38, np.nextafter(0.1, 1)])
@pytest.mark.parametrize("layout", ["C", "Fortran", "big-endian", "no columns"])
def test_tolerances_and_layouts(tolerance, layout):
    rng = np.random.default_rng(3)
    rows = in_sweep_order(hostile_rows("chains", 500, np.float64, rng), rng)
    if layout == "no columns":
        rows = rows[:, :0]
    expected = rilo.unique_rows(rows, tolerance, False, "a")[1:]
    given = {"C": rows, "Fortran": np.asfortranarray(rows), "big-endian": rows.astype(">f8"),
             "no columns": rows}[layout]
    got = rilo.sweep_in_order(given, tolerance)
    assert all(np.array_equal(g, e) for g, e in zip(got, expected))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [3, 1024, 70000])
def test_rows_out_of_sweep_order_are_refused(dtype, n):
    rng = np.random.default_rng(n)
    rows = in_sweep_order(rng.random((n, 3)).astype(dtype), rng)
    for swapped in ([0, 1], [n - 2, n - 1], [n // 2, n // 2 + 1]):
        out_of_order = rows.copy()
        out_of_order[swapped] = out_of_order[swapped[::-1]]
        with pytest.raises(ValueError, match="rows are not in sweep order"):
            rilo.sweep_in_order(out_of_order, 0.1)
    with_nan_first = np.concatenate([[[np.nan, 0.0, 0.0]], rows]).astype(dtype)
    with pytest.raises(ValueError, match="rows are not in sweep order"):
        rilo.sweep_in_order(with_nan_first, 0.1)


@pytest.mark.parametrize(
    "rows, tolerance, error, message",
    [
        (np.zeros((3, 2), np.int64), 0.1, RuntimeError, "RILO supports float32 and float64"),
        (np.zeros((3, 2)), float("nan"), ValueError, "tolerance must not be NaN"),
        (np.zeros(3), 0.1, IndexError, "invalid axis: 1 (ndim = 1)"),
        (np.zeros((3, 2, 1)), 0.1, RuntimeError, "input array must be 2D"),
    ],
)
def test_bad_arguments_raise_the_errors_of_unique_rows(rows, tolerance, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        rilo.sweep_in_order(rows, tolerance)
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        rilo.unique_rows(rows, tolerance, False, "a")


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [1023, 32768, 131072])
def test_rows_written_meanwhile_give_a_result_or_the_order_error(dtype, n):
    # Another thread writes into the rows during the call: the call may find them out of
    # order, or group them in some way, but keeps its contract and never crashes.
    rng = np.random.default_rng(n)
    rows = in_sweep_order(rng.random((n, 3)).astype(dtype), rng)
    for tolerance in TOLERANCES:
        with Writer(rows, seed=n):
            try:
                openings, groups = rilo.sweep_in_order(rows, tolerance)
            except ValueError as error:
                assert "rows are not in sweep order" in str(error)
                continue
        assert groups.shape == (n,) and len(openings) >= 1
        assert np.all(np.diff(openings) > 0) and 0 <= openings[0] and openings[-1] < n
        assert groups.min() >= 0 and groups.max() < len(openings)
        assert np.array_equal(groups[openings], np.arange(len(openings)))


def test_calls_from_two_threads_run_at_once_with_the_same_results():
    rng = np.random.default_rng(5)
    rows = in_sweep_order(hostile_rows("near-duplicates", 300_000, np.float64, rng), rng)
    expected = rilo.sweep_in_order(rows, 0.1)
    results = [None, None]

    def call(slot):
        results[slot] = rilo.sweep_in_order(rows, 0.1)

    threads = [threading.Thread(target=call, args=(slot,)) for slot in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(np.array_equal(g, e) for result in results for g, e in zip(result, expected))
