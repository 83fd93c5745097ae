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
// at or before before_time, and none after it). Changes are stamped with the
// times the store gives (vtime, dtime) or, for updates and renames, with the
// platform clock (Clock.h), so tests can control time.
//
// Results: 0 for success, otherwise an errno value (ENOENT when nothing
// matches, EINVAL for bad input, EIO for a storage failure). Bad input or a
// corrupt database file gives an error and a logged message, never a crash.
//
// Thread safety: every method may be called from any thread; one connection
// per share, guarded by the object's own lock.
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

  // Opens (creating when missing) the share's database. 0 or errno.
  virtual int init();

  // The newest version of fields.guid (object or extent GUID) as of
  // before_time, with its attributes then, its path then, and its backup
  // location. ENOENT when it did not exist then or was deleted by then.
  virtual int find_by_guid(const index_iface_browse_fields& fields, index_iface_props& props);
  // The same for the item that had fields.path as of before_time.
  virtual int find_by_path(const index_iface_browse_fields& fields, index_iface_props& props);
  // Records a new version: objGuid, verGuid, vtime required (EINVAL without).
  // A first version also records the object (path, parent, mode...). An
  // extent record (updateSelector 1 / extentNumber set) belongs to the file
  // parentGuid.
  virtual int add_item(index_iface_props& props);
  // Changes an existing version (objGuid + verGuid; for a directory whose
  // verGuid is unknown, its latest version): every valid field sent (size
  // unless -1, mode if modeValid, uid/gid if valid, times unless -1,
  // linkTarget if not empty, custom properties, extentSize unless -1). An
  // extent record: dtime > 0 marks it deleted at dtime, dtime 0 undeletes it.
  // afileId/afileOffset, when set, record a backup location. ENOENT when the
  // version is unknown.
  virtual int update_item(index_iface_props& props);
  // Marks the object deleted as of props.dtime (seconds; 0 or -1 = now).
  virtual int delete_item(index_iface_props& props);
  // Records the object props.objGuid under props.path with parent
  // props.parentGuid from now on (and, when props.verGuid is a new version,
  // that version is known by then). For a directory, everything below the old
  // path is found below the new one from now on; before now, under the old.
  virtual int rename_item(index_iface_props& props, const std::string& oldParentGuid,
                          const std::string& oldPath, bool isDirectory);

  // The children of directory fields.guid as of before_time, each with its
  // name, path and newest version then. The list holds pointers owned by the
  // index until delete_browse_memory.
  virtual int browse_by_guid(const index_iface_browse_fields& fields,
                             std::vector<index_iface_props*>& list);
  // The extent records of file fields.guid as of before_time: per extent
  // GUID the newest segment created by then, with extentNumber, dtime (-1
  // when not deleted by then... or the deletion time) and backup location.
  virtual int browse_file_extents(const index_iface_browse_fields& fields,
                                  std::vector<index_iface_props*>& list);
  virtual void delete_browse_memory(std::vector<index_iface_props*>& list);

  // The share's root record; empty verGuid (and a fresh objGuid) when the
  // share has no root yet.
  virtual void get_content_root_dir(index_iface_props& props);
  virtual void set_content_root_props(const index_iface_props& props);

  // The change feed: changes recorded by other writers of this share (another
  // index_iface on the same database) since this object last took them.
  virtual int get_initial_cache_items(std::vector<index_iface_props>& items);

  // Records where a committed segment lies in the backup (called by the
  // backup transport). segment: a version GUID or an extent segment name.
  virtual int set_backup_location(const std::string& segment, int64_t afileId,
                                  int64_t afileOffset);

  virtual void flush();
  // Releases local resources (connection, statement cache); records stay.
  virtual void cleanup();
  virtual void stop_async_browses();
  virtual int get_num_async_browses();
  virtual void get_counters(std::map<std::string, std::string>& counters);
  virtual void clear_counters();
  virtual std::string get_flush_status_msg();
  virtual std::string get_query_status_msg();
  virtual void dump_caches();

  const args& arguments() const { return args_; }

 private:
  args args_;
  std::unique_ptr<IndexDatabase> db_;
};

// Logs the index library's performance counters under `name`.
void index_iface_log_perf_counters(const std::string& name);

}  // namespace ObjectStore
