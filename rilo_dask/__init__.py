"""The projection sweep of `rilo.unique_rows` on Dask arrays larger than one call accepts.

    unique, index, inverse = rilo_dask.unique_rows(query, tolerance, sorted_index, "a")

`query` is a `dask.array.Array` of float32 or float64 values of shape (n, m), in any chunking.
The result is three Dask arrays: the unique rows (k, m) of the query's dtype, the representative
indices (k,) and the inverse (n,), both int64; k is known once they are computed. Wherever one
`rilo.unique_rows` call on the whole array is possible, the computed result equals that call's
with the indices widened to int64, in both orders that `sorted_index` selects.

The rows are range-partitioned in the order the sweep visits them (by row sum), each partition
is swept by `rilo.unique_rows`, and the openings whose windows cross a boundary are handed on to
the next partition, which sweeps again only as much of its start as they change.
"""
import math
import operator

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

import rilo
from rilo_dask import _blocks, _exchange, _lowest

__all__ = ["unique_rows"]

# Elements per partition when the chunks are larger: a partition is swept by one `rilo` call,
# and a few of them per worker must fit in memory at once.
PARTITION_ELEMENTS = 1 << 26

SORT_METHOD_MESSAGE = (
    "rilo_dask runs the projection sweep only (a method starting with 'a'): the tolerant sort "
    "orders every row against every other, which needs all rows in one process; use "
    "rilo.unique_rows for the sort method, or the sweep here")


def _check_arguments(query, tolerance, sorted_index, method):
    """Raises the errors `rilo.unique_rows` raises for these arguments, judged from the query's
    type, dtype and shape alone, and NotImplementedError for the sort method."""
    if not isinstance(query, da.Array):
        raise TypeError(f"query must be a dask.array.Array, not {type(query).__name__}")
    shape = tuple(0 if axis == 0 or math.isnan(extent) else extent
                  for axis, extent in enumerate(query.shape))
    rilo.unique_rows(np.empty(shape, query.dtype), tolerance, sorted_index, method)
    if not _blocks.selects_sweep(method):
        raise NotImplementedError(SORT_METHOD_MESSAGE)


def _partition_count(query, n_chunks):
    """One partition per chunk, more when the chunks exceed PARTITION_ELEMENTS."""
    n, m = query.shape
    if math.isnan(n):
        return n_chunks
    return max(n_chunks, math.ceil(n * max(m, 1) / PARTITION_ELEMENTS))


def _first_rows(lengths):
    """The first row of each chunk, from the chunks' lengths."""
    return np.concatenate([[0], np.cumsum(lengths, dtype=np.int64)[:-1]]).astype(np.int64)


def _openings(partition, settled):
    """The partition's opening rows and their row indices."""
    return _blocks.rows_at(partition.values, settled.openings), partition.rows[settled.openings]


class _Tasks:
    """A task graph under construction: tasks named by step and index, each a function and its
    arguments, where an argument that is a key (or a list of keys) stands for its value."""

    def __init__(self, token):
        self.graph = {}
        self.token = token

    def add(self, step, index, function, *args):
        """Adds the task `step`[`index`] and returns its key."""
        key = (f"rilo-dask-{step}-{self.token}", *index)
        assert key not in self.graph, f"two tasks named {key}"
        self.graph[key] = (function, *args)
        return key

    def each(self, step, count, function, *per_index):
        """Adds `count` tasks of one step; each of `per_index` gives an index's arguments."""
        return [self.add(step, (i,), function, *(arg(i) for arg in per_index)) for i in range(count)]


def _settle_all(tasks, partitions, dtype, n_columns, tolerance):
    """The settled partitions: a chain of cheap steps hands each partition the openings of the
    ones before it, then each is settled apart."""
    handoff = _blocks.Handoff(_blocks.Openings.none(dtype, n_columns), 0)
    settled = []
    for k, partition in enumerate(partitions):
        started = tasks.add("start", (k,), _blocks.start, partition, handoff, tolerance)
        begun = tasks.add("begun", (k,), operator.getitem, started, 0)
        handoff = tasks.add("handoff", (k,), operator.getitem, started, 1)
        settled.append(tasks.add("settle", (k,), _blocks.settle, partition, begun, handoff))
    return settled


def _exchange_pieces(tasks, step, sources, n_targets):
    """For each target, the list of keys of piece `target` of every source's value."""
    return [[tasks.add(step, (s, t), operator.getitem, source, t) for s, source in enumerate(sources)]
            for t in range(n_targets)]


def _number_by_opening(tasks, partitions, settled, listed_rows):
    """Groups numbered in the order of their openings: per partition its openings (rows,
    indices), and per chunk its rows' groups."""
    count, n_chunks = len(partitions), len(listed_rows)
    kept = tasks.each("kept", count, _openings, partitions.__getitem__, settled.__getitem__)
    kept_rows = tasks.each("kept-rows", count, operator.getitem, kept.__getitem__, lambda k: 0)
    kept_index = tasks.each("kept-index", count, operator.getitem, kept.__getitem__, lambda k: 1)
    groups = tasks.each("groups", count, operator.attrgetter("groups"), settled.__getitem__)
    back = tasks.each("back", count, _exchange.send_back, partitions.__getitem__, groups.__getitem__)
    pieces_back = _exchange_pieces(tasks, "back-piece", back, n_chunks)
    inverse = tasks.each("inverse", n_chunks, _exchange.in_position_order, pieces_back.__getitem__,
                         listed_rows.__getitem__)
    return kept_rows, kept_index, inverse


