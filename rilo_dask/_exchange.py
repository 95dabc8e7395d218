"""The steps that move rows between the query's chunks and the partitions of the sweep order,
and the renumbering of groups by their lowest member row; NumPy arrays in and out."""
import numpy as np

from rilo_dask._blocks import row_sums, rows_at, same_sums, stable_order_of_labels

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
    below = np.searchsorted(boundary_sums, sums, side="left")
    partition = below.copy()
    if len(boundary_sums) == 0:
        return partition
    at_below = np.take(boundary_sums, below, mode="clip")
    # Boundaries ascend with NaN last: without a NaN one, a tie is plain equality.
    tied = same_sums(at_below, sums) if np.isnan(boundary_sums[-1]) else at_below == sums
    for start in np.unique(below[tied]):
        ties = tied & (below == start)
        end = start + np.count_nonzero(same_sums(boundary_sums[start:], boundary_sums[start]))
        partition[ties] += np.searchsorted(boundary_rows[start:end], rows[ties], side="left")
    return partition


def split_chunk(values, offset, boundaries):
    """A chunk whose first row is row `offset`, cut by partition: for each partition the chunk's
    rows that go there and their row indices (ascending), and each row's partition."""
    rows = offset + np.arange(len(values), dtype=np.int64)
    partition = partition_of_rows(row_sums(values), rows, boundaries)
    grouped, cuts = grouped_by_label(partition, len(boundaries[0]) + 1)
    pieces = zip(cut(rows_at(values, grouped), cuts), cut(offset + grouped, cuts))
    return list(pieces), partition


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


def grouped_by_label(labels, n_labels):
    """The positions of `labels` (integers in 0..n_labels-1) grouped by label, each group in
    position order, and where each label's group after the first begins."""
    cuts = np.cumsum(np.bincount(labels, minlength=n_labels)[:-1])
    return stable_order_of_labels(labels, n_labels), cuts


def in_position_order(pieces, labels):
    """Values cut into one piece per label as grouped_by_label groups them, put back in the
    order of the positions they belong to."""
    received = np.concatenate(pieces)
    in_order = np.empty_like(received)
    in_order[stable_order_of_labels(labels, len(pieces))] = received
    return in_order


def receive(pieces, row_partition):
    """The per-row values of one chunk from the pieces that its partitions send back, in the
    chunk's row order."""
    return in_position_order(pieces, row_partition)


# Row offsets within a chunk travel as int32 wherever they fit: half the bytes of int64 rows.
NARROW_OFFSETS = np.int32


def narrowed(offsets):
    """Non-negative int64 offsets as NARROW_OFFSETS when every one fits, else unchanged."""
    if len(offsets) and offsets.max() > np.iinfo(NARROW_OFFSETS).max:
        return offsets
    return offsets.astype(NARROW_OFFSETS)


def lowest_members(partition, settled):
    """The lowest member row among the partition's rows of every group that has some: as
    ((groups ascending, rows, values) of the groups opened before the partition, positions in
    sweep order of its own groups' ones in group order). Rows arrived in ascending row order,
    so the lowest member is the one that arrived first."""
    size, n_own = len(partition.rows), len(settled.openings)
    # Own groups are the dense range from first_group; earlier ones all share the spare last slot.
    slots = np.maximum(settled.groups - settled.first_group, -1)
    earliest = np.full(n_own + 1, size, np.int64)
    np.minimum.at(earliest, slots, partition.arrival)
    position_of_arrival = np.empty(size, np.int64)
    position_of_arrival[partition.arrival] = np.arange(size)
    foreign = np.flatnonzero(slots < 0)
    groups, arrived = settled.groups[foreign], partition.arrival[foreign]
    by_group = np.lexsort((arrived, groups))
    foreign_groups, first = np.unique(groups[by_group], return_index=True)
    positions = position_of_arrival[arrived[by_group[first]]]
    return ((foreign_groups, partition.rows[positions], rows_at(partition.values, positions)),
            position_of_arrival[earliest[:n_own]])


