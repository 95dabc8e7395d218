// Grouping rows by Euclidean distance with a sweep along a projection direction.
#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "base/config.h"
#include "projection_sweep/arg_sort.h"

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

// The rows of an n x m row-major matrix in ascending order of their projection onto
// `direction`, ties by row index and NaN projections last, with the projections' ordered keys
// in that order.
template <typename T, typename Index>
SortedKeys<T, Index> SortRowsByProjection(const T* data, Index n, Index m, const T* direction) {
  std::vector<KeyOf<T>> keys(n);
  for (Index row = 0; row < n; ++row) keys[row] = OrderedKey(ProjectRow(data + row * m, m, direction));
  return SortKeysStably<T, Index>(std::move(keys));
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

// Width template argument meaning "the column count is only known at run time".
constexpr int kAnyColumns = -1;
// Positions ahead of the sweep whose rows and inverse entries are fetched early: rows are
// visited in projection order, which is random in memory.
constexpr int kSweepPrefetchDistance = 16;

// The sweep over rows in projection order for a fixed column count `Columns` (or kAnyColumns,
// then `m` counts them): each unclaimed row opens group k and claims the later rows whose
// projection gap stays below the tolerance and whose squared distance is below its square.
// Writes every inverse entry; when `record_openings`, also each opening row into out_rows and
// its index into out_index. Returns the number of groups.
template <int Columns, typename T, typename Index>
Index SweepGroups(const T* data, Index n, Index m, T tolerance, const SortedKeys<T, Index>& sorted,
                  bool record_openings, T* out_rows, Index* out_index, Index* inverse) {
  const Index columns = Columns == kAnyColumns ? m : Index{Columns};
  const T squared_tolerance = tolerance * tolerance;
  std::fill(inverse, inverse + n, Index{-1});
  Index k = 0;
  for (Index position = 0; position < n; ++position) {
    if (position + kSweepPrefetchDistance < n) {
      const Index ahead = sorted.order[position + kSweepPrefetchDistance];
      PrefetchForRead(data + ahead * columns);
      PrefetchForRead(inverse + ahead);
    }
    const Index opening = sorted.order[position];
    if (inverse[opening] != -1) continue;
    const T* opening_row = data + opening * columns;
    const T opening_projection = ValueOfKey<T>(sorted.keys[position]);
    inverse[opening] = k;
    if (record_openings) {
      std::copy_n(opening_row, columns, out_rows + k * columns);
      out_index[k] = opening;
    }
    // Candidates come in ascending projection; once the gap reaches the tolerance (or is NaN)
    // no later candidate can be inside the window.
    for (Index next = position + 1; next < n; ++next) {
      if (!(ValueOfKey<T>(sorted.keys[next]) - opening_projection < tolerance)) break;
      const Index candidate = sorted.order[next];
      if (SquaredDistance(opening_row, data + candidate * columns, columns) < squared_tolerance) {
        inverse[candidate] = k;
      }
    }
    ++k;
  }
  return k;
}

// Sorts the rows by projection and runs the sweep with the distance specialised for the
// narrow widths that dominate in practice; the sorted keys are released on return. Arguments
// as for SweepGroups; returns the number of groups.
template <typename T, typename Index>
Index SweepByProjection(const T* data, Index n, Index m, const T* direction, T tolerance,
                        bool record_openings, T* out_rows, Index* out_index, Index* inverse) {
  const SortedKeys<T, Index> sorted = SortRowsByProjection(data, n, m, direction);
  const auto sweep = [&](auto columns) {
    return SweepGroups<decltype(columns)::value>(data, n, m, tolerance, sorted, record_openings,
                                                 out_rows, out_index, inverse);
  };
  switch (m) {
    case 1:
      return sweep(std::integral_constant<int, 1>{});
    case 2:
      return sweep(std::integral_constant<int, 2>{});
    case 3:
      return sweep(std::integral_constant<int, 3>{});
    default:
      return sweep(std::integral_constant<int, kAnyColumns>{});
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
  n_unique = internal::SweepByProjection(data, n, m, direction, tolerance, !sorted_index, out_rows,
                                         out_index, inverse);
  if (sorted_index) {
    internal::NumberGroupsByLowestRow(data, n, m, n_unique, out_rows, out_index, inverse);
  }
}

}  // namespace rilo
