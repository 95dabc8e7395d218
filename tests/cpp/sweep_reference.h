// The projection sweep the straightforward way, kept as the reference for the sweep's fast
// paths: a comparison argsort of the row sums, then every window scanned row by row.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "projection_sweep/uff.h"

namespace reference {

// Positions of `values` by a stable comparison sort.
template <typename T>
std::vector<int> ArgSort(const std::vector<T>& values) {
  std::vector<int> order(values.size());
  std::iota(order.begin(), order.end(), 0);
  // Ascending, NaN after every number.
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return !std::isnan(values[a]) && (std::isnan(values[b]) || values[a] < values[b]);
  });
  return order;
}

// The sweep method's outputs, the straightforward way.
template <typename T>
struct Sweep {
  std::vector<T> rows;
  std::vector<int> index;
  std::vector<int> inverse;
};

// True when rows a and b (m finite values each) lie closer than `tolerance`: d2 < t2 in T
// wherever t2 is a normal number (or t is not positive); otherwise, for a finite t, with the
// differences and t scaled by 2^e, t * 2^e in [1, 2); an infinite tolerance holds every pair.
template <typename T>
bool DistanceBelow(const T* a, const T* b, int m, T tolerance) {
  const T squared_tolerance = tolerance * tolerance;
  const bool squares = !(tolerance > 0) || std::fpclassify(squared_tolerance) == FP_NORMAL;
  if (!squares && std::isinf(tolerance)) return true;
  const int e = squares ? 0 : -std::ilogb(tolerance);
  T d2 = 0;
  for (int column = 0; column < m; ++column) {
    const T difference = std::ldexp(a[column] - b[column], e);
    d2 += difference * difference;
  }
  const T scaled_tolerance = std::ldexp(tolerance, e);
  return d2 < scaled_tolerance * scaled_tolerance;
}

template <typename T>
Sweep<T> SweepMethod(const T* data, int n, int m, T tolerance, bool sorted_index) {
  std::vector<T> projection(n, T{0});
  for (int row = 0; row < n && m > 0; ++row) {
    T sum = data[row * m];
    for (int column = 1; column < m; ++column) sum += T{1} * data[row * m + column];
    projection[row] = sum;
  }
  const std::vector<int> order = ArgSort(projection);
  Sweep<T> result{{}, {}, std::vector<int>(n, -1)};
  for (int position = 0; position < n; ++position) {
    const int opening = order[position];
    if (result.inverse[opening] != -1) continue;
    const int group = static_cast<int>(result.index.size());
    result.index.push_back(opening);
    result.inverse[opening] = group;
    for (int next = position + 1; next < n; ++next) {
      const int candidate = order[next];
      if (!(projection[candidate] - projection[opening] < tolerance)) break;
      if (DistanceBelow(data + opening * m, data + candidate * m, m, tolerance)) result.inverse[candidate] = group;
    }
  }
  if (sorted_index) {
    std::vector<int> remap(result.index.size(), -1);
    result.index.clear();
    for (int row = 0; row < n; ++row) {
      int& renumbered = remap[result.inverse[row]];
      if (renumbered == -1) {
        renumbered = static_cast<int>(result.index.size());
        result.index.push_back(row);
      }
      result.inverse[row] = renumbered;
    }
  }
  for (int representative : result.index) {
    result.rows.insert(result.rows.end(), data + representative * m, data + representative * m + m);
  }
  return result;
}

// Runs Uff and the reference in both modes; true when rows, indices and inverse agree in
// every bit.
template <typename T>
bool SweepsAgree(const std::vector<T>& data, int n, int m, T tolerance) {
  const std::vector<T> direction(m, T{1});
  for (bool sorted_index : {false, true}) {
    std::vector<T> rows(static_cast<size_t>(n) * m);
    std::vector<int> index(n);
    std::vector<int> inverse(n);
    int k = 0;
    rilo::Uff(data.data(), n, m, direction.data(), tolerance, sorted_index, rows.data(), index.data(), k,
              inverse.data());
    rows.resize(static_cast<size_t>(k) * m);
    index.resize(k);
    const auto expected = reference::SweepMethod(data.data(), n, m, tolerance, sorted_index);
    const bool same_rows = rows.size() == expected.rows.size() &&
                           (rows.empty() || std::memcmp(rows.data(), expected.rows.data(), rows.size() * sizeof(T)) == 0);
    if (!same_rows || index != expected.index || inverse != expected.inverse) return false;
  }
  return true;
}

}  // namespace reference
