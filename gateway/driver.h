// The verification loop, independent of any host: once mode tests the
// lifted tree as it is; loop mode refines it pass by pass until the cone
// test succeeds, a depth limit is reached or the caller stops it.
//
// Everything the loop prints goes through the print callback, so the host
// module and the command line show the same lines.
#pragma once

#include <cstddef>
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
  // Optional. It may read the tree (walk it, write it out) but must not
  // change it: the next pass starts from the boxes this one left.
  int (*passDone)(void* user, const VerifyPassStats* stats, Tree* lifted);
  // Called after the pass that succeeded. Optional.
  void (*passSucceeded)(void* user, const VerifyPassStats* stats, Tree* lifted);
};

enum VerifyOutcome {
  kVerifyHyperbolic = 0,   // "Hyperbolic!" (loop) or 1.0 (once)
  kVerifyNotProven = 1,    // once mode: the cone test failed
  kVerifyDepthBound = 2,   // loop mode: the caller's depth bound was reached
                           // ("not proven up to depth N" is printed)
  kVerifyDepthLimit = 3,   // loop mode: the tree cannot be refined further
  kVerifyStopped = 4,      // loop mode: passDone asked to stop
  kVerifyRefused = 5,      // the tree does not fit the planar maps
  kVerifyInexact = 6,      // the boxes would not be exactly representable
  kVerifyMemory = 7,       // the next pass would not fit the memory budget
};

struct VerifyOptions {
  int once;           // nonzero: one test, no refinement, no output
  int maxDepth;       // loop mode: largest lifted height to refine to; <0: none
  int firstPass;      // number given to the first pass (1 for a new run)
  int64_t maxMemory;  // bytes the process may use in all; 0: what the
                      // system allows (VerifyMemoryAvailable)
  int threads;        // threads of the analyses, the caller's included; 0:
                      // one per core, and never more than one per core
                      // (VerifyThreads). Results do not depend on it.
};

// The threads a run with options.threads = threads uses: 0 and any count
// above the cores give one per core. A caller that asked for more can say
// so.
int VerifyThreads(int threads);

// The caller checks the input with VerifyCheckInput first; the loop itself
// only refuses trees that do not fit the planar maps, so that the library
// stays usable on trees the entry points would refuse.
//
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

// Why an input cannot be verified soundly (kInputOk when it can).
enum VerifyInputStatus {
  kInputOk = 0,
  kInputNoTree = 1,        // no tree at all
  kInputParameters = 2,    // a parameter end not finite, or lo > hi
  kInputDimension = 3,     // not a 4-dimensional lifted tree
  kInputDomain = 4,        // a center not finite, a radius not positive and finite
  kInputGrid = 5,          // x, y (or u, v) not on one grid
  kInputTangent = 6,       // tangent centers not 0 or tangent radius below 1
  kInputStateSquare = 7,   // the state domain misses part of the bounded orbits
  kInputTooTall = 8,       // taller than the analyses support
  kInputUneven = 9,        // leaves at more than one depth
  kInputSplits = 10,       // boxes or split table unfit for the tangent lift
  kInputInexact = 11,      // box bounds would not be exact doubles
};

// Decides whether VerifyHyperbolic can run soundly on this lifted tree and
// parameter box; every entry point (host module, command line, resumed
// runs) calls it before the verification and refuses what it refuses.
//
// toDepth is the deepest working depth the run will analyse: the tree's
// height in once mode, the depth bound in loop mode, or -1 for a loop
// without bound (whose later depths the loop checks for exactness pass by
// pass). The conditions, in the order they are checked:
//  - a and b are intervals of finite numbers with lo <= hi (an empty
//    parameter box would make every image empty and prove anything);
//  - the tree is 4-dimensional (x, y, u, v), every center finite and every
//    radius positive and finite;
//  - x and y share one grid (equal center and radius), as do u and v: the
//    tangent lift gives the image's y and v as midpoints of x and u, which
//    encloses the image only when those cells cover the source cells;
//  - u and v have center 0 and a radius of at least 1: the cone test proves
//    hyperbolicity only when every bounded tangent orbit, scaled up, fits
//    in the tangent domain and reaches |u| >= 1 there;
//  - the state domain contains the square |x|, |y| <= R that holds every
//    bounded orbit (HenonOrbitRadius): orbits that leave the domain are
//    dropped, so a smaller domain could miss part of the chain recurrent set;
//  - the height is at most VerifyHeightLimit and all leaves lie at one
//    depth (leaves above the working depth are never analysed);
//  - every inner box splits along the coordinate the split table gives for
//    its depth, and at every depth to be analysed the table has bisected y
//    no more often than x and v no more often than u;
//  - box bounds are exact doubles down to max(height, toDepth).
// Returns kInputOk, or the first condition that fails with a message in
// why (one sentence that says what to change, no trailing line feed).
// Reads the tree without moving its cursor.
VerifyInputStatus VerifyCheckInput(const Tree* lifted, const double* paramLo,
                                   const double* paramHi, int toDepth, char* why,
                                   size_t whySize);

