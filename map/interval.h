// Closed intervals of doubles with outward-rounded products.
//
// Every bound is one IEEE double operation performed strictly between a
// switch to downward (lower bound) or upward (upper bound) rounding and the
// switch back to round-to-nearest.
#pragma once

namespace vesk {

struct interval {
  double lo = 0.0;
  double hi = 0.0;
};

interval operator*(const interval& a, const interval& b);
interval operator*(const double& s, const interval& b);

// Directed single operations: set the rounding direction, operate, return
// to round-to-nearest.
double AddDown(double x, double y);
double AddUp(double x, double y);
double SubDown(double x, double y);
double SubUp(double x, double y);
double MulDown(double x, double y);
double MulUp(double x, double y);

}  // namespace vesk
