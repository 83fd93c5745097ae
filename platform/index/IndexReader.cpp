#include "platform/index/IndexReader.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>

#include "platform/index/IndexConnection.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// Deeper than any real tree; a walk that goes on longer has met a cycle,
// which only a damaged database can hold (rename refuses to make one).
constexpr int kMaxPathDepth = 4096;

// A name row in force at cutoff ?3 whose object is not deleted then. (A
// name never starts before its object's first version: add_item gives the
// first name at the first vtime, renames only later; so the object exists.)
#define INDEX_LIVE_NAME_AT_3                                                       \
  " n.from_ns < ?3 AND (n.to_ns IS NULL OR n.to_ns >= ?3)"                         \
  " AND COALESCE((SELECT d.deleted FROM deletions d WHERE d.obj_guid = n.obj_guid" \
  " AND d.ver_guid = '' AND d.stamp_ns < ?3 ORDER BY d.seq DESC LIMIT 1), 0) = 0"

const char kSelectMeta[] = "SELECT value FROM meta WHERE key = ?1";
const char kSelectObject[] =
    "SELECT kind, parent_file, extent_number FROM objects WHERE obj_guid = ?1";
const char kSelectNewestVersion[] =
    "SELECT ver_guid, vtime_ns FROM versions WHERE obj_guid = ?1 AND vtime_ns < ?2"
    " ORDER BY vtime_ns DESC, seq DESC LIMIT 1";
const char kSelectVersion[] =
    "SELECT ver_guid, vtime_ns FROM versions WHERE obj_guid = ?1 AND ver_guid = ?2";
const char kSelectAttributes[] =
    "SELECT size, mode, uid, gid, atime, ctime, mtime, extent_size, item_flag, link_target,"
    " custom, reserved1, reserved2 FROM attrs"
    " WHERE obj_guid = ?1 AND ver_guid = ?2 AND stamp_ns < ?3 ORDER BY seq DESC LIMIT 1";
const char kSelectDeletion[] =
    "SELECT deleted, stamp_ns FROM deletions WHERE obj_guid = ?1 AND ver_guid = ?2"
    " AND stamp_ns < ?3 ORDER BY seq DESC LIMIT 1";
const char kSelectNameAt[] =
    "SELECT seq, parent_guid, name, from_ns FROM names WHERE obj_guid = ?1"
    " AND from_ns < ?2 AND (to_ns IS NULL OR to_ns >= ?2) ORDER BY seq DESC LIMIT 1";
const char kSelectAlive[] =
    "SELECT EXISTS (SELECT 1 FROM versions WHERE obj_guid = ?1 AND vtime_ns < ?2),"
    " COALESCE((SELECT deleted FROM deletions WHERE obj_guid = ?1 AND ver_guid = ''"
    " AND stamp_ns < ?2 ORDER BY seq DESC LIMIT 1), 0)";
const char kSelectLocationAt[] =
    "SELECT afile_id, afile_offset FROM locations WHERE segment = ?1 AND stamp_ns < ?2"
    " ORDER BY seq DESC LIMIT 1";
const char kSelectOldestLocation[] =
    "SELECT afile_id, afile_offset FROM locations WHERE segment = ?1 ORDER BY seq LIMIT 1";
const char kSelectChildNoCase[] =
    "SELECT n.obj_guid, n.name, n.from_ns, n.seq FROM names n"
    " WHERE n.parent_guid = ?1 AND n.name = ?2 COLLATE NOCASE AND" INDEX_LIVE_NAME_AT_3
    " ORDER BY n.from_ns DESC, n.seq DESC LIMIT 1";
const char kSelectChildExact[] =
    "SELECT n.obj_guid, n.name, n.from_ns, n.seq FROM names n"
    " WHERE n.parent_guid = ?1 AND n.name = ?2 COLLATE NOCASE AND n.name = ?2 "
    "AND" INDEX_LIVE_NAME_AT_3 " ORDER BY n.from_ns DESC, n.seq DESC LIMIT 1";
const char kSelectChildren[] =
    "SELECT n.obj_guid, n.name, n.from_ns, n.seq FROM names n"
    " WHERE n.parent_guid = ?1 AND" INDEX_LIVE_NAME_AT_3;  // no ?2: unused numbers are allowed
