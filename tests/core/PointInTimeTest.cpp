// Point-in-time views end to end: a tree written on the live share and backed
// up by the share's own backup queue, changed and backed up again, is seen by
// a view at each time exactly as it was, with every segment restored from the
// index and the backup after the local cache was thrown away. A view that
// discards writes keeps them to itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/BackupControllerThread.h"
#include "ObjectStore/BackupQueue.h"
#include "core/StoreFixture.h"
#include "platform/backup/BackupInterface.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

constexpr int64_t kT1 = 1680000000;
constexpr int64_t kT2 = kT1 + 20;
constexpr uint64_t kExtent = 4096;

std::string pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 7u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 30000) {
  return test::waitUntil(condition, timeoutMs);
}

uint64_t treeBytes(const std::string& dir) {
  uint64_t total = 0;
  if (!std::filesystem::exists(dir)) return 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) total += entry.file_size();
  return total;
}

// What a view must show: directories with their names, files with their
// bytes, links with their targets, and one extended attribute.
struct Expected {
  std::map<std::string, std::vector<std::string>> dirs;
  std::map<std::string, std::string> files;
  std::map<std::string, std::string> links;
  std::map<std::string, std::string> xattrs;  // path -> value of user.v
};

class PointInTimeTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    BackupTimings timings;
    timings.outerWaitMs = 50;
    timings.firstStartRetryMs = 100;
    timings.restartPauseMs = 100;
    timings.restartRetryMs = 100;
    timings.pollMs = 100;
    timings.workerWaitMs = 20;
    BackupTimings::setForTesting(timings);
    clock_ = std::make_unique<ManualClock>(kT1);
    registerShareIndex(SUBCLIENT, shareIndex(liveConfig()), containerDir_ + "/backup");
  }
  void TearDown() override {
    StoreFixture::TearDown();
    unregisterShareIndex(SUBCLIENT);
    BackupTimings::resetForTesting();
    clock_.reset();
  }

  static ObjectStoreConfig config(ObjectStoreConfig base) {
    base.extentSize = kExtent;
    base.backupTimeout = 0;
    base.jobIdleTimeoutMs = 300000;
    return base;
  }

  void writeAt(ObjectStore& store, const std::string& path, const std::string& bytes,
               uint64_t offset) {
    FileHandle handle;
    ItemName item(path);
    ASSERT_OK(store.open(handle, item, O_RDWR, false));
    uint64_t len = bytes.size();
    ASSERT_OK(store.write(handle, bytes.data(), len, offset, NO_SYNC));
    ASSERT_OK(store.close(handle, CLIENT_CLOSE));
  }
  void createFile(ObjectStore& store, const std::string& path, const std::string& bytes) {
    ItemName item;
    ASSERT_OK(store.create(item, path, 0644, FILE_TYPE_REGULAR));
    writeAt(store, path, bytes, 0);
  }
  // Moves time past the quiet period and waits until the queue has handed
  // everything to the backup and heard back that it is committed.
  void letItBackUp(ObjectStore& live) {
    clock_->advanceSec(2);
    BackupQueue* queue = live.backupQueue();
    ASSERT_NE(queue, nullptr);
    ASSERT_TRUE(waitUntil([&] {
      return queue->modifiedSize() == 0 && queue->queuedSize() == 0 &&
             queue->uncommittedSize() == 0;
    })) << "modified "
        << queue->modifiedSize() << " queued " << queue->queuedSize() << " uncommitted "
        << queue->uncommittedSize();
  }

  std::vector<std::string> names(ObjectStore& store, const std::string& path) {
    GuidPathList out;
    bool done = false;
    ItemName dir(path);
    CZnError err = store.readdir(dir, out, 0, 1000, done);
    EXPECT_TRUE(err.ok()) << path << ": " << err.text() << ": " << err.chain();
    std::vector<std::string> result;
    for (const auto& [guid, name] : out)
      if (name != "." && name != "..") result.push_back(name);
    std::sort(result.begin(), result.end());
    return result;
  }
  std::string contentOf(ObjectStore& store, const std::string& path) {
    struct stat st {};
    ItemName item(path);
    CZnError err = store.getattr(item, st);
    EXPECT_TRUE(err.ok()) << path << ": " << err.chain();
    if (!err.ok()) return "<no such file>";
    FileHandle handle;
    ItemName byPath(path);
    if (!store.open(handle, byPath, O_RDONLY, false).ok()) return "<can't open>";
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    uint64_t len = bytes.size();
    err = store.read(handle, bytes.data(), 0, len);
    EXPECT_TRUE(err.ok()) << path << ": " << err.chain();
    bytes.resize(len);
    (void)store.close(handle, CLIENT_CLOSE);
    return bytes;
  }

  void expectView(ObjectStore& view, const Expected& expected) {
    for (const auto& [path, children] : expected.dirs)
      EXPECT_EQ(names(view, path), children) << "in " << path;
    for (const auto& [path, bytes] : expected.files) {
      const std::string got = contentOf(view, path);
      EXPECT_EQ(got.size(), bytes.size()) << path;
      size_t at = 0;
      while (at < got.size() && at < bytes.size() && got[at] == bytes[at]) ++at;
      EXPECT_TRUE(got == bytes) << path << " differs from byte " << at;
    }
    for (const auto& [path, target] : expected.links) {
      std::string got;
      EXPECT_OK(view.readLink(ItemName(path), got));
      EXPECT_EQ(got, target) << path;
    }
    for (const auto& [path, value] : expected.xattrs) {
      std::vector<unsigned char> got;
      ItemName item(path);
      EXPECT_OK(view.getxattr(item, "user.v", got));
      EXPECT_EQ(std::string(got.begin(), got.end()), value) << path;
    }
  }

  // Removes every segment of the share's live cache areas. REQUIRES: no
  // store of the share is open.
  void dropLocalCache() {
    std::filesystem::remove_all(containerDir_ + "/cache/" + std::to_string(SUBCLIENT));
    std::filesystem::remove_all(containerDir_ + "/cache/noprune/" + std::to_string(SUBCLIENT) +
                                "_0");
  }

  std::unique_ptr<ManualClock> clock_;
};

