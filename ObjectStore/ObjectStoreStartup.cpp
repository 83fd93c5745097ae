// Store start-up, configuration changes, shut-down and the root directory.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <functional>

#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/support/Clock.h"
#include "platform/support/HXPI_EventManager.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

// Persistent files in the store directory.
constexpr const char* VERSION_CACHE_FILE = "version_cache";
constexpr const char* GUID_CACHE_FILE = "guid_cache";
constexpr const char* DELETED_SEGMENTS_FILE = "deleted_segments";
constexpr const char* PENDING_REMOVALS_FILE = "pending_removals";
// Data widths of the two GUID caches' elements: a version GUID (or extent
// segment name) and a path.
constexpr int VERSION_CACHE_DATA_WIDTH = 44;
constexpr int GUID_CACHE_DATA_WIDTH = 64;
// Name of the per-store event log file.
constexpr const char* EVENT_LOG_NAME = "kynfsevents";

}  // namespace

ObjectStore::ObjectStore(ObjectContainer& container, std::shared_ptr<DiskCache> diskCache,
                         std::shared_ptr<index_iface> index)
    : container_(container),
      diskCache_(std::move(diskCache)),
      index_(std::move(index)),
      guidCache_("guid"),
      versionCache_("version") {}

ObjectStore::~ObjectStore() {
  // Records still listed belong to handles the file server never closed;
  // nothing can use them once the store is gone.
  HxCriticalSectionGuard files(openFilesLock_);
  for (auto& entry : openFiles_) delete entry.second;
  openFiles_.clear();
  HxCriticalSectionGuard extents(openExtentsLock_);
  for (auto& entry : openExtents_) delete entry.second;
  openExtents_.clear();
}

