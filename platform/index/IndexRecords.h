// Value types and pure helpers shared by the index's reader, writer and
// change feed: object kinds, the "as of" cutoff, path splitting, the
// attribute record and its custom-property encoding, random identifiers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/index/index_iface.h"

namespace ObjectStore {

inline constexpr int64_t INDEX_NS_PER_SEC = 1000000000;
// The cutoff of the latest state: every stamp is below it.
inline constexpr int64_t INDEX_CUTOFF_LATEST = INT64_MAX;

// What an object is; stored as an integer in objects.kind.
enum class IndexKind : int { File = 0, Directory = 1, Link = 2, Extent = 3 };

// POSIX type bits as the store sends them in mode.
inline constexpr int INDEX_MODE_TYPE_MASK = 0xF000;
inline constexpr int INDEX_MODE_DIR = 0x4000;
inline constexpr int INDEX_MODE_LINK = 0xA000;

// A change is part of the state "as of before_time" exactly when its stamp
// is below this value: the end of second before_time; 0 = latest.
int64_t asOfCutoffNs(uint64_t beforeTime);

// The kind of a new object described by props: an extent when
// updateSelector is 1, extentNumber is set or objGuid is an extent GUID;
// otherwise from the mode's type bits.
IndexKind kindFromProps(const index_iface_props& props);

// An extent GUID is an object GUID, a '.', then decimal digits.
bool isExtentGuid(const std::string& guid);
// The extent number written after the '.' of an extent GUID (0 if none).
uint64_t extentNumberOfGuid(const std::string& guid);

// The non-empty components of a '/'-separated path, in order.
std::vector<std::string> splitPathComponents(const std::string& path);
// The text after the last '/' (the whole text without one).
std::string lastPathComponent(const std::string& path);
// The text before the last '/', "/" when that is empty.
std::string parentPathOf(const std::string& path);

// 32 lower-case hexadecimal digits from the kernel's random source.
std::string newRandomGuid();

// One version's attributes at one point of its history. Absent numbers are
// -1, absent mode/uid/gid have their flag false.
struct IndexAttributes {
  int64_t size = -1;
  bool modeValid = false;
  int mode = -1;
  bool uidValid = false;
  int uid = -1;
  bool gidValid = false;
  int gid = -1;
  int64_t atime = -1;
  int64_t ctime = -1;
  int64_t mtime = -1;
  int64_t extentSize = -1;
  uint32_t itemFlag = 0;
  std::string linkTarget;
  std::map<std::string, std::string> customProps;  // "xattr" among them
  int64_t reserved1 = -1;
  int64_t reserved2 = -1;

  bool operator==(const IndexAttributes&) const = default;
};

// Applies the fields props carries (the validity rules of update_item):
// numbers unless -1, mode/uid/gid when flagged valid, itemFlag unless 0,
// linkTarget and xattrs unless empty, every custom property sent (xattrs,
// the dedicated field, wins over a "xattr" entry of customProps).
void applyProps(IndexAttributes& attributes, const index_iface_props& props);
// Copies attributes into the matching fields of props (xattrs from the
// "xattr" custom property).
void fillPropsFromAttributes(index_iface_props& props, const IndexAttributes& attributes);

// Custom properties as one text value: for each entry "<key length>:<key>
// <value length>:<value>" (lengths in decimal, no separator between
// entries). decode returns false for malformed text.
std::string encodeCustomProps(const std::map<std::string, std::string>& props);
bool decodeCustomProps(const std::string& text, std::map<std::string, std::string>& props);

}  // namespace ObjectStore
