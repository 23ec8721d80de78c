// Henon map enclosures: the worked boxes, the batch layout, and MPFR
// checks that the image boxes hold the exact images of sampled points.
#include "map/henon.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "map/henon_batch.h"
#include "tests/mpfr_oracle.h"

namespace {

using vesk::realhenon;
using vesk::t_realhenon;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool Bitwise(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

TEST(Henon, WorkedBoxes) {
  const double lo[2] = {1.4, 0.3}, hi[2] = {1.4, 0.3};
  // The trailing entries of a row are not read: poison them.
  const double plane[6] = {0.0, 0.0, 1.0, 1.0, kNaN, kNaN};
  double imlo[2], imhi[2];
  std::fesetround(FE_UPWARD);
  realhenon(1, lo, hi, plane, imlo, imhi);
  EXPECT_EQ(std::fegetround(), FE_TONEAREST);
  std::fesetround(FE_TONEAREST);
  // The lower end near 0.1 (not 1.1) comes from [-1, 1] * [-1, 1] = [-1, 1].
  EXPECT_EQ(imlo[0], 0.09999999999999992);
  EXPECT_EQ(imlo[1], -1.0);
  EXPECT_EQ(imhi[0], 2.7);
  EXPECT_EQ(imhi[1], 1.0);

  const double lifted[10] = {0.0, 0.0, 1.0, 0.0, 1.0, 1.0, 0.0, 0.0, kNaN, kNaN};
  double tlo[4], thi[4];
  std::fesetround(FE_UPWARD);
  t_realhenon(1, lo, hi, lifted, tlo, thi);
  EXPECT_EQ(std::fegetround(), FE_TONEAREST);
  std::fesetround(FE_TONEAREST);
  const double want_lo[4] = {0.09999999999999992, 0.0, -2.0, 1.0};
  const double want_hi[4] = {2.7, 0.0, 2.0, 1.0};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(tlo[k], want_lo[k]) << "coordinate " << k;
    EXPECT_EQ(thi[k], want_hi[k]) << "coordinate " << k;
  }
}

TEST(Henon, EmptyBatchTouchesNothing) {
  double imlo[4] = {7, 7, 7, 7}, imhi[4] = {7, 7, 7, 7};
  for (int n : {0, -1, -1000}) {
    realhenon(n, nullptr, nullptr, nullptr, imlo, imhi);
    t_realhenon(n, nullptr, nullptr, nullptr, imlo, imhi);
  }
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(imlo[k], 7.0);
    EXPECT_EQ(imhi[k], 7.0);
  }
}

// A point box with point parameters: the bounds stay apart wherever an
// operation is inexact.
TEST(Henon, PointBoxesKeepInexactBoundsApart) {
  const double p[2] = {1.4, 0.3};
  const double plane[6] = {0.1, 0.2, 0.0, 0.0, 0.0, 0.0};
  double imlo[2], imhi[2];
  realhenon(1, p, p, plane, imlo, imhi);
  EXPECT_LT(imlo[0], imhi[0]);
  EXPECT_EQ(imlo[1], 0.1);  // c - 0 and c + 0 are exact
  EXPECT_EQ(imhi[1], 0.1);
  const double lifted[10] = {0.1, 0.2, 0.3, 0.7, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double tlo[4], thi[4];
  t_realhenon(1, p, p, lifted, tlo, thi);
  EXPECT_TRUE(Bitwise(tlo[0], imlo[0]) && Bitwise(thi[0], imhi[0]));
  EXPECT_LT(tlo[2], thi[2]);
  EXPECT_EQ(tlo[1], 0.1);
  EXPECT_EQ(tlo[3], 0.3);
}

// Doubles of every kind for the comparison of the two kernels: signed
// zeros, subnormals, values whose squares and products overflow or
// underflow, full-mantissa values and tree-leaf values with exact ends.
struct AnyDouble {
  std::mt19937_64 rng;
  explicit AnyDouble(uint64_t seed) : rng(seed) {}
  double Magnitude() {
    static const double kSpecial[] = {0.0, 4.9406564584124654e-324, 2.2250738585072014e-308,
                                      1.7976931348623157e308, 1.3407807929942596e154,
                                      1.4916681462400413e-154, 1.0, 0.5, 2.0, 0.1, 0.3};
    const double mant = 1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52);
    switch (rng() % 6) {
      case 0: return kSpecial[rng() % (sizeof kSpecial / sizeof kSpecial[0])];
      case 1: return std::ldexp(mant, static_cast<int>(rng() % 2098) - 1074);  // any
      case 2: return std::ldexp(mant, static_cast<int>(rng() % 16) + 500);     // x^2 huge
      case 3: return std::ldexp(static_cast<double>(rng() % 64), -static_cast<int>(rng() % 8));
      default: return std::ldexp(mant, static_cast<int>(rng() % 13) - 8);  // moderate
    }
  }
  double Signed() {
    const double m = Magnitude();
    return rng() % 2 ? -m : m;
  }
};

