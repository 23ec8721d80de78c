// A verification pass in the steady state takes no memory of its own: the
// run's workspace keeps every buffer of the analyses, grown by the first
// passes, for the later ones. The global allocation functions of this
// program count what the library asks for while a window is open.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "analysis/chain_recurrent.h"
#include "analysis/depth_boxes.h"
#include "analysis/invariant_set.h"
#include "analysis/workspace.h"
#include "tests/test_support.h"
#include "tree/tree.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

void* Allocate(std::size_t n, std::size_t align) {
  if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
  if (n == 0) n = 1;
  void* p = align <= alignof(std::max_align_t)
                ? std::malloc(n)
                : std::aligned_alloc(align, (n + align - 1) / align * align);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n, 0); }
void* operator new[](std::size_t n) { return Allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
  return Allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return Allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using vesk::Tree;

double kParam[2] = {1.4, 0.3};

Tree* NewTree(int dim) {
  return vesktest::MakeTree(std::vector<double>(dim, 0.0), std::vector<double>(dim, 2.0));
}

void FreeBase(Tree** base) {
  vesk::BoxFree(&(*base)->root->child[0]);
  vesk::BoxFree(&(*base)->root->child[1]);
  vesk::TreeFree(base);
}

// The passes run on copies of one lifted tree of a few thousand leaves,
// each with a new base tree, as the driver runs them: the subdivision
// gathering the new boxes, the chain recurrent set handing its boxes on to
// the invariant set, the cone test. The last pass is counted.
TEST(PassWorkspace, SteadyPassAllocatesNothing) {
  Tree* grown = NewTree(4);
  Tree* base = NewTree(2);
  while (vesk::TreeCountDepth(grown, -1) < 5000) {
    vesk::TreeSubdivideAll(grown);
    ASSERT_GT(vesk::BaseChainRecSet(grown, base, kParam, kParam), 0);
    ASSERT_GT(vesk::InvariantSet(grown, kParam, kParam), 0);
  }
  FreeBase(&base);
  const int leaves = vesk::TreeNumberLeaves(grown, -1, nullptr);
  for (int threads : {1, 2}) {
    vesk::PassWorkspace ws(threads);
    long counted = -1;
    for (int pass = 0; pass < 3; ++pass) {
      Tree* tree = vesktest::CloneTree(grown);
      Tree* b = NewTree(2);
      gAllocations = 0;
      gCounting = pass == 2;
      ASSERT_TRUE(vesk::TreeSubdivideAllCollect(tree, ws.workers, leaves, &ws.lifted));
      const int left = vesk::BaseChainRecSetPass(tree, b, kParam, kParam, nullptr, nullptr, &ws);
      const int inv = left > 0 ? vesk::InvariantSetPass(tree, kParam, kParam, &ws) : 0;
      if (inv > 0) vesk::CheckIsolated(tree, 2);
      gCounting = false;
      counted = gAllocations;
      // The pass must reach the invariant set for the count to cover it.
      ASSERT_GT(inv, 0) << threads << " threads, pass " << pass;
      FreeBase(&b);
      vesk::TreeFree(&tree);
    }
    EXPECT_EQ(counted, 0) << threads << " threads";
  }
  vesk::TreeFree(&grown);
}

}  // namespace
