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

inline double Line(const GridAxis& a, int64_t t) {
  return a.c0 + static_cast<double>(2 * t - a.cells) * a.h;
}

// A cell near x: only a start for the exact comparisons below, so the
// rounding of the product does not matter.
inline int64_t Guess(const GridAxis& a, double x) {
  const double q = (x - a.lo) * a.inv;
  if (!(q >= 0.0)) return 0;
  if (q >= a.top) return a.cells - 1;
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

// The cell that holds x well inside it, without comparing x with a line:
// with q = (x - lo) / w computed as fl(fl(x - lo) * fl(1 / w)), in any
// rounding direction (unit u <= 2^-52), the computed q differs from the
// exact one by at most 3.0001 u q < 2^-19 for q below 2^31 cells (a
// subtraction that underflows is exact, and a product that does makes q
// too small to pass). The lines of the grid are the exact reals
// lo + t * w (TreeGridUsable; checked when the axis is made). So when the
// computed q has a fraction in [2^-16, 1 - 2^-16], x lies strictly
// between lines t and t + 1: FirstCell and LastCell both give t. False
// when that cannot be told this way (near a line, outside, NaN).
inline bool WellInside(const GridAxis& a, double x, int64_t* cell) {
  const double q = (x - a.lo) * a.inv;
  if (!(q >= 0.0 && q < a.top)) return false;
  const int64_t t = static_cast<int64_t>(q);
  const double f = q - static_cast<double>(t);  // exact
  if (!(f >= 0x1p-16 && f <= 1.0 - 0x1p-16)) return false;
  *cell = t;
  return true;
}

// The cells [first, last] of a query [lower, upper] along one axis, as
// FirstCell and LastCell give them; false when there is none.
inline bool CellRange(const GridAxis& a, double lower, double upper, int64_t* first,
                      int64_t* last) {
  if (a.direct && WellInside(a, lower, first)) {
    if (lower == upper) {
      *last = *first;
      return true;
    }
  } else {
    *first = FirstCell(a, lower);
  }
  if (!(a.direct && WellInside(a, upper, last))) *last = LastCell(a, upper);
  return *first <= *last;
}

}  // namespace

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

