// Copying the unique rows out of the input, shared by both methods.
#pragma once

#include <algorithm>

#include "base/config.h"
#include "base/narrow_width.h"

namespace rilo {

// Rows ahead of the one being copied whose data is fetched early: the rows named are scattered
// over the input (in group order), so a copy would otherwise wait on memory for most of them.
constexpr int kCopyPrefetchDistance = 16;

// Copies the rows named by `rows` (k indices into a row-major matrix of `width` columns at
// `data`) into consecutive rows of `out`, with the width fixed where it is narrow: a library
// call per row would cost more than the copy itself.
template <typename T, typename Index>
void CopyRows(const T* data, Index width, const Index* rows, Index k, T* out) {
  internal::WithNarrowWidth(width, [&](auto narrow_width) {
    constexpr int kWidth = decltype(narrow_width)::value;
    const Index columns = kWidth == internal::kAnyWidth ? width : Index{kWidth};
    for (Index row = 0; row < k; ++row) {
      if (row + kCopyPrefetchDistance < k) {
        internal::PrefetchForRead(data + rows[row + kCopyPrefetchDistance] * columns);
      }
      std::copy_n(data + rows[row] * columns, columns, out + row * columns);
    }
  });
}

}  // namespace rilo
