// Collect-file sync: at start-up, the index hands over the changes other
// writers made to the share while this cache did not follow them (adds,
// attribute updates, deletes, renames). They are replayed onto the entry
// lists and headers that are present locally; whatever is not local is
// rebuilt from the index on first use anyway.
//
// Runs on the thread that initialises the store, before the container lists
// it: no file-system operation runs meanwhile. Every step is best effort; a
// list or header that can't be brought up to date is repaired by later reads
// (a damaged segment is dropped and restored).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

enum ChangeKind : uint32_t {
  CHANGE_ADD = 1,
  CHANGE_UPDATE = 2,
  CHANGE_DELETE = 3,
  CHANGE_RENAME = 4,
};

constexpr int64_t ABSENT = -1;  // an absent 64-bit value: all ones

// The item's name: the path's text after its last separator.
std::string nameOf(const std::string& path) {
  const size_t slash = path.find_last_of(OBJSTR_DELIMITER);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isDirectoryRecord(const index_iface_props& record) {
  return record.modeValid && (static_cast<unsigned>(record.mode) & S_IFMT) == S_IFDIR;
}

}  // namespace

CZnError ObjectStore::syncCollectFiles() {
  OSLOG(5, "[%s] Syncing collect files", rootName_.c_str());
  if (config_.timestamp != 0) {
    // A point-in-time view shows the share as it was: later changes must
    // not reach its lists, nor may it take them from the live share.
    OSLOG(5, "[%s] point-in-time view, nothing to sync", rootName_.c_str());
    return CZnError::Success;
  }
  std::vector<index_iface_props> records;
  if (int rc = index_->get_initial_cache_items(records); rc != 0) {
    OSLOG(-1, "[%s] Error: Can't get the items to sync (%d)", rootName_.c_str(), rc);
    return CZnError::Success;
  }
  if (records.empty()) {
    OSLOG(0, "[%s] No items to sync", rootName_.c_str());
    return CZnError::Success;
  }
  OSLOG(0, "[%s] Syncing %lu items", rootName_.c_str(), static_cast<unsigned long>(records.size()));

  for (const index_iface_props& record : records) {
    const guid_t& objGuid = record.objGuid;
    OSLOG(5, "processing [%s]", objGuid.c_str());
    if (record.updateSelector == 1) continue;  // extents: their segments carry no names
    const std::string name = nameOf(record.path);
    // The segment this store keeps the item's header in.
    guid_t segment = isDirectoryRecord(record) ? fullDirGuid(objGuid) : record.verGuid;
    if (segment.empty() && !versionCache_.findData(objGuid, segment).ok()) segment.clear();
    const bool parentLocal = !record.parentGuid.empty() &&
                             diskCache_->doesSegmentExist(context_, fullDirGuid(record.parentGuid));

    switch (record.changeKind) {
      case CHANGE_ADD: {
        OSLOG(5, "processing ADD [%s]", objGuid.c_str());
        ItemName parent(record.parentGuid, record.parentGuid == rootGuid_);
        guid_t found;
        if (parentLocal && !name.empty() && lookupPathInDirEnt(found, parent, name).ok() &&
            found.empty()) {
          (void)addToDirEnt(record.parentGuid, objGuid, name, false);  // best effort
        }
        break;
      }
      case CHANGE_DELETE: {
        OSLOG(5, "processing DELETE [%s]", objGuid.c_str());
        if (parentLocal) (void)removeFromDirEnt(record.parentGuid, objGuid, name);
        // The item is gone: its cached path and version must not lead to it.
        (void)guidCache_.deleteGuid(objGuid);
        (void)versionCache_.deleteGuid(objGuid);
        break;
      }
      case CHANGE_RENAME: {
        OSLOG(5, "processing RENAME [%s] name=[%s]", objGuid.c_str(), name.c_str());
        FileHeaderData data;
        std::vector<Section> reads = {
            makeReadSection(SECTION_HEADER, 0, &data, HEADER_SECTION_SIZE)};
        const bool haveHeader = !segment.empty() &&
                                diskCache_->doesSegmentExist(context_, segment) &&
                                readSectionsFromDiskCache(segment, reads, true).ok() &&
                                reads[0].size == HEADER_SECTION_SIZE;
        if (haveHeader) {
          const guid_t oldParent(data.parentGuid,
                                 strnlen(data.parentGuid, sizeof(data.parentGuid)));
          // The old parent lists the item under its old name; the list is
          // searched by GUID, and the name removed from the cached list must
          // be that old one.
          std::string oldName = name;
          ItemName oldDir(oldParent, oldParent == rootGuid_);
          GuidPathList children;
          guid_t grandParent;
          bool done = false;
          if (diskCache_->doesSegmentExist(context_, fullDirGuid(oldParent)) &&
              readDirEnt(children, grandParent, done, oldDir, 0, DIRENT_READ_ALL).ok()) {
            for (const auto& [guid, childName] : children)
              if (guid == objGuid) oldName = childName;
          }
          (void)removeFromDirEnt(oldParent, objGuid, oldName);
        }
        if (parentLocal && !name.empty()) {
          ItemName parent(record.parentGuid, record.parentGuid == rootGuid_);
          guid_t found;
          if (lookupPathInDirEnt(found, parent, name).ok() && !found.empty() && found != objGuid)
            (void)removeFromDirEnt(record.parentGuid, found, name);
          if (found != objGuid) (void)addToDirEnt(record.parentGuid, objGuid, name, false);
        }
        if (haveHeader) (void)setHeaderParent(segment, record.parentGuid);
        if (!record.path.empty()) {
          // Paths below a renamed directory move with it.
          std::string oldPath;
          if (isDirectoryRecord(record) && guidCache_.findData(objGuid, oldPath).ok() &&
              oldPath != record.path) {
            (void)guidCache_.renamePaths(oldPath, record.path);
          }
          (void)guidCache_.insert(objGuid, record.path, false);
        }
        break;
      }
      default:
        break;
    }

    if (record.changeKind != CHANGE_ADD && record.changeKind != CHANGE_UPDATE &&
        record.changeKind != CHANGE_RENAME) {
      continue;
    }
    OSLOG(5, "processing UPDATE [%s]", objGuid.c_str());
    CXFileHeader header;
    FileHeaderData data;
    if (segment.empty() || !diskCache_->doesSegmentExist(context_, segment) ||
        !readFileHeader(header, data, objGuid, segment, NO_RESTORE).ok()) {
      continue;
    }
    if (record.modeValid) header.mode = static_cast<uint64_t>(static_cast<unsigned>(record.mode));
    if (record.size != ABSENT) header.size = static_cast<uint64_t>(record.size);
    if (record.uidValid) header.uid = static_cast<uint64_t>(static_cast<unsigned>(record.uid));
    if (record.gidValid) header.gid = static_cast<uint64_t>(static_cast<unsigned>(record.gid));
    if (record.ctime != ABSENT) header.ctime = static_cast<uint64_t>(record.ctime);
    if (record.mtime != ABSENT) header.mtime = static_cast<uint64_t>(record.mtime);
    // The cached copy follows the disk, or getattr would keep the old values.
    (void)attrCache_.insert(segment, AttribData(data, header), true, 1);
    const std::vector<Section> writes = {
        makeWriteSection(SECTION_ATTRIBUTE, 0, &header, ATTRIBUTE_SECTION_SIZE)};
    if (!diskCache_->writeSections(context_, segment, writes, false, 0).ok())
      (void)attrCache_.erase(segment);
  }
  return CZnError::Success;
}

}  // namespace ObjectStore