const char kSelectExtents[] =
    "SELECT obj_guid, extent_number FROM objects WHERE parent_file = ?1 AND kind = 3"
    " ORDER BY extent_number";

// ASCII folding, as SQLite's NOCASE compares.
std::string foldCase(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

std::string childPath(const std::string& dirPath, const std::string& name) {
  return dirPath == "/" ? "/" + name : dirPath + "/" + name;
}

void freeAll(std::vector<index_iface_props*>& records) {
  for (index_iface_props* record : records) delete record;
  records.clear();
}

}  // namespace

IndexReader::IndexReader(IndexConnection& connection, bool caseSensitive)
    : connection_(connection), caseSensitive_(caseSensitive) {}

template <class Bind, class Read>
int IndexReader::queryOneRow(const char* sql, Bind&& bind, Read&& read) {
  IndexStatement stmt;
  if (int err = connection_.prepare(sql, stmt); err != 0) return err;
  bind(stmt);
  const int rc = stmt.step();
  if (rc == SQLITE_DONE) return ENOENT;
  if (rc != SQLITE_ROW) return connection_.fail(rc, sql);
  return read(stmt);
}

int IndexReader::metaValue(const char* key, std::string& value) {
  value.clear();
  IndexStatement stmt;
  int err = connection_.prepare(kSelectMeta, stmt);
  if (err != 0) return err;
  stmt.bindText(1, key);
  int rc = stmt.step();
  if (rc == SQLITE_ROW) value = stmt.columnText(0);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? 0 : connection_.fail(rc, kSelectMeta);
}

int IndexReader::rootGuid(std::string& guid) {
  // A share's root is recorded once and never replaced, so once known it is
  // kept (every path walk needs it).
  if (!rootGuid_.empty()) {
    guid = rootGuid_;
    return 0;
  }
  int err = metaValue("root_guid", guid);
  if (err == 0) rootGuid_ = guid;
  return err;
}

void IndexReader::forgetRoot() { rootGuid_.clear(); }

int IndexReader::object(const std::string& guid, IndexObject& out) {
  return queryOneRow(
      kSelectObject, [&](IndexStatement& stmt) { stmt.bindText(1, guid); },
      [&](IndexStatement& stmt) {
        out.guid = guid;
        int64_t kind = stmt.columnInt(0);
        if (kind < 0 || kind > static_cast<int64_t>(IndexKind::Extent)) {
          OSLOG(-1, "Error: index [%s]: object [%s] has unknown kind %ld",
                connection_.path().c_str(), guid.c_str(), static_cast<long>(kind));
          return EIO;
        }
        out.kind = static_cast<IndexKind>(kind);
        out.parentFile = stmt.columnText(1);
        out.extentNumber =
            stmt.columnIsNull(2) ? UINT64_MAX : static_cast<uint64_t>(stmt.columnInt(2));
        return 0;
      });
}

int IndexReader::newestVersion(const std::string& objGuid, int64_t cutoff, IndexVersion& out) {
  return queryOneRow(
      kSelectNewestVersion,
      [&](IndexStatement& stmt) {
        stmt.bindText(1, objGuid);
        stmt.bindInt(2, cutoff);
      },
      [&](IndexStatement& stmt) {
        out.verGuid = stmt.columnText(0);
        out.vtimeNs = stmt.columnInt(1);
        return 0;
      });
}

int IndexReader::version(const std::string& objGuid, const std::string& verGuid,
                         IndexVersion& out) {
  return queryOneRow(
      kSelectVersion,
      [&](IndexStatement& stmt) {
        stmt.bindText(1, objGuid);
        stmt.bindText(2, verGuid);
      },
      [&](IndexStatement& stmt) {
        out.verGuid = stmt.columnText(0);
        out.vtimeNs = stmt.columnInt(1);
        return 0;
      });
}

