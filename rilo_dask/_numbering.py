"""Numbering: every row's group number goes back to the chunk it came from, and the unique rows
are collected, in either order that `sorted_index` selects.

- In opening order (`sorted_index=False`) a settled partition knows its groups' final numbers,
  its openings are its unique rows, and each chunk places the numbers sent back to it.
- In order of the lowest member row (`sorted_index=True`) each partition finds the lowest row of
  each of its groups. A group that spans partitions (opened before, or handed on) is left open
  and its lowest rows over all partitions are merged in one small step. Every row's
  representative, the lowest member row of its group, goes back to its chunk with the rows that
  may represent their group; a chunk's rows that are their own representative are the unique
  rows it holds, and a table of them over all chunks, one bit per row with counts per word,
  numbers every representative by those before it.

NumPy arrays in and out."""
from dataclasses import dataclass

import numpy as np

from rilo_dask._rows import as_records, rows_at, sized
from rilo_dask._settling import settle

# Representatives are marked in words of this many bits: a word's rank is the count before it
# plus the bits set below the row's own.
WORD_BITS = 64


@sized
@dataclass
class Sent:
    """Per-row values of a settled partition in arrival order, to be cut by chunk, with the
    unique rows that the partition finds."""

    numbers: np.ndarray  # (b,) int64: group numbers (opening order) or representatives
    piece_starts: np.ndarray  # (chunks + 1,) where each chunk's rows start, and the end
    candidates: np.ndarray  # ascending arrival positions of the rows sent with their values
    candidate_values: np.ndarray  # (c, m) those rows
    shared: tuple  # (groups, lowest rows) of the groups that other partitions may hold
    kept_values: np.ndarray  # (k, m) unique rows found here (opening order)
    kept_rows: np.ndarray  # (k,) int64, their row indices


@sized
@dataclass
class BackPiece:
    """What a partition sends one chunk: its rows' values, in the order of their positions in
    the chunk (which the chunk's Grouping lists), and the rows sent in full. The values travel
    as offsets from their least, in int32 when they fit."""

    offsets: np.ndarray  # (b,) per-row values less `base`, int32 or int64
    base: int
    candidate_values: np.ndarray  # (c, m) the candidate rows among them, in position order

    def numbers(self):
        """The per-row values, int64."""
        return np.int64(self.base) + self.offsets


def in_arrival_order(partition, per_row):
    """Per-row values of a partition in sweep order, put in arrival order."""
    arrived = np.empty_like(per_row)
    arrived[partition.order] = per_row
    return arrived


def piece_starts(partition):
    """Where each chunk's rows start in arrival order, and the end."""
    return np.concatenate([[0], np.cumsum(partition.piece_lengths)])


def by_opening(partition, begun):
    """The Sent of a partition numbered in opening order, after its Start `begun`."""
    groups, openings = settle(partition, begun)
    nothing = np.empty(0, np.int64)
    return Sent(in_arrival_order(partition, groups), piece_starts(partition), nothing,
                partition.values[:0], (nothing, nothing), rows_at(partition.values, openings),
                partition.rows(openings))


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


def by_lowest_row(partition, begun):
    """The Sent of a partition numbered by lowest member row, after its Start `begun`: each
    row's representative, or -1 - its group for a group that other partitions may hold, and
    the rows that may represent their group (those that do, and those of such groups). Rows
    ascend in arrival order, so a group's lowest row is that of its member that arrived first.
    It works in sweep order, where a group's members lie close together, and puts only the
    results in arrival order."""
    groups, openings = settle(partition, begun)
    first_group, n_own, size = begun.first_group, len(openings), len(groups)
    arrival = partition.order
    # Own group i at slot i; every group opened before the partition at the spare slot n_own.
    slots = groups - first_group
    slots[slots < 0] = n_own
    first_arrival = np.full(n_own + 1, size, arrival.dtype)
    np.minimum.at(first_arrival, slots, arrival)
    rows = partition.arrival_rows()
    lowest = rows[first_arrival[:n_own]]  # every own group has a member here: its opening
    handed_on = begun.handed_on.groups
    handed_on = handed_on[handed_on >= first_group]
    open_slot = np.zeros(n_own + 1, bool)
    open_slot[handed_on - first_group] = True
    open_slot[n_own] = True
    left_open = open_slot[slots]
    representative = np.append(lowest, 0)[slots]
    representative[left_open] = -1 - groups[left_open]
    is_candidate = left_open | (first_arrival[slots] == arrival)
    candidates_in_arrival = np.zeros(size, bool)
    candidates_in_arrival[arrival[is_candidate]] = True
    candidates = np.flatnonzero(candidates_in_arrival)
    # The candidates' rows, put at their arrival positions and then read in arrival order.
    values_in_arrival = np.empty_like(partition.values)
    as_records(values_in_arrival)[arrival[is_candidate]] = as_records(partition.values[is_candidate])
    earlier = np.flatnonzero(slots == n_own)
    earlier_groups, earlier_lowest = lowest_per_group(groups[earlier], rows[arrival[earlier]])
    shared = (np.concatenate([earlier_groups, handed_on]),
              np.concatenate([earlier_lowest, lowest[handed_on - first_group]]))
    nothing = np.empty(0, np.int64)
    return Sent(in_arrival_order(partition, representative), piece_starts(partition), candidates,
                values_in_arrival[candidates], shared, partition.values[:0], nothing)


