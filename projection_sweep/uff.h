// Grouping rows by Euclidean distance with a sweep along a projection direction.
#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "base/config.h"
#include "base/copy_rows.h"
#include "base/narrow_width.h"
#include "projection_sweep/arg_sort.h"
#include "projection_sweep/candidate_grid.h"

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

// How the sweep decides "distance below the tolerance t", fixed once per call from t.
enum class DistanceRule {
  // d2 < t2 in T, where t2 = t * t is a normal number (or t is not positive, when no window
  // holds a row): a d2 that overflows or underflows still decides right.
  kSquares,
  // t2 overflows or underflows (t finite, positive): each difference, as kSquares computes
  // it, is scaled by 2^e with t * 2^e in [1, 2), and so is t. The scaling is exact unless it
  // overflows, which, like a difference that overflows, means "farther than t".
  kScaledDifferences,
  // t is infinite: every two rows of finite values are within it.
  kAnyFinite,
};

// The rule for `tolerance`.
template <typename T>
DistanceRule DistanceRuleFor(T tolerance) {
  const T squared = tolerance * tolerance;
  if (!(tolerance > 0) || std::fpclassify(squared) == FP_NORMAL) return DistanceRule::kSquares;
  return std::isinf(tolerance) ? DistanceRule::kAnyFinite : DistanceRule::kScaledDifferences;
}

// The distance test of `Rule` for rows of finite values with `Columns` columns (or m of them
// when kAnyWidth): a callable (row_a, row_b) -> bool, true when the rows lie closer than
// `tolerance`. Under kSquares it is SquaredDistance(a, b) < tolerance * tolerance.
template <DistanceRule Rule, int Columns, typename T, typename Index>
auto DistanceBelow(T tolerance, Index m) {
  if constexpr (Rule == DistanceRule::kSquares) {
    const T squared_tolerance = tolerance * tolerance;
    return [=](const T* row_a, const T* row_b) {
      return SquaredDistance(row_a, row_b, Columns == kAnyWidth ? m : Index{Columns}) < squared_tolerance;
    };
  } else if constexpr (Rule == DistanceRule::kAnyFinite) {
    return [](const T*, const T*) { return true; };
  } else {
    const int exponent = -std::ilogb(tolerance);
    const T scaled_tolerance = std::ldexp(tolerance, exponent);  // in [1, 2)
    const T squared_tolerance = scaled_tolerance * scaled_tolerance;
    return [=](const T* row_a, const T* row_b) {
      T sum = 0;
      for (Index column = 0; column < m; ++column) {
        const T difference = std::ldexp(row_a[column] - row_b[column], exponent);
        sum += difference * difference;
      }
      return sum < squared_tolerance;
    };
  }
}

// The first sort position after `opening` whose projection gap to the opening row's is not
// below `tolerance` (or is NaN): the end of the opening row's window. `previous_end` is the end
// of an earlier opening's window; it never lies past this one, because projections ascend and
// a gap only shrinks as the opening projection grows.
template <typename T, typename Index>
Index WindowEnd(const SortedKeys<T, Index>& sorted, Index n, Index opening, Index previous_end,
                T tolerance) {
  const T opening_projection = ValueOfKey<T>(sorted.keys[opening]);
  Index end = std::max(previous_end, opening + 1);
  while (end < n && ValueOfKey<T>(sorted.keys[end]) - opening_projection < tolerance) ++end;
  return end;
}

// Windows holding at least this many values (rows times columns) are searched through the
// grid rather than row by row: a query costs about as much as scanning that many values in
// sort order. Measured on uniform rows at 10^6 with windows of 50 to 500 rows, m = 2, 3, 8.
constexpr int kGridMinWindowValues = 512;

