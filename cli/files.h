// File helpers of the command line: whole-file reads, atomic replacement,
// and checks that an output can be written before any work starts.
#pragma once

#include <cstdio>
#include <string>

namespace vesk {

// Reads the whole file into *data. False with a message on failure.
bool ReadWholeFile(const std::string& path, std::string* data, std::string* error);

// Writes data to path so that path holds either its old content or all of
// data, never a part: the data goes to path + ".tmp" in the same directory,
// is flushed to the disk, and is renamed over path; the directory entry is
// flushed too. False with a message on failure (path is then unchanged and
// the temporary file removed).
bool WriteFileAtomically(const std::string& path, const std::string& data,
                         std::string* error);

// Whether a file can be created at path: its directory exists and is
// writable, and path is not a directory. False with a message otherwise.
bool CheckWritablePath(const std::string& path, const char* what, std::string* error);

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
