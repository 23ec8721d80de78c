// One verification pass on a big lifted tree of the Henon map (a = 1.4,
// b = 0.3, domain (0, 0, 0, 0) +- (2, 2, 2, 2), a case whose set does not
// shrink away): the tree is grown by the loop of the driver (subdivide,
// chain recurrent set, invariant set) until it has at least 200000 leaves;
// then each analysis of the next pass is timed on its own copy of the
// tree as that pass hands it over, and the whole pass once more.
//
// Counters:
//   boxes   boxes the analysis works on (leaves for the subdivision, boxes
//           at the working depth for the others)
//   left    boxes at the working depth after the analysis
//   ns/box  time per box of one call
// Times are CPU seconds of the calling thread for one call (manual time);
// copying the tree and freeing it are not timed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "analysis/chain_recurrent.h"
#include "analysis/invariant_set.h"
#include "tree/tree.h"

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
  Tree* subdivided;    // after TreeSubdivideAll
  Tree* chainRec;      // after BaseChainRecSet
  Tree* invariant;     // after InvariantSet
};

const Stages& GetStages() {
  static const Stages stages = [] {
    Stages s{};
    Tree* tree = NewTree(4);
    Tree* base = NewTree(2);
    while (vesk::TreeCountDepth(tree, -1) < kMinLeaves) {
      vesk::TreeSubdivideAll(tree);
      if (vesk::BaseChainRecSet(tree, base, kParam, kParam) <= 0 ||
          vesk::InvariantSet(tree, kParam, kParam) <= 0) {
        std::fprintf(stderr, "bench_analysis: the set vanished while growing\n");
        std::abort();
      }
    }
    s.grown = tree;
    s.subdivided = Clone(tree);
    vesk::TreeSubdivideAll(s.subdivided);
    s.chainRec = Clone(s.subdivided);
    vesk::BaseChainRecSet(s.chainRec, base, kParam, kParam);
    s.invariant = Clone(s.chainRec);
    vesk::InvariantSet(s.invariant, kParam, kParam);
    FreeBase(&base);
    return s;
  }();
  return stages;
}

// CPU time of the calling thread: the analyses are single-threaded, and
// the machine may be shared.
double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

int BoxesAtWorkingDepth(const Tree* tree) {
  Tree* copy = vesk::TreeCopy(const_cast<Tree*>(tree));
  const int n = vesk::TreeCountDepth(copy, Height(copy));
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
    const double start = ThreadSeconds();
    run(tree, base);
    const double s = ThreadSeconds() - start;
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

void BM_TreeSubdivideAll(benchmark::State& state) {
  const Stages& s = GetStages();
  Tree* copy = vesk::TreeCopy(s.grown);
  const int leaves = vesk::TreeCountDepth(copy, -1);
  vesk::TreeFree(&copy);
  TimeOnCopies(state, s.grown, leaves, [](Tree* tree, Tree*) { vesk::TreeSubdivideAll(tree); });
}

void BM_BaseChainRecSet(benchmark::State& state) {
  const Stages& s = GetStages();
  TimeOnCopies(state, s.subdivided, BoxesAtWorkingDepth(s.subdivided),
               [](Tree* tree, Tree* base) { vesk::BaseChainRecSet(tree, base, kParam, kParam); });
}

void BM_InvariantSet(benchmark::State& state) {
  const Stages& s = GetStages();
  TimeOnCopies(state, s.chainRec, BoxesAtWorkingDepth(s.chainRec),
               [](Tree* tree, Tree*) { vesk::InvariantSet(tree, kParam, kParam); });
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

// Subdivision, chain recurrent set, invariant set and cone test in a row,
// as one pass of the driver.
void BM_Pass(benchmark::State& state) {
  const Stages& s = GetStages();
  Tree* copy = vesk::TreeCopy(s.grown);
  const int leaves = vesk::TreeCountDepth(copy, -1);
  vesk::TreeFree(&copy);
  TimeOnCopies(state, s.grown, leaves, [](Tree* tree, Tree* base) {
    vesk::TreeSubdivideAll(tree);
    if (vesk::BaseChainRecSet(tree, base, kParam, kParam) <= 0) return;
    if (vesk::InvariantSet(tree, kParam, kParam) <= 0) return;
    benchmark::DoNotOptimize(vesk::CheckIsolated(tree, 2));
  });
}

BENCHMARK(BM_TreeSubdivideAll)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BaseChainRecSet)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_InvariantSet)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_CheckIsolated)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Pass)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
