// The segment file format: the header's layout and checks, and damaged files
// reported as errors, never as bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "DiskCacheTestUtil.h"
#include "platform/diskcache/SegmentFile.h"

namespace ObjectStore::test {
namespace {

class SegmentFileTest : public DiskCacheFixture {
 protected:
  std::string segmentFile(const std::string& name) {
    return cacheDir_ + "/42/" + name.substr(0, 2) + "/" + name;
  }

  // Rewrites part of a segment file while no cache has it open.
  void patchFile(const std::string& name, uint64_t offset, const void* data, size_t length) {
    int fd = ::open(segmentFile(name).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, data, length, static_cast<off_t>(offset)), static_cast<ssize_t>(length));
    ::close(fd);
  }

  void readHeader(const std::string& name, SegmentFileHeader& header) {
    int fd = ::open(segmentFile(name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pread(fd, &header, sizeof(header), 0), static_cast<ssize_t>(sizeof(header)));
    ::close(fd);
  }

  // Every reading operation reports EIO for the damaged segment, and each
  // failure is logged as an error naming the damage.
  void expectDamaged(const std::string& name) {
    LogCapture log;
    Bytes buffer(64);
    std::vector<Section> req{readOf(3, buffer)};
    std::vector<SectionV> all;
    uint64_t size = 0;
    EXPECT_EQ(cache_->readSections(ctx_, name, req, true).errNo(), EIO);
    EXPECT_EQ(req[0].size, 0u);
    EXPECT_EQ(cache_->readAllSections(ctx_, name, all).errNo(), EIO);
    EXPECT_TRUE(all.empty());
    EXPECT_EQ(write(name, 3, buffer, 0).errNo(), EIO);
    EXPECT_EQ(cache_->getSectionSize(size, ctx_, name, 3, 0).errNo(), EIO);
    EXPECT_EQ(cache_->truncateSection(ctx_, name, 3, 0, 1).errNo(), EIO);
    EXPECT_GE(log.countContaining("Damaged segment file", -1), 5u) << log.dump();
    // Still listed (the store deletes it and restores what it held).
    EXPECT_TRUE(cache_->doesSegmentExist(ctx_, name));
    EXPECT_TRUE(cache_->deleteSegment(ctx_, name, false, false, 0).ok());
  }

  void makeSegment(const std::string& name) {
    openCache();
    ASSERT_TRUE(createStandard(name, 1).ok());
    ASSERT_TRUE(write(name, 1, pattern(10000, 2), 0).ok());
    cache_.reset();  // the next cache reads the file from disk
  }
};

TEST_F(SegmentFileTest, HeaderLayout) {
  EXPECT_EQ(sizeof(SegmentFileHeader), 536u);
  EXPECT_EQ(SEGMENT_HEADER_SIZE, 536u);
  SegmentLayout layout;
  layout.entries.push_back(SegmentSectionEntry{3, 7, 1120, 536, 1120});
  layout.entries.push_back(SegmentSectionEntry{0, 0, 0, 0, 0});
  SegmentFileHeader header;
  layout.encode(header);
  EXPECT_EQ(header.magic, DISK_CACHE_MAGIC);
  EXPECT_EQ(header.version, DISK_CACHE_VERSION);
  EXPECT_EQ(header.sectionCount, 2u);
  EXPECT_EQ(header.sections[0].word, 7u);
  EXPECT_EQ(header.checksum, SegmentLayout::checksum(header));
  SegmentLayout back;
  std::string why;
  ASSERT_TRUE(SegmentLayout::decode(header, 536 + 1120, back, why)) << why;
  ASSERT_EQ(back.entries.size(), 2u);
  EXPECT_EQ(back.entries[0].length, 1120u);
  // The file must hold every section's bytes.
  EXPECT_FALSE(SegmentLayout::decode(header, 536 + 1119, back, why));
  EXPECT_EQ(why, "section 3 lies outside the file");
}

TEST_F(SegmentFileTest, RegionsMayNotOverlapOrRepeat) {
  SegmentLayout layout;
  layout.entries.push_back(SegmentSectionEntry{3, 0, 100, 536, 200});
  layout.entries.push_back(SegmentSectionEntry{0, 0, 50, 700, 50});
  SegmentFileHeader header;
  layout.encode(header);
  SegmentLayout back;
  std::string why;
  EXPECT_FALSE(SegmentLayout::decode(header, 10000, back, why));
  EXPECT_EQ(why, "sections 3 and 0 overlap");
  layout.entries[1] = SegmentSectionEntry{3, 0, 50, 800, 50};
  layout.encode(header);
  EXPECT_FALSE(SegmentLayout::decode(header, 10000, back, why));
  EXPECT_EQ(why, "section 3 listed twice");
  layout.entries[1] = SegmentSectionEntry{1, 0, 60, 800, 50};  // longer than its region
  layout.encode(header);
  EXPECT_FALSE(SegmentLayout::decode(header, 10000, back, why));
  layout.entries[1] = SegmentSectionEntry{1, 0, 10, 100, 50};  // inside the header
  layout.encode(header);
  EXPECT_FALSE(SegmentLayout::decode(header, 10000, back, why));
  layout.entries[1] = SegmentSectionEntry{1, 0, 10, 800, 50};
  layout.encode(header);
  EXPECT_TRUE(SegmentLayout::decode(header, 10000, back, why)) << why;
}

TEST_F(SegmentFileTest, TruncatedFileIsAnError) {
  makeSegment("seg");
  ASSERT_EQ(truncate(segmentFile("seg").c_str(), 100), 0);
  openCache();
  expectDamaged("seg");
}

TEST_F(SegmentFileTest, EmptyFileIsAnError) {
  makeSegment("seg");
  ASSERT_EQ(truncate(segmentFile("seg").c_str(), 0), 0);
  openCache();
  expectDamaged("seg");
}

TEST_F(SegmentFileTest, RegionBeyondTheEndIsAnError) {
  makeSegment("seg");
  // Cut the file inside the last section's bytes: the header is intact but
  // promises bytes the file no longer has.
  SegmentFileHeader header;
  readHeader("seg", header);
  ASSERT_EQ(header.sectionCount, 4u);
  const SegmentSectionEntry& last = header.sections[3];
  ASSERT_EQ(last.number, 1);
  ASSERT_EQ(truncate(segmentFile("seg").c_str(), static_cast<off_t>(last.offset + 10)), 0);
  openCache();
  expectDamaged("seg");
}

TEST_F(SegmentFileTest, JunkOverTheHeaderIsAnError) {
  makeSegment("seg");
  std::string junk(200, 'J');
  patchFile("seg", 0, junk.data(), junk.size());
  openCache();
  expectDamaged("seg");
}

TEST_F(SegmentFileTest, ChangedTableIsCaughtByTheChecksum) {
  makeSegment("seg");
  // A plausible change (a section claims to be shorter) with the old checksum.
  SegmentFileHeader header;
  readHeader("seg", header);
  header.sections[0].length -= 1;
  patchFile("seg", 0, &header, sizeof(header));
  openCache();
  expectDamaged("seg");
}

TEST_F(SegmentFileTest, UnknownVersionIsAnError) {
  makeSegment("seg");
  SegmentFileHeader header;
  readHeader("seg", header);
  header.version = DISK_CACHE_VERSION + 1;
  header.checksum = SegmentLayout::checksum(header);
  patchFile("seg", 0, &header, sizeof(header));
  openCache();
  expectDamaged("seg");
}

TEST_F(SegmentFileTest, EveryHeaderByteIsChecked) {
  makeSegment("seg");
  SegmentFileHeader original;
  readHeader("seg", original);
  openCache();
  for (size_t offset = 0; offset < sizeof(SegmentFileHeader); offset += 7) {
    SegmentFileHeader header = original;
    reinterpret_cast<unsigned char*>(&header)[offset] ^= 0x5a;
    cache_.reset();
    patchFile("seg", 0, &header, sizeof(header));
    openCache();
    std::vector<SectionV> all;
    ASSERT_EQ(cache_->readAllSections(ctx_, "seg", all).errNo(), EIO) << "byte " << offset;
  }
  cache_.reset();
  patchFile("seg", 0, &original, sizeof(original));
  openCache();
  EXPECT_EQ(readSection("seg", 1), pattern(10000, 2));
}

TEST_F(SegmentFileTest, RandomJunkFilesNeverReadAsData) {
  openCache();
  std::mt19937 rng(12345);
  for (int i = 0; i < 200; ++i) {
    std::string name = "junk" + std::to_string(i);
    size_t length = rng() % 3000;
    std::string junk(length, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    // Half of them start with a valid magic and version, to get past the
    // first checks.
    if (i % 2 == 0 && length >= 4) {
      uint16_t stamp[2] = {DISK_CACHE_MAGIC, DISK_CACHE_VERSION};
      std::memcpy(junk.data(), stamp, sizeof(stamp));
    }
    ASSERT_TRUE(mkdir((cacheDir_ + "/42").c_str(), 0755) == 0 || errno == EEXIST);
    ASSERT_TRUE(mkdir((cacheDir_ + "/42/ju").c_str(), 0755) == 0 || errno == EEXIST);
    writeFile(segmentFile(name), junk);
  }
  openCache();
  EXPECT_GT(cache_->usedBytes(), 0u);
  for (int i = 0; i < 200; ++i) {
    std::vector<SectionV> all;
    EXPECT_EQ(cache_->readAllSections(ctx_, "junk" + std::to_string(i), all).errNo(), EIO) << i;
  }
}

TEST_F(SegmentFileTest, DataIsPlacedAfterTheHeaderAndAligned) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 1).ok());
  ASSERT_TRUE(write("seg", 1, pattern(1 << 20, 2), 0).ok());
  cache_.reset();
  SegmentFileHeader header;
  readHeader("seg", header);
  ASSERT_EQ(header.sectionCount, 4u);
  EXPECT_EQ(header.sections[0].offset, SEGMENT_HEADER_SIZE);
  EXPECT_EQ(header.sections[0].number, 3);
  // A large section added later starts on a page boundary.
  EXPECT_EQ(header.sections[3].number, 1);
  EXPECT_EQ(header.sections[3].offset % 4096, 0u);
  // The raw bytes are where the table says.
  std::string raw = readFile(segmentFile("seg"));
  Bytes s0 = pattern(1160, 2);
  EXPECT_EQ(std::memcmp(raw.data() + header.sections[1].offset, s0.data(), s0.size()), 0);
}

}  // namespace
}  // namespace ObjectStore::test
