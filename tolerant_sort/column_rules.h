// The tolerance and NaN rules of one column, in one place: how a column orders two rows and
// when it lets them match. Every comparison and grouping in the tolerant sort reduces to these.
#pragma once

#include <cmath>

namespace rilo::internal {

// How one column orders two rows holding `a` and `b` in it: -1 when the row with `a` goes
// first, 1 when it goes after, 0 when the column ties. Equal values (equal infinities, both
// zeros) tie; a NaN goes after every number and ties another NaN; otherwise the column ties
// when the difference is zero or strictly within `tolerance` and its sign decides.
template <typename T>
int ColumnOrder(T a, T b, T tolerance) {
  if (a == b) return 0;
  const bool a_is_nan = std::isnan(a);
  const bool b_is_nan = std::isnan(b);
  if (a_is_nan || b_is_nan) return static_cast<int>(a_is_nan) - static_cast<int>(b_is_nan);
  const T difference = a - b;
  if (difference == 0 || tolerance > std::abs(difference)) return 0;
  return difference < 0 ? -1 : 1;
}

// True when `a` and `b` match in one column: their difference is not more than `tolerance`
// away from zero (a difference equal to it matches), and a NaN difference comes from two NaNs
// or two equal infinities.
template <typename T>
bool ValuesMatch(T a, T b, T tolerance) {
  const T difference = a - b;
  if (std::abs(difference) > tolerance) return false;
  return !std::isnan(difference) || a == b || (std::isnan(a) && std::isnan(b));
}

}  // namespace rilo::internal
