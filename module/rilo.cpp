// The `rilo` extension module: argument checks, element-type and method dispatch.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "module/unique_rows_call.h"
#include "module/unique_rows_sort.h"
#include "module/unique_rows_uff.h"

namespace py = pybind11;

namespace {

const char* const kElementTypeMessage =
    "RILO supports float32 and float64. For integer types, use `np.unique(data, axis=0)`";

// Rows, columns and elements are addressed with 32-bit signed indices.
constexpr py::ssize_t kIndexLimit = std::numeric_limits<int>::max();

// Refuses a NaN tolerance: every comparison with it is false, which would merge or split
// rows silently.
void CheckTolerance(double tolerance) {
  if (std::isnan(tolerance)) throw py::value_error("tolerance must not be NaN");
}

// Refuses, from the shape alone, an array whose rows, columns or elements the 32-bit indices
// cannot count.
void CheckFitsIndexType(const py::array& query) {
  const bool too_many_rows = query.ndim() >= 1 && query.shape(0) > kIndexLimit;
  const bool too_many_columns = query.ndim() >= 2 && query.shape(1) > kIndexLimit;
  if (too_many_rows || too_many_columns || query.size() > kIndexLimit) {
    throw py::value_error(
        "input too large: rilo handles at most 2**31 - 1 rows, columns and elements, got shape " +
        py::repr(query.attr("shape")).cast<std::string>());
  }
}

// `query` as a base-class, native-order, aligned, C-contiguous array of T; no copy when it
// already is one. Alignment is asked for because the drivers read the data through `const T*`.
template <typename T>
py::array_t<T> ToContiguous(const py::array& query) {
  auto& api = py::detail::npy_api::get();
  PyObject* converted = api.PyArray_FromAny_(
      query.ptr(), py::dtype::of<T>().release().ptr(), 0, 0,
      api.NPY_ARRAY_ENSUREARRAY_ | api.NPY_ARRAY_FORCECAST_ | api.NPY_ARRAY_C_CONTIGUOUS_ |
          api.NPY_ARRAY_ALIGNED_,
      nullptr);
  if (converted == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::array_t<T>>(converted);
}

// True for the projection sweep: `method` starts with "A" or "a".
bool SelectsSweep(const std::string& method) {
  const unsigned char first = static_cast<unsigned char>(method.c_str()[0]);
  return (first & ~0x20u) == 'A';
}

// Smallest double magnitude that rounds to infinity as a float: FLT_MAX plus half its last unit
// (the tie rounds to the even neighbour, 2^128).
constexpr double kFloatOverflowThreshold = 0x1.ffffffp127;

// `tolerance` rounded to the nearest T, ties to even; magnitudes beyond T's range become
// infinities of the same sign. Spelled out because a narrowing cast out of range is undefined.
template <typename T>
T RoundToElementType(double tolerance) {
  if (std::is_same_v<T, float> && std::abs(tolerance) >= kFloatOverflowThreshold) {
    return std::copysign(std::numeric_limits<T>::infinity(), static_cast<T>(tolerance > 0 ? 1 : -1));
  }
  return static_cast<T>(tolerance);
}

// The call for element type T: `query` converted, then handed to the selected method.
template <typename T>
py::tuple UniqueRowsOf(const py::array& query, double tolerance, bool sorted_index, bool sweep) {
  const T tolerance_in_t = RoundToElementType<T>(tolerance);
  const py::array_t<T> converted = ToContiguous<T>(query);
  return sweep ? rilo::UniqueRowsUff<T>(converted, sorted_index, tolerance_in_t)
               : rilo::UniqueRowsSort<T>(converted, sorted_index, tolerance_in_t);
}

// `rilo.unique_rows`: the arguments checked from their types and the query's shape, then the
// call for the query's element type.
py::tuple unique_rows(const py::array& query, double tolerance, bool sorted_index,
                      const std::string& method) {
  const char type_code = query.dtype().char_();
  if (type_code != 'f' && type_code != 'd') throw std::runtime_error(kElementTypeMessage);
  CheckTolerance(tolerance);
  CheckFitsIndexType(query);
  const bool sweep = SelectsSweep(method);
  rilo::CheckTwoDimensional(query.ndim(), sweep);
  return type_code == 'f' ? UniqueRowsOf<float>(query, tolerance, sorted_index, sweep)
                          : UniqueRowsOf<double>(query, tolerance, sorted_index, sweep);
}

// The call of `sweep_in_order` for element type T: `rows` converted, then swept.
template <typename T>
py::tuple SweepInOrderOf(const py::array& rows, double tolerance) {
  const T tolerance_in_t = RoundToElementType<T>(tolerance);
  return rilo::SweepInOrder<T>(ToContiguous<T>(rows), tolerance_in_t);
}

// `rilo.sweep_in_order`: the checks of `unique_rows` with the sweep selected, then the sweep of
// rows in sweep order for their element type.
py::tuple sweep_in_order(const py::array& rows, double tolerance) {
  const char type_code = rows.dtype().char_();
  if (type_code != 'f' && type_code != 'd') throw std::runtime_error(kElementTypeMessage);
  CheckTolerance(tolerance);
  CheckFitsIndexType(rows);
  rilo::CheckTwoDimensional(rows.ndim(), true);
  return type_code == 'f' ? SweepInOrderOf<float>(rows, tolerance) : SweepInOrderOf<double>(rows, tolerance);
}

PyModuleDef module_definition;

}  // namespace

// Single-phase initialisation: the module has no per-module state and no docstring.
extern "C" PYBIND11_EXPORT PyObject* PyInit_rilo() {
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY
  try {
    py::module_ module = py::module_::create_extension_module(
        "rilo", nullptr, &module_definition, py::mod_gil_not_used());
    module.def("unique_rows", &unique_rows, py::arg("query"), py::arg("tolerance"),
               py::arg("sorted_index"), py::arg("method"));
    module.def("sweep_in_order", &sweep_in_order, py::arg("rows"), py::arg("tolerance"));
    module.attr("__version__") = RILO_VERSION;
    return module.release().ptr();
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
  return nullptr;
}
