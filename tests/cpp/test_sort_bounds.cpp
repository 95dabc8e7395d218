// The unstable tolerant sort stays inside its index vector. libstdc++'s std::sort has
// unguarded inner loops that rely only on the comparator being asymmetric (never less both
// ways); these tests pin that property of the tolerant comparator on special values and sort
// inconsistent inputs (under `make asan` any stray access aborts).
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "tolerant_sort/arg_sort_along_height.h"

namespace {

using rilo_test::Check;

// Values that stress the comparator: signed zeros, subnormals, the extremes, infinities, NaN,
// and steps that sit on and around a tolerance of 1.
template <typename T>
std::vector<T> SpecialValues() {
  using Limits = std::numeric_limits<T>;
  return {T{0}, -T{0}, Limits::denorm_min(), -Limits::denorm_min(), Limits::min(), Limits::max(),
          Limits::lowest(), Limits::infinity(), -Limits::infinity(), Limits::quiet_NaN(),
          T{1}, T{-1}, T{0.5}, T{1.5}, std::nextafter(T{1}, T{2}), std::nextafter(T{1}, T{0}),
          T{2}, T{0.3}, T{0.6}};
}

// Checks that less(a, b) and less(b, a) never both hold, and less(a, a) never does, for every
// pair of two-column rows built from the special values under each special tolerance; and that
// a row whose first value alone is NaN goes after the other.
template <typename T>
void ComparatorIsAsymmetric() {
  const std::vector<T> values = SpecialValues<T>();
  int violations = 0;
  for (T tolerance : {T{1}, T{0}, -T{0}, T{-1}, std::numeric_limits<T>::quiet_NaN(),
                      std::numeric_limits<T>::infinity(), std::numeric_limits<T>::denorm_min()}) {
    for (T a0 : values) {
      for (T b0 : values) {
        for (T tail : {T{0}, T{1}, std::numeric_limits<T>::quiet_NaN()}) {
          const T a[2] = {a0, tail};
          const T b[2] = {b0, -tail};
          const bool ab = rilo::internal::TolerantRowLess(a, b, 2, tolerance);
          const bool ba = rilo::internal::TolerantRowLess(b, a, 2, tolerance);
          const bool aa = rilo::internal::TolerantRowLess(a, a, 2, tolerance);
          // A NaN first value against a number decides, and puts the NaN row last.
          const bool nan_misplaced = std::isnan(a0) != std::isnan(b0) && ab != std::isnan(b0);
          violations += (ab && ba) || aa || nan_misplaced;
        }
      }
    }
  }
  Check(violations == 0, std::to_string(violations) + " pairs compare less both ways or to itself");
}

// A height x width matrix of values in steps of 0.3 (ties under tolerance 1 that are not
// transitive), with a share of NaN and infinities.
template <typename T>
std::vector<T> InconsistentMatrix(std::mt19937& random, int height, int width) {
  std::vector<T> data(static_cast<size_t>(height) * width);
  for (T& value : data) {
    const int pick = static_cast<int>(random() % 20);
    value = pick == 0   ? std::numeric_limits<T>::quiet_NaN()
            : pick == 1 ? std::numeric_limits<T>::infinity()
                        : static_cast<T>(0.3 * (pick % 9));
  }
  return data;
}

// Sorts many inconsistent inputs with the unstable sort and checks that each result is still
// a permutation of the rows.
template <typename T>
void UnstableSortKeepsAPermutation() {
  std::mt19937 random(7);
  int broken = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const int height = 17 + static_cast<int>(random() % 200);
    const int width = 1 + static_cast<int>(random() % 2);
    const std::vector<T> data = InconsistentMatrix<T>(random, height, width);
    rilo::IndexVector<int> ids(height);
    for (int row = 0; row < height; ++row) ids[row] = row;
    rilo::internal::ArgSortAlongHeight<false>(data.data(), height, width, T{1}, ids);
    std::sort(ids.begin(), ids.end());
    for (int row = 0; row < height; ++row) broken += ids[row] != row;
  }
  Check(broken == 0, std::to_string(broken) + " entries lost or duplicated by the sort");
}

const bool registered = rilo_test::AddTests({
    {"tolerant comparator is asymmetric (double)", ComparatorIsAsymmetric<double>},
    {"tolerant comparator is asymmetric (float)", ComparatorIsAsymmetric<float>},
    {"unstable sort keeps a permutation on inconsistent input (double)",
     UnstableSortKeepsAPermutation<double>},
    {"unstable sort keeps a permutation on inconsistent input (float)",
     UnstableSortKeepsAPermutation<float>},
});

}  // namespace
