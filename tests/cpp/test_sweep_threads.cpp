// The sweep on several threads: rows cut into ranges (or, where windows cross every cut, into
// slabs across space) that are swept at once and then joined must give exactly the sweep of one
// thread and the straightforward sweep, for every thread count, on both sides of each size at
// which another thread or the radix sort takes over.
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

// Rows of `data` in sweep order, copied as the sweep method copies them, with their keys.
template <typename T>
struct RowsInSweepOrder {
  std::vector<T> rows;
  std::vector<rilo::internal::KeyOf<T>> keys;
};

template <typename T>
RowsInSweepOrder<T> SortForSweep(const std::vector<T>& data, int n, int m) {
  const std::vector<T> direction(m, T{1});
  rilo::NeverStop never;
  rilo::internal::SortScratchThenRows<T, int> room(n, m);
  const auto sorted =
      rilo::internal::SortRowsByProjection(data.data(), n, m, direction.data(), room.SortScratch(), 1, never);
  rilo::CopyRowsOnThreads(data.data(), m, sorted.order.data(), n, room.Rows(), 1, never);
  return RowsInSweepOrder<T>{std::vector<T>(room.Rows(), room.Rows() + static_cast<size_t>(n) * m),
                             std::vector<rilo::internal::KeyOf<T>>(sorted.keys.begin(), sorted.keys.end())};
}

// Groups, openings and the number of groups of one sweep in sweep order.
struct SweptGroups {
  std::vector<int> groups;
  rilo::internal::OpeningBits opens;
  int k = 0;
  bool operator==(const SweptGroups& other) const {
    return groups == other.groups && opens == other.opens && k == other.k;
  }
};

// The sweep of `sorted` cut into the ranges between `bounds` (one range by default), a thread
// for each.
template <typename T>
SweptGroups SweepBetween(const RowsInSweepOrder<T>& sorted, int n, int m, T tolerance, std::vector<int> bounds = {}) {
  if (bounds.empty()) bounds = {0, n};
  rilo::NeverStop never;
  SweptGroups swept{std::vector<int>(n), rilo::internal::OpeningBits((n + 63) / 64)};
  swept.k = rilo::internal::SweepRangesBetween(sorted.rows.data(), sorted.keys.data(), m, tolerance, bounds,
                                               swept.groups.data(), swept.opens,
                                               static_cast<int>(bounds.size()) - 1, never);
  return swept;
}

// The sweep of `data` in sweep order cut into 2 to 4 ranges by force, against one range: the
// join must give the whole sweep even where every window crosses every cut, cuts that the
// sweep itself does not make. Returns how many cuttings differ.
template <typename T>
int ForcedCutMismatches(const std::vector<T>& data, int n, int m, T tolerance) {
  const RowsInSweepOrder<T> sorted = SortForSweep(data, n, m);
  const SweptGroups whole = SweepBetween(sorted, n, m, tolerance);
  int mismatches = 0;
  for (int ranges = 2; ranges <= 4; ++ranges) {
    std::vector<int> bounds{0};
    for (int range = 1; range < ranges; ++range) bounds.push_back(n * range / ranges / 64 * 64);
    bounds.push_back(n);
    mismatches += !(SweepBetween(sorted, n, m, tolerance, bounds) == whole);
  }
  return mismatches;
}

// The sweep of `data` cut across space by force, into 2 to 8 slabs and into a slab of the
// lowest cell alone, on 1 and 3 threads, against one range: the band around the cuts must be
// widened until the whole sweep results. Returns how many cuttings differ.
template <typename T>
int ForcedSlabMismatches(const std::vector<T>& data, int n, int m, T tolerance) {
  const RowsInSweepOrder<T> sorted = SortForSweep(data, n, m);
  rilo::NeverStop never;
  const SweptGroups whole = SweepBetween(sorted, n, m, tolerance);
  const auto cells = rilo::internal::SlabCellsFor(sorted.rows.data(), n, m, tolerance, 1, never);
  Check(cells.has_value(), "rows of finite values give cells to cut slabs along");
  const auto cell_of = rilo::internal::CellsOfRows(sorted.rows.data(), n, m, *cells, 1, never);
  std::vector<std::vector<std::int64_t>> cuttings;
  for (int slabs : {2, 3, 8}) cuttings.push_back(rilo::internal::SlabCuts(cell_of, slabs));
  cuttings.push_back({*std::min_element(cell_of.begin(), cell_of.end()) + 1});
  int mismatches = 0;
  for (const auto& cuts : cuttings) {
    Check(!cuts.empty(), "the rows spread over more than one cell");
    for (int threads : {1, 3}) {
      SweptGroups slabbed{std::vector<int>(n), rilo::internal::OpeningBits((n + 63) / 64)};
      slabbed.k = rilo::internal::SweepSlabsBetween(sorted.rows.data(), sorted.keys.data(), n, m, tolerance, cell_of,
                                                    cuts, slabbed.groups.data(), slabbed.opens, threads, never);
      mismatches += !(slabbed == whole);
    }
  }
  return mismatches;
}

// How the rows of a chain are numbered: at random, or along the chain either way.
enum class ChainOrder { kShuffled, kAscending, kDescending };

