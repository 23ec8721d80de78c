// The invariant collection of a lifted tree under the tangent lift of the
// Henon map, and the cone test on the tangent coordinates.
#pragma once

#include "tree/tree.h"

namespace vesk {

// Removes, sweep after sweep, the boxes at the working depth that have no
// image in the collection or no preimage in it, until a sweep removes
// nothing. Returns the number of boxes left, 0 when the collection becomes
// empty. The tree must have dimension 4; any other tree is refused with an
// error line, nothing changed, and the result -1.
int InvariantSet(Tree* lifted, double* paramLo, double* paramHi);

// Number of nonzero bytes among the first m; 0 when m < 1.
int nnz(char* bytes, int m);

// Cone test: 1 when for every leaf and every tangent coordinate i in
// n..2n-1, (r[i] + r[i]) + |c[i]| < 1 (a NaN sum passes); 0 at the first
// leaf that fails. Coordinates beyond the tree's dimension are not read.
int CheckIsolated(Tree* tree, int n);

}  // namespace vesk
