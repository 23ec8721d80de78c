#include "io/file_write.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
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

// The file a path names once symbolic links are followed; the path itself
// when it does not exist (a link to a missing file names that file).
std::string Target(const std::string& path) {
  std::string target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
    char link[PATH_MAX];
    const ssize_t n = readlink(target.c_str(), link, sizeof link - 1);
    if (n < 0) return target;
    link[n] = '\0';
    target = link[0] == '/' ? std::string(link) : DirectoryOf(target) + "/" + link;
  }
  return target;
}

int Fail(char* why, size_t whySize, const char* what, const std::string& path, int err) {
  std::snprintf(why, whySize, "cannot %s %s: %s", what, path.c_str(), std::strerror(err));
  return 0;
}

}  // namespace

int FileWriteAtomically(const char* path, const char* data, size_t size, char* why,
                        size_t whySize) {
  const std::string target = Target(path);
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) return Fail(why, whySize, "write", target, EISDIR);
    // A device or a pipe: there is nothing to replace.
    const int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return Fail(why, whySize, "open", target, errno);
    if (!WriteAll(fd, data, size)) {
      const int err = errno;
      close(fd);
      return Fail(why, whySize, "write", target, err);
    }
    if (close(fd) != 0) return Fail(why, whySize, "write", target, errno);
    return 1;
  }
  const std::string tmp = target + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(why, whySize, "create", tmp, errno);
  if (!WriteAll(fd, data, size) || fsync(fd) != 0) {
    const int err = errno;
    close(fd);
    unlink(tmp.c_str());
    return Fail(why, whySize, "write", tmp, err);
  }
  if (close(fd) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    return Fail(why, whySize, "write", tmp, err);
  }
  if (rename(tmp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    std::snprintf(why, whySize, "cannot rename %s to %s: %s", tmp.c_str(), target.c_str(),
                  std::strerror(err));
    return 0;
  }
  // The rename is durable once the directory is on the disk.
  const int dir = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return 1;
}

}  // namespace vesk
