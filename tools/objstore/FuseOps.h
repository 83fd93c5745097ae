// FuseFs: the file-system operations of `objstore mount`, mapping the
// kernel's low-level FUSE requests onto one open view of a share.
//
// Each request handler is a thin static function (see operations()) that
// finds the FuseFs of the session, calls the member of the same name and
// sends exactly one reply. Members return 0 or an errno value and hold no
// lock of ours while the reply is sent; no exception crosses into libfuse.
//
// Inode numbers come from InodeTable; file and directory handles (fi->fh) are
// numbers into this object's handle tables, never pointers, so that a stale
// number from the kernel is an EBADF instead of a crash.
//
// Thread safety: the container is thread-safe, and every table here has its
// own mutex, so the session may run the multi-threaded loop. Requests on one
// open file are serialised on that file's mutex (a FileHandle is one caller's
// record).
#pragma once

#ifndef FUSE_USE_VERSION
#define FUSE_USE_VERSION 314
#endif
#include <fuse_lowlevel.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "tools/objstore/InodeTable.h"
#include "tools/objstore/KernelCacheTable.h"

namespace ObjectStore::tool {

struct FuseFsOptions {
  // How long the kernel may cache names and attributes. Every change goes
  // through this mount, so a short cache costs nothing in correctness.
  double entryTimeoutSec = 1.0;
  double attrTimeoutSec = 1.0;
  // How often a waiting lock request (F_SETLKW, flock without LOCK_NB)
  // tries again; the store's locks never block.
  std::chrono::milliseconds lockRetryInterval{10};
};

class FuseFs {
 public:
  // readOnly: the view refuses every change (EROFS).
  FuseFs(ObjectContainer& container, ObjectStoreIndex index, bool readOnly,
         const std::string& rootGuid, FuseFsOptions options = {});
  ~FuseFs();
  FuseFs(const FuseFs&) = delete;
  FuseFs& operator=(const FuseFs&) = delete;

  // The handlers to give fuse_session_new; the session's userdata must be
  // the FuseFs.
  static const fuse_lowlevel_ops& operations();

  // Closes every file and directory handle the kernel did not release (an
  // unmount that did not wait for them) and removes the files unlinked while
  // open; returns how many handles were closed.
  size_t closeAll();

  // Removes what an earlier mount that ended abruptly left of files
  // unlinked while open. Returns how many were removed.
  size_t removeLeftoverUnlinked();

  // Where a file unlinked while still open lives on until its last close:
  // a name in the root directory that listings and lookups never show.
  static bool isHiddenName(fuse_ino_t parent, const char* name);

  const InodeTable& inodes() const { return inodes_; }
  const KernelCacheTable& kernelCache() const { return kernelCache_; }
  double attrTimeout() const { return options_.attrTimeoutSec; }

  // ---- Operations (0 or an errno; out-parameters valid on 0) ------------------
  int lookup(fuse_ino_t parent, const char* name, fuse_entry_param& entry);
  void forget(fuse_ino_t inode, uint64_t count);
  int getattr(fuse_ino_t inode, struct stat& st);
  int setattr(fuse_ino_t inode, const struct stat& wanted, int toSet, fuse_file_info* fi,
              uid_t caller, struct stat& st);
  int readlink(fuse_ino_t inode, std::string& target);
  int mknod(fuse_ino_t parent, const char* name, mode_t mode, const fuse_ctx& ctx,
            fuse_entry_param& entry);
  int mkdir(fuse_ino_t parent, const char* name, mode_t mode, const fuse_ctx& ctx,
            fuse_entry_param& entry);
  int symlink(const char* target, fuse_ino_t parent, const char* name, const fuse_ctx& ctx,
              fuse_entry_param& entry);
  int unlink(fuse_ino_t parent, const char* name);
  int rmdir(fuse_ino_t parent, const char* name);
  int rename(fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
             unsigned int flags);
  int open(fuse_ino_t inode, fuse_file_info& fi);
  int create(fuse_ino_t parent, const char* name, mode_t mode, const fuse_ctx& ctx,
             fuse_file_info& fi, fuse_entry_param& entry);
  int read(fuse_ino_t inode, size_t size, off_t offset, uint64_t fileId, std::vector<char>& out);
  int write(fuse_ino_t inode, const char* buf, size_t size, off_t offset, uint64_t fileId,
            size_t& written);
  int release(fuse_ino_t inode, uint64_t fileId);
  int fsync(fuse_ino_t inode, bool dataOnly);
  int statfs(struct statvfs& out);

  // Directories (FuseDirOps.cpp).
  int opendir(fuse_ino_t inode, uint64_t& dirId);
  // Fills buf with entries from position `offset` (0 = the start; each
  // entry's offset is its position + 1, so offsets stay valid across calls).
  int readdir(fuse_req_t req, fuse_ino_t inode, uint64_t dirId, size_t size, off_t offset,
              bool plus, std::vector<char>& buf);
  int releasedir(uint64_t dirId);

