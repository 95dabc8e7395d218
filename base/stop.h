// Ending a long call early, at its caller's request, without Python in sight: an algorithm is
// handed a `should_stop` callable and polls it as it works.
#pragma once

#include <cstddef>

namespace rilo {

// Thrown on the calling thread by an algorithm whose `should_stop` returned true: the call ends
// with its working memory released and nothing the caller may use written.
struct Stopped {};

// A `should_stop` may be called from any thread the algorithm runs on, often: it must be cheap
// and, once it has returned true, return true on every later call on every thread, so that
// helper threads that see it end early and the calling thread that checks it after them throws.

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

// Polls `should_stop` once every kStopPollInterval steps of a pass, so that a step costs one
// countdown. Once a poll has returned true, Stopping() stays true.
template <typename ShouldStop>
class StopCountdown {
 public:
  explicit StopCountdown(ShouldStop& should_stop) : should_stop_(should_stop) {}

  // Counts `steps` steps; true when the pass should end now.
  bool Stopping(std::ptrdiff_t steps = 1) {
    steps_left_ -= steps;
    if (steps_left_ > 0) return false;
    if (!stopped_) {
      stopped_ = should_stop_();
      steps_left_ = kStopPollInterval;
    }
    return stopped_;
  }

  // True when a poll has returned true.
  bool stopped() const { return stopped_; }

 private:
  ShouldStop& should_stop_;
  std::ptrdiff_t steps_left_ = kStopPollInterval;
  bool stopped_ = false;
};

}  // namespace internal
}  // namespace rilo
