#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ObjectStore/Identifiers.h"
#include "ObjectStore/SegmentFormat.h"
#include "ObjectStore/utils/lrucache.h"
#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

using StrCache = LruCache<std::string, std::string>;

std::vector<std::string> keysOf(StrCache& cache) {
  std::vector<std::string> keys;
  cache.getAllKeys(keys);
  return keys;
}

TEST(LruCacheTest, OverweightInsertFailsWithEnospcAndChangesOnlyOverflows) {
  StrCache cache(10);
  ASSERT_TRUE(cache.insert("a", "1", true, 4).ok());
  ASSERT_TRUE(cache.insert("b", "2", true, 3).ok());
  LruCacheStats before = cache.getStats();

  CZnError err = cache.insert("c", "3", true, 11);
  ASSERT_FALSE(err.ok());
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), ENOSPC);
  EXPECT_NE(err.chain().find("No space inserting into lru. weight=11 totalWeight=7"),
            std::string::npos)
      << err.chain();
  // An overweight replacement of a present key leaves that key alone too.
  EXPECT_FALSE(cache.insert("a", "9", true, 11).ok());

  LruCacheStats after = cache.getStats();
  EXPECT_EQ(after.overflows, before.overflows + 2);
  EXPECT_EQ(after.inserts, before.inserts);
  EXPECT_EQ(after.updates, before.updates);
  EXPECT_EQ(after.hits, before.hits);
  EXPECT_EQ(after.misses, before.misses);
  EXPECT_EQ(after.evictions, before.evictions);
  EXPECT_EQ(after.totalWeight, 7u);
  EXPECT_EQ(after.numEntries, 2u);
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"a", "b"}));
  std::string value;
  ASSERT_TRUE(cache.read("a", value, false));
  EXPECT_EQ(value, "1");
}

TEST(LruCacheTest, FullAttrCacheEvictsExactlyTheLeastRecentlyUsed) {
  LruCache<std::string, AttribData> cache(32);
  for (int i = 0; i < 32; ++i) {
    AttribData attrs;
    attrs.size = static_cast<uint64_t>(i);
    ASSERT_TRUE(cache.insert("v" + std::to_string(i), attrs, true, 1).ok());
  }
  // A recent read saves v0; v1 is now the least recently used.
  AttribData read;
  ASSERT_TRUE(cache.read("v0", read, true));
  EXPECT_EQ(read.size, 0u);
  ASSERT_TRUE(cache.insert("v32", AttribData(), true, 1).ok());
  EXPECT_EQ(cache.size(), 32u);
  EXPECT_FALSE(cache.read("v1", read, false));
  for (int i = 0; i < 33; ++i) {
    if (i == 1) continue;
    EXPECT_TRUE(cache.read("v" + std::to_string(i), read, false)) << i;
  }
  // Without reads, the oldest insert goes: v2 now.
  ASSERT_TRUE(cache.insert("v33", AttribData(), true, 1).ok());
  EXPECT_FALSE(cache.read("v2", read, false));
  EXPECT_EQ(cache.getStats().evictions, 2u);
  EXPECT_EQ(cache.getStats().totalWeight, 32u);
}

TEST(LruCacheTest, ReadWithoutMoveToBackKeepsOrder) {
  StrCache cache(3);
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(cache.insert(k, k, true, 1).ok());
  std::string value;
  ASSERT_TRUE(cache.read("a", value, false));
  ASSERT_TRUE(cache.insert("d", "d", true, 1).ok());
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"b", "c", "d"}));
  ASSERT_TRUE(cache.read("b", value, true));
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"c", "d", "b"}));
  EXPECT_FALSE(cache.read("zz", value, true));
  LruCacheStats st = cache.getStats();
  EXPECT_EQ(st.hits, 2u);
  EXPECT_EQ(st.misses, 1u);
}

