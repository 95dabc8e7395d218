// Tests of the tolerant row ordering, the grouping pass, the group renumbering and the
// allocator of the index vectors.
#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "check.h"
#include "tolerant_sort/arg_sort_along_height.h"
#include "tolerant_sort/default_initialization_allocator.h"
#include "tolerant_sort/group_sorted_rows.h"
#include "tolerant_sort/sort_ids_and_inverse.h"

namespace {

using rilo::IndexVector;
using rilo_test::Check;
using rilo_test::CheckThrows;

IndexVector<int> Identity(int n) {
  IndexVector<int> ids(n);
  for (int i = 0; i < n; ++i) ids[i] = i;
  return ids;
}

void SizeMismatchThrowsAndLeavesIdsUntouched() {
  const std::vector<double> data{1.0, 2.0, 3.0};
  for (int entries : {2, 4}) {
    IndexVector<int> ids = Identity(entries);
    CheckThrows<std::runtime_error>(
        [&] { rilo::internal::ArgSortAlongHeight<true>(data.data(), 3, 1, 0.5, ids); },
        "internal::ArgSortAlongHeight - input sorted_ids does not match size of arrays to be "
        "sorted.");
    Check(ids == Identity(entries), "sorted_ids changed by a failed call");
  }
}

void RenumberingWithNullInverseSortsOnlyIds() {
  std::vector<int> ids{7, 2, 5};
  rilo::SortIdsAndInverse(3, ids.data(), -4, static_cast<int*>(nullptr));
  Check(ids == std::vector<int>{2, 5, 7}, "ids not ascending");
}

void RenumberingRejectsNegativeCounts() {
  std::vector<int> ids{7, 2, 5};
  std::vector<int> inverse{0, 1, 2};
  CheckThrows<std::length_error>([&] { rilo::SortIdsAndInverse(-1, ids.data(), 3, inverse.data()); },
                                 "cannot create std::vector larger than max_size()");
  Check(ids == std::vector<int>{7, 2, 5}, "ids written before the length error");
  CheckThrows<std::length_error>([&] { rilo::SortIdsAndInverse(3, ids.data(), -1, inverse.data()); },
                                 "cannot create std::vector larger than max_size()");
  Check(inverse == std::vector<int>{0, 1, 2}, "inverse written before the length error");
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The row indices in tolerant order of the row-major `rows` (width columns), starting from
// `start` (the identity when empty), with the stable or the unstable sort.
template <bool Stable, typename T>
std::vector<int> Order(const std::vector<double>& rows, int width, double tolerance,
                       std::vector<int> start = {}) {
  const int height =
      width == 0 ? static_cast<int>(start.size()) : static_cast<int>(rows.size()) / width;
  const std::vector<T> data(rows.begin(), rows.end());
  IndexVector<int> ids =
      start.empty() ? Identity(height) : IndexVector<int>(start.begin(), start.end());
  const T tolerance_in_t = static_cast<T>(tolerance);
  rilo::internal::ArgSortAlongHeight<Stable>(data.data(), height, width, tolerance_in_t, ids);
  return std::vector<int>(ids.begin(), ids.end());
}

struct OrderingCase {
  std::string what;
  std::vector<double> rows;
  int width;
  double tolerance;
  std::vector<int> expected;
};

// Orderings that both sorts must produce, since no two rows tie.
const std::vector<OrderingCase>& OrderingCases() {
  static const std::vector<OrderingCase> cases{
      {"close first columns defer to the second", {1.0, 9.0, 1.2, 3.0, 0.0, 5.0}, 2, 0.5, {2, 1, 0}},
      {"a difference equal to the tolerance decides", {1.5, 0.0, 1.0, 9.0}, 2, 0.5, {1, 0}},
      {"an exactly equal column ties at tolerance 0", {0.0, 2.0, 0.0, 1.0}, 2, 0.0, {1, 0}},
      {"an exactly equal column ties at tolerance -0", {0.0, 2.0, -0.0, 1.0}, 2, -0.0, {1, 0}},
      {"negative tolerance orders lexicographically", {3, 1, 1, 2, 2, 0, 1, 1}, 2, -1.0, {3, 1, 2, 0}},
      {"worked example", {1.0, 2.0, 0.0, 5.0, 1.05, 2.02, 0.02, 4.95, 1.0, 3.0}, 2, 0.1, {1, 3, 0, 2, 4}},
      {"one row", {4.0, 2.0}, 2, 0.1, {0}},
      {"no rows", {}, 2, 0.1, {}},
  };
  return cases;
}

template <bool Stable, typename T>
void WorkedOrderings() {
  for (const OrderingCase& ordering : OrderingCases()) {
    Check(Order<Stable, T>(ordering.rows, ordering.width, ordering.tolerance) == ordering.expected,
          ordering.what);
  }
}

void StableSortKeepsTheOrderOfRowsWithinTolerance() {
  const std::vector<double> rows{0.1, 3.0, 0.0, 3.2, 0.05, 2.9, 0.12, 3.1};
  for (const std::vector<int>& start : {std::vector<int>{3, 0, 2, 1}, std::vector<int>{0, 1, 2, 3}}) {
    Check(Order<true, double>(rows, 2, 0.5, start) == start, "double rows moved");
    Check(Order<true, float>(rows, 2, 0.5, start) == start, "float rows moved");
  }
}

void WidthZeroComparesNothing() {
  const std::vector<int> start{2, 0, 3, 1};
  Check(Order<true, double>({}, 0, 0.5, start) == start, "stable sort moved rows of width 0");
  std::vector<int> unstable = Order<false, double>({}, 0, 0.5, start);
  std::sort(unstable.begin(), unstable.end());
  Check(unstable == std::vector<int>{0, 1, 2, 3}, "unstable sort lost an index");
}

void NanGoesAfterNumbersAndTiesNan() {
  const std::vector<double> rows{kNan, 0.0,  -5.0, 1.0,  7.0,  -1.0, kInf, 0.0,  1.0,  kNan,
                                 1.0,  5.0,  3.0,  0.0,  kNan, 1.0,  kNan, 2.0,  kNan, kNan,
                                 kInf, 1.0,  kInf, 2.0,  -kInf, 2.0, -kInf, 1.0, -kInf, kNan};
  const auto less = [&rows](int a, int b) {
    return rilo::internal::TolerantRowLess(rows.data() + 2 * a, rows.data() + 2 * b, 2, 0.5);
  };
  for (int other : {1, 2, 3, 13, 14}) {
    Check(less(other, 0) && !less(0, other), "NaN in column 0 did not go after a number");
  }
  Check(less(5, 4) && !less(4, 5), "NaN in column 1 after a tie did not go after the number");
  Check(less(4, 6) && !less(6, 4), "column 0 did not decide before the NaN column");
  Check(less(7, 8) && !less(8, 7), "two NaNs in column 0 did not tie");
  Check(!less(9, 9) && !less(9, 0) && less(0, 9), "NaN rows misordered among themselves");
  Check(less(10, 11) && !less(11, 10), "equal positive infinities did not tie");
  Check(less(13, 12) && !less(12, 13), "equal negative infinities did not tie");
}

void NanRowsSortAfterTheNumbers() {
  const std::vector<double> narrow{3.0, kNan, 1.0, kNan, 2.0, -kInf};
  const std::vector<double> wide{1.0, kNan, 0.0, 1.0, 2.0, 0.0, kNan, 0.0,  0.0, 1.0, -kInf, 0.0,
                                 kNan, kNan, 0.0, 1.0, kInf, 0.0, 1.0, 2.0, kNan, 1.0, 2.0, -1.0};
  for (int width : {2, 3}) {
    std::vector<double> rows;
    for (size_t row = 0; row < wide.size() / 3; ++row) {
      rows.insert(rows.end(), wide.begin() + 3 * row, wide.begin() + 3 * row + width);
    }
    const std::vector<int> expected =
        width == 2 ? std::vector<int>{3, 1, 6, 7, 5, 0, 2, 4} : std::vector<int>{3, 7, 1, 6, 5, 0, 2, 4};
    Check(Order<true, double>(rows, width, 0.5) == expected, "NaN rows misplaced (double)");
    Check(Order<true, float>(rows, width, 0.5) == expected, "NaN rows misplaced (float)");
  }
  Check(Order<true, double>(narrow, 1, 0.5) == std::vector<int>{5, 2, 4, 0, 1, 3}, "NaN rows misplaced");
  const std::vector<int> unstable = Order<false, float>(narrow, 1, 0.5);
  Check(std::vector<int>(unstable.begin(), unstable.begin() + 4) == std::vector<int>{5, 2, 4, 0},
        "numbers misplaced among NaN rows (unstable)");
}

void InfinitiesOrderAtTheEnds() {
  const std::vector<double> rows{kInf, 1e300, -kInf, 0.0};
  Check(Order<true, double>(rows, 1, 0.5) == std::vector<int>{2, 3, 1, 0}, "infinities misplaced");
  Check(Order<true, double>(rows, 1, kInf) == std::vector<int>{2, 1, 3, 0}, "infinite tolerance");
}

struct MatchCase {
  double a;
  double b;
  double tolerance;
  bool match;
};

template <typename T>
void RowsMatchOneColumn() {
  const std::vector<MatchCase> cases{
      {0.0, 0.5, 0.5, true},    {0.5, 0.0, 0.5, true},     {0.0, 0.51, 0.5, false},
      {-0.0, 0.0, 0.0, true},   {1.0, 1.0, 0.0, true},     {1.0, 1.0, -1.0, false},
      {kNan, 5.0, 0.5, false},  {5.0, kNan, kInf, false},  {kNan, kNan, 0.0, true},
      {kNan, kNan, -1.0, true}, {kInf, kInf, 0.0, true},   {-kInf, -kInf, -1.0, true},
      {kInf, -kInf, 1e30, false}, {kInf, -kInf, kInf, true}, {kInf, 5.0, 1e30, false},
      {kInf, 5.0, kInf, true},  {kNan, kInf, kInf, false},
  };
  for (const MatchCase& pair : cases) {
    const T a = static_cast<T>(pair.a);
    const T b = static_cast<T>(pair.b);
    const bool match = rilo::internal::RowsMatch(&a, &b, 1, static_cast<T>(pair.tolerance));
    Check(match == pair.match, std::to_string(pair.a) + " against " + std::to_string(pair.b) +
                                   " at " + std::to_string(pair.tolerance));
  }
}

void RowsMatchNeedsEveryColumn() {
  const std::vector<double> a{0.0, 1.0, kNan};
  const std::vector<double> b{0.1, 1.0, kNan};
  const std::vector<double> c{0.1, 1.2, kNan};
  Check(rilo::internal::RowsMatch(a.data(), b.data(), 3, 0.1), "equal-within-tolerance rows");
  Check(!rilo::internal::RowsMatch(a.data(), c.data(), 3, 0.1), "second column ignored");
  Check(!rilo::internal::RowsMatch(a.data(), a.data(), 2, -1.0), "negative tolerance matched");
  Check(rilo::internal::RowsMatch(a.data(), c.data(), 0, -1.0), "width 0 must always match");
}

struct Grouping {
  int groups;
  std::vector<int> first_rows;
  std::vector<int> inverse;
};

// Groups the rows of a one-column matrix taken in the order `sorted_ids`.
Grouping Group(const std::vector<double>& column, double tolerance,
               const std::vector<int>& sorted_ids) {
  const int height = static_cast<int>(column.size());
  auto records = rilo::internal::RecordsOf(column.data(), 1, tolerance, sorted_ids);
  std::vector<int> inverse(height, -1);
  const int groups =
      rilo::GroupSortedRecords(column.data(), height, 1, tolerance, records, inverse.data());
  std::vector<int> first_rows;
  for (int group = 0; group < groups; ++group) first_rows.push_back(records[group].row);
  return {groups, first_rows, inverse};
}

void GroupsCompareWithTheirFirstRow() {
  const Grouping chain = Group({0.0, 0.8, 1.6}, 1.0, {0, 1, 2});
  Check(chain.groups == 2 && chain.first_rows == std::vector<int>{0, 2}, "chain groups");
  Check(chain.inverse == std::vector<int>{0, 0, 1}, "chain inverse");
  const Grouping permuted = Group({5.0, 0.0, 5.05, 0.02}, 0.1, {1, 3, 0, 2});
  Check(permuted.first_rows == std::vector<int>{1, 0}, "permuted first rows");
  Check(permuted.inverse == std::vector<int>{1, 0, 1, 0}, "permuted inverse");
}

void GroupsKeepNanRowsApart() {
  const Grouping nan_between = Group({0.0, kNan, 0.0, kNan}, 1.0, {0, 1, 2, 3});
  Check(nan_between.first_rows == std::vector<int>{0, 1, 2, 3}, "a NaN row joined or was joined");
  const Grouping nans_adjacent = Group({kNan, kNan, 1.0}, 1.0, {0, 1, 2});
  Check(nans_adjacent.inverse == std::vector<int>{0, 0, 1}, "adjacent NaN rows split");
}

void RenumberingWorkedExample() {
  std::vector<int> ids{7, 2, 5};
  std::vector<int> inverse{0, 1, 2, 1, 0};
  rilo::SortIdsAndInverse(3, ids.data(), 5, inverse.data());
  Check(ids == std::vector<int>{2, 5, 7}, "ids");
  Check(inverse == std::vector<int>{2, 0, 1, 0, 2}, "inverse");
}

void RenumberingLeavesAscendingIdsAlone() {
  std::vector<int> ids{1, 4, 9};
  std::vector<int> inverse{0, 2, 1, 1, 2};
  rilo::SortIdsAndInverse(3, ids.data(), 5, inverse.data());
  Check(ids == std::vector<int>{1, 4, 9} && inverse == std::vector<int>{0, 2, 1, 1, 2}, "three groups");
  std::vector<int> single{3};
  std::vector<int> zeros{0, 0, 0};
  rilo::SortIdsAndInverse(1, single.data(), 3, zeros.data());
  Check(single == std::vector<int>{3} && zeros == std::vector<int>{0, 0, 0}, "one group");
}

void RenumberingEmptyCountsDoNothing() {
  int ids = 11;
  int inverse = 13;
  rilo::SortIdsAndInverse(0, &ids, 0, static_cast<int*>(nullptr));
  rilo::SortIdsAndInverse(0, &ids, 0, &inverse);
  Check(ids == 11 && inverse == 13, "no groups");
  std::vector<int> two{8, 6};
  rilo::SortIdsAndInverse(2, two.data(), 0, &inverse);
  Check(two == std::vector<int>{6, 8} && inverse == 13, "no inverse entries");
}

void RenumberingKeepsEveryRowOnItsRepresentative() {
  std::mt19937 random(5);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<int> ids(1 + random() % 40);
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int>(3 * i + random() % 3);
    std::shuffle(ids.begin(), ids.end(), random);
    std::vector<int> inverse(random() % 100);
    for (int& group : inverse) group = static_cast<int>(random() % ids.size());
    const std::vector<int> old_ids = ids;
    const std::vector<int> old_inverse = inverse;
    const int num_ids = static_cast<int>(ids.size());
    rilo::SortIdsAndInverse(num_ids, ids.data(), static_cast<int>(inverse.size()), inverse.data());
    Check(std::is_sorted(ids.begin(), ids.end()), "ids not ascending");
    for (std::size_t row = 0; row < inverse.size(); ++row) {
      Check(ids[inverse[row]] == old_ids[old_inverse[row]], "row moved to another representative");
    }
  }
}

struct AllocatorLog {
  int allocations = 0;
  int forwarded_constructions = 0;
};

// An allocator that counts what reaches it, to see which calls the adaptor forwards.
template <typename T>
struct LoggingAllocator {
  using value_type = T;
  AllocatorLog* log;

