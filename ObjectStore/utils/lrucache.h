// LruCache: a weighted least-recently-used cache.
//
// Each entry has a weight; the sum of the weights (totalWeight) never exceeds
// the capacity (maxWeight). Inserting evicts least recently used entries until
// the new one fits; an entry heavier than the whole capacity is refused with
// ENOSPC. Keys are kept in an ordered map whose comparison function is given
// at construction (plain `<` by default; a case-insensitive name order works
// too), next to a recency list, least recently used at the front.
//
// Locking. Every public function without "NoLock" in its name takes the
// cache's own mutex for its duration. A caller that must read and then update
// an entry as one step holds the mutex with lock()/unlock() (or LockGuard) and
// uses only the *NoLock functions and getVal() meanwhile; calling a locking
// function while holding lock() on the same cache is a bug (the mutex is not
// recursive; the process stops with a message instead of hanging). No
// function of this class takes any other lock.
//
// Values are stored in place and handed out by copy (read, getAllItems) or by
// pointer while the caller holds the lock (getVal, findNoLock); such a
// pointer stays valid until the entry is erased, replaced by an insert with
// another weight, or evicted.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <utility>
#include <vector>

#include "platform/support/CZnError.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

// Statistics of one LruCache: five counters and two gauges.
struct LruCacheStats {
  uint64_t inserts = 0;      // inserts of a key that was not present
  uint64_t updates = 0;      // inserts of a present key (value replaced)
  uint64_t hits = 0;         // successful reads
  uint64_t misses = 0;       // failed reads
  uint64_t overflows = 0;    // inserts refused because the weight exceeds the capacity
  uint64_t evictions = 0;    // entries dropped to make room
  uint64_t totalWeight = 0;  // sum of the weights held now
  uint64_t numEntries = 0;   // entries held now
};

template <typename K, typename V, typename Compare = std::function<bool(const K&, const K&)>>
class LruCache {
 public:
  // maxWeight: the capacity (may be set later with setSize, before use).
  explicit LruCache(uint64_t maxWeight = 0, Compare compare = std::less<K>())
      : map_(std::move(compare)), maxWeight_(maxWeight) {}

  // Moves the entries (the source is left empty); a cache is moved only while
  // no other thread uses either object, e.g. into a container element.
  LruCache(LruCache&& other) : map_(other.map_.key_comp()) { *this = std::move(other); }
  LruCache(const LruCache&) = delete;
  LruCache& operator=(const LruCache&) = delete;
  // Replaces this cache's entries by other's (other is left empty); the same
  // rule as for the move constructor: neither object is in use by another
  // thread, e.g. a cached value replaced under its cache's lock.
  // Only the source is locked: this object is not in use elsewhere, and
  // taking its mutex too would order two cache mutexes for no gain.
  LruCache& operator=(LruCache&& other) {
    if (this == &other) return *this;
    HxCriticalSectionGuard theirs(other.mutex_);
    map_ = std::move(other.map_);
    order_ = std::move(other.order_);
    maxWeight_ = other.maxWeight_;
    totalWeight_ = other.totalWeight_;
    stats_ = other.stats_;
    other.map_.clear();
    other.order_.clear();
    other.totalWeight_ = 0;
    cursorValid_ = false;
    other.cursorValid_ = false;
    return *this;
  }

  // ---- Locking functions ---------------------------------------------------

