#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/GuidCache.h"
#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

using test::LogCapture;
using test::readFile;
using test::writeFile;

// Every element of a cache built with data width 64 is charged 64 + 44 bytes.
constexpr int kPathWidth = 64;
constexpr int kElement = kPathWidth + static_cast<int>(GUID_CHAR_SIZE);

class GuidCacheTest : public test::TestEnv {
 protected:
  std::string file() const { return path("guid_cache"); }

  void init(GuidCache<std::string>& cache, int maxBytes = 1 << 20, bool flag1 = false,
            bool caseInsensitive = false) {
    CZnError err = cache.initialize(maxBytes, kPathWidth, file(), flag1, caseInsensitive);
    ASSERT_TRUE(err.ok()) << err.chain();
  }

  static std::string dataOf(GuidCache<std::string>& cache, const std::string& guid) {
    std::string data;
    return cache.findData(guid, data).ok() ? data : "<none>";
  }
  static std::string guidOf(GuidCache<std::string>& cache, const std::string& data) {
    guid_t guid;
    return cache.findGuid(guid, data).ok() ? guid : "<none>";
  }
};

TEST_F(GuidCacheTest, EveryOperationBeforeInitializeFails) {
  LogCapture capture;
  GuidCache<std::string> cache("guid");
  guid_t guid;
  std::string data;
  GuidCacheStats stats;
  std::vector<CZnError> results;
  results.push_back(cache.insert("g", "/a", false));
  results.push_back(cache.insert("g", "/a", true));
  results.push_back(cache.findGuid(guid, "/a"));
  results.push_back(cache.findData("g", data));
  results.push_back(cache.deleteGuid("g"));
  results.push_back(cache.renamePaths("/a", "/b"));
  results.push_back(cache.getStats(stats));
  results.push_back(cache.dumpCache());
  results.push_back(cache.dumpPersistentCache());
  for (const CZnError& err : results) {
    EXPECT_EQ(FXErrorUtil::GetErrNo(err), EINVAL);
    EXPECT_NE(err.chain().find("Not initialized"), std::string::npos) << err.chain();
  }
  EXPECT_EQ(capture.count("Error: Not initialized", -1), results.size()) << capture.dump();
}

TEST_F(GuidCacheTest, UnusableBudgetCantCreateTheCache) {
  LogCapture capture;
  GuidCache<std::string> cache("guid");
  CZnError err = cache.initialize(0, kPathWidth, file(), false, false);
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), EINVAL);
  EXPECT_EQ(capture.count("Error: Can't create guid cache", -1), 1u);
  EXPECT_EQ(FXErrorUtil::GetErrNo(cache.initialize(-5, kPathWidth, file(), false, false)), EINVAL);
  // Still uninitialised: a later good call works.
  init(cache);
  EXPECT_EQ(FXErrorUtil::GetErrNo(cache.initialize(100000, kPathWidth, file(), false, false)),
            EINVAL);  // but only once
}

TEST_F(GuidCacheTest, InsertAndFindBothWays) {
  GuidCache<std::string> cache("guid");
  init(cache);
  LogCapture capture;
  ASSERT_TRUE(cache.insert("g1", "/a/x", false).ok());
  ASSERT_TRUE(cache.insert("g2", "/a/y", false).ok());
  EXPECT_EQ(capture.count("guid cache: inserted g1 -> /a/x", 5), 1u) << capture.dump();
  EXPECT_EQ(dataOf(cache, "g1"), "/a/x");
  EXPECT_EQ(guidOf(cache, "/a/y"), "g2");
  // An update by GUID replaces the data.
  ASSERT_TRUE(cache.insert("g1", "/a/z", false).ok());
  EXPECT_EQ(dataOf(cache, "g1"), "/a/z");
  EXPECT_EQ(guidOf(cache, "/a/x"), "<none>");
  GuidCacheStats st;
  ASSERT_TRUE(cache.getStats(st).ok());
  EXPECT_EQ(st.inserts, 3u);
  EXPECT_EQ(st.bytes, 5u * 3);
  EXPECT_EQ(st.maxBytes, 1u << 20);
  EXPECT_EQ(st.cache.numItems, 2u);
  EXPECT_EQ(st.cache.bytes, 2u * kElement);
  EXPECT_EQ(st.persistentItems, 0u);
  // Non-persistent inserts never touch the file.
  EXPECT_EQ(readFile(file()), "");
}

