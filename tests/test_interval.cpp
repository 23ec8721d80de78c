// Interval products and directed steps: the worked cases, the rounding
// direction left behind, and an MPFR oracle for every bound.
#include "map/interval.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "tests/mpfr_oracle.h"

namespace {

using vesk::interval;

constexpr double kInf = std::numeric_limits<double>::infinity();

bool Bitwise(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

TEST(IntervalProduct, WorkedCases) {
  interval r = interval{-1.0, 2.0} * interval{-3.0, 4.0};
  EXPECT_EQ(r.lo, -6.0);
  EXPECT_EQ(r.hi, 8.0);

  // The square of a straddling interval is the general product.
  r = interval{-1.0, 1.0} * interval{-1.0, 1.0};
  EXPECT_EQ(r.lo, -1.0);
  EXPECT_EQ(r.hi, 1.0);

  // 0.1 * 0.1 is inexact: the bounds are adjacent doubles around it.
  r = interval{0.1, 0.1} * interval{0.1, 0.1};
  EXPECT_EQ(r.lo, 0.01);
  EXPECT_EQ(r.hi, 0.010000000000000002);
  EXPECT_EQ(r.hi, std::nextafter(r.lo, kInf));

  r = -2.0 * interval{1.0, 3.0};
  EXPECT_EQ(r.lo, -6.0);
  EXPECT_EQ(r.hi, -2.0);
  r = 2.0 * interval{-1.0, 3.0};
  EXPECT_EQ(r.lo, -2.0);
  EXPECT_EQ(r.hi, 6.0);

  // A lower end -0.0 is non-negative; the product keeps the sign of zero.
  r = interval{-0.0, 2.0} * interval{1.0, 3.0};
  EXPECT_TRUE(Bitwise(r.lo, -0.0));
  EXPECT_EQ(r.hi, 6.0);

  // Upper end 0 with a negative lower end is not a zero operand.
  r = interval{-3.0, 0.0} * interval{1.0, 2.0};
  EXPECT_EQ(r.lo, -6.0);
  EXPECT_EQ(r.hi, 0.0);
}

TEST(IntervalProduct, ZeroOperandsGivePositiveZerosWithoutAStep) {
  const interval zeros[] = {{0.0, 0.0}, {-0.0, 0.0}, {-0.0, -0.0}, {0.0, -0.0}};
  const interval others[] = {{-3.0, 4.0}, {1.0, 3.0}, {-3.0, -1.0}, {-kInf, kInf}};
  for (int mode : {FE_UPWARD, FE_DOWNWARD}) {
    for (const interval& z : zeros) {
      for (const interval& o : others) {
        std::fesetround(mode);
        const interval left = z * o;
        const int mode_left = std::fegetround();
        const interval right = o * z;
        const int mode_right = std::fegetround();
        const interval scaled = 0.0 * o;
        const int mode_scaled = std::fegetround();
        const interval negscaled = -0.0 * o;
        const int mode_negscaled = std::fegetround();
        std::fesetround(FE_TONEAREST);
        EXPECT_EQ(mode_left, mode);
        EXPECT_EQ(mode_right, mode);
        EXPECT_EQ(mode_scaled, mode);
        EXPECT_EQ(mode_negscaled, mode);
        for (const interval& r : {left, right, scaled, negscaled}) {
          EXPECT_TRUE(Bitwise(r.lo, 0.0) && Bitwise(r.hi, 0.0))
              << "[" << z.lo << ", " << z.hi << "] x [" << o.lo << ", " << o.hi << "]";
        }
      }
    }
  }
}

// Every operation that performs a directed step ends in round-to-nearest,
// whatever the direction on entry, and its result does not depend on it.
TEST(IntervalProduct, RoundToNearestAfterEveryStep) {
  using Fn = double (*)(double, double);
  const Fn steps[] = {vesk::AddDown, vesk::AddUp, vesk::SubDown,
                      vesk::SubUp,   vesk::MulDown, vesk::MulUp};
  const interval operands[] = {{0.1, 0.3}, {-0.1, 0.7}, {-0.3, -0.1}};
  for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    for (Fn step : steps) {
      const double want = step(0.1, 0.7);
      std::fesetround(mode);
      const double got = step(0.1, 0.7);
      const int after = std::fegetround();
      std::fesetround(FE_TONEAREST);
      EXPECT_EQ(after, FE_TONEAREST);
      EXPECT_TRUE(Bitwise(got, want));
    }
    for (const interval& a : operands) {
      for (const interval& b : operands) {
        const interval want = a * b;
        const interval want_scaled = -0.1 * b;
        std::fesetround(mode);
        const interval got = a * b;
        const int after = std::fegetround();
        std::fesetround(mode);
        const interval got_scaled = -0.1 * b;
        const int after_scaled = std::fegetround();
        std::fesetround(FE_TONEAREST);
        EXPECT_EQ(after, FE_TONEAREST);
        EXPECT_EQ(after_scaled, FE_TONEAREST);
        EXPECT_TRUE(Bitwise(got.lo, want.lo) && Bitwise(got.hi, want.hi));
        EXPECT_TRUE(Bitwise(got_scaled.lo, want_scaled.lo) &&
                    Bitwise(got_scaled.hi, want_scaled.hi));
      }
    }
  }
}

#ifdef VESK_HAVE_MPFR

using oracle::Bounds;
using oracle::DoubleSource;
using oracle::Exact;
using oracle::Op;
using oracle::Real;
using oracle::SameDouble;
using oracle::ToDouble;

TEST(IntervalOracle, DirectedStepsAreCorrectlyRounded) {
  DoubleSource src(0x5eed0001);
  std::vector<std::pair<double, double>> pairs = {
      {0.1, 0.2}, {1.0, -1.0}, {-0.0, 0.0}, {0.0, -0.0}, {-0.0, -0.0},
      {1.7976931348623157e308, 1.7976931348623157e308},
      {-1.7976931348623157e308, 1.7976931348623157e308},
      {4.9406564584124654e-324, 0.5}, {-4.9406564584124654e-324, 0.5},
      {2.2250738585072014e-308, -2.2250738585072009e-308},
      {kInf, 1.0}, {kInf, -kInf}, {0.0, kInf}};
  for (int i = 0; i < 40000; ++i) {
    const double x = src.Signed();
    switch (i % 4) {
      case 0: pairs.push_back({x, -x}); break;  // exact zero sums
      case 1: pairs.push_back({x, std::nextafter(x, kInf)}); break;
      default: pairs.push_back({x, src.Signed()}); break;
    }
  }
  for (const auto& [x, y] : pairs) {
    SCOPED_TRACE(::testing::Message() << std::hexfloat << x << " , " << y);
    EXPECT_TRUE(SameDouble(vesk::AddDown(x, y), oracle::Rounded(Op::kAdd, x, y, MPFR_RNDD)));
    EXPECT_TRUE(SameDouble(vesk::AddUp(x, y), oracle::Rounded(Op::kAdd, x, y, MPFR_RNDU)));
    EXPECT_TRUE(SameDouble(vesk::SubDown(x, y), oracle::Rounded(Op::kSub, x, y, MPFR_RNDD)));
    EXPECT_TRUE(SameDouble(vesk::SubUp(x, y), oracle::Rounded(Op::kSub, x, y, MPFR_RNDU)));
    EXPECT_TRUE(SameDouble(vesk::MulDown(x, y), oracle::MulD(x, y)));
    EXPECT_TRUE(SameDouble(vesk::MulUp(x, y), oracle::MulU(x, y)));
  }
}

// Operand pairs of every sign class, plus zero, point and unbounded
// intervals.
std::vector<Bounds> OperandSample(DoubleSource& src, int per_class, bool with_infinite) {
  std::vector<Bounds> v = {{0.0, 0.0}, {-0.0, 0.0}, {-0.0, 2.0}, {-3.0, 0.0},
                           {-3.0, -0.0}, {0.1, 0.1}, {-1.0, 1.0}, {-0.1, -0.1},
                           {4.9406564584124654e-324, 1.7976931348623157e308},
                           {-1.7976931348623157e308, 4.9406564584124654e-324}};
  if (with_infinite) {
    v.insert(v.end(), {{-kInf, kInf}, {1.0, kInf}, {0.0, kInf}, {-kInf, -1.0},
                       {-kInf, 0.0}, {-2.0, kInf}});
  }
  for (int cls = 0; cls < 3; ++cls) {
    for (int i = 0; i < per_class; ++i) v.push_back(src.Interval(cls));
  }
  return v;
}

TEST(IntervalOracle, ProductBoundsFollowTheTable) {
  DoubleSource src(0x5eed0002);
  const std::vector<Bounds> ops = OperandSample(src, 60, true);
  for (const Bounds& a : ops) {
    for (const Bounds& b : ops) {
      const interval r = interval{a.lo, a.hi} * interval{b.lo, b.hi};
      const Bounds want = oracle::TabledProduct(a.lo, a.hi, b.lo, b.hi);
      SCOPED_TRACE(::testing::Message() << std::hexfloat << "[" << a.lo << ", " << a.hi
                                        << "] x [" << b.lo << ", " << b.hi << "]");
      EXPECT_TRUE(SameDouble(r.lo, want.lo));
      EXPECT_TRUE(SameDouble(r.hi, want.hi));
    }
  }
  for (const Bounds& b : ops) {
    for (int i = 0; i < 8; ++i) {
      const double s = i == 0 ? 0.0 : i == 1 ? -0.0 : src.Signed();
      const interval r = s * interval{b.lo, b.hi};
      const Bounds want = oracle::TabledScalarProduct(s, b.lo, b.hi);
      SCOPED_TRACE(::testing::Message() << std::hexfloat << s << " x [" << b.lo << ", "
                                        << b.hi << "]");
      EXPECT_TRUE(SameDouble(r.lo, want.lo));
      EXPECT_TRUE(SameDouble(r.hi, want.hi));
    }
  }
}

// Independent of the table: for finite operands each bound is the extreme
// corner product rounded outward, and products of points drawn from the
// operands lie inside.
TEST(IntervalOracle, ProductsAreTightEnclosures) {
  DoubleSource src(0x5eed0003);
  const std::vector<Bounds> ops = OperandSample(src, 30, false);
  auto point = [&src](const Bounds& x) {
    // lo + t (hi - lo), t a random multiple of 2^-20 in [0, 1]: exact.
    const Real t(std::ldexp(static_cast<double>(src.rng() % ((1u << 20) + 1)), -20));
    return Exact(Op::kAdd, Real(x.lo),
                 Exact(Op::kMul, t, Exact(Op::kSub, Real(x.hi), Real(x.lo))));
  };
  for (const Bounds& a : ops) {
    for (const Bounds& b : ops) {
      SCOPED_TRACE(::testing::Message() << std::hexfloat << "[" << a.lo << ", " << a.hi
                                        << "] x [" << b.lo << ", " << b.hi << "]");
      const interval r = interval{a.lo, a.hi} * interval{b.lo, b.hi};
      Real lo = Exact(Op::kMul, Real(a.lo), Real(b.lo));
      Real hi = lo;
      for (double x : {a.lo, a.hi}) {
        for (double y : {b.lo, b.hi}) {
          const Real p = Exact(Op::kMul, Real(x), Real(y));
          if (mpfr_less_p(p.v, lo.v)) lo = p;
          if (mpfr_greater_p(p.v, hi.v)) hi = p;
        }
      }
      EXPECT_EQ(r.lo, ToDouble(lo, MPFR_RNDD));
      EXPECT_EQ(r.hi, ToDouble(hi, MPFR_RNDU));
      for (int k = 0; k < 4; ++k) {
        const Real p = Exact(Op::kMul, point(a), point(b));
        EXPECT_GE(mpfr_cmp_d(p.v, r.lo), 0);
        EXPECT_LE(mpfr_cmp_d(p.v, r.hi), 0);
      }
    }
  }
  for (const Bounds& b : ops) {
    for (int i = 0; i < 6; ++i) {
      const double s = src.Signed();
      const interval r = s * interval{b.lo, b.hi};
      const Real e0 = Exact(Op::kMul, Real(s), Real(b.lo));
      const Real e1 = Exact(Op::kMul, Real(s), Real(b.hi));
      const bool order = mpfr_lessequal_p(e0.v, e1.v);
      EXPECT_EQ(r.lo, ToDouble(order ? e0 : e1, MPFR_RNDD));
      EXPECT_EQ(r.hi, ToDouble(order ? e1 : e0, MPFR_RNDU));
      const Real p = Exact(Op::kMul, Real(s), point(b));
      EXPECT_GE(mpfr_cmp_d(p.v, r.lo), 0);
      EXPECT_LE(mpfr_cmp_d(p.v, r.hi), 0);
    }
  }
}

#endif  // VESK_HAVE_MPFR

}  // namespace
