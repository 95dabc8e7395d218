// An allocator for the large tables that are read at random places.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "base/config.h"

namespace rilo::internal {

// Blocks from this size on are aligned to huge pages and advised to use them: smaller ones fit
// the address-translation caches anyway, and rounding them up would waste memory.
constexpr std::size_t kHugePageMinBytes = 2 * kHugePageBytes;

// Allocates like std::allocator, except that blocks of kHugePageMinBytes or more are rounded up
// to whole huge pages, aligned to them and advised to be backed by them, and that values
// constructed without arguments are default-initialised (trivial ones left unwritten).
template <typename T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  // Room for `count` values; throws std::bad_alloc when there is none.
  T* allocate(std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePageMinBytes) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    void* block = std::aligned_alloc(kHugePageBytes, rounded);
    if (block == nullptr) throw std::bad_alloc();
    AdviseHugePages(block, rounded);
    return static_cast<T*>(block);
  }

  // Constructs a value without arguments by default-initialisation, as `new U` does: a vector
  // of trivial values grown by resize() is left unwritten for its owner to fill, sparing a pass
  // over memory that the kernel has just cleared.
  template <typename U>
  void construct(U* at) {
    ::new (static_cast<void*>(at)) U;
  }

  // Constructs a value from `arguments`.
  template <typename U, typename... Arguments>
  void construct(U* at, Arguments&&... arguments) {
    ::new (static_cast<void*>(at)) U(std::forward<Arguments>(arguments)...);
  }

  // Releases a block from allocate(count).
  void deallocate(T* block, std::size_t count) {
    if (count * sizeof(T) < kHugePageMinBytes) {
      ::operator delete(block);
    } else {
      std::free(block);
    }
  }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const { return true; }
  template <typename U>
  bool operator!=(const HugePageAllocator<U>&) const { return false; }
};

// A vector for a call's large working arrays: huge pages where they are large, and elements left
// unwritten until their owner fills them.
template <typename T>
using LargeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace rilo::internal
