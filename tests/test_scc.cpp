// Box graph components: ComputeScc, scc_nonrec and TreeFindVisitBox against
// graphs built by testing every pair of boxes, with components from Boost.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "analysis/scc.h"
#include "analysis_oracle.h"
#include "map/henon.h"

using namespace vesk;
using antest::BoxesAt;
using antest::MakeTree;
using antest::OBox;

namespace {

const double kTiny = std::numeric_limits<double>::denorm_min();

int Height(const Tree* t) { return TreeDepth(t->root); }

// A 2-dimensional tree with all leaves at depth L: uniform, or grown by
// inserting random points at depth L. With `mixed`, some points are also
// inserted at smaller depths and the leaves there get stale numbers.
Tree* RandomBaseTree(std::mt19937& rng, bool mixed) {
  static const double radii[] = {1.0, 1.5, 2.0, 4.0};
  Tree* t = MakeTree({0.25 * (static_cast<int>(rng() % 5) - 2), 0.25 * (static_cast<int>(rng() % 5) - 2)},
                     {radii[rng() % 4], radii[rng() % 4]});
  if (rng() % 2)
    for (int k = 0; k < 40; ++k) t->sd[k] = static_cast<uint8_t>(rng() % 2);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto insert = [&](int depth) {
    const double p[2] = {t->domain->center[0] + u(rng) * t->domain->radius[0],
                         t->domain->center[1] + u(rng) * t->domain->radius[1]};
    TreeInsert(t, p, depth, 0, 0);
  };
  const int L = 1 + static_cast<int>(rng() % 11);
  if (!mixed && rng() % 2) {
    for (int i = 0, n = static_cast<int>(rng() % 10); i < n; ++i) TreeSubdivideAll(t);
  } else {
    for (int i = 0, n = 1 + static_cast<int>(rng() % 300); i < n; ++i) insert(L);
  }
  if (mixed) {
    for (int i = 0, n = 1 + static_cast<int>(rng() % 30); i < n; ++i)
      insert(static_cast<int>(rng() % L));
    const int N = TreeCountDepth(t, Height(t));
    for (int d = 0; d < Height(t); ++d)
      for (OBox& b : BoxesAt(t, d))
        if (!b.box->child[0] && !b.box->child[1])
          b.box->no = static_cast<int>(rng() % (N + 3)) - 1;
  }
  return t;
}

// Verdicts of the pair graph of the given images, widened or not.
std::vector<char> Oracle(const std::vector<OBox>& boxes, std::vector<double> lo,
                         std::vector<double> hi, bool widen) {
  if (widen)
    for (size_t k = 0; k < lo.size(); ++k) {
      lo[k] -= kTiny;
      hi[k] += kTiny;
    }
  return antest::RecurrentByBoost(antest::PairGraph(boxes, lo, hi));
}

// Runs scc_nonrec on hand-made images; rec starts cleared.
std::vector<char> RunScc(Tree* t, std::vector<double> lo, std::vector<double> hi) {
  std::vector<char> rec(TreeCountDepth(t, Height(t)), 0);
  EXPECT_EQ(scc_nonrec(t, 2, rec.data(), lo.data(), hi.data()), 0);
  return rec;
}

Tree* Uniform(int levels) {
  Tree* t = MakeTree({0.0, 0.0}, {1.0, 1.0});
  for (int i = 0; i < levels; ++i) TreeSubdivideAll(t);
  return t;
}

// Image of v: the point at the center of box w (meets w only), or a point
// outside the domain along coordinate 0, which every path bisects.
void PointAt(const std::vector<OBox>& b, int v, int w, std::vector<double>& lo,
             std::vector<double>& hi) {
  for (int k = 0; k < 2; ++k) lo[2 * v + k] = hi[2 * v + k] = w >= 0 ? b[w].c[k] : 5.0;
}

}  // namespace

