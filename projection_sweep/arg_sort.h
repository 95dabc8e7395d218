// Stable argsort of a vector of values.
#pragma once

#include <algorithm>
#include <numeric>
#include <vector>

namespace rilo {

// Returns the positions of `values` in ascending order of value, equal values (+0 and -0
// included) in ascending position. NaN compares neither less nor greater than anything, so
// with NaN present the result is some permutation of the positions.
template <typename Index, typename T>
std::vector<Index> ArgSort(const std::vector<T>& values) {
  std::vector<Index> order(values.size());
  std::iota(order.begin(), order.end(), Index{0});
  if (order.empty()) return order;
  std::stable_sort(order.begin(), order.end(),
                   [&values](Index a, Index b) { return values[a] < values[b]; });
  return order;
}

}  // namespace rilo
