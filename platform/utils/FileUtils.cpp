#include "platform/utils/FileUtils.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ObjectStore {

int createDir(const std::string& path) {
  if (path.empty()) return EINVAL;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  size_t pos = 0;
  while (true) {
    pos = path.find('/', pos + 1);
    std::string partial = path.substr(0, pos);
    if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    if (pos == std::string::npos) break;
  }
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

namespace {
int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  if (remove(path) != 0 && errno != ENOENT) return errno;
  return 0;
}
}  // namespace

int rmTree(const std::string& path) {
  if (path.empty()) return EINVAL;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  int rc = nftw(path.c_str(), removeEntry, 64, FTW_DEPTH | FTW_PHYS);
  if (rc == -1) return errno != 0 ? errno : EIO;
  return rc;
}

int syncDir(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return rc;
}

int writeFileAtomically(const std::string& path, const std::string& content) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      unlink(tmp.c_str());
      return saved;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) {
    int saved = errno;
    close(fd);
    unlink(tmp.c_str());
    return saved;
  }
  if (close(fd) != 0) {
    int saved = errno;
    unlink(tmp.c_str());
    return saved;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    unlink(tmp.c_str());
    return saved;
  }
  size_t slash = path.rfind('/');
  return syncDir(slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash)));
}

}  // namespace ObjectStore
