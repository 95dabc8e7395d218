// Renumbering groups into ascending order of their representative row index.
#pragma once

#include <algorithm>
#include <numeric>

#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo {

// Sorts `ids` (one representative row index per group, distinct) into ascending order and, when
// `inverse` is not null, renumbers its `num_inverse` group numbers (each in [0, num_ids)) so that
// every entry still names the same representative. Negative counts throw std::length_error.
template <typename Index>
void SortIdsAndInverse(Index num_ids, Index* ids, Index num_inverse, Index* inverse) {
  IndexVector<Index> id_order(num_ids);
  std::iota(id_order.begin(), id_order.end(), Index{0});
  std::sort(id_order.begin(), id_order.end(), [ids](Index a, Index b) { return ids[a] < ids[b]; });

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
