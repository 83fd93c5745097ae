// The values of a store's dirent cache: a directory's parent and its children
// by name.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "ObjectStore/Identifiers.h"
#include "ObjectStore/utils/lrucache.h"

namespace ObjectStore {

// A directory's children, child name -> child object GUID, in the share's
// name order (case-insensitive shares find "ABC" stored as "abc"). Never
// evicts: every child weighs 1 and the capacity is unbounded.
class DirEntChildrenLru : public LruCache<std::string, guid_t, NameLess> {
 public:
  explicit DirEntChildrenLru(bool caseSensitive)
      : LruCache<std::string, guid_t, NameLess>(std::numeric_limits<uint64_t>::max(),
                                                NameLess(caseSensitive)) {}
  DirEntChildrenLru(DirEntChildrenLru&&) = default;
  DirEntChildrenLru& operator=(DirEntChildrenLru&&) = default;
};

// One cached directory.
struct DirEntInfo {
  explicit DirEntInfo(bool caseSensitive) : children(caseSensitive) {}
  DirEntInfo(DirEntInfo&&) = default;
  DirEntInfo& operator=(DirEntInfo&&) = default;

  guid_t parentGuid;
  DirEntChildrenLru children;
};

}  // namespace ObjectStore
