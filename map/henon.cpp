// Image enclosures of box batches under the Henon map and its tangent lift:
// the batch functions (through the block kernel of map/henon_batch.cpp)
// and their stepwise counterparts, one directed step per bound.
//
// A box row holds the centers and then the radii of its coordinates; rows
// are 2d + 2 doubles apart (6 for the plane, 10 for the lifted space) and
// the two trailing entries of a row are never read.
#include "map/henon.h"

#include <cfenv>
#include <cmath>

#include "map/directed.h"
#include "map/henon_batch.h"
#include "map/interval.h"

namespace vesk {

namespace {

// Rounding error of s = a + b formed in round-to-nearest: (a + b) - s,
// exactly (Knuth's two-sum); not a number when s overflowed.
inline double SumError(double a, double b, double s) {
  const double bb = s - a;
  return (a - (s - bb)) + (b - bb);
}

// Coordinate |x - c| <= r of a box as an interval holding the whole box.
// The ends are formed in round-to-nearest, which is exact for the boxes of a
// tree over a dyadic domain; an end that turns out inexact is formed again
// by a directed step, downward for c - r and upward for c + r. The nearest
// evaluation is pinned between volatile accesses so that it cannot drift
// into the rounding window of a neighbouring step.
inline interval Coordinate(double c, double r) {
  volatile double vc = c, vr = r;
  volatile double vlo, vhi, elo, ehi;
  {
    const double cc = vc, rr = vr;
    const double lo = cc - rr, hi = cc + rr;
    vlo = lo;
    vhi = hi;
    elo = SumError(cc, -rr, lo);
    ehi = SumError(cc, rr, hi);
  }
  interval out;
  out.lo = elo == 0.0 ? static_cast<double>(vlo) : directed::SubDown(c, r);
  out.hi = ehi == 0.0 ? static_cast<double>(vhi) : directed::AddUp(c, r);
  return out;
}

// a - x^2 + b y. The square is the general product x * x, so a mixed x
// contributes a negative lower end.
inline interval FirstImage(const interval& x, const interval& y, double aLo,
                           double aHi, const interval& b) {
  const interval s = x * x;
  interval t;
  t.lo = directed::SubDown(aLo, s.hi);
  t.hi = directed::SubUp(aHi, s.lo);
  const interval p = b * y;
  interval out;
  out.lo = directed::AddDown(t.lo, p.lo);
  out.hi = directed::AddUp(t.hi, p.hi);
  return out;
}

}  // namespace

void realhenon(int n, const double* paramLo, const double* paramHi,
               const double* boxes, double* imageLo, double* imageHi) {
  RealHenonWith(HenonKernelChosen(), n, paramLo, paramHi, boxes, imageLo, imageHi);
}

void t_realhenon(int n, const double* paramLo, const double* paramHi,
                 const double* boxes, double* imageLo, double* imageHi) {
  TRealHenonWith(HenonKernelChosen(), n, paramLo, paramHi, boxes, imageLo, imageHi);
}

void RealHenonStepwise(int n, const double* paramLo, const double* paramHi,
                       const double* boxes, double* imageLo, double* imageHi) {
  if (n <= 0) return;
  // Everything outside the directed steps runs in round-to-nearest, also
  // when a caller left another direction in force.
  std::fesetround(FE_TONEAREST);
  const double aLo = paramLo[0], aHi = paramHi[0];
  const interval b{paramLo[1], paramHi[1]};
  for (int i = 0; i < n; ++i) {
    const double* row = boxes + 6 * static_cast<long>(i);
    const interval x = Coordinate(row[0], row[2]);
    const interval y = Coordinate(row[1], row[3]);
    const interval x1 = FirstImage(x, y, aLo, aHi, b);
    double* lo = imageLo + 2 * static_cast<long>(i);
    double* hi = imageHi + 2 * static_cast<long>(i);
    lo[0] = x1.lo;
    lo[1] = x.lo;
    hi[0] = x1.hi;
    hi[1] = x.hi;
  }
}

void TRealHenonStepwise(int n, const double* paramLo, const double* paramHi,
                        const double* boxes, double* imageLo, double* imageHi) {
  if (n <= 0) return;
  // Everything outside the directed steps runs in round-to-nearest, also
  // when a caller left another direction in force.
  std::fesetround(FE_TONEAREST);
  const double aLo = paramLo[0], aHi = paramHi[0];
  const interval b{paramLo[1], paramHi[1]};
  for (int i = 0; i < n; ++i) {
    const double* row = boxes + 10 * static_cast<long>(i);
    const interval x = Coordinate(row[0], row[4]);
    const interval y = Coordinate(row[1], row[5]);
    const interval u = Coordinate(row[2], row[6]);
    const interval v = Coordinate(row[3], row[7]);

    const interval x1 = FirstImage(x, y, aLo, aHi, b);
    // The copied state coordinate y' = x is reduced to the midpoint of x.
    const double mx = directed::Midpoint(x.lo, x.hi);

    // u' = -2x u + b v with the whole interval x in the derivative.
    const interval d = -2.0 * x;
    const interval e = d * u;
    const interval f = b * v;
    interval u1;
    u1.lo = directed::AddDown(e.lo, f.lo);
    u1.hi = directed::AddUp(e.hi, f.hi);
    // The copied tangent coordinate v' = u is reduced to the midpoint of u.
    const double mu = directed::Midpoint(u.lo, u.hi);

    double* lo = imageLo + 4 * static_cast<long>(i);
    double* hi = imageHi + 4 * static_cast<long>(i);
    lo[0] = x1.lo;
    lo[1] = mx;
    lo[2] = u1.lo;
    lo[3] = mu;
    hi[0] = x1.hi;
    hi[1] = mx;
    hi[2] = u1.hi;
    hi[3] = mu;
  }
}

double HenonOrbitRadius(const double* paramLo, const double* paramHi, double step) {
  for (int i = 0; i < 2; ++i)
    if (std::isnan(paramLo[i]) || std::isnan(paramHi[i])) return HUGE_VAL;
  const double amax = std::fmax(std::fabs(paramLo[0]), std::fabs(paramHi[0]));
  const double bmax = std::fmax(std::fabs(paramLo[1]), std::fabs(paramHi[1]));
  // R bounds the square when p(R) = R^2 - s R - |a| >= 0 with s = 1 + |b|,
  // and R >= s / 2 (p grows from there on, past its one positive root).
  const double sUp = AddUp(1.0, bmax);
  const double sq = std::sqrt(sUp * sUp + 4.0 * amax);
  double steps = std::ceil((sUp + sq) * 0.5 / step);
  if (!(steps >= 1.0)) steps = 1.0;
  // The first guess is computed in round-to-nearest and is usually right;
  // a few steps up make up for its rounding errors. R = k * step is exact.
  for (int attempt = 0; attempt < 64 && steps < 0x1p53; ++attempt) {
    const double R = steps * step;
    const double r2 = MulDown(R, R);
    const double sR = MulUp(sUp, R);
    const double p = SubDown(SubDown(r2, sR), amax);
    const double half = MulUp(sUp, 0.5);
    if (p >= 0.0 && R >= half) return R;
    steps += std::fmax(1.0, std::ceil(steps * 0x1p-40));
  }
  return HUGE_VAL;  // parameters too large for a square of this kind
}

}  // namespace vesk
