// Rectangles and tree records: creation, refusals, copies sharing the
// boxes, release in either order, cursor reset.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/tree_oracle.h"
#include "tree/tree.h"

using namespace vesk;
using treetest::BitEqual;
using treetest::CursorAtRoot;
using treetest::MakeTree;
using treetest::StderrOf;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Rectangle, ClosedBoxContainment) {
  const double c[2] = {0.5, -2.0};
  const double r[2] = {0.25, 0.5};
  Rectangle* rect = RectangleNew(c, r, 2);
  ASSERT_EQ(rect->dim, 2);
  EXPECT_NE(rect->center, c);  // copies
  EXPECT_TRUE(BitEqual(rect->center, c, 2));
  EXPECT_TRUE(BitEqual(rect->radius, r, 2));

  const double face[2] = {0.75, -1.7};
  EXPECT_EQ(RectangleContains(rect, face), 1);
  const double corner[2] = {0.25, -2.5};
  EXPECT_EQ(RectangleContains(rect, corner), 1);
  const double beyond[2] = {0.5, std::nextafter(-2.5, -3.0)};
  EXPECT_EQ(RectangleContains(rect, beyond), 0);
  const double nan0[2] = {kNaN, -2.0};
  const double nan1[2] = {0.5, kNaN};
  EXPECT_EQ(RectangleContains(rect, nan0), 0);
  EXPECT_EQ(RectangleContains(rect, nan1), 0);
  rect->center[1] = kNaN;  // NaN in the rectangle fails too
  const double inside[2] = {0.5, -2.0};
  EXPECT_EQ(RectangleContains(rect, inside), 0);
  RectangleFree(&rect);
  EXPECT_EQ(rect, nullptr);
  RectangleFree(&rect);

  Rectangle* empty = RectangleNew(nullptr, nullptr, 0);
  EXPECT_EQ(empty->dim, 0);
  EXPECT_EQ(RectangleContains(empty, nan0), 1);
  RectangleFree(&empty);
}

TEST(Tree, NewTreeState) {
  std::vector<double> c = {0.1, -7.25};
  std::vector<double> r = {1.0 / 3.0, 2.0};
  Rectangle* rect = RectangleNew(c.data(), r.data(), 2);
  Tree* t = TreeNew(rect);
  ASSERT_NE(t, nullptr);
  // Changing the caller's rectangle leaves the tree's domain alone.
  rect->center[0] = 5.0;
  rect->radius[1] = 9.0;
  RectangleFree(&rect);
  EXPECT_EQ(t->domain->dim, 2);
  EXPECT_TRUE(BitEqual(t->domain->center, c.data(), 2));
  EXPECT_TRUE(BitEqual(t->domain->radius, r.data(), 2));
  EXPECT_EQ(*t->refCount, 1);
  EXPECT_EQ(TreeMaxDepth(t), 1000);
  for (int i = 0; i <= 1000; ++i) ASSERT_EQ(t->sd[i], i % 2) << i;
  ASSERT_NE(t->root, nullptr);
  EXPECT_TRUE(treetest::IsLeaf(t->root));
  EXPECT_TRUE(CursorAtRoot(t));
  TreeFree(&t);
  EXPECT_EQ(t, nullptr);
  TreeFree(&t);
}

