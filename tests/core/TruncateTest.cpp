// File size, truncate and fsync: which extents go, which are cut, what a
// grown file reads, what older versions keep, reviving truncated extents,
// and what fsync makes durable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "ObjectStore/OpenFileInfo.h"
#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::LogCapture;
using test::pattern;
using test::sameBytes;

constexpr int64_t kNow = 1600000000;
constexpr uint64_t MiB = 1048576;

class TruncateTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
    openLiveStore();
  }

  // The whole file through a fresh read handle.
  std::string readFileContent(const guid_t& objGuid) {
    FileHandle handle;
    ItemName byGuid(objGuid, false);
    CZnError err = store_->open(handle, byGuid, O_RDONLY, false);
    EXPECT_TRUE(err.ok()) << err.text();
    if (!err.ok()) return std::string();
    std::string content = readAt(handle, 0, handle.info->size);
    EXPECT_OK(store_->close(handle, CLIENT_CLOSE));
    return content;
  }
  // A file of `size` pattern bytes written through one handle and closed.
  std::string makeFile(const ItemName& item, uint64_t size, unsigned seed) {
    const std::string bytes = pattern(size, seed);
    FileHandle handle;
    openFile(handle, item.objGuid);
    writeAt(handle, bytes, 0);
    EXPECT_OK(store_->close(handle, CLIENT_CLOSE));
    return bytes;
  }
  uint64_t dataSize(const std::string& name) {
    uint64_t size = 0;
    EXPECT_OK(
        cache_->DiskCache::getSectionSize(size, store_->diskCacheContext(), name, SECTION_DATA, 0));
    return size;
  }
  uint64_t headerSize(const guid_t& segment) {
    FileHeaderData data;
    CXFileHeader header;
    readRecords(segment, data, header);
    return header.size;
  }
  // The extent's record in the index as of now; errno of the lookup.
  int findExtent(const guid_t& extentGuid, index_iface_props& props) {
    index_iface_browse_fields fields;
    fields.guid = extentGuid;
    return index().find_by_guid(fields, props);
  }
  uint64_t syncCount() {
    std::map<std::string, std::string> counters;
    cache_->getCounters(counters);
    return std::stoull(counters.at("diskCache.syncs"));
  }
};

TEST_F(TruncateTest, ShrinkRemovesWholeExtentsAndCutsTheLastOne) {
  ItemName item = createFile("/five");
  const std::string bytes = makeFile(item, 5 * MiB, 1);
  ItemName byGuid(item.objGuid, false);
  ASSERT_OK(store_->truncate(byGuid, 5 * MiB / 2, false));

  EXPECT_TRUE(segmentExists(fileToExtentGuid(item.verGuid, 0)));
  EXPECT_TRUE(segmentExists(fileToExtentGuid(item.verGuid, 1)));
  EXPECT_EQ(dataSize(fileToExtentGuid(item.verGuid, 2)), MiB / 2);
  EXPECT_FALSE(segmentExists(fileToExtentGuid(item.verGuid, 3)));
  EXPECT_FALSE(segmentExists(fileToExtentGuid(item.verGuid, 4)));
  EXPECT_EQ(headerSize(item.verGuid), 5 * MiB / 2);

  index_iface_props props;
  EXPECT_EQ(findExtent(fileToExtentGuid(item.objGuid, 3), props), ENOENT);
  EXPECT_EQ(findExtent(fileToExtentGuid(item.objGuid, 2), props), 0);
  index_iface_browse_fields fields;
  fields.guid = item.objGuid;
  ASSERT_EQ(index().find_by_guid(fields, props), 0);
  EXPECT_EQ(props.size, static_cast<int64_t>(5 * MiB / 2));

  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid), bytes.substr(0, 5 * MiB / 2)));
}

TEST_F(TruncateTest, TruncateToZeroRemovesEveryExtent) {
  ItemName item = createFile("/zero");
  (void)makeFile(item, 2 * MiB + 5, 2);
  cache_->resetCounts();
  ItemName byGuid(item.objGuid, false);
  ASSERT_OK(store_->truncate(byGuid, 0, false));
  for (uint64_t n = 0; n < 3; ++n) EXPECT_FALSE(segmentExists(fileToExtentGuid(item.verGuid, n)));
  EXPECT_EQ(headerSize(item.verGuid), 0u);
  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid), ""));
}

