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

// Below this many values the comparison sort is as fast and needs no counter tables.
constexpr size_t kRadixMinValues = 1024;
// Widest digit of a radix pass: 2^11 counters and write positions stay in the first-level
// cache while a pass scatters keys over them.
constexpr int kDigitBits = 11;
constexpr int kDigitValues = 1 << kDigitBits;
// Ranges of at most this many keys are sorted by passes within the range, which (12 or 16 bytes
// a key with its position, twice over) stays in the second- or third-level cache meanwhile;
// larger ones are first split into buckets by their highest bits, one pass over memory.
constexpr size_t kCachedSortMaxValues = size_t{1} << 16;
// A split aims at buckets of about 2^12 keys: large enough that a bucket's counters cost little
// beside its keys, small enough to stay cached.
constexpr int kBucketBits = 12;
// Ranges of fewer keys than this are sorted by insertion.
constexpr size_t kInsertionMaxValues = 32;

// Keys and the positions they came from, side by side: a range of keys being sorted.
template <typename Key, typename Index>
struct KeyedRange {
  Key* keys;
  Index* order;

  // The range that starts `offset` keys further on.
  KeyedRange At(size_t offset) const { return KeyedRange{keys + offset, order + offset}; }
};

// Copies `count` keys and their positions from `from` to `to`.
template <typename Key, typename Index>
void CopyKeyed(KeyedRange<Key, Index> from, KeyedRange<Key, Index> to, size_t count) {
  std::copy_n(from.keys, count, to.keys);
  std::copy_n(from.order, count, to.order);
}

// The highest set bit of `bits`, or -1 when it is 0.
template <typename Key>
int HighestBit(Key bits) {
  int bit = -1;
  for (; bits != 0; bits >>= 1) ++bit;
  return bit;
}

// Moves the `count` keys of `from` (and their positions) into `to` stably by digit, the digit
// of a key being digit_of(key), given `starts`: where in `to` each digit's first key goes
// (advanced here past its keys).
template <typename Key, typename Index, typename DigitOf, typename Starts>
void ScatterByDigit(KeyedRange<Key, Index> from, KeyedRange<Key, Index> to, size_t count, DigitOf digit_of,
                    Starts& starts) {
  for (size_t position = 0; position < count; ++position) {
    const Key key = from.keys[position];
    const size_t target = starts[digit_of(key)]++;
    to.keys[target] = key;
    to.order[target] = from.order[position];
  }
}

// Calls body(begin, end) over [first, last) in consecutive chunks of kStopPollInterval positions,
// polling `should_stop` before each: a pass over memory that stops within a chunk's time.
template <typename ShouldStop, typename Body>
void InChunks(size_t first, size_t last, ShouldStop& should_stop, Body body) {
  for (size_t begin = first; begin < last; begin += kStopPollInterval) {
    StopIfAsked(should_stop);
    body(begin, std::min(last, begin + kStopPollInterval));
  }
}

// Turns counts per digit into where each digit's first key goes, in place.
template <typename Counts>
void CountsToStarts(Counts& counts) {
  typename Counts::value_type start = 0;
  for (auto& count : counts) start += std::exchange(count, start);
}

// Sorts the `count` keys of `range` stably by insertion.
template <typename Key, typename Index>
void InsertionSortByKey(KeyedRange<Key, Index> range, size_t count) {
  for (size_t position = 1; position < count; ++position) {
    const Key key = range.keys[position];
    const Index row = range.order[position];
    size_t hole = position;
    for (; hole > 0 && key < range.keys[hole - 1]; --hole) {
      range.keys[hole] = range.keys[hole - 1];
      range.order[hole] = range.order[hole - 1];
    }
    range.keys[hole] = key;
    range.order[hole] = row;
  }
}

