// Restriction of lifted trees to the base chain recurrent set, against a
// brute-force model: base boxes from the projections of the lifted boxes,
// their verdicts from the pair graph and Boost, and the lifted boxes met by
// the query of every unmarked base box.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "analysis/chain_recurrent.h"
#include "analysis_oracle.h"
#include "map/henon.h"

using namespace vesk;
using antest::BoxesAt;
using antest::MakeTree;
using antest::OBox;

namespace {

int Height(const Tree* t) { return TreeDepth(t->root); }

// The base tree the driver builds: the projection of the lifted domain.
Tree* BaseOf(const Tree* lifted) {
  const double* c = lifted->domain->center;
  const double* r = lifted->domain->radius;
  return MakeTree({c[0], c[1]}, {r[0], r[1]});
}

void FreeBase(Tree** base) {
  BoxFree(&(*base)->root->child[0]);
  BoxFree(&(*base)->root->child[1]);
  TreeFree(base);
}

// Base depth for a lifted height: split entries above it on state
// coordinates.
int BaseDepth(const Tree* lifted, int height) {
  int m = 0;
  for (int k = 0; k < height; ++k) m += lifted->sd[k] < 2;
  return m;
}

std::vector<double> Key(const OBox& b, int n) {
  std::vector<double> key(b.c.begin(), b.c.begin() + n);
  key.insert(key.end(), b.r.begin(), b.r.begin() + n);
  return key;
}

// Runs BaseChainRecSetCounted and checks everything against the model.
void CheckAgainstModel(Tree* lifted, Tree* base, double* lo, double* hi) {
  const int D = Height(lifted);
  const std::vector<OBox> before = BoxesAt(lifted, D);
  int baseBoxes = -1, baseRec = -1;
  const int left = BaseChainRecSetCounted(lifted, base, lo, hi, &baseBoxes, &baseRec);

  // The base tree holds exactly the state projections of the lifted boxes,
  // bisected in the order of the state entries of the lifted table.
  const int B = BaseDepth(lifted, D);
  ASSERT_EQ(Height(base), B);
  for (int k = 0, m = 0; k < D; ++k) {
    if (lifted->sd[k] >= 2) continue;
    ASSERT_EQ(base->sd[m], lifted->sd[k]) << "base entry " << m;
    ++m;
  }
  const std::vector<OBox> baseBoxesNow = BoxesAt(base, B);
  std::set<std::vector<double>> want, got;
  for (const OBox& b : before) want.insert(Key(b, 2));
  for (const OBox& b : baseBoxesNow) got.insert(Key(b, 2));
  ASSERT_EQ(got, want);
  ASSERT_EQ(baseBoxes, static_cast<int>(baseBoxesNow.size()));

#ifdef VESK_HAVE_BOOST
  const size_t M = baseBoxesNow.size();
  const std::vector<double> mat = antest::Matrix(baseBoxesNow);
  std::vector<double> ilo(2 * M), ihi(2 * M);
  realhenon(static_cast<int>(M), lo, hi, mat.data(), ilo.data(), ihi.data());
  for (size_t k = 0; k < 2 * M; ++k) {
    ilo[k] -= std::numeric_limits<double>::denorm_min();
    ihi[k] += std::numeric_limits<double>::denorm_min();
  }
  const std::vector<char> rec = antest::RecurrentByBoost(antest::PairGraph(baseBoxesNow, ilo, ihi));
  int marked = 0;
  for (char x : rec) marked += x;
  EXPECT_EQ(baseRec, marked);

  // A lifted box goes when the query of an unmarked base box (its center
  // in the state coordinates, [-1, 1] in the tangent ones) meets it.
  std::vector<std::vector<double>> expect;
  for (const OBox& l : before) {
    bool goes = false;
    for (size_t i = 0; i < M && !goes; ++i) {
      if (rec[i]) continue;
      const double qlo[4] = {baseBoxesNow[i].c[0], baseBoxesNow[i].c[1], -1.0, -1.0};
      const double qhi[4] = {baseBoxesNow[i].c[0], baseBoxesNow[i].c[1], 1.0, 1.0};
      goes = antest::Meets(qlo, qhi, l);
    }
    if (!goes) expect.push_back(Key(l, 4));
  }
  std::vector<std::vector<double>> after;
  for (const OBox& l : BoxesAt(lifted, D)) after.push_back(Key(l, 4));
  EXPECT_EQ(after, expect);
#endif
  // Survivors carry flag bit 1 and are numbered 0.. without gaps.
  const std::vector<OBox> kept = BoxesAt(lifted, D);
  EXPECT_EQ(left, static_cast<int>(kept.size()));
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i].box->no, static_cast<int>(i));
    EXPECT_TRUE(kept[i].box->flags & 1);
  }
}

