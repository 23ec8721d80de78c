// Reference model for the box tree tests: a recursive walk that selects
// boxes by the walk rules and computes each box's geometry from scratch,
// by descending from the domain along the box's path.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tree/tree.h"

namespace treetest {

using vesk::Box;
using vesk::Tree;
using vesktest::MakeTree;
using vesktest::StderrOf;

inline bool IsLeaf(const Box* b) { return !b->child[0] && !b->child[1]; }

struct Step {
  int sd;
  int side;
};

struct RefBox {
  const Box* box;
  int depth;
  std::vector<double> c, r;
};

// Center and radius of the box reached from the domain along path.
inline void FreshDescent(const vesk::Rectangle* domain, const std::vector<Step>& path,
                         std::vector<double>& c, std::vector<double>& r) {
  c.assign(domain->center, domain->center + domain->dim);
  r.assign(domain->radius, domain->radius + domain->dim);
  for (const Step& s : path) {
    r[s.sd] = r[s.sd] * 0.5;
    c[s.sd] = s.side ? c[s.sd] + r[s.sd] : c[s.sd] - r[s.sd];
  }
}

// Which boxes a walk at `sel` visits, in order, by the plain rules.
inline bool Selected(const Box* b, int depth, int sel) {
  if (sel >= 0) return depth == sel;
  if (sel == -1) return IsLeaf(b);
  if (sel == -2) {
    if (IsLeaf(b)) return false;
    for (const Box* ch : b->child)
      if (ch && !IsLeaf(ch)) return false;
    return true;
  }
  return false;
}

inline void RefCollect(const vesk::Rectangle* domain, const Box* b, int depth, int sel,
                       std::vector<Step>& path, std::vector<RefBox>& out) {
  if (Selected(b, depth, sel)) {
    RefBox rb{b, depth, {}, {}};
    FreshDescent(domain, path, rb.c, rb.r);
    out.push_back(rb);
    return;
  }
  if (sel >= 0 && depth >= sel) return;
  for (int i = 0; i < 2; ++i) {
    if (!b->child[i]) continue;
    path.push_back({b->sd, i});
    RefCollect(domain, b->child[i], depth + 1, sel, path, out);
    path.pop_back();
  }
}

inline std::vector<RefBox> RefWalk(const Tree* tree, int sel) {
  std::vector<RefBox> out;
  std::vector<Step> path;
  RefCollect(tree->domain, tree->root, 0, sel, path, out);
  return out;
}

// Every box of the tree with its fresh geometry (pre-order).
inline std::vector<RefBox> RefAllBoxes(const Tree* tree) {
  std::vector<RefBox> out;
  for (int d = 0;; ++d) {
    std::vector<RefBox> level = RefWalk(tree, d);
    if (level.empty()) break;
    out.insert(out.end(), level.begin(), level.end());
  }
  return out;
}

// A random point of the domain; now and then the center of a random box,
// which lies on that box's split plane, or a point on the domain's faces.
inline std::vector<double> RandomPoint(const Tree* t, std::mt19937& rng) {
  const int n = t->domain->dim;
  std::vector<double> p(n);
  const int kind = static_cast<int>(rng() % 8);
  if (kind == 0) {
    const std::vector<RefBox> all = RefAllBoxes(t);
    const RefBox& b = all[rng() % all.size()];
    return b.c;
  }
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 0; i < n; ++i) {
    double s = u(rng);
    if (kind == 1) s = (rng() % 2) ? 1.0 : -1.0;
    p[i] = t->domain->center[i] + s * t->domain->radius[i];
  }
  return p;
}

