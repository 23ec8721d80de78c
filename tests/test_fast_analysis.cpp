// The analyses on the stored box graph against the reference
// implementations (tests/reference_analysis.h), box for box: the result,
// the counts and every box of the trees (children, split coordinates,
// flags, numbers), on random trees and on the trees of real verification
// passes, with 1, 2 and 8 threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "analysis/box_graph.h"
#include "analysis/chain_recurrent.h"
#include "analysis/invariant_set.h"
#include "analysis/scc.h"
#include "analysis/workspace.h"
#include "analysis_oracle.h"
#include "tests/reference_analysis.h"
#include "tests/test_support.h"
#include "analysis/depth_boxes.h"
#include <climits>

using namespace vesk;
using vesktest::CloneTree;
using vesktest::MakeTree;
using vesktest::Snapshot;

namespace {

const int kThreadCounts[] = {1, 2, 8};

int Height(const Tree* t) { return TreeDepth(t->root); }

bool OnGrid(const Tree* t) {
  Tree* copy = CloneTree(t);
  DepthBoxes boxes;
  Workers one(1);
  CollectDepthBoxes(copy, -1, 1, 0, INT_MAX, one, &boxes);
  TreeFree(&copy);
  return boxes.onGrid;
}

// Random flags and numbers on every box, so that the analyses must leave
// alone what they do not own: flags other than bit 1, the numbers of boxes
// above the working depth, the leaves above it that carry flag bit 1.
void Scramble(Tree* t, std::mt19937& rng) {
  std::vector<Box*> stack{t->root};
  while (!stack.empty()) {
    Box* b = stack.back();
    stack.pop_back();
    b->flags = static_cast<uint8_t>(rng());
    b->no = static_cast<int32_t>(rng() % 1000) - 10;
    for (Box* c : b->child)
      if (c) stack.push_back(c);
  }
}

// Leaves above the working depth: points inserted at smaller depths.
void AddShallowLeaves(Tree* t, std::mt19937& rng) {
  const int D = Height(t);
  if (D < 2) return;
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 0, n = 1 + static_cast<int>(rng() % 8); i < n; ++i) {
    double p[4];
    for (int k = 0; k < 4; ++k) p[k] = t->domain->center[k] + u(rng) * t->domain->radius[k];
    TreeInsert(t, p, static_cast<int>(rng() % D), 0, 0);
  }
}

// A lifted tree over [-1, 1]^4 bisected along x only, holding the boxes at
// depth 10 that contain the given x values (y = u = v = 0).
Tree* Row(const std::vector<double>& xs) {
  Tree* t = MakeTree({0, 0, 0, 0}, {1, 1, 1, 1});
  for (int64_t k = 0; k <= TreeMaxDepth(t); ++k) t->sd[k] = 0;
  for (double x : xs) {
    const double p[4] = {x, 0, 0, 0};
    TreeInsert(t, p, 10, 0, 0);
  }
  return t;
}

// The boxes along an orbit of x -> a - x^2 with some left out: chains that
// the sweeps eat from both ends, one box a sweep, and cycles.
Tree* OrbitRow(std::mt19937& rng, double* a) {
  std::uniform_real_distribution<double> ua(0.2, 1.3);
  a[0] = ua(rng);
  a[1] = 0.0;
  std::vector<double> xs;
  double x = 0.0;
  for (int k = 0, n = 5 + static_cast<int>(rng() % 60); k < n && std::fabs(x) < 1; ++k) {
    if (rng() % 8) xs.push_back(x);
    x = a[0] - x * x;
  }
  return Row(xs);
}

// A lifted tree for the trials: random (see antest::RandomLiftedTree),
// along an orbit, or over a domain whose boxes are not exact doubles;
// sometimes with leaves above the working depth, sometimes with a split
// table changed after the boxes were made.
Tree* TrialTree(std::mt19937& rng, int trial, antest::Params* p) {
  *p = antest::RandomParams(rng);
  Tree* t;
  switch (trial % 6) {
    case 0:
      t = OrbitRow(rng, p->lo);
      p->hi[0] = p->lo[0];
      p->hi[1] = p->lo[1];
      break;
    case 1:
      t = MakeTree({0.1, -0.3, 0.7, 0.2}, {1.1, 0.9, 1.3, 1.7});
      for (int i = 0, n = static_cast<int>(rng() % 9); i < n; ++i) TreeSubdivideAll(t);
      break;
    default:
      t = antest::RandomLiftedTree(rng, 9);
  }
  if (rng() % 3 == 0) AddShallowLeaves(t, rng);
  Scramble(t, rng);
  if (trial % 6 == 5)
    for (int k = 0; k < 60; ++k) t->sd[k] = static_cast<uint8_t>(rng() % 4);
  return t;
}

