// Small helpers shared by the store's implementation files.
#pragma once

#include <cerrno>
#include <cstdint>

#include "platform/diskcache/DiskCacheTypes.h"
#include "platform/support/CZnError.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

inline constexpr int64_t NS_PER_SEC = 1000000000;

// ENOSPC is an expected outcome of a full cache, not an error of the store:
// it is logged at level 4, every other error at level -1.
inline void logErrorUnlessNoSpace(const CZnError& err) {
  if (err.errNo() == ENOSPC) {
    OSLOG_ERR_AT(4, err);
  } else {
    OSLOG_ERR(err);
  }
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
