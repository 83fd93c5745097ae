// Extent I/O: mapping byte ranges onto extent segments, never-written bytes,
// copies into a new version, the extent map after a reopen, and the backup
// decision of the write path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/OpenFileInfo.h"
#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::LogCapture;
using test::pattern;
using test::sameBytes;

constexpr int64_t kNow = 1600000000;
constexpr uint64_t MiB = 1048576;

class ExtentIoTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
    openLiveStore();
  }
};

TEST_F(ExtentIoTest, WriteBeyondEndOfEmptyFileCreatesOnlyThatExtent) {
  ItemName item = createFile("/sparse");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  writeAt(*store_, handle, "0123456789", 3 * MiB);

  for (uint64_t n = 0; n < 3; ++n)
    EXPECT_FALSE(segmentExists(*store_, fileToExtentGuid(item.verGuid, n))) << n;
  EXPECT_TRUE(sameBytes(dataSection(*store_, fileToExtentGuid(item.verGuid, 3)), "0123456789"));
  EXPECT_EQ(handle.info->emptyRange, Range(0, 3));
  EXPECT_EQ(handle.info->size, 3 * MiB + 10);
  EXPECT_EQ(handle.info->extents.size(), 1u);

  // The write put size and empty range into the header at once.
  FileHeaderData data;
  CXFileHeader header;
  readRecords(*store_, item.verGuid, data, header);
  EXPECT_EQ(header.size, 3 * MiB + 10);
  EXPECT_EQ(data.emptyRange, Range(0, 3));

  const std::string head = readAt(*store_, handle, 0, 3 * MiB);
  EXPECT_TRUE(sameBytes(head, std::string(3 * MiB, '\0')));
  EXPECT_TRUE(
      sameBytes(readAt(*store_, handle, 3 * MiB - 2, 100), std::string(2, '\0') + "0123456789"));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, WriteSpanningTwoExtentsWritesTwoSegmentsAndUpdatesSizeOnce) {
  ItemName item = createFile("/span");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  const std::string bytes = pattern(1000, 7);
  cache_->resetCounts();
  index().resetCounts();
  writeAt(*store_, handle, bytes, MiB - 400);

  // Two data writes and one header write; one index update of the size.
  EXPECT_EQ(cache_->writeCalls.load(), 3);
  EXPECT_EQ(index().updateCalls.load(), 1);
  EXPECT_EQ(index().addCalls.load(), 2);  // one record per new extent

  const std::string first = dataSection(*store_, fileToExtentGuid(item.verGuid, 0));
  ASSERT_EQ(first.size(), MiB);
  EXPECT_TRUE(sameBytes(first.substr(0, MiB - 400), std::string(MiB - 400, '\0')));
  EXPECT_TRUE(sameBytes(first.substr(MiB - 400), bytes.substr(0, 400)));
  EXPECT_TRUE(
      sameBytes(dataSection(*store_, fileToExtentGuid(item.verGuid, 1)), bytes.substr(400)));
  EXPECT_EQ(handle.info->size, MiB + 600);
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, MiB - 400, 1000), bytes));

  index_iface_browse_fields fields;
  fields.guid = item.objGuid;
  index_iface_props props;
  ASSERT_EQ(index().find_by_guid(fields, props), 0);
  EXPECT_EQ(props.size, static_cast<int64_t>(MiB + 600));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, ReadAtOrPastEndDeliversNothingAndNearEndDeliversTheRest) {
  ItemName item = createFile("/short");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  const std::string bytes = pattern(100, 3);
  writeAt(*store_, handle, bytes, 0);

  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 100, 50), ""));
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 5 * MiB, 50), ""));
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 90, 100), bytes.substr(90)));
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 0, 0), ""));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, ShortDataSectionIsFollowedByZeros) {
  ItemName item = createFile("/holes");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  const std::string bytes = pattern(40, 9);
  writeAt(*store_, handle, bytes, 0);
  writeAt(*store_, handle, "tail", MiB);  // the file now reaches into extent 1

  std::string buf(100, '\x5a');
  uint64_t len = 100;
  ASSERT_OK(store_->readExtent(handle, 0, buf.data(), len, 0));
  EXPECT_EQ(len, 100u);
  EXPECT_EQ(buf, bytes + std::string(60, '\0'));

  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 0, 100), bytes + std::string(60, '\0')));
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, MiB - 2, 10), std::string(2, '\0') + "tail"));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, FirstWriteAfterNewVersionCopiesTheOlderExtent) {
  ItemName item = createFile("/versions");
  const std::string original = pattern(3000, 1);
  {
    FileHandle handle;
    openFile(*store_, handle, item.objGuid);
    writeAt(*store_, handle, original, 0);
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  }
  const guid_t oldSegment = fileToExtentGuid(item.verGuid, 0);

  clock_->advanceSec(10);
  FileHandle handle;
  openFile(*store_, handle, item.objGuid, O_RDWR, true);
  const guid_t newVersion = handle.name.verGuid;
  ASSERT_NE(newVersion, item.verGuid);
  writeAt(*store_, handle, "NEW", 100);

  std::string expected = original;
  expected.replace(100, 3, "NEW");
  const guid_t newSegment = fileToExtentGuid(newVersion, 0);
  EXPECT_TRUE(sameBytes(dataSection(*store_, newSegment), expected));
  EXPECT_TRUE(sameBytes(dataSection(*store_, oldSegment), original));
  EXPECT_EQ(handle.info->extents.at(fileToExtentGuid(item.objGuid, 0)).verGuid, newSegment);
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 0, 3000), expected));

  // The copy renamed its header after the new version.
  FileHeaderData data;
  CXFileHeader header;
  readRecords(*store_, newSegment, data, header);
  EXPECT_EQ(header.getName(), fileToExtentGuid(item.objGuid, 0) + "," + newSegment);

  // A second write into the same extent writes in place: no further copy.
  cache_->resetCounts();
  writeAt(*store_, handle, "xy", 0);
  EXPECT_EQ(cache_->createCalls.load(), 0);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, ExtentMapIsRebuiltFromHeadersAndFromTheIndex) {
  ItemName item = createFile("/durable");
  const std::string a = pattern(5000, 2);
  const std::string b = pattern(700, 5);
  {
    FileHandle handle;
    openFile(*store_, handle, item.objGuid);
    writeAt(*store_, handle, a, 10);
    writeAt(*store_, handle, b, 2 * MiB + 3);
    // Extent 1 was skipped after the file had data: known empty.
    EXPECT_EQ(handle.info->emptyRange, Range(1, 2));
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  }
  auto check = [&](ObjectStore& store) {
    FileHandle handle;
    openFile(store, handle, item.objGuid, O_RDONLY);
    EXPECT_EQ(handle.info->size, 2 * MiB + 703);
    EXPECT_TRUE(sameBytes(readAt(store, handle, 10, 5000), a));
    EXPECT_TRUE(sameBytes(readAt(store, handle, MiB, 1000), std::string(1000, '\0')));
    EXPECT_TRUE(sameBytes(readAt(store, handle, 2 * MiB, 703), std::string(3, '\0') + b));
    ASSERT_OK(store.close(handle, CLIENT_CLOSE));
  };
  {
    // Same store: the local headers answer; the index is not asked.
    LogCapture logs(5);
    check(*store_);
    EXPECT_TRUE(logs.contains("fillFileExtents complete")) << logs.dump();
    EXPECT_EQ(logs.countContaining("browsing extents for"), 0u);
  }

  closeStore(*store_);
  store_ = openStore(liveConfig());
  ASSERT_NE(store_, nullptr);
  {
    // A new store has no cached extent locations: the index gives them.
    LogCapture logs(5);
    check(*store_);
    EXPECT_TRUE(logs.contains("browsed [2] extents, ignored [0] for [" + item.objGuid + "]"))
        << logs.dump();
  }
}

