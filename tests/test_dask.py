"""`rilo_dask.unique_rows`: the sweep on Dask arrays equals one `rilo.unique_rows` call."""
import os
import re
import signal
import time

import numpy as np
import pytest

import rilo

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import rilo_dask  # noqa: E402
from rilo_dask import _numbering, _ordering, _settling  # noqa: E402

DTYPES = [np.float32, np.float64]
MODES = [False, True]


def hostile_rows(kind, n, dtype, rng):
    """n rows of a kind that stresses partition boundaries, at tolerance 0.1."""
    if kind == "clusters":  # tight clusters on a lattice coarser than the tolerance
        rows = rng.integers(0, 6, (n, 3)) * 0.12 + rng.normal(0, 0.02, (n, 3))
    elif kind == "chains":  # consecutive rows just inside or outside the tolerance
        rows = np.cumsum(rng.choice([0.0999, 0.1, 0.1001, 0.0], (n, 2)), axis=0)
    elif kind == "shared sums":  # every row sum 1 up to rounding: one window over all rows
        rows = rng.dirichlet(np.ones(3), n)
        rows[n // 2:] = rows[: n - n // 2] + rng.normal(0, 1e-3, (n - n // 2, 3))
    elif kind == "opposites":  # rows (i, -i): equal sums, far apart
        rows = np.repeat(np.arange(n)[:, None] * 0.05, 2, axis=1) * [1, -1]
    elif kind == "wide windows":  # sums packed far closer than the tolerance
        rows = rng.random((n, 4)) * 0.02
    else:  # "special values": NaN, infinities, signed zeros and duplicates
        rows = rng.choice([0.0, -0.0, 0.05, 0.3, np.nan, np.inf, -np.inf], (n, 2))
    return rng.permutation(rows).astype(dtype)


KINDS = ["clusters", "chains", "shared sums", "opposites", "wide windows", "special values"]


def assert_same_as_one_call(query, tolerance, sorted_index, chunk_rows, **compute):
    """Computes rilo_dask on `query` cut into chunks of `chunk_rows` rows and checks every bit
    against one rilo call, indices widened to int64."""
    expected = rilo.unique_rows(query, tolerance, sorted_index, "a")
    lazy = rilo_dask.unique_rows(da.from_array(query, chunks=(chunk_rows, -1)), tolerance,
                                 sorted_index, "A")
    got = dask.compute(*lazy, **compute)
    assert got[0].dtype == query.dtype and got[0].tobytes() == expected[0].tobytes()
    assert got[0].shape == expected[0].shape
    for got_indices, expected_indices in zip(got[1:], expected[1:]):
        assert got_indices.dtype == np.int64
        assert np.array_equal(got_indices, expected_indices)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(4))
