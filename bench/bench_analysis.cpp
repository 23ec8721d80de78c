// One verification pass on a big lifted tree of the Henon map (a = 1.4,
// b = 0.3, domain (0, 0, 0, 0) +- (2, 2, 2, 2), a case whose set does not
// shrink away): the tree is grown by the loop of the driver (subdivide,
// chain recurrent set, invariant set) until it has at least 200000 leaves;
// then each analysis of the next pass is timed on its own copy of the
// tree as that pass hands it over, and the whole pass once more.
//
// The two restrictions and the subdivision run in three ways side by side:
// the reference implementations of tests/reference_analysis.h (the
// invariant set sweep by sweep, the chain recurrent set without stored
// graph) with TreeSubdivideAll, and the library's analyses on the stored box
// graph with TreeSubdivideAllThreads, on 1 and on 2 threads. All three leave
// the same trees.
//
// Counters:
//   boxes    boxes the analysis works on (leaves for the subdivision and
//            the whole pass, boxes at the working depth for the others)
//   left     boxes at the working depth after the analysis
//   ns/box   time per box of one call
//   ratio    (BM_PassThreadRatio) the pass's smallest time on 1 thread over
//            its smallest time on 2 threads, the two timed in turn; median
//            ratio: the median of the ratios of the two times of each turn;
//            pair ratio: twice the smallest 1-thread time over the smallest
//            time of two 1-thread passes run side by side (what two cores
//            give work that shares nothing), and its median over the turns
//   peak B/box, tree B/box (BM_PassPeakMemory): the largest heap in use
//            during a pass, and the heap of the tree handed to it, per box
//            at the working depth after the subdivision (the time of these
//            rows is not measured)
// Times are wall-clock seconds of one call (manual time), so that the
// threads' work counts; copying the tree and freeing it are not timed.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "analysis/box_graph.h"
#include "analysis/chain_recurrent.h"
#include "analysis/depth_boxes.h"
#include "analysis/invariant_set.h"
#include "analysis/workspace.h"
#include "tests/reference_analysis.h"
#include "tree/tree.h"

// Heap accounting for BM_PassPeakMemory: this program's malloc family
// forwards to the C library and, while a measurement window is open, adds
// and subtracts the usable size of every block.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long long> gHeap{0};
std::atomic<long long> gHeapPeak{0};

void HeapChange(void* block, long long sign) {
  if (!block || !gCounting.load(std::memory_order_relaxed)) return;
  const long long now =
      gHeap.fetch_add(sign * static_cast<long long>(malloc_usable_size(block))) +
      sign * static_cast<long long>(malloc_usable_size(block));
  long long peak = gHeapPeak.load();
  while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now)) {
  }
}

}  // namespace

extern "C" {
void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  HeapChange(p, 1);
  return p;
}
void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  HeapChange(p, 1);
  return p;
}
void* realloc(void* old, size_t n) {
  HeapChange(old, -1);
  void* p = __libc_realloc(old, n);
  HeapChange(p ? p : old, 1);
  return p;
}
void* memalign(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  HeapChange(p, 1);
  return p;
}
void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void** out, size_t align, size_t n) {
  void* p = memalign(align, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) {
  HeapChange(p, -1);
  __libc_free(p);
}
}

