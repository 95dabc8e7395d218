// The fast paths of both methods against the straightforward algorithms they replace, kept
// here as references: row-index sorts with the tolerant comparator, the grouping over a
// separate index vector, the comparison sort of group ids, the comparison argsort of
// projections and the sweep that reads projections through the order. Every result must agree
// bit for bit on random inputs built to be hard: near-tolerance chains, exact duplicates,
// signed zeros, infinities, NaN, and sizes on both sides of the radix threshold.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "sweep_reference.h"
#include "projection_sweep/uff.h"
#include "tolerant_sort/arg_sort_along_height.h"
#include "tolerant_sort/group_sorted_rows.h"
#include "tolerant_sort/sort_ids_and_inverse.h"
#include "tolerant_sort/sorts.h"
#include "tolerant_sort/unique_rows_by_sorting.h"

namespace reference {

using rilo::IndexVector;

// -1, 1 or 0 as one column puts the row holding `a` before, after or level with the row
// holding `b`: equal values tie, NaN goes after numbers and ties NaN, else a difference that is
// zero or strictly within the tolerance ties and its sign decides.
template <typename T>
int ColumnOrder(T a, T b, T tolerance) {
  if (a == b || (std::isnan(a) && std::isnan(b))) return 0;
  if (std::isnan(a)) return 1;
  if (std::isnan(b)) return -1;
  const T difference = a - b;
  if (difference == 0 || tolerance > std::abs(difference)) return 0;
  return difference < 0 ? -1 : 1;
}

// True when the first column that does not tie puts row_a before row_b.
template <typename T>
bool TolerantRowLess(const T* row_a, const T* row_b, int width, T tolerance) {
  for (int column = 0; column < width; ++column) {
    const int order = ColumnOrder(row_a[column], row_b[column], tolerance);
    if (order != 0) return order < 0;
  }
  return false;
}

// Row indices sorted by the project's sorts on one thread, with the tolerant comparator
// dereferencing rows (no records, no fast paths).
template <bool Stable, typename T>
IndexVector<int> ArgSortAlongHeight(const T* data, int height, int width, T tolerance) {
  IndexVector<int> ids(height);
  std::iota(ids.begin(), ids.end(), 0);
  const auto less = [&](int a, int b) {
    return TolerantRowLess(data + a * width, data + b * width, width, tolerance);
  };
  if constexpr (Stable) {
    rilo::internal::StableSort(ids.begin(), ids.end(), less, 1);
  } else {
    rilo::internal::UnstableSort(ids.begin(), ids.end(), less, 1);
  }
  return ids;
}

// Ids sorted by a comparison sort and the inverse renumbered through a rank vector.
inline void SortIdsAndInverse(int num_ids, int* ids, int num_inverse, int* inverse) {
  std::vector<int> id_order(num_ids);
  std::iota(id_order.begin(), id_order.end(), 0);
  std::sort(id_order.begin(), id_order.end(), [ids](int a, int b) { return ids[a] < ids[b]; });
  std::vector<int> sorted(num_ids);
  for (int j = 0; j < num_ids; ++j) sorted[j] = ids[id_order[j]];
  std::copy(sorted.begin(), sorted.end(), ids);
  std::vector<int> rank(num_ids);
  for (int j = 0; j < num_ids; ++j) rank[id_order[j]] = j;
  for (int i = 0; i < num_inverse; ++i) inverse[i] = rank[inverse[i]];
}

// Representatives and inverse of the sort method, the straightforward way.
struct Grouping {
  std::vector<int> representatives;
  std::vector<int> inverse;

  bool operator==(const Grouping& other) const {
    return representatives == other.representatives && inverse == other.inverse;
  }
};

template <bool Stable, typename T>
Grouping SortMethod(const T* data, int n, int m, T tolerance) {
  Grouping result{{}, std::vector<int>(n)};
  if (n == 0) return result;
  const IndexVector<int> ids = ArgSortAlongHeight<Stable>(data, n, m, tolerance);
  int start = ids[0];
  result.representatives.push_back(start);
  result.inverse[start] = 0;
  for (int position = 1; position < n; ++position) {
    const int row = ids[position];
    if (!rilo::internal::RowsMatch(data + start * m, data + row * m, m, tolerance)) {
      start = row;
      result.representatives.push_back(row);
    }
    result.inverse[row] = static_cast<int>(result.representatives.size()) - 1;
  }
  if (Stable) {
    SortIdsAndInverse(static_cast<int>(result.representatives.size()), result.representatives.data(), n,
                      result.inverse.data());
  }
  return result;
}

}  // namespace reference

