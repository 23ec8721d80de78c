// Tree editing, flags and counts.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tree/tree.h"
#include "tree/walk_step.h"

namespace vesk {

namespace {

// One level of an insertion: the cursor steps into the child of its box on
// the point's side, made with newMask when missing (a leaf box first takes
// its split coordinate from the table), given pathMask when it existed.
// Returns whether the child was made.
inline bool InsertStep(Tree* tree, const double* point, uint8_t newMask, uint8_t pathMask) {
  Box* box = tree->box;
  if (BoxIsLeaf(box)) box->sd = tree->sd[tree->depth];
  const int k = box->sd;
  const int side = point[k] > tree->c[k] ? 1 : 0;
  const bool existed = box->child[side] != nullptr;
  if (!existed) {
    box->child[side] = BoxNew();
    box->child[side]->flags = static_cast<uint8_t>(box->child[side]->flags | newMask);
  }
  TreeStepDown(tree, side);
  if (existed) tree->box->flags = static_cast<uint8_t>(tree->box->flags | pathMask);
  return !existed;
}

}  // namespace

// Creates the path to point. Depth >= 0 completes the path down to that
// depth; -1 follows existing children to the first leaf and creates at most
// one box. Boxes entered below the root get newMask when created here and
// pathMask when they existed. A depth outside -1..TreeMaxDepth is refused
// with -2: any other negative depth need not stop, and a deeper one would
// write past the cursor stacks.
int TreeInsert(Tree* tree, const double* point, int depth, uint8_t newMask,
               uint8_t pathMask) {
  const int64_t maxDepth = TreeMaxDepth(tree);
  if (depth < -1 || depth > maxDepth) {
    std::fprintf(stderr,
                 "warning: libvesk: TreeInsert(): depth %d is outside -1..%lld; "
                 "nothing inserted.\n",
                 depth, static_cast<long long>(maxDepth));
    return -2;
  }
  if (!RectangleContains(tree->domain, point)) return -1;
  TreeReset(tree);
  int result = 0;
  for (;;) {
    Box* box = tree->box;
    const bool stop = depth >= 0 ? tree->depth == depth : BoxDepth(box) == depth;
    if (stop) return result;
    if (tree->depth >= maxDepth) {
      // Only a tree built around the library can get here: its boxes
      // already reach the limit and a child would lie below it.
      std::fputs("warning: libvesk: TreeInsert(): depth limit reached.\n", stderr);
      return result;
    }
    if (InsertStep(tree, point, newMask, pathMask)) result = 1;
  }
}

void TreeInsertPoints(Tree* tree, const double* points, size_t count, int depth,
                      uint8_t newMask, uint8_t pathMask) {
  const int dim = tree->domain->dim;
  if (depth < 0 || depth > TreeMaxDepth(tree)) {
    // Leaf by leaf, or refused with TreeInsert's warning for each point.
    for (size_t i = 0; i < count; ++i)
      TreeInsert(tree, points + i * static_cast<size_t>(dim), depth, newMask, pathMask);
    return;
  }
  bool onPath = false;  // the cursor is on the path of the last point inserted
  for (size_t i = 0; i < count; ++i) {
    const double* point = points + i * static_cast<size_t>(dim);
    if (!RectangleContains(tree->domain, point)) continue;
    if (!onPath) {
      TreeReset(tree);
      onPath = true;
    }
    // The depth down to which this point takes the last one's path: the
    // side of each box's saved center it lies on is the child taken.
    int64_t keep = 0;
    while (keep < tree->depth &&
           (point[tree->boxStack[keep]->sd] > tree->cStack[keep] ? 1 : 0) ==
               tree->childStack[keep])
      ++keep;
    // Climbing restores the centers and radii bit for bit.
    while (tree->depth > keep) {
      const int64_t d = tree->depth - 1;
      Box* up = tree->boxStack[d];
      tree->c[up->sd] = tree->cStack[d];
      tree->r[up->sd] = tree->rStack[d];
      tree->box = up;
      tree->depth = d;
    }
    // TreeInsert would enter the boxes kept as boxes that exist. Each has
    // pathMask already, or newMask: pathMask is added unless within it.
    if (pathMask & ~newMask) {
      for (int64_t d = 1; d < keep; ++d)
        tree->boxStack[d]->flags = static_cast<uint8_t>(tree->boxStack[d]->flags | pathMask);
      if (keep > 0) tree->box->flags = static_cast<uint8_t>(tree->box->flags | pathMask);
    }
    // From here on as TreeInsert goes; depth <= TreeMaxDepth, so the
    // depth is reached before the limit.
    while (tree->depth < depth) InsertStep(tree, point, newMask, pathMask);
  }
}

namespace {

// Subdivides the leaves that pass `want`; leaves at the depth limit are
// refused and reported once.
template <typename Want>
int SubdivideLeaves(Tree* tree, Want want, const char* caller) {
  const int64_t maxDepth = TreeMaxDepth(tree);
  int count = 0;
  long long refused = 0;
  if (TreeFirstBox(tree, -1)) {
    do {
      Box* box = tree->box;
      if (!want(box)) continue;
      if (tree->depth >= maxDepth) {
        ++refused;
        continue;
      }
      count += BoxSubdivide(box, tree->sd[tree->depth]);
    } while (TreeNextBox(tree, -1));
  }
  if (refused)
    std::fprintf(stderr,
                 "warning: libvesk: %s(): %lld leaves at the depth limit %lld "
                 "were not subdivided.\n",
                 caller, refused, static_cast<long long>(maxDepth));
  return count;
}

}  // namespace

int TreeSubdivide(Tree* tree, uint8_t mask) {
  return SubdivideLeaves(tree, [mask](const Box* b) { return (b->flags & mask) != 0; },
                         "TreeSubdivide");
}

void TreeSubdivideAll(Tree* tree) {
  SubdivideLeaves(tree, [](const Box*) { return true; }, "TreeSubdivideAll");
}

int TreeUnsubdivide(Tree* tree, uint8_t mask) {
  int count = 0;
  if (TreeFirstBox(tree, -2)) {
    do {
      if (tree->box->flags & mask) count += BoxUnsubdivide(tree->box);
    } while (TreeNextBox(tree, -2));
  }
  return count;
}

// Post-order over the subtree with an explicit stack, so that the depth of
// the tree does not bound the machine stack.
int TreeRemove(Box* box, uint8_t mask) {
  if (!box) return 0;
  const auto leafGoes = [mask](const Box* b) { return (b->flags & mask) != mask; };
  if (BoxIsLeaf(box)) return leafGoes(box);

  struct Frame {
    Box* box;
    int next;  // next child to look at; 2 when both are done
  };
  // The frames lie on the machine stack up to kLocal deep, which covers
  // the units the analyses prune in every pass, and in a vector beyond:
  // nothing is allocated for the usual depths.
  constexpr size_t kLocal = 64;
  Frame local[kLocal];
  std::vector<Frame> deep;
  Frame* stack = local;
  size_t capacity = kLocal, size = 0;
  auto push = [&](Frame f) {
    if (size == capacity) {
      deep.resize(2 * capacity);
      if (stack == local) std::copy(local, local + size, deep.begin());
      stack = deep.data();
      capacity = deep.size();
    }
    stack[size++] = f;
  };
  push({box, 0});
  int result = 0;
  while (size > 0) {
    Frame& top = stack[size - 1];
    if (top.next < 2) {
      const int i = top.next++;
      Box* child = top.box->child[i];
      if (!child) continue;
      if (BoxIsLeaf(child)) {
        if (leafGoes(child)) BoxFree(&top.box->child[i]);
      } else {
        // The lower child is looked at next, the upper one after the lower
        // one's subtree: their loads overlap what comes before.
        if (child->child[0]) __builtin_prefetch(child->child[0]);
        if (child->child[1]) __builtin_prefetch(child->child[1]);
        push({child, 0});
      }
      continue;
    }
    // Every box on the stack had a child on entry.
    Box* b = top.box;
    int goes = 0;
    if (BoxIsLeaf(b)) {
      b->flags = static_cast<uint8_t>(b->flags & static_cast<uint8_t>(~mask));
      goes = (b->flags & mask) != mask;
    }
    --size;
    if (size == 0) {
      result = goes;
    } else if (goes) {
      Frame& parent = stack[size - 1];
      BoxFree(&parent.box->child[parent.next - 1]);
    }
  }
  return result;
}

void TreeDeleteDepth(Tree* tree, int depth) {
  // Like the walking cases, leave the cursor on the root: it may have been
  // on one of the boxes freed here.
  if (depth == 0) {
    TreeReset(tree);
    BoxFree(&tree->root->child[0]);
    BoxFree(&tree->root->child[1]);
    return;
  }
  if (depth < -2) {  // depth - 1 selects nothing
    TreeReset(tree);
    return;
  }
  const int walk = depth - 1;
  if (TreeFirstBox(tree, walk)) {
    do {
      BoxFree(&tree->box->child[0]);
      BoxFree(&tree->box->child[1]);
    } while (TreeNextBox(tree, walk));
  }
}

namespace {

// Applies action to the boxes of a walk that a choice string selects: "all"
// selects every box, otherwise character i selects box i when it is '1'.
// Reading stops at the string's end: boxes past it are not selected.
template <typename Action>
void ForChosen(Tree* tree, int depth, const char* choice, Action action) {
  const bool all = choice && std::strcmp(choice, "all") == 0;
  const char* pos = choice;
  if (!TreeFirstBox(tree, depth)) return;
  do {
    if (all) {
      action(tree->box);
    } else if (pos && *pos) {
      if (*pos == '1') action(tree->box);
      ++pos;
    }
  } while (TreeNextBox(tree, depth));
}

template <typename Action>
void ForEach(Tree* tree, int depth, Action action) {
  if (!TreeFirstBox(tree, depth)) return;
  do action(tree->box);
  while (TreeNextBox(tree, depth));
}

}  // namespace

void TreeSetFlags(Tree* tree, int depth, const char* choice, uint8_t mask) {
  ForChosen(tree, depth, choice, [mask](Box* b) { BoxSetFlag(b, mask); });
}

void TreeUnsetFlags(Tree* tree, int depth, const char* choice, uint8_t mask) {
  ForChosen(tree, depth, choice, [mask](Box* b) { BoxUnsetFlag(b, mask); });
}

void TreeChangeFlags(Tree* tree, int depth, const char* choice, uint8_t mask,
                     uint8_t bits) {
  ForChosen(tree, depth, choice, [mask, bits](Box* b) { BoxChangeFlag(b, mask, bits); });
}

void TreeGetFlags(Tree* tree, int depth, unsigned char* flags) {
  ForEach(tree, depth, [&flags](Box* b) { *flags++ = BoxGetFlags(b); });
}

void TreeSetFlagsAll(Tree* tree, int depth, uint8_t mask) {
  ForEach(tree, depth, [mask](Box* b) { BoxSetFlag(b, mask); });
}

void TreeUnsetFlagsAll(Tree* tree, int depth, uint8_t mask) {
  ForEach(tree, depth, [mask](Box* b) { BoxUnsetFlag(b, mask); });
}

void TreeSetFlagsVect(Tree* tree, int depth, const unsigned char* vect, uint8_t mask) {
  ForEach(tree, depth, [&vect, mask](Box* b) {
    if (*vect++) BoxSetFlag(b, mask);
    else BoxUnsetFlag(b, mask);
  });
}

int TreeCount(const Box* box) {
  if (!box) return 0;
  std::vector<const Box*> stack{box};
  int count = 0;
  while (!stack.empty()) {
    const Box* b = stack.back();
    stack.pop_back();
    ++count;
    if (b->child[1]) stack.push_back(b->child[1]);
    if (b->child[0]) stack.push_back(b->child[0]);
  }
  return count;
}

int TreeCountDepth(Tree* tree, int depth) {
  int count = 0;
  ForEach(tree, depth, [&count](Box* b) { b->no = count++; });
  return count;
}

int TreeDepth(const Box* box) {
  if (!box) return -1;
  struct Item {
    const Box* box;
    int depth;
  };
  std::vector<Item> stack{{box, 0}};
  int height = 0;
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (item.depth > height) height = item.depth;
    if (item.box->child[1]) stack.push_back({item.box->child[1], item.depth + 1});
    if (item.box->child[0]) stack.push_back({item.box->child[0], item.depth + 1});
  }
  return height;
}

}  // namespace vesk
