// The disk cache's segment operations and their effects.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "DiskCacheTestUtil.h"
#include "platform/diskcache/SegmentFile.h"

namespace ObjectStore::test {
namespace {

class DiskCacheTest : public DiskCacheFixture {};

std::vector<int32_t> numbersOf(const std::vector<SectionV>& sections) {
  std::vector<int32_t> out;
  for (const auto& s : sections) out.push_back(s.number);
  return out;
}

TEST_F(DiskCacheTest, CreatedSegmentHoldsExactlyItsSections) {
  openCache();
  Bytes s3 = pattern(1120, 1), s0 = pattern(1160, 2), s5 = pattern(4096, 3);
  std::vector<Section> sections{writeOf(3, s3), writeOf(0, s0), writeOf(5, s5)};
  sections[1].word = 0xabcdef01u;
  ASSERT_TRUE(cache_->createSegment(ctx_, "seg1", sections, false, false, false).ok());
  EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "seg1"));
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "seg2"));

  std::vector<SectionV> all;
  ASSERT_TRUE(cache_->readAllSections(ctx_, "seg1", all).ok());
  ASSERT_EQ(numbersOf(all), (std::vector<int32_t>{3, 0, 5}));
  EXPECT_EQ(all[0].data, s3);
  EXPECT_EQ(all[1].data, s0);
  EXPECT_EQ(all[2].data, s5);
  EXPECT_EQ(all[1].word, 0xabcdef01u);
  EXPECT_EQ(all[2].size, 4096u);
  // The file lives in the share area under the name's first two characters.
  EXPECT_TRUE(fileExists(cacheDir_ + "/42/se/seg1"));
  EXPECT_EQ(cache_->guid2path("seg1", 0, "42"), cacheDir_ + "/42/se/seg1");
  EXPECT_EQ(cache_->segmentPath(ctx_, "seg1"), cacheDir_ + "/42/se/seg1");
}

TEST_F(DiskCacheTest, SectionsComeBackInCreationOrder) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 7).ok());
  Bytes data = pattern(300, 9);
  ASSERT_TRUE(write("seg", 1, data, 0).ok());
  Bytes extra = pattern(10, 10);
  ASSERT_TRUE(write("seg", 2, extra, 0).ok());
  // Growing an early section moves it inside the file but not in the order.
  Bytes big = pattern(20000, 11);
  ASSERT_TRUE(write("seg", 3, big, 0).ok());
  std::vector<SectionV> all;
  ASSERT_TRUE(cache_->readAllSections(ctx_, "seg", all).ok());
  EXPECT_EQ(numbersOf(all), (std::vector<int32_t>{3, 0, 5, 1, 2}));
  EXPECT_EQ(all[0].data, big);
  EXPECT_EQ(all[3].data, data);
  EXPECT_EQ(all[4].data, extra);
}

TEST_F(DiskCacheTest, GrowingAMiddleSectionKeepsEveryOtherSection) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 1).ok());
  Bytes s1 = pattern(5000, 4);
  ASSERT_TRUE(write("seg", 1, s1, 0).ok());
  Bytes s3 = pattern(1120, 1), s5 = pattern(4096, 3);
  // Section 0 sits between 3 and 5: grow it by appends, many times.
  Bytes expected0 = pattern(1160, 2);
  for (int i = 0; i < 20; ++i) {
    Bytes chunk = pattern(777 * (i + 1), 100 + i);
    ASSERT_TRUE(write("seg", 0, chunk, expected0.size()).ok());
    expected0.insert(expected0.end(), chunk.begin(), chunk.end());
    ASSERT_EQ(readSection("seg", 0), expected0) << "after append " << i;
    ASSERT_EQ(readSection("seg", 3), s3);
    ASSERT_EQ(readSection("seg", 5), s5);
    ASSERT_EQ(readSection("seg", 1), s1);
  }
  // An overwrite in the middle of the grown section lands where it should.
  Bytes patch = pattern(100, 99);
  ASSERT_TRUE(write("seg", 0, patch, 50).ok());
  std::copy(patch.begin(), patch.end(), expected0.begin() + 50);
  // Everything survives a restart (the table on disk is the truth).
  openCache();
  std::vector<SectionV> all;
  ASSERT_TRUE(cache_->readAllSections(ctx_, "seg", all).ok());
  ASSERT_EQ(numbersOf(all), (std::vector<int32_t>{3, 0, 5, 1}));
  EXPECT_EQ(all[0].data, s3);
  EXPECT_EQ(all[1].data, expected0);
  EXPECT_EQ(all[2].data, s5);
  EXPECT_EQ(all[3].data, s1);
  // Geometric reservation: 20 appends did not each rewrite the section, so
  // the file is far smaller than the sum of every intermediate copy.
  struct stat st;
  ASSERT_EQ(stat((cacheDir_ + "/42/se/seg").c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_size), 4 * expected0.size() + 20000);
}

