// Tree: a binary box tree over a Rectangle, with shared parts and a cursor.
//
// The boxes, the domain, the split-direction table and the holder count are
// shared by a tree and all its copies (TreeCopy); the traversal cursor
// (box, c, r, the four stacks, depth) belongs to one holder. The cursor's
// c and r always describe the cursor box exactly: descending halves one
// coordinate exactly and ascending restores the values saved on the stacks.
#pragma once

#include <cstdint>

#include "tree/box.h"
#include "tree/rectangle.h"

namespace vesk {

// Bisections per coordinate that the cursor stacks can hold: no box may lie
// deeper than dim * kDepthPerDim.
constexpr int kDepthPerDim = 500;
// Largest supported dimension of a domain.
constexpr int kMaxDim = 255;

struct Tree {
  Rectangle* domain;    // shared
  Box* root;            // shared, always present
  int32_t* refCount;    // shared holder count
  Box* box;             // cursor: current box
  double* c;            // cursor: center of the current box (dim)
  double* r;            // cursor: radius of the current box (dim)
  double* cStack;       // dim*500: ancestor's center along its sd
  double* rStack;       // dim*500: ancestor's radius along its sd
  Box** boxStack;       // dim*500: ancestor at each depth
  int32_t* childStack;  // dim*500: child taken below each ancestor
  int64_t depth;        // depth of the cursor box (root 0)
  uint8_t* sd;          // shared, dim*500+1 entries: split coordinate by depth
};

// Deepest depth a box of this tree may have (dim * kDepthPerDim).
int64_t TreeMaxDepth(const Tree* tree);

// A tree whose root leaf covers a copy of domain. Refuses (null result and
// an error line) a null domain or a dimension outside 1..255.
Tree* TreeNew(const Rectangle* domain);
// A second holder of the same boxes, domain and table, with its own cursor
// on the root. Null for a null source.
Tree* TreeCopy(Tree* source);
// Releases this holder; the last holder also frees the shared parts.
void TreeFree(Tree** link);
// Puts the cursor on the root with the domain's geometry.
void TreeReset(Tree* tree);

// Walks. Depth d >= 0 visits the boxes at depth d, -1 the leaves, -2 the
// boxes whose children are all leaves; anything below -2 visits nothing.
// Pre-order, child 0 first. 1 when the cursor rests on a selected box,
// 0 at the end (cursor back on the root).
int TreeFirstBox(Tree* tree, int depth);
int TreeNextBox(Tree* tree, int depth);
// How many boxes a walk at depth visits; moves only the cursor (back to
// the root).
int64_t TreeWalkCount(Tree* tree, int depth);
// Climbs to the nearest ancestor left through child 0 that has a child 1
// and steps into that child; 0 (cursor on the root) when there is none.
int TreeNextBranch(Tree* tree);

// Editing. See the comments in tree/tree_edit.cpp for the exact rules.
//
// TreeInsert creates the path to point down to depth (>= 0: that depth;
// -1: the first leaf met). Returns -1 for a point outside the domain,
// 1 if a box was created, 0 if the path existed, and -2 (with a warning,
// nothing changed, cursor untouched) for a depth argument outside
// -1..TreeMaxDepth(tree).
int TreeInsert(Tree* tree, const double* point, int depth, uint8_t newMask,
               uint8_t pathMask);
// TreeInsert(tree, points + i * dim, depth, newMask, pathMask) for the
// count points in turn, the same tree and cursor made; the path to a point
// is taken up again where the next point leaves it.
void TreeInsertPoints(Tree* tree, const double* points, size_t count, int depth,
                      uint8_t newMask, uint8_t pathMask);
// Subdivides every leaf that has a bit of mask; returns how many. Leaves at
// the depth limit are refused with one warning per call and not counted.
int TreeSubdivide(Tree* tree, uint8_t mask);
void TreeSubdivideAll(Tree* tree);
int TreeUnsubdivide(Tree* tree, uint8_t mask);
// Removes every leaf lacking a bit of mask and prunes emptied parents.
// Returns 1 if box itself would go (it is never freed here).
int TreeRemove(Box* box, uint8_t mask);
void TreeDeleteDepth(Tree* tree, int depth);

// Flags over the boxes of one walk. A choice string is "all" or holds one
// character per visited box ('1' selects it).
void TreeSetFlags(Tree* tree, int depth, const char* choice, uint8_t mask);
void TreeUnsetFlags(Tree* tree, int depth, const char* choice, uint8_t mask);
void TreeChangeFlags(Tree* tree, int depth, const char* choice, uint8_t mask,
                     uint8_t bits);
void TreeGetFlags(Tree* tree, int depth, unsigned char* flags);
void TreeSetFlagsAll(Tree* tree, int depth, uint8_t mask);
void TreeUnsetFlagsAll(Tree* tree, int depth, uint8_t mask);
void TreeSetFlagsVect(Tree* tree, int depth, const unsigned char* vect,
                      uint8_t mask);

// Counts. TreeCount: boxes in the subtree (0 for none). TreeCountDepth:
// numbers the boxes of a walk 0,1,2,... in `no` and returns how many.
// TreeDepth: height of the subtree, -1 for none, 0 for a leaf.
int TreeCount(const Box* box);
int TreeCountDepth(Tree* tree, int depth);
// TreeCountDepth(tree, -1) without moving the cursor down: numbers the
// leaves 0,1,2,... in walk order and returns how many; *atDepth (when not
// null) gets how many of them lie at `depth`. The cursor ends on the root.
int TreeNumberLeaves(Tree* tree, int depth, int* atDepth);
int TreeDepth(const Box* box);

}  // namespace vesk

namespace vesk {

// 1 when every box of depth at most `depth` whose path splits along the
// tree's split-direction table has bounds c - r, c, c + r that are exactly
// representable doubles; 0 otherwise. Rounded bounds would let sibling
// boxes leave gaps between them, so a rigorous analysis must not run on
// boxes deeper than this allows. A dyadic domain (center and radius with
// few significant bits) stays exact for about 50 bisections per coordinate.
int TreeSplitsExact(const Tree* tree, int depth);

}  // namespace vesk
