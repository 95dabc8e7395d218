// Tests of the projection argsort and the projection sweep, called directly.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "projection_sweep/arg_sort.h"
#include "projection_sweep/uff.h"

namespace {

using rilo_test::Check;

// Written into every output buffer before a sweep, to see which entries it leaves alone.
constexpr int kUntouchedIndex = -777;

std::vector<int> Iota(int n) {
  std::vector<int> ids(n);
  std::iota(ids.begin(), ids.end(), 0);
  return ids;
}

template <typename T>
void ArgSortSmallCases() {
  Check(rilo::ArgSort<int>(std::vector<T>{}).empty(), "empty input gives an empty order");
  Check(rilo::ArgSort<int>(std::vector<T>{T(4)}) == std::vector<int>{0}, "one value");
  Check(rilo::ArgSort<int>(std::vector<T>(7, T(-2.5))) == Iota(7), "all equal keeps input order");
  Check(rilo::ArgSort<int>(std::vector<T>{2.0, 1.0, 2.0, 0.5}) == std::vector<int>{3, 1, 0, 2},
        "ascending, tie by lower position");
  Check(rilo::ArgSort<int>(std::vector<T>{0.0, -0.0}) == std::vector<int>{0, 1},
        "+0 and -0 are equal and keep their order");
  Check(rilo::ArgSort<int>(std::vector<T>{-0.0, 0.0}) == std::vector<int>{0, 1},
        "-0 and +0 are equal and keep their order");
}

// Checks that `order` sorts `values` ascending with equal values in ascending position.
template <typename T>
void CheckStableAscending(const std::vector<T>& values, const std::vector<int>& order) {
  bool ok = order.size() == values.size();
  for (std::size_t p = 1; ok && p < order.size(); ++p) {
    const T before = values[order[p - 1]];
    const T after = values[order[p]];
    ok = before < after || (before == after && order[p - 1] < order[p]);
  }
  Check(ok, "order is not ascending and stable");
}

template <typename T>
void ArgSortIsStableOnManyDuplicates() {
  std::mt19937 random(12);
  std::uniform_int_distribution<int> small(-5, 5);
  for (int n : {2, 15, 16, 17, 100, 1000}) {
    std::vector<T> values(n);
    for (T& value : values) value = T(small(random)) / T(4);
    CheckStableAscending(values, rilo::ArgSort<int>(values));
  }
}

template <typename T>
void ArgSortPutsNanLast() {
  const T nan = std::numeric_limits<T>::quiet_NaN();
  std::mt19937 random(5);
  std::uniform_int_distribution<int> small(0, 9);
  for (int n : {4, 40, 400, 4000}) {
    std::vector<T> values(n);
    for (T& value : values) value = small(random) < 3 ? nan : T(small(random));
    if (n == 4) values = {0.0, 2.0, nan, 1.0};
    std::vector<int> order = rilo::ArgSort<int>(values);
    const auto first_nan = std::find_if(order.begin(), order.end(), [&](int at) { return std::isnan(values[at]); });
    Check(std::all_of(first_nan, order.end(), [&](int at) { return std::isnan(values[at]); }),
          "a number after a NaN, n = " + std::to_string(n));
    Check(std::is_sorted(first_nan, order.end()), "NaN positions out of order, n = " + std::to_string(n));
    std::sort(order.begin(), order.end());
    Check(order == Iota(n), "not a permutation with NaN present, n = " + std::to_string(n));
  }
}

template <typename T>
struct SweepOutput {
  std::vector<T> rows;
  std::vector<int> index;
  std::vector<int> inverse;
  int k = kUntouchedIndex;
};

// Runs Uff on an n x m matrix with full-size output buffers prefilled with markers.
template <typename T>
SweepOutput<T> Sweep(const std::vector<T>& data, int n, int m, const std::vector<T>& direction,
                     T tolerance, bool sorted_index) {
  SweepOutput<T> out{std::vector<T>(n * m, T(kUntouchedIndex)),
                     std::vector<int>(n, kUntouchedIndex), std::vector<int>(n, 12345)};
  rilo::Uff(data.data(), n, m, direction.data(), tolerance, sorted_index, out.rows.data(),
            out.index.data(), out.k, out.inverse.data());
  return out;
}

// Checks k, the index and inverse, that the first k rows are the indexed input rows and that
// the buffers past k are untouched.
template <typename T>
void CheckSweep(const SweepOutput<T>& out, const std::vector<T>& data, int m,
                const std::vector<int>& index, const std::vector<int>& inverse,
                const std::string& what) {
  const int k = static_cast<int>(index.size());
  Check(out.k == k, what + ": wrong number of groups " + std::to_string(out.k));
  if (out.k != k) return;
  Check(std::vector<int>(out.index.begin(), out.index.begin() + k) == index, what + ": index");
  Check(out.inverse == inverse, what + ": inverse");
  bool rows_ok = true;
  for (int g = 0; g < k; ++g) {
    for (int x = 0; x < m; ++x) rows_ok = rows_ok && out.rows[g * m + x] == data[index[g] * m + x];
  }
  for (std::size_t e = k * m; e < out.rows.size(); ++e) rows_ok = rows_ok && out.rows[e] == T(kUntouchedIndex);
  for (std::size_t g = k; g < out.index.size(); ++g) rows_ok = rows_ok && out.index[g] == kUntouchedIndex;
  Check(rows_ok, what + ": unique rows wrong or buffers written past k");
}

template <typename T>
void SweepWithoutRows() {
  const std::vector<T> none;
  for (bool sorted_index : {false, true}) {
    SweepOutput<T> out = Sweep(none, 0, 3, std::vector<T>(3, T(1)), T(1), sorted_index);
    Check(out.k == 0, "no rows gives no groups");
  }
}

template <typename T>
void SweepOfOneRow() {
  const std::vector<T> row{T(3), T(-1)};
  for (bool sorted_index : {false, true}) {
    CheckSweep(Sweep(row, 1, 2, {T(1), T(1)}, T(0), sorted_index), row, 2, {0}, {0}, "one row");
  }
}

template <typename T>
void TakeoverInBothModes() {
  // Row 1 opens group 0 and claims row 0; row 2 opens group 1 and claims row 0 again.
  const std::vector<T> data{T(0.6), T(-0.3), T(0), T(0), T(1.0), T(-0.8)};
  const std::vector<T> ones{T(1), T(1)};
  CheckSweep(Sweep(data, 3, 2, ones, T(1), false), data, 2, {1, 2}, {1, 0, 1}, "takeover, opening order");
  CheckSweep(Sweep(data, 3, 2, ones, T(1), true), data, 2, {0, 1}, {0, 1, 0}, "takeover, lowest row");
}

template <typename T>
void DirectionDecidesTheWindow() {
  // Distance 0.85 < 1 in every case; only the projection gap differs.
  const std::vector<T> data{T(0), T(0), T(0.6), T(0.6)};
  for (bool sorted_index : {false, true}) {
    CheckSweep(Sweep(data, 2, 2, {T(1), T(1)}, T(1), sorted_index), data, 2, {0, 1}, {0, 1}, "ones");
    CheckSweep(Sweep(data, 2, 2, {T(1), T(0)}, T(1), sorted_index), data, 2, {0}, {0, 0}, "(1, 0)");
    CheckSweep(Sweep(data, 2, 2, {T(1), T(-1)}, T(1), sorted_index), data, 2, {0}, {0, 0}, "(1, -1)");
    CheckSweep(Sweep(data, 2, 2, {T(0), T(2)}, T(1), sorted_index), data, 2, {0, 1}, {0, 1}, "(0, 2)");
  }
}

template <typename T>
void ReversedDirectionReversesTheSweep() {
  // Direction -1 visits 1.2, 0.6, 0.0: the group of 1.2 claims 0.6 and 0.0 opens the second.
  const std::vector<T> data{T(0), T(0.6), T(1.2)};
  CheckSweep(Sweep(data, 3, 1, {T(-1)}, T(1), false), data, 1, {2, 0}, {1, 0, 0}, "reversed, opening order");
  CheckSweep(Sweep(data, 3, 1, {T(-1)}, T(1), true), data, 1, {0, 1}, {0, 1, 1}, "reversed, lowest row");
  CheckSweep(Sweep(data, 3, 1, {T(1)}, T(1), true), data, 1, {0, 2}, {0, 0, 1}, "forward, lowest row");
}

template <typename T>
void BoundariesAreStrict() {
  // Sum gap exactly 1 with distance 0.71; distance exactly 1.25 with sum gap 0.25.
  const std::vector<T> gap_at_tolerance{T(0), T(0), T(0.5), T(0.5)};
  const std::vector<T> distance_at_tolerance{T(0), T(0), T(0.75), T(-1)};
  const std::vector<T> ones{T(1), T(1)};
  for (bool sorted_index : {false, true}) {
    CheckSweep(Sweep(gap_at_tolerance, 2, 2, ones, T(1), sorted_index), gap_at_tolerance, 2,
               {0, 1}, {0, 1}, "gap equal to the tolerance");
    SweepOutput<T> out = Sweep(distance_at_tolerance, 2, 2, ones, T(1.25), sorted_index);
    Check(out.k == 2, "distance equal to the tolerance merged");
  }
}

template <typename T>
void RowsWithoutColumns() {
  const std::vector<T> none;
  for (bool sorted_index : {false, true}) {
    CheckSweep(Sweep(none, 3, 0, none, T(0.5), sorted_index), none, 0, {0}, {0, 0, 0}, "m = 0, positive");
    CheckSweep(Sweep(none, 3, 0, none, T(0), sorted_index), none, 0, {0, 1, 2}, {0, 1, 2}, "m = 0, zero");
  }
}

template <typename T>
void NanRowsStayAlone() {
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const std::vector<T> data{T(0), nan, T(0), T(0.1), nan, nan};
  for (bool sorted_index : {false, true}) {
    SweepOutput<T> out = Sweep(data, 3, 2, {T(1), T(1)}, T(1), sorted_index);
    Check(out.k == 3, "rows with NaN merged");
    Check(out.inverse[0] != out.inverse[1] && out.inverse[0] != out.inverse[2] &&
              out.inverse[1] != out.inverse[2],
          "rows with NaN share a group");
  }
}

template <typename T>
std::vector<rilo_test::TestCase> TestsFor(const std::string& type) {
  return {
      {"argsort small cases, " + type, ArgSortSmallCases<T>},
      {"argsort is stable on many duplicates, " + type, ArgSortIsStableOnManyDuplicates<T>},
      {"argsort puts NaN last, in position order, " + type, ArgSortPutsNanLast<T>},
      {"sweep without rows, " + type, SweepWithoutRows<T>},
      {"sweep of one row, " + type, SweepOfOneRow<T>},
      {"takeover in both modes, " + type, TakeoverInBothModes<T>},
      {"direction decides the window, " + type, DirectionDecidesTheWindow<T>},
      {"reversed direction reverses the sweep, " + type, ReversedDirectionReversesTheSweep<T>},
      {"boundaries are strict, " + type, BoundariesAreStrict<T>},
      {"rows without columns, " + type, RowsWithoutColumns<T>},
      {"NaN rows stay alone, " + type, NanRowsStayAlone<T>},
  };
}

const bool registered = rilo_test::AddTests(TestsFor<float>("float")) &&
                        rilo_test::AddTests(TestsFor<double>("double"));

}  // namespace
