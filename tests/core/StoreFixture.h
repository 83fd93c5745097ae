// Test support for the store core and the container.
//
// StoreFixture gives each test an initialised container in its own temporary
// directory, backed by a RecordingDiskCache (the real disk cache, counting
// and recording the calls the store makes, with a hook to tamper with what a
// read returns). Store tests open stores directly on a RecordingIndex (the
// real index service, recording the point in time of every query and
// counting changes), so that they see exactly what the store asks of both.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "common/TestEnv.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/utils/FileUtils.h"

#define EXPECT_OK(expr)                                          \
  do {                                                           \
    ::ObjectStore::CZnError expectOkErr_ = (expr);               \
    EXPECT_TRUE(expectOkErr_.ok())                               \
        << expectOkErr_.text() << ": " << expectOkErr_.chain();  \
  } while (0)

#define ASSERT_OK(expr)                                          \
  do {                                                           \
    ::ObjectStore::CZnError assertOkErr_ = (expr);               \
    ASSERT_TRUE(assertOkErr_.ok())                               \
        << assertOkErr_.text() << ": " << assertOkErr_.chain();  \
  } while (0)

namespace ObjectStore::test {

using Bytes = std::vector<unsigned char>;

// The raw bytes of a record as it is written into a section.
template <typename T>
Bytes bytesOf(const T& record) {
  Bytes bytes(sizeof(T));
  std::memcpy(bytes.data(), &record, sizeof(T));
  return bytes;
}

// One section write as the disk cache received it.
struct RecordedWrite {
  int32_t number = 0;
  uint64_t offset = 0;
  Bytes bytes;
};

class RecordingDiskCache : public DiskCache {
 public:
  std::atomic<int> readSectionsCalls{0};
  std::atomic<int> readAllCalls{0};
  std::atomic<int> replaceCalls{0};
  std::atomic<int> writeCalls{0};
  std::atomic<int> createCalls{0};
  std::atomic<int> deleteCalls{0};
  std::atomic<int> existCalls{0};

  // Called with the sections a successful readSections returned.
  void setReadHook(std::function<void(const std::string&, std::vector<Section>&)> hook) {
    std::lock_guard<std::mutex> guard(mutex_);
    readHook_ = std::move(hook);
  }
  std::vector<RecordedWrite> lastWrites() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lastWrites_;
  }
  // (number, size) of each section of the last created segment, in order.
  std::vector<std::pair<int32_t, uint64_t>> lastCreated() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lastCreated_;
  }
  void resetCounts() {
    readSectionsCalls = readAllCalls = replaceCalls = writeCalls = createCalls = deleteCalls =
        existCalls = 0;
  }

  CZnError createSegment(DiskCacheContext& ctx, const std::string& name,
                         const std::vector<Section>& sections, bool reserved1, bool isNonPrunable,
                         bool reserved2) override {
    ++createCalls;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      lastCreated_.clear();
      for (const auto& s : sections) lastCreated_.emplace_back(s.number, s.size);
    }
    return DiskCache::createSegment(ctx, name, sections, reserved1, isNonPrunable, reserved2);
  }
  bool doesSegmentExist(DiskCacheContext& ctx, const std::string& name) override {
    ++existCalls;
    return DiskCache::doesSegmentExist(ctx, name);
  }
  CZnError readSections(DiskCacheContext& ctx, const std::string& name,
                        std::vector<Section>& sections, bool touch) override {
    ++readSectionsCalls;
    CZnError err = DiskCache::readSections(ctx, name, sections, touch);
    std::function<void(const std::string&, std::vector<Section>&)> hook;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      hook = readHook_;
    }
    if (err.ok() && hook) hook(name, sections);
    return err;
  }
  CZnError readAllSections(DiskCacheContext& ctx, const std::string& name,
                           std::vector<SectionV>& sections) override {
    ++readAllCalls;
    return DiskCache::readAllSections(ctx, name, sections);
  }
  CZnError writeSections(DiskCacheContext& ctx, const std::string& name,
                         const std::vector<Section>& sections, bool reserved,
                         int forceDiskLoc) override {
    ++writeCalls;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      lastWrites_.clear();
      for (const auto& s : sections) {
        const auto* p = static_cast<const unsigned char*>(s.buffer);
        lastWrites_.push_back({s.number, s.offset, Bytes(p, p + s.size)});
      }
    }
    return DiskCache::writeSections(ctx, name, sections, reserved, forceDiskLoc);
  }
  CZnError replaceSegment(DiskCacheContext& ctx, const std::string& name,
                          const std::vector<Section>& sections) override {
    ++replaceCalls;
    return DiskCache::replaceSegment(ctx, name, sections);
  }
  CZnError deleteSegment(DiskCacheContext& ctx, const std::string& name, bool flagA, bool flagB,
                         int recycle) override {
    ++deleteCalls;
    return DiskCache::deleteSegment(ctx, name, flagA, flagB, recycle);
  }

 private:
  std::mutex mutex_;
  std::function<void(const std::string&, std::vector<Section>&)> readHook_;
  std::vector<RecordedWrite> lastWrites_;
  std::vector<std::pair<int32_t, uint64_t>> lastCreated_;
};

