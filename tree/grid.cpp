// The boxes of one depth looked up by their grid cells.
#include "tree/grid.h"

#include <algorithm>
#include <cmath>

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

}  // namespace

int TreeGridUsable(const Tree* tree, int depth) {
  if (depth < 0 || depth > TreeMaxDepth(tree)) return 0;
  const std::vector<int> splits = TableSplits(tree, depth);
  for (size_t j = 0; j < splits.size(); ++j) {
    if (splits[j] == 0) continue;
    if (splits[j] > 31) return 0;
    const double r = tree->domain->radius[j];
    if (!(r > 0.0) || !std::isfinite(r) || !std::isfinite(tree->domain->center[j])) return 0;
  }
  return TreeSplitsExact(tree, depth) == 1;
}

void CellGeometryOf(const Tree* tree, int depth, CellGeometry* g) {
  const int dim = tree->domain->dim;
  const std::vector<int> splits = TableSplits(tree, depth < 0 ? 0 : depth);
  g->dim = dim;
  g->center.assign(tree->domain->center, tree->domain->center + dim);
  g->half.resize(dim);
  g->cells.resize(dim);
  for (int j = 0; j < dim; ++j) {
    const int n = splits[j] < 62 ? splits[j] : 62;
    g->cells[j] = int64_t{1} << n;
    g->half[j] = std::ldexp(tree->domain->radius[j], -splits[j]);
  }
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

// The boxes grouped into runs by their cells along the leading `keyed`
// axes (the key); an open-addressing hash (linear probing, at most half
// full) finds the run of a key. A run lists its boxes in increasing number
// with their cells along the other axes. With one other axis these cells
// increase with the box numbers (the walk order orders boxes that differ in
// one coordinate by their cell along it), so a range of them is found by
// bisection.
struct BoxGrid {
  int count = 0;
  std::vector<GridAxis> axis;  // one per level
  int keyed = 0;               // leading axes that form the key
  bool wide = false;           // key of more than 64 bits: hashed cells
  std::vector<int> shift;      // narrow key: bit offset of each keyed axis
  int hashBits = 0;
  std::vector<uint64_t> slotKey;  // key (narrow) or hash (wide) + 1; 0 empty
  std::vector<uint32_t> slotRun;
  std::vector<uint32_t> runFirst;  // runs + 1 entries into box and rest
  std::vector<uint32_t> runCells;  // keyed cells of each run
  std::vector<uint32_t> box;       // box numbers, run after run
  std::vector<uint32_t> rest;      // cells along the other axes, levels - keyed per box
};

namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

inline uint64_t NarrowKey(const BoxGrid* g, const uint32_t* cells) {
  uint64_t k = 0;
  for (int l = 0; l < g->keyed; ++l) k |= static_cast<uint64_t>(cells[l]) << g->shift[l];
  return k;
}

inline uint64_t WideKey(const BoxGrid* g, const uint32_t* cells) {
  uint64_t h = 0x243F6A8885A308D3ull;
  for (int l = 0; l < g->keyed; ++l) {
    h = (h ^ cells[l]) * kGolden;
    h ^= h >> 29;
  }
  return h;
}

inline size_t SlotOf(const BoxGrid* g, uint64_t key) {
  return static_cast<size_t>((key * kGolden) >> (64 - g->hashBits));
}

// The run of the keyed cells, or UINT32_MAX when no box has them.
inline uint32_t FindRun(const BoxGrid* g, const uint32_t* cells) {
  const uint64_t key = g->wide ? WideKey(g, cells) : NarrowKey(g, cells);
  const size_t mask = g->slotKey.size() - 1;
  for (size_t s = SlotOf(g, key);; s = (s + 1) & mask) {
    const uint64_t k = g->slotKey[s];
    if (k == 0) return UINT32_MAX;
    if (k != key + 1) continue;
    const uint32_t run = g->slotRun[s];
    if (!g->wide) return run;
    const uint32_t* have = g->runCells.data() + static_cast<size_t>(run) * g->keyed;
    if (std::equal(cells, cells + g->keyed, have)) return run;
  }
}

// Appends the boxes of run r whose other cells lie in [lo, hi] (per level,
// from level `keyed` on).
inline __attribute__((always_inline)) void EmitRun(const BoxGrid* g, uint32_t r, const uint32_t* lo, const uint32_t* hi,
                    std::vector<uint32_t>* hits) {
  const uint32_t first = g->runFirst[r], end = g->runFirst[r + 1];
  const int others = static_cast<int>(g->axis.size()) - g->keyed;
  if (others == 0) {
    hits->insert(hits->end(), g->box.begin() + first, g->box.begin() + end);
    return;
  }
  if (others == 1) {
    const uint32_t* v = g->rest.data();
    const uint32_t a = lo[g->keyed], b = hi[g->keyed];
    uint32_t i = first, e;
    if (end - first <= 16) {
      while (i < end && v[i] < a) ++i;
      e = i;
      while (e < end && v[e] <= b) ++e;
    } else {
      i = static_cast<uint32_t>(std::lower_bound(v + first, v + end, a) - v);
      e = static_cast<uint32_t>(std::upper_bound(v + i, v + end, b) - v);
    }
    hits->insert(hits->end(), g->box.begin() + i, g->box.begin() + e);
    return;
  }
  for (uint32_t i = first; i < end; ++i) {
    const uint32_t* c = g->rest.data() + static_cast<size_t>(i) * others;
    bool in = true;
    for (int j = 0; j < others && in; ++j)
      in = c[j] >= lo[g->keyed + j] && c[j] <= hi[g->keyed + j];
    if (in) hits->push_back(g->box[i]);
  }
}

}  // namespace

