// Space management: watermarks, the pruner and its callbacks, out of space.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "DiskCacheTestUtil.h"
#include "platform/diskcache/SegmentFile.h"
#include "platform/support/Clock.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore::test {
namespace {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * 1024;

// Records every offer; allows all but the refused names and, like the store,
// deletes what it allows through the cache itself.
struct OwnerCallback {
  DiskCache* cache = nullptr;
  DiskCacheContext* ctx = nullptr;
  std::set<std::string> refuse;
  std::atomic<bool> refuseAll{false};
  std::mutex mutex;
  std::vector<std::string> offered;
  std::vector<std::string> subclients;
  std::vector<std::string> paths;

  DiskCachePruneCallback make() {
    return [this](const std::string& sub, const std::string& path, const std::string& name) {
      {
        std::lock_guard<std::mutex> guard(mutex);
        offered.push_back(name);
        subclients.push_back(sub);
        paths.push_back(path);
      }
      if (refuseAll.load() || refuse.count(name) != 0) return false;
      CZnError err = cache->deleteSegment(*ctx, name, false, false, 0);
      EXPECT_TRUE(err.ok()) << err.chain();
      return true;
    };
  }
};

class DiskCachePrunerTest : public DiskCacheFixture {
 protected:
  // A cache measured against `capacity` bytes. Without the background
  // pruner thread nothing is pruned until the test says so (pruneNow).
  void openSmall(uint64_t capacity, int high, int low, int third,
                 PruningMode mode = PruningMode::Lru, bool background = false) {
    openCache(high, low, third, mode, 1000);
    if (!background) cache_->shutdownPruner();
    cache_->setCapacity(capacity);
  }

  void registerWithOwner(OwnerCallback& owner, DiskCacheContext& ctx) {
    owner.cache = cache_.get();
    owner.ctx = &ctx;
    ctx.pruneCallback = owner.make();
    ASSERT_TRUE(cache_->registerContext(ctx).ok());
  }

  // `count` segments of `bytes` bytes named prefix0, prefix1, ...
  void fill(const std::string& prefix, int count, uint64_t bytes, bool nonPrunable = false,
            DiskCacheContext* ctx = nullptr) {
    for (int i = 0; i < count; ++i) {
      CZnError err = createBlob(prefix + std::to_string(i), bytes, static_cast<uint32_t>(i),
                                nonPrunable, ctx);
      ASSERT_TRUE(err.ok()) << prefix << i << ": " << err.chain();
    }
  }

  double usage() const {
    return static_cast<double>(cache_->usedBytes()) * 100.0 /
           static_cast<double>(cache_->capacityBytes());
  }
};

TEST_F(DiskCachePrunerTest, PrunesDownToTheLowWatermarkAskingTheOwner) {
  openSmall(4 * MIB, 50, 30, 20);
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  fill("seg", 25, 100 * KIB);  // about 61%
  owner.refuse = {"seg0", "seg3"};
  ASSERT_GT(usage(), 50.0);
  cache_->pruneNow();
  EXPECT_LT(usage(), 30.0);
  EXPECT_GE(usage(), 30.0 - 100.0 * 100 * KIB / (4 * MIB)) << "stops once below low";
  // Oldest first: seg0, seg1, ... were offered in creation order.
  ASSERT_GE(owner.offered.size(), 13u);
  for (size_t i = 0; i < owner.offered.size(); ++i) {
    EXPECT_EQ(owner.offered[i], "seg" + std::to_string(i));
    EXPECT_EQ(owner.subclients[i], "42");
    EXPECT_EQ(owner.paths[i], cache_->guid2path(owner.offered[i], 0, "42"));
  }
  EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "seg0")) << "refused segments stay";
  EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "seg3"));
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "seg1"));
  std::map<std::string, std::string> counters;
  cache_->getCounters(counters);
  EXPECT_EQ(counters["diskCache.pruneRefused"], "2");
  EXPECT_EQ(counters["diskCache.pruned"], std::to_string(owner.offered.size() - 2));
  // Below the high watermark a pass does nothing.
  owner.offered.clear();
  cache_->pruneNow();
  EXPECT_TRUE(owner.offered.empty());
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

