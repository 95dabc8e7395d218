"""The projection sweep of `rilo.unique_rows` on Dask arrays larger than one call accepts.

    unique, index, inverse = rilo_dask.unique_rows(query, tolerance, sorted_index, "sweep")

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

import dask
import dask.array as da
import numpy as np

import rilo
from rilo_dask import _blocks, _exchange

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


def _handoff(settled):
    """What the next partition needs of a settled one: the openings handed on and the number of
    groups opened so far."""
    return settled.handed_on, settled.first_group + len(settled.openings)


def _openings(partition, settled):
    """The partition's opening rows and their row indices."""
    return partition.values[settled.openings], partition.rows[settled.openings]


def _groups(settled):
    """Each row's group in sweep order, numbered in opening order."""
    return settled.groups


def _merge_numbers(listed):
    """(group, number) pairs from several partitions, ascending by group."""
    groups = np.concatenate([pair[0] for pair in listed])
    numbers = np.concatenate([pair[1] for pair in listed])
    ascending = np.argsort(groups)
    return groups[ascending], numbers[ascending]


def _first_numbers(gathered):
    """The number of the first group whose representative each chunk holds."""
    return _first_rows([len(rows) for rows, _ in gathered])


def _settle_all(partitions, dtype, n_columns, tolerance):
    """The settled partitions, each after the openings that the ones before it hand on."""
    delayed = dask.delayed
    handed_on, first_group = _blocks.Openings.none(dtype, n_columns), 0
    settled = []
    for partition in partitions:
        settled.append(delayed(_blocks.settle)(partition, handed_on, first_group, tolerance))
        handed_on, first_group = delayed(_handoff, nout=2)(settled[-1])
    return settled


def _number_by_lowest_row(partitions, settled, first_rows, n_chunks):
    """Groups renumbered in ascending order of their lowest member row: each partition's rows'
    new numbers in sweep order, and per chunk the representatives it holds (rows, values)."""
    delayed = dask.delayed
    lowest = [delayed(_exchange.lowest_members)(p, s) for p, s in zip(partitions, settled)]
    merged = delayed(_exchange.merge_lowest)(
        [delayed(_exchange.foreign_lowest)(p, s, low) for p, s, low in zip(partitions, settled, lowest)])
    reps = [delayed(_exchange.representatives)(p, s, low, merged)
            for p, s, low in zip(partitions, settled, lowest)]
    to_chunks = [delayed(_exchange.split_by_chunk, nout=n_chunks)(r, first_rows) for r in reps]
    gathered = [delayed(_exchange.gather_in_chunk)([pieces[c] for pieces in to_chunks])
                for c in range(n_chunks)]
    first_numbers = delayed(_first_numbers, nout=n_chunks)(gathered)
    back = [delayed(_exchange.numbers_in_chunk, nout=len(partitions))(
        gathered[c], first_numbers[c], [pieces[c] for pieces in to_chunks]) for c in range(n_chunks)]
    numbers = [delayed(_exchange.own_numbers)(r, first_rows, [pieces[k] for pieces in back])
               for k, r in enumerate(reps)]
    earlier = delayed(_merge_numbers)(
        [delayed(_exchange.handed_on_numbers)(s, nums) for s, nums in zip(settled, numbers)])
    renumbered = [delayed(_exchange.renumber)(s, nums, earlier) for s, nums in zip(settled, numbers)]
    return renumbered, gathered


def unique_rows(query, tolerance, sorted_index, method):
    """Unique rows of a Dask array under a Euclidean tolerance, by the projection sweep.

    Arguments are those of `rilo.unique_rows`; `query` is a `dask.array.Array`. Returns the
    Dask arrays (unique rows, representative indices, inverse), indices as int64, equal once
    computed to one `rilo.unique_rows` call on the whole array wherever that call is possible.
    Bad arguments raise rilo's errors at once, from the query's metadata; a `method` that
    selects the tolerant sort raises NotImplementedError.
    """
    _check_arguments(query, tolerance, sorted_index, method)
    delayed = dask.delayed
    dtype = query.dtype.newbyteorder("=")
    with np.errstate(over="ignore"):
        tolerance = dtype.type(tolerance)
    n_columns = query.shape[1]
    blocks = list(query.astype(dtype).rechunk({1: -1}).to_delayed()[:, 0])
    n_chunks = len(blocks)
    n_partitions = _partition_count(query, n_chunks)
    first_rows = delayed(_first_rows)([delayed(len)(block) for block in blocks])
    starts = [first_rows[c] for c in range(n_chunks)]
    samples = [delayed(_exchange.sample_keys)(block, start, c)
               for c, (block, start) in enumerate(zip(blocks, starts))]
    boundaries = delayed(_exchange.choose_boundaries)(samples, n_partitions)
    splits = [delayed(_exchange.split_chunk, nout=2)(block, start, boundaries)
              for block, start in zip(blocks, starts)]
    partitions = [delayed(_blocks.assemble_partition)([split[0][k] for split in splits], tolerance)
                  for k in range(n_partitions)]
    settled = _settle_all(partitions, dtype, n_columns, tolerance)
    if sorted_index:
        groups, gathered = _number_by_lowest_row(partitions, settled, first_rows, n_chunks)
        kept = [(rows_and_values[1], rows_and_values[0]) for rows_and_values in gathered]
    else:
        groups = [delayed(_groups)(s) for s in settled]
        kept = [delayed(_openings, nout=2)(p, s) for p, s in zip(partitions, settled)]
    back = [delayed(_exchange.send_back, nout=n_chunks)(p, g) for p, g in zip(partitions, groups)]
    inverse = [delayed(_exchange.receive)([pieces_back[c] for pieces_back in back], split[1])
               for c, split in enumerate(splits)]
    return (
        da.concatenate([da.from_delayed(pair[0], (math.nan, n_columns), dtype) for pair in kept]),
        da.concatenate([da.from_delayed(pair[1], (math.nan,), np.int64) for pair in kept]),
        da.concatenate([da.from_delayed(part, (length,), np.int64)
                        for part, length in zip(inverse, query.chunks[0])]),
    )
