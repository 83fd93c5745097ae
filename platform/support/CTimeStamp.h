// CTimeStamp: a point in wall-clock time, in seconds and nanoseconds.
//
// Time is read from clockNowNs() (Clock.h), so tests that install a manual
// clock control every stamp. Use it for times that are stored or compared
// with stored times (version times, "last fetched" times); use
// std::chrono::steady_clock for measuring intervals.
#pragma once

#include <compare>
#include <cstdint>

namespace ObjectStore {

class CTimeStamp {
 public:
  static constexpr int64_t NS_PER_SEC = 1000000000;

  // The current time.
  CTimeStamp();
  // A given time, in nanoseconds since the epoch.
  explicit CTimeStamp(int64_t nsSinceEpoch) : ns_(nsSinceEpoch) {}

  static CTimeStamp now() { return CTimeStamp(); }
  // The current time in nanoseconds / whole seconds since the epoch.
  static int64_t nowNs();
  static int64_t nowSec();

  // Whole seconds (rounded towards minus infinity, so that nanoseconds() is
  // always 0..999999999, also before the epoch).
  int64_t seconds() const;
  int64_t nanoseconds() const;
  int64_t totalNs() const { return ns_; }

  // Nanoseconds from `earlier` to this stamp (negative if `earlier` is later).
  int64_t nsSince(const CTimeStamp& earlier) const { return ns_ - earlier.ns_; }

  auto operator<=>(const CTimeStamp&) const = default;

 private:
  int64_t ns_;
};

}  // namespace ObjectStore