TEST_F(DiskCachePrunerTest, LruModePrunesLeastRecentlyUsedFirst) {
  ManualClock clock(1000000);
  openSmall(4 * MIB, 50, 30, 20);
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(createBlob("seg" + std::to_string(i), 100 * KIB, static_cast<uint32_t>(i)).ok());
    clock.advanceSec(1);
  }
  // Use the oldest ten again (reads and writes count as use; the pruner's
  // own reads do not).
  for (int i = 0; i < 10; ++i) {
    clock.advanceSec(1);
    if (i % 2 == 0) {
      readSection("seg" + std::to_string(i), 1);
    } else {
      ASSERT_TRUE(write("seg" + std::to_string(i), 1, pattern(10, 1), 0).ok());
    }
  }
  Bytes buffer(10);
  std::vector<Section> req{readOf(1, buffer)};
  ASSERT_TRUE(cache_->readSections(ctx_, "seg10", req, false).ok());
  cache_->pruneNow();
  ASSERT_GE(owner.offered.size(), 13u);
  for (size_t i = 0; i < owner.offered.size(); ++i) {
    std::string expected = i < 15 ? "seg" + std::to_string(10 + i) : "seg" + std::to_string(i - 15);
    EXPECT_EQ(owner.offered[i], expected) << i;
  }
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "seg" + std::to_string(i)));
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

TEST_F(DiskCachePrunerTest, LastUseSurvivesARestartAsTheFileTime) {
  openSmall(4 * MIB, 50, 30, 20);
  fill("old", 12, 100 * KIB);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  fill("new", 13, 100 * KIB);
  openSmall(4 * MIB, 50, 30, 20);
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  cache_->pruneNow();
  for (int i = 0; i < 12; ++i) EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "old" + std::to_string(i)));
  EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "new12"));
  EXPECT_LT(usage(), 30.0);
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

TEST_F(DiskCachePrunerTest, ShareSegmentsWithNoOwnerToAskAreKept) {
  // A share's segment may be the only copy of data not backed up yet: with
  // no context registered there is nobody who could say it may go.
  openSmall(4 * MIB, 50, 30, 20);
  fill("seg", 25, 100 * KIB);
  const uint64_t before = cache_->usedBytes();
  cache_->pruneNow();
  EXPECT_EQ(cache_->usedBytes(), before);
  for (int i = 0; i < 25; ++i) EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "seg" + std::to_string(i)));
  std::map<std::string, std::string> counters;
  cache_->getCounters(counters);
  EXPECT_EQ(counters["diskCache.pruneRefused"], "25");
}

TEST_F(DiskCachePrunerTest, NonPrunableSegmentsAreNeverOffered) {
  openSmall(4 * MIB, 50, 30, 40);
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  fill("keep", 15, 100 * KIB, true);  // about 37%, all non-prunable
  fill("seg", 10, 100 * KIB);
  cache_->pruneNow();
  for (const std::string& name : owner.offered) EXPECT_EQ(name.rfind("seg", 0), 0u) << name;
  EXPECT_EQ(owner.offered.size(), 10u) << "every prunable segment offered, usage still high";
  for (int i = 0; i < 15; ++i) EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "keep" + std::to_string(i)));
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

