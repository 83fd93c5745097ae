// The container's and the stores' reports: status keys and values, the
// counters of every layer, summing over stores, what clearing resets, GUI
// statistics, per-version status and the reports on indexes that are not
// open.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/PerfCounters.h"
#include "core/StoreFixture.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/support/Clock.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {
namespace {

using test::LogCapture;
using StatMap = std::map<std::string, std::string>;
using GuiStats = std::vector<std::pair<std::string, std::string>>;

// The keys of `stats` that begin with prefix, the prefix removed.
std::set<std::string> keysUnder(const StatMap& stats, const std::string& prefix) {
  std::set<std::string> keys;
  for (const auto& [key, value] : stats)
    if (key.compare(0, prefix.size(), prefix) == 0) keys.insert(key.substr(prefix.size()));
  return keys;
}

// The store prefixes ("store<n>.") present in a container status.
std::set<std::string> storePrefixes(const StatMap& stats) {
  std::set<std::string> prefixes;
  for (const auto& [key, value] : stats) {
    if (key.compare(0, 5, "store") != 0) continue;
    const size_t dot = key.find('.');
    if (dot != std::string::npos) prefixes.insert(key.substr(0, dot + 1));
  }
  return prefixes;
}

uint64_t number(const StatMap& stats, const std::string& key) {
  auto it = stats.find(key);
  EXPECT_NE(it, stats.end()) << "missing " << key;
  if (it == stats.end()) return UINT64_MAX;
  return std::stoull(it->second);
}

std::string value(const StatMap& stats, const std::string& key) {
  auto it = stats.find(key);
  EXPECT_NE(it, stats.end()) << "missing " << key;
  return it == stats.end() ? "<missing>" : it->second;
}

const std::set<std::string> STORE_STATUS_KEYS = {"rootName",
                                                 "subclient",
                                                 "extentSize",
                                                 "rootGuid",
                                                 "snapshotTime",
                                                 "readOnly",
                                                 "discardWrites",
                                                 "volumeIndex",
                                                 "openFiles",
                                                 "guidCacheBytesMax",
                                                 "versionCacheBytesMax",
                                                 "dirCacheEntriesMax",
                                                 "objstrptr",
                                                 "indexptr",
                                                 "backupqueueptr",
                                                 "backupFilter",
                                                 "backupQ.Timeout",
                                                 "backupQ.Modified",
                                                 "backupQ.Queued",
                                                 "backupQ.Uncommitted",
                                                 "backupQ.JournalDir",
                                                 "gui Index flush status",
                                                 "gui Index query status",
                                                 "gui Backup status",
                                                 "gui Uncommitted extents"};

const std::set<std::string> GUID_CACHE_KEYS = {"inserts", "deletes",    "renames", "hits",
                                               "misses",  "collisions", "buckets", "numItems",
                                               "bytes",   "maxBytes",   "avgData"};
const std::set<std::string> LRU_KEYS = {"inserts", "updates", "hits", "misses", "overflows"};

// Turns timing on for its lifetime, starting from cleared figures.
class PerfTiming {
 public:
  PerfTiming() {
    g_object_store_counter.clearPerfCounters();
    g_object_store_enable_perf.store(true);
  }
  ~PerfTiming() { g_object_store_enable_perf.store(false); }
  PerfTiming(const PerfTiming&) = delete;
  PerfTiming& operator=(const PerfTiming&) = delete;
};

class ReportsTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    ASSERT_TRUE(registerSubClient(SUBCLIENT, containerDir_ + "/backup"));
  }

  // Opens a view through the container, as the file server does.
  ObjectStoreIndex openView(const ObjectStoreConfig& config) {
    ObjectStoreIndex index = 0;
    CZnError err = container_->openObjectStore(index, config);
    EXPECT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    return index;
  }

  static ObjectStoreConfig quietConfig(const std::string& name = "share",
                                       uint64_t subclient = SUBCLIENT) {
    ObjectStoreConfig config = liveConfig(name, subclient);
    // Nothing leaves the modified list while a test runs.
    config.backupTimeout = 3600;
    return config;
  }

  void makeFile(ObjectStoreIndex index, const std::string& path, const std::string& content) {
    ItemName item;
    ASSERT_OK(container_->create(index, item, path, 0644));
    if (content.empty()) return;
    FileHandle handle;
    ItemName named(path);
    ASSERT_OK(container_->open(index, handle, named, O_RDWR, false));
    uint64_t len = content.size();
    ASSERT_OK(container_->write(index, handle, content.data(), len, 0, NO_SYNC));
    ASSERT_OK(container_->close(index, handle));
  }

  void getattr(ObjectStoreIndex index, const std::string& path) {
    ItemName item(path);
    struct stat st {};
    ASSERT_OK(container_->getattr(index, item, st));
  }

  StatMap status() {
    StatMap stats;
    container_->getStatus(stats);
    return stats;
  }
  StatMap storeCounters(ObjectStoreIndex index) {
    StatMap stats;
    EXPECT_OK(container_->getObjStrCounters(stats, index));
    return stats;
  }
};

