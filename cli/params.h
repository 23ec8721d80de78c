// Parameters and domains of the command line: numbers typed in decimal are
// enclosed by doubles (lower end rounded down, upper end rounded up), so that
// a verdict holds for the numbers the user typed, not for nearby doubles.
#pragma once

#include <string>

namespace vesk {

enum NumberStatus {
  kNumberOk = 0,
  kNumberMalformed = 1,   // not a number, or followed by other characters
  kNumberNotFinite = 2,   // "inf", "nan" and the like
  kNumberOutOfRange = 3,  // finite, but beyond the largest double
};

// Reads the whole of text as one floating-point number (decimal, or C
// hexadecimal) and gives the largest double not above it (*down) and the
// smallest double not below it (*up); both equal the value when it is a
// double. No leading or trailing blanks are accepted.
NumberStatus EncloseNumber(const char* text, double* down, double* up);

// The double nearest to the number in text (ties to even).
NumberStatus NearestNumber(const char* text, double* value);

// An interval [lo, hi] of doubles.
struct Range {
  double lo;
  double hi;
};

// Parses a point ("6") or an interval ("5.9,6.1") and encloses it outward.
// On failure returns false with a message naming `what` (e.g. "--a").
bool ParseRange(const std::string& text, const char* what, Range* out,
                std::string* error);

// Parses exactly `count` comma-separated numbers: rounded to nearest, or up
// when roundUp is set.
bool ParseList(const std::string& text, const char* what, int count, bool roundUp,
               double* out, std::string* error);

// The default radius of the lifted domain (x, y, u, v) around center 0 for
// the parameter box a x b: the state square of HenonOrbitRadius with step
// 1/16, and 2 for the tangent coordinates. False when no square of doubles
// holds the bounded orbits (parameters too large).
bool DefaultLiftedRadius(Range a, Range b, double radius[4]);

// A memory size: a positive number of bytes, optionally with the suffix K,
// M, G or T (powers of 1024; "KiB", "MB" and the like are read the same),
// e.g. 512M, 1.5G, 1000000. On failure returns false with a message naming
// `what`.
bool ParseSize(const std::string& text, const char* what, long long* bytes,
               std::string* error);

// The double with 17 significant digits ("%.17g"): enough to read back as
// the same double, and to show on which side of a short decimal it lies
// (0.29 rounded down shows as 0.28999999999999998).
std::string DoubleText(double x);

// Exact text of a double in C hexadecimal ("%a").
std::string HexText(double x);

// "[lo, hi]" with each end as DoubleText writes it.
std::string RangeText(Range r);

}  // namespace vesk
