#include "platform/diskcache/DiskCacheMigrator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {

int DiskCacheMigrator::migrate(const std::string& from, const std::string& to) {
  OSLOG(1, "Migrating disk cache [%s] to [%s]", from.c_str(), to.c_str());
  struct stat st;
  if (stat(from.c_str(), &st) != 0) {
    int err = errno;
    OSLOG(-1, "Error: Can't migrate [%s]: %s", from.c_str(), strerror(err));
    return err;
  }
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  std::string tmp = to + "/.tmp";
  if (int rc = createDir(tmp); rc != 0) return rc;
  int rc = copyTree(from, to, tmp + "/migrating." + std::to_string(getpid()), true);
  if (rc != 0)
    OSLOG(-1, "Error: Can't migrate [%s] to [%s]: %s", from.c_str(), to.c_str(), strerror(rc));
  else
    OSLOG(1, "Migrated disk cache [%s] to [%s]", from.c_str(), to.c_str());
  return rc;
}

int DiskCacheMigrator::copyTree(const std::string& from, const std::string& to,
                                const std::string& tmp, bool top) {
  if (int rc = createDir(to); rc != 0) return rc;
  DIR* dir = opendir(from.c_str());
  if (dir == nullptr) return errno;
  std::vector<std::pair<std::string, bool>> entries;  // name, is directory
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (top && (name == "recycle" || name == ".tmp")) continue;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) entries.emplace_back(name, S_ISDIR(st.st_mode));
  }
  closedir(dir);
  for (const auto& [name, isDir] : entries) {
    int rc = isDir ? copyTree(from + "/" + name, to + "/" + name, tmp, false)
                   : copyFile(from + "/" + name, to + "/" + name, tmp);
    if (rc != 0) return rc;
  }
  return 0;
}

int DiskCacheMigrator::copyFile(const std::string& from, const std::string& to,
                                const std::string& tmp) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    int err = errno;
    close(in);
    return err;
  }
  int rc = 0;
  std::vector<char> buffer(1 << 20);
  while (true) {
    ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      rc = errno;
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        rc = errno;
        break;
      }
      done += w;
    }
    if (rc != 0) break;
  }
  if (rc == 0 && fdatasync(out) != 0) rc = errno;
  close(in);
  if (close(out) != 0 && rc == 0) rc = errno;
  if (rc == 0 && rename(tmp.c_str(), to.c_str()) != 0) rc = errno;
  if (rc != 0) unlink(tmp.c_str());
  return rc;
}

}  // namespace ObjectStore
