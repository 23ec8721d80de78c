// Plain vectors of doubles and their text form.
#include "io/vec.h"

#include <cstdlib>

#include "tree/alloc.h"

namespace vesk {

void VecPrint(FILE* out, const double* x, int n) {
  if (x == nullptr) {
    std::fputs("warning: libvesk: x=0.\n", stderr);
    return;
  }
  for (int i = 0; i < n; ++i) std::fprintf(out, "%.15g ", x[i]);
  std::fputc('\n', out);
}

double* VecRead(FILE* in, int n) {
  double* x = nullptr;
  if (n > 0) {
    x = static_cast<double*>(VeskCalloc(static_cast<size_t>(n), sizeof(double)));
    for (int i = 0; i < n; ++i) {
      // A failed conversion leaves the element at 0; the loop goes on so
      // that the element count stays fixed.
      if (std::fscanf(in, "%lg", &x[i]) != 1) x[i] = 0.0;
    }
  }
  // Stop in front of the next non-blank character.
  int skipped = std::fscanf(in, "\n");
  (void)skipped;
  return x;
}

void VecCopy(const double* x, double* y, int n) {
  // Ascending order on purpose: overlapping arrays get the front-to-back
  // result.
  for (int i = 0; i < n; ++i) y[i] = x[i];
}

}  // namespace vesk
