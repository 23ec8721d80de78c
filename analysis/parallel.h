// Work split over threads for the analyses: a fixed division of the work
// into chunks that workers take in turn, so that what each chunk computes
// does not depend on how many threads there are.
#pragma once

#include <atomic>
#include <cfenv>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "tree/fill_vector.h"

namespace vesk {

// The number of workers a thread count asks for: 0, and any count above
// the hardware threads, means one per hardware thread (at least 1); a
// negative count 1. More workers than cores would not run any faster, and
// each one reserves a stack and per-worker buffers that no memory budget
// counts. Every analysis takes its count from here.
int AnalysisThreads(int threads);

// The hardware threads of this machine (at least 1).
int AnalysisCores();

// The threads of one analysis call: the calling thread and count() - 1
// helpers, started when work is first shared out and joined on
// destruction. Every worker runs its chunks in round-to-nearest and leaves
// its thread in round-to-nearest.
class Workers {
 public:
  explicit Workers(int count) : count_(count < 1 ? 1 : count), active_(count_) {}
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Worker numbers run from 0 to count() - 1 (0 is the calling thread).
  int count() const { return active_; }

  // Lets only the first n workers (at least 1, at most the number made)
  // take chunks from now on, the others waiting: small passes run on the
  // calling thread without giving up the threads of the large ones.
  void Limit(int n) { active_ = n < 1 ? 1 : n > count_ ? count_ : n; }

  // Calls body(worker, chunk) once for every chunk 0..chunks-1 and returns
  // when all are done. Chunks are handed out in increasing order. A body
  // that throws (a failed allocation) stops the handing out; Run waits for
  // the chunks in progress and throws that exception in the calling thread.
  template <typename Body>
  void Run(size_t chunks, Body&& body) {
    if (chunks == 0) return;
    if (active_ == 1 || chunks == 1) {
      std::fesetround(FE_TONEAREST);
      for (size_t c = 0; c < chunks; ++c) body(0, c);
      std::fesetround(FE_TONEAREST);
      return;
    }
    Dispatch(chunks, &Call<Body>, &body);
  }

 private:
  template <typename Body>
  static void Call(void* body, int worker, size_t chunk) {
    (*static_cast<Body*>(body))(worker, chunk);
  }
  void Dispatch(size_t chunks, void (*fn)(void*, int, size_t), void* body);
  void Drain(int worker);
  void Loop(int worker);

  int count_;
  int active_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  // Changed under mutex_; read without it while a thread waits for a
  // while before it sleeps.
  std::atomic<uint64_t> generation_{0};
  bool stop_ = false;
  std::atomic<int> busy_{0};
  size_t chunks_ = 0;
  std::atomic<size_t> next_{0};
  void (*fn_)(void*, int, size_t) = nullptr;
  void* body_ = nullptr;
  std::exception_ptr error_;  // the first chunk that threw, rethrown by Run
};

// Gives a vector's memory back.
template <typename V>
void Release(V& v) {
  V().swap(v);
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
