// Compiler and platform specifics, in one place: builtins, prefetching and the CPUs a process
// may use. The algorithm headers reach the platform only through this file.
#pragma once

#include <cstdint>

#if defined(__linux__)
#include <sched.h>
#endif

namespace rilo::internal {

// Asks the processor to start loading the cache line at `address` for a read soon; a hint with
// no effect on results.
inline void PrefetchForRead(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// Number of set bits in `word`.
inline int PopCount(std::uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_popcountll(word);
#else
  int count = 0;
  for (; word != 0; word &= word - 1) ++count;
  return count;
#endif
}

// Number of CPUs this process may run on (its affinity mask, not the machine's core count);
// at least 1.
inline int UsableCpuCount() {
#if defined(__linux__)
  cpu_set_t mask;
  if (sched_getaffinity(0, sizeof(mask), &mask) == 0) {
    const int count = CPU_COUNT(&mask);
    return count > 0 ? count : 1;
  }
#endif
  return 1;
}

}  // namespace rilo::internal
