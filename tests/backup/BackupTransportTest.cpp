#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "backup/BackupFixture.h"
#include "backup/BackupTestUtil.h"
#include "platform/backup/AfileWriter.h"
#include "platform/backup/BackupTransportCounters.h"
#include "restore/AfileTestUtil.h"

namespace ObjectStore {
namespace {

using test::BACKUP_TEST_SUBCLIENT;

using Clock = std::chrono::steady_clock;

class BackupTransportTest : public test::BackupFixture {
 protected:
  std::mt19937_64 rng_{31};
};

TEST_F(BackupTransportTest, SentSegmentsRestoreByteForByteFromTheIndexedLocation) {
  std::vector<std::string> segments;
  std::vector<std::string> datas;
  for (unsigned n = 0; n < 12; ++n) {
    const size_t length = n == 0 ? 0 : (n == 1 ? 1 : 1000 * n * n + n);
    datas.push_back(test::randomBytes(rng_, length));
    segments.push_back(makeExtent(n, datas.back()));
  }
  // Sizes around the sender's first buffer (1 MiB and a byte) and past it,
  // then a small one again: the buffer is kept between sends.
  const size_t larger[] = {1 << 20, (1 << 20) + 1, (3 << 20) + 5, 7};
  for (size_t length : larger) {
    datas.push_back(test::randomBytes(rng_, length));
    segments.push_back(makeExtent(static_cast<unsigned>(segments.size()), datas.back()));
  }

  auto job = startJob(3);
  ASSERT_TRUE(job);
  std::set<int> streams;
  for (size_t i = 0; i < segments.size(); ++i) {
    int64_t bytes = -1;
    int stream = -1;
    CZnError err = send(*job, segments[i], nullptr, &bytes, &stream);
    ASSERT_TRUE(err.ok()) << err.chain();
    EXPECT_EQ(bytes, static_cast<int64_t>(datas[i].size()));
    EXPECT_GE(stream, 0);
    EXPECT_LT(stream, 3);
    streams.insert(stream);
  }
  EXPECT_EQ(streams.size(), 3u);
  std::list<std::string> requeue;
  CZnError err = job->endBackup(requeue, true);
  ASSERT_TRUE(err.ok()) << err.chain();
  EXPECT_TRUE(requeue.empty());

  EXPECT_TRUE(problems().empty()) << problems().front();
  for (size_t i = 0; i < segments.size(); ++i) {
    EXPECT_EQ(timesCommitted(segments[i]), 1) << segments[i];
    const Location where = locationOf(segments[i]);
    EXPECT_EQ(where.afileId, 1);
    EXPECT_EQ(restoreAt(where), datas[i]) << segments[i];
  }
  // The afile holds exactly these records, whole, in the order sent.
  std::vector<test::WalkedRecord> records = test::walkAfiles(afileDir(), BACKUP_TEST_SUBCLIENT);
  ASSERT_EQ(records.size(), segments.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].name, segments[i]);
    EXPECT_EQ(records[i].data, datas[i]);
  }
  const BackupTransportCounters counters = getBackupTransportCounters();
  EXPECT_EQ(counters.jobsStarted, 1u);
  EXPECT_EQ(counters.jobsEnded, 1u);
  EXPECT_EQ(counters.recordsWritten, segments.size());
  uint64_t totalBytes = 0;
  for (const auto& d : datas) totalBytes += d.size();
  EXPECT_EQ(counters.bytesWritten, totalBytes);
  EXPECT_EQ(counters.itemsCommitted, segments.size());
  EXPECT_GE(counters.commits, 1u);
  EXPECT_GE(counters.afileSyncs, 1u);
  EXPECT_EQ(counters.afilesCreated, 1u);
  std::map<std::string, std::string> map;
  getBackupTransportCounters(map);
  EXPECT_EQ(map["transport.recordsWritten"], std::to_string(segments.size()));
}

TEST_F(BackupTransportTest, CallbacksComeFromTheTransportsOwnThread) {
  const std::string seg = makeExtent(1, "abc");
  auto job = startJob();
  ASSERT_TRUE(send(*job, seg).ok());
  ASSERT_TRUE(waitForCommits(1));
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  std::lock_guard<std::mutex> guard(mutex_);
  ASSERT_EQ(callbackThreads_.size(), 1u);
  EXPECT_NE(callbackThreads_[0], std::this_thread::get_id());
}