// b of each sign class: zero (either sign), non-negative, non-positive,
// straddling zero.
void ParameterB(AnyDouble& g, int cls, double* lo, double* hi) {
  double x = g.Magnitude(), y = g.Magnitude();
  if (x > y) std::swap(x, y);
  switch (cls) {
    case 0: *lo = g.rng() % 2 ? -0.0 : 0.0; *hi = g.rng() % 2 ? -0.0 : 0.0; break;
    case 1: *lo = x; *hi = y == 0.0 ? 0.5 : y; break;
    case 2: *lo = -y; *hi = -x; if (*lo == 0.0) *lo = -0.5; break;
    default: *lo = -x == 0.0 ? -0.25 : -x; *hi = y == 0.0 ? 0.75 : y; break;
  }
}

// The block kernels give the stepwise bounds bit for bit (both NaN counts
// as equal), with each kernel this processor has, for random boxes and
// parameters of every sign, entered in upward rounding and left in
// round-to-nearest. Boxes are numbered so that every lane of a vector and
// the ragged end of a block are met.
TEST(Henon, BlockKernelsMatchStepwiseBitForBit) {
  AnyDouble g(0x5eed0103);
  int kernels = 0;
  for (int k = vesk::kHenonKernelBaseline; k <= vesk::kHenonKernelAvx2; ++k) {
    const auto kernel = static_cast<vesk::HenonKernel>(k);
    if (!vesk::HenonKernelAvailable(kernel)) continue;
    ++kernels;
    long compared = 0;
    for (int round = 0; round < 64; ++round) {
      double lo[2], hi[2];
      lo[0] = g.Signed();
      hi[0] = lo[0] + (round % 2 ? 0.0 : g.Magnitude());
      if (!(hi[0] >= lo[0])) hi[0] = lo[0];
      ParameterB(g, round % 4, &lo[1], &hi[1]);
      const int n = 300 + round;  // blocks of 256 and a ragged end
      for (int d : {2, 4}) {
        std::vector<double> boxes(static_cast<size_t>(n) * (2 * d + 2), kNaN);
        for (int i = 0; i < n; ++i) {
          double* row = &boxes[static_cast<size_t>(i) * (2 * d + 2)];
          for (int j = 0; j < d; ++j) {
            row[j] = g.Signed();
            row[d + j] = g.rng() % 4 == 0 ? row[j] : g.Magnitude();  // c = r: end at 0
            if (g.rng() % 8 == 0) row[d + j] = -row[d + j];
          }
        }
        std::vector<double> wantLo(static_cast<size_t>(n) * d), wantHi(wantLo.size());
        std::vector<double> gotLo(wantLo.size()), gotHi(wantLo.size());
        if (d == 2) {
          vesk::RealHenonStepwise(n, lo, hi, boxes.data(), wantLo.data(), wantHi.data());
          std::fesetround(FE_UPWARD);
          vesk::RealHenonWith(kernel, n, lo, hi, boxes.data(), gotLo.data(), gotHi.data());
        } else {
          vesk::TRealHenonStepwise(n, lo, hi, boxes.data(), wantLo.data(), wantHi.data());
          std::fesetround(FE_UPWARD);
          vesk::TRealHenonWith(kernel, n, lo, hi, boxes.data(), gotLo.data(), gotHi.data());
        }
        EXPECT_EQ(std::fegetround(), FE_TONEAREST);
        std::fesetround(FE_TONEAREST);
        for (size_t i = 0; i < wantLo.size(); ++i) {
          const bool same = (Bitwise(gotLo[i], wantLo[i]) ||
                             (std::isnan(gotLo[i]) && std::isnan(wantLo[i]))) &&
                            (Bitwise(gotHi[i], wantHi[i]) ||
                             (std::isnan(gotHi[i]) && std::isnan(wantHi[i])));
          if (!same) {
            const double* row = &boxes[(i / d) * (2 * d + 2)];
            ADD_FAILURE() << "kernel " << k << " d=" << d << " box " << i / d << " coordinate "
                          << i % d << std::hexfloat << ": got [" << gotLo[i] << ", "
                          << gotHi[i] << "], want [" << wantLo[i] << ", " << wantHi[i]
                          << "]; a=[" << lo[0] << ", " << hi[0] << "] b=[" << lo[1] << ", "
                          << hi[1] << "] c0=" << row[0] << " r0=" << row[d];
            return;
          }
          ++compared;
        }
      }
    }
    EXPECT_GT(compared, 100000);
  }
  EXPECT_GE(kernels, 1);
}

