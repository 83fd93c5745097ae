#include "platform/index/IndexChangeFeed.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>

#include "platform/index/IndexConnection.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

const char kInsertChange[] =
    "INSERT INTO changes(origin, kind, obj_guid, ver_guid, parent_guid, path, name, mode,"
    " size, uid, gid, ctime, mtime, update_selector, stamp_ns)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)";
const char kBindOrigin[] =
    "INSERT OR REPLACE INTO consumer_origins(origin, consumer) VALUES(?1, ?2)";
const char kSelectCursor[] = "SELECT last_seq FROM cursors WHERE consumer = ?1";
const char kSelectNewChanges[] =
    "SELECT seq, kind, obj_guid, ver_guid, parent_guid, path, name, mode, size, uid, gid,"
    " ctime, mtime, update_selector FROM changes WHERE seq > ?1 AND origin NOT IN"
    " (SELECT origin FROM consumer_origins WHERE consumer = ?2) ORDER BY seq";
const char kSelectLastChange[] = "SELECT COALESCE(MAX(seq), 0) FROM changes";
const char kUpsertCursor[] =
    "INSERT INTO cursors(consumer, last_seq) VALUES(?1, ?2)"
    " ON CONFLICT(consumer) DO UPDATE SET last_seq = excluded.last_seq";
// A change some consumer is still to be handed: after its cursor and not
// written by one of its own origins. Every other change can go.
const char kDeleteUnwanted[] =
    "DELETE FROM changes WHERE NOT EXISTS (SELECT 1 FROM cursors c"
    " WHERE c.last_seq < changes.seq AND c.consumer IS NOT"
    " (SELECT o.consumer FROM consumer_origins o WHERE o.origin = changes.origin))";
const char kDeleteBeyondCap[] =
    "DELETE FROM changes WHERE seq <= (SELECT COALESCE(MAX(seq), 0) FROM changes) - ?1";

}  // namespace

IndexChangeFeed::IndexChangeFeed(IndexConnection& connection) : connection_(connection) {}

int IndexChangeFeed::record(const std::string& origin, IndexChangeKind kind,
                            const index_iface_props& change, int64_t stampNs) {
  IndexStatement stmt;
  int err = connection_.prepare(kInsertChange, stmt);
  if (err != 0) return err;
  stmt.bindText(1, origin);
  stmt.bindInt(2, kind);
  stmt.bindText(3, change.objGuid);
  stmt.bindText(4, change.verGuid);
  stmt.bindText(5, change.parentGuid);
  stmt.bindText(6, change.path);
  stmt.bindText(7, change.name);
  stmt.bindIntIf(8, change.modeValid, change.mode);
  stmt.bindIntIf(9, change.size != -1, change.size);
  stmt.bindIntIf(10, change.uidValid, change.uid);
  stmt.bindIntIf(11, change.gidValid, change.gid);
  stmt.bindIntIf(12, change.ctime != -1, change.ctime);
  stmt.bindIntIf(13, change.mtime != -1, change.mtime);
  stmt.bindInt(14, change.updateSelector);
  stmt.bindInt(15, stampNs);
  int rc = stmt.step();
  return rc == SQLITE_DONE ? 0 : connection_.fail(rc, kInsertChange);
}

int IndexChangeFeed::take(const std::string& consumer, const std::string& origin,
                          std::vector<index_iface_props>& items) {
  items.clear();
  IndexTransaction transaction(connection_, IndexTransaction::Mode::Write);
  int err = transaction.begin();
  if (err != 0) return err;
  {
    IndexStatement bind;
    err = connection_.prepare(kBindOrigin, bind);
    if (err != 0) return err;
    bind.bindText(1, origin);
    bind.bindText(2, consumer);
    int rc = bind.step();
    if (rc != SQLITE_DONE) return connection_.fail(rc, kBindOrigin);
  }
  int64_t cursor = 0;
  {
    IndexStatement select;
    err = connection_.prepare(kSelectCursor, select);
    if (err != 0) return err;
    select.bindText(1, consumer);
    int rc = select.step();
    if (rc == SQLITE_ROW) {
      cursor = select.columnInt(0);
    } else if (rc != SQLITE_DONE) {
      return connection_.fail(rc, kSelectCursor);
    }
  }
  std::vector<index_iface_props> found;
  {
    IndexStatement select;
    err = connection_.prepare(kSelectNewChanges, select);
    if (err != 0) return err;
    select.bindInt(1, cursor);
    select.bindText(2, consumer);
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
      index_iface_props item;
      item.changeKind = static_cast<uint32_t>(select.columnInt(1));
      item.objGuid = select.columnText(2);
      item.verGuid = select.columnText(3);
      item.parentGuid = select.columnText(4);
      item.path = select.columnText(5);
      item.name = select.columnText(6);
      item.modeValid = !select.columnIsNull(7);
      item.mode = static_cast<int>(select.columnIntOr(7, -1));
      item.size = select.columnIntOr(8, -1);
      item.uidValid = !select.columnIsNull(9);
      item.uid = static_cast<int>(select.columnIntOr(9, -1));
      item.gidValid = !select.columnIsNull(10);
      item.gid = static_cast<int>(select.columnIntOr(10, -1));
      item.ctime = select.columnIntOr(11, -1);
      item.mtime = select.columnIntOr(12, -1);
      item.updateSelector = static_cast<uint32_t>(select.columnInt(13));
      found.push_back(std::move(item));
    }
    if (rc != SQLITE_DONE) return connection_.fail(rc, kSelectNewChanges);
  }
  int64_t last = 0;
  err = connection_.queryInt(kSelectLastChange, last);
  if (err != 0) return err;
  {
    IndexStatement upsert;
    err = connection_.prepare(kUpsertCursor, upsert);
    if (err != 0) return err;
    upsert.bindText(1, consumer);
    upsert.bindInt(2, std::max(cursor, last));
    int rc = upsert.step();
    if (rc != SQLITE_DONE) return connection_.fail(rc, kUpsertCursor);
  }
  err = trim();
  if (err != 0) return err;
  err = transaction.commit();
  if (err != 0) return err;
  items = std::move(found);
  return 0;
}

int IndexChangeFeed::trim() {
  int err = connection_.exec(kDeleteUnwanted);
  if (err != 0) return err;
  IndexStatement cap;
  err = connection_.prepare(kDeleteBeyondCap, cap);
  if (err != 0) return err;
  cap.bindInt(1, INDEX_MAX_CHANGE_ROWS);
  int rc = cap.step();
  if (rc != SQLITE_DONE) return connection_.fail(rc, kDeleteBeyondCap);
  int64_t dropped = connection_.rowsChanged();
  if (dropped > 0) {
    OSLOG(2, "index [%s]: change feed over %ld entries, dropped the oldest %ld unread",
          connection_.path().c_str(), static_cast<long>(INDEX_MAX_CHANGE_ROWS),
          static_cast<long>(dropped));
  }
  return 0;
}

}  // namespace ObjectStore
