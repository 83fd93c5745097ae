// ObjectStore::ObjectStore: one open view of one share — the live share
// (timestamp 0) or a point-in-time view of it.
//
// The container constructs a store, calls initialize() and from then on runs
// every file-system operation of that view on it. The implementation is split
// by concern over several ObjectStore*.cpp files that all implement this one
// class (start-up, index access, segment records, items and versions, ...).
//
// Locks, outermost first (a lock may only be taken while holding locks that
// come before it):
//   1. the open-extent lock of one extent segment (OpenExtentInfo::lock)
//   2. the item lock of one object (OpenFileInfo::lock); the open-file table
//      lock is never held together with an item lock — open and close hand
//      over from one to the other
//   3. the dirent-cache mutex (dirEntCache_), never across disk I/O
//   4. each cache's own mutex; no two cache mutexes are held at once
//   5. the backup queue lock (innermost)
// The open-file table lock (openFilesLock_) and the open-extent table lock
// (openExtentsLock_) are leaf locks held only inside the table operations;
// backupFilterLock_ is a leaf lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ObjectStore/GuidCache.h"
#include "ObjectStore/Identifiers.h"
#include "ObjectStore/ItemName.h"
#include "ObjectStore/ObjectStoreConfig.h"
#include "ObjectStore/SegmentFormat.h"
#include "ObjectStore/utils/lrucache.h"
#include "ObjectStore/utils/persistent_map.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

class ObjectContainer;
class RestoreInterface;
class BackupQueue;
class CZnLogger;
struct OpenFileInfo;
struct OpenExtentInfo;

// The map of an item's extended attributes (name -> value), byte order.
using XattrMap = std::map<std::string, std::vector<unsigned char>>;

class ObjectStore {
 public:
  using IndexProps = index_iface_props;

  ObjectStore(ObjectContainer& container, std::shared_ptr<DiskCache> diskCache,
              std::shared_ptr<index_iface> index);
  // Destroys the members in reverse order. Does not unregister from the disk
  // cache: the container calls uninitialize() first.
  ~ObjectStore();
  ObjectStore(const ObjectStore&) = delete;
  ObjectStore& operator=(const ObjectStore&) = delete;

  // ---- Start-up and configuration ------------------------------------------
  // storeDir: the store's own directory (made by the container); the
  // persistent cache files live in it. Each failing step returns at once.
  CZnError initialize(const ObjectStoreConfig& config, const std::string& storeDir);
  // Unregisters from the disk cache (its error ignored); inactive afterwards.
  CZnError uninitialize();
  CZnError updateObjectStore(const ObjectStoreUpdates& updates);
  CZnError createRootDir(const FileAttribs& attribs);

  bool isActive() const { return active_.load(); }
  const std::string& getRootName() const { return rootName_; }
  uint64_t getSubclient() const { return config_.subclient; }
  const ObjectStoreConfig& getConfig() const { return config_; }
  const guid_t& getRootGuid() const { return rootGuid_; }
  bool isReadOnly() const { return readOnly_.load(); }
  bool discardsWrites() const { return discardWrites_.load(); }
  const std::string& snapshotSuffix() const { return snapshotSuffix_; }

  // ---- Identifiers ---------------------------------------------------------
  // The directory version name of a directory for this store's point in time:
  // getDirVersion for index lookups, rename and unlink; fullDirGuid where
  // entry lists are read and written. Both give dirGuid + "-" + suffix.
  guid_t getDirVersion(const guid_t& dirGuid) const;
  guid_t fullDirGuid(const guid_t& dirGuid) const;
  // Path cache lookup (path -> object GUID); used by ItemName::getObjGuid.
  CZnError findGuidInPathCache(guid_t& guid, const std::string& path);

  // ---- Index access and property lookup -----------------------------------
  CZnError findObjGuidFromIndex(const guid_t& objGuid, index_iface_props& props);
  CZnError findPathFromIndex(const std::string& path, index_iface_props& props);
  CZnError propsFromDiskCache(const guid_t& objGuid, index_iface_props& props,
                              ShouldRestore restore);
  CZnError propsFromGuid(const guid_t& objGuid, index_iface_props& props, ShouldRestore restore);
  CZnError propsFromPath(const std::string& path, index_iface_props& props);
  CZnError propsFromItem(ItemName& item, index_iface_props& props);
  CZnError addToIndex(index_iface_props& props);
  CZnError addToCacheAndIndex(index_iface_props& props, bool skipIndex);
  CZnError index_delete_wrapper(index_iface_props& props);
  // seconds * 1e9, or the current time in ns for 0.
  static int64_t getTimeInNs(int64_t seconds);

  // ---- Segment records -----------------------------------------------------
  CZnError readSectionsFromDiskCache(const guid_t& segment, std::vector<Section>& sections,
                                     bool touch);
  CZnError readAllSectionsFromDiskCache(const guid_t& segment, std::vector<SectionV>& sections);
  CZnError upgradeSegment(const guid_t& segment, std::vector<SectionV>& sections);
  CZnError readFileHeader(CXFileHeader& header, FileHeaderData& data, const guid_t& objGuid,
                          const guid_t& verGuid, ShouldRestore restore);
  CZnError readFileHeaderData(FileHeaderData& data, const guid_t& segment);
  CZnError cxFromProps(CXFileHeader& header, FileHeaderData& data, const index_iface_props& props);
  void createMetaData(CXFileHeader* header, const guid_t& objGuid, const guid_t& verGuid,
                      uint64_t mode, uint64_t uid, uint64_t gid, uint64_t size, uint64_t ctime,
                      uint64_t mtime);

