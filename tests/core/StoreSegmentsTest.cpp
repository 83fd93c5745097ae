// Reading, validating and upgrading header records through the store.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "core/StoreOpsFixture.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::bytesOf;
using test::fakeGuid;
using test::LogCapture;

class StoreSegmentsTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    openLiveStore();
  }

  // A segment with valid records, after `tamper` changed them.
  void makeHeaderSegment(const guid_t& segment,
                         const std::function<void(FileHeaderData&, CXFileHeader&)>& tamper = {}) {
    FileHeaderData data;
    CXFileHeader header;
    validRecords(data, header, obj_, segment);
    if (tamper) tamper(data, header);
    ASSERT_OK(makeSegment(*store_, segment,
                          {{SECTION_HEADER, bytesOf(data)},
                           {SECTION_ATTRIBUTE, bytesOf(header)},
                           {SECTION_XATTR, Bytes(4096, 0)}}));
  }

  CZnError readHeader(const guid_t& segment, ShouldRestore restore = NO_RESTORE) {
    return store_->readFileHeader(header_, data_, obj_, segment, restore);
  }

  const guid_t obj_ = fakeGuid('1');
  CXFileHeader header_;
  FileHeaderData data_;
};

TEST_F(StoreSegmentsTest, ValidHeaderIsReadAndCached) {
  const guid_t seg = fakeGuid('2');
  makeHeaderSegment(seg);
  ASSERT_OK(readHeader(seg));
  EXPECT_EQ(data_.magic, FILE_HEADER_MAGIC);
  EXPECT_EQ(data_.extentSize, 1048576u);
  EXPECT_EQ(header_.size, 77u);
  EXPECT_EQ(header_.getName(), obj_ + "," + seg);

  LogCapture log;
  cache_->resetCounts();
  CXFileHeader header;
  FileHeaderData data;
  data.magic = FILE_HEADER_MAGIC;  // not touched by a cache hit
  data.version = FILE_HEADER_VERSION;
  ASSERT_OK(store_->readFileHeader(header, data, obj_, seg, NO_RESTORE));
  EXPECT_EQ(cache_->readSectionsCalls.load(), 0);
  EXPECT_TRUE(log.contains("read data from attrib cache", 5));
  EXPECT_EQ(std::memcmp(&header, &header_, sizeof(header)), 0);
  EXPECT_EQ(std::memcmp(&data, &data_, sizeof(data)), 0);
}

