// Tests of stopping a call early (base/stop.h): the helper threads poll while the calling thread
// waits for them, the sorts end early without leaving their range, and the sort method throws
// Stopped at whatever poll it is told to stop, or else gives exactly the result of an
// uninterrupted run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/helper_threads.h"
#include "base/stop.h"
#include "check.h"
#include "tolerant_sort/sorts.h"
#include "tolerant_sort/unique_rows_by_sorting.h"

namespace {

using rilo::internal::kParallelMinimum;
using rilo::internal::kStopPollInterval;
using rilo_test::Check;

// A should_stop that says stop from its `limit`-th call on, on any thread, and counts its calls.
struct StopAtCall {
  std::atomic<long>* calls;
  long limit;
  bool operator()() const { return calls->fetch_add(1) + 1 >= limit; }
};

// Longest a test waits for another thread before it gives up and fails instead of hanging.
constexpr std::chrono::seconds kPatience{10};

// A task that can only finish once the calling thread has polled a few times: ForEachTask must
// poll while it waits for its helper, not only before or after.
void ForEachTaskPollsWhileWaiting() {
  constexpr int kPollsAwaited = 3;
  std::atomic<int> polls{0};
  std::atomic<bool> helper_saw_polls{false};
  const auto poll = [&polls] {
    polls.fetch_add(1);
    return false;
  };
  rilo::internal::ForEachTask(2, 2, [&](std::ptrdiff_t index) {
    if (index != 1) return;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (polls.load() < kPollsAwaited && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    helper_saw_polls = polls.load() >= kPollsAwaited;
  }, poll);
  Check(helper_saw_polls.load(), "the calling thread did not poll while its helper ran (" +
                                     std::to_string(polls.load()) + " polls)");
}

// Helpers that start helpers are all waited for: JoinAll returns only when the last one ends.
void JoinAllWaitsForHelpersOfHelpers() {
  std::atomic<int> finished{0};
  std::atomic<int> started{0};
  {
    rilo::internal::HelperThreads helpers(3);
    const auto inner = [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      finished.fetch_add(1);
    };
    started += helpers.TryStart([&] {
      started += helpers.TryStart(inner);
      finished.fetch_add(1);
    });
    helpers.JoinAll([] {});
    Check(started.load() > 0, "no helper could be started");
    Check(finished.load() == started.load(), std::to_string(started.load()) + " helpers started, " +
                                                 std::to_string(finished.load()) + " finished by JoinAll");
  }
}

// Ids 0 .. length-1, shuffled, between guard ids (-1).
std::vector<int> GuardedShuffle(int length, int guards, unsigned seed) {
  std::vector<int> values(length + 2 * guards, -1);
  std::iota(values.begin() + guards, values.end() - guards, 0);
  std::shuffle(values.begin() + guards, values.end() - guards, std::mt19937(seed));
  return values;
}

// A sort told to stop at its first poll returns after a small part of the comparisons a whole
// sort makes, compares only elements of its range, and leaves only ids of the range in it (the
// unstable sort: each exactly once).
void SortsStopEarlyInsideTheirRange() {
  constexpr int kGuards = 16;
  constexpr int kLength = 64 * static_cast<int>(kParallelMinimum);
  // Work a sort may still do once told to stop: each thread finishes the poll interval it is in
  // and the pieces below kStopPollInterval it has begun.
  constexpr long kMostComparisonsAfterStop = 256 * kStopPollInterval;
  for (bool stable : {false, true}) {
    for (int threads : {1, 2, 4}) {
      std::vector<int> values = GuardedShuffle(kLength, kGuards, 3);
      std::atomic<long> comparisons{0};
      std::atomic<int> strays{0};
      const auto less = [&](int a, int b) {
        if (a < 0 || b < 0) strays.fetch_add(1);
        comparisons.fetch_add(1, std::memory_order_relaxed);
        return a < b;
      };
      std::atomic<long> polls{0};
      const StopAtCall should_stop{&polls, 1};
      const auto first = values.begin() + kGuards;
      const auto last = values.end() - kGuards;
      if (stable) {
        rilo::internal::StableSort(first, last, less, threads, should_stop);
      } else {
        rilo::internal::UnstableSort(first, last, less, threads, [](const auto&) {}, should_stop);
      }
      const std::string where = std::string(stable ? "stable" : "unstable") + ", " +
                                std::to_string(threads) + " threads";
      Check(comparisons.load() <= kMostComparisonsAfterStop,
            where + ": " + std::to_string(comparisons.load()) + " comparisons after the stop");
      Check(strays.load() == 0, where + ": compared an element outside the range");
      Check(std::count(values.begin(), values.end(), -1) == 2 * kGuards, where + ": guards overwritten");
      std::vector<int> kept(first, last);
      std::sort(kept.begin(), kept.end());
      const bool only_range_ids = kept.front() >= 0 && kept.back() < kLength;
      Check(only_range_ids, where + ": an id that was never in the range");
      if (!stable) {
        std::vector<int> identity(kLength);
        std::iota(identity.begin(), identity.end(), 0);
        Check(kept == identity, where + ": the unstable sort lost or repeated ids");
      }
    }
  }
}

// Rows of three float columns, half of them copies of the other half moved by far less than
// the tolerance, so that groups, ties and both kinds of comparisons all occur.
std::vector<float> NearDuplicateRows(int n, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> data(3 * static_cast<std::size_t>(n));
  for (int row = 0; row < n; ++row) {
    for (int column = 0; column < 3; ++column) {
      data[3 * row + column] = row % 2 == 1 ? data[3 * (row - 1) + column] + 1e-7f : unit(random);
    }
  }
  return data;
}

struct SortResult {
  std::vector<int> representatives;
  std::vector<int> inverse;
  int storage_calls = 0;
  bool operator==(const SortResult& other) const {
    return representatives == other.representatives && inverse == other.inverse;
  }
};

// The sort method on `data`, stopped at the `stop_at`-th poll of should_stop (never when 0);
// `stopped` tells whether it threw Stopped, `polls` how often it polled.
SortResult SortMethod(const std::vector<float>& data, int n, bool stable, int threads, long stop_at,
                      bool& stopped, long& polls) {
  SortResult result;
  result.inverse.assign(n, -1);
  const auto storage = [&result](int k) {
    ++result.storage_calls;
    result.representatives.resize(k);
    return result.representatives.data();
  };
  std::atomic<long> calls{0};
  const StopAtCall should_stop{&calls, stop_at > 0 ? stop_at : std::numeric_limits<long>::max()};
  stopped = false;
  try {
    rilo::UniqueRowsBySorting(data.data(), n, 3, 1e-5f, stable, result.inverse.data(), storage,
                              threads, should_stop);
  } catch (const rilo::Stopped&) {
    stopped = true;
  }
  polls = calls.load();
  return result;
}

// Polls to stop a run of `polls` polls at: each of the first few, some spread over the rest,
// the last few, and one past the end (a run that is not stopped).
std::vector<long> StopPoints(long polls) {
  constexpr long kEach = 8;
  std::vector<long> points;
  for (long poll = 1; poll <= std::min(kEach, polls); ++poll) points.push_back(poll);
  for (long poll = kEach + 1; poll < polls - kEach; poll += std::max(1L, polls / kEach)) points.push_back(poll);
  for (long poll = std::max(kEach + 1, polls - kEach); poll <= polls + 1; ++poll) points.push_back(poll);
  return points;
}

// Told to stop at any of its polls, the sort method throws Stopped (having asked for room at
// most once); told never to stop, it polls at least once per kStopPollInterval rows and gives
// exactly the result of a call without a should_stop.
void SortMethodStopsAtAnyPoll() {
  constexpr int kRows = 4 * static_cast<int>(kParallelMinimum) + 5;
  const std::vector<float> data = NearDuplicateRows(kRows, 9);
  for (bool stable : {false, true}) {
    for (int threads : {1, 2}) {
      const std::string where = std::string(stable ? "stable" : "unstable") + ", " +
                                std::to_string(threads) + " threads";
      bool stopped = false;
      long polls = 0;
      const SortResult whole = SortMethod(data, kRows, stable, threads, 0, stopped, polls);
      SortResult plain;
      plain.inverse.assign(kRows, -1);
      rilo::UniqueRowsBySorting(data.data(), kRows, 3, 1e-5f, stable, plain.inverse.data(),
                                [&plain](int k) {
                                  plain.representatives.resize(k);
                                  return plain.representatives.data();
                                },
                                threads);
      Check(!stopped && whole == plain, where + ": polling changed the result");
      Check(polls >= kRows / kStopPollInterval, where + ": only " + std::to_string(polls) + " polls");
      int stops = 0;
      for (long stop_at : StopPoints(polls)) {
        long ignored = 0;
        const SortResult got = SortMethod(data, kRows, stable, threads, stop_at, stopped, ignored);
        stops += stopped;
        Check(got.storage_calls <= 1, where + ": room asked for twice");
        if (!stopped) Check(got == whole, where + ": a run that was not stopped changed its result");
      }
      Check(stops > 0, where + ": no run was stopped");
    }
  }
}

const bool registered = rilo_test::AddTests({
    {"ForEachTask polls should_stop while it waits for helpers", ForEachTaskPollsWhileWaiting},
    {"JoinAll waits for helpers started by helpers", JoinAllWaitsForHelpersOfHelpers},
    {"sorts told to stop end early inside their range", SortsStopEarlyInsideTheirRange},
    {"the sort method stops at any poll or gives the whole result", SortMethodStopsAtAnyPoll},
});

}  // namespace
