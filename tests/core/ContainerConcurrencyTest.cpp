// Many threads opening and closing views of two shares through one container
// while others read counters, look up roots and route pruning requests: no
// deadlock, and the share records agree with the views left open.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/StoreFixture.h"

namespace ObjectStore {
namespace {

using test::readFile;

class ContainerConcurrencyTest : public test::StoreFixture {};

TEST_F(ContainerConcurrencyTest, OpenCloseAndReadersRunTogether) {
  constexpr int kOpeners = 4;
  constexpr int kRounds = 6;
  constexpr int kReaders = 3;
  const std::vector<std::string> shares = {"alpha", "beta"};
  const std::vector<uint64_t> subclients = {1, 2};

  // One view of each share stays open throughout and is reopened (reused)
  // by every opener: all must get the same index.
  ObjectStoreIndex keptAlpha = 0;
  ObjectStoreIndex keptBeta = 0;
  ASSERT_OK(container_->openObjectStore(keptAlpha, liveConfig("alpha", 1)));
  ASSERT_OK(container_->openObjectStore(keptBeta, liveConfig("beta", 2)));

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<uint64_t> pruneCalls{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      const std::string missing = path("nothing-" + std::to_string(r));
      while (!stop.load()) {
        std::map<std::string, std::string> counters;
        if (!container_->getCounters(counters).ok() || counters.size() < 38) ++failures;
        if (container_->getRootGuid(keptAlpha).size() != 32) ++failures;
        // Unknown slots are simply invalid, whatever the others do.
        (void)container_->getRootGuid(1000 + static_cast<uint64_t>(r));
        // Subclient 9 has no main share: the container removes by path.
        if (!container_->pruneFile("9", missing, "seg")) ++failures;
        ++pruneCalls;
        ObjectStoreUpdates updates;
        updates.updateVersionInterval = true;
        updates.versionInterval = r;
        if (!container_->updateObjectStore(keptBeta, updates).ok()) ++failures;
      }
    });
  }

  std::vector<std::thread> openers;
  for (int t = 0; t < kOpeners; ++t) {
    openers.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const size_t s = static_cast<size_t>((t + round) % 2);
        ObjectStoreIndex reused = 0;
        if (!container_->openObjectStore(reused, liveConfig(shares[s], subclients[s])).ok() ||
            reused != (s == 0 ? keptAlpha : keptBeta))
          ++failures;

        ObjectStoreConfig config =
            pitConfig(1600000000 + round, "t" + std::to_string(t) + "r" + std::to_string(round),
                      round % 2 == 0, shares[s]);
        config.subclient = subclients[s];
        ObjectStoreIndex index = 0;
        if (!container_->openObjectStore(index, config).ok()) {
          ++failures;
          continue;
        }
        if (container_->getRootGuid(index).size() != 32) ++failures;
        if (!container_->closeObjectStore(index).ok()) ++failures;
      }
    });
  }
  for (auto& thread : openers) thread.join();
  stop = true;
  for (auto& thread : readers) thread.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(container_->counters().get(ContainerCounter::PRUNE_FILE), pruneCalls.load());
  // Only the two kept views are open: one reference per share.
  StoreInfo info;
  ASSERT_TRUE(container_->getStoreInfo("alpha_1", info));
  EXPECT_EQ(info.refCount, 1);
  ASSERT_TRUE(container_->getStoreInfo("beta_2", info));
  EXPECT_EQ(info.refCount, 1);
  EXPECT_EQ(container_->numShares(), 2u);
  EXPECT_EQ(container_->numSlots(), 2u + kOpeners * kRounds);
  EXPECT_EQ(readFile(containerDir_ + "/objstr/StoreInfo.txt"), "alpha_1,,1\nbeta_2,,2\n");

  ASSERT_OK(container_->closeObjectStore(keptAlpha));
  ASSERT_OK(container_->closeObjectStore(keptBeta));
  EXPECT_EQ(container_->numShares(), 0u);
}

}  // namespace
}  // namespace ObjectStore