// Writes to out the boxes of run r whose other cells lie in [lo, hi] (per
// level, from level `keyed` on) and returns the end of what it wrote.
inline __attribute__((always_inline)) uint32_t* EmitRun(const BoxGrid* g, uint32_t r,
                                                        const uint32_t* lo, const uint32_t* hi,
                                                        uint32_t* out) {
  const uint32_t first = g->runFirst[r], end = g->runFirst[r + 1];
  const int others = static_cast<int>(g->axis.size()) - g->keyed;
  const uint32_t* box = g->box.data();
  if (others == 0) return std::copy(box + first, box + end, out);
  if (others == 1) {
    const uint32_t* v = g->rest.data();
    const uint32_t a = lo[g->keyed], b = hi[g->keyed];
    uint32_t i = first;
    if (end - first <= 16) {
      while (i < end && v[i] < a) ++i;
      for (; i < end && v[i] <= b; ++i) *out++ = box[i];
      return out;
    }
    i = static_cast<uint32_t>(std::lower_bound(v + first, v + end, a) - v);
    const uint32_t e = static_cast<uint32_t>(std::upper_bound(v + i, v + end, b) - v);
    return std::copy(box + i, box + e, out);
  }
  for (uint32_t i = first; i < end; ++i) {
    const uint32_t* c = g->rest.data() + static_cast<size_t>(i) * others;
    bool in = true;
    for (int j = 0; j < others && in; ++j)
      in = c[j] >= lo[g->keyed + j] && c[j] <= hi[g->keyed + j];
    if (in) *out++ = box[i];
  }
  return out;
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
    a.inv = 1.0 / (a.h + a.h);
    a.top = static_cast<double>(a.cells);
    a.direct = a.cells <= (int64_t{1} << 31) && Line(a, 0) == a.lo &&
               Line(a, a.cells) == a.c0 + r0 && std::isfinite(a.inv) && a.inv > 0.0;
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
  // A narrow key is stored as key + 1 (0 marks an empty slot): it must stay
  // below 2^64 - 1, so keys of 64 bits are hashed too.
  g->wide = bits > 63;
  g->runFirst.clear();
  g->runCells.clear();
  g->box.clear();
  g->rest.clear();
  g->slotKey.clear();
  g->slotRun.clear();
  if (levels == 0) return 1;  // depth 0: the root is every query's hit

  // Runs numbered in the order of their first box; runOf[i] = run of box i.
  // Boxes share runs, so the table starts with a slot per box and doubles
  // whenever the runs would fill more than half of it.
  g->hashBits = 4;
  while ((size_t{1} << g->hashBits) < static_cast<size_t>(count)) ++g->hashBits;
  g->slotKey.assign(size_t{1} << g->hashBits, 0);
  g->slotRun.resize(g->slotKey.size());
  FillVector<uint32_t>& runOf = g->runOf;
  runOf.resize(count);
  int coord[kMaxDim], shift[kMaxDim];
  for (int l = 0; l < levels; ++l) coord[l] = g->axis[l].coord;
  for (int l = 0; l < g->keyed; ++l) shift[l] = g->shift[l];
  size_t mask = g->slotKey.size() - 1;
  uint32_t runs = g->keyed == 0 ? 1 : 0;
  for (uint32_t i = 0; g->keyed > 0 && i < count; ++i) {
    const uint32_t* c = cell + static_cast<size_t>(i) * dim;
    uint32_t cells[kMaxDim];
    uint64_t key = 0;
    if (g->wide) {
      for (int l = 0; l < g->keyed; ++l) cells[l] = c[coord[l]];
      key = WideKey(g, cells);
    } else {
      for (int l = 0; l < g->keyed; ++l) key |= static_cast<uint64_t>(c[coord[l]]) << shift[l];
    }
    uint32_t run = UINT32_MAX;
    size_t s = SlotOf(g, key);
    for (;; s = (s + 1) & mask) {
      const uint64_t k = g->slotKey[s];
      if (k == 0) break;
      if (k != key + 1) continue;
      const uint32_t r = g->slotRun[s];
      if (!g->wide || std::equal(cells, cells + g->keyed,
                                 g->runCells.data() + static_cast<size_t>(r) * g->keyed)) {
        run = r;
        break;
      }
    }
    if (run == UINT32_MAX) {
      run = runs++;
      g->slotKey[s] = key + 1;
      g->slotRun[s] = run;
      for (int l = 0; l < g->keyed; ++l) g->runCells.push_back(c[coord[l]]);
      if (2 * static_cast<size_t>(runs) > g->slotKey.size()) {
        // Twice the slots, every run entered again from its cells.
        ++g->hashBits;
        g->slotKey.assign(size_t{1} << g->hashBits, 0);
        g->slotRun.resize(g->slotKey.size());
        mask = g->slotKey.size() - 1;
        for (uint32_t r = 0; r < runs; ++r) {
          const uint32_t* have = g->runCells.data() + static_cast<size_t>(r) * g->keyed;
          uint64_t k = 0;
          if (g->wide) {
            k = WideKey(g, have);
          } else {
            for (int l = 0; l < g->keyed; ++l) k |= static_cast<uint64_t>(have[l]) << shift[l];
          }
          size_t t = SlotOf(g, k);
          while (g->slotKey[t] != 0) t = (t + 1) & mask;
          g->slotKey[t] = k + 1;
          g->slotRun[t] = r;
        }
      }
    }
    runOf[i] = run;
  }
  if (g->keyed == 0) std::fill(runOf.begin(), runOf.end(), 0u);
  // Run sizes, their running sums (the end of each run), then every box
  // placed from the back of its run: runFirst[r] ends at the run's start,
  // and each run lists its boxes in increasing order.
  g->runFirst.assign(static_cast<size_t>(runs) + 1, 0);
  for (uint32_t i = 0; i < count; ++i) ++g->runFirst[runOf[i]];
  for (uint32_t r = 1; r < runs; ++r) g->runFirst[r] += g->runFirst[r - 1];
  g->runFirst[runs] = count;
  g->box.resize(count);
  g->rest.resize(static_cast<size_t>(count) * others);
  for (uint32_t i = count; i-- > 0;) {
    const uint32_t at = --g->runFirst[runOf[i]];
    g->box[at] = i;
    const uint32_t* c = cell + static_cast<size_t>(i) * dim;
    for (int j = 0; j < others; ++j)
      g->rest[static_cast<size_t>(at) * others + j] = c[coord[g->keyed + j]];
  }
  return 1;
}

void BoxGridFree(BoxGrid** link) {
  if (!link || !*link) return;
  delete *link;
  *link = nullptr;
}