#ifdef VESK_HAVE_BOOST
TEST(ComputeScc, MatchesBoostOnRandomTreesAndParameters) {
  std::mt19937 rng(20240611);
  int withMarks = 0, withoutMarks = 0, bigComponents = 0;
  for (int trial = 0; trial < 120; ++trial) {
    SCOPED_TRACE(trial);
    Tree* t = RandomBaseTree(rng, trial % 3 == 2);
    const antest::Params p = antest::RandomParams(rng);
    double lo[2] = {p.lo[0], p.lo[1]}, hi[2] = {p.hi[0], p.hi[1]};
    const std::vector<OBox> boxes = BoxesAt(t, Height(t));
    const size_t N = boxes.size();
    std::vector<char> rec(N + 1, 0x55);
    ComputeScc(t, lo, hi, rec.data());
    EXPECT_EQ(rec[N], 0x55);  // nothing written past the N boxes

    const std::vector<double> m = antest::Matrix(boxes);
    std::vector<double> ilo(2 * N), ihi(2 * N);
    realhenon(static_cast<int>(N), lo, hi, m.data(), ilo.data(), ihi.data());
    const std::vector<char> want = Oracle(boxes, ilo, ihi, true);
    int marked = 0;
    for (size_t v = 0; v < N; ++v) {
      ASSERT_EQ(boxes[v].box->no, static_cast<int>(v));
      ASSERT_EQ(rec[v] != 0, want[v] != 0) << "box " << v << " of " << N;
      marked += want[v];
    }
    withMarks += marked > 0;
    withoutMarks += marked < static_cast<int>(N);
    bigComponents += marked > 1;
    TreeFree(&t);
  }
  EXPECT_GT(withMarks, 20);
  EXPECT_GT(withoutMarks, 20);
  EXPECT_GT(bigComponents, 10);
}

TEST(SccNonrec, MatchesBoostOnHandMadeImages) {
  // Images that meet one box, a run of boxes between two centers, or none,
  // so that chains, cycles and components reached from later starts occur.
  std::mt19937 rng(77);
  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE(trial);
    Tree* t = Uniform(static_cast<int>(rng() % 7));
    const std::vector<OBox> b = BoxesAt(t, Height(t));
    const int N = static_cast<int>(b.size());
    std::vector<double> lo(2 * N), hi(2 * N);
    for (int v = 0; v < N; ++v) {
      const int kind = static_cast<int>(rng() % 4);
      const int w = kind == 0 ? -1 : static_cast<int>(rng() % N);
      PointAt(b, v, w, lo, hi);
      if (kind == 3) {
        const int x = static_cast<int>(rng() % N);
        for (int k = 0; k < 2; ++k) {
          lo[2 * v + k] = std::fmin(lo[2 * v + k], b[x].c[k]);
          hi[2 * v + k] = std::fmax(hi[2 * v + k], b[x].c[k]);
        }
      }
    }
    EXPECT_EQ(RunScc(t, lo, hi), Oracle(b, lo, hi, false));
    TreeFree(&t);
  }
}
#endif

TEST(SccNonrec, CyclesSelfLoopsAndChains) {
  Tree* t = Uniform(4);
  const std::vector<OBox> b = BoxesAt(t, 4);
  std::vector<double> lo(32), hi(32);
  auto graph = [&](std::vector<int> next) {
    for (int v = 0; v < 16; ++v) PointAt(b, v, v < static_cast<int>(next.size()) ? next[v] : -1, lo, hi);
    return RunScc(t, lo, hi);
  };
  std::vector<char> want(16, 0);
  // 0 <-> 1: one component of two boxes.
  want[0] = want[1] = 1;
  EXPECT_EQ(graph({1, 0}), want);
  // 3 -> 3 only: a one-box component with a self-loop.
  want.assign(16, 0);
  want[3] = 1;
  EXPECT_EQ(graph({-1, -1, -1, 3}), want);
  // Chain 0 -> 1 -> 2, and 4 -> 5 -> 6 -> 5 <- 7 (7 not led back to).
  want.assign(16, 0);
  want[5] = want[6] = 1;
  EXPECT_EQ(graph({1, 2, -1, -1, 5, 6, 5, 5}), want);
  // A later start (2) whose image meets the finished component {0, 1}
  // is not joined to it.
  want.assign(16, 0);
  want[0] = want[1] = 1;
  EXPECT_EQ(graph({1, 0, 0, 2}), want);
  TreeFree(&t);
}

