#include "platform/index/IndexWriter.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/index/IndexConnection.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

constexpr size_t kObjectGuidLength = 32;
// Deeper than any real tree (see IndexReader::pathAt).
constexpr int kMaxAncestors = 4096;
constexpr uint64_t kChangesBetweenTrims = 4096;

const char kInsertObject[] =
    "INSERT INTO objects(obj_guid, kind, parent_file, extent_number, created_ns)"
    " VALUES(?1, ?2, ?3, ?4, ?5)";
const char kInsertVersion[] =
    "INSERT INTO versions(obj_guid, ver_guid, vtime_ns) VALUES(?1, ?2, ?3)";
const char kInsertAttributes[] =
    "INSERT INTO attrs(obj_guid, ver_guid, stamp_ns, size, mode, uid, gid, atime, ctime,"
    " mtime, extent_size, item_flag, link_target, custom, reserved1, reserved2)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)";
const char kInsertName[] =
    "INSERT INTO names(obj_guid, parent_guid, name, from_ns, to_ns) VALUES(?1, ?2, ?3, ?4, NULL)";
const char kCloseName[] = "UPDATE names SET to_ns = ?2 WHERE seq = ?1";
const char kInsertDeletion[] =
    "INSERT INTO deletions(obj_guid, ver_guid, stamp_ns, deleted) VALUES(?1, ?2, ?3, ?4)";
const char kInsertLocation[] =
    "INSERT INTO locations(segment, afile_id, afile_offset, stamp_ns) VALUES(?1, ?2, ?3, ?4)";
const char kSetMeta[] = "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)";

std::string joinComponents(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) path += "/" + component;
  return path.empty() ? "/" : path;
}

// A change stamped in seconds lies at the start of its second.
int64_t secondsToNs(int64_t seconds) {
  if (seconds > INT64_MAX / INDEX_NS_PER_SEC) return INDEX_CUTOFF_LATEST - 1;
  return seconds * INDEX_NS_PER_SEC;
}

}  // namespace

IndexWriter::IndexWriter(IndexConnection& connection, bool caseSensitive, std::string origin)
    : connection_(connection),
      reader_(connection, caseSensitive),
      feed_(connection),
      origin_(std::move(origin)) {}

// ---- the operations ----

int IndexWriter::add(const index_iface_props& props) {
  if (props.objGuid.empty() || props.verGuid.empty() || props.vtime <= 0) {
    OSLOG(-1, "Error: add_item needs an object GUID, a version GUID and a vtime: [%s] [%s] %ld",
          props.objGuid.c_str(), props.verGuid.c_str(), static_cast<long>(props.vtime));
    return EINVAL;
  }
  IndexTransaction transaction(connection_, IndexTransaction::Mode::Write);
  int err = transaction.begin();
  if (err != 0) return err;

  IndexObject object;
  err = reader_.object(props.objGuid, object);
  const bool isNew = err == ENOENT;
  if (err != 0 && !isNew) return err;
  IndexAttributes attrs;
  Place place;
  bool isRoot = false;
  if (isNew) {
    object.guid = props.objGuid;
    object.kind = kindFromProps(props);
    if (object.isExtent()) {
      object.parentFile =
          props.parentGuid.empty() ? props.objGuid.substr(0, kObjectGuidLength) : props.parentGuid;
      object.extentNumber =
          props.extentNumber != UINT64_MAX ? props.extentNumber : extentNumberOfGuid(props.objGuid);
      place.parentGuid = object.parentFile;
    } else {
      std::vector<std::string> components = splitPathComponents(props.path);
      isRoot = props.path == "/";
      if (components.empty() && !isRoot) {
        OSLOG(-1, "Error: add_item [%s]: a new item needs a path, got [%s]", props.objGuid.c_str(),
              props.path.c_str());
        return EINVAL;
      }
      place.path = joinComponents(components);
      if (!isRoot) {
        err = resolveParent(props.parentGuid, place.path, place.parentGuid);
        if (err != 0) return err;
        place.name = components.back();
      }
    }
    err = insertObject(object, props.vtime);
    if (err != 0) return err;
  } else {
    IndexVersion existing;
    err = reader_.version(props.objGuid, props.verGuid, existing);
    if (err == 0) {
      OSLOG(4, "add_item: [%s] [%s] is already recorded", props.objGuid.c_str(),
            props.verGuid.c_str());
      return EEXIST;
    }
    if (err != ENOENT) return err;
    IndexVersion newest;
    err = reader_.newestVersion(props.objGuid, INDEX_CUTOFF_LATEST, newest);
    if (err == 0) err = latestAttributes(props.objGuid, newest.verGuid, attrs);
    if (err != 0 && err != ENOENT) return err;
    err = placeOf(object, place);
    if (err != 0) return err;
  }

  err = insertVersion(props.objGuid, props.verGuid, props.vtime);
  if (err != 0) return err;
  applyProps(attrs, props);
  // The first attributes of a version are in force from its creation on.
  err = insertAttributes(props.objGuid, props.verGuid, props.vtime, attrs);
  if (err != 0) return err;
  if (isNew && !place.name.empty()) {
    err = insertName(props.objGuid, place.parentGuid, place.name, props.vtime);
    if (err != 0) return err;
  }
  if (isRoot) {
    std::string root;
    err = reader_.rootGuid(root);
    if (err == 0 && root.empty()) err = setMeta("root_guid", props.objGuid);
    if (err != 0) return err;
  }
  const int64_t now = clockNowNs();
  if (props.afileId >= 0 && props.afileOffset >= 0) {
    err = insertLocation(props.verGuid, props.afileId, props.afileOffset, now);
    if (err != 0) return err;
  }
  err = recordChange(INDEX_CHANGE_ADD, object, props.verGuid, place, attrs, now);
  if (err != 0) return err;
  return transaction.commit();
}

