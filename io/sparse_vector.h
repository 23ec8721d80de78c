// SparseVector: a growable list of (index, value) pairs, the hit list of the
// box search.
#pragma once

namespace vesk {

struct SparseVector {
  int dim;        // dimension of the listed vector; recorded only
  int count;      // entries in use
  int capacity;   // allocated length of both arrays
  int* index;
  double* value;
};

// A list with count 0 and zero-filled arrays of `capacity` entries. A
// capacity below 1 is raised to 1 so that the list can still grow.
SparseVector* SparseVectorNew(int dim, int capacity);
void SparseVectorFree(SparseVector** link);
// Appends (index, value), doubling the capacity when full.
void SparseVectorAddEntry(SparseVector* v, int index, double value);

}  // namespace vesk
