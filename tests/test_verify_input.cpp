// What the entry points accept for verification, checked against the
// conditions evaluated independently (the orbit square with MPFR), and the
// promise that matters: no accepted input proves a parameter box that holds
// a non-hyperbolic map. The library itself still runs on uneven trees; the
// last tests pin down how.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/invariant_set.h"
#include "gateway/driver.h"
#include "map/henon.h"
#include "tests/test_support.h"

#ifdef VESK_HAVE_MPFR
#include <mpfr.h>
#endif

namespace {

using vesk::Tree;
using vesktest::MakeTree;

#ifdef VESK_HAVE_MPFR
// Whether [c - r, c + r] holds [-R, R] for R = (s + sqrt(s^2 + 4A)) / 2,
// s = 1 + B, the exact radius of the square of bounded orbits, with margin
// m added to R.
bool HoldsOrbitSquare(double c, double r, double A, double B, double m) {
  mpfr_t s, t, R, lo, hi;
  mpfr_inits2(300, s, t, R, lo, hi, static_cast<mpfr_ptr>(nullptr));
  mpfr_set_d(s, B, MPFR_RNDN);
  mpfr_add_ui(s, s, 1, MPFR_RNDN);
  mpfr_mul(t, s, s, MPFR_RNDN);
  mpfr_set_d(R, A, MPFR_RNDN);
  mpfr_mul_ui(R, R, 4, MPFR_RNDN);
  mpfr_add(t, t, R, MPFR_RNDN);
  mpfr_sqrt(t, t, MPFR_RNDU);
  mpfr_add(R, s, t, MPFR_RNDU);
  mpfr_div_ui(R, R, 2, MPFR_RNDU);
  mpfr_add_d(R, R, m, MPFR_RNDU);
  mpfr_set_d(lo, c, MPFR_RNDN);
  mpfr_sub_d(lo, lo, r, MPFR_RNDN);  // exact at 300 bits
  mpfr_set_d(hi, c, MPFR_RNDN);
  mpfr_add_d(hi, hi, r, MPFR_RNDN);
  mpfr_neg(t, R, MPFR_RNDN);
  const bool holds = mpfr_cmp(lo, t) <= 0 && mpfr_cmp(hi, R) >= 0;
  mpfr_clears(s, t, R, lo, hi, static_cast<mpfr_ptr>(nullptr));
  return holds;
}

TEST(VerifyInput, AcceptsOnlySoundInputsAndNeverProvesANonHyperbolicMap) {
  // Parameter boxes around a = -0.1225, b = 0.3 (a fixed point with
  // eigenvalue 1) and a = 1.4, b = 0.3 (not hyperbolic), on random small
  // domains, some of which break one condition or another.
  const double bad[2][2] = {{-0.1225, 0.3}, {1.4, 0.3}};
  const double stateC[] = {0.0, 0.0, 0.0, -0.25, 0.5};
  const double stateR[] = {0.5, 1.0, 1.5, 2.0, 2.0625, 2.5, 3.25, 4.0};
  const double tanC[] = {0.0, 0.0, 0.0, 0.5, -1.0, 8.0};
  const double tanR[] = {0.25, 0.5, 0.75, 1.0, 2.0, 4.0};
  const double widths[] = {0.0, 0x1p-10, 0x1p-6};
  const int depths[] = {0, 4, 8, 10};
  std::mt19937 rng(2026);
  auto pick = [&rng](const auto& array) {
    return array[rng() % (sizeof array / sizeof array[0])];
  };
  int accepted = 0, refused = 0;
  for (int trial = 0; trial < 500; ++trial) {
    double c[4], r[4];
    c[0] = c[1] = pick(stateC);
    r[0] = r[1] = pick(stateR);
    c[2] = c[3] = pick(tanC);
    r[2] = r[3] = pick(tanR);
    if (rng() % 8 == 0) (rng() % 2 ? c[1] : r[1]) = pick(stateR);
    if (rng() % 8 == 0) (rng() % 2 ? c[3] : r[3]) = pick(tanR);
    const double* p = bad[rng() % 2];
    double lo[2], hi[2];
    for (int i = 0; i < 2; ++i) {
      lo[i] = p[i] - pick(widths);
      hi[i] = p[i] + pick(widths);
    }
    if (rng() % 10 == 0) std::swap(lo[rng() % 2], hi[rng() % 2]);
    if (rng() % 20 == 0) (rng() % 2 ? lo : hi)[rng() % 2] = rng() % 2 ? NAN : INFINITY;
    const int depth = pick(depths);
    SCOPED_TRACE(testing::Message() << "trial " << trial << ": center " << c[0] << "," << c[1]
                                    << "," << c[2] << "," << c[3] << " radius " << r[0] << ","
                                    << r[1] << "," << r[2] << "," << r[3] << " a [" << lo[0]
                                    << ", " << hi[0] << "] b [" << lo[1] << ", " << hi[1]
                                    << "] depth " << depth);

    Tree* t = MakeTree({c[0], c[1], c[2], c[3]}, {r[0], r[1], r[2], r[3]});
    for (int d = 0; d < depth; ++d) vesk::TreeSubdivideAll(t);
    char why[1024];
    const vesk::VerifyInputStatus status = vesk::VerifyCheckInput(t, lo, hi, depth, why,
                                                                 sizeof why);
    bool params = true;
    for (int i = 0; i < 2; ++i)
      params = params && std::isfinite(lo[i]) && std::isfinite(hi[i]) && lo[i] <= hi[i];
    const bool grids = c[0] == c[1] && r[0] == r[1] && c[2] == c[3] && r[2] == r[3];
    const bool tangent = c[2] == 0.0 && r[2] >= 1.0;
    const double A = std::fmax(std::fabs(lo[0]), std::fabs(hi[0]));
    const double B = std::fmax(std::fabs(lo[1]), std::fabs(hi[1]));
    if (status == vesk::kInputOk) {
      ++accepted;
      EXPECT_STREQ(why, "");
      ASSERT_TRUE(params && grids && tangent);
      ASSERT_TRUE(HoldsOrbitSquare(c[0], r[0], A, B, 0.0));
      double value = -1.0;
      const vesk::VerifyOptions once{1, -1, 1, 0, 0};
      EXPECT_NE(vesk::VerifyHyperbolic(t, lo, hi, &once, nullptr, &value),
                vesk::kVerifyHyperbolic);
      EXPECT_EQ(value, 0.0);
    } else {
      ++refused;
      EXPECT_GT(std::string(why).size(), 20u);
      // Not stricter than it must be: a domain that holds the square with
      // room to spare, on dyadic grids at these depths, is accepted.
      const bool fine =
          params && grids && tangent && HoldsOrbitSquare(c[0], r[0], A, B, 0x1p-18);
      EXPECT_FALSE(fine) << why;
    }
    vesk::TreeFree(&t);
  }
  EXPECT_GT(accepted, 50);
  EXPECT_GT(refused, 150);
}
#endif  // VESK_HAVE_MPFR

const double kHorseshoeLo[2] = {5.9, 0.29};
const double kHorseshoeHi[2] = {6.1, 0.31};

TEST(VerifyInput, TangentDomainAtTheEdgesOfTheConeTest) {
  // A radius of exactly 1 and a center of zero of either sign are what the
  // cone test needs; the doubles next to them are not.
  struct Case {
    double c, r;
    vesk::VerifyInputStatus want;
  };
  const Case cases[] = {
      {0.0, std::nextafter(1.0, 0.0), vesk::kInputTangent},
      {0.0, 1.0, vesk::kInputOk},
      {1e-300, 2.0, vesk::kInputTangent},
      {-1e-300, 2.0, vesk::kInputTangent},
      {-0.0, 2.0, vesk::kInputOk},
      {-0.0, 1.0, vesk::kInputOk},
  };
  for (const Case& k : cases) {
    Tree* t = MakeTree({0, 0, k.c, k.c}, {3.25, 3.25, k.r, k.r});
    vesk::TreeSubdivideAll(t);
    char why[1024];
    EXPECT_EQ(vesk::VerifyCheckInput(t, kHorseshoeLo, kHorseshoeHi, 8, why, sizeof why), k.want)
        << "u, v in " << k.c << " +- " << k.r << ": " << why;
    if (k.want == vesk::kInputTangent) {
      EXPECT_NE(std::string(why).find("center 0 and a radius of at least 1"), std::string::npos)
          << why;
    }
    vesk::TreeFree(&t);
  }
}

TEST(VerifyInput, SplitTableLeadingWithYOrVIsRefusedAtTheTreesOwnHeight) {
  // Once mode analyses the tree at its height and nowhere deeper: the table
  // must not have bisected y more often than x (v more often than u) there.
  // Heights at which the counts are even again are fine.
  struct Case {
    int order[4];
    int height;
    bool fit;
  };
  const Case cases[] = {
      {{1, 0, 2, 3}, 1, false}, {{1, 0, 2, 3}, 2, true},  {{1, 0, 2, 3}, 4, true},
      {{1, 0, 2, 3}, 5, false}, {{0, 1, 3, 2}, 3, false}, {{0, 1, 3, 2}, 4, true},
  };
  for (const Case& k : cases) {
    Tree* t = MakeTree({0, 0, 0, 0}, {3.25, 3.25, 2, 2});
    for (int64_t d = 0; d <= vesk::TreeMaxDepth(t); ++d) t->sd[d] = k.order[d % 4];
    for (int d = 0; d < k.height; ++d) vesk::TreeSubdivideAll(t);
    ASSERT_EQ(vesk::TreeDepth(t->root), k.height);
    char why[1024];
    const vesk::VerifyInputStatus status =
        vesk::VerifyCheckInput(t, kHorseshoeLo, kHorseshoeHi, k.height, why, sizeof why);
    EXPECT_EQ(status, k.fit ? vesk::kInputOk : vesk::kInputSplits)
        << "table " << k.order[0] << k.order[1] << k.order[2] << k.order[3] << " at height "
        << k.height << ": " << why;
    if (!k.fit) {
      EXPECT_NE(std::string(why).find(k.order[0] == 1 ? "bisects y more often than x"
                                                        : "bisects v more often than u"),
                std::string::npos)
          << why;
    }
    vesk::TreeFree(&t);
  }
}

// x-only trees over [-2, 2]^4: the walk geometry is one coordinate deep.
Tree* XOnlyTree() {
  Tree* t = MakeTree({0, 0, 0, 0}, {2, 2, 2, 2});
  for (int64_t k = 0; k <= vesk::TreeMaxDepth(t); ++k) t->sd[k] = 0;
  return t;
}

TEST(UnevenTrees, InvariantSetSearchesTheWorkingDepthNotTheLeaves) {
  // a = 2, b = 0: x' = 2 - x^2. At depth 10 (cells of 1/256), F = [1,
  // 1 + 1/256] maps onto [0.99217.., 1], touching itself and meeting B =
  // [0.9921875, 0.99609375]; B maps onto [1.00779.., 1.01556..], which
  // meets no box of depth 10, only the leaf L = [1.0078125, 1.015625] of
  // depth 9. So B has a preimage but no image at the working depth.
  Tree* t = XOnlyTree();
  const double f[4] = {1.001, 0, 0, 0}, b[4] = {0.994, 0, 0, 0}, l[4] = {1.01, 0, 0, 0};
  vesk::TreeInsert(t, f, 10, 0, 0);
  vesk::TreeInsert(t, b, 10, 0, 0);
  vesk::TreeInsert(t, l, 9, 0, 0);
  ASSERT_EQ(vesk::TreeCountDepth(t, 10), 2);
  ASSERT_EQ(vesk::TreeCountDepth(t, -1), 3);
  double a[2] = {2.0, 0.0};
  EXPECT_EQ(vesk::InvariantSet(t, a, a), 1);
  ASSERT_TRUE(vesk::TreeFirstBox(t, 10));
  EXPECT_EQ(t->c[0] - t->r[0], 1.0) << "F must be the box left";
  EXPECT_FALSE(vesk::TreeNextBox(t, 10));
  vesk::TreeFree(&t);
}

TEST(UnevenTrees, LoopLineCountsLeavesNotBoxesAtTheHeight) {
  // Three leaves: two at depth 2 under the lower half, the upper half a
  // leaf at depth 1.
  Tree* t = MakeTree({0, 0, 0, 0}, {4, 4, 2, 2});
  vesk::TreeSubdivideAll(t);
  vesk::TreeSetFlags(t, -1, "10", 2);
  ASSERT_EQ(vesk::TreeSubdivide(t, 2), 1);
  ASSERT_EQ(vesk::TreeCountDepth(t, 2), 2);
  std::string text;
  vesk::VerifyHooks hooks{};
  hooks.user = &text;
  hooks.print = [](void* user, const char* s) { *static_cast<std::string*>(user) += s; };
  const double lo[2] = {-10.0, 0.29}, hi[2] = {-9.9, 0.31};
  const vesk::VerifyOptions loop{0, 3, 1, 0, 0};
  EXPECT_EQ(vesk::VerifyHyperbolic(t, lo, hi, &loop, &hooks, nullptr), vesk::kVerifyHyperbolic);
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), "detph  2:\t #cubs =       3\n");
  vesk::TreeFree(&t);
}

