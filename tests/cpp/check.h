// A minimal test harness: named test functions and checks that report where they failed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace rilo_test {

struct TestCase {
  std::string name;
  std::function<void()> body;
};

inline std::vector<TestCase>& Registry() {
  static std::vector<TestCase> tests;
  return tests;
}

// Adds tests to the run; call it from a namespace-scope initialiser in each test file.
inline bool AddTests(std::vector<TestCase> tests) {
  for (auto& test : tests) Registry().push_back(std::move(test));
  return true;
}

// Where a check was written, filled in at the call site. (std::source_location would do, but
// libc++ 14 lacks it; GCC and clang both provide the builtins.)
class CallSite {
 public:
  static CallSite current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
    return CallSite(file, line);
  }
  const char* file_name() const { return file_; }
  unsigned line() const { return line_; }

 private:
  CallSite(const char* file, unsigned line) : file_(file), line_(line) {}
  const char* file_;
  unsigned line_;
};

inline int& FailedChecks() {
  static int count = 0;
  return count;
}

// Records a failure, with its source line, when `condition` is false.
inline void Check(bool condition, const std::string& what,
                  CallSite where = CallSite::current()) {
  if (condition) return;
  ++FailedChecks();
  std::printf("  check failed at %s:%u: %s\n", where.file_name(), where.line(), what.c_str());
}

// Checks that `body` throws an `Exception` whose what() is exactly `message`.
template <typename Exception>
void CheckThrows(const std::function<void()>& body, const std::string& message,
                 CallSite where = CallSite::current()) {
  try {
    body();
  } catch (const Exception& error) {
    Check(error.what() == message, std::string("message was: ") + error.what(), where);
    return;
  } catch (...) {
    Check(false, "threw an exception of another type", where);
    return;
  }
  Check(false, "did not throw", where);
}

}  // namespace rilo_test