Tree* Lifted(std::vector<double> c, std::vector<double> r, int levels) {
  Tree* t = MakeTree(c, r);
  for (int i = 0; i < levels; ++i) TreeSubdivideAll(t);
  return t;
}

}  // namespace

TEST(BaseChainRecSet, MatchesModelOnRandomTrees) {
  std::mt19937 rng(4242);
  int untouched = 0, partly = 0;
  for (int trial = 0; trial < 150; ++trial) {
    SCOPED_TRACE(trial);
    Tree* lifted = antest::RandomLiftedTree(rng, 10);
    Tree* base = BaseOf(lifted);
    for (int i = 0; i < 3; ++i) TreeSubdivideAll(base);  // replaced by the call
    antest::Params p = antest::RandomParams(rng);
    const int K = TreeCountDepth(lifted, Height(lifted));
    CheckAgainstModel(lifted, base, p.lo, p.hi);
    const int left = TreeCountDepth(lifted, Height(lifted));
    untouched += left == K;
    partly += left > 0 && left < K;
    FreeBase(&base);
    TreeFree(&lifted);
  }
  EXPECT_GT(untouched, 10);
  EXPECT_GT(partly, 30);
}

TEST(BaseChainRecSet, DepthMapOfTheAlternatingTable) {
  // Lifted table 0, 1, 2, 3, 0, 1, ...: base depths 0, 1, 2, 2, 2, 3, 4, 4, 4.
  const int baseDepth[] = {0, 1, 2, 2, 2, 3, 4, 4, 4};
  double a[2] = {1.4, 0.3};
  for (int h = 0; h <= 8; ++h) {
    SCOPED_TRACE(h);
    Tree* lifted = Lifted({0, 0, 0, 0}, {2, 2, 2, 2}, h);
    Tree* base = BaseOf(lifted);
    CheckAgainstModel(lifted, base, a, a);
    EXPECT_EQ(Height(base), baseDepth[h]);
    if (h == 6) {
      EXPECT_EQ(std::vector<int>(base->sd, base->sd + 4), (std::vector<int>{0, 1, 0, 1}));
      EXPECT_EQ(TreeCountDepth(base, 4), 16);
    }
    FreeBase(&base);
    TreeFree(&lifted);
  }
}

TEST(BaseChainRecSet, TangentOnlyTableLeavesTheBaseRootAlone) {
  Tree* lifted = MakeTree({0.5, 0, 0, 0}, {2, 2, 2, 2});
  const uint8_t table[] = {2, 3, 3, 2, 2, 3};
  for (int k = 0; k < 6; ++k) lifted->sd[k] = table[k];
  for (int i = 0; i < 6; ++i) TreeSubdivideAll(lifted);
  Tree* base = BaseOf(lifted);
  double lo[2] = {10.0, 0.0}, hi[2] = {10.0, 0.0};  // the root's image misses it
  // The root alone is its own successor: everything stays.
  EXPECT_EQ(BaseChainRecSet(lifted, base, lo, hi), 64);
  EXPECT_EQ(TreeCount(base->root), 1);
  EXPECT_EQ(TreeCountDepth(lifted, 6), 64);
  FreeBase(&base);
  TreeFree(&lifted);
}

TEST(BaseChainRecSet, NothingRecurrentKeepsOnlyBoxesOutsideTheTangentQuery) {
  double lo[2] = {10.0, 0.0}, hi[2] = {10.0, 0.0};  // every image leaves the base domain
  for (double Ru : {1.0, 4.0}) {
    SCOPED_TRACE(Ru);
    Tree* lifted = Lifted({0, 0, 0, 0}, {2, 2, Ru, Ru}, 8);
    const std::vector<OBox> boxes = BoxesAt(lifted, 8);
    int outside = 0;
    for (const OBox& b : boxes) {
      bool out = false;
      for (int k = 2; k < 4; ++k) out |= b.c[k] - b.r[k] > 1.0 || b.c[k] + b.r[k] < -1.0;
      outside += out;
    }
    Tree* base = BaseOf(lifted);
    EXPECT_EQ(BaseChainRecSet(lifted, base, lo, hi), outside);
    EXPECT_EQ(outside, Ru == 1.0 ? 0 : 192);
    FreeBase(&base);
    TreeFree(&lifted);
  }
}

