// The sweep on inputs whose rows share their row sums, so that windows hold many rows and are
// searched through the grid, against the straightforward sweep; and distances decided where
// the squared tolerance overflows or underflows.
#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/huge_page_allocator.h"
#include "check.h"
#include "projection_sweep/uff.h"
#include "sweep_reference.h"

namespace {

using rilo_test::Check;

constexpr int kCasesPerType = 400;

// Rows whose sums agree (up to rounding) on a lattice of `step`: probability-like vectors
// (non-negative, fixed sum), centred rows (sum 0), the pairs (x, -x, y, -y, ...), and chains
// moving by steps near the tolerance in a direction of sum 0 that lies mostly in column 0; in some inputs every value moved by
// up to a tenth of a step (sums then agree to within a few tenths of the tolerance); then exact
// duplicates, copies a few ulps away and a sprinkle of NaN, infinities and huge values.
template <typename T>
std::vector<T> SharedSumRows(std::mt19937& random, int n, int m, double step) {
  std::vector<T> data(static_cast<size_t>(n) * m);
  const int kind = static_cast<int>(random() % 4);
  const double chain_step = step * std::vector<double>{0.5, 0.7, 0.99, 1.0, 1.01}[random() % 5];
  const double jitter = random() % 2 ? 0.2 * step : 0.0;
  std::uniform_real_distribution<double> centred(-0.5, 0.5);
  for (int row = 0; row < n; ++row) {
    T* out = data.data() + static_cast<size_t>(row) * m;
    std::vector<double> values(m, 0.0);
    if (kind == 0) {
      int left = 12;  // lattice points of the simplex with sum 12 * step
      for (int c = 0; c + 1 < m; ++c) left -= (values[c] = random() % (left + 1));
      if (m > 0) values[m - 1] = left;
      for (double& value : values) value *= step;
    } else if (kind == 1) {
      double mean = 0;
      for (double& value : values) mean += (value = (static_cast<int>(random() % 7) - 3) * step);
      for (double& value : values) value -= mean / m;
    } else if (kind == 2) {
      for (int c = 0; c + 1 < m; c += 2) {
        values[c] = (static_cast<int>(random() % 9) - 4) * step;
        values[c + 1] = -values[c];
      }
    } else if (m > 0) {
      // Along (1, -1/(m-1), ..., -1/(m-1)), normalised: most of each step lies in column 0.
      const double along = (random() % n) * chain_step;
      const double norm = m > 1 ? std::sqrt(1.0 + 1.0 / (m - 1)) : 1.0;
      values[0] = along / norm;
      for (int c = 1; c < m; ++c) values[c] = -along / norm / (m - 1);
    }
    for (int c = 0; c < m; ++c) out[c] = static_cast<T>(values[c] + jitter * centred(random));
  }
  for (int row = 1; row < n; ++row) {
    T* out = data.data() + static_cast<size_t>(row) * m;
    const unsigned roll = random() % 10;
    if (roll < 3) std::copy_n(data.data() + static_cast<size_t>(random() % row) * m, m, out);
    for (int c = 0; c < m && roll == 3; ++c) {
      out[c] = std::nextafter(out[c], random() % 2 ? std::numeric_limits<T>::infinity() : -std::numeric_limits<T>::infinity());
    }
    if (roll == 4 && m > 0 && random() % 4 == 0) {
      const T specials[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                            -std::numeric_limits<T>::infinity(), std::numeric_limits<T>::max(),
                            std::numeric_limits<T>::lowest()};
      out[random() % m] = specials[random() % 5];
    }
  }
  return data;
}

// The largest number of rows after an opening row whose sum lies within `tolerance` of its own,
// over all rows, in the reference's order.
template <typename T>
int LargestWindow(const std::vector<T>& data, int n, int m, T tolerance) {
  std::vector<T> sums(n, T{0});
  for (int row = 0; row < n && m > 0; ++row) {
    T sum = data[static_cast<size_t>(row) * m];
    for (int c = 1; c < m; ++c) sum += data[static_cast<size_t>(row) * m + c];
    sums[row] = sum;
  }
  const std::vector<int> order = reference::ArgSort(sums);
  int largest = 0;
  for (int p = 0; p < n; ++p) {
    int end = p + 1;
    while (end < n && sums[order[end]] - sums[order[p]] < tolerance) ++end;
    largest = std::max(largest, end - p - 1);
  }
  return largest;
}

// A tolerance for the random cases: mostly ordinary, sometimes infinite, or scaled (with the
// data) by a power of two that makes its square overflow or underflow.
template <typename T>
T DrawTolerance(std::mt19937& random, int& scale) {
  const int exponent_range = std::numeric_limits<T>::max_exponent;
  scale = 0;
  switch (random() % 8) {
    case 0: return std::numeric_limits<T>::infinity();
    case 1: scale = exponent_range / 2 + 4 + static_cast<int>(random() % 8); break;
    case 2: scale = -(exponent_range / 2 + 30 + static_cast<int>(random() % 8)); break;
    default: break;
  }
  return std::ldexp(T{1}, scale) * std::vector<T>{T(0.1), T(0.5), T(1), T(1.7)}[random() % 4];
}

template <typename T>
void SweepMatchesReferenceOnSharedSums() {
  std::mt19937 random(21);
  int mismatches = 0;
  int searched = 0;
  int rescaled = 0;
  const int max_rows = 2 * rilo::internal::kGridMinWindowValues;
  for (int trial = 0; trial < kCasesPerType; ++trial) {
    const int n = static_cast<int>(random() % max_rows);
    const int m = 1 + static_cast<int>(random() % 6);
    int scale = 0;
    const T tolerance = DrawTolerance<T>(random, scale);
    const double step = (std::isinf(tolerance) ? 1.0 : static_cast<double>(std::ldexp(tolerance, -scale))) *
                        std::vector<double>{0.3, 0.6, 1.0 / std::sqrt(2.0), 1.0}[random() % 4];
    std::vector<T> data = SharedSumRows<T>(random, n, m, step);
    for (T& value : data) value = std::ldexp(value, scale);
    mismatches += !reference::SweepsAgree(data, n, m, tolerance);
    searched += m > 1 && std::isfinite(tolerance) &&
                LargestWindow(data, n, m, tolerance) * m >= rilo::internal::kGridMinWindowValues;
    rescaled += scale != 0;
  }
  Check(mismatches == 0, std::to_string(mismatches) + " sweeps differ from the straightforward sweep");
  Check(searched > kCasesPerType / 3, "only " + std::to_string(searched) + " inputs had windows large enough for the grid");
  Check(rescaled > kCasesPerType / 8, "only " + std::to_string(rescaled) + " inputs had a squared tolerance out of range");
}

// Clusters of rows sharing their sum, the clusters' sums apart by more than the tolerance:
// the grid files one run of positions per cluster, and each run's first query comes from an
// opening it has not filed. Rows lie on a lattice of 0.4 tolerance (exact distances, -0 and
// +0), a third of them copied exactly or a few ulps away.
template <typename T>
std::vector<T> ClusteredSharedSums(std::mt19937& random, int clusters, int rows_per_cluster, int m, T tolerance) {
  std::vector<T> data;
  for (int cluster = 0; cluster < clusters; ++cluster) {
    const double sum = 3.0 * cluster * static_cast<double>(tolerance);
    for (int row = 0; row < rows_per_cluster; ++row) {
      std::vector<double> values(m);
      double rest = sum;
      for (int c = 0; c + 1 < m; ++c) rest -= (values[c] = (static_cast<int>(random() % 21) - 10) * 0.4 * tolerance);
      values[m - 1] = rest;
      for (double value : values) data.push_back(static_cast<T>(value == 0 && random() % 2 ? -0.0 : value));
      if (random() % 3 == 0) {
        const std::size_t copied = m * (random() % (data.size() / m));
        const std::vector<T> original(data.begin() + copied, data.begin() + copied + m);
        for (T value : original) data.push_back(random() % 2 ? value : std::nextafter(value, T{0}));
      }
    }
  }
  return data;
}

// Checks that `data` (rows of m values) has a window large enough for the grid under
// `tolerance` and that the sweep of it matches the straightforward sweep.
template <typename T>
void CheckGridSweep(const std::vector<T>& data, int m, T tolerance) {
  const int n = static_cast<int>(data.size()) / m;
  Check(LargestWindow(data, n, m, tolerance) * m >= rilo::internal::kGridMinWindowValues,
        "the windows are too small for the grid, m = " + std::to_string(m));
  Check(reference::SweepsAgree(data, n, m, tolerance), "sweep differs from the straightforward sweep, m = " + std::to_string(m));
}

template <typename T>
void SweepMatchesReferenceAcrossClusters() {
  std::mt19937 random(8);
  for (int m : {2, 3, 5, 9, 17}) {
    const T tolerance = T(0.5);
    CheckGridSweep(ClusteredSharedSums<T>(random, 4, 2 * rilo::internal::kGridMinWindowValues / m, m, tolerance), m,
                   tolerance);
  }
}

// Rows of sum 0 spread over a range hundreds of tolerances wide, so that the grid needs fewer
// than its most columns to spread them thin, each copied once or twice at a distance below the
// tolerance in a random direction: copies straddle cell edges in every column.
template <typename T>
std::vector<T> SpreadRowsWithCopies(std::mt19937& random, int bases, int m, T tolerance) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<T> data;
  for (int base = 0; base < bases; ++base) {
    std::vector<double> values(m);
    double mean = 0;
    for (double& value : values) mean += (value = normal(random) * 300 * static_cast<double>(tolerance));
    for (double& value : values) value -= mean / m;
    const int copies = 1 + static_cast<int>(random() % 3);
    for (int copy = 0; copy < copies; ++copy) {
      std::vector<double> direction(m);
      double norm = 0;
      for (double& d : direction) {
        d = normal(random);
        norm += d * d;
      }
      const double radius = (copy == 0 ? 0.0 : 0.9 + 0.2 * (random() % 2)) * static_cast<double>(tolerance);
      for (int c = 0; c < m; ++c) data.push_back(static_cast<T>(values[c] + radius * direction[c] / std::sqrt(norm)));
    }
  }
  return data;
}