TEST_F(PointInTimeTest, ViewsAtTwoTimesShowTheTreeAsItWasAfterTheCacheIsGone) {
  ObjectStore* live = openStore(config(liveConfig()));
  ASSERT_NE(live, nullptr);
  ASSERT_NE(live->backupQueue(), nullptr);

  // ---- T1
  const std::string a1 = pattern(10000, 1);
  const std::string b1 = pattern(5000, 2);
  const std::string c1 = pattern(100, 3);
  const std::string top = pattern(20, 4);
  ItemName item;
  ASSERT_OK(live->mkdir(item, "/docs", 0755));
  ASSERT_OK(live->mkdir(item, "/docs/sub", 0700));
  createFile(*live, "/docs/a.txt", a1);
  createFile(*live, "/docs/b.bin", b1);
  createFile(*live, "/docs/sub/c.txt", c1);
  createFile(*live, "/top.txt", top);
  ASSERT_OK(live->createSymbolicLink(item, "/docs/a.txt", "/ln"));
  ItemName b("/docs/b.bin");
  ASSERT_OK(live->setxattr(b, "user.v", {'1'}));
  letItBackUp(*live);

  // ---- T2
  clock_->setSec(kT2);
  std::string a2 = a1;
  const std::string patch = pattern(1904, 5);
  a2.replace(4096, patch.size(), patch);
  const std::string tail = pattern(5000, 6);
  a2 += tail;
  writeAt(*live, "/docs/a.txt", patch, 4096);
  writeAt(*live, "/docs/a.txt", tail, 10000);
  ASSERT_OK(live->setxattr(b, "user.v", {'2'}));
  ASSERT_OK(live->rename("/docs/sub/c.txt", "/docs/c2.txt", false));
  ItemName gone("/top.txt");
  ASSERT_OK(live->unlink(gone));
  const std::string n2 = pattern(300, 7);
  createFile(*live, "/new.txt", n2);
  ASSERT_OK(live->mkdir(item, "/docs/later", 0755));
  letItBackUp(*live);

  Expected atT1;
  atT1.dirs = {{"/", {"docs", "ln", "top.txt"}},
               {"/docs", {"a.txt", "b.bin", "sub"}},
               {"/docs/sub", {"c.txt"}}};
  atT1.files = {
      {"/docs/a.txt", a1}, {"/docs/b.bin", b1}, {"/docs/sub/c.txt", c1}, {"/top.txt", top}};
  atT1.links = {{"/ln", "/docs/a.txt"}};
  atT1.xattrs = {{"/docs/b.bin", "1"}};
  Expected atT2;
  atT2.dirs = {{"/", {"docs", "ln", "new.txt"}},
               {"/docs", {"a.txt", "b.bin", "c2.txt", "later", "sub"}},
               {"/docs/sub", {}},
               {"/docs/later", {}}};
  atT2.files = {{"/docs/a.txt", a2}, {"/docs/b.bin", b1}, {"/docs/c2.txt", c1}, {"/new.txt", n2}};
  atT2.links = {{"/ln", "/docs/a.txt"}};
  atT2.xattrs = {{"/docs/b.bin", "2"}};
  expectView(*live, atT2);

  // Each view's time lies after that phase's backup was committed (two
  // seconds after its writes): a segment rewritten in place is restored
  // from the newest backup made by the view's time.
  // Nothing local is left: everything must come from the index and backup.
  closeStore(*live);
  dropLocalCache();
  clock_->advanceSec(5);

  {
    LogCapture log;
    ObjectStore* view = openStore(config(pitConfig(kT1 + 3, "t1")));
    ASSERT_NE(view, nullptr);
    SCOPED_TRACE("view at T1");
    expectView(*view, atT1);
    // a.txt: 3 extents, b.bin: 2, c.txt: 1, top.txt: 1.
    EXPECT_EQ(log.countContaining("restored segment ["), 7u) << log.dump();
    EXPECT_EQ(log.countContaining("restoring dirent ["), 3u);
  }
  {
    LogCapture log;
    ObjectStore* view = openStore(config(pitConfig(kT2 + 3, "t2")));
    ASSERT_NE(view, nullptr);
    SCOPED_TRACE("view at T2");
    expectView(*view, atT2);
    // a.txt: 4 extents, b.bin: 2, c2.txt: 1, new.txt: 1.
    EXPECT_EQ(log.countContaining("restored segment ["), 8u) << log.dump();
  }
  {
    // The live share comes back from the same sources.
    ObjectStore* again = openStore(config(liveConfig()));
    ASSERT_NE(again, nullptr);
    expectView(*again, atT2);
  }
}

