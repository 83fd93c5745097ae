// Restore: rebuilding segments that are not in the local cache from the index
// and the backup.
//
//   restoreSegment     the data of one segment (an extent) from its afile
//                      location, delivered to a waiting reader from memory
//   restoreExtent      the same for one extent of an open file, its location
//                      taken from the file's extent map
//   restoreFileHeader  a file's or link's version segment from its index
//                      record alone; directories go to restoreDirEnt
//   restoreDirEnt      a directory's entry list from the index's children
//
// A restore never hands out bytes the restore library did not verify, and it
// never leaves a segment behind that would later read as something it is not
// (a data segment without its data, a directory marked complete with part of
// its children): such a leftover is removed again, so the next access
// restores once more.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "ObjectStore/ChildBrowser.h"
#include "ObjectStore/EntryList.h"
#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// The largest segment one restore moves through memory.
constexpr uint64_t MAX_RESTORE_SIZE = 0x40000000;  // 1 GiB
// AfileInfo's second word: the record kind the restore library reads.
constexpr uint32_t AFILE_RECORD_KIND = 2;

uint64_t modeType(int mode) { return static_cast<uint64_t>(static_cast<unsigned>(mode)) & S_IFMT; }

// An absent location reads as all ones; nothing negative names an afile.
bool locationKnown(const index_iface_props& props) {
  return props.afileId >= 0 && props.afileOffset >= 0;
}

// The name an index child record carries, or the last component of its path.
std::string childName(const index_iface_props& child) {
  if (!child.name.empty()) return child.name;
  const size_t slash = child.path.find_last_of(OBJSTR_DELIMITER);
  return slash == std::string::npos ? child.path : child.path.substr(slash + 1);
}

// The path of child `name` of the directory at dirPath; the root's children
// get one separator, not two.
std::string childPath(const std::string& dirPath, const std::string& name) {
  std::string path = dirPath;
  if (path.empty() || path.back() != OBJSTR_DELIMITER) path.push_back(OBJSTR_DELIMITER);
  return path + name;
}

// A child the entry-list format can hold: a record is GUID, NUL, name, NUL.
bool isListable(const guid_t& guid, const std::string& name) {
  return !guid.empty() && guid.find('\0') == std::string::npos && !name.empty() &&
         name.find('\0') == std::string::npos && name.find(OBJSTR_DELIMITER) == std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Segments and extents

CZnError ObjectStore::restoreSegment(index_iface_props& props, RestoreData* data) {
  const guid_t& objGuid = props.objGuid;
  const guid_t& verGuid = props.verGuid;
  OSLOG(4, "restoring segment [%s] [%s]", objGuid.c_str(), verGuid.c_str());
  OSLOG(5, "[%s] afile id / offset [ %llu / %llu]", verGuid.c_str(),
        static_cast<unsigned long long>(props.afileId),
        static_cast<unsigned long long>(props.afileOffset));
  if (!locationKnown(props)) {
    OSLOG(-1, "Error: invalid afile_id or afile_offset [%s] %lld %lld", objGuid.c_str(),
          static_cast<long long>(props.afileId), static_cast<long long>(props.afileOffset));
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "invalid afile_id or afile_offset [%s]",
                                   objGuid.c_str());
  }
  AfileInfo afile;
  afile.afileId = static_cast<uint64_t>(props.afileId);
  afile.afileOffset = static_cast<uint64_t>(props.afileOffset);
  afile.reserved1 = 0;
  afile.reserved2 = AFILE_RECORD_KIND;

  // Checked before anything is allocated: an absent extent size reads as
  // all ones and must not turn into an allocation of that size.
  uint64_t size = static_cast<uint64_t>(props.extentSize);
  if (size == 0 || size > MAX_RESTORE_SIZE) {
    OSLOG(-1, "Error: invalid extent_size [%s] [%lu]", objGuid.c_str(),
          static_cast<unsigned long>(size));
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "invalid extent_size [%s] [%lu]",
                                   objGuid.c_str(), static_cast<unsigned long>(size));
  }
  // Not value-initialised: the restore fills what it delivers, and only
  // that is ever read.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
  if (!buffer) {
    OSLOG(-1, "Error: can't allocate memory [%lu]", static_cast<unsigned long>(size));
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "can't allocate memory [%lu]",
                                   static_cast<unsigned long>(size));
  }

  std::shared_ptr<RestoreInterface> restore = restoreInterface();
  if (!restore || !restore->Restore(afile, props.path, &size, buffer.get(), std::string())) {
    OSLOG(-1, "Error: can't restore [%s] [%s]", objGuid.c_str(), verGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "can't restore [%s] [%s]", objGuid.c_str(),
                                   verGuid.c_str());
  }
  OSLOG(4, "Restored [%lu] bytes to [%s]", static_cast<unsigned long>(size), objGuid.c_str());

  if (data != nullptr) {
    const uint64_t available = data->offset < size ? size - data->offset : 0;
    const uint64_t n = std::min<uint64_t>(available, data->length);
    if (n > 0) std::memcpy(data->buffer, buffer.get() + data->offset, n);
    data->length = static_cast<uint32_t>(n);
  }

  CZnError err = createSegment(props, false);
  if (err.errNo() == EEXIST) {
    // Another reader restored it meanwhile; its copy holds the same bytes.
    OSLOG(4, "[%s] already restored", verGuid.c_str());
    return CZnError::Success;
  }
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't create segment for [%s] [%s]", objGuid.c_str(), verGuid.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  const std::vector<Section> writes = {makeWriteSection(SECTION_DATA, 0, buffer.get(), size)};
  if (err = diskCache_->writeSections(context_, verGuid, writes, false, 2); !err.ok()) {
    // A segment without its data would later read as zeros: it goes again,
    // so that the next read restores once more.
    (void)diskCache_->deleteSegment(context_, verGuid, false, false, 0);
    (void)attrCache_.erase(verGuid);
    err.Push(FX_LOC, "Error: Can't write data for [%s] [%lu]", verGuid.c_str(),
             static_cast<unsigned long>(size));
    OSLOG_ERR(err);
    return err;
  }
  OSLOG(4, "restored segment [%s] [%s]", objGuid.c_str(), verGuid.c_str());
  return CZnError::Success;
}

