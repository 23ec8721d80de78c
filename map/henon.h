// Rigorous image enclosures of boxes under the Henon map
// H(x, y) = (a - x^2 + b y, x) and its tangent lift
// T(x, y, u, v) = (a - x^2 + b y, x, -2x u + b v, u).
//
// Parameters: a = [paramLo[0], paramHi[0]], b = [paramLo[1], paramHi[1]].
// Box i of a box matrix of dimension d is the row at (2d + 2) i: d centers,
// d radii, two entries that are not read. Its coordinate k is taken as the
// interval [c_k - r_k, c_k + r_k], with each end rounded outward when it is
// not a double. The image of box i fills entries d i .. d i + d - 1 of
// imageLo and imageHi. n <= 0 reads and writes nothing. The rounding
// direction is round-to-nearest on return, whatever it was on entry.
//
// realhenon and t_realhenon map blocks of boxes with one switch of the
// rounding mode per block (map/henon_batch.h); RealHenonStepwise and
// TRealHenonStepwise compute every bound by its own directed step
// (map/interval.h), and give the same doubles, bit for bit.
#pragma once

namespace vesk {

// n boxes of a 2-dimensional box matrix (stride 6) -> 2 bounds per box:
// the enclosure of a - x^2 + b y, then the interval of x itself.
void realhenon(int n, const double* paramLo, const double* paramHi,
               const double* boxes, double* imageLo, double* imageHi);
// n boxes of a 4-dimensional box matrix (stride 10) -> 4 bounds per box:
// the enclosure of a - x^2 + b y, the midpoint of x (both bounds), the
// enclosure of -2x u + b v, the midpoint of u (both bounds).
void t_realhenon(int n, const double* paramLo, const double* paramHi,
                 const double* boxes, double* imageLo, double* imageHi);

void RealHenonStepwise(int n, const double* paramLo, const double* paramHi,
                       const double* boxes, double* imageLo, double* imageHi);
void TRealHenonStepwise(int n, const double* paramLo, const double* paramHi,
                        const double* boxes, double* imageLo, double* imageHi);

// The smallest multiple of step (a power of two) that bounds the square
// |x|, |y| <= R holding every bounded orbit of H for all a in
// [paramLo[0], paramHi[0]] and b in [paramLo[1], paramHi[1]]:
// R = (1 + |b| + sqrt((1 + |b|)^2 + 4|a|)) / 2 with |a| and |b| at their
// largest. The bound is checked with directed arithmetic, so rounding can
// only make it larger. HUGE_VAL when no such square of doubles exists or a
// parameter is not a number. A step of 1/16 keeps the bounds of the boxes of
// [-R, R] exact doubles through some 45 bisections.
double HenonOrbitRadius(const double* paramLo, const double* paramHi, double step);

}  // namespace vesk
