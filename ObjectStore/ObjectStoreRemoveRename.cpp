// Removing and renaming items: unlink, rmdir, rename and renameDir.
//
// Neither operation is transactional. Each changes, in a fixed order, the
// index, the path and version caches and the parents' entry lists, and each
// has a crash point in the middle of that order (DebugFlags.h). The states an
// interruption leaves behind are repaired by the next operation on the item:
//   - after an interrupted unlink the item is gone from the index but still
//     listed by its parent. The removal log (IntentLog.h) lets the next
//     start finish it; an entry-list change that failed is tried again
//     before the next operation. Without a log record (a lost file),
//     unlinking (or renaming onto) that name again drops the leftover entry;
//   - after an interrupted rename the index knows the new name while the
//     entry lists still show the old one. The log lets the next start move
//     the entry; until then (or without a record) the item stays reachable
//     under the listed name, and renaming it again (to any name, the
//     intended one included) moves its entry.
// To find such items, a path the caches and the index do not know is looked
// up in its parent's entry list as well.
//
// Locks: the item removed or renamed is held open with its item lock for the
// whole operation; each parent's entry list is changed under that parent's
// item lock (taken inside addToDirEnt/removeFromDirEnt), one at a time, so an
// item's lock is always taken before its parent's. A destination that is
// replaced is removed under its own item lock, taken inside the source's.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "ObjectStore/DebugFlags.h"
#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/Guid.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

// A new name must be one a create would accept: the same rule, so that a
// rename can't make an item that no create could have made.
CZnError checkEntryName(const std::string& name, const std::string& path, int maxPathLen) {
  if (!isValidItemName(name)) {
    OSLOG(-1, "Error: Invalid name [%s]", name.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid name [%s]", name.c_str());
  }
  if (name.size() > ITEM_NAME_MAX ||
      path.size() > static_cast<size_t>(std::max(maxPathLen, 0))) {
    OSLOG(-1, "Error: Name or path too long: [%s]", path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENAMETOOLONG, "Name or path too long: [%s]",
                                   path.c_str());
  }
  return CZnError::Success;
}

// "/a/b/" names the same item as "/a/b"; "/" stays as it is.
std::string withoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == OBJSTR_DELIMITER) path.pop_back();
  return path;
}

// Parent path and name of a full path; the root's children have parent "/".
CZnError splitPath(const std::string& path, std::string& parent, std::string& name) {
  CZnError err = splitParentPath(path, parent, name, OBJSTR_DELIMITER);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't split [%s]", path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (parent.empty()) parent.assign(1, OBJSTR_DELIMITER);
  return CZnError::Success;
}

std::string childPath(const std::string& dir, const std::string& name) {
  if (dir.size() == 1 && dir[0] == OBJSTR_DELIMITER) return dir + name;
  return dir + OBJSTR_DELIMITER + name;
}

