// The sweep over rows in sweep order, cut into consecutive ranges that are swept at once on
// several threads and then joined into exactly the sweep of all rows in one go.
//
// A range swept alone differs from its part of the whole sweep only where openings of earlier
// ranges reach into it. Joining takes the ranges in order: the openings of earlier ranges whose
// windows reach into a range are handed on to it, and a prefix of the range is swept again
// after them, growing until every opening on which the two sweeps of the prefix differ has a
// window that ends inside it. Past that prefix the range's own sweep holds as it is: every row
// there is claimed by the same openings in the same order in both.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/config.h"
#include "base/helper_threads.h"
#include "base/stop.h"
#include "projection_sweep/arg_sort.h"
#include "projection_sweep/sweep_in_order.h"
#include "projection_sweep/sweep_in_slabs.h"

namespace rilo::internal {

// Whether sort position `position` opens a group.
inline bool Opens(const OpeningBits& opens, std::ptrdiff_t position) {
  return (opens[position / 64] >> (position % 64)) & 1;
}

// Sets the bit of sort position `position` to `opening`.
inline void SetOpens(OpeningBits& opens, std::ptrdiff_t position, bool opening) {
  const std::uint64_t bit = std::uint64_t{1} << (position % 64);
  opens[position / 64] = opening ? (opens[position / 64] | bit) : (opens[position / 64] & ~bit);
}

// Marks in `opens` which of the positions [begin, end) open a group, from their groups (numbered
// in opening order from `first_group` on): a position opens when it is the first to hold the
// next number, since a group only claims positions after its opening one.
template <typename Index, typename ShouldStop>
void MarkOpenings(const Index* groups, Index begin, Index end, Index first_group, OpeningBits& opens,
                  ShouldStop& should_stop) {
  Index next = first_group;
  for (Index position = begin; position < end; ++position) {
    if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
    const bool opening = groups[position] == next;
    next += opening;
    SetOpens(opens, position, opening);
  }
}

// An opening of the whole sweep: its sort position and its group's number.
template <typename Index>
struct Opening {
  Index position;
  Index group;
};

// A range of sort positions [begin, end) and how its own sweep's group numbers, written for the
// positions from prefix_end on, become those of the whole sweep: a number below kept_groups.size()
// names a group opened inside the prefix, numbered kept_groups[number]; any other is shifted by
// `shift`.
template <typename Index>
struct SweptRange {
  Index begin;
  Index end;
  Index own_groups;  // groups opened by the range's own sweep
  Index prefix_end;
  Index shift;
  std::vector<Index> kept_groups;

