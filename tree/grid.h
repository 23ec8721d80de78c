// A lookup of the boxes at one depth of a tree by their grid cells that
// finds exactly what the box search (TreeSearchBoxRec) finds, without
// descending from the root.
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

#include "tree/fill_vector.h"
#include "tree/tree.h"

namespace vesk {

// 1 when the boxes at `depth` of a tree whose boxes are split along its
// split table are the cells of one grid with exact bounds (TreeSplitsExact)
// whose indices fit 32 bits (at most 31 splits of a coordinate); 0 when not.
int TreeGridUsable(const Tree* tree, int depth);

// The cells of the boxes at one depth of a tree split along its table.
// Cell indices of a box: along coordinate j, the sides taken at the splits
// of j on its path, the first split the highest bit (0 lower half, 1 upper
// half).
struct CellGeometry {
  int dim = 0;
  std::vector<double> center;  // per coordinate: the domain's center
  std::vector<double> half;    // per coordinate: a cell's radius
  std::vector<int64_t> cells;  // per coordinate: 2^splits
};
void CellGeometryOf(const Tree* tree, int depth, CellGeometry* geometry);

// Center and radius of the box with the given cells: on a depth that
// TreeGridUsable accepts, exactly the values the tree's cursor has on it.
inline void CellBox(const CellGeometry& g, const uint32_t* cell, double* center,
                    double* radius) {
  for (int j = 0; j < g.dim; ++j) {
    radius[j] = g.half[j];
    center[j] = g.cells[j] == 1
                    ? g.center[j]
                    : g.center[j] + static_cast<double>(2 * static_cast<int64_t>(cell[j]) + 1 -
                                                        g.cells[j]) *
                                        g.half[j];
  }
}

struct BoxGrid;

// The lookup of `count` boxes at `depth` of `tree`, box i having the cells
// cell[i * dim .. i * dim + dim - 1]; the boxes must be split along the
// tree's table and must not change while the lookup is used. order lists
// the tree's coordinates, the one that queries narrow down most first
// (coordinates left out follow); it only affects speed. The split
// coordinates in that order are the lookup's axes; boxes are grouped by
// their cells along the first `keyed` axes (a negative count: all but the
// last axis), and the groups found by a hash of these cells. Queries should
// meet few cells of the keyed axes. Null when TreeGridUsable refuses the
// depth; the caller then searches the tree.
BoxGrid* BoxGridNew(const Tree* tree, int depth, const uint32_t* cell, uint32_t count,
                    const int* order, int keyed = -1);
// BoxGridNew into a lookup made before (its memory is reused); 0, the
// lookup left empty, when TreeGridUsable refuses the depth.
int BoxGridBuild(BoxGrid* grid, const Tree* tree, int depth, const uint32_t* cell,
                 uint32_t count, const int* order, int keyed = -1);
void BoxGridFree(BoxGrid** link);

// Appends to hits the numbers of the boxes that TreeSearchBoxRec from the
// root at the grid's depth reports for the closed query box [lower, upper]:
// only split coordinates are tested, strict comparisons reject (a NaN bound
// rejects nothing). In increasing order when `sorted` is nonzero; otherwise
// each once, in an order that depends on the grid and the query alone.
// Reads the grid only, so several threads may look up at once.
using HitList = FillVector<uint32_t>;
void BoxGridFind(const BoxGrid* grid, const double* lower, const double* upper, HitList* hits,
                 int sorted = 1);

}  // namespace vesk
