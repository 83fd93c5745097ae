// DiskCache: start-up, space policy, contexts and the informational
// operations. The segment operations are in DiskCacheSegments.cpp.
//
// Layout under the cache directory:
//   <area>/<first two characters>/<segment name>   segment files
//   recycle/<name>.<ns>                             deleted with recycle set
//   .tmp/                                           images being created
//                                                   (cleared at start-up)
#include "platform/diskcache/DiskCache.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/diskcache/DiskCacheContexts.h"
#include "platform/diskcache/DiskCacheCounters.h"
#include "platform/diskcache/DiskCacheMigrator.h"
#include "platform/diskcache/DiskCachePruner.h"
#include "platform/diskcache/DiskCacheSpace.h"
#include "platform/diskcache/SegmentFiles.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {

namespace {

constexpr uint64_t DEFAULT_OPEN_FILES = 1000;
constexpr uint64_t MIN_OPEN_FILES = 16;
constexpr int DEFAULT_PRUNE_INTERVAL_MS = 1000;

// The open-file cache may use at most half of the process's descriptors, so
// that the file server keeps enough for its clients.
uint64_t openFileLimit(uint64_t requested) {
  uint64_t limit = requested == 0 ? DEFAULT_OPEN_FILES : requested;
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
    limit = std::min<uint64_t>(limit, rl.rlim_cur / 2);
  return std::max(limit, MIN_OPEN_FILES);
}

bool directoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DiskCache::DiskCache(int /*persistentVolumes*/)
    : contexts_(std::make_unique<DiskCacheContexts>()),
      space_(std::make_unique<DiskCacheSpace>()),
      counters_(std::make_unique<DiskCacheCounters>()) {}

DiskCache::~DiskCache() { shutdownPruner(); }

CZnError DiskCache::init(const std::string& cacheDir, const std::vector<std::string>& volumes,
                         int highWatermark, int lowWatermark, int thirdWatermark,
                         uint64_t lruSize, void* /*callback*/, PruningMode mode) {
  OSLOG(1, "Initializing disk cache [%s]: volumes=%zu high=%d low=%d third=%d lru=%lu mode=%s",
        cacheDir.c_str(), volumes.size(), highWatermark, lowWatermark, thirdWatermark,
        static_cast<unsigned long>(lruSize), mode == PruningMode::Lru ? "lru" : "random");
  if (ready())
    return report(FXErrorUtil::ErrorErrNo(FX_LOC, EALREADY, "Disk cache already initialized"),
                  "Error: Can't initialize disk cache", cacheDir);
  CZnError err = space_->setWatermarks(highWatermark, lowWatermark, thirdWatermark);
  if (err.failed()) return report(err, "Error: Can't initialize disk cache", cacheDir);
  if (cacheDir.empty())
    return report(FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Empty cache directory"),
                  "Error: Can't initialize disk cache", cacheDir);
  std::string dir = cacheDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  // Images of creations interrupted by a crash are garbage: clear them.
  int rc = createDir(dir);
  if (rc == 0) rc = rmTree(dir + "/.tmp");
  if (rc == 0) rc = createDir(dir + "/.tmp");
  if (rc != 0)
    return report(FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't create [%s]", dir.c_str()),
                  "Error: Can't initialize disk cache", dir);
  cacheDir_ = dir;
  files_ = std::make_unique<SegmentFiles>(dir, openFileLimit(lruSize));
  files_->scan();
  for (const auto& [rel, kind] : contexts_->areas()) files_->area(rel, kind);
  space_->refreshVolume(dir);
  int interval = static_cast<int>(pruneIntervalMs_.load());
  if (interval == 0)
    interval = getRegistryValue("nDiskCachePruneIntervalMs", DEFAULT_PRUNE_INTERVAL_MS, 1,
                                3600 * 1000);
  if (interval <= 0) interval = DEFAULT_PRUNE_INTERVAL_MS;
  pruner_ = std::make_unique<DiskCachePruner>(*this, mode, static_cast<uint32_t>(interval));
  initialized_.store(true, std::memory_order_release);
  pruner_->start();
  OSLOG(1, "Disk cache [%s] ready: %lu segments, %lu bytes, capacity %lu", dir.c_str(),
        static_cast<unsigned long>(files_->fileCount()),
        static_cast<unsigned long>(files_->usedBytes()),
        static_cast<unsigned long>(space_->capacity()));
  return CZnError::Success;
}

CZnError DiskCache::prepare(const DiskCacheContext& ctx, const std::string& name,
                            ContextPaths& paths) {
  if (!ready()) return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Disk cache not initialized");
  // The name is a file name: no separators, nothing that walks the tree.
  // Its first two characters name its directory, so a leading dot (".."
  // would leave the area, "." stay in it, ".t" meet the temporary files) is
  // refused as well.
  if (name.empty() || name.size() > 255 || name[0] == '.' ||
      name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Invalid segment name [%s]", name.c_str());
  return contexts_->snapshot(ctx, paths);
}

CZnError DiskCache::report(CZnError err, const char* what, const std::string& name) {
  err.Push(FX_LOC, "%s [%s]", what, name.c_str());
  int level = -1;
  if (err.errNo() == ENOSPC) {
    counters_->enospc.fetch_add(1);
    level = 4;
  } else if (err.errNo() == ENOENT) {
    level = 4;  // an expected miss: the store restores what is missing
  }
  OSLOG_ERR_AT(level, err);
  return err;
}

CacheArea* DiskCache::areaFor(const std::string& rel, AreaKind kind) {
  CacheArea* area = files_->findArea(rel);
  if (area != nullptr && area->getKind() == kind) return area;
  return files_->area(rel, kind);
}

CZnError DiskCache::checkCreateSpace(uint64_t bytes, bool nonPrunable, const std::string& name) {
  if (space_->outOfSpace())
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSPC, "Out of space (forced) for [%s]", name.c_str());
  if (nonPrunable && !space_->nonPrunableFits(files_->nonPrunableBytes() + bytes))
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSPC,
                                   "Non-prunable segments would pass the third watermark [%s]",
                                   name.c_str());
  if (space_->fits(files_->usedBytes() + bytes)) return CZnError::Success;
  // Full: let the pruner have its chance first.
  reconcileAreas();
  if (!space_->fits(files_->usedBytes() + bytes))
    pruner_->passAndWait(pruneWaitMs_.load());
  if (space_->fits(files_->usedBytes() + bytes)) return CZnError::Success;
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSPC, "Disk cache full for [%s]: %lu of %lu bytes",
                                 name.c_str(), static_cast<unsigned long>(files_->usedBytes()),
                                 static_cast<unsigned long>(space_->capacity()));
}