TEST_F(DiskCacheTest, ReadFromOffsetWithShortBuffersSetsBytesPlaced) {
  openCache();
  Bytes data = pattern(100, 5);
  ASSERT_TRUE(cache_->createSegment(ctx_, "seg", {writeOf(1, data)}, false, false, false).ok());
  Bytes a(50), b(50), c(10), d(10), e(200);
  std::vector<Section> req{readOf(1, a, 10), readOf(1, b, 90), readOf(1, c, 100),
                           readOf(1, d, 500), readOf(1, e, 0), readOf(4, c, 0)};
  ASSERT_TRUE(cache_->readSections(ctx_, "seg", req, true).ok());
  EXPECT_EQ(req[0].size, 50u);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), data.begin() + 10));
  EXPECT_EQ(req[1].size, 10u);
  EXPECT_TRUE(std::equal(b.begin(), b.begin() + 10, data.begin() + 90));
  EXPECT_EQ(req[2].size, 0u);
  EXPECT_EQ(req[3].size, 0u);
  EXPECT_EQ(req[4].size, 100u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), e.begin()));
  EXPECT_EQ(req[5].size, 0u) << "a missing section reads as nothing";
}

TEST_F(DiskCacheTest, WritePastTheEndZeroFillsTheGap) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 1).ok());
  Bytes head = pattern(10, 1);
  ASSERT_TRUE(write("seg", 1, head, 0).ok());
  Bytes tail = pattern(20, 2);
  ASSERT_TRUE(write("seg", 1, tail, 100).ok());
  Bytes got = readSection("seg", 1);
  ASSERT_EQ(got.size(), 120u);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin()));
  for (size_t i = 10; i < 100; ++i) ASSERT_EQ(got[i], 0) << i;
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), got.begin() + 100));
  // A new section written at an offset starts with zeros too.
  ASSERT_TRUE(write("seg", 2, tail, 5000).ok());
  got = readSection("seg", 2);
  ASSERT_EQ(got.size(), 5020u);
  for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(got[i], 0) << i;
}

TEST_F(DiskCacheTest, TruncateThenGrowReadsZeros) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 1).ok());
  Bytes data = pattern(100000, 3);
  ASSERT_TRUE(write("seg", 1, data, 0).ok());
  // Section 1 is last in the file; section 0 is in the middle.
  for (int32_t number : {1, 0}) {
    uint64_t before = readSection("seg", number).size();
    ASSERT_TRUE(cache_->truncateSection(ctx_, "seg", number, 0, 100).ok());
    uint64_t size = 0;
    ASSERT_TRUE(cache_->getSectionSize(size, ctx_, "seg", number, 0).ok());
    EXPECT_EQ(size, 100u);
    ASSERT_TRUE(cache_->truncateSection(ctx_, "seg", number, 0, before).ok());
    Bytes got = readSection("seg", number);
    ASSERT_EQ(got.size(), before);
    for (size_t i = 100; i < before; ++i) ASSERT_EQ(got[i], 0) << "section " << number << " " << i;
    // A write after a cut exposes zeros before it, not the old bytes.
    ASSERT_TRUE(cache_->truncateSection(ctx_, "seg", number, 0, 10).ok());
    Bytes one{0x7f};
    ASSERT_TRUE(write("seg", number, one, 50).ok());
    got = readSection("seg", number);
    ASSERT_EQ(got.size(), 51u);
    for (size_t i = 10; i < 50; ++i) ASSERT_EQ(got[i], 0) << i;
    EXPECT_EQ(got[50], 0x7f);
  }
  EXPECT_EQ(readSection("seg", 5), pattern(4096, 3));
}

