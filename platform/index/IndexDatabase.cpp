#include "platform/index/IndexDatabase.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/index/IndexConnection.h"
#include "platform/index/IndexReader.h"
#include "platform/index/IndexRecords.h"
#include "platform/index/IndexSchema.h"
#include "platform/index/IndexWriter.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {

namespace {

std::string databasePathOf(const index_iface::args& args) {
  return args.indexRoot + "/" + args.shareKey + ".db";
}

std::string formatTime(int64_t ns) {
  time_t seconds = static_cast<time_t>(ns / INDEX_NS_PER_SEC);
  struct tm local;
  localtime_r(&seconds, &local);
  char text[32];
  strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// Keeps a browse counted while it runs, so that shutdown can wait for it.
class BrowseInFlight {
 public:
  explicit BrowseInFlight(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
  ~BrowseInFlight() { count_.fetch_sub(1); }
  BrowseInFlight(const BrowseInFlight&) = delete;
  BrowseInFlight& operator=(const BrowseInFlight&) = delete;

 private:
  std::atomic<int>& count_;
};

}  // namespace

IndexDatabase::IndexDatabase(const index_iface::args& args)
    : args_(args), path_(databasePathOf(args)), origin_(newRandomGuid()) {}

IndexDatabase::~IndexDatabase() {
  std::lock_guard<std::mutex> guard(mutex_);
  closeLocked();
}

// ---- lifecycle ----

int IndexDatabase::ensureOpenLocked() {
  if (connection_ != nullptr) return 0;
  if (args_.indexRoot.empty() || args_.shareKey.empty()) {
    OSLOG(-1, "Error: index needs a root directory and a share key ([%s] [%s])",
          args_.indexRoot.c_str(), args_.shareKey.c_str());
    return EINVAL;
  }
  auto connection = std::make_unique<IndexConnection>(path_, args_.indexParam1, args_.indexParam2);
  int err = connection->open();
  if (err == 0) err = ensureIndexSchema(*connection);
  if (err != 0) {
    OSLOG(-1, "Error: Can't initialize index [%s] (%d)", path_.c_str(), err);
    return err;
  }
  reader_ = std::make_unique<IndexReader>(*connection, args_.caseSensitive);
  writer_ = std::make_unique<IndexWriter>(*connection, args_.caseSensitive, origin_);
  connection_ = std::move(connection);
  OSLOG(1, "Opened index [%s] subclient=%lu caseSensitive=%d", path_.c_str(),
        static_cast<unsigned long>(args_.subclient), args_.caseSensitive ? 1 : 0);
  return 0;
}

void IndexDatabase::closeLocked() {
  writer_.reset();
  reader_.reset();
  if (connection_ != nullptr) {
    connection_->close();
    connection_.reset();
    OSLOG(1, "Closed index [%s]", path_.c_str());
  }
}

int IndexDatabase::init() {
  IndexPerfTimer timer(IndexPerfOp::Init);
  if (args_.indexRoot.empty() || args_.shareKey.empty()) {
    OSLOG(-1, "Error: index needs a root directory and a share key ([%s] [%s])",
          args_.indexRoot.c_str(), args_.shareKey.c_str());
    return EINVAL;
  }
  int err = createDir(args_.indexRoot);
  if (err != 0) {
    OSLOG(-1, "Error: Can't create index directory [%s]: %s", args_.indexRoot.c_str(),
          strerror(err));
    return err;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  browsesStopped_.store(false);
  return ensureOpenLocked();
}

void IndexDatabase::cleanup() {
  std::lock_guard<std::mutex> guard(mutex_);
  closeLocked();
  browsesStopped_.store(false);
}

void IndexDatabase::flush() {
  IndexPerfTimer timer(IndexPerfOp::Flush);
  std::lock_guard<std::mutex> guard(mutex_);
  if (connection_ == nullptr) return;  // nothing written since the last close
  int err = 0;
  {
    // Trimming the feed here keeps it small on a store that runs for long.
    IndexTransaction transaction(*connection_, IndexTransaction::Mode::Write);
    err = transaction.begin();
    if (err == 0) err = IndexChangeFeed(*connection_).trim();
    if (err == 0) err = transaction.commit();
  }
  if (err == 0) err = connection_->checkpoint();
  lastFlushError_ = err;
  if (err == 0) {
    lastFlushNs_ = clockNowNs();
    OSLOG(2, "Flushed index [%s]", path_.c_str());
  } else {
    counters_.add(IndexCounter::Errors);
    OSLOG(-1, "Error: Can't flush index [%s] (%d)", path_.c_str(), err);
  }
}

// ---- operations ----

int IndexDatabase::count(int result, IndexCounter success) {
  if (result == 0) {
    counters_.add(success);
  } else if (result != ENOENT) {
    counters_.add(IndexCounter::Errors);
  }
  return result;
}

template <typename Query>
int IndexDatabase::readLocked(Query&& query) {
  int err = ensureOpenLocked();
  if (err != 0) return err;
  IndexTransaction transaction(*connection_, IndexTransaction::Mode::Read);
  err = transaction.begin();
  if (err != 0) return err;
  err = query(*reader_);
  if (err != 0) return err;  // the destructor ends the snapshot
  return transaction.commit();
}

int IndexDatabase::findByGuid(const index_iface_browse_fields& fields, index_iface_props& props) {
  IndexPerfTimer timer(IndexPerfOp::FindByGuid);
  int err = faults_.check(index_iface::FaultOp::Find);
  if (err == 0 && fields.guid.empty()) err = EINVAL;
  if (err == 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    const int64_t cutoff = asOfCutoffNs(fields.before_time);
    err = readLocked(
        [&](IndexReader& reader) { return reader.findByGuid(fields.guid, cutoff, props); });
  }
  if (err != 0)
    OSLOG(4, "find_by_guid [%s] before_time=%lu: %d", fields.guid.c_str(),
          static_cast<unsigned long>(fields.before_time), err);
  return count(err, IndexCounter::FindsByGuid);
}

int IndexDatabase::findByPath(const index_iface_browse_fields& fields, index_iface_props& props) {
  IndexPerfTimer timer(IndexPerfOp::FindByPath);
  int err = faults_.check(index_iface::FaultOp::Find);
  if (err == 0 && fields.path.empty()) err = EINVAL;
  if (err == 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    const int64_t cutoff = asOfCutoffNs(fields.before_time);
    err = readLocked(
        [&](IndexReader& reader) { return reader.findByPath(fields.path, cutoff, props); });
  }
  if (err != 0)
    OSLOG(4, "find_by_path [%s] before_time=%lu: %d", fields.path.c_str(),
          static_cast<unsigned long>(fields.before_time), err);
  return count(err, IndexCounter::FindsByPath);
}

int IndexDatabase::browseByGuid(const index_iface_browse_fields& fields,
                                std::vector<index_iface_props*>& list) {
  IndexPerfTimer timer(IndexPerfOp::BrowseByGuid);
  BrowseInFlight inFlight(browsesInFlight_);
  int err = browsesStopped_.load() ? ECANCELED : faults_.check(index_iface::FaultOp::Browse);
  if (err == 0 && fields.guid.empty()) err = EINVAL;
  if (err == 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    const int64_t cutoff = asOfCutoffNs(fields.before_time);
    err = readLocked(
        [&](IndexReader& reader) { return reader.browseChildren(fields.guid, cutoff, list); });
  }
  if (err != 0)
    OSLOG(4, "browse_by_guid [%s] before_time=%lu: %d", fields.guid.c_str(),
          static_cast<unsigned long>(fields.before_time), err);
  return count(err, IndexCounter::Browses);
}

int IndexDatabase::browseFileExtents(const index_iface_browse_fields& fields,
                                     std::vector<index_iface_props*>& list) {
  IndexPerfTimer timer(IndexPerfOp::BrowseFileExtents);
  BrowseInFlight inFlight(browsesInFlight_);
  int err = browsesStopped_.load() ? ECANCELED : faults_.check(index_iface::FaultOp::Browse);
  if (err == 0 && fields.guid.empty()) err = EINVAL;
  if (err == 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    const int64_t cutoff = asOfCutoffNs(fields.before_time);
    err = readLocked(
        [&](IndexReader& reader) { return reader.browseExtents(fields.guid, cutoff, list); });
  }
  return count(err, IndexCounter::ExtentBrowses);
}

int IndexDatabase::addItem(const index_iface_props& props) {
  IndexPerfTimer timer(IndexPerfOp::AddItem);
  int err = faults_.check(index_iface::FaultOp::Add);
  if (err == 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    err = ensureOpenLocked();
    if (err == 0) err = writer_->add(props);
  }
  return count(err, IndexCounter::Adds);
}

int IndexDatabase::updateItem(const index_iface_props& props) {
  IndexPerfTimer timer(IndexPerfOp::UpdateItem);
  int err = faults_.check(index_iface::FaultOp::Update);
  bool locationRecorded = false;
  if (err == 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    err = ensureOpenLocked();
    if (err == 0) err = writer_->update(props, locationRecorded);
  }
  if (locationRecorded && err == 0) counters_.add(IndexCounter::Locations);
  return count(err, IndexCounter::Updates);
}

int IndexDatabase::deleteItem(const index_iface_props& props) {
  IndexPerfTimer timer(IndexPerfOp::DeleteItem);
  int err = faults_.check(index_iface::FaultOp::Delete);
  if (err == 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    err = ensureOpenLocked();
    if (err == 0) err = writer_->remove(props);
  }
  return count(err, IndexCounter::Deletes);
}

int IndexDatabase::renameItem(const index_iface_props& props, const std::string& oldParentGuid,
                              const std::string& oldPath, bool isDirectory) {
  IndexPerfTimer timer(IndexPerfOp::RenameItem);
  int err = faults_.check(index_iface::FaultOp::Rename);
  if (err == 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    err = ensureOpenLocked();
    if (err == 0) err = writer_->rename(props, oldParentGuid, oldPath, isDirectory);
  }
  return count(err, IndexCounter::Renames);
}

int IndexDatabase::setBackupLocations(const std::vector<index_iface::BackupLocation>& locations) {
  IndexPerfTimer timer(IndexPerfOp::SetBackupLocation);
  std::lock_guard<std::mutex> guard(mutex_);
  int err = ensureOpenLocked();
  if (err == 0) err = writer_->setLocations(locations);
  if (err != 0) return count(err, IndexCounter::Locations);
  for (size_t i = 0; i < locations.size(); ++i) counters_.add(IndexCounter::Locations);
  return 0;
}

int IndexDatabase::takeChanges(std::vector<index_iface_props>& items) {
  IndexPerfTimer timer(IndexPerfOp::ChangeFeed);
  items.clear();
  std::lock_guard<std::mutex> guard(mutex_);
  int err = ensureOpenLocked();
  if (err == 0) err = IndexChangeFeed(*connection_).take(consumer_, origin_, items);
  if (err != 0) {
    counters_.add(IndexCounter::Errors);
  } else {
    OSLOG(2, "index [%s]: %zu changes for consumer [%s]", path_.c_str(), items.size(),
          consumer_.c_str());
  }
  return err;
}

// ---- content root ----

void IndexDatabase::getContentRoot(index_iface_props& props) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string root;
  std::string rootVersion;
  int err = ensureOpenLocked();
  if (err == 0) {
    err = readLocked([&](IndexReader& reader) {
      int result = reader.rootGuid(root);
      if (result == 0 && !root.empty()) result = reader.metaValue("root_ver", rootVersion);
      if (result == 0 && !root.empty()) {
        index_iface_props found;
        if (reader.findByGuid(root, INDEX_CUTOFF_LATEST, found) == 0) {
          props = std::move(found);
          return 0;
        }
        props = index_iface_props();
        props.objGuid = root;
        props.verGuid = rootVersion;
        props.path = "/";
      }
      return result;
    });
  }
  if (err != 0) OSLOG(-1, "Error: Can't read the content root of [%s] (%d)", path_.c_str(), err);
  if (err == 0 && !root.empty()) return;
  // No root yet: the same fresh GUID until one is recorded, so that two
  // callers racing to create the root agree on it.
  if (pendingRootGuid_.empty()) pendingRootGuid_ = newRandomGuid();
  props = index_iface_props();
  props.objGuid = pendingRootGuid_;
}

void IndexDatabase::setContentRoot(const index_iface_props& props) {
  std::lock_guard<std::mutex> guard(mutex_);
  int err = ensureOpenLocked();
  if (err == 0) err = writer_->setRoot(props);
  if (reader_ != nullptr) reader_->forgetRoot();
  if (err != 0) {
    counters_.add(IndexCounter::Errors);
    OSLOG(-1, "Error: Can't record the content root [%s] of [%s] (%d)", props.objGuid.c_str(),
          path_.c_str(), err);
    return;
  }
  pendingRootGuid_.clear();
}

// ---- browses, counters, status ----

void IndexDatabase::stopAsyncBrowses() {
  browsesStopped_.store(true);
  OSLOG(2, "index [%s]: browses stopped (%d in flight)", path_.c_str(), browsesInFlight_.load());
}

void IndexDatabase::getCounters(std::map<std::string, std::string>& counters) const {
  counters_.fill(counters);
}

void IndexDatabase::clearCounters() { counters_.clear(); }

std::string IndexDatabase::flushStatus() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string last = lastFlushNs_ == 0 ? "never" : formatTime(lastFlushNs_);
  if (lastFlushError_ != 0) {
    return std::string("error: ") + strerror(lastFlushError_) + ", last flush " + last;
  }
  return lastFlushNs_ == 0 ? "ok, not flushed yet" : "ok, last flush " + last;
}

std::string IndexDatabase::queryStatus() const {
  uint64_t queries =
      counters_.get(IndexCounter::FindsByGuid) + counters_.get(IndexCounter::FindsByPath) +
      counters_.get(IndexCounter::Browses) + counters_.get(IndexCounter::ExtentBrowses);
  uint64_t errors = counters_.get(IndexCounter::Errors);
  std::string status = errors == 0 ? "ok, " : "errors: " + std::to_string(errors) + ", ";
  return status + std::to_string(queries) + " queries";
}

void IndexDatabase::dumpCaches() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (connection_ == nullptr) {
    OSLOG(3, "index [%s] is closed: no cached statements", path_.c_str());
    return;
  }
  connection_->dumpStatements();
}

void IndexDatabase::setChangeConsumer(const std::string& name) {
  std::lock_guard<std::mutex> guard(mutex_);
  consumer_ = name.empty() ? "local" : name;
}

}  // namespace ObjectStore
