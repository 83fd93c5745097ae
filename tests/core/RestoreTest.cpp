// Restoring segments, extents and headers: bytes come back from the backup
// exactly as they were sent or not at all, the limits of one restore hold,
// and a restored header is the item's index record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/OpenFileInfo.h"
#include "ObjectStore/StoreHelpers.h"
#include "core/StoreFixture.h"
#include "platform/backup/BackupInterface.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

constexpr int64_t kNow = 1700000000;
constexpr uint64_t kExtent = 4096;
constexpr uint64_t GiB = 1073741824;

std::string pattern(uint64_t length, unsigned seed) {
  std::string bytes(length, '\0');
  for (uint64_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + seed) % 253 + 1);
  return bytes;
}

void ignoreCommit(unsigned int, std::list<std::string>, void*) {}

class RestoreTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    clock_ = std::make_unique<ManualClock>(kNow);
    config_ = liveConfig();
    config_.extentSize = kExtent;
    store_ = openStore(config_);
    ASSERT_NE(store_, nullptr);
    registerShareIndex(SUBCLIENT, shareIndex(config_), containerDir_ + "/backup");
  }
  void TearDown() override {
    unregisterShareIndex(SUBCLIENT);
    StoreFixture::TearDown();
    clock_.reset();
  }

  // Creates path and writes bytes into it; returns the item with the version
  // that holds the bytes.
  ItemName writeFile(const std::string& path, const std::string& bytes) {
    ItemName item;
    EXPECT_OK(store_->create(item, path, 0644, FILE_TYPE_REGULAR));
    FileHandle handle;
    ItemName byPath(path);
    EXPECT_OK(store_->open(handle, byPath, O_RDWR, false));
    uint64_t len = bytes.size();
    EXPECT_OK(store_->write(handle, bytes.data(), len, 0, NO_SYNC));
    item.verGuid = handle.name.verGuid;
    EXPECT_OK(store_->close(handle, CLIENT_CLOSE));
    return item;
  }

  static std::vector<guid_t> extentSegments(const ItemName& file, uint64_t size) {
    std::vector<guid_t> segments;
    for (uint64_t n = 0; n * kExtent < size; ++n)
      segments.push_back(fileToExtentGuid(file.verGuid, n));
    return segments;
  }

  // Sends the segments through one backup job; when it returns, the index
  // knows where each lies in the backup.
  void backUp(const std::vector<guid_t>& segments) {
    auto info = std::make_shared<OBJECTOPSAPI::JobInfo>(1, 2, 0, "", 110, SUBCLIENT, 2);
    std::shared_ptr<BackupInterface> job;
    ASSERT_OK(BackupInterface::getController(info, job, false));
    ASSERT_OK(job->setCallBack(&ignoreCommit, nullptr));
    for (const guid_t& segment : segments) {
      std::list<std::string> requeue;
      int64_t bytes = 0;
      int stream = 0;
      ASSERT_OK(job->sendItem(segment.c_str(), requeue, bytes, stream, store_->diskCache(),
                              store_->diskCacheContext()));
    }
    std::list<std::string> requeue;
    ASSERT_OK(job->endBackup(requeue, false));
    ASSERT_TRUE(requeue.empty());
  }

  bool exists(const guid_t& segment) {
    return cache_->DiskCache::doesSegmentExist(store_->diskCacheContext(), segment);
  }
  // Drops a local segment as the pruner would, with its cached header.
  void drop(const guid_t& segment) {
    ASSERT_OK(
        cache_->DiskCache::deleteSegment(store_->diskCacheContext(), segment, false, false, 0));
    (void)store_->attrCache().erase(segment);
  }

  CZnError readFile(const std::string& path, std::string& out, uint64_t size) {
    FileHandle handle;
    ItemName item(path);
    if (CZnError err = store_->open(handle, item, O_RDONLY, false); !err.ok()) return err;
    out.assign(size, '\0');
    uint64_t len = size;
    CZnError err = store_->read(handle, out.data(), 0, len);
    out.resize(len);
    (void)store_->close(handle, CLIENT_CLOSE);
    return err;
  }

  // The index record of an extent, with its backup location.
  index_iface_props extentRecord(const ItemName& file, uint64_t n) {
    index_iface_props props;
    EXPECT_OK(store_->findObjGuidFromIndex(fileToExtentGuid(file.objGuid, n), props));
    return props;
  }

  std::unique_ptr<ManualClock> clock_;
  ObjectStoreConfig config_;
  ObjectStore* store_ = nullptr;
};

