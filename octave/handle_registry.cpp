// Registry of tree slots for the Octave modules (see handle_registry.h).
//
// Slots live in a deque, which never moves its elements when it grows, so
// a slot's address stays valid for the life of the process. The set of
// issued addresses answers the membership question without touching the
// address itself.
#include "octave/handle_registry.h"

#include <cstdint>
#include <deque>
#include <unordered_set>

#if defined(VESK_REGISTRY_IN_HOST)
#include "mex.h"
#endif

namespace vesk {

namespace {

struct Registry {
  std::deque<Tree*> slots;
  std::unordered_set<const void*> issued;
  int live = 0;

  Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;
  // At process exit the trees Octave still holds are released.
  ~Registry() {
    for (Tree*& slot : slots) TreeFree(&slot);
  }
};

#if defined(VESK_REGISTRY_IN_HOST)

// Built by octave/vesk_build.m, each module carries its own copy of this
// file and there is no shared library to hold the registry. The first
// module to need it makes it on the heap (never freed, so that unloading a
// module cannot take it away) and leaves its address in the host's global
// workspace, where the other module finds it: variable kAnchor, a 1-by-3
// uint64 row [kAnchorTag, address, address ^ kAnchorCheck]. Anything else
// under that name is not followed; the module then makes a registry of its
// own, whose handles the other module refuses as foreign.
constexpr const char* kAnchor = "vesk_handle_registry_";
constexpr uint64_t kAnchorTag = 0x7665736b72656731ULL;
constexpr uint64_t kAnchorCheck = 0x5a3c96e1f00dbeefULL;

Registry* FindHostRegistry() {
  const mxArray* anchor = mexGetVariablePtr("global", kAnchor);
  if (!anchor || !mxIsUint64(anchor) || mxIsComplex(anchor) || mxIsSparse(anchor) ||
      mxGetNumberOfElements(anchor) != 3)
    return nullptr;
  const uint64_t* words = static_cast<const uint64_t*>(mxGetData(anchor));
  if (words[0] != kAnchorTag || words[1] == 0 || (words[1] ^ kAnchorCheck) != words[2])
    return nullptr;
  return reinterpret_cast<Registry*>(static_cast<uintptr_t>(words[1]));
}

void PublishHostRegistry(Registry* registry) {
  mxArray* anchor = mxCreateNumericMatrix(1, 3, mxUINT64_CLASS, mxREAL);
  uint64_t* words = static_cast<uint64_t*>(mxGetData(anchor));
  const uint64_t address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(registry));
  words[0] = kAnchorTag;
  words[1] = address;
  words[2] = address ^ kAnchorCheck;
  mexPutVariable("global", kAnchor, anchor);
  mxDestroyArray(anchor);
}

Registry& TheRegistry() {
  static Registry* registry = nullptr;
  if (!registry) {
    registry = FindHostRegistry();
    if (!registry) {
      registry = new Registry;
      PublishHostRegistry(registry);
    }
  }
  return *registry;
}

#else

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

#endif

Tree** IssuedSlot(const void* address) {
  Registry& reg = TheRegistry();
  if (!address || reg.issued.count(address) == 0) return nullptr;
  // The address is one of ours: it is safe to treat it as a slot.
  return static_cast<Tree**>(const_cast<void*>(address));
}

}  // namespace

Tree** HandleRegister(Tree* tree) {
  if (!tree) return nullptr;
  Registry& reg = TheRegistry();
  reg.slots.push_back(tree);
  Tree** slot = &reg.slots.back();
  reg.issued.insert(slot);
  ++reg.live;
  return slot;
}

HandleState HandleSlotState(const void* address) {
  Tree** slot = IssuedSlot(address);
  if (!slot) return kHandleForeign;
  return *slot ? kHandleLive : kHandleFreed;
}

Tree* HandleTree(const void* address) {
  Tree** slot = IssuedSlot(address);
  return slot ? *slot : nullptr;
}

int HandleRelease(const void* address) {
  Tree** slot = IssuedSlot(address);
  if (!slot || !*slot) return 0;
  TreeFree(slot);
  --TheRegistry().live;
  return 1;
}

int HandleLiveCount() { return TheRegistry().live; }

int HandleReleaseAll() {
  Registry& reg = TheRegistry();
  int released = 0;
  for (Tree*& slot : reg.slots) {
    if (slot) {
      TreeFree(&slot);
      ++released;
    }
  }
  reg.live = 0;
  return released;
}

}  // namespace vesk
