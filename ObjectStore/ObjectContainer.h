// ObjectContainer: the single entry object of the library.
//
// The file server creates one container, initialises it once with a base
// directory (on-disk layout, disk cache, backup transport), then opens one
// store per share and point in time. Each open store is named by an
// ObjectStoreIndex, its position in the container's store list; every
// file-system call passes that index and the container forwards it to the
// store. The container also keeps one StoreInfo per share (the share's index
// service, shared by all views of the share), persists the list of shares in
// "StoreInfo.txt", and removes a share's local data when its last view closes.
//
// On-disk layout under containerDir:
//   objstr/                        StoreInfo.txt, StoreInfo.tmp, one store
//                                  directory per open view:
//   objstr/<shareKey>_<pitName>/   version_cache, guid_cache, deleted_segments
//   backup/                        the backup transport's working directory
//   cache/                         the disk cache: cache/<subclient>/ a share's
//                                  segments, cache/noprune/<subclient>_<pitName>/
//                                  a view's local-only segments,
//                                  cache/views/<subclient>_<pitName>/ a
//                                  point-in-time view's restored segments
//   index/                         one index database per share
//
// Thread safety: every public method may be called from any thread once
// init() has returned. Results are CZnError values; nothing is thrown.
//
// This header is part of the public interface: it includes nothing beyond
// the standard library, POSIX, our own platform support headers and
// Handles.h (the records a file server keeps between calls).
#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ObjectStore/Handles.h"
#include "ObjectStore/Identifiers.h"
#include "ObjectStore/ObjectStoreConfig.h"
#include "platform/support/CZnError.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/HxRW.h"
#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

class CommandInterface;
class DiskCache;
class index_iface;
class ObjectStore;

// Position of an open store in the container's store list. Slots are never
// reused: a closed index stays invalid for the life of the container.
using ObjectStoreIndex = uint64_t;

struct ObjectContainerConfig {
  std::string containerDir;  // everything of the container lives below it
  int highWatermark = 90;    // disk-cache watermarks, percent
  int lowWatermark = 80;
  int thirdWatermark = 85;
  uint64_t diskCacheLRU = 1000;  // handed to the disk cache
  bool pruningMode = false;      // true: prune least recently used; false: at random
  // A disk cache supplied by the caller; when set, the container uses it
  // instead of creating its own (tests wrap the real cache this way).
  std::shared_ptr<DiskCache> diskCache;
};

struct Watermarks {
  int highWatermark = 90;
  int lowWatermark = 80;
  int thirdWatermark = 85;
};

// The file server's maintenance requests (debugCmd). Values other than
// these are handed to the store, which rejects them.
enum DebugCommand : int {
  DEBUG_CMD_DUMP_BACKUP_QUEUES = 0,  // one store: log its backup queues
  DEBUG_CMD_FLUSH_INDEXES = 2,       // every share: flush its index service
};

// The container's entry-point counters, in reporting order.
enum class ContainerCounter : size_t {
  PRUNE_FILE,
  CREATE,
  CREATE_AND_OPEN,
  MKDIR,
  MKNOD,
  CREATE_SYMLINK,
  UNLINK,
  RMDIR,
  OPEN,
  CLOSE,
  WRITE,
  WRITE_BYTES,
  READ,
  READ_BYTES,
  FSYNC,
  FDATASYNC,
  LOCK,
  UNLOCK,
  TELLLOCK,
  TRUNCATE,
  RENAME,
  GETATTR,
  CHMOD,
  UTIMES,
  CHOWN,
  READ_LINK,
  STATFS,
  GUID_TO_PATH,
  PATH_TO_GUID,
  READDIR,
  READDIR_EX,
  OPENDIR,
  SEEKDIR,
  CLOSEDIR,
  SETXATTR,
  GETXATTR,
  LISTXATTR,
  REMOVEXATTR,
  COUNT
};