namespace {

using rilo_test::Check;

// Sizes drawn for the random cases: up to a few times the radix threshold.
constexpr int kMaxRows = 3 * static_cast<int>(rilo::internal::kRadixMinValues);
constexpr int kCasesPerType = 250;

// A random matrix of one of several hard kinds: values on a grid of steps near the tolerance
// (ties that do not chain transitively, exact duplicates, signed zeros), noisy copies of a few
// rows, and sprinkles of NaN and infinities.
template <typename T>
std::vector<T> HardMatrix(std::mt19937& random, int n, int m, T tolerance) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double step = (std::isfinite(tolerance) && tolerance > 0 ? tolerance : T{1}) *
                      std::vector<double>{0.3, 0.5, 0.6, 1.0, 1.7}[random() % 5];
  const int kind = static_cast<int>(random() % 3);
  const double special_share = random() % 3 == 0 ? 0.02 : 0.0;
  std::vector<T> data(static_cast<size_t>(n) * m);
  for (size_t i = 0; i < data.size(); ++i) {
    const double grid = step * static_cast<int>(random() % 9) * (random() % 2 ? 1 : -1);
    T value = kind == 0 ? static_cast<T>(grid) : static_cast<T>(grid + step * 0.1 * (unit(random) - 0.5));
    if (kind == 2 && i >= static_cast<size_t>(m) && random() % 2) value = data[i - m * (1 + random() % 4 % (i / m))];
    const double roll = unit(random);
    if (roll < special_share / 2) value = std::numeric_limits<T>::quiet_NaN();
    else if (roll < special_share) value = (random() % 2 ? 1 : -1) * std::numeric_limits<T>::infinity();
    for (int ulps = static_cast<int>(random() % 5) - 2; ulps != 0; ulps += ulps > 0 ? -1 : 1) {
      value = std::nextafter(value, ulps > 0 ? std::numeric_limits<T>::infinity() : -std::numeric_limits<T>::infinity());
    }
    data[i] = value;
  }
  return data;
}

template <typename T>
T RandomTolerance(std::mt19937& random) {
  const T choices[] = {T{1}, T{0.5}, T{0.25}, T{1e-3}, T{0}, T{-1}, std::numeric_limits<T>::infinity(),
                       std::numeric_limits<T>::quiet_NaN()};
  return choices[random() % 8 < 6 ? random() % 4 : 4 + random() % 4];
}

// A random matrix of n rows and m columns (each below its bound) with a tolerance to match.
template <typename T>
struct HardCase {
  int n;
  int m;
  T tolerance;
  std::vector<T> data;
};

template <typename T>
HardCase<T> DrawHardCase(std::mt19937& random, int row_bound, int column_bound) {
  const int n = static_cast<int>(random() % row_bound);
  const int m = static_cast<int>(random() % column_bound);
  const T tolerance = RandomTolerance<T>(random);
  return {n, m, tolerance, HardMatrix<T>(random, n, m, tolerance)};
}

// The sort method's grouping through its pipeline, as the driver runs it, on `threads` threads.
template <bool Stable, typename T>
reference::Grouping FastSortMethod(const T* data, int n, int m, T tolerance, int threads) {
  reference::Grouping result{{}, std::vector<int>(n)};
  const auto storage = [&result](int k) {
    result.representatives.resize(k);
    return result.representatives.data();
  };
  rilo::UniqueRowsBySorting(data, n, m, tolerance, Stable, result.inverse.data(), storage, threads);
  return result;
}

// True when the sort method through records on `threads` threads groups like the reference, in
// both modes.
template <typename T>
bool GroupsAsReference(const std::vector<T>& data, int n, int m, T tolerance, int threads = 1) {
  return FastSortMethod<true>(data.data(), n, m, tolerance, threads) == reference::SortMethod<true>(data.data(), n, m, tolerance) &&
         FastSortMethod<false>(data.data(), n, m, tolerance, threads) == reference::SortMethod<false>(data.data(), n, m, tolerance);
}

