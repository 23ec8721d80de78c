// The verification driver: mode selection, console lines, depth bounds,
// refusals, and the host's result on every path. The sanitizer build runs
// these under LeakSanitizer, which shows that the base tree is released on
// every path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "gateway/driver.h"

namespace {

using vesk::Tree;

// Horseshoe parameters and domain: hyperbolicity is reached within a few
// passes of small trees.
const double kHorseshoeLo[2] = {5.9, 0.29};
const double kHorseshoeHi[2] = {6.1, 0.31};
// Parameters for which every orbit leaves the domain: the image of the
// domain lies far to the left of it, so no box is chain recurrent.
const double kEscapeLo[2] = {-10.0, 0.29};
const double kEscapeHi[2] = {-9.9, 0.31};

Tree* NewTree(std::vector<double> center, std::vector<double> radius) {
  vesk::Rectangle* domain = vesk::RectangleNew(center.data(), radius.data(),
                                               static_cast<uint8_t>(center.size()));
  Tree* tree = vesk::TreeNew(domain);
  vesk::RectangleFree(&domain);
  return tree;
}

Tree* Lifted(double tangentRadius, int subdivisions) {
  Tree* tree = NewTree({0, 0, 0, 0}, {3.25, 3.25, tangentRadius, tangentRadius});
  for (int i = 0; i < subdivisions; ++i) vesk::TreeSubdivideAll(tree);
  return tree;
}

struct Leaf {
  std::vector<double> c, r;
  int flags;
  bool operator==(const Leaf&) const = default;
};

// The leaves, by an own walk of the tree.
std::vector<Leaf> Leaves(Tree* tree) {
  std::vector<Leaf> leaves;
  const int dim = tree->domain->dim;
  if (vesk::TreeFirstBox(tree, -1)) {
    do {
      leaves.push_back({std::vector<double>(tree->c, tree->c + dim),
                        std::vector<double>(tree->r, tree->r + dim), tree->box->flags});
    } while (vesk::TreeNextBox(tree, -1));
  }
  return leaves;
}

// The cone condition evaluated directly on the leaves: 1 when every
// tangent coordinate of every leaf has 2r + |c| < 1.
bool ConeHolds(const std::vector<Leaf>& leaves) {
  for (const Leaf& leaf : leaves)
    for (int i = 2; i < 4; ++i)
      if ((leaf.r[i] + leaf.r[i]) + std::fabs(leaf.c[i]) >= 1.0) return false;
  return true;
}

// Everything the driver reports, recorded.
struct Recorder {
  std::string text;
  std::vector<vesk::VerifyStage> stages;
  std::vector<vesk::VerifyPassStats> passes;
  std::vector<int> leavesAfterPass;  // counted by an own walk
  int stopAfter = -1;                // passDone stops after this many passes
  bool succeeded = false;

