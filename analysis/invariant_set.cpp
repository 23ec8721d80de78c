// Invariant collection of the tangent lift and the cone test.
#include "analysis/invariant_set.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/box_graph.h"
#include "analysis/parallel.h"
#include "map/henon.h"
#include "tree/alloc.h"
#include "tree/grid.h"

namespace vesk {

int InvariantSet(Tree* lifted, double* paramLo, double* paramHi) {
  return InvariantSetThreads(lifted, paramLo, paramHi, 1);
}

int InvariantSetThreads(Tree* lifted, double* paramLo, double* paramHi, int threads) {
  const int d = lifted->domain->dim;
  if (d != 4) {
    std::fprintf(stderr,
                 "error: libvesk: InvariantSet(): the tangent lift needs a 4-dimensional "
                 "tree, not %d-dimensional.\n",
                 d);
    return -1;
  }
  const int workers = AnalysisThreads(threads);
  const int D = TreeDepth(lifted->root);
  DepthBoxes boxes;
  TreeCollectDepth(lifted, D, 1, 1, &boxes);
  const uint32_t K = static_cast<uint32_t>(boxes.count);

  // The images' copied coordinates y' and v' are single points and x' is
  // narrow; u' spans the most cells.
  static const int kOrder[4] = {1, 3, 0, 2};
  BoxGraph graph;
  {
    BoxFinder finder(lifted, boxes, kOrder, workers);
    std::vector<uint32_t>().swap(boxes.cell);
    const double* matrix = boxes.matrix.data();
    BoxGraphBuild(finder, workers, K, d,
                  [&](size_t first, size_t end, double* lo, double* hi) {
                    t_realhenon(static_cast<int>(end - first), paramLo, paramHi,
                                matrix + first * (2 * d + 2), lo, hi);
                  },
                  &graph);
  }
  std::vector<double>().swap(boxes.matrix);
  std::vector<char> alive = BoxGraphCore(graph, nullptr);
  graph = BoxGraph();

  // Flag bit 1 carries the verdict to TreeRemove; the boxes left keep
  // their walk order, so their numbers are their ranks.
  int kept = 0;
  for (uint32_t i = 0; i < K; ++i) {
    Box* box = boxes.box[i];
    if (alive[i]) {
      box->flags = static_cast<uint8_t>(box->flags | 1u);
      ++kept;
    } else {
      box->flags = static_cast<uint8_t>(box->flags & ~1u);
    }
  }
  if (kept < static_cast<int>(K) || boxes.leafWithoutMask) {
    TreeRemove(lifted->root, 1);
    int no = 0;
    for (uint32_t i = 0; i < K; ++i)
      if (alive[i]) boxes.box[i]->no = no++;
  }
  TreeReset(lifted);
  return kept;
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
