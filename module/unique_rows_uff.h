// The projection sweep method behind `unique_rows`: NumPy arrays in, result tuple out.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/copy_rows.h"
#include "base/config.h"
#include "base/stop.h"
#include "projection_sweep/unique_rows_by_sweeping.h"

namespace rilo {

namespace py = pybind11;

// Unique rows of a C-contiguous two-dimensional `query` under a Euclidean tolerance, swept
// along the all-ones direction, as the tuple (unique rows, representative indices, inverse).
// Fewer than two dimensions raise IndexError, more than two RuntimeError.
template <typename T>
py::tuple UniqueRowsUff(const py::array_t<T>& query, bool sorted_index, T tolerance) {
  const py::buffer_info input = query.request();
  for (py::ssize_t axis = 0; axis < 2; ++axis) {
    if (input.ndim <= axis) {
      throw py::index_error("invalid axis: " + std::to_string(axis) +
                            " (ndim = " + std::to_string(input.ndim) + ")");
    }
  }
  if (input.ndim != 2) throw std::runtime_error("input array must be 2D");
  const int n = static_cast<int>(input.shape[0]);
  const int m = static_cast<int>(input.shape[1]);
  const T* data = static_cast<const T*>(input.ptr);
  // With no rows the direction is never read; sizing it by m alone would let an empty input
  // with 2**31 - 1 columns demand gigabytes.
  const std::vector<T> direction(n > 0 ? m : 0, T{1});

  py::array_t<int> inverse(n);
  py::array_t<int> representatives;
  const auto representative_storage = [&representatives](int k) {
    representatives = py::array_t<int>(k);
    return representatives.mutable_data();
  };
  const int k = UniqueRowsBySweeping(data, n, m, direction.data(), tolerance, sorted_index, inverse.mutable_data(),
                                     representative_storage, internal::UsableCpuCount(), NeverStop{});

  py::array_t<T> unique({k, m});
  CopyRows(data, m, representatives.data(), k, unique.mutable_data());
  return py::make_tuple(unique, representatives, inverse);
}

}  // namespace rilo
