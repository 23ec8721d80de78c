// vesk_tree: box trees for Octave. One entry point, a subcommand first:
//
//   t = vesk_tree('new', center, radius)     tree over a domain
//   vesk_tree('free', t)                     release the tree
//   vesk_tree('subdivide', t [, k])          bisect every leaf (k times)
//   n = vesk_tree('count', t)                number of leaves
//   h = vesk_tree('depth', t)                height (0 for a lone root)
//   B = vesk_tree('boxes', t [, depth])      boxes as rows [center radius flags]
//   [c, r] = vesk_tree('domain', t)          the tree's domain
//   vesk_tree('save', t, file)               write a tree file
//   t = vesk_tree('load', file)              read a tree file
//   n = vesk_tree('live')                    trees currently held
//
// Trees are held in the registry shared with henon_hyperbolic; a handle
// that the registry does not know, or whose tree was freed, is refused
// with a host error and never followed.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include <new>

#include "gateway/driver.h"
#include "io/file_write.h"
#include "io/tree_file.h"
#include "mex.h"
#include "octave/handle_registry.h"
#include "octave/mex_handle.h"

namespace {

using vesk::Tree;

constexpr const char* kCommands =
    "new, free, subdivide, count, depth, boxes, domain, save, load, live";

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct MxString {
  char* text = nullptr;
  MxString() = default;
  MxString(const MxString&) = delete;
  MxString& operator=(const MxString&) = delete;
  ~MxString() { mxFree(text); }
};

void NeedArgs(int nrhs, int count, const char* usage) {
  if (nrhs < count) mexErrMsgIdAndTxt("vesk:nargin", "too few arguments; usage: %s", usage);
}

// A real scalar with an integral value in [lo, hi].
int64_t IntegerArg(const mxArray* arg, int64_t lo, int64_t hi, const char* what) {
  if (!mxIsNumeric(arg) || mxIsComplex(arg) || mxIsSparse(arg) ||
      mxGetNumberOfElements(arg) != 1)
    mexErrMsgIdAndTxt("vesk:badArgument", "%s must be a real scalar.", what);
  const double value = mxGetScalar(arg);
  if (!std::isfinite(value) || value != std::floor(value) || value < static_cast<double>(lo) ||
      value > static_cast<double>(hi))
    mexErrMsgIdAndTxt("vesk:badArgument", "%s must be an integer from %lld to %lld.", what,
                      static_cast<long long>(lo), static_cast<long long>(hi));
  return static_cast<int64_t>(value);
}

// A real dense double vector of 1 to 255 entries.
const double* DomainVector(const mxArray* arg, const char* what, size_t* count) {
  const size_t n = mxGetNumberOfElements(arg);
  if (!mxIsDouble(arg) || mxIsComplex(arg) || mxIsSparse(arg) || n < 1 ||
      n > static_cast<size_t>(vesk::kMaxDim))
    mexErrMsgIdAndTxt("vesk:badDomain", "%s must be a real double vector of 1 to %d entries.",
                      what, vesk::kMaxDim);
  *count = n;
  return mxGetPr(arg);
}

void FileName(const mxArray* arg, MxString* name) {
  if (!mxIsChar(arg) || mxGetNumberOfElements(arg) < 1)
    mexErrMsgIdAndTxt("vesk:badArgument", "the file name must be a nonempty string.");
  name->text = mxArrayToString(arg);
  if (!name->text) mexErrMsgIdAndTxt("vesk:badArgument", "the file name cannot be read.");
}

mxArray* Scalar(double value) {
  mxArray* a = mxCreateDoubleMatrix(1, 1, mxREAL);
  *mxGetPr(a) = value;
  return a;
}

void New(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs;
  NeedArgs(nrhs, 3, "t = vesk_tree('new', center, radius)");
  size_t nc = 0, nr = 0;
  const double* center = DomainVector(prhs[1], "the center", &nc);
  const double* radius = DomainVector(prhs[2], "the radius", &nr);
  if (nc != nr)
    mexErrMsgIdAndTxt("vesk:badDomain", "the center has %d entries but the radius has %d.",
                      static_cast<int>(nc), static_cast<int>(nr));
  vesk::Rectangle* domain = vesk::RectangleNew(center, radius, static_cast<uint8_t>(nc));
  char why[200];
  if (!vesk::RectangleCheck(domain, why, sizeof why)) {
    vesk::RectangleFree(&domain);
    mexErrMsgIdAndTxt("vesk:badDomain", "%s.", why);
  }
  Tree* tree = vesk::TreeNew(domain);
  vesk::RectangleFree(&domain);
  Tree** slot = vesk::HandleRegister(tree);
  if (!slot) mexErrMsgIdAndTxt("vesk:failed", "the tree could not be made.");
  plhs[0] = vesk::MexTreeStruct(slot);
}

void Free(int, mxArray*[], int nrhs, const mxArray* prhs[]) {
  NeedArgs(nrhs, 2, "vesk_tree('free', t)");
  const uint64_t address = vesk::MexHandleAddress(prhs[1], "the tree argument");
  if (address == 0) mexErrMsgTxt("Tree: tree is empty.");
  vesk::MexLiveTreeAt(address, "the tree argument");
  vesk::HandleRelease(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)));
}

