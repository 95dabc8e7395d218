// Renumbering groups into ascending order of their representative row index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo::internal {

// Fills `id_order` (num_ids entries) so that ids[id_order[0]] < ids[id_order[1]] < ... by
// marking each id in a bitmap and reading the bitmap in ascending order, in time linear in
// num_ids and the largest id. Returns false, with `id_order` unspecified, when an id is
// negative, repeated, or not below `id_limit`.
template <typename Index>
bool OrderDistinctIds(Index num_ids, const Index* ids, Index id_limit,
                      IndexVector<Index>& id_order) {
  constexpr int kWordBits = 64;
  std::vector<std::uint64_t> present(static_cast<size_t>(id_limit) / kWordBits + 1, 0);
  IndexVector<Index> position_of(id_limit);  // read only where `present` is set
  for (Index position = 0; position < num_ids; ++position) {
    const Index id = ids[position];
    if (id < 0 || id >= id_limit) return false;
    std::uint64_t& word = present[id / kWordBits];
    const std::uint64_t bit = std::uint64_t{1} << (id % kWordBits);
    if (word & bit) return false;
    word |= bit;
    position_of[id] = position;
  }
  Index next = 0;
  for (size_t word_index = 0; word_index < present.size(); ++word_index) {
    for (std::uint64_t word = present[word_index]; word != 0; word &= word - 1) {
      const Index id = static_cast<Index>(word_index * kWordBits + __builtin_ctzll(word));
      id_order[next++] = position_of[id];
    }
  }
  return true;
}

}  // namespace rilo::internal

namespace rilo {

// Sorts `ids` (one representative row index per group, distinct) into ascending order and, when
// `inverse` is not null, renumbers its `num_inverse` group numbers (each in [0, num_ids)) so that
// every entry still names the same representative. Negative counts throw std::length_error.
// Distinct ids below num_ids + num_inverse (always so for the representative rows of an
// inverse over num_inverse rows) are ordered through a bitmap; other ids fall back to the
// standard unstable sort, which orders distinct ids the same way.
template <typename Index>
void SortIdsAndInverse(Index num_ids, Index* ids, Index num_inverse, Index* inverse) {
  IndexVector<Index> id_order(num_ids);
  const Index counted_rows = inverse == nullptr ? Index{0} : std::max(num_inverse, Index{0});
  const long long id_limit_wide = static_cast<long long>(num_ids) + counted_rows;
  const Index id_limit = static_cast<Index>(
      std::min<long long>(id_limit_wide, std::numeric_limits<Index>::max()));
  if (!internal::OrderDistinctIds(num_ids, ids, id_limit, id_order)) {
    std::iota(id_order.begin(), id_order.end(), Index{0});
    std::sort(id_order.begin(), id_order.end(),
              [ids](Index a, Index b) { return ids[a] < ids[b]; });
  }

  IndexVector<Index> sorted_ids(num_ids);
  for (Index position = 0; position < num_ids; ++position) sorted_ids[position] = ids[id_order[position]];
  std::copy(sorted_ids.begin(), sorted_ids.end(), ids);
  if (inverse == nullptr) return;

  IndexVector<Index> renumbered(num_inverse);
  // rank[old group position] = new group position; id_order is a permutation, so this inverts it.
  IndexVector<Index> rank(num_ids);
  for (Index position = 0; position < num_ids; ++position) rank[id_order[position]] = position;
  for (Index row = 0; row < num_inverse; ++row) renumbered[row] = rank[inverse[row]];
  std::copy(renumbered.begin(), renumbered.end(), inverse);
}

}  // namespace rilo
