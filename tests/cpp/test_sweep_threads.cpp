// The sweep on several threads: rows cut into ranges that are swept at once and then joined
// must give exactly the sweep of one thread and the straightforward sweep, for every thread
// count, on both sides of each size at which another thread or the radix sort takes over.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/helper_threads.h"
#include "check.h"
#include "projection_sweep/unique_rows_by_sweeping.h"
#include "sweep_reference.h"

namespace {

using rilo_test::Check;

constexpr int kParallel = static_cast<int>(rilo::internal::kParallelMinimum);
constexpr int kRadix = static_cast<int>(rilo::internal::kRadixMinValues);

// Representatives and inverse of one sweep.
struct Grouping {
  std::vector<int> index;
  std::vector<int> inverse;
  bool operator==(const Grouping& other) const { return index == other.index && inverse == other.inverse; }
};

template <typename T>
Grouping SweepOnThreads(const std::vector<T>& data, int n, int m, T tolerance, bool sorted_index, int threads) {
  const std::vector<T> direction(m, T{1});
  Grouping result{{}, std::vector<int>(n, -7)};
  const int k = rilo::UniqueRowsBySweeping(data.data(), n, m, direction.data(), tolerance, sorted_index,
                                           result.inverse.data(),
                                           [&result](int groups) {
                                             result.index.resize(groups);
                                             return result.index.data();
                                           },
                                           threads, rilo::NeverStop{});
  Check(k == static_cast<int>(result.index.size()), "k is the number of representatives asked for");
  return result;
}

// Rows in a shuffled chain along (1, -0.25, ...) (most of each step in the row sum) whose
// consecutive rows lie `step` tolerances apart: with a step of 0.6 every other row opens, and a
// range swept alone from a row that another claims opens on the wrong rows all the way along.
template <typename T>
std::vector<T> ShuffledChain(std::mt19937& random, int n, int m, double step, double tolerance) {
  std::vector<int> rows(n);
  std::iota(rows.begin(), rows.end(), 0);
  std::shuffle(rows.begin(), rows.end(), random);
  std::vector<T> data(static_cast<size_t>(n) * m);
  for (int i = 0; i < n; ++i) {
    T* out = data.data() + static_cast<size_t>(rows[i]) * m;
    out[0] = static_cast<T>(i * step * tolerance);
    for (int c = 1; c < m; ++c) out[c] = static_cast<T>(-0.25 * i * step * tolerance / (m - 1));
  }
  return data;
}

// Clustered rows whose sums crowd within a few tolerances of each other: copies a fraction of a
// tolerance away (some at just under or over it), exact duplicates, and a sprinkle of NaN,
// infinities and huge values.
template <typename T>
std::vector<T> CrowdedRows(std::mt19937& random, int n, int m, double tolerance) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<T> data(static_cast<size_t>(n) * m);
  const double spread = n * tolerance / 8;  // about 8 rows per tolerance of row sum
  for (int row = 0; row < n; ++row) {
    T* out = data.data() + static_cast<size_t>(row) * m;
    const unsigned roll = random() % 16;
    if (row > 0 && roll < 5) {
      const T* source = data.data() + static_cast<size_t>(random() % row) * m;
      const double offset = std::vector<double>{0.0, 0.3, 0.99, 1.01}[roll % 4] * tolerance / std::sqrt(double(m));
      for (int c = 0; c < m; ++c) out[c] = static_cast<T>(source[c] + (random() % 2 ? offset : -offset));
    } else {
      for (int c = 0; c < m; ++c) out[c] = static_cast<T>(unit(random) * spread / m);
    }
    if (roll == 15 && random() % 3 == 0) {
      const T specials[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                            -std::numeric_limits<T>::infinity(), std::numeric_limits<T>::max()};
      out[random() % m] = specials[random() % 4];
    }
  }
  return data;
}

// Row counts on both sides of each switch: the radix sort, two, three and four ranges.
std::vector<int> SwitchSizes() {
  return {kRadix - 1, kRadix, 2 * kParallel - 1, 2 * kParallel, 2 * kParallel + 65, 3 * kParallel + 7,
          4 * kParallel + 130};
}