  explicit LoggingAllocator(AllocatorLog* log_to) : log(log_to) {}
  template <typename U>
  LoggingAllocator(const LoggingAllocator<U>& other) : log(other.log) {}

  T* allocate(std::size_t count) {
    ++log->allocations;
    return std::allocator<T>().allocate(count);
  }
  void deallocate(T* place, std::size_t count) { std::allocator<T>().deallocate(place, count); }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ++log->forwarded_constructions;
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
  bool operator==(const LoggingAllocator& other) const { return log == other.log; }
};

template <typename T>
using LoggedVector = std::vector<T, rilo::DefaultInitializationAllocator<T, LoggingAllocator<T>>>;

void AllocatorKeepsSizingFromTheUnderlyingConstruct() {
  AllocatorLog log;
  LoggedVector<int> sized{rilo::DefaultInitializationAllocator<int, LoggingAllocator<int>>(&log)};
  sized.reserve(4000);
  sized.resize(1000);
  sized.resize(3000);
  Check(sized.size() == 3000 && log.forwarded_constructions == 0, "sizing went through construct");
  Check(log.allocations == 1, "allocation did not reach the underlying allocator");
  for (int value : {5, 6, 7, 8, 9}) sized.push_back(value);
  Check(log.forwarded_constructions == 5, "constructions with a value were not forwarded");
  Check(sized[3000] == 5 && sized[3004] == 9, "constructed values");
}

struct Seven {
  int value = 7;
};

void AllocatorStillRunsDefaultConstructors() {
  const IndexVector<int> filled(4, 3);
  Check(filled == IndexVector<int>{3, 3, 3, 3}, "fill constructor");
  const std::vector<Seven, rilo::DefaultInitializationAllocator<Seven>> sevens(5);
  for (const Seven& seven : sevens) Check(seven.value == 7, "default member initialiser skipped");
  using Rebound = std::allocator_traits<rilo::DefaultInitializationAllocator<int>>::rebind_alloc<double>;
  static_assert(std::is_same_v<Rebound, rilo::DefaultInitializationAllocator<double>>);
}

const bool registered = rilo_test::AddTests({
    {"size mismatch throws and leaves ids untouched", SizeMismatchThrowsAndLeavesIdsUntouched},
    {"renumbering with a null inverse sorts only ids", RenumberingWithNullInverseSortsOnlyIds},
    {"renumbering rejects negative counts", RenumberingRejectsNegativeCounts},
    {"worked orderings, stable, double", WorkedOrderings<true, double>},
    {"worked orderings, unstable, double", WorkedOrderings<false, double>},
    {"worked orderings, stable, float", WorkedOrderings<true, float>},
    {"worked orderings, unstable, float", WorkedOrderings<false, float>},
    {"stable sort keeps the order of rows within tolerance", StableSortKeepsTheOrderOfRowsWithinTolerance},
    {"width 0 compares nothing", WidthZeroComparesNothing},
    {"a NaN goes after numbers and ties NaN; equal infinities tie", NanGoesAfterNumbersAndTiesNan},
    {"NaN rows sort after the numbers", NanRowsSortAfterTheNumbers},
    {"infinities order at the ends", InfinitiesOrderAtTheEnds},
    {"rows match on one column, double", RowsMatchOneColumn<double>},
    {"rows match on one column, float", RowsMatchOneColumn<float>},
    {"rows match needs every column", RowsMatchNeedsEveryColumn},
    {"groups compare with their first row", GroupsCompareWithTheirFirstRow},
    {"groups keep NaN rows apart", GroupsKeepNanRowsApart},
    {"renumbering worked example", RenumberingWorkedExample},
    {"renumbering leaves ascending ids alone", RenumberingLeavesAscendingIdsAlone},
    {"renumbering with empty counts does nothing", RenumberingEmptyCountsDoNothing},
    {"renumbering keeps every row on its representative", RenumberingKeepsEveryRowOnItsRepresentative},
    {"allocator keeps sizing from the underlying construct", AllocatorKeepsSizingFromTheUnderlyingConstruct},
    {"allocator still runs default constructors", AllocatorStillRunsDefaultConstructors},
});

}  // namespace
