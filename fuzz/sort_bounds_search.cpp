// Searches for inputs on which std::sort, driven by the tolerant row comparator or by an
// arbitrary asymmetric relation, reads or writes outside the range it sorts.
//
// The range sorted is the middle of a larger buffer whose outer entries hold a guard value that
// is no valid row index; a comparator that is handed the guard reports the escape. Built with
// AddressSanitizer and the libstdc++ debug mode, any access past the buffer aborts as well.
// Usage: sort_bounds_search SECONDS [--control]. With --control the relation may hold in both
// directions (not asymmetric); the search is then expected to find an escape, which shows that
// the detector works.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tolerant_sort/arg_sort_along_height.h"

namespace {

// Entries on each side of the sorted range that hold the guard value.
constexpr int kGuardEntries = 64;
constexpr int kGuard = std::numeric_limits<int>::min();
// Heights above libstdc++'s insertion-sort threshold (16) exercise the unguarded loops; the
// upper bound keeps one trial short enough for millions of them.
constexpr int kMaxHeight = 600;

struct Escape {};

// Throws Escape when `row` is not an index into a matrix of `height` rows.
void RequireRow(int row, int height) {
  if (row < 0 || row >= height) throw Escape{};
}

// One value of an adversarial column: multiples of 0.3 of the tolerance (chains of ties that are
// not transitive), exact ties, signed zeros, infinities and NaN.
double AdversarialValue(std::mt19937_64& random) {
  const int pick = static_cast<int>(random() % 16);
  if (pick == 0) return std::numeric_limits<double>::quiet_NaN();
  if (pick == 1) return std::numeric_limits<double>::infinity();
  if (pick == 2) return -std::numeric_limits<double>::infinity();
  if (pick == 3) return -0.0;
  const int step = static_cast<int>(random() % 13) - 6;
  return 0.3 * step + (random() % 4 == 0 ? 1e-12 : 0.0);
}

// A height x width matrix of adversarial values, as double or rounded to float.
template <typename T>
std::vector<T> AdversarialMatrix(std::mt19937_64& random, int height, int width) {
  std::vector<T> data(static_cast<size_t>(height) * width);
  for (T& value : data) value = static_cast<T>(AdversarialValue(random));
  return data;
}

// A buffer holding the identity permutation of `height` between two runs of guard entries.
rilo::IndexVector<int> GuardedIdentity(int height) {
  rilo::IndexVector<int> buffer(height + 2 * kGuardEntries, kGuard);
  for (int row = 0; row < height; ++row) buffer[kGuardEntries + row] = row;
  return buffer;
}

// Sorts the middle of a guarded buffer with `less` and checks that the guards are untouched and
// that the middle is still a permutation of the rows. Returns false on any escape.
template <typename Less>
bool SortStaysInBounds(int height, const Less& less) {
  rilo::IndexVector<int> buffer = GuardedIdentity(height);
  const auto first = buffer.begin() + kGuardEntries;
  const auto last = first + height;
  try {
    std::sort(first, last, [&](int a, int b) {
      RequireRow(a, height);
      RequireRow(b, height);
      return less(a, b);
    });
  } catch (const Escape&) {
    return false;
  }
  const bool guards_intact = std::all_of(buffer.begin(), first, [](int v) { return v == kGuard; }) &&
                             std::all_of(last, buffer.end(), [](int v) { return v == kGuard; });
  std::vector<int> rows(first, last);
  std::sort(rows.begin(), rows.end());
  bool permutation = true;
  for (int row = 0; row < height; ++row) permutation = permutation && rows[row] == row;
  return guards_intact && permutation;
}

// One trial of the tolerant comparator on an adversarial matrix; tolerance 1 against values in
// steps of 0.3 makes "within tolerance" non-transitive.
template <typename T>
bool TolerantTrial(std::mt19937_64& random) {
  const int height = 1 + static_cast<int>(random() % kMaxHeight);
  const int width = 1 + static_cast<int>(random() % 3);
  const std::vector<T> data = AdversarialMatrix<T>(random, height, width);
  const T tolerance = random() % 8 == 0 ? std::numeric_limits<T>::quiet_NaN() : T{1};
  return SortStaysInBounds(height, [&](int a, int b) {
    return rilo::internal::TolerantRowLess(data.data() + a * width, data.data() + b * width,
                                           width, tolerance);
  });
}

// A random relation on `height` items stored as a matrix: an order by random keys (with many
// equal keys) in which a random share of the pairs is replaced by one of "a before b",
// "b before a", "neither" and, with `both_allowed`, "each before the other". Mostly consistent
// relations lead the sort deep into its loops before an inconsistency is met.
std::vector<unsigned char> RandomRelation(std::mt19937_64& random, int height, bool both_allowed) {
  const int distinct_keys = 1 + static_cast<int>(random() % height);
  std::vector<int> key(height);
  for (int& k : key) k = static_cast<int>(random() % distinct_keys);
  const unsigned replaced_per_1024 = 1u << (random() % 11);
  std::vector<unsigned char> before(static_cast<size_t>(height) * height, 0);
  for (int a = 0; a < height; ++a) {
    for (int b = a + 1; b < height; ++b) {
      int kind = key[a] < key[b] ? 0 : (key[b] < key[a] ? 1 : 2);
      if (random() % 1024 < replaced_per_1024) kind = static_cast<int>(random() % (both_allowed ? 4 : 3));
      before[a * height + b] = kind == 0 || kind == 3;
      before[b * height + a] = kind == 1 || kind == 3;
    }
  }
  return before;
}

// One trial of std::sort under a random relation, the most general adversary that the tolerant
// comparator's asymmetry allows (or, with `both_allowed`, one that breaks asymmetry).
bool RelationTrial(std::mt19937_64& random, bool both_allowed) {
  const int height = 17 + static_cast<int>(random() % 200);
  const std::vector<unsigned char> before = RandomRelation(random, height, both_allowed);
  return SortStaysInBounds(height, [&](int a, int b) { return before[a * height + b] != 0; });
}

// Runs trials for `seconds`, cycling through the kinds, and returns the number of escapes.
long long Search(double seconds, bool control, long long& trials) {
  std::mt19937_64 random(20261208);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long long escapes = 0;
  for (trials = 0; std::chrono::steady_clock::now() < end; ++trials) {
    bool ok;
    if (control) {
      ok = RelationTrial(random, true);
    } else if (trials % 3 == 0) {
      ok = TolerantTrial<double>(random);
    } else if (trials % 3 == 1) {
      ok = TolerantTrial<float>(random);
    } else {
      ok = RelationTrial(random, false);
    }
    escapes += ok ? 0 : 1;
  }
  return escapes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SECONDS [--control]\n", argv[0]);
    return 2;
  }
  const bool control = argc > 2 && std::string(argv[2]) == "--control";
  long long trials = 0;
  const long long escapes = Search(std::atof(argv[1]), control, trials);
  std::printf("%s: %lld trials, %lld left the sorted range\n",
              control ? "control (non-asymmetric relation)" : "tolerant comparator and asymmetric relations",
              trials, escapes);
  return control ? (escapes > 0 ? 0 : 1) : (escapes == 0 ? 0 : 1);
}