// ---- Extents -------------------------------------------------------------------

TEST_F(RestoreTest, DroppedExtentsAreReadBackFromTheBackup) {
  const std::string bytes = pattern(3 * kExtent - 100, 1);
  const ItemName file = writeFile("/data", bytes);
  const auto segments = extentSegments(file, bytes.size());
  ASSERT_EQ(segments.size(), 3u);
  backUp(segments);
  for (const auto& segment : segments) drop(segment);

  LogCapture log;
  std::string read;
  ASSERT_OK(readFile("/data", read, bytes.size()));
  EXPECT_EQ(read, bytes);
  for (uint64_t n = 0; n < segments.size(); ++n) {
    EXPECT_TRUE(exists(segments[n])) << segments[n];
    EXPECT_EQ(log.count("restored segment [" + fileToExtentGuid(file.objGuid, n) + "] [" +
                            segments[n] + "]",
                        4),
              1u);
  }
  // The restored segments are ordinary ones: a second read restores nothing.
  log.clear();
  ASSERT_OK(readFile("/data", read, bytes.size()));
  EXPECT_EQ(read, bytes);
  EXPECT_EQ(log.countContaining("restoring segment"), 0u);
}

TEST_F(RestoreTest, ConcurrentReadersOfDroppedExtentsAllGetTheRightBytes) {
  const std::string bytes = pattern(8 * kExtent, 13);
  const ItemName file = writeFile("/shared", bytes);
  const auto segments = extentSegments(file, bytes.size());
  backUp(segments);
  for (const auto& segment : segments) drop(segment);

  std::vector<std::string> seen(4);
  std::vector<CZnError> results(seen.size());
  std::vector<std::thread> readers;
  for (size_t t = 0; t < seen.size(); ++t) {
    readers.emplace_back([&, t] {
      FileHandle handle;
      ItemName item("/shared");
      results[t] = store_->open(handle, item, O_RDONLY, false);
      if (!results[t].ok()) return;
      // Each reader walks the extents in its own order.
      seen[t].assign(bytes.size(), '\0');
      for (uint64_t i = 0; i < segments.size() && results[t].ok(); ++i) {
        const uint64_t n = (i + t * 3) % segments.size();
        uint64_t len = kExtent;
        results[t] = store_->read(handle, seen[t].data() + n * kExtent, n * kExtent, len);
      }
      (void)store_->close(handle, CLIENT_CLOSE);
    });
  }
  for (auto& reader : readers) reader.join();
  for (size_t t = 0; t < seen.size(); ++t) {
    EXPECT_TRUE(results[t].ok()) << results[t].chain();
    EXPECT_TRUE(seen[t] == bytes) << "reader " << t;
  }
  for (const auto& segment : segments) EXPECT_TRUE(exists(segment)) << segment;
}

TEST_F(RestoreTest, CorruptedAfileRecordFailsTheReadAndNeverGivesWrongBytes) {
  const std::string bytes = pattern(kExtent, 9);
  const ItemName file = writeFile("/victim", bytes);
  const auto segments = extentSegments(file, bytes.size());
  backUp(segments);
  drop(segments[0]);

  // Flip one byte of the stored data in the afile.
  bool flipped = false;
  const std::string afileDir = containerDir_ + "/backup/" + std::to_string(SUBCLIENT);
  for (const auto& entry : std::filesystem::directory_iterator(afileDir)) {
    std::string content = test::readFile(entry.path().string());
    const size_t at = content.find(bytes.substr(0, 64));
    if (at == std::string::npos) continue;
    std::fstream f(entry.path(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at + 100));
    const char changed = static_cast<char>(bytes[100] ^ 0x20);
    f.write(&changed, 1);
    flipped = true;
  }
  ASSERT_TRUE(flipped);

  LogCapture log;
  std::string read;
  CZnError err = readFile("/victim", read, bytes.size());
  EXPECT_EQ(err.errNo(), EINVAL);
  EXPECT_TRUE(log.contains(
      "Error: can't restore [" + fileToExtentGuid(file.objGuid, 0) + "] [" + segments[0] + "]", -1))
      << log.dump();
  EXPECT_FALSE(exists(segments[0]));
  EXPECT_TRUE(read.empty()) << "a failed read delivered " << read.size() << " bytes";
}

