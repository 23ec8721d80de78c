// Walks of the tree cursor: selection, order and exact geometry, checked
// against a recursive reference that descends afresh to every box.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <random>
#include <vector>

#include "tests/tree_oracle.h"
#include "tree/tree.h"
#include "tree/walk_step.h"

using namespace vesk;
using treetest::BitEqual;
using treetest::CursorAtRoot;
using treetest::ExpectWalkMatches;
using treetest::MakeTree;
using treetest::RefBox;

namespace {

std::vector<const Box*> Visit(Tree* t, int depth) {
  std::vector<const Box*> seen;
  for (int more = TreeFirstBox(t, depth); more; more = TreeNextBox(t, depth))
    seen.push_back(t->box);
  return seen;
}

TEST(Walk, SmallTrees) {
  Tree* t = MakeTree({0.1, -0.2}, {1.0 / 3.0, 0.6});
  Box* root = t->root;
  EXPECT_EQ(TreeNextBox(t, -1), 0);  // no walk started
  EXPECT_EQ(Visit(t, -1), std::vector<const Box*>{root});
  EXPECT_EQ(Visit(t, 0), std::vector<const Box*>{root});
  EXPECT_TRUE(Visit(t, 1).empty());
  EXPECT_TRUE(Visit(t, -2).empty());
  EXPECT_TRUE(CursorAtRoot(t));

  BoxSubdivide(root, 1);
  ASSERT_EQ(TreeFirstBox(t, -1), 1);
  EXPECT_EQ(t->box, root->child[0]);
  EXPECT_EQ(t->depth, 1);
  EXPECT_EQ(t->c[0], 0.1);
  EXPECT_EQ(t->r[0], 1.0 / 3.0);
  EXPECT_EQ(t->r[1], 0.3);
  EXPECT_EQ(t->c[1], -0.2 - 0.3);
  ASSERT_EQ(TreeNextBox(t, -1), 1);
  EXPECT_EQ(t->box, root->child[1]);
  EXPECT_EQ(t->c[1], -0.2 + 0.3);
  EXPECT_EQ(t->r[1], 0.3);
  EXPECT_EQ(TreeNextBox(t, -1), 0);
  EXPECT_TRUE(CursorAtRoot(t));
  EXPECT_EQ(Visit(t, -2), std::vector<const Box*>{root});
  EXPECT_EQ(Visit(t, 1), (std::vector<const Box*>{root->child[0], root->child[1]}));

  // Leaves at depths 1 and 2: depth 2 skips the shallow leaf.
  Box* lower = root->child[0];
  Box* upper = root->child[1];
  BoxSubdivide(upper, 0);
  EXPECT_EQ(Visit(t, 2), (std::vector<const Box*>{upper->child[0], upper->child[1]}));
  EXPECT_EQ(Visit(t, -1), (std::vector<const Box*>{lower, upper->child[0], upper->child[1]}));
  EXPECT_EQ(Visit(t, -2), std::vector<const Box*>{upper});
  // A box with only child 1 is entered through it; the order is kept.
  lower->sd = 0;
  lower->child[1] = BoxNew();
  EXPECT_EQ(Visit(t, -1),
            (std::vector<const Box*>{lower->child[1], upper->child[0], upper->child[1]}));
  EXPECT_EQ(Visit(t, 2),
            (std::vector<const Box*>{lower->child[1], upper->child[0], upper->child[1]}));
  EXPECT_EQ(Visit(t, -2), (std::vector<const Box*>{lower, upper}));
  EXPECT_TRUE(Visit(t, -3).empty());
  EXPECT_TRUE(Visit(t, INT_MIN).empty());
  EXPECT_TRUE(Visit(t, 3).empty());
  BoxFree(&root->child[1]);  // root with only a lower child of depth -2
  EXPECT_EQ(Visit(t, -1), std::vector<const Box*>{lower->child[1]});
  EXPECT_EQ(Visit(t, 1), std::vector<const Box*>{lower});
  for (int d = -3; d <= 3; ++d) ExpectWalkMatches(t, d);
  TreeFree(&t);
}

// Subdividing each visited leaf during a leaf walk splits every old leaf
// once; the new leaves are not visited.
TEST(Walk, SubdivideTheCurrentLeaf) {
  std::mt19937 rng(11);
  Tree* t = MakeTree({0.1, 0.2, 0.3}, {1.0 / 3.0, 1.0 / 7.0, 0.9});
  treetest::GrowRandomTree(t, rng, 150, 10);
  const std::vector<RefBox> leaves = treetest::RefWalk(t, -1);
  std::vector<const Box*> seen;
  if (TreeFirstBox(t, -1)) {
    do {
      seen.push_back(t->box);
      ASSERT_EQ(BoxSubdivide(t->box, static_cast<uint8_t>(t->depth % 3)), 1);
    } while (TreeNextBox(t, -1));
  }
  ASSERT_EQ(seen.size(), leaves.size());
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], leaves[i].box);
  EXPECT_EQ(treetest::RefWalk(t, -1).size(), 2 * leaves.size());
  TreeFree(&t);
}

