#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/utils/generic_cache.h"

namespace ObjectStore {
namespace {

using Pair = std::pair<std::string, std::string>;

// Builds caches and records what the clean-up callback saw.
class GenericCacheTest : public ::testing::Test {
 protected:
  std::unique_ptr<generic_cache> make(uint64_t maxBytes, uint64_t elementSize, bool lru,
                                      bool caseInsensitive = false) {
    generic_cache_options options;
    options.maxBytes = maxBytes;
    options.elementSize = elementSize;
    options.refreshOnLookup = lru;
    options.key2CaseInsensitive = caseInsensitive;
    options.cleanup = [this](const std::string& k1, const std::string& k2) {
      released_.emplace_back(k1, k2);
    };
    auto cache = generic_cache::create(options);
    EXPECT_NE(cache, nullptr);
    return cache;
  }

  static std::vector<Pair> contents(const generic_cache& cache) {
    std::vector<Pair> out;
    cache.dump([&](const std::string& k1, const std::string& k2) { out.emplace_back(k1, k2); });
    return out;
  }

  // A rename callback that moves every key 2 below `from` to below `to`.
  static generic_cache::RenameCallback prefixRename(const std::string& from, const std::string& to,
                                                    bool caseInsensitive) {
    return [=](const std::string& key2, std::string& newKey2) {
      if (key2.size() < from.size()) return generic_cache::RENAME_UNTOUCHED;
      bool match = true;
      for (size_t i = 0; i < from.size() && match; ++i) {
        char a = key2[i], b = from[i];
        if (caseInsensitive) {
          if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
          if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        }
        match = a == b;
      }
      if (!match) return generic_cache::RENAME_UNTOUCHED;
      newKey2 = to + key2.substr(from.size());
      return 0;
    };
  }

  std::vector<Pair> released_;
};

TEST_F(GenericCacheTest, CreateRejectsZeroBudget) {
  generic_cache_options options;
  options.maxBytes = 0;
  EXPECT_EQ(generic_cache::create(options), nullptr);
}

TEST_F(GenericCacheTest, ChargeIsElementSizeOrKeysWithTerminators) {
  auto cache = make(1000, 20, false);
  EXPECT_EQ(cache->chargeOf("a", "b"), 20u);
  EXPECT_EQ(cache->chargeOf(std::string(10, 'g'), std::string(9, 'p')), 21u);
  ASSERT_EQ(cache->insertOrUpdate("k", "v"), 0);
  ASSERT_EQ(cache->insertOrUpdate(std::string(10, 'g'), std::string(20, 'p')), 0);
  EXPECT_EQ(cache->stats().bytes, 20u + 32u);
  EXPECT_EQ(cache->stats().numItems, 2u);
}

TEST_F(GenericCacheTest, FifoEvictsOldestInsertedAndIgnoresLookups) {
  auto cache = make(30, 10, /*lru=*/false);  // room for exactly three elements
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/b"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g3", "/c"), 0);
  // Lookups must not save g1 in this mode.
  EXPECT_TRUE(cache->findByKey1("g1", nullptr));
  EXPECT_TRUE(cache->findByKey2("/a", nullptr));
  ASSERT_EQ(cache->insertOrUpdate("g4", "/d"), 0);
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g2", "/b"}, {"g3", "/c"}, {"g4", "/d"}}));
  EXPECT_FALSE(cache->findByKey1("g1", nullptr));
  EXPECT_EQ(released_, (std::vector<Pair>{{"g1", "/a"}}));
  generic_cache_stats st = cache->stats();
  EXPECT_EQ(st.evictions, 1u);
  EXPECT_EQ(st.numItems, 3u);
  EXPECT_EQ(st.bytes, 30u);
  EXPECT_EQ(st.inserts, 4u);
}

TEST_F(GenericCacheTest, LruEvictsLeastRecentlyUsed) {
  auto cache = make(30, 10, /*lru=*/true);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/b"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g3", "/c"), 0);
  EXPECT_TRUE(cache->findByKey1("g1", nullptr));  // order now g2 g3 g1
  EXPECT_TRUE(cache->findByKey2("/b", nullptr));  // order now g3 g1 g2
  ASSERT_EQ(cache->insertOrUpdate("g4", "/d"), 0);
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g1", "/a"}, {"g2", "/b"}, {"g4", "/d"}}));
  EXPECT_EQ(released_, (std::vector<Pair>{{"g3", "/c"}}));
  // A failed lookup changes nothing.
  EXPECT_FALSE(cache->findByKey1("g3", nullptr));
  ASSERT_EQ(cache->insertOrUpdate("g5", "/e"), 0);
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g2", "/b"}, {"g4", "/d"}, {"g5", "/e"}}));
}

