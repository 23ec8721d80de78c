// Box tree throughput and memory: subdividing every leaf of a 4-dimensional
// tree pass by pass up to 2^22 leaves, and a full leaf walk of such a tree.
//
// Counters:
//   boxes/s         boxes created per CPU second (subdivision)
//   leaves/s        leaves visited per CPU second (walk)
//   boxes           boxes in the tree at the end
//   heap B/box      bytes the allocator handed out per box (mallinfo2): the
//                   boxes' slabs, shared out
//   peak RSS B/box  peak resident memory of the process over the boxes
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdint>

#include "tree/tree.h"

namespace {

constexpr int kPasses = 22;  // 2^22 leaves

vesk::Tree* NewTree() {
  const double center[4] = {0.1, -0.2, 0.3, -0.4};
  const double radius[4] = {1.0 / 3.0, 2.0, 0.7, 1e-3};
  vesk::Rectangle* domain = vesk::RectangleNew(center, radius, 4);
  vesk::Tree* tree = vesk::TreeNew(domain);
  vesk::RectangleFree(&domain);
  return tree;
}

double PeakRssBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;  // ru_maxrss is in KiB
}

void BM_SubdivideAll(benchmark::State& state) {
  const int passes = static_cast<int>(state.range(0));
  int64_t created = 0;
  double boxes = 0, heap = 0;
  for (auto _ : state) {
    state.PauseTiming();
    vesk::Tree* tree = NewTree();
    const struct mallinfo2 before = mallinfo2();
    state.ResumeTiming();
    for (int i = 0; i < passes; ++i) vesk::TreeSubdivideAll(tree);
    state.PauseTiming();
    const struct mallinfo2 after = mallinfo2();
    boxes = vesk::TreeCount(tree->root);
    // Blocks in the heap and blocks mapped on their own, as slabs may be.
    heap = static_cast<double>((after.uordblks + after.hblkhd) -
                               (before.uordblks + before.hblkhd));
    created += static_cast<int64_t>(boxes) - 1;
    vesk::TreeFree(&tree);
    state.ResumeTiming();
  }
  state.counters["boxes/s"] = benchmark::Counter(static_cast<double>(created),
                                                 benchmark::Counter::kIsRate);
  state.counters["boxes"] = boxes;
  state.counters["heap B/box"] = heap / boxes;
  state.counters["peak RSS B/box"] = PeakRssBytes() / boxes;
}
BENCHMARK(BM_SubdivideAll)->Arg(kPasses)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LeafWalk(benchmark::State& state) {
  vesk::Tree* tree = NewTree();
  for (int i = 0; i < state.range(0); ++i) vesk::TreeSubdivideAll(tree);
  const double boxes = vesk::TreeCount(tree->root);
  int64_t visited = 0;
  for (auto _ : state) {
    double sum = 0;
    if (vesk::TreeFirstBox(tree, -1)) {
      do {
        sum += tree->c[0] + tree->r[3];
        ++visited;
      } while (vesk::TreeNextBox(tree, -1));
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["leaves/s"] = benchmark::Counter(static_cast<double>(visited),
                                                 benchmark::Counter::kIsRate);
  state.counters["boxes"] = boxes;
  state.counters["peak RSS B/box"] = PeakRssBytes() / boxes;
  vesk::TreeFree(&tree);
}
BENCHMARK(BM_LeafWalk)->Arg(kPasses)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
