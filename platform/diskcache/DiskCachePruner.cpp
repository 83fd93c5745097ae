#include "platform/diskcache/DiskCachePruner.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "platform/diskcache/DiskCache.h"
#include "platform/diskcache/DiskCacheContexts.h"
#include "platform/diskcache/DiskCacheCounters.h"
#include "platform/diskcache/DiskCacheSpace.h"
#include "platform/diskcache/SegmentFiles.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {
bool isPrunable(AreaKind kind) { return kind == AreaKind::Share || kind == AreaKind::View; }
}  // namespace

DiskCachePruner::DiskCachePruner(DiskCache& cache, PruningMode mode, uint32_t intervalMs)
    : cache_(cache), mode_(mode), intervalMs_(intervalMs), rng_(std::random_device{}()) {}

DiskCachePruner::~DiskCachePruner() { shutdown(); }

void DiskCachePruner::start() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (thread_.joinable() || stop_) return;
  thread_ = std::thread([this] { loop(); });
  threadId_ = thread_.get_id();
}

void DiskCachePruner::shutdown() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stop_ = true;
    stopping_.store(true);
    cv_.notify_all();
    if (!thread_.joinable()) return;
    // A callback that shuts the cache down from the pruner thread can't join
    // itself: the thread ends on its own once the pass returns.
    if (std::this_thread::get_id() == threadId_) {
      thread_.detach();
      return;
    }
    thread = std::move(thread_);
  }
  thread.join();
  OSLOG(1, "Disk cache pruner stopped");
}

void DiskCachePruner::wake() {
  if (wakePending_.exchange(true)) return;
  std::lock_guard<std::mutex> guard(mutex_);
  wakeRequested_ = true;
  cv_.notify_all();
}

bool DiskCachePruner::passAndWait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable() || stop_ || std::this_thread::get_id() == threadId_) return false;
  // A pass already running may have looked at usage before our need arose:
  // wait for the one after it.
  uint64_t target = passesDone_ + (passRunning_ ? 2 : 1);
  wakeRequested_ = true;
  forceRequested_ = true;
  cv_.notify_all();
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return stop_ || passesDone_ >= target; }) &&
         passesDone_ >= target;
}

void DiskCachePruner::loop() {
  OSLOG(1, "Disk cache pruner started: mode=%s interval=%u ms",
        mode_ == PruningMode::Lru ? "lru" : "random", intervalMs_.load());
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    cv_.wait_for(lock, std::chrono::milliseconds(intervalMs_.load()),
                 [this] { return stop_ || wakeRequested_; });
    if (stop_) break;
    wakeRequested_ = false;
    wakePending_.store(false);
    bool force = forceRequested_;
    forceRequested_ = false;
    passRunning_ = true;
    lock.unlock();
    cache_.space_->refreshVolume(cache_.cacheDir_);
    cache_.reconcileAreas();
    pass(force, true);
    lock.lock();
    passRunning_ = false;
    ++passesDone_;
    cv_.notify_all();
  }
}

void DiskCachePruner::runPass(bool force) { pass(force, false); }

void DiskCachePruner::pass(bool force, bool onThread) {
  std::lock_guard<std::mutex> guard(passMutex_);
  SegmentFiles& files = *cache_.files_;
  DiskCacheSpace& space = *cache_.space_;
  if (!space.aboveHigh(files.usedBytes()) && !(force && !space.belowLow(files.usedBytes())))
    return;
  cache_.counters_->prunePasses.fetch_add(1);
  std::vector<SegmentCandidate> candidates = files.candidates(isPrunable);
  OSLOG(2, "Pruning: used=%lu capacity=%lu candidates=%zu",
        static_cast<unsigned long>(files.usedBytes()), static_cast<unsigned long>(space.capacity()),
        candidates.size());
  if (mode_ == PruningMode::Lru) {
    std::sort(candidates.begin(), candidates.end(),
              [](const SegmentCandidate& a, const SegmentCandidate& b) {
                return a.lastUseNs != b.lastUseNs ? a.lastUseNs < b.lastUseNs : a.key < b.key;
              });
  } else {
    std::shuffle(candidates.begin(), candidates.end(), rng_);
  }
  size_t removed = 0;
  for (const SegmentCandidate& candidate : candidates) {
    if ((onThread && stopping_.load()) || space.belowLow(files.usedBytes())) break;
    if (pruneOne(candidate)) ++removed;
  }
  OSLOG(2, "Pruned %zu segments: used=%lu", removed,
        static_cast<unsigned long>(files.usedBytes()));
}

bool DiskCachePruner::pruneOne(const SegmentCandidate& candidate) {
  SegmentFiles& files = *cache_.files_;
  if (!files.exists(candidate.key)) return false;  // deleted since the listing
  AreaKind kind = candidate.area->getKind();
  if (!isPrunable(kind)) return false;  // the area became non-prunable
  if (kind == AreaKind::Share) {
    const std::string& subclient = candidate.area->rel;
    DiskCachePruneCallback callback = cache_.contexts_->callbackFor(subclient);
    if (callback) {
      std::string path = files.absPath(candidate.key);
      bool allowed = false;
      try {
        allowed = callback(subclient, path, candidate.name);
      } catch (const std::exception& e) {
        OSLOG(-1, "Error: Prune callback failed for [%s]: %s", path.c_str(), e.what());
      } catch (...) {
        OSLOG(-1, "Error: Prune callback failed for [%s]", path.c_str());
      }
      if (!allowed) {
        OSLOG(5, "Prune refused [%s]", path.c_str());
        cache_.counters_->pruneRefused.fetch_add(1);
        return false;
      }
      // The owner usually deleted the segment itself; remove what is left.
      if (files.exists(candidate.key)) cache_.removeKey(candidate.key);
      OSLOG(5, "Pruned [%s]", path.c_str());
      cache_.counters_->pruned.fetch_add(1);
      return true;
    }
    // A share's segment may be the only copy of data not backed up yet; with
    // no owner registered to ask, it stays until one is.
    OSLOG(5, "Prune refused [%s]: no owner to ask", files.absPath(candidate.key).c_str());
    cache_.counters_->pruneRefused.fetch_add(1);
    return false;
  }
  if (!cache_.removeKey(candidate.key)) return false;
  OSLOG(5, "Pruned [%s]", files.absPath(candidate.key).c_str());
  cache_.counters_->pruned.fetch_add(1);
  return true;
}

}  // namespace ObjectStore