class RecordingIndex : public index_iface {
 public:
  using index_iface::index_iface;

  std::atomic<int> findByGuidCalls{0};
  std::atomic<int> findByPathCalls{0};
  std::atomic<int> addCalls{0};
  std::atomic<int> updateCalls{0};
  std::atomic<int> deleteCalls{0};

  // before_time of every find, in call order.
  std::vector<uint64_t> beforeTimes() {
    std::lock_guard<std::mutex> guard(mutex_);
    return beforeTimes_;
  }
  void resetCounts() {
    findByGuidCalls = findByPathCalls = addCalls = updateCalls = deleteCalls = 0;
    std::lock_guard<std::mutex> guard(mutex_);
    beforeTimes_.clear();
  }

  int find_by_guid(const index_iface_browse_fields& fields, index_iface_props& props) override {
    ++findByGuidCalls;
    record(fields.before_time);
    return index_iface::find_by_guid(fields, props);
  }
  int find_by_path(const index_iface_browse_fields& fields, index_iface_props& props) override {
    ++findByPathCalls;
    record(fields.before_time);
    return index_iface::find_by_path(fields, props);
  }
  int add_item(index_iface_props& props) override {
    ++addCalls;
    return index_iface::add_item(props);
  }
  int update_item(index_iface_props& props) override {
    ++updateCalls;
    return index_iface::update_item(props);
  }
  int delete_item(index_iface_props& props) override {
    ++deleteCalls;
    return index_iface::delete_item(props);
  }

 private:
  void record(uint64_t beforeTime) {
    std::lock_guard<std::mutex> guard(mutex_);
    beforeTimes_.push_back(beforeTime);
  }
  std::mutex mutex_;
  std::vector<uint64_t> beforeTimes_;
};

class StoreFixture : public TestEnv {
 protected:
  static constexpr uint64_t SUBCLIENT = 42;

  void SetUp() override {
    TestEnv::SetUp();
    containerDir_ = path("container");
    cache_ = std::make_shared<RecordingDiskCache>();
    const std::string cacheDir = containerDir_ + "/cache";
    ASSERT_OK(cache_->init(cacheDir, {cacheDir}, 90, 80, 85, 100, nullptr, PruningMode::Random));
    container_ = std::make_unique<ObjectContainer>();
    ObjectContainerConfig config;
    config.containerDir = containerDir_;
    config.diskCache = cache_;
    ASSERT_OK(container_->init(config));
  }

  void TearDown() override {
    while (!stores_.empty()) closeStore(*stores_.back());
    indexes_.clear();
    container_.reset();
    if (cache_) cache_->shutdownPruner();
    cache_.reset();
    TestEnv::TearDown();
  }

  static ObjectStoreConfig liveConfig(const std::string& name = "share",
                                      uint64_t subclient = SUBCLIENT) {
    ObjectStoreConfig config;
    config.name = name;
    config.subclient = subclient;
    config.pitName = "0";
    return config;
  }
  static ObjectStoreConfig pitConfig(uint64_t timestamp, const std::string& pitName,
                                     bool discardWrites = false,
                                     const std::string& name = "share") {
    ObjectStoreConfig config = liveConfig(name);
    config.timestamp = timestamp;
    config.pitName = pitName;
    config.discardWrites = discardWrites;
    return config;
  }

