// Throughput of t_realhenon on a batch of a million lifted boxes (the
// kernel chosen for this processor, the baseline kernel, and the stepwise
// evaluation), next to the same enclosure computed with Boost.Interval
// (default rounding policy).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "map/henon.h"
#include "map/henon_batch.h"

#ifdef VESK_HAVE_BOOST
#include <boost/numeric/interval.hpp>
#endif

namespace {

constexpr int kBoxes = 1000000;

struct Workload {
  double paramLo[2] = {1.4, 0.3};
  double paramHi[2] = {1.4 + 0x1p-20, 0.3 + 0x1p-20};
  std::vector<double> boxes;  // stride 10
  std::vector<double> lo, hi;
};

// Leaves of a lifted tree over [-1.5, 1.5]^2 x [-1, 1]^2 at depth 24: every
// coordinate bisected six times, centers on the leaf grid in random order.
Workload& Shared() {
  static Workload w = [] {
    Workload w;
    std::mt19937_64 rng(2024);
    const double radius[4] = {1.5, 1.5, 1.0, 1.0};
    w.boxes.assign(static_cast<size_t>(kBoxes) * 10, 0.0);
    for (int i = 0; i < kBoxes; ++i) {
      double* row = &w.boxes[static_cast<size_t>(i) * 10];
      for (int k = 0; k < 4; ++k) {
        const double r = radius[k] / 64;
        row[k] = -radius[k] + (2.0 * static_cast<double>(rng() % 64) + 1.0) * r;
        row[4 + k] = r;
      }
    }
    w.lo.assign(static_cast<size_t>(kBoxes) * 4, 0.0);
    w.hi.assign(static_cast<size_t>(kBoxes) * 4, 0.0);
    return w;
  }();
  return w;
}

void BM_t_realhenon(benchmark::State& state) {
  Workload& w = Shared();
  for (auto _ : state) {
    vesk::t_realhenon(kBoxes, w.paramLo, w.paramHi, w.boxes.data(), w.lo.data(), w.hi.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBoxes);
}
BENCHMARK(BM_t_realhenon)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The block kernel compiled for the build's baseline instruction set (SSE2
// on x86-64), which t_realhenon uses where AVX2 is missing.
void BM_t_realhenon_baseline(benchmark::State& state) {
  Workload& w = Shared();
  for (auto _ : state) {
    vesk::TRealHenonWith(vesk::kHenonKernelBaseline, kBoxes, w.paramLo, w.paramHi,
                         w.boxes.data(), w.lo.data(), w.hi.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBoxes);
}
BENCHMARK(BM_t_realhenon_baseline)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// One switch of the rounding mode to and from every bound.
void BM_t_realhenon_stepwise(benchmark::State& state) {
  Workload& w = Shared();
  for (auto _ : state) {
    vesk::TRealHenonStepwise(kBoxes, w.paramLo, w.paramHi, w.boxes.data(), w.lo.data(),
                             w.hi.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBoxes);
}
BENCHMARK(BM_t_realhenon_stepwise)->Unit(benchmark::kMillisecond)->MinTime(1.0);

#ifdef VESK_HAVE_BOOST
using BoostInterval = boost::numeric::interval<double>;

// Round-to-nearest midpoint kept out of the library's rounding windows.
double Mid(double lo, double hi) {
  volatile double a = lo, b = hi;
  volatile double m = (a + b) * 0.5;
  return m;
}

void BoostTHenon(int n, const double* paramLo, const double* paramHi, const double* boxes,
                 double* imageLo, double* imageHi) {
  const BoostInterval a(paramLo[0], paramHi[0]);
  const BoostInterval b(paramLo[1], paramHi[1]);
  for (int i = 0; i < n; ++i) {
    const double* row = boxes + 10 * static_cast<long>(i);
    BoostInterval c[4];
    for (int k = 0; k < 4; ++k) c[k] = BoostInterval(row[k]) + BoostInterval(-row[4 + k], row[4 + k]);
    const BoostInterval& x = c[0];
    const BoostInterval& u = c[2];
    const BoostInterval x1 = (a - x * x) + b * c[1];
    const BoostInterval u1 = (-2.0 * x) * u + b * c[3];
    const double mx = Mid(lower(x), upper(x));
    const double mu = Mid(lower(u), upper(u));
    double* lo = imageLo + 4 * static_cast<long>(i);
    double* hi = imageHi + 4 * static_cast<long>(i);
    lo[0] = lower(x1);
    lo[1] = mx;
    lo[2] = lower(u1);
    lo[3] = mu;
    hi[0] = upper(x1);
    hi[1] = mx;
    hi[2] = upper(u1);
    hi[3] = mu;
  }
}

void BM_boost_interval(benchmark::State& state) {
  Workload& w = Shared();
  for (auto _ : state) {
    BoostTHenon(kBoxes, w.paramLo, w.paramHi, w.boxes.data(), w.lo.data(), w.hi.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBoxes);
}
BENCHMARK(BM_boost_interval)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Both computations must produce the same boxes for the comparison to mean
// anything.
void CompareOutputs() {
  Workload& w = Shared();
  std::vector<double> blo(w.lo.size()), bhi(w.hi.size());
  vesk::t_realhenon(kBoxes, w.paramLo, w.paramHi, w.boxes.data(), w.lo.data(), w.hi.data());
  BoostTHenon(kBoxes, w.paramLo, w.paramHi, w.boxes.data(), blo.data(), bhi.data());
  long same = 0;
  for (int i = 0; i < kBoxes; ++i) {
    bool eq = true;
    for (int k = 0; k < 4; ++k) eq = eq && w.lo[4 * i + k] == blo[4 * i + k] && w.hi[4 * i + k] == bhi[4 * i + k];
    same += eq;
  }
  std::cout << "identical image boxes: " << same << " of " << kBoxes << std::endl;
}
#endif

// Console output plus the boxes per second of each benchmark.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (run.run_type == Run::RT_Iteration && it != run.counters.end()) {
        rate[run.run_name.function_name] = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
#ifdef VESK_HAVE_BOOST
  CompareOutputs();
#endif
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto boost = reporter.rate.find("BM_boost_interval");
  for (const char* name : {"BM_t_realhenon", "BM_t_realhenon_baseline", "BM_t_realhenon_stepwise"}) {
    const auto ours = reporter.rate.find(name);
    if (ours != reporter.rate.end() && boost != reporter.rate.end() && boost->second > 0) {
      char line[160];
      std::snprintf(line, sizeof line, "%s: %.4g boxes/s, Boost.Interval: %.4g boxes/s, ratio %.3f",
                    name + 3, ours->second, boost->second, ours->second / boost->second);
      std::cout << line << std::endl;
    }
  }
  benchmark::Shutdown();
  return 0;
}
