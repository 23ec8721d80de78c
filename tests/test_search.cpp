// Box search, matrix export and listing, checked against plain scans of
// the walk.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "io/sparse_vector.h"
#include "random_tree.h"
#include "tree/search.h"

using namespace vesk;
using iotest::MakeTree;
using iotest::RandomTree;
using iotest::WrittenBy;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// For every box under `box` (itself included): whether the extent of each
// box on the way down, along its parent's split coordinate, meets the
// closed query interval there. Geometry is recomputed from the given
// center and radius, independently of the cursor.
void Reach(const Box* box, std::vector<double>& c, std::vector<double>& r, bool ok,
           const double* lower, const double* upper, std::map<const Box*, bool>& out) {
  out[box] = ok;
  for (int i = 0; i < 2; ++i) {
    const Box* child = box->child[i];
    if (!child) continue;
    const int k = box->sd;
    const double m = c[k], h = r[k];
    const double lo = i == 0 ? m - h : m;
    const double hi = i == 0 ? m : m + h;
    const bool meets = !(lower[k] > hi) && !(lo > upper[k]);
    r[k] = h * 0.5;
    c[k] = i == 0 ? m - r[k] : m + r[k];
    Reach(child, c, r, ok && meets, lower, upper, out);
    c[k] = m;
    r[k] = h;
  }
}

struct Cursor {
  Box* box;
  int64_t depth;
  std::vector<double> c, r, cStack, rStack;
  std::vector<Box*> boxStack;
  std::vector<int32_t> childStack;
};

Cursor Snapshot(const Tree* t) {
  const int dim = t->domain->dim;
  const int64_t d = t->depth;
  return {t->box,
          d,
          {t->c, t->c + dim},
          {t->r, t->r + dim},
          {t->cStack, t->cStack + d},
          {t->rStack, t->rStack + d},
          {t->boxStack, t->boxStack + d},
          {t->childStack, t->childStack + d}};
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void ExpectSameCursor(const Cursor& a, const Cursor& b) {
  EXPECT_EQ(a.box, b.box);
  EXPECT_EQ(a.depth, b.depth);
  EXPECT_TRUE(SameBits(a.c, b.c));
  EXPECT_TRUE(SameBits(a.r, b.r));
  EXPECT_TRUE(SameBits(a.cStack, b.cStack));
  EXPECT_TRUE(SameBits(a.rStack, b.rStack));
  EXPECT_EQ(a.boxStack, b.boxStack);
  EXPECT_EQ(a.childStack, b.childStack);
}

// A query bound along coordinate k: a plain value, a split plane or face of
// a random box, a NaN, or a value outside the domain.
double RandomBound(Tree* scout, int k, std::mt19937& rng) {
  const double c0 = scout->domain->center[k], r0 = scout->domain->radius[k];
  switch (rng() % 6) {
    case 0:
    case 1: {
      // A box's midpoint or face, reached by a short walk on a copy.
      const int depth = rng() % 5;
      if (TreeFirstBox(scout, depth)) {
        for (int steps = rng() % 6; steps > 0 && TreeNextBox(scout, depth); --steps) {
        }
        const double v[3] = {scout->c[k] - scout->r[k], scout->c[k], scout->c[k] + scout->r[k]};
        const double bound = v[rng() % 3];
        TreeReset(scout);
        return bound;
      }
      return c0;
    }
    case 2:
      return rng() % 4 == 0 ? kNaN : c0 + r0 * 3.0;
    case 3:
      return c0 - r0 * 3.0;
    default:
      return c0 + r0 * std::uniform_real_distribution<double>(-1.2, 1.2)(rng);
  }
}

// One search from the tree's current cursor, compared with the oracle.
void CheckSearch(Tree* tree, int sel, const std::vector<double>& lower,
                 const std::vector<double>& upper, bool twice) {
  // Expected: the walk at sel over a copy, restricted to the start box's
  // subtree, keeping the boxes the oracle lets through.
  std::map<const Box*, bool> reach;
  std::vector<double> c(tree->c, tree->c + tree->domain->dim);
  std::vector<double> r(tree->r, tree->r + tree->domain->dim);
  Reach(tree->box, c, r, true, lower.data(), upper.data(), reach);
  Tree* copy = TreeCopy(tree);
  std::vector<int> expected;
  if (TreeFirstBox(copy, sel)) {
    do {
      auto it = reach.find(copy->box);
      if (it != reach.end() && it->second) expected.push_back(copy->box->no);
    } while (TreeNextBox(copy, sel));
  }
  TreeFree(&copy);

  const Cursor before = Snapshot(tree);
  SparseVector* hits = SparseVectorNew(tree->domain->dim, 16);
  TreeSearchBoxRec(tree, lower.data(), upper.data(), sel, hits);
  ExpectSameCursor(Snapshot(tree), before);
  if (twice) {
    // A second search appends after the first.
    TreeSearchBoxRec(tree, lower.data(), upper.data(), sel, hits);
    const std::vector<int> once = expected;
    expected.insert(expected.end(), once.begin(), once.end());
  }
  std::vector<int> got(hits->index, hits->index + hits->count);
  EXPECT_EQ(got, expected);
  for (int i = 0; i < hits->count; ++i) EXPECT_EQ(hits->value[i], 1.0);
  SparseVectorFree(&hits);
}

}  // namespace

