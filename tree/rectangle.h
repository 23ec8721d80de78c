// Rectangle: an axis-parallel closed box |x_i - center_i| <= radius_i.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

struct Rectangle {
  int dim;         // number of coordinates, 0..255
  double* center;  // owned, dim entries
  double* radius;  // owned, dim entries (half-widths)
};

// Copies dim values of each array; the arrays are not read when dim is 0.
Rectangle* RectangleNew(const double* center, const double* radius, uint8_t dim);

// Frees the rectangle and sets *link to null; a null link is left alone.
void RectangleFree(Rectangle** link);

// 1 if point lies in the closed box, else 0. NaN anywhere fails the test;
// a rectangle of dim <= 0 contains every point.
int RectangleContains(const Rectangle* rect, const double* point);

// 1 when the rectangle can serve as the domain of a tree that is analysed
// or stored: every center finite, every radius positive and finite. Else 0,
// with the first offending coordinate named in why (1-based, and by its
// name x, y, u, v for a 4-dimensional domain), e.g. "the radius of
// coordinate 3 (u) must be positive and finite, not 0".
int RectangleCheck(const Rectangle* rect, char* why, size_t whySize);

}  // namespace vesk