TEST_F(TruncateTest, GrowingAnUnwrittenFileReadsZerosAndCreatesNoSegment) {
  ItemName item = createFile("/grown");
  cache_->resetCounts();
  ItemName byGuid(item.objGuid, false);
  ASSERT_OK(store_->truncate(byGuid, 3 * MiB + 5, false));
  EXPECT_EQ(cache_->createCalls.load(), 0);
  for (uint64_t n = 0; n < 4; ++n) EXPECT_FALSE(segmentExists(fileToExtentGuid(item.verGuid, n)));

  FileHeaderData data;
  CXFileHeader header;
  readRecords(item.verGuid, data, header);
  EXPECT_EQ(header.size, 3 * MiB + 5);
  EXPECT_EQ(data.emptyRange, Range(0, 4));

  // Never-written bytes read as zeros up to the size, not as nothing.
  FileHandle handle;
  openFile(handle, item.objGuid, O_RDONLY);
  EXPECT_TRUE(sameBytes(readAt(handle, MiB, 100), std::string(100, '\0')));
  EXPECT_TRUE(sameBytes(readAt(handle, 3 * MiB, 100), std::string(5, '\0')));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid), std::string(3 * MiB + 5, '\0')));

  // Shrinking it again keeps it a file of zeros without segments.
  ASSERT_OK(store_->truncate(byGuid, 100, false));
  readRecords(item.verGuid, data, header);
  EXPECT_EQ(data.emptyRange, Range(0, 1));
  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid), std::string(100, '\0')));
}

TEST_F(TruncateTest, GrownRegionOfAWrittenFileReadsZeros) {
  ItemName item = createFile("/regrow");
  const std::string bytes = makeFile(item, MiB + 100, 3);
  ItemName byGuid(item.objGuid, false);
  // Cut into extent 0 and drop extent 1, then grow back over both.
  ASSERT_OK(store_->truncate(byGuid, 50, false));
  ASSERT_OK(store_->truncate(byGuid, 2 * MiB, false));
  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid),
                        bytes.substr(0, 50) + std::string(2 * MiB - 50, '\0')));

  // The same while a handle keeps the extent map alive across both calls.
  FileHandle handle;
  openFile(handle, item.objGuid);
  writeAt(handle, bytes, 0);
  ASSERT_OK(store_->_truncate(handle, 70, false));
  ASSERT_OK(store_->_truncate(handle, MiB + 100, false));
  EXPECT_TRUE(
      sameBytes(readAt(handle, 0, MiB + 100), bytes.substr(0, 70) + std::string(MiB + 30, '\0')));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));

  // And after the store forgot everything it cached.
  closeStore(*store_);
  store_ = openStore(liveConfig());
  ASSERT_NE(store_, nullptr);
  EXPECT_TRUE(
      sameBytes(readFileContent(item.objGuid), bytes.substr(0, 70) + std::string(MiB + 30, '\0')));
}

TEST_F(TruncateTest, TruncateToTheSameSizeChangesNothing) {
  ItemName item = createFile("/same");
  const std::string bytes = makeFile(item, MiB + 10, 4);
  const auto before = readAllRaw(*store_, item.verGuid);
  cache_->resetCounts();
  index().resetCounts();
  ItemName byGuid(item.objGuid, false);
  ASSERT_OK(store_->truncate(byGuid, MiB + 10, false));
  EXPECT_EQ(cache_->writeCalls.load(), 0);
  EXPECT_EQ(cache_->deleteCalls.load(), 0);
  EXPECT_EQ(index().updateCalls.load(), 0);
  const auto after = readAllRaw(*store_, item.verGuid);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i].data, before[i].data) << i;
  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid), bytes));
}