// ---------------------------------------------------------------------------
// Status

TEST_F(ReportsTest, ContainerStatusHoldsContainerDiskCacheAndEveryStoreKey) {
  ObjectStoreConfig config = quietConfig();
  config.extentSize = 65536;
  config.guidCacheBytesMax = 123456;
  config.versionCacheBytesMax = 654321;
  config.dirCacheEntriesMax = 777;
  config.backupTimeout = 4321;
  const ObjectStoreIndex index = openView(config);
  ASSERT_EQ(index, 0u);
  makeFile(index, "/f", "hello");

  StatMap stats = status();
  EXPECT_EQ(value(stats, "cacheDir"), containerDir_);
  EXPECT_EQ(value(stats, "numStores"), "1");
  EXPECT_EQ(value(stats, "ObjectContainerPtr"),
            to_hexstring(static_cast<const void*>(container_.get())));
  // Every key of the disk cache's own status is there.
  StatMap cacheStatus;
  cache_->getStatus(cacheStatus);
  ASSERT_FALSE(cacheStatus.empty());
  for (const auto& [key, unused] : cacheStatus) EXPECT_EQ(stats.count(key), 1u) << key;

  EXPECT_EQ(keysUnder(stats, "store0."), STORE_STATUS_KEYS);
  EXPECT_EQ(value(stats, "store0.rootName"), "share_42");
  EXPECT_EQ(value(stats, "store0.subclient"), "42");
  EXPECT_EQ(value(stats, "store0.extentSize"), "65536");
  EXPECT_EQ(value(stats, "store0.rootGuid"), container_->getRootGuid(index));
  EXPECT_EQ(value(stats, "store0.snapshotTime"), "0");
  EXPECT_EQ(value(stats, "store0.readOnly"), "no");
  EXPECT_EQ(value(stats, "store0.discardWrites"), "no");
  EXPECT_EQ(value(stats, "store0.openFiles"), "0");
  EXPECT_EQ(value(stats, "store0.guidCacheBytesMax"), "123456");
  EXPECT_EQ(value(stats, "store0.versionCacheBytesMax"), "654321");
  EXPECT_EQ(value(stats, "store0.dirCacheEntriesMax"), "777");
  EXPECT_EQ(value(stats, "store0.backupFilter"), "");
  EXPECT_EQ(value(stats, "store0.backupQ.Timeout"), "4321");
  // The one written extent waits out its quiet period.
  EXPECT_EQ(value(stats, "store0.backupQ.Modified"), "1");
  EXPECT_EQ(value(stats, "store0.backupQ.Queued"), "0");
  EXPECT_EQ(value(stats, "store0.backupQ.Uncommitted"), "0");
  EXPECT_EQ(value(stats, "store0.gui Uncommitted extents"), "1");
  // The controller's own status message, set when it started.
  EXPECT_EQ((std::set<std::string>{"waiting", "operational", "failed"})
                .count(value(stats, "store0.gui Backup status")),
            1u);

  // The pointers are distinct, non-null addresses.
  const std::string objstr = value(stats, "store0.objstrptr");
  const std::string indexPtr = value(stats, "store0.indexptr");
  const std::string queuePtr = value(stats, "store0.backupqueueptr");
  for (const std::string& ptr : {objstr, indexPtr, queuePtr}) {
    EXPECT_EQ(ptr.compare(0, 2, "0x"), 0) << ptr;
    EXPECT_NE(ptr, "0x0");
  }
  EXPECT_NE(objstr, indexPtr);
  EXPECT_NE(objstr, queuePtr);
  StoreInfo info;
  ASSERT_TRUE(container_->getStoreInfo("share_42", info));
  EXPECT_EQ(indexPtr, to_hexstring(static_cast<const void*>(info.index.get())));

  // An open file is counted while it is open.
  FileHandle handle;
  ItemName named("/f");
  ASSERT_OK(container_->open(index, handle, named, O_RDONLY, false));
  EXPECT_EQ(value(status(), "store0.openFiles"), "1");
  ASSERT_OK(container_->close(index, handle));
  EXPECT_EQ(value(status(), "store0.openFiles"), "0");
}