// True when ArgSortAlongHeight on the identity gives the reference index sort's permutation.
template <bool Stable, typename T>
bool SortsAsReference(const std::vector<T>& data, int n, int m, T tolerance) {
  rilo::IndexVector<int> ids(n);
  std::iota(ids.begin(), ids.end(), 0);
  rilo::internal::ArgSortAlongHeight<Stable>(data.data(), n, m, tolerance, ids);
  return ids == reference::ArgSortAlongHeight<Stable>(data.data(), n, m, tolerance);
}

template <typename T>
void SortMethodMatchesReference() {
  std::mt19937 random(11);
  int mismatches = 0;
  for (int trial = 0; trial < kCasesPerType; ++trial) {
    const auto [n, m, tolerance, data] = DrawHardCase<T>(random, kMaxRows, 6);
    mismatches += !GroupsAsReference(data, n, m, tolerance);
  }
  Check(mismatches == 0, std::to_string(mismatches) + " random inputs grouped differently");
}

template <typename T>
void ArgSortAlongHeightMatchesReference() {
  std::mt19937 random(12);
  int mismatches = 0;
  for (int trial = 0; trial < kCasesPerType; ++trial) {
    const auto [n, m, tolerance, data] = DrawHardCase<T>(random, 300, 5);
    rilo::IndexVector<int> ids(n);
    std::iota(ids.begin(), ids.end(), 0);
    std::shuffle(ids.begin(), ids.end(), random);
    rilo::IndexVector<int> expected = ids;
    // Structured bindings are named through plain references: clang 14 cannot capture them.
    const T* rows = data.data();
    const int width = m;
    const T row_tolerance = tolerance;
    rilo::internal::StableSort(expected.begin(), expected.end(), [&](int a, int b) {
      return reference::TolerantRowLess(rows + a * width, rows + b * width, width, row_tolerance);
    }, 1);
    rilo::internal::ArgSortAlongHeight<true>(data.data(), n, m, tolerance, ids);
    mismatches += ids != expected;
  }
  Check(mismatches == 0, std::to_string(mismatches) + " shuffled permutations ordered differently");
}

// Values for the argsort: few distinct values (many ties), both zeros, subnormals,
// infinities and, in some cases, NaN.
template <typename T>
std::vector<T> HardValues(std::mt19937& random, int n, bool with_nan) {
  using Limits = std::numeric_limits<T>;
  const T specials[] = {T{0}, -T{0}, Limits::denorm_min(), -Limits::denorm_min(), Limits::infinity(),
                        -Limits::infinity(), Limits::max(), Limits::lowest(), Limits::min(), T{1}, T{-1}};
  const int distinct = 1 + static_cast<int>(random() % 2000);
  std::vector<T> values(n);
  for (T& value : values) {
    const unsigned roll = random() % 100;
    value = roll < 10 ? specials[random() % 11]
            : roll < 12 && with_nan ? Limits::quiet_NaN()
                                     : static_cast<T>(static_cast<int>(random() % distinct) - distinct / 2) / T{7};
  }
  return values;
}

template <typename T>
void ArgSortMatchesReference() {
  std::mt19937 random(13);
  int mismatches = 0;
  int radix_sized = 0;
  for (int trial = 0; trial < kCasesPerType; ++trial) {
    const int n = static_cast<int>(random() % kMaxRows);
    const std::vector<T> values = HardValues<T>(random, n, trial % 4 == 0);
    mismatches += rilo::ArgSort<int>(values) != reference::ArgSort(values);
    radix_sized += n >= static_cast<int>(rilo::internal::kRadixMinValues);
  }
  Check(mismatches == 0, std::to_string(mismatches) + " argsorts differ from the stable comparison sort");
  Check(radix_sized > kCasesPerType / 2, "too few inputs reached the radix sort");
}