def _number_by_lowest_row(tasks, partitions, settled, listed_rows, starts):
    """Groups numbered in ascending order of their lowest member row: per chunk the unique rows
    it holds (rows, indices), and its rows' groups."""
    lw, count, n_chunks = _lowest, len(partitions), len(listed_rows)
    lowest = tasks.each("lowest", count, lw.lowest_rows, partitions.__getitem__, settled.__getitem__)
    shared = tasks.each("shared", count, operator.getitem, lowest.__getitem__, lambda k: 1)
    merged = tasks.add("merged", (), lw.merge_lowest_rows, shared)
    representative = tasks.each("representative", count, lw.representative_rows, settled.__getitem__,
                                lambda k: (operator.getitem, lowest[k], 0), lambda k: merged)
    back = tasks.each("back", count, lw.send_back_representatives, partitions.__getitem__,
                      representative.__getitem__)
    pieces_back = _exchange_pieces(tasks, "back-piece", back, n_chunks)
    received = tasks.each("received", n_chunks, lw.receive_representatives, pieces_back.__getitem__,
                          listed_rows.__getitem__, starts.__getitem__)
    marks = tasks.each("marks", n_chunks, operator.attrgetter("marks"), received.__getitem__)
    table = tasks.add("rank-table", (), lw.rank_table, marks, starts)
    inverse = tasks.each("inverse", n_chunks, lw.ranks,
                         lambda c: (operator.attrgetter("representative"), received[c]), lambda c: table)
    kept_rows = tasks.each("kept-rows", n_chunks, operator.attrgetter("values"), received.__getitem__)
    kept_index = tasks.each("kept-index", n_chunks, operator.attrgetter("held"), received.__getitem__)
    return kept_rows, kept_index, inverse


def unique_rows(query: da.Array, tolerance: float, sorted_index: bool,
                method: str | bytes) -> tuple[da.Array, da.Array, da.Array]:
    """Unique rows of a Dask array under a Euclidean tolerance, by the projection sweep.

    Arguments are those of `rilo.unique_rows`; `query` is a `dask.array.Array`. Returns the
    Dask arrays (unique rows, representative indices, inverse), indices as int64, equal once
    computed to one `rilo.unique_rows` call on the whole array wherever that call is possible.
    Bad arguments raise rilo's errors at once, from the query's metadata; a `method` that
    selects the tolerant sort raises NotImplementedError.
    """
    _check_arguments(query, tolerance, sorted_index, method)
    dtype = query.dtype.newbyteorder("=")
    with np.errstate(over="ignore"):
        tolerance = dtype.type(tolerance)
    n_columns = query.shape[1]
    query = query.astype(dtype).rechunk({1: -1})
    blocks = [row[0] for row in query.__dask_keys__()]
    n_chunks = len(blocks)
    n_partitions = _partition_count(query, n_chunks)
    tasks = _Tasks(tokenize(query, tolerance, bool(sorted_index)))
    ex = _exchange
    if any(math.isnan(length) for length in query.chunks[0]):
        lengths = tasks.each("length", n_chunks, len, blocks.__getitem__)
        first_rows = tasks.add("first-rows", (), _first_rows, lengths)
        starts = tasks.each("first-row", n_chunks, operator.getitem, lambda c: first_rows, lambda c: c)
    else:
        first_rows = _first_rows(query.chunks[0])
        starts = [int(start) for start in first_rows]
    samples = tasks.each("sample", n_chunks, ex.sample_keys, blocks.__getitem__, starts.__getitem__,
                         lambda c: c)
    boundaries = tasks.add("boundaries", (), ex.choose_boundaries, samples, n_partitions)
    splits = tasks.each("split", n_chunks, ex.split_chunk, blocks.__getitem__, starts.__getitem__,
                        lambda c: boundaries)
    pieces = tasks.each("pieces", n_chunks, operator.getitem, splits.__getitem__, lambda c: 0)
    listed_rows = tasks.each("listed-rows", n_chunks, operator.getitem, splits.__getitem__,
                                lambda c: 1)
    pieces_in = _exchange_pieces(tasks, "piece", pieces, n_partitions)
    partitions = tasks.each("partition", n_partitions, _blocks.assemble_partition,
                            pieces_in.__getitem__, lambda k: tolerance)
    settled = _settle_all(tasks, partitions, dtype, n_columns, tolerance)
    if sorted_index:
        kept_rows, kept_index, inverse = _number_by_lowest_row(tasks, partitions, settled,
                                                               listed_rows, starts)
    else:
        kept_rows, kept_index, inverse = _number_by_opening(tasks, partitions, settled, listed_rows)
    return (
        _as_array(tasks, "unique", query, kept_rows, ((math.nan,) * len(kept_rows), (n_columns,)), dtype),
        _as_array(tasks, "index", query, kept_index, ((math.nan,) * len(kept_index),), np.int64),
        _as_array(tasks, "inverse", query, inverse, (query.chunks[0],), np.int64),
    )


def _as_array(tasks, name, query, keys, chunks, dtype):
    """A Dask array whose blocks, in order along axis 0, are the values of `keys`."""
    array_name = f"rilo-dask-result-{name}-{tasks.token}"
    layer = dict(tasks.graph)
    for i, key in enumerate(keys):
        layer[(array_name, i) + (0,) * (len(chunks) - 1)] = key
    graph = HighLevelGraph.from_collections(array_name, layer, dependencies=[query])
    return da.Array(graph, array_name, chunks, dtype=dtype)
