// The project's own unstable and stable comparison sorts. For any comparison that is never true
// for an element against itself nor true both ways, they produce exactly the permutation that
// libstdc++ 12's std::sort and std::stable_sort (given its full buffer) produce: the same
// introsort (median-of-three quicksort, heap sort below a depth limit, insertion sort of what
// is left) and the same buffered merge sort, step for step, so that an order that is not a
// strict weak ordering (the tolerant row order) sorts the same way on every toolchain. For any
// comparison at all, even one that answers both ways or changes its mind, they only ever touch
// elements of the range: an inconsistent comparison costs order, never memory safety.
// Independent subranges of large sorts run on several threads; which thread runs which step
// never changes the result. The comparison must not throw. Each sort polls a `should_stop`
// (base/stop.h) as it goes and, once it says stop, returns early with the range in an
// unspecified order (the stable sort: some elements lost or repeated, none invented), which its
// caller must then throw away.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

#include "base/config.h"
#include "base/helper_threads.h"
#include "base/stop.h"
#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo::internal {

// Ranges of at most this many elements are left by the introsort loop to the final insertion
// pass: on short ranges insertion sort beats partitioning.
constexpr std::ptrdiff_t kInsertionSortThreshold = 16;
// Run length that the merge sort first sorts by insertion before it starts merging.
constexpr std::ptrdiff_t kMergeSortChunk = 7;

// Moves the element at `position` down into the run before it, as far as `less` says it goes
// before its left neighbour, but never below `range_first`. Assumes range_first <= position.
template <typename Iterator, typename Less>
void InsertBackwards(Iterator range_first, Iterator position, Less less) {
  auto value = std::move(*position);
  Iterator hole = position;
  while (hole != range_first && less(value, *(hole - 1))) {
    *hole = std::move(*(hole - 1));
    --hole;
  }
  *hole = std::move(value);
}

// Insertion sort of [first, last): an element that goes before the first one is moved to the
// front at once, any other is moved down step by step.
template <typename Iterator, typename Less>
void InsertionSort(Iterator first, Iterator last, Less less) {
  if (first == last) return;
  for (Iterator position = first + 1; position != last; ++position) {
    if (less(*position, *first)) {
      auto value = std::move(*position);
      std::move_backward(first, position, position + 1);
      *first = std::move(value);
    } else {
      InsertBackwards(first, position, less);
    }
  }
}

// Swaps into `result` the median of the elements at a, b and c, as three comparisons judge it.
template <typename Iterator, typename Less>
void MoveMedianToFirst(Iterator result, Iterator a, Iterator b, Iterator c, Less less) {
  Iterator median;
  if (less(*a, *b)) {
    median = less(*b, *c) ? b : (less(*a, *c) ? c : a);
  } else {
    median = less(*a, *c) ? a : (less(*b, *c) ? c : b);
  }
  std::iter_swap(result, median);
}

// Partitions [first + 1, last) around the pivot at `first`: elements that go before the pivot
// to the left, those the pivot goes before to the right, scanning from both ends and swapping
// each pair that stands wrong. Returns where the right part begins. The scans stop at the ends
// of the range, which a comparison that is never true both ways never reaches. The pivot never
// moves meanwhile; it is compared from a copy, which stays in registers. When `should_stop`
// asks, returns early a cut inside the range.
template <typename Iterator, typename Less, typename ShouldStop>
Iterator PartitionAroundFirst(Iterator first, Iterator last, Less less, ShouldStop& should_stop) {
  const auto pivot = *first;
  Iterator left = first + 1;
  Iterator right = last;
  StopCountdown<ShouldStop> countdown(should_stop);
  while (true) {
    while (left != last && less(*left, pivot)) {
      ++left;
      if (countdown.Stopping()) return left;
    }
    --right;
    while (less(pivot, *right) && right != first) {
      --right;
      if (countdown.Stopping()) return left;
    }
    if (!(left < right)) return left;
    std::iter_swap(left, right);
    ++left;
    if (countdown.Stopping()) return left;
  }
}

// Moves the median of the second, middle and last elements to the front and partitions the
// rest around it; returns the cut. Assumes last - first > kInsertionSortThreshold.
template <typename Iterator, typename Less, typename ShouldStop>
Iterator PartitionAroundMedian(Iterator first, Iterator last, Less less, ShouldStop& should_stop) {
  const Iterator middle = first + (last - first) / 2;
  MoveMedianToFirst(first, first + 1, middle, last - 1, less);
  return PartitionAroundFirst(first, last, less, should_stop);
}