TEST_F(ReportsTest, StoreInSlotTwoIsListedOnlyUnderItsOwnSlotNumber) {
  const ObjectStoreIndex a = openView(quietConfig("a", 42));
  const ObjectStoreIndex b = openView(quietConfig("b", 43));
  const ObjectStoreIndex c = openView(quietConfig("c", 44));
  ASSERT_EQ(a, 0u);
  ASSERT_EQ(b, 1u);
  ASSERT_EQ(c, 2u);
  EXPECT_EQ(storePrefixes(status()), (std::set<std::string>{"store0.", "store1.", "store2."}));

  ASSERT_OK(container_->closeObjectStore(a));
  ASSERT_OK(container_->closeObjectStore(b));
  const StatMap stats = status();
  EXPECT_EQ(storePrefixes(stats), (std::set<std::string>{"store2."}));
  EXPECT_EQ(value(stats, "store2.rootName"), "c_44");
  EXPECT_EQ(value(stats, "store2.subclient"), "44");
  EXPECT_EQ(value(stats, "numStores"), "1");
}

TEST_F(ReportsTest, BackupFilterCommasAreReportedAsSemicolons) {
  ObjectStoreConfig config = quietConfig();
  config.backupFilter = ".tmp,.bak,,.swp";
  const ObjectStoreIndex index = openView(config);
  EXPECT_EQ(value(status(), "store0.backupFilter"), ".tmp;.bak;;.swp");

  // A filter changed at run time is reported the same way.
  ObjectStoreUpdates updates;
  updates.updateBackupFilter = true;
  updates.backupFilter = ".o,.a";
  ASSERT_OK(container_->updateObjectStore(index, updates));
  EXPECT_EQ(value(status(), "store0.backupFilter"), ".o;.a");
}

TEST_F(ReportsTest, PointInTimeViewReportsInitializingAndEmptyQueues) {
  const ObjectStoreIndex live = openView(quietConfig());
  makeFile(live, "/f", "data");
  const uint64_t snapshot = static_cast<uint64_t>(clockNowSec()) + 1;
  ObjectStoreConfig config = pitConfig(snapshot, "pit1");
  const ObjectStoreIndex view = openView(config);
  ASSERT_EQ(view, 1u);

  GuiStats gui{{"stale", "entry"}};
  ASSERT_OK(container_->getObjStrGuiStats(view, gui));
  ASSERT_EQ(gui.size(), 4u);
  EXPECT_EQ(gui[2], (std::pair<std::string, std::string>("Backup status", "initializing")));
  EXPECT_EQ(gui[3], (std::pair<std::string, std::string>("Uncommitted extents", "0")));

  const StatMap stats = status();
  EXPECT_EQ(keysUnder(stats, "store1."), STORE_STATUS_KEYS);
  char hex[32];
  std::snprintf(hex, sizeof(hex), "%lx", static_cast<unsigned long>(snapshot));
  EXPECT_EQ(value(stats, "store1.snapshotTime"), hex);
  EXPECT_EQ(value(stats, "store1.backupqueueptr"), "0x0");
  EXPECT_EQ(value(stats, "store1.backupQ.Modified"), "0");
  EXPECT_EQ(value(stats, "store1.backupQ.Queued"), "0");
  EXPECT_EQ(value(stats, "store1.backupQ.Uncommitted"), "0");
  EXPECT_EQ(value(stats, "store1.gui Backup status"), "initializing");
  // The live share beside it still has its queue and its written extent.
  EXPECT_EQ(value(stats, "store0.backupQ.Modified"), "1");

  // Without a queue there are no queue or controller counters.
  const StatMap counters = storeCounters(view);
  EXPECT_TRUE(keysUnder(counters, "backupQ.").empty());
  EXPECT_TRUE(keysUnder(counters, "backup.").empty());
  EXPECT_FALSE(keysUnder(storeCounters(live), "backup.").empty());
}

