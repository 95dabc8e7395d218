"""The steps that move rows between the query's chunks and the partitions of the sweep order,
and back; NumPy arrays in and out."""
import numpy as np

from rilo_dask._blocks import as_records, row_sums, rows_at, same_sums, stable_order_of_labels

# Rows drawn from each chunk to choose the partition boundaries: enough that the partitions
# come out within a few per cent of equal size for a few hundred chunks.
SAMPLE_ROWS_PER_CHUNK = 256


def sample_keys(values, offset, seed):
    """Sweep-order keys (row sum, row index) of up to SAMPLE_ROWS_PER_CHUNK rows of a chunk
    whose first row is row `offset`, drawn without replacement with `seed`."""
    count = min(len(values), SAMPLE_ROWS_PER_CHUNK)
    picked = np.random.default_rng(seed).choice(len(values), count, replace=False)
    return row_sums(rows_at(values, picked)), offset + picked.astype(np.int64)


def choose_boundaries(samples, n_partitions):
    """n_partitions - 1 sweep-order keys (key array, row array) cutting the pooled `samples`
    into runs of equal size."""
    keys = np.concatenate([sample[0] for sample in samples])
    rows = np.concatenate([sample[1] for sample in samples])
    if len(keys) == 0:  # no rows at all: every partition is empty whatever the boundaries
        return np.zeros(n_partitions - 1, keys.dtype), np.zeros(n_partitions - 1, np.int64)
    pooled = np.lexsort((rows, keys))
    cuts = (np.arange(1, n_partitions) * len(pooled)) // n_partitions
    return keys[pooled[cuts]], rows[pooled[cuts]]


def partition_of_rows(sums, rows, boundaries):
    """For rows with sweep-order keys (sums, rows), the number of boundaries before each: the
    partition that holds it. NumPy's searches order NaN last, as the sweep does."""
    boundary_sums, boundary_rows = boundaries
    partition = np.searchsorted(boundary_sums, sums, side="left")
    if len(boundary_sums) == 0:
        return partition
    at_below = np.take(boundary_sums, partition, mode="clip")
    # Boundaries ascend with NaN last: without a NaN one, a tie is plain equality.
    tied = np.flatnonzero(same_sums(at_below, sums) if np.isnan(boundary_sums[-1]) else at_below == sums)
    below = partition[tied]
    for start in np.unique(below):
        ties = tied[below == start]
        end = start + np.count_nonzero(same_sums(boundary_sums[start:], boundary_sums[start]))
        partition[ties] += np.searchsorted(boundary_rows[start:end], rows[ties], side="left")
    return partition


def split_chunk(values, offset, boundaries):
    """A chunk whose first row is row `offset`, cut by partition: for each partition the chunk's
    rows that go there and their row indices (ascending), and the positions of the rows in the
    order the pieces list them."""
    rows = offset + np.arange(len(values), dtype=np.int64)
    partition = partition_of_rows(row_sums(values), rows, boundaries)
    grouped, cuts = grouped_by_label(partition, len(boundaries[0]) + 1)
    rows_of_pieces = (offset + piece for piece in np.split(grouped, cuts))
    return list(zip(gathered_pieces(values, grouped, cuts), rows_of_pieces)), grouped


def send_back(partition, values_in_sweep_order):
    """Per-row values of a partition in sweep order, cut into the pieces its rows arrived in."""
    arrived = np.empty_like(values_in_sweep_order)
    arrived[partition.arrival] = values_in_sweep_order
    return cut(arrived, np.cumsum(partition.piece_lengths)[:-1])


def cut(values, cuts):
    """`values` cut before the positions `cuts` into pieces that own their memory: a view would
    keep all of `values` alive until its last sibling is freed, while Dask counts, sends and
    spills each piece as if it stood alone."""
    return [piece.copy() for piece in np.split(values, cuts)]


def gathered_pieces(values, positions, cuts):
    """The rows of `values` at `positions`, cut before the positions `cuts`, each piece gathered
    into an array of its own."""
    return [rows_at(values, piece) for piece in np.split(positions, cuts)]


def grouped_by_label(labels, n_labels):
    """The positions of `labels` (integers in 0..n_labels-1) grouped by label, each group in
    position order, and where each label's group after the first begins."""
    cuts = np.cumsum(np.bincount(labels, minlength=n_labels)[:-1])
    return stable_order_of_labels(labels, n_labels), cuts


def in_position_order(pieces, listed):
    """Values sent back in pieces that list them one after another at the positions `listed`
    (for a chunk's rows, the order that split_chunk cut them in), in the order of the
    positions."""
    in_order = np.empty((len(listed),) + pieces[0].shape[1:], pieces[0].dtype)
    records, start = as_records(in_order), 0
    for piece in pieces:
        records[listed[start:start + len(piece)]] = as_records(np.ascontiguousarray(piece))
        start += len(piece)
    return in_order
