// BackupQueue: the per-store queue of segments waiting to be backed up, with
// its crash-safe journal.
//
// Life of a segment GUID:
//   push                 -> `modified` (journal record 1), waits its quiet period
//   queue thread         -> `queuedForBackup` once head.time + timeout < now
//   popFromBackupQueue   -> handed to the controller, counted in `uncommitted`
//                           (record 2)
//   commitCallback       -> the transport committed it (record 3, plus 4 when
//                           it was committed because its segment was missing)
//   repushToBackupQueue  -> a failed send: back at the head of
//                           `queuedForBackup` (no record; the journal still
//                           shows it sent and uncommitted)
//
// Journal. Text files "journal_<sec>_<nsec>" in journalDir, one record
// "<code>,<guid>\n" per line, appended and flushed to the operating system
// after every record: a process kill never loses a record whose operation
// returned (a power loss may; the journal is not fsync'ed). Every start
// replays all files, writes the surviving state into one fresh file and
// deletes the old files (or moves them to savedJournalDir). A file is rotated
// past MAX_JOURNAL_SIZE; more than MAX_JOURNAL_ENTRIES files trigger a
// compaction. A torn last line (no newline, left by a crash) is skipped as
// unparsable.
//
// Locks: queueLock_ is the innermost lock of the store. It guards the three
// collections, their position maps and the journal stream, and is held across
// a journal write and any rotation or compaction it triggers. Nothing waits
// or sleeps while holding it.
//
// Threads: file-system threads (push), the queue thread, the controller and
// its workers (pop, repush, commit with err), the transport's commit thread
// (commitCallbackStatic), the pruner (pruneIfNotInQueue), the command thread
// (reports). Calling order: construct, initialize, any mix from any thread,
// destroy (which sends everything still queued when a job can run).
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ObjectStore/Identifiers.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/support/CZnError.h"
#include "platform/support/HXThread.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/HxEvent.h"
#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

class ObjectStore;
class BackupControllerThread;

// File name prefix of journal files.
inline constexpr const char* JOURNAL_NAME = "journal_";
// Directory (below the object-store directory) holding each share's journal.
inline constexpr const char* JOURNAL_DIR = "backupJournal";
// More journal files than this trigger a compaction.
inline constexpr int MAX_JOURNAL_ENTRIES = 5;
// A journal whose write position exceeds this is rotated (4 MiB).
inline constexpr uint64_t MAX_JOURNAL_SIZE = 4194304;

// Journal record codes.
enum EventTypes {
  EVENT_MODIFIED = 1,      // the item needs backup
  EVENT_SENT = 2,          // handed to the controller, awaits commit
  EVENT_COMMITTED = 3,     // the transport committed it
  EVENT_COMMIT_ERROR = 4,  // committed because its segment was missing
};

struct BackupQueueCounters {
  BackupQueueCounters() { clear(); }
  void clear();

  std::atomic<uint64_t> addedToModQ;
  std::atomic<uint64_t> refreshedToModQ;
  std::atomic<uint64_t> pushedToBkQ;
  std::atomic<uint64_t> poppedFromBkQ;
  std::atomic<uint64_t> removeFromUncommQ;
  std::atomic<uint64_t> repushToBkQ;
  std::atomic<uint64_t> committed;
  std::atomic<uint64_t> journalOpens;
  std::atomic<uint64_t> journalCompacts;
  std::atomic<uint64_t> itemsRecovered;
};

class BackupQueue {
 public:
  struct QueueElement {
    guid_t guid;
    int64_t time;  // seconds since the epoch of the push that created it
  };

  // Stores the references; nothing runs until initialize().
  BackupQueue(ObjectStore& store, DiskCache& diskCache);
  // When initialised: moves everything in `modified` to `queuedForBackup`,
  // destroys the controller (which sends what it can when a job is running;
  // otherwise the items stay in the journal for the next start) and joins the
  // queue thread.
  ~BackupQueue();
  BackupQueue(const BackupQueue&) = delete;
  BackupQueue& operator=(const BackupQueue&) = delete;

  // Creates the journal directories, replays the journal, compacts it into a
  // fresh file, starts the queue thread and the controller. Called once.
  // `context` must be registered with the disk cache; it is copied.
  CZnError initialize(uint64_t subclientId, uint64_t timeout, uint64_t jobIdleTimeoutMs,
                      const std::string& baseDir, DiskCacheContext& context);

  void push(const guid_t& guid);
  // The next GUID to send ("" when nothing is queued or not initialised).
  guid_t popFromBackupQueue();
  void repushToBackupQueue(const guid_t& guid);

  // Registered with the transport; `context` is the queue.
  static void commitCallbackStatic(unsigned int jobId, std::list<std::string> guids, void* context);
  void commitCallback(unsigned int jobId, std::list<std::string> guids, bool err);

  // REQUIRES: queueLock_ held. The caller updates the sizes when done.
  void removeFromUncommittedQueue(const guid_t& guid) OS_REQUIRES(queueLock_);
  bool isInQueue(const guid_t& guid);
  // REQUIRES: queueLock_ held.
  bool isInQueueNoLock(const guid_t& guid) OS_REQUIRES(queueLock_);
  // Read without the lock; a stale answer is fine for a poller.
  bool isBackupQueueEmpty() const { return queuedSize_.load() == 0; }
  bool isUncommitQueueEmpty() const { return uncommittedSize_.load() == 0; }

  std::string guid2path(const guid_t& guid);
  // Deletes the segment unless it is in a collection; true when deleted.
  bool pruneIfNotInQueue(const guid_t& guid);
  void updateParams(uint64_t timeout);
  void restartJob();
  void dumpQueues();

