// Pruning: the disk cache may only lose a segment that the backup can give
// back or that nobody needs. Open files, open extents and segments waiting
// for (or in) a backup stay; a store without a queue and the container's
// paths for shares not open live consult the share's journal instead; under
// pressure the cache stays within its watermarks without losing data.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/BackupControllerThread.h"
#include "ObjectStore/BackupQueue.h"
#include "core/StoreFixture.h"
#include "platform/backup/BackupInterface.h"
#include "platform/backup/BackupTransportFaults.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::fakeGuid;
using test::LogCapture;

constexpr uint64_t EXTENT_SIZE = 64 * 1024;

using test::waitUntil;

std::string patternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 777u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

class PruneTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    BackupTransportFaults::clear();
    BackupTimings timings;
    timings.outerWaitMs = 50;
    timings.firstStartRetryMs = 100;
    timings.restartPauseMs = 100;
    timings.restartRetryMs = 100;
    timings.pollMs = 100;
    timings.workerWaitMs = 20;
    BackupTimings::setForTesting(timings);
  }

  void TearDown() override {
    if (containerIndexOpen_) (void)container_->closeObjectStore(containerIndex_);
    StoreFixture::TearDown();
    unregisterShareIndex(SUBCLIENT);
    BackupTransportFaults::clear();
    BackupTimings::resetForTesting();
  }

  static ObjectStoreConfig fastConfig() {
    ObjectStoreConfig config = liveConfig();
    config.backupTimeout = 0;
    config.extentSize = EXTENT_SIZE;
    return config;
  }

  void enableBackups() {
    registerShareIndex(SUBCLIENT, shareIndex(fastConfig()), containerDir_ + "/backup");
  }
  // Every job start fails: whatever is written stays in the queue.
  static void blockBackups() { BackupTransportFaults::failGetController(1000000, EIO); }

  // Opens the share with backups blocked and writes content into a new file
  // "/f", whose extents then wait in the journal; written names its version.
  void startWithUnsentFile(const std::string& content, ItemName& written) {
    blockBackups();
    ASSERT_OK(container_->openObjectStore(containerIndex_, fastConfig()));
    containerIndexOpen_ = true;
    ItemName parent("/"), item;
    ASSERT_OK(container_->create(containerIndex_, parent, item, "f", 0644));
    ItemName byPath("/f");
    FileHandle handle;
    ASSERT_OK(container_->open(containerIndex_, handle, byPath, O_RDWR, false));
    uint64_t len = content.size();
    ASSERT_OK(container_->write(containerIndex_, handle, content.data(), len, 0, NO_SYNC));
    written = handle.name;
    ASSERT_OK(container_->close(containerIndex_, handle));
  }

  std::string journalDir(uint64_t subclient = SUBCLIENT) const {
    return BackupQueue::journalDirOf(containerDir_ + "/objstr", std::to_string(subclient));
  }
  std::set<guid_t> pendingInJournal(uint64_t subclient = SUBCLIENT) {
    std::set<guid_t> pending;
    EXPECT_OK(BackupQueue::readPendingFromJournal(journalDir(subclient), pending));
    return pending;
  }

  // Writes a whole file; returns (object GUID, version GUID).
  std::pair<guid_t, guid_t> writeFile(ObjectStore& store, const std::string& path,
                                      const std::string& content, FileHandle* keepOpen = nullptr) {
    ItemName item;
    EXPECT_OK(store.create(item, path, 0644, FILE_TYPE_REGULAR));
    ItemName byPath(path);
    FileHandle local;
    FileHandle& handle = keepOpen != nullptr ? *keepOpen : local;
    EXPECT_OK(store.open(handle, byPath, O_RDWR, false));
    uint64_t len = content.size();
    EXPECT_OK(store.write(handle, content.data(), len, 0, NO_SYNC));
    std::pair<guid_t, guid_t> ids(handle.name.objGuid, handle.name.verGuid);
    if (keepOpen == nullptr) EXPECT_OK(store.close(handle, CLIENT_CLOSE));
    return ids;
  }

  bool exists(ObjectStore& store, const guid_t& segment) {
    return cache_->DiskCache::doesSegmentExist(store.diskCacheContext(), segment);
  }
  std::string pathOf(ObjectStore& store, const guid_t& segment) {
    return cache_->segmentPath(store.diskCacheContext(), segment);
  }

  static bool queueEmpty(BackupQueue& queue) {
    return queue.modifiedSize() == 0 && queue.queuedSize() == 0 && queue.uncommittedSize() == 0;
  }

  // Where the index says an extent lies, and the bytes there ("" if none).
  std::string backedUpBytes(const guid_t& extentGuid, const guid_t& segment) {
    auto index = shareIndex(fastConfig());
    index_iface_browse_fields fields;
    fields.guid = extentGuid;
    index_iface_props props;
    if (index->find_by_guid(fields, props) != 0 || props.verGuid != segment || props.afileId <= 0)
      return "";
    SubClientInfo info;
    if (!GetSubClientInfo(SUBCLIENT, info)) return "";
    RestoreInterface restore(info);
    AfileInfo where;
    where.afileId = static_cast<uint64_t>(props.afileId);
    where.afileOffset = static_cast<uint64_t>(props.afileOffset);
    std::string buffer(EXTENT_SIZE + 4096, '\0');
    uint64_t size = buffer.size();
    if (!restore.Restore(where, "/f", &size, buffer.data(), "")) return "";
    buffer.resize(size);
    return buffer;
  }

  ObjectStoreIndex containerIndex_ = 0;
  bool containerIndexOpen_ = false;
};

