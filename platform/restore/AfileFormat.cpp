#include "platform/restore/AfileFormat.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/restore/Crc32c.h"

namespace ObjectStore {

namespace {

// Bytes of the file header covered by its checksum (all but the checksum).
constexpr size_t FILE_HEADER_CRC_SPAN = offsetof(AfileFileHeader, headerCrc);
constexpr size_t RECORD_HEADER_CRC_SPAN = offsetof(AfileRecordHeader, headerCrc);

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buffer[256];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buffer, sizeof(buffer), fmt, args);
  va_end(args);
  return buffer;
}

}  // namespace

std::string afileDirectory(const std::string& backupDir, uint64_t subclient) {
  return backupDir + "/" + std::to_string(subclient);
}

std::string afileName(uint64_t afileId) {
  char name[40];
  snprintf(name, sizeof(name), "%s%06" PRIu64, AFILE_NAME_PREFIX, afileId);
  return name;
}

std::string afilePath(const std::string& afileDir, uint64_t afileId) {
  return afileDir + "/" + afileName(afileId);
}

bool parseAfileName(const std::string& name, uint64_t& afileId) {
  const size_t prefixLength = strlen(AFILE_NAME_PREFIX);
  if (name.size() <= prefixLength || name.compare(0, prefixLength, AFILE_NAME_PREFIX) != 0)
    return false;
  uint64_t id = 0;
  for (size_t i = prefixLength; i < name.size(); ++i) {
    const char c = name[i];
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (id > (UINT64_MAX - digit) / 10) return false;  // more than 64 bits: not ours
    id = id * 10 + digit;
  }
  // Only the canonical spelling counts, so that one id never has two files.
  if (id == 0 || afileName(id) != name) return false;
  afileId = id;
  return true;
}

int listAfiles(const std::string& afileDir, std::vector<uint64_t>& ids) {
  ids.clear();
  DIR* dir = opendir(afileDir.c_str());
  if (dir == nullptr) return errno;
  errno = 0;
  while (struct dirent* entry = readdir(dir)) {
    uint64_t id = 0;
    if (parseAfileName(entry->d_name, id)) ids.push_back(id);
  }
  const int readError = errno;
  closedir(dir);
  if (readError != 0) return readError;
  std::sort(ids.begin(), ids.end());
  return 0;
}

AfileFileHeader makeFileHeader(uint64_t subclient, uint64_t afileId) {
  AfileFileHeader header{};
  header.magic = AFILE_MAGIC;
  header.version = AFILE_FORMAT_VERSION;
  header.headerSize = static_cast<uint16_t>(sizeof(AfileFileHeader));
  header.subclient = subclient;
  header.afileId = afileId;
  header.reserved = 0;
  header.headerCrc = crc32c(&header, FILE_HEADER_CRC_SPAN);
  return header;
}

std::string checkFileHeader(const AfileFileHeader& header, uint64_t subclient, uint64_t afileId) {
  if (header.magic != AFILE_MAGIC) return format("bad afile magic 0x%08x", header.magic);
  if (header.headerCrc != crc32c(&header, FILE_HEADER_CRC_SPAN))
    return "afile header checksum mismatch";
  if (header.version != AFILE_FORMAT_VERSION)
    return format("unsupported afile version %u", static_cast<unsigned>(header.version));
  if (header.headerSize != sizeof(AfileFileHeader))
    return format("unexpected afile header size %u", static_cast<unsigned>(header.headerSize));
  if (header.subclient != subclient || header.afileId != afileId)
    return format("afile belongs to subclient %" PRIu64 " afile %" PRIu64
                  ", expected subclient %" PRIu64 " afile %" PRIu64,
                  header.subclient, header.afileId, subclient, afileId);
  return "";
}

uint32_t recordHeaderCrc(const AfileRecordHeader& header, const char* name, size_t nameLength) {
  uint32_t crc = crc32c(&header, RECORD_HEADER_CRC_SPAN);
  return crc32cExtend(crc, name, nameLength);
}

AfileRecordHeader makeRecordHeader(const std::string& name, const void* data, uint64_t dataLength) {
  AfileRecordHeader header{};
  header.magic = AFILE_RECORD_MAGIC;
  header.version = AFILE_FORMAT_VERSION;
  header.nameLength = static_cast<uint16_t>(name.size());
  header.dataLength = dataLength;
  header.dataCrc = crc32c(data, dataLength);
  header.headerCrc = recordHeaderCrc(header, name.data(), name.size());
  return header;
}

std::string checkRecordHeaderFields(const AfileRecordHeader& header, uint64_t offset,
                                    uint64_t fileSize) {
  if (header.magic != AFILE_RECORD_MAGIC) return format("bad record magic 0x%08x", header.magic);
  if (header.version != AFILE_FORMAT_VERSION)
    return format("unsupported record version %u", static_cast<unsigned>(header.version));
  if (header.nameLength == 0 || header.nameLength > AFILE_MAX_NAME_LENGTH)
    return format("bad segment name length %u", static_cast<unsigned>(header.nameLength));
  if (header.dataLength > AFILE_MAX_DATA_LENGTH)
    return format("bad data length %" PRIu64, header.dataLength);
  if (offset < AFILE_FILE_HEADER_SIZE || offset > fileSize ||
      recordSize(header) > fileSize - offset)
    return format("record of %" PRIu64 " bytes at offset %" PRIu64
                  " runs past the end of the afile (%" PRIu64 " bytes)",
                  recordSize(header), offset, fileSize);
  return "";
}

int preadFull(int fd, void* buffer, uint64_t length, uint64_t offset) {
  char* p = static_cast<char*>(buffer);
  while (length > 0) {
    ssize_t n = pread(fd, p, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    length -= static_cast<uint64_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return 0;
}

}  // namespace ObjectStore
