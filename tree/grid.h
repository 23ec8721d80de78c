// The boxes at one depth of a tree gathered in a single walk, and a lookup
// of those boxes by cell indices that finds exactly what the box search
// (TreeSearchBoxRec) finds, without descending from the root.
//
// When every box above the depth is split along the tree's split-direction
// table and the bounds of the boxes are exact doubles (TreeSplitsExact),
// the boxes at the depth are cells of one grid of the domain: coordinate j
// is cut into 2^n_j equal cells, n_j being the number of table entries
// above the depth that split j. A query box then turns into one range of
// cell indices per split coordinate, found by the same closed comparisons
// with the same exact bounds that the tree search makes on the way down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tree/tree.h"

namespace vesk {

// Boxes at one depth, in walk order.
struct DepthBoxes {
  int depth = 0;
  int dim = 0;
  int count = 0;                 // boxes at the depth, numbered 0..count-1 in `no`
  std::vector<Box*> box;         // box[i] is the box numbered i
  std::vector<double> matrix;    // box matrix records (2*dim + 2 doubles), when asked for
  bool onGrid = false;           // cell holds the boxes' grid cells
  std::vector<uint32_t> cell;    // dim indices per box: the cell along each coordinate
  bool leafWithoutMask = false;  // a leaf above the depth lacks a bit of the mask
};

// One walk of the boxes at `depth` (>= 0), in the order of TreeFirstBox and
// TreeNextBox: numbers them 0, 1, 2, ... in `no`, lists them and, when
// withMatrix is nonzero, writes their box matrix records as
// TreePrintToMatrix does (the last element of each record is 0). Notes
// whether some leaf above the depth lacks a bit of `mask` (TreeRemove with
// that mask would drop it) and, when the boxes lie on one exact grid, their
// cells. The cursor ends on the root, as after a finished walk.
void TreeCollectDepth(Tree* tree, int depth, uint8_t mask, int withMatrix, DepthBoxes* out);

struct BoxGrid;

// The lookup of the boxes that `boxes` lists (collected from `tree` at
// boxes.depth, whose boxes must not change while the lookup is used).
// order lists the tree's coordinates, the one that queries narrow down most
// first; it only affects speed. Null when the boxes are not on one exact
// grid or a coordinate is split more than 31 times above the depth; the
// caller then searches the tree.
BoxGrid* BoxGridNew(const Tree* tree, const DepthBoxes& boxes, const int* order);
void BoxGridFree(BoxGrid** link);

// Appends to hits, in increasing order, the numbers of the boxes that
// TreeSearchBoxRec from the root at the grid's depth reports for the
// closed query box [lower, upper]: only split coordinates are tested,
// strict comparisons reject (a NaN bound rejects nothing). Reads the grid
// only, so several threads may look up at once.
void BoxGridFind(const BoxGrid* grid, const double* lower, const double* upper,
                 std::vector<uint32_t>* hits);

// Bytes the lookup holds.
size_t BoxGridBytes(const BoxGrid* grid);

}  // namespace vesk