// ---------------------------------------------------------------------------
// What is in use stays

TEST_F(PruneTest, OpenFileIsNotPruned) {
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  FileHandle handle;
  const auto [objGuid, verGuid] = writeFile(*store, "/open", "data", &handle);
  cache_->resetCounts();
  {
    LogCapture log;
    EXPECT_FALSE(store->pruneFile(pathOf(*store, verGuid), verGuid));
    EXPECT_TRUE(log.contains("checking objguid [" + objGuid + "]", 5)) << log.dump();
    EXPECT_TRUE(log.contains("not pruning open file", 5)) << log.dump();
  }
  EXPECT_EQ(cache_->deleteCalls.load(), 0);
  EXPECT_TRUE(exists(*store, verGuid));

  // Closed, its header is rebuilt from the index when needed: it may go.
  ASSERT_OK(store->close(handle, CLIENT_CLOSE));
  LogCapture log;
  EXPECT_TRUE(store->pruneFile(pathOf(*store, verGuid), verGuid));
  EXPECT_TRUE(log.contains("pruned [" + verGuid + "]", 5)) << log.dump();
  EXPECT_FALSE(exists(*store, verGuid));
  // The file is still whole: its header comes back from the index.
  store->attrCache().clear();
  ItemName byPath("/open");
  FileHandle reader;
  ASSERT_OK(store->open(reader, byPath, O_RDONLY, false));
  std::string buffer(16, '\0');
  uint64_t len = buffer.size();
  ASSERT_OK(store->read(reader, buffer.data(), 0, len));
  EXPECT_EQ(buffer.substr(0, len), "data");
  EXPECT_OK(store->close(reader, CLIENT_CLOSE));
}

