// The live share's backup from the write to the backup target: files written
// through the container end up committed, the share's index holds where each
// extent lies, and the bytes read back from there are the bytes written.
// Also the store's side of it: which views get a queue, the run-time updates
// that reach the queue, and the final send on close.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/BackupControllerThread.h"
#include "ObjectStore/BackupQueue.h"
#include "core/StoreFixture.h"
#include "platform/backup/BackupInterface.h"
#include "platform/backup/BackupTransportFaults.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

constexpr uint64_t EXTENT_SIZE = 64 * 1024;

using test::waitUntil;

// Bytes that differ per file and per position, so that a misplaced or stale
// extent never matches by accident.
std::string patternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

class BackupEndToEndTest : public test::StoreFixture {
 protected:
  struct Written {
    guid_t objGuid;
    guid_t verGuid;
    std::string content;
  };

  void SetUp() override {
    StoreFixture::SetUp();
    BackupTransportFaults::clear();
    BackupTimings timings;
    timings.outerWaitMs = 50;
    timings.firstStartRetryMs = 100;
    timings.restartPauseMs = 100;
    timings.restartRetryMs = 100;
    timings.pollMs = 100;
    timings.workerWaitMs = 20;
    BackupTimings::setForTesting(timings);
  }

  void TearDown() override {
    if (containerIndexOpen_) (void)container_->closeObjectStore(containerIndex_);
    StoreFixture::TearDown();
    BackupTransportFaults::clear();
    BackupTimings::resetForTesting();
  }

  // A live share whose writes are sent within about a second.
  static ObjectStoreConfig fastConfig(uint64_t backupTimeout = 0) {
    ObjectStoreConfig config = liveConfig();
    config.backupTimeout = backupTimeout;
    config.jobIdleTimeoutMs = 300000;
    config.extentSize = EXTENT_SIZE;
    return config;
  }

  void openThroughContainer(const ObjectStoreConfig& config) {
    ASSERT_OK(container_->openObjectStore(containerIndex_, config));
    containerIndexOpen_ = true;
  }

  std::set<guid_t> pendingInJournal() {
    std::set<guid_t> pending;
    EXPECT_OK(BackupQueue::readPendingFromJournal(
        BackupQueue::journalDirOf(containerDir_ + "/objstr", std::to_string(SUBCLIENT)), pending));
    return pending;
  }

  static std::vector<guid_t> segmentsOf(const Written& file) {
    std::vector<guid_t> segments;
    for (uint64_t n = 0; n * EXTENT_SIZE < file.content.size(); ++n)
      segments.push_back(fileToExtentGuid(file.verGuid, n));
    return segments;
  }

  Written writeThroughContainer(const std::string& name, const std::string& content, Sync sync) {
    Written file;
    file.content = content;
    ItemName parent("/"), item;
    EXPECT_OK(container_->create(containerIndex_, parent, item, name, 0644));
    ItemName byPath("/" + name);
    FileHandle handle;
    EXPECT_OK(container_->open(containerIndex_, handle, byPath, O_RDWR, false));
    uint64_t len = content.size();
    EXPECT_OK(container_->write(containerIndex_, handle, content.data(), len, 0, sync));
    EXPECT_EQ(len, content.size());
    file.objGuid = handle.name.objGuid;
    file.verGuid = handle.name.verGuid;
    EXPECT_OK(container_->close(containerIndex_, handle));
    return file;
  }

  Written writeThroughStore(ObjectStore& store, const std::string& name,
                            const std::string& content) {
    Written file;
    file.content = content;
    ItemName item;
    EXPECT_OK(store.create(item, "/" + name, 0644, FILE_TYPE_REGULAR));
    ItemName byPath("/" + name);
    FileHandle handle;
    EXPECT_OK(store.open(handle, byPath, O_RDWR, false));
    uint64_t len = content.size();
    EXPECT_OK(store.write(handle, content.data(), len, 0, NO_SYNC));
    file.objGuid = handle.name.objGuid;
    file.verGuid = handle.name.verGuid;
    EXPECT_OK(store.close(handle, CLIENT_CLOSE));
    return file;
  }

  // Every extent of the file: the index names the written segment and a
  // backup location, and the restore library returns exactly its bytes.
  void expectBackedUp(const Written& file) {
    auto index = shareIndex(fastConfig());
    SubClientInfo info;
    ASSERT_TRUE(GetSubClientInfo(SUBCLIENT, info));
    RestoreInterface restore(info);
    ASSERT_TRUE(restore.IsInitSuccessFull());
    for (uint64_t n = 0; n * EXTENT_SIZE < file.content.size(); ++n) {
      index_iface_browse_fields fields;
      fields.guid = fileToExtentGuid(file.objGuid, n);
      index_iface_props props;
      ASSERT_EQ(index->find_by_guid(fields, props), 0) << "extent " << n << " not in the index";
      EXPECT_EQ(props.verGuid, fileToExtentGuid(file.verGuid, n));
      ASSERT_GT(props.afileId, 0) << "extent " << n << " has no backup location";
      ASSERT_GE(props.afileOffset, 0);
      AfileInfo where;
      where.afileId = static_cast<uint64_t>(props.afileId);
      where.afileOffset = static_cast<uint64_t>(props.afileOffset);
      std::string buffer(EXTENT_SIZE + 4096, '\0');
      uint64_t size = buffer.size();
      ASSERT_TRUE(restore.Restore(where, "/f", &size, buffer.data(), ""));
      buffer.resize(size);
      const std::string expected = file.content.substr(n * EXTENT_SIZE, EXTENT_SIZE);
      EXPECT_TRUE(buffer == expected)
          << "extent " << n << ": " << size << " bytes restored, " << expected.size() << " written";
    }
  }