// The sweep over rows in projection order for a fixed column count `Columns` (or kAnyWidth,
// then `m` counts them): each unclaimed row opens group k and claims the later rows of its
// window (projection gap below the tolerance) whose distance from it is below the tolerance
// under `Rule`. Small windows are scanned row by row, large ones searched through a grid that
// offers every row the test could claim. Writes every inverse entry and, when
// `record_openings`, each opening row's index into out_index. Returns the number of groups.
template <DistanceRule Rule, int Columns, typename T, typename Index>
Index SweepGroups(const T* data, Index n, Index m, T tolerance, const SortedKeys<T, Index>& sorted,
                  bool record_openings, Index* out_index, Index* inverse) {
  const Index columns = Columns == kAnyWidth ? m : Index{Columns};
  const auto distance_below = DistanceBelow<Rule, Columns>(tolerance, columns);
  CandidateGrid<T, Index, Columns == kAnyWidth ? 0 : Columns> grid(data, n, columns, sorted.order.data(),
                                                                    tolerance);
  const bool grid_usable = grid.Usable();
  std::fill(inverse, inverse + n, Index{-1});
  Index k = 0;
  Index window_end = 0;
  for (Index position = 0; position < n; ++position) {
    if (position + kPrefetchDistance < n) {
      const Index ahead = sorted.order[position + kPrefetchDistance];
      if (columns > 0) PrefetchSpanForRead(data + ahead * columns, columns * sizeof(T));
      PrefetchForRead(inverse + ahead);
    }
    grid.PrefetchAhead(position);
    const Index opening = sorted.order[position];
    if (inverse[opening] != -1) continue;
    const T* opening_row = data + opening * columns;
    inverse[opening] = k;
    if (record_openings) out_index[k] = opening;
    window_end = WindowEnd(sorted, n, position, window_end, tolerance);
    const auto claim_if_close = [&](Index candidate, const T* candidate_row) {
      if (distance_below(opening_row, candidate_row)) inverse[candidate] = k;
    };
    if (grid_usable && (window_end - position - 1) * columns >= kGridMinWindowValues) {
      grid.VisitCandidates(position, window_end, claim_if_close);
    } else {
      for (Index next = position + 1; next < window_end; ++next) {
        const Index candidate = sorted.order[next];
        claim_if_close(candidate, data + candidate * columns);
      }
    }
    ++k;
  }
  return k;
}

// Sorts the rows by projection and runs the sweep with the distance rule of the tolerance, the
// common rule specialised for the narrow widths that dominate in practice; the sorted keys are
// released on return. Arguments as for SweepGroups; returns the number of groups.
template <typename T, typename Index>
Index SweepByProjection(const T* data, Index n, Index m, const T* direction, T tolerance,
                        bool record_openings, Index* out_index, Index* inverse) {
  const SortedKeys<T, Index> sorted = SortRowsByProjection(data, n, m, direction);
  const auto sweep = [&](auto rule, auto columns) {
    return SweepGroups<decltype(rule)::value, decltype(columns)::value>(
        data, n, m, tolerance, sorted, record_openings, out_index, inverse);
  };
  using AnyWidth = std::integral_constant<int, kAnyWidth>;
  switch (DistanceRuleFor(tolerance)) {
    case DistanceRule::kScaledDifferences:
      return sweep(std::integral_constant<DistanceRule, DistanceRule::kScaledDifferences>{}, AnyWidth{});
    case DistanceRule::kAnyFinite:
      return sweep(std::integral_constant<DistanceRule, DistanceRule::kAnyFinite>{}, AnyWidth{});
    case DistanceRule::kSquares:
      break;
  }
  return WithNarrowWidth(m, [&](auto width) {
    return sweep(std::integral_constant<DistanceRule, DistanceRule::kSquares>{}, width);
  });
}

// Renumbers groups in ascending order of their lowest member row, which becomes the group's
// representative: records it in out_index and rewrites `inverse` (n entries, each a group
// number below k) to the new numbers. Assumes no group is empty.
template <typename Index>
void NumberGroupsByLowestRow(Index n, Index k, Index* out_index, Index* inverse) {
  std::vector<Index> remap(k, Index{-1});
  Index next = 0;
  for (Index row = 0; row < n; ++row) {
    Index& new_group = remap[inverse[row]];
    if (new_group == -1) {
      new_group = next++;
      out_index[new_group] = row;
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
// may take a row over). Distances are decided at every magnitude: a tolerance whose square
// overflows or underflows is compared after scaling by a power of two, and an infinite one
// holds every two rows of finite values. With `sorted_index` false groups come in opening
// order, represented by their opening rows; with it true, in ascending order of their lowest
// member row, which represents them. Writes k entries of out_index (room for n_rows), n_unique
// = k and every entry of inverse; copies no row.
template <typename T, typename Index>
void GroupRowsByProjection(const T* data, Index n_rows, Index n_cols, const T* direction,
                           T tolerance, bool sorted_index, Index* out_index, Index& n_unique,
                           Index* inverse) {
  n_unique = internal::SweepByProjection(data, n_rows, n_cols, direction, tolerance,
                                         !sorted_index, out_index, inverse);
  if (sorted_index) internal::NumberGroupsByLowestRow(n_rows, n_unique, out_index, inverse);
}

// GroupRowsByProjection, then the k unique rows copied into out_rows (room for n_rows x n_cols
// values) from the representative indices. The module's driver calls GroupRowsByProjection and
// copies the rows itself; this is the interface for callers holding raw buffers.
template <typename T, typename Index>
void Uff(const T* data, const Index& n_rows, const Index& n_cols, const T* direction,
         const T& tolerance, const bool& sorted_index, T* out_rows, Index* out_index,
         Index& n_unique, Index* inverse) {
  GroupRowsByProjection(data, n_rows, n_cols, direction, tolerance, sorted_index, out_index,
                        n_unique, inverse);
  CopyRows(data, n_cols, out_index, n_unique, out_rows);
}

}  // namespace rilo
