// The object container: opening and closing views, share records and
// StoreInfo.txt, local cleanup, forwarding, pruning routes and shut-down.
#include <gtest/gtest.h>
#include <dirent.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "core/StoreFixture.h"

namespace ObjectStore {
namespace {

using test::fileExists;
using test::LogCapture;
using test::readFile;
using test::writeFile;

size_t entriesIn(const std::string& dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
    closedir(d);
  }
  return n;
}

class ContainerTest : public test::StoreFixture {
 protected:
  ObjectStoreIndex open(const ObjectStoreConfig& config) {
    ObjectStoreIndex index = 999;
    CZnError err = container_->openObjectStore(index, config);
    EXPECT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    return index;
  }
  int refCount(const std::string& shareKey) {
    StoreInfo info;
    return container_->getStoreInfo(shareKey, info) ? info.refCount : 0;
  }
  std::string objstr(const std::string& name) { return containerDir_ + "/objstr/" + name; }
  std::string cacheDir(const std::string& name) { return containerDir_ + "/cache/" + name; }
};

TEST_F(ContainerTest, InitLaysOutTheContainer) {
  EXPECT_TRUE(container_->isInitialized());
  EXPECT_TRUE(fileExists(containerDir_ + "/objstr"));
  EXPECT_TRUE(fileExists(containerDir_ + "/backup"));
  EXPECT_TRUE(fileExists(containerDir_ + "/index"));
  ObjectContainerConfig again;
  again.containerDir = containerDir_;
  EXPECT_EQ(container_->init(again).errNo(), EBUSY);
}

TEST_F(ContainerTest, ContainerCreatesItsOwnDiskCache) {
  ObjectContainer own;
  ObjectContainerConfig config;
  config.containerDir = path("own");
  config.pruningMode = true;
  LogCapture log(1);
  ASSERT_OK(own.init(config));
  EXPECT_TRUE(log.contains("Initializing ObjectContainer at [" + path("own") +
                               "] diskCacheLRU=[1000] pruningMode=lru",
                           1));
  ASSERT_NE(own.diskCache(), nullptr);
  EXPECT_EQ(own.diskCache()->cacheDir(), path("own") + "/cache");
  ObjectStoreIndex index = 0;
  ASSERT_OK(own.openObjectStore(index, liveConfig()));
  EXPECT_EQ(own.getRootGuid(index).size(), 32u);
}

// The container keeps copies of every share's contents: one it makes is
// closed to other users, and an open one it is given is reported.
TEST_F(ContainerTest, NewContainerDirectoryIsPrivateAnOpenOneIsReported) {
  {
    ObjectContainer made;
    ObjectContainerConfig config;
    config.containerDir = path("deep/made");
    ASSERT_OK(made.init(config));
    struct stat st;
    ASSERT_EQ(stat(path("deep/made").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  ASSERT_EQ(mkdir(path("open").c_str(), 0755), 0);
  ASSERT_EQ(chmod(path("open").c_str(), 0755), 0);
  ObjectContainer given;
  ObjectContainerConfig config;
  config.containerDir = path("open");
  LogCapture log(1);
  ASSERT_OK(given.init(config));
  EXPECT_EQ(log.count("Warning: container directory [" + path("open") +
                          "] is open to other users (mode 755)",
                      1),
            1u)
      << log.dump();
}

TEST_F(ContainerTest, OpenAndCloseBeforeInitFailWithEnodev) {
  ObjectContainer fresh;
  ObjectStoreIndex index = 0;
  EXPECT_EQ(fresh.openObjectStore(index, liveConfig()).errNo(), ENODEV);
  EXPECT_EQ(fresh.closeObjectStore(0).errNo(), ENODEV);
  EXPECT_EQ(fresh.updateObjectStore(0, ObjectStoreUpdates()).errNo(), ENOENT);
  EXPECT_EQ(fresh.getRootGuid(0), "");
}

TEST_F(ContainerTest, EmptyPitNameIsRejected) {
  ObjectStoreConfig config = liveConfig();
  config.pitName = "";
  LogCapture log;
  ObjectStoreIndex index = 0;
  EXPECT_EQ(container_->openObjectStore(index, config).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: [share] pitName is empty", -1), 1u);
  EXPECT_EQ(container_->numShares(), 0u);
}

TEST_F(ContainerTest, NamesThatCouldLeaveTheContainerAreRejected) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"a/b", "0"}, {"..", "0"}, {"/..", "0"}, {".", "0"},     {"a,b", "0"},
      {"s", "x/y"}, {"s", ".."}, {"s", "."},   {"s", "a,b"},   {std::string(300, 'n'), "0"},
      {"s", std::string(300, 'p')}, {"a\tb", "0"}, {"a\x1b[2J", "0"}, {"s", "p\x7f"}};
  for (const auto& [name, pit] : bad) {
    ObjectStoreConfig config = liveConfig(name);
    config.pitName = pit;
    ObjectStoreIndex index = 0;
    EXPECT_EQ(container_->openObjectStore(index, config).errNo(), EINVAL) << name << " " << pit;
  }
  EXPECT_EQ(container_->numShares(), 0u);
  EXPECT_EQ(entriesIn(containerDir_ + "/objstr"), 0u);
  EXPECT_EQ(entriesIn(containerDir_), 4u);  // objstr, backup, index, cache
  EXPECT_EQ(container_->cleanupObjectStore("../x_1", 1, "0", true).errNo(), EINVAL);
}

TEST_F(ContainerTest, ReopeningAViewReusesItWithoutRaisingTheCount) {
  LogCapture log;
  const ObjectStoreIndex first = open(liveConfig());
  ObjectStoreConfig other = liveConfig();
  other.timestamp = 12345;  // ignored when reusing
  const ObjectStoreIndex second = open(other);
  EXPECT_EQ(first, second);
  EXPECT_EQ(refCount("share_42"), 1);
  EXPECT_EQ(container_->numSlots(), 1u);
  EXPECT_EQ(log.count("objectStore found, reusing. [share_42] timestamp=12345 pitName=[0] index=0",
                      2),
            1u)
      << log.dump();
}

TEST_F(ContainerTest, TwoViewsShareOneRecordAndItsDataStaysUntilTheLastCloses) {
  const ObjectStoreIndex live = open(liveConfig());
  const ObjectStoreIndex pit = open(pitConfig(1600000000, "p1"));
  EXPECT_NE(live, pit);
  EXPECT_EQ(refCount("share_42"), 2);
  EXPECT_EQ(container_->numShares(), 1u);
  EXPECT_EQ(readFile(objstr("StoreInfo.txt")), "share_42,,42\n");
  EXPECT_TRUE(fileExists(cacheDir("42")));  // the root's segment
  StoreInfo info;
  ASSERT_TRUE(container_->getStoreInfo("share_42", info));
  const index_iface* sharedIndex = info.index.get();
  ASSERT_NE(sharedIndex, nullptr);
  const std::string database = info.index->databasePath();

  ASSERT_OK(container_->closeObjectStore(live));
  EXPECT_EQ(refCount("share_42"), 1);
  ASSERT_TRUE(container_->getStoreInfo("share_42", info));
  EXPECT_EQ(info.index.get(), sharedIndex);
  EXPECT_TRUE(fileExists(cacheDir("42")));
  EXPECT_FALSE(fileExists(objstr("share_42_0")));
  EXPECT_TRUE(fileExists(objstr("share_42_p1")));
  EXPECT_EQ(readFile(objstr("StoreInfo.txt")), "share_42,,42\n");
  info = StoreInfo();

  ASSERT_OK(container_->closeObjectStore(pit));
  EXPECT_EQ(container_->numShares(), 0u);
  EXPECT_FALSE(fileExists(cacheDir("42")));
  EXPECT_FALSE(fileExists(cacheDir("views/42_p1")));
  EXPECT_FALSE(fileExists(objstr("share_42_p1")));
  EXPECT_EQ(readFile(objstr("StoreInfo.txt")), "");
  EXPECT_TRUE(fileExists(database));  // the index is the share's durable record
}

TEST_F(ContainerTest, ClosingAViewRemovesItsNoPruneAndViewAreas) {
  const ObjectStoreIndex live = open(liveConfig());
  const ObjectStoreIndex pit = open(pitConfig(1600000000, "p1", true));
  // A directory the view created locally (non-prunable) and one it restored.
  ASSERT_EQ(createDir(cacheDir("noprune/42_p1/xx")), 0);
  ASSERT_EQ(createDir(cacheDir("views/42_p1/yy")), 0);
  ASSERT_OK(container_->closeObjectStore(pit));
  EXPECT_FALSE(fileExists(cacheDir("noprune/42_p1")));
  EXPECT_FALSE(fileExists(cacheDir("views/42_p1")));
  EXPECT_TRUE(fileExists(cacheDir("42")));
  ASSERT_OK(container_->closeObjectStore(live));
}

TEST_F(ContainerTest, StoreInfoListsSharesInKeyOrder) {
  open(liveConfig("bee", 1));
  open(liveConfig("ant", 2));
  ObjectStoreConfig view = pitConfig(1600000000, "p", false, "ant");
  view.subclient = 2;
  open(view);  // no second line for a second view
  EXPECT_EQ(readFile(objstr("StoreInfo.txt")), "ant_2,,2\nbee_1,,1\n");
  EXPECT_FALSE(fileExists(objstr("StoreInfo.tmp")));
}

TEST_F(ContainerTest, LeadingSlashGivesTheSameShareKey) {
  const ObjectStoreIndex a = open(liveConfig("/share1"));
  ObjectStoreConfig b = liveConfig("share1");
  b.pitName = "other";
  open(b);
  EXPECT_EQ(refCount("share1_42"), 2);
  EXPECT_EQ(container_->numShares(), 1u);
  EXPECT_TRUE(fileExists(objstr("share1_42_0")));
  EXPECT_TRUE(fileExists(objstr("share1_42_other")));
  ASSERT_OK(container_->closeObjectStore(a));
  EXPECT_FALSE(fileExists(objstr("share1_42_0")));
  EXPECT_EQ(refCount("share1_42"), 1);
}

TEST_F(ContainerTest, ClosedIndexIsInvalidForOperationsAndForClose) {
  const ObjectStoreIndex index = open(liveConfig());
  EXPECT_EQ(container_->getRootGuid(index).size(), 32u);
  ASSERT_OK(container_->closeObjectStore(index));
  LogCapture log;
  EXPECT_EQ(container_->updateObjectStore(index, ObjectStoreUpdates()).errNo(), ENOENT);
  EXPECT_EQ(container_->getRootGuid(index), "");
  EXPECT_EQ(log.count("Invalid store [0]", -1), 2u) << log.dump();
  EXPECT_EQ(container_->closeObjectStore(index).errNo(), EINVAL);
  EXPECT_EQ(container_->closeObjectStore(77).errNo(), EINVAL);
  // Slots are not reused.
  EXPECT_EQ(open(liveConfig()), 1u);
}

TEST_F(ContainerTest, RootIsFoundAgainAfterReopen) {
  const ObjectStoreIndex first = open(liveConfig());
  const guid_t root = container_->getRootGuid(first);
  ASSERT_OK(container_->closeObjectStore(first));
  const ObjectStoreIndex second = open(liveConfig());
  EXPECT_EQ(container_->getRootGuid(second), root);
}

TEST_F(ContainerTest, UpdateIsForwardedAndSavesTheShareList) {
  const ObjectStoreIndex index = open(liveConfig());
  ASSERT_EQ(::unlink(objstr("StoreInfo.txt").c_str()), 0);
  ObjectStoreUpdates updates;
  updates.updateDiscardWrites = true;
  updates.discardWrites = true;
  LogCapture log;
  ASSERT_OK(container_->updateObjectStore(index, updates));
  EXPECT_TRUE(log.contains("[share_42] discard writes are not valid for main share", 2));
  EXPECT_EQ(readFile(objstr("StoreInfo.txt")), "share_42,,42\n");
}

TEST_F(ContainerTest, RestoreStoreInfoRecreatesRecords) {
  writeFile(objstr("StoreInfo.txt"), "a_1,,1\nb_2,,2\n");
  ASSERT_OK(container_->restoreStoreInfo());
  EXPECT_EQ(container_->numShares(), 2u);
  StoreInfo info;
  ASSERT_TRUE(container_->getStoreInfo("b_2", info));
  EXPECT_EQ(info.subclient, 2u);
  EXPECT_EQ(info.refCount, 1);
  ASSERT_NE(info.index, nullptr);
  EXPECT_EQ(info.index->arguments().indexParam1, 100);
  EXPECT_EQ(info.index->arguments().indexParam2, 60);
  // Opening a view of a restored share uses its record and index.
  const index_iface* restoredIndex = info.index.get();
  open(liveConfig("b", 2));
  ASSERT_TRUE(container_->getStoreInfo("b_2", info));
  EXPECT_EQ(info.index.get(), restoredIndex);
}

TEST_F(ContainerTest, RestoreStoreInfoStopsAtALineWithoutTwoPieces) {
  for (const std::string& badLine : {std::string("lonely"), std::string("x,,y,,z"),
                                     std::string("c_3,"), std::string("c_3,,three"),
                                     std::string("../c_3,,3")}) {
    ObjectContainer fresh;
    ObjectContainerConfig config;
    config.containerDir = path("c" + std::to_string(std::hash<std::string>{}(badLine)));
    ASSERT_OK(fresh.init(config));
    const std::string file = config.containerDir + "/objstr/StoreInfo.txt";
    writeFile(file, "a_1,,1\n" + badLine + "\nz_9,,9\n");
    LogCapture log;
    EXPECT_EQ(fresh.restoreStoreInfo().errNo(), EINVAL) << badLine;
    EXPECT_EQ(log.countContaining("Error: Can't parse [" + badLine + "] from [" + file + "]", -1),
              1u)
        << log.dump();
    EXPECT_EQ(fresh.numShares(), 1u) << badLine;
    StoreInfo info;
    EXPECT_TRUE(fresh.getStoreInfo("a_1", info));
  }
}

TEST_F(ContainerTest, RestoreStoreInfoWithoutAFileFails) {
  EXPECT_EQ(container_->restoreStoreInfo().errNo(), ENOENT);
}

TEST_F(ContainerTest, FailedOpenUndoesOnlyItsOwnReference) {
  const ObjectStoreIndex live = open(liveConfig());
  writeFile(objstr("share_42_broken"), "not a directory");
  LogCapture log;
  ObjectStoreIndex index = 0;
  CZnError err = container_->openObjectStore(index, pitConfig(1600000000, "broken"));
  EXPECT_EQ(err.errNo(), ENOTDIR);
  EXPECT_TRUE(log.contains("Error: Can't create folder " + objstr("share_42_broken"), -1));
  EXPECT_EQ(refCount("share_42"), 1);
  ASSERT_OK(container_->closeObjectStore(live));
  EXPECT_EQ(container_->numShares(), 0u);
}

TEST_F(ContainerTest, FailedFirstOpenLeavesNoRecord) {
  writeFile(objstr("share_42_0"), "not a directory");
  ObjectStoreIndex index = 0;
  EXPECT_FALSE(container_->openObjectStore(index, liveConfig()).ok());
  EXPECT_EQ(container_->numShares(), 0u);
  EXPECT_EQ(container_->numSlots(), 0u);
}

TEST_F(ContainerTest, CleanupOfAnUnknownShareFails) {
  LogCapture log;
  EXPECT_EQ(container_->cleanupObjectStore("ghost_5", 5, "0", false).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: Can't find storeInfo for [ghost_5]", -1), 1u);
}

TEST_F(ContainerTest, ForcedCleanupRemovesAShareThatIsNotOpen) {
  ASSERT_EQ(createDir(cacheDir("5/ab")), 0);
  ASSERT_EQ(createDir(objstr("ghost_5_0")), 0);
  ASSERT_EQ(createDir(cacheDir("noprune/5_0")), 0);
  LogCapture log;
  ASSERT_OK(container_->cleanupObjectStore("/ghost_5", 5, "0", true));
  EXPECT_TRUE(log.contains("Forced cleanup of [ghost_5] subclient=5 pitName=[0]", 1));
  EXPECT_FALSE(fileExists(cacheDir("5")));
  EXPECT_FALSE(fileExists(cacheDir("noprune/5_0")));
  EXPECT_FALSE(fileExists(objstr("ghost_5_0")));
  EXPECT_EQ(container_->numShares(), 0u);
}

TEST_F(ContainerTest, PruningRoutesBySubclient) {
  const std::string loose = path("loose-segment");
  writeFile(loose, "x");
  LogCapture log;
  EXPECT_TRUE(ObjectContainer::pruneFileStatic("7", loose, "seg", container_.get()));
  EXPECT_FALSE(fileExists(loose));
  EXPECT_TRUE(log.contains("no main share for subclient [7], deleting [" + loose + "]", 5));

  // With the live share open, its store decides for its subclient: an open
  // file is kept, and the file it is asked about is not touched by path.
  const ObjectStoreIndex live = open(liveConfig());
  ItemName item;
  ASSERT_OK(container_->create(live, item, "/f", 0644));
  FileHandle handle;
  ItemName byPath("/f");
  ASSERT_OK(container_->open(live, handle, byPath, O_RDONLY, false));
  const guid_t version = handle.name.verGuid;
  ASSERT_FALSE(version.empty());
  writeFile(loose, "x");
  EXPECT_FALSE(container_->pruneFile("42", loose, version));
  EXPECT_TRUE(log.contains("not pruning open file", 5));
  EXPECT_TRUE(fileExists(loose));
  ASSERT_OK(container_->close(live, handle));
  // Closed, its header may go: the index can rebuild it.
  EXPECT_TRUE(container_->pruneFile("42", loose, version));
  EXPECT_TRUE(fileExists(loose));
  struct stat st {};
  ItemName again("/f");
  EXPECT_OK(container_->getattr(live, again, st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(container_->counters().get(ContainerCounter::PRUNE_FILE), 3u);
}

TEST_F(ContainerTest, CountersAreReportedByKey) {
  std::map<std::string, std::string> counters;
  ASSERT_OK(container_->getCounters(counters));
  for (size_t i = 0; i < ObjectContainerCounters::NUM_COUNTERS; ++i)
    EXPECT_EQ(counters.count(ObjectContainerCounters::name(i)), 1u) << i;
  EXPECT_EQ(ObjectContainerCounters::NUM_COUNTERS, 38u);
  EXPECT_STREQ(ObjectContainerCounters::name(0), "pruneFile");
  EXPECT_STREQ(ObjectContainerCounters::name(13), "readBytes");
  EXPECT_STREQ(ObjectContainerCounters::name(37), "removexattr");
  EXPECT_EQ(counters["pruneFile"], "0");
}

TEST_F(ContainerTest, WatermarksGoToTheDiskCache) {
  ASSERT_OK(container_->updateWatermarks(Watermarks{70, 50, 60}));
  int high = 0;
  ASSERT_OK(container_->getCurrentHighWatermark(high));
  EXPECT_EQ(high, 70);
}

TEST_F(ContainerTest, DestructorWaitsForAsynchronousBrowses) {
  ObjectContainer::setAsyncBrowsePollIntervalMsForTesting(10);
  open(liveConfig());
  StoreInfo info;
  ASSERT_TRUE(container_->getStoreInfo("share_42", info));
  std::shared_ptr<index_iface> index = info.index;
  index->beginAsyncBrowseForTesting();

  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    container_.reset();
    destroyed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(destroyed.load());
  index->endAsyncBrowseForTesting();
  destroyer.join();
  EXPECT_TRUE(destroyed.load());
  // The container stopped further browses before waiting.
  index_iface_browse_fields fields;
  fields.guid = "0123456789abcdef0123456789abcdef";
  std::vector<index_iface_props*> list;
  EXPECT_EQ(index->browse_by_guid(fields, list), ECANCELED);
  ObjectContainer::setAsyncBrowsePollIntervalMsForTesting(1000);
}

}  // namespace
}  // namespace ObjectStore