TEST_F(ExtentIoTest, ReadOnlyStoreRefusesWritesButReads) {
  ItemName item = createFile("/ro");
  {
    FileHandle handle;
    openFile(*store_, handle, item.objGuid);
    writeAt(*store_, handle, "hello", 0);
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  }
  closeStore(*store_);
  ObjectStoreConfig config = liveConfig();
  config.readOnly = true;
  store_ = openStore(config);
  ASSERT_NE(store_, nullptr);

  FileHandle handle;
  openFile(*store_, handle, item.objGuid, O_RDONLY);
  uint64_t len = 3;
  CZnError err = store_->write(handle, "abc", len, 0, NO_SYNC);
  EXPECT_EQ(err.errNo(), EPERM);
  ItemName byGuid(item.objGuid, false);
  EXPECT_EQ(store_->truncate(byGuid, 1, false).errNo(), EPERM);
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 0, 10), "hello"));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, WriteThroughReadHandleOrClosedHandleFails) {
  ItemName item = createFile("/handles");
  FileHandle reader;
  openFile(*store_, reader, item.objGuid, O_RDONLY);
  uint64_t len = 3;
  EXPECT_EQ(store_->write(reader, "abc", len, 0, NO_SYNC).errNo(), EBADF);
  EXPECT_EQ(reader.info->size, 0u);

  FileHandle writer;
  openFile(*store_, writer, item.objGuid, O_WRONLY);
  FileHandle stale = writer;
  ASSERT_OK(store_->close(writer, CLIENT_CLOSE));
  ASSERT_OK(store_->close(reader, CLIENT_CLOSE));
  EXPECT_EQ(store_->write(stale, "abc", len, 0, NO_SYNC).errNo(), ENOENT);
  char buf[4];
  uint64_t want = 4;
  EXPECT_EQ(store_->read(stale, buf, 0, want).errNo(), ENOENT);
}

