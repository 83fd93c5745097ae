// BackupQueue: start-up, the three collections, the queue thread, reporting
// and the close-time drain. The journal files are in BackupJournal.cpp.
#include "ObjectStore/BackupQueue.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "ObjectStore/BackupControllerThread.h"
#include "ObjectStore/ObjectStore.h"
#include "platform/support/Clock.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {

namespace {
// The controller divides by the stream count, and the transport caps a job
// at BACKUP_MAX_STREAMS; anything configured outside is brought back in.
constexpr int MIN_STREAM_COUNT = 1;
constexpr int DEFAULT_STREAM_COUNT = 3;
}  // namespace

void BackupQueueCounters::clear() {
  addedToModQ = 0;
  refreshedToModQ = 0;
  pushedToBkQ = 0;
  poppedFromBkQ = 0;
  removeFromUncommQ = 0;
  repushToBkQ = 0;
  committed = 0;
  journalOpens = 0;
  journalCompacts = 0;
  itemsRecovered = 0;
}

BackupQueue::BackupQueue(ObjectStore& store, DiskCache& diskCache)
    : store_(store), diskCache_(diskCache) {}

CZnError BackupQueue::initialize(uint64_t subclientId, uint64_t timeout, uint64_t jobIdleTimeoutMs,
                                 const std::string& baseDir, DiskCacheContext& context) {
  subclientId_ = subclientId;
  timeout_.store(timeout);
  context_ = context;
  contextName_ = context.name;
  if (!contextName_.empty() && contextName_[0] == '/') contextName_.erase(0, 1);

  journalDir_ = baseDir + "/" + JOURNAL_DIR + "/" + contextName_;
  int rc = createDir(journalDir_);
  if (rc != 0) {
    OSLOG(-1, "Error: Can't create journal directory [%s] (%d)", journalDir_.c_str(), rc);
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't create journal directory [%s]",
                                   journalDir_.c_str());
  }
  if (getRegistryValue("nDisableJournalSave", 0, 0, 1) == 0) {
    savedJournalDir_ = baseDir + ".bkp" + "/" + contextName_;
    rc = createDir(savedJournalDir_);
    if (rc != 0) {
      OSLOG(-1, "Error: Can't create journal directory [%s] (%d)", savedJournalDir_.c_str(), rc);
      savedJournalDir_.clear();
    }
  }

  {
    HxCriticalSectionGuard guard(queueLock_);
    (void)recoverFromJournal();  // replay never fails; unreadable parts are logged
  }
  dumpQueues();
  {
    HxCriticalSectionGuard guard(queueLock_);
    CZnError err = compactJournal(true);
    if (err.failed()) {
      err.Push(FX_LOC, "Error: Can't compact journal");
      OSLOG_ERR(err);
      return err;
    }
  }

  CZnError err = queueThread_.start(&BackupQueue::threadFunction, this);
  if (err.failed()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Can't create thread");
  }

  initialized_.store(true);
  controller_ = std::make_unique<BackupControllerThread>(this, diskCache_, context_);
  int streamCount =
      getRegistryValue("nStreamCount", DEFAULT_STREAM_COUNT, MIN_STREAM_COUNT, BACKUP_MAX_STREAMS);
  if (streamCount < MIN_STREAM_COUNT || streamCount > BACKUP_MAX_STREAMS) {
    const int clamped = streamCount < MIN_STREAM_COUNT ? MIN_STREAM_COUNT : BACKUP_MAX_STREAMS;
    OSLOG(1, "nStreamCount %d is out of range (%d to %d), using %d", streamCount, MIN_STREAM_COUNT,
          BACKUP_MAX_STREAMS, clamped);
    streamCount = clamped;
  }
  if (!controller_->init(static_cast<uint32_t>(subclientId_), streamCount, jobIdleTimeoutMs,
                         &BackupQueue::commitCallbackStatic, this)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Can't initialize backup controller");
  }
  return CZnError::Success;
}

