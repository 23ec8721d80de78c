// Helpers shared by the test suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

// Captures what body writes to the standard error stream.
template <typename F>
std::string StderrOf(F body) {
  ::testing::internal::CaptureStderr();
  body();
  return ::testing::internal::GetCapturedStderr();
}

}  // namespace vesktest
