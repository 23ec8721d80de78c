// The commands of the vesk program. Each returns the process exit status:
// 0 success ("Hyperbolic!" for verify), 1 not proven (also at the depth
// bound or the memory budget), 2 bad usage or input, 3 a failure to read or
// write a file or to get memory, 130 interrupted.
#pragma once

#include <string>

namespace vesk {

constexpr int kExitHyperbolic = 0;
constexpr int kExitNotProven = 1;
constexpr int kExitUsage = 2;
constexpr int kExitIo = 3;
constexpr int kExitInterrupted = 130;

// Depth bound of loop mode when none is given.
constexpr int kDefaultMaxDepth = 32;
// Largest initial depth: 2^24 leaves already take about a gigabyte.
constexpr int kMaxInitialDepth = 24;

// The options of `vesk verify` as typed; empty texts and negative numbers
// mean "not given".
struct VerifyCommand {
  std::string a;
  std::string b;
  std::string center;
  std::string radius;
  bool once = false;
  int depth0 = -1;
  int maxDepth = -1;
  std::string json;        // "-" for standard output
  std::string plot;
  std::string checkpoint;
  std::string resume;
  std::string certificate; // proof certificate written on "Hyperbolic!"
  std::string maxMemory;   // SIZE as typed
  int threads = -1;        // threads of the analyses (default: all cores)
};

int RunVerify(const VerifyCommand& command);
int RunTreeInfo(const std::string& path);
int RunTreePlot(const std::string& path, const std::string& out);

}  // namespace vesk