// Rows that share their row sum exactly, in a chain along (1, -1) (m = 2) or (1, -1/2, -1/2)
// (m = 3) whose consecutive rows lie `step` tolerances apart: every window spans the whole
// input, and which rows open near a cut across the chain depends on rows far along it (all of
// them when the rows are numbered along the chain, so that the sweep meets them in chain order).
template <typename T>
std::vector<T> ChainOfOneSum(std::mt19937& random, int n, int m, double step, double tolerance, ChainOrder order) {
  std::vector<int> rows(n);
  std::iota(rows.begin(), rows.end(), 0);
  if (order == ChainOrder::kShuffled) std::shuffle(rows.begin(), rows.end(), random);
  if (order == ChainOrder::kDescending) std::reverse(rows.begin(), rows.end());
  const double norm = m == 2 ? std::sqrt(2.0) : std::sqrt(1.5);
  std::vector<T> data(static_cast<size_t>(n) * m);
  for (int i = 0; i < n; ++i) {
    T* out = data.data() + static_cast<size_t>(rows[i]) * m;
    out[0] = static_cast<T>(i * step * tolerance / norm);
    for (int c = 1; c < m; ++c) out[c] = -out[0] / T(m - 1);
  }
  return data;
}

// CrowdedRows with the last column set to minus the sum of the others: row sums crowd at zero,
// and NaN, infinities and huge values stay.
template <typename T>
std::vector<T> CrowdedRowsOfOneSum(std::mt19937& random, int n, int m, double tolerance) {
  std::vector<T> data = CrowdedRows<T>(random, n, m, tolerance);
  for (int row = 0; row < n; ++row) {
    T* out = data.data() + static_cast<size_t>(row) * m;
    T sum = 0;
    for (int c = 0; c + 1 < m; ++c) sum += out[c];
    out[m - 1] = -sum;
  }
  return data;
}

template <typename T>
void ForcedSlabsGiveTheWholeSweep() {
  std::mt19937 random(21);
  int mismatches = 0;
  for (int n : {600, 5000}) {
    for (int m : {2, 3}) {
      for (ChainOrder order : {ChainOrder::kShuffled, ChainOrder::kAscending, ChainOrder::kDescending}) {
        for (double step : {0.6, 0.999, 0.45}) {
          mismatches += ForcedSlabMismatches(ChainOfOneSum<T>(random, n, m, step, 1.0, order), n, m, T(1));
        }
      }
      mismatches += ForcedSlabMismatches(CrowdedRowsOfOneSum<T>(random, n, m + 1, 0.01), n, m + 1, T(0.01));
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " sweeps in slabs differ from the sweep in one range");
}

// Rows (x, -x) with the tolerance 1, cut into slabs at cell 0 (x = 0; cells are 4.03125 wide):
// r (in the band) opens and claims p; a (two cells from the band) opens and claims q0, the
// first of a chain q0 ... q5 in the cell beside the band in which every other row opens; the
// last, q5, opens and takes p over. Swept again with the band, q0 must not open although its
// claimer lies outside what is swept again: if it did, the chain would open on the other rows,
// and p would stay with r while every row of the band opened as in its slab.
template <typename T>
void RowsBesideTheBandKeepTheirSlabsDecision() {
  const std::vector<double> xs{-3.5, -8.2, -7.6, -7.0, -6.4, -5.8, -5.2, -4.6, -4.0, 10.0};
  const int n = static_cast<int>(xs.size());
  std::vector<T> data;
  for (double x : xs) data.insert(data.end(), {T(x), T(-x)});
  const RowsInSweepOrder<T> sorted = SortForSweep(data, n, 2);
  rilo::NeverStop never;
  const auto cells = rilo::internal::SlabCellsFor(sorted.rows.data(), n, 2, T(1), 1, never);
  Check(cells.has_value() && cells->column == 0 && cells->side == 4.03125, "cells along x, 4.03125 wide");
  const auto cell_of = rilo::internal::CellsOfRows(sorted.rows.data(), n, 2, *cells, 1, never);
  SweptGroups slabbed{std::vector<int>(n), rilo::internal::OpeningBits(1)};
  slabbed.k = rilo::internal::SweepSlabsBetween(sorted.rows.data(), sorted.keys.data(), n, 2, T(1), cell_of,
                                                std::vector<std::int64_t>{0}, slabbed.groups.data(), slabbed.opens,
                                                1, never);
  const SweptGroups whole = SweepBetween(sorted, n, 2, T(1));
  Check(whole.groups[8] == whole.groups[7], "q5 takes p over from r");
  Check(slabbed == whole, "the sweep in slabs is the whole sweep");
}

// Rows that all share one row sum, so that every window spans the whole input and is searched
// through the grid, and several threads sweep slabs across space; too many pairs for the
// straightforward sweep, so one thread is the measure.
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
    for (ChainOrder order : {ChainOrder::kShuffled, ChainOrder::kAscending}) {
      const std::vector<T> chain = ChainOfOneSum<T>(random, n, 2, 0.6, 0.75, order);
      mismatches += CountMismatches(chain, n, 2, T(0.75), false);
    }
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
    {"ForcedSlabsGiveTheWholeSweep<float>", ForcedSlabsGiveTheWholeSweep<float>},
    {"ForcedSlabsGiveTheWholeSweep<double>", ForcedSlabsGiveTheWholeSweep<double>},
    {"RowsBesideTheBandKeepTheirSlabsDecision<float>", RowsBesideTheBandKeepTheirSlabsDecision<float>},
    {"RowsBesideTheBandKeepTheirSlabsDecision<double>", RowsBesideTheBandKeepTheirSlabsDecision<double>},
    {"RangesAreCutOnlyWhereFewWindowsCross<float>", RangesAreCutOnlyWhereFewWindowsCross<float>},
    {"RangesAreCutOnlyWhereFewWindowsCross<double>", RangesAreCutOnlyWhereFewWindowsCross<double>},
    {"WideRowNumbersGiveTheSameGroups<float>", WideRowNumbersGiveTheSameGroups<float>},
    {"WideRowNumbersGiveTheSameGroups<double>", WideRowNumbersGiveTheSameGroups<double>},
});

}  // namespace
