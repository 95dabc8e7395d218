// Tests of the project's own sorts (tolerant_sort/sorts.h): every comparison, however
// inconsistent, keeps them inside the range they sort; and, where the standard library is
// libstdc++ 12, they give exactly its std::sort and std::stable_sort permutations for
// hostile tolerant orders and random asymmetric relations, on 1 to 4 threads.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "tolerant_sort/arg_sort_along_height.h"
#include "tolerant_sort/sorts.h"

namespace {

using rilo_test::Check;
using rilo::internal::kParallelMinimum;

// Range lengths around every threshold of the sorts: all short ones, the insertion threshold,
// multiples of the merge chunk, and the smallest lengths that reach other threads.
std::vector<int> ThresholdLengths() {
  std::vector<int> lengths;
  for (int length = 0; length <= 40; ++length) lengths.push_back(length);
  for (int length : {48, 49, 55, 56, 57, 111, 112, 113, 447, 448, 449, 1000}) lengths.push_back(length);
  for (int offset : {-1, 0, 1, 7}) {
    lengths.push_back(2 * static_cast<int>(kParallelMinimum) + offset);
    lengths.push_back(5 * static_cast<int>(kParallelMinimum) + offset);
  }
  return lengths;
}

// A well-mixed 64-bit hash, for comparators that must answer the same pair the same way.
std::uint64_t Mix(std::uint64_t value) {
  value ^= value >> 33;
  value *= 0xff51afd7ed558ccdULL;
  value ^= value >> 33;
  value *= 0xc4ceb93e40bc6c4dULL;
  return value ^ (value >> 33);
}

// Ways a comparison can break every rule a sort may rely on.
enum class Inconsistency { kRandomPerCall, kAlwaysTrue, kReflexiveTournament, kFlipsHalfway };

// Sorts ids 0 .. length-1 placed between guard ids (-1) with a comparison of the given kind,
// and counts comparisons that were handed a guard and ids lost or duplicated.
int StrayAccesses(bool stable, int length, int threads, Inconsistency kind, std::uint64_t seed) {
  constexpr int kGuards = 64;
  std::vector<int> values(length + 2 * kGuards, -1);
  std::iota(values.begin() + kGuards, values.end() - kGuards, 0);
  std::atomic<std::uint64_t> calls{0};
  std::atomic<int> strays{0};
  const auto less = [&](int a, int b) {
    if (a < 0 || b < 0) strays.fetch_add(1);
    const std::uint64_t call = calls.fetch_add(1);
    switch (kind) {
      case Inconsistency::kRandomPerCall:
        return (Mix(seed ^ call) & 1) != 0;
      case Inconsistency::kAlwaysTrue:
        return true;
      case Inconsistency::kReflexiveTournament:
        return a == b || (Mix(seed ^ (std::uint64_t(std::min(a, b)) << 32 | std::max(a, b))) & 1) == (a < b);
      default:
        return call * 2 < std::uint64_t(length) * 4 ? a < b : a > b;
    }
  };
  const auto first = values.begin() + kGuards;
  const auto last = values.end() - kGuards;
  if (stable) {
    rilo::internal::StableSort(first, last, less, threads);
  } else {
    rilo::internal::UnstableSort(first, last, less, threads);
  }
  std::vector<int> sorted(first, last);
  std::sort(sorted.begin(), sorted.end());
  int lost = 0;
  for (int id = 0; id < length; ++id) lost += sorted[id] != id;
  const bool guards_intact = std::count(values.begin(), values.end(), -1) == 2 * kGuards;
  return strays.load() + lost + (guards_intact ? 0 : 1);
}

// Inconsistent comparisons cost order only: both sorts stay in the range and keep its elements,
// at every threshold length and on 1 to 4 threads. (Under AddressSanitizer a stray access past
// the guards aborts the run.) A comparison that answers "before" for nearly every pair makes
// the unstable sort's final insertion pass quadratic, so those kinds stop at the shorter lengths.
void InconsistentComparisonsStayInBounds() {
  int failures = 0;
  std::uint64_t seed = 1;
  for (bool stable : {false, true}) {
    for (Inconsistency kind : {Inconsistency::kRandomPerCall, Inconsistency::kAlwaysTrue,
                               Inconsistency::kReflexiveTournament, Inconsistency::kFlipsHalfway}) {
      const bool quadratic = !stable && (kind == Inconsistency::kAlwaysTrue ||
                                         kind == Inconsistency::kFlipsHalfway);
      for (int length : ThresholdLengths()) {
        if (quadratic && length > 5000) continue;
        const int threads = 1 + static_cast<int>(seed % 4);
        failures += StrayAccesses(stable, length, threads, kind, ++seed) != 0;
      }
    }
  }
  Check(failures == 0, std::to_string(failures) + " sorts left their range or lost elements");
}

// The same permutation whatever the thread count, for an inconsistent but repeatable relation.
void ThreadCountDoesNotChangeThePermutation() {
  int differences = 0;
  for (bool stable : {false, true}) {
    for (int length : {2 * static_cast<int>(kParallelMinimum) + 3, 7 * static_cast<int>(kParallelMinimum)}) {
      std::vector<int> one_thread;
      for (int threads = 1; threads <= 4; ++threads) {
        std::vector<int> values(length);
        std::iota(values.begin(), values.end(), 0);
        std::shuffle(values.begin(), values.end(), std::mt19937(5));
        // Non-transitive: a cyclic order on residues, ties broken by a hash.
        const auto less = [](int a, int b) {
          const int gap = (a % 97 - b % 97 + 97) % 97;
          if (gap != 0) return gap < 48;
          return a != b && (Mix(std::uint64_t(std::min(a, b)) << 32 | std::max(a, b)) & 1) == (a < b);
        };
        if (stable) {
          rilo::internal::StableSort(values.begin(), values.end(), less, threads);
        } else {
          rilo::internal::UnstableSort(values.begin(), values.end(), less, threads);
        }
        if (threads == 1) one_thread = values;
        differences += values != one_thread;
      }
    }
  }
  Check(differences == 0, std::to_string(differences) + " permutations changed with the thread count");
}

const bool registered = rilo_test::AddTests({
    {"sorts stay in bounds under inconsistent comparisons", InconsistentComparisonsStayInBounds},
    {"sorts give one permutation for any thread count", ThreadCountDoesNotChangeThePermutation},
});

}  // namespace