TEST_F(ReportsTest, GuiStatisticsComeInOrderFromIndexAndQueue) {
  const ObjectStoreIndex index = openView(quietConfig());
  makeFile(index, "/a", "x");
  makeFile(index, "/b", "y");
  StoreInfo info;
  ASSERT_TRUE(container_->getStoreInfo("share_42", info));

  GuiStats gui{{"left", "over"}, {"from", "before"}};
  ASSERT_OK(container_->getObjStrGuiStats(index, gui));
  ASSERT_EQ(gui.size(), 4u);
  EXPECT_EQ(gui[0].first, "Index flush status");
  EXPECT_EQ(gui[0].second, info.index->get_flush_status_msg());
  EXPECT_EQ(gui[1].first, "Index query status");
  EXPECT_EQ(gui[1].second, info.index->get_query_status_msg());
  EXPECT_EQ(gui[2].first, "Backup status");
  EXPECT_EQ(gui[3], (std::pair<std::string, std::string>("Uncommitted extents", "2")));
}

// ---------------------------------------------------------------------------
// Counters

TEST_F(ReportsTest, ContainerCountersListEveryEntryPointThenTheDiskCache) {
  const ObjectStoreIndex index = openView(quietConfig());
  // createAndOpen is counted on its own, not as a create.
  FileHandle handle;
  ItemName parent("/");
  struct stat st {};
  ASSERT_OK(container_->createAndOpen(index, handle, parent, "f", st, O_RDWR));
  ASSERT_OK(container_->close(index, handle));
  getattr(index, "/f");
  getattr(index, "/f");
  ItemName item;
  ASSERT_OK(container_->create(index, item, "/g", 0644));

  StatMap counters;
  ASSERT_OK(container_->getCounters(counters));
  for (size_t i = 0; i < ObjectContainerCounters::NUM_COUNTERS; ++i)
    EXPECT_EQ(counters.count(ObjectContainerCounters::name(i)), 1u)
        << ObjectContainerCounters::name(i);
  EXPECT_EQ(value(counters, "createAndOpen"), "1");
  EXPECT_EQ(value(counters, "create"), "1");
  EXPECT_EQ(value(counters, "getattr"), "2");
  EXPECT_EQ(value(counters, "close"), "1");
  EXPECT_EQ(value(counters, "mknod"), "0");
  StatMap cacheCounters;
  cache_->getCounters(cacheCounters);
  ASSERT_FALSE(cacheCounters.empty());
  for (const auto& [key, unused] : cacheCounters) EXPECT_EQ(counters.count(key), 1u) << key;
}

TEST_F(ReportsTest, StoreCountersHoldEveryLayersKeys) {
  ObjectStoreConfig config = quietConfig();
  config.guidCacheBytesMax = 200000;
  config.versionCacheBytesMax = 300000;
  const ObjectStoreIndex index = openView(config);
  makeFile(index, "/f", "abc");
  getattr(index, "/f");

  const StatMap counters = storeCounters(index);
  EXPECT_EQ(value(counters, "recoveredSegs"), "0");
  EXPECT_EQ(keysUnder(counters, "guidCache."), GUID_CACHE_KEYS);
  EXPECT_EQ(keysUnder(counters, "verCache."), GUID_CACHE_KEYS);
  EXPECT_EQ(value(counters, "guidCache.maxBytes"), "200000");
  EXPECT_EQ(value(counters, "verCache.maxBytes"), "300000");
  EXPECT_GE(number(counters, "verCache.inserts"), 1u);
  EXPECT_GE(number(counters, "verCache.avgData"), 1u);

  // The index service's own counters.
  StoreInfo info;
  ASSERT_TRUE(container_->getStoreInfo("share_42", info));
  StatMap indexCounters;
  info.index->get_counters(indexCounters);
  ASSERT_FALSE(indexCounters.empty());
  for (const auto& [key, unused] : indexCounters) EXPECT_EQ(counters.count(key), 1u) << key;

  // The queue's ten and the controller's nine, plus one pair per stream.
  EXPECT_EQ(keysUnder(counters, "backupQ."),
            (std::set<std::string>{"addedToModQ", "refreshedToModQ", "pushedToBkQ", "poppedFromBkQ",
                                   "removeFromUncommQ", "repushToBkQ", "committed", "journalOpens",
                                   "journalCompacts", "itemsRecovered"}));
  EXPECT_EQ(value(counters, "backupQ.addedToModQ"), "1");
  const std::set<std::string> controllerKeys = keysUnder(counters, "backup.");
  for (const char* key :
       {"getControllerErrs", "jobStarted", "jobFailed", "idleTimeout", "idleTimeoutStop",
        "endBackup", "sendItem", "sendItemErr", "sendItemBytes"})
    EXPECT_EQ(controllerKeys.count(key), 1u) << key;
  // Three streams unless configured otherwise.
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(controllerKeys.count("sendItemStream[" + std::to_string(n) + "]"), 1u);
    EXPECT_EQ(controllerKeys.count("sendItemStreamBytes[" + std::to_string(n) + "]"), 1u);
  }
  EXPECT_EQ(controllerKeys.size(), 9u + 2 * 3);

  EXPECT_EQ(keysUnder(counters, "attrCache."), LRU_KEYS);
  EXPECT_EQ(keysUnder(counters, "xattrCache."), LRU_KEYS);
  std::set<std::string> dirKeys = LRU_KEYS;
  dirKeys.insert("totalWeight");
  dirKeys.insert("numEntries");
  EXPECT_EQ(keysUnder(counters, "dirEntCache."), dirKeys);
  // The root's entry list is cached with its one child.
  EXPECT_GE(number(counters, "dirEntCache.numEntries"), 1u);
  EXPECT_GE(number(counters, "dirEntCache.totalWeight"), 1u);
}

