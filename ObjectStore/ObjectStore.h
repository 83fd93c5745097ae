// ObjectStore::ObjectStore: one open view of one share — the live share
// (timestamp 0) or a point-in-time view of it.
//
// The container constructs a store, calls initialize() and from then on runs
// every file-system operation of that view on it. The implementation is split
// by concern over several ObjectStore*.cpp files that all implement this one
// class:
//   ObjectStoreStartup.cpp      construction, initialize, uninitialize,
//                               updateObjectStore, createRootDir, event log
//   ObjectStoreIndexAccess.cpp  property lookup through caches, headers and
//                               the index; adding and deleting index records
//   ObjectStoreSegments.cpp     reading, validating and upgrading headers
//   ObjectStoreItems.cpp        new items and segments, header updates,
//                               versions, deletes, the pruning decision
//   Xattrs.cpp                  the extended-attribute blob
//
// Locks, outermost first (a lock may only be taken while holding locks that
// come before it):
//   1. the open-extent lock of one extent segment (OpenExtentInfo::lock)
//   2. the item lock of one object (OpenFileInfo::lock); the open-file table
//      lock is never held together with an item lock — open and close hand
//      over from one to the other
//   3. the dirent-cache mutex (dirEntCache_), never across disk I/O
//   4. each cache's own mutex (guidCache_, versionCache_, attrCache_,
//      xattrCache_, deletedSegments_); no two cache mutexes are held at once
//   5. the backup queue lock (innermost)
// restoreLock_ and backupFilterLock_ are leaf locks: nothing is called while
// holding them. The container's storesLock is held (shared) around every call
// into a store except initialize().
//
// Thread safety: after initialize() returns, every method may be called from
// any thread; initialize() and uninitialize() are called by the container
// with no operation running on the store.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
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
#include "platform/support/CZnLogger.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

class ObjectContainer;
class RestoreInterface;

// The map of an item's extended attributes (name -> value), byte order.
using XattrMap = std::map<std::string, std::vector<unsigned char>>;

class ObjectStore {
 public:
  using IndexProps = index_iface_props;

  // The container keeps the share's index alive for as long as the store
  // exists; the disk cache is shared by every store of the container.
  ObjectStore(ObjectContainer& container, std::shared_ptr<DiskCache> diskCache,
              std::shared_ptr<index_iface> index);
  // Destroys the members in reverse order. Does not unregister from the disk
  // cache: the container calls uninitialize() first.
  ~ObjectStore();
  ObjectStore(const ObjectStore&) = delete;
  ObjectStore& operator=(const ObjectStore&) = delete;

  // ---- Start-up and configuration ------------------------------------------
  // storeDir: the store's own directory (made by the container); the
  // persistent cache files live in it. Each failing step returns its error at
  // once; earlier steps are not undone (the container then calls
  // uninitialize() and discards the store).
  CZnError initialize(const ObjectStoreConfig& config, const std::string& storeDir);
  // Unregisters from the disk cache when registered (its error is ignored)
  // and makes the store inactive. Always succeeds.
  CZnError uninitialize();
  // Applies the flagged changes in order; see ObjectStoreUpdates.
  CZnError updateObjectStore(const ObjectStoreUpdates& updates);
  // Finds the share's root in the index or creates it; called by initialize.
  CZnError createRootDir(const FileAttribs& attribs);

  bool isActive() const { return active_.load(); }
  const std::string& getRootName() const { return rootName_; }
  uint64_t getSubclient() const { return config_.subclient; }
  // The configuration as opened. Settings that updateObjectStore changes are
  // read through their own accessors below.
  const ObjectStoreConfig& getConfig() const { return config_; }
  const guid_t& getRootGuid() const { return rootGuid_; }
  bool isReadOnly() const { return readOnly_.load(); }
  bool discardsWrites() const { return discardWrites_.load(); }
  int copyPrecedence();
  std::string backupFilter();
  std::vector<std::string> backupFilterTokens();
  unsigned int versionInterval() const { return versionInterval_.load(); }
  int shareSizeUpdateInterval() const { return shareSizeUpdateInterval_; }
  bool saveCorruptSegments() const { return saveCorruptSegments_; }
  bool eventLogEnabled() const { return eventLogger_.isInitialized(); }
  const std::string& snapshotSuffix() const { return snapshotSuffix_; }
  const std::string& storeDir() const { return storeDir_; }

  // ---- Identifiers ---------------------------------------------------------
  // The directory version name of a directory for this store's point in time:
  // getDirVersion for index lookups, rename and unlink; fullDirGuid where
  // entry lists are read and written. Both give dirGuid + "-" + suffix.
  guid_t getDirVersion(const guid_t& dirGuid) const;
  guid_t fullDirGuid(const guid_t& dirGuid) const;
  // Path cache lookup (path -> object GUID); used by ItemName::getObjGuid.
  CZnError findGuidInPathCache(guid_t& guid, const std::string& path);