int IndexWriter::update(const index_iface_props& props, bool& locationRecorded) {
  locationRecorded = false;
  if (props.objGuid.empty()) {
    OSLOG(-1, "Error: update_item without an object GUID");
    return EINVAL;
  }
  IndexTransaction transaction(connection_, IndexTransaction::Mode::Write);
  int err = transaction.begin();
  if (err != 0) return err;
  IndexObject object;
  err = reader_.object(props.objGuid, object);
  if (err != 0) return err;

  IndexVersion target;
  if (props.verGuid.empty()) {
    err = reader_.newestVersion(props.objGuid, INDEX_CUTOFF_LATEST, target);
  } else {
    err = reader_.version(props.objGuid, props.verGuid, target);
    // A directory is known by one version; a view of another point in time
    // names it differently, and means the directory.
    if (err == ENOENT && object.kind == IndexKind::Directory) {
      err = reader_.newestVersion(props.objGuid, INDEX_CUTOFF_LATEST, target);
    }
  }
  if (err != 0) {
    if (err == ENOENT) {
      OSLOG(4, "update_item: no version [%s] of [%s]", props.verGuid.c_str(),
            props.objGuid.c_str());
    }
    return err;
  }

  const int64_t now = clockNowNs();
  IndexAttributes before;
  err = latestAttributes(props.objGuid, target.verGuid, before);
  if (err != 0) return err;
  IndexAttributes after = before;
  applyProps(after, props);
  const bool attributesChanged = !(after == before);
  if (attributesChanged) {
    err = insertAttributes(props.objGuid, target.verGuid, now, after);
    if (err != 0) return err;
  }

  bool deletionChanged = false;
  if (object.isExtent() && props.dtime >= 0) {
    bool deleted = false;
    int64_t deletedNs = -1;
    err = reader_.deletion(props.objGuid, target.verGuid, INDEX_CUTOFF_LATEST, deleted, deletedNs);
    if (err != 0) return err;
    if (props.dtime > 0 && !deleted) {
      err = insertDeletion(props.objGuid, target.verGuid, secondsToNs(props.dtime), true);
      deletionChanged = true;
    } else if (props.dtime == 0 && deleted) {
      err = insertDeletion(props.objGuid, target.verGuid, now, false);
      deletionChanged = true;
    }
    if (err != 0) return err;
  }

  if (props.afileId >= 0 && props.afileOffset >= 0) {
    err = insertLocation(target.verGuid, props.afileId, props.afileOffset, now);
    if (err != 0) return err;
    locationRecorded = true;
  }

  if (attributesChanged || deletionChanged) {
    Place place;
    err = placeOf(object, place);
    if (err == 0)
      err = recordChange(INDEX_CHANGE_UPDATE, object, target.verGuid, place, after, now);
    if (err != 0) return err;
  }
  return transaction.commit();
}

