// Byte-range (fcntl) and whole-file (flock) locks for the mount, kept in the
// store's lock table through the container's lock, unlock and telllock.
//
// The store's table is simpler than POSIX: a held range is released only
// whole, an owner's overlapping ranges are refused, and a lock is never
// converted in place. POSIX asks more: a new lock replaces whatever the same
// owner held in its range (converting or splitting it), and an unlock may
// release part of a range. So the mount keeps, per inode and owner, the
// ranges it granted; a request releases the owner's ranges that overlap it,
// takes the new one (merged with the owner's ranges of the same type that
// touch it) and takes back the pieces outside it. All of that runs
// under one mutex, so no other owner can slip in between; the store's calls
// never block, so nothing waits while it is held.
//
// A waiting request (F_SETLKW, flock without LOCK_NB) tries again every
// FuseFsOptions::lockRetryInterval until it gets the lock or the caller is
// interrupted (EINTR); there is no deadlock detection. flock locks are
// whole-file locks of the open file in the same table, so on this mount a
// flock and an fcntl lock of another process on the same file conflict (as
// on NFS), unlike on a local file system.
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "platform/support/LogWriter.h"
#include "tools/objstore/FuseOps.h"

namespace ObjectStore::tool {

namespace {

// The kernel's "to the end of the file".
constexpr uint64_t LOCK_END_MAX = static_cast<uint64_t>(INT64_MAX);
// The store's type value of an exclusive lock (anything but LOCK_SHARED).
constexpr int32_t LOCK_EXCLUSIVE = 2;

bool overlaps(uint64_t aBegin, uint64_t aEnd, uint64_t bBegin, uint64_t bEnd) {
  return !(aEnd < bBegin || bEnd < aBegin);
}

// The inclusive range of an flock; EINVAL for a negative start or length.
int rangeOf(const struct flock& lock, uint64_t& begin, uint64_t& end) {
  if (lock.l_start < 0 || lock.l_len < 0) return EINVAL;
  begin = static_cast<uint64_t>(lock.l_start);
  if (lock.l_len == 0) {
    end = LOCK_END_MAX;
  } else {
    end = begin + static_cast<uint64_t>(lock.l_len) - 1;
    if (end < begin || end > LOCK_END_MAX) end = LOCK_END_MAX;
  }
  return 0;
}

}  // namespace

LockInfo FuseFs::lockInfo(uint64_t fileId, uint64_t owner, int type, uint64_t begin,
                          uint64_t end) {
  LockInfo info;
  info.fh = nullptr;
  if (auto open = file(fileId); open != nullptr) info.fh = &open->handle;
  info.type = type == F_RDLCK ? LOCK_SHARED : LOCK_EXCLUSIVE;
  info.begin = begin;
  info.end = end;
  info.owner = reinterpret_cast<void*>(static_cast<uintptr_t>(owner));
  return info;
}

int FuseFs::setLockLocked(fuse_ino_t inode, uint64_t fileId, uint64_t owner, int type,
                          uint64_t begin, uint64_t end, pid_t pid) {
  auto open = file(fileId);
  if (open == nullptr) return EBADF;
  std::lock_guard<std::mutex> handleGuard(open->mutex);
  const LockKey key{inode, owner};
  std::vector<HeldRange> held;
  if (auto it = heldLocks_.find(key); it != heldLocks_.end()) held = it->second;

  // Ranges the request touches: those overlapping it, and (for a lock) the
  // owner's ranges of the same type right next to it, which merge with it
  // as POSIX locks do.
  std::vector<HeldRange> touched;
  std::vector<HeldRange> kept;
  uint64_t mergedBegin = begin;
  uint64_t mergedEnd = end;
  for (const HeldRange& range : held) {
    const bool sameType = type != F_UNLCK && range.type == type;
    const bool adjacent = range.end + 1 == begin || (end != UINT64_MAX && end + 1 == range.begin);
    if (!overlaps(range.begin, range.end, begin, end) && !(sameType && adjacent)) {
      kept.push_back(range);
      continue;
    }
    touched.push_back(range);
    if (sameType) {
      mergedBegin = std::min(mergedBegin, range.begin);
      mergedEnd = std::max(mergedEnd, range.end);
    }
  }

  auto storeLock = [&](const HeldRange& range) {
    LockInfo request = lockInfo(fileId, owner, range.type, range.begin, range.end);
    LockInfo conflict;
    return container_.lock(index_, request, conflict);
  };
  for (const HeldRange& range : touched) {
    if (CZnError err = container_.unlock(index_, lockInfo(fileId, owner, range.type, range.begin,
                                                          range.end));
        err.failed())
      OSLOG_ERR(err);
  }
  if (type != F_UNLCK) {
    HeldRange wanted{mergedBegin, mergedEnd, type, pid, fileId};
    if (CZnError err = storeLock(wanted); err.failed()) {
      // Refused: the owner keeps exactly what it had.
      for (const HeldRange& range : touched) {
        if (CZnError again = storeLock(range); again.failed()) OSLOG_ERR(again);
      }
      if (err.errNo() == EAGAIN) return EAGAIN;
      return errnoOf(err, "lock", open->handle.name.path);
    }
    kept.push_back(wanted);
  }
  // What the owner held of another type outside the request stays held.
  // (The owner's ranges never overlap one another, so these pieces can't
  // overlap the merged range.)
  for (const HeldRange& range : touched) {
    if (type != F_UNLCK && range.type == type) continue;  // merged
    HeldRange pieces[2] = {range, range};
    pieces[0].end = begin == 0 ? 0 : begin - 1;
    pieces[1].begin = end == UINT64_MAX ? end : end + 1;
    const bool hasPiece[2] = {range.begin < begin, range.end > end};
    for (int i = 0; i < 2; ++i) {
      if (!hasPiece[i]) continue;
      pieces[i].fileId = fileId;
      if (CZnError err = storeLock(pieces[i]); err.failed()) {
        OSLOG_ERR(err);
        continue;
      }
      kept.push_back(pieces[i]);
    }
  }
  if (kept.empty())
    heldLocks_.erase(key);
  else
    heldLocks_[key] = std::move(kept);
  return 0;
}

int FuseFs::setLockWaiting(fuse_req_t req, fuse_ino_t inode, uint64_t fileId, uint64_t owner,
                           int type, uint64_t begin, uint64_t end, pid_t pid, bool wait) {
  for (;;) {
    int rc = 0;
    {
      std::lock_guard<std::mutex> guard(locksMutex_);
      rc = setLockLocked(inode, fileId, owner, type, begin, end, pid);
    }
    if (rc != EAGAIN || !wait) return rc;
    if (req != nullptr && fuse_req_interrupted(req) != 0) return EINTR;
    std::this_thread::sleep_for(options_.lockRetryInterval);
  }
}

int FuseFs::setlk(fuse_req_t req, fuse_ino_t inode, uint64_t fileId, uint64_t owner,
                  const struct flock& lock, bool wait) {
  if (lock.l_type != F_RDLCK && lock.l_type != F_WRLCK && lock.l_type != F_UNLCK) return EINVAL;
  uint64_t begin = 0;
  uint64_t end = 0;
  if (int rc = rangeOf(lock, begin, end); rc != 0) return rc;
  return setLockWaiting(req, inode, fileId, owner, lock.l_type, begin, end, lock.l_pid, wait);
}

int FuseFs::flock(fuse_req_t req, fuse_ino_t inode, uint64_t fileId, uint64_t owner, int op) {
  int type = F_UNLCK;
  switch (op & ~LOCK_NB) {
    case LOCK_SH:
      type = F_RDLCK;
      break;
    case LOCK_EX:
      type = F_WRLCK;
      break;
    case LOCK_UN:
      type = F_UNLCK;
      break;
    default:
      return EINVAL;
  }
  const pid_t pid = req != nullptr ? fuse_req_ctx(req)->pid : 0;
  const int rc = setLockWaiting(req, inode, fileId, owner, type, 0, LOCK_END_MAX, pid,
                                (op & LOCK_NB) == 0);
  return rc == EAGAIN ? EWOULDBLOCK : rc;
}

int FuseFs::getlk(fuse_ino_t inode, uint64_t fileId, uint64_t owner, struct flock& lock) {
  if (lock.l_type != F_RDLCK && lock.l_type != F_WRLCK) return EINVAL;
  uint64_t begin = 0;
  uint64_t end = 0;
  if (int rc = rangeOf(lock, begin, end); rc != 0) return rc;
  auto open = file(fileId);
  if (open == nullptr) return EBADF;
  const int wanted = lock.l_type;

  std::lock_guard<std::mutex> guard(locksMutex_);
  bool locked = false;
  {
    std::lock_guard<std::mutex> handleGuard(open->mutex);
    LockInfo request = lockInfo(fileId, owner, wanted, begin, end);
    if (CZnError err = container_.telllock(index_, request, locked); err.failed())
      return errnoOf(err, "telllock", open->handle.name.path);
  }
  lock.l_whence = SEEK_SET;
  if (locked) {
    // The store says what is locked; the owner's own locks never conflict
    // with its request, and the table here says whose the others are.
    for (const auto& [key, ranges] : heldLocks_) {
      if (key.first != inode || key.second == owner) continue;
      for (const HeldRange& range : ranges) {
        if (!overlaps(range.begin, range.end, begin, end)) continue;
        if (range.type == F_RDLCK && wanted == F_RDLCK) continue;
        lock.l_type = static_cast<short>(range.type);
        lock.l_start = static_cast<off_t>(range.begin);
        lock.l_len = range.end >= LOCK_END_MAX ? 0 : static_cast<off_t>(range.end - range.begin + 1);
        lock.l_pid = range.pid;
        return 0;
      }
    }
  }
  lock.l_type = F_UNLCK;
  return 0;
}

void FuseFs::dropLocksOf(uint64_t fileId) {
  // The store drops a handle's locks when the handle closes; this forgets
  // them here.
  std::lock_guard<std::mutex> guard(locksMutex_);
  for (auto it = heldLocks_.begin(); it != heldLocks_.end();) {
    auto& ranges = it->second;
    std::erase_if(ranges, [fileId](const HeldRange& range) { return range.fileId == fileId; });
    it = ranges.empty() ? heldLocks_.erase(it) : std::next(it);
  }
}

}  // namespace ObjectStore::tool
