// The backup controller and its workers over the real transport (with its
// fault hooks), the real queue and a real disk cache. Timings are shortened;
// the quiet period is passed with a manual clock.
#include <gtest/gtest.h>

#include "core/BackupQueueFixture.h"

namespace ObjectStore::test {
namespace {

class BackupControllerTest : public BackupQueueFixture {
 protected:
  void SetUp() override {
    BackupQueueFixture::SetUp();
    BackupTimings::setForTesting(fastTimings());
  }

  // Starts the queue with a 10 s quiet period on a manual clock.
  void start(uint64_t jobIdleTimeoutMs = 300000) {
    useManualClock(4000000);
    CZnError err = startQueue(10, jobIdleTimeoutMs);
    ASSERT_TRUE(err.ok()) << err.chain();
  }

  // Extents with index records, so that the transport can commit them.
  std::vector<std::string> makeExtents(unsigned first, unsigned count) {
    std::vector<std::string> guids;
    for (unsigned n = first; n < first + count; ++n)
      guids.push_back(makeExtent(n, "extent " + std::to_string(n) + std::string(n * 10, 'x')));
    return guids;
  }

  // Pushes the GUIDs and lets their quiet period pass.
  void pushAndRelease(const std::vector<std::string>& guids) {
    for (const std::string& g : guids) queue_->push(g);
    clock_->advanceSec(11);
    queue_->updateParams(10);
  }

