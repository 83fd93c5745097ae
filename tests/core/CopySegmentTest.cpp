// Copying a segment under a new name: the local path carries every section
// over with a renewed header; a source that is missing or damaged goes
// through restore first, and a copy that can't be completed leaves nothing
// behind.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "ObjectStore/StoreHelpers.h"
#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::bytesOf;
using test::fakeGuid;
using test::LogCapture;

constexpr int64_t kNow = 1650000000;

class CopySegmentTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
    ASSERT_NO_FATAL_FAILURE(openLiveStore());
    ASSERT_OK(store_->createNewItem(file_, "/src", FileAttribs{0640, 3, 4}, store_->getRootGuid(),
                                    FILE_TYPE_REGULAR, "", false));
    ASSERT_OK(store_->propsFromGuid(file_.objGuid, props_, DO_RESTORE));
  }
  static CXFileHeader attributeOf(const std::vector<SectionV>& sections) {
    CXFileHeader header;
    const SectionV* s = findSection(sections, SECTION_ATTRIBUTE);
    EXPECT_NE(s, nullptr);
    if (s != nullptr) std::memcpy(&header, s->data.data(), sizeof(header));
    return header;
  }
  static FileHeaderData headerOf(const std::vector<SectionV>& sections) {
    FileHeaderData data;
    const SectionV* s = findSection(sections, SECTION_HEADER);
    EXPECT_NE(s, nullptr);
    if (s != nullptr) std::memcpy(&data, s->data.data(), sizeof(data));
    return data;
  }

  ItemName file_;
  index_iface_props props_;
};

TEST_F(CopySegmentTest, LocalSourceIsCopiedWithARenewedHeaderAndRecorded) {
  const Bytes payload(3000, 0x5a);
  std::vector<Section> writes = {makeWriteSection(SECTION_DATA, 0, payload.data(), payload.size())};
  ASSERT_OK(cache_->DiskCache::writeSections(store_->diskCacheContext(), file_.verGuid, writes,
                                             false, 0));
  const auto before = readAllRaw(*store_, file_.verGuid);

  clock_->advanceSec(42);
  props_.mtime = kNow + 7;
  props_.ctime = kNow + 8;
  auto& index = *shareIndex(liveConfig());
  index.resetCounts();
  const guid_t to = fakeGuid('c');
  LogCapture log;
  ASSERT_OK(store_->copySegment(file_.verGuid, to, props_, false));
  EXPECT_TRUE(log.contains("Copying segment from [" + file_.verGuid + "] to [" + to + "] obj=[" +
                               file_.objGuid + "] path=[/src]",
                           4))
      << log.dump();
  EXPECT_TRUE(log.contains("Copied item [" + file_.verGuid + "] to [" + to + "]", 3));
  EXPECT_EQ(log.countContaining("restore"), 0u) << log.dump();

  const auto copied = readAllRaw(*store_, to);
  ASSERT_EQ(copied.size(), before.size());
  for (size_t i = 0; i < copied.size(); ++i) {
    EXPECT_EQ(copied[i].number, before[i].number);
    EXPECT_EQ(copied[i].data.size(), before[i].data.size());
  }
  EXPECT_EQ(findSection(copied, SECTION_DATA)->data, payload);
  EXPECT_EQ(findSection(copied, SECTION_XATTR)->data, findSection(before, SECTION_XATTR)->data);

  CXFileHeader expectedHeader = attributeOf(before);
  expectedHeader.setName(file_.objGuid + "," + to);
  expectedHeader.mtime = kNow + 7;
  expectedHeader.ctime = kNow + 8;
  EXPECT_EQ(findSection(copied, SECTION_ATTRIBUTE)->data, bytesOf(expectedHeader));
  FileHeaderData expectedData = headerOf(before);
  expectedData.versionTimeNs = static_cast<uint64_t>(kNow + 42) * 1000000000ull;
  EXPECT_EQ(findSection(copied, SECTION_HEADER)->data, bytesOf(expectedData));

  // The source is as it was.
  const auto after = readAllRaw(*store_, file_.verGuid);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].data, before[i].data);

  EXPECT_EQ(index.addCalls.load(), 1);
  index_iface_browse_fields fields;
  fields.guid = file_.objGuid;
  index_iface_props found;
  ASSERT_EQ(index.find_by_guid(fields, found), 0);
  EXPECT_EQ(found.verGuid, to);
  EXPECT_EQ(found.vtime, static_cast<int64_t>(expectedData.versionTimeNs));
}

