// SparseVector: growable (index, value) list.
#include "io/sparse_vector.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "tree/alloc.h"

namespace vesk {

SparseVector* SparseVectorNew(int dim, int capacity) {
  if (capacity < 1) capacity = 1;
  SparseVector* v = static_cast<SparseVector*>(VeskCalloc(1, sizeof(SparseVector)));
  v->dim = dim;
  v->count = 0;
  v->capacity = capacity;
  v->index = static_cast<int*>(VeskCalloc(static_cast<size_t>(capacity), sizeof(int)));
  v->value = static_cast<double*>(VeskCalloc(static_cast<size_t>(capacity), sizeof(double)));
  return v;
}

void SparseVectorFree(SparseVector** link) {
  if (link == nullptr || *link == nullptr) return;
  SparseVector* v = *link;
  std::free(v->value);
  std::free(v->index);
  std::free(v);
  *link = nullptr;
}

// A hit list that silently lost an entry would make the analyses drop
// boxes, so a list that cannot grow ends the operation, as a failed
// allocation does: with std::bad_alloc, as VeskRealloc throws it.
[[noreturn]] static void SparseVectorFull(int count) {
  std::fprintf(stderr,
               "error: libvesk: SparseVectorAddEntry(): the list is full at "
               "%d entries.\n",
               count);
  throw std::bad_alloc();
}

void SparseVectorAddEntry(SparseVector* v, int index, double value) {
  if (v->count >= v->capacity) {
    long long grown = 2LL * v->capacity;
    if (grown < 1) grown = 1;  // a list built by hand with capacity 0
    if (grown > INT_MAX) grown = INT_MAX;
    if (grown <= v->count) SparseVectorFull(v->count);
    v->index = static_cast<int*>(
        VeskRealloc(v->index, static_cast<size_t>(grown) * sizeof(int)));
    v->value = static_cast<double*>(
        VeskRealloc(v->value, static_cast<size_t>(grown) * sizeof(double)));
    v->capacity = static_cast<int>(grown);
  }
  v->index[v->count] = index;
  v->value[v->count] = value;
  ++v->count;
}

}  // namespace vesk
