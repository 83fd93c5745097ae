// The backup queue's collections, counters and reports, with the controller
// kept from starting jobs (every job start fails) so that only the test moves
// items out of the queue.
#include <gtest/gtest.h>

#include "core/BackupQueueFixture.h"

namespace ObjectStore::test {
namespace {

class BackupQueueTest : public BackupQueueFixture {
 protected:
  void SetUp() override {
    BackupQueueFixture::SetUp();
    BackupTimings::setForTesting(fastTimings());
    blockJobs();
  }

  // Moves the clock past A's quiet period and wakes the queue thread.
  void makeEligible(ManualClock& clock, int64_t seconds) {
    clock.advanceSec(seconds);
    queue_->updateParams(queue_->timeout());
  }
};

const std::string A = guidOf('a');
const std::string B = guidOf('b');

TEST_F(BackupQueueTest, OperationsBeforeInitializeDoNothing) {
  LogCapture log;
  BackupQueue queue(*store_, *cache_);
  queue.push(A);
  EXPECT_EQ(queue.popFromBackupQueue(), "");
  queue.repushToBackupQueue(A);
  EXPECT_EQ(log.count("Error: backup queue not intialized", -1), 3u);
  EXPECT_FALSE(queue.isInQueue(A));
  std::vector<std::pair<std::string, std::string>> gui;
  queue.getGuiStats(gui);
  ASSERT_EQ(gui.size(), 2u);
  EXPECT_EQ(gui[0], std::make_pair(std::string("Backup status"), std::string("initializing")));
  EXPECT_EQ(gui[1], std::make_pair(std::string("Uncommitted extents"), std::string("0")));
}

TEST_F(BackupQueueTest, RefreshKeepsTheFirstPushTimeAndEligibilityIsStrict) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(10).ok());
  queue_->push(A);
  clock.advanceSec(5);
  queue_->push(A);  // refreshed: time stays that of the first push
  EXPECT_EQ(queue_->counters().addedToModQ.load(), 1u);
  EXPECT_EQ(queue_->counters().refreshedToModQ.load(), 1u);
  EXPECT_EQ(countRecord(EVENT_MODIFIED, A), 1u);

  makeEligible(clock, 5);  // now == first push + timeout: not yet
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(queue_->modifiedSize(), 1u);
  EXPECT_EQ(queue_->queuedSize(), 0u);

  makeEligible(clock, 1);  // strictly later
  ASSERT_TRUE(waitUntil([&] { return queue_->counters().pushedToBkQ.load() == 1; }));
  EXPECT_EQ(queue_->queuedSize(), 1u);
  EXPECT_EQ(queue_->modifiedSize(), 0u);
  EXPECT_EQ(statusVerGuid(A)["backupQ.queued"], "1");
}

TEST_F(BackupQueueTest, OnlyTheHeadIsExaminedSoARefreshedItemWaitsBehindYoungerOnes) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(10).ok());
  queue_->push(A);  // t0
  clock.advanceSec(8);
  queue_->push(B);         // t0 + 8
  queue_->push(A);         // refreshed to the tail, keeps t0
  makeEligible(clock, 3);  // t0 + 11: A is due but B (due at t0 + 19) is the head
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(queue_->queuedSize(), 0u);
  makeEligible(clock, 8);  // t0 + 19 > B's due time: B moves, then A at once
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 2; }));
  EXPECT_EQ(queue_->popFromBackupQueue(), B);
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
}

TEST_F(BackupQueueTest, PushWhileQueuedReturnsToModifiedWithTwoRecords) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(10).ok());
  queue_->push(A);
  makeEligible(clock, 11);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 1; }));
  EXPECT_EQ(countRecord(EVENT_MODIFIED, A), 1u);
  queue_->push(A);  // one record for entering modified, one for leaving the send queue
  EXPECT_EQ(queue_->queuedSize(), 0u);
  EXPECT_EQ(queue_->modifiedSize(), 1u);
  EXPECT_EQ(countRecord(EVENT_MODIFIED, A), 3u);
  // A new quiet period, counted from this push.
  makeEligible(clock, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(queue_->queuedSize(), 0u);
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 1; }));
}

TEST_F(BackupQueueTest, PopOnEmptyQueueReturnsNothingAndWritesNothing) {
  ASSERT_TRUE(startQueue(10).ok());
  const std::vector<std::string> before = journalRecords();
  EXPECT_EQ(queue_->popFromBackupQueue(), "");
  EXPECT_EQ(journalRecords(), before);
  EXPECT_EQ(queue_->counters().poppedFromBkQ.load(), 0u);
}

