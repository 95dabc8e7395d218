"""Ordering and partitioning: rows are ordered as `rilo.unique_rows` sweeps them, by row sum
(added from column 0 upward in the element type), equal sums by row index, NaN sums last. A
sample of every chunk's keys picks the partition boundaries; each chunk is cut into one piece
per partition, and each partition gathers its pieces into one run of the sweep order, which one
`rilo` call sweeps alone. NumPy arrays in and out."""
from dataclasses import dataclass

import numpy as np

import rilo
from rilo_dask._rows import narrowest_index_type, row_sums, rows_at, same_sums, sized

# Rows drawn from each chunk to choose the partition boundaries: enough that the partitions
# come out within a few per cent of equal size for a few hundred chunks.
SAMPLE_ROWS_PER_CHUNK = 256
# float32 sums of a run shorter than this sort as one 64-bit word each: the sum's order key above
# the position, so that a plain sort of the words is the sweep order.
PACKED_RUN_LENGTH = 1 << 32


def first_rows(lengths):
    """The first row of each chunk, as int64, from the chunks' lengths."""
    return np.concatenate([[0], np.cumsum(lengths, dtype=np.int64)[:-1]]).astype(np.int64)


def sweep_order(sums):
    """The positions of `sums` (row sums with -0 read as +0) in sweep order: ascending, NaN last,
    equal sums (and all NaNs) in ascending position."""
    if sums.dtype == np.float32 and len(sums) < PACKED_RUN_LENGTH:
        return packed_sweep_order(sums)
    return tie_fixed_sweep_order(sums)


def float32_order_keys(sums):
    """uint32 keys ordered as float32 `sums` are, every NaN the largest."""
    bits = sums.view(np.uint32)
    keys = np.where(bits >> np.uint32(31), ~bits, bits | np.uint32(1 << 31))
    keys[np.isnan(sums)] = np.iinfo(np.uint32).max
    return keys


def packed_sweep_order(sums):
    """sweep_order of float32 sums shorter than PACKED_RUN_LENGTH: each sum's key and position
    packed into one word, sorted, and the positions read back."""
    packed = float32_order_keys(sums).astype(np.uint64) << np.uint64(32)
    packed |= np.arange(len(sums), dtype=np.uint64)
    packed.sort()
    return (packed & np.uint64(PACKED_RUN_LENGTH - 1)).astype(narrowest_index_type(len(sums)))


def tie_fixed_sweep_order(sums):
    """sweep_order of any sums. NumPy's unstable sort is many times faster than its stable one;
    runs of equal sums are then put in position order."""
    order = np.argsort(sums)
    ascending = sums[order]
    same_as_next = same_sums(ascending[1:], ascending[:-1])
    tied = np.zeros(len(order), bool)
    tied[1:] |= same_as_next
    tied[:-1] |= same_as_next
    if tied.any():
        runs = order[tied]
        run_of = np.cumsum(np.concatenate([[True], ~same_as_next])[tied])
        order[tied] = runs[np.argsort(run_of * len(sums) + runs)]
    return order.astype(narrowest_index_type(len(sums)))


def sample_keys(values, first_row, seed):
    """Sweep-order keys (row sum, row index) of up to SAMPLE_ROWS_PER_CHUNK rows of a chunk
    whose first row is row `first_row`, drawn without replacement with `seed`."""
    count = min(len(values), SAMPLE_ROWS_PER_CHUNK)
    picked = np.random.default_rng(seed).choice(len(values), count, replace=False)
    return row_sums(rows_at(values, picked)), first_row + picked.astype(np.int64)


def choose_boundaries(samples, n_partitions):
    """n_partitions - 1 sweep-order keys (sum array, row array) cutting the pooled `samples`
    into runs of equal size."""
    sums = np.concatenate([sample[0] for sample in samples])
    rows = np.concatenate([sample[1] for sample in samples])
    if len(sums) == 0:  # no rows at all: every partition is empty whatever the boundaries
        return np.zeros(n_partitions - 1, sums.dtype), np.zeros(n_partitions - 1, np.int64)
    pooled = np.lexsort((rows, sums))
    cuts = (np.arange(1, n_partitions) * len(pooled)) // n_partitions
    return sums[pooled[cuts]], rows[pooled[cuts]]


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


