// generic_cache: a two-key cache bounded in bytes.
//
// Every element holds two strings: key 1 and key 2. Both are unique in the
// cache, so an element can be found from either side (the store keeps object
// GUID <-> path and object GUID <-> version GUID this way). Key 2 may be
// compared without regard to ASCII letter case (bytes 'A'..'Z' equal
// 'a'..'z'; every other byte, including 0x80..0xFF, compares as itself), for
// shares whose names are case-insensitive.
//
// Accounting. An element is charged max(elementSize, key1.size() +
// key2.size() + 2) bytes: elementSize is the fixed size the owner reserves
// per element, the 2 counts the two terminating zeros of the keys. The sum of
// the charges never exceeds maxBytes after an operation returns; when an
// insert (or a rename that lengthens keys) would go over, the cache evicts
// elements from the old end of its order until it fits.
//
// Eviction order (the `refreshOnLookup` option, "flag1"):
//   true  - least recently used first: an insert, an update and every
//           successful lookup move the element to the young end;
//   false - oldest inserted first: only inserts and updates (an update is a
//           new insertion of the element) move it; lookups leave the order
//           alone, so the cache behaves as a FIFO of insertions.
//
// Clean-up callback. When given, it is called once for every element that
// leaves the cache, whatever the reason: eviction, deletion, replacement of a
// colliding element, clear() and destruction. It receives the element's keys
// and must not call back into the cache.
//
// Thread safety: none. The cache is a plain data structure; its owner
// serialises every call (the GUID caches hold their own mutex around it).
// Concurrent calls, even two lookups, are not allowed: lookups reorder
// elements and update statistics.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ObjectStore {

struct generic_cache_options {
  uint64_t maxBytes = 0;     // byte budget; must be > 0
  uint64_t elementSize = 0;  // least number of bytes charged per element
  // Called for every element leaving the cache (see above); may be empty.
  std::function<void(const std::string& key1, const std::string& key2)> cleanup;
  bool refreshOnLookup = false;      // "flag1": LRU (true) or FIFO (false) eviction
  bool key2CaseInsensitive = false;  // compare key 2 ignoring ASCII letter case
};

struct generic_cache_stats {
  uint64_t inserts = 0;     // successful insertOrUpdate calls (new elements and updates)
  uint64_t deletes = 0;     // elements removed by erase() or by an update that could not fit
  uint64_t renames = 0;     // elements whose key 2 a rename walk replaced
  uint64_t hits = 0;        // successful lookups, by either key
  uint64_t misses = 0;      // failed lookups, by either key
  uint64_t collisions = 0;  // elements dropped because another element took their key 2
  uint64_t evictions = 0;   // elements dropped to keep within the byte budget
  uint64_t buckets = 0;     // bucket count of the key-1 hash index
  uint64_t numItems = 0;    // elements now in the cache
  uint64_t bytes = 0;       // bytes now charged
};

class generic_cache {
 public:
  // Answer of a rename callback for one element: 0 when it replaced the key
  // (newKey2 holds the new key 2), RENAME_UNTOUCHED when the element keeps
  // its key, or an errno value, which stops the walk.
  static constexpr int RENAME_UNTOUCHED = -1;
  using RenameCallback = std::function<int(const std::string& key2, std::string& newKey2)>;
  using DumpCallback = std::function<void(const std::string& key1, const std::string& key2)>;

  // A cache with these options, or null when the options are unusable
  // (maxBytes 0).
  static std::unique_ptr<generic_cache> create(const generic_cache_options& options);

  // Calls the clean-up callback for every element still held.
  ~generic_cache();
  generic_cache(const generic_cache&) = delete;
  generic_cache& operator=(const generic_cache&) = delete;

  // Makes key1 -> key2 the cache's mapping for key1: updates the element of
  // key1 (its key 2 replaced) or inserts a new one, then evicts from the old
  // end until the budget holds. Another element that already has key2 (as
  // compared by the cache) is dropped first and counted as a collision.
  // Returns 0, or ENOSPC when the element alone is charged more than the
  // whole budget: then the cache holds no element for key1 afterwards (a
  // previous mapping of key1 is dropped rather than left stale).
  int insertOrUpdate(const std::string& key1, const std::string& key2);

  // Lookups; on a hit the other key is copied out (when the pointer is not
  // null). Both count a hit or a miss and, with refreshOnLookup, make the
  // element the most recently used.
  bool findByKey1(const std::string& key1, std::string* key2);
  bool findByKey2(const std::string& key2, std::string* key1);

  // Removes the element of key1; false when there was none.
  bool erase(const std::string& key1);

  // Offers every element's key 2 to the callback, oldest element first, and
  // applies the answers (see RenameCallback). A new key 2 that equals the
  // key 2 of another element drops that other element (a collision), so key
  // 2 stays unique. Eviction order is not changed by a rename; when longer
  // keys push the charge over the budget, elements are evicted afterwards.
  // Returns 0, or the errno a callback answered (elements renamed before it
  // keep their new keys).
  int rename(const RenameCallback& callback);

  // Removes every element.
  void clear();

  generic_cache_stats stats() const;

  // Calls the callback for every element, oldest first.
  void dump(const DumpCallback& callback) const;

  // The charge of an element with these keys.
  uint64_t chargeOf(const std::string& key1, const std::string& key2) const;

 private:
  struct Impl;
  explicit generic_cache(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace ObjectStore
