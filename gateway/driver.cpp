#include "gateway/driver.h"

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "analysis/chain_recurrent.h"
#include "analysis/depth_boxes.h"
#include "analysis/invariant_set.h"
#include "analysis/parallel.h"
#include "analysis/workspace.h"
#include "map/henon.h"
#include "map/interval.h"
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

int VerifyThreads(int threads) { return AnalysisThreads(threads); }

int VerifyHeightLimit(const Tree* lifted) {
  const int64_t stackLimit = TreeMaxDepth(lifted);
  return stackLimit < kMaxLiftedHeight ? static_cast<int>(stackLimit) : kMaxLiftedHeight;
}

namespace {

// The shortest of %.15g, %.16g, %.17g that reads back as x.
struct Num {
  char text[32];
  explicit Num(double x) {
    for (int digits = 15; digits <= 17; ++digits) {
      std::snprintf(text, sizeof text, "%.*g", digits, x);
      if (std::strtod(text, nullptr) == x || std::isnan(x)) break;
    }
  }
};

VerifyInputStatus Refuse(VerifyInputStatus status, char* why, size_t whySize,
                         const char* format, ...) __attribute__((format(printf, 4, 5)));

VerifyInputStatus Refuse(VerifyInputStatus status, char* why, size_t whySize,
                         const char* format, ...) {
  if (why && whySize > 0) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, whySize, format, args);
    va_end(args);
  }
  return status;
}

// What one walk of the whole tree finds out about its shape.
struct Shape {
  int height = 0;
  int leafDepth = -1;      // depth of the first leaf
  int otherLeaf = -1;      // depth of a leaf elsewhere, -1 when all agree
  int64_t badDepth = -1;   // depth of an inner box that disagrees with the table
  int badSd = 0;
  bool tooTall = false;
};

// Iterative, without the cursor: the tree may be as deep as a file allows.
Shape WalkShape(const Tree* tree, int limit) {
  Shape shape;
  struct Item {
    const Box* box;
    int depth;
  };
  std::vector<Item> stack{{tree->root, 0}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (item.depth > shape.height) shape.height = item.depth;
    if (item.depth > limit) {
      shape.tooTall = true;
      return shape;
    }
    const Box* box = item.box;
    if (!box->child[0] && !box->child[1]) {
      if (shape.leafDepth < 0)
        shape.leafDepth = item.depth;
      else if (item.depth != shape.leafDepth && shape.otherLeaf < 0)
        shape.otherLeaf = item.depth;
      continue;
    }
    if (box->sd != tree->sd[item.depth] && shape.badDepth < 0) {
      shape.badDepth = item.depth;
      shape.badSd = box->sd;
    }
    if (box->child[1]) stack.push_back({box->child[1], item.depth + 1});
    if (box->child[0]) stack.push_back({box->child[0], item.depth + 1});
  }
  return shape;
}

// Whether a pass over this many leaves fits what the process may still
// use; if not, the reason in why ("the next pass needs about X, more than
// the Y available").
bool FitsMemory(int64_t leaves, int subdivide, int64_t maxMemory, char* why, size_t whySize) {
  const int64_t need = VerifyPassBytes(leaves, subdivide);
  const int64_t have = VerifyMemoryAvailable(maxMemory);
  if (need <= have) return true;
  if (why) {
    char needText[32], haveText[32];
    VerifyFormatBytes(need, needText, sizeof needText);
    VerifyFormatBytes(have, haveText, sizeof haveText);
    std::snprintf(why, whySize, "the next pass needs about %s, more than the %s available",
                  needText, haveText);
  }
  return false;
}

// Below this many boxes a pass takes about a millisecond, and starting and
// joining the workers of each analysis would cost more than they save: such
// passes run on the calling thread (the result is the same either way).
constexpr int kThreadedBoxes = 16384;

