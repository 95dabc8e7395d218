// Stable argsort of a vector of values.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/helper_threads.h"
#include "base/huge_page_allocator.h"
#include "base/stop.h"

namespace rilo::internal {

// The unsigned integer type as wide as T.
template <typename T>
using KeyOf = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

// An unsigned key whose integer order is the numeric order of `value`, with every NaN after
// all numbers (NaN keys are all equal); -0 and +0 get the same key. Sign-magnitude bits become
// order-preserving by setting the sign bit of non-negative values and flipping all bits of
// negative ones.
template <typename T>
KeyOf<T> OrderedKey(T value) {
  using Key = KeyOf<T>;
  constexpr Key kSignBit = Key{1} << (8 * sizeof(Key) - 1);
  if (std::isnan(value)) return ~Key{0};
  const T canonical = value + T{0};  // -0 + 0 is +0; every other value is unchanged
  Key bits;
  std::memcpy(&bits, &canonical, sizeof bits);
  return (bits & kSignBit) ? ~bits : (bits | kSignBit);
}

// The value whose OrderedKey is `key`: the value itself, with -0 read back as +0 and any NaN
// as a NaN.
template <typename T>
T ValueOfKey(KeyOf<T> key) {
  using Key = KeyOf<T>;
  constexpr Key kSignBit = Key{1} << (8 * sizeof(Key) - 1);
  const Key bits = (key & kSignBit) ? (key & ~kSignBit) : ~key;
  T value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Digit width of the radix sort: 2^11 counters per pass stay in the first-level cache.
constexpr int kDigitBits = 11;
constexpr int kDigitValues = 1 << kDigitBits;
// Below this many values the comparison sort is as fast and needs no counter tables.
constexpr size_t kRadixMinValues = 1024;

// The digit of `key` that radix pass `pass` sorts by.
template <typename Key>
int DigitOf(Key key, int pass) {
  return static_cast<int>((key >> (pass * kDigitBits)) & (kDigitValues - 1));
}

// Digit counts of one part of the keys for every pass (counts[pass][digit]).
using DigitCounts = std::vector<std::array<size_t, kDigitValues>>;

// Counts the digits of keys[begin, end) for each pass in `passes`, into `counts` (zeroed here).
template <typename Key>
void CountDigits(const Key* keys, size_t begin, size_t end, const std::vector<int>& passes,
                 DigitCounts& counts) {
  for (auto& count : counts) count.fill(0);
  for (size_t position = begin; position < end; ++position) {
    for (const int pass : passes) ++counts[pass][DigitOf(keys[position], pass)];
  }
}

// Where each part's keys of each digit go in one pass: the keys of lower digits first, then,
// within a digit, those of earlier parts. Turns the parts' counts for `pass` into those starts.
inline void CountsToStarts(std::vector<DigitCounts>& part_counts, int pass) {
  size_t start = 0;
  for (int digit = 0; digit < kDigitValues; ++digit) {
    for (auto& counts : part_counts) start += std::exchange(counts[pass][digit], start);
  }
}

// The passes whose digit is not the same for all keys, from the digit counts of all parts:
// a pass over a digit that every key shares would leave the order as it is.
template <typename Key>
std::vector<int> PassesThatMove(const std::vector<DigitCounts>& part_counts, Key any_key,
                                size_t n, int passes) {
  std::vector<int> moving;
  for (int pass = 0; pass < passes; ++pass) {
    const int digit = DigitOf(any_key, pass);
    size_t sharing = 0;
    for (const auto& counts : part_counts) sharing += counts[pass][digit];
    if (sharing != n) moving.push_back(pass);
  }
  return moving;
}

// Sorts `keys` ascending and applies the same permutation to `order`, stably, by a
// least-significant-digit radix sort that skips digits all keys share. The keys are cut into
// up to `threads` parts of at least kParallelMinimum keys, each counted and scattered by its own
// thread; parts keep their relative order within a digit, so the result is the one of a single
// part. Uses two scratch vectors of the same sizes.
template <typename Key, typename Index, typename ShouldStop>
void RadixSortByKey(LargeVector<Key>& keys, LargeVector<Index>& order, int threads,
                    ShouldStop& should_stop) {
  constexpr int kPasses = (8 * sizeof(Key) + kDigitBits - 1) / kDigitBits;
  const size_t n = keys.size();
  if (n == 0) return;
  const size_t parts = std::clamp<size_t>(n / kParallelMinimum, 1, static_cast<size_t>(std::max(threads, 1)));
  const auto part_begin = [n, parts](size_t part) { return n * part / parts; };
  std::vector<DigitCounts> part_counts(parts, DigitCounts(kPasses));
  std::vector<int> all_passes(kPasses);
  std::iota(all_passes.begin(), all_passes.end(), 0);
  ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
    CountDigits(keys.data(), part_begin(part), part_begin(part + 1), all_passes, part_counts[part]);
  });
  const std::vector<int> moving = PassesThatMove(part_counts, keys[0], n, kPasses);
  LargeVector<Key> next_keys(n);
  LargeVector<Index> next_order(n);
  for (size_t step = 0; step < moving.size(); ++step) {
    const int pass = moving[step];
    if (step > 0) {
      ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
        CountDigits(keys.data(), part_begin(part), part_begin(part + 1), {pass}, part_counts[part]);
      });
    }
    CountsToStarts(part_counts, pass);
    ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
      auto& starts = part_counts[part][pass];
      for (size_t position = part_begin(part); position < part_begin(part + 1); ++position) {
        if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
        const Key key = keys[position];
        const size_t target = starts[DigitOf(key, pass)]++;
        next_keys[target] = key;
        next_order[target] = order[position];
      }
    });
    keys.swap(next_keys);
    order.swap(next_order);
  }
}

