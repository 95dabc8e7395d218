"""Settling: each partition's part of the one-call sweep. A partition is a run of the sweep
order, already swept alone. Since every row a sweep meets depends only on the openings before
it, sweeping the partition's rows after the openings of earlier partitions whose windows reach
into it reproduces the one-call sweep there exactly; that changes only a prefix of the sweep
alone, which is swept again. A chain of cheap steps, one per partition, hands each partition
those openings and the number of its first group; each partition is then settled apart. NumPy
arrays in and out."""
from dataclasses import dataclass

import numpy as np

import rilo
from rilo_dask._rows import gaps_below, row_sums, rows_at, sized


@sized
@dataclass
class Openings:
    """Opening rows handed on to later partitions, in sweep order."""

    values: np.ndarray  # (c, m), the rows
    sums: np.ndarray  # (c,), their row sums
    rows: np.ndarray  # (c,) int64, their row indices
    groups: np.ndarray  # (c,) int64, the numbers of the groups they opened

    def take(self, selection):
        """The openings that `selection` (a mask or index array) picks."""
        return Openings(self.values[selection], self.sums[selection], self.rows[selection],
                        self.groups[selection])

    @staticmethod
    def concatenate(first, second):
        """`first`'s openings followed by `second`'s."""
        return Openings(*(np.concatenate(pair) for pair in zip(
            (first.values, first.sums, first.rows, first.groups),
            (second.values, second.sums, second.rows, second.groups))))

    @staticmethod
    def none(dtype, n_columns):
        """No openings, for rows of `n_columns` values of `dtype`."""
        return Openings(np.empty((0, n_columns), dtype), np.empty(0, dtype),
                        np.empty(0, np.int64), np.empty(0, np.int64))


@sized
@dataclass
class Start:
    """How a partition's sweep starts in the one-call sweep, and what it hands on."""

    first_group: int  # the number of the group its first opening opens
    earlier: Openings  # the openings of earlier partitions whose windows reach into it
    length: int  # the prefix swept again after them
    prefix_openings: np.ndarray  # ascending positions in the prefix that open, int64
    prefix_groups: np.ndarray  # (length,) each prefix row's group: below len(earlier.rows) an
    # earlier opening's, the rest counting the prefix's openings in order
    handed_on: Openings  # openings, earlier ones included, whose windows may reach past it
    next_group: int  # the number of the group the next partition's first opening opens

    def openings(self, partition):
        """The ascending positions of the partition's rows that open groups, int64."""
        alone = partition.alone_openings
        return np.concatenate([self.prefix_openings, alone[np.searchsorted(alone, self.length):]])


def reach(sums, opening_sum, start, tolerance):
    """The first position from `start` on of an ascending run of row sums (NaN last) whose gap
    to `opening_sum` is not below `tolerance`; len(sums) when every one is. Gaps, subtracted in
    the dtype, ascend with the sums (rounding keeps order, and NaN gaps come last), so the
    gaps below the tolerance form a prefix, found by bisection."""
    low, high = start, len(sums)
    while low < high:
        middle = (low + high) // 2
        if gaps_below(sums[middle], opening_sum, tolerance):
            low = middle + 1
        else:
            high = middle
    return low


def window_end(sums, position, tolerance):
    """The first position after `position` of an ascending run of row sums whose gap to the
    row sum at `position` is not below `tolerance`; len(sums) when every later one is."""
    return reach(sums, sums[position], position + 1, tolerance)


def sweep_with_earlier(earlier, values, tolerance):
    """The sweep of `earlier` openings followed by `values` (rows in sweep order after them):
    the positions in `values` that open, ascending, and each row's group, where groups below
    len(earlier) are those of the earlier openings (which all open: no opening claims another)
    and the rest count the new openings in order."""
    block = np.concatenate([earlier.values, values]) if len(earlier.rows) else values
    openings, groups = rilo.sweep_in_order(block, tolerance)
    carried = len(earlier.rows)
    return openings[carried:] - carried, groups[carried:].astype(np.int64)


