#include "platform/restore/AfileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "platform/restore/AfileFormat.h"
#include "platform/restore/Crc32c.h"

namespace ObjectStore {

struct AfileReader::OpenAfile {
  explicit OpenAfile(int descriptor) : fd(descriptor) {}
  ~OpenAfile() { close(fd); }
  OpenAfile(const OpenAfile&) = delete;
  OpenAfile& operator=(const OpenAfile&) = delete;
  const int fd;
};

AfileReader::AfileReader(std::string afileDir, uint64_t subclient, size_t maxOpenAfiles)
    : afileDir_(std::move(afileDir)),
      subclient_(subclient),
      maxOpenAfiles_(maxOpenAfiles == 0 ? 1 : maxOpenAfiles) {}

AfileReader::~AfileReader() = default;

size_t AfileReader::openAfiles() const {
  HxCriticalSectionGuard guard(mutex_);
  return cache_.size();
}

CZnError AfileReader::openAfile(uint64_t afileId, std::shared_ptr<OpenAfile>& afile) {
  const std::string path = afilePath(afileDir_, afileId);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int code = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "can't open afile [%s]: %s", path.c_str(),
                                   strerror(code));
  }
  auto opened = std::make_shared<OpenAfile>(fd);
  AfileFileHeader header{};
  int rc = preadFull(fd, &header, sizeof(header), 0);
  if (rc != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "can't read the header of afile [%s]: %s",
                                   path.c_str(), strerror(rc));
  std::string why = checkFileHeader(header, subclient_, afileId);
  if (!why.empty())
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "afile [%s]: %s", path.c_str(), why.c_str());
  afile = std::move(opened);
  return CZnError::Success;
}

CZnError AfileReader::acquire(uint64_t afileId, std::shared_ptr<OpenAfile>& afile) {
  {
    HxCriticalSectionGuard guard(mutex_);
    auto it = cache_.find(afileId);
    if (it != cache_.end()) {
      it->second.lastUse = ++useClock_;
      afile = it->second.afile;
      return CZnError::Success;
    }
  }
  // Opened outside the lock: a slow open must not stall reads of other afiles.
  // Two threads may open the same afile at once; the first insert wins.
  std::shared_ptr<OpenAfile> opened;
  CZnError err = openAfile(afileId, opened);
  if (err.failed()) return err;
  HxCriticalSectionGuard guard(mutex_);
  auto [it, inserted] = cache_.try_emplace(afileId, CacheEntry{opened, 0});
  it->second.lastUse = ++useClock_;
  afile = it->second.afile;
  if (inserted && cache_.size() > maxOpenAfiles_) {
    // Evicting only drops the cache's reference: a read still using the
    // descriptor keeps it open until it finishes.
    auto oldest = cache_.begin();
    for (auto candidate = cache_.begin(); candidate != cache_.end(); ++candidate)
      if (candidate->second.lastUse < oldest->second.lastUse) oldest = candidate;
    cache_.erase(oldest);
  }
  return CZnError::Success;
}

CZnError AfileReader::readRecord(uint64_t afileId, uint64_t offset, char* buffer, uint64_t capacity,
                                 uint64_t& dataLength, std::string* name) {
  dataLength = 0;
  std::shared_ptr<OpenAfile> afile;
  CZnError err = acquire(afileId, afile);
  if (err.failed()) return err;

  struct stat st {};
  if (fstat(afile->fd, &st) != 0) {
    int code = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "can't stat afile: %s", strerror(code));
  }
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  if (offset < AFILE_FILE_HEADER_SIZE || offset > fileSize ||
      fileSize - offset < AFILE_RECORD_HEADER_SIZE)
    return FXErrorUtil::ErrorErrNo(
        FX_LOC, EIO, "offset %" PRIu64 " is not a record of an afile of %" PRIu64 " bytes", offset,
        fileSize);

  // The header and the longest possible name in one read.
  char head[AFILE_RECORD_HEADER_SIZE + AFILE_MAX_NAME_LENGTH];
  const uint64_t headLength = std::min<uint64_t>(sizeof(head), fileSize - offset);
  int rc = preadFull(afile->fd, head, headLength, offset);
  if (rc != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "can't read record header: %s", strerror(rc));
  AfileRecordHeader header{};
  std::memcpy(&header, head, sizeof(header));
  std::string why = checkRecordHeaderFields(header, offset, fileSize);
  if (!why.empty()) return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "%s", why.c_str());
  const char* recordName = head + AFILE_RECORD_HEADER_SIZE;
  if (header.headerCrc != recordHeaderCrc(header, recordName, header.nameLength))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "record header checksum mismatch");
  if (header.dataLength > capacity)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EFBIG,
                                   "record data of %" PRIu64
                                   " bytes does not fit in a buffer of %" PRIu64 " bytes",
                                   header.dataLength, capacity);

  const uint64_t dataOffset = offset + AFILE_RECORD_HEADER_SIZE + header.nameLength;
  rc = preadFull(afile->fd, buffer, header.dataLength, dataOffset);
  if (rc == 0 && crc32c(buffer, header.dataLength) != header.dataCrc) rc = -1;
  if (rc != 0) {
    // Nothing of a record that failed its check may look like restored data.
    std::memset(buffer, 0, header.dataLength);
    if (rc < 0)
      return FXErrorUtil::ErrorErrNo(
          FX_LOC, EIO, "record data checksum mismatch (%" PRIu64 " bytes)", header.dataLength);
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "can't read record data: %s", strerror(rc));
  }
  dataLength = header.dataLength;
  if (name != nullptr) name->assign(recordName, header.nameLength);
  return CZnError::Success;
}

}  // namespace ObjectStore