// Every walk of random trees agrees with the reference box by box. The
// domains are awkward values, so any drift of the cursor geometry shows.
TEST(Walk, RandomTreesMatchTheReference) {
  // The subnormal radius loses bits when halved: only restoring the saved
  // value gets it back.
  const std::vector<std::vector<double>> centers = {{0.1}, {0.1, -1e5}, {0.1, 1e-3, -7.3}};
  const std::vector<std::vector<double>> radii = {
      {1.0 / 3.0}, {1.0 / 3.0, 1e5 / 3.0}, {1.0 / 3.0, 3.3e-310, 1.0 / 7.0}};
  for (unsigned seed = 1; seed <= 24; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const size_t k = seed % 3;
    Tree* t = MakeTree(centers[k], radii[k]);
    // Some trees bisect along a scrambled table: the walk must follow the
    // split coordinate stored in each box.
    if (seed % 2)
      for (int64_t i = 0; i <= TreeMaxDepth(t); ++i)
        t->sd[i] = static_cast<uint8_t>(rng() % centers[k].size());
    treetest::GrowRandomTree(t, rng, 40 + static_cast<int>(rng() % 400), 25);
    Tree* copy = TreeCopy(t);
    const int height = TreeDepth(t->root);
    for (int d = -4; d <= height + 1; ++d) {
      ExpectWalkMatches(d % 2 ? t : copy, d);
      if (HasFatalFailure()) break;
    }
    TreeFree(&t);
    TreeFree(&copy);
  }
}

// The numbering walk without the cursor: on random trees (single-child
// boxes, uneven leaves) the same leaves in the same order as the cursor's
// walk of the leaves, the same count at each depth, the cursor on the root.
TEST(Walk, NumberLeavesMatchesTheLeafWalk) {
  for (unsigned seed = 1; seed <= 24; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Tree* t = MakeTree({0.1, -0.5}, {1.0 / 3.0, 2.0});
    treetest::GrowRandomTree(t, rng, 40 + static_cast<int>(rng() % 400), 25);
    const std::vector<const Box*> leaves = Visit(t, -1);
    std::map<int, int> perDepth;
    for (int more = TreeFirstBox(t, -1); more; more = TreeNextBox(t, -1)) ++perDepth[t->depth];
    const int height = TreeDepth(t->root);
    for (int d = -1; d <= height + 1; ++d) {
      for (const Box* b : leaves) const_cast<Box*>(b)->no = -7;
      if (!BoxIsLeaf(t->root)) TreeStepDown(t, t->root->child[0] ? 0 : 1);  // off the root
      int at = -1;
      ASSERT_EQ(TreeNumberLeaves(t, d, &at), static_cast<int>(leaves.size()));
      EXPECT_EQ(at, perDepth.count(d) ? perDepth[d] : 0) << "depth " << d;
      for (size_t i = 0; i < leaves.size(); ++i)
        ASSERT_EQ(leaves[i]->no, static_cast<int32_t>(i)) << "leaf " << i;
      EXPECT_TRUE(CursorAtRoot(t));
    }
    TreeFree(&t);
  }
}

// Long paths: a 1-dimensional tree whose leaves reach the deepest level a
// box may have. Every leaf's center is exact, and the walk ends on the
// domain's values.
TEST(Walk, DeepPathsKeepExactGeometry) {
  Tree* t = MakeTree({0.1}, {1.0 / 3.0});
  const int limit = static_cast<int>(TreeMaxDepth(t));
  ASSERT_EQ(limit, 500);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(0.1 - 1.0 / 3.0, 0.1 + 1.0 / 3.0);
  for (int i = 0; i < 40; ++i) {
    const double p = u(rng);
    EXPECT_EQ(TreeInsert(t, &p, limit - static_cast<int>(rng() % 40), 0, 0), 1);
  }
  ExpectWalkMatches(t, -1);
  ExpectWalkMatches(t, limit);
  ExpectWalkMatches(t, -2);
  TreeFree(&t);
}

// TreeNextBranch climbs to the nearest ancestor left through child 0 that
// has a child 1. Mixed with leaf steps, the cursor always describes its box
// exactly as a fresh descent does.
TEST(Walk, NextBranchClimbsAndKeepsExactGeometry) {
  std::mt19937 rng(21);
  Tree* t = MakeTree({0.1, 1e-3, -7.3}, {1.0 / 3.0, 2.0 / 3.0, 1.0 / 7.0});
  treetest::GrowRandomTree(t, rng, 600, 30);
  std::map<const Box*, RefBox> ref;
  std::map<const Box*, std::pair<const Box*, int>> parent;
  for (const RefBox& b : treetest::RefAllBoxes(t)) {
    ref[b.box] = b;
    for (int i = 0; i < 2; ++i)
      if (b.box->child[i]) parent[b.box->child[i]] = {b.box, i};
  }
  const auto expectExact = [&] {
    const RefBox& b = ref.at(t->box);
    EXPECT_EQ(t->depth, b.depth);
    EXPECT_TRUE(BitEqual(t->c, b.c.data(), 3));
    EXPECT_TRUE(BitEqual(t->r, b.r.data(), 3));
  };
  int steps = 0;
  for (int more = TreeFirstBox(t, -1); more; ++steps) {
    expectExact();
    if (rng() % 3) {
      more = TreeNextBox(t, -1);
      continue;
    }
    // The expected target of TreeNextBranch, from the cursor box's path.
    const Box* target = nullptr;
    int64_t targetDepth = 0;
    for (const Box* b = t->box; parent.count(b); b = parent[b].first) {
      const Box* anc = parent[b].first;
      if (parent[b].second == 0 && anc->child[1]) {
        target = anc->child[1];
        targetDepth = ref.at(anc).depth + 1;
        break;
      }
    }
    more = TreeNextBranch(t);
    EXPECT_EQ(more, target != nullptr);
    if (!more) break;
    EXPECT_EQ(t->box, target);
    EXPECT_EQ(t->depth, targetDepth);
  }
  EXPECT_GT(steps, 50) << treetest::RefWalk(t, -1).size() << " leaves";
  EXPECT_TRUE(CursorAtRoot(t));
  EXPECT_EQ(TreeNextBranch(t), 0);
  EXPECT_TRUE(CursorAtRoot(t));
  TreeFree(&t);
}

}  // namespace