int IndexWriter::remove(const index_iface_props& props) {
  if (props.objGuid.empty()) {
    OSLOG(-1, "Error: delete_item without an object GUID");
    return EINVAL;
  }
  IndexTransaction transaction(connection_, IndexTransaction::Mode::Write);
  int err = transaction.begin();
  if (err != 0) return err;
  IndexObject object;
  err = reader_.object(props.objGuid, object);
  if (err != 0) return err;

  IndexVersion newest;
  err = reader_.newestVersion(props.objGuid, INDEX_CUTOFF_LATEST, newest);
  if (err != 0) return err;
  std::string deletedVersion;  // '' marks the object itself
  if (object.isExtent()) {
    deletedVersion = newest.verGuid;
    IndexVersion named;
    if (!props.verGuid.empty() && reader_.version(props.objGuid, props.verGuid, named) == 0) {
      deletedVersion = named.verGuid;
    }
  }
  bool deleted = false;
  int64_t deletedNs = -1;
  err = reader_.deletion(props.objGuid, deletedVersion, INDEX_CUTOFF_LATEST, deleted, deletedNs);
  if (err != 0) return err;
  if (deleted) {
    // A retried delete (after a crash between the index and the directory
    // update) must succeed; the first deletion time stands.
    OSLOG(4, "delete_item: [%s] is already deleted", props.objGuid.c_str());
    return transaction.commit();
  }

  const int64_t now = clockNowNs();
  const int64_t stampNs = props.dtime > 0 ? secondsToNs(props.dtime) : now;
  Place place;
  err = placeOf(object, place);  // where it was, for the feed
  if (err != 0) return err;
  IndexAttributes attrs;
  err = latestAttributes(props.objGuid, object.isExtent() ? deletedVersion : newest.verGuid, attrs);
  if (err != 0) return err;
  err = insertDeletion(props.objGuid, deletedVersion, stampNs, true);
  if (err != 0) return err;
  err = recordChange(INDEX_CHANGE_DELETE, object,
                     object.isExtent() ? deletedVersion : newest.verGuid, place, attrs, now);
  if (err != 0) return err;
  return transaction.commit();
}

