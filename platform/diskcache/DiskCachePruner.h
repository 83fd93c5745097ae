// DiskCachePruner: the thread that keeps the cache between its watermarks.
//
// The thread wakes every interval (and at once when a creation or a write
// pushes usage past the high watermark, or a full cache asks for room),
// forgets the files of areas that were removed behind the cache's back, and
// when usage is above the high watermark runs a pass: it lists the prunable
// segments (share and view areas; never non-prunable areas), orders them
// least recently used first ("lru") or at random ("random"), and removes them
// one by one until usage is below the low watermark:
//   - a view area's segment is removed directly: views hold only restored
//     copies of backed-up data, which the view restores again on demand;
//   - a share area's segment is offered to the owner's prune callback
//     (DiskCacheContexts::callbackFor); true removes it (unless the owner
//     already did), false keeps it for the rest of the pass. With no callback
//     anywhere the segment is removed directly.
//
// Callbacks run on the pruner thread (or pruneNow's caller) with no disk-cache
// lock held other than the pass lock, which no cache operation takes: the
// store's callback deletes the segment through this same cache. A copy of the
// callback is taken under the context lock, so unregisterContext never waits
// for a running callback (the container unregisters a store while holding the
// very lock its callback takes); callbacks must therefore not capture objects
// that die with their context (the container's callback captures the
// container).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>

#include "platform/diskcache/DiskCacheTypes.h"

namespace ObjectStore {

class DiskCache;
struct SegmentCandidate;

class DiskCachePruner {
 public:
  DiskCachePruner(DiskCache& cache, PruningMode mode, uint32_t intervalMs);
  ~DiskCachePruner();  // shutdown()
  DiskCachePruner(const DiskCachePruner&) = delete;
  DiskCachePruner& operator=(const DiskCachePruner&) = delete;

  void start();
  // Stops and joins the thread; idempotent. A pass in progress stops after
  // the segment it is working on.
  void shutdown();
  // Makes the thread check usage now.
  void wake();
  void setInterval(uint32_t milliseconds) { intervalMs_.store(milliseconds); }
  PruningMode mode() const { return mode_; }

  // Asks the thread for a pass that prunes down to the low watermark even
  // when usage is not above the high one (a creation found the cache full)
  // and waits up to timeoutMs for it to finish. False when none finished in
  // time, when the thread is not running, or when called on the pruner
  // thread itself.
  bool passAndWait(uint32_t timeoutMs);
  // One pass on the caller's thread (serialised with the thread's passes).
  // Does nothing unless usage is above the high watermark or `force` is set.
  void runPass(bool force = false);

 private:
  void loop();
  // A pass; `onThread` passes stop early when shutdown() is called.
  void pass(bool force, bool onThread);
  // Handles one candidate; true when it was removed.
  bool pruneOne(const SegmentCandidate& candidate);

  DiskCache& cache_;
  const PruningMode mode_;
  std::atomic<uint32_t> intervalMs_;
  std::atomic<bool> stopping_{false};
  // Set by wake() until the thread picks the request up: writers that keep
  // growing the cache above the high watermark don't all take mutex_.
  std::atomic<bool> wakePending_{false};

  std::mutex mutex_;  // guards the fields below; never held during a pass
  std::condition_variable cv_;
  bool stop_ = false;
  bool wakeRequested_ = false;
  bool forceRequested_ = false;
  bool passRunning_ = false;
  uint64_t passesDone_ = 0;
  std::thread thread_;
  std::thread::id threadId_;

  std::mutex passMutex_;  // one pass at a time; guards rng_; acquired before segment locks
  std::mt19937_64 rng_;
};

}  // namespace ObjectStore