// Sorts the `count` keys of `range` (few enough to stay cached) stably, by least-significant-
// digit passes over the bits in which they differ, every pass's digits counted in one read,
// each pass moving the keys between `range` and `other`; returns whichever of the two holds the
// sorted keys.
template <typename Key, typename Index>
KeyedRange<Key, Index> SortCached(KeyedRange<Key, Index> range, KeyedRange<Key, Index> other, size_t count) {
  constexpr int kMostPasses = (8 * sizeof(Key) + kDigitBits - 1) / kDigitBits;
  constexpr Key kMask = kDigitValues - 1;
  Key differing = 0;
  for (size_t position = 1; position < count; ++position) differing |= range.keys[position] ^ range.keys[0];
  if (count < kInsertionMaxValues || differing == 0) {
    InsertionSortByKey(range, count);
    return range;
  }
  const int passes = HighestBit(differing) / kDigitBits + 1;
  std::array<std::array<std::uint32_t, kDigitValues>, kMostPasses> starts;
  for (int pass = 0; pass < passes; ++pass) starts[pass].fill(0);
  for (size_t position = 0; position < count; ++position) {
    const Key key = range.keys[position];
    for (int pass = 0; pass < passes; ++pass) ++starts[pass][(key >> (pass * kDigitBits)) & kMask];
  }
  for (int pass = 0; pass < passes; ++pass) {
    const int shift = pass * kDigitBits;
    if (starts[pass][(range.keys[0] >> shift) & kMask] == count) continue;  // a digit all keys share
    CountsToStarts(starts[pass]);
    ScatterByDigit(range, other, count, [shift](Key key) { return (key >> shift) & kMask; }, starts[pass]);
    std::swap(range, other);
  }
  return range;
}

// Sorts the `count` keys of `range` (few enough to stay cached) stably and leaves them in
// `destination`, which is `range` itself or `other`; the other one is used as scratch.
template <typename Key, typename Index>
void SortCachedTo(KeyedRange<Key, Index> range, KeyedRange<Key, Index> other, size_t count,
                  KeyedRange<Key, Index> destination) {
  const KeyedRange<Key, Index> sorted = SortCached(range, other, count);
  if (sorted.keys != destination.keys) CopyKeyed(sorted, destination, count);
}

// How to split keys into buckets: by (key - low) >> shift, the highest varying bits above the
// lowest key, as many as make buckets of about 2^kBucketBits keys (at most kDigitBits).
template <typename Key>
struct Split {
  Key low;
  int shift;

  // A split of `count` keys whose lowest is `low` and whose differences from it OR to `spread`.
  Split(Key low_key, Key spread, size_t count) : low(low_key) {
    int bits = 1;
    while (bits < kDigitBits && (count >> (bits + kBucketBits)) > 0) ++bits;
    shift = std::max(0, HighestBit(spread) + 1 - bits);
  }

  size_t BucketOf(Key key) const { return static_cast<size_t>((key - low) >> shift); }
};

// Moves the `count` keys of `from` stably into `to` by bucket, the highest bits in which they
// vary above the lowest key making the bucket (one pass over memory), and writes each bucket's
// number of keys into `counts`; returns false, moving nothing, when all keys are equal.
template <typename Key, typename Index, typename Counts, typename ShouldStop>
bool SplitInto(KeyedRange<Key, Index> from, KeyedRange<Key, Index> to, size_t count, Counts& counts,
               ShouldStop& should_stop) {
  const Key low = *std::min_element(from.keys, from.keys + count);
  Key spread = 0;
  InChunks(0, count, should_stop, [&](size_t begin, size_t end) {
    for (size_t position = begin; position < end; ++position) spread |= from.keys[position] - low;
  });
  if (spread == 0) return false;
  const Split<Key> split(low, spread, count);
  counts.fill(0);
  InChunks(0, count, should_stop, [&](size_t begin, size_t end) {
    for (size_t position = begin; position < end; ++position) ++counts[split.BucketOf(from.keys[position])];
  });
  Counts starts = counts;
  CountsToStarts(starts);
  InChunks(0, count, should_stop, [&](size_t begin, size_t end) {
    ScatterByDigit(from.At(begin), to, end - begin, [&split](Key key) { return split.BucketOf(key); }, starts);
  });
  return true;
}

template <typename Key, typename Index, typename ShouldStop>
void SortInto(KeyedRange<Key, Index> from, KeyedRange<Key, Index> to, size_t count, ShouldStop& should_stop);

