// The records a file server holds between calls: file handles, directory
// handles, byte-range lock requests and directory listings.
//
// This header is part of the public interface: it includes nothing beyond
// the standard library, POSIX and our own headers that do the same.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ObjectStore/Identifiers.h"
#include "ObjectStore/ItemName.h"

namespace ObjectStore {

class OpenFileInfo;

// A directory listing: (child object GUID, child name) pairs in list order.
using GuidPathList = std::vector<std::pair<guid_t, std::string>>;

// One open file as its caller sees it. Filled by open (or createAndOpen);
// owned by the caller, who passes it to read, write, close and the lock
// calls. All handles of one object share the store's OpenFileInfo.
struct FileHandle {
  // The opened item; name.verGuid is the version the handle reads and writes.
  ItemName name;
  // Opened with O_WRONLY or O_RDWR.
  bool isWrite = false;
  // The shared record; null before open and after the last close.
  OpenFileInfo* info = nullptr;
};

// One byte-range lock or lock request.
struct LockInfo {
  // The handle through which the lock is taken; never null in a valid request.
  FileHandle* fh = nullptr;
  // 1 = shared; every other value is exclusive.
  int32_t type = 0;
  // First and last byte of the range, both inclusive. begin = end = 0 in an
  // unlock request means every range of the owner.
  uint64_t begin = 0;
  uint64_t end = 0;
  // Names the lock owner; compared by value only.
  void* owner = nullptr;
};

// Value of LockInfo::type for a shared lock.
inline constexpr int32_t LOCK_SHARED = 1;

// A directory opened for listing: a snapshot of the whole listing taken at
// opendir ("." and ".." first), handed out one dirent at a time. Used by one
// caller at a time; the store keeps no list of them.
struct DirHandle {
  GuidPathList entries;
  // Index of the next entry to return.
  uint64_t position = 0;
  // Overwritten by each readdir; the returned pointer refers to it.
  struct dirent current {};
};

}  // namespace ObjectStore
