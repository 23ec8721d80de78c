// The box graph stored once per analysis: one image and one search per
// box, the hit lists kept as compressed rows of 32-bit box numbers. On it,
// the largest collection in which every box has a predecessor and a
// successor (the invariant set), and the strongly connected components
// (the chain recurrent set).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "analysis/depth_boxes.h"
#include "analysis/parallel.h"
#include "io/sparse_vector.h"
#include "tree/tree.h"

namespace vesk {

// Finds the boxes at the working depth that a query box meets, exactly as
// TreeSearchBoxRec from the root does: through the grid lookup when the
// boxes lie on one exact grid, otherwise by that search on one tree holder
// (TreeCopy) per worker. Workers 0..workers-1 may search at once.
class BoxFinder {
 public:
  // Looks up through `grid` (the caller's, left as it is) when that is not
  // null, otherwise searches `tree` at `depth` with one holder for each of
  // the `workers` workers.
  BoxFinder(Tree* tree, int depth, const BoxGrid* grid, int workers);
  ~BoxFinder();
  BoxFinder(const BoxFinder&) = delete;
  BoxFinder& operator=(const BoxFinder&) = delete;

  // Appends the numbers of the boxes met by [lower, upper], each once, in
  // an order that depends on the boxes and the query alone.
  void Find(int worker, const double* lower, const double* upper, HitList* hits) const;

 private:
  int depth_;
  const BoxGrid* grid_;
  std::vector<Tree*> holders_;
  std::vector<SparseVector*> lists_;
};

// Builds into *grid the lookup of the boxes (order and keyed: see
// BoxGridNew) and returns it, or null when they are not on one exact grid.
// The lookup's parts are built on the workers; the lookup is the same on
// any number of them.
const BoxGrid* DepthBoxesGrid(BoxGrid* grid, const Tree* tree, const DepthBoxes& boxes,
                              Workers& workers, const int* order, int keyed = -1);

// Boxes per chunk of work: fixed, so that chunks, and everything computed
// from them, do not depend on the number of threads.
constexpr size_t kGraphChunk = 1024;

// Successor lists: box v's image meets the first[v + 1] - first[v] boxes
// listed from BoxGraphRow(g, v) on, each once (in the order of the search,
// which does not depend on the threads). The lists of the boxes of chunk c
// (boxes c * kGraphChunk on) lie one after the other in piece[c], as the
// chunk's worker wrote them.
struct BoxGraph {
  uint32_t count = 0;
  FillVector<uint64_t> first;
  std::vector<HitList> piece;
  std::vector<uint64_t> chunkFirst;  // while building: first[] of each chunk's first box
};

inline const uint32_t* BoxGraphRow(const BoxGraph& g, uint32_t v) {
  const size_t c = v / kGraphChunk;
  return g.piece[c].data() + (g.first[v] - g.first[c * kGraphChunk]);
}

// Builds the graph of `count` boxes whose image boxes have `dim`
// coordinates. images(worker, first, end) returns the lower and the upper
// bounds of the image boxes of boxes first..end-1 (dim doubles per box
// each), valid until the worker's next call. Images and searches run on the
// workers, one chunk of boxes at a time.
template <typename Images>
void BoxGraphBuild(const BoxFinder& finder, Workers& workers, uint32_t count, int dim,
                   Images&& images, BoxGraph* g) {
  g->count = count;
  g->first.resize(static_cast<size_t>(count) + 1);
  g->first[0] = 0;
  const size_t chunks = ChunkCount(count, kGraphChunk);
  g->piece.resize(chunks);
  workers.Run(chunks, [&](int worker, size_t c) {
    const ChunkRange r = ChunkOf(c, kGraphChunk, count);
    const size_t n = r.end - r.first;
    const auto [lo, hi] = images(worker, r.first, r.end);
    // Each chunk's list is a vector of its own: vectors of different
    // workers side by side would share cache lines.
    HitList& out = g->piece[c];
    out.clear();
    out.reserve(n * 8);
    // first[] within the chunk for now: the chunks' lengths are added on.
    for (size_t i = 0; i < n; ++i) {
      finder.Find(worker, lo + i * dim, hi + i * dim, &out);
      g->first[r.first + i + 1] = out.size();
    }
  });
  g->chunkFirst.resize(chunks);
  uint64_t before = 0;
  for (size_t c = 0; c < chunks; ++c) {
    g->chunkFirst[c] = before;
    before += g->piece[c].size();
  }
  workers.Run(chunks, [&](int, size_t c) {
    const ChunkRange r = ChunkOf(c, kGraphChunk, count);
    const uint64_t at = g->chunkFirst[c];
    if (at == 0) return;
    for (size_t v = r.first + 1; v <= r.end; ++v) g->first[v] += at;
  });
}

// What BoxGraphCore works in, kept from call to call: its large arrays
// are laid out in `scratch` (which the caller may use for other arrays
// between calls).
struct CoreBuffers {
  Scratch* scratch = nullptr;
  std::vector<uint64_t> chunkSum;
  std::vector<uint64_t> chunkLive;
  std::vector<uint32_t> queue;
  std::vector<HitList> found;  // per chunk, then per worker
  std::vector<HitList> route;  // per chunk of a round and worker
  // Up to this many edges, the places where the blocks write into the
  // predecessor lists are kept as positions in the lists; beyond it (and
  // always beyond 2^32 - 1) as places counted from the start of each list.
  uint64_t positionEdges = UINT32_MAX;
};

// The largest collection of boxes in which every box has a successor and a
// predecessor: boxes that lose their last predecessor or their last
// successor in the collection are removed one after the other, their
// neighbours' counts dropping. (*alive)[v] = 1 for the boxes left, 0 for
// the others. The predecessor lists are built on `workers` threads.
void BoxGraphCore(const BoxGraph& g, Workers& workers, CoreBuffers* buffers,
                  std::vector<char>* alive);

// rec[v] = 1 for every box in a strongly connected component of two or
// more boxes or with an edge to itself, 0 for the others (iterative
// Tarjan search over the stored lists).
void BoxGraphRecurrent(const BoxGraph& g, char* rec);
// The same, its arrays laid out in `scratch`.
void BoxGraphRecurrent(const BoxGraph& g, char* rec, Scratch* scratch);

}  // namespace vesk
