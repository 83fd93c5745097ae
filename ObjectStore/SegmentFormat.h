// The records the store keeps in a segment's sections, and the helpers that
// fill them.
//
// Sections of a segment (all multi-byte integers little-endian):
//   0  attribute section  a CXFileHeader (exactly 1160 bytes)
//   1  data section       directory entries, link data or extent bytes
//   3  header section     a FileHeaderData (exactly 1120 bytes; older
//                         segments are shorter and get upgraded on read)
//   5  xattr section      the serialised extended attributes, zero-padded
// Sections 2 and 4 are never written by the store; they are carried along
// unchanged when a segment is copied or upgraded whole. A segment is created
// with its sections in the order 3, 0, 5 (no 5 for an extent), and a data
// section is added by the first write of data, so section 3 is always the
// first one of a segment and section 1, when present, the last.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "ObjectStore/Identifiers.h"
#include "platform/index/index_iface.h"
#include "platform/support/CXFileHeader.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

// ---- Section numbers and sizes ----------------------------------------------
inline constexpr int32_t SECTION_ATTRIBUTE = 0;
inline constexpr int32_t SECTION_DATA = 1;
inline constexpr int32_t SECTION_HEADER = 3;  // "FILETYPE" in messages
inline constexpr int32_t SECTION_XATTR = 5;
inline constexpr size_t ATTRIBUTE_SECTION_SIZE = CXHEADER_SIZE;  // 1160
inline constexpr size_t HEADER_SECTION_SIZE = 1120;
inline constexpr size_t FILE_HEADER_RECORD_SIZE = 1116;  // the record within the section
static_assert(ATTRIBUTE_SECTION_SIZE == 1160);

inline constexpr uint16_t FILE_HEADER_MAGIC = 0xABBA;
inline constexpr uint16_t FILE_HEADER_VERSION = 2;

// Mode type bits of the three kinds of items the store keeps.
inline constexpr uint64_t MODE_TYPE_MASK = S_IFMT;   // 0xF000
inline constexpr uint64_t MODE_REGULAR = S_IFREG;    // 0x8000
inline constexpr uint64_t MODE_DIRECTORY = S_IFDIR;  // 0x4000
inline constexpr uint64_t MODE_SYMLINK = S_IFLNK;    // 0xA000
static_assert(MODE_TYPE_MASK == 0xF000 && MODE_REGULAR == 0x8000 && MODE_DIRECTORY == 0x4000 &&
              MODE_SYMLINK == 0xA000);

// The kind of item a mode names: directory, symbolic link, or regular file
// for everything else (no other kind is ever created).
FileType fileTypeFromMode(uint64_t mode);

// ---- Range --------------------------------------------------------------------

// A half-open interval [start, end) of extent numbers; in a file's header,
// the extents known to read as zeros. Valid only when start < end; the
// default (0, 0) is the empty range.
struct Range {
  uint64_t start = 0;
  uint64_t end = 0;

  Range() = default;
  Range(uint64_t s, uint64_t e) : start(s), end(e) {}

  bool isValid() const { return start < end; }
  uint64_t rangeSize() const { return isValid() ? end - start : 0; }
  void reset() { start = end = 0; }
  void set(uint64_t s, uint64_t e) {
    start = s;
    end = e;
  }
  // True when n lies in a valid range (logged at level 5 either way it is
  // decided by the range: invalid, or containing).
  bool contains(uint64_t n) const;

  bool operator==(const Range&) const = default;
};

static_assert(std::is_standard_layout_v<Range> && sizeof(Range) == 16);

// ---- FileHeaderData -------------------------------------------------------------

// The store's own header record, as the whole 1120-byte header section: the
// 1116-byte record followed by 4 reserved bytes. A buffer receiving the
// section must be this whole struct. Zeroed by the default constructor.
struct FileHeaderData {
  uint16_t magic = 0;    // FILE_HEADER_MAGIC
  uint16_t version = 0;  // FILE_HEADER_VERSION
  // 1 when a directory's entry section is complete; 0 otherwise (and for
  // every other kind of item).
  uint16_t hasData = 0;
  uint8_t reserved6[2] = {};
  uint64_t fileType = 0;       // FileType
  uint64_t extentSize = 0;     // bytes per extent of this item; never 0 in a valid header
  uint64_t versionTimeNs = 0;  // creation of the version, ns since the epoch
  Range emptyRange;            // extents never written (read as zeros)
  // Object GUID of the parent directory; NUL-terminated when shorter than
  // GUID_CHAR_SIZE.
  char parentGuid[GUID_CHAR_SIZE] = {};
  uint8_t reserved92[1024] = {};
  uint8_t sectionPadding[HEADER_SECTION_SIZE - FILE_HEADER_RECORD_SIZE] = {};
};

