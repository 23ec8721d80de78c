// Rigorous image enclosures of boxes under the Henon map
// H(x, y) = (a - x^2 + b y, x) and its tangent lift
// T(x, y, u, v) = (a - x^2 + b y, x, -2x u + b v, u).
#pragma once

namespace vesk {

// n boxes of a 2-dimensional box matrix (stride 6) -> 2 bounds per box.
void realhenon(int n, const double* paramLo, const double* paramHi,
               const double* boxes, double* imageLo, double* imageHi);
// n boxes of a 4-dimensional box matrix (stride 10) -> 4 bounds per box.
void t_realhenon(int n, const double* paramLo, const double* paramHi,
                 const double* boxes, double* imageLo, double* imageHi);

}  // namespace vesk
