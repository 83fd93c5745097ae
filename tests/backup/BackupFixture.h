// A fixture for tests of the backup transport: a real disk cache with one
// share context, a real index of that share holding one file, the backup
// target registered with the transport and the restore library, and a
// commit recorder that checks, inside every callback, that each committed
// GUID's location is in the index and restores to the bytes that were sent.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "platform/backup/BackupInterface.h"
#include "platform/backup/BackupTransportFaults.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/support/Clock.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore::test {

inline constexpr uint64_t BACKUP_TEST_SUBCLIENT = 42;

class BackupFixture : public TestEnv {
 protected:
  struct Location {
    int64_t afileId = -1;
    int64_t offset = -1;
  };

  void SetUp() override {
    TestEnv::SetUp();
    BackupTransportFaults::clear();
    clearBackupTransportCounters();
    backupDir_ = path("backup");
    ASSERT_TRUE(initBackupInterace(backupDir_));

    cache_ = std::make_unique<DiskCache>(0);
    cache_->setPruneInterval(3600 * 1000);
    CZnError err =
        cache_->init(path("cache"), {path("cache")}, 90, 80, 85, 1000, nullptr, PruningMode::Lru);
    ASSERT_TRUE(err.ok()) << err.chain();
    ctx_.name = std::to_string(BACKUP_TEST_SUBCLIENT);
    ctx_.noprunePath = "noprune/" + ctx_.name + "_0";
    err = cache_->registerContext(ctx_);
    ASSERT_TRUE(err.ok()) << err.chain();

    index_iface::args args;
    args.subclient = BACKUP_TEST_SUBCLIENT;
    args.indexRoot = path("index");
    args.shareKey = "share";
    index_ = std::make_shared<index_iface>(args);
    ASSERT_EQ(index_->init(), 0);
    ASSERT_EQ(addItem(rootGuid_, rootGuid_ + "-0", "/", "", 0x41ED), 0);
    index_iface_props root;
    root.objGuid = rootGuid_;
    root.verGuid = rootGuid_ + "-0";
    root.path = "/";
    index_->set_content_root_props(root);
    ASSERT_EQ(addItem(fileGuid_, fileVersion_, "/file", rootGuid_, 0x81A4), 0);

    registerShareIndex(BACKUP_TEST_SUBCLIENT, index_, backupDir_);
    ASSERT_TRUE(registerSubClient(BACKUP_TEST_SUBCLIENT, backupDir_));
  }

  void TearDown() override {
    jobs_.clear();
    unregisterShareIndex(BACKUP_TEST_SUBCLIENT);
    BackupTransportFaults::clear();
    if (cache_) {
      (void)cache_->unregisterContext(ctx_);  // teardown: nothing to do about a failure
      cache_->shutdownPruner();
      cache_.reset();
    }
    index_.reset();
    TestEnv::TearDown();
  }

  // A new disk cache object on the same directory, as after a restart (the
  // old one may hold a damaged segment's file open and trust it).
  void reopenCache() {
    (void)cache_->unregisterContext(ctx_);  // the old cache goes away either way
    cache_->shutdownPruner();
    cache_.reset();
    cache_ = std::make_unique<DiskCache>(0);
    cache_->setPruneInterval(3600 * 1000);
    CZnError err =
        cache_->init(path("cache"), {path("cache")}, 90, 80, 85, 1000, nullptr, PruningMode::Lru);
    ASSERT_TRUE(err.ok()) << err.chain();
    err = cache_->registerContext(ctx_);
    ASSERT_TRUE(err.ok()) << err.chain();
  }

  // ---- the share's content ----

