// Tree files: text header plus a binary pre-order box stream.
//
// Boxes are written and read without recursion: a stored tree may be as
// deep as the cursor stacks allow (dim * kDepthPerDim levels, up to 127500),
// and a stream from elsewhere may claim any depth at all, so neither may
// cost machine stack per level.
#include "io/tree_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "io/vec.h"
#include "tree/alloc.h"
#include "tree/walk_step.h"

namespace vesk {

namespace {

// Reads one per-node record: null at end of input or for a 0 byte; any
// other byte starts a box, whose missing sd or flags bytes read as 0.
Box* ReadNode(FILE* in) {
  const int head = std::fgetc(in);
  if (head == EOF || head == 0) return nullptr;
  Box* box = BoxNew();
  const int sd = std::fgetc(in);
  box->sd = sd == EOF ? 0 : static_cast<uint8_t>(sd);
  const int flags = std::fgetc(in);
  box->flags = flags == EOF ? 0 : static_cast<uint8_t>(flags);
  return box;
}

// One box under construction: the next child slot to fill.
struct Pending {
  Box* box;
  int64_t depth;
  int next;  // 0 or 1: child to read next; 2: done
};

enum class StreamStatus { kOk, kTooDeep, kBadSplit };

// Reads a box stream in pre-order, lower child first. With dim > 0 the
// stream is checked for use as a tree of that dimension: no box deeper than
// maxDepth, and every box with a child split along a coordinate below dim.
// On a failed check the boxes read so far are freed and *root is null.
StreamStatus ReadBoxStream(FILE* in, int dim, int64_t maxDepth, Box** root,
                           int64_t* badDepth, unsigned* badSd) {
  *root = ReadNode(in);
  if (*root == nullptr) return StreamStatus::kOk;
  std::vector<Pending> stack{{*root, 0, 0}};
  StreamStatus status = StreamStatus::kOk;
  while (!stack.empty()) {
    Pending* top = &stack.back();
    if (top->next == 2) {
      stack.pop_back();
      continue;
    }
    const int i = top->next++;
    Box* child = ReadNode(in);
    if (child == nullptr) continue;
    top->box->child[i] = child;  // owned from here on, freed with the root
    if (dim > 0) {
      if (top->box->sd >= dim) {
        status = StreamStatus::kBadSplit;
        *badDepth = top->depth;
        *badSd = top->box->sd;
        break;
      }
      if (top->depth + 1 > maxDepth) {
        status = StreamStatus::kTooDeep;
        *badDepth = top->depth + 1;
        break;
      }
    }
    stack.push_back({child, top->depth + 1, 0});
  }
  if (status != StreamStatus::kOk) BoxFree(root);
  return status;
}

}  // namespace

void BoxSave(FILE* out, const Box* box) {
  if (box == nullptr) {
    std::fputc(0, out);
    return;
  }
  std::fputc(box->tag, out);
  std::fputc(box->sd, out);
  std::fputc(box->flags, out);
}

void TreeSaveBox(FILE* out, const Box* box) {
  // Pending nodes, null for a missing child; child 1 is pushed below child 0
  // so that the lower subtree is written first.
  std::vector<const Box*> stack{box};
  while (!stack.empty()) {
    const Box* b = stack.back();
    stack.pop_back();
    BoxSave(out, b);
    if (b == nullptr) continue;
    stack.push_back(b->child[1]);
    stack.push_back(b->child[0]);
  }
}

void RectangleSave(FILE* out, const Rectangle* rect) {
  std::fprintf(out, "Rectangle at %p:\n", static_cast<const void*>(rect));
  if (rect == nullptr) return;
  std::fprintf(out, "  dim = %d\n", rect->dim);
  std::fputs("  center = ", out);
  VecPrint(out, rect->center, rect->dim);
  std::fputs("  radius = ", out);
  VecPrint(out, rect->radius, rect->dim);
}

void TreeSave(FILE* out, Tree* tree) {
  std::fprintf(out, "Tree at %p:\n", static_cast<void*>(tree));
  if (tree == nullptr) return;
  RectangleSave(out, tree->domain);
  std::fprintf(out, "  no of boxes = %d\n", TreeCount(tree->root));
  TreeSaveBox(out, tree->root);
}

Box* BoxLoad(FILE* in) { return ReadNode(in); }

Box* TreeLoadBox(FILE* in) {
  Box* root = nullptr;
  int64_t badDepth = 0;
  unsigned badSd = 0;
  ReadBoxStream(in, 0, 0, &root, &badDepth, &badSd);
  return root;
}

Rectangle* RectangleLoad(FILE* in) {
  void* address = nullptr;
  if (std::fscanf(in, "Rectangle at %p:\n", &address) != 1 || address == nullptr)
    return nullptr;
  long dim = 0;
  if (std::fscanf(in, "  dim = %ld\n", &dim) != 1) {
    std::fputs("error: libvesk: RectangleLoad(): cannot read the dimension.\n",
               stderr);
    return nullptr;
  }
  if (dim < 1 || dim > kMaxDim) {
    std::fprintf(stderr,
                 "error: libvesk: RectangleLoad(): dimension %ld is not in "
                 "1..%d.\n",
                 dim, kMaxDim);
    return nullptr;
  }
  // The labels are matched as far as they go; numbers that fail to scan
  // stay 0, as in any vector read.
  int matched = std::fscanf(in, "  center = ");
  double* center = VecRead(in, static_cast<int>(dim));
  matched = std::fscanf(in, "  radius = ");
  (void)matched;
  double* radius = VecRead(in, static_cast<int>(dim));
  Rectangle* rect = RectangleNew(center, radius, static_cast<uint8_t>(dim));
  std::free(center);
  std::free(radius);
  return rect;
}

namespace {

// TreeLoad, giving the box count the header announces as well.
Tree* LoadTree(FILE* in, long* announced) {
  void* address = nullptr;
  if (std::fscanf(in, "Tree at %p:\n", &address) != 1 || address == nullptr)
    return nullptr;
  Rectangle* rect = RectangleLoad(in);
  if (rect == nullptr) return nullptr;
  long count = 0;
  if (std::fscanf(in, "  no of boxes = %ld\n", &count) != 1) {
    RectangleFree(&rect);
    return nullptr;
  }
  *announced = count;
  Tree* tree = TreeNew(rect);
  if (tree == nullptr) {
    RectangleFree(&rect);
    return nullptr;
  }
  const int dim = tree->domain->dim;
  const int64_t maxDepth = TreeMaxDepth(tree);
  Box* root = nullptr;
  int64_t badDepth = 0;
  unsigned badSd = 0;
  switch (ReadBoxStream(in, dim, maxDepth, &root, &badDepth, &badSd)) {
    case StreamStatus::kOk:
      break;
    case StreamStatus::kTooDeep:
      std::fprintf(stderr,
                   "error: libvesk: TreeLoad(): a box lies at depth %lld, "
                   "deeper than the %lld levels of a %d-dimensional tree.\n",
                   static_cast<long long>(badDepth),
                   static_cast<long long>(maxDepth), dim);
      break;
    case StreamStatus::kBadSplit:
      std::fprintf(stderr,
                   "error: libvesk: TreeLoad(): a box at depth %lld is split "
                   "along coordinate %u of a %d-dimensional tree.\n",
                   static_cast<long long>(badDepth), badSd, dim);
      break;
  }
  if (root == nullptr) {
    TreeFree(&tree);
    RectangleFree(&rect);
    return nullptr;
  }
  BoxFree(&tree->root);
  tree->root = root;

  // Cursor to the root, then down the leftmost path, recording each box's
  // split coordinate in the table. All depths are within the stacks and all
  // inner boxes split along a valid coordinate: the stream was checked.
  TreeReset(tree);
  for (;;) {
    Box* box = tree->box;
    // A leaf's byte is only a leftover; it enters the table only when it is
    // a coordinate of this tree, so that later subdivisions stay in range.
    if (box->sd < dim) tree->sd[tree->depth] = box->sd;
    if (box->child[0] != nullptr) {
      TreeStepDown(tree, 0);
    } else if (box->child[1] != nullptr) {
      TreeStepDown(tree, 1);
    } else {
      break;
    }
  }
  RectangleFree(&rect);
  return tree;
}

}  // namespace

Tree* TreeLoad(FILE* in) {
  long announced = 0;  // informative only: never compared with the stream
  return LoadTree(in, &announced);
}

FILE* TreeFileOpen(const char* path, char* why, size_t whySize, int* notRegular) {
  if (notRegular) *notRegular = 0;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    std::snprintf(why, whySize, "cannot open %s for reading: %s", path, std::strerror(errno));
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    std::snprintf(why, whySize, "cannot read %s: %s", path, std::strerror(errno));
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    if (notRegular) *notRegular = 1;
    std::snprintf(why, whySize,
                  S_ISDIR(st.st_mode) ? "%s is a directory, not a tree file"
                                      : "%s is not a regular file (a device or a pipe is not read)",
                  path);
    close(fd);
    return nullptr;
  }
  // Reads of a regular file never wait; blocking mode all the same.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* in = fdopen(fd, "rb");
  if (!in) {
    std::snprintf(why, whySize, "cannot read %s: %s", path, std::strerror(errno));
    close(fd);
  }
  return in;
}