TEST_F(DiskCacheTest, TruncatingTheLastSectionGivesSpaceBack) {
  openCache();
  ASSERT_TRUE(createBlob("ext", 1 << 20, 1).ok());
  uint64_t full = cache_->usedBytes();
  ASSERT_TRUE(cache_->truncateSection(ctx_, "ext", 1, 0, 0).ok());
  EXPECT_EQ(full, SEGMENT_HEADER_SIZE + (1 << 20));
  EXPECT_EQ(cache_->usedBytes(), SEGMENT_HEADER_SIZE);
  struct stat st;
  ASSERT_EQ(stat((cacheDir_ + "/42/ex/ext").c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), cache_->usedBytes());
  // A missing section is created by truncate, with zeros.
  ASSERT_TRUE(cache_->truncateSection(ctx_, "ext", 4, 0, 64).ok());
  EXPECT_EQ(readSection("ext", 4), Bytes(64, 0));
}

TEST_F(DiskCacheTest, ReplaceSegmentKeepsExactlyTheNewSections) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 1).ok());
  ASSERT_TRUE(write("seg", 1, pattern(5000, 9), 0).ok());
  Bytes n3 = pattern(1120, 20), n1 = pattern(70, 21);
  ASSERT_TRUE(cache_->replaceSegment(ctx_, "seg", {writeOf(3, n3), writeOf(1, n1)}).ok());
  std::vector<SectionV> all;
  ASSERT_TRUE(cache_->readAllSections(ctx_, "seg", all).ok());
  ASSERT_EQ(numbersOf(all), (std::vector<int32_t>{3, 1}));
  EXPECT_EQ(all[0].data, n3);
  EXPECT_EQ(all[1].data, n1);
  uint64_t size = 99;
  ASSERT_TRUE(cache_->getSectionSize(size, ctx_, "seg", 0, 0).ok());
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(cache_->replaceSegment(ctx_, "nope", {writeOf(3, n3)}).errNo(), ENOENT);
}

TEST_F(DiskCacheTest, DoubleCreateFailsWithEEXIST) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 1).ok());
  EXPECT_EQ(createStandard("seg", 2).errNo(), EEXIST);
  // The non-prunable area counts too: the context sees both.
  EXPECT_EQ(createStandard("seg", 2, true).errNo(), EEXIST);
  EXPECT_EQ(readSection("seg", 3), pattern(1120, 1));
}

TEST_F(DiskCacheTest, MissingSegmentsFailWithENOENT) {
  openCache();
  Bytes buffer(10);
  std::vector<Section> req{readOf(1, buffer)};
  std::vector<SectionV> all;
  uint64_t size = 0;
  EXPECT_EQ(cache_->readSections(ctx_, "none", req, true).errNo(), ENOENT);
  EXPECT_EQ(cache_->readAllSections(ctx_, "none", all).errNo(), ENOENT);
  EXPECT_EQ(write("none", 1, buffer, 0).errNo(), ENOENT);
  EXPECT_EQ(cache_->truncateSection(ctx_, "none", 1, 0, 5).errNo(), ENOENT);
  EXPECT_EQ(cache_->getSectionSize(size, ctx_, "none", 1, 0).errNo(), ENOENT);
  EXPECT_EQ(cache_->deleteSegment(ctx_, "none", false, false, 0).errNo(), ENOENT);
  EXPECT_EQ(cache_->syncSegment(ctx_, "none").errNo(), ENOENT);
  EXPECT_EQ(cache_->moveToPrunable(ctx_, "none").errNo(), ENOENT);
  EXPECT_FALSE(fileExists(cacheDir_ + "/42/no/none"));
}

