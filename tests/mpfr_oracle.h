// Test oracle for directed double arithmetic: exact values in MPFR, rounded
// to IEEE binary64 (53 bits, subnormals, overflow) in a chosen direction.
#pragma once

#ifdef VESK_HAVE_MPFR

#include <gtest/gtest.h>
#include <mpfr.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

namespace oracle {

// Enough bits for exact sums and products of doubles, of points drawn
// between two doubles (up to 2^2100 apart), and for the short polynomials
// of the map tests on moderate inputs.
constexpr mpfr_prec_t kExactBits = 4600;

// An exact real (within kExactBits); the constructor from a double is exact.
struct Real {
  mpfr_t v;
  Real() { mpfr_init2(v, kExactBits); mpfr_set_zero(v, 1); }
  explicit Real(double d) { mpfr_init2(v, kExactBits); mpfr_set_d(v, d, MPFR_RNDN); }
  Real(const Real& o) { mpfr_init2(v, kExactBits); mpfr_set(v, o.v, MPFR_RNDN); }
  Real& operator=(const Real& o) { mpfr_set(v, o.v, MPFR_RNDN); return *this; }
  ~Real() { mpfr_clear(v); }
};

enum class Op { kAdd, kSub, kMul };

// x op y computed exactly; `rnd` only decides the sign of an exact zero sum,
// as IEEE arithmetic does in the corresponding mode.
inline Real Exact(Op op, const Real& x, const Real& y, mpfr_rnd_t rnd = MPFR_RNDN) {
  Real r;
  int t = 0;
  switch (op) {
    case Op::kAdd: t = mpfr_add(r.v, x.v, y.v, rnd); break;
    case Op::kSub: t = mpfr_sub(r.v, x.v, y.v, rnd); break;
    case Op::kMul: t = mpfr_mul(r.v, x.v, y.v, rnd); break;
  }
  EXPECT_EQ(t, 0) << "oracle lost exactness: raise kExactBits";
  return r;
}

// The double nearest to x in direction rnd, with IEEE binary64 subnormals,
// underflow and overflow.
inline double ToDouble(const Real& x, mpfr_rnd_t rnd) {
  mpfr_t d;
  mpfr_init2(d, 53);
  int t = mpfr_set(d, x.v, rnd);
  const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
  mpfr_set_emin(-1073);  // 2^-1074 = 0.1b * 2^-1073, the least subnormal
  mpfr_set_emax(1024);   // DBL_MAX = 0.11...1b * 2^1024
  t = mpfr_check_range(d, t, rnd);
  mpfr_subnormalize(d, t, rnd);
  const double out = mpfr_get_d(d, MPFR_RNDN);  // exact by now
  mpfr_set_emin(emin);
  mpfr_set_emax(emax);
  mpfr_clear(d);
  return out;
}

// x op y rounded once to a double in direction rnd.
inline double Rounded(Op op, double x, double y, mpfr_rnd_t rnd) {
  return ToDouble(Exact(op, Real(x), Real(y), rnd), rnd);
}
inline double MulD(double x, double y) { return Rounded(Op::kMul, x, y, MPFR_RNDD); }
inline double MulU(double x, double y) { return Rounded(Op::kMul, x, y, MPFR_RNDU); }

struct Bounds {
  double lo;
  double hi;
};

// Interval product with the operand selection of the product table,
// every bound rounded by MPFR.
inline Bounds TabledProduct(double a0, double a1, double b0, double b1) {
  enum { kNonNeg = 0, kMixed = 1, kNonPos = 2 };
  auto cls = [](double lo, double hi) {
    return lo >= 0.0 ? kNonNeg : (hi <= 0.0 ? kNonPos : kMixed);
  };
  const int ca = cls(a0, a1), cb = cls(b0, b1);
  if (ca == kNonNeg && a1 == 0.0) return {0.0, 0.0};
  if (cb == kNonNeg && b1 == 0.0) return {0.0, 0.0};
  if (ca == kMixed && cb == kMixed) {
    const double p = MulD(a0, b1), q = MulD(a1, b0);
    const double r = MulU(a0, b0), s = MulU(a1, b1);
    return {q < p ? q : p, s > r ? s : r};
  }
  // {end of A, end of B} for the lower bound, then for the upper bound;
  // 0 = lower end, 1 = upper end. Rows: A non-negative, mixed, non-positive;
  // columns: B non-negative, mixed, non-positive.
  static const int kEnds[3][3][4] = {
      {{0, 0, 1, 1}, {1, 0, 1, 1}, {1, 0, 0, 1}},
      {{0, 1, 1, 1}, {0, 0, 0, 0}, {1, 0, 0, 0}},
      {{0, 1, 1, 0}, {0, 1, 0, 0}, {1, 1, 0, 0}},
  };
  const int* e = kEnds[ca][cb];
  const double a[2] = {a0, a1}, b[2] = {b0, b1};
  return {MulD(a[e[0]], b[e[1]]), MulU(a[e[2]], b[e[3]])};
}

inline Bounds TabledScalarProduct(double s, double b0, double b1) {
  if (s > 0.0) return {MulD(s, b0), MulU(s, b1)};
  if (s < 0.0) return {MulD(s, b1), MulU(s, b0)};
  return {0.0, 0.0};
}

// Same double, bit for bit (signed zeros told apart), or both NaN.
inline ::testing::AssertionResult SameDouble(double got, double want) {
  if (std::isnan(got) && std::isnan(want)) return ::testing::AssertionSuccess();
  if (std::memcmp(&got, &want, sizeof got) == 0) return ::testing::AssertionSuccess();
  char buf[96];
  std::snprintf(buf, sizeof buf, "got %a, want %a", got, want);
  return ::testing::AssertionFailure() << buf;
}

// Doubles spread over the whole binary64 range: signed zeros, subnormals,
// values near the overflow threshold, ordinary values with full mantissas.
struct DoubleSource {
  std::mt19937_64 rng;
  explicit DoubleSource(uint64_t seed) : rng(seed) {}

