// index_iface: the index service of one share, on SQLite.
//
// The index is the durable record of a share. It keeps, for every object
// (file, directory, symbolic link) and every extent of a file:
//   - every version (verGuid) with its creation time vtime (ns);
//   - the attributes of each version as they changed over time (size, mode,
//     uid, gid, times, link target, the "xattr" custom property), so that a
//     query as of a time returns the attributes in force then;
//   - the object's name history (path and parent over time: renames of a
//     file, and of a directory with everything below it);
//   - deletion (dtime, seconds);
//   - where each backed-up version or extent segment lies in the backup
//     (afile id and offset, with the time of the commit).
//
// Time. Queries carry before_time in seconds: 0 means the latest state;
// otherwise the state at the end of second before_time (every change stamped
// at or before before_time, and none after it): a change stamped s ns is part
// of the answer exactly when s < (before_time + 1) * 1e9. Changes are stamped
// with the times the store gives (vtime in ns, dtime in seconds) or, for
// attribute updates, renames and backup locations, with the platform clock
// (Clock.h), so tests can control time. Within one entity's history the
// record written last wins among those that are part of the answer, so two
// changes stamped in the same second still come out in the order they were
// made.
//
// Results: 0 for success, otherwise an errno value (ENOENT when nothing
// matches, EINVAL for bad input, EEXIST for a version recorded twice, EIO for
// a storage failure or a damaged database, ENOSPC when the volume is full,
// EBUSY when another writer held the database longer than the busy timeout).
// Bad input or a corrupt database file gives an error and a logged message,
// never a crash.
//
// Durability. Every change is one SQLite transaction in WAL mode with
// synchronous=NORMAL: a crash of the process loses nothing that returned 0,
// but a power loss may lose the changes committed since the last checkpoint.
// flush() runs a full checkpoint; after it returns every earlier change
// survives a power loss too.
//
// Thread safety: every method may be called from any thread; one connection
// per share, guarded by the object's own lock. Several index_iface objects
// (in this or other processes) may use the same database file; SQLite's
// locking serialises their writes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ObjectStore {

// One item (or extent) version as written and read. A numeric property holds
// all bits set (-1) when absent.
struct index_iface_props {
  uint32_t changeKind = 0;  // change feed: 1 add, 2 update, 3 delete, 4 rename
  std::string name;         // last path component (change records)
  std::string path;         // full path in the share; empty for extents
  std::string verGuid;      // version GUID / directory version name / extent segment name
  std::string objGuid;      // object (or extent) GUID
  std::string parentGuid;   // parent directory (for an extent: the file's GUID)
  bool modeValid = false;
  int mode = -1;  // POSIX mode with type bits
  int64_t size = -1;
  bool uidValid = false;
  int uid = -1;
  bool gidValid = false;
  int gid = -1;
  int64_t atime = -1;  // seconds
  int64_t ctime = -1;
  int64_t mtime = -1;
  int64_t dtime = -1;  // deletion time, seconds; -1 = not deleted
  int64_t vtime = -1;  // version creation time, ns; required by add_item
  uint32_t itemFlag = 0;        // 1 regular file, 0 otherwise
  int64_t extentSize = -1;
  std::string linkTarget;
  uint32_t updateSelector = 0;  // 1: an update of an existing record (extents)
  uint64_t extentNumber = UINT64_MAX;
  int64_t afileId = -1;      // backup location; -1 when unknown
  int64_t afileOffset = -1;
  std::string xattrs;        // encoded extended attributes (from the "xattr" property)
  std::map<std::string, std::string> customProps;
  // Further numeric fields the store carries unchanged.
  int64_t reserved1 = -1;
  int64_t reserved2 = -1;
};

// The custom property holding an item's encoded extended attributes.
inline constexpr const char* XATTR_CUSTOM_PROP = "xattr";

// A query.
struct index_iface_browse_fields {
  index_iface_browse_fields();  // sets now
  uint64_t now = 0;             // current time in ns
  std::string path;
  std::string guid;
  uint64_t reserved1 = 0;
  uint64_t before_time = 0;  // seconds; 0 = latest
  uint64_t reserved2 = 0;
};

class IndexDatabase;

class index_iface {
 public:
  struct args {
    uint64_t subclient = 0;
    int indexParam1 = 100;  // statement cache size (prepared statements kept)
    int indexParam2 = 10;   // busy timeout in seconds for a locked database
    bool caseSensitive = true;
    std::string indexRoot;  // directory holding the share's database
    std::string shareKey;   // database file: <indexRoot>/<shareKey>.db
    uint64_t reserved = 0;
  };

