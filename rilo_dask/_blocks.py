"""The steps of the partitioned sweep, each on NumPy arrays of one chunk or one partition.

Rows are ordered as `rilo.unique_rows` sweeps them: by row sum (added from column 0 upward in
the element type), equal sums by row index, NaN sums last. A partition is a run of that order.
Its rows are swept by `rilo.unique_rows` itself, after the openings of earlier partitions whose
windows reach into it; since every row a sweep meets depends only on the openings before it,
that reproduces the one-call sweep on the partition exactly.
"""
import math
from dataclasses import dataclass, fields

import numpy as np
from dask.sizeof import sizeof

import rilo

SWEEP = "a"


def selects_sweep(method):
    """Whether `method` (str, bytes or bytearray) selects the projection sweep: its first byte is
    A or a."""
    first = (method.encode() if isinstance(method, str) else bytes(method))[:1]
    return first in (b"A", b"a")


def row_sums(values):
    """Row sums of a 2-D block in its own dtype, added from column 0 upward, -0 read as +0;
    zeros when the block has no columns."""
    sums = np.zeros(len(values), dtype=values.dtype)
    with np.errstate(invalid="ignore", over="ignore"):  # inf - inf is NaN, as in the sweep
        for column in range(values.shape[1]):
            sums += values[:, column]
    return sums + values.dtype.type(0)


def as_records(values):
    """A C-contiguous 2-D array viewed as 1-D, one opaque item per row, which NumPy gathers and
    scatters by position up to several times faster than rows of numbers; 1-D arrays and empty
    rows as they are."""
    row_bytes = values.dtype.itemsize * math.prod(values.shape[1:])
    if values.ndim == 1 or row_bytes == 0:
        return values
    return values.view(np.dtype((np.void, row_bytes))).reshape(len(values))


def rows_at(values, positions):
    """The rows of a 2-D block at integer `positions`, gathered as records (see as_records)."""
    if values.shape[1] == 0:
        return np.take(values, positions, axis=0)
    gathered = np.take(as_records(np.ascontiguousarray(values)), positions)
    return gathered.view(values.dtype).reshape(len(gathered), values.shape[1])


def same_sums(sums_a, sums_b):
    """Whether row sums are equal in the sweep's order: as numbers, or both NaN."""
    return (sums_a == sums_b) | (np.isnan(sums_a) & np.isnan(sums_b))


# float32 sums of a run shorter than this sort as one 64-bit word each: the sum's order key above
# the position, so that a plain sort of the words is the sweep order.
PACKED_RUN_LENGTH = 1 << 32


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
    return (packed & np.uint64(PACKED_RUN_LENGTH - 1)).astype(np.intp)


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
    return order


def stable_order_of_labels(labels, n_labels):
    """The positions of `labels` (integers in 0..n_labels-1) grouped by label, each group in
    position order; 16-bit labels take NumPy's radix sort."""
    if n_labels <= 1 << 16:
        labels = labels.astype(np.uint16)
    return np.argsort(labels, kind="stable")


def gaps_below(later_sums, opening_sum, tolerance):
    """Whether each of `later_sums` lies within the window of an opening row with row sum
    `opening_sum`: the gap, subtracted in the dtype, is below `tolerance` (false for NaN)."""
    with np.errstate(invalid="ignore", over="ignore"):
        return (later_sums - opening_sum) < tolerance


def window_end(sums, position, tolerance):
    """The first position after `position` of an ascending run of row sums whose gap to the
    row sum at `position` is not below `tolerance`; len(sums) when every later one is."""
    outside = ~gaps_below(sums[position + 1:], sums[position], tolerance)
    return position + 1 + (int(np.argmax(outside)) if outside.any() else len(outside))


def sized(cls):
    """Registers the size of a dataclass of arrays with Dask as the sum of its fields' sizes. Dask
    otherwise reads it as an empty object, so its scheduler would move such values between
    workers as if free and its workers would not count their memory before spilling."""
    sizeof.register(cls)(lambda value: sum(sizeof(getattr(value, field.name)) for field in fields(value)))
    return cls


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
class Partition:
    """One partition's rows in sweep order, with the sweep of the partition alone."""

    values: np.ndarray  # (b, m) rows
    sums: np.ndarray  # (b,) row sums, ascending (NaN last)
    rows: np.ndarray  # (b,) int64 row indices
    arrival: np.ndarray  # (b,) position of each row among the pieces as they arrived
    piece_lengths: list  # rows in each piece, in arrival order
    alone_openings: np.ndarray  # ascending positions that open groups when swept alone
    alone_groups: np.ndarray  # (b,) for each position, the index into alone_openings of its group


def sweep_in_order(values, tolerance):
    """One `rilo` sweep of rows already in sweep order: the positions that open groups, ascending,
    and each row's group (the index of its opening among them), as int64."""
    _, openings, groups = rilo.unique_rows(values, tolerance, False, SWEEP)
    return openings.astype(np.int64), groups.astype(np.int64)


