#include "platform/index/IndexConnection.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

// ---- IndexStatement ----

IndexStatement::~IndexStatement() { release(); }

void IndexStatement::release() {
  if (stmt_ == nullptr) return;
  owner_->giveBack(stmt_, cached_);
  stmt_ = nullptr;
  owner_ = nullptr;
  bindError_ = 0;
}

void IndexStatement::bindInt(int index, int64_t value) {
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK && bindError_ == 0) bindError_ = rc;
}

void IndexStatement::bindText(int index, const std::string& value) {
  int rc = sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                             SQLITE_TRANSIENT);
  if (rc != SQLITE_OK && bindError_ == 0) bindError_ = rc;
}

void IndexStatement::bindNull(int index) {
  int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK && bindError_ == 0) bindError_ = rc;
}

void IndexStatement::bindIntIf(int index, bool valid, int64_t value) {
  if (valid) {
    bindInt(index, value);
  } else {
    bindNull(index);
  }
}

int IndexStatement::step() {
  if (bindError_ != 0) return bindError_;
  return sqlite3_step(stmt_);
}

bool IndexStatement::columnIsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

int64_t IndexStatement::columnInt(int column) const { return sqlite3_column_int64(stmt_, column); }

int64_t IndexStatement::columnIntOr(int column, int64_t absent) const {
  return columnIsNull(column) ? absent : columnInt(column);
}