BackupQueue::~BackupQueue() {
  if (!initialized_.load()) return;
  OSLOG(5, "Entering BackupQueue destructor");
  stopping_.store(true);
  {
    HxCriticalSectionGuard guard(queueLock_);
    // On close nothing waits for its quiet period.
    while (!modified_.empty()) {
      QueueElement element = modified_.front();
      modified_.pop_front();
      modifiedPos_.erase(element.guid);
      OSLOG(4, "Backing up during destructor [%s]", element.guid.c_str());
      if (queuedPos_.count(element.guid) == 0) {
        queuedForBackup_.push_back(element);
        queuedPos_[element.guid] = std::prev(queuedForBackup_.end());
      }
    }
    updateSizes();
  }
  modifiedEvent_.set();
  workEvent_.set();
  // Blocks until the controller thread has finished (it sends everything
  // queued first when a job is running).
  controller_.reset();
  queueThread_.join();
  OSLOG(5, "Leaving BackupQueue destructor");
}

void BackupQueue::updateSizes() {
  modifiedSize_.store(modified_.size());
  queuedSize_.store(queuedForBackup_.size());
  uncommittedSize_.store(uncommitted_.size());
}

void BackupQueue::push(const guid_t& guid) {
  if (!initialized_.load()) {
    OSLOG(-1, "Error: backup queue not intialized");
    return;
  }
  OSLOG(5, "push to modified queue: [%s]", guid.c_str());
  OSLOG(5, "queue sizes: modified=%ld queuedForBackup=%ld uncommitted=%ld",
        static_cast<long>(modifiedSize_.load()), static_cast<long>(queuedSize_.load()),
        static_cast<long>(uncommittedSize_.load()));
  const int64_t now = clockNowSec();
  HxCriticalSectionGuard guard(queueLock_);
  auto found = modifiedPos_.find(guid);
  if (found == modifiedPos_.end()) {
    if (modified_.empty()) modifiedEvent_.set();
    modified_.push_back(QueueElement{guid, now});
    modifiedPos_[guid] = std::prev(modified_.end());
    writeRecord(EVENT_MODIFIED, guid);
    rotateJournalIfFull();
    ++counters_.addedToModQ;
  } else {
    // The quiet period keeps counting from the first push, so a segment
    // written continuously is still backed up every `timeout` seconds.
    modified_.splice(modified_.end(), modified_, found->second);
    ++counters_.refreshedToModQ;
  }
  auto queued = queuedPos_.find(guid);
  if (queued != queuedPos_.end()) {
    queuedForBackup_.erase(queued->second);
    queuedPos_.erase(queued);
    writeRecord(EVENT_MODIFIED, guid);
    rotateJournalIfFull();
  }
  updateSizes();
}

void BackupQueue::threadFunction(void* arg) { static_cast<BackupQueue*>(arg)->runQueueThread(); }

void BackupQueue::runQueueThread() {
  OSLOG(4, "Starting backupQueue thread");
  while (!stopping_.load()) {
    const int64_t nowNs = clockNowNs();
    const int64_t now = nowNs / 1000000000;
    bool moved = false;
    guid_t movedGuid;
    uint32_t waitMs = HX_INFINITE;
    {
      HxCriticalSectionGuard guard(queueLock_);
      if (!modified_.empty()) {
        const int64_t headTime = modified_.front().time;
        const int64_t due = headTime + static_cast<int64_t>(timeout_.load());
        if (due < now) {
          // Only the head is examined: a refreshed element waits behind
          // younger ones and moves once it reaches the head.
          queuedForBackup_.splice(queuedForBackup_.end(), modified_, modified_.begin());
          movedGuid = queuedForBackup_.back().guid;
          modifiedPos_.erase(movedGuid);
          queuedPos_[movedGuid] = std::prev(queuedForBackup_.end());
          updateSizes();
          moved = true;
        } else {
          // Until the first second strictly after `due`; waiting for whole
          // seconds from `now` would spin while now == due.
          const int64_t remainingMs = (due + 1) * 1000 - nowNs / 1000000;
          waitMs = remainingMs <= 0 ? 1
                   : remainingMs >= static_cast<int64_t>(HX_INFINITE)
                       ? HX_INFINITE - 1
                       : static_cast<uint32_t>(remainingMs);
        }
      }
    }
    if (moved) {
      workEvent_.set();
      ++counters_.pushedToBkQ;
      OSLOG(4, "Backing up [%s]", movedGuid.c_str());
      continue;
    }
    modifiedEvent_.wait(waitMs);
  }
  OSLOG(4, "Ended backupQueue thread");
}

