// Helper threads for independent steps of large calls, shared by both methods: started on
// demand, each for one task over data no other task touches, and joined before the call returns.
// Which thread runs which task never changes a result; where no thread can be started, the
// calling thread runs the task itself.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace rilo::internal {

// Subranges below this many elements are never handed to another thread: starting a thread
// costs tens of microseconds, about what sorting a few thousand elements does.
constexpr std::ptrdiff_t kParallelMinimum = 1 << 15;

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
    try {
      Keep(std::thread([this, task] {
        task();
        free_slots_.fetch_add(1);
      }));
      return true;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    free_slots_.fetch_add(1);
    return false;
  }

  // Waits until every helper started so far, and every helper those started, has finished.
  // Meanwhile the calling thread, idle, lends its CPU: one more helper may be busy.
  void JoinAll() {
    free_slots_.fetch_add(1);
    while (true) {
      std::thread helper;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_.empty()) break;
        helper = std::move(started_.back());
        started_.pop_back();
      }
      helper.join();
    }
    free_slots_.fetch_sub(1);
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

  std::atomic<int> free_slots_;
  std::mutex mutex_;
  std::vector<std::thread> started_;
};

// Runs task(0), ..., task(count - 1), each on a helper thread while one of up to `threads` - 1
// can be started and on this thread otherwise; returns when all have finished. If tasks throw,
// the first exception caught is rethrown here once all have finished.
template <typename Task>
void ForEachTask(std::ptrdiff_t count, int threads, Task task) {
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
    helpers.JoinAll();
  }
  if (failure) std::rethrow_exception(failure);
}

// Runs `part(begin, end)` over consecutive parts of [0, length) that start at multiples of
// `unit`, one part per thread, up to `threads` of them, none below kParallelMinimum elements;
// all on this thread when the length is below that or no helper can be started. Exceptions as
// for ForEachTask.
template <typename Part>
void ForEachPart(std::ptrdiff_t length, std::ptrdiff_t unit, int threads, Part part) {
  const std::ptrdiff_t parts = std::min<std::ptrdiff_t>(threads, length / kParallelMinimum);
  if (parts <= 1) return part(std::ptrdiff_t{0}, length);
  const auto boundary = [&](std::ptrdiff_t index) {
    return index == parts ? length : length * index / parts / unit * unit;
  };
  ForEachTask(parts, static_cast<int>(parts), [&](std::ptrdiff_t index) {
    const std::ptrdiff_t begin = boundary(index);
    const std::ptrdiff_t end = boundary(index + 1);
    if (begin < end) part(begin, end);
  });
}

}  // namespace rilo::internal
