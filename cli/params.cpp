#include "cli/params.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "map/henon.h"


#if defined(__clang__)
#pragma STDC FENV_ACCESS ON
#endif

namespace vesk {

namespace {

// strtod of the whole text in the given rounding direction. The text
// pointer goes through volatile storage and the result is stored to
// volatile storage before the switch back, so that neither the call nor its
// result can be moved out of the window of the mode switch.
double StrtodIn(int mode, const char* text, const char** end, int* err) {
  const char* volatile vtext = text;
  volatile double result;
  char* stop = nullptr;
  std::fesetround(mode);
  errno = 0;
  result = std::strtod(vtext, &stop);
  *err = errno;
  std::fesetround(FE_TONEAREST);
  *end = stop;
  return result;
}

// Whether this C library's strtod honours the rounding direction: 0.1 has
// no exact double, so its downward and upward readings must differ.
bool StrtodHonoursRounding() {
  static int known = -1;
  if (known < 0) {
    const char* end;
    int err;
    const double down = StrtodIn(FE_DOWNWARD, "0.1", &end, &err);
    const double up = StrtodIn(FE_UPWARD, "0.1", &end, &err);
    known = down < up && std::nextafter(down, 1.0) == up;
  }
  return known == 1;
}

// Checks the text before strtod sees it: strtod would skip leading blanks.
bool StartsLikeNumber(const char* text) {
  return text[0] != '\0' && !std::isspace(static_cast<unsigned char>(text[0]));
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

const char* StatusWhy(NumberStatus status) {
  switch (status) {
    case kNumberMalformed: return "is not a number";
    case kNumberNotFinite: return "is not a finite number";
    case kNumberOutOfRange: return "is beyond the range of doubles";
    case kNumberOk: break;
  }
  return "";
}

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos
                                                                   : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return parts;
}

}  // namespace

NumberStatus NearestNumber(const char* text, double* value) {
  if (!StartsLikeNumber(text)) return kNumberMalformed;
  const char* end;
  int err;
  const double x = StrtodIn(FE_TONEAREST, text, &end, &err);
  if (end == text || *end != '\0') return kNumberMalformed;
  if (std::isnan(x)) return kNumberNotFinite;
  if (std::isinf(x)) return err == ERANGE ? kNumberOutOfRange : kNumberNotFinite;
  *value = x;
  return kNumberOk;
}

NumberStatus EncloseNumber(const char* text, double* down, double* up) {
  double nearest = 0.0;
  const NumberStatus status = NearestNumber(text, &nearest);
  if (status != kNumberOk) return status;
  const char* end;
  int err;
  double lo, hi;
  if (StrtodHonoursRounding()) {
    lo = StrtodIn(FE_DOWNWARD, text, &end, &err);
    hi = StrtodIn(FE_UPWARD, text, &end, &err);
  } else {
    // A library that reads in round-to-nearest only: step one double out on
    // both sides, which encloses the number whether or not it was exact.
    lo = std::nextafter(nearest, -HUGE_VAL);
    hi = std::nextafter(nearest, HUGE_VAL);
  }
  // A value just beyond the largest double reads as infinity upward.
  if (!std::isfinite(lo) || !std::isfinite(hi)) return kNumberOutOfRange;
  *down = lo;
  *up = hi;
  return kNumberOk;
}

bool ParseRange(const std::string& text, const char* what, Range* out,
                std::string* error) {
  const std::vector<std::string> parts = SplitCommas(text);
  if (parts.size() > 2) {
    *error = std::string(what) + ": " + Quote(text) +
             " has more than two numbers: give a point like 6 or an interval like 5.9,6.1";
    return false;
  }
  double lo = 0.0, hi = 0.0, ignored = 0.0;
  const NumberStatus s0 = EncloseNumber(parts[0].c_str(), &lo, &ignored);
  if (s0 != kNumberOk) {
    *error = std::string(what) + ": " + Quote(parts[0]) + " " + StatusWhy(s0) +
             ": give a point like 6 or an interval like 5.9,6.1";
    return false;
  }
  if (parts.size() == 1) {
    hi = ignored;
  } else {
    const NumberStatus s1 = EncloseNumber(parts[1].c_str(), &ignored, &hi);
    if (s1 != kNumberOk) {
      *error = std::string(what) + ": " + Quote(parts[1]) + " " + StatusWhy(s1) +
               ": give a point like 6 or an interval like 5.9,6.1";
      return false;
    }
    double loNearest = 0.0, hiNearest = 0.0;
    NearestNumber(parts[0].c_str(), &loNearest);
    NearestNumber(parts[1].c_str(), &hiNearest);
    if (loNearest > hiNearest) {
      *error = std::string(what) + ": the interval " + Quote(text) +
               " has its lower end above its upper end: write the smaller number first";
      return false;
    }
  }
  out->lo = lo;
  out->hi = hi;
  return true;
}

bool ParseList(const std::string& text, const char* what, int count, bool roundUp,
               double* out, std::string* error) {
  const std::vector<std::string> parts = SplitCommas(text);
  if (static_cast<int>(parts.size()) != count) {
    *error = std::string(what) + ": " + Quote(text) + " has " +
             std::to_string(parts.size()) + " number" + (parts.size() == 1 ? "" : "s") +
             ", expected " + std::to_string(count) +
             " separated by commas (x, y, u, v), e.g. 0,0,0,0";
    return false;
  }
  for (int i = 0; i < count; ++i) {
    double down = 0.0, up = 0.0;
    NumberStatus status;
    if (roundUp) {
      status = EncloseNumber(parts[i].c_str(), &down, &up);
      out[i] = up;
    } else {
      status = NearestNumber(parts[i].c_str(), &out[i]);
    }
    if (status != kNumberOk) {
      *error = std::string(what) + ": " + Quote(parts[i]) + " " + StatusWhy(status) +
               ": give " + std::to_string(count) + " numbers separated by commas";
      return false;
    }
  }
  return true;
}

bool DefaultLiftedRadius(Range a, Range b, double radius[4]) {
  const double lo[2] = {a.lo, b.lo};
  const double hi[2] = {a.hi, b.hi};
  const double R = HenonOrbitRadius(lo, hi, 1.0 / 16.0);
  if (!std::isfinite(R)) return false;
  const double defaults[4] = {R, R, 2.0, 2.0};
  std::memcpy(radius, defaults, sizeof defaults);
  return true;
}

bool ParseSize(const std::string& text, const char* what, long long* bytes,
               std::string* error) {
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double number = std::strtod(start, &end);
  std::string unit(end);
  for (char& ch : unit) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  double scale = 0.0;
  if (unit.empty() || unit == "B") scale = 1.0;
  else if (unit == "K" || unit == "KB" || unit == "KIB") scale = 0x1p10;
  else if (unit == "M" || unit == "MB" || unit == "MIB") scale = 0x1p20;
  else if (unit == "G" || unit == "GB" || unit == "GIB") scale = 0x1p30;
  else if (unit == "T" || unit == "TB" || unit == "TIB") scale = 0x1p40;
  const double value = number * scale;
  if (end == start || !StartsLikeNumber(start) || scale == 0.0 || !(value >= 1.0) ||
      value > 0x1p62) {
    *error = std::string(what) + ": " + Quote(text) +
             " is not a memory size: give a number of bytes with K, M, G or T, e.g. 512M or 4G";
    return false;
  }
  *bytes = static_cast<long long>(value);
  return true;
}

std::string DoubleText(double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

std::string HexText(double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", x);
  return buf;
}

std::string RangeText(Range r) {
  std::string text = "[";
  text += DoubleText(r.lo);
  text += ", ";
  text += DoubleText(r.hi);
  text += "]";
  return text;
}

}  // namespace vesk
