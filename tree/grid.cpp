// The boxes of one depth looked up by their grid cells.
#include "tree/grid.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vesk {

namespace {

// Split counts of the coordinates above `depth`, from the split table.
// (On the stack: the lookups of every pass ask for them.)
std::array<int, kMaxDim> TableSplits(const Tree* tree, int depth) {
  const int dim = tree->domain->dim;
  std::array<int, kMaxDim> splits{};
  for (int k = 0; k < depth; ++k)
    if (tree->sd[k] < dim) ++splits[tree->sd[k]];
  return splits;
}

}  // namespace

int TreeGridUsable(const Tree* tree, int depth) {
  if (depth < 0 || depth > TreeMaxDepth(tree)) return 0;
  const std::array<int, kMaxDim> splits = TableSplits(tree, depth);
  for (int j = 0; j < tree->domain->dim; ++j) {
    if (splits[j] == 0) continue;
    if (splits[j] > 31) return 0;
    const double r = tree->domain->radius[j];
    if (!(r > 0.0) || !std::isfinite(r) || !std::isfinite(tree->domain->center[j])) return 0;
  }
  return TreeSplitsExact(tree, depth) == 1;
}

void CellGeometryOf(const Tree* tree, int depth, CellGeometry* g) {
  const int dim = tree->domain->dim;
  const std::array<int, kMaxDim> splits = TableSplits(tree, depth < 0 ? 0 : depth);
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

// A key's hash: its top bit the part, the bits below it the slot in the
// part's half of the table. The slot in the whole table is then the top
// bits + 1 bits of the hash; a probe moves on within its half.
static_assert(kGridParts == 2, "one bit of the hash picks the part");
inline uint64_t HashOf(uint64_t key) { return key * kGolden; }
inline int PartOf(uint64_t hash) { return static_cast<int>(hash >> 63); }
inline size_t SlotOf(uint64_t hash, int bits) { return static_cast<size_t>(hash >> (63 - bits)); }
inline size_t NextSlot(size_t s, size_t mask) { return (s & ~mask) | ((s + 1) & mask); }

// The run of the keyed cells, or UINT32_MAX when no box has them.
inline uint32_t FindRun(const BoxGrid* g, const uint32_t* cells) {
  const uint64_t key = g->wide ? WideKey(g, cells) : NarrowKey(g, cells);
  const uint64_t hash = HashOf(key);
  const size_t mask = (size_t{1} << g->hashBits) - 1;
  for (size_t s = SlotOf(hash, g->hashBits);; s = NextSlot(s, mask)) {
    const uint64_t k = g->slotKey[s];
    if (k == 0) return UINT32_MAX;
    if (k != key + 1) continue;
    const GridPart& p = g->part[s >> g->hashBits];
    const uint32_t run = g->slotRun[s];
    if (!g->wide) return p.first + run;
    const uint32_t* have = p.runCells.data() + static_cast<size_t>(run) * g->keyed;
    if (std::equal(cells, cells + g->keyed, have)) return p.first + run;
  }
}

// Where a part enters its runs while it is built: keys[s], runs[s] for s
// in [0, 2^bits), slot s of a hash being its bits below the top one.
struct PartTable {
  uint64_t* keys;
  uint32_t* runs;
  int bits;
};

inline PartTable TableOf(BoxGrid* g, int part) {
  GridPart& p = g->part[part];
  if (p.tableBits != g->hashBits) return {p.ownKey.data(), p.ownRun.data(), p.tableBits};
  const size_t at = static_cast<size_t>(part) << g->hashBits;
  return {g->slotKey.data() + at, g->slotRun.data() + at, g->hashBits};
}

inline size_t SlotIn(uint64_t hash, int bits) {
  return static_cast<size_t>((hash << 1) >> (64 - bits));
}

// Enters runs 0..runs-1 of part p into an empty table of 2^bits slots.
void EnterRuns(const BoxGrid* g, const GridPart& p, uint64_t* keys, uint32_t* runs, int bits) {
  const size_t mask = (size_t{1} << bits) - 1;
  const uint32_t count = static_cast<uint32_t>(p.runSize.size());
  for (uint32_t r = 0; r < count; ++r) {
    const uint32_t* have = p.runCells.data() + static_cast<size_t>(r) * g->keyed;
    const uint64_t k = g->wide ? WideKey(g, have) : NarrowKey(g, have);
    size_t t = SlotIn(HashOf(k), bits);
    while (keys[t] != 0) t = (t + 1) & mask;
    keys[t] = k + 1;
    runs[t] = r;
  }
}

// Twice the slots of a part's table: a table of its own, every run entered
// again from its cells.
void GrowPart(const BoxGrid* g, GridPart* p) {
  const int bits = p->tableBits + 1;
  std::vector<uint64_t> keys(size_t{1} << bits, 0);
  std::vector<uint32_t> runs(keys.size());
  EnterRuns(g, *p, keys.data(), runs.data(), bits);
  p->ownKey.swap(keys);
  p->ownRun.swap(runs);
  p->tableBits = bits;
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
  if (!BoxGridBegin(g, tree, depth, count, order, keyed)) return 0;
  BoxGridFindRuns(g, cell, -1);
  BoxGridNumberRuns(g);
  BoxGridPlace(g, cell, -1);
  return 1;
}

int BoxGridBegin(BoxGrid* g, const Tree* tree, int depth, uint32_t count, const int* order,
                 int keyed) {
  g->axis.clear();
  g->runFirst.clear();
  for (GridPart& p : g->part) {
    p.runSize.clear();
    p.runCells.clear();
    p.member.clear();
    p.memberRun.clear();
  }
  if (!TreeGridUsable(tree, depth)) {
    // Left finding nothing.
    g->count = 0;
    g->runFirst.assign(1, 0);
    return 0;
  }
  const int dim = tree->domain->dim;
  const std::array<int, kMaxDim> splits = TableSplits(tree, depth);
  g->count = static_cast<int>(count);
  g->dim = dim;

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
  int bits = 0;
  g->shift.assign(g->keyed, 0);
  for (int l = 0; l < g->keyed; ++l) {
    g->shift[l] = bits;
    bits += splits[g->axis[l].coord];
  }
  // A narrow key is stored as key + 1 (0 marks an empty slot): it must stay
  // below 2^64 - 1, so keys of 64 bits are hashed too.
  g->wide = bits > 63;
  if (levels == 0) return 1;  // depth 0: the root is every query's hit

  // Boxes share runs, so each half starts with a slot per box of its part
  // and doubles whenever the runs of a part would fill more than half of
  // it. The halves are emptied by the parts' workers (BoxGridFindRuns).
  g->hashBits = 4;
  while (kGridParts * (size_t{1} << g->hashBits) < static_cast<size_t>(count)) ++g->hashBits;
  g->slotKey.resize(size_t{kGridParts} << g->hashBits);
  g->slotRun.resize(g->slotKey.size());
  return 1;
}

namespace {

// The run of `key` in part `part`, found or made; c: the box's cells,
// kept for a new run; cells: its keyed cells when keys are hashed (to tell
// keys with one hash apart), otherwise null.
// table: the part's (TableOf), made anew when the part outgrows it.
inline __attribute__((always_inline)) uint32_t RunIn(BoxGrid* g, int part, PartTable& table,
                                                     uint64_t key, uint64_t hash,
                                                     const uint32_t* c, const int* coord,
                                                     const uint32_t* cells) {
  GridPart& p = g->part[part];
  const int keyed = g->keyed;
  const size_t mask = (size_t{1} << table.bits) - 1;
  size_t s = SlotIn(hash, table.bits);
  for (;; s = (s + 1) & mask) {
    const uint64_t k = table.keys[s];
    if (k == 0) break;
    if (k != key + 1) continue;
    const uint32_t r = table.runs[s];
    if (!cells ||
        std::equal(cells, cells + keyed, p.runCells.data() + static_cast<size_t>(r) * keyed)) {
      ++p.runSize[r];
      return r;
    }
  }
  const uint32_t run = static_cast<uint32_t>(p.runSize.size());
  p.runSize.push_back(1);
  table.keys[s] = key + 1;
  table.runs[s] = run;
  for (int l = 0; l < keyed; ++l) p.runCells.push_back(c[coord[l]]);
  if (2 * p.runSize.size() > mask + 1) {
    GrowPart(g, &p);
    table = TableOf(g, part);
  }
  return run;
}

// The runs of the boxes of one part (all parts when `which` is negative),
// with narrow keys of kKeyed axes (0: g->keyed axes).
template <int kKeyed>
void FindNarrowRuns(BoxGrid* g, const uint32_t* cell, int which) {
  const uint32_t count = static_cast<uint32_t>(g->count);
  const int dim = g->dim;
  const int keyed = kKeyed > 0 ? kKeyed : g->keyed;
  int coord[kMaxDim], shift[kMaxDim];
  for (int l = 0; l < keyed; ++l) {
    coord[l] = g->axis[l].coord;
    shift[l] = g->shift[l];
  }
  // Box by box in blocks: first the keys of a block's boxes of the part,
  // picked without a branch (which part a box falls in cannot be
  // predicted), then these boxes entered, the slots of the boxes kAhead on
  // asked for from memory meanwhile.
  constexpr uint32_t kBlock = 256, kAhead = 16;
  uint32_t box[kBlock];
  uint64_t keys[kBlock], hashes[kBlock];
  auto fetch = [&](uint32_t j) {
    const size_t s = SlotOf(hashes[j], g->hashBits);
    __builtin_prefetch(g->slotKey.data() + s);
    __builtin_prefetch(g->slotRun.data() + s);
  };
  PartTable tables[kGridParts] = {TableOf(g, 0), TableOf(g, 1)};
  for (uint32_t first = 0; first < count; first += kBlock) {
    const uint32_t end = count - first < kBlock ? count : first + kBlock;
    uint32_t n = 0;
    for (uint32_t i = first; i < end; ++i) {
      const uint32_t* c = cell + static_cast<size_t>(i) * dim;
      uint64_t key = 0;
      for (int l = 0; l < keyed; ++l) key |= static_cast<uint64_t>(c[coord[l]]) << shift[l];
      box[n] = i;
      keys[n] = key;
      hashes[n] = HashOf(key);
      n += which < 0 || PartOf(hashes[n]) == which;
    }
    for (uint32_t j = 0; j < n && j < kAhead; ++j) fetch(j);
    for (uint32_t j = 0; j < n; ++j) {
      if (j + kAhead < n) fetch(j + kAhead);
      const int part = PartOf(hashes[j]);
      GridPart& p = g->part[part];
      p.member.push_back(box[j]);
      p.memberRun.push_back(RunIn(g, part, tables[part], keys[j], hashes[j],
                                  cell + static_cast<size_t>(box[j]) * dim, coord, nullptr));
    }
  }
}

}  // namespace

void BoxGridFindRuns(BoxGrid* g, const uint32_t* cell, int which) {
  if (g->axis.empty()) return;
  // Each half emptied by the worker that fills it, in its cache.
  for (int part = 0; part < kGridParts; ++part) {
    if (which >= 0 && part != which) continue;
    GridPart& p = g->part[part];
    p.tableBits = g->hashBits;
    const size_t half = size_t{1} << g->hashBits;
    std::fill_n(g->slotKey.data() + part * half, half, 0);
  }
  const uint32_t count = static_cast<uint32_t>(g->count);
  const int keyed = g->keyed;
  if (keyed == 0) {
    // One run of every box, in part 0.
    if (which > 0) return;
    GridPart& p = g->part[0];
    p.runSize.assign(1, count);
    p.member.resize(count);
    for (uint32_t i = 0; i < count; ++i) p.member[i] = i;
    p.memberRun.assign(count, 0u);
    return;
  }
  if (!g->wide) {
    switch (keyed) {
      case 1: return FindNarrowRuns<1>(g, cell, which);
      case 2: return FindNarrowRuns<2>(g, cell, which);
      case 3: return FindNarrowRuns<3>(g, cell, which);
      default: return FindNarrowRuns<0>(g, cell, which);
    }
  }
  const int dim = g->dim;
  int coord[kMaxDim];
  for (int l = 0; l < keyed; ++l) coord[l] = g->axis[l].coord;
  PartTable tables[kGridParts] = {TableOf(g, 0), TableOf(g, 1)};
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t* c = cell + static_cast<size_t>(i) * dim;
    uint32_t cells[kMaxDim];
    for (int l = 0; l < keyed; ++l) cells[l] = c[coord[l]];
    const uint64_t key = WideKey(g, cells);
    const uint64_t hash = HashOf(key);
    const int part = PartOf(hash);
    if (which >= 0 && part != which) continue;
    GridPart& p = g->part[part];
    p.member.push_back(i);
    p.memberRun.push_back(RunIn(g, part, tables[part], key, hash, c, coord, cells));
  }
}

