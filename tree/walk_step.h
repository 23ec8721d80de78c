// The cursor step shared by walks, insertion and searches: descend from the
// cursor box into one child, saving the split coordinate's center and
// radius so that climbing back restores them bit for bit.
#pragma once

#include "tree/tree.h"

namespace vesk {

inline void TreeStepDown(Tree* tree, int side) {
  Box* box = tree->box;
  const int k = box->sd;
  const int64_t d = tree->depth;
  tree->cStack[d] = tree->c[k];
  tree->rStack[d] = tree->r[k];
  tree->boxStack[d] = box;
  tree->childStack[d] = side;
  tree->r[k] = tree->r[k] * 0.5;
  tree->c[k] = side ? tree->c[k] + tree->r[k] : tree->c[k] - tree->r[k];
  tree->box = box->child[side];
  tree->depth = d + 1;
}

inline bool BoxIsLeaf(const Box* box) { return !box->child[0] && !box->child[1]; }

}  // namespace vesk
