#include "platform/index/IndexStats.h"

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

const char* const kCounterNames[] = {
    "index.adds",        "index.updates",     "index.deletes", "index.renames",
    "index.findsByGuid", "index.findsByPath", "index.browses", "index.extentBrowses",
    "index.errors",      "index.locations",
};
static_assert(sizeof(kCounterNames) / sizeof(kCounterNames[0]) ==
                  static_cast<size_t>(IndexCounter::Count),
              "one name per counter");

const char* const kPerfNames[] = {
    "init",
    "find_by_guid",
    "find_by_path",
    "add_item",
    "update_item",
    "delete_item",
    "rename_item",
    "browse_by_guid",
    "browse_file_extents",
    "get_initial_cache_items",
    "set_backup_location",
    "flush",
};
static_assert(sizeof(kPerfNames) / sizeof(kPerfNames[0]) == static_cast<size_t>(IndexPerfOp::Count),
              "one name per operation");

struct PerfCounter {
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> micros{0};
};

PerfCounter g_perf[static_cast<size_t>(IndexPerfOp::Count)];

}  // namespace

void IndexCounters::clear() {
  for (auto& value : values_) value.store(0, std::memory_order_relaxed);
}

void IndexCounters::fill(std::map<std::string, std::string>& out) const {
  for (size_t i = 0; i < values_.size(); ++i) {
    out[kCounterNames[i]] = std::to_string(values_[i].load(std::memory_order_relaxed));
  }
}

IndexPerfTimer::~IndexPerfTimer() {
  auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start_);
  PerfCounter& counter = g_perf[static_cast<size_t>(op_)];
  counter.calls.fetch_add(1, std::memory_order_relaxed);
  counter.micros.fetch_add(static_cast<uint64_t>(elapsed.count()), std::memory_order_relaxed);
}

void logIndexPerfCounters(const std::string& name) {
  OSLOG(0, "[%s] index performance counters", name.c_str());
  for (size_t i = 0; i < static_cast<size_t>(IndexPerfOp::Count); ++i) {
    uint64_t calls = g_perf[i].calls.load(std::memory_order_relaxed);
    uint64_t micros = g_perf[i].micros.load(std::memory_order_relaxed);
    OSLOG(0, "[%s] index %s: calls=%lu totalUs=%lu avgUs=%lu", name.c_str(), kPerfNames[i],
          static_cast<unsigned long>(calls), static_cast<unsigned long>(micros),
          static_cast<unsigned long>(calls == 0 ? 0 : micros / calls));
  }
}

void IndexFaults::set(Op op, uint64_t nthCall, int errNo, bool persistent) {
  std::lock_guard<std::mutex> guard(mutex_);
  Fault& fault = faults_[static_cast<size_t>(op)];
  fault = Fault();
  if (nthCall != 0 && errNo != 0) {
    fault.armed = true;
    fault.nth = nthCall;
    fault.errNo = errNo;
    fault.persistent = persistent;
  }
  bool any = false;
  for (const Fault& f : faults_) any = any || f.armed;
  anyArmed_.store(any, std::memory_order_release);
}

void IndexFaults::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  faults_.fill(Fault());
  anyArmed_.store(false, std::memory_order_release);
}

int IndexFaults::check(Op op) {
  if (!anyArmed_.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> guard(mutex_);
  Fault& fault = faults_[static_cast<size_t>(op)];
  if (!fault.armed) return 0;
  ++fault.calls;
  if (fault.calls == fault.nth || (fault.persistent && fault.calls > fault.nth)) {
    return fault.errNo;
  }
  return 0;
}

}  // namespace ObjectStore