TEST_F(RestoreTest, RestoreDataGetsTheRequestedPartOrNothingPastTheEnd) {
  const std::string bytes = pattern(3000, 4);
  const ItemName file = writeFile("/part", bytes);
  backUp(extentSegments(file, bytes.size()));
  index_iface_props props = extentRecord(file, 0);
  ASSERT_GE(props.afileId, 0);
  ASSERT_EQ(props.extentSize, static_cast<int64_t>(kExtent));

  struct Case {
    uint32_t offset, length, delivered;
  };
  for (const Case c : {Case{0, 10, 10}, Case{2990, 100, 10}, Case{3000, 10, 0}, Case{5000, 10, 0},
                       Case{100, 3000, 2900}}) {
    drop(props.verGuid);
    std::string out(c.length, 'x');
    RestoreData data;
    data.buffer = out.data();
    data.offset = c.offset;
    data.length = c.length;
    ASSERT_OK(store_->restoreSegment(props, &data));
    EXPECT_EQ(data.length, c.delivered) << c.offset;
    EXPECT_EQ(out.substr(0, c.delivered),
              bytes.substr(std::min<size_t>(c.offset, 3000), c.delivered));
    EXPECT_EQ(out.substr(c.delivered), std::string(c.length - c.delivered, 'x'));
    EXPECT_TRUE(exists(props.verGuid));
  }
}

TEST_F(RestoreTest, UnknownLocationsAndBadExtentSizesAreRejectedBeforeAnyAllocation) {
  const ItemName file = writeFile("/limits", pattern(100, 2));
  backUp(extentSegments(file, 100));
  const index_iface_props good = extentRecord(file, 0);
  drop(good.verGuid);

  LogCapture log;
  for (auto [id, offset] : {std::pair<int64_t, int64_t>{-1, 0}, {3, -1}}) {
    index_iface_props props = good;
    props.afileId = id;
    props.afileOffset = offset;
    EXPECT_EQ(store_->restoreSegment(props, nullptr).errNo(), EINVAL);
    EXPECT_TRUE(log.contains("Error: invalid afile_id or afile_offset [" + good.objGuid + "] " +
                                 std::to_string(id) + " " + std::to_string(offset),
                             -1));
  }
  for (int64_t size : {int64_t{0}, static_cast<int64_t>(GiB + 1), int64_t{-1}}) {
    index_iface_props props = good;
    props.extentSize = size;
    EXPECT_EQ(store_->restoreSegment(props, nullptr).errNo(), EINVAL);
    EXPECT_TRUE(log.contains("Error: invalid extent_size [" + good.objGuid + "] [" +
                             std::to_string(static_cast<uint64_t>(size)) + "]"))
        << log.dump();
  }
  EXPECT_EQ(log.countContaining("can't allocate memory"), 0u);
  EXPECT_FALSE(exists(good.verGuid));
}

TEST_F(RestoreTest, OneGibibyteExtentSizeIsAccepted) {
  const std::string bytes = pattern(500, 3);
  const ItemName file = writeFile("/big", bytes);
  backUp(extentSegments(file, bytes.size()));
  index_iface_props props = extentRecord(file, 0);
  drop(props.verGuid);

  // The buffer is reserved, not touched: only the record's bytes are used.
  props.extentSize = static_cast<int64_t>(GiB);
  LogCapture log;
  std::string out(bytes.size(), '\0');
  RestoreData data;
  data.buffer = out.data();
  data.length = static_cast<uint32_t>(out.size());
  ASSERT_OK(store_->restoreSegment(props, &data));
  EXPECT_EQ(out, bytes);
  EXPECT_TRUE(log.contains("Restored [500] bytes to [" + props.objGuid + "]", 4));
}

