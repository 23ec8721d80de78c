// vesk sweep: the command line's door onto the maps of sweep/.
#pragma once

#include <climits>
#include <string>

#include "sweep/sweep.h"

namespace vesk {

// The options of `vesk sweep` as typed; empty texts and kNotGiven mean "not
// given".
struct SweepCommand {
  static constexpr int kNotGiven = INT_MIN;
  std::string a;
  std::string b;
  std::string cells;
  std::string minWidth;
  int levels = kNotGiven;
  int maxDepth = kNotGiven;
  std::string budget;
  std::string probeBudget;
  std::string out;
  int jobs = kNotGiven;
  std::string maxMemory;
  int threads = kNotGiven;  // threads of each cell's analyses
};

int RunSweep(const SweepCommand& command);

}  // namespace vesk