TEST_F(StoreSegmentsTest, SwappedMagicIsRejectedShowingBothValues) {
  const guid_t seg = fakeGuid('2');
  makeHeaderSegment(seg, [](FileHeaderData& d, CXFileHeader&) { d.magic = 0xBAAB; });
  LogCapture log;
  EXPECT_EQ(readHeader(seg).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: Incorrect magic number [" + seg + "] 0xbaab 0xabba", -1), 1u)
      << log.dump();
  EXPECT_FALSE(store_->attrCache().contains(seg));
}

TEST_F(StoreSegmentsTest, WrongVersionIsRejected) {
  const guid_t seg = fakeGuid('2');
  makeHeaderSegment(seg, [](FileHeaderData& d, CXFileHeader&) { d.version = 3; });
  LogCapture log;
  EXPECT_EQ(readHeader(seg).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: Incorrect version [" + seg + "] 0x0003 0x0002", -1), 1u)
      << log.dump();
}

TEST_F(StoreSegmentsTest, ZeroExtentSizeIsRejected) {
  const guid_t seg = fakeGuid('2');
  makeHeaderSegment(seg, [](FileHeaderData& d, CXFileHeader&) { d.extentSize = 0; });
  LogCapture log;
  EXPECT_EQ(readHeader(seg).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: 0 extentSize [" + seg + "]", -1), 1u) << log.dump();
}

TEST_F(StoreSegmentsTest, ShortAttributeSectionIsRejected) {
  const guid_t seg = fakeGuid('2');
  FileHeaderData data;
  CXFileHeader header;
  validRecords(data, header, obj_, seg);
  Bytes shortHeader = bytesOf(header);
  shortHeader.resize(1000);
  ASSERT_OK(makeSegment(*store_, seg,
                        {{SECTION_HEADER, bytesOf(data)}, {SECTION_ATTRIBUTE, shortHeader}}));
  LogCapture log;
  EXPECT_EQ(readHeader(seg).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: Bad cxheader size [" + seg + "]", -1), 1u) << log.dump();
}

TEST_F(StoreSegmentsTest, HeaderDataSizeOtherThanTheRecordIsRejected) {
  // A disk cache that reports more header bytes than the record holds.
  const guid_t seg = fakeGuid('2');
  makeHeaderSegment(seg);
  cache_->setReadHook([](const std::string&, std::vector<Section>& sections) {
    for (auto& s : sections)
      if (s.number == SECTION_HEADER) s.size = HEADER_SECTION_SIZE + 8;
  });
  LogCapture log;
  EXPECT_EQ(readHeader(seg).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: Bad file header data size [" + seg + "]", -1), 1u) << log.dump();
  cache_->setReadHook(nullptr);
}

TEST_F(StoreSegmentsTest, ShortHeaderSectionIsUpgradedOnceOnRead) {
  const guid_t seg = fakeGuid('2');
  FileHeaderData data;
  CXFileHeader header;
  validRecords(data, header, obj_, seg);
  data.version = 1;
  Bytes oldHeader = bytesOf(data);
  oldHeader.resize(1100);
  // Bytes the old record never had: the upgrade must bring zeros, not these.
  const Bytes xattrs(4096, 0);
  ASSERT_OK(makeSegment(*store_, seg,
                        {{SECTION_HEADER, oldHeader},
                         {SECTION_ATTRIBUTE, bytesOf(header)},
                         {SECTION_XATTR, xattrs}}));

  LogCapture log;
  cache_->resetCounts();
  ASSERT_OK(readHeader(seg));
  EXPECT_EQ(cache_->replaceCalls.load(), 1);
  EXPECT_EQ(cache_->readSectionsCalls.load(), 2);  // the read and the read after upgrading
  EXPECT_EQ(log.count("Upgrading [" + seg + "] from 1100 to 1120", 5), 1u) << log.dump();
  // The caller got the upgraded bytes.
  EXPECT_EQ(data_.version, FILE_HEADER_VERSION);
  EXPECT_EQ(data_.magic, FILE_HEADER_MAGIC);
  EXPECT_EQ(data_.extentSize, 1048576u);

  // On disk: 1120 bytes, version 2, a zero tail, the other sections intact
  // and in their order.
  auto sections = readAllRaw(*store_, seg);
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections[0].number, SECTION_HEADER);
  EXPECT_EQ(sections[1].number, SECTION_ATTRIBUTE);
  EXPECT_EQ(sections[2].number, SECTION_XATTR);
  const Bytes& upgraded = sections[0].data;
  ASSERT_EQ(upgraded.size(), HEADER_SECTION_SIZE);
  EXPECT_EQ(upgraded[2] | (upgraded[3] << 8), 2);
  for (size_t i = 1100; i < HEADER_SECTION_SIZE; ++i) ASSERT_EQ(upgraded[i], 0) << i;
  for (size_t i = 4; i < 1100; ++i) ASSERT_EQ(upgraded[i], oldHeader[i]) << i;
  EXPECT_EQ(sections[1].data, bytesOf(header));

  // The next read from disk needs no upgrade.
  store_->attrCache().clear();
  cache_->resetCounts();
  ASSERT_OK(readHeader(seg));
  EXPECT_EQ(cache_->replaceCalls.load(), 0);
  EXPECT_EQ(cache_->readSectionsCalls.load(), 1);
}

TEST_F(StoreSegmentsTest, ReadWithoutTheHeaderSectionNeverUpgrades) {
  const guid_t seg = fakeGuid('2');
  FileHeaderData data;
  CXFileHeader header;
  validRecords(data, header, obj_, seg);
  Bytes oldHeader = bytesOf(data);
  oldHeader.resize(1100);
  ASSERT_OK(makeSegment(*store_, seg,
                        {{SECTION_HEADER, oldHeader}, {SECTION_ATTRIBUTE, bytesOf(header)}}));
  cache_->resetCounts();
  CXFileHeader out;
  std::vector<Section> sections(1);
  sections[0].number = SECTION_ATTRIBUTE;
  sections[0].buffer = &out;
  sections[0].bufferLength = sizeof(out);
  ASSERT_OK(store_->readSectionsFromDiskCache(seg, sections, true));
  EXPECT_EQ(sections[0].size, ATTRIBUTE_SECTION_SIZE);
  EXPECT_EQ(cache_->replaceCalls.load(), 0);
  EXPECT_EQ(cache_->readAllCalls.load(), 0);
  EXPECT_EQ(findSection(readAllRaw(*store_, seg), SECTION_HEADER)->data.size(), 1100u);
}

TEST_F(StoreSegmentsTest, ReadAllUpgradesTheCallersSectionsWithoutRereading) {
  const guid_t seg = fakeGuid('2');
  FileHeaderData data;
  CXFileHeader header;
  validRecords(data, header, obj_, seg);
  Bytes oldHeader = bytesOf(data);
  oldHeader.resize(1100);
  ASSERT_OK(makeSegment(*store_, seg,
                        {{SECTION_HEADER, oldHeader}, {SECTION_ATTRIBUTE, bytesOf(header)}}));
  cache_->resetCounts();
  std::vector<SectionV> sections;
  ASSERT_OK(store_->readAllSectionsFromDiskCache(seg, sections));
  EXPECT_EQ(cache_->readAllCalls.load(), 1);
  EXPECT_EQ(cache_->replaceCalls.load(), 1);
  const SectionV* headerSection = findSection(sections, SECTION_HEADER);
  ASSERT_NE(headerSection, nullptr);
  EXPECT_EQ(headerSection->data.size(), HEADER_SECTION_SIZE);
  EXPECT_EQ(headerSection->size, HEADER_SECTION_SIZE);
  EXPECT_EQ(findSection(readAllRaw(*store_, seg), SECTION_HEADER)->data.size(),
            HEADER_SECTION_SIZE);
}

TEST_F(StoreSegmentsTest, UpgradeWithoutHeaderSectionFails) {
  std::vector<SectionV> sections(1);
  sections[0].number = SECTION_ATTRIBUTE;
  LogCapture log;
  EXPECT_EQ(store_->upgradeSegment("seg", sections).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: Can't find FILETYPE in sections for [seg]", -1), 1u);
}

TEST_F(StoreSegmentsTest, UnreadableSegmentIsDeletedAndCounted) {
  const guid_t seg = fakeGuid('2');
  makeHeaderSegment(seg);
  const std::string file = cache_->segmentPath(store_->diskCacheContext(), seg);
  test::writeFile(file, std::string(2000, 'j'));  // junk over the whole file

  LogCapture log;
  EXPECT_EQ(store_->recoveredSegs(), 0u);
  EXPECT_EQ(readHeader(seg).errNo(), ENOENT);
  EXPECT_EQ(store_->recoveredSegs(), 1u);
  EXPECT_FALSE(cache_->doesSegmentExist(store_->diskCacheContext(), seg));
  EXPECT_FALSE(test::fileExists(file));
  EXPECT_EQ(log.count("Error: Can't read [" + seg + "]", -1), 1u) << log.dump();
  EXPECT_EQ(log.countContaining("Error: Can't read sections [" + seg + "]: ", -1), 1u);
  EXPECT_TRUE(log.contains("can't find [" + obj_ + "] [" + seg + "]", 5));
}

TEST_F(StoreSegmentsTest, UnreadableSegmentIsKeptAsideWhenAsked) {
  setRegistry("nSaveCorruptSegments", "1");
  ObjectStore* saving = openStore(pitConfig(1600000000, "pit"));
  ASSERT_NE(saving, nullptr);
  ASSERT_TRUE(saving->saveCorruptSegments());
  const guid_t seg = fakeGuid('3');
  ASSERT_OK(makeSegment(*saving, seg, {{SECTION_HEADER, Bytes(HEADER_SECTION_SIZE, 0)}}));
  test::writeFile(cache_->segmentPath(saving->diskCacheContext(), seg), "junk");
  std::vector<SectionV> sections;
  EXPECT_FALSE(saving->readAllSectionsFromDiskCache(seg, sections).ok());
  EXPECT_EQ(saving->recoveredSegs(), 1u);
  EXPECT_FALSE(cache_->doesSegmentExist(saving->diskCacheContext(), seg));
  EXPECT_TRUE(test::fileExists(containerDir_ + "/cache/recycle"));
}

TEST_F(StoreSegmentsTest, MissingSegmentWithoutRestoreTouchesOnlyTheExistenceCheck) {
  cache_->resetCounts();
  LogCapture log;
  EXPECT_EQ(readHeader(fakeGuid('9')).errNo(), ENOENT);
  EXPECT_EQ(cache_->existCalls.load(), 1);
  EXPECT_EQ(cache_->readSectionsCalls.load(), 0);
  EXPECT_EQ(cache_->readAllCalls.load(), 0);
  EXPECT_TRUE(log.contains("can't find [" + obj_ + "] [" + fakeGuid('9') + "]", 5));
}

TEST_F(StoreSegmentsTest, MissingSegmentWithRestoreReportsTheRestoreResult) {
  // An item the index does not know can't be restored: its error comes back
  // with the carrier's (empty) records.
  {
    LogCapture log;
    header_.size = 999;
    EXPECT_EQ(readHeader(fakeGuid('9'), DO_RESTORE).errNo(), ENOENT);
    EXPECT_EQ(header_.size, 0u);
    EXPECT_EQ(data_.magic, 0u);
    EXPECT_TRUE(log.contains("Restoring file header: [" + obj_ + "] [" + fakeGuid('9') + "]", 5))
        << log.dump();
    EXPECT_EQ(
        log.countContaining("Error: Can't find properties <- find_by_guid [" + obj_ + "]", -1), 1u)
        << log.dump();
    EXPECT_FALSE(segmentExists(fakeGuid('9')));
    EXPECT_FALSE(store_->attrCache().contains(fakeGuid('9')));
  }

  // One the index knows comes back as its index record says, and is local
  // again afterwards.
  ItemName item;
  ASSERT_OK(store_->createNewItem(item, "/known", FileAttribs{0604, 5, 6}, store_->getRootGuid(),
                                  FILE_TYPE_REGULAR, "", false));
  ASSERT_OK(
      cache_->DiskCache::deleteSegment(store_->diskCacheContext(), item.verGuid, false, false, 0));
  (void)store_->attrCache().erase(item.verGuid);
  header_.size = 999;
  EXPECT_EQ(store_->readFileHeader(header_, data_, item.objGuid, item.verGuid, NO_RESTORE).errNo(),
            ENOENT);
  ASSERT_OK(store_->readFileHeader(header_, data_, item.objGuid, item.verGuid, DO_RESTORE));
  EXPECT_EQ(header_.size, 0u);
  EXPECT_EQ(header_.mode, static_cast<uint64_t>(S_IFREG | 0604));
  EXPECT_EQ(header_.uid, 5u);
  EXPECT_EQ(header_.gid, 6u);
  EXPECT_EQ(header_.getName(), item.objGuid + "," + item.verGuid);
  EXPECT_EQ(data_.magic, FILE_HEADER_MAGIC);
  EXPECT_EQ(data_.version, FILE_HEADER_VERSION);
  EXPECT_EQ(data_.fileType, static_cast<uint64_t>(FILE_TYPE_REGULAR));
  EXPECT_NE(data_.extentSize, 0u);
  EXPECT_STREQ(data_.parentGuid, store_->getRootGuid().c_str());
  EXPECT_TRUE(segmentExists(item.verGuid));
  // What was restored reads back the same without a restore.
  store_->attrCache().clear();
  CXFileHeader again;
  FileHeaderData againData;
  ASSERT_OK(store_->readFileHeader(again, againData, item.objGuid, item.verGuid, NO_RESTORE));
  EXPECT_EQ(std::memcmp(&again, &header_, sizeof(again)), 0);
  EXPECT_EQ(std::memcmp(&againData, &data_, sizeof(againData)), 0);
}

TEST_F(StoreSegmentsTest, HeaderDataAloneIsNotValidated) {
  const guid_t seg = fakeGuid('2');
  makeHeaderSegment(seg, [](FileHeaderData& d, CXFileHeader&) { d.magic = 0x1234; });
  FileHeaderData data;
  ASSERT_OK(store_->readFileHeaderData(data, seg));
  EXPECT_EQ(data.magic, 0x1234);
  EXPECT_EQ(data.extentSize, 1048576u);

  EXPECT_EQ(store_->readFileHeaderData(data, fakeGuid('8')).errNo(), ENOENT);
}

TEST_F(StoreSegmentsTest, HeaderDataComesFromTheAttributeCache) {
  const guid_t seg = fakeGuid('2');
  makeHeaderSegment(seg);
  ASSERT_OK(readHeader(seg));
  cache_->resetCounts();
  FileHeaderData data;
  ASSERT_OK(store_->readFileHeaderData(data, seg));
  EXPECT_EQ(cache_->readSectionsCalls.load(), 0);
  EXPECT_EQ(data.versionTimeNs, data_.versionTimeNs);
}

}  // namespace
}  // namespace ObjectStore
