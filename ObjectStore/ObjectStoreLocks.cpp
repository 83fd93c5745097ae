// Advisory byte-range locks of open items. They live in memory only, in the
// lock table of the item's open record, guarded by the item lock; nothing
// here ever waits for a conflicting lock to go away.
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"

namespace ObjectStore {

namespace {

// Both ranges are inclusive at both ends.
bool rangesOverlap(const LockInfo& a, const LockInfo& b) {
  return !(a.end < b.begin || b.end < a.begin);
}

bool isShared(const LockInfo& lock) { return lock.type == LOCK_SHARED; }

CZnError nullRequest() {
  OSLOG(-1, "Error: lock nullptr");
  return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "lock nullptr");
}

// A lock request through a handle that is not open has no table to go to.
CZnError handleNotOpen(const FileHandle& fh) {
  OSLOG(-1, "Error: lock on a handle that is not open [%s]", fh.name.objGuid.c_str());
  return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "lock on a handle that is not open [%s]",
                                 fh.name.objGuid.c_str());
}

}  // namespace

CZnError ObjectStore::validateLock(const LockInfo& request, LockInfo& conflict) {
  OpenFileInfo& info = *request.fh->info;
  info.lock.assertHeld();
  auto [first, last] = info.locks.get<as_owner>().equal_range(request.owner);
  for (auto it = first; it != last; ++it) {
    const LockInfo& held = *it;
    const bool sameRange = held.begin == request.begin && held.end == request.end;
    const bool sameType = isShared(held) == isShared(request);
    if (sameRange && sameType) {
      OSLOG(5, "duplicate write lock");
      return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "duplicate lock");
    }
    if (sameRange) {
      // A held lock is never upgraded or downgraded in place.
      conflict = held;
      return FXErrorUtil::ErrorErrNo(FX_LOC, EOPNOTSUPP, "can't promote locks");
    }
    // Ranges of one owner and type are never split, extended or merged, so
    // any overlap with a held one is refused, including a request that
    // encloses it.
    if (sameType && rangesOverlap(held, request)) {
      conflict = held;
      return FXErrorUtil::ErrorErrNo(FX_LOC, ERANGE, "subranges not supported");
    }
  }
  return CZnError::Success;
}

bool ObjectStore::isRangeLocked(const LockInfo& request, LockInfo& conflict) {
  OpenFileInfo& info = *request.fh->info;
  info.lock.assertHeld();
  for (const LockInfo& held : info.locks.get<as_fh>()) {
    if (isShared(held) && isShared(request)) continue;
    if (!rangesOverlap(held, request)) continue;
    OSLOG(5, "lock failed type=[%d] begin=[%lu] end=[%lu] owner=[%p]", held.type,
          static_cast<unsigned long>(held.begin), static_cast<unsigned long>(held.end), held.owner);
    conflict = held;
    return true;
  }
  return false;
}

CZnError ObjectStore::lock(const LockInfo& request, LockInfo& conflict) {
  if (request.fh == nullptr) return nullRequest();
  OSLOG(4, "[%s] lock [%s] type=[%d] begin=[%lu] end=[%lu] owner=[%p] fh=[%p]", rootName_.c_str(),
        request.fh->name.objGuid.c_str(), request.type, static_cast<unsigned long>(request.begin),
        static_cast<unsigned long>(request.end), request.owner, static_cast<void*>(request.fh));
  TimeFunction timer("lock", PERF_LOCK);
  if (request.fh->info == nullptr) return handleNotOpen(*request.fh);

  OpenFileInfo& info = *request.fh->info;
  HxCriticalSectionGuard itemLock(info.lock);
  if (CZnError err = validateLock(request, conflict); !err.ok()) {
    if (err.errNo() == EEXIST) {
      // Taking a lock one already holds is not an error for the caller.
      OSLOG(4, "duplicate lock");
      return CZnError::Success;
    }
    err.Push(FX_LOC, "can't lock [%s] type=[%d] begin=[%lu] end=[%lu] owner=[%p]",
             request.fh->name.objGuid.c_str(), request.type,
             static_cast<unsigned long>(request.begin), static_cast<unsigned long>(request.end),
             request.owner);
    return err;
  }
  if (isRangeLocked(request, conflict)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EAGAIN, "range [%lu %lu] of [%s] is locked",
                                   static_cast<unsigned long>(request.begin),
                                   static_cast<unsigned long>(request.end),
                                   request.fh->name.objGuid.c_str());
  }
  info.locks.insert(request);
  return CZnError::Success;
}