#ifdef VESK_HAVE_MPFR

using oracle::Bounds;
using oracle::Exact;
using oracle::Op;
using oracle::Real;
using oracle::Rounded;

// The enclosures evaluated step by step with every bound rounded by MPFR.
// A box end is c - r or c + r in round-to-nearest when that is exact (a
// zero end is then +0), else rounded outward.
Bounds RefCoordinate(double c, double r) {
  auto end = [c, r](Op op, mpfr_rnd_t outward) {
    const double down = Rounded(op, c, r, MPFR_RNDD), up = Rounded(op, c, r, MPFR_RNDU);
    return down == up ? Rounded(op, c, r, MPFR_RNDN) : outward == MPFR_RNDD ? down : up;
  };
  return {end(Op::kSub, MPFR_RNDD), end(Op::kAdd, MPFR_RNDU)};
}
Bounds RefFirst(const Bounds& x, const Bounds& y, const double* lo, const double* hi) {
  const Bounds s = oracle::TabledProduct(x.lo, x.hi, x.lo, x.hi);
  const Bounds t = {Rounded(Op::kSub, lo[0], s.hi, MPFR_RNDD),
                    Rounded(Op::kSub, hi[0], s.lo, MPFR_RNDU)};
  const Bounds p = oracle::TabledProduct(lo[1], hi[1], y.lo, y.hi);
  return {Rounded(Op::kAdd, t.lo, p.lo, MPFR_RNDD), Rounded(Op::kAdd, t.hi, p.hi, MPFR_RNDU)};
}
double RefMidpoint(const Bounds& x) {
  return Rounded(Op::kMul, Rounded(Op::kAdd, x.lo, x.hi, MPFR_RNDN), 0.5, MPFR_RNDN);
}

struct Batch {
  double lo[2], hi[2];  // parameters (a, b)
  std::vector<double> boxes;
};