TEST_F(GuidCacheTest, MissesFailWithEnoent) {
  GuidCache<std::string> cache("guid");
  init(cache);
  LogCapture capture;
  guid_t guid = "unchanged";
  CZnError err = cache.findGuid(guid, "/nowhere");
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), ENOENT);
  EXPECT_EQ(guid, "unchanged");
  EXPECT_EQ(capture.count("Guid not found in cache.", 3), 1u);
  capture.clear();
  std::string data;
  EXPECT_EQ(FXErrorUtil::GetErrNo(cache.findData("g404", data)), ENOENT);
  EXPECT_TRUE(capture.records().empty()) << capture.dump();
}

TEST_F(GuidCacheTest, BoundedPartEvictsWithinItsBudget) {
  GuidCache<std::string> fifo("guid");
  init(fifo, 3 * kElement, /*flag1=*/false);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(fifo.insert("g" + std::to_string(i), "/p" + std::to_string(i), false).ok());
  EXPECT_EQ(dataOf(fifo, "g0"), "/p0");  // no effect on the order with flag1 false
  ASSERT_TRUE(fifo.insert("g3", "/p3", false).ok());
  EXPECT_EQ(dataOf(fifo, "g0"), "<none>");
  EXPECT_EQ(dataOf(fifo, "g1"), "/p1");
  GuidCacheStats st;
  ASSERT_TRUE(fifo.getStats(st).ok());
  EXPECT_EQ(st.cache.numItems, 3u);
  EXPECT_LE(st.cache.bytes, 3u * kElement);

  GuidCache<std::string> lru("version");
  CZnError err = lru.initialize(3 * (44 + 44), 44, path("version_cache"), true, true);
  ASSERT_TRUE(err.ok());
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(lru.insert("g" + std::to_string(i), "v" + std::to_string(i), false).ok());
  std::string data;
  ASSERT_TRUE(lru.findData("g0", data).ok());  // g1 becomes the least recently used
  ASSERT_TRUE(lru.insert("g3", "v3", false).ok());
  EXPECT_TRUE(lru.findData("g0", data).ok());
  EXPECT_FALSE(lru.findData("g1", data).ok());
}

TEST_F(GuidCacheTest, FindGuidOfPathOnlyInPersistentSet) {
  GuidCache<std::string> cache("guid");
  init(cache);
  ASSERT_TRUE(cache.insert("g1", "/local/file", true).ok());
  GuidCacheStats st;
  ASSERT_TRUE(cache.getStats(st).ok());
  EXPECT_EQ(st.cache.numItems, 0u);  // only the persistent set has it
  EXPECT_EQ(st.persistentItems, 1u);
  EXPECT_EQ(guidOf(cache, "/local/file"), "g1");
  EXPECT_EQ(dataOf(cache, "g1"), "/local/file");
  EXPECT_EQ(readFile(file()), "g1,/local/file\n");
}

TEST_F(GuidCacheTest, PersistentPairsReloadAfterReopen) {
  {
    GuidCache<std::string> cache("guid");
    init(cache);
    ASSERT_TRUE(cache.insert("g1", "/one", true).ok());
    ASSERT_TRUE(cache.insert("g2", "/two", true).ok());
    ASSERT_TRUE(cache.insert("g3", "/cached-only", false).ok());
  }
  GuidCache<std::string> cache("guid");
  init(cache);
  EXPECT_EQ(guidOf(cache, "/one"), "g1");
  EXPECT_EQ(dataOf(cache, "g2"), "/two");
  EXPECT_EQ(dataOf(cache, "g3"), "<none>");
}

TEST_F(GuidCacheTest, FirstLineWinsForGuidAndValue) {
  writeFile(file(), "g1,/a\ng1,/b\ng2,/a\ng3,/c\n");
  GuidCache<std::string> cache("guid");
  init(cache);
  EXPECT_EQ(dataOf(cache, "g1"), "/a");
  EXPECT_EQ(guidOf(cache, "/a"), "g1");
  EXPECT_EQ(guidOf(cache, "/b"), "<none>");
  EXPECT_EQ(dataOf(cache, "g2"), "<none>");
  EXPECT_EQ(dataOf(cache, "g3"), "/c");
}

