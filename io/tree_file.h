// Tree files: a text header (tree line, rectangle block, box count) and a
// binary pre-order box stream, 3 bytes per box and 1 byte per missing child.
#pragma once

#include <cstddef>
#include <cstdio>

#include "tree/tree.h"

namespace vesk {

// Writers. A null tree writes only the tree line, a null rectangle only the
// rectangle line, a null box the byte 0. The box stream is pre-order, lower
// child first; it is written without recursion.
void TreeSave(FILE* out, Tree* tree);
void TreeSaveBox(FILE* out, const Box* box);
void BoxSave(FILE* out, const Box* box);
void RectangleSave(FILE* out, const Rectangle* rect);

// Reads a whole file. Null, quietly, when a header line or either address
// is missing or the box stream holds no root. Null with an error line for
// a stream whose boxes no tree of that dimension can hold: a box deeper
// than TreeMaxDepth, or a box with a child whose sd is not below dim. A
// stream that ends early gives the boxes read so far. The split table is
// rebuilt along the leftmost path (a leaf's sd byte only when it is a
// coordinate), and the cursor is left on the leaf that ends that path.
Tree* TreeLoad(FILE* in);
// Loads a whole tree file the way the tools of this system accept one: what
// TreeLoad accepts, whose box stream holds exactly the number of boxes the
// header announces, is followed by nothing, and lies over a domain that
// RectangleCheck accepts. Null otherwise, with the reason in why (name
// names the file there). Reads the stream to its end.
Tree* TreeFileLoad(FILE* in, const char* name, char* why, size_t whySize);
// Opens the file at path for TreeFileLoad. Only a regular file is opened
// for reading: the type is read from the open descriptor before anything
// else, and the open itself does not wait, so a FIFO without a writer or a
// device neither blocks the caller nor feeds the loader forever. Null
// otherwise, with the reason in why; *notRegular (when not null) is set to 1
// for a file that exists but is not a regular file, to 0 otherwise.
FILE* TreeFileOpen(const char* path, char* why, size_t whySize, int* notRegular);
// Reads a box stream without any check (no dimension is known here), and
// without recursion. Null at end of input or for a leading 0 byte.
Box* TreeLoadBox(FILE* in);
// One per-node record; missing sd or flags bytes read as 0.
Box* BoxLoad(FILE* in);
// Reads the rectangle block. Null, quietly, for a missing or null address;
// null with an error line when the dimension line cannot be read or gives
// a dimension outside 1..255. Numbers that fail to scan stay 0.
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
