#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "platform/support/HxEvent.h"
#include "platform/support/HxThreadPool.h"
#include "support/SupportTestUtil.h"

namespace ObjectStore {
namespace {

using test::waitFor;

class HxThreadPoolTest : public test::TestEnv {};

// One record per executed item.
struct ExecutedItem {
  int key;
  int seq;
  std::thread::id thread;
};

struct Journal {
  std::mutex mutex;
  std::vector<ExecutedItem> runs;
};

struct OrderedItem {
  Journal* journal;
  int key;
  int seq;
};

void recordRun(void* arg) {
  auto* item = static_cast<OrderedItem*>(arg);
  std::lock_guard<std::mutex> guard(item->journal->mutex);
  item->journal->runs.push_back(ExecutedItem{item->key, item->seq, std::this_thread::get_id()});
}

// An item that blocks until its gate opens.
struct GatedItem {
  HxEvent* gate;
  std::atomic<int>* started;
  std::atomic<int>* finished;
};

void gatedWork(void* arg) {
  auto* item = static_cast<GatedItem*>(arg);
  ++*item->started;
  // Bounded, so that a broken test can't hang forever.
  (void)item->gate->wait(30000);
  item->gate->set();  // pass the opening on to the next gated item
  ++*item->finished;
}

void countOne(void* arg) { ++*static_cast<std::atomic<int>*>(arg); }

TEST_F(HxThreadPoolTest, RejectsBadThreadCounts) {
  HxThreadPool pool;
  EXPECT_EQ(pool.initThreadPool("p", 60, 0, 0, 0).errNo(), EINVAL);
  EXPECT_EQ(pool.initThreadPool("p", 60, 0, -1, 2).errNo(), EINVAL);
  EXPECT_EQ(pool.initThreadPool("p", 60, 0, 3, 2).errNo(), EINVAL);
  EXPECT_EQ(pool.initThreadPool("p", 60, 0, 1, 100000).errNo(), EINVAL);
  EXPECT_EQ(pool.getThreadCount(), 0);
}

TEST_F(HxThreadPoolTest, StartsMaxThreadsWorkers) {
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("p", 60, 0, 1, 3).ok());
  EXPECT_EQ(pool.getThreadCount(), 3);
  EXPECT_EQ(pool.initThreadPool("p", 60, 0, 1, 3).errNo(), EBUSY);
}

TEST_F(HxThreadPoolTest, RefusesWorkWhenNotRunning) {
  HxThreadPool pool;
  std::atomic<int> ran{0};
  EXPECT_EQ(pool.doWork(0, &countOne, &ran, nullptr).errNo(), ESHUTDOWN);
  ASSERT_TRUE(pool.initThreadPool("p", 60, 0, 2, 2).ok());
  EXPECT_EQ(pool.doWork(0, nullptr, &ran, nullptr).errNo(), EINVAL);
  pool.shutdown();
  EXPECT_EQ(pool.doWork(0, &countOne, &ran, nullptr).errNo(), ESHUTDOWN);
  EXPECT_EQ(ran.load(), 0);
}

TEST_F(HxThreadPoolTest, KeysMapToWorkersModuloTheirNumber) {
  HxThreadPool pool;
  EXPECT_EQ(pool.workerForKey(5), -1);
  ASSERT_TRUE(pool.initThreadPool("p", 60, 0, 3, 3).ok());
  EXPECT_EQ(pool.workerForKey(0), 0);
  EXPECT_EQ(pool.workerForKey(4), 1);
  EXPECT_EQ(pool.workerForKey(5), 2);
  // Negative keys (an "unknown stream" of -1) still land on a worker.
  EXPECT_EQ(pool.workerForKey(-1), 2);
  EXPECT_EQ(pool.workerForKey(INT32_MIN), ((INT32_MIN % 3) + 3) % 3);
  std::atomic<int> ran{0};
  ASSERT_TRUE(pool.doWork(-1, &countOne, &ran, nullptr).ok());
  pool.shutdown();
  EXPECT_EQ(ran.load(), 1);
}

TEST_F(HxThreadPoolTest, SameKeyRunsInOrderOnOneWorker) {
  constexpr int WORKERS = 3;
  constexpr int KEYS = 7;
  constexpr int PER_KEY = 1500;
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("order", 60, 0, WORKERS, WORKERS).ok());
  Journal journal;
  std::vector<OrderedItem> items;
  items.reserve(KEYS * PER_KEY);
  // Interleave the keys so that each worker queue mixes several of them.
  for (int seq = 0; seq < PER_KEY; ++seq)
    for (int key = 0; key < KEYS; ++key) items.push_back(OrderedItem{&journal, key, seq});
  for (auto& item : items) ASSERT_TRUE(pool.doWork(item.key, &recordRun, &item, nullptr).ok());
  pool.shutdown();