  vesk::VerifyHooks Hooks() {
    vesk::VerifyHooks hooks{};
    hooks.user = this;
    hooks.print = [](void* user, const char* t) { static_cast<Recorder*>(user)->text += t; };
    hooks.stage = [](void* user, vesk::VerifyStage s, int) {
      static_cast<Recorder*>(user)->stages.push_back(s);
    };
    hooks.passDone = [](void* user, const vesk::VerifyPassStats* s, Tree* lifted) {
      auto* self = static_cast<Recorder*>(user);
      self->passes.push_back(*s);
      self->leavesAfterPass.push_back(static_cast<int>(Leaves(lifted).size()));
      return self->stopAfter >= 0 && static_cast<int>(self->passes.size()) >= self->stopAfter
                 ? 1
                 : 0;
    };
    hooks.passSucceeded = [](void* user, const vesk::VerifyPassStats* s, Tree*) {
      auto* self = static_cast<Recorder*>(user);
      self->passes.push_back(*s);
      self->succeeded = true;
    };
    return hooks;
  }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    lines.push_back(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

std::string PassLine(int depth, int leaves) {
  char line[64];
  std::snprintf(line, sizeof line, "detph %2d:\t #cubs = %7d\n", depth, leaves);
  return line;
}

vesk::VerifyOutcome Verify(Tree* tree, const double* lo, const double* hi, int once, int maxDepth,
                        Recorder* rec, double* value) {
  vesk::VerifyOptions options{once, maxDepth, 1, 0, 0};
  const vesk::VerifyHooks hooks = rec->Hooks();
  return vesk::VerifyHyperbolic(tree, lo, hi, &options, &hooks, value);
}

TEST(DriverOnce, EmptiedByChainRecurrentSetIsHyperbolicAndSilent) {
  Tree* tree = Lifted(2.0, 4);
  Recorder rec;
  double value = -1.0;
  EXPECT_EQ(Verify(tree, kEscapeLo, kEscapeHi, 1, -1, &rec, &value), vesk::kVerifyHyperbolic);
  EXPECT_EQ(value, 1.0);
  EXPECT_EQ(rec.text, "");
  // The chain recurrent set ended the test: no other analysis ran.
  EXPECT_EQ(rec.stages, std::vector<vesk::VerifyStage>{vesk::kStageChainRecurrent});
  EXPECT_FALSE(vesk::TreeFirstBox(tree, 4)) << "a box of the working depth survived";
  EXPECT_TRUE(rec.passes.empty());
  vesk::TreeFree(&tree);
}

TEST(DriverOnce, ConeTestDecidesWithoutRefinement) {
  // Tangent radius 2 split twice: every leaf has 2r + |c| >= 2.
  Tree* failing = Lifted(2.0, 4);
  Recorder rec;
  double value = -1.0;
  EXPECT_EQ(Verify(failing, kHorseshoeLo, kHorseshoeHi, 1, -1, &rec, &value),
            vesk::kVerifyNotProven);
  EXPECT_EQ(value, 0.0);
  EXPECT_EQ(rec.text, "");
  const std::vector<Leaf> failed = Leaves(failing);
  ASSERT_FALSE(failed.empty());
  EXPECT_FALSE(ConeHolds(failed));
  EXPECT_LE(vesk::TreeDepth(failing->root), 4) << "once mode must not subdivide";
  EXPECT_EQ(rec.stages.back(), vesk::kStageConeTest);
  vesk::TreeFree(&failing);

  // Tangent radius 0.5 split twice: the boxes around the zero section
  // survive both analyses and pass the cone test.
  Tree* passing = Lifted(0.5, 8);
  Recorder rec2;
  value = -1.0;
  EXPECT_EQ(Verify(passing, kHorseshoeLo, kHorseshoeHi, 1, -1, &rec2, &value),
            vesk::kVerifyHyperbolic);
  EXPECT_EQ(value, 1.0);
  EXPECT_EQ(rec2.text, "");
  const std::vector<Leaf> passed = Leaves(passing);
  ASSERT_FALSE(passed.empty());
  EXPECT_TRUE(ConeHolds(passed));
  EXPECT_EQ(rec2.stages.back(), vesk::kStageConeTest);
  EXPECT_LE(vesk::TreeDepth(passing->root), 8);
  vesk::TreeFree(&passing);
}

TEST(DriverLoop, PrintsOneLinePerPassUntilHyperbolic) {
  Tree* tree = Lifted(2.0, 3);  // full tree of height 3: 8 leaves
  Recorder rec;
  double value = -1.0;
  EXPECT_EQ(Verify(tree, kHorseshoeLo, kHorseshoeHi, 0, -1, &rec, &value),
            vesk::kVerifyHyperbolic);
  EXPECT_EQ(value, 1.0);
  ASSERT_TRUE(rec.succeeded);
  const std::vector<std::string> lines = Lines(rec.text);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "detph  3:\t #cubs =       8\n");
  EXPECT_EQ(lines.back(), "Hyperbolic!\n");
  // One line per pass; each pass starts one level deeper with the leaves
  // the previous pass left, as counted by an own walk.
  ASSERT_EQ(lines.size(), rec.passes.size() + 1);
  for (size_t p = 0; p < rec.passes.size(); ++p) {
    const int leaves = p == 0 ? 8 : rec.leavesAfterPass[p - 1];
    EXPECT_EQ(lines[p], PassLine(3 + static_cast<int>(p), leaves)) << "pass " << p + 1;
    EXPECT_EQ(rec.passes[p].pass, static_cast<int>(p) + 1);
  }
  EXPECT_EQ(rec.passes.back().conePassed, 1);
  EXPECT_TRUE(ConeHolds(Leaves(tree)));
  vesk::TreeFree(&tree);
}

TEST(DriverLoop, EndsAtTheFirstPassWhenNothingIsRecurrent) {
  Tree* tree = Lifted(2.0, 0);
  Recorder rec;
  double value = -1.0;
  EXPECT_EQ(Verify(tree, kEscapeLo, kEscapeHi, 0, -1, &rec, &value), vesk::kVerifyHyperbolic);
  EXPECT_EQ(value, 1.0);
  EXPECT_EQ(rec.text, "detph  0:\t #cubs =       1\nHyperbolic!\n");
  vesk::TreeFree(&tree);
}

TEST(DriverLoop, StopsAtTheCallersDepthBound) {
  Tree* tree = Lifted(2.0, 3);
  Recorder rec;
  double value = -1.0;
  EXPECT_EQ(Verify(tree, kHorseshoeLo, kHorseshoeHi, 0, 6, &rec, &value),
            vesk::kVerifyDepthBound);
  EXPECT_EQ(value, 0.0);
  // Passes from heights 3, 4 and 5; none from 6.
  const std::vector<std::string> lines = Lines(rec.text);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], PassLine(3, 8));
  EXPECT_EQ(lines[1], PassLine(4, rec.leavesAfterPass[0]));
  EXPECT_EQ(lines[2], PassLine(5, rec.leavesAfterPass[1]));
  EXPECT_EQ(lines[3], "not proven up to depth 6\n");
  EXPECT_EQ(vesk::TreeDepth(tree->root), 6);

