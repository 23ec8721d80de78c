// Reference implementations of the two restrictions of a lifted tree, kept
// as they were before the box graph was stored: the invariant set sweep by
// sweep (every sweep maps every box again and searches every image in the
// tree), and the chain recurrent set whose component search finds the
// successors of a box by descending the tree each time it needs them.
//
// The fast analyses must leave exactly the trees these leave, box for box;
// the tests and bench_analysis compare the two. Header only, without test
// framework, so that the benchmark can include it as well.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/chain_recurrent.h"
#include "analysis/invariant_set.h"
#include "analysis/scc.h"
#include "io/sparse_vector.h"
#include "map/henon.h"
#include "tree/alloc.h"
#include "tree/search.h"
#include "tree/tree.h"

namespace reference {

using vesk::Tree;

// Sweeps until nothing is removed: each sweep exports the boxes at the
// working depth, maps them, searches every image from the root, keeps the
// boxes with an image and a preimage in the collection and prunes.
inline int InvariantSet(Tree* lifted, double* paramLo, double* paramHi) {
  const int d = lifted->domain->dim;
  if (d != 4) {
    std::fprintf(stderr,
                 "error: libvesk: InvariantSet(): the tangent lift needs a 4-dimensional "
                 "tree, not %d-dimensional.\n",
                 d);
    return -1;
  }
  const int D = vesk::TreeDepth(lifted->root);
  int K = vesk::TreeCountDepth(lifted, D);
  for (;;) {
    const size_t k = K > 0 ? static_cast<size_t>(K) : 0;
    double* matrix = static_cast<double*>(vesk::VeskMalloc((2 * d + 2) * k * sizeof(double)));
    double* imageLo = static_cast<double*>(vesk::VeskMalloc(d * k * sizeof(double)));
    double* imageHi = static_cast<double*>(vesk::VeskMalloc(d * k * sizeof(double)));
    vesk::TreePrintToMatrix(lifted, D, matrix);
    vesk::t_realhenon(K, paramLo, paramHi, matrix, imageLo, imageHi);
    std::free(matrix);

    char* hasPre = static_cast<char*>(vesk::VeskCalloc(k, 1));
    char* hasImage = static_cast<char*>(vesk::VeskCalloc(k, 1));
    char* keep = static_cast<char*>(vesk::VeskCalloc(k, 1));
    for (size_t i = 0; i < k; ++i) {
      vesk::SparseVector* hits = vesk::SparseVectorNew(0, 16);
      vesk::TreeReset(lifted);
      vesk::TreeSearchBoxRec(lifted, imageLo + i * d, imageHi + i * d, D, hits);
      if (hits->count > 0) {
        hasImage[i] = 1;
        for (int h = 0; h < hits->count; ++h) {
          const int j = hits->index[h];
          if (j >= 0 && j < K) hasPre[j] = 1;
        }
      }
      vesk::SparseVectorFree(&hits);
    }
    for (size_t i = 0; i < k; ++i) keep[i] = static_cast<char>(hasPre[i] & hasImage[i]);
    std::free(imageLo);
    std::free(imageHi);
    std::free(hasPre);
    std::free(hasImage);

    vesk::TreeSetFlagsVect(lifted, D, reinterpret_cast<const unsigned char*>(keep), 1);
    vesk::TreeRemove(lifted->root, 1);

    const int kept = K < 1 ? 0 : vesk::nnz(keep, K);
    std::free(keep);
    if (kept == 0) return 0;
    const int left = vesk::TreeCountDepth(lifted, D);
    if (left == K) return K;
    K = left;
  }
}

// Numbers the boxes at the deepest level, maps and widens their images and
// runs the component search that never stores the graph (scc_nonrec).
inline void ComputeScc(Tree* tree, double* paramLo, double* paramHi, char* rec) {
  const int d = tree->domain->dim;
  if (d != 2) {
    std::fprintf(stderr,
                 "error: libvesk: ComputeScc(): the box graph needs a 2-dimensional "
                 "tree, not %d-dimensional.\n",
                 d);
    return;
  }
  const int L = vesk::TreeDepth(tree->root);
  const int N = vesk::TreeCountDepth(tree, L);
  if (N > 0) std::memset(rec, 0, static_cast<size_t>(N));
  const size_t n = static_cast<size_t>(N);
  double* matrix = static_cast<double*>(vesk::VeskMalloc((2 * d + 2) * n * sizeof(double)));
  double* imageLo = static_cast<double*>(vesk::VeskMalloc(d * n * sizeof(double)));
  double* imageHi = static_cast<double*>(vesk::VeskMalloc(d * n * sizeof(double)));
  vesk::TreePrintToMatrix(tree, L, matrix);
  vesk::realhenon(N, paramLo, paramHi, matrix, imageLo, imageHi);
  std::free(matrix);

  volatile double eps = 1.0;
  for (;;) {
    volatile double half = eps * 0.5;
    if (!(half > 0.0)) break;
    eps = half;
  }
  const double widen = eps;
  for (size_t k = 0; k < d * n; ++k) {
    imageLo[k] = imageLo[k] - widen;
    imageHi[k] = imageHi[k] + widen;
  }
  vesk::scc_nonrec(tree, d, rec, imageLo, imageHi);
  std::free(imageLo);
  std::free(imageHi);
}

// Clears the keep mark of every lifted box that the query of an unmarked
// base box (its center, and [-1, 1] in the tangent coordinates) meets.
inline void BaseFind(Tree* lifted, Tree* base, char* rec, char* keep) {
  const int n = base->domain->dim;
  const int D = vesk::TreeDepth(lifted->root);
  const int K = vesk::TreeCountDepth(lifted, D);
  const int Bd = vesk::TreeDepth(base->root);
  const int M = vesk::TreeCountDepth(base, Bd);
  if (K > 0) std::memset(keep, 1, K);

  const int liftedDim = lifted->domain->dim;
  const int qdim = liftedDim > 2 * n ? liftedDim : 2 * n;
  double* lower = static_cast<double*>(vesk::VeskCalloc(qdim, sizeof(double)));
  double* upper = static_cast<double*>(vesk::VeskCalloc(qdim, sizeof(double)));
  for (int i = n; i < qdim; ++i) {
    lower[i] = -1.0;
    upper[i] = 1.0;
  }
  if (M >= 1 && vesk::TreeFirstBox(base, Bd)) {
    for (int i = 0; i < M; ++i) {
      if (!rec[i]) {
        vesk::SparseVector* hits = vesk::SparseVectorNew(0, 16);
        for (int j = 0; j < n; ++j) lower[j] = upper[j] = base->c[j];
        vesk::TreeReset(lifted);
        vesk::TreeSearchBoxRec(lifted, lower, upper, D, hits);
        for (int h = 0; h < hits->count; ++h) {
          const int idx = hits->index[h];
          if (idx >= 0 && idx < K) keep[idx] = 0;
        }
        vesk::SparseVectorFree(&hits);
      }
      vesk::TreeNextBox(base, Bd);
    }
  }
  std::free(lower);
  std::free(upper);
}

// Rebuilds the base tree from the lifted centers, marks its chain recurrent
// boxes and removes the lifted boxes over the others.
inline int BaseChainRecSetCounted(Tree* lifted, Tree* base, double* paramLo, double* paramHi,
                                  int* baseBoxes, int* baseRecurrent) {
  const int n = base->domain->dim;
  const int D = vesk::TreeDepth(lifted->root);
  if (D > vesk::kMaxLiftedHeight) {
    std::fprintf(stderr,
                 "error: libvesk: BaseChainRecSet(): lifted tree height %d is beyond "
                 "the supported %d.\n",
                 D, vesk::kMaxLiftedHeight);
    return -1;
  }
  if (n != 2) {
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
  double* point = static_cast<double*>(vesk::VeskCalloc(n, sizeof(double)));
  const int K = vesk::TreeCountDepth(lifted, D);

  int map[vesk::kMaxLiftedHeight + 1];
  int m = 0;
  for (int k = 0; k <= vesk::kMaxLiftedHeight; ++k) {
    map[k] = m;
    const int s = lifted->sd[k];
    if (s < n) base->sd[m++] = static_cast<uint8_t>(s);
  }
  const int B = map[D];

  vesk::BoxFree(&base->root->child[0]);
  vesk::BoxFree(&base->root->child[1]);
  if (vesk::TreeFirstBox(lifted, D)) {
    do {
      if (n > 0) std::memcpy(point, lifted->c, n * sizeof(double));
      vesk::TreeInsert(base, point, B, 1, 1);
    } while (vesk::TreeNextBox(lifted, D));
  }

  const int M = vesk::TreeCountDepth(base, vesk::TreeDepth(base->root));
  char* rec = static_cast<char*>(vesk::VeskCalloc(M, 1));
  reference::ComputeScc(base, paramLo, paramHi, rec);
  if (baseBoxes) *baseBoxes = M;
  if (baseRecurrent) {
    int marked = 0;
    for (int i = 0; i < M; ++i) marked += rec[i] != 0;
    *baseRecurrent = marked;
  }
  char* keep = static_cast<char*>(vesk::VeskMalloc(K));
  if (K > 0) std::memset(keep, 1, K);
  reference::BaseFind(lifted, base, rec, keep);
  vesk::TreeSetFlagsVect(lifted, D, reinterpret_cast<const unsigned char*>(keep), 1);
  vesk::TreeRemove(lifted->root, 1);
  const int left = vesk::TreeCountDepth(lifted, D);

  std::free(point);
  std::free(rec);
  std::free(keep);
  return left;
}

inline int BaseChainRecSet(Tree* lifted, Tree* base, double* paramLo, double* paramHi) {
  return reference::BaseChainRecSetCounted(lifted, base, paramLo, paramHi, nullptr, nullptr);
}

}  // namespace reference