TEST(Tree, NewRefusesDomainsOutsideTheModel) {
  const auto expectRefused = [](const Rectangle* rect) {
    Tree* t = reinterpret_cast<Tree*>(1);
    const std::string err = StderrOf([&] { t = TreeNew(rect); });
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(err.rfind("error: libvesk: ", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
  };
  expectRefused(nullptr);
  Rectangle* empty = RectangleNew(nullptr, nullptr, 0);
  expectRefused(empty);
  RectangleFree(&empty);
  std::vector<double> c(300, 0.0), r(300, 1.0);
  Rectangle wide{300, c.data(), r.data()};  // built by hand: RectangleNew keeps 8 bits
  expectRefused(&wide);
  wide.dim = -1;
  expectRefused(&wide);
  wide.dim = 255;  // the largest domain is accepted
  Tree* t = TreeNew(&wide);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->sd[255 * 500], (255 * 500) % 255);
  TreeFree(&t);
}

TEST(Tree, CopiesShareBoxesAndFreeThemOnce) {
  for (int sourceFirst = 0; sourceFirst < 2; ++sourceFirst) {
    Tree* a = MakeTree({0.1, 0.2, 0.3}, {1.0 / 3.0, 1.0 / 7.0, 3.0});
    TreeSubdivideAll(a);
    TreeSubdivideAll(a);
    // Put the source's cursor deep in the tree; a copy starts at the root.
    ASSERT_EQ(TreeFirstBox(a, 2), 1);
    ASSERT_EQ(TreeNextBox(a, 2), 1);
    Tree* b = TreeCopy(a);
    Tree* c = TreeCopy(b);
    EXPECT_EQ(*a->refCount, 3);
    EXPECT_EQ(a->refCount, c->refCount);
    EXPECT_EQ(b->root, a->root);
    EXPECT_EQ(b->domain, a->domain);
    EXPECT_EQ(b->sd, a->sd);
    EXPECT_NE(b->c, a->c);
    EXPECT_NE(b->cStack, a->cStack);
    EXPECT_TRUE(CursorAtRoot(b));
    EXPECT_EQ(a->depth, 2);

    // Edits through one holder are seen by the others.
    TreeSubdivideAll(b);
    EXPECT_EQ(TreeCountDepth(a, -1), 8);
    TreeSetFlagsAll(c, 3, 0x10);
    std::vector<unsigned char> flags(8);
    TreeGetFlags(a, -1, flags.data());
    for (unsigned char f : flags) EXPECT_EQ(f, 0x10);
    const double p[3] = {0.4, 0.3, 3.0};
    EXPECT_EQ(TreeInsert(a, p, 5, 1, 2), 1);
    EXPECT_EQ(TreeCount(b->root), 1 + 2 + 4 + 8 + 2);
    treetest::ExpectWalkMatches(c, -1);

    TreeFree(&c);
    EXPECT_EQ(*a->refCount, 2);
    if (sourceFirst) {
      TreeFree(&a);
      EXPECT_EQ(*b->refCount, 1);
      EXPECT_EQ(TreeCount(b->root), 17);  // still whole
      TreeFree(&b);                       // frees the boxes
    } else {
      TreeFree(&b);
      EXPECT_EQ(*a->refCount, 1);
      EXPECT_EQ(TreeCountDepth(a, 5), 1);
      TreeFree(&a);
    }
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
  }
  EXPECT_EQ(TreeCopy(nullptr), nullptr);
}

// One holder walks the leaves while the other inserts below the current
// leaf: the walk goes on over the old leaves only.
TEST(Tree, CopyInsertsBelowTheOtherHoldersWalk) {
  Tree* a = MakeTree({0.1, -0.3}, {1.0 / 3.0, 0.7});
  TreeSubdivideAll(a);
  TreeSubdivideAll(a);
  TreeSubdivideAll(a);
  Tree* b = TreeCopy(a);
  int visited = 0;
  if (TreeFirstBox(a, -1)) {
    do {
      ++visited;
      const int depth = static_cast<int>(a->depth);
      EXPECT_EQ(TreeInsert(b, a->c, depth + 1, 4, 8), 1);
      EXPECT_EQ(b->box, a->box->child[0]);  // a center lies on the split plane
    } while (TreeNextBox(a, -1));
  }
  EXPECT_EQ(visited, 8);
  EXPECT_TRUE(CursorAtRoot(a));
  EXPECT_EQ(TreeCountDepth(a, -1), 8);
  EXPECT_EQ(TreeCount(a->root), 15 + 8);
  TreeFree(&a);
  TreeFree(&b);
}

TEST(Tree, ResetRestoresTheDomainExactly) {
  Tree* t = MakeTree({0.1, 1e-300, -3.7}, {1.0 / 3.0, 3e-300, 0.1});
  for (int i = 0; i < 9; ++i) TreeSubdivideAll(t);
  ASSERT_EQ(TreeFirstBox(t, 9), 1);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(TreeNextBox(t, 9), 1);
  EXPECT_FALSE(CursorAtRoot(t));
  TreeReset(t);
  EXPECT_TRUE(CursorAtRoot(t));
  TreeFree(&t);
}

}  // namespace