int PassThreads(int threads, int64_t boxes) { return boxes < kThreadedBoxes ? 1 : threads; }

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
// stats->subdivided holds the boxes at the working depth, or -1 when they
// are still to be counted.
// ws: the run's workers and buffers; ws.lifted holds the lifted boxes at
// the working depth when the subdivision gathered them (depth 0 or more).
int Restrict(const Run& run, Tree* lifted, Tree* base, double* lo, double* hi, int n,
             PassWorkspace& ws, VerifyPassStats* stats) {
  if (stats->subdivided < 0) stats->subdivided = TreeCountDepth(lifted, TreeDepth(lifted->root));
  run.stage(kStageChainRecurrent, stats->subdivided);
  // The boxes the chain recurrent set leaves are handed on to the
  // invariant set rather than gathered again.
  const int left =
      BaseChainRecSetPass(lifted, base, lo, hi, &stats->baseBoxes, &stats->baseRecurrent, &ws);
  stats->afterChainRec = left;
  if (left == 0) return 1;
  run.stage(kStageInvariantSet, left);
  const int inv = InvariantSetPass(lifted, lo, hi, &ws);
  stats->afterInvariant = inv;
  if (inv == 0) return 1;
  run.stage(kStageConeTest, inv);
  stats->conePassed = CheckIsolated(lifted, n);
  return stats->conePassed == 1;
}

}  // namespace

