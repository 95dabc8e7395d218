// The projection sweep behind `unique_rows` and `sweep_in_order`: NumPy arrays in, result tuple
// out.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "module/unique_rows_call.h"
#include "projection_sweep/unique_rows_by_sweeping.h"

namespace rilo {

namespace py = pybind11;

// The sweep's direction for rows of m values, all ones. With no rows the direction is never
// read; sizing it by m alone would let an empty input with 2**31 - 1 columns demand gigabytes.
template <typename T>
std::vector<T> AllOnesDirection(int n, int m) {
  return std::vector<T>(n > 0 ? m : 0, T{1});
}

// Unique rows of a C-contiguous two-dimensional `query` under a Euclidean tolerance, swept
// along the all-ones direction, as the tuple (unique rows, representative indices, inverse).
// Runs as UniqueRowsCall says: without the GIL, on the CPUs this process may use.
template <typename T>
py::tuple UniqueRowsUff(const py::array_t<T>& query, bool sorted_index, T tolerance) {
  return UniqueRowsCall<T>(query, [&](const T* data, int n, int m, int* inverse,
                                      auto representative_storage, int threads, auto should_stop) {
    const std::vector<T> direction = AllOnesDirection<T>(n, m);
    return UniqueRowsBySweeping(data, n, m, direction.data(), tolerance, sorted_index, inverse,
                                representative_storage, threads, should_stop);
  });
}

// Rows of a C-contiguous two-dimensional `rows` handed over in sweep order (row sums ascending,
// NaN last), swept along the all-ones direction without the GIL, as the tuple (opening
// positions, groups): what `unique_rows(rows, tolerance, False, "a")` returns after the unique
// rows.
template <typename T>
py::tuple SweepInOrder(const py::array_t<T>& rows, T tolerance) {
  const int n = static_cast<int>(rows.shape(0));
  const int m = static_cast<int>(rows.shape(1));
  py::array_t<int> groups(n);
  int* groups_data = groups.mutable_data();
  py::array_t<int> openings;
  const auto opening_storage = [&](int k) {
    py::gil_scoped_acquire gil;
    openings = py::array_t<int>(k);
    return openings.mutable_data();
  };
  RunWithoutGil([&](int threads, auto& should_stop) {
    const std::vector<T> direction = AllOnesDirection<T>(n, m);
    SweepRowsInOrder(rows.data(), n, m, direction.data(), tolerance, groups_data, opening_storage, threads,
                     should_stop);
  });
  return py::make_tuple(openings, groups);
}

}  // namespace rilo