// Moves `value` from the hole at index `hole` up the heap at `first` while its parent goes
// before it, no higher than index `top`, and stores it there.
template <typename Iterator, typename Distance, typename Value, typename Less>
void SiftUp(Iterator first, Distance hole, Distance top, Value value, Less less) {
  Distance parent = (hole - 1) / 2;
  while (hole > top && less(first[parent], value)) {
    first[hole] = std::move(first[parent]);
    hole = parent;
    parent = (hole - 1) / 2;
  }
  first[hole] = std::move(value);
}

// Fills the hole at index `hole` of the heap of `length` elements at `first` by moving the
// larger child up all the way to the bottom, then sifts `value` up from there.
template <typename Iterator, typename Distance, typename Value, typename Less>
void SiftDown(Iterator first, Distance hole, Distance length, Value value, Less less) {
  const Distance top = hole;
  Distance child = hole;
  while (child < (length - 1) / 2) {
    child = 2 * (child + 1);
    if (less(first[child], first[child - 1])) --child;
    first[hole] = std::move(first[child]);
    hole = child;
  }
  if ((length & 1) == 0 && child == (length - 2) / 2) {
    child = 2 * (child + 1);
    first[hole] = std::move(first[child - 1]);
    hole = child - 1;
  }
  SiftUp(first, hole, top, std::move(value), less);
}

// Heap sort of [first, last): a max-heap built bottom-up, then its top moved to the end one by
// one. The introsort loop's fallback once its depth limit is spent. Returns early when
// `should_stop` asks.
template <typename Iterator, typename Less, typename ShouldStop = NeverStop>
void HeapSort(Iterator first, Iterator last, Less less, ShouldStop should_stop = {}) {
  using Distance = typename std::iterator_traits<Iterator>::difference_type;
  const Distance length = last - first;
  StopCountdown<ShouldStop> countdown(should_stop);
  if (length >= 2) {
    for (Distance parent = (length - 2) / 2;; --parent) {
      SiftDown(first, parent, length, std::move(first[parent]), less);
      if (parent == 0 || countdown.Stopping()) break;
    }
  }
  while (last - first > 1 && !countdown.Stopping()) {
    --last;
    auto value = std::move(*last);
    *last = std::move(*first);
    SiftDown(first, Distance{0}, Distance(last - first), std::move(value), less);
  }
}

// Partitions [first, last) until every piece is at most kInsertionSortThreshold long (the right
// side of each cut handled by a nested call, possibly on a helper thread, the left side by the
// loop); a piece whose `depth_limit` runs out is heap-sorted instead. Pieces of at least
// kStopPollInterval elements poll `should_stop` once partitioned and end when it asks.
template <typename Iterator, typename Less, typename ShouldStop>
void IntrosortLoop(Iterator first, Iterator last, int depth_limit, Less less,
                   HelperThreads& helpers, ShouldStop should_stop) {
  while (last - first > kInsertionSortThreshold) {
    if (depth_limit == 0) return HeapSort(first, last, less, should_stop);
    --depth_limit;
    const Iterator cut = PartitionAroundMedian(first, last, less, should_stop);
    if (last - first >= kStopPollInterval && should_stop()) return;
    const auto sort_right = [cut, last, depth_limit, less, &helpers, should_stop] {
      IntrosortLoop(cut, last, depth_limit, less, helpers, should_stop);
    };
    if (last - cut < kParallelMinimum || !helpers.TryStart(sort_right)) sort_right();
    last = cut;
  }
}

// The introsort's final pass over [first, last) as the loop leaves it: insertion sort of the
// first kInsertionSortThreshold elements, then each later one moved down into place, with
// `prefetch` called on the element kPrefetchDistance ahead. Assumes
// last - first > kInsertionSortThreshold. Returns early when `should_stop` asks.
template <typename Iterator, typename Less, typename Prefetch, typename ShouldStop>
void FinalInsertionPass(Iterator first, Iterator last, Less less, Prefetch prefetch,
                        ShouldStop& should_stop) {
  InsertionSort(first, first + kInsertionSortThreshold, less);
  StopCountdown<ShouldStop> countdown(should_stop);
  for (Iterator position = first + kInsertionSortThreshold; position != last; ++position) {
    if (countdown.Stopping()) return;
    if (last - position > kPrefetchDistance) prefetch(position[kPrefetchDistance]);
    InsertBackwards(first, position, less);
  }
}

