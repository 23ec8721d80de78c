// The verification loop, independent of any host: once mode tests the
// lifted tree as it is; loop mode refines it pass by pass until the cone
// test succeeds, a depth limit is reached or the caller stops it.
//
// Everything the loop prints goes through the print callback, so the host
// module and the command line show the same lines.
#pragma once

#include <cstdint>

#include "tree/tree.h"

namespace vesk {

enum VerifyStage {
  kStageSubdivide = 0,
  kStageChainRecurrent = 1,
  kStageInvariantSet = 2,
  kStageConeTest = 3,
};

const char* VerifyStageName(VerifyStage stage);

// What one pass did. Box counts are -1 for an analysis the pass did not
// reach.
struct VerifyPassStats {
  int pass;              // 1 for the first pass of this run
  int depth;             // lifted height before the pass's subdivision
  int leaves;            // leaves before subdivision (the "#cubs" count)
  int subdivided;        // boxes at the working depth after subdivision
  int baseBoxes;         // base boxes at the base depth
  int baseRecurrent;     // of them chain recurrent
  int afterChainRec;     // lifted boxes left by the chain recurrent set
  int afterInvariant;    // lifted boxes left by the invariant set
  int conePassed;        // 1 passed, 0 failed, -1 not run
  double seconds;        // wall time of the pass
};

struct VerifyHooks {
  void* user;
  // Console output. Null prints nothing.
  void (*print)(void* user, const char* text);
  // Called when an analysis starts, with the boxes it works on. Optional.
  void (*stage)(void* user, VerifyStage stage, int boxes);
  // Called after every completed pass that did not succeed; a nonzero
  // return stops the loop (the tree is then in a consistent state).
  // Optional.
  int (*passDone)(void* user, const VerifyPassStats* stats, Tree* lifted);
  // Called after the pass that succeeded. Optional.
  void (*passSucceeded)(void* user, const VerifyPassStats* stats, Tree* lifted);
};

enum VerifyOutcome {
  kVerifyHyperbolic = 0,   // "Hyperbolic!" (loop) or 1.0 (once)
  kVerifyNotProven = 1,    // once mode: the cone test failed
  kVerifyDepthBound = 2,   // loop mode: the caller's depth bound was reached
  kVerifyDepthLimit = 3,   // loop mode: the tree cannot be refined further
  kVerifyStopped = 4,      // loop mode: passDone asked to stop
  kVerifyRefused = 5,      // the tree does not fit the planar maps
  kVerifyInexact = 6,      // the boxes would not be exactly representable
};

struct VerifyOptions {
  int once;           // nonzero: one test, no refinement, no output
  int maxDepth;       // loop mode: largest lifted height to refine to; <0: none
  int firstPass;      // number given to the first pass (1 for a new run)
};

// Boxes are only analysed while their bounds are exact doubles
// (TreeSplitsExact): once mode on a tree deeper than that gives 0.0 with a
// warning, and loop mode stops before a pass would go deeper, with a
// console line and 0.0. The check assumes the boxes were split along the
// tree's split-direction table, as TreeSubdivideAll and TreeInsert do.
//
// Runs the verification on the lifted tree (dimension 4: x, y, u, v) for
// the parameter box a in [paramLo[0], paramHi[0]], b in [paramLo[1],
// paramHi[1]]. The lifted tree is edited in place; a base tree over the
// state coordinates is built and released here on every path. Returns the
// outcome; *value receives the host's result (1.0 or 0.0) when not null.
VerifyOutcome VerifyHyperbolic(Tree* lifted, const double* paramLo, const double* paramHi,
                               const VerifyOptions* options, const VerifyHooks* hooks,
                               double* value);

// The lifted height beyond which the loop cannot refine (the smaller of
// the analyses' depth map and the tree's stack limit).
int VerifyHeightLimit(const Tree* lifted);

}  // namespace vesk
