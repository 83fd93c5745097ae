// A file's size: writing the open file's size and empty range back into the
// header and the index, changing a file's length, and making its data
// durable.
//
// While a file is open its OpenFileInfo holds the authoritative size, extent
// size and empty range; the version segment's header sections and the index
// record are where they are persisted.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"

namespace ObjectStore {

namespace {

// The number of an extent GUID (object GUID + '.' + decimal number).
uint64_t extentNumberOf(const guid_t& extentGuid) {
  if (!isExtent(extentGuid)) return UINT64_MAX;
  return std::strtoull(extentGuid.c_str() + GUID_CHAR_SIZE_MIN + 1, nullptr, 10);
}

// Extents needed to hold `size` bytes.
uint64_t extentsFor(uint64_t size, uint64_t extentSize) {
  return size / extentSize + (size % extentSize != 0 ? 1 : 0);
}

bool isDirectoryOrLink(const CXFileHeader& header, const FileHeaderData& data) {
  return (header.mode & MODE_TYPE_MASK) == MODE_DIRECTORY || data.fileType != FILE_TYPE_REGULAR;
}

}  // namespace

CZnError ObjectStore::updateFileSize(FileHandle& handle) {
  OSLOG(5, "updating file size and emptyRange");
  OpenFileInfo& info = *handle.info;
  info.lock.assertHeld();
  const guid_t& objGuid = handle.name.objGuid;
  const guid_t& verGuid = handle.name.verGuid;
  const time_t now = static_cast<time_t>(clockNowSec());

  if (CZnError err = updateFileHeader(verGuid, info.size, now, now, guid_t(), info.emptyRange);
      !err.ok()) {
    err.Push(FX_LOC, "Error: Can't update file header [%s] [%s]", objGuid.c_str(), verGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }

  if (discardWrites_.load()) {
    OSLOG(5, "indexing skipped for [%s]", objGuid.c_str());
  } else {
    index_iface_props props;
    if (CZnError err = propsFromItem(handle.name, props); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't find props for [%s] [%s]", objGuid.c_str(), verGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    // Only what changed is sent: the other fields as looked up may come from
    // the header, which keeps no access time and no extended attributes.
    index_iface_props update;
    update.objGuid = objGuid;
    update.verGuid = verGuid;
    update.size = static_cast<int64_t>(info.size);
    update.mtime = update.ctime = static_cast<int64_t>(now);
    if (int rc = index_->update_item(update); rc != 0) {
      OSLOG(-1, "Error: Can't update index for [%s]", objGuid.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't update index for [%s] (%d)",
                                     objGuid.c_str(), rc);
    }
  }
  info.sizeChanged = false;
  return CZnError::Success;
}

CZnError ObjectStore::truncate(ItemName& item, uint64_t size, bool newVersion) {
  OSLOG(3, "[%s] truncate [%s] [%s] size=[%lu] ver=%d", rootName_.c_str(), item.objGuid.c_str(),
        item.path.c_str(), static_cast<unsigned long>(size), newVersion ? 1 : 0);
  TimeFunction timer("truncate", PERF_TRUNCATE);
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }

  FileHandle handle;
  CZnError err = open(handle, item, O_RDWR, newVersion);
  if (err.errNo() == EAGAIN) {
    // Another handle writes the file: no new version can be made now, the
    // truncate goes into the version being written.
    OSLOG(5, "[%s] Truncating while writing [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(),
          item.path.c_str());
    err = open(handle, item, O_RDWR, false);
  }
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't open [%s] [%s]", item.objGuid.c_str(), item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }

  CZnError truncateErr = _truncate(handle, size, newVersion);
  CZnError closeErr = close(handle, CLIENT_CLOSE);
  if (!truncateErr.ok()) {
    truncateErr.Push(FX_LOC, "Can't truncate [%s] [%s]", item.objGuid.c_str(), item.path.c_str());
    OSLOG_ERR(truncateErr);
    return truncateErr;
  }
  if (!closeErr.ok()) {
    closeErr.Push(FX_LOC, "Can't close [%s] [%s]", item.objGuid.c_str(), item.path.c_str());
    OSLOG_ERR(closeErr);
    return closeErr;
  }
  return CZnError::Success;
}

CZnError ObjectStore::_truncate(FileHandle& handle, uint64_t size, bool newVersion) {
  const guid_t& objGuid = handle.name.objGuid;
  const guid_t& verGuid = handle.name.verGuid;
  if (handle.info == nullptr || !handle.isWrite) {
    OSLOG(-1, "[%s] Error: [%s] not open for writing", rootName_.c_str(), objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "[%s] not open for writing", objGuid.c_str());
  }
  OpenFileInfo& info = *handle.info;
  HxWriteLock cutLock(info.cutLock);
  HxCriticalSectionGuard itemLock(info.lock);
  eventLog("[%s] truncate [%s] [%lu]", rootName_.c_str(), objGuid.c_str(),
           static_cast<unsigned long>(size));
  const uint64_t extentSize = info.extentSize;
  if (extentSize == 0) {
    OSLOG(-1, "Error: 0 extentSize in [%s]", objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "0 extentSize in [%s]", objGuid.c_str());
  }
  const uint64_t oldSize = info.size;
  // The same size again still finishes a cut an earlier call left undone.
  if (size == oldSize && !info.cutPending) return CZnError::Success;

  // Only a regular file has a length to change: a directory's data is its
  // entry list, a link's its target.
  FileHeaderData data;
  if (CZnError err = readFileHeaderData(data, verGuid); !err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't read header of [%s]", rootName_.c_str(), objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (data.fileType != FILE_TYPE_REGULAR) {
    const int errNo = data.fileType == FILE_TYPE_DIRECTORY ? EISDIR : EINVAL;
    OSLOG(-1, "[%s] Error: Can't truncate [%s]: not a regular file", rootName_.c_str(),
          objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, errNo, "Can't truncate [%s]: not a regular file",
                                   objGuid.c_str());
  }

  if (info.isFileEmpty()) {
    // Nothing was ever written: the empty range alone describes the file.
    const uint64_t end = extentsFor(size, extentSize);
    if (end == 0) {
      info.emptyRange.reset();
    } else {
      info.emptyRange.set(0, end);
    }
    OSLOG(5, "Creating emptyRange [%lu %lu] in item [%s]",
          static_cast<unsigned long>(info.emptyRange.start),
          static_cast<unsigned long>(info.emptyRange.end), objGuid.c_str());
    info.size = size;
    info.sizeChanged = true;
    return CZnError::Success;
  }

  const uint64_t keep = extentsFor(size, extentSize);
  if (size < oldSize) {
    // The shorter size is recorded before any extent goes: a failure or a
    // crash during the cut then leaves the new content (the bytes past the
    // size are never read), never the old size over extents already gone.
    const Range oldRange = info.emptyRange;
    info.size = size;
    if (info.emptyRange.isValid()) {
      // Extents past the new end no longer exist; the range may not claim them.
      info.emptyRange.end = std::min(info.emptyRange.end, keep);
      if (!info.emptyRange.isValid()) info.emptyRange.reset();
    }
    if (CZnError err = updateFileSize(handle); !err.ok()) {
      info.size = oldSize;
      info.emptyRange = oldRange;
      info.sizeChanged = true;  // the close records the old size again
      err.Push(FX_LOC, "Can't record the new size of [%s]", objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  } else if (info.cutPending) {
    // What an earlier failed cut left past the size would show in the
    // grown part.
    if (CZnError err = cutExtentsPast(handle, oldSize, false); !err.ok()) return err;
    info.cutPending = false;
  }

  if (CZnError err = cutExtentsPast(handle, size, false); !err.ok()) {
    if (size < oldSize) {
      // The shorter size stands. The rest is dropped before the file grows
      // again (here, or by the next writer's open).
      info.cutPending = true;
      info.pastEndCleared = false;
    }
    return err;
  }
  info.cutPending = false;
  OSLOG(5, "[%s] truncated [%s] from [%lu] to [%lu] newver=%d", rootName_.c_str(), objGuid.c_str(),
        static_cast<unsigned long>(oldSize), static_cast<unsigned long>(size), newVersion ? 1 : 0);
  info.size = size;
  info.sizeChanged = true;
  return CZnError::Success;
}

CZnError ObjectStore::cutExtentsPast(FileHandle& handle, uint64_t size, bool findStrays) {
  const guid_t& objGuid = handle.name.objGuid;
  const guid_t& verGuid = handle.name.verGuid;
  OpenFileInfo& info = *handle.info;
  info.lock.assertHeld();
  const uint64_t extentSize = info.extentSize;
  index_iface_props props;
  if (CZnError err = propsFromGuid(objGuid, props, DO_RESTORE); !err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't find entry for [%s] [%s]", rootName_.c_str(),
             objGuid.c_str(), handle.name.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (CZnError err = fillFileExtents(handle); !err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't populate extent map for [%s]", rootName_.c_str(),
             objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }

  // Whole extents past the end go, lowest first.
  const uint64_t keep = extentsFor(size, extentSize);
  if (findStrays) {
    // A write that failed, or whose process died, before the size was
    // recorded may have left extents past the end, which the map (filled
    // up to the size) does not hold: the index lists those it recorded, and
    // the cache may hold a run of segments it never recorded.
    std::map<std::string, index_iface_props> listed;
    if (CZnError err = browseFileExtentsToMap(handle, listed); !err.ok()) return err;
    for (auto& [extentGuid, record] : listed) {
      const uint64_t n = extentNumberOf(extentGuid);
      if (n != UINT64_MAX && n >= keep) info.extents.emplace(extentGuid, std::move(record));
    }
    for (uint64_t n = keep;; ++n) {
      const guid_t extentGuid = fileToExtentGuid(objGuid, n);
      if (info.extents.count(extentGuid) != 0) continue;
      index_iface_props local;
      if (!propsFromDiskCache(extentGuid, local, NO_RESTORE).ok()) break;
      OSLOG(4, "[%s] dropping unrecorded extent [%s] past the end", rootName_.c_str(),
            local.verGuid.c_str());
      CZnError err = diskCache_->deleteSegment(context_, local.verGuid, false, false, 0);
      if (!err.ok() && err.errNo() != ENOENT) return err;
    }
  }
  std::vector<std::pair<uint64_t, guid_t>> doomed;
  for (const auto& [extentGuid, record] : info.extents) {
    const uint64_t n = extentNumberOf(extentGuid);
    if (n != UINT64_MAX && n >= keep) doomed.emplace_back(n, extentGuid);
  }
  std::sort(doomed.begin(), doomed.end());
  const bool localOnly = discardWrites_.load() || info.filtered;
  for (const auto& [n, extentGuid] : doomed) {
    index_iface_props record = info.extents[extentGuid];
    const guid_t segment = record.verGuid;
    OSLOG(5, "deleting extent [%lu] [%s] [%s]", static_cast<unsigned long>(n), extentGuid.c_str(),
          segment.c_str());
    if (CZnError err = deleteSegment(record, localOnly); !err.ok()) {
      err.Push(FX_LOC, "Error: can't delete [%s]", segment.c_str());
      OSLOG_ERR(err);
      return err;
    }
    // A segment of the version being written goes from the cache, whether
    // or not a new version was asked for: left there, a later write into
    // the same extent would bring its cut-off bytes back. An older
    // version's segment stays: that version still reads it.
    if (segment.compare(0, GUID_CHAR_SIZE_MIN, verGuid) == 0) {
      CZnError err = diskCache_->deleteSegment(context_, segment, false, false, 0);
      if (!err.ok() && err.errNo() != ENOENT) {  // a local-only delete already removed it
        err.Push(FX_LOC, "Error: Can't delete [%s]", segment.c_str());
        OSLOG_ERR(err);
        return err;
      }
      info.deletedExtents[segment] = std::move(info.extents[extentGuid]);
    }
    // Gone from the file either way: a later growth must read zeros here.
    info.extents.erase(extentGuid);
  }

  // The extent that now holds the last byte loses what lies past it.
  const uint64_t last = size > 0 ? offsetToExtent(size - 1, extentSize) : 0;
  auto lastIt = size > 0 ? info.extents.find(fileToExtentGuid(objGuid, last)) : info.extents.end();
  if (size > 0 && lastIt == info.extents.end()) {
    OSLOG(5, "[%s] Can't get latest version of [%s]", rootName_.c_str(),
          fileToExtentGuid(objGuid, last).c_str());
  } else if (size > 0) {
    const guid_t extentGuid = lastIt->first;
    const index_iface_props record = lastIt->second;
    const uint64_t length = size - extentToOffset(last, extentSize);
    if (!diskCache_->doesSegmentExist(context_, record.verGuid)) {
      if (CZnError err = restoreExtent(handle, extentGuid, nullptr); !err.ok()) {
        err.Push(FX_LOC, "[%s] Error: Can't restore [%s]", rootName_.c_str(),
                 record.verGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
    }
    uint64_t sectionSize = 0;
    if (CZnError err =
            diskCache_->getSectionSize(sectionSize, context_, record.verGuid, SECTION_DATA, 0);
        !err.ok()) {
      err.Push(FX_LOC, "[%s] Error: can't get data section size [%s]", rootName_.c_str(),
               record.verGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    // A section already this short (the file grows) is left alone.
    if (sectionSize > length) {
      const guid_t segment = fileToExtentGuid(verGuid, last);
      if (record.verGuid != segment) {
        // The extent belongs to an older version, which must keep its
        // bytes: the cut goes into a copy in the current version, as a
        // write would make.
        if (CZnError err = copyExtentIntoVersion(handle, extentGuid, record, segment); !err.ok()) {
          err.Push(FX_LOC, "[%s] Error: Can't copy [%s] into [%s]", rootName_.c_str(),
                   record.verGuid.c_str(), segment.c_str());
          OSLOG_ERR(err);
          return err;
        }
      }
      if (CZnError err = diskCache_->truncateSection(context_, segment, SECTION_DATA, 0, length);
          !err.ok()) {
        err.Push(FX_LOC, "[%s] Error: can't truncate section [%s]", rootName_.c_str(),
                 segment.c_str());
        OSLOG_ERR(err);
        return err;
      }
      // The backup's copy of the extent must lose the cut bytes too.
      if (!localOnly && config_.timestamp == 0) pushToBackupQueue(segment);
    }
  }

  return CZnError::Success;
}

CZnError ObjectStore::fsync(ItemName& item) {
  OSLOG(3, "[%s] fsync [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str());
  TimeFunction timer("fsync", PERF_FSYNC);
  const guid_t objGuid = item.getObjGuid(*this);
  if (objGuid.empty()) {
    OSLOG(-1, "[%s] Error: can't get objguid [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(),
          item.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "can't get objguid [%s]", item.path.c_str());
  }
  guid_t version;
  if (CZnError err = getLatestVersion(objGuid, version); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: can't get latest version of [%s]", rootName_.c_str(),
             objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  CXFileHeader header;
  FileHeaderData data;
  if (CZnError err = readFileHeader(header, data, objGuid, version, DO_RESTORE); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't read file header");
    OSLOG_ERR(err);
    return err;
  }
  if (isDirectoryOrLink(header, data)) {
    OSLOG(-1, "Error: Can't write to a directory");
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Can't write to a directory");
  }

  // A size change still pending in an open file is written first, so that
  // the header made durable below is the current one.
  OSLOG(5, "Updating size: %s", objGuid.c_str());
  {
    FileHandle handle;
    if (CZnError err = open(handle, item, O_RDONLY, false); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't open [%s] during fsync", objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    if (CZnError err = close(handle, INTERNAL_CLOSE); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't close [%s] during fsync", objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  if (CZnError err = readFileHeader(header, data, objGuid, version, DO_RESTORE); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't read file header");
    OSLOG_ERR(err);
    return err;
  }

  // Every extent is synced where its current bytes are: the segment the
  // version cache names (possibly an older version's), else this version's.
  // An extent never written has no segment and is skipped. A failed sync
  // does not stop the others, but it is reported: the data is not durable.
  CZnError firstFailure;
  const uint64_t extentSize = data.extentSize;
  const uint64_t extents = extentSize == 0 ? 0 : extentsFor(header.size, extentSize);
  for (uint64_t k = 0; k < extents; ++k) {
    guid_t segment;
    if (!versionCache_.findData(fileToExtentGuid(objGuid, k), segment).ok())
      segment = fileToExtentGuid(version, k);
    CZnError err = diskCache_->syncSegment(context_, segment);
    if (err.ok() || err.errNo() == ENOENT) continue;
    OSLOG(-1, "[%s] Error: can't sync segment [%s]", rootName_.c_str(), segment.c_str());
    if (firstFailure.ok()) firstFailure = err;
  }
  if (CZnError err = diskCache_->syncSegment(context_, version); !err.ok()) {
    OSLOG(-1, "[%s] Error: can't sync segment [%s]", rootName_.c_str(), version.c_str());
    if (firstFailure.ok()) firstFailure = err;
  }
  if (!firstFailure.ok()) {
    firstFailure.Push(FX_LOC, "[%s] Error: fsync of [%s] incomplete", rootName_.c_str(),
                      objGuid.c_str());
    OSLOG_ERR(firstFailure);
    return firstFailure;
  }
  return CZnError::Success;
}

}  // namespace ObjectStore
