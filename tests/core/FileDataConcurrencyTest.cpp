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

// True when [offset, offset + bytes.size()) is all zeros or wholly what
// one generation wrote there.
bool isZeroOrOneGeneration(const std::string& bytes, uint64_t offset) {
  if (bytes.find_first_not_of('\0') == std::string::npos) return true;
  for (unsigned g = 0; g < kGenerations; ++g)
    if (bytes == generation(offset, bytes.size(), g)) return true;
  return false;
}

TEST_F(FileDataConcurrencyTest, WritersOfOneFileAndATruncateStayConsistent) {
  store_ = openStore(config());
  ASSERT_NE(store_, nullptr);
  constexpr int kRounds = 4;
  std::vector<ItemName> items;
  for (int r = 0; r < kRounds; ++r) items.push_back(createFile("/cut" + std::to_string(r)));
  std::atomic<int> failures{0};
  auto fail = [&](const std::string& what, const CZnError& err) {
    ADD_FAILURE() << what << ": " << err.text() << ": " << err.chain();
    ++failures;
  };

  // Two writers keep rewriting whole extents among the first four (writer
  // 0 extents 0 and 2, writer 1 extents 1 and 3) while a third thread
  // truncates the file back to two extents and lets it grow again. A write
  // racing a truncate must land wholly before or wholly after it: neither
  // fail nor leave a size that covers bytes the truncate took away.
  for (const ItemName& item : items) {
    std::atomic<bool> stop{false};
    auto writer = [&](unsigned id) {
      FileHandle handle;
      ItemName byGuid(item.objGuid, false);
      if (CZnError err = store_->open(handle, byGuid, O_RDWR, false); !err.ok())
        return fail("open", err);
      for (unsigned g = 0; g < kGenerations * 4 && !stop.load(); ++g) {
        const uint64_t n = id + 2 * (g % 2);
        const std::string bytes = generation(n * kExtent, kExtent, g % kGenerations);
        uint64_t len = bytes.size();
        CZnError err = store_->write(handle, bytes.data(), len, n * kExtent, NO_SYNC);
        if (!err.ok()) fail("write", err);
      }
      if (CZnError err = store_->close(handle, CLIENT_CLOSE); !err.ok()) fail("close", err);
    };
    auto truncater = [&]() {
      ItemName byGuid(item.objGuid, false);
      for (int i = 0; i < 10; ++i) {
        CZnError err = store_->truncate(byGuid, 2 * kExtent, false);
        if (!err.ok()) fail("truncate", err);
      }
      stop = true;
    };
    // A reader alongside sees only written bytes or zeros, never an error
    // (a read overlapping a write of the same bytes may see parts of both).
    auto reader = [&]() {
      FileHandle handle;
      ItemName byGuid(item.objGuid, false);
      if (CZnError err = store_->open(handle, byGuid, O_RDONLY, false); !err.ok())
        return fail("open", err);
      while (!stop.load() && failures.load() == 0) {
        std::string bytes(4 * kExtent, '\x5a');
        uint64_t len = bytes.size();
        if (CZnError err = store_->read(handle, bytes.data(), 0, len); !err.ok()) {
          fail("read", err);
          break;
        }
        bytes.resize(len);
        if (int64_t bad = firstForeignByte(bytes, 0); bad >= 0) {
          ADD_FAILURE() << "foreign byte at " << bad;
          ++failures;
        }
      }
      if (CZnError err = store_->close(handle, CLIENT_CLOSE); !err.ok()) fail("close", err);
    };
    std::vector<std::thread> threads;
    threads.emplace_back(writer, 0);
    threads.emplace_back(writer, 1);
    threads.emplace_back(truncater);
    threads.emplace_back(reader);
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(failures.load(), 0);

  auto checkItem = [&](const std::string& bytes) {
    ASSERT_EQ(bytes.size() % kExtent, 0u);
    for (uint64_t n = 0; n < bytes.size() / kExtent; ++n)
      EXPECT_TRUE(isZeroOrOneGeneration(bytes.substr(n * kExtent, kExtent), n * kExtent))
          << "extent " << n << " is torn or holds foreign bytes";
    // Only a write of the fourth extent makes the file four extents long,
    // and it writes the whole extent after the last truncate took it away.
    if (bytes.size() == 4 * kExtent) {
      EXPECT_NE(bytes.substr(3 * kExtent).find_first_not_of('\0'), std::string::npos)
          << "the size covers a write that is gone";
    }
  };
  std::vector<std::string> contents;
  for (const ItemName& item : items) {
    contents.push_back(readWhole(item.objGuid));
    checkItem(contents.back());
  }
  closeStore(*store_);
  store_ = openStore(config());
  ASSERT_NE(store_, nullptr);
  for (size_t i = 0; i < items.size(); ++i)
    EXPECT_TRUE(readWhole(items[i].objGuid) == contents[i]) << "content changed across a reopen";
}

}  // namespace
}  // namespace ObjectStore