  // ---- Items, segments and versions ----------------------------------------
  CZnError createNewItem(ItemName& item, const std::string& path, const FileAttribs& attribs,
                         const guid_t& parentGuid, FileType type, const guid_t& linkTarget,
                         bool isNonPrunable);
  CZnError createNewItem(index_iface_props& props, bool isNonPrunable);
  CZnError createSegment(index_iface_props& props, bool isNonPrunable);
  CZnError createSegment(const guid_t& segment, const FileHeaderData& data,
                         const CXFileHeader& header, const std::vector<unsigned char>& xattrs,
                         bool isNonPrunable);
  CZnError updateFileHeader(const guid_t& segment, uint64_t size, time_t mtime, time_t ctime,
                            const guid_t& parentGuid, Range emptyRange);
  CZnError updateHasData(const guid_t& segment, uint16_t hasData);
  CZnError getLatestVersion(const guid_t& objGuid, guid_t& verGuid);
  CZnError readLatestFileHeader(ItemName& item, CXFileHeader& header, FileHeaderData& data,
                                index_iface_props& props);
  CZnError deleteSegment(index_iface_props& props, bool localOnly);

  // ---- Restore (point-in-time views and missing segments) -----------------
  // Rebuilds a missing version segment's header from the index. Until the
  // restore path exists it fails with ENOENT ("no backup copy").
  CZnError restoreFileHeader(const guid_t& objGuid, const guid_t& verGuid,
                             RestoredHeaderData& carrier);

  // ---- Extended attributes (blob format shared with item creation) --------
  static CZnError serializeXattrs(std::vector<unsigned char>& out, const XattrMap& map);
  static CZnError deserializeXattrs(XattrMap& map, const std::vector<unsigned char>& blob);
  static void encodeXattr(std::string& out, const std::vector<unsigned char>& blob);
  static void decodeXattr(std::vector<unsigned char>& out, const std::string& text);

  // ---- Reporting and components (tests, reports) ---------------------------
  DiskCacheContext& diskCacheContext() { return context_; }
  DiskCache& diskCache() { return *diskCache_; }
  index_iface& index() { return *index_; }
  GuidCache<std::string>& pathCache() { return guidCache_; }
  GuidCache<std::string>& versionCache() { return versionCache_; }
  LruCache<std::string, AttribData>& attrCache() { return attrCache_; }
  LruCache<std::string, XattrMap>& xattrCache() { return xattrCache_; }
  PersistentMap<std::string, std::string>& deletedSegments() { return deletedSegments_; }
  uint64_t recoveredSegs() const { return recoveredSegs_.load(); }
  BackupQueue* backupQueue() { return backupQueue_.get(); }
  std::shared_ptr<RestoreInterface> restoreInterface();

 private:
  // Logs the event line to the store's event log when it is enabled.
  void eventLog(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // "%s: %s" at level 4 for ENOSPC, else at -1.
  static void logCreateError(const CZnError& err);
  // Deletes a segment found unreadable and counts it.
  void dropDamagedSegment(const guid_t& segment);

  ObjectContainer& container_;
  std::shared_ptr<DiskCache> diskCache_;
  std::shared_ptr<index_iface> index_;  // owned by the container's share record
  std::shared_ptr<RestoreInterface> restore_;  // guarded by restoreLock_
  std::mutex restoreLock_;

  GuidCache<std::string> guidCache_;     // path cache "guid": object GUID <-> path
  GuidCache<std::string> versionCache_;  // "version": object GUID -> current version
  LruCache<std::string, AttribData> attrCache_;
  LruCache<std::string, XattrMap> xattrCache_;

  ObjectStoreConfig config_;
  guid_t rootGuid_;
  std::string rootName_;        // name + "_" + decimal subclient
  std::string snapshotSuffix_;  // lower-case hex of timestamp
  std::string subclientText_;   // decimal subclient
  std::string storeDir_;
  std::atomic<bool> readOnly_{false};
  std::atomic<bool> discardWrites_{false};
  bool saveCorruptSegments_ = false;
  int shareSizeUpdateInterval_ = 0;
  std::atomic<int64_t> lastShareSizeFetch_{0};

  DiskCacheContext context_;
  PersistentMap<std::string, std::string> deletedSegments_;  // object/extent GUID -> version
  std::mutex backupFilterLock_;  // leaf lock; guards backupFilterTokens_
  std::vector<std::string> backupFilterTokens_;
  std::unique_ptr<BackupQueue> backupQueue_;

  std::unique_ptr<CZnLogger> eventLogger_;
  bool eventLogEnabled_ = false;
  std::atomic<bool> active_{false};
  std::atomic<uint64_t> recoveredSegs_{0};
};

}  // namespace ObjectStore
