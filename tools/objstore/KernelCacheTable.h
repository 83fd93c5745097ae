// KernelCacheTable: whether the kernel may keep the page cache it holds of a
// file when the file is opened again.
//
// Every write made through the mount passes through the kernel, which keeps
// its cached pages in step with it; the cache can only go stale through a
// change made some other way (another front end of the same share, a
// command that rewrites the file) or through a write the store refused
// after the kernel had already copied its bytes. The table remembers, per
// inode, the file's attributes as the store reported them when its last
// handle closed. An open that finds the same object with the same size,
// mtime and ctime keeps the cache; any difference, a failed change since,
// or a truncating open makes the kernel drop it. A file changed some other
// way while a handle is open is seen at its next open (close-to-open, as
// on a network file system).
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace ObjectStore::tool {

class KernelCacheTable {
 public:
  // At an open of `inode` (object `guid`, attributes `st` after the open):
  // true when the kernel may keep what it cached. When false, the kernel
  // drops its cache, and what it caches from now on is trusted.
  bool keepOnOpen(uint64_t inode, const std::string& guid, const struct stat& st,
                  bool truncating);
  // A handle of `inode` closed; `st` is what the store reports after the
  // close.
  void closed(uint64_t inode, const std::string& guid, const struct stat& st);
  // A change through the mount failed (the kernel may hold bytes the store
  // does not): the next open drops the cache.
  void distrust(uint64_t inode);
  // The kernel forgot the inode, and its cache with it.
  void forget(uint64_t inode);

  size_t size() const;

 private:
  struct Known {
    std::string guid;
    off_t size = 0;
    struct timespec mtime {};
    struct timespec ctime {};
    bool trusted = false;
  };
  static void take(Known& known, const std::string& guid, const struct stat& st);
  static bool same(const Known& known, const std::string& guid, const struct stat& st);

  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, Known> known_;  // guarded by mutex_
};

}  // namespace ObjectStore::tool
