#include "platform/backup/AfileWriter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "platform/backup/BackupTransportCounters.h"
#include "platform/backup/BackupTransportFaults.h"
#include "platform/restore/AfileFormat.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {

namespace {

// How much of a damaged afile is read at a time while looking for a valid
// record beyond the damage.
constexpr uint64_t SCAN_CHUNK_BYTES = 1024 * 1024;

// Writes every byte of iov at offset, continuing after short writes.
int pwritevFull(int fd, struct iovec* iov, int count, uint64_t offset) {
  while (count > 0) {
    ssize_t n = pwritev(fd, iov, count, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    offset += static_cast<uint64_t>(n);
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + done;
      iov->iov_len -= done;
    }
  }
  return 0;
}

// True when a record whose header and name check out starts at pos and ends
// within the file; recordBytes is then its size. The data is not checked:
// recovery only needs to know where whole records end.
bool validRecordAt(int fd, uint64_t pos, uint64_t fileSize, uint64_t& recordBytes) {
  if (pos > fileSize || fileSize - pos < AFILE_RECORD_HEADER_SIZE) return false;
  char head[AFILE_RECORD_HEADER_SIZE + AFILE_MAX_NAME_LENGTH];
  const uint64_t length = std::min<uint64_t>(sizeof(head), fileSize - pos);
  if (preadFull(fd, head, length, pos) != 0) return false;
  AfileRecordHeader header{};
  std::memcpy(&header, head, sizeof(header));
  if (!checkRecordHeaderFields(header, pos, fileSize).empty()) return false;
  if (header.headerCrc != recordHeaderCrc(header, head + sizeof(header), header.nameLength))
    return false;
  recordBytes = recordSize(header);
  return true;
}

// True when a valid record starts anywhere in [from, fileSize).
bool validRecordFollows(int fd, uint64_t from, uint64_t fileSize) {
  const uint32_t magic = AFILE_RECORD_MAGIC;
  std::vector<char> chunk;
  uint64_t start = from;
  while (start + AFILE_RECORD_HEADER_SIZE <= fileSize) {
    const uint64_t length = std::min<uint64_t>(SCAN_CHUNK_BYTES, fileSize - start);
    chunk.resize(length);
    if (preadFull(fd, chunk.data(), length, start) != 0) return false;
    for (uint64_t i = 0; i + sizeof(magic) <= length; ++i) {
      if (std::memcmp(chunk.data() + i, &magic, sizeof(magic)) != 0) continue;
      uint64_t recordBytes = 0;
      if (validRecordAt(fd, start + i, fileSize, recordBytes)) return true;
    }
    // Overlap by the magic's length less one so that no position is missed.
    start += length - (sizeof(magic) - 1);
  }
  return false;
}

}  // namespace

// ---- AfileHandle ----

AfileHandle::AfileHandle(int fd, uint64_t afileId, std::string path, uint64_t writtenEnd)
    : fd_(fd), afileId_(afileId), path_(std::move(path)), writtenEnd_(writtenEnd) {}

AfileHandle::~AfileHandle() { close(fd_); }

void AfileHandle::noteWritten(uint64_t end) {
  uint64_t seen = writtenEnd_.load();
  while (seen < end && !writtenEnd_.compare_exchange_weak(seen, end)) {
  }
}

CZnError AfileHandle::sync() {
  std::lock_guard<std::mutex> guard(syncMutex_);
  if (broken_)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "afile [%s] failed to sync before", path_.c_str());
  const uint64_t target = writtenEnd_.load();
  if (target <= syncedEnd_) return CZnError::Success;
  int code = 0;
  if (BackupTransportFaults::takeAfileSyncFailure())
    code = EIO;
  else if (fdatasync(fd_) != 0)
    code = errno;
  if (code != 0) {
    // After a failed fdatasync the kernel may have dropped the dirty pages
    // and a retry could report success for data that is gone.
    broken_ = true;
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "can't sync afile [%s]: %s", path_.c_str(),
                                   strerror(code));
  }
  syncedEnd_ = target;
  backupTransportAtomics().afileSyncs++;
  return CZnError::Success;
}

// ---- AfileWriter ----

AfileWriter::AfileWriter(std::string afileDir, uint64_t subclient, uint64_t maxAfileBytes)
    : afileDir_(std::move(afileDir)), subclient_(subclient), maxAfileBytes_(maxAfileBytes) {}

AfileWriter::~AfileWriter() {
  {
    HxCriticalSectionGuard guard(mutex_);
    current_.reset();
  }
  if (lockFd_ >= 0) close(lockFd_);  // releases the flock
}

void AfileWriter::setMaxAfileBytes(uint64_t maxAfileBytes) {
  HxCriticalSectionGuard guard(mutex_);
  maxAfileBytes_ = maxAfileBytes;
}