// Memory. Before each pass (and before once mode's analyses) the loop
// compares what the pass will allocate, VerifyPassBytes, with what the
// process may still use, VerifyMemoryAvailable; a pass that would not fit
// is not started: loop mode prints "not proven up to depth N: the next pass
// needs about X, more than the Y available" and ends with kVerifyMemory,
// once mode ends with kVerifyMemory silently. The tree is left as the last
// completed pass left it.
//
// Bytes one pass allocates on top of the tree it starts from, for a tree
// with this many leaves (subdivided, or analysed as they are in once mode).
int64_t VerifyPassBytes(int64_t leaves, int subdivide);
// Leaves a tree may hold at most (box numbers are 32-bit).
constexpr double kVerifyMaxLeaves = 2147483647.0;
// Bytes that `times` subdivisions of every leaf add to a tree of `leaves`
// leaves (two new boxes a leaf each time, with their allocator headers),
// as a double so that absurd counts stay finite: what the hosts' tree
// commands compare with VerifyMemoryAvailable before they subdivide.
double VerifySubdivideBytes(double leaves, int times);
// Bytes this process may still allocate: with maxMemory > 0, maxMemory less
// its resident memory; otherwise the smaller of the address space left
// under its limit (ulimit -v) and the physical memory available. Never
// negative.
int64_t VerifyMemoryAvailable(int64_t maxMemory);
// Resident memory of this process now, in bytes (0 when unknown).
int64_t VerifyResidentBytes();
// "1.5 GiB", "320 MiB", "12 KiB", "500 bytes": sizes in messages.
void VerifyFormatBytes(int64_t bytes, char* text, size_t size);

// The lifted height beyond which the loop cannot refine (the smaller of
// the analyses' depth map and the tree's stack limit).
int VerifyHeightLimit(const Tree* lifted);

// History of a run, for proof certificates: the tree of every box the
// lifted tree ever held. Its leaves are the boxes the analyses discarded,
// each at the depth where it was discarded, and the boxes held at the end;
// together they tile the lifted domain. Projected onto the state
// coordinates it gives the same for the base boxes of all passes.
//
// The loop knows nothing of it: the caller records the tree before the run
// and after every pass, from the hooks passDone and passSucceeded, so that
// a run without certificate pays nothing. About 5 bytes per box held.
struct VerifyHistory;

// Starts a history with every box of the lifted tree held (its leaves are
// the boxes the first pass works on). The tree must be 4-dimensional and
// every box must have no child or two; otherwise null.
VerifyHistory* VerifyHistoryNew(const Tree* lifted);
void VerifyHistoryFree(VerifyHistory** link);

// Records one pass on the tree it started from. subdivided: the pass
// bisected every leaf first (loop mode); 0 for once mode's test of the
// leaves as they are. empty: an analysis left no box at the working depth
// (the lone root the tree keeps then is not a box held). Returns 0 when the
// history cannot grow further (more than 2^32 - 2 boxes); it is then no
// longer usable.
int VerifyHistoryPass(VerifyHistory* history, const Tree* lifted, int subdivided, int empty);

struct VerifyHistoryCounts {
  int64_t nodes;   // boxes
  int64_t leaves;
  int64_t final;   // leaves held at the end
  int height;      // depth of the deepest leaf
};

// One of the two trees of the history, in pre-order (lower child first):
// one bit per box in `shape` (1 split, 0 leaf) and one bit per leaf in
// `ends` (1 held at the end, 0 discarded), most significant bit first,
// the last byte padded with zero bits. state = 0 gives the lifted tree;
// state = 1 its projection onto the state coordinates, whose boxes split
// along the state coordinates in the order the lifted table splits them
// and whose leaf is held at the end when a lifted leaf held at the end
// lies over it. The counts go to *counts; shape and ends, when not null,
// need (nodes + 7) / 8 and (leaves + 7) / 8 bytes. 0 for a history that
// could not grow, 1 otherwise.
int VerifyHistoryTree(const VerifyHistory* history, int state, VerifyHistoryCounts* counts,
                      uint8_t* shape, uint8_t* ends);

// The lifted split table the history was taken with: the coordinate that
// depth d bisects, for d below the lifted tree's height.
int VerifyHistorySplit(const VerifyHistory* history, int depth);

}  // namespace vesk