TEST_F(DiskCachePrunerTest, ViewSegmentsArePrunedWithoutAsking) {
  openSmall(4 * MIB, 50, 30, 20);
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  DiskCacheContext view;
  view.name = "42";
  view.noprunePath = "noprune/42_v";
  view.viewPath = "views/42_v";
  OwnerCallback viewOwner;
  registerWithOwner(viewOwner, view);
  fill("v", 25, 100 * KIB, false, &view);
  cache_->pruneNow();
  EXPECT_TRUE(owner.offered.empty());
  EXPECT_TRUE(viewOwner.offered.empty());
  EXPECT_LT(usage(), 30.0);
  EXPECT_FALSE(cache_->doesSegmentExist(view, "v0"));
  EXPECT_TRUE(cache_->doesSegmentExist(view, "v24"));
  ASSERT_TRUE(cache_->unregisterContext(view).ok());
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

TEST_F(DiskCachePrunerTest, SegmentsOfUnregisteredSharesGoToAnyCallback) {
  openSmall(4 * MIB, 50, 30, 20);
  DiskCacheContext gone;
  gone.name = "77";
  fill("old", 25, 100 * KIB, false, &gone);  // share 77 has no registered store
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  std::vector<std::string> subs;
  // The container's callback routes by subclient; for a share without a
  // store it removes the file by its path.
  ctx_.pruneCallback = [&subs](const std::string& sub, const std::string& path,
                               const std::string&) {
    subs.push_back(sub);
    return unlink(path.c_str()) == 0;
  };
  ASSERT_TRUE(cache_->updateContext(ctx_, ctx_.noprunePath, false).ok());
  cache_->pruneNow();
  ASSERT_FALSE(subs.empty());
  for (const std::string& sub : subs) EXPECT_EQ(sub, "77");
  EXPECT_LT(usage(), 30.0) << "files removed by the callback leave the accounting";
  EXPECT_EQ(cache_->usedBytes(), static_cast<uint64_t>(25 - subs.size()) *
                                     SegmentFile::imageSize({writeOf(1, pattern(100 * KIB, 0))}));
  // With no callback anywhere, nothing of a share is removed.
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
  fill("more", 15, 100 * KIB, false, &gone);
  size_t asked = subs.size();
  const uint64_t before = cache_->usedBytes();
  cache_->pruneNow();
  EXPECT_EQ(subs.size(), asked) << "an unregistered context's callback is not used";
  EXPECT_EQ(cache_->usedBytes(), before);
}

TEST_F(DiskCachePrunerTest, RandomModeAlsoStopsBelowLow) {
  openSmall(4 * MIB, 50, 30, 20, PruningMode::Random);
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  fill("seg", 25, 100 * KIB);
  cache_->pruneNow();
  EXPECT_LT(usage(), 30.0);
  EXPECT_GE(usage(), 27.0);
  std::map<std::string, std::string> status;
  cache_->getStatus(status);
  EXPECT_EQ(status["diskCache.pruningMode"], "random");
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

TEST_F(DiskCachePrunerTest, PrunerThreadWakesWhenUsagePassesHigh) {
  openSmall(4 * MIB, 50, 30, 20, PruningMode::Lru, true);
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  fill("seg", 25, 100 * KIB);  // the creation passing 50% wakes the thread
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (usage() >= 30.0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LT(usage(), 50.0);
  EXPECT_FALSE(owner.offered.empty());
  cache_->shutdownPruner();
  cache_->shutdownPruner();  // idempotent
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

TEST_F(DiskCachePrunerTest, ForcedOutOfSpaceFailsCreationsOnly) {
  openCache();
  ASSERT_TRUE(createBlob("seg", 100, 1).ok());
  LogCapture log;
  cache_->setOutOfSpace(true);
  EXPECT_EQ(createBlob("new", 100, 2).errNo(), ENOSPC);
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "new"));
  EXPECT_GE(log.countContaining("Out of space (forced)", 4), 1u) << log.dump();
  EXPECT_EQ(log.countContaining("Out of space", -1), 0u) << "ENOSPC is not an error-level event";
  EXPECT_TRUE(write("seg", 1, pattern(1000, 3), 0).ok());
  std::map<std::string, std::string> status, counters;
  cache_->getStatus(status);
  EXPECT_EQ(status["diskCache.outOfSpace"], "1");
  cache_->getCounters(counters);
  EXPECT_EQ(counters["diskCache.enospc"], "1");
  cache_->setOutOfSpace(false);
  EXPECT_TRUE(createBlob("new", 100, 2).ok());
}

TEST_F(DiskCachePrunerTest, ThirdWatermarkCapsNonPrunableSegments) {
  openSmall(1 * MIB, 90, 80, 20);  // non-prunable cap: 209715 bytes
  LogCapture log;
  ASSERT_TRUE(createBlob("np1", 150 * KIB, 1, true).ok());
  EXPECT_EQ(createBlob("np2", 60 * KIB, 2, true).errNo(), ENOSPC);
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "np2"));
  EXPECT_GE(log.countContaining("third watermark", 4), 1u) << log.dump();
  ASSERT_TRUE(createBlob("p1", 300 * KIB, 3).ok()) << "prunable segments are not capped";
  // Growing a non-prunable segment past the cap fails too; inside it works.
  EXPECT_EQ(write("np1", 1, pattern(60 * KIB, 4), 150 * KIB).errNo(), ENOSPC);
  EXPECT_EQ(readSection("np1", 1), pattern(150 * KIB, 1));
  EXPECT_TRUE(write("np1", 1, pattern(20 * KIB, 4), 150 * KIB).ok());
  EXPECT_EQ(cache_->truncateSection(ctx_, "np1", 1, 0, 300 * KIB).errNo(), ENOSPC);
  // Moving it to the prunable area frees the non-prunable budget.
  ASSERT_TRUE(cache_->moveToPrunable(ctx_, "np1").ok());
  EXPECT_TRUE(createBlob("np2", 60 * KIB, 2, true).ok());
  // keepAll makes every creation non-prunable, so it is capped as well.
  ctx_.keepAll = true;
  EXPECT_EQ(createBlob("np3", 150 * KIB, 5).errNo(), ENOSPC);
}

