// The sweep method's pipeline, whole: projections, their order, the rows gathered into that
// order, the sweep, and the groups numbered and written back in input row order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/config.h"
#include "base/copy_rows.h"
#include "base/helper_threads.h"
#include "base/huge_page_allocator.h"
#include "base/stop.h"
#include "projection_sweep/arg_sort.h"
#include "projection_sweep/sweep_in_order.h"
#include "projection_sweep/sweep_in_ranges.h"

namespace rilo::internal {

// Dot product of `direction` with one row of m values, summed from column 0 upward; 0 when
// the row has no columns.
template <typename T, typename Index>
T ProjectRow(const T* values, Index m, const T* direction) {
  if (m == 0) return T{0};
  T sum = direction[0] * values[0];
  for (Index column = 1; column < m; ++column) sum += direction[column] * values[column];
  return sum;
}

// The ordered keys of the projections of the rows of an n x m row-major matrix onto
// `direction`, in row order; on up to `threads` threads.
template <typename T, typename Index, typename ShouldStop>
LargeVector<KeyOf<T>> ProjectionKeys(const T* data, Index n, Index m, const T* direction, int threads,
                                     ShouldStop& should_stop) {
  LargeVector<KeyOf<T>> keys(n);
  ForEachPart(n, 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    for (std::ptrdiff_t row = begin; row < end; ++row) {
      if (row % kStopPollInterval == 0) StopIfAsked(should_stop);
      keys[row] = OrderedKey(ProjectRow(data + row * m, m, direction));
    }
  }, should_stop);
  return keys;
}

// The rows of an n x m row-major matrix in ascending order of their projection onto
// `direction`, ties by row index and NaN projections last, with the projections' ordered keys
// in that order; on up to `threads` threads, through `scratch` (room for n keys and positions).
template <typename T, typename Index, typename ShouldStop>
SortedKeys<T, Index> SortRowsByProjection(const T* data, Index n, Index m, const T* direction,
                                          KeyedRange<KeyOf<T>, Index> scratch, int threads, ShouldStop& should_stop) {
  return SortKeysStably<T, Index>(ProjectionKeys(data, n, m, direction, threads, should_stop), scratch, threads,
                                  should_stop);
}

// Room for n rows of m values that first serves as the scratch of their sort into sweep order
// and then holds the rows copied into that order: the copy writes pages that the sort has
// already touched, not fresh ones that the kernel must first clear.
template <typename T, typename Index>
class SortScratchThenRows {
 public:
  SortScratchThenRows(Index n, Index m)
      : n_(static_cast<std::size_t>(n)),
        size_(std::max(n_ * m * sizeof(T), OrderOffset() + n_ * sizeof(Index))),
        bytes_(HugePageAllocator<std::byte>().allocate(size_)) {}
  SortScratchThenRows(const SortScratchThenRows&) = delete;
  SortScratchThenRows& operator=(const SortScratchThenRows&) = delete;
  ~SortScratchThenRows() { HugePageAllocator<std::byte>().deallocate(bytes_, size_); }

  // The sort's scratch: n keys, then n positions.
  KeyedRange<KeyOf<T>, Index> SortScratch() {
    return KeyedRange<KeyOf<T>, Index>{reinterpret_cast<KeyOf<T>*>(bytes_),
                                       reinterpret_cast<Index*>(bytes_ + OrderOffset())};
  }

  // The rows, once the sort is done with its scratch.
  T* Rows() { return reinterpret_cast<T*>(bytes_); }

 private:
  // Where the scratch's positions start: after its keys, aligned for an Index.
  std::size_t OrderOffset() const {
    return (n_ * sizeof(KeyOf<T>) + alignof(Index) - 1) / alignof(Index) * alignof(Index);
  }

  const std::size_t n_;
  const std::size_t size_;  // bytes
  std::byte* const bytes_;  // allocated without a pass over its bytes, unlike a vector's
};

// A copy of the `count` values at `data`, made on up to `threads` threads: the sweep then reads
// only its own copy.
template <typename T, typename ShouldStop>
LargeVector<T> CopyOfValues(const T* data, std::size_t count, int threads, ShouldStop& should_stop) {
  LargeVector<T> copy(count);
  ForEachPart(static_cast<std::ptrdiff_t>(count), 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    InChunks(static_cast<std::size_t>(begin), static_cast<std::size_t>(end), should_stop,
             [&](std::size_t chunk_begin, std::size_t chunk_end) {
               std::copy(data + chunk_begin, data + chunk_end, copy.data() + chunk_begin);
             });
  }, should_stop);
  return copy;
}

// Writes inverse[order[p]] = number[groups[p]] for the n sort positions p (number the
// identity when null), on up to `threads` threads.
template <typename Index, typename ShouldStop>
void WriteInverse(const LargeVector<Index>& order, const LargeVector<Index>& groups, const Index* number,
                  Index* inverse, int threads, ShouldStop& should_stop) {
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(order.size());
  ForEachPart(n, 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    for (std::ptrdiff_t position = begin; position < end; ++position) {
      if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
      if (position + kPrefetchDistance < end) PrefetchForWrite(inverse + order[position + kPrefetchDistance]);
      const Index group = groups[position];
      inverse[order[position]] = number == nullptr ? group : number[group];
    }
  }, should_stop);
}