VerifyInputStatus VerifyCheckInput(const Tree* lifted, const double* paramLo,
                                   const double* paramHi, int toDepth, char* why,
                                   size_t whySize) {
  if (!lifted || !lifted->domain || !lifted->root)
    return Refuse(kInputNoTree, why, whySize, "there is no tree to verify");
  if (!paramLo || !paramHi)
    return Refuse(kInputParameters, why, whySize, "the parameter bounds are missing");
  static const char* const kParam[2] = {"a", "b"};
  for (int i = 0; i < 2; ++i) {
    const double lo = paramLo[i], hi = paramHi[i];
    if (!std::isfinite(lo) || !std::isfinite(hi))
      return Refuse(kInputParameters, why, whySize,
                    "the parameter %s = [%s, %s] must have finite ends", kParam[i],
                    Num(lo).text, Num(hi).text);
    if (lo > hi)
      return Refuse(kInputParameters, why, whySize,
                    "the parameter %s = [%s, %s] has its lower end above its upper end: an "
                    "empty parameter box proves nothing; give the smaller end first",
                    kParam[i], Num(lo).text, Num(hi).text);
  }
  const Rectangle* domain = lifted->domain;
  if (domain->dim != 4)
    return Refuse(kInputDimension, why, whySize,
                  "the lifted tree must have dimension 4 (x, y, u, v); this one has %d",
                  domain->dim);
  if (!RectangleCheck(domain, why, whySize)) return kInputDomain;
  const double* c = domain->center;
  const double* r = domain->radius;
  // x, y at 0 and 1, u, v at 2 and 3; the second of each pair is the
  // first's midpoint image.
  static const char* const kPair[2][3] = {{"state", "x", "y"}, {"tangent", "u", "v"}};
  for (int k = 0; k < 2; ++k) {
    const int i = 2 * k;
    if (c[i] == c[i + 1] && r[i] == r[i + 1]) continue;
    const char* const* name = kPair[k];
    return Refuse(kInputGrid, why, whySize,
                  "the %s coordinates %s and %s must share one grid: give them the same "
                  "center and the same radius (this domain: %s in %s +- %s, %s in %s +- %s); "
                  "the tangent lift maps %s onto %s through a midpoint, which encloses the "
                  "image only on one grid",
                  name[0], name[1], name[2], name[1], Num(c[i]).text, Num(r[i]).text, name[2],
                  Num(c[i + 1]).text, Num(r[i + 1]).text, name[1], name[2]);
  }
  if (c[2] != 0.0 || r[2] < 1.0)
    return Refuse(kInputTangent, why, whySize,
                  "the tangent coordinates u and v must have center 0 and a radius of at "
                  "least 1 (this domain: %s +- %s; the usual radius is 2): the cone test "
                  "proves hyperbolicity only when every bounded tangent orbit, scaled up, "
                  "fits in the tangent domain and reaches |u| >= 1 there",
                  Num(c[2]).text, Num(r[2]).text);
  // Directed bounds: the domain must hold [-R, R]^2 for certain.
  const double R = HenonOrbitRadius(paramLo, paramHi, 0x1p-20);
  if (!(SubDown(c[0], r[0]) <= -R && AddUp(c[0], r[0]) >= R)) {
    const double hint = HenonOrbitRadius(paramLo, paramHi, 1.0 / 16.0);
    if (!std::isfinite(R))
      return Refuse(kInputStateSquare, why, whySize,
                    "the parameters are too large: no square of doubles holds every "
                    "bounded orbit of the map");
    return Refuse(kInputStateSquare, why, whySize,
                  "the state domain (x, y in %s +- %s) must contain the square |x|, |y| <= "
                  "%s that holds every bounded orbit for these parameters, e.g. center 0 "
                  "and radius %s: orbits that leave the domain are dropped, so a smaller "
                  "domain can miss part of the chain recurrent set",
                  Num(c[0]).text, Num(r[0]).text, Num(R).text, Num(hint).text);
  }

  const int limit = VerifyHeightLimit(lifted);
  const Shape shape = WalkShape(lifted, limit);
  if (shape.tooTall)
    return Refuse(kInputTooTall, why, whySize,
                  "the lifted tree has height %d or more; the verification handles at most "
                  "%d",
                  shape.height, limit);
  if (shape.otherLeaf >= 0)
    return Refuse(kInputUneven, why, whySize,
                  "the leaves of the lifted tree lie at different depths (%d and %d): the "
                  "analyses work on the deepest level only and would never look at the "
                  "others; give a tree whose leaves all lie at one depth",
                  shape.leafDepth, shape.otherLeaf);
  if (shape.badDepth >= 0)
    return Refuse(kInputSplits, why, whySize,
                  "a box at depth %lld is split along coordinate %d, but the split table of "
                  "the tree gives coordinate %d for that depth: the tree is inconsistent",
                  static_cast<long long>(shape.badDepth), shape.badSd,
                  lifted->sd[shape.badDepth]);
  const int height = shape.height;
  const int last = toDepth < 0 ? limit : (toDepth > height ? toDepth : height);
  if (last > limit)
    return Refuse(kInputTooTall, why, whySize,
                  "the depth %d asked for is beyond the %d levels the verification handles",
                  last, limit);
  // Cells of y must cover cells of x (and v those of u) at every depth that
  // is analysed: y may lag x in bisections, never lead.
  int splits[4] = {0, 0, 0, 0};
  for (int d = 0; d <= last; ++d) {
    if (d >= height && (splits[1] > splits[0] || splits[3] > splits[2]))
      return Refuse(kInputSplits, why, whySize,
                    "the split table of the tree bisects %s more often than %s at depth %d "
                    "(a tree read from a tree file keeps its table only along its leftmost "
                    "path): the midpoint images of the tangent lift need the cells of %s to "
                    "cover those of %s",
                    splits[1] > splits[0] ? "y" : "v", splits[1] > splits[0] ? "x" : "u", d,
                    splits[1] > splits[0] ? "y" : "v", splits[1] > splits[0] ? "x" : "u");
    if (d == last) break;
    const int k = lifted->sd[d];
    if (k >= 4)
      return Refuse(kInputSplits, why, whySize,
                    "the split table of the tree gives coordinate %d at depth %d, which a "
                    "4-dimensional tree does not have",
                    k, d);
    ++splits[k];
  }
  // Without a bound the loop checks each further depth before its pass.
  const int exactTo = toDepth < 0 ? height : last;
  if (!TreeSplitsExact(lifted, exactTo)) {
    int exact = -1;
    while (exact < exactTo && TreeSplitsExact(lifted, exact + 1)) ++exact;
    if (exact < height)
      return Refuse(kInputInexact, why, whySize,
                    "the boxes of this tree do not have exact double bounds at its depth %d: "
                    "use a domain whose centers and radii have few binary digits (such as 0 "
                    "and 3.25, not 3.22)",
                    height);
    return Refuse(kInputInexact, why, whySize,
                  "the boxes of this domain have exact double bounds only down to depth %d, "
                  "less than the depth %d asked for: use a domain whose centers and radii "
                  "have few binary digits (such as 0 and 3.25, not 3.22) or a smaller depth",
                  exact, exactTo);
  }
  if (why && whySize > 0) why[0] = '\0';
  return kInputOk;
}