// Lock-free 64-bit counters, one per ContainerCounter. Readers see each
// counter's current value, not a consistent snapshot across counters.
class OBJSTORE_EXPORT ObjectContainerCounters {
 public:
  static constexpr size_t NUM_COUNTERS = static_cast<size_t>(ContainerCounter::COUNT);
  // The key under which each counter is reported, indexed by ContainerCounter.
  static const std::array<const char*, NUM_COUNTERS> NAMES;

  ObjectContainerCounters() { clear(); }

  void add(ContainerCounter counter, uint64_t amount = 1) {
    values_[static_cast<size_t>(counter)].fetch_add(amount, std::memory_order_relaxed);
  }
  uint64_t get(ContainerCounter counter) const {
    return values_[static_cast<size_t>(counter)].load(std::memory_order_relaxed);
  }
  uint64_t get(size_t index) const { return values_[index].load(std::memory_order_relaxed); }
  static const char* name(size_t index) { return NAMES[index]; }
  void clear() {
    for (auto& value : values_) value.store(0, std::memory_order_relaxed);
  }

 private:
  std::array<std::atomic<uint64_t>, NUM_COUNTERS> values_;
};

// One share: its subclient, how many open views use it, and its index
// service (shared by every view of the share).
struct StoreInfo {
  StoreInfo() = default;
  explicit StoreInfo(uint64_t subclientId) : subclient(subclientId) {}

  uint64_t subclient = 0;
  int refCount = 1;
  std::shared_ptr<index_iface> index;
};

class OBJSTORE_EXPORT ObjectContainer {  // OBJSTORE_EXPORT: via CZnError.h
 public:
  ObjectContainer();
  // Waits for the index services' asynchronous browses, stops the disk-cache
  // pruner, deletes the remaining stores and logs the performance counters.
  ~ObjectContainer();
  ObjectContainer(const ObjectContainer&) = delete;
  ObjectContainer& operator=(const ObjectContainer&) = delete;

  // Creates objstr/, backup/ and index/ below config.containerDir, sets up
  // (or adopts) the disk cache on cache/ and the backup transport on backup/.
  CZnError init(const ObjectContainerConfig& config);

  // Opens the view (config.subclient, config.pitName) of share config.name,
  // or returns the index of that view when it is already open (the rest of
  // config is then ignored). Fails with ENODEV before init, EINVAL for a
  // share name or pitName unusable as a directory name.
  CZnError openObjectStore(ObjectStoreIndex& out, const ObjectStoreConfig& config);
  // Shuts the store down and removes the view's local data; the share's index
  // and cache go with its last view. ENODEV before init, EINVAL for an index
  // that is not open.
  CZnError closeObjectStore(ObjectStoreIndex index);
  // Removes a view's local data (name: the share key, one leading '/'
  // ignored). force: recreate the share record first, so that an operator can
  // clean up a share that is not open.
  CZnError cleanupObjectStore(const std::string& name, uint64_t subclient,
                              const std::string& pitName, bool force);

  // Persists the list of shares in objstr/StoreInfo.txt (replaced atomically).
  CZnError saveStoreInfo();
  // Recreates the share records and their index services from the file; a
  // line that does not parse stops it with EINVAL, keeping earlier records.
  CZnError restoreStoreInfo();

  CZnError updateWatermarks(const Watermarks& watermarks);
  CZnError getCurrentHighWatermark(int& highWatermark);
  CZnError startMigration(const std::string& fromContainerDir, const std::string& toContainerDir);

  // The root directory's object GUID of an open store; empty (after logging
  // "Invalid store") for an index that is not open.
  guid_t getRootGuid(ObjectStoreIndex index);
  CZnError updateObjectStore(ObjectStoreIndex index, const ObjectStoreUpdates& updates);

  // ---- File-system operations ------------------------------------------------
  // Each one counts the call under its own counter (write and read also add
  // the requested byte count to "writeBytes" / "readBytes"), even when it
  // then fails; holds the store list shared for the whole call; fails with
  // ENOENT ("Invalid store", logged) for an index that is not open; and
  // otherwise returns the result of the store's operation of the same name,
  // called with the same arguments. The counter of each is named after the
  // method unless noted.