TEST_F(TruncateTest, NewVersionWhileAnotherHandleWritesUsesTheCurrentVersion) {
  ItemName item = createFile("/busy");
  FileHandle writer;
  openFile(writer, item.objGuid);
  const std::string bytes = pattern(2 * MiB, 5);
  writeAt(writer, bytes, 0);

  LogCapture logs(5);
  clock_->advanceSec(100);
  ItemName byGuid(item.objGuid, false);
  ASSERT_OK(store_->truncate(byGuid, MiB, true));
  EXPECT_EQ(logs.countContaining("Truncating while writing"), 1u) << logs.dump();
  guid_t latest;
  ASSERT_OK(store_->getLatestVersion(item.objGuid, latest));
  EXPECT_EQ(latest, item.verGuid);
  // The truncate went into the version being written.
  EXPECT_FALSE(segmentExists(fileToExtentGuid(item.verGuid, 1)));
  EXPECT_EQ(writer.info->size, MiB);
  EXPECT_TRUE(sameBytes(readAt(writer, 0, 2 * MiB), bytes.substr(0, MiB)));

  // The removed extent, written again, holds only the new bytes.
  writeAt(writer, "again", MiB + 10);
  EXPECT_TRUE(
      sameBytes(dataSection(fileToExtentGuid(item.verGuid, 1)), std::string(10, '\0') + "again"));
  ASSERT_OK(store_->close(writer, CLIENT_CLOSE));
}

TEST_F(TruncateTest, CutOfAnOlderVersionsExtentCopiesItFirst) {
  ItemName item = createFile("/history");
  const std::string bytes = makeFile(item, 3 * MiB, 6);
  const guid_t v1 = item.verGuid;

  clock_->advanceSec(100);
  ItemName byGuid(item.objGuid, false);
  ASSERT_OK(store_->truncate(byGuid, 3 * MiB / 2, true));
  guid_t v2;
  ASSERT_OK(store_->getLatestVersion(item.objGuid, v2));
  ASSERT_NE(v2, v1);

  // The older version keeps every byte.
  EXPECT_TRUE(sameBytes(dataSection(fileToExtentGuid(v1, 1)), bytes.substr(MiB, MiB)));
  EXPECT_EQ(dataSize(fileToExtentGuid(v1, 2)), MiB);
  // The cut went into a copy in the new version.
  EXPECT_TRUE(sameBytes(dataSection(fileToExtentGuid(v2, 1)), bytes.substr(MiB, MiB / 2)));
  EXPECT_FALSE(segmentExists(fileToExtentGuid(v2, 0)));
  EXPECT_FALSE(segmentExists(fileToExtentGuid(v2, 2)));
  EXPECT_EQ(headerSize(v2), 3 * MiB / 2);
  EXPECT_EQ(headerSize(v1), 3 * MiB);

  index_iface_props props;
  ASSERT_EQ(findExtent(fileToExtentGuid(item.objGuid, 1), props), 0);
  EXPECT_EQ(props.verGuid, fileToExtentGuid(v2, 1));
  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid), bytes.substr(0, 3 * MiB / 2)));
}