// The library whose sorts the project's sorts replay.
#if defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE == 12

namespace {

// True when the project's sort (stable or not) on `threads` threads leaves `values` in the very
// order the standard library's sort does under `less`.
template <typename Less>
bool SortsAsLibrary(bool stable, std::vector<int> values, Less less, int threads) {
  std::vector<int> expected = values;
  if (stable) {
    std::stable_sort(expected.begin(), expected.end(), less);
    rilo::internal::StableSort(values.begin(), values.end(), less, threads);
  } else {
    std::sort(expected.begin(), expected.end(), less);
    rilo::internal::UnstableSort(values.begin(), values.end(), less, threads);
  }
  return values == expected;
}

// A random tournament over ids: for each pair one fixed side wins; irreflexive and asymmetric
// but far from transitive.
struct Tournament {
  std::uint64_t seed;
  bool operator()(int a, int b) const {
    if (a == b) return false;
    const std::uint64_t pair = std::uint64_t(std::min(a, b)) << 32 | std::uint64_t(std::max(a, b));
    return ((Mix(seed ^ pair) & 1) != 0) == (a < b);
  }
};

// Random asymmetric relations at every threshold length, both sorts, 1 to 4 threads.
void TournamentsSortAsLibrary() {
  int mismatches = 0;
  std::mt19937 random(3);
  for (int length : ThresholdLengths()) {
    std::vector<int> values(length);
    std::iota(values.begin(), values.end(), 0);
    std::shuffle(values.begin(), values.end(), random);
    for (bool stable : {false, true}) {
      for (int threads = 1; threads <= 4; ++threads) {
        mismatches += !SortsAsLibrary(stable, values, Tournament{random()}, threads);
      }
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " permutations differ from the library's");
}

// A tournament with many equal ids (no order among them), where stability shows.
void DuplicatesSortAsLibrary() {
  int mismatches = 0;
  std::mt19937 random(4);
  for (int length : ThresholdLengths()) {
    std::vector<int> values(length);
    for (int& value : values) value = static_cast<int>(random() % 5);
    for (bool stable : {false, true}) {
      mismatches += !SortsAsLibrary(stable, values, std::less<int>(), 1 + length % 4);
      mismatches += !SortsAsLibrary(stable, values, Tournament{random()}, 1 + length % 4);
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " permutations differ from the library's");
}

// Hostile rows for the tolerant order: near-tolerance chains, grids with spacing at and around
// the tolerance, duplicates, and NaN or infinite values, in two columns.
std::vector<double> HostileRows(std::mt19937& random, int height, double tolerance) {
  std::vector<double> rows(2 * static_cast<std::size_t>(height));
  const int shape = static_cast<int>(random() % 4);
  for (int row = 0; row < height; ++row) {
    double& first = rows[2 * row];
    double& second = rows[2 * row + 1];
    switch (shape) {
      case 0:  // chain: steps just below the tolerance
        first = (random() % (height + 1)) * tolerance * 0.999;
        second = (random() % 3) * tolerance * 0.5;
        break;
      case 1:  // grid with the tolerance as spacing
        first = (random() % 16) * tolerance;
        second = (random() % 16) * tolerance * (random() % 2 ? 1.0 : 0.5);
        break;
      case 2:  // few distinct values, many duplicates
        first = static_cast<double>(random() % 3) * tolerance * 0.7;
        second = static_cast<double>(random() % 2);
        break;
      default:  // special values among near-ties
        first = random() % 11 == 0 ? std::numeric_limits<double>::quiet_NaN()
                : random() % 13 == 0 ? std::numeric_limits<double>::infinity()
                                     : (random() % 50) * tolerance * 0.4;
        second = random() % 7 == 0 ? std::numeric_limits<double>::quiet_NaN() : (random() % 5) * 0.3;
    }
  }
  return rows;
}

// Row ids under the tolerant row order on hostile rows, at every threshold length and on
// 1 to 4 threads, sort as the library sorts them.
void TolerantOrdersSortAsLibrary() {
  int mismatches = 0;
  std::mt19937 random(9);
  const double tolerance = 0.1;
  for (int length : ThresholdLengths()) {
    for (int repeat = 0; repeat < (length <= 40 ? 6 : 1); ++repeat) {
      const std::vector<double> rows = HostileRows(random, length, tolerance);
      const auto less = [&rows, tolerance](int a, int b) {
        return rilo::internal::TolerantRowLess(rows.data() + 2 * a, rows.data() + 2 * b, 2, tolerance);
      };
      std::vector<int> ids(length);
      std::iota(ids.begin(), ids.end(), 0);
      for (bool stable : {false, true}) {
        mismatches += !SortsAsLibrary(stable, ids, less, 1 + static_cast<int>(random() % 4));
      }
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " tolerant orders differ from the library's");
}

// Already sorted, reversed and organ-pipe inputs drive the introsort to its heap-sort fallback
// and the merges to their one-sided ends.
void PatternedInputsSortAsLibrary() {
  int mismatches = 0;
  for (int length : ThresholdLengths()) {
    std::vector<int> ascending(length);
    std::iota(ascending.begin(), ascending.end(), 0);
    std::vector<int> descending(ascending.rbegin(), ascending.rend());
    std::vector<int> organ_pipe(length);
    for (int index = 0; index < length; ++index) organ_pipe[index] = std::min(index, length - 1 - index);
    for (const auto* values : {&ascending, &descending, &organ_pipe}) {
      for (bool stable : {false, true}) {
        mismatches += !SortsAsLibrary(stable, *values, std::less<int>(), 1 + length % 4);
      }
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " permutations differ from the library's");
}

// The introsort's fallback once its depth limit is spent: a heap sort of the whole piece, as
// the library's partial sort of a range up to its end does it.
void HeapSortSortsAsLibrary() {
  int mismatches = 0;
  std::mt19937 random(6);
  for (int length : ThresholdLengths()) {
    if (length > 5000) continue;
    std::vector<int> values(length);
    std::iota(values.begin(), values.end(), 0);
    std::shuffle(values.begin(), values.end(), random);
    for (const Tournament less : {Tournament{random()}, Tournament{random()}}) {
      std::vector<int> expected = values;
      std::partial_sort(expected.begin(), expected.end(), expected.end(), less);
      std::vector<int> sorted = values;
      rilo::internal::HeapSort(sorted.begin(), sorted.end(), less);
      mismatches += sorted != expected;
    }
  }
  Check(mismatches == 0, std::to_string(mismatches) + " heap sorts differ from the library's");
}

const bool library_registered = rilo_test::AddTests({
    {"sorts equal libstdc++ 12 on random tournaments", TournamentsSortAsLibrary},
    {"sorts equal libstdc++ 12 on duplicates", DuplicatesSortAsLibrary},
    {"sorts equal libstdc++ 12 on hostile tolerant orders", TolerantOrdersSortAsLibrary},
    {"sorts equal libstdc++ 12 on patterned inputs", PatternedInputsSortAsLibrary},
    {"heap sort equals libstdc++ 12's partial sort of the whole range", HeapSortSortsAsLibrary},
});

}  // namespace

#endif
