// The boxes at the working depth of a tree, gathered and pruned by the
// analyses on several threads, and the subdivision of a verification pass:
// the tree is cut into subtrees (units) a few levels below the root, and
// the units are walked, pruned or subdivided in parallel. Everything ends
// as the plain walks, TreeRemove and TreeSubdivideAll leave it.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/parallel.h"
#include "tree/grid.h"
#include "tree/tree.h"

namespace vesk {

// What the functions below work in, kept with the boxes they gather from
// call to call, so that a pass in the steady state allocates nothing. It
// means nothing between calls.
struct DepthScratch {
  // The units: subtree roots with their depth, center, radius and cells.
  struct Units {
    std::vector<Box*> box;
    std::vector<int> depth;
    std::vector<double> c, r;
    std::vector<uint32_t> cell;
    int cut = 0;
    bool regular = true;
  };
  // A walk's stacks and its current center, radius and cells.
  struct Walker {
    std::vector<Box*> box;
    std::vector<int> side;
    std::vector<double> savedC, savedR, c, r;
    std::vector<uint32_t> cell;
  };
  // What the walk of one unit kept.
  struct Found {
    int deep = -1;
    int lacking = INT_MAX;
    bool regular = true;
    FillVector<Box*> box;
    FillVector<uint32_t> cell;
    FillVector<double> record;  // box matrix records
  };
  // What the subdivision of one unit did.
  struct Made {
    long long refused = 0;
    int64_t shallow = INT64_MAX, deep = -1;
    bool regular = true;
    int64_t first = -1, count = 0;
    bool numbered = true;
  };
  Units units[2];              // a level of the cut and the next
  std::vector<Walker> walker;  // per worker
  std::vector<Found> found;    // per unit
  std::vector<Made> made;      // per unit
  std::vector<size_t> first;   // per unit or chunk, and one more
  std::vector<char> goes;      // per unit
};

struct DepthBoxes {
  int depth = -1;                // the working depth
  int dim = 0;
  int count = 0;                 // boxes at the depth, numbered 0..count-1 in `no`
  FillVector<Box*> box;          // box[i] is the box numbered i
  bool onGrid = false;           // the boxes are the cells of one exact grid
  FillVector<uint32_t> cell;     // on the grid: dim cell indices per box
  CellGeometry geometry;         // on the grid: the cells' geometry
  FillVector<double> matrix;     // box matrix records (2*dim + 2 doubles), see below
  bool leafWithoutMask = false;  // a leaf above the depth lacks a bit of the mask
  // The units: subtree roots in walk order, the boxes above them having
  // depth below `cut`.
  int cut = 0;
  std::vector<Box*> unit;
  // The buffers of the calls on these boxes (also of PruneDepthBoxes,
  // which leaves the boxes as they are).
  mutable DepthScratch scratch;
};

// Gathers the boxes at `depth` (>= 0), or at the tree's height when depth
// is negative, in the order of TreeFirstBox/TreeNextBox, and numbers them
// 0, 1, 2, ... in `no`. The box matrix (records as TreePrintToMatrix
// writes them, the last element 0) is written when withMatrix is nonzero,
// and always when the boxes are not on one exact grid (so that
// DepthBoxRecord finds their geometry). When the depth found exceeds
// maxDepth, nothing is numbered, out->count is 0 and the cursor is left
// alone; otherwise the tree's cursor ends on the root. The walks run on the
// workers.
void CollectDepthBoxes(Tree* tree, int depth, uint8_t mask, int withMatrix, int maxDepth,
                       Workers& workers, DepthBoxes* out);

// Center (dim doubles) and radius (dim doubles) of box i.
inline void DepthBoxRecord(const DepthBoxes& boxes, size_t i, double* record) {
  const int dim = boxes.dim;
  if (!boxes.matrix.empty()) {
    const double* m = boxes.matrix.data() + i * (2 * static_cast<size_t>(dim) + 2);
    for (int j = 0; j < 2 * dim; ++j) record[j] = m[j];
    return;
  }
  CellBox(boxes.geometry, boxes.cell.data() + i * dim, record, record + dim);
}

// Carries keep[i] to the tree as the analyses do: flag bits `mask` set on
// box i when keep[i] is nonzero and cleared otherwise, then exactly what
// TreeRemove(root, mask) does (leaves lacking a bit of mask removed, also
// those above the depth, and every box left without children, the root
// staying), the boxes left numbered 0.. in walk order. Returns how many
// boxes at the depth are left. The tree's cursor ends on the root.
int PruneDepthBoxes(Tree* tree, const DepthBoxes& boxes, const char* keep, uint8_t mask,
                    Workers& workers);

// After PruneDepthBoxes(tree, *boxes, keep, mask, workers) has left boxes
// at the depth: the boxes kept, in their order (their numbers), with their
// cells and records, and the tree's units cut afresh, exactly what
// CollectDepthBoxes(tree, -1, mask, ...) would gather now, without walking
// the tree. At depth 0 the root stays, whatever its verdict.
void KeepDepthBoxes(Tree* tree, const char* keep, Workers& workers, DepthBoxes* boxes);

// TreeSubdivideAll on `threads` threads (as for InvariantSetThreads: 0 one
// per hardware thread, negative 1): every leaf is given two children split
// along the table at its depth; leaves at the depth limit are refused with
// one warning line. The tree and the cursor end as TreeSubdivideAll leaves
// them, whatever the number of threads; the new boxes come from the
// threads' own allocation arenas.
void TreeSubdivideAllThreads(Tree* tree, int threads);

// TreeSubdivideAllThreads on `workers`, gathering the new boxes on the way:
// when every leaf lay at one depth and was split, and the new boxes are the
// cells of one exact grid, *out gets exactly what CollectDepthBoxes(tree,
// -1, mask, 0, ...) would gather after the split (no records; no leaf is
// left above the new depth) and the result is true. Otherwise out->depth is
// -1 and the result false: the caller gathers the boxes itself. out may be
// null; its arrays are reused. `leaves` is what TreeNumberLeaves returned
// when it numbered the leaves just before (the children of leaf i are
// boxes 2i and 2i + 1), or -1, and then the leaves are numbered here.
bool TreeSubdivideAllCollect(Tree* tree, Workers& workers, int leaves, DepthBoxes* out);

}  // namespace vesk
