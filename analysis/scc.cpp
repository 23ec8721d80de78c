// Box graph components with an iterative Tarjan search whose successors are
// found by tree descents.
#include "analysis/scc.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/box_graph.h"
#include "analysis/workspace.h"
#include "analysis/parallel.h"
#include "map/henon.h"
#include "tree/alloc.h"
#include "tree/search.h"
#include "tree/walk_step.h"

namespace vesk {

namespace {

struct VisitSearch {
  Tree* tree;
  const double* lo;
  const double* hi;
  int* dfsIndex;
  int* lowlink;
  int v;
  int64_t leafDepth;   // the vertices' level; leaves elsewhere are no vertices
  int count;           // number of vertices
  bool reachedSelf;    // the descent met box v itself
};

int Descend(VisitSearch& s) {
  Tree* tree = s.tree;
  Box* box = tree->box;
  if (BoxIsLeaf(box)) {
    const int w = box->no;
    if (tree->depth != s.leafDepth || w < 0 || w >= s.count) return -1;
    if (s.dfsIndex[w] == 0) return w;
    if (w == s.v) s.reachedSelf = true;
    if (s.dfsIndex[w] < s.lowlink[s.v]) s.lowlink[s.v] = s.dfsIndex[w];
    return -1;
  }
  const int k = box->sd;
  const int64_t d = tree->depth;
  const double c = tree->c[k];
  const double r = tree->r[k];
  for (int side = 0; side < 2; ++side) {
    // Lower child [c - r, c], upper child [c, c + r] along k; closed tests.
    const bool miss = side == 0 ? (s.lo[k] > c || c - r > s.hi[k])
                                : (s.lo[k] > c + r || c > s.hi[k]);
    if (miss || !box->child[side]) continue;
    TreeStepDown(tree, side);
    const int w = Descend(s);
    if (w >= 0) return w;
    tree->depth = d;
    tree->box = tree->boxStack[d];
    tree->c[k] = tree->cStack[d];
    tree->r[k] = tree->rStack[d];
  }
  return -1;
}

int FindVisit(Tree* tree, const double* lo, const double* hi, int* dfsIndex,
              int* lowlink, int v, int64_t leafDepth, int count, bool* reachedSelf) {
  VisitSearch s{tree, lo, hi, dfsIndex, lowlink, v, leafDepth, count, false};
  const int w = Descend(s);
  if (reachedSelf) *reachedSelf = s.reachedSelf;
  return w;
}

}  // namespace

int TreeFindVisitBox(Tree* tree, double* lo, double* hi, int* dfsIndex, int* lowlink,
                     int v) {
  // Vertices are the leaves at the deepest level; the caller's arrays cover
  // their numbers. Leaves elsewhere (or never numbered) are passed over.
  const int leafDepth = TreeDepth(tree->root);
  return FindVisit(tree, lo, hi, dfsIndex, lowlink, v, leafDepth, INT_MAX, nullptr);
}

int scc_nonrec(Tree* tree, int d, char* rec, double* imageLo, double* imageHi) {
  const int L = TreeDepth(tree->root);
  const int N = TreeCountDepth(tree, L);
  int* compStack = static_cast<int*>(VeskMalloc((static_cast<size_t>(N) + 1) * sizeof(int)));
  int* pathStack = static_cast<int*>(VeskMalloc((static_cast<size_t>(N) + 1) * sizeof(int)));
  int* dfsIndex = static_cast<int*>(VeskMalloc(static_cast<size_t>(N) * sizeof(int)));
  int* lowlink = static_cast<int*>(VeskMalloc(static_cast<size_t>(N) * sizeof(int)));
  char* selfLoop = static_cast<char*>(VeskMalloc(static_cast<size_t>(N)));
  if (N >= 1) {
    std::memset(dfsIndex, 0, N * sizeof(int));
    std::memset(selfLoop, 0, N);
    for (int i = 0; i < N; ++i) lowlink[i] = N + 1;

    for (int s = 0; s < N; ++s) {
      if (dfsIndex[s] != 0) continue;
      int counter = 1;
      int compTop = 0, pathTop = 0;
      compStack[compTop++] = s;
      pathStack[pathTop++] = s;
      dfsIndex[s] = lowlink[s] = counter;
      int v = s;
      for (;;) {
        TreeReset(tree);
        bool self = false;
        const int w = FindVisit(tree, imageLo + static_cast<size_t>(v) * d,
                                imageHi + static_cast<size_t>(v) * d, dfsIndex, lowlink,
                                v, L, N, &self);
        if (self) selfLoop[v] = 1;
        if (w >= 0) {
          ++counter;
          compStack[compTop++] = w;
          pathStack[pathTop++] = w;
          dfsIndex[w] = lowlink[w] = counter;
          v = w;
          continue;
        }
        if (lowlink[v] == dfsIndex[v]) {
          if (compStack[compTop - 1] == v) {
            if (selfLoop[v]) rec[v] = 1;
            dfsIndex[v] = N + 1;
            --compTop;
          } else {
            int x;
            do {
              x = compStack[--compTop];
              rec[x] = 1;
              dfsIndex[x] = N + 1;
            } while (x != v);
          }
        }
        if (v == s) break;
        --pathTop;
        const int p = pathStack[pathTop - 1];
        if (lowlink[v] < lowlink[p]) lowlink[p] = lowlink[v];
        v = p;
      }
    }
  }
  std::free(selfLoop);
  std::free(lowlink);
  std::free(dfsIndex);
  std::free(pathStack);
  std::free(compStack);
  return 0;
}

void ComputeScc(Tree* tree, double* paramLo, double* paramHi, char* rec) {
  ComputeSccThreads(tree, paramLo, paramHi, rec, 1);
}

void ComputeSccThreads(Tree* tree, double* paramLo, double* paramHi, char* rec, int threads) {
  const int d = tree->domain->dim;
  if (d != 2) {
    std::fprintf(stderr,
                 "error: libvesk: ComputeScc(): the box graph needs a 2-dimensional "
                 "tree, not %d-dimensional.\n",
                 d);
    return;
  }
  PassWorkspace ws(threads);
  CollectDepthBoxes(tree, -1, 0, 1, INT_MAX, ws.workers, &ws.base);
  ComputeSccCollected(tree, ws.base, paramLo, paramHi, rec, &ws);
}

void ComputeSccCollected(Tree* tree, const DepthBoxes& boxes, double* paramLo,
                         double* paramHi, char* rec, PassWorkspace* ws) {
  Workers& workers = ws->workers;
  const int d = 2;
  const uint32_t N = static_cast<uint32_t>(boxes.count);
  if (N == 0) return;
  // The base trees are small: their boxes come with the matrix.
  if (boxes.matrix.empty()) return;
  std::memset(rec, 0, N);

  // The smallest positive double in the running environment (2^-1074 with
  // subnormals, 2^-1022 when they are flushed).
  volatile double eps = 1.0;
  for (;;) {
    volatile double half = eps * 0.5;
    if (!(half > 0.0)) break;
    eps = half;
  }
  const double widen = eps;

  // The image's second coordinate is the box's own x extent, the first the
  // wider one.
  static const int kOrder[2] = {1, 0};
  BoxGraph& graph = ws->baseGraph;
  {
    BoxFinder finder(tree, boxes.depth, DepthBoxesGrid(&ws->baseGrid, tree, boxes, workers, kOrder),
                     workers.count());
    const double* matrix = boxes.matrix.data();
    // A chunk's image bounds in the worker's buffers of the workspace.
    ReserveRows(ws, 0, d);
    BoxGraphBuild(finder, workers, N, d,
                  [&](int worker, size_t first, size_t end) {
                    FillVector<double>& lo = ws->rows[3 * worker + 1];
                    FillVector<double>& hi = ws->rows[3 * worker + 2];
                    lo.resize((end - first) * d);
                    hi.resize((end - first) * d);
                    realhenon(static_cast<int>(end - first), paramLo, paramHi,
                              matrix + first * (2 * d + 2), lo.data(), hi.data());
                    for (size_t k = 0; k < (end - first) * d; ++k) {
                      lo[k] = lo[k] - widen;
                      hi[k] = hi[k] + widen;
                    }
                    return std::pair<const double*, const double*>(lo.data(), hi.data());
                  },
                  &graph);
  }
  BoxGraphRecurrent(graph, rec, &ws->scratch);
}

}  // namespace vesk
