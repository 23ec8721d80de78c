// The host entry of the verification: r = henon_hyperbolic(tree, paramLo,
// paramHi, option).
//
// The gateway decodes the host's arguments, checks them against what the
// verification reads, and hands the lifted tree to VerifyHyperbolic; the
// loop's console lines go to the host console through mexPrintf. Every
// malformed call ends in a host error before any tree is touched.
#include <cstdint>
#include <cstring>

#include "gateway/driver.h"
#include "mex.h"
#include "octave/mex_handle.h"

namespace {

constexpr const char* kUsage =
    "usage: r = henon_hyperbolic(tree, [aLo bLo], [aHi bHi], option)";

void ConsolePrint(void*, const char* text) {
  mexPrintf("%s", text);
  // Show each finished line at once: a loop may run for a long time.
  const size_t len = std::strlen(text);
  if (len > 0 && text[len - 1] == '\n') mexEvalString("fflush (stdout);");
}

// The data of a parameter array: real, dense, double, at least two entries.
double* ParameterBounds(const mxArray* arg, const char* what) {
  if (!mxIsDouble(arg) || mxIsComplex(arg) || mxIsSparse(arg) ||
      mxGetNumberOfElements(arg) < 2)
    mexErrMsgIdAndTxt("vesk:badParameters",
                      "%s must be a real double array of at least two entries (a, then b).",
                      what);
  return mxGetPr(arg);
}

}  // namespace

extern "C" void mexfilerequiredapiversion(unsigned int* builtByRelease,
                                          unsigned int* targetApiVersion) {
  *builtByRelease = 0x2019B;
  *targetApiVersion = 0x7300000;
}

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  (void)nlhs;
  char option[10];
  std::memset(option, 0, sizeof option);
  if (nrhs < 4) mexErrMsgIdAndTxt("vesk:nargin", "expected four arguments; %s.", kUsage);

  // The tree: a null slot address is the empty tree; any other address
  // must be a live slot of the registry before it is followed.
  const uint64_t address = vesk::MexHandleAddress(prhs[0], "the first argument");
  if (address == 0) mexErrMsgTxt("Tree: tree is empty.");
  vesk::Tree* lifted = vesk::MexLiveTreeAt(address, "the first argument");

  const int dim = lifted->domain->dim;
  if (dim != 4)
    mexErrMsgIdAndTxt("vesk:badDimension",
                      "the lifted tree must have dimension 4 (x, y, u, v); this one has %d.",
                      dim);
  const int height = vesk::TreeDepth(lifted->root);
  const int limit = vesk::VerifyHeightLimit(lifted);
  if (height > limit)
    mexErrMsgIdAndTxt("vesk:tooDeep",
                      "the lifted tree has height %d; the verification handles at most %d.",
                      height, limit);

  const double* paramLo = ParameterBounds(prhs[1], "the lower parameter ends");
  const double* paramHi = ParameterBounds(prhs[2], "the upper parameter ends");

  // Anything the host cannot copy leaves the buffer zeroed: loop mode.
  mxGetString(prhs[3], option, sizeof option);

  plhs[0] = mxCreateDoubleMatrix(1, 1, mxREAL);
  double* result = mxGetPr(plhs[0]);
  *result = 0.0;

  vesk::VerifyOptions options{};
  options.once = std::memcmp(option, "once", 5) == 0;
  options.maxDepth = -1;
  options.firstPass = 1;
  vesk::VerifyHooks hooks{};
  hooks.print = ConsolePrint;
  const vesk::VerifyOutcome outcome =
      vesk::VerifyHyperbolic(lifted, paramLo, paramHi, &options, &hooks, result);
  if (outcome == vesk::kVerifyRefused)
    mexErrMsgIdAndTxt("vesk:refused", "the verification refused the lifted tree.");
}
