// Types exchanged between the store and the disk cache: section descriptors,
// the per-store context, and the format constants of segment files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ObjectStore {

// Section numbers 0..MAX_SECTION_NUMBER are valid in a segment.
inline constexpr uint32_t MAX_SECTION_NUMBER = 5;
// Stamps of the disk cache's own segment files (the store never tests them).
inline constexpr uint16_t DISK_CACHE_MAGIC = 0xDCDC;
inline constexpr uint16_t DISK_CACHE_VERSION = 1;

// One section of a segment as described to the disk cache.
struct SectionDesc {
  int32_t number = 0;  // the section number
  uint32_t word = 0;   // zeroed by the store, otherwise carried unchanged
  // Read: set by the disk cache to the bytes placed in the buffer (the whole
  // section when it fits; fewer when the section ends before offset +
  // bufferLength). Write: the number of bytes to write.
  uint64_t size = 0;
};

// A section read or write request.
struct Section : SectionDesc {
  uint64_t offset = 0;        // byte position inside the section
  void* buffer = nullptr;     // caller memory
  uint64_t bufferLength = 0;  // read: bytes available; write: bytes supplied (== size)
  uint32_t reserved = 0;      // left zero
};

// A whole section with its bytes, as returned when all sections are read.
struct SectionV : SectionDesc {
  std::vector<unsigned char> data;
};

// Asked by the pruner before a prunable segment is removed: (decimal
// subclient, the segment's file path, the segment name). True means the
// segment may go (the owner may already have deleted it); false keeps it.
using DiskCachePruneCallback =
    std::function<bool(const std::string& subclient, const std::string& path,
                       const std::string& segment)>;

// A store's registration with the disk cache. The store owns it and passes it
// to every call; it must outlive the registration.
//
// Where a context's segments live, relative to the cache directory:
//   <name>/          the share's segments, shared by the live share's store;
//                    prunable (through pruneCallback)
//   <noprunePath>/   segments created non-prunable (local-only data: a
//                    discard-writes view, extents of backup-filtered files)
//   <viewPath>/      a point-in-time view's own restored segments (prunable)
// A context with a viewPath (a point-in-time view) reads and writes only its
// noprunePath and viewPath areas, never the share's area: the share's
// segments hold the live state, the view's hold the state as of its time.
struct DiskCacheContext {
  std::string name;         // decimal subclient
  std::string noprunePath;  // "noprune/<subclient>_<pitName>"
  std::string viewPath;     // "views/<subclient>_<pitName>" for a point-in-time view, else empty
  bool keepFiltered = false;  // the store has a backup filter (informational)
  bool keepAll = false;       // every segment of this context is non-prunable
  DiskCachePruneCallback pruneCallback;
  uint16_t volumeIndex = 0;   // filled by registerContext
};

// How the pruner picks segments.
enum class PruningMode { Random = 0, Lru = 1 };

}  // namespace ObjectStore
