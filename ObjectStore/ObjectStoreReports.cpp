// A store's reports (status, counters, GUI statistics, per-version status)
// and its share of the debug commands: cache dumps and flushes and the
// crash points of delete and rename.
#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/DebugFlags.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

const char* yesNo(bool value) { return value ? "yes" : "no"; }

// The five counters every LRU cache reports, under prefix.
void pushLruStats(std::map<std::string, std::string>& stats, const LruCacheStats& lru,
                  const std::string& prefix) {
  pushStat(stats, "inserts", lru.inserts, prefix);
  pushStat(stats, "updates", lru.updates, prefix);
  pushStat(stats, "hits", lru.hits, prefix);
  pushStat(stats, "misses", lru.misses, prefix);
  pushStat(stats, "overflows", lru.overflows, prefix);
}

}  // namespace

void pushStat(std::map<std::string, std::string>& stats, const std::string& name, uint64_t value,
              const std::string& prefix) {
  stats[prefix + name] = std::to_string(value);
}

void pushStat(std::map<std::string, std::string>& stats, const std::string& name,
              const std::string& value, const std::string& prefix) {
  stats[prefix + name] = value;
}

void getCacheStats(std::map<std::string, std::string>& stats, const GuidCacheStats& cacheStats,
                   const std::string& prefix) {
  pushStat(stats, "inserts", cacheStats.cache.inserts, prefix);
  pushStat(stats, "deletes", cacheStats.cache.deletes, prefix);
  pushStat(stats, "renames", cacheStats.cache.renames, prefix);
  pushStat(stats, "hits", cacheStats.cache.hits, prefix);
  pushStat(stats, "misses", cacheStats.cache.misses, prefix);
  pushStat(stats, "collisions", cacheStats.cache.collisions, prefix);
  pushStat(stats, "buckets", cacheStats.cache.buckets, prefix);
  pushStat(stats, "numItems", cacheStats.cache.numItems, prefix);
  pushStat(stats, "bytes", cacheStats.cache.bytes, prefix);
  pushStat(stats, "maxBytes", cacheStats.maxBytes, prefix);
  pushStat(stats, "avgData", cacheStats.inserts == 0 ? 0 : cacheStats.bytes / cacheStats.inserts,
           prefix);
}

// ---------------------------------------------------------------------------
// Reports

void ObjectStore::getStatus(std::map<std::string, std::string>& status, const std::string& prefix) {
  pushStat(status, "rootName", rootName_, prefix);
  pushStat(status, "subclient", config_.subclient, prefix);
  pushStat(status, "extentSize", config_.extentSize, prefix);
  pushStat(status, "rootGuid", rootGuid_, prefix);
  pushStat(status, "snapshotTime", snapshotSuffix_, prefix);
  pushStat(status, "readOnly", yesNo(readOnly_.load()), prefix);
  pushStat(status, "discardWrites", yesNo(discardWrites_.load()), prefix);
  pushStat(status, "volumeIndex", context_.volumeIndex, prefix);
  size_t openFiles = 0;
  {
    HxCriticalSectionGuard guard(openFilesLock_);
    openFiles = openFiles_.size();
  }
  pushStat(status, "openFiles", openFiles, prefix);
  pushStat(status, "guidCacheBytesMax", static_cast<uint64_t>(config_.guidCacheBytesMax), prefix);
  pushStat(status, "versionCacheBytesMax", static_cast<uint64_t>(config_.versionCacheBytesMax),
           prefix);
  pushStat(status, "dirCacheEntriesMax", config_.dirCacheEntriesMax, prefix);
  pushStat(status, "objstrptr", to_hexstring(static_cast<const void*>(this)), prefix);
  pushStat(status, "indexptr", to_hexstring(static_cast<const void*>(index_.get())), prefix);
  pushStat(status, "backupqueueptr", to_hexstring(static_cast<const void*>(backupQueue_.get())),
           prefix);
  // The reports travel as comma-separated text, so the filter's own commas
  // would split its value.
  std::string filter = backupFilter();
  for (char& c : filter)
    if (c == ',') c = ';';
  pushStat(status, "backupFilter", filter, prefix);
  if (backupQueue_) {
    backupQueue_->getStatus(status, prefix);
  } else {
    // No queue runs in this view: nothing waits for backup and nothing is
    // journaled.
    pushStat(status, "backupQ.Timeout", uint64_t{0}, prefix);
    pushStat(status, "backupQ.Modified", uint64_t{0}, prefix);
    pushStat(status, "backupQ.Queued", uint64_t{0}, prefix);
    pushStat(status, "backupQ.Uncommitted", uint64_t{0}, prefix);
    pushStat(status, "backupQ.JournalDir", std::string(), prefix);
  }
  std::vector<std::pair<std::string, std::string>> gui;
  (void)getGuiStats(gui);  // only ever succeeds
  for (const auto& [label, value] : gui) pushStat(status, "gui " + label, value, prefix);
}

CZnError ObjectStore::getGuiStats(std::vector<std::pair<std::string, std::string>>& stats) {
  stats.clear();
  stats.emplace_back("Index flush status", index_->get_flush_status_msg());
  stats.emplace_back("Index query status", index_->get_query_status_msg());
  if (backupQueue_) {
    backupQueue_->getGuiStats(stats);
  } else {
    stats.emplace_back("Backup status", "initializing");
    stats.emplace_back("Uncommitted extents", "0");
  }
  return CZnError::Success;
}