  explicit index_iface(const args& arguments);
  virtual ~index_iface();
  index_iface(const index_iface&) = delete;
  index_iface& operator=(const index_iface&) = delete;

  // Opens (creating when missing) the share's database <indexRoot>/<shareKey>.db
  // and its directory. 0, or EIO (logged) when the file is not a usable index
  // database, EINVAL when indexRoot or shareKey is empty. Also re-enables
  // browses after stop_async_browses. Calling it on an open index is harmless.
  virtual int init();

  // The newest version of fields.guid (object or extent GUID) as of
  // before_time, with its attributes then, its path then, and its backup
  // location. ENOENT when it did not exist then or was deleted by then, and
  // also when no path leads to it then (an ancestor was deleted): a record
  // found for an item always has a path. An extent record has no path; its
  // parentGuid is the file, updateSelector is 1 and extentNumber is set.
  // Filled: path, verGuid, objGuid, parentGuid, mode/uid/gid (+ valid flags),
  // size, times, vtime, itemFlag, extentSize, linkTarget, updateSelector,
  // extentNumber, afileId/afileOffset (see set_backup_location), xattrs (the
  // "xattr" custom property) and customProps; dtime is -1.
  virtual int find_by_guid(const index_iface_browse_fields& fields, index_iface_props& props);
  // The same for the item that had fields.path as of before_time: the path is
  // walked down from the content root by the names in force then (compared
  // without regard to letter case when args.caseSensitive is false). When
  // two live items held one name then, the one that took it last is found.
  // The returned path is spelled with the stored names.
  virtual int find_by_path(const index_iface_browse_fields& fields, index_iface_props& props);
  // Records a new version: objGuid, verGuid and vtime (> 0) required (EINVAL
  // without); EEXIST when this version of this object is already recorded.
  // A first version also records the object: its kind from the mode's type
  // bits (extent when updateSelector is 1 or extentNumber is set) and, for
  // a non-extent, its name from path (last component) under parentGuid
  // (resolved from the path when empty); path "/" is the content root. An
  // extent record belongs to the file parentGuid. A further version takes
  // the fields sent and copies the missing ones from the latest record; its
  // name does not change (renames go through rename_item).
  virtual int add_item(index_iface_props& props);
  // Changes an existing version (objGuid + verGuid; for a directory whose
  // verGuid is unknown, its latest version): every valid field sent (size
  // unless -1, mode if modeValid, uid/gid if valid, times unless -1,
  // linkTarget if not empty, custom properties, extentSize unless -1). An
  // extent record: dtime > 0 marks it deleted at dtime, dtime 0 undeletes it
  // (now), dtime -1 leaves its deletion state alone. afileId/afileOffset,
  // when both set, record a backup location of that version. An empty
  // verGuid means the latest version. The change is stamped now. Path,
  // parent, vtime and itemFlag 0 are not changed here. ENOENT when the
  // object or the version is unknown.
  virtual int update_item(index_iface_props& props);
  // Marks the object deleted as of props.dtime (seconds; 0 or -1 = now). An
  // extent GUID marks its version props.verGuid (or its latest) deleted. A
  // deleted directory's descendants are no longer reachable by path from
  // then on (their own records stay). Deleting an item that is already
  // deleted succeeds and changes nothing. ENOENT for an unknown object.
  virtual int delete_item(index_iface_props& props);
  // Records the object props.objGuid under the last component of props.path
  // with parent props.parentGuid (resolved from the path when empty) from now
  // on (and, when props.verGuid is a version the index does not know yet,
  // that version is recorded now with the latest attributes and the fields
  // sent). For a directory, everything below the old path is found below the
  // new one from now on; before now, under the old. An item that held the
  // new name is left alone (the caller removes it first). ENOENT for an
  // unknown or deleted object, EINVAL for an empty path or for a directory
  // moved below itself. oldParentGuid and oldPath are only checked against
  // the recorded name (a mismatch is logged).
  virtual int rename_item(index_iface_props& props, const std::string& oldParentGuid,
                          const std::string& oldPath, bool isDirectory);

  // The children of directory fields.guid as of before_time, each with its
  // name, path and newest version then (records as find_by_guid fills them),
  // sorted by name; one entry per name (the item that took it last). The
  // records are appended to list, allocated with new and owned by the caller
  // until delete_browse_memory. ENOENT when the directory did not exist then
  // or was deleted by then; ECANCELED after stop_async_browses.
  virtual int browse_by_guid(const index_iface_browse_fields& fields,
                             std::vector<index_iface_props*>& list);
  // The extent records of file fields.guid as of before_time, by extent
  // number: per extent GUID the newest segment created by then, with
  // extentNumber, dtime (the deletion time in seconds when that segment was
  // deleted by then, otherwise -1) and its backup location. A file without
  // extent records (or unknown to the index) gives an empty list and 0.
  // Appends to list like browse_by_guid; ECANCELED after stop_async_browses.
  virtual int browse_file_extents(const index_iface_browse_fields& fields,
                                  std::vector<index_iface_props*>& list);
  // Deletes every record of list and clears it.
  virtual void delete_browse_memory(std::vector<index_iface_props*>& list);

