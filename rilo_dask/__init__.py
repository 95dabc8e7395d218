"""The projection sweep of `rilo.unique_rows` on Dask arrays larger than one call accepts.

    unique, index, inverse = rilo_dask.unique_rows(query, tolerance, sorted_index, "a")

`query` is a `dask.array.Array` of float32 or float64 values of shape (n, m), in any chunking.
The result is three Dask arrays: the unique rows (k, m) of the query's dtype, the representative
indices (k,) and the inverse (n,), both int64; k is known once they are computed. Wherever one
`rilo.unique_rows` call on the whole array is possible, the computed result equals that call's
with the indices widened to int64, in both orders that `sorted_index` selects.

The graph reads as the algorithm, one module per stage:

1. ordering and partitioning (`_ordering`): a sample of every chunk's sweep keys (row sum, then
   row index) picks the partition boundaries; each chunk is cut into one piece per partition;
   each partition gathers its pieces in sweep order and one `rilo.sweep_in_order` call sweeps
   it alone;
2. settling (`_settling`): a chain of cheap steps hands each partition the openings of earlier
   ones whose windows reach into it, and the number of its first group; the partition sweeps
   again only as much of its start as they change;
3. numbering (`_numbering`): each settled partition sends every chunk its rows' group numbers
   (or representatives), and the unique rows are collected.

Every step returns one value, counted once by Dask: the pieces a step sends are made by steps
of their own, as arrays of their own. A partition is built only once an earlier one has sent
everything, so that only a few wait in memory at once. `_rows` holds the helpers on NumPy rows
that the stages share.
"""
import math
import operator
import os

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

import rilo
from rilo_dask import _numbering, _ordering, _settling

__all__ = ["unique_rows"]

# Elements per partition when the chunks are larger: a partition is swept by one `rilo` call,
# and a few of them per worker must fit in memory at once.
PARTITION_ELEMENTS = 1 << 26

SORT_METHOD_MESSAGE = (
    "rilo_dask runs the projection sweep only (a method starting with 'a'): the tolerant sort "
    "orders every row against every other, which needs all rows in one process; use "
    "rilo.unique_rows for the sort method, or the sweep here")


def selects_sweep(method):
    """Whether `method` (str, bytes or bytearray) selects the projection sweep: its first byte is
    A or a."""
    first = (method.encode() if isinstance(method, str) else bytes(method))[:1]
    return first in (b"A", b"a")


def _check_arguments(query, tolerance, sorted_index, method):
    """Raises the errors `rilo.unique_rows` raises for these arguments, judged from the query's
    type, dtype and shape alone, and NotImplementedError for the sort method."""
    if not isinstance(query, da.Array):
        raise TypeError(f"query must be a dask.array.Array, not {type(query).__name__}")
    shape = tuple(0 if axis == 0 or math.isnan(extent) else extent
                  for axis, extent in enumerate(query.shape))
    rilo.unique_rows(np.empty(shape, query.dtype), tolerance, sorted_index, method)
    if not selects_sweep(method):
        raise NotImplementedError(SORT_METHOD_MESSAGE)


def _partition_count(query, n_chunks):
    """One partition per chunk, more when the chunks exceed PARTITION_ELEMENTS."""
    n, m = query.shape
    if math.isnan(n):
        return n_chunks
    return max(n_chunks, math.ceil(n * max(m, 1) / PARTITION_ELEMENTS))


# Partitions built ahead of the last one that has sent everything, per thread that builds them:
# each thread then has one partition to build while the chain of Starts settles the one it built
# before. A partition waits in memory from being built until it is settled, so building further
# ahead only holds more.
PARTITIONS_AHEAD_PER_THREAD = 2


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


def _first_rows(tasks, query, blocks):
    """The first row of each chunk: numbers when the chunk lengths are known, else keys."""
    if not any(math.isnan(length) for length in query.chunks[0]):
        return [int(first_row) for first_row in _ordering.first_rows(query.chunks[0])]
    lengths = tasks.each("length", len(blocks), len, blocks.__getitem__)
    first_rows = tasks.add("first-rows", (), _ordering.first_rows, lengths)
    return tasks.each("first-row", len(blocks), operator.getitem, lambda c: first_rows, lambda c: c)


class _Chunks:
    """The chunks' keys in the graph: their blocks, first rows and Groupings by partition."""

    def __init__(self, tasks, blocks, first_rows, n_partitions):
        """Ordering: adds the steps that group each chunk's rows by partition."""
        n_chunks = len(blocks)
        samples = tasks.each("sample", n_chunks, _ordering.sample_keys, blocks.__getitem__,
                             first_rows.__getitem__, lambda c: c)
        boundaries = tasks.add("boundaries", (), _ordering.choose_boundaries, samples, n_partitions)
        self.blocks, self.first_rows, self.n_partitions = blocks, first_rows, n_partitions
        self.groupings = tasks.each("grouping", n_chunks, _ordering.group_by_partition,
                                    blocks.__getitem__, first_rows.__getitem__,
                                    lambda c: boundaries)

    def __len__(self):
        """The number of chunks."""
        return len(self.blocks)

    def pieces(self, tasks, partition):
        """Partitioning: adds the steps that cut `partition`'s pieces, one from each chunk, and
        returns their keys."""
        return [tasks.add("piece", (c, partition), _ordering.piece, block, first_row, grouping,
                          partition)
                for c, (block, first_row, grouping) in enumerate(zip(self.blocks, self.first_rows,
                                                                     self.groupings))]