template <typename T>
void SweepMatchesReferenceWithFewerGridColumns() {
  std::mt19937 random(31);
  for (int m : {4, 6, 9}) {
    const T tolerance = T(0.25);
    CheckGridSweep(SpreadRowsWithCopies<T>(random, 500, m, tolerance), m, tolerance);
  }
}

// Rows whose sums climb by a five-hundredth of the tolerance, so that each window holds about
// 500 rows and slides over thousands (the grid's table keeps filling with cells the sweep has
// passed and is filed afresh again and again), with a few jumps in the sums where a window
// empties. Free columns lie on a lattice of 0.4 tolerance thousands of tolerances wide, so
// that nearly every row has a grid cell of its own; a third of the rows copy a recent
// row exactly, a few ulps away, or moved by 0.6 tolerance along (1, -1), which keeps the sum.
template <typename T>
std::vector<T> SlidingWindowRows(std::mt19937& random, int n, int m, T tolerance) {
  std::vector<T> data;
  double sum = 0;
  for (int row = 0; row < n; ++row) {
    sum += (random() % 2000 == 0 ? 3.0 : 0.002) * static_cast<double>(tolerance);
    std::vector<double> values(m);
    double rest = sum;
    for (int c = 0; c + 1 < m; ++c) rest -= (values[c] = (static_cast<int>(random() % 20001) - 10000) * 0.4 * tolerance);
    values[m - 1] = rest;
    const unsigned roll = random() % 9;
    if (roll < 3 && row > 0) {
      const std::size_t copied = static_cast<std::size_t>(m) * (row - 1 - random() % std::min(row, 50));
      for (int c = 0; c < m; ++c) values[c] = static_cast<double>(data[copied + c]);
      if (roll == 1) values[0] = static_cast<double>(std::nextafter(static_cast<T>(values[0]), T{0}));
      if (roll == 2) {
        values[0] += 0.6 * static_cast<double>(tolerance);
        values[1] -= 0.6 * static_cast<double>(tolerance);
      }
    }
    for (double value : values) data.push_back(static_cast<T>(value));
  }
  return data;
}