// Values in nested clusters, so that the radix sort's buckets are too large to sort in the
// cache at more than one level: a few far outliers (and NaN), strays between the clusters, then
// three clusters far apart, each of four sub-clusters, each holding only a thousand distinct
// values (ties to keep stable).
template <typename T>
std::vector<T> NestedClusters(std::mt19937& random, int n) {
  std::vector<T> values(n);
  for (T& value : values) {
    const unsigned roll = random() % 1000;
    if (roll < 4) {
      value = roll < 2 ? T(roll == 0 ? 1e30 : -1e30) : std::numeric_limits<T>::quiet_NaN();
      continue;
    }
    if (roll == 4 && random() % 8 == 0) {  // rare strays between the clusters: buckets of one
      value = T(1) + static_cast<T>(random() % 3072) * T(0x1p-18);
      continue;
    }
    const T cluster = static_cast<T>(random() % 3) * T(0x1p-8);
    const T sub_cluster = static_cast<T>(random() % 4) * T(sizeof(T) == 4 ? 0x1p-14 : 0x1p-30);
    const T offset = static_cast<T>(random() % 1000) * T(sizeof(T) == 4 ? 0x1p-23 : 0x1p-50);
    value = T(1) + cluster + sub_cluster + offset;
  }
  return values;
}

template <typename T>
void ArgSortOfNestedClustersMatchesReference() {
  std::mt19937 random(15);
  const int n = 14 * static_cast<int>(rilo::internal::kCachedSortMaxValues);
  const std::vector<T> values = NestedClusters<T>(random, n);
  const std::vector<int> expected = reference::ArgSort(values);
  for (int threads = 1; threads <= 3; ++threads) {
    rilo::internal::LargeVector<rilo::internal::KeyOf<T>> keys(n);
    for (int i = 0; i < n; ++i) keys[i] = rilo::internal::OrderedKey(values[i]);
    rilo::NeverStop never;
    const auto order = rilo::internal::SortKeysStably<T, int>(std::move(keys), threads, never).order;
    Check(std::vector<int>(order.begin(), order.end()) == expected,
          "nested clusters on " + std::to_string(threads) + " threads: order differs from the stable comparison sort");
  }
}

template <typename T>
void SweepMatchesReference() {
  std::mt19937 random(14);
  int mismatches = 0;
  for (int trial = 0; trial < kCasesPerType; ++trial) {
    const auto [n, m, tolerance, data] = DrawHardCase<T>(random, kMaxRows, 6);
    mismatches += !reference::SweepsAgree(data, n, m, tolerance);
  }
  Check(mismatches == 0, std::to_string(mismatches) + " sweeps differ from the straightforward sweep");
}

// A double drawn across the whole range: ordinary sizes, subnormals, values beyond float's
// range, infinities, NaN and signed zeros.
double AnyDouble(std::mt19937& random) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  switch (random() % 8) {
    case 0: return std::ldexp(unit(random), static_cast<int>(random() % 2100) - 1075);
    case 2: return std::ldexp(unit(random), static_cast<int>(random() % 40) - 160);  // float subnormals
    case 1: return std::vector<double>{0.0, -0.0, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                       std::numeric_limits<double>::quiet_NaN(), 3.5e38, -3.5e38, 3.4028234e38}[random() % 8];
    default: return std::ldexp(unit(random), static_cast<int>(random() % 40) - 20);
  }
}

// The float copies of double columns decide a column only as the exact comparison does, on
// pairs placed at, just inside and just outside the tolerance and on arbitrary pairs; and they
// do decide most of the ordinary pairs.
void SecondValuesDecideAsTheExactComparison() {
  std::mt19937 random(15);
  int wrong = 0;
  int decided = 0;
  const int trials = 400000;
  for (int trial = 0; trial < trials; ++trial) {
    double tolerance = random() % 10 == 0 ? AnyDouble(random) : std::ldexp(1.0 + (random() % 1000) / 1000.0, -(static_cast<int>(random() % 30)));
    const double a = AnyDouble(random);
    double b = random() % 2 ? AnyDouble(random) : a + (static_cast<int>(random() % 5) - 2) * tolerance * (random() % 2 ? 1.0 : 0.5);
    for (int ulps = static_cast<int>(random() % 7) - 3; ulps != 0; ulps += ulps > 0 ? -1 : 1) {
      b = std::nextafter(b, ulps > 0 ? 1e308 : -1e308);
    }
    if (random() % 3 == 0) {
      // A tolerance within a few ulps of the difference itself, at whatever scale it has.
      tolerance = std::abs(a - b);
      for (int ulps = static_cast<int>(random() % 7) - 3; ulps != 0; ulps += ulps > 0 ? -1 : 1) {
        tolerance = std::nextafter(tolerance, ulps > 0 ? 1e308 : 0.0);
      }
    }
    const int exact = reference::ColumnOrder(a, b, tolerance);
    const auto order = rilo::internal::CompareSecond(rilo::internal::SecondValue(a, tolerance),
                                                     rilo::internal::SecondValue(b, tolerance), tolerance);
    using Order = rilo::internal::SecondOrder;
    wrong += (order == Order::kWithin && exact != 0) || (order == Order::kLess && exact != -1) ||
             (order == Order::kGreater && exact != 1);
    decided += order != Order::kUnknown;
  }
  Check(wrong == 0, std::to_string(wrong) + " columns decided unlike the exact comparison");
  Check(decided > trials / 4, "the float copies decided only " + std::to_string(decided) + " columns");
}

