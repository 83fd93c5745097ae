// HxThreadPool: a fixed set of worker threads with keyed work queues.
//
// Every worker has its own FIFO queue. doWork(key, ...) appends the item to
// the queue of worker (key mod number-of-workers), so all items given the
// same key run one after another, in the order they were submitted, on the
// same thread; items with keys that map to different workers run in
// parallel. (The backup controller relies on this: all sends of one segment
// go through one stream.)
//
//   HxThreadPool pool;
//   CZnError err = pool.initThreadPool("backup", 60, 0, 3, 3);
//   err = pool.doWork(key, &sendOne, args, nullptr);
//   ...
//   pool.shutdown();   // runs everything already queued, then joins
//
// Every member may be called from any thread, except that shutdown() (and
// destroying the pool) must not be called from inside a work item.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/support/CZnError.h"
#include "platform/support/HXThread.h"

namespace ObjectStore {

class HxThreadPool {
 public:
  using WorkFunction = void (*)(void*);

  HxThreadPool() = default;
  // Shuts the pool down (see shutdown()).
  ~HxThreadPool();
  HxThreadPool(const HxThreadPool&) = delete;
  HxThreadPool& operator=(const HxThreadPool&) = delete;

  // Starts the workers. `name` names the worker threads (as far as the
  // system's 15-character thread names allow). `unusedA` and `unusedB` are
  // accepted for callers written against the platform's pool, whose tuning
  // values have no meaning here. Because a key must keep mapping to the same
  // worker, the pool does not grow or shrink: it starts `maxThreads` workers
  // at once; `minThreads` is only checked (0 <= minThreads <= maxThreads).
  // Fails with EINVAL for bad counts (maxThreads must be 1..1024), EBUSY when
  // the pool is already running, or the thread-creation error (no worker is
  // left running then). A pool that was shut down may be initialised again.
  CZnError initThreadPool(const std::string& name, int unusedA, int unusedB, int minThreads,
                          int maxThreads);

  // Queues fn(arg) on the worker selected by `key` (any int; negative keys
  // are reduced to 0..workers-1 as well). After fn returns, the same worker
  // calls completion(arg) when completion is not null; the item counts as
  // running until then. Fails with EINVAL for a null fn, ESHUTDOWN when the
  // pool is not running (never started, or shutting down).
  CZnError doWork(int key, WorkFunction fn, void* arg, WorkFunction completion);

  // Items queued and not started yet.
  int getReadyWorksCount() const;
  // Items queued or running: 0 means every submitted item has finished,
  // completion included.
  int getTotalWorkerListCount() const;
  // Workers running an item at this moment.
  int getCurrentBusyThreadCount() const;
  // Number of workers (0 when not running).
  int getThreadCount() const;
  // The worker that items with this key go to (-1 when not running).
  int workerForKey(int key) const;

  // Stops accepting work, lets the workers finish every item already queued,
  // and joins them. Safe to call more than once and from several threads; it
  // returns once the workers are gone. Called from a work item it logs an
  // error and returns without waiting (a worker can't join itself).
  void shutdown();

 private:
  struct Item {
    WorkFunction fn;
    void* arg;
    WorkFunction completion;
  };
  struct Worker {
    std::deque<Item> queue;  // guarded by the pool's mutex_
    std::condition_variable wake;
    HXThread thread;
  };

  void workerLoop(Worker& worker, size_t index);
  bool onWorkerThread() const;
  // Asks the workers to stop, joins them and forgets them.
  // REQUIRES: lifecycleMutex_ held.
  void stopAndJoin();

  // Serialises initThreadPool and shutdown. Acquired before mutex_; never
  // held by a worker.
  std::mutex lifecycleMutex_;
  // Acquired after lifecycleMutex_; never held while a work item runs.
  mutable std::mutex mutex_;
  // Fixed while running: built before `running_` is set, cleared only after
  // every worker has been joined.
  std::vector<std::unique_ptr<Worker>> workers_;  // guarded by mutex_
  // Written by initThreadPool only while no worker exists; read by workers.
  std::string name_;
  bool running_ = false;        // guarded by mutex_; true while accepting work
  bool stopRequested_ = false;  // guarded by mutex_
  int ready_ = 0;               // guarded by mutex_
  int busy_ = 0;                // guarded by mutex_
};

}  // namespace ObjectStore
