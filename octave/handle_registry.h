// The registry of tree handles shared by the Octave modules.
//
// A tree that Octave holds is reached through a slot: a pointer-sized cell
// that holds the Tree*. The host struct carries the slot's address (field
// "handle"). Every slot ever issued stays registered for the life of the
// process, so an address that Octave hands back can be checked before
// anything behind it is read:
//
//   - an address that was never issued is foreign (a forged or corrupted
//     handle) and is never dereferenced;
//   - a slot whose tree was freed holds null and is never reused, so a
//     stale copy of a handle can never reach a later tree.
//
// The registry lives in the shared library that both modules link, so a
// handle made by one module is known to the other. The library is marked
// not to be unloaded, so the registry outlives `clear` of the modules.
#pragma once

#include "tree/tree.h"

namespace vesk {

enum HandleState {
  kHandleForeign = 0,  // not an address this registry issued
  kHandleFreed = 1,    // issued, but its tree has been released
  kHandleLive = 2,     // issued and holding a tree
};

// Takes ownership of tree and returns the new slot holding it (never
// reused). A null tree is refused: null result.
Tree** HandleRegister(Tree* tree);

// The state of the slot at address; the address is only compared, never
// read, unless it is a slot this registry issued.
HandleState HandleSlotState(const void* address);

// The tree held by the slot at address, or null when the slot is foreign
// or freed.
Tree* HandleTree(const void* address);

// Releases the tree held by a live slot (TreeFree) and leaves the slot
// empty. Returns 1 when a tree was released, 0 for a foreign or freed slot.
int HandleRelease(const void* address);

// Number of slots that hold a tree.
int HandleLiveCount();

// Releases every tree still held; returns how many.
int HandleReleaseAll();

}  // namespace vesk
