#include "platform/backup/BackupJob.h"

#include <pthread.h>

#include <cerrno>
#include <cinttypes>
#include <map>
#include <mutex>

#include "platform/backup/BackupTransportCounters.h"
#include "platform/backup/BackupTransportFaults.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/restore/AfileFormat.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// The disk cache's number of a segment's data section.
constexpr int32_t DATA_SECTION = 1;
// The first size of a thread's send buffer: an extent (1 MiB) and one byte,
// so that a whole extent reads in one go; and the size above which it is
// not kept after a send.
constexpr uint64_t FIRST_SEND_BUFFER = (1u << 20) + 1;
constexpr uint64_t KEPT_SEND_BUFFER = 8u << 20;

// Counts a send in progress for the lifetime of the object.
class ActiveSend {
 public:
  ActiveSend(HxCriticalSection& mutex, int& active, std::condition_variable_any& done)
      : mutex_(mutex), active_(active), done_(done) {}
  ~ActiveSend() {
    HxCriticalSectionGuard guard(mutex_);
    if (--active_ == 0) done_.notify_all();
  }
  ActiveSend(const ActiveSend&) = delete;
  ActiveSend& operator=(const ActiveSend&) = delete;

 private:
  HxCriticalSection& mutex_;
  int& active_;
  std::condition_variable_any& done_;
};

}  // namespace

BackupJob::BackupJob(const Settings& settings, std::shared_ptr<index_iface> index,
                     std::shared_ptr<AfileWriter> writer)
    : settings_(settings), index_(std::move(index)), writer_(std::move(writer)) {}

BackupJob::~BackupJob() {
  std::list<std::string> notCommitted;
  if (shutdown(notCommitted)) backupTransportAtomics().jobsEnded++;
  for (const std::string& guid : notCommitted)
    OSLOG(-1, "Error: backup job [%" PRIu64 "] ended without endBackup; [%s] was not committed",
          settings_.jobId, guid.c_str());
}

CZnError BackupJob::start() {
  if (settings_.streamCount <= 0) return CZnError::Success;  // nothing will be sent
  try {
    commitThread_ = std::thread([this] { commitThreadMain(); });
  } catch (const std::system_error& e) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EAGAIN, "can't start the commit thread: %s", e.what());
  }
  return CZnError::Success;
}

CZnError BackupJob::setCallBack(ChunkCommitCallBkp_t callback, void* context) {
  HxCriticalSectionGuard guard(mutex_);
  callback_ = callback;
  callbackContext_ = context;
  return CZnError::Success;
}

CZnError BackupJob::sendItem(const char* guidText, std::list<std::string>& requeue, int64_t& bytes,
                             int& streamNumber, DiskCache& diskCache, DiskCacheContext& context) {
  bytes = 0;
  if (guidText == nullptr || guidText[0] == '\0') {
    backupTransportAtomics().sendErrors++;
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "empty segment name");
  }
  const std::string guid(guidText);
  int stream = 0;
  {
    HxCriticalSectionGuard guard(mutex_);
    if (ending_ || settings_.streamCount <= 0) {
      backupTransportAtomics().sendErrors++;
      requeue.push_back(guid);
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "backup job [%" PRIu64 "] %s", settings_.jobId,
                                     ending_ ? "has ended" : "has no streams");
    }
    ++activeSends_;
    stream = static_cast<int>(nextStream_++ % static_cast<uint64_t>(settings_.streamCount));
  }
  ActiveSend active(mutex_, activeSends_, sendsDone_);

  CZnError err;
  BackupTransportFaults::SendFault fault;
  // Kept by each sending thread: a new buffer per record (an extent is
  // 1 MiB) cost page faults and zeroing on every send. A buffer grown far
  // past that for an unusual segment is let go afterwards.
  thread_local SendBuffer data;
  data.length = 0;
  if (BackupTransportFaults::takeSendItemFailure(fault)) {
    if (fault.win32Code != 0)
      err = FXErrorUtil::ErrorWin32(FX_LOC, fault.win32Code, fault.errNo,
                                    "injected send failure of [%s]", guid.c_str());
    else
      err = FXErrorUtil::ErrorErrNo(FX_LOC, fault.errNo, "injected send failure of [%s]",
                                    guid.c_str());
    if (!fault.requeue.empty())
      requeue.insert(requeue.end(), fault.requeue.begin(), fault.requeue.end());
    else if (err.errNo() != ENOENT)
      requeue.push_back(guid);
  } else if (BackupTransportFaults::isMissingSegment(guid)) {
    err = FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "segment [%s] is not in the disk cache",
                                  guid.c_str());
  } else {
    err = readSegmentData(guid, diskCache, context, data, requeue);
    if (err.ok()) err = appendRecord(guid, data, requeue);
  }
  const uint64_t sent = data.length;
  if (data.bytes.size() > KEPT_SEND_BUFFER) std::vector<unsigned char>().swap(data.bytes);
  if (err.failed()) {
    backupTransportAtomics().sendErrors++;
    OSLOG(err.errNo() == ENOENT ? 4 : -1, "%s: %s", err.text().c_str(), err.chain().c_str());
    return err;
  }
  bytes = static_cast<int64_t>(sent);
  streamNumber = stream;
  OSLOG(5, "job [%" PRIu64 "] sent [%s] (%" PRIu64 " bytes) on stream %d", settings_.jobId,
        guid.c_str(), sent, stream);
  return CZnError::Success;
}

