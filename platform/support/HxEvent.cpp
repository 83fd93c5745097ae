#include "platform/support/HxEvent.h"

#include <chrono>

namespace ObjectStore {

void HxEvent::set() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = true;
  }
  // Auto-reset: one signal can satisfy one waiter, so waking more would only
  // make the others go back to sleep.
  cond_.notify_one();
}

void HxEvent::reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  signalled_ = false;
}

bool HxEvent::wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto signalled = [this] { return signalled_; };
  if (timeoutMs == HX_INFINITE) {
    cond_.wait(lock, signalled);
  } else {
    // The deadline is fixed once; the predicate form re-waits after a
    // spurious wake-up until the deadline really passes.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!cond_.wait_until(lock, deadline, signalled)) return false;
  }
  signalled_ = false;
  return true;
}

bool HxEvent::isSet() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return signalled_;
}

}  // namespace ObjectStore