  ObjectStoreIndex containerIndex_ = 0;
  bool containerIndexOpen_ = false;
};

// ---------------------------------------------------------------------------
// Through the container

TEST_F(BackupEndToEndTest, FilesWrittenThroughTheContainerAreCommittedWithTheirBytes) {
  openThroughContainer(fastConfig());
  std::vector<Written> files;
  files.push_back(writeThroughContainer("big", patternBytes(3 * EXTENT_SIZE + 1000, 1), NO_SYNC));
  files.push_back(writeThroughContainer("small", patternBytes(17, 2), NO_SYNC));
  files.push_back(writeThroughContainer("synced", patternBytes(EXTENT_SIZE, 3), DO_SYNC));

  // Every written extent is journaled as soon as the write returns.
  const std::set<guid_t> pending = pendingInJournal();
  size_t extents = 0;
  for (const Written& file : files) {
    for (const guid_t& segment : segmentsOf(file)) {
      EXPECT_EQ(pending.count(segment), 1u) << segment;
      ++extents;
    }
  }
  EXPECT_EQ(extents, 6u);

  ASSERT_TRUE(waitUntil([&] { return pendingInJournal().empty(); }))
      << pendingInJournal().size() << " segments still pending";
  for (const Written& file : files) expectBackedUp(file);
}

TEST_F(BackupEndToEndTest, RewrittenExtentIsBackedUpAgainWithItsNewBytes) {
  openThroughContainer(fastConfig());
  Written file = writeThroughContainer("f", patternBytes(2 * EXTENT_SIZE, 7), NO_SYNC);
  ASSERT_TRUE(waitUntil([&] { return pendingInJournal().empty(); }));
  expectBackedUp(file);

  // The same version (no new version on open): the second extent's segment
  // changes in place and must be sent again.
  ItemName byPath("/f");
  FileHandle handle;
  ASSERT_OK(container_->open(containerIndex_, handle, byPath, O_RDWR, false));
  ASSERT_EQ(handle.name.verGuid, file.verGuid);
  const std::string patch = patternBytes(5000, 8);
  uint64_t len = patch.size();
  ASSERT_OK(
      container_->write(containerIndex_, handle, patch.data(), len, EXTENT_SIZE + 100, NO_SYNC));
  ASSERT_OK(container_->close(containerIndex_, handle));
  file.content.replace(EXTENT_SIZE + 100, patch.size(), patch);

  EXPECT_EQ(pendingInJournal().count(fileToExtentGuid(file.verGuid, 1)), 1u);
  EXPECT_EQ(pendingInJournal().count(fileToExtentGuid(file.verGuid, 0)), 0u);
  ASSERT_TRUE(waitUntil([&] { return pendingInJournal().empty(); }));
  expectBackedUp(file);
}

TEST_F(BackupEndToEndTest, CloseSendsWhatStillWaitsForItsQuietPeriod) {
  openThroughContainer(fastConfig());
  const Written first = writeThroughContainer("first", patternBytes(1000, 11), NO_SYNC);
  ASSERT_TRUE(waitUntil([&] { return pendingInJournal().empty(); }));  // a job is running now

  ObjectStoreUpdates updates;
  updates.updateTimeout = true;
  updates.timeout = 3600;
  ASSERT_OK(container_->updateObjectStore(containerIndex_, updates));
  const Written second =
      writeThroughContainer("second", patternBytes(EXTENT_SIZE + 5, 12), NO_SYNC);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(pendingInJournal().size(), 2u) << "the hour-long quiet period held nothing back";

  ASSERT_OK(container_->closeObjectStore(containerIndex_));
  containerIndexOpen_ = false;
  EXPECT_TRUE(pendingInJournal().empty());
  expectBackedUp(first);
  expectBackedUp(second);
}

TEST_F(BackupEndToEndTest, StoreThatCannotStartItsQueueDoesNotOpen) {
  // A file where the journal directory must go.
  ASSERT_EQ(createDir(containerDir_ + "/objstr"), 0);
  test::writeFile(containerDir_ + "/objstr/" + JOURNAL_DIR, "in the way");
  LogCapture log;
  ObjectStoreIndex index = 0;
  CZnError err = container_->openObjectStore(index, fastConfig());
  EXPECT_FALSE(err.ok());
  EXPECT_EQ(log.countContaining("Error: [share_42] Can't initialize backup queue"), 1u)
      << log.dump();
  EXPECT_EQ(container_->getRootGuid(index), "");
}

