// Box: one node of a binary box tree.
//
// A box stores no coordinates. Its geometry follows from the path from the
// root: every ancestor halves the coordinate `sd` it is split along. The
// traversal cursor of a Tree (tree/tree.h) computes centers and radii on the
// way down, so a node is only a few bytes, two child links and a number.
#pragma once

#include <cstdint>

namespace vesk {

struct Box {
  uint8_t sd;       // split coordinate; meaningful while the box has a child
  uint8_t flags;    // caller-defined flag bits
  uint8_t tag;      // 1 in every box created; written to tree files
  Box* child[2];    // child[0]: lower half along sd, child[1]: upper half
  int32_t no;       // position in the walk order of one depth, -1 when new
};

static_assert(sizeof(Box) <= 32, "a Box must stay within 32 bytes");

// A leaf: sd 0, flags 0, tag 1, no children, no -1.
Box* BoxNew();

// Frees the subtree under *link (the box included) and sets *link to null.
// A null link is left alone. Works without recursion, so arbitrarily deep
// subtrees cannot exhaust the machine stack.
void BoxFree(Box** link);

// 0 for a null box, else the number of present children (0, 1 or 2).
int BoxNoOfChildren(const Box* box);

// Gives a leaf its two children and sets its split coordinate; returns 1.
// A box that has any child is refused with a warning (returns 0, unchanged).
// A null box returns 0 and nothing happens.
int BoxSubdivide(Box* box, uint8_t sd);

// Frees both subtrees of a box (sd, flags and no stay); 1 if it had a
// child, 0 for a leaf or a null box.
int BoxUnsubdivide(Box* box);

void BoxSetFlag(Box* box, uint8_t mask);
void BoxUnsetFlag(Box* box, uint8_t mask);
// Only when the box has a bit of mask: flags = (flags & ~mask) | bits.
void BoxChangeFlag(Box* box, uint8_t mask, uint8_t bits);
// The box's flags; for a null box an error line and 0.
uint8_t BoxGetFlags(const Box* box);

// Classification for the negative depth arguments of a walk: 0 for a null
// box, -1 for a leaf, -2 for a box with at least one child whose children
// are all leaves, 0 otherwise. Not a height.
int BoxDepth(const Box* box);

}  // namespace vesk
