// TreeSplitsExact must never call a depth exact when some box bound of a
// tree grown to that depth is rounded: checked against the bounds that a
// full tree actually produces.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tree/tree.h"

namespace vesk {
namespace {

// a + b is exactly a double (two-sum error term zero).
bool SumExact(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  const double err = (a - (s - bb)) + (b - bb);
  return err == 0.0 && std::isfinite(s);
}

// Whether the boxes of depth d have exact bounds c - r, c + r and, when
// they are split further, exact children's centers c -/+ r/2 along the split
// coordinate.
bool DepthExact(Tree* tree, int d, bool split) {
  if (!TreeFirstBox(tree, d)) return true;
  do {
    for (int i = 0; i < tree->domain->dim; ++i) {
      const double c = tree->c[i], r = tree->r[i];
      if (!SumExact(c, -r) || !SumExact(c, r)) return false;
      if (split && i == tree->sd[d] && (!SumExact(c, -r * 0.5) || !SumExact(c, r * 0.5)))
        return false;
    }
  } while (TreeNextBox(tree, d));
  return true;
}

Tree* NewTree(double c0, double r0, double c1, double r1) {
  const double c[2] = {c0, c1}, r[2] = {r0, r1};
  Rectangle* domain = RectangleNew(c, r, 2);
  Tree* tree = TreeNew(domain);
  RectangleFree(&domain);
  return tree;
}

// A double with `bits` significant bits and the given exponent.
double WithBits(std::mt19937_64& rng, int bits, int exponent) {
  const uint64_t top = uint64_t{1} << (bits - 1);
  const uint64_t m = top | (rng() & (top - 1)) | 1;
  return std::ldexp(static_cast<double>(m), exponent - bits + 1);
}

TEST(TreeSplitsExact, NeverClaimsAnExactnessTheBoundsDoNotHave) {
  std::mt19937_64 rng(7);
  int exactSeen = 0, inexactSeen = 0;
  for (int trial = 0; trial < 150; ++trial) {
    const int rb = 40 + static_cast<int>(rng() % 14);  // 40..53 significant bits
    const int cb = 1 + static_cast<int>(rng() % 53);
    const double r0 = WithBits(rng, rb, static_cast<int>(rng() % 7) - 3);
    const double c0 = (rng() % 4 == 0) ? 0.0
                      : ((rng() & 1) ? 1 : -1) * WithBits(rng, cb, static_cast<int>(rng() % 7) - 3);
    Tree* tree = NewTree(c0, r0, 0.0, 1.0);
    const int levels = 2 * 8;
    for (int d = 0; d < levels; ++d) TreeSubdivideAll(tree);
    bool above = true;  // every depth above `depth` exact, children included
    for (int depth = 0; depth <= levels; ++depth) {
      const bool claimed = TreeSplitsExact(tree, depth) != 0;
      const bool actual = above && DepthExact(tree, depth, false);
      above = above && DepthExact(tree, depth, true);
      if (claimed) {
        ++exactSeen;
        ASSERT_TRUE(actual) << "c0=" << c0 << " r0=" << r0 << " depth=" << depth;
      } else {
        ++inexactSeen;
      }
    }
    TreeFree(&tree);
  }
  EXPECT_GT(exactSeen, 100);
  EXPECT_GT(inexactSeen, 100);
}

TEST(TreeSplitsExact, DyadicDomainsStayExactForDeepTrees) {
  const double c[4] = {0.0, 0.0, 0.0, 0.0}, r[4] = {3.25, 3.25, 2.0, 2.0};
  Rectangle* domain = RectangleNew(c, r, 4);
  Tree* tree = TreeNew(domain);
  RectangleFree(&domain);
  // 3.25 = 13 * 2^-2 holds 49 bisections exactly, 2 holds 52.
  EXPECT_TRUE(TreeSplitsExact(tree, 4 * 49));
  EXPECT_FALSE(TreeSplitsExact(tree, 4 * 49 + 1));
  // A non-dyadic radius is refused as soon as sums of halves round.
  tree->domain->radius[0] = 3.22;
  EXPECT_FALSE(TreeSplitsExact(tree, 8));
  // Beyond the stack limit nothing is exact.
  tree->domain->radius[0] = 3.25;
  EXPECT_FALSE(TreeSplitsExact(tree, static_cast<int>(TreeMaxDepth(tree)) + 1));
  TreeFree(&tree);
}

}  // namespace
}  // namespace vesk