TEST_F(DiskCacheTest, InvalidNamesAreRejected) {
  openCache();
  for (const std::string& name :
       {std::string(), std::string("a/b"), std::string("."), std::string(".."),
        std::string(256, 'x'), std::string("..x"), std::string(".tmp")}) {
    EXPECT_EQ(createStandard(name, 1).errNo(), EINVAL) << "[" << name << "]";
    EXPECT_FALSE(cache_->doesSegmentExist(ctx_, name));
  }
  EXPECT_TRUE(createStandard(std::string(255, 'y'), 1).ok());
  EXPECT_TRUE(createStandard("a", 1).ok()) << "a one-character name has a one-character directory";
  EXPECT_TRUE(fileExists(cacheDir_ + "/42/a/a"));
  // A context whose area would leave the cache directory is refused.
  DiskCacheContext bad;
  bad.name = "../escape";
  EXPECT_EQ(cache_->registerContext(bad).errNo(), EINVAL);
  EXPECT_EQ(createStandard("seg", 1, false, &bad).errNo(), EINVAL);
  Bytes data = pattern(10, 1);
  Section s = writeOf(16, data);
  EXPECT_EQ(cache_->createSegment(ctx_, "n16", {s}, false, false, false).errNo(), EINVAL);
  EXPECT_EQ(cache_->createSegment(ctx_, "dup", {writeOf(1, data), writeOf(1, data)}, false, false,
                                  false)
                .errNo(),
            EINVAL);
}

TEST_F(DiskCacheTest, DeleteRemovesTheFileAndItsBytes) {
  openCache();
  ASSERT_TRUE(createBlob("seg", 10000, 1).ok());
  ASSERT_TRUE(createBlob("other", 500, 2).ok());
  uint64_t used = cache_->usedBytes();
  ASSERT_TRUE(cache_->deleteSegment(ctx_, "seg", true, false, 0).ok());
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "seg"));
  EXPECT_FALSE(fileExists(cacheDir_ + "/42/se/seg"));
  EXPECT_EQ(cache_->usedBytes(), used - SegmentFile::imageSize({writeOf(1, pattern(10000, 1))}));
  // The name can be used again at once, with new content.
  ASSERT_TRUE(createBlob("seg", 20, 3).ok());
  EXPECT_EQ(readSection("seg", 1), pattern(20, 3));
}

TEST_F(DiskCacheTest, DeleteWithRecycleKeepsACopyAside) {
  openCache();
  ASSERT_TRUE(createBlob("seg", 3000, 5).ok());
  std::string original = readFile(cacheDir_ + "/42/se/seg");
  uint64_t used = cache_->usedBytes();
  ASSERT_TRUE(cache_->deleteSegment(ctx_, "seg", false, false, 1).ok());
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "seg"));
  EXPECT_LT(cache_->usedBytes(), used) << "recycled copies are not cache usage";
  ASSERT_TRUE(createBlob("seg", 3000, 6).ok());
  ASSERT_TRUE(cache_->deleteSegment(ctx_, "seg", false, false, 1).ok());
  std::vector<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(cacheDir_ + "/recycle"))
    kept.push_back(entry.path().filename().string());
  ASSERT_EQ(kept.size(), 2u);
  int matches = 0;
  for (const std::string& name : kept) {
    EXPECT_EQ(name.rfind("seg.", 0), 0u) << name;
    if (readFile(cacheDir_ + "/recycle/" + name) == original) ++matches;
  }
  EXPECT_EQ(matches, 1);
  // A restart does not adopt recycled copies as segments.
  openCache();
  EXPECT_EQ(cache_->usedBytes(), 0u);
}

