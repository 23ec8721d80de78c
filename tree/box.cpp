#include "tree/box.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

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
// Boxes come from slabs of 64 KiB, aligned to their size, so that a box
// finds its slab from its address. A thread keeps the boxes it frees for
// its next BoxNew (a pass frees about as many boxes as the next subdivision
// makes); when it holds kKeptBoxes it hands the older half back to the
// pool, and when it ends, all. The pool hands out boxes in batches and
// gives a slab back to the system as soon as all its boxes are back, so
// that a large pruning returns its memory. (Left out under
// AddressSanitizer, which should see every box freed.)
constexpr size_t kSlabBytes = size_t{1} << 16;
constexpr size_t kKeptBoxes = size_t{1} << 14;
constexpr size_t kBatch = 512;

struct Slab {
  Slab* prev;      // in the pool's list of slabs that have boxes in the pool
  Slab* next;
  Box* free;       // boxes handed back to the pool, linked through child[1]
  uint32_t fresh;  // boxes fresh..kSlabBoxes-1 were never handed out
  uint32_t inPool; // boxes in the pool: the free ones and the fresh ones
};
constexpr size_t kHeadSlots = (sizeof(Slab) + sizeof(Box) - 1) / sizeof(Box);
constexpr size_t kSlabBoxes = kSlabBytes / sizeof(Box) - kHeadSlots;

inline Slab* SlabOf(const Box* box) {
  return reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(box) & ~(kSlabBytes - 1));
}

struct Pool {
  std::mutex mutex;
  Slab* open = nullptr;  // slabs with boxes in the pool

  void Link(Slab* s) {
    s->prev = nullptr;
    s->next = open;
    if (open) open->prev = s;
    open = s;
  }
  void Unlink(Slab* s) {
    if (s->prev) s->prev->next = s->next;
    else open = s->next;
    if (s->next) s->next->prev = s->prev;
  }

  // Takes back n boxes linked through child[1].
  void Put(Box* list, size_t n) {
    std::lock_guard<std::mutex> lock(mutex);
    while (n-- > 0) {
      Box* box = list;
      list = box->child[1];
      Slab* s = SlabOf(box);
      box->child[1] = s->free;
      s->free = box;
      if (s->inPool++ == 0) Link(s);
      if (s->inPool == kSlabBoxes) {
        Unlink(s);
        std::free(s);
      }
    }
  }

  // Up to kBatch boxes: some linked through child[1] (their count in
  // *listed), then a run of fresh ones from `*fresh` on (their count in
  // *freshCount). A new slab is made when the pool has none; fresh boxes
  // are first written by the thread that takes them, outside the lock.
  Box* Take(size_t* listed, Box** fresh, size_t* freshCount) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!open) {
      void* p = std::aligned_alloc(kSlabBytes, kSlabBytes);
      if (!p) throw std::bad_alloc();
      Slab* s = static_cast<Slab*>(p);
      s->free = nullptr;
      s->fresh = 0;
      s->inPool = static_cast<uint32_t>(kSlabBoxes);
      Link(s);
    }
    Box* head = nullptr;
    size_t taken = 0;
    *fresh = nullptr;
    *freshCount = 0;
    while (open && taken < kBatch) {
      Slab* s = open;
      while (s->free && taken < kBatch) {
        Box* box = s->free;
        s->free = box->child[1];
        box->child[1] = head;
        head = box;
        ++taken;
        --s->inPool;
      }
      *listed = taken;
      if (taken < kBatch && s->fresh < kSlabBoxes) {
        const size_t m = std::min(kBatch - taken, kSlabBoxes - s->fresh);
        *fresh = reinterpret_cast<Box*>(s) + kHeadSlots + s->fresh;
        *freshCount = m;
        s->fresh += static_cast<uint32_t>(m);
        s->inPool -= static_cast<uint32_t>(m);
      }
      if (s->inPool == 0) Unlink(s);
      if (*fresh) break;
    }
    *listed = taken;
    return head;
  }
};

// Never destroyed: threads may hand their boxes back while the program ends.
Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

struct BoxCache {
  Box* head = nullptr;  // boxes freed here, linked through child[1]
  size_t count = 0;
  Box* fresh = nullptr;  // boxes never used, taken from the pool
  size_t freshLeft = 0;
  ~BoxCache() {
    for (; freshLeft > 0; --freshLeft, ++fresh) {
      fresh->child[1] = head;
      head = fresh;
      ++count;
    }
    if (head) ThePool().Put(head, count);
  }
};

thread_local BoxCache tCache;
#endif

inline void Release(Box* box) {
#if VESK_BOX_CACHE
  BoxCache& cache = tCache;
  box->child[1] = cache.head;
  cache.head = box;
  if (++cache.count == kKeptBoxes) {
    // The older half goes back to the pool.
    Box* keep = cache.head;
    for (size_t i = 1; i < kKeptBoxes / 2; ++i) keep = keep->child[1];
    Box* back = keep->child[1];
    keep->child[1] = nullptr;
    cache.count = kKeptBoxes / 2;
    ThePool().Put(back, kKeptBoxes - kKeptBoxes / 2);
  }
#else
  std::free(box);
#endif
}

}  // namespace

Box* BoxNew() {
#if VESK_BOX_CACHE
  BoxCache& cache = tCache;
  Box* box;
  if (cache.head) {
    box = cache.head;
    cache.head = box->child[1];
    --cache.count;
  } else {
    if (cache.freshLeft == 0) cache.head = ThePool().Take(&cache.count, &cache.fresh, &cache.freshLeft);
    if (cache.freshLeft > 0) {
      box = cache.fresh++;
      --cache.freshLeft;
    } else {
      box = cache.head;
      cache.head = box->child[1];
      --cache.count;
    }
  }
#else
  Box* box = static_cast<Box*>(VeskMalloc(sizeof(Box)));
#endif
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