TEST_F(BackupTransportTest, CommitsInBatchesOfTheConfiguredSize) {
  setRegistry("nBackupCommitBatch", "5");
  setRegistry("nBackupCommitIntervalMs", "60000");
  std::vector<std::string> segments;
  for (unsigned n = 0; n < 12; ++n) segments.push_back(makeExtent(n, "data" + std::to_string(n)));
  auto job = startJob();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(send(*job, segments[i]).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(committedCount(), 0u);  // four pending, below the batch, long interval
  ASSERT_TRUE(send(*job, segments[4]).ok());
  ASSERT_TRUE(waitForCommits(5));
  for (int i = 5; i < 10; ++i) ASSERT_TRUE(send(*job, segments[i]).ok());
  ASSERT_TRUE(waitForCommits(10));
  for (int i = 10; i < 12; ++i) ASSERT_TRUE(send(*job, segments[i]).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(committedCount(), 10u);
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, true).ok());  // commits the last two
  EXPECT_EQ(committedCount(), 12u);
  std::vector<std::vector<std::string>> b = batches();
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(b[0], std::vector<std::string>(segments.begin(), segments.begin() + 5));
  EXPECT_EQ(b[1], std::vector<std::string>(segments.begin() + 5, segments.begin() + 10));
  EXPECT_EQ(b[2], std::vector<std::string>(segments.begin() + 10, segments.end()));
  EXPECT_TRUE(problems().empty());
}

TEST_F(BackupTransportTest, PendingRecordsCommitAfterTheIntervalAndNotBefore) {
  setRegistry("nBackupCommitBatch", "1000");
  setRegistry("nBackupCommitIntervalMs", "150");
  const std::string a = makeExtent(1, "aaa");
  const std::string b = makeExtent(2, "bbb");
  auto job = startJob();
  const auto sent = Clock::now();
  ASSERT_TRUE(send(*job, a).ok());
  ASSERT_TRUE(send(*job, b).ok());
  ASSERT_TRUE(waitForCommits(2, 5000));
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(150));
  EXPECT_EQ(batches().size(), 1u);
  std::list<std::string> requeue;
  EXPECT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_TRUE(problems().empty());
}

TEST_F(BackupTransportTest, EndBackupCommitsEverythingStillPending) {
  setRegistry("nBackupCommitBatch", "1000");
  setRegistry("nBackupCommitIntervalMs", "60000");
  std::vector<std::string> segments;
  for (unsigned n = 0; n < 7; ++n) segments.push_back(makeExtent(n, test::randomBytes(rng_, 100)));
  auto job = startJob();
  for (const auto& s : segments) ASSERT_TRUE(send(*job, s).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(committedCount(), 0u);
  for (const auto& s : segments) EXPECT_EQ(locationOf(s).afileId, -1) << "located before commit";
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, true).ok());
  // endBackup returns only after the callbacks.
  EXPECT_EQ(committedCount(), 7u);
  for (const auto& s : segments) EXPECT_EQ(timesCommitted(s), 1);
  EXPECT_TRUE(problems().empty());
  // A second end is harmless and sends are refused from now on.
  EXPECT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_TRUE(requeue.empty());
  std::list<std::string> again;
  CZnError err = send(*job, segments[0], &again);
  EXPECT_EQ(err.errNo(), EINVAL);
  EXPECT_EQ(again, std::list<std::string>{segments[0]});
}

TEST_F(BackupTransportTest, MissingSegmentIsENOENTWithNothingToRequeue) {
  auto job = startJob();
  std::list<std::string> requeue;
  int64_t bytes = -1;
  CZnError err = send(*job, segmentOf(99), &requeue, &bytes);
  EXPECT_EQ(err.errNo(), ENOENT);
  EXPECT_EQ(err.win32Code(), 0u);
  EXPECT_TRUE(requeue.empty());
  EXPECT_EQ(bytes, 0);
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_EQ(committedCount(), 0u);
  EXPECT_EQ(getBackupTransportCounters().recordsWritten, 0u);
  EXPECT_EQ(getBackupTransportCounters().sendErrors, 1u);
}

