// A store's record of namespace changes in progress: removals and renames.
//
// Both change two places that can't be updated together: the index first
// (the item's deletion, or its new name), then the parents' entry lists. A
// process killed in between would leave the lists disagreeing with the index:
// a name listed for an item the index has deleted (it lists, but nothing can
// open it), or an item listed under its old name while the index knows the
// new one. So each change is written here before the index is touched and
// marked done once the entry lists follow; the next start of the store
// finishes every change left unmarked that reached the index, and undoes
// the list part of one that did not.
//
// File format, one record per line, appended with one write() each so that a
// killed process leaves whole lines (a torn last line is ignored):
//   "B <ticket> <parent guid> <object guid> <name in hex>"  a removal begins
//   "M <ticket> <object guid> <old parent guid> <new parent guid> <d|f>
//      <old name in hex> <new name in hex> <old path in hex> <new path in hex>"
//                                                          a rename begins
//                                                          (one line)
//   "E <ticket>"                                           it is complete
// Once past COMPACT_BYTES, the file is emptied at a moment when nothing is in
// flight and nothing was left for later. Records are not synced: a killed
// process loses nothing written to the file; after a power loss the index
// itself may have rolled back.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ObjectStore/Identifiers.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

class IntentLog {
 public:
  struct Removal {
    guid_t parentGuid;
    guid_t objGuid;
    std::string name;
    bool operator==(const Removal& other) const {
      return parentGuid == other.parentGuid && objGuid == other.objGuid && name == other.name;
    }
  };

  struct Move {
    guid_t objGuid;
    guid_t srcParentGuid;
    guid_t dstParentGuid;
    std::string srcName;
    std::string dstName;
    std::string srcPath;
    std::string dstPath;
    bool isDirectory = false;
    bool operator==(const Move& other) const {
      return objGuid == other.objGuid && srcParentGuid == other.srcParentGuid &&
             dstParentGuid == other.dstParentGuid && srcName == other.srcName &&
             dstName == other.dstName && srcPath == other.srcPath && dstPath == other.dstPath &&
             isDirectory == other.isDirectory;
    }
  };
  // What an earlier run began and did not mark complete, in file order.
  struct Unfinished {
    std::vector<Removal> removals;
    std::vector<Move> moves;
    bool empty() const { return removals.empty() && moves.empty(); }
  };

  // The file is emptied at the next point with nothing in flight once it
  // holds more than this many bytes.
  static constexpr uint64_t COMPACT_BYTES = 64 * 1024;

  IntentLog() = default;
  ~IntentLog();
  IntentLog(const IntentLog&) = delete;
  IntentLog& operator=(const IntentLog&) = delete;

  // Opens the file at `path` (created when missing) and returns the changes
  // an earlier run began and did not mark complete. Unreadable lines are
  // logged and skipped.
  CZnError open(const std::string& path, Unfinished& unfinished);
  // Replaces the file's records by `keep` (the unfinished changes that
  // could not be finished now), atomically. Call after open, before begin.
  CZnError rewrite(const Unfinished& keep);
  void close();
  bool isOpen() const;

  // Records a removal about to start; `ticket` names it for finish/leave.
  // Fails (and nothing should be changed) when the record can't be written.
  CZnError begin(const Removal& removal, uint64_t& ticket);
  // Likewise for a rename.
  CZnError begin(const Move& move, uint64_t& ticket);
  // The change is complete (or, for one that was left, completed later).
  // A failed mark only makes the next start check the change again, which
  // finds nothing to do.
  void finish(uint64_t ticket);
  // The change could not be completed (or, for a rename, undone) now: its
  // record stays for a later try (left(), leftMoves()) or the next start,
  // and the file is not emptied before then.
  void leave(uint64_t ticket);
  // The removals and renames left by leave() and not finished since, by
  // ticket.
  std::vector<std::pair<uint64_t, Removal>> left() const;
  std::vector<std::pair<uint64_t, Move>> leftMoves() const;
  // Whether left() or leftMoves() has anything, without taking the lock.
  bool hasLeft() const { return hasLeft_.load(std::memory_order_relaxed); }
  const std::string& path() const { return path_; }

  // Parses the lines of a file's contents (exposed for tests and fuzzing).
  static Unfinished unfinishedIn(const std::string& content, size_t& badLines);
  static std::string beginLine(uint64_t ticket, const Removal& removal);
  static std::string beginLine(uint64_t ticket, const Move& move);

 private:
  CZnError appendNoLock(const std::string& line);

  mutable std::mutex lock_;
  std::string path_;
  int fd_ = -1;
  uint64_t nextTicket_ = 1;
  uint64_t size_ = 0;
  std::map<uint64_t, Removal> inFlight_;
  std::map<uint64_t, Move> movesInFlight_;
  std::map<uint64_t, Removal> left_;
  std::map<uint64_t, Move> leftMoves_;
  std::atomic<bool> hasLeft_{false};
  // Records in the file that a later start must still see: the file may not
  // be emptied.
  bool keepFile_ = false;
};

}  // namespace ObjectStore
