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
#include <algorithm>
#include <cstdint>
#include <initializer_list>
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

// One split coordinate of the grid: cell t spans [Line(t), Line(t + 1)].
struct GridAxis {
  int coord;
  int64_t cells;  // 2^splits
  double c0, h;   // Line(t) = c0 + (2t - cells) * h, exact
  double lo, inv;  // first line and cells per unit, for the first guess
  double top;      // cells, as a double
  bool direct;     // the lines are exactly lo + 2th and inv (about 1 / 2h) is
                   // finite: a bound well inside a cell is placed by one product
};

// The boxes grouped into runs by their cells along the leading `keyed`
// axes (the key); an open-addressing hash (linear probing, at most half
// full) finds the run of a key. A run lists its boxes in increasing number
// with their cells along the other axes. With one other axis these cells
// increase with the box numbers (the walk order orders boxes that differ in
// one coordinate by their cell along it), so a range of them is found by
// bisection.
//
// The top bit of a key's hash picks one of kGridParts parts, each with a
// half of the table and runs of its own, so that the parts can be built
// side by side (BoxGridFindRuns, BoxGridPlace); the bits below it give the
// slot in the half, so the table is found as one table of twice the slots,
// its probes kept within a half. Runs are numbered part after part, in
// each part in the order of their first box: the lookup is the same
// whether its parts were built one after the other or at once.
constexpr int kGridParts = 2;

// A part has cache lines of its own: the parts are built side by side.
struct alignas(64) GridPart {
  // While building: the bits of its table, its half of the lookup's unless
  // its runs outgrew that; then a table of its own, until the halves are
  // made larger for all parts.
  int tableBits = 0;
  std::vector<uint64_t> ownKey;
  std::vector<uint32_t> ownRun;
  std::vector<uint32_t> runCells;  // keyed cells of each of its runs
  std::vector<uint32_t> runSize;   // boxes of each of its runs
  uint32_t first = 0;              // the number of its first run
  // While building: its boxes in increasing order, and their runs.
  std::vector<uint32_t> member, memberRun;
};

struct BoxGrid {
  int count = 0;
  int dim = 0;                 // coordinates of the cell rows it was built from
  std::vector<GridAxis> axis;  // one per level
  int keyed = 0;               // leading axes that form the key
  bool wide = false;           // key of more than 63 bits: hashed cells
  std::vector<int> shift;      // narrow key: bit offset of each keyed axis
  int hashBits = 0;            // slots of a half: 2^hashBits
  FillVector<uint64_t> slotKey;  // the halves: key (narrow) or hash (wide) + 1; 0 empty
  FillVector<uint32_t> slotRun;  // run within the half's part
  GridPart part[kGridParts];
  std::vector<uint32_t> runFirst;  // runs + 1 entries into box and rest
  FillVector<uint32_t> box;        // box numbers, run after run
  FillVector<uint32_t> rest;       // cells along the other axes, levels - keyed per box
};

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
// BoxGridBuild in steps, for building the parts on several threads:
// BoxGridBegin (returns what BoxGridBuild returns; nothing more to do on
// 0), then BoxGridFindRuns for every part, BoxGridNumberRuns, and
// BoxGridPlace for every part, all with the same cells. The calls for
// different parts may run at the same time; a negative part does them all.
int BoxGridBegin(BoxGrid* grid, const Tree* tree, int depth, uint32_t count, const int* order,
                 int keyed = -1);
void BoxGridFindRuns(BoxGrid* grid, const uint32_t* cell, int part);
void BoxGridNumberRuns(BoxGrid* grid);
void BoxGridPlace(BoxGrid* grid, const uint32_t* cell, int part);
void BoxGridFree(BoxGrid** link);

// The box numbers that lookups append to, written in place: Room(n) makes
// room for n more at end() (growing by doubling, nothing cleared), Add(n)
// takes n of them into the list. A list has cache lines of its own, so
// that the lists of chunks or workers side by side in a vector can be
// written by different threads without sharing a line.
class alignas(64) HitList {
 public:
  HitList() = default;
  HitList(std::initializer_list<uint32_t> items) : buf_(items), size_(items.size()) {}
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t* data() { return buf_.data(); }
  const uint32_t* data() const { return buf_.data(); }
  uint32_t* begin() { return buf_.data(); }
  uint32_t* end() { return buf_.data() + size_; }
  const uint32_t* begin() const { return buf_.data(); }
  const uint32_t* end() const { return buf_.data() + size_; }
  uint32_t& operator[](size_t i) { return buf_[i]; }
  uint32_t operator[](size_t i) const { return buf_[i]; }
  void clear() { size_ = 0; }
  void reserve(size_t n) {
    if (n > buf_.size()) buf_.resize(n);
  }
  uint32_t* Room(size_t n) {
    if (size_ + n > buf_.size()) buf_.resize(std::max(2 * buf_.size(), size_ + n));
    return buf_.data() + size_;
  }
  void Add(size_t n) { size_ += n; }
  void push_back(uint32_t x) {
    *Room(1) = x;
    ++size_;
  }
  // Removes item i, the later ones moving up.
  void Erase(size_t i) {
    std::copy(begin() + i + 1, end(), begin() + i);
    --size_;
  }

 private:
  FillVector<uint32_t> buf_;
  size_t size_ = 0;
};

// Appends to hits the numbers of the boxes that TreeSearchBoxRec from the
// root at the grid's depth reports for the closed query box [lower, upper]:
// only split coordinates are tested, strict comparisons reject (a NaN bound
// rejects nothing). In increasing order when `sorted` is nonzero; otherwise
// each once, in an order that depends on the grid and the query alone.
// Reads the grid only, so several threads may look up at once.
void BoxGridFind(const BoxGrid* grid, const double* lower, const double* upper, HitList* hits,
                 int sorted = 1);

}  // namespace vesk