TEST_F(GuidCacheTest, BadLineStopsLoadingWithEio) {
  writeFile(file(), "g1,/a\nno-comma-here\ng2,/b\n");
  LogCapture capture;
  GuidCache<std::string> cache("guid");
  CZnError err = cache.initialize(1 << 20, kPathWidth, file(), false, false);
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), EIO);
  EXPECT_EQ(capture.count("Error: Can't parse [no-comma-here]", -1), 1u) << capture.dump();
  EXPECT_EQ(capture.count("inserting [g1]->[/a]", 5), 1u);
  EXPECT_NE(err.chain().find("Error: Can't load persistent cache from [" + file() + "]"),
            std::string::npos);
  std::string data;
  EXPECT_EQ(FXErrorUtil::GetErrNo(cache.findData("g1", data)), EINVAL);  // not initialised
}

TEST_F(GuidCacheTest, PersistentInsertRejectsUnstorableText) {
  GuidCache<std::string> cache("guid");
  init(cache);
  EXPECT_EQ(FXErrorUtil::GetErrNo(cache.insert("g1", "/a,b", true)), EINVAL);
  EXPECT_EQ(FXErrorUtil::GetErrNo(cache.insert("g1", "/a\nb", true)), EINVAL);
  EXPECT_EQ(FXErrorUtil::GetErrNo(cache.insert("g,1", "/a", true)), EINVAL);
  EXPECT_EQ(FXErrorUtil::GetErrNo(cache.insert("g1", "", true)), EINVAL);
  EXPECT_EQ(readFile(file()), "");
  // The bounded part takes any text.
  EXPECT_TRUE(cache.insert("g1", "/a,b", false).ok());
}

TEST_F(GuidCacheTest, PersistentReplacementRewritesTheFile) {
  GuidCache<std::string> cache("guid");
  init(cache);
  ASSERT_TRUE(cache.insert("g1", "/a", true).ok());
  ASSERT_TRUE(cache.insert("g2", "/b", true).ok());
  ASSERT_TRUE(cache.insert("g1", "/c", true).ok());  // new data for g1
  ASSERT_TRUE(cache.insert("g3", "/b", true).ok());  // g2's data taken over
  EXPECT_EQ(readFile(file()), "g1,/c\ng3,/b\n");
  GuidCache<std::string> reopened("guid");
  ASSERT_TRUE(reopened.initialize(1 << 20, kPathWidth, file(), false, false).ok());
  EXPECT_EQ(dataOf(reopened, "g1"), "/c");
  EXPECT_EQ(guidOf(reopened, "/b"), "g3");
  EXPECT_EQ(dataOf(reopened, "g2"), "<none>");
}

TEST_F(GuidCacheTest, DeleteGuidForgetsBothPartsForGood) {
  GuidCache<std::string> cache("guid");
  init(cache);
  ASSERT_TRUE(cache.insert("g1", "/local", true).ok());
  ASSERT_TRUE(cache.insert("g1", "/local", false).ok());  // in both parts now
  ASSERT_TRUE(cache.insert("g2", "/kept", true).ok());
  ASSERT_TRUE(cache.deleteGuid("g1").ok());
  EXPECT_EQ(dataOf(cache, "g1"), "<none>");
  EXPECT_EQ(guidOf(cache, "/local"), "<none>");
  ASSERT_TRUE(cache.deleteGuid("never-there").ok());
  EXPECT_EQ(readFile(file()), "g2,/kept\n");
  GuidCache<std::string> reopened("guid");
  ASSERT_TRUE(reopened.initialize(1 << 20, kPathWidth, file(), false, false).ok());
  EXPECT_EQ(dataOf(reopened, "g1"), "<none>");
  EXPECT_EQ(dataOf(reopened, "g2"), "/kept");
}

