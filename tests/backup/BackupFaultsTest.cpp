// The transport's fault hooks, as the controller and queue tests will use
// them, and the commit failures they stand for.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "backup/BackupFixture.h"
#include "backup/BackupTestUtil.h"
#include "platform/backup/BackupTransportCounters.h"

namespace ObjectStore {
namespace {

using test::BACKUP_TEST_SUBCLIENT;

using Clock = std::chrono::steady_clock;

class BackupFaultsTest : public test::BackupFixture {
 protected:
  std::shared_ptr<OBJECTOPSAPI::JobInfo> jobInfo(int streams = 3) {
    return std::make_shared<OBJECTOPSAPI::JobInfo>(streams, 2, 0, "", 110, BACKUP_TEST_SUBCLIENT,
                                                   2);
  }
};

TEST_F(BackupFaultsTest, GetControllerFailsKTimesWith5006HandingOutAHalfStartedJob) {
  BackupTransportFaults::failGetController(2, BACKUP_ERR_NO_STREAMS);
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::shared_ptr<BackupInterface> job;
    CZnError err = BackupInterface::getController(jobInfo(), job, false);
    EXPECT_EQ(err.errNo(), BACKUP_ERR_NO_STREAMS) << attempt;
    ASSERT_TRUE(job) << "a half-started job must be handed out so it can be ended";
    std::list<std::string> requeue;
    EXPECT_TRUE(job->endBackup(requeue, false).ok());
  }
  std::shared_ptr<BackupInterface> job;
  EXPECT_TRUE(BackupInterface::getController(jobInfo(), job, false).ok());
  ASSERT_TRUE(job);
  std::list<std::string> requeue;
  EXPECT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_EQ(getBackupTransportCounters().jobsStarted, 1u);
}

TEST_F(BackupFaultsTest, GetControllerFailureWithAnotherCodeLeavesTheControllerAlone) {
  std::shared_ptr<BackupInterface> previous = startJob();
  ASSERT_TRUE(previous);
  BackupTransportFaults::failGetController(1, ETIMEDOUT);
  std::shared_ptr<BackupInterface> controller = previous;
  CZnError err = BackupInterface::getController(jobInfo(), controller, false);
  EXPECT_EQ(err.errNo(), ETIMEDOUT);
  EXPECT_EQ(controller, previous);
  EXPECT_TRUE(BackupInterface::getController(jobInfo(), controller, false).ok());
  EXPECT_NE(controller, previous);
  std::list<std::string> requeue;
  EXPECT_TRUE(controller->endBackup(requeue, false).ok());
}

TEST_F(BackupFaultsTest, TheNthSendFailsWithTheGivenCodeAndRequeueList) {
  std::vector<std::string> segs;
  for (unsigned n = 0; n < 5; ++n) segs.push_back(makeExtent(n, "d" + std::to_string(n)));
  BackupTransportFaults::failSendItem(3, BACKUP_WIN32_BAD_SEGMENT, EIO, {"g1", "g2"});
  auto job = startJob();
  for (size_t i = 0; i < segs.size(); ++i) {
    std::list<std::string> requeue;
    int64_t bytes = -1;
    CZnError err = send(*job, segs[i], &requeue, &bytes);
    if (i == 2) {
      EXPECT_EQ(err.win32Code(), BACKUP_WIN32_BAD_SEGMENT);
      EXPECT_EQ(err.errNo(), EIO);
      EXPECT_EQ(requeue, (std::list<std::string>{"g1", "g2"}));
      EXPECT_EQ(bytes, 0);
    } else {
      EXPECT_TRUE(err.ok()) << i << " " << err.chain();
      EXPECT_TRUE(requeue.empty());
    }
  }
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_EQ(timesCommitted(segs[2]), 0);
  EXPECT_EQ(committedCount(), 4u);
}

TEST_F(BackupFaultsTest, PersistentSendFailureWithCode30RequeuesTheSentGuid) {
  std::vector<std::string> segs;
  for (unsigned n = 0; n < 4; ++n) segs.push_back(makeExtent(n, "d"));
  BackupTransportFaults::failSendItem(2, BACKUP_WIN32_READ_FAULT, EIO, {}, true);
  auto job = startJob();
  for (size_t i = 0; i < segs.size(); ++i) {
    std::list<std::string> requeue;
    CZnError err = send(*job, segs[i], &requeue);
    if (i == 0) {
      EXPECT_TRUE(err.ok());
    } else {
      EXPECT_EQ(err.win32Code(), BACKUP_WIN32_READ_FAULT) << i;
      EXPECT_EQ(requeue, std::list<std::string>{segs[i]}) << i;
    }
  }
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_EQ(committedCount(), 1u);
}

TEST_F(BackupFaultsTest, SendFailureWithAPlainErrno) {
  const std::string seg = makeExtent(1, "d");
  BackupTransportFaults::failSendItem(1, 0, ENOSPC);
  auto job = startJob();
  std::list<std::string> requeue;
  CZnError err = send(*job, seg, &requeue);
  EXPECT_EQ(err.errNo(), ENOSPC);
  EXPECT_EQ(err.win32Code(), 0u);
  EXPECT_EQ(requeue, std::list<std::string>{seg});
  // An injected ENOENT means "missing segment": nothing to requeue.
  BackupTransportFaults::failSendItem(1, 0, ENOENT);
  requeue.clear();
  EXPECT_EQ(send(*job, seg, &requeue).errNo(), ENOENT);
  EXPECT_TRUE(requeue.empty());
  EXPECT_TRUE(job->endBackup(requeue, false).ok());
}

TEST_F(BackupFaultsTest, AMissingSegmentCanBeSimulated) {
  const std::string seg = makeExtent(1, "present, but reported missing");
  BackupTransportFaults::addMissingSegment(seg);
  auto job = startJob();
  std::list<std::string> requeue;
  EXPECT_EQ(send(*job, seg, &requeue).errNo(), ENOENT);
  EXPECT_TRUE(requeue.empty());
  BackupTransportFaults::clear();
  EXPECT_TRUE(send(*job, seg, &requeue).ok());
  EXPECT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_EQ(committedCount(), 1u);
}

TEST_F(BackupFaultsTest, EndBackupFailsWith258NamingTheGivenGuidsAfterCommitting) {
  const std::string seg = makeExtent(1, "d");
  auto job = startJob();
  ASSERT_TRUE(send(*job, seg).ok());
  BackupTransportFaults::failEndBackup({"x1", "x2"});
  std::list<std::string> requeue;
  CZnError err = job->endBackup(requeue, true);
  EXPECT_EQ(err.win32Code(), BACKUP_WIN32_REQUEUE);
  EXPECT_EQ(err.errNo(), EIO);
  EXPECT_EQ(requeue, (std::list<std::string>{"x1", "x2"}));
  EXPECT_EQ(timesCommitted(seg), 1);
  // Fired once.
  auto next = startJob();
  requeue.clear();
  EXPECT_TRUE(next->endBackup(requeue, false).ok());
}

TEST_F(BackupFaultsTest, ARefusedLocationIsNotCommittedAndComesBackFromEndBackup) {
  setRegistry("nBackupCommitBatch", "1000");
  std::vector<std::string> segs;
  for (unsigned n = 0; n < 5; ++n) segs.push_back(makeExtent(n, "d" + std::to_string(n)));
  BackupTransportFaults::failLocationRecords(2);
  auto job = startJob();
  for (const auto& s : segs) ASSERT_TRUE(send(*job, s).ok());
  std::list<std::string> requeue;
  CZnError err = job->endBackup(requeue, true);
  EXPECT_EQ(err.win32Code(), BACKUP_WIN32_REQUEUE);
  EXPECT_EQ(err.errNo(), EIO);
  // The batch is recorded in send order, so the first two were refused.
  EXPECT_EQ(requeue, (std::list<std::string>{segs[0], segs[1]}));
  EXPECT_EQ(timesCommitted(segs[0]), 0);
  EXPECT_EQ(timesCommitted(segs[1]), 0);
  for (size_t i = 2; i < segs.size(); ++i) EXPECT_EQ(timesCommitted(segs[i]), 1);
  EXPECT_EQ(locationOf(segs[0]).afileId, -1);
  EXPECT_EQ(getBackupTransportCounters().commitFailures, 2u);
  EXPECT_TRUE(problems().empty());
}

TEST_F(BackupFaultsTest, AFailedAfileSyncCommitsNothingOfItAndTheNextRecordsGoToANewAfile) {
  setRegistry("nBackupCommitBatch", "3");
  setRegistry("nBackupCommitIntervalMs", "60000");
  std::vector<std::string> segs;
  for (unsigned n = 0; n < 6; ++n) segs.push_back(makeExtent(n, "d" + std::to_string(n)));
  auto job = startJob();
  ASSERT_TRUE(send(*job, segs[0]).ok());  // starts afile 1 (its header is synced)
  BackupTransportFaults::failAfileSyncs(1);
  for (int i = 1; i < 3; ++i) ASSERT_TRUE(send(*job, segs[i]).ok());
  // The batch of three is tried, fails to become durable, and is not reported.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (getBackupTransportCounters().commitFailures < 3 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(getBackupTransportCounters().commitFailures, 3u);
  EXPECT_EQ(committedCount(), 0u);
  for (int i = 3; i < 6; ++i) ASSERT_TRUE(send(*job, segs[i]).ok());
  std::list<std::string> requeue;
  CZnError err = job->endBackup(requeue, true);
  EXPECT_EQ(err.win32Code(), BACKUP_WIN32_REQUEUE);
  EXPECT_EQ(requeue, (std::list<std::string>{segs[0], segs[1], segs[2]}));
  for (int i = 3; i < 6; ++i) {
    EXPECT_EQ(timesCommitted(segs[i]), 1);
    EXPECT_EQ(locationOf(segs[i]).afileId, 2) << "written after the failure, to a new afile";
  }
  EXPECT_TRUE(problems().empty());
}

TEST_F(BackupFaultsTest, ACommitDelayHoldsCallbacksBack) {
  setRegistry("nBackupCommitBatch", "1");
  BackupTransportFaults::setCommitDelayMs(300);
  const std::string seg = makeExtent(1, "d");
  auto job = startJob();
  const auto start = Clock::now();
  ASSERT_TRUE(send(*job, seg).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(committedCount(), 0u);
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(committedCount(), 1u);
}

}  // namespace
}  // namespace ObjectStore
