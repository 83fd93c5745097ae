// DiskCacheSpace: the cache's capacity, its three watermarks and the forced
// out-of-space state, and the decisions made from them.
//
// Usage is the bytes of all segment files (the sum of their sizes) against
// the capacity: a configured byte count (setCapacity) or else the size of
// the volume holding the cache directory. All values are atomics: the checks
// run on every creation and growth without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/support/CZnError.h"

namespace ObjectStore {

class DiskCacheSpace {
 public:
  // EINVAL unless 0 < low <= high <= 100 and 0 < third <= 100.
  static CZnError validate(int high, int low, int third);
  CZnError setWatermarks(int high, int low, int third);
  void watermarks(int& high, int& low, int& third) const;

  void setCapacity(uint64_t bytes) { configured_.store(bytes); }
  // Re-reads the volume's size (statvfs of the cache directory).
  void refreshVolume(const std::string& dir);
  // The configured capacity, else the volume's size (0 when unknown).
  uint64_t capacity() const;
  int usagePercent(uint64_t used) const;

  // used is above the high watermark: the pruner has work.
  bool aboveHigh(uint64_t used) const;
  // used is below the low watermark: a pruning pass may stop.
  bool belowLow(uint64_t used) const;
  // Non-prunable segments may occupy this many bytes (third watermark).
  bool nonPrunableFits(uint64_t nonPrunableBytes) const;
  // The cache is not full with this many bytes in it.
  bool fits(uint64_t used) const;

  void setOutOfSpace(bool value) { outOfSpace_.store(value); }
  bool outOfSpace() const { return outOfSpace_.load(); }

 private:
  // pct percent of the capacity in bytes, compared against `bytes` * 100.
  bool over(uint64_t bytes, int pct) const;

  std::atomic<int> high_{90};
  std::atomic<int> low_{80};
  std::atomic<int> third_{85};
  std::atomic<uint64_t> configured_{0};
  std::atomic<uint64_t> volume_{0};
  std::atomic<bool> outOfSpace_{false};
};

}  // namespace ObjectStore