TEST_F(ExtentIoTest, ZeroLengthWriteLeavesTheSizeAlone) {
  ItemName item = createFile("/zero");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  uint64_t len = 0;
  ASSERT_OK(store_->write(handle, "", len, 5 * MiB, NO_SYNC));
  EXPECT_EQ(handle.info->size, 0u);
  EXPECT_FALSE(segmentExists(*store_, fileToExtentGuid(item.verGuid, 5)));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, SyncedWriteSyncsTheExtent) {
  ItemName item = createFile("/synced");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Sync;
  fault.errNo = EIO;
  cache_->setFaults(fault);
  uint64_t len = 4;
  // An unsynced write never reaches the sync; a synced one reports its failure.
  ASSERT_OK(store_->write(handle, "abcd", len, 0, NO_SYNC));
  CZnError err = store_->write(handle, "efgh", len, 4, DO_SYNC);
  EXPECT_EQ(err.errNo(), EIO);
  cache_->clearFaults();
  ASSERT_OK(store_->write(handle, "ijkl", len, 8, DO_SYNC));
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 0, 12), "abcdefghijkl"));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, PointInTimeWriteIsNotQueuedForBackup) {
  BackupQueue* queue = store_->backupQueue();
  ASSERT_NE(queue, nullptr);
  // A live write is handed to the backup queue...
  ItemName live = createFile("/live");
  const guid_t liveSegment = fileToExtentGuid(live.verGuid, 0);
  {
    LogCapture logs(5);
    FileHandle handle;
    openFile(*store_, handle, live.objGuid);
    writeAt(*store_, handle, "live", 0);
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
    EXPECT_EQ(logs.count("push to modified queue: [" + liveSegment + "]", 5), 1u) << logs.dump();
    EXPECT_EQ(logs.countContaining("skipping backup for"), 0u);
    EXPECT_EQ(logs.countContaining("not queued for backup"), 0u);
  }
  EXPECT_TRUE(queue->isInQueue(liveSegment));

  // ...a write in a point-in-time view is not.
  clock_->advanceSec(100);
  const uint64_t snapshot = static_cast<uint64_t>(kNow + 50);
  ObjectStore* view = openStore(pitConfig(snapshot, "pit1"));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->backupQueue(), nullptr);
  ItemName item = createFile(*view, "/pitfile");
  const guid_t segment = fileToExtentGuid(item.verGuid, 0);
  {
    LogCapture logs(5);
    FileHandle handle;
    openFile(*view, handle, item.objGuid);
    writeAt(*view, handle, "data", 0);
    EXPECT_TRUE(logs.contains(
        "skipping backup for [" + segment +
        "]: readOnly=0 discardWrites=0 filtered=0 snaptime=" + std::to_string(snapshot)))
        << logs.dump();
    EXPECT_EQ(logs.countContaining("push to modified queue"), 0u) << logs.dump();
    EXPECT_EQ(logs.countContaining("not queued for backup"), 0u);
    EXPECT_TRUE(sameBytes(readAt(*view, handle, 0, 4), "data"));
    ASSERT_OK(view->close(handle, CLIENT_CLOSE));
  }
  EXPECT_FALSE(queue->isInQueue(segment));

  // Nor is one in a view that discards its writes.
  ObjectStore* scratch = openStore(pitConfig(snapshot, "scratch", true));
  ASSERT_NE(scratch, nullptr);
  EXPECT_EQ(scratch->backupQueue(), nullptr);
  ItemName local = createFile(*scratch, "/scratchfile");
  const guid_t scratchSegment = fileToExtentGuid(local.verGuid, 0);
  {
    LogCapture logs(5);
    FileHandle handle;
    openFile(*scratch, handle, local.objGuid);
    writeAt(*scratch, handle, "gone", 0);
    EXPECT_TRUE(logs.contains(
        "skipping backup for [" + scratchSegment +
        "]: readOnly=0 discardWrites=1 filtered=0 snaptime=" + std::to_string(snapshot)))
        << logs.dump();
    EXPECT_EQ(logs.countContaining("push to modified queue"), 0u) << logs.dump();
    ASSERT_OK(scratch->close(handle, CLIENT_CLOSE));
  }
  EXPECT_FALSE(queue->isInQueue(scratchSegment));
  // The live write is still waiting for its backup.
  EXPECT_TRUE(queue->isInQueue(liveSegment));
}