TEST(LruCacheTest, UpdateWithSameWeightReplacesValueInPlace) {
  StrCache cache(10);
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(cache.insert(k, k, true, 1).ok());
  ASSERT_TRUE(cache.insert("a", "A", false, 1).ok());  // stays first
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_TRUE(cache.insert("b", "B", true, 1).ok());  // moves to the back
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"a", "c", "b"}));
  std::string value;
  ASSERT_TRUE(cache.read("a", value, false));
  EXPECT_EQ(value, "A");
  LruCacheStats st = cache.getStats();
  EXPECT_EQ(st.inserts, 3u);
  EXPECT_EQ(st.updates, 2u);
  EXPECT_EQ(st.totalWeight, 3u);
}

TEST(LruCacheTest, UpdateWithOtherWeightReinsertsAtTheBack) {
  StrCache cache(10);
  ASSERT_TRUE(cache.insert("a", "1", true, 3).ok());
  ASSERT_TRUE(cache.insert("b", "2", true, 3).ok());
  ASSERT_TRUE(cache.insert("c", "3", true, 3).ok());
  // a goes from 3 to 5: 6 + 5 > 10, so b (now least recently used) goes.
  ASSERT_TRUE(cache.insert("a", "1b", false, 5).ok());
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"c", "a"}));
  LruCacheStats st = cache.getStats();
  EXPECT_EQ(st.totalWeight, 8u);
  EXPECT_EQ(st.updates, 1u);
  EXPECT_EQ(st.inserts, 3u);
  EXPECT_EQ(st.evictions, 1u);
}

TEST(LruCacheTest, WeightedEvictionFreesEnoughRoom) {
  StrCache cache(10);
  ASSERT_TRUE(cache.insert("a", "1", true, 4).ok());
  ASSERT_TRUE(cache.insert("b", "2", true, 4).ok());
  ASSERT_TRUE(cache.insert("c", "3", true, 1).ok());
  ASSERT_TRUE(cache.insert("d", "4", true, 6).ok());  // a and b must both go
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(cache.getStats().totalWeight, 7u);
  ASSERT_TRUE(cache.insert("e", "5", true, 10).ok());  // exactly the capacity
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"e"}));
}

TEST(LruCacheTest, UnlimitedCapacityNeverEvicts) {
  StrCache cache(UINT64_MAX);
  ASSERT_TRUE(cache.insert("a", "1", true, UINT64_MAX / 2).ok());
  ASSERT_TRUE(cache.insert("b", "2", true, UINT64_MAX / 2).ok());
  ASSERT_TRUE(cache.insert("c", "3", true, 1).ok());
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_EQ(cache.getStats().evictions, 0u);
}

TEST(LruCacheTest, EraseClearAndListing) {
  StrCache cache(10);
  for (const char* k : {"b", "a", "c"})
    ASSERT_TRUE(cache.insert(k, std::string(k) + "v", true, 2).ok());
  EXPECT_TRUE(cache.erase("a"));
  EXPECT_FALSE(cache.erase("a"));
  EXPECT_EQ(cache.getStats().totalWeight, 4u);
  std::vector<std::pair<std::string, std::string>> items;
  cache.getAllItems(items);
  EXPECT_EQ(items, (std::vector<std::pair<std::string, std::string>>{{"b", "bv"}, {"c", "cv"}}));
  EXPECT_TRUE(cache.contains("b"));
  cache.clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.getStats().totalWeight, 0u);
  EXPECT_FALSE(cache.contains("b"));
}

TEST(LruCacheTest, SetSizeShrinksByEvicting) {
  StrCache cache;
  cache.setSize(5);
  for (const char* k : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(cache.insert(k, k, true, 1).ok());
  cache.setSize(2);
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"d", "e"}));
  EXPECT_FALSE(cache.insert("f", "f", true, 3).ok());
}

TEST(LruCacheTest, ClearStatsKeepsEntries) {
  StrCache cache(5);
  ASSERT_TRUE(cache.insert("a", "1", true, 2).ok());
  std::string value;
  EXPECT_TRUE(cache.read("a", value, true));
  EXPECT_FALSE(cache.read("b", value, true));
  EXPECT_FALSE(cache.insert("c", "3", true, 6).ok());
  cache.clearStats();
  LruCacheStats st = cache.getStats();
  EXPECT_EQ(st.inserts + st.updates + st.hits + st.misses + st.overflows + st.evictions, 0u);
  EXPECT_EQ(st.totalWeight, 2u);
  EXPECT_EQ(st.numEntries, 1u);
}

