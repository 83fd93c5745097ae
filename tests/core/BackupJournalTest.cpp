// The backup journal: replay at start-up, the fresh journal written by every
// start, saving or deleting old files, rotation and compaction. Jobs are
// kept from starting so that replayed items stay queued for inspection.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "core/BackupQueueFixture.h"

namespace ObjectStore::test {
namespace {

const std::string A = guidOf('a');
const std::string B = guidOf('b');

class BackupJournalTest : public BackupQueueFixture {
 protected:
  void SetUp() override {
    BackupQueueFixture::SetUp();
    BackupTimings::setForTesting(fastTimings());
    blockJobs();
  }

  // A journal file from an earlier run, written before the queue starts.
  void writeOldJournal(const std::string& content,
                       const std::string& name = "journal_0000000001_0000000001") {
    ASSERT_EQ(createDir(journalDirPath()), 0);
    writeFile(journalDirPath() + "/" + name, content);
  }

  // The GUIDs waiting in the send queue, in order (empties it).
  std::vector<std::string> drainQueued() {
    std::vector<std::string> guids;
    for (std::string g = queue_->popFromBackupQueue(); !g.empty(); g = queue_->popFromBackupQueue())
      guids.push_back(g);
    return guids;
  }
};

TEST_F(BackupJournalTest, ReplayOfSentAndCommittedLeavesTheItemOut) {
  makeSegment(A);
  writeOldJournal("1," + A + "\n2," + A + "\n3," + A + "\n");
  ASSERT_TRUE(startQueue().ok());
  EXPECT_TRUE(queue_->isBackupQueueEmpty());
  EXPECT_EQ(queue_->counters().itemsRecovered.load(), 0u);
}

TEST_F(BackupJournalTest, ReplayOfAModificationAfterTheSendQueuesTheItem) {
  makeSegment(A);
  writeOldJournal("1," + A + "\n2," + A + "\n1," + A + "\n3," + A + "\n");
  LogCapture log(3);
  ASSERT_TRUE(startQueue().ok());
  EXPECT_TRUE(log.contains("1, [ " + A + " ] inserted", 3));
  EXPECT_TRUE(log.contains("2, [ " + A + " ] added again", 3));
  EXPECT_TRUE(log.contains("1, [ " + A + " ] added again", 3));
  EXPECT_TRUE(log.contains("2, [ " + A + " ] removed", 3));
  EXPECT_FALSE(log.contains("[ " + A + " ] removed", 3));
  EXPECT_TRUE(log.contains("queuing [" + A + "] to backup", 3));
  EXPECT_EQ(queue_->counters().itemsRecovered.load(), 1u);
  EXPECT_EQ(drainQueued(), std::vector<std::string>{A});
}

TEST_F(BackupJournalTest, ReplayOfALoneSendQueuesTheItemAgain) {
  makeSegment(A);
  writeOldJournal("2," + A + "\n");
  ASSERT_TRUE(startQueue().ok());
  // Sent again, without a new quiet period and not counted as uncommitted.
  EXPECT_EQ(queue_->modifiedSize(), 0u);
  EXPECT_TRUE(queue_->isUncommitQueueEmpty());
  EXPECT_EQ(drainQueued(), std::vector<std::string>{A});
}

TEST_F(BackupJournalTest, ReplayOfALoneCommitDoesNothing) {
  makeSegment(A);
  writeOldJournal("3," + A + "\n");
  LogCapture log;
  ASSERT_TRUE(startQueue().ok());
  EXPECT_TRUE(queue_->isBackupQueueEmpty());
  EXPECT_EQ(log.countContaining("Error:", -1), 0u) << log.dump();
}

TEST_F(BackupJournalTest, CommitErrorRecordsAreSkippedSilently) {
  makeSegment(A);
  makeSegment(B);
  writeOldJournal("1," + A + "\n4," + A + "\n2," + B + "\n3," + B + "\n4," + B + "\n");
  LogCapture log;
  ASSERT_TRUE(startQueue().ok());
  EXPECT_EQ(log.countContaining("Error:", -1), 0u) << log.dump();
  EXPECT_EQ(log.countContaining("[ " + A), 1u);  // only the insertion of A
  EXPECT_EQ(drainQueued(), std::vector<std::string>{A});
}

TEST_F(BackupJournalTest, UnknownCodeIsLoggedAndSkipped) {
  makeSegment(A);
  makeSegment(B);
  writeOldJournal("7," + A + "\n1," + B + "\n");
  LogCapture log;
  ASSERT_TRUE(startQueue().ok());
  EXPECT_TRUE(log.contains("Error: Invalid event in [7," + A + "]", -1));
  EXPECT_EQ(drainQueued(), std::vector<std::string>{B});
}

TEST_F(BackupJournalTest, LineWithThreeFieldsIsLoggedAndSkipped) {
  makeSegment(A);
  writeOldJournal("1," + A + ",x\n", "journal_0000000001_0000000002");
  LogCapture log;
  ASSERT_TRUE(startQueue().ok());
  EXPECT_TRUE(
      log.contains("Error: Can't parse [1," + A + ",x] from [journal_0000000001_0000000002]", -1));
  EXPECT_TRUE(queue_->isBackupQueueEmpty());
}

TEST_F(BackupJournalTest, TornLastLineIsIgnoredAsUnparsable) {
  makeSegment(A);
  makeSegment(B);
  // The crash cut the commit of A short: A is still sent-but-uncommitted.
  writeOldJournal("2," + A + "\n1," + B + "\n3," + A.substr(0, 10));
  LogCapture log;
  ASSERT_TRUE(startQueue().ok());
  EXPECT_TRUE(log.contains(
      "Error: Can't parse [3," + A.substr(0, 10) + "] from [journal_0000000001_0000000001]", -1));
  EXPECT_EQ(drainQueued(), (std::vector<std::string>{A, B}));
}

TEST_F(BackupJournalTest, ReplayedItemsWhoseSegmentIsGoneAreDropped) {
  makeSegment(B);
  writeOldJournal("1," + A + "\n1," + B + "\n");
  LogCapture log;
  ASSERT_TRUE(startQueue().ok());
  EXPECT_TRUE(log.contains("[" + A + "] doesn't exist, ignoring", 5));
  EXPECT_EQ(queue_->counters().itemsRecovered.load(), 2u);
  EXPECT_EQ(drainQueued(), std::vector<std::string>{B});
}

TEST_F(BackupJournalTest, ReplayReadsFilesInNameOrder) {
  makeSegment(A);
  // The commit is in the older file: it settles the send, the later
  // modification needs a backup.
  writeOldJournal("1," + A + "\n2," + A + "\n", "journal_0000000001_0000000001");
  writeOldJournal("3," + A + "\n1," + A + "\n", "journal_0000000001_0000000002");
  writeOldJournal("1," + B + "\n", "journal_0000000000_0000000009");
  ASSERT_TRUE(startQueue().ok());
  EXPECT_EQ(drainQueued(), std::vector<std::string>{A});  // B has no segment
}

TEST_F(BackupJournalTest, EachStartLeavesOneFreshJournalHoldingTheReplayedState) {
  makeSegment(A);
  makeSegment(B);
  writeOldJournal("1," + A + "\n2," + B + "\n2," + guidOf('c') + "\n");
  ASSERT_TRUE(startQueue().ok());
  std::vector<std::string> files = listDir(journalDirPath());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0], "journal_0000000001_0000000001");
  EXPECT_EQ(readFile(journalDirPath() + "/" + files[0]), "1," + A + "\n1," + B + "\n");
  EXPECT_EQ(queue_->counters().journalCompacts.load(), 1u);
  EXPECT_EQ(queue_->counters().journalOpens.load(), 1u);
  // Journal saving is on by default: the old file was moved aside.
  EXPECT_EQ(listDir(savedDirPath()), std::vector<std::string>{"journal_0000000001_0000000001"});