TEST_F(TruncateTest, WriteAfterTruncateRevivesTheRemovedExtent) {
  ItemName item = createFile("/revive");
  FileHandle handle;
  openFile(handle, item.objGuid);
  writeAt(handle, pattern(3 * MiB, 7), 0);
  ASSERT_OK(store_->_truncate(handle, MiB, false));
  const guid_t segment = fileToExtentGuid(item.verGuid, 2);
  EXPECT_FALSE(segmentExists(segment));
  EXPECT_EQ(handle.info->deletedExtents.count(segment), 1u);
  index_iface_props props;
  EXPECT_EQ(findExtent(fileToExtentGuid(item.objGuid, 2), props), ENOENT);

  writeAt(handle, "revived", 2 * MiB + 5);
  EXPECT_EQ(handle.info->deletedExtents.count(segment), 0u);
  EXPECT_TRUE(sameBytes(dataSection(segment), std::string(5, '\0') + "revived"));
  ASSERT_EQ(findExtent(fileToExtentGuid(item.objGuid, 2), props), 0);
  EXPECT_EQ(props.verGuid, segment);
  EXPECT_TRUE(sameBytes(readAt(handle, MiB - 1, MiB + 13),
                        pattern(MiB, 7).substr(MiB - 1) + std::string(MiB + 5, '\0') + "revived"));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(TruncateTest, WriteAfterTruncateOfAClosedFileRevivesTheExtentToo) {
  ItemName item = createFile("/revive2");
  (void)makeFile(item, 2 * MiB, 8);
  ItemName byGuid(item.objGuid, false);
  ASSERT_OK(store_->truncate(byGuid, MiB, false));

  // The truncate's open record is gone; the index still knows the segment
  // as deleted and must not be asked to record it a second time.
  FileHandle handle;
  openFile(handle, item.objGuid);
  writeAt(handle, "back", MiB + 1);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  const guid_t segment = fileToExtentGuid(item.verGuid, 1);
  EXPECT_TRUE(sameBytes(dataSection(segment), std::string(1, '\0') + "back"));
  index_iface_props props;
  ASSERT_EQ(findExtent(fileToExtentGuid(item.objGuid, 1), props), 0);
  EXPECT_EQ(props.verGuid, segment);

  closeStore(*store_);
  store_ = openStore(liveConfig());
  ASSERT_NE(store_, nullptr);
  const std::string content = readFileContent(item.objGuid);
  EXPECT_TRUE(sameBytes(content.substr(MiB), std::string(1, '\0') + "back"));
}

TEST_F(TruncateTest, DiscardWritesViewTruncatesLocallyAndKeepsRevivedExtentsAcrossRestart) {
  const ObjectStoreConfig viewConfig = pitConfig(static_cast<uint64_t>(kNow), "scratch", true);
  ObjectStore* view = openStore(viewConfig);
  ASSERT_NE(view, nullptr);
  ItemName item;
  ASSERT_OK(view->createNewItem(item, "/local", FileAttribs{0644, 1, 2}, view->getRootGuid(),
                                FILE_TYPE_REGULAR, "", true));
  const std::string bytes = pattern(2 * MiB, 11);
  {
    FileHandle handle;
    ItemName byGuid(item.objGuid, false);
    ASSERT_OK(view->open(handle, byGuid, O_RDWR, false));
    uint64_t len = bytes.size();
    ASSERT_OK(view->write(handle, bytes.data(), len, 0, NO_SYNC));
    index().resetCounts();
    ASSERT_OK(view->_truncate(handle, MiB / 2, false));
    guid_t deletedVersion;
    EXPECT_TRUE(view->deletedSegments().read(fileToExtentGuid(item.objGuid, 1), deletedVersion));
    EXPECT_EQ(deletedVersion, fileToExtentGuid(item.verGuid, 1));
    len = 2;
    ASSERT_OK(view->write(handle, "zz", len, MiB + 2, NO_SYNC));
    EXPECT_FALSE(view->deletedSegments().exists(fileToExtentGuid(item.objGuid, 1)));
    ASSERT_OK(view->close(handle, CLIENT_CLOSE));
    // Nothing of this reached the share's index.
    EXPECT_EQ(index().addCalls.load() + index().updateCalls.load() + index().deleteCalls.load(), 0);
  }
  const std::string expected = bytes.substr(0, MiB / 2) + std::string(MiB / 2 + 2, '\0') + "zz";
  closeStore(*view);
  view = openStore(viewConfig);
  ASSERT_NE(view, nullptr);
  FileHandle handle;
  ItemName byGuid(item.objGuid, false);
  ASSERT_OK(view->open(handle, byGuid, O_RDONLY, false));
  std::string content(handle.info->size, '\x5a');
  uint64_t len = content.size();
  ASSERT_OK(view->read(handle, content.data(), 0, len));
  EXPECT_TRUE(sameBytes(content, expected));
  ASSERT_OK(view->close(handle, CLIENT_CLOSE));
}

TEST_F(TruncateTest, BackupFilteredFileKeepsItsLocalExtentsThroughTruncateAndRestart) {
  closeStore(*store_);
  ObjectStoreConfig filteredConfig = liveConfig();
  filteredConfig.backupFilter = ".tmp";
  store_ = openStore(filteredConfig);
  ASSERT_NE(store_, nullptr);
  ItemName item = createFile("/scratch.tmp");
  const std::string bytes = pattern(2 * MiB, 12);
  index().resetCounts();
  {
    FileHandle handle;
    openFile(handle, item.objGuid);
    ASSERT_TRUE(handle.info->filtered);
    writeAt(handle, bytes, 0);
    ASSERT_OK(store_->_truncate(handle, MiB / 2, false));  // extent 1 goes
    writeAt(handle, "zz", MiB + 2);                        // and comes back
    ASSERT_OK(store_->_truncate(handle, 4 * MiB, false));  // holes the range does not cover
    writeAt(handle, "yy", 3 * MiB + 2);
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  }
  // The file's extents never reach the index; only its size does.
  EXPECT_EQ(index().addCalls.load(), 0);
  EXPECT_EQ(index().deleteCalls.load(), 0);

  std::string expected = bytes.substr(0, MiB / 2) + std::string(7 * MiB / 2, '\0');
  expected.replace(MiB + 2, 2, "zz");
  expected.replace(3 * MiB + 2, 2, "yy");
  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid), expected));
  // A restarted store misses extent 2 locally and asks the index, which
  // knows none of this file's extents: the local ones must still count.
  closeStore(*store_);
  store_ = openStore(filteredConfig);
  ASSERT_NE(store_, nullptr);
  LogCapture logs(5);
  EXPECT_TRUE(sameBytes(readFileContent(item.objGuid), expected));
  EXPECT_EQ(logs.countContaining("Adding local ["), 3u) << logs.dump();
}

