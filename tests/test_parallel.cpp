// The worker pool of the analyses: a chunk that throws (a failed
// allocation on a helper thread) must reach the caller as that exception,
// never end the process, stop the handing out of chunks, and leave the pool
// usable; every chunk runs in round-to-nearest whatever direction the
// caller left in force; and no count asked for starts more workers than
// there are cores.
#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
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

// A throwing chunk stops the handing out: of 200,000 chunks of which chunk
// 0 throws, far fewer than half start (chunks that start are counted before
// any throws). Without the stop every chunk would start.
TEST(Workers, AThrowingChunkStopsTheHandingOut) {
  vesk::Workers workers(2);
  std::atomic<long> started{0};
  EXPECT_THROW(workers.Run(200000,
                           [&](int, size_t chunk) {
                             ++started;
                             if (chunk == 0) throw std::bad_alloc();
                           }),
               std::bad_alloc);
  EXPECT_GE(started.load(), 1);
  EXPECT_LT(started.load(), 100000);
}

// Every chunk runs in round-to-nearest when the caller is in upward
// rounding, on the calling thread and on helpers started in that direction
// (they inherit it), and the caller is in round-to-nearest afterwards.
TEST(Workers, ChunksRunInRoundToNearest) {
  for (int threads : {1, 2, 4}) {
    for (int round = 0; round < 2; ++round) {  // helpers started, then reused
      std::fesetround(FE_UPWARD);
      std::atomic<long> upward{0}, chunks{0};
      {
        vesk::Workers workers(threads);
        for (int again = 0; again <= round; ++again) {
          std::fesetround(FE_UPWARD);
          workers.Run(4000, [&](int, size_t) {
            if (std::fegetround() != FE_TONEAREST) ++upward;
            ++chunks;
          });
          EXPECT_EQ(std::fegetround(), FE_TONEAREST) << threads << " threads";
        }
      }
      std::fesetround(FE_TONEAREST);
      EXPECT_EQ(upward.load(), 0) << threads << " threads";
      EXPECT_EQ(chunks.load(), 4000L * (round + 1));
    }
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
