// Tree editing, flags and counts: insertion, subdivision, removal by flags,
// cuts, flag operations, counting and numbering, and the depth limit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/tree_oracle.h"
#include "tree/tree.h"

using namespace vesk;
using treetest::BitEqual;
using treetest::CursorAtRoot;
using treetest::MakeTree;
using treetest::Node;
using treetest::RefBox;
using treetest::SameTree;
using treetest::Snap;
using treetest::StderrOf;

namespace {

// ------------------------------------------------- reference edits on Node

// Subdivides the leaves that have a bit of mask (every leaf when all).
void RefSubdivide(Node& n, int depth, uint8_t mask, bool all, const uint8_t* table,
                  int& count) {
  if (treetest::IsLeaf(n)) {
    if (!all && !(n.flags & mask)) return;
    n.sd = table[depth];
    n.has = {true, true};
    n.ch.assign(2, Node{0, 0, std::vector<Node>(2), {false, false}});
    ++count;
    return;
  }
  for (int i = 0; i < 2; ++i)
    if (n.has[i]) RefSubdivide(n.ch[i], depth + 1, mask, all, table, count);
}

void Prune(Node& n) {
  n.has = {false, false};
  n.ch.assign(2, Node{});
}

bool AllChildrenLeaves(const Node& n) {
  if (treetest::IsLeaf(n)) return false;
  for (int i = 0; i < 2; ++i)
    if (n.has[i] && !treetest::IsLeaf(n.ch[i])) return false;
  return true;
}

void RefUnsubdivide(Node& n, uint8_t mask, int& count) {
  if (AllChildrenLeaves(n)) {
    if (n.flags & mask) {
      Prune(n);
      ++count;
    }
    return;
  }
  for (int i = 0; i < 2; ++i)
    if (n.has[i]) RefUnsubdivide(n.ch[i], mask, count);
}

// The removal rule, recursively.
bool RefRemove(Node& n, uint8_t mask) {
  if (treetest::IsLeaf(n)) return (n.flags & mask) != mask;
  for (int i = 0; i < 2; ++i)
    if (n.has[i] && RefRemove(n.ch[i], mask)) {
      n.has[i] = false;
      n.ch[i] = Node{};
    }
  if (!treetest::IsLeaf(n)) return false;
  n.flags = static_cast<uint8_t>(n.flags & ~mask);
  return (n.flags & mask) != mask;
}

// Frees the children of the boxes a walk at `sel` selects.
void RefCutAt(Node& n, int depth, int sel) {
  const bool selected = sel >= 0 ? depth == sel : sel == -2 && AllChildrenLeaves(n);
  if (selected) {
    Prune(n);
    return;
  }
  for (int i = 0; i < 2; ++i)
    if (n.has[i]) RefCutAt(n.ch[i], depth + 1, sel);
}

void ExpectCountsMatch(const Tree* t, const Node& ref) {
  EXPECT_EQ(TreeCount(t->root), treetest::RefCount(ref));
  EXPECT_EQ(TreeDepth(t->root), treetest::RefHeight(ref));
}

int Leaves(const Tree* t) { return static_cast<int>(treetest::RefWalk(t, -1).size()); }

// ------------------------------------------------------------- insertion

struct Before {
  uint8_t flags, sd;
  bool leaf;
};

// Inserts and checks the result against the rules: the path leads to the
// point (ties to child 0), new boxes carry newMask, existing path boxes
// gain pathMask, nothing else changes, the cursor rests on the box reached.
void CheckedInsert(Tree* t, const std::vector<double>& p, int depth, uint8_t newMask,
                   uint8_t pathMask) {
  SCOPED_TRACE("insert at depth " + std::to_string(depth));
  std::map<const Box*, Before> before;
  for (const RefBox& b : treetest::RefAllBoxes(t))
    before[b.box] = {b.box->flags, b.box->sd, treetest::IsLeaf(b.box)};
  const Box* oldCursor = t->box;
  const int64_t oldDepth = t->depth;
  const int n = t->domain->dim;
  bool inside = true;
  for (int i = 0; i < n; ++i)
    inside = inside && std::fabs(p[i] - t->domain->center[i]) <= t->domain->radius[i];

  const int result = TreeInsert(t, p.data(), depth, newMask, pathMask);
  const int created = TreeCount(t->root) - static_cast<int>(before.size());
  if (!inside) {
    EXPECT_EQ(result, -1);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(t->box, oldCursor);
    EXPECT_EQ(t->depth, oldDepth);
    return;
  }
  EXPECT_EQ(result, created > 0 ? 1 : 0);
  EXPECT_LE(created, depth >= 0 ? depth : 1);
  if (depth >= 0) EXPECT_EQ(t->depth, depth);
  else EXPECT_TRUE(treetest::IsLeaf(t->box));

  std::map<const Box*, RefBox> now;
  std::map<const Box*, std::pair<const Box*, int>> parent;
  for (const RefBox& b : treetest::RefAllBoxes(t)) {
    now[b.box] = b;
    for (int i = 0; i < 2; ++i)
      if (b.box->child[i]) parent[b.box->child[i]] = {b.box, i};
  }
  const RefBox& at = now.at(t->box);
  EXPECT_EQ(at.depth, t->depth);
  EXPECT_TRUE(BitEqual(t->c, at.c.data(), n));
  EXPECT_TRUE(BitEqual(t->r, at.r.data(), n));
  std::set<const Box*> path;
  for (const Box* b = t->box; parent.count(b); b = parent[b].first) {
    path.insert(b);
    const Box* up = parent[b].first;
    const RefBox& u = now.at(up);
    const int k = up->sd;
    EXPECT_EQ(parent[b].second, p[k] > u.c[k] ? 1 : 0) << "side at depth " << u.depth;
    const auto old = before.find(up);
    if (old == before.end() || old->second.leaf) {
      EXPECT_EQ(k, t->sd[u.depth]);
    } else {
      EXPECT_EQ(k, old->second.sd);
    }
  }
  for (const auto& [box, b] : now) {
    auto old = before.find(box);
    if (old == before.end()) {
      EXPECT_TRUE(path.count(box));
      EXPECT_EQ(box->flags, newMask);
    } else if (path.count(box)) {
      EXPECT_EQ(box->flags, old->second.flags | pathMask);
    } else {
      EXPECT_EQ(box->flags, old->second.flags);
    }
  }
}

TEST(TreeInsert, EdgeCases) {
  Tree* t = MakeTree({0.5, -2.0}, {0.25, 0.5});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inside[2] = {0.6, -2.1};
  EXPECT_EQ(TreeInsert(t, inside, 0, 1, 1), 0);   // depth 0: nothing to do
  EXPECT_EQ(TreeInsert(t, inside, -1, 1, 1), 0);  // the root is a leaf already
  EXPECT_EQ(TreeCount(t->root), 1);
  EXPECT_EQ(t->root->flags, 0);

  t->root->sd = 1;  // root with only child 0
  t->root->child[0] = BoxNew();
  EXPECT_EQ(TreeInsert(t, inside, -1, 4, 8), 0);  // lies in child 0
  EXPECT_EQ(t->root->child[0]->flags, 8);
  const double upperSide[2] = {0.6, -1.9};
  EXPECT_EQ(TreeInsert(t, upperSide, -1, 4, 8), 1);
  EXPECT_EQ(t->box, t->root->child[1]);
  EXPECT_EQ(t->root->child[1]->flags, 4);
  EXPECT_EQ(t->root->flags, 0);

  // Faces are inside; a point just beyond one or with a NaN is not, and
  // then neither the tree nor the cursor moves.
  const double face[2] = {0.75, -2.5};
  EXPECT_EQ(TreeInsert(t, face, 2, 0, 0), 1);
  ASSERT_EQ(TreeFirstBox(t, 1), 1);
  ASSERT_EQ(TreeNextBox(t, 1), 1);
  const Box* cursor = t->box;
  const double c1 = t->c[1];
  const double outside[2] = {std::nextafter(0.75, 1.0), -2.0};
  const double nanPoint[2] = {0.5, nan};
  EXPECT_EQ(TreeInsert(t, outside, 2, 1, 1), -1);
  EXPECT_EQ(TreeInsert(t, nanPoint, -1, 1, 1), -1);
  EXPECT_EQ(TreeInsert(t, outside, 0, 1, 1), -1);
  EXPECT_EQ(t->box, cursor);
  EXPECT_EQ(t->c[1], c1);
  EXPECT_EQ(t->depth, 1);
  EXPECT_EQ(TreeCount(t->root), 4);
  TreeFree(&t);
}

// A single leaf and depth 3: one new box per level, each an only child,
// split coordinates from table entries 0, 1 and 2.
TEST(TreeInsert, PathOfThreeLevels) {
  Tree* t = MakeTree({0.1, 0.2, 0.3}, {1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0});
  t->sd[0] = 2;
  t->sd[1] = 0;
  t->sd[2] = 1;
  t->sd[3] = 2;
  const std::vector<double> p = {0.2, 0.0, 0.3};  // on the root's split plane
  CheckedInsert(t, p, 3, 0x41, 0x06);
  Box* b = t->root;
  const int side[3] = {0, 1, 0};
  for (int level = 0; level < 3; ++level) {
    EXPECT_EQ(b->sd, t->sd[level]);
    ASSERT_EQ(BoxNoOfChildren(b), 1) << level;
    ASSERT_NE(b->child[side[level]], nullptr) << level;
    b = b->child[side[level]];
    EXPECT_EQ(b->flags, 0x41);
  }
  EXPECT_EQ(t->box, b);
  EXPECT_EQ(TreeInsert(t, p.data(), 3, 0x41, 0x06), 0);
  EXPECT_EQ(TreeCount(t->root), 4);
  for (b = t->root; BoxNoOfChildren(b); b = b->child[0] ? b->child[0] : b->child[1])
    if (b != t->root) {
      EXPECT_EQ(b->flags, 0x47);
    }
  EXPECT_EQ(b->flags, 0x47);
  EXPECT_EQ(t->root->flags, 0);
  TreeFree(&t);
}

// ------------------------------------------------------ depth limit, deep

TEST(TreeEdit, DepthLimit) {
  Tree* t = MakeTree({0.1}, {1.0 / 3.0});
  const double p = 0.2, q = -0.1;
  EXPECT_EQ(TreeInsert(t, &p, 500, 1, 1), 1);
  EXPECT_EQ(TreeDepth(t->root), 500);
  EXPECT_EQ(TreeCount(t->root), 501);
  EXPECT_EQ(TreeInsert(t, &q, 7, 1, 1), 1);
  // Out-of-range depths: refused with one warning line, nothing changes.
  ASSERT_EQ(TreeFirstBox(t, 7), 1);
  for (int depth : {501, -2, -7}) {
    int result = 0;
    const std::string err = StderrOf([&] { result = TreeInsert(t, &q, depth, 1, 1); });
    EXPECT_EQ(result, -2) << depth;
    EXPECT_EQ(err.rfind("warning: libvesk: ", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_EQ(t->depth, 7);
  }
  EXPECT_EQ(TreeCount(t->root), 508);
  // The leaf at the limit is not subdivided; the other one is.
  int count = 0;
  std::string err = StderrOf([&] { count = TreeSubdivide(t, 1); });
  EXPECT_EQ(count, 1);
  EXPECT_EQ(err.rfind("warning: libvesk: ", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_EQ(TreeDepth(t->root), 500);
  EXPECT_EQ(TreeCount(t->root), 510);
  err = StderrOf([&] { TreeSubdivideAll(t); });
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_EQ(TreeCount(t->root), 514);
  EXPECT_EQ(TreeDepth(t->root), 500);
  treetest::ExpectWalkMatches(t, -1);
  EXPECT_EQ(StderrOf([&] { TreeSubdivide(t, 0x80); }), "");  // no leaf wanted
  TreeFree(&t);
}

// Counting and pruning a chain of a million boxes needs no deep recursion.
TEST(TreeEdit, VeryDeepChain) {
  for (uint8_t bottomFlags : {0, 1}) {
    Box* root = BoxNew();
    Box* cur = root;
    for (int i = 0; i < 1000000; ++i) {
      cur->child[(i / 3) % 2] = BoxNew();
      cur->flags = 1;
      cur = cur->child[(i / 3) % 2];
    }
    cur->flags = bottomFlags;
    EXPECT_EQ(TreeCount(root), 1000001);
    EXPECT_EQ(TreeDepth(root), 1000000);
    EXPECT_EQ(TreeRemove(root, 1), bottomFlags ? 0 : 1);
    EXPECT_EQ(TreeCount(root), bottomFlags ? 1000001 : 1);
    EXPECT_EQ(root->flags, bottomFlags ? 1 : 0);
    BoxFree(&root);
  }
  EXPECT_EQ(TreeCount(nullptr), 0);
  EXPECT_EQ(TreeDepth(nullptr), -1);
  EXPECT_EQ(TreeRemove(nullptr, 1), 0);
}

// ------------------------------------------------ subdivision and removal

TEST(TreeEdit, SubdivideAndUnsubdivide) {
  Tree* t = MakeTree({0.1, 0.2, 0.3}, {1.0 / 3.0, 0.5, 2.0});
  t->sd[0] = 2;
  EXPECT_EQ(TreeSubdivide(t, 0xFF), 0);  // no leaf has a flag
  EXPECT_EQ(TreeCount(t->root), 1);
  TreeSubdivideAll(t);
  EXPECT_EQ(t->root->sd, 2);
  EXPECT_EQ(BoxDepth(t->root), -2);
  EXPECT_TRUE(CursorAtRoot(t));
  TreeSubdivideAll(t);
  EXPECT_EQ(Leaves(t), 4);
  // Only the root flagged: its children are not all leaves.
  t->root->flags = 1;
  EXPECT_EQ(TreeUnsubdivide(t, 1), 0);
  EXPECT_EQ(TreeCount(t->root), 7);
  // All flagged: one level goes per call.
  TreeSubdivideAll(t);
  TreeSetFlagsAll(t, 1, 1);
  TreeSetFlagsAll(t, 2, 1);
  EXPECT_EQ(TreeUnsubdivide(t, 1), 4);
  EXPECT_EQ(TreeDepth(t->root), 2);
  EXPECT_EQ(TreeUnsubdivide(t, 1), 2);
  EXPECT_EQ(TreeUnsubdivide(t, 1), 1);
  EXPECT_EQ(TreeCount(t->root), 1);
  EXPECT_EQ(TreeUnsubdivide(t, 1), 0);
  TreeFree(&t);
}

TEST(TreeEdit, RemoveRule) {
  Tree* t = MakeTree({0.0}, {1.0});
  Box* root = t->root;
  // A leaf goes unless it has every bit of the mask.
  root->flags = 1;
  EXPECT_EQ(TreeRemove(root, 3), 1);
  EXPECT_EQ(root->flags, 1);  // a leaf keeps its flags
  EXPECT_EQ(TreeRemove(root, 1), 0);
  EXPECT_EQ(TreeRemove(root, 0), 0);

  BoxSubdivide(root, 0);
  root->flags = 0x13;
  root->child[1]->flags = 3;
  EXPECT_EQ(TreeRemove(root, 3), 0);  // one child has every bit
  EXPECT_EQ(root->child[0], nullptr);
  ASSERT_NE(root->child[1], nullptr);
  EXPECT_EQ(root->flags, 0x13);
  EXPECT_EQ(TreeRemove(root, 0), 0);  // mask 0 removes nothing
  EXPECT_EQ(BoxNoOfChildren(root), 1);
  root->child[1]->flags = 1;
  EXPECT_EQ(TreeRemove(root, 3), 1);  // all children went: root loses bits
  EXPECT_EQ(BoxNoOfChildren(root), 0);
  EXPECT_EQ(root->flags, 0x10);

  // A box emptied by removals is removed in turn.
  TreeSubdivideAll(t);
  TreeSubdivideAll(t);
  TreeSetFlagsAll(t, 1, 2);
  TreeSetFlags(t, 2, "0001", 2);
  EXPECT_EQ(TreeRemove(root, 2), 0);
  EXPECT_EQ(root->child[0], nullptr);
  ASSERT_NE(root->child[1], nullptr);
  EXPECT_EQ(root->child[1]->child[0], nullptr);
  EXPECT_EQ(TreeCount(root), 3);
  TreeFree(&t);
}

TEST(TreeEdit, DeleteDepth) {
  for (int depth : {0, 1}) {
    Tree* t = MakeTree({0.1, 0.2}, {0.3, 0.4});
    TreeSubdivideAll(t);
    TreeSubdivideAll(t);
    ASSERT_EQ(TreeFirstBox(t, 2), 1);  // a cursor on a box that goes
    TreeDeleteDepth(t, depth);
    EXPECT_EQ(TreeCount(t->root), 1);
    EXPECT_TRUE(CursorAtRoot(t));
    EXPECT_EQ(TreeNextBox(t, 2), 0);
    TreeFree(&t);
  }
}

// ----------------------------------------------------------------- flags

TEST(TreeFlags, ChoiceStringsVectorsAndNumbering) {
  Tree* t = MakeTree({0.1, 0.2}, {0.3, 0.4});
  TreeSubdivideAll(t);
  TreeSetFlags(t, 1, "01", 0x40);
  EXPECT_EQ(TreeSubdivide(t, 0x40), 1);
  const double p[2] = {0.35, 0.5};
  EXPECT_EQ(TreeInsert(t, p, 3, 0, 0), 1);  // one child below the last leaf
  // Leaves: child 0 of the root (depth 1), then depths 2 and 3.
  std::vector<unsigned char> f;
  const auto flagsAt = [&](int depth) {
    const int n = TreeCountDepth(t, depth);
    f.assign(static_cast<size_t>(n), 0xEE);
    TreeGetFlags(t, depth, f.data());
    return std::vector<int>(f.begin(), f.end());
  };
  TreeSetFlags(t, -1, "101", 0x04);
  EXPECT_EQ(flagsAt(-1), (std::vector<int>{4, 0, 4}));
  EXPECT_EQ(flagsAt(1), (std::vector<int>{4, 0x40}));
  TreeSetFlags(t, -1, "all", 0x30);
  EXPECT_EQ(flagsAt(-1), (std::vector<int>{0x34, 0x30, 0x34}));
  EXPECT_EQ(flagsAt(0), std::vector<int>{0});
  TreeUnsetFlags(t, -1, "x1", 0x14);  // only '1' selects; past the end: none
  EXPECT_EQ(flagsAt(-1), (std::vector<int>{0x34, 0x20, 0x34}));
  TreeChangeFlags(t, -1, "111", 0x10, 0x01);  // applies where a bit is set
  EXPECT_EQ(flagsAt(-1), (std::vector<int>{0x25, 0x20, 0x25}));
  TreeChangeFlags(t, -1, "all", 0x04, 0x80);
  EXPECT_EQ(flagsAt(-1), (std::vector<int>{0xA1, 0x20, 0xA1}));
  const unsigned char vect[3] = {0, 7, 0};
  TreeSetFlagsVect(t, -1, vect, 0x21);
  EXPECT_EQ(flagsAt(-1), (std::vector<int>{0x80, 0x21, 0x80}));
  TreeSetFlagsAll(t, -2, 0x02);
  EXPECT_EQ(flagsAt(-2), std::vector<int>{0x02});
  TreeUnsetFlagsAll(t, -1, 0xFF);
  EXPECT_EQ(flagsAt(-1), (std::vector<int>{0, 0, 0}));
  TreeSetFlags(t, -1, "1", 0x08);  // shorter than the walk
  EXPECT_EQ(flagsAt(-1), (std::vector<int>{8, 0, 0}));
  EXPECT_TRUE(CursorAtRoot(t));

  // Numbering: positions in walk order, count returned.
  EXPECT_EQ(TreeCountDepth(t, -1), 3);
  int i = 0;
  for (const RefBox& b : treetest::RefWalk(t, -1)) EXPECT_EQ(b.box->no, i++);
  EXPECT_EQ(TreeCountDepth(t, 5), 0);
  EXPECT_EQ(TreeCountDepth(t, -3), 0);
  EXPECT_EQ(t->root->no, 0);  // numbered by the depth 0 walk above
  TreeFree(&t);

  Tree* two = MakeTree({0.0}, {1.0});
  TreeSubdivideAll(two);
  EXPECT_EQ(TreeCount(two->root), 3);
  EXPECT_EQ(TreeDepth(two->root), 1);
  TreeFree(&two);
}

// ------------------------------------------------------------ randomized

// A random tree on a non-dyadic domain, its split table cycling through
// the coordinates for even seeds and random for odd ones.
Tree* RandomTree(unsigned seed, std::mt19937& rng, int boxes) {
  Tree* t = MakeTree({0.1, 1e-3, -7.3}, {1.0 / 3.0, 2.0 / 3.0, 1.0 / 7.0});
  if (seed % 2)
    for (int64_t i = 0; i <= TreeMaxDepth(t); ++i) t->sd[i] = static_cast<uint8_t>(rng() % 3);
  treetest::GrowRandomTree(t, rng, boxes, 12);
  return t;
}

// Points inserted in one call make what TreeInsert makes point after point:
// the same boxes, flags and split coordinates, the same cursor (a path taken
// up again must restore centers bit for bit) and the same warnings. The
// points: some repeated, some close to the last one, some on split planes or
// faces, some outside the domain.
TEST(TreeInsertPoints, MatchesTreeInsertPointAfterPoint) {
  for (unsigned seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Tree* t = RandomTree(seed, rng, 1 + static_cast<int>(rng() % 60));
    const int n = t->domain->dim;
    std::vector<double> points;
    for (int i = 0, count = static_cast<int>(rng() % 200); i < count; ++i) {
      std::vector<double> p = treetest::RandomPoint(t, rng);
      if (i > 0 && rng() % 3 == 0) {
        for (int j = 0; j < n; ++j) p[j] = points[points.size() - n + j];
        if (rng() % 2) p[rng() % n] += t->domain->radius[0] * 1e-3;
      }
      if (rng() % 20 == 0) p[rng() % n] = 1e9;
      points.insert(points.end(), p.begin(), p.end());
    }
    const int depths[] = {0, 1, 5, 12, static_cast<int>(TreeMaxDepth(t)), -1, -2};
    const int depth = depths[rng() % 7];
    const uint8_t newMask = static_cast<uint8_t>(rng()), pathMask = static_cast<uint8_t>(rng());
    Tree* ref = vesktest::CloneTree(t);
    TreeReset(ref);
    TreeReset(t);
    const std::string want = StderrOf([&] {
      for (size_t i = 0; i < points.size(); i += n)
        TreeInsert(ref, points.data() + i, depth, newMask, pathMask);
    });
    const std::string got = StderrOf(
        [&] { TreeInsertPoints(t, points.data(), points.size() / n, depth, newMask, pathMask); });
    EXPECT_EQ(got, want);
    EXPECT_TRUE(SameTree(Snap(t->root), Snap(ref->root)));
    EXPECT_EQ(t->depth, ref->depth);
    EXPECT_TRUE(BitEqual(t->c, ref->c, n));
    EXPECT_TRUE(BitEqual(t->r, ref->r, n));
    EXPECT_TRUE(SameTree(Snap(t->box), Snap(ref->box)));
    TreeFree(&ref);
    TreeFree(&t);
    if (HasFailure()) break;
  }
}

// Random edit sequences on random trees, each edit compared with the
// reference edit of a plain copy; then counts and walks are compared.
TEST(TreeEdit, RandomEditsMatchTheReference) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Tree* t = RandomTree(seed, rng, 30);
    for (int step = 0; step < 40; ++step) {
      Node ref = Snap(t->root);
      const uint8_t mask = static_cast<uint8_t>(rng() % 4 ? 1u << (rng() % 8) : rng());
      const int op = static_cast<int>(rng() % 7);
      SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
      if (op <= 1) {
        CheckedInsert(t, treetest::RandomPoint(t, rng), static_cast<int>(rng() % 14) - 1,
                      static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()));
        continue;
      } else if (op == 2) {
        if (TreeCount(t->root) > 3000) continue;
        int want = 0;
        RefSubdivide(ref, 0, mask, false, t->sd, want);
        const int leaves = Leaves(t);
        EXPECT_EQ(TreeSubdivide(t, mask), want);
        EXPECT_EQ(Leaves(t), leaves + want);
      } else if (op == 3) {
        int want = 0;
        RefUnsubdivide(ref, mask, want);
        EXPECT_EQ(TreeUnsubdivide(t, mask), want);
      } else if (op == 4) {
        const bool goes = RefRemove(ref, mask);
        EXPECT_EQ(TreeRemove(t->root, mask), goes ? 1 : 0);
      } else if (op == 5) {
        const int depth = static_cast<int>(rng() % 10) - 3;
        if (depth == 0) RefCutAt(ref, 0, 0);
        else RefCutAt(ref, 0, depth - 1);
        TreeDeleteDepth(t, depth);
      } else {
        if (TreeCount(t->root) > 3000) continue;
        int all = 0;
        RefSubdivide(ref, 0, 0, true, t->sd, all);
        const int leaves = Leaves(t);
        TreeSubdivideAll(t);
        EXPECT_EQ(Leaves(t), 2 * leaves);
      }
      EXPECT_TRUE(SameTree(Snap(t->root), ref));
      ExpectCountsMatch(t, ref);
      if (op != 4) {
        EXPECT_TRUE(CursorAtRoot(t));  // removal uses no cursor
      }
      if (HasFailure()) break;
    }
    for (int d : {-3, -2, -1, 0, 1, 2, 3, 5, 8, 13}) treetest::ExpectWalkMatches(t, d);
    TreeFree(&t);
    if (HasFailure()) break;
  }
}

}  // namespace