uint64_t AfileWriter::currentAfileId() {
  HxCriticalSectionGuard guard(mutex_);
  return current_ ? current_->afileId() : 0;
}

CZnError AfileWriter::lockDirectory() {
  const std::string path = afileDir_ + "/" + AFILE_LOCK_NAME;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    int code = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "can't open [%s]: %s", path.c_str(),
                                   strerror(code));
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int code = errno;
    close(fd);
    if (code == EWOULDBLOCK)
      return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "afiles in [%s] are written by another process",
                                     afileDir_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "can't lock [%s]: %s", path.c_str(),
                                   strerror(code));
  }
  lockFd_ = fd;
  return CZnError::Success;
}

CZnError AfileWriter::open() {
  if (lockFd_ >= 0) return CZnError::Success;
  int rc = createDir(afileDir_);
  if (rc != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "can't create afile directory [%s]: %s",
                                   afileDir_.c_str(), strerror(rc));
  CZnError err = lockDirectory();
  if (err.failed()) return err;
  std::vector<uint64_t> ids;
  rc = listAfiles(afileDir_, ids);
  if (rc != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "can't list afiles in [%s]: %s", afileDir_.c_str(),
                                   strerror(rc));
  if (ids.empty()) return CZnError::Success;
  return recoverNewest(ids.back());
}

CZnError AfileWriter::recoverNewest(uint64_t afileId) {
  HxCriticalSectionGuard guard(mutex_);
  newestId_ = afileId;
  recovery_ = AfileRecovery{};
  recovery_.afileId = afileId;
  const std::string path = afilePath(afileDir_, afileId);
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    int code = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "can't open afile [%s]: %s", path.c_str(),
                                   strerror(code));
  }
  auto handle = std::make_shared<AfileHandle>(fd, afileId, path, 0);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int code = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "can't stat afile [%s]", path.c_str());
  }
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);

  if (fileSize < AFILE_FILE_HEADER_SIZE) {
    // Created, but the crash came before its header was complete: it holds
    // no record, so it can simply be started again.
    const AfileFileHeader header = makeFileHeader(subclient_, afileId);
    struct iovec iov = {const_cast<AfileFileHeader*>(&header), sizeof(header)};
    int rc = ftruncate(fd, 0) == 0 ? pwritevFull(fd, &iov, 1, 0) : errno;
    if (rc != 0)
      return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "can't rewrite the header of afile [%s]",
                                     path.c_str());
    OSLOG(1, "afile [%s] had an incomplete header (%" PRIu64 " bytes); rewritten", path.c_str(),
          fileSize);
    backupTransportAtomics().tailRepairs++;
    recovery_.validEnd = AFILE_FILE_HEADER_SIZE;
    recovery_.cutBytes = fileSize;
    handle->noteWritten(AFILE_FILE_HEADER_SIZE);
    current_ = handle;
    currentEnd_ = AFILE_FILE_HEADER_SIZE;
    return CZnError::Success;
  }

  AfileFileHeader fileHeader{};
  std::string why = preadFull(fd, &fileHeader, sizeof(fileHeader), 0) == 0
                        ? checkFileHeader(fileHeader, subclient_, afileId)
                        : "header unreadable";
  if (!why.empty()) {
    OSLOG(-1, "Error: afile [%s] is damaged (%s); leaving it as it is and starting a new afile",
          path.c_str(), why.c_str());
    backupTransportAtomics().tailRepairs++;
    recovery_.setAside = true;
    return CZnError::Success;
  }

  uint64_t pos = AFILE_FILE_HEADER_SIZE;
  uint64_t recordBytes = 0;
  while (validRecordAt(fd, pos, fileSize, recordBytes)) {
    pos += recordBytes;
    recovery_.records++;
  }
  recovery_.validEnd = pos;
  if (pos < fileSize) {
    backupTransportAtomics().tailRepairs++;
    if (validRecordFollows(fd, pos + 1, fileSize)) {
      // Whole records beyond the break: this is damage, not an unfinished
      // append, and they may be published. Keep every byte.
      OSLOG(-1,
            "Error: afile [%s] is damaged at offset %" PRIu64
            " but holds records after it; leaving it as it is and starting a new afile",
            path.c_str(), pos);
      recovery_.setAside = true;
      return CZnError::Success;
    }
    // Nothing after the last whole record was ever made durable and
    // published, so the unfinished record can go.
    if (ftruncate(fd, static_cast<off_t>(pos)) != 0) {
      int code = errno;
      OSLOG(-1,
            "Error: can't cut the unfinished tail of afile [%s] at %" PRIu64
            " (%d); starting a new afile",
            path.c_str(), pos, code);
      recovery_.setAside = true;
      return CZnError::Success;
    }
    recovery_.cutBytes = fileSize - pos;
    OSLOG(1, "afile [%s]: cut %" PRIu64 " bytes of an unfinished record at offset %" PRIu64,
          path.c_str(), fileSize - pos, pos);
  }
  handle->noteWritten(pos);
  current_ = handle;
  currentEnd_ = pos;
  OSLOG(2, "afile [%s]: %" PRIu64 " records, appending at %" PRIu64, path.c_str(),
        recovery_.records, pos);
  return CZnError::Success;
}

