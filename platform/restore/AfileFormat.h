// The backup target's on-disk format: afiles and their records.
//
// Written by the backup transport (platform/backup, AfileWriter), read by the
// restore library (RestoreInterface). Both sides use only what is here.
//
// Directory layout
//   <backupDir>/<subclient>/afile_000001
//   <backupDir>/<subclient>/afile_000002 ...
//   <backupDir>/<subclient>/LOCK           (held by the one writer, flock)
// backupDir is the container's backup target (containerDir/backup); each
// share (subclient, decimal) has its own subdirectory. An afile is named
// "afile_" followed by its id in decimal, zero-padded to six digits (more
// digits once the id passes 999999). Ids start at 1 and only grow: the index
// treats an afile id of 0 as "no location".
//
// An afile
//   offset 0: AfileFileHeader (32 bytes): magic, version, its own size, the
//             subclient and the afile id (so that a file copied or renamed
//             into the wrong place is refused), a CRC-32C of bytes 0..27.
//   offset 32: records, back to back, no padding. A record never spans two
//             afiles; an afile is closed for appends (rotated) once it has
//             reached the writer's size limit (64 MiB by default).
//
// A record (its afile offset is the position of its header)
//   AfileRecordHeader (24 bytes): magic, version, name length, data length,
//       CRC-32C of the data, CRC-32C of header bytes 0..19 followed by the
//       name (so a damaged name or length is caught before the data is read);
//   the segment name (nameLength bytes, no terminator);
//   the data (dataLength bytes: the segment's data section).
// All integers are little-endian.
//
// Crash rules: records are appended and made durable (fdatasync) before the
// location of any of them is published, and an afile is made durable before
// the writer moves on to the next, so only the newest afile can end in an
// unfinished record after a crash. Nothing after its last whole record was
// ever published; the writer cuts it away when it next opens the afile (see
// AfileWriter). A record whose header is whole but whose data was lost stays
// in place, unreferenced: a restore of it fails its data checksum.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ObjectStore {

static_assert(std::endian::native == std::endian::little,
              "the afile format is little-endian and is read in place");

inline constexpr uint32_t AFILE_MAGIC = 0x4C494641u;         // "AFIL"
inline constexpr uint32_t AFILE_RECORD_MAGIC = 0x43455241u;  // "AREC"
inline constexpr uint16_t AFILE_FORMAT_VERSION = 1;
inline constexpr const char* AFILE_NAME_PREFIX = "afile_";
inline constexpr const char* AFILE_LOCK_NAME = "LOCK";
// Segment names are GUID-derived (a few dozen characters); the bound keeps a
// damaged length from making a reader allocate or read much.
inline constexpr uint16_t AFILE_MAX_NAME_LENGTH = 255;
// One record holds one segment's data, which the store restores into a single
// buffer of at most 1 GiB.
inline constexpr uint64_t AFILE_MAX_DATA_LENGTH = 1073741824ull;
inline constexpr uint64_t AFILE_DEFAULT_MAX_BYTES = 64ull * 1024 * 1024;

struct AfileFileHeader {
  uint32_t magic;       // AFILE_MAGIC
  uint16_t version;     // AFILE_FORMAT_VERSION
  uint16_t headerSize;  // sizeof(AfileFileHeader)
  uint64_t subclient;
  uint64_t afileId;
  uint32_t reserved;   // 0
  uint32_t headerCrc;  // CRC-32C of bytes 0..27
};
static_assert(sizeof(AfileFileHeader) == 32);
static_assert(offsetof(AfileFileHeader, version) == 4);
static_assert(offsetof(AfileFileHeader, headerSize) == 6);
static_assert(offsetof(AfileFileHeader, subclient) == 8);
static_assert(offsetof(AfileFileHeader, afileId) == 16);
static_assert(offsetof(AfileFileHeader, reserved) == 24);
static_assert(offsetof(AfileFileHeader, headerCrc) == 28);

struct AfileRecordHeader {
  uint32_t magic;       // AFILE_RECORD_MAGIC
  uint16_t version;     // AFILE_FORMAT_VERSION
  uint16_t nameLength;  // 1..AFILE_MAX_NAME_LENGTH
  uint64_t dataLength;  // 0..AFILE_MAX_DATA_LENGTH
  uint32_t dataCrc;     // CRC-32C of the data bytes
  uint32_t headerCrc;   // CRC-32C of bytes 0..19, then of the name bytes
};
static_assert(sizeof(AfileRecordHeader) == 24);
static_assert(offsetof(AfileRecordHeader, version) == 4);
static_assert(offsetof(AfileRecordHeader, nameLength) == 6);
static_assert(offsetof(AfileRecordHeader, dataLength) == 8);
static_assert(offsetof(AfileRecordHeader, dataCrc) == 16);
static_assert(offsetof(AfileRecordHeader, headerCrc) == 20);

inline constexpr uint64_t AFILE_FILE_HEADER_SIZE = sizeof(AfileFileHeader);
inline constexpr uint64_t AFILE_RECORD_HEADER_SIZE = sizeof(AfileRecordHeader);

// <backupDir>/<subclient>
std::string afileDirectory(const std::string& backupDir, uint64_t subclient);
// "afile_000042"
std::string afileName(uint64_t afileId);
// <dir>/afile_000042
std::string afilePath(const std::string& afileDir, uint64_t afileId);

// Reads exactly length bytes at offset. 0, EIO for a file that ends early,
// or the errno of the failing read.
int preadFull(int fd, void* buffer, uint64_t length, uint64_t offset);
// The id of an afile name; false for any other name (and for id 0).
bool parseAfileName(const std::string& name, uint64_t& afileId);
// The ids of the afiles in dir, ascending. 0 or errno (ENOENT when dir is missing).
int listAfiles(const std::string& afileDir, std::vector<uint64_t>& ids);

AfileFileHeader makeFileHeader(uint64_t subclient, uint64_t afileId);
// Empty when the header is valid for this subclient and afile; otherwise why not.
std::string checkFileHeader(const AfileFileHeader& header, uint64_t subclient, uint64_t afileId);

// A complete header for a record of this name and data. The caller keeps
// the name within 1..AFILE_MAX_NAME_LENGTH bytes and the data within
// AFILE_MAX_DATA_LENGTH (checkRecordHeaderFields refuses anything else).
AfileRecordHeader makeRecordHeader(const std::string& name, const void* data, uint64_t dataLength);
uint32_t recordHeaderCrc(const AfileRecordHeader& header, const char* name, size_t nameLength);
// Checks magic, version and length bounds, and that a record at `offset`
// ends within `fileSize`. Empty when all hold; otherwise why not. The header
// checksum needs the name and is checked separately (recordHeaderCrc).
std::string checkRecordHeaderFields(const AfileRecordHeader& header, uint64_t offset,
                                    uint64_t fileSize);
inline uint64_t recordSize(const AfileRecordHeader& header) {
  return AFILE_RECORD_HEADER_SIZE + header.nameLength + header.dataLength;
}

}  // namespace ObjectStore