TEST_F(BackupTransportTest, DamagedSegmentFailsWith1462AndIsRequeued) {
  const std::string good = makeExtent(1, "good");
  const std::string bad = makeExtent(2, test::randomBytes(rng_, 5000));
  test::flipByte(cache_->segmentPath(ctx_, bad), 0);  // the segment file's magic
  reopenCache();
  auto job = startJob();
  std::list<std::string> requeue;
  CZnError err = send(*job, bad, &requeue);
  EXPECT_EQ(err.win32Code(), BACKUP_WIN32_BAD_SEGMENT);
  EXPECT_EQ(err.errNo(), EIO);
  EXPECT_EQ(requeue, std::list<std::string>{bad});
  ASSERT_TRUE(send(*job, good).ok());
  std::list<std::string> endRequeue;
  ASSERT_TRUE(job->endBackup(endRequeue, true).ok());
  EXPECT_EQ(timesCommitted(good), 1);
  EXPECT_EQ(timesCommitted(bad), 0);
  EXPECT_EQ(test::walkAfiles(afileDir(), BACKUP_TEST_SUBCLIENT).size(), 1u);
}

TEST_F(BackupTransportTest, OtherDiskCacheReadFailureIsCode30AndRequeued) {
  const std::string seg = makeExtent(1, "data");
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Read, 1, ENOMEM, false});
  auto job = startJob();
  std::list<std::string> requeue;
  CZnError err = send(*job, seg, &requeue);
  EXPECT_EQ(err.win32Code(), BACKUP_WIN32_READ_FAULT);
  EXPECT_EQ(err.errNo(), ENOMEM);
  EXPECT_EQ(requeue, std::list<std::string>{seg});
  // The fault was once: the retry goes through.
  ASSERT_TRUE(send(*job, seg).ok());
  std::list<std::string> endRequeue;
  ASSERT_TRUE(job->endBackup(endRequeue, false).ok());
  EXPECT_EQ(timesCommitted(seg), 1);
}

TEST_F(BackupTransportTest, JobStartErrors) {
  std::shared_ptr<BackupInterface> job;
  EXPECT_EQ(BackupInterface::getController(nullptr, job, false).errNo(), EINVAL);
  auto info = std::make_shared<OBJECTOPSAPI::JobInfo>(3, 2, 0, "", 110, 777, 2);
  EXPECT_EQ(BackupInterface::getController(info, job, false).errNo(), ENOENT);
  EXPECT_FALSE(job);

  // No streams asked for: a job is started and handed out so it can be ended.
  info = std::make_shared<OBJECTOPSAPI::JobInfo>(0, 2, 0, "", 110, BACKUP_TEST_SUBCLIENT, 2);
  CZnError err = BackupInterface::getController(info, job, false);
  EXPECT_EQ(err.errNo(), BACKUP_ERR_NO_STREAMS);
  ASSERT_TRUE(job);
  const std::string seg = makeExtent(1, "x");
  std::list<std::string> requeue;
  EXPECT_EQ(send(*job, seg, &requeue).errNo(), EINVAL);
  EXPECT_EQ(requeue, std::list<std::string>{seg});
  requeue.clear();
  EXPECT_TRUE(job->endBackup(requeue, false).ok());

  // Too many streams are capped; the job's id and text are filled in.
  info = std::make_shared<OBJECTOPSAPI::JobInfo>(80, 2, 0, "", 110, BACKUP_TEST_SUBCLIENT, 2);
  std::shared_ptr<BackupInterface> big;
  ASSERT_TRUE(BackupInterface::getController(info, big, false).ok());
  EXPECT_EQ(info->streamCount, BACKUP_MAX_STREAMS);
  EXPECT_EQ(info->jobId, big->jobId());
  EXPECT_NE(info->jobId, job->jobId());
  EXPECT_FALSE(info->jobText.empty());
  EXPECT_TRUE(big->endBackup(requeue, false).ok());
}