TEST_F(BackupQueueTest, TwoPopsCountTwoAndTwoCommitsRemoveIt) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(0).ok());
  queue_->push(A);
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 1; }));
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
  queue_->push(A);  // written again before the first send committed
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 1; }));
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
  EXPECT_EQ(statusVerGuid(A)["backupQ.refCount"], "2");
  EXPECT_EQ(queue_->uncommittedSize(), 1u);

  BackupQueue::commitCallbackStatic(7, {A}, queue_.get());
  EXPECT_EQ(statusVerGuid(A)["backupQ.refCount"], "1");
  EXPECT_TRUE(queue_->isInQueue(A));
  queue_->commitCallback(7, {A}, false);
  EXPECT_EQ(statusVerGuid(A)["backupQ.uncommitted"], "0");
  EXPECT_FALSE(queue_->isInQueue(A));
  EXPECT_TRUE(queue_->isUncommitQueueEmpty());
  EXPECT_EQ(queue_->counters().committed.load(), 2u);
  EXPECT_EQ(queue_->counters().removeFromUncommQ.load(), 2u);
  const std::vector<std::string> expected = {"1," + A, "2," + A, "1," + A,
                                             "2," + A, "3," + A, "3," + A};
  EXPECT_EQ(journalRecords(), expected);
}

TEST_F(BackupQueueTest, CommitOfUnknownGuidLogsAndStillWritesTheRecord) {
  ASSERT_TRUE(startQueue(10).ok());
  LogCapture log;
  queue_->commitCallback(0, {B}, false);
  EXPECT_TRUE(log.contains("guid not found", 5));
  EXPECT_TRUE(log.contains("committed [" + B + "] err=0", 5));
  EXPECT_EQ(countRecord(EVENT_COMMITTED, B), 1u);
  EXPECT_EQ(queue_->counters().removeFromUncommQ.load(), 0u);
}

TEST_F(BackupQueueTest, CommitWithErrorWritesCodesThreeAndFour) {
  ASSERT_TRUE(startQueue(10).ok());
  queue_->commitCallback(0, {B}, true);
  const std::vector<std::string> records = journalRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], "3," + B);
  EXPECT_EQ(records[1], "4," + B);
}

TEST_F(BackupQueueTest, RepushPutsTheGuidAtTheHeadWithoutARecord) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(0).ok());
  queue_->push(A);
  queue_->push(B);
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 2; }));
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
  const size_t recordsBefore = journalRecords().size();
  queue_->repushToBackupQueue(A);  // its send failed
  EXPECT_EQ(journalRecords().size(), recordsBefore);
  EXPECT_EQ(queue_->counters().repushToBkQ.load(), 1u);
  EXPECT_TRUE(queue_->isUncommitQueueEmpty());
  EXPECT_EQ(queue_->popFromBackupQueue(), A);  // before B
  EXPECT_EQ(queue_->popFromBackupQueue(), B);
}

TEST_F(BackupQueueTest, RepushOfAGuidAlreadyQueuedOnlyLowersItsCount) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(0).ok());
  queue_->push(A);
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 1; }));
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
  queue_->push(A);
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 1; }));
  EXPECT_EQ(statusVerGuid(A)["backupQ.refCount"], "1");
  queue_->repushToBackupQueue(A);
  EXPECT_EQ(statusVerGuid(A)["backupQ.refCount"], "0");
  EXPECT_EQ(queue_->queuedSize(), 1u);
  EXPECT_EQ(queue_->counters().repushToBkQ.load(), 0u);
}

TEST_F(BackupQueueTest, IsInQueueNamesTheCollection) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(0).ok());
  LogCapture log;
  queue_->push(A);
  EXPECT_TRUE(queue_->isInQueue(A));
  EXPECT_TRUE(log.contains("Found [" + A + "] in modified queue", 5));
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 1; }));
  EXPECT_TRUE(queue_->isInQueue(A));
  EXPECT_TRUE(log.contains("Found [" + A + "] in queuedForBackup queue", 5));
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
  EXPECT_TRUE(queue_->isInQueue(A));
  EXPECT_TRUE(log.contains("Found [" + A + "] in uncommitted queue", 5));
  EXPECT_FALSE(queue_->isInQueue(B));
}

TEST_F(BackupQueueTest, PruneDeletesOnlySegmentsOutsideTheQueue) {
  ASSERT_TRUE(startQueue(100).ok());
  makeSegment(A);
  makeSegment(B);
  queue_->push(A);
  EXPECT_FALSE(queue_->pruneIfNotInQueue(A));
  EXPECT_TRUE(cache_->doesSegmentExist(ctx_, A));
  EXPECT_TRUE(queue_->pruneIfNotInQueue(B));
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, B));
  EXPECT_TRUE(queue_->pruneIfNotInQueue(B));  // already gone: still "pruned"
}

