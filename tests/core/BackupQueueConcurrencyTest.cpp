// The backup queue under concurrent writers while the controller sends and
// the transport commits: every pushed extent ends committed, the queue drains,
// every commit follows a send, and a restart finds nothing left to do.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "core/BackupQueueFixture.h"

namespace ObjectStore::test {
namespace {

class BackupQueueConcurrencyTest : public BackupQueueFixture {};

TEST_F(BackupQueueConcurrencyTest, ConcurrentPushesAreAllCommittedOnce) {
  BackupTimings::setForTesting(fastTimings());
  ManualClock& clock = useManualClock(5000000);
  ASSERT_TRUE(startQueue(1).ok());
  constexpr unsigned kThreads = 4;
  constexpr unsigned kPerThread = 20;
  std::vector<std::string> guids = [&] {
    std::vector<std::string> all;
    for (unsigned n = 0; n < kThreads * kPerThread; ++n)
      all.push_back(makeExtent(n, "data of extent " + std::to_string(n)));
    return all;
  }();

  // Time moves on in the background so that quiet periods end while the
  // writers keep pushing (and re-pushing) their extents.
  std::atomic<bool> writing{true};
  std::thread ticker([&] {
    while (writing.load()) {
      clock.advanceSec(1);
      queue_->updateParams(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::vector<std::thread> writers;
  for (unsigned t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      std::mt19937 random(1234 + t);
      for (unsigned round = 0; round < 3; ++round) {
        for (unsigned i = 0; i < kPerThread; ++i) {
          queue_->push(guids[t * kPerThread + i]);
          if (random() % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    });
  }
  for (std::thread& w : writers) w.join();

  // Let every quiet period end, then wait for the queue to drain.
  const bool drained = waitUntil(
      [&] {
        return queue_->modifiedSize() == 0 && queue_->queuedSize() == 0 &&
               queue_->uncommittedSize() == 0 &&
               queue_->counters().committed.load() == queue_->counters().poppedFromBkQ.load();
      },
      20000);
  writing.store(false);
  ticker.join();
  ASSERT_TRUE(drained);

  for (const std::string& g : guids) {
    const size_t sent = countRecord(EVENT_SENT, g);
    const size_t commits = countRecord(EVENT_COMMITTED, g);
    EXPECT_GE(commits, 1u) << g;
    EXPECT_EQ(sent, commits) << g;  // nothing committed without a send of its own
    EXPECT_EQ(restoreAt(locationOf(g)), expected_[g]) << g;
  }
  EXPECT_EQ(queue_->counters().committed.load(), queue_->counters().poppedFromBkQ.load());

  restartQueue(1);
  EXPECT_TRUE(queue_->isBackupQueueEmpty());
  EXPECT_EQ(queue_->counters().itemsRecovered.load(), 0u);
}

TEST_F(BackupQueueConcurrencyTest, ReportsAndPruningRunAlongsideTheQueue) {
  BackupTimings::setForTesting(fastTimings());
  ManualClock& clock = useManualClock(5000000);
  ASSERT_TRUE(startQueue(0).ok());
  std::vector<std::string> guids;
  for (unsigned n = 0; n < 30; ++n) guids.push_back(makeExtent(n, "x" + std::to_string(n)));
  std::atomic<bool> running{true};
  std::thread reporter([&] {
    while (running.load()) {
      std::map<std::string, std::string> m;
      queue_->getStatus(m, "");
      queue_->getCounters(m);
      std::vector<std::pair<std::string, std::string>> gui;
      queue_->getGuiStats(gui);
      queue_->getStatusVerGuid(m, guids[0]);
    }
  });
  for (const std::string& g : guids) queue_->push(g);
  // The disk cache's pruner asks all the time while the items are sent; a
  // segment deleted while still pending would reach the transport as missing
  // and be committed with the error flag (record 4).
  std::atomic<int> pruned{0};
  std::thread pruner([&] {
    while (running.load())
      for (const std::string& g : guids) pruned += queue_->pruneIfNotInQueue(g) ? 1 : 0;
  });
  clock.advanceSec(1);
  queue_->updateParams(0);
  const bool drained = waitUntil([&] {
    return queue_->counters().committed.load() >= guids.size() && queue_->uncommittedSize() == 0;
  });
  // Once committed, every segment may go.
  const bool allPruned = waitUntil([&] { return pruned.load() >= static_cast<int>(guids.size()); });
  running.store(false);
  reporter.join();
  pruner.join();
  ASSERT_TRUE(drained);
  EXPECT_TRUE(allPruned);
  for (const std::string& g : guids) {
    EXPECT_EQ(countRecord(EVENT_COMMITTED, g), 1u) << g;
    EXPECT_EQ(countRecord(EVENT_COMMIT_ERROR, g), 0u) << g;
    EXPECT_EQ(restoreAt(locationOf(g)), expected_[g]) << g;
    EXPECT_TRUE(queue_->pruneIfNotInQueue(g));
    EXPECT_FALSE(cache_->doesSegmentExist(ctx_, g));
  }
}

}  // namespace
}  // namespace ObjectStore::test
