// Invariant collection of the tangent lift against a plain fixed point
// iteration over all pairs of boxes; nnz; the cone test against a scan of
// the leaves.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "analysis/invariant_set.h"
#include "analysis_oracle.h"
#include "map/henon.h"

using namespace vesk;
using antest::BoxesAt;
using antest::MakeTree;
using antest::OBox;

namespace {

int Height(const Tree* t) { return TreeDepth(t->root); }

std::vector<double> Key(const OBox& b) {
  std::vector<double> key = b.c;
  key.insert(key.end(), b.r.begin(), b.r.end());
  return key;
}

// Keeps the boxes with an image and a preimage among the kept ones until
// nothing changes; the survivors in walk order.
std::vector<std::vector<double>> Model(const std::vector<OBox>& boxes, double* lo, double* hi) {
  const size_t K = boxes.size();
  const std::vector<double> m = antest::Matrix(boxes);
  std::vector<double> ilo(4 * K), ihi(4 * K);
  t_realhenon(static_cast<int>(K), lo, hi, m.data(), ilo.data(), ihi.data());
  std::vector<char> alive(K, 1);
  for (bool changed = true; changed;) {
    std::vector<char> pre(K, 0), img(K, 0);
    for (size_t i = 0; i < K; ++i)
      for (size_t j = 0; alive[i] && j < K; ++j)
        if (alive[j] && antest::Meets(&ilo[4 * i], &ihi[4 * i], boxes[j])) img[i] = pre[j] = 1;
    changed = false;
    for (size_t i = 0; i < K; ++i)
      if (alive[i] && !(pre[i] && img[i])) alive[i] = 0, changed = true;
  }
  std::vector<std::vector<double>> out;
  for (size_t i = 0; i < K; ++i)
    if (alive[i]) out.push_back(Key(boxes[i]));
  return out;
}

// Runs InvariantSet and compares with the model; returns the result.
int CheckAgainstModel(Tree* t, double* lo, double* hi) {
  const int D = Height(t);
  const std::vector<std::vector<double>> want = Model(BoxesAt(t, D), lo, hi);
  const int result = InvariantSet(t, lo, hi);
  const std::vector<OBox> kept = BoxesAt(t, D);
  std::vector<std::vector<double>> got;
  for (size_t i = 0; i < kept.size(); ++i) {
    got.push_back(Key(kept[i]));
    EXPECT_EQ(kept[i].box->no, static_cast<int>(i));
    EXPECT_TRUE(kept[i].box->flags & 1);
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(result, static_cast<int>(want.size()));
  return result;
}

// A lifted tree over [-1, 1]^4 bisected along x only, holding the boxes of
// depth 10 that contain the given x values (y = u = v = 0).
Tree* RowOfBoxes(const std::vector<double>& xs) {
  Tree* t = MakeTree({0, 0, 0, 0}, {1, 1, 1, 1});
  for (int64_t k = 0; k <= TreeMaxDepth(t); ++k) t->sd[k] = 0;
  for (double x : xs) {
    const double p[4] = {x, 0, 0, 0};
    TreeInsert(t, p, 10, 0, 0);
  }
  return t;
}

}  // namespace

TEST(InvariantSet, MatchesFixedPointOnRandomTrees) {
  std::mt19937 rng(31337);
  int empty = 0, shrunk = 0;
  for (int trial = 0; trial < 120; ++trial) {
    SCOPED_TRACE(trial);
    Tree* t = antest::RandomLiftedTree(rng, 9);
    antest::Params p = antest::RandomParams(rng);
    const int K = TreeCountDepth(t, Height(t));
    const int left = CheckAgainstModel(t, p.lo, p.hi);
    empty += left == 0;
    shrunk += left > 0 && left < K;
    TreeFree(&t);
  }
  EXPECT_GT(empty, 10);
  EXPECT_GT(shrunk, 10);
}

TEST(InvariantSet, ChainLosesBothEndsEverySweep) {
  // With a = 0.5, b = 0 the orbit 0 -> 0.5 -> 0.25 -> 0.4375 -> 0.30859375
  // leaves the five boxes at 0.40478.., so each image meets only the next
  // box; no image meets the first box.
  double a[2] = {0.5, 0.0};
  const std::vector<double> chain = {0.0, 0.5, 0.25, 0.4375, 0.30859375};
  Tree* t = RowOfBoxes(chain);
  ASSERT_EQ(TreeCountDepth(t, 10), 5);
  EXPECT_EQ(CheckAgainstModel(t, a, a), 0);
  EXPECT_EQ(TreeCountDepth(t, 10), 0);
  TreeFree(&t);

  // The box around the fixed point (sqrt(3) - 1) / 2 maps into itself and
  // outlives the chain.
  std::vector<double> xs = chain;
  xs.push_back((std::sqrt(3.0) - 1) / 2);
  t = RowOfBoxes(xs);
  EXPECT_EQ(CheckAgainstModel(t, a, a), 1);
  TreeFree(&t);
}

TEST(InvariantSet, RootAloneIsAFixedPoint) {
  // The search never compares the start box with the image.
  Tree* t = MakeTree({0, 0, 0, 0}, {1, 1, 1, 1});
  double a[2] = {10.0, 0.3};
  EXPECT_EQ(InvariantSet(t, a, a), 1);
  EXPECT_TRUE(t->root->flags & 1);
  TreeFree(&t);
}

TEST(InvariantSet, RefusesTreesThatAreNotLifted) {
  Tree* t = MakeTree({0, 0}, {2, 2});
  TreeSubdivideAll(t);
  double a[2] = {1.4, 0.3};
  int result = 0;
  const std::string err = antest::StderrOf([&] { result = InvariantSet(t, a, a); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(err.rfind("error: libvesk: ", 0), 0u) << err;
  EXPECT_EQ(TreeCount(t->root), 3);
  TreeFree(&t);
}

TEST(Nnz, CountsNonzeroBytes) {
  char bytes[] = {0, 1, 2, 0, static_cast<char>(-128)};
  EXPECT_EQ(nnz(bytes, 4), 2);
  EXPECT_EQ(nnz(bytes, 5), 3);
  EXPECT_EQ(nnz(bytes, 0), 0);
  EXPECT_EQ(nnz(bytes, -1), 0);
  EXPECT_EQ(nnz(nullptr, 0), 0);
}

TEST(CheckIsolated, ConeTestOnOneLeaf) {
  auto test = [](double r2, int n, double c2 = 0.25) {
    Tree* t = MakeTree({0, 0, c2, -0.25}, {1, 1, r2, 0.2});
    const int result = CheckIsolated(t, n);
    TreeFree(&t);
    return result;
  };
  EXPECT_EQ(test(0.3, 2), 1);    // sums 0.85 and 0.65
  EXPECT_EQ(test(0.375, 2), 0);  // 0.75 + 0.25 is exactly 1
  EXPECT_EQ(test(std::nextafter(0.375, 0.0), 2), 1);
  EXPECT_EQ(test(0.3, 2, std::numeric_limits<double>::quiet_NaN()), 1);  // NaN passes
  // n = 3 on 4 coordinates: only coordinate 3 lies in the range 3..5 and
  // within the tree.
  EXPECT_EQ(test(0.375, 3), 1);
  EXPECT_EQ(test(0.375, 1), 0);
  EXPECT_EQ(test(5.0, 0), 1);
  EXPECT_EQ(test(5.0, -2), 1);
  Tree* t = MakeTree({0, 0, 0, 0.5}, {1, 1, 0.1, 0.25});
  EXPECT_EQ(CheckIsolated(t, 3), 0);  // coordinate 3: 0.5 + 0.5
  TreeFree(&t);
}

TEST(CheckIsolated, MatchesScanOfTheLeaves) {
  std::mt19937 rng(99);
  int passed = 0, failed = 0;
  for (int trial = 0; trial < 100; ++trial) {
    SCOPED_TRACE(trial);
    Tree* t = antest::RandomLiftedTree(rng, 8);
    static const double tangent[] = {0.25, 0.375, 0.5, 0.75};
    t->domain->radius[2] = t->domain->radius[3] = tangent[rng() % 4];
    if (rng() % 2) {  // leaves at several depths
      std::uniform_real_distribution<double> u(-1.0, 1.0);
      for (int i = 0; i < 10; ++i) {
        double p[4];
        for (int k = 0; k < 4; ++k) p[k] = t->domain->center[k] + u(rng) * t->domain->radius[k];
        TreeInsert(t, p, static_cast<int>(rng() % 12), 0, 0);
      }
    }
    bool want = true;
    for (int d = 0; d <= Height(t); ++d)
      for (const OBox& b : BoxesAt(t, d))
        if (!b.box->child[0] && !b.box->child[1])
          for (int i = 2; i < 4; ++i) want = want && 2 * b.r[i] + std::fabs(b.c[i]) < 1.0;
    const int got = CheckIsolated(t, 2);
    EXPECT_EQ(got, want ? 1 : 0);
    passed += got == 1;
    failed += got == 0;
    TreeFree(&t);
  }
  EXPECT_GT(passed, 5);
  EXPECT_GT(failed, 5);
}