namespace {

using vesk::Box;
using vesk::Tree;

constexpr int kMinLeaves = 200000;
double kParam[2] = {1.4, 0.3};

Tree* NewTree(int dim) {
  const double center[4] = {0, 0, 0, 0};
  const double radius[4] = {2, 2, 2, 2};
  vesk::Rectangle* domain = vesk::RectangleNew(center, radius, static_cast<uint8_t>(dim));
  Tree* tree = vesk::TreeNew(domain);
  vesk::RectangleFree(&domain);
  return tree;
}

void FreeBase(Tree** base) {
  vesk::BoxFree(&(*base)->root->child[0]);
  vesk::BoxFree(&(*base)->root->child[1]);
  vesk::TreeFree(base);
}

void CopyBoxes(const Box* from, Box* to) {
  to->sd = from->sd;
  to->flags = from->flags;
  to->no = from->no;
  for (int i = 0; i < 2; ++i) {
    if (!from->child[i]) continue;
    to->child[i] = vesk::BoxNew();
    CopyBoxes(from->child[i], to->child[i]);
  }
}

// A copy of the boxes, domain and split table that shares nothing.
Tree* Clone(const Tree* source) {
  Tree* tree = vesk::TreeNew(source->domain);
  std::memcpy(tree->sd, source->sd, static_cast<size_t>(vesk::TreeMaxDepth(tree)) + 1);
  CopyBoxes(source->root, tree->root);
  return tree;
}

int Height(const Tree* tree) { return vesk::TreeDepth(tree->root); }

// The trees at the stages of the benchmarked pass, built once.
struct Stages {
  Tree* grown;         // >= kMinLeaves leaves, before the pass
  int grownLeaves;     // its leaves, numbered in walk order as a pass leaves them
  Tree* subdivided;    // after TreeSubdivideAll
  Tree* chainRec;      // after BaseChainRecSet
  Tree* invariant;     // after InvariantSet
};

// How the two restrictions run: the reference implementations, or the
// library's with a number of threads.
struct Impl {
  bool fast;
  int threads;
};

const Impl kReference{false, 1};
const Impl kFast1{true, 1};
const Impl kFast2{true, 2};

int ChainRec(const Impl& impl, Tree* tree, Tree* base) {
  if (!impl.fast) return reference::BaseChainRecSet(tree, base, kParam, kParam);
  return vesk::BaseChainRecSetCountedThreads(tree, base, kParam, kParam, nullptr, nullptr,
                                             impl.threads);
}

int Invariant(const Impl& impl, Tree* tree) {
  if (!impl.fast) return reference::InvariantSet(tree, kParam, kParam);
  return vesk::InvariantSetThreads(tree, kParam, kParam, impl.threads);
}

void Subdivide(const Impl& impl, Tree* tree) {
  if (!impl.fast) return vesk::TreeSubdivideAll(tree);
  vesk::TreeSubdivideAllThreads(tree, impl.threads);
}

const Stages& GetStages() {
  static const Stages stages = [] {
    const Impl grow{true, 0};
    Stages s{};
    Tree* tree = NewTree(4);
    Tree* base = NewTree(2);
    while (vesk::TreeCountDepth(tree, -1) < kMinLeaves) {
      vesk::TreeSubdivideAll(tree);
      if (ChainRec(grow, tree, base) <= 0 || Invariant(grow, tree) <= 0) {
        std::fprintf(stderr, "bench_analysis: the set vanished while growing\n");
        std::abort();
      }
    }
    s.grown = tree;
    s.grownLeaves = vesk::TreeNumberLeaves(tree, -1, nullptr);
    s.subdivided = Clone(tree);
    vesk::TreeSubdivideAll(s.subdivided);
    s.chainRec = Clone(s.subdivided);
    ChainRec(grow, s.chainRec, base);
    s.invariant = Clone(s.chainRec);
    Invariant(grow, s.invariant);
    FreeBase(&base);
    return s;
  }();
  return stages;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int BoxesAtWorkingDepth(const Tree* tree) {
  Tree* copy = vesk::TreeCopy(const_cast<Tree*>(tree));
  const int n = vesk::TreeCountDepth(copy, Height(copy));
  vesk::TreeFree(&copy);
  return n;
}

int Leaves(const Tree* tree) {
  Tree* copy = vesk::TreeCopy(const_cast<Tree*>(tree));
  const int n = vesk::TreeCountDepth(copy, -1);
  vesk::TreeFree(&copy);
  return n;
}

// Times `run` on a fresh copy of `input` per iteration.
template <typename Run>
void TimeOnCopies(benchmark::State& state, const Tree* input, int boxes, Run run) {
  double seconds = 0;
  int left = 0;  // boxes at the working depth after the last call
  for (auto _ : state) {
    Tree* tree = Clone(input);
    Tree* base = NewTree(2);
    const double start = WallSeconds();
    run(tree, base);
    const double s = WallSeconds() - start;
    state.SetIterationTime(s);
    seconds += s;
    left = BoxesAtWorkingDepth(tree);
    FreeBase(&base);
    vesk::TreeFree(&tree);
  }
  state.counters["boxes"] = boxes;
  state.counters["left"] = left;
  state.counters["ns/box"] = seconds * 1e9 / (static_cast<double>(state.iterations()) * boxes);
}

// The reference is TreeSubdivideAll, the others TreeSubdivideAllThreads.
void BM_Subdivide(benchmark::State& state, Impl impl) {
  const Stages& s = GetStages();
  TimeOnCopies(state, s.grown, Leaves(s.grown),
               [impl](Tree* tree, Tree*) { Subdivide(impl, tree); });
}

void BM_BaseChainRecSet(benchmark::State& state, Impl impl) {
  const Stages& s = GetStages();
  TimeOnCopies(state, s.subdivided, BoxesAtWorkingDepth(s.subdivided),
               [impl](Tree* tree, Tree* base) { ChainRec(impl, tree, base); });
}

void BM_InvariantSet(benchmark::State& state, Impl impl) {
  const Stages& s = GetStages();
  TimeOnCopies(state, s.chainRec, BoxesAtWorkingDepth(s.chainRec),
               [impl](Tree* tree, Tree*) { Invariant(impl, tree); });
}

// The cone test stops at the first failing leaf, which here comes at once.
// To time the scan of every leaf, the copy's tangent radii are shrunk so
// that every leaf passes; the boxes are the same.
void BM_CheckIsolated(benchmark::State& state) {
  const Stages& s = GetStages();
  TimeOnCopies(state, s.invariant, BoxesAtWorkingDepth(s.invariant), [](Tree* tree, Tree*) {
    tree->domain->radius[2] = tree->domain->radius[3] = 1e-3;
    if (vesk::CheckIsolated(tree, 2) != 1)
      std::fprintf(stderr, "bench_analysis: the cone test did not scan every leaf\n");
  });
}

// The invariant set's lookup of the boxes the chain recurrent set leaves,
// built again and again into the same memory, as a pass builds it, on 1 or
// 2 threads.
void BM_LookupBuild(benchmark::State& state) {
  const Stages& s = GetStages();
  Tree* tree = Clone(s.chainRec);
  vesk::Workers workers(static_cast<int>(state.range(0)));
  vesk::DepthBoxes boxes;
  vesk::CollectDepthBoxes(tree, -1, 1, 0, INT_MAX, workers, &boxes);
  static const int kOrder[4] = {1, 3, 0, 2};
  vesk::BoxGrid grid;
  for (auto _ : state) {
    const double start = WallSeconds();
    benchmark::DoNotOptimize(vesk::DepthBoxesGrid(&grid, tree, boxes, workers, kOrder));
    state.SetIterationTime(WallSeconds() - start);
  }
  state.counters["boxes"] = static_cast<double>(boxes.count);
  state.counters["runs"] = static_cast<double>(grid.runFirst.size() - 1);
  vesk::TreeFree(&tree);
}
// Subdivision, chain recurrent set, invariant set and cone test in a row,
// as one pass of the driver.
// `slot` picks the workspace: by default the one of the thread count;
// passes that run at the same time need slots of their own.
void Pass(const Impl& impl, Tree* tree, Tree* base, int leaves, int slot = -1) {
  if (impl.fast) {
    // As the verification driver runs it: one workspace for the run (its
    // threads started and its buffers grown by the first iteration), the
    // new boxes gathered by the subdivision, those left by the chain
    // recurrent set handed on to the invariant set.
    static vesk::PassWorkspace* workspaces[4] = {nullptr, nullptr, nullptr, nullptr};
    vesk::PassWorkspace*& ws = workspaces[slot >= 0 ? slot : impl.threads > 1];
    if (!ws) ws = new vesk::PassWorkspace(impl.threads);
    vesk::TreeSubdivideAllCollect(tree, ws->workers, leaves, &ws->lifted);
    if (vesk::BaseChainRecSetPass(tree, base, kParam, kParam, nullptr, nullptr, ws) <= 0) return;
    if (vesk::InvariantSetPass(tree, kParam, kParam, ws) <= 0) return;
  } else {
    Subdivide(impl, tree);
    if (ChainRec(impl, tree, base) <= 0) return;
    if (Invariant(impl, tree) <= 0) return;
  }
  benchmark::DoNotOptimize(vesk::CheckIsolated(tree, 2));
}

void BM_Pass(benchmark::State& state, Impl impl) {
  const Stages& s = GetStages();
  TimeOnCopies(state, s.grown, Leaves(s.grown),
               [impl, &s](Tree* tree, Tree* base) { Pass(impl, tree, base, s.grownLeaves); });
}

// The thread ratio of the pass, measured so that a shared machine disturbs
// it least: each iteration times the pass on 1 thread and on 2 threads,
// one right after the other, and the ratio is that of the smallest times.
// Each iteration also times two one-thread passes run side by side on two
// threads, each on a tree and a workspace of its own: what the two cores
// give when they share no data, the ceiling of the ratio on this machine
// ("pair ratio": twice the one-thread time over the pair's time).
void BM_PassThreadRatio(benchmark::State& state) {
  const Stages& s = GetStages();
  double least[3] = {1e30, 1e30, 1e30}, total[3] = {0, 0, 0};
  std::vector<double> ratios, pairRatios;
  for (auto _ : state) {
    double t[3];
    for (int k = 0; k < 3; ++k) {
      Tree* tree[2] = {Clone(s.grown), k == 2 ? Clone(s.grown) : nullptr};
      Tree* base[2] = {NewTree(2), k == 2 ? NewTree(2) : nullptr};
      const double start = WallSeconds();
      if (k < 2) {
        Pass(k == 0 ? kFast1 : kFast2, tree[0], base[0], s.grownLeaves);
      } else {
        std::thread other([&] { Pass(kFast1, tree[1], base[1], s.grownLeaves, 3); });
        Pass(kFast1, tree[0], base[0], s.grownLeaves, 2);
        other.join();
      }
      t[k] = WallSeconds() - start;
      least[k] = std::min(least[k], t[k]);
      total[k] += t[k];
      for (int j = 0; j < 2; ++j) {
        if (base[j]) FreeBase(&base[j]);
        if (tree[j]) vesk::TreeFree(&tree[j]);
      }
    }
    state.SetIterationTime(t[0] + t[1]);
    ratios.push_back(t[0] / t[1]);
    pairRatios.push_back(2 * t[0] / t[2]);
  }
  std::sort(ratios.begin(), ratios.end());
  std::sort(pairRatios.begin(), pairRatios.end());
  state.counters["1 thread ms"] = least[0] * 1e3;
  state.counters["2 threads ms"] = least[1] * 1e3;
  state.counters["ratio"] = least[0] / least[1];
  state.counters["mean ratio"] = total[0] / total[1];
  state.counters["median ratio"] = ratios[ratios.size() / 2];
  state.counters["pair ms"] = least[2] * 1e3;
  state.counters["pair ratio"] = 2 * least[0] / least[2];
  state.counters["median pair ratio"] = pairRatios[pairRatios.size() / 2];
}

// The heap of one pass: from the copy of the tree handed to it to its end.
void BM_PassPeakMemory(benchmark::State& state, Impl impl) {
  const Stages& s = GetStages();
  const int boxes = BoxesAtWorkingDepth(s.subdivided);
  long long treeBytes = 0, peakBytes = 0;
  for (auto _ : state) {
    gHeap = 0;
    gHeapPeak = 0;
    gCounting = true;
    Tree* tree = Clone(s.grown);
    Tree* base = NewTree(2);
    treeBytes = gHeap.load();
    Pass(impl, tree, base, s.grownLeaves);
    gCounting = false;
    peakBytes = gHeapPeak.load();
    state.SetIterationTime(1.0);
    FreeBase(&base);
    vesk::TreeFree(&tree);
  }
  state.counters["boxes"] = boxes;
  state.counters["tree B/box"] = static_cast<double>(treeBytes) / boxes;
  state.counters["peak B/box"] = static_cast<double>(peakBytes) / boxes;
}

// The machine may be shared: with --benchmark_repetitions=N the smallest
// of the N figures is reported as well ("_min"), the one least disturbed.
double Smallest(const std::vector<double>& v) {
  double m = v.empty() ? 0.0 : v[0];
  for (double x : v) m = x < m ? x : m;
  return m;
}

#define VESK_BENCH_OPTIONS(iterations)                                                      \
  ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(iterations)->ComputeStatistics( \
      "min", Smallest)
#define VESK_BENCH_IMPLS(fn, refIterations, fastIterations)                                 \
  BENCHMARK_CAPTURE(fn, reference, kReference) VESK_BENCH_OPTIONS(refIterations);           \
  BENCHMARK_CAPTURE(fn, fast_1_thread, kFast1) VESK_BENCH_OPTIONS(fastIterations);          \
  BENCHMARK_CAPTURE(fn, fast_2_threads, kFast2) VESK_BENCH_OPTIONS(fastIterations)

VESK_BENCH_IMPLS(BM_Subdivide, 3, 5);
VESK_BENCH_IMPLS(BM_BaseChainRecSet, 3, 5);
VESK_BENCH_IMPLS(BM_InvariantSet, 2, 5);
BENCHMARK(BM_CheckIsolated) VESK_BENCH_OPTIONS(3);
VESK_BENCH_IMPLS(BM_Pass, 1, 5);
BENCHMARK(BM_LookupBuild)->Arg(1)->Arg(2) VESK_BENCH_OPTIONS(50);
BENCHMARK(BM_PassThreadRatio) VESK_BENCH_OPTIONS(30);
VESK_BENCH_IMPLS(BM_PassPeakMemory, 1, 1);

}  // namespace

BENCHMARK_MAIN();
