// Allocation helpers of the tree library. The library has no error path for
// a failed allocation; instead of running on with a null pointer, these
// throw std::bad_alloc, as the standard containers do.
#pragma once

#include <cstddef>

namespace vesk {

void* VeskMalloc(size_t bytes);
void* VeskCalloc(size_t count, size_t size);
void* VeskRealloc(void* p, size_t bytes);

}  // namespace vesk