void DiskCache::afterGrowth() {
  if (pruner_ && space_->aboveHigh(files_->usedBytes())) pruner_->wake();
}

void DiskCache::reconcileAreas(const std::vector<std::string>* only) {
  for (CacheArea* area : files_->areas()) {
    if (area->files.load() == 0) continue;
    if (only != nullptr && std::find(only->begin(), only->end(), area->rel) == only->end())
      continue;
    // Read the sequence first: a file recorded after the check below was
    // renamed into a directory that exists again.
    uint64_t before = files_->nextSequence();
    if (directoryExists(cacheDir_ + "/" + area->rel)) continue;
    OSLOG(2, "Disk cache area [%s] was removed: forgetting its %lu segments", area->rel.c_str(),
          static_cast<unsigned long>(area->files.load()));
    files_->dropArea(area, before);
  }
}

CZnError DiskCache::registerContext(DiskCacheContext& ctx) {
  CZnError err = contexts_->add(ctx);
  if (err.failed()) return report(err, "Error: Can't register context", ctx.name);
  OSLOG(2, "Registered disk cache context [%s] noprune=[%s] view=[%s] keepAll=%d",
        ctx.name.c_str(), ctx.noprunePath.c_str(), ctx.viewPath.c_str(), ctx.keepAll ? 1 : 0);
  if (!ready()) return CZnError::Success;
  std::vector<std::string> rels;
  for (const auto& [rel, kind] : contexts_->areas()) {
    areaFor(rel, kind);
    rels.push_back(rel);
  }
  // The context's areas may have been removed since their last user left.
  reconcileAreas(&rels);
  return CZnError::Success;
}

CZnError DiskCache::unregisterContext(DiskCacheContext& ctx) {
  ContextPaths paths;
  CZnError err = contexts_->snapshot(ctx, paths);
  if (!contexts_->remove(ctx))
    return report(FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Context not registered"),
                  "Error: Can't unregister context", ctx.name);
  OSLOG(2, "Unregistered disk cache context [%s]", ctx.name.c_str());
  if (!ready() || err.failed()) return CZnError::Success;
  // Close the files of areas nobody uses any more: their directories may be
  // removed next (the container's cleanup of a closed share).
  for (const std::string& rel : {paths.noprune, paths.prunableArea()}) {
    if (rel.empty() || contexts_->references(rel)) continue;
    if (CacheArea* area = files_->findArea(rel)) files_->closeIdle(area);
  }
  return CZnError::Success;
}