TEST(TreeSearchBoxRec, MatchesScanOfTheWalk) {
  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 300; ++trial) {
    const int dim = 1 + trial % 4;
    Tree* tree = RandomTree(rng, dim, 9, trial % 3 == 0);
    Tree* scout = TreeCopy(tree);
    const int height = TreeDepth(tree->root);
    for (int q = 0; q < 12; ++q) {
      int sel;
      switch (rng() % 4) {
        case 0: sel = -1; break;
        case 1: sel = -2; break;
        default: sel = static_cast<int>(rng() % (height + 2));
      }
      std::vector<double> lower(dim), upper(dim);
      for (int k = 0; k < dim; ++k) {
        lower[k] = RandomBound(scout, k, rng);
        upper[k] = RandomBound(scout, k, rng);
        if (rng() % 3 && lower[k] > upper[k]) std::swap(lower[k], upper[k]);
      }
      SCOPED_TRACE("trial " + std::to_string(trial) + " query " + std::to_string(q) +
                   " selector " + std::to_string(sel));
      TreeCountDepth(tree, sel);
      // From the root, as the analyses call it, and from an inner start box
      // that a walk left the cursor on.
      TreeReset(tree);
      CheckSearch(tree, sel, lower, upper, q % 5 == 0);
      const int startDepth = 1 + rng() % 3;
      if (TreeFirstBox(tree, startDepth)) {
        for (int steps = rng() % 4; steps > 0; --steps)
          if (!TreeNextBox(tree, startDepth)) break;
        CheckSearch(tree, sel, lower, upper, false);
      }
      if (HasFailure()) break;
    }
    TreeFree(&scout);
    TreeFree(&tree);
    if (HasFailure()) break;
  }
}

TEST(TreeSearchBoxRec, WalkResumesAfterSearch) {
  // A search from the current box of a walk leaves the walk's path intact:
  // the walk goes on exactly as without the search.
  std::mt19937 rng(7);
  for (int trial = 0; trial < 50; ++trial) {
    Tree* tree = RandomTree(rng, 2, 8, true);
    Tree* plain = TreeCopy(tree);
    TreeCountDepth(tree, -1);
    const double lower[2] = {-1e300, -1e300}, upper[2] = {1e300, 1e300};
    int steps = 0;
    int a = TreeFirstBox(tree, 2), b = TreeFirstBox(plain, 2);
    while (a && b) {
      SparseVector* hits = SparseVectorNew(2, 16);
      TreeSearchBoxRec(tree, lower, upper, -1, hits);
      EXPECT_GE(hits->count, 1);
      SparseVectorFree(&hits);
      ASSERT_EQ(tree->box, plain->box);
      a = TreeNextBox(tree, 2);
      b = TreeNextBox(plain, 2);
      ++steps;
    }
    EXPECT_EQ(a, b);
    TreeFree(&plain);
    TreeFree(&tree);
  }
}

