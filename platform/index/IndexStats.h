// Counters of one index, the index library's process-wide performance
// counters, and the fault injection that tests of other components use.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/index/index_iface.h"

namespace ObjectStore {

enum class IndexCounter {
  Adds,
  Updates,
  Deletes,
  Renames,
  FindsByGuid,
  FindsByPath,
  Browses,
  ExtentBrowses,
  Errors,
  Locations,
  Count
};

// Lock-free counters of one index_iface.
class IndexCounters {
 public:
  void add(IndexCounter counter) {
    values_[static_cast<size_t>(counter)].fetch_add(1, std::memory_order_relaxed);
  }
  uint64_t get(IndexCounter counter) const {
    return values_[static_cast<size_t>(counter)].load(std::memory_order_relaxed);
  }
  void clear();
  // Keys "index.adds", ... as documented by index_iface::get_counters.
  void fill(std::map<std::string, std::string>& out) const;

 private:
  std::array<std::atomic<uint64_t>, static_cast<size_t>(IndexCounter::Count)> values_{};
};

// The operations whose calls and time the library sums over the process.
enum class IndexPerfOp {
  Init,
  FindByGuid,
  FindByPath,
  AddItem,
  UpdateItem,
  DeleteItem,
  RenameItem,
  BrowseByGuid,
  BrowseFileExtents,
  ChangeFeed,
  SetBackupLocation,
  Flush,
  Count
};

// Adds one call and its duration to the process-wide counters of op.
class IndexPerfTimer {
 public:
  explicit IndexPerfTimer(IndexPerfOp op) : op_(op), start_(std::chrono::steady_clock::now()) {}
  ~IndexPerfTimer();
  IndexPerfTimer(const IndexPerfTimer&) = delete;
  IndexPerfTimer& operator=(const IndexPerfTimer&) = delete;

 private:
  IndexPerfOp op_;
  std::chrono::steady_clock::time_point start_;
};

// Logs every operation's calls and total microseconds under name, level 0.
void logIndexPerfCounters(const std::string& name);

// Injected failures: the n-th call of an operation (counted from when the
// fault was set) fails, once or from then on.
class IndexFaults {
 public:
  using Op = index_iface::FaultOp;
  void set(Op op, uint64_t nthCall, int errNo, bool persistent);
  void clear();
  // Counts a call of op; the errno to fail it with, or 0.
  int check(Op op);

 private:
  struct Fault {
    bool armed = false;
    uint64_t calls = 0;
    uint64_t nth = 0;
    int errNo = 0;
    bool persistent = false;
  };
  static constexpr size_t kOps = static_cast<size_t>(Op::Browse) + 1;
  std::atomic<bool> anyArmed_{false};  // keeps the unarmed path lock-free
  std::mutex mutex_;                   // guards faults_
  std::array<Fault, kOps> faults_{};
};

}  // namespace ObjectStore