template <typename T>
void SweepMatchesReferenceOnSlidingWindows() {
  std::mt19937 random(44);
  for (int m : {2, 3, 5}) {
    const T tolerance = T(0.5);
    CheckGridSweep(SlidingWindowRows<T>(random, 20000, m, tolerance), m, tolerance);
  }
}

// Blocks below and from the huge-page size class: every value written is read back, blocks of
// the large class are aligned to huge pages, and growing across the class boundary keeps the
// values.
void HugePageAllocatorKeepsValues() {
  using Allocator = rilo::internal::HugePageAllocator<std::uint64_t>;
  const std::size_t boundary = rilo::internal::kHugePageMinBytes / sizeof(std::uint64_t);
  for (std::size_t count : {std::size_t{1}, boundary - 1, boundary, boundary + 3}) {
    std::vector<std::uint64_t, Allocator> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = i * 0x9E3779B97F4A7C15ull;
    if (count >= boundary) {
      Check(reinterpret_cast<std::uintptr_t>(values.data()) % rilo::internal::kHugePageBytes == 0,
            "a large block is not aligned to huge pages, count = " + std::to_string(count));
    }
    values.resize(2 * count + 1);
    bool kept = true;
    for (std::size_t i = 0; i < count; ++i) kept = kept && values[i] == i * 0x9E3779B97F4A7C15ull;
    Check(kept, "values lost on growth, count = " + std::to_string(count));
  }
}