Tree* TreeFileLoad(FILE* in, const char* name, char* why, size_t whySize) {
  const int first = std::fgetc(in);
  if (first == EOF) {
    std::snprintf(why, whySize, "%s is empty: not a tree file", name);
    return nullptr;
  }
  std::ungetc(first, in);
  long announced = -1;
  Tree* tree = LoadTree(in, &announced);
  if (tree == nullptr) {
    std::snprintf(why, whySize,
                  "%s is not a tree file, or its header is damaged (it must start with "
                  "\"Tree at\", a rectangle block and the box count)",
                  name);
    return nullptr;
  }
  // A whole stream ends with its last byte; a reader that ran into the end
  // of the input was missing bytes, even where they would read as 0.
  if (std::feof(in)) {
    std::snprintf(why, whySize, "%s: the box stream ends early: the file is truncated or damaged",
                  name);
    TreeFree(&tree);
    return nullptr;
  }
  const int held = TreeCount(tree->root);
  if (announced != held) {
    std::snprintf(why, whySize,
                  "%s: the header announces %ld boxes but the box stream holds %d: the file "
                  "is truncated or damaged",
                  name, announced, held);
    TreeFree(&tree);
    return nullptr;
  }
  // Count what follows, up to a bound: a stream may never end.
  constexpr long kCounted = 1 << 20;
  long extra = 0;
  while (extra <= kCounted && std::fgetc(in) != EOF) ++extra;
  if (extra > kCounted) {
    std::snprintf(why, whySize, "%s: more than %ld bytes follow the box stream: the file is "
                  "damaged", name, kCounted);
    TreeFree(&tree);
    return nullptr;
  }
  if (extra > 0) {
    std::snprintf(why, whySize, "%s: %ld bytes follow the box stream: the file is damaged",
                  name, extra);
    TreeFree(&tree);
    return nullptr;
  }
  char domainWhy[200];
  if (!RectangleCheck(tree->domain, domainWhy, sizeof domainWhy)) {
    std::snprintf(why, whySize, "%s: unusable domain: %s", name, domainWhy);
    TreeFree(&tree);
    return nullptr;
  }
  return tree;
}

Iter* IterNew(const Rectangle* domain) {
  Iter* iter = static_cast<Iter*>(VeskCalloc(1, sizeof(Iter)));
  iter->tree = TreeNew(domain);
  iter->copy = TreeCopy(iter->tree);
  return iter;
}

void IterFree(Iter** link) {
  if (link == nullptr || *link == nullptr) return;
  Iter* iter = *link;
  TreeFree(&iter->copy);
  TreeFree(&iter->tree);
  std::free(iter);
  *link = nullptr;
}

void IterSave(FILE* out, const Iter* iter) {
  if (iter == nullptr) return;
  TreeSave(out, iter->tree);
}

}  // namespace vesk
