// Stable argsort of a vector of values.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <utility>
#include <vector>

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

// Sorts `keys` ascending and applies the same permutation to `order`, stably, by a
// least-significant-digit radix sort that skips digits all keys share. Uses two scratch
// vectors of the same sizes.
template <typename Key, typename Index>
void RadixSortByKey(std::vector<Key>& keys, std::vector<Index>& order) {
  constexpr int kPasses = (8 * sizeof(Key) + kDigitBits - 1) / kDigitBits;
  const size_t n = keys.size();
  if (n == 0) return;
  std::vector<std::array<Index, kDigitValues>> counts(kPasses);
  for (auto& count : counts) count.fill(0);
  for (const Key key : keys) {
    for (int pass = 0; pass < kPasses; ++pass) {
      ++counts[pass][(key >> (pass * kDigitBits)) & (kDigitValues - 1)];
    }
  }
  std::vector<Key> next_keys(n);
  std::vector<Index> next_order(n);
  for (int pass = 0; pass < kPasses; ++pass) {
    const int shift = pass * kDigitBits;
    auto& starts = counts[pass];
    if (static_cast<size_t>(starts[(keys[0] >> shift) & (kDigitValues - 1)]) == n) continue;
    Index start = 0;
    for (Index& count : starts) start += std::exchange(count, start);
    for (size_t position = 0; position < n; ++position) {
      const Key key = keys[position];
      const Index target = starts[(key >> shift) & (kDigitValues - 1)]++;
      next_keys[target] = key;
      next_order[target] = order[position];
    }
    keys.swap(next_keys);
    order.swap(next_order);
  }
}

// Ordered keys in ascending order, with the positions they came from.
template <typename T, typename Index>
struct SortedKeys {
  std::vector<KeyOf<T>> keys;
  std::vector<Index> order;
};

// Sorts keys[i] = OrderedKey(values[i]) into ascending value order, NaN last and equal values
// in ascending position i, and records those positions: a radix sort when there are enough
// keys, else the standard stable sort on the keys. Both give the one order that is ascending
// by key and keeps ties in position order.
template <typename T, typename Index>
SortedKeys<T, Index> SortKeysStably(std::vector<KeyOf<T>> keys) {
  const size_t n = keys.size();
  SortedKeys<T, Index> sorted{std::move(keys), std::vector<Index>(n)};
  std::iota(sorted.order.begin(), sorted.order.end(), Index{0});
  if (n >= kRadixMinValues) {
    RadixSortByKey(sorted.keys, sorted.order);
    return sorted;
  }
  const std::vector<KeyOf<T>>& unsorted = sorted.keys;
  std::stable_sort(sorted.order.begin(), sorted.order.end(),
                   [&unsorted](Index a, Index b) { return unsorted[a] < unsorted[b]; });
  std::vector<KeyOf<T>> gathered(n);
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
  std::vector<internal::KeyOf<T>> keys(values.size());
  for (size_t position = 0; position < values.size(); ++position) {
    keys[position] = internal::OrderedKey(values[position]);
  }
  return internal::SortKeysStably<T, Index>(std::move(keys)).order;
}

}  // namespace rilo