TEST_F(RestoreTest, FailedDataWriteLeavesNoSegmentThatWouldReadAsZeros) {
  const std::string bytes = pattern(kExtent, 5);
  const ItemName file = writeFile("/torn", bytes);
  const auto segments = extentSegments(file, bytes.size());
  backUp(segments);
  index_iface_props props = extentRecord(file, 0);
  drop(props.verGuid);

  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Write;
  fault.errNo = EIO;
  cache_->setFaults(fault);
  EXPECT_EQ(store_->restoreSegment(props, nullptr).errNo(), EIO);
  cache_->clearFaults();
  EXPECT_FALSE(exists(props.verGuid));

  std::string read;
  ASSERT_OK(readFile("/torn", read, bytes.size()));
  EXPECT_EQ(read, bytes);
}

TEST_F(RestoreTest, RestoreByGuidsChecksTheVersionAsOfTheStoresTime) {
  const ItemName file = writeFile("/byguid", pattern(200, 6));
  backUp(extentSegments(file, 200));
  const guid_t extentGuid = fileToExtentGuid(file.objGuid, 0);
  const guid_t segment = fileToExtentGuid(file.verGuid, 0);
  drop(segment);

  LogCapture log;
  const guid_t other = fileToExtentGuid(test::fakeGuid('9'), 0);
  EXPECT_EQ(store_->restoreSegment(extentGuid, other).errNo(), EINVAL);
  EXPECT_TRUE(log.contains("Error: version mismatch: [" + other + "] [" + segment + "]", -1));
  EXPECT_FALSE(exists(segment));

  EXPECT_EQ(store_->restoreSegment(test::fakeGuid('7'), other).errNo(), ENOENT);

  ASSERT_OK(store_->restoreSegment(extentGuid, segment));
  std::vector<SectionV> sections = readAllRaw(*store_, segment);
  const SectionV* data = findSection(sections, SECTION_DATA);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(data->data.begin(), data->data.end()), pattern(200, 6));
}