  // Extended attributes (FuseXattrOps.cpp).
  int setxattr(fuse_ino_t inode, const char* name, const char* value, size_t size, int flags);
  int getxattr(fuse_ino_t inode, const char* name, std::vector<unsigned char>& value);
  // Names, each followed by a NUL byte.
  int listxattr(fuse_ino_t inode, std::string& names);
  int removexattr(fuse_ino_t inode, const char* name);

  // Byte-range and whole-file locks (FuseLockOps.cpp). wait: keep trying
  // until the lock is granted or the request is interrupted (req may then
  // be null: no interruption).
  int getlk(fuse_ino_t inode, uint64_t fileId, uint64_t owner, struct flock& lock);
  int setlk(fuse_req_t req, fuse_ino_t inode, uint64_t fileId, uint64_t owner,
            const struct flock& lock, bool wait);
  int flock(fuse_req_t req, fuse_ino_t inode, uint64_t fileId, uint64_t owner, int op);

 private:
  struct OpenFile {
    FileHandle handle;
    fuse_ino_t inode = 0;
    std::string guid;  // the object's
    std::mutex mutex;  // serialises the requests on this handle
  };
  struct OpenDir {
    DirHandle* handle = nullptr;  // the container's; released by closedir
    fuse_ino_t inode = 0;
    std::string path;
    std::mutex mutex;
  };
  // One range held by one lock owner, as this mount granted it.
  struct HeldRange {
    uint64_t begin = 0;
    uint64_t end = 0;  // inclusive
    int type = F_RDLCK;
    pid_t pid = 0;
    uint64_t fileId = 0;  // the handle it was taken through
  };
  using LockKey = std::pair<fuse_ino_t, uint64_t>;  // inode, owner

  // The item an inode names: its path, and its object GUID filled in so that
  // the store does not look the path up again. ENOENT for an unknown inode.
  int itemOf(fuse_ino_t inode, ItemName& item, std::string* path = nullptr) const;
  // The parent's path and the full path of `name` in it.
  int childOf(fuse_ino_t parent, const char* name, std::string& parentPath,
              std::string& path) const;
  // Attributes of the item, with st_ino set to the inode number.
  int statItem(ItemName& item, fuse_ino_t inode, struct stat& st);
  // Looks up `path`, takes a kernel reference and fills the entry reply.
  int entryOf(const std::string& path, fuse_entry_param& entry);
  // A new item's owner is the caller, as on a local file system.
  int giveToCaller(const std::string& path, const fuse_ctx& ctx);
  std::shared_ptr<OpenFile> file(uint64_t fileId) const;
  // Registers an opened file and returns its number for fi->fh.
  uint64_t addFile(std::shared_ptr<OpenFile> open);
  // Unlinking a file that is still open: POSIX keeps it readable and
  // writable through its open handles, so instead of removing it, it is
  // renamed to a hidden name and removed at its last close. `hidden` says
  // whether that happened (false: not open, remove it normally).
  int hideIfOpen(const std::string& path, const std::string& guid, bool& hidden);
  // After a close: removes the hidden file of `guid` when no handle is left.
  void removeHiddenIfClosed(const std::string& guid);
  // The errno to hand to the kernel; logs errors that are not a normal
  // answer to the request.
  int errnoOf(const CZnError& err, const char* what, const std::string& path) const;
  int refuseWhenReadOnly() const { return readOnly_ ? EROFS : 0; }

  // Locks: the caller holds locksMutex_.
  int setLockLocked(fuse_ino_t inode, uint64_t fileId, uint64_t owner, int type, uint64_t begin,
                    uint64_t end, pid_t pid);
  LockInfo lockInfo(uint64_t fileId, uint64_t owner, int type, uint64_t begin, uint64_t end);
  int setLockWaiting(fuse_req_t req, fuse_ino_t inode, uint64_t fileId, uint64_t owner, int type,
                     uint64_t begin, uint64_t end, pid_t pid, bool wait);
  void dropLocksOf(uint64_t fileId);

  ObjectContainer& container_;
  const ObjectStoreIndex index_;
  const bool readOnly_;
  const FuseFsOptions options_;
  InodeTable inodes_;
  KernelCacheTable kernelCache_;

  mutable std::mutex filesMutex_;
  std::map<uint64_t, std::shared_ptr<OpenFile>> files_;  // guarded by filesMutex_
  std::map<uint64_t, std::shared_ptr<OpenDir>> dirs_;    // guarded by filesMutex_
  uint64_t nextId_ = 1;                                  // guarded by filesMutex_
  // Object GUID -> hidden path of the files unlinked while open.
  std::map<std::string, std::string> hidden_;            // guarded by filesMutex_

  // Serialises every lock request, so that releasing and retaking the
  // pieces of a range never lets another owner in between. The store's own
  // lock calls never block, so nothing waits while holding it. Acquired
  // before an OpenFile's mutex (a lock request takes its handle's mutex
  // inside it), never while holding one.
  std::mutex locksMutex_;
  std::map<LockKey, std::vector<HeldRange>> heldLocks_;  // guarded by locksMutex_

  // Serialises the check-then-set of XATTR_CREATE / XATTR_REPLACE.
  std::mutex xattrMutex_;
};

}  // namespace ObjectStore::tool
