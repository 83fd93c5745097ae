// Directory entry lists, the dirent cache and the directory-entry opener.
//
// A directory's children live in the data section of its directory segment
// (fullDirGuid) as a flat list of records, in append order:
//   child GUID, NUL, child name, NUL      one record per child
//   NUL                                   the terminator (an empty GUID)
// A segment without a data section is an empty directory.
//
// The dirent cache holds parsed lists. Its contents must never disagree with
// the disk for longer than a change takes, so:
//   - changes (add, remove) update the cache after the disk, under the
//     directory's item lock, and drop the directory from the cache when the
//     disk may not hold what the cache would say;
//   - a reader that loads a list from disk registers the load first; a change
//     that lands meanwhile marks the load, and a marked load is not cached,
//     since it may predate the change that found nothing in the cache to
//     update. Registration, marking and the cache insert all happen under the
//     dirent-cache lock, which makes each of them one step.
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "ObjectStore/EntryList.h"
#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"

namespace ObjectStore {

namespace {

using DirCache = LruCache<std::string, DirEntInfo>;

// ---- Loads in flight ---------------------------------------------------------

struct PendingLoad {
  int loaders = 0;
  bool changed = false;  // the list changed on disk while a load was running
};

// Keyed by store and directory. Only loads that are running are listed, so
// the map stays small. The mutex is a leaf taken inside the store's
// dirent-cache lock; it exists only because the map is shared by stores.
std::mutex g_pendingMutex;
std::map<std::pair<const void*, guid_t>, PendingLoad> g_pendingLoads;

// REQUIRES (all three): the store's dirent-cache lock.
void beginLoadNoLock(const ObjectStore* store, const guid_t& dirGuid) {
  std::lock_guard<std::mutex> guard(g_pendingMutex);
  ++g_pendingLoads[{store, dirGuid}].loaders;
}

// Ends one load; true when the list changed while it ran.
bool endLoadNoLock(const ObjectStore* store, const guid_t& dirGuid) {
  std::lock_guard<std::mutex> guard(g_pendingMutex);
  auto it = g_pendingLoads.find({store, dirGuid});
  if (it == g_pendingLoads.end()) return true;  // unbalanced: trust nothing
  const bool changed = it->second.changed;
  if (--it->second.loaders <= 0) g_pendingLoads.erase(it);
  return changed;
}

void markChangedNoLock(const ObjectStore* store, const guid_t& dirGuid) {
  std::lock_guard<std::mutex> guard(g_pendingMutex);
  auto it = g_pendingLoads.find({store, dirGuid});
  if (it != g_pendingLoads.end()) it->second.changed = true;
}

// ---- The entry-list format ------------------------------------------------------

// One record followed by a terminator: what an append writes over the old
// terminator.
std::string encodeRecordWithTerminator(const guid_t& childGuid, const std::string& name) {
  std::string record;
  record.reserve(childGuid.size() + name.size() + 3);
  record.append(childGuid).push_back('\0');
  record.append(name).push_back('\0');
  record.push_back('\0');
  return record;
}

// A GUID or a name that the list format can't hold would cut the list short
// or merge two records, losing every child after it.
CZnError checkEntry(const guid_t& childGuid, const std::string& name) {
  if (childGuid.empty() || childGuid.find('\0') != std::string::npos)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: invalid child guid [%s]",
                                   childGuid.c_str());
  if (!fitsEntryList(name))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: invalid name [%s] for [%s]",
                                   name.c_str(), childGuid.c_str());
  return CZnError::Success;
}

// out := list[offset, offset + max), clipped; done when that reaches the end.
template <class List, class Convert>
void takePage(const List& list, size_t offset, size_t max, GuidPathList& out, bool& done,
              Convert&& convert) {
  const size_t n = list.size();
  const size_t start = std::min(offset, n);
  const size_t end = start + std::min(max, n - start);
  out.reserve(end - start);
  for (size_t i = start; i < end; ++i) out.push_back(convert(list[i]));
  done = end == n;
}

// Fills a cache value; false (logged) when a child can't be held.
bool fillDirEntInfo(DirEntInfo& info, const guid_t& dirGuid, const guid_t& parent,
                    const GuidPathList& children) {
  info.parentGuid = parent;
  for (const auto& [guid, name] : children) {
    if (!info.children.insert(name, guid, false, 1).ok()) {
      OSLOG(-1, "Error: can't insert child into [%s]", dirGuid.c_str());
      return false;
    }
  }
  return true;
}