  // ---- Index access and property lookup -----------------------------------
  // Lookups by GUID or path as of this store's time (timestamp; 0 = latest).
  // In a view that discards writes, items deleted or renamed locally are not
  // found there again. Results are recorded in the path and version caches.
  CZnError findObjGuidFromIndex(const guid_t& objGuid, index_iface_props& props);
  CZnError findPathFromIndex(const std::string& path, index_iface_props& props);
  // Properties from the version cache and the current version's header.
  CZnError propsFromDiskCache(const guid_t& objGuid, index_iface_props& props,
                              ShouldRestore restore);
  // Caches and header first, the index second.
  CZnError propsFromGuid(const guid_t& objGuid, index_iface_props& props, ShouldRestore restore);
  CZnError propsFromPath(const std::string& path, index_iface_props& props);
  CZnError propsFromItem(ItemName& item, index_iface_props& props);
  // Records a new version in the index: EINVAL without vtime, EIO when the
  // index refuses it.
  CZnError addToIndex(index_iface_props& props);
  // Records a new version in the caches (persistently when skipIndex) and,
  // unless skipIndex, in the index.
  CZnError addToCacheAndIndex(index_iface_props& props, bool skipIndex);
  // Marks an item (or, with updateSelector 1, an extent) deleted in the index;
  // a view that discards writes leaves the index alone.
  CZnError index_delete_wrapper(index_iface_props& props);
  // seconds * 1e9, or the current time in ns for 0.
  static int64_t getTimeInNs(int64_t seconds);

  // ---- Segment records -----------------------------------------------------
  // Reads the requested sections; a segment that can't be read is deleted
  // (kept aside with saveCorruptSegments) and counted in recoveredSegs, and
  // the read error is returned. A header section shorter than the current
  // record is upgraded in place first. touch is false only for the pruner.
  CZnError readSectionsFromDiskCache(const guid_t& segment, std::vector<Section>& sections,
                                     bool touch);
  CZnError readAllSectionsFromDiskCache(const guid_t& segment, std::vector<SectionV>& sections);
  // Rewrites a segment whose header section predates the current version.
  CZnError upgradeSegment(const guid_t& segment, std::vector<SectionV>& sections);
  // Both header records of segment verGuid, from the attribute cache or the
  // disk (validated), or restored from backup when allowed and missing.
  CZnError readFileHeader(CXFileHeader& header, FileHeaderData& data, const guid_t& objGuid,
                          const guid_t& verGuid, ShouldRestore restore);
  // The header data only; never validates or restores.
  CZnError readFileHeaderData(FileHeaderData& data, const guid_t& segment);
  CZnError cxFromProps(CXFileHeader& header, FileHeaderData& data, const index_iface_props& props);
  void createMetaData(CXFileHeader* header, const guid_t& objGuid, const guid_t& verGuid,
                      uint64_t mode, uint64_t uid, uint64_t gid, uint64_t size, uint64_t ctime,
                      uint64_t mtime);

  // ---- Items, segments and versions ----------------------------------------
  // A new object with its first version; on success item.objGuid and
  // item.verGuid are set. isNonPrunable: the segment exists only locally
  // (its index record is skipped too).
  CZnError createNewItem(ItemName& item, const std::string& path, const FileAttribs& attribs,
                         const guid_t& parentGuid, FileType type, const guid_t& linkTarget,
                         bool isNonPrunable);
  CZnError createNewItem(index_iface_props& props, bool isNonPrunable);
  CZnError createSegment(index_iface_props& props, bool isNonPrunable);
  CZnError createSegment(const guid_t& segment, const FileHeaderData& data,
                         const CXFileHeader& header, const std::vector<unsigned char>& xattrs,
                         bool isNonPrunable);
  // Writes size, empty range and (when given: non-zero / non-empty) mtime,
  // ctime and parent into the segment's header records. A failed write is
  // returned after the segment was deleted (unless it was missing), so that
  // a later read restores it.
  CZnError updateFileHeader(const guid_t& segment, uint64_t size, time_t mtime, time_t ctime,
                            const guid_t& parentGuid, Range emptyRange);
  CZnError updateHasData(const guid_t& segment, uint16_t hasData);
  CZnError getLatestVersion(const guid_t& objGuid, guid_t& verGuid);
  CZnError readLatestFileHeader(ItemName& item, CXFileHeader& header, FileHeaderData& data,
                                index_iface_props& props);
  // localOnly: delete the version segment here and remember it in
  // deleted_segments, leaving the index alone; otherwise mark the item
  // deleted in the index and leave the segment.
  CZnError deleteSegment(index_iface_props& props, bool localOnly);

  // ---- Pruning (called on the disk cache's pruner thread) ------------------
  // True when the segment may go; the store has then deleted it itself.
  bool pruneFile(const std::string& path, const guid_t& segment);
  bool pruneIfNotInUse(const guid_t& segment);

