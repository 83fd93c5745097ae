// GuidCache: a two-way cache between object GUIDs and data (paths for the
// path cache "guid", version GUIDs for the version cache "version").
//
// Two parts answer every lookup, in this order:
//   1. a bounded cache (generic_cache): key 1 = the GUID, key 2 = the data,
//      both unique; it evicts on its own within its byte budget;
//   2. a persistent set of (guid, val) pairs, both unique, mirrored by a
//      text file ("guid,val" per line, see persistent_map.h). It holds items
//      that exist only locally (a view that discards writes never tells the
//      index about them), so it is never evicted.
//
// The persistent file is appended to for a new pair and rewritten durably
// (temporary file, fsync, rename) whenever a pair is removed or changed
// (deleteGuid, a persistent insert that replaces a pair, renamePaths), so
// that a reopened cache sees exactly what the last one held. When the file is
// read, the first line for a GUID or a value wins.
//
// Case. A cache created for case-insensitive names (flag2) compares data
// ignoring ASCII letter case: in the bounded cache, in the persistent set and
// in the prefix test of renamePaths.
//
// Every operation before initialize logs "Error: Not initialized" and fails
// with EINVAL. Thread safety: every member function takes the cache's one
// mutex, a leaf lock (no other lock is taken while it is held; the store
// never holds two cache mutexes at once).
#pragma once

#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index/tag.hpp>
#include <boost/multi_index_container.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "ObjectStore/Identifiers.h"
#include "platform/support/CZnError.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/ThreadAnnotations.h"
#include "platform/utils/generic_cache.h"

namespace ObjectStore {

// Tags of the persistent set's two indexes.
struct as_guid {};
struct as_value {};

struct GuidCacheEntry {
  guid_t guid;
  std::string val;
};

// Order of the persistent values: bytes as unsigned, after folding 'A'..'Z'
// when the cache is case-insensitive.
struct GuidCacheValueLess {
  bool caseInsensitive = false;
  bool operator()(const std::string& a, const std::string& b) const;
};

using GuidCachePersistentSet = boost::multi_index_container<
    GuidCacheEntry,
    boost::multi_index::indexed_by<
        boost::multi_index::ordered_unique<
            boost::multi_index::tag<as_guid>,
            boost::multi_index::member<GuidCacheEntry, guid_t, &GuidCacheEntry::guid>>,
        boost::multi_index::ordered_unique<
            boost::multi_index::tag<as_value>,
            boost::multi_index::member<GuidCacheEntry, std::string, &GuidCacheEntry::val>,
            GuidCacheValueLess>>>;

struct GuidCacheStats {
  generic_cache_stats cache;     // the bounded cache's own statistics
  uint64_t persistentItems = 0;  // pairs in the persistent set
  uint64_t maxBytes = 0;         // the configured byte budget
  uint64_t bytes = 0;            // data bytes inserted, each value counted with one extra byte
  uint64_t inserts = 0;          // successful non-persistent inserts
};

// The string-typed implementation; GuidCache<T> below converts T.
class GuidCacheBase {
 public:
  // name: "guid" or "version", used in messages.
  explicit GuidCacheBase(std::string name);
  ~GuidCacheBase();
  GuidCacheBase(const GuidCacheBase&) = delete;
  GuidCacheBase& operator=(const GuidCacheBase&) = delete;

  // Creates the bounded cache (maxBytes; every element charged at least
  // dataWidth + GUID_CHAR_SIZE bytes; flag1: lookups refresh recency, i.e.
  // LRU instead of FIFO eviction; flag2: data compared case-insensitively),
  // loads the persistent file at path (a missing file is an empty set) and
  // opens it for appending. Fails with EINVAL for a budget of 0 or less, a
  // negative width or a second call; EIO for file errors (a bad line stops
  // the load).
  CZnError initialize(int maxBytes, int dataWidth, const std::string& path, bool flag1, bool flag2)
      OS_EXCLUDES(mutex_);

  // guid -> data. Not persistent: into the bounded cache (replacing guid's
  // previous data and any other GUID's mapping of the same data).
  // Persistent: guid is dropped from the bounded cache and (guid, data)
  // replaces whatever pairs of the persistent set had that GUID or that
  // data; EINVAL when guid or data is empty or holds ',' or '\n'.
  CZnError insert(const guid_t& guid, const std::string& data, bool persistent) OS_EXCLUDES(mutex_);

  // Caching what a lookup found elsewhere (the index) races with the changes
  // that make it stale: a rename or delete that lands between the lookup and
  // its insert would be undone by the insert, and the old name would find
  // the object again. A lookup therefore reads changeCount() before it asks
  // the index and caches its answer with fill(), which inserts (not
  // persistent) only when no insert, deleteGuid or renamePaths happened in
  // between; otherwise it does nothing and succeeds. Fills do not count as
  // changes, so concurrent lookups never starve each other.
  uint64_t changeCount() OS_EXCLUDES(mutex_);
  CZnError fill(const guid_t& guid, const std::string& data, uint64_t since) OS_EXCLUDES(mutex_);