  // A second start replays the fresh file and replaces it in turn.
  const std::string first = files[0];
  restartQueue();
  files = listDir(journalDirPath());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_GT(files[0], first);
  EXPECT_EQ(readFile(journalDirPath() + "/" + files[0]), "1," + A + "\n1," + B + "\n");
  EXPECT_EQ(listDir(savedDirPath()).size(), 2u);
}

TEST_F(BackupJournalTest, WithJournalSavingOffOldFilesAreDeleted) {
  setRegistry("nDisableJournalSave", "1");
  makeSegment(A);
  writeOldJournal("1," + A + "\n");
  LogCapture log;
  ASSERT_TRUE(startQueue().ok());
  EXPECT_EQ(queue_->savedJournalDir(), "");
  EXPECT_TRUE(log.contains("deleting [" + journalDirPath() + "/journal_0000000001_0000000001]", 5));
  EXPECT_EQ(listDir(journalDirPath()).size(), 1u);
  EXPECT_FALSE(fileExists(baseDir_ + ".bkp"));
  std::map<std::string, std::string> status;
  queue_->getStatus(status, "");
  EXPECT_EQ(status["backupQ.JournalDir"], "");
}

TEST_F(BackupJournalTest, SavedFilesReplaceFilesOfTheSameName) {
  makeSegment(A);
  ASSERT_EQ(createDir(savedDirPath()), 0);
  writeFile(savedDirPath() + "/journal_0000000001_0000000001", "old copy\n");
  writeOldJournal("1," + A + "\n");
  ASSERT_TRUE(startQueue().ok());
  EXPECT_EQ(readFile(savedDirPath() + "/journal_0000000001_0000000001"), "1," + A + "\n");
}

