// AfileWriter: appends records to one subclient's afiles (format:
// platform/restore/AfileFormat.h) and makes them durable on request.
//
// One writer per afile directory in the process (BackupInterface shares it
// between the jobs of a share), and one process per directory: open() takes
// an exclusive flock on <dir>/LOCK and fails with EBUSY while another
// process holds it.
//
// Appends are serialised by the writer's lock; each lands at the end of the
// current afile in one positioned write. When the current afile would grow
// past the size limit (and already holds a record) it is synced and the next
// afile is started; a new afile's header and directory entry are made
// durable before any record goes into it. So after a crash only the newest
// afile can end in an unfinished record.
//
// Durability is separate from appending: append() hands back the record's
// location and the AfileHandle it went into, and the caller (the job's
// commit thread) calls AfileHandle::sync() before publishing the location.
// A failed sync marks the afile broken: none of its records written since the
// last good sync may be published (the kernel may have dropped them and a
// later sync could wrongly succeed), and the writer moves on to a new afile.
//
// Recovery (open): the newest afile is scanned record by record (header
// checks only). If it ends in an unfinished record and no valid record header
// follows the break, the unfinished tail is cut off and appends continue at
// the end of the last whole record. If a valid record follows the break, the
// damage is not a crash tail: the afile is left untouched and appends start
// a new afile. An afile too short to hold its header is rewritten (it can
// hold no record); one with a damaged header is set aside likewise.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/support/CZnError.h"
#include "platform/support/HxCriticalSection.h"

namespace ObjectStore {

// One afile that has been appended to. Shared by the writer (while it is the
// current afile) and by every pending record in it; the descriptor closes
// with the last reference.
class AfileHandle {
 public:
  AfileHandle(int fd, uint64_t afileId, std::string path, uint64_t writtenEnd);
  ~AfileHandle();
  AfileHandle(const AfileHandle&) = delete;
  AfileHandle& operator=(const AfileHandle&) = delete;

  uint64_t afileId() const { return afileId_; }
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

  // Makes every byte appended so far durable (fdatasync, skipped when
  // nothing was appended since the last good sync). EIO, or the sync's errno,
  // for a broken afile. Thread-safe.
  CZnError sync();
  bool broken() const { return broken_.load(); }
  void markBroken() { broken_ = true; }
  // Records that bytes up to `end` have been written (by the writer).
  void noteWritten(uint64_t end);

 private:
  const int fd_;
  const uint64_t afileId_;
  const std::string path_;
  std::atomic<uint64_t> writtenEnd_;
  std::atomic<bool> broken_{false};
  std::mutex syncMutex_;    // one fdatasync at a time; guards syncedEnd_
  uint64_t syncedEnd_ = 0;  // bytes known durable
};

// Where one append went.
struct AfileAppend {
  uint64_t afileId = 0;
  uint64_t offset = 0;       // of the record header
  uint64_t recordBytes = 0;  // header + name + data
  std::shared_ptr<AfileHandle> afile;
};

// What open() found in the newest afile.
struct AfileRecovery {
  uint64_t afileId = 0;   // 0: there was no afile
  uint64_t records = 0;   // whole records found
  uint64_t validEnd = 0;  // end of the last whole record
  uint64_t cutBytes = 0;  // unfinished tail removed
  bool setAside = false;  // damaged beyond a crash tail: left as is, not appended to
};

class AfileWriter {
 public:
  AfileWriter(std::string afileDir, uint64_t subclient, uint64_t maxAfileBytes);
  ~AfileWriter();
  AfileWriter(const AfileWriter&) = delete;
  AfileWriter& operator=(const AfileWriter&) = delete;

  // Creates the directory when missing, takes the directory lock and
  // recovers the newest afile. Must succeed before append().
  CZnError open();

  // Appends one record. name: 1..AFILE_MAX_NAME_LENGTH bytes (EINVAL
  // otherwise); length at most AFILE_MAX_DATA_LENGTH (EFBIG otherwise).
  // onAppended runs under the writer's lock after the write succeeded, so
  // that its callers see appends in file order. On a failed write the afile
  // is cut back to where the record began (or, if that fails too, left
  // behind for a new afile); nothing is appended.
  CZnError append(const std::string& name, const void* data, uint64_t length,
                  const std::function<void(const AfileAppend&)>& onAppended);

  void setMaxAfileBytes(uint64_t maxAfileBytes);
  const std::string& afileDir() const { return afileDir_; }
  uint64_t subclient() const { return subclient_; }
  const AfileRecovery& recovery() const { return recovery_; }
  // The current afile's id (0 before the first one exists).
  uint64_t currentAfileId();

 private:
  CZnError lockDirectory();
  CZnError recoverNewest(uint64_t afileId);
  CZnError startAfile(uint64_t afileId) OS_REQUIRES(mutex_);

  const std::string afileDir_;
  const uint64_t subclient_;
  int lockFd_ = -1;
  AfileRecovery recovery_;
  HxCriticalSection mutex_;  // serialises appends; held during the write
  uint64_t maxAfileBytes_ OS_GUARDED_BY(mutex_);
  std::shared_ptr<AfileHandle> current_ OS_GUARDED_BY(mutex_);
  uint64_t currentEnd_ OS_GUARDED_BY(mutex_) = 0;  // where the next record goes
  uint64_t newestId_ OS_GUARDED_BY(mutex_) = 0;    // highest afile id on disk
};

}  // namespace ObjectStore