TEST_F(ReportsTest, CacheStatisticsMapEveryFieldAndAverageTheInsertedBytes) {
  GuidCacheStats stats;
  stats.cache.inserts = 11;
  stats.cache.deletes = 2;
  stats.cache.renames = 3;
  stats.cache.hits = 4;
  stats.cache.misses = 5;
  stats.cache.collisions = 6;
  stats.cache.buckets = 7;
  stats.cache.numItems = 8;
  stats.cache.bytes = 9;
  stats.maxBytes = 10;
  stats.inserts = 4;
  stats.bytes = 103;
  StatMap out{{"p.hits", "old"}};
  getCacheStats(out, stats, "p.");
  EXPECT_EQ(out, (StatMap{{"p.inserts", "11"},
                          {"p.deletes", "2"},
                          {"p.renames", "3"},
                          {"p.hits", "4"},
                          {"p.misses", "5"},
                          {"p.collisions", "6"},
                          {"p.buckets", "7"},
                          {"p.numItems", "8"},
                          {"p.bytes", "9"},
                          {"p.maxBytes", "10"},
                          {"p.avgData", "25"}}));
  // No inserts: the average is 0, not a division by zero.
  getCacheStats(out, GuidCacheStats(), "p.");
  EXPECT_EQ(out["p.avgData"], "0");
  EXPECT_EQ(out["p.inserts"], "0");

  StatMap pushed;
  pushStat(pushed, "n", uint64_t{18446744073709551615ull}, "x.");
  pushStat(pushed, "s", std::string("text"), "x.");
  pushStat(pushed, "s", std::string("replaced"), "x.");
  EXPECT_EQ(pushed, (StatMap{{"x.n", "18446744073709551615"}, {"x.s", "replaced"}}));
}

TEST_F(ReportsTest, AllStoreCountersAreSummedKeyByKey) {
  const ObjectStoreIndex a = openView(quietConfig("a", 42));
  const ObjectStoreIndex b = openView(quietConfig("b", 43));
  makeFile(a, "/f1", "one");
  makeFile(a, "/f2", "two");
  getattr(a, "/f1");
  makeFile(b, "/g", "three");
  getattr(b, "/g");
  getattr(b, "/g");

  const StatMap first = storeCounters(a);
  const StatMap second = storeCounters(b);
  StatMap all;
  ASSERT_OK(container_->getAllObjStrCounters(all));
  std::set<std::string> keys;
  for (const auto& [key, unused] : first) keys.insert(key);
  for (const auto& [key, unused] : second) keys.insert(key);
  EXPECT_EQ(all.size(), keys.size());
  for (const std::string& key : keys) {
    const uint64_t one = first.count(key) ? std::stoull(first.at(key)) : 0;
    const uint64_t two = second.count(key) ? std::stoull(second.at(key)) : 0;
    EXPECT_EQ(number(all, key), one + two) << key;
  }
  EXPECT_EQ(number(all, "backupQ.addedToModQ"), 3u);

  // A closed view no longer counts.
  ASSERT_OK(container_->closeObjectStore(a));
  StatMap onlyB;
  ASSERT_OK(container_->getAllObjStrCounters(onlyB));
  EXPECT_EQ(number(onlyB, "backupQ.addedToModQ"), 1u);
}

