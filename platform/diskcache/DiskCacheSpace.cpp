#include "platform/diskcache/DiskCacheSpace.h"

#include <sys/statvfs.h>

#include <cerrno>

namespace ObjectStore {

CZnError DiskCacheSpace::validate(int high, int low, int third) {
  if (low <= 0 || low > high || high > 100 || third <= 0 || third > 100)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL,
                                   "Error: Invalid watermarks high=%d low=%d third=%d", high, low,
                                   third);
  return CZnError::Success;
}

CZnError DiskCacheSpace::setWatermarks(int high, int low, int third) {
  CZnError err = validate(high, low, third);
  if (err.failed()) return err;
  high_.store(high);
  low_.store(low);
  third_.store(third);
  return CZnError::Success;
}

void DiskCacheSpace::watermarks(int& high, int& low, int& third) const {
  high = high_.load();
  low = low_.load();
  third = third_.load();
}

void DiskCacheSpace::refreshVolume(const std::string& dir) {
  struct statvfs vfs;
  if (statvfs(dir.c_str(), &vfs) == 0)
    volume_.store(static_cast<uint64_t>(vfs.f_blocks) * static_cast<uint64_t>(vfs.f_frsize));
}

uint64_t DiskCacheSpace::capacity() const {
  uint64_t configured = configured_.load();
  return configured != 0 ? configured : volume_.load();
}

int DiskCacheSpace::usagePercent(uint64_t used) const {
  uint64_t cap = capacity();
  if (cap == 0) return 0;
  return static_cast<int>(static_cast<unsigned __int128>(used) * 100 / cap);
}

bool DiskCacheSpace::over(uint64_t bytes, int pct) const {
  // Exact integer comparison of bytes / capacity against pct / 100.
  return static_cast<unsigned __int128>(bytes) * 100 >
         static_cast<unsigned __int128>(capacity()) * static_cast<unsigned>(pct);
}

bool DiskCacheSpace::aboveHigh(uint64_t used) const {
  return capacity() != 0 && over(used, high_.load());
}

bool DiskCacheSpace::belowLow(uint64_t used) const {
  return capacity() == 0 || static_cast<unsigned __int128>(used) * 100 <
                                static_cast<unsigned __int128>(capacity()) *
                                    static_cast<unsigned>(low_.load());
}

bool DiskCacheSpace::nonPrunableFits(uint64_t nonPrunableBytes) const {
  return capacity() == 0 || !over(nonPrunableBytes, third_.load());
}

bool DiskCacheSpace::fits(uint64_t used) const {
  uint64_t cap = capacity();
  return cap == 0 || used < cap;
}

}  // namespace ObjectStore
