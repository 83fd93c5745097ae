// Test support for the tests of the store's operations: a StoreFixture with
// a store of its own (store_), an optional stopped clock, and helpers that
// make items through the store and look at what the disk cache and the index
// hold afterwards.
#pragma once

#include <fcntl.h>

#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "core/StoreFixture.h"
#include "platform/backup/BackupInterface.h"
#include "platform/support/Clock.h"

namespace ObjectStore::test {

// Deterministic non-zero bytes, so that a zero read back can only come from
// a hole; each seed gives other bytes.
inline std::string pattern(uint64_t length, unsigned seed) {
  std::string bytes(length, '\0');
  for (uint64_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 31 + seed) % 251 + 1);
  return bytes;
}

// Compares byte strings without printing megabytes on a mismatch.
inline ::testing::AssertionResult sameBytes(const std::string& actual,
                                            const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                       << ", first difference at byte " << i;
}

class StoreOpsFixture : public StoreFixture {
 protected:
  void TearDown() override {
    StoreFixture::TearDown();
    clock_.reset();
  }

  // Stops the clock at `startSec` for the rest of the test; tests move it
  // with clock_->advanceSec.
  void stopClockAt(int64_t startSec) { clock_ = std::make_unique<ManualClock>(startSec); }

  // Opens the live share as store_.
  void openLiveStore() {
    store_ = openStore(liveConfig());
    ASSERT_NE(store_, nullptr);
  }

  // A store that must open (a test failure and null otherwise).
  ObjectStore* open(const ObjectStoreConfig& config = liveConfig()) {
    ObjectStore* store = openStore(config);
    EXPECT_NE(store, nullptr);
    return store;
  }

  // Starts a container on containerDir_ with `cache` as its disk cache, the
  // way the fixture's set-up does (a restarted file server does the same on
  // what an earlier one left).
  void startContainer(std::shared_ptr<RecordingDiskCache> cache) {
    cache_ = std::move(cache);
    const std::string cacheDir = containerDir_ + "/cache";
    ASSERT_OK(cache_->init(cacheDir, {cacheDir}, 90, 80, 85, 100, nullptr, PruningMode::Random));
    container_ = std::make_unique<ObjectContainer>();
    ObjectContainerConfig config;
    config.containerDir = containerDir_;
    config.diskCache = cache_;
    ASSERT_OK(container_->init(config));
  }

  RecordingIndex& index() { return *shareIndex(liveConfig()); }

  // ---- Items through the namespace operations of store_ --------------------

  guid_t makeDir(const std::string& path) {
    ItemName item;
    EXPECT_OK(store_->mkdir(item, path, 0755));
    return item.objGuid;
  }

  // A regular file holding `content` (written through one handle and closed
  // when there is any).
  guid_t makeFile(const std::string& path, const std::string& content = "") {
    ItemName item;
    EXPECT_OK(store_->create(item, path, 0644, FILE_TYPE_REGULAR));
    if (!content.empty()) {
      ItemName named(path);
      FileHandle handle;
      EXPECT_OK(store_->open(handle, named, O_RDWR, false));
      uint64_t len = content.size();
      EXPECT_OK(store_->write(handle, content.data(), len, 0, NO_SYNC));
      EXPECT_OK(store_->close(handle, CLIENT_CLOSE));
    }
    return item.objGuid;
  }

  // Up to 64 KiB of the file at path; "<unopenable>" (and a test failure)
  // when it can't be opened.
  std::string readAll(const std::string& path) {
    ItemName named(path);
    FileHandle handle;
    CZnError err = store_->open(handle, named, O_RDONLY, false);
    EXPECT_TRUE(err.ok()) << err.chain();
    if (!err.ok()) return "<unopenable>";
    std::string buffer(65536, '\0');
    uint64_t len = buffer.size();
    EXPECT_OK(store_->read(handle, buffer.data(), 0, len));
    EXPECT_OK(store_->close(handle, CLIENT_CLOSE));
    buffer.resize(len);
    return buffer;
  }

  // The children of a directory by name (without "." and ".."). A name
  // listed twice is a test failure.
  std::map<std::string, guid_t> children(const std::string& path) {
    ItemName dir(path);
    GuidPathList out;
    bool done = false;
    CZnError err = store_->readdir(dir, out, 0, DIRENT_READ_ALL, done);
    EXPECT_TRUE(err.ok()) << path << ": " << err.chain();
    std::map<std::string, guid_t> byName;
    for (size_t i = 2; i < out.size(); ++i) {
      EXPECT_TRUE(byName.emplace(out[i].second, out[i].first).second)
          << "[" << out[i].second << "] listed twice in " << path;
    }
    return byName;
  }

  // The object GUID the index holds for path, or "" when it has none.
  guid_t indexGuid(const std::string& path) {
    index_iface_props props;
    return store_->findPathFromIndex(path, props).ok() ? props.objGuid : "";
  }

  // ---- Items made directly (no entry in the parent's list) -----------------

  // A regular file below the root of `store`.
  ItemName createFile(ObjectStore& store, const std::string& path) {
    ItemName item;
    EXPECT_OK(store.createNewItem(item, path, FileAttribs{0644, 1, 2}, store.getRootGuid(),
                                  FILE_TYPE_REGULAR, "", false));
    return item;
  }
  ItemName createFile(const std::string& path) { return createFile(*store_, path); }

  // A directory below the root of `store`.
  guid_t mkdir(ObjectStore& store, const std::string& path) {
    ItemName item;
    EXPECT_OK(store.createNewItem(item, path, FileAttribs{0755, 0, 0}, store.getRootGuid(),
                                  FILE_TYPE_DIRECTORY, "", false));
    return item.objGuid;
  }