CZnError ObjectStore::restoreSegment(const guid_t& objGuid, const guid_t& verGuid) {
  OSLOG(4, "restoring segment [%s] [%s]", objGuid.c_str(), verGuid.c_str());
  index_iface_props props;
  if (CZnError err = findObjGuidFromIndex(objGuid, props); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't find [%s] in index", objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (props.verGuid != verGuid) {
    OSLOG(-1, "Error: version mismatch: [%s] [%s]", verGuid.c_str(), props.verGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "version mismatch: [%s] [%s]", verGuid.c_str(),
                                   props.verGuid.c_str());
  }
  return restoreSegment(props, nullptr);
}

CZnError ObjectStore::restoreExtent(FileHandle& handle, const guid_t& extentGuid,
                                    const RestoreData* data) {
  OSLOG(4, "restoring extent [%s]", extentGuid.c_str());
  eventLog("[%s] restoring extent [%s]", rootName_.c_str(), extentGuid.c_str());
  if (handle.info == nullptr || !handle.info->lock.isHeldByCurrentThread()) {
    OSLOG(-1, "Error: restoreExtent requires file lock");
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "restoreExtent requires file lock [%s]",
                                   extentGuid.c_str());
  }
  OpenFileInfo& info = *handle.info;

  auto it = info.extents.find(extentGuid);
  if (it == info.extents.end()) OSLOG(5, "Can't find [%s] in extent map", extentGuid.c_str());
  if (it == info.extents.end() || !locationKnown(it->second) || it->second.afileId == 0) {
    const int64_t id = it == info.extents.end() ? -1 : it->second.afileId;
    const int64_t offset = it == info.extents.end() ? -1 : it->second.afileOffset;
    OSLOG(5, "Incomplete extent props %lld %lld", static_cast<long long>(id),
          static_cast<long long>(offset));
    // The location comes from the index. Only this extent's record is
    // taken over: the rest of the map may hold extents written since (or
    // kept only locally) that the index does not know.
    std::map<std::string, index_iface_props> fresh;
    if (CZnError err = browseFileExtentsToMap(handle, fresh); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't browse extent map in extent restore");
      OSLOG_ERR(err);
      return err;
    }
    auto found = fresh.find(extentGuid);
    if (found == fresh.end()) {
      OSLOG(-1, "Can't find [%s] in extent map", extentGuid.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Can't find [%s] in extent map",
                                     extentGuid.c_str());
    }
    if (!locationKnown(found->second)) {
      OSLOG(-1, "Incomplete extent props %lld %lld", static_cast<long long>(found->second.afileId),
            static_cast<long long>(found->second.afileOffset));
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Incomplete extent props [%s]",
                                     extentGuid.c_str());
    }
    if (it != info.extents.end() && it->second.verGuid != found->second.verGuid) {
      // The backup holds another segment of this extent than the one the
      // file uses: its bytes would be the wrong ones.
      OSLOG(-1, "Error: [%s] is not backed up (the index has [%s])", it->second.verGuid.c_str(),
            found->second.verGuid.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] is not backed up",
                                     it->second.verGuid.c_str());
    }
    it = info.extents.insert_or_assign(extentGuid, found->second).first;
  }
  OSLOG(3, "[%s] afile id / offset [ %llu / %llu]", extentGuid.c_str(),
        static_cast<unsigned long long>(it->second.afileId),
        static_cast<unsigned long long>(it->second.afileOffset));

  // The transfer runs without the file's lock: other operations on the file
  // go on meanwhile. The record is copied, as the map may change.
  index_iface_props props = it->second;
  RestoreData delivery;
  if (data != nullptr) delivery = *data;
  info.lock.unlock();
  CZnError err = restoreSegment(props, data != nullptr ? &delivery : nullptr);
  info.lock.lock();
  return err;
}

