// Renumbering groups into ascending order of their representative row index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "base/config.h"
#include "base/stop.h"
#include "tolerant_sort/default_initialization_allocator.h"
#include "tolerant_sort/sorts.h"

namespace rilo::internal {

// Fills `rank` (num_ids entries) with the position each id takes when the ids are sorted, by
// marking the ids in a bitmap and counting the marks below each, in time linear in num_ids and
// the largest id. Returns false, with `rank` unspecified, when an id is negative, repeated, or
// not below `id_limit`, and when `countdown` says stop.
template <typename Index, typename Countdown>
bool RankDistinctIds(Index num_ids, const Index* ids, Index id_limit, IndexVector<Index>& rank,
                     Countdown& countdown) {
  constexpr int kWordBits = 64;
  std::vector<std::uint64_t> present(static_cast<size_t>(id_limit) / kWordBits + 1, 0);
  for (Index position = 0; position < num_ids; ++position) {
    if (countdown.Stopping()) return false;
    const Index id = ids[position];
    if (id < 0 || id >= id_limit) return false;
    std::uint64_t& word = present[id / kWordBits];
    const std::uint64_t bit = std::uint64_t{1} << (id % kWordBits);
    if (word & bit) return false;
    word |= bit;
  }
  // marks_before[w] counts the ids below word w.
  IndexVector<Index> marks_before(present.size());
  Index marks = 0;
  for (size_t word_index = 0; word_index < present.size(); ++word_index) {
    marks_before[word_index] = marks;
    marks += static_cast<Index>(PopCount(present[word_index]));
  }
  for (Index position = 0; position < num_ids; ++position) {
    if (countdown.Stopping()) return false;
    const Index id = ids[position];
    const std::uint64_t below = (std::uint64_t{1} << (id % kWordBits)) - 1;
    rank[position] = marks_before[id / kWordBits] +
                     static_cast<Index>(PopCount(present[id / kWordBits] & below));
  }
  return true;
}

// Throws the length error of a vector asked for a negative number of entries, with the same
// message whatever the standard library.
[[noreturn]] inline void ThrowNegativeCount() {
  throw std::length_error("cannot create std::vector larger than max_size()");
}

// Fills `rank` (num_ids entries) as RankDistinctIds does, for any ids, through the unstable sort
// of their positions; equal ids take their places in whatever order it leaves. Returns early,
// `rank` unspecified, when `should_stop` asks.
template <typename Index, typename ShouldStop>
void RankIdsBySorting(Index num_ids, const Index* ids, IndexVector<Index>& rank,
                      ShouldStop& should_stop) {
  IndexVector<Index> id_order(num_ids);
  std::iota(id_order.begin(), id_order.end(), Index{0});
  UnstableSort(id_order.begin(), id_order.end(), [ids](Index a, Index b) { return ids[a] < ids[b]; }, 1,
               [](const auto&) {}, should_stop);
  if (should_stop()) return;
  for (Index position = 0; position < num_ids; ++position) rank[id_order[position]] = position;
}

}  // namespace rilo::internal

namespace rilo {

// Sorts `ids` (one representative row index per group, distinct) into ascending order and, when
// `inverse` is not null, renumbers its `num_inverse` group numbers (each in [0, num_ids)) so that
// every entry still names the same representative. Negative counts throw std::length_error,
// num_ids before anything is written and num_inverse after `ids` is sorted. Distinct ids below
// num_ids + num_inverse (always so for the representative rows of an inverse over num_inverse
// rows) are ranked through a bitmap; other ids fall back to a comparison sort, which
// ranks distinct ids the same way. Returns early, `ids` and `inverse` unusable, when
// `should_stop` asks.
template <typename Index, typename ShouldStop = NeverStop>
void SortIdsAndInverse(Index num_ids, Index* ids, Index num_inverse, Index* inverse,
                       ShouldStop should_stop = {}) {
  if (num_ids < 0) internal::ThrowNegativeCount();
  IndexVector<Index> rank(num_ids);
  const Index counted_rows = inverse == nullptr ? Index{0} : std::max(num_inverse, Index{0});
  const long long id_limit_wide = static_cast<long long>(num_ids) + counted_rows;
  const Index id_limit = static_cast<Index>(
      std::min<long long>(id_limit_wide, std::numeric_limits<Index>::max()));
  internal::StopCountdown<ShouldStop> countdown(should_stop);
  if (!internal::RankDistinctIds(num_ids, ids, id_limit, rank, countdown)) {
    if (countdown.stopped()) return;
    internal::RankIdsBySorting(num_ids, ids, rank, should_stop);
    if (should_stop()) return;
  }

  IndexVector<Index> sorted_ids(num_ids);
  for (Index position = 0; position < num_ids; ++position) {
    if (countdown.Stopping()) return;
    sorted_ids[rank[position]] = ids[position];
  }
  std::copy(sorted_ids.begin(), sorted_ids.end(), ids);
  if (inverse == nullptr) return;
  if (num_inverse < 0) internal::ThrowNegativeCount();
  for (Index row = 0; row < num_inverse; ++row) {
    if (countdown.Stopping()) return;
    inverse[row] = rank[inverse[row]];
  }
}

}  // namespace rilo