  // The whole sweep's number of the group numbered `own` by the range's own sweep.
  Index Renumbered(Index own) const {
    return own < static_cast<Index>(kept_groups.size()) ? kept_groups[own] : own + shift;
  }
};

// Whether the projection `later` lies within the window of an opening with projection `opening`.
template <typename T, typename Key>
bool InWindow(Key later, Key opening, T tolerance) {
  return ValueOfKey<T>(later) - ValueOfKey<T>(opening) < tolerance;
}

// The sweep of `handed_in` openings (every one of which opens, as none lies within the window
// and tolerance of another) followed by the positions [begin, begin + length): writes the
// block's groups into `groups` (handed_in.size() + length entries; the handed-in ones are
// numbered 0, 1, ... in order) and returns the block's number of groups.
template <typename T, typename Index, typename ShouldStop>
Index SweepAfterOpenings(const T* rows, const KeyOf<T>* keys, Index m, T tolerance,
                         const std::vector<Opening<Index>>& handed_in, Index begin, Index length,
                         std::vector<Index>& groups, ShouldStop& should_stop) {
  const std::size_t carried = handed_in.size();
  const std::size_t count = carried + static_cast<std::size_t>(length);
  std::vector<T> block_rows(count * static_cast<std::size_t>(m));
  std::vector<KeyOf<T>> block_keys(count);
  for (std::size_t index = 0; index < count; ++index) {
    if (index % kStopPollInterval == 0) StopIfAsked(should_stop);
    const std::ptrdiff_t position = index < carried ? handed_in[index].position
                                                    : begin + static_cast<std::ptrdiff_t>(index - carried);
    std::copy_n(rows + position * m, m, block_rows.data() + index * m);
    block_keys[index] = keys[position];
  }
  groups.resize(count);
  return SweepInOrder(block_rows.data(), block_keys.data(), static_cast<Index>(count), m, tolerance,
                      groups.data(), should_stop);
}

// Joins range `range`, swept alone (its groups numbered from 0 in `groups`, its openings marked
// in `opens`), to the whole sweep, given the `handed_in` openings of earlier ranges that reach
// into it and the number of groups opened before it: sweeps a prefix again after them (see the
// file comment), writes the prefix's groups in the whole sweep's numbers and its openings, and
// sets how the rest is renumbered. Returns the number of groups the range opens.
template <typename T, typename Index, typename ShouldStop>
Index JoinRange(const T* rows, const KeyOf<T>* keys, Index m, T tolerance,
                const std::vector<Opening<Index>>& handed_in, Index first_group, SweptRange<Index>& range,
                Index* groups, OpeningBits& opens, ShouldStop& should_stop) {
  const Index begin = range.begin;
  const Index size = range.end - range.begin;
  const Index carried = static_cast<Index>(handed_in.size());
  range.prefix_end = begin;
  range.shift = first_group;
  if (carried == 0) return range.own_groups;
  Index length = WindowEnd(keys, range.end, handed_in.back().position, begin, tolerance) - begin;
  std::vector<Index> block_groups;
  Index block_count = 0;
  while (true) {
    block_count = SweepAfterOpenings(rows, keys, m, tolerance, handed_in, begin, length, block_groups, should_stop);
    Index last_differing = -1;
    for (Index offset = 0, next = carried; offset < length; ++offset) {
      if (offset % kStopPollInterval == 0) StopIfAsked(should_stop);
      const bool opening = block_groups[carried + offset] == next;
      next += opening;
      if (opening != Opens(opens, begin + offset)) last_differing = begin + offset;
    }
    if (length == size || last_differing < 0) break;
    const Index reach = WindowEnd(keys, range.end, last_differing, last_differing + 1, tolerance) - begin;
    if (reach <= length) break;
    length = static_cast<Index>(std::min<std::ptrdiff_t>(size, std::max<std::ptrdiff_t>(reach, 2 * std::ptrdiff_t{length})));
  }
  // The range's own groups opened inside the prefix keep their numbers where they still open in
  // the whole sweep; only those can hold rows past the prefix.
  range.kept_groups.clear();
  for (Index offset = 0, next = carried; offset < length; ++offset) {
    if (offset % kStopPollInterval == 0) StopIfAsked(should_stop);
    const bool opening = block_groups[carried + offset] == next;
    if (Opens(opens, begin + offset)) range.kept_groups.push_back(first_group + (next - carried));
    next += opening;
    const Index group = block_groups[carried + offset];
    groups[begin + offset] = group < carried ? handed_in[group].group : first_group + (group - carried);
    SetOpens(opens, begin + offset, opening);
  }
  const Index prefix_groups = block_count - carried;
  const Index kept = static_cast<Index>(range.kept_groups.size());
  range.prefix_end = begin + length;
  range.shift = first_group + prefix_groups - kept;
  return prefix_groups + range.own_groups - kept;
}

// The openings among `handed_in` and those of `range` (already joined) whose windows reach
// past the range's last position, in sort order, with their numbers in the whole sweep.
template <typename T, typename Index>
std::vector<Opening<Index>> HandOn(const KeyOf<T>* keys, T tolerance, const std::vector<Opening<Index>>& handed_in,
                                   const SweptRange<Index>& range, const Index* groups, const OpeningBits& opens) {
  const KeyOf<T> last = keys[range.end - 1];
  std::vector<Opening<Index>> handed_on;
  for (const Opening<Index>& opening : handed_in) {
    if (InWindow(last, keys[opening.position], tolerance)) handed_on.push_back(opening);
  }
  const std::size_t earlier = handed_on.size();
  for (Index position = range.end - 1; position >= range.begin && InWindow(last, keys[position], tolerance);
       --position) {
    if (!Opens(opens, position)) continue;
    const Index group = position < range.prefix_end ? groups[position] : range.Renumbered(groups[position]);
    handed_on.push_back(Opening<Index>{position, group});
  }
  std::reverse(handed_on.begin() + earlier, handed_on.end());
  return handed_on;
}

// The openings of `handed_on` whose windows reach position `begin`.
template <typename T, typename Index>
std::vector<Opening<Index>> ReachingInto(const KeyOf<T>* keys, T tolerance, std::vector<Opening<Index>> handed_on,
                                         Index begin) {
  handed_on.erase(std::remove_if(handed_on.begin(), handed_on.end(),
                                 [&](const Opening<Index>& opening) {
                                   return !InWindow(keys[begin], keys[opening.position], tolerance);
                                 }),
                  handed_on.end());
  return handed_on;
}

// A cut between two ranges is kept only while the rows whose windows cross it number at most
// 1/kCrossingShare of a range: joining sweeps those rows again, so where windows are long (rows
// that share their projection, at the extreme) a second range would be swept twice for nothing.
constexpr std::ptrdiff_t kCrossingShare = 8;

// How many rows have windows that cross the cut before position `cut` (0 < cut < n): those
// before it whose window reaches it, and those from it on in the window of the row before it.
// Both ends are found by bisection, since projections ascend.
template <typename T, typename Index>
std::ptrdiff_t RowsCrossing(const KeyOf<T>* keys, Index n, Index cut, T tolerance) {
  const KeyOf<T>* first_reaching =
      std::partition_point(keys, keys + cut, [&](KeyOf<T> key) { return !InWindow(keys[cut], key, tolerance); });
  const KeyOf<T>* window_end =
      std::partition_point(keys + cut, keys + n, [&](KeyOf<T> key) { return InWindow(key, keys[cut - 1], tolerance); });
  return (keys + cut - first_reaching) + (window_end - (keys + cut));
}

// The bounds of the ranges that n positions in sweep order are cut into for up to `threads`
// threads: 0, the cuts ascending, n. Ranges of about equal size, at least kParallelMinimum
// positions each, start at multiples of 64, so that no two threads write one word of `opens`;
// cuts that too many windows cross (see kCrossingShare) are left out.
template <typename T, typename Index>
std::vector<Index> RangeBounds(const KeyOf<T>* keys, Index n, T tolerance, int threads) {
  const Index count = static_cast<Index>(PartCount(n, threads));
  std::vector<Index> bounds{0};
  for (Index index = 1; index < count; ++index) {
    const Index cut = static_cast<Index>(std::ptrdiff_t{n} * index / count / 64 * 64);
    if (RowsCrossing(keys, n, cut, tolerance) * kCrossingShare <= n / count) bounds.push_back(cut);
  }
  bounds.push_back(n);
  return bounds;
}

// The n rows of m columns at `rows` in sweep order, with their projections' ordered `keys`
// (ascending), swept as SweepInOrder does, cut into the ranges between consecutive `bounds`
// (0 first, n last, cuts at multiples of 64), which are swept at once on up to `threads`
// threads and then joined: writes each position's group into `groups` (n entries), groups
// numbered in opening order, marks the opening positions in `opens` (n bits) and returns the
// number of groups. The result does not depend on the bounds or the number of threads.
template <typename T, typename Index, typename ShouldStop>
Index SweepRangesBetween(const T* rows, const KeyOf<T>* keys, Index m, T tolerance, const std::vector<Index>& bounds,
                         Index* groups, OpeningBits& opens, int threads, ShouldStop& should_stop) {
  const Index count = static_cast<Index>(bounds.size()) - 1;
  std::vector<SweptRange<Index>> ranges(count);
  for (Index index = 0; index < count; ++index) {
    ranges[index].begin = bounds[index];
    ranges[index].end = bounds[index + 1];
  }
  ForEachTask(count, threads, [&](std::ptrdiff_t index) {
    SweptRange<Index>& range = ranges[index];
    const Index size = range.end - range.begin;
    range.own_groups = SweepInOrder(rows + std::ptrdiff_t{range.begin} * m, keys + range.begin, size, m, tolerance,
                                    groups + range.begin, should_stop);
    MarkOpenings(groups, range.begin, range.end, Index{0}, opens, should_stop);
  }, should_stop);
  Index first_group = 0;
  std::vector<Opening<Index>> handed_on;
  for (SweptRange<Index>& range : ranges) {
    const std::vector<Opening<Index>> handed_in = ReachingInto(keys, tolerance, std::move(handed_on), range.begin);
    first_group += JoinRange(rows, keys, m, tolerance, handed_in, first_group, range, groups, opens, should_stop);
    if (&range != &ranges.back()) handed_on = HandOn(keys, tolerance, handed_in, range, groups, opens);
  }
  ForEachTask(count, threads, [&](std::ptrdiff_t index) {
    const SweptRange<Index>& range = ranges[index];
    if (range.shift == 0 && range.kept_groups.empty()) return;
    for (Index position = range.prefix_end; position < range.end; ++position) {
      if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
      groups[position] = range.Renumbered(groups[position]);
    }
  }, should_stop);
  return first_group;
}

// The n rows of m columns at `rows` in sweep order, with their projections' ordered `keys`
// (ascending), swept as SweepInOrder does, on up to `threads` threads: SweepRangesBetween the
// RangeBounds, or, where those leave one range for several threads (windows that cross every
// cut), SweepSlabsBetween cuts across space. Writes each position's group into `groups` (n
// entries), groups numbered in opening order, marks the opening positions in `opens` (n bits)
// and returns the number of groups. The result does not depend on the number of threads.
template <typename T, typename Index, typename ShouldStop>
Index SweepInRanges(const T* rows, const KeyOf<T>* keys, Index n, Index m, T tolerance, Index* groups,
                    OpeningBits& opens, int threads, ShouldStop& should_stop) {
  if (n == 0) return 0;
  const std::vector<Index> bounds = RangeBounds(keys, n, tolerance, threads);
  const int slabs = static_cast<int>(PartCount(n, threads));
  if (bounds.size() == 2 && slabs > 1 && m > 1) {
    const std::optional<Index> k = SweepInSlabs(rows, keys, n, m, tolerance, slabs, groups, opens, threads, should_stop);
    if (k) return *k;
  }
  return SweepRangesBetween(rows, keys, m, tolerance, bounds, groups, opens, threads, should_stop);
}

}  // namespace rilo::internal
