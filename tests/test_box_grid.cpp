// The parallel collection of the boxes at a depth against the walk and the
// matrix export, its pruning against TreeRemove, the parallel subdivision
// against TreeSubdivideAll, and the grid lookup
// against the box search: the same hits for every query, including queries
// whose bounds lie on box faces, outside the domain, or are not numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "analysis/box_graph.h"
#include "analysis/depth_boxes.h"
#include "io/sparse_vector.h"
#include "random_tree.h"
#include "tree/grid.h"
#include "tree/search.h"
#include "tests/test_support.h"

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

// Two lookups built from the same boxes, array for array.
void ExpectSameLookup(const BoxGrid& a, const BoxGrid& b) {
  EXPECT_EQ(a.runFirst, b.runFirst);
  EXPECT_TRUE(std::equal(a.box.begin(), a.box.end(), b.box.begin(), b.box.end()));
  EXPECT_TRUE(std::equal(a.rest.begin(), a.rest.end(), b.rest.begin(), b.rest.end()));
  EXPECT_EQ(a.hashBits, b.hashBits);
  EXPECT_TRUE(std::equal(a.slotKey.begin(), a.slotKey.end(), b.slotKey.begin(), b.slotKey.end()));
  for (size_t s = 0; s < a.slotKey.size(); ++s) {
    if (a.slotKey[s] != 0) {
      EXPECT_EQ(a.slotRun[s], b.slotRun[s]) << "slot " << s;
    }
  }
  for (int p = 0; p < kGridParts; ++p) {
    EXPECT_EQ(a.part[p].first, b.part[p].first);
    EXPECT_EQ(a.part[p].runSize, b.part[p].runSize);
    EXPECT_EQ(a.part[p].runCells, b.part[p].runCells);
  }
}

// One bound along coordinate j: a face of some box at the depth (or the
// next double beside it), a point inside or outside the domain, NaN or an
// infinity.
double Bound(std::mt19937& rng, const FillVector<double>& matrix, int dim, int count, int j,
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

TEST(DepthBoxes, CollectionAndPruningMatchTheWalkAndTreeRemove) {
  std::mt19937 rng(8);
  int deepest = 0, lacking = 0, pruned = 0, kept = 0;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    const int dim = 1 + static_cast<int>(rng() % 5);
    Tree* t = RandomTree(rng, dim, 3 + static_cast<int>(rng() % 12), rng() % 2);
    if (rng() % 3 == 0)  // many boxes, so that the tree is cut into many units
      for (int i = 0; i < 9 && TreeCount(t->root) < 20000; ++i) TreeSubdivideAll(t);
    const int height = TreeDepth(t->root);
    // The height (depth -1), or a depth at or above or below it.
    const int asked = rng() % 2 ? -1 : static_cast<int>(rng() % (height + 2));
    const int depth = asked < 0 ? height : asked;
    deepest += asked < 0;
    const uint8_t mask = static_cast<uint8_t>(1u << (rng() % 3));
    const int withMatrix = static_cast<int>(rng() % 2);
    DepthBoxes boxes;
    Workers workers(1 + static_cast<int>(rng() % 3));
    CollectDepthBoxes(t, asked, mask, withMatrix, INT_MAX, workers, &boxes);
    EXPECT_EQ(t->box, t->root);
    EXPECT_EQ(t->depth, 0);
    EXPECT_EQ(boxes.depth, depth);

    // The boxes, numbers and records of the walk at that depth.
    const std::vector<int64_t> numbered = vesktest::Snapshot(t);
    const int count = TreeCountDepth(t, depth);
    EXPECT_EQ(vesktest::Snapshot(t), numbered);
    ASSERT_EQ(boxes.count, count);
    std::vector<double> want(static_cast<size_t>(count) * (2 * dim + 2), 0.0);
    TreePrintToMatrix(t, depth, want.data());
    if (withMatrix || !boxes.onGrid) {
      EXPECT_EQ(std::vector<double>(boxes.matrix.begin(), boxes.matrix.end()), want);
    }
    std::vector<double> record(2 * dim);
    for (int i = 0; i < count; ++i) {
      DepthBoxRecord(boxes, i, record.data());
      ASSERT_TRUE(std::equal(record.begin(), record.end(), want.begin() + i * (2 * dim + 2)));
    }
    bool lack = false;
    int i = 0;
    for (int d = 0; d <= depth && TreeFirstBox(t, d); ++d) {
      do {
        if (d == depth) EXPECT_EQ(boxes.box[i++], t->box);
        else if (!t->box->child[0] && !t->box->child[1]) lack |= (t->box->flags & mask) != mask;
      } while (TreeNextBox(t, d));
    }
    EXPECT_EQ(boxes.leafWithoutMask, lack);
    lacking += lack;
    // Dyadic domains and boxes split along the table: always one grid.
    EXPECT_TRUE(boxes.onGrid);

    // Pruning with random verdicts leaves what the flags and TreeRemove
    // leave, numbered as the walk numbers.
    if (depth == height) {
      std::vector<char> keep(count);
      const int odds = 1 + static_cast<int>(rng() % 4);
      for (char& k : keep) k = rng() % odds == 0;
      Tree* ref = vesktest::CloneTree(t);
      TreeSetFlagsVect(ref, depth, reinterpret_cast<const unsigned char*>(keep.data()), mask);
      TreeRemove(ref->root, mask);
      const int left = TreeCountDepth(ref, depth);
      EXPECT_EQ(PruneDepthBoxes(t, boxes, keep.data(), mask, workers), left);
      EXPECT_EQ(vesktest::Snapshot(t), vesktest::Snapshot(ref));
      EXPECT_EQ(t->box, t->root);
      pruned += left < count;
      TreeFree(&ref);
      // The boxes left, as a new gathering of the pruned tree finds them.
      if (left > 0) {
        KeepDepthBoxes(t, keep.data(), workers, &boxes);
        DepthBoxes again;
        CollectDepthBoxes(t, -1, mask, withMatrix, INT_MAX, workers, &again);
        EXPECT_EQ(boxes.depth, again.depth);
        ASSERT_EQ(boxes.count, again.count);
        EXPECT_TRUE(std::equal(again.box.begin(), again.box.end(), boxes.box.begin()));
        EXPECT_EQ(boxes.onGrid, again.onGrid);
        if (again.onGrid) {
          EXPECT_TRUE(std::equal(again.cell.begin(), again.cell.end(), boxes.cell.begin(),
                                 boxes.cell.end()));
        }
        EXPECT_TRUE(std::equal(again.matrix.begin(), again.matrix.end(), boxes.matrix.begin(),
                               boxes.matrix.end()));
        EXPECT_EQ(boxes.leafWithoutMask, again.leafWithoutMask);
        EXPECT_EQ(boxes.cut, again.cut);
        EXPECT_EQ(boxes.unit, again.unit);
        kept += left < count;
      }
    }
    TreeFree(&t);
  }
  EXPECT_GT(deepest, 100);
  EXPECT_GT(lacking, 30);
  EXPECT_GT(pruned, 50);
  EXPECT_GT(kept, 30);
}