int IndexReader::attributes(const std::string& objGuid, const std::string& verGuid, int64_t cutoff,
                            IndexAttributes& out) {
  return queryOneRow(
      kSelectAttributes,
      [&](IndexStatement& stmt) {
        stmt.bindText(1, objGuid);
        stmt.bindText(2, verGuid);
        stmt.bindInt(3, cutoff);
      },
      [&](IndexStatement& stmt) {
        out = IndexAttributes();
        out.size = stmt.columnIntOr(0, -1);
        out.modeValid = !stmt.columnIsNull(1);
        out.mode = static_cast<int>(stmt.columnIntOr(1, -1));
        out.uidValid = !stmt.columnIsNull(2);
        out.uid = static_cast<int>(stmt.columnIntOr(2, -1));
        out.gidValid = !stmt.columnIsNull(3);
        out.gid = static_cast<int>(stmt.columnIntOr(3, -1));
        out.atime = stmt.columnIntOr(4, -1);
        out.ctime = stmt.columnIntOr(5, -1);
        out.mtime = stmt.columnIntOr(6, -1);
        out.extentSize = stmt.columnIntOr(7, -1);
        out.itemFlag = static_cast<uint32_t>(stmt.columnIntOr(8, 0));
        out.linkTarget = stmt.columnText(9);
        if (!decodeCustomProps(stmt.columnText(10), out.customProps)) {
          OSLOG(-1, "Error: index [%s]: damaged custom properties of [%s] [%s]",
                connection_.path().c_str(), objGuid.c_str(), verGuid.c_str());
          return EIO;
        }
        out.reserved1 = stmt.columnIntOr(11, -1);
        out.reserved2 = stmt.columnIntOr(12, -1);
        return 0;
      });
}

int IndexReader::deletion(const std::string& objGuid, const std::string& verGuid, int64_t cutoff,
                          bool& deleted, int64_t& stampNs) {
  deleted = false;
  stampNs = -1;
  IndexStatement stmt;
  int err = connection_.prepare(kSelectDeletion, stmt);
  if (err != 0) return err;
  stmt.bindText(1, objGuid);
  stmt.bindText(2, verGuid);
  stmt.bindInt(3, cutoff);
  int rc = stmt.step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return connection_.fail(rc, kSelectDeletion);
  deleted = stmt.columnInt(0) != 0;
  if (deleted) stampNs = stmt.columnInt(1);
  return 0;
}

int IndexReader::nameAt(const std::string& objGuid, int64_t cutoff, IndexName& out) {
  return queryOneRow(
      kSelectNameAt,
      [&](IndexStatement& stmt) {
        stmt.bindText(1, objGuid);
        stmt.bindInt(2, cutoff);
      },
      [&](IndexStatement& stmt) {
        out.seq = stmt.columnInt(0);
        out.parentGuid = stmt.columnText(1);
        out.name = stmt.columnText(2);
        out.fromNs = stmt.columnInt(3);
        return 0;
      });
}

int IndexReader::alive(const std::string& objGuid, int64_t cutoff, bool& isAlive) {
  IndexStatement stmt;
  int err = connection_.prepare(kSelectAlive, stmt);
  if (err != 0) return err;
  stmt.bindText(1, objGuid);
  stmt.bindInt(2, cutoff);
  int rc = stmt.step();
  if (rc != SQLITE_ROW) return connection_.fail(rc, kSelectAlive);
  isAlive = stmt.columnInt(0) != 0 && stmt.columnInt(1) == 0;
  return 0;
}

int IndexReader::pathAt(const std::string& objGuid, int64_t cutoff, std::string& path,
                        std::string& parentGuid) {
  std::string root;
  int err = rootGuid(root);
  if (err != 0) return err;
  parentGuid.clear();
  if (!root.empty() && objGuid == root) {
    path = "/";
    return 0;
  }
  std::vector<std::string> names;
  std::string current = objGuid;
  for (int depth = 0; depth < kMaxPathDepth; ++depth) {
    IndexName name;
    err = nameAt(current, cutoff, name);
    if (err != 0) return err;
    names.push_back(name.name);
    if (depth == 0) parentGuid = name.parentGuid;
    if (!root.empty() && name.parentGuid == root) {
      path.clear();
      for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + *it;
      return 0;
    }
    bool parentAlive = false;
    err = alive(name.parentGuid, cutoff, parentAlive);
    if (err != 0) return err;
    if (!parentAlive) return ENOENT;
    current = name.parentGuid;
  }
  OSLOG(-1, "Error: index [%s]: the ancestors of [%s] form a cycle", connection_.path().c_str(),
        objGuid.c_str());
  return EIO;
}

