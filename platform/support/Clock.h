// Wall-clock time for the whole system, with a test override.
//
// Every component that stamps or compares times (index records, version
// times, quiet periods, share-size caching) reads the clock here, so a test
// can move time forward without sleeping. Production code never sets it.
#pragma once

#include <cstdint>
#include <functional>

namespace ObjectStore {

// Nanoseconds since the epoch (CLOCK_REALTIME unless overridden).
int64_t clockNowNs();
// Seconds since the epoch.
inline int64_t clockNowSec() { return clockNowNs() / 1000000000; }

// Replaces the clock (null restores the real one). For tests only; set it
// before the threads that read it start.
void setClockForTesting(std::function<int64_t()> nowNs);

// A settable clock for tests: starts at `startSec` and moves only when told.
class ManualClock {
 public:
  explicit ManualClock(int64_t startSec);
  ~ManualClock();
  void advanceSec(int64_t seconds);
  void setSec(int64_t seconds);
  int64_t nowNs() const;
};

}  // namespace ObjectStore
