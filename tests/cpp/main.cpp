// Runs every registered test and prints one line per failure and a closing count.
#include <cstdio>
#include <exception>

#include "check.h"

int main() {
  int passed = 0;
  int failed = 0;
  for (const auto& test : rilo_test::Registry()) {
    const int failures_before = rilo_test::FailedChecks();
    try {
      test.body();
    } catch (const std::exception& error) {
      rilo_test::Check(false, std::string("unexpected exception: ") + error.what());
    }
    const bool ok = rilo_test::FailedChecks() == failures_before;
    if (!ok) std::printf("FAILED %s\n", test.name.c_str());
    (ok ? passed : failed) += 1;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
