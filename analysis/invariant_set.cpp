// Invariant collection of the tangent lift and the cone test.
#include "analysis/invariant_set.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/sparse_vector.h"
#include "map/henon.h"
#include "tree/alloc.h"
#include "tree/search.h"

namespace vesk {

int InvariantSet(Tree* lifted, double* paramLo, double* paramHi) {
  const int d = lifted->domain->dim;
  if (d != 4) {
    std::fprintf(stderr,
                 "error: libvesk: InvariantSet(): the tangent lift needs a 4-dimensional "
                 "tree, not %d-dimensional.\n",
                 d);
    return -1;
  }
  const int D = TreeDepth(lifted->root);
  int K = TreeCountDepth(lifted, D);
  for (;;) {
    const size_t k = K > 0 ? static_cast<size_t>(K) : 0;
    double* matrix = static_cast<double*>(VeskMalloc((2 * d + 2) * k * sizeof(double)));
    double* imageLo = static_cast<double*>(VeskMalloc(d * k * sizeof(double)));
    double* imageHi = static_cast<double*>(VeskMalloc(d * k * sizeof(double)));
    TreePrintToMatrix(lifted, D, matrix);
    t_realhenon(K, paramLo, paramHi, matrix, imageLo, imageHi);
    std::free(matrix);

    char* hasPre = static_cast<char*>(VeskCalloc(k, 1));
    char* hasImage = static_cast<char*>(VeskCalloc(k, 1));
    char* keep = static_cast<char*>(VeskCalloc(k, 1));
    for (size_t i = 0; i < k; ++i) {
      SparseVector* hits = SparseVectorNew(0, 16);
      TreeReset(lifted);
      TreeSearchBoxRec(lifted, imageLo + i * d, imageHi + i * d, D, hits);
      if (hits->count > 0) {
        hasImage[i] = 1;
        for (int h = 0; h < hits->count; ++h) {
          const int j = hits->index[h];
          if (j >= 0 && j < K) hasPre[j] = 1;
        }
      }
      SparseVectorFree(&hits);
    }
    for (size_t i = 0; i < k; ++i) keep[i] = static_cast<char>(hasPre[i] & hasImage[i]);
    std::free(imageLo);
    std::free(imageHi);
    std::free(hasPre);
    std::free(hasImage);

    // Flag bit 1 carries the verdict to TreeRemove; the walk meets the K
    // boxes numbered above.
    TreeSetFlagsVect(lifted, D, reinterpret_cast<const unsigned char*>(keep), 1);
    TreeRemove(lifted->root, 1);

    const int kept = K < 1 ? 0 : nnz(keep, K);
    std::free(keep);
    if (kept == 0) return 0;
    const int left = TreeCountDepth(lifted, D);
    if (left == K) return K;
    K = left;
  }
}

int nnz(char* bytes, int m) {
  int count = 0;
  for (int i = 0; i < m; ++i) count += bytes[i] != 0;
  return count;
}

int CheckIsolated(Tree* tree, int n) {
  if (!TreeFirstBox(tree, -1)) return 1;
  const int dim = tree->domain->dim;
  const int end = 2 * n < dim ? 2 * n : dim;
  do {
    for (int i = n < 0 ? 0 : n; i < end; ++i) {
      const double sum = (tree->r[i] + tree->r[i]) + std::fabs(tree->c[i]);
      if (sum >= 1.0) return 0;
    }
  } while (TreeNextBox(tree, -1));
  return 1;
}

}  // namespace vesk
