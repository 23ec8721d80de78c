// Work split over threads for the analyses: a fixed division of the work
// into chunks that workers take in turn, so that what each chunk computes
// does not depend on how many threads there are.
#pragma once

#include <atomic>
#include <cfenv>
#include <cstddef>
#include <thread>
#include <vector>

namespace vesk {

// The number of workers a thread count asks for: n >= 1 is taken as it
// is, 0 means one per hardware thread (at least 1), a negative count 1.
int AnalysisThreads(int threads);

// Calls body(worker, chunk) once for every chunk 0..chunks-1, on up to
// `workers` threads (the calling thread is one of them; no thread is
// started for a single worker or a single chunk). Chunks are handed out in
// increasing order. worker is 0..workers-1 and tells a body which of its
// per-worker scratch areas to use. Every worker runs in round-to-nearest
// and leaves its thread in round-to-nearest. The body must not throw.
template <typename Body>
void ParallelChunks(int workers, size_t chunks, Body&& body) {
  if (chunks == 0) return;
  std::atomic<size_t> next{0};
  auto run = [&](int worker) {
    std::fesetround(FE_TONEAREST);
    for (;;) {
      const size_t chunk = next.fetch_add(1, std::memory_order_relaxed);
      if (chunk >= chunks) break;
      body(worker, chunk);
    }
    std::fesetround(FE_TONEAREST);
  };
  const size_t wanted = static_cast<size_t>(workers > 1 ? workers : 1);
  const size_t helpers = (wanted < chunks ? wanted : chunks) - 1;
  std::vector<std::thread> pool;
  pool.reserve(helpers);
  for (size_t w = 1; w <= helpers; ++w) {
    try {
      pool.emplace_back(run, static_cast<int>(w));
    } catch (...) {
      break;  // no more threads to be had: the others do the work
    }
  }
  run(0);
  for (std::thread& t : pool) t.join();
}

// Chunk c of n items split into pieces of `size`: [first, end).
struct ChunkRange {
  size_t first, end;
};
inline ChunkRange ChunkOf(size_t c, size_t size, size_t n) {
  const size_t first = c * size;
  const size_t end = first + size < n ? first + size : n;
  return {first, end};
}
inline size_t ChunkCount(size_t n, size_t size) { return (n + size - 1) / size; }

}  // namespace vesk