  // ---- File data through a handle -------------------------------------------

  void openFile(ObjectStore& store, FileHandle& handle, const guid_t& objGuid, int flags = O_RDWR,
                bool newVersion = false) {
    ItemName byGuid(objGuid, false);
    ASSERT_OK(store.open(handle, byGuid, flags, newVersion));
  }
  void openFile(FileHandle& handle, const guid_t& objGuid, int flags = O_RDWR,
                bool newVersion = false) {
    openFile(*store_, handle, objGuid, flags, newVersion);
  }

  // One write, which must take all the bytes.
  void writeAt(ObjectStore& store, FileHandle& handle, const std::string& bytes, uint64_t offset) {
    uint64_t len = bytes.size();
    ASSERT_OK(store.write(handle, bytes.data(), len, offset, NO_SYNC));
    EXPECT_EQ(len, bytes.size());
  }
  void writeAt(FileHandle& handle, const std::string& bytes, uint64_t offset) {
    writeAt(*store_, handle, bytes, offset);
  }

  // The bytes delivered by one read of `len` bytes at `offset`.
  std::string readAt(ObjectStore& store, FileHandle& handle, uint64_t offset, uint64_t len) {
    std::string buf(len, '\x5a');
    uint64_t got = len;
    CZnError err = store.read(handle, buf.data(), offset, got);
    EXPECT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    EXPECT_LE(got, len);
    buf.resize(got);
    return buf;
  }
  std::string readAt(FileHandle& handle, uint64_t offset, uint64_t len) {
    return readAt(*store_, handle, offset, len);
  }

  // ---- What the disk cache holds --------------------------------------------

  bool segmentExists(ObjectStore& store, const std::string& name) {
    return cache_->DiskCache::doesSegmentExist(store.diskCacheContext(), name);
  }
  bool segmentExists(const std::string& name) { return segmentExists(*store_, name); }

  // The data section of a segment; empty when it has none.
  std::string dataSection(ObjectStore& store, const std::string& name) {
    for (const auto& s : readAllRaw(store, name))
      if (s.number == SECTION_DATA) return std::string(s.data.begin(), s.data.end());
    return std::string();
  }
  std::string dataSection(const std::string& name) { return dataSection(*store_, name); }

  // Both records of a segment; each must be there, with its exact size.
  void readRecords(ObjectStore& store, const guid_t& segment, FileHeaderData& data,
                   CXFileHeader& header) {
    auto sections = readAllRaw(store, segment);
    const SectionV* d = findSection(sections, SECTION_HEADER);
    const SectionV* h = findSection(sections, SECTION_ATTRIBUTE);
    ASSERT_NE(d, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(d->data.size(), sizeof(data));
    ASSERT_EQ(h->data.size(), sizeof(header));
    std::memcpy(&data, d->data.data(), sizeof(data));
    std::memcpy(&header, h->data.data(), sizeof(header));
  }
  void readRecords(const guid_t& segment, FileHeaderData& data, CXFileHeader& header) {
    readRecords(*store_, segment, data, header);
  }

  // The attribute record of a segment as it lies on disk (a test failure
  // when the segment has none).
  CXFileHeader attributeRecord(ObjectStore& store, const guid_t& segment) {
    CXFileHeader header;
    auto sections = readAllRaw(store, segment);
    const SectionV* attr = findSection(sections, SECTION_ATTRIBUTE);
    EXPECT_NE(attr, nullptr);
    if (attr != nullptr && attr->data.size() == sizeof(header))
      std::memcpy(&header, attr->data.data(), sizeof(header));
    return header;
  }

  // ---- What the backup holds ------------------------------------------------

  // Gives the live share a backup target for the object's lifetime, so that
  // backup jobs can start and restores can read back what they sent.
  class ScopedBackupTarget {
   public:
    explicit ScopedBackupTarget(StoreOpsFixture& fixture) {
      registerShareIndex(SUBCLIENT, fixture.shareIndex(liveConfig()),
                         fixture.containerDir_ + "/backup");
    }
    ~ScopedBackupTarget() { unregisterShareIndex(SUBCLIENT); }
    ScopedBackupTarget(const ScopedBackupTarget&) = delete;
    ScopedBackupTarget& operator=(const ScopedBackupTarget&) = delete;
  };

  // Sends the segments of `store` through one backup job (a ScopedBackupTarget
  // must be alive); when it returns, the index knows where each lies.
  void backUp(ObjectStore& store, const std::vector<guid_t>& segments) {
    auto info = std::make_shared<OBJECTOPSAPI::JobInfo>(1, 2, 0, "", 110, SUBCLIENT, 2);
    std::shared_ptr<BackupInterface> job;
    ASSERT_OK(BackupInterface::getController(info, job, false));
    ASSERT_OK(job->setCallBack([](unsigned int, std::list<std::string>, void*) {}, nullptr));
    for (const guid_t& segment : segments) {
      std::list<std::string> requeue;
      int64_t bytes = 0;
      int stream = 0;
      ASSERT_OK(job->sendItem(segment.c_str(), requeue, bytes, stream, store.diskCache(),
                              store.diskCacheContext()));
    }
    std::list<std::string> requeue;
    ASSERT_OK(job->endBackup(requeue, false));
    ASSERT_TRUE(requeue.empty());
  }

  std::unique_ptr<ManualClock> clock_;
  ObjectStore* store_ = nullptr;
};

}  // namespace ObjectStore::test