  // data -> guid (the bounded cache first, then the persistent set).
  // ENOENT when neither has it (logged at level 3).
  CZnError findGuid(guid_t& guid, const std::string& data) OS_EXCLUDES(mutex_);
  // guid -> data, the same way. ENOENT, silently, when unknown.
  CZnError findData(const guid_t& guid, std::string& data) OS_EXCLUDES(mutex_);

  // Forgets guid in both parts. Succeeds also when guid was unknown; a
  // failed rewrite of the persistent file is logged (the pair may come back
  // when the file is read again) and still answers success.
  CZnError deleteGuid(const guid_t& guid) OS_EXCLUDES(mutex_);

  // Moves every data value below the directory oldPrefix to the same place
  // below newPrefix, in both parts. Prefixes are normalised: "" is "/",
  // otherwise a missing trailing '/' is added, so "/a" -> "/b" changes
  // "/a/x" to "/b/x" but leaves "/ab/x" and "/a" itself alone.
  CZnError renamePaths(const std::string& oldPrefix, const std::string& newPrefix)
      OS_EXCLUDES(mutex_);

  CZnError getStats(GuidCacheStats& stats) OS_EXCLUDES(mutex_);
  // Log every element of the bounded cache / the persistent set (level 3
  // title, level 4 lines "[guid] -> [data]").
  CZnError dumpCache() OS_EXCLUDES(mutex_);
  CZnError dumpPersistentCache() OS_EXCLUDES(mutex_);

  const std::string& name() const { return name_; }

 private:
  CZnError checkInitialized() const OS_REQUIRES(mutex_);
  CZnError insertLocked(const guid_t& guid, const std::string& data, bool persistent)
      OS_REQUIRES(mutex_);
  // The persistent file rewritten to hold exactly `entries`; on success they
  // become the persistent set.
  CZnError replacePersistent(GuidCachePersistentSet& entries) OS_REQUIRES(mutex_);
  // An empty persistent set ordered for this cache's case mode.
  GuidCachePersistentSet emptySet() const OS_REQUIRES(mutex_);

  const std::string name_;
  HxCriticalSection mutex_;
  std::unique_ptr<generic_cache> cache_ OS_GUARDED_BY(mutex_);
  GuidCachePersistentSet persistent_ OS_GUARDED_BY(mutex_);
  std::string path_ OS_GUARDED_BY(mutex_);
  int fd_ OS_GUARDED_BY(mutex_) = -1;  // the persistent file, open for appending
  bool caseInsensitive_ OS_GUARDED_BY(mutex_) = false;
  bool initialized_ OS_GUARDED_BY(mutex_) = false;
  uint64_t maxBytes_ OS_GUARDED_BY(mutex_) = 0;
  uint64_t bytes_ OS_GUARDED_BY(mutex_) = 0;
  uint64_t inserts_ OS_GUARDED_BY(mutex_) = 0;
  uint64_t changes_ OS_GUARDED_BY(mutex_) = 0;  // see changeCount()
};

// The cache over a data type T held as text (std::string in the store).
template <typename T>
class GuidCache {
  static_assert(std::is_constructible_v<std::string, const T&> &&
                    std::is_constructible_v<T, std::string>,
                "GuidCache data must convert to and from std::string");

 public:
  explicit GuidCache(std::string name) : base_(std::move(name)) {}

  CZnError initialize(int maxBytes, int dataWidth, const std::string& path, bool flag1,
                      bool flag2) {
    return base_.initialize(maxBytes, dataWidth, path, flag1, flag2);
  }
  CZnError insert(const guid_t& guid, const T& data, bool persistent) {
    return base_.insert(guid, std::string(data), persistent);
  }
  uint64_t changeCount() { return base_.changeCount(); }
  CZnError fill(const guid_t& guid, const T& data, uint64_t since) {
    return base_.fill(guid, std::string(data), since);
  }
  CZnError findGuid(guid_t& guid, const T& data) { return base_.findGuid(guid, std::string(data)); }
  CZnError findData(const guid_t& guid, T& data) {
    std::string text;
    CZnError err = base_.findData(guid, text);
    if (err.ok()) data = T(std::move(text));
    return err;
  }
  CZnError deleteGuid(const guid_t& guid) { return base_.deleteGuid(guid); }
  CZnError renamePaths(const std::string& oldPrefix, const std::string& newPrefix) {
    return base_.renamePaths(oldPrefix, newPrefix);
  }
  CZnError getStats(GuidCacheStats& stats) { return base_.getStats(stats); }
  CZnError dumpCache() { return base_.dumpCache(); }
  CZnError dumpPersistentCache() { return base_.dumpPersistentCache(); }
  const std::string& name() const { return base_.name(); }

 private:
  GuidCacheBase base_;
};

}  // namespace ObjectStore