TEST_F(ReportsTest, ClearResetsAttributeCacheButNotTheOtherCaches) {
  const ObjectStoreIndex index = openView(quietConfig());
  makeFile(index, "/f", "abc");
  for (int i = 0; i < 3; ++i) getattr(index, "/f");
  const StatMap before = storeCounters(index);
  ASSERT_GT(number(before, "attrCache.hits"), 0u);
  ASSERT_GT(number(before, "dirEntCache.hits"), 0u);
  ASSERT_EQ(number(before, "backupQ.addedToModQ"), 1u);
  StatMap containerBefore;
  ASSERT_OK(container_->getCounters(containerBefore));
  ASSERT_EQ(number(containerBefore, "getattr"), 3u);

  container_->clearCounters();

  const StatMap after = storeCounters(index);
  EXPECT_EQ(number(after, "attrCache.hits"), 0u);
  EXPECT_EQ(number(after, "attrCache.misses"), 0u);
  EXPECT_EQ(number(after, "attrCache.inserts"), 0u);
  EXPECT_EQ(number(after, "dirEntCache.hits"), number(before, "dirEntCache.hits"));
  EXPECT_EQ(number(after, "xattrCache.misses"), number(before, "xattrCache.misses"));
  EXPECT_EQ(number(after, "guidCache.inserts"), number(before, "guidCache.inserts"));
  EXPECT_EQ(number(after, "verCache.inserts"), number(before, "verCache.inserts"));
  EXPECT_EQ(number(after, "backupQ.addedToModQ"), 0u);
  EXPECT_EQ(number(after, "backup.jobStarted"), 0u);
  EXPECT_EQ(number(after, "recoveredSegs"), 0u);
  // The cached entries themselves stay.
  EXPECT_EQ(number(after, "dirEntCache.numEntries"), number(before, "dirEntCache.numEntries"));
  StatMap containerAfter;
  ASSERT_OK(container_->getCounters(containerAfter));
  for (size_t i = 0; i < ObjectContainerCounters::NUM_COUNTERS; ++i) {
    if (static_cast<ContainerCounter>(i) == ContainerCounter::PRUNE_FILE) continue;
    EXPECT_EQ(value(containerAfter, ObjectContainerCounters::name(i)), "0")
        << ObjectContainerCounters::name(i);
  }

  // Counting goes on from zero.
  getattr(index, "/f");
  EXPECT_EQ(number(storeCounters(index), "attrCache.hits"), 1u);
}

TEST_F(ReportsTest, ClearResetsThePerformanceCounters) {
  const ObjectStoreIndex index = openView(quietConfig());
  {
    PerfTiming timing;
    getattr(index, "/");
  }
  PerfCounterSnapshot snap;
  ASSERT_TRUE(g_object_store_counter.getCounter("getattr", PERF_GETATTR, snap));
  EXPECT_GE(snap.count, 1u);
  container_->clearCounters();
  ASSERT_TRUE(g_object_store_counter.getCounter("getattr", PERF_GETATTR, snap));
  EXPECT_EQ(snap.count, 0u);
}

// ---------------------------------------------------------------------------
// Performance counters

