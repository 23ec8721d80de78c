#include "analysis/parallel.h"

namespace vesk {

int AnalysisThreads(int threads) {
  if (threads >= 1) return threads;
  if (threads < 0) return 1;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores >= 1 ? static_cast<int>(cores) : 1;
}

}  // namespace vesk