// Calls write(mark, position) for every position that `bits` marks, `mark` counting the marks
// before it (`before`: their MarksBeforeWords); on up to `threads` threads, each taking a part
// of the words.
template <typename Index, typename ShouldStop, typename Write>
void ForEachMarked(const std::vector<std::uint64_t>& bits, const std::vector<Index>& before, int threads,
                   ShouldStop& should_stop, Write write) {
  const std::ptrdiff_t words = static_cast<std::ptrdiff_t>(bits.size());
  const std::ptrdiff_t parts = PartCount(words * 64, threads);
  const auto part_begin = [words, parts](std::ptrdiff_t part) { return words * part / parts; };
  ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
    Index mark = before[part_begin(part)];
    for (std::ptrdiff_t word = part_begin(part); word < part_begin(part + 1); ++word) {
      if (word % (kStopPollInterval / 64) == 0) StopIfAsked(should_stop);
      for (std::uint64_t rest = bits[word]; rest != 0; rest &= rest - 1) {
        write(mark++, word * 64 + CountTrailingZeros(rest));
      }
    }
  }, should_stop);
}

// The lowest member row of each of the k groups of the sweep, from each sort position's row
// (`order`) and group (`groups`, numbered in opening order, openings marked in `opens`), on up
// to `threads` threads: each part of the positions takes the groups that open in it, and hands
// the rows of groups opened before it (rows near its start) to the calling thread.
template <typename Index, typename ShouldStop>
LargeVector<Index> LowestRows(const LargeVector<Index>& order, const LargeVector<Index>& groups,
                              const OpeningBits& opens, Index k, int threads, ShouldStop& should_stop) {
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(order.size());
  const std::ptrdiff_t parts = PartCount(n, threads);
  // Parts start at multiples of 64, on word boundaries of `opens`.
  const auto part_begin = [n, parts](std::ptrdiff_t part) { return part == parts ? n : n * part / parts / 64 * 64; };
  const std::vector<Index> opened_before = MarksBeforeWords<Index>(opens);
  std::vector<Index> first_group(parts + 1, k);
  for (std::ptrdiff_t part = 0; part < parts; ++part) first_group[part] = opened_before[part_begin(part) / 64];
  LargeVector<Index> lowest(k);
  struct Member {
    Index row;
    Index group;
  };
  std::vector<std::vector<Member>> earlier_groups(parts);
  ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
    std::fill(lowest.begin() + first_group[part], lowest.begin() + first_group[part + 1], static_cast<Index>(n));
    for (std::ptrdiff_t position = part_begin(part); position < part_begin(part + 1); ++position) {
      if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
      const Index group = groups[position];
      if (group < first_group[part]) {
        earlier_groups[part].push_back(Member{order[position], group});
      } else {
        lowest[group] = std::min(lowest[group], order[position]);
      }
    }
  }, should_stop);
  for (const auto& members : earlier_groups) {
    for (const Member& member : members) lowest[member.group] = std::min(lowest[member.group], member.row);
  }
  return lowest;
}

// Renumbers the k groups of the sweep in ascending order of their lowest member row, which
// becomes the group's representative: fills `representatives` (k entries) with those rows, in
// order, and returns each group's new number by its old one.
template <typename Index, typename ShouldStop>
LargeVector<Index> NumberGroupsByLowestRow(const LargeVector<Index>& order, const LargeVector<Index>& groups,
                                           const OpeningBits& opens, Index k, Index* representatives, int threads,
                                           ShouldStop& should_stop) {
  const std::size_t n = order.size();
  LargeVector<Index> lowest = LowestRows(order, groups, opens, k, threads, should_stop);
  std::vector<std::uint64_t> is_lowest((n + 63) / 64, 0);
  for (std::size_t group = 0; group < lowest.size(); ++group) {
    if (group % kStopPollInterval == 0) StopIfAsked(should_stop);
    is_lowest[lowest[group] / 64] |= std::uint64_t{1} << (lowest[group] % 64);
  }
  const std::vector<Index> lowest_before = MarksBeforeWords<Index>(is_lowest);
  ForEachMarked(is_lowest, lowest_before, threads, should_stop, [representatives](Index group, std::ptrdiff_t row) {
    representatives[group] = static_cast<Index>(row);
  });
  ForEachPart(k, 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    for (std::ptrdiff_t group = begin; group < end; ++group) {
      if (group % kStopPollInterval == 0) StopIfAsked(should_stop);
      lowest[group] = MarksBefore(is_lowest, lowest_before, lowest[group]);
    }
  }, should_stop);
  return lowest;
}

}  // namespace rilo::internal