guid_t BackupQueue::popFromBackupQueue() {
  if (!initialized_.load()) {
    OSLOG(-1, "Error: backup queue not intialized");
    return "";
  }
  HxCriticalSectionGuard guard(queueLock_);
  if (queuedForBackup_.empty()) return "";
  guid_t guid = queuedForBackup_.front().guid;
  queuedForBackup_.pop_front();
  queuedPos_.erase(guid);
  ++uncommitted_[guid];
  writeRecord(EVENT_SENT, guid);
  rotateJournalIfFull();
  updateSizes();
  ++counters_.poppedFromBkQ;
  OSLOG(5, "popped from backup queue: [%s]", guid.c_str());
  return guid;
}

void BackupQueue::removeFromUncommittedQueue(const guid_t& guid) {
  queueLock_.assertHeld();
  OSLOG(5, "removing [%s] from uncommitted queue", guid.c_str());
  auto found = uncommitted_.find(guid);
  if (found == uncommitted_.end()) {
    OSLOG(5, "guid not found");
    return;
  }
  if (found->second < 2)
    uncommitted_.erase(found);
  else
    --found->second;
  ++counters_.removeFromUncommQ;
}

void BackupQueue::repushToBackupQueue(const guid_t& guid) {
  OSLOG(5, "repushed to backup queue: [%s]", guid.c_str());
  if (!initialized_.load()) {
    OSLOG(-1, "Error: backup queue not intialized");
    return;
  }
  const int64_t now = clockNowSec();
  HxCriticalSectionGuard guard(queueLock_);
  removeFromUncommittedQueue(guid);
  if (queuedPos_.count(guid) == 0) {
    // Sent next. No record: the journal still shows it sent and uncommitted,
    // so a restart queues it again.
    queuedForBackup_.push_front(QueueElement{guid, now});
    queuedPos_[guid] = queuedForBackup_.begin();
    workEvent_.set();
    ++counters_.repushToBkQ;
  }
  updateSizes();
}

void BackupQueue::commitCallbackStatic(unsigned int jobId, std::list<std::string> guids,
                                       void* context) {
  OSLOG(5, "commitCallbackStatic count [%d]", static_cast<int>(guids.size()));
  if (!guids.empty()) OSLOG(5, "commitCallbackStatic guidList[0]=[%s]", guids.front().c_str());
  static_cast<BackupQueue*>(context)->commitCallback(jobId, guids, false);
}

void BackupQueue::commitCallback(unsigned int /*jobId*/, std::list<std::string> guids, bool err) {
  HxCriticalSectionGuard guard(queueLock_);
  for (const std::string& guid : guids) {
    OSLOG(5, "committed [%s] err=%d", guid.c_str(), err ? 1 : 0);
    eventLog("[%s] committed [%s] err=%d", store_.getRootName().c_str(), guid.c_str(), err ? 1 : 0);
    removeFromUncommittedQueue(guid);
    writeRecord(EVENT_COMMITTED, guid);
    if (err) writeRecord(EVENT_COMMIT_ERROR, guid);
    rotateJournalIfFull();
    ++counters_.committed;
  }
  // The sizes change once, after the journal holds the commit: a reader of
  // the sizes never sees an empty queue whose last record is still missing.
  updateSizes();
}

void BackupQueue::eventLog(const char* format, ...) {
  if (!OSLOG_ENABLED(5)) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  OSLOG(5, "%s", line);
}

bool BackupQueue::isInQueue(const guid_t& guid) {
  HxCriticalSectionGuard guard(queueLock_);
  return isInQueueNoLock(guid);
}

bool BackupQueue::isInQueueNoLock(const guid_t& guid) {
  queueLock_.assertHeld();
  if (modifiedPos_.count(guid) != 0) {
    OSLOG(5, "Found [%s] in modified queue", guid.c_str());
    return true;
  }
  if (queuedPos_.count(guid) != 0) {
    OSLOG(5, "Found [%s] in queuedForBackup queue", guid.c_str());
    return true;
  }
  if (uncommitted_.count(guid) != 0) {
    OSLOG(5, "Found [%s] in uncommitted queue", guid.c_str());
    return true;
  }
  return false;
}

std::string BackupQueue::guid2path(const guid_t& guid) {
  return diskCache_.guid2path(guid, context_.volumeIndex, context_.name);
}

