// Code specialised for the narrow matrix widths that dominate in practice (one, two or three
// columns), with one generic instance for the rest.
#pragma once

#include <type_traits>

namespace rilo::internal {

// Width template argument meaning "the width is only known at run time".
constexpr int kAnyWidth = -1;

// Calls `body` with std::integral_constant<int, W>, W being `width` when it is 1, 2 or 3 (the
// narrow widths that dominate in practice, worth code of their own) and kAnyWidth otherwise.
template <typename Index, typename Body>
decltype(auto) WithNarrowWidth(Index width, Body body) {
  switch (width) {
    case 1:
      return body(std::integral_constant<int, 1>{});
    case 2:
      return body(std::integral_constant<int, 2>{});
    case 3:
      return body(std::integral_constant<int, 3>{});
    default:
      return body(std::integral_constant<int, kAnyWidth>{});
  }
}

}  // namespace rilo::internal