  uint64_t committed() { return queue_->counters().committed.load(); }
  const BackupControllerCounters& ctl() { return queue_->controller()->counters(); }
  bool waitCommitted(uint64_t n, int timeoutMs = 10000) {
    return waitUntil([&] { return committed() >= n; }, timeoutMs);
  }
  bool queueEmpty() {
    return queue_->modifiedSize() == 0 && queue_->queuedSize() == 0 &&
           queue_->uncommittedSize() == 0;
  }
};

TEST(BackupControllerHelpers, FastChecksumAndStreamIndex) {
  EXPECT_EQ(fastChecksum(""), 0);
  EXPECT_EQ(fastChecksum(std::string(32, 'a')), 'a');
  const std::string extent = std::string(32, 'a') + ".0000012";
  EXPECT_EQ(fastChecksum(extent), 'a' + '0' + '0' + '1' + '2');
  EXPECT_EQ(fastChecksum(std::string(33, 'b')), 'b' * 5);
}

TEST_F(BackupControllerTest, EqualGuidsMapToTheSameStreamAndEmptyGuidsToNone) {
  start();
  BackupControllerThread& controller = *queue_->controller();
  ASSERT_EQ(controller.streamCount(), 3);
  const std::string guid = std::string(32, 'a') + ".0000012";
  EXPECT_EQ(controller.GuidToStreamIndex(guid), fastChecksum(guid) % 3);
  EXPECT_EQ(controller.GuidToStreamIndex(guid), controller.GuidToStreamIndex(std::string(guid)));
  LogCapture log;
  EXPECT_EQ(controller.GuidToStreamIndex(""), -1);
  EXPECT_TRUE(log.contains("Error: empty guid", -1));
}

TEST_F(BackupControllerTest, EmptyQueueStartsNoJob) {
  start();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // eight outer waits
  EXPECT_EQ(ctl().jobStarted.load(), 0u);
  EXPECT_EQ(ctl().getControllerErrs.load(), 0u);
  EXPECT_EQ(getBackupTransportCounters().jobsStarted, 0u);
  EXPECT_EQ(queue_->controller()->getStatusMessage(), "waiting");
  EXPECT_EQ(queue_->controller()->getJobStatus(), static_cast<unsigned>(JOB_STATUS_NONE));
}

TEST_F(BackupControllerTest, QueuedItemsAreSentAndCommitted) {
  BackupTimings t = fastTimings();
  t.outerWaitMs = 2000;
  BackupTimings::setForTesting(t);
  start();
  const std::vector<std::string> guids = makeExtents(0, 6);
  const auto released = std::chrono::steady_clock::now();
  pushAndRelease(guids);
  // The first queued item starts a job within one outer wait.
  ASSERT_TRUE(waitUntil([&] { return ctl().jobStarted.load() == 1; }, 2000));
  EXPECT_LT(std::chrono::steady_clock::now() - released, std::chrono::milliseconds(2000));
  EXPECT_EQ(queue_->controller()->getStatusMessage(), "operational");
  ASSERT_TRUE(waitCommitted(guids.size()));
  ASSERT_TRUE(waitUntil([&] { return queueEmpty(); }));
  // A worker counts its send after the transport accepted it, the stream
  // figures last; the commit may be reported first.
  auto streamItems = [&] {
    std::map<std::string, std::string> m = counters();
    uint64_t sum = 0;
    for (int n = 0; n < 3; ++n)
      sum += std::stoull(m["backup.sendItemStream[" + std::to_string(n) + "]"]);
    return sum;
  };
  ASSERT_TRUE(waitUntil([&] { return streamItems() == guids.size(); }));

  uint64_t bytes = 0;
  for (const std::string& g : guids) {
    EXPECT_EQ(countRecord(EVENT_SENT, g), 1u) << g;
    EXPECT_EQ(countRecord(EVENT_COMMITTED, g), 1u) << g;
    EXPECT_EQ(restoreAt(locationOf(g)), expected_[g]) << g;
    bytes += expected_[g].size();
  }
  EXPECT_EQ(ctl().sendItem.load(), guids.size());
  EXPECT_EQ(ctl().sendItemErr.load(), 0u);
  EXPECT_EQ(ctl().sendItemBytes.load(), bytes);
  std::map<std::string, std::string> c = counters();
  uint64_t perStreamItems = 0, perStreamBytes = 0;
  for (int n = 0; n < 3; ++n) {
    perStreamItems += std::stoull(c["backup.sendItemStream[" + std::to_string(n) + "]"]);
    perStreamBytes += std::stoull(c["backup.sendItemStreamBytes[" + std::to_string(n) + "]"]);
  }
  EXPECT_EQ(perStreamItems, guids.size());
  EXPECT_EQ(perStreamBytes, bytes);

  // clearCounters leaves the per-stream figures alone.
  queue_->clearCounters();
  c = counters();
  EXPECT_EQ(c["backup.sendItem"], "0");
  EXPECT_EQ(c["backup.sendItemBytes"], "0");
  EXPECT_EQ(c["backup.jobStarted"], "0");
  uint64_t afterClear = 0;
  for (int n = 0; n < 3; ++n)
    afterClear += std::stoull(c["backup.sendItemStream[" + std::to_string(n) + "]"]);
  EXPECT_EQ(afterClear, guids.size());
}

TEST_F(BackupControllerTest, IdleJobStopsAndTheNextItemRestartsIt) {
  LogCapture log(1);
  start(150);  // ends on the second idle poll of 100 ms (200 > 150)
  const std::vector<std::string> guids = makeExtents(0, 2);
  pushAndRelease({guids[0]});
  ASSERT_TRUE(waitCommitted(1));
  // The job has ended once the controller waits for the queue again.
  const std::string stopped =
      "Job stopped due to inactivity, will wait till the event from object Store";
  ASSERT_TRUE(waitUntil([&] { return log.contains(stopped, 1); }));
  EXPECT_EQ(ctl().idleTimeoutStop.load(), 1u);
  EXPECT_EQ(ctl().idleTimeout.load(), 2u);
  EXPECT_EQ(queue_->controller()->getJobStatus(), static_cast<unsigned>(JOB_STATUS_IDLE_ENDED));
  EXPECT_TRUE(log.contains("No backup request for [0] seconds. stopping the job", 1));
  EXPECT_EQ(ctl().endBackup.load(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ctl().jobStarted.load(), 1u);  // no new job without work

  pushAndRelease({guids[1]});
  ASSERT_TRUE(waitCommitted(2));
  EXPECT_EQ(ctl().jobStarted.load(), 2u);
  EXPECT_EQ(countRecord(EVENT_COMMITTED, guids[1]), 1u);
}

TEST_F(BackupControllerTest, JobTimeoutSettingOverridesTheIdleTimeout) {
  // 1 s against 200 ms polls is the ratio of 300 s against 60 s polls: the
  // job ends on the sixth consecutive idle poll.
  BackupTimings t = fastTimings();
  t.pollMs = 200;
  BackupTimings::setForTesting(t);
  setRegistry("nJobTimeout", "1", "Rora");
  LogCapture log(1);
  start(100);  // alone this would end the job on the first idle poll
  pushAndRelease(makeExtents(0, 1));
  ASSERT_TRUE(waitUntil([&] {
    return log.contains("Job stopped due to inactivity, will wait till the event from object Store",
                        1);
  }));
  EXPECT_EQ(ctl().idleTimeout.load(), 6u);
  EXPECT_TRUE(log.contains("Job TimeOut set to [1] seconds", 1));
  EXPECT_TRUE(log.contains("No backup request for [1] seconds. stopping the job", 1));
}

TEST_F(BackupControllerTest, FailedSendRequeuesEveryItemOfTheJobAndRestartsIt) {
  setRegistry("nStreamCount", "1");  // one worker: the other items wait behind the failure
  BackupTimings t = fastTimings();
  t.restartPauseMs = 1000;
  BackupTimings::setForTesting(t);
  start();
  const std::vector<std::string> guids = makeExtents(0, 5);
  BackupTransportFaults::failSendItem(1, 0, EIO);
  LogCapture log(1);
  pushAndRelease(guids);

  ASSERT_TRUE(waitUntil([&] { return ctl().endBackup.load() == 1; }));
  EXPECT_EQ(ctl().jobFailed.load(), 1u);
  EXPECT_EQ(ctl().sendItem.load(), 1u);  // only the failing send reached the transport
  EXPECT_EQ(ctl().sendItemErr.load(), 1u);
  EXPECT_EQ(committed(), 0u);
  EXPECT_EQ(queue_->queuedSize(), guids.size());  // everything is back in the send queue
  EXPECT_TRUE(queue_->isUncommitQueueEmpty());
  EXPECT_EQ(queue_->controller()->getStatusMessage(), "failed");
  EXPECT_EQ(log.countContaining("ERROR: backup failed for the ITEM [", -1), 1u);
  EXPECT_TRUE(log.contains("Backup Failed so wait for 1 minute and restart the job again", -1));

  ASSERT_TRUE(waitCommitted(guids.size()));
  EXPECT_EQ(ctl().jobStarted.load(), 2u);
  ASSERT_TRUE(waitUntil([&] { return ctl().sendItem.load() == guids.size() + 1; }));
  for (const std::string& g : guids) EXPECT_EQ(countRecord(EVENT_COMMITTED, g), 1u) << g;
}

TEST_F(BackupControllerTest, SegmentReadFaultIsReportedAsASourceFileIssue) {
  start();
  const std::vector<std::string> guids = makeExtents(0, 1);
  BackupTransportFaults::failSendItem(1, BACKUP_WIN32_BAD_SEGMENT, EIO);
  LogCapture log(1);
  pushAndRelease(guids);
  ASSERT_TRUE(waitCommitted(1));
  EXPECT_EQ(log.countContaining("failed due to source file issue. Segment parsing might have "
                                "failed",
                                -1),
            1u);
  EXPECT_TRUE(log.contains("INFO: Adding ITEM [" + guids[0] + "] back to the Queue", 1));
  EXPECT_EQ(ctl().jobFailed.load(), 1u);
}

// A segment that can never be read must not fail every job forever and hold
// back the other items: after a few tries it leaves the queue like a missing
// segment, with a logged error.
TEST_F(BackupControllerTest, SegmentThatNeverReadsIsGivenUpAfterAFewTries) {
  setRegistry("nStreamCount", "1");
  start();
  const std::vector<std::string> guids = makeExtents(0, 1);
  BackupTransportFaults::failSendItem(1, BACKUP_WIN32_BAD_SEGMENT, EIO, {guids[0]}, true);
  LogCapture log(1);
  pushAndRelease(guids);
  ASSERT_TRUE(waitUntil([&] { return queueEmpty(); }));
  EXPECT_EQ(ctl().sendItemErr.load(), 3u);
  EXPECT_EQ(ctl().jobFailed.load(), 2u);
  EXPECT_EQ(log.count("Error: giving up the backup of [" + guids[0] +
                          "] after 3 failed reads of its segment",
                      -1),
            1u);
  // It leaves the journal as a missing segment does: committed with the
  // error record after it.
  EXPECT_EQ(countRecord(EVENT_COMMITTED, guids[0]), 1u);
  const std::vector<std::string> records = journalRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back(), "4," + guids[0]);

  // The queue goes on: a readable item after it is sent and committed.
  BackupTransportFaults::clear();
  const std::vector<std::string> next = makeExtents(1, 1);
  pushAndRelease(next);
  ASSERT_TRUE(waitUntil([&] { return countRecord(EVENT_COMMITTED, next[0]) == 1; }));
}

TEST_F(BackupControllerTest, MissingSegmentIsCommittedWithTheErrorFlag) {
  start();
  const std::vector<std::string> guids = makeExtents(0, 1);
  BackupTransportFaults::addMissingSegment(guids[0]);
  LogCapture log;
  pushAndRelease(guids);
  ASSERT_TRUE(waitCommitted(1));
  ASSERT_TRUE(waitUntil([&] { return queueEmpty(); }));
  const std::vector<std::string> records = journalRecords();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[1], "2," + guids[0]);
  EXPECT_EQ(records[2], "3," + guids[0]);
  EXPECT_EQ(records[3], "4," + guids[0]);
  EXPECT_EQ(ctl().sendItemErr.load(), 0u);
  EXPECT_EQ(ctl().jobFailed.load(), 0u);
  ASSERT_TRUE(waitUntil([&] { return log.countContaining("not found in diskCache.", 4) == 1; }));
}

TEST_F(BackupControllerTest, EndBackupRequeueErrorSendsTheNamedItemsAgain) {
  start(150);
  const std::vector<std::string> guids = makeExtents(0, 1);
  BackupTransportFaults::failEndBackup({guids[0]});
  LogCapture log(1);
  pushAndRelease(guids);
  // The first job ends idle, its end names the item; a second job sends it.
  ASSERT_TRUE(waitCommitted(2));
  EXPECT_TRUE(log.contains("INFO: Adding ITEM [" + guids[0] + "] back to the Queue", 1));
  EXPECT_EQ(ctl().jobStarted.load(), 2u);
  EXPECT_EQ(countRecord(EVENT_SENT, guids[0]), 2u);
  EXPECT_EQ(countRecord(EVENT_COMMITTED, guids[0]), 2u);
}

TEST_F(BackupControllerTest, StartWithoutStreamsEndsTheHalfStartedJobAndRetries) {
  start();
  BackupTransportFaults::failGetController(1, BACKUP_ERR_NO_STREAMS);
  LogCapture log;
  const std::vector<std::string> guids = makeExtents(0, 1);
  pushAndRelease(guids);
  ASSERT_TRUE(waitCommitted(1));
  EXPECT_TRUE(log.contains(
      "ERROR: Job started, But streams are not allocated. So, stopping the job now.", -1));
  EXPECT_EQ(log.countContaining("Start Job will be tried after two minutes", -1), 1u);
  EXPECT_EQ(ctl().getControllerErrs.load(), 1u);
  EXPECT_EQ(ctl().jobStarted.load(), 1u);
  // The half-started job was ended; the running one has not ended yet.
  EXPECT_EQ(getBackupTransportCounters().jobsEnded, 1u);
  EXPECT_EQ(queue_->controller()->getJobStatus(), static_cast<unsigned>(JOB_STATUS_RUNNING));
}

TEST_F(BackupControllerTest, RestartJobFailsTheRunningJobAndStartsAnother) {
  start();
  const std::vector<std::string> guids = makeExtents(0, 2);
  pushAndRelease({guids[0]});
  ASSERT_TRUE(waitCommitted(1));
  LogCapture log;
  queue_->restartJob();
  EXPECT_TRUE(log.contains("restarting backup job", 5));
  ASSERT_TRUE(waitUntil([&] { return ctl().jobStarted.load() == 2; }));
  EXPECT_EQ(ctl().jobFailed.load(), 1u);
  pushAndRelease({guids[1]});
  ASSERT_TRUE(waitCommitted(2));
}

TEST_F(BackupControllerTest, CloseDrainsARunningJob) {
  start();
  const std::vector<std::string> guids = makeExtents(0, 8);
  pushAndRelease({guids[0]});
  ASSERT_TRUE(waitCommitted(1));
  // Still in their quiet period: the close must send them anyway.
  for (size_t i = 1; i < guids.size(); ++i) queue_->push(guids[i]);
  EXPECT_EQ(queue_->modifiedSize(), guids.size() - 1);
  const auto start = std::chrono::steady_clock::now();
  queue_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  for (const std::string& g : guids) {
    EXPECT_EQ(countRecord(EVENT_COMMITTED, g), 1u) << g;
    EXPECT_EQ(restoreAt(locationOf(g)), expected_[g]) << g;
  }
  // Nothing is left for the next start.
  restartQueue();
  EXPECT_TRUE(queue_->isBackupQueueEmpty());
  EXPECT_EQ(queue_->modifiedSize(), 0u);
}

TEST_F(BackupControllerTest, CloseDuringFailingStartsReturnsPromptly) {
  BackupTimings t = fastTimings();
  t.firstStartRetryMs = 120000;  // the real pause: the close must interrupt it
  BackupTimings::setForTesting(t);
  BackupTransportFaults::failGetController(1000, EIO);
  start();
  const std::vector<std::string> guids = makeExtents(0, 1);
  pushAndRelease(guids);
  ASSERT_TRUE(waitUntil([&] { return ctl().getControllerErrs.load() == 1; }));
  LogCapture log(1);
  const auto start = std::chrono::steady_clock::now();
  queue_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(log.contains(" INFO: Object Store is closed, Stop retrying the job", 1));
  // Not sent: the journal still lists it, so the next start queues it.
  BackupTransportFaults::clear();
  restartQueue();
  ASSERT_TRUE(waitCommitted(1));
  EXPECT_EQ(countRecord(EVENT_COMMITTED, guids[0]), 1u);
}

TEST_F(BackupControllerTest, CloseDuringTheRestartPauseReturnsPromptly) {
  BackupTimings t = fastTimings();
  t.restartPauseMs = 60000;
  BackupTimings::setForTesting(t);
  start(150);
  const std::vector<std::string> guids = makeExtents(0, 2);
  pushAndRelease({guids[0]});
  ASSERT_TRUE(waitUntil([&] { return ctl().idleTimeoutStop.load() == 1; }));
  pushAndRelease({guids[1]});  // wakes the stopped controller into its pause
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = std::chrono::steady_clock::now();
  queue_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(countRecord(EVENT_COMMITTED, guids[1]), 0u);
  EXPECT_EQ(countRecord(EVENT_MODIFIED, guids[1]), 1u);
}

TEST_F(BackupControllerTest, CloseWhileStoppedForInactivityEndsWithoutAJob) {
  start(150);
  LogCapture log(1);
  pushAndRelease(makeExtents(0, 1));
  ASSERT_TRUE(waitUntil([&] {
    return log.contains("Job stopped due to inactivity, will wait till the event from object Store",
                        1);
  }));
  const auto start = std::chrono::steady_clock::now();
  queue_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(log.contains(
      "Queue is empty and quit falg is set, this event should be close object store event", 1));
}

TEST_F(BackupControllerTest, ControllerThatFailedToStartClosesAtOnce) {
  // A controller whose init failed never runs its thread; destroying it must
  // not wait for a signal that thread would have sent.
  useManualClock(4000000);
  DiskCacheContext ctx = ctx_;
  BackupQueue queue(*store_, *cache_);
  auto controller = std::make_unique<BackupControllerThread>(&queue, *cache_, ctx);
  const auto start = std::chrono::steady_clock::now();
  controller.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace ObjectStore::test