TEST_F(DiskCacheTest, SyncAndCounters) {
  openCache();
  ASSERT_TRUE(createBlob("seg", 100, 1).ok());
  ASSERT_TRUE(cache_->syncSegment(ctx_, "seg").ok());
  Bytes data = pattern(50, 2);
  ASSERT_TRUE(write("seg", 1, data, 0).ok());
  readSection("seg", 1);
  std::map<std::string, std::string> counters;
  cache_->getCounters(counters);
  EXPECT_EQ(counters["diskCache.creates"], "1");
  EXPECT_EQ(counters["diskCache.writes"], "1");
  EXPECT_EQ(counters["diskCache.reads"], "1");
  EXPECT_EQ(counters["diskCache.syncs"], "1");
  EXPECT_EQ(counters["diskCache.bytesWritten"], "150");
  EXPECT_EQ(counters["diskCache.bytesRead"], "100");
  for (const char* key : {"diskCache.deletes", "diskCache.readErrors", "diskCache.enospc",
                          "diskCache.pruned", "diskCache.pruneRefused"})
    EXPECT_EQ(counters.count(key), 1u) << key;
  cache_->clearCounters();
  counters.clear();
  cache_->getCounters(counters);
  EXPECT_EQ(counters["diskCache.creates"], "0");
  EXPECT_EQ(counters["diskCache.bytesRead"], "0");

  std::map<std::string, std::string> status;
  ASSERT_TRUE(cache_->registerContext(ctx_).ok());
  cache_->setCapacity(1000000);
  cache_->getStatus(status);
  EXPECT_EQ(status["diskCache.dir"], cacheDir_);
  EXPECT_EQ(status["diskCache.usedBytes"], std::to_string(cache_->usedBytes()));
  EXPECT_EQ(status["diskCache.capacityBytes"], "1000000");
  EXPECT_EQ(status["diskCache.usagePercent"], std::to_string(cache_->usedBytes() * 100 / 1000000));
  EXPECT_EQ(status["diskCache.highWatermark"], "90");
  EXPECT_EQ(status["diskCache.lowWatermark"], "80");
  EXPECT_EQ(status["diskCache.thirdWatermark"], "85");
  EXPECT_EQ(status["diskCache.pruningMode"], "lru");
  EXPECT_EQ(status["diskCache.outOfSpace"], "0");
  EXPECT_EQ(status["diskCache.contexts"], "1");
  EXPECT_EQ(status["diskCache.openFiles"], "1");
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
}

// A new segment is not synced when it is created; its first sync makes its
// name durable as well, later syncs and segments adopted at a start do not
// need that, and a replacement's name is synced again.
TEST_F(DiskCacheTest, FirstSyncOfANewSegmentSyncsItsName) {
  openCache();
  auto nameSyncs = [this] {
    std::map<std::string, std::string> counters;
    cache_->getCounters(counters);
    return counters["diskCache.nameSyncs"];
  };
  ASSERT_TRUE(createBlob("seg", 100, 1).ok());
  ASSERT_TRUE(createBlob("other", 100, 2).ok());
  EXPECT_EQ(nameSyncs(), "0");
  ASSERT_TRUE(cache_->syncSegment(ctx_, "seg").ok());
  EXPECT_EQ(nameSyncs(), "1");
  ASSERT_TRUE(cache_->syncSegment(ctx_, "seg").ok());
  EXPECT_EQ(nameSyncs(), "1");
  Bytes replacement = pattern(10, 3);
  ASSERT_TRUE(cache_->replaceSegment(ctx_, "seg", {writeOf(1, replacement)}).ok());
  ASSERT_TRUE(cache_->syncSegment(ctx_, "seg").ok());
  EXPECT_EQ(nameSyncs(), "2");

  openCache();
  ASSERT_TRUE(cache_->syncSegment(ctx_, "other").ok());
  EXPECT_EQ(nameSyncs(), "0");
  EXPECT_EQ(readSection("other", 1), pattern(100, 2));
}