TEST_F(DiskCachePrunerTest, AFullCachePrunesBeforeRefusing) {
  openSmall(1 * MIB, 90, 50, 50, PruningMode::Lru, true);
  OwnerCallback owner;
  registerWithOwner(owner, ctx_);
  cache_->setPruneWait(5000);
  fill("seg", 9, 100 * KIB);  // 88%: below the high watermark
  ASSERT_LT(usage(), 90.0);
  // 200 KiB more would take it past 100%: the pruner gets its chance first,
  // and prunes down to the low watermark although usage never passed high.
  ASSERT_TRUE(createBlob("big", 200 * KIB, 99).ok());
  EXPECT_EQ(owner.offered, (std::vector<std::string>{"seg0", "seg1", "seg2", "seg3"}));
  EXPECT_LT(usage(), 100.0);
  // Nothing may be pruned: the creation fails after the owner said no.
  owner.refuseAll = true;
  LogCapture log;
  EXPECT_EQ(createBlob("huge", 400 * KIB, 7).errNo(), ENOSPC);
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "huge"));
  EXPECT_GE(log.countContaining("Disk cache full", 4), 1u) << log.dump();
  EXPECT_GT(owner.offered.size(), 4u);
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

TEST_F(DiskCachePrunerTest, AreasRemovedBehindTheCacheAreForgotten) {
  openSmall(4 * MIB, 50, 30, 20);
  ASSERT_TRUE(cache_->registerContext(ctx_).ok());
  fill("seg", 5, 100 * KIB);
  fill("np", 3, 10 * KIB, true);
  readSection("seg0", 1);  // keep one open
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
  // The container's cleanup of a closed share.
  ASSERT_EQ(rmTree(cacheDir_ + "/42"), 0);
  ASSERT_EQ(rmTree(cacheDir_ + "/noprune/42_0"), 0);
  // Reopening the share sees none of the old segments and can create the
  // same names afresh.
  ASSERT_TRUE(cache_->registerContext(ctx_).ok());
  EXPECT_EQ(cache_->usedBytes(), 0u);
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "seg0"));
  ASSERT_TRUE(createBlob("seg0", 10, 42).ok());
  EXPECT_EQ(readSection("seg0", 1), pattern(10, 42));
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
  // Without a new registration, the pruner's periodic check notices too.
  ASSERT_EQ(rmTree(cacheDir_ + "/42"), 0);
  cache_->pruneNow();
  EXPECT_EQ(cache_->usedBytes(), 0u);
}

}  // namespace
}  // namespace ObjectStore::test
