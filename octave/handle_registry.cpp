// Registry of tree slots for the Octave modules (see handle_registry.h).
//
// Slots live in a deque, which never moves its elements when it grows, so
// a slot's address stays valid for the life of the process. The set of
// issued addresses answers the membership question without touching the
// address itself.
#include "octave/handle_registry.h"

#include <deque>
#include <unordered_set>

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

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

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
