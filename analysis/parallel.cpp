#include "analysis/parallel.h"

namespace vesk {

int AnalysisCores() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores >= 1 ? static_cast<int>(cores) : 1;
}

int AnalysisThreads(int threads) {
  if (threads < 0) return 1;
  const int cores = AnalysisCores();
  return threads == 0 || threads > cores ? cores : threads;
}

Workers::~Workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void Workers::Drain(int worker) {
  std::fesetround(FE_TONEAREST);
  for (;;) {
    const size_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= chunks_) break;
    try {
      fn_(body_, worker, chunk);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
      next_.store(chunks_, std::memory_order_relaxed);  // hand out nothing more
    }
  }
  std::fesetround(FE_TONEAREST);
}

namespace {

// The runs of a pass follow one another within microseconds, and a thread
// woken from sleep takes tens of them to start: the waiting threads look
// for what they wait for this many times before they sleep (about 0.1 ms).
constexpr int kSpins = 4000;

inline void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

void Workers::Loop(int worker) {
  uint64_t seen = 0;
  for (;;) {
    for (int i = 0; i < kSpins && generation_.load(std::memory_order_acquire) == seen; ++i)
      Pause();
    bool take;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
      take = worker < active_;
    }
    if (take) Drain(worker);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--busy_ == 0) done_.notify_one();
  }
}

void Workers::Dispatch(size_t chunks, void (*fn)(void*, int, size_t), void* body) {
  if (threads_.empty()) {
    for (int w = 1; w < count_; ++w) {
      try {
        threads_.emplace_back(&Workers::Loop, this, w);
      } catch (...) {
        break;  // no more threads to be had: the others do the work
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fn_ = fn;
    body_ = body;
    chunks_ = chunks;
    next_.store(0, std::memory_order_relaxed);
    busy_ = static_cast<int>(threads_.size());
    ++generation_;
  }
  wake_.notify_all();
  Drain(0);
  for (int i = 0; i < kSpins && busy_.load(std::memory_order_acquire) != 0; ++i) Pause();
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return busy_ == 0; });
  if (error_) {
    std::exception_ptr error = error_;
    error_ = nullptr;
    std::rethrow_exception(error);
  }
}

}  // namespace vesk