  static std::string extentName(const std::string& guid, unsigned number) {
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), ".%07u", number);
    return guid + suffix;
  }
  // The segment name of extent `number` of the test file's version.
  std::string segmentOf(unsigned number) const { return extentName(fileVersion_, number); }

  // Records extent `number` in the index and creates its segment in the disk
  // cache with `data` as its data section. Returns the segment name.
  std::string makeExtent(unsigned number, const std::string& data) {
    index_iface_props extent;
    extent.objGuid = extentName(fileGuid_, number);
    extent.verGuid = segmentOf(number);
    extent.parentGuid = fileGuid_;
    extent.modeValid = extent.uidValid = extent.gidValid = true;
    extent.mode = extent.uid = extent.gid = 0;
    extent.size = 0;
    extent.vtime = clockNowNs();
    extent.extentSize = 1 << 20;
    extent.updateSelector = 1;
    extent.extentNumber = number;
    EXPECT_EQ(index_->add_item(extent), 0);
    const std::string segment = segmentOf(number);
    putSegmentData(segment, data, true);
    std::lock_guard<std::mutex> guard(mutex_);
    extentOfSegment_[segment] = extent.objGuid;
    expected_[segment] = data;
    return segment;
  }

  // Creates the segment, or replaces its data section.
  void putSegmentData(const std::string& segment, const std::string& data, bool create) {
    Section s;
    s.number = 1;
    s.size = data.size();
    s.bufferLength = data.size();
    s.buffer = const_cast<char*>(data.data());
    CZnError err = create ? cache_->createSegment(ctx_, segment, {s}, false, false, false)
                          : cache_->replaceSegment(ctx_, segment, {s});
    EXPECT_TRUE(err.ok()) << err.chain();
    if (!create) {
      std::lock_guard<std::mutex> guard(mutex_);
      expected_[segment] = data;
    }
  }

  // The location the index holds for a segment's extent (as of now).
  Location locationOf(const std::string& segment) {
    std::string extent;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      extent = extentOfSegment_[segment];
    }
    index_iface_browse_fields fields;
    fields.guid = extent;
    index_iface_props props;
    Location where;
    if (index_->find_by_guid(fields, props) == 0) {
      where.afileId = props.afileId;
      where.offset = props.afileOffset;
    }
    return where;
  }

  // The bytes the restore library gives for a location ("<failed>" if none).
  std::string restoreAt(const Location& where, uint64_t capacity = 4 << 20) {
    SubClientInfo info;
    if (!GetSubClientInfo(BACKUP_TEST_SUBCLIENT, info)) return "<no subclient>";
    RestoreInterface restore(info);
    std::vector<char> buffer(capacity);
    uint64_t size = capacity;
    AfileInfo afile;
    afile.afileId = static_cast<uint64_t>(where.afileId);
    afile.afileOffset = static_cast<uint64_t>(where.offset);
    if (!restore.Restore(afile, "/file", &size, buffer.data(), "")) return "<failed>";
    return std::string(buffer.data(), size);
  }

  // ---- jobs ----

  std::shared_ptr<BackupInterface> startJob(int streams = 3) {
    auto info =
        std::make_shared<OBJECTOPSAPI::JobInfo>(streams, 2, 0, "", 110, BACKUP_TEST_SUBCLIENT, 2);
    std::shared_ptr<BackupInterface> job;
    CZnError err = BackupInterface::getController(info, job, false);
    EXPECT_TRUE(err.ok()) << err.chain();
    if (!job) return nullptr;
    EXPECT_TRUE(job->setCallBack(&BackupFixture::onCommit, this).ok());
    jobs_.push_back(job);
    return job;
  }

  CZnError send(BackupInterface& job, const std::string& guid,
                std::list<std::string>* requeue = nullptr, int64_t* bytesOut = nullptr,
                int* streamOut = nullptr) {
    std::list<std::string> local;
    int64_t bytes = -1;
    int stream = -1;
    CZnError err =
        job.sendItem(guid.c_str(), requeue ? *requeue : local, bytes, stream, *cache_, ctx_);
    if (bytesOut) *bytesOut = bytes;
    if (streamOut) *streamOut = stream;
    return err;
  }

  // ---- commits ----

  static void onCommit(unsigned int, std::list<std::string> guids, void* context) {
    auto* self = static_cast<BackupFixture*>(context);
    std::vector<std::string> batch(guids.begin(), guids.end());
    for (const std::string& guid : batch) {
      if (!self->verifyInCallback_) break;
      // The promise of a commit: the location is recorded and the bytes there
      // are the segment's.
      const Location where = self->locationOf(guid);
      std::string expected;
      {
        std::lock_guard<std::mutex> guard(self->mutex_);
        expected = self->expected_[guid];
      }
      if (where.afileId <= 0 || where.offset < 0)
        self->recordProblem("no location for " + guid);
      else if (self->restoreAt(where) != expected)
        self->recordProblem("wrong bytes for " + guid);
    }
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->batches_.push_back(batch);
    for (const std::string& guid : batch) self->committed_[guid]++;
    self->callbackThreads_.push_back(std::this_thread::get_id());
    self->commitsChanged_.notify_all();
  }

  void recordProblem(const std::string& problem) {
    std::lock_guard<std::mutex> guard(mutex_);
    problems_.push_back(problem);
  }

  size_t committedCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t n = 0;
    for (const auto& [guid, count] : committed_) n += static_cast<size_t>(count);
    return n;
  }
  int timesCommitted(const std::string& guid) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = committed_.find(guid);
    return it == committed_.end() ? 0 : it->second;
  }
  std::vector<std::vector<std::string>> batches() {
    std::lock_guard<std::mutex> guard(mutex_);
    return batches_;
  }
  std::vector<std::string> problems() {
    std::lock_guard<std::mutex> guard(mutex_);
    return problems_;
  }
  // Waits until at least n commits were reported; false on timeout.
  bool waitForCommits(size_t n, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return commitsChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      size_t total = 0;
      for (const auto& [guid, count] : committed_) total += static_cast<size_t>(count);
      return total >= n;
    });
  }

  // The share's afile directory.
  std::string afileDir() const { return backupDir_ + "/" + std::to_string(BACKUP_TEST_SUBCLIENT); }

  int addItem(const std::string& guid, const std::string& version, const std::string& itemPath,
              const std::string& parent, int mode) {
    index_iface_props props;
    props.objGuid = guid;
    props.verGuid = version;
    props.path = itemPath;
    props.parentGuid = parent;
    props.modeValid = props.uidValid = props.gidValid = true;
    props.mode = mode;
    props.uid = props.gid = 0;
    props.size = 0;
    props.atime = props.ctime = props.mtime = clockNowSec();
    props.extentSize = 1 << 20;
    props.itemFlag = (mode & 0xF000) == 0x8000 ? 1 : 0;
    props.vtime = clockNowNs();
    return index_->add_item(props);
  }

  std::string backupDir_;
  std::unique_ptr<DiskCache> cache_;
  DiskCacheContext ctx_;
  std::shared_ptr<index_iface> index_;
  const std::string rootGuid_ = "00000000000000000000000000000001";
  const std::string fileGuid_ = "0000000000000000000000000000f11e";
  const std::string fileVersion_ = "00000000000000000000000000000f01";
  bool verifyInCallback_ = true;  // set before a job starts

  std::mutex mutex_;  // guards everything below
  std::condition_variable commitsChanged_;
  std::map<std::string, std::string> extentOfSegment_;
  std::map<std::string, std::string> expected_;
  std::vector<std::vector<std::string>> batches_;
  std::map<std::string, int> committed_;
  std::vector<std::thread::id> callbackThreads_;
  std::vector<std::string> problems_;
  std::vector<std::shared_ptr<BackupInterface>> jobs_;
};

}  // namespace ObjectStore::test
