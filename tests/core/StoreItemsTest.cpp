// New items and segments, header updates, current versions, deletes, the
// root directory and the pruning decision.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "ObjectStore/BackupQueue.h"
#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::bytesOf;
using test::fakeGuid;
using test::LogCapture;

constexpr int64_t kNow = 1600000000;

class StoreItemsTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
    openLiveStore();
  }

  std::vector<int32_t> sectionNumbers(ObjectStore& store, const guid_t& segment) {
    std::vector<int32_t> numbers;
    for (const auto& s : readAllRaw(store, segment)) numbers.push_back(s.number);
    return numbers;
  }

  ItemName createFile(const std::string& path) {
    ItemName item;
    EXPECT_OK(store_->createNewItem(item, path, FileAttribs{0640, 7, 8}, store_->getRootGuid(),
                                    FILE_TYPE_REGULAR, "", false));
    return item;
  }
};

TEST_F(StoreItemsTest, NewFileHasHeaderAttributeAndXattrSectionsOnly) {
  ItemName item = createFile("/f");
  ASSERT_EQ(item.objGuid.size(), 32u);
  ASSERT_EQ(item.verGuid.size(), 32u);
  EXPECT_NE(item.objGuid, item.verGuid);
  EXPECT_EQ(cache_->lastCreated(),
            (std::vector<std::pair<int32_t, uint64_t>>{{SECTION_HEADER, HEADER_SECTION_SIZE},
                                                        {SECTION_ATTRIBUTE, ATTRIBUTE_SECTION_SIZE},
                                                        {SECTION_XATTR, 4096}}));
  EXPECT_EQ(sectionNumbers(*store_, item.verGuid),
            (std::vector<int32_t>{SECTION_HEADER, SECTION_ATTRIBUTE, SECTION_XATTR}));

  FileHeaderData data;
  CXFileHeader header;
  readRecords(*store_, item.verGuid, data, header);
  EXPECT_EQ(data.magic, FILE_HEADER_MAGIC);
  EXPECT_EQ(data.version, FILE_HEADER_VERSION);
  EXPECT_EQ(data.hasData, 0);
  EXPECT_EQ(data.fileType, static_cast<uint64_t>(FILE_TYPE_REGULAR));
  EXPECT_EQ(data.extentSize, 1048576u);
  EXPECT_EQ(data.versionTimeNs, static_cast<uint64_t>(kNow) * 1000000000);
  EXPECT_EQ(std::string(data.parentGuid), store_->getRootGuid());
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFREG | 0640));
  EXPECT_EQ(header.uid, 7u);
  EXPECT_EQ(header.size, 0u);
  EXPECT_EQ(header.mtime, static_cast<uint64_t>(kNow));
  EXPECT_EQ(header.getName(), item.objGuid + "," + item.verGuid);

  index_iface_props props;
  ASSERT_OK(store_->findPathFromIndex("/f", props));
  EXPECT_EQ(props.objGuid, item.objGuid);
  EXPECT_EQ(props.verGuid, item.verGuid);
  EXPECT_EQ(props.itemFlag, 1u);
}

TEST_F(StoreItemsTest, NewDirectoryIsCompleteAndNamedForThePointInTime) {
  ItemName dir;
  ASSERT_OK(store_->createNewItem(dir, "/d", FileAttribs{0755, 0, 0}, store_->getRootGuid(),
                                  FILE_TYPE_DIRECTORY, "", false));
  EXPECT_EQ(dir.verGuid, dir.objGuid + "-0");
  EXPECT_EQ(sectionNumbers(*store_, dir.verGuid),
            (std::vector<int32_t>{SECTION_HEADER, SECTION_ATTRIBUTE, SECTION_XATTR}));
  FileHeaderData data;
  CXFileHeader header;
  readRecords(*store_, dir.verGuid, data, header);
  EXPECT_EQ(data.hasData, 1);
  EXPECT_EQ(data.fileType, static_cast<uint64_t>(FILE_TYPE_DIRECTORY));
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFDIR | 0755));
  // The cached copy agrees.
  AttribData cached;
  ASSERT_TRUE(store_->attrCache().read(dir.verGuid, cached, false));
  EXPECT_EQ(cached.hasData, 1);

  ObjectStore* view = openStore(pitConfig(1600000000, "dw", true));
  ASSERT_NE(view, nullptr);
  ItemName local;
  ASSERT_OK(view->createNewItem(local, "/local", FileAttribs{0700, 0, 0}, view->getRootGuid(),
                                FILE_TYPE_DIRECTORY, "", true));
  EXPECT_EQ(local.verGuid, local.objGuid + "-5f5e1000");
}