  // The share's index (one per share key, shared by its stores).
  std::shared_ptr<RecordingIndex> shareIndex(const ObjectStoreConfig& config) {
    const std::string key = ObjectContainer::shareKeyOf(config.name, config.subclient);
    auto& index = indexes_[key];
    if (!index) {
      index_iface::args args;
      args.subclient = config.subclient;
      args.indexRoot = containerDir_ + "/index";
      args.shareKey = key;
      index = std::make_shared<RecordingIndex>(args);
      EXPECT_EQ(index->init(), 0);
    }
    return index;
  }

  std::string storeDirOf(const ObjectStoreConfig& config) {
    return containerDir_ + "/objstr/" + ObjectContainer::shareKeyOf(config.name, config.subclient) +
           "_" + config.pitName;
  }

  // Opens a store the way the container does, but directly on a
  // RecordingIndex. Returns the error of initialize.
  CZnError tryOpenStore(const ObjectStoreConfig& config, ObjectStore** out,
                        bool registerWithRestore = true) {
    if (registerWithRestore) {
      EXPECT_TRUE(registerSubClient(config.subclient, containerDir_ + "/backup"));
    }
    const std::string dir = storeDirOf(config);
    EXPECT_EQ(createDir(dir), 0);
    auto store = std::make_unique<ObjectStore>(*container_, cache_, shareIndex(config));
    CZnError err = store->initialize(config, dir);
    if (!err.ok()) {
      (void)store->uninitialize();
      return err;
    }
    stores_.push_back(std::move(store));
    if (out != nullptr) *out = stores_.back().get();
    return err;
  }

  // Opens a store that must open; null (with a test failure) otherwise.
  ObjectStore* openStore(const ObjectStoreConfig& config) {
    ObjectStore* store = nullptr;
    CZnError err = tryOpenStore(config, &store);
    EXPECT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    return store;
  }

  void closeStore(ObjectStore& store) {
    for (auto it = stores_.begin(); it != stores_.end(); ++it) {
      if (it->get() == &store) {
        (void)(*it)->uninitialize();
        stores_.erase(it);
        return;
      }
    }
  }

  // A valid pair of header records for segment `segment` of object `objGuid`.
  static void validRecords(FileHeaderData& data, CXFileHeader& header, const guid_t& objGuid,
                           const guid_t& segment, uint64_t extentSize = 1048576) {
    data = FileHeaderData();
    data.magic = FILE_HEADER_MAGIC;
    data.version = FILE_HEADER_VERSION;
    data.fileType = FILE_TYPE_REGULAR;
    data.extentSize = extentSize;
    data.versionTimeNs = 1234567890123456789ull;
    std::memcpy(data.parentGuid, "parentparentparentparentparent00", 32);
    header = CXFileHeader();
    createMetaData(&header, objGuid, segment, 0100644, 1000, 100, 77, 1700000001, 1700000002);
  }

  // Creates a segment straight through the disk cache with these sections.
  CZnError makeSegment(ObjectStore& store, const std::string& name,
                       const std::vector<std::pair<int32_t, Bytes>>& sections) {
    std::vector<Section> writes;
    for (const auto& [number, bytes] : sections) {
      Section s;
      s.number = number;
      s.size = bytes.size();
      s.bufferLength = bytes.size();
      s.buffer = const_cast<unsigned char*>(bytes.data());
      writes.push_back(s);
    }
    return cache_->DiskCache::createSegment(store.diskCacheContext(), name, writes, false, false,
                                            false);
  }

  // Every section of a segment as the disk cache holds it (not through the
  // store: no upgrade, no counting of damage).
  std::vector<SectionV> readAllRaw(ObjectStore& store, const std::string& name) {
    std::vector<SectionV> sections;
    CZnError err = cache_->DiskCache::readAllSections(store.diskCacheContext(), name, sections);
    EXPECT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    return sections;
  }

  static const SectionV* findSection(const std::vector<SectionV>& sections, int32_t number) {
    for (const auto& s : sections)
      if (s.number == number) return &s;
    return nullptr;
  }

  std::string containerDir_;
  std::shared_ptr<RecordingDiskCache> cache_;
  std::unique_ptr<ObjectContainer> container_;
  std::map<std::string, std::shared_ptr<RecordingIndex>> indexes_;
  std::vector<std::unique_ptr<ObjectStore>> stores_;
};

// A 32-digit hexadecimal GUID made of one repeated digit, for readable tests.
inline std::string fakeGuid(char digit) { return std::string(32, digit); }

}  // namespace ObjectStore::test
