// Parallel gathering and pruning of the boxes at the working depth.
#include "analysis/depth_boxes.h"

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cstdio>
#include <cstring>

#include "analysis/parallel.h"
#include "tree/walk_step.h"

namespace vesk {

namespace {

// The tree is cut into about this many units, at most this deep.
constexpr size_t kUnits = 512;
constexpr int kMaxCut = 24;
// Boxes per chunk when flags and numbers are written in parallel.
constexpr size_t kBoxChunk = 8192;
// The units' arrays of gathered boxes stay for the next call up to this
// many bytes in all.
constexpr size_t kKeptFoundBytes = size_t{1} << 20;

// A walk with stacks of its own, stepping exactly as the tree's cursor
// steps (TreeStepDown, and the stacks' values on the way up), so that the
// centers and radii are the cursor's bit for bit.
using Walker = DepthScratch::Walker;
using Units = DepthScratch::Units;

void Grow(Walker& w, size_t levels) {
  w.box.resize(levels);
  w.side.resize(levels);
  w.savedC.resize(levels);
  w.savedR.resize(levels);
}

// A walker for each worker, ready for a tree of dimension dim, made on the
// calling thread: a worker that took no unit in one call may take one in
// the next. The stacks start short and grow with the walk: a tree may be
// allowed thousands of levels and use a few dozen.
void PrepareWalkers(DepthScratch& s, int workers, int dim) {
  s.walker.resize(workers);
  for (Walker& w : s.walker) {
    if (w.box.empty()) Grow(w, 64);
    w.c.resize(dim);
    w.r.resize(dim);
    w.cell.resize(dim);
  }
}

// Gives the units' arrays of gathered boxes back when they hold much:
// kept for the next call, they would hold as much memory as the boxes.
void TrimFound(std::vector<DepthScratch::Found>& found) {
  size_t bytes = 0;
  for (const DepthScratch::Found& f : found)
    bytes += f.box.capacity() * sizeof(Box*) + f.cell.capacity() * sizeof(uint32_t) +
             f.record.capacity() * sizeof(double);
  if (bytes <= kKeptFoundBytes) return;
  for (DepthScratch::Found& f : found) {
    Release(f.box);
    Release(f.cell);
    Release(f.record);
  }
}

// Visits, in walk order, the subtree of unit u: onBox for each box at depth
// `stop`, onLeaf for each leaf above it (both with the box, its depth,
// center, radius and cells; without kGeometry the center and radius are
// not kept up and must not be read). Returns false when an inner box above
// `stop` is not split along the table.
template <bool kGeometry = true, typename OnBox, typename OnLeaf>
bool WalkUnit(const Tree* tree, Walker& w, const Units& units, size_t u, int64_t stop,
              OnBox&& onBox, OnLeaf&& onLeaf) {
  const int dim = tree->domain->dim;
  double* c = w.c.data();
  double* r = w.r.data();
  uint32_t* cell = w.cell.data();
  std::copy_n(units.c.data() + u * dim, dim, c);
  std::copy_n(units.r.data() + u * dim, dim, r);
  std::copy_n(units.cell.data() + u * dim, dim, cell);
  const uint8_t* table = tree->sd;
  bool regular = true;
  Box* box = units.box[u];
  int64_t d = units.depth[u];
  size_t top = 0;
  for (;;) {
    if (d == stop) {
      onBox(box, d, c, r, cell);
    } else if (BoxIsLeaf(box)) {
      onLeaf(box, d, c, r, cell);
    } else {
      const int k = box->sd;
      if (k != table[d]) regular = false;
      const int s = box->child[0] ? 0 : 1;
      if (top == w.box.size()) Grow(w, 2 * top);
      w.box[top] = box;
      w.side[top] = s;
      if (kGeometry) {
        w.savedC[top] = c[k];
        w.savedR[top] = r[k];
        r[k] = r[k] * 0.5;
        c[k] = s ? c[k] + r[k] : c[k] - r[k];
      }
      ++top;
      cell[k] = (cell[k] << 1) | static_cast<uint32_t>(s);
      if (s == 0 && box->child[1]) __builtin_prefetch(box->child[1]);
      box = box->child[s];
      ++d;
      continue;
    }
    for (;;) {
      if (top == 0) return regular;
      --top;
      Box* p = w.box[top];
      const int k = p->sd;
      if (kGeometry) {
        c[k] = w.savedC[top];
        r[k] = w.savedR[top];
      }
      cell[k] >>= 1;
      --d;
      if (w.side[top] == 0 && p->child[1]) {
        w.side[top] = 1;
        ++top;
        if (kGeometry) {
          r[k] = r[k] * 0.5;
          c[k] = c[k] + r[k];
        }
        cell[k] = (cell[k] << 1) | 1u;
        box = p->child[1];
        ++d;
        break;
      }
    }
  }
}

// Expands the tree level by level from the root until there are enough
// units: every inner box above the cut is replaced by its children; leaves
// above the cut and the boxes at the cut are the units. Boxes at `stop` are
// never expanded. One worker takes the root as the one unit. Everything
// runs in round-to-nearest, as the tree's cursor does, whatever direction
// the caller left in force.
// The units are left in s.units[0], which is returned.
Units& CutIntoUnits(const Tree* tree, int64_t stop, int workers, DepthScratch& s) {
  std::fesetround(FE_TONEAREST);
  const size_t units = workers > 1 ? kUnits : 1;
  const int dim = tree->domain->dim;
  // Level after level in two sets of arrays, each with room for the most
  // a level can hold: fewer than 2 * units boxes.
  Units& u = s.units[0];
  Units& next = s.units[1];
  for (Units* x : {&u, &next}) {
    x->box.clear();
    x->depth.clear();
    x->c.clear();
    x->r.clear();
    x->cell.clear();
    x->box.reserve(2 * units);
    x->depth.reserve(2 * units);
    x->c.reserve(2 * units * dim);
    x->r.reserve(2 * units * dim);
    x->cell.reserve(2 * units * dim);
  }
  u.cut = 0;
  u.regular = true;
  u.box.push_back(tree->root);
  u.depth.push_back(0);
  u.c.assign(tree->domain->center, tree->domain->center + dim);
  u.r.assign(tree->domain->radius, tree->domain->radius + dim);
  u.cell.assign(dim, 0);
  while (u.box.size() < units && u.cut < kMaxCut && u.cut < stop) {
    next.box.clear();
    next.depth.clear();
    next.c.clear();
    next.r.clear();
    next.cell.clear();
    next.cut = u.cut + 1;
    next.regular = u.regular;
    bool expanded = false;
    for (size_t i = 0; i < u.box.size(); ++i) {
      Box* b = u.box[i];
      const double* c = u.c.data() + i * dim;
      const double* r = u.r.data() + i * dim;
      const uint32_t* cell = u.cell.data() + i * dim;
      if (u.depth[i] < u.cut || BoxIsLeaf(b)) {
        next.box.push_back(b);
        next.depth.push_back(u.depth[i]);
        next.c.insert(next.c.end(), c, c + dim);
        next.r.insert(next.r.end(), r, r + dim);
        next.cell.insert(next.cell.end(), cell, cell + dim);
        continue;
      }
      expanded = true;
      const int k = b->sd;
      if (k != tree->sd[u.cut]) next.regular = false;
      for (int s = 0; s < 2; ++s) {
        if (!b->child[s]) continue;
        // Read at the next level: its boxes' loads overlap.
        __builtin_prefetch(b->child[s]);
        next.box.push_back(b->child[s]);
        next.depth.push_back(u.cut + 1);
        const size_t at = next.c.size();
        next.c.insert(next.c.end(), c, c + dim);
        next.r.insert(next.r.end(), r, r + dim);
        next.cell.insert(next.cell.end(), cell, cell + dim);
        // As TreeStepDown: the radius halves, the center moves by it.
        next.r[at + k] = r[k] * 0.5;
        next.c[at + k] = s ? c[k] + next.r[at + k] : c[k] - next.r[at + k];
        next.cell[at + k] = (cell[k] << 1) | static_cast<uint32_t>(s);
      }
    }
    if (!expanded) break;
    std::swap(u, next);
  }
  return u;
}

}  // namespace

void CollectDepthBoxes(Tree* tree, int depth, uint8_t mask, int withMatrix, int maxDepth,
                       Workers& workers, DepthBoxes* out) {
  const int dim = tree->domain->dim;
  out->dim = dim;
  out->count = 0;
  out->box.clear();
  out->cell.clear();
  out->matrix.clear();
  out->onGrid = false;
  out->leafWithoutMask = false;
  const bool deepest = depth < 0;
  const int64_t stop = deepest ? INT64_MAX : depth;
  DepthScratch& s = out->scratch;
  const Units& units = CutIntoUnits(tree, stop, workers.count(), s);
  const size_t n = units.box.size();
  PrepareWalkers(s, workers.count(), dim);
  auto walker = [&](int worker) -> Walker& { return s.walker[worker]; };

  // One walk of every unit, keeping its boxes at the depth (for the
  // height: its deepest leaves, those found first dropped when a deeper
  // one turns up), their cells and, when asked for, their records; and
  // noting the shallowest leaf lacking a bit of the mask and whether the
  // splits follow the table.
  using Found = DepthScratch::Found;
  const size_t stride = 2 * static_cast<size_t>(dim) + 2;
  std::vector<Found>& found = s.found;
  found.resize(n);
  if (n == 1) {
    // The one unit fills the arrays it hands over: their memory is reused.
    found[0].box.swap(out->box);
    found[0].cell.swap(out->cell);
    found[0].record.swap(out->matrix);
  }
  workers.Run(n, [&](int worker, size_t u) {
    // Filled here and handed over once: the records of units that other
    // workers fill lie side by side. The arrays are the unit's from the
    // last call, emptied.
    Found f;
    f.box.swap(found[u].box);
    f.cell.swap(found[u].cell);
    f.record.swap(found[u].record);
    f.box.clear();
    f.cell.clear();
    f.record.clear();
    auto keep = [&](Box* b, const double* c, const double* r, const uint32_t* cell) {
      f.box.push_back(b);
      f.cell.insert(f.cell.end(), cell, cell + dim);
      if (withMatrix) {
        f.record.insert(f.record.end(), c, c + dim);
        f.record.insert(f.record.end(), r, r + dim);
        f.record.push_back(static_cast<double>(b->flags));
        f.record.push_back(0.0);
      }
    };
    auto lack = [&](const Box* b, int64_t d) {
      if ((b->flags & mask) != mask && d < f.lacking) f.lacking = static_cast<int>(d);
    };
    if (deepest) {
      f.regular = WalkUnit(
          tree, walker(worker), units, u, stop,
          [](Box*, int64_t, const double*, const double*, const uint32_t*) {},
          [&](Box* b, int64_t d, const double* c, const double* r, const uint32_t* cell) {
            lack(b, d);
            if (d > f.deep) {
              f.deep = static_cast<int>(d);
              f.box.clear();
              f.cell.clear();
              f.record.clear();
            }
            if (d == f.deep) keep(b, c, r, cell);
          });
    } else {
      f.regular = WalkUnit(
          tree, walker(worker), units, u, stop,
          [&](Box* b, int64_t, const double* c, const double* r, const uint32_t* cell) {
            keep(b, c, r, cell);
          },
          [&](Box* b, int64_t d, const double*, const double*, const uint32_t*) { lack(b, d); });
    }
    found[u] = std::move(f);
  });

  int D = depth;
  if (deepest) {
    D = 0;
    for (const Found& f : found) D = std::max(D, f.deep);
  }
  out->depth = D;
  bool regular = units.regular;
  for (const Found& f : found) {
    if (f.lacking < D) out->leafWithoutMask = true;
    regular = regular && f.regular;
  }
  if (D > maxDepth) {
    TrimFound(found);
    return;
  }
  out->onGrid = regular && TreeGridUsable(tree, D);
  if (out->onGrid) CellGeometryOf(tree, D, &out->geometry);

  std::vector<size_t>& first = s.first;
  first.assign(n + 1, 0);
  for (size_t u = 0; u < n; ++u) {
    const bool atDepth = !deepest || found[u].deep == D;
    first[u + 1] = first[u] + (atDepth ? found[u].box.size() : 0);
  }
  const size_t K = first[n];
  out->count = static_cast<int>(K);
  if (n == 1 && (withMatrix || out->onGrid)) {
    // The one unit's arrays are the result.
    Found& f = found[0];
    if (K == 0) {
      f.box.clear();
      f.cell.clear();
      f.record.clear();
    }
    for (size_t i = 0; i < K; ++i) f.box[i]->no = static_cast<int32_t>(i);
    out->box.swap(f.box);
    if (out->onGrid) out->cell.swap(f.cell);
    if (withMatrix) out->matrix.swap(f.record);
  } else {
    out->box.resize(K);
    if (out->onGrid) out->cell.resize(K * dim);
    if (withMatrix || !out->onGrid) out->matrix.resize(K * stride);
    workers.Run(n, [&](int worker, size_t u) {
      Found& f = found[u];
      const size_t at = first[u];
      const size_t m = first[u + 1] - at;
      if (m > 0 && (withMatrix || out->onGrid)) {
        // Number the boxes kept and write them down.
        for (size_t i = 0; i < m; ++i) {
          f.box[i]->no = static_cast<int32_t>(at + i);
          out->box[at + i] = f.box[i];
        }
        if (out->onGrid) std::copy_n(f.cell.data(), m * dim, out->cell.data() + at * dim);
        if (withMatrix)
          std::copy_n(f.record.data(), m * stride, out->matrix.data() + at * stride);
      } else if (m > 0) {
        // Off the grid without records: a second walk writes the records.
        size_t i = at;
        WalkUnit(
            tree, walker(worker), units, u, D,
            [&](Box* b, int64_t, const double* c, const double* r, const uint32_t*) {
              b->no = static_cast<int32_t>(i);
              out->box[i] = b;
              double* rec = out->matrix.data() + i * stride;
              std::copy_n(c, dim, rec);
              std::copy_n(r, dim, rec + dim);
              rec[2 * dim] = static_cast<double>(b->flags);
              rec[2 * dim + 1] = 0.0;
              ++i;
            },
            [](Box*, int64_t, const double*, const double*, const uint32_t*) {});
      }
    });
  }
  TrimFound(found);
  out->cut = units.cut;
  out->unit.assign(units.box.begin(), units.box.end());
  TreeReset(tree);
}

namespace {

// TreeRemove above the units, in post-order: the units' verdicts are
// `goes` in walk order (next is the next one due). Returns whether `box`
// would go.
bool PruneTop(Box* box, int depth, int cut, const std::vector<char>& goes, size_t* next,
              uint8_t mask) {
  // The upper child is read after the lower one's subtree: its load
  // overlaps that walk.
  if (box->child[1]) __builtin_prefetch(box->child[1]);
  for (int i = 0; i < 2; ++i) {
    Box* child = box->child[i];
    if (!child) continue;
    const bool top = depth + 1 < cut && !BoxIsLeaf(child);
    const bool g = top ? PruneTop(child, depth + 1, cut, goes, next, mask) : goes[(*next)++] != 0;
    if (g) BoxFree(&box->child[i]);
  }
  if (!BoxIsLeaf(box)) return false;
  // Every box here had a child on entry.
  box->flags = static_cast<uint8_t>(box->flags & static_cast<uint8_t>(~mask));
  return (box->flags & mask) != mask;
}

}  // namespace

int PruneDepthBoxes(Tree* tree, const DepthBoxes& boxes, const char* keep, uint8_t mask,
                    Workers& workers) {
  const size_t K = static_cast<size_t>(boxes.count);
  const size_t chunks = ChunkCount(K, kBoxChunk);
  // The boxes kept before each chunk, from the verdicts alone, so that one
  // walk over the boxes sets their flags and their new numbers.
  std::vector<size_t>& kept = boxes.scratch.first;
  kept.assign(chunks + 1, 0);
  workers.Run(chunks, [&](int, size_t c) {
    const ChunkRange r = ChunkOf(c, kBoxChunk, K);
    size_t k = 0;
    for (size_t i = r.first; i < r.end; ++i) k += keep[i] != 0;
    kept[c + 1] = k;
  });
  for (size_t c = 0; c < chunks; ++c) kept[c + 1] += kept[c];
  // At depth 0 the box is the root, which stays whatever its verdict.
  const size_t left = boxes.depth == 0 ? K : kept[chunks];
  const bool removes = kept[chunks] < K || boxes.leafWithoutMask;
  // The boxes left keep their walk order: their numbers are their ranks.
  // (They are leaves that stay whatever the removal does.)
  workers.Run(chunks, [&](int, size_t c) {
    const ChunkRange r = ChunkOf(c, kBoxChunk, K);
    int32_t no = static_cast<int32_t>(kept[c]);
    for (size_t i = r.first; i < r.end; ++i) {
      Box* b = boxes.box[i];
      if (keep[i]) {
        b->flags = static_cast<uint8_t>(b->flags | mask);
        if (removes) b->no = no++;
      } else {
        b->flags = static_cast<uint8_t>(b->flags & static_cast<uint8_t>(~mask));
      }
    }
  });
  if (removes) {
    const size_t n = boxes.unit.size();
    std::vector<char>& goes = boxes.scratch.goes;
    goes.assign(n, 0);
    workers.Run(n, [&](int, size_t u) { goes[u] = TreeRemove(boxes.unit[u], mask) != 0; });
    if (boxes.cut > 0) {
      size_t next = 0;
      PruneTop(tree->root, 0, boxes.cut, goes, &next, mask);
    }
  }
  TreeReset(tree);
  return static_cast<int>(left);
}

void KeepDepthBoxes(Tree* tree, const char* keep, Workers& workers, DepthBoxes* boxes) {
  const size_t K = static_cast<size_t>(boxes->count);
  const size_t dim = static_cast<size_t>(boxes->dim);
  const size_t stride = 2 * dim + 2;
  const bool cells = boxes->onGrid;
  const bool records = !boxes->matrix.empty();
  // Nothing went: the tree is as it was, and so are the boxes and units;
  // only the records' flags may have changed.
  if (!boxes->leafWithoutMask && (boxes->depth == 0 || !std::memchr(keep, 0, K))) {
    if (records) {
      workers.Run(ChunkCount(K, kBoxChunk), [&](int, size_t c) {
        const ChunkRange r = ChunkOf(c, kBoxChunk, K);
        for (size_t i = r.first; i < r.end; ++i)
          boxes->matrix[i * stride + 2 * dim] = static_cast<double>(boxes->box[i]->flags);
      });
    }
    TreeReset(tree);
    return;
  }
  size_t k = 0;
  for (size_t i = 0; i < K; ++i) {
    if (!keep[i] && boxes->depth != 0) continue;
    if (k < i) {
      boxes->box[k] = boxes->box[i];
      if (cells) std::copy_n(boxes->cell.data() + i * dim, dim, boxes->cell.data() + k * dim);
      if (records)
        std::copy_n(boxes->matrix.data() + i * stride, stride,
                    boxes->matrix.data() + k * stride);
    }
    if (records) boxes->matrix[k * stride + 2 * dim] = static_cast<double>(boxes->box[k]->flags);
    ++k;
  }
  boxes->box.resize(k);
  if (cells) boxes->cell.resize(k * dim);
  if (records) boxes->matrix.resize(k * stride);
  boxes->count = static_cast<int>(k);
  // The pruning took every leaf that lacked a bit of the mask.
  boxes->leafWithoutMask = false;
  const Units& units = CutIntoUnits(tree, INT64_MAX, workers.count(), boxes->scratch);
  boxes->cut = units.cut;
  boxes->unit.assign(units.box.begin(), units.box.end());
  TreeReset(tree);
}

void TreeSubdivideAllThreads(Tree* tree, int threads) {
  Workers workers(AnalysisThreads(threads));
  TreeSubdivideAllCollect(tree, workers, -1, nullptr);
}

bool TreeSubdivideAllCollect(Tree* tree, Workers& workers, int leaves, DepthBoxes* out) {
  const int dim = tree->domain->dim;
  if (out && leaves < 0) leaves = TreeNumberLeaves(tree, -1, nullptr);
  // Without boxes to gather into, the buffers are this call's own.
  DepthScratch own;
  DepthScratch& s = out ? out->scratch : own;
  const Units& units = CutIntoUnits(tree, INT64_MAX, workers.count(), s);
  const size_t n = units.box.size();
  const int64_t maxDepth = TreeMaxDepth(tree);
  PrepareWalkers(s, workers.count(), dim);
  // The children of leaf number i go to places 2i and 2i + 1: the leaves
  // are numbered in walk order, and each unit holds a run of them.
  const size_t places = out ? 2 * static_cast<size_t>(leaves) : 0;
  if (out) {
    out->box.resize(places);
    out->cell.resize(places * dim);
  }
  // Per unit: leaves refused at the depth limit, the depths of its leaves
  // before the split, whether its splits follow the table, and its leaves'
  // numbers (first, how many, whether they follow one another).
  using Made = DepthScratch::Made;
  std::vector<Made>& made = s.made;
  made.resize(n);
  workers.Run(n, [&](int worker, size_t u) {
    Made m;
    // The walk goes on past a leaf without entering the children it was
    // just given.
    m.regular = WalkUnit<false>(
        tree, s.walker[worker], units, u, INT64_MAX,
        [](Box*, int64_t, const double*, const double*, const uint32_t*) {},
        [&](Box* b, int64_t d, const double*, const double*, const uint32_t* cell) {
          if (d < m.shallow) m.shallow = d;
          if (d > m.deep) m.deep = d;
          if (d >= maxDepth) {
            ++m.refused;
            return;
          }
          const int k = tree->sd[d];
          const int64_t i = b->no;
          BoxSubdivide(b, static_cast<uint8_t>(k));
          if (!out) return;
          if (m.count == 0) m.first = i;
          if (i != m.first + m.count || i < 0 || 2 * static_cast<size_t>(i) >= places) {
            m.numbered = false;
            return;
          }
          ++m.count;
          const size_t at = 2 * static_cast<size_t>(i);
          out->box[at] = b->child[0];
          out->box[at + 1] = b->child[1];
          uint32_t* c = out->cell.data() + at * dim;
          for (int j = 0; j < dim; ++j) c[j] = c[dim + j] = cell[j];
          c[k] = cell[k] << 1;
          c[dim + k] = (cell[k] << 1) | 1u;
        });
    made[u] = m;
  });
  long long refused = 0;
  int64_t shallow = INT64_MAX, deep = -1, next = 0;
  bool regular = units.regular, numbered = true;
  for (const Made& m : made) {
    refused += m.refused;
    shallow = std::min(shallow, m.shallow);
    deep = std::max(deep, m.deep);
    regular = regular && m.regular;
    // The units' runs of numbers must follow one another from 0.
    numbered = numbered && m.numbered && (m.count == 0 || m.first == next);
    next += m.count;
  }
  if (refused)
    std::fprintf(stderr,
                 "warning: libvesk: TreeSubdivideAllThreads(): %lld leaves at the depth limit "
                 "%lld were not subdivided.\n",
                 refused, static_cast<long long>(maxDepth));
  TreeReset(tree);
  if (!out) return false;
  out->depth = -1;
  out->count = 0;
  // What was gathered stands for the walk only when every leaf lay at one
  // depth and was split, the leaves were numbered in walk order, and the
  // new boxes are cells of one exact grid.
  const int D = static_cast<int>(deep + 1);
  if (refused || shallow != deep || deep < 0 || !numbered || next != leaves || !regular ||
      !TreeGridUsable(tree, D)) {
    out->box.clear();
    out->cell.clear();
    return false;
  }
  // Numbered only now, so that a tree whose boxes could not be gathered
  // ends as TreeSubdivideAll leaves it.
  workers.Run(ChunkCount(places, kBoxChunk), [&](int, size_t c) {
    const ChunkRange r = ChunkOf(c, kBoxChunk, places);
    for (size_t i = r.first; i < r.end; ++i) out->box[i]->no = static_cast<int32_t>(i);
  });
  out->dim = dim;
  out->depth = D;
  out->count = static_cast<int>(places);
  out->onGrid = true;
  CellGeometryOf(tree, D, &out->geometry);
  out->matrix.clear();
  out->leafWithoutMask = false;
  // The units of the tree as it is now. When every leaf lay below the cut,
  // the levels down to it have not changed, and neither have the units.
  const Units& after =
      shallow > units.cut ? units : CutIntoUnits(tree, INT64_MAX, workers.count(), s);
  out->cut = after.cut;
  out->unit.assign(after.box.begin(), after.box.end());
  TreeReset(tree);
  return true;
}

}  // namespace vesk
