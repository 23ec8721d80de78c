// Fuzz target for the tree file reader: whatever the bytes, TreeLoad must
// return null or a tree that every walk, the box search and the writer can
// handle, and that reads back as the same boxes. The checked loader accepts
// no more than TreeLoad, and the input check of the verification gives a
// verdict with a reason on every tree, which once mode can then run on.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "gateway/driver.h"
#include "io/sparse_vector.h"
#include "io/tree_file.h"
#include "tree/search.h"
#include "tree/tree.h"

using namespace vesk;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_tree_load: %s\n", what);
  std::abort();
}

// The box stream of a subtree, in a malloc'd buffer.
char* SaveBoxes(const Box* box, size_t* len) {
  char* buf = nullptr;
  FILE* out = open_memstream(&buf, len);
  TreeSaveBox(out, box);
  std::fclose(out);
  return buf;
}

// Numbers the leaves and checks that an unbounded query finds every one of
// them, in walk order.
void SearchAll(Tree* tree) {
  const int dim = tree->domain->dim;
  const int leaves = TreeCountDepth(tree, -1);
  double* lower = static_cast<double*>(std::malloc(sizeof(double) * dim));
  double* upper = static_cast<double*>(std::malloc(sizeof(double) * dim));
  for (int i = 0; i < dim; ++i) {
    lower[i] = -INFINITY;
    upper[i] = INFINITY;
  }
  SparseVector* hits = SparseVectorNew(dim, 16);
  TreeReset(tree);
  TreeSearchBoxRec(tree, lower, upper, -1, hits);
  if (hits->count != leaves) Fail("search missed leaves");
  for (int i = 0; i < hits->count; ++i)
    if (hits->index[i] != i) Fail("search order");
  SparseVectorFree(&hits);
  std::free(lower);
  std::free(upper);
}

void Exercise(Tree* tree) {
  const int64_t maxDepth = TreeMaxDepth(tree);

  // The loader leaves the cursor on the first leaf with a valid path: the
  // walk over the leaves can go on from there.
  int leaves = 1;
  while (TreeNextBox(tree, -1)) ++leaves;
  if (leaves != TreeCountDepth(tree, -1)) Fail("walk from the loaded cursor");

  // Walks at every kind of selector end and stay within the limit.
  const int height = TreeDepth(tree->root);
  if (height > maxDepth) Fail("tree deeper than the limit");
  for (int d : {-2, 0, height / 2, height}) {
    if (!TreeFirstBox(tree, d)) continue;
    do {
      if (d >= 0 && tree->depth != d) Fail("walk depth");
    } while (TreeNextBox(tree, d));
  }
  SearchAll(tree);

  // Written and read back, the boxes stay the same.
  size_t len1 = 0, len2 = 0;
  char* first = SaveBoxes(tree->root, &len1);
  FILE* in = fmemopen(first, len1, "rb");
  Box* again = TreeLoadBox(in);
  std::fclose(in);
  char* second = SaveBoxes(again, &len2);
  if (len1 != len2 || std::memcmp(first, second, len1) != 0) Fail("box stream round trip");
  BoxFree(&again);
  std::free(first);
  std::free(second);

  // The rebuilt split table only holds coordinates of the tree: one more
  // level of subdivision, then the walks and the search again.
  if (TreeCount(tree->root) < 4096) {
    TreeSubdivideAll(tree);
    SearchAll(tree);
  }
}

// The input check on a loaded tree, with a parameter box whose orbit square
// fits small domains; once mode on what it accepts.
void CheckInput(Tree* tree) {
  const double lo[2] = {0.25, 0.125}, hi[2] = {0.5, 0.25};
  char why[1024];
  const int height = TreeDepth(tree->root);
  const VerifyInputStatus status = VerifyCheckInput(tree, lo, hi, height, why, sizeof why);
  if (status != kInputOk && why[0] == '\0') Fail("refusal without a reason");
  if (status == kInputOk && TreeCount(tree->root) < 512) {
    const VerifyOptions once{1, -1, 1, 0, 1};
    double value = -1.0;
    VerifyHyperbolic(tree, lo, hi, &once, nullptr, &value);
    if (value != 0.0 && value != 1.0) Fail("once mode result");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen wants a buffer
  // fmemopen may not write into the buffer in "rb" mode, but it takes a
  // non-const pointer: hand it a private copy.
  char* copy = static_cast<char*>(std::malloc(size));
  std::memcpy(copy, data, size);
  FILE* in = fmemopen(copy, size, "rb");
  if (in != nullptr) {
    Tree* tree = TreeLoad(in);
    std::fclose(in);
    in = fmemopen(copy, size, "rb");
    char why[1024];
    Tree* checked = in ? TreeFileLoad(in, "fuzz", why, sizeof why) : nullptr;
    if (in) std::fclose(in);
    if (checked != nullptr) {
      if (tree == nullptr || TreeCount(tree->root) != TreeCount(checked->root))
        Fail("the checked loader took what TreeLoad refused");
      CheckInput(checked);
      TreeFree(&checked);
    }
    if (tree != nullptr) {
      CheckInput(tree);
      Exercise(tree);
      TreeFree(&tree);
    }
  }
  std::free(copy);
  return 0;
}