TEST_F(RestoreTest, ExtentWithAfileIdZeroIsLookedUpAgain) {
  const std::string bytes = pattern(2 * kExtent, 8);
  const ItemName file = writeFile("/zero", bytes);
  const auto segments = extentSegments(file, bytes.size());
  backUp(segments);
  const index_iface_props record = extentRecord(file, 1);
  drop(segments[1]);

  FileHandle handle;
  ItemName item("/zero");
  ASSERT_OK(store_->open(handle, item, O_RDONLY, false));
  const guid_t extentGuid = fileToExtentGuid(file.objGuid, 1);
  {
    LogCapture log;
    handle.info->lock.lock();
    index_iface_props stale = record;
    stale.afileId = 0;
    handle.info->extents[extentGuid] = stale;
    std::string out(kExtent, '\0');
    RestoreData data;
    data.buffer = out.data();
    data.length = kExtent;
    CZnError err = store_->restoreExtent(handle, extentGuid, &data);
    EXPECT_TRUE(handle.info->lock.isHeldByCurrentThread());
    EXPECT_EQ(handle.info->extents[extentGuid].afileId, record.afileId);
    handle.info->lock.unlock();
    ASSERT_OK(err);
    EXPECT_EQ(out, bytes.substr(kExtent));
    EXPECT_TRUE(log.contains("Incomplete extent props 0 " + std::to_string(record.afileOffset), 5))
        << log.dump();
    EXPECT_TRUE(exists(segments[1]));
  }
  {
    LogCapture log;
    EXPECT_EQ(store_->restoreExtent(handle, extentGuid, nullptr).errNo(), EINVAL);
    EXPECT_TRUE(log.contains("Error: restoreExtent requires file lock", -1));
  }
  {
    // An extent the index never heard of can't come back.
    LogCapture log;
    const guid_t unknown = fileToExtentGuid(file.objGuid, 7);
    handle.info->lock.lock();
    CZnError err = store_->restoreExtent(handle, unknown, nullptr);
    handle.info->lock.unlock();
    EXPECT_EQ(err.errNo(), ENOENT);
    EXPECT_TRUE(log.contains("Can't find [" + unknown + "] in extent map", -1));
  }
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(RestoreTest, ExtentNotYetBackedUpIsNotRestoredFromAnOlderCopy) {
  const std::string first = pattern(kExtent, 10);
  const ItemName file = writeFile("/moving", first);
  backUp(extentSegments(file, kExtent));
  const index_iface_props record = extentRecord(file, 0);

  FileHandle handle;
  ItemName item("/moving");
  ASSERT_OK(store_->open(handle, item, O_RDONLY, false));
  const guid_t extentGuid = fileToExtentGuid(file.objGuid, 0);
  handle.info->lock.lock();
  // The open file uses a segment the backup has never seen.
  index_iface_props newer = record;
  newer.verGuid = fileToExtentGuid(test::fakeGuid('e'), 0);
  newer.afileId = newer.afileOffset = -1;
  handle.info->extents[extentGuid] = newer;
  CZnError err = store_->restoreExtent(handle, extentGuid, nullptr);
  handle.info->lock.unlock();
  EXPECT_EQ(err.errNo(), ENOENT);
  EXPECT_FALSE(exists(newer.verGuid));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

// ---- Headers -------------------------------------------------------------------

TEST_F(RestoreTest, FileAndLinkHeadersAreRebuiltFromTheIndexRecord) {
  const ItemName file = writeFile("/attrs", pattern(1234, 11));
  ItemName byPath("/attrs");
  ASSERT_OK(store_->setxattr(byPath, "user.colour", {'r', 'e', 'd'}));
  ItemName link;
  ASSERT_OK(store_->createSymbolicLink(link, "/attrs", "/link"));

  index_iface_props fileProps;
  ASSERT_OK(store_->findObjGuidFromIndex(file.objGuid, fileProps));
  index_iface_props linkProps;
  ASSERT_OK(store_->findObjGuidFromIndex(link.objGuid, linkProps));
  drop(fileProps.verGuid);
  drop(linkProps.verGuid);
  (void)store_->xattrCache().erase(fileProps.verGuid);

  RestoredHeaderData carrier;
  ASSERT_OK(store_->restoreFileHeader(file.objGuid, fileProps.verGuid, carrier));
  EXPECT_EQ(carrier.header.mode, static_cast<uint64_t>(S_IFREG | 0644));
  EXPECT_EQ(carrier.header.size, 1234u);
  EXPECT_EQ(carrier.data.magic, FILE_HEADER_MAGIC);
  EXPECT_EQ(carrier.data.version, FILE_HEADER_VERSION);
  EXPECT_EQ(carrier.data.fileType, static_cast<uint64_t>(FILE_TYPE_REGULAR));
  EXPECT_EQ(carrier.data.extentSize, kExtent);
  EXPECT_EQ(carrier.data.hasData, 0);
  EXPECT_STREQ(carrier.data.parentGuid, store_->getRootGuid().c_str());
  EXPECT_FALSE(carrier.xattrs.empty());
  EXPECT_TRUE(exists(fileProps.verGuid));

  std::vector<unsigned char> value;
  ItemName again("/attrs");
  ASSERT_OK(store_->getxattr(again, "user.colour", value));
  EXPECT_EQ(value, (std::vector<unsigned char>{'r', 'e', 'd'}));

  std::string target;
  ASSERT_OK(store_->readLink(ItemName("/link"), target));
  EXPECT_EQ(target, "/attrs");
  EXPECT_TRUE(exists(linkProps.verGuid));
}

TEST_F(RestoreTest, HeaderRecordsTheStoreCannotHoldAreRejected) {
  auto& index = *shareIndex(config_);
  auto addRecord = [&](char digit, int mode, int64_t extentSize) {
    index_iface_props props;
    props.objGuid = test::fakeGuid(digit);
    props.verGuid = test::fakeGuid(static_cast<char>(digit + 1));
    props.path = std::string("/odd") + digit;
    props.parentGuid = store_->getRootGuid();
    props.modeValid = props.uidValid = props.gidValid = true;
    props.mode = mode;
    props.uid = props.gid = 0;
    props.size = 0;
    props.atime = props.ctime = props.mtime = kNow;
    props.extentSize = extentSize;
    props.vtime = clockNowNs();
    EXPECT_EQ(index.add_item(props), 0);
    return props;
  };
  const auto fifo = addRecord('1', S_IFIFO | 0644, kExtent);
  const auto noExtent = addRecord('3', S_IFREG | 0644, 0);

  LogCapture log;
  RestoredHeaderData carrier;
  EXPECT_EQ(store_->restoreFileHeader(fifo.objGuid, fifo.verGuid, carrier).errNo(), EINVAL);
  EXPECT_TRUE(log.contains("Invalid filetype 10644"));
  EXPECT_EQ(store_->restoreFileHeader(noExtent.objGuid, noExtent.verGuid, carrier).errNo(), EINVAL);
  EXPECT_TRUE(log.contains(
      "Error: Invalid extent_size [" + noExtent.objGuid + "] [" + noExtent.verGuid + "]", -1));
  EXPECT_FALSE(exists(fifo.verGuid));
  EXPECT_FALSE(exists(noExtent.verGuid));

  EXPECT_EQ(store_->restoreFileHeader(test::fakeGuid('5'), test::fakeGuid('6'), carrier).errNo(),
            ENOENT);
}

TEST_F(RestoreTest, MissingHeaderIsRestoredOnlyWhenAllowed) {
  const ItemName file = writeFile("/hdr", pattern(10, 12));
  drop(file.verGuid);
  CXFileHeader header;
  FileHeaderData data;
  EXPECT_EQ(store_->readFileHeader(header, data, file.objGuid, file.verGuid, NO_RESTORE).errNo(),
            ENOENT);
  EXPECT_FALSE(exists(file.verGuid));
  ASSERT_OK(store_->readFileHeader(header, data, file.objGuid, file.verGuid, DO_RESTORE));
  EXPECT_EQ(header.size, 10u);
  EXPECT_EQ(data.extentSize, kExtent);
  EXPECT_TRUE(exists(file.verGuid));
}

TEST_F(RestoreTest, DirectoryHeaderRestoreHandsTheCallerRealRecords) {
  ItemName dir;
  ASSERT_OK(store_->mkdir(dir, "/folder", 0750));
  ItemName child;
  ASSERT_OK(store_->create(child, "/folder/inside", 0600, FILE_TYPE_REGULAR));
  const guid_t dirSeg = store_->fullDirGuid(dir.objGuid);
  drop(dirSeg);

  RestoredHeaderData carrier;
  ASSERT_OK(store_->restoreFileHeader(dir.objGuid, dirSeg, carrier));
  EXPECT_EQ(carrier.header.mode, static_cast<uint64_t>(S_IFDIR | 0750));
  EXPECT_EQ(carrier.data.fileType, static_cast<uint64_t>(FILE_TYPE_DIRECTORY));
  EXPECT_NE(carrier.data.extentSize, 0u);
  EXPECT_EQ(carrier.data.hasData, 1);
  EXPECT_STREQ(carrier.data.parentGuid, store_->getRootGuid().c_str());

  drop(dirSeg);
  store_->dirEntCache().clear();
  CXFileHeader header;
  FileHeaderData data;
  ASSERT_OK(store_->readFileHeader(header, data, dir.objGuid, dirSeg, DO_RESTORE));
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFDIR | 0750));
  EXPECT_EQ(data.magic, FILE_HEADER_MAGIC);
  EXPECT_NE(data.extentSize, 0u);

  GuidPathList children;
  bool done = false;
  ItemName again("/folder");
  ASSERT_OK(store_->readdir(again, children, 0, 100, done));
  std::vector<std::string> names;
  for (const auto& [guid, name] : children)
    if (name != "." && name != "..") names.push_back(name);
  EXPECT_EQ(names, std::vector<std::string>{"inside"});
}

}  // namespace
}  // namespace ObjectStore