// Under upward rounding, the boxes gathered on several workers from a tree
// over a domain that is no dyadic box (inexact centers) have the records of
// the tree's own print in round-to-nearest: the units cut on the calling
// thread are computed in round-to-nearest too.
TEST(DepthBoxes, CollectionIgnoresTheCallersRoundingDirection) {
  Tree* t = MakeTree({0.1, -0.3, 0.7}, {0.3, 0.7, 1.1});
  for (int i = 0; i < 15; ++i) TreeSubdivideAll(t);
  const int depth = TreeDepth(t->root);
  const int count = TreeCountDepth(t, depth);
  std::vector<double> want(static_cast<size_t>(count) * 8, 0.0);
  TreePrintToMatrix(t, depth, want.data());
  for (int threads : {1, 2}) {
    DepthBoxes boxes;
    Workers workers(threads);
    std::fesetround(FE_UPWARD);
    CollectDepthBoxes(t, -1, 1, 1, INT_MAX, workers, &boxes);
    std::fesetround(FE_TONEAREST);
    ASSERT_EQ(boxes.count, count);
    EXPECT_FALSE(boxes.onGrid);
    EXPECT_EQ(std::vector<double>(boxes.matrix.begin(), boxes.matrix.end()), want)
        << threads << " threads";
  }
  TreeFree(&t);
}

