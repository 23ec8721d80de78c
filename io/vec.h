// Plain vectors of doubles and their text form ("%.15g " per value, then a
// line feed).
#pragma once

#include <cstdio>

namespace vesk {

// Writes x[0..n-1] and a line feed; a null x writes only a warning to the
// standard error stream.
void VecPrint(FILE* out, const double* x, int n);
// A new zero-filled array of n doubles read from in ("%lg" each), then the
// white space after them is skipped; the caller frees it with free().
// Unreadable numbers stay 0. For n <= 0 only the white space is skipped and
// the result is null.
double* VecRead(FILE* in, int n);
// y[i] = x[i] for i = 0..n-1, front to back (also for overlapping arrays).
void VecCopy(const double* x, double* y, int n);

}  // namespace vesk
