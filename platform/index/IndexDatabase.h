// The private part of index_iface: one share's database connection, opened
// lazily and guarded by one mutex, with the counters, the fault injection
// and the browse bookkeeping around every operation.
//
// Lock order: mutex_ is the only lock held while the database is used;
// IndexFaults' mutex is taken and released before it. Counters are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/index/IndexStats.h"
#include "platform/index/index_iface.h"

namespace ObjectStore {

class IndexConnection;
class IndexReader;
class IndexWriter;

class IndexDatabase {
 public:
  explicit IndexDatabase(const index_iface::args& args);
  ~IndexDatabase();
  IndexDatabase(const IndexDatabase&) = delete;
  IndexDatabase& operator=(const IndexDatabase&) = delete;

  // The operations of index_iface (same results and effects).
  int init();
  int findByGuid(const index_iface_browse_fields& fields, index_iface_props& props);
  int findByPath(const index_iface_browse_fields& fields, index_iface_props& props);
  int addItem(const index_iface_props& props);
  int updateItem(const index_iface_props& props);
  int deleteItem(const index_iface_props& props);
  int renameItem(const index_iface_props& props, const std::string& oldParentGuid,
                 const std::string& oldPath, bool isDirectory);
  int browseByGuid(const index_iface_browse_fields& fields, std::vector<index_iface_props*>& list);
  int browseFileExtents(const index_iface_browse_fields& fields,
                        std::vector<index_iface_props*>& list);
  void getContentRoot(index_iface_props& props);
  void setContentRoot(const index_iface_props& props);
  int takeChanges(std::vector<index_iface_props>& items);
  int setBackupLocations(const std::vector<index_iface::BackupLocation>& locations);
  void flush();
  void cleanup();
  void stopAsyncBrowses();
  int numAsyncBrowses() const { return browsesInFlight_.load(); }
  void getCounters(std::map<std::string, std::string>& counters) const;
  void clearCounters();
  std::string flushStatus();
  std::string queryStatus() const;
  void dumpCaches();

  const std::string& path() const { return path_; }
  void setChangeConsumer(const std::string& name);
  IndexFaults& faults() { return faults_; }
  void beginAsyncBrowse() { browsesInFlight_.fetch_add(1); }
  void endAsyncBrowse() { browsesInFlight_.fetch_sub(1); }

 private:
  // REQUIRES: mutex_ is held. Opens the connection (and checks or creates
  // the schema) when it is not open. 0 or errno.
  int ensureOpenLocked();
  // REQUIRES: mutex_ is held.
  void closeLocked();
  // Counts the result: success counter on 0, errors on anything but ENOENT.
  int count(int result, IndexCounter success);
  // Runs a read (lookup or browse) of the database in one snapshot.
  template <typename Query>
  int readLocked(Query&& query);

  const index_iface::args args_;
  const std::string path_;
  const std::string origin_;  // this object's change-feed origin

  std::mutex mutex_;  // guards everything below up to the counters
  std::unique_ptr<IndexConnection> connection_;
  std::unique_ptr<IndexReader> reader_;
  std::unique_ptr<IndexWriter> writer_;
  std::string consumer_ = "local";
  std::string pendingRootGuid_;  // handed out while the share has no root
  int64_t lastFlushNs_ = 0;
  int lastFlushError_ = 0;

  IndexCounters counters_;
  IndexFaults faults_;
  std::atomic<int> browsesInFlight_{0};
  std::atomic<bool> browsesStopped_{false};
};

}  // namespace ObjectStore
