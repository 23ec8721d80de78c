// Image enclosures of blocks of boxes under the Henon map and its tangent
// lift, with the boxes and their images held in columns (one array per
// coordinate) so that whole vectors of boxes are mapped at once.
//
// The bounds are bit for bit those of the stepwise evaluation
// (RealHenonStepwise, TRealHenonStepwise in map/henon.h), but the rounding
// mode is switched once per block instead of twice per bound: every bound
// is computed rounded upward, a lower bound as the negation of the upward
// bound of the negated operation (round-down(x op y) = -round-up((-x) op y)
// for a product, and likewise with both operands negated for a sum), which
// is the same double, signed zeros included. The midpoints of the tangent
// lift are formed afterwards in round-to-nearest. The functions start and
// end in round-to-nearest, whatever direction the caller left in force.
#pragma once

#include <cstddef>

namespace vesk {

// The instruction sets the kernel is compiled for; the widest one the
// processor supports is chosen at run time.
enum HenonKernel {
  kHenonKernelBaseline = 0,  // the build's baseline (SSE2 on x86-64)
  kHenonKernelAvx2 = 1,      // 256-bit vectors, x86-64 with AVX2 only
};

// 1 when kernel can run on this processor.
int HenonKernelAvailable(HenonKernel kernel);
// The kernel the functions below use.
HenonKernel HenonKernelChosen();

// Columns are padded: room for HenonColumnsPadded(n) entries, the entries
// past n of the inputs set to finite values (their images are computed and
// not used).
constexpr size_t kHenonLanes = 4;
inline size_t HenonColumnsPadded(size_t n) {
  return (n + kHenonLanes - 1) / kHenonLanes * kHenonLanes;
}

// Tangent lift of n boxes: center c[k][i] and radius r[k][i] of coordinate
// k = 0..3 of box i; lo[k][i] and hi[k][i] receive the image bounds as
// t_realhenon writes them (x', the midpoint of x, u', the midpoint of u).
void THenonColumns(size_t n, const double* paramLo, const double* paramHi,
                   const double* const c[4], const double* const r[4], double* const lo[4],
                   double* const hi[4]);
// Henon map of n boxes, coordinates k = 0, 1; lo[k][i] and hi[k][i] as
// realhenon writes them (x', then x itself).
void HenonColumns(size_t n, const double* paramLo, const double* paramHi,
                  const double* const c[2], const double* const r[2], double* const lo[2],
                  double* const hi[2]);

// The same with a chosen kernel (for the tests; the kernel must be
// available).
void THenonColumnsWith(HenonKernel kernel, size_t n, const double* paramLo,
                       const double* paramHi, const double* const c[4], const double* const r[4],
                       double* const lo[4], double* const hi[4]);
void HenonColumnsWith(HenonKernel kernel, size_t n, const double* paramLo,
                      const double* paramHi, const double* const c[2], const double* const r[2],
                      double* const lo[2], double* const hi[2]);

// realhenon and t_realhenon (box matrix rows in, image rows out) with a
// chosen kernel.
void RealHenonWith(HenonKernel kernel, int n, const double* paramLo, const double* paramHi,
                   const double* boxes, double* imageLo, double* imageHi);
void TRealHenonWith(HenonKernel kernel, int n, const double* paramLo, const double* paramHi,
                    const double* boxes, double* imageLo, double* imageHi);

}  // namespace vesk
