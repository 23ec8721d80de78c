// File helpers of the command line: bounded whole-file reads, safe
// replacement of outputs, and checks made on paths before any work starts.
#pragma once

#include <cstdio>
#include <string>

namespace vesk {

// Reads the whole regular file at path into *data. False with a message on
// failure: a path that does not exist, a directory, something that is not
// a regular file (a device or a pipe could be read forever), a file that
// grows while it is read, or a read error. *ioFailure (when not null) tells
// a failure of the system (permissions, read errors) from bad input.
bool ReadWholeFile(const std::string& path, std::string* data, std::string* error,
                   bool* ioFailure = nullptr);

// FileWriteAtomically for the command line: regular files are replaced
// atomically, devices and pipes written in place, links followed. False
// with a message on failure (the file is then as it was).
bool WriteFileAtomically(const std::string& path, const std::string& data,
                         std::string* error);

// Whether an output can be written at path: an existing file that is not a
// directory and can be written, or a new file in a directory that exists
// and can be written. False with a message naming `what` otherwise.
bool CheckWritablePath(const std::string& path, const char* what, std::string* error);

// Whether two paths name the same file (links followed, names of files
// that do not exist yet compared in their resolved directories).
bool SamePath(const std::string& a, const std::string& b);

// Flushes a stream the program wrote its results to and checks that every
// write reached it. False with a message naming the stream otherwise.
bool CheckOutputStream(FILE* stream, const char* name, std::string* error);

// The content that a writer function puts on a FILE*, collected in memory.
// The writer gets a stream that is closed afterwards.
template <typename Writer>
std::string CollectOutput(Writer&& writer);

}  // namespace vesk

#include <cstdlib>

namespace vesk {

template <typename Writer>
std::string CollectOutput(Writer&& writer) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  if (stream == nullptr) return std::string();
  writer(stream);
  std::fclose(stream);
  std::string out(buffer, size);
  std::free(buffer);
  return out;
}

}  // namespace vesk
