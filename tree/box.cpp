#include "tree/box.h"

#include <algorithm>
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
// Boxes come from slabs of 32 KiB, aligned to their size, so that a box
// finds its slab from its address. (Small enough for the C library to cut
// them from its heap: a block it maps on its own for such an alignment
// would take twice the address space.) A thread keeps the boxes it frees for
// its next BoxNew (a pass frees about as many boxes as the next subdivision
// makes); when it holds kKeptBoxes it hands the older half back to the
// pool, and when it ends, all. The pool hands out boxes in batches; a slab
// whose boxes are all back is kept for new boxes while fewer than
// kSpareSlabs are kept, and otherwise given back to the system, so that a
// large pruning returns its memory. (Left out under
// AddressSanitizer, which should see every box freed.)
constexpr size_t kSlabBytes = size_t{1} << 15;
constexpr size_t kKeptBoxes = size_t{1} << 14;
constexpr size_t kBatch = 512;
constexpr size_t kTakenSlabs = 8;
constexpr size_t kSpareSlabs = 512;  // 16 MiB

struct Pool;

struct Slab {
  Pool* pool;      // the pool it belongs to (see Put)
  Slab* prev;      // in the pool's list of slabs that have boxes in the pool
  Slab* next;
  Box* free;       // boxes handed back to the pool, linked through child[1]
  uint32_t fresh;  // boxes fresh..kSlabBoxes-1 were never handed out
  uint32_t inPool; // boxes in the pool: the free ones and the fresh ones
};
constexpr size_t kHeadSlots = (sizeof(Slab) + sizeof(Box) - 1) / sizeof(Box);
constexpr size_t kSlabBoxes = kSlabBytes / sizeof(Box) - kHeadSlots;
static_assert(kTakenSlabs * kSlabBoxes <= kKeptBoxes, "a thread's stack holds what Take hands out");

inline Slab* SlabOf(const Box* box) {
  return reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(box) & ~(kSlabBytes - 1));
}

struct Pool {
  std::mutex mutex;
  Slab* open = nullptr;   // slabs with boxes in the pool
  Slab* spare = nullptr;  // empty slabs kept, linked through next
  size_t spares = 0;

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

  // Takes back a box of one of its slabs; the mutex is held.
  void PutLocked(Box* box) {
    Slab* s = SlabOf(box);
    box->child[1] = s->free;
    s->free = box;
    if (s->inPool++ == 0) Link(s);
    if (s->inPool == kSlabBoxes) {
      Unlink(s);
      if (spares < kSpareSlabs) {
        // Kept empty for the next boxes, whose pages are then in place.
        s->next = spare;
        spare = s;
        ++spares;
      } else {
        std::free(s);
      }
    }
  }

  // Writes at least kBatch boxes to item[] (fewer only when the pool has
  // nothing more) and returns how many: every box the pool holds in whole
  // slabs, up to kTakenSlabs of them. A slab is made (or a spare one taken)
  // when the pool has no box. Under the mutex the slabs are only detached;
  // their lists are walked after it is released, so that threads taking
  // boxes at the same time do not wait for each other's cache misses.
  size_t Take(Box** item) {
    struct Taken {
      Box* free;
      uint32_t fresh;
      Slab* slab;
    } taken[kTakenSlabs];
    size_t slabs = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!open) {
        Slab* s = spare;
        if (s) {
          spare = s->next;
          --spares;
        } else {
          s = static_cast<Slab*>(std::aligned_alloc(kSlabBytes, kSlabBytes));
          if (!s) throw std::bad_alloc();
        }
        s->pool = this;
        s->free = nullptr;
        s->fresh = 0;
        s->inPool = static_cast<uint32_t>(kSlabBoxes);
        Link(s);
      }
      size_t count = 0;
      while (open && count < kBatch && slabs < kTakenSlabs) {
        Slab* s = open;
        Unlink(s);
        taken[slabs++] = Taken{s->free, s->fresh, s};
        count += s->inPool;
        s->free = nullptr;
        s->fresh = static_cast<uint32_t>(kSlabBoxes);
        s->inPool = 0;
      }
    }
    size_t n = 0;
    for (size_t i = 0; i < slabs; ++i) {
      for (Box* b = taken[i].free; b; b = b->child[1]) item[n++] = b;
      // Boxes never handed out yet: not read here, first written by the
      // thread that takes them.
      Box* fresh = reinterpret_cast<Box*>(taken[i].slab) + kHeadSlots;
      for (uint32_t j = taken[i].fresh; j < kSlabBoxes; ++j) item[n++] = fresh + j;
    }
    return n;
  }
};

// Never destroyed: threads may hand their boxes back while the program ends.
Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

// Hands the n boxes item[0..n-1] back, each to the pool of its slab. A
// program may hold several copies of this library (host modules built each
// with its own), whose trees share boxes: a box made by one copy and freed
// by another goes back where it came from. (The pool of a slab does not
// change while boxes of it are out.)
void Put(Box* const* item, size_t n) {
  for (size_t i = 0; i < n;) {
    Pool* pool = SlabOf(item[i])->pool;
    std::lock_guard<std::mutex> lock(pool->mutex);
    for (; i < n && SlabOf(item[i])->pool == pool; ++i) pool->PutLocked(item[i]);
  }
}

// A thread's boxes: a stack of pointers, so that taking and keeping a box
// touch the stack only.
struct BoxCache {
  Box** item = nullptr;  // kKeptBoxes entries, made on first use
  size_t count = 0;
  ~BoxCache() {
    if (count) Put(item, count);
    delete[] item;
  }
};

thread_local BoxCache tCache;
#endif

inline void Release(Box* box) {
#if VESK_BOX_CACHE
  BoxCache& cache = tCache;
  if (!cache.item) {
    // Freeing must not fail: without a stack the box goes to the pool.
    cache.item = new (std::nothrow) Box*[kKeptBoxes];
    if (!cache.item) {
      Put(&box, 1);
      return;
    }
  }
  if (cache.count == kKeptBoxes) {
    // The older half goes back to the pool.
    const size_t half = kKeptBoxes / 2;
    Put(cache.item, half);
    std::copy(cache.item + half, cache.item + kKeptBoxes, cache.item);
    cache.count = kKeptBoxes - half;
  }
  cache.item[cache.count++] = box;
#else
  std::free(box);
#endif
}

}  // namespace

Box* BoxNew() {
#if VESK_BOX_CACHE
  BoxCache& cache = tCache;
  if (cache.count == 0) {
    if (!cache.item) cache.item = new Box*[kKeptBoxes];
    cache.count = ThePool().Take(cache.item);
    // Taken from the top: fresh boxes in increasing addresses.
    std::reverse(cache.item, cache.item + cache.count);
  }
  Box* box = cache.item[--cache.count];
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