TEST_F(StoreItemsTest, NewLinkHasTheTargetLengthAsSize) {
  ItemName link;
  const std::string target = "/some/where/else";
  ASSERT_OK(store_->createNewItem(link, "/l", FileAttribs{0777, 0, 0}, store_->getRootGuid(),
                                  FILE_TYPE_SYMLINK, target, false));
  FileHeaderData data;
  CXFileHeader header;
  readRecords(*store_, link.verGuid, data, header);
  EXPECT_EQ(header.size, target.size());
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFLNK | 0777));
  EXPECT_EQ(data.fileType, static_cast<uint64_t>(FILE_TYPE_SYMLINK));
  EXPECT_EQ(data.hasData, 0);
  index_iface_props props;
  ASSERT_OK(store_->findPathFromIndex("/l", props));
  EXPECT_EQ(props.linkTarget, target);
  EXPECT_EQ(props.size, static_cast<int64_t>(target.size()));
  EXPECT_EQ(props.itemFlag, 0u);
}

TEST_F(StoreItemsTest, UnknownTypeIsRejectedWithoutCreatingAnything) {
  LogCapture log;
  cache_->resetCounts();
  ItemName item;
  EXPECT_EQ(store_->createNewItem(item, "/x", FileAttribs{}, store_->getRootGuid(),
                                  static_cast<FileType>(7), "", false)
                .errNo(),
            EINVAL);
  EXPECT_EQ(cache_->createCalls.load(), 0);
  EXPECT_TRUE(item.objGuid.empty());
  EXPECT_TRUE(log.contains("[share_42] Error: Invalid filetype 7", -1));
}

TEST_F(StoreItemsTest, FailedIndexRecordDeletesTheNewSegment) {
  index_iface_props props;
  props.objGuid = fakeGuid('a');
  props.verGuid = fakeGuid('b');
  props.path = "/p";
  props.modeValid = true;
  props.mode = S_IFREG | 0600;
  props.extentSize = 4096;
  props.vtime = clockNowNs();
  index().setFaultForTesting(index_iface::FaultOp::Add, 1, EIO, false);
  EXPECT_EQ(store_->createNewItem(props, false).errNo(), EIO);
  EXPECT_FALSE(cache_->doesSegmentExist(store_->diskCacheContext(), fakeGuid('b')));
}

TEST_F(StoreItemsTest, ZeroExtentSizeIsRejected) {
  index_iface_props props;
  props.objGuid = fakeGuid('a');
  props.verGuid = fakeGuid('b');
  props.extentSize = 0;
  EXPECT_EQ(store_->createNewItem(props, false).errNo(), EINVAL);
  EXPECT_EQ(store_->createSegment(props, false).errNo(), EINVAL);
  props.extentSize = -1;  // absent
  EXPECT_EQ(store_->createSegment(props, false).errNo(), EINVAL);
}

TEST_F(StoreItemsTest, OversizedXattrsLeaveAnAllZeroSection) {
  FileHeaderData data;
  CXFileHeader header;
  const guid_t seg = fakeGuid('c');
  validRecords(data, header, fakeGuid('d'), seg);
  const Bytes xattrs(5000, 0x5A);
  LogCapture log;
  ASSERT_OK(store_->createSegment(seg, data, header, xattrs, false));
  EXPECT_EQ(log.count("Error: xattr data for [" + seg + "] too big (5000)", -1), 1u)
      << log.dump();
  const auto sections = readAllRaw(*store_, seg);
  const SectionV* x = findSection(sections, SECTION_XATTR);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->data, Bytes(4096, 0));
}

