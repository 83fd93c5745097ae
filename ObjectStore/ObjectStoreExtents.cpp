// Extent I/O: how a byte range maps onto extent segments, how write and read
// walk them, how an extent is created on its first write or copied into the
// current version on its first write after a new version, how an open file
// learns which segment holds each extent, and how the empty range is kept.
//
// Locks (see ObjectStore.h): the extent lock of one extent segment is taken
// before the item lock of its file. Section data is read and written without
// the item lock; the extent map is only touched under it.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"

namespace ObjectStore {

namespace {

using ItemLock = std::unique_lock<HxCriticalSection>;

const char* yesNo(Sync sync) { return sync == DO_SYNC ? "yes" : "no"; }

// The index record of a new extent: the extent's identity, the segment that
// holds it and the file it belongs to.
index_iface_props makeExtentRecord(const guid_t& objGuid, const guid_t& extentGuid,
                                   const guid_t& segment, uint64_t extent, uint64_t fileSize,
                                   uint64_t extentSize) {
  index_iface_props record;
  record.objGuid = extentGuid;
  record.verGuid = segment;
  record.parentGuid = objGuid;
  record.modeValid = record.uidValid = record.gidValid = true;
  record.mode = record.uid = record.gid = 0;
  record.size = static_cast<int64_t>(fileSize);
  const int64_t nowNs = clockNowNs();
  record.atime = record.ctime = record.mtime = nowNs / NS_PER_SEC;
  record.vtime = nowNs;
  record.extentSize = static_cast<int64_t>(extentSize);
  record.updateSelector = 1;
  record.extentNumber = extent;
  return record;
}

// Brings back the index record of an extent segment that a truncate marked
// deleted, and the segment itself: a write into it starts from an empty
// data section (a segment already there is one the caller just made or
// emptied). The segment comes first: a process killed in between leaves an
// unrecorded empty segment, which the next write takes over, never a live
// record without its segment. False when the index knows no such record.
bool reviveExtentRecord(ObjectStore& store, index_iface_props& record) {
  CZnError err = store.createSegment(record, false);
  if (!err.ok() && err.errNo() != EEXIST) return false;
  index_iface_props update;
  update.objGuid = record.objGuid;
  update.verGuid = record.verGuid;
  update.parentGuid = record.parentGuid;
  update.updateSelector = 1;
  update.dtime = 0;
  return store.index().update_item(update) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Empty range

void updateEmptyRange(const guid_t& objGuid, FileHandle& handle, const uint64_t& extent) {
  OpenFileInfo& info = *handle.info;
  info.lock.assertHeld();
  Range& range = info.emptyRange;
  if (range.contains(extent)) {
    OSLOG(5, "New extent written within current emptyRange [%lu %lu]",
          static_cast<unsigned long>(range.start), static_cast<unsigned long>(range.end));
    if (extent == range.start) {
      OSLOG(5, "Extent written at start, shrinking emptyRange for item [%s]", objGuid.c_str());
      range.start += 1;
      OSLOG(5, "New startOffset [%lu]", static_cast<unsigned long>(range.start));
    } else if (extent == range.end - 1) {
      OSLOG(5, "Extent written at end, shrinking emptyRange for item [%s]", objGuid.c_str());
      range.end -= 1;
    } else {
      // One range can't describe two holes: the part above the written
      // extent is given up (it then counts as possibly written).
      OSLOG(5, "New extent written in between, splitting emptyRange for item [%s]",
            objGuid.c_str());
      range.end = extent;
    }
    if (!range.isValid()) range.reset();
    info.sizeChanged = true;
    return;
  }
  if (range.isValid() || info.extentSize == 0) return;  // a valid range is never widened

  // The first extent past the data: every extent from there up to the one
  // written now has never been written.
  uint64_t first = info.size == 0 ? 0 : offsetToExtent(info.size - 1, info.extentSize) + 1;
  // The size moves only when a write is done: an extent below this one that
  // a concurrent write is filling is past the size but already in the map.
  for (const auto& entry : info.extents) {
    const uint64_t n = entry.second.extentNumber;
    if (n != UINT64_MAX && n < extent) first = std::max(first, n + 1);
  }
  if (extent > first) {
    range.set(first, extent);
    info.sizeChanged = true;
    OSLOG(5, "Creating emptyRange [%lu %lu] in item [%s] by writing beyond EOF",
          static_cast<unsigned long>(first), static_cast<unsigned long>(extent), objGuid.c_str());
  }
}

// ---------------------------------------------------------------------------
// write and read

CZnError ObjectStore::write(FileHandle& handle, const char* buf, uint64_t& len, uint64_t offset,
                            Sync sync) {
  const guid_t& objGuid = handle.name.objGuid;
  OSLOG(4, "[%s] write obj=[%s] ver=[%s] path=[%s] len=[%lu] off=[%lu] sync=[%s]",
        rootName_.c_str(), objGuid.c_str(), handle.name.verGuid.c_str(), handle.name.path.c_str(),
        static_cast<unsigned long>(len), static_cast<unsigned long>(offset), yesNo(sync));
  eventLog("[%s] write obj=[%s] path=[%s] len=[%lu] off=[%lu]", rootName_.c_str(), objGuid.c_str(),
           handle.name.path.c_str(), static_cast<unsigned long>(len),
           static_cast<unsigned long>(offset));
  TimeFunction timer("write", PERF_WRITE);

  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  if (!handle.isWrite) {
    // Writing through a handle opened read-only would bypass the writer
    // count that new versions and the backup decisions rely on.
    OSLOG(-1, "[%s] Error: [%s] not open for writing", rootName_.c_str(), objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "[%s] not open for writing", objGuid.c_str());
  }
  if (len > UINT64_MAX - offset) {
    OSLOG(-1, "Error: write past the largest offset [%s] len=[%lu] off=[%lu]", objGuid.c_str(),
          static_cast<unsigned long>(len), static_cast<unsigned long>(offset));
    return FXErrorUtil::ErrorErrNo(FX_LOC, EFBIG, "write past the largest offset [%s]",
                                   objGuid.c_str());
  }

  AutoFileInternalOpener opener(*this, handle);
  if (CZnError err = opener.open(); !err.ok()) {
    err.Push(FX_LOC, "Error: Writing to closed file [%s]", objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // Nothing to write changes nothing, not even the size.
  if (len == 0) return CZnError::Success;

  OpenFileInfo& info = *handle.info;
  std::shared_lock<HxRW> cutShared(info.cutLock);
  std::unique_lock<HxRW> cutOwned;
  uint64_t extentSize = 0;
  {
    ItemLock itemLock(info.lock);
    if (info.cutPending && offset + len > info.size) {
      // Finishing the cut drops extents other writes may be filling: this
      // write waits for them and keeps them out until it is done.
      itemLock.unlock();
      cutShared.unlock();
      cutOwned = std::unique_lock<HxRW>(info.cutLock);
      itemLock.lock();
    }
    if (info.isFileEmpty()) {
      OSLOG(5, "Skipped browsing extents for empty file [%s]", objGuid.c_str());
    } else if (CZnError err = fillFileExtents(handle); !err.ok()) {
      err.Push(FX_LOC, "Error: can't fill extents [%s]", objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    if (info.cutPending && offset + len > info.size) {
      // A truncate could not drop everything past the size: a write past
      // the end would otherwise show those bytes between the two.
      if (CZnError err = cutExtentsPast(handle, info.size, false); !err.ok()) {
        err.Push(FX_LOC, "Error: can't drop what lies past the end of [%s]", objGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
      info.cutPending = false;
    }
    extentSize = info.extentSize;
  }
  if (extentSize == 0) {
    OSLOG(-1, "Error: 0 extentSize in [%s]", objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "0 extentSize in [%s]", objGuid.c_str());
  }

  uint64_t pos = offset;
  uint64_t remaining = len;
  const char* cursor = buf;
  while (remaining > 0) {
    const uint64_t extent = offsetToExtent(pos, extentSize);
    const uint64_t inExtent = pos - extentToOffset(extent, extentSize);
    const uint64_t chunk = std::min(remaining, extentSize - inExtent);
    if (CZnError err = writeExtent(handle, extent, cursor, chunk, inExtent, sync); !err.ok()) {
      eventLog("[%s] Error: Can't write extent [%lu], obj=[%s] path=[%s] len=[%lu] off=[%lu]",
               rootName_.c_str(), static_cast<unsigned long>(extent), objGuid.c_str(),
               handle.name.path.c_str(), static_cast<unsigned long>(len),
               static_cast<unsigned long>(offset));
      err.Push(FX_LOC,
               "Error: Can't write extent [%lu], obj=[%s] ver=[%s] path=[%s] len=[%lu] "
               "off=[%lu]",
               static_cast<unsigned long>(extent), objGuid.c_str(), handle.name.verGuid.c_str(),
               handle.name.path.c_str(), static_cast<unsigned long>(len),
               static_cast<unsigned long>(offset));
      logErrorUnlessNoSpace(err);
      return err;
    }
    {
      // The size moves only once the whole write is done, so for every
      // extent after the first the size still ends before the extents this
      // write has just filled: only a range that holds the extent may change.
      ItemLock itemLock(info.lock);
      // Normally the extent left the hole before its bytes were written;
      // the bytes written must show even where leftovers could not go.
      if ((pos == offset || info.emptyRange.contains(extent)) &&
          !takeOutOfTheHole(handle, extent).ok())
        updateEmptyRange(objGuid, handle, extent);
    }
    remaining -= chunk;
    pos += chunk;
    cursor += chunk;
  }

  ItemLock itemLock(info.lock);
  info.size = std::max(info.size, offset + len);
  info.sizeChanged = true;
  if (CZnError err = updateFileSize(handle); !err.ok()) {
    err.Push(FX_LOC, "Can't update file size [%s]", objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  OSLOG(4, "[%s] wrote [%s] path=[%s] fileSize=[%lu]", rootName_.c_str(), objGuid.c_str(),
        handle.name.path.c_str(), static_cast<unsigned long>(info.size));
  return CZnError::Success;
}

CZnError ObjectStore::read(FileHandle& handle, char* buf, uint64_t offset, uint64_t& len) {
  const guid_t& objGuid = handle.name.objGuid;
  OSLOG(3, "[%s] read [%s] [%s] off=[%lu] len=[%lu]", rootName_.c_str(), objGuid.c_str(),
        handle.name.path.c_str(), static_cast<unsigned long>(offset),
        static_cast<unsigned long>(len));
  TimeFunction timer("read", PERF_READ);

  AutoFileInternalOpener opener(*this, handle);
  if (CZnError err = opener.open(); !err.ok()) {
    err.Push(FX_LOC, "Error: Reading from closed file [%s]", objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }

  OpenFileInfo& info = *handle.info;
  std::shared_lock<HxRW> cutShared(info.cutLock);
  bool empty = false;
  uint64_t extentSize = 0;
  uint64_t remaining = 0;
  {
    ItemLock itemLock(info.lock);
    empty = info.isFileEmpty();
    if (empty) {
      OSLOG(1, "Skipped reading extents for empty file [%s]", objGuid.c_str());
    } else {
      if (CZnError err = fillFileExtents(handle); !err.ok()) {
        err.Push(FX_LOC, "Error: can't fill extents [%s]", objGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
      if (info.extentSize == 0) {
        OSLOG(-1, "Error: 0 extentSize in [%s]", objGuid.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "0 extentSize in [%s]", objGuid.c_str());
      }
    }
    extentSize = info.extentSize;
    remaining = offset >= info.size ? 0 : std::min(len, info.size - offset);
  }
  len = 0;

  if (empty) {
    // Nothing was ever written: a file extended by truncate (or created
    // with a size) reads as zeros up to its size, as POSIX requires.
    std::memset(buf, 0, remaining);
    len = remaining;
    return CZnError::Success;
  }

  uint64_t pos = offset;
  char* cursor = buf;
  while (remaining > 0) {
    const uint64_t extent = offsetToExtent(pos, extentSize);
    const uint64_t inExtent = pos - extentToOffset(extent, extentSize);
    uint64_t chunk = std::min(remaining, extentSize - inExtent);
    if (CZnError err = readExtent(handle, extent, cursor, chunk, inExtent); !err.ok()) {
      err.Push(FX_LOC, "Can't read extent [%lu]\n", static_cast<unsigned long>(extent));
      OSLOG(-1, "Error: Can't read file, obj=[%s] ver=[%s] path=[%s] len=[%lu] off=[%lu]",
            objGuid.c_str(), handle.name.verGuid.c_str(), handle.name.path.c_str(),
            static_cast<unsigned long>(remaining), static_cast<unsigned long>(pos));
      return err;
    }
    pos += chunk;
    cursor += chunk;
    len += chunk;
    remaining -= chunk;
  }
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// One extent

CZnError ObjectStore::writeExtent(FileHandle& handle, uint64_t extent, const char* buf,
                                  uint64_t len, uint64_t offsetInExtent, Sync sync) {
  const guid_t& objGuid = handle.name.objGuid;
  const guid_t& verGuid = handle.name.verGuid;
  OSLOG(5, "Writing extent [%lu] obj=[%s] ver=[%s] len=%lu offset=[%lu] sync=[%s]",
        static_cast<unsigned long>(extent), objGuid.c_str(), verGuid.c_str(),
        static_cast<unsigned long>(len), static_cast<unsigned long>(offsetInExtent), yesNo(sync));
  TimeFunction timer("writeExtent", PERF_WRITE_EXTENT);
  if (handle.info == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Writing extent of closed file [%s]",
                                   objGuid.c_str());
  }
  OpenFileInfo& info = *handle.info;
  const guid_t extentGuid = fileToExtentGuid(objGuid, extent);
  const guid_t segment = fileToExtentGuid(verGuid, extent);
  const bool discard = discardWrites_.load();
  const bool localOnly = discard || info.filtered;

  AutoExtentOpener extentOpener(*this, segment);
  ItemLock extentLock(extentOpener.get().info->lock);

  enum class Action { None, Create, Copy };
  Action action = Action::None;
  index_iface_props older;
  uint64_t fileSize = 0;
  uint64_t extentSize = 0;
  bool inHole = false;
  {
    ItemLock itemLock(info.lock);
    inHole = info.emptyRange.contains(extent);
    if (CZnError err = undeleteExtent(extentGuid, segment, info); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't undelete extent %lu [%s]", static_cast<unsigned long>(extent),
               extentGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    auto it = info.extents.find(extentGuid);
    if (it == info.extents.end()) {
      action = Action::Create;
    } else if (it->second.verGuid != segment) {
      action = Action::Copy;
      older = it->second;
    }
    fileSize = info.size;
    extentSize = info.extentSize;
  }

  if (action == Action::Create) {
    OSLOG(5, "createNew");
    if (extentSize == 0) {
      OSLOG(-1, "Invalid extent_size for [%s]", objGuid.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid extent_size for [%s]",
                                     objGuid.c_str());
    }
    index_iface_props record =
        makeExtentRecord(objGuid, extentGuid, segment, extent, fileSize, extentSize);
    CZnError err = createNewItem(record, localOnly);
    if (err.errNo() == EEXIST && !localOnly) {
      // A segment of this name that the file's extents don't hold: left by a
      // write that was cut off before the index recorded it (or before the
      // size reached it). The file reads nothing from it, so it starts over
      // empty, and the index learns of it now; left unrecorded, this write
      // would vanish at the next start.
      OSLOG(2, "[%s] taking over the unrecorded segment [%s]", rootName_.c_str(),
            segment.c_str());
      err = diskCache_->truncateSection(context_, segment, SECTION_DATA, 0, 0);
      if (err.ok() && !addToCacheAndIndex(record, false).ok() &&
          !reviveExtentRecord(*this, record)) {
        err = FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Can't record [%s] in the index",
                                      segment.c_str());
      }
      if (!err.ok()) {
        err.Push(FX_LOC, "Error: Can't take over [%s]", segment.c_str());
        logErrorUnlessNoSpace(err);
        return err;
      }
    } else if (err.errNo() == EEXIST) {
      OSLOG(2, "Can't create new item [%s] [%s]", extentGuid.c_str(), segment.c_str());
    } else if (!err.ok() && !localOnly && reviveExtentRecord(*this, record)) {
      // The index already knew this segment, deleted by a truncate of an
      // earlier open: it was brought back instead of recorded twice.
      OSLOG(5, "revived [%s] [%s]", extentGuid.c_str(), segment.c_str());
    } else if (!err.ok()) {
      err.Push(FX_LOC, "Error: Can't create new extent");
      logErrorUnlessNoSpace(err);
      return err;
    }
    ItemLock itemLock(info.lock);
    info.extents[extentGuid] = record;
  } else if (action == Action::Copy) {
    OSLOG(5, "copyExtent");
    if (CZnError err = copyExtentIntoVersion(handle, extentGuid, older, segment); !err.ok()) {
      return err;
    }
  }

  if (action != Action::None && discard) {
    // A view that discards writes keeps the extent only locally: remember it
    // across restarts (a failure only costs a lookup later).
    (void)versionCache_.insert(extentGuid, segment, true);
  }
  if (CZnError err = versionCache_.insert(extentGuid, segment, false); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't insert guid into version cache");
    OSLOG_ERR(err);
    return err;
  }

  if (!diskCache_->doesSegmentExist(context_, segment)) {
    ItemLock itemLock(info.lock);
    if (CZnError err = restoreExtent(handle, extentGuid, nullptr); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't restore segment [%s]", segment.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  if (inHole) {
    // The file reads zeros here whatever the segment holds: a write killed
    // before it recorded the file's new size or empty range can have left
    // bytes in it, and this write would bring the ones it does not cover
    // back. A hole's segment is normally new and empty: one lookup.
    uint64_t stale = 0;
    CZnError err = diskCache_->getSectionSize(stale, context_, segment, SECTION_DATA, 0);
    if (err.ok() && stale > 0) {
      OSLOG(2, "[%s] clearing %lu bytes a cut-off write left in the hole [%s]", rootName_.c_str(),
            static_cast<unsigned long>(stale), segment.c_str());
      err = diskCache_->truncateSection(context_, segment, SECTION_DATA, 0, 0);
    }
    if (!err.ok()) {
      err.Push(FX_LOC, "[%s] Error: Can't clear the hole [%s]", rootName_.c_str(),
               segment.c_str());
      logErrorUnlessNoSpace(err);
      return err;
    }
    // The segment now reads as the hole did; the extent leaves the hole
    // before the extent lock goes, so that a concurrent writer of this
    // extent does not clear what this one writes.
    ItemLock itemLock(info.lock);
    if (info.emptyRange.contains(extent)) {
      if (CZnError err = takeOutOfTheHole(handle, extent); !err.ok()) return err;
    }
  }
  extentLock.unlock();
  eventLog("[%s] Writing extent obj=[%s] ver=[%s] len=%lu offset=[%lu]", rootName_.c_str(),
           objGuid.c_str(), verGuid.c_str(), static_cast<unsigned long>(len),
           static_cast<unsigned long>(offsetInExtent));

  std::vector<Section> writes = {makeWriteSection(SECTION_DATA, offsetInExtent, buf, len)};
  if (CZnError err =
          diskCache_->writeSections(context_, segment, writes, false, info.filtered ? 1 : 0);
      !err.ok()) {
    const int level = err.errNo() == ENOSPC ? 4 : -1;
    OSLOG(level, "Error: Can't write sections for [%s]", segment.c_str());
    OSLOG(level, "Error: Can't write extent [%lu] obj=[%s] ver=[%s] len=%lu offset=[%lu]",
          static_cast<unsigned long>(extent), objGuid.c_str(), verGuid.c_str(),
          static_cast<unsigned long>(len), static_cast<unsigned long>(offsetInExtent));
    return err;
  }

  const bool readOnly = readOnly_.load();
  if (readOnly || discard || config_.timestamp != 0 || info.filtered) {
    OSLOG(5, "skipping backup for [%s]: readOnly=%d discardWrites=%d filtered=%d snaptime=%lu",
          segment.c_str(), readOnly ? 1 : 0, discard ? 1 : 0, info.filtered ? 1 : 0,
          static_cast<unsigned long>(config_.timestamp));
  } else {
    pushToBackupQueue(segment);
  }

  if (sync == DO_SYNC) {
    if (CZnError err = diskCache_->syncSegment(context_, segment); !err.ok()) {
      err.Push(FX_LOC, "[%s] Error: can't sync segment [%s]", rootName_.c_str(), segment.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  return CZnError::Success;
}

CZnError ObjectStore::copyExtentIntoVersion(FileHandle& handle, const guid_t& extentGuid,
                                            const index_iface_props& older, const guid_t& segment) {
  OpenFileInfo& info = *handle.info;
  // Truncate calls in with the item lock held for its whole run; the extent
  // writer holds it only around the steps that need it.
  const bool callerHoldsLock = info.lock.isHeldByCurrentThread();
  ItemLock itemLock(info.lock, std::defer_lock);
  auto lockItem = [&] {
    if (!callerHoldsLock && !itemLock.owns_lock()) itemLock.lock();
  };

  if (!diskCache_->doesSegmentExist(context_, older.verGuid)) {
    lockItem();
    if (CZnError err = restoreExtent(handle, extentGuid, nullptr); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't restore [%s] [%s]", extentGuid.c_str(), older.verGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    if (itemLock.owns_lock()) itemLock.unlock();
  }

  index_iface_props props = older;
  const bool noIndex = discardWrites_.load() || info.filtered;
  CZnError err = copySegment(older.verGuid, segment, props, noIndex);
  if (err.errNo() == EEXIST) {
    OSLOG(2, "Can't copy segment [%s] [%s]", older.verGuid.c_str(), segment.c_str());
  } else if (!err.ok()) {
    OSLOG(err.errNo() == ENOSPC ? 4 : -1, "Error: Can't copy extent from [%s] to [%s]",
          older.verGuid.c_str(), segment.c_str());
    return err;
  }

  lockItem();
  index_iface_props& entry = info.extents[extentGuid];
  if (entry.objGuid.empty()) entry = older;  // dropped meanwhile: the copy is the extent now
  entry.verGuid = segment;
  // An extent that only exists locally must stay findable after a restart.
  if (err = versionCache_.insert(extentGuid, segment, noIndex); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't insert guid into version cache");
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

CZnError ObjectStore::readExtent(FileHandle& handle, uint64_t extent, char* buf, uint64_t& len,
                                 uint64_t offsetInExtent) {
  const guid_t& objGuid = handle.name.objGuid;
  const guid_t& verGuid = handle.name.verGuid;
  OSLOG(5, "[%s] Reading extent [%lu] obj=[%s] ver=[%s] len=%lu offset=[%lu]", rootName_.c_str(),
        static_cast<unsigned long>(extent), objGuid.c_str(), verGuid.c_str(),
        static_cast<unsigned long>(len), static_cast<unsigned long>(offsetInExtent));
  TimeFunction timer("readExtent", PERF_READ_EXTENT);
  if (handle.info == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Reading extent of closed file [%s]",
                                   objGuid.c_str());
  }
  OpenFileInfo& info = *handle.info;
  const guid_t extentGuid = fileToExtentGuid(objGuid, extent);

  AutoExtentOpener extentOpener(*this, fileToExtentGuid(verGuid, extent));
  ItemLock extentLock(extentOpener.get().info->lock);
  guid_t segment;
  {
    ItemLock itemLock(info.lock);
    auto it = info.extents.find(extentGuid);
    // An extent in the empty range reads as zeros whatever its segment holds:
    // a write killed before it recorded the file's new size and range can
    // have left bytes there (and an index record of the extent).
    if (it == info.extents.end() || info.emptyRange.contains(extent)) {
      OSLOG(5, "[%s] extent [%s] doesn't exist, returning 0s", rootName_.c_str(),
            extentGuid.c_str());
      std::memset(buf, 0, len);
      return CZnError::Success;
    }
    segment = it->second.verGuid;
  }

  // Nearly every read finds its segment: it reads first and looks closer
  // only on a miss. The read runs without the extent lock; a segment that
  // was missing may have been made meanwhile by a writer holding it.
  uint64_t delivered = 0;
  bool restore = true;
  for (int attempt = 0; attempt < 2 && restore; ++attempt) {
    if (attempt > 0 && !diskCache_->doesSegmentExist(context_, segment)) break;
    extentLock.unlock();
    std::vector<Section> reads = {makeReadSection(SECTION_DATA, offsetInExtent, buf, len)};
    CZnError err = readSectionsFromDiskCache(segment, reads, true);
    extentLock.lock();
    if (err.ok()) {
      delivered = std::min(reads[0].size, len);
      restore = false;
    } else if (readFailedAndSegmentKept(err)) {
      // The segment may hold writes not backed up yet: a restore must not
      // take its place.
      err.Push(FX_LOC, "[%s] Error: Can't read [%s]", rootName_.c_str(), segment.c_str());
      return err;
    } else if (err.errNo() != ENOENT) {
      OSLOG(-1, "[%s] Error: Can't read sections for [%s], will restore", rootName_.c_str(),
            segment.c_str());
      break;
    }
  }

  if (restore) {
    // Whatever the restore does not deliver reads as zeros.
    std::memset(buf, 0, len);
    RestoreData data;
    data.buffer = buf;
    data.length = static_cast<uint32_t>(len);
    data.offset = static_cast<uint32_t>(offsetInExtent);
    ItemLock itemLock(info.lock);
    CZnError err = restoreExtent(handle, extentGuid, &data);
    if (!err.ok() && err.errNo() != ENOSPC) {
      OSLOG(-1, "[%s] Error: Can't restore segment [%s]", rootName_.c_str(), segment.c_str());
      OSLOG(-1, "Error: Can't read extent [%lu] obj=[%s] ver=[%s] len=%lu offset=[%lu]",
            static_cast<unsigned long>(extent), objGuid.c_str(), verGuid.c_str(),
            static_cast<unsigned long>(len), static_cast<unsigned long>(offsetInExtent));
      return err;
    }
    delivered = len;
  }

  if (delivered < len) {
    OSLOG(5, "filling %lu zero bytes", static_cast<unsigned long>(len - delivered));
    std::memset(buf + delivered, 0, len - delivered);
  }
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// The extent map

CZnError ObjectStore::fillFileExtents(FileHandle& handle) {
  OpenFileInfo& info = *handle.info;
  info.lock.assertHeld();
  const guid_t& objGuid = handle.name.objGuid;
  if (!info.extents.empty()) {
    OSLOG(4, "browsing extents previously done [%s]", objGuid.c_str());
    return CZnError::Success;
  }
  OSLOG(5, "filling extents [%s]", objGuid.c_str());
  if (info.size == 0) {
    OSLOG(5, "0 size, no extents needed");
    return CZnError::Success;
  }
  if (info.extentSize == 0) {
    OSLOG(-1, "Error: 0 extent size in [%s]", objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "0 extent size in [%s]", objGuid.c_str());
  }

  const bool discard = discardWrites_.load();
  const uint64_t last = offsetToExtent(info.size - 1, info.extentSize);
  // Records every extent whose header is local; false when extent n is
  // neither local nor known to be empty.
  auto walk = [&](const char* message, bool stopAtMissing, bool onlyUnlisted) {
    for (uint64_t n = 0; n <= last; ++n) {
      const guid_t extentGuid = fileToExtentGuid(objGuid, n);
      if (onlyUnlisted && info.extents.count(extentGuid) != 0) continue;
      if (discard && deletedSegments_.exists(extentGuid)) {
        OSLOG(5, "segment deleted: [%s]", extentGuid.c_str());
        // The index still lists what this view removed locally.
        info.extents.erase(extentGuid);
        continue;
      }
      index_iface_props props;
      if (propsFromDiskCache(extentGuid, props, NO_RESTORE).ok()) {
        props.updateSelector = 1;
        props.extentNumber = n;
        OSLOG(5, message, extentGuid.c_str(), static_cast<unsigned long long>(n));
        info.extents[extentGuid] = props;
        continue;
      }
      if (!stopAtMissing) continue;
      OSLOG(5, "Extent [%lu] [%s] not in cache", static_cast<unsigned long>(n), extentGuid.c_str());
      if (info.emptyRange.contains(n)) {
        OSLOG(5, "Extent [%lu] is part of emptyRange, skipping", static_cast<unsigned long>(n));
        continue;
      }
      return false;
    }
    return true;
  };

  if (walk("Adding [%s] to props map. extent_number [%llu]", true, false)) {
    OSLOG(5, "fillFileExtents complete");
    return CZnError::Success;
  }

  info.extents.clear();
  if (CZnError err = browseFileExtentsToMap(handle, info.extents); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't browse file extents [%s]", objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // A view that discards writes keeps its changes out of the index: its
  // local headers win. Elsewhere extents of a file kept out of backup exist
  // only locally (whoever opened the file, so the open record's filter flag
  // can't tell): local extents the index does not list are added.
  if (discard) {
    (void)walk("Overriding [%s] to props map. extent_number [%llu]", false, false);
  } else {
    (void)walk("Adding local [%s] to props map. extent_number [%llu]", false, true);
  }
  return CZnError::Success;
}

CZnError ObjectStore::takeOutOfTheHole(FileHandle& handle, uint64_t extent) {
  const Range hole = handle.info->emptyRange;
  // Inside the hole the range keeps only the part below the extent: the part
  // above must read as zeros without it. Until that is so, the range stays.
  if (hole.contains(extent) && extent != hole.start && extent + 1 < hole.end) {
    if (CZnError err = clearWritesLeftInTheHole(handle, extent + 1, hole.end); !err.ok())
      return err;
  }
  updateEmptyRange(handle.name.objGuid, handle, extent);
  return CZnError::Success;
}

CZnError ObjectStore::clearWritesLeftInTheHole(FileHandle& handle, uint64_t first,
                                               uint64_t end) {
  handle.info->lock.assertHeld();
  if (discardWrites_.load() || readOnly_.load()) return CZnError::Success;
  // A write takes its extent out of the empty range before its bytes land,
  // so a segment of this version found inside the range can only be what a
  // killed write left. Reads show zeros there while the range holds it; the
  // bytes go before the range lets go of it (and the backup learns of it).
  for (uint64_t n = first; n < end; ++n) {
    const guid_t segment = fileToExtentGuid(handle.name.verGuid, n);
    if (!diskCache_->doesSegmentExist(context_, segment)) continue;
    uint64_t stale = 0;
    CZnError err = diskCache_->getSectionSize(stale, context_, segment, SECTION_DATA, 0);
    if (err.ok() && stale == 0) continue;
    if (err.ok()) {
      OSLOG(2, "[%s] clearing %lu bytes a cut-off write left in the hole [%s]", rootName_.c_str(),
            static_cast<unsigned long>(stale), segment.c_str());
      err = diskCache_->truncateSection(context_, segment, SECTION_DATA, 0, 0);
    }
    if (!err.ok()) {
      err.Push(FX_LOC, "[%s] Error: Can't clear [%s]", rootName_.c_str(), segment.c_str());
      logErrorUnlessNoSpace(err);
      return err;
    }
    pushToBackupQueue(segment);
  }
  return CZnError::Success;
}

CZnError ObjectStore::browseFileExtentsToMap(FileHandle& handle,
                                             std::map<std::string, index_iface_props>& map) {
  const guid_t& objGuid = handle.name.objGuid;
  if (!map.empty()) {
    OSLOG(4, "browsing extents previously done [%s]", objGuid.c_str());
    return CZnError::Success;
  }
  const uint64_t asOf =
      config_.timestamp != 0 ? config_.timestamp : static_cast<uint64_t>(clockNowSec());
  OSLOG(4, "browsing extents for [%s] at time [%lu]", objGuid.c_str(),
        static_cast<unsigned long>(asOf));
  const uint64_t versionsSince = versionCache_.changeCount();  // see GuidCacheBase::fill
  index_iface_browse_fields fields;
  fields.guid = objGuid;
  fields.before_time = asOf;
  std::vector<index_iface_props*> list;
  if (int rc = index_->browse_file_extents(fields, list); rc != 0) {
    index_->delete_browse_memory(list);
    OSLOG(-1, "Error: Can't browse file extents [%s]", objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't browse file extents [%s] (%d)",
                                   objGuid.c_str(), rc);
  }

  const uint64_t extentSize = handle.info != nullptr ? handle.info->extentSize : 0;
  int kept = 0;
  int ignored = 0;
  for (index_iface_props* record : list) {
    OSLOG(5, "found [%s] [%s] deletedTime [%lu] extNumber [%lld]", record->objGuid.c_str(),
          record->verGuid.c_str(), static_cast<unsigned long>(record->dtime),
          static_cast<long long>(record->extentNumber));
    if (record->dtime != -1 && record->dtime <= static_cast<int64_t>(asOf)) {
      OSLOG(5, "ignored [%s] [%s] deletedTime=[%lu]", record->objGuid.c_str(),
            record->verGuid.c_str(), static_cast<unsigned long>(record->dtime));
      ++ignored;
      continue;
    }
    record->extentSize = static_cast<int64_t>(extentSize);
    record->modeValid = record->uidValid = record->gidValid = true;
    record->mode = record->uid = record->gid = 0;
    record->dtime = -1;  // not deleted as of the store's time
    // Recording the segment is only a shortcut for later lookups.
    (void)versionCache_.fill(record->objGuid, record->verGuid, versionsSince);
    map[record->objGuid] = *record;
    ++kept;
  }
  index_->delete_browse_memory(list);
  OSLOG(4, "browsed [%d] extents, ignored [%d] for [%s]", kept, ignored, objGuid.c_str());
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Undelete, restore, backup

CZnError ObjectStore::undeleteExtent(const guid_t& extentGuid, const guid_t& extentVersion,
                                     OpenFileInfo& info) {
  info.lock.assertHeld();
  const bool discard = discardWrites_.load();
  auto deleted = info.deletedExtents.find(extentVersion);
  if (discard) {
    std::string deletedVersion;
    if (!deletedSegments_.read(extentGuid, deletedVersion) || deletedVersion != extentVersion)
      return CZnError::Success;
  } else if (deleted == info.deletedExtents.end()) {
    return CZnError::Success;
  }
  OSLOG(5, "undeleting [%s] [%s]", extentGuid.c_str(), extentVersion.c_str());

  // The segment is made ready before anything records the extent as live
  // again: a process killed in between then leaves a deleted extent with an
  // empty segment (which the next write takes over), never a live extent
  // showing bytes a truncate removed, nor one without its segment.
  if (diskCache_->doesSegmentExist(context_, extentVersion)) {
    if (CZnError err = diskCache_->truncateSection(context_, extentVersion, SECTION_DATA, 0, 0);
        !err.ok()) {
      err.Push(FX_LOC, "Error: Can't truncate section for [%s]", extentVersion.c_str());
      OSLOG_ERR(err);
      return err;
    }
  } else if (deleted != info.deletedExtents.end()) {
    index_iface_props record = deleted->second;
    record.dtime = -1;
    if (CZnError err = createSegment(record, discard || info.filtered);
        !err.ok() && err.errNo() != EEXIST) {
      err.Push(FX_LOC, "Error: Can't create segment [%s]", extentVersion.c_str());
      logErrorUnlessNoSpace(err);
      return err;
    }
  }  // else the writer creates it

  if (discard || info.filtered) {
    // The index never heard of these extents; only the local record of the
    // delete has to go (at worst the entry hides the extent again).
    (void)deletedSegments_.erase(extentGuid);
  } else {
    index_iface_props update;
    update.objGuid = extentGuid;
    update.verGuid = extentVersion;
    update.parentGuid = extentToParent(extentGuid);
    update.vtime = deleted->second.vtime;
    update.dtime = 0;
    update.updateSelector = 1;
    if (int rc = index_->update_item(update); rc != 0) {
      OSLOG(-1, "Error: Can't update index for [%s] (%d)", extentGuid.c_str(), rc);
      return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't update index for [%s] (%d)",
                                     extentGuid.c_str(), rc);
    }
  }
  if (deleted != info.deletedExtents.end()) {
    deleted->second.dtime = -1;
    info.extents[extentGuid] = deleted->second;
    info.deletedExtents.erase(deleted);
  }
  if (discard || info.filtered) {
    // The delete also dropped the extent's persistent location; without it
    // a restarted store could not find an extent the index never knew.
    (void)versionCache_.insert(extentGuid, extentVersion, true);  // at worst found again later
  }
  return CZnError::Success;
}

void ObjectStore::pushToBackupQueue(const guid_t& segment) {
  // Views, read-only stores and stores that discard writes have no queue:
  // nothing they write belongs in the backup.
  if (!backupQueue_) {
    OSLOG(5, "no backup queue: [%s] not queued for backup", segment.c_str());
    return;
  }
  backupQueue_->push(segment);
}

}  // namespace ObjectStore
