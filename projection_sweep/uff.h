// Grouping rows by Euclidean distance with a sweep along a projection direction.
#pragma once

#include <algorithm>
#include <vector>

#include "projection_sweep/arg_sort.h"

namespace rilo::internal {

// Dot product of `direction` with each row of an n x m row-major matrix, summed from column 0
// upward; a row with no columns projects to 0.
template <typename T, typename Index>
std::vector<T> ProjectRows(const T* data, Index n, Index m, const T* direction) {
  std::vector<T> projection(n, T{0});
  if (m == 0) return projection;
  for (Index row = 0; row < n; ++row) {
    const T* values = data + row * m;
    T sum = direction[0] * values[0];
    for (Index column = 1; column < m; ++column) sum += direction[column] * values[column];
    projection[row] = sum;
  }
  return projection;
}

// Squared Euclidean distance of two rows of length m, accumulated from 0 in column order.
template <typename T, typename Index>
T SquaredDistance(const T* row_a, const T* row_b, Index m) {
  T sum = 0;
  for (Index column = 0; column < m; ++column) {
    const T difference = row_a[column] - row_b[column];
    sum += difference * difference;
  }
  return sum;
}

// Renumbers groups in ascending order of their lowest member row, which becomes the group's
// representative: copies that row to out_rows, records it in out_index and rewrites `inverse`
// (n entries, each a group number below k) to the new numbers. Assumes no group is empty.
template <typename T, typename Index>
void NumberGroupsByLowestRow(const T* data, Index n, Index m, Index k, T* out_rows,
                             Index* out_index, Index* inverse) {
  std::vector<Index> remap(k, Index{-1});
  Index next = 0;
  for (Index row = 0; row < n; ++row) {
    Index& new_group = remap[inverse[row]];
    if (new_group == -1) {
      new_group = next++;
      out_index[new_group] = row;
      std::copy_n(data + row * m, m, out_rows + new_group * m);
    }
    inverse[row] = new_group;
  }
}

}  // namespace rilo::internal

namespace rilo {

// Groups the rows of an n_rows x n_cols row-major matrix so that every row lies at a Euclidean
// distance below `tolerance` from its group's opening row. Rows are visited in ascending
// projection onto `direction`; each unclaimed row opens a group and claims the rows after it
// whose projection gap stays below the tolerance and whose distance is below it (a later group
// may take a row over). With `sorted_index` false groups come in opening order, represented by
// their opening rows; with it true, in ascending order of their lowest member row, which
// represents them. Writes k rows of out_rows, k entries of out_index, n_unique = k and every
// entry of inverse; out_rows needs room for n_rows x n_cols values, out_index for n_rows.
template <typename T, typename Index>
void Uff(const T* data, const Index& n_rows, const Index& n_cols, const T* direction,
         const T& tolerance, const bool& sorted_index, T* out_rows, Index* out_index,
         Index& n_unique, Index* inverse) {
  const Index n = n_rows;
  const Index m = n_cols;
  const T squared_tolerance = tolerance * tolerance;
  const std::vector<T> projection = internal::ProjectRows(data, n, m, direction);
  const std::vector<Index> order = ArgSort<Index>(projection);
  std::fill(inverse, inverse + n, Index{-1});
  n_unique = 0;
  for (Index position = 0; position < n; ++position) {
    const Index opening = order[position];
    if (inverse[opening] != -1) continue;
    const Index group = n_unique;
    const T* opening_row = data + opening * m;
    inverse[opening] = group;
    if (!sorted_index) {
      std::copy_n(opening_row, m, out_rows + group * m);
      out_index[group] = opening;
    }
    // Candidates come in ascending projection; once the gap reaches the tolerance (or is NaN)
    // no later candidate can be inside the window.
    for (Index next = position + 1; next < n; ++next) {
      const Index candidate = order[next];
      if (!(projection[candidate] - projection[opening] < tolerance)) break;
      if (internal::SquaredDistance(opening_row, data + candidate * m, m) < squared_tolerance) {
        inverse[candidate] = group;
      }
    }
    ++n_unique;
  }
  if (sorted_index) {
    internal::NumberGroupsByLowestRow(data, n, m, n_unique, out_rows, out_index, inverse);
  }
}

}  // namespace rilo
