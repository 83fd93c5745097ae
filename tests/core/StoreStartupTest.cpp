// Store start-up settings, the disk-cache registration and run-time changes.
#include <gtest/gtest.h>

#include <cerrno>

#include "ObjectStore/BackupQueue.h"
#include "core/StoreFixture.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

class StoreStartupTest : public test::StoreFixture {};

TEST_F(StoreStartupTest, UnparsableShareSizeIntervalFallsBackToZeroWithOneError) {
  setRegistry("UpdateShareSizeIntervalSec", "soon");
  LogCapture log;
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->shareSizeUpdateInterval(), 0);
  EXPECT_EQ(log.count("Error: Can't parse [UpdateShareSizeIntervalSec]: [soon]", -1), 1u)
      << log.dump();
}

TEST_F(StoreStartupTest, ShareSizeIntervalOutsideItsBoundsIsUsedAsGiven) {
  setRegistry("UpdateShareSizeIntervalSec", "5000");
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->shareSizeUpdateInterval(), 5000);
  EXPECT_FALSE(store->saveCorruptSegments());
}

TEST_F(StoreStartupTest, LiveStoreRegistration) {
  ObjectStoreConfig config = liveConfig();
  config.backupFilter = ".tmp,.o";
  LogCapture log;
  ObjectStore* store = openStore(config);
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(store->isActive());
  EXPECT_EQ(store->getRootName(), "share_42");
  EXPECT_EQ(store->snapshotSuffix(), "0");
  const DiskCacheContext& ctx = store->diskCacheContext();
  EXPECT_EQ(ctx.name, "42");
  EXPECT_EQ(ctx.noprunePath, "noprune/42_0");
  EXPECT_EQ(ctx.viewPath, "");
  EXPECT_TRUE(ctx.keepFiltered);
  EXPECT_FALSE(ctx.keepAll);
  EXPECT_TRUE(static_cast<bool>(ctx.pruneCallback));
  EXPECT_EQ(store->backupFilterTokens(), (std::vector<std::string>{".tmp", ".o"}));
  EXPECT_EQ(log.countContaining("Initialized [share_42]: subclient=[42]", 1), 1u);

  // The live writable share hands its changes to a backup queue of its own,
  // started empty with the configured quiet period and a journal on disk.
  BackupQueue* queue = store->backupQueue();
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(queue->timeout(), config.backupTimeout);
  EXPECT_EQ(queue->modifiedSize(), 0u);
  EXPECT_EQ(queue->queuedSize(), 0u);
  EXPECT_EQ(queue->uncommittedSize(), 0u);
  EXPECT_TRUE(test::fileExists(BackupQueue::journalDirOf(containerDir_ + "/objstr", ctx.name)));
  EXPECT_EQ(log.countContaining("without a backup queue"), 0u) << log.dump();

  // Nothing a view writes belongs in the backup: views have no queue,
  // whether they keep their writes or discard them.
  ObjectStore* view = openStore(pitConfig(1600000000, "pit"));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->backupQueue(), nullptr);
  ObjectStore* scratch = openStore(pitConfig(1600000000, "scratch", true));
  ASSERT_NE(scratch, nullptr);
  EXPECT_EQ(scratch->backupQueue(), nullptr);
  EXPECT_EQ(store->backupQueue(), queue);
}

TEST_F(StoreStartupTest, ReadOnlyLiveStoreHasNoBackupQueue) {
  ObjectStoreConfig config = liveConfig();
  config.readOnly = true;
  ObjectStore* store = openStore(config);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->backupQueue(), nullptr);
}

TEST_F(StoreStartupTest, DiscardWritesOnTheLiveShareHasNoEffectAtStartUp) {
  ObjectStoreConfig config = liveConfig();
  config.discardWrites = true;
  ObjectStore* store = openStore(config);
  ASSERT_NE(store, nullptr);
  EXPECT_FALSE(store->discardsWrites());
  EXPECT_FALSE(store->diskCacheContext().keepAll);
  EXPECT_FALSE(store->diskCacheContext().keepFiltered);
}

TEST_F(StoreStartupTest, PointInTimeViewThatDiscardsWrites) {
  LogCapture log;
  ObjectStore* view = openStore(pitConfig(1600000000, "pit", true));
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(view->discardsWrites());
  EXPECT_EQ(view->snapshotSuffix(), "5f5e1000");
  const DiskCacheContext& ctx = view->diskCacheContext();
  EXPECT_EQ(ctx.noprunePath, "noprune/42_pit");
  EXPECT_EQ(ctx.viewPath, "views/42_pit");
  EXPECT_TRUE(ctx.keepAll);
  EXPECT_TRUE(ctx.keepFiltered);
  // Never a backup queue for a point-in-time view.
  EXPECT_EQ(log.countContaining("without a backup queue"), 0u);
}

TEST_F(StoreStartupTest, ReadOnlyLiveShareRunsNoBackupQueue) {
  ObjectStoreConfig config = liveConfig();
  config.readOnly = true;
  LogCapture log;
  ObjectStore* store = openStore(config);
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(store->isReadOnly());
  EXPECT_EQ(log.countContaining("without a backup queue"), 0u);
}

TEST_F(StoreStartupTest, UnknownSubclientFailsWithEinval) {
  ObjectStoreConfig config = liveConfig("other", 777);
  LogCapture log;
  ObjectStore* store = nullptr;
  CZnError err = tryOpenStore(config, &store, false);
  EXPECT_EQ(err.errNo(), EINVAL);
  EXPECT_EQ(store, nullptr);
  EXPECT_TRUE(
      log.contains("Error: [other_777] Can't get subClient info from restore interface", -1));
}