// Sorts the buckets [first_bucket, end_bucket) of `from` (`counts` keys each, the first starting
// at key `begin`) in turn into the same places of `to`, through `from` as scratch.
template <typename Key, typename Index, typename Counts, typename ShouldStop>
void SortBucketsInto(KeyedRange<Key, Index> from, KeyedRange<Key, Index> to, const Counts& counts,
                     size_t first_bucket, size_t end_bucket, size_t begin, ShouldStop& should_stop) {
  for (size_t bucket = first_bucket; bucket < end_bucket; begin += counts[bucket++]) {
    StopIfAsked(should_stop);
    SortInto(from.At(begin), to.At(begin), counts[bucket], should_stop);
  }
}

// Sorts the `count` keys of `range` stably where they are; `scratch` (room for as many) is used
// meanwhile. Ranges small enough are sorted in the cache; larger ones are split into buckets in
// `scratch`, each of which is then sorted back into `range`.
template <typename Key, typename Index, typename ShouldStop>
void SortInPlace(KeyedRange<Key, Index> range, KeyedRange<Key, Index> scratch, size_t count, ShouldStop& should_stop) {
  if (count <= kCachedSortMaxValues) return SortCachedTo(range, scratch, count, range);
  std::array<size_t, kDigitValues> counts;
  if (!SplitInto(range, scratch, count, counts, should_stop)) return;  // all keys equal: in order
  SortBucketsInto(scratch, range, counts, 0, counts.size(), 0, should_stop);
}

// Sorts the buckets [first_bucket, end_bucket) of `to` (`counts` keys each, the first starting
// at key `begin`) in turn where they are, through `from` as scratch.
template <typename Key, typename Index, typename Counts, typename ShouldStop>
void SortBuckets(KeyedRange<Key, Index> from, KeyedRange<Key, Index> to, const Counts& counts, size_t first_bucket,
                 size_t end_bucket, size_t begin, ShouldStop& should_stop) {
  for (size_t bucket = first_bucket; bucket < end_bucket; begin += counts[bucket++]) {
    StopIfAsked(should_stop);
    if (counts[bucket] < 2) continue;
    SortInPlace(to.At(begin), from.At(begin), counts[bucket], should_stop);
  }
}

// Sorts the `count` keys of `from` stably into `to`; `from` is used as scratch. Ranges small
// enough are sorted in the cache; larger ones are split into buckets in `to` (one pass over
// memory), and each bucket sorted in turn where it is.
template <typename Key, typename Index, typename ShouldStop>
void SortInto(KeyedRange<Key, Index> from, KeyedRange<Key, Index> to, size_t count, ShouldStop& should_stop) {
  if (count <= kCachedSortMaxValues) return SortCachedTo(from, to, count, to);
  std::array<size_t, kDigitValues> counts;
  if (!SplitInto(from, to, count, counts, should_stop)) return CopyKeyed(from, to, count);
  SortBuckets(from, to, counts, 0, counts.size(), 0, should_stop);
}