TEST_F(BackupQueueTest, DumpQueuesListsEveryCollection) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(0).ok());
  queue_->push(A);
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 1; }));
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
  queue_->push(B);
  LogCapture log;
  queue_->dumpQueues();
  EXPECT_TRUE(log.contains("Modified List: currentTime=2000001", 3));
  EXPECT_TRUE(log.contains("[" + B + "] 2000001", 3));
  EXPECT_TRUE(log.contains("QueuedForBackup List:", 3));
  EXPECT_TRUE(log.contains("Uncommitted List:", 3));
  EXPECT_TRUE(log.contains("[" + A + "] 1", 3));
}

TEST_F(BackupQueueTest, ReportsSizesCountersAndGuiStatistics) {
  ManualClock& clock = useManualClock(2000000);
  ASSERT_TRUE(startQueue(0).ok());
  queue_->push(A);
  queue_->push(B);
  makeEligible(clock, 1);
  ASSERT_TRUE(waitUntil([&] { return queue_->counters().pushedToBkQ.load() == 2; }));
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
  queue_->push(guidOf('c'));

  std::map<std::string, std::string> status;
  queue_->getStatus(status, "p.");
  EXPECT_EQ(status["p.backupQ.Timeout"], "0");
  EXPECT_EQ(status["p.backupQ.Modified"], "1");
  EXPECT_EQ(status["p.backupQ.Queued"], "1");
  EXPECT_EQ(status["p.backupQ.Uncommitted"], "1");
  EXPECT_EQ(status["p.backupQ.JournalDir"], savedDirPath());

  // Every job start fails in this fixture.
  ASSERT_TRUE(waitUntil([&] { return queue_->controller()->getStatusMessage() == "failed"; }));
  std::vector<std::pair<std::string, std::string>> gui;
  queue_->getGuiStats(gui);
  ASSERT_EQ(gui.size(), 2u);
  EXPECT_EQ(gui[0].first, "Backup status");
  EXPECT_EQ(gui[0].second, "failed");
  EXPECT_EQ(gui[1], std::make_pair(std::string("Uncommitted extents"), std::string("3")));

  std::map<std::string, std::string> c = counters();
  EXPECT_EQ(c["backupQ.addedToModQ"], "3");
  EXPECT_EQ(c["backupQ.pushedToBkQ"], "2");
  EXPECT_EQ(c["backupQ.poppedFromBkQ"], "1");
  for (const char* key :
       {"backupQ.refreshedToModQ", "backupQ.removeFromUncommQ", "backupQ.repushToBkQ",
        "backupQ.committed", "backupQ.journalOpens", "backupQ.journalCompacts",
        "backupQ.itemsRecovered", "backup.getControllerErrs", "backup.jobStarted",
        "backup.jobFailed", "backup.idleTimeout", "backup.idleTimeoutStop", "backup.endBackup",
        "backup.sendItem", "backup.sendItemErr", "backup.sendItemBytes", "backup.sendItemStream[0]",
        "backup.sendItemStream[2]", "backup.sendItemStreamBytes[2]"})
    EXPECT_EQ(c.count(key), 1u) << key;
  EXPECT_EQ(c.count("backup.sendItemStream[3]"), 0u);  // three streams by default

  queue_->clearCounters();
  c = counters();
  EXPECT_EQ(c["backupQ.addedToModQ"], "0");
  EXPECT_EQ(c["backupQ.journalOpens"], "0");
}

TEST_F(BackupQueueTest, StreamCountOutOfRangeIsClamped) {
  setRegistry("nStreamCount", "0");
  {
    LogCapture log(1);
    ASSERT_TRUE(startQueue().ok());
    EXPECT_EQ(queue_->controller()->streamCount(), 1);
    EXPECT_TRUE(log.contains("nStreamCount 0 is out of range (1 to 50), using 1", 1));
  }
  setRegistry("nStreamCount", "99");
  restartQueue();
  EXPECT_EQ(queue_->controller()->streamCount(), 50);
  setRegistry("nStreamCount", "7");
  restartQueue();
  EXPECT_EQ(queue_->controller()->streamCount(), 7);
}

TEST_F(BackupQueueTest, InitializeFailsWhenTheJournalDirectoryCannotBeMade) {
  writeFile(baseDir_, "a file where the directory should be");
  LogCapture log;
  CZnError err = startQueue();
  EXPECT_EQ(err.errNo(), ENOTDIR);
  EXPECT_EQ(log.countContaining("Error: Can't create journal directory [" + journalDirPath() + "]"),
            1u);
  queue_.reset();  // closing a queue that never started returns at once
}

TEST_F(BackupQueueTest, CloseMovesModifiedItemsToTheSendQueueAndReturnsPromptly) {
  ASSERT_TRUE(startQueue(1000).ok());
  queue_->push(A);
  queue_->push(B);
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  queue_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(log.contains("Backing up during destructor [" + A + "]", 4));
  EXPECT_TRUE(log.contains("Backing up during destructor [" + B + "]", 4));
  EXPECT_TRUE(log.contains("Leaving BackupQueue destructor", 5));
}

}  // namespace
}  // namespace ObjectStore::test