TEST(TreeSearchBoxRec, OnlySplitCoordinatesAreTested) {
  // Root split along 0 only: a query outside the domain along coordinate 1
  // still meets both depth-1 boxes; below a split along 1 it meets nothing.
  Tree* tree = MakeTree({0.0, 0.0}, {1.0, 1.0});
  BoxSubdivide(tree->root, 0);
  TreeCountDepth(tree, 1);
  const double lower[2] = {-2.0, 5.0}, upper[2] = {2.0, 6.0};
  SparseVector* hits = SparseVectorNew(2, 16);
  TreeReset(tree);
  TreeSearchBoxRec(tree, lower, upper, 1, hits);
  ASSERT_EQ(hits->count, 2);
  EXPECT_EQ(hits->index[0], 0);
  EXPECT_EQ(hits->index[1], 1);
  BoxSubdivide(tree->root->child[0], 1);
  TreeCountDepth(tree, -1);
  hits->count = 0;
  TreeReset(tree);
  TreeSearchBoxRec(tree, lower, upper, -1, hits);
  ASSERT_EQ(hits->count, 1);  // the upper leaf only
  EXPECT_EQ(hits->index[0], tree->root->child[1]->no);
  // A selector below -2 and one deeper than every leaf find nothing.
  hits->count = 0;
  TreeSearchBoxRec(tree, lower, upper, -3, hits);
  TreeSearchBoxRec(tree, lower, upper, 5, hits);
  EXPECT_EQ(hits->count, 0);
  SparseVectorFree(&hits);
  TreeFree(&tree);
}

TEST(TreePrintToMatrix, RecordsFollowTheWalk) {
  std::mt19937 rng(99);
  const double sentinel = -7.0625;
  for (int trial = 0; trial < 120; ++trial) {
    const int dim = 1 + trial % 4;
    Tree* tree = RandomTree(rng, dim, 8, trial % 2 == 0);
    const int stride = 2 * dim + 2;
    for (int sel : {-3, -2, -1, 0, 1, 2, 3, 6, 40}) {
      const int n = TreeCountDepth(tree, sel);
      std::vector<double> m(static_cast<size_t>(n + 1) * stride, sentinel);
      TreePrintToMatrix(tree, sel, m.data());
      Tree* copy = TreeCopy(tree);
      int k = 0;
      if (TreeFirstBox(copy, sel)) {
        do {
          const double* rec = &m[static_cast<size_t>(k) * stride];
          EXPECT_EQ(std::memcmp(rec, copy->c, dim * sizeof(double)), 0);
          EXPECT_EQ(std::memcmp(rec + dim, copy->r, dim * sizeof(double)), 0);
          EXPECT_EQ(rec[2 * dim], static_cast<double>(copy->box->flags));
          EXPECT_EQ(rec[2 * dim + 1], sentinel);
          EXPECT_EQ(copy->box->no, k);
          ++k;
        } while (TreeNextBox(copy, sel));
      }
      EXPECT_EQ(k, n);
      for (int i = 0; i < stride; ++i)
        EXPECT_EQ(m[static_cast<size_t>(n) * stride + i], sentinel) << "past the last record";
      EXPECT_EQ(tree->box, tree->root);
      EXPECT_EQ(tree->depth, 0);
      TreeFree(&copy);
    }
    TreeFree(&tree);
    if (HasFailure()) break;
  }
}

TEST(TreePrint, OneLinePerBox) {
  Tree* tree = MakeTree({0.0, 0.0}, {0.5, 1.0});
  BoxSubdivide(tree->root, 0);
  BoxSubdivide(tree->root->child[1], 1);
  BoxSubdivide(tree->root->child[1]->child[0], 1);
  tree->root->child[1]->child[0]->child[0]->flags = 3;
  tree->root->child[1]->child[0]->child[1]->flags = 255;
  EXPECT_EQ(WrittenBy([&](FILE* out) { TreePrint(out, tree, 3); }),
            "0.25 -0.75 0.25 0.25 3\n0.25 -0.25 0.25 0.25 255\n");
  EXPECT_EQ(WrittenBy([&](FILE* out) { TreePrint(out, tree, 4); }), "");
  EXPECT_EQ(WrittenBy([&](FILE* out) { TreePrint(out, tree, -2); }),
            "0.25 -0.5 0.25 0.5 0\n");
  TreeFree(&tree);
}
