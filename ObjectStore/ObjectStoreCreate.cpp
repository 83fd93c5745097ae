// Creating files, directories and symbolic links inside a parent directory,
// the link data of symbolic links, create-and-open, and the backup filter.
//
// Creation is not transactional: an item made by createNewItem whose entry
// could not be added to the parent stays in the index and the disk cache.
// That is why everything that can be refused (permissions, names, lengths,
// an existing name, a parent that is not a directory) is refused before the
// first byte is written.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

// The platform's "path not found" code, which the file server expects from
// createAndOpen when the parent directory is missing.
constexpr uint32_t WIN32_ERROR_PATH_NOT_FOUND = 3;

// Only the permission bits of a caller's mode are taken; the kind of the item
// comes from its FileType, so that no combination of type bits can be made.
mode_t permissionBits(mode_t mode) { return mode & ~static_cast<mode_t>(S_IFMT); }

// The child's full path: exactly one '/' between the parent's path and the
// name. A parent without a path is the root.
std::string childPath(const std::string& parentPath, const std::string& name) {
  if (parentPath.empty()) return std::string(1, OBJSTR_DELIMITER) + name;
  if (parentPath.back() == OBJSTR_DELIMITER) return parentPath + name;
  return parentPath + OBJSTR_DELIMITER + name;
}

// Paths inside a share are absolute; a path given without its leading '/' is
// read from the root, so "a/b" names the same item as "/a/b".
std::string absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == OBJSTR_DELIMITER) return path;
  return std::string(1, OBJSTR_DELIMITER) + path;
}

// A write open in the sense of open(): O_WRONLY or O_RDWR.
bool isWriteOpen(int flags) { return (flags & (O_WRONLY | O_RDWR)) != 0; }

// Serialises the creations inside one parent directory from the lookup of
// the name to the new entry in the parent's list, so that two callers racing
// for one name can't both find it free and both add it. Striped by parent
// (the directory's object GUID and the store), so that every spelling of a
// name meets in one stripe, whatever the share's case rule.
//
// Lock order: a stripe is the outermost lock of a creation; it is taken with
// no other lock held, and the creation takes item locks (the parent's entry
// list) inside it.
class CreationLocks {
 public:
  std::mutex& forParent(const void* store, const guid_t& parentGuid) {
    const size_t hash = std::hash<guid_t>()(parentGuid) ^ std::hash<const void*>()(store);
    return stripes_[hash % stripes_.size()];
  }

 private:
  std::array<std::mutex, 64> stripes_;
};

CreationLocks& creationLocks() {
  static CreationLocks locks;
  return locks;
}

// The parent's properties, which every creation below a named parent starts
// from; a parent that can't be found refuses the creation.
CZnError parentPropsOf(ObjectStore& store, ItemName& parent, index_iface_props& props) {
  CZnError err = store.propsFromItem(parent, props);
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Parent not found: [%s] [%s]", store.getRootName().c_str(),
             parent.objGuid.c_str(), parent.path.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

}  // namespace

// ---------------------------------------------------------------------------
// create

