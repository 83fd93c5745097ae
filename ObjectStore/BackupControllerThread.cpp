// BackupControllerThread: job start and restart, the dispatch loop, the
// workers and the counters.
#include "ObjectStore/BackupControllerThread.h"

#include <cerrno>
#include <cinttypes>
#include <mutex>

#include "ObjectStore/BackupQueue.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"

namespace ObjectStore {

namespace {

std::mutex g_timingsMutex;  // leaf; guards g_timings
BackupTimings g_timings;

// The job description's fixed values.
constexpr int JOB_BACKUP_LEVEL = 2;
// Sends of a segment that could not be read before the queue gives it up.
constexpr unsigned DAMAGED_SEGMENT_ATTEMPTS = 3;
constexpr int JOB_OP_TYPE = 110;
constexpr int JOB_FLAGS = 2;
constexpr int POOL_TUNING_A = 60;
constexpr int POOL_TUNING_B = 0;
constexpr const char* POOL_NAME = "ZAVORUVUVIZERIVuviva";
// Indices of the controller's performance counters in the system's table.
constexpr int PERF_BACKUP_INIT = 0;
constexpr int PERF_BACKUP_JOB_START = 1;
constexpr int PERF_BACKUP_ITEM = 2;

}  // namespace

BackupTimings BackupTimings::current() {
  std::lock_guard<std::mutex> guard(g_timingsMutex);
  return g_timings;
}

void BackupTimings::setForTesting(const BackupTimings& timings) {
  std::lock_guard<std::mutex> guard(g_timingsMutex);
  g_timings = timings;
}

void BackupTimings::resetForTesting() { setForTesting(BackupTimings()); }

void BackupControllerCounters::clear() {
  getControllerErrs = 0;
  jobStarted = 0;
  jobFailed = 0;
  idleTimeout = 0;
  idleTimeoutStop = 0;
  endBackup = 0;
  sendItem = 0;
  sendItemErr = 0;
  sendItemBytes = 0;
}

int fastChecksum(const std::string& text) {
  if (text.empty()) return 0;
  int sum = static_cast<signed char>(text[0]);
  if (text.size() > 32) {
    for (size_t i = text.size() - 4; i < text.size(); ++i) sum += static_cast<signed char>(text[i]);
  }
  return sum;
}

void StopJobIfNoStreams(CZnError& err, std::shared_ptr<BackupInterface> controller) {
  if (err.errNo() != BACKUP_ERR_NO_STREAMS) return;
  OSLOG(-1, "ERROR: Job started, But streams are not allocated. So, stopping the job now.");
  if (controller) {
    std::list<std::string> requeue;
    (void)controller->endBackup(requeue, false);  // the job had no streams: nothing to requeue
  }
}

BackupControllerThread::BackupControllerThread(BackupQueue* queue, DiskCache& diskCache,
                                               DiskCacheContext& context)
    : queue_(queue),
      diskCache_(&diskCache),
      context_(&context),
      timings_(BackupTimings::current()) {}

BackupControllerThread::~BackupControllerThread() {
  OSLOG(5, "INFO: Entering BackupControllerThread destructor");
  quit_.store(true);
  quitEvent_.set();
  queue_->workEvent().set();
  // A controller whose init failed never ran its thread: nobody would set
  // doneEvent_.
  if (threadStarted_) doneEvent_.wait(HX_INFINITE);
  join();
  pool_.shutdown();
  OSLOG(5, "INFO: Leaving BackupControllerThread destructor");
}

bool BackupControllerThread::init(uint32_t subclientId, int32_t streamCount,
                                  uint64_t jobIdleTimeoutMs, ChunkCommitCallBkp_t callback,
                                  void* callbackContext) {
  TimeFunction timer("backupinit", PERF_BACKUP_INIT);
  jobInfo_ = std::make_shared<OBJECTOPSAPI::JobInfo>(streamCount, JOB_BACKUP_LEVEL, 0, "",
                                                     JOB_OP_TYPE, subclientId, JOB_FLAGS);
  if (!jobInfo_) {
    OSLOG(-1, "Error: NULL m_jobInfo");
    return false;
  }
  callback_ = callback;
  callbackContext_ = callbackContext;
  streamCount_ = streamCount;
  jobIdleTimeoutMs_ = jobIdleTimeoutMs;
  setStatusMessage("waiting");
  {
    HxCriticalSectionGuard guard(counters_.countersLock);
    counters_.sendItemStream.assign(static_cast<size_t>(streamCount), 0);
    counters_.sendItemStreamBytes.assign(static_cast<size_t>(streamCount), 0);
  }
  CZnError err =
      pool_.initThreadPool(POOL_NAME, POOL_TUNING_A, POOL_TUNING_B, streamCount, streamCount);
  if (err.failed()) {
    OSLOG_ERR(err);
    return false;
  }
  err = start(&BackupControllerThread::run, this);
  if (err.failed()) {
    OSLOG_ERR(err);
    return false;
  }
  threadStarted_ = true;
  return true;
}

int BackupControllerThread::GuidToStreamIndex(const std::string& guid) {
  if (guid.empty()) {
    OSLOG(-1, "Error: empty guid");
    return -1;
  }
  return fastChecksum(guid) % streamCount_;
}

bool BackupControllerThread::getJobTimeoutInSeconds(int64_t& timeoutMs) {
  int64_t seconds = 0;
  if (!HXPlatformInfo::getLongLong(REGISTRY_SECTION_PUBLIC, "nJobTimeout", seconds)) return false;
  timeoutMs = seconds * 1000;
  return true;
}

std::string BackupControllerThread::getStatusMessage() {
  HxCriticalSectionGuard guard(statusLock_);
  return statusMessage_;
}

void BackupControllerThread::setStatusMessage(const std::string& message) {
  HxCriticalSectionGuard guard(statusLock_);
  statusMessage_ = message;
}

void BackupControllerThread::getCounters(std::map<std::string, std::string>& counters) {
  counters["backup.getControllerErrs"] = std::to_string(counters_.getControllerErrs.load());
  counters["backup.jobStarted"] = std::to_string(counters_.jobStarted.load());
  counters["backup.jobFailed"] = std::to_string(counters_.jobFailed.load());
  counters["backup.idleTimeout"] = std::to_string(counters_.idleTimeout.load());
  counters["backup.idleTimeoutStop"] = std::to_string(counters_.idleTimeoutStop.load());
  counters["backup.endBackup"] = std::to_string(counters_.endBackup.load());
  counters["backup.sendItem"] = std::to_string(counters_.sendItem.load());
  counters["backup.sendItemErr"] = std::to_string(counters_.sendItemErr.load());
  counters["backup.sendItemBytes"] = std::to_string(counters_.sendItemBytes.load());
  HxCriticalSectionGuard guard(counters_.countersLock);
  for (size_t n = 0; n < counters_.sendItemStream.size(); ++n)
    counters["backup.sendItemStream[" + std::to_string(n) + "]"] =
        std::to_string(counters_.sendItemStream[n]);
  for (size_t n = 0; n < counters_.sendItemStreamBytes.size(); ++n)
    counters["backup.sendItemStreamBytes[" + std::to_string(n) + "]"] =
        std::to_string(counters_.sendItemStreamBytes[n]);
}

void BackupControllerThread::resetJobInfo() {
  // The transport may have changed these; every start asks afresh.
  jobInfo_->streamCount = streamCount_;
  jobInfo_->backupLevel = JOB_BACKUP_LEVEL;
  jobInfo_->jobId = 0;
  jobInfo_->jobText.clear();
}

bool BackupControllerThread::pauseUnlessQuit(uint32_t ms) {
  // The flag is checked first: an earlier wait may have consumed the event.
  if (quit_.load()) return true;
  quitEvent_.wait(ms);
  return quit_.load();
}

void BackupControllerThread::run(void* arg) {
  auto* self = static_cast<BackupControllerThread*>(arg);
  self->runController();
  // Whatever path ended the thread, the destructor must not wait forever.
  self->doneEvent_.set();
}

bool BackupControllerThread::startJob(bool firstJob) {
  OBJECT_STORE_START_PERF_COUNTER("backupjobstart", PERF_BACKUP_JOB_START);
  if (!firstJob) resetJobInfo();
  CZnError err = BackupInterface::getController(std::make_shared<OBJECTOPSAPI::JobInfo>(*jobInfo_),
                                                controller_, false);
  if (err.failed()) {
    StopJobIfNoStreams(err, controller_);
    if (firstJob) {
      OSLOG(-1,
            "ERROR: fail to get the backupInterface Object, error String = [%s]. Start Job will "
            "be tried after two minutes",
            err.text().c_str());
    } else {
      OSLOG(-1, "ERROR: fail to get the backupInterface Object, error String = [%s]",
            err.text().c_str());
    }
    OBJECT_STORE_STOP_PERF_COUNTER("backupjobstart", PERF_BACKUP_JOB_START);
    if (firstJob) resetJobInfo();
    ++counters_.getControllerErrs;
    setStatusMessage("failed");
    return false;
  }
  OSLOG(1, "INFO: BackupInterface Controller created success");
  setStatusMessage("operational");
  jobStatus_.store(JOB_STATUS_RUNNING);
  CZnError callbackErr = controller_->setCallBack(callback_, callbackContext_);
  if (callbackErr.failed()) OSLOG_ERR(callbackErr);
  OBJECT_STORE_STOP_PERF_COUNTER("backupjobstart", PERF_BACKUP_JOB_START);
  ++counters_.jobStarted;
  return true;
}

void BackupControllerThread::runController() {
  // Outer wait: no job until something is queued.
  for (;;) {
    queue_->workEvent().wait(timings_.outerWaitMs);
    if (quit_.load()) {
      OSLOG(1,
            " INFO: Object Store is closed, backup job wont be started. Terminate the backup "
            "controller thread.");
      return;
    }
    if (!queue_->isBackupQueueEmpty()) break;
  }
  while (!startJob(true)) {
    if (pauseUnlessQuit(timings_.firstStartRetryMs)) {
      OSLOG(1, " INFO: Object Store is closed, Stop retrying the job");
      return;
    }
  }
  for (;;) {
    restartRequested_.store(false);
    run();
    if (jobStatus_.load() == JOB_STATUS_IDLE_ENDED) {
      OSLOG(1, "Job stopped due to inactivity, will wait till the event from object Store");
      queue_->workEvent().wait(HX_INFINITE);
      OSLOG(4, "event received");
      // The closing queue wakes us just before it sets quit_; either means
      // the store is closing, and a stopped job is not restarted for that.
      if (quit_.load() || queue_->isStopping()) {
        OSLOG(1,
              "Queue is empty and quit falg is set, this event should be close object store "
              "event");
        jobStatus_.store(JOB_STATUS_FINISHED);
        return;
      }
    }
    if (!restartRequested_.load() && jobStatus_.load() != JOB_STATUS_IDLE_ENDED) {
      // The job ended because the store is closing; it has sent everything.
      jobStatus_.store(JOB_STATUS_FINISHED);
      return;
    }
    // A close during the pause ends the controller; what is still queued
    // stays in the journal and is sent after the next start.
    if (pauseUnlessQuit(timings_.restartPauseMs)) {
      jobStatus_.store(JOB_STATUS_FINISHED);
      return;
    }
    while (!startJob(false)) {
      if (pauseUnlessQuit(timings_.restartRetryMs)) {
        OSLOG(1,
              "Queue is empty and quit falg is set, this event should be close object store "
              "event");
        jobStatus_.store(JOB_STATUS_FINISHED);
        return;
      }
    }
  }
}

bool BackupControllerThread::run() {
  int64_t idleLimit = static_cast<int64_t>(jobIdleTimeoutMs_);
  (void)getJobTimeoutInSeconds(idleLimit);  // leaves idleLimit alone when not configured
  OSLOG(1, "Job TimeOut set to [%ld] seconds", static_cast<long>(idleLimit / 1000));
  const int64_t pollMs = timings_.pollMs;
  int64_t idleCount = 0;

  auto failJob = [this] {
    jobStatus_.store(JOB_STATUS_FAILED);
    ++counters_.jobFailed;
    setStatusMessage("failed");
    OSLOG(-1, "Backup Failed so wait for 1 minute and restart the job again");
  };

  for (;;) {
    if (quit_.load() && queue_->isBackupQueueEmpty()) break;
    if (restartRequested_.load()) {
      failJob();
      break;
    }
    const guid_t guid = queue_->popFromBackupQueue();
    const std::string path = queue_->guid2path(guid);
    if (guid.empty()) {
      OSLOG(5, "Waiting for backupQueue");
      if (queue_->workEvent().wait(timings_.pollMs)) {
        idleCount = 0;
        OSLOG(4, "event received");
        continue;
      }
      OSLOG(5, "backupQueue timed out");
      if (restartRequested_.load()) {
        failJob();
        break;
      }
      if (pool_.getReadyWorksCount() != 0) continue;
      ++idleCount;
      ++counters_.idleTimeout;
      OSLOG(5, "Backup queue is empty. No items in worker thread pool. idle timeout [%ld] s",
            static_cast<long>(idleLimit / 1000));
      if (idleLimit >= idleCount * pollMs) continue;
      jobStatus_.store(JOB_STATUS_IDLE_ENDED);
      ++counters_.idleTimeoutStop;
      OSLOG(1, "No backup request for [%ld] seconds. stopping the job",
            static_cast<long>(idleLimit / 1000));
      break;
    }
    OSLOG(4, "Popped file [%s] having guid [%s] from queue, same will be assign to worker now",
          path.c_str(), guid.c_str());
    auto* args = new ThreadArgs{controller_.get(), this, path, guid, *diskCache_, *context_};
    CZnError err =
        pool_.doWork(GuidToStreamIndex(guid), &BackupControllerThread::BackupItem, args, nullptr);
    if (err.failed()) {
      // The pool only refuses work once shut down; keep the item for later.
      OSLOG_ERR(err);
      delete args;
      queue_->repushToBackupQueue(guid);
      failJob();
      break;
    }
  }

  OSLOG(5, "After backupQueue loop");
  while (pool_.getTotalWorkerListCount() != 0 || pool_.getCurrentBusyThreadCount() != 0) {
    OSLOG(1, "INFO: Controller Thread waiting for worker thread to finish backup");
    workerDoneEvent_.wait(timings_.workerWaitMs);
  }

  OSLOG(1, "Done with backup, Ending the Job");
  std::list<std::string> requeue;
  CZnError err = controller_->endBackup(requeue, !queue_->isUncommitQueueEmpty());
  OSLOG(5, "Backup ended");
  ++counters_.endBackup;
  if (err.failed() && err.win32Code() == BACKUP_WIN32_REQUEUE) {
    for (const std::string& guid : requeue) {
      OSLOG(1, "INFO: Adding ITEM [%s] back to the Queue", guid.c_str());
      queue_->repushToBackupQueue(guid);
    }
  }
  if (quit_.load()) {
    OSLOG(1, " INFO: Object Store is closed, quit flag is set, so unblock the destructor");
    doneEvent_.set();
  }
  return true;
}

unsigned BackupControllerThread::noteReadFailure(const std::string& guid) {
  HxCriticalSectionGuard guard(readFailuresLock_);
  return ++readFailures_[guid];
}

void BackupControllerThread::forgetReadFailures(const std::string& guid) {
  HxCriticalSectionGuard guard(readFailuresLock_);
  readFailures_.erase(guid);
}

void BackupControllerThread::BackupItem(void* arg) {
  std::unique_ptr<ThreadArgs> args(static_cast<ThreadArgs*>(arg));
  BackupControllerThread& self = *args->controllerThread;
  BackupQueue& queue = *self.queue_;
  if (self.restartRequested_.load()) {
    OSLOG(2, "Backup Item is already failed in other run. Adding ITEM [%s] back to queue",
          args->guid.c_str());
    queue.repushToBackupQueue(args->guid);
    self.workerDoneEvent_.set();
    return;
  }
  OBJECT_STORE_START_PERF_COUNTER("backupitem", PERF_BACKUP_ITEM);
  OSLOG(4, "INFO: backup starting for file [%s]", args->path.c_str());
  std::list<std::string> requeue;
  int64_t bytes = 0;
  int streamNumber = -1;
  CZnError err = args->backupInterface->sendItem(args->guid.c_str(), requeue, bytes, streamNumber,
                                                 args->diskCache, args->context);
  ++self.counters_.sendItem;
  self.counters_.sendItemBytes += static_cast<uint64_t>(bytes > 0 ? bytes : 0);
  if (err.failed() && err.errNo() != ENOENT) {
    ++self.counters_.sendItemErr;
    if (err.win32Code() == BACKUP_WIN32_BAD_SEGMENT || err.win32Code() == BACKUP_WIN32_READ_FAULT) {
      OSLOG(-1,
            "ERROR: Backup of item [%s] failed due to source file issue. Segment parsing might "
            "have failed",
            args->path.c_str());
      // A damaged segment (or one too large for a record) fails the same way
      // every time: sent again forever, it would fail every job and hold
      // back every other item. After a few tries it leaves the queue as a
      // missing one does (a store read drops a damaged segment as well).
      // Other read faults (out of descriptors, memory) may pass: those stay.
      const bool lasting =
          err.win32Code() == BACKUP_WIN32_BAD_SEGMENT || err.errNo() == EFBIG;
      if (lasting && self.noteReadFailure(args->guid) >= DAMAGED_SEGMENT_ATTEMPTS) {
        OSLOG(-1, "Error: giving up the backup of [%s] after %u failed reads of its segment",
              args->guid.c_str(), DAMAGED_SEGMENT_ATTEMPTS);
        self.forgetReadFailures(args->guid);
        OBJECT_STORE_STOP_PERF_COUNTER("backupitem", PERF_BACKUP_ITEM);
        for (const std::string& guid : requeue)
          if (guid != args->guid) queue.repushToBackupQueue(guid);
        queue.commitCallback(0, std::list<std::string>{args->guid}, true);
        self.workerDoneEvent_.set();
        return;
      }
    } else {
      OSLOG(-1, "ERROR: backup failed for the ITEM [%s]", args->path.c_str());
    }
    OBJECT_STORE_STOP_PERF_COUNTER("backupitem", PERF_BACKUP_ITEM);
    for (const std::string& guid : requeue) {
      OSLOG(1, "INFO: Adding ITEM [%s] back to the Queue", guid.c_str());
      queue.repushToBackupQueue(guid);
    }
    self.restartRequested_.store(true);
    self.workerDoneEvent_.set();
    return;
  }
  if (err.failed()) {
    // The segment is gone: commit it with the error flag so that it leaves
    // the queue and the journal.
    queue.commitCallback(0, std::list<std::string>{args->guid}, true);
    OSLOG(4, "INFO: ITEM [%s] not found in diskCache.", args->path.c_str());
  } else {
    if (streamNumber >= 0 && streamNumber < self.streamCount_) {
      HxCriticalSectionGuard guard(self.counters_.countersLock);
      self.counters_.sendItemStream[static_cast<size_t>(streamNumber)] += 1;
      self.counters_.sendItemStreamBytes[static_cast<size_t>(streamNumber)] +=
          static_cast<uint64_t>(bytes);
    } else {
      OSLOG(-1, "ERROR: streamNum out of range (%d)", streamNumber);
    }
    OSLOG(4, "INFO: backup succeeded for the ITEM [%s]", args->path.c_str());
    self.forgetReadFailures(args->guid);
  }
  OBJECT_STORE_STOP_PERF_COUNTER("backupitem", PERF_BACKUP_ITEM);
  self.workerDoneEvent_.set();
}

}  // namespace ObjectStore
