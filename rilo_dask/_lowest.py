"""Groups numbered in ascending order of their representative, the lowest member row, as
`sorted_index` asks: each partition finds the lowest rows of its groups, those of the groups that
span partitions are merged in one small step, and every row's representative travels back to
its chunk in place of its group. A chunk's rows that are their own representative are the
unique rows it holds; a table of them over all chunks numbers every representative by the count
of those before it. NumPy arrays in and out."""
from dataclasses import dataclass

import numpy as np

from rilo_dask._blocks import sized
from rilo_dask._exchange import gathered_pieces, in_position_order, send_back

# Representatives are marked in words of this many bits: a word's rank is the count before it
# plus the bits set below the row's own.
WORD_BITS = 64


def lowest_at(n_slots, slots, rows):
    """The lowest of the `rows` at each of `n_slots` slots (int64 max where none is). NumPy's
    ufunc.at takes a generic loop, many times slower, for the copy of the dtype that unpickled
    rows carry, so they are viewed with NumPy's own (`slots` are always computed here)."""
    lowest = np.full(n_slots, np.iinfo(np.int64).max)
    np.minimum.at(lowest, slots, rows.view(np.int64))
    return lowest


def lowest_per_group(groups, rows):
    """(groups ascending, the lowest of their `rows`) over rows listed with their groups."""
    listed, slots = np.unique(groups, return_inverse=True)
    return listed, lowest_at(len(listed), slots, rows)


def lowest_rows(partition, settled):
    """The lowest member row among the partition's rows of each of its own groups (in group
    order), and (groups ascending, lowest rows) of the groups that other partitions may hold as
    well: those opened before it, and those of its own that it hands on."""
    groups, first_group, n_own = settled.groups, settled.first_group, len(settled.openings)
    # Own group i at slot i; every group opened before the partition at the spare slot n_own.
    slots = groups - first_group
    earlier = np.flatnonzero(slots < 0)
    slots[earlier] = n_own
    lowest = lowest_at(n_own + 1, slots, partition.rows)[:n_own]
    earlier_groups, earlier_lowest = lowest_per_group(groups[earlier], partition.rows[earlier])
    handed_on = settled.handed_on.groups
    handed_on = handed_on[handed_on >= first_group]
    return lowest, (np.concatenate([earlier_groups, handed_on]),
                    np.concatenate([earlier_lowest, lowest[handed_on - first_group]]))


def merge_lowest_rows(shared):
    """The lowest row of every group from the (groups, lowest rows) that several partitions
    hold: (groups ascending, lowest rows)."""
    return lowest_per_group(*(np.concatenate(part) for part in zip(*shared)))


def representative_rows(settled, own_lowest, merged):
    """Each of a partition's rows' representative in sweep order: the lowest member row of its
    group, from the lowest rows of its own groups and those `merged` over all partitions."""
    groups, first_group = settled.groups, settled.first_group
    merged_groups, merged_rows = merged
    # Slot 0 stands in for every group opened before the partition, slot 1 + i for its own group i.
    lowest = np.concatenate([[0], own_lowest])
    start, end = np.searchsorted(merged_groups, [first_group, first_group + len(own_lowest)])
    lowest[1 + merged_groups[start:end] - first_group] = merged_rows[start:end]
    representative = np.take(lowest, 1 + groups - first_group, mode="clip")
    earlier = np.flatnonzero(groups < first_group)
    representative[earlier] = merged_rows[np.searchsorted(merged_groups, groups[earlier])]
    return representative


def send_back_representatives(partition, representative):
    """For each piece that a partition's rows arrived in: the rows' representatives, and the
    values of the rows that represent their group, both in arrival order (the pieces' rows
    ascend)."""
    size = len(representative)
    held_positions = np.flatnonzero(representative == partition.rows)
    arrival_of_held = partition.arrival[held_positions]
    held_in_arrival = np.zeros(size, bool)
    held_in_arrival[arrival_of_held] = True
    position_of_arrival = np.empty(size, np.intp)
    position_of_arrival[arrival_of_held] = held_positions
    held = np.flatnonzero(held_in_arrival)
    cuts = np.searchsorted(held, np.cumsum(partition.piece_lengths)[:-1])
    values = gathered_pieces(partition.values, position_of_arrival[held], cuts)
    return list(zip(send_back(partition, representative), values))


@sized
@dataclass
class Received:
    """A chunk's rows' representatives, and the rows among them that represent their group."""

    representative: np.ndarray  # (n,) int64, each row's representative, in the chunk's row order
    held: np.ndarray  # (h,) int64, the rows that represent their group, ascending
    values: np.ndarray  # (h, m) those rows
    marks: np.ndarray  # the held rows marked in words that count rows from a multiple of WORD_BITS


def receive_representatives(pieces, listed, first_row):
    """The Received of a chunk whose first row is row `first_row`, from the pieces that its
    partitions send back, given the positions `listed` in the order the chunk cut them."""
    representative = in_position_order([piece[0] for piece in pieces], listed)
    is_held = representative == first_row + np.arange(len(representative))
    held_listed = listed[is_held[listed]]
    values = in_position_order([piece[1] for piece in pieces], (np.cumsum(is_held) - 1)[held_listed])
    return Received(representative, first_row + np.flatnonzero(is_held), values,
                    marks(is_held, first_row % WORD_BITS))


def marks(flags, first_bit):
    """`flags` packed from bit `first_bit` on into little-endian words of WORD_BITS bits: bit i
    of word i // WORD_BITS is flags[i - first_bit], the bits before `first_bit` clear."""
    packed = np.packbits(np.concatenate([np.zeros(first_bit, bool), flags]), bitorder="little")
    words = np.zeros(-(-(first_bit + len(flags)) // WORD_BITS), "<u8")
    words.view(np.uint8)[:len(packed)] = packed
    return words


@sized
@dataclass
class RankTable:
    """Which rows represent a group, as bits of words from row first_word * WORD_BITS on, with
    the count of those before each word."""

    first_word: int
    words: np.ndarray  # uint64
    before: np.ndarray  # (len(words),) int64, representatives before each word


def rank_table(chunk_marks, first_rows, first_rank=0):
    """The RankTable of consecutive chunks with the `chunk_marks` and `first_rows` that
    receive_representatives gives, counting `first_rank` representatives before the first."""
    first_words = [int(first_row) // WORD_BITS for first_row in first_rows]
    first_word = first_words[0]
    words = np.zeros(first_words[-1] + len(chunk_marks[-1]) - first_word, np.uint64)  # to the last row
    for chunk_first_word, chunk_words in zip(first_words, chunk_marks):
        # Consecutive chunks may share a word at their border: their bits there do not overlap.
        words[chunk_first_word - first_word:][:len(chunk_words)] |= chunk_words
    counts = np.bitwise_count(words).astype(np.int64)
    return RankTable(first_word, words, first_rank + np.cumsum(counts) - counts)


# BITS_BELOW[b] has the bits below bit b set.
BITS_BELOW = (np.uint64(1) << np.arange(WORD_BITS, dtype=np.uint64)) - np.uint64(1)


def ranks(representative, table):
    """The number of each representative row: how many rows represent a group before it."""
    word = representative // WORD_BITS - table.first_word
    below = np.take(BITS_BELOW, representative % WORD_BITS)
    return table.before[word] + np.bitwise_count(table.words[word] & below)