// A lookup that read the index before a rename or delete must not put the
// old answer back once the change has reached the cache.
TEST_F(GuidCacheTest, FillIsDroppedWhenTheCacheChangedSinceTheLookupBegan) {
  GuidCache<std::string> cache("guid");
  init(cache);
  uint64_t since = cache.changeCount();
  ASSERT_TRUE(cache.insert("g1", "/b", false).ok());  // a rename lands meanwhile
  ASSERT_TRUE(cache.fill("g1", "/a", since).ok());    // the lookup's stale answer
  EXPECT_EQ(dataOf(cache, "g1"), "/b");
  EXPECT_EQ(guidOf(cache, "/a"), "<none>");

  since = cache.changeCount();
  ASSERT_TRUE(cache.deleteGuid("g1").ok());
  ASSERT_TRUE(cache.fill("g1", "/b", since).ok());
  EXPECT_EQ(dataOf(cache, "g1"), "<none>");

  since = cache.changeCount();
  ASSERT_TRUE(cache.insert("gd", "/d", false).ok());
  ASSERT_TRUE(cache.renamePaths("/d", "/e").ok());
  ASSERT_TRUE(cache.fill("gx", "/d/x", since).ok());
  EXPECT_EQ(guidOf(cache, "/d/x"), "<none>");
}

TEST_F(GuidCacheTest, FillsCacheWhenNothingChangedAndDoNotCountAsChanges) {
  GuidCache<std::string> cache("guid");
  init(cache);
  const uint64_t since = cache.changeCount();
  ASSERT_TRUE(cache.fill("g1", "/one", since).ok());
  ASSERT_TRUE(cache.fill("g2", "/two", since).ok());  // a second lookup, same start
  EXPECT_EQ(cache.changeCount(), since);
  EXPECT_EQ(dataOf(cache, "g1"), "/one");
  EXPECT_EQ(guidOf(cache, "/two"), "g2");
  // A fill is never persistent: a reopened cache does not know it.
  GuidCache<std::string> reopened("guid");
  ASSERT_TRUE(reopened.initialize(1 << 20, kPathWidth, file(), false, false).ok());
  EXPECT_EQ(dataOf(reopened, "g1"), "<none>");
}

TEST_F(GuidCacheTest, RenamePathsMovesChildrenOfTheDirectoryOnly) {
  GuidCache<std::string> cache("guid");
  init(cache);
  ASSERT_TRUE(cache.insert("ga", "/a", false).ok());
  ASSERT_TRUE(cache.insert("gx", "/a/x", false).ok());
  ASSERT_TRUE(cache.insert("gdeep", "/a/s/t", false).ok());
  ASSERT_TRUE(cache.insert("gab", "/ab/x", false).ok());
  ASSERT_TRUE(cache.insert("gp", "/a/p", true).ok());     // persistent child
  ASSERT_TRUE(cache.insert("gpab", "/ab/p", true).ok());  // persistent sibling's child
  ASSERT_TRUE(cache.renamePaths("/a", "/b").ok());
  EXPECT_EQ(dataOf(cache, "gx"), "/b/x");
  EXPECT_EQ(dataOf(cache, "gdeep"), "/b/s/t");
  EXPECT_EQ(guidOf(cache, "/b/x"), "gx");
  EXPECT_EQ(guidOf(cache, "/a/x"), "<none>");
  EXPECT_EQ(dataOf(cache, "gab"), "/ab/x");
  EXPECT_EQ(dataOf(cache, "ga"), "/a");  // the directory itself is the caller's to update
  EXPECT_EQ(dataOf(cache, "gp"), "/b/p");
  EXPECT_EQ(dataOf(cache, "gpab"), "/ab/p");
  GuidCacheStats st;
  ASSERT_TRUE(cache.getStats(st).ok());
  EXPECT_EQ(st.cache.renames, 2u);
  // The persistent renames are on disk too.
  GuidCache<std::string> reopened("guid");
  ASSERT_TRUE(reopened.initialize(1 << 20, kPathWidth, file(), false, false).ok());
  EXPECT_EQ(guidOf(reopened, "/b/p"), "gp");
  EXPECT_EQ(guidOf(reopened, "/ab/p"), "gpab");
}