TEST(SccNonrec, ImagesTouchingAFaceAreEdges) {
  // Boxes 0 (x, y in [-1, 0]) and 1 (x in [-1, 0], y in [0, 1]). Image of
  // 0 lies on the domain face x = -1 over box 1's y range; image of 1
  // reaches x = -1 from outside and lies on the face y = -1.
  Tree* t = Uniform(2);
  std::vector<double> lo = {-1, 0.25, -3, -1, 5, 5, 5, 5};
  std::vector<double> hi = {-1, 0.75, -1, -1, 5, 5, 5, 5};
  EXPECT_EQ(RunScc(t, lo, hi), (std::vector<char>{1, 1, 0, 0}));
  hi[2] = std::nextafter(-1.0, -2.0);  // one step short of the face
  EXPECT_EQ(RunScc(t, lo, hi), (std::vector<char>{0, 0, 0, 0}));
  TreeFree(&t);
}

TEST(ComputeScc, RootAloneHasASelfLoop) {
  Tree* t = MakeTree({0.0, 0.0}, {1.0, 1.0});
  double lo[2] = {10.0, 0.0}, hi[2] = {10.0, 0.0};  // image far outside
  char rec[1] = {0};
  ComputeScc(t, lo, hi, rec);
  EXPECT_EQ(rec[0], 1);
  TreeFree(&t);
}

TEST(ComputeScc, WideningBySmallestDoubleMakesTheEdge) {
  // x in [-1, 1]; y within 2^-1070 above 2^-1074 (or mirrored below
  // -2^-1074); split x, then y. With b = 0 the image's y range is the box's
  // x range, whose bound 0 meets the y halves only once widened by 2^-1074:
  // a = -0.5 sends x in [-1, 0] to itself (upper bound 0 -> 2^-1074 reaches
  // box 0), a = 1.5 sends x in [0, 1] to itself (lower bound 0 -> -2^-1074
  // reaches box 3). Each gets its self-loop from the widening alone.
  const double h = std::ldexp(1.0, -1071);
  for (int mirror = 0; mirror < 2; ++mirror) {
    SCOPED_TRACE(mirror);
    Tree* t = MakeTree({0.0, mirror ? -(kTiny + h) : kTiny + h}, {1.0, h});
    TreeSubdivideAll(t);
    TreeSubdivideAll(t);
    double a[2] = {mirror ? 1.5 : -0.5, 0.0};
    std::vector<char> rec(4, 9), want(4, 0);
    want[mirror ? 3 : 0] = 1;
    ComputeScc(t, a, a, rec.data());
    EXPECT_EQ(rec, want);

    const std::vector<OBox> b = BoxesAt(t, 2);
    const std::vector<double> m = antest::Matrix(b);
    std::vector<double> lo(8), hi(8);
    realhenon(4, a, a, m.data(), lo.data(), hi.data());
    EXPECT_EQ(mirror ? lo[7] : hi[1], 0.0);
    EXPECT_EQ(RunScc(t, lo, hi), (std::vector<char>(4, 0)));  // unwidened
#ifdef VESK_HAVE_BOOST
    EXPECT_EQ(rec, Oracle(b, lo, hi, true));
#endif
    TreeFree(&t);
  }
}

TEST(ComputeScc, RefusesTreesThatAreNotPlanar) {
  Tree* t = MakeTree({0, 0, 0}, {1, 1, 1});
  TreeSubdivideAll(t);
  double p[2] = {1.4, 0.3};
  char rec[2] = {7, 7};
  const std::string err = antest::StderrOf([&] { ComputeScc(t, p, p, rec); });
  EXPECT_NE(err.find("error: libvesk: "), std::string::npos);
  EXPECT_EQ(rec[0], 7);
  EXPECT_EQ(rec[1], 7);
  TreeFree(&t);
}