int IndexWriter::rename(const index_iface_props& props, const std::string& oldParentGuid,
                        const std::string& oldPath, bool isDirectory) {
  std::vector<std::string> components = splitPathComponents(props.path);
  if (props.objGuid.empty() || components.empty()) {
    OSLOG(-1, "Error: rename_item needs an object GUID and a new path: [%s] [%s]",
          props.objGuid.c_str(), props.path.c_str());
    return EINVAL;
  }
  IndexTransaction transaction(connection_, IndexTransaction::Mode::Write);
  int err = transaction.begin();
  if (err != 0) return err;
  IndexObject object;
  err = reader_.object(props.objGuid, object);
  if (err != 0) return err;
  if (object.isExtent()) {
    OSLOG(-1, "Error: rename_item of the extent [%s]", props.objGuid.c_str());
    return EINVAL;
  }
  bool isAlive = false;
  err = reader_.alive(props.objGuid, INDEX_CUTOFF_LATEST, isAlive);
  if (err != 0) return err;
  if (!isAlive) return ENOENT;
  std::string root;
  err = reader_.rootGuid(root);
  if (err != 0) return err;
  if (props.objGuid == root) {
    OSLOG(-1, "Error: rename_item of the root [%s]", props.objGuid.c_str());
    return EINVAL;
  }

  Place place;
  place.path = joinComponents(components);
  place.name = components.back();
  err = resolveParent(props.parentGuid, place.path, place.parentGuid);
  if (err != 0) return err;
  bool cycle = false;
  err = isAncestorOrSelf(props.objGuid, place.parentGuid, cycle);
  if (err != 0) return err;
  if (cycle) {
    OSLOG(-1, "Error: rename_item would move [%s] below itself ([%s])", props.objGuid.c_str(),
          place.path.c_str());
    return EINVAL;
  }

  IndexName current;
  err = reader_.nameAt(props.objGuid, INDEX_CUTOFF_LATEST, current);
  const bool hasName = err == 0;
  if (err != 0 && err != ENOENT) return err;
  if (hasName && !oldParentGuid.empty() && current.parentGuid != oldParentGuid) {
    OSLOG(2, "rename_item [%s]: recorded parent [%s] differs from the caller's [%s] ([%s])",
          props.objGuid.c_str(), current.parentGuid.c_str(), oldParentGuid.c_str(),
          oldPath.c_str());
  }
  if (isDirectory != (object.kind == IndexKind::Directory)) {
    OSLOG(2, "rename_item [%s]: isDirectory=%d for an object of kind %d", props.objGuid.c_str(),
          isDirectory ? 1 : 0, static_cast<int>(object.kind));
  }

  // Names of one object never overlap in time, even when the clock went
  // backwards since the current name was given.
  const int64_t now = clockNowNs();
  const int64_t stampNs = hasName ? std::max(now, current.fromNs) : now;
  if (hasName) {
    err = closeName(current.seq, stampNs);
    if (err != 0) return err;
  }
  err = insertName(props.objGuid, place.parentGuid, place.name, stampNs);
  if (err != 0) return err;

  IndexVersion newest;
  err = reader_.newestVersion(props.objGuid, INDEX_CUTOFF_LATEST, newest);
  if (err != 0) return err;
  IndexAttributes attrs;
  err = latestAttributes(props.objGuid, newest.verGuid, attrs);
  if (err != 0) return err;
  std::string verGuid = newest.verGuid;
  IndexVersion named;
  if (!props.verGuid.empty() &&
      (err = reader_.version(props.objGuid, props.verGuid, named)) == ENOENT) {
    applyProps(attrs, props);
    err = insertVersion(props.objGuid, props.verGuid, stampNs);
    if (err == 0) err = insertAttributes(props.objGuid, props.verGuid, stampNs, attrs);
    verGuid = props.verGuid;
  } else if (err == 0 && !props.verGuid.empty()) {
    verGuid = named.verGuid;
    err = latestAttributes(props.objGuid, verGuid, attrs);
  }
  if (err != 0) return err;
  err = recordChange(INDEX_CHANGE_RENAME, object, verGuid, place, attrs, now);
  if (err != 0) return err;
  return transaction.commit();
}

int IndexWriter::setRoot(const index_iface_props& props) {
  if (props.objGuid.empty()) {
    OSLOG(-1, "Error: set_content_root_props without an object GUID");
    return EINVAL;
  }
  IndexTransaction transaction(connection_, IndexTransaction::Mode::Write);
  int err = transaction.begin();
  if (err == 0) err = setMeta("root_guid", props.objGuid);
  if (err == 0) err = setMeta("root_ver", props.verGuid);
  reader_.forgetRoot();
  if (err != 0) return err;
  return transaction.commit();
}

int IndexWriter::setLocations(const std::vector<index_iface::BackupLocation>& locations) {
  for (const auto& l : locations) {
    if (l.segment.empty() || l.afileId < 0 || l.afileOffset < 0) {
      OSLOG(-1, "Error: invalid backup location [%s] %ld %ld", l.segment.c_str(),
            static_cast<long>(l.afileId), static_cast<long>(l.afileOffset));
      return EINVAL;
    }
  }
  IndexTransaction transaction(connection_, IndexTransaction::Mode::Write);
  int err = transaction.begin();
  for (size_t i = 0; err == 0 && i < locations.size(); ++i)
    err = insertLocation(locations[i].segment, locations[i].afileId, locations[i].afileOffset,
                         clockNowNs());
  if (err != 0) return err;
  return transaction.commit();
}

// ---- helpers ----

