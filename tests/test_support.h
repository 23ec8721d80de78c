// Helpers shared by the test suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include "tree/tree.h"

namespace vesktest {

// A tree over a freshly built domain; the caller's arrays are not kept.
inline vesk::Tree* MakeTree(const std::vector<double>& center,
                            const std::vector<double>& radius) {
  vesk::Rectangle* rect = vesk::RectangleNew(center.data(), radius.data(),
                                             static_cast<uint8_t>(center.size()));
  vesk::Tree* tree = vesk::TreeNew(rect);
  vesk::RectangleFree(&rect);
  return tree;
}

// A copy of a tree that shares nothing with it: domain, split table and
// boxes with their split coordinates, flags, tags and numbers.
inline vesk::Tree* CloneTree(const vesk::Tree* source) {
  vesk::Tree* tree = vesk::TreeNew(source->domain);
  std::memcpy(tree->sd, source->sd, static_cast<size_t>(vesk::TreeMaxDepth(tree)) + 1);
  std::vector<std::pair<const vesk::Box*, vesk::Box*>> stack{{source->root, tree->root}};
  while (!stack.empty()) {
    auto [from, to] = stack.back();
    stack.pop_back();
    to->sd = from->sd;
    to->flags = from->flags;
    to->tag = from->tag;
    to->no = from->no;
    for (int i = 0; i < 2; ++i) {
      if (!from->child[i]) continue;
      to->child[i] = vesk::BoxNew();
      stack.push_back({from->child[i], to->child[i]});
    }
  }
  return tree;
}

// Everything the analyses may change in a tree, in pre-order: for each box
// its depth, which children it has, its split coordinate when it has one,
// its flags and its number.
inline std::vector<int64_t> Snapshot(const vesk::Tree* tree) {
  std::vector<int64_t> out;
  std::vector<std::pair<const vesk::Box*, int>> stack{{tree->root, 0}};
  while (!stack.empty()) {
    auto [b, depth] = stack.back();
    stack.pop_back();
    const int kids = (b->child[0] ? 1 : 0) | (b->child[1] ? 2 : 0);
    out.insert(out.end(), {depth, kids, kids ? b->sd : -1, b->flags, b->no});
    if (b->child[1]) stack.push_back({b->child[1], depth + 1});
    if (b->child[0]) stack.push_back({b->child[0], depth + 1});
  }
  return out;
}

// Captures what body writes to the standard error stream.
template <typename F>
std::string StderrOf(F body) {
  ::testing::internal::CaptureStderr();
  body();
  return ::testing::internal::GetCapturedStderr();
}

}  // namespace vesktest