TEST(TreeFindVisitBox, FirstUnreachedLeafOrLowlinkOnly) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 100; ++trial) {
    SCOPED_TRACE(trial);
    Tree* t = RandomBaseTree(rng, trial % 2 == 1);
    const std::vector<OBox> b = BoxesAt(t, Height(t));
    const int N = TreeCountDepth(t, Height(t));
    ASSERT_EQ(N, static_cast<int>(b.size()));
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    double lo[2], hi[2];
    for (int k = 0; k < 2; ++k) {
      lo[k] = t->domain->center[k] + u(rng) * t->domain->radius[k];
      hi[k] = lo[k] + std::fabs(u(rng)) * t->domain->radius[k] / 4;
    }
    int first = -1, lowest = N + 1;
    for (int w = 0; w < N; ++w)
      if (antest::Meets(lo, hi, b[w])) {
        if (first < 0) first = w;
        lowest = std::min(lowest, w + 1);
      }
    // Nothing reached yet: the first met leaf in walk order, cursor on it.
    std::vector<int> dfs(N, 0), low(N, N + 1);
    TreeReset(t);
    ASSERT_EQ(TreeFindVisitBox(t, lo, hi, dfs.data(), low.data(), 0), first);
    if (first >= 0) {
      EXPECT_EQ(t->box, b[first].box);
      EXPECT_EQ(std::vector<double>(t->c, t->c + 2), b[first].c);
      EXPECT_EQ(std::vector<double>(t->r, t->r + 2), b[first].r);
    }
    // Everything reached: lowlink lowered to the smallest discovery number
    // met, cursor back where it started.
    for (int w = 0; w < N; ++w) dfs[w] = w + 1;
    TreeReset(t);
    ASSERT_EQ(TreeFindVisitBox(t, lo, hi, dfs.data(), low.data(), 0), -1);
    EXPECT_EQ(low[0], lowest);
    EXPECT_EQ(t->box, t->root);
    EXPECT_EQ(t->depth, 0);
    EXPECT_EQ(std::vector<double>(t->c, t->c + 2),
              std::vector<double>(t->domain->center, t->domain->center + 2));
    EXPECT_EQ(std::vector<double>(t->r, t->r + 2),
              std::vector<double>(t->domain->radius, t->domain->radius + 2));
    TreeFree(&t);
  }
}

TEST(SccNonrec, LeavesAboveTheDeepestLevelAreNoVertices) {
  // Root split along x; only the upper half is refined to depth 3. The
  // lower half stays a leaf at depth 1 carrying the stale number 0.
  Tree* t = MakeTree({0.0, 0.0}, {1.0, 1.0});
  TreeSubdivideAll(t);
  Box* upper = t->root->child[1];
  BoxSubdivide(upper, 1);
  BoxSubdivide(upper->child[0], 0);
  BoxSubdivide(upper->child[1], 0);
  t->root->child[0]->no = 0;
  // Box 0's image lies in the stale leaf; the others' images leave the domain.
  std::vector<double> lo = {-0.5, 0, 5, 5, 5, 5, 5, 5};
  EXPECT_EQ(RunScc(t, lo, lo), (std::vector<char>(4, 0)));

  std::vector<int> dfs = {0, 1, 0, 0}, low = {5, 5, 5, 5};
  TreeReset(t);
  EXPECT_EQ(TreeFindVisitBox(t, lo.data(), lo.data(), dfs.data(), low.data(), 1), -1);
  dfs[0] = 1;
  TreeReset(t);
  EXPECT_EQ(TreeFindVisitBox(t, lo.data(), lo.data(), dfs.data(), low.data(), 1), -1);
  EXPECT_EQ(low[1], 5);
  TreeFree(&t);
}
