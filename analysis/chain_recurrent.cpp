// Restriction of the lifted tree to the base chain recurrent set.
#include "analysis/chain_recurrent.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/box_graph.h"
#include "analysis/parallel.h"
#include "analysis/scc.h"
#include "io/sparse_vector.h"
#include "tree/alloc.h"
#include "tree/search.h"

namespace vesk {

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
  const int n = base->domain->dim;
  const int D = TreeDepth(lifted->root);
  if (D > kMaxLiftedHeight) {
    std::fprintf(stderr,
                 "error: libvesk: BaseChainRecSet(): lifted tree height %d is beyond "
                 "the supported %d.\n",
                 D, kMaxLiftedHeight);
    return -1;
  }
  if (n != 2) {
    // The box graph is that of the planar map; ComputeScc would refuse the
    // base tree and leave every verdict at 0, emptying the lifted tree.
    std::fprintf(stderr,
                 "error: libvesk: BaseChainRecSet(): the base tree must be 2-dimensional, "
                 "not %d-dimensional.\n",
                 n);
    return -1;
  }
  const int liftedDim = lifted->domain->dim;
  if (2 * n > liftedDim) {
    std::fprintf(stderr,
                 "error: libvesk: BaseChainRecSet(): a %d-dimensional base tree does not "
                 "fit a %d-dimensional lifted tree.\n",
                 n, liftedDim);
    return -1;
  }
  const int workers = AnalysisThreads(threads);
  DepthBoxes lb;
  TreeCollectDepth(lifted, D, 1, 1, &lb);
  const int K = lb.count;
  const size_t stride = 2 * static_cast<size_t>(liftedDim) + 2;

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

  BoxFree(&base->root->child[0]);
  BoxFree(&base->root->child[1]);
  double point[2];
  for (int i = 0; i < K; ++i) {
    std::memcpy(point, lb.matrix.data() + i * stride, n * sizeof(double));
    TreeInsert(base, point, B, 1, 1);
  }
  std::vector<double>().swap(lb.matrix);

  // The deepest base level is B unless no lifted center lay in the base
  // domain; then it is the root alone, the one base box.
  DepthBoxes bb;
  TreeCollectDepth(base, TreeDepth(base->root), 0, 1, &bb);
  const int M = bb.count;
  std::vector<char> rec(M, 0);
  ComputeSccCollected(base, bb, paramLo, paramHi, rec.data(), workers);
  int marked = 0;
  for (int i = 0; i < M; ++i) marked += rec[i] != 0;
  if (baseBoxes) *baseBoxes = M;
  if (baseRecurrent) *baseRecurrent = marked;

  // A lifted box goes when the query of a base box that is not chain
  // recurrent meets it: the base box's center in the state coordinates,
  // [-1, 1] in the others.
  std::vector<char> keep(K, 1);
  if (marked < M && K > 0) {
    std::vector<uint32_t> open;
    for (int i = 0; i < M; ++i)
      if (!rec[i]) open.push_back(static_cast<uint32_t>(i));
    static const int kOrder[4] = {0, 1, 3, 2};
    BoxFinder finder(lifted, lb, kOrder, workers);
    const size_t baseStride = 2 * static_cast<size_t>(n) + 2;
    const size_t chunks = ChunkCount(open.size(), kGraphChunk);
    std::vector<std::vector<uint32_t>> found(chunks);
    ParallelChunks(workers, chunks, [&](int worker, size_t c) {
      const ChunkRange r = ChunkOf(c, kGraphChunk, open.size());
      std::vector<double> lower(liftedDim, -1.0), upper(liftedDim, 1.0);
      for (size_t q = r.first; q < r.end; ++q) {
        const double* center = bb.matrix.data() + open[q] * baseStride;
        for (int j = 0; j < n; ++j) lower[j] = upper[j] = center[j];
        finder.Find(worker, lower.data(), upper.data(), &found[c]);
      }
    });
    for (const std::vector<uint32_t>& hits : found)
      for (uint32_t h : hits) keep[h] = 0;
  }

  // Flag bit 1 carries the verdict to TreeRemove; the boxes left keep
  // their walk order, so their numbers are their ranks.
  int left = 0;
  for (int i = 0; i < K; ++i) {
    Box* box = lb.box[i];
    if (keep[i]) {
      box->flags = static_cast<uint8_t>(box->flags | 1u);
      ++left;
    } else {
      box->flags = static_cast<uint8_t>(box->flags & ~1u);
    }
  }
  if (left < K || lb.leafWithoutMask) {
    TreeRemove(lifted->root, 1);
    int no = 0;
    for (int i = 0; i < K; ++i)
      if (keep[i]) lb.box[i]->no = no++;
  }
  TreeReset(lifted);
  TreeReset(base);
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