void ObjectStore::getStatusVerGuid(std::map<std::string, std::string>& status,
                                   const guid_t& verGuid) {
  guid_t objGuid;
  if (versionCache_.findGuid(objGuid, verGuid).failed()) objGuid.clear();
  pushStat(status, "objguid", objGuid);
  if (backupQueue_) {
    backupQueue_->getStatusVerGuid(status, verGuid);
  } else {
    pushStat(status, "backupQ.modified", "0");
    pushStat(status, "backupQ.queued", "0");
    pushStat(status, "backupQ.uncommitted", "0");
    pushStat(status, "backupQ.refCount", "0");
  }
}

void ObjectStore::getCounters(std::map<std::string, std::string>& counters) {
  pushStat(counters, "recoveredSegs", recoveredSegs_.load());

  GuidCacheStats cacheStats;
  if (CZnError err = guidCache_.getStats(cacheStats); err.failed()) {
    OSLOG_ERR(err);
  } else {
    getCacheStats(counters, cacheStats, "guidCache.");
  }
  cacheStats = GuidCacheStats();
  if (CZnError err = versionCache_.getStats(cacheStats); err.failed()) {
    OSLOG_ERR(err);
  } else {
    getCacheStats(counters, cacheStats, "verCache.");
  }

  index_->get_counters(counters);
  // The queue adds its controller's counters when it has one.
  if (backupQueue_) backupQueue_->getCounters(counters);

  pushLruStats(counters, attrCache_.getStats(), "attrCache.");
  pushLruStats(counters, xattrCache_.getStats(), "xattrCache.");
  const LruCacheStats dirStats = dirEntCache_.getStats();
  pushLruStats(counters, dirStats, "dirEntCache.");
  pushStat(counters, "dirEntCache.totalWeight", dirStats.totalWeight);
  pushStat(counters, "dirEntCache.numEntries", dirStats.numEntries);
}

void ObjectStore::clearCounters() {
  recoveredSegs_.store(0);
  index_->clear_counters();
  if (backupQueue_) backupQueue_->clearCounters();
  // Only the attribute cache's figures restart: the other caches' hit rates
  // are meant to be read over the store's whole life.
  attrCache_.clearStats();
}

// ---------------------------------------------------------------------------
// Debug commands

void ObjectStore::processDbgCommand(const std::string& command) {
  // Re-read every time, so that an operator can switch the commands off
  // without restarting the file server.
  if (getRegistryValue("nEnableDbgCmds", 0, 0, INT_MAX) == 0) return;

  if (command == "/dumpcache") {
    if (CZnError err = guidCache_.dumpCache(); err.failed()) OSLOG_ERR(err);
    if (CZnError err = versionCache_.dumpCache(); err.failed()) OSLOG_ERR(err);
  } else if (command == "/dumpindex") {
    OSLOG(3, "Dumping index cache");
    index_->dump_caches();
  } else if (command == "dumpdircache") {
    OSLOG(0, "Dumping dirent cache");
    // Counted under the cache's lock, logged after it: the dirent-cache
    // mutex is never held across I/O.
    // A directory dropped between the two steps is left out.
    std::vector<std::string> keys;
    dirEntCache_.getAllKeys(keys);
    std::vector<std::pair<std::string, size_t>> counts;
    {
      LruCache<std::string, DirEntInfo>::LockGuard guard(dirEntCache_);
      for (const std::string& key : keys) {
        DirEntInfo* info = dirEntCache_.getVal(key);
        if (info != nullptr) counts.emplace_back(key, info->children.size());
      }
    }
    for (const auto& [dir, children] : counts)
      OSLOG(0, "[%s] -> %lu", dir.c_str(), static_cast<unsigned long>(children));
  } else if (command == "dumpattribcache") {
    OSLOG(0, "Dumping attrib cache");
    std::vector<std::pair<std::string, AttribData>> items;
    attrCache_.getAllItems(items);
    for (const auto& [key, attrs] : items) {
      OSLOG(0, "[%s] -> fname=[%s] sz=%lu uid=%lu gid=%lu mode=%lu ctime=%lu mtime=%lu",
            key.c_str(), attrs.name.c_str(), static_cast<unsigned long>(attrs.size),
            static_cast<unsigned long>(attrs.uid), static_cast<unsigned long>(attrs.gid),
            static_cast<unsigned long>(attrs.mode), static_cast<unsigned long>(attrs.ctime),
            static_cast<unsigned long>(attrs.mtime));
    }
  } else if (command == "flushattribcache") {
    OSLOG(0, "Flushing attrib cache");
    attrCache_.clear();
    xattrCache_.clear();
  } else if (command == "flushdircache") {
    OSLOG(0, "Flushing directory cache");
    dirEntCache_.clear();
  } else if (command == "killdelete") {
    OSLOG(0, "Killing process during delete");
    DebugFlags[DEBUG_FLAG_KILL_DELETE].store(1);
  } else if (command == "killrename") {
    OSLOG(0, "Killing process during rename");
    DebugFlags[DEBUG_FLAG_KILL_RENAME].store(1);
  }
}

void ObjectStore::debugCmd(DebugCommand command) {
  if (command != DEBUG_CMD_DUMP_BACKUP_QUEUES) {
    OSLOG(-1, "Invalid command: [%d]", static_cast<int>(command));
    return;
  }
  if (backupQueue_) {
    backupQueue_->dumpQueues();
  } else {
    OSLOG(2, "[%s] has no backup queue to dump", rootName_.c_str());
  }
}

}  // namespace ObjectStore