TEST_F(GenericCacheTest, LargeElementEvictsSeveral) {
  auto cache = make(40, 10, false);
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(cache->insertOrUpdate("g" + std::to_string(i), "/" + std::to_string(i)), 0);
  // Charged 22 bytes: three of the four 10-byte elements must go.
  ASSERT_EQ(cache->insertOrUpdate("big", std::string(17, 'x')), 0);
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g3", "/3"}, {"big", std::string(17, 'x')}}));
  EXPECT_EQ(cache->stats().bytes, 32u);
  EXPECT_EQ(cache->stats().evictions, 3u);
}

TEST_F(GenericCacheTest, ElementLargerThanBudgetFailsAndDropsStaleMapping) {
  auto cache = make(20, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/b"), 0);
  EXPECT_EQ(cache->insertOrUpdate("g3", std::string(30, 'x')), ENOSPC);
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g1", "/a"}, {"g2", "/b"}}));
  // An update of g1 that can't fit must not leave g1 -> /a behind.
  EXPECT_EQ(cache->insertOrUpdate("g1", std::string(30, 'x')), ENOSPC);
  EXPECT_FALSE(cache->findByKey1("g1", nullptr));
  EXPECT_FALSE(cache->findByKey2("/a", nullptr));
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g2", "/b"}}));
  EXPECT_EQ(cache->stats().bytes, 10u);
  EXPECT_EQ(released_, (std::vector<Pair>{{"g1", "/a"}}));
}

TEST_F(GenericCacheTest, LookupsByBothKeysCountHitsAndMisses) {
  auto cache = make(1000, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a/x"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/a/y"), 0);
  std::string out;
  ASSERT_TRUE(cache->findByKey1("g2", &out));
  EXPECT_EQ(out, "/a/y");
  ASSERT_TRUE(cache->findByKey2("/a/x", &out));
  EXPECT_EQ(out, "g1");
  EXPECT_FALSE(cache->findByKey1("/a/x", &out));  // keys are not interchangeable
  EXPECT_FALSE(cache->findByKey2("g1", &out));
  EXPECT_FALSE(cache->findByKey2("/A/X", &out));  // case-sensitive cache
  generic_cache_stats st = cache->stats();
  EXPECT_EQ(st.hits, 2u);
  EXPECT_EQ(st.misses, 3u);
  EXPECT_GT(st.buckets, 0u);
}

TEST_F(GenericCacheTest, CaseInsensitiveKey2) {
  auto cache = make(1000, 10, false, /*caseInsensitive=*/true);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/Docs/Readme"), 0);
  std::string out;
  ASSERT_TRUE(cache->findByKey2("/docs/README", &out));
  EXPECT_EQ(out, "g1");
  // Key 1 stays case-sensitive.
  EXPECT_FALSE(cache->findByKey1("G1", &out));
  // Only ASCII letters fold: other bytes must match exactly.
  ASSERT_EQ(cache->insertOrUpdate("g2", "/caf\xc3\xa9"), 0);
  EXPECT_FALSE(cache->findByKey2("/CAF\xc3\x89", &out));
  EXPECT_TRUE(cache->findByKey2("/CAF\xc3\xa9", &out));
  // A key 2 differing only in case is the same key: it collides.
  ASSERT_EQ(cache->insertOrUpdate("g3", "/DOCS/readme"), 0);
  EXPECT_FALSE(cache->findByKey1("g1", &out));
  EXPECT_EQ(cache->stats().collisions, 1u);
}