// Random parameters and boxes of dimension d (row stride 2d + 2). About a
// third of the boxes are tree leaves with exact ends c - r and c + r; the
// others have full-mantissa centers and radii, so that their ends are mostly
// not doubles. A few boxes are points, a few are huge enough to overflow x^2.
Batch RandomBatch(std::mt19937_64& rng, int d, int n, bool huge) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  auto param = [&](double mid, double spread, double* lo, double* hi) {
    const double x = mid + spread * unit(rng);
    const double w = rng() % 4 == 0 ? 0.0 : std::ldexp(std::fabs(unit(rng)), -int(rng() % 30));
    *lo = x - w;
    *hi = x + w;
  };
  Batch b;
  param(1.2, 0.8, &b.lo[0], &b.hi[0]);
  param(0.0, 0.5, &b.lo[1], &b.hi[1]);
  b.boxes.assign(static_cast<size_t>(n) * (2 * d + 2), kNaN);
  for (int i = 0; i < n; ++i) {
    double* row = &b.boxes[static_cast<size_t>(i) * (2 * d + 2)];
    const int kind = static_cast<int>(rng() % 16);
    for (int k = 0; k < d; ++k) {
      row[k] = kind == 0 ? 0.0 : 3.0 * unit(rng);
      row[d + k] = kind == 1 ? 0.0 : std::ldexp(std::fabs(unit(rng)), -int(rng() % 30));
      if (kind >= 3 && kind < 8) {  // a leaf of a dyadic tree: exact ends
        row[d + k] = std::ldexp(1.0, -int(rng() % 12));
        row[k] = (2.0 * static_cast<double>(rng() % 64) - 63.0) * row[d + k];
      }
      if (huge && kind == 2) {
        row[k] *= 0x1p520;
        row[d + k] *= 0x1p490;
      }
    }
  }
  return b;
}

// Each output bound equals the bound evaluated with MPFR in the same order
// of steps; the copied coordinates are the specified midpoints. Entering in
// upward rounding changes nothing and leaves round-to-nearest behind.
TEST(HenonOracle, BoundsMatchStepwiseReference) {
  std::mt19937_64 rng(0x5eed0101);
  for (int round = 0; round < 20; ++round) {
    const int n = 100;
    const Batch p2 = RandomBatch(rng, 2, n, true);
    std::vector<double> lo(2 * n), hi(2 * n), lo_up(2 * n), hi_up(2 * n);
    realhenon(n, p2.lo, p2.hi, p2.boxes.data(), lo.data(), hi.data());
    std::fesetround(FE_UPWARD);
    realhenon(n, p2.lo, p2.hi, p2.boxes.data(), lo_up.data(), hi_up.data());
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
    std::fesetround(FE_TONEAREST);
    for (int i = 0; i < n; ++i) {
      const double* row = &p2.boxes[6 * i];
      const Bounds x = RefCoordinate(row[0], row[2]);
      const Bounds y = RefCoordinate(row[1], row[3]);
      const Bounds x1 = RefFirst(x, y, p2.lo, p2.hi);
      SCOPED_TRACE(::testing::Message() << "plane box " << i << std::hexfloat << " c=("
                                        << row[0] << ", " << row[1] << ") r=(" << row[2]
                                        << ", " << row[3] << ")");
      EXPECT_TRUE(oracle::SameDouble(lo[2 * i], x1.lo));
      EXPECT_TRUE(oracle::SameDouble(hi[2 * i], x1.hi));
      EXPECT_TRUE(oracle::SameDouble(lo[2 * i + 1], x.lo));
      EXPECT_TRUE(oracle::SameDouble(hi[2 * i + 1], x.hi));
    }
    EXPECT_EQ(0, std::memcmp(lo.data(), lo_up.data(), lo.size() * sizeof(double)));
    EXPECT_EQ(0, std::memcmp(hi.data(), hi_up.data(), hi.size() * sizeof(double)));

    const Batch p4 = RandomBatch(rng, 4, n, true);
    std::vector<double> tlo(4 * n), thi(4 * n), tlo_up(4 * n), thi_up(4 * n);
    t_realhenon(n, p4.lo, p4.hi, p4.boxes.data(), tlo.data(), thi.data());
    std::fesetround(FE_UPWARD);
    t_realhenon(n, p4.lo, p4.hi, p4.boxes.data(), tlo_up.data(), thi_up.data());
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
    std::fesetround(FE_TONEAREST);
    for (int i = 0; i < n; ++i) {
      const double* row = &p4.boxes[10 * i];
      Bounds c[4];
      for (int k = 0; k < 4; ++k) c[k] = RefCoordinate(row[k], row[4 + k]);
      const Bounds x1 = RefFirst(c[0], c[1], p4.lo, p4.hi);
      const Bounds dx = oracle::TabledScalarProduct(-2.0, c[0].lo, c[0].hi);
      const Bounds e = oracle::TabledProduct(dx.lo, dx.hi, c[2].lo, c[2].hi);
      const Bounds f = oracle::TabledProduct(p4.lo[1], p4.hi[1], c[3].lo, c[3].hi);
      const double want_lo[4] = {x1.lo, RefMidpoint(c[0]),
                                 Rounded(Op::kAdd, e.lo, f.lo, MPFR_RNDD), RefMidpoint(c[2])};
      const double want_hi[4] = {x1.hi, RefMidpoint(c[0]),
                                 Rounded(Op::kAdd, e.hi, f.hi, MPFR_RNDU), RefMidpoint(c[2])};
      SCOPED_TRACE(::testing::Message() << "lifted box " << i);
      for (int k = 0; k < 4; ++k) {
        EXPECT_TRUE(oracle::SameDouble(tlo[4 * i + k], want_lo[k])) << "coordinate " << k;
        EXPECT_TRUE(oracle::SameDouble(thi[4 * i + k], want_hi[k])) << "coordinate " << k;
      }
    }
    EXPECT_EQ(0, std::memcmp(tlo.data(), tlo_up.data(), tlo.size() * sizeof(double)));
    EXPECT_EQ(0, std::memcmp(thi.data(), thi_up.data(), thi.size() * sizeof(double)));
  }
}