// Boxes at depth `at` below box (at depth `depth`), counted without the
// cursor.
int BoxesAt(const vesk::Box* box, int depth, int at) {
  if (!box) return 0;
  if (depth == at) return 1;
  return BoxesAt(box->child[0], depth + 1, at) + BoxesAt(box->child[1], depth + 1, at);
}

int LeavesBelow(const vesk::Box* box) {
  if (!box) return 0;
  if (!box->child[0] && !box->child[1]) return 1;
  return LeavesBelow(box->child[0]) + LeavesBelow(box->child[1]);
}

// What the stage hook reports, and the same counted on the tree when the
// hook is called: the leaves for the subdivision, the boxes at the working
// depth for the analyses.
struct StageCounts {
  explicit StageCounts(Tree* t) : tree(t) {}
  Tree* tree;
  int working = -1;
  std::vector<std::tuple<vesk::VerifyStage, int, int>> seen;  // stage, reported, counted

  vesk::VerifyHooks Hooks() {
    vesk::VerifyHooks hooks{};
    hooks.user = this;
    hooks.stage = [](void* user, vesk::VerifyStage stage, int boxes) {
      auto* self = static_cast<StageCounts*>(user);
      int counted;
      if (stage == vesk::kStageSubdivide) {
        counted = LeavesBelow(self->tree->root);
      } else {
        if (stage == vesk::kStageChainRecurrent) self->working = vesk::TreeDepth(self->tree->root);
        counted = BoxesAt(self->tree->root, 0, self->working);
      }
      self->seen.emplace_back(stage, boxes, counted);
    };
    return hooks;
  }
};

