#include "cli/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fileno(in), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(in);
    *error = "cannot read " + path + ": it is a directory";
    return false;
  }
  data->clear();
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) data->append(buffer, n);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    *error = "cannot read " + path + ": read error";
    return false;
  }
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& data,
                         std::string* error) {
  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  if (!WriteAll(fd, data.data(), data.size()) || fsync(fd) != 0) {
    *error = "cannot write " + tmp + ": " + std::strerror(errno);
    close(fd);
    unlink(tmp.c_str());
    return false;
  }
  if (close(fd) != 0) {
    *error = "cannot write " + tmp + ": " + std::strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  // The rename is durable once the directory is on the disk.
  const int dir = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

bool CheckWritablePath(const std::string& path, const char* what, std::string* error) {
  if (path.empty()) {
    *error = std::string(what) + ": the file name is empty";
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *error = std::string(what) + ": " + path + " is a directory: give a file name";
    return false;
  }
  const std::string dir = DirectoryOf(path);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = std::string(what) + ": the directory " + dir + " of " + path +
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

}  // namespace vesk
