#include "platform/support/ThrdPerfCounter.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

std::atomic<bool> g_object_store_enable_perf{false};
ThrdPerfCounter g_object_store_counter;

namespace {

constexpr const char* LABEL_ALL_FILES = "For All The Files";
// A thread that keeps starting a counter without stopping it (a missed stop
// on an error path) must not grow its stack without bound; past this depth
// the oldest start is forgotten.
constexpr size_t MAX_NESTED_STARTS = 64;

// Slot ids are unique across all counter objects of the process, so a
// thread's start stamps can never be taken for another object's counter that
// happens to reuse the memory of a destroyed one.
std::atomic<uint64_t> g_nextSlotId{1};

// Per thread: slot id -> start stamps of the open (started, not yet stopped)
// timings, innermost last.
thread_local std::unordered_map<uint64_t, std::vector<int64_t>> t_openStarts;

int64_t monotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void atomicMin(std::atomic<uint64_t>& target, uint64_t value) {
  uint64_t current = target.load(std::memory_order_relaxed);
  while (value < current &&
         !target.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
  }
}

void atomicMax(std::atomic<uint64_t>& target, uint64_t value) {
  uint64_t current = target.load(std::memory_order_relaxed);
  while (value > current &&
         !target.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
  }
}

}  // namespace

struct ThrdPerfCounter::Slot {
  const uint64_t id = g_nextSlotId.fetch_add(1, std::memory_order_relaxed);
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> totalNs{0};
  std::atomic<uint64_t> minNs{UINT64_MAX};
  std::atomic<uint64_t> maxNs{0};

  void clear() {
    count.store(0, std::memory_order_relaxed);
    totalNs.store(0, std::memory_order_relaxed);
    minNs.store(UINT64_MAX, std::memory_order_relaxed);
    maxNs.store(0, std::memory_order_relaxed);
  }
};

ThrdPerfCounter::ThrdPerfCounter(std::string name) : name_(std::move(name)) {}

ThrdPerfCounter::~ThrdPerfCounter() = default;

void ThrdPerfCounter::InitPerfCounters(const std::vector<std::string>& names) {
  for (size_t i = 0; i < names.size(); ++i) (void)findOrCreateSlot(names[i], static_cast<int>(i));
}

ThrdPerfCounter::Slot* ThrdPerfCounter::findSlot(std::string_view name, int index) const {
  std::shared_lock<std::shared_mutex> guard(slotsMutex_);
  auto it = slots_.find(KeyView{name, index});
  return it == slots_.end() ? nullptr : it->second.get();
}

ThrdPerfCounter::Slot* ThrdPerfCounter::findOrCreateSlot(std::string_view name, int index) {
  if (Slot* slot = findSlot(name, index)) return slot;
  std::unique_lock<std::shared_mutex> guard(slotsMutex_);
  auto it = slots_.find(KeyView{name, index});
  if (it == slots_.end())
    it = slots_.emplace(Key{std::string(name), index}, std::make_unique<Slot>()).first;
  return it->second.get();
}

void ThrdPerfCounter::StartPerfCounter(const char* name, int index) {
  if (!isEnabled() || name == nullptr) return;
  Slot* slot = findOrCreateSlot(name, index);
  std::vector<int64_t>& starts = t_openStarts[slot->id];
  if (starts.size() >= MAX_NESTED_STARTS) starts.erase(starts.begin());
  starts.push_back(monotonicNs());
}

void ThrdPerfCounter::StopPerfCounter(const char* name, int index, int /*unused*/) {
  if (!isEnabled() || name == nullptr) return;
  int64_t now = monotonicNs();
  Slot* slot = findSlot(name, index);
  if (slot == nullptr) return;  // never started anywhere
  auto open = t_openStarts.find(slot->id);
  if (open == t_openStarts.end()) return;  // not started on this thread
  int64_t elapsed = now - open->second.back();
  open->second.pop_back();
  if (open->second.empty()) t_openStarts.erase(open);
  uint64_t sample = elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0;
  slot->count.fetch_add(1, std::memory_order_relaxed);
  slot->totalNs.fetch_add(sample, std::memory_order_relaxed);
  atomicMin(slot->minNs, sample);
  atomicMax(slot->maxNs, sample);
  if (logOnEveryStop_.load(std::memory_order_relaxed)) LogAllPerfCounters(name_, LABEL_ALL_FILES);
}

PerfCounterSnapshot ThrdPerfCounter::snapshot(const Key& key, const Slot& slot) {
  PerfCounterSnapshot s;
  s.name = key.name;
  s.index = key.index;
  s.count = slot.count.load(std::memory_order_relaxed);
  s.totalNs = slot.totalNs.load(std::memory_order_relaxed);
  uint64_t minNs = slot.minNs.load(std::memory_order_relaxed);
  s.minNs = minNs == UINT64_MAX ? 0 : minNs;
  s.maxNs = slot.maxNs.load(std::memory_order_relaxed);
  return s;
}

bool ThrdPerfCounter::getCounter(const char* name, int index, PerfCounterSnapshot& out) const {
  out = PerfCounterSnapshot{};
  if (name == nullptr) return false;
  std::shared_lock<std::shared_mutex> guard(slotsMutex_);
  auto it = slots_.find(KeyView{name, index});
  if (it == slots_.end()) return false;
  out = snapshot(it->first, *it->second);
  return true;
}

std::vector<PerfCounterSnapshot> ThrdPerfCounter::getAllCounters() const {
  std::vector<PerfCounterSnapshot> all;
  std::shared_lock<std::shared_mutex> guard(slotsMutex_);
  for (const auto& [key, slot] : slots_) all.push_back(snapshot(key, *slot));
  return all;
}

void ThrdPerfCounter::LogAllPerfCounters(const std::string& name, const std::string& label) {
  if (!isEnabled()) return;
  // Snapshot first: the log writer is never called under slotsMutex_.
  for (const PerfCounterSnapshot& s : getAllCounters()) {
    if (s.count == 0) continue;
    OSLOG(0, "%s %s: [%d] %s count=%llu total_us=%llu avg_us=%llu min_us=%llu max_us=%llu",
          name.c_str(), label.c_str(), s.index, s.name.c_str(),
          static_cast<unsigned long long>(s.count),
          static_cast<unsigned long long>(s.totalNs / 1000),
          static_cast<unsigned long long>(s.totalNs / s.count / 1000),
          static_cast<unsigned long long>(s.minNs / 1000),
          static_cast<unsigned long long>(s.maxNs / 1000));
  }
}

void ThrdPerfCounter::clearPerfCounters() {
  std::shared_lock<std::shared_mutex> guard(slotsMutex_);
  for (auto& entry : slots_) entry.second->clear();
}

TimeFunction::TimeFunction(const char* name, int index)
    : name_(name),
      index_(index),
      started_(g_object_store_enable_perf.load(std::memory_order_relaxed)) {
  if (started_) g_object_store_counter.StartPerfCounter(name_, index_);
}

TimeFunction::~TimeFunction() {
  if (started_) g_object_store_counter.StopPerfCounter(name_, index_, 0);
}

}  // namespace ObjectStore