CZnError ObjectStore::unlock(const LockInfo& request) {
  if (request.fh == nullptr) return nullRequest();
  OSLOG(4, "[%s] unlock [%s] begin=[%lu] end=[%lu] owner=[%p]", rootName_.c_str(),
        request.fh->name.objGuid.c_str(), static_cast<unsigned long>(request.begin),
        static_cast<unsigned long>(request.end), request.owner);
  if (request.fh->info == nullptr) return handleNotOpen(*request.fh);

  OpenFileInfo& info = *request.fh->info;
  HxCriticalSectionGuard itemLock(info.lock);
  auto& byOwner = info.locks.get<as_owner>();
  auto [first, last] = byOwner.equal_range(request.owner);
  if (request.begin == 0 && request.end == 0) {
    byOwner.erase(first, last);
    return CZnError::Success;
  }
  // Only a whole held range can be released; the type is not compared. An
  // owner that holds nothing gets the same answer as one that holds other
  // ranges.
  for (auto it = first; it != last; ++it) {
    if (it->begin == request.begin && it->end == request.end) {
      byOwner.erase(it);
      return CZnError::Success;
    }
  }
  OSLOG(-1, "Error: can't find lock [%s] begin=[%lu] end=[%lu] owner=[%p]",
        request.fh->name.objGuid.c_str(), static_cast<unsigned long>(request.begin),
        static_cast<unsigned long>(request.end), request.owner);
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "can't find lock [%s] begin=[%lu] end=[%lu]",
                                 request.fh->name.objGuid.c_str(),
                                 static_cast<unsigned long>(request.begin),
                                 static_cast<unsigned long>(request.end));
}

CZnError ObjectStore::telllock(const LockInfo& request, bool& locked) {
  if (request.fh == nullptr) return nullRequest();
  OSLOG(4, "[%s] telllock [%s] type=[%d] begin=[%lu] end=[%lu] owner=[%p]", rootName_.c_str(),
        request.fh->name.objGuid.c_str(), request.type, static_cast<unsigned long>(request.begin),
        static_cast<unsigned long>(request.end), request.owner);
  if (request.fh->info == nullptr) return handleNotOpen(*request.fh);

  HxCriticalSectionGuard itemLock(request.fh->info->lock);
  LockInfo scratch;
  scratch.fh = nullptr;
  scratch.type = 2;
  scratch.begin = 0;
  scratch.end = UINT64_MAX;
  scratch.owner = nullptr;
  locked = isRangeLocked(request, scratch);
  return CZnError::Success;
}

CZnError ObjectStore::clearAllLocksWithFh(FileHandle& fh) {
  if (fh.info == nullptr) return CZnError::Success;
  OpenFileInfo& info = *fh.info;
  // close calls this with the item lock already held; the lock is not
  // recursive, so it is taken only when this thread does not hold it.
  std::unique_lock<HxCriticalSection> itemLock(info.lock, std::defer_lock);
  if (!info.lock.isHeldByCurrentThread()) itemLock.lock();
  if (info.locks.empty()) return CZnError::Success;
  OSLOG(5, "clearing locks for fh=%p [%s]", static_cast<void*>(&fh), fh.name.objGuid.c_str());
  info.locks.get<as_fh>().erase(&fh);
  return CZnError::Success;
}

}  // namespace ObjectStore
