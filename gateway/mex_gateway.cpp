// The host entry of the verification: r = henon_hyperbolic(tree, paramLo,
// paramHi, option [, maxDepth [, maxMemory]]).
//
// The gateway decodes the host's arguments, has VerifyCheckInput decide
// whether they can be verified soundly, and hands the lifted tree to
// VerifyHyperbolic; the loop's console lines go to the host console through
// mexPrintf. Every malformed or unverifiable call ends in a host error
// before any tree is touched.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "gateway/driver.h"
#include "mex.h"
#include "octave/mex_handle.h"

namespace {

constexpr const char* kUsage =
    "usage: r = henon_hyperbolic(tree, [aLo bLo], [aHi bHi], option [, maxDepth [, maxMemory]])";

// The host error identifier for each reason an input is refused.
const char* RefusalId(vesk::VerifyInputStatus status) {
  switch (status) {
    case vesk::kInputParameters: return "vesk:badParameters";
    case vesk::kInputDimension: return "vesk:badDimension";
    case vesk::kInputDomain: return "vesk:badDomain";
    case vesk::kInputGrid: return "vesk:badGrid";
    case vesk::kInputTangent: return "vesk:badTangentDomain";
    case vesk::kInputStateSquare: return "vesk:badStateDomain";
    case vesk::kInputTooTall: return "vesk:tooDeep";
    case vesk::kInputUneven: return "vesk:unevenTree";
    case vesk::kInputSplits: return "vesk:badSplits";
    case vesk::kInputInexact: return "vesk:inexact";
    case vesk::kInputNoTree:
    case vesk::kInputOk: break;
  }
  return "vesk:refused";
}

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

// MATLAB's mex links a definition of its own (VESK_MEX_HOST_API_VERSION,
// set by octave/vesk_build.m there).
#if !defined(VESK_MEX_HOST_API_VERSION)
extern "C" void mexfilerequiredapiversion(unsigned int* builtByRelease,
                                          unsigned int* targetApiVersion) {
  *builtByRelease = 0x2019B;
  *targetApiVersion = 0x7300000;
}
#endif

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

  const double* paramLo = ParameterBounds(prhs[1], "the lower parameter ends");
  const double* paramHi = ParameterBounds(prhs[2], "the upper parameter ends");

  // Anything the host cannot copy leaves the buffer zeroed: loop mode.
  mxGetString(prhs[3], option, sizeof option);

  const bool once = std::memcmp(option, "once", 5) == 0;

  // Loop mode's depth bound: none unless a fifth argument gives one ([]
  // gives none either).
  int maxDepth = -1;
  const int height = vesk::TreeDepth(lifted->root);
  if (!once && nrhs > 4 && !mxIsEmpty(prhs[4])) {
    const mxArray* arg = prhs[4];
    const double value = mxIsNumeric(arg) && !mxIsComplex(arg) && !mxIsSparse(arg) &&
                                 mxGetNumberOfElements(arg) == 1
                             ? mxGetScalar(arg)
                             : -1.0;
    const int limit = vesk::VerifyHeightLimit(lifted);
    if (!(value >= 0.0 && value <= limit && value == std::floor(value)))
      mexErrMsgIdAndTxt("vesk:badDepth",
                        "the depth bound (fifth argument) must be a whole number from 0 to %d.",
                        limit);
    maxDepth = static_cast<int>(value);
    if (maxDepth < height)
      mexErrMsgIdAndTxt("vesk:badDepth",
                        "the depth bound %d is below the height %d of the tree: give at least "
                        "%d.",
                        maxDepth, height, height);
  }

  char why[1024];
  const vesk::VerifyInputStatus status =
      vesk::VerifyCheckInput(lifted, paramLo, paramHi, once ? height : maxDepth, why, sizeof why);
  if (status != vesk::kInputOk) mexErrMsgIdAndTxt(RefusalId(status), "%s.", why);

  // The memory the call may use on top of what the session holds now: what
  // the system allows unless a sixth argument gives a number of bytes ([]
  // gives none either).
  double maxMemory = 0.0;
  if (nrhs > 5 && !mxIsEmpty(prhs[5])) {
    const mxArray* arg = prhs[5];
    maxMemory = mxIsNumeric(arg) && !mxIsComplex(arg) && !mxIsSparse(arg) &&
                        mxGetNumberOfElements(arg) == 1
                    ? mxGetScalar(arg)
                    : -1.0;
    if (!(maxMemory >= 1.0 && maxMemory <= 0x1p62))
      mexErrMsgIdAndTxt("vesk:badMemory",
                        "the memory budget (sixth argument) must be a positive number of "
                        "bytes, such as 4e9.");
  }

  plhs[0] = mxCreateDoubleMatrix(1, 1, mxREAL);
  double* result = mxGetPr(plhs[0]);
  *result = 0.0;

  vesk::VerifyOptions options{};
  options.once = once;
  options.maxDepth = maxDepth;
  options.firstPass = 1;
  options.maxMemory =
      maxMemory > 0.0 ? static_cast<int64_t>(maxMemory) + vesk::VerifyResidentBytes() : 0;
  vesk::VerifyHooks hooks{};
  hooks.print = ConsolePrint;
  vesk::VerifyOutcome outcome = vesk::kVerifyNotProven;
  bool outOfMemory = false;
  try {
    outcome = vesk::VerifyHyperbolic(lifted, paramLo, paramHi, &options, &hooks, result);
  } catch (const std::bad_alloc&) {
    // A failed allocation (the host's own errors pass through untouched): the tree is consistent (no box is linked before
    // it is complete) and stays the caller's; the session goes on.
    outOfMemory = true;
  }
  if (outOfMemory)
    mexErrMsgIdAndTxt("vesk:outOfMemory",
                      "out of memory during the verification; the tree is still usable (it "
                      "holds the boxes of the last step that completed). Give a memory budget "
                      "(sixth argument) below what the session may use, so that the loop stops "
                      "before a pass that does not fit.");
  if (outcome == vesk::kVerifyMemory && once)
    mexWarnMsgIdAndTxt("vesk:memory",
                       "henon_hyperbolic: nothing tested: the analyses of %d leaves would need "
                       "more memory than is available.",
                       vesk::TreeCountDepth(lifted, -1));
  if (outcome == vesk::kVerifyRefused)
    mexErrMsgIdAndTxt("vesk:refused", "the verification refused the lifted tree.");
}
