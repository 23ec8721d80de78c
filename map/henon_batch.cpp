// Henon map images of boxes in columns, four boxes per vector, one switch
// of the rounding mode per block.
//
// An interval is held as (n, h) with n = -lo: every bound is then an
// upward-rounded operation, and the table of the interval product picks
// the same operands as the stepwise product does, lane by lane. Whatever is
// computed between the switch to upward rounding and the switch back is
// inside the kernel functions, called through a pointer, so that the
// compiler cannot move an operation across a switch.
#include "map/henon_batch.h"

#include <cfenv>
#include <cstdint>
#include <cstring>

// The vector helpers below are always inlined: no vector crosses a call,
// so the note about the calling convention of 256-bit vectors without AVX
// does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace vesk {

namespace {

typedef double V __attribute__((vector_size(32)));
typedef int64_t M __attribute__((vector_size(32)));

#define VESK_KERNEL_INLINE inline __attribute__((always_inline))

VESK_KERNEL_INLINE V Load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
VESK_KERNEL_INLINE void Store(double* p, V v) { std::memcpy(p, &v, sizeof v); }
VESK_KERNEL_INLINE V Splat(double x) { return V{x, x, x, x}; }
// mask ? a : b, lane by lane (mask lanes all ones or all zeros).
VESK_KERNEL_INLINE V Select(M mask, V a, V b) {
  return (V)((mask & (M)a) | (~mask & (M)b));
}

// Sign classes of intervals (n, h), decided as the stepwise product
// decides them from lo = -n and hi = h: lo >= 0 non-negative (lo = -0.0
// included), else hi <= 0 non-positive, else mixed.
struct Classes {
  M nonNeg, nonPos, mixed;
};
VESK_KERNEL_INLINE Classes Classify(V n, V h) {
  const V zero = Splat(0.0);
  Classes c;
  c.nonNeg = n <= zero;
  c.nonPos = ~c.nonNeg & (h <= zero);
  c.mixed = ~c.nonNeg & ~c.nonPos;
  return c;
}

// [+0, +0] where zero is set.
VESK_KERNEL_INLINE void ZeroWhere(M zero, V* n, V* h) {
  *n = Select(zero, Splat(-0.0), *n);
  *h = Select(zero, Splat(0.0), *h);
}

// Box coordinate [c - r, c + r]: an end that c -+ r gives exactly is taken
// as it is (as round-to-nearest gives it), the others rounded outward.
// Upward, c + r is that upper end either way; c - r rounded upward equals
// the negated upward r - c exactly when c - r is a double.
VESK_KERNEL_INLINE void Coordinate(V c, V r, V* n, V* h) {
  const V s = c - r, t = r - c;
  *h = c + r;
  *n = Select(s == -t, -s, t);
}

// X * X as the general product: the classes of both operands coincide.
VESK_KERNEL_INLINE void Square(V n, V h, V* sn, V* sh) {
  const Classes k = Classify(n, h);
  // Lower bound: a0 a0, a1 a1 or a0 a1 (both candidates of the mixed case
  // are the same product).
  const V x = Select(k.nonPos, -h, n);
  const V y = Select(k.nonNeg, -n, h);
  const V low = x * y;
  // Upper bound: a1 a1, a0 a0, or the larger of the two.
  const V r = n * n, s = h * h;
  const V larger = Select(s > r, s, r);
  *sn = low;
  *sh = Select(k.nonNeg, s, Select(k.nonPos, r, larger));
  ZeroWhere(k.nonNeg & (h == Splat(0.0)), sn, sh);
}

// A * B, the general product.
VESK_KERNEL_INLINE void Product(V an, V ah, V bn, V bh, V* on, V* oh) {
  const Classes a = Classify(an, ah);
  const Classes b = Classify(bn, bh);
  const M bothMixed = a.mixed & b.mixed;
  // Ends of the lower-bound product p (1: upper end) and of the upper-bound
  // product r; for two mixed operands q and s are the second candidates.
  const M pa = (a.nonNeg & ~b.nonNeg) | (~a.nonNeg & b.nonPos);
  const M pb = ~a.nonNeg & (a.nonPos | ~b.nonPos);
  const M ra = (a.nonNeg & ~b.nonPos) | (a.nonPos & b.nonNeg) | (a.mixed & b.nonNeg);
  const M rb = a.nonNeg | (a.mixed & b.nonNeg);
  const V a0 = -an, b0 = -bn;
  // Negated lower bound: -(x y) = (-x) y.
  const V np = Select(pa, -ah, an) * Select(pb, bh, b0);
  const V nq = Select(bothMixed, (-ah) * b0, np);
  const V r = Select(ra, ah, a0) * Select(rb, bh, b0);
  const V s = Select(bothMixed, ah * bh, r);
  *on = Select(nq > np, nq, np);
  *oh = Select(s > r, s, r);
  ZeroWhere((a.nonNeg & (ah == Splat(0.0))) | (b.nonNeg & (bh == Splat(0.0))), on, oh);
}

// Sign class of the parameter b, the same for a whole batch.
enum BClass { kBZero = 0, kBNonNeg = 1, kBNonPos = 2, kBMixed = 3 };

BClass ClassOfB(double b0, double b1) {
  if (b0 >= 0.0) return b1 == 0.0 ? kBZero : kBNonNeg;
  if (b1 <= 0.0) return kBNonPos;
  return kBMixed;
}

// b * Y with b = [b0, b1] of class kB (b the first operand).
template <int kB>
VESK_KERNEL_INLINE void ProductB(V b0, V b1, V yn, V yh, V* on, V* oh) {
  if constexpr (kB == kBZero) {
    (void)b0, (void)b1, (void)yn, (void)yh;
    *on = Splat(-0.0);
    *oh = Splat(0.0);
    return;
  } else {
    const Classes y = Classify(yn, yh);
    if constexpr (kB == kBNonNeg) {
      *on = Select(y.nonNeg, b0, b1) * yn;
      *oh = Select(y.nonPos, b0, b1) * yh;
    } else if constexpr (kB == kBNonPos) {
      *on = Select(y.nonPos, -b1, -b0) * yh;
      *oh = Select(y.nonNeg, -b1, -b0) * yn;
    } else {
      const V p = (-b0) * yh, q = b1 * yn;
      const V r = (-b0) * yn, s = b1 * yh;
      *on = Select(y.nonNeg, p, Select(y.nonPos, q, Select(q > p, q, p)));
      *oh = Select(y.nonNeg, s, Select(y.nonPos, r, Select(s > r, s, r)));
    }
    ZeroWhere(y.nonNeg & (yh == Splat(0.0)), on, oh);
  }
}

struct Params {
  double aLo, aHi, b0, b1;
};

// a - x^2 + b y, from the coordinates x and y.
template <int kB>
VESK_KERNEL_INLINE void FirstImage(const Params& p, V xn, V xh, V yn, V yh, V* on, V* oh) {
  V sn, sh, pn, ph;
  Square(xn, xh, &sn, &sh);
  // T = a - S: lower aLo - S.hi, upper aHi - S.lo.
  const V tn = sh - Splat(p.aLo);
  const V th = Splat(p.aHi) + sn;
  ProductB<kB>(Splat(p.b0), Splat(p.b1), yn, yh, &pn, &ph);
  *on = tn + pn;
  *oh = th + ph;
}

// The upward parts: n a multiple of the lanes.
template <int kB>
VESK_KERNEL_INLINE void PlaneBody(size_t n, const Params& p, const double* const* c,
                                  const double* const* r, double* const* lo,
                                  double* const* hi) {
  for (size_t i = 0; i < n; i += kHenonLanes) {
    V xn, xh, yn, yh, on, oh;
    Coordinate(Load(c[0] + i), Load(r[0] + i), &xn, &xh);
    Coordinate(Load(c[1] + i), Load(r[1] + i), &yn, &yh);
    FirstImage<kB>(p, xn, xh, yn, yh, &on, &oh);
    Store(lo[0] + i, -on);
    Store(hi[0] + i, oh);
    Store(lo[1] + i, -xn);
    Store(hi[1] + i, xh);
  }
}

// Lifted boxes: lo[1], hi[1] and lo[3], hi[3] receive x and u, whose
// midpoints are taken afterwards in round-to-nearest.
template <int kB>
VESK_KERNEL_INLINE void LiftedBody(size_t n, const Params& p, const double* const* c,
                                   const double* const* r, double* const* lo,
                                   double* const* hi) {
  for (size_t i = 0; i < n; i += kHenonLanes) {
    V xn, xh, yn, yh, un, uh, vn, vh;
    Coordinate(Load(c[0] + i), Load(r[0] + i), &xn, &xh);
    Coordinate(Load(c[1] + i), Load(r[1] + i), &yn, &yh);
    Coordinate(Load(c[2] + i), Load(r[2] + i), &un, &uh);
    Coordinate(Load(c[3] + i), Load(r[3] + i), &vn, &vh);
    V on, oh;
    FirstImage<kB>(p, xn, xh, yn, yh, &on, &oh);
    // D = (-2) x: lower (-2) x.hi, upper (-2) x.lo.
    const V two = Splat(2.0);
    const V dn = two * xh, dh = two * xn;
    V en, eh, fn, fh;
    Product(dn, dh, un, uh, &en, &eh);
    ProductB<kB>(Splat(p.b0), Splat(p.b1), vn, vh, &fn, &fh);
    Store(lo[0] + i, -on);
    Store(hi[0] + i, oh);
    Store(lo[1] + i, -xn);
    Store(hi[1] + i, xh);
    Store(lo[2] + i, -(en + fn));
    Store(hi[2] + i, eh + fh);
    Store(lo[3] + i, -un);
    Store(hi[3] + i, uh);
  }
}

using Body = void (*)(size_t, const Params&, const double* const*, const double* const*,
                      double* const*, double* const*);

template <int kB>
void PlaneBaseline(size_t n, const Params& p, const double* const* c, const double* const* r,
                   double* const* lo, double* const* hi) {
  PlaneBody<kB>(n, p, c, r, lo, hi);
}
template <int kB>
void LiftedBaseline(size_t n, const Params& p, const double* const* c, const double* const* r,
                    double* const* lo, double* const* hi) {
  LiftedBody<kB>(n, p, c, r, lo, hi);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VESK_HAVE_AVX2_KERNEL 1
template <int kB>
__attribute__((target("avx2"))) void PlaneAvx2(size_t n, const Params& p,
                                               const double* const* c, const double* const* r,
                                               double* const* lo, double* const* hi) {
  PlaneBody<kB>(n, p, c, r, lo, hi);
}
template <int kB>
__attribute__((target("avx2"))) void LiftedAvx2(size_t n, const Params& p,
                                                const double* const* c, const double* const* r,
                                                double* const* lo, double* const* hi) {
  LiftedBody<kB>(n, p, c, r, lo, hi);
}
#endif

// [kernel][b class]
const Body kPlane[2][4] = {
    {PlaneBaseline<0>, PlaneBaseline<1>, PlaneBaseline<2>, PlaneBaseline<3>},
#ifdef VESK_HAVE_AVX2_KERNEL
    {PlaneAvx2<0>, PlaneAvx2<1>, PlaneAvx2<2>, PlaneAvx2<3>},
#else
    {PlaneBaseline<0>, PlaneBaseline<1>, PlaneBaseline<2>, PlaneBaseline<3>},
#endif
};
const Body kLifted[2][4] = {
    {LiftedBaseline<0>, LiftedBaseline<1>, LiftedBaseline<2>, LiftedBaseline<3>},
#ifdef VESK_HAVE_AVX2_KERNEL
    {LiftedAvx2<0>, LiftedAvx2<1>, LiftedAvx2<2>, LiftedAvx2<3>},
#else
    {LiftedBaseline<0>, LiftedBaseline<1>, LiftedBaseline<2>, LiftedBaseline<3>},
#endif
};

HenonKernel ChooseKernel() {
#ifdef VESK_HAVE_AVX2_KERNEL
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return kHenonKernelAvx2;
#endif
  return kHenonKernelBaseline;
}

const HenonKernel gChosen = ChooseKernel();

// The copied coordinates of the lift: (lo + hi) * 0.5 in round-to-nearest,
// written to both bounds.
__attribute__((noinline)) void Midpoints(size_t n, double* lo, double* hi) {
  for (size_t i = 0; i < n; ++i) {
    const double m = (lo[i] + hi[i]) * 0.5;
    lo[i] = m;
    hi[i] = m;
  }
}

void RunUpward(Body body, size_t n, const Params& p, const double* const* c,
               const double* const* r, double* const* lo, double* const* hi) {
  std::fesetround(FE_UPWARD);
  body(HenonColumnsPadded(n), p, c, r, lo, hi);
  std::fesetround(FE_TONEAREST);
}

Params ParamsOf(const double* paramLo, const double* paramHi) {
  return Params{paramLo[0], paramHi[0], paramLo[1], paramHi[1]};
}

// Boxes per block of the row functions.
constexpr size_t kBlock = 256;

}  // namespace

int HenonKernelAvailable(HenonKernel kernel) {
  if (kernel == kHenonKernelBaseline) return 1;
#ifdef VESK_HAVE_AVX2_KERNEL
  if (kernel == kHenonKernelAvx2) return __builtin_cpu_supports("avx2") ? 1 : 0;
#endif
  return 0;
}

HenonKernel HenonKernelChosen() { return gChosen; }

void THenonColumnsWith(HenonKernel kernel, size_t n, const double* paramLo,
                       const double* paramHi, const double* const c[4], const double* const r[4],
                       double* const lo[4], double* const hi[4]) {
  if (n == 0) return;
  std::fesetround(FE_TONEAREST);
  const Params p = ParamsOf(paramLo, paramHi);
  RunUpward(kLifted[kernel][ClassOfB(p.b0, p.b1)], n, p, c, r, lo, hi);
  Midpoints(n, lo[1], hi[1]);
  Midpoints(n, lo[3], hi[3]);
}

void HenonColumnsWith(HenonKernel kernel, size_t n, const double* paramLo,
                      const double* paramHi, const double* const c[2], const double* const r[2],
                      double* const lo[2], double* const hi[2]) {
  if (n == 0) return;
  std::fesetround(FE_TONEAREST);
  const Params p = ParamsOf(paramLo, paramHi);
  RunUpward(kPlane[kernel][ClassOfB(p.b0, p.b1)], n, p, c, r, lo, hi);
}

void THenonColumns(size_t n, const double* paramLo, const double* paramHi,
                   const double* const c[4], const double* const r[4], double* const lo[4],
                   double* const hi[4]) {
  THenonColumnsWith(gChosen, n, paramLo, paramHi, c, r, lo, hi);
}

void HenonColumns(size_t n, const double* paramLo, const double* paramHi,
                  const double* const c[2], const double* const r[2], double* const lo[2],
                  double* const hi[2]) {
  HenonColumnsWith(gChosen, n, paramLo, paramHi, c, r, lo, hi);
}

namespace {

// Rows of dimension d (stride 2d + 2) in, image rows (d per box) out, a
// block at a time through columns.
template <int d>
void ByBlocks(HenonKernel kernel, int n, const double* paramLo, const double* paramHi,
              const double* boxes, double* imageLo, double* imageHi) {
  if (n <= 0) return;
  std::fesetround(FE_TONEAREST);
  alignas(32) double in[2 * d][kBlock];
  alignas(32) double out[2 * d][kBlock];
  const double* c[d];
  const double* r[d];
  double* lo[d];
  double* hi[d];
  for (int k = 0; k < d; ++k) {
    c[k] = in[k];
    r[k] = in[d + k];
    lo[k] = out[k];
    hi[k] = out[d + k];
  }
  const size_t stride = 2 * d + 2;
  const Params p = ParamsOf(paramLo, paramHi);
  const BClass bc = ClassOfB(p.b0, p.b1);
  const Body body = d == 2 ? kPlane[kernel][bc] : kLifted[kernel][bc];
  for (size_t first = 0; first < static_cast<size_t>(n); first += kBlock) {
    const size_t m = static_cast<size_t>(n) - first < kBlock ? static_cast<size_t>(n) - first
                                                             : kBlock;
    const double* row = boxes + first * stride;
    for (size_t i = 0; i < m; ++i)
      for (int k = 0; k < 2 * d; ++k) in[k][i] = row[i * stride + k];
    for (size_t i = m; i < HenonColumnsPadded(m); ++i)
      for (int k = 0; k < 2 * d; ++k) in[k][i] = 0.0;
    RunUpward(body, m, p, c, r, lo, hi);
    if (d == 4) {
      Midpoints(m, lo[1], hi[1]);
      Midpoints(m, lo[3], hi[3]);
    }
    double* ol = imageLo + first * d;
    double* oh = imageHi + first * d;
    for (size_t i = 0; i < m; ++i)
      for (int k = 0; k < d; ++k) {
        ol[i * d + k] = lo[k][i];
        oh[i * d + k] = hi[k][i];
      }
  }
}

}  // namespace

void RealHenonWith(HenonKernel kernel, int n, const double* paramLo, const double* paramHi,
                   const double* boxes, double* imageLo, double* imageHi) {
  ByBlocks<2>(kernel, n, paramLo, paramHi, boxes, imageLo, imageHi);
}

void TRealHenonWith(HenonKernel kernel, int n, const double* paramLo, const double* paramHi,
                    const double* boxes, double* imageLo, double* imageHi) {
  ByBlocks<4>(kernel, n, paramLo, paramHi, boxes, imageLo, imageHi);
}

}  // namespace vesk
