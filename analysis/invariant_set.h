// The invariant collection of a lifted tree under the tangent lift of the
// Henon map, and the cone test on the tangent coordinates.
#pragma once

#include "tree/tree.h"

namespace vesk {

// Keeps the largest collection of boxes at the working depth (the tree's
// height) in which every box has an image and a preimage: the collection
// at which removing, sweep after sweep, the boxes without image or without
// preimage in the collection stops. Every box is mapped with t_realhenon
// and its image searched once; the box graph is stored and boxes that lose
// their last predecessor or successor are removed one by one. The verdict
// goes to the tree once: flag bit 1 set on the boxes kept and cleared on
// the others, TreeRemove with mask 1 (which also drops the leaves above the
// working depth without flag bit 1), the boxes left numbered 0..K-1 in walk
// order. Returns K, 0 when the collection becomes empty. The tree must have
// dimension 4; any other tree is refused with an error line, nothing
// changed, and the result -1. Runs on the calling thread alone.
int InvariantSet(Tree* lifted, double* paramLo, double* paramHi);

// InvariantSet with the images and searches spread over `threads` threads:
// 1 or more is the number of threads (the calling thread included), 0 one
// per hardware thread, a negative count 1. The result and the tree do not
// depend on the number of threads.
int InvariantSetThreads(Tree* lifted, double* paramLo, double* paramHi, int threads);

struct PassWorkspace;
// InvariantSetThreads with the run's workers and buffers, on ws->lifted:
// the boxes at the working depth as CollectDepthBoxes(lifted, -1, 1, ...)
// gathers them or BaseChainRecSetPass leaves them.
int InvariantSetPass(Tree* lifted, double* paramLo, double* paramHi, PassWorkspace* ws);

// Number of nonzero bytes among the first m; 0 when m < 1.
int nnz(char* bytes, int m);

// Cone test: 1 when for every leaf and every tangent coordinate i in
// n..2n-1, (r[i] + r[i]) + |c[i]| < 1 (a NaN sum passes); 0 at the first
// leaf that fails. Coordinates beyond the tree's dimension are not read.
int CheckIsolated(Tree* tree, int n);

}  // namespace vesk