CZnError AfileWriter::startAfile(uint64_t afileId) {
  const std::string path = afilePath(afileDir_, afileId);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int code = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "can't create afile [%s]: %s", path.c_str(),
                                   strerror(code));
  }
  AfileFileHeader header = makeFileHeader(subclient_, afileId);
  struct iovec iov = {&header, sizeof(header)};
  int rc = pwritevFull(fd, &iov, 1, 0);
  if (rc != 0) {
    close(fd);
    unlink(path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "can't start afile [%s]: %s", path.c_str(),
                                   strerror(rc));
  }
  auto handle = std::make_shared<AfileHandle>(fd, afileId, path, AFILE_FILE_HEADER_SIZE);
  // The header and the directory entry are durable before any record goes
  // in, so that a crash can only ever leave an afile with a torn last record.
  CZnError err = handle->sync();
  rc = err.ok() ? syncDir(afileDir_) : err.errNo();
  if (rc != 0) {
    handle.reset();
    unlink(path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "can't start afile [%s]: %s", path.c_str(),
                                   strerror(rc));
  }
  current_ = std::move(handle);
  currentEnd_ = AFILE_FILE_HEADER_SIZE;
  newestId_ = afileId;
  backupTransportAtomics().afilesCreated++;
  OSLOG(2, "started afile [%s]", path.c_str());
  return CZnError::Success;
}

CZnError AfileWriter::append(const std::string& name, const void* data, uint64_t length,
                             const std::function<void(const AfileAppend&)>& onAppended) {
  if (name.empty() || name.size() > AFILE_MAX_NAME_LENGTH)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "bad segment name length %zu", name.size());
  if (length > AFILE_MAX_DATA_LENGTH)
    return FXErrorUtil::ErrorErrNo(
        FX_LOC, EFBIG, "segment [%s] of %" PRIu64 " bytes is larger than a record may be",
        name.c_str(), length);
  if (lockFd_ < 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "afile writer for [%s] is not open",
                                   afileDir_.c_str());
  // Checksumming the data is the costly part of an append; do it before
  // taking the lock so that parallel senders only queue for the write.
  AfileRecordHeader header = makeRecordHeader(name, data, length);
  const uint64_t recordBytes = recordSize(header);

  HxCriticalSectionGuard guard(mutex_);
  const bool full =
      currentEnd_ > AFILE_FILE_HEADER_SIZE && currentEnd_ + recordBytes > maxAfileBytes_;
  if (!current_ || current_->broken() || full) {
    if (current_ && full) {
      // An afile is complete on disk before the next one starts: a crash can
      // then leave an unfinished record only in the newest afile, which is
      // the one recovery examines. A failure here marks the afile broken,
      // which keeps its unsynced records from being committed.
      CZnError syncErr = current_->sync();
      if (syncErr.failed()) OSLOG_ERR(syncErr);
    }
    CZnError err = startAfile(newestId_ + 1);
    if (err.failed()) return err;
  }
  struct iovec iov[3] = {{&header, sizeof(header)},
                         {const_cast<char*>(name.data()), name.size()},
                         {const_cast<void*>(data), length}};
  int rc = pwritevFull(current_->fd(), iov, 3, currentEnd_);
  if (rc != 0) {
    // Leave no partial record behind for the next append to follow.
    if (ftruncate(current_->fd(), static_cast<off_t>(currentEnd_)) != 0) current_->markBroken();
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "can't append [%s] to afile [%s]: %s", name.c_str(),
                                   current_->path().c_str(), strerror(rc));
  }
  // Start writing the record out now, so that the commit's sync finds
  // little left to do and the disk works while the next records are made.
  // Only a hint: the sync before the commit is what makes the record durable.
  (void)sync_file_range(current_->fd(), static_cast<off64_t>(currentEnd_),
                        static_cast<off64_t>(recordBytes), SYNC_FILE_RANGE_WRITE);
  AfileAppend placed;
  placed.afileId = current_->afileId();
  placed.offset = currentEnd_;
  placed.recordBytes = recordBytes;
  placed.afile = current_;
  currentEnd_ += recordBytes;
  current_->noteWritten(currentEnd_);
  backupTransportAtomics().recordsWritten++;
  backupTransportAtomics().bytesWritten += length;
  if (onAppended) onAppended(placed);
  return CZnError::Success;
}

}  // namespace ObjectStore