// Three leaves: two at depth 2 under the lower half, the upper half a leaf
// at depth 1.
Tree* ThreeLeaves() {
  Tree* t = MakeTree({0, 0, 0, 0}, {4, 4, 2, 2});
  vesk::TreeSubdivideAll(t);
  vesk::TreeSetFlags(t, -1, "10", 2);
  EXPECT_EQ(vesk::TreeSubdivide(t, 2), 1);
  EXPECT_EQ(vesk::TreeCountDepth(t, 2), 2);
  return t;
}

TEST(UnevenTrees, StageHookGetsTheBoxesAtTheWorkingDepth) {
  // Loop mode: the first pass subdivides 3 leaves, of which the two at the
  // height make the 4 boxes of the working depth 3; the leaf at depth 1
  // makes two boxes at depth 2, which are not among them.
  Tree* t = ThreeLeaves();
  StageCounts loop(t);
  vesk::VerifyHooks hooks = loop.Hooks();
  const vesk::VerifyOptions options{0, 5, 1, 0, 0};
  vesk::VerifyHyperbolic(t, kHorseshoeLo, kHorseshoeHi, &options, &hooks, nullptr);
  ASSERT_GE(loop.seen.size(), 2u);
  EXPECT_EQ(loop.seen[0], std::make_tuple(vesk::kStageSubdivide, 3, 3));
  EXPECT_EQ(loop.seen[1], std::make_tuple(vesk::kStageChainRecurrent, 4, 4));
  for (const auto& [stage, reported, counted] : loop.seen)
    EXPECT_EQ(reported, counted) << vesk::VerifyStageName(stage);
  vesk::TreeFree(&t);

  // Once mode works at the height as it is: the two leaves there.
  t = ThreeLeaves();
  StageCounts once(t);
  hooks = once.Hooks();
  const vesk::VerifyOptions onceOptions{1, -1, 1, 0, 0};
  vesk::VerifyHyperbolic(t, kHorseshoeLo, kHorseshoeHi, &onceOptions, &hooks, nullptr);
  ASSERT_GE(once.seen.size(), 1u);
  EXPECT_EQ(once.seen[0], std::make_tuple(vesk::kStageChainRecurrent, 2, 2));
  for (const auto& [stage, reported, counted] : once.seen)
    EXPECT_EQ(reported, counted) << vesk::VerifyStageName(stage);
  vesk::TreeFree(&t);
}

}  // namespace
