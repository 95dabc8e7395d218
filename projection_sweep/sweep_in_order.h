// The sweep over a block of rows already in sweep order: each row that no earlier row of the
// block has claimed opens a group and claims the later rows of its window that lie within the
// tolerance of it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "base/config.h"
#include "base/narrow_width.h"
#include "base/stop.h"
#include "projection_sweep/arg_sort.h"
#include "projection_sweep/candidate_grid.h"

namespace rilo::internal {

// One bit per sort position, set where the position opens a group.
using OpeningBits = std::vector<std::uint64_t>;

// The number of marks (set bits) of `bits` in the words before each word, and their total last.
template <typename Index>
std::vector<Index> MarksBeforeWords(const std::vector<std::uint64_t>& bits) {
  std::vector<Index> before(bits.size() + 1, 0);
  for (std::size_t word = 0; word < bits.size(); ++word) before[word + 1] = before[word] + PopCount(bits[word]);
  return before;
}

// The number of marks of `bits` before `position`, from their MarksBeforeWords `before`.
template <typename Index>
Index MarksBefore(const std::vector<std::uint64_t>& bits, const std::vector<Index>& before, std::ptrdiff_t position) {
  const std::uint64_t below = (std::uint64_t{1} << (position % 64)) - 1;
  return before[position / 64] + PopCount(bits[position / 64] & below);
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

// The first block position after `opening` whose projection gap to the opening row's is not
// below `tolerance` (or is NaN), or `count`: the end of the opening row's window among the
// `count` ascending ordered `keys`. `previous_end` is the end of an earlier opening's window; it
// never lies past this one, because projections ascend and a gap only shrinks as the opening
// projection grows.
template <typename T, typename Index>
Index WindowEnd(const KeyOf<T>* keys, Index count, Index opening, Index previous_end, T tolerance) {
  const T opening_projection = ValueOfKey<T>(keys[opening]);
  Index end = std::max(previous_end, opening + 1);
  while (end < count && ValueOfKey<T>(keys[end]) - opening_projection < tolerance) ++end;
  return end;
}

// Windows holding at least this many values (rows times columns) are searched through the
// grid rather than row by row: a query costs about as much as scanning that many values in
// sort order. Measured on uniform rows at 10^6 with windows of 50 to 500 rows, m = 2, 3, 8.
constexpr int kGridMinWindowValues = 512;

// SweepUnsettled for the distance rule `Rule` and a fixed column count `Columns` (or kAnyWidth,
// then `m` counts them). Small windows are scanned row by row, large ones searched through a
// grid that offers every row the test could claim.
template <DistanceRule Rule, int Columns, typename T, typename Index, typename ShouldStop>
Index SweepInOrderOfWidth(const T* rows, const KeyOf<T>* keys, Index count, Index m, T tolerance,
                          Index* groups, ShouldStop& should_stop) {
  const Index columns = Columns == kAnyWidth ? m : Index{Columns};
  const auto distance_below = DistanceBelow<Rule, Columns>(tolerance, columns);
  CandidateGrid<T, Index, Columns == kAnyWidth ? 0 : Columns, ShouldStop> grid(rows, count, columns, tolerance,
                                                                              should_stop);
  const bool grid_usable = grid.Usable();
  Index k = 0;
  Index window_end = 0;
  for (Index position = 0; position < count; ++position) {
    if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
    grid.PrefetchAhead(position);
    if (groups[position] != -1) continue;
    const T* opening_row = rows + static_cast<std::ptrdiff_t>(position) * columns;
    groups[position] = k;
    window_end = WindowEnd(keys, count, position, window_end, tolerance);
    const auto claim_if_close = [&](Index candidate, const T* candidate_row) {
      if (distance_below(opening_row, candidate_row)) groups[candidate] = k;
    };
    if (grid_usable && (window_end - position - 1) * columns >= kGridMinWindowValues) {
      grid.VisitCandidates(position, window_end, claim_if_close);
    } else {
      // Without a branch on the test: a claim is rare and unpredictable, and a mispredicted
      // branch costs more than the store.
      for (Index next = position + 1; next < window_end; ++next) {
        const bool close = distance_below(opening_row, rows + static_cast<std::ptrdiff_t>(next) * columns);
        groups[next] = close ? k : groups[next];
      }
    }
    ++k;
  }
  return k;
}

// The sweep of the `count` rows of m columns at `rows`, in sweep order, with their projections'
// ordered `keys` (ascending), over rows some of which are settled beforehand: a row whose entry
// of `groups` is -1 opens the next group when no earlier group has claimed it, a row with any
// other entry never opens; each opening claims the later rows of its window (projection gap
// below the tolerance) whose distance from it is below the tolerance, and a later group may take
// a row over. Writes the group of every claimed or opening row into `groups`, groups numbered
// in opening order, and returns their number. Only the block is read: the caller may change
// anything else meanwhile.
template <typename T, typename Index, typename ShouldStop>
Index SweepUnsettled(const T* rows, const KeyOf<T>* keys, Index count, Index m, T tolerance, Index* groups,
                     ShouldStop& should_stop) {
  const auto sweep = [&](auto rule, auto columns) {
    return SweepInOrderOfWidth<decltype(rule)::value, decltype(columns)::value>(
        rows, keys, count, m, tolerance, groups, should_stop);
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

// The sweep of the `count` rows of m columns at `rows`, in sweep order, with their projections'
// ordered `keys` (ascending): each row not yet claimed opens the next group and claims the later
// rows of its window (projection gap below the tolerance) whose distance from it is below the
// tolerance; a later group may take a row over. Writes each row's group into `groups` (count
// entries), groups numbered in opening order, and returns their number. Only the block is
// read: the caller may change anything else meanwhile.
template <typename T, typename Index, typename ShouldStop>
Index SweepInOrder(const T* rows, const KeyOf<T>* keys, Index count, Index m, T tolerance,
                   Index* groups, ShouldStop& should_stop) {
  InChunks(0, static_cast<std::size_t>(count), should_stop, [groups](std::size_t begin, std::size_t end) {
    std::fill(groups + begin, groups + end, Index{-1});
  });
  return SweepUnsettled(rows, keys, count, m, tolerance, groups, should_stop);
}

}  // namespace rilo::internal
