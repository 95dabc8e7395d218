// The projection sweep's interface for callers holding raw buffers.
#pragma once

#include "base/config.h"
#include "base/copy_rows.h"
#include "base/stop.h"
#include "projection_sweep/unique_rows_by_sweeping.h"

namespace rilo {

// Groups the rows of an n_rows x n_cols row-major matrix by sweeping them along `direction`, as
// UniqueRowsBySweeping does on the CPUs this process may use, and copies the k unique rows into
// out_rows (room for n_rows x n_cols values). Writes k entries of out_index (room for n_rows),
// n_unique = k and every entry of inverse.
template <typename T, typename Index>
void Uff(const T* data, const Index& n_rows, const Index& n_cols, const T* direction,
         const T& tolerance, const bool& sorted_index, T* out_rows, Index* out_index,
         Index& n_unique, Index* inverse) {
  n_unique = UniqueRowsBySweeping(data, n_rows, n_cols, direction, tolerance, sorted_index, inverse,
                                  [out_index](Index) { return out_index; }, internal::UsableCpuCount(), NeverStop{});
  CopyRows(data, n_cols, out_index, n_unique, out_rows);
}

}  // namespace rilo
