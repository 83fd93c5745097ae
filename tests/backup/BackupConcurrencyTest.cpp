// Several threads sending through one job at once (the controller's worker
// streams), with commits and afile rotation running underneath.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "backup/BackupFixture.h"
#include "backup/BackupTestUtil.h"
#include "platform/backup/BackupTransportCounters.h"

namespace ObjectStore {
namespace {

using test::BACKUP_TEST_SUBCLIENT;

class BackupConcurrencyTest : public test::BackupFixture {};

TEST_F(BackupConcurrencyTest, ParallelSendsAllLandAsValidRecordsAndCommitOnce) {
  setRegistry("nBackupCommitBatch", "7");
  setRegistry("nBackupCommitIntervalMs", "5");
  setRegistry("nBackupAfileMaxKiB", "128");
  constexpr int THREADS = 8;
  constexpr int PER_THREAD = 20;
  std::mt19937_64 rng(77);
  std::vector<std::vector<std::string>> work(THREADS);
  for (int t = 0; t < THREADS; ++t)
    for (int i = 0; i < PER_THREAD; ++i) {
      const unsigned number = static_cast<unsigned>(t * PER_THREAD + i);
      work[t].push_back(makeExtent(number, test::randomBytes(rng, 1 + rng() % 30000)));
    }

  auto job = startJob(4);
  ASSERT_TRUE(job);
  std::atomic<int> failures{0};
  std::atomic<int> badStream{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (const std::string& segment : work[t]) {
        int stream = -1;
        int64_t bytes = -1;
        CZnError err = send(*job, segment, nullptr, &bytes, &stream);
        if (err.failed()) ++failures;
        if (stream < 0 || stream >= 4) ++badStream;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::list<std::string> requeue;
  CZnError err = job->endBackup(requeue, true);
  ASSERT_TRUE(err.ok()) << err.chain();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(badStream.load(), 0);

  std::vector<std::string> problemList = problems();
  EXPECT_TRUE(problemList.empty()) << problemList.size() << " problems, first: " << problemList[0];
  EXPECT_EQ(committedCount(), static_cast<size_t>(THREADS * PER_THREAD));
  EXPECT_GT(batches().size(), 1u);

  // Every byte of every afile belongs to a whole, valid record, each record
  // is one of the sends, and the index points at it.
  std::vector<test::WalkedRecord> records = test::walkAfiles(afileDir(), BACKUP_TEST_SUBCLIENT);
  ASSERT_EQ(records.size(), static_cast<size_t>(THREADS * PER_THREAD));
  std::set<std::string> seen;
  for (const test::WalkedRecord& record : records) {
    EXPECT_TRUE(seen.insert(record.name).second) << record.name;
    EXPECT_EQ(timesCommitted(record.name), 1) << record.name;
    EXPECT_EQ(record.data, expected_[record.name]) << record.name;
    const Location where = locationOf(record.name);
    EXPECT_EQ(where.afileId, static_cast<int64_t>(record.afileId)) << record.name;
    EXPECT_EQ(where.offset, static_cast<int64_t>(record.offset)) << record.name;
  }
  std::vector<uint64_t> ids;
  ASSERT_EQ(listAfiles(afileDir(), ids), 0);
  EXPECT_GT(ids.size(), 3u);
}

TEST_F(BackupConcurrencyTest, EndingAJobWhileSendsRaceIsExact) {
  setRegistry("nBackupCommitBatch", "3");
  setRegistry("nBackupCommitIntervalMs", "1");
  constexpr int THREADS = 6;
  constexpr int PER_THREAD = 10;
  for (int t = 0; t < THREADS; ++t)
    for (int i = 0; i < PER_THREAD; ++i)
      makeExtent(static_cast<unsigned>(t * PER_THREAD + i),
                 std::string(2000, static_cast<char>('a' + t)));

  auto job = startJob(3);
  ASSERT_TRUE(job);
  std::atomic<int> accepted{0};
  std::atomic<int> refused{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  // Each thread sends its segments round and round until the job refuses
  // one, so the end always lands in the middle of sends.
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000000; ++i) {
        const std::string segment =
            segmentOf(static_cast<unsigned>(t * PER_THREAD + i % PER_THREAD));
        std::list<std::string> requeue;
        CZnError err = send(*job, segment, &requeue);
        if (err.ok() && requeue.empty()) {
          ++accepted;
        } else if (err.errNo() == EINVAL && requeue == std::list<std::string>{segment}) {
          ++refused;
          return;
        } else {
          ++unexpected;
          return;
        }
      }
    });
  }
  while (accepted.load() < 200) std::this_thread::yield();
  std::list<std::string> requeue;
  CZnError err = job->endBackup(requeue, true);
  ASSERT_TRUE(err.ok()) << err.chain();
  // Every send accepted before the end is committed by the time it returns.
  const size_t committedAtEnd = committedCount();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(refused.load(), THREADS);
  EXPECT_EQ(committedAtEnd, static_cast<size_t>(accepted.load()));
  EXPECT_EQ(committedCount(), committedAtEnd);
  EXPECT_EQ(test::walkAfiles(afileDir(), BACKUP_TEST_SUBCLIENT).size(),
            static_cast<size_t>(accepted.load()));
  EXPECT_TRUE(problems().empty());
}

}  // namespace
}  // namespace ObjectStore
