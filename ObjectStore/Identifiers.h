// Identifiers of the store: GUID texts and the names derived from them, the
// arithmetic between byte offsets and extents, the two orderings of names,
// and the small value types and flags that many modules pass around.
//
// Every function here is pure and may be called from any thread.
#pragma once

// <cmath> removes the C library's isless() macro, which would otherwise
// rewrite the declaration of our own isless below.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/support/Export.h"

namespace ObjectStore {

// A GUID held as text.
//   object or version GUID: 32 hexadecimal digits (generateGuid);
//   extent GUID:            object GUID + '.' + extent number, at least 7 digits;
//   directory version name: directory's object GUID + '-' + snapshot suffix.
// The inode number of an item is read from the last 16 digits of its object
// GUID, so those must stay hexadecimal.
using guid_t = std::string;

// Width reserved for a GUID key in every GUID-cache element, and the data
// width of the version cache. It holds any object or version GUID, the GUID
// of any extent numbered below 10^11 and the directory version name of any
// snapshot timestamp below 2^44 (seconds: far beyond any real date).
inline constexpr size_t GUID_CHAR_SIZE = 44;
// Length of an extent GUID for extent numbers below 10,000,000: 32 + 1 + 7.
inline constexpr size_t GUID_CHAR_SIZE_EXTENT = 40;
// Length of an object or version GUID.
inline constexpr size_t GUID_CHAR_SIZE_MIN = 32;
// Path separator inside a share; the root directory's path is "/".
inline constexpr char OBJSTR_DELIMITER = '/';
// Most GUID characters the C interface copies out; its GUID buffers hold one
// more byte for the terminating zero.
inline constexpr size_t OBJECTSTORE_CINTF_MAX_GUID_CHARS = 44;

static_assert(GUID_CHAR_SIZE_EXTENT == GUID_CHAR_SIZE_MIN + 1 + 7);
static_assert(GUID_CHAR_SIZE >= GUID_CHAR_SIZE_EXTENT);

// ---------------------------------------------------------------------------
// Extents

// The GUID of extent number `extent` of the object: objGuid + '.' + the number
// in decimal, zero-padded to at least seven digits (GUID + ".0000003"). Numbers of
// 10,000,000 and more simply take more digits (and more than 40 characters).
OBJSTORE_EXPORT guid_t fileToExtentGuid(const std::string& objGuid, uint64_t extent);

// True when the text names an extent: longer than 32 characters with a '.' at
// index 32. Nothing else is checked.
OBJSTORE_EXPORT bool isExtent(const std::string& guid);

// The owning object's GUID of an extent GUID: its first 32 characters (the
// whole text when it is shorter).
OBJSTORE_EXPORT guid_t extentToParent(const guid_t& extentGuid);

// The number of the extent holding byte `offset`: offset / extentSize, rounded
// down. An extentSize of 0 is a caller's bug: it is logged as an error and
// gives extent 0.
OBJSTORE_EXPORT uint64_t offsetToExtent(uint64_t offset, uint64_t extentSize);

// The offset of the first byte of extent number `extent` (extent * extentSize;
// extent sizes and file sizes keep this far below 2^64).
OBJSTORE_EXPORT uint64_t extentToOffset(uint64_t extent, uint64_t extentSize);

// ---------------------------------------------------------------------------
// Directory version names

// A store's snapshot suffix: its snapshot timestamp in lower-case hexadecimal,
// without prefix or padding. A live store (timestamp 0) gives "0";
// 1600000000 gives "5f5e1000".
OBJSTORE_EXPORT std::string makeSnapshotSuffix(uint64_t timestamp);

// The name of a directory's entry list as one store sees it:
// dirGuid + '-' + suffix. Because the suffix differs per point in time, a
// point-in-time store never sees the live store's directory versions. A
// directory has no generated version GUIDs; this name is its version GUID.
OBJSTORE_EXPORT guid_t directoryVersionName(const guid_t& dirGuid, const std::string& suffix);

// ---------------------------------------------------------------------------
// Name orderings (directory children in the directory-entry cache)

// Strict weak ordering: bytes compared one by one as signed 8-bit values, so
// bytes 0x80..0xFF order before 0x00..0x7F; when one string is a prefix of
// the other, the shorter is less.
OBJSTORE_EXPORT bool isless(std::string_view a, std::string_view b);

// The same ordering after lower-casing the letters 'A'..'Z', so names that
// differ only in ASCII letter case are equivalent. Every other byte, including
// 0x80..0xFF, is compared unchanged: the result never depends on the process's
// locale, which a persisted ordering must not.
OBJSTORE_EXPORT bool isless_case_insensitive(std::string_view a, std::string_view b);

// Comparators for ordered containers (std::map<std::string, T, IsLess>).
struct IsLess {
  bool operator()(std::string_view a, std::string_view b) const { return isless(a, b); }
};

struct IsLessCaseInsensitive {
  bool operator()(std::string_view a, std::string_view b) const {
    return isless_case_insensitive(a, b);
  }
};

// The ordering chosen at run time by the store's case-sensitivity setting.
// A container must keep one instance for its lifetime: the two orderings do
// not agree, so a container's order would break if it changed.
class NameLess {
 public:
  explicit NameLess(bool caseSensitive = true) : caseSensitive_(caseSensitive) {}

  bool operator()(std::string_view a, std::string_view b) const {
    return caseSensitive_ ? isless(a, b) : isless_case_insensitive(a, b);
  }
  bool caseSensitive() const { return caseSensitive_; }

 private:
  bool caseSensitive_;
};

// ---------------------------------------------------------------------------
// Small shared types and flags. The flag enumerations keep a fixed underlying
// type because callers may pass values other than the named ones; each says
// how such a value is read.

// Kind of an item. Any other mode type (device, FIFO, socket) is never created
// and is recorded as a regular file.
enum FileType : uint32_t {
  FILE_TYPE_REGULAR = 0,
  FILE_TYPE_DIRECTORY = 1,
  FILE_TYPE_SYMLINK = 2,
};

// The attributes given to a new item.
struct FileAttribs {
  uint32_t mode = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;

  bool operator==(const FileAttribs&) const = default;
};

// Whether a write makes the written extent durable before it returns: only 1
// does; any other value does not.
enum Sync : int {
  NO_SYNC = 0,
  DO_SYNC = 1,
};

// Who closes a file handle: a client handle (0) or one of the store's own
// scoped openers (1).
enum IsInternal : int {
  CLIENT_CLOSE = 0,
  INTERNAL_CLOSE = 1,
};

// Whether a segment missing from the disk cache may be restored from backup
// while it is read (1) or not (0).
enum ShouldRestore : int {
  NO_RESTORE = 0,
  DO_RESTORE = 1,
};

// Whether a scoped opener takes the item lock after opening: 0 does; any other
// value does not.
enum ShouldLock : int {
  LOCK_ITEM = 0,
  DONT_LOCK_ITEM = 1,
};

}  // namespace ObjectStore