TEST_F(StoreItemsTest, EncodedXattrsOfThePropertiesGoIntoTheSectionAndTheCache) {
  XattrMap map;
  map["user.k"] = Bytes{'v', 'a', 'l'};
  Bytes blob;
  ASSERT_OK(ObjectStore::serializeXattrs(blob, map));
  index_iface_props props;
  props.objGuid = fakeGuid('a');
  props.verGuid = fakeGuid('b');
  props.modeValid = true;
  props.mode = S_IFREG | 0600;
  props.extentSize = 4096;
  props.vtime = clockNowNs();
  ObjectStore::encodeXattr(props.xattrs, blob);
  ASSERT_OK(store_->createSegment(props, false));

  const auto sections = readAllRaw(*store_, fakeGuid('b'));
  const SectionV* x = findSection(sections, SECTION_XATTR);
  ASSERT_NE(x, nullptr);
  ASSERT_EQ(x->data.size(), 4096u);
  EXPECT_TRUE(std::equal(blob.begin(), blob.end(), x->data.begin()));
  for (size_t i = blob.size(); i < x->data.size(); ++i) ASSERT_EQ(x->data[i], 0) << i;
  XattrMap cached;
  ASSERT_TRUE(store_->xattrCache().read(fakeGuid('b'), cached, false));
  EXPECT_EQ(cached, map);
}

TEST_F(StoreItemsTest, ExtentSegmentHasNoXattrSection) {
  FileHeaderData data;
  CXFileHeader header;
  const guid_t extent = fileToExtentGuid(fakeGuid('e'), 3);
  validRecords(data, header, fakeGuid('e'), extent);
  ASSERT_OK(store_->createSegment(extent, data, header, {}, false));
  EXPECT_EQ(sectionNumbers(*store_, extent),
            (std::vector<int32_t>{SECTION_HEADER, SECTION_ATTRIBUTE}));
}

TEST_F(StoreItemsTest, HeaderUpdateWithoutTimesWritesEmptyRangeAndSizeOnly) {
  ItemName item = createFile("/f");
  FileHeaderData before;
  CXFileHeader headerBefore;
  readRecords(*store_, item.verGuid, before, headerBefore);

  LogCapture log;
  ASSERT_OK(store_->updateFileHeader(item.verGuid, 5000, 0, 0, "", Range(2, 9)));
  auto writes = cache_->lastWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].number, SECTION_HEADER);
  EXPECT_EQ(writes[0].offset, 32u);
  EXPECT_EQ(writes[0].bytes.size(), 16u);
  EXPECT_EQ(writes[1].number, SECTION_ATTRIBUTE);
  EXPECT_EQ(writes[1].offset, 56u);
  EXPECT_EQ(writes[1].bytes.size(), 8u);
  EXPECT_TRUE(log.contains("Writing emptyRange [2 9] to FileHeaderData", 5));

  FileHeaderData data;
  CXFileHeader header;
  readRecords(*store_, item.verGuid, data, header);
  EXPECT_EQ(header.size, 5000u);
  EXPECT_EQ(header.mtime, headerBefore.mtime);
  EXPECT_EQ(header.ctime, headerBefore.ctime);
  EXPECT_EQ(data.emptyRange, Range(2, 9));
  EXPECT_STREQ(data.parentGuid, before.parentGuid);
  AttribData cached;
  ASSERT_TRUE(store_->attrCache().read(item.verGuid, cached, false));
  EXPECT_EQ(cached.size, 5000u);
  EXPECT_EQ(cached.emptyRange, Range(2, 9));
}

TEST_F(StoreItemsTest, HeaderUpdateWithEverything) {
  ItemName item = createFile("/f");
  const guid_t parent = fakeGuid('9');
  ASSERT_OK(store_->updateFileHeader(item.verGuid, 12, 1700000100, 1700000200, parent, Range()));
  auto writes = cache_->lastWrites();
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(writes[0].number, SECTION_HEADER);
  EXPECT_EQ(writes[0].offset, 48u);
  EXPECT_EQ(writes[0].bytes, Bytes(parent.begin(), parent.end()));  // no NUL
  EXPECT_EQ(writes[1].offset, 64u);
  EXPECT_EQ(writes[2].offset, 72u);

  FileHeaderData data;
  CXFileHeader header;
  readRecords(*store_, item.verGuid, data, header);
  EXPECT_EQ(std::string(data.parentGuid), parent);
  EXPECT_EQ(header.mtime, 1700000100u);
  EXPECT_EQ(header.ctime, 1700000200u);
  EXPECT_EQ(header.size, 12u);
  // A fresh read from disk gives the same records as the cache.
  CXFileHeader cachedHeader;
  FileHeaderData cachedData;
  ASSERT_OK(store_->readFileHeader(cachedHeader, cachedData, item.objGuid, item.verGuid,
                                   NO_RESTORE));
  store_->attrCache().clear();
  ASSERT_OK(store_->readFileHeader(header, data, item.objGuid, item.verGuid, NO_RESTORE));
  EXPECT_EQ(std::memcmp(&cachedHeader, &header, sizeof(header)), 0);
  EXPECT_EQ(std::string(cachedData.parentGuid), std::string(data.parentGuid));
}