  // A bound the tree already reaches runs no pass at all.
  const std::vector<Leaf> before = Leaves(tree);
  Recorder again;
  EXPECT_EQ(Verify(tree, kHorseshoeLo, kHorseshoeHi, 0, 6, &again, &value),
            vesk::kVerifyDepthBound);
  EXPECT_EQ(again.text, "not proven up to depth 6\n");
  EXPECT_EQ(Leaves(tree), before);
  vesk::TreeFree(&tree);
}

TEST(DriverLoop, CallerCanStopAfterAPass) {
  Tree* tree = Lifted(2.0, 3);
  Recorder rec;
  rec.stopAfter = 2;
  double value = -1.0;
  vesk::VerifyOptions options{0, -1, 7, 0, 0};
  const vesk::VerifyHooks hooks = rec.Hooks();
  EXPECT_EQ(vesk::VerifyHyperbolic(tree, kHorseshoeLo, kHorseshoeHi, &options, &hooks, &value),
            vesk::kVerifyStopped);
  EXPECT_EQ(value, 0.0);
  ASSERT_EQ(rec.passes.size(), 2u);
  EXPECT_EQ(rec.passes[0].pass, 7);
  EXPECT_EQ(rec.passes[1].pass, 8);
  EXPECT_EQ(Lines(rec.text).size(), 2u);
  EXPECT_EQ(vesk::TreeDepth(tree->root), 5);
  vesk::TreeFree(&tree);
}

// A lifted tree that is one path down to the given depth.
Tree* Path(int depth) {
  Tree* tree = Lifted(2.0, 0);
  const double point[4] = {0.3, -0.7, 0.1, 0.2};
  EXPECT_EQ(vesk::TreeInsert(tree, point, depth, 1, 1), 1);
  EXPECT_EQ(vesk::TreeDepth(tree->root), depth);
  return tree;
}

TEST(DriverLoop, StopsWhereTheTreeCannotBeRefined) {
  Tree* tree = Path(255);
  ASSERT_EQ(vesk::VerifyHeightLimit(tree), 255);
  const int boxes = vesk::TreeCount(tree->root);
  Recorder rec;
  double value = -1.0;
  EXPECT_EQ(Verify(tree, kHorseshoeLo, kHorseshoeHi, 0, -1, &rec, &value),
            vesk::kVerifyDepthLimit);
  EXPECT_EQ(value, 0.0);
  EXPECT_EQ(rec.text, "Stopped: the tree cannot be refined beyond depth 255.\n");
  EXPECT_EQ(vesk::TreeCount(tree->root), boxes);
  vesk::TreeFree(&tree);
}

