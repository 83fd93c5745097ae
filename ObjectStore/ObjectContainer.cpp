#include "ObjectStore/ObjectContainer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/CommandInterface.h"
#include "ObjectStore/ContainerWithStore.h"
#include "ObjectStore/ObjectStore.h"
#include "platform/backup/BackupInterface.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/support/EvEvent.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/FileUtils.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

const std::array<const char*, ObjectContainerCounters::NUM_COUNTERS>
    ObjectContainerCounters::NAMES = {
        "pruneFile",   "create",     "createAndOpen", "mkdir",      "mknod",     "createSymlink",
        "unlink",      "rmdir",      "open",          "close",      "write",     "writeBytes",
        "read",        "readBytes",  "fsync",         "fdatasync",  "lock",      "unlock",
        "telllock",    "truncate",   "rename",        "getattr",    "chmod",     "utimes",
        "chown",       "readLink",   "statfs",        "guidToPath", "pathToGuid", "readdir",
        "readdir_ex",  "opendir",    "seekdir",       "closedir",   "setxattr",  "getxattr",
        "listxattr",   "removexattr"};

namespace {

// Platform event raised when a share's cache directory can't be removed.
constexpr uint32_t EVENT_CACHE_DIR_NOT_REMOVED = 0x4a000530;
// Longest name of one directory entry.
constexpr size_t MAX_DIR_NAME_LENGTH = NAME_MAX;
// The index keeps <shareKey> plus a suffix of at most this length in indexDir.
constexpr size_t INDEX_FILE_SUFFIX_LENGTH = sizeof(".db-journal") - 1;

std::atomic<uint32_t> g_asyncBrowsePollMs{1000};
// Tells the backup transport that a share record went away (its index with
// it), unless another record still names the same subclient.
void forgetShareIndex(const std::map<std::string, StoreInfo>& records, uint64_t subclient) {
  for (const auto& entry : records)
    if (entry.second.subclient == subclient) return;
  unregisterShareIndex(subclient);
}

// Removes every segment file below a share's cache directory except those
// named in `keep`, through the disk cache so that its records stay true (a
// file the cache does not know is unlinked directly). Emptied two-character
// directories go too. Returns the number of files kept.
size_t deleteCacheDirExcept(DiskCache& cache, const std::string& dir, uint64_t subclient,
                            const std::set<guid_t>& keep) {
  DiskCacheContext share;  // addresses the share's area; never registered
  share.name = std::to_string(subclient);
  size_t kept = 0;
  // Nothing here follows a symbolic link: a link planted in the cache
  // directory must not make the cleanup delete files somewhere else.
  const int topFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (topFd < 0) return 0;
  DIR* top = fdopendir(topFd);
  if (top == nullptr) {
    ::close(topFd);
    return 0;
  }
  std::vector<std::string> subdirs;
  while (dirent* entry = readdir(top)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") subdirs.push_back(name);
  }
  for (const std::string& subdir : subdirs) {
    const int innerFd =
        openat(topFd, subdir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (innerFd < 0) continue;  // a stray file or link at the top: not a segment, left alone
    DIR* inner = fdopendir(innerFd);
    if (inner == nullptr) {
      ::close(innerFd);
      continue;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(inner)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    for (const std::string& name : names) {
      if (keep.count(name) != 0) {
        ++kept;
        continue;
      }
      // Already gone is as good as deleted; a file the cache never recorded
      // is removed behind it (unlinkat removes a link itself, never its
      // target).
      if (cache.deleteSegment(share, name, false, false, 0).failed())
        (void)unlinkat(innerFd, name.c_str(), 0);
    }
    closedir(inner);
    (void)unlinkat(topFd, subdir.c_str(), AT_REMOVEDIR);  // fails while a kept segment is in it
  }
  closedir(top);
  return kept;
}

// The performance counter table: index i is named PERF_COUNTER_NAMES[i].
const std::vector<std::string>& perfCounterNames() {
  static const std::vector<std::string> names = {
      "backupinit",       "backupjobstart",    "backupitem",      "create",
      "createAndOpen",    "createSymLink",     "mkdir",           "open",
      "close",            "writeExtent",       "write",           "readExtent",
      "read",             "unlink",            "rmdir",           "rename",
      "getattr",          "setattr",           "getxattr",        "setxattr",
      "fsync",            "flock",             "lock",            "chmod",
      "utimes",           "chown",             "truncate",        "guidToPath",
      "pathToGuid",       "readdir",           "read_for_backup", "write_to_pipeline",
      "updateVolumeSize", "readDirEnt",        "addToDirEnt",     "diskRead",
      "diskWrite",        "custom1",           "custom2",         "custom3",
      "DiskCacheSync",    "DiskCacheFstat",    "DiskCacheDiskRead", "DiskCacheDiskWrite",
      "DiskCacheOpen",    "DiskCacheSeek",     "DiskCacheClose",  "pipeline_commit",
      "stream_lock_wait"};
  return names;
}

bool dirExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}


// Checks that a view's share name and pitName can become directory names
// under the container without escaping it (they name the store directory,
// the noprune and view areas of the cache, and the index file).
// New names also keep control characters out: they end up in directory
// names, log lines and command replies, where a tab or an escape sequence
// misleads whoever reads them. (Names already recorded are still read.)
bool hasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

CZnError validateViewNames(const std::string& name, uint64_t subclient,
                           const std::string& pitName) {
  std::string shareName = (!name.empty() && name[0] == '/') ? name.substr(1) : name;
  std::string shareKey = ObjectContainer::shareKeyOf(name, subclient);
  if (!isSafeContainerName(shareName) || hasControlCharacter(shareName)) {
    OSLOG(-1, "Error: invalid share name [%s]", name.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid share name [%s]", name.c_str());
  }
  if (pitName.empty() || !isSafeContainerName(pitName) || hasControlCharacter(pitName)) {
    OSLOG(-1, "Error: [%s] invalid pitName [%s]", shareKey.c_str(), pitName.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid pitName [%s]", pitName.c_str());
  }
  if (shareKey.size() + 1 + pitName.size() > MAX_DIR_NAME_LENGTH ||
      shareKey.size() + INDEX_FILE_SUFFIX_LENGTH > MAX_DIR_NAME_LENGTH) {
    OSLOG(-1, "Error: share name [%s] with pitName [%s] too long", name.c_str(),
          pitName.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Share name or pitName too long");
  }
  return CZnError::Success;
}

// The writer's guard of storesLock_: it holds the gate while it waits, so
// that readers (StoresReadLock, ContainerWithStore.h) can't starve it.
class OS_SCOPED_CAPABILITY StoresWriteLock {
 public:
  StoresWriteLock(std::mutex& gate, HxRW& lock) OS_ACQUIRE(lock) : lock_(lock) {
    std::lock_guard<std::mutex> hold(gate);
    lock_.lock();
  }
  ~StoresWriteLock() OS_RELEASE() { lock_.unlock(); }
  StoresWriteLock(const StoresWriteLock&) = delete;
  StoresWriteLock& operator=(const StoresWriteLock&) = delete;

 private:
  HxRW& lock_;
};

}  // namespace

bool isSafeContainerName(const std::string& text) {
  if (text == "." || text == "..") return false;
  return text.find_first_of(std::string("/,\n\0", 4)) == std::string::npos;
}

// ---------------------------------------------------------------------------
// Construction and start-up

ObjectContainer::ObjectContainer() {
  // Bound and published before init(), so that operators can reach a
  // container that is still starting up. Never fails the container.
  commandInterface_ = std::make_unique<CommandInterface>(*this);
}

ObjectContainer::~ObjectContainer() {
  // No command may read the stores while they are being torn down.
  commandInterface_.reset();
  OSLOG(5, "Destroying objectcontainer");

  // Wait for the index services' asynchronous browses, outside every lock.
  std::vector<std::shared_ptr<index_iface>> indexes;
  {
    HxCriticalSectionGuard guard(storeInfoLock_);
    for (auto& [key, record] : storeInfos_)
      if (record.index) indexes.push_back(record.index);
  }
  for (auto& index : indexes) {
    index->stop_async_browses();
    while (index->get_num_async_browses() != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(g_asyncBrowsePollMs.load()));
  }

  if (diskCache_) diskCache_->shutdownPruner();

  std::vector<ObjectStore*> remaining;
  {
    StoresWriteLock guard(storesWriterGate_, storesLock_);
    for (auto*& store : stores_) {
      if (store != nullptr) remaining.push_back(store);
      store = nullptr;
    }
  }
  for (ObjectStore* store : remaining) {
    // Unregister from the disk cache before the store goes: a cache supplied
    // by the caller outlives the container and must not keep a context that
    // points into a deleted store.
    (void)store->uninitialize();  // only ever succeeds
    delete store;
  }
  {
    // The transport must not keep writing into indexes of a container that
    // is gone.
    HxCriticalSectionGuard guard(storeInfoLock_);
    for (const auto& entry : storeInfos_) unregisterShareIndex(entry.second.subclient);
  }

  OBJECT_STORE_LOG_ALL_PERF_COUNTERS("ObjectStore");
  OSLOG(5, "Destroyed objectcontainer");
}

CZnError ObjectContainer::init(const ObjectContainerConfig& config) {
  OSLOG(1, "Initializing ObjectContainer at [%s] diskCacheLRU=[%lu] pruningMode=%s",
        config.containerDir.c_str(), config.diskCacheLRU, config.pruningMode ? "lru" : "random");
  if (initialized_.load()) {
    OSLOG(-1, "Error: ObjectContainer already initialized at [%s]", containerDir_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "Already initialized");
  }
  if (config.containerDir.empty()) {
    OSLOG(-1, "Error: empty container directory");
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Empty container directory");
  }
  g_object_store_counter.InitPerfCounters(perfCounterNames());

  containerDir_ = config.containerDir;
  objstrDir_ = join(containerDir_, "objstr");
  indexDir_ = join(containerDir_, "index");
  const std::string backupDir = join(containerDir_, "backup");
  const std::string cacheDir = join(containerDir_, "cache");

  // The container holds copies of every share's file contents, whatever
  // their own modes say: a container directory made here is this user's
  // alone, and one that others may read is reported.
  struct stat containerSt;
  if (stat(containerDir_.c_str(), &containerSt) != 0) {
    const size_t slash = containerDir_.find_last_of('/');
    if (slash != std::string::npos && slash > 0) (void)createDir(containerDir_.substr(0, slash));
    (void)::mkdir(containerDir_.c_str(), 0700);  // an error shows in the next step
  } else if ((containerSt.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    OSLOG(1, "Warning: container directory [%s] is open to other users (mode %03o)",
          containerDir_.c_str(), static_cast<unsigned>(containerSt.st_mode & 0777));
  }
  if (int rc = createDir(objstrDir_); rc != 0) {
    OSLOG(-1, "Error: Can't create folder %s", objstrDir_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't create folder %s", objstrDir_.c_str());
  }
  if (int rc = createDir(backupDir); rc != 0) {
    OSLOG(-1, "Error: Can't create backup folder");
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't create backup folder %s",
                                   backupDir.c_str());
  }
  if (int rc = createDir(indexDir_); rc != 0) {
    OSLOG(-1, "Error: Can't create folder %s", indexDir_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't create folder %s", indexDir_.c_str());
  }

  if (config.diskCache) {
    OSLOG(5, "Using caller's disk cache");
    diskCache_ = config.diskCache;
  } else {
    auto cache = std::make_shared<DiskCache>(0);
    CZnError err = cache->init(cacheDir, {cacheDir}, config.highWatermark, config.lowWatermark,
                               config.thirdWatermark, config.diskCacheLRU, nullptr,
                               config.pruningMode ? PruningMode::Lru : PruningMode::Random);
    if (!err.ok()) {
      err.Push(FX_LOC, "Can't initialize disk cache");
      OSLOG_ERR(err);
      return err;
    }
    diskCache_ = std::move(cache);
  }

  if (!initBackupInterace(backupDir)) {
    OSLOG(-1, "Error: Can't init backup interface");
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't init backup interface");
  }
  initialized_.store(true);
  return CZnError::Success;
}

std::string ObjectContainer::shareKeyOf(const std::string& name, uint64_t subclient) {
  std::string key = name + "_" + std::to_string(subclient);
  if (!key.empty() && key[0] == '/') key.erase(0, 1);
  return key;
}

// ---------------------------------------------------------------------------
// Opening views

CZnError ObjectContainer::openObjectStore(ObjectStoreIndex& out, const ObjectStoreConfig& config) {
  OSLOG(3, "open store: name=[%s] subclient_id=[%lu] snapshotTime=%ld pitName=[%s]",
        config.name.c_str(), config.subclient, static_cast<long>(config.timestamp),
        config.pitName.c_str());
  if (!initialized_.load()) {
    OSLOG(-1, "Error: [%s] ObjectContainer not initialized", config.name.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Not initialized");
  }
  if (config.pitName.empty()) {
    OSLOG(-1, "Error: [%s] pitName is empty", config.name.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "[%s] pitName is empty", config.name.c_str());
  }
  if (CZnError err = validateViewNames(config.name, config.subclient, config.pitName); !err.ok())
    return err;

  std::lock_guard<std::mutex> views(viewsLock_);
  return openLocked(out, config);
}

CZnError ObjectContainer::openLocked(ObjectStoreIndex& out, const ObjectStoreConfig& config) {
  const std::string shareKey = shareKeyOf(config.name, config.subclient);
  const std::pair<std::string, std::string> viewKey(std::to_string(config.subclient),
                                                    config.pitName);

  // Reuse: a view is identified by subclient and pitName only.
  {
    StoresReadLock guard(storesWriterGate_, storesLock_);
    auto it = openStores_.find(viewKey);
    if (it != openStores_.end()) {
      ObjectStore* store = storeAt(it->second);
      if (store != nullptr && store->isActive()) {
        OSLOG(2, "objectStore found, reusing. [%s] timestamp=%lu pitName=[%s] index=%zu",
              shareKey.c_str(), config.timestamp, config.pitName.c_str(), it->second);
        out = it->second;
        return CZnError::Success;
      }
    }
  }

  std::shared_ptr<index_iface> index;
  {
    HxCriticalSectionGuard guard(storeInfoLock_);
    auto it = storeInfos_.find(shareKey);
    if (it == storeInfos_.end()) {
      it = storeInfos_.emplace(shareKey, StoreInfo(config.subclient)).first;
      CZnError err = initIndex(it->second, config, shareKey);
      if (!err.ok()) {
        OSLOG(-1, "Can't initialize index [%s]", shareKey.c_str());
        storeInfos_.erase(it);
        return err;
      }
    } else {
      ++it->second.refCount;
      // A record restored from StoreInfo.txt whose index could not be opened
      // then gets another chance.
      if (CZnError err = initIndex(it->second, config, shareKey); !err.ok()) {
        OSLOG(-1, "Can't initialize index [%s]", shareKey.c_str());
        if (--it->second.refCount <= 0) storeInfos_.erase(it);
        return err;
      }
      it->second.index->flush();
    }
    index = it->second.index;
  }

  // The restore library must know where the share's backups are before the
  // store asks it for the subclient's description.
  if (!registerSubClient(config.subclient, join(containerDir_, "backup"))) {
    OSLOG(-1, "Error: [%s] Can't register subclient %lu with the restore library",
          shareKey.c_str(), config.subclient);
    releaseShareRecord(shareKey);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't register subclient %lu",
                                   config.subclient);
  }

  std::unique_ptr<ObjectStore> store(new (std::nothrow) ObjectStore(*this, diskCache_, index));
  if (!store) {
    OSLOG(-1, "Error: [%s] Out of memory", shareKey.c_str());
    releaseShareRecord(shareKey);
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Can't allocate store");
  }

  const std::string storeDir = join(objstrDir_, shareKey + "_" + config.pitName);
  if (int rc = createDir(storeDir); rc != 0) {
    OSLOG(-1, "Error: Can't create folder %s", storeDir.c_str());
    releaseShareRecord(shareKey);
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't create folder %s", storeDir.c_str());
  }

  if (CZnError err = store->initialize(config, storeDir); !err.ok()) {
    // A store that got as far as registering with the disk cache must leave
    // it before it is deleted.
    (void)store->uninitialize();  // only ever succeeds
    store.reset();
    releaseShareRecord(shareKey);
    OSLOG(-1, "Can't initialize store");
    return err;
  }

  {
    StoresWriteLock guard(storesWriterGate_, storesLock_);
    stores_.push_back(store.release());
    out = stores_.size() - 1;
    openStores_[viewKey] = out;
    if (CZnError err = saveStoreInfo(); !err.ok()) {
      err.Push(FX_LOC, "Can't add store info");
      OSLOG_ERR(err);
      return err;  // the store stays open and listed
    }
  }
  OSLOG(3, "opened store [%lu] subclient [%s] shareName [%s]", out, viewKey.first.c_str(),
        config.name.c_str());
  return CZnError::Success;
}

CZnError ObjectContainer::initIndex(StoreInfo& record, const ObjectStoreConfig& config,
                                    const std::string& shareKey) {
  storeInfoLock_.assertHeld();
  if (record.index) return CZnError::Success;
  OSLOG(5, "initing pruning index for [%s]", shareKey.c_str());
  index_iface::args args;
  args.subclient = record.subclient;
  args.indexParam1 = config.indexParam1;
  args.indexParam2 = config.indexParam2;
  args.caseSensitive = config.caseSensitive;
  args.indexRoot = indexDir_;
  args.shareKey = shareKey;
  auto index = std::make_shared<index_iface>(args);
  if (index->init() != 0) {
    // The record keeps no half-initialised index: the next open retries.
    OSLOG(-1, "Error: index interface initialization failed for [%s]", shareKey.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Index initialization failed for [%s]",
                                   shareKey.c_str());
  }
  record.index = std::move(index);
  // A backup job can only start for a share whose index the transport knows:
  // it records each committed extent's location there.
  registerShareIndex(record.subclient, record.index, join(containerDir_, "backup"));
  return CZnError::Success;
}

void ObjectContainer::releaseShareRecord(const std::string& shareKey) {
  // A failing open undoes only its own reference: erasing a record that
  // other open views still use would lose the share for them.
  HxCriticalSectionGuard guard(storeInfoLock_);
  auto it = storeInfos_.find(shareKey);
  if (it == storeInfos_.end()) return;
  if (--it->second.refCount <= 0) {
    const uint64_t subclient = it->second.subclient;
    storeInfos_.erase(it);
    forgetShareIndex(storeInfos_, subclient);
  }
}

// ---------------------------------------------------------------------------
// Closing views

CZnError ObjectContainer::closeObjectStore(ObjectStoreIndex index) {
  OSLOG(3, "closed store [%lu]", index);
  if (!initialized_.load()) {
    OSLOG(-1, "Not initialized");
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Not initialized");
  }
  std::lock_guard<std::mutex> views(viewsLock_);
  return closeLocked(index);
}

CZnError ObjectContainer::closeLocked(ObjectStoreIndex index) {
  ObjectStore* store = nullptr;
  {
    // Once the slot is empty no operation can reach the store: every
    // operation holds storesLock_ shared for its whole call, so none is
    // running on it now and none can start.
    StoresWriteLock guard(storesWriterGate_, storesLock_);
    store = storeAt(index);
    if (store == nullptr) {
      OSLOG(-1, "Invalid store [%lu]", index);
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid store [%lu]", index);
    }
    stores_[index] = nullptr;
  }
  // The store is shut down outside storesLock_: its shutdown (the disk-cache
  // unregistration, later the final backup) must not hold up the other
  // stores' operations, nor wait for a pruner callback that waits for
  // storesLock_.
  const std::string rootName = store->getRootName();
  const uint64_t subclient = store->getSubclient();
  const std::string pitName = store->getConfig().pitName;
  (void)store->uninitialize();  // only ever succeeds
  delete store;

  if (CZnError err = cleanupLocked(rootName, subclient, pitName, false); !err.ok()) {
    OSLOG(1, "Error removing store [%lu]", index);
    return err;  // the slot stays empty and the view stays listed
  }
  {
    StoresWriteLock guard(storesWriterGate_, storesLock_);
    auto it = openStores_.find({std::to_string(subclient), pitName});
    if (it != openStores_.end() && it->second == index) openStores_.erase(it);
  }
  OSLOG(3, "Removed store [%lu]", index);
  return CZnError::Success;
}

CZnError ObjectContainer::cleanupObjectStore(const std::string& name, uint64_t subclient,
                                             const std::string& pitName, bool force) {
  std::lock_guard<std::mutex> views(viewsLock_);
  return cleanupLocked(name, subclient, pitName, force);
}

CZnError ObjectContainer::cleanupLocked(const std::string& name, uint64_t subclient,
                                        const std::string& pitName, bool force) {
  const std::string shareKey = (!name.empty() && name[0] == '/') ? name.substr(1) : name;
  if (shareKey.empty() || !isSafeContainerName(shareKey) || pitName.empty() || !isSafeContainerName(pitName)) {
    OSLOG(-1, "Error: Can't clean up [%s] pitName=[%s]: invalid name", name.c_str(),
          pitName.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid share key or pitName");
  }
  const std::string subclientText = std::to_string(subclient);
  const std::string viewName = subclientText + "_" + pitName;
  const std::string cacheRoot = join(containerDir_, "cache");

  HxCriticalSectionGuard guard(storeInfoLock_);
  if (force) {
    OSLOG(1, "Forced cleanup of [%s] subclient=%lu pitName=[%s]", shareKey.c_str(), subclient,
          pitName.c_str());
    StoreInfo& record = storeInfos_[shareKey] = StoreInfo(subclient);
    ObjectStoreConfig defaults;
    defaults.indexParam1 = CONTAINER_RESTORED_INDEX_PARAM1;
    defaults.indexParam2 = CONTAINER_RESTORED_INDEX_PARAM2;
    (void)initIndex(record, defaults, shareKey);  // logged inside; the cleanup goes on
  }

  auto it = storeInfos_.find(shareKey);
  if (it == storeInfos_.end()) {
    OSLOG(-1, "Error: Can't find storeInfo for [%s]", shareKey.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't find storeInfo for [%s]",
                                   shareKey.c_str());
  }
  if (--it->second.refCount == 0) {
    OSLOG(5, "cleaning up [%s]", shareKey.c_str());
    if (it->second.index) it->second.index->cleanup();
    OSLOG(5, "deleting shareInfo for [%s]", shareKey.c_str());
    storeInfos_.erase(it);
    forgetShareIndex(storeInfos_, subclient);
    if (CZnError err = saveStoreInfoLocked(); !err.ok()) {
      err.Push(FX_LOC, "Error: can't save storeInfo");
      OSLOG_ERR(err);
      return err;
    }
    // Segments that the share's journal still lists were never committed:
    // the cache holds their only copy, and the journal replay at the next
    // start must find them there. Only the rest of the directory goes.
    const std::string cacheDir = join(cacheRoot, subclientText);
    std::set<guid_t> pending;
    CZnError journalErr = BackupQueue::readPendingFromJournal(
        BackupQueue::journalDirOf(objstrDir_, subclientText), pending);
    if (journalErr.failed()) {
      OSLOG(-1, "Error: [%s] Can't read the backup journal: keeping [%s]", shareKey.c_str(),
            cacheDir.c_str());
    } else if (!pending.empty()) {
      OSLOG(1, "removing [%s] except segments waiting for backup", cacheDir.c_str());
      const size_t kept = deleteCacheDirExcept(*diskCache_, cacheDir, subclient, pending);
      // The disk cache never prunes a share's segment without an owner to
      // ask, so the kept ones stay until the share is opened again.
      OSLOG(1, "[%s] kept %zu segments waiting for backup", shareKey.c_str(), kept);
    } else {
      if (CZnError err = deleteCacheDir(cacheDir, shareKey); !err.ok()) {
        err.Push(FX_LOC, "Error: can't delete cache directory [%s]", cacheDir.c_str());
        OSLOG_ERR(err);
        return err;
      }
    }
  }

  if (CZnError err = removeViewDir(join(cacheRoot, join("noprune", viewName)),
                                   "Error: can't delete noprune directory [%s]");
      !err.ok())
    return err;
  if (CZnError err = removeViewDir(join(cacheRoot, join("views", viewName)),
                                   "Error: can't delete view directory [%s]");
      !err.ok())
    return err;
  const std::string storeDir = join(objstrDir_, shareKey + "_" + pitName);
  if (int rc = rmTree(storeDir); rc != 0) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, rc);
    err.Push(FX_LOC, "Error: can't remove objectStore directory [%s]", storeDir.c_str());
    OSLOG_ERR(err);
    return err;
  }
  OSLOG(3, "Removed store [%s] subclient=%lu pitName=[%s]", shareKey.c_str(), subclient,
        pitName.c_str());
  return CZnError::Success;
}

CZnError ObjectContainer::deleteCacheDir(const std::string& dir, const std::string& shareKey) {
  OSLOG(1, "removing [%s]", dir.c_str());
  if (int rc = rmTree(dir); rc != 0) {
    OSLOG(-1, "Error: Can't remove [%s]", dir.c_str());
    EvEvent::MajorEvent(EVENT_CACHE_DIR_NOT_REMOVED, 0, 0, "Can't remove [%s] of [%s]",
                        dir.c_str(), shareKey.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't remove [%s]", dir.c_str());
  }
  return CZnError::Success;
}

CZnError ObjectContainer::removeViewDir(const std::string& dir, const char* what) {
  if (!dirExists(dir)) return CZnError::Success;
  if (int rc = rmTree(dir); rc != 0) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, rc);
    err.Push(FX_LOC, what, dir.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Disk cache settings

CZnError ObjectContainer::updateWatermarks(const Watermarks& watermarks) {
  if (!diskCache_) return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Not initialized");
  CZnError err = diskCache_->updateWatermarks(watermarks.highWatermark, watermarks.lowWatermark,
                                              watermarks.thirdWatermark);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't update disk cache watermarks");
    OSLOG_ERR(err);
  }
  return err;
}

CZnError ObjectContainer::getCurrentHighWatermark(int& highWatermark) {
  if (!diskCache_) return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Not initialized");
  int low = 0;
  int third = 0;
  CZnError err = diskCache_->getCurrentWatermarks(highWatermark, low, third);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't get disk cache watermarks");
    OSLOG_ERR(err);
  }
  return err;
}

CZnError ObjectContainer::startMigration(const std::string& fromContainerDir,
                                         const std::string& toContainerDir) {
  if (!diskCache_) return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Not initialized");
  int rc = diskCache_->startMigration(0, join(fromContainerDir, "cache"),
                                      join(toContainerDir, "cache"));
  if (rc != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't migrate [%s] to [%s]",
                                   fromContainerDir.c_str(), toContainerDir.c_str());
  }
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Per-store operations

ObjectStore* ObjectContainer::storeAt(ObjectStoreIndex index) {
  return index < stores_.size() ? stores_[index] : nullptr;
}

guid_t ObjectContainer::getRootGuid(ObjectStoreIndex index) {
  guid_t root;
  (void)withStore(index, nullptr, [&](ObjectStore& store) {  // failure logged inside
    root = store.getRootGuid();
    return CZnError::Success;
  });
  return root;
}

CZnError ObjectContainer::updateObjectStore(ObjectStoreIndex index,
                                            const ObjectStoreUpdates& updates) {
  return withStore(index, nullptr, [&](ObjectStore& store) {
    if (CZnError err = saveStoreInfo(); !err.ok()) {
      err.Push(FX_LOC, "Can't save store info");
      OSLOG_ERR(err);
      return err;
    }
    return store.updateObjectStore(updates);
  });
}

bool ObjectContainer::pruneFile(const std::string& subclient, const std::string& path,
                                const guid_t& segment) {
  counters_.add(ContainerCounter::PRUNE_FILE);
  StoresReadLock guard(storesWriterGate_, storesLock_);
  // Segments of a share belong to its main (live) view.
  auto it = openStores_.find({subclient, "0"});
  if (it != openStores_.end()) {
    ObjectStore* store = storeAt(it->second);
    if (store != nullptr) return store->pruneFile(path, segment);
    OSLOG(-1, "Error: no store for the index [%zu] subclient [%s]", it->second,
          subclient.c_str());
    return false;
  }
  // Without its live view nobody holds the share's queue in memory; its
  // journal still names what was never committed, and that must stay.
  std::set<guid_t> pending;
  const std::string journalDir = BackupQueue::journalDirOf(objstrDir_, subclient);
  if (BackupQueue::readPendingFromJournal(journalDir, pending).failed() ||
      pending.count(segment) != 0) {
    OSLOG(5, "no main share for subclient [%s], [%s] waits for backup", subclient.c_str(),
          segment.c_str());
    return false;
  }
  OSLOG(5, "no main share for subclient [%s], deleting [%s]", subclient.c_str(), path.c_str());
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    OSLOG(-1, "Error: Can't delete [%s]: errno %d", path.c_str(), errno);
  return true;
}

bool ObjectContainer::pruneFileStatic(const std::string& subclient, const std::string& path,
                                      const guid_t& segment, void* context) {
  return static_cast<ObjectContainer*>(context)->pruneFile(subclient, path, segment);
}

// ---------------------------------------------------------------------------
// Reports and inspection

CZnError ObjectContainer::getCounters(std::map<std::string, std::string>& counters) {
  for (size_t i = 0; i < ObjectContainerCounters::NUM_COUNTERS; ++i)
    counters[ObjectContainerCounters::name(i)] = std::to_string(counters_.get(i));
  if (diskCache_) diskCache_->getCounters(counters);
  return CZnError::Success;
}

size_t ObjectContainer::numShares() {
  HxCriticalSectionGuard guard(storeInfoLock_);
  return storeInfos_.size();
}

bool ObjectContainer::getStoreInfo(const std::string& shareKey, StoreInfo& out) {
  HxCriticalSectionGuard guard(storeInfoLock_);
  auto it = storeInfos_.find(shareKey);
  if (it == storeInfos_.end()) return false;
  out = it->second;
  return true;
}

size_t ObjectContainer::numSlots() {
  StoresReadLock guard(storesWriterGate_, storesLock_);
  return stores_.size();
}

void ObjectContainer::setAsyncBrowsePollIntervalMsForTesting(uint32_t milliseconds) {
  g_asyncBrowsePollMs.store(milliseconds);
}


}  // namespace ObjectStore