// One row pair and whether the sweep must merge it.
struct PairCase {
  double a0, a1, b0, b1;
  double tolerance;
  bool merged;
};

// Runs UniqueRowsBySweeping on the two rows of each case and checks k.
template <typename T>
void CheckPairs(const std::vector<PairCase>& cases, const std::string& what) {
  for (const PairCase& c : cases) {
    const std::vector<T> data{T(c.a0), T(c.a1), T(c.b0), T(c.b1)};
    const std::vector<T> direction{T{1}, T{1}};
    std::vector<int> index(2);
    std::vector<int> inverse(2);
    const int k = rilo::UniqueRowsBySweeping(data.data(), 2, 2, direction.data(), T(c.tolerance), true,
                                             inverse.data(), [&index](int) { return index.data(); }, 1,
                                             rilo::NeverStop{});
    Check(k == (c.merged ? 1 : 2), what + ": rows (" + std::to_string(c.a0) + ", " + std::to_string(c.a1) +
                                       ") and (" + std::to_string(c.b0) + ", " + std::to_string(c.b1) +
                                       ") with tolerance " + std::to_string(c.tolerance));
  }
}

// Rows at distances on either side of tolerances whose squares overflow or underflow in T: a
// huge tolerance H (H^2 overflows), a tiny one h (h^2 underflows to 0), and infinity.
template <typename T>
void DistancesAtEveryMagnitude() {
  const double huge = std::is_same_v<T, float> ? 3e19 : 3e154;
  const double tiny = std::is_same_v<T, float> ? 1e-23 : 1e-170;
  const double big = std::numeric_limits<T>::max() / 2;
  const double inf = std::numeric_limits<double>::infinity();
  CheckPairs<T>({{0, 0, 0, 2 * huge / 3, huge, true},
                 {0, 0, 0.7 * huge, -0.7 * huge, huge, true},       // distance 0.99 H
                 {0, 0, 0.72 * huge, -0.72 * huge, huge, false},    // distance 1.02 H
                 {big, -big, -big, big, huge, false},
                 {big, -big, -big, big, inf, true},
                 {big, -big, big, -big, inf, true}},
                "huge and infinite tolerances");
  CheckPairs<T>({{tiny, 2 * tiny, tiny, 2 * tiny, tiny, true},          // exact duplicates
                 {0, 0, 0.7 * tiny, -0.7 * tiny, tiny, true},
                 {0, 0, 0.72 * tiny, -0.72 * tiny, tiny, false},
                 {0, 0, 1e-3, -1e-3, tiny, false},
                 {0, 0, big, -big, tiny, false}},                       // scaled difference overflows
                "tiny tolerances");
  CheckPairs<T>({{0, 0, 0.7, -0.7, 1, true}, {0, 0, 0.72, -0.72, 1, false}}, "ordinary tolerance");
}