CZnError ObjectStore::initialize(const ObjectStoreConfig& config, const std::string& storeDir) {
  config_ = config;
  rootName_ = config.name + "_" + std::to_string(config.subclient);
  rootGuid_ = config.rootDir;
  subclientText_ = std::to_string(config.subclient);
  attrCache_.setSize(config.attrCacheSize);
  xattrCache_.setSize(config.xattrCacheSize);
  dirEntCache_.setSize(config.dirCacheEntriesMax);
  snapshotSuffix_ = makeSnapshotSuffix(config.timestamp);
  storeDir_ = storeDir;
  readOnly_.store(config.readOnly);
  versionInterval_.store(config.versionInterval);

  OSLOG(1,
        "Initializing [%s]: subclient=[%lu] rootDir=[%s] timestamp=[%lu] extentSize [%lu] "
        "guidCache [%d] verCache [%d] backupFilter[%s] discardWrites [%d] pitName [%s] "
        "caseSensitive [%d]",
        rootName_.c_str(), config.subclient, config.rootDir.c_str(), config.timestamp,
        config.extentSize, config.guidCacheBytesMax, config.versionCacheBytesMax,
        config.backupFilter.c_str(), config.discardWrites ? 1 : 0, config.pitName.c_str(),
        config.caseSensitive ? 1 : 0);
  OSLOG(1, "pitName [%s] Device ID %lx", config.pitName.c_str(),
        static_cast<unsigned long>(std::hash<std::string>{}(config.pitName + subclientText_)));

  {
    std::shared_ptr<RestoreInterface> restore;
    if (CZnError err = makeRestoreInterface(config.copyPrecedence, restore); !err.ok())
      return err;
    OSLOG(1, "Copy Precedence [%u].", static_cast<unsigned>(config.copyPrecedence));
    HxCriticalSectionGuard guard(restoreLock_);
    restore_ = std::move(restore);
    copyPrecedence_ = config.copyPrecedence;
  }

  CZnError err = versionCache_.initialize(config.versionCacheBytesMax, VERSION_CACHE_DATA_WIDTH,
                                          join(storeDir, VERSION_CACHE_FILE), true, true);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't create version cache", rootName_.c_str());
    OSLOG_ERR(err);
    return err;
  }
  err = guidCache_.initialize(config.guidCacheBytesMax, GUID_CACHE_DATA_WIDTH,
                              join(storeDir, GUID_CACHE_FILE), false, !config.caseSensitive);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't create guid cache", rootName_.c_str());
    OSLOG_ERR(err);
    return err;
  }

  if (err = registerDiskCacheContext(); !err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't register disk context", rootName_.c_str());
    OSLOG_ERR(err);
    return err;
  }

  if (err = deletedSegments_.initialize(join(storeDir, DELETED_SEGMENTS_FILE)); !err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't create deletedSegment map", rootName_.c_str());
    OSLOG_ERR(err);
    return err;
  }

  if (rootGuid_.empty()) {
    if (err = createRootDir(config.rootAttribs); !err.ok()) {
      err.Push(FX_LOC, "Error: [%s] Can't create root directory", rootName_.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }

  if (!config.readOnly && !discardWrites_.load() && config.timestamp == 0) {
    // Only the live writable share changes what the backup holds. The queue
    // replays the share's journal first, so whatever an earlier run left
    // unsent is queued again before any new write arrives.
    auto queue = std::make_unique<BackupQueue>(*this, *diskCache_);
    err = queue->initialize(config.subclient, config.backupTimeout, config.jobIdleTimeoutMs,
                            container_.objstrDir(), context_);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: [%s] Can't initialize backup queue", rootName_.c_str());
      OSLOG_ERR(err);
      return err;  // the half-started queue stops its threads as it goes
    }
    backupQueue_ = std::move(queue);
  }

  if (!config.readOnly && !discardWrites_.load()) {
    // Before anything lists a directory: a name left for a deleted item
    // must be gone by then.
    if (err = finishInterruptedRemovals(); !err.ok()) {
      err.Push(FX_LOC, "Error: [%s] Can't open the removal log", rootName_.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }

  readRegistrySettings();

  active_.store(true);
  // Replays what other writers changed in the index onto the local lists and
  // headers. It always succeeds: what it can't replay, later reads repair.
  (void)syncCollectFiles();

  openEventLog();

  OSLOG(1,
        "Initialized [%s]: subclient=[%lu] rootDir=[%s] timestamp=[%lu] extentSize [%lu] "
        "guidCache [%d] verCache [%d] discardWrites [%d] pitName [%s]",
        rootName_.c_str(), config.subclient, rootGuid_.c_str(), config.timestamp,
        config.extentSize, config.guidCacheBytesMax, config.versionCacheBytesMax,
        discardWrites_.load() ? 1 : 0, config.pitName.c_str());
  return CZnError::Success;
}

bool ObjectStore::finishRemoval(const IntentLog::Removal& removal) {
  index_iface_props props;
  CZnError err = findObjGuidFromIndex(removal.objGuid, props);
  if (err.ok()) {
    // Stopped before the index delete: the removal never happened.
    OSLOG(2, "[%s] removal of [%s] [%s] never started", rootName_.c_str(), removal.name.c_str(),
          removal.objGuid.c_str());
    return true;
  }
  if (err.errNo() != ENOENT) {
    OSLOG(-1, "[%s] Error: Can't tell whether [%s] was removed; checked again later",
          rootName_.c_str(), removal.objGuid.c_str());
    return false;
  }
  OSLOG(2, "[%s] finishing the removal of [%s] [%s] from [%s]", rootName_.c_str(),
        removal.name.c_str(), removal.objGuid.c_str(), removal.parentGuid.c_str());
  // The removal may have been cut off inside its rewrite of the list.
  if (!trimEntryList(removal.parentGuid).ok()) return false;
  // An entry no longer there, or a parent gone since, is what was wanted.
  err = removeFromDirEnt(removal.parentGuid, removal.objGuid, removal.name);
  if (!err.ok() && err.errNo() != ENOENT) {
    OSLOG(-1, "[%s] Error: Can't remove [%s] from [%s]; tried again later: %s", rootName_.c_str(),
          removal.name.c_str(), removal.parentGuid.c_str(), err.text().c_str());
    return false;
  }
  (void)dirEntCache_.erase(removal.objGuid);  // a directory's own list, if cached
  (void)guidCache_.deleteGuid(removal.objGuid);
  (void)versionCache_.deleteGuid(removal.objGuid);
  if (err.ok()) (void)updateTimes(removal.parentGuid, getDirVersion(removal.parentGuid));
  return true;
}

bool ObjectStore::finishMove(const IntentLog::Move& move) {
  const char* root = rootName_.c_str();
  // Either list may have been cut off inside a rewrite that removed an entry.
  if (!trimEntryList(move.srcParentGuid).ok() || !trimEntryList(move.dstParentGuid).ok())
    return false;
  index_iface_props props;
  CZnError err = findObjGuidFromIndex(move.objGuid, props);
  if (!err.ok() && err.errNo() == ENOENT) return true;  // removed since: nothing to move
  if (!err.ok()) {
    OSLOG(-1, "[%s] Error: Can't tell where [%s] is; checked again later", root,
          move.objGuid.c_str());
    return false;
  }
  // Cached paths and versions may be of either side: looked up again.
  (void)guidCache_.deleteGuid(move.objGuid);
  (void)versionCache_.deleteGuid(move.objGuid);
  (void)dirEntCache_.erase(move.objGuid);  // a directory's cached parent
  const bool renamed = props.parentGuid == move.dstParentGuid && props.path == move.dstPath;
  const bool stayed = props.parentGuid == move.srcParentGuid && props.path == move.srcPath;
  if (!renamed && !stayed) return true;  // moved again since
  // Where the index has the item, the lists must have it, and only there.
  const guid_t& keepParent = renamed ? move.dstParentGuid : move.srcParentGuid;
  const std::string& keepName = renamed ? move.dstName : move.srcName;
  const guid_t& dropParent = renamed ? move.srcParentGuid : move.dstParentGuid;
  const std::string& dropName = renamed ? move.srcName : move.dstName;
  if (move.isDirectory) {
    (void)guidCache_.renamePaths(renamed ? move.srcPath : move.dstPath,
                                 renamed ? move.dstPath : move.srcPath);
  }
  const NameLess folded(false);
  if (keepParent == dropParent && !folded(keepName, dropName) && !folded(dropName, keepName)) {
    // A new spelling of the same name: one record, under either spelling,
    // is the item where it belongs.
    OSLOG(2, "[%s] rename of [%s] to [%s] left as listed", root, move.srcPath.c_str(),
          move.dstPath.c_str());
    return true;
  }
  OSLOG(2, "[%s] finishing the rename of [%s] to [%s]: at [%s]", root, move.srcPath.c_str(),
        move.dstPath.c_str(), props.path.c_str());

  ItemName keepDir(keepParent, keepParent == rootGuid_);
  guid_t listed;
  if (err = lookupPathInDirEnt(listed, keepDir, keepName); !err.ok()) return false;
  if (listed.empty()) {
    if (err = addToDirEnt(keepParent, move.objGuid, keepName, true); !err.ok()) return false;
  } else if (listed != move.objGuid) {
    OSLOG(-1, "[%s] Error: [%s] is taken by [%s]; [%s] stays listed as it is", root,
          keepName.c_str(), listed.c_str(), move.objGuid.c_str());
    return true;
  }
  // Only the item's own entry of that name goes: the move may have got past
  // it already, and the item's other entry is the one to keep.
  ItemName dropDir(dropParent, dropParent == rootGuid_);
  guid_t dropped;
  err = lookupPathInDirEnt(dropped, dropDir, dropName);
  if (!err.ok() && err.errNo() != ENOENT) return false;
  if (err.ok() && dropped == move.objGuid) {
    err = removeFromDirEnt(dropParent, move.objGuid, dropName);
    if (!err.ok() && err.errNo() != ENOENT) return false;
  }
  // The item's header names its parent, which an unlink and a later rename
  // start from; a rename cut off before its header write left the old one.
  const guid_t segment = move.isDirectory ? getDirVersion(move.objGuid) : props.verGuid;
  if (!segment.empty() && diskCache_->doesSegmentExist(context_, segment) &&
      !setHeaderParent(segment, keepParent).ok()) {
    OSLOG(-1, "[%s] Error: Can't set the parent of [%s]; tried again later", root,
          segment.c_str());
    return false;
  }
  (void)updateTimes(keepParent, getDirVersion(keepParent));
  if (dropParent != keepParent) (void)updateTimes(dropParent, getDirVersion(dropParent));
  return true;
}

CZnError ObjectStore::finishInterruptedRemovals() {
  // Beside the store's own directory, which a clean close removes: a change
  // left unfinished then must still be finished by the next start.
  IntentLog::Unfinished unfinished;
  CZnError err = intentLog_.open(
      join(container_.objstrDir(), PENDING_REMOVALS_FILE + ("_" + subclientText_)), unfinished);
  if (!err.ok()) return err;
  IntentLog::Unfinished keep;
  for (const IntentLog::Removal& removal : unfinished.removals)
    if (!finishRemoval(removal)) keep.removals.push_back(removal);
  for (const IntentLog::Move& move : unfinished.moves)
    if (!finishMove(move)) keep.moves.push_back(move);
  return intentLog_.rewrite(keep);
}

void ObjectStore::finishLeftRemovals() {
  std::unique_lock<std::mutex> one(leftRemovalsLock_, std::try_to_lock);
  if (!one.owns_lock()) return;
  for (const auto& [ticket, removal] : intentLog_.left())
    if (finishRemoval(removal)) intentLog_.finish(ticket);
  for (const auto& [ticket, move] : intentLog_.leftMoves()) {
    if (!finishMove(move)) continue;
    OSLOG(2, "[%s] entry lists of the rename of [%s] to [%s] repaired", rootName_.c_str(),
          move.srcPath.c_str(), move.dstPath.c_str());
    intentLog_.finish(ticket);
  }
}

CZnError ObjectStore::makeRestoreInterface(int copyPrecedence,
                                           std::shared_ptr<RestoreInterface>& out) {
  SubClientInfo info;
  if (!GetSubClientInfo(config_.subclient, info)) {
    OSLOG(-1, "Error: [%s] Can't get subClient info from restore interface", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "[%s] Can't get subClient info",
                                   rootName_.c_str());
  }
  info.copyPrecedence = copyPrecedence;
  auto restore = std::make_shared<RestoreInterface>(info);
  if (!restore->IsInitSuccessFull()) {
    OSLOG(-1, "Error: [%s] Can't initialize restore interface", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "[%s] Can't initialize restore interface",
                                   rootName_.c_str());
  }
  out = std::move(restore);
  return CZnError::Success;
}

CZnError ObjectStore::registerDiskCacheContext() {
  const std::string viewName = subclientText_ + "_" + config_.pitName;
  context_.name = subclientText_;
  context_.noprunePath = join("noprune", viewName);
  // A point-in-time view keeps what it restores apart from the live share's
  // segments, which hold the latest state.
  context_.viewPath = config_.timestamp != 0 ? join("views", viewName) : std::string();
  if (config_.timestamp != 0 && config_.discardWrites) {
    discardWrites_.store(true);
    context_.keepFiltered = true;
    context_.keepAll = true;
  } else {
    HxCriticalSectionGuard guard(backupFilterLock_);
    backupFilter_ = config_.backupFilter;
    context_.keepFiltered = !backupFilter_.empty();
    context_.keepAll = false;
    tokenize(backupFilterTokens_, backupFilter_, ",");
  }
  ObjectContainer* container = &container_;
  context_.pruneCallback = [container](const std::string& subclient, const std::string& path,
                                       const std::string& segment) {
    return ObjectContainer::pruneFileStatic(subclient, path, segment, container);
  };
  CZnError err = diskCache_->registerContext(context_);
  if (err.ok()) contextRegistered_ = true;
  return err;
}

void ObjectStore::readRegistrySettings() {
  shareSizeUpdateInterval_ = getRegistryValue("UpdateShareSizeIntervalSec", 0, 0, 900);
  lastShareSizeFetch_.store(0);
  saveCorruptSegments_ = getRegistryValue("nSaveCorruptSegments", 0, 0, INT_MAX) != 0;
}

void ObjectStore::openEventLog() {
  if (!getRegistryValue("nEnableObjectStoreEventLogging", false, false, true)) return;
  if (!eventLogger_.isInitialized()) {
    HXPI_EventManager eventManager(0, 0);
    CZnError err = eventLogger_.init(EVENT_LOG_NAME, eventManager.getLogDirectory(), 1, false,
                                     false);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: [%s] Can't open the event log", rootName_.c_str());
      OSLOG_ERR(err);
      return;
    }
  }
  if (eventLogger_.getDebugLevel() >= 0) eventLogger_.write(0, "ObjectStore [%s] created", rootName_.c_str());
}

void ObjectStore::eventLog(const char* format, ...) {
  if (!eventLogger_.isInitialized() || !eventLogger_.enabled(0)) return;
  va_list args;
  va_start(args, format);
  eventLogger_.writeV(0, format, args);
  va_end(args);
}

CZnError ObjectStore::uninitialize() {
  // The queue goes first: its close sends what it still holds, and the
  // sends read the segments through the disk-cache registration.
  // Before the queue's last sends: a directory must be backed up without the
  // names of items already deleted from the index.
  if (intentLog_.isOpen()) finishLeftRemovals();
  backupQueue_.reset();
  intentLog_.close();
  if (contextRegistered_) {
    // The store is going away whatever the disk cache answers.
    (void)diskCache_->unregisterContext(context_);
    contextRegistered_ = false;
  }
  active_.store(false);
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Run-time changes

CZnError ObjectStore::updateObjectStore(const ObjectStoreUpdates& updates) {
  if (updates.updateTimeout) {
    if (backupQueue_) {
      backupQueue_->updateParams(updates.timeout);
    } else {
      OSLOG(2, "[%s] No backup queue: quiet period %lu s not applied", rootName_.c_str(),
            updates.timeout);
    }
  }
  if (updates.restartBackupJob && !updates.jobArg2.empty()) {
    if (backupQueue_) {
      backupQueue_->restartJob();
    } else {
      OSLOG(2, "[%s] No backup queue: no backup job to restart", rootName_.c_str());
    }
  }

  if (updates.updateCopyPrecedence) {
    OSLOG(1, "Updating copyPrecedence to %d", updates.copyPrecedence);
    if (updates.copyPrecedence == copyPrecedence()) {
      OSLOG(2,
            "Info: [%s] Given copy precedence [%u] is same current copy precedence. No need to "
            "set.",
            rootName_.c_str(), static_cast<unsigned>(updates.copyPrecedence));
    } else {
      std::shared_ptr<RestoreInterface> restore;
      if (CZnError err = makeRestoreInterface(updates.copyPrecedence, restore); !err.ok())
        return err;  // the previous instance stays
      OSLOG(1, "Copy Precedence updated to [%u].", static_cast<unsigned>(updates.copyPrecedence));
      HxCriticalSectionGuard guard(restoreLock_);
      restore_ = std::move(restore);
      copyPrecedence_ = updates.copyPrecedence;
    }
  }

  if (updates.updateDiscardWrites) {
    OSLOG(1, "Updating discardWrites to %d", updates.discardWrites ? 1 : 0);
    if (updates.discardWrites == discardWrites_.load()) {
      OSLOG(2, "[%s] Given discardWrites [%u] is same current discardWrites. No need to set.",
            rootName_.c_str(), updates.discardWrites ? 1u : 0u);
    } else if (config_.timestamp == 0) {
      OSLOG(2, "[%s] discard writes are not valid for main share", rootName_.c_str());
    } else {
      // Local-only segments go to the view's own noprune area, the one that
      // start-up uses and that closing the view removes.
      const std::string noprunePath =
          updates.discardWrites ? join("noprune", subclientText_ + "_" + config_.pitName)
                                : std::string();
      CZnError err = diskCache_->updateContext(context_, noprunePath, updates.discardWrites);
      if (!err.ok()) {
        err.Push(FX_LOC, "Error: [%s] Can't update disk context", rootName_.c_str());
        OSLOG_ERR(err);
        return err;
      }
      readOnly_.store(!updates.discardWrites);
      discardWrites_.store(updates.discardWrites);
    }
  }

  if (updates.updateBackupFilter) {
    OSLOG(1, "Updating backup filter to [%s]", updates.backupFilter.c_str());
    HxCriticalSectionGuard guard(backupFilterLock_);
    backupFilter_ = updates.backupFilter;
    tokenize(backupFilterTokens_, backupFilter_, ",");
    context_.keepFiltered = !backupFilter_.empty();
  }

  if (updates.updateVersionInterval) {
    OSLOG(1, "Updating version interval to [%d] seconds.", updates.versionInterval);
    versionInterval_.store(static_cast<unsigned int>(updates.versionInterval));
  }
  return CZnError::Success;
}

int ObjectStore::copyPrecedence() {
  HxCriticalSectionGuard guard(restoreLock_);
  return copyPrecedence_;
}

std::shared_ptr<RestoreInterface> ObjectStore::restoreInterface() {
  HxCriticalSectionGuard guard(restoreLock_);
  return restore_;
}

std::string ObjectStore::backupFilter() {
  HxCriticalSectionGuard guard(backupFilterLock_);
  return backupFilter_;
}

std::vector<std::string> ObjectStore::backupFilterTokens() {
  HxCriticalSectionGuard guard(backupFilterLock_);
  return backupFilterTokens_;
}

// ---------------------------------------------------------------------------
// Root directory

CZnError ObjectStore::createRootDir(const FileAttribs& attribs) {
  OSLOG(4, "[%s] Creating root directory", rootName_.c_str());
  index_iface_props props;
  index_->get_content_root_dir(props);
  rootGuid_ = props.objGuid;

  if (!props.verGuid.empty()) {
    OSLOG(1, "[%s] Found root guid in index: [%s]", rootName_.c_str(), rootGuid_.c_str());
  } else {
    const int64_t nowNs = clockNowNs();
    const int64_t nowSec = nowNs / 1000000000;
    props.path.assign(1, OBJSTR_DELIMITER);
    props.verGuid = directoryVersionName(rootGuid_, snapshotSuffix_);
    props.modeValid = true;
    props.mode = static_cast<int>(attribs.mode | S_IFDIR);
    props.uidValid = true;
    props.uid = static_cast<int>(attribs.uid);
    props.gidValid = true;
    props.gid = static_cast<int>(attribs.gid);
    props.size = 0;
    props.atime = props.mtime = props.ctime = nowSec;
    props.extentSize = static_cast<int64_t>(config_.extentSize);
    props.vtime = nowNs;
    if (CZnError err = createNewItem(props, false); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't create root directory");
      OSLOG_ERR(err);
      return err;
    }
    OSLOG(1, "[%s] Created new root directory: [%s]", rootName_.c_str(), rootGuid_.c_str());
    index_->set_content_root_props(props);
  }
  // A failed insert only costs a later index lookup.
  (void)guidCache_.insert(rootGuid_, std::string(1, OBJSTR_DELIMITER), false);
  return CZnError::Success;
}

}  // namespace ObjectStore
