// The backup transport: backup jobs that append segment data to the backup
// target's afiles, make it durable, record where it lies in the share's
// index, and then report it committed.
//
// Target. Each share (subclient) writes numbered, append-only afiles in its
// own directory below the backup target; one record per sent segment holds
// the segment name, its data section and CRC-32C checksums. The exact layout
// and the crash rules are in platform/restore/AfileFormat.h (the restore
// library reads the same records back by afile id and offset).
//
// A job, as its caller drives it:
//   getController(jobInfo, controller, false)   start a job for jobInfo->subclient
//   controller->setCallBack(fn, context)        who hears about commits
//   controller->sendItem(guid, ...)             from any number of threads
//   controller->endBackup(requeue, flag)        commit the rest, end the job
//
// Commit. A sent record is committed in batches by the job's own commit
// thread: when nBackupCommitBatch records are pending, or
// nBackupCommitIntervalMs after the oldest pending one was written, and at
// endBackup. For each batch: every afile holding a record of the batch is
// made durable (fdatasync); each record's location is recorded in the
// share's index (index_iface::set_backup_location) and the index flushed
// (a location that a power loss could take back must not be reported, or
// the committed segment could be pruned with no way to restore it); only
// then is the callback called, on the commit thread, with the GUIDs of
// the batch in the order they were written, each once per send. A record
// whose afile could not be made durable, or whose location the index
// refused, is not committed: the job keeps its GUID and the job's endBackup
// fails with BACKUP_WIN32_REQUEUE (258, errno EIO) naming it, so that the
// caller queues it again and the next job sends it again. (Merely leaving it
// uncommitted would also be safe, but its bytes would then wait for the
// store's next start, when its journal is replayed.) Such a GUID is never
// reported to the callback by this job.
//
// Configuration (section "~Rora", read when a job starts):
//   nBackupCommitBatch        records per commit batch (default 64)
//   nBackupCommitIntervalMs   longest wait before pending records commit (200)
//   nBackupAfileMaxKiB        afile size after which a new afile starts (65536)
//
// Share registry (our own addition to the transport's interface): the
// container tells the transport, per share, where its backup target and its
// index are (registerShareIndex); a job can only start for a registered share.
//
// Thread safety: every function and method may be called from any thread.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "platform/backup/BackupTransportCounters.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {
class DiskCache;
struct DiskCacheContext;
class index_iface;
}  // namespace ObjectStore

namespace OBJECTOPSAPI {

// A job's description. The caller fills it; getController updates some
// fields (see each), so a caller that retries resets them first.
struct JobInfo {
  JobInfo(int streamCount, int backupLevel, uint64_t jobId, const std::string& jobText, int opType,
          uint64_t subclient, int jobFlags);

  // Streams wanted. getController caps it at BACKUP_MAX_STREAMS and writes
  // back what the job got; 0 or less starts a job without streams
  // (BACKUP_ERR_NO_STREAMS).
  int streamCount;
  // Recorded and logged; the transport has one kind of backup.
  int backupLevel;
  // Filled by getController: the job's id (unique in the process).
  uint64_t jobId;
  // Filled by getController: a description of the job for messages.
  std::string jobText;
  // Recorded and logged.
  int opType;
  // The share whose registered backup target and index the job uses.
  uint64_t subclient;
  // Recorded and logged.
  int jobFlags;
};

}  // namespace OBJECTOPSAPI

namespace ObjectStore {

// The commit callback: (the job's id, low 32 bits; the committed GUIDs;
// the context given to setCallBack).
using ChunkCommitCallBkp_t = void (*)(unsigned int, std::list<std::string>, void*);

// Codes of the transport's errors that callers act on.
// errno-style: the job was started but got no streams; the caller must end
// the job it was handed (endBackup) and may retry later.
inline constexpr int BACKUP_ERR_NO_STREAMS = 5006;
// Win32-style: the segment could not be read as a segment (the disk cache
// reports it damaged); the GUID is named for requeue. errno EIO.
inline constexpr uint32_t BACKUP_WIN32_BAD_SEGMENT = 1462;
// Win32-style: reading the segment failed in another way (or its data cannot
// be one record); the GUID is named for requeue.
inline constexpr uint32_t BACKUP_WIN32_READ_FAULT = 30;
// Win32-style, from endBackup: these GUIDs were not committed; queue them
// again. errno EIO.
inline constexpr uint32_t BACKUP_WIN32_REQUEUE = 258;
// The most streams a job gets.
inline constexpr int BACKUP_MAX_STREAMS = 50;

// Prepares the backup target directory: creates it when missing and checks
// that a file can be created in it. Remembers it as the process's default
// target (used by shares registered without a directory). True when usable.
bool initBackupInterace(const std::string& backupDir);

// Registers (or replaces) a share: its index, where committed locations are
// recorded, and its backup target (empty: the default target). Jobs already
// running keep what they started with.
void registerShareIndex(uint64_t subclient, std::shared_ptr<index_iface> index,
                        const std::string& backupDir);
// Forgets a share; running jobs are not affected. Unknown subclients are ignored.
void unregisterShareIndex(uint64_t subclient);

// One backup job. Methods are virtual so that a test can wrap a job (hold the
// real one and forward) to observe or alter single calls.
class BackupInterface {
 public:
  virtual ~BackupInterface();