BoxGrid* BoxGridNew(const Tree* tree, int depth, const uint32_t* cell, uint32_t count,
                    const int* order, int keyed) {
  if (!TreeGridUsable(tree, depth)) return nullptr;
  BoxGrid* g = new BoxGrid;
  if (!BoxGridBuild(g, tree, depth, cell, count, order, keyed)) {
    delete g;
    return nullptr;
  }
  return g;
}

int BoxGridBuild(BoxGrid* g, const Tree* tree, int depth, const uint32_t* cell, uint32_t count,
                 const int* order, int keyed) {
  if (!TreeGridUsable(tree, depth)) {
    // Left finding nothing.
    g->count = 0;
    g->axis.clear();
    g->runFirst.assign(1, 0);
    return 0;
  }
  const int dim = tree->domain->dim;
  const std::vector<int> splits = TableSplits(tree, depth);
  g->count = static_cast<int>(count);
  g->axis.clear();

  // Levels: the split coordinates, in the caller's order, then any split
  // coordinate the order left out.
  uint8_t used[kMaxDim] = {};
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
  const int levels = static_cast<int>(g->axis.size());
  g->keyed = keyed < 0 || keyed > levels ? (levels > 0 ? levels - 1 : 0) : keyed;
  const int others = levels - g->keyed;
  int bits = 0;
  g->shift.assign(g->keyed, 0);
  for (int l = 0; l < g->keyed; ++l) {
    g->shift[l] = bits;
    bits += splits[g->axis[l].coord];
  }
  g->wide = bits > 64;
  g->runFirst.clear();
  g->runCells.clear();
  g->box.clear();
  g->rest.clear();
  g->slotKey.clear();
  g->slotRun.clear();
  if (levels == 0) return 1;  // depth 0: the root is every query's hit

  // Runs numbered in the order of their first box; runOf[i] = run of box i
  // (kept in g->box until the runs are laid out).
  g->hashBits = 4;
  while ((size_t{1} << g->hashBits) < 2 * static_cast<size_t>(count)) ++g->hashBits;
  g->slotKey.assign(size_t{1} << g->hashBits, 0);
  g->slotRun.resize(g->slotKey.size());
  std::vector<uint32_t>& runOf = g->rest;  // scratch, laid out below
  runOf.resize(count);
  uint32_t cells[kMaxDim];
  const size_t mask = g->slotKey.size() - 1;
  uint32_t runs = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t* c = cell + static_cast<size_t>(i) * dim;
    for (int l = 0; l < g->keyed; ++l) cells[l] = c[g->axis[l].coord];
    uint32_t run = UINT32_MAX;
    if (g->keyed == 0) {
      run = 0;
      runs = 1;
    } else {
      const uint64_t key = g->wide ? WideKey(g, cells) : NarrowKey(g, cells);
      size_t s = SlotOf(g, key);
      for (;; s = (s + 1) & mask) {
        const uint64_t k = g->slotKey[s];
        if (k == 0) break;
        if (k != key + 1) continue;
        const uint32_t r = g->slotRun[s];
        if (!g->wide ||
            std::equal(cells, cells + g->keyed,
                       g->runCells.data() + static_cast<size_t>(r) * g->keyed)) {
          run = r;
          break;
        }
      }
      if (run == UINT32_MAX) {
        run = runs++;
        g->slotKey[s] = key + 1;
        g->slotRun[s] = run;
        g->runCells.insert(g->runCells.end(), cells, cells + g->keyed);
      }
    }
    runOf[i] = run;
  }
  // Counts, then first entries.
  g->runFirst.assign(static_cast<size_t>(runs) + 1, 0);
  for (uint32_t i = 0; i < count; ++i) ++g->runFirst[runOf[i] + 1];
  for (uint32_t r = 0; r < runs; ++r) g->runFirst[r + 1] += g->runFirst[r];
  g->box.resize(count);
  std::vector<uint32_t> at(g->runFirst.begin(), g->runFirst.end() - 1);
  for (uint32_t i = 0; i < count; ++i) g->box[at[runOf[i]]++] = i;
  g->rest.assign(static_cast<size_t>(count) * others, 0);
  for (uint32_t e = 0; e < count; ++e) {
    const uint32_t* c = cell + static_cast<size_t>(g->box[e]) * dim;
    for (int j = 0; j < others; ++j)
      g->rest[static_cast<size_t>(e) * others + j] = c[g->axis[g->keyed + j].coord];
  }
  return 1;
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
  double volume = 1.0;
  for (size_t l = 0; l < levels; ++l) {
    const GridAxis& a = g->axis[l];
    const int64_t first = FirstCell(a, lower[a.coord]);
    const int64_t last = LastCell(a, upper[a.coord]);
    if (first > last) return;
    lo[l] = static_cast<uint32_t>(first);
    hi[l] = static_cast<uint32_t>(last);
    if (static_cast<int>(l) < g->keyed) volume *= static_cast<double>(last - first + 1);
  }
  const size_t start = hits->size();
  const uint32_t runs = static_cast<uint32_t>(g->runFirst.size() - 1);
  const int keyed = g->keyed;
  uint32_t hitRuns = 0;
  if (keyed == 0) {
    EmitRun(g, 0, lo, hi, hits);
    return;
  }
  if (volume > static_cast<double>(runs)) {
    // More keys in the query than runs: every run is looked at.
    for (uint32_t r = 0; r < runs; ++r) {
      const uint32_t* c = g->runCells.data() + static_cast<size_t>(r) * keyed;
      bool in = true;
      for (int l = 0; l < keyed && in; ++l) in = c[l] >= lo[l] && c[l] <= hi[l];
      if (!in) continue;
      const size_t before = hits->size();
      EmitRun(g, r, lo, hi, hits);
      hitRuns += hits->size() > before;
    }
  } else if (!g->wide) {
    // Every key of the query, the last keyed axis fastest; the key follows
    // the cells.
    uint32_t cells[kMaxDim];
    uint64_t key = 0;
    for (int l = 0; l < keyed; ++l) {
      cells[l] = lo[l];
      key |= static_cast<uint64_t>(lo[l]) << g->shift[l];
    }
    const uint64_t* slotKey = g->slotKey.data();
    const size_t mask = g->slotKey.size() - 1;
    for (;;) {
      for (size_t s = SlotOf(g, key);; s = (s + 1) & mask) {
        const uint64_t k = slotKey[s];
        if (k == 0) break;
        if (k != key + 1) continue;
        const size_t before = hits->size();
        EmitRun(g, g->slotRun[s], lo, hi, hits);
        hitRuns += hits->size() > before;
        break;
      }
      int l = keyed - 1;
      while (l >= 0 && cells[l] == hi[l]) {
        key -= static_cast<uint64_t>(hi[l] - lo[l]) << g->shift[l];
        cells[l] = lo[l];
        --l;
      }
      if (l < 0) break;
      ++cells[l];
      key += uint64_t{1} << g->shift[l];
    }
  } else {
    // Every key of the query, the last keyed axis fastest.
    uint32_t cells[kMaxDim];
    for (int l = 0; l < keyed; ++l) cells[l] = lo[l];
    for (;;) {
      const uint32_t r = FindRun(g, cells);
      if (r != UINT32_MAX) {
        const size_t before = hits->size();
        EmitRun(g, r, lo, hi, hits);
        hitRuns += hits->size() > before;
      }
      int l = keyed - 1;
      while (l >= 0 && cells[l] == hi[l]) {
        cells[l] = lo[l];
        --l;
      }
      if (l < 0) break;
      ++cells[l];
    }
  }
  if (hitRuns > 1) {
    // A few short increasing runs: insertion sort.
    uint32_t* h = hits->data();
    const size_t end = hits->size();
    if (end - start > 64) {
      std::sort(h + start, h + end);
    } else {
      for (size_t i = start + 1; i < end; ++i) {
        const uint32_t x = h[i];
        size_t j = i;
        for (; j > start && h[j - 1] > x; --j) h[j] = h[j - 1];
        h[j] = x;
      }
    }
  }
}

}  // namespace vesk