TEST_F(GuidCacheTest, RenamePathsNormalisesPrefixes) {
  GuidCache<std::string> cache("guid");
  init(cache);
  ASSERT_TRUE(cache.insert("g1", "/a/x", false).ok());
  ASSERT_TRUE(cache.renamePaths("/a/", "/b").ok());  // trailing '/' given on one side only
  EXPECT_EQ(dataOf(cache, "g1"), "/b/x");
  ASSERT_TRUE(cache.renamePaths("", "/top").ok());  // "" is the root: every path moves
  EXPECT_EQ(dataOf(cache, "g1"), "/top/b/x");
}

TEST_F(GuidCacheTest, RenamePathsCaseInsensitive) {
  GuidCache<std::string> folding("guid");
  init(folding, 1 << 20, false, /*caseInsensitive=*/true);
  ASSERT_TRUE(folding.insert("g1", "/Dir/File", false).ok());
  ASSERT_TRUE(folding.insert("g2", "/DIR/p", true).ok());
  ASSERT_TRUE(folding.insert("g3", "/Dirx/y", false).ok());
  ASSERT_TRUE(folding.renamePaths("/dir", "/New").ok());
  EXPECT_EQ(dataOf(folding, "g1"), "/New/File");
  EXPECT_EQ(dataOf(folding, "g2"), "/New/p");
  EXPECT_EQ(dataOf(folding, "g3"), "/Dirx/y");
  EXPECT_EQ(guidOf(folding, "/new/FILE"), "g1");
  EXPECT_EQ(guidOf(folding, "/NEW/P"), "g2");  // the persistent set folds case too

  GuidCache<std::string> exact("guid");
  ASSERT_TRUE(exact.initialize(1 << 20, kPathWidth, path("exact_cache"), false, false).ok());
  ASSERT_TRUE(exact.insert("g1", "/Dir/File", false).ok());
  ASSERT_TRUE(exact.renamePaths("/dir", "/New").ok());
  EXPECT_EQ(dataOf(exact, "g1"), "/Dir/File");
  EXPECT_EQ(guidOf(exact, "/dir/file"), "<none>");
}

TEST_F(GuidCacheTest, DumpsLogEveryElement) {
  GuidCache<std::string> cache("version");
  init(cache);
  ASSERT_TRUE(cache.insert("g1", "v1", false).ok());
  ASSERT_TRUE(cache.insert("g2", "v2", true).ok());
  LogCapture capture;
  ASSERT_TRUE(cache.dumpCache().ok());
  ASSERT_TRUE(cache.dumpPersistentCache().ok());
  EXPECT_EQ(capture.count("---Dumping version cache:", 3), 1u) << capture.dump();
  EXPECT_EQ(capture.count("[g1] -> [v1]", 4), 1u);
  EXPECT_EQ(capture.count("---Dumping version persistent cache:", 3), 1u);
  EXPECT_EQ(capture.count("[g2] -> [v2]", 4), 1u);
  EXPECT_EQ(cache.name(), "version");
}

TEST_F(GuidCacheTest, ConcurrentInsertsAndLookups) {
  constexpr int kThreads = 6;
  constexpr int kPerThread = 400;
  GuidCache<std::string> cache("guid");
  init(cache);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string guid = "g" + std::to_string(t) + "_" + std::to_string(i);
        const std::string data = "/t" + std::to_string(t) + "/f" + std::to_string(i);
        if (!cache.insert(guid, data, i % 50 == 0).ok()) ++failures;
        guid_t found;
        if (!cache.findGuid(found, data).ok() || found != guid) ++failures;
        std::string back;
        if (!cache.findData(guid, back).ok() || back != data) ++failures;
        if (i % 7 == 0 && !cache.deleteGuid(guid).ok()) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  GuidCacheStats st;
  ASSERT_TRUE(cache.getStats(st).ok());
  // Every 50th insert is persistent; of those, the ones at multiples of 7 (i = 0, 350) were
  // deleted again.
  EXPECT_EQ(st.inserts, static_cast<uint64_t>(kThreads) * (kPerThread - kPerThread / 50));
  EXPECT_EQ(st.persistentItems, static_cast<uint64_t>(kThreads) * (kPerThread / 50 - 2));
}

}  // namespace
}  // namespace ObjectStore
