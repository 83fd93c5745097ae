// Concurrency: threads working on different sections of shared segments and
// on their own segments while the pruner runs, racing creations, readers
// racing delete-and-recreate, and a small open-file cache under load.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "DiskCacheTestUtil.h"

namespace ObjectStore::test {
namespace {

constexpr uint64_t MIB = 1024 * 1024;

class DiskCacheConcurrencyTest : public DiskCacheFixture {};

// One worker: owns section `number` of every shared segment and section 1 of
// its own segments, changes them at random and checks each against its model.
void worker(DiskCache& cache, DiskCacheContext& ctx, int id, int iterations,
            const std::vector<std::string>& shared, const std::atomic<bool>& prunedSeen,
            std::atomic<int>& failures) {
  std::mt19937 rng(static_cast<uint32_t>(id * 7919 + 1));
  std::map<std::string, Bytes> model;  // target segment -> my section's bytes
  std::vector<std::string> targets = shared;
  for (int k = 0; k < 3; ++k) {
    std::string name = "own" + std::to_string(id) + "_" + std::to_string(k);
    Bytes first = pattern(100, static_cast<uint32_t>(id * 100 + k));
    if (cache.createSegment(ctx, name, {writeOf(1, first)}, false, false, false).failed()) {
      ++failures;
      return;
    }
    model[name] = first;
    targets.push_back(name);
  }
  auto sectionOf = [&](const std::string& name) {
    return name.rfind("own", 0) == 0 ? 1 : id;
  };
  auto fail = [&](const std::string& what, const CZnError& err) {
    ADD_FAILURE() << "worker " << id << ": " << what << ": " << err.chain();
    ++failures;
  };
  // Keep going past `iterations` until the pruner has removed something, so
  // that the two really overlap.
  for (int it = 0; (it < iterations || (!prunedSeen.load() && it < 50 * iterations)) &&
                   failures.load() == 0;
       ++it) {
    const std::string& name = targets[rng() % targets.size()];
    int32_t number = sectionOf(name);
    Bytes& mine = model[name];
    uint32_t seed = static_cast<uint32_t>(id * 1000003 + it);
    switch (rng() % 5) {
      case 0: {  // append (grows the section, often moving it)
        Bytes chunk = pattern(1 + rng() % 20000, seed);
        CZnError err = cache.writeSections(ctx, name, {writeOf(number, chunk, mine.size())}, false, 0);
        if (err.failed()) return fail("append to " + name, err);
        mine.insert(mine.end(), chunk.begin(), chunk.end());
        break;
      }
      case 1: {  // overwrite inside (in place, in parallel with readers)
        if (mine.empty()) break;
        uint64_t offset = rng() % mine.size();
        Bytes chunk = pattern(std::min<uint64_t>(1 + rng() % 4000, mine.size() - offset), seed);
        CZnError err = cache.writeSections(ctx, name, {writeOf(number, chunk, offset)}, false, 0);
        if (err.failed()) return fail("overwrite " + name, err);
        std::copy(chunk.begin(), chunk.end(), mine.begin() + static_cast<long>(offset));
        break;
      }
      case 2: {  // cut or extend with zeros
        uint64_t length = rng() % (mine.size() + 5000);
        CZnError err = cache.truncateSection(ctx, name, number, 0, length);
        if (err.failed()) return fail("truncate " + name, err);
        mine.resize(length, 0);
        break;
      }
      case 3: {  // read back part of my section
        Bytes buffer(mine.size() + 10);
        uint64_t offset = mine.empty() ? 0 : rng() % mine.size();
        std::vector<Section> req{readOf(number, buffer, offset)};
        CZnError err = cache.readSections(ctx, name, req, true);
        if (err.failed()) return fail("read " + name, err);
        if (req[0].size != mine.size() - offset ||
            !std::equal(mine.begin() + static_cast<long>(offset), mine.end(), buffer.begin())) {
          ADD_FAILURE() << "worker " << id << ": wrong bytes in " << name << " at " << offset;
          ++failures;
        }
        break;
      }
      case 4: {  // read the whole segment; my section must be in it, whole
        std::vector<SectionV> all;
        CZnError err = cache.readAllSections(ctx, name, all);
        if (err.failed()) return fail("read all of " + name, err);
        bool found = false;
        for (const SectionV& s : all) {
          if (s.number != number) continue;
          found = true;
          if (s.data != mine) {
            ADD_FAILURE() << "worker " << id << ": section differs in " << name;
            ++failures;
          }
        }
        if (!found && !mine.empty()) {
          ADD_FAILURE() << "worker " << id << ": section missing in " << name;
          ++failures;
        }
        break;
      }
    }
  }
  // Final check of everything this worker owns.
  for (auto& [name, mine] : model) {
    Bytes buffer(mine.size() + 1);
    std::vector<Section> req{readOf(sectionOf(name), buffer)};
    CZnError err = cache.readSections(ctx, name, req, true);
    if (err.failed()) return fail("final read of " + name, err);
    if (req[0].size != mine.size() || !std::equal(mine.begin(), mine.end(), buffer.begin())) {
      ADD_FAILURE() << "worker " << id << ": final bytes differ in " << name;
      ++failures;
    }
  }
}

TEST_F(DiskCacheConcurrencyTest, SectionsOfSharedAndOwnSegmentsWhileThePrunerRuns) {
  openCache(50, 30, 50, PruningMode::Lru, 16, 5);
  cache_->setCapacity(8 * MIB);
  std::atomic<uint64_t> offered{0};
  std::atomic<bool> prunedSeen{false};
  ctx_.pruneCallback = [this, &offered, &prunedSeen](const std::string&, const std::string&,
                                                     const std::string& name) {
    ++offered;
    // Only the fillers may go; the workers' segments are "in use".
    if (name.rfind("filler", 0) != 0) return false;
    CZnError err = cache_->deleteSegment(ctx_, name, false, false, 0);
    prunedSeen = true;
    return err.ok() || err.errNo() == ENOENT;
  };
  ASSERT_TRUE(cache_->registerContext(ctx_).ok());
  std::vector<std::string> shared;
  for (int i = 0; i < 4; ++i) {
    shared.push_back("shared" + std::to_string(i));
    Bytes marker = pattern(10, 99);
    ASSERT_TRUE(
        cache_->createSegment(ctx_, shared.back(), {writeOf(15, marker)}, false, false, false).ok());
  }
  constexpr int WORKERS = 6;  // sections 0..5 of the shared segments
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  std::thread filler([&] {
    Bytes blob = pattern(256 * 1024, 5);
    for (int i = 0; !stop.load(); ++i) {
      std::string name = "filler" + std::to_string(i);
      CZnError err = cache_->createSegment(ctx_, name, {writeOf(1, blob)}, false, false, false);
      if (err.failed() && err.errNo() != ENOSPC) {
        ADD_FAILURE() << err.chain();
        ++failures;
        return;
      }
      if (i % 7 == 0) {
        // Races the pruner for the same segment: either may win.
        CZnError del = cache_->deleteSegment(ctx_, "filler" + std::to_string(i / 2), false, false, 0);
        if (del.failed() && del.errNo() != ENOENT) {
          ADD_FAILURE() << del.chain();
          ++failures;
        }
      }
    }
  });
  std::vector<std::thread> workers;
  for (int id = 0; id < WORKERS; ++id)
    workers.emplace_back([&, id] { worker(*cache_, ctx_, id, 400, shared, prunedSeen, failures); });
  for (auto& t : workers) t.join();
  stop = true;
  filler.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(offered.load(), 0u) << "the pruner ran during the test";
  std::map<std::string, std::string> counters;
  cache_->getCounters(counters);
  EXPECT_NE(counters["diskCache.pruned"], "0");
  // The marker section written first is untouched by all the moves around it.
  for (const std::string& name : shared) EXPECT_EQ(readSection(name, 15), pattern(10, 99));
  // Accounting matches the files on disk.
  cache_->shutdownPruner();
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
  uint64_t used = cache_->usedBytes();
  openCache();
  EXPECT_EQ(cache_->usedBytes(), used);
}

TEST_F(DiskCacheConcurrencyTest, RacingCreationsOfOneNameLetExactlyOneWin) {
  openCache();
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> wins{0}, exists{0}, ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        Bytes data = pattern(5000, static_cast<uint32_t>(t));
        ++ready;
        while (ready.load() < 8) std::this_thread::yield();
        CZnError err = cache_->createSegment(ctx_, "same", {writeOf(1, data)}, false, t % 2 == 0,
                                             false);
        if (err.ok()) ++wins;
        else if (err.errNo() == EEXIST) ++exists;
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(wins.load(), 1) << "round " << round;
    ASSERT_EQ(exists.load(), 7);
    Bytes got = readSection("same", 1);
    bool matches = false;
    for (uint32_t t = 0; t < 8; ++t) matches = matches || got == pattern(5000, t);
    EXPECT_TRUE(matches);
    ASSERT_TRUE(cache_->deleteSegment(ctx_, "same", false, false, 0).ok());
  }
}

TEST_F(DiskCacheConcurrencyTest, ReadersSeeWholeVersionsWhileTheSegmentIsReplaced) {
  openCache(90, 80, 85, PruningMode::Lru, 16);
  // Each version's sections all derive from its number, so a reader can tell
  // a whole version from a mix of two.
  auto version = [](uint32_t v) {
    return std::make_pair(pattern(1120, v), pattern(20000 + v % 1000, v + 1));
  };
  auto [h0, d0] = version(0);
  ASSERT_TRUE(cache_->createSegment(ctx_, "seg", {writeOf(3, h0), writeOf(1, d0)}, false, false,
                                    false)
                  .ok());
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0}, seen{0}, missing{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        std::vector<SectionV> all;
        CZnError err = cache_->readAllSections(ctx_, "seg", all);
        if (err.errNo() == ENOENT) {
          ++missing;
          continue;
        }
        if (err.failed() || all.size() != 2) {
          ADD_FAILURE() << err.chain();
          ++failures;
          return;
        }
        uint32_t v = 0;
        while (v < 100000 && pattern(16, v) != Bytes(all[0].data.begin(), all[0].data.begin() + 16))
          ++v;
        auto [h, d] = version(v);
        if (all[0].data != h || all[1].data != d) {
          ADD_FAILURE() << "a mix of versions";
          ++failures;
          return;
        }
        ++seen;
      }
    });
  }
  for (uint32_t v = 1; v <= 150 && failures.load() == 0; ++v) {
    auto [h, d] = version(v);
    if (v % 3 == 0) {
      ASSERT_TRUE(cache_->deleteSegment(ctx_, "seg", false, false, 0).ok());
      ASSERT_TRUE(cache_->createSegment(ctx_, "seg", {writeOf(3, h), writeOf(1, d)}, false,
                                        false, false)
                      .ok());
    } else {
      ASSERT_TRUE(cache_->replaceSegment(ctx_, "seg", {writeOf(3, h), writeOf(1, d)}).ok());
    }
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(seen.load(), 0);
}

