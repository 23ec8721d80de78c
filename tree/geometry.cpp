// Exactness of the box geometry implied by a domain and a split table.
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>

#include "tree/tree.h"

namespace vesk {

namespace {

// Exponent of the lowest set bit of a finite nonzero double.
int LowestBit(double x) {
  int e;
  const double m = std::frexp(std::fabs(x), &e);  // |x| = m * 2^e, m in [0.5, 1)
  uint64_t mant = static_cast<uint64_t>(std::ldexp(m, 53));
  return e - 53 + __builtin_ctzll(mant);
}

// Smallest e with |x| < 2^e.
int TopBit(double x) {
  int e;
  std::frexp(std::fabs(x), &e);
  return e;
}

// Whether c0 + m * r0 * 2^-j is a double for every integer |m| <= 2^j:
// all such values are multiples of 2^low below 2^top in magnitude, which
// 53 significant bits hold when top - low <= 53.
bool Exact(double c0, double r0, int j) {
  if (!std::isfinite(c0) || !std::isfinite(r0)) return false;
  if (r0 == 0.0) return true;
  int low = LowestBit(r0) - j;
  if (c0 != 0.0 && LowestBit(c0) < low) low = LowestBit(c0);
  if (low < -1074) return false;
  int top = TopBit(r0);
  if (c0 != 0.0) {
    if (TopBit(c0) > top) top = TopBit(c0);
    top += 1;  // |c0| + r0 < 2^(max + 1)
  }
  return top - low <= 53;
}

}  // namespace

int TreeSplitsExact(const Tree* tree, int depth) {
  const int dim = tree->domain->dim;
  if (depth < 0) depth = 0;
  if (depth > TreeMaxDepth(tree)) return 0;
  std::array<int, kMaxDim> splits{};
  for (int k = 0; k < depth; ++k) {
    const int i = tree->sd[k];
    if (i < dim) ++splits[i];
  }
  for (int i = 0; i < dim; ++i)
    if (!Exact(tree->domain->center[i], tree->domain->radius[i], splits[i])) return 0;
  return 1;
}

}  // namespace vesk