TEST_F(PointInTimeTest, ViewThatDiscardsWritesKeepsThemToItself) {
  ObjectStore* live = openStore(config(liveConfig()));
  ASSERT_NE(live, nullptr);
  ItemName item;
  ASSERT_OK(live->mkdir(item, "/docs", 0755));
  const std::string a = pattern(9000, 11);
  createFile(*live, "/docs/a.txt", a);
  createFile(*live, "/docs/b.txt", pattern(50, 12));
  letItBackUp(*live);
  clock_->advanceSec(5);

  auto& index = *shareIndex(liveConfig());
  const uint64_t backupBefore = treeBytes(containerDir_ + "/backup");
  index.resetCounts();

  ObjectStore* scratch = openStore(config(pitConfig(kT1 + 1, "scratch", true)));
  ASSERT_NE(scratch, nullptr);
  EXPECT_TRUE(scratch->discardsWrites());
  EXPECT_EQ(scratch->backupQueue(), nullptr);
  writeAt(*scratch, "/docs/a.txt", "changed here", 5000);
  createFile(*scratch, "/docs/mine.txt", "only in the view");
  ItemName victim("/docs/b.txt");
  ASSERT_OK(scratch->unlink(victim));

  std::string inView = a;
  inView.replace(5000, 12, "changed here");
  EXPECT_TRUE(contentOf(*scratch, "/docs/a.txt") == inView);
  EXPECT_EQ(contentOf(*scratch, "/docs/mine.txt"), "only in the view");
  EXPECT_EQ(names(*scratch, "/docs"), (std::vector<std::string>{"a.txt", "mine.txt"}));

  EXPECT_EQ(index.addCalls.load(), 0);
  EXPECT_EQ(index.updateCalls.load(), 0);
  EXPECT_EQ(index.deleteCalls.load(), 0);
  EXPECT_TRUE(contentOf(*live, "/docs/a.txt") == a);
  EXPECT_EQ(names(*live, "/docs"), (std::vector<std::string>{"a.txt", "b.txt"}));
  index_iface_props props;
  EXPECT_FALSE(live->findPathFromIndex("/docs/mine.txt", props).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(treeBytes(containerDir_ + "/backup"), backupBefore);
}

}  // namespace
}  // namespace ObjectStore