TEST_F(DiskCacheTest, WatermarksAreValidated) {
  openCache(70, 60, 50);
  int high = 0, low = 0, third = 0;
  ASSERT_TRUE(cache_->getCurrentWatermarks(high, low, third).ok());
  EXPECT_EQ(high, 70);
  EXPECT_EQ(low, 60);
  EXPECT_EQ(third, 50);
  EXPECT_EQ(cache_->updateWatermarks(50, 60, 40).errNo(), EINVAL);   // low above high
  EXPECT_EQ(cache_->updateWatermarks(101, 60, 40).errNo(), EINVAL);
  EXPECT_EQ(cache_->updateWatermarks(90, 0, 40).errNo(), EINVAL);
  EXPECT_EQ(cache_->updateWatermarks(90, 80, 0).errNo(), EINVAL);
  EXPECT_EQ(cache_->updateWatermarks(90, 80, 101).errNo(), EINVAL);
  ASSERT_TRUE(cache_->updateWatermarks(95, 95, 100).ok());
  ASSERT_TRUE(cache_->getCurrentWatermarks(high, low, third).ok());
  EXPECT_EQ(high, 95);
  EXPECT_EQ(low, 95);
  EXPECT_EQ(third, 100);
  DiskCache other(0);
  EXPECT_EQ(other.init(path("other"), {}, 80, 90, 50, 10, nullptr, PruningMode::Random).errNo(),
            EINVAL);
  EXPECT_TRUE(createStandard("x", 1).ok());
  DiskCacheContext ctx;
  ctx.name = "1";
  Bytes b(1);
  std::vector<Section> req{readOf(1, b)};
  EXPECT_EQ(other.readSections(ctx, "x", req, true).errNo(), ENODEV) << "not initialized";
}

TEST_F(DiskCacheTest, PlacementFollowsTheContext) {
  openCache();
  ASSERT_TRUE(createStandard("shared", 1).ok());
  ASSERT_TRUE(createStandard("local", 2, true).ok());
  EXPECT_TRUE(fileExists(cacheDir_ + "/42/sh/shared"));
  EXPECT_TRUE(fileExists(cacheDir_ + "/noprune/42_0/lo/local"));
  EXPECT_EQ(cache_->segmentPath(ctx_, "local"), cacheDir_ + "/noprune/42_0/lo/local");
  EXPECT_EQ(cache_->segmentPath(ctx_, "future"), cacheDir_ + "/42/fu/future");
  // keepAll puts everything in the non-prunable area.
  ASSERT_TRUE(cache_->registerContext(ctx_).ok());
  ASSERT_TRUE(cache_->updateContext(ctx_, "noprune/42_0", true).ok());
  ASSERT_TRUE(createStandard("kept", 3).ok());
  EXPECT_TRUE(fileExists(cacheDir_ + "/noprune/42_0/ke/kept"));
  // Lookups follow the context's current areas: after a change of the
  // non-prunable area, segments of the old one are out of sight.
  ASSERT_TRUE(cache_->updateContext(ctx_, "noprune/42_1", false).ok());
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "kept"));
  EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "shared"));
  ASSERT_TRUE(createStandard("later", 4).ok());
  EXPECT_TRUE(fileExists(cacheDir_ + "/42/la/later"));
  EXPECT_EQ(cache_->updateContext(ctx_, "/abs", false).errNo(), EINVAL);
  ASSERT_TRUE(cache_->unregisterContext(ctx_).ok());
  EXPECT_EQ(cache_->unregisterContext(ctx_).errNo(), ENOENT);
}

