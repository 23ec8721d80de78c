// The box graph of the Henon map on a 2-dimensional state-space tree and its
// strongly connected components.
//
// Vertices are the boxes at the tree's deepest level, numbered in walk
// order; there is an edge v -> w when the widened image enclosure of v meets
// w (closed test, split coordinates only). A box is chain recurrent when it
// lies in a component of two or more boxes or has an edge to itself.
// ComputeScc maps and searches every box once and runs the component
// search on the stored graph; scc_nonrec never stores the graph and
// searches the successors in the tree every time it needs them.
#pragma once

#include "analysis/depth_boxes.h"
#include "tree/tree.h"

namespace vesk {

// Numbers the boxes at the deepest level, encloses their images with
// realhenon, widens every bound by the smallest positive double, and marks
// rec[v] = 1 for every chain recurrent box v (0 otherwise). rec needs room
// for one byte per box at the deepest level. The tree must have dimension
// 2; any other tree is refused with an error line and rec left untouched.
void ComputeScc(Tree* tree, double* paramLo, double* paramHi, char* rec);

// ComputeScc with the images and searches on `threads` threads (as for
// InvariantSetThreads: 0 one per hardware thread, negative 1). The verdicts
// do not depend on the number of threads.
void ComputeSccThreads(Tree* tree, double* paramLo, double* paramHi, char* rec, int threads);

// The verdicts of ComputeScc for boxes already collected at the tree's
// deepest level (CollectDepthBoxes, with the box matrix): rec[v] for the
// box numbered v. The tree must be 2-dimensional. The workers, the lookup
// and the graph are ws's (ws->base may be `boxes`).
struct PassWorkspace;
void ComputeSccCollected(Tree* tree, const DepthBoxes& boxes, double* paramLo,
                         double* paramHi, char* rec, PassWorkspace* ws);

// Iterative component search over the boxes at the deepest level. Sets
// rec[v] = 1 for chain recurrent boxes, never writes 0. Returns 0.
int scc_nonrec(Tree* tree, int d, char* rec, double* imageLo, double* imageHi);

// Descends from the cursor box to the leaves meeting the image box
// [lo, hi] of box v. Returns the number of the first such leaf not yet
// reached (dfsIndex 0), leaving the cursor on it; otherwise lowers
// lowlink[v] by the discovery numbers of the leaves met and returns -1 with
// the cursor as it was.
int TreeFindVisitBox(Tree* tree, double* lo, double* hi, int* dfsIndex, int* lowlink,
                     int v);

}  // namespace vesk
