// Closed intervals of doubles with outward-rounded products.
//
// Every bound is one IEEE double operation performed strictly between a
// switch to downward (lower bound) or upward (upper bound) rounding and the
// switch back to round-to-nearest. The rounding direction is
// round-to-nearest after every operation that performed such a step,
// whatever it was on entry; the zero cases of the products perform no step
// and leave it alone.
#pragma once

namespace vesk {

struct interval {
  double lo = 0.0;
  double hi = 0.0;
};

// Enclosure of { x*y : x in a, y in b }. An operand [0, 0] (either sign of
// zero) gives [+0, +0] without touching the rounding direction.
interval operator*(const interval& a, const interval& b);
// Enclosure of { s*y : y in b }; s == 0 gives [+0, +0] without a step.
interval operator*(const double& s, const interval& b);

// Directed single operations: set the rounding direction, operate, return
// to round-to-nearest. Interval sums and differences are built from these,
// the lower bound first:
//   A + B = [AddDown(A.lo, B.lo), AddUp(A.hi, B.hi)]
//   A - B = [SubDown(A.lo, B.hi), SubUp(A.hi, B.lo)]
double AddDown(double x, double y);
double AddUp(double x, double y);
double SubDown(double x, double y);
double SubUp(double x, double y);
double MulDown(double x, double y);
double MulUp(double x, double y);

}  // namespace vesk
