// HxCriticalSection: a mutual-exclusion lock, with the scoped holder
// HxCriticalSectionGuard.
//
// A thin layer over std::mutex that also remembers which thread holds it, so
// that
//   - a function that needs the lock held can check it (assertHeld), and
//   - a thread that enters a section it already holds stops the process with
//     a message instead of hanging forever. The section is NOT recursive:
//     code that would need recursion must be restructured.
// It keeps the standard names as well (lock/unlock/try_lock), so
// std::lock_guard and std::unique_lock work on it.
//
//   HxCriticalSection queueLock;
//   {
//     HxCriticalSectionGuard guard(queueLock);
//     ...
//   }
//
// Any thread may use it; only the holder may leave it. Not copyable or movable.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/support/Export.h"
#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

class OBJSTORE_EXPORT OS_CAPABILITY("mutex") HxCriticalSection {
 public:
  HxCriticalSection() = default;
  HxCriticalSection(const HxCriticalSection&) = delete;
  HxCriticalSection& operator=(const HxCriticalSection&) = delete;

  // Blocks until the section is free. Entering a section this thread already
  // holds aborts the process (it would otherwise deadlock silently).
  void enter() OS_ACQUIRE();
  // Leaves the section; the calling thread must hold it.
  void leave() OS_RELEASE();
  // Enters without blocking; false when another thread (or this one) holds it.
  bool tryEnter() OS_TRY_ACQUIRE(true);

  // Standard Lockable names.
  void lock() OS_ACQUIRE() { enter(); }
  void unlock() OS_RELEASE() { leave(); }
  bool try_lock() OS_TRY_ACQUIRE(true) { return tryEnter(); }

  // True when the calling thread holds the section. Exact for the calling
  // thread; says nothing reliable about other threads.
  bool isHeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }
  // For functions documented "REQUIRES: the section is held": aborts with a
  // message when the calling thread does not hold it.
  void assertHeld() const OS_ASSERT_CAPABILITY(this);

 private:
  std::mutex mutex_;
  // The holder, or a default id when free. Only the holder writes its own id,
  // so a thread that reads its own id here really holds the section.
  std::atomic<std::thread::id> owner_{};
};

// Holds an HxCriticalSection for its lifetime.
class OS_SCOPED_CAPABILITY HxCriticalSectionGuard {
 public:
  explicit HxCriticalSectionGuard(HxCriticalSection& section) OS_ACQUIRE(section)
      : section_(section) {
    section_.enter();
  }
  ~HxCriticalSectionGuard() OS_RELEASE() { section_.leave(); }
  HxCriticalSectionGuard(const HxCriticalSectionGuard&) = delete;
  HxCriticalSectionGuard& operator=(const HxCriticalSectionGuard&) = delete;

 private:
  HxCriticalSection& section_;
};

}  // namespace ObjectStore
