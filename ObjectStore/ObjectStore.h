// ObjectStore::ObjectStore: one open view of one share — the live share
// (timestamp 0) or a point-in-time view of it.
//
// The container constructs a store, calls initialize() and from then on runs
// every file-system operation of that view on it. The implementation is split
// by concern over several ObjectStore*.cpp files that all implement this one
// class:
//   ObjectStoreStartup.cpp      construction, initialize, uninitialize,
//                               updateObjectStore, createRootDir, event log,
//                               finishing interrupted removals
//   ObjectStoreIndexAccess.cpp  property lookup through caches, headers and
//                               the index; adding and deleting index records
//   ObjectStoreSegments.cpp     reading, validating and upgrading headers
//   ObjectStoreItems.cpp        new items and segments, header updates,
//                               versions, deletes, the pruning decision
//   ObjectStoreOpenFiles.cpp    the open-file and open-extent tables, open,
//                               close, new versions, copySegment
//   ObjectStoreLocks.cpp        byte-range locks
//   ObjectStoreDirEnt.cpp       directory entry lists and the dirent cache
//   ObjectStorePaths.cpp        path lookup, getattr, guid/path, statfs
//   ObjectStoreCreate.cpp       creating files, directories and links
//   ObjectStoreAttributes.cpp   setattr, chmod, chown, utimes, updateTimes
//   ObjectStoreExtents.cpp      extent I/O, the extent map, empty ranges
//   ObjectStoreTruncate.cpp     file size, truncate, fsync
//   ObjectStoreListing.cpp      readdir and directory handles
//   ObjectStoreRemoveRename.cpp unlink, rmdir, rename
//   ObjectStoreRestore.cpp      segments, headers and entry lists restored
//                               from the index and the backup
//   ObjectStoreCollectFiles.cpp replaying the index's change feed
//   ObjectStoreReports.cpp      status, counters and debug commands
//   Xattrs.cpp                  extended attributes and their blob
//
// Locks, outermost first (a lock may only be taken while holding locks that
// come before it):
//   0. renameLock_: one rename (file or directory) at a time
//   1. the open-extent lock of one extent segment (OpenExtentInfo::lock)
//   2. the item lock of one object (OpenFileInfo::lock); open and close
//      hand over between it and the open-file table lock instead of nesting
//      them, and nothing waits for an item lock while holding the table
//      lock, so the table lock may be taken briefly inside an item lock
//      (openWriters, getattr's open size) but never the other way round.
//      Creating an item takes its parent's creation stripe (see
//      ObjectStoreCreate.cpp) before any item lock.
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

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ObjectStore/DirEntCache.h"
#include "ObjectStore/GuidCache.h"
#include "ObjectStore/Handles.h"
#include "ObjectStore/Identifiers.h"
#include "ObjectStore/IntentLog.h"
#include "ObjectStore/ItemName.h"
#include "ObjectStore/ObjectStoreConfig.h"
#include "ObjectStore/OpenFileInfo.h"
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

class BackupQueue;
class ObjectContainer;
class RestoreInterface;

// The map of an item's extended attributes (name -> value), byte order.
using XattrMap = std::map<std::string, std::vector<unsigned char>>;

// A caller's request to receive restored bytes directly: `length` bytes of
// the restored segment data from `offset` into `buffer`. On return `length`
// holds the bytes delivered.
struct RestoreData {
  char* buffer = nullptr;
  uint32_t length = 0;
  uint32_t offset = 0;
};

// The largest number of children asked for when a whole directory is read.
inline constexpr size_t DIRENT_READ_ALL = 0x7fffffff;

// Adjusts handle's empty range after extent `extent` was written (the open
// file's size is still the size before the write). REQUIRES: the item lock.
void updateEmptyRange(const guid_t& objGuid, FileHandle& handle, const uint64_t& extent);

// Debug command numbers (defined with ObjectContainer).
enum DebugCommand : int;

// Report entries: stats[prefix + name] = value (decimal for numbers); a later
// entry with the same key replaces the earlier one.
void pushStat(std::map<std::string, std::string>& stats, const std::string& name, uint64_t value,
              const std::string& prefix = "");
void pushStat(std::map<std::string, std::string>& stats, const std::string& name,
              const std::string& value, const std::string& prefix = "");