  // Reporting.
  void getStatus(std::map<std::string, std::string>& status, const std::string& prefix);
  void getCounters(std::map<std::string, std::string>& counters);
  void clearCounters();
  void getStatusVerGuid(std::map<std::string, std::string>& status, const guid_t& guid);
  void getGuiStats(std::vector<std::pair<std::string, std::string>>& stats);

  // Journal operations (BackupJournal.cpp). openNewJournal, compactJournal
  // and recoverFromJournal expect the queue lock to be held by the caller
  // once the queue is shared with other threads; initialize runs them
  // before any other thread exists.
  std::string getJournalPrefix() const;
  std::string getJournalName();
  CZnError openNewJournal(bool compactFirst) OS_REQUIRES(queueLock_);
  CZnError getJournalList(std::vector<std::string>& names);
  CZnError compactJournal(bool force) OS_REQUIRES(queueLock_);
  CZnError recoverFromJournal() OS_REQUIRES(queueLock_);

  const BackupQueueCounters& counters() const { return counters_; }
  const std::string& journalDir() const { return journalDir_; }
  const std::string& savedJournalDir() const { return savedJournalDir_; }
  uint64_t timeout() const { return timeout_.load(); }
  // Null until initialize created it.
  BackupControllerThread* controller() { return controller_.get(); }
  // Sizes (read without the lock).
  size_t modifiedSize() const { return modifiedSize_.load(); }
  size_t queuedSize() const { return queuedSize_.load(); }
  size_t uncommittedSize() const { return uncommittedSize_.load(); }

  // The queue lock and the controller's wake-up event (the controller waits
  // on it; the queue sets it when items arrive and on close).
  HxEvent& workEvent() { return workEvent_; }
  // True once the destructor has begun (the controller is about to be told
  // to quit).
  bool isStopping() const { return stopping_.load(); }

  // Rotation threshold for tests (0 restores MAX_JOURNAL_SIZE). Process-wide.
  static void setMaxJournalSizeForTesting(uint64_t bytes);

  // A share's journal directory: baseDir/backupJournal/<context name without
  // one leading '/'>.
  static std::string journalDirOf(const std::string& baseDir, const std::string& contextName);
  // The GUIDs that the journal files in journalDir still list as needing a
  // backup (modified, queued, or sent and not committed), replayed exactly as
  // a starting queue replays them but without a queue. For the paths that
  // delete segments while no queue of the share runs (pruning for a store
  // without a queue, the container's cleanup and its pruning of segments of
  // shares not open live): a segment named here exists nowhere else.
  // Whether the segment still exists is not checked. A missing directory
  // gives an empty set; other errors leave `pending` empty and return the
  // error (callers then keep everything). The answer is cached per directory
  // and read again whenever a journal file there changed. Thread-safe.
  static CZnError readPendingFromJournal(const std::string& journalDir, std::set<guid_t>& pending);

 private:
  using ElementList = std::list<QueueElement>;
  using PositionMap = std::unordered_map<guid_t, ElementList::iterator>;

  static void threadFunction(void* arg);
  void runQueueThread();
  // Appends one record and flushes it. REQUIRES: queueLock_ held.
  void writeRecord(int code, const guid_t& guid) OS_REQUIRES(queueLock_);
  // Rotates the journal once it has grown past the limit (errors are logged
  // by openNewJournal and otherwise ignored). REQUIRES: queueLock_ held.
  void rotateJournalIfFull() OS_REQUIRES(queueLock_);
  // Writes the current state into the (new) journal. REQUIRES: queueLock_ held.
  void writeSnapshot() OS_REQUIRES(queueLock_);
  // Removes or saves one old journal file.
  void retireJournal(const std::string& name);
  void updateSizes() OS_REQUIRES(queueLock_);
  // The store's event log line; written through the logger until the store
  // offers its own event-log entry point.
  void eventLog(const char* format, ...) __attribute__((format(printf, 2, 3)));

  ObjectStore& store_;
  DiskCache& diskCache_;
  uint64_t subclientId_ = 0;
  DiskCacheContext context_;  // copy, set by initialize
  std::atomic<uint64_t> timeout_{0};
  std::string contextName_;
  std::atomic<bool> initialized_{false};
  std::atomic<bool> stopping_{false};
  std::unique_ptr<BackupControllerThread> controller_;

  // Innermost lock of the store: acquired after every store and cache lock.
  HxCriticalSection queueLock_;
  ElementList modified_ OS_GUARDED_BY(queueLock_);
  PositionMap modifiedPos_ OS_GUARDED_BY(queueLock_);
  ElementList queuedForBackup_ OS_GUARDED_BY(queueLock_);
  PositionMap queuedPos_ OS_GUARDED_BY(queueLock_);
  std::map<guid_t, int> uncommitted_ OS_GUARDED_BY(queueLock_);
  // Copies of the three sizes for lock-free readers.
  std::atomic<size_t> modifiedSize_{0};
  std::atomic<size_t> queuedSize_{0};
  std::atomic<size_t> uncommittedSize_{0};

  HXThread queueThread_;
  HxEvent modifiedEvent_{false};  // wakes the queue thread
  HxEvent workEvent_{false};      // wakes the controller

  std::ofstream journal_ OS_GUARDED_BY(queueLock_);
  // Last journal name stamp handed out, so names stay unique and increasing
  // even when two are made within one clock tick. Guarded by queueLock_.
  std::pair<int64_t, int64_t> lastJournalStamp_{0, 0};
  std::string journalDir_;
  std::string savedJournalDir_;  // empty: old journal files are deleted

  BackupQueueCounters counters_;
};

}  // namespace ObjectStore