TEST_F(StoreItemsTest, FailedHeaderWriteIsReturnedAndDropsTheSegment) {
  ItemName item = createFile("/f");
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Write, 1, EIO, false});
  LogCapture log;
  EXPECT_EQ(store_->updateFileHeader(item.verGuid, 1, 0, 0, "", Range()).errNo(), EIO);
  EXPECT_EQ(log.count("Error: Can't write sections for [" + item.verGuid + "]", -1), 1u)
      << log.dump();
  EXPECT_FALSE(cache_->doesSegmentExist(store_->diskCacheContext(), item.verGuid));

  ItemName other = createFile("/g");
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Write, 1, EIO, false});
  EXPECT_EQ(store_->updateHasData(other.verGuid, 1).errNo(), EIO);
  EXPECT_FALSE(cache_->doesSegmentExist(store_->diskCacheContext(), other.verGuid));
}

TEST_F(StoreItemsTest, HeaderWriteToAMissingSegmentDeletesNothing) {
  cache_->resetCounts();
  EXPECT_EQ(store_->updateHasData(fakeGuid('7'), 1).errNo(), ENOENT);
  EXPECT_EQ(cache_->deleteCalls.load(), 0);
}

TEST_F(StoreItemsTest, HasDataUpdate) {
  ItemName item = createFile("/f");
  ASSERT_OK(store_->updateHasData(item.verGuid, 1));
  auto writes = cache_->lastWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].number, SECTION_HEADER);
  EXPECT_EQ(writes[0].offset, 4u);
  EXPECT_EQ(writes[0].bytes, (Bytes{1, 0}));
  FileHeaderData data;
  CXFileHeader header;
  readRecords(*store_, item.verGuid, data, header);
  EXPECT_EQ(data.hasData, 1);
}

TEST_F(StoreItemsTest, LatestVersionFromTheCacheElseTheIndex) {
  ItemName item = createFile("/f");
  index().resetCounts();
  guid_t version;
  ASSERT_OK(store_->getLatestVersion(item.objGuid, version));
  EXPECT_EQ(version, item.verGuid);
  EXPECT_EQ(index().findByGuidCalls.load(), 0);

  ASSERT_OK(store_->versionCache().deleteGuid(item.objGuid));
  version.clear();
  ASSERT_OK(store_->getLatestVersion(item.objGuid, version));
  EXPECT_EQ(version, item.verGuid);
  EXPECT_EQ(index().findByGuidCalls.load(), 1);
  guid_t cached;
  ASSERT_OK(store_->versionCache().findData(item.objGuid, cached));
  EXPECT_EQ(cached, item.verGuid);

  LogCapture log;
  EXPECT_EQ(store_->getLatestVersion(fakeGuid('5'), version).errNo(), ENOENT);
  EXPECT_EQ(log.countContaining("Error: Can't find latest verison of [" + fakeGuid('5') + "]",
                                -1),
            1u);
}

TEST_F(StoreItemsTest, LatestHeaderByPath) {
  ItemName item = createFile("/f");
  ItemName byPath("/f");
  CXFileHeader header;
  FileHeaderData data;
  index_iface_props props;
  ASSERT_OK(store_->readLatestFileHeader(byPath, header, data, props));
  EXPECT_EQ(byPath.objGuid, item.objGuid);
  EXPECT_EQ(byPath.verGuid, item.verGuid);
  EXPECT_EQ(header.getName(), item.objGuid + "," + item.verGuid);

  ItemName missing("/none");
  EXPECT_EQ(store_->readLatestFileHeader(missing, header, data, props).errNo(), ENOENT);
}