// c + t r for t a multiple of 2^-20 in [-1, 1]; t = -1 and 1 give corners.
Real PointIn(double c, double r, double t) {
  return Exact(Op::kAdd, Real(c), Exact(Op::kMul, Real(t), Real(r)));
}
double RandomT(std::mt19937_64& rng) {
  return std::ldexp(static_cast<double>(rng() % ((2u << 20) + 1)), -20) - 1.0;
}
bool Inside(const Real& v, double lo, double hi) {
  return mpfr_cmp_d(v.v, lo) >= 0 && mpfr_cmp_d(v.v, hi) <= 0;
}

// a - x^2 + b y, exactly.
Real ExactFirst(const Real& a, const Real& b, const Real& x, const Real& y) {
  return Exact(Op::kAdd, Exact(Op::kSub, a, Exact(Op::kMul, x, x)), Exact(Op::kMul, b, y));
}

// The corners c +- r of a box, taken exactly, lie inside the image of the
// copied coordinate, also when c - r and c + r round inward to nearest.
TEST(HenonOracle, BoxEndsAreRoundedOutward) {
  const double p[2] = {1.4, 0.3};
  const double plane[6] = {0.7, 0.1, 0.1, 0.7, 0.0, 0.0};
  // Precondition of the case: both ends of x round inward to nearest.
  ASSERT_LT(mpfr_cmp_d(PointIn(0.7, 0.1, -1.0).v, 0.7 - 0.1), 0);
  ASSERT_GT(mpfr_cmp_d(PointIn(0.7, 0.1, 1.0).v, 0.7 + 0.1), 0);
  double imlo[2], imhi[2];
  realhenon(1, p, p, plane, imlo, imhi);
  const Real lo_corner = PointIn(0.7, 0.1, -1.0), hi_corner = PointIn(0.7, 0.1, 1.0);
  EXPECT_TRUE(Inside(lo_corner, imlo[1], imhi[1]));
  EXPECT_TRUE(Inside(hi_corner, imlo[1], imhi[1]));
  for (double tx : {-1.0, 1.0}) {
    for (double ty : {-1.0, 1.0}) {
      const Real img = ExactFirst(Real(1.4), Real(0.3), PointIn(0.7, 0.1, tx), PointIn(0.1, 0.7, ty));
      EXPECT_TRUE(Inside(img, imlo[0], imhi[0])) << tx << " " << ty;
    }
  }
}

