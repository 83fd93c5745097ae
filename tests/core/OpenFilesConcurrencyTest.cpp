// Opens, closes and byte-range locks of one file from several threads at
// once: the counts stay right, at most one new-version writer holds the file
// at a time, every opener sees a loaded record, and the record goes with the
// last close.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "ObjectStore/ScopedOpeners.h"
#include "core/StoreFixture.h"

namespace ObjectStore {
namespace {

constexpr uint64_t kFileSize = 12345;
constexpr int kThreads = 4;

class OpenFilesConcurrencyTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    store_ = openStore(liveConfig());
    ASSERT_NE(store_, nullptr);
    ASSERT_OK(store_->createNewItem(file_, "/busy", FileAttribs{0644, 0, 0}, store_->getRootGuid(),
                                    FILE_TYPE_REGULAR, "", false));
    ASSERT_OK(store_->updateFileHeader(file_.verGuid, kFileSize, 0, 0, "", Range()));
  }

  // The record as an opener sees it, read under the item lock.
  static bool recordLoaded(const FileHandle& handle) {
    HxCriticalSectionGuard itemLock(handle.info->lock);
    return handle.info->extentSize == 1048576 && handle.info->size == kFileSize;
  }

  ObjectStore* store_ = nullptr;
  ItemName file_;
};

TEST_F(OpenFilesConcurrencyTest, ReadersWritersAndLockersShareOneRecord) {
  constexpr int kRounds = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread is its own lock owner with its own range.
      void* owner = reinterpret_cast<void*>(static_cast<uintptr_t>(t + 1));
      const uint64_t begin = static_cast<uint64_t>(t) * 100;
      for (int round = 0; round < kRounds; ++round) {
        FileHandle handle;
        ItemName name(file_.objGuid, false);
        const int flags = (round + t) % 3 == 0 ? O_RDWR : O_RDONLY;
        if (!store_->open(handle, name, flags, false).ok()) {
          ++failures;
          continue;
        }
        if (!recordLoaded(handle)) ++failures;
        LockInfo request;
        request.fh = &handle;
        request.type = round % 2 == 0 ? LOCK_SHARED : 2;
        request.begin = begin;
        request.end = begin + 99;
        request.owner = owner;
        LockInfo conflict;
        if (!store_->lock(request, conflict).ok()) ++failures;
        // Another thread's range is never locked by this one's request, and
        // this one's range is held.
        LockInfo probe = request;
        probe.type = 2;
        probe.owner = reinterpret_cast<void*>(uintptr_t{999});
        bool locked = false;
        if (!store_->telllock(probe, locked).ok() || !locked) ++failures;
        {
          AutoFileInternalOpener inner(*store_, handle);
          if (!inner.open().ok()) ++failures;
        }
        // Every other round leaves the lock for close to drop.
        if (round % 2 == 0 && !store_->unlock(request).ok()) ++failures;
        if (!store_->close(handle, CLIENT_CLOSE).ok()) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(store_->findOpenFile(file_.objGuid), nullptr);

  // Nothing was left behind: a fresh open starts a fresh, lock-free record.
  FileHandle handle;
  ItemName name(file_.objGuid, false);
  ASSERT_OK(store_->open(handle, name, O_RDONLY, false));
  EXPECT_EQ(handle.info->readers, 1);
  EXPECT_EQ(handle.info->writers, 0);
  EXPECT_TRUE(handle.info->locks.empty());
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(OpenFilesConcurrencyTest, OnlyOneNewVersionWriterAtATime) {
  constexpr int kRounds = 15;
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> failures{0};
  std::atomic<int> opened{0};
  std::mutex versionsMutex;
  std::set<guid_t> versions;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        FileHandle handle;
        ItemName name(file_.objGuid, false);
        CZnError err = store_->open(handle, name, O_WRONLY, true);
        if (err.errNo() == EAGAIN) {
          std::this_thread::yield();
          continue;
        }
        if (!err.ok()) {
          ++failures;
          continue;
        }
        ++opened;
        if (holders.fetch_add(1) != 0) ++overlaps;
        if (!recordLoaded(handle)) ++failures;
        {
          std::lock_guard<std::mutex> guard(versionsMutex);
          versions.insert(handle.name.verGuid);
        }
        std::this_thread::yield();
        holders.fetch_sub(1);
        if (!store_->close(handle, CLIENT_CLOSE).ok()) ++failures;
      }
    });
  }
  // Readers come and go meanwhile; they never block a writer.
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      FileHandle handle;
      ItemName name(file_.objGuid, false);
      if (!store_->open(handle, name, O_RDONLY, true).ok()) {
        ++failures;
        continue;
      }
      if (!store_->close(handle, CLIENT_CLOSE).ok()) ++failures;
    }
  });
  for (auto& thread : threads) thread.join();
  stop = true;
  reader.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  ASSERT_GT(opened.load(), 0);
  // Each successful write open made a version of its own.
  EXPECT_EQ(versions.size(), static_cast<size_t>(opened.load()));
  EXPECT_EQ(versions.count(file_.verGuid), 0u);
  EXPECT_EQ(store_->findOpenFile(file_.objGuid), nullptr);
  guid_t current;
  ASSERT_OK(store_->getLatestVersion(file_.objGuid, current));
  EXPECT_EQ(versions.count(current), 1u);
}

}  // namespace
}  // namespace ObjectStore