TEST_F(TruncateTest, TruncateErrors) {
  ItemName missing(test::fakeGuid('e'), false);
  EXPECT_EQ(store_->truncate(missing, 10, false).errNo(), ENOENT);

  ItemName dir;
  ASSERT_OK(store_->createNewItem(dir, "/dir", FileAttribs{0755, 0, 0}, store_->getRootGuid(),
                                  FILE_TYPE_DIRECTORY, "", false));
  ItemName dirByGuid(dir.objGuid, false);
  EXPECT_EQ(store_->truncate(dirByGuid, 4096, false).errNo(), EISDIR);

  ItemName item = createFile("/ro");
  FileHandle reader;
  openFile(reader, item.objGuid, O_RDONLY);
  EXPECT_EQ(store_->_truncate(reader, 10, false).errNo(), EBADF);
  ASSERT_OK(store_->close(reader, CLIENT_CLOSE));
}

// The shorter size is recorded before any extent goes; a cut that fails
// after that leaves the new content, and the file does not grow over the
// bytes it could not drop.
TEST_F(TruncateTest, FailedCutKeepsTheShorterSizeAndGrowthReadsZeros) {
  ItemName item = createFile("/cutfail");
  const std::string bytes = makeFile(item, 2 * MiB, 9);
  FileHandle handle;
  openFile(handle, item.objGuid);
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Truncate;  // the tail of the extent that is kept
  fault.errNo = EIO;
  cache_->setFaults(fault);
  EXPECT_EQ(store_->_truncate(handle, MiB / 2, false).errNo(), EIO);
  cache_->clearFaults();
  EXPECT_EQ(handle.info->size, MiB / 2);
  EXPECT_TRUE(sameBytes(readAt(handle, 0, 2 * MiB), bytes.substr(0, MiB / 2)));
  // Growing again shows zeros past the cut, not the bytes that were there.
  ASSERT_OK(store_->_truncate(handle, MiB, false));
  EXPECT_TRUE(sameBytes(readAt(handle, 0, 2 * MiB),
                        bytes.substr(0, MiB / 2) + std::string(MiB / 2, '\0')));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));

  // The same through a write past the end.
  ItemName other = createFile("/cutfail2");
  const std::string otherBytes = makeFile(other, 2 * MiB, 10);
  openFile(handle, other.objGuid);
  cache_->setFaults(fault);
  EXPECT_EQ(store_->_truncate(handle, MiB / 2, false).errNo(), EIO);
  cache_->clearFaults();
  writeAt(handle, "tail", MiB);
  EXPECT_TRUE(sameBytes(readAt(handle, 0, 2 * MiB),
                        otherBytes.substr(0, MiB / 2) + std::string(MiB / 2, '\0') + "tail"));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));

  // And the size recorded for a closed file is the shorter one.
  ItemName byGuid(item.objGuid, false);
  struct stat st {};
  ASSERT_OK(store_->getattr(byGuid, st));
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), MiB);
}

