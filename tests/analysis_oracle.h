// Brute-force references for the analysis tests: box geometry recomputed
// from the domain along each path, box graphs built by testing every pair
// of boxes, components from Boost Graph.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tree/tree.h"

#ifdef VESK_HAVE_BOOST
#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/strong_components.hpp>
#endif

namespace antest {

using vesk::Box;
using vesk::Tree;
using vesktest::MakeTree;
using vesktest::StderrOf;

// A box at one depth: its exact center and radius and the set of
// coordinates bisected on the way down to it (bit k for coordinate k).
struct OBox {
  Box* box;
  std::vector<double> c, r;
  unsigned split;
};

inline void Collect(Box* b, int depth, int target, std::vector<double>& c,
                    std::vector<double>& r, unsigned split, std::vector<OBox>& out) {
  if (depth == target) {
    out.push_back({b, c, r, split});
    return;
  }
  for (int i = 0; i < 2; ++i) {
    if (!b->child[i]) continue;
    const int k = b->sd;
    const double m = c[k], h = r[k];
    r[k] = h / 2;
    c[k] = i ? m + h / 2 : m - h / 2;
    Collect(b->child[i], depth + 1, target, c, r, split | (1u << k), out);
    c[k] = m;
    r[k] = h;
  }
}

// The boxes at `depth` in pre-order, lower child first.
inline std::vector<OBox> BoxesAt(const Tree* t, int depth) {
  std::vector<double> c(t->domain->center, t->domain->center + t->domain->dim);
  std::vector<double> r(t->domain->radius, t->domain->radius + t->domain->dim);
  std::vector<OBox> out;
  Collect(t->root, 0, depth, c, r, 0u, out);
  return out;
}

// Closed test of the query box [lo, hi] against w, only along the
// coordinates bisected above w. The tests use dyadic domains at moderate
// depths, where w's extent c -+ r is exact.
inline bool Meets(const double* lo, const double* hi, const OBox& w) {
  for (size_t k = 0; k < w.c.size(); ++k) {
    if (!(w.split & (1u << k))) continue;
    if (lo[k] > w.c[k] + w.r[k] || hi[k] < w.c[k] - w.r[k]) return false;
  }
  return true;
}

// Box matrix of the given boxes with the export's record layout.
inline std::vector<double> Matrix(const std::vector<OBox>& boxes) {
  if (boxes.empty()) return {};
  const size_t d = boxes[0].c.size();
  std::vector<double> m(boxes.size() * (2 * d + 2), 0.0);
  for (size_t i = 0; i < boxes.size(); ++i)
    for (size_t k = 0; k < d; ++k) {
      m[i * (2 * d + 2) + k] = boxes[i].c[k];
      m[i * (2 * d + 2) + d + k] = boxes[i].r[k];
    }
  return m;
}

// Adjacency by testing every pair: succ[v] lists w when [lo, hi] of v meets w.
inline std::vector<std::vector<int>> PairGraph(const std::vector<OBox>& boxes,
                                               const std::vector<double>& lo,
                                               const std::vector<double>& hi) {
  const size_t n = boxes.size();
  const size_t d = n ? boxes[0].c.size() : 0;
  std::vector<std::vector<int>> succ(n);
  for (size_t v = 0; v < n; ++v)
    for (size_t w = 0; w < n; ++w)
      if (Meets(&lo[v * d], &hi[v * d], boxes[w])) succ[v].push_back(static_cast<int>(w));
  return succ;
}

#ifdef VESK_HAVE_BOOST
// 1 for each vertex in a strongly connected component of two or more
// vertices or with an edge to itself.
inline std::vector<char> RecurrentByBoost(const std::vector<std::vector<int>>& succ) {
  using Graph = boost::adjacency_list<boost::vecS, boost::vecS, boost::directedS>;
  const size_t n = succ.size();
  Graph g(n);
  for (size_t v = 0; v < n; ++v)
    for (int w : succ[v]) boost::add_edge(v, static_cast<size_t>(w), g);
  std::vector<int> comp(n);
  const int count = n ? boost::strong_components(g, comp.data()) : 0;
  std::vector<int> size(count, 0);
  for (int c : comp) ++size[c];
  std::vector<char> rec(n, 0);
  for (size_t v = 0; v < n; ++v) {
    if (size[comp[v]] >= 2) rec[v] = 1;
    for (int w : succ[v])
      if (static_cast<size_t>(w) == v) rec[v] = 1;
  }
  return rec;
}
#endif

// Dyadic parameter interval [lo, lo + width].
struct Params {
  double lo[2], hi[2];
};

inline Params RandomParams(std::mt19937& rng) {
  static const double aChoice[] = {1.4, 6.0, 1.0, -0.5, 3.0};
  static const double bChoice[] = {0.3, -0.3, 0.0, 0.5, -0.6};
  static const double width[] = {0.0, 0.0009765625, 0.0625};
  std::uniform_real_distribution<double> ua(-1.0, 8.0), ub(-0.7, 0.7);
  Params p;
  p.lo[0] = rng() % 3 ? aChoice[rng() % 5] : ua(rng);
  p.lo[1] = rng() % 3 ? bChoice[rng() % 5] : ub(rng);
  p.hi[0] = p.lo[0] + width[rng() % 3];
  p.hi[1] = p.lo[1] + width[rng() % 3];
  return p;
}

// A 4-dimensional lifted tree over (R, R, Ru, Ru) with dyadic sizes: the
// alternating split table, a random one, or one that starts with tangent
// coordinates; uniform, or grown by inserting random points at one depth.
inline Tree* RandomLiftedTree(std::mt19937& rng, int maxLevels) {
  static const double radii[] = {1.0, 2.0, 4.0};
  const double R = radii[rng() % 3], Ru = radii[rng() % 3];
  Tree* t = MakeTree({0.25 * (static_cast<int>(rng() % 3) - 1), 0.0, 0.0, 0.0}, {R, R, Ru, Ru});
  const int table = static_cast<int>(rng() % 3);
  for (int k = 0; k < 60 && table; ++k)
    t->sd[k] = static_cast<uint8_t>(table == 2 && k < 3 ? 2 + k % 2 : rng() % 4);
  if (rng() % 2) {
    for (int i = 0, n = static_cast<int>(rng() % (maxLevels + 1)); i < n; ++i)
      vesk::TreeSubdivideAll(t);
  } else {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const int L = 1 + static_cast<int>(rng() % 16);
    for (int i = 0, n = 1 + static_cast<int>(rng() % 300); i < n; ++i) {
      double p[4];
      for (int k = 0; k < 4; ++k) p[k] = t->domain->center[k] + u(rng) * t->domain->radius[k];
      vesk::TreeInsert(t, p, L, 0, 0);
    }
  }
  return t;
}

}  // namespace antest
