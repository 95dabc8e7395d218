// Cutting a tolerant row order into groups of rows that match the group's first row.
#pragma once

#include <cmath>

#include "tolerant_sort/arg_sort_along_height.h"
#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo::internal {

// True when `a` and `b` match in one column: their difference is not more than `tolerance`
// away from zero (a difference equal to it matches), and a NaN difference comes from two NaNs
// or two equal infinities.
template <typename T>
bool ValuesMatch(T a, T b, T tolerance) {
  const T difference = a - b;
  if (std::abs(difference) > tolerance) return false;
  return !std::isnan(difference) || a == b || (std::isnan(a) && std::isnan(b));
}

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

// True when the rows of records a and b of a matrix with `columns` columns match in every
// column (RowsMatch), reading the rows only where the records cannot tell.
template <typename T, typename Index>
bool RecordsMatch(const RowRecord<T, Index>& a, const RowRecord<T, Index>& b, const T* data,
                  Index columns, T tolerance) {
  if (columns == 0) return true;
  if (!ValuesMatch(a.first, b.first, tolerance)) return false;
  if (columns == 1) return true;
  const T* row_a = data + a.row * columns;
  const T* row_b = data + b.row * columns;
  switch (MatchSecond(a.second, b.second, tolerance)) {
    case SecondMatch::kMatches:
      return RowsMatch(row_a + 2, row_b + 2, columns - 2, tolerance);
    case SecondMatch::kFails:
      return false;
    default:
      return RowsMatch(row_a + 1, row_b + 1, columns - 1, tolerance);
  }
}

// Rows ahead of the current position whose data is fetched early, so that reading a row in
// sorted order rarely waits for memory.
constexpr int kPrefetchDistance = 16;

// GroupSortedRecords for a fixed `Width` (or kAnyWidth, then `width` counts the columns).
template <int Width, typename T, typename Index>
Index GroupRecordsOfWidth(const T* data, Index height, Index width, T tolerance,
                          RowRecords<T, Index>& records, Index* inverse) {
  const Index columns = Width == kAnyWidth ? width : Index{Width};
  const auto prefetch = RowPrefetch(data, columns);
  Index group = 0;
  RowRecord<T, Index> representative = records[0];
  inverse[representative.row] = 0;
  // Invariant: records[0 .. group] hold the first rows of the groups so far, `representative`
  // is the last of them, and every position before `position` has its inverse written.
  for (Index position = 1; position < height; ++position) {
    if (position + kPrefetchDistance < height) prefetch(records[position + kPrefetchDistance]);
    const RowRecord<T, Index> candidate = records[position];
    if (!RecordsMatch(representative, candidate, data, columns, tolerance)) {
      records[++group].row = candidate.row;
      representative = candidate;
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
// rows into records[0 .. k-1].row in group order and returns k, the number of groups.
template <typename T, typename Index>
Index GroupSortedRecords(const T* data, Index height, Index width, T tolerance,
                         internal::RowRecords<T, Index>& records, Index* inverse) {
  switch (width) {
    case 1:
      return internal::GroupRecordsOfWidth<1>(data, height, width, tolerance, records, inverse);
    case 2:
      return internal::GroupRecordsOfWidth<2>(data, height, width, tolerance, records, inverse);
    case 3:
      return internal::GroupRecordsOfWidth<3>(data, height, width, tolerance, records, inverse);
    default:
      return internal::GroupRecordsOfWidth<internal::kAnyWidth>(data, height, width, tolerance,
                                                                records, inverse);
  }
}

// Orders the rows of an n x m row-major matrix (n >= 1) tolerantly (stable sort when
// `Stable`) and groups them. Writes each row's group number into `inverse` (n entries) and `k`,
// and returns the records, whose first k entries hold the groups' first rows in group order.
template <bool Stable, typename T, typename Index>
internal::RowRecords<T, Index> SortAndGroupRows(const T* data, Index n, Index m, T tolerance,
                                                Index* inverse, Index& k) {
  internal::RowRecords<T, Index> records = internal::IdentityRecords(data, n, m, tolerance);
  internal::SortRowRecords<Stable>(data, m, tolerance, records);
  k = GroupSortedRecords(data, n, m, tolerance, records, inverse);
  return records;
}

}  // namespace rilo