bool BackupQueue::pruneIfNotInQueue(const guid_t& guid) {
  HxCriticalSectionGuard guard(queueLock_);
  if (isInQueueNoLock(guid)) return false;
  // A segment already gone is as good as deleted.
  (void)diskCache_.deleteSegment(context_, guid, false, false, 0);
  return true;
}

void BackupQueue::updateParams(uint64_t timeout) {
  OSLOG(3, "updated timeout to %lu", static_cast<unsigned long>(timeout));
  timeout_.store(timeout);
  modifiedEvent_.set();
}

void BackupQueue::restartJob() {
  if (controller_) {
    OSLOG(5, "restarting backup job");
    controller_->restartJob();
  }
}

void BackupQueue::dumpQueues() {
  HxCriticalSectionGuard guard(queueLock_);
  OSLOG(3, "Modified List: currentTime=%lu", static_cast<unsigned long>(clockNowSec()));
  for (const QueueElement& element : modified_)
    OSLOG(3, "[%s] %lu", element.guid.c_str(), static_cast<unsigned long>(element.time));
  OSLOG(3, "QueuedForBackup List:");
  for (const QueueElement& element : queuedForBackup_) OSLOG(3, "[%s]", element.guid.c_str());
  OSLOG(3, "Uncommitted List:");
  for (const auto& [guid, count] : uncommitted_) OSLOG(3, "[%s] %d", guid.c_str(), count);
}

void BackupQueue::getStatus(std::map<std::string, std::string>& status, const std::string& prefix) {
  status[prefix + "backupQ.Timeout"] = std::to_string(timeout_.load());
  status[prefix + "backupQ.Modified"] = std::to_string(modifiedSize_.load());
  status[prefix + "backupQ.Queued"] = std::to_string(queuedSize_.load());
  status[prefix + "backupQ.Uncommitted"] = std::to_string(uncommittedSize_.load());
  status[prefix + "backupQ.JournalDir"] = savedJournalDir_;
}

void BackupQueue::getCounters(std::map<std::string, std::string>& counters) {
  counters["backupQ.addedToModQ"] = std::to_string(counters_.addedToModQ.load());
  counters["backupQ.refreshedToModQ"] = std::to_string(counters_.refreshedToModQ.load());
  counters["backupQ.pushedToBkQ"] = std::to_string(counters_.pushedToBkQ.load());
  counters["backupQ.poppedFromBkQ"] = std::to_string(counters_.poppedFromBkQ.load());
  counters["backupQ.removeFromUncommQ"] = std::to_string(counters_.removeFromUncommQ.load());
  counters["backupQ.repushToBkQ"] = std::to_string(counters_.repushToBkQ.load());
  counters["backupQ.committed"] = std::to_string(counters_.committed.load());
  counters["backupQ.journalOpens"] = std::to_string(counters_.journalOpens.load());
  counters["backupQ.journalCompacts"] = std::to_string(counters_.journalCompacts.load());
  counters["backupQ.itemsRecovered"] = std::to_string(counters_.itemsRecovered.load());
  if (controller_) controller_->getCounters(counters);
}

void BackupQueue::clearCounters() {
  counters_.clear();
  if (controller_) controller_->clearCounters();
}

void BackupQueue::getStatusVerGuid(std::map<std::string, std::string>& status, const guid_t& guid) {
  HxCriticalSectionGuard guard(queueLock_);
  status["backupQ.modified"] = modifiedPos_.count(guid) != 0 ? "1" : "0";
  status["backupQ.queued"] = queuedPos_.count(guid) != 0 ? "1" : "0";
  auto found = uncommitted_.find(guid);
  status["backupQ.uncommitted"] = found != uncommitted_.end() ? "1" : "0";
  status["backupQ.refCount"] = std::to_string(found != uncommitted_.end() ? found->second : 0);
}

void BackupQueue::getGuiStats(std::vector<std::pair<std::string, std::string>>& stats) {
  stats.emplace_back("Backup status",
                     controller_ ? controller_->getStatusMessage() : std::string("initializing"));
  const size_t total = modifiedSize_.load() + queuedSize_.load() + uncommittedSize_.load();
  stats.emplace_back("Uncommitted extents", std::to_string(total));
}

}  // namespace ObjectStore