TEST_F(ReportsTest, EveryStoreOperationIsTimedUnderItsOwnCounter) {
  PerfTiming timing;
  const ObjectStoreIndex index = openView(quietConfig());
  {
    ItemName parent("/"), item;
    ASSERT_OK(container_->create(index, parent, item, "c1", 0644));
    ItemName byPath;
    ASSERT_OK(container_->create(index, byPath, "/c2", 0644));
    ItemName dir;
    ASSERT_OK(container_->mkdir(index, dir, "/d", 0755));
    ItemName dir2, root("/");
    ASSERT_OK(container_->mkdir(index, root, dir2, "d2", 0755));
    ItemName link, root2("/");
    ASSERT_OK(container_->createSymbolicLink(index, root2, "l1", link, "/c1"));
    ItemName link2;
    ASSERT_OK(container_->createSymbolicLink(index, link2, "/l2", "/c1"));
  }
  FileHandle handle;
  {
    ItemName parent("/");
    struct stat st {};
    ASSERT_OK(container_->createAndOpen(index, handle, parent, "f", st, O_RDWR));
    uint64_t len = 4;
    ASSERT_OK(container_->write(index, handle, "abcd", len, 0, NO_SYNC));
    char buffer[8];
    uint64_t got = 0;
    ASSERT_OK(container_->read(index, handle, buffer, 0, sizeof(buffer), got));
    LockInfo request;
    request.fh = &handle;
    request.type = LOCK_SHARED;
    request.begin = 0;
    request.end = 1;
    request.owner = this;
    LockInfo conflict;
    ASSERT_OK(container_->lock(index, request, conflict));
    ASSERT_OK(container_->close(index, handle));
  }
  ItemName f("/f");
  ASSERT_OK(container_->fsync(index, f));
  ASSERT_OK(container_->truncate(index, f, 2, false));
  ASSERT_OK(container_->chmod(index, f, 0600));
  ASSERT_OK(container_->chown(index, f, 1, 2));
  timeval when{1700000000, 0};
  ASSERT_OK(container_->utimes(index, f, when, when));
  ASSERT_OK(container_->setxattr(index, f, "user.a", {'1'}));
  std::vector<unsigned char> got;
  ASSERT_OK(container_->getxattr(index, f, "user.a", got));
  getattr(index, "/f");
  guid_t guid;
  ASSERT_OK(container_->pathToGuid(index, guid, "/f"));
  std::string path;
  ASSERT_OK(container_->guidToPath(index, guid, path));
  ItemName root("/");
  GuidPathList list;
  bool done = false;
  ASSERT_OK(container_->readdir(index, root, list, 0, 100, done));
  ASSERT_OK(container_->rename(index, "/f", "/g", false));
  ItemName g("/g"), d2("/d2");
  ASSERT_OK(container_->unlink(index, g));
  ASSERT_OK(container_->rmdir(index, d2));

  const std::vector<std::pair<const char*, int>> timed = {{"backupinit", PERF_BACKUP_INIT},
                                                          {"create", PERF_CREATE},
                                                          {"createAndOpen", PERF_CREATE_AND_OPEN},
                                                          {"createSymLink", PERF_CREATE_SYMLINK},
                                                          {"mkdir", PERF_MKDIR},
                                                          {"open", PERF_OPEN},
                                                          {"close", PERF_CLOSE},
                                                          {"writeExtent", PERF_WRITE_EXTENT},
                                                          {"write", PERF_WRITE},
                                                          {"readExtent", PERF_READ_EXTENT},
                                                          {"read", PERF_READ},
                                                          {"unlink", PERF_UNLINK},
                                                          {"rmdir", PERF_RMDIR},
                                                          {"rename", PERF_RENAME},
                                                          {"getattr", PERF_GETATTR},
                                                          {"setattr", PERF_SETATTR},
                                                          {"getxattr", PERF_GETXATTR},
                                                          {"setxattr", PERF_SETXATTR},
                                                          {"fsync", PERF_FSYNC},
                                                          {"lock", PERF_LOCK},
                                                          {"chmod", PERF_CHMOD},
                                                          {"utimes", PERF_UTIMES},
                                                          {"chown", PERF_CHOWN},
                                                          {"truncate", PERF_TRUNCATE},
                                                          {"guidToPath", PERF_GUID_TO_PATH},
                                                          {"pathToGuid", PERF_PATH_TO_GUID},
                                                          {"readdir", PERF_READDIR},
                                                          {"readDirEnt", PERF_READ_DIR_ENT},
                                                          {"addToDirEnt", PERF_ADD_TO_DIR_ENT}};
  for (const auto& [name, id] : timed) {
    PerfCounterSnapshot snap;
    EXPECT_TRUE(g_object_store_counter.getCounter(name, id, snap)) << name;
    EXPECT_GE(snap.count, 1u) << name;
  }
  // Both forms of create, mkdir and createSymbolicLink are timed.
  PerfCounterSnapshot snap;
  ASSERT_TRUE(g_object_store_counter.getCounter("create", PERF_CREATE, snap));
  EXPECT_GE(snap.count, 2u);
  ASSERT_TRUE(g_object_store_counter.getCounter("mkdir", PERF_MKDIR, snap));
  EXPECT_GE(snap.count, 2u);
  ASSERT_TRUE(g_object_store_counter.getCounter("createSymLink", PERF_CREATE_SYMLINK, snap));
  EXPECT_GE(snap.count, 2u);
}

TEST_F(ReportsTest, NothingIsTimedWhileTimingIsOff) {
  g_object_store_counter.clearPerfCounters();
  ASSERT_FALSE(g_object_store_enable_perf.load());
  const ObjectStoreIndex index = openView(quietConfig());
  getattr(index, "/");
  PerfCounterSnapshot snap;
  (void)g_object_store_counter.getCounter("getattr", PERF_GETATTR, snap);
  EXPECT_EQ(snap.count, 0u);
}