bool sameText(const std::string& a, const std::string& b, bool caseSensitive) {
  if (a.size() != b.size()) return false;
  if (caseSensitive) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// True when path lies strictly below the directory dir.
bool isBelow(const std::string& path, const std::string& dir, bool caseSensitive) {
  if (dir.size() == 1 && dir[0] == OBJSTR_DELIMITER) return path.size() > 1;
  return path.size() > dir.size() && path[dir.size()] == OBJSTR_DELIMITER &&
         sameText(path.substr(0, dir.size()), dir, caseSensitive);
}

// The object GUID of item from the caches and the index, or, when they do
// not know its path, from its parent's entry list (listedOnly is then set):
// an interrupted remove or rename leaves an entry the index no longer has
// under that path.
guid_t resolveListed(ObjectStore& store, ItemName& item, bool& listedOnly) {
  listedOnly = false;
  const guid_t& known = item.getObjGuid(store);
  if (!known.empty() || item.path.empty()) return known;
  guid_t listed;
  if (store.lookupPathInDirEnt(listed, item.path).ok() && !listed.empty()) {
    OSLOG(5, "[%s] found only in the entry list of its parent: [%s]", item.path.c_str(),
          listed.c_str());
    item.objGuid = listed;
    item.verGuid.clear();
    listedOnly = true;
  }
  return item.objGuid;
}

// The object GUID of the directory at path; ENOTDIR when the item there is
// not a directory, so that nothing is ever listed inside a file.
CZnError findDirectory(ObjectStore& store, const std::string& path, guid_t& guid) {
  if (path.size() == 1 && path[0] == OBJSTR_DELIMITER) {
    guid = store.getRootGuid();
    return CZnError::Success;
  }
  index_iface_props props;
  CZnError err = store.propsFromPath(path, props);
  if (err.ok() && !isDirectoryMode(props.mode))
    err = FXErrorUtil::ErrorErrNo(FX_LOC, ENOTDIR, "[%s] is not a directory", path.c_str());
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: can't find path for guid [%s]", path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  guid = props.objGuid;
  return CZnError::Success;
}

// Reads the header of the item a rename would replace. `found` is false when
// that header is gone (an entry an interrupted unlink left behind), which the
// rename replaces like any other; every other failure refuses the rename.
CZnError readDestHeader(ObjectStore& store, ItemName& dest, const guid_t& destGuid,
                        const std::string& to, FileHeaderData& destData, bool& found) {
  CXFileHeader destHeader;
  index_iface_props destProps;
  CZnError err = store.readLatestFileHeader(dest, destHeader, destData, destProps);
  found = err.ok();
  if (!err.ok() && err.errNo() != ENOENT) {
    OSLOG(-1, "[%s] Error: Can't read dest header [%s] [%s]", store.getRootName().c_str(),
          destGuid.c_str(), to.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Can't read dest header [%s]", to.c_str());
  }
  return CZnError::Success;
}

CZnError updateParentTimes(ObjectStore& store, const guid_t& parentGuid) {
  CZnError err = store.updateTimes(parentGuid, store.getDirVersion(parentGuid));
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't update times for [%s]", store.getRootName().c_str(),
             parentGuid.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

// Drops the entry `path` whose object the index no longer has: what an
// interrupted unlink leaves behind. The index needs no change.
CZnError dropLeftoverEntry(ObjectStore& store, const std::string& path, const guid_t& objGuid) {
  OSLOG(2, "[%s] removing leftover entry [%s] [%s]", store.getRootName().c_str(), path.c_str(),
        objGuid.c_str());
  std::string parentPath, name;
  CZnError err = splitPath(path, parentPath, name);
  if (!err.ok()) return err;
  guid_t parentGuid;
  if (err = findDirectory(store, parentPath, parentGuid); !err.ok()) return err;
  if (err = store.removeFromDirEnt(parentGuid, objGuid, name); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't remove from dirent [%s] [%s]", store.getRootName().c_str(),
             parentGuid.c_str(), name.c_str());
    OSLOG_ERR(err);
    return err;
  }
  (void)store.dirEntCache().erase(objGuid);        // a directory's own list, if cached
  (void)store.pathCache().deleteGuid(objGuid);     // only ever succeeds
  (void)store.versionCache().deleteGuid(objGuid);  // only ever succeeds
  return updateParentTimes(store, parentGuid);
}

// A rename's record in the store's log, marked complete on every way out of
// the rename: only a killed process leaves it for the next start, which
// then makes the entry lists agree with the index.
class MoveRecord {
 public:
  explicit MoveRecord(IntentLog& log) : log_(log) {}
  ~MoveRecord() {
    if (!active_) return;
    if (leave_) {
      log_.leave(ticket_);
    } else {
      log_.finish(ticket_);
    }
  }
  // The rename failed and the entry lists may disagree with the index (a
  // step or its undo failed): the record stays, so that a later try or the
  // next start makes them agree with wherever the index has the item.
  void leaveForRepair() { leave_ = true; }
  MoveRecord(const MoveRecord&) = delete;
  MoveRecord& operator=(const MoveRecord&) = delete;

  // Nothing to record on a store without a log (views).
  CZnError begin(const IntentLog::Move& move) {
    if (!log_.isOpen()) return CZnError::Success;
    CZnError err = log_.begin(move, ticket_);
    active_ = err.ok();
    return err;
  }

 private:
  IntentLog& log_;
  uint64_t ticket_ = 0;
  bool active_ = false;
  bool leave_ = false;
};

// Moves the entry of objGuid from (srcParent, srcName) to (dstParent,
// dstName). An entry already missing from the source list is no reason to
// stop: the add puts the item where it belongs. On a failure the lists are
// put back as they were, so that the item is never listed nowhere.
// moved: set once the entry lists hold the new name and not the old one
// (a failure after that is only about the parents' times).
CZnError moveEntry(ObjectStore& store, const guid_t& objGuid, const guid_t& srcParent,
                   const std::string& srcName, const guid_t& dstParent,
                   const std::string& dstName, bool& moved) {
  const char* root = store.getRootName().c_str();
  moved = false;
  // The new entry goes in before the old one goes: a failure or a crash in
  // between then leaves the object listed under both names (the old entry
  // is recognised as a leftover of an interrupted rename), never under
  // none. Only a new spelling of the same name in the same directory can't
  // be listed beside the old one.
  const bool respelling = srcParent == dstParent && sameText(srcName, dstName, false);
  if (!respelling) {
    if (CZnError err = store.addToDirEnt(dstParent, objGuid, dstName, true); !err.ok()) {
      OSLOG(-1, "[%s] Error: Can't add to dirent [%s] [%s]", root, dstParent.c_str(),
            dstName.c_str());
      // The record may be in the list already (a later step of the add
      // failed): the name must not stay listed beside the old one.
      (void)store.removeFromDirEnt(dstParent, objGuid, dstName);
      return err;
    }
    CZnError err = store.removeFromDirEnt(srcParent, objGuid, srcName);
    if (!err.ok() && (err.errNo() != ENOENT || store.discardsWrites())) {
      OSLOG(-1, "[%s] Error: Can't remove from dirent [%s] [%s]", root, srcParent.c_str(),
            srcName.c_str());
      if (CZnError back = store.removeFromDirEnt(dstParent, objGuid, dstName); !back.ok()) {
        back.Push(FX_LOC, "Error: Can't take [%s] out of [%s] again", dstName.c_str(),
                  dstParent.c_str());
        OSLOG_ERR(back);
      }
      return err;
    }
  } else {
    CZnError err = store.removeFromDirEnt(srcParent, objGuid, srcName);
    const bool removed = err.ok();
    if (!removed) {
      OSLOG(-1, "[%s] Error: Can't remove from dirent [%s] [%s]", root, srcParent.c_str(),
            srcName.c_str());
      if (err.errNo() != ENOENT || store.discardsWrites()) return err;
    }
    if (err = store.addToDirEnt(dstParent, objGuid, dstName, true); !err.ok()) {
      OSLOG(-1, "[%s] Error: Can't add to dirent [%s] [%s]", root, dstParent.c_str(),
            dstName.c_str());
      if (removed) {
        if (CZnError back = store.addToDirEnt(srcParent, objGuid, srcName, true); !back.ok()) {
          back.Push(FX_LOC, "Error: Can't put [%s] back into [%s]", srcName.c_str(),
                    srcParent.c_str());
          OSLOG_ERR(back);
        }
      }
      return err;
    }
  }
  moved = true;
  if (CZnError times = updateParentTimes(store, srcParent); !times.ok()) return times;
  if (dstParent != srcParent) return updateParentTimes(store, dstParent);
  return CZnError::Success;
}

// The body of unlink and rmdir.
CZnError removeItem(ObjectStore& store, ItemName& item) {
  const char* root = store.getRootName().c_str();
  if (store.isReadOnly()) {
    OSLOG(-1, "[%s] Error: read only", root);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "read only");
  }
  if (item.isRoot || item.path == "/" ||
      (!item.objGuid.empty() && item.objGuid == store.getRootGuid())) {
    OSLOG(-1, "[%s] Error: Can't remove the root directory", root);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "Can't remove the root directory");
  }

  bool listedOnly = false;
  const guid_t objGuid = resolveListed(store, item, listedOnly);
  if (listedOnly) {
    index_iface_props known;
    CZnError err = store.propsFromGuid(objGuid, known, NO_RESTORE);
    if (err.errNo() == ENOENT) return dropLeftoverEntry(store, item.path, objGuid);
  }

  AutoFileOpener opener(store, item);
  CZnError err = opener.open(LOCK_ITEM, O_RDWR);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't open [%s] [%s]", item.objGuid.c_str(), item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  index_iface_props props;
  if (err = store.propsFromItem(item, props); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't get props from item [%s] [%s]", root, item.objGuid.c_str(),
             item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // The name was resolved before the item lock was taken: a rename that held
  // the lock meanwhile may have moved the object away, and the name then no
  // longer refers to it. Removing it anyway would delete the renamed item.
  // A rename caught between its index update and its entry-list move shows
  // the object under the old name in the entry list only, so the name is
  // resolved again, the same way, now that no rename of it can be running.
  bool renamedMeanwhile = false;
  if (!item.path.empty()) {
    ItemName again(withoutTrailingSlash(item.path));
    bool againListedOnly = false;
    renamedMeanwhile = resolveListed(store, again, againListedOnly) != objGuid;
  }
  if (!listedOnly && !item.path.empty() && !props.path.empty() &&
      !sameText(withoutTrailingSlash(item.path), props.path, store.getConfig().caseSensitive))
    renamedMeanwhile = true;
  if (renamedMeanwhile) {
    OSLOG(3, "[%s] [%s] was renamed to [%s] meanwhile; not removed", root, item.path.c_str(),
          props.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] no longer exists", item.path.c_str());
  }

  const bool isDirectory = isDirectoryMode(props.mode);
  if (isDirectory) {
    GuidPathList children;
    guid_t parent;
    bool done = false;
    if (err = store.readDirEnt(children, parent, done, item, 0, 1); !err.ok()) {
      err.Push(FX_LOC, "[%s] Error: Can't read directory entry [%s] [%s]", root,
               item.objGuid.c_str(), item.path.c_str());
      OSLOG_ERR(err);
      return err;
    }
    if (!children.empty()) {
      OSLOG(-1, "[%s] Error: Directory not empty [%s] [%s]", root, item.objGuid.c_str(),
            item.path.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTEMPTY, "Directory not empty [%s]",
                                     item.path.c_str());
    }
    (void)store.dirEntCache().erase(objGuid);  // nothing to erase is fine
  }

  // Where the item is listed: the asked path when only the entry list knew
  // it (the index may already hold a newer name).
  const std::string listedPath = listedOnly || props.path.empty() ? item.path : props.path;
  std::string parentPath, name;
  guid_t parentGuid = listedOnly ? guid_t() : props.parentGuid;
  if (CZnError split = splitParentPath(listedPath, parentPath, name, OBJSTR_DELIMITER);
      !split.ok()) {
    split.Push(FX_LOC, "Error: can't split path [%s]", listedPath.c_str());
    OSLOG_ERR(split);
    return split;
  }
  if (parentPath.empty()) parentPath.assign(1, OBJSTR_DELIMITER);
  if (parentGuid.empty()) {
    if (err = findDirectory(store, parentPath, parentGuid); !err.ok()) return err;
  }

  // The index and the entry list can't change together: the removal is
  // recorded first, so that a process killed between the two leaves it for
  // the next start to finish.
  IntentLog& intents = store.intentLog();
  uint64_t ticket = 0;
  const bool recorded = intents.isOpen();
  if (recorded) {
    if (err = intents.begin(IntentLog::Removal{parentGuid, objGuid, name}, ticket); !err.ok()) {
      err.Push(FX_LOC, "[%s] Error: Can't record the removal of [%s]", root, listedPath.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  if (err = store.index_delete_wrapper(props); !err.ok()) {
    if (recorded) intents.finish(ticket);  // nothing was changed
    err.Push(FX_LOC, "[%s] Error: Can't delete item from index [%s]", root, objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (debugFlagSet(DEBUG_FLAG_KILL_DELETE)) killProcess();

  // An entry already missing is what was wanted; any other failure leaves a
  // leftover entry (removed before the store's next operation if the disk
  // lets it, else at the next start) and is reported once the rest is done.
  CZnError listErr = store.removeFromDirEnt(parentGuid, objGuid, name);
  if (listErr.errNo() == ENOENT) listErr = CZnError::Success;
  if (recorded) {
    if (listErr.ok())
      intents.finish(ticket);
    else
      intents.leave(ticket);
  }
  if (!listErr.ok()) {
    listErr.Push(FX_LOC, "[%s] Error: Can't remove from dirent [%s] [%s]", root, parentGuid.c_str(),
                 name.c_str());
    OSLOG_ERR(listErr);
  }
  if (err = updateParentTimes(store, parentGuid); !err.ok()) return err;
  (void)store.pathCache().deleteGuid(objGuid);     // only ever succeeds
  (void)store.versionCache().deleteGuid(objGuid);  // only ever succeeds

  // Segments nobody will back up (or restore) are useless once the item is
  // gone; the others stay for the backup and for views of the past.
  OpenFileInfo* info = opener.get().info;
  if ((store.discardsWrites() || (info != nullptr && info->filtered)) && props.size > 0) {
    OSLOG(5, "removing extents");
    if (!isDirectory) {
      if (err = store.fillFileExtents(opener.get()); !err.ok()) {
        err.Push(FX_LOC, "Error: can't fill extents [%s]", objGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
      for (auto& [extentGuid, extent] : info->extents) (void)store.deleteSegment(extent, true);
    }
    (void)store.deleteSegment(props, true);  // local deletes always succeed
  }
  return listErr;
}

}  // namespace

CZnError ObjectStore::unlink(ItemName& item) {
  OSLOG(3, "[%s] unlink [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str());
  TimeFunction timer("unlink", PERF_UNLINK);
  return removeItem(*this, item);
}

CZnError ObjectStore::rmdir(ItemName& item) {
  OSLOG(3, "[%s] rmdir [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str());
  TimeFunction timer("rmdir", PERF_RMDIR);
  return removeItem(*this, item);
}

CZnError ObjectStore::rename(const std::string& fromPath, const std::string& toPath,
                             bool newVersion) {
  OSLOG(3, "[%s] renaming [%s] to [%s] newVer=%d", rootName_.c_str(), fromPath.c_str(),
        toPath.c_str(), newVersion ? 1 : 0);
  TimeFunction timer("rename", PERF_RENAME);
  const char* root = rootName_.c_str();
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", root);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "read only");
  }
  // One rename at a time: a rename holds its source's item lock while it
  // removes the destination, so two renames crossing each other (a to b and
  // b to a) would otherwise wait for each other's source, and releasing the
  // source meanwhile would let both remove each other's file.
  std::lock_guard<std::mutex> renaming(renameLock_);
  const std::string from = withoutTrailingSlash(fromPath);
  const std::string to = withoutTrailingSlash(toPath);
  std::string toParent, toName;
  CZnError err = splitPath(to, toParent, toName);
  if (!err.ok()) return err;
  if (err = checkEntryName(toName, to, config_.maxPathLen); !err.ok()) return err;
  if (from.empty() || from == "/") {
    OSLOG(-1, "[%s] Error: Can't rename the root directory", root);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't rename [%s]", from.c_str());
  }

  ItemName source(from);
  bool listedOnly = false;
  (void)resolveListed(*this, source, listedOnly);
  AutoFileOpener opener(*this, source);
  if (err = opener.open(LOCK_ITEM, O_RDWR); !err.ok()) {
    err.Push(FX_LOC, "Can't open [%s] [%s]", source.objGuid.c_str(), from.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // The name was resolved before the item lock was taken: an unlink that
  // held the lock meanwhile may have removed the item (renaming it then
  // would list a deleted object under the new name).
  {
    ItemName again(from);
    bool againListedOnly = false;
    if (resolveListed(*this, again, againListedOnly) != source.objGuid) {
      OSLOG(3, "[%s] [%s] was removed or replaced meanwhile; not renamed", root, from.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] no longer exists", from.c_str());
    }
  }
  CXFileHeader header;
  FileHeaderData data;
  index_iface_props props;
  if (err = readLatestFileHeader(source, header, data, props); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't read source header [%s] [%s]", root, source.objGuid.c_str(),
             from.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (from == to) {
    OSLOG(5, "[%s] [%s] is renamed onto itself", root, from.c_str());
    return CZnError::Success;
  }
  // From here on props describe where the item is listed: the asked path
  // when only the entry list knew it.
  if (listedOnly || props.path.empty()) {
    props.path = from;
    props.parentGuid.clear();
  }
  std::string srcParentPath, srcName;
  if (err = splitPath(props.path, srcParentPath, srcName); !err.ok()) return err;
  if (props.parentGuid.empty()) {
    if (err = findDirectory(*this, srcParentPath, props.parentGuid); !err.ok()) return err;
  }

  if (data.fileType == FILE_TYPE_DIRECTORY) return renameDir(to, source, header, data, props);

  const guid_t& objGuid = source.objGuid;
  const bool discard = discardWrites_.load();

  // Destination: an existing directory takes the file under its old name;
  // an existing item of the destination name is replaced.
  std::string dstPath = to;
  guid_t dstParentGuid;
  ItemName dest(to);
  bool destListedOnly = false;
  guid_t destGuid = resolveListed(*this, dest, destListedOnly);
  if (!destGuid.empty() && destGuid != objGuid) {
    FileHeaderData destData;
    bool destFound = false;
    if (err = readDestHeader(*this, dest, destGuid, to, destData, destFound); !err.ok()) return err;
    if (destFound && destData.fileType == FILE_TYPE_DIRECTORY) {
      dstParentGuid = destGuid;
      dstPath = childPath(to, srcName);
      dest = ItemName(dstPath);
      destGuid = resolveListed(*this, dest, destListedOnly);
      if (!destGuid.empty() && destGuid != objGuid) {
        // An entry of that name inside is replaced as a file would be; a
        // directory there is not silently swapped for a file.
        CXFileHeader destHeader;
        index_iface_props destProps;
        CZnError destErr = readLatestFileHeader(dest, destHeader, destData, destProps);
        if (destErr.ok() && destData.fileType == FILE_TYPE_DIRECTORY) {
          OSLOG(-1, "[%s] Error: Can't replace directory [%s] by a file", root, dstPath.c_str());
          return FXErrorUtil::ErrorErrNo(FX_LOC, EISDIR, "[%s] is a directory", dstPath.c_str());
        }
      }
    }
  }
  std::string dstParentPath, dstName;
  if (err = splitPath(dstPath, dstParentPath, dstName); !err.ok()) return err;
  if (err = checkEntryName(dstName, dstPath, config_.maxPathLen); !err.ok()) return err;
  if (destGuid == objGuid && sameText(props.path, dstPath, true)) {
    OSLOG(5, "[%s] [%s] is already at [%s]", root, objGuid.c_str(), dstPath.c_str());
    return CZnError::Success;
  }
  if (dstParentGuid.empty()) {
    if (err = findDirectory(*this, dstParentPath, dstParentGuid); !err.ok()) return err;
  }
  // The same object under another spelling of its name (or an entry left by
  // an interrupted rename) is the source, not something to remove.
  if (!destGuid.empty() && destGuid != objGuid) {
    // Resolved afresh, so that an entry the index no longer knows is found
    // as such and dropped.
    ItemName victim(dstPath);
    err = unlink(victim);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: Can't remove destination [%s] [%s]", destGuid.c_str(),
               dstPath.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }

  OpenFileInfo* info = opener.get().info;
  const bool srcFiltered = info->filtered;
  const bool dstFiltered = isFileFiltered(dstPath);
  OSLOG(5, "srcFiltered=%d dstFiltered=%d", srcFiltered ? 1 : 0, dstFiltered ? 1 : 0);

  index_iface_props newProps = props;
  guid_t version = props.verGuid;
  if (newVersion && openWriters(*info) > 1) {  // the rename's own opener is one
    // Handles already open for writing stay bound to the current version:
    // a new version now would leave their later writes behind in the old
    // one. As for truncate, the rename goes on without a new version.
    OSLOG(5, "[%s] Renaming while writing [%s]: no new version", root, from.c_str());
    newVersion = false;
  }
  if (newVersion && !discard && !dstFiltered) {
    OSLOG(5, "[%s] Moving [%s] in [%s] to [%s] in [%s]", root, props.path.c_str(),
          props.parentGuid.c_str(), dstPath.c_str(), dstParentGuid.c_str());
    version = generateGuid();
    newProps.ctime = clockNowSec();
    if (err = copySegment(props.verGuid, version, newProps, discard); !err.ok()) {
      err.Push(FX_LOC, "[%s] Error: Can't rename file [%s] [%s]", root, props.path.c_str(),
               dstPath.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  newProps.verGuid = version;
  newProps.path = dstPath;
  newProps.parentGuid = dstParentGuid;

  MoveRecord record(intentLog_);
  if (discard) {
    OSLOG(5, "indexing skipped for [%s]", objGuid.c_str());
  } else if (err = record.begin(IntentLog::Move{objGuid, props.parentGuid, dstParentGuid,
                                                srcName, dstName, props.path, dstPath, false});
             !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't record the rename of [%s]", root, props.path.c_str());
    OSLOG_ERR(err);
    return err;
  } else if (index_->rename_item(newProps, props.parentGuid, props.path, false) != 0) {
    OSLOG(-1, "Error: Can't update index for [%s]", objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't update index for [%s]", objGuid.c_str());
  }
  if (debugFlagSet(DEBUG_FLAG_KILL_RENAME)) killProcess();

  if (err = guidCache_.insert(objGuid, dstPath, discard); !err.ok()) {
    err.Push(FX_LOC, "Can't insert into GUID cache");
    OSLOG_ERR(err);
    record.leaveForRepair();  // the index has the new name, the lists the old
    return err;
  }
  if (err = versionCache_.insert(objGuid, version, discard); !err.ok()) {
    err.Push(FX_LOC, "Can't insert into version cache");
    OSLOG_ERR(err);
    record.leaveForRepair();
    return err;
  }

  if (srcFiltered && !dstFiltered) {
    // The file now goes to backup: its version and every local extent.
    (void)diskCache_->moveToPrunable(context_, version);  // already prunable is fine
    if (err = fillFileExtents(opener.get()); !err.ok()) {
      err.Push(FX_LOC, "Error: [%s] Can't populate extent map for [%s]", root, objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    for (auto& [extentGuid, extent] : info->extents) {
      if (!diskCache_->doesSegmentExist(context_, extent.verGuid)) continue;
      OSLOG(5, "moving extent [%s]", extent.verGuid.c_str());
      if (err = diskCache_->moveToPrunable(context_, extent.verGuid); !err.ok()) {
        err.Push(FX_LOC, "Error: [%s] Can't move [%s]", root, extent.verGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
      index_iface_props extentProps = extent;
      if (err = addToCacheAndIndex(extentProps, false); !err.ok()) {
        err.Push(FX_LOC, "Error: [%s] Can't add [%s] to index", root, extent.verGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
      pushToBackupQueue(extent.verGuid);
    }
  }

  bool moved = false;
  if (err = moveEntry(*this, objGuid, props.parentGuid, srcName, dstParentGuid, dstName, moved);
      !err.ok()) {
    if (!moved) {
      undoIndexRename(props, newProps, false);
      // A failed step's undo may have failed too (a full disk): both names
      // listed, or neither.
      record.leaveForRepair();
    }
    return err;
  }

  // The open record's size and empty range are the file's truth while it is
  // open; the header only follows them.
  if (CZnError headerErr =
          updateFileHeader(version, info->size, 0, 0, dstParentGuid, info->emptyRange);
      !headerErr.ok()) {
    // The rename itself is complete; the header's parent is only a hint.
    headerErr.Push(FX_LOC, "Error: Can't update file header for [%s]", version.c_str());
    OSLOG_ERR(headerErr);
  }
  return CZnError::Success;
}

CZnError ObjectStore::renameDir(const std::string& toPath, ItemName& from, CXFileHeader& header,
                                FileHeaderData& data, index_iface_props& props) {
  (void)header;  // the directory's attributes travel in props
  (void)data;
  const std::string to = withoutTrailingSlash(toPath);
  const char* root = rootName_.c_str();
  OSLOG(3, "[%s] renaming directory [%s] to [%s]", root, from.path.c_str(), to.c_str());
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", root);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "read only");
  }
  std::string dstParentPath, dstName;
  CZnError err = splitPath(to, dstParentPath, dstName);
  if (!err.ok()) return err;
  if (err = checkEntryName(dstName, to, config_.maxPathLen); !err.ok()) return err;

  const guid_t objGuid = from.getObjGuid(*this);
  const std::string srcPath = props.path.empty() ? withoutTrailingSlash(from.path) : props.path;
  std::string srcParentPath, srcName;
  if (err = splitPath(srcPath, srcParentPath, srcName); !err.ok()) return err;
  if (objGuid == rootGuid_ || srcPath == "/") {
    OSLOG(-1, "[%s] Error: Can't rename the root directory", root);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't rename the root directory");
  }
  if (props.parentGuid.empty()) {
    if (err = findDirectory(*this, srcParentPath, props.parentGuid); !err.ok()) return err;
  }
  // A directory can't become its own descendant: the namespace must stay a
  // tree.
  if (isBelow(to, srcPath, config_.caseSensitive)) {
    OSLOG(-1, "[%s] Error: Can't move directory [%s] below itself [%s]", root, srcPath.c_str(),
          to.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't move [%s] below itself", srcPath.c_str());
  }

  ItemName dest(to);
  bool destListedOnly = false;
  const guid_t destGuid = resolveListed(*this, dest, destListedOnly);
  if (destGuid == objGuid && sameText(srcPath, to, true)) {
    OSLOG(5, "[%s] [%s] is already at [%s]", root, objGuid.c_str(), to.c_str());
    return CZnError::Success;
  }
  bool replaceDest = false;
  if (!destGuid.empty() && destGuid != objGuid) {
    FileHeaderData destData;
    bool destFound = false;
    if (err = readDestHeader(*this, dest, destGuid, to, destData, destFound); !err.ok()) return err;
    if (destFound) {
      if (destData.fileType != FILE_TYPE_DIRECTORY) {
        OSLOG(-1, "[%s] Error: Can't rename directory to file [%s] [%s]", root, srcPath.c_str(),
              to.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Can't rename directory to file [%s]",
                                       to.c_str());
      }
      GuidPathList children;
      guid_t parent;
      bool done = false;
      if (err = readDirEnt(children, parent, done, dest, 0, 1); !err.ok()) {
        err.Push(FX_LOC, "[%s] Error: Can't read directory entry for [%s]", root, to.c_str());
        OSLOG_ERR(err);
        return err;
      }
      if (!children.empty()) {
        OSLOG(-1, "[%s] Error: destination directory not empty: [%s] [%s]", root, destGuid.c_str(),
              to.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "destination directory not empty: [%s]",
                                       to.c_str());
      }
    }
    // An entry whose object the index no longer knows is dropped as well.
    replaceDest = true;
  }

  guid_t dstParentGuid;
  if (err = findDirectory(*this, dstParentPath, dstParentGuid); !err.ok()) return err;
  if (dstParentGuid == objGuid) {
    OSLOG(-1, "[%s] Error: Can't move directory [%s] into itself", root, srcPath.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't move [%s] into itself", srcPath.c_str());
  }
  if (replaceDest) {
    ItemName victim(to);  // resolved afresh, see rename
    err = rmdir(victim);
    if (!err.ok()) {
      err.Push(FX_LOC, "[%s] Error: Can't remove [%s] [%s]", root, destGuid.c_str(), to.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }

  OSLOG(5, "[%s] Moving [%s] in [%s] to [%s] in [%s]", root, srcPath.c_str(),
        props.parentGuid.c_str(), to.c_str(), dstParentGuid.c_str());
  const int64_t now = clockNowSec();
  index_iface_props newProps = props;
  newProps.path = to;
  newProps.parentGuid = dstParentGuid;
  newProps.ctime = now;
  const bool discard = discardWrites_.load();
  MoveRecord record(intentLog_);
  if (discard) {
    OSLOG(5, "indexing skipped for [%s]", objGuid.c_str());
  } else if (err = record.begin(IntentLog::Move{objGuid, props.parentGuid, dstParentGuid,
                                                srcName, dstName, srcPath, to, true});
             !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't record the rename of [%s]", root, srcPath.c_str());
    OSLOG_ERR(err);
    return err;
  } else if (index_->rename_item(newProps, props.parentGuid, srcPath, true) != 0) {
    OSLOG(-1, "Error: Can't update index for [%s]", objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't update index for [%s]", objGuid.c_str());
  }

  // A view that discards writes keeps the new name only here, so it must
  // survive a restart there, as a file's does.
  if (err = guidCache_.insert(objGuid, to, discard); !err.ok()) {
    err.Push(FX_LOC, "Can't insert into GUID cache");
    OSLOG_ERR(err);
    record.leaveForRepair();  // the index has the new name, the lists the old
    return err;
  }
  if (err = guidCache_.renamePaths(srcPath, to); !err.ok()) {
    err.Push(FX_LOC, "Can't rename the cached paths below [%s]", srcPath.c_str());
    OSLOG_ERR(err);
    record.leaveForRepair();
    return err;
  }
  if (debugFlagSet(DEBUG_FLAG_KILL_RENAME)) killProcess();

  const guid_t version = getDirVersion(objGuid);
  if (err = updateFileHeader(version, static_cast<uint64_t>(std::max<int64_t>(props.size, 0)), 0,
                             static_cast<time_t>(now), dstParentGuid, Range());
      !err.ok()) {
    err.Push(FX_LOC, "Error: Can't update file header for [%s]", version.c_str());
    OSLOG_ERR(err);
    undoIndexRename(props, newProps, true);
    record.leaveForRepair();  // in case the index kept the new name
    return err;
  }
  auto setCachedParent = [&](const guid_t& parent) {
    // The moved directory's cached ".." must follow it.
    LruCache<std::string, DirEntInfo>::LockGuard guard(dirEntCache_);
    if (DirEntInfo* cached = dirEntCache_.getVal(objGuid)) cached->parentGuid = parent;
  };
  setCachedParent(dstParentGuid);
  bool moved = false;
  if (err = moveEntry(*this, objGuid, props.parentGuid, srcName, dstParentGuid, dstName, moved);
      !err.ok()) {
    if (moved) return err;
    undoIndexRename(props, newProps, true);
    record.leaveForRepair();
    setCachedParent(props.parentGuid);
    // The header's parent is only a hint; put it back all the same.
    (void)updateFileHeader(version, static_cast<uint64_t>(std::max<int64_t>(props.size, 0)), 0,
                           0, props.parentGuid, Range());
    return err;
  }
  return CZnError::Success;
}

void ObjectStore::undoIndexRename(const index_iface_props& before, const index_iface_props& after,
                                  bool isDirectory) {
  const guid_t& objGuid = before.objGuid;
  const bool discard = discardWrites_.load();
  if (!discard) {
    index_iface_props back = before;
    if (int rc = index_->rename_item(back, after.parentGuid, after.path, isDirectory); rc != 0) {
      OSLOG(-1, "[%s] Error: Can't record [%s] under [%s] again (%d): it stays at [%s]",
            rootName_.c_str(), objGuid.c_str(), before.path.c_str(), rc, after.path.c_str());
      return;
    }
  }
  OSLOG(3, "[%s] rename of [%s] to [%s] undone", rootName_.c_str(), before.path.c_str(),
        after.path.c_str());
  (void)guidCache_.insert(objGuid, before.path, discard);
  if (isDirectory) (void)guidCache_.renamePaths(after.path, before.path);
  // Looked up again: the rename may have made a version the index keeps.
  (void)versionCache_.deleteGuid(objGuid);
}

}  // namespace ObjectStore
