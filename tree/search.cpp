// Box search, matrix export and text listing over the boxes of one walk.
#include "tree/search.h"

#include "tree/walk_step.h"

namespace vesk {

namespace {

// Match rule of the walks: a depth >= 0 selects by cursor depth, a negative
// one by the box's classification.
inline bool Selected(const Tree* tree, int depth) {
  if (depth >= 0) return tree->depth == depth;
  return BoxDepth(tree->box) == depth;
}

// Climbs one level, restoring the parent's geometry from the stacks.
inline void Ascend(Tree* tree) {
  const int64_t d = tree->depth - 1;
  Box* parent = tree->boxStack[d];
  const int k = parent->sd;
  tree->c[k] = tree->cStack[d];
  tree->r[k] = tree->rStack[d];
  tree->box = parent;
  tree->depth = d;
}

// Whether child i of the cursor box may meet [lower, upper] along the box's
// split coordinate. Only strict comparisons reject, so closed intervals
// touch and NaN bounds reject nothing.
inline bool ChildMeets(const Tree* tree, int i, const double* lower,
                       const double* upper) {
  const Box* box = tree->box;
  if (box->child[i] == nullptr) return false;
  const int k = box->sd;
  const double m = tree->c[k];
  const double h = tree->r[k];
  if (i == 0) return !(lower[k] > m || m - h > upper[k]);
  return !(lower[k] > m + h || m > upper[k]);
}

}  // namespace

// Depth-first over the subtree of the cursor box, child 0 first, using the
// cursor stacks as the recursion stack: the search needs no machine stack
// proportional to the tree height and leaves the stack entries at and below
// the start depth exactly as a recursive descent would.
void TreeSearchBoxRec(Tree* tree, const double* lower, const double* upper,
                      int depth, SparseVector* hits) {
  if (depth < -2) return;  // such a selector matches no box
  const int64_t start = tree->depth;
  for (;;) {
    // At a box entered for the first time.
    if (Selected(tree, depth)) {
      SparseVectorAddEntry(hits, tree->box->no, 1.0);
    } else if (depth < 0 || tree->depth < depth) {
      if (ChildMeets(tree, 0, lower, upper)) {
        TreeStepDown(tree, 0);
        continue;
      }
      if (ChildMeets(tree, 1, lower, upper)) {
        TreeStepDown(tree, 1);
        continue;
      }
    }
    // Done with this box: climb until an ancestor's upper child is due.
    bool moved = false;
    while (tree->depth > start) {
      const int64_t d = tree->depth - 1;
      const int came = tree->childStack[d];
      Ascend(tree);
      if (came == 0 && ChildMeets(tree, 1, lower, upper)) {
        TreeStepDown(tree, 1);
        moved = true;
        break;
      }
    }
    if (!moved) return;
  }
}

void TreePrintToMatrix(Tree* tree, int depth, double* matrix) {
  const int dim = tree->domain->dim;
  const int64_t stride = 2 * static_cast<int64_t>(dim) + 2;
  double* record = matrix;
  if (!TreeFirstBox(tree, depth)) return;
  do {
    for (int i = 0; i < dim; ++i) record[i] = tree->c[i];
    for (int i = 0; i < dim; ++i) record[dim + i] = tree->r[i];
    record[2 * dim] = static_cast<double>(tree->box->flags);
    // record[2 * dim + 1] belongs to the caller.
    record += stride;
  } while (TreeNextBox(tree, depth));
}

void TreePrint(FILE* out, Tree* tree, int depth) {
  const int dim = tree->domain->dim;
  if (!TreeFirstBox(tree, depth)) return;
  do {
    for (int i = 0; i < dim; ++i) std::fprintf(out, "%g ", tree->c[i]);
    for (int i = 0; i < dim; ++i) std::fprintf(out, "%g ", tree->r[i]);
    std::fprintf(out, "%u\n", static_cast<unsigned>(tree->box->flags));
  } while (TreeNextBox(tree, depth));
}

}  // namespace vesk