  // Starts a job for jobInfo->subclient. Success: controller is the new job.
  // BACKUP_ERR_NO_STREAMS: controller is a job without streams that the
  // caller must end. Other errors leave controller as it was: EINVAL (no
  // jobInfo, no usable target), ENOENT (share not registered), EBUSY (the
  // share's afiles are being written by another process), or the I/O error
  // met while preparing the afiles. `reserved` is ignored.
  static CZnError getController(std::shared_ptr<OBJECTOPSAPI::JobInfo> jobInfo,
                                std::shared_ptr<BackupInterface>& controller, bool reserved);

  // Sets the commit callback and its context (which must outlive the job).
  virtual CZnError setCallBack(ChunkCommitCallBkp_t callback, void* context) = 0;

  // Reads the data section (number 1) of segment `guid` through the disk
  // cache with the caller's context and appends it as one record. Success:
  // bytes = the data's length, streamNumber = the stream (0..streams-1) that
  // carried it; the GUID is reported to the callback once committed.
  // Failure: bytes 0; requeue names the GUIDs to queue again. ENOENT (errno,
  // empty requeue): the segment is not in the disk cache. Win32
  // BACKUP_WIN32_BAD_SEGMENT (errno EIO): the disk cache reports the segment
  // damaged. Win32 BACKUP_WIN32_READ_FAULT: another read failure, or data
  // larger than a record may hold (EFBIG). Other errno: the job has ended or
  // has no streams (EINVAL), or writing the afile failed (its errno).
  virtual CZnError sendItem(const char* guid, std::list<std::string>& requeue, int64_t& bytes,
                            int& streamNumber, DiskCache& diskCache, DiskCacheContext& context) = 0;

  // Ends the job: waits for sends in progress, commits every pending record
  // (callbacks included) and stops the commit thread. Success, or
  // BACKUP_WIN32_REQUEUE (errno EIO) with requeue naming every GUID this job
  // sent but could not commit. itemsUncommitted (the caller still waits for
  // commits) is only logged: everything this job accepted is committed or
  // named here by the time it returns. A second call returns success.
  virtual CZnError endBackup(std::list<std::string>& requeue, bool itemsUncommitted) = 0;

  // The job's id (as put into JobInfo::jobId).
  virtual uint64_t jobId() const = 0;
};

// Forwards every call to another job. A test derives from it and overrides
// the one call it wants to observe or fail, keeping the real behaviour of
// the rest.
class BackupInterfaceWrapper : public BackupInterface {
 public:
  explicit BackupInterfaceWrapper(std::shared_ptr<BackupInterface> target)
      : target_(std::move(target)) {}

  CZnError setCallBack(ChunkCommitCallBkp_t callback, void* context) override {
    return target_->setCallBack(callback, context);
  }
  CZnError sendItem(const char* guid, std::list<std::string>& requeue, int64_t& bytes,
                    int& streamNumber, DiskCache& diskCache, DiskCacheContext& context) override {
    return target_->sendItem(guid, requeue, bytes, streamNumber, diskCache, context);
  }
  CZnError endBackup(std::list<std::string>& requeue, bool itemsUncommitted) override {
    return target_->endBackup(requeue, itemsUncommitted);
  }
  uint64_t jobId() const override { return target_->jobId(); }

  const std::shared_ptr<BackupInterface>& target() const { return target_; }

 private:
  std::shared_ptr<BackupInterface> target_;
};

}  // namespace ObjectStore