void Subdivide(int, mxArray*[], int nrhs, const mxArray* prhs[]) {
  NeedArgs(nrhs, 2, "vesk_tree('subdivide', t [, k])");
  Tree* tree = vesk::MexLiveTree(prhs[1], "the tree argument");
  const int64_t times = nrhs > 2 ? IntegerArg(prhs[2], 0, 64, "k") : 1;
  if (times == 0) return;
  const double leaves = static_cast<double>(vesk::TreeWalkCount(tree, -1));
  const double after = std::ldexp(leaves, static_cast<int>(times));
  if (after > vesk::kVerifyMaxLeaves)
    mexErrMsgIdAndTxt("vesk:tooLarge",
                      "subdividing %.0f leaves %d times would make %.0f leaves; at most %.0f.",
                      leaves, static_cast<int>(times), after, vesk::kVerifyMaxLeaves);
  // What the session may still use, not a fixed cap: trees grown call by
  // call count as much as one grown at once.
  const double need = vesk::VerifySubdivideBytes(leaves, static_cast<int>(times));
  const double have = static_cast<double>(vesk::VerifyMemoryAvailable(0));
  if (need > have) {
    char needText[32], haveText[32];
    vesk::VerifyFormatBytes(static_cast<int64_t>(need), needText, sizeof needText);
    vesk::VerifyFormatBytes(static_cast<int64_t>(have), haveText, sizeof haveText);
    mexErrMsgIdAndTxt("vesk:outOfMemory",
                      "subdividing %.0f leaves %d times would need about %s, more than the %s "
                      "available; the tree is unchanged.",
                      leaves, static_cast<int>(times), needText, haveText);
  }
  for (int64_t i = 0; i < times; ++i) vesk::TreeSubdivideAll(tree);
}

void Count(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  NeedArgs(nrhs, 2, "n = vesk_tree('count', t)");
  Tree* tree = vesk::MexLiveTree(prhs[1], "the tree argument");
  plhs[0] = Scalar(static_cast<double>(vesk::TreeWalkCount(tree, -1)));
}

void Depth(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  NeedArgs(nrhs, 2, "h = vesk_tree('depth', t)");
  Tree* tree = vesk::MexLiveTree(prhs[1], "the tree argument");
  plhs[0] = Scalar(vesk::TreeDepth(tree->root));
}

void Boxes(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  NeedArgs(nrhs, 2, "B = vesk_tree('boxes', t [, depth])");
  Tree* tree = vesk::MexLiveTree(prhs[1], "the tree argument");
  const int depth =
      nrhs > 2 ? static_cast<int>(IntegerArg(prhs[2], -2, vesk::TreeMaxDepth(tree), "the depth"))
               : -1;
  const int dim = tree->domain->dim;
  const int64_t rows = vesk::TreeWalkCount(tree, depth);
  const size_t cols = 2 * static_cast<size_t>(dim) + 1;
  plhs[0] = mxCreateDoubleMatrix(static_cast<size_t>(rows), cols, mxREAL);
  double* out = mxGetPr(plhs[0]);
  int64_t i = 0;
  if (vesk::TreeFirstBox(tree, depth)) {
    do {
      for (int k = 0; k < dim; ++k) {
        out[i + rows * k] = tree->c[k];
        out[i + rows * (dim + k)] = tree->r[k];
      }
      out[i + rows * 2 * dim] = tree->box->flags;
      ++i;
    } while (vesk::TreeNextBox(tree, depth));
  }
}