// Checks the sweep on 1 to 4 threads against the straightforward sweep (`with_reference`) or
// else against one thread.
template <typename T>
int CountMismatches(const std::vector<T>& data, int n, int m, T tolerance, bool with_reference) {
  int mismatches = 0;
  for (bool sorted_index : {false, true}) {
    Grouping expected;
    if (with_reference) {
      const auto reference = reference::SweepMethod(data.data(), n, m, tolerance, sorted_index);
      expected = Grouping{reference.index, reference.inverse};
    } else {
      expected = SweepOnThreads(data, n, m, tolerance, sorted_index, 1);
    }
    for (int threads = 1; threads <= 4; ++threads) {
      mismatches += !(SweepOnThreads(data, n, m, tolerance, sorted_index, threads) == expected);
    }
  }
  return mismatches;
}

template <typename T>
void ThreadsMatchReferenceOnChains() {
  std::mt19937 random(5);
  int mismatches = 0;
  for (int n : SwitchSizes()) {
    for (double step : {0.6, 0.999, 0.45}) {
      const int m = 2 + static_cast<int>(random() % 3);
      mismatches += CountMismatches(ShuffledChain<T>(random, n, m, step, 1.0), n, m, T(1), true);
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " chain sweeps differ from the straightforward sweep");
}

template <typename T>
void ThreadsMatchReferenceOnCrowdedRows() {
  std::mt19937 random(9);
  int mismatches = 0;
  for (int n : SwitchSizes()) {
    for (int m : {1, 3, 8}) {
      mismatches += CountMismatches(CrowdedRows<T>(random, n, m, 0.01), n, m, T(0.01), true);
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " crowded sweeps differ from the straightforward sweep");
}

// The sweep of `data` in sweep order cut into 2 to 4 ranges by force, against one range: the
// join must give the whole sweep even where every window crosses every cut, cuts that the
// sweep itself does not make. Returns how many cuttings differ.
template <typename T>
int ForcedCutMismatches(const std::vector<T>& data, int n, int m, T tolerance) {
  const std::vector<T> direction(m, T{1});
  rilo::NeverStop never;
  rilo::internal::SortScratchThenRows<T, int> room(n, m);
  const auto sorted =
      rilo::internal::SortRowsByProjection(data.data(), n, m, direction.data(), room.SortScratch(), 1, never);
  rilo::CopyRowsOnThreads(data.data(), m, sorted.order.data(), n, room.Rows(), 1, never);
  const T* rows = room.Rows();
  const auto sweep = [&](const std::vector<int>& bounds) {
    std::vector<int> groups(n);
    rilo::internal::OpeningBits opens((n + 63) / 64);
    rilo::internal::SweepRangesBetween(rows, sorted.keys.data(), m, tolerance, bounds, groups.data(), opens,
                                       static_cast<int>(bounds.size()) - 1, never);
    return groups;
  };
  const std::vector<int> whole = sweep({0, n});
  int mismatches = 0;
  for (int ranges = 2; ranges <= 4; ++ranges) {
    std::vector<int> bounds{0};
    for (int range = 1; range < ranges; ++range) bounds.push_back(n * range / ranges / 64 * 64);
    bounds.push_back(n);
    mismatches += sweep(bounds) != whole;
  }
  return mismatches;
}

// Rows that all share one row sum, so that every window spans the whole input and is searched
// through the grid; too many pairs for the straightforward sweep, so one thread is the measure.
template <typename T>
void ThreadsAgreeOnSharedSums() {
  std::mt19937 random(13);
  std::uniform_int_distribution<int> lattice(-40, 40);
  int mismatches = 0;
  for (int n : {2 * kParallel + 3, 4 * kParallel + 130}) {
    const int m = 3;
    std::vector<T> data(static_cast<size_t>(n) * m);
    for (int row = 0; row < n; ++row) {
      const T a = T(lattice(random)) * T(0.5);
      const T b = T(lattice(random)) * T(0.5);
      T* out = data.data() + static_cast<size_t>(row) * m;
      out[0] = a;
      out[1] = b;
      out[2] = -a - b;
    }
    mismatches += CountMismatches(data, n, m, T(0.75), false) + ForcedCutMismatches(data, n, m, T(0.75));
  }
  Check(mismatches == 0, std::to_string(mismatches) + " shared-sum sweeps differ between thread counts");
}

// Where the sweep order is cut: on rows that share their sum every window crosses every cut, so
// no cut is made; on scattered rows each thread gets a range.
template <typename T>
void RangesAreCutOnlyWhereFewWindowsCross() {
  const int n = 4 * kParallel + 130;
  std::vector<rilo::internal::KeyOf<T>> shared(n, rilo::internal::OrderedKey(T(1)));
  std::vector<rilo::internal::KeyOf<T>> scattered(n);
  for (int i = 0; i < n; ++i) scattered[i] = rilo::internal::OrderedKey(T(i));
  for (int threads = 1; threads <= 4; ++threads) {
    Check(rilo::internal::RangeBounds(shared.data(), n, T(0.5), threads) == std::vector<int>{0, n},
          "shared sums are swept as one range");
    Check(static_cast<int>(rilo::internal::RangeBounds(scattered.data(), n, T(0.5), threads).size()) == threads + 1,
          "scattered sums are cut into one range per thread");
  }
}

// The sweep with 64-bit row numbers against 32-bit ones, on an odd number of single-value rows:
// its sort's scratch then puts 64-bit positions after an odd number of 32-bit keys (float), and
// needs more room than the rows do.
template <typename T>
void WideRowNumbersGiveTheSameGroups() {
  std::mt19937 random(16);
  const int n = 2 * kParallel + 3;
  const std::vector<T> data = CrowdedRows<T>(random, n, 1, 0.01);
  const std::vector<T> direction{T{1}};
  int mismatches = 0;
  for (bool sorted_index : {false, true}) {
    for (int threads = 1; threads <= 3; ++threads) {
      std::vector<std::int64_t> inverse(n, -7);
      std::vector<std::int64_t> index;
      rilo::UniqueRowsBySweeping(data.data(), std::int64_t{n}, std::int64_t{1}, direction.data(), T(0.01),
                                 sorted_index, inverse.data(),
                                 [&index](std::int64_t groups) {
                                   index.resize(groups);
                                   return index.data();
                                 },
                                 threads, rilo::NeverStop{});
      const Grouping narrow = SweepOnThreads(data, n, 1, T(0.01), sorted_index, threads);
      mismatches += !std::equal(index.begin(), index.end(), narrow.index.begin(), narrow.index.end()) ||
                    !std::equal(inverse.begin(), inverse.end(), narrow.inverse.begin(), narrow.inverse.end());
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " sweeps differ between 64-bit and 32-bit row numbers");
}

const bool registered = rilo_test::AddTests({
    {"ThreadsMatchReferenceOnChains<float>", ThreadsMatchReferenceOnChains<float>},
    {"ThreadsMatchReferenceOnChains<double>", ThreadsMatchReferenceOnChains<double>},
    {"ThreadsMatchReferenceOnCrowdedRows<float>", ThreadsMatchReferenceOnCrowdedRows<float>},
    {"ThreadsMatchReferenceOnCrowdedRows<double>", ThreadsMatchReferenceOnCrowdedRows<double>},
    {"ThreadsAgreeOnSharedSums<float>", ThreadsAgreeOnSharedSums<float>},
    {"ThreadsAgreeOnSharedSums<double>", ThreadsAgreeOnSharedSums<double>},
    {"RangesAreCutOnlyWhereFewWindowsCross<float>", RangesAreCutOnlyWhereFewWindowsCross<float>},
    {"RangesAreCutOnlyWhereFewWindowsCross<double>", RangesAreCutOnlyWhereFewWindowsCross<double>},
    {"WideRowNumbersGiveTheSameGroups<float>", WideRowNumbersGiveTheSameGroups<float>},
    {"WideRowNumbersGiveTheSameGroups<double>", WideRowNumbersGiveTheSameGroups<double>},
});

}  // namespace
