// Helper threads for independent steps of large calls, shared by both methods: started on
// demand, each for one task over data no other task touches, and joined before the call returns.
// Which thread runs which task never changes a result; where no thread can be started, the
// calling thread runs the task itself.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/stop.h"

namespace rilo::internal {

// Subranges below this many elements are never handed to another thread: starting a thread
// costs tens of microseconds, about what sorting a few thousand elements does.
constexpr std::ptrdiff_t kParallelMinimum = 1 << 15;

// The number of parts a pass over `length` elements is cut into for up to `threads` threads:
// one a thread, none below kParallelMinimum elements, at least one.
inline std::ptrdiff_t PartCount(std::ptrdiff_t length, int threads) {
  return std::clamp<std::ptrdiff_t>(length / kParallelMinimum, 1, std::max(threads, 1));
}

// How long a calling thread that waits for its helpers sleeps between two polls of its
// `should_stop`: short beside the fraction of a second a caller waits for a stop to take
// effect, long beside the microseconds a wake-up costs.
constexpr std::chrono::milliseconds kJoinPollPeriod{5};

// Helper threads, at most `threads` - 1 of them busy at a time, started on demand for tasks that
// touch disjoint data. Joins every helper before it goes away.
class HelperThreads {
 public:
  explicit HelperThreads(int threads) : free_slots_(threads > 1 ? threads - 1 : 0) {}
  HelperThreads(const HelperThreads&) = delete;
  HelperThreads& operator=(const HelperThreads&) = delete;
  ~HelperThreads() { JoinAll(); }

  // Starts `task` on a helper thread and returns true, or returns false without running it when
  // all helpers are busy or no thread can be started. `task` must not throw.
  template <typename Task>
  bool TryStart(Task task) {
    if (!TakeSlot()) return false;
    CountRunning(1);
    try {
      Keep(std::thread([this, task] {
        task();
        CountRunning(-1);
      }));
      return true;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    CountRunning(-1);
    return false;
  }

  // Waits until every helper started so far, and every helper those started, has finished,
  // calling `poll()` on this thread every kJoinPollPeriod meanwhile (a caller's should_stop, so
  // that it sees a stop asked of this thread and the helpers end early). Meanwhile the calling
  // thread, idle, lends its CPU: one more helper may be busy.
  template <typename Poll>
  void JoinAll(Poll&& poll) {
    free_slots_.fetch_add(1);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!finished_.wait_for(lock, kJoinPollPeriod, [this] { return running_ == 0; })) {
        lock.unlock();
        poll();
        lock.lock();
      }
    }
    JoinFinished();
    free_slots_.fetch_sub(1);
  }

  // JoinAll with nothing polled.
  void JoinAll() {
    JoinAll([] {});
  }

 private:
  // Claims a free helper slot; false when there is none.
  bool TakeSlot() {
    int free = free_slots_.load();
    while (free > 0) {
      if (free_slots_.compare_exchange_weak(free, free - 1)) return true;
    }
    return false;
  }

  // Counts a helper in (+1, before it starts) or out (-1, when its task is done or it could not
  // start, its slot freed) and wakes a JoinAll waiting for the last one.
  void CountRunning(int change) {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ += change;
    if (change < 0) free_slots_.fetch_add(1);
    if (running_ == 0) finished_.notify_all();
  }

  // Records `helper` for joining; if even that cannot be recorded, waits for it here.
  void Keep(std::thread helper) {
    bool kept = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      try {
        started_.push_back(std::move(helper));
        kept = true;
      } catch (const std::bad_alloc&) {
      }
    }
    if (!kept) helper.join();
  }

  // Joins every recorded helper; called once none is running, so no join waits for a task.
  void JoinFinished() {
    while (true) {
      std::thread helper;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_.empty()) return;
        helper = std::move(started_.back());
        started_.pop_back();
      }
      helper.join();
    }
  }

  std::atomic<int> free_slots_;
  std::mutex mutex_;
  std::condition_variable finished_;
  int running_ = 0;  // helpers counted in and not yet out, guarded by mutex_
  std::vector<std::thread> started_;
};

// Runs task(0), ..., task(count - 1), each on a helper thread while one of up to `threads` - 1
// can be started and on this thread otherwise; returns when all have finished, polling
// `should_stop` on this thread while it waits for them (tasks that poll it end early). If tasks
// throw, the first exception caught is rethrown here once all have finished.
template <typename Task, typename ShouldStop = NeverStop>
void ForEachTask(std::ptrdiff_t count, int threads, Task task, ShouldStop should_stop = {}) {
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const auto run = [&task, &failure_mutex, &failure](std::ptrdiff_t index) {
    try {
      task(index);
    } catch (...) {
      std::lock_guard<std::mutex> lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  {
    HelperThreads helpers(threads);
    for (std::ptrdiff_t index = 1; index < count; ++index) {
      if (!helpers.TryStart([&run, index] { run(index); })) run(index);
    }
    if (count > 0) run(0);
    helpers.JoinAll(should_stop);
  }
  if (failure) std::rethrow_exception(failure);
}

// Runs `part(begin, end)` over consecutive parts of [0, length) that start at multiples of
// `unit`, one part per thread, up to `threads` of them, none below kParallelMinimum elements;
// all on this thread when the length is below that or no helper can be started. Stops and
// exceptions as for ForEachTask.
template <typename Part, typename ShouldStop = NeverStop>
void ForEachPart(std::ptrdiff_t length, std::ptrdiff_t unit, int threads, Part part,
                 ShouldStop should_stop = {}) {
  const std::ptrdiff_t parts = PartCount(length, threads);
  if (parts == 1) return part(std::ptrdiff_t{0}, length);
  const auto boundary = [&](std::ptrdiff_t index) {
    return index == parts ? length : length * index / parts / unit * unit;
  };
  ForEachTask(parts, static_cast<int>(parts), [&](std::ptrdiff_t index) {
    const std::ptrdiff_t begin = boundary(index);
    const std::ptrdiff_t end = boundary(index + 1);
    if (begin < end) part(begin, end);
  }, should_stop);
}

}  // namespace rilo::internal