TEST_F(GenericCacheTest, UpdateByKey1ReplacesKey2AndCountsAsNewInsertion) {
  auto cache = make(30, 10, /*lru=*/false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/b"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g3", "/c"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a2"), 0);  // update: g1 becomes youngest
  std::string out;
  EXPECT_FALSE(cache->findByKey2("/a", &out));
  ASSERT_TRUE(cache->findByKey1("g1", &out));
  EXPECT_EQ(out, "/a2");
  EXPECT_EQ(cache->stats().numItems, 3u);
  EXPECT_EQ(cache->stats().bytes, 30u);
  EXPECT_TRUE(released_.empty());  // an update releases nothing
  ASSERT_EQ(cache->insertOrUpdate("g4", "/d"), 0);
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g3", "/c"}, {"g1", "/a2"}, {"g4", "/d"}}));
}

TEST_F(GenericCacheTest, Key2CollisionReplacesOtherElement) {
  auto cache = make(1000, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/p"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/q"), 0);
  // Insert with a taken key 2.
  ASSERT_EQ(cache->insertOrUpdate("g3", "/p"), 0);
  std::string out;
  EXPECT_FALSE(cache->findByKey1("g1", &out));
  ASSERT_TRUE(cache->findByKey2("/p", &out));
  EXPECT_EQ(out, "g3");
  // Update whose new key 2 is taken.
  ASSERT_EQ(cache->insertOrUpdate("g2", "/p"), 0);
  EXPECT_FALSE(cache->findByKey1("g3", &out));
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g2", "/p"}}));
  EXPECT_EQ(cache->stats().collisions, 2u);
  EXPECT_EQ(cache->stats().bytes, 10u);
  EXPECT_EQ(released_, (std::vector<Pair>{{"g1", "/p"}, {"g3", "/p"}}));
  // Re-inserting the same pair is no collision.
  ASSERT_EQ(cache->insertOrUpdate("g2", "/p"), 0);
  EXPECT_EQ(cache->stats().collisions, 2u);
}

TEST_F(GenericCacheTest, EraseByKey1) {
  auto cache = make(1000, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/b"), 0);
  EXPECT_TRUE(cache->erase("g1"));
  EXPECT_FALSE(cache->erase("g1"));
  EXPECT_FALSE(cache->erase("/b"));
  EXPECT_FALSE(cache->findByKey2("/a", nullptr));
  EXPECT_TRUE(cache->findByKey2("/b", nullptr));
  generic_cache_stats st = cache->stats();
  EXPECT_EQ(st.deletes, 1u);
  EXPECT_EQ(st.numItems, 1u);
  EXPECT_EQ(st.bytes, 10u);
  EXPECT_EQ(released_, (std::vector<Pair>{{"g1", "/a"}}));
}

TEST_F(GenericCacheTest, PrefixRenameCaseSensitive) {
  auto cache = make(1000, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a/x"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/ab/x"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g3", "/A/y"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g4", "/a/sub/z"), 0);
  ASSERT_EQ(cache->rename(prefixRename("/a/", "/b/", false)), 0);
  EXPECT_EQ(
      contents(*cache),
      (std::vector<Pair>{{"g1", "/b/x"}, {"g2", "/ab/x"}, {"g3", "/A/y"}, {"g4", "/b/sub/z"}}));
  std::string out;
  ASSERT_TRUE(cache->findByKey2("/b/x", &out));
  EXPECT_EQ(out, "g1");
  EXPECT_FALSE(cache->findByKey2("/a/x", &out));
  EXPECT_EQ(cache->stats().renames, 2u);
  EXPECT_TRUE(released_.empty());
}

TEST_F(GenericCacheTest, PrefixRenameWithCaseFolding) {
  auto cache = make(1000, 10, false, /*caseInsensitive=*/true);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/Dir/x"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/DIR/Y"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g3", "/dirx/z"), 0);
  ASSERT_EQ(cache->rename(prefixRename("/dir/", "/New/", true)), 0);
  EXPECT_EQ(contents(*cache),
            (std::vector<Pair>{{"g1", "/New/x"}, {"g2", "/New/Y"}, {"g3", "/dirx/z"}}));
  std::string out;
  ASSERT_TRUE(cache->findByKey2("/new/y", &out));  // the key-2 index followed the rename
  EXPECT_EQ(out, "g2");
  EXPECT_FALSE(cache->findByKey2("/dir/x", &out));
  EXPECT_EQ(cache->stats().renames, 2u);
}