CZnError ObjectStore::create(ItemName& item, index_iface_props& parentProps,
                             const std::string& name, mode_t mode, FileType type,
                             const guid_t& linkTarget) {
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  if (!isValidItemName(name)) {
    OSLOG(-1, "[%s] Error: Invalid name [%s] in [%s]", rootName_.c_str(), name.c_str(),
          parentProps.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "[%s] Invalid name [%s]", rootName_.c_str(),
                                   name.c_str());
  }
  const guid_t parentGuid = parentProps.objGuid;
  if (parentGuid.empty()) {
    OSLOG(-1, "[%s] Error: No object guid for parent [%s]", rootName_.c_str(),
          parentProps.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "No object guid for parent [%s]",
                                   parentProps.path.c_str());
  }
  // Linking a child into anything but a directory would leave an item that
  // the index finds below a file while no entry list holds it.
  if (parentProps.modeValid && !isDirectoryMode(parentProps.mode)) {
    OSLOG(-1, "[%s] Error: Parent is not a directory: [%s] [%s]", rootName_.c_str(),
          parentGuid.c_str(), parentProps.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOTDIR, "Parent is not a directory: [%s]",
                                   parentProps.path.c_str());
  }

  const std::string fullPath = childPath(parentProps.path, name);
  if (name.size() > ITEM_NAME_MAX ||
      fullPath.size() > static_cast<size_t>(std::max(config_.maxPathLen, 0))) {
    OSLOG(-1, "Path too large. Limit=%d, name=[%s] parent=[%s]", config_.maxPathLen, name.c_str(),
          parentProps.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENAMETOOLONG, "Path too large. Limit=%d",
                                   config_.maxPathLen);
  }

  std::lock_guard<std::mutex> creating(creationLocks().forParent(this, parentGuid));
  ItemName parent(parentGuid, parentGuid == rootGuid_);
  parent.path = parentProps.path;
  guid_t existing;
  // A failing lookup leaves the name free: the entry list is then rebuilt by
  // addToDirEnt, which refuses nothing by name.
  if (lookupPathInDirEnt(existing, parent, name).ok() && !existing.empty()) {
    OSLOG(-1, "[%s] Error: Item already exists: [%s] [%s]", rootName_.c_str(),
          parentProps.path.c_str(), name.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "Item already exists: [%s]", fullPath.c_str());
  }

  FileAttribs attribs;
  attribs.mode = static_cast<uint32_t>(permissionBits(mode));
  attribs.uid = parentProps.uidValid ? static_cast<uint32_t>(parentProps.uid) : 0;
  attribs.gid = parentProps.gidValid ? static_cast<uint32_t>(parentProps.gid) : 0;
  CZnError err =
      createNewItem(item, fullPath, attribs, parentGuid, type, linkTarget, discardWrites_.load());
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't create new item for [%s]", rootName_.c_str(),
             fullPath.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  item.path = fullPath;

  if (err = addToDirEnt(parentGuid, item.objGuid, name, true); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't add to directory entry: [%s]", rootName_.c_str(),
             fullPath.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  if (err = updateTimes(parentGuid, getDirVersion(parentGuid)); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't update times for [%s]", parentGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  OSLOG(3, "[%s] Created item [%s] [%s] [%s]", rootName_.c_str(), fullPath.c_str(),
        item.objGuid.c_str(), item.verGuid.c_str());
  return CZnError::Success;
}

CZnError ObjectStore::create(ItemName& parent, ItemName& item, const std::string& name, mode_t mode,
                             FileType type) {
  OSLOG(3, "[%s] create [%s] [%s] [%s]", rootName_.c_str(), parent.objGuid.c_str(),
        parent.path.c_str(), name.c_str());
  TimeFunction timer("create", PERF_CREATE);
  index_iface_props parentProps;
  CZnError err = parentPropsOf(*this, parent, parentProps);
  if (!err.ok()) return err;
  return create(item, parentProps, name, mode, type, guid_t());
}

CZnError ObjectStore::create(ItemName& item, const std::string& path, mode_t mode, FileType type) {
  OSLOG(3, "[%s] create [%s]", rootName_.c_str(), path.c_str());
  TimeFunction timer("create", PERF_CREATE);
  std::string full = absolutePath(path);
  if (full.size() > 1 && full.back() == OBJSTR_DELIMITER) full.pop_back();
  const size_t slash = full.rfind(OBJSTR_DELIMITER);
  std::string parentPath = full.substr(0, slash);
  const std::string name = full.substr(slash + 1);
  if (parentPath.empty()) parentPath.assign(1, OBJSTR_DELIMITER);

  index_iface_props parentProps;
  CZnError err = propsFromPath(parentPath, parentProps);
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Parent not found: [%s]", rootName_.c_str(), parentPath.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return create(item, parentProps, name, mode, type, guid_t());
}

// ---------------------------------------------------------------------------
// mkdir

CZnError ObjectStore::mkdir(ItemName& parent, ItemName& item, const std::string& name,
                            mode_t mode) {
  OSLOG(3, "[%s] mkdir [%s] [%s]", rootName_.c_str(), parent.path.c_str(), name.c_str());
  TimeFunction timer("mkdir", PERF_MKDIR);
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  CZnError err = create(parent, item, name, mode, FILE_TYPE_DIRECTORY);
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't create [%s] [%s]", rootName_.c_str(), parent.path.c_str(),
             name.c_str());
    logErrorUnlessNoSpace(err);
  }
  return err;
}

