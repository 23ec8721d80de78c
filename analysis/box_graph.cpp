// Box graph: searches, the invariant core and the recurrent components.
#include "analysis/box_graph.h"

#include <algorithm>

#include "tree/search.h"

namespace vesk {

BoxFinder::BoxFinder(Tree* tree, const DepthBoxes& boxes, const int* order, int workers)
    : depth_(boxes.depth), grid_(BoxGridNew(tree, boxes, order)) {
  if (grid_) return;
  // Each worker searches the tree with a cursor of its own.
  const int w = workers < 1 ? 1 : workers;
  for (int i = 0; i < w; ++i) {
    holders_.push_back(TreeCopy(tree));
    lists_.push_back(SparseVectorNew(0, 16));
  }
}

BoxFinder::~BoxFinder() {
  BoxGridFree(&grid_);
  for (Tree*& t : holders_) TreeFree(&t);
  for (SparseVector*& v : lists_) SparseVectorFree(&v);
}

void BoxFinder::Find(int worker, const double* lower, const double* upper,
                     std::vector<uint32_t>* hits) const {
  if (grid_) {
    BoxGridFind(grid_, lower, upper, hits);
    return;
  }
  Tree* tree = holders_[worker];
  SparseVector* list = lists_[worker];
  list->count = 0;
  TreeReset(tree);
  TreeSearchBoxRec(tree, lower, upper, depth_, list);
  // The search lists the boxes in walk order, which is their numbering.
  for (int h = 0; h < list->count; ++h) hits->push_back(static_cast<uint32_t>(list->index[h]));
}

size_t BoxFinder::bytes() const { return BoxGridBytes(grid_); }

std::vector<char> BoxGraphCore(const BoxGraph& g, size_t* peakBytes) {
  const uint32_t n = g.count;
  // Predecessor lists (the transposed rows) and the counts of predecessors
  // and successors in the collection.
  std::vector<uint32_t> preds(n, 0), succs(n);
  for (uint32_t w : g.target) ++preds[w];
  std::vector<uint64_t> inFirst(static_cast<size_t>(n) + 1, 0);
  for (uint32_t v = 0; v < n; ++v) inFirst[v + 1] = inFirst[v] + preds[v];
  std::vector<uint32_t> source(g.target.size());
  {
    std::vector<uint64_t> at(inFirst.begin(), inFirst.end() - 1);
    for (uint32_t v = 0; v < n; ++v) {
      succs[v] = static_cast<uint32_t>(g.first[v + 1] - g.first[v]);
      for (uint64_t e = g.first[v]; e < g.first[v + 1]; ++e) source[at[g.target[e]]++] = v;
    }
  }
  std::vector<char> alive(n, 1);
  std::vector<uint32_t> queue;
  queue.reserve(n);
  for (uint32_t v = 0; v < n; ++v) {
    if (preds[v] == 0 || succs[v] == 0) {
      alive[v] = 0;
      queue.push_back(v);
    }
  }
  for (size_t q = 0; q < queue.size(); ++q) {
    const uint32_t v = queue[q];
    for (uint64_t e = g.first[v]; e < g.first[v + 1]; ++e) {
      const uint32_t w = g.target[e];
      if (alive[w] && --preds[w] == 0) {
        alive[w] = 0;
        queue.push_back(w);
      }
    }
    for (uint64_t e = inFirst[v]; e < inFirst[v + 1]; ++e) {
      const uint32_t u = source[e];
      if (alive[u] && --succs[u] == 0) {
        alive[u] = 0;
        queue.push_back(u);
      }
    }
  }
  if (peakBytes)
    *peakBytes = (preds.capacity() + succs.capacity() + source.capacity() + queue.capacity()) *
                     sizeof(uint32_t) +
                 inFirst.capacity() * sizeof(uint64_t) + alive.capacity() +
                 static_cast<size_t>(n) * sizeof(uint64_t);
  return alive;
}

void BoxGraphRecurrent(const BoxGraph& g, char* rec) {
  const uint32_t n = g.count;
  if (n == 0) return;
  // index: 0 unreached, then discovery number; done: assigned to a
  // component (never lowers a lowlink again).
  std::vector<uint32_t> index(n, 0), low(n, 0), comp, path;
  std::vector<uint64_t> edge(n, 0);
  std::vector<char> done(n, 0), self(n, 0);
  uint32_t counter = 0;
  for (uint32_t s = 0; s < n; ++s) {
    if (index[s] != 0) continue;
    index[s] = low[s] = ++counter;
    edge[s] = g.first[s];
    comp.push_back(s);
    path.push_back(s);
    while (!path.empty()) {
      const uint32_t v = path.back();
      if (edge[v] < g.first[v + 1]) {
        const uint32_t w = g.target[edge[v]++];
        if (w == v) self[v] = 1;
        if (index[w] == 0) {
          index[w] = low[w] = ++counter;
          edge[w] = g.first[w];
          comp.push_back(w);
          path.push_back(w);
        } else if (!done[w] && index[w] < low[v]) {
          low[v] = index[w];
        }
        continue;
      }
      // Every successor of v is reached: v closes its component when its
      // lowlink is its own number.
      path.pop_back();
      if (low[v] == index[v]) {
        if (comp.back() == v) {
          rec[v] = self[v];
          done[v] = 1;
          comp.pop_back();
        } else {
          uint32_t x;
          do {
            x = comp.back();
            comp.pop_back();
            rec[x] = 1;
            done[x] = 1;
          } while (x != v);
        }
      }
      if (!path.empty()) {
        const uint32_t p = path.back();
        if (low[v] < low[p]) low[p] = low[v];
      }
    }
  }
}

}  // namespace vesk