// floor(log2(length)) for length >= 1.
inline int FloorLog2(std::ptrdiff_t length) {
  int log = 0;
  while (length > 1) {
    length >>= 1;
    ++log;
  }
  return log;
}

// Unstable sort of [first, last) under `less` (introsort with depth limit 2 floor(log2 n)), on
// up to `threads` threads; `prefetch` is called on elements some way ahead of the final pass.
// Polls `should_stop`, also while it waits for helper threads, and returns early when it asks.
template <typename Iterator, typename Less, typename Prefetch, typename ShouldStop = NeverStop>
void UnstableSort(Iterator first, Iterator last, Less less, int threads, Prefetch prefetch,
                  ShouldStop should_stop = {}) {
  if (first == last) return;
  {
    HelperThreads helpers(threads);
    IntrosortLoop(first, last, 2 * FloorLog2(last - first), less, helpers, should_stop);
    helpers.JoinAll(should_stop);
  }
  if (should_stop()) return;
  if (last - first > kInsertionSortThreshold) {
    FinalInsertionPass(first, last, less, prefetch, should_stop);
  } else {
    InsertionSort(first, last, less);
  }
}

// UnstableSort with nothing prefetched.
template <typename Iterator, typename Less>
void UnstableSort(Iterator first, Iterator last, Less less, int threads) {
  UnstableSort(first, last, less, threads, [](const auto&) {});
}

// Merges the sorted runs [first1, last1) and [first2, last2) into `out`, taking from the second
// only when its element goes before the first's; returns the end of the output. Returns early,
// the output unfinished, when `countdown` says stop.
template <typename Input, typename Output, typename Less, typename Countdown>
Output MoveMerge(Input first1, Input last1, Input first2, Input last2, Output out, Less less,
                 Countdown& countdown) {
  while (first1 != last1 && first2 != last2) {
    if (countdown.Stopping()) return out;
    if (less(*first2, *first1)) {
      *out = std::move(*first2);
      ++first2;
    } else {
      *out = std::move(*first1);
      ++first1;
    }
    ++out;
  }
  return std::move(first2, last2, std::move(first1, last1, out));
}

// One merge pass: the runs of `step` elements of [first, last) merged pairwise into `out`, a
// short last pair (or lone run) included. Ends early when `countdown` says stop.
template <typename Input, typename Output, typename Distance, typename Less, typename Countdown>
void MergePass(Input first, Input last, Output out, Distance step, Less less,
               Countdown& countdown) {
  const Distance two_steps = 2 * step;
  while (last - first >= two_steps) {
    out = MoveMerge(first, first + step, first + step, first + two_steps, out, less, countdown);
    if (countdown.stopped()) return;
    first += two_steps;
  }
  const Distance rest = std::min<Distance>(last - first, step);
  MoveMerge(first, first + rest, first + rest, last, out, less, countdown);
}

// Insertion sort of each run of kMergeSortChunk elements of [first, last), the last run short.
// Ends early when `countdown` says stop.
template <typename Iterator, typename Less, typename Countdown>
void ChunkInsertionSort(Iterator first, Iterator last, Less less, Countdown& countdown) {
  while (last - first >= kMergeSortChunk) {
    if (countdown.Stopping(kMergeSortChunk)) return;
    InsertionSort(first, first + kMergeSortChunk, less);
    first += kMergeSortChunk;
  }
  InsertionSort(first, last, less);
}

// Merge sort of [first, last) through `buffer` (room for last - first elements): chunks sorted
// by insertion, then merge passes of doubling run length from the range into the buffer and
// back. The chunks, and the pairs of each pass, are shared out between up to `threads` threads.
// Once `should_stop` asks, no further pass starts: the one it stopped leaves part of its output
// unwritten.
template <typename Iterator, typename Pointer, typename Less, typename ShouldStop>
void MergeSortWithBuffer(Iterator first, Iterator last, Pointer buffer, Less less, int threads,
                         ShouldStop should_stop) {
  const std::ptrdiff_t length = last - first;
  ForEachPart(length, kMergeSortChunk, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    ShouldStop part_should_stop = should_stop;
    StopCountdown<ShouldStop> countdown(part_should_stop);
    ChunkInsertionSort(first + begin, first + end, less, countdown);
  }, should_stop);
  const auto pass = [&](auto from, auto to, std::ptrdiff_t step) {
    if (should_stop()) return false;
    ForEachPart(length, 2 * step, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
      ShouldStop part_should_stop = should_stop;
      StopCountdown<ShouldStop> countdown(part_should_stop);
      MergePass(from + begin, from + end, to + begin, step, less, countdown);
    }, should_stop);
    return true;
  };
  // Invariant: the runs of `step` elements of [first, last) are sorted at the top of the loop.
  for (std::ptrdiff_t step = kMergeSortChunk; step < length; step *= 4) {
    if (!pass(first, buffer, step) || !pass(buffer, first, 2 * step)) return;
  }
}