static_assert(std::is_standard_layout_v<FileHeaderData>);
static_assert(std::is_trivially_copyable_v<FileHeaderData>);
static_assert(std::has_unique_object_representations_v<FileHeaderData>, "no padding bytes");
static_assert(sizeof(FileHeaderData) == HEADER_SECTION_SIZE);
static_assert(offsetof(FileHeaderData, magic) == 0);
static_assert(offsetof(FileHeaderData, version) == 2);
static_assert(offsetof(FileHeaderData, hasData) == 4);
static_assert(offsetof(FileHeaderData, reserved6) == 6);
static_assert(offsetof(FileHeaderData, fileType) == 8);
static_assert(offsetof(FileHeaderData, extentSize) == 16);
static_assert(offsetof(FileHeaderData, versionTimeNs) == 24);
static_assert(offsetof(FileHeaderData, emptyRange) == 32);
static_assert(offsetof(FileHeaderData, parentGuid) == 48);
static_assert(offsetof(FileHeaderData, reserved92) == 92);
static_assert(offsetof(FileHeaderData, sectionPadding) == FILE_HEADER_RECORD_SIZE);
static_assert(GUID_CHAR_SIZE == 44);

// ---- AttribData -----------------------------------------------------------------

// The attribute cache's copy of the two header records of one segment: every
// field the store reads or changes, nothing else.
struct AttribData {
  uint16_t hasData = 0;
  uint64_t fileType = 0;
  uint64_t extentSize = 0;
  uint64_t versionTimeNs = 0;
  Range emptyRange;
  char parentGuid[GUID_CHAR_SIZE] = {};
  uint64_t mode = 0;
  uint64_t uid = 0;
  uint64_t gid = 0;
  uint64_t size = 0;
  uint64_t mtime = 0;
  uint64_t ctime = 0;
  std::string name;

  AttribData() = default;
  AttribData(const FileHeaderData& data, const CXFileHeader& header);

  // Rebuilds the records: the cached fields are copied back, the header's
  // constant fields and flag bit are written and the name is stored (at most
  // 1024 characters, NUL-terminated). data.magic and data.version are left
  // as they are, and so is every other field not held here.
  void get(FileHeaderData& data, CXFileHeader& header) const;

  bool operator==(const AttribData&) const = default;
};

// ---- RestoredHeaderData -----------------------------------------------------------

// What the restore of a version's header hands back.
struct RestoredHeaderData {
  CXFileHeader header;
  FileHeaderData data;
  std::string linkTarget;             // empty unless a symbolic link
  std::vector<unsigned char> xattrs;  // the serialised extended attributes
};

// ---- Filling the records ------------------------------------------------------------

// Fills a CXFileHeader for a new segment: name = objGuid + "," + verGuid (at
// most 1024 characters stored), the constant fields, mode, uid, gid, size and
// the two times. Fields it does not name are left untouched. A null header
// is ignored.
void createMetaData(CXFileHeader* header, const guid_t& objGuid, const guid_t& verGuid,
                    uint64_t mode, uint64_t uid, uint64_t gid, uint64_t size, uint64_t ctime,
                    uint64_t mtime);

// Fills both records of a new segment from an item's index properties.
// FileHeaderData gets magic, version, fileType (from the mode), extentSize,
// versionTimeNs (the creation time, ns), hasData 0 and parentGuid; its
// emptyRange is left as the caller set it. The CXFileHeader is built by
// createMetaData. Fails with EINVAL when the extent size property is absent
// or not positive. An absent (negative) size or time is written as 0.
CZnError cxFromProps(CXFileHeader& header, FileHeaderData& data, const index_iface_props& props);

// ---- Checking records read from a segment -------------------------------------------

// Checks the two header records as a read of sections 3 and 0 returned them
// (dataSize and headerSize: the bytes the read placed of each): both complete, the
// magic number and version current, the extent size not 0. A pure function
// of its arguments, apart from the log, so that it can be exercised on
// arbitrary bytes. EINVAL (logged at level -1, naming segment) otherwise.
CZnError checkHeaderRecords(const FileHeaderData& data, uint64_t dataSize, uint64_t headerSize,
                            const guid_t& segment);

}  // namespace ObjectStore