def merge_lowest(listed):
    """The lowest of the members (groups, rows, values) `listed` by several partitions, one per
    group: (groups ascending, rows, values)."""
    groups, rows, values = (np.concatenate(part) for part in zip(*listed))
    by_group = np.lexsort((rows, groups))
    merged_groups, first = np.unique(groups[by_group], return_index=True)
    lowest = by_group[first]
    return merged_groups, rows[lowest], rows_at(values, lowest)


def representatives(partition, settled, own_lowest, merged):
    """Each of the partition's own groups' lowest member over all partitions, in group order:
    (rows, values), from the positions `own_lowest` of its own lowest members and the lowest
    members `merged` (groups ascending) that later partitions hold."""
    rows, values = partition.rows[own_lowest], rows_at(partition.values, own_lowest)
    merged_groups, merged_rows, merged_values = merged
    first_group = settled.first_group
    start, end = np.searchsorted(merged_groups, [first_group, first_group + len(rows)])
    slots = merged_groups[start:end] - first_group
    lower = np.flatnonzero(merged_rows[start:end] < rows[slots])
    rows[slots[lower]] = merged_rows[start + lower]
    values[slots[lower]] = merged_values[start + lower]
    return rows, values


def chunk_of_rows(rows, offsets):
    """The chunk that holds each row, given the first row of every chunk."""
    return np.searchsorted(offsets, rows, side="right") - 1


def split_by_chunk(representatives_of_groups, offsets):
    """Representatives (rows, values) cut by the chunk that holds them, each in group order and
    with rows as narrowed offsets from the chunk's first row; and the positions of the
    representatives that the pieces list one after another."""
    rows, values = representatives_of_groups
    listed, cuts = grouped_by_label(chunk_of_rows(rows, offsets), len(offsets))
    rows_by_chunk = np.split(rows[listed], cuts)
    offsets_by_chunk = [narrowed(chunk_rows - first) for chunk_rows, first in zip(rows_by_chunk, offsets)]
    return list(zip(offsets_by_chunk, cut(rows_at(values, listed), cuts))), listed


def gather_in_chunk(pieces, first_row):
    """The representatives that one chunk (whose first row is `first_row`) holds, from the pieces
    (offsets, values) of every partition: (rows ascending, values, each piece's ranks among
    them). Offsets are distinct, so a table over their span ranks them without a sort."""
    offsets, values = (np.concatenate(part) for part in zip(*pieces))
    lowest, highest = (int(offsets.min()), int(offsets.max())) if len(offsets) else (0, -1)
    held = np.zeros(highest - lowest + 1, bool)
    held[offsets - lowest] = True
    rank = np.cumsum(held, dtype=np.int64)[offsets - lowest] - 1
    listed = np.empty(len(offsets), np.int64)
    listed[rank] = np.arange(len(offsets))
    ranks = np.split(rank, np.cumsum([len(piece[0]) for piece in pieces])[:-1])
    return first_row + lowest + np.flatnonzero(held), rows_at(values, listed), ranks


def numbers_in_chunk(gathered, first_number):
    """The final group numbers of the representatives in each piece a chunk gathered:
    `first_number` plus their rank among the chunk's."""
    return [first_number + rank for rank in gathered[2]]


def own_numbers(listed, numbers_from_chunks):
    """The final numbers of a partition's own groups, in group order, from the pieces that the
    chunks send back for the representatives it listed in the order `listed`."""
    numbers = np.empty(len(listed), np.int64)
    numbers[listed] = np.concatenate(numbers_from_chunks)
    return numbers


def handed_on_numbers(settled, numbers):
    """(group, final number) of the partition's own groups that later partitions may hold."""
    groups = settled.handed_on.groups
    own = groups[groups >= settled.first_group]
    return own, numbers[own - settled.first_group]


def renumber(settled, numbers, earlier):
    """Each row's final group number: `numbers` for the partition's own groups and `earlier`
    (groups ascending, numbers) for groups opened before it."""
    groups = settled.groups
    own = groups >= settled.first_group
    final = np.empty(len(groups), np.int64)
    final[own] = numbers[groups[own] - settled.first_group]
    final[~own] = earlier[1][np.searchsorted(earlier[0], groups[~own])]
    return final
