// The tolerant sort method behind `unique_rows`: NumPy arrays in, result tuple out.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdexcept>

#include "base/config.h"
#include "base/copy_rows.h"
#include "tolerant_sort/unique_rows_by_sorting.h"

namespace rilo {

namespace py = pybind11;

// Unique rows of a C-contiguous two-dimensional `query` under a per-column tolerance, as the
// tuple (unique rows, representative indices, inverse). `sorted_index` selects the stable order
// and puts the groups in ascending order of their representative rows. Large inputs are sorted
// on the CPUs this process may use, with the interpreter lock held throughout.
template <typename T>
py::tuple UniqueRowsSort(const py::array_t<T>& query, bool sorted_index, T tolerance) {
  const py::buffer_info input = query.request();
  if (input.ndim != 2) throw std::runtime_error("input array must be 2D");
  const int n = static_cast<int>(input.shape[0]);
  const int m = static_cast<int>(input.shape[1]);
  const T* data = static_cast<const T*>(input.ptr);

  py::array_t<int> inverse(n);
  py::array_t<int> representatives;
  const auto representative_storage = [&representatives](int k) {
    representatives = py::array_t<int>(k);
    return representatives.mutable_data();
  };
  const int k = UniqueRowsBySorting(data, n, m, tolerance, sorted_index, inverse.mutable_data(),
                                    representative_storage, internal::UsableCpuCount());

  py::array_t<T> unique({k, m});
  CopyRows(data, m, representatives.data(), k, unique.mutable_data());
  return py::make_tuple(unique, representatives, inverse);
}

}  // namespace rilo