namespace rilo {

// The unique rows of an n x m row-major matrix under a Euclidean tolerance, found by sweeping
// the rows in ascending projection onto `direction`: each unclaimed row opens a group and claims
// the rows after it whose projection gap stays below the tolerance and whose distance is below
// it (a later group may take a row over). Distances are decided at every magnitude: a tolerance
// whose square overflows or underflows is compared after scaling by a power of two, and an
// infinite one holds every two rows of finite values. Writes each row's group into `inverse`
// (n entries), calls `representative_storage(k)` once for room for k indices and fills it, and
// returns k. With `sorted_index` false groups come in opening order, represented by their
// opening rows; with it true, in ascending order of their lowest member row, which represents
// them. Runs on up to `threads` threads; the result does not depend on how many. `data` is read
// once, into a copy in sweep order: rows changed meanwhile are grouped in some way, never read
// out of bounds. Throws std::bad_alloc, with nothing returned, when its working memory cannot be
// had, and Stopped when `should_stop` says so.
template <typename T, typename Index, typename RepresentativeStorage, typename ShouldStop>
Index UniqueRowsBySweeping(const T* data, Index n, Index m, const T* direction, T tolerance, bool sorted_index,
                           Index* inverse, RepresentativeStorage representative_storage, int threads,
                           ShouldStop should_stop) {
  internal::SortedKeys<T, Index> sorted;
  internal::LargeVector<Index> groups;
  internal::OpeningBits opens;
  Index k = 0;
  {
    internal::SortScratchThenRows<T, Index> rows(n, m);
    sorted = internal::SortRowsByProjection(data, n, m, direction, rows.SortScratch(), threads, should_stop);
    groups = internal::LargeVector<Index>(n);
    opens = internal::OpeningBits((static_cast<std::size_t>(n) + 63) / 64);
    // The sweep reads its own copy of the rows, in sequence.
    CopyRowsOnThreads(data, m, sorted.order.data(), n, rows.Rows(), threads, should_stop);
    k = internal::SweepInRanges(rows.Rows(), sorted.keys.data(), n, m, tolerance, groups.data(), opens, threads,
                                should_stop);
  }
  internal::LargeVector<internal::KeyOf<T>>().swap(sorted.keys);
  Index* representatives = representative_storage(k);
  if (sorted_index) {
    const internal::LargeVector<Index> number =
        internal::NumberGroupsByLowestRow(sorted.order, groups, opens, k, representatives, threads, should_stop);
    internal::WriteInverse(sorted.order, groups, number.data(), inverse, threads, should_stop);
  } else {
    internal::ForEachMarked(opens, internal::MarksBeforeWords<Index>(opens), threads, should_stop,
                            [&sorted, representatives](Index group, auto position) {
                              representatives[group] = sorted.order[position];
                            });
    internal::WriteInverse(sorted.order, groups, static_cast<const Index*>(nullptr), inverse, threads, should_stop);
  }
  return k;
}

// The message of the error thrown for rows that are not in sweep order.
inline constexpr const char* kNotInSweepOrderMessage =
    "rows are not in sweep order: their projections (row sums for the all-ones direction) must "
    "ascend, NaN last";

// The projection sweep of the n x m rows at `data`, handed over already in ascending order of
// their projection onto `direction` (NaN last; equal projections in any order, each keeping its
// position). Writes each row's group, numbered in order of the groups' opening positions, into
// `groups`, and the k ascending opening positions into the k entries that
// opening_storage(k) returns (called once, on this thread); returns k. The result is that of
// the sweep on the same rows in any order, with positions for rows. Throws
// std::invalid_argument when the projections do not ascend, std::bad_alloc when its working
// memory cannot be had, and Stopped when `should_stop` says so.
template <typename T, typename Index, typename OpeningStorage, typename ShouldStop>
Index SweepRowsInOrder(const T* data, Index n, Index m, const T* direction, T tolerance, Index* groups,
                       OpeningStorage opening_storage, int threads, ShouldStop should_stop) {
  const internal::LargeVector<internal::KeyOf<T>> keys =
      internal::ProjectionKeys(data, n, m, direction, threads, should_stop);
  if (!std::is_sorted(keys.begin(), keys.end())) throw std::invalid_argument(kNotInSweepOrderMessage);
  internal::OpeningBits opens((static_cast<std::size_t>(n) + 63) / 64);
  Index k = 0;
  {
    const internal::LargeVector<T> rows =
        internal::CopyOfValues(data, static_cast<std::size_t>(n) * m, threads, should_stop);
    k = internal::SweepInRanges(rows.data(), keys.data(), n, m, tolerance, groups, opens, threads, should_stop);
  }
  Index* openings = opening_storage(k);
  internal::ForEachMarked(opens, internal::MarksBeforeWords<Index>(opens), threads, should_stop,
                          [openings](Index group, std::ptrdiff_t position) {
                            openings[group] = static_cast<Index>(position);
                          });
  return k;
}

}  // namespace rilo