void ExpectCursorOnRoot(const Tree* t) {
  EXPECT_EQ(t->box, t->root);
  EXPECT_EQ(t->depth, 0);
}

// Reference and fast invariant set on copies of t; 1 when the reference
// needed more than one sweep's worth of removals to finish (a chain).
void CompareInvariantSet(const Tree* t, double* lo, double* hi) {
  Tree* ref = CloneTree(t);
  const int want = reference::InvariantSet(ref, lo, hi);
  const std::vector<int64_t> wantBoxes = Snapshot(ref);
  TreeFree(&ref);
  for (int threads : kThreadCounts) {
    SCOPED_TRACE(threads);
    Tree* fast = CloneTree(t);
    const int got = threads == 1 ? InvariantSet(fast, lo, hi)
                                 : InvariantSetThreads(fast, lo, hi, threads);
    EXPECT_EQ(got, want);
    EXPECT_EQ(Snapshot(fast), wantBoxes);
    ExpectCursorOnRoot(fast);
    TreeFree(&fast);
  }
}

Tree* BaseOf(const Tree* lifted, std::mt19937& rng) {
  const double* c = lifted->domain->center;
  const double* r = lifted->domain->radius;
  // Now and then a base domain that misses every lifted center.
  Tree* base =
      rng() % 10 == 0 ? MakeTree({100, 100}, {1, 1}) : MakeTree({c[0], c[1]}, {r[0], r[1]});
  for (int i = 0, n = static_cast<int>(rng() % 4); i < n; ++i) TreeSubdivideAll(base);
  return base;
}

void FreeBase(Tree** base) {
  BoxFree(&(*base)->root->child[0]);
  BoxFree(&(*base)->root->child[1]);
  TreeFree(base);
}

void CompareChainRecSet(const Tree* t, const Tree* base, double* lo, double* hi) {
  Tree* ref = CloneTree(t);
  Tree* refBase = CloneTree(base);
  int wantBoxes = -7, wantRec = -7;
  const int want = reference::BaseChainRecSetCounted(ref, refBase, lo, hi, &wantBoxes, &wantRec);
  const std::vector<int64_t> wantLifted = Snapshot(ref), wantBase = Snapshot(refBase);
  const std::vector<uint8_t> wantTable(refBase->sd, refBase->sd + 300);
  for (int threads : kThreadCounts) {
    SCOPED_TRACE(threads);
    Tree* fast = CloneTree(t);
    Tree* fastBase = CloneTree(base);
    int boxes = -5, rec = -5;
    const int got =
        threads == 1 ? BaseChainRecSetCounted(fast, fastBase, lo, hi, &boxes, &rec)
                     : BaseChainRecSetCountedThreads(fast, fastBase, lo, hi, &boxes, &rec, threads);
    EXPECT_EQ(got, want);
    EXPECT_EQ(boxes, wantBoxes);
    EXPECT_EQ(rec, wantRec);
    EXPECT_EQ(Snapshot(fast), wantLifted);
    EXPECT_EQ(Snapshot(fastBase), wantBase);
    EXPECT_EQ(std::vector<uint8_t>(fastBase->sd, fastBase->sd + 300), wantTable);
    ExpectCursorOnRoot(fast);
    ExpectCursorOnRoot(fastBase);
    TreeFree(&fast);
    TreeFree(&fastBase);
  }
  TreeFree(&ref);
  TreeFree(&refBase);
}

}  // namespace

