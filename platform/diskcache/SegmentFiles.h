// SegmentFiles: every segment file of the cache, the accounting of the bytes
// they hold, and a bounded cache of open files with one lock per segment.
//
// Keys. A segment file is known by its path relative to the cache directory,
// "<area>/<first two characters of the name>/<name>" (its key). The area is
// everything before the last two components.
//
// Records. One SegmentRecord per file on disk: its area, its size in bytes
// (the file size) and its last use (ns). Built by scan() at start-up and kept
// up to date by every operation of the cache; usedBytes() is their total. The
// record table is authoritative for "does this file exist": nothing but the
// cache creates or removes segment files while a context using their area is
// registered (the container removes an area only after unregistering).
//
// Open files. An OpenSegment holds an open descriptor and the parsed section
// table of one file, plus the per-segment reader/writer lock. They are kept in
// a bounded LRU; an entry in use by some thread is never evicted, so there is
// never more than one OpenSegment (and lock) per file at a time.
//
// Locks and their order:
//   OpenSegment::mutex (per segment)  before  Shard::mutex
// A shard mutex is held only for map and list updates, never across I/O or
// while waiting for a segment lock. Two segment locks are held together only
// by a move between areas: the non-prunable source before the destination.
// The record and open-file maps are split into shards by key hash, so threads
// working on different segments rarely meet on the same shard mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/diskcache/SegmentFile.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

// What the pruner may do with an area's segments.
enum class AreaKind {
  Share = 0,    // a share's segments: prunable after asking the owner
  NoPrune = 1,  // never pruned; counted against the third watermark
  View = 2,     // a point-in-time view's restored copies: prunable directly
};

struct CacheArea {
  explicit CacheArea(std::string relPath) : rel(std::move(relPath)) {}
  const std::string rel;  // relative to the cache directory
  std::atomic<int> kind{static_cast<int>(AreaKind::Share)};
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint64_t> files{0};
  AreaKind getKind() const { return static_cast<AreaKind>(kind.load()); }
};

// One per segment file for as long as it exists, so kept small: the name is
// the last component of the record's key (nameOfKey), not stored again here.
struct SegmentRecord {
  CacheArea* area = nullptr;
  uint64_t bytes = 0;      // guarded by the shard mutex
  bool removed = false;    // guarded by the shard mutex
  uint8_t shard = 0;       // the shard whose map holds the record; constant
  uint64_t sequence = 0;   // order of recording (see dropArea)
  std::atomic<int64_t> lastUseNs{0};
  // False while the segment's name (the rename that published it, and any
  // directory made for it) may not yet be on stable storage: the first sync
  // of the segment then syncs its directories too.
  std::atomic<bool> nameSynced{true};
};

struct OpenSegment {
  OpenSegment(std::string k, std::atomic<uint64_t>* count) : key(std::move(k)), openCount(count) {}
  ~OpenSegment();

  const std::string key;
  // Set before the entry is published in the open-file cache, then constant.
  std::shared_ptr<SegmentRecord> record;
  std::atomic<uint64_t>* const openCount;  // the cache's count of open descriptors

  // The per-segment lock: shared for reads, in-place writes and sync;
  // exclusive for loading and for anything that changes the table or the file.
  std::shared_mutex mutex;
  bool loaded = false;   // guarded by mutex: `file` holds the open, validated file
  bool retired = false;  // guarded by mutex: no longer in the cache; look it up again
  SegmentFile file;      // guarded by mutex (shared suffices for reads)
};

// A locked segment, shared or exclusive, released by the destructor.
class SegmentHandle {
 public:
  SegmentHandle() = default;
  SegmentFile& file() { return segment_->file; }
  SegmentRecord& record() { return *segment_->record; }
  const std::string& key() const { return segment_->key; }
  OpenSegment& segment() { return *segment_; }
  bool exclusive() const { return exclusive_.owns_lock(); }
  void release();

 private:
  friend class SegmentFiles;
  std::shared_ptr<OpenSegment> segment_;
  std::shared_lock<std::shared_mutex> shared_;
  std::unique_lock<std::shared_mutex> exclusive_;
};

// A prunable file as seen by the pruner.
struct SegmentCandidate {
  std::string key;
  std::string name;
  CacheArea* area;
  int64_t lastUseNs;
};

class SegmentFiles {
 public:
  enum class Access { Shared, Exclusive };

  SegmentFiles(std::string cacheDir, size_t openLimit);
  ~SegmentFiles();

  static std::string keyOf(const std::string& area, const std::string& name);
  std::string absPath(const std::string& key) const { return cacheDir_ + "/" + key; }
  // The area of a key: everything before the last two components.
  static std::string areaOfKey(const std::string& key);
  // The segment's name: the last component of its key.
  static std::string nameOfKey(const std::string& key) {
    return key.substr(key.rfind('/') + 1);
  }