def _partitions_ahead():
    """How many partitions may be built ahead of the last that has sent everything: PARTITIONS_AHEAD_PER_THREAD
    for each thread of the current `distributed` client's workers, or of this machine."""
    try:
        from distributed import default_client

        threads = sum(default_client().nthreads().values())
    except (ImportError, ValueError):  # no distributed, or no client: a local scheduler
        threads = os.cpu_count() or 1
    return PARTITIONS_AHEAD_PER_THREAD * max(threads, 1)


def _settled_and_sent(tasks, chunks, tolerance, ahead, number, partition_outputs):
    """Partitioning, settling and numbering, partition by partition: each partition is built
    from its pieces, started after the one before it (the chain of Starts), numbered by
    `number` (a function of _numbering) and cut into the BackPieces it sends each chunk;
    `partition_outputs` names the steps (functions of what `number` gives) whose values each
    partition also gives. Partition k is built once partition k - `ahead` has sent everything:
    a partition built earlier would only wait in memory. (Its pieces are cut whenever a worker
    is free: cutting them only then too put the cutting in the chain's way and slowed the whole.)
    Returns (for each chunk the keys of its BackPieces, for each name of
    `partition_outputs` the keys of its values)."""
    n_chunks = len(chunks)
    back = [[] for _ in range(n_chunks)]
    outputs = {name: [] for name in partition_outputs}
    all_sent, previous = [], None
    for k in range(chunks.n_partitions):
        partition = tasks.add("partition", (k,), _ordering.assemble_partition,
                              chunks.pieces(tasks, k), tolerance,
                              all_sent[k - ahead] if k >= ahead else None)
        previous = tasks.add("start", (k,), _settling.start, partition, previous, tolerance)
        sent = tasks.add(number.__name__.replace("_", "-"), (k,), number, partition, previous)
        own = [tasks.add("back-piece", (k, c), _numbering.back_piece, sent, c) for c in range(n_chunks)]
        for chunk_pieces, piece in zip(back, own):
            chunk_pieces.append(piece)
        for name, function in partition_outputs.items():
            outputs[name].append(tasks.add(name, (k,), function, sent))
            own.append(outputs[name][-1])
        all_sent.append(tasks.add("all-sent", (k,), _numbering.rows_sent, own))
    return back, outputs


def _number_by_opening(tasks, chunks, tolerance, ahead):
    """Numbering in opening order: per partition its unique rows and their indices, and per
    chunk its rows' groups."""
    back, kept = _settled_and_sent(tasks, chunks, tolerance, ahead, _numbering.by_opening,
                                   {"kept-values": _numbering.kept_values,
                                    "kept-rows": _numbering.kept_rows})
    inverse = tasks.each("inverse", len(chunks), _numbering.placed, back.__getitem__,
                         chunks.groupings.__getitem__)
    return kept["kept-values"], kept["kept-rows"], inverse


def _number_by_lowest_row(tasks, chunks, tolerance, ahead, dtype, n_columns):
    """Numbering by lowest member row: per chunk the unique rows it holds, their indices and
    its rows' numbers."""
    n_chunks, first_rows = len(chunks), chunks.first_rows
    back, shared = _settled_and_sent(tasks, chunks, tolerance, ahead, _numbering.by_lowest_row,
                                     {"shared": _numbering.shared_lowest_rows})
    merged = tasks.add("merged", (), _numbering.merge_lowest_rows, shared["shared"])
    received = tasks.each("received", n_chunks, _numbering.receive, back.__getitem__,
                          chunks.groupings.__getitem__, lambda c: merged, first_rows.__getitem__,
                          lambda c: dtype, lambda c: n_columns)
    marks = tasks.each("marks", n_chunks, _numbering.received_marks, received.__getitem__)
    table = tasks.add("rank-table", (), _numbering.rank_table, marks, first_rows)
    unique = tasks.each("held-values", n_chunks, _numbering.held_values, received.__getitem__)
    index = tasks.each("held-rows", n_chunks, _numbering.held_rows, received.__getitem__)
    inverse = tasks.each("inverse", n_chunks, _numbering.numbered_inverse, received.__getitem__,
                         lambda c: table)
    return unique, index, inverse


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
    ahead = _partitions_ahead()
    tasks = _Tasks(tokenize(query, tolerance, bool(sorted_index), ahead))
    chunks = _Chunks(tasks, blocks, _first_rows(tasks, query, blocks),
                     _partition_count(query, len(blocks)))
    if sorted_index:
        unique, index, inverse = _number_by_lowest_row(tasks, chunks, tolerance, ahead, dtype,
                                                       n_columns)
    else:
        unique, index, inverse = _number_by_opening(tasks, chunks, tolerance, ahead)
    return (
        _as_array(tasks, "unique", query, unique, ((math.nan,) * len(unique), (n_columns,)), dtype),
        _as_array(tasks, "index", query, index, ((math.nan,) * len(index),), np.int64),
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
