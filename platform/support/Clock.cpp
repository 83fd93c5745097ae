#include "platform/support/Clock.h"

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>

namespace ObjectStore {

namespace {

std::mutex g_clockMutex;
std::shared_ptr<std::function<int64_t()>> g_testClock;  // guarded by g_clockMutex
std::atomic<bool> g_hasTestClock{false};
std::atomic<int64_t> g_manualNs{0};

}  // namespace

int64_t clockNowNs() {
  if (g_hasTestClock.load(std::memory_order_acquire)) {
    std::shared_ptr<std::function<int64_t()>> clock;
    {
      std::lock_guard<std::mutex> guard(g_clockMutex);
      clock = g_testClock;
    }
    if (clock) return (*clock)();
  }
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void setClockForTesting(std::function<int64_t()> nowNs) {
  std::lock_guard<std::mutex> guard(g_clockMutex);
  if (nowNs) {
    g_testClock = std::make_shared<std::function<int64_t()>>(std::move(nowNs));
    g_hasTestClock.store(true, std::memory_order_release);
  } else {
    g_testClock.reset();
    g_hasTestClock.store(false, std::memory_order_release);
  }
}

ManualClock::ManualClock(int64_t startSec) {
  g_manualNs.store(startSec * 1000000000);
  setClockForTesting([] { return g_manualNs.load(); });
}

ManualClock::~ManualClock() { setClockForTesting(nullptr); }

void ManualClock::advanceSec(int64_t seconds) { g_manualNs.fetch_add(seconds * 1000000000); }

void ManualClock::setSec(int64_t seconds) { g_manualNs.store(seconds * 1000000000); }

int64_t ManualClock::nowNs() const { return g_manualNs.load(); }

}  // namespace ObjectStore
