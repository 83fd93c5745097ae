// New items and their segments, header updates, current versions, deletes,
// and the pruning decision for one segment.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/Guid.h"

namespace ObjectStore {


// ---------------------------------------------------------------------------
// New items

CZnError ObjectStore::createNewItem(ItemName& item, const std::string& path,
                                    const FileAttribs& attribs, const guid_t& parentGuid,
                                    FileType type, const guid_t& linkTarget, bool isNonPrunable) {
  OSLOG(5, "[%s] creating new item: [%s] parent=%s", rootName_.c_str(), path.c_str(),
        parentGuid.c_str());
  uint32_t typeBits = 0;
  uint32_t itemFlag = 0;
  switch (type) {
    case FILE_TYPE_REGULAR:
      typeBits = S_IFREG;
      itemFlag = 1;
      break;
    case FILE_TYPE_DIRECTORY:
      typeBits = S_IFDIR;
      break;
    case FILE_TYPE_SYMLINK:
      typeBits = S_IFLNK;
      break;
    default:
      OSLOG(-1, "[%s] Error: Invalid filetype %d", rootName_.c_str(), static_cast<int>(type));
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid filetype %d",
                                     static_cast<int>(type));
  }

  index_iface_props props;
  props.objGuid = generateGuid();
  props.verGuid = type == FILE_TYPE_DIRECTORY ? fullDirGuid(props.objGuid) : generateGuid();
  props.path = path;
  props.parentGuid = parentGuid;
  props.modeValid = true;
  props.mode = static_cast<int>(attribs.mode | typeBits);
  props.uidValid = true;
  props.uid = static_cast<int>(attribs.uid);
  props.gidValid = true;
  props.gid = static_cast<int>(attribs.gid);
  props.size = static_cast<int64_t>(linkTarget.size());
  const int64_t nowNs = clockNowNs();
  props.atime = props.ctime = props.mtime = nowNs / NS_PER_SEC;
  props.extentSize = static_cast<int64_t>(config_.extentSize);
  if (!linkTarget.empty()) props.linkTarget = linkTarget;
  props.vtime = nowNs;
  props.itemFlag = itemFlag;

