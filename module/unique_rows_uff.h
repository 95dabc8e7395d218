// The projection sweep method behind `unique_rows`: NumPy arrays in, result tuple out.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "module/unique_rows_call.h"
#include "projection_sweep/unique_rows_by_sweeping.h"

namespace rilo {

namespace py = pybind11;

// Unique rows of a C-contiguous two-dimensional `query` under a Euclidean tolerance, swept
// along the all-ones direction, as the tuple (unique rows, representative indices, inverse).
// Runs as UniqueRowsCall says: without the GIL, on the CPUs this process may use.
template <typename T>
py::tuple UniqueRowsUff(const py::array_t<T>& query, bool sorted_index, T tolerance) {
  return UniqueRowsCall<T>(query, [&](const T* data, int n, int m, int* inverse,
                                      auto representative_storage, int threads, auto should_stop) {
    // With no rows the direction is never read; sizing it by m alone would let an empty input
    // with 2**31 - 1 columns demand gigabytes.
    const std::vector<T> direction(n > 0 ? m : 0, T{1});
    return UniqueRowsBySweeping(data, n, m, direction.data(), tolerance, sorted_index, inverse,
                                representative_storage, threads, should_stop);
  });
}

}  // namespace rilo
