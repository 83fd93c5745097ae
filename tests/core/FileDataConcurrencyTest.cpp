// File data under concurrency: writers of different files and of different
// extents of one file, with readers running alongside. Every byte a reader
// sees must be one that was written there (or zero, not written yet), and
// the final content must hold every writer's last bytes, also after the
// store has forgotten everything it cached.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/OpenFileInfo.h"
#include "core/StoreFixture.h"

namespace ObjectStore {
namespace {

constexpr uint64_t kExtent = 65536;
constexpr unsigned kGenerations = 6;
constexpr unsigned kSharedWriters = 4;
constexpr uint64_t kSharedExtents = 12;  // extent n belongs to writer n % kSharedWriters
constexpr uint64_t kOwnFileSize = 3 * kExtent + 123;

// The byte that generation g writes at position p; never zero.
char byteAt(uint64_t p, unsigned g) { return static_cast<char>((p * 7 + g * 13) % 251 + 1); }

std::string generation(uint64_t offset, uint64_t length, unsigned g) {
  std::string bytes(length, '\0');
  for (uint64_t i = 0; i < length; ++i) bytes[i] = byteAt(offset + i, g);
  return bytes;
}

// The first position in [offset, offset + bytes.size()) holding a byte no
// generation wrote there, or -1.
int64_t firstForeignByte(const std::string& bytes, uint64_t offset) {
  for (uint64_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\0') continue;
    bool known = false;
    for (unsigned g = 0; g < kGenerations && !known; ++g) known = bytes[i] == byteAt(offset + i, g);
    if (!known) return static_cast<int64_t>(offset + i);
  }
  return -1;
}

class FileDataConcurrencyTest : public test::StoreFixture {
 protected:
  ObjectStoreConfig config() {
    ObjectStoreConfig c = liveConfig();
    c.extentSize = kExtent;
    return c;
  }
  ItemName createFile(const std::string& path) {
    ItemName item;
    EXPECT_OK(store_->createNewItem(item, path, FileAttribs{0644, 0, 0}, store_->getRootGuid(),
                                    FILE_TYPE_REGULAR, "", false));
    return item;
  }
  std::string readWhole(const guid_t& objGuid) {
    FileHandle handle;
    ItemName byGuid(objGuid, false);
    CZnError err = store_->open(handle, byGuid, O_RDONLY, false);
    EXPECT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    if (!err.ok()) return std::string();
    std::string bytes(handle.info->size, '\x5a');
    uint64_t len = bytes.size();
    EXPECT_OK(store_->read(handle, bytes.data(), 0, len));
    bytes.resize(len);
    EXPECT_OK(store_->close(handle, CLIENT_CLOSE));
    return bytes;
  }

