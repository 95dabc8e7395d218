// The tolerant sort method behind `unique_rows`: NumPy arrays in, result tuple out.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <stdexcept>

#include "tolerant_sort/group_sorted_rows.h"
#include "tolerant_sort/sort_ids_and_inverse.h"

namespace rilo {

namespace py = pybind11;

// Unique rows of a C-contiguous two-dimensional `query` under a per-column tolerance, as the
// tuple (unique rows, representative indices, inverse). `sorted_index` selects the stable order
// and puts the groups in ascending order of their representative rows.
template <typename T>
py::tuple UniqueRowsSort(const py::array_t<T>& query, bool sorted_index, T tolerance) {
  const py::buffer_info input = query.request();
  if (input.ndim != 2) throw std::runtime_error("input array must be 2D");
  const int n = static_cast<int>(input.shape[0]);
  const int m = static_cast<int>(input.shape[1]);
  const T* data = static_cast<const T*>(input.ptr);

  py::array_t<int> inverse(n);
  int* inverse_data = inverse.mutable_data();
  internal::RowRecords<T, int> records;
  int k = 0;
  if (n > 0) {
    records = sorted_index ? SortAndGroupRows<true>(data, n, m, tolerance, inverse_data, k)
                           : SortAndGroupRows<false>(data, n, m, tolerance, inverse_data, k);
  }

  py::array_t<int> representatives(k);
  int* representative_data = representatives.mutable_data();
  for (int group = 0; group < k; ++group) representative_data[group] = records[group].row;
  // The records go before the renumbering allocates its own scratch, to keep the peak low.
  internal::RowRecords<T, int>().swap(records);
  if (sorted_index) SortIdsAndInverse(k, representative_data, n, inverse_data);

  py::array_t<T> unique({k, m});
  T* unique_data = unique.mutable_data();
  // Copied with the width fixed where it is narrow: a library call per row would cost more
  // than the copy itself.
  internal::WithNarrowWidth(m, [&](auto narrow_width) {
    constexpr int kWidth = decltype(narrow_width)::value;
    const int columns = kWidth == internal::kAnyWidth ? m : kWidth;
    for (int group = 0; group < k; ++group) {
      std::copy_n(data + representative_data[group] * columns, columns, unique_data + group * columns);
    }
  });
  return py::make_tuple(unique, representatives, inverse);
}

}  // namespace rilo