TEST_F(StoreStartupTest, UninitializeUnregistersAndDeactivates) {
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  EXPECT_OK(store->uninitialize());
  EXPECT_FALSE(store->isActive());
  EXPECT_OK(store->uninitialize());  // again: nothing left to undo
}

TEST_F(StoreStartupTest, DiscardWritesCannotBeSwitchedOnForTheLiveShare) {
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  ObjectStoreUpdates updates;
  updates.updateDiscardWrites = true;
  updates.discardWrites = true;
  LogCapture log;
  ASSERT_OK(store->updateObjectStore(updates));
  EXPECT_EQ(log.count("[share_42] discard writes are not valid for main share", 2), 1u)
      << log.dump();
  EXPECT_FALSE(store->discardsWrites());
  EXPECT_FALSE(store->isReadOnly());
  EXPECT_FALSE(store->diskCacheContext().keepAll);
}

TEST_F(StoreStartupTest, DiscardWritesSwitchedOnAndOffForAView) {
  ObjectStoreConfig config = pitConfig(1600000000, "pit");
  config.readOnly = true;
  ObjectStore* view = openStore(config);
  ASSERT_NE(view, nullptr);
  ObjectStoreUpdates on;
  on.updateDiscardWrites = true;
  on.discardWrites = true;
  ASSERT_OK(view->updateObjectStore(on));
  EXPECT_TRUE(view->discardsWrites());
  EXPECT_FALSE(view->isReadOnly());
  EXPECT_TRUE(view->diskCacheContext().keepAll);
  EXPECT_EQ(view->diskCacheContext().noprunePath, "noprune/42_pit");

  LogCapture log;
  ASSERT_OK(view->updateObjectStore(on));
  EXPECT_TRUE(log.contains(
      "[share_42] Given discardWrites [1] is same current discardWrites. No need to set.", 2));

  ObjectStoreUpdates off = on;
  off.discardWrites = false;
  ASSERT_OK(view->updateObjectStore(off));
  EXPECT_FALSE(view->discardsWrites());
  EXPECT_TRUE(view->isReadOnly());
  EXPECT_FALSE(view->diskCacheContext().keepAll);
  EXPECT_EQ(view->diskCacheContext().noprunePath, "");
}

TEST_F(StoreStartupTest, BackupFilterUpdates) {
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  ObjectStoreUpdates updates;
  updates.updateBackupFilter = true;
  updates.backupFilter = ",,a,,b";
  ASSERT_OK(store->updateObjectStore(updates));
  EXPECT_EQ(store->backupFilterTokens(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(store->backupFilter(), ",,a,,b");
  EXPECT_TRUE(store->diskCacheContext().keepFiltered);

  updates.backupFilter = "c";
  ASSERT_OK(store->updateObjectStore(updates));
  EXPECT_EQ(store->backupFilterTokens(), (std::vector<std::string>{"c"}));

  updates.backupFilter = "";
  ASSERT_OK(store->updateObjectStore(updates));
  EXPECT_TRUE(store->backupFilterTokens().empty());
  EXPECT_EQ(store->backupFilter(), "");
  EXPECT_FALSE(store->diskCacheContext().keepFiltered);
}

TEST_F(StoreStartupTest, CopyPrecedenceAndVersionIntervalUpdates) {
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  auto first = store->restoreInterface();
  ASSERT_NE(first, nullptr);

  ObjectStoreUpdates same;
  same.updateCopyPrecedence = true;
  same.copyPrecedence = 0;
  LogCapture log;
  ASSERT_OK(store->updateObjectStore(same));
  EXPECT_TRUE(log.contains("Info: [share_42] Given copy precedence [0] is same current copy "
                           "precedence. No need to set.",
                           2));
  EXPECT_EQ(store->restoreInterface(), first);

  ObjectStoreUpdates changed;
  changed.updateCopyPrecedence = true;
  changed.copyPrecedence = 2;
  changed.updateVersionInterval = true;
  changed.versionInterval = 60;
  ASSERT_OK(store->updateObjectStore(changed));
  EXPECT_NE(store->restoreInterface(), first);
  EXPECT_EQ(store->restoreInterface()->info().copyPrecedence, 2);
  EXPECT_EQ(store->copyPrecedence(), 2);
  EXPECT_EQ(store->versionInterval(), 60u);
  EXPECT_TRUE(log.contains("Copy Precedence updated to [2].", 1));
  EXPECT_TRUE(log.contains("Updating version interval to [60] seconds.", 1));
}

TEST_F(StoreStartupTest, EventLogSaysTheStoreWasCreated) {
  const std::string eventDir = path("events");
  ASSERT_EQ(createDir(eventDir), 0);
  setRegistry("EventLogDir", eventDir);
  setRegistry("nEnableObjectStoreEventLogging", "1");
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(store->eventLogEnabled());
  const std::string text = test::readFile(eventDir + "/kynfsevents.log");
  EXPECT_NE(text.find("ObjectStore [share_42] created"), std::string::npos) << text;
}

TEST_F(StoreStartupTest, NoEventLogUnlessEnabled) {
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  EXPECT_FALSE(store->eventLogEnabled());
}

}  // namespace
}  // namespace ObjectStore
