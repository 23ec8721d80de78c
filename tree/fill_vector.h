// A vector for arrays that are written before they are read.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
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

// Memory that arrays of trivial types take in turn, each array living
// until the next one is laid out: Layout(bytes) makes room (keeping nothing
// of what was there), Array<T>(offset, n) starts the lifetime of n objects
// of type T at a byte offset aligned for T, without writing them.
struct Scratch {
  FillVector<std::byte> bytes;
  void Layout(size_t size) {
    if (size > bytes.size()) {
      bytes.clear();
      bytes.shrink_to_fit();
      bytes.resize(size);
    }
  }
  template <typename T>
  T* Array(size_t offset, size_t n) {
    return new (bytes.data() + offset) T[n];
  }
};

// The byte offset just past n objects of T laid out at `at`, rounded up to
// the strictest alignment any of them needs.
template <typename T>
constexpr size_t ScratchEnd(size_t at, size_t n) {
  const size_t end = at + n * sizeof(T);
  return (end + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
         alignof(std::max_align_t);
}

}  // namespace vesk
