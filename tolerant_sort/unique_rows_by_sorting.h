// The sort method's pipeline, whole: row records, tolerant order, groups, renumbering.
#pragma once

#include "base/stop.h"
#include "tolerant_sort/arg_sort_along_height.h"
#include "tolerant_sort/group_sorted_rows.h"
#include "tolerant_sort/row_records.h"
#include "tolerant_sort/sort_ids_and_inverse.h"

namespace rilo {

// Orders the rows of an n x m row-major matrix (n >= 1) tolerantly (stable sort when
// `Stable`) on up to `threads` threads and groups them. Writes each row's group number into
// `inverse` (n entries) and `k`, and returns the records, whose first k entries hold the groups'
// first rows in group order. Until the grouping writes it, `inverse` lends its storage to the
// rows' third values. Throws Stopped after any step that `should_stop` ended early.
template <bool Stable, typename T, typename Index, typename ShouldStop>
internal::RowRecords<T, Index> SortAndGroupRows(const T* data, Index n, Index m, T tolerance,
                                                Index* inverse, Index& k, int threads,
                                                ShouldStop& should_stop) {
  static_assert(sizeof(Index) >= sizeof(float), "the inverse must hold a float per row");
  const internal::ThirdValues third = m >= 3 ? internal::ThirdValues(inverse) : internal::ThirdValues();
  internal::RowRecords<T, Index> records =
      internal::IdentityRecords(data, n, m, tolerance, third, should_stop);
  internal::StopIfAsked(should_stop);
  internal::SortRowRecords<Stable>(data, m, tolerance, records, threads, third, should_stop);
  internal::StopIfAsked(should_stop);
  k = GroupSortedRecords(data, n, m, tolerance, records, inverse, third, should_stop);
  internal::StopIfAsked(should_stop);
  return records;
}

// The unique rows of an n x m row-major matrix under a per-column tolerance, as group
// numbers: writes each row's group into `inverse` (n entries), calls `representative_storage(k)`
// once for room for k indices and fills it with each group's representative row, and returns k.
// With `sorted_index` the order is stable and the groups are numbered in ascending order of
// their representatives; else they come in tolerant row order. Runs on up to `threads` threads;
// the result does not depend on how many. Throws std::bad_alloc, with nothing returned, when
// its working memory cannot be had. Polls `should_stop` (base/stop.h) on every thread it runs on
// and throws Stopped on the calling thread, its helpers joined and its memory freed, once it
// says stop; `inverse` and the representatives are then unspecified.
template <typename T, typename Index, typename RepresentativeStorage,
          typename ShouldStop = NeverStop>
Index UniqueRowsBySorting(const T* data, Index n, Index m, T tolerance, bool sorted_index,
                          Index* inverse, RepresentativeStorage representative_storage,
                          int threads, ShouldStop should_stop = {}) {
  internal::RowRecords<T, Index> records;
  Index k = 0;
  if (n > 0) {
    records = sorted_index
                  ? SortAndGroupRows<true>(data, n, m, tolerance, inverse, k, threads, should_stop)
                  : SortAndGroupRows<false>(data, n, m, tolerance, inverse, k, threads, should_stop);
  }
  Index* representatives = representative_storage(k);
  internal::StopCountdown<ShouldStop> countdown(should_stop);
  for (Index group = 0; group < k && !countdown.Stopping(); ++group) {
    representatives[group] = records[group].row;
  }
  // The records go before the renumbering allocates its own scratch, to keep the peak low.
  internal::RowRecords<T, Index>().swap(records);
  internal::StopIfAsked(should_stop);
  if (sorted_index) SortIdsAndInverse(k, representatives, n, inverse, should_stop);
  internal::StopIfAsked(should_stop);
  return k;
}

}  // namespace rilo
