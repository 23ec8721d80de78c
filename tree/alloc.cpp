#include "tree/alloc.h"

#include <cstdlib>
#include <new>

namespace vesk {

namespace {
// As the standard containers of the library do: the caller at the edge (the
// command line, the host module) turns it into a message, and the trees stay
// consistent, since no box is linked before it is complete.
[[noreturn]] void OutOfMemory(size_t) { throw std::bad_alloc(); }
}  // namespace

void* VeskMalloc(size_t bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) OutOfMemory(bytes);
  return p;
}

void* VeskCalloc(size_t count, size_t size) {
  void* p = std::calloc(count ? count : 1, size ? size : 1);
  if (!p) OutOfMemory(count * size);
  return p;
}

void* VeskRealloc(void* p, size_t bytes) {
  void* q = std::realloc(p, bytes ? bytes : 1);
  if (!q) OutOfMemory(bytes);
  return q;
}

}  // namespace vesk
