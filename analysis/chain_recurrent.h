// Restriction of a lifted tree (state coordinates 0..n-1, tangent
// coordinates n..2n-1) to the boxes over the chain recurrent set of the
// Henon map, computed on a base tree over the state coordinates.
#pragma once

#include "tree/tree.h"

namespace vesk {

// Largest lifted tree height the depth map covers: lifted depths 0..255.
constexpr int kMaxLiftedHeight = 255;

// Rebuilds the base tree from the centers of the lifted boxes at the working
// depth (the lifted tree's height), marks the chain recurrent base boxes,
// and removes every lifted box over a base box that is not chain recurrent.
// Returns the number of lifted boxes left at the working depth (0 when none
// is left). A lifted tree taller than kMaxLiftedHeight, a base tree that is
// not 2-dimensional (the box graph is that of the planar map), or one whose
// state and tangent coordinates do not fit the lifted tree, is refused: an
// error line, nothing changed, and the result -1 (never 0, which would read
// as an empty set).
int BaseChainRecSet(Tree* lifted, Tree* base, double* paramLo, double* paramHi);

// BaseChainRecSet that also reports the number of base boxes at the base
// depth (baseBoxes) and how many of them are chain recurrent
// (baseRecurrent); either pointer may be null. Runs on the calling thread
// alone.
int BaseChainRecSetCounted(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                           int* baseBoxes, int* baseRecurrent);

// BaseChainRecSetCounted with the images and searches spread over
// `threads` threads: 1 or more is the number of threads (the calling thread
// included), 0 one per hardware thread, a negative count 1. The result,
// the counts and both trees do not depend on the number of threads.
int BaseChainRecSetCountedThreads(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                                  int* baseBoxes, int* baseRecurrent, int threads);

struct DepthBoxes;
// The same; when boxes is not null and lifted boxes are left, *boxes gets
// them as CollectDepthBoxes would gather them from the pruned tree (mask 1,
// without records where the grid gives them); otherwise boxes->depth is -1.
// When boxes->depth is 0 or more on entry, *boxes are the lifted boxes at
// the height as CollectDepthBoxes(lifted, -1, 1, 0, ...) gathers them (as
// TreeSubdivideAllCollect leaves them), and no walk gathers them again.
int BaseChainRecSetKeeping(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                           int* baseBoxes, int* baseRecurrent, int threads, DepthBoxes* boxes);

struct PassWorkspace;
// BaseChainRecSetKeeping with the run's workers and buffers, ws->lifted in
// the place of boxes.
int BaseChainRecSetPass(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                        int* baseBoxes, int* baseRecurrent, PassWorkspace* ws);

// Sets keep[i] = 1 for every lifted box i at the working depth, then 0 for
// each one found over a base box whose rec entry is 0.
void BaseFind(Tree* lifted, Tree* base, char* rec, char* keep);

}  // namespace vesk