int IndexReader::location(const std::string& segment, int64_t cutoff, int64_t& afileId,
                          int64_t& afileOffset) {
  afileId = -1;
  afileOffset = -1;
  for (const char* sql : {kSelectLocationAt, kSelectOldestLocation}) {
    IndexStatement stmt;
    int err = connection_.prepare(sql, stmt);
    if (err != 0) return err;
    stmt.bindText(1, segment);
    if (sql == kSelectLocationAt) stmt.bindInt(2, cutoff);
    int rc = stmt.step();
    if (rc == SQLITE_ROW) {
      afileId = stmt.columnInt(0);
      afileOffset = stmt.columnInt(1);
      return 0;
    }
    if (rc != SQLITE_DONE) return connection_.fail(rc, sql);
    // The latest state has no "later" location to fall back to.
    if (cutoff == INDEX_CUTOFF_LATEST) break;
  }
  return 0;
}

int IndexReader::describe(const IndexObject& object, int64_t cutoff, index_iface_props& props,
                          const std::string* knownPath, const std::string* knownParent,
                          bool keepDeleted) {
  IndexVersion newest;
  int err = newestVersion(object.guid, cutoff, newest);
  if (err != 0) return err;
  bool deleted = false;
  int64_t deletedNs = -1;
  err = deletion(object.guid, object.isExtent() ? newest.verGuid : std::string(), cutoff, deleted,
                 deletedNs);
  if (err != 0) return err;
  if (deleted && !keepDeleted) return ENOENT;

  index_iface_props filled;
  if (object.isExtent()) {
    filled.parentGuid = object.parentFile;
    filled.updateSelector = 1;
    filled.extentNumber = object.extentNumber;
  } else if (knownPath != nullptr) {
    filled.path = *knownPath;
    filled.parentGuid = knownParent != nullptr ? *knownParent : std::string();
  } else {
    err = pathAt(object.guid, cutoff, filled.path, filled.parentGuid);
    if (err != 0) return err;
  }
  if (!object.isExtent() && filled.path != "/") filled.name = lastPathComponent(filled.path);

  IndexAttributes attrs;
  err = attributes(object.guid, newest.verGuid, cutoff, attrs);
  if (err == ENOENT) {
    // Every version is recorded with its attributes at its own vtime, so
    // this only happens to a version stamped by a clock that ran backwards.
    err = attributes(object.guid, newest.verGuid, INDEX_CUTOFF_LATEST, attrs);
  }
  if (err != 0 && err != ENOENT) return err;
  fillPropsFromAttributes(filled, attrs);

  filled.objGuid = object.guid;
  filled.verGuid = newest.verGuid;
  filled.vtime = newest.vtimeNs;
  filled.dtime = deleted ? deletedNs / INDEX_NS_PER_SEC : -1;
  err = location(newest.verGuid, cutoff, filled.afileId, filled.afileOffset);
  if (err != 0) return err;
  props = std::move(filled);
  return 0;
}

int IndexReader::findByGuid(const std::string& guid, int64_t cutoff, index_iface_props& props) {
  IndexObject found;
  int err = object(guid, found);
  if (err != 0) return err;
  return describe(found, cutoff, props, nullptr, nullptr, false);
}

int IndexReader::childByName(const std::string& parentGuid, const std::string& name, int64_t cutoff,
                             Child& out) {
  const char* sql = caseSensitive_ ? kSelectChildExact : kSelectChildNoCase;
  IndexStatement stmt;
  int err = connection_.prepare(sql, stmt);
  if (err != 0) return err;
  stmt.bindText(1, parentGuid);
  stmt.bindText(2, name);
  stmt.bindInt(3, cutoff);
  int rc = stmt.step();
  if (rc == SQLITE_DONE) return ENOENT;
  if (rc != SQLITE_ROW) return connection_.fail(rc, sql);
  out.objGuid = stmt.columnText(0);
  out.name = stmt.columnText(1);
  out.fromNs = stmt.columnInt(2);
  out.seq = stmt.columnInt(3);
  return 0;
}