// When the shorter size can't be recorded, nothing is cut.
TEST_F(TruncateTest, ShrinkWhoseSizeCanNotBeRecordedCutsNothing) {
  ItemName item = createFile("/recordfail");
  const std::string bytes = makeFile(item, 2 * MiB, 11);
  FileHandle handle;
  openFile(handle, item.objGuid);
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Write;  // the header with the new size
  fault.errNo = EIO;
  cache_->setFaults(fault);
  EXPECT_EQ(store_->_truncate(handle, MiB / 2, false).errNo(), EIO);
  cache_->clearFaults();
  EXPECT_EQ(handle.info->size, 2 * MiB);
  EXPECT_TRUE(sameBytes(readAt(handle, 0, 2 * MiB), bytes));
  ASSERT_OK(store_->_truncate(handle, MiB / 2, false));
  EXPECT_TRUE(sameBytes(readAt(handle, 0, 2 * MiB), bytes.substr(0, MiB / 2)));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(TruncateTest, FsyncSyncsWrittenExtentsAndSkipsMissingOnes) {
  ItemName item = createFile("/sync");
  FileHandle handle;
  openFile(handle, item.objGuid);
  writeAt(handle, "only extent 1", MiB + 3);
  ASSERT_OK(store_->_truncate(handle, 3 * MiB, false));  // 3 extents, 0 and 2 never written
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));

  ItemName byGuid(item.objGuid, false);
  const uint64_t before = syncCount();
  ASSERT_OK(store_->fsync(byGuid));
  // Extent 1 and the version's own segment; extents 0 and 2 have none.
  EXPECT_EQ(syncCount() - before, 2u);

  // A failing sync is reported, not swallowed, and names the segment.
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Sync;
  fault.errNo = EIO;
  fault.persistent = true;
  cache_->setFaults(fault);
  LogCapture logs(5);
  EXPECT_EQ(store_->fsync(byGuid).errNo(), EIO);
  cache_->clearFaults();
  EXPECT_EQ(
      logs.countContaining("Error: can't sync segment [" + fileToExtentGuid(item.verGuid, 1) + "]"),
      1u)
      << logs.dump();
  for (uint64_t n : {0, 2}) {
    EXPECT_EQ(logs.countContaining("can't sync segment [" + fileToExtentGuid(item.verGuid, n)), 0u);
  }
}

TEST_F(TruncateTest, FsyncWritesAPendingSizeAndSyncsOlderVersionsExtents) {
  ItemName item = createFile("/pending");
  (void)makeFile(item, 2 * MiB, 10);
  clock_->advanceSec(100);
  FileHandle handle;
  openFile(handle, item.objGuid, O_RDWR, true);
  const guid_t v2 = handle.name.verGuid;
  ASSERT_NE(v2, item.verGuid);
  writeAt(handle, "v2", 0);
  ASSERT_OK(store_->_truncate(handle, 3 * MiB, false));  // pending until a close
  EXPECT_EQ(headerSize(v2), 2 * MiB);

  ItemName byGuid(item.objGuid, false);
  const uint64_t before = syncCount();
  ASSERT_OK(store_->fsync(byGuid));
  EXPECT_EQ(headerSize(v2), 3 * MiB);
  // Extent 0 (this version), extent 1 (still the older version's) and the
  // version segment.
  EXPECT_EQ(syncCount() - before, 3u);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(TruncateTest, FsyncRefusesDirectoriesAndUnknownItems) {
  ItemName root(store_->getRootGuid(), true);
  EXPECT_EQ(store_->fsync(root).errNo(), EINVAL);
  ItemName missing("/no/such/file");
  EXPECT_EQ(store_->fsync(missing).errNo(), ENOENT);
}

}  // namespace
}  // namespace ObjectStore
