// Rows as the tolerant sort moves them: compact records that decide most comparisons without
// reading the rows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "base/stop.h"
#include "tolerant_sort/column_rules.h"
#include "tolerant_sort/default_initialization_allocator.h"

namespace rilo::internal {

// A row as the sort moves it: its first value and a copy of its second value (exact for
// float rows, rounded to float for double rows) next to its index, so that most comparisons
// are decided without reading the row itself.
template <typename T, typename Index>
struct RowRecord {
  T first;
  Index row;
  float second;
};

template <typename T, typename Index>
using RowRecords =
    std::vector<RowRecord<T, Index>, DefaultInitializationAllocator<RowRecord<T, Index>>>;

// How a column compares through the second values of two records.
enum class SecondOrder { kLess, kGreater, kWithin, kUnknown };

// Bounds for reading a double column through its float rounding: rounding to float moves each
// of two values by at most 2^-24 of its size, or 2^-150 near zero, so their difference moves by
// at most 2^-23 of the larger size plus 2^-149. The bounds below are twice that and more, which
// also covers the rounding of the test's own arithmetic.
constexpr double kSecondRelativeError = 0x1p-22;
constexpr double kSecondAbsoluteError = 0x1p-130;
// Relative distance from the tolerance within which the float copies decide nothing.
constexpr double kToleranceMargin = 0x1p-40;

// The second value stored for a row whose second column holds `value`. A float is kept as it
// is, NaN included. A double is rounded to float; one that float cannot hold (NaN among them),
// or any value when `tolerance` is not above zero (where the bounds above prove nothing), is
// stored as NaN, which for double rows never decides.
template <typename T>
float SecondValue(T value, T tolerance) {
  if constexpr (std::is_same_v<T, float>) {
    return value;
  } else {
    const bool representable = std::abs(value) <= std::numeric_limits<float>::max();
    if (!representable || !(tolerance > 0)) return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(value);
  }
}

// Compares one column of two float rows exactly as ColumnOrder does; never kUnknown.
inline SecondOrder CompareSecond(float a, float b, float tolerance) {
  const int order = ColumnOrder(a, b, tolerance);
  if (order == 0) return SecondOrder::kWithin;
  return order < 0 ? SecondOrder::kLess : SecondOrder::kGreater;
}

// Compares one column of two double rows through their float roundings `a` and `b` (from
// SecondValue; `tolerance` above zero). Answers kLess or kGreater only when the exact
// difference is surely at least the tolerance away from zero, kWithin only when it is surely
// strictly inside it, and kUnknown otherwise (always for NaN, so NaN and infinite values are
// ordered from the rows themselves).
inline SecondOrder CompareSecond(float a, float b, double tolerance) {
  const double gap = static_cast<double>(a) - static_cast<double>(b);
  const double size = std::abs(gap);
  const double larger =
      std::max(std::abs(static_cast<double>(a)), std::abs(static_cast<double>(b)));
  const double slack = kSecondRelativeError * larger + kSecondAbsoluteError;
  if (size * (1 - kToleranceMargin) - slack > tolerance * (1 + kToleranceMargin)) {
    return gap < 0 ? SecondOrder::kLess : SecondOrder::kGreater;
  }
  if (size * (1 + kToleranceMargin) + slack < tolerance * (1 - kToleranceMargin)) {
    return SecondOrder::kWithin;
  }
  return SecondOrder::kUnknown;
}

// The record of `row` of a row-major matrix of `width` columns.
template <typename T, typename Index>
RowRecord<T, Index> RecordOf(const T* data, Index width, T tolerance, Index row) {
  const T* values = data + row * width;
  const float second = width > 1 ? SecondValue(values[1], tolerance) : 0.0f;
  return {width > 0 ? values[0] : T{0}, row, second};
}

// Records of the rows named by `ids`, in that order; `ids` must be valid row indices.
template <typename T, typename Index, typename Ids>
RowRecords<T, Index> RecordsOf(const T* data, Index width, T tolerance, const Ids& ids) {
  RowRecords<T, Index> records(ids.size());
  for (size_t position = 0; position < ids.size(); ++position) {
    records[position] = RecordOf(data, width, tolerance, ids[position]);
  }
  return records;
}

// The SecondValue of every row's third column, kept in 4 bytes per row of storage borrowed
// from the caller (the grouping's inverse, which is not written until the sort is done), so
// that comparisons of rows whose first two columns tie read a small array instead of the rows.
// The storage is reached byte-wise, whatever type it was allocated as.
class ThirdValues {
 public:
  ThirdValues() = default;
  explicit ThirdValues(void* storage) : bytes_(static_cast<unsigned char*>(storage)) {}

  bool present() const { return bytes_ != nullptr; }

  float operator[](size_t row) const {
    float value;
    std::memcpy(&value, bytes_ + row * sizeof(float), sizeof(float));
    return value;
  }

  void Store(size_t row, float value) {
    std::memcpy(bytes_ + row * sizeof(float), &value, sizeof(float));
  }

  const void* address(size_t row) const { return bytes_ + row * sizeof(float); }

 private:
  unsigned char* bytes_ = nullptr;
};

// Records of rows 0 .. height-1 in ascending order, and the third values of the rows into
// `third` when it is present (the matrix then has at least three columns). Returns early, the
// records partly unwritten, when `should_stop` asks.
template <typename T, typename Index, typename ShouldStop = NeverStop>
RowRecords<T, Index> IdentityRecords(const T* data, Index height, Index width, T tolerance,
                                     ThirdValues third, ShouldStop should_stop = {}) {
  RowRecords<T, Index> records(height);
  StopCountdown<ShouldStop> countdown(should_stop);
  for (Index row = 0; row < height; ++row) {
    if (countdown.Stopping()) break;
    records[row] = RecordOf(data, width, tolerance, row);
    if (third.present()) third.Store(row, SecondValue(data[row * width + 2], tolerance));
  }
  return records;
}

}  // namespace rilo::internal