// ---------------------------------------------------------------------------
// Per-version status

TEST_F(ReportsTest, VersionStatusNamesTheObjectAndItsQueueState) {
  ObjectStore* store = openStore(quietConfig());
  ASSERT_NE(store, nullptr);
  ItemName item;
  ASSERT_OK(store->create(item, "/f", 0644, FILE_TYPE_REGULAR));
  ASSERT_FALSE(item.verGuid.empty());

  StatMap stats;
  store->getStatusVerGuid(stats, item.verGuid);
  EXPECT_EQ(stats, (StatMap{{"objguid", item.objGuid},
                            {"backupQ.modified", "0"},
                            {"backupQ.queued", "0"},
                            {"backupQ.uncommitted", "0"},
                            {"backupQ.refCount", "0"}}));

  ASSERT_NE(store->backupQueue(), nullptr);
  store->backupQueue()->push(item.verGuid);
  stats.clear();
  store->getStatusVerGuid(stats, item.verGuid);
  EXPECT_EQ(stats["backupQ.modified"], "1");
  EXPECT_EQ(stats["backupQ.queued"], "0");

  // A version nobody knows.
  stats.clear();
  store->getStatusVerGuid(stats, test::fakeGuid('e'));
  EXPECT_EQ(stats["objguid"], "");
  EXPECT_EQ(stats["backupQ.modified"], "0");
  EXPECT_EQ(stats["backupQ.refCount"], "0");
}

TEST_F(ReportsTest, ReportsOnAnIndexThatIsNotOpenFailWithEnoent) {
  const ObjectStoreIndex index = openView(quietConfig());
  ASSERT_OK(container_->closeObjectStore(index));
  LogCapture log;
  StatMap stats;
  GuiStats gui;
  for (ObjectStoreIndex bad : {index, ObjectStoreIndex{7}}) {
    log.clear();
    CZnError err = container_->getObjStrCounters(stats, bad);
    EXPECT_EQ(err.errNo(), ENOENT);
    err = container_->getStatusVerGuid(stats, bad, test::fakeGuid('a'));
    EXPECT_EQ(err.errNo(), ENOENT);
    err = container_->getObjStrGuiStats(bad, gui);
    EXPECT_EQ(err.errNo(), ENOENT);
    EXPECT_EQ(log.count("Invalid store [" + std::to_string(bad) + "]", -1), 3u) << log.dump();
  }
  EXPECT_TRUE(stats.empty());
  EXPECT_TRUE(gui.empty());
  // With no store open there is nothing to sum, and the status lists none.
  ASSERT_OK(container_->getAllObjStrCounters(stats));
  EXPECT_TRUE(stats.empty());
  EXPECT_TRUE(storePrefixes(status()).empty());
}

// ---------------------------------------------------------------------------
// Concurrency

TEST_F(ReportsTest, ReportsRunWhileViewsOpenAndClose) {
  const ObjectStoreIndex live = openView(quietConfig());
  makeFile(live, "/f", "data");
  const uint64_t snapshot = static_cast<uint64_t>(clockNowSec()) + 1;
  std::atomic<bool> done{false};
  std::atomic<int> opened{0};
  std::thread churn([&]() {
    for (int i = 0; i < 12; ++i) {
      ObjectStoreIndex view = 0;
      CZnError err =
          container_->openObjectStore(view, pitConfig(snapshot, "v" + std::to_string(i)));
      if (err.ok()) {
        ++opened;
        (void)container_->closeObjectStore(view);
      }
    }
    done = true;
  });
  int rounds = 0;
  while (!done.load() || rounds == 0) {
    StatMap stats;
    container_->getStatus(stats);
    // Each store listed is listed whole, never half-read.
    for (const std::string& prefix : storePrefixes(stats))
      EXPECT_EQ(keysUnder(stats, prefix), STORE_STATUS_KEYS) << prefix;
    EXPECT_EQ(value(stats, "store0.rootName"), "share_42");
    StatMap all;
    EXPECT_OK(container_->getAllObjStrCounters(all));
    EXPECT_EQ(all.count("recoveredSegs"), 1u);
    container_->clearCounters();
    ++rounds;
  }
  churn.join();
  EXPECT_EQ(opened.load(), 12);
  EXPECT_EQ(storePrefixes(status()), (std::set<std::string>{"store0."}));
}

}  // namespace
}  // namespace ObjectStore