// The second values of float rows are the values themselves and decide every column exactly
// as the reference comparison does, NaN, infinities and signed zeros included.
void FloatSecondValuesDecideExactly() {
  std::mt19937 random(16);
  int wrong = 0;
  for (int trial = 0; trial < 100000; ++trial) {
    const float tolerance = static_cast<float>(random() % 10 == 0 ? AnyDouble(random) : std::ldexp(1.0, -static_cast<int>(random() % 30)));
    const float a = static_cast<float>(AnyDouble(random));
    const float b = random() % 4 ? static_cast<float>(AnyDouble(random)) : random() % 2 ? a : -a;
    const auto order = rilo::internal::CompareSecond(rilo::internal::SecondValue(a, tolerance),
                                                     rilo::internal::SecondValue(b, tolerance), tolerance);
    const int exact = reference::ColumnOrder(a, b, tolerance);
    using Order = rilo::internal::SecondOrder;
    wrong += order != (exact == 0 ? Order::kWithin : exact < 0 ? Order::kLess : Order::kGreater);
  }
  Check(wrong == 0, std::to_string(wrong) + " float columns decided unlike the exact comparison");
}

// Large inputs, on which the sorts run their independent steps on 1 to 4 threads, group exactly
// as the single-threaded index sorts do: hard matrices, and shuffled near-duplicates whose first
// column is spaced about one tolerance apart, so that ties chain without being transitive.
template <typename T>
void ParallelSortsMatchReference() {
  std::mt19937 random(18);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int minimum = static_cast<int>(rilo::internal::kParallelMinimum);
  int mismatches = 0;
  for (int trial = 0; trial < 16; ++trial) {
    const int n = minimum + static_cast<int>(random() % (2 * minimum));
    const int m = 1 + static_cast<int>(random() % 4);
    // A positive tolerance: ties then chain through the grids of the hard matrices.
    T tolerance = std::vector<T>{T{1}, T{0.5}, T{0.25}}[random() % 3];
    std::vector<T> data = HardMatrix<T>(random, n, m, tolerance);
    if (trial % 4 == 3) {
      tolerance = static_cast<T>(1.0 / n);
      for (int row = 0; row < n; ++row) {
        for (int column = 0; column < m; ++column) {
          data[row * m + column] = row % 2 == 1 && row > 1 ? data[(random() % (row - 1)) * m + column] + static_cast<T>(tolerance * 1e-3 * (unit(random) - 0.5))
                                                           : static_cast<T>(unit(random));
        }
      }
    }
    mismatches += !GroupsAsReference(data, n, m, tolerance, 1 + trial % 4);
    // The permutations themselves, which near the tolerance depend on every step of the sorts.
    mismatches += !SortsAsReference<false>(data, n, m, tolerance) + !SortsAsReference<true>(data, n, m, tolerance);
  }
  Check(mismatches == 0, std::to_string(mismatches) + " large inputs sorted or grouped differently");
}

