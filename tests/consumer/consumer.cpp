// A program built against an installed vesk: it proves the horseshoe
// a in [5.9, 6.1], b in [0.29, 0.31] hyperbolic in once mode at depth 12,
// as `vesk verify --a 5.9,6.1 --b 0.29,0.31 --once --depth0 12` does.
// Prints the result (1 when hyperbolic) and exits 0 only for 1.
#include <cmath>
#include <cstdio>
#include <vesk/gateway/driver.h>
#include <vesk/tree/rectangle.h>
#include <vesk/tree/tree.h>
#include <vesk/version.h>

int main() {
  using namespace vesk;
  // x, y in 0 +- 3.25 (the square of bounded orbits); u, v in 0 +- 2.
  const double center[4] = {0.0, 0.0, 0.0, 0.0};
  const double radius[4] = {3.25, 3.25, 2.0, 2.0};
  Rectangle* domain = RectangleNew(center, radius, 4);
  Tree* tree = TreeNew(domain);
  RectangleFree(&domain);
  const int depth = 12;
  for (int d = 0; d < depth; ++d) TreeSubdivideAll(tree);

  // The decimal ends enclosed outward by doubles.
  const double lo[2] = {std::nextafter(5.9, 0.0), std::nextafter(0.29, 0.0)};
  const double hi[2] = {std::nextafter(6.1, 7.0), std::nextafter(0.31, 1.0)};
  char why[1024];
  if (VerifyCheckInput(tree, lo, hi, depth, why, sizeof why) != kInputOk) {
    std::fprintf(stderr, "vesk_consumer: %s\n", why);
    TreeFree(&tree);
    return 2;
  }
  VerifyOptions options{};
  options.once = 1;
  options.maxDepth = -1;
  options.firstPass = 1;
  VerifyHooks hooks{};
  double value = -1.0;
  VerifyHyperbolic(tree, lo, hi, &options, &hooks, &value);
  TreeFree(&tree);
  std::printf("vesk %s, once mode at depth %d: %g\n", VESK_VERSION, depth, value);
  return value == 1.0 ? 0 : 1;
}