// Puts a cached directory's value back with its current number of children
// as its weight, so that the cache's budget keeps counting children that
// were added or removed since the list was loaded. A directory that no
// longer fits is dropped (it is then read from disk). REQUIRES: the lock.
void reweighNoLock(DirCache& cache, const guid_t& dirGuid, DirEntInfo& info) {
  const uint64_t weight = info.children.size();
  DirEntInfo moved(std::move(info));
  if (CZnError err = cache.insertNoLock(dirGuid, std::move(moved), false, weight); !err.ok()) {
    OSLOG(0, "Warning: %zu children doesn't fit in dirEntCache. err=[%s]",
          static_cast<size_t>(weight), err.text().c_str());
    (void)cache.eraseNoLock(dirGuid);  // its value was moved out
  }
}

// Runs a function when the scope ends.
template <class F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Reading

namespace {

// Reads dirGuid's list from its segment, or rebuilds it when the segment is
// missing, damaged or incomplete. cacheable is false when the list is only
// what a failed rebuild could give (a later read must try again).
CZnError loadEntryList(ObjectStore& store, const guid_t& dirGuid, GuidPathList& list,
                       guid_t& parent, bool& cacheable) {
  const guid_t segment = store.fullDirGuid(dirGuid);
  bool needsRestore = false;
  std::vector<SectionV> sections;
  FileHeaderData data;
  CZnError readErr;
  if (!store.diskCache().doesSegmentExist(store.diskCacheContext(), segment)) {
    OSLOG(5, "Segment missing");
    needsRestore = true;
  } else if (readErr = store.readAllSectionsFromDiskCache(segment, sections);
             readFailedAndSegmentKept(readErr)) {
    // A rebuild would write over a list that may hold entries the index
    // does not know yet.
    readErr.Push(FX_LOC, "Error: Can't read the entry list of [%s]", segment.c_str());
    return readErr;
  } else if (!readErr.ok() || sections.size() < 2 ||
             sections.front().number != SECTION_HEADER ||
             sections.front().data.size() != HEADER_SECTION_SIZE) {
    OSLOG(-1, "Error: Can't read sections of [%s]", segment.c_str());
    needsRestore = true;
  } else {
    std::memcpy(&data, sections.front().data.data(), HEADER_SECTION_SIZE);
    if (data.fileType != FILE_TYPE_DIRECTORY) {
      OSLOG(-1, "Error: not directory: [%s]", segment.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EBADMSG, "Error: not directory: [%s]",
                                     segment.c_str());
    }
    parent.assign(data.parentGuid, strnlen(data.parentGuid, sizeof(data.parentGuid)));
    if (data.hasData == 0) {
      OSLOG(5, "Incomplete directory entry");
      needsRestore = true;
    }
  }

  if (needsRestore) {
    CZnError err = store.restoreDirEnt(dirGuid, list, parent);
    if (!err.ok()) {
      if (err.errNo() != ENOENT) {
        OSLOG(-1, "Can't restore directory [%s] [%s]", dirGuid.c_str(), err.text().c_str());
        return err;
      }
      cacheable = false;
    }
    OSLOG(5, "restored %lu items", static_cast<unsigned long>(list.size()));
    return CZnError::Success;
  }

  const SectionV& last = sections.back();
  if (last.number != SECTION_DATA) {
    OSLOG(5, "Empty dir entry");
    return CZnError::Success;
  }
  const bool intact = walkEntryList(
      last.data, [&](const std::string& guid, const std::string& name, size_t, size_t) {
        OSLOG(6, "[%s] [%s]", guid.c_str(), name.c_str());
        // No create or rename gives such a name: only damage does, and a
        // caller joining it to a path ("..", "a/b") would land elsewhere.
        if (!isValidItemName(name)) {
          OSLOG(-1, "Error: skipping entry [%s] with an invalid name in [%s]", guid.c_str(),
                segment.c_str());
          return true;
        }
        list.emplace_back(guid, name);
        return true;
      });
  if (!intact) {
    // Every whole record before the damage is still a child; the damaged
    // tail can't be told apart from garbage.
    OSLOG(-1, "Error: damaged entry list in [%s], keeping %lu items", segment.c_str(),
          static_cast<unsigned long>(list.size()));
  }
  OSLOG(5, "read %lu items", static_cast<unsigned long>(list.size()));
  return CZnError::Success;
}

// A directory's size is the length of its entry list: each change sets it
// (and the change time) after writing the list.
CZnError updateListSize(ObjectStore& store, const guid_t& segment, uint64_t size) {
  CZnError err =
      store.updateFileHeader(segment, size, 0, static_cast<time_t>(clockNowSec()), "", Range());
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't update header for [%s]", store.getRootName().c_str(),
             segment.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

// Opens a directory's entry for a read or a change of its list; the caller's
// opener holds it until the caller is done.
CZnError openEntryOf(AutoDirEntryOpener& opener) {
  CZnError err = opener.open();
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't open entry");
    OSLOG_ERR(err);
  }
  return err;
}

}  // namespace