TEST(LruCacheTest, ComparatorGivenAtConstructionOrdersKeys) {
  StrCache cache(10, IsLessCaseInsensitive());
  ASSERT_TRUE(cache.insert("README", "g1", true, 1).ok());
  std::string value;
  ASSERT_TRUE(cache.read("readme", value, true));
  EXPECT_EQ(value, "g1");
  ASSERT_TRUE(cache.insert("Readme", "g2", true, 1).ok());  // the same key: an update
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.getStats().updates, 1u);

  StrCache exact(10);
  ASSERT_TRUE(exact.insert("README", "g1", true, 1).ok());
  EXPECT_FALSE(exact.read("readme", value, true));
}

TEST(LruCacheTest, HoldingTheLockAcrossSteps) {
  StrCache cache(3);
  ASSERT_TRUE(cache.insert("a", "1", true, 1).ok());
  ASSERT_TRUE(cache.insert("b", "2", true, 1).ok());
  {
    StrCache::LockGuard guard(cache);
    std::string* value = cache.getVal("a");
    ASSERT_NE(value, nullptr);
    *value += "x";  // read-modify-write in place
    EXPECT_EQ(cache.getVal("zz"), nullptr);
    EXPECT_NE(cache.findNoLock("a", true), nullptr);  // a becomes most recent
    EXPECT_EQ(cache.findNoLock("zz", true), nullptr);
    std::string copy;
    EXPECT_TRUE(cache.readNoLock("b", copy, false));
    EXPECT_EQ(copy, "2");
    EXPECT_TRUE(cache.insertNoLock("c", "3", true, 1).ok());
    EXPECT_TRUE(cache.insertNoLock("d", "4", true, 1).ok());  // evicts b
    EXPECT_TRUE(cache.eraseNoLock("c"));
  }
  std::string value;
  ASSERT_TRUE(cache.read("a", value, false));
  EXPECT_EQ(value, "1x");
  EXPECT_EQ(keysOf(cache), (std::vector<std::string>{"a", "d"}));
  LruCacheStats st = cache.getStats();
  EXPECT_EQ(st.hits, 3u);  // findNoLock, readNoLock, read; getVal counts nothing
  EXPECT_EQ(st.misses, 1u);

  cache.lock();
  EXPECT_NE(cache.getVal("d"), nullptr);
  cache.unlock();
}