TEST(FastAnalysis, InvariantSetMatchesReferenceOnRandomTrees) {
  std::mt19937 rng(2718);
  int empty = 0, shrunk = 0, whole = 0, grid = 0;
  for (int trial = 0; trial < 240; ++trial) {
    SCOPED_TRACE(trial);
    antest::Params p;
    Tree* t = TrialTree(rng, trial, &p);
    grid += OnGrid(t);
    const int K = TreeCountDepth(t, Height(t));
    Tree* probe = CloneTree(t);
    const int left = reference::InvariantSet(probe, p.lo, p.hi);
    TreeFree(&probe);
    empty += left == 0;
    shrunk += left > 0 && left < K;
    whole += left == K;
    CompareInvariantSet(t, p.lo, p.hi);
    TreeFree(&t);
  }
  EXPECT_GT(empty, 20);
  EXPECT_GT(shrunk, 20);
  EXPECT_GT(whole, 20);
  EXPECT_GT(grid, 100);
  EXPECT_LT(grid, 200);
}

TEST(FastAnalysis, ChainRecSetMatchesReferenceOnRandomTrees) {
  std::mt19937 rng(1618);
  int untouched = 0, partly = 0, grid = 0;
  for (int trial = 0; trial < 180; ++trial) {
    SCOPED_TRACE(trial);
    antest::Params p;
    Tree* t = TrialTree(rng, trial, &p);
    grid += OnGrid(t);
    Tree* base = BaseOf(t, rng);
    const int K = TreeCountDepth(t, Height(t));
    Tree* probe = CloneTree(t);
    Tree* probeBase = CloneTree(base);
    const int left = reference::BaseChainRecSet(probe, probeBase, p.lo, p.hi);
    TreeFree(&probe);
    TreeFree(&probeBase);
    untouched += left == K;
    partly += left > 0 && left < K;
    CompareChainRecSet(t, base, p.lo, p.hi);
    FreeBase(&base);
    TreeFree(&t);
  }
  EXPECT_GT(untouched, 20);
  EXPECT_GT(partly, 20);
  EXPECT_GT(grid, 80);
}

TEST(FastAnalysis, ComputeSccMatchesReferenceOnBaseTrees) {
  std::mt19937 rng(577);
  for (int trial = 0; trial < 150; ++trial) {
    SCOPED_TRACE(trial);
    antest::Params p = antest::RandomParams(rng);
    Tree* t = trial % 5 == 0 ? MakeTree({0.1, -0.3}, {1.1, 0.9}) : MakeTree({0, 0.25}, {2, 1.5});
    if (rng() % 2)
      for (int k = 0; k < 40; ++k) t->sd[k] = static_cast<uint8_t>(rng() % 2);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const int L = static_cast<int>(rng() % 13);
    for (int i = 0, n = 1 + static_cast<int>(rng() % 400); i < n; ++i) {
      const double q[2] = {t->domain->center[0] + u(rng) * t->domain->radius[0],
                           t->domain->center[1] + u(rng) * t->domain->radius[1]};
      TreeInsert(t, q, rng() % 8 ? L : static_cast<int>(rng() % (L + 1)), 0, 0);
    }
    Tree* ref = CloneTree(t);
    const int N = TreeCountDepth(t, Height(t));
    std::vector<char> want(N, 9), got(N, 9);
    reference::ComputeScc(ref, p.lo, p.hi, want.data());
    for (int threads : kThreadCounts) {
      std::fill(got.begin(), got.end(), 9);
      ComputeSccThreads(t, p.lo, p.hi, got.data(), threads);
      EXPECT_EQ(got, want) << threads << " threads";
      EXPECT_EQ(Snapshot(t), Snapshot(ref));
    }
    TreeFree(&ref);
    TreeFree(&t);
  }
}

// The passes of the verification loop for several parameter boxes, from
// the root to depth 28 or a few thousand boxes: subdivision, chain
// recurrent set, invariant set, each analysis compared on the tree the
// reference left. Near a = 1.4 the set grows fast; the others stay small
// to depth 28.
TEST(FastAnalysis, MatchesReferenceOnVerificationPasses) {
  struct Case {
    double lo[2], hi[2];
    double R, Ru;
    int deepest;  // height the loop must reach
  };
  const Case cases[] = {
      {{1.4, 0.3}, {1.4, 0.3}, 2.0, 2.0, 16},
      {{5.9, 0.29}, {6.1, 0.31}, 3.25, 2.0, 28},
      {{0.2, 0.3}, {0.2, 0.3}, 2.0, 2.0, 28},
      {{0.3, -0.2}, {0.3009765625, -0.1990234375}, 2.0, 4.0, 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lo[0]);
    double lo[2] = {c.lo[0], c.lo[1]}, hi[2] = {c.hi[0], c.hi[1]};
    Tree* t = MakeTree({0, 0, 0, 0}, {c.R, c.R, c.Ru, c.Ru});
    Tree* base = MakeTree({0, 0}, {c.R, c.R});
    int deepest = 0;
    while (Height(t) < 28) {
      TreeSubdivideAll(t);
      SCOPED_TRACE(Height(t));
      if (TreeCountDepth(t, Height(t)) > 6000) break;
      deepest = Height(t);
      CompareChainRecSet(t, base, lo, hi);
      if (reference::BaseChainRecSet(t, base, lo, hi) <= 0) break;
      CompareInvariantSet(t, lo, hi);
      if (reference::InvariantSet(t, lo, hi) <= 0) break;
    }
    EXPECT_GE(deepest, c.deepest);
    FreeBase(&base);
    TreeFree(&t);
  }
}

