// Cutting a tolerant row order into groups of rows that match the group's first row.
#pragma once

#include <cmath>

#include "tolerant_sort/arg_sort_along_height.h"
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

// Rows ahead of the current position whose data is fetched early, so that reading a row in
// sorted order rarely waits for memory.
constexpr int kPrefetchDistance = 16;

// GroupSortedRecords for a fixed `Width` (or kAnyWidth, then `width` counts the columns).
template <int Width, typename T, typename Index>
Index GroupRecordsOfWidth(const T* data, Index height, Index width, T tolerance,
                          RowRecords<T, Index>& records, Index* inverse) {
  const Index columns = Width == kAnyWidth ? width : Index{Width};
  Index group = 0;
  const T* representative = data + records[0].row * columns;
  inverse[records[0].row] = 0;
  // Invariant: records[0 .. group] hold the first rows of the groups so far, `representative`
  // points at the last of them, and every position before `position` has its inverse written.
  for (Index position = 1; position < height; ++position) {
    if (position + kPrefetchDistance < height) {
      __builtin_prefetch(data + records[position + kPrefetchDistance].row * columns);
    }
    const Index row = records[position].row;
    const T* candidate = data + row * columns;
    if (!RowsMatch(representative, candidate, columns, tolerance)) {
      records[++group].row = row;
      representative = candidate;
    }
    inverse[row] = group;
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
