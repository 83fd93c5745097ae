// The store's per-object record of an open item (OpenFileInfo), its
// byte-range lock table, and the per-segment record of an open extent.
#pragma once

#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index/tag.hpp>
#include <boost/multi_index_container.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "ObjectStore/Handles.h"
#include "ObjectStore/Identifiers.h"
#include "ObjectStore/SegmentFormat.h"
#include "platform/index/index_iface.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/HxRW.h"
#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

// Index tags of the lock table.
struct as_owner {};
struct as_fh {};

// The byte-range locks of one open item, by owner and by handle.
using LockTable = boost::multi_index_container<
    LockInfo,
    boost::multi_index::indexed_by<
        boost::multi_index::ordered_non_unique<
            boost::multi_index::tag<as_owner>,
            boost::multi_index::member<LockInfo, void*, &LockInfo::owner>>,
        boost::multi_index::ordered_non_unique<
            boost::multi_index::tag<as_fh>,
            boost::multi_index::member<LockInfo, FileHandle*, &LockInfo::fh>>>>;

// One per object GUID while any handle, internal opener or directory-entry
// user holds it; listed in the store's open-file table and freed when both
// counts drop to 0.
//
// Locking: writers and readers are guarded by the store's open-file table
// lock; every other field by `lock` (the item lock). The two locks are never
// held together.
class OpenFileInfo {
 public:
  // Current file size in bytes; authoritative while the file is open.
  uint64_t size = 0;
  // size or emptyRange changed since the header was last written; close then
  // writes the header.
  bool sizeChanged = false;
  // Excluded from backup by the backup filter; fixed when the record is made.
  bool filtered = false;
  uint64_t extentSize = 0;
  // Write handles plus directory-entry users; read-only handles.
  int32_t writers = 0;
  int32_t readers = 0;
  // The item lock: serialises changes to the object and its segments.
  HxCriticalSection lock;
  // Held shared by each read and write for its whole length, exclusively by
  // whatever drops extents past the size (truncate, a writer's first open,
  // a write that finishes a cut left pending). A write's bytes and the size
  // it records then land wholly before or wholly after a cut, and a read
  // never looks for an extent a cut removed under it. Taken before the
  // extent and item locks.
  HxRW cutLock;
  // Extent GUID -> the extent's record (its current segment in verGuid).
  std::map<std::string, index_iface_props> extents;
  // Extent segment name -> record of an extent removed by truncate while the
  // file is open; a later write may revive it (undeleteExtent).
  std::map<std::string, index_iface_props> deletedExtents;
  // Extents known never to have been written.
  Range emptyRange;
  // Set once the first writer dropped what lay past the size: a write that
  // failed, or whose process died, before the size was recorded may have
  // left bytes there, which a later growth of the file would otherwise show.
  bool pastEndCleared = false;
  // Set when a shrinking truncate recorded the shorter size but could not
  // drop everything past it: the file may not grow before the cut is done.
  bool cutPending = false;
  LockTable locks;

  // True when the size is 0 or the empty range covers exactly the whole size.
  bool isFileEmpty() const;
};

// One per open extent segment; `lock` (the extent lock) is taken before the
// item lock of the extent's file.
class OpenExtentInfo {
 public:
  int32_t refCount = 1;
  HxCriticalSection lock;
};

struct ExtentHandle {
  std::string name;  // the extent segment name
  OpenExtentInfo* info = nullptr;
};

}  // namespace ObjectStore
