// One IEEE double operation under a directed rounding mode, private to the
// map library.
//
// The rounding direction is thread state the optimiser does not track: an
// operation on values held in registers may be folded at compile time,
// hoisted above a mode switch or sunk below it. Here the operands are read
// from volatile storage after the switch and the result is written to
// volatile storage before the switch back, so the operation cannot leave the
// window. SSE2 evaluates doubles in their own format (no wider
// intermediate), which the assertion below pins down.
#pragma once

#include <cfenv>
#include <cfloat>
#include <limits>

#if defined(__clang__)
#pragma STDC FENV_ACCESS ON
#endif

static_assert(std::numeric_limits<double>::is_iec559,
              "interval bounds need IEEE 754 binary64 doubles");
static_assert(FLT_EVAL_METHOD == 0,
              "double operations must be evaluated in double format "
              "(x86-64: SSE2, not the x87 unit)");

namespace vesk {
namespace directed {

enum class Op { kAdd, kSub, kMul };

// Sets `mode`, computes x op y, returns to round-to-nearest.
template <Op op>
inline double Step(int mode, double x, double y) {
  volatile double vx = x;
  volatile double vy = y;
  volatile double vr;
  std::fesetround(mode);
  if constexpr (op == Op::kAdd) {
    vr = vx + vy;
  } else if constexpr (op == Op::kSub) {
    vr = vx - vy;
  } else {
    vr = vx * vy;
  }
  std::fesetround(FE_TONEAREST);
  return vr;
}

inline double AddDown(double x, double y) { return Step<Op::kAdd>(FE_DOWNWARD, x, y); }
inline double AddUp(double x, double y) { return Step<Op::kAdd>(FE_UPWARD, x, y); }
inline double SubDown(double x, double y) { return Step<Op::kSub>(FE_DOWNWARD, x, y); }
inline double SubUp(double x, double y) { return Step<Op::kSub>(FE_UPWARD, x, y); }
inline double MulDown(double x, double y) { return Step<Op::kMul>(FE_DOWNWARD, x, y); }
inline double MulUp(double x, double y) { return Step<Op::kMul>(FE_UPWARD, x, y); }

// (lo + hi) * 0.5 in round-to-nearest, pinned like a directed step so that
// it is evaluated where it stands and not inside a neighbouring window.
inline double Midpoint(double lo, double hi) {
  volatile double vlo = lo;
  volatile double vhi = hi;
  volatile double vm = (vlo + vhi) * 0.5;
  return vm;
}

}  // namespace directed
}  // namespace vesk