  ObjectStore* store_ = nullptr;
};

TEST_F(FileDataConcurrencyTest, ReadersSeeOnlyWrittenBytesWhileWritersRun) {
  store_ = openStore(config());
  ASSERT_NE(store_, nullptr);
  const ItemName shared = createFile("/shared");
  std::vector<ItemName> own = {createFile("/own0"), createFile("/own1")};

  std::atomic<int> writersLeft{static_cast<int>(kSharedWriters + own.size())};
  std::atomic<int> failures{0};
  std::atomic<uint64_t> checkedReads{0};
  auto fail = [&](const std::string& what) {
    ADD_FAILURE() << what;
    ++failures;
  };

  auto sharedWriter = [&](unsigned id) {
    FileHandle handle;
    ItemName byGuid(shared.objGuid, false);
    CZnError err = store_->open(handle, byGuid, O_RDWR, false);
    if (!err.ok()) return fail("open: " + err.text());
    for (unsigned g = 0; g < kGenerations; ++g) {
      // Highest extents first in the first round, so that writes land past
      // the end while lower extents are still being filled.
      for (uint64_t k = 0; k < kSharedExtents / kSharedWriters; ++k) {
        const uint64_t n =
            g == 0 ? kSharedExtents - kSharedWriters * (k + 1) + id : id + k * kSharedWriters;
        const std::string bytes = generation(n * kExtent, kExtent, g);
        uint64_t len = bytes.size();
        err = store_->write(handle, bytes.data(), len, n * kExtent, NO_SYNC);
        if (!err.ok()) return fail("write: " + err.text() + ": " + err.chain());
      }
    }
    if (err = store_->close(handle, CLIENT_CLOSE); !err.ok()) fail("close: " + err.text());
    --writersLeft;
  };

  auto ownWriter = [&](const ItemName& item) {
    FileHandle handle;
    ItemName byGuid(item.objGuid, false);
    CZnError err = store_->open(handle, byGuid, O_WRONLY, false);
    if (!err.ok()) return fail("open: " + err.text());
    for (unsigned g = 0; g < kGenerations; ++g) {
      // Pieces that straddle extent boundaries.
      for (uint64_t offset = 0; offset < kOwnFileSize; offset += 50000) {
        const uint64_t length = std::min<uint64_t>(50000, kOwnFileSize - offset);
        const std::string bytes = generation(offset, length, g);
        uint64_t len = length;
        err = store_->write(handle, bytes.data(), len, offset, NO_SYNC);
        if (!err.ok()) return fail("write: " + err.text() + ": " + err.chain());
      }
    }
    if (err = store_->close(handle, CLIENT_CLOSE); !err.ok()) fail("close: " + err.text());
    --writersLeft;
  };

  auto reader = [&](unsigned seed) {
    std::mt19937_64 random(seed);
    std::vector<guid_t> files = {shared.objGuid, own[0].objGuid, own[1].objGuid};
    std::vector<FileHandle> handles(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      ItemName byGuid(files[i], false);
      CZnError err = store_->open(handles[i], byGuid, O_RDONLY, false);
      if (!err.ok()) return fail("open: " + err.text());
    }
    do {
      const size_t which = random() % files.size();
      const uint64_t span = which == 0 ? kSharedExtents * kExtent : kOwnFileSize;
      const uint64_t offset = random() % span;
      const uint64_t want = 1 + random() % (2 * kExtent);
      std::string bytes(want, '\x5a');
      uint64_t len = want;
      CZnError err = store_->read(handles[which], bytes.data(), offset, len);
      if (!err.ok()) return fail("read: " + err.text() + ": " + err.chain());
      if (len > want) return fail("read delivered more than asked");
      bytes.resize(len);
      if (int64_t bad = firstForeignByte(bytes, offset); bad >= 0)
        return fail("foreign byte at " + std::to_string(bad) + " of file " + std::to_string(which));
      ++checkedReads;
    } while (writersLeft.load() > 0 && failures.load() == 0);
    for (auto& handle : handles) (void)store_->close(handle, CLIENT_CLOSE);
  };

  std::vector<std::thread> threads;
  for (unsigned id = 0; id < kSharedWriters; ++id) threads.emplace_back(sharedWriter, id);
  for (const auto& item : own) threads.emplace_back(ownWriter, std::cref(item));
  for (unsigned r = 0; r < 2; ++r) threads.emplace_back(reader, 1000 + r);
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(failures.load(), 0);
  EXPECT_GT(checkedReads.load(), 0u);

  const unsigned last = kGenerations - 1;
  auto checkFinal = [&]() {
    const std::string sharedBytes = readWhole(shared.objGuid);
    ASSERT_EQ(sharedBytes.size(), kSharedExtents * kExtent);
    EXPECT_TRUE(sharedBytes == generation(0, kSharedExtents * kExtent, last));
    for (const auto& item : own) {
      const std::string bytes = readWhole(item.objGuid);
      ASSERT_EQ(bytes.size(), kOwnFileSize);
      EXPECT_TRUE(bytes == generation(0, kOwnFileSize, last));
    }
  };
  checkFinal();
  // What the headers recorded (size, empty range) must not hide any data
  // once the cached extent locations are gone.
  closeStore(*store_);
  store_ = openStore(config());
  ASSERT_NE(store_, nullptr);
  checkFinal();
}

TEST_F(FileDataConcurrencyTest, WritersOfOneFileAndATruncateStayConsistent) {
  store_ = openStore(config());
  ASSERT_NE(store_, nullptr);
  const ItemName item = createFile("/cut");
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};

  // Two writers keep rewriting the first four extents while a third thread
  // truncates the file back to two extents and lets it grow again.
  auto writer = [&](unsigned id) {
    FileHandle handle;
    ItemName byGuid(item.objGuid, false);
    if (!store_->open(handle, byGuid, O_RDWR, false).ok()) return void(++failures);
    for (unsigned g = 0; g < kGenerations * 4 && !stop.load(); ++g) {
      const uint64_t n = id + 2 * (g % 2);
      const std::string bytes = generation(n * kExtent, kExtent, g % kGenerations);
      uint64_t len = bytes.size();
      if (!store_->write(handle, bytes.data(), len, n * kExtent, NO_SYNC).ok()) ++failures;
    }
    if (!store_->close(handle, CLIENT_CLOSE).ok()) ++failures;
  };
  auto truncater = [&]() {
    ItemName byGuid(item.objGuid, false);
    for (int i = 0; i < 10; ++i)
      if (!store_->truncate(byGuid, 2 * kExtent, false).ok()) ++failures;
    stop = true;
  };
  std::vector<std::thread> threads;
  threads.emplace_back(writer, 0);
  threads.emplace_back(writer, 1);
  threads.emplace_back(truncater);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  // Whatever the interleaving, every byte is a written one or zero.
  const std::string bytes = readWhole(item.objGuid);
  EXPECT_EQ(firstForeignByte(bytes, 0), -1);
  closeStore(*store_);
  store_ = openStore(config());
  ASSERT_NE(store_, nullptr);
  const std::string again = readWhole(item.objGuid);
  EXPECT_TRUE(again == bytes) << "content changed across a store reopen";
}

}  // namespace
}  // namespace ObjectStore
