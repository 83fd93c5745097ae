// Property lookup through the caches, the headers and the index, and the
// store's additions and deletions of index records.
//
// Every index query carries the store's point in time (before_time =
// timestamp, 0 for the live share). A view that discards writes keeps its
// changes out of the index, so the index must not bring back what such a view
// deleted or renamed locally.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// The text of a fixed-width, NUL-terminated-when-shorter character field.
std::string fixedText(const char* field, size_t width) {
  return std::string(field, strnlen(field, width));
}

}  // namespace

guid_t ObjectStore::getDirVersion(const guid_t& dirGuid) const {
  return directoryVersionName(dirGuid, snapshotSuffix_);
}

guid_t ObjectStore::fullDirGuid(const guid_t& dirGuid) const {
  return directoryVersionName(dirGuid, snapshotSuffix_);
}

CZnError ObjectStore::findGuidInPathCache(guid_t& guid, const std::string& path) {
  return guidCache_.findGuid(guid, path);
}

int64_t ObjectStore::getTimeInNs(int64_t seconds) {
  return seconds != 0 ? seconds * NS_PER_SEC : clockNowNs();
}

CZnError ObjectStore::findObjGuidFromIndex(const guid_t& objGuid, index_iface_props& props) {
  if (discardWrites_.load() && deletedSegments_.exists(objGuid))
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] deleted in this view", objGuid.c_str());

  // Read before the index is asked: see GuidCacheBase::fill.
  const uint64_t pathsSince = guidCache_.changeCount();
  const uint64_t versionsSince = versionCache_.changeCount();
  index_iface_browse_fields fields;
  fields.guid = objGuid;
  fields.before_time = config_.timestamp;
  fields.reserved2 = 0;
  OSLOG(5, "Calling find_by_guid with before_time=%lu", fields.before_time);
  int rc = index_->find_by_guid(fields, props);
  OSLOG(5, "find_by_guid returned [%d] for [%s]", rc, objGuid.c_str());
  if (rc != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "find_by_guid [%s]", objGuid.c_str());

  if (props.updateSelector == 0 && props.path.empty()) {
    OSLOG(-1, "Error: Empty path for [%s]", objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Empty path for [%s]", objGuid.c_str());
  }
  // A directory's version as seen by this store is its entry segment for
  // this store's point in time, whatever the index recorded.
  if (isDirectoryMode(props.mode)) props.verGuid = getDirVersion(objGuid);

  // Recording what was found is an optimisation: a failed insert only costs
  // another lookup later.
  if (props.updateSelector == 0) (void)guidCache_.fill(objGuid, props.path, pathsSince);
  (void)versionCache_.fill(objGuid, props.verGuid, versionsSince);

  for (const auto& [name, value] : props.customProps)
    OSLOG(5, "custom_prop %s %s", name.c_str(), value.c_str());
  return CZnError::Success;
}

CZnError ObjectStore::findPathFromIndex(const std::string& path, index_iface_props& props) {
  const uint64_t pathsSince = guidCache_.changeCount();  // see findObjGuidFromIndex
  const uint64_t versionsSince = versionCache_.changeCount();
  index_iface_browse_fields fields;
  fields.path = path;
  fields.before_time = config_.timestamp;
  fields.reserved2 = 0;
  OSLOG(5, "Calling find_by_path with before_time=%lu", fields.before_time);
  int rc = index_->find_by_path(fields, props);
  OSLOG(5, "find_by_path returned [%d] for [%s]", rc, path.c_str());
  if (rc != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "find_by_path [%s]", path.c_str());

  const bool discard = discardWrites_.load();
  if (discard && deletedSegments_.exists(props.objGuid))
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] deleted in this view", path.c_str());

  if (isDirectoryMode(props.mode)) props.verGuid = getDirVersion(props.objGuid);

  if (discard) {
    // This lookup only reaches the index when the path cache has no entry
    // for the asked path; a cached path for the object then means the item
    // was renamed in this view and the index still knows its old name.
    std::string cachedPath;
    if (guidCache_.findData(props.objGuid, cachedPath).ok() && cachedPath != path) {
      OSLOG(5, "[%s] was renamed from [%s] to [%s], returning not found", props.objGuid.c_str(),
            cachedPath.c_str(), path.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] renamed in this view", path.c_str());
    }
  }

  (void)guidCache_.fill(props.objGuid, path, pathsSince);  // see findObjGuidFromIndex
  (void)versionCache_.fill(props.objGuid, props.verGuid, versionsSince);
  return CZnError::Success;
}