TEST(DepthBoxes, SubdivisionMatchesTreeSubdivideAll) {
  std::mt19937 rng(13);
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE(trial);
    const int dim = 1 + static_cast<int>(rng() % 5);
    Tree* t = RandomTree(rng, dim, 3 + static_cast<int>(rng() % 12), rng() % 2);
    for (int i = 0, n = static_cast<int>(rng() % 8); i < n && TreeCount(t->root) < 20000; ++i)
      TreeSubdivideAll(t);
    Tree* ref = vesktest::CloneTree(t);
    TreeSubdivideAll(ref);
    TreeSubdivideAllThreads(t, 1 + static_cast<int>(rng() % 3));
    EXPECT_EQ(vesktest::Snapshot(t), vesktest::Snapshot(ref));
    EXPECT_EQ(t->box, t->root);
    TreeFree(&ref);
    TreeFree(&t);
  }
  // Leaves at the depth limit stay leaves, with one warning line.
  Tree* t = MakeTree({0.1}, {1.0 / 3.0});
  const double p = 0.2, q = -0.1;
  TreeInsert(t, &p, 500, 1, 1);
  TreeInsert(t, &q, 7, 1, 1);
  Tree* ref = vesktest::CloneTree(t);
  const std::string want = vesktest::StderrOf([&] { TreeSubdivideAll(ref); });
  const std::string err = vesktest::StderrOf([&] { TreeSubdivideAllThreads(t, 2); });
  EXPECT_EQ(vesktest::Snapshot(t), vesktest::Snapshot(ref));
  EXPECT_EQ(err.rfind("warning: libvesk: ", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_NE(want.find(" 1 leaves at the depth limit 500 "), std::string::npos) << want;
  EXPECT_NE(err.find(" 1 leaves at the depth limit 500 "), std::string::npos) << err;
  TreeFree(&ref);
  TreeFree(&t);
}

void LeafDepths(const Box* b, int d, int* shallow, int* deep) {
  if (!b->child[0] && !b->child[1]) {
    *shallow = std::min(*shallow, d);
    *deep = std::max(*deep, d);
    return;
  }
  for (const Box* c : b->child)
    if (c) LeafDepths(c, d + 1, shallow, deep);
}

// The boxes gathered while subdividing are those a walk gathers after it,
// on even trees (every leaf at one depth, splits along a random table) and
// on the uneven trees of RandomTree, where the gathering must step aside.
TEST(DepthBoxes, GatheringWhileSubdividingMatchesTheWalk) {
  std::mt19937 rng(21);
  int gathered = 0;
  for (int trial = 0; trial < 120; ++trial) {
    SCOPED_TRACE(trial);
    const int dim = 1 + static_cast<int>(rng() % 4);
    Tree* t;
    if (trial % 3 == 0) {
      t = RandomTree(rng, dim, 3 + static_cast<int>(rng() % 10), rng() % 2);
    } else {
      std::vector<double> center(dim), radius(dim);
      for (int j = 0; j < dim; ++j) {
        center[j] = 0.25 * static_cast<int>(rng() % 9) - 1.0;
        radius[j] = 0.5 * (1 + rng() % 4);
      }
      t = MakeTree(center, radius);
      if (rng() % 2)
        for (int64_t d = 0; d <= TreeMaxDepth(t); ++d)
          t->sd[d] = static_cast<uint8_t>(rng() % dim);
      const int depth = static_cast<int>(rng() % 12);
      for (int i = 0, n = 1 + static_cast<int>(rng() % 300); i < n; ++i)
        TreeInsert(t, iotest::RandomPoint(t, rng).data(), depth, 1, 1);
    }
    int shallow = INT_MAX, deep = -1;
    LeafDepths(t->root, 0, &shallow, &deep);
    const bool even = shallow == deep;
    // The leaves numbered as the driver numbers them; the count handed over
    // or not.
    const int leaves = TreeNumberLeaves(t, -1, nullptr);
    Tree* ref = vesktest::CloneTree(t);
    Workers some(1 + static_cast<int>(rng() % 3));
    TreeSubdivideAllThreads(ref, 1);
    const auto split = vesktest::Snapshot(ref);
    DepthBoxes want, got;
    CollectDepthBoxes(ref, -1, 1, 0, INT_MAX, some, &want);  // numbers the boxes
    got.depth = 7;  // stale values are not left behind
    if (trial % 5 == 4 && leaves >= 3) {
      // Numbers out of walk order are noticed, not trusted: the second and
      // third leaves swapped.
      TreeFirstBox(t, -1);
      TreeNextBox(t, -1);
      Box* second = t->box;
      TreeNextBox(t, -1);
      std::swap(second->no, t->box->no);
      TreeReset(t);
      EXPECT_FALSE(TreeSubdivideAllCollect(t, some, leaves, &got));
      EXPECT_EQ(got.depth, -1);
      EXPECT_EQ(TreeCount(t->root), TreeCount(ref->root));
      TreeFree(&ref);
      TreeFree(&t);
      continue;
    }
    const bool made = TreeSubdivideAllCollect(t, some, rng() % 2 ? leaves : -1, &got);
    ASSERT_EQ(vesktest::Snapshot(t), made ? vesktest::Snapshot(ref) : split);
    if (!made) {
      EXPECT_EQ(got.depth, -1);
      EXPECT_TRUE(!even || !want.onGrid) << "an even tree on a grid was not gathered";
    } else {
      ASSERT_TRUE(even);
      ++gathered;
      ASSERT_TRUE(want.onGrid);
      EXPECT_EQ(got.depth, want.depth);
      ASSERT_EQ(got.count, want.count);
      EXPECT_EQ(std::vector<uint32_t>(got.cell.begin(), got.cell.end()),
                std::vector<uint32_t>(want.cell.begin(), want.cell.end()));
      EXPECT_FALSE(got.leafWithoutMask);
      for (int i = 0; i < got.count; ++i) ASSERT_EQ(got.box[i]->no, i);
      // The units cut the tree as a walk of it now does.
      EXPECT_EQ(got.cut, want.cut);
      DepthBoxes again;
      CollectDepthBoxes(t, -1, 1, 0, INT_MAX, some, &again);
      EXPECT_EQ(got.cut, again.cut);
      EXPECT_EQ(got.unit, again.unit);
    }
    TreeFree(&ref);
    TreeFree(&t);
  }
  EXPECT_GT(gathered, 40);
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
    Workers one(1);
    CollectDepthBoxes(t, depth, 1, 1, INT_MAX, one, &boxes);
    std::vector<int> order(dim);
    for (int j = 0; j < dim; ++j) order[j] = j;
    std::shuffle(order.begin(), order.end(), rng);
    if (rng() % 3 == 0) order.resize(rng() % dim);  // coordinates left out come last
    order.resize(dim, -1);
    // Keys of every length: no axis, some, all but the last (-1), all.
    const int keyed = static_cast<int>(rng() % (dim + 2)) - 1;
    BoxGrid* grid =
        BoxGridNew(t, depth, boxes.cell.data(), boxes.count, order.data(), keyed);
    ASSERT_NE(grid, nullptr);
    {
      // Built part by part, the last part first: the same lookup.
      BoxGrid parts;
      ASSERT_EQ(BoxGridBegin(&parts, t, depth, boxes.count, order.data(), keyed), 1);
      for (int p = kGridParts; p-- > 0;) BoxGridFindRuns(&parts, boxes.cell.data(), p);
      BoxGridNumberRuns(&parts);
      for (int p = kGridParts; p-- > 0;) BoxGridPlace(&parts, boxes.cell.data(), p);
      ExpectSameLookup(*grid, parts);
    }
    for (int q = 0; q < 200; ++q) {
      std::vector<double> lo(dim), hi(dim);
      for (int j = 0; j < dim; ++j) {
        lo[j] = Bound(rng, boxes.matrix, dim, boxes.count, j, t);
        hi[j] = Bound(rng, boxes.matrix, dim, boxes.count, j, t);
        if (rng() % 3 && lo[j] > hi[j]) std::swap(lo[j], hi[j]);
        if (rng() % 4 == 0) hi[j] = lo[j];  // a point: on a face, beside one, inside
      }
      HitList got{7u};  // hits are appended
      BoxGridFind(grid, lo.data(), hi.data(), &got);
      std::vector<uint32_t> want = TreeHits(t, lo.data(), hi.data(), depth);
      want.insert(want.begin(), 7u);
      ASSERT_EQ(std::vector<uint32_t>(got.begin(), got.end()), want)
          << "query " << q << ", keyed " << keyed;
      // Unsorted: the same boxes, each once.
      got = HitList{7u};
      BoxGridFind(grid, lo.data(), hi.data(), &got, 0);
      std::sort(got.begin() + 1, got.end());
      ASSERT_EQ(std::vector<uint32_t>(got.begin(), got.end()), want)
          << "unsorted, query " << q << ", keyed " << keyed;
      hits += want.size() - 1;
      ++queries;
    }
    BoxGridFree(&grid);
    TreeFree(&t);
  }
  EXPECT_GT(hits, queries);  // the queries do meet boxes
}