TEST_F(DiskCacheTest, ViewContextNeverSeesTheSharesSegments) {
  openCache();
  DiskCacheContext view;
  view.name = "42";
  view.noprunePath = "noprune/42_snap";
  view.viewPath = "views/42_snap";
  ASSERT_TRUE(createStandard("seg", 1).ok());
  EXPECT_FALSE(cache_->doesSegmentExist(view, "seg"));
  Bytes b(10);
  std::vector<Section> req{readOf(3, b)};
  EXPECT_EQ(cache_->readSections(view, "seg", req, true).errNo(), ENOENT);
  // The view makes its own copy, in its own area, without disturbing the share.
  ASSERT_TRUE(createStandard("seg", 2, false, &view).ok());
  EXPECT_TRUE(fileExists(cacheDir_ + "/views/42_snap/se/seg"));
  EXPECT_EQ(readSection("seg", 3, &view), pattern(1120, 2));
  EXPECT_EQ(readSection("seg", 3), pattern(1120, 1));
  EXPECT_EQ(cache_->segmentPath(view, "seg"), cacheDir_ + "/views/42_snap/se/seg");
  // Non-prunable view segments go to the view's non-prunable area and are
  // found there first.
  ASSERT_TRUE(createStandard("local", 3, true, &view).ok());
  EXPECT_TRUE(fileExists(cacheDir_ + "/noprune/42_snap/lo/local"));
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "local"));
  ASSERT_TRUE(cache_->deleteSegment(view, "seg", false, false, 0).ok());
  EXPECT_TRUE(cache_->doesSegmentExist(ctx_, "seg"));
}

TEST_F(DiskCacheTest, MoveToPrunableMovesTheFileAndItsAccounting) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 1, true).ok());
  ASSERT_TRUE(write("seg", 1, pattern(3000, 2), 0).ok());
  std::map<std::string, std::string> status;
  cache_->getStatus(status);
  uint64_t nonPrunable = std::stoull(status["diskCache.nonPrunableBytes"]);
  EXPECT_GT(nonPrunable, 0u);
  uint64_t used = cache_->usedBytes();
  ASSERT_TRUE(cache_->moveToPrunable(ctx_, "seg").ok());
  EXPECT_FALSE(fileExists(cacheDir_ + "/noprune/42_0/se/seg"));
  EXPECT_TRUE(fileExists(cacheDir_ + "/42/se/seg"));
  EXPECT_EQ(cache_->usedBytes(), used);
  status.clear();
  cache_->getStatus(status);
  EXPECT_EQ(status["diskCache.nonPrunableBytes"], "0");
  EXPECT_EQ(readSection("seg", 1), pattern(3000, 2));
  EXPECT_EQ(readSection("seg", 3), pattern(1120, 1));
  // Already prunable: nothing to do.
  EXPECT_TRUE(cache_->moveToPrunable(ctx_, "seg").ok());
  // For a view, prunable means the view's own area.
  DiskCacheContext view;
  view.name = "42";
  view.noprunePath = "noprune/42_v";
  view.viewPath = "views/42_v";
  ASSERT_TRUE(createStandard("vseg", 3, true, &view).ok());
  ASSERT_TRUE(cache_->moveToPrunable(view, "vseg").ok());
  EXPECT_TRUE(fileExists(cacheDir_ + "/views/42_v/vs/vseg"));
}

TEST_F(DiskCacheTest, RestartAdoptsSegmentsAndAccounting) {
  openCache();
  for (int i = 0; i < 30; ++i) {
    std::string name = "seg" + std::to_string(i);
    ASSERT_TRUE(createBlob(name, 1000 * (i + 1), i, i % 3 == 0).ok());
  }
  ASSERT_TRUE(write("seg4", 1, pattern(100, 77), 4000).ok());
  ASSERT_TRUE(cache_->deleteSegment(ctx_, "seg7", false, false, 0).ok());
  uint64_t used = cache_->usedBytes();
  std::map<std::string, std::string> before;
  cache_->getStatus(before);
  openCache();
  EXPECT_EQ(cache_->usedBytes(), used);
  std::map<std::string, std::string> after;
  cache_->getStatus(after);
  EXPECT_EQ(after["diskCache.nonPrunableBytes"], before["diskCache.nonPrunableBytes"]);
  EXPECT_EQ(after["diskCache.segments"], "29");
  for (int i = 0; i < 30; ++i) {
    std::string name = "seg" + std::to_string(i);
    if (i == 7) {
      EXPECT_FALSE(cache_->doesSegmentExist(ctx_, name));
      continue;
    }
    Bytes expected = pattern(1000 * (i + 1), i);
    if (i == 4) {
      Bytes extra = pattern(100, 77);
      std::copy(extra.begin(), extra.end(), expected.begin() + 4000);
    }
    EXPECT_EQ(readSection(name, 1), expected) << name;
  }
  // Foreign files in the cache directory are left alone and not counted.
  writeFile(cacheDir_ + "/42/README", "not a segment");
  writeFile(cacheDir_ + "/42/zz/seg1", "wrong directory");
  openCache();
  EXPECT_EQ(cache_->usedBytes(), used);
  EXPECT_TRUE(fileExists(cacheDir_ + "/42/README"));
}

