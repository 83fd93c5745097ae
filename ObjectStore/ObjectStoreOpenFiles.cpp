// The open-file and open-extent tables: open, close, the new version made by
// a write open, and the copy of a segment under a new name.
//
// open and close hand over between the open-file table lock and the item
// lock instead of nesting them: the table lock guards the table and the two
// counters of each record, the item lock everything else in the record.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/Guid.h"

namespace ObjectStore {

namespace {

// Only the access-mode bits decide: O_WRONLY (1) or O_RDWR (2) open for
// writing, every other bit is ignored here.
bool isWriteOpen(int flags) { return (flags & (O_WRONLY | O_RDWR)) != 0; }

// Takes one user of `handle` off its record and, when it was the last one,
// unlists and frees the record and clears handle.info. False when the
// handle's record is not the one listed for its object.
// REQUIRES: the open-file table lock.
bool uncountHandle(std::map<guid_t, OpenFileInfo*>& table, const guid_t& objGuid,
                   FileHandle& handle) {
  auto it = table.find(objGuid);
  if (it == table.end() || it->second != handle.info) return false;
  OpenFileInfo* info = it->second;
  if (handle.isWrite) {
    --info->writers;
  } else {
    --info->readers;
  }
  if (info->writers <= 0 && info->readers <= 0) {
    table.erase(it);
    OSLOG(5, "Deleted openFileInfo %p", static_cast<void*>(info));
    delete info;
    handle.info = nullptr;
  }
  return true;
}

// A segment copy needs both header records whole, first and in this order.
bool isWellFormedForCopy(const std::vector<SectionV>& sections) {
  return sections.size() >= 2 && sections[0].number == SECTION_HEADER &&
         sections[0].data.size() >= sizeof(FileHeaderData) &&
         sections[1].number == SECTION_ATTRIBUTE && sections[1].data.size() >= sizeof(CXFileHeader);
}

}  // namespace

bool OpenFileInfo::isFileEmpty() const {
  if (size == 0) return true;
  if (extentSize == 0 || !emptyRange.isValid() || emptyRange.start != 0) return false;
  // The range must reach the extent that holds the last byte; a size that
  // is not a whole number of extents ends inside the range's last extent.
  const uint64_t extentsOfSize = (size + extentSize - 1) / extentSize;
  if (emptyRange.end < extentsOfSize) return false;
  OSLOG(5, "Empty: Existing Range [%lu %lu] of size [%lu] extents",
        static_cast<unsigned long>(emptyRange.start), static_cast<unsigned long>(emptyRange.end),
        static_cast<unsigned long>(emptyRange.rangeSize()));
  return true;
}

// ---------------------------------------------------------------------------
// Open and close

CZnError ObjectStore::open(FileHandle& handle, ItemName& item, int flags, bool newVersion) {
  OSLOG(3, "[%s] open [%s] [%s] flags=[%d] newver=[%d]", rootName_.c_str(), item.objGuid.c_str(),
        item.path.c_str(), flags, newVersion ? 1 : 0);
  TimeFunction timer("open", PERF_OPEN);

  const guid_t objGuid = item.getObjGuid(*this);
  if (objGuid.empty()) {
    OSLOG(-1, "Error: Can't get objguid [%s] [%s]", rootName_.c_str(), item.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Can't get objguid [%s]", item.path.c_str());
  }
  const bool write = isWriteOpen(flags);
  if (write && readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  // A view that discards writes never makes versions.
  if (discardWrites_.load()) newVersion = false;

  bool filtered = false;
  if (write) {
    index_iface_props filterProps;
    if (CZnError err = isFileFiltered(filtered, item, filterProps); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't check if [%s] is filtered", objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    if (filtered) {
      // A file kept out of backup has nothing to keep old versions for.
      newVersion = false;
      OSLOG(3, "filtering [%s] [%s] from backup", objGuid.c_str(), item.path.c_str());
    }
  }
  item.verGuid.clear();

  OpenFileInfo* info = nullptr;
  // Set when this open is the record's first writer although readers made
  // the record: nobody has decided the backup filter for it yet.
  bool decidesFilter = false;
  // Set when this open is the record's only writer: nothing else can then be
  // writing past the size.
  bool soleWriter = false;
  {
    HxCriticalSectionGuard table(openFilesLock_);
    auto it = openFiles_.find(objGuid);
    if (it == openFiles_.end()) {
      info = new (std::nothrow) OpenFileInfo();
      if (info == nullptr) {
        OSLOG(-1, "[%s] Error: Can't allocate openFileInfo for [%s]", rootName_.c_str(),
              objGuid.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Can't allocate openFileInfo for [%s]",
                                       objGuid.c_str());
      }
      openFiles_.emplace(objGuid, info);
      OSLOG(5, "Created new openFileInfo %p", static_cast<void*>(info));
      info->filtered = filtered;
    } else {
      info = it->second;
      if (newVersion && write && info->writers != 0) {
        OSLOG(3, "[%s] Can't create new version, file already opened for writing [%s] [%s]",
              rootName_.c_str(), objGuid.c_str(), item.path.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, EAGAIN, "[%s] already opened for writing",
                                       objGuid.c_str());
      }
      decidesFilter = write && info->writers == 0;
    }
    soleWriter = write && info->writers == 0;
    if (write) {
      ++info->writers;
    } else {
      ++info->readers;
    }
    handle.isWrite = write;
    handle.info = info;
  }

  // What an open does under the item lock: the new version, the record's
  // first load and the version the handle is bound to.
  auto bindVersion = [&](OpenFileInfo& info, bool makeVersion, guid_t& version) -> CZnError {
    info.lock.assertHeld();
    if (makeVersion) {
      if (CZnError err = newVersionOnOpen(objGuid, version); !err.ok()) return err;
    }
    // The record's size, extent size and empty range come from the header
    // once, then stay authoritative while the file is open. A valid header
    // never has extent size 0, so 0 means "not loaded yet": that also covers
    // an opener that arrives while the first one is still loading, or after
    // the first one failed.
    if (info.extentSize == 0) {
      if (version.empty()) {
        if (CZnError err = getLatestVersion(objGuid, version); !err.ok()) {
          err.Push(FX_LOC, "Error: Can't get latest version for [%s]", objGuid.c_str());
          return err;
        }
      }
      CXFileHeader header;
      FileHeaderData data;
      CZnError err = readFileHeader(header, data, objGuid, version, DO_RESTORE);
      // A full cache may keep a restored header from being stored; what was
      // restored is still good for this open.
      if (!err.ok() && (err.errNo() != ENOSPC || data.extentSize == 0)) {
        err.Push(FX_LOC, "Error: Can't read file header for [%s]", objGuid.c_str());
        return err;
      }
      info.size = header.size;
      info.sizeChanged = false;
      info.extentSize = data.extentSize;
      info.emptyRange = data.emptyRange;
      if (info.emptyRange.isValid())
        OSLOG(5, "Read emptyRange [%lu %lu] from FileHeaderData",
              static_cast<unsigned long>(info.emptyRange.start),
              static_cast<unsigned long>(info.emptyRange.end));
    }
    if (version.empty()) {
      if (CZnError err = getLatestVersion(objGuid, version); !err.ok()) {
        err.Push(FX_LOC, "Can't get latest version for [%s]", objGuid.c_str());
        return err;
      }
    }
    return CZnError::Success;
  };

  // Steps under the item lock; a failure is handed back out of the lock
  // first, because taking the count back needs the table lock.
  guid_t version;
  CZnError err;
  {
    // The sole writer may drop extents past the size, which other handles'
    // reads (and writes that opened meanwhile) must not be inside.
    std::unique_lock<HxRW> cutLock(info->cutLock, std::defer_lock);
    if (soleWriter) cutLock.lock();
    HxCriticalSectionGuard itemLock(info->lock);
    if (decidesFilter) info->filtered = filtered;
    err = bindVersion(*info, newVersion && write, version);
    if (err.ok()) {
      item.verGuid = version;
      handle.name = item;
      if (soleWriter && !info->pastEndCleared) {
        // Not fatal: the file is sound without it, only a growth over the
        // left bytes would show them.
        CZnError cut = cutExtentsPast(handle, info->size, true);
        if (cut.ok()) {
          info->pastEndCleared = true;
        } else {
          cut.Push(FX_LOC, "Can't drop what lies past the end of [%s]", objGuid.c_str());
          OSLOG_ERR(cut);
        }
      }
      OSLOG(5, "[%s] opened [%s] version [%s] size=[%lu] filtered=%d", rootName_.c_str(),
            objGuid.c_str(), version.c_str(), static_cast<unsigned long>(info->size),
            info->filtered ? 1 : 0);
    }
  }
  if (err.ok()) return CZnError::Success;

  {
    HxCriticalSectionGuard table(openFilesLock_);
    (void)uncountHandle(openFiles_, objGuid, handle);  // listed: counted above
  }
  // A failed open leaves no handle behind, even when other users keep the
  // record alive.
  handle.info = nullptr;
  OSLOG_ERR(err);
  OSLOG(-1, "[%s] Error: Can't open [%s] [%s]", rootName_.c_str(), objGuid.c_str(),
        item.path.c_str());
  return err;
}

CZnError ObjectStore::openInternal(FileHandle& handle) {
  HxCriticalSectionGuard table(openFilesLock_);
  // A handle whose record went with another handle's last close still
  // points at it; only the listed record counts as open.
  auto it = handle.info == nullptr ? openFiles_.end() : openFiles_.find(handle.name.objGuid);
  if (it == openFiles_.end() || it->second != handle.info) {
    OSLOG(5, "File already closed [%s]", handle.name.objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "File already closed");
  }
  if (handle.isWrite) {
    ++handle.info->writers;
  } else {
    ++handle.info->readers;
  }
  return CZnError::Success;
}

CZnError ObjectStore::close(FileHandle& handle, IsInternal internal) {
  OSLOG(3, "[%s] close file isInt=%d [%s] [%s]", rootName_.c_str(), static_cast<int>(internal),
        handle.name.objGuid.c_str(), handle.name.path.c_str());
  TimeFunction timer("close", PERF_CLOSE);
  const guid_t objGuid = handle.name.objGuid;
  auto notOpen = [&] {
    OSLOG(-1, "Error: [%s] File is not open: [%s]", rootName_.c_str(), objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] File is not open: [%s]", rootName_.c_str(),
                                   objGuid.c_str());
  };
  {
    // A handle closed before (or never opened) must not reach a record.
    HxCriticalSectionGuard table(openFilesLock_);
    auto it = handle.info == nullptr ? openFiles_.end() : openFiles_.find(objGuid);
    if (it == openFiles_.end() || it->second != handle.info) return notOpen();
  }
  {
    // The handle's own count keeps the record alive here.
    OpenFileInfo* info = handle.info;
    HxCriticalSectionGuard itemLock(info->lock);
    OSLOG(5, "Closing file with length=[%lu]", static_cast<unsigned long>(info->size));
    if (info->sizeChanged) {
      if (CZnError err = updateFileSize(handle); !err.ok()) {
        err.Push(FX_LOC, "Can't update file size [%s]", objGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
    }
    if (internal == CLIENT_CLOSE) {
      // Called with the item lock held, so it does not take it again.
      if (CZnError err = clearAllLocksWithFh(handle); !err.ok()) {
        err.Push(FX_LOC, "Can't clear locks [%s]", objGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
    }
  }
  HxCriticalSectionGuard table(openFilesLock_);
  if (!uncountHandle(openFiles_, objGuid, handle)) return notOpen();
  return CZnError::Success;
}

int32_t ObjectStore::openWriters(const OpenFileInfo& info) {
  HxCriticalSectionGuard table(openFilesLock_);
  return info.writers;
}

OpenFileInfo* ObjectStore::findOpenFile(const guid_t& objGuid) {
  HxCriticalSectionGuard table(openFilesLock_);
  auto it = openFiles_.find(objGuid);
  return it == openFiles_.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------------------
// Open extents

void ObjectStore::openExtent(ExtentHandle& handle, const std::string& name) {
  HxCriticalSectionGuard table(openExtentsLock_);
  OpenExtentInfo*& info = openExtents_[name];
  if (info != nullptr) {
    ++info->refCount;
  } else {
    info = new OpenExtentInfo();  // refCount starts at 1
  }
  handle.name = name;
  handle.info = info;
}

void ObjectStore::closeExtent(ExtentHandle& handle) {
  if (handle.info == nullptr) {
    OSLOG(-1, "double close for [%s]", handle.name.c_str());
    return;
  }
  HxCriticalSectionGuard table(openExtentsLock_);
  OpenExtentInfo* info = handle.info;
  handle.info = nullptr;
  if (--info->refCount > 0) return;
  auto it = openExtents_.find(handle.name);
  if (it == openExtents_.end() || it->second != info) {
    OSLOG(-1, "Error: Can't find openExtentInfo for [%s]", handle.name.c_str());
  } else {
    openExtents_.erase(it);
  }
  delete info;
}

// ---------------------------------------------------------------------------
// New versions and segment copies

CZnError ObjectStore::newVersionOnOpen(const guid_t& objGuid, guid_t& verGuid) {
  index_iface_props props;
  CZnError err = propsFromGuid(objGuid, props, DO_RESTORE);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't read props for [%s] [%s]", rootName_.c_str(), objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  const unsigned int interval = versionInterval_.load();
  if (interval != 0) {
    if (clockNowSec() < props.mtime + static_cast<int64_t>(interval)) {
      OSLOG(5, "It has not been [%u] secs yet. new version will not be created.", interval);
      return CZnError::Success;
    }
    OSLOG(5, "Enough time passed since last version. new version will be attempted.");
  } else {
    OSLOG(5, "gVersionInterval is 0. New version will be attempted.");
  }

  const guid_t oldVersion = props.verGuid;
  const guid_t newVersion = generateGuid();
  OSLOG(5, "Copying segment [%s] from [%s] to [%s]", objGuid.c_str(), oldVersion.c_str(),
        newVersion.c_str());
  if (err = copySegment(oldVersion, newVersion, props, false); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't copy old to new version from [%s] to [%s]", oldVersion.c_str(),
             newVersion.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (err = versionCache_.insert(objGuid, newVersion, false); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't insert into version cache");
    OSLOG_ERR(err);
    return err;
  }
  verGuid = newVersion;
  return CZnError::Success;
}

CZnError ObjectStore::copySegment(const guid_t& from, const guid_t& to, index_iface_props& props,
                                  bool noIndex) {
  OSLOG(4, "Copying segment from [%s] to [%s] obj=[%s] path=[%s]", from.c_str(), to.c_str(),
        props.objGuid.c_str(), props.path.c_str());
  std::vector<SectionV> sections;
  bool mustRestore = true;
  if (diskCache_->doesSegmentExist(context_, from)) {
    CZnError readErr = readAllSectionsFromDiskCache(from, sections);
    if (readFailedAndSegmentKept(readErr)) {
      readErr.Push(FX_LOC, "Error: Can't read [%s] to copy it", from.c_str());
      return readErr;
    }
    if (!readErr.ok()) {
      OSLOG(-1, "Error: Can't read sections when copying from [%s]", from.c_str());
    } else if (!isWellFormedForCopy(sections)) {
      OSLOG(-1, "Error: Bad header in [%s]", from.c_str());
      // A restore leaves a segment that is already there alone: the damaged
      // one has to go first (kept aside when asked) for the copy to start
      // from restored bytes rather than fail on the same damage again.
      dropDamagedSegment(from);
    } else {
      mustRestore = false;
    }
  }

  if (mustRestore) {
    if (isExtent(from)) {
      // The extent belongs to the file named by the extent GUID; the segment
      // name starts with the GUID of the version that wrote it instead.
      ItemName owner(extentToParent(props.objGuid), false);
      // A caller that already holds the file's item lock (truncate does)
      // keeps the record alive and locked: the restore borrows it, since
      // opening would take the lock a second time.
      OpenFileInfo* held = nullptr;
      {
        HxCriticalSectionGuard table(openFilesLock_);
        auto it = openFiles_.find(owner.objGuid);
        if (it != openFiles_.end() && it->second->lock.isHeldByCurrentThread()) held = it->second;
      }
      AutoFileOpener opener(*this, owner);
      FileHandle borrowed;
      FileHandle* file = &borrowed;
      CZnError err;
      if (held != nullptr) {
        borrowed.name = owner;
        borrowed.info = held;
      } else if (err = opener.open(LOCK_ITEM, O_RDONLY); !err.ok()) {
        err.Push(FX_LOC, "Can't open [%s]", owner.objGuid.c_str());
        OSLOG_ERR(err);
        return err;
      } else {
        file = &opener.get();
      }
      if (err = restoreExtent(*file, props.objGuid, nullptr); !err.ok()) {
        err.Push(FX_LOC, "Error: Can't restore extent: [%s]", from.c_str());
        OSLOG_ERR(err);
        return err;
      }
    } else {
      RestoredHeaderData carrier;
      if (CZnError err = restoreFileHeader(props.objGuid, from, carrier); !err.ok()) {
        err.Push(FX_LOC, "Error: Can't restore file header: [%s]", from.c_str());
        OSLOG_ERR(err);
        return err;
      }
    }
    sections.clear();
    if (CZnError err = readAllSectionsFromDiskCache(from, sections); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't read restored segment: [%s]", from.c_str());
      OSLOG_ERR(err);
      return err;
    }
    if (!isWellFormedForCopy(sections)) {
      OSLOG(-1, "Error: Bad header in [%s]", from.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EBADMSG, "Bad header in [%s]", from.c_str());
    }
  }

  // The copy is a version of its own: its name, times and version time are
  // renewed; every other byte is carried over.
  CXFileHeader header;
  std::memcpy(&header, sections[1].data.data(), sizeof(header));
  header.setName(props.objGuid + "," + to);
  if (props.mtime >= 0) header.mtime = static_cast<uint64_t>(props.mtime);
  if (props.ctime >= 0) header.ctime = static_cast<uint64_t>(props.ctime);
  std::memcpy(sections[1].data.data(), &header, sizeof(header));
  FileHeaderData data;
  std::memcpy(&data, sections[0].data.data(), sizeof(data));
  data.versionTimeNs = static_cast<uint64_t>(getTimeInNs(0));
  std::memcpy(sections[0].data.data(), &data, sizeof(data));

  std::vector<Section> writes;
  writes.reserve(sections.size());
  for (auto& section : sections) {
    Section write = makeWriteSection(section.number, 0, section.data.data(), section.data.size());
    write.word = section.word;
    writes.push_back(write);
  }
  CZnError err = diskCache_->createSegment(context_, to, writes, false, noIndex, false);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't create segment for [%s]", to.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }

  if (!noIndex) {
    index_iface_props copy = props;
    copy.verGuid = to;
    copy.vtime = static_cast<int64_t>(data.versionTimeNs);
    if (err = addToIndex(copy); !err.ok()) {
      // No index record and no cache entry names the copy: it would only
      // take space until pruned, and a retry makes a copy of its own.
      (void)diskCache_->deleteSegment(context_, to, false, false, 0);
      err.Push(FX_LOC, "Error: Can't add segment to index for [%s]", to.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  OSLOG(3, "Copied item [%s] to [%s]", from.c_str(), to.c_str());
  return CZnError::Success;
}

}  // namespace ObjectStore
