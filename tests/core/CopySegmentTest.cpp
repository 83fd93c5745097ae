// Copying a segment under a new name: the local path carries every section
// over with a renewed header; a source that is missing or damaged goes
// through restore first, and a copy that can't be completed leaves nothing
// behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

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

  // The properties of a file the index has never heard of.
  index_iface_props strayProps() const {
    index_iface_props props = props_;
    props.objGuid = fakeGuid('5');
    props.verGuid = fakeGuid('6');
    props.path = "/stray";
    return props;
  }

  // Drops a segment and its cached header, as the pruner does.
  void dropLocally(const guid_t& segment) {
    ASSERT_OK(
        cache_->DiskCache::deleteSegment(store_->diskCacheContext(), segment, false, false, 0));
    (void)store_->attrCache().erase(segment);
  }

  // Puts a segment named `segment` in place (replacing one that is there)
  // whose header records of objGuid are whole but in the wrong order.
  void replaceWithSwappedRecords(const guid_t& objGuid, const guid_t& segment) {
    if (segmentExists(segment)) {
      ASSERT_NO_FATAL_FAILURE(dropLocally(segment));
    }
    FileHeaderData data;
    CXFileHeader header;
    validRecords(data, header, objGuid, segment);
    ASSERT_OK(makeSegment(*store_, segment,
                          {{SECTION_ATTRIBUTE, bytesOf(header)}, {SECTION_HEADER, bytesOf(data)}}));
  }

  // `to` is a well-formed copy of the file as its index record describes it,
  // and the index now names it as the file's version.
  void expectCopyOfTheIndexRecord(const guid_t& to) {
    FileHeaderData data;
    CXFileHeader header;
    ASSERT_NO_FATAL_FAILURE(readRecords(to, data, header));
    EXPECT_EQ(data.magic, FILE_HEADER_MAGIC);
    EXPECT_EQ(data.version, FILE_HEADER_VERSION);
    EXPECT_EQ(data.fileType, static_cast<uint64_t>(FILE_TYPE_REGULAR));
    EXPECT_EQ(data.versionTimeNs, static_cast<uint64_t>(kNow) * 1000000000ull);
    EXPECT_STREQ(data.parentGuid, store_->getRootGuid().c_str());
    EXPECT_EQ(header.getName(), file_.objGuid + "," + to);
    EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFREG | 0640));
    EXPECT_EQ(header.uid, 3u);
    EXPECT_EQ(header.gid, 4u);
    EXPECT_EQ(header.size, 0u);
    index_iface_browse_fields fields;
    fields.guid = file_.objGuid;
    index_iface_props found;
    ASSERT_EQ(shareIndex(liveConfig())->find_by_guid(fields, found), 0);
    EXPECT_EQ(found.verGuid, to);
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
  // An item the index does not know: there is nothing to restore it from.
  const index_iface_props stray = strayProps();
  const guid_t from = fakeGuid('3');
  const guid_t to = fakeGuid('4');
  index_iface_props props = stray;
  CZnError err = store_->copySegment(from, to, props, false);
  ASSERT_FALSE(err.ok());
  EXPECT_EQ(err.errNo(), ENOENT);
  EXPECT_NE(err.chain().find("Error: Can't restore file header: [" + from + "]"), std::string::npos)
      << err.chain();
  EXPECT_FALSE(segmentExists(to));
  EXPECT_FALSE(segmentExists(from));
  EXPECT_EQ(cache_->createCalls.load(), 0);
  EXPECT_EQ(index.addCalls.load(), 0);
  index_iface_browse_fields fields;
  fields.guid = stray.objGuid;
  index_iface_props found;
  EXPECT_NE(index.find_by_guid(fields, found), 0);
}