  // Sets the capacity. Entries beyond a smaller capacity are evicted, least
  // recently used first.
  void setSize(uint64_t maxWeight) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    maxWeight_ = maxWeight;
    evictNoLock(0);
  }

  // Inserts key -> value with `weight`, or replaces the value of a present
  // key. A present key of the same weight keeps its place in the recency
  // order unless moveToBack; otherwise the entry becomes the most recently
  // used. Fails with ENOSPC when weight > capacity (only the overflow count
  // changes then).
  CZnError insert(const K& key, V value, bool moveToBack, uint64_t weight) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    return insertNoLock(key, std::move(value), moveToBack, weight);
  }

  // Copies the value of key into `value`; on a hit the entry becomes the most
  // recently used when moveToBack. Counts a hit or a miss.
  bool read(const K& key, V& value, bool moveToBack) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    return readNoLock(key, value, moveToBack);
  }

  // True when the key is present (no statistics, no recency change).
  bool contains(const K& key) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    return map_.find(key) != map_.end();
  }

  // Removes the key; false when it was not present.
  bool erase(const K& key) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    return eraseNoLock(key);
  }

  void clear() OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    order_.clear();
    map_.clear();
    totalWeight_ = 0;
    cursorValid_ = false;
  }

  // The keys (and copies of the entries), least recently used first.
  void getAllKeys(std::vector<K>& keys) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    keys.clear();
    keys.reserve(map_.size());
    for (const auto& it : order_) keys.push_back(it->first);
  }
  void getAllItems(std::vector<std::pair<K, V>>& items) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    items.clear();
    items.reserve(map_.size());
    for (const auto& it : order_) items.emplace_back(it->first, it->second.value);
  }

  // Copies of at most `max` entries from position `offset` of the order
  // getAllItems hands out; returns the number of entries. A page of a long
  // list costs the entries it hands out plus a walk to its start, not a copy
  // of the whole list.
  size_t getItems(size_t offset, size_t max, std::vector<std::pair<K, V>>& items)
      OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    items.clear();
    const size_t n = map_.size();
    if (offset >= n) return n;
    const size_t count = std::min(max, n - offset);
    items.reserve(count);
    // Walk from whichever is nearest: the front, the back, or where the
    // previous page ended (a listing read page by page walks nothing).
    auto it = order_.begin();
    size_t walk = offset;
    if (n - offset < walk) {
      it = order_.end();
      walk = n - offset;
    }
    if (cursorValid_ && cursorPos_ <= offset && offset - cursorPos_ < walk) {
      it = cursorIt_;
      walk = offset - cursorPos_;
    }
    if (it == order_.end()) {
      std::advance(it, -static_cast<std::ptrdiff_t>(walk));
    } else {
      std::advance(it, static_cast<std::ptrdiff_t>(walk));
    }
    for (size_t i = 0; i < count; ++i, ++it) items.emplace_back((*it)->first, (*it)->second.value);
    cursorIt_ = it;
    cursorPos_ = offset + count;
    cursorValid_ = true;
    return n;
  }

  size_t size() OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    return map_.size();
  }

  LruCacheStats getStats() OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    LruCacheStats out = stats_;
    out.totalWeight = totalWeight_;
    out.numEntries = map_.size();
    return out;
  }
  // Resets the counters; the entries and their weights stay.
  void clearStats() OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    stats_ = LruCacheStats();
  }

  // ---- Holding the lock across several steps -------------------------------

  void lock() OS_ACQUIRE(mutex_) { mutex_.enter(); }
  void unlock() OS_RELEASE(mutex_) { mutex_.leave(); }

  // Holds lock() for its lifetime.
  class OS_SCOPED_CAPABILITY LockGuard {
   public:
    explicit LockGuard(LruCache& cache) OS_ACQUIRE(cache.mutex_) : cache_(cache) { cache_.lock(); }
    ~LockGuard() OS_RELEASE() { cache_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

   private:
    LruCache& cache_;
  };

  // REQUIRES: lock() held. The same as the functions without "NoLock".
  CZnError insertNoLock(const K& key, V value, bool moveToBack, uint64_t weight)
      OS_REQUIRES(mutex_) {
    mutex_.assertHeld();
    if (weight > maxWeight_) {
      ++stats_.overflows;
      return FXErrorUtil::ErrorErrNo(
          FX_LOC, ENOSPC, "No space inserting into lru. weight=%lu totalWeight=%lu",
          static_cast<unsigned long>(weight), static_cast<unsigned long>(totalWeight_));
    }
    auto found = map_.find(key);
    if (found != map_.end()) {
      ++stats_.updates;
      if (found->second.weight == weight) {
        found->second.value = std::move(value);
        if (moveToBack) {
          order_.splice(order_.end(), order_, found->second.position);
          cursorValid_ = false;
        }
        return CZnError::Success;
      }
      removeNoLock(found);
    } else {
      ++stats_.inserts;
    }
    evictNoLock(weight);
    auto inserted = map_.emplace(key, Entry{std::move(value), weight, order_.end()}).first;
    inserted->second.position = order_.insert(order_.end(), inserted);
    totalWeight_ += weight;
    cursorValid_ = false;
    return CZnError::Success;
  }

  bool readNoLock(const K& key, V& value, bool moveToBack) OS_REQUIRES(mutex_) {
    V* found = findNoLock(key, moveToBack);
    if (found == nullptr) return false;
    value = *found;
    return true;
  }

  // The stored value (null on a miss). Counts a hit or a miss; on a hit the
  // entry becomes the most recently used when moveToBack.
  V* findNoLock(const K& key, bool moveToBack) OS_REQUIRES(mutex_) {
    mutex_.assertHeld();
    auto found = map_.find(key);
    if (found == map_.end()) {
      ++stats_.misses;
      return nullptr;
    }
    ++stats_.hits;
    if (moveToBack) {
      order_.splice(order_.end(), order_, found->second.position);
      cursorValid_ = false;
    }
    return &found->second.value;
  }

  // The stored value, or null; no statistics and no recency change.
  V* getVal(const K& key) OS_REQUIRES(mutex_) {
    mutex_.assertHeld();
    auto found = map_.find(key);
    return found == map_.end() ? nullptr : &found->second.value;
  }

  bool eraseNoLock(const K& key) OS_REQUIRES(mutex_) {
    mutex_.assertHeld();
    auto found = map_.find(key);
    if (found == map_.end()) return false;
    removeNoLock(found);
    return true;
  }

 private:
  struct Entry;
  using Map = std::map<K, Entry, Compare>;
  using MapIter = typename Map::iterator;
  // std::map iterators stay valid until their element is erased, so the
  // recency list can point straight into the map.
  using Order = std::list<MapIter>;

  struct Entry {
    V value;
    uint64_t weight;
    typename Order::iterator position;  // this entry's place in order_
  };

  void removeNoLock(MapIter it) OS_REQUIRES(mutex_) {
    totalWeight_ -= it->second.weight;
    order_.erase(it->second.position);
    map_.erase(it);
    cursorValid_ = false;
  }

  // Evicts least recently used entries until `incoming` more weight fits.
  void evictNoLock(uint64_t incoming) OS_REQUIRES(mutex_) {
    while (!order_.empty() && maxWeight_ - incoming < totalWeight_) {
      removeNoLock(order_.front());
      ++stats_.evictions;
    }
  }

  HxCriticalSection mutex_;
  Map map_ OS_GUARDED_BY(mutex_);
  Order order_ OS_GUARDED_BY(mutex_);  // least recently used at the front
  uint64_t maxWeight_ OS_GUARDED_BY(mutex_) = 0;
  uint64_t totalWeight_ OS_GUARDED_BY(mutex_) = 0;
  // Where the last getItems page ended: position cursorPos_ of order_ is
  // cursorIt_. Any change to order_ drops it.
  typename Order::iterator cursorIt_ OS_GUARDED_BY(mutex_);
  size_t cursorPos_ OS_GUARDED_BY(mutex_) = 0;
  bool cursorValid_ OS_GUARDED_BY(mutex_) = false;
  LruCacheStats stats_ OS_GUARDED_BY(mutex_);
};

}  // namespace ObjectStore