// The parts built side by side on two workers, into a lookup built before
// from other boxes: the same lookup as one built alone on one thread. Keys
// over every axis give each box a run of its own, so that the parts outgrow
// their halves of the table while they are built.
TEST(BoxGrid, PartsBuiltOnTwoWorkersMakeTheSameLookup) {
  std::mt19937 rng(2);
  Workers two(2);
  BoxGrid reused;
  for (int trial = 0; trial < 6; ++trial) {
    SCOPED_TRACE(trial);
    const int dim = 2 + trial % 3;
    Tree* t = RandomTree(rng, dim, 8, trial % 2);
    while (TreeCountDepth(t, -1) < 30000) TreeSubdivideAll(t);
    DepthBoxes boxes;
    CollectDepthBoxes(t, -1, 1, 0, INT_MAX, two, &boxes);
    ASSERT_TRUE(boxes.onGrid);
    const int keyed = trial < 3 ? -1 : dim;
    BoxGrid* alone =
        BoxGridNew(t, boxes.depth, boxes.cell.data(), boxes.count, nullptr, keyed);
    ASSERT_NE(alone, nullptr);
    ASSERT_EQ(DepthBoxesGrid(&reused, t, boxes, two, nullptr, keyed), &reused);
    EXPECT_GT(reused.part[0].runSize.size(), 10u);
    EXPECT_GT(reused.part[1].runSize.size(), 10u);
    EXPECT_EQ(reused.runFirst, alone->runFirst);
    EXPECT_TRUE(std::equal(reused.box.begin(), reused.box.end(), alone->box.begin(),
                           alone->box.end()));
    EXPECT_TRUE(std::equal(reused.rest.begin(), reused.rest.end(), alone->rest.begin(),
                           alone->rest.end()));
    ExpectSameLookup(reused, *alone);
    BoxGridFree(&alone);
    TreeFree(&t);
  }
}