TEST_F(PruneTest, PrunedFileIsWrittenAndGivenAttributesWhileItsRecordsAreCached) {
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  enableBackups();
  const auto [objGuid, verGuid] = writeFile(*store, "/p", "first");
  ASSERT_TRUE(waitUntil([&] { return queueEmpty(*store->backupQueue()); }));
  // Everything of the closed file goes, its records stay in the caches.
  const guid_t extent = fileToExtentGuid(verGuid, 0);
  ASSERT_TRUE(store->pruneFile(pathOf(*store, verGuid), verGuid));
  ASSERT_TRUE(store->pruneFile(pathOf(*store, extent), extent));
  ASSERT_FALSE(exists(*store, verGuid));
  ASSERT_FALSE(exists(*store, extent));

  ItemName byPath("/p");
  FileHandle handle;
  ASSERT_OK(store->open(handle, byPath, O_RDWR, false));
  const std::string more = "-and-more";
  uint64_t len = more.size();
  ASSERT_OK(store->write(handle, more.data(), len, 5, NO_SYNC));
  ASSERT_OK(store->close(handle, CLIENT_CLOSE));
  ItemName forXattr("/p");
  ASSERT_OK(store->setxattr(forXattr, "user.k", {'v'}));

  // The header came back from the index and holds the new size; the xattr
  // reached the segment as well as the index.
  EXPECT_TRUE(exists(*store, verGuid));
  store->attrCache().clear();
  store->xattrCache().clear();
  struct stat st {};
  ItemName forStat("/p");
  ASSERT_OK(store->getattr(forStat, st));
  EXPECT_EQ(st.st_size, 14);
  std::vector<unsigned char> value;
  ItemName forGet("/p");
  ASSERT_OK(store->getxattr(forGet, "user.k", value));
  EXPECT_EQ(value, std::vector<unsigned char>({'v'}));
  FileHandle reader;
  ItemName toRead("/p");
  ASSERT_OK(store->open(reader, toRead, O_RDONLY, false));
  std::string buffer(32, '\0');
  len = buffer.size();
  ASSERT_OK(store->read(reader, buffer.data(), 0, len));
  EXPECT_EQ(buffer.substr(0, len), "first-and-more");
  EXPECT_OK(store->close(reader, CLIENT_CLOSE));
}

TEST_F(PruneTest, OpenExtentIsNotPrunedAndNothingIsDeleted) {
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  // An extent segment that the queue does not hold (as after its commit).
  const guid_t extentGuid = fileToExtentGuid(fakeGuid('e'), 0);
  const guid_t segment = fileToExtentGuid(fakeGuid('f'), 0);
  FileHeaderData data;
  CXFileHeader header;
  validRecords(data, header, extentGuid, segment);
  ASSERT_OK(makeSegment(*store, segment,
                        {{SECTION_ATTRIBUTE, test::bytesOf(header)},
                         {SECTION_HEADER, test::bytesOf(data)},
                         {SECTION_DATA, Bytes(100, 7)}}));
  ExtentHandle extent;
  store->openExtent(extent, segment);
  cache_->resetCounts();
  {
    LogCapture log;
    EXPECT_FALSE(store->pruneFile(pathOf(*store, segment), segment));
    EXPECT_TRUE(log.contains("checking objguid [" + extentGuid + "]", 5)) << log.dump();
    EXPECT_TRUE(log.contains("extent in use", 5)) << log.dump();
    EXPECT_FALSE(log.contains("not pruning open file", 5));
  }
  EXPECT_EQ(cache_->deleteCalls.load(), 0);
  EXPECT_TRUE(exists(*store, segment));

  store->closeExtent(extent);
  EXPECT_TRUE(store->pruneFile(pathOf(*store, segment), segment));
  EXPECT_FALSE(exists(*store, segment));
}

TEST_F(PruneTest, SegmentWaitingForBackupIsKeptUntilCommitted) {
  blockBackups();
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  const std::string content = patternBytes(EXTENT_SIZE + 10, 1);
  const auto [objGuid, verGuid] = writeFile(*store, "/f", content);
  const guid_t segment = fileToExtentGuid(verGuid, 1);
  // Wait until it left `modified`: the queue refuses in every collection.
  ASSERT_TRUE(waitUntil([&] { return store->backupQueue()->queuedSize() == 2; }));
  cache_->resetCounts();
  {
    LogCapture log;
    EXPECT_FALSE(store->pruneFile(pathOf(*store, segment), segment));
    EXPECT_TRUE(log.contains("Found [" + segment + "] in queuedForBackup queue", 5)) << log.dump();
    EXPECT_TRUE(log.contains("extent in use", 5));
  }
  EXPECT_EQ(cache_->deleteCalls.load(), 0);
  EXPECT_TRUE(exists(*store, segment));

  BackupTransportFaults::clear();
  enableBackups();
  ASSERT_TRUE(waitUntil([&] { return queueEmpty(*store->backupQueue()); }));
  EXPECT_TRUE(backedUpBytes(fileToExtentGuid(objGuid, 1), segment) == content.substr(EXTENT_SIZE));
  EXPECT_TRUE(store->pruneFile(pathOf(*store, segment), segment));
  EXPECT_FALSE(exists(*store, segment));
}