TEST_F(GenericCacheTest, RenameOntoTakenKeyDropsTheOtherElement) {
  auto cache = make(1000, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a/x"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/b/x"), 0);  // visited after g1, and dropped by it
  ASSERT_EQ(cache->insertOrUpdate("g3", "/a/y"), 0);
  ASSERT_EQ(cache->rename(prefixRename("/a/", "/b/", false)), 0);
  EXPECT_EQ(contents(*cache), (std::vector<Pair>{{"g1", "/b/x"}, {"g3", "/b/y"}}));
  EXPECT_EQ(cache->stats().collisions, 1u);
  EXPECT_EQ(cache->stats().bytes, 20u);
  EXPECT_EQ(released_, (std::vector<Pair>{{"g2", "/b/x"}}));
}

TEST_F(GenericCacheTest, RenameErrorStopsTheWalk) {
  auto cache = make(1000, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a/1"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/a/2"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g3", "/a/3"), 0);
  int calls = 0;
  int rc = cache->rename([&](const std::string& key2, std::string& newKey2) {
    ++calls;
    if (key2 == "/a/2") return ENOMEM;
    newKey2 = "/z" + key2;
    return 0;
  });
  EXPECT_EQ(rc, ENOMEM);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(contents(*cache),
            (std::vector<Pair>{{"g1", "/z/a/1"}, {"g2", "/a/2"}, {"g3", "/a/3"}}));
  EXPECT_EQ(cache->stats().renames, 1u);
}

TEST_F(GenericCacheTest, RenameThatGrowsKeysEvictsOldest) {
  auto cache = make(60, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a/1"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/a/2"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g3", "/a/3"), 0);
  // Each element grows to 2 + 26 + 2 = 30 bytes: only two fit in 60.
  ASSERT_EQ(cache->rename(prefixRename("/a/", std::string(24, 'n') + "/", false)), 0);
  generic_cache_stats st = cache->stats();
  EXPECT_EQ(st.numItems, 2u);
  EXPECT_EQ(st.bytes, 60u);
  EXPECT_EQ(st.evictions, 1u);
  EXPECT_FALSE(cache->findByKey1("g1", nullptr));
  ASSERT_EQ(released_.size(), 1u);
  EXPECT_EQ(released_[0].first, "g1");
}

TEST_F(GenericCacheTest, ClearAndDestructionReleaseEveryElement) {
  auto cache = make(1000, 10, false);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/b"), 0);
  cache->clear();
  EXPECT_EQ(released_, (std::vector<Pair>{{"g1", "/a"}, {"g2", "/b"}}));
  EXPECT_EQ(cache->stats().numItems, 0u);
  EXPECT_EQ(cache->stats().bytes, 0u);
  EXPECT_FALSE(cache->findByKey2("/a", nullptr));
  released_.clear();
  ASSERT_EQ(cache->insertOrUpdate("g3", "/c"), 0);
  cache.reset();
  EXPECT_EQ(released_, (std::vector<Pair>{{"g3", "/c"}}));
}

TEST_F(GenericCacheTest, StatsCountEveryOperation) {
  auto cache = make(1000, 10, true);
  ASSERT_EQ(cache->insertOrUpdate("g1", "/a/x"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/a/y"), 0);
  ASSERT_EQ(cache->insertOrUpdate("g2", "/a/x"), 0);  // update + collision with g1
  EXPECT_TRUE(cache->findByKey1("g2", nullptr));
  EXPECT_FALSE(cache->findByKey2("/a/y", nullptr));
  ASSERT_EQ(cache->insertOrUpdate("g3", "/a/z"), 0);
  ASSERT_EQ(cache->rename(prefixRename("/a/", "/c/", false)), 0);
  EXPECT_TRUE(cache->erase("g3"));
  generic_cache_stats st = cache->stats();
  EXPECT_EQ(st.inserts, 4u);
  EXPECT_EQ(st.collisions, 1u);
  EXPECT_EQ(st.hits, 1u);
  EXPECT_EQ(st.misses, 1u);
  EXPECT_EQ(st.renames, 2u);
  EXPECT_EQ(st.deletes, 1u);
  EXPECT_EQ(st.evictions, 0u);
  EXPECT_EQ(st.numItems, 1u);
  EXPECT_EQ(st.bytes, 10u);
}

}  // namespace
}  // namespace ObjectStore