def back_piece(sent, chunk):
    """The BackPiece of `sent` for `chunk`, in arrays of its own: a view would keep all of `sent`
    alive after Dask has counted it freed, sent or spilled."""
    start, end = sent.piece_starts[chunk], sent.piece_starts[chunk + 1]
    first, last = np.searchsorted(sent.candidates, [start, end])
    numbers = sent.numbers[start:end]
    base = int(numbers.min()) if len(numbers) else 0
    offsets = numbers - base
    if len(offsets) and offsets.max() <= np.iinfo(np.int32).max:
        offsets = offsets.astype(np.int32)
    return BackPiece(offsets, base, sent.candidate_values[first:last].copy())


def rows_sent(values):
    """The rows of the BackPieces among `values`, the outputs of one partition: a small value
    that exists once the partition has sent everything."""
    return sum(len(value.offsets) for value in values if isinstance(value, BackPiece))


def kept_values(sent):
    """The unique rows that a partition numbered in opening order finds."""
    return sent.kept_values


def kept_rows(sent):
    """The row indices of the unique rows that a partition numbered in opening order finds."""
    return sent.kept_rows


def shared_lowest_rows(sent):
    """The (groups, lowest rows) of a partition's groups that other partitions may hold."""
    return sent.shared


def merge_lowest_rows(shared):
    """The lowest row of every group from the (groups, lowest rows) that several partitions
    hold: (groups ascending, lowest rows)."""
    return lowest_per_group(*(np.concatenate(part) for part in zip(*shared)))


def placed(pieces, grouping):
    """The per-row values of a chunk with Grouping `grouping` from the BackPieces that its
    partitions sent, in the chunk's row order."""
    in_order = np.empty(len(grouping.positions), np.int64)
    for partition, piece in enumerate(pieces):
        in_order[grouping.positions_of(partition)] = piece.numbers()
    return in_order


@sized
@dataclass
class Received:
    """A chunk's rows' representatives, and the rows among them that represent their group."""

    representative: np.ndarray  # (n,) int64, each row's representative, in the chunk's row order
    held: np.ndarray  # (h,) int64, the rows that represent their group, ascending
    values: np.ndarray  # (h, m) those rows
    marks: np.ndarray  # the held rows marked in words that count rows from a multiple of WORD_BITS


def candidates_of(piece, positions, first_row):
    """The positions of a BackPiece's candidate rows: those left open (a negative value) and
    those that represent their group, in a chunk whose first row is `first_row`, where the
    piece's rows lie at `positions`."""
    numbers = piece.numbers()
    return positions[(numbers < 0) | (numbers == first_row + positions)]


def receive(pieces, grouping, merged, first_row, dtype, n_columns):
    """The Received of a chunk with Grouping `grouping` whose first row is row `first_row`, from
    the BackPieces that its partitions send, with the lowest rows `merged` of the groups left
    open."""
    first_row = np.int64(first_row)
    representative = placed(pieces, grouping)
    rows = first_row + np.arange(len(representative), dtype=np.int64)
    left_open = np.flatnonzero(representative < 0)
    candidate_positions = np.concatenate(
        [np.empty(0, np.int64)]
        + [candidates_of(piece, grouping.positions_of(partition), first_row)
           for partition, piece in enumerate(pieces)])
    candidate_values = np.concatenate([np.empty((0, n_columns), dtype)]
                                      + [piece.candidate_values for piece in pieces])
    merged_groups, merged_rows = merged
    representative[left_open] = merged_rows[np.searchsorted(merged_groups, -1 - representative[left_open])]
    is_held = representative == rows
    by_position = np.argsort(candidate_positions, kind="stable")
    candidate_positions = candidate_positions[by_position]
    kept = is_held[candidate_positions]
    values = rows_at(candidate_values, by_position[kept])
    return Received(representative, first_row + candidate_positions[kept], values,
                    marks(is_held, first_row % WORD_BITS))


def marks(flags, first_bit):
    """`flags` packed from bit `first_bit` on into little-endian words of WORD_BITS bits: bit i
    of word i // WORD_BITS is flags[i - first_bit], the bits before `first_bit` clear."""
    packed = np.packbits(np.concatenate([np.zeros(first_bit, bool), flags]), bitorder="little")
    words = np.zeros(-(-(first_bit + len(flags)) // WORD_BITS), "<u8")
    words.view(np.uint8)[:len(packed)] = packed
    return words


def received_marks(received):
    """The marks of a Received, for the rank table."""
    return received.marks


@sized
@dataclass
class RankTable:
    """Which rows represent a group, as bits of words from row first_word * WORD_BITS on, with
    the count of those before each word."""

    first_word: int
    words: np.ndarray  # uint64
    before: np.ndarray  # (len(words),) int64, representatives before each word


def rank_table(chunk_marks, first_rows, first_rank=0):
    """The RankTable of consecutive chunks with the `chunk_marks` that receive gives and their
    `first_rows`, counting `first_rank` representatives before the first."""
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


def numbered_inverse(received, table):
    """The inverse of a chunk: the number of each of its rows' representatives."""
    return ranks(received.representative, table)


def held_values(received):
    """The unique rows that a chunk holds, ascending by row."""
    return received.values


def held_rows(received):
    """The row indices of the unique rows that a chunk holds."""
    return received.held
