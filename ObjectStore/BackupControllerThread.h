// BackupControllerThread: turns a store's backup queue into backup jobs.
//
// The controller thread waits for queued items, starts a job of the backup
// transport (retrying until it succeeds or the store closes), pops GUIDs and
// hands each to a pool of worker streams keyed by GuidToStreamIndex, ends the
// job after an idle time or on close, and restarts a job after a failure.
// Workers (BackupItem) send one segment each; a missing segment is committed
// with the error flag, any other send failure re-queues what the transport
// names and restarts the whole job.
//
// Waiting. Every pause is a wait that the destructor interrupts: the waits
// for queue work are on the queue's workEvent, the pauses between job starts
// on quitEvent_. Closing therefore returns promptly in every state: a running
// job first sends everything queued, waits for its workers and ends; a
// controller that is idle, stopped for inactivity, pausing after a failure or
// retrying a failing start ends after its current wait is interrupted,
// leaving the queued items in the journal for the next start.
//
// Timing. The waits come from BackupTimings (defaults: 10 s outer wait, 120 s
// between first-start retries, 60 s before a restart and between restart
// retries, 60 s idle polls, 2 s worker waits). Tests shorten them with
// BackupTimings::setForTesting before the controller is created; the
// controller copies them in its constructor.
//
// Locks: none is held while waiting. countersLock guards the per-stream
// figures only; statusLock_ guards statusMessage_. Both are leaves.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/backup/BackupInterface.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/support/CZnError.h"
#include "platform/support/HXThread.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/HxEvent.h"
#include "platform/support/HxThreadPool.h"
#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

class BackupQueue;

// The controller's wait durations in milliseconds.
struct BackupTimings {
  uint32_t outerWaitMs = 10000;         // wait for the first queued item
  uint32_t firstStartRetryMs = 120000;  // between failing first job starts
  uint32_t restartPauseMs = 60000;      // after a failed or idle-ended job
  uint32_t restartRetryMs = 60000;      // between failing restarts
  uint32_t pollMs = 60000;              // one idle poll of a running job
  uint32_t workerWaitMs = 2000;         // re-check of busy workers at job end

  // The timings new controllers use.
  static BackupTimings current();
  // For tests: replaces the process-wide timings (affects controllers
  // created afterwards). resetForTesting restores the defaults.
  static void setForTesting(const BackupTimings& timings);
  static void resetForTesting();
};

struct BackupControllerCounters {
  BackupControllerCounters() { clear(); }
  // Clears the nine counters; the per-stream figures stay.
  void clear();

  std::atomic<uint64_t> getControllerErrs;
  std::atomic<uint64_t> jobStarted;
  std::atomic<uint64_t> jobFailed;
  std::atomic<uint64_t> idleTimeout;
  std::atomic<uint64_t> idleTimeoutStop;
  std::atomic<uint64_t> endBackup;
  std::atomic<uint64_t> sendItem;
  std::atomic<uint64_t> sendItemErr;
  std::atomic<uint64_t> sendItemBytes;
  std::vector<uint64_t> sendItemStream OS_GUARDED_BY(countersLock);
  std::vector<uint64_t> sendItemStreamBytes OS_GUARDED_BY(countersLock);
  HxCriticalSection countersLock;  // leaf
};

// Job status values.
enum BackupJobStatus : unsigned {
  JOB_STATUS_NONE = 0,
  JOB_STATUS_RUNNING = 1,
  JOB_STATUS_IDLE_ENDED = 2,
  JOB_STATUS_FAILED = 3,
  JOB_STATUS_FINISHED = 4,
};

// First byte of a GUID of at most 32 bytes; for a longer one the first byte
// plus the last four. Bytes are signed chars.
int fastChecksum(const std::string& text);
// Ends a job that was started without streams (error 5006).
void StopJobIfNoStreams(CZnError& err, std::shared_ptr<BackupInterface> controller);

class BackupControllerThread : public HxThread {
 public:
  // One dispatched item; owned (and freed) by the worker that runs it.
  struct ThreadArgs {
    BackupInterface* backupInterface;
    BackupControllerThread* controllerThread;
    std::string path;
    std::string guid;
    DiskCache& diskCache;
    DiskCacheContext& context;
  };

  BackupControllerThread(BackupQueue* queue, DiskCache& diskCache, DiskCacheContext& context);
  // Sets quit, wakes the thread and waits until it has finished (see the
  // header comment), then joins it. Returns at once when init never started
  // the thread.
  ~BackupControllerThread() override;

  // Builds the job description, starts the worker pool and the controller
  // thread. streamCount must be 1..BACKUP_MAX_STREAMS (the queue clamps it).
  bool init(uint32_t subclientId, int32_t streamCount, uint64_t jobIdleTimeoutMs,
            ChunkCommitCallBkp_t callback, void* callbackContext);

  int GuidToStreamIndex(const std::string& guid);
  // "nJobTimeout" (section "Rora", seconds) in milliseconds; false if unset.
  static bool getJobTimeoutInSeconds(int64_t& timeoutMs);

  void restartJob() { restartRequested_.store(true); }
  unsigned getJobStatus() const { return jobStatus_.load(); }
  std::string getStatusMessage();
  void clearCounters() { counters_.clear(); }
  // "backup.*" keys, per-stream figures included.
  void getCounters(std::map<std::string, std::string>& counters);
  const BackupControllerCounters& counters() const { return counters_; }
  int streamCount() const { return streamCount_; }

 private:
  static void run(void* arg);
  // The controller thread's body; returns when the thread is to end.
  void runController();
  // One job: dispatch until idle, failed or closing; then end it.
  bool run();
  static void BackupItem(void* arg);
  // getController with the retry bookkeeping of one attempt; true on success.
  bool startJob(bool firstJob);
  void resetJobInfo();
  // Waits up to ms on quitEvent_; true when the store is closing.
  bool pauseUnlessQuit(uint32_t ms);
  void setStatusMessage(const std::string& message);
  // Counts one more failed send of a segment that could not be read; returns
  // the count so far. forgetReadFailures drops the count of a segment.
  unsigned noteReadFailure(const std::string& guid);
  void forgetReadFailures(const std::string& guid);

  std::atomic<bool> quit_{false};
  std::shared_ptr<BackupInterface> controller_;  // controller thread only
  BackupQueue* queue_;
  std::shared_ptr<OBJECTOPSAPI::JobInfo> jobInfo_;
  HxThreadPool pool_;
  ChunkCommitCallBkp_t callback_ = nullptr;
  void* callbackContext_ = nullptr;
  HxEvent doneEvent_{false};
  HxEvent quitEvent_{false};        // interrupts the pauses between starts
  HxEvent workerDoneEvent_{false};  // a worker finished an item
  std::atomic<bool> restartRequested_{false};
  std::atomic<unsigned> jobStatus_{JOB_STATUS_NONE};
  int streamCount_ = 0;
  uint64_t jobIdleTimeoutMs_ = 0;
  BackupControllerCounters counters_;
  HxCriticalSection statusLock_;  // leaf
  std::string statusMessage_ OS_GUARDED_BY(statusLock_);
  HxCriticalSection readFailuresLock_;  // leaf
  std::map<std::string, unsigned> readFailures_ OS_GUARDED_BY(readFailuresLock_);
  DiskCache* diskCache_;
  DiskCacheContext* context_;
  const BackupTimings timings_;
  bool threadStarted_ = false;  // written by init, read by the destructor
};

}  // namespace ObjectStore