  if (CZnError err = createNewItem(props, isNonPrunable); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't create segment for [%s]", rootName_.c_str(),
             path.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  item.objGuid = props.objGuid;
  item.verGuid = props.verGuid;
  OSLOG(3, "[%s] Created item [%s] obj=[%s] ver=[%s] extSize [%lu]", rootName_.c_str(),
        path.c_str(), item.objGuid.c_str(), item.verGuid.c_str(),
        static_cast<unsigned long>(props.extentSize));
  return CZnError::Success;
}

CZnError ObjectStore::createNewItem(index_iface_props& props, bool isNonPrunable) {
  OSLOG(5, "[%s] creating new item: obj=[%s] ver=[%s] isNonPrunable=%d", rootName_.c_str(),
        props.objGuid.c_str(), props.verGuid.c_str(), isNonPrunable ? 1 : 0);
  if (props.extentSize == 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "0 extentSize for [%s]", props.objGuid.c_str());

  if (CZnError err = createSegment(props, isNonPrunable); !err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't create segment for [%s] [%s]", rootName_.c_str(),
             props.objGuid.c_str(), props.verGuid.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  // Whatever fails from here leaves no segment behind; the delete's own
  // failure is of no further use to the caller.
  auto dropSegment = [&] {
    (void)diskCache_->deleteSegment(context_, props.verGuid, false, false, 0);
  };
  if (static_cast<unsigned>(props.mode) & S_IFDIR) {
    // A new directory's entry list is complete: it is empty.
    if (CZnError err = updateHasData(props.verGuid, 1); !err.ok()) {
      OSLOG(-1, "Error: Can't update hasData for [%s]", props.verGuid.c_str());
      dropSegment();
      return err;
    }
  }
  if (CZnError err = addToCacheAndIndex(props, isNonPrunable); !err.ok()) {
    OSLOG(-1, "Error: [%s] Can't add segment to index for [%s] [%s]", rootName_.c_str(),
          props.objGuid.c_str(), props.verGuid.c_str());
    dropSegment();
    return err;
  }
  OSLOG(5, "[%s] created new item: obj=[%s] ver=[%s] extentsize=[%lu]", rootName_.c_str(),
        props.objGuid.c_str(), props.verGuid.c_str(),
        static_cast<unsigned long>(props.extentSize));
  return CZnError::Success;
}

CZnError ObjectStore::createSegment(index_iface_props& props, bool isNonPrunable) {
  OSLOG(5, "[%s] creating new segment: obj=[%s] ver=[%s]", rootName_.c_str(),
        props.objGuid.c_str(), props.verGuid.c_str());
  if (props.extentSize == 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL);

  FileHeaderData data;
  OSLOG(5, "Resetting emptyRange");
  data.emptyRange.reset();
  CXFileHeader header;
  if (CZnError err = cxFromProps(header, data, props); !err.ok()) {
    err.Push(FX_LOC, "Can't fill the header records of [%s]", props.verGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }

  std::vector<unsigned char> xattrs;
  const std::string* encoded = &props.xattrs;
  if (encoded->empty()) {
    auto it = props.customProps.find(XATTR_CUSTOM_PROP);
    if (it != props.customProps.end()) encoded = &it->second;
  }
  if (!encoded->empty() && !decodeXattr(xattrs, *encoded)) {
    // What could be decoded is kept; the rest of the attributes is lost.
    OSLOG(-1, "Error: Can't decode xattr for [%s]", props.objGuid.c_str());
  }

  if (CZnError err = createSegment(props.verGuid, data, header, xattrs, isNonPrunable);
      !err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't create segment for [%s] [%s]", rootName_.c_str(),
             props.objGuid.c_str(), props.verGuid.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  OSLOG(5, "[%s] created new segment: obj=[%s] ver=[%s]", rootName_.c_str(),
        props.objGuid.c_str(), props.verGuid.c_str());
  return CZnError::Success;
}

CZnError ObjectStore::createSegment(const guid_t& segment, const FileHeaderData& data,
                                    const CXFileHeader& header,
                                    const std::vector<unsigned char>& xattrs, bool isNonPrunable) {
  const bool extent = isExtent(segment);
  // The caches are only a shortcut: an insert that fails leaves a later
  // read to go to the disk.
  (void)attrCache_.insert(segment, AttribData(data, header), true, 1);
  // Extents carry no attributes; caching an empty map for each would only
  // push out the entries of items.
  if (!extent) {
    XattrMap map;
    if (CZnError err = deserializeXattrs(map, xattrs); !err.ok()) {
      OSLOG(-1, "Error: Can't deserialize xattr data [%s]", segment.c_str());
    } else {
      (void)xattrCache_.insert(segment, std::move(map), true, 1);
    }
  }

  std::vector<Section> sections = {
      makeWriteSection(SECTION_HEADER, 0, &data, HEADER_SECTION_SIZE),
      makeWriteSection(SECTION_ATTRIBUTE, 0, &header, ATTRIBUTE_SECTION_SIZE)};
  std::vector<unsigned char> xattrSection;
  if (!extent) {
    const size_t sectionSize = static_cast<size_t>(std::max(config_.maxXattrSize, 0));
    xattrSection.assign(sectionSize, 0);
    if (xattrs.size() > sectionSize) {
      OSLOG(-1, "Error: xattr data for [%s] too big (%lu)", segment.c_str(),
            static_cast<unsigned long>(xattrs.size()));
    } else {
      std::copy(xattrs.begin(), xattrs.end(), xattrSection.begin());
    }
    sections.push_back(
        makeWriteSection(SECTION_XATTR, 0, xattrSection.data(), xattrSection.size()));
  }

  CZnError err =
      diskCache_->createSegment(context_, segment, sections, false, isNonPrunable, false);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't create segment for [%s]", segment.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  OSLOG(3, "Created segment [%s]", segment.c_str());
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Header updates

CZnError ObjectStore::writeHeaderSections(const guid_t& segment,
                                          const std::vector<Section>& writes) {
  CZnError err = diskCache_->writeSections(context_, segment, writes, false, 0);
  // A pruned item is still written to (its records stay cached): bring its
  // segment back from the index and write again.
  if (err.errNo() == ENOENT && restoreMissingVersionSegment(segment).ok())
    err = diskCache_->writeSections(context_, segment, writes, false, 0);
  if (err.ok()) return err;
  OSLOG(-1, "Error: Can't write sections for [%s]", segment.c_str());
  // A segment whose header could not be written is dropped, so that the
  // next read finds it missing and restores it instead of trusting it.
  if (err.errNo() != ENOENT)
    (void)diskCache_->deleteSegment(context_, segment, false, false, saveCorruptSegments_ ? 1 : 0);
  err.Push(FX_LOC, "Error: Can't write sections for [%s]", segment.c_str());
  return err;
}

CZnError ObjectStore::setHeaderParent(const guid_t& segment, const guid_t& parentGuid) {
  char parent[sizeof(FileHeaderData::parentGuid)] = {};
  std::memcpy(parent, parentGuid.data(), std::min(parentGuid.size(), sizeof(parent)));
  const std::vector<Section> writes = {makeWriteSection(
      SECTION_HEADER, offsetof(FileHeaderData, parentGuid), parent, sizeof(parent))};
  CZnError err = diskCache_->writeSections(context_, segment, writes, false, 0);
  (void)attrCache_.erase(segment);  // read again from the disk
  return err;
}

CZnError ObjectStore::updateFileHeader(const guid_t& segment, uint64_t size, time_t mtime,
                                       time_t ctime, const guid_t& parentGuid, Range emptyRange) {
  const uint64_t mtimeValue = static_cast<uint64_t>(mtime);
  const uint64_t ctimeValue = static_cast<uint64_t>(ctime);
  const size_t parentBytes = std::min(parentGuid.size(), GUID_CHAR_SIZE);
  {
    // Read and put back under the cache's lock, so that a concurrent update
    // of another field of the same entry is not lost.
    LruCache<std::string, AttribData>::LockGuard guard(attrCache_);
    if (AttribData* cached = attrCache_.getVal(segment)) {
      cached->size = size;
      if (mtime != 0) cached->mtime = mtimeValue;
      if (ctime != 0) cached->ctime = ctimeValue;
      if (parentBytes != 0) std::memcpy(cached->parentGuid, parentGuid.data(), parentBytes);
      cached->emptyRange = emptyRange;
    }
  }

  std::vector<Section> writes;
  if (parentBytes != 0)
    writes.push_back(makeWriteSection(SECTION_HEADER, offsetof(FileHeaderData, parentGuid),
                                      parentGuid.data(), parentBytes));
  if (mtime != 0)
    writes.push_back(makeWriteSection(SECTION_ATTRIBUTE, offsetof(CXFileHeader, mtime), &mtimeValue,
                                      sizeof(mtimeValue)));
  if (ctime != 0)
    writes.push_back(makeWriteSection(SECTION_ATTRIBUTE, offsetof(CXFileHeader, ctime), &ctimeValue,
                                      sizeof(ctimeValue)));
  OSLOG(5, "Writing emptyRange [%lu %lu] to FileHeaderData",
        static_cast<unsigned long>(emptyRange.start), static_cast<unsigned long>(emptyRange.end));
  writes.push_back(makeWriteSection(SECTION_HEADER, offsetof(FileHeaderData, emptyRange),
                                    &emptyRange, sizeof(emptyRange)));
  writes.push_back(
      makeWriteSection(SECTION_ATTRIBUTE, offsetof(CXFileHeader, size), &size, sizeof(size)));
  return writeHeaderSections(segment, writes);
}

CZnError ObjectStore::updateHasData(const guid_t& segment, uint16_t hasData) {
  {
    LruCache<std::string, AttribData>::LockGuard guard(attrCache_);
    if (AttribData* cached = attrCache_.getVal(segment)) cached->hasData = hasData;
  }
  std::vector<Section> writes = {makeWriteSection(
      SECTION_HEADER, offsetof(FileHeaderData, hasData), &hasData, sizeof(hasData))};
  return writeHeaderSections(segment, writes);
}

// ---------------------------------------------------------------------------
// Versions

CZnError ObjectStore::getLatestVersion(const guid_t& objGuid, guid_t& verGuid) {
  const bool hit = versionCache_.findData(objGuid, verGuid).ok();
  OSLOG(5, "getLatestVersion err [%d]", hit ? 0 : 1);
  if (hit) return CZnError::Success;

  index_iface_props props;
  CZnError err = findObjGuidFromIndex(objGuid, props);
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't find latest verison of [%s]", rootName_.c_str(),
             objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (err = versionCache_.insert(objGuid, props.verGuid, false); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't insert [%s] [%s] into version cache", rootName_.c_str(),
             objGuid.c_str(), props.verGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  verGuid = props.verGuid;
  OSLOG(5, "[%s] found latest version [%s] -> [%s]", rootName_.c_str(), objGuid.c_str(),
        verGuid.c_str());
  return CZnError::Success;
}

CZnError ObjectStore::readLatestFileHeader(ItemName& item, CXFileHeader& header,
                                           FileHeaderData& data, index_iface_props& props) {
  const guid_t objGuid = item.getObjGuid(*this);
  if (objGuid.empty()) {
    OSLOG(5, "[%s] Error: Can't get object guid for [%s]", rootName_.c_str(), item.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Can't get object guid for [%s]",
                                   item.path.c_str());
  }
  CZnError err = propsFromItem(item, props);
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't find props of [%s]", rootName_.c_str(), objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  item.verGuid = props.verGuid;
  if (err = readFileHeader(header, data, objGuid, item.verGuid, DO_RESTORE); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't read file header for [%s]", rootName_.c_str(),
             objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

CZnError ObjectStore::deleteSegment(index_iface_props& props, bool localOnly) {
  OSLOG(5, "deleting [%s] [%s]", props.objGuid.c_str(), props.verGuid.c_str());
  if (!localOnly) {
    CZnError err = index_delete_wrapper(props);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: Can't delete [%s]", props.objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  } else {
    // Local deletes are best effort: a segment that is already gone is what
    // was asked for, and deleted_segments only hides index records that a
    // view which discards writes would otherwise bring back.
    (void)diskCache_->deleteSegment(context_, props.verGuid, true, false, 0);
    (void)deletedSegments_.insert(props.objGuid, props.verGuid);
  }
  (void)versionCache_.deleteGuid(props.objGuid);  // only ever succeeds
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Pruning

namespace {

// Whether a segment still waits for its backup: the running queue knows;
// without one the share's journal does (a journal that can't be read keeps
// everything).
bool waitsForBackup(BackupQueue* queue, const std::string& journalDir, const guid_t& segment) {
  if (queue != nullptr) return queue->isInQueue(segment);
  std::set<guid_t> pending;
  if (BackupQueue::readPendingFromJournal(journalDir, pending).failed()) return true;
  return pending.count(segment) != 0;
}

}  // namespace

bool ObjectStore::pruneFile(const std::string& path, const guid_t& segment) {
  OSLOG(5, "pruning [%s] [%s] [%s]", path.c_str(), segment.c_str(), rootName_.c_str());
  guid_t objGuid;
  if (!versionCache_.findGuid(objGuid, segment).ok()) {
    OSLOG(5, "parsing [%s] for objguid", segment.c_str());
    CXFileHeader header;
    std::vector<Section> sections(1);
    sections[0].number = SECTION_ATTRIBUTE;
    sections[0].buffer = &header;
    sections[0].bufferLength = ATTRIBUTE_SECTION_SIZE;
    CZnError err = readSectionsFromDiskCache(segment, sections, false);
    if (readFailedAndSegmentKept(err)) return false;  // not damaged: a later pass tries again
    if (!err.ok()) {
      OSLOG(-1, "Error: Can't read [%s]", segment.c_str());
      // A segment this store can't see (a view does not look into the
      // share's own area) is not damaged: when it still waits for its
      // backup it must stay, whoever asks.
      if (err.errNo() == ENOENT &&
          waitsForBackup(backupQueue_.get(),
                         BackupQueue::journalDirOf(container_.objstrDir(), subclientText_),
                         segment)) {
        OSLOG(5, "extent in use");
        return false;
      }
      // Already dropped as damaged by the read; asking again changes nothing.
      (void)diskCache_->deleteSegment(context_, segment, false, false,
                                      saveCorruptSegments_ ? 1 : 0);
      return true;
    }
    const std::string name(header.name, strnlen(header.name, sizeof(header.name)));
    const size_t comma = name.find(',');
    if (comma == std::string::npos) {
      OSLOG(-1, "Error: can't parse fname of [%s] ([%s])", segment.c_str(), name.c_str());
      return false;
    }
    objGuid = name.substr(0, comma);
  }
  OSLOG(5, "checking objguid [%s]", objGuid.c_str());
  if (!isExtent(objGuid)) {
    // The segments of an open file are in use (its header is rewritten on
    // close). Extents are guarded by the open-extent table instead.
    HxCriticalSectionGuard files(openFilesLock_);
    if (openFiles_.count(objGuid) != 0) {
      OSLOG(5, "not pruning open file");
      return false;
    }
  }
  if (!pruneIfNotInUse(segment)) {
    OSLOG(5, "extent in use");
    return false;
  }
  OSLOG(5, "pruned [%s]", segment.c_str());
  eventLog("[%s] pruned [%s]", rootName_.c_str(), segment.c_str());
  return true;
}

bool ObjectStore::pruneIfNotInUse(const guid_t& segment) {
  // A store without a queue (a read-only live store, a view) does not know
  // from memory what still waits for backup, yet the share's segments may
  // hold writes of an earlier writable run that were never committed: the
  // local copy is then the only one. The share's journal names them; it only
  // changes while a queue runs, so it is read before any lock is taken. A
  // journal that can't be read keeps everything.
  std::set<guid_t> pending;
  if (!backupQueue_) {
    const std::string journalDir =
        BackupQueue::journalDirOf(container_.objstrDir(), subclientText_);
    if (BackupQueue::readPendingFromJournal(journalDir, pending).failed()) return false;
  }
  HxCriticalSectionGuard extents(openExtentsLock_);
  if (openExtents_.count(segment) != 0) return false;
  // The open-extent table stays locked while the segment is deleted, so
  // that no writer can open it in between.
  if (backupQueue_) return backupQueue_->pruneIfNotInQueue(segment);
  if (pending.count(segment) != 0) {
    OSLOG(5, "[%s] waits for backup in the journal", segment.c_str());
    return false;
  }
  (void)diskCache_->deleteSegment(context_, segment, false, false, 0);  // gone either way
  return true;
}

}  // namespace ObjectStore
