// The standard library's unstable and stable sorts with their independent parts run on two
// threads. The tolerant order is not a strict weak ordering, so only the standard algorithms
// give the expected permutation; these functions run the very same library steps on the same
// subranges in the same roles and differ only in which thread runs a step whose subrange no
// other step touches at the same time. The comparison must be pure and must not throw.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo::internal {

// Ranges below this many elements are sorted on one thread: starting a thread costs tens of
// microseconds, about what sorting a few thousand records does.
constexpr std::ptrdiff_t kTwoThreadMinimum = 1 << 15;

}  // namespace rilo::internal

// The sorts below are composed from the steps that libstdc++ 12 composes its own from.
#if defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE == 12

namespace rilo::internal {

// Records ahead of the final insertion pass whose data beyond the record (third value or row)
// is fetched early; the pass compares neighbours, which often tie in their first columns.
constexpr std::ptrdiff_t kInsertionPrefetchDistance = 16;

// True when a second thread can run beside this one.
inline bool SecondCoreAvailable() { return std::thread::hardware_concurrency() > 1; }

// Runs `on_this_thread` here and `on_helper` on a new thread, and returns when both are done.
// If no thread can be started, runs both here. Neither task may throw.
template <typename FirstTask, typename SecondTask>
void RunConcurrently(FirstTask on_this_thread, SecondTask on_helper) {
  std::thread helper;
  try {
    helper = std::thread(on_helper);
  } catch (const std::system_error&) {
    on_helper();
  }
  on_this_thread();
  if (helper.joinable()) helper.join();
}

// The library's element-count threshold below which its introsort leaves a range to the final
// insertion pass, and the chunk length its merge sort insertion-sorts first.
constexpr std::ptrdiff_t kIntrosortThreshold = 16;
constexpr std::ptrdiff_t kMergeSortChunk = 7;

// The unstable sort's final pass (an insertion sort of the whole range, guarded over the first
// kIntrosortThreshold elements only) with `prefetch` called on each element some way ahead.
// Assumes last - first > kIntrosortThreshold and the range as the introsort loop leaves it.
template <typename Iterator, typename Compare, typename Prefetch>
void FinalInsertionPass(Iterator first, Iterator last, Compare compare, Prefetch prefetch) {
  std::__insertion_sort(first, first + kIntrosortThreshold, compare);
  const auto compare_value = __gnu_cxx::__ops::__val_comp_iter(compare);
  for (Iterator position = first + kIntrosortThreshold; position != last; ++position) {
    if (last - position > kInsertionPrefetchDistance) prefetch(position[kInsertionPrefetchDistance]);
    std::__unguarded_linear_insert(position, compare_value);
  }
}

// The introsort loop's partition of [first, last) when the loop would make one (more than
// kIntrosortThreshold elements, depth left), returning the cut; else `first`, which leaves
// the whole range as one piece.
template <typename Iterator, typename Compare>
Iterator PartitionIfLoopWould(Iterator first, Iterator last, Compare compare) {
  if (last - first <= kIntrosortThreshold) return first;
  return std::__unguarded_partition_pivot(first, last, compare);
}

// The standard unstable sort of [first, last) under `less`. The introsort loop's first two
// rounds (a partition of the range, then one of each side) run first, the second round's two
// partitions concurrently; the four pieces they leave, each with two levels of depth spent,
// are then shared between the threads by size, largest first. Assumes last - first >
// kIntrosortThreshold.
template <typename Iterator, typename Less, typename Prefetch>
void IntrosortOnTwoThreads(Iterator first, Iterator last, Less less, Prefetch prefetch) {
  const auto compare = __gnu_cxx::__ops::__iter_comp_iter(less);
  const auto depth_limit = std::__lg(last - first) * 2 - 2;
  const Iterator cut = std::__unguarded_partition_pivot(first, last, compare);
  Iterator left_cut = first;
  Iterator right_cut = cut;
  RunConcurrently([&] { left_cut = PartitionIfLoopWould(first, cut, compare); },
                  [&] { right_cut = PartitionIfLoopWould(cut, last, compare); });
  std::array<std::pair<Iterator, Iterator>, 4> pieces{
      {{first, left_cut}, {left_cut, cut}, {cut, right_cut}, {right_cut, last}}};
  std::sort(pieces.begin(), pieces.end(), [](const auto& a, const auto& b) {
    return a.second - a.first > b.second - b.first;
  });
  std::vector<std::pair<Iterator, Iterator>> own_pieces;
  std::vector<std::pair<Iterator, Iterator>> helper_pieces;
  std::ptrdiff_t own_load = 0;
  std::ptrdiff_t helper_load = 0;
  for (const auto& piece : pieces) {
    const bool own = own_load <= helper_load;
    (own ? own_pieces : helper_pieces).push_back(piece);
    (own ? own_load : helper_load) += piece.second - piece.first;
  }
  const auto sort_pieces = [&](const std::vector<std::pair<Iterator, Iterator>>& chosen) {
    for (const auto& [piece_first, piece_last] : chosen) {
      std::__introsort_loop(piece_first, piece_last, depth_limit, compare);
    }
  };
  RunConcurrently([&] { sort_pieces(own_pieces); }, [&] { sort_pieces(helper_pieces); });
  FinalInsertionPass(first, last, compare, prefetch);
}

// Largest multiple of `unit` not above half of `length`: where a pass over runs of `unit`
// elements is cut into two independent halves.
inline std::ptrdiff_t HalfwayBoundary(std::ptrdiff_t length, std::ptrdiff_t unit) {
  return length / 2 / unit * unit;
}

// One merge pass of the library's merge sort (runs of `step` merged pairwise from [first, last)
// into `result`), split at a pair boundary so that each thread merges its own pairs.
template <typename Source, typename Destination, typename Compare>
void MergePassOnTwoThreads(Source first, Source last, Destination result, std::ptrdiff_t step,
                           Compare compare) {
  const std::ptrdiff_t split = HalfwayBoundary(last - first, 2 * step);
  if (split == 0) return std::__merge_sort_loop(first, last, result, step, compare);
  RunConcurrently(
      [&] { std::__merge_sort_loop(first, first + split, result, step, compare); },
      [&] { std::__merge_sort_loop(first + split, last, result + split, step, compare); });
}

// The library's merge sort of [first, last) through `buffer` (room for last - first elements):
// chunks insertion-sorted, then merge passes of doubling run length back and forth between the
// range and the buffer, each step split between two threads.
template <typename Iterator, typename Pointer, typename Compare>
void MergeSortWithBufferOnTwoThreads(Iterator first, Iterator last, Pointer buffer,
                                     Compare compare) {
  const std::ptrdiff_t length = last - first;
  const Pointer buffer_last = buffer + length;
  const std::ptrdiff_t chunk_split = HalfwayBoundary(length, kMergeSortChunk);
  RunConcurrently(
      [&] { std::__chunk_insertion_sort(first, first + chunk_split, kMergeSortChunk, compare); },
      [&] { std::__chunk_insertion_sort(first + chunk_split, last, kMergeSortChunk, compare); });
  // Invariant: runs of `step` elements are sorted in [first, last) at the top of the loop.
  for (std::ptrdiff_t step = kMergeSortChunk; step < length; step *= 4) {
    MergePassOnTwoThreads(first, last, buffer, step, compare);
    MergePassOnTwoThreads(buffer, buffer_last, first, step * 2, compare);
  }
}

// The standard stable sort of [first, last) under `less`, as it runs when it gets its full
// buffer of half the range: each half merge-sorted through the buffer, then the halves merged.
// If that buffer cannot be had, the standard stable sort runs instead and copes as it does.
template <typename Iterator, typename Less>
void StableSortOnTwoThreads(Iterator first, Iterator last, Less less) {
  using Value = typename std::iterator_traits<Iterator>::value_type;
  const std::ptrdiff_t length = last - first;
  const std::ptrdiff_t half = (length + 1) / 2;
  std::vector<Value, DefaultInitializationAllocator<Value>> buffer;
  try {
    buffer.resize(half);
  } catch (const std::bad_alloc&) {
    return std::stable_sort(first, last, less);
  }
  const auto compare = __gnu_cxx::__ops::__iter_comp_iter(less);
  const Iterator middle = first + half;
  MergeSortWithBufferOnTwoThreads(first, middle, buffer.data(), compare);
  MergeSortWithBufferOnTwoThreads(middle, last, buffer.data(), compare);
  std::__merge_adaptive(first, middle, last, half, length - half, buffer.data(), half, compare);
}

// The standard unstable sort of [first, last) under `less`; large ranges run on two threads
// when a second core is there. `prefetch` is called on records some way ahead of the final pass.
template <typename Iterator, typename Less, typename Prefetch>
void StandardSort(Iterator first, Iterator last, Less less, Prefetch prefetch) {
  if (last - first < kTwoThreadMinimum || !SecondCoreAvailable()) return std::sort(first, last, less);
  IntrosortOnTwoThreads(first, last, less, prefetch);
}

// The standard stable sort of [first, last) under `less`; large ranges run on two threads when
// a second core is there.
template <typename Iterator, typename Less>
void StandardStableSort(Iterator first, Iterator last, Less less) {
  if (last - first < kTwoThreadMinimum || !SecondCoreAvailable()) return std::stable_sort(first, last, less);
  StableSortOnTwoThreads(first, last, less);
}

}  // namespace rilo::internal

#else

// Other standard libraries compose their sorts differently: their own sorts run as they are.
namespace rilo::internal {

template <typename Iterator, typename Less, typename Prefetch>
void StandardSort(Iterator first, Iterator last, Less less, Prefetch) {
  std::sort(first, last, less);
}

template <typename Iterator, typename Less>
void StandardStableSort(Iterator first, Iterator last, Less less) {
  std::stable_sort(first, last, less);
}

}  // namespace rilo::internal

#endif
