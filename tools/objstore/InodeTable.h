// InodeTable: the inode numbers a mount hands to the kernel, each naming one
// object of the share by its object GUID, with the item's current path (the
// container's operations are mostly path-based) and the kernel's lookup
// count.
//
// An entry exists while the kernel holds a reference to it: every entry reply
// (lookup, create, mkdir, symlink, readdirplus) adds one lookup, forget
// takes them away, and the entry goes when its count reaches zero. The root
// directory is FUSE_ROOT_ID (1) and is never forgotten.
//
// Inode numbers are the ones the store reports as st_ino (the last 16 hex
// digits of the object GUID), so that readdir's d_ino and stat's st_ino agree
// without a lookup. A number that is 0, the root's, or already taken by
// another object gets a number from a private range instead.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace ObjectStore::tool {

class InodeTable {
 public:
  static constexpr uint64_t ROOT_INODE = 1;

  struct Entry {
    std::string guid;
    // Absolute path inside the share; empty once the item was removed while
    // the kernel still held it (it can then be named by its GUID only).
    std::string path;
    uint64_t lookups = 0;
  };

  explicit InodeTable(std::string rootGuid);

  // One more kernel reference to the object `guid` at `path`; returns its
  // inode number (the same one while the entry lives). The path is updated.
  uint64_t remember(const std::string& guid, const std::string& path);
  // The inode number the object has or would get, without a reference
  // (readdir's d_ino). An empty GUID gives 0.
  uint64_t peek(const std::string& guid) const;
  // False when the number is unknown.
  bool find(uint64_t inode, Entry& out) const;
  // Drops `count` lookups; the entry goes when none are left. Unknown numbers
  // and the root are ignored. Returns the lookups left.
  uint64_t forget(uint64_t inode, uint64_t count);
  // The item at `from` (and everything below it) is now at `to`.
  void renamed(const std::string& from, const std::string& to);
  // The item at `path` was removed or replaced: entries naming it keep their
  // GUID only. Entries below it are left alone (a removed directory is
  // empty).
  void removed(const std::string& path);

  size_t size() const;

  // The number the store derives from an object GUID (0 when none can be read).
  static uint64_t numberFromGuid(const std::string& guid);

 private:
  // REQUIRES: mutex_ held.
  uint64_t allocateLocked(const std::string& guid);

  mutable std::mutex mutex_;
  std::map<uint64_t, Entry> entries_;                  // guarded by mutex_
  std::unordered_map<std::string, uint64_t> byGuid_;  // guarded by mutex_
  // Next number of the private range used when a GUID's own number is taken.
  uint64_t nextPrivate_ = 0;                           // guarded by mutex_
};

// The absolute path of `name` in directory `dir` ("/" + name for the root).
std::string childPath(const std::string& dir, const std::string& name);

}  // namespace ObjectStore::tool
