// What a pass costs in memory and what the process may still use.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

#include "gateway/driver.h"

namespace vesk {

namespace {

// Measured by bench_analysis on a pass of a = 1.4, b = 0.3 at 2 * 10^5
// leaves: the peak heap of a pass is about 250 bytes per box at the working
// depth, 60 of them the boxes themselves (two per subdivided leaf), the rest
// the exported boxes, their images, the stored box graph and the verdicts;
// whole runs grow their resident memory by about 290 bytes per box. The
// estimate allows a third more.
constexpr int64_t kBytesPerWorkingBox = 384;

// A value of /proc/self/statm (in pages) or /proc/meminfo (in KiB); -1
// when it cannot be read.
int64_t StatmPages(int field) {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  long long v[2] = {-1, -1};
  const int n = std::fscanf(f, "%lld %lld", &v[0], &v[1]);
  std::fclose(f);
  return n == 2 ? v[field] : -1;
}

int64_t MemAvailableBytes() {
  FILE* f = std::fopen("/proc/meminfo", "r");
  if (!f) return -1;
  char line[256];
  int64_t kib = -1;
  while (std::fgets(line, sizeof line, f)) {
    long long v;
    if (std::sscanf(line, "MemAvailable: %lld kB", &v) == 1) {
      kib = v;
      break;
    }
  }
  std::fclose(f);
  return kib < 0 ? -1 : kib * 1024;
}

}  // namespace

double VerifySubdivideBytes(double leaves, int times) {
  constexpr double kBytesPerBox = 48.0;  // a box with its allocator header
  return 2.0 * (std::ldexp(leaves, times) - leaves) * kBytesPerBox;
}

int64_t VerifyPassBytes(int64_t leaves, int subdivide) {
  if (leaves < 0) leaves = 0;
  const int64_t boxes = subdivide ? 2 * leaves : leaves;
  return boxes * kBytesPerWorkingBox;
}

int64_t VerifyMemoryAvailable(int64_t maxMemory) {
  const int64_t page = sysconf(_SC_PAGESIZE);
  if (maxMemory > 0) {
    const int64_t resident = StatmPages(1);
    const int64_t left = maxMemory - (resident > 0 ? resident * page : 0);
    return left > 0 ? left : 0;
  }
  int64_t available = MemAvailableBytes();
  if (available < 0) available = INT64_MAX;
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const int64_t size = StatmPages(0);
    const int64_t left =
        static_cast<int64_t>(limit.rlim_cur) - (size > 0 ? size * page : 0);
    if (left < available) available = left;
  }
  return available > 0 ? available : 0;
}

int64_t VerifyResidentBytes() {
  const int64_t pages = StatmPages(1);
  return pages > 0 ? pages * sysconf(_SC_PAGESIZE) : 0;
}

void VerifyFormatBytes(int64_t bytes, char* text, size_t size) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) {
    std::snprintf(text, size, "%" PRId64 " bytes", bytes);
    return;
  }
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  std::snprintf(text, size, value < 10.0 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
}

}  // namespace vesk
