// Read-only views of the boxes at one depth: box search, matrix export and
// text listing.
#pragma once

#include <cstdio>

#include "io/sparse_vector.h"
#include "tree/tree.h"

namespace vesk {

// Appends (no, 1.0) to hits for every box at `depth` (walk selector) that
// meets the closed query box [lower, upper], testing only each level's split
// coordinate (strict comparisons: NaN bounds reject nothing). Hits come in
// walk order. Starts at the cursor's current box (normally the root after
// TreeReset) and leaves the cursor exactly as it found it; the stack
// entries above the start depth are kept, so a walk may go on afterwards.
// Uses the cursor stacks instead of recursion.
void TreeSearchBoxRec(Tree* tree, const double* lower, const double* upper,
                      int depth, SparseVector* hits);

// Writes one record of 2*dim+2 doubles per box of the walk at `depth`:
// center, radius, flags; the last element of each record is not written.
void TreePrintToMatrix(Tree* tree, int depth, double* matrix);

// One line per box of the walk: centers and radii as "%g ", flags as "%u".
void TreePrint(FILE* out, Tree* tree, int depth);

}  // namespace vesk