// The grouping test through records (and third values, in half the cases with three or more
// columns) answers as the test on the rows themselves, on pairs of rows placed at, just inside
// and just outside the tolerance, with special values mixed in.
template <typename T>
void RecordsMatchAsTheRows() {
  std::mt19937 random(19);
  int wrong = 0;
  for (int trial = 0; trial < 200000; ++trial) {
    const int m = 1 + static_cast<int>(random() % 4);
    const T tolerance = random() % 10 == 0 ? static_cast<T>(AnyDouble(random)) : static_cast<T>(std::ldexp(1.0, -static_cast<int>(random() % 30)));
    std::vector<T> rows(2 * m);
    for (int column = 0; column < m; ++column) {
      const T a = static_cast<T>(AnyDouble(random));
      T b = random() % 3 == 0 ? static_cast<T>(AnyDouble(random)) : static_cast<T>(a + (static_cast<int>(random() % 5) - 2) * tolerance * (random() % 2 ? 1.0 : 0.5));
      for (int ulps = static_cast<int>(random() % 5) - 2; ulps != 0; ulps += ulps > 0 ? -1 : 1) {
        b = std::nextafter(b, ulps > 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::lowest());
      }
      rows[column] = a;
      rows[m + column] = random() % 4 == 0 ? a : b;
    }
    const auto record_a = rilo::internal::RecordOf(rows.data(), m, tolerance, 0);
    const auto record_b = rilo::internal::RecordOf(rows.data(), m, tolerance, 1);
    rilo::internal::ThirdPair thirds;
    if (m >= 3 && random() % 2) {
      thirds = {true, rilo::internal::SecondValue(rows[2], tolerance), rilo::internal::SecondValue(rows[m + 2], tolerance)};
    }
    wrong += rilo::internal::RecordsMatch(record_a, record_b, rows.data(), m, tolerance, thirds) !=
             rilo::internal::RowsMatch(rows.data(), rows.data() + m, m, tolerance);
  }
  Check(wrong == 0, std::to_string(wrong) + " pairs matched unlike their rows");
}

// Ids the bitmap cannot order (beyond num_ids + num_inverse, negative, or repeated) still come
// out ascending, and distinct ones renumber the inverse as the comparison sort does.
void RenumberingFallsBackForIdsOutsideTheBitmap() {
  const std::vector<std::vector<int>> cases{{17, 2, 5, 0, 3}, {3, -1, 2, 4, 0}, {9, 3, 9, 1, 3}, {0, 0, 0, 0, 0}};
  for (std::vector<int> ids : cases) {
    std::vector<int> inverse{0, 1, 2, 3, 4, 1, 0};
    std::vector<int> expected_ids = ids;
    std::vector<int> expected_inverse = inverse;
    reference::SortIdsAndInverse(5, expected_ids.data(), 7, expected_inverse.data());
    rilo::SortIdsAndInverse(5, ids.data(), 7, inverse.data());
    Check(ids == expected_ids, "ids differ from the comparison sort");
    if (std::adjacent_find(expected_ids.begin(), expected_ids.end()) == expected_ids.end()) {
      Check(inverse == expected_inverse, "inverse differs from the comparison sort");
    }
  }
}

const bool registered = rilo_test::AddTests({
    {"sort method through records matches the index sort (double)", SortMethodMatchesReference<double>},
    {"sort method through records matches the index sort (float)", SortMethodMatchesReference<float>},
    {"argsort along height on a shuffled permutation (double)", ArgSortAlongHeightMatchesReference<double>},
    {"argsort along height on a shuffled permutation (float)", ArgSortAlongHeightMatchesReference<float>},
    {"radix argsort matches the stable comparison sort (double)", ArgSortMatchesReference<double>},
    {"radix argsort matches the stable comparison sort (float)", ArgSortMatchesReference<float>},
    {"radix argsort of nested clusters matches the stable comparison sort (double)",
     ArgSortOfNestedClustersMatchesReference<double>},
    {"radix argsort of nested clusters matches the stable comparison sort (float)",
     ArgSortOfNestedClustersMatchesReference<float>},
    {"sweep matches the straightforward sweep (double)", SweepMatchesReference<double>},
    {"sweep matches the straightforward sweep (float)", SweepMatchesReference<float>},
    {"parallel sorts group as the index sorts on large inputs (double)", ParallelSortsMatchReference<double>},
    {"parallel sorts group as the index sorts on large inputs (float)", ParallelSortsMatchReference<float>},
    {"grouping through records matches the rows (double)", RecordsMatchAsTheRows<double>},
    {"grouping through records matches the rows (float)", RecordsMatchAsTheRows<float>},
    {"renumbering falls back for ids outside the bitmap", RenumberingFallsBackForIdsOutsideTheBitmap},
    {"float copies of double columns decide as the exact comparison", SecondValuesDecideAsTheExactComparison},
    {"second values of float columns decide exactly", FloatSecondValuesDecideExactly},
});

}  // namespace