TEST(LruCacheTest, MovedCacheKeepsEntriesAndOrder) {
  StrCache source(4);
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(source.insert(k, k, true, 1).ok());
  StrCache moved(std::move(source));
  EXPECT_EQ(keysOf(moved), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_TRUE(moved.insert("d", "d", true, 1).ok());
  ASSERT_TRUE(moved.insert("e", "e", true, 1).ok());  // evicts a through the moved list
  EXPECT_EQ(keysOf(moved), (std::vector<std::string>{"b", "c", "d", "e"}));
  EXPECT_EQ(source.size(), 0u);
}

TEST(LruCacheTest, MoveAssignedCacheReplacesEntriesAndKeepsEvictionOrder) {
  StrCache source(3);
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(source.insert(k, k, true, 1).ok());
  StrCache target(10);
  ASSERT_TRUE(target.insert("old", "old", true, 1).ok());
  target = std::move(source);
  EXPECT_EQ(keysOf(target), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_TRUE(target.insert("d", "d", true, 1).ok());  // capacity 3 came along
  EXPECT_EQ(keysOf(target), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(source.size(), 0u);
}

TEST(LruCacheTest, CacheOfCachesReplacesAValueOfEqualWeightInPlace) {
  // The dirent cache holds a children cache per directory; re-inserting a
  // directory with the same weight assigns the new children over the old.
  LruCache<std::string, StrCache> outer(10);
  StrCache first(5);
  ASSERT_TRUE(first.insert("x", "1", true, 1).ok());
  ASSERT_TRUE(outer.insert("dir", std::move(first), true, 2).ok());
  StrCache second(5);
  ASSERT_TRUE(second.insert("y", "2", true, 1).ok());
  ASSERT_TRUE(outer.insert("dir", std::move(second), true, 2).ok());
  outer.lock();
  StrCache* children = outer.getVal("dir");
  ASSERT_NE(children, nullptr);
  EXPECT_EQ(keysOf(*children), (std::vector<std::string>{"y"}));
  outer.unlock();
  EXPECT_EQ(outer.getStats().updates, 1u);
}

// Pages of getItems, read in any order and with changes between them, are
// always the matching slice of getAllItems at that moment.
TEST(LruCacheTest, GetItemsPagesMatchSlicesOfTheWholeListThroughChanges) {
  StrCache cache(1000);
  for (int i = 0; i < 50; ++i)
    ASSERT_TRUE(cache.insert("k" + std::to_string(100 + i), std::to_string(i), true, 1).ok());
  auto expectPage = [&](size_t offset, size_t max) {
    std::vector<std::pair<std::string, std::string>> all;
    cache.getAllItems(all);
    std::vector<std::pair<std::string, std::string>> page;
    EXPECT_EQ(cache.getItems(offset, max, page), all.size());
    const size_t start = std::min(offset, all.size());
    const size_t end = start + std::min(max, all.size() - start);
    const std::vector<std::pair<std::string, std::string>> slice(all.begin() + start,
                                                                 all.begin() + end);
    EXPECT_EQ(page, slice) << "offset " << offset << " max " << max;
  };
  // Sequential pages (the walk resumes where the last page ended).
  for (size_t offset = 0; offset <= 50; offset += 7) expectPage(offset, 7);
  // Backwards, near the back, past the end, and empty pages.
  expectPage(43, 7);
  expectPage(3, 4);
  expectPage(48, 10);
  expectPage(50, 5);
  expectPage(70, 5);
  expectPage(10, 0);
  // Changes between pages: a removal before the resume point, an insert at
  // the back, a lookup that moves an entry to the back, a replacement.
  expectPage(0, 10);
  ASSERT_TRUE(cache.erase("k103"));
  expectPage(10, 10);
  ASSERT_TRUE(cache.insert("k999", "new", true, 1).ok());
  expectPage(20, 10);
  std::string value;
  ASSERT_TRUE(cache.read("k131", value, true));
  expectPage(30, 10);
  ASSERT_TRUE(cache.insert("k140", "other", true, 2).ok());
  expectPage(40, 15);
  cache.clear();
  expectPage(0, 10);
}

TEST(LruCacheTest, ConcurrentInsertReadAndUpdateUnderLock) {
  constexpr int kThreads = 8;
  constexpr int kOps = 3000;
  StrCache cache(64);
  LruCache<std::string, uint64_t> counters(UINT64_MAX);
  ASSERT_TRUE(counters.insert("total", 0, true, 1).ok());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kOps; ++i) {
        const std::string key = "k" + std::to_string((i * 7 + t) % 100);
        if (!cache.insert(key, key + "v", i % 2 == 0, 1 + i % 3).ok()) ++failures;
        std::string value;
        if (cache.read(key, value, true) && value != key + "v") ++failures;
        if (i % 5 == 0) cache.erase("k" + std::to_string(i % 100));
        LruCache<std::string, uint64_t>::LockGuard guard(counters);
        uint64_t* total = counters.getVal("total");
        if (total == nullptr) {
          ++failures;
        } else {
          ++*total;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  uint64_t total = 0;
  ASSERT_TRUE(counters.read("total", total, false));
  EXPECT_EQ(total, static_cast<uint64_t>(kThreads) * kOps);
  LruCacheStats st = cache.getStats();
  EXPECT_LE(st.totalWeight, 64u);
  std::vector<std::pair<std::string, std::string>> items;
  cache.getAllItems(items);
  EXPECT_EQ(items.size(), st.numEntries);
  for (const auto& [k, v] : items) EXPECT_EQ(v, k + "v");
  EXPECT_EQ(st.hits + st.misses, static_cast<uint64_t>(kThreads) * kOps);
}

}  // namespace
}  // namespace ObjectStore
