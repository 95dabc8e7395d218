// Cutting a tolerant row order into groups of rows that match the group's first row.
#pragma once

#include "base/stop.h"
#include "tolerant_sort/arg_sort_along_height.h"
#include "tolerant_sort/column_rules.h"
#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo::internal {

// True when every column of rows a and b matches (ValuesMatch).
template <typename T, typename Index>
bool RowsMatch(const T* row_a, const T* row_b, Index width, T tolerance) {
  for (Index column = 0; column < width; ++column) {
    if (!ValuesMatch(row_a[column], row_b[column], tolerance)) return false;
  }
  return true;
}

// How the second columns of two rows match, judged from their records' second values.
enum class SecondMatch { kMatches, kFails, kUnknown };

// Float records hold the second values themselves, so the test is exact.
inline SecondMatch MatchSecond(float a, float b, float tolerance) {
  return ValuesMatch(a, b, tolerance) ? SecondMatch::kMatches : SecondMatch::kFails;
}

// Double records hold float roundings: a column they surely order is more than the tolerance
// apart, one they surely tie on is strictly within it, and the rest need the rows.
inline SecondMatch MatchSecond(float a, float b, double tolerance) {
  switch (CompareSecond(a, b, tolerance)) {
    case SecondOrder::kWithin:
      return SecondMatch::kMatches;
    case SecondOrder::kUnknown:
      return SecondMatch::kUnknown;
    default:
      return SecondMatch::kFails;
  }
}

// The third values of two rows, when they are known (SecondValue of column 2).
struct ThirdPair {
  bool known = false;
  float of_a = 0.0f;
  float of_b = 0.0f;
};

// True when rows a and b, of at least three columns, match from column 2 on (RowsMatch),
// reading column 2 from the rows only when `thirds` cannot tell.
template <typename T, typename Index>
bool ThirdColumnOnwardMatch(const T* row_a, const T* row_b, Index columns, T tolerance,
                            ThirdPair thirds) {
  const SecondMatch third_match =
      thirds.known ? MatchSecond(thirds.of_a, thirds.of_b, tolerance) : SecondMatch::kUnknown;
  switch (third_match) {
    case SecondMatch::kMatches:
      return RowsMatch(row_a + 3, row_b + 3, columns - 3, tolerance);
    case SecondMatch::kFails:
      return false;
    default:
      return RowsMatch(row_a + 2, row_b + 2, columns - 2, tolerance);
  }
}

// True when the rows of records a and b of a matrix with `columns` columns match in every
// column (RowsMatch), reading the rows only where the records and `thirds` cannot tell.
template <typename T, typename Index>
bool RecordsMatch(const RowRecord<T, Index>& a, const RowRecord<T, Index>& b, const T* data,
                  Index columns, T tolerance, ThirdPair thirds = ThirdPair()) {
  if (columns == 0) return true;
  if (!ValuesMatch(a.first, b.first, tolerance)) return false;
  if (columns == 1) return true;
  const T* row_a = data + a.row * columns;
  const T* row_b = data + b.row * columns;
  switch (MatchSecond(a.second, b.second, tolerance)) {
    case SecondMatch::kMatches:
      return columns == 2 || ThirdColumnOnwardMatch(row_a, row_b, columns, tolerance, thirds);
    case SecondMatch::kFails:
      return false;
    default:
      return RowsMatch(row_a + 1, row_b + 1, columns - 1, tolerance);
  }
}

// GroupSortedRecords for a fixed `Width` (or kAnyWidth, then `width` counts the columns).
template <int Width, typename T, typename Index, typename ShouldStop>
Index GroupRecordsOfWidth(const T* data, Index height, Index width, T tolerance,
                          RowRecords<T, Index>& records, Index* inverse, ThirdValues third,
                          ShouldStop& should_stop) {
  const Index columns = Width == kAnyWidth ? width : Index{Width};
  const auto prefetch = RowPrefetch(data, columns, third);
  const auto third_of = [third](const RowRecord<T, Index>& record) {
    return third.present() ? third[record.row] : 0.0f;
  };
  Index group = 0;
  RowRecord<T, Index> representative = records[0];
  float representative_third = third_of(representative);
  inverse[representative.row] = 0;
  StopCountdown<ShouldStop> countdown(should_stop);
  // Invariant: records[0 .. group] hold the first rows of the groups so far, `representative`
  // is the last of them (its third value kept aside, since its inverse entry, which may share
  // the third values' storage, is written), and every position before `position` has its
  // inverse written.
  for (Index position = 1; position < height; ++position) {
    if (countdown.Stopping()) break;
    if (position + kPrefetchDistance < height) prefetch(records[position + kPrefetchDistance]);
    const RowRecord<T, Index> candidate = records[position];
    const float candidate_third = third_of(candidate);
    const ThirdPair thirds{third.present(), representative_third, candidate_third};
    if (!RecordsMatch(representative, candidate, data, columns, tolerance, thirds)) {
      records[++group].row = candidate.row;
      representative = candidate;
      representative_third = candidate_third;
    }
    inverse[candidate.row] = group;
  }
  return group + 1;
}

}  // namespace rilo::internal

namespace rilo {

// Walks `records` (height >= 1 records of a height x width row-major matrix in tolerant row
// order) once and starts a new group wherever a row does not match the current group's first
// row. Writes each row's group number into `inverse` (height entries), moves the groups' first
// rows into records[0 .. k-1].row in group order and returns k, the number of groups. `third`,
// when present, holds the rows' third values (width at least 3) and may share the inverse's
// storage: a row's third value is read before its inverse entry is written. Returns early, the
// result unusable, when `should_stop` asks.
template <typename T, typename Index, typename ShouldStop = NeverStop>
Index GroupSortedRecords(const T* data, Index height, Index width, T tolerance,
                         internal::RowRecords<T, Index>& records, Index* inverse,
                         internal::ThirdValues third = internal::ThirdValues(),
                         ShouldStop should_stop = {}) {
  return internal::WithNarrowWidth(width, [&](auto narrow_width) {
    return internal::GroupRecordsOfWidth<decltype(narrow_width)::value>(
        data, height, width, tolerance, records, inverse, third, should_stop);
  });
}

}  // namespace rilo
