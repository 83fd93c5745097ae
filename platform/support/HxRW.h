// HxRW: a read/write lock, with the scoped holders HxReadLock and HxWriteLock.
//
// Many readers or one writer. The lock is a thin layer over std::shared_mutex
// and keeps its standard names (lock/unlock/try_lock and the _shared forms),
// so std::lock_guard, std::unique_lock and std::shared_lock work on it too.
//
//   HxRW storesLock;
//   {
//     HxReadLock guard(storesLock);   // shared: every store operation
//     ...
//   }
//   {
//     HxWriteLock guard(storesLock);  // exclusive: adding or removing a store
//     ...
//   }
//
// Neither mode may be taken again by a thread that already holds the lock in
// any mode (that is undefined for std::shared_mutex and can deadlock once a
// writer is waiting). Not copyable or movable.
#pragma once

#include <shared_mutex>

#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

class OS_CAPABILITY("mutex") HxRW {
 public:
  HxRW() = default;
  HxRW(const HxRW&) = delete;
  HxRW& operator=(const HxRW&) = delete;

  // Exclusive (writer) side.
  void lock() OS_ACQUIRE() { mutex_.lock(); }
  void unlock() OS_RELEASE() { mutex_.unlock(); }
  bool try_lock() OS_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  // Shared (reader) side.
  void lock_shared() OS_ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock_shared() OS_RELEASE_SHARED() { mutex_.unlock_shared(); }
  bool try_lock_shared() OS_TRY_ACQUIRE_SHARED(true) { return mutex_.try_lock_shared(); }

  // The same operations under the names the rest of the system reads best.
  void readLock() OS_ACQUIRE_SHARED() { lock_shared(); }
  void readUnlock() OS_RELEASE_SHARED() { unlock_shared(); }
  void writeLock() OS_ACQUIRE() { lock(); }
  void writeUnlock() OS_RELEASE() { unlock(); }

 private:
  std::shared_mutex mutex_;
};

// Holds an HxRW shared for its lifetime.
class OS_SCOPED_CAPABILITY HxReadLock {
 public:
  explicit HxReadLock(HxRW& rw) OS_ACQUIRE_SHARED(rw) : rw_(rw) { rw_.lock_shared(); }
  ~HxReadLock() OS_RELEASE() { rw_.unlock_shared(); }
  HxReadLock(const HxReadLock&) = delete;
  HxReadLock& operator=(const HxReadLock&) = delete;

 private:
  HxRW& rw_;
};

// Holds an HxRW exclusively for its lifetime.
class OS_SCOPED_CAPABILITY HxWriteLock {
 public:
  explicit HxWriteLock(HxRW& rw) OS_ACQUIRE(rw) : rw_(rw) { rw_.lock(); }
  ~HxWriteLock() OS_RELEASE() { rw_.unlock(); }
  HxWriteLock(const HxWriteLock&) = delete;
  HxWriteLock& operator=(const HxWriteLock&) = delete;

 private:
  HxRW& rw_;
};

}  // namespace ObjectStore