// Grows a random tree with single-child boxes (insertions at random
// depths), subdivisions of randomly flagged leaves and removals by flags,
// until it has at least `boxes` boxes.
inline void GrowRandomTree(Tree* t, std::mt19937& rng, int boxes, int maxDepth) {
  while (vesk::TreeCount(t->root) < boxes) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 6) {
      const std::vector<double> p = RandomPoint(t, rng);
      const int depth = static_cast<int>(rng() % (maxDepth + 2)) - 1;
      vesk::TreeInsert(t, p.data(), depth, static_cast<uint8_t>(rng()),
                       static_cast<uint8_t>(rng()));
    } else if (op < 9) {
      if (vesk::TreeDepth(t->root) >= maxDepth) continue;
      // Flag about half of the leaves with one bit and subdivide those.
      const uint8_t bit = static_cast<uint8_t>(1u << (rng() % 8));
      std::string choice(RefWalk(t, -1).size(), '0');
      for (char& ch : choice)
        if (rng() % 2) ch = '1';
      vesk::TreeSetFlags(t, -1, choice.c_str(), bit);
      vesk::TreeSubdivide(t, bit);
    } else {
      vesk::TreeRemove(t->root, static_cast<uint8_t>(1u << (rng() % 8)));
    }
  }
}

inline bool BitEqual(const double* a, const double* b, int n) {
  return std::memcmp(a, b, sizeof(double) * static_cast<size_t>(n)) == 0;
}

inline bool CursorAtRoot(const Tree* t) {
  const int n = t->domain->dim;
  return t->box == t->root && t->depth == 0 && BitEqual(t->c, t->domain->center, n) &&
         BitEqual(t->r, t->domain->radius, n);
}

// Walks `tree` at `sel` and compares it box by box with the reference:
// order, depth, center and radius bit for bit; then the cursor must be
// back on the root with the domain's values.
inline void ExpectWalkMatches(Tree* tree, int sel) {
  SCOPED_TRACE("walk depth " + std::to_string(sel));
  const std::vector<RefBox> ref = RefWalk(tree, sel);
  const int n = tree->domain->dim;
  size_t i = 0;
  for (int more = vesk::TreeFirstBox(tree, sel); more; more = vesk::TreeNextBox(tree, sel), ++i) {
    ASSERT_LT(i, ref.size());
    ASSERT_EQ(tree->box, ref[i].box) << "box " << i;
    ASSERT_EQ(tree->depth, ref[i].depth) << "box " << i;
    ASSERT_TRUE(BitEqual(tree->c, ref[i].c.data(), n)) << "center of box " << i;
    ASSERT_TRUE(BitEqual(tree->r, ref[i].r.data(), n)) << "radius of box " << i;
  }
  EXPECT_EQ(i, ref.size());
  EXPECT_TRUE(CursorAtRoot(tree));
  EXPECT_EQ(vesk::TreeNextBox(tree, sel), 0);
}

// Plain recursive copy of a tree's shape and box fields, for comparing a
// tree before and after an edit.
struct Node {
  uint8_t sd = 0, flags = 0;
  std::vector<Node> ch;  // 0 or 2 entries
  std::vector<bool> has;
};

inline Node Snap(const Box* b) {
  Node n;
  n.sd = b->sd;
  n.flags = b->flags;
  n.has = {b->child[0] != nullptr, b->child[1] != nullptr};
  n.ch.resize(2);
  for (int i = 0; i < 2; ++i)
    if (b->child[i]) n.ch[i] = Snap(b->child[i]);
  return n;
}

inline bool IsLeaf(const Node& n) { return !n.has[0] && !n.has[1]; }

// Node trees are equal when shape and flags agree; sd is compared only
// where it has a meaning (boxes with a child).
inline bool SameTree(const Node& a, const Node& b) {
  if (a.flags != b.flags || a.has != b.has) return false;
  if (!IsLeaf(a) && a.sd != b.sd) return false;
  for (int i = 0; i < 2; ++i)
    if (a.has[i] && !SameTree(a.ch[i], b.ch[i])) return false;
  return true;
}

inline int RefCount(const Node& n) {
  int k = 1;
  for (int i = 0; i < 2; ++i)
    if (n.has[i]) k += RefCount(n.ch[i]);
  return k;
}

inline int RefHeight(const Node& n) {
  int h = 0;
  for (int i = 0; i < 2; ++i)
    if (n.has[i]) h = std::max(h, 1 + RefHeight(n.ch[i]));
  return h;
}

}  // namespace treetest
