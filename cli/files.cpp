#include "cli/files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/file_write.h"

namespace vesk {

namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An absolute name of the file at path with every link resolved; for a
// file that does not exist, its resolved directory and its own name.
std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved)) return resolved;
  const std::string dir = DirectoryOf(path);
  if (realpath(dir.c_str(), resolved)) return std::string(resolved) + "/" + BaseOf(path);
  return path;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error,
                   bool* ioFailure) {
  if (ioFailure) *ioFailure = false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    if (ioFailure) *ioFailure = err != ENOENT && err != ENOTDIR && err != ENAMETOOLONG;
    *error = "cannot open " + path + ": " + std::strerror(err);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    if (ioFailure) *ioFailure = true;
    *error = "cannot read " + path + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode)
                 ? path + " is a directory, not a file"
                 : path + " is not a regular file (a device or a pipe is not read)";
    close(fd);
    return false;
  }
  // Read what fstat announced, and one byte more to see whether it grew.
  const size_t size = static_cast<size_t>(st.st_size);
  data->assign(size + 1, '\0');
  size_t got = 0;
  while (got < size + 1) {
    const ssize_t n = read(fd, &(*data)[got], size + 1 - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (ioFailure) *ioFailure = true;
      *error = "cannot read " + path + ": " + std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got > size) {
    *error = path + " grew while it was read: read it again once it is complete";
    return false;
  }
  data->resize(got);
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& data,
                         std::string* error) {
  char why[PATH_MAX + 256];
  if (FileWriteAtomically(path.c_str(), data.data(), data.size(), why, sizeof why)) return true;
  *error = why;
  return false;
}

bool CheckWritablePath(const std::string& path, const char* what, std::string* error) {
  if (path.empty()) {
    *error = std::string(what) + ": the file name is empty";
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      *error = std::string(what) + ": " + path + " is a directory: give a file name";
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      // A device or a pipe is written in place.
      if (access(path.c_str(), W_OK) != 0) {
        *error = std::string(what) + ": cannot write " + path + ": " + std::strerror(errno);
        return false;
      }
      return true;
    }
  }
  const std::string dir = DirectoryOf(Canonical(path));
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = std::string(what) + ": the directory " + DirectoryOf(path) + " of " + path +
             " does not exist: create it first";
    return false;
  }
  if (access(dir.c_str(), W_OK) != 0) {
    *error = std::string(what) + ": cannot write in the directory " + dir + ": " +
             std::strerror(errno);
    return false;
  }
  return true;
}

bool SamePath(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return Canonical(a) == Canonical(b);
}

bool CheckOutputStream(FILE* stream, const char* name, std::string* error) {
  errno = 0;
  const bool flushed = std::fflush(stream) == 0;
  if (flushed && !std::ferror(stream)) return true;
  *error = std::string("cannot write to ") + name + ": " +
           (errno ? std::strerror(errno) : "write error");
  return false;
}

}  // namespace vesk
