#include "platform/index/IndexSchema.h"

#include <sqlite3.h>

#include <cerrno>
#include <string>

#include "platform/index/IndexConnection.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

const char* const kCreateStatements[] = {
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID",
    "CREATE TABLE objects(obj_guid TEXT PRIMARY KEY, kind INTEGER NOT NULL,"
    " parent_file TEXT, extent_number INTEGER, created_ns INTEGER NOT NULL) WITHOUT ROWID",
    "CREATE INDEX objects_by_file ON objects(parent_file, extent_number)"
    " WHERE parent_file IS NOT NULL",
    "CREATE TABLE versions(seq INTEGER PRIMARY KEY, obj_guid TEXT NOT NULL,"
    " ver_guid TEXT NOT NULL, vtime_ns INTEGER NOT NULL, UNIQUE(obj_guid, ver_guid))",
    "CREATE TABLE attrs(seq INTEGER PRIMARY KEY, obj_guid TEXT NOT NULL,"
    " ver_guid TEXT NOT NULL, stamp_ns INTEGER NOT NULL, size INTEGER, mode INTEGER,"
    " uid INTEGER, gid INTEGER, atime INTEGER, ctime INTEGER, mtime INTEGER,"
    " extent_size INTEGER, item_flag INTEGER, link_target TEXT, custom BLOB,"
    " reserved1 INTEGER, reserved2 INTEGER)",
    "CREATE INDEX attrs_by_version ON attrs(obj_guid, ver_guid)",
    "CREATE TABLE names(seq INTEGER PRIMARY KEY, obj_guid TEXT NOT NULL,"
    " parent_guid TEXT NOT NULL, name TEXT NOT NULL, from_ns INTEGER NOT NULL,"
    " to_ns INTEGER)",
    "CREATE INDEX names_by_obj ON names(obj_guid)",
    // One index serves both case-sensitive and case-insensitive shares: a
    // case-sensitive lookup narrows with it and then compares exactly.
    "CREATE INDEX names_by_parent ON names(parent_guid, name COLLATE NOCASE)",
    "CREATE TABLE deletions(seq INTEGER PRIMARY KEY, obj_guid TEXT NOT NULL,"
    " ver_guid TEXT NOT NULL, stamp_ns INTEGER NOT NULL, deleted INTEGER NOT NULL)",
    "CREATE INDEX deletions_by_obj ON deletions(obj_guid, ver_guid)",
    "CREATE TABLE locations(seq INTEGER PRIMARY KEY, segment TEXT NOT NULL,"
    " afile_id INTEGER NOT NULL, afile_offset INTEGER NOT NULL, stamp_ns INTEGER NOT NULL)",
    "CREATE INDEX locations_by_segment ON locations(segment)",
    "CREATE TABLE changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, origin TEXT NOT NULL,"
    " kind INTEGER NOT NULL, obj_guid TEXT NOT NULL, ver_guid TEXT, parent_guid TEXT,"
    " path TEXT, name TEXT, mode INTEGER, size INTEGER, uid INTEGER, gid INTEGER,"
    " ctime INTEGER, mtime INTEGER, update_selector INTEGER NOT NULL,"
    " stamp_ns INTEGER NOT NULL)",
    "CREATE TABLE cursors(consumer TEXT PRIMARY KEY, last_seq INTEGER NOT NULL) WITHOUT ROWID",
    "CREATE TABLE consumer_origins(origin TEXT PRIMARY KEY, consumer TEXT NOT NULL)"
    " WITHOUT ROWID",
};

// PRAGMA takes no parameters; the version is a compile-time constant.
#define INDEX_SET_USER_VERSION "PRAGMA user_version=1"
static_assert(INDEX_SCHEMA_VERSION == 1, "update INDEX_SET_USER_VERSION with the version");

int createSchema(IndexConnection& connection) {
  for (const char* sql : kCreateStatements) {
    int err = connection.exec(sql);
    if (err != 0) return err;
  }
  IndexStatement created;
  int err = connection.prepare("INSERT INTO meta(key, value) VALUES('created_ns', ?1)", created);
  if (err != 0) return err;
  created.bindText(1, std::to_string(clockNowNs()));
  int rc = created.step();
  if (rc != SQLITE_DONE) return connection.fail(rc, "record creation time");
  return connection.exec(INDEX_SET_USER_VERSION);
}

}  // namespace

int ensureIndexSchema(IndexConnection& connection) {
  // Checked and created under the write lock, so two processes opening a new
  // file at once create the tables exactly once.
  IndexTransaction transaction(connection, IndexTransaction::Mode::Write);
  int err = transaction.begin();
  if (err != 0) return err;
  int64_t version = 0;
  err = connection.queryInt("PRAGMA user_version", version);
  if (err != 0) return err;
  if (version == 0) {
    int64_t tables = 0;
    err = connection.queryInt("SELECT count(*) FROM sqlite_master", tables);
    if (err != 0) return err;
    if (tables != 0) {
      OSLOG(-1, "Error: [%s] is an SQLite database but not an index database",
            connection.path().c_str());
      return EIO;
    }
    err = createSchema(connection);
    if (err != 0) return err;
    OSLOG(1, "Created index database [%s] (schema %d)", connection.path().c_str(),
          INDEX_SCHEMA_VERSION);
  } else if (version != INDEX_SCHEMA_VERSION) {
    OSLOG(-1, "Error: index database [%s] has schema version %ld; this code reads %d",
          connection.path().c_str(), static_cast<long>(version), INDEX_SCHEMA_VERSION);
    return EIO;
  }
  return transaction.commit();
}

}  // namespace ObjectStore