  // A regular file `name` in directory `parent`; item names the new file.
  CZnError create(ObjectStoreIndex index, ItemName& parent, ItemName& item, const std::string& name,
                  mode_t mode);
  // A regular file at the full path.
  CZnError create(ObjectStoreIndex index, ItemName& item, const std::string& path, mode_t mode);
  // Creates a regular file and opens it in one step; st receives its attributes.
  CZnError createAndOpen(ObjectStoreIndex index, FileHandle& handle, ItemName& parent,
                         const std::string& name, struct stat& st, int flags);
  // Counted as "createSymlink".
  CZnError createSymbolicLink(ObjectStoreIndex index, ItemName& parent, const std::string& name,
                              ItemName& item, const std::string& target);
  CZnError createSymbolicLink(ObjectStoreIndex index, ItemName& item, const std::string& linkPath,
                              const std::string& target);
  CZnError mkdir(ObjectStoreIndex index, ItemName& parent, ItemName& item, const std::string& name,
                 mode_t mode);
  CZnError mkdir(ObjectStoreIndex index, ItemName& item, const std::string& path, mode_t mode);

  CZnError open(ObjectStoreIndex index, FileHandle& handle, ItemName& item, int flags,
                bool newVersion);
  // A client close: drops the handle's byte-range locks too.
  CZnError close(ObjectStoreIndex index, FileHandle& handle);
  // len: in, bytes to write; out, bytes written.
  CZnError write(ObjectStoreIndex index, FileHandle& handle, const char* buf, uint64_t& len,
                 uint64_t offset, Sync sync);
  // Reads up to size bytes at offset into buf; bytesRead receives how many
  // were delivered (0 when the read fails: a partly filled buffer is not
  // handed on as data).
  CZnError read(ObjectStoreIndex index, FileHandle& handle, char* buf, uint64_t offset,
                uint64_t size, uint64_t& bytesRead);
  // Up to max children of dir from position offset; done is set when the
  // listing reached its end.
  CZnError readdir(ObjectStoreIndex index, ItemName& dir, GuidPathList& out, size_t offset,
                   size_t max, bool& done);
  CZnError unlink(ObjectStoreIndex index, ItemName& item);
  CZnError rmdir(ObjectStoreIndex index, ItemName& item);
  CZnError rename(ObjectStoreIndex index, const std::string& from, const std::string& to,
                  bool newVersion);
  CZnError getattr(ObjectStoreIndex index, ItemName& item, struct stat& st);
  CZnError fsync(ObjectStoreIndex index, ItemName& item);
  // Counted as "fdatasync", then the same as fsync (which counts "fsync").
  CZnError fdatasync(ObjectStoreIndex index, ItemName& item);

  CZnError lock(ObjectStoreIndex index, const LockInfo& request, LockInfo& conflict);
  CZnError unlock(ObjectStoreIndex index, const LockInfo& request);
  CZnError telllock(ObjectStoreIndex index, const LockInfo& request, bool& locked);

  CZnError chmod(ObjectStoreIndex index, ItemName& item, mode_t mode);
  CZnError utimes(ObjectStoreIndex index, ItemName& item, const timeval& atime,
                  const timeval& mtime);
  CZnError chown(ObjectStoreIndex index, ItemName& item, uid_t uid, gid_t gid);
  CZnError readLink(ObjectStoreIndex index, ItemName item, std::string& target);
  CZnError statfs(ObjectStoreIndex index, struct statfs& buf);
  CZnError truncate(ObjectStoreIndex index, ItemName& item, uint64_t size, bool newVersion);
  CZnError guidToPath(ObjectStoreIndex index, const guid_t& guid, std::string& path);
  CZnError pathToGuid(ObjectStoreIndex index, guid_t& guid, const std::string& path);

