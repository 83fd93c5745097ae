// Fault injection for tests: makes the N-th call of one disk-cache operation
// fail with a chosen errno, once or from then on.
//
// This is a test facility (DiskCache::setFaults). Production code never arms
// a fault; an unarmed injector costs one relaxed atomic load per operation.
//
// Where each fault strikes:
//   Create   createSegment, after the temporary file was written and synced
//            and before it is renamed into place (the crash window of creation)
//   Replace  replaceSegment, at the same point
//   Read     readSections / readAllSections, before any byte is read
//   Write    writeSections, before any byte is written
//   Sync     syncSegment, instead of the fdatasync
//   Delete   deleteSegment, before the file is removed
//   Truncate truncateSection, before the section changes
//   Move     moveToPrunable, before the rename
#pragma once

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace ObjectStore {

enum class DiskCacheOp { Create, Replace, Read, Write, Sync, Delete, Truncate, Move };
inline constexpr size_t DISK_CACHE_OP_COUNT = 8;

// One armed fault.
struct DiskCacheFaults {
  DiskCacheOp op = DiskCacheOp::Create;
  uint64_t nth = 1;         // the nth call from the moment of arming fails (1 = the next one)
  int errNo = EIO;
  bool persistent = false;  // false: fail once; true: fail that call and every later one
  // Instead of failing, the call kills the process with SIGKILL (crash
  // tests: the process stops exactly there).
  bool kill = false;
};

class DiskCacheFaultInjector {
 public:
  // Arms `fault`, replacing an earlier fault of the same operation.
  void arm(const DiskCacheFaults& fault);
  // Disarms every fault.
  void clear();
  // Counts a call of `op`; returns the errno it must fail with, or 0.
  int check(DiskCacheOp op);

 private:
  struct Slot {
    bool armed = false;
    uint64_t calls = 0;  // calls of the operation since arming
    DiskCacheFaults fault;
  };
  std::atomic<bool> anyArmed_{false};
  std::mutex mutex_;  // guards slots_
  std::array<Slot, DISK_CACHE_OP_COUNT> slots_;
};

}  // namespace ObjectStore