TEST(BaseChainRecSet, RefusesTreesItCannotMap) {
  double a[2] = {1.4, 0.3};
  auto refused = [&](Tree* lifted, Tree* base) {
    const int boxes = TreeCount(lifted->root), baseCount = TreeCount(base->root);
    const int D = Height(lifted);
    std::vector<int> flags;
    for (const OBox& b : BoxesAt(lifted, D)) flags.push_back(b.box->flags);
    int result = 0;
    const std::string err = antest::StderrOf([&] { result = BaseChainRecSet(lifted, base, a, a); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err.rfind("error: libvesk: ", 0), 0u) << err;
    EXPECT_EQ(TreeCount(lifted->root), boxes);
    EXPECT_EQ(TreeCount(base->root), baseCount);
    std::vector<int> now;
    for (const OBox& b : BoxesAt(lifted, D)) now.push_back(b.box->flags);
    EXPECT_EQ(now, flags);
  };
  // Height 256 lies beyond the depth map; 255 is still served.
  Tree* lifted = MakeTree({0, 0, 0, 0}, {2, 2, 2, 2});
  const double p[4] = {0.3, -0.2, 0.1, 0.7};
  TreeInsert(lifted, p, 255, 0, 0);
  Tree* base = BaseOf(lifted);
  TreeSubdivideAll(base);
  const int left = BaseChainRecSet(lifted, base, a, a);
  EXPECT_GE(left, 0);
  EXPECT_EQ(left, TreeCountDepth(lifted, 255));
  TreeInsert(lifted, p, 256, 0, 0);
  refused(lifted, base);
  TreeFree(&lifted);
  FreeBase(&base);

  // Base trees that are not the planar state space of the lifted tree.
  lifted = Lifted({0, 0, 0, 0}, {2, 2, 2, 2}, 4);
  for (int n : {1, 3}) {
    SCOPED_TRACE(n);
    base = MakeTree(std::vector<double>(n, 0.0), std::vector<double>(n, 2.0));
    TreeSubdivideAll(base);
    refused(lifted, base);
    FreeBase(&base);
  }
  TreeFree(&lifted);
  lifted = Lifted({0, 0}, {2, 2}, 4);
  base = MakeTree({0, 0}, {2, 2});
  refused(lifted, base);
  FreeBase(&base);
  TreeFree(&lifted);
}

TEST(BaseChainRecSet, BaseDomainMissingTheLiftedCenters) {
  // No lifted center lies in the base domain: no base box below the root
  // is built; the root alone is the base box, chain recurrent by its
  // self-loop, and every lifted box stays.
  Tree* lifted = Lifted({0, 0, 0, 0}, {2, 2, 2, 2}, 6);
  Tree* base = MakeTree({100, 100}, {1, 1});
  double a[2] = {1.4, 0.3};
  int baseBoxes = -1, baseRec = -1;
  EXPECT_EQ(BaseChainRecSetCounted(lifted, base, a, a, &baseBoxes, &baseRec), 64);
  EXPECT_EQ(TreeCountDepth(lifted, 6), 64);
  EXPECT_EQ(TreeCount(base->root), 1);
  EXPECT_EQ(baseBoxes, 1);  // the root, marked by its self-loop
  EXPECT_EQ(baseRec, 1);
  FreeBase(&base);
  TreeFree(&lifted);
}

TEST(BaseFind, UnmarkedBaseBoxesClearTheKeepMarks) {
  // Base boxes at depth 2 over a lifted tree of height 4: each base box
  // lies under the four lifted boxes that share its state extent.
  Tree* lifted = Lifted({0, 0, 0, 0}, {1, 1, 1, 1}, 4);
  Tree* base = BaseOf(lifted);
  TreeSubdivideAll(base);
  TreeSubdivideAll(base);
  const std::vector<OBox> lb = BoxesAt(lifted, 4), bb = BoxesAt(base, 2);
  char rec[4] = {1, 0, 1, 0};
  std::vector<char> keep(16, 7);
  BaseFind(lifted, base, rec, keep.data());
  for (size_t i = 0; i < lb.size(); ++i) {
    size_t under = 0;
    while (!(bb[under].c[0] == lb[i].c[0] && bb[under].c[1] == lb[i].c[1])) ++under;
    EXPECT_EQ(keep[i], rec[under]) << "lifted box " << i;
  }
  FreeBase(&base);
  TreeFree(&lifted);
}