TEST_F(PruneTest, UnreadableSegmentIsDeletedAndReportedPruned) {
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  const guid_t segment = fakeGuid('c');
  ASSERT_OK(makeSegment(*store, segment, {{SECTION_ATTRIBUTE, Bytes(ATTRIBUTE_SECTION_SIZE, 0)}}));
  const std::string path = pathOf(*store, segment);
  test::writeFile(path, "not a segment");
  LogCapture log;
  EXPECT_TRUE(store->pruneFile(path, segment));
  EXPECT_TRUE(log.contains("parsing [" + segment + "] for objguid", 5));
  EXPECT_TRUE(log.contains("Error: Can't read [" + segment + "]", -1)) << log.dump();
  EXPECT_FALSE(test::fileExists(path));
}

// Unreadable for want of descriptors is not damaged: the segment may still
// wait for its backup, so it stays until a later pass can read it.
TEST_F(PruneTest, SegmentThatCannotBeReadNowStays) {
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  const auto [objGuid, verGuid] = writeFile(*store, "/busy", "unsent");
  const guid_t extent = fileToExtentGuid(verGuid, 0);
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Read, 1, EMFILE, true});
  const bool pruned = store->pruneFile(pathOf(*store, extent), extent);
  cache_->clearFaults();
  EXPECT_FALSE(pruned);
  EXPECT_TRUE(exists(*store, extent));
  EXPECT_EQ(store->recoveredSegs(), 0u);
}