  ASSERT_EQ(journal.runs.size(), items.size());
  std::map<int, int> nextSeq;
  std::map<int, std::thread::id> threadOfKey;
  std::map<int, std::thread::id> threadOfWorker;
  for (const ExecutedItem& run : journal.runs) {
    EXPECT_EQ(run.seq, nextSeq[run.key]) << "key " << run.key;
    nextSeq[run.key] = run.seq + 1;
    auto [it, inserted] = threadOfKey.emplace(run.key, run.thread);
    EXPECT_EQ(it->second, run.thread) << "key " << run.key << " moved to another thread";
    // Keys that share a worker share its thread.
    auto [wit, winserted] = threadOfWorker.emplace(run.key % WORKERS, run.thread);
    EXPECT_EQ(wit->second, run.thread);
  }
  for (int key = 0; key < KEYS; ++key) EXPECT_EQ(nextSeq[key], PER_KEY);
  std::set<std::thread::id> distinct;
  for (const auto& entry : threadOfWorker) distinct.insert(entry.second);
  EXPECT_EQ(distinct.size(), static_cast<size_t>(WORKERS));
}

TEST_F(HxThreadPoolTest, DifferentWorkersRunInParallel) {
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("par", 60, 0, 2, 2).ok());
  HxEvent firstStarted(false);
  HxEvent secondRan(false);
  struct Pair {
    HxEvent* firstStarted;
    HxEvent* secondRan;
    std::atomic<bool> sawSecond{false};
  } pair{&firstStarted, &secondRan};
  // Key 0 waits for key 1's item: only possible if they run at once.
  ASSERT_TRUE(pool.doWork(
                      0,
                      [](void* arg) {
                        auto* p = static_cast<Pair*>(arg);
                        p->firstStarted->set();
                        p->sawSecond = p->secondRan->wait(30000);
                      },
                      &pair, nullptr)
                  .ok());
  ASSERT_TRUE(firstStarted.wait(30000));
  ASSERT_TRUE(
      pool.doWork(
              1, [](void* arg) { static_cast<Pair*>(arg)->secondRan->set(); }, &pair, nullptr)
          .ok());
  pool.shutdown();
  EXPECT_TRUE(pair.sawSecond.load());
}

TEST_F(HxThreadPoolTest, CountsQueuedRunningAndBusyWork) {
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("count", 60, 0, 2, 2).ok());
  EXPECT_EQ(pool.getReadyWorksCount(), 0);
  EXPECT_EQ(pool.getTotalWorkerListCount(), 0);
  EXPECT_EQ(pool.getCurrentBusyThreadCount(), 0);

  HxEvent gate(false);
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  GatedItem item{&gate, &started, &finished};
  // Worker 0 gets four items, worker 1 one; the first of each blocks.
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.doWork(0, &gatedWork, &item, nullptr).ok());
  ASSERT_TRUE(pool.doWork(1, &gatedWork, &item, nullptr).ok());

  ASSERT_TRUE(waitFor([&] { return started.load() == 2; }));
  EXPECT_EQ(pool.getCurrentBusyThreadCount(), 2);
  EXPECT_EQ(pool.getReadyWorksCount(), 3);
  EXPECT_EQ(pool.getTotalWorkerListCount(), 5);

  gate.set();
  ASSERT_TRUE(waitFor([&] { return pool.getTotalWorkerListCount() == 0; }));
  EXPECT_EQ(finished.load(), 5);
  EXPECT_EQ(pool.getReadyWorksCount(), 0);
  EXPECT_EQ(pool.getCurrentBusyThreadCount(), 0);
}

struct CompletionProbe {
  std::atomic<int> work{0};
  std::atomic<int> completions{0};
  std::atomic<int> outOfOrder{0};
  std::atomic<int> wrongThread{0};
};

struct CompletionItem {
  CompletionProbe* probe;
  bool workDone = false;
  std::thread::id workThread;
};

void completionWork(void* arg) {
  auto* item = static_cast<CompletionItem*>(arg);
  item->workDone = true;
  item->workThread = std::this_thread::get_id();
  ++item->probe->work;
}

void completionDone(void* arg) {
  auto* item = static_cast<CompletionItem*>(arg);
  if (!item->workDone) ++item->probe->outOfOrder;
  if (item->workThread != std::this_thread::get_id()) ++item->probe->wrongThread;
  ++item->probe->completions;
}

TEST_F(HxThreadPoolTest, CompletionRunsAfterTheWorkOnTheSameWorker) {
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("done", 60, 0, 3, 3).ok());
  CompletionProbe probe;
  std::vector<CompletionItem> items(300, CompletionItem{&probe});
  for (size_t i = 0; i < items.size(); ++i)
    ASSERT_TRUE(pool.doWork(static_cast<int>(i), &completionWork, &items[i], &completionDone).ok());
  // Total reaching 0 means every completion has run as well.
  ASSERT_TRUE(waitFor([&] { return pool.getTotalWorkerListCount() == 0; }));
  EXPECT_EQ(probe.work.load(), 300);
  EXPECT_EQ(probe.completions.load(), 300);
  EXPECT_EQ(probe.outOfOrder.load(), 0);
  EXPECT_EQ(probe.wrongThread.load(), 0);
}