// The invariant core of random graphs (spread over several chunks of
// lists, with self loops, cycles and chains that peel box by box) against
// removal until nothing changes, on 1 to 4 workers: one worker's queue and
// the rounds of two, three or more must leave the same boxes.
TEST(FastAnalysis, GraphCoreMatchesRemovalUntilNothingChanges) {
  std::mt19937 rng(19);
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    const uint32_t n = static_cast<uint32_t>(rng() % 5000);
    std::vector<std::vector<uint32_t>> out(n);
    for (uint32_t v = 0; v < n; ++v) {
      const int degree = static_cast<int>(rng() % 4);
      for (int k = 0; k < degree; ++k) {
        // Mostly near v (long chains), sometimes anywhere (cycles).
        const uint32_t t = rng() % 4 ? (v + 1 + rng() % 3) % n : rng() % n;
        if (std::find(out[v].begin(), out[v].end(), t) == out[v].end()) out[v].push_back(t);
      }
    }
    BoxGraph g;
    g.count = n;
    g.first.resize(static_cast<size_t>(n) + 1);
    g.first[0] = 0;
    g.piece.resize((n + kGraphChunk - 1) / kGraphChunk);
    for (uint32_t v = 0; v < n; ++v) {
      g.first[v + 1] = g.first[v] + out[v].size();
      for (uint32_t t : out[v]) g.piece[v / kGraphChunk].push_back(t);
    }
    std::vector<char> want(n, 1);
    for (bool changed = true; changed;) {
      changed = false;
      std::vector<char> pred(n, 0), succ(n, 0);
      for (uint32_t v = 0; v < n; ++v)
        for (uint32_t t : out[v])
          if (want[v] && want[t]) pred[t] = succ[v] = 1;
      for (uint32_t v = 0; v < n; ++v)
        if (want[v] && !(pred[v] && succ[v])) want[v] = 0, changed = true;
    }
    for (int w = 1; w <= 4; ++w) {
      Workers workers(w);
      // Places in the lists kept as positions, and as places within each
      // list (what graphs of 2^32 edges or more need).
      for (const uint64_t positionEdges : {uint64_t{UINT32_MAX}, uint64_t{0}}) {
        Scratch scratch;
        CoreBuffers buffers;
        buffers.scratch = &scratch;
        buffers.positionEdges = positionEdges;
        std::vector<char> alive;
        BoxGraphCore(g, workers, &buffers, &alive);
        ASSERT_EQ(alive, want) << w << " workers, positions up to " << positionEdges;
      }
    }
  }
}

// The chain recurrent set gathers the base boxes on the calling thread
// alone; the workspace's later steps must get all its workers back.
TEST(FastAnalysis, ChainRecSetLeavesTheWorkspaceItsWorkers) {
  PassWorkspace ws(2);
  if (ws.workers.count() < 2) GTEST_SKIP() << "a single hardware thread";
  std::mt19937 rng(2718);
  for (int trial = 0; trial < 4; ++trial) {
    antest::Params p;
    Tree* t = TrialTree(rng, trial, &p);
    Tree* base = BaseOf(t, rng);
    ws.lifted.depth = -1;
    BaseChainRecSetPass(t, base, p.lo, p.hi, nullptr, nullptr, &ws);
    EXPECT_EQ(ws.workers.count(), 2);
    FreeBase(&base);
    TreeFree(&t);
  }
}
