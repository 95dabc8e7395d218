"""The steps that move rows between the query's chunks and the partitions of the sweep order,
and the renumbering of groups by their lowest member row; NumPy arrays in and out."""
import numpy as np

from rilo_dask._blocks import row_sums, same_sums, stable_order_of_labels

# Rows drawn from each chunk to choose the partition boundaries: enough that the partitions
# come out within a few per cent of equal size for a few hundred chunks.
SAMPLE_ROWS_PER_CHUNK = 256


def sample_keys(values, offset, seed):
    """Sweep-order keys (row sum, row index) of up to SAMPLE_ROWS_PER_CHUNK rows of a chunk
    whose first row is row `offset`, drawn without replacement with `seed`."""
    count = min(len(values), SAMPLE_ROWS_PER_CHUNK)
    picked = np.random.default_rng(seed).choice(len(values), count, replace=False)
    return row_sums(values[picked]), offset + picked.astype(np.int64)


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
    tied = same_sums(boundary_sums[np.minimum(below, len(boundary_sums) - 1)], sums)
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
    taken_by_partition = positions_by_label(partition, len(boundaries[0]) + 1)
    return [(values[taken], rows[taken]) for taken in taken_by_partition], partition


def send_back(partition, values_in_sweep_order):
    """Per-row values of a partition in sweep order, cut into the pieces its rows arrived in."""
    arrived = np.empty_like(values_in_sweep_order)
    arrived[partition.arrival] = values_in_sweep_order
    return np.split(arrived, np.cumsum(partition.piece_lengths)[:-1])


def positions_by_label(labels, n_labels):
    """For each label 0 .. n_labels-1, the positions of `labels` that hold it, ascending."""
    grouped = stable_order_of_labels(labels, n_labels)
    return np.split(grouped, np.searchsorted(labels[grouped], np.arange(1, n_labels)))


def in_position_order(pieces, labels):
    """Values cut into one piece per label as positions_by_label cuts them, put back in the
    order of the positions they belong to."""
    received = np.concatenate(pieces)
    in_order = np.empty_like(received)
    in_order[stable_order_of_labels(labels, len(pieces))] = received
    return in_order


def receive(pieces, row_partition):
    """The per-row values of one chunk from the pieces that its partitions send back, in the
    chunk's row order."""
    return in_position_order(pieces, row_partition)


def lowest_members(partition, settled):
    """The lowest member row among the partition's rows of every group that has some: as
    (groups, positions in sweep order), ascending by group; the partition's own groups (those
    it opened) come last, all of them. Rows arrived in ascending row order, so the lowest
    member is the one that arrived first."""
    size, first_group = len(partition.rows), settled.first_group
    own = settled.groups >= first_group
    foreign_groups, slot = np.unique(settled.groups[~own], return_inverse=True)
    slots = np.empty(size, np.int64)
    slots[~own] = slot
    slots[own] = settled.groups[own] - first_group + len(foreign_groups)
    n_own = len(settled.openings)
    earliest = np.full(len(foreign_groups) + n_own, size, np.int64)
    np.minimum.at(earliest, slots, partition.arrival)
    position_of_arrival = np.empty(size, np.int64)
    position_of_arrival[partition.arrival] = np.arange(size)
    groups = np.concatenate([foreign_groups, first_group + np.arange(n_own, dtype=np.int64)])
    return groups, position_of_arrival[earliest]


def foreign_lowest(partition, settled, lowest):
    """The lowest members among the partition's rows of groups opened before it:
    (groups, rows, values)."""
    groups, positions = lowest
    foreign = groups < settled.first_group
    return groups[foreign], partition.rows[positions[foreign]], partition.values[positions[foreign]]


def merge_lowest(listed):
    """The lowest of the members (groups, rows, values) `listed` by several partitions, one per
    group: (groups ascending, rows, values)."""
    groups, rows, values = (np.concatenate(part) for part in zip(*listed))
    by_group = np.lexsort((rows, groups))
    merged_groups, first = np.unique(groups[by_group], return_index=True)
    lowest = by_group[first]
    return merged_groups, rows[lowest], values[lowest]


def representatives(partition, settled, lowest, merged):
    """Each of the partition's own groups' lowest member over all partitions, in group order:
    (rows, values); `merged` lists the lowest members that later partitions hold."""
    groups, positions = lowest
    own = groups >= settled.first_group
    own_groups, positions = groups[own], positions[own]
    rows, values = partition.rows[positions], partition.values[positions]
    merged_groups, merged_rows, merged_values = merged
    at = np.minimum(np.searchsorted(merged_groups, own_groups), max(len(merged_groups) - 1, 0))
    lower = np.zeros(len(own_groups), bool)
    if len(merged_groups):
        lower = (merged_groups[at] == own_groups) & (merged_rows[at] < rows)
    rows[lower], values[lower] = merged_rows[at[lower]], merged_values[at[lower]]
    return rows, values


def chunk_of_rows(rows, offsets):
    """The chunk that holds each row, given the first row of every chunk."""
    return np.searchsorted(offsets, rows, side="right") - 1


def split_by_chunk(representatives_of_groups, offsets):
    """Representatives (rows, values) cut by the chunk that holds them, each in group order."""
    rows, values = representatives_of_groups
    taken_by_chunk = positions_by_label(chunk_of_rows(rows, offsets), len(offsets))
    return [(rows[taken], values[taken]) for taken in taken_by_chunk]


def gather_in_chunk(pieces):
    """The representatives that one chunk holds, from every partition, in ascending row order."""
    rows, values = (np.concatenate(part) for part in zip(*pieces))
    ascending = np.argsort(rows)
    return rows[ascending], values[ascending]


def numbers_in_chunk(gathered, first_number, pieces):
    """The final group numbers of the representatives in each piece: `first_number` plus their
    rank among the chunk's `gathered` ones."""
    return [first_number + np.searchsorted(gathered[0], piece[0]) for piece in pieces]


def own_numbers(representatives_of_groups, offsets, numbers_from_chunks):
    """The final numbers of a partition's own groups, in group order, from the pieces that the
    chunks holding their representatives send back."""
    chunk = chunk_of_rows(representatives_of_groups[0], offsets)
    return in_position_order(numbers_from_chunks, chunk)


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