CZnError ObjectStore::mkdir(ItemName& item, const std::string& path, mode_t mode) {
  OSLOG(3, "[%s] mkdir [%s]", rootName_.c_str(), path.c_str());
  TimeFunction timer("mkdir", PERF_MKDIR);
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  CZnError err = create(item, path, mode, FILE_TYPE_DIRECTORY);
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't create [%s]", rootName_.c_str(), path.c_str());
    logErrorUnlessNoSpace(err);
  }
  return err;
}

// ---------------------------------------------------------------------------
// Symbolic links

CZnError ObjectStore::createSymbolicLink(ItemName& item, const std::string& target,
                                         ItemName& parent, const std::string& name) {
  OSLOG(3, "[%s] create symlink from [%s] to [%s] [%s] [%s]", rootName_.c_str(), target.c_str(),
        parent.objGuid.c_str(), parent.path.c_str(), name.c_str());
  TimeFunction timer("createSymLink", PERF_CREATE_SYMLINK);
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  // The link data ends at its first NUL, so a target holding one would read
  // back as something else than was stored; an empty target names nothing.
  if (target.empty() || target.find('\0') != std::string::npos) {
    OSLOG(-1, "[%s] Error: Invalid link target for [%s]", rootName_.c_str(), name.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, target.empty() ? ENOENT : EINVAL,
                                   "Invalid link target for [%s]", name.c_str());
  }
  if (target.size() > static_cast<size_t>(std::max(config_.maxPathLen, 0))) {
    OSLOG(-1, "Link target too large. Limit=%d, name=[%s]", config_.maxPathLen, name.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENAMETOOLONG, "Link target too large. Limit=%d",
                                   config_.maxPathLen);
  }

  index_iface_props parentProps;
  CZnError err = parentPropsOf(*this, parent, parentProps);
  if (!err.ok()) return err;
  if (err = create(item, parentProps, name, 0777, FILE_TYPE_SYMLINK, target); !err.ok()) {
    // A step after the item was made may have failed (the parent's times):
    // the listed link still gets its target, so that it never reads back as
    // a link without one. A link that was never made has no segment to
    // write (ENOENT), which changes nothing.
    if (!item.verGuid.empty()) (void)addLinkData(item.verGuid, target);
    err.Push(FX_LOC, "[%s] Can't create link from [%s] to [%s] [%s] [%s]", rootName_.c_str(),
             target.c_str(), parentProps.objGuid.c_str(), parentProps.path.c_str(), name.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  if (err = addLinkData(item.verGuid, target); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't write link data to section [%s] [%s]", rootName_.c_str(),
             item.objGuid.c_str(), item.verGuid.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  return CZnError::Success;
}

CZnError ObjectStore::createSymbolicLink(ItemName& item, const std::string& target,
                                         const std::string& linkPath) {
  OSLOG(3, "[%s] create symlink from [%s] to [%s]", rootName_.c_str(), target.c_str(),
        linkPath.c_str());
  TimeFunction timer("createSymLink", PERF_CREATE_SYMLINK);
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  std::string parentPath;
  std::string name;
  CZnError err = splitParentPath(absolutePath(linkPath), parentPath, name, OBJSTR_DELIMITER);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't split [%s]", linkPath.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (parentPath.empty()) parentPath.assign(1, OBJSTR_DELIMITER);
  ItemName parent(parentPath);
  return createSymbolicLink(item, target, parent, name);
}

CZnError ObjectStore::addLinkData(const guid_t& versionGuid, const guid_t& target) {
  OSLOG(5, "adding link data of [%s] to [%s]", versionGuid.c_str(), target.c_str());
  // c_str() supplies the terminating NUL that ends the link data.
  std::vector<Section> writes = {
      makeWriteSection(SECTION_DATA, 0, target.c_str(), target.size() + 1)};
  CZnError err = diskCache_->writeSections(context_, versionGuid, writes, false, 0);
  if (err.ok()) return err;
  OSLOG(-1, "[%s] Can't write link data to section [%s]", rootName_.c_str(), versionGuid.c_str());
  // A link without its data is dropped, so that a later read restores it
  // from the index, which holds the target.
  if (err.errNo() != ENOENT)
    (void)diskCache_->deleteSegment(context_, versionGuid, false, false,
                                    saveCorruptSegments_ ? 1 : 0);
  return err;
}

CZnError ObjectStore::readLink(ItemName item, std::string& target) {
  OSLOG(3, "[%s] reading symbolic link to [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(),
        item.path.c_str());
  AutoFileOpener opener(*this, item);
  CZnError err = opener.open(LOCK_ITEM, O_RDONLY);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't open [%s] [%s]", item.objGuid.c_str(), item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  const guid_t objGuid = item.getObjGuid(*this);
  if (objGuid.empty()) {
    OSLOG(-1, "Error: Can't get object guid for [%s]", item.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't get object guid for [%s]",
                                   item.path.c_str());
  }
  guid_t verGuid;
  if (err = getLatestVersion(objGuid, verGuid); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't get latest version of [%s]", objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }

  if (!diskCache_->doesSegmentExist(context_, verGuid)) {
    RestoredHeaderData carrier;
    err = restoreFileHeader(objGuid, verGuid, carrier);
    if (err.errNo() == ENOSPC) {
      // The restored target is known even though no local copy could be made.
      target = carrier.linkTarget;
      OSLOG(5, "out of space, but returning link data [%s]", target.c_str());
      return CZnError::Success;
    }
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: can't restore file header for [%s] [%s]", objGuid.c_str(),
               verGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    target = carrier.linkTarget;
  }

  std::vector<SectionV> sections;
  if (err = readAllSectionsFromDiskCache(verGuid, sections); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't read segment sections for [%s] [%s]", objGuid.c_str(),
             verGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // Only a link's data section is its target; a directory's holds its
  // entry list, which must never be handed out as a link.
  for (const auto& section : sections) {
    if (section.number != SECTION_ATTRIBUTE) continue;
    CXFileHeader header;
    if (section.data.size() >= sizeof(header)) {
      std::memcpy(&header, section.data.data(), sizeof(header));
      if ((header.mode & MODE_TYPE_MASK) != MODE_SYMLINK) {
        OSLOG(-1, "Error: Not a symbolic link [%s] [%s]", objGuid.c_str(), verGuid.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Not a symbolic link [%s]", objGuid.c_str());
      }
    }
  }
  if (sections.empty() || sections.back().number != SECTION_DATA) {
    OSLOG(-1, "Error: No data section in [%s] [%s]", objGuid.c_str(), verGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No data section in [%s] [%s]", objGuid.c_str(),
                                   verGuid.c_str());
  }
  const auto& data = sections.back().data;
  const auto* bytes = reinterpret_cast<const char*>(data.data());
  target.assign(bytes, strnlen(bytes, data.size()));
  OSLOG(5, "returning link data [%s]", target.c_str());
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// createAndOpen

CZnError ObjectStore::createAndOpen(FileHandle& handle, ItemName& parent, const std::string& name,
                                    struct stat& st, int flags) {
  OSLOG(3, "[%s] createAndOpen [%s] [%s] [%s]", rootName_.c_str(), parent.objGuid.c_str(),
        parent.path.c_str(), name.c_str());
  TimeFunction timer("createAndOpen", PERF_CREATE_AND_OPEN);
  const bool write = isWriteOpen(flags);
  if (write && readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }

  index_iface_props parentProps;
  CZnError err = propsFromItem(parent, parentProps);
  if (!err.ok()) {
    OSLOG(-1, "[%s] Error: Parent not found: [%s] [%s] error [0x%X]: [%s]", rootName_.c_str(),
          parent.objGuid.c_str(), parent.path.c_str(), static_cast<unsigned>(err.errNo()),
          err.text().c_str());
    return FXErrorUtil::ErrorWin32(FX_LOC, WIN32_ERROR_PATH_NOT_FOUND, ENOENT,
                                   "Parent not found: [%s] [%s]", parent.objGuid.c_str(),
                                   parent.path.c_str());
  }

  const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  err = create(handle.name, parentProps, name, st.st_mode, FILE_TYPE_REGULAR, guid_t());
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: can't create item: [%s] [%s] [%s]", rootName_.c_str(),
             parentProps.objGuid.c_str(), parentProps.path.c_str(), name.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  const guid_t objGuid = handle.name.objGuid;

  const bool filtered = write && isFileFiltered(name);
  if (filtered)
    OSLOG(3, "filtering [%s] [%s] from backup", objGuid.c_str(), handle.name.path.c_str());

  bool simultaneous = false;
  {
    HxCriticalSectionGuard guard(openFilesLock_);
    if (openFiles_.find(objGuid) != openFiles_.end()) {
      simultaneous = true;
    } else {
      OpenFileInfo* info = new (std::nothrow) OpenFileInfo;
      if (info == nullptr) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Can't allocate openFileInfo for [%s]",
                                       objGuid.c_str());
      }
      // The record is complete before it is listed, so nobody sees it half
      // set up and no item lock is needed here.
      info->size = size;
      info->extentSize = config_.extentSize;
      info->emptyRange = Range(0, offsetToExtent(size, config_.extentSize));
      // The header of the new file says size 0: a requested size must reach
      // it, which the last close does for a changed size.
      info->sizeChanged = size != 0;
      info->filtered = filtered;
      if (write) {
        ++info->writers;
      } else {
        ++info->readers;
      }
      openFiles_[objGuid] = info;
      handle.isWrite = write;
      handle.info = info;
      OSLOG(5, "Created new openFileInfo %p", static_cast<void*>(info));
    }
  }
  if (simultaneous) {
    OSLOG(3, "Simultaneous open for [%s]", objGuid.c_str());
    return open(handle, handle.name, flags, false);
  }

  // The caller gets the attributes the new file has, as getattr presents
  // them (kind bits, owner from the parent, creation times), and its size.
  CXFileHeader header;
  FileHeaderData data;
  if (readFileHeader(header, data, objGuid, handle.name.verGuid, NO_RESTORE).ok()) {
    cxHeaderToStat(st, objGuid, header);
  } else {
    st.st_mode = static_cast<mode_t>(S_IFREG | permissionBits(st.st_mode));
    st.st_uid = parentProps.uidValid ? static_cast<uid_t>(parentProps.uid) : 0;
    st.st_gid = parentProps.gidValid ? static_cast<gid_t>(parentProps.gid) : 0;
  }
  st.st_size = static_cast<off_t>(size);
  st.st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
  OSLOG(5, "[%s] createdAndOpened [%s] version [%s] size=[%lu] filtered=%d", rootName_.c_str(),
        objGuid.c_str(), handle.name.verGuid.c_str(), static_cast<unsigned long>(size),
        filtered ? 1 : 0);
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Backup filter

bool ObjectStore::isFileFiltered(const std::string& path) {
  // A copy, so that nothing is logged under the leaf lock.
  const std::vector<std::string> suffixes = backupFilterTokens();
  for (const auto& suffix : suffixes) {
    if (path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      OSLOG(5, "[%s] matches suffix [%s]", path.c_str(), suffix.c_str());
      return true;
    }
  }
  OSLOG(5, "[%s] not filtered", path.c_str());
  return false;
}

CZnError ObjectStore::isFileFiltered(bool& filtered, ItemName& item, index_iface_props& props) {
  if (backupFilterTokens().empty()) {
    filtered = false;
    OSLOG(5, "backup filter is empty");
    return CZnError::Success;
  }
  std::string path = item.path;
  if (path.empty()) {
    const guid_t& objGuid = item.getObjGuid(*this);
    if (!guidCache_.findData(objGuid, path).ok() || path.empty()) {
      CZnError err = findObjGuidFromIndex(objGuid, props);
      if (!err.ok()) {
        err.Push(FX_LOC, "Error: can't find [%s] from index", objGuid.c_str());
        OSLOG_ERR(err);
        return err;
      }
      path = props.path;
    }
  }
  filtered = isFileFiltered(path);
  return CZnError::Success;
}

}  // namespace ObjectStore