int IndexReader::findByPath(const std::string& path, int64_t cutoff, index_iface_props& props) {
  if (path.empty() || path[0] != '/') return ENOENT;
  std::string current;
  int err = rootGuid(current);
  if (err != 0) return err;
  if (current.empty()) return ENOENT;
  std::string parent;
  std::string storedPath;
  for (const std::string& component : splitPathComponents(path)) {
    Child child;
    err = childByName(current, component, cutoff, child);
    if (err != 0) return err;
    parent = current;
    current = child.objGuid;
    storedPath += "/" + child.name;
  }
  if (storedPath.empty()) storedPath = "/";
  IndexObject found;
  err = object(current, found);
  if (err != 0) return err;
  return describe(found, cutoff, props, &storedPath, &parent, false);
}

int IndexReader::children(const std::string& parentGuid, int64_t cutoff, std::vector<Child>& out) {
  IndexStatement stmt;
  int err = connection_.prepare(kSelectChildren, stmt);
  if (err != 0) return err;
  stmt.bindText(1, parentGuid);
  stmt.bindInt(3, cutoff);
  // One entry per name: the child that took the name last wins, as in a
  // lookup by path.
  std::map<std::string, Child> byName;
  int rc;
  while ((rc = stmt.step()) == SQLITE_ROW) {
    Child child;
    child.objGuid = stmt.columnText(0);
    child.name = stmt.columnText(1);
    child.fromNs = stmt.columnInt(2);
    child.seq = stmt.columnInt(3);
    std::string key = caseSensitive_ ? child.name : foldCase(child.name);
    auto [slot, inserted] = byName.try_emplace(key, child);
    if (!inserted && std::make_pair(child.fromNs, child.seq) >
                         std::make_pair(slot->second.fromNs, slot->second.seq)) {
      slot->second = child;
    }
  }
  if (rc != SQLITE_DONE) return connection_.fail(rc, kSelectChildren);
  out.clear();
  for (auto& [key, child] : byName) out.push_back(std::move(child));
  std::sort(out.begin(), out.end(), [](const Child& a, const Child& b) { return a.name < b.name; });
  return 0;
}

int IndexReader::browseChildren(const std::string& dirGuid, int64_t cutoff,
                                std::vector<index_iface_props*>& list) {
  IndexObject dir;
  int err = object(dirGuid, dir);
  if (err != 0) return err;
  if (dir.kind != IndexKind::Directory) return ENOTDIR;
  index_iface_props self;
  err = describe(dir, cutoff, self, nullptr, nullptr, false);
  if (err != 0) return err;
  std::vector<Child> found;
  err = children(dirGuid, cutoff, found);
  if (err != 0) return err;
  std::vector<index_iface_props*> records;
  for (const Child& child : found) {
    IndexObject childObject;
    err = object(child.objGuid, childObject);
    if (err != 0) break;
    auto record = std::make_unique<index_iface_props>();
    std::string path = childPath(self.path, child.name);
    err = describe(childObject, cutoff, *record, &path, &dirGuid, false);
    if (err != 0) break;
    records.push_back(record.release());
  }
  if (err != 0) {
    freeAll(records);
    return err;
  }
  list.insert(list.end(), records.begin(), records.end());
  return 0;
}

int IndexReader::browseExtents(const std::string& fileGuid, int64_t cutoff,
                               std::vector<index_iface_props*>& list) {
  std::vector<IndexObject> extents;
  {
    IndexStatement stmt;
    int err = connection_.prepare(kSelectExtents, stmt);
    if (err != 0) return err;
    stmt.bindText(1, fileGuid);
    int rc;
    while ((rc = stmt.step()) == SQLITE_ROW) {
      IndexObject extent;
      extent.guid = stmt.columnText(0);
      extent.kind = IndexKind::Extent;
      extent.parentFile = fileGuid;
      extent.extentNumber = static_cast<uint64_t>(stmt.columnIntOr(1, 0));
      extents.push_back(std::move(extent));
    }
    if (rc != SQLITE_DONE) return connection_.fail(rc, kSelectExtents);
  }
  std::vector<index_iface_props*> records;
  int err = 0;
  for (const IndexObject& extent : extents) {
    auto record = std::make_unique<index_iface_props>();
    err = describe(extent, cutoff, *record, nullptr, nullptr, true);
    if (err == ENOENT) {  // no segment of this extent existed by then
      err = 0;
      continue;
    }
    if (err != 0) break;
    records.push_back(record.release());
  }
  if (err != 0) {
    freeAll(records);
    return err;
  }
  list.insert(list.end(), records.begin(), records.end());
  return 0;
}

}  // namespace ObjectStore