// The eleven statistics of a GUID cache under prefix.
void getCacheStats(std::map<std::string, std::string>& stats, const GuidCacheStats& cacheStats,
                   const std::string& prefix);

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
  // Writes only the parent field of the segment's header (a hint that
  // unlink and rename start from) and forgets its cached attributes.
  CZnError setHeaderParent(const guid_t& segment, const guid_t& parentGuid);
  CZnError getLatestVersion(const guid_t& objGuid, guid_t& verGuid);
  CZnError readLatestFileHeader(ItemName& item, CXFileHeader& header, FileHeaderData& data,
                                index_iface_props& props);
  // localOnly: delete the version segment here and remember it in
  // deleted_segments, leaving the index alone; otherwise mark the item
  // deleted in the index and leave the segment.
  CZnError deleteSegment(index_iface_props& props, bool localOnly);

  // ---- Open files and handles -----------------------------------------------
  // Opens an item for reading, or for writing when the access mode of flags
  // is O_WRONLY or O_RDWR (no other bit is read). newVersion: a write open
  // starts a new version of the file (see versionInterval); EAGAIN when the
  // file is already open for writing. EPERM for a write open of a read-only
  // store, ENOENT for an item that does not exist.
  CZnError open(FileHandle& handle, ItemName& item, int flags, bool newVersion);
  // One more user of an already open handle; ENOENT when it was closed.
  CZnError openInternal(FileHandle& handle);
  // Writes a changed size back, drops a client handle's byte-range locks and
  // uncounts the handle; the record goes with its last user. When the size
  // can't be written the handle stays open and the error is returned.
  CZnError close(FileHandle& handle, IsInternal internal);
  void openExtent(ExtentHandle& handle, const std::string& name);
  void closeExtent(ExtentHandle& handle);
  // Copies segment `from` to `to` with a renewed header (name, times,
  // version time) and, unless noIndex, records the copy in the index. A
  // source that is missing or damaged is restored first.
  CZnError copySegment(const guid_t& from, const guid_t& to, index_iface_props& props,
                       bool noIndex);
  // The open record of an object, or null. For tests and reports.
  OpenFileInfo* findOpenFile(const guid_t& objGuid);
  // The record's write users. Takes the open-file table lock briefly; that
  // is safe inside an item lock because nothing waits for an item lock while
  // holding the table lock.
  int32_t openWriters(const OpenFileInfo& info);

  // ---- Byte-range locks --------------------------------------------------------
  // Advisory locks on an open item (request.fh names it); never blocks.
  CZnError lock(const LockInfo& request, LockInfo& conflict);
  CZnError unlock(const LockInfo& request);
  CZnError telllock(const LockInfo& request, bool& locked);
  CZnError clearAllLocksWithFh(FileHandle& fh);
  // REQUIRES: the item lock of request.fh's record.
  CZnError validateLock(const LockInfo& request, LockInfo& conflict);
  bool isRangeLocked(const LockInfo& request, LockInfo& conflict);

  // ---- Directory entries ---------------------------------------------------------
  // Up to max children of dir from index offset, the directory's parent and
  // whether the listing reached its end. The last flag is not used.
  CZnError readDirEnt(GuidPathList& out, guid_t& parent, bool& done, ItemName& dir,
                      size_t offset, size_t max, bool unused = false);
  CZnError addToDirEnt(const guid_t& dirGuid, const guid_t& childGuid, const std::string& name,
                       bool restore);
  CZnError removeFromDirEnt(guid_t dirGuid, const guid_t& childGuid, const std::string& name);
  // Cuts a directory's data section back to the end of its entry list. A
  // removal rewrites the list in place and then shortens the section: cut
  // off in between, it leaves old bytes after the new terminator, and the
  // next append would go after them, where no reader looks.
  CZnError trimEntryList(const guid_t& dirGuid);
  void addToDirCache(const guid_t& parent, const guid_t& dirGuid, const GuidPathList& children);
  void addToDirCache(const guid_t& dirGuid, const guid_t& childGuid, const std::string& name,
                     bool restore);
  // A directory-entry user counts as a writer of the directory's record.
  CZnError openDirEntry(const guid_t& dirGuid, OpenFileInfo** out);
  CZnError closeDirEntry(const guid_t& dirGuid);
  // Rebuilds a directory's entry list (and, when missing, its segment) from
  // the index as of the store's time; an already complete list is returned
  // as it is.
  CZnError restoreDirEnt(const guid_t& dirGuid, GuidPathList& children, guid_t& parentGuid);
  LruCache<std::string, DirEntInfo>& dirEntCache() { return dirEntCache_; }

  // ---- Paths, getattr, statfs -------------------------------------------------------
  // Resolves a full path; an item that does not exist succeeds with an
  // empty GUID.
  CZnError lookupPathInDirEnt(guid_t& guid, const std::string& path);
  CZnError lookupPathInDirEnt(guid_t& guid, ItemName& parent, const std::string& name);
  CZnError getattr(ItemName& item, struct stat& st);
  CZnError guidToPath(const guid_t& guid, std::string& path);
  CZnError pathToGuid(guid_t& guid, const std::string& path);
  CZnError statfs(struct statfs& buf);
  void cxHeaderToStat(struct stat& st, const guid_t& objGuid, const CXFileHeader& header);

  // ---- Creating items -------------------------------------------------------------
  CZnError create(ItemName& item, index_iface_props& parentProps, const std::string& name,
                  mode_t mode, FileType type, const guid_t& linkTarget);
  CZnError create(ItemName& parent, ItemName& item, const std::string& name, mode_t mode,
                  FileType type);
  CZnError create(ItemName& item, const std::string& path, mode_t mode, FileType type);
  CZnError mkdir(ItemName& parent, ItemName& item, const std::string& name, mode_t mode);
  CZnError mkdir(ItemName& item, const std::string& path, mode_t mode);
  CZnError createSymbolicLink(ItemName& item, const std::string& target, ItemName& parent,
                              const std::string& name);
  CZnError createSymbolicLink(ItemName& item, const std::string& target,
                              const std::string& linkPath);
  CZnError addLinkData(const guid_t& versionGuid, const guid_t& target);
  CZnError readLink(ItemName item, std::string& target);
  CZnError createAndOpen(FileHandle& handle, ItemName& parent, const std::string& name,
                         struct stat& st, int flags);
  bool isFileFiltered(const std::string& path);
  CZnError isFileFiltered(bool& filtered, ItemName& item, index_iface_props& props);

  // ---- Attributes -------------------------------------------------------------------
  CZnError setattr(ItemName& item, const struct stat& st);
  CZnError chmod(ItemName& item, mode_t mode);
  CZnError chown(ItemName& item, uid_t uid, gid_t gid);
  CZnError utimes(ItemName& item, const timeval& atime, const timeval& mtime);
  CZnError updateTimes(const guid_t& objectGuid, const guid_t& versionGuid);

  // ---- File data ---------------------------------------------------------------------
  CZnError write(FileHandle& handle, const char* buf, uint64_t& len, uint64_t offset, Sync sync);
  // len: in, bytes wanted; out, bytes delivered.
  CZnError read(FileHandle& handle, char* buf, uint64_t offset, uint64_t& len);
  CZnError writeExtent(FileHandle& handle, uint64_t extent, const char* buf, uint64_t len,
                       uint64_t offsetInExtent, Sync sync);
  CZnError readExtent(FileHandle& handle, uint64_t extent, char* buf, uint64_t& len,
                      uint64_t offsetInExtent);
  // REQUIRES: the item lock of handle's record.
  CZnError fillFileExtents(FileHandle& handle);
  // What a write does to the file's empty range before `extent` gets data;
  // on an error the range is left as it was. REQUIRES: handle.info->lock.
  CZnError takeOutOfTheHole(FileHandle& handle, uint64_t extent);
  // Empties this version's segments of extents [first, end), which lie in
  // the file's empty range (what killed writes left there). REQUIRES:
  // handle.info->lock held.
  CZnError clearWritesLeftInTheHole(FileHandle& handle, uint64_t first, uint64_t end);
  CZnError browseFileExtentsToMap(FileHandle& handle,
                                  std::map<std::string, index_iface_props>& map);
  CZnError undeleteExtent(const guid_t& extentGuid, const guid_t& extentVersion,
                          OpenFileInfo& info);
  // Rebuilds a missing extent segment from the backup (and, with data, also
  // delivers its bytes). REQUIRES: the item lock, which is released while the
  // bytes are transferred.
  CZnError restoreExtent(FileHandle& handle, const guid_t& extentGuid, const RestoreData* data);
  // Hands a written extent segment to the backup queue; nothing for a store
  // without one (views, read-only and discard-writes stores).
  void pushToBackupQueue(const guid_t& segment);

  // ---- Size, truncate, fsync --------------------------------------------------------
  // REQUIRES: the item lock of handle's record.
  CZnError updateFileSize(FileHandle& handle);
  CZnError truncate(ItemName& item, uint64_t size, bool newVersion);
  // REQUIRES: a write handle; takes its item lock.
  CZnError _truncate(FileHandle& handle, uint64_t size, bool newVersion);
  // Drops every byte past `size` from the file's extents: whole extents past
  // it go, and the extent holding the last byte loses its tail (restored
  // first when it is not local). findStrays: also look for extents past the
  // size that the extent map does not hold (the index's, and unrecorded
  // local ones). REQUIRES: a write handle and its item lock, which is
  // released while an extent is restored.
  CZnError cutExtentsPast(FileHandle& handle, uint64_t size, bool findStrays);
  CZnError fsync(ItemName& item);

  // ---- Directory listing -------------------------------------------------------------
  CZnError readdir(ItemName& dir, GuidPathList& out, size_t offset, size_t max, bool& done);
  CZnError opendir(DirHandle** handle, ItemName& dir);
  CZnError readdir(DirHandle* handle, struct dirent** out, guid_t& guid);
  CZnError readdir_ex(DirHandle* handle, struct dirent** out, guid_t& guid, struct stat& st,
                      uint64_t* cookie);
  CZnError seekdir(DirHandle* handle, unsigned long position);
  CZnError telldir(const DirHandle* handle, unsigned long& position);
  CZnError closedir(const DirHandle* handle);

  // ---- Removing and renaming -----------------------------------------------------------
  CZnError unlink(ItemName& item);
  CZnError rmdir(ItemName& item);
  CZnError rename(const std::string& from, const std::string& to, bool newVersion);
  CZnError renameDir(const std::string& to, ItemName& from, CXFileHeader& header,
                     FileHeaderData& data, index_iface_props& props);
  // After a rename whose entry lists could not follow the index: records
  // the object under its old name again (before) instead of the new one
  // (after), and the caches with it. Logged when that fails too.
  void undoIndexRename(const index_iface_props& before, const index_iface_props& after,
                       bool isDirectory);

  // ---- Extended attributes -------------------------------------------------------------
  CZnError readXattrFromSegment(std::vector<unsigned char>& out, const guid_t& versionGuid,
                                const guid_t& objectGuid);
  CZnError writeXattrDataToSegment(const guid_t& versionGuid,
                                   const std::vector<unsigned char>& blob);
  CZnError sendXattrsToIndex(std::vector<unsigned char>& blob, const guid_t& objectGuid,
                             const guid_t& versionGuid);
  CZnError readAllXattrs(XattrMap& map, ItemName& item);
  CZnError setxattr(ItemName& item, const std::string& name,
                    const std::vector<unsigned char>& value);
  CZnError getxattr(ItemName& item, const std::string& name, std::vector<unsigned char>& value);
  CZnError listxattr(ItemName& item, std::vector<std::string>& names);
  CZnError removexattr(ItemName& item, const std::string& name);

  // ---- Pruning (called on the disk cache's pruner thread) ------------------
  // True when the segment may go; the store has then deleted it itself.
  bool pruneFile(const std::string& path, const guid_t& segment);
  bool pruneIfNotInUse(const guid_t& segment);

  // ---- Restore (point-in-time views and missing segments) -----------------
  // Rebuilds a missing version segment of a file or link from its index
  // record (header records, link data, xattrs) and hands the records back;
  // a directory is restored with its entry list.
  CZnError restoreFileHeader(const guid_t& objGuid, const guid_t& verGuid,
                             RestoredHeaderData& carrier);
  // Brings one segment's data back from the backup (its afile location in
  // props) and creates the segment; with data, also delivers bytes of it.
  CZnError restoreSegment(index_iface_props& props, RestoreData* data);
  // The same for a version named by GUIDs (looked up in the index as of the
  // store's time; EINVAL when it is not the version found there).
  CZnError restoreSegment(const guid_t& objGuid, const guid_t& verGuid);

  // ---- Collect-file sync -----------------------------------------------------
  // Replays the index's changes recorded while the local cache did not follow
  // them onto the entry lists and headers present locally. Always succeeds.
  CZnError syncCollectFiles();

  // ---- Backup ------------------------------------------------------------------
  // The live writable share's backup queue; null for every other view.
  BackupQueue* backupQueue() { return backupQueue_.get(); }

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
  IntentLog& intentLog() { return intentLog_; }
  // Tries again the removals of this run whose entry-list change failed
  // (the items are deleted from the index but still listed), and the renames
  // that failed without putting the lists back as they were. Cheap when
  // there are none: the container calls it before every operation.
  void finishLeftRemovalsIfAny() {
    if (intentLog_.hasLeft()) finishLeftRemovals();
  }
  uint64_t recoveredSegs() const { return recoveredSegs_.load(); }
  std::shared_ptr<RestoreInterface> restoreInterface();

  // ---- Reports and debug commands (ObjectStoreReports.cpp) ----------------
  // Every key carries prefix.
  void getStatus(std::map<std::string, std::string>& status, const std::string& prefix);
  void getCounters(std::map<std::string, std::string>& counters);
  // Resets recoveredSegs, the index's, the backup queue's and controller's
  // counters and the attribute cache's statistics; the other caches keep
  // theirs.
  void clearCounters();
  void getStatusVerGuid(std::map<std::string, std::string>& status, const guid_t& verGuid);
  // Cleared first.
  CZnError getGuiStats(std::vector<std::pair<std::string, std::string>>& stats);
  // Does nothing unless "nEnableDbgCmds" is set; unknown commands are ignored.
  void processDbgCommand(const std::string& command);
  void debugCmd(DebugCommand command);

 private:
  // Writes one line to the store's event log when it is enabled.
  void eventLog(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Builds a new restore-library instance for the subclient with the given
  // copy precedence (EINVAL, logged, when the library can't serve it).
  CZnError makeRestoreInterface(int copyPrecedence, std::shared_ptr<RestoreInterface>& out);
  // Fills the disk-cache context and registers it.
  CZnError registerDiskCacheContext();
  void readRegistrySettings();
  // Opens the store's log of namespace changes and finishes the removals
  // and renames an earlier run left half done.
  CZnError finishInterruptedRemovals();
  void finishLeftRemovals();
  // Finishes one removal: the entry goes when the index has deleted the
  // item. False when that can't be done or told now.
  bool finishRemoval(const IntentLog::Removal& removal);
  // Makes the entry lists agree with where the index has a renamed item.
  // False when that can't be done or told now.
  bool finishMove(const IntentLog::Move& move);
  void openEventLog();
  // Deletes a segment that could not be read and counts it.
  void dropDamagedSegment(const guid_t& segment);
  // After a failed read: drops the segment when the failure says it is
  // damaged, keeps it (and logs) when the failure was the system's.
  void dropIfDamaged(const guid_t& segment, const CZnError& readErr);
  // Writes header fields; on failure logs, deletes the segment unless it
  // is missing (so that a later read restores it) and returns the error.
  CZnError writeHeaderSections(const guid_t& segment, const std::vector<Section>& writes);
  // Brings back a missing version segment of a file, link or directory from
  // the index (header records, link data, xattrs, entry list) so that a
  // write into its header or xattr sections can go ahead: a pruned item is
  // still written to while its records are cached. ENOENT when the segment
  // is an extent or its object is not known here.
  CZnError restoreMissingVersionSegment(const guid_t& segment);
  // The new-version step of open for a write open that asked for one; on
  // success verGuid names the version the handle is bound to (unchanged
  // when the version interval has not passed). REQUIRES: the item lock.
  CZnError newVersionOnOpen(const guid_t& objGuid, guid_t& verGuid);
  // Copies extent extentGuid from the older version's segment (older.verGuid)
  // into segment, restoring the older one first when it is missing, and
  // points the open file's extent map and the version cache at segment. Takes
  // the item lock where needed unless the caller already holds it.
  CZnError copyExtentIntoVersion(FileHandle& handle, const guid_t& extentGuid,
                                 const index_iface_props& older, const guid_t& segment);

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
  // Made by initialize for the live writable share only; destroyed (after
  // draining what it can) by uninitialize.
  std::unique_ptr<BackupQueue> backupQueue_;

  // Removals in progress, so that the next start finishes one a killed
  // process left half done. Open on the live writable share only.
  IntentLog intentLog_;
  // One thread at a time finishes left removals; the others go on.
  std::mutex leftRemovalsLock_;

  // Serialises renames; taken before any other lock of the store.
  std::mutex renameLock_;
  // Open-file table: object GUID -> record (owned). Never held while an item
  // lock is taken (see the lock order above).
  HxCriticalSection openFilesLock_;
  std::map<guid_t, OpenFileInfo*> openFiles_ OS_GUARDED_BY(openFilesLock_);
  // Open-extent table: extent segment name -> record (owned). Held only
  // inside openExtent/closeExtent.
  HxCriticalSection openExtentsLock_;
  std::map<std::string, OpenExtentInfo*> openExtents_ OS_GUARDED_BY(openExtentsLock_);
  // Directory object GUID -> parsed entry list; its own mutex is the
  // dirent-cache lock.
  LruCache<std::string, DirEntInfo> dirEntCache_;
  // The share size last fetched for statfs (blocks of the local f_bsize).
  std::atomic<uint64_t> shareTotalBlocks_{0};
  std::atomic<uint64_t> shareFreeBlocks_{0};

  CZnLogger eventLogger_;  // opened by initialize when event logging is on
  std::atomic<bool> active_{false};
  std::atomic<uint64_t> recoveredSegs_{0};
};

}  // namespace ObjectStore
