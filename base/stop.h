// Ending a long call early, at its caller's request, without Python in sight: an algorithm is
// handed a `should_stop` callable and polls it as it works.
#pragma once

#include <cstddef>

namespace rilo {

// Thrown on the calling thread by an algorithm whose `should_stop` returned true: the call ends
// with its working memory released and nothing the caller may use written.
struct Stopped {};

// The `should_stop` of a call that always runs to the end.
struct NeverStop {
  bool operator()() const { return false; }
};

namespace internal {

// Elements a pass handles between two polls of `should_stop`: a poll every few microseconds at
// most, far below the time a caller waits for a stop to take effect.
constexpr std::ptrdiff_t kStopPollInterval = std::ptrdiff_t{1} << 14;

// Throws Stopped when `should_stop` says the call should end.
template <typename ShouldStop>
void StopIfAsked(ShouldStop& should_stop) {
  if (should_stop()) throw Stopped{};
}

}  // namespace internal
}  // namespace rilo