CZnError BackupJob::readSegmentData(const std::string& guid, DiskCache& diskCache,
                                    DiskCacheContext& context, SendBuffer& data,
                                    std::list<std::string>& requeue) {
  // Only the data section goes into the record. A read that fills the
  // buffer may have been cut short: it is read again into a larger one. A
  // segment without a data section (an extent never written) backs up as
  // zero bytes, which restores to the same thing.
  uint64_t want = std::max<uint64_t>(data.bytes.size(), FIRST_SEND_BUFFER);
  CZnError read;
  for (;;) {
    if (data.bytes.size() < want) data.bytes.resize(want);
    Section section;
    section.number = DATA_SECTION;
    section.buffer = data.bytes.data();
    section.bufferLength = data.bytes.size();
    std::vector<Section> sections{section};
    read = diskCache.readSections(context, guid, sections, true);
    data.length = read.ok() ? sections[0].size : 0;
    if (read.failed() || data.length < data.bytes.size() ||
        data.bytes.size() > AFILE_MAX_DATA_LENGTH)
      break;
    want = std::min<uint64_t>(2 * data.bytes.size(), AFILE_MAX_DATA_LENGTH + 1);
  }
  if (read.failed()) {
    const int code = read.errNo();
    if (code == ENOENT)
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "segment [%s] is not in the disk cache",
                                     guid.c_str());
    requeue.push_back(guid);
    if (code == EIO)
      return FXErrorUtil::ErrorWin32(FX_LOC, BACKUP_WIN32_BAD_SEGMENT, EIO,
                                     "segment [%s] is damaged: %s", guid.c_str(),
                                     read.chain().c_str());
    return FXErrorUtil::ErrorWin32(FX_LOC, BACKUP_WIN32_READ_FAULT, code,
                                   "can't read segment [%s]: %s: %s", guid.c_str(),
                                   read.text().c_str(), read.chain().c_str());
  }
  if (data.length > AFILE_MAX_DATA_LENGTH) {
    requeue.push_back(guid);
    return FXErrorUtil::ErrorWin32(FX_LOC, BACKUP_WIN32_READ_FAULT, EFBIG,
                                   "segment [%s] holds more than a record may (%" PRIu64 " bytes)",
                                   guid.c_str(), AFILE_MAX_DATA_LENGTH);
  }
  return CZnError::Success;
}

CZnError BackupJob::appendRecord(const std::string& guid, const SendBuffer& data,
                                 std::list<std::string>& requeue) {
  auto onAppended = [&](const AfileAppend& placed) {
    HxCriticalSectionGuard guard(mutex_);
    pending_.push_back(PendingRecord{guid, placed, SteadyClock::now()});
    // The commit thread sleeps without a deadline while nothing is pending.
    if (pending_.size() == 1 || pending_.size() >= settings_.commitBatch) wakeCommit_.notify_one();
  };
  CZnError err = writer_->append(guid, data.bytes.data(), data.length, onAppended);
  if (err.failed()) {
    requeue.push_back(guid);
    return err.Push(FX_LOC, "Error: can't back up [%s]", guid.c_str());
  }
  return CZnError::Success;
}

void BackupJob::commitThreadMain() {
  pthread_setname_np(pthread_self(), "afile-commit");
  const auto interval = std::chrono::milliseconds(settings_.commitIntervalMs);
  std::unique_lock<HxCriticalSection> lock(mutex_);
  for (;;) {
    if (pending_.empty()) {
      if (stopCommit_) break;
      wakeCommit_.wait(lock);
      continue;
    }
    if (!stopCommit_ && pending_.size() < settings_.commitBatch) {
      const auto deadline = pending_.front().written + interval;
      if (SteadyClock::now() < deadline) {
        wakeCommit_.wait_until(lock, deadline);
        continue;
      }
    }
    std::vector<PendingRecord> batch;
    batch.swap(pending_);
    lock.unlock();
    commitBatch(batch);
    lock.lock();
  }
}