TEST_F(CopySegmentTest, MissingSourceOfAKnownItemIsRestoredFromItsIndexRecord) {
  dropLocally(file_.verGuid);
  auto& index = *shareIndex(liveConfig());
  index.resetCounts();
  const guid_t to = fakeGuid('4');
  LogCapture log;
  ASSERT_OK(store_->copySegment(file_.verGuid, to, props_, false));
  EXPECT_TRUE(
      log.contains("Restoring file header: [" + file_.objGuid + "] [" + file_.verGuid + "]", 5))
      << log.dump();
  expectCopyOfTheIndexRecord(to);
  // The source is local again, as its record says.
  EXPECT_TRUE(segmentExists(file_.verGuid));
  EXPECT_EQ(attributeRecord(*store_, file_.verGuid).getName(), file_.objGuid + "," + file_.verGuid);
  EXPECT_EQ(index.addCalls.load(), 1);
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

TEST_F(CopySegmentTest, DamagedExtentIsRestoredFromTheBackupAndCopied) {
  ScopedBackupTarget target(*this);
  const std::string bytes = test::pattern(3000, 7);
  FileHandle handle;
  openFile(handle, file_.objGuid);
  writeAt(handle, bytes, 0);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  const guid_t from = fileToExtentGuid(file_.verGuid, 0);
  ASSERT_NO_FATAL_FAILURE(backUp(*store_, {from}));
  index_iface_props extentProps;
  ASSERT_OK(store_->findObjGuidFromIndex(fileToExtentGuid(file_.objGuid, 0), extentProps));
  ASSERT_EQ(extentProps.verGuid, from);

  // Damaged after its backup: header records in the wrong order.
  FileHeaderData data;
  CXFileHeader header;
  validRecords(data, header, extentProps.objGuid, from);
  ASSERT_OK(cache_->DiskCache::deleteSegment(store_->diskCacheContext(), from, false, false, 0));
  ASSERT_OK(makeSegment(*store_, from,
                        {{SECTION_ATTRIBUTE, bytesOf(header)},
                         {SECTION_HEADER, bytesOf(data)},
                         {SECTION_DATA, Bytes(10, 0xee)}}));

  const guid_t to = fileToExtentGuid(fakeGuid('5'), 0);
  LogCapture log;
  ASSERT_OK(store_->copySegment(from, to, extentProps, true));
  EXPECT_EQ(log.count("Error: Bad header in [" + from + "]", -1), 1u) << log.dump();
  EXPECT_EQ(store_->recoveredSegs(), 1u);
  EXPECT_TRUE(test::sameBytes(dataSection(to), bytes));
  EXPECT_TRUE(test::sameBytes(dataSection(from), bytes));
  EXPECT_EQ(attributeRecord(*store_, to).getName(), extentProps.objGuid + "," + to);
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
  // The file's own version with its header records in the wrong order: it is
  // dropped and rebuilt from the index record before the copy.
  ASSERT_NO_FATAL_FAILURE(replaceWithSwappedRecords(file_.objGuid, file_.verGuid));
  const guid_t to = fakeGuid('b');
  {
    LogCapture log;
    CZnError err = store_->copySegment(file_.verGuid, to, props_, false);
    ASSERT_TRUE(err.ok()) << err.chain();
    EXPECT_EQ(log.count("Error: Bad header in [" + file_.verGuid + "]", -1), 1u) << log.dump();
  }
  EXPECT_EQ(store_->recoveredSegs(), 1u);
  expectCopyOfTheIndexRecord(to);
  FileHeaderData data;
  CXFileHeader header;
  ASSERT_NO_FATAL_FAILURE(readRecords(file_.verGuid, data, header));
  EXPECT_EQ(data.magic, FILE_HEADER_MAGIC);
  EXPECT_EQ(header.getName(), file_.objGuid + "," + file_.verGuid);

  // A damaged source of an item the index does not know can't be rebuilt:
  // the copy fails as for a missing one, not on the damaged bytes.
  auto& index = *shareIndex(liveConfig());
  index.resetCounts();
  cache_->resetCounts();
  const index_iface_props stray = strayProps();
  const guid_t from = fakeGuid('a');
  ASSERT_NO_FATAL_FAILURE(replaceWithSwappedRecords(stray.objGuid, from));
  const guid_t other = fakeGuid('c');
  LogCapture log;
  index_iface_props props = stray;
  CZnError err = store_->copySegment(from, other, props, false);
  EXPECT_TRUE(log.contains("Error: Bad header in [" + from + "]", -1)) << log.dump();
  ASSERT_FALSE(err.ok());
  EXPECT_EQ(err.errNo(), ENOENT);
  EXPECT_NE(err.chain().find("Error: Can't restore file header: [" + from + "]"), std::string::npos)
      << err.chain();
  EXPECT_FALSE(segmentExists(other));
  EXPECT_FALSE(segmentExists(from));
  EXPECT_EQ(store_->recoveredSegs(), 2u);
  EXPECT_EQ(index.addCalls.load(), 0);

  // Only one record.
  FileHeaderData lonely;
  CXFileHeader unused;
  validRecords(lonely, unused, stray.objGuid, fakeGuid('e'));
  const guid_t lone = fakeGuid('e');
  ASSERT_OK(makeSegment(*store_, lone, {{SECTION_HEADER, bytesOf(lonely)}}));
  log.clear();
  props = stray;
  err = store_->copySegment(lone, other, props, false);
  EXPECT_EQ(err.errNo(), ENOENT) << err.chain();
  EXPECT_TRUE(log.contains("Error: Bad header in [" + lone + "]", -1)) << log.dump();
  EXPECT_FALSE(segmentExists(other));
  EXPECT_FALSE(segmentExists(lone));
  EXPECT_EQ(store_->recoveredSegs(), 3u);
  // Neither copy nor restore created anything.
  EXPECT_EQ(cache_->createCalls.load(), 0);
}

TEST_F(CopySegmentTest, DamagedSourceIsKeptAsideWhenAsked) {
  closeStore(*store_);
  setRegistry("nSaveCorruptSegments", "1");
  ASSERT_NO_FATAL_FAILURE(openLiveStore());
  ASSERT_TRUE(store_->saveCorruptSegments());
  ASSERT_NO_FATAL_FAILURE(replaceWithSwappedRecords(file_.objGuid, file_.verGuid));
  const std::string damaged =
      test::readFile(cache_->segmentPath(store_->diskCacheContext(), file_.verGuid));
  const guid_t to = fakeGuid('b');
  ASSERT_OK(store_->copySegment(file_.verGuid, to, props_, false));
  expectCopyOfTheIndexRecord(to);
  EXPECT_EQ(store_->recoveredSegs(), 1u);
  size_t keptAside = 0;
  const std::string recycle = containerDir_ + "/cache/recycle";
  ASSERT_TRUE(std::filesystem::is_directory(recycle));
  for (const auto& entry : std::filesystem::directory_iterator(recycle)) {
    if (entry.path().filename().string().rfind(file_.verGuid + ".", 0) == 0 &&
        test::readFile(entry.path().string()) == damaged)
      ++keptAside;
  }
  EXPECT_EQ(keptAside, 1u);
}

TEST_F(CopySegmentTest, UnreadableSourceIsTreatedAsMissing) {
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Read;
  fault.errNo = EIO;
  cache_->setFaults(fault);
  const guid_t to = fakeGuid('f');
  {
    LogCapture log;
    CZnError err = store_->copySegment(file_.verGuid, to, props_, false);
    cache_->clearFaults();
    EXPECT_TRUE(
        log.contains("Error: Can't read sections when copying from [" + file_.verGuid + "]", -1))
        << log.dump();
    // The damaged source was dropped and rebuilt from the index record.
    ASSERT_TRUE(err.ok()) << err.chain();
    EXPECT_TRUE(
        log.contains("Restoring file header: [" + file_.objGuid + "] [" + file_.verGuid + "]", 5))
        << log.dump();
  }
  EXPECT_EQ(store_->recoveredSegs(), 1u);
  expectCopyOfTheIndexRecord(to);
  EXPECT_TRUE(segmentExists(file_.verGuid));

  // An unreadable source of an item the index does not know fails clearly
  // and leaves nothing behind: not the copy, nor the damaged source.
  const index_iface_props stray = strayProps();
  const guid_t from = fakeGuid('a');
  FileHeaderData data;
  CXFileHeader header;
  validRecords(data, header, stray.objGuid, from);
  ASSERT_OK(makeSegment(*store_, from,
                        {{SECTION_HEADER, bytesOf(data)}, {SECTION_ATTRIBUTE, bytesOf(header)}}));
  const guid_t other = fakeGuid('c');
  cache_->setFaults(fault);
  LogCapture log;
  index_iface_props props = stray;
  CZnError err = store_->copySegment(from, other, props, false);
  cache_->clearFaults();
  EXPECT_TRUE(log.contains("Error: Can't read sections when copying from [" + from + "]", -1))
      << log.dump();
  ASSERT_FALSE(err.ok());
  EXPECT_EQ(err.errNo(), ENOENT);
  EXPECT_NE(err.chain().find("Error: Can't restore file header: [" + from + "]"), std::string::npos)
      << err.chain();
  EXPECT_FALSE(segmentExists(other));
  EXPECT_FALSE(segmentExists(from));
  EXPECT_EQ(store_->recoveredSegs(), 2u);
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
