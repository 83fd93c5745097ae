#include "platform/support/HxThreadPool.h"

#include <pthread.h>

#include <cerrno>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

constexpr int MAX_POOL_THREADS = 1024;
// Linux thread names hold 15 characters.
constexpr size_t THREAD_NAME_MAX = 15;

// The pool whose work item the calling thread is running, if any.
thread_local const HxThreadPool* t_currentPool = nullptr;

size_t reduceKey(int key, size_t workers) {
  long long n = static_cast<long long>(workers);
  long long r = static_cast<long long>(key) % n;
  return static_cast<size_t>(r < 0 ? r + n : r);
}

void nameThisThread(const std::string& poolName, size_t index) {
  std::string suffix = "-" + std::to_string(index);
  std::string base = poolName.empty() ? std::string("pool") : poolName;
  if (base.size() + suffix.size() > THREAD_NAME_MAX) base.resize(THREAD_NAME_MAX - suffix.size());
  // Only a diagnostic aid: a failure changes nothing.
  (void)pthread_setname_np(pthread_self(), (base + suffix).c_str());
}

}  // namespace

HxThreadPool::~HxThreadPool() { shutdown(); }

CZnError HxThreadPool::initThreadPool(const std::string& name, int /*unusedA*/, int /*unusedB*/,
                                      int minThreads, int maxThreads) {
  if (maxThreads < 1 || maxThreads > MAX_POOL_THREADS || minThreads < 0 ||
      minThreads > maxThreads) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad thread counts min=%d max=%d for [%s]",
                                   minThreads, maxThreads, name.c_str());
  }
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (running_ || !workers_.empty())
      return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "Thread pool [%s] already running",
                                     name_.c_str());
    name_ = name;
    stopRequested_ = false;
    ready_ = 0;
    busy_ = 0;
    for (int i = 0; i < maxThreads; ++i) workers_.push_back(std::make_unique<Worker>());
  }
  // The vector is not resized again until every worker has been joined, so
  // the workers may keep references to their own entries.
  for (int i = 0; i < maxThreads; ++i) {
    Worker* worker;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      worker = workers_[static_cast<size_t>(i)].get();
    }
    size_t index = static_cast<size_t>(i);
    CZnError err = worker->thread.start([this, worker, index] { workerLoop(*worker, index); });
    if (err.failed()) {
      stopAndJoin();
      err.Push(FX_LOC, "Can't start worker %d of thread pool [%s]", i, name.c_str());
      return err;
    }
  }
  std::lock_guard<std::mutex> guard(mutex_);
  running_ = true;
  return CZnError::Success;
}

CZnError HxThreadPool::doWork(int key, WorkFunction fn, void* arg, WorkFunction completion) {
  if (fn == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Null work function");
  Worker* worker;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!running_)
      return FXErrorUtil::ErrorErrNo(FX_LOC, ESHUTDOWN, "Thread pool [%s] is not running",
                                     name_.c_str());
    worker = workers_[reduceKey(key, workers_.size())].get();
    worker->queue.push_back(Item{fn, arg, completion});
    ++ready_;
  }
  worker->wake.notify_one();
  return CZnError::Success;
}

int HxThreadPool::getReadyWorksCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return ready_;
}

int HxThreadPool::getTotalWorkerListCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return ready_ + busy_;
}

int HxThreadPool::getCurrentBusyThreadCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return busy_;
}

int HxThreadPool::getThreadCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return running_ ? static_cast<int>(workers_.size()) : 0;
}

int HxThreadPool::workerForKey(int key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!running_) return -1;
  return static_cast<int>(reduceKey(key, workers_.size()));
}

void HxThreadPool::shutdown() {
  if (onWorkerThread()) {
    OSLOG(-1, "Error: thread pool [%s] can't be shut down from its own work item", name_.c_str());
    return;
  }
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  stopAndJoin();
}

void HxThreadPool::stopAndJoin() {
  std::vector<Worker*> workers;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    running_ = false;
    stopRequested_ = true;
    for (auto& worker : workers_) workers.push_back(worker.get());
  }
  for (Worker* worker : workers) worker->wake.notify_all();
  // Joined without mutex_: the workers need it to drain their queues.
  for (Worker* worker : workers) worker->thread.join();
  std::lock_guard<std::mutex> guard(mutex_);
  workers_.clear();
}

bool HxThreadPool::onWorkerThread() const { return t_currentPool == this; }

void HxThreadPool::workerLoop(Worker& worker, size_t index) {
  t_currentPool = this;
  nameThisThread(name_, index);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    worker.wake.wait(lock, [&] { return !worker.queue.empty() || stopRequested_; });
    // A stop request is honoured only once the queue is drained.
    if (worker.queue.empty()) break;
    Item item = worker.queue.front();
    worker.queue.pop_front();
    // Moving from ready to busy in one step keeps ready + busy exact.
    --ready_;
    ++busy_;
    lock.unlock();
    item.fn(item.arg);
    if (item.completion != nullptr) item.completion(item.arg);
    lock.lock();
    --busy_;
  }
  t_currentPool = nullptr;
}

}  // namespace ObjectStore
