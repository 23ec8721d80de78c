// Parameters of the command line: outward decimal conversion (checked
// against MPFR's correctly rounded conversion), intervals and lists, the
// default radius of the state square, and the exactness of bisected bounds.
#include <gtest/gtest.h>

#include <cfenv>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cli/params.h"
#include "map/henon.h"
#include "tree/tree.h"

#ifdef VESK_HAVE_MPFR
#include <mpfr.h>
#endif

using namespace vesk;

namespace {

#ifdef VESK_HAVE_MPFR
// The double that MPFR rounds the decimal text to in direction rnd, with the
// subnormals and overflow of IEEE binary64.
double MpfrRead(const std::string& text, mpfr_rnd_t rnd) {
  const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
  mpfr_set_emin(-1073);
  mpfr_set_emax(1024);
  mpfr_t d;
  mpfr_init2(d, 53);
  char* end = nullptr;
  int t = mpfr_strtofr(d, text.c_str(), &end, 0, rnd);
  t = mpfr_check_range(d, t, rnd);
  mpfr_subnormalize(d, t, rnd);
  const double out = mpfr_get_d(d, MPFR_RNDN);
  mpfr_clear(d);
  mpfr_set_emin(emin);
  mpfr_set_emax(emax);
  return out;
}

// Random decimal numbers of many lengths and exponents, some of them
// doubles written out exactly.
std::vector<std::string> SampleDecimals() {
  std::vector<std::string> out = {
      "0.3", "5.9", "6.1", "0.29", "0.31", "-0.31", "-0.29", "1.4", "0.1", "6", "-6",
      "0", "-0", "1e-320", "-1e-320", "4.9406564584124654e-324", "2e-324", "3e-324",
      "1.7976931348623157e308", "-1.7976931348623157e308", "2.2250738585072011e-308",
      "0.30000000000000004", "0.299999999999999988897769753748434595763683319091796875",
      "123456789012345678901234567890", ".5", "5.", "+1.25", "1E5", "9007199254740993",
      "0x1.8p+2", "-0x1.3333333333333p-2", "0x1p-1074"};
  std::mt19937_64 rng(20261207);
  for (int i = 0; i < 3000; ++i) {
    std::string s;
    if (rng() % 4 == 0) s += '-';
    const int intDigits = 1 + rng() % 6;
    for (int k = 0; k < intDigits; ++k) s += static_cast<char>('0' + rng() % 10);
    if (rng() % 3) {
      s += '.';
      const int frac = 1 + rng() % 25;
      for (int k = 0; k < frac; ++k) s += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 2) {
      s += 'e';
      s += std::to_string(static_cast<int>(rng() % 640) - 330);
    }
    out.push_back(s);
  }
  return out;
}

TEST(CliNumbers, EnclosureMatchesCorrectlyRoundedConversion) {
  for (const std::string& text : SampleDecimals()) {
    const double down = MpfrRead(text, MPFR_RNDD);
    const double up = MpfrRead(text, MPFR_RNDU);
    double lo = 0.0, hi = 0.0;
    const NumberStatus status = EncloseNumber(text.c_str(), &lo, &hi);
    if (!std::isfinite(down) || !std::isfinite(up)) {
      EXPECT_EQ(status, kNumberOutOfRange) << text;
      continue;
    }
    ASSERT_EQ(status, kNumberOk) << text;
    EXPECT_EQ(std::memcmp(&lo, &down, sizeof lo), 0) << text << " down: " << lo << " vs " << down;
    EXPECT_EQ(std::memcmp(&hi, &up, sizeof hi), 0) << text << " up: " << hi << " vs " << up;
    double nearest = 0.0;
    ASSERT_EQ(NearestNumber(text.c_str(), &nearest), kNumberOk);
    EXPECT_EQ(nearest, MpfrRead(text, MPFR_RNDN)) << text;
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
  }
}

double HenonOrbitRadius(Range a, Range b, double step = 1.0 / 16.0) {
  const double lo[2] = {a.lo, b.lo};
  const double hi[2] = {a.hi, b.hi};
  return vesk::HenonOrbitRadius(lo, hi, step);
}

TEST(CliNumbers, DefaultRadiusIsTheFirstSixteenthAboveTheRoot) {
  const Range as[] = {{5.9, 6.1}, {1.4, 1.4}, {-0.5, 0.2}, {0.0, 0.0}, {4.0, 4.0}, {1e6, 1e6}};
  const Range bs[] = {{0.29, 0.31}, {0.3, 0.3}, {-0.31, -0.29}, {0.0, 0.0}, {-2.0, 1.0}};
  for (const Range& a : as) {
    for (const Range& b : bs) {
      const double R = HenonOrbitRadius(a, b);
      // r* = (s + sqrt(s^2 + 4|a|)) / 2 with s = 1 + |b|, exactly enough.
      mpfr_t s, A, root, t;
      mpfr_inits2(400, s, A, root, t, static_cast<mpfr_ptr>(nullptr));
      mpfr_set_d(s, std::fmax(std::fabs(b.lo), std::fabs(b.hi)), MPFR_RNDN);
      mpfr_add_ui(s, s, 1, MPFR_RNDN);
      mpfr_set_d(A, std::fmax(std::fabs(a.lo), std::fabs(a.hi)), MPFR_RNDN);
      mpfr_mul(t, s, s, MPFR_RNDN);
      mpfr_mul_ui(A, A, 4, MPFR_RNDN);
      mpfr_add(t, t, A, MPFR_RNDN);
      mpfr_sqrt(t, t, MPFR_RNDN);
      mpfr_add(root, s, t, MPFR_RNDN);
      mpfr_div_ui(root, root, 2, MPFR_RNDN);
      EXPECT_LE(mpfr_cmp_d(root, R), 0) << a.lo << " " << b.lo;
      // R is a multiple of 1/16, and not far above the root: two sixteenths
      // below it lie under the root. (The directed check may reject a
      // multiple that equals the root exactly.)
      EXPECT_EQ(R * 16.0, std::floor(R * 16.0)) << R;
      mpfr_set_d(t, R - 2.0 / 16.0, MPFR_RNDN);
      EXPECT_LT(mpfr_cmp(t, root), 0) << "R is loose: " << R;
      // With a fine step the bound comes close.
      const double fine = HenonOrbitRadius(a, b, 0x1p-20);
      EXPECT_LE(mpfr_cmp_d(root, fine), 0);
      mpfr_set_d(t, fine - 2 * 0x1p-20, MPFR_RNDN);
      EXPECT_LT(mpfr_cmp(t, root), 0) << "fine bound is loose: " << fine;
      mpfr_clears(s, A, root, t, static_cast<mpfr_ptr>(nullptr));
    }
  }
  // The bound of the horseshoe box of the README.
  Range a, b;
  std::string error;
  ASSERT_TRUE(ParseRange("5.9,6.1", "--a", &a, &error));
  ASSERT_TRUE(ParseRange("0.29,0.31", "--b", &b, &error));
  EXPECT_EQ(HenonOrbitRadius(a, b), 3.25);
  EXPECT_EQ(HenonOrbitRadius({DBL_MAX, DBL_MAX}, {0.0, 0.0}), HUGE_VAL);
}
#endif  // VESK_HAVE_MPFR

TEST(CliNumbers, RefusesWhatIsNotOneFiniteNumber) {
  double lo, hi;
  for (const char* text : {"", " 6", "6 ", "6x", "abc", "6,", "--6", "1..2", "0x", "e5"})
    EXPECT_EQ(EncloseNumber(text, &lo, &hi), kNumberMalformed) << "'" << text << "'";
  for (const char* text : {"nan", "inf", "-Infinity", "NAN(123)"})
    EXPECT_EQ(EncloseNumber(text, &lo, &hi), kNumberNotFinite) << text;
  for (const char* text : {"1e309", "-2e308", "1.7976931348623159e308"})
    EXPECT_EQ(EncloseNumber(text, &lo, &hi), kNumberOutOfRange) << text;
  EXPECT_EQ(std::fegetround(), FE_TONEAREST);
}

TEST(CliRanges, PointsIntervalsAndTheirErrors) {
  Range r{};
  std::string error;
  ASSERT_TRUE(ParseRange("6", "--a", &r, &error));
  EXPECT_EQ(r.lo, 6.0);
  EXPECT_EQ(r.hi, 6.0);
  // A point without a double becomes the two neighbouring doubles, one of
  // them the nearest.
  for (const char* text : {"0.3", "-0.31", "0.1", "5.9"}) {
    ASSERT_TRUE(ParseRange(text, "--b", &r, &error)) << text;
    const double nearest = std::strtod(text, nullptr);
    EXPECT_EQ(std::nextafter(r.lo, HUGE_VAL), r.hi) << text;
    EXPECT_TRUE(r.lo == nearest || r.hi == nearest) << text;
  }
  ASSERT_TRUE(ParseRange("-0.31,-0.29", "--b", &r, &error));
  EXPECT_LE(r.lo, std::strtod("-0.31", nullptr));
  EXPECT_GE(r.hi, std::strtod("-0.29", nullptr));
  EXPECT_LT(r.lo, r.hi);
  ASSERT_TRUE(ParseRange("6.1,6.1", "--a", &r, &error));  // a point written twice
  EXPECT_EQ(std::nextafter(r.lo, 7.0), r.hi);

  struct Bad {
    const char* text;
    const char* says;
  };
  const Bad bad[] = {
      {"6.1,5.9", "lower end above its upper end"},
      {"1,2,3", "more than two numbers"},
      {"abc", "'abc' is not a number"},
      {"5.9,x", "'x' is not a number"},
      {",6", "'' is not a number"},
      {"nan,1", "not a finite number"},
      {"1,1e999", "beyond the range of doubles"},
  };
  for (const Bad& b : bad) {
    error.clear();
    EXPECT_FALSE(ParseRange(b.text, "--a", &r, &error)) << b.text;
    EXPECT_NE(error.find(b.says), std::string::npos) << error;
    EXPECT_EQ(error.rfind("--a: ", 0), 0u) << error;
  }
}

TEST(CliRanges, ListsRoundAsAsked) {
  double v[4];
  std::string error;
  // 0.3 has its nearest double below it, 0.1 above it.
  ASSERT_TRUE(ParseList("0.3,0.1,-2,2", "--radius", 4, true, v, &error));
  EXPECT_EQ(v[0], std::nextafter(0.3, 1.0));
  EXPECT_EQ(v[1], 0.1);
  EXPECT_EQ(v[2], -2.0);
  ASSERT_TRUE(ParseList("0.3,0.1,-2,2", "--center", 4, false, v, &error));
  EXPECT_EQ(v[0], 0.3);
  EXPECT_EQ(v[1], 0.1);
  EXPECT_FALSE(ParseList("1,2,3", "--center", 4, false, v, &error));
  EXPECT_NE(error.find("expected 4"), std::string::npos) << error;
  EXPECT_FALSE(ParseList("1,2,3,y", "--center", 4, false, v, &error));
  EXPECT_NE(error.find("'y' is not a number"), std::string::npos) << error;
}

#ifdef VESK_HAVE_MPFR
// Whether every bound center + m radius 2^-j, |m| <= 2^j, is a double.
bool AllBoundsExact(double center, double radius, int j) {
  mpfr_t v, step;
  mpfr_inits2(2200, v, step, static_cast<mpfr_ptr>(nullptr));
  mpfr_set_d(step, radius, MPFR_RNDN);
  mpfr_div_2si(step, step, j, MPFR_RNDN);
  bool exact = true;
  for (long m = -(1L << j); m <= (1L << j) && exact; ++m) {
    mpfr_mul_si(v, step, m, MPFR_RNDN);
    mpfr_add_d(v, v, center, MPFR_RNDN);
    const double d = mpfr_get_d(v, MPFR_RNDN);
    exact = mpfr_cmp_d(v, d) == 0;
  }
  mpfr_clears(v, step, static_cast<mpfr_ptr>(nullptr));
  return exact;
}

// Bisections of [center - radius, center + radius] that keep every bound an
// exact double, as the tree library judges them; -1 for no valid radius.
int ExactSplits(double center, double radius) {
  if (!std::isfinite(center) || !std::isfinite(radius) || !(radius > 0.0)) return -1;
  Rectangle* domain = RectangleNew(&center, &radius, 1);
  Tree* tree = TreeNew(domain);
  RectangleFree(&domain);
  int j = -1;
  while (j < 4096 && TreeSplitsExact(tree, j + 1)) ++j;
  TreeFree(&tree);
  return j;
}

TEST(CliDomain, ExactSplitsAgreeWithExactArithmetic) {
  struct Case {
    double center;
    double radius;
  };
  const Case cases[] = {
      {0.0, 3.25}, {0.0, 2.0}, {0.0, 0x1.ffffffffffff8p+1}, {0.5, 0x1.ffffffffffcp+0},
      {0.1, 1.0}, {-0x1.8p-3, 0x1.000000000001p+2}, {0.0, 3.22}, {1e-300, 1.0},
      {0x1p-1060, 0x1p-1060}, {3.0, 0x1.0000000000008p+0}};
  for (const Case& c : cases) {
    const int J = ExactSplits(c.center, c.radius);
    SCOPED_TRACE(testing::Message() << c.center << " +- " << c.radius << ": J = " << J);
    if (J >= 0) {
      for (int j = std::max(0, J - 3); j <= std::min(J, 14); ++j)
        EXPECT_TRUE(AllBoundsExact(c.center, c.radius, j)) << j;
    }
  }
  // Known budgets: 3.25 = 13/4 leaves 49 bisections, 2 leaves 52; a radius
  // with 50 significant bits leaves 3, and the fourth is inexact.
  EXPECT_EQ(ExactSplits(0.0, 3.25), 49);
  EXPECT_EQ(ExactSplits(0.0, 2.0), 52);
  EXPECT_EQ(ExactSplits(0.0, 0x1.ffffffffffff8p+1), 3);
  EXPECT_FALSE(AllBoundsExact(0.0, 0x1.ffffffffffff8p+1, 4));
  EXPECT_EQ(ExactSplits(0.0, 3.22), 0);
  EXPECT_FALSE(AllBoundsExact(0.0, 3.22, 2));  // halving alone stays exact
  EXPECT_EQ(ExactSplits(0.0, 0.0), -1);

}
#endif  // VESK_HAVE_MPFR

}  // namespace