// Sorts the n keys of `range` ascending where they are, their positions moved alike, stably, by
// a radix sort on up to `threads` threads, through `scratch` (room for as many): the first split
// into buckets has each thread count and move one part of the keys (parts keep their order
// within a bucket, so the result is that of one part), then the buckets, shared out in runs of
// about equal size, are sorted each by one thread.
template <typename Key, typename Index, typename ShouldStop>
void RadixSortByKey(KeyedRange<Key, Index> range, KeyedRange<Key, Index> scratch, size_t n, int threads,
                    ShouldStop& should_stop) {
  using Counts = std::array<size_t, kDigitValues>;
  const Key* keys = range.keys;
  const size_t parts = static_cast<size_t>(PartCount(static_cast<std::ptrdiff_t>(n), threads));
  if (n <= kCachedSortMaxValues || parts == 1) {
    SortInPlace(range, scratch, n, should_stop);
  } else {
    const auto part_begin = [n, parts](size_t part) { return n * part / parts; };
    std::vector<Key> part_low(parts);
    ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
      part_low[part] = keys[part_begin(part)];
      InChunks(part_begin(part), part_begin(part + 1), should_stop, [&](size_t begin, size_t end) {
        part_low[part] = std::min(part_low[part], *std::min_element(keys + begin, keys + end));
      });
    }, should_stop);
    const Key low = *std::min_element(part_low.begin(), part_low.end());
    std::vector<Key> part_spread(parts, 0);
    std::vector<Counts> part_starts(parts, Counts{});
    ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
      InChunks(part_begin(part), part_begin(part + 1), should_stop, [&](size_t begin, size_t end) {
        for (size_t position = begin; position < end; ++position) part_spread[part] |= keys[position] - low;
      });
    }, should_stop);
    Key spread = 0;
    for (const Key bits : part_spread) spread |= bits;
    const Split<Key> split(low, spread, n);
    ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
      InChunks(part_begin(part), part_begin(part + 1), should_stop, [&](size_t begin, size_t end) {
        for (size_t position = begin; position < end; ++position) ++part_starts[part][split.BucketOf(keys[position])];
      });
    }, should_stop);
    Counts counts{};
    for (size_t bucket = 0, start = 0; bucket < counts.size(); ++bucket) {
      for (Counts& starts : part_starts) {
        counts[bucket] += starts[bucket];
        start += std::exchange(starts[bucket], start);
      }
    }
    ForEachTask(parts, threads, [&](std::ptrdiff_t part) {
      InChunks(part_begin(part), part_begin(part + 1), should_stop, [&](size_t begin, size_t end) {
        ScatterByDigit(range.At(begin), scratch, end - begin, [&split](Key key) { return split.BucketOf(key); },
                       part_starts[part]);
      });
    }, should_stop);
    // Runs of whole buckets of about n / parts keys each, one per task.
    std::vector<size_t> run_bucket(parts + 1, counts.size());
    std::vector<size_t> run_begin(parts + 1, n);
    run_bucket[0] = run_begin[0] = 0;
    for (size_t bucket = 0, begin = 0, run = 1; bucket < counts.size() && run < parts; begin += counts[bucket++]) {
      if (begin >= part_begin(run)) {
        run_bucket[run] = bucket;
        run_begin[run++] = begin;
      }
    }
    ForEachTask(parts, threads, [&](std::ptrdiff_t run) {
      SortBucketsInto(scratch, range, counts, run_bucket[run], run_bucket[run + 1], run_begin[run], should_stop);
    }, should_stop);
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
// through `scratch` (room for as many keys and positions) when there are enough keys, else the
// standard stable sort on the keys. Both give the one order that is ascending by key and keeps
// ties in position order.
template <typename T, typename Index, typename ShouldStop>
SortedKeys<T, Index> SortKeysStably(LargeVector<KeyOf<T>> keys, KeyedRange<KeyOf<T>, Index> scratch, int threads,
                                    ShouldStop& should_stop) {
  const size_t n = keys.size();
  SortedKeys<T, Index> sorted{std::move(keys), LargeVector<Index>(n)};
  ForEachPart(static_cast<std::ptrdiff_t>(n), 1, threads, [&sorted](std::ptrdiff_t begin, std::ptrdiff_t end) {
    std::iota(sorted.order.begin() + begin, sorted.order.begin() + end, static_cast<Index>(begin));
  }, should_stop);
  if (n >= kRadixMinValues) {
    RadixSortByKey(KeyedRange<KeyOf<T>, Index>{sorted.keys.data(), sorted.order.data()}, scratch, n, threads,
                   should_stop);
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

// SortKeysStably through scratch of its own.
template <typename T, typename Index, typename ShouldStop>
SortedKeys<T, Index> SortKeysStably(LargeVector<KeyOf<T>> keys, int threads, ShouldStop& should_stop) {
  LargeVector<KeyOf<T>> scratch_keys(keys.size());
  LargeVector<Index> scratch_order(keys.size());
  const KeyedRange<KeyOf<T>, Index> scratch{scratch_keys.data(), scratch_order.data()};
  return SortKeysStably<T, Index>(std::move(keys), scratch, threads, should_stop);
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
