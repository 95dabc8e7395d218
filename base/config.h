// Compiler and platform specifics, in one place: builtins, prefetching and the CPUs a process
// may use. The algorithm headers reach the platform only through this file.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
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

// Asks the processor to start loading the cache line at `address` for a write soon; a hint with
// no effect on results.
inline void PrefetchForWrite(void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 1);
#else
  (void)address;
#endif
}

// How many elements ahead a pass over scattered memory starts loading what it will read: far
// enough to cover a memory access at the pass's pace, near enough for the lines to stay cached.
constexpr int kPrefetchDistance = 16;

// Asks the processor to start loading the first and the last cache line of the `bytes` (at
// least 1) at `address`: all of a row that spans two lines, and where a wider row starts and
// ends. A hint with no effect on results.
inline void PrefetchSpanForRead(const void* address, std::size_t bytes) {
  PrefetchForRead(address);
  PrefetchForRead(static_cast<const char*>(address) + (bytes - 1));
}

// Size and alignment of a huge page on the platforms that have them (2 MiB on x86-64 and on
// ARM64 with 4 KiB base pages).
constexpr std::size_t kHugePageBytes = std::size_t{1} << 21;

// Asks the kernel to back the `bytes` at `address` (both multiples of kHugePageBytes) with huge
// pages: a table read at random places then misses the address-translation caches far less.
// A hint with no effect on results.
inline void AdviseHugePages(void* address, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(address, bytes, MADV_HUGEPAGE);
#else
  (void)address;
  (void)bytes;
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

// Index of the lowest set bit of `word`, which is not 0.
inline int CountTrailingZeros(std::uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctzll(word);
#else
  int count = 0;
  for (; (word & 1) == 0; word >>= 1) ++count;
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
