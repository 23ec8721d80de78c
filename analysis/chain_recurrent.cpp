// Restriction of the lifted tree to the base chain recurrent set.
#include "analysis/chain_recurrent.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/scc.h"
#include "io/sparse_vector.h"
#include "tree/alloc.h"
#include "tree/search.h"

namespace vesk {

int BaseChainRecSet(Tree* lifted, Tree* base, double* paramLo, double* paramHi) {
  return BaseChainRecSetCounted(lifted, base, paramLo, paramHi, nullptr, nullptr);
}

int BaseChainRecSetCounted(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                           int* baseBoxes, int* baseRecurrent) {
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
  if (2 * n > lifted->domain->dim) {
    std::fprintf(stderr,
                 "error: libvesk: BaseChainRecSet(): a %d-dimensional base tree does not "
                 "fit a %d-dimensional lifted tree.\n",
                 n, lifted->domain->dim);
    return -1;
  }
  double* point = static_cast<double*>(VeskCalloc(n, sizeof(double)));
  const int K = TreeCountDepth(lifted, D);

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
  if (TreeFirstBox(lifted, D)) {
    do {
      if (n > 0) std::memcpy(point, lifted->c, n * sizeof(double));
      TreeInsert(base, point, B, 1, 1);
    } while (TreeNextBox(lifted, D));
  }

  // The deepest base level is B unless no lifted center lay in the base
  // domain; then it is the root alone, which ComputeScc and BaseFind take
  // as the one base box. Count what they will number.
  const int M = TreeCountDepth(base, TreeDepth(base->root));
  char* rec = static_cast<char*>(VeskCalloc(M, 1));
  ComputeScc(base, paramLo, paramHi, rec);
  if (baseBoxes) *baseBoxes = M;
  if (baseRecurrent) {
    int marked = 0;
    for (int i = 0; i < M; ++i) marked += rec[i] != 0;
    *baseRecurrent = marked;
  }
  char* keep = static_cast<char*>(VeskMalloc(K));
  if (K > 0) std::memset(keep, 1, K);
  BaseFind(lifted, base, rec, keep);
  // Flag bit 1 carries the verdict to TreeRemove.
  TreeSetFlagsVect(lifted, D, reinterpret_cast<const unsigned char*>(keep), 1);
  TreeRemove(lifted->root, 1);
  const int left = TreeCountDepth(lifted, D);

  std::free(point);
  std::free(rec);
  std::free(keep);
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
