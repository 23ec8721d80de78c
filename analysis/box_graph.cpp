// Box graph: searches, the invariant core and the recurrent components.
#include "analysis/box_graph.h"

#include <algorithm>
#include <atomic>

#include "tree/search.h"

namespace vesk {

BoxFinder::BoxFinder(Tree* tree, const DepthBoxes& boxes, const int* order, int workers)
    : depth_(boxes.depth),
      grid_(boxes.onGrid ? BoxGridNew(tree, boxes.depth, boxes.cell.data(),
                                      static_cast<uint32_t>(boxes.count), order)
                         : nullptr) {
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

namespace {

// Entries per chunk of a peeling round or of the first frontier.
constexpr size_t kPeelChunk = 4096;

}  // namespace

std::vector<char> BoxGraphCore(const BoxGraph& g, Workers& workers) {
  const uint32_t n = g.count;
  // Predecessor lists: the transposed rows, each in increasing order. The
  // sources are cut into a few blocks; block b counts its edges into every
  // target, so that it knows where in each predecessor list its own sources
  // go, before the blocks write them.
  const size_t blocks = static_cast<size_t>(std::min(workers.count(), 4));
  auto block = [&](size_t b) { return static_cast<uint32_t>(n * static_cast<uint64_t>(b) / blocks); };
  std::vector<uint32_t> at(blocks * n, 0);
  workers.Run(blocks, [&](int, size_t b) {
    uint32_t* count = at.data() + b * n;
    for (uint64_t e = g.first[block(b)]; e < g.first[block(b + 1)]; ++e) ++count[g.target[e]];
  });
  std::vector<uint32_t> preds(n), succs(n);
  std::vector<uint64_t> inFirst(static_cast<size_t>(n) + 1, 0);
  for (uint32_t t = 0; t < n; ++t) {
    uint32_t total = 0;
    for (size_t b = 0; b < blocks; ++b) {
      const uint32_t c = at[b * n + t];
      at[b * n + t] = total;
      total += c;
    }
    preds[t] = total;
    inFirst[t + 1] = inFirst[t] + total;
  }
  std::vector<uint32_t> source(g.target.size());
  workers.Run(blocks, [&](int, size_t b) {
    uint32_t* offset = at.data() + b * n;
    for (uint32_t v = block(b); v < block(b + 1); ++v)
      for (uint64_t e = g.first[v]; e < g.first[v + 1]; ++e) {
        const uint32_t t = g.target[e];
        source[inFirst[t] + offset[t]++] = v;
      }
  });
  std::vector<uint32_t>().swap(at);

  // The first boxes to go: no predecessor or no successor at all.
  std::vector<char> alive(n, 1);
  const size_t firstChunks = ChunkCount(n, kPeelChunk);
  std::vector<std::vector<uint32_t>> found(firstChunks);
  workers.Run(firstChunks, [&](int, size_t c) {
    const ChunkRange r = ChunkOf(c, kPeelChunk, n);
    for (size_t v = r.first; v < r.end; ++v) {
      succs[v] = static_cast<uint32_t>(g.first[v + 1] - g.first[v]);
      if (preds[v] == 0 || succs[v] == 0) {
        alive[v] = 0;
        found[c].push_back(static_cast<uint32_t>(v));
      }
    }
  });
  std::vector<uint32_t> queue;
  for (std::vector<uint32_t>& f : found) {
    queue.insert(queue.end(), f.begin(), f.end());
    std::vector<uint32_t>().swap(f);
  }

  // Removing a box drops the predecessor counts of its successors and the
  // successor counts of its predecessors; a box whose count reaches 0 goes
  // in turn. Whatever the order, what is left is the largest collection in
  // which every box has a predecessor and a successor.
  if (workers.count() == 1) {
    for (size_t q = 0; q < queue.size(); ++q) {
      const uint32_t v = queue[q];
      for (uint64_t e = g.first[v]; e < g.first[v + 1]; ++e) {
        const uint32_t t = g.target[e];
        if (alive[t] && --preds[t] == 0) {
          alive[t] = 0;
          queue.push_back(t);
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
    return alive;
  }
  // In rounds: the boxes of one round on all workers, a box that goes
  // claimed by the one worker that takes its count to 0 and clears its
  // mark first.
  auto drop = [&](uint32_t box, std::vector<uint32_t>& counts, std::vector<uint32_t>& next) {
    std::atomic_ref<char> mark(alive[box]);
    if (!mark.load(std::memory_order_relaxed)) return;
    if (std::atomic_ref<uint32_t>(counts[box]).fetch_sub(1, std::memory_order_relaxed) != 1) return;
    if (mark.exchange(0, std::memory_order_relaxed)) next.push_back(box);
  };
  while (!queue.empty()) {
    const size_t chunks = ChunkCount(queue.size(), kPeelChunk);
    found.assign(chunks, {});
    workers.Run(chunks, [&](int, size_t c) {
      const ChunkRange r = ChunkOf(c, kPeelChunk, queue.size());
      for (size_t q = r.first; q < r.end; ++q) {
        const uint32_t v = queue[q];
        for (uint64_t e = g.first[v]; e < g.first[v + 1]; ++e) drop(g.target[e], preds, found[c]);
        for (uint64_t e = inFirst[v]; e < inFirst[v + 1]; ++e) drop(source[e], succs, found[c]);
      }
    });
    queue.clear();
    for (const std::vector<uint32_t>& f : found) queue.insert(queue.end(), f.begin(), f.end());
  }
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
