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

BoxGrid* BoxGridNew(const Tree* tree, int depth, const uint32_t* cell, uint32_t count,
                    const int* order) {
  if (!TreeGridUsable(tree, depth)) return nullptr;
  const int dim = tree->domain->dim;
  const std::vector<int> splits = TableSplits(tree, depth);
  BoxGrid* g = new BoxGrid;
  g->count = static_cast<int>(count);

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

  // Each box's cells packed into a key of `words` words of 64 bits, the
  // most significant word first and level 0 highest; the boxes sorted by
  // their keys (radix sort, least significant digit first); the trie read
  // off the sorted keys.
  std::vector<int> shift(levels), width(levels);  // bit offset and width of each level
  int bits = 0;
  for (size_t l = levels; l-- > 0;) {
    shift[l] = bits;
    width[l] = splits[g->axis[l].coord];
    bits += width[l];
  }
  const size_t words = static_cast<size_t>(bits + 63) / 64;
  // Bits [at, at + n) of a key, n <= 32.
  auto field = [words](const uint64_t* k, int at, int n) {
    const size_t w = words - 1 - static_cast<size_t>(at) / 64;
    const int sh = at % 64;
    uint64_t v = k[w] >> sh;
    if (sh + n > 64) v |= k[w - 1] << (64 - sh);
    return static_cast<uint32_t>(v & ((uint64_t{1} << n) - 1));
  };
  std::vector<uint64_t> key(static_cast<size_t>(count) * words, 0), keyScratch(key.size());
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t* k = key.data() + static_cast<size_t>(i) * words;
    for (size_t l = 0; l < levels; ++l) {
      const uint64_t v = cell[static_cast<size_t>(i) * dim + g->axis[l].coord];
      const int at = shift[l];
      const size_t w = words - 1 - static_cast<size_t>(at) / 64;
      k[w] |= v << (at % 64);
      if (at % 64 + width[l] > 64) k[w - 1] |= v >> (64 - at % 64);
    }
  }
  std::vector<uint32_t> perm(count), permScratch(count);
  for (uint32_t i = 0; i < count; ++i) perm[i] = i;
  constexpr int kDigit = 11;
  std::vector<uint32_t> bucket((size_t{1} << kDigit) + 1);
  for (int at = 0; at < bits; at += kDigit) {
    const int n = std::min(kDigit, bits - at);
    std::fill(bucket.begin(), bucket.end(), 0);
    for (uint32_t i = 0; i < count; ++i) ++bucket[field(key.data() + i * words, at, n) + 1];
    for (size_t b = 1; b < bucket.size(); ++b) bucket[b] += bucket[b - 1];
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t* k = key.data() + static_cast<size_t>(i) * words;
      const uint32_t to = bucket[field(k, at, n)]++;
      uint64_t* dst = keyScratch.data() + static_cast<size_t>(to) * words;
      for (size_t w = 0; w < words; ++w) dst[w] = k[w];
      permScratch[to] = perm[i];
    }
    key.swap(keyScratch);
    perm.swap(permScratch);
  }
  std::vector<uint64_t>().swap(keyScratch);
  std::vector<uint32_t>().swap(permScratch);

  g->val.assign(levels, {});
  g->next.assign(levels - 1, {});
  g->boxNo = std::move(perm);
  std::vector<uint32_t> prev(levels, 0);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t* k = key.data() + static_cast<size_t>(i) * words;
    size_t l = 0;
    if (i > 0)
      while (l < levels && field(k, shift[l], width[l]) == prev[l]) ++l;
    for (; l < levels; ++l) {
      const uint32_t v = field(k, shift[l], width[l]);
      prev[l] = v;
      if (l + 1 < levels) g->next[l].push_back(static_cast<uint32_t>(g->val[l + 1].size()));
      g->val[l].push_back(v);
    }
  }
  std::vector<uint64_t>().swap(key);
  for (size_t l = 0; l + 1 < levels; ++l) {
    g->next[l].push_back(static_cast<uint32_t>(g->val[l + 1].size()));
    g->next[l].shrink_to_fit();
  }
  for (std::vector<uint32_t>& v : g->val) v.shrink_to_fit();

  // Direct entry into level 0 when its cells are few enough.
  const int64_t cells0 = g->axis[0].cells;
  if (cells0 <= std::max<int64_t>(1024, 2 * static_cast<int64_t>(count))) {
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

}  // namespace vesk