void BoxGridFind(const BoxGrid* g, const double* lower, const double* upper, HitList* hits,
                 int sorted) {
  const size_t levels = g->axis.size();
  if (levels == 0) {
    for (int i = 0; i < g->count; ++i) hits->push_back(static_cast<uint32_t>(i));
    return;
  }
  if (g->count == 0) return;
  uint32_t lo[kMaxDim], hi[kMaxDim];
  double volume = 1.0;  // cells of the keyed axes in the query
  double cells = 1.0;   // cells of all axes: at most that many hits
  for (size_t l = 0; l < levels; ++l) {
    const GridAxis& a = g->axis[l];
    int64_t first, last;
    if (!CellRange(a, lower[a.coord], upper[a.coord], &first, &last)) return;
    lo[l] = static_cast<uint32_t>(first);
    hi[l] = static_cast<uint32_t>(last);
    const double n = static_cast<double>(last - first + 1);
    if (static_cast<int>(l) < g->keyed) volume *= n;
    cells *= n;
  }
  // Room for every hit, written in place (not cleared first); what is left
  // over goes at the end.
  uint32_t* const begin = hits->Room(cells < g->count ? static_cast<size_t>(cells)
                                                      : static_cast<size_t>(g->count));
  uint32_t* out = begin;
  const uint32_t runs = static_cast<uint32_t>(g->runFirst.size() - 1);
  const int keyed = g->keyed;
  // Runs that gave hits: each gives them in increasing order.
  uint32_t hitRuns = 0;
  if (keyed == 0) {
    out = EmitRun(g, 0, lo, hi, out);
  } else if (volume > static_cast<double>(runs)) {
    // More keys in the query than runs: every run is looked at.
    for (uint32_t r = 0; r < runs; ++r) {
      const uint32_t* c = g->runCells.data() + static_cast<size_t>(r) * keyed;
      bool in = true;
      for (int l = 0; l < keyed && in; ++l) in = c[l] >= lo[l] && c[l] <= hi[l];
      if (!in) continue;
      uint32_t* const before = out;
      out = EmitRun(g, r, lo, hi, out);
      hitRuns += out != before;
    }
  } else if (!g->wide) {
    // Every key of the query, the last keyed axis fastest; the key follows
    // the cells.
    uint32_t at[kMaxDim];
    uint64_t key = 0;
    for (int l = 0; l < keyed; ++l) {
      at[l] = lo[l];
      key |= static_cast<uint64_t>(lo[l]) << g->shift[l];
    }
    const uint64_t* slotKey = g->slotKey.data();
    const size_t mask = g->slotKey.size() - 1;
    const int innermost = keyed - 1;
    const uint64_t step = uint64_t{1} << g->shift[innermost];
    for (;;) {
      for (size_t s = SlotOf(g, key);; s = (s + 1) & mask) {
        const uint64_t k = slotKey[s];
        if (k == 0) break;
        if (k != key + 1) continue;
        uint32_t* const before = out;
        out = EmitRun(g, g->slotRun[s], lo, hi, out);
        hitRuns += out != before;
        break;
      }
      if (at[innermost] != hi[innermost]) {
        ++at[innermost];
        key += step;
        continue;
      }
      int l = innermost;
      while (l >= 0 && at[l] == hi[l]) {
        key -= static_cast<uint64_t>(hi[l] - lo[l]) << g->shift[l];
        at[l] = lo[l];
        --l;
      }
      if (l < 0) break;
      ++at[l];
      key += uint64_t{1} << g->shift[l];
    }
  } else {
    // Every key of the query, the last keyed axis fastest.
    uint32_t at[kMaxDim];
    for (int l = 0; l < keyed; ++l) at[l] = lo[l];
    for (;;) {
      const uint32_t r = FindRun(g, at);
      if (r != UINT32_MAX) {
        uint32_t* const before = out;
        out = EmitRun(g, r, lo, hi, out);
        hitRuns += out != before;
      }
      int l = keyed - 1;
      while (l >= 0 && at[l] == hi[l]) {
        at[l] = lo[l];
        --l;
      }
      if (l < 0) break;
      ++at[l];
    }
  }
  const size_t found = static_cast<size_t>(out - begin);
  if (sorted && hitRuns > 1) {
    // A few short increasing runs: insertion sort.
    if (found > 64) {
      std::sort(begin, out);
    } else {
      for (size_t i = 1; i < found; ++i) {
        const uint32_t x = begin[i];
        size_t j = i;
        for (; j > 0 && begin[j - 1] > x; --j) begin[j] = begin[j - 1];
        begin[j] = x;
      }
    }
  }
  hits->Add(found);
}

}  // namespace vesk