TEST_F(PruneTest, PruningRacingRewritesLosesNothing) {
  enableBackups();
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  const auto [objGuid, verGuid] = writeFile(*store, "/hot", patternBytes(EXTENT_SIZE, 50));
  const guid_t segment = fileToExtentGuid(verGuid, 0);
  const std::string path = pathOf(*store, segment);

  // One thread keeps asking to prune the extent while its file is rewritten
  // in place, committed, rewritten again.
  std::atomic<bool> stop{false};
  std::atomic<int> pruned{0};
  std::thread pruner([&] {
    while (!stop.load()) {
      if (store->pruneFile(path, segment)) ++pruned;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::string last;
  for (unsigned round = 0; round < 6; ++round) {
    last = patternBytes(EXTENT_SIZE, 60 + round);
    ItemName byPath("/hot");
    FileHandle handle;
    ASSERT_OK(store->open(handle, byPath, O_RDWR, false));
    ASSERT_EQ(handle.name.verGuid, verGuid);
    uint64_t len = last.size();
    ASSERT_OK(store->write(handle, last.data(), len, 0, NO_SYNC));
    ASSERT_OK(store->close(handle, CLIENT_CLOSE));
    ASSERT_TRUE(waitUntil([&] { return queueEmpty(*store->backupQueue()); }));
  }
  stop.store(true);
  pruner.join();
  // Pruned between rewrites (each rewrite then brought it back from the
  // backup), never while it waited for its backup.
  EXPECT_GT(pruned.load(), 0);
  EXPECT_TRUE(backedUpBytes(fileToExtentGuid(objGuid, 0), segment) == last);
  ItemName byPath("/hot");
  FileHandle handle;
  ASSERT_OK(store->open(handle, byPath, O_RDONLY, false));
  std::string buffer(EXTENT_SIZE, '\0');
  uint64_t len = buffer.size();
  ASSERT_OK(store->read(handle, buffer.data(), 0, len));
  EXPECT_EQ(len, EXTENT_SIZE);
  EXPECT_TRUE(buffer == last);
  EXPECT_OK(store->close(handle, CLIENT_CLOSE));
}

// ---------------------------------------------------------------------------
// Stores without a queue

TEST_F(PruneTest, StoreWithoutQueueKeepsWhatTheJournalStillLists) {
  // First run: g is backed up. Second run (its job can't start): f is not.
  enableBackups();
  ObjectStore* store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  const auto g = writeFile(*store, "/g", patternBytes(500, 2));
  ASSERT_TRUE(waitUntil([&] { return queueEmpty(*store->backupQueue()); }));
  closeStore(*store);
  unregisterShareIndex(SUBCLIENT);

  store = openStore(fastConfig());
  ASSERT_NE(store, nullptr);
  const auto f = writeFile(*store, "/f", patternBytes(500, 3));
  closeStore(*store);
  const guid_t fExtent = fileToExtentGuid(f.second, 0);
  const guid_t gExtent = fileToExtentGuid(g.second, 0);
  ASSERT_EQ(pendingInJournal(), std::set<guid_t>{fExtent});

  ObjectStoreConfig readOnly = fastConfig();
  readOnly.readOnly = true;
  store = openStore(readOnly);
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(store->backupQueue(), nullptr);
  cache_->resetCounts();
  {
    LogCapture log;
    EXPECT_FALSE(store->pruneFile(pathOf(*store, fExtent), fExtent));
    EXPECT_TRUE(log.contains("extent in use", 5)) << log.dump();
  }
  EXPECT_EQ(cache_->deleteCalls.load(), 0);
  EXPECT_TRUE(exists(*store, fExtent));

  EXPECT_TRUE(store->pruneFile(pathOf(*store, gExtent), gExtent));
  EXPECT_FALSE(exists(*store, gExtent));
  // f's header is not backup data: it goes too.
  EXPECT_TRUE(store->pruneFile(pathOf(*store, f.second), f.second));
}

TEST_F(PruneTest, ContainerDeletesByPathOnlyWhatTheJournalDoesNotList) {
  // Share 77 is not open: its journal says p still needs a backup.
  const std::string dir = journalDir(77);
  ASSERT_EQ(createDir(dir), 0);
  const guid_t p = fakeGuid('a') + ".0000000";
  const guid_t q = fakeGuid('b') + ".0000000";
  test::writeFile(dir + "/journal_0000000001_0000000000",
                  "1," + p + "\n1," + q + "\n2," + q + "\n3," + q + "\n");
  DiskCacheContext share77;
  share77.name = "77";
  for (const guid_t& segment : {p, q}) {
    Section s;
    std::string bytes = "data";
    s.number = SECTION_DATA;
    s.size = s.bufferLength = bytes.size();
    s.buffer = bytes.data();
    ASSERT_OK(cache_->DiskCache::createSegment(share77, segment, {s}, false, false, false));
  }
  const std::string pPath = cache_->segmentPath(share77, p);
  const std::string qPath = cache_->segmentPath(share77, q);
  const uint64_t before = container_->counters().get(ContainerCounter::PRUNE_FILE);

  EXPECT_FALSE(container_->pruneFile("77", pPath, p));
  EXPECT_TRUE(test::fileExists(pPath));
  LogCapture log;
  EXPECT_TRUE(container_->pruneFile("77", qPath, q));
  EXPECT_TRUE(log.contains("no main share for subclient [77], deleting [" + qPath + "]", 5))
      << log.dump();
  EXPECT_FALSE(test::fileExists(qPath));
  EXPECT_EQ(container_->counters().get(ContainerCounter::PRUNE_FILE) - before, 2u);
}

TEST_F(PruneTest, JournalPendingSetFollowsTheFiles) {
  const std::string dir = journalDir(88);
  std::set<guid_t> pending{"stale"};
  ASSERT_OK(BackupQueue::readPendingFromJournal(dir, pending));  // no journal yet
  EXPECT_TRUE(pending.empty());

  ASSERT_EQ(createDir(dir), 0);
  const std::string first = dir + "/journal_0000000001_0000000000";
  test::writeFile(first, "1,A\n2,A\n");
  ASSERT_OK(BackupQueue::readPendingFromJournal(dir, pending));
  EXPECT_EQ(pending, std::set<guid_t>{"A"});

  // Appends are seen (the answer is not served from a stale cache), and a
  // torn last record counts for nothing.
  test::writeFile(first, "1,A\n2,A\n3,A\n1,B\n1,C");
  ASSERT_OK(BackupQueue::readPendingFromJournal(dir, pending));
  EXPECT_EQ(pending, std::set<guid_t>{"B"});

  // A later file continues the earlier one.
  test::writeFile(dir + "/journal_0000000002_0000000000", "2,B\n3,B\n1,D\n");
  ASSERT_OK(BackupQueue::readPendingFromJournal(dir, pending));
  EXPECT_EQ(pending, std::set<guid_t>{"D"});

  // A journal that can't be listed is an error, and names nothing.
  const std::string blocked = journalDir(89);
  ASSERT_EQ(createDir(containerDir_ + "/objstr/" + JOURNAL_DIR), 0);
  test::writeFile(blocked, "not a directory");
  CZnError err = BackupQueue::readPendingFromJournal(blocked, pending);
  EXPECT_EQ(err.errNo(), ENOTDIR);
  EXPECT_TRUE(pending.empty());
}

// ---------------------------------------------------------------------------
// Closing the last view

// The cleanup of a closed share's cache directory deletes only what lies in
// it: a symbolic link planted there is removed, never followed.
TEST_F(PruneTest, CleanupDoesNotFollowLinksOutOfTheCacheDirectory) {
  ItemName written;
  ASSERT_NO_FATAL_FAILURE(startWithUnsentFile(patternBytes(EXTENT_SIZE, 5), written));
  const std::set<guid_t> pending = pendingInJournal();
  ASSERT_FALSE(pending.empty());

  DiskCacheContext share;
  share.name = std::to_string(SUBCLIENT);
  const std::string segment = cache_->segmentPath(share, *pending.begin());
  const std::string shareDir = segment.substr(0, segment.rfind('/', segment.rfind('/') - 1));
  const std::string outside = containerDir_ + "/outside";
  ASSERT_EQ(createDir(outside + "/zz"), 0);
  test::writeFile(outside + "/victim", "keep");
  test::writeFile(outside + "/zz/victim", "keep");
  ASSERT_EQ(symlink(outside.c_str(), (shareDir + "/zz").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/victim").c_str(), (segment + "-link").c_str()), 0);

  ASSERT_OK(container_->closeObjectStore(containerIndex_));
  containerIndexOpen_ = false;
  EXPECT_EQ(test::readFile(outside + "/victim"), "keep");
  EXPECT_EQ(test::readFile(outside + "/zz/victim"), "keep");
  EXPECT_TRUE(test::fileExists(segment));
  struct stat st;
  EXPECT_NE(lstat((segment + "-link").c_str(), &st), 0) << "the planted link itself goes";
}

TEST_F(PruneTest, CleanupKeepsJournalPendingSegmentsForTheNextStart) {
  const std::string content = patternBytes(2 * EXTENT_SIZE, 4);
  ItemName written;
  ASSERT_NO_FATAL_FAILURE(startWithUnsentFile(content, written));
  const guid_t objGuid = written.objGuid;
  const guid_t verGuid = written.verGuid;
  ASSERT_OK(container_->closeObjectStore(containerIndex_));
  containerIndexOpen_ = false;

  // The two unsent extents stay where the disk cache keeps the share's
  // segments; everything else of the share's cache is gone.
  DiskCacheContext share;
  share.name = std::to_string(SUBCLIENT);
  const std::set<guid_t> pending = pendingInJournal();
  ASSERT_EQ(pending.size(), 2u);
  for (const guid_t& segment : pending) {
    EXPECT_TRUE(cache_->DiskCache::doesSegmentExist(share, segment)) << segment;
    EXPECT_TRUE(test::fileExists(cache_->segmentPath(share, segment))) << segment;
  }
  EXPECT_FALSE(cache_->DiskCache::doesSegmentExist(share, verGuid));
  EXPECT_FALSE(test::fileExists(cache_->segmentPath(share, verGuid)));

  // With no store open, the pruner under pressure still leaves them alone.
  cache_->setCapacity(cache_->usedBytes() / 2 + 1);
  cache_->pruneNow();
  for (const guid_t& segment : pending) {
    EXPECT_TRUE(test::fileExists(cache_->segmentPath(share, segment))) << segment;
  }
  cache_->setCapacity(0);

  // The next start replays the journal and sends them.
  BackupTransportFaults::clear();
  ASSERT_OK(container_->openObjectStore(containerIndex_, fastConfig()));
  containerIndexOpen_ = true;
  ASSERT_TRUE(waitUntil([&] { return pendingInJournal().empty(); }));
  for (uint64_t n = 0; n < 2; ++n) {
    EXPECT_TRUE(backedUpBytes(fileToExtentGuid(objGuid, n), fileToExtentGuid(verGuid, n)) ==
                content.substr(n * EXTENT_SIZE, EXTENT_SIZE))
        << "extent " << n;
  }
}

// ---------------------------------------------------------------------------
// Pressure

TEST_F(PruneTest, PressureKeepsTheCacheWithinItsWatermarksWithoutLosingData) {
  constexpr uint64_t CAPACITY = 2 * 1024 * 1024;
  constexpr int FILES = 48;
  cache_->setCapacity(CAPACITY);
  cache_->setPruneInterval(20);
  // Slow commits: segments wait for their backup while the pruner runs.
  BackupTransportFaults::setCommitDelayMs(100);
  enableBackups();
  ASSERT_OK(container_->openObjectStore(containerIndex_, fastConfig()));
  containerIndexOpen_ = true;

  struct File {
    guid_t objGuid, verGuid;
    std::string content;
  };
  std::vector<File> files;
  for (int i = 0; i < FILES; ++i) {
    File file;
    file.content = patternBytes(EXTENT_SIZE, 100 + i);
    ItemName parent("/"), item;
    ASSERT_OK(container_->create(containerIndex_, parent, item, "f" + std::to_string(i), 0644));
    ItemName byPath("/f" + std::to_string(i));
    FileHandle handle;
    ASSERT_OK(container_->open(containerIndex_, handle, byPath, O_RDWR, false));
    uint64_t len = file.content.size();
    ASSERT_OK(container_->write(containerIndex_, handle, file.content.data(), len, 0, NO_SYNC));
    file.objGuid = handle.name.objGuid;
    file.verGuid = handle.name.verGuid;
    ASSERT_OK(container_->close(containerIndex_, handle));
    files.push_back(file);
    // Never more pending than the cache can hold.
    if (i % 8 == 7) {
      ASSERT_TRUE(waitUntil([&] { return pendingInJournal().empty(); }));
    }
  }
  ASSERT_TRUE(waitUntil([&] { return pendingInJournal().empty(); }));
  cache_->pruneNow();
  // Between the watermarks: below the high one, and not emptied beyond the
  // low one by more than about a segment (a pass stops once below low).
  EXPECT_LE(cache_->usedBytes(), CAPACITY * 90 / 100);
  EXPECT_GE(cache_->usedBytes() + 2 * EXTENT_SIZE, CAPACITY * 80 / 100);
  EXPECT_GT(container_->counters().get(ContainerCounter::PRUNE_FILE), 0u);

  DiskCacheContext share;
  share.name = std::to_string(SUBCLIENT);
  int pruned = 0;
  for (const File& file : files) {
    const guid_t segment = fileToExtentGuid(file.verGuid, 0);
    if (!cache_->DiskCache::doesSegmentExist(share, segment)) ++pruned;
    // Every extent, pruned or not, is in the backup with its bytes: a
    // segment pruned before its commit would have been sent as missing.
    EXPECT_TRUE(backedUpBytes(fileToExtentGuid(file.objGuid, 0), segment) == file.content)
        << "file " << file.objGuid;
  }
  EXPECT_GT(pruned, 0);

  // And the share still reads back whole: what was pruned comes back from
  // the backup.
  for (int i = 0; i < FILES; ++i) {
    ItemName byPath("/f" + std::to_string(i));
    FileHandle handle;
    ASSERT_OK(container_->open(containerIndex_, handle, byPath, O_RDONLY, false));
    std::string buffer(EXTENT_SIZE + 100, '\0');
    uint64_t got = 0;
    EXPECT_OK(container_->read(containerIndex_, handle, buffer.data(), 0, buffer.size(), got));
    buffer.resize(got);
    EXPECT_TRUE(buffer == files[i].content) << "file " << i << ": " << got << " bytes read";
    EXPECT_OK(container_->close(containerIndex_, handle));
  }
}

}  // namespace
}  // namespace ObjectStore