TEST_F(CopySegmentTest, NoIndexCopiesWithoutTellingTheIndex) {
  auto& index = *shareIndex(liveConfig());
  index.resetCounts();
  const guid_t to = fakeGuid('d');
  ASSERT_OK(store_->copySegment(file_.verGuid, to, props_, true));
  EXPECT_TRUE(segmentExists(to));
  EXPECT_EQ(index.addCalls.load(), 0);
  EXPECT_EQ(index.updateCalls.load(), 0);
  index_iface_browse_fields fields;
  fields.guid = file_.objGuid;
  index_iface_props found;
  ASSERT_EQ(index.find_by_guid(fields, found), 0);
  EXPECT_EQ(found.verGuid, file_.verGuid);
}

TEST_F(CopySegmentTest, SectionWordsAndUninterpretedSectionsAreCarriedOver) {
  FileHeaderData data;
  CXFileHeader header;
  const guid_t from = fakeGuid('1');
  validRecords(data, header, file_.objGuid, from);
  const Bytes two = {1, 2, 3, 4, 5};
  std::vector<Section> sections = {makeWriteSection(SECTION_HEADER, 0, &data, sizeof(data)),
                                   makeWriteSection(SECTION_ATTRIBUTE, 0, &header, sizeof(header)),
                                   makeWriteSection(2, 0, two.data(), two.size())};
  sections[2].word = 0xfeedbeef;
  ASSERT_OK(cache_->DiskCache::createSegment(store_->diskCacheContext(), from, sections, false,
                                             false, false));
  const guid_t to = fakeGuid('2');
  ASSERT_OK(store_->copySegment(from, to, props_, true));
  const auto copied = readAllRaw(*store_, to);
  ASSERT_EQ(copied.size(), 3u);
  EXPECT_EQ(copied[2].number, 2);
  EXPECT_EQ(copied[2].word, 0xfeedbeefu);
  EXPECT_EQ(copied[2].data, two);
}

TEST_F(CopySegmentTest, MissingSourceFailsClearlyAndCreatesNothing) {
  auto& index = *shareIndex(liveConfig());
  index.resetCounts();
  cache_->resetCounts();
  const guid_t from = fakeGuid('3');
  const guid_t to = fakeGuid('4');
  CZnError err = store_->copySegment(from, to, props_, false);
  ASSERT_FALSE(err.ok());
  EXPECT_NE(err.chain().find("Error: Can't restore file header: [" + from + "]"), std::string::npos)
      << err.chain();
  EXPECT_FALSE(segmentExists(to));
  EXPECT_EQ(cache_->createCalls.load(), 0);
  EXPECT_EQ(index.addCalls.load(), 0);
}

TEST_F(CopySegmentTest, MissingExtentIsRestoredThroughItsOwningFile) {
  // An extent segment of the file's version, as the extent writer names it.
  const guid_t from = fileToExtentGuid(file_.verGuid, 2);
  const guid_t to = fileToExtentGuid(fakeGuid('5'), 2);
  index_iface_props extentProps;
  extentProps.objGuid = fileToExtentGuid(file_.objGuid, 2);
  extentProps.verGuid = from;
  extentProps.parentGuid = file_.objGuid;
  extentProps.extentSize = 1048576;
  extentProps.updateSelector = 1;
  extentProps.extentNumber = 2;

  auto& index = *shareIndex(liveConfig());
  index.resetCounts();
  CZnError err = store_->copySegment(from, to, extentProps, true);
  // Nothing was ever backed up, so there is nothing to restore from.
  ASSERT_FALSE(err.ok());
  EXPECT_NE(err.chain().find("Error: Can't restore extent: [" + from + "]"), std::string::npos)
      << err.chain();
  EXPECT_FALSE(segmentExists(to));
  EXPECT_EQ(index.addCalls.load(), 0);
  // The owning file was opened for the restore and closed again.
  EXPECT_EQ(store_->findOpenFile(file_.objGuid), nullptr);
}