  // The share's root record as find_by_guid fills it; when the share has no
  // root yet, an empty verGuid and a fresh objGuid (the same one until a
  // root is recorded).
  virtual void get_content_root_dir(index_iface_props& props);
  // Records props.objGuid (and verGuid) as the share's root, path "/". The
  // root's versions and attributes are recorded by add_item like any item's.
  virtual void set_content_root_props(const index_iface_props& props);

  // The change feed. Every add (changeKind 1), attribute update (2), delete
  // (3) and rename (4) is recorded with the writer's origin. This returns, in
  // the order they were made, the changes since this consumer's last call
  // (consumer "local" unless setChangeConsumer says otherwise) that were
  // written by other origins, then moves the consumer's cursor past every
  // change. An origin that has read the feed as a consumer belongs to it:
  // its changes, also those of earlier runs on this share, are never handed
  // back to that consumer (a restarted store must not replay its own changes
  // onto its own cache). items is cleared first. Record fields: changeKind,
  // objGuid, verGuid, parentGuid, path, name, mode, size, uid, gid, ctime,
  // mtime, updateSelector (1 for extents).
  virtual int get_initial_cache_items(std::vector<index_iface_props>& items);

  // Records where a committed segment lies in the backup (called by the
  // backup transport), stamped now. segment: a version GUID or an extent
  // segment name. A lookup as of before_time 0 returns the newest location;
  // as of T the newest recorded at or before T, else the oldest (a segment
  // backed up only after T still restores: its bytes are the nearest state
  // there is). EINVAL for an empty segment or a negative id or offset.
  virtual int set_backup_location(const std::string& segment, int64_t afileId,
                                  int64_t afileOffset);
  // The same for several segments in one transaction, in the order given:
  // all are recorded or none (then the error of the first that failed).
  struct BackupLocation {
    std::string segment;
    int64_t afileId = 0;
    int64_t afileOffset = 0;
  };
  virtual int set_backup_locations(const std::vector<BackupLocation>& locations);

  // Checkpoints the write-ahead log into the database file and syncs it.
  virtual void flush();
  // Releases local resources (connection, statement cache); records stay.
  // A later call reopens the database.
  virtual void cleanup();
  // From now on browse calls fail with ECANCELED until init or cleanup.
  virtual void stop_async_browses();
  // The browse calls in flight (see also beginAsyncBrowseForTesting).
  virtual int get_num_async_browses();
  // "index.adds", "index.updates", "index.deletes", "index.renames",
  // "index.findsByGuid", "index.findsByPath", "index.browses",
  // "index.extentBrowses", "index.locations" (successful calls) and
  // "index.errors" (calls that failed with anything but ENOENT).
  virtual void get_counters(std::map<std::string, std::string>& counters);
  virtual void clear_counters();
  virtual std::string get_flush_status_msg();
  virtual std::string get_query_status_msg();
  // Logs the prepared-statement cache at level 3.
  virtual void dump_caches();

  const args& arguments() const { return args_; }

  // ---- Operations and tests; the store does not use these. ----

  // The full path of the share's database file.
  std::string databasePath() const;
  // The change-feed consumer this object reads for (default "local"). A
  // second writer of a share that also reads the feed needs its own name.
  void setChangeConsumer(const std::string& name);

  // Operations a fault can be injected into (Find: both finds; Browse: both
  // browses).
  enum class FaultOp { Add, Update, Delete, Rename, Find, Browse };
  // From now on the nthCall-th call (1 = the next) of op fails with errNo
  // before changing anything; with persistent, every later call too. nthCall
  // 0 removes the fault of op.
  void setFaultForTesting(FaultOp op, uint64_t nthCall, int errNo, bool persistent);
  void clearFaultsForTesting();
  // Pretend an asynchronous browse is running (get_num_async_browses counts
  // it) until the matching end call.
  void beginAsyncBrowseForTesting();
  void endAsyncBrowseForTesting();

 private:
  args args_;
  std::unique_ptr<IndexDatabase> db_;
};

// Logs the index library's performance counters under `name`.
void index_iface_log_perf_counters(const std::string& name);

}  // namespace ObjectStore
