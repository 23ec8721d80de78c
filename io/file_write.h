// Writing a whole file so that nothing is lost on the way: a regular file
// (or a new one) is replaced atomically, anything else is written in place.
#pragma once

#include <cstddef>

namespace vesk {

// Writes size bytes of data to path.
//  - path is followed through symbolic links to the file they name;
//  - a regular file, or a name that does not exist yet, is replaced
//    atomically: the data goes to "<target>.tmp" in the target's directory,
//    is flushed to the disk and renamed over the target, and the directory
//    is flushed, so the target holds either its old content or all of the
//    new, never a part;
//  - a device, a FIFO or a socket (/dev/null, /dev/stdout, a pipe) is opened
//    and written directly, never replaced.
// Returns 1 on success; 0 with the reason in why (the target is then as it
// was and the temporary file removed).
int FileWriteAtomically(const char* path, const char* data, size_t size, char* why,
                        size_t whySize);

}  // namespace vesk
