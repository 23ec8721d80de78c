// Interval products with outward rounding, one directed step per bound.
#include "map/interval.h"

#include "map/directed.h"

namespace vesk {

double AddDown(double x, double y) { return directed::AddDown(x, y); }
double AddUp(double x, double y) { return directed::AddUp(x, y); }
double SubDown(double x, double y) { return directed::SubDown(x, y); }
double SubUp(double x, double y) { return directed::SubUp(x, y); }
double MulDown(double x, double y) { return directed::MulDown(x, y); }
double MulUp(double x, double y) { return directed::MulUp(x, y); }

namespace {

// Sign class of an interval, decided by its ends alone: lo >= 0 is
// non-negative (lo == -0.0 included), otherwise hi <= 0 is non-positive,
// otherwise the interval straddles zero.
enum Sign { kNonNeg = 0, kMixed = 1, kNonPos = 2 };

inline Sign Classify(const interval& x) {
  if (x.lo >= 0.0) return kNonNeg;
  if (x.hi <= 0.0) return kNonPos;
  return kMixed;
}

// [x * y rounded down, z * w rounded up], the lower bound first.
inline interval Bounds(double x, double y, double z, double w) {
  interval out;
  out.lo = directed::MulDown(x, y);
  out.hi = directed::MulUp(z, w);
  return out;
}

}  // namespace

interval operator*(const interval& a, const interval& b) {
  const double a0 = a.lo, a1 = a.hi, b0 = b.lo, b1 = b.hi;
  const Sign sa = Classify(a);
  const Sign sb = Classify(b);
  // A zero operand gives an exact [+0, +0] without any directed step.
  if (sa == kNonNeg && a1 == 0.0) return interval{0.0, 0.0};
  if (sb == kNonNeg && b1 == 0.0) return interval{0.0, 0.0};

  switch (sa) {
    case kNonNeg:
      switch (sb) {
        case kNonNeg: return Bounds(a0, b0, a1, b1);
        case kMixed: return Bounds(a1, b0, a1, b1);
        case kNonPos: return Bounds(a1, b0, a0, b1);
      }
      break;
    case kNonPos:
      switch (sb) {
        case kNonNeg: return Bounds(a0, b1, a1, b0);
        case kMixed: return Bounds(a0, b1, a0, b0);
        case kNonPos: return Bounds(a1, b1, a0, b0);
      }
      break;
    case kMixed:
      switch (sb) {
        case kNonNeg: return Bounds(a0, b1, a1, b1);
        case kNonPos: return Bounds(a1, b0, a0, b0);
        case kMixed: {
          // Both straddle zero: the lower bound is the smaller of the two
          // negative candidates, the upper the larger of the two positive.
          const double p = directed::MulDown(a0, b1);
          const double q = directed::MulDown(a1, b0);
          const double r = directed::MulUp(a0, b0);
          const double s = directed::MulUp(a1, b1);
          interval out;
          out.lo = q < p ? q : p;
          out.hi = s > r ? s : r;
          return out;
        }
      }
      break;
  }
  return interval{0.0, 0.0};  // not reached: every class pair is handled
}

interval operator*(const double& s, const interval& b) {
  if (s > 0.0) return Bounds(s, b.lo, s, b.hi);
  if (s < 0.0) return Bounds(s, b.hi, s, b.lo);
  return interval{0.0, 0.0};
}

}  // namespace vesk