  // Directory handles: opendir allocates *handle (null when the index is not
  // open); the caller keeps it until closedir, which releases it even when
  // the store was closed in between.
  CZnError opendir(ObjectStoreIndex index, DirHandle** handle, ItemName& dir);
  CZnError seekdir(ObjectStoreIndex index, DirHandle* handle, unsigned long position);
  // Counted as "readdir", like the paged form.
  CZnError readdir(ObjectStoreIndex index, DirHandle* handle, struct dirent** out, guid_t& guid);
  CZnError readdir_ex(ObjectStoreIndex index, DirHandle* handle, struct dirent** out, guid_t& guid,
                      struct stat& st, uint64_t* cookie);
  // Not counted.
  CZnError telldir(ObjectStoreIndex index, const DirHandle* handle, unsigned long& position);
  CZnError closedir(ObjectStoreIndex index, const DirHandle* handle);

  CZnError setxattr(ObjectStoreIndex index, ItemName& item, const std::string& name,
                    const std::vector<unsigned char>& value);
  CZnError getxattr(ObjectStoreIndex index, ItemName& item, const std::string& name,
                    std::vector<unsigned char>& value);
  CZnError listxattr(ObjectStoreIndex index, ItemName& item, std::vector<std::string>& names);
  CZnError removexattr(ObjectStoreIndex index, ItemName& item, const std::string& name);

  // The disk cache's pruning decision for one segment of a subclient (see
  // pruneFileStatic). True: the segment may go (and is already gone when a
  // store owns it).
  bool pruneFile(const std::string& subclient, const std::string& path, const guid_t& segment);
  // The pruning callback: context is the container.
  static bool pruneFileStatic(const std::string& subclient, const std::string& path,
                              const guid_t& segment, void* context);

  // The 38 entry-point counters by key, then the disk cache's counters.
  CZnError getCounters(std::map<std::string, std::string>& counters);
  const ObjectContainerCounters& counters() const { return counters_; }

  // ---- Reports ----------------------------------------------------------------
  // Each one holds the store list shared while it reads a store, so that the
  // store is not closed under it. An index that is not open fails with
  // ENOENT ("Invalid store", logged).

  // The container's own keys, the disk cache's, then every open store's
  // status under the prefix "store<slot>.".
  void getStatus(std::map<std::string, std::string>& status);
  // Where one version GUID stands: its object and its backup-queue state.
  CZnError getStatusVerGuid(std::map<std::string, std::string>& status, ObjectStoreIndex index,
                            const guid_t& guid);
  // One store's counters.
  CZnError getObjStrCounters(std::map<std::string, std::string>& counters, ObjectStoreIndex index);
  // Every open view's counters, summed key by key; EINVAL when a value is not
  // a decimal number.
  CZnError getAllObjStrCounters(std::map<std::string, std::string>& counters);
  // Resets the entry-point, disk-cache and performance counters and, in every
  // open view, the counters that are meant to be cleared.
  void clearCounters();
  CZnError getObjStrGuiStats(ObjectStoreIndex index,
                             std::vector<std::pair<std::string, std::string>>& stats);

  // ---- Debug commands -----------------------------------------------------------
  // words: the command and its arguments; response receives the answer text
  // (empty on success).
  CZnError processDbgCommand(std::string& response, const std::vector<std::string>& words);
  void debugCmd(ObjectStoreIndex index, DebugCommand command);

  // ---- Inspection (status, tests) ------------------------------------------
  bool isInitialized() const { return initialized_.load(); }
  const std::string& containerDir() const { return containerDir_; }
  const std::string& objstrDir() const { return objstrDir_; }
  const std::string& indexDir() const { return indexDir_; }
  std::shared_ptr<DiskCache> diskCache() const { return diskCache_; }
  // Number of share records.
  size_t numShares();
  // A copy of a share's record; false when there is none.
  bool getStoreInfo(const std::string& shareKey, StoreInfo& out);
  // Number of slots ever handed out (open and closed).
  size_t numSlots();

  // The share key of a share name: name + "_" + decimal subclient, one
  // leading '/' of the name removed.
  static std::string shareKeyOf(const std::string& name, uint64_t subclient);

  // ---- Test hooks -----------------------------------------------------------
  // How often the destructor asks an index whether asynchronous browses are
  // still running (default 1000 ms).
  static void setAsyncBrowsePollIntervalMsForTesting(uint32_t milliseconds);
  // Called between the steps of replacing StoreInfo.txt (see saveStoreInfo);
  // null removes the hook.
  static void setStoreInfoStepHookForTesting(void (*hook)(int step));