def assemble_partition(pieces, tolerance):
    """The partition made of `pieces` (values, row indices) whose row indices ascend from piece to
    piece and within each: its rows in sweep order and its sweep alone."""
    values = np.concatenate([piece[0] for piece in pieces])
    rows = np.concatenate([piece[1] for piece in pieces])
    sums = row_sums(values)
    arrival = sweep_order(sums)
    values, sums, rows = rows_at(values, arrival), sums[arrival], rows[arrival]
    openings, groups = sweep_in_order(values, tolerance)
    return Partition(values, sums, rows, arrival, [len(piece[1]) for piece in pieces], openings,
                     groups)


@sized
@dataclass
class Settled:
    """A partition's part of the one-call sweep."""

    groups: np.ndarray  # (b,) int64, each row's group, numbered in opening order over all rows
    openings: np.ndarray  # ascending positions of the partition's opening rows
    first_group: int  # the number of the group its first opening opened
    handed_on: Openings  # openings (earlier ones included) whose windows may reach past it


def sweep_with_earlier(earlier, values, tolerance):
    """The sweep of `earlier` openings followed by `values` (rows in sweep order after them):
    the positions in `values` that open, ascending, and each row's group, where groups below
    len(earlier) are those of the earlier openings (which all open: no opening claims another)
    and the rest count the new openings in order."""
    block = np.concatenate([earlier.values, values]) if len(earlier.rows) else values
    openings, groups = sweep_in_order(block, tolerance)
    carried = len(earlier.rows)
    return openings[carried:] - carried, groups[carried:]


def settle_prefix(partition, earlier, tolerance):
    """How long a prefix of `partition` must be swept again after the `earlier` openings that
    reach into it, and that sweep: (length, openings in it, groups of its rows). Beyond the
    prefix the sweep alone holds, because every opening on which the two sweeps differ has a
    window that ends inside the prefix; the prefix doubles until that is so."""
    size = len(partition.rows)
    reach = window_end(np.concatenate([earlier.sums[-1:], partition.sums]), 0, tolerance) - 1
    length = reach
    while True:
        openings, groups = sweep_with_earlier(earlier, partition.values[:length], tolerance)
        alone = partition.alone_openings[partition.alone_openings < length]
        differing = np.setxor1d(openings, alone)
        if length == size or len(differing) == 0:
            return length, openings, groups
        last_end = window_end(partition.sums, int(differing[-1]), tolerance)
        if last_end <= length:
            return length, openings, groups
        length = min(size, max(last_end, 2 * length))


@sized
@dataclass
class Handoff:
    """What a partition hands the next one: the openings whose windows may reach past it (earlier
    ones included) and the number of groups opened up to its end."""

    handed_on: Openings
    next_group: int


@sized
@dataclass
class Start:
    """How a partition's part of the one-call sweep differs from its sweep alone."""

    first_group: int  # the number of the group its first opening opens
    earlier: Openings  # the openings of earlier partitions whose windows reach into it
    length: int  # the prefix swept again after them
    prefix_groups: np.ndarray  # that sweep's groups of the prefix rows
    prefix_openings: np.ndarray  # the prefix positions that open
    openings: np.ndarray  # ascending positions of all the partition's opening rows


def start(partition, handoff, tolerance):
    """The partition's Start after the `handoff` of the partition before, and its own Handoff:
    the sequential step of the sweep, which touches only the rows near the partition's ends."""
    if len(partition.rows) == 0:
        nothing = np.empty(0, np.int64)
        return (Start(handoff.next_group, handoff.handed_on, 0, nothing, nothing, nothing),
                handoff)
    handed_in = handoff.handed_on
    earlier = handed_in.take(gaps_below(partition.sums[0], handed_in.sums, tolerance))
    if len(earlier.rows):
        length, prefix_openings, prefix_groups = settle_prefix(partition, earlier, tolerance)
    else:
        length, prefix_openings, prefix_groups = 0, np.empty(0, np.int64), np.empty(0, np.int64)
    alone = partition.alone_openings
    openings = np.concatenate([prefix_openings, alone[np.searchsorted(alone, length):]])
    first_group = handoff.next_group
    handed_on = hand_on(partition, earlier, openings, first_group, tolerance)
    return (Start(first_group, earlier, length, prefix_groups, prefix_openings, openings),
            Handoff(handed_on, first_group + len(openings)))


def settle(partition, begun, handoff):
    """The partition's part of the one-call sweep, from its Start `begun` and its Handoff."""
    length, first_group, earlier = begun.length, begun.first_group, begun.earlier
    groups = np.empty(len(partition.rows), np.int64)
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
    return Settled(groups, begun.openings, first_group, handoff.handed_on)


def hand_on(partition, earlier, openings, first_group, tolerance):
    """The openings, earlier ones and the partition's own (at ascending `openings`, numbered
    from `first_group`), whose windows may reach past the partition's last row."""
    last_sum = partition.sums[-1]
    reaching = np.flatnonzero(gaps_below(last_sum, partition.sums[openings], tolerance))
    own = Openings(rows_at(partition.values, openings[reaching]), partition.sums[openings[reaching]],
                   partition.rows[openings[reaching]], first_group + reaching)
    earlier = earlier.take(gaps_below(last_sum, earlier.sums, tolerance))
    return Openings.concatenate(earlier, own)