// Ordered keys in ascending order, with the positions they came from.
template <typename T, typename Index>
struct SortedKeys {
  LargeVector<KeyOf<T>> keys;
  LargeVector<Index> order;
};

// Sorts keys[i] = OrderedKey(values[i]) into ascending value order, NaN last and equal values
// in ascending position i, and records those positions: a radix sort on up to `threads` threads
// when there are enough keys, else the standard stable sort on the keys. Both give the one order
// that is ascending by key and keeps ties in position order.
template <typename T, typename Index, typename ShouldStop>
SortedKeys<T, Index> SortKeysStably(LargeVector<KeyOf<T>> keys, int threads, ShouldStop& should_stop) {
  const size_t n = keys.size();
  SortedKeys<T, Index> sorted{std::move(keys), LargeVector<Index>(n)};
  std::iota(sorted.order.begin(), sorted.order.end(), Index{0});
  if (n >= kRadixMinValues) {
    RadixSortByKey(sorted.keys, sorted.order, threads, should_stop);
    return sorted;
  }
  const LargeVector<KeyOf<T>>& unsorted = sorted.keys;
  std::stable_sort(sorted.order.begin(), sorted.order.end(),
                   [&unsorted](Index a, Index b) { return unsorted[a] < unsorted[b]; });
  LargeVector<KeyOf<T>> gathered(n);
  for (size_t position = 0; position < n; ++position) {
    gathered[position] = unsorted[sorted.order[position]];
  }
  sorted.keys.swap(gathered);
  return sorted;
}

}  // namespace rilo::internal

namespace rilo {

// Returns the positions of `values` in ascending order of value, equal values (+0 and -0
// included) in ascending position, and NaN values after all numbers, in ascending position.
template <typename Index, typename T>
std::vector<Index> ArgSort(const std::vector<T>& values) {
  internal::LargeVector<internal::KeyOf<T>> keys(values.size());
  for (size_t position = 0; position < values.size(); ++position) {
    keys[position] = internal::OrderedKey(values[position]);
  }
  NeverStop never;
  const internal::LargeVector<Index> order = internal::SortKeysStably<T, Index>(std::move(keys), 1, never).order;
  return std::vector<Index>(order.begin(), order.end());
}

}  // namespace rilo