TEST_F(BackupTransportTest, ShareWithoutItsOwnDirectoryUsesTheDefaultTarget) {
  const std::string other = path("other-target");
  ASSERT_TRUE(initBackupInterace(other));
  EXPECT_TRUE(test::fileExists(other));
  registerShareIndex(BACKUP_TEST_SUBCLIENT, index_, "");
  const std::string seg = makeExtent(1, "to the default");
  auto job = startJob();
  ASSERT_TRUE(send(*job, seg).ok());
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  std::vector<uint64_t> ids;
  EXPECT_EQ(listAfiles(other + "/" + std::to_string(BACKUP_TEST_SUBCLIENT), ids), 0);
  EXPECT_EQ(ids, std::vector<uint64_t>{1});
  EXPECT_EQ(listAfiles(afileDir(), ids), ENOENT);
}

TEST_F(BackupTransportTest, InitRefusesAnUnusableDirectory) {
  test::writeFile(path("plain"), "x");
  EXPECT_FALSE(initBackupInterace(path("plain")));
  EXPECT_FALSE(initBackupInterace(path("plain") + "/below"));
  EXPECT_FALSE(initBackupInterace(""));
  EXPECT_TRUE(initBackupInterace(path("a/b/c")));
  EXPECT_TRUE(test::fileExists(path("a/b/c")));
}

TEST_F(BackupTransportTest, AfilesRotateAndEveryRecordStillRestores) {
  setRegistry("nBackupAfileMaxKiB", "64");
  std::vector<std::string> segments;
  for (unsigned n = 0; n < 40; ++n)
    segments.push_back(makeExtent(n, test::randomBytes(rng_, 10000)));
  auto job = startJob();
  for (const auto& s : segments) ASSERT_TRUE(send(*job, s).ok());
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  std::set<int64_t> afiles;
  for (const auto& s : segments) {
    const Location where = locationOf(s);
    afiles.insert(where.afileId);
    EXPECT_EQ(restoreAt(where), expected_[s]);
  }
  EXPECT_GE(afiles.size(), 6u);
  EXPECT_EQ(*afiles.begin(), 1);
  EXPECT_EQ(getBackupTransportCounters().afilesCreated, afiles.size());
  EXPECT_TRUE(problems().empty());
}

TEST_F(BackupTransportTest, ASegmentSentTwiceIsLocatedAtItsNewestRecord) {
  verifyInCallback_ = false;  // the first commit's bytes are not the latest
  const std::string seg = makeExtent(1, "version one");
  auto job = startJob();
  ASSERT_TRUE(send(*job, seg).ok());
  putSegmentData(seg, "version two, longer", false);
  ASSERT_TRUE(send(*job, seg).ok());
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_EQ(timesCommitted(seg), 2);
  EXPECT_EQ(restoreAt(locationOf(seg)), "version two, longer");
  std::vector<test::WalkedRecord> records = test::walkAfiles(afileDir(), BACKUP_TEST_SUBCLIENT);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].data, "version one");
  EXPECT_EQ(locationOf(seg).offset, static_cast<int64_t>(records[1].offset));
}

TEST_F(BackupTransportTest, AfterACrashTheTornTailIsIgnoredAndNewRecordsFollowTheLastWholeOne) {
  const std::string first = makeExtent(1, test::randomBytes(rng_, 3000));
  {
    auto job = startJob();
    ASSERT_TRUE(send(*job, first).ok());
    std::list<std::string> requeue;
    ASSERT_TRUE(job->endBackup(requeue, false).ok());
    jobs_.clear();  // the last job lets go of the afiles
  }
  const std::string afile = afilePath(afileDir(), 1);
  const uint64_t wholeEnd = test::fileSizeOf(afile);
  // What a crash in the middle of the next append leaves behind.
  const std::string partialData = test::randomBytes(rng_, 4000);
  AfileRecordHeader header = makeRecordHeader("lost", partialData.data(), partialData.size());
  test::appendRaw(afile, std::string(reinterpret_cast<const char*>(&header), sizeof(header)) +
                             "lost" + partialData.substr(0, 100));

  const std::string second = makeExtent(2, test::randomBytes(rng_, 2000));
  auto job = startJob();
  ASSERT_TRUE(send(*job, second).ok());
  std::list<std::string> requeue;
  ASSERT_TRUE(job->endBackup(requeue, false).ok());
  EXPECT_EQ(locationOf(second).afileId, 1);
  EXPECT_EQ(locationOf(second).offset, static_cast<int64_t>(wholeEnd));
  EXPECT_EQ(restoreAt(locationOf(first)), expected_[first]);
  EXPECT_EQ(restoreAt(locationOf(second)), expected_[second]);
  EXPECT_EQ(test::walkAfiles(afileDir(), BACKUP_TEST_SUBCLIENT).size(), 2u);
  EXPECT_EQ(getBackupTransportCounters().tailRepairs, 1u);
  EXPECT_TRUE(problems().empty());
}

