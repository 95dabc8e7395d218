// What a call of `unique_rows` does around either method, in one place: the dimension check,
// the result arrays, the GIL released while the method runs, and stopping on a signal.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/config.h"
#include "base/copy_rows.h"
#include "base/stop.h"

namespace rilo {

namespace py = pybind11;

// Refuses a `query` of `ndim` dimensions that is not two-dimensional, with each method's own
// error: the sweep names the first missing axis (IndexError) and refuses more than two
// dimensions (RuntimeError); the sort method refuses anything but two (RuntimeError).
inline void CheckTwoDimensional(py::ssize_t ndim, bool sweep) {
  if (sweep && ndim < 2) {
    throw py::index_error("invalid axis: " + std::to_string(ndim) +
                          " (ndim = " + std::to_string(ndim) + ")");
  }
  if (ndim != 2) throw std::runtime_error("input array must be 2D");
}

namespace internal {

// How often a call that runs without the GIL takes it back to run Python's signal handlers:
// often enough that Ctrl-C ends any call well within the fifth of a second a person notices,
// seldom enough that taking the GIL back costs nothing measurable.
constexpr std::chrono::milliseconds kSignalCheckPeriod{20};

// The `should_stop` of a call that runs without the GIL. On the thread that made the call (and
// made this, holding the GIL) it takes the GIL back at most every kSignalCheckPeriod and runs
// Python's signal handlers, as Python's own long-running builtins do; once a handler raises, the
// exception stays set and every later poll, on any thread, says stop. Other threads only read
// that answer. Python runs handlers on the main thread only, so a call from another thread is
// never stopped by a signal.
class SignalWatch {
 public:
  SignalWatch() : caller_(std::this_thread::get_id()), next_check_(Clock::now() + kSignalCheckPeriod) {}
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // True once a signal handler has raised; callable from any thread, without the GIL.
  bool ShouldStop() {
    if (raised_.load(std::memory_order_relaxed)) return true;
    if (std::this_thread::get_id() != caller_) return false;
    const Clock::time_point now = Clock::now();
    if (now < next_check_) return false;
    next_check_ = now + kSignalCheckPeriod;
    py::gil_scoped_acquire gil;
    const bool raised = PyErr_CheckSignals() != 0;
    if (raised) raised_.store(true, std::memory_order_relaxed);
    return raised;
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::atomic<bool> raised_{false};
  const std::thread::id caller_;
  Clock::time_point next_check_;  // touched by the calling thread only
};

// Calls of this process computing at this moment. A call started while others compute leaves
// them their share of the CPUs: two calls on two CPUs then run one thread each, rather than
// four threads contending for two.
inline std::atomic<int> computing_calls{0};

// Counts a call in for its lifetime and gives the threads it may use: its share of the CPUs
// this process may use, at least one.
class ComputingCall {
 public:
  ComputingCall() : sharing_(computing_calls.fetch_add(1) + 1) {}
  ~ComputingCall() { computing_calls.fetch_sub(1); }
  ComputingCall(const ComputingCall&) = delete;
  ComputingCall& operator=(const ComputingCall&) = delete;

  int threads() const { return std::max(1, UsableCpuCount() / sharing_); }

 private:
  const int sharing_;
};

}  // namespace internal

// Runs body(threads, should_stop) with the GIL released, on this call's share of the CPUs
// (ComputingCall), taking the GIL back every kSignalCheckPeriod to run Python's signal handlers.
// A stop on a signal raises the handler's exception; every error leaves nothing returned.
template <typename Body>
void RunWithoutGil(Body body) {
  internal::SignalWatch watch;
  auto should_stop = [&watch] { return watch.ShouldStop(); };
  try {
    py::gil_scoped_release release;
    const internal::ComputingCall computing;
    body(computing.threads(), should_stop);
    internal::StopIfAsked(should_stop);
  } catch (const Stopped&) {
    throw py::error_already_set();
  }
}

// Runs one method on `query` (C-contiguous, two-dimensional) as RunWithoutGil does and returns
// the tuple (unique rows, representative indices, inverse). `group_rows(data, n, m, inverse,
// representative_storage, threads, should_stop)` must write the n inverse entries, call
// representative_storage(k) once on this thread, fill the k indices it returns and return k; the
// GIL is taken back inside representative_storage to create the k-entry arrays. The unique rows
// are copied without the GIL too, on the call's threads. The result does not depend on how many
// threads the method gets, and every error leaves nothing returned and all memory freed.
template <typename T, typename GroupRows>
py::tuple UniqueRowsCall(const py::array_t<T>& query, GroupRows group_rows) {
  const int n = static_cast<int>(query.shape(0));
  const int m = static_cast<int>(query.shape(1));
  const T* data = query.data();
  py::array_t<int> inverse(n);
  int* inverse_data = inverse.mutable_data();
  py::array_t<int> representatives;
  py::array_t<T> unique;
  int* representative_data = nullptr;
  T* unique_data = nullptr;
  const auto representative_storage = [&](int k) {
    py::gil_scoped_acquire gil;
    representatives = py::array_t<int>(k);
    unique = py::array_t<T>({k, m});
    representative_data = representatives.mutable_data();
    unique_data = unique.mutable_data();
    return representative_data;
  };
  RunWithoutGil([&](int threads, auto& should_stop) {
    const int k = group_rows(data, n, m, inverse_data, representative_storage, threads, should_stop);
    CopyRowsOnThreads(data, m, representative_data, k, unique_data, threads, should_stop);
  });
  return py::make_tuple(unique, representatives, inverse);
}

}  // namespace rilo