TEST_F(DiskCacheTest, MigrationCopiesTheTreeWithoutRecycle) {
  openCache();
  ASSERT_TRUE(createBlob("keep", 5000, 1).ok());
  ASSERT_TRUE(createStandard("local", 2, true).ok());
  ASSERT_TRUE(createBlob("gone", 100, 3).ok());
  ASSERT_TRUE(cache_->deleteSegment(ctx_, "gone", false, false, 1).ok());
  std::string target = path("target/cache");
  ASSERT_EQ(cache_->startMigration(0, cacheDir_, target), 0);
  EXPECT_FALSE(std::filesystem::exists(target + "/recycle"));
  EXPECT_EQ(readFile(target + "/42/ke/keep"), readFile(cacheDir_ + "/42/ke/keep"));
  DiskCache moved(0);
  ASSERT_TRUE(moved.init(target, {target}, 90, 80, 85, 100, nullptr, PruningMode::Lru).ok());
  EXPECT_EQ(moved.usedBytes(), cache_->usedBytes());
  EXPECT_TRUE(moved.doesSegmentExist(ctx_, "local"));
  std::vector<SectionV> all;
  ASSERT_TRUE(moved.readAllSections(ctx_, "keep", all).ok());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].data, pattern(5000, 1));
  moved.shutdownPruner();
  EXPECT_EQ(cache_->startMigration(0, path("nothing-here"), path("t2")), ENOENT);
}

TEST_F(DiskCacheTest, InjectedFaultsHitTheNthCall) {
  openCache();
  ASSERT_TRUE(createBlob("seg", 100, 1).ok());
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Write, 2, EIO, false});
  Bytes data = pattern(10, 2);
  EXPECT_TRUE(write("seg", 1, data, 0).ok());
  EXPECT_EQ(write("seg", 1, pattern(10, 3), 0).errNo(), EIO);
  EXPECT_TRUE(write("seg", 1, data, 0).ok()) << "a one-shot fault fires once";
  Bytes expected = pattern(100, 1);
  std::copy(data.begin(), data.end(), expected.begin());
  EXPECT_EQ(readSection("seg", 1), expected) << "the failed write changed nothing";

  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Read, 1, EBADF, true});
  Bytes b(10);
  std::vector<Section> req{readOf(1, b)};
  EXPECT_EQ(cache_->readSections(ctx_, "seg", req, true).errNo(), EBADF);
  EXPECT_EQ(cache_->readSections(ctx_, "seg", req, true).errNo(), EBADF);
  cache_->clearFaults();
  EXPECT_TRUE(cache_->readSections(ctx_, "seg", req, true).ok());

  for (DiskCacheOp op : {DiskCacheOp::Sync, DiskCacheOp::Delete, DiskCacheOp::Truncate}) {
    cache_->setFaults(DiskCacheFaults{op, 1, ENOSPC, false});
  }
  EXPECT_EQ(cache_->syncSegment(ctx_, "seg").errNo(), ENOSPC);
  EXPECT_EQ(cache_->truncateSection(ctx_, "seg", 1, 0, 0).errNo(), ENOSPC);
  EXPECT_EQ(cache_->deleteSegment(ctx_, "seg", false, false, 0).errNo(), ENOSPC);
  EXPECT_EQ(readSection("seg", 1), expected);
  EXPECT_TRUE(cache_->deleteSegment(ctx_, "seg", false, false, 0).ok());
}

}  // namespace
}  // namespace ObjectStore::test