namespace {

// The two modes on a base tree that the caller owns.
VerifyOutcome Verify(const Run& run, Tree* lifted, Tree* base, double* lo, double* hi,
                     const VerifyOptions* options, const VerifyHooks* hooks, double* value) {
  const int n = lifted->domain->dim / 2;
  const int limit = VerifyHeightLimit(lifted);
  VerifyOutcome outcome = kVerifyNotProven;

  const int64_t maxMemory = options ? options->maxMemory : 0;
  const int threads = options ? options->threads : 0;
  if (options && options->once) {
    const int leaves = TreeCountDepth(lifted, -1);
    if (!FitsMemory(leaves, 0, maxMemory, nullptr, 0)) {
      return kVerifyMemory;
    }
    if (!TreeSplitsExact(lifted, TreeDepth(lifted->root))) {
      std::fputs("warning: libvesk: the boxes of this tree are not exactly representable "
                 "doubles; nothing is proven (choose a domain with dyadic center and "
                 "radius, such as 0 and 3.25).\n",
                 stderr);
      return kVerifyInexact;
    }
    VerifyPassStats stats{};
    stats.conePassed = -1;
    stats.subdivided = -1;
    PassWorkspace ws(PassThreads(threads, leaves));
    if (Restrict(run, lifted, base, lo, hi, n, ws, &stats)) {
      outcome = kVerifyHyperbolic;
      if (value) *value = 1.0;
    }
    return outcome;
  }

  const int maxDepth = options ? options->maxDepth : -1;
  int pass = options && options->firstPass > 0 ? options->firstPass : 1;
  // The workers and buffers of every pass.
  PassWorkspace ws(threads);
  // Leaves that the last pass's pruning left numbered 0, 1, ... in walk
  // order, all at the height; -1 when they must be counted and numbered.
  int numbered = -1;
  char line[64];
  // After a pass that does not succeed the tree is even and one level
  // taller: boxes are left at the working depth, and the leaves above it
  // went with the analyses' pruning.
  for (int height = TreeDepth(lifted->root);; ++pass, ++height) {
    if (height + 1 > limit) {
      std::snprintf(line, sizeof line,
                    "Stopped: the tree cannot be refined beyond depth %d.\n", limit);
      run.print(line);
      outcome = kVerifyDepthLimit;
      break;
    }
    if (maxDepth >= 0 && height + 1 > maxDepth) {
      std::snprintf(line, sizeof line, "not proven up to depth %d\n", maxDepth);
      run.print(line);
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
    // The leaves numbered in walk order, and those at the height counted:
    // each of them makes two boxes at the working depth. After a pass the
    // pruning has done both.
    int atHeight = numbered;
    stats.leaves = numbered >= 0 ? numbered : TreeNumberLeaves(lifted, height, &atHeight);
    stats.subdivided = 2 * atHeight;
    char tooBig[160];
    if (!FitsMemory(stats.leaves, 1, maxMemory, tooBig, sizeof tooBig)) {
      char stop[256];
      std::snprintf(stop, sizeof stop, "not proven up to depth %d: %s\n", height, tooBig);
      run.print(stop);
      outcome = kVerifyMemory;
      break;
    }
    std::snprintf(line, sizeof line, "detph %2d:\t ", height);
    run.print(line);
    std::snprintf(line, sizeof line, "#cubs = %7d\n", stats.leaves);
    run.print(line);
    run.stage(kStageSubdivide, stats.leaves);
    ws.workers.Limit(AnalysisThreads(PassThreads(threads, 2 * int64_t{stats.leaves})));
    // The new boxes are gathered as they are made.
    TreeSubdivideAllCollect(lifted, ws.workers, stats.leaves, &ws.lifted);
    const int success = Restrict(run, lifted, base, lo, hi, n, ws, &stats);
    numbered = stats.afterInvariant > 0 ? stats.afterInvariant : -1;
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
  return outcome;
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
  Tree* base = NewBaseTree(lifted, lifted->domain->dim / 2);
  VerifyOutcome outcome;
  try {
    outcome = Verify(run, lifted, base, lo, hi, options, hooks, value);
  } catch (...) {
    // A failed allocation: the lifted tree stays consistent, the base tree
    // is the call's own.
    FreeBaseTree(&base);
    throw;
  }
  FreeBaseTree(&base);
  return outcome;
}

}  // namespace vesk