std::string IndexStatement::columnText(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

const char* IndexStatement::sql() const { return stmt_ == nullptr ? "" : sqlite3_sql(stmt_); }

// ---- IndexConnection ----

IndexConnection::IndexConnection(std::string path, int statementCacheSize, int busyTimeoutSec)
    : path_(std::move(path)),
      cacheCapacity_(static_cast<size_t>(std::max(1, statementCacheSize))),
      busyTimeoutSec_(std::max(0, busyTimeoutSec)) {}

IndexConnection::~IndexConnection() { close(); }

int IndexConnection::open() {
  if (db_ != nullptr) return 0;
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(path_.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    OSLOG(-1, "Error: Can't open index database [%s]: %s", path_.c_str(),
          db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return rc == SQLITE_NOMEM ? ENOMEM : EIO;
  }
  db_ = db;
  rc = applyPragmas();
  if (rc != 0) close();
  return rc;
}

int IndexConnection::applyPragmas() {
  // The busy handler must be in place before the first statement: even
  // switching to WAL mode needs a lock another connection may hold.
  sqlite3_busy_timeout(db_, busyTimeoutSec_ * 1000);
  IndexStatement mode;
  int err = prepare("PRAGMA journal_mode=WAL", mode);
  if (err != 0) return err;
  int rc = mode.step();
  if (rc != SQLITE_ROW) return fail(rc, "PRAGMA journal_mode=WAL");
  std::string journal = mode.columnText(0);
  if (journal != "wal") {
    OSLOG(-1, "Error: index database [%s] can't use WAL mode (journal mode %s)", path_.c_str(),
          journal.c_str());
    return EIO;
  }
  // NORMAL: a commit survives a process crash without an fsync per
  // transaction; flush() checkpoints (and syncs) for power-loss durability.
  err = exec("PRAGMA synchronous=NORMAL");
  // Lookups walk several small B-trees per call; keeping more of them in
  // memory (8 MiB of pages, reads through a 64 MiB mapping) saves a system
  // call per page touched.
  if (err == 0) err = exec("PRAGMA cache_size=-8192");
  if (err == 0) err = exec("PRAGMA mmap_size=67108864");
  return err;
}

void IndexConnection::close() {
  if (db_ == nullptr) return;
  for (auto& [sql, entry] : cache_) sqlite3_finalize(entry.stmt);
  cache_.clear();
  lru_.clear();
  sqlOf_.clear();
  int rc = sqlite3_close(db_);
  if (rc != SQLITE_OK) {
    // Only a statement left unfinalized makes close fail; let SQLite close
    // the file when the last one goes instead of leaking the handle.
    OSLOG(-1, "Error: closing index database [%s]: %s", path_.c_str(), sqlite3_errstr(rc));
    sqlite3_close_v2(db_);
  }
  db_ = nullptr;
}

int IndexConnection::prepare(const char* sql, IndexStatement& out) {
  out.release();
  if (db_ == nullptr) {
    OSLOG(-1, "Error: index database [%s] is not open", path_.c_str());
    return EIO;
  }
  auto found = cache_.find(sql);
  if (found != cache_.end() && !found->second.inUse) {
    CacheEntry& entry = found->second;
    lru_.splice(lru_.begin(), lru_, entry.lru);
    entry.inUse = true;
    ++entry.uses;
    out.owner_ = this;
    out.stmt_ = entry.stmt;
    out.cached_ = true;
    return 0;
  }
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) return fail(rc, sql);
  out.owner_ = this;
  out.stmt_ = stmt;
  // The same statement already checked out by an enclosing use (a nested
  // query) gets a one-off copy instead of sharing its cursor.
  out.cached_ = found == cache_.end();
  if (out.cached_) {
    lru_.push_front(sql);
    CacheEntry entry;
    entry.stmt = stmt;
    entry.inUse = true;
    entry.uses = 1;
    entry.lru = lru_.begin();
    cache_.emplace(sql, entry);
    sqlOf_.emplace(stmt, sql);
    evictIfNeeded();
  }
  return 0;
}

void IndexConnection::giveBack(sqlite3_stmt* stmt, bool cached) {
  if (!cached) {
    sqlite3_finalize(stmt);
    return;
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  auto sql = sqlOf_.find(stmt);
  if (sql == sqlOf_.end()) return;
  cache_[sql->second].inUse = false;
  evictIfNeeded();
}

void IndexConnection::evictIfNeeded() {
  // Least recently used first; a statement in use is never evicted, so the
  // cache may exceed its capacity while nested statements are out.
  auto it = lru_.end();
  while (cache_.size() > cacheCapacity_ && it != lru_.begin()) {
    --it;
    auto entry = cache_.find(*it);
    if (entry == cache_.end() || entry->second.inUse) continue;
    sqlite3_finalize(entry->second.stmt);
    sqlOf_.erase(entry->second.stmt);
    cache_.erase(entry);
    it = lru_.erase(it);
  }
}

int IndexConnection::exec(const char* sql) {
  IndexStatement stmt;
  int err = prepare(sql, stmt);
  if (err != 0) return err;
  int rc;
  while ((rc = stmt.step()) == SQLITE_ROW) {
  }
  return rc == SQLITE_DONE ? 0 : fail(rc, sql);
}

int IndexConnection::queryInt(const char* sql, int64_t& value) {
  IndexStatement stmt;
  int err = prepare(sql, stmt);
  if (err != 0) return err;
  int rc = stmt.step();
  if (rc != SQLITE_ROW) return fail(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc, sql);
  value = stmt.columnInt(0);
  return 0;
}

int64_t IndexConnection::rowsChanged() const {
  return db_ == nullptr ? 0 : static_cast<int64_t>(sqlite3_changes(db_));
}

int IndexConnection::fail(int rc, const char* what) {
  const char* message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  OSLOG(-1, "Error: index [%s]: %s: %s (%d)", path_.c_str(), what, message, rc);
  switch (rc & 0xFF) {
    case SQLITE_FULL:
      return ENOSPC;
    case SQLITE_NOMEM:
      return ENOMEM;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return EBUSY;
    case SQLITE_CONSTRAINT:
      return EEXIST;
    default:
      return EIO;
  }
}

void IndexConnection::dumpStatements() const {
  OSLOG(3, "index [%s]: %zu cached statements (capacity %zu)", path_.c_str(), cache_.size(),
        cacheCapacity_);
  for (const std::string& sql : lru_) {
    auto entry = cache_.find(sql);
    if (entry == cache_.end()) continue;
    OSLOG(3, "  uses=%lu inUse=%d: %s", static_cast<unsigned long>(entry->second.uses),
          entry->second.inUse ? 1 : 0, sql.c_str());
  }
}

int IndexConnection::checkpoint() {
  if (db_ == nullptr) return 0;
  int logFrames = 0;
  int checkpointed = 0;
  // TRUNCATE: every frame is copied back and synced, then the log restarts
  // empty, so it does not grow without bound between flushes.
  int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames,
                                     &checkpointed);
  if (rc != SQLITE_OK) return fail(rc, "wal checkpoint");
  return 0;
}

// ---- IndexTransaction ----

IndexTransaction::IndexTransaction(IndexConnection& connection, Mode mode)
    : connection_(connection), mode_(mode) {}

IndexTransaction::~IndexTransaction() {
  if (!active_) return;
  // A failed operation: undo what it wrote. Nothing else can be done when
  // the rollback itself fails (the connection then rolls back on close).
  if (connection_.exec("ROLLBACK") != 0) {
    OSLOG(-1, "Error: rollback failed in [%s]", connection_.path().c_str());
  }
}

int IndexTransaction::begin() {
  int err = connection_.exec(mode_ == Mode::Write ? "BEGIN IMMEDIATE" : "BEGIN");
  active_ = err == 0;
  return err;
}

int IndexTransaction::commit() {
  int err = connection_.exec("COMMIT");
  if (err == 0) active_ = false;
  return err;
}

}  // namespace ObjectStore
