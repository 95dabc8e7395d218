// Argsort of the rows of a row-major matrix under a tolerant, column-by-column comparison.
#pragma once

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "base/config.h"
#include "base/narrow_width.h"
#include "tolerant_sort/default_initialization_allocator.h"
#include "tolerant_sort/row_records.h"
#include "tolerant_sort/sorts.h"

namespace rilo::internal {

// True when row a goes before row b. Columns are read left to right and the first that does
// not tie decides (ColumnOrder: equal values tie, a NaN goes after every number and ties
// another NaN, else a difference that is zero or strictly within `tolerance` ties and its
// sign decides). Never true both ways nor for a row against itself.
template <typename T, typename Index>
bool TolerantRowLess(const T* row_a, const T* row_b, Index width, T tolerance) {
  for (Index column = 0; column < width; ++column) {
    const int order = ColumnOrder(row_a[column], row_b[column], tolerance);
    if (order != 0) return order < 0;
  }
  return false;
}

// TolerantRowLess from column 2 on, for rows of at least three columns whose third values
// (SecondValue of column 2) are `third_a` and `third_b`: column 2 is read from the rows only
// when those values cannot decide it.
template <typename T, typename Index>
bool ThirdColumnOnwardLess(const T* row_a, const T* row_b, Index columns, T tolerance,
                           float third_a, float third_b) {
  switch (CompareSecond(third_a, third_b, tolerance)) {
    case SecondOrder::kLess:
      return true;
    case SecondOrder::kGreater:
      return false;
    case SecondOrder::kWithin:
      return TolerantRowLess(row_a + 3, row_b + 3, columns - 3, tolerance);
    default:
      return TolerantRowLess(row_a + 2, row_b + 2, columns - 2, tolerance);
  }
}

// The tolerant row comparison on records of a matrix with at least one column: columns 0 and
// 1 come from the records and column 2 from `third` (when present) where they decide, the rest
// from the rows. Width is the column count when it is a compile-time constant, else kAnyWidth.
// Gives exactly TolerantRowLess on the two rows.
template <int Width, typename T, typename Index>
auto RecordLess(const T* data, Index width, T tolerance, ThirdValues third) {
  const bool positive_tolerance = tolerance > 0;
  return [data, width, tolerance, positive_tolerance, third](const RowRecord<T, Index>& a,
                                                             const RowRecord<T, Index>& b) {
    // Most comparisons are decided here: with a positive tolerance, a difference at least the
    // tolerance away from zero decides by its sign, and a NaN difference falls through.
    if (positive_tolerance) {
      const T first_difference = a.first - b.first;
      const bool before = first_difference <= -tolerance;
      if (before || first_difference >= tolerance) return before;
    }
    const int first_order = ColumnOrder(a.first, b.first, tolerance);
    if (first_order != 0) return first_order < 0;
    const Index columns = Width == kAnyWidth ? width : Index{Width};
    if (columns < 2) return false;
    const T* row_a = data + a.row * columns;
    const T* row_b = data + b.row * columns;
    switch (CompareSecond(a.second, b.second, tolerance)) {
      case SecondOrder::kLess:
        return true;
      case SecondOrder::kGreater:
        return false;
      case SecondOrder::kWithin:
        return third.present() ? ThirdColumnOnwardLess(row_a, row_b, columns, tolerance,
                                                       third[a.row], third[b.row])
                               : TolerantRowLess(row_a + 2, row_b + 2, columns - 2, tolerance);
      default:
        return TolerantRowLess(row_a + 1, row_b + 1, columns - 1, tolerance);
    }
  };
}

// Fetches what a comparison reads once the records' own values tie: the row's third value
// when `third` is present, else the row from its second column on.
template <typename T, typename Index>
auto RowPrefetch(const T* data, Index width, ThirdValues third) {
  return [data, width, third](const RowRecord<T, Index>& record) {
    if (third.present()) {
      PrefetchForRead(third.address(record.row));
    } else {
      PrefetchForRead(data + record.row * width + (width > 1 ? 1 : 0));
    }
  };
}

// The one place where the tolerant order is sorted: the stable sort when `Stable`, else the
// unstable one, on up to `threads` threads. Their decisions depend only on the comparator's
// answers, so sorting records gives the same permutation as sorting the row indices they carry.
// Returns early, the order unspecified, when `should_stop` asks.
template <bool Stable, typename Iterator, typename Less, typename Prefetch, typename ShouldStop>
void SortTolerantOrder(Iterator first, Iterator last, Less less, Prefetch prefetch, int threads,
                       ShouldStop should_stop) {
  if constexpr (Stable) {
    StableSort(first, last, less, threads, should_stop);
  } else {
    UnstableSort(first, last, less, threads, prefetch, should_stop);
  }
}

// Sorts `records` (RecordOf each row of a row-major matrix of `width` columns) into tolerant
// row order on up to `threads` threads, with the comparison specialised for the narrow widths
// that dominate in practice. `third`, when present, holds the rows' third values (width at
// least 3). Returns early, the records unusable, when `should_stop` asks.
template <bool Stable, typename T, typename Index, typename ShouldStop = NeverStop>
void SortRowRecords(const T* data, Index width, T tolerance, RowRecords<T, Index>& records,
                    int threads, ThirdValues third = ThirdValues(), ShouldStop should_stop = {}) {
  const auto sort = [&records, threads, prefetch = RowPrefetch(data, width, third),
                     should_stop](auto less) {
    SortTolerantOrder<Stable>(records.begin(), records.end(), less, prefetch, threads,
                              should_stop);
  };
  if (width == 0) {
    return sort([](const RowRecord<T, Index>&, const RowRecord<T, Index>&) { return false; });
  }
  WithNarrowWidth(width, [&](auto narrow_width) {
    sort(RecordLess<decltype(narrow_width)::value>(data, width, tolerance, third));
  });
}

// Permutes `sorted_ids` (row indices of a height x width row-major matrix, usually the
// identity) into ascending tolerant row order: a stable sort when `Stable`, else an unstable one,
// on the CPUs this process may use. Throws std::runtime_error, leaving `sorted_ids` untouched,
// when it does not hold `height` entries. Kept as the ordering's named interface and the
// tests' way in; the sort method itself sorts its records directly (SortRowRecords), off this
// function.
template <bool Stable, typename T, typename Index>
void ArgSortAlongHeight(const T* data, Index height, Index width, T tolerance,
                        IndexVector<Index>& sorted_ids) {
  if (height != static_cast<Index>(sorted_ids.size())) {
    throw std::runtime_error(
        "internal::ArgSortAlongHeight - input sorted_ids does not match size of arrays to be "
        "sorted.");
  }
  RowRecords<T, Index> records = RecordsOf(data, width, tolerance, sorted_ids);
  SortRowRecords<Stable>(data, width, tolerance, records, UsableCpuCount());
  for (Index position = 0; position < height; ++position) {
    sorted_ids[position] = records[position].row;
  }
}

}  // namespace rilo::internal