  // ---- Restore (point-in-time views and missing segments) -----------------
  // Rebuilds a missing version segment's header from the index and the
  // backup. The restore path comes with the restore issue; until then this
  // fails with ENOENT.
  CZnError restoreFileHeader(const guid_t& objGuid, const guid_t& verGuid,
                             RestoredHeaderData& carrier);

  // ---- Extended attributes (blob format shared with item creation) --------
  // Clears out and encodes the map; EOVERFLOW for counts or sizes beyond 32
  // bits.
  static CZnError serializeXattrs(std::vector<unsigned char>& out, const XattrMap& map);
  // Adds the blob's entries to map (not cleared first); EINVAL for a
  // malformed blob, keeping the entries decoded before the fault.
  static CZnError deserializeXattrs(XattrMap& map, const std::vector<unsigned char>& blob);
  // The blob as the index keeps it (base64) and back. decodeXattr returns
  // false for text that is not base64; out then holds what could be decoded.
  static void encodeXattr(std::string& out, const std::vector<unsigned char>& blob);
  static bool decodeXattr(std::vector<unsigned char>& out, const std::string& text);

  // ---- Components (reports, tests) ----------------------------------------
  DiskCacheContext& diskCacheContext() { return context_; }
  DiskCache& diskCache() { return *diskCache_; }
  index_iface& index() { return *index_; }
  GuidCache<std::string>& pathCache() { return guidCache_; }
  GuidCache<std::string>& versionCache() { return versionCache_; }
  LruCache<std::string, AttribData>& attrCache() { return attrCache_; }
  LruCache<std::string, XattrMap>& xattrCache() { return xattrCache_; }
  PersistentMap<std::string, std::string>& deletedSegments() { return deletedSegments_; }
  uint64_t recoveredSegs() const { return recoveredSegs_.load(); }
  std::shared_ptr<RestoreInterface> restoreInterface();

 private:
  // Writes one line to the store's event log when it is enabled.
  void eventLog(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Builds a new restore-library instance for the subclient with the given
  // copy precedence (EINVAL, logged, when the library can't serve it).
  CZnError makeRestoreInterface(int copyPrecedence, std::shared_ptr<RestoreInterface>& out);
  // Fills the disk-cache context and registers it.
  CZnError registerDiskCacheContext();
  void readRegistrySettings();
  void openEventLog();
  // Deletes a segment that could not be read and counts it.
  void dropDamagedSegment(const guid_t& segment);
  // Writes header fields; on failure logs, deletes the segment unless it
  // is missing (so that a later read restores it) and returns the error.
  CZnError writeHeaderSections(const guid_t& segment, const std::vector<Section>& writes);

  ObjectContainer& container_;
  std::shared_ptr<DiskCache> diskCache_;
  std::shared_ptr<index_iface> index_;  // owned by the container's share record

  // The restore library instance; replaced by a copy-precedence update.
  HxCriticalSection restoreLock_;  // leaf lock
  std::shared_ptr<RestoreInterface> restore_ OS_GUARDED_BY(restoreLock_);
  int copyPrecedence_ OS_GUARDED_BY(restoreLock_) = 0;

  GuidCache<std::string> guidCache_;     // path cache "guid": object GUID <-> path
  GuidCache<std::string> versionCache_;  // "version": object GUID -> current version
  LruCache<std::string, AttribData> attrCache_;  // segment name -> header records
  LruCache<std::string, XattrMap> xattrCache_;   // version GUID -> extended attributes

  // Set by initialize(), read-only afterwards.
  ObjectStoreConfig config_;
  guid_t rootGuid_;
  std::string rootName_;        // name + "_" + decimal subclient
  std::string snapshotSuffix_;  // lower-case hex of timestamp
  std::string subclientText_;   // decimal subclient
  std::string storeDir_;
  bool saveCorruptSegments_ = false;
  int shareSizeUpdateInterval_ = 0;  // seconds a fetched share size stays valid
  std::atomic<int64_t> lastShareSizeFetch_{0};

  std::atomic<bool> readOnly_{false};
  std::atomic<bool> discardWrites_{false};
  std::atomic<unsigned int> versionInterval_{0};

  DiskCacheContext context_;
  bool contextRegistered_ = false;  // changed only by initialize/uninitialize
  // object/extent GUID -> version of a segment deleted locally.
  PersistentMap<std::string, std::string> deletedSegments_;

  HxCriticalSection backupFilterLock_;  // leaf lock
  std::string backupFilter_ OS_GUARDED_BY(backupFilterLock_);
  std::vector<std::string> backupFilterTokens_ OS_GUARDED_BY(backupFilterLock_);
  // The backup queue of the live writable share comes with the backup issue.

  CZnLogger eventLogger_;  // opened by initialize when event logging is on
  std::atomic<bool> active_{false};
  std::atomic<uint64_t> recoveredSegs_{0};
};

}  // namespace ObjectStore
