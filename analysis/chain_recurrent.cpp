// Restriction of the lifted tree to the base chain recurrent set.
#include "analysis/chain_recurrent.h"

#include <atomic>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_set>
#include <vector>

#include "analysis/box_graph.h"
#include "analysis/depth_boxes.h"
#include "analysis/parallel.h"
#include "analysis/scc.h"
#include "analysis/workspace.h"
#include "io/sparse_vector.h"
#include "tree/alloc.h"
#include "tree/search.h"

namespace vesk {

namespace {

// Boxes per chunk when the state centers are gathered.
constexpr size_t kCenterChunk = 16384;

// The first n center coordinates of the boxes, each distinct point once,
// n doubles per point: in the boxes' order, except on a grid with few
// state cells, where the workers share the boxes out and a point may come
// from any of the boxes that have it. On a grid, boxes with the same state
// cells have the same state center, bit for bit. The points are left in
// ws->centers.
const std::vector<double>& DistinctStateCenters(const DepthBoxes& boxes, int n,
                                                PassWorkspace* ws) {
  Workers& workers = ws->workers;
  std::vector<double>& points = ws->centers;
  points.clear();
  double record[2 * kMaxDim];
  auto add = [&](size_t i) {
    DepthBoxRecord(boxes, i, record);
    points.insert(points.end(), record, record + n);
  };
  const size_t K = static_cast<size_t>(boxes.count);
  if (boxes.onGrid) {
    // The state cells numbered row by row: a bitmap of them when they are
    // few enough, otherwise a hash set.
    int bits = 0;
    for (int j = 0; j < n; ++j)
      bits += std::countr_zero(static_cast<uint64_t>(boxes.geometry.cells[j]));
    auto key = [&](size_t i) {
      uint64_t k = 0;
      for (int j = 0; j < n; ++j)
        k = k * static_cast<uint64_t>(boxes.geometry.cells[j]) + boxes.cell[i * boxes.dim + j];
      return k;
    };
    if (bits <= 26) {
      // A cell's bit is set by the first chunk to see it, which takes the
      // box; its bit is read before it is set, so that the words, shared by
      // the workers, are written about once per cell.
      std::vector<uint64_t>& seen = ws->seen;
      seen.assign((size_t{1} << bits) / 64 + 1, 0);
      // Chunk c lists the boxes whose cells it sees first from place
      // c * kCenterChunk on, in the workspace's scratch memory (free until
      // the base graph's components): which chunk sees a cell first
      // depends on the threads' timing, and no chunk sees more cells first
      // than it has boxes.
      const size_t chunks = ChunkCount(K, kCenterChunk);
      ws->scratch.Layout(K * sizeof(uint32_t));
      uint32_t* const first = ws->scratch.Array<uint32_t>(0, K);
      std::vector<size_t>& firsts = ws->firsts;
      firsts.assign(chunks, 0);
      workers.Run(chunks, [&](int, size_t c) {
        const ChunkRange r = ChunkOf(c, kCenterChunk, K);
        uint32_t* out = first + r.first;
        size_t m = 0;
        for (size_t i = r.first; i < r.end; ++i) {
          const uint64_t k = key(i);
          const uint64_t bit = uint64_t{1} << (k % 64);
          std::atomic_ref<uint64_t> word(seen[k / 64]);
          if (word.load(std::memory_order_relaxed) & bit) continue;
          if (word.fetch_or(bit, std::memory_order_relaxed) & bit) continue;
          out[m++] = static_cast<uint32_t>(i);
        }
        firsts[c] = m;
      });
      for (size_t c = 0; c < chunks; ++c)
        for (size_t j = 0; j < firsts[c]; ++j) add(first[c * kCenterChunk + j]);
    } else {
      std::unordered_set<uint64_t> seen;
      for (size_t i = 0; i < K; ++i)
        if (seen.insert(key(i)).second) add(i);
    }
  } else {
    std::set<std::vector<uint64_t>> seen;
    std::vector<uint64_t> key(n);
    for (size_t i = 0; i < K; ++i) {
      DepthBoxRecord(boxes, i, record);
      for (int j = 0; j < n; ++j) std::memcpy(&key[j], &record[j], sizeof(double));
      if (seen.insert(key).second) add(i);
    }
  }
  return points;
}

}  // namespace

int BaseChainRecSet(Tree* lifted, Tree* base, double* paramLo, double* paramHi) {
  return BaseChainRecSetCountedThreads(lifted, base, paramLo, paramHi, nullptr, nullptr, 1);
}

int BaseChainRecSetCounted(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                           int* baseBoxes, int* baseRecurrent) {
  return BaseChainRecSetCountedThreads(lifted, base, paramLo, paramHi, baseBoxes,
                                       baseRecurrent, 1);
}

int BaseChainRecSetCountedThreads(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                                  int* baseBoxes, int* baseRecurrent, int threads) {
  return BaseChainRecSetKeeping(lifted, base, paramLo, paramHi, baseBoxes, baseRecurrent, threads,
                                nullptr);
}

int BaseChainRecSetKeeping(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                           int* baseBoxes, int* baseRecurrent, int threads, DepthBoxes* kept) {
  PassWorkspace ws(threads);
  if (kept) std::swap(ws.lifted, *kept);
  const int left =
      BaseChainRecSetPass(lifted, base, paramLo, paramHi, baseBoxes, baseRecurrent, &ws);
  if (kept) std::swap(ws.lifted, *kept);
  return left;
}

int BaseChainRecSetPass(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                        int* baseBoxes, int* baseRecurrent, PassWorkspace* ws) {
  const int n = base->domain->dim;
  const int liftedDim = lifted->domain->dim;
  const bool fits = n == 2 && 2 * n <= liftedDim;
  Workers& workers = ws->workers;
  // The lifted boxes at the working depth (the height), numbered only when
  // the call goes ahead: those the caller gathered, or a walk's.
  DepthBoxes& lb = ws->lifted;
  if (!(lb.depth >= 0 && lb.depth <= kMaxLiftedHeight && fits))
    CollectDepthBoxes(lifted, -1, 1, 0, fits ? kMaxLiftedHeight : -1, workers, &lb);
  const int D = lb.depth;
  if (D > kMaxLiftedHeight) {
    lb.depth = -1;
    std::fprintf(stderr,
                 "error: libvesk: BaseChainRecSet(): lifted tree height %d is beyond "
                 "the supported %d.\n",
                 D, kMaxLiftedHeight);
    return -1;
  }
  if (n != 2) {
    lb.depth = -1;
    // The box graph is that of the planar map; ComputeScc would refuse the
    // base tree and leave every verdict at 0, emptying the lifted tree.
    std::fprintf(stderr,
                 "error: libvesk: BaseChainRecSet(): the base tree must be 2-dimensional, "
                 "not %d-dimensional.\n",
                 n);
    return -1;
  }
  if (2 * n > liftedDim) {
    lb.depth = -1;
    std::fprintf(stderr,
                 "error: libvesk: BaseChainRecSet(): a %d-dimensional base tree does not "
                 "fit a %d-dimensional lifted tree.\n",
                 n, liftedDim);
    return -1;
  }
  const int K = lb.count;

  // Depth map and base split table: base depth m bisects the m-th state
  // coordinate that the lifted table bisects.
  int map[kMaxLiftedHeight + 1];
  int m = 0;
  for (int k = 0; k <= kMaxLiftedHeight; ++k) {
    map[k] = m;
    const int s = lifted->sd[k];
    if (s < n) base->sd[m++] = static_cast<uint8_t>(s);
  }
  const int B = map[D];

  // The base tree holds the boxes of depth B that contain the state
  // centers of the lifted boxes. Inserting a point a second time changes
  // nothing, so each distinct center is inserted once, in walk order.
  BoxFree(&base->root->child[0]);
  BoxFree(&base->root->child[1]);
  const std::vector<double>& centers = DistinctStateCenters(lb, n, ws);
  TreeInsertPoints(base, centers.data(), centers.size() / n, B, 1, 1);

  // The deepest base level is B unless no lifted center lay in the base
  // domain; then it is the root alone, the one base box. The base boxes
  // are gathered on the calling thread: the base tree is small, and one
  // walk fills the workspace's arrays in place, while walks cut into units
  // fill arrays of their own that are then joined (on two threads that
  // took about six times as long).
  DepthBoxes& bb = ws->base;
  const int active = workers.count();
  workers.Limit(1);
  try {
    CollectDepthBoxes(base, -1, 0, 1, INT_MAX, workers, &bb);
  } catch (...) {
    workers.Limit(active);
    throw;
  }
  workers.Limit(active);
  const int M = bb.count;
  std::vector<char>& rec = ws->rec;
  rec.assign(M, 0);
  ComputeSccCollected(base, bb, paramLo, paramHi, rec.data(), ws);
  int marked = 0;
  for (int i = 0; i < M; ++i) marked += rec[i] != 0;
  if (baseBoxes) *baseBoxes = M;
  if (baseRecurrent) *baseRecurrent = marked;

  // A lifted box goes when the query of a base box that is not chain
  // recurrent meets it: the base box's center in the state coordinates,
  // [-1, 1] in the others.
  std::vector<char>& keep = ws->keep;
  keep.assign(K, 1);
  if (marked < M && K > 0) {
    std::vector<uint32_t>& open = ws->open;
    open.clear();
    for (int i = 0; i < M; ++i)
      if (!rec[i]) open.push_back(static_cast<uint32_t>(i));
    // The queries are points in x and y and span u and v: the boxes are
    // grouped by their x and y cells.
    static const int kOrder[4] = {0, 1, 3, 2};
    BoxFinder finder(lifted, lb.depth,
                     DepthBoxesGrid(&ws->stateGrid, lifted, lb, workers, kOrder, 2),
                     workers.count());
    const size_t baseStride = 2 * static_cast<size_t>(n) + 2;
    const size_t chunks = ChunkCount(open.size(), kGraphChunk);
    std::vector<HitList>& found = ws->found;
    if (found.size() < chunks) found.resize(chunks);
    workers.Run(chunks, [&](int worker, size_t c) {
      const ChunkRange r = ChunkOf(c, kGraphChunk, open.size());
      double lower[kMaxDim], upper[kMaxDim];
      for (int j = 0; j < liftedDim; ++j) {
        lower[j] = -1.0;
        upper[j] = 1.0;
      }
      HitList& hits = found[c];
      hits.clear();
      for (size_t q = r.first; q < r.end; ++q) {
        const double* center = bb.matrix.data() + open[q] * baseStride;
        for (int j = 0; j < n; ++j) lower[j] = upper[j] = center[j];
        finder.Find(worker, lower, upper, &hits);
      }
    });
    for (size_t c = 0; c < chunks; ++c)
      for (uint32_t h : found[c]) keep[h] = 0;
  }
  const int left = PruneDepthBoxes(lifted, lb, keep.data(), 1, workers);
  TreeReset(base);
  if (left > 0)
    KeepDepthBoxes(lifted, keep.data(), workers, &lb);
  else
    lb.depth = -1;
  return left;
}

void BaseFind(Tree* lifted, Tree* base, char* rec, char* keep) {
  const int n = base->domain->dim;
  const int D = TreeDepth(lifted->root);
  const int K = TreeCountDepth(lifted, D);
  const int Bd = TreeDepth(base->root);
  const int M = TreeCountDepth(base, Bd);
  if (K > 0) std::memset(keep, 1, K);

  // Query: the base box's center in the state coordinates, [-1, 1] in the
  // tangent coordinates.
  const int liftedDim = lifted->domain->dim;
  const int qdim = liftedDim > 2 * n ? liftedDim : 2 * n;
  double* lower = static_cast<double*>(VeskCalloc(qdim, sizeof(double)));
  double* upper = static_cast<double*>(VeskCalloc(qdim, sizeof(double)));
  for (int i = n; i < qdim; ++i) {
    lower[i] = -1.0;
    upper[i] = 1.0;
  }
  if (M >= 1 && TreeFirstBox(base, Bd)) {
    for (int i = 0; i < M; ++i) {
      if (!rec[i]) {
        SparseVector* hits = SparseVectorNew(0, 16);
        for (int j = 0; j < n; ++j) lower[j] = upper[j] = base->c[j];
        TreeReset(lifted);
        TreeSearchBoxRec(lifted, lower, upper, D, hits);
        for (int h = 0; h < hits->count; ++h) {
          const int idx = hits->index[h];
          if (idx >= 0 && idx < K) keep[idx] = 0;
        }
        SparseVectorFree(&hits);
      }
      TreeNextBox(base, Bd);
    }
  }
  std::free(lower);
  std::free(upper);
}

}  // namespace vesk