  // Finds or creates the area's accounting entry; sets its kind.
  CacheArea* area(const std::string& rel, AreaKind kind);
  // The entry when the area is known, else null.
  CacheArea* findArea(const std::string& rel);
  std::vector<CacheArea*> areas();

  // Walks the cache directory and records every segment file found (the
  // directories "recycle" and ".tmp" at the top are skipped). Conventional
  // kinds: "noprune/..." non-prunable, "views/..." view, anything else share.
  void scan();

  bool exists(const std::string& key);
  // Opens (loads) and locks the first file of `name` found in `areas`, in
  // order. load=false locks without opening the file (delete, move). ENOENT
  // when no area holds it, EIO when the file is damaged.
  CZnError open(const std::vector<std::string>& areas, const std::string& name, Access access,
                bool load, SegmentHandle& out);
  // A fresh, unpublished open-file entry for `key` (for add()).
  std::shared_ptr<OpenSegment> newSegment(const std::string& key);
  // Records a file just renamed into place (replacing any record of the same
  // key) and, when `segment` is given, keeps it open: the caller has loaded
  // its file and set `loaded`.
  void add(const std::string& key, CacheArea* area, uint64_t bytes, int64_t lastUseNs,
           std::shared_ptr<OpenSegment> segment = nullptr);
  // Forgets the record of a file that was removed or moved away, and the
  // open file. Requires the handle to be exclusive.
  void forget(SegmentHandle& handle);
  // Marks the handle's open file stale (the file was replaced) so that the
  // next user opens it again. Requires the handle to be exclusive.
  void retire(SegmentHandle& handle);
  // Sets a record's byte count and adjusts the totals.
  void setBytes(SegmentRecord& record, uint64_t bytes);
  static void touch(SegmentRecord& record, int64_t nowNs) { record.lastUseNs.store(nowNs); }

  // The sequence number the next recorded file will get.
  uint64_t nextSequence() const { return sequence_.load(); }
  // Forgets every record (and open file) of an area whose directory is gone,
  // among those recorded before `before` (a nextSequence() value read before
  // the directory was found missing): a file recorded later was renamed into
  // a directory created again since.
  void dropArea(CacheArea* area, uint64_t before);
  // Bytes recorded for a file.
  uint64_t bytesOf(const SegmentRecord& record);
  // Closes the idle open files of an area (its last user went away).
  void closeIdle(CacheArea* area);

  std::vector<SegmentCandidate> candidates(bool (*wanted)(AreaKind));
  uint64_t usedBytes() const { return usedBytes_.load(); }
  uint64_t openFiles() const { return openFiles_.load(); }
  uint64_t fileCount() const { return fileCount_.load(); }
  // Bytes of all non-prunable areas.
  uint64_t nonPrunableBytes();

 private:
  struct Shard {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<SegmentRecord>> records;
    std::list<std::shared_ptr<OpenSegment>> lru;  // most recently used first
    std::unordered_map<std::string, std::list<std::shared_ptr<OpenSegment>>::iterator> open;
  };
  static constexpr size_t SHARD_COUNT = 16;
  static_assert(SHARD_COUNT <= 256, "a record keeps its shard's index in one byte");

  static size_t shardIndexOf(const std::string& key);
  Shard& shardOf(const std::string& key) { return shards_[shardIndexOf(key)]; }
  // The open entry of a known file (created unloaded when missing); null when
  // no such file is recorded. Evicts idle entries beyond the shard's limit.
  std::shared_ptr<OpenSegment> acquire(const std::string& key);
  // Moves the least recently used idle entries beyond the shard's limit to
  // `evicted` (destroyed by the caller after the shard mutex is released).
  // REQUIRES: shard.mutex is held.
  void evictIdle(Shard& shard, std::vector<std::shared_ptr<OpenSegment>>& evicted);
  void eraseOpen(Shard& shard, const OpenSegment* segment);
  void removeRecord(Shard& shard, const std::string& key, const SegmentRecord* record);
  void scanDir(const std::string& rel, int depth);

  const std::string cacheDir_;
  const size_t shardOpenLimit_;
  Shard shards_[SHARD_COUNT];
  std::atomic<uint64_t> usedBytes_{0};
  std::atomic<uint64_t> openFiles_{0};
  std::atomic<uint64_t> fileCount_{0};
  std::atomic<uint64_t> sequence_{1};
  std::mutex areasMutex_;  // guards areas_ (entries live until destruction); innermost
  std::map<std::string, std::unique_ptr<CacheArea>> areas_;
};

}  // namespace ObjectStore
