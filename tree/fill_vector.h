// A vector for arrays that are written before they are read.
#pragma once

#include <memory>
#include <utility>
#include <vector>

namespace vesk {

// A vector whose resize leaves new elements of trivial types unset: for
// the big arrays that the workers fill, so that the calling thread neither
// clears them nor is the one to touch their pages first.
template <typename T>
struct UnsetAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UnsetAllocator<U>;
  };
  UnsetAllocator() = default;
  template <typename U>
  UnsetAllocator(const UnsetAllocator<U>&) {}
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
};
template <typename T>
using FillVector = std::vector<T, UnsetAllocator<T>>;

}  // namespace vesk
