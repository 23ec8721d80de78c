// Random box trees and stream helpers for the search, export and tree file
// tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tree/tree.h"

namespace iotest {

using vesk::Box;
using vesk::Tree;
using vesktest::MakeTree;
using vesktest::StderrOf;

// Sets every box's flags to a random byte.
inline void RandomFlags(Tree* tree, std::mt19937& rng) {
  for (int d = 0;; ++d) {
    if (!vesk::TreeFirstBox(tree, d)) break;
    do tree->box->flags = static_cast<uint8_t>(rng());
    while (vesk::TreeNextBox(tree, d));
  }
}

// A point of the domain: uniform, or (one time in four) the center of the
// domain along some coordinates, so that points land on split planes.
inline std::vector<double> RandomPoint(const Tree* tree, std::mt19937& rng) {
  const int dim = tree->domain->dim;
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> p(dim);
  for (int i = 0; i < dim; ++i) {
    const double t = rng() % 4 == 0 ? 0.0 : u(rng);
    p[i] = tree->domain->center[i] + t * tree->domain->radius[i];
  }
  return p;
}

// A tree of dimension dim over a dyadic domain (exact in the text form),
// grown by insertion at random depths and subdivision of flagged leaves,
// pruned by removal with random masks. Insertion and removal leave many
// boxes with a single child. With randomTable the split table is shuffled
// first, so that split coordinates vary along paths.
inline Tree* RandomTree(std::mt19937& rng, int dim, int maxDepth, bool randomTable) {
  std::vector<double> center(dim), radius(dim);
  for (int i = 0; i < dim; ++i) {
    center[i] = static_cast<int>(rng() % 17) - 8 + 0.25 * (rng() % 4);
    radius[i] = 0.5 * (1 + rng() % 8);
  }
  Tree* tree = MakeTree(center, radius);
  if (randomTable)
    for (int64_t d = 0; d <= vesk::TreeMaxDepth(tree); ++d)
      tree->sd[d] = static_cast<uint8_t>(rng() % dim);
  const int rounds = 1 + rng() % 4;
  for (int round = 0; round < rounds; ++round) {
    const int inserts = rng() % 12;
    for (int j = 0; j < inserts; ++j) {
      std::vector<double> p = RandomPoint(tree, rng);
      const int depth = rng() % 5 == 0 ? -1 : static_cast<int>(rng() % (maxDepth + 1));
      vesk::TreeInsert(tree, p.data(), depth, static_cast<uint8_t>(rng()),
                       static_cast<uint8_t>(rng()));
    }
    if (vesk::TreeDepth(tree->root) < maxDepth) {
      RandomFlags(tree, rng);
      vesk::TreeSubdivide(tree, static_cast<uint8_t>(rng()));
    }
    RandomFlags(tree, rng);
    if (rng() % 2) vesk::TreeRemove(tree->root, static_cast<uint8_t>(1u << (rng() % 8)));
  }
  RandomFlags(tree, rng);
  vesk::TreeReset(tree);
  return tree;
}

// Bytes written by body(FILE*) to a memory stream.
template <typename F>
std::string WrittenBy(F body) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  body(out);
  std::fclose(out);
  std::string s(buf, len);
  std::free(buf);
  return s;
}

// A stream that reads back exactly `bytes` (empty included).
inline FILE* StreamOf(const std::string& bytes) {
  FILE* in = std::tmpfile();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), in);
  std::rewind(in);
  return in;
}

}  // namespace iotest