TEST_F(DiskCacheConcurrencyTest, SmallOpenFileCacheUnderManyReaders) {
  openCache(90, 80, 85, PruningMode::Lru, 16);
  constexpr int SEGMENTS = 200;
  for (int i = 0; i < SEGMENTS; ++i)
    ASSERT_TRUE(createBlob(numbered("s", i), 3000 + i, static_cast<uint32_t>(i)).ok());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t));
      for (int n = 0; n < 2000 && failures.load() == 0; ++n) {
        int i = static_cast<int>(rng() % SEGMENTS);
        Bytes buffer(3000 + i);
        std::vector<Section> req{readOf(1, buffer)};
        CZnError err = cache_->readSections(ctx_, numbered("s", i), req, true);
        if (err.failed() || buffer != pattern(3000 + i, static_cast<uint32_t>(i))) {
          ADD_FAILURE() << "segment " << i << " " << err.chain();
          ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::map<std::string, std::string> status;
  cache_->getStatus(status);
  // Entries in use when an eviction ran may outlive it, at most one per
  // thread that was reading at that moment.
  EXPECT_LE(std::stoul(status["diskCache.openFiles"]), 16u + 8u);
  EXPECT_GT(std::stoul(status["diskCache.openFiles"]), 0u);
}

}  // namespace
}  // namespace ObjectStore::test