CZnError ObjectStore::propsFromDiskCache(const guid_t& objGuid, index_iface_props& props,
                                         ShouldRestore restore) {
  OSLOG(5, "propsFromGuid [%s]", objGuid.c_str());
  guid_t verGuid;
  CZnError err = versionCache_.findData(objGuid, verGuid);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't find [%s] in version cache", objGuid.c_str());
    OSLOG_ERR_AT(5, err);
    return err;
  }
  CXFileHeader header;
  FileHeaderData data;
  if (err = readFileHeader(header, data, objGuid, verGuid, restore); !err.ok()) {
    err.Push(FX_LOC, "Can't read [%s] from disk cache", verGuid.c_str());
    OSLOG_ERR_AT(5, err);
    return err;
  }
  props.verGuid = verGuid;
  props.objGuid = objGuid;
  props.vtime = static_cast<int64_t>(data.versionTimeNs);
  props.parentGuid = fixedText(data.parentGuid, sizeof(data.parentGuid));
  props.size = static_cast<int64_t>(header.size);
  props.modeValid = true;
  props.mode = static_cast<int>(header.mode);
  props.uidValid = true;
  props.uid = static_cast<int>(header.uid);
  props.gidValid = true;
  props.gid = static_cast<int>(header.gid);
  props.ctime = static_cast<int64_t>(header.ctime);
  props.mtime = static_cast<int64_t>(header.mtime);
  // The header keeps no access time: the modification time stands in.
  props.atime = static_cast<int64_t>(header.mtime);
  props.extentSize = static_cast<int64_t>(data.extentSize);
  return CZnError::Success;
}

CZnError ObjectStore::propsFromGuid(const guid_t& objGuid, index_iface_props& props,
                                    ShouldRestore restore) {
  OSLOG(5, "propsFromGuid [%s]", objGuid.c_str());
  std::string path;
  if (guidCache_.findData(objGuid, path).ok()) {
    props.path = path;
    if (propsFromDiskCache(objGuid, props, restore).ok()) return CZnError::Success;
  }
  OSLOG(5, "Can't find properties for [%s] from disk cache", objGuid.c_str());
  CZnError err = findObjGuidFromIndex(objGuid, props);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: [%s] not in index", objGuid.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

CZnError ObjectStore::propsFromPath(const std::string& path, index_iface_props& props) {
  OSLOG(5, "propsFromPath [%s]", path.c_str());
  guid_t objGuid;
  if (guidCache_.findGuid(objGuid, path).ok() &&
      propsFromGuid(objGuid, props, DO_RESTORE).ok()) {
    props.path = path;
    return CZnError::Success;
  }
  OSLOG(5, "Can't find properties for [%s] from disk cache", path.c_str());
  CZnError err = findPathFromIndex(path, props);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: [%s] not in index", path.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

CZnError ObjectStore::propsFromItem(ItemName& item, index_iface_props& props) {
  if (item.isRoot) item.path.assign(1, OBJSTR_DELIMITER);
  if (item.objGuid.empty()) return propsFromPath(item.path, props);
  return propsFromGuid(item.objGuid, props, DO_RESTORE);
}

CZnError ObjectStore::addToIndex(index_iface_props& props) {
  OSLOG(5, "[%s] add_item [%s] [%s] mode=%o [%d]", rootName_.c_str(), props.objGuid.c_str(),
        props.path.c_str(), static_cast<unsigned>(props.mode), props.modeValid ? 1 : 0);
  if (props.vtime <= 0) {
    OSLOG(-1, "Error: [%s] has no vtime", props.verGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "[%s] has no vtime", props.verGuid.c_str());
  }
  int rc = index_->add_item(props);
  OSLOG(5, "[%s] add_item returned [%d]\n", rootName_.c_str(), rc);
  if (rc != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "add_item [%s] [%s] failed (%d)",
                                   props.objGuid.c_str(), props.verGuid.c_str(), rc);
  }
  return CZnError::Success;
}

CZnError ObjectStore::addToCacheAndIndex(index_iface_props& props, bool skipIndex) {
  OSLOG(5, "[%s] addToCacheAndIndex [%s] [%s] skipIndex=%d", rootName_.c_str(),
        props.objGuid.c_str(), props.path.c_str(), skipIndex ? 1 : 0);
  // A version that exists only locally is cached persistently, so that it
  // stays findable after a restart although the index never hears of it.
  if (!props.path.empty()) {
    CZnError err = guidCache_.insert(props.objGuid, props.path, skipIndex);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: Can't insert [%s] into guid cache", props.objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  CZnError err = versionCache_.insert(props.objGuid, props.verGuid, skipIndex);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't insert [%s] into version cache", props.objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (skipIndex) {
    OSLOG(5, "indexing skipped for [%s]", props.objGuid.c_str());
    return CZnError::Success;
  }
  props.vtime = getTimeInNs(0);
  return addToIndex(props);
}

CZnError ObjectStore::index_delete_wrapper(index_iface_props& props) {
  if (discardWrites_.load()) {
    OSLOG(5, "indexing skipped for [%s]", props.objGuid.c_str());
    return CZnError::Success;
  }
  props.dtime = clockNowSec();
  OSLOG(3, "[%s] index_delete_wrapper dtime [%ld]", props.objGuid.c_str(),
        static_cast<long>(props.dtime));
  int rc = props.updateSelector == 1 ? index_->update_item(props) : index_->delete_item(props);
  if (rc != 0) {
    OSLOG(-1, "Error: Can't delete [%s]", props.objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't delete [%s] (%d)",
                                   props.objGuid.c_str(), rc);
  }
  return CZnError::Success;
}

}  // namespace ObjectStore