// ---------------------------------------------------------------------------
// The store's own wiring

TEST_F(BackupEndToEndTest, OnlyTheLiveWritableShareHasAQueue) {
  ObjectStoreConfig readOnly = fastConfig();
  readOnly.readOnly = true;
  ObjectStore* store = openStore(readOnly);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->backupQueue(), nullptr);
  closeStore(*store);

  ObjectStore* view = openStore(pitConfig(1700000000, "pit"));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->backupQueue(), nullptr);
  closeStore(*view);

  ObjectStore* live = openStore(fastConfig());
  ASSERT_NE(live, nullptr);
  ASSERT_NE(live->backupQueue(), nullptr);
  EXPECT_EQ(live->backupQueue()->journalDir(),
            containerDir_ + "/objstr/" + JOURNAL_DIR + "/" + std::to_string(SUBCLIENT));
}

TEST_F(BackupEndToEndTest, ReadOnlyStoreQueuesNothing) {
  // Writes of the writable store are journaled; a read-only store of the
  // same share never adds to the journal.
  ObjectStoreConfig config = fastConfig(3600);
  ObjectStore* live = openStore(config);
  ASSERT_NE(live, nullptr);
  BackupTransportFaults::failGetController(1000000, EIO);  // keep it all in the journal
  const Written file = writeThroughStore(*live, "f", patternBytes(100, 4));
  closeStore(*live);
  const std::set<guid_t> before = pendingInJournal();
  EXPECT_EQ(before, std::set<guid_t>{fileToExtentGuid(file.verGuid, 0)});

  config.readOnly = true;
  ObjectStore* readOnly = openStore(config);
  ASSERT_NE(readOnly, nullptr);
  readOnly->pushToBackupQueue("segment-of-nobody");  // no queue: nothing happens
  EXPECT_EQ(pendingInJournal(), before);
}

TEST_F(BackupEndToEndTest, UpdateTimeoutReachesTheQueue) {
  registerShareIndex(SUBCLIENT, shareIndex(fastConfig()), containerDir_ + "/backup");
  ObjectStore* store = openStore(fastConfig(3600));
  ASSERT_NE(store, nullptr);
  BackupQueue* queue = store->backupQueue();
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(queue->timeout(), 3600u);

  const Written file = writeThroughStore(*store, "f", patternBytes(300, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(queue->modifiedSize(), 1u);

  LogCapture log;
  ObjectStoreUpdates updates;
  updates.updateTimeout = true;
  updates.timeout = 0;
  ASSERT_OK(store->updateObjectStore(updates));
  EXPECT_EQ(queue->timeout(), 0u);
  EXPECT_TRUE(log.contains("updated timeout to 0", 3)) << log.dump();
  ASSERT_TRUE(waitUntil([&] {
    return queue->modifiedSize() == 0 && queue->queuedSize() == 0 && queue->uncommittedSize() == 0;
  }));
  EXPECT_EQ(queue->counters().committed.load(), 1u);
  closeStore(*store);
  expectBackedUp(file);
  unregisterShareIndex(SUBCLIENT);
}

TEST_F(BackupEndToEndTest, RestartRequestRestartsTheRunningJobOnlyWithAJobArgument) {
  registerShareIndex(SUBCLIENT, shareIndex(fastConfig()), containerDir_ + "/backup");
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  BackupQueue* queue = store->backupQueue();
  ASSERT_NE(queue, nullptr);
  (void)writeThroughStore(*store, "f", patternBytes(300, 6));
  ASSERT_TRUE(waitUntil([&] { return queue->counters().committed.load() == 1; }));
  BackupControllerThread* controller = queue->controller();
  ASSERT_NE(controller, nullptr);
  ASSERT_EQ(controller->counters().jobStarted.load(), 1u);

  // Without the second argument the request is not one.
  ObjectStoreUpdates ignored;
  ignored.restartBackupJob = true;
  ignored.jobArg1 = "job";
  ASSERT_OK(store->updateObjectStore(ignored));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(controller->counters().jobFailed.load(), 0u);
  EXPECT_EQ(controller->getJobStatus(), JOB_STATUS_RUNNING);

  ObjectStoreUpdates restart;
  restart.restartBackupJob = true;
  restart.jobArg2 = "job";
  ASSERT_OK(store->updateObjectStore(restart));
  ASSERT_TRUE(waitUntil([&] { return controller->counters().jobStarted.load() == 2; }));
  EXPECT_EQ(controller->counters().jobFailed.load(), 1u);

  // The restarted job still backs up.
  const Written later = writeThroughStore(*store, "g", patternBytes(EXTENT_SIZE + 1, 9));
  ASSERT_TRUE(waitUntil([&] { return queue->counters().committed.load() == 3; }));
  closeStore(*store);
  expectBackedUp(later);
  unregisterShareIndex(SUBCLIENT);
}

}  // namespace
}  // namespace ObjectStore