// Rows (x, -x) of sum 0: thousands at x = +-1, four at +-1e300, and chains within the
// tolerance 1e-13 around x = +-16, where the cell coordinates are clamped: the huge rows are
// outliers, so the side is 16 / 2^44 and the rows from +-16 on share the outermost cells.
template <typename T>
void SweepMatchesReferenceAcrossTheClamp() {
  std::mt19937 random(40);
  std::vector<T> data;
  const auto add = [&data](double x) { data.insert(data.end(), {static_cast<T>(x), static_cast<T>(-x)}); };
  for (int row = 0; row < 3000; ++row) add(random() % 2 ? 1.0 : -1.0);
  for (double huge : {1e300, -1e300, 1e300, -1e300}) add(huge);
  for (int step = -6; step <= 6; ++step) {
    for (double sign : {1.0, -1.0}) add(sign * (16 + step * 8 * 0x1p-48));  // 8 ulps of 16 a step
  }
  std::vector<int> order(data.size() / 2);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), random);
  // First in sweep order (sums tie, rows follow their index): a row just inside the clamp that
  // must find its copy just beyond it.
  std::vector<T> shuffled{T(16 - 0x1p-45), T(-(16 - 0x1p-45)), T(16 + 0x1p-45), T(-(16 + 0x1p-45))};
  for (const int row : order) shuffled.insert(shuffled.end(), {data[2 * row], data[2 * row + 1]});
  const int n = static_cast<int>(shuffled.size() / 2);
  Check(rilo::internal::LargestBelowOutliers(shuffled.data(), n, 2, 0, 1e300) == 16,
        "values beyond 16 are outliers");
  CheckGridSweep(shuffled, 2, T(1e-13));
}

template <typename T>
std::vector<rilo_test::TestCase> TestsFor(const std::string& type) {
  return {
      {"sweep on shared row sums matches the straightforward sweep (" + type + ")", SweepMatchesReferenceOnSharedSums<T>},
      {"distances decided at every magnitude (" + type + ")", DistancesAtEveryMagnitude<T>},
      {"sweep across clusters of shared sums matches the straightforward sweep (" + type + ")",
       SweepMatchesReferenceAcrossClusters<T>},
      {"sweep on rows spread thin over fewer grid columns matches the straightforward sweep (" + type + ")",
       SweepMatchesReferenceWithFewerGridColumns<T>},
      {"sweep on windows sliding over many rows matches the straightforward sweep (" + type + ")",
       SweepMatchesReferenceOnSlidingWindows<T>},
      {"sweep across the clamp of cell coordinates matches the straightforward sweep (" + type + ")",
       SweepMatchesReferenceAcrossTheClamp<T>},
  };
}

const bool registered = rilo_test::AddTests(TestsFor<float>("float")) && rilo_test::AddTests(TestsFor<double>("double")) &&
                        rilo_test::AddTests({{"huge-page allocator keeps values across size classes", HugePageAllocatorKeepsValues}});

}  // namespace
