// Tree records: creation, copies sharing the boxes, release, cursor reset.
#include "tree/tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tree/alloc.h"

namespace vesk {

int64_t TreeMaxDepth(const Tree* tree) {
  return static_cast<int64_t>(tree->domain->dim) * kDepthPerDim;
}

namespace {

// Allocates the holder's own cursor arrays for a domain of dim coordinates
// and puts the cursor on the root.
void AllocCursor(Tree* tree, int dim) {
  const size_t levels = static_cast<size_t>(dim) * kDepthPerDim;
  tree->c = static_cast<double*>(VeskCalloc(dim, sizeof(double)));
  tree->r = static_cast<double*>(VeskCalloc(dim, sizeof(double)));
  tree->cStack = static_cast<double*>(VeskCalloc(levels, sizeof(double)));
  tree->rStack = static_cast<double*>(VeskCalloc(levels, sizeof(double)));
  tree->boxStack = static_cast<Box**>(VeskCalloc(levels, sizeof(Box*)));
  tree->childStack = static_cast<int32_t*>(VeskCalloc(levels, sizeof(int32_t)));
  TreeReset(tree);
}

}  // namespace

Tree* TreeNew(const Rectangle* domain) {
  if (!domain) {
    std::fputs("error: libvesk: TreeNew(): no domain given.\n", stderr);
    return nullptr;
  }
  const int dim = domain->dim;
  if (dim < 1 || dim > kMaxDim) {
    std::fprintf(stderr,
                 "error: libvesk: TreeNew(): domain dimension %d is outside 1..%d.\n",
                 dim, kMaxDim);
    return nullptr;
  }
  Tree* tree = static_cast<Tree*>(VeskCalloc(1, sizeof(Tree)));
  tree->domain = RectangleNew(domain->center, domain->radius, static_cast<uint8_t>(dim));
  tree->root = BoxNew();
  tree->refCount = static_cast<int32_t*>(VeskMalloc(sizeof(int32_t)));
  *tree->refCount = 1;
  const size_t entries = static_cast<size_t>(dim) * kDepthPerDim + 1;
  tree->sd = static_cast<uint8_t*>(VeskMalloc(entries));
  for (size_t i = 0; i < entries; ++i) tree->sd[i] = static_cast<uint8_t>(i % dim);
  AllocCursor(tree, dim);
  return tree;
}

Tree* TreeCopy(Tree* source) {
  if (!source) return nullptr;
  Tree* tree = static_cast<Tree*>(VeskCalloc(1, sizeof(Tree)));
  tree->domain = source->domain;
  tree->root = source->root;
  tree->sd = source->sd;
  tree->refCount = source->refCount;
  ++*tree->refCount;
  AllocCursor(tree, source->domain->dim);
  return tree;
}

void TreeFree(Tree** link) {
  if (!link || !*link) return;
  Tree* tree = *link;
  std::free(tree->childStack);
  std::free(tree->boxStack);
  std::free(tree->rStack);
  std::free(tree->cStack);
  std::free(tree->r);
  std::free(tree->c);
  if (--*tree->refCount == 0) {
    BoxFree(&tree->root);
    RectangleFree(&tree->domain);
    std::free(tree->sd);
    std::free(tree->refCount);
  }
  std::free(tree);
  *link = nullptr;
}

void TreeReset(Tree* tree) {
  tree->box = tree->root;
  const int dim = tree->domain->dim;
  if (dim > 0) {
    std::memcpy(tree->c, tree->domain->center, dim * sizeof(double));
    std::memcpy(tree->r, tree->domain->radius, dim * sizeof(double));
  }
  tree->depth = 0;
}

}  // namespace vesk