// ---------------------------------------------------------------------------
// Headers

CZnError ObjectStore::restoreMissingVersionSegment(const guid_t& segment) {
  if (diskCache_->doesSegmentExist(context_, segment)) return CZnError::Success;
  if (isExtent(segment)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] is an extent: restored by its file",
                                   segment.c_str());
  }
  // Whose version it is: the version cache knows current versions; the
  // attribute cache's records carry "object,version" in their name.
  guid_t objGuid;
  if (!versionCache_.findGuid(objGuid, segment).ok()) objGuid.clear();
  if (objGuid.empty()) {
    AttribData cached;
    if (attrCache_.read(segment, cached, false)) objGuid = cached.name.substr(0, cached.name.find(','));
  }
  if (objGuid.empty()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "No object known for segment [%s]",
                                   segment.c_str());
  }
  OSLOG(4, "[%s] restoring missing segment [%s] of [%s] before writing it", rootName_.c_str(),
        segment.c_str(), objGuid.c_str());
  if (segment == fullDirGuid(objGuid)) {
    GuidPathList children;
    guid_t parent;
    return restoreDirEnt(objGuid, children, parent);
  }
  RestoredHeaderData carrier;
  return restoreFileHeader(objGuid, segment, carrier);
}

CZnError ObjectStore::restoreFileHeader(const guid_t& objGuid, const guid_t& verGuid,
                                        RestoredHeaderData& carrier) {
  OSLOG(5, "Restoring file header: [%s] [%s]", objGuid.c_str(), verGuid.c_str());
  index_iface_props props;
  if (CZnError err = findObjGuidFromIndex(objGuid, props); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't find properties");
    OSLOG_ERR(err);
    return err;
  }

  const uint64_t type = modeType(props.mode);
  if (type == S_IFDIR) {
    GuidPathList children;
    guid_t parent;
    CZnError err = restoreDirEnt(objGuid, children, parent);
    // The caller receives the directory's records either way: from the
    // restored segment when there is one, else from its index record.
    const guid_t dirSeg = fullDirGuid(objGuid);
    if (err.ok() &&
        readFileHeader(carrier.header, carrier.data, objGuid, dirSeg, NO_RESTORE).ok()) {
      // Records rebuilt from the attribute cache carry no constants; only
      // valid headers are ever cached.
      carrier.data.magic = FILE_HEADER_MAGIC;
      carrier.data.version = FILE_HEADER_VERSION;
      return CZnError::Success;
    }
    props.verGuid = dirSeg;
    carrier.data = FileHeaderData();
    carrier.data.emptyRange.reset();
    CZnError filled = cxFromProps(carrier.header, carrier.data, props);
    if (!err.ok()) {
      OSLOG(4, "can't restore directory entry");
      return err;
    }
    return filled;
  }

  FileType fileType = FILE_TYPE_REGULAR;
  if (type == S_IFREG) {
    fileType = FILE_TYPE_REGULAR;
  } else if (type == S_IFLNK) {
    fileType = FILE_TYPE_SYMLINK;
  } else {
    OSLOG(-1, "Invalid filetype %o", static_cast<unsigned>(props.mode));
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid filetype %o",
                                   static_cast<unsigned>(props.mode));
  }
  createMetaData(&carrier.header, objGuid, verGuid, static_cast<uint64_t>(props.mode),
                 static_cast<uint64_t>(props.uid), static_cast<uint64_t>(props.gid),
                 static_cast<uint64_t>(props.size), static_cast<uint64_t>(props.ctime),
                 static_cast<uint64_t>(props.mtime));
  // An absent extent size (all ones) is no more usable than 0.
  if (props.extentSize <= 0) {
    OSLOG(-1, "Error: Invalid extent_size [%s] [%s]", objGuid.c_str(), verGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid extent_size [%s] [%s]", objGuid.c_str(),
                                   verGuid.c_str());
  }

  carrier.linkTarget = props.linkTarget;
  carrier.xattrs.clear();
  if (!props.xattrs.empty() && !decodeXattr(carrier.xattrs, props.xattrs)) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "undecodable xattr data");
    err.Push(FX_LOC, "Error: Can't decode xattr data [%s] [%s]", objGuid.c_str(),
             props.xattrs.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // Checked before anything is created: a blob that can't be read must not
  // end up in a segment that looks complete.
  XattrMap xattrMap;
  if (!carrier.xattrs.empty()) {
    if (CZnError err = deserializeXattrs(xattrMap, carrier.xattrs); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't unserialize xattrs [%s]", objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }

  carrier.data = FileHeaderData();
  carrier.data.magic = FILE_HEADER_MAGIC;
  carrier.data.version = FILE_HEADER_VERSION;
  carrier.data.fileType = fileType;
  carrier.data.extentSize = static_cast<uint64_t>(props.extentSize);
  carrier.data.hasData = 0;
  // The version keeps the time it was made at, as recorded in the index.
  carrier.data.versionTimeNs = props.vtime > 0 ? static_cast<uint64_t>(props.vtime) : 0;
  // NUL-terminated when shorter than the field, as every header keeps it.
  std::memset(carrier.data.parentGuid, 0, GUID_CHAR_SIZE);
  std::memcpy(carrier.data.parentGuid, props.parentGuid.data(),
              std::min(props.parentGuid.size(), GUID_CHAR_SIZE));

  // createSegment also puts the records into the attribute cache.
  CZnError err = createSegment(verGuid, carrier.data, carrier.header, carrier.xattrs, false);
  if (err.errNo() == EEXIST) {
    OSLOG(4, "[%s] already restored", verGuid.c_str());
    return CZnError::Success;
  }
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't create segment");
    logErrorUnlessNoSpace(err);
    return err;
  }
  // From here a failure takes the segment away again: a link without its
  // target or a file without its attributes must be restored once more.
  auto dropSegment = [&] {
    (void)diskCache_->deleteSegment(context_, verGuid, false, false, 0);
    (void)attrCache_.erase(verGuid);
    (void)xattrCache_.erase(verGuid);
  };
  if (fileType == FILE_TYPE_SYMLINK) {
    if (err = addLinkData(verGuid, carrier.linkTarget); !err.ok()) {
      dropSegment();
      err.Push(FX_LOC, "Error: Can't add link data");
      OSLOG_ERR(err);
      return err;
    }
  }
  if (!carrier.xattrs.empty()) {
    (void)xattrCache_.insert(verGuid, std::move(xattrMap), true, 1);
    if (err = writeXattrDataToSegment(verGuid, carrier.xattrs); !err.ok()) {
      dropSegment();
      err.Push(FX_LOC, "Error: Can't write xattrs to [%s]", verGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Directories

CZnError ObjectStore::restoreDirEnt(const guid_t& dirGuid, GuidPathList& children,
                                    guid_t& parentGuid) {
  OSLOG(4, "restoring dirent [%s]", dirGuid.c_str());
  children.clear();

  // Held to the end, so that concurrent restores of one directory run one
  // after the other. A caller that changes the list (addToDirEnt) already
  // holds the directory's lock; the lock is not recursive.
  AutoDirEntryOpener opener(*this, dirGuid);
  if (CZnError err = opener.open(); !err.ok()) {
    err.Push(FX_LOC, "[%s] Can't open dir entry [%s]", rootName_.c_str(), dirGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (!opener.info()->lock.isHeldByCurrentThread()) opener.lock();

  const guid_t dirSeg = fullDirGuid(dirGuid);
  if (diskCache_->doesSegmentExist(context_, dirSeg)) {
    FileHeaderData data;
    CZnError readErr = readFileHeaderData(data, dirSeg);
    const bool populated = readErr.ok() && data.hasData != 0;
    std::vector<SectionV> sections;
    if (populated) {
      OSLOG(5, "dirent already is populated");
      // A caller that found the list incomplete a moment ago (another
      // restore finished meanwhile) gets the list as it is now.
      parentGuid.assign(data.parentGuid, strnlen(data.parentGuid, sizeof(data.parentGuid)));
      readErr = readAllSectionsFromDiskCache(dirSeg, sections);
    }
    // A list that is there but can't be read now must not be rebuilt over.
    if (readFailedAndSegmentKept(readErr)) {
      readErr.Push(FX_LOC, "Error: Can't read the entry list of [%s]", dirGuid.c_str());
      return readErr;
    }
    if (populated && readErr.ok()) {
      if (!sections.empty() && sections.back().number == SECTION_DATA) {
        decodeEntryList(sections.back().data, children);
        // As when the list is read for a lookup: a damaged record's name
        // is never handed out.
        std::erase_if(children,
                      [](const auto& child) { return !isValidItemName(child.second); });
      }
      return CZnError::Success;
    }
    // Damaged (and dropped) or still incomplete: rebuilt below.
  }

  // Read before the index is browsed: see GuidCacheBase::fill.
  const uint64_t pathsSince = guidCache_.changeCount();
  const uint64_t versionsSince = versionCache_.changeCount();
  ChildBrowser browser(*this);
  if (CZnError err = browser.browse(dirGuid); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't browse for children [%s]", dirGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  index_iface_props dirProps;
  if (CZnError err = propsFromGuid(dirGuid, dirProps, NO_RESTORE); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't find [%s] in index", rootName_.c_str(), dirGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  parentGuid = dirProps.parentGuid;
  const std::string dirPath = dirProps.path;
  if (dirPath.empty()) {
    OSLOG(-1, "Error: empty path for [%s]", dirGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "empty path for [%s]", dirGuid.c_str());
  }

  const bool discard = discardWrites_.load();
  std::vector<index_iface_props*> listed;
  for (index_iface_props* child : browser.getPropsList()) {
    const std::string name = childName(*child);
    if (!isListable(child->objGuid, name)) {
      OSLOG(-1, "Error: can't list child [%s] [%s] of [%s]", child->objGuid.c_str(), name.c_str(),
            dirGuid.c_str());
      continue;
    }
    // The index still lists what this view removed locally.
    if (discard && deletedSegments_.exists(child->objGuid)) continue;
    children.emplace_back(child->objGuid, name);
    if (modeType(child->mode) == S_IFDIR) child->verGuid = fullDirGuid(child->objGuid);
    // The caches are shortcuts: a failed insert costs a lookup later.
    (void)guidCache_.fill(child->objGuid, childPath(dirPath, name), pathsSince);
    (void)versionCache_.fill(child->objGuid, child->verGuid, versionsSince);
    listed.push_back(child);
  }

  // Asked again: a segment whose header could not be read was dropped.
  if (diskCache_->doesSegmentExist(context_, dirSeg)) {
    if (CZnError err = diskCache_->truncateSection(context_, dirSeg, SECTION_DATA, 0, 0);
        !err.ok() && err.errNo() != ENOENT) {
      OSLOG(-1, "Error: Can't truncate [%s]", dirSeg.c_str());
      return err;
    }
  } else {
    index_iface_props props;
    if (CZnError err = findObjGuidFromIndex(dirGuid, props); !err.ok()) {
      err.Push(FX_LOC, "[%s] Error: Can't find [%s] in index", rootName_.c_str(), dirGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    props.verGuid = dirSeg;
    parentGuid = props.parentGuid;
    if (CZnError err = createSegment(props, false); !err.ok()) {
      err.Push(FX_LOC, "Error: [%s] Can't create segment for [%s] [%s]", rootName_.c_str(),
               dirGuid.c_str(), dirSeg.c_str());
      logErrorUnlessNoSpace(err);
      return err;
    }
    if (!props.xattrs.empty()) {
      auto dropDirSegment = [&] {
        (void)diskCache_->deleteSegment(context_, dirSeg, false, false, 0);
        (void)attrCache_.erase(dirSeg);
        (void)xattrCache_.erase(dirSeg);
      };
      std::vector<unsigned char> blob;
      XattrMap map;
      if (!decodeXattr(blob, props.xattrs)) {
        OSLOG(-1, "Error: Can't decode xattr data [%s] [%s]", dirGuid.c_str(),
              props.xattrs.c_str());
        dropDirSegment();
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't decode xattr data [%s]",
                                       dirGuid.c_str());
      }
      if (CZnError err = deserializeXattrs(map, blob); !err.ok()) {
        OSLOG(-1, "Error: Can't deserialize xattr data [%s] [%s]", dirGuid.c_str(),
              props.xattrs.c_str());
        dropDirSegment();
        return err;
      }
      (void)xattrCache_.insert(dirSeg, std::move(map), true, 1);
      if (CZnError err = writeXattrDataToSegment(dirSeg, blob); !err.ok()) {
        OSLOG(-1, "Error: Can't write xattrs to [%s]", dirSeg.c_str());
        dropDirSegment();
        return err;
      }
    }
  }

  // The whole list goes down in one write; only then is the directory
  // marked complete, so a restore that stops halfway is simply done again
  // on the next use instead of leaving a directory that lacks children.
  const std::string list = encodeEntryList(children);
  if (!list.empty()) {
    const std::vector<Section> writes = {
        makeWriteSection(SECTION_DATA, 0, list.data(), list.size())};
    if (CZnError err = diskCache_->writeSections(context_, dirSeg, writes, false, 0); !err.ok()) {
      err.Push(FX_LOC, "[%s] error: Can't add to dir entry [%s]", rootName_.c_str(),
               dirGuid.c_str());
      logErrorUnlessNoSpace(err);
      return err;
    }
  }
  if (CZnError err = updateFileHeader(dirSeg, list.size(), 0, 0, "", Range()); !err.ok()) {
    err.Push(FX_LOC, "[%s] error: Can't add to dir entry [%s]", rootName_.c_str(), dirGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }

  for (index_iface_props* child : listed) {
    OSLOG(5, "adding [%s] to dirent", child->objGuid.c_str());
    if (!diskCache_->doesSegmentExist(context_, child->verGuid)) {
      // Headers only; a child that can't be created now is restored on use.
      (void)createSegment(*child, false);
    }
    if (modeType(child->mode) == S_IFLNK) {
      if (CZnError err = addLinkData(child->verGuid, child->linkTarget); !err.ok()) {
        // Listed all the same: its segment goes, and a read restores it.
        OSLOG(-1, "Error: Can't add link data");
        (void)diskCache_->deleteSegment(context_, child->verGuid, false, false, 0);
        (void)attrCache_.erase(child->verGuid);
      }
    }
  }

  if (CZnError err = updateHasData(dirSeg, 1); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't update hasData in [%s]", dirGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  addToDirCache(parentGuid, dirGuid, children);
  OSLOG(4, "restored dirent [%s] with %zu children", dirGuid.c_str(), children.size());
  return CZnError::Success;
}

}  // namespace ObjectStore