 private:
  // Looks up an open store. REQUIRES: storesLock_ held (either mode).
  ObjectStore* storeAt(ObjectStoreIndex index) OS_REQUIRES_SHARED(storesLock_);
  // The common frame of every per-store operation: counts the call (when a
  // counter is given), holds storesLock_ shared for the whole call, fails
  // with ENOENT "Invalid store" for an index that is not open, and otherwise
  // returns fn(store). Defined in ContainerWithStore.h, shared by the
  // container's implementation files.
  template <class Fn>
  CZnError withStore(ObjectStoreIndex index, const ContainerCounter* counter, Fn&& fn);

  CZnError openLocked(ObjectStoreIndex& out, const ObjectStoreConfig& config);
  CZnError closeLocked(ObjectStoreIndex index);
  CZnError cleanupLocked(const std::string& name, uint64_t subclient, const std::string& pitName,
                         bool force);
  // Creates the share's index service unless the record has one.
  // REQUIRES: storeInfoLock_ held.
  CZnError initIndex(StoreInfo& record, const ObjectStoreConfig& config,
                     const std::string& shareKey) OS_REQUIRES(storeInfoLock_);
  // Drops one reference taken by a failing open (the record goes when no
  // view uses it any more).
  void releaseShareRecord(const std::string& shareKey);
  // REQUIRES: storeInfoLock_ held.
  CZnError saveStoreInfoLocked() OS_REQUIRES(storeInfoLock_);
  CZnError deleteCacheDir(const std::string& dir, const std::string& shareKey);
  // Removes a directory tree when it exists; failure pushes `what`.
  CZnError removeViewDir(const std::string& dir, const char* what);

  // Lock order, outermost first: viewsLock_, storesLock_, storeInfoLock_.
  // A thread holding one of them only ever takes those after it.

  // Serialises opening, closing and cleaning up views, so that two opens of
  // one view cannot both create it and a close cannot interleave with an
  // open of the same view. Acquired before storesLock_; never taken by a
  // file-system operation or the pruner.
  std::mutex viewsLock_;
  // Held by a writer of storesLock_ while it waits for it; readers pass it
  // first (see StoresReadLock in ObjectContainer.cpp), so that writers are
  // not starved by a steady stream of readers. Never held with another
  // container lock except storesLock_ being acquired under it.
  std::mutex storesWriterGate_;
  // Shared by every per-store operation, the pruning callback and the
  // reports for their whole call; exclusive only while a slot is appended or
  // emptied. Acquired after viewsLock_, before storeInfoLock_, always through
  // storesWriterGate_.
  HxRW storesLock_ OS_ACQUIRED_BEFORE(storeInfoLock_);
  std::vector<ObjectStore*> stores_ OS_GUARDED_BY(storesLock_);  // owned; null = closed
  // (decimal subclient, pitName) -> slot.
  std::map<std::pair<std::string, std::string>, ObjectStoreIndex> openStores_
      OS_GUARDED_BY(storesLock_);
  // Guards storeInfos_ and the StoreInfo files. Acquired after storesLock_
  // (close and save take it under the write lock; open releases it before
  // taking the write lock). Innermost of the container's locks.
  HxCriticalSection storeInfoLock_;
  std::map<std::string, StoreInfo> storeInfos_ OS_GUARDED_BY(storeInfoLock_);

  // Set by init() before `initialized_`, read-only afterwards.
  std::shared_ptr<DiskCache> diskCache_;
  std::string containerDir_;
  std::string objstrDir_;
  std::string indexDir_;
  std::atomic<bool> initialized_{false};

  ObjectContainerCounters counters_;

  // Declared last so that it is destroyed first: its thread calls the reports
  // above and must be gone before the members they read. The destructor also
  // resets it explicitly before it tears the stores down.
  std::unique_ptr<CommandInterface> commandInterface_;
};

}  // namespace ObjectStore
