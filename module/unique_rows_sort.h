// The tolerant sort method behind `unique_rows`: NumPy arrays in, result tuple out.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "module/unique_rows_call.h"
#include "tolerant_sort/unique_rows_by_sorting.h"

namespace rilo {

namespace py = pybind11;

// Unique rows of a C-contiguous two-dimensional `query` under a per-column tolerance, as the
// tuple (unique rows, representative indices, inverse). `sorted_index` selects the stable order
// and puts the groups in ascending order of their representative rows. Runs as UniqueRowsCall
// says: without the GIL, large inputs sorted on the CPUs this process may use.
template <typename T>
py::tuple UniqueRowsSort(const py::array_t<T>& query, bool sorted_index, T tolerance) {
  return UniqueRowsCall<T>(query, [&](const T* data, int n, int m, int* inverse,
                                      auto representative_storage, int threads, auto should_stop) {
    return UniqueRowsBySorting(data, n, m, tolerance, sorted_index, inverse,
                               representative_storage, threads, should_stop);
  });
}

}  // namespace rilo