void BoxGridNumberRuns(BoxGrid* g) {
  if (g->axis.empty()) return;
  // The end of each run: the running sums of the run sizes, part after
  // part; placing the boxes from the back takes each back to its start.
  uint32_t runs = 0;
  for (const GridPart& p : g->part) runs += static_cast<uint32_t>(p.runSize.size());
  g->runFirst.resize(static_cast<size_t>(runs) + 1);
  uint32_t r = 0, sum = 0;
  for (GridPart& p : g->part) {
    p.first = r;
    for (const uint32_t n : p.runSize) g->runFirst[r++] = sum += n;
  }
  g->runFirst[runs] = static_cast<uint32_t>(g->count);
  // A part whose runs outgrew its half: halves as large as its table, and
  // the runs of every part entered into them again.
  int bits = g->hashBits;
  for (const GridPart& p : g->part) bits = std::max(bits, p.tableBits);
  if (bits != g->hashBits) {
    g->hashBits = bits;
    const size_t half = size_t{1} << bits;
    g->slotKey.assign(kGridParts * half, 0);
    g->slotRun.resize(g->slotKey.size());
    for (int part = 0; part < kGridParts; ++part) {
      GridPart& p = g->part[part];
      EnterRuns(g, p, g->slotKey.data() + part * half, g->slotRun.data() + part * half, bits);
      p.tableBits = bits;
      std::vector<uint64_t>().swap(p.ownKey);
      std::vector<uint32_t>().swap(p.ownRun);
    }
  }
  const size_t others = g->axis.size() - static_cast<size_t>(g->keyed);
  g->box.resize(static_cast<size_t>(g->count));
  g->rest.resize(static_cast<size_t>(g->count) * others);
}

