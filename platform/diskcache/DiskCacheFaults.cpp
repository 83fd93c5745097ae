#include "platform/diskcache/DiskCacheFaults.h"

#include <signal.h>

#include <cerrno>

namespace ObjectStore {

void DiskCacheFaultInjector::arm(const DiskCacheFaults& fault) {
  std::lock_guard<std::mutex> guard(mutex_);
  Slot& slot = slots_[static_cast<size_t>(fault.op)];
  slot.armed = true;
  slot.calls = 0;
  slot.fault = fault;
  if (slot.fault.nth == 0) slot.fault.nth = 1;
  if (slot.fault.errNo == 0) slot.fault.errNo = EIO;
  anyArmed_.store(true, std::memory_order_release);
}

void DiskCacheFaultInjector::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (Slot& slot : slots_) slot = Slot{};
  anyArmed_.store(false, std::memory_order_release);
}

int DiskCacheFaultInjector::check(DiskCacheOp op) {
  if (!anyArmed_.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> guard(mutex_);
  Slot& slot = slots_[static_cast<size_t>(op)];
  if (!slot.armed) return 0;
  ++slot.calls;
  if (slot.calls < slot.fault.nth) return 0;
  if (slot.fault.kill) raise(SIGKILL);
  int errNo = slot.fault.errNo;
  if (!slot.fault.persistent) slot.armed = false;
  return errNo;
}

}  // namespace ObjectStore