void BackupJob::commitBatch(std::vector<PendingRecord>& batch) {
  if (uint32_t delayMs = BackupTransportFaults::commitDelayMs())
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));

  // 1. Durable: each afile of the batch once.
  std::map<const AfileHandle*, bool> durable;
  for (const PendingRecord& record : batch) {
    const AfileHandle* afile = record.placed.afile.get();
    if (durable.count(afile) != 0) continue;
    CZnError err = record.placed.afile->sync();
    if (err.failed()) OSLOG_ERR(err);
    durable[afile] = err.ok();
  }

  // 2. Located: the index learns where each record lies, in file order, so
  // that a segment sent twice ends up at its newest record. One transaction
  // for the batch; if it fails, each record on its own, so that one bad
  // record does not hold the others back.
  std::list<std::string> committed;
  std::list<std::string> failed;
  std::vector<const PendingRecord*> toLocate;
  std::vector<index_iface::BackupLocation> locations;
  auto locationFailed = [&](const PendingRecord& record, int rc) {
    OSLOG(-1,
          "Error: can't record the backup location of [%s] (afile %" PRIu64 " offset %" PRIu64
          "): %s",
          record.guid.c_str(), record.placed.afileId, record.placed.offset, errnoName(rc));
    failed.push_back(record.guid);
  };
  for (const PendingRecord& record : batch) {
    if (!durable[record.placed.afile.get()]) {
      failed.push_back(record.guid);
    } else if (BackupTransportFaults::takeLocationFailure()) {
      locationFailed(record, EIO);
    } else {
      toLocate.push_back(&record);
      locations.push_back({record.guid, static_cast<int64_t>(record.placed.afileId),
                           static_cast<int64_t>(record.placed.offset)});
    }
  }
  const bool together = !locations.empty() && index_->set_backup_locations(locations) == 0;
  for (const PendingRecord* record : toLocate) {
    const AfileAppend& placed = record->placed;
    const int rc = together ? 0
                            : index_->set_backup_location(record->guid,
                                                          static_cast<int64_t>(placed.afileId),
                                                          static_cast<int64_t>(placed.offset));
    if (rc != 0) {
      locationFailed(*record, rc);
    } else {
      committed.push_back(record->guid);
    }
  }
  // The locations must survive a power loss before anyone is told.
  if (!committed.empty()) index_->flush();

  BackupTransportAtomics& counters = backupTransportAtomics();
  counters.commitFailures += failed.size();
  ChunkCommitCallBkp_t callback = nullptr;
  void* context = nullptr;
  {
    HxCriticalSectionGuard guard(mutex_);
    callback = callback_;
    context = callbackContext_;
    notCommitted_.insert(notCommitted_.end(), failed.begin(), failed.end());
  }
  if (committed.empty()) return;
  counters.commits++;
  counters.itemsCommitted += committed.size();
  OSLOG(5, "job [%" PRIu64 "] committed %zu items", settings_.jobId, committed.size());
  if (callback == nullptr) {
    OSLOG(1, "backup job [%" PRIu64 "] committed %zu items with no callback registered",
          settings_.jobId, committed.size());
    return;
  }
  callback(static_cast<unsigned int>(settings_.jobId), std::move(committed), context);
}

bool BackupJob::shutdown(std::list<std::string>& notCommitted) {
  std::lock_guard<std::mutex> ending(endMutex_);
  {
    std::unique_lock<HxCriticalSection> lock(mutex_);
    if (ended_) return false;
    ending_ = true;
    sendsDone_.wait(lock, [this] { return activeSends_ == 0; });
    stopCommit_ = true;
    wakeCommit_.notify_all();
  }
  // The commit thread drains everything still pending before it exits.
  if (commitThread_.joinable()) commitThread_.join();
  HxCriticalSectionGuard guard(mutex_);
  notCommitted.splice(notCommitted.end(), notCommitted_);
  ended_ = true;
  return true;
}

CZnError BackupJob::endBackup(std::list<std::string>& requeue, bool itemsUncommitted) {
  std::list<std::string> notCommitted;
  if (!shutdown(notCommitted)) return CZnError::Success;  // ended before
  std::list<std::string> injected;
  if (BackupTransportFaults::takeEndBackupFailure(injected))
    notCommitted.splice(notCommitted.end(), injected);
  backupTransportAtomics().jobsEnded++;
  OSLOG(1, "backup job [%" PRIu64 "] ended: %zu items to send again, caller waits for commits: %d",
        settings_.jobId, notCommitted.size(), itemsUncommitted ? 1 : 0);
  if (notCommitted.empty()) return CZnError::Success;
  const size_t count = notCommitted.size();
  requeue.splice(requeue.end(), notCommitted);
  return FXErrorUtil::ErrorWin32(FX_LOC, BACKUP_WIN32_REQUEUE, EIO,
                                 "backup job [%" PRIu64 "]: %zu items were not committed",
                                 settings_.jobId, count);
}

}  // namespace ObjectStore