// Merges the sorted run in [buffer, buffer_last) with the sorted run [first2, last2) that
// follows the output position `out` in the same range, front to back. Returns early when
// `countdown` says stop.
template <typename Pointer, typename Iterator, typename Less, typename Countdown>
void MergeForward(Pointer buffer, Pointer buffer_last, Iterator first2, Iterator last2,
                  Iterator out, Less less, Countdown& countdown) {
  while (buffer != buffer_last && first2 != last2) {
    if (countdown.Stopping()) return;
    if (less(*first2, *buffer)) {
      *out = std::move(*first2);
      ++first2;
    } else {
      *out = std::move(*buffer);
      ++buffer;
    }
    ++out;
  }
  std::move(buffer, buffer_last, out);
}

// Merges the sorted run [first1, last1) with the sorted run in [buffer, buffer_last) into the
// range that ends at `out_last` (and begins at first1), back to front. Returns early when
// `countdown` says stop.
template <typename Iterator, typename Pointer, typename Less, typename Countdown>
void MergeBackward(Iterator first1, Iterator last1, Pointer buffer, Pointer buffer_last,
                   Iterator out_last, Less less, Countdown& countdown) {
  if (first1 == last1) {
    std::move_backward(buffer, buffer_last, out_last);
    return;
  }
  if (buffer == buffer_last) return;
  --last1;
  --buffer_last;
  while (!countdown.Stopping()) {
    if (less(*buffer_last, *last1)) {
      *--out_last = std::move(*last1);
      if (first1 == last1) {
        std::move_backward(buffer, buffer_last + 1, out_last);
        return;
      }
      --last1;
    } else {
      *--out_last = std::move(*buffer_last);
      if (buffer == buffer_last) return;
      --buffer_last;
    }
  }
}

// Merges the sorted halves [first, middle) and [middle, last) through `buffer`, which holds
// the shorter one (the first when both are as long) while the merge fills the range. Returns
// early when `should_stop` asks.
template <typename Iterator, typename Pointer, typename Less, typename ShouldStop>
void MergeHalves(Iterator first, Iterator middle, Iterator last, Pointer buffer, Less less,
                 ShouldStop& should_stop) {
  StopCountdown<ShouldStop> countdown(should_stop);
  if (middle - first <= last - middle) {
    const Pointer buffer_last = std::move(first, middle, buffer);
    MergeForward(buffer, buffer_last, middle, last, first, less, countdown);
  } else {
    const Pointer buffer_last = std::move(middle, last, buffer);
    MergeBackward(first, middle, buffer, buffer_last, last, less, countdown);
  }
}

// Stable sort of [first, last) under `less` on up to `threads` threads: a buffer of half the
// range, rounded up, allocated before anything moves (std::bad_alloc, with the range untouched,
// when it cannot be had); each half merge-sorted through it; then the halves merged. Polls
// `should_stop`, also while it waits for helper threads, and returns early when it asks.
template <typename Iterator, typename Less, typename ShouldStop = NeverStop>
void StableSort(Iterator first, Iterator last, Less less, int threads,
                ShouldStop should_stop = {}) {
  using Value = typename std::iterator_traits<Iterator>::value_type;
  if (first == last) return;
  const std::ptrdiff_t half = (last - first + 1) / 2;
  std::vector<Value, DefaultInitializationAllocator<Value>> buffer(half);
  const Iterator middle = first + half;
  MergeSortWithBuffer(first, middle, buffer.data(), less, threads, should_stop);
  if (should_stop()) return;
  MergeSortWithBuffer(middle, last, buffer.data(), less, threads, should_stop);
  if (should_stop()) return;
  MergeHalves(first, middle, last, buffer.data(), less, should_stop);
}

}  // namespace rilo::internal