TEST_F(ExtentIoTest, DiscardWritesViewKeepsExtentsOutOfTheIndex) {
  ObjectStore* view = openStore(pitConfig(static_cast<uint64_t>(kNow), "scratch", true));
  ASSERT_NE(view, nullptr);
  ItemName item = createFile(*view, "/local");
  index().resetCounts();
  FileHandle handle;
  openFile(*view, handle, item.objGuid);
  writeAt(*view, handle, pattern(64, 4), 2 * MiB);
  EXPECT_EQ(index().addCalls.load(), 0);
  EXPECT_EQ(index().updateCalls.load(), 0);
  // Known locally across restarts: the version cache keeps it persistently.
  guid_t segment;
  ASSERT_OK(view->versionCache().findData(fileToExtentGuid(item.objGuid, 2), segment));
  EXPECT_EQ(segment, fileToExtentGuid(item.verGuid, 2));
  EXPECT_TRUE(sameBytes(readAt(*view, handle, 2 * MiB, 64), pattern(64, 4)));
  ASSERT_OK(view->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, EmptyRangeShrinksAndSplitsAsExtentsAreWritten) {
  ItemName item = createFile("/ranges");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  writeAt(*store_, handle, "x", 6 * MiB);
  EXPECT_EQ(handle.info->emptyRange, Range(0, 6));
  writeAt(*store_, handle, "s", 0);  // at the start
  EXPECT_EQ(handle.info->emptyRange, Range(1, 6));
  writeAt(*store_, handle, "e", 5 * MiB);  // at the end
  EXPECT_EQ(handle.info->emptyRange, Range(1, 5));
  writeAt(*store_, handle, "m", 3 * MiB);  // in between: the part above is given up
  EXPECT_EQ(handle.info->emptyRange, Range(1, 3));
  writeAt(*store_, handle, "y", 9 * MiB);  // a valid range is never widened
  EXPECT_EQ(handle.info->emptyRange, Range(1, 3));
  writeAt(*store_, handle, "1", MiB);
  writeAt(*store_, handle, "2", 2 * MiB);
  EXPECT_FALSE(handle.info->emptyRange.isValid());

  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 4 * MiB, 2), std::string(2, '\0')));
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 3 * MiB, 1), "m"));
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 9 * MiB, 1), "y"));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, WriteFillingSeveralExtentsFromTheStartClaimsNoEmptyRange) {
  // Every extent of this write holds data; none of them may be taken for a
  // hole, or a later shrink would make the file read as zeros.
  ItemName item = createFile("/whole");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  const std::string bytes = pattern(3 * MiB, 8);
  writeAt(*store_, handle, bytes, 0);
  EXPECT_FALSE(handle.info->emptyRange.isValid());
  writeAt(*store_, handle, bytes.substr(0, 2 * MiB), 5 * MiB);  // two extents past a hole
  EXPECT_EQ(handle.info->emptyRange, Range(3, 5));
  ASSERT_OK(store_->_truncate(handle, MiB / 2, false));
  EXPECT_TRUE(sameBytes(readAt(*store_, handle, 0, MiB), bytes.substr(0, MiB / 2)));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST(EmptyRangeTest, NeverClaimsAnExtentAConcurrentWriteIsFilling) {
  // Writer A has put extent 0 into the map and is still writing it (the
  // size is not updated before its write ends) when writer B finishes
  // extent 2: only extent 1 is known to be empty.
  OpenFileInfo info;
  info.extentSize = MiB;
  FileHandle handle;
  handle.info = &info;
  index_iface_props filling;
  filling.extentNumber = 0;
  info.extents[fileToExtentGuid(test::fakeGuid('a'), 0)] = filling;
  info.lock.enter();
  updateEmptyRange(test::fakeGuid('a'), handle, 2);
  EXPECT_EQ(info.emptyRange, Range(1, 2));
  EXPECT_TRUE(info.sizeChanged);
  // Right above an extent in the map there is no hole to record.
  info.emptyRange.reset();
  info.extents[fileToExtentGuid(test::fakeGuid('a'), 4)] = index_iface_props();
  info.extents[fileToExtentGuid(test::fakeGuid('a'), 4)].extentNumber = 4;
  updateEmptyRange(test::fakeGuid('a'), handle, 5);
  EXPECT_FALSE(info.emptyRange.isValid());
  info.lock.leave();
}

TEST_F(ExtentIoTest, MissingExtentSegmentFailsTheReadWithAClearError) {
  ItemName item = createFile("/lost");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  writeAt(*store_, handle, "gone soon", 0);
  const guid_t extentVersion = fileToExtentGuid(item.verGuid, 0);
  // Never backed up: the index knows no place in the backup to bring it
  // back from.
  ASSERT_OK(
      cache_->DiskCache::deleteSegment(store_->diskCacheContext(), extentVersion, false, false, 0));
  LogCapture logs(5);
  std::string buf(9, '\x5a');
  uint64_t len = buf.size();
  CZnError err = store_->read(handle, buf.data(), 0, len);
  EXPECT_EQ(err.errNo(), ENOENT);
  EXPECT_EQ(len, 0u);
  EXPECT_TRUE(logs.contains("Incomplete extent props -1 -1", -1)) << logs.dump();
  EXPECT_TRUE(logs.contains("[share_42] Error: Can't restore segment [" + extentVersion + "]", -1))
      << logs.dump();
  EXPECT_FALSE(segmentExists(extentVersion));
  // Writing into it can't bring the lost bytes back either.
  len = 1;
  EXPECT_EQ(store_->write(handle, "x", len, 3, NO_SYNC).errNo(), ENOENT);
  EXPECT_FALSE(segmentExists(extentVersion));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, MissingExtentSegmentThatWasBackedUpIsReadBack) {
  ScopedBackupTarget target(*this);
  ItemName item = createFile("/kept");
  const std::string bytes = pattern(5000, 9);
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  writeAt(*store_, handle, bytes, 100);
  const guid_t extentVersion = fileToExtentGuid(item.verGuid, 0);
  ASSERT_NO_FATAL_FAILURE(backUp(*store_, {extentVersion}));
  ASSERT_OK(
      cache_->DiskCache::deleteSegment(store_->diskCacheContext(), extentVersion, false, false, 0));
  ASSERT_FALSE(segmentExists(extentVersion));

  EXPECT_TRUE(sameBytes(readAt(handle, 0, 5100), std::string(100, '\0') + bytes));
  EXPECT_TRUE(segmentExists(extentVersion));
  // The restored extent takes writes like any other.
  writeAt(handle, "new", 200);
  std::string expected = std::string(100, '\0') + bytes;
  expected.replace(200, 3, "new");
  EXPECT_TRUE(sameBytes(readAt(handle, 0, 5100), expected));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(ExtentIoTest, FailedDataWriteLeavesTheSizeUnchanged) {
  ItemName item = createFile("/faulty");
  FileHandle handle;
  openFile(*store_, handle, item.objGuid);
  writeAt(*store_, handle, "base", 0);
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Write;
  fault.nth = 2;  // the second extent of the next write
  fault.errNo = ENOSPC;
  cache_->setFaults(fault);
  const std::string bytes = pattern(200, 6);
  uint64_t len = bytes.size();
  CZnError err = store_->write(handle, bytes.data(), len, MiB - 100, NO_SYNC);
  cache_->clearFaults();
  EXPECT_EQ(err.errNo(), ENOSPC);
  EXPECT_EQ(handle.info->size, 4u);
  // The first extent's part was written and stays.
  EXPECT_TRUE(sameBytes(dataSection(*store_, fileToExtentGuid(item.verGuid, 0)).substr(MiB - 100),
                        bytes.substr(0, 100)));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

}  // namespace
}  // namespace ObjectStore
