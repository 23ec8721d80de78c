// The tree struct that the Octave modules exchange with the host: a struct
// whose field "handle" holds the address of a registered tree slot in its
// first 8 bytes (a uint64 scalar when vesk_tree makes it).
//
// These helpers only compare the address with the registry; nothing behind
// an address is read before the registry knows it.
#pragma once

#include <cstdint>
#include <cstring>

#include "mex.h"
#include "octave/handle_registry.h"

namespace vesk {

// The field "handle" of element 0 of arg, or null when arg is not a struct
// with at least one element and such a field.
inline const mxArray* MexHandleField(const mxArray* arg) {
  if (!arg || !mxIsStruct(arg) || mxGetNumberOfElements(arg) < 1) return nullptr;
  return mxGetField(arg, 0, "handle");
}

// Bytes of plain data behind a "handle" field: numeric, logical or char
// arrays that are not sparse. Anything else holds no address.
inline size_t MexHandleBytes(const mxArray* field) {
  if (!field || mxIsSparse(field)) return 0;
  if (!mxIsNumeric(field) && !mxIsLogical(field) && !mxIsChar(field)) return 0;
  if (!mxGetData(field)) return 0;
  return mxGetNumberOfElements(field) * mxGetElementSize(field);
}

// The slot address carried by arg (first 64-bit word of the handle data).
// Raises a host error when arg is not a tree struct or the handle holds
// fewer than 8 bytes. The address may be null.
inline uint64_t MexHandleAddress(const mxArray* arg, const char* what) {
  const mxArray* field = MexHandleField(arg);
  if (!field)
    mexErrMsgIdAndTxt("vesk:notATree",
                      "%s must be a tree struct with a field \"handle\" (made by vesk_tree).",
                      what);
  if (MexHandleBytes(field) < sizeof(uint64_t))
    mexErrMsgIdAndTxt("vesk:badHandle",
                      "the field \"handle\" of %s must hold at least 8 bytes of numeric data.",
                      what);
  uint64_t address = 0;
  std::memcpy(&address, mxGetData(field), sizeof address);
  return address;
}

// The live tree behind a nonzero slot address. Raises a host error for a
// foreign address or a freed tree.
inline Tree* MexLiveTreeAt(uint64_t address, const char* what) {
  const void* slot = reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
  switch (HandleSlotState(slot)) {
    case kHandleLive:
      return HandleTree(slot);
    case kHandleFreed:
      mexErrMsgIdAndTxt("vesk:freedTree", "%s refers to a tree that has been freed.", what);
      break;
    case kHandleForeign:
      mexErrMsgIdAndTxt("vesk:foreignHandle",
                        "%s does not refer to a tree of this session "
                        "(its handle was not made by vesk_tree).",
                        what);
      break;
  }
  return nullptr;
}

// The live tree behind arg, or a host error: "Tree: tree is empty." for a
// null slot address, and the errors of MexHandleAddress and MexLiveTreeAt.
inline Tree* MexLiveTree(const mxArray* arg, const char* what) {
  const uint64_t address = MexHandleAddress(arg, what);
  if (address == 0) mexErrMsgTxt("Tree: tree is empty.");
  return MexLiveTreeAt(address, what);
}

// A struct with the single field "handle" holding the slot address as a
// uint64 scalar.
inline mxArray* MexTreeStruct(Tree** slot) {
  const char* fields[] = {"handle"};
  mxArray* result = mxCreateStructMatrix(1, 1, 1, fields);
  mxArray* handle = mxCreateNumericMatrix(1, 1, mxUINT64_CLASS, mxREAL);
  const uint64_t address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(slot));
  std::memcpy(mxGetData(handle), &address, sizeof address);
  mxSetField(result, 0, "handle", handle);
  return result;
}

}  // namespace vesk