TEST_F(BackupJournalTest, UnusableSavedDirectoryTurnsSavingOff) {
  writeFile(baseDir_ + ".bkp", "not a directory");
  LogCapture log;
  ASSERT_TRUE(startQueue().ok());
  EXPECT_EQ(queue_->savedJournalDir(), "");
  EXPECT_EQ(
      log.countContaining("Error: Can't create journal directory [" + savedDirPath() + "]", -1),
      1u);
}

TEST_F(BackupJournalTest, RotationAndCompactionKeepEveryPendingItem) {
  // 43 bytes per record: a file is rotated after its fifth record.
  BackupQueue::setMaxJournalSizeForTesting(200);
  ASSERT_TRUE(startQueue(1000).ok());
  std::vector<std::string> guids;
  for (int i = 0; i < 40; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "%032x.%07d", 0x1000 + i, i);
    guids.push_back(makeSegment(name));
    queue_->push(guids.back());
    EXPECT_LE(listDir(journalDirPath()).size(), static_cast<size_t>(MAX_JOURNAL_ENTRIES) + 1);
  }
  // The start's compaction plus at least one triggered by rotation.
  EXPECT_GE(queue_->counters().journalCompacts.load(), 2u);
  EXPECT_GE(queue_->counters().journalOpens.load(), 8u);
  EXPECT_GT(listDir(savedDirPath()).size(), 1u);

  // Everything pending survives a restart, nothing twice.
  restartQueue(1000);
  std::vector<std::string> replayed = drainQueued();
  std::sort(replayed.begin(), replayed.end());
  EXPECT_EQ(replayed, guids);
}

TEST_F(BackupJournalTest, RecordsOfARunAreReplayedByTheNextStart) {
  ManualClock& clock = useManualClock(3000000);
  makeSegment(A);
  makeSegment(B);
  const std::string c = makeSegment(guidOf('c'));
  ASSERT_TRUE(startQueue(0).ok());
  queue_->push(A);
  queue_->push(B);
  queue_->push(c);
  clock.advanceSec(1);
  queue_->updateParams(0);
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedSize() == 3; }));
  EXPECT_EQ(queue_->popFromBackupQueue(), A);
  EXPECT_EQ(queue_->popFromBackupQueue(), B);
  queue_->commitCallback(0, {A}, false);  // B stays sent but uncommitted; c queued
  queue_.reset();                         // close: no job runs, so nothing more is sent

  restartQueue(0);
  EXPECT_EQ(drainQueued(), (std::vector<std::string>{B, c}));
}

TEST_F(BackupJournalTest, AcknowledgedRecordsSurviveAKillOfTheProcess) {
  // A child process pushes and kills itself right after the last push has
  // returned: every record of a returned push must already be in the file.
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support threads in a forked child";
#endif
  for (int pushes : {1, 7, 60}) {
    SCOPED_TRACE("pushes " + std::to_string(pushes));
    baseDir_ = path("objstr" + std::to_string(pushes));
    auto nameOf = [](int i) {
      char name[64];
      std::snprintf(name, sizeof(name), "%032x", 0xabc000 + i);
      return std::string(name);
    };
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      BackupQueue queue(*store_, *cache_);
      if (queue.initialize(BACKUP_TEST_SUBCLIENT, 1000, 300000, baseDir_, ctx_).failed()) _exit(2);
      for (int i = 0; i < pushes; ++i) queue.push(nameOf(i));
      raise(SIGKILL);
      _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const std::vector<std::string> records = journalRecords();
    ASSERT_EQ(records.size(), static_cast<size_t>(pushes));
    for (int i = 0; i < pushes; ++i) EXPECT_EQ(records[i], "1," + nameOf(i));
  }
}

}  // namespace
}  // namespace ObjectStore::test
