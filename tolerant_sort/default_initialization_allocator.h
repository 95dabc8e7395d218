// Allocator adaptor that leaves new elements default-initialised, so that sizing a vector of
// integers does not zero-fill memory the caller overwrites at once.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace rilo {

// Forwards everything to the underlying allocator, except that construction without arguments
// default-initialises (leaves integers unwritten) instead of value-initialising.
template <typename T, typename Underlying = std::allocator<T>>
class DefaultInitializationAllocator : public Underlying {
  using Traits = std::allocator_traits<Underlying>;

 public:
  template <typename U>
  struct rebind {
    using other = DefaultInitializationAllocator<U, typename Traits::template rebind_alloc<U>>;
  };

  using Underlying::Underlying;

  template <typename U>
  void construct(U* place) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(place)) U;
  }

  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    Traits::construct(static_cast<Underlying&>(*this), place, std::forward<Args>(args)...);
  }
};

// A vector of indices whose sizing does not zero-fill; every user writes it before reading it.
template <typename Index>
using IndexVector = std::vector<Index, DefaultInitializationAllocator<Index>>;

}  // namespace rilo