TEST_F(StoreItemsTest, LocalDeleteLeavesTheIndex) {
  ItemName item = createFile("/f");
  index().resetCounts();
  index_iface_props props;
  props.objGuid = item.objGuid;
  props.verGuid = item.verGuid;
  ASSERT_OK(store_->deleteSegment(props, true));
  EXPECT_FALSE(cache_->doesSegmentExist(store_->diskCacheContext(), item.verGuid));
  std::string recorded;
  ASSERT_TRUE(store_->deletedSegments().read(item.objGuid, recorded));
  EXPECT_EQ(recorded, item.verGuid);
  guid_t version;
  EXPECT_FALSE(store_->versionCache().findData(item.objGuid, version).ok());
  EXPECT_EQ(index().deleteCalls.load() + index().updateCalls.load(), 0);
  EXPECT_OK(store_->findObjGuidFromIndex(item.objGuid, props));  // live: not hidden
}

TEST_F(StoreItemsTest, IndexDeleteLeavesTheSegment) {
  ItemName item = createFile("/f");
  index_iface_props props;
  props.objGuid = item.objGuid;
  props.verGuid = item.verGuid;
  ASSERT_OK(store_->deleteSegment(props, false));
  EXPECT_TRUE(cache_->doesSegmentExist(store_->diskCacheContext(), item.verGuid));
  EXPECT_FALSE(store_->deletedSegments().exists(item.objGuid));
  EXPECT_EQ(index().deleteCalls.load(), 1);
  guid_t version;
  EXPECT_FALSE(store_->versionCache().findData(item.objGuid, version).ok());
  EXPECT_EQ(store_->findObjGuidFromIndex(item.objGuid, props).errNo(), ENOENT);
}

TEST_F(StoreItemsTest, RootIsCreatedOnceAndFoundOnReopen) {
  const guid_t root = store_->getRootGuid();
  ASSERT_EQ(root.size(), 32u);
  index_iface_props props;
  ASSERT_OK(store_->findPathFromIndex("/", props));
  EXPECT_EQ(props.objGuid, root);
  EXPECT_EQ(props.mode, 040744);
  EXPECT_EQ(props.verGuid, root + "-0");
  index_iface_props contentRoot;
  index().get_content_root_dir(contentRoot);
  EXPECT_EQ(contentRoot.objGuid, root);

  closeStore(*store_);
  LogCapture log;
  store_ = openStore(liveConfig());
  ASSERT_NE(store_, nullptr);
  EXPECT_EQ(store_->getRootGuid(), root);
  EXPECT_TRUE(log.contains("[share_42] Found root guid in index: [" + root + "]")) << log.dump();
  EXPECT_EQ(log.countContaining("Created new root directory"), 0u);
  guid_t cached;
  ASSERT_OK(store_->pathCache().findGuid(cached, "/"));
  EXPECT_EQ(cached, root);
}

TEST_F(StoreItemsTest, GivenRootIsTakenAsIs) {
  ObjectStoreConfig config = pitConfig(kNow, "given");
  config.rootDir = fakeGuid('6');
  ObjectStore* store = openStore(config);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->getRootGuid(), fakeGuid('6'));
}