@sized
@dataclass
class Grouping:
    """A chunk's positions grouped by partition, each group ascending."""

    positions: np.ndarray  # (n,) int32 (int64 past 2**31 rows)
    starts: np.ndarray  # (partitions + 1,) where each partition's group starts, and the end

    def positions_of(self, partition):
        """The ascending positions of the chunk's rows that go to `partition` (a view)."""
        return self.positions[self.starts[partition]:self.starts[partition + 1]]


def group_by_partition(values, first_row, boundaries):
    """The Grouping of a chunk whose first row is row `first_row`."""
    rows = first_row + np.arange(len(values), dtype=np.int64)
    partition = partition_of_rows(row_sums(values), rows, boundaries)
    n_partitions = len(boundaries[0]) + 1
    counts = np.bincount(partition, minlength=n_partitions)
    if n_partitions <= 1 << 16:  # 16-bit labels take NumPy's radix sort
        partition = partition.astype(np.uint16)
    positions = np.argsort(partition, kind="stable").astype(narrowest_index_type(len(values)))
    return Grouping(positions, np.concatenate([[0], np.cumsum(counts)]))


@sized
@dataclass
class Piece:
    """The rows of one chunk that go to one partition."""

    values: np.ndarray  # (b, m) the rows
    positions: np.ndarray  # (b,) their ascending positions in the chunk, int32 (int64 past 2**31)
    first_row: int  # the chunk's first row


def piece(values, first_row, grouping, partition):
    """The Piece of a chunk (first row `first_row`, Grouping `grouping`) for `partition`."""
    positions = grouping.positions_of(partition).copy()
    return Piece(rows_at(values, positions), positions, first_row)


@sized
@dataclass
class Partition:
    """One partition's rows in sweep order, with the sweep of the partition alone. Its rows
    arrived in pieces, one from each chunk in chunk order; "arrival order" lists them so."""

    values: np.ndarray  # (b, m) rows in sweep order (their row sums ascend, NaN last)
    order: np.ndarray  # (b,) the arrival position of each row in sweep order
    positions: np.ndarray  # (b,) each row's position in its chunk, in arrival order
    piece_first_rows: np.ndarray  # (chunks,) int64, the first row of each piece's chunk
    piece_lengths: np.ndarray  # (chunks,) int64, the rows of each piece
    alone_openings: np.ndarray  # ascending positions that open groups when swept alone, int32
    alone_groups: np.ndarray  # (b,) each row's group when swept alone: its opening's index

    def arrival_rows(self):
        """Every row's row index, int64, in arrival order (ascending)."""
        return np.repeat(self.piece_first_rows, self.piece_lengths) + self.positions

    def rows(self, positions=slice(None)):
        """The row indices, int64, of the rows at the sweep-order `positions` (default all)."""
        return self.arrival_rows()[self.order[positions]]


def assemble_partition(pieces, tolerance, waited_for=None):
    """The Partition of `pieces`, one from each chunk in chunk order. `waited_for` is not read:
    the graph hands in a small value that an earlier partition gives once it has sent
    everything, so that Dask builds partitions no faster than they are settled and sent."""
    values = np.concatenate([piece.values for piece in pieces])
    order = sweep_order(row_sums(values))
    values = rows_at(values, order)
    alone_openings, alone_groups = rilo.sweep_in_order(values, tolerance)
    lengths = np.array([len(piece.positions) for piece in pieces], np.int64)
    positions = np.concatenate([piece.positions for piece in pieces]) if pieces else np.empty(0, np.int32)
    return Partition(values, order, positions,
                     np.array([piece.first_row for piece in pieces], np.int64), lengths,
                     alone_openings, alone_groups)
