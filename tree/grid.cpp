// One walk over the boxes of a depth, and their lookup by grid cells.
#include "tree/grid.h"

#include <algorithm>
#include <cmath>

#include "tree/walk_step.h"

namespace vesk {

namespace {

// Split counts of the coordinates above `depth`, from the split table.
std::vector<int> TableSplits(const Tree* tree, int depth) {
  const int dim = tree->domain->dim;
  std::vector<int> splits(dim, 0);
  for (int k = 0; k < depth; ++k)
    if (tree->sd[k] < dim) ++splits[tree->sd[k]];
  return splits;
}

// Whether the boxes at `depth` of a tree split along its table are cells
// of one grid with exact bounds that cell indices of 32 bits can number.
bool GridUsable(const Tree* tree, int depth) {
  if (depth > TreeMaxDepth(tree)) return false;
  const std::vector<int> splits = TableSplits(tree, depth);
  for (size_t j = 0; j < splits.size(); ++j) {
    if (splits[j] == 0) continue;
    if (splits[j] > 31) return false;
    const double r = tree->domain->radius[j];
    if (!(r > 0.0) || !std::isfinite(r) || !std::isfinite(tree->domain->center[j])) return false;
  }
  return TreeSplitsExact(tree, depth) == 1;
}

}  // namespace

void TreeCollectDepth(Tree* tree, int depth, uint8_t mask, int withMatrix, DepthBoxes* out) {
  const int dim = tree->domain->dim;
  out->depth = depth;
  out->dim = dim;
  out->count = 0;
  out->box.clear();
  out->matrix.clear();
  out->cell.clear();
  out->leafWithoutMask = false;
  const bool cells = depth >= 0 && GridUsable(tree, depth);
  bool regular = true;
  const size_t stride = 2 * static_cast<size_t>(dim) + 2;
  std::vector<uint32_t> cell(dim, 0);

  TreeReset(tree);
  if (depth < 0) {
    out->onGrid = false;
    return;
  }
  for (;;) {
    Box* box = tree->box;
    const int64_t d = tree->depth;
    if (d == depth) {
      box->no = out->count++;
      out->box.push_back(box);
      if (withMatrix) {
        const size_t at = out->matrix.size();
        out->matrix.resize(at + stride);
        double* record = out->matrix.data() + at;
        for (int i = 0; i < dim; ++i) record[i] = tree->c[i];
        for (int i = 0; i < dim; ++i) record[dim + i] = tree->r[i];
        record[2 * dim] = static_cast<double>(box->flags);
        record[2 * dim + 1] = 0.0;
      }
      if (cells) out->cell.insert(out->cell.end(), cell.begin(), cell.end());
    } else if (BoxIsLeaf(box)) {
      if ((box->flags & mask) != mask) out->leafWithoutMask = true;
    } else {
      // Down, lower child first; the cell gains one bit along the split.
      if (box->sd != tree->sd[d]) regular = false;
      const int side = box->child[0] ? 0 : 1;
      cell[box->sd] = (cell[box->sd] << 1) | static_cast<uint32_t>(side);
      TreeStepDown(tree, side);
      continue;
    }
    // Up until an ancestor's upper child is due.
    bool moved = false;
    while (tree->depth > 0) {
      const int64_t up = tree->depth - 1;
      Box* parent = tree->boxStack[up];
      const int k = parent->sd;
      tree->c[k] = tree->cStack[up];
      tree->r[k] = tree->rStack[up];
      tree->box = parent;
      tree->depth = up;
      cell[k] >>= 1;
      if (tree->childStack[up] == 0 && parent->child[1]) {
        cell[k] = (cell[k] << 1) | 1u;
        TreeStepDown(tree, 1);
        moved = true;
        break;
      }
    }
    if (!moved) break;
  }
  out->onGrid = cells && regular;
  if (!out->onGrid) out->cell.clear();
  out->cell.shrink_to_fit();
  TreeReset(tree);
}

namespace {

// One split coordinate of the grid: cell t spans [Line(t), Line(t + 1)].
struct GridAxis {
  int coord;
  int64_t cells;  // 2^splits
  double c0, h;   // Line(t) = c0 + (2t - cells) * h, exact
  double lo, w;   // first line and cell width, for the first guess
};

inline double Line(const GridAxis& a, int64_t t) {
  return a.c0 + static_cast<double>(2 * t - a.cells) * a.h;
}

inline int64_t Guess(const GridAxis& a, double x) {
  const double q = (x - a.lo) / a.w;
  if (!(q >= 0.0)) return 0;
  if (q >= static_cast<double>(a.cells)) return a.cells - 1;
  return static_cast<int64_t>(q);
}

// The first cell t whose upper bound the search would not reject:
// !(lower > Line(t + 1)); `cells` when there is none.
inline int64_t FirstCell(const GridAxis& a, double lower) {
  if (lower != lower) return 0;
  int64_t t = Guess(a, lower);
  while (t > 0 && !(lower > Line(a, t))) --t;
  while (t < a.cells && lower > Line(a, t + 1)) ++t;
  return t;
}

// The last cell t whose lower bound the search would not reject:
// !(Line(t) > upper); -1 when there is none.
inline int64_t LastCell(const GridAxis& a, double upper) {
  if (upper != upper) return a.cells - 1;
  int64_t t = Guess(a, upper);
  while (t < a.cells - 1 && !(Line(a, t + 1) > upper)) ++t;
  while (t >= 0 && Line(a, t) > upper) --t;
  return t;
}

}  // namespace

// A trie over the cells: level l holds, under each node of level l - 1,
// the distinct cells along axis[l] of the boxes below it, in increasing
// order. The last level holds one node per box.
struct BoxGrid {
  int count = 0;
  std::vector<GridAxis> axis;               // one per level
  std::vector<std::vector<uint32_t>> val;   // per level: the nodes' cells
  std::vector<std::vector<uint32_t>> next;  // per level but the last: first child
  std::vector<uint32_t> boxNo;              // last level: the box of each node
  std::vector<uint32_t> table;              // level 0: first node with cell >= v
};

namespace {

// Stable counting sort of perm by bits [shift, shift + bits) of key(i).
template <typename Key>
void SortByDigit(std::vector<uint32_t>& perm, std::vector<uint32_t>& scratch, int shift,
                 int bits, Key key) {
  const uint32_t mask = bits >= 32 ? 0xffffffffu : ((1u << bits) - 1u);
  std::vector<uint32_t> bucket((size_t{1} << bits) + 1, 0);
  for (uint32_t i : perm) ++bucket[((key(i) >> shift) & mask) + 1];
  for (size_t b = 1; b < bucket.size(); ++b) bucket[b] += bucket[b - 1];
  scratch.resize(perm.size());
  for (uint32_t i : perm) scratch[bucket[(key(i) >> shift) & mask]++] = i;
  perm.swap(scratch);
}

// Nodes [a, b) with cells in [lo, hi]: [first, end).
inline void Narrow(const uint32_t* v, uint32_t a, uint32_t b, uint32_t lo, uint32_t hi,
                   uint32_t* first, uint32_t* end) {
  if (b - a <= 12) {
    while (a < b && v[a] < lo) ++a;
    uint32_t e = a;
    while (e < b && v[e] <= hi) ++e;
    *first = a;
    *end = e;
    return;
  }
  const uint32_t* f = std::lower_bound(v + a, v + b, lo);
  const uint32_t* e = std::upper_bound(f, v + b, hi);
  *first = static_cast<uint32_t>(f - v);
  *end = static_cast<uint32_t>(e - v);
}

void Descend(const BoxGrid* g, size_t level, uint32_t a, uint32_t b, const uint32_t* lo,
             const uint32_t* hi, std::vector<uint32_t>* hits) {
  uint32_t first, end;
  Narrow(g->val[level].data(), a, b, lo[level], hi[level], &first, &end);
  if (level + 1 == g->val.size()) {
    hits->insert(hits->end(), g->boxNo.begin() + first, g->boxNo.begin() + end);
    return;
  }
  const std::vector<uint32_t>& next = g->next[level];
  for (uint32_t i = first; i < end; ++i) Descend(g, level + 1, next[i], next[i + 1], lo, hi, hits);
}

}  // namespace

BoxGrid* BoxGridNew(const Tree* tree, const DepthBoxes& boxes, const int* order) {
  if (!boxes.onGrid || boxes.count < 0) return nullptr;
  const int dim = tree->domain->dim;
  if (boxes.dim != dim || boxes.cell.size() != static_cast<size_t>(boxes.count) * dim)
    return nullptr;
  const std::vector<int> splits = TableSplits(tree, boxes.depth);
  BoxGrid* g = new BoxGrid;
  g->count = boxes.count;

  // Levels: the split coordinates, in the caller's order, then any split
  // coordinate the order left out.
  std::vector<char> used(dim, 0);
  auto addAxis = [&](int j) {
    if (j < 0 || j >= dim || used[j] || splits[j] == 0) return;
    used[j] = 1;
    GridAxis a;
    a.coord = j;
    a.cells = int64_t{1} << splits[j];
    a.c0 = tree->domain->center[j];
    const double r0 = tree->domain->radius[j];
    a.h = std::ldexp(r0, -splits[j]);
    a.lo = a.c0 - r0;
    a.w = a.h + a.h;
    g->axis.push_back(a);
  };
  for (int i = 0; order && i < dim; ++i) addAxis(order[i]);
  for (int j = 0; j < dim; ++j) addAxis(j);
  const size_t levels = g->axis.size();
  if (levels == 0) return g;  // depth 0: the root is every query's hit

  // Boxes sorted by their cells, level 0 most significant (radix sort,
  // least significant level first, 16 bits a pass).
  const uint32_t K = static_cast<uint32_t>(boxes.count);
  std::vector<uint32_t> perm(K), scratch;
  for (uint32_t i = 0; i < K; ++i) perm[i] = i;
  for (size_t l = levels; l-- > 0;) {
    const int coord = g->axis[l].coord;
    const int bits = splits[coord];
    auto key = [&](uint32_t i) { return boxes.cell[static_cast<size_t>(i) * dim + coord]; };
    for (int shift = 0; shift < bits; shift += 16)
      SortByDigit(perm, scratch, shift, std::min(16, bits - shift), key);
  }
  std::vector<uint32_t>().swap(scratch);

  g->val.assign(levels, {});
  g->next.assign(levels - 1, {});
  g->boxNo.reserve(K);
  std::vector<uint32_t> prev(levels, 0);
  for (uint32_t n = 0; n < K; ++n) {
    const uint32_t i = perm[n];
    size_t l = 0;
    if (n > 0)
      while (l < levels && boxes.cell[static_cast<size_t>(i) * dim + g->axis[l].coord] == prev[l])
        ++l;
    for (; l < levels; ++l) {
      const uint32_t v = boxes.cell[static_cast<size_t>(i) * dim + g->axis[l].coord];
      prev[l] = v;
      if (l + 1 < levels) g->next[l].push_back(static_cast<uint32_t>(g->val[l + 1].size()));
      g->val[l].push_back(v);
    }
    g->boxNo.push_back(i);
  }
  for (size_t l = 0; l + 1 < levels; ++l) {
    g->next[l].push_back(static_cast<uint32_t>(g->val[l + 1].size()));
    g->next[l].shrink_to_fit();
  }
  for (std::vector<uint32_t>& v : g->val) v.shrink_to_fit();

  // Direct entry into level 0 when its cells are few enough.
  const int64_t cells0 = g->axis[0].cells;
  if (cells0 <= std::max<int64_t>(1024, 2 * static_cast<int64_t>(K))) {
    g->table.resize(static_cast<size_t>(cells0) + 1);
    const std::vector<uint32_t>& v0 = g->val[0];
    uint32_t at = 0;
    for (int64_t v = 0; v <= cells0; ++v) {
      while (at < v0.size() && v0[at] < v) ++at;
      g->table[static_cast<size_t>(v)] = at;
    }
  }
  return g;
}

void BoxGridFree(BoxGrid** link) {
  if (!link || !*link) return;
  delete *link;
  *link = nullptr;
}

void BoxGridFind(const BoxGrid* g, const double* lower, const double* upper,
                 std::vector<uint32_t>* hits) {
  const size_t levels = g->axis.size();
  if (levels == 0) {
    for (int i = 0; i < g->count; ++i) hits->push_back(static_cast<uint32_t>(i));
    return;
  }
  if (g->count == 0) return;
  uint32_t lo[kMaxDim], hi[kMaxDim];
  for (size_t l = 0; l < levels; ++l) {
    const GridAxis& a = g->axis[l];
    const int64_t first = FirstCell(a, lower[a.coord]);
    const int64_t last = LastCell(a, upper[a.coord]);
    if (first > last) return;
    lo[l] = static_cast<uint32_t>(first);
    hi[l] = static_cast<uint32_t>(last);
  }
  const size_t start = hits->size();
  const std::vector<uint32_t>& v0 = g->val[0];
  uint32_t first, end;
  if (!g->table.empty()) {
    first = g->table[lo[0]];
    end = g->table[static_cast<size_t>(hi[0]) + 1];
  } else {
    Narrow(v0.data(), 0, static_cast<uint32_t>(v0.size()), lo[0], hi[0], &first, &end);
  }
  if (levels == 1) {
    hits->insert(hits->end(), g->boxNo.begin() + first, g->boxNo.begin() + end);
  } else {
    for (uint32_t i = first; i < end; ++i)
      Descend(g, 1, g->next[0][i], g->next[0][i + 1], lo, hi, hits);
  }
  if (hits->size() - start > 1) std::sort(hits->begin() + start, hits->end());
}

size_t BoxGridBytes(const BoxGrid* g) {
  if (!g) return 0;
  size_t bytes = sizeof(BoxGrid) + g->axis.capacity() * sizeof(GridAxis);
  for (const std::vector<uint32_t>& v : g->val) bytes += v.capacity() * sizeof(uint32_t);
  for (const std::vector<uint32_t>& v : g->next) bytes += v.capacity() * sizeof(uint32_t);
  bytes += (g->boxNo.capacity() + g->table.capacity()) * sizeof(uint32_t);
  return bytes;
}

}  // namespace vesk
