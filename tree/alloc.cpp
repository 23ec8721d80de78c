#include "tree/alloc.h"

#include <cstdio>
#include <cstdlib>

namespace vesk {

namespace {
[[noreturn]] void OutOfMemory(size_t bytes) {
  std::fprintf(stderr, "error: libvesk: out of memory (%zu bytes requested).\n", bytes);
  std::abort();
}
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
