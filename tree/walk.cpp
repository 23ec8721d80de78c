// Depth-first walks of a tree's cursor, without recursion or allocation.
#include "tree/tree.h"
#include "tree/walk_step.h"

namespace vesk {

namespace {

// Moves from the current box to the first selected box in pre-order,
// child 0 first; 0 when the walk is exhausted (cursor back on the root).
int SearchLoop(Tree* tree, int depth) {
  for (;;) {
    Box* box = tree->box;
    const bool selected = depth >= 0 ? tree->depth == depth : BoxDepth(box) == depth;
    if (selected) return 1;
    if (box->child[0]) {
      TreeStepDown(tree, 0);
    } else if (box->child[1]) {
      TreeStepDown(tree, 1);
    } else if (!TreeNextBranch(tree)) {
      return 0;
    }
  }
}

}  // namespace

int TreeNextBranch(Tree* tree) {
  int64_t d = tree->depth;
  if (d == 0) return 0;
  for (;;) {
    Box* box = tree->boxStack[d - 1];
    const int k = box->sd;
    tree->box = box;
    tree->c[k] = tree->cStack[d - 1];
    tree->r[k] = tree->rStack[d - 1];
    if (tree->childStack[d - 1] == 0 && box->child[1]) {
      tree->r[k] = tree->r[k] * 0.5;
      tree->c[k] = tree->c[k] + tree->r[k];
      tree->box = box->child[1];
      tree->childStack[d - 1] = 1;
      tree->depth = d;
      return 1;
    }
    if (--d == 0) {
      tree->depth = 0;
      return 0;
    }
  }
}

int TreeNumberLeaves(Tree* tree, int depth, int* atDepth) {
  // The cursor's box and side stacks hold the path; no center or radius is
  // computed on the way.
  Box** path = tree->boxStack;
  int32_t* side = tree->childStack;
  int64_t d = 0;
  int count = 0, at = 0;
  Box* box = tree->root;
  for (;;) {
    if (box->child[0] || box->child[1]) {
      const int s = box->child[0] ? 0 : 1;
      path[d] = box;
      side[d] = s;
      ++d;
      box = box->child[s];
      continue;
    }
    box->no = count++;
    at += d == depth;
    for (;;) {
      if (d == 0) {
        TreeReset(tree);
        if (atDepth) *atDepth = at;
        return count;
      }
      --d;
      Box* p = path[d];
      if (side[d] == 0 && p->child[1]) {
        side[d] = 1;
        ++d;
        box = p->child[1];
        break;
      }
    }
  }
}

int64_t TreeWalkCount(Tree* tree, int depth) {
  int64_t count = 0;
  if (TreeFirstBox(tree, depth)) {
    do ++count;
    while (TreeNextBox(tree, depth));
  }
  return count;
}

int TreeFirstBox(Tree* tree, int depth) {
  TreeReset(tree);
  return SearchLoop(tree, depth);
}

int TreeNextBox(Tree* tree, int depth) {
  if (tree->depth == 0) return 0;
  if (!TreeNextBranch(tree)) return 0;
  return SearchLoop(tree, depth);
}

}  // namespace vesk
