// The SQLite connection of one share's index, with its cache of prepared
// statements, scoped statements and transactions.
//
// Not thread-safe: its owner (IndexDatabase) serialises every use under its
// own mutex.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace ObjectStore {

class IndexConnection;

// A prepared statement checked out for one use. On destruction it is reset
// and handed back to the cache (or finalized when it was a one-off), so a
// statement never keeps a read transaction open after its use.
class IndexStatement {
 public:
  IndexStatement() = default;
  ~IndexStatement();
  IndexStatement(const IndexStatement&) = delete;
  IndexStatement& operator=(const IndexStatement&) = delete;

  // Parameters are 1-based. A failed bind is reported by the next step().
  void bindInt(int index, int64_t value);
  void bindText(int index, const std::string& value);
  void bindNull(int index);
  // NULL unless valid.
  void bindIntIf(int index, bool valid, int64_t value);

  // SQLITE_ROW, SQLITE_DONE or an SQLite error code.
  int step();

  // Columns are 0-based.
  bool columnIsNull(int column) const;
  int64_t columnInt(int column) const;
  // -1 for NULL.
  int64_t columnIntOr(int column, int64_t absent) const;
  std::string columnText(int column) const;

  const char* sql() const;

 private:
  friend class IndexConnection;
  void release();

  IndexConnection* owner_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  bool cached_ = false;
  int bindError_ = 0;
};

class IndexConnection {
 public:
  // statementCacheSize: prepared statements kept (at least 1);
  // busyTimeoutSec: how long a statement waits for another writer.
  IndexConnection(std::string path, int statementCacheSize, int busyTimeoutSec);
  ~IndexConnection();
  IndexConnection(const IndexConnection&) = delete;
  IndexConnection& operator=(const IndexConnection&) = delete;

  // Opens (creating) the file in WAL mode with synchronous=NORMAL. 0 or an
  // errno (EIO for a file that is not a database); the failure is logged.
  int open();
  // Finalizes every statement and closes the file.
  void close();
  bool isOpen() const { return db_ != nullptr; }
  const std::string& path() const { return path_; }

  // Checks a cached statement out (preparing it on first use). 0 or errno.
  int prepare(const char* sql, IndexStatement& out);
  // Runs a statement that returns no rows the caller needs. 0 or errno.
  int exec(const char* sql);
  // Runs a statement whose first row's first column is an integer.
  int queryInt(const char* sql, int64_t& value);

  // Rows changed by the last INSERT, UPDATE or DELETE.
  int64_t rowsChanged() const;

  // Maps an SQLite result to an errno and logs it at level -1 with `what`.
  int fail(int rc, const char* what);

  // The statements in the cache, most recently used first (for dumps).
  void dumpStatements() const;
  size_t cachedStatements() const { return cache_.size(); }

  // A full checkpoint of the write-ahead log (flush). 0 or errno.
  int checkpoint();

 private:
  friend class IndexStatement;
  struct CacheEntry {
    sqlite3_stmt* stmt = nullptr;
    bool inUse = false;
    uint64_t uses = 0;
    std::list<std::string>::iterator lru;
  };

  int applyPragmas();
  void giveBack(sqlite3_stmt* stmt, bool cached);
  void evictIfNeeded();

  const std::string path_;
  const size_t cacheCapacity_;
  const int busyTimeoutSec_;
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, CacheEntry> cache_;
  std::list<std::string> lru_;  // most recently used first
  std::unordered_map<sqlite3_stmt*, std::string> sqlOf_;
};

// A transaction on a connection: IMMEDIATE for writers (the write lock is
// taken up front, so two connections never deadlock upgrading a read lock),
// DEFERRED for readers (one consistent snapshot across several queries).
// Rolled back on destruction unless committed.
class IndexTransaction {
 public:
  enum class Mode { Read, Write };
  IndexTransaction(IndexConnection& connection, Mode mode);
  ~IndexTransaction();
  IndexTransaction(const IndexTransaction&) = delete;
  IndexTransaction& operator=(const IndexTransaction&) = delete;

  int begin();
  int commit();

 private:
  IndexConnection& connection_;
  Mode mode_;
  bool active_ = false;
};

}  // namespace ObjectStore
