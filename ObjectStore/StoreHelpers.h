// Small helpers shared by the store's implementation files.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "ObjectStore/Identifiers.h"
#include "platform/diskcache/DiskCacheTypes.h"
#include "platform/support/CZnError.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

inline constexpr int64_t NS_PER_SEC = 1000000000;

// True when the type bits of a mode (as the index records it) say directory.
inline bool isDirectoryMode(int mode) { return (static_cast<unsigned>(mode) & S_IFMT) == S_IFDIR; }

// A name the entry-list format can hold: each record ends its name with a
// NUL, and the name is also the last component of the item's path, so it
// can be neither empty nor hold a NUL or a '/'.
inline bool fitsEntryList(const std::string& name) {
  return !name.empty() && name.find(OBJSTR_DELIMITER) == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// A name a caller may give an item (create, rename): one that fits an entry
// list and is not "." or "..", which already mean something in every path.
inline bool isValidItemName(const std::string& name) {
  return fitsEntryList(name) && name != "." && name != "..";
}

// The longest name an item may get: what a directory entry (readdir's
// d_name) and the file server's clients can hold, so that every name listed
// can be looked up again as it was given.
constexpr size_t ITEM_NAME_MAX = 255;

// ENOSPC is an expected outcome of a full cache, not an error of the store:
// it is logged at level 4, every other error at level -1.
inline void logErrorUnlessNoSpace(const CZnError& err) {
  if (err.errNo() == ENOSPC) {
    OSLOG_ERR_AT(4, err);
  } else {
    OSLOG_ERR(err);
  }
}

// A segment read that fails with one of these found the file itself bad
// (cut short, malformed, unreadable media): the segment is dropped and
// rebuilt from the index or the backup. Any other failure (out of
// descriptors, memory or space) says nothing about the segment, which must
// stay as it is: it may hold writes not backed up yet.
inline bool segmentReadMeansDamage(int errNo) {
  return errNo == EIO || errNo == EBADMSG || errNo == EINVAL || errNo == EFBIG;
}

// The read failed and the segment is still there as it was: the caller must
// report the failure instead of rebuilding or restoring over the segment.
inline bool readFailedAndSegmentKept(const CZnError& err) {
  return err.failed() && err.errNo() != ENOENT && !segmentReadMeansDamage(err.errNo());
}

// One section write of `length` bytes at `offset`.
inline Section makeWriteSection(int32_t number, uint64_t offset, const void* bytes,
                                uint64_t length) {
  Section section;
  section.number = number;
  section.offset = offset;
  // The disk cache only reads a write's buffer.
  section.buffer = const_cast<void*>(bytes);
  section.size = length;
  section.bufferLength = length;
  return section;
}

// One section read into `buffer` (capacity `capacity`) from `offset`.
inline Section makeReadSection(int32_t number, uint64_t offset, void* buffer, uint64_t capacity) {
  Section section;
  section.number = number;
  section.offset = offset;
  section.buffer = buffer;
  section.bufferLength = capacity;
  section.size = 0;
  return section;
}

}  // namespace ObjectStore
