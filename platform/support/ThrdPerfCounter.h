// ThrdPerfCounter: per-thread timing of operations, aggregated per counter.
//
// A counter is named by (name, index); the system registers its table of
// counter names once (InitPerfCounters: name i gets index i) and then times
// each operation between StartPerfCounter and StopPerfCounter on the same
// thread. The start stamp is kept per thread, so any number of threads can
// time the same counter at once, and nested timing of one counter on one
// thread (an operation that calls itself) pairs each stop with the latest
// start. Each stop adds one sample to the counter's count, total, minimum and
// maximum, all lock-free atomics. Intervals are measured on the monotonic
// clock.
//
// The object can be disabled (setEnabled(false)): then start, stop and log do
// nothing. Independently, the process-wide switch g_object_store_enable_perf
// (off by default) gates the OBJECT_STORE_* macros and TimeFunction, so that
// untimed builds of the system pay one relaxed load per operation.
//
//   OBJECT_STORE_START_PERF_COUNTER("write", 10);
//   ...
//   OBJECT_STORE_STOP_PERF_COUNTER("write", 10);
//
//   { TimeFunction timer("getattr", 16); ... }   // scoped form
//
// Thread-safe. clearPerfCounters() racing with stops may leave a counter with
// a sample it cleared half of; that is accepted for a diagnostic counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ObjectStore {

// One counter's figures at one moment. Times in nanoseconds.
struct PerfCounterSnapshot {
  std::string name;
  int index = 0;
  uint64_t count = 0;
  uint64_t totalNs = 0;
  uint64_t minNs = 0;  // 0 when count is 0
  uint64_t maxNs = 0;
};

class ThrdPerfCounter {
 public:
  // `name` is the name under which setLogOnEveryStop logs.
  explicit ThrdPerfCounter(std::string name = "ObjectStore");
  ~ThrdPerfCounter();
  ThrdPerfCounter(const ThrdPerfCounter&) = delete;
  ThrdPerfCounter& operator=(const ThrdPerfCounter&) = delete;

  // Registers names[i] under index i, so that the counters are known (and
  // logged in table order) before their first use. Counters not registered
  // are created on first use. Registering again keeps existing figures.
  void InitPerfCounters(const std::vector<std::string>& names);

  void StartPerfCounter(const char* name, int index);
  // The third value is accepted for existing callers and not used. A stop
  // without a matching start on this thread is ignored.
  void StopPerfCounter(const char* name, int index, int unused);

  // Logs one line at level 0 for each counter with at least one sample:
  //   "<name> <label>: [<index>] <counter> count=N total_us=T avg_us=A min_us=M max_us=X"
  void LogAllPerfCounters(const std::string& name, const std::string& label);
  // Sets every counter's figures back to zero (the counters stay known).
  void clearPerfCounters();

  void setEnabled(bool enabled) { enabled_.store(enabled, std::memory_order_relaxed); }
  bool isEnabled() const { return enabled_.load(std::memory_order_relaxed); }
  // When set, every stop also logs all counters (label "For All The Files").
  void setLogOnEveryStop(bool on) { logOnEveryStop_.store(on, std::memory_order_relaxed); }

  // A counter's figures; false (and an empty snapshot) when it is unknown.
  bool getCounter(const char* name, int index, PerfCounterSnapshot& out) const;
  // Every known counter, by index then name.
  std::vector<PerfCounterSnapshot> getAllCounters() const;

 private:
  struct Slot;
  struct Key {
    std::string name;
    int index;
  };
  struct KeyLess {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      if (a.index != b.index) return a.index < b.index;
      return std::string_view(a.name) < std::string_view(b.name);
    }
  };
  struct KeyView {
    std::string_view name;
    int index;
  };

  Slot* findSlot(std::string_view name, int index) const;
  Slot* findOrCreateSlot(std::string_view name, int index);
  static PerfCounterSnapshot snapshot(const Key& key, const Slot& slot);

  const std::string name_;
  std::atomic<bool> enabled_{true};
  std::atomic<bool> logOnEveryStop_{false};
  // Guards the map's shape; slots are never removed while the object lives,
  // so a Slot* stays valid after the lock is released.
  mutable std::shared_mutex slotsMutex_;
  std::map<Key, std::unique_ptr<Slot>, KeyLess> slots_;  // guarded by slotsMutex_
};

// The process-wide switch for the macros and TimeFunction (off by default).
extern std::atomic<bool> g_object_store_enable_perf;
// The system's counter object.
extern ThrdPerfCounter g_object_store_counter;

// Times the enclosing scope under (name, index) when the switch is on at
// construction; a scope that started also stops, even if the switch is
// turned off meanwhile.
class TimeFunction {
 public:
  TimeFunction(const char* name, int index);
  ~TimeFunction();
  TimeFunction(const TimeFunction&) = delete;
  TimeFunction& operator=(const TimeFunction&) = delete;

 private:
  const char* name_;
  int index_;
  bool started_;
};

}  // namespace ObjectStore

#define OBJECT_STORE_START_PERF_COUNTER(name, index)                               \
  do {                                                                             \
    if (::ObjectStore::g_object_store_enable_perf.load(std::memory_order_relaxed)) \
      ::ObjectStore::g_object_store_counter.StartPerfCounter((name), (index));     \
  } while (0)

#define OBJECT_STORE_STOP_PERF_COUNTER(name, index)                                \
  do {                                                                             \
    if (::ObjectStore::g_object_store_enable_perf.load(std::memory_order_relaxed)) \
      ::ObjectStore::g_object_store_counter.StopPerfCounter((name), (index), 0);   \
  } while (0)

#define OBJECT_STORE_LOG_ALL_PERF_COUNTERS(name)                                             \
  do {                                                                                       \
    if (::ObjectStore::g_object_store_enable_perf.load(std::memory_order_relaxed))           \
      ::ObjectStore::g_object_store_counter.LogAllPerfCounters((name), "For All The Files"); \
  } while (0)
