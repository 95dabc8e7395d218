// Cutting a tolerant row order into groups of rows that match the group's first row.
#pragma once

#include <cmath>

#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo::internal {

// True when no column of rows a and b differs by more than `tolerance` (a difference equal to
// it matches). A NaN difference matches only between two NaNs or two equal infinities.
template <typename T, typename Index>
bool RowsMatch(const T* row_a, const T* row_b, Index width, T tolerance) {
  for (Index column = 0; column < width; ++column) {
    const T a = row_a[column];
    const T b = row_b[column];
    const T difference = a - b;
    if (std::abs(difference) > tolerance) return false;
    if (std::isnan(difference) && !(a == b || (std::isnan(a) && std::isnan(b)))) return false;
  }
  return true;
}

}  // namespace rilo::internal

namespace rilo {

// Walks `sorted_ids` (a permutation of the rows of a height x width row-major matrix) once and
// starts a new group wherever a row does not match the current group's first row. Compacts
// `group_starts` (height entries, any content) to the groups' start positions, writes each row's
// group number into `inverse` (height entries) and returns the number of groups.
template <typename T, typename Index>
Index GroupSortedRows(const T* data, Index height, Index width, T tolerance,
                      const IndexVector<Index>& sorted_ids, IndexVector<Index>& group_starts,
                      Index* inverse) {
  if (height == 0) return 0;
  Index group = 0;
  const T* representative = data + sorted_ids[0] * width;
  group_starts[0] = 0;
  inverse[sorted_ids[0]] = 0;
  // Invariant: `representative` is the first row of group `group`, which starts at
  // group_starts[group]; every position before `position` has its inverse entry written.
  for (Index position = 1; position < height; ++position) {
    const Index row = sorted_ids[position];
    const T* candidate = data + row * width;
    if (!internal::RowsMatch(representative, candidate, width, tolerance)) {
      group_starts[++group] = position;
      representative = candidate;
    }
    inverse[row] = group;
  }
  return group + 1;
}

}  // namespace rilo