def settle_prefix(partition, sums, earlier, tolerance):
    """How long a prefix of `partition` (with row sums `sums`) must be swept again after the
    `earlier` openings that reach into it, and that sweep: (length, openings in it, groups of
    its rows). Beyond the prefix the sweep alone holds, because every opening on which the two
    sweeps differ has a window that ends inside the prefix; the prefix doubles until that is
    so."""
    size = len(sums)
    if len(earlier.rows) == 0 or size == 0:
        return 0, np.empty(0, np.int64), np.empty(0, np.int64)
    length = reach(sums, earlier.sums[-1], 0, tolerance)
    while True:
        openings, groups = sweep_with_earlier(earlier, partition.values[:length], tolerance)
        alone = partition.alone_openings[:np.searchsorted(partition.alone_openings, length)]
        differing = np.setxor1d(openings, alone)
        if length == size or len(differing) == 0:
            return length, openings, groups
        last_end = window_end(sums, int(differing[-1]), tolerance)
        if last_end <= length:
            return length, openings, groups
        length = min(size, max(last_end, 2 * length))


def start(partition, previous, tolerance, first_group=0):
    """The Start of `partition`, after the Start `previous` of the partition before it (None
    for the first, whose first group is `first_group`)."""
    if previous is None:
        values = partition.values
        previous = Start(first_group, None, 0, None, None,
                         Openings.none(values.dtype, values.shape[1]), first_group)
    sums = row_sums(partition.values)
    earlier = previous.handed_on
    if len(sums):
        earlier = earlier.take(gaps_below(sums[0], earlier.sums, tolerance))
    length, prefix_openings, prefix_groups = settle_prefix(partition, sums, earlier, tolerance)
    begun = Start(previous.next_group, earlier, length, prefix_openings, prefix_groups, None, None)
    openings = begun.openings(partition)
    begun.handed_on = hand_on(partition, sums, earlier, openings, begun.first_group, tolerance)
    begun.next_group = begun.first_group + len(openings)
    return begun


def hand_on(partition, sums, earlier, openings, first_group, tolerance):
    """The openings, earlier ones and the partition's own (at ascending `openings`, numbered
    from `first_group`), whose windows may reach past the partition's last row; `sums` are the
    partition's row sums."""
    if len(sums) == 0:
        return earlier
    last_sum = sums[-1]
    reaching = np.flatnonzero(gaps_below(last_sum, sums[openings], tolerance))
    own = Openings(rows_at(partition.values, openings[reaching]), sums[openings[reaching]],
                   partition.rows(openings[reaching]), first_group + reaching)
    earlier = earlier.take(gaps_below(last_sum, earlier.sums, tolerance))
    return Openings.concatenate(earlier, own)


def settle(partition, begun):
    """The partition's part of the one-call sweep, from its Start `begun`: each row's group in
    sweep order, int64, numbered in opening order over all rows, and the ascending positions of
    its openings."""
    length, first_group, earlier = begun.length, begun.first_group, begun.earlier
    groups = np.empty(len(partition.values), np.int64)
    if length:
        prefix_groups = begun.prefix_groups
        from_earlier = prefix_groups < len(earlier.rows)
        groups[:length][from_earlier] = earlier.groups[prefix_groups[from_earlier]]
        groups[:length][~from_earlier] = first_group + prefix_groups[~from_earlier] - len(earlier.rows)
    # An alone group's number: its opening's rank among the openings, searched for only when the
    # opening lies in the prefix swept again.
    alone = partition.alone_openings
    kept_from_alone = np.searchsorted(alone, length)
    rank_of_alone = np.arange(len(alone), dtype=np.int64) + len(begun.prefix_openings) - kept_from_alone
    rank_of_alone[:kept_from_alone] = np.searchsorted(begun.prefix_openings, alone[:kept_from_alone])
    groups[length:] = first_group + rank_of_alone[partition.alone_groups[length:]]
    return groups, begun.openings(partition)
