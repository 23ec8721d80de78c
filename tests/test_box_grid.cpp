// The one-walk collection of the boxes at a depth against the walk and the
// matrix export, and the grid lookup against the box search: the same hits
// for every query, including queries whose bounds lie on box faces,
// outside the domain, or are not numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "io/sparse_vector.h"
#include "random_tree.h"
#include "tree/grid.h"
#include "tree/search.h"

using namespace vesk;
using iotest::MakeTree;
using iotest::RandomTree;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::vector<uint32_t> TreeHits(Tree* t, const double* lo, const double* hi, int depth) {
  SparseVector* list = SparseVectorNew(0, 16);
  TreeReset(t);
  TreeSearchBoxRec(t, lo, hi, depth, list);
  std::vector<uint32_t> hits(list->index, list->index + list->count);
  SparseVectorFree(&list);
  return hits;
}

// One bound along coordinate j: a face of some box at the depth (or the
// next double beside it), a point inside or outside the domain, NaN or an
// infinity.
double Bound(std::mt19937& rng, const std::vector<double>& matrix, int dim, int count, int j,
             const Tree* t) {
  const double c = t->domain->center[j], r = t->domain->radius[j];
  std::uniform_real_distribution<double> u(-1.3, 1.3);
  switch (rng() % 10) {
    case 0: return kNaN;
    case 1: return rng() % 2 ? kInf : -kInf;
    case 2: return c + (rng() % 2 ? 3.0 : -3.0) * r;
    case 3: case 4: return c + u(rng) * r;
    default: {
      if (count == 0) return c;
      const double* rec = matrix.data() + (rng() % count) * (2 * dim + 2);
      double x = rng() % 2 ? rec[j] - rec[dim + j] : rec[j] + rec[dim + j];
      if (rng() % 4 == 0) x = std::nextafter(x, rng() % 2 ? kInf : -kInf);
      return x;
    }
  }
}

}  // namespace

TEST(BoxGrid, CollectionMatchesTheWalk) {
  std::mt19937 rng(8);
  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE(trial);
    const int dim = 1 + static_cast<int>(rng() % 5);
    Tree* t = RandomTree(rng, dim, 3 + static_cast<int>(rng() % 10), rng() % 2);
    const int depth = static_cast<int>(rng() % (TreeDepth(t->root) + 2));
    const uint8_t mask = static_cast<uint8_t>(rng());
    DepthBoxes boxes;
    TreeCollectDepth(t, depth, mask, 1, &boxes);
    EXPECT_EQ(t->box, t->root);
    EXPECT_EQ(t->depth, 0);

    const int count = TreeCountDepth(t, depth);
    ASSERT_EQ(boxes.count, count);
    std::vector<double> want(static_cast<size_t>(count) * (2 * dim + 2), 0.0);
    TreePrintToMatrix(t, depth, want.data());
    EXPECT_EQ(boxes.matrix, want);
    bool lacking = false;
    int i = 0;
    for (int d = 0; d <= depth && TreeFirstBox(t, d); ++d) {
      do {
        if (d == depth) EXPECT_EQ(boxes.box[i++], t->box);
        else if (!t->box->child[0] && !t->box->child[1]) lacking |= (t->box->flags & mask) != mask;
      } while (TreeNextBox(t, d));
    }
    EXPECT_EQ(boxes.leafWithoutMask, lacking);
    // Dyadic domains and boxes split along the table: always one grid.
    EXPECT_TRUE(boxes.onGrid);
    TreeFree(&t);
  }
}

TEST(BoxGrid, FindsWhatTheBoxSearchFinds) {
  std::mt19937 rng(64);
  size_t hits = 0, queries = 0;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    const int dim = 1 + static_cast<int>(rng() % 5);
    Tree* t = RandomTree(rng, dim, 3 + static_cast<int>(rng() % 14), rng() % 2);
    const int depth = static_cast<int>(rng() % (TreeDepth(t->root) + 1));
    DepthBoxes boxes;
    TreeCollectDepth(t, depth, 1, 1, &boxes);
    std::vector<int> order(dim);
    for (int j = 0; j < dim; ++j) order[j] = j;
    std::shuffle(order.begin(), order.end(), rng);
    if (rng() % 3 == 0) order.resize(rng() % dim);  // coordinates left out come last
    order.resize(dim, -1);
    BoxGrid* grid = BoxGridNew(t, boxes, order.data());
    ASSERT_NE(grid, nullptr);
    for (int q = 0; q < 200; ++q) {
      std::vector<double> lo(dim), hi(dim);
      for (int j = 0; j < dim; ++j) {
        lo[j] = Bound(rng, boxes.matrix, dim, boxes.count, j, t);
        hi[j] = Bound(rng, boxes.matrix, dim, boxes.count, j, t);
        if (rng() % 3 && lo[j] > hi[j]) std::swap(lo[j], hi[j]);
      }
      std::vector<uint32_t> got{7u};  // hits are appended
      BoxGridFind(grid, lo.data(), hi.data(), &got);
      std::vector<uint32_t> want = TreeHits(t, lo.data(), hi.data(), depth);
      want.insert(want.begin(), 7u);
      ASSERT_EQ(got, want) << "query " << q;
      hits += want.size() - 1;
      ++queries;
    }
    BoxGridFree(&grid);
    TreeFree(&t);
  }
  EXPECT_GT(hits, queries);  // the queries do meet boxes
}

TEST(BoxGrid, RefusesBoxesOffOneExactGrid) {
  auto grid = [](Tree* t, int depth) {
    DepthBoxes boxes;
    TreeCollectDepth(t, depth, 1, 0, &boxes);
    BoxGrid* g = BoxGridNew(t, boxes, nullptr);
    const bool made = g != nullptr;
    BoxGridFree(&g);
    return made;
  };
  Tree* t = MakeTree({0.5, -1.0}, {2.0, 1.0});
  for (int i = 0; i < 4; ++i) TreeSubdivideAll(t);
  EXPECT_TRUE(grid(t, 4));
  EXPECT_TRUE(grid(t, 0));  // the root alone
  // A box split against the table: its children are cells of another grid.
  Box* b = t->root->child[0]->child[1]->child[0]->child[0];
  BoxSubdivide(b, 1);
  EXPECT_FALSE(grid(t, 5));
  EXPECT_TRUE(grid(t, 4));  // the split lies below depth 4
  TreeFree(&t);

  // Bounds that are no doubles.
  t = MakeTree({0.1, 0.0}, {1.0, 1.0});
  TreeSubdivideAll(t);
  TreeSubdivideAll(t);
  EXPECT_FALSE(grid(t, 2));
  TreeFree(&t);

  // More than 31 cuts of one coordinate.
  t = MakeTree({0.0}, {1.0});
  const double p[1] = {0.3};
  TreeInsert(t, p, 31, 0, 0);
  EXPECT_TRUE(grid(t, 31));
  TreeInsert(t, p, 32, 0, 0);
  EXPECT_FALSE(grid(t, 32));
  TreeFree(&t);
}