CZnError DiskCache::updateContext(DiskCacheContext& ctx, const std::string& noprunePath,
                                  bool keepAll) {
  CZnError err = contexts_->update(ctx, noprunePath, keepAll);
  if (err.failed()) return report(err, "Error: Can't update context", ctx.name);
  if (ready() && !noprunePath.empty()) areaFor(noprunePath, AreaKind::NoPrune);
  return CZnError::Success;
}

CZnError DiskCache::updateWatermarks(int highWatermark, int lowWatermark, int thirdWatermark) {
  CZnError err = space_->setWatermarks(highWatermark, lowWatermark, thirdWatermark);
  if (err.failed()) return report(err, "Error: Can't update watermarks", cacheDir_);
  OSLOG(1, "Disk cache watermarks: high=%d low=%d third=%d", highWatermark, lowWatermark,
        thirdWatermark);
  if (ready()) afterGrowth();
  return CZnError::Success;
}

CZnError DiskCache::getCurrentWatermarks(int& highWatermark, int& lowWatermark,
                                         int& thirdWatermark) {
  space_->watermarks(highWatermark, lowWatermark, thirdWatermark);
  return CZnError::Success;
}

void DiskCache::setOutOfSpace(bool outOfSpace) {
  OSLOG(1, "Disk cache out-of-space state: %d", outOfSpace ? 1 : 0);
  space_->setOutOfSpace(outOfSpace);
}

void DiskCache::getCounters(std::map<std::string, std::string>& counters) {
  counters_->toMap(counters);
}

void DiskCache::getStatus(std::map<std::string, std::string>& status) {
  int high = 0, low = 0, third = 0;
  space_->watermarks(high, low, third);
  uint64_t used = usedBytes();
  status["diskCache.dir"] = cacheDir_;
  status["diskCache.usedBytes"] = std::to_string(used);
  status["diskCache.capacityBytes"] = std::to_string(space_->capacity());
  status["diskCache.usagePercent"] = std::to_string(space_->usagePercent(used));
  status["diskCache.nonPrunableBytes"] = std::to_string(ready() ? files_->nonPrunableBytes() : 0);
  status["diskCache.segments"] = std::to_string(ready() ? files_->fileCount() : 0);
  status["diskCache.highWatermark"] = std::to_string(high);
  status["diskCache.lowWatermark"] = std::to_string(low);
  status["diskCache.thirdWatermark"] = std::to_string(third);
  bool lru = pruner_ && pruner_->mode() == PruningMode::Lru;
  status["diskCache.pruningMode"] = std::string(lru ? "lru" : "random");
  status["diskCache.outOfSpace"] = std::string(space_->outOfSpace() ? "1" : "0");
  status["diskCache.contexts"] = std::to_string(contexts_->count());
  status["diskCache.openFiles"] = std::to_string(ready() ? files_->openFiles() : 0);
}

void DiskCache::clearCounters() { counters_->clear(); }

void DiskCache::shutdownPruner() {
  if (pruner_) pruner_->shutdown();
}

int DiskCache::startMigration(uint16_t /*volume*/, const std::string& from, const std::string& to) {
  return DiskCacheMigrator::migrate(from, to);
}

void DiskCache::setCapacity(uint64_t bytes) {
  OSLOG(1, "Disk cache capacity: %lu bytes", static_cast<unsigned long>(bytes));
  space_->setCapacity(bytes);
  if (ready()) afterGrowth();
}

uint64_t DiskCache::usedBytes() { return ready() ? files_->usedBytes() : 0; }

uint64_t DiskCache::capacityBytes() { return space_->capacity(); }

void DiskCache::pruneNow() {
  if (!ready()) return;
  reconcileAreas();
  pruner_->runPass();
}

void DiskCache::setPruneInterval(uint32_t milliseconds) {
  if (milliseconds == 0) milliseconds = 1;
  pruneIntervalMs_.store(milliseconds);
  if (ready()) pruner_->setInterval(milliseconds);
}

void DiskCache::setPruneWait(uint32_t milliseconds) { pruneWaitMs_.store(milliseconds); }

void DiskCache::setFaults(const DiskCacheFaults& fault) { faults_.arm(fault); }

void DiskCache::clearFaults() { faults_.clear(); }

}  // namespace ObjectStore