// Exact images of corners and random points of the boxes, under parameters
// drawn from the parameter intervals, lie inside the enclosed coordinates.
TEST(HenonOracle, ImagesOfSampledPointsAreEnclosed) {
  std::mt19937_64 rng(0x5eed0102);
  auto param = [&rng](const Batch& b, int k, int pick) {
    if (pick == 0) return Real(b.lo[k]);
    if (pick == 1) return Real(b.hi[k]);
    const Real t(std::ldexp(static_cast<double>(rng() % ((1u << 20) + 1)), -20));
    return Exact(Op::kAdd, Real(b.lo[k]),
                 Exact(Op::kMul, t, Exact(Op::kSub, Real(b.hi[k]), Real(b.lo[k]))));
  };
  for (int round = 0; round < 10; ++round) {
    const int n = 60;
    const Batch p2 = RandomBatch(rng, 2, n, true);
    std::vector<double> lo(2 * n), hi(2 * n);
    realhenon(n, p2.lo, p2.hi, p2.boxes.data(), lo.data(), hi.data());
    for (int i = 0; i < n; ++i) {
      const double* row = &p2.boxes[6 * i];
      for (int s = 0; s < 8; ++s) {
        // Samples 0-3 are the corners, under the parameter ends.
        const double tx = s < 4 ? (s & 1 ? 1.0 : -1.0) : RandomT(rng);
        const double ty = s < 4 ? (s & 2 ? 1.0 : -1.0) : RandomT(rng);
        const Real x = PointIn(row[0], row[2], tx), y = PointIn(row[1], row[3], ty);
        const Real img = ExactFirst(param(p2, 0, s % 3), param(p2, 1, (s + 1) % 3), x, y);
        EXPECT_TRUE(Inside(img, lo[2 * i], hi[2 * i])) << "plane box " << i << " sample " << s;
        EXPECT_TRUE(Inside(x, lo[2 * i + 1], hi[2 * i + 1])) << "plane box " << i;
      }
    }

    const Batch p4 = RandomBatch(rng, 4, n, true);
    std::vector<double> tlo(4 * n), thi(4 * n);
    t_realhenon(n, p4.lo, p4.hi, p4.boxes.data(), tlo.data(), thi.data());
    for (int i = 0; i < n; ++i) {
      const double* row = &p4.boxes[10 * i];
      for (int s = 0; s < 20; ++s) {
        Real pt[4];
        for (int k = 0; k < 4; ++k) {
          // Samples 0-15 are the 16 corners.
          const double t = s < 16 ? ((s >> k) & 1 ? 1.0 : -1.0) : RandomT(rng);
          pt[k] = PointIn(row[k], row[4 + k], t);
        }
        const Real a = param(p4, 0, s % 3), b = param(p4, 1, (s / 3) % 3);
        const Real img_x = ExactFirst(a, b, pt[0], pt[1]);
        // -2 x u + b v
        const Real img_u = Exact(Op::kAdd, Exact(Op::kMul, Exact(Op::kMul, Real(-2.0), pt[0]), pt[2]),
                                 Exact(Op::kMul, b, pt[3]));
        EXPECT_TRUE(Inside(img_x, tlo[4 * i], thi[4 * i])) << "lifted box " << i << " sample " << s;
        EXPECT_TRUE(Inside(img_u, tlo[4 * i + 2], thi[4 * i + 2]))
            << "lifted box " << i << " sample " << s;
      }
    }
  }
}

#endif  // VESK_HAVE_MPFR

}  // namespace