// Cells of 22 bits along each of 3 coordinates: keys of 66 bits; at
// depth 64, 22 + 21 + 21 bits, the widest key that is not hashed. Boxes
// inserted around random points and in the upper corner (the key of all
// ones); the query of each box's center finds that box alone, with the key
// over all axes and over all but the last.
TEST(BoxGrid, KeysOf64BitsAndWider) {
  for (const int depth : {64, 66}) {
    SCOPED_TRACE(depth);
    Tree* t = MakeTree({0.0, 0.0, 0.0}, {1.0, 1.0, 1.0});
    std::mt19937 rng(66);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    // Each point also with its last coordinate moved by 1/2 and mirrored:
    // cells that differ in the highest bits of the key only.
    for (int i = 0; i < 500; ++i) {
      const double x = u(rng), y = u(rng), z = 0.5 * std::fabs(u(rng));
      for (double w : {z, z - 0.5, -z, 0.5 - z}) {
        const double p[3] = {x, y, w};
        TreeInsert(t, p, depth, 1, 1);
      }
    }
    // A second cluster of close boxes: cells that differ in low bits only.
    for (int i = 0; i < 200; ++i) {
      const double p[3] = {0.25 + std::ldexp(u(rng), -20), -0.5 + std::ldexp(u(rng), -20),
                           0.125 + std::ldexp(u(rng), -21)};
      TreeInsert(t, p, depth, 1, 1);
    }
    const double corner[3] = {1.0 - 0x1p-40, 1.0 - 0x1p-40, 1.0 - 0x1p-40};
    TreeInsert(t, corner, depth, 1, 1);
    ASSERT_EQ(TreeDepth(t->root), depth);
    DepthBoxes boxes;
    Workers one(1);
    CollectDepthBoxes(t, depth, 1, 1, INT_MAX, one, &boxes);
    ASSERT_TRUE(boxes.onGrid);
    ASSERT_GT(boxes.count, 2000);
    for (int keyed : {3, -1}) {
      BoxGrid* grid = BoxGridNew(t, depth, boxes.cell.data(), boxes.count, nullptr, keyed);
      ASSERT_NE(grid, nullptr);
      for (int i = 0; i < boxes.count; ++i) {
        const double* center = boxes.matrix.data() + static_cast<size_t>(i) * 8;
        HitList got;
        BoxGridFind(grid, center, center, &got);
        ASSERT_EQ(std::vector<uint32_t>(got.begin(), got.end()),
                  std::vector<uint32_t>{static_cast<uint32_t>(i)})
            << "box " << i << ", keyed " << keyed;
      }
      BoxGridFree(&grid);
    }
    TreeFree(&t);
  }
}

TEST(BoxGrid, RefusesBoxesOffOneExactGrid) {
  auto grid = [](Tree* t, int depth) {
    DepthBoxes boxes;
    Workers one(1);
    CollectDepthBoxes(t, depth, 1, 0, INT_MAX, one, &boxes);
    if (!boxes.onGrid) return false;
    BoxGrid* g = BoxGridNew(t, depth, boxes.cell.data(), boxes.count, nullptr);
    EXPECT_NE(g, nullptr);
    BoxGridFree(&g);
    return true;
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
