// Box graph: searches, the invariant core and the recurrent components.
#include "analysis/box_graph.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "tree/search.h"

namespace vesk {

const BoxGrid* DepthBoxesGrid(BoxGrid* grid, const Tree* tree, const DepthBoxes& boxes,
                              Workers& workers, const int* order, int keyed) {
  if (!boxes.onGrid) return nullptr;
  const uint32_t count = static_cast<uint32_t>(boxes.count);
  if (!BoxGridBegin(grid, tree, boxes.depth, count, order, keyed)) return nullptr;
  const uint32_t* cell = boxes.cell.data();
  // Below a few chunks of boxes, waking the other workers costs more than
  // the part they would build.
  if (workers.count() == 1 || count < 4 * kGraphChunk) {
    BoxGridFindRuns(grid, cell, -1);
    BoxGridNumberRuns(grid);
    BoxGridPlace(grid, cell, -1);
    return grid;
  }
  workers.Run(kGridParts, [&](int, size_t part) {
    BoxGridFindRuns(grid, cell, static_cast<int>(part));
  });
  BoxGridNumberRuns(grid);
  workers.Run(kGridParts, [&](int, size_t part) {
    BoxGridPlace(grid, cell, static_cast<int>(part));
  });
  return grid;
}

BoxFinder::BoxFinder(Tree* tree, int depth, const BoxGrid* grid, int workers)
    : depth_(depth), grid_(grid) {
  if (grid_) return;
  // Each worker searches the tree with a cursor of its own.
  const int w = workers < 1 ? 1 : workers;
  for (int i = 0; i < w; ++i) {
    holders_.push_back(TreeCopy(tree));
    lists_.push_back(SparseVectorNew(0, 16));
  }
}

BoxFinder::~BoxFinder() {
  for (Tree*& t : holders_) TreeFree(&t);
  for (SparseVector*& v : lists_) SparseVectorFree(&v);
}

void BoxFinder::Find(int worker, const double* lower, const double* upper,
                     HitList* hits) const {
  if (grid_) {
    BoxGridFind(grid_, lower, upper, hits, 0);
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

namespace {

// Boxes per chunk of the first frontier.
constexpr size_t kPeelChunk = 4096;

}  // namespace

void BoxGraphCore(const BoxGraph& g, Workers& workers, CoreBuffers* buffers,
                  std::vector<char>* aliveOut) {
  const uint32_t n = g.count;
  std::vector<char>& alive = *aliveOut;
  alive.assign(n, 1);
  if (n == 0) return;
  // Predecessor lists: the transposed rows. The sources are cut into a few
  // blocks; block b counts its edges into every target, so that it knows
  // where in each predecessor list its own sources go, before the blocks
  // write them.
  //
  // With one or two blocks, the boxes that go at once (no predecessor or
  // no successor at all: most of what goes) are left out of the lists as
  // if removed already: block 0 writes its sources from the start of each
  // list on and block 1 from its end back, so that where each block stops
  // tells how many of its sources are left, and no count of another block
  // is needed. Three blocks or more write every source, in increasing
  // order, and the first boxes to go are removed like the others.
  const size_t blocks = static_cast<size_t>(std::min(workers.count(), 4));
  const bool twoEnded = blocks <= 2;
  // The blocks hold about as many edges each: their rows are what the
  // count reads, and the boxes' edges are far from even over their numbers
  // (a fifth more in one half than in the other on the bench pass), which
  // left one worker waiting. With two blocks, the count's blocks only add
  // up to each list's length: the lists are written, and peeled, in blocks
  // that hold as many edges of the boxes left after the first removal.
  const size_t edges = g.first[n];
  uint32_t bound[5] = {};
  bound[blocks] = n;
  for (size_t b = 1; b < blocks; ++b) {
    const uint64_t half = edges * b / blocks;
    const size_t v = std::lower_bound(g.first.begin(), g.first.begin() + n, half) - g.first.begin();
    bound[b] = std::max(bound[b - 1], static_cast<uint32_t>(v));
  }
  auto block = [&](size_t b) { return bound[b]; };
  // The arrays, laid out one after the other in the scratch memory.
  size_t end[6] = {};
  end[0] = ScratchEnd<uint32_t>(0, blocks * n);             // at
  end[1] = ScratchEnd<uint32_t>(end[0], n);                 // preds
  end[2] = ScratchEnd<uint32_t>(end[1], n);                 // succs
  end[3] = ScratchEnd<uint64_t>(end[2], size_t{n} + 1);     // inFirst
  end[4] = ScratchEnd<uint32_t>(end[3], edges);             // source
  Scratch& scratch = *buffers->scratch;
  scratch.Layout(end[4]);
  uint32_t* const at = scratch.Array<uint32_t>(0, blocks * n);
  uint32_t* const preds = scratch.Array<uint32_t>(end[0], n);
  uint32_t* const succs = scratch.Array<uint32_t>(end[1], n);
  uint64_t* const inFirst = scratch.Array<uint64_t>(end[2], size_t{n} + 1);
  uint32_t* const source = scratch.Array<uint32_t>(end[3], edges);
  workers.Run(blocks, [&](int, size_t b) {
    uint32_t* count = at + b * n;
    std::fill(count, count + n, 0u);
    // The block's lists lie one after the other in the pieces of its
    // chunks: one loop over them, with no branch at the end of each list.
    const uint32_t v0 = block(b), v1 = block(b + 1);
    for (size_t c = v0 / kGraphChunk; c * kGraphChunk < v1; ++c) {
      const uint64_t base = g.first[c * kGraphChunk];
      const uint32_t* piece = g.piece[c].data();
      const uint64_t from = g.first[std::max<size_t>(v0, c * kGraphChunk)] - base;
      const uint64_t to = g.first[std::min<size_t>(v1, (c + 1) * kGraphChunk)] - base;
      for (uint64_t k = from; k < to; ++k) ++count[piece[k]];
    }
  });
  // Each target's count of predecessors, where each block's sources start
  // among them, and where its list starts: running sums within chunks of
  // targets, then the chunks' sums carried over. The same walk over the
  // boxes finds the first boxes to go: no predecessor or no successor at
  // all.
  const size_t sumChunks = ChunkCount(n, kPeelChunk);
  std::vector<uint64_t>& chunkSum = buffers->chunkSum;
  chunkSum.assign(sumChunks + 1, 0);
  // Per chunk, with two blocks: the edges of the boxes that stay.
  std::vector<uint64_t>& chunkLive = buffers->chunkLive;
  if (blocks == 2) chunkLive.assign(sumChunks + 1, 0);
  inFirst[0] = 0;
  std::vector<HitList>& found = buffers->found;
  if (found.size() < sumChunks) found.resize(sumChunks);
  // One or two blocks, the common cases, with the sums over the blocks
  // written out; block 1 writes its part of a list from the end back.
  auto sums = [&](auto fixedBlocks) {
    workers.Run(sumChunks, [&](int, size_t c) {
      const ChunkRange r = ChunkOf(c, kPeelChunk, n);
      HitList& out = found[c];
      out.clear();
      uint64_t sum = 0, live = 0;
      for (size_t t = r.first; t < r.end; ++t) {
        uint32_t total;
        if constexpr (fixedBlocks == 1) {
          total = at[t];
          at[t] = 0;
        } else if constexpr (fixedBlocks == 2) {
          total = at[t] + at[n + t];
          at[t] = 0;
          at[n + t] = total;
        } else {
          total = 0;
          for (size_t b = 0; b < blocks; ++b) {
            const uint32_t k = at[b * n + t];
            at[b * n + t] = total;
            total += k;
          }
          preds[t] = total;
        }
        sum += total;
        inFirst[t + 1] = sum;
        const uint32_t outDegree = static_cast<uint32_t>(g.first[t + 1] - g.first[t]);
        succs[t] = outDegree;
        if (total == 0 || outDegree == 0) {
          alive[t] = 0;
          out.push_back(static_cast<uint32_t>(t));
        } else if constexpr (fixedBlocks == 2) {
          live += outDegree;
        }
      }
      chunkSum[c + 1] = sum;
      if constexpr (fixedBlocks == 2) chunkLive[c + 1] = live;
    });
  };
  if (blocks == 1)
    sums(std::integral_constant<int, 1>{});
  else if (blocks == 2)
    sums(std::integral_constant<int, 2>{});
  else
    sums(std::integral_constant<int, 0>{});
  for (size_t c = 0; c < sumChunks; ++c) chunkSum[c + 1] += chunkSum[c];
  if (blocks == 2) {
    // Where the edges of the boxes left reach half their number.
    for (size_t c = 0; c < sumChunks; ++c) chunkLive[c + 1] += chunkLive[c];
    const uint64_t half = chunkLive[sumChunks] / 2;
    const size_t c =
        std::upper_bound(chunkLive.begin(), chunkLive.end(), half) - chunkLive.begin() - 1;
    uint64_t live = chunkLive[c];
    uint32_t v = static_cast<uint32_t>(std::min<size_t>(c * kPeelChunk, n));
    for (; v < n && live < half; ++v)
      if (alive[v]) live += g.first[v + 1] - g.first[v];
    bound[1] = v;
  }
  // With fewer than 2^32 edges, each block's place in a target's list
  // becomes a position in the lists themselves while the sums are carried
  // over, and writing the lists reads one array less at random.
  const bool positions = edges <= std::min<uint64_t>(buffers->positionEdges, UINT32_MAX);
  workers.Run(sumChunks, [&](int, size_t c) {
    const ChunkRange r = ChunkOf(c, kPeelChunk, n);
    const uint64_t carry = chunkSum[c];
    if (positions) {
      uint64_t start = carry;
      for (size_t t = r.first; t < r.end; ++t) {
        for (size_t b = 0; b < blocks; ++b) at[b * n + t] += static_cast<uint32_t>(start);
        start = inFirst[t + 1] += carry;
      }
    } else if (c != 0) {
      for (size_t t = r.first; t < r.end; ++t) inFirst[t + 1] += carry;
    }
  });
  auto write = [&](auto byPosition) {
    workers.Run(blocks, [&](int, size_t b) {
      uint32_t* place = at + b * n;
      const bool back = twoEnded && b == 1;
      for (uint32_t v = block(b); v < block(b + 1); ++v) {
        if (twoEnded && !alive[v]) continue;
        const uint32_t* row = BoxGraphRow(g, v);
        const uint64_t m = g.first[v + 1] - g.first[v];
        if (back) {
          for (uint64_t k = 0; k < m; ++k) {
            const uint32_t t = row[k];
            source[(byPosition ? 0 : inFirst[t]) + --place[t]] = v;
          }
        } else {
          for (uint64_t k = 0; k < m; ++k) {
            const uint32_t t = row[k];
            source[(byPosition ? 0 : inFirst[t]) + place[t]++] = v;
          }
        }
      }
    });
  };
  if (positions)
    write(std::true_type{});
  else
    write(std::false_type{});
  // Where block 0's part of t's list ends, and where block 1's part starts,
  // once the lists are written (at[] holds positions, or places counted
  // from the start of the list).
  auto end0 = [&](uint32_t t) -> uint64_t { return positions ? at[t] : inFirst[t] + at[t]; };
  auto start1 = [&](uint32_t t) -> uint64_t {
    return positions ? at[n + t] : inFirst[t] + at[n + t];
  };

  std::vector<uint32_t>& queue = buffers->queue;
  queue.clear();
  for (size_t c = 0; c < sumChunks; ++c) queue.insert(queue.end(), found[c].begin(), found[c].end());
  // The first `skip` boxes of the queue are out of the lists and out of the
  // predecessor counts below: only their predecessors' successor counts
  // are left to drop. The boxes whose predecessors all went with them go
  // next.
  size_t skip = 0;
  if (twoEnded) {
    skip = queue.size();
    // How many sources of each list are left: block 0's part runs from the
    // start of the list to at[t], block 1's from at[n + t] to its end.
    auto lefts = [&](auto two, auto byPosition) {
      workers.Run(sumChunks, [&](int, size_t c) {
        const ChunkRange r = ChunkOf(c, kPeelChunk, n);
        HitList& out = found[c];
        out.clear();
        for (size_t t = r.first; t < r.end; ++t) {
          const uint64_t first = inFirst[t];
          uint32_t left = static_cast<uint32_t>(at[t] - (byPosition ? first : 0));
          if (two)
            left += static_cast<uint32_t>(inFirst[t + 1] - (byPosition ? 0 : first) - at[n + t]);
          preds[t] = left;
          if (left == 0 && alive[t]) {
            alive[t] = 0;
            out.push_back(static_cast<uint32_t>(t));
          }
        }
      });
    };
    if (blocks == 2 && positions)
      lefts(std::true_type{}, std::true_type{});
    else if (blocks == 2)
      lefts(std::true_type{}, std::false_type{});
    else if (positions)
      lefts(std::false_type{}, std::true_type{});
    else
      lefts(std::false_type{}, std::false_type{});
    for (size_t c = 0; c < sumChunks; ++c) queue.insert(queue.end(), found[c].begin(), found[c].end());
  }

  // Removing a box drops the predecessor counts of its successors and the
  // successor counts of its predecessors; a box whose count reaches 0 goes
  // in turn. Whatever the order, what is left is the largest collection in
  // which every box has a predecessor and a successor.
  //
  // Box v going: the predecessor counts of its successors in [lo, lo +
  // span) drop (t - lo < span in one unsigned comparison), and the
  // successor counts of the predecessors listed in [from, to); gone(x) is
  // called for each box whose count reaches 0.
  auto dropSuccessors = [&](uint32_t v, uint32_t lo, uint32_t span, auto&& gone) {
    const uint32_t* row = BoxGraphRow(g, v);
    for (uint64_t k = 0, m = g.first[v + 1] - g.first[v]; k < m; ++k) {
      const uint32_t t = row[k];
      if (t - lo < span && alive[t] && --preds[t] == 0) {
        alive[t] = 0;
        gone(t);
      }
    }
  };
  auto dropPredecessors = [&](uint64_t from, uint64_t to, auto&& gone) {
    for (uint64_t e = from; e < to; ++e) {
      const uint32_t u = source[e];
      if (alive[u] && --succs[u] == 0) {
        alive[u] = 0;
        gone(u);
      }
    }
  };
  if (workers.count() == 1) {
    auto push = [&](uint32_t x) { queue.push_back(x); };
    for (size_t q = 0; q < queue.size(); ++q) {
      const uint32_t v = queue[q];
      if (q >= skip) dropSuccessors(v, 0, n, push);
      dropPredecessors(inFirst[v], end0(v), push);
    }
    return;
  }
  // In rounds. Each box's counts and its alive byte belong to one worker
  // (the boxes cut into w slices by number), so nothing is written by two
  // workers; the boxes that go in a round make the next one.
  const int w = workers.count();
  if (found.size() < static_cast<size_t>(w)) found.resize(w);
  if (w == 2) {
    // Both workers read every box of a round and drop only the counts they
    // own: each successor is read twice, but the random accesses to the
    // counts, which are what costs, are shared out, and nothing is routed.
    // The slices are the two blocks of sources of the predecessor lists,
    // so each worker reads only its own block's part of these lists.
    auto slice = [&](size_t o) { return block(o); };
    while (!queue.empty()) {
      workers.Run(static_cast<size_t>(w), [&](int, size_t o) {
        const uint32_t lo = slice(o), span = slice(o + 1) - lo;
        HitList& out = found[o];
        out.clear();
        auto push = [&](uint32_t x) { out.push_back(x); };
        for (size_t q = 0; q < queue.size(); ++q) {
          const uint32_t v = queue[q];
          if (q >= skip) dropSuccessors(v, lo, span, push);
          if (o == 0)
            dropPredecessors(inFirst[v], end0(v), push);
          else
            dropPredecessors(start1(v), inFirst[v + 1], push);
        }
      });
      queue.clear();
      skip = 0;
      for (int o = 0; o < w; ++o) queue.insert(queue.end(), found[o].begin(), found[o].end());
    }
    return;
  }
  // From three workers on, reading every round on every worker would not
  // scale: the boxes of a round are shared out in chunks that route every
  // count to drop to its owner (a successor's predecessor count, or a
  // predecessor's successor count, the top bit telling which), then each
  // owner drops its counts.
  const uint64_t scale = ((uint64_t{static_cast<uint32_t>(w)} << 32) + n - 1) / n;
  auto owner = [&](uint32_t t) {
    const uint32_t o = static_cast<uint32_t>((t * scale) >> 32);
    return o < static_cast<uint32_t>(w) ? o : static_cast<uint32_t>(w - 1);
  };
  constexpr uint32_t kSuccessorCount = 0x80000000u;
  std::vector<HitList>& route = buffers->route;
  while (!queue.empty()) {
    const size_t chunks = ChunkCount(queue.size(), kPeelChunk);
    if (route.size() < chunks * w) route.resize(chunks * w);
    workers.Run(chunks, [&](int, size_t c) {
      const ChunkRange r = ChunkOf(c, kPeelChunk, queue.size());
      HitList* to = route.data() + c * w;
      for (int o = 0; o < w; ++o) to[o].clear();
      for (size_t q = r.first; q < r.end; ++q) {
        const uint32_t v = queue[q];
        const uint32_t* row = BoxGraphRow(g, v);
        // Boxes gone already need no count dropped (nothing changes alive
        // while the counts are routed).
        for (uint64_t k = 0, m = g.first[v + 1] - g.first[v]; k < m; ++k)
          if (alive[row[k]]) to[owner(row[k])].push_back(row[k]);
        for (uint64_t e = inFirst[v]; e < inFirst[v + 1]; ++e)
          if (alive[source[e]]) to[owner(source[e])].push_back(source[e] | kSuccessorCount);
      }
    });
    workers.Run(static_cast<size_t>(w), [&](int, size_t o) {
      HitList& out = found[o];
      out.clear();
      for (size_t c = 0; c < chunks; ++c)
        for (const uint32_t x : route[c * w + o]) {
          const uint32_t t = x & ~kSuccessorCount;
          uint32_t* count = x & kSuccessorCount ? succs : preds;
          if (alive[t] && --count[t] == 0) {
            alive[t] = 0;
            out.push_back(t);
          }
        }
    });
    queue.clear();
    for (int o = 0; o < w; ++o) queue.insert(queue.end(), found[o].begin(), found[o].end());
  }
}

void BoxGraphRecurrent(const BoxGraph& g, char* rec) {
  Scratch scratch;
  BoxGraphRecurrent(g, rec, &scratch);
}

void BoxGraphRecurrent(const BoxGraph& g, char* rec, Scratch* scratch) {
  const size_t n = g.count;
  if (n == 0) return;
  // index: 0 unreached, then discovery number; done: assigned to a
  // component (never lowers a lowlink again). The component stack and the
  // search path each hold a box at most once.
  size_t end[6];
  end[0] = ScratchEnd<uint64_t>(0, n);
  end[1] = ScratchEnd<uint32_t>(end[0], n);
  end[2] = ScratchEnd<uint32_t>(end[1], n);
  end[3] = ScratchEnd<uint32_t>(end[2], n);
  end[4] = ScratchEnd<uint32_t>(end[3], n);
  end[5] = ScratchEnd<char>(end[4], 2 * n);
  scratch->Layout(end[5]);
  uint64_t* const edge = scratch->Array<uint64_t>(0, n);
  uint32_t* const index = scratch->Array<uint32_t>(end[0], n);
  uint32_t* const low = scratch->Array<uint32_t>(end[1], n);
  uint32_t* const comp = scratch->Array<uint32_t>(end[2], n);
  uint32_t* const path = scratch->Array<uint32_t>(end[3], n);
  char* const done = scratch->Array<char>(end[4], 2 * n);
  char* const self = done + n;
  std::fill_n(index, n, 0u);
  std::fill_n(done, 2 * n, 0);
  size_t comps = 0, steps = 0;  // the stacks' heights
  uint32_t counter = 0;
  for (uint32_t s = 0; s < n; ++s) {
    if (index[s] != 0) continue;
    index[s] = low[s] = ++counter;
    edge[s] = g.first[s];
    comp[comps++] = s;
    path[steps++] = s;
    while (steps > 0) {
      const uint32_t v = path[steps - 1];
      if (edge[v] < g.first[v + 1]) {
        const uint32_t w = BoxGraphRow(g, v)[edge[v]++ - g.first[v]];
        if (w == v) self[v] = 1;
        if (index[w] == 0) {
          index[w] = low[w] = ++counter;
          edge[w] = g.first[w];
          comp[comps++] = w;
          path[steps++] = w;
        } else if (!done[w] && index[w] < low[v]) {
          low[v] = index[w];
        }
        continue;
      }
      // Every successor of v is reached: v closes its component when its
      // lowlink is its own number.
      --steps;
      if (low[v] == index[v]) {
        if (comp[comps - 1] == v) {
          rec[v] = self[v];
          done[v] = 1;
          --comps;
        } else {
          uint32_t x;
          do {
            x = comp[--comps];
            rec[x] = 1;
            done[x] = 1;
          } while (x != v);
        }
      }
      if (steps > 0) {
        const uint32_t p = path[steps - 1];
        if (low[v] < low[p]) low[p] = low[v];
      }
    }
  }
}

}  // namespace vesk