void BoxGridPlace(BoxGrid* g, const uint32_t* cell, int which) {
  if (g->axis.empty()) return;
  const int dim = g->dim;
  const int others = static_cast<int>(g->axis.size()) - g->keyed;
  int coord[kMaxDim];
  for (int j = 0; j < others; ++j) coord[j] = g->axis[g->keyed + j].coord;
  uint32_t* const runFirst = g->runFirst.data();
  uint32_t* const box = g->box.data();
  uint32_t* const rest = g->rest.data();
  for (int part = which < 0 ? 0 : which; part < (which < 0 ? kGridParts : which + 1); ++part) {
    const GridPart& p = g->part[part];
    uint32_t* const ends = runFirst + p.first;
    // From the back, so that each run gets its boxes in increasing order.
    for (size_t m = p.member.size(); m-- > 0;) {
      const uint32_t i = p.member[m];
      const uint32_t at = --ends[p.memberRun[m]];
      box[at] = i;
      const uint32_t* c = cell + static_cast<size_t>(i) * dim;
      for (int j = 0; j < others; ++j) rest[static_cast<size_t>(at) * others + j] = c[coord[j]];
    }
  }
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
    for (const GridPart& p : g->part) {
      const uint32_t partRuns = static_cast<uint32_t>(p.runSize.size());
      for (uint32_t r = 0; r < partRuns; ++r) {
        const uint32_t* c = p.runCells.data() + static_cast<size_t>(r) * keyed;
        bool in = true;
        for (int l = 0; l < keyed && in; ++l) in = c[l] >= lo[l] && c[l] <= hi[l];
        if (!in) continue;
        uint32_t* const before = out;
        out = EmitRun(g, p.first + r, lo, hi, out);
        hitRuns += out != before;
      }
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
    const uint64_t* const slotKey = g->slotKey.data();
    const uint32_t* const slotRun = g->slotRun.data();
    const int bits = g->hashBits;
    const size_t mask = (size_t{1} << bits) - 1;
    const uint32_t first[kGridParts] = {g->part[0].first, g->part[1].first};
    const int innermost = keyed - 1;
    const uint64_t step = uint64_t{1} << g->shift[innermost];
    for (;;) {
      for (size_t s = SlotOf(HashOf(key), bits);; s = NextSlot(s, mask)) {
        const uint64_t k = slotKey[s];
        if (k == 0) break;
        if (k != key + 1) continue;
        uint32_t* const before = out;
        out = EmitRun(g, first[s >> bits] + slotRun[s], lo, hi, out);
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
