// CXFileHeader: the 1160-byte attribute record kept as a segment's attribute
// section.
//
// The record is an exact little-endian memory image: the struct below is
// written and read as raw bytes, so every field sits at a fixed offset
// (checked at compile time) and the struct has no padding. The store fills
// the fields named in the table below and writes the four constant fields and
// the flag bit as given; it never interprets them.
//
//   offset  width      field
//        0  u32        word0        CXHEADER_WORD0 (3)
//        4  u32        word4        CXHEADER_WORD4 (0x50C0)
//        8  u32        word8        CXHEADER_WORD8 (1)
//       12  u32        nameLength   characters in name + 1 (its NUL)
//       16  u64        mode         POSIX mode bits, file type included
//       24  u64        uid
//       32  u64        gid
//       40  2 x u32    reserved
//       48  u64        reserved
//       56  u64        size         bytes
//       64  u64        mtime        seconds since the epoch
//       72  u64        ctime        seconds since the epoch
//       80  2 x u64    reserved
//       96  u32        separator    CXHEADER_SEPARATOR (47, the code of '/')
//      100  u8         flags        bit 0 set (CXHEADER_FLAG_BIT0), other bits kept
//      101  3 x u8     reserved
//      104  4 x u32    reserved
//      120  4 x u8     reserved
//      124  2 x u32    reserved
//      132  1028 bytes name         NUL-terminated; at most 1024 characters
//
// The default constructor zeroes all 1160 bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace ObjectStore {

inline constexpr size_t CXHEADER_SIZE = 1160;
inline constexpr size_t CXHEADER_NAME_SIZE = 1028;       // bytes of the name area
inline constexpr size_t CXHEADER_NAME_MAX_CHARS = 1024;  // characters kept of a name
inline constexpr uint32_t CXHEADER_WORD0 = 3;
inline constexpr uint32_t CXHEADER_WORD4 = 0x50C0;
inline constexpr uint32_t CXHEADER_WORD8 = 1;
inline constexpr uint32_t CXHEADER_SEPARATOR = 47;  // '/'
inline constexpr uint8_t CXHEADER_FLAG_BIT0 = 0x01;

static_assert(std::endian::native == std::endian::little,
              "records are stored as little-endian memory images");

struct CXFileHeader {
  uint32_t word0 = 0;
  uint32_t word4 = 0;
  uint32_t word8 = 0;
  uint32_t nameLength = 0;
  uint64_t mode = 0;
  uint64_t uid = 0;
  uint64_t gid = 0;
  uint32_t reserved40[2] = {};
  uint64_t reserved48 = 0;
  uint64_t size = 0;
  uint64_t mtime = 0;
  uint64_t ctime = 0;
  uint64_t reserved80[2] = {};
  uint32_t separator = 0;
  uint8_t flags = 0;
  uint8_t reserved101[3] = {};
  uint32_t reserved104[4] = {};
  uint8_t reserved120[4] = {};
  uint32_t reserved124[2] = {};
  char name[CXHEADER_NAME_SIZE] = {};

  // Writes the constant fields and sets flag bit 0 (the other flag bits are
  // kept).
  void stampConstants() {
    word0 = CXHEADER_WORD0;
    word4 = CXHEADER_WORD4;
    word8 = CXHEADER_WORD8;
    separator = CXHEADER_SEPARATOR;
    flags = static_cast<uint8_t>(flags | CXHEADER_FLAG_BIT0);
  }

  // Stores at most CXHEADER_NAME_MAX_CHARS characters of text followed by a
  // NUL, zeroes the rest of the name area, and sets nameLength to the
  // characters stored + 1, so the length always describes the stored name.
  void setName(std::string_view text) {
    const size_t n = text.size() < CXHEADER_NAME_MAX_CHARS ? text.size() : CXHEADER_NAME_MAX_CHARS;
    std::memset(name, 0, sizeof(name));
    std::memcpy(name, text.data(), n);
    nameLength = static_cast<uint32_t>(n + 1);
  }

  // The stored name: the bytes before the first NUL (never past the area,
  // even in a record read from a damaged section).
  std::string_view getName() const { return std::string_view(name, strnlen(name, sizeof(name))); }
};

static_assert(std::is_standard_layout_v<CXFileHeader>);
static_assert(std::is_trivially_copyable_v<CXFileHeader>);
static_assert(std::has_unique_object_representations_v<CXFileHeader>, "no padding bytes");
static_assert(sizeof(CXFileHeader) == CXHEADER_SIZE);
static_assert(offsetof(CXFileHeader, word0) == 0);
static_assert(offsetof(CXFileHeader, word4) == 4);
static_assert(offsetof(CXFileHeader, word8) == 8);
static_assert(offsetof(CXFileHeader, nameLength) == 12);
static_assert(offsetof(CXFileHeader, mode) == 16);
static_assert(offsetof(CXFileHeader, uid) == 24);
static_assert(offsetof(CXFileHeader, gid) == 32);
static_assert(offsetof(CXFileHeader, reserved40) == 40);
static_assert(offsetof(CXFileHeader, reserved48) == 48);
static_assert(offsetof(CXFileHeader, size) == 56);
static_assert(offsetof(CXFileHeader, mtime) == 64);
static_assert(offsetof(CXFileHeader, ctime) == 72);
static_assert(offsetof(CXFileHeader, reserved80) == 80);
static_assert(offsetof(CXFileHeader, separator) == 96);
static_assert(offsetof(CXFileHeader, flags) == 100);
static_assert(offsetof(CXFileHeader, reserved101) == 101);
static_assert(offsetof(CXFileHeader, reserved104) == 104);
static_assert(offsetof(CXFileHeader, reserved120) == 120);
static_assert(offsetof(CXFileHeader, reserved124) == 124);
static_assert(offsetof(CXFileHeader, name) == 132);
static_assert(offsetof(CXFileHeader, name) + CXHEADER_NAME_SIZE == CXHEADER_SIZE);

}  // namespace ObjectStore