TEST_F(HxThreadPoolTest, ShutdownRunsEverythingQueued) {
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("drain", 60, 0, 2, 2).ok());
  HxEvent gate(false);
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  GatedItem item{&gate, &started, &finished};
  ASSERT_TRUE(pool.doWork(0, &gatedWork, &item, nullptr).ok());
  std::atomic<int> ran{0};
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(pool.doWork(i, &countOne, &ran, nullptr).ok());

  std::atomic<bool> shutDown{false};
  std::thread closer([&] {
    pool.shutdown();
    shutDown = true;
  });
  // Once shutdown has begun new work is refused (what was accepted before
  // that is counted), but the queued work still runs.
  std::atomic<int> late{0};
  int lateAccepted = 0;
  EXPECT_TRUE(waitFor([&] {
    if (pool.doWork(1, &countOne, &late, nullptr).failed()) return true;
    ++lateAccepted;
    return false;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(shutDown.load());  // still draining: the gated item blocks
  gate.set();
  closer.join();
  EXPECT_EQ(finished.load(), 1);
  EXPECT_EQ(ran.load(), 500);
  EXPECT_EQ(late.load(), lateAccepted);
  EXPECT_EQ(pool.getTotalWorkerListCount(), 0);
  EXPECT_EQ(pool.getThreadCount(), 0);
}

TEST_F(HxThreadPoolTest, DestructorDrainsAndJoins) {
  std::atomic<int> ran{0};
  {
    HxThreadPool pool;
    ASSERT_TRUE(pool.initThreadPool("dtor", 60, 0, 2, 2).ok());
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(pool.doWork(i, &countOne, &ran, nullptr).ok());
  }
  EXPECT_EQ(ran.load(), 200);
}

TEST_F(HxThreadPoolTest, CanBeInitialisedAgainAfterShutdown) {
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("again", 60, 0, 1, 1).ok());
  pool.shutdown();
  pool.shutdown();  // a second shutdown is harmless
  ASSERT_TRUE(pool.initThreadPool("again", 60, 0, 2, 2).ok());
  EXPECT_EQ(pool.getThreadCount(), 2);
  std::atomic<int> ran{0};
  ASSERT_TRUE(pool.doWork(3, &countOne, &ran, nullptr).ok());
  pool.shutdown();
  EXPECT_EQ(ran.load(), 1);
}

TEST_F(HxThreadPoolTest, ShutdownFromAWorkItemIsRefused) {
  test::LogCapture capture(-1);
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("self", 60, 0, 1, 1).ok());
  std::atomic<bool> returned{false};
  struct Ctx {
    HxThreadPool* pool;
    std::atomic<bool>* returned;
  } ctx{&pool, &returned};
  ASSERT_TRUE(pool.doWork(
                      0,
                      [](void* arg) {
                        auto* c = static_cast<Ctx*>(arg);
                        c->pool->shutdown();  // would deadlock if it joined
                        *c->returned = true;
                      },
                      &ctx, nullptr)
                  .ok());
  EXPECT_TRUE(waitFor([&] { return returned.load(); }));
  // The pool is still running.
  std::atomic<int> ran{0};
  EXPECT_TRUE(pool.doWork(0, &countOne, &ran, nullptr).ok());
  pool.shutdown();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(
      capture.count("Error: thread pool [self] can't be shut down from its own work item", -1), 1u)
      << capture.dump();
}

TEST_F(HxThreadPoolTest, SubmittersOnManyThreadsKeepPerKeyOrder) {
  // Each submitter owns one key; its items must run in its submission order.
  constexpr int SUBMITTERS = 4;
  constexpr int PER_SUBMITTER = 2000;
  HxThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("multi", 60, 0, 3, 3).ok());
  Journal journal;
  std::vector<std::vector<OrderedItem>> items(SUBMITTERS);
  for (int s = 0; s < SUBMITTERS; ++s)
    for (int i = 0; i < PER_SUBMITTER; ++i) items[s].push_back(OrderedItem{&journal, s, i});
  std::vector<std::thread> submitters;
  std::atomic<int> failures{0};
  for (int s = 0; s < SUBMITTERS; ++s) {
    submitters.emplace_back([&, s] {
      for (auto& item : items[s])
        if (pool.doWork(s, &recordRun, &item, nullptr).failed()) ++failures;
    });
  }
  for (auto& t : submitters) t.join();
  pool.shutdown();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(journal.runs.size(), static_cast<size_t>(SUBMITTERS * PER_SUBMITTER));
  std::map<int, int> nextSeq;
  for (const ExecutedItem& run : journal.runs) {
    EXPECT_EQ(run.seq, nextSeq[run.key]);
    nextSeq[run.key] = run.seq + 1;
  }
}

}  // namespace
}  // namespace ObjectStore
