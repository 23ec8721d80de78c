#include "tree/rectangle.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tree/alloc.h"

namespace vesk {

Rectangle* RectangleNew(const double* center, const double* radius, uint8_t dim) {
  Rectangle* rect = static_cast<Rectangle*>(VeskCalloc(1, sizeof(Rectangle)));
  rect->dim = dim;
  rect->center = static_cast<double*>(VeskCalloc(dim, sizeof(double)));
  rect->radius = static_cast<double*>(VeskCalloc(dim, sizeof(double)));
  if (dim > 0) {
    std::memcpy(rect->center, center, dim * sizeof(double));
    std::memcpy(rect->radius, radius, dim * sizeof(double));
  }
  return rect;
}

void RectangleFree(Rectangle** link) {
  if (!link || !*link) return;
  std::free((*link)->radius);
  std::free((*link)->center);
  std::free(*link);
  *link = nullptr;
}

int RectangleContains(const Rectangle* rect, const double* point) {
  for (int i = 0; i < rect->dim; ++i) {
    double diff = point[i] - rect->center[i];
    uint64_t bits;
    std::memcpy(&bits, &diff, sizeof bits);
    bits &= 0x7fffffffffffffffULL;
    std::memcpy(&diff, &bits, sizeof bits);
    // A NaN on either side makes the comparison fail.
    if (!(rect->radius[i] >= diff)) return 0;
  }
  return 1;
}

int RectangleCheck(const Rectangle* rect, char* why, size_t whySize) {
  static const char* const kLifted[4] = {"x", "y", "u", "v"};
  for (int i = 0; i < rect->dim; ++i) {
    const double c = rect->center[i];
    const double r = rect->radius[i];
    const bool centerOk = std::isfinite(c);
    if (centerOk && r > 0.0 && std::isfinite(r)) continue;
    char name[32];
    if (rect->dim == 4)
      std::snprintf(name, sizeof name, "coordinate %d (%s)", i + 1, kLifted[i]);
    else
      std::snprintf(name, sizeof name, "coordinate %d", i + 1);
    if (!centerOk)
      std::snprintf(why, whySize, "the center of %s must be finite, not %.17g", name, c);
    else
      std::snprintf(why, whySize, "the radius of %s must be positive and finite, not %.17g",
                    name, r);
    return 0;
  }
  return 1;
}

}  // namespace vesk