TEST_F(BackupTransportTest, JobsOfOneShareShareTheAfilesAndAnotherProcessIsKeptOut) {
  const std::string a = makeExtent(1, "from job one");
  const std::string b = makeExtent(2, "from job two");
  auto one = startJob();
  auto two = startJob();
  ASSERT_TRUE(send(*one, a).ok());
  ASSERT_TRUE(send(*two, b).ok());
  // While jobs run, the afile directory is locked against other writers.
  AfileWriter intruder(afileDir(), BACKUP_TEST_SUBCLIENT, AFILE_DEFAULT_MAX_BYTES);
  EXPECT_EQ(intruder.open().errNo(), EBUSY);
  std::list<std::string> requeue;
  ASSERT_TRUE(one->endBackup(requeue, false).ok());
  ASSERT_TRUE(two->endBackup(requeue, false).ok());
  EXPECT_EQ(restoreAt(locationOf(a)), "from job one");
  EXPECT_EQ(restoreAt(locationOf(b)), "from job two");
  EXPECT_EQ(test::walkAfiles(afileDir(), BACKUP_TEST_SUBCLIENT).size(), 2u);
}

TEST_F(BackupTransportTest, AJobDroppedWithoutEndBackupStillCommitsWhatItAccepted) {
  setRegistry("nBackupCommitIntervalMs", "60000");
  const std::string seg = makeExtent(1, "kept");
  {
    auto job = startJob();
    ASSERT_TRUE(send(*job, seg).ok());
    EXPECT_EQ(committedCount(), 0u);
    jobs_.clear();
  }
  EXPECT_EQ(timesCommitted(seg), 1);
  EXPECT_EQ(restoreAt(locationOf(seg)), "kept");
}

// A wrapped job behaves as the real one except where the wrapper says.
class FailSecondSend : public BackupInterfaceWrapper {
 public:
  using BackupInterfaceWrapper::BackupInterfaceWrapper;
  CZnError sendItem(const char* guid, std::list<std::string>& requeue, int64_t& bytes,
                    int& streamNumber, DiskCache& diskCache, DiskCacheContext& context) override {
    if (++sends_ == 2) {
      requeue.push_back(guid);
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "wrapped failure");
    }
    return BackupInterfaceWrapper::sendItem(guid, requeue, bytes, streamNumber, diskCache, context);
  }

 private:
  int sends_ = 0;
};

TEST_F(BackupTransportTest, AWrapperOverridesOneCallAndForwardsTheRest) {
  const std::string a = makeExtent(1, "one");
  const std::string b = makeExtent(2, "two");
  const std::string c = makeExtent(3, "three");
  auto real = startJob();
  FailSecondSend wrapped(real);
  EXPECT_EQ(wrapped.jobId(), real->jobId());
  EXPECT_TRUE(send(wrapped, a).ok());
  std::list<std::string> requeue;
  EXPECT_EQ(send(wrapped, b, &requeue).errNo(), EIO);
  EXPECT_EQ(requeue, std::list<std::string>{b});
  EXPECT_TRUE(send(wrapped, c).ok());
  std::list<std::string> endRequeue;
  ASSERT_TRUE(wrapped.endBackup(endRequeue, false).ok());
  EXPECT_EQ(timesCommitted(a), 1);
  EXPECT_EQ(timesCommitted(b), 0);
  EXPECT_EQ(timesCommitted(c), 1);
}

}  // namespace
}  // namespace ObjectStore