void Domain(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  NeedArgs(nrhs, 2, "[c, r] = vesk_tree('domain', t)");
  Tree* tree = vesk::MexLiveTree(prhs[1], "the tree argument");
  const int dim = tree->domain->dim;
  plhs[0] = mxCreateDoubleMatrix(1, dim, mxREAL);
  std::memcpy(mxGetPr(plhs[0]), tree->domain->center, dim * sizeof(double));
  if (nlhs > 1) {
    plhs[1] = mxCreateDoubleMatrix(1, dim, mxREAL);
    std::memcpy(mxGetPr(plhs[1]), tree->domain->radius, dim * sizeof(double));
  }
}

void Save(int, mxArray*[], int nrhs, const mxArray* prhs[]) {
  NeedArgs(nrhs, 3, "vesk_tree('save', t, file)");
  Tree* tree = vesk::MexLiveTree(prhs[1], "the tree argument");
  MxString name;
  FileName(prhs[2], &name);
  // The whole file in memory first, then replaced at once: a full disk
  // leaves the old file as it was.
  char* buffer = nullptr;
  size_t size = 0;
  FILE* mem = open_memstream(&buffer, &size);
  if (!mem) mexErrMsgIdAndTxt("vesk:io", "cannot save %s: %s", name.text, std::strerror(errno));
  vesk::TreeSave(mem, tree);
  const bool collected = std::fclose(mem) == 0;
  char why[1024] = "out of memory";
  const int saved =
      collected && vesk::FileWriteAtomically(name.text, buffer, size, why, sizeof why);
  std::free(buffer);
  if (!saved) mexErrMsgIdAndTxt("vesk:io", "cannot save the tree: %s", why);
}

void Load(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  NeedArgs(nrhs, 2, "t = vesk_tree('load', file)");
  MxString name;
  FileName(prhs[1], &name);
  // Opened without waiting: a FIFO would block the session here, where no
  // interrupt reaches it.
  char why[1024];
  int notRegular = 0;
  File in(vesk::TreeFileOpen(name.text, why, sizeof why, &notRegular));
  if (!in) mexErrMsgIdAndTxt(notRegular ? "vesk:badFile" : "vesk:io", "%s.", why);
  Tree* tree = vesk::TreeFileLoad(in.get(), name.text, why, sizeof why);
  in.reset();
  if (!tree) mexErrMsgIdAndTxt("vesk:badFile", "%s.", why);
  plhs[0] = vesk::MexTreeStruct(vesk::HandleRegister(tree));
}

void Live(int, mxArray* plhs[], int, const mxArray*[]) {
  plhs[0] = Scalar(vesk::HandleLiveCount());
}

struct Command {
  const char* name;
  void (*run)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
};

constexpr Command kTable[] = {
    {"new", New},     {"free", Free},     {"subdivide", Subdivide}, {"count", Count},
    {"depth", Depth}, {"boxes", Boxes},   {"domain", Domain},       {"save", Save},
    {"load", Load},   {"live", Live},
};

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs < 1 || !mxIsChar(prhs[0]))
    mexErrMsgIdAndTxt("vesk:nargin", "the first argument must be a command: %s.", kCommands);
  char name[16];
  std::memset(name, 0, sizeof name);
  if (mxGetString(prhs[0], name, sizeof name) != 0)
    mexErrMsgIdAndTxt("vesk:unknownCommand", "unknown command; the commands are: %s.", kCommands);
  for (const Command& command : kTable) {
    if (std::strcmp(name, command.name) != 0) continue;
    bool outOfMemory = false;
    try {
      command.run(nlhs, plhs, nrhs, prhs);
    } catch (const std::bad_alloc&) {
      // A failed allocation (the host's own errors pass through untouched); no box is linked before it is complete, so
      // the trees stay usable.
      outOfMemory = true;
    }
    if (outOfMemory)
      mexErrMsgIdAndTxt("vesk:outOfMemory",
                        "out of memory in vesk_tree ('%s'); the trees are still usable.", name);
    return;
  }
  mexErrMsgIdAndTxt("vesk:unknownCommand", "unknown command '%s'; the commands are: %s.", name,
                    kCommands);
}