int IndexWriter::placeOf(const IndexObject& object, Place& out) {
  out = Place();
  if (object.isExtent()) {
    out.parentGuid = object.parentFile;
    return 0;
  }
  int err = reader_.pathAt(object.guid, INDEX_CUTOFF_LATEST, out.path, out.parentGuid);
  if (err == 0) {
    if (out.path != "/") out.name = lastPathComponent(out.path);
    return 0;
  }
  if (err != ENOENT) return err;
  // No path leads to it (an ancestor is gone): its own name is still known.
  out.path.clear();
  IndexName name;
  err = reader_.nameAt(object.guid, INDEX_CUTOFF_LATEST, name);
  if (err == 0) {
    out.parentGuid = name.parentGuid;
    out.name = name.name;
  }
  return err == ENOENT ? 0 : err;
}

int IndexWriter::resolveParent(const std::string& parentGuid, const std::string& path,
                               std::string& resolved) {
  if (!parentGuid.empty()) {
    resolved = parentGuid;
    return 0;
  }
  index_iface_props parent;
  int err = reader_.findByPath(parentPathOf(path), INDEX_CUTOFF_LATEST, parent);
  if (err != 0) {
    OSLOG(2, "index: no parent directory for [%s] (%d)", path.c_str(), err);
    return err;
  }
  resolved = parent.objGuid;
  return 0;
}

int IndexWriter::isAncestorOrSelf(const std::string& ancestor, const std::string& candidate,
                                  bool& result) {
  result = false;
  std::string current = candidate;
  for (int depth = 0; depth < kMaxAncestors; ++depth) {
    if (current == ancestor) {
      result = true;
      return 0;
    }
    IndexName name;
    int err = reader_.nameAt(current, INDEX_CUTOFF_LATEST, name);
    if (err == ENOENT) return 0;  // reached the root (or an unnamed object)
    if (err != 0) return err;
    current = name.parentGuid;
  }
  OSLOG(-1, "Error: index [%s]: the ancestors of [%s] form a cycle", connection_.path().c_str(),
        candidate.c_str());
  return EIO;
}

int IndexWriter::latestAttributes(const std::string& objGuid, const std::string& verGuid,
                                  IndexAttributes& out) {
  int err = reader_.attributes(objGuid, verGuid, INDEX_CUTOFF_LATEST, out);
  if (err == ENOENT) {
    out = IndexAttributes();
    return 0;
  }
  return err;
}

int IndexWriter::recordChange(IndexChangeKind kind, const IndexObject& object,
                              const std::string& verGuid, const Place& place,
                              const IndexAttributes& attributes, int64_t stampNs) {
  index_iface_props change;
  fillPropsFromAttributes(change, attributes);
  change.objGuid = object.guid;
  change.verGuid = verGuid;
  change.parentGuid = place.parentGuid;
  change.path = place.path;
  change.name = place.name;
  change.updateSelector = object.isExtent() ? 1 : 0;
  int err = feed_.record(origin_, kind, change, stampNs);
  if (err != 0) return err;
  // A store reads the feed only when it starts; keep it bounded meanwhile.
  if (++changesSinceTrim_ >= kChangesBetweenTrims) {
    changesSinceTrim_ = 0;
    return feed_.trim();
  }
  return 0;
}

// ---- single-row statements ----

namespace {

int runInsert(IndexConnection& connection, IndexStatement& stmt, const char* sql) {
  int rc = stmt.step();
  return rc == SQLITE_DONE ? 0 : connection.fail(rc, sql);
}

}  // namespace

int IndexWriter::insertObject(const IndexObject& object, int64_t createdNs) {
  IndexStatement stmt;
  int err = connection_.prepare(kInsertObject, stmt);
  if (err != 0) return err;
  stmt.bindText(1, object.guid);
  stmt.bindInt(2, static_cast<int64_t>(object.kind));
  if (object.isExtent()) {
    stmt.bindText(3, object.parentFile);
    stmt.bindInt(4, static_cast<int64_t>(object.extentNumber));
  } else {
    stmt.bindNull(3);
    stmt.bindNull(4);
  }
  stmt.bindInt(5, createdNs);
  return runInsert(connection_, stmt, kInsertObject);
}

