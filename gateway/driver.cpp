#include "gateway/driver.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "analysis/chain_recurrent.h"
#include "analysis/invariant_set.h"
#include "tree/alloc.h"

namespace vesk {

const char* VerifyStageName(VerifyStage stage) {
  switch (stage) {
    case kStageSubdivide: return "subdivide";
    case kStageChainRecurrent: return "chain recurrent set";
    case kStageInvariantSet: return "invariant set";
    case kStageConeTest: return "cone test";
  }
  return "?";
}

int VerifyHeightLimit(const Tree* lifted) {
  const int64_t stackLimit = TreeMaxDepth(lifted);
  return stackLimit < kMaxLiftedHeight ? static_cast<int>(stackLimit) : kMaxLiftedHeight;
}

namespace {

struct Run {
  const VerifyHooks* hooks;
  void print(const char* text) const {
    if (hooks && hooks->print) hooks->print(hooks->user, text);
  }
  void stage(VerifyStage s, int boxes) const {
    if (hooks && hooks->stage) hooks->stage(hooks->user, s, boxes);
  }
};

// The base tree over the state coordinates: the projection of the lifted
// domain onto its first n coordinates.
Tree* NewBaseTree(const Tree* lifted, int n) {
  Rectangle* domain = RectangleNew(lifted->domain->center, lifted->domain->radius,
                                   static_cast<uint8_t>(n));
  Tree* base = TreeNew(domain);
  RectangleFree(&domain);
  return base;
}

void FreeBaseTree(Tree** base) {
  if (!*base) return;
  BoxFree(&(*base)->root->child[0]);
  BoxFree(&(*base)->root->child[1]);
  TreeFree(base);
}

// One restriction and test of the lifted tree: the chain recurrent set,
// the invariant set, the cone test. 1 when hyperbolicity follows.
int Restrict(const Run& run, Tree* lifted, Tree* base, double* lo, double* hi, int n,
             VerifyPassStats* stats) {
  stats->subdivided = TreeCountDepth(lifted, TreeDepth(lifted->root));
  run.stage(kStageChainRecurrent, stats->subdivided);
  const int left = BaseChainRecSetCounted(lifted, base, lo, hi, &stats->baseBoxes,
                                          &stats->baseRecurrent);
  stats->afterChainRec = left;
  if (left == 0) return 1;
  run.stage(kStageInvariantSet, left);
  const int inv = InvariantSet(lifted, lo, hi);
  stats->afterInvariant = inv;
  if (inv == 0) return 1;
  run.stage(kStageConeTest, inv);
  stats->conePassed = CheckIsolated(lifted, n);
  return stats->conePassed == 1;
}

}  // namespace

VerifyOutcome VerifyHyperbolic(Tree* lifted, const double* paramLo, const double* paramHi,
                               const VerifyOptions* options, const VerifyHooks* hooks,
                               double* value) {
  const Run run{hooks};
  if (value) *value = 0.0;
  if (!lifted || lifted->domain->dim != 4) {
    std::fprintf(stderr, "error: libvesk: the verification needs a 4-dimensional lifted tree.\n");
    return kVerifyRefused;
  }
  const int n = lifted->domain->dim / 2;
  const int limit = VerifyHeightLimit(lifted);
  if (TreeDepth(lifted->root) > limit) {
    std::fprintf(stderr,
                 "error: libvesk: the lifted tree is taller than the supported height %d.\n",
                 limit);
    return kVerifyRefused;
  }
  // The maps take the parameter bounds as mutable arrays; keep the
  // caller's untouched.
  double lo[2] = {paramLo[0], paramLo[1]};
  double hi[2] = {paramHi[0], paramHi[1]};
  Tree* base = NewBaseTree(lifted, n);
  VerifyOutcome outcome = kVerifyNotProven;

  if (options && options->once) {
    if (!TreeSplitsExact(lifted, TreeDepth(lifted->root))) {
      std::fputs("warning: libvesk: the boxes of this tree are not exactly representable "
                 "doubles; nothing is proven (choose a domain with dyadic center and "
                 "radius, such as 0 and 3.25).\n",
                 stderr);
      FreeBaseTree(&base);
      return kVerifyInexact;
    }
    VerifyPassStats stats{};
    stats.conePassed = -1;
    if (Restrict(run, lifted, base, lo, hi, n, &stats)) {
      outcome = kVerifyHyperbolic;
      if (value) *value = 1.0;
    }
    FreeBaseTree(&base);
    return outcome;
  }

  const int maxDepth = options ? options->maxDepth : -1;
  int pass = options && options->firstPass > 0 ? options->firstPass : 1;
  char line[64];
  for (;; ++pass) {
    const int height = TreeDepth(lifted->root);
    if (height + 1 > limit) {
      std::snprintf(line, sizeof line,
                    "Stopped: the tree cannot be refined beyond depth %d.\n", limit);
      run.print(line);
      outcome = kVerifyDepthLimit;
      break;
    }
    if (maxDepth >= 0 && height + 1 > maxDepth) {
      outcome = kVerifyDepthBound;
      break;
    }
    if (!TreeSplitsExact(lifted, height + 1)) {
      std::snprintf(line, sizeof line,
                    "Stopped: the boxes of depth %d are not exact doubles.\n", height + 1);
      run.print(line);
      outcome = kVerifyInexact;
      break;
    }
    const auto start = std::chrono::steady_clock::now();
    VerifyPassStats stats{};
    stats.pass = pass;
    stats.depth = height;
    stats.baseBoxes = stats.baseRecurrent = -1;
    stats.afterChainRec = stats.afterInvariant = stats.conePassed = -1;
    std::snprintf(line, sizeof line, "detph %2d:\t ", height);
    run.print(line);
    stats.leaves = TreeCountDepth(lifted, -1);
    std::snprintf(line, sizeof line, "#cubs = %7d\n", stats.leaves);
    run.print(line);
    run.stage(kStageSubdivide, stats.leaves);
    TreeSubdivideAll(lifted);
    const int success = Restrict(run, lifted, base, lo, hi, n, &stats);
    stats.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (success) {
      run.print("Hyperbolic!\n");
      if (value) *value = 1.0;
      if (hooks && hooks->passSucceeded) hooks->passSucceeded(hooks->user, &stats, lifted);
      outcome = kVerifyHyperbolic;
      break;
    }
    if (hooks && hooks->passDone && hooks->passDone(hooks->user, &stats, lifted)) {
      outcome = kVerifyStopped;
      break;
    }
  }
  FreeBaseTree(&base);
  return outcome;
}

}  // namespace vesk