  uint64_t Bits(int n) { return rng() >> (64 - n); }

  // A non-negative double; sign chosen by the caller.
  double Magnitude() {
    static const double kSpecial[] = {
        0.0, 4.9406564584124654e-324, 2.2250738585072009e-308,
        2.2250738585072014e-308, 1.7976931348623157e308, 8.98846567431158e307,
        1.0, 0.1, 3.0, 1.4916681462400413e-154, 1.3407807929942596e154};
    const uint64_t mant = Bits(52);
    switch (Bits(3)) {
      case 0: return kSpecial[rng() % (sizeof kSpecial / sizeof kSpecial[0])];
      case 1: {  // subnormal
        const uint64_t bits = mant == 0 ? 1 : mant;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
      case 2: case 3: {  // any normal exponent
        const uint64_t bits = ((1 + rng() % 2046) << 52) | mant;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
      case 4: {  // near overflow or underflow of a product or a sum
        const int e = rng() % 2 ? 1023 - static_cast<int>(rng() % 8)
                                : -1022 + static_cast<int>(rng() % 60);
        return std::ldexp(1.0 + std::ldexp(static_cast<double>(mant), -52), e);
      }
      default: {  // moderate
        const int e = static_cast<int>(rng() % 41) - 20;
        return std::ldexp(1.0 + std::ldexp(static_cast<double>(mant), -52), e);
      }
    }
  }
  double Signed() {
    const double m = Magnitude();
    return Bits(1) ? -m : m;
  }
  // A finite interval of the given class: 0 non-negative, 1 mixed,
  // 2 non-positive. Zero ends come with either sign.
  Bounds Interval(int cls) {
    double x = Magnitude(), y = Magnitude();
    if (x > y) std::swap(x, y);
    auto zero_sign = [this](double v) { return v == 0.0 ? (Bits(1) ? -0.0 : 0.0) : v; };
    switch (cls) {
      case 0: return {zero_sign(x), zero_sign(y)};
      case 2: return {-y, zero_sign(-x)};
      default: {
        const double lo = -Magnitude(), hi = Magnitude();
        return {lo == 0.0 ? -4.9406564584124654e-324 : lo,
                hi == 0.0 ? 4.9406564584124654e-324 : hi};
      }
    }
  }
};

}  // namespace oracle

#endif  // VESK_HAVE_MPFR