def test_equals_one_call_on_the_threaded_scheduler(kind, dtype, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(40, 400))
    query = hostile_rows(kind, n, dtype, rng)
    for sorted_index in MODES:
        chunk_rows = max(3, n // int(rng.integers(2, 16)))
        assert_same_as_one_call(query, 0.1, sorted_index, chunk_rows, scheduler="threads")


@pytest.mark.parametrize("sorted_index", MODES)
@pytest.mark.parametrize("tolerance", [0.0, -1.0, np.inf, 1e-300, 3e154])
def test_tolerances_at_the_edges(tolerance, sorted_index):
    rng = np.random.default_rng(7)
    query = np.concatenate([rng.random((60, 2)), [[0, 0], [2e154, 0], [1e308, -1e308]]])
    assert_same_as_one_call(query, tolerance, sorted_index, 7, scheduler="sync")


@pytest.mark.parametrize("shape", [(0, 3), (1, 3), (5, 0), (9, 1)])
def test_degenerate_shapes(shape):
    query = np.arange(np.prod(shape), dtype=np.float64).reshape(shape) % 3
    for sorted_index in MODES:
        assert_same_as_one_call(query, 1.5, sorted_index, 2, scheduler="sync")


@pytest.mark.parametrize("layout", ["big-endian", "column chunks", "unknown chunk sizes", "empty chunks"])
def test_any_layout_of_the_dask_array(layout):
    rng = np.random.default_rng(5)
    query = hostile_rows("clusters", 150, np.float64, rng)
    lazy_query = da.from_array(query, chunks=(17, 1))
    if layout == "big-endian":
        lazy_query = lazy_query.astype(">f8")
    elif layout == "unknown chunk sizes":
        lazy_query = lazy_query[lazy_query[:, 0] > -1]
        assert np.isnan(lazy_query.shape[0])
    elif layout == "empty chunks":
        lazy_query = lazy_query[lazy_query[:, 0] > np.inf]
        query = query[:0]
    for sorted_index in MODES:
        expected = rilo.unique_rows(query, 0.1, sorted_index, "a")
        got = dask.compute(*rilo_dask.unique_rows(lazy_query, 0.1, sorted_index, "a"), scheduler="sync")
        assert got[0].dtype == np.float64 and got[0].tobytes() == expected[0].tobytes()
        assert np.array_equal(got[1], expected[1]) and np.array_equal(got[2], expected[2])


@pytest.mark.parametrize("chunks", [(64, 66, 0), (1, 63, 1, 65, 0, 0), (0, 130), (129, 1), (13,) * 10])
def test_chunks_that_end_anywhere_in_a_word_of_marks(chunks):
    # Representatives are marked in 64-row words counted from row 0; chunks share the words at
    # their borders, and empty chunks start where the next one does.
    rng = np.random.default_rng(12)
    query = hostile_rows("clusters", sum(chunks), np.float64, rng)
    for sorted_index in MODES:
        assert_same_as_one_call(query, 0.1, sorted_index, chunks, scheduler="sync")


def test_takeover_across_a_boundary():
    # Row 1 opens, row 0 is claimed by it and then taken over by row 2; with one row per chunk
    # every one of these steps crosses a partition boundary.
    query = np.array([[0.6, -0.3], [0.0, 0.0], [1.0, -0.8]])
    for sorted_index in MODES:
        assert_same_as_one_call(query, 1.0, sorted_index, 1, scheduler="sync")


@pytest.fixture(scope="module")
def cluster_client():
    """A LocalCluster of three worker processes, whose nannies start a killed worker again."""
    with distributed.LocalCluster(n_workers=3, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.mark.parametrize("kind", ["clusters", "shared sums", "special values"])
def test_equals_one_call_on_a_local_cluster(cluster_client, kind):
    rng = np.random.default_rng(11)
    for dtype in DTYPES:
        query = hostile_rows(kind, 300, dtype, rng)
        for sorted_index in MODES:
            assert_same_as_one_call(query, 0.1, sorted_index, 23)
    assert len(cluster_client.scheduler_info()["workers"]) == 3


@pytest.mark.parametrize("sorted_index", MODES)
def test_a_worker_killed_mid_graph(cluster_client, sorted_index):
    # One worker is SIGKILLed at several moments of the compute; its nanny starts it again and
    # the scheduler recomputes what it held. Every result must be one call's, or an error.
    client = cluster_client
    rng = np.random.default_rng(21)
    query = hostile_rows("clusters", 240_000, np.float32, rng)
    expected = rilo.unique_rows(query, 0.1, sorted_index, "a")
    lazy = rilo_dask.unique_rows(da.from_array(query, chunks=(12_000, -1)), 0.1, sorted_index, "a")
    started = time.perf_counter()
    client.gather(client.compute(list(lazy)))
    duration = time.perf_counter() - started
    outcomes, killed_mid_graph = [], 0
    for fraction in (0.05, 0.25, 0.5):
        # A killed worker's nanny starts it again, in its own time: a survivor is all a kill
        # needs beside its victim.
        client.wait_for_workers(2, timeout=120)
        alive = sorted(client.run(os.getpid).values())
        victim = alive[len(outcomes) % len(alive)]
        lazy = rilo_dask.unique_rows(da.from_array(query, chunks=(12_000, -1)), 0.1, sorted_index, "a")
        futures = client.compute(list(lazy))
        time.sleep(fraction * duration)
        killed_mid_graph += not all(future.done() for future in futures)
        os.kill(victim, signal.SIGKILL)
        try:
            got = client.gather(futures)
        except Exception as error:  # a lost worker may fail the compute: that is allowed
            outcomes.append(type(error).__name__)
            continue
        assert got[0].tobytes() == expected[0].tobytes()
        assert all(np.array_equal(g, e) for g, e in zip(got[1:], expected[1:]))
        outcomes.append("equal")
    assert killed_mid_graph >= 2, (duration, outcomes)
    assert "equal" in outcomes, outcomes


def never_computed(block):
    """A block function that fails: it shows that a call computed nothing."""
    raise AssertionError("a block was computed")


@pytest.mark.parametrize(
    "dtype, ndim, tolerance, error, message",
    [
        (np.int64, 2, 0.1, RuntimeError, "RILO supports float32 and float64"),
        (np.float32, 2, float("nan"), ValueError, "tolerance must not be NaN"),
        (np.float64, 1, 0.1, IndexError, "invalid axis: 1 (ndim = 1)"),
        (np.float64, 3, 0.1, RuntimeError, "input array must be 2D"),
    ],
)
def test_bad_input_is_refused_from_metadata(dtype, ndim, tolerance, error, message):
    query = da.zeros((8,) * ndim, dtype=dtype, chunks=4).map_blocks(never_computed, dtype=dtype)
    with pytest.raises(error, match=re.escape(message)):
        rilo_dask.unique_rows(query, tolerance, False, "a")


def test_sort_method_is_not_implemented():
    query = da.zeros((8, 2), chunks=4).map_blocks(never_computed, dtype=float)
    for method in ["sort", "", "b"]:
        with pytest.raises(NotImplementedError, match="sweep"):
            rilo_dask.unique_rows(query, 0.1, True, method)


def test_query_must_be_a_dask_array():
    with pytest.raises(TypeError, match="dask.array.Array"):
        rilo_dask.unique_rows(np.zeros((3, 2)), 0.1, True, "a")


def order_keys(sums):
    """Unsigned keys ordered as the sweep orders row sums: -0 as +0, every NaN last and equal."""
    sums = sums + sums.dtype.type(0)
    unsigned = np.uint32 if sums.dtype == np.float32 else np.uint64
    bits = sums.view(unsigned)
    sign = unsigned(1) << unsigned(8 * sums.itemsize - 1)
    keys = np.where(bits & sign, ~bits, bits | sign)
    keys[np.isnan(sums)] = ~unsigned(0)
    return keys


@pytest.mark.parametrize("order", [_ordering.sweep_order, _ordering.tie_fixed_sweep_order])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seed", range(3))
def test_sweep_order_is_the_stable_order_of_keys(order, dtype, seed):
    # The fast orders (packed words for float32; an unstable sort, then runs of equal sums by
    # position) against the straightforward stable sort of the keys, on sums full of ties,
    # signed zeros and NaNs of either sign.
    rng = np.random.default_rng(seed)
    values = [0.0, -0.0, 1.0, -1.0, np.nan, -np.nan, np.inf, -np.inf, 1e-45, 2.5, 2.5000001]
    sums = rng.choice(values, 5000).astype(dtype) + dtype(0)
    expected = np.argsort(order_keys(sums), kind="stable")
    assert np.array_equal(order(sums), expected)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seed", range(3))
def test_rows_go_to_the_partition_of_their_sweep_order_key(dtype, seed):
    # Boundaries drawn from the rows themselves, so that many rows tie a boundary's sum, NaN
    # included: a row goes after every boundary whose (sum, row) comes before its own.
    rng = np.random.default_rng(seed)
    sums = rng.choice([0.0, -0.0, 1.0, np.nan, -np.nan, np.inf, 2.5], 3000).astype(dtype)
    rows = np.arange(len(sums), dtype=np.int64) + 2**33
    picked = np.sort(rng.choice(len(sums), 12, replace=False))
    by_key = np.lexsort((rows[picked], order_keys(sums[picked])))
    boundaries = sums[picked][by_key], rows[picked][by_key]
    keys, boundary_keys = order_keys(sums), order_keys(boundaries[0])
    before = (boundary_keys[None, :] < keys[:, None]) | (
        (boundary_keys[None, :] == keys[:, None]) & (boundaries[1][None, :] < rows[:, None]))
    assert np.array_equal(_ordering.partition_of_rows(sums + dtype(0), rows, boundaries),
                          before.sum(axis=1))


# --- int64 arithmetic past 2**31, without the data -------------------------------------------

BEYOND_INT32 = 3 * 2**31 + 5


def steps_past_int32(query, sorted_index):
    """The steps of the graph run on `query` in 4 chunks whose first row lies past 2**31, with
    group numbers starting past 2**32: (index, inverse)."""
    chunks = np.array_split(query, 4)
    first_rows = [BEYOND_INT32 + int(first) for first in _ordering.first_rows([len(c) for c in chunks])]
    tasks = rilo_dask._Tasks("past-int32")
    blocks = [tasks.add("block", (c,), np.asarray, chunk) for c, chunk in enumerate(chunks)]
    in_graph = rilo_dask._Chunks(tasks, blocks, first_rows, 3)
    if sorted_index:
        keys = rilo_dask._number_by_lowest_row(tasks, in_graph, 0.1, 1, np.float64, 3)
    else:
        keys = rilo_dask._number_by_opening(tasks, in_graph, 0.1, 1)
    # Group numbers start past 2**32: the first Start is given that first group.
    start_name = f"rilo-dask-start-past-int32"
    tasks.graph[(start_name, 0)] = (_settling.start, *tasks.graph[(start_name, 0)][1:], 2**32)
    starts = [(start_name, 0)]
    boundaries, first_start, (_, index, inverse) = dask.get(
        tasks.graph, [(f"rilo-dask-boundaries-past-int32",), starts[0], list(keys)])
    assert boundaries[1].min() > 2**31 and first_start.first_group == 2**32
    return np.concatenate(index), np.concatenate(inverse)


@pytest.mark.parametrize("sorted_index", MODES)
def test_rows_and_groups_past_int32_through_the_steps(sorted_index):
    # The result is one call's, shifted: rows by the first row, and group numbers by the first
    # one where the openings' order numbers them.
    rng = np.random.default_rng(3)
    query = hostile_rows("clusters", 120, np.float64, rng)
    _, expected_index, expected_inverse = rilo.unique_rows(query, 0.1, sorted_index, "a")
    index, inverse = steps_past_int32(query, sorted_index)
    assert index.dtype == inverse.dtype == np.int64
    assert np.array_equal(index, BEYOND_INT32 + expected_index.astype(np.int64))
    assert np.array_equal(inverse, (0 if sorted_index else 2**32) + expected_inverse.astype(np.int64))


@pytest.mark.parametrize("lengths", [[2**31 - 1, 1, 5], [2**30] * 5 + [0, 3], [2**32 + 3, 2**31]])
def test_first_rows_of_chunks_whose_lengths_sum_past_int32(lengths):
    # Chunk offsets come from the lengths alone, so no data is needed to reach them.
    expected = [sum(lengths[:c]) for c in range(len(lengths))]
    first_rows = _ordering.first_rows(np.array(lengths, np.int64))
    assert first_rows.dtype == np.int64 and first_rows.tolist() == expected
    assert _ordering.first_rows(lengths).tolist() == expected


def test_representatives_numbered_past_int32():
    # Three chunks, the last two past 2**31 and not on word borders, with 2**32 + 7
    # representatives before them: a row's number counts the representatives before it.
    first_rows = [2**31 + 10, 2**32 + 70, 2**32 + 170]
    lengths = [2**32 + 60 - 2**31, 100, 130]
    rng = np.random.default_rng(8)
    held = [np.sort(rng.choice(length if c else 200, 40, replace=False)) for c, length in enumerate(lengths)]
    flags = [np.zeros(200 if c == 0 else length, bool) for c, length in enumerate(lengths)]
    for chunk_flags, chunk_held in zip(flags, held):
        chunk_flags[chunk_held] = True
    # The first chunk's flags stand for its first 200 rows; its other rows hold none.
    marks = [_numbering.marks(chunk_flags, first % _numbering.WORD_BITS) for chunk_flags, first in zip(flags, first_rows)]
    table = _numbering.rank_table(marks, first_rows, 2**32 + 7)
    rows = np.concatenate([first + chunk_held for first, chunk_held in zip(first_rows, held)])
    assert np.array_equal(_numbering.ranks(rows, table), 2**32 + 7 + np.arange(len(rows)))
    assert _numbering.ranks(rows, table).dtype == np.int64


def test_progress_bar_follows_the_compute(capsys):
    from dask.diagnostics import ProgressBar

    query = da.from_array(np.random.default_rng(2).random((200, 3)), chunks=(40, -1))
    with ProgressBar(dt=0.001):
        dask.compute(*rilo_dask.unique_rows(query, 0.1, True, "a"), scheduler="threads")
    assert "100% Completed" in capsys.readouterr().out


def test_pieces_sent_on_own_their_memory():
    """Every piece a chunk or a partition sends on is an array of its own: a view would keep
    all its siblings' rows alive after Dask has sent or spilled it."""
    rng = np.random.default_rng(3)
    values = rng.random((400, 3)).astype(np.float32)
    boundaries = _ordering.choose_boundaries([_ordering.sample_keys(values, 0, 0)], 4)
    grouping = _ordering.group_by_partition(values, 0, boundaries)
    pieces = [_ordering.piece(values, 0, grouping, k) for k in range(4)]
    halves = [_ordering.piece(values[:150], 0, _ordering.group_by_partition(values[:150], 0, ([], [])), 0),
              _ordering.piece(values[150:], 150, _ordering.group_by_partition(values[150:], 150, ([], [])), 0)]
    partition = _ordering.assemble_partition(halves, np.float32(0.01))
    begun = _settling.start(partition, None, np.float32(0.01))
    sent = [array for step in (_numbering.by_opening, _numbering.by_lowest_row)
            for chunk in range(2) for array in vars(_numbering.back_piece(step(partition, begun), chunk)).values()
            if isinstance(array, np.ndarray)]
    sent += [array for piece in pieces for array in (piece.values, piece.positions)]
    assert len(sent) == 2 * 2 * 2 + 2 * 4 and sum(len(piece.positions) for piece in pieces) == 400
    assert all(memory_owner(array).nbytes == array.nbytes for array in sent)


@pytest.mark.parametrize("numbers, offset_type", [
    ([7, 5, 9], np.int32), ([-3 - 2**40, 2**31, 0], np.int64), ([2**31 - 1, 0], np.int32),
    ([2**31, 0], np.int64), ([-1, 2**62], np.int64), ([], np.int64)])
def test_back_pieces_carry_offsets_in_the_narrowest_type_that_holds_them(numbers, offset_type):
    numbers = np.array(numbers, np.int64)
    n = len(numbers)
    sent = _numbering.Sent(numbers, np.array([0, n]), np.empty(0, np.int64), np.empty((0, 2)),
                           (None, None), np.empty((0, 2)), np.empty(0, np.int64))
    piece = _numbering.back_piece(sent, 0)
    assert piece.offsets.dtype == offset_type
    assert piece.numbers().dtype == np.int64 and np.array_equal(piece.numbers(), numbers)
    grouping = _ordering.Grouping(np.arange(n, dtype=np.int32), np.array([0, n]))
    assert np.array_equal(_numbering.placed([piece], grouping), numbers)


def memory_owner(array):
    """The array at the end of `array`'s chain of bases: the one that holds its memory."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def test_dask_counts_the_memory_of_partitions_and_their_steps():
    """The scheduler places tasks and the workers spill by these sizes: a value read as empty
    would be moved between workers as if free and held beyond the memory limit."""
    from dask.sizeof import sizeof

    values = np.random.default_rng(4).random((1000, 3))
    grouping = _ordering.group_by_partition(values, 0, (np.empty(0), np.empty(0, np.int64)))
    piece = _ordering.piece(values, 0, grouping, 0)
    partition = _ordering.assemble_partition([piece], 0.01)
    begun = _settling.start(partition, None, 0.01)
    sent = _numbering.by_lowest_row(partition, begun)
    assert sizeof(grouping) >= grouping.positions.nbytes
    assert sizeof(piece) >= values.nbytes + piece.positions.nbytes
    assert sizeof(partition) >= values.nbytes + partition.order.nbytes + partition.alone_groups.nbytes
    assert sizeof(begun) >= sizeof(begun.handed_on) >= begun.handed_on.values.nbytes > 0
    assert sizeof(sent) >= sent.numbers.nbytes + sent.candidate_values.nbytes > 0


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("tolerance", [0.0, -1.0, 0.3, 2.5, np.inf])
def test_window_ends_found_by_bisection_are_those_of_a_scan(dtype, tolerance):
    # Ascending sums with ties, infinities and NaNs last: the first position whose gap is not
    # below the tolerance, from every start, as a straightforward scan finds it.
    rng = np.random.default_rng(9)
    sums = np.sort(rng.choice([-np.inf, -1.0, 0.0, 0.25, 0.5, 2.0, 3e38, np.inf, np.nan], 60)).astype(dtype)
    tolerance = dtype(tolerance)
    for position in range(len(sums)):
        later = np.flatnonzero(~_rows_gaps_below(sums[position + 1:], sums[position], tolerance))
        expected = position + 1 + (later[0] if len(later) else len(sums) - position - 1)
        assert _settling.window_end(sums, position, tolerance) == expected
        assert _settling.reach(sums, sums[position], 0, tolerance) == np.flatnonzero(
            np.append(~_rows_gaps_below(sums, sums[position], tolerance), True))[0]


def _rows_gaps_below(later_sums, opening_sum, tolerance):
    with np.errstate(invalid="ignore", over="ignore"):
        return (later_sums - opening_sum) < tolerance