TEST(DriverLoop, RefinesToTheDeepestLevelItCan) {
  // u and v of radius 2 + 2^-50 have exact bounds through one bisection
  // only: with the table x, y, u, v, x, ... depth 6 is the deepest the loop
  // can refine to (depth 7 bisects u again). From height 5, the pass to 6
  // runs and prints its line; the next would not be exact.
  Tree* tree = NewTree({0, 0, 0, 0}, {3.25, 3.25, 2 + 0x1p-50, 2 + 0x1p-50});
  for (int i = 0; i < 5; ++i) vesk::TreeSubdivideAll(tree);
  ASSERT_TRUE(vesk::TreeSplitsExact(tree, 6));
  ASSERT_FALSE(vesk::TreeSplitsExact(tree, 7));
  Recorder rec;
  double value = -1.0;
  EXPECT_EQ(Verify(tree, kHorseshoeLo, kHorseshoeHi, 0, -1, &rec, &value), vesk::kVerifyInexact);
  EXPECT_EQ(value, 0.0);
  EXPECT_EQ(rec.text, PassLine(5, 32) + "Stopped: the boxes of depth 7 are not exact doubles.\n");
  EXPECT_EQ(rec.passes.size(), 1u);
  EXPECT_EQ(vesk::TreeDepth(tree->root), 6);
  vesk::TreeFree(&tree);

  // One level below the height limit, the limit does not stop the loop
  // yet: the boxes of the next level do (no 4-dimensional grid is exact at
  // depth 255).
  tree = Path(254);
  Recorder below;
  EXPECT_EQ(Verify(tree, kHorseshoeLo, kHorseshoeHi, 0, -1, &below, &value),
            vesk::kVerifyInexact);
  EXPECT_EQ(below.text, "Stopped: the boxes of depth 255 are not exact doubles.\n");
  vesk::TreeFree(&tree);
}

TEST(DriverRefuses, TreesOutsideThePlanarMaps) {
  double value = -1.0;
  Recorder rec;
  EXPECT_EQ(Verify(nullptr, kHorseshoeLo, kHorseshoeHi, 1, -1, &rec, &value),
            vesk::kVerifyRefused);
  EXPECT_EQ(value, 0.0);

  for (int dim : {1, 2, 3, 6}) {
    Tree* tree = NewTree(std::vector<double>(dim, 0.0), std::vector<double>(dim, 1.0));
    vesk::TreeSubdivideAll(tree);
    const std::vector<Leaf> before = Leaves(tree);
    for (int once : {0, 1}) {
      value = -1.0;
      EXPECT_EQ(Verify(tree, kHorseshoeLo, kHorseshoeHi, once, -1, &rec, &value),
                vesk::kVerifyRefused)
          << "dim " << dim;
      EXPECT_EQ(value, 0.0);
    }
    EXPECT_EQ(Leaves(tree), before);
    vesk::TreeFree(&tree);
  }

  // Taller than the analyses' depth map covers.
  Tree* tall = Path(256);
  const int boxes = vesk::TreeCount(tall->root);
  for (int once : {0, 1}) {
    value = -1.0;
    EXPECT_EQ(Verify(tall, kHorseshoeLo, kHorseshoeHi, once, -1, &rec, &value),
              vesk::kVerifyRefused);
    EXPECT_EQ(value, 0.0);
  }
  EXPECT_EQ(vesk::TreeCount(tall->root), boxes);
  EXPECT_EQ(rec.text, "");
  vesk::TreeFree(&tall);
}

TEST(DriverOptions, NullOptionsAndHooksMeanLoopWithoutOutput) {
  Tree* tree = Lifted(2.0, 0);
  double value = -1.0;
  EXPECT_EQ(vesk::VerifyHyperbolic(tree, kEscapeLo, kEscapeHi, nullptr, nullptr, &value),
            vesk::kVerifyHyperbolic);
  EXPECT_EQ(value, 1.0);
  vesk::TreeFree(&tree);
  // No value pointer: the outcome alone.
  tree = Lifted(2.0, 2);
  vesk::VerifyOptions once{1, -1, 1, 0, 0};
  EXPECT_EQ(vesk::VerifyHyperbolic(tree, kEscapeLo, kEscapeHi, &once, nullptr, nullptr),
            vesk::kVerifyHyperbolic);
  vesk::TreeFree(&tree);
}

}  // namespace
