// Argsort of the rows of a row-major matrix under a tolerant, column-by-column comparison.
#pragma once

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo::internal {

// True when row a goes before row b. Columns are read left to right; a column ties when its
// difference is exactly zero or strictly within `tolerance`, otherwise it decides by the sign
// of the difference. A NaN difference decides "not less" in both directions.
template <typename T, typename Index>
bool TolerantRowLess(const T* row_a, const T* row_b, Index width, T tolerance) {
  for (Index column = 0; column < width; ++column) {
    const T difference = row_a[column] - row_b[column];
    if (difference == 0 || tolerance > std::abs(difference)) continue;
    return difference < 0;
  }
  return false;
}

// Permutes `sorted_ids` (row indices of a height x width row-major matrix, usually the
// identity) into ascending tolerant row order: a stable sort when `Stable`, else an unstable one.
// Throws std::runtime_error, leaving `sorted_ids` untouched, when it does not hold `height` entries.
template <bool Stable, typename T, typename Index>
void ArgSortAlongHeight(const T* data, Index height, Index width, T tolerance,
                        IndexVector<Index>& sorted_ids) {
  if (height != static_cast<Index>(sorted_ids.size())) {
    throw std::runtime_error(
        "internal::ArgSortAlongHeight - input sorted_ids does not match size of arrays to be "
        "sorted.");
  }
  const auto row_less = [&data, &width, &tolerance](Index a, Index b) {
    return TolerantRowLess(data + a * width, data + b * width, width, tolerance);
  };
  if constexpr (Stable) {
    std::stable_sort(sorted_ids.begin(), sorted_ids.end(), row_less);
  } else {
    std::sort(sorted_ids.begin(), sorted_ids.end(), row_less);
  }
}

}  // namespace rilo::internal