int IndexWriter::insertVersion(const std::string& objGuid, const std::string& verGuid,
                               int64_t vtimeNs) {
  IndexStatement stmt;
  int err = connection_.prepare(kInsertVersion, stmt);
  if (err != 0) return err;
  stmt.bindText(1, objGuid);
  stmt.bindText(2, verGuid);
  stmt.bindInt(3, vtimeNs);
  return runInsert(connection_, stmt, kInsertVersion);
}

int IndexWriter::insertAttributes(const std::string& objGuid, const std::string& verGuid,
                                  int64_t stampNs, const IndexAttributes& a) {
  IndexStatement stmt;
  int err = connection_.prepare(kInsertAttributes, stmt);
  if (err != 0) return err;
  stmt.bindText(1, objGuid);
  stmt.bindText(2, verGuid);
  stmt.bindInt(3, stampNs);
  stmt.bindIntIf(4, a.size != -1, a.size);
  stmt.bindIntIf(5, a.modeValid, a.mode);
  stmt.bindIntIf(6, a.uidValid, a.uid);
  stmt.bindIntIf(7, a.gidValid, a.gid);
  stmt.bindIntIf(8, a.atime != -1, a.atime);
  stmt.bindIntIf(9, a.ctime != -1, a.ctime);
  stmt.bindIntIf(10, a.mtime != -1, a.mtime);
  stmt.bindIntIf(11, a.extentSize != -1, a.extentSize);
  stmt.bindInt(12, a.itemFlag);
  stmt.bindText(13, a.linkTarget);
  stmt.bindText(14, encodeCustomProps(a.customProps));
  stmt.bindIntIf(15, a.reserved1 != -1, a.reserved1);
  stmt.bindIntIf(16, a.reserved2 != -1, a.reserved2);
  return runInsert(connection_, stmt, kInsertAttributes);
}

int IndexWriter::insertName(const std::string& objGuid, const std::string& parentGuid,
                            const std::string& name, int64_t fromNs) {
  IndexStatement stmt;
  int err = connection_.prepare(kInsertName, stmt);
  if (err != 0) return err;
  stmt.bindText(1, objGuid);
  stmt.bindText(2, parentGuid);
  stmt.bindText(3, name);
  stmt.bindInt(4, fromNs);
  return runInsert(connection_, stmt, kInsertName);
}

int IndexWriter::closeName(int64_t seq, int64_t toNs) {
  IndexStatement stmt;
  int err = connection_.prepare(kCloseName, stmt);
  if (err != 0) return err;
  stmt.bindInt(1, seq);
  stmt.bindInt(2, toNs);
  return runInsert(connection_, stmt, kCloseName);
}

int IndexWriter::insertDeletion(const std::string& objGuid, const std::string& verGuid,
                                int64_t stampNs, bool deleted) {
  IndexStatement stmt;
  int err = connection_.prepare(kInsertDeletion, stmt);
  if (err != 0) return err;
  stmt.bindText(1, objGuid);
  stmt.bindText(2, verGuid);
  stmt.bindInt(3, stampNs);
  stmt.bindInt(4, deleted ? 1 : 0);
  return runInsert(connection_, stmt, kInsertDeletion);
}

int IndexWriter::insertLocation(const std::string& segment, int64_t afileId, int64_t afileOffset,
                                int64_t stampNs) {
  IndexStatement stmt;
  int err = connection_.prepare(kInsertLocation, stmt);
  if (err != 0) return err;
  stmt.bindText(1, segment);
  stmt.bindInt(2, afileId);
  stmt.bindInt(3, afileOffset);
  stmt.bindInt(4, stampNs);
  return runInsert(connection_, stmt, kInsertLocation);
}

int IndexWriter::setMeta(const char* key, const std::string& value) {
  IndexStatement stmt;
  int err = connection_.prepare(kSetMeta, stmt);
  if (err != 0) return err;
  stmt.bindText(1, key);
  stmt.bindText(2, value);
  return runInsert(connection_, stmt, kSetMeta);
}

}  // namespace ObjectStore
