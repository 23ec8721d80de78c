// Invariant collection of the tangent lift and the cone test.
#include "analysis/invariant_set.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/box_graph.h"
#include "analysis/parallel.h"
#include "map/henon.h"
#include "tree/alloc.h"
#include "analysis/depth_boxes.h"
#include "analysis/workspace.h"

namespace vesk {

namespace {

// Whether the lifted tree has the four coordinates of the tangent lift; an
// error line when not.
bool FourDimensional(const Tree* lifted) {
  const int d = lifted->domain->dim;
  if (d == 4) return true;
  std::fprintf(stderr,
               "error: libvesk: InvariantSet(): the tangent lift needs a 4-dimensional "
               "tree, not %d-dimensional.\n",
               d);
  return false;
}

}  // namespace

int InvariantSet(Tree* lifted, double* paramLo, double* paramHi) {
  return InvariantSetThreads(lifted, paramLo, paramHi, 1);
}

int InvariantSetThreads(Tree* lifted, double* paramLo, double* paramHi, int threads) {
  if (!FourDimensional(lifted)) return -1;
  PassWorkspace ws(threads);
  CollectDepthBoxes(lifted, -1, 1, 0, INT_MAX, ws.workers, &ws.lifted);
  return InvariantSetPass(lifted, paramLo, paramHi, &ws);
}

int InvariantSetPass(Tree* lifted, double* paramLo, double* paramHi, PassWorkspace* ws) {
  if (!FourDimensional(lifted)) return -1;
  const int d = 4;
  Workers& workers = ws->workers;
  DepthBoxes& boxes = ws->lifted;
  const uint32_t K = static_cast<uint32_t>(boxes.count);

  // The images' copied coordinates y' and v' are the box's own x and u
  // extents and x' is narrow; u' spans the most cells.
  static const int kOrder[4] = {1, 3, 0, 2};
  const size_t stride = 2 * static_cast<size_t>(d) + 2;
  const int w = workers.count();
  // Per worker: the box records of a chunk, then its lower and upper image
  // bounds.
  ReserveRows(ws, stride, static_cast<size_t>(d));
  const BoxGrid* grid = DepthBoxesGrid(&ws->liftedGrid, lifted, boxes, workers, kOrder);
  BoxGraph& graph = ws->graph;
  {
    // Each chunk of boxes is mapped right before its lookups, its images
    // still in the cache.
    BoxFinder finder(lifted, boxes.depth, grid, w);
    BoxGraphBuild(finder, workers, K, d,
                  [&](int worker, size_t first, size_t end) {
                    FillVector<double>& m = ws->rows[3 * worker];
                    FillVector<double>& lo = ws->rows[3 * worker + 1];
                    FillVector<double>& hi = ws->rows[3 * worker + 2];
                    const size_t n = end - first;
                    m.resize(n * stride);
                    lo.resize(n * d);
                    hi.resize(n * d);
                    for (size_t i = first; i < end; ++i)
                      DepthBoxRecord(boxes, i, m.data() + (i - first) * stride);
                    t_realhenon(static_cast<int>(n), paramLo, paramHi, m.data(), lo.data(),
                                hi.data());
                    return std::pair<const double*, const double*>(lo.data(), hi.data());
                  },
                  &graph);
  }
#ifdef VESK_FAULT_DROP_EDGE
  // A deliberate fault for the tests of proof certificates, never built
  // into vesk: the first box whose image meets exactly one box loses that
  // edge, so the box goes although its image meets a box that stays.
  for (uint32_t v = 0; v < graph.count; ++v) {
    if (graph.first[v + 1] - graph.first[v] != 1) continue;
    const size_t c = v / kGraphChunk;
    graph.piece[c].Erase(graph.first[v] - graph.first[c * kGraphChunk]);
    for (uint32_t w = v + 1; w <= graph.count; ++w) --graph.first[w];
    break;
  }
#endif
  BoxGraphCore(graph, workers, &ws->core, &ws->alive);
  return PruneDepthBoxes(lifted, boxes, ws->alive.data(), 1, workers);
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