CZnError ObjectStore::readDirEnt(GuidPathList& out, guid_t& parent, bool& done, ItemName& dir,
                                 size_t offset, size_t max, bool unused) {
  (void)unused;
  TimeFunction timer("readDirEnt", PERF_READ_DIR_ENT);
  OSLOG(5, "reading [%s] [%s] off=%zd max=%zd", dir.objGuid.c_str(), dir.path.c_str(),
        static_cast<ssize_t>(offset), static_cast<ssize_t>(max));
  const guid_t dirGuid = dir.getObjGuid(*this);
  if (dirGuid.empty()) {
    OSLOG(4, "Error: Can't get object guid for [%s]", dir.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Error: Can't get object guid for [%s]",
                                   dir.path.c_str());
  }
  AutoDirEntryOpener opener(*this, dirGuid);
  if (CZnError err = openEntryOf(opener); !err.ok()) return err;

  out.clear();
  done = false;
  {
    DirCache::LockGuard guard(dirEntCache_);
    if (DirEntInfo* info = dirEntCache_.findNoLock(dirGuid, true)) {
      // Only the requested page is copied: a paged listing of a large
      // directory must not copy the whole list for every page.
      std::vector<std::pair<std::string, guid_t>> children;
      const size_t total = info->children.getItems(offset, max, children);
      OSLOG(5, "[%s] found in dirEntCache. Contains %zu entries", dirGuid.c_str(), total);
      parent = info->parentGuid;
      out.reserve(children.size());
      for (auto& [name, guid] : children) out.emplace_back(std::move(guid), std::move(name));
      done = std::min(offset, total) + children.size() == total;
      return CZnError::Success;
    }
    beginLoadNoLock(this, dirGuid);
  }

  GuidPathList list;
  guid_t listParent;
  bool cacheable = true;
  CZnError err = loadEntryList(*this, dirGuid, list, listParent, cacheable);

  // Built outside the lock: filling the children costs time proportional
  // to the directory.
  DirEntInfo info(config_.caseSensitive);
  if (err.ok() && cacheable) cacheable = fillDirEntInfo(info, dirGuid, listParent, list);
  CZnError insertErr;
  {
    DirCache::LockGuard guard(dirEntCache_);
    const bool changed = endLoadNoLock(this, dirGuid);
    if (err.ok() && cacheable && !changed) {
      insertErr = dirEntCache_.insertNoLock(dirGuid, std::move(info), true, list.size());
      if (!insertErr.ok()) (void)dirEntCache_.eraseNoLock(dirGuid);  // never keep an older list
    } else if (changed) {
      OSLOG(5, "[%s] changed while being read, not cached", dirGuid.c_str());
    }
  }
  if (!insertErr.ok())
    OSLOG(0, "Warning: %zu children doesn't fit in dirEntCache. err=[%s]", list.size(),
          insertErr.text().c_str());
  if (!err.ok()) return err;

  parent = listParent;
  takePage(list, offset, max, out, done, [](const std::pair<guid_t, std::string>& c) { return c; });
  OSLOG(5, "return %lu items parent=[%s] done=%d", static_cast<unsigned long>(out.size()),
        parent.c_str(), done ? 1 : 0);
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// The dirent cache

void ObjectStore::addToDirCache(const guid_t& parent, const guid_t& dirGuid,
                                const GuidPathList& children) {
  OSLOG(5, "[%s] adding %zu children to dirent [%s]", rootName_.c_str(), children.size(),
        dirGuid.c_str());
  DirEntInfo info(config_.caseSensitive);
  const bool filled = fillDirEntInfo(info, dirGuid, parent, children);
  CZnError err;
  {
    DirCache::LockGuard guard(dirEntCache_);
    // A list handed in whole is newer than any load that is running.
    markChangedNoLock(this, dirGuid);
    if (filled) err = dirEntCache_.insertNoLock(dirGuid, std::move(info), true, children.size());
    if (!filled || !err.ok()) (void)dirEntCache_.eraseNoLock(dirGuid);
  }
  if (!err.ok())
    OSLOG(0, "Warning: %zu children doesn't fit in dirEntCache. err=[%s]", children.size(),
          err.text().c_str());
}

void ObjectStore::addToDirCache(const guid_t& dirGuid, const guid_t& childGuid,
                                const std::string& name, bool restore) {
  OSLOG(5, "[%s] adding [%s] [%s] to dirent [%s] restore=%d", rootName_.c_str(), childGuid.c_str(),
        name.c_str(), dirGuid.c_str(), restore ? 1 : 0);
  {
    DirCache::LockGuard guard(dirEntCache_);
    markChangedNoLock(this, dirGuid);
    if (DirEntInfo* info = dirEntCache_.getVal(dirGuid)) {
      (void)info->children.insert(name, childGuid, false, 1);  // never full: unbounded
      reweighNoLock(dirEntCache_, dirGuid, *info);
      return;
    }
  }
  OSLOG(5, "[%s] not found in dirEntCache.", dirGuid.c_str());
  if (!restore) return;

  ItemName dir(dirGuid, dirGuid == rootGuid_);
  GuidPathList children;
  guid_t parent;
  bool done = false;
  if (CZnError err = readDirEnt(children, parent, done, dir, 0, DIRENT_READ_ALL); !err.ok()) {
    OSLOG(5, "reading directory entry failed: [%s]", err.text().c_str());
    return;
  }
  bool listed = false;
  for (const auto& child : children) listed = listed || child.first == childGuid;
  if (!listed) children.emplace_back(childGuid, name);
  addToDirCache(parent, dirGuid, children);
}

namespace {

// After a change of dirGuid's list on disk: the cached list gets the same
// change (change(info) under the lock), and loads running meanwhile are
// marked. REQUIRES: not holding the dirent-cache lock.
template <class Change>
void afterDiskChange(const ObjectStore* store, DirCache& cache, const guid_t& dirGuid,
                     Change&& change) {
  DirCache::LockGuard guard(cache);
  markChangedNoLock(store, dirGuid);
  if (DirEntInfo* info = cache.getVal(dirGuid)) {
    change(*info);
    reweighNoLock(cache, dirGuid, *info);
  }
}

// After a change that may or may not have reached the disk: the next reader
// loads the list again.
void forgetDirectory(const ObjectStore* store, DirCache& cache, const guid_t& dirGuid) {
  DirCache::LockGuard guard(cache);
  markChangedNoLock(store, dirGuid);
  (void)cache.eraseNoLock(dirGuid);
}

}  // namespace

// ---------------------------------------------------------------------------
// Changing a list

CZnError ObjectStore::addToDirEnt(const guid_t& dirGuid, const guid_t& childGuid,
                                  const std::string& name, bool restore) {
  TimeFunction timer("addToDirEnt", PERF_ADD_TO_DIR_ENT);
  OSLOG(5, "[%s] adding [%s] [%s] to dirent [%s]", rootName_.c_str(), childGuid.c_str(),
        name.c_str(), dirGuid.c_str());
  if (CZnError err = checkEntry(childGuid, name); !err.ok()) {
    err.Push(FX_LOC, "Error: [%s] Can't add to directory entry: [%s]", rootName_.c_str(),
             dirGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  AutoDirEntryOpener opener(*this, dirGuid);
  if (CZnError err = openEntryOf(opener); !err.ok()) return err;
  opener.lock();

  const guid_t segment = fullDirGuid(dirGuid);
  bool complete = false;
  if (diskCache_->doesSegmentExist(context_, segment)) {
    FileHeaderData data;
    if (readFileHeaderData(data, segment).ok())
      complete = data.hasData != 0;
    else
      OSLOG(-1, "Error: Can't read file header of [%s]", segment.c_str());
  }
  if (!complete) {
    CZnError err;
    GuidPathList restored;
    if (restore) {
      guid_t parent;
      err = restoreDirEnt(dirGuid, restored, parent);
    } else {
      err = FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] has no complete directory entry",
                                    segment.c_str());
    }
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: [%s] Can't add to directory entry: [%s]", rootName_.c_str(),
               dirGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
    // The list was rebuilt from the index, which may hold the child already
    // (a creation adds it there first): appending it again would list the
    // name twice.
    if (std::find(restored.begin(), restored.end(), std::make_pair(childGuid, name)) !=
        restored.end()) {
      afterDiskChange(this, dirEntCache_, dirGuid, [&](DirEntInfo& info) {
        (void)info.children.insert(name, childGuid, false, 1);  // never full: unbounded
      });
      return CZnError::Success;
    }
  }

  uint64_t oldSize = 0;
  if (!diskCache_->getSectionSize(oldSize, context_, segment, SECTION_DATA, 0).ok()) oldSize = 0;
  // The record goes over the old terminator and brings its own.
  const std::string record = encodeRecordWithTerminator(childGuid, name);
  const uint64_t offset = oldSize > 0 ? oldSize - 1 : 0;
  const std::vector<Section> writes = {
      makeWriteSection(SECTION_DATA, offset, record.data(), record.size())};
  CZnError err = diskCache_->writeSections(context_, segment, writes, false, 0);
  if (!err.ok()) {
    forgetDirectory(this, dirEntCache_, dirGuid);
    if (err.errNo() != ENOENT) {
      OSLOG(-1, "Error: [%s] Can't write section parent=[%s]", childGuid.c_str(), dirGuid.c_str());
      // A view that discards writes rebuilds a list it can't trust from the
      // index on its next use.
      if (discardWrites_.load()) (void)diskCache_->deleteSegment(context_, segment, false, true, 0);
      return err;
    }
    // The segment went away under us (pruned); the header update below
    // reports it.
  } else {
    afterDiskChange(this, dirEntCache_, dirGuid, [&](DirEntInfo& info) {
      (void)info.children.insert(name, childGuid, false, 1);  // never full: unbounded
    });
  }

  // A directory's size is the length of its entry list. A failed write may
  // have taken the whole segment with it (its list is then rebuilt from the
  // index): the cached list can't be trusted after one.
  const uint64_t newSize = offset + record.size();
  if (err = updateListSize(*this, segment, newSize); !err.ok()) {
    forgetDirectory(this, dirEntCache_, dirGuid);
    return err;
  }
  if (err = updateHasData(segment, 1); !err.ok()) {
    forgetDirectory(this, dirEntCache_, dirGuid);
    err.Push(FX_LOC, "Error: [%s] Can't update hasData for [%s]", rootName_.c_str(),
             segment.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

CZnError ObjectStore::removeFromDirEnt(guid_t dirGuid, const guid_t& childGuid,
                                       const std::string& name) {
  OSLOG(4, "[%s] removeFromDirEnt [%s] [%s] [%s]", rootName_.c_str(), dirGuid.c_str(),
        childGuid.c_str(), name.c_str());
  AutoDirEntryOpener opener(*this, dirGuid);
  if (CZnError err = openEntryOf(opener); !err.ok()) return err;
  opener.lock();

  // Whatever happens on disk, the cache lists the child no longer; where the
  // disk may be left in any state, the whole directory is forgotten.
  bool forgetAll = false;
  ScopeExit updateCache([&] {
    if (forgetAll) {
      forgetDirectory(this, dirEntCache_, dirGuid);
      return;
    }
    afterDiskChange(this, dirEntCache_, dirGuid, [&](DirEntInfo& info) {
      // The name may meanwhile belong to another child (an entry removed
      // again after a crash, a name already reused): only this child goes.
      guid_t cached;
      if (!info.children.read(name, cached, false) || cached != childGuid) return;
      if (info.children.erase(name))
        OSLOG(5, "removing [%s] from dirEntCache item [%s]", name.c_str(), dirGuid.c_str());
    });
  });

  const guid_t segment = fullDirGuid(dirGuid);
  if (!diskCache_->doesSegmentExist(context_, segment)) {
    OSLOG(4, "[%s] no dirent in cache", segment.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] no dirent in cache", segment.c_str());
  }
  std::vector<SectionV> sections;
  CZnError readErr = readAllSectionsFromDiskCache(segment, sections);
  if (readFailedAndSegmentKept(readErr)) {
    // The list on disk still names the child: the caller's failure path
    // (a leftover entry removed later) takes over.
    forgetAll = true;
    readErr.Push(FX_LOC, "[%s] Error: Can't read [%s]", rootName_.c_str(), segment.c_str());
    return readErr;
  }
  if (!readErr.ok()) {
    // The damaged segment has been dropped; its list is rebuilt from the
    // index, where the caller records the removal.
    OSLOG(-1, "[%s] Error: can't read sections [%s]", rootName_.c_str(), segment.c_str());
    forgetAll = true;
    return CZnError::Success;
  }
  const int recycle = saveCorruptSegments_ ? 1 : 0;
  if (sections.empty() || sections.front().number != SECTION_HEADER ||
      sections.front().data.size() != HEADER_SECTION_SIZE) {
    forgetAll = true;
    (void)diskCache_->deleteSegment(context_, segment, false, false, recycle);
    OSLOG(-1, "Error: Invalid file header in [%s]", segment.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Invalid file header in [%s]",
                                   segment.c_str());
  }
  FileHeaderData data;
  std::memcpy(&data, sections.front().data.data(), HEADER_SECTION_SIZE);
  if (data.fileType != FILE_TYPE_DIRECTORY) {
    OSLOG(-1, "Error: not directory: [%s]", segment.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EBADMSG, "Error: not directory: [%s]", segment.c_str());
  }
  if (data.hasData == 0) {
    OSLOG(5, "Incomplete segment");
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Incomplete segment [%s]", segment.c_str());
  }

  // No data section at all is an empty directory; one that is not the last
  // section is a damaged segment.
  std::vector<unsigned char> empty;
  std::vector<unsigned char>* bytes = &empty;
  if (sections.back().number == SECTION_DATA) {
    bytes = &sections.back().data;
  } else {
    for (const auto& section : sections) {
      if (section.number != SECTION_DATA) continue;
      forgetAll = true;
      (void)diskCache_->deleteSegment(context_, segment, false, false, recycle);
      OSLOG(-1, "Error: invalid data section: [%s]", segment.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: invalid data section: [%s]",
                                     segment.c_str());
    }
  }

  // The record of this child under this name; else its first record. A
  // rename cut off between its two list changes lists a child twice in one
  // directory, and the name tells which record goes.
  size_t recordStart = 0;
  size_t recordLength = 0;
  bool otherName = false;
  walkEntryList(*bytes, [&](const std::string& guid, const std::string& listedName, size_t start,
                            size_t length) {
    if (guid != childGuid) return true;
    if (recordLength == 0 || listedName == name) {
      recordStart = start;
      recordLength = length;
      otherName = listedName != name;
    }
    return listedName != name;
  });
  // The cache is told the name given; a record under another name goes
  // from the disk, so the cached list is read again instead.
  if (otherName) forgetAll = true;
  if (recordLength == 0) {
    OSLOG(-1, "[%s] Error: no matching entry found [%s] [%s]", rootName_.c_str(), segment.c_str(),
          childGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] Error: no matching entry found [%s] [%s]",
                                   rootName_.c_str(), segment.c_str(), childGuid.c_str());
  }

  const auto first = bytes->begin() + static_cast<std::ptrdiff_t>(recordStart);
  bytes->erase(first, first + static_cast<std::ptrdiff_t>(recordLength));
  if (bytes->empty())
    bytes->push_back(0);
  else
    bytes->back() = 0;
  const uint64_t newSize = bytes->size();
  const std::vector<Section> writes = {makeWriteSection(SECTION_DATA, 0, bytes->data(), newSize)};
  CZnError err = diskCache_->writeSections(context_, segment, writes, false, 0);
  if (!err.ok()) {
    forgetAll = true;
    if (discardWrites_.load()) (void)diskCache_->deleteSegment(context_, segment, false, true, 0);
    OSLOG(-1, "[%s] Error: Can't remove from dirent [%s] [%s]", rootName_.c_str(), segment.c_str(),
          childGuid.c_str());
    return err;
  }
  if (err = diskCache_->truncateSection(context_, segment, SECTION_DATA, 0, newSize); !err.ok()) {
    forgetAll = true;
    err.Push(FX_LOC, "[%s] Error: Can't truncate section - [%s] [%s]", rootName_.c_str(),
             segment.c_str(), childGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // The size follows the list, as it does on an add (and a failed write may
  // have taken the segment with it, as there).
  if (err = updateListSize(*this, segment, newSize); !err.ok()) {
    forgetAll = true;
    return err;
  }
  return CZnError::Success;
}

CZnError ObjectStore::trimEntryList(const guid_t& dirGuid) {
  AutoDirEntryOpener opener(*this, dirGuid);
  if (CZnError err = openEntryOf(opener); !err.ok()) return err;
  opener.lock();
  const guid_t segment = fullDirGuid(dirGuid);
  if (!diskCache_->doesSegmentExist(context_, segment)) return CZnError::Success;
  std::vector<SectionV> sections;
  if (!readAllSectionsFromDiskCache(segment, sections).ok() || sections.empty() ||
      sections.back().number != SECTION_DATA)
    return CZnError::Success;  // nothing to cut, or damage that readers deal with
  const std::vector<unsigned char>& bytes = sections.back().data;
  size_t end = 0;
  const bool intact = walkEntryList(bytes, [&end](const std::string&, const std::string&,
                                                  size_t start, size_t length) {
    end = start + length;
    return true;
  });
  if (!intact || end >= bytes.size() || bytes[end] != 0) return CZnError::Success;
  const uint64_t listSize = end + 1;  // the terminator stays
  if (listSize == bytes.size()) return CZnError::Success;
  OSLOG(2, "[%s] cutting %lu bytes after the entry list of [%s]", rootName_.c_str(),
        static_cast<unsigned long>(bytes.size() - listSize), dirGuid.c_str());
  forgetDirectory(this, dirEntCache_, dirGuid);
  if (CZnError err = diskCache_->truncateSection(context_, segment, SECTION_DATA, 0, listSize);
      !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't cut the entry list of [%s]", rootName_.c_str(),
             dirGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return updateListSize(*this, segment, listSize);
}

// ---------------------------------------------------------------------------
// Directory-entry users

CZnError ObjectStore::openDirEntry(const guid_t& dirGuid, OpenFileInfo** out) {
  OSLOG(5, "[%s] openDirEntry [%s]", rootName_.c_str(), dirGuid.c_str());
  HxCriticalSectionGuard guard(openFilesLock_);
  OpenFileInfo* info = nullptr;
  auto it = openFiles_.find(dirGuid);
  if (it != openFiles_.end()) {
    info = it->second;
  } else {
    info = new (std::nothrow) OpenFileInfo;
    if (info == nullptr) {
      OSLOG(-1, "Error: [%s] Can't allocate openFileInfo for [%s]", rootName_.c_str(),
            dirGuid.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Can't allocate openFileInfo for [%s]",
                                     dirGuid.c_str());
    }
    OSLOG(5, "Created new openFileInfo %p", static_cast<void*>(info));
    openFiles_.emplace(dirGuid, info);
  }
  ++info->writers;
  if (out != nullptr) *out = info;
  return CZnError::Success;
}

CZnError ObjectStore::closeDirEntry(const guid_t& dirGuid) {
  OSLOG(5, "[%s] closeDirEntry [%s]", rootName_.c_str(), dirGuid.c_str());
  HxCriticalSectionGuard guard(openFilesLock_);
  auto it = openFiles_.find(dirGuid);
  if (it == openFiles_.end() || it->second->writers <= 0) {
    OSLOG(-1, "Error: [%s] File is not open: [%s]", rootName_.c_str(), dirGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Error: [%s] File is not open: [%s]",
                                   rootName_.c_str(), dirGuid.c_str());
  }
  OpenFileInfo* info = it->second;
  --info->writers;
  if (info->writers == 0 && info->readers == 0) {
    openFiles_.erase(it);
    OSLOG(5, "Deleted openFileInfo %p", static_cast<void*>(info));
    delete info;
  }
  return CZnError::Success;
}

}  // namespace ObjectStore
