#include "tree/box.h"

#include <cstdio>
#include <cstdlib>

#include "tree/alloc.h"

namespace vesk {

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define VESK_BOX_CACHE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESK_BOX_CACHE 0
#endif
#endif
#ifndef VESK_BOX_CACHE
#define VESK_BOX_CACHE 1
#endif

#if VESK_BOX_CACHE
// Boxes freed by a thread, kept for its next BoxNew: a verification pass
// frees about as many boxes as the next subdivision creates, and a round
// trip through the allocator costs several times what the box itself
// does. Bounded, so that a large pruning gives most of its memory back;
// the blocks are the allocator's own, freed when the thread ends. (Left
// out under AddressSanitizer, which should see every box freed.)
constexpr size_t kKeptBoxes = size_t{1} << 16;

struct BoxCache {
  Box* head = nullptr;  // linked through child[1]
  size_t count = 0;
  ~BoxCache() {
    while (head) {
      Box* next = head->child[1];
      std::free(head);
      head = next;
    }
  }
};

thread_local BoxCache tCache;
#endif

inline void Release(Box* box) {
#if VESK_BOX_CACHE
  BoxCache& cache = tCache;
  if (cache.count < kKeptBoxes) {
    box->child[1] = cache.head;
    cache.head = box;
    ++cache.count;
    return;
  }
#endif
  std::free(box);
}

}  // namespace

Box* BoxNew() {
#if VESK_BOX_CACHE
  BoxCache& cache = tCache;
  if (Box* box = cache.head) {
    cache.head = box->child[1];
    --cache.count;
    *box = Box{};
    box->tag = 1;
    box->no = -1;
    return box;
  }
#endif
  Box* box = static_cast<Box*>(VeskMalloc(sizeof(Box)));
  *box = Box{};
  box->tag = 1;
  box->no = -1;
  return box;
}

void BoxFree(Box** link) {
  if (!link || !*link) return;
  // Rotate lower children up until the current box has none, then free it
  // and continue with its upper child. Every box is freed exactly once and
  // no stack is needed, whatever the depth of the subtree.
  Box* cur = *link;
  while (cur) {
    Box* lower = cur->child[0];
    if (lower) {
      cur->child[0] = lower->child[1];
      lower->child[1] = cur;
      cur = lower;
    } else {
      Box* upper = cur->child[1];
      Release(cur);
      cur = upper;
    }
  }
  *link = nullptr;
}

int BoxNoOfChildren(const Box* box) {
  if (!box) return 0;
  return (box->child[0] != nullptr) + (box->child[1] != nullptr);
}

int BoxSubdivide(Box* box, uint8_t sd) {
  if (!box) return 0;
  if (box->child[0] || box->child[1]) {
    std::fputs("warning: libvesk: BoxSubdivide(): box is no leaf.\n", stderr);
    return 0;
  }
  box->child[0] = BoxNew();
  box->child[1] = BoxNew();
  box->sd = sd;
  return 1;
}

int BoxUnsubdivide(Box* box) {
  if (!box || (!box->child[0] && !box->child[1])) return 0;
  BoxFree(&box->child[0]);
  BoxFree(&box->child[1]);
  return 1;
}

void BoxSetFlag(Box* box, uint8_t mask) {
  if (box) box->flags = static_cast<uint8_t>(box->flags | mask);
}

void BoxUnsetFlag(Box* box, uint8_t mask) {
  if (box) box->flags = static_cast<uint8_t>(box->flags & static_cast<uint8_t>(~mask));
}

void BoxChangeFlag(Box* box, uint8_t mask, uint8_t bits) {
  if (box && (box->flags & mask))
    box->flags = static_cast<uint8_t>((box->flags & static_cast<uint8_t>(~mask)) | bits);
}

uint8_t BoxGetFlags(const Box* box) {
  if (!box) {
    std::fputs("error: libvesk: BoxGetFlags called with invalid argument.", stderr);
    return 0;
  }
  return box->flags;
}

int BoxDepth(const Box* box) {
  if (!box) return 0;
  const Box* lower = box->child[0];
  const Box* upper = box->child[1];
  if (!lower && !upper) return -1;
  if (lower && (lower->child[0] || lower->child[1])) return 0;
  if (upper && (upper->child[0] || upper->child[1])) return 0;
  return -2;
}

}  // namespace vesk
