// A small demonstration of the box tree: build a 4-dimensional tree,
// subdivide it a few times, walk it and report counts and memory per box.
#include <cstdio>
#include <sys/resource.h>

#include "tree/tree.h"

int main() {
  using namespace vesk;
  const double center[4] = {0.0, 0.0, 0.0, 0.0};
  const double radius[4] = {3.0, 3.0, 2.0, 2.0};
  Rectangle* domain = RectangleNew(center, radius, 4);
  Tree* tree = TreeNew(domain);
  RectangleFree(&domain);

  std::printf("4-dimensional tree over [-3,3]^2 x [-2,2]^2\n");
  std::printf("%6s %10s %10s %12s\n", "depth", "leaves", "boxes", "volume");
  for (int pass = 0; pass <= 16; ++pass) {
    if (pass > 0) TreeSubdivideAll(tree);
    // Walk the leaves and add up their volumes: the leaves tile the domain.
    int leaves = 0;
    double volume = 0.0;
    if (TreeFirstBox(tree, -1)) {
      do {
        double v = 1.0;
        for (int i = 0; i < 4; ++i) v *= 2.0 * tree->r[i];
        volume += v;
        ++leaves;
      } while (TreeNextBox(tree, -1));
    }
    if (pass % 4 == 0)
      std::printf("%6d %10d %10d %12g\n", TreeDepth(tree->root), leaves,
                  TreeCount(tree->root), volume);
  }
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  const int boxes = TreeCount(tree->root);
  std::printf("sizeof(Box) = %zu bytes; peak resident memory %.1f MiB, "
              "%.1f bytes per box\n",
              sizeof(Box), usage.ru_maxrss / 1024.0,
              usage.ru_maxrss * 1024.0 / boxes);
  TreeFree(&tree);
  return 0;
}
