// Copying rows named by their indices out of a matrix, shared by both methods.
#pragma once

#include <algorithm>

#include "base/config.h"
#include "base/helper_threads.h"
#include "base/narrow_width.h"
#include "base/stop.h"

namespace rilo {

// Copies the rows named by `rows` (k indices into a row-major matrix of `width` columns at
// `data`) into consecutive rows of `out`, with the width fixed where it is narrow: a library
// call per row would cost more than the copy itself. The rows named are scattered over the
// input, so each is fetched (its first and last cache line) kPrefetchDistance rows early.
// Returns early, `out` partly written, when `should_stop` asks.
template <typename T, typename Index, typename ShouldStop = NeverStop>
void CopyRows(const T* data, Index width, const Index* rows, Index k, T* out,
              ShouldStop should_stop = {}) {
  if (width == 0) return;  // rows of no values: nothing to copy
  internal::StopCountdown<ShouldStop> countdown(should_stop);
  internal::WithNarrowWidth(width, [&](auto narrow_width) {
    constexpr int kWidth = decltype(narrow_width)::value;
    const Index columns = kWidth == internal::kAnyWidth ? width : Index{kWidth};
    for (Index row = 0; row < k; ++row) {
      if (countdown.Stopping(columns + 1)) return;
      if (row + internal::kPrefetchDistance < k) {
        internal::PrefetchSpanForRead(data + rows[row + internal::kPrefetchDistance] * columns, columns * sizeof(T));
      }
      std::copy_n(data + rows[row] * columns, columns, out + row * columns);
    }
  });
}

// CopyRows in consecutive parts of the k rows named, a part per thread on up to `threads`
// threads; throws Stopped, `out` partly written, when `should_stop` asks.
template <typename T, typename Index, typename ShouldStop>
void CopyRowsOnThreads(const T* data, Index width, const Index* rows, Index k, T* out, int threads,
                       ShouldStop& should_stop) {
  internal::ForEachPart(k, 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    CopyRows(data, width, rows + begin, static_cast<Index>(end - begin), out + begin * width, should_stop);
    internal::StopIfAsked(should_stop);
  }, should_stop);
}

}  // namespace rilo
