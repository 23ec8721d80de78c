// The worker pool of the analyses: a chunk that throws (a failed
// allocation on a helper thread) must reach the caller as that exception,
// never end the process, and leave the pool usable; and no count asked for
// starts more workers than there are cores.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "analysis/parallel.h"
#include "gateway/driver.h"

TEST(Workers, AThrowingChunkReachesTheCallerAndThePoolGoesOn) {
  for (int threads : {1, 2, 4}) {
    vesk::Workers workers(threads);
    for (size_t thrower : {size_t{0}, size_t{7}, size_t{99}}) {
      std::atomic<int> ran{0};
      EXPECT_THROW(workers.Run(100,
                               [&](int, size_t chunk) {
                                 if (chunk == thrower) throw std::bad_alloc();
                                 ++ran;
                               }),
                   std::bad_alloc)
          << threads << " threads, chunk " << thrower;
      EXPECT_LT(ran.load(), 100);
    }
    std::vector<int> seen(1000, 0);
    workers.Run(seen.size(), [&](int, size_t chunk) { ++seen[chunk]; });
    EXPECT_EQ(std::vector<int>(1000, 1), seen) << threads << " threads";
  }
}

TEST(AnalysisThreads, NeverMoreThanOnePerCore) {
  // Every worker reserves a stack and buffers of its own: a count above the
  // cores only costs memory (4096 ran a limited address space out).
  const int cores = vesk::AnalysisCores();
  ASSERT_GE(cores, 1);
  EXPECT_EQ(cores, static_cast<int>(std::thread::hardware_concurrency()));
  for (int asked : {4096, cores + 1, cores * 64}) {
    EXPECT_EQ(vesk::AnalysisThreads(asked), cores) << asked;
    EXPECT_EQ(vesk::VerifyThreads(asked), cores) << asked;
  }
  EXPECT_EQ(vesk::AnalysisThreads(0), cores);
  EXPECT_EQ(vesk::AnalysisThreads(cores), cores);
  EXPECT_EQ(vesk::AnalysisThreads(1), 1);
  EXPECT_EQ(vesk::AnalysisThreads(-3), 1);
}