TEST_F(StoreItemsTest, LiveShareKeepsItsSegmentsWhileNothingIsBackedUp) {
  ItemName item = createFile("/f");
  const std::string content = "only copy of these bytes";
  FileHandle handle;
  openFile(handle, item.objGuid);
  writeAt(handle, content, 0);
  const guid_t extent = fileToExtentGuid(item.verGuid, 0);
  ASSERT_NE(store_->backupQueue(), nullptr);
  ASSERT_TRUE(store_->backupQueue()->isInQueue(extent));
  cache_->resetCounts();

  // The written extent waits for its backup: the local copy is the only one.
  {
    LogCapture log;
    EXPECT_FALSE(
        store_->pruneFile(cache_->segmentPath(store_->diskCacheContext(), extent), extent));
    EXPECT_TRUE(log.contains("checking objguid [" + fileToExtentGuid(item.objGuid, 0) + "]", 5))
        << log.dump();
    EXPECT_TRUE(log.contains("Found [" + extent + "] in modified queue", 5)) << log.dump();
    EXPECT_TRUE(log.contains("extent in use", 5));
  }
  // The header of an open file is rewritten on close.
  const std::string headerPath = cache_->segmentPath(store_->diskCacheContext(), item.verGuid);
  {
    LogCapture log;
    EXPECT_FALSE(store_->pruneFile(headerPath, item.verGuid));
    EXPECT_TRUE(log.contains("checking objguid [" + item.objGuid + "]", 5)) << log.dump();
    EXPECT_TRUE(log.contains("not pruning open file", 5)) << log.dump();
  }
  EXPECT_EQ(cache_->deleteCalls.load(), 0);
  EXPECT_TRUE(segmentExists(extent));
  EXPECT_TRUE(segmentExists(item.verGuid));

  // Closed, the header may go: the index record rebuilds it.
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  {
    LogCapture log;
    EXPECT_TRUE(store_->pruneFile(headerPath, item.verGuid));
    EXPECT_TRUE(log.contains("pruned [" + item.verGuid + "]", 5)) << log.dump();
  }
  EXPECT_FALSE(segmentExists(item.verGuid));
  // The extent still waits, and stays.
  EXPECT_FALSE(store_->pruneFile(cache_->segmentPath(store_->diskCacheContext(), extent), extent));
  EXPECT_TRUE(segmentExists(extent));

  store_->attrCache().clear();
  CXFileHeader header;
  FileHeaderData data;
  ASSERT_OK(store_->readFileHeader(header, data, item.objGuid, item.verGuid, DO_RESTORE));
  EXPECT_EQ(header.size, content.size());
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFREG | 0640));
  EXPECT_EQ(header.uid, 7u);
  EXPECT_EQ(header.gid, 8u);
  EXPECT_TRUE(segmentExists(item.verGuid));
  FileHandle reader;
  openFile(reader, item.objGuid, O_RDONLY);
  EXPECT_EQ(readAt(reader, 0, 100), content);
  ASSERT_OK(store_->close(reader, CLIENT_CLOSE));
}

TEST_F(StoreItemsTest, ViewSegmentIsPrunedAfterParsingItsOwner) {
  ObjectStore* view = openStore(pitConfig(kNow, "pit"));
  ASSERT_NE(view, nullptr);
  const guid_t seg = fakeGuid('c');
  FileHeaderData data;
  CXFileHeader header;
  validRecords(data, header, fakeGuid('d'), seg);
  ASSERT_OK(makeSegment(*view, seg,
                        {{SECTION_HEADER, bytesOf(data)}, {SECTION_ATTRIBUTE, bytesOf(header)}}));
  LogCapture log;
  EXPECT_TRUE(view->pruneFile(cache_->segmentPath(view->diskCacheContext(), seg), seg));
  EXPECT_TRUE(log.contains("parsing [" + seg + "] for objguid", 5));
  EXPECT_TRUE(log.contains("checking objguid [" + fakeGuid('d') + "]", 5));
  EXPECT_TRUE(log.contains("pruned [" + seg + "]", 5));
  EXPECT_FALSE(cache_->doesSegmentExist(view->diskCacheContext(), seg));
}

TEST_F(StoreItemsTest, UnreadableSegmentIsPruned) {
  const guid_t seg = fakeGuid('c');
  ASSERT_OK(makeSegment(*store_, seg, {{SECTION_ATTRIBUTE, Bytes(ATTRIBUTE_SECTION_SIZE, 0)}}));
  const std::string path = cache_->segmentPath(store_->diskCacheContext(), seg);
  test::writeFile(path, "junk");
  EXPECT_TRUE(store_->pruneFile(path, seg));
  EXPECT_FALSE(test::fileExists(path));
}

TEST_F(StoreItemsTest, SegmentWithoutOwnerNameIsKept) {
  const guid_t seg = fakeGuid('c');
  CXFileHeader header;
  header.setName("no-comma-here");
  ASSERT_OK(makeSegment(*store_, seg, {{SECTION_ATTRIBUTE, bytesOf(header)}}));
  LogCapture log;
  EXPECT_FALSE(store_->pruneFile("p", seg));
  EXPECT_TRUE(log.contains("Error: can't parse fname of [" + seg + "] ([no-comma-here])", -1));
  EXPECT_TRUE(cache_->doesSegmentExist(store_->diskCacheContext(), seg));
}

}  // namespace
}  // namespace ObjectStore