TEST_F(CopySegmentTest, ExtentWhoseFileIsUnknownFailsToOpenIt) {
  const guid_t from = fileToExtentGuid(fakeGuid('6'), 0);
  index_iface_props extentProps;
  extentProps.objGuid = fileToExtentGuid(fakeGuid('7'), 0);
  CZnError err = store_->copySegment(from, fileToExtentGuid(fakeGuid('8'), 0), extentProps, true);
  ASSERT_FALSE(err.ok());
  EXPECT_NE(err.chain().find("Can't open [" + fakeGuid('7') + "]"), std::string::npos)
      << err.chain();
  EXPECT_EQ(store_->findOpenFile(fakeGuid('7')), nullptr);
}

TEST_F(CopySegmentTest, MalformedSourceIsTreatedAsMissing) {
  // Header records in the wrong order.
  FileHeaderData data;
  CXFileHeader header;
  const guid_t from = fakeGuid('a');
  validRecords(data, header, file_.objGuid, from);
  ASSERT_OK(makeSegment(*store_, from,
                        {{SECTION_ATTRIBUTE, bytesOf(header)}, {SECTION_HEADER, bytesOf(data)}}));
  const guid_t to = fakeGuid('b');
  LogCapture log;
  CZnError err = store_->copySegment(from, to, props_, false);
  EXPECT_TRUE(log.contains("Error: Bad header in [" + from + "]", -1)) << log.dump();
  ASSERT_FALSE(err.ok());
  EXPECT_NE(err.chain().find("Can't restore file header"), std::string::npos) << err.chain();
  EXPECT_FALSE(segmentExists(to));

  // Only one record.
  const guid_t lone = fakeGuid('e');
  ASSERT_OK(makeSegment(*store_, lone, {{SECTION_HEADER, bytesOf(data)}}));
  log.clear();
  EXPECT_FALSE(store_->copySegment(lone, to, props_, false).ok());
  EXPECT_TRUE(log.contains("Error: Bad header in [" + lone + "]", -1)) << log.dump();
  EXPECT_FALSE(segmentExists(to));
}

TEST_F(CopySegmentTest, UnreadableSourceIsTreatedAsMissing) {
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Read;
  fault.errNo = EIO;
  cache_->setFaults(fault);
  const guid_t to = fakeGuid('f');
  LogCapture log;
  CZnError err = store_->copySegment(file_.verGuid, to, props_, false);
  cache_->clearFaults();
  EXPECT_TRUE(
      log.contains("Error: Can't read sections when copying from [" + file_.verGuid + "]", -1))
      << log.dump();
  ASSERT_FALSE(err.ok());
  EXPECT_NE(err.chain().find("Error: Can't restore file header: [" + file_.verGuid + "]"),
            std::string::npos)
      << err.chain();
  EXPECT_FALSE(segmentExists(to));
  // The damaged source was dropped, so that its next use restores it.
  EXPECT_FALSE(segmentExists(file_.verGuid));
  EXPECT_EQ(store_->recoveredSegs(), 1u);
}

TEST_F(CopySegmentTest, FullCacheFailsWithEnospcLoggedAsExpected) {
  const guid_t to = fakeGuid('0');
  cache_->setOutOfSpace(true);
  LogCapture log;
  CZnError err = store_->copySegment(file_.verGuid, to, props_, false);
  cache_->setOutOfSpace(false);
  EXPECT_EQ(err.errNo(), ENOSPC);
  EXPECT_NE(err.chain().find("Error: Can't create segment for [" + to + "]"), std::string::npos);
  size_t atErrorLevel = 0;
  for (const auto& record : log.records())
    if (record.level == -1 && record.message.find(to) != std::string::npos) ++atErrorLevel;
  EXPECT_EQ(atErrorLevel, 0u) << log.dump();
  EXPECT_FALSE(segmentExists(to));
}

TEST_F(CopySegmentTest, CopyTheIndexRefusesIsRemovedAgain) {
  // A clock at the epoch gives the copy no version time, which the index
  // refuses.
  clock_->setSec(0);
  const guid_t to = fakeGuid('9');
  CZnError err = store_->copySegment(file_.verGuid, to, props_, false);
  ASSERT_FALSE(err.ok());
  EXPECT_NE(err.chain().find("Error: Can't add segment to index for [" + to + "]"),
            std::string::npos)
      << err.chain();
  EXPECT_FALSE(segmentExists(to));
}

}  // namespace
}  // namespace ObjectStore
