// Tree files: a text header (tree line, rectangle block, box count) and a
// binary pre-order box stream, 3 bytes per box and 1 byte per missing child.
#pragma once

#include <cstdio>

#include "tree/tree.h"

namespace vesk {

void TreeSave(FILE* out, Tree* tree);
void TreeSaveBox(FILE* out, const Box* box);
void BoxSave(FILE* out, const Box* box);
void RectangleSave(FILE* out, const Rectangle* rect);

Tree* TreeLoad(FILE* in);
Box* TreeLoadBox(FILE* in);
Box* BoxLoad(FILE* in);
Rectangle* RectangleLoad(FILE* in);

// A tree paired with a second cursor over the same boxes.
struct Iter {
  Tree* tree;
  Tree* copy;
};

Iter* IterNew(const Rectangle* domain);
void IterFree(Iter** link);
void IterSave(FILE* out, const Iter* iter);

}  // namespace vesk
